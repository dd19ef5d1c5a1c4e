#include <gtest/gtest.h>

#include <map>

#include "core/command_line.h"
#include "tests/fakes/fake_host.h"

namespace quelmar::cli {
namespace {

using testing::FakeHost;

TEST(CommandLine, ParsesWhatIsTypedAndRefusesWhatCannotBeMeant) {
    struct Case {
        std::vector<std::string> args;
        Command command;
        std::optional<std::string> game;
        bool print0, quiet;
        std::vector<std::string> then;
        bool error;
    };
    const Case cases[] = {
        {{}, Command::Window, {}, false, false, {}, false},
        {{"--list"}, Command::List, {}, false, false, {}, false},
        {{"--delete", "G", "-0q"}, Command::Delete, "G", true, true, {}, false},
        {{"--print0", "--quiet", "--list", "--", "-G"}, Command::List, "-G", true, true, {}, false},
        {{"--delete", "--then", "game", "--list", "a b"}, Command::Delete, {}, false, false, {"game", "--list", "a b"}, false},
        {{"--list", "-h", "--bogus"}, Command::Help, {}, false, false, {}, true},
        {{"-V"}, Command::Version, {}, false, false, {}, false},
        {{"--list", "--delete"}, Command::Delete, {}, false, false, {}, true},
        {{"--delete", "--then"}, Command::Delete, {}, false, false, {}, true},
        {{"--list", "--then", "game"}, Command::List, {}, false, false, {"game"}, true},
        {{"--list", "A", "B"}, Command::List, "B", false, false, {}, true},
        {{"G"}, Command::Window, "G", false, false, {}, true},
        {{"--list", "-x"}, Command::List, {}, false, false, {}, true},
        {{"--list", "-"}, Command::List, "-", false, false, {}, false},
    };
    for (const Case& c : cases) {
        const Request r = ParseArguments(c.args);
        const std::string at = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.command, c.command) << at;
        EXPECT_EQ(r.game, c.game) << at;
        EXPECT_EQ(r.print0, c.print0) << at;
        EXPECT_EQ(r.quiet, c.quiet) << at;
        EXPECT_EQ(r.then, c.then) << at;
        EXPECT_EQ(!r.error.empty(), c.error) << at << ": " << r.error;
    }
}

struct FakeConsole : Console {
    FakeHost& host;
    explicit FakeConsole(FakeHost& h) : host(h) {}
    std::string out, err;
    bool terminal = false, outputFails = false;
    std::map<std::string, std::string> env;
    std::stop_source stop;
    std::vector<std::string> started;
    void writeOut(std::string_view bytes) override {
        if (outputFails) throw HostError(32, "could not write to standard output: Broken pipe.");
        out += bytes;
    }
    void writeError(std::string_view line) override { (err += line) += '\n'; }
    bool outputIsTerminal() override { return terminal; }
    std::optional<std::string> environment(const char* name) override {
        return env.count(name) ? std::optional(env[name]) : std::nullopt;
    }
    std::optional<Found> lookUp(const std::string& path) override {
        if (!host.exists(path)) return std::nullopt;
        return Found{path, host.createFileSystem()->folderExists(path)};
    }
    std::stop_token interruption() override { return stop.get_token(); }
    int runAfter(const std::vector<std::string>& command) override {
        started = command;
        return 42;
    }
};

TEST(CommandLine, ExitStatusTellsWhatCameOfTheCommandAndTheGameStartsAfterAnyDeletion) {
    struct Case {
        std::vector<std::string> args;
        std::function<void(FakeHost&, FakeConsole&)> arrange;
        int status;
        std::string out, err;  // err: a line stderr must hold; none: stderr stays empty
        std::size_t left;      // archives left on disk
    };
    const std::string a = "D:\\RS\\Assets\\A\\Blueprints.pak", b = "D:\\RS\\Assets\\A\\R\\Blueprints.pak";
    const auto none = [](FakeHost&, FakeConsole&) {};
    const Case cases[] = {
        {{"--list", "D:\\RS"}, none, kFound, a + "\n" + b + "\n", "", 2},
        {{"--list", "D:\\RS\\RailSim.exe", "-0"}, none, kFound, a + '\0' + b + '\0', "", 2},
        {{"--list", "-q"}, [](FakeHost& h, FakeConsole&) { h.gameFolderSetting() = "D:\\RS"; }, kFound, "", "", 2},
        {{"--list"},
         [](FakeHost& h, FakeConsole& c) {
             c.env[kLauncherGameFolder] = "D:\\RS", c.terminal = true;
             h.addFolder("D:\\RS\\Assets\\T\nU"), h.addFile("D:\\RS\\Assets\\T\nU\\Blueprints.pak");
         },
         kFound, a + "\n" + b + "\nD:\\RS\\Assets\\T\\nU\\Blueprints.pak\n", "", 2},
        {{"--list"}, none, kError, "", "quelmar: Set up game folder path before beginning.", 2},
        {{"--list", "D:\\RS\\Assets\\A"}, none, kError, "", "quelmar: Folder path to \\Assets not found.", 2},
        {{"--list", "D:\\Elsewhere"}, none, kError, "", "quelmar: D:\\Elsewhere: no such file or folder.", 2},
        {{"--list", "D:\\RS"}, [&](FakeHost& h, FakeConsole&) { h.remove(a), h.remove(b); }, kNoneFound, "",
         "quelmar: No .pak files found.", 0},
        {{"--delete", "D:\\RS", "--then", "G", "x y"}, none, 42, a + "\n" + b + "\n", "quelmar: 2 .pak files deleted.", 0},
        {{"--delete", "D:\\RS", "--then", "G"}, [&](FakeHost& h, FakeConsole&) { h.undeletableFiles = {b}; }, 42,
         a + "\n", "quelmar: Deleting stopped after 1 .pak file was deleted (the first line of the list); the rest "
                   "were not touched.", 1},
        {{"--delete", "D:\\RS", "--then", "G"}, [](FakeHost&, FakeConsole& c) { c.stop.request_stop(); },
         kInterrupted, "", "quelmar: Deleting stopped before any .pak file was deleted; none was touched.", 2},
        {{"--delete", "D:\\RS", "-q"}, [&](FakeHost& h, FakeConsole&) { h.heldFiles = {a}; }, kFound, "",
         "quelmar: 1 of them is still open in another program; it disappears once that program lets go of it.", 0},
        {{"-V"}, [](FakeHost&, FakeConsole& c) { c.outputFails = true; }, kError, "",
         "quelmar: could not write to standard output: Broken pipe.", 2},
        {{"--delete", "D:\\RS"}, [](FakeHost&, FakeConsole& c) { c.outputFails = true; }, kError, "",
         "quelmar: could not write to standard output: Broken pipe.", 1},
        {{"--delete", "D:\\RS", "--bogus", "--then", "G"}, none, kError, "", "quelmar: See quelmar --help.", 2},
    };
    for (const Case& c : cases) {
        FakeHost host;
        host.addFolder("D:\\RS");
        host.addFile("D:\\RS\\RailSim.exe");
        host.addFolder("D:\\RS\\Assets");
        host.addFolder("D:\\RS\\Assets\\A");
        host.addFile(a);
        host.addFolder("D:\\RS\\Assets\\A\\R");
        host.addFile(b);
        FakeConsole console(host);
        c.arrange(host, console);
        const std::string at = ::testing::PrintToString(c.args);
        const auto stored = host.settings;
        EXPECT_EQ(cli::Run(ParseArguments(c.args), host, console), c.status) << at << "\n" << console.err;
        EXPECT_EQ(console.out, c.out) << at;
        EXPECT_TRUE(c.err.empty() ? console.err.empty() : console.err.find(c.err) != std::string::npos)
            << at << "\n" << console.err;
        EXPECT_EQ(host.exists(a) + host.exists(b), static_cast<int>(c.left)) << at;
        EXPECT_EQ(console.started.empty(), c.status != 42) << at;
        EXPECT_TRUE(host.messages.empty()) << at << ": a box was shown";
        EXPECT_EQ(host.settings, stored) << at << ": the command line stores nothing";
    }
}

}  // namespace
}  // namespace quelmar::cli

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <utility>
#include <functional>
#include <filesystem>
#include <thread>
#include <fstream>
#include <sstream>

#include "core/archive_scan.h"
#include "core/texts.h"
#include "platform/linux/linux_host.h"
#include "tests/fakes/fake_host.h"
#include "tests/linux/temp_tree.h"

namespace quelmar::linux_host {
namespace {

using testing::TempTree;

sockaddr_un socketIn(const std::string& folder) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s/socket", folder.c_str());
    return address;
}

// The real host with its message boxes recorded instead of shown.
class RecordingHost : public LinuxHost {
public:
    std::vector<std::string> messages;
    void showMessage(const std::string& text, MessageIcon, const std::string&) override { messages.push_back(text); }
};

std::multiset<std::string> lines(const std::string& text) {
    std::multiset<std::string> out;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        out.insert(text.substr(start, end - start));
    EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
    return out;
}

struct GameOnDisk : ::testing::Test {
    TempTree tree;
    RecordingHost host;
    quelmar::testing::FakeWindow window;
    FormState state;
    std::string game = "RailSimulator";

    void build() {
        tree.file(game + "/RailSim.exe");
        tree.file(game + "/Assets/ProviderA/Blueprints.pak");
        tree.file(game + "/Assets/ProviderA/RouteB/Blueprints.pak");
        tree.file(game + "/Assets/ProviderA/RouteB/Scenery.pak");
        tree.file(game + "/Assets/ProviderA/RouteB/Vehicles/Blueprints.pak");
        tree.file(game + "/Assets/ProviderC/RouteD/blueprints.PAK");
        tree.file(game + "/Assets/Blueprints.pak");
        tree.folder(game + "/Assets/Empty");
        tree.folder(game + "/Assets/ProviderC/Blueprints.pak");
        state.GamePath = tree.path(game);
    }
    const std::set<std::string> targets() const {
        return {game + "/Assets/ProviderA/Blueprints.pak", game + "/Assets/ProviderA/RouteB/Blueprints.pak",
                game + "/Assets/ProviderC/RouteD/blueprints.PAK"};
    }
};

TEST_F(GameOnDisk, ListsAndDeletesExactlyTheArchivesAtLevelsOneAndTwo) {
    build();
    const std::set<std::string> before = tree.files();
    ASSERT_EQ(CheckPaths(state, host), 0);
    EXPECT_EQ(state.AssetsPath, tree.path(game + "/Assets"));

    RefreshList(state, host, window);
    EXPECT_EQ(lines(window.text2Value),
              (std::multiset<std::string>{"Assets/ProviderA/Blueprints.pak", "Assets/ProviderA/RouteB/Blueprints.pak",
                                          "Assets/ProviderC/RouteD/blueprints.PAK"}));
    const std::string first = "Assets/ProviderA/Blueprints.pak\r\n";
    const auto at = window.text2Value.find(first);
    EXPECT_LT(at, window.text2Value.find("Assets/ProviderA/RouteB/Blueprints.pak")) << "level 1 before its level 2";
    EXPECT_TRUE(window.deleteEnabled);

    DeleteArchives(state, host, window);
    ASSERT_EQ(host.messages, std::vector<std::string>{"Complete.\r\n\r\n3 .pak files deleted."});
    std::set<std::string> expected;
    const std::set<std::string> gone = targets();
    std::set_difference(before.begin(), before.end(), gone.begin(), gone.end(),
                        std::inserter(expected, expected.end()));
    EXPECT_EQ(tree.files(), expected) << "every other file is still there";

    DeleteArchives(state, host, window);
    EXPECT_EQ(host.messages.back(), "No .pak files found.");
}

std::size_t openFiles() {
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                                                  std::filesystem::directory_iterator()));
}
// The descriptors open once the helpers a walk ended with have let go of the
// folder each was reading (they never make the walk wait for that); gives
// up after a while, however loaded the machine.
std::size_t openFilesOnceSettled(std::size_t expected) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::size_t open = openFiles();
    while (open != expected && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::yield();
        open = openFiles();
    }
    return open;
}

TEST_F(GameOnDisk, NothingStaysOpenBetweenCommands) {
    // Every folder has a child, so the last one visited has one too: a
    // level-3 folder the walk never opens. Enough providers that helpers
    // read ahead, and the last one is where the walk is stopped below.
    for (int p = 0; p < 12; ++p)
        for (const std::string route : {"/R1", "/R2"}) {
            tree.folder(game + "/Assets/P" + std::to_string(p) + route + "/Scenery");
            tree.file(game + "/Assets/P" + std::to_string(p) + route + "/Blueprints.pak");
        }
    state.GamePath = tree.path(game);
    const std::size_t before = openFiles();
    ASSERT_EQ(CheckPaths(state, host), 0);
    RefreshList(state, host, window);
    EXPECT_EQ(openFilesOnceSettled(before), before);
    DeleteArchives(state, host, window);
    EXPECT_EQ(openFilesOnceSettled(before), before);

    // Nor after a walk that an error stopped half-way, reading ahead or not.
    ::chmod(tree.path(game + "/Assets/P11/R2").c_str(), 0);
    for (const unsigned readers : {1u, 4u}) {
        state.folderReaders = readers;
        EXPECT_THROW(RefreshList(state, host, window), HostError);
        EXPECT_EQ(openFilesOnceSettled(before), before) << readers;
        EXPECT_THROW(DeleteArchives(state, host, window), HostError);
        EXPECT_EQ(openFilesOnceSettled(before), before) << readers;
    }
}

TEST_F(GameOnDisk, LowerCaseAssetsAndAnAssetsInTheGamePathItself) {
    game = "assets-games/RailSim";
    tree.file(game + "/assets/P/Blueprints.pak");
    state.GamePath = tree.path(game);
    ASSERT_EQ(CheckPaths(state, host), 0);
    RefreshList(state, host, window);
    EXPECT_EQ(window.text2Value, "assets-games/RailSim/Assets/P/Blueprints.pak\r\n");
    DeleteArchives(state, host, window);
    EXPECT_FALSE(tree.exists(game + "/assets/P/Blueprints.pak"));
}

TEST_F(GameOnDisk, DoubledLeadingSeparatorOfARootGameFolderStillWorks) {
    build();
    state.GamePath = "/" + tree.path(game);  // what "/" followed by "/Assets"-style joining produces
    ASSERT_EQ(CheckPaths(state, host), 0);
    RefreshList(state, host, window);
    EXPECT_EQ(lines(window.text2Value).size(), 3u);
}

TEST_F(GameOnDisk, UnreadableFoldersStopListingAndDeletionWithTheirPath) {
    build();
    ASSERT_EQ(CheckPaths(state, host), 0);
    // A link to a folder this user may not open is no quieter than the
    // folder itself; a link that leads nowhere is no folder at all.
    tree.folder("Private/Inner");
    std::filesystem::create_directory_symlink(tree.path("Private/Inner"), tree.path(game + "/Assets/ProviderA/Linked"));
    std::filesystem::create_directory_symlink(tree.path("Nowhere"), tree.path(game + "/Assets/ProviderA/Dangling"));
    // Readable but not searchable (what "chmod -R 644" leaves): its archive
    // is listed, and deleting must not pass over it quietly.
    tree.file(game + "/Assets/ProviderD/Blueprints.pak");
    const struct {
        std::string locked, named;
        mode_t mode = 0;
    } cases[] = {
        {"/Assets/ProviderA/RouteB", "/Assets/ProviderA/RouteB"},
        {"/Assets/ProviderC", "/Assets/ProviderC"},
        {"/../Private", "/Assets/ProviderA/Linked"},
        {"/Assets/ProviderD", "/Assets/ProviderD/Blueprints.pak", 0644},
    };
    for (const auto& c : cases) {
        ::chmod(tree.path(game + c.locked).c_str(), c.mode);
        try {
            DeleteArchives(state, host, window);
            FAIL() << "no error for " << c.locked;
        } catch (const HostError& error) {
            EXPECT_NE(error.description().find(tree.path(game + c.named)), std::string::npos) << error.description();
            EXPECT_NE(error.description().find("Access is denied"), std::string::npos) << error.description();
        }
        ::chmod(tree.path(game + c.locked).c_str(), 0755);
    }
    EXPECT_TRUE(tree.exists(game + "/Assets/ProviderA/RouteB/Scenery.pak"));
    EXPECT_TRUE(tree.exists(game + "/Assets/Blueprints.pak"));
    EXPECT_TRUE(tree.exists(game + "/Assets/ProviderA/RouteB/Vehicles/Blueprints.pak"));
}

struct Settings : ::testing::Test {
    TempTree config;
    LinuxHost host;
    void SetUp() override { ::setenv("XDG_CONFIG_HOME", config.root().c_str(), 1); }
    std::string file() const { return config.path("Quelmar/Quelmar.conf"); }
};

TEST_F(Settings, RoundTripInTheUsersConfigFolder) {
    EXPECT_EQ(host.getSetting("Quelmar", "Preferences", "GameFolder", "none"), "none");
    host.saveSetting("Quelmar", "Preferences", "GameFolder", "/home/u/Rail Sim/Ünïcode");
    EXPECT_EQ(host.getSetting("Quelmar", "Preferences", "GameFolder", ""), "/home/u/Rail Sim/Ünïcode");
    std::ifstream in(file());
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("[Preferences]"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("GameFolder="), std::string::npos) << text.str();

    const std::string notUtf8 = "/home/u/Spiele/M\xe4rklin \xff\xfe\x80";  // Latin-1 bytes, as old media wrote them
    host.saveSetting("Quelmar", "Preferences", "GameFolder", notUtf8);
    // Read back from the file itself: a copy elsewhere has nothing cached.
    TempTree copy;
    copy.folder("Quelmar");
    std::filesystem::copy_file(file(), copy.path("Quelmar/Quelmar.conf"));
    ::setenv("XDG_CONFIG_HOME", copy.root().c_str(), 1);
    EXPECT_EQ(host.getSetting("Quelmar", "Preferences", "GameFolder", ""), notUtf8) << "byte for byte";

    // A home nothing has run in yet: the missing config folder is made, private.
    ::setenv("XDG_CONFIG_HOME", copy.path(".config").c_str(), 1);
    host.saveSetting("Quelmar", "Preferences", "GameFolder", "/g");
    struct stat made {};
    ASSERT_EQ(::stat(copy.path(".config").c_str(), &made), 0) << "not made";
    EXPECT_EQ(made.st_mode & 0777, 0700u);
}

TEST_F(Settings, UnreadableOrUnwritableFileIsAnError) {
    host.saveSetting("Quelmar", "Preferences", "GameFolder", "/games/rs");
    ::chmod(file().c_str(), 0);
    EXPECT_THROW(host.getSetting("Quelmar", "Preferences", "GameFolder", ""), HostError);
    ::chmod(file().c_str(), 0444);
    ::chmod(config.path("Quelmar").c_str(), 0555);
    EXPECT_THROW(host.saveSetting("Quelmar", "Preferences", "GameFolder", "/elsewhere"), HostError);
    std::ifstream in(file());
    std::stringstream onDisk;
    onDisk << in.rdbuf();
    EXPECT_NE(onDisk.str().find("GameFolder=/games/rs"), std::string::npos) << onDisk.str();
}

// A settings file that cannot be read or saved is an error that names it
// and gives the cause the user can act on; start-up tells a read failure
// rather than forget the stored folder quietly.
TEST_F(Settings, FailuresSayWhy) {
    std::unique_ptr<QLockFile> heldLock;  // as another copy or account would hold it
    const auto folderOnly = [](const TempTree& t) { t.folder("Quelmar/Quelmar.conf/inside"); };
    const auto readOnlyFolder = [](const TempTree& t) {
        t.folder("Quelmar");
        ::chmod(t.path("Quelmar").c_str(), 0555);
    };
    const auto configIsAFile = [](const TempTree& t) { t.file("Quelmar"); };
    const auto fileMode = [](mode_t mode, const char* text = "[Preferences]\nGameFolder=/games/rs\n") {
        return [=](const TempTree& t) {
            t.file("Quelmar/Quelmar.conf", text);
            ::chmod(t.path("Quelmar/Quelmar.conf").c_str(), mode);
        };
    };
    const struct {
        const char* name;
        std::function<void(const TempTree&)> spoil;
        bool saving;
        const char* reason;
    } cases[] = {
        {"saving: file is a folder", folderOnly, true, "It is a folder"},
        {"saving: folder is read-only", readOnlyFolder, true, "may change this location"},
        {"saving: config is a file", configIsAFile, true, "is a file, not a folder"},
        {"saving: file alone is read-only", fileMode(0444), true, "The file is read-only"},
        {"reading: unreadable", fileMode(0), false, "Access is denied"},
        {"reading: damaged", fileMode(0644, "[Preferences]\nGameFolder=/games/rs\n[Unclosed section\n"), false,
         "The file is damaged"},
        {"reading: a folder", folderOnly, false, "It is a folder"},
        // Never a hang, never the stored folder dropped without a word.
        {"reading: a pipe",
         [](const TempTree& t) {
             t.folder("Quelmar");
             ::mkfifo(t.path("Quelmar/Quelmar.conf").c_str(), 0600);
         },
         false, "not a regular file"},
        {"reading: folder may not be opened",
         [&](const TempTree& t) {
             fileMode(0644)(t);
             ::chmod(t.path("Quelmar").c_str(), 0600);
         },
         false, "Access is denied"},
        {"reading: a quote left open swallows the section",
         fileMode(0644, "[Other]\nNote=\"open\n[Preferences]\nGameFolder=/games/rs\n"), false, "damaged"},
        {"reading: the folder's own quote left open", fileMode(0644, "[Preferences]\nGameFolder=\"/games/rs\n"),
         false, "damaged"},
        {"saving: through a link that leads nowhere",
         [](const TempTree& t) {
             t.folder("Quelmar");
             std::filesystem::create_symlink(t.path("Elsewhere/Quelmar.conf"), t.path("Quelmar/Quelmar.conf"));
         },
         true, "link to something that does not exist"},
        {"saving: the lock is held",
         [&](const TempTree& t) {
             t.folder("Quelmar");
             heldLock = std::make_unique<QLockFile>(QString::fromStdString(t.path("Quelmar/Quelmar.conf.lock")));
             heldLock->lock();
         },
         true, "keeps the settings locked"},
    };
    for (const auto& c : cases) {
        TempTree fresh;
        ::setenv("XDG_CONFIG_HOME", fresh.root().c_str(), 1);
        c.spoil(fresh);
        const auto started = std::chrono::steady_clock::now();
        try {
            if (c.saving) host.saveSetting("Quelmar", "Preferences", "GameFolder", "/games/rs");
            else host.getSetting("Quelmar", "Preferences", "GameFolder", "");
            ADD_FAILURE() << c.name << ": no error";
        } catch (const HostError& error) {
            EXPECT_NE(error.description().find(fresh.path("Quelmar/Quelmar.conf")), std::string::npos) << c.name;
            EXPECT_NE(error.description().find(c.reason), std::string::npos) << c.name << ": " << error.description();
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500)) << c.name;
        heldLock.reset();
        ::chmod(fresh.path("Quelmar").c_str(), 0755);  // so the folder can be removed
    }
}

TEST_F(Settings, OneFileWhateverTheEnvironmentSays) {
    const passwd* account = ::getpwuid(::getuid());
    if (account == nullptr) GTEST_SKIP() << "this user has no entry in the user database";
    const std::string fromDatabase = std::string(account->pw_dir) + "/.config/Quelmar/Quelmar.conf";
    const struct {
        const char* home;
        const char* config;
        std::string expected;
    } cases[] = {
        {"/home/userA", nullptr, "/home/userA/.config/Quelmar/Quelmar.conf"},
        {"/home/userA", "/cfg", "/cfg/Quelmar/Quelmar.conf"},
        {"/home/userA", "relative", "/home/userA/.config/Quelmar/Quelmar.conf"},
        {nullptr, nullptr, fromDatabase},
        {"", "", fromDatabase},
    };
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    for (const auto& c : cases) {
        c.home ? ::setenv("HOME", c.home, 1) : ::unsetenv("HOME");
        c.config ? ::setenv("XDG_CONFIG_HOME", c.config, 1) : ::unsetenv("XDG_CONFIG_HOME");
        EXPECT_EQ(LinuxHost::settingsFile("Quelmar").toStdString(), c.expected)
            << (c.home ? c.home : "(no HOME)") << " " << (c.config ? c.config : "(no XDG_CONFIG_HOME)");
    }
    ::setenv("HOME", savedHome.c_str(), 1);
}

// A start of the single-instance check in a process of its own: this test
// program, started again with --instance-start. It prints "holds" or "ends",
// and before that the message it shows; a holder prints "forward" each time
// a later start calls it, and ends once its input is closed.
class Start {
public:
    Start() {
        int input[2], output[2];
        if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, input[0], 0);
        posix_spawn_file_actions_adddup2(&actions, output[1], 1);
        char program[] = "/proc/self/exe", flag[] = "--instance-start";
        char* args[] = {program, flag, nullptr};
        const int failed = ::posix_spawn(&pid_, program, &actions, nullptr, args, environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(input[0]);
        ::close(output[1]);
        if (failed != 0) throw std::runtime_error("posix_spawn");
        input_ = input[1];
        output_ = output[0];
    }
    // A holder ends once its input is closed. Each ends well: a sanitizer
    // that finds a fault in it makes it end otherwise.
    ~Start() {
        ::close(input_);
        ::close(output_);
        if (pid_ <= 0) return;
        ::kill(pid_, SIGCONT);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "start " << pid_ << ": status " << status;
    }
    Start(const Start&) = delete;
    Start& operator=(const Start&) = delete;

    pid_t pid() const { return pid_; }
    // The next line it prints, "" once it has ended. Meanwhile this process's
    // own event loop runs, so that a copy this process holds answers it.
    std::string next() {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (std::size_t end; (end = pending_.find('\n')) == std::string::npos;) {
            pollfd readable{output_, POLLIN, 0};
            if (::poll(&readable, 1, 10) == 0) {
                QCoreApplication::processEvents();
                if (std::chrono::steady_clock::now() > giveUp) return "(no answer)";
                continue;
            }
            char buffer[512];
            const ssize_t got = ::read(output_, buffer, sizeof buffer);
            if (got <= 0) return std::exchange(pending_, "");
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
        const std::size_t end = pending_.find('\n');
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
    }
    void signal(int number) { ::kill(pid_, number); }
    void say(const std::string& line) { (void)!::write(input_, (line + "\n").data(), line.size() + 1); }
    // Ends it as a crash would, leaving what it held where it was.
    void crash() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = 0;
    }
    // Returns once it has stopped.
    void stop() {
        ::kill(pid_, SIGSTOP);
        int status = 0;
        ::waitpid(pid_, &status, WUNTRACED);
    }

private:
    pid_t pid_ = 0;
    int input_ = -1, output_ = -1;
    std::string pending_;
};

// The places a start looks in: QUELMAR_TEST_RULE_PLACES, "parent|name" per
// line, else the user's own for QUELMAR_TEST_INSTANCE_NAME.
std::vector<RulePlace> testRulePlaces() {
    std::vector<RulePlace> places;
    std::istringstream lines(std::getenv("QUELMAR_TEST_RULE_PLACES") ? std::getenv("QUELMAR_TEST_RULE_PLACES") : "");
    for (std::string line; std::getline(lines, line);)
        if (const auto bar = line.find('|'); bar != std::string::npos)
            places.push_back({line.substr(0, bar), line.substr(bar + 1)});
    const char* name = std::getenv("QUELMAR_TEST_INSTANCE_NAME");
    return places.empty() ? rulePlaces(name ? name : "quelmar-test") : places;
}

}  // namespace

int instanceStartMain(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const auto say = [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    };
    class PrintingHost : public LinuxHost {
    public:
        PrintingHost() : LinuxHost(testRulePlaces()) {}
        std::function<void(const std::string&)> say;
        void showMessage(const std::string& text, MessageIcon icon, const std::string& title) override {
            say(std::string(icon == MessageIcon::Warning ? "warning" : "other") + " '" + title + "': " + text);
        }
    } host;
    host.say = say;
    host.setSecondStartHandler([&] { say("forward"); });
    if (host.anotherInstanceRunning()) {
        say("ends");
        return 0;
    }
    say("holds");
    // A line "let go" lets go of the rule, as a closed window does, and the
    // process lives on; its input closed, it ends.
    QSocketNotifier input(0, QSocketNotifier::Read);
    std::string line;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char c;
        if (::read(0, &c, 1) <= 0) return app.quit();
        if (c != '\n') return line.push_back(c);
        if (line == "let go") host.letGoOfTheRule(), say("let go");
        line.clear();
    });
    return app.exec();
}

namespace {

// Each test keeps the rule in a folder of its own, as each account has its
// own, so a copy of the program running for the same user cannot change
// the outcome.
struct Instance : ::testing::Test {
    TempTree runtime;
    std::string folder = runtime.path("quelmar");
    void SetUp() override {
        ::chmod(runtime.root().c_str(), 0700);
        use({{runtime.root(), "quelmar"}});
    }
    void TearDown() override { ::unsetenv("QUELMAR_TEST_RULE_PLACES"); }
    std::vector<RulePlace> places;
    void use(std::vector<RulePlace> p) {
        places = std::move(p);
        std::string text;
        for (const auto& place : places) text += place.parent + "|" + place.name + "\n";
        ::setenv("QUELMAR_TEST_RULE_PLACES", text.c_str(), 1);
    }
};

// The real host with its boxes recorded, in the test's places.
class PlacedHost : public LinuxHost {
public:
    explicit PlacedHost(std::vector<RulePlace> places) : LinuxHost(std::move(places)) {}
    std::vector<std::string> messages;
    void showMessage(const std::string& text, MessageIcon, const std::string&) override { messages.push_back(text); }
};

// Takes the lock on `folder` in a process of its own, listening there
// without ever answering if `listening`, and returns the process left
// holding it, asleep. `orphaned`: the process that took the lock has ended,
// and one it left shares the lock, as a thread held in a read would.
pid_t holdElsewhere(const std::string& folder, bool listening, bool orphaned) {
    ::mkdir(folder.c_str(), 0700);
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    if (::fork() == 0) {
        const int locked = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY);
        const int never = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const sockaddr_un address = socketIn(folder);
        ::unlink(address.sun_path);  // a crashed copy's
        const bool held = ::flock(locked, LOCK_EX | LOCK_NB) == 0 &&
                          (!listening || (::bind(never, reinterpret_cast<const sockaddr*>(&address), sizeof address) ==
                                              0 &&
                                          ::listen(never, 4) == 0));
        const pid_t holder = !held ? -1 : orphaned ? ::fork() : ::getpid();
        if (holder != 0) (void)!::write(ready[1], &holder, sizeof holder);
        if (holder == 0 || (held && !orphaned)) ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    pid_t holder = -1;
    (void)!::read(ready[0], &holder, sizeof holder);
    ::close(ready[0]);
    return holder;
}

TEST_F(Instance, OneHolderAnswersLaterStartsAndACrashLeavesNothingInTheWay) {
    Start first;
    ASSERT_EQ(first.next(), "holds");
    {
        Start second;
        EXPECT_EQ(second.next(), "ends");
        EXPECT_EQ(second.next(), "") << "without a message";
    }
    PlacedHost here(places);
    EXPECT_TRUE(here.anotherInstanceRunning());
    EXPECT_TRUE(here.messages.empty());
    EXPECT_EQ(first.next(), "forward");
    EXPECT_EQ(first.next(), "forward");

    first.crash();
    ASSERT_TRUE(runtime.exists("quelmar/socket")) << "left where it was";
    {
        PlacedHost next(places);
        int calls = 0;
        next.setSecondStartHandler([&] { ++calls; });
        EXPECT_FALSE(next.anotherInstanceRunning()) << "a dead holder's rule is taken over";
        EXPECT_FALSE(next.anotherInstanceRunning()) << "asking again does not find itself";
        Start later;
        EXPECT_EQ(later.next(), "ends");
        EXPECT_EQ(later.next(), "");
        EXPECT_EQ(calls, 1);
    }
    Start afterwards;
    EXPECT_EQ(afterwards.next(), "holds") << "let go when the holder ends";
}

TEST_F(Instance, FiftySimultaneousStartsLeaveExactlyOneHolder) {
    std::vector<std::unique_ptr<Start>> starts;
    for (int i = 0; i < 50; ++i) starts.push_back(std::make_unique<Start>());
    Start* holder = nullptr;
    for (auto& start : starts) {
        const std::string first = start->next();
        if (first == "holds") {
            EXPECT_EQ(holder, nullptr) << "a second holder";
            holder = start.get();
            continue;
        }
        EXPECT_EQ(first, "ends") << "no message: the holder is only slow to start";
        EXPECT_EQ(start->next(), "");
    }
    ASSERT_NE(holder, nullptr);
    for (int call = 0; call < 49; ++call) ASSERT_EQ(holder->next(), "forward") << call;
}

// Stopped (Ctrl+Z, kill -STOP), or waiting on something that never comes: a start ends, and says which
// process does not answer.
TEST_F(Instance, ACopyThatDoesNotAnswerIsNamedAndNeverGetsASecondBesideIt) {
    Start stopped;
    ASSERT_EQ(stopped.next(), "holds");
    stopped.stop();
    const std::string told = "warning 'Quelmar': " + texts::runningCopyNotAnswering(stopped.pid());
    {
        PlacedHost here(places);
        EXPECT_TRUE(here.anotherInstanceRunning());
        EXPECT_EQ(here.messages, std::vector<std::string>{texts::runningCopyNotAnswering(stopped.pid())});
    }
    stopped.signal(SIGCONT);
    Start resumed;
    EXPECT_EQ(resumed.next(), "ends");
    EXPECT_EQ(resumed.next(), "") << "answered once it runs again";
    stopped.crash();

    // Asleep without taking calls, as a copy whose thread waits on a mount
    // that never answers: told once it has stayed so for a while.
    const pid_t sleeper = holdElsewhere(folder, /*listening=*/true, /*orphaned=*/false);
    ASSERT_GT(sleeper, 0);
    {
        Start asleep;
        EXPECT_EQ(asleep.next(), "warning 'Quelmar': " + texts::runningCopyNotAnswering(sleeper));
        EXPECT_EQ(asleep.next(), "ends");
    }
    ::kill(sleeper, SIGKILL);
    ::waitpid(sleeper, nullptr, 0);
}

// A copy whose process cannot end (a thread of it held in a read that
// never returns) keeps no later start from running: it let go when its
// window closed, or, where its first thread has ended with the lock still
// held (and its socket, or with that removed too), the rule moves to a new
// folder.
TEST_F(Instance, ACopyThatLetGoOrEndedKeepsNothingFromStarting) {
    {
        Start closed;
        ASSERT_EQ(closed.next(), "holds");
        closed.say("let go");
        ASSERT_EQ(closed.next(), "let go");
        Start next;
        EXPECT_EQ(next.next(), "holds") << "while the copy that let go still runs";
    }
    for (const bool listening : {true, false}) {
        const pid_t left = holdElsewhere(folder, listening, /*orphaned=*/true);
        ASSERT_GT(left, 0);
        {
            Start next;
            EXPECT_EQ(next.next(), "holds") << listening;
            Start after;
            EXPECT_EQ(after.next(), "ends") << listening;
            EXPECT_EQ(next.next(), "forward") << listening;
        }
        ::kill(left, SIGKILL);
    }
}

// A holder whose socket, or whole folder, a cleaner removed answers again.
TEST_F(Instance, AHolderAnswersAgainAfterItsSocketOrFolderIsRemoved) {
    Start holder;
    ASSERT_EQ(holder.next(), "holds");
    for (const auto& remove : std::vector<std::function<void()>>{
             [&] { std::filesystem::remove(folder + "/socket"); },
             // Made again by the holder before the next start comes.
             [&] {
                 std::filesystem::remove_all(folder);
                 while (!runtime.exists("quelmar/socket")) ::poll(nullptr, 0, 10);
             },
             [&] {
                 std::filesystem::remove(folder + "/socket");
                 ::mkfifo((folder + "/socket").c_str(), 0600);
             },
         }) {
        remove();
        Start later;
        EXPECT_EQ(later.next(), "ends");
        EXPECT_EQ(later.next(), "") << "without a message";
        EXPECT_EQ(holder.next(), "forward");
    }
}

// Whatever is at the rule's names, other than a running copy of this
// user's, the program starts at once and says nothing; what is this user's
// is taken over, so the rule holds from then on.
TEST_F(Instance, NothingButARunningCopyOfThisUsersKeepsItFromStarting) {
    const std::string deep = runtime.path("deep/" + std::string(110, 'd'));
    const char* foreign = std::getenv("QUELMAR_TEST_FOREIGN_TMPDIR");
    const struct {
        const char* name;
        std::function<void()> setUp;
        bool ruleHolds;
        bool needsAnotherAccount = false;
    } cases[] = {
        {"a pipe at the folder's name", [&] { ::mkfifo(folder.c_str(), 0600); }, true},
        {"a file at the folder's name", [&] { runtime.file("quelmar", "garbage"); }, true},
        {"a link at the folder's name", [&] { std::filesystem::create_directory_symlink("/", folder); }, true},
        {"a pipe at the socket's name", [&] { runtime.folder("quelmar"), ::mkfifo((folder + "/socket").c_str(), 0600); }, true},
        {"a folder at the socket's name", [&] { runtime.folder("quelmar/socket/inside"); }, true},
        {"no room in a socket's name for the folder's",
         [&] {
             runtime.folder(deep.substr(runtime.root().size() + 1));
             use({{deep, "quelmar"}});
         },
         true},
        {"a place that is a file, then one that cannot be written",
         [&] {
             runtime.file("not-a-folder");
             runtime.folder("closed");
             ::chmod(runtime.path("closed").c_str(), 0500);
             use({{runtime.path("not-a-folder"), "quelmar"}, {runtime.path("closed"), "quelmar"}});
         },
         false},
        // Another account made the rule's folder first in the shared
        // temporary folder: the next place holds the rule.
        {"another account's folder, then a place of this user's",
         [&] { use({{foreign ? foreign : "", "runtime-nobody"}, {runtime.root(), "quelmar"}}); }, true, true},
        {"another account's folder alone", [&] { use({{foreign ? foreign : "", "runtime-nobody"}}); }, false, true},
    };
    for (const auto& c : cases) {
        if (c.needsAnotherAccount && !foreign) {
            std::printf("skipped without a second account (run the tests as root): %s\n", c.name);
            continue;
        }
        c.setUp();
        const auto started = std::chrono::steady_clock::now();
        {
            PlacedHost first(places);
            EXPECT_FALSE(first.anotherInstanceRunning()) << c.name;
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(500)) << c.name;
            EXPECT_TRUE(first.messages.empty()) << c.name;
            Start second;
            EXPECT_EQ(second.next(), c.ruleHolds ? "ends" : "holds") << c.name;
        }
        std::filesystem::remove_all(folder);
        ::chmod(runtime.path("closed").c_str(), 0700);
        use({{runtime.root(), "quelmar"}});
    }
}

// Every start of one account finds the same rule, whatever its session
// says of itself.
TEST_F(Instance, OneRulePerAccountWhateverTheEnvironment) {
    const std::string name = "quelmar-test-" + std::to_string(::getpid());
    ::unsetenv("QUELMAR_TEST_RULE_PLACES");
    ::setenv("QUELMAR_TEST_INSTANCE_NAME", name.c_str(), 1);
    const std::vector<RulePlace> expected = rulePlaces(name);
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    std::error_code ignored;  // the holder's folder stays once it has ended, as the user's would
    const auto removeFolder = qScopeGuard([&] {
        for (const RulePlace& place : expected) std::filesystem::remove_all(place.parent + "/" + place.name, ignored);
    });
    Start first;
    ASSERT_EQ(first.next(), "holds");
    const std::string unset = "(unset)";
    const struct {
        std::string runtimeDir, home, tmp;
    } sessions[] = {
        {runtime.root(), "/home/userA", unset},
        {unset, unset, runtime.root()},
        {runtime.root() + "/", "/elsewhere", "/var/tmp"},
    };
    const auto put = [&](const char* name, const std::string& value) {
        value == unset ? ::unsetenv(name) : ::setenv(name, value.c_str(), 1);
    };
    for (const auto& s : sessions) {
        put("XDG_RUNTIME_DIR", s.runtimeDir);
        put("HOME", s.home);
        put("TMPDIR", s.tmp);
        EXPECT_EQ(rulePlaces(name), expected);
        Start another;
        EXPECT_EQ(another.next(), "ends");
        EXPECT_EQ(another.next(), "");
        EXPECT_EQ(first.next(), "forward");
    }
    ::setenv("HOME", savedHome.c_str(), 1);
    ::unsetenv("TMPDIR");
    ::unsetenv("QUELMAR_TEST_INSTANCE_NAME");
}

TEST(ProgramInfo, VersionAndFolderOfTheRunningProgram) {
    LinuxHost host;
    EXPECT_EQ(host.version().major, 1);
    EXPECT_EQ(host.version().revision, 8);
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    EXPECT_EQ(host.programFolder(), std::filesystem::path(exe).parent_path().string());
}

}  // namespace
}  // namespace quelmar::linux_host

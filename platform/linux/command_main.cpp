// quelmar on Linux. With arguments, the command for scripts and launchers,
// run with no window system loaded: on a cold disk, loading Qt's libraries
// alone takes longer than a third of a listing. With none, and where the
// command needs the folder the window stored (which Qt's settings library
// reads), it hands over to the window's program, which runs the same.

#include <cerrno>
#include <string>
#include <system_error>

#include "core/command_line.h"
#include "core/texts.h"
#include "platform/linux/console.h"
#include "platform/linux/posix_host.h"

namespace quelmar::linux_host {
namespace {

class CommandHost final : public PosixHost {
public:
    CommandHost(char** argv, PosixConsole& console) : argv_(argv), console_(console) {}

    // Replaces this program with the window's, arguments unchanged.
    void handOver() {
        const std::string folder = programFolder();
        // Beside it where it was built or unpacked, else where a package put it.
        std::string program = folder + "/quelmar-window";
        int error = console_.replaceWith(program.c_str(), argv_, false);
        if (error == ENOENT) {
            program = folder + "/" QUELMAR_INSTALLED_WINDOW_PROGRAM;
            error = console_.replaceWith(program.c_str(), argv_, false);
        }
        throw HostError(error, texts::notStarted(program, std::generic_category().message(error) + "."));
    }

    std::string getSetting(const std::string&, const std::string&, const std::string&, const std::string&) override {
        handOver();
        return {};
    }
    // What follows the command line never asks of its host: it tells on
    // stderr, stores nothing and takes no part in the one-copy rule.
    void showMessage(const std::string& text, MessageIcon, const std::string&) override { console_.writeError(text); }
    void saveSetting(const std::string&, const std::string&, const std::string&, const std::string&) override {}
    bool anotherInstanceRunning() override { return false; }
    LocateStart locateDialogStart() override { return {}; }

private:
    char** argv_;
    PosixConsole& console_;
};

}  // namespace
}  // namespace quelmar::linux_host

int main(int argc, char** argv) {
    using namespace quelmar;
    linux_host::PosixConsole console;
    auto& host = *new linux_host::CommandHost(argv, console);  // never destroyed: a worker may outlive main
    try {
        if (argc < 2) host.handOver();
    } catch (const HostError& error) {
        console.writeError(std::string(texts::kCommandName) + ": " + error.description());
        return cli::kError;
    }
    return cli::Run(cli::ParseArguments({argv + 1, argv + argc}), host, console);
}

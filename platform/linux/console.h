#pragma once
// The command line's side of a Linux process: the standard streams, the
// environment, Ctrl+C, and the game started after a deletion.

#include <csignal>
#include <stop_token>

#include "core/command_line.h"

namespace quelmar::linux_host {

class PosixConsole : public cli::Console {
public:
    // Takes SIGINT from here on: made before any other thread, so that
    // none of them is interrupted by it.
    PosixConsole();
    PosixConsole(const PosixConsole&) = delete;
    PosixConsole& operator=(const PosixConsole&) = delete;

    void writeOut(std::string_view bytes) override;
    void writeError(std::string_view line) override;
    bool outputIsTerminal() override;
    std::optional<std::string> environment(const char* name) override;
    std::optional<Found> lookUp(const std::string& path) override;
    std::stop_token interruption() override { return interrupted_.get_token(); }
    // Replaces the program with the command, as exec does, arguments and
    // signals as the program itself was given them.
    int runAfter(const std::vector<std::string>& command) override;
    // Replaces the program with `program` (looked up on the PATH where
    // `search`), with the signal mask and SIGPIPE as this program was given
    // them; returns the reason it could not.
    int replaceWith(const char* program, char* const argv[], bool search);

private:
    std::stop_source interrupted_;
    sigset_t taken_, given_;              // the signals this program takes; the mask it was given
    void (*pipeGiven_)(int) = SIG_DFL;    // what SIGPIPE did when it started
};

}  // namespace quelmar::linux_host

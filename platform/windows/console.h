#pragma once
// The command line's side of a Windows process: the console or whatever
// the standard handles lead to, the environment, Ctrl+C, and the game
// started after a deletion.

#include <stop_token>

#include "core/command_line.h"

namespace quelmar {

class WindowsConsole : public cli::Console {
public:
    // Takes Ctrl+C and Ctrl+Break from here on.
    WindowsConsole();
    WindowsConsole(const WindowsConsole&) = delete;
    WindowsConsole& operator=(const WindowsConsole&) = delete;

    void writeOut(std::string_view bytes) override;
    void writeError(std::string_view line) override;
    bool outputIsTerminal() override;
    std::optional<std::string> environment(const char* name) override;
    std::optional<Found> lookUp(const std::string& path) override;
    std::stop_token interruption() override;
    // Starts the command, waits for it and hands back its exit status: a
    // launcher then follows the game through this program.
    int runAfter(const std::vector<std::string>& command) override;
};

// The arguments after the program's name, as UTF-8 (WTF-8 where a name
// holds an unpaired surrogate), quoted as the C runtime reads them.
std::vector<std::string> ProgramArguments();

}  // namespace quelmar

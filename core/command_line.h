#pragma once
// Quelmar as a command, for scripts and game launchers: the same check and
// walk as the window's buttons, with no window system at all. What it says
// goes to the standard streams, never to a box.

#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"

namespace quelmar::cli {

// The exit statuses, as grep and ripgrep give them.
inline constexpr int kFound = 0;
inline constexpr int kNoneFound = 1;
inline constexpr int kError = 2;
inline constexpr int kCannotStart = 127;  // --then's command could not be started
inline constexpr int kInterrupted = 130;  // 128 + SIGINT, as shells report it

enum class Command { Window, List, Delete, Help, Version };

struct Request {
    Command command = Command::Window;
    std::optional<std::string> game;  // as typed: a folder, or a file in it
    bool print0 = false;
    bool quiet = false;
    std::vector<std::string> then;  // the command to start after deleting, and its arguments
    std::string error;              // a usage error, in a sentence; empty when there is none
};

// The arguments after the program's name. None at all: the window.
Request ParseArguments(const std::vector<std::string>& arguments);

// What the command needs of the system besides the host's services.
class Console {
public:
    virtual ~Console() = default;
    // Bytes to the standard output; raises HostError when they cannot be
    // written (a pipe whose reader went), which stops the command there.
    virtual void writeOut(std::string_view bytes) = 0;
    // One line to the standard error, without its line break.
    virtual void writeError(std::string_view line) = 0;
    virtual bool outputIsTerminal() = 0;
    virtual std::optional<std::string> environment(const char* name) = 0;
    struct Found {
        std::string path;  // absolute, as the system makes a path typed here absolute
        bool folder = false;
    };
    // What `path` names; nothing when nothing is there.
    virtual std::optional<Found> lookUp(const std::string& path) = 0;
    // Asked when the user interrupts (Ctrl+C): the walk then starts nothing more.
    virtual std::stop_token interruption() = 0;
    // Starts the command and hands its exit status back, or replaces this
    // program with it and does not return. Raises HostError when it cannot
    // be started.
    virtual int runAfter(const std::vector<std::string>& command) = 0;
};

// Runs a command that ParseArguments made (any but Window) and returns the
// exit status.
int Run(const Request& request, Host& host, Console& console);

// The folder the launcher names for the game it is starting.
inline constexpr const char* kLauncherGameFolder = "STEAM_COMPAT_INSTALL_PATH";

}  // namespace quelmar::cli

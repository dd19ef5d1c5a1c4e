// The command line's arguments are whatever a script or launcher passes,
// any bytes. Besides not crashing, the parser must keep its word:
// - a request it accepts is a command (the window only for no arguments);
// - --then belongs to --delete, and takes every argument after it as is;
// - the game is one of the arguments, as given.
// Input: the arguments, separated by NUL bytes.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/command_line.h"

using quelmar::cli::Command;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) arguments.emplace_back();
        else arguments.back() += static_cast<char>(data[i]);
    }
    if (size == 0) arguments.clear();
    const quelmar::cli::Request request = quelmar::cli::ParseArguments(arguments);
    if (!request.error.empty()) return 0;
    if ((request.command == Command::Window) != arguments.empty()) std::abort();
    if (!request.then.empty()) {
        if (request.command != Command::Delete && request.command != Command::Help && request.command != Command::Version)
            std::abort();
        // Everything after the first "--then" that is not a game's name.
        std::size_t at = 0;
        while (at < arguments.size() && arguments[at] != "--then") ++at;
        if (std::vector<std::string>(arguments.begin() + static_cast<std::ptrdiff_t>(at) + 1, arguments.end()) !=
            request.then)
            std::abort();
    }
    if (request.game) {
        bool given = false;
        for (const std::string& argument : arguments) given = given || argument == *request.game;
        if (!given) std::abort();
    }
    return 0;
}

#include "platform/linux/console.h"

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include "core/texts.h"

namespace quelmar::linux_host {

namespace {

std::string reason(int error) { return std::generic_category().message(error) + "."; }

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) throw HostError(errno, texts::outputNotWritten(reason(errno)));
        bytes.remove_prefix(static_cast<std::size_t>(wrote));
    }
}

}  // namespace

PosixConsole::PosixConsole() {
    sigemptyset(&taken_);
    // A reader that went away is a write error to tell and stop at, not a
    // signal that ends the program between two deletions.
    pipeGiven_ = std::signal(SIGPIPE, SIG_IGN);
    // SIGINT ignored (a job a script put in the background) stays ignored.
    struct sigaction interrupt {};
    if (sigaction(SIGINT, nullptr, &interrupt) == 0 && interrupt.sa_handler != SIG_IGN) sigaddset(&taken_, SIGINT);
    pthread_sigmask(SIG_BLOCK, &taken_, &given_);
    if (sigismember(&taken_, SIGINT) != 1) return;
    // The first Ctrl+C stops the walk before its next folder or deletion; a
    // second one, for a walk held in a read that does not answer, ends the
    // program there and then.
    std::thread([taken = taken_, stop = interrupted_]() mutable {
        int signal = 0;
        while (sigwait(&taken, &signal) == 0) {
            if (stop.stop_requested()) ::_exit(cli::kInterrupted);
            stop.request_stop();
        }
    }).detach();
}

void PosixConsole::writeOut(std::string_view bytes) { writeAll(STDOUT_FILENO, bytes); }

void PosixConsole::writeError(std::string_view line) {
    try {
        writeAll(STDERR_FILENO, std::string(line) + '\n');
    } catch (const HostError&) {
        // Nowhere left to tell it.
    }
}

bool PosixConsole::outputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::optional<std::string> PosixConsole::environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::optional<cli::Console::Found> PosixConsole::lookUp(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
        throw HostError(errno, texts::failure(texts::Operation::TestPath, path, reason(errno)));
    }
    Found found{path, S_ISDIR(st.st_mode)};
    if (found.path[0] != '/') {
        std::error_code error;
        const std::string here = std::filesystem::current_path(error).string();
        if (error) throw HostError(error.value(), texts::failure(texts::Operation::TestPath, path, reason(error.value())));
        found.path = here + (here == "/" ? "" : "/") + found.path;
    }
    // "game/", "./game" and "." name the folder they would in a shell, and
    // the paths printed read so; ".." is left alone, as a link may stand before it.
    for (std::size_t at; (at = found.path.find("/./")) != std::string::npos;) found.path.erase(at, 2);
    while (found.path.size() > 1 && (found.path.back() == '/' || found.path.ends_with("/.")))
        found.path.pop_back();
    return found;
}

int PosixConsole::replaceWith(const char* program, char* const argv[], bool search) {
    std::signal(SIGPIPE, pipeGiven_);
    pthread_sigmask(SIG_SETMASK, &given_, nullptr);
    search ? ::execvp(program, argv) : ::execv(program, argv);
    const int error = errno;
    pthread_sigmask(SIG_BLOCK, &taken_, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return error;
}

int PosixConsole::runAfter(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& argument : command) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int error = replaceWith(argv[0], argv.data(), true);
    throw HostError(error, texts::notStarted(command[0], reason(error)));
}

}  // namespace quelmar::linux_host

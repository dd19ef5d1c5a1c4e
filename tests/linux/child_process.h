#pragma once
// Running part of a test in a process of its own: to take privileges, a
// system-call filter or a mount namespace that must not outlive it.
//
// The process is this test program started again, `--child NAME ARG...`,
// so that it begins with no thread of the tests': a namespace of its own
// needs that, and ThreadSanitizer then checks the threads it starts. NAME is
// a function registered with a `Child` object. A process made by fork alone
// has none of its parent's threads but all their locks and state, so it is
// made only from one that has no threads yet.

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quelmar::testing {

using ChildBody = std::function<int(const std::vector<std::string>& args)>;

inline std::map<std::string, ChildBody>& childBodies() {
    static std::map<std::string, ChildBody> bodies;
    return bodies;
}

// Registers `body` as NAME, from a static object at namespace scope.
struct Child {
    Child(const std::string& name, ChildBody body) { childBodies()[name] = std::move(body); }
};

inline int statusOf(pid_t child) {
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child) return 126;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the body registered as `args[0]` in this program started again,
// with the rest of `args`; its exit status is the result (128 and the
// signal's number when a signal ended it).
inline int runChild(const std::vector<std::string>& args) {
    std::vector<std::string> line = {"quelmar-test-child", "--child"};
    line.insert(line.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : line) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        ::execv("/proc/self/exe", argv.data());
        ::_exit(127);
    }
    return statusOf(child);
}

// For main(), first of all: the registered body that `--child NAME ...`
// names, run; none for an ordinary start.
inline std::optional<int> childMain(int argc, char** argv) {
    if (argc < 3 || std::strcmp(argv[1], "--child") != 0) return std::nullopt;
    const auto body = childBodies().find(argv[2]);
    if (body == childBodies().end()) return 2;
    try {
        return body->second(std::vector<std::string>(argv + 3, argv + argc));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
}

// Runs `body` in a child made by fork; only for a process that has no
// threads yet (a child started by runChild that starts none itself).
inline int inChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            ::_exit(body());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            ::_exit(3);
        }
    }
    return statusOf(child);
}

// A user and mount namespace of its own for this process, where an
// unprivileged user may bind-mount; false where the system gives none. Only
// in a process that has no threads yet.
inline bool enterOwnMountNamespace() {
    const uid_t uid = ::getuid();
    const gid_t gid = ::getgid();
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
    std::ofstream("/proc/self/setgroups") << "deny";
    std::ofstream("/proc/self/uid_map") << uid << " " << uid << " 1";
    std::ofstream("/proc/self/gid_map") << gid << " " << gid << " 1";
    return true;
}

}  // namespace quelmar::testing

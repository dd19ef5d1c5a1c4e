#pragma once
// Running part of a test in a child process: to take privileges, a system-
// call filter or a mount namespace that must not outlive it.

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <functional>

namespace quelmar::testing {

// Runs `body` in a child process; its exit status is the result (128 and
// the signal's number when a signal ended it).
inline int inChild(const std::function<int()>& body) {
    std::fflush(stderr);
    const pid_t child = ::fork();
    if (child == 0) {
        try {
            ::_exit(body());
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            ::_exit(3);
        }
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// With a mount namespace of its own, where an unprivileged user may
// bind-mount; 77 when the system gives none.
inline int inOwnMountNamespace(const std::function<int()>& body) {
    return inChild([&] {
        const uid_t uid = ::getuid();
        const gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return 77;
        std::ofstream("/proc/self/setgroups") << "deny";
        std::ofstream("/proc/self/uid_map") << uid << " " << uid << " 1";
        std::ofstream("/proc/self/gid_map") << gid << " " << gid << " 1";
        return body();
    });
}

}  // namespace quelmar::testing

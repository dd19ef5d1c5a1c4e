// Permission tests only mean something for an ordinary user: root may read
// and delete anything. Run as root (as CI does), the tests first become the
// unprivileged "nobody".
#include <gtest/gtest.h>
#include <grp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLockFile>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "tests/linux/child_process.h"

namespace quelmar::linux_host {
// A start of the program's single-instance check, for the tests that need
// more than one process (linux_host_test.cpp).
int instanceStartMain(int argc, char** argv);
}  // namespace quelmar::linux_host

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// Binds and listens on `address` with a queue of none, and fills it with a
// connection of its own that is never accepted: as hostile as a holder gets.
bool holdFull(const sockaddr_un& address, socklen_t size) {
    const int held = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    return held >= 0 && filler >= 0 && ::bind(held, reinterpret_cast<const sockaddr*>(&address), size) == 0 &&
           ::listen(held, 0) == 0 && ::connect(filler, reinterpret_cast<const sockaddr*>(&address), size) == 0;
}

// As root, a child holds what another account could of "nobody"'s: the
// abstract socket name earlier versions used, and the runtime folder Qt
// falls back to in a shared temporary folder, made first, with a live lock
// and a socket in it. The tests then check that neither keeps "nobody" from
// starting. The child ends with the tests: it watches a pipe that only the
// tests' process holds open.
void holdForeignInstanceNames() {
    char shared[] = "/tmp/quelmar-foreign-XXXXXX";
    if (::mkdtemp(shared) == nullptr || ::chmod(shared, 01777) != 0) return;
    const std::string squatted = std::string(shared) + "/runtime-nobody";
    if (::mkdir(squatted.c_str(), 0700) != 0 || ::chmod(squatted.c_str(), 0777) != 0) return;
    int ready[2], alive[2];
    if (::pipe(ready) != 0 || ::pipe(alive) != 0) return;
    if (::fork() == 0) {
        ::close(alive[1]);
        const int null = ::open("/dev/null", O_RDWR);  // never keeps the caller's output open
        for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
        sockaddr_un abstract{}, inFolder{};
        abstract.sun_family = inFolder.sun_family = AF_UNIX;
        const std::string oldName = "quelmar-" + std::to_string(kNobody);
        std::memcpy(abstract.sun_path + 1, oldName.data(), oldName.size());
        const std::string socketPath = squatted + "/quelmar.socket";
        std::memcpy(inFolder.sun_path, socketPath.data(), socketPath.size());
        QLockFile lock(QString::fromStdString(squatted + "/quelmar.lock"));
        const bool held =
            holdFull(abstract, static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + oldName.size())) &&
            holdFull(inFolder, sizeof inFolder) && lock.tryLock(0);
        (void)!::write(ready[1], held ? "y" : "n", 1);
        pollfd watched[] = {{alive[0], POLLIN, 0}};
        while (held && ::poll(watched, 1, -1) >= 0 && watched[0].revents == 0) {
        }
        lock.unlock();
        ::unlink(socketPath.c_str());
        ::rmdir(squatted.c_str());
        ::rmdir(shared);
        ::_exit(0);
    }
    ::close(alive[0]);
    ::fcntl(alive[1], F_SETFD, FD_CLOEXEC);
    char answer = 'n';
    (void)!::read(ready[0], &answer, 1);
    if (answer == 'y') ::setenv("QUELMAR_TEST_FOREIGN_TMPDIR", shared, 1);
}

}  // namespace

int main(int argc, char** argv) {
    // A part of a test in a process of its own, started by the tests as the
    // user they run as: nothing else of the tests' runs there.
    if (const std::optional<int> status = quelmar::testing::childMain(argc, argv)) {
        std::fflush(nullptr);
        ::_exit(*status);
    }
    if (argc > 1 && std::strcmp(argv[1], "--instance-start") == 0) {
        // Ended without the exit handlers: under a loaded machine the leak
        // checker's stop of this short-lived copy was seen to wait for ever,
        // and the tests' own process is checked for leaks all the same.
        const int status = quelmar::linux_host::instanceStartMain(argc, argv);
        std::fflush(nullptr);
        ::_exit(status);
    }
    if (::geteuid() == 0) {
        holdForeignInstanceNames();
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNogroup) != 0 || ::setuid(kNobody) != 0) {
            std::perror("could not drop root privileges for the permission tests");
            return 2;
        }
        ::prctl(PR_SET_DUMPABLE, 1);  // keeps /proc/self readable after the switch
        ::setenv("HOME", "/tmp", 1);
    }
    // The single-instance check answers later starts from an event loop.
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// Permission tests only mean something for an ordinary user: root may read
// and delete anything. Run as root (as CI does), the tests first become the
// unprivileged "nobody".
#include <gtest/gtest.h>
#include <grp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

// As root, a child holds an instance lock name as another account could,
// so the tests can check that it locks nobody out. It ends with the tests:
// it watches a pipe that only the tests' process holds open.
void holdAForeignInstanceName() {
    const std::string name = "quelmar-test-foreign-" + std::to_string(::getpid());
    int ready[2], alive[2];
    if (::pipe(ready) != 0 || ::pipe(alive) != 0) return;
    if (::fork() == 0) {
        ::close(alive[1]);
        const int null = ::open("/dev/null", O_RDWR);  // never keeps the caller's output open
        for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name.data(), name.size());
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        // As hostile as it gets: a queue of none, filled by a connection of
        // its own and never accepted, so every further connect would wait.
        const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const bool held = s >= 0 && ::bind(s, reinterpret_cast<sockaddr*>(&address), size) == 0 &&
                          ::listen(s, 0) == 0 && ::connect(filler, reinterpret_cast<sockaddr*>(&address), size) == 0;
        (void)!::write(ready[1], held ? "y" : "n", 1);
        pollfd watched[] = {{alive[0], POLLIN, 0}};
        while (held && ::poll(watched, 1, -1) >= 0 && watched[0].revents == 0) {
        }
        ::_exit(0);
    }
    ::close(alive[0]);
    ::fcntl(alive[1], F_SETFD, FD_CLOEXEC);
    char answer = 'n';
    (void)!::read(ready[0], &answer, 1);
    if (answer == 'y') ::setenv("QUELMAR_TEST_FOREIGN_INSTANCE", name.c_str(), 1);
}

int main(int argc, char** argv) {
    if (::geteuid() == 0) {
        holdAForeignInstanceName();
        const gid_t nogroup = 65534;
        const uid_t nobody = 65534;
        if (::setgroups(0, nullptr) != 0 || ::setgid(nogroup) != 0 || ::setuid(nobody) != 0) {
            std::perror("could not drop root privileges for the permission tests");
            return 2;
        }
        ::prctl(PR_SET_DUMPABLE, 1);  // keeps /proc/self readable after the switch
        ::setenv("HOME", "/tmp", 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

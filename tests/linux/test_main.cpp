// Permission tests only mean something for an ordinary user: root may read
// and delete anything. Run as root (as CI does), the tests first become the
// unprivileged "nobody".
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (::geteuid() == 0) {
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

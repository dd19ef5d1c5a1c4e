#include "single_instance.h"

#include <QCoreApplication>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>

namespace quelmar::linux_host {
namespace {

constexpr char kSocket[] = "socket";

ino_t idAt(int folder, const std::string& name, int flags = AT_SYMLINK_NOFOLLOW) {
    struct stat st;
    return ::fstatat(folder, name.c_str(), &st, flags) == 0 ? st.st_ino : 0;
}

// Bound or connected through the open folder, as its path may be too long.
Fd socketIn(const Fd& folder, int (*use)(int, const sockaddr*, socklen_t)) {
    sockaddr_un to{AF_UNIX, {}};
    std::snprintf(to.sun_path, sizeof to.sun_path, "/proc/self/fd/%d/%s", folder.get(), kSocket);
    Fd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    return use(socket.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ? std::move(socket) : Fd();
}

// A parent where no other account may replace what this one makes: its own or the system's, closed to others or sticky.
bool safeParent(const Fd& parent) {
    struct stat st;
    return parent && ::fstat(parent.get(), &st) == 0 && (st.st_uid == ::geteuid() || st.st_uid == 0) &&
           ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

// Made if need be, opened without following a link, this user's and private;
// what else of this user's is there goes, never a folder a racing start made.
Fd openRuleFolder(const Fd& parent, const std::string& name) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        ::mkdirat(parent.get(), name.c_str(), 0700);
        Fd folder(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        const bool mine = folder && ::fstat(folder.get(), &st) == 0 && st.st_uid == ::geteuid();
        if (folder) return mine && ::fchmod(folder.get(), 0700) == 0 ? std::move(folder) : Fd();
        const bool found = ::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (found && st.st_uid != ::geteuid()) return Fd();
        if (found && !S_ISDIR(st.st_mode)) ::unlinkat(parent.get(), name.c_str(), 0);
    }
    return Fd();
}

// Whether the holder may yet answer, judged by what its process does (a loaded machine makes it slow,
// not hung): not if stopped for 1 s, idle for 5 s or busy for 30 s, nor if none listens for 5 s.
struct Watch {
    enum Verdict { Waiting, Silent, Gone };
    long long pid = -1, cpu = -1;  // the process judged, and the processor time it had used
    std::chrono::steady_clock::time_point since, running, progress;
    Verdict judge(pid_t holder) {
        using namespace std::chrono_literals;
        const auto now = std::chrono::steady_clock::now();
        if (holder != pid) pid = holder, cpu = -1, since = running = progress = now;
        if (pid <= 0) return now - since < 5s ? Waiting : Gone;
        std::string text;  // none once it has ended
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/stat"), text, '\0');
        char state = 'X';  // its first thread has ended: it ends, or never will
        long long user = 0, system = 0;
        std::sscanf(text.c_str() + text.rfind(')') + 1, " %c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lld %lld", &state,
                    &user, &system);
        if (state == 'Z' || state == 'X') return Gone;
        if (state != 'T' && state != 't') running = now;
        if (state == 'R' || user + system != cpu) progress = now;
        cpu = user + system;
        return now - running >= 1s || now - progress >= 5s || now - since >= 30s ? Silent : Waiting;
    }
};

}  // namespace

std::vector<RulePlace> rulePlaces(const std::string& name) {
    const std::string uid = std::to_string(::geteuid());
    std::vector<RulePlace> places{{"/run/user/" + uid, name}, {"/tmp", name + "-" + uid}};
    const passwd* account = ::getpwuid(::geteuid());
    char host[256] = {};
    if (account && account->pw_dir && account->pw_dir[0] == '/' && ::gethostname(host, sizeof host - 1) == 0)
        places.push_back({std::string(account->pw_dir) + "/.cache", name + "-" + host, true});
    return places;
}

std::optional<pid_t> SingleInstance::findOrHold() {
    if (folder_) return std::nullopt;  // the holder, asked again, does not find itself
    for (const RulePlace& place : places_) {
        if (place.makeParent) ::mkdir(place.parent.c_str(), 0700);  // where missing; safeParent judges what is there
        const Fd parent(::open(place.parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        Fd folder = safeParent(parent) ? openRuleFolder(parent, place.name) : Fd();
        Watch watch;
        Fd call;
        for (pid_t holder = 0; folder;) {
            if (!call) {
                if (::flock(folder.get(), LOCK_EX | LOCK_NB) == 0) {
                    folder_ = std::move(folder);
                    if (!listen()) letGo();  // then it runs without the rule
                    return std::nullopt;
                }
                if (errno != EWOULDBLOCK) return std::nullopt;  // a system that keeps no such locks
                ucred peer{};  // its process, this account's; none while it does not listen
                socklen_t size = sizeof peer;
                if ((call = socketIn(folder, ::connect)) &&
                    (::getsockopt(call.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid()))
                    return std::nullopt;
                holder = peer.pid;
            }
            pollfd answer{call.get(), POLLIN, 0};
            if (char byte; ::poll(&answer, 1, 20) > 0) {
                if (::recv(call.get(), &byte, 1, MSG_DONTWAIT) == 1) return 0;
                call = Fd();  // hung up without a word: that copy is closing
                continue;
            }
            const Watch::Verdict verdict = watch.judge(holder);
            if (verdict == Watch::Silent) return holder;
            if (verdict == Watch::Waiting) continue;
            call = Fd();
            if (::flock(folder.get(), LOCK_EX | LOCK_NB) == 0) continue;  // let go meanwhile
            // Ended keeping the lock (held in a read for good), or left: moved aside.
            const ino_t left = idAt(folder.get(), "", AT_EMPTY_PATH);
            const std::string aside = place.name + ".left-" + std::to_string(left);
            if (idAt(parent.get(), place.name) == left)
                ::renameat(parent.get(), place.name.c_str(), parent.get(), aside.c_str());
            folder = openRuleFolder(parent, place.name);
            if (idAt(folder.get(), "", AT_EMPTY_PATH) == left) return std::nullopt;  // it could not be moved
        }
    }
    return std::nullopt;
}

bool SingleInstance::listen() {
    const int held = folder_.get();  // whatever is at the socket's name goes: a crashed copy's, or anything
    if (::unlinkat(held, kSocket, 0) != 0 && ::unlinkat(held, kSocket, AT_REMOVEDIR) != 0)
        ::renameat(held, kSocket, held, (".socket-" + std::to_string(idAt(held, kSocket))).c_str());
    Fd listener = socketIn(folder_, ::bind);
    if (!listener || ::listen(listener.get(), SOMAXCONN) != 0) return false;
    listener_ = std::move(listener), socket_ = idAt(held, kSocket);
    calls_.setSocket(listener_.get());
    calls_.setEnabled(true);
    connect(&calls_, &QSocketNotifier::activated, this, &SingleInstance::answer, Qt::UniqueConnection);
    connect(qApp, &QCoreApplication::aboutToQuit, this, &SingleInstance::letGo, Qt::UniqueConnection);
    if (!keepInPlace_) keepInPlace_ = startTimer(1000);
    return true;
}

void SingleInstance::answer() {
    for (int call; listener_ && (call = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
        (void)!::send(call, "!", 1, MSG_NOSIGNAL | MSG_DONTWAIT);  // this copy runs, and took the call
        ::close(call);
        if (onSecondStart) onSecondStart();
    }
}

// A socket or folder that a cleaner removed: made again, or taken as at first.
void SingleInstance::timerEvent(QTimerEvent*) {
    if (!folder_ || idAt(folder_.get(), kSocket) == socket_ || listen()) return;
    letGo();
    findOrHold();
}

// What it held stays where it was, as after a crash: the next holder takes it.
void SingleInstance::letGo() {
    if (keepInPlace_) killTimer(std::exchange(keepInPlace_, 0));
    calls_.setEnabled(false);
    listener_ = Fd(), folder_ = Fd();  // the lock goes with the folder
}

}  // namespace quelmar::linux_host

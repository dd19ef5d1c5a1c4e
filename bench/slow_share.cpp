// quelmar-slow-share: a model of a slow network share, to time the walk where
// every read goes to the server. It mounts a real folder again through FUSE,
// holds each request that a listing or a deletion makes a fixed time, serves
// many of them at once, and lets the kernel keep nothing: entries and
// attributes expire at once, no lookup that failed is remembered, folders are
// never cached and their entries never come with attributes (no readdirplus),
// so a second listing asks the server for exactly as much as the first.
//
//   quelmar-slow-share SOURCE MOUNTPOINT [--delay-us N] [--threads N] [--counters FILE]
//
// It stays in the foreground until unmounted (fusermount3 -u MOUNTPOINT) or
// sent SIGINT or SIGTERM. It counts the requests it receives by kind and
// writes the counts to FILE when it receives SIGUSR1 and when it ends; the
// first line of FILE, "snapshot=N", tells a reader which request it answers.
// Only what the walk and its references need is served: looking up, reading
// folders and links, and unlinking; anything else is refused by FUSE.
#define FUSE_USE_VERSION 312  // 3.12: the loop's thread limits are set through fuse_loop_cfg_*
#include <fuse_lowlevel.h>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace {

enum Kind { kLookup, kGetattr, kOpendir, kReaddir, kReadlink, kUnlink, kOther, kKinds };
const char* const kKindNames[kKinds] = {"lookup", "getattr", "opendir", "readdir", "readlink", "unlink", "other"};

std::chrono::microseconds gDelay{1000};
std::atomic<unsigned long long> gCounts[kKinds];
std::atomic<int> gInFlight{0};
// The most requests held at once since the last snapshot: the proof that the
// share serves as many at once as it is said to.
std::atomic<int> gPeakInFlight{0};

// One request on its arrival: counted, and for the kinds a walk makes, held
// the fixed time before the work is done. Only the hold counts as in flight,
// so that a client already asking again while the last reply is on its way
// is not seen as two requests at once.
void arrived(Kind kind, bool held = true) {
    gCounts[kind].fetch_add(1, std::memory_order_relaxed);
    if (!held) return;
    const int now = gInFlight.fetch_add(1) + 1;
    int peak = gPeakInFlight.load();
    while (now > peak && !gPeakInFlight.compare_exchange_weak(peak, now)) {
    }
    if (gDelay.count() > 0) std::this_thread::sleep_for(gDelay);
    gInFlight.fetch_sub(1);
}

// A file or folder the kernel knows, held open by an O_PATH descriptor so
// that it can be reached again without a path, like passthrough_ll does.
struct Inode {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint64_t lookups = 0;
};

Inode gRoot;
std::mutex gInodesLock;
std::map<std::pair<dev_t, ino_t>, Inode*> gInodes;

Inode& inode(fuse_ino_t ino) { return ino == FUSE_ROOT_ID ? gRoot : *reinterpret_cast<Inode*>(ino); }

int statOf(int fd, struct stat* st) { return ::fstatat(fd, "", st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW); }

void init(void*, struct fuse_conn_info* conn) {
    // Entries must come one by one through lookup and getattr, as from a
    // server that hands out no attributes with a listing; a link's target is
    // asked for each time it is followed.
    conn->want &= ~(FUSE_CAP_READDIRPLUS | FUSE_CAP_READDIRPLUS_AUTO | FUSE_CAP_CACHE_SYMLINKS);
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    arrived(kLookup);
    const int fd = ::openat(inode(parent).fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        fuse_reply_err(req, errno);  // no negative entry: it would be kept
        return;
    }
    struct fuse_entry_param entry;
    std::memset(&entry, 0, sizeof entry);
    if (statOf(fd, &entry.attr) != 0) {
        const int error = errno;
        ::close(fd);
        fuse_reply_err(req, error);
        return;
    }
    Inode* node;
    {
        std::lock_guard lock(gInodesLock);
        auto& slot = gInodes[{entry.attr.st_dev, entry.attr.st_ino}];
        if (slot == nullptr) {
            slot = new Inode{fd, entry.attr.st_dev, entry.attr.st_ino, 0};
        } else {
            ::close(fd);
        }
        node = slot;
        ++node->lookups;
    }
    entry.ino = reinterpret_cast<fuse_ino_t>(node);
    entry.attr_timeout = 0;
    entry.entry_timeout = 0;
    fuse_reply_entry(req, &entry);
}

void forgetOne(fuse_ino_t ino, std::uint64_t lookups) {
    if (ino == FUSE_ROOT_ID) return;
    Inode* node = reinterpret_cast<Inode*>(ino);
    std::lock_guard lock(gInodesLock);
    node->lookups -= std::min(lookups, node->lookups);
    if (node->lookups == 0) {
        gInodes.erase({node->dev, node->ino});
        ::close(node->fd);
        delete node;
    }
}

void forget(fuse_req_t req, fuse_ino_t ino, std::uint64_t lookups) {
    arrived(kOther, false);
    forgetOne(ino, lookups);
    fuse_reply_none(req);
}

void forgetMulti(fuse_req_t req, size_t count, struct fuse_forget_data* forgets) {
    arrived(kOther, false);
    for (size_t i = 0; i < count; ++i) forgetOne(forgets[i].ino, forgets[i].nlookup);
    fuse_reply_none(req);
}

void getattr(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info*) {
    arrived(kGetattr);
    struct stat st;
    if (statOf(inode(ino).fd, &st) != 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fuse_reply_attr(req, &st, 0);
}

void readlink(fuse_req_t req, fuse_ino_t ino) {
    arrived(kReadlink);
    char target[PATH_MAX + 1];
    const ssize_t length = ::readlinkat(inode(ino).fd, "", target, PATH_MAX);
    if (length < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    target[length] = '\0';
    fuse_reply_readlink(req, target);
}

struct Folder {
    DIR* dir = nullptr;
    off_t offset = 0;
    struct dirent* pending = nullptr;  // read from the folder, not yet handed out
};

void opendir(fuse_req_t req, fuse_ino_t ino, struct fuse_file_info* fi) {
    arrived(kOpendir);
    const int fd = ::openat(inode(ino).fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : ::fdopendir(fd);
    if (dir == nullptr) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        fuse_reply_err(req, error);
        return;
    }
    fi->fh = reinterpret_cast<std::uint64_t>(new Folder{dir, 0, nullptr});
    fi->cache_readdir = 0;  // every listing goes to the server
    fi->keep_cache = 0;
    fuse_reply_open(req, fi);
}

void readdir(fuse_req_t req, fuse_ino_t, size_t size, off_t offset, struct fuse_file_info* fi) {
    arrived(kReaddir);
    Folder& folder = *reinterpret_cast<Folder*>(fi->fh);
    if (offset != folder.offset) {
        ::seekdir(folder.dir, offset);
        folder.pending = nullptr;
        folder.offset = offset;
    }
    std::vector<char> buffer(size);
    size_t used = 0;
    for (;;) {
        if (folder.pending == nullptr) {
            errno = 0;
            folder.pending = ::readdir(folder.dir);
            if (folder.pending == nullptr) {
                if (errno != 0 && used == 0) {
                    fuse_reply_err(req, errno);
                    return;
                }
                break;
            }
        }
        struct stat st;
        std::memset(&st, 0, sizeof st);
        st.st_ino = folder.pending->d_ino;
        st.st_mode = static_cast<mode_t>(folder.pending->d_type) << 12;
        const off_t next = folder.pending->d_off;
        const size_t size_of_entry =
            fuse_add_direntry(req, buffer.data() + used, size - used, folder.pending->d_name, &st, next);
        if (size_of_entry > size - used) break;  // kept for the next readdir
        used += size_of_entry;
        folder.pending = nullptr;
        folder.offset = next;
    }
    fuse_reply_buf(req, buffer.data(), used);
}

void releasedir(fuse_req_t req, fuse_ino_t, struct fuse_file_info* fi) {
    arrived(kOther, false);
    Folder* folder = reinterpret_cast<Folder*>(fi->fh);
    ::closedir(folder->dir);
    delete folder;
    fuse_reply_err(req, 0);
}

void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    arrived(kUnlink);
    fuse_reply_err(req, ::unlinkat(inode(parent).fd, name, 0) == 0 ? 0 : errno);
}

void writeCounts(const std::string& file, unsigned long long snapshot) {
    static std::mutex writing;
    std::lock_guard lock(writing);
    if (file.empty()) return;
    std::string text = "snapshot=" + std::to_string(snapshot) + "\n";
    for (int kind = 0; kind < kKinds; ++kind)
        text += std::string(kKindNames[kind]) + "=" + std::to_string(gCounts[kind].load()) + "\n";
    text += "peak_in_flight=" + std::to_string(gPeakInFlight.exchange(gInFlight.load())) + "\n";
    // Written aside and renamed, so a reader never sees half of it.
    const std::string aside = file + ".tmp";
    if (FILE* out = std::fopen(aside.c_str(), "w")) {
        std::fputs(text.c_str(), out);
        if (std::fclose(out) == 0) std::rename(aside.c_str(), file.c_str());
    }
}

int usage() {
    std::fputs("usage: quelmar-slow-share SOURCE MOUNTPOINT [--delay-us N] [--threads N] [--counters FILE]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const char* source = argv[1];
    const char* mountpoint = argv[2];
    unsigned threads = 64;
    std::string countersFile;
    for (int i = 3; i < argc; i += 2) {
        const std::string_view option = argv[i];
        if (i + 1 >= argc) return usage();
        char* end = nullptr;
        const long long value = std::strtoll(argv[i + 1], &end, 10);
        const bool number = end != argv[i + 1] && *end == '\0' && value >= 0;
        if (option == "--delay-us" && number) gDelay = std::chrono::microseconds(value);
        else if (option == "--threads" && number && value >= 1 && value <= 100000) threads = static_cast<unsigned>(value);
        else if (option == "--counters") countersFile = argv[i + 1];
        else return usage();
    }

    gRoot.fd = ::open(source, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (gRoot.fd < 0) {
        std::fprintf(stderr, "quelmar-slow-share: %s: %s\n", source, std::strerror(errno));
        return 1;
    }

    // SIGUSR1 is taken by a thread of its own, so every other thread,
    // libfuse's included, must start with it blocked.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGUSR1);
    sigaddset(&signals, SIGUSR2);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    unsigned long long snapshots = 0;
    std::thread reporter([&] {
        for (int got = 0; sigwait(&signals, &got) == 0 && got == SIGUSR1;) writeCounts(countersFile, ++snapshots);
    });

    struct fuse_lowlevel_ops ops;
    std::memset(&ops, 0, sizeof ops);
    ops.init = init;
    ops.lookup = lookup;
    ops.forget = forget;
    ops.forget_multi = forgetMulti;
    ops.getattr = getattr;
    ops.readlink = readlink;
    ops.opendir = opendir;
    ops.readdir = readdir;
    ops.releasedir = releasedir;
    ops.unlink = unlink;

    std::vector<char*> arguments = {argv[0], const_cast<char*>("-o"),
                                    const_cast<char*>("fsname=quelmar-slow-share,subtype=slow-share")};
    struct fuse_args args = FUSE_ARGS_INIT(static_cast<int>(arguments.size()), arguments.data());
    int status = 1;
    if (struct fuse_session* session = fuse_session_new(&args, &ops, sizeof ops, nullptr)) {
        if (fuse_set_signal_handlers(session) == 0) {
            if (fuse_session_mount(session, mountpoint) == 0) {
                writeCounts(countersFile, 0);  // tells a waiting script the mount is up
                struct fuse_loop_config* loop = fuse_loop_cfg_create();
                fuse_loop_cfg_set_max_threads(loop, threads);
                // Threads are kept once started, so no request waits for one.
                fuse_loop_cfg_set_idle_threads(loop, threads);
                // Ended by a signal, the loop returns its number: a plain end.
                const int ended = fuse_session_loop_mt(session, loop);
                status = ended == 0 || ended == SIGINT || ended == SIGTERM || ended == SIGHUP ? 0 : 1;
                fuse_loop_cfg_destroy(loop);
                fuse_session_unmount(session);
            }
            fuse_remove_signal_handlers(session);
        }
        fuse_session_destroy(session);
    }
    fuse_opt_free_args(&args);
    pthread_kill(reporter.native_handle(), SIGUSR2);
    reporter.join();
    writeCounts(countersFile, ++snapshots);
    return status;
}

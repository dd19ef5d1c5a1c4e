#include "posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/ascii.h"
#include "core/texts.h"
#include "platform/linux/fd.h"

namespace quelmar::linux_host {

namespace {

[[noreturn]] void fail(texts::Operation operation, const std::string& path, int error) {
    throw HostError(error, texts::failure(operation, path, texts::reasonFor(static_cast<std::errc>(error), operation)));
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// A hold on a folder that is not read through it, only opened, looked up
// and deleted in: it opens nothing on the file system (a share makes no
// request for it), and needs no leave to read the folder.
constexpr int kHoldFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

bool isMissing(int error) { return error == ENOENT || error == ENOTDIR; }

// A call interrupted by a signal before it did anything is made again.
template <typename Call>
auto retrying(Call call) {
    for (;;) {
        const auto result = call();
        if (result != -1 || errno != EINTR) return result;
    }
}

std::string join(const std::string& parent, std::string_view name) {
    std::string joined = parent;
    if (joined.empty() || joined.back() != '/') joined += '/';
    return joined += name;
}

struct OpenDir : FolderHandle {
    explicit OpenDir(Fd d) : fd(std::move(d)) {}
    Fd fd;
};

int fdOf(const Folder& folder) {
    const auto* open = dynamic_cast<const OpenDir*>(folder.handle.get());
    return open ? open->fd.get() : -1;
}

FolderId idOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), 0, static_cast<std::uint64_t>(st.st_ino)};
}

// What the path lookup makes of an entry, links followed. A link that
// leads nowhere or in a circle is neither a folder nor a file, as `find -L`
// sees it. One the lookup may not follow (a folder on its way this user
// may not open) counts as a folder: opening it then fails and says why,
// just as a plain folder this user may not open does.
bool leadsNowhere(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }
EntryKind kindOfMode(mode_t mode) {
    return S_ISREG(mode) ? EntryKind::File : S_ISDIR(mode) ? EntryKind::Folder : EntryKind::Other;
}
EntryKind kindAt(int dirFd, const char* name) {
    struct stat st;
    if (retrying([&] { return ::fstatat(dirFd, name, &st, 0); }) != 0)
        return leadsNowhere(errno) ? EntryKind::Other : EntryKind::Folder;
    return kindOfMode(st.st_mode);
}

// Reads an open folder; `path` is only for messages. The identity is of the
// folder actually opened, so that the walk knows a folder it has reached
// again by any route. One opened as a plain folder below its parent (no
// link, no mount on the way) is left unidentified until the walk asks,
// which saves a call on each of thousands of folders.
enum class Identify { Yes, No };
Folder readFolder(Fd dir, std::string path, Identify identify = Identify::Yes) {
    Folder folder;
    folder.path = std::move(path);
    struct stat st;
    if (identify == Identify::Yes) {
        if (::fstat(dir.get(), &st) != 0) fail(texts::Operation::ReadFolder, folder.path, errno);
        folder.id = idOf(st);
    }

    // getdents64 rather than readdir: a large install has thousands of
    // folders, and this saves a system call and a copy on each.
    alignas(dirent64) char buffer[32 * 1024];
    for (;;) {
        const ssize_t got = retrying([&] { return ::getdents64(dir.get(), buffer, sizeof buffer); });
        if (got == 0) break;
        if (got < 0) fail(texts::Operation::ReadFolder, folder.path, errno);
        folder.entries.reserve(folder.entries.size() + static_cast<std::size_t>(got) / 32);  // most records are 32 bytes or more
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            switch (entry->d_type) {
                case DT_DIR: folder.entries.push_back({name, EntryKind::Folder}); break;
                case DT_REG: folder.entries.push_back({name, EntryKind::File}); break;
                // Links are looked through; some file systems do not tell
                // the type while listing at all.
                case DT_LNK: folder.entries.push_back({name, kindAt(dir.get(), name), true}); break;
                case DT_UNKNOWN: folder.entries.push_back({name, kindAt(dir.get(), name)}); break;
                default: folder.entries.push_back({name, EntryKind::Other}); break;  // FIFOs, devices, sockets
            }
        }
    }
    folder.handle = std::make_unique<OpenDir>(std::move(dir));
    return folder;
}

Fd openFolderAt(int dirFd, const char* name) {
    return Fd(retrying([&] { return ::openat(dirFd, name, kFolderFlags); }));
}

// Set once the system has said it cannot open this way: a kernel older
// than 5.6 (ENOSYS), a sandbox that filters the call (ENOSYS or EPERM),
// flags it does not know (EINVAL, E2BIG). Not asked again after that.
std::atomic<bool> plainOpenRefused{false};

// The folder `name` of `dirFd`, opened only when it is a folder right there:
// not a link, and no mount point. Nothing when it is not, or when the
// system cannot open this way; the caller then opens it as any folder.
Fd openPlainFolderAt(int dirFd, const char* name, int flags = kFolderFlags) {
    if (plainOpenRefused.load(std::memory_order_relaxed)) return Fd();
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.resolve = RESOLVE_NO_XDEV | RESOLVE_NO_SYMLINKS;
    const long fd = retrying([&] { return ::syscall(SYS_openat2, dirFd, name, &how, sizeof how); });
    if (fd < 0 && (errno == ENOSYS || errno == EPERM || errno == EINVAL || errno == E2BIG))
        plainOpenRefused.store(true, std::memory_order_relaxed);
    return Fd(static_cast<int>(fd));
}

// The folder `name` in the folder `parent`, matched without regard to
// ASCII letter case, the exact spelling first and otherwise the smallest by
// bytes, so the answer never depends on the order the folder lists them.
// Looked up inside the open parent, so a parent near the path length limit
// works. Nothing when there is no such folder.
struct ChildFolder {
    Fd parent;
    std::string name;  // as on disk
};
std::optional<ChildFolder> findChildFolder(const std::string& parent, const std::string& name) {
    Fd dir(retrying([&] { return ::openat(AT_FDCWD, parent.c_str(), kHoldFlags); }));
    if (!dir) {
        if (isMissing(errno)) return std::nullopt;
        fail(texts::Operation::ReadFolder, parent, errno);
    }
    struct stat st;
    if (retrying([&] { return ::fstatat(dir.get(), name.c_str(), &st, 0); }) == 0) {
        if (S_ISDIR(st.st_mode)) return ChildFolder{std::move(dir), name};
    } else if (!isMissing(errno)) {
        fail(texts::Operation::TestPath, join(parent, name), errno);
    }
    Fd listing = openFolderAt(dir.get(), ".");
    if (!listing) fail(texts::Operation::ReadFolder, parent, errno);
    std::optional<std::string> best;
    for (const FolderEntry& entry : readFolder(std::move(listing), parent).entries)
        if (entry.kind == EntryKind::Folder && entry.name != name && sameIgnoringAsciiCase(entry.name, name) &&
            (!best || entry.name < *best))
            best = entry.name;
    if (!best) return std::nullopt;
    return ChildFolder{std::move(dir), *best};
}

}  // namespace

bool PosixFileSystem::folderExists(const std::string& path) {
    // The game folder may itself be a link (a game moved to another drive).
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (isMissing(errno)) return false;
    fail(texts::Operation::TestPath, path, errno);
}

bool PosixFileSystem::childFolderExists(const std::string& parent, const std::string& name) {
    return findChildFolder(parent, name).has_value();
}

Folder PosixFileSystem::openFolder(const std::string& parent, const std::string& name) {
    const std::optional<ChildFolder> child = findChildFolder(parent, name);
    if (!child) fail(texts::Operation::ReadFolder, join(parent, name), ENOENT);
    const std::string shown = join(parent, child->name);  // messages name it as it is on disk
    Fd dir = openFolderAt(child->parent.get(), child->name.c_str());
    if (!dir) fail(texts::Operation::ReadFolder, shown, errno);
    return readFolder(std::move(dir), shown);
}

Folder PosixFileSystem::openChild(const Folder& parent, const std::string& name) {
    const std::string path = join(parent.path, name);
    const int parentFd = fdOf(parent);
    if (parentFd < 0) fail(texts::Operation::ReadFolder, path, EBADF);
    if (Fd plain = openPlainFolderAt(parentFd, name.c_str())) {
        Folder folder = readFolder(std::move(plain), std::move(path), Identify::No);
        folder.plainRoute = true;
        return folder;
    }
    // A link or a mount point, or refused for a reason of its own: opened
    // the ordinary way, so that any failure is that way's, and identified.
    Fd dir = openFolderAt(parentFd, name.c_str());
    if (!dir) fail(texts::Operation::ReadFolder, path, errno);
    return readFolder(std::move(dir), std::move(path));
}

Folder PosixFileSystem::openChildUnread(const Folder& parent, const std::string& name) {
    Folder folder;
    folder.path = join(parent.path, name);
    const int parentFd = fdOf(parent);
    if (parentFd < 0) fail(texts::Operation::ReadFolder, folder.path, EBADF);
    Fd dir = openPlainFolderAt(parentFd, name.c_str(), kHoldFlags);
    folder.plainRoute = static_cast<bool>(dir);
    if (!dir && !(dir = Fd(retrying([&] { return ::openat(parentFd, name.c_str(), kHoldFlags); }))))
        fail(texts::Operation::ReadFolder, folder.path, errno);
    folder.handle = std::make_unique<OpenDir>(std::move(dir));
    return folder;
}

FolderId PosixFileSystem::identityOf(const Folder& folder) {
    if (folder.id.known()) return folder.id;
    struct stat st;
    const int fd = fdOf(folder);
    if (fd < 0 || ::fstat(fd, &st) != 0) return {};  // unknown: taken for no other folder
    return idOf(st);
}

FolderId PosixFileSystem::identityOfChild(const Folder& parent, const std::string& name) {
    struct stat st;
    const int fd = fdOf(parent);
    if (fd < 0 || retrying([&] { return ::fstatat(fd, name.c_str(), &st, 0); }) != 0 || !S_ISDIR(st.st_mode)) return {};
    return idOf(st);
}

EntryKind PosixFileSystem::kindOf(const Folder& folder, const std::string& name) {
    const int dirFd = fdOf(folder);
    if (dirFd < 0) fail(texts::Operation::ReadFolder, folder.path, EBADF);
    // Asked just before acting on an entry that was listed: an entry that
    // cannot be looked up (a folder that may be read but not searched) is a
    // failure to tell, never one to pass over as if it were a folder.
    struct stat st;
    if (retrying([&] { return ::fstatat(dirFd, name.c_str(), &st, 0); }) != 0) {
        if (leadsNowhere(errno)) return EntryKind::Other;
        fail(texts::Operation::DeleteFile, join(folder.path, name), errno);
    }
    return kindOfMode(st.st_mode);
}

std::size_t PosixFileSystem::openFolderBudget() {
    // Half the soft limit on descriptors: the rest is for whatever else the
    // program opens meanwhile (the window system, a message box's fonts).
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX / 2;
    return static_cast<std::size_t>(limit.rlim_cur) / 2;
}

Deletion PosixFileSystem::deleteFile(const Folder& folder, const std::string& name) {
    const std::string path = join(folder.path, name);
    const int dirFd = fdOf(folder);
    if (dirFd < 0) fail(texts::Operation::DeleteFile, path, EBADF);
    struct stat st;
    if (retrying([&] { return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW); }) != 0)
        fail(texts::Operation::DeleteFile, path, errno);
    // Listed as a file a moment ago; whatever stands there now that is not
    // one (a folder, a pipe) is no archive, and left alone.
    if (S_ISDIR(st.st_mode))
        throw HostError(EISDIR, texts::failure(texts::Operation::DeleteFile, path, texts::nowAFolderReason()));
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
        throw HostError(EINVAL, texts::failure(texts::Operation::DeleteFile, path, texts::nowNotAFileReason()));
    if (S_ISREG(st.st_mode)) {
        // Unlinking needs only the folder's permission; a file nobody may
        // write to is one its owner meant to keep, so it is left alone.
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            throw HostError(EACCES, texts::failure(texts::Operation::DeleteFile, path, texts::readOnlyReason()));
        if (retrying([&] { return ::faccessat(dirFd, name.c_str(), W_OK, 0); }) != 0)
            fail(texts::Operation::DeleteFile, path, errno);
    }
    // Relative to the folder that was read: whatever its path leads to now,
    // the entry removed is the one listed, and a link goes, not its target.
    if (retrying([&] { return ::unlinkat(dirFd, name.c_str(), 0); }) != 0) fail(texts::Operation::DeleteFile, path, errno);
    return Deletion::Done;  // the name goes at once, whoever has the file open
}

}  // namespace quelmar::linux_host

#include "posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/texts.h"

namespace quelmar::linux_host {

namespace {

[[noreturn]] void fail(texts::Operation operation, const std::string& path, int error) {
    throw HostError(error, texts::failure(operation, path, texts::reasonFor(static_cast<std::errc>(error), operation)));
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

bool isMissing(int error) { return error == ENOENT || error == ENOTDIR; }

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

std::string join(const std::string& parent, std::string_view name) {
    std::string joined = parent;
    if (joined.empty() || joined.back() != '/') joined += '/';
    return joined += name;
}

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }

private:
    int fd_;
};

struct OpenDir : FolderHandle {
    explicit OpenDir(Fd d) : fd(std::move(d)) {}
    Fd fd;
};

int fdOf(const Folder& folder) {
    const auto* open = dynamic_cast<const OpenDir*>(folder.handle.get());
    return open ? open->fd.get() : -1;
}

FolderId idOf(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// What the path lookup makes of an entry the listing could not tell, links
// followed; a link that leads nowhere (or in a circle, or somewhere this
// user may not look) is neither a folder nor a file, as `find -L` sees it.
FolderEntry lookUp(int dirFd, const char* name, unsigned char type) {
    FolderEntry entry{name, EntryKind::Other};
    struct stat st;
    if (::fstatat(dirFd, name, &st, 0) != 0) return entry;
    if (S_ISREG(st.st_mode)) entry.kind = EntryKind::File;
    if (!S_ISDIR(st.st_mode)) return entry;
    entry.kind = EntryKind::Folder;
    struct stat own;
    if (type == DT_LNK || (::fstatat(dirFd, name, &own, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(own.st_mode)))
        entry.leadsTo = idOf(st);
    return entry;
}

// Reads an open folder; `path` is only for messages. Its identity costs a
// system call per folder, so it is asked for only where a link may be
// compared with it: always when `identify`, and whenever it holds a link.
Folder readFolder(Fd dir, const std::string& path, bool identify) {
    Folder folder;
    folder.path = path;

    // getdents64 rather than readdir: a large install has thousands of
    // folders, and this saves a system call and a copy on each.
    alignas(dirent64) char buffer[32 * 1024];
    for (;;) {
        const ssize_t got = ::getdents64(dir.get(), buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) fail(texts::Operation::ReadFolder, path, errno);
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
                case DT_LNK:
                case DT_UNKNOWN:
                    folder.entries.push_back(lookUp(dir.get(), name, entry->d_type));
                    identify = identify || folder.entries.back().leadsTo.has_value();
                    break;
                default: folder.entries.push_back({name, EntryKind::Other}); break;  // FIFOs, devices, sockets
            }
        }
    }
    if (identify) {
        struct stat st;
        if (::fstat(dir.get(), &st) != 0) fail(texts::Operation::ReadFolder, path, errno);
        folder.id = idOf(st);
    }
    folder.handle = std::make_unique<OpenDir>(std::move(dir));
    return folder;
}

// The on-disk name of the folder `name` in `parent`, matched without regard
// to ASCII letter case, the exact spelling first and otherwise the smallest
// by bytes, so the answer never depends on the order the folder lists them.
// Nothing when there is no such folder.
std::optional<std::string> findChildFolder(const std::string& parent, const std::string& name) {
    struct stat st;
    const std::string exact = join(parent, name);
    if (::stat(exact.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return name;
    } else if (!isMissing(errno)) {
        fail(texts::Operation::TestPath, exact, errno);
    }
    Fd dir(::open(parent.c_str(), kFolderFlags));
    if (!dir) {
        if (isMissing(errno)) return std::nullopt;
        fail(texts::Operation::ReadFolder, parent, errno);
    }
    std::optional<std::string> best;
    for (const FolderEntry& entry : readFolder(std::move(dir), parent, false).entries)
        if (entry.kind == EntryKind::Folder && entry.name != name && sameIgnoringCase(entry.name, name) &&
            (!best || entry.name < *best))
            best = entry.name;
    return best;
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
    const std::string shown = join(parent, name);
    const std::optional<std::string> onDisk = findChildFolder(parent, name);
    if (!onDisk) fail(texts::Operation::ReadFolder, shown, ENOENT);
    Fd dir(::open(join(parent, *onDisk).c_str(), kFolderFlags));
    if (!dir) fail(texts::Operation::ReadFolder, shown, errno);
    return readFolder(std::move(dir), shown, true);
}

Folder PosixFileSystem::openChild(const Folder& parent, const std::string& name) {
    const std::string path = join(parent.path, name);
    const int parentFd = fdOf(parent);
    if (parentFd < 0) fail(texts::Operation::ReadFolder, path, EBADF);
    Fd dir(::openat(parentFd, name.c_str(), kFolderFlags));
    if (!dir) fail(texts::Operation::ReadFolder, path, errno);
    return readFolder(std::move(dir), path, false);
}

void PosixFileSystem::deleteFile(const Folder& folder, const std::string& name) {
    const std::string path = join(folder.path, name);
    const int dirFd = fdOf(folder);
    if (dirFd < 0) fail(texts::Operation::DeleteFile, path, EBADF);
    struct stat st;
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) fail(texts::Operation::DeleteFile, path, errno);
    if (S_ISDIR(st.st_mode)) fail(texts::Operation::DeleteFile, path, EISDIR);
    if (S_ISREG(st.st_mode)) {
        // Unlinking needs only the folder's permission; a file nobody may
        // write to is one its owner meant to keep, so it is left alone.
        if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
            throw HostError(EACCES, texts::failure(texts::Operation::DeleteFile, path, texts::readOnlyReason()));
        if (::faccessat(dirFd, name.c_str(), W_OK, 0) != 0)
            fail(texts::Operation::DeleteFile, path, errno);
    }
    // Relative to the folder that was read: whatever its path leads to now,
    // the entry removed is the one listed, and a link goes, not its target.
    if (::unlinkat(dirFd, name.c_str(), 0) != 0) fail(texts::Operation::DeleteFile, path, errno);
}

}  // namespace quelmar::linux_host

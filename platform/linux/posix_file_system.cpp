#include "posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>
#include <system_error>
#include <utility>

#include "core/texts.h"

namespace quelmar::linux_host {

namespace {

std::string reason(int error) { return texts::reasonFor(static_cast<std::errc>(error)); }

[[noreturn]] void fail(texts::Operation operation, const std::string& path, int error) {
    throw HostError(error, texts::failure(operation, path, reason(error)));
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

// Whether `candidate` names `wanted` better than `best` (empty: nothing yet).
// The exact spelling wins; among other spellings the smallest by bytes, so
// the archive test and the deletion always settle on the same entry whatever
// order the folder lists them in.
bool preferable(std::string_view wanted, std::string_view candidate, std::string_view best) {
    if (best == wanted || !sameIgnoringCase(wanted, candidate)) return false;
    return best.empty() || candidate == wanted || candidate < best;
}

// Views into the path it was made from; `name` runs to the path's end, so its
// data is a NUL-terminated string the system calls can take as it is.
struct Split {
    std::string_view parent;
    std::string_view name;
};

Split split(const std::string& path) {
    const std::string_view whole(path);
    const auto slash = whole.rfind('/');
    if (slash == std::string_view::npos) return {".", whole};
    return {slash == 0 ? whole.substr(0, 1) : whole.substr(0, slash), whole.substr(slash + 1)};
}

std::string join(const std::string& parent, std::string_view name) {
    std::string joined = parent;
    if (!joined.ends_with('/')) joined += '/';
    return joined += name;
}

std::string withoutTrailingSlash(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

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
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace

std::string PosixFileSystem::resolve(const std::string& path) {
    if (auto known = respelled_.find(path); known != respelled_.end()) {
        struct stat st;
        if (::lstat(known->second.c_str(), &st) == 0) return known->second;
        respelled_.erase(known);
    }
    return resolveUncached(path);
}

std::string PosixFileSystem::resolveUncached(const std::string& path) {
    const Split parts = split(path);
    if (parts.name.empty() || parts.name == "." || parts.name == "..") return path;

    struct stat st;
    std::string parent(parts.parent);
    if (::lstat(parent.c_str(), &st) != 0) {
        if (!isMissing(errno) || parent == path) return path;
        parent = resolve(parent);
    }
    const std::string exact = join(parent, parts.name);
    std::string found;
    if (::lstat(exact.c_str(), &st) == 0) {
        found = exact;
    } else {
        Dir dir(::opendir(parent.c_str()));
        if (!dir) return path;
        std::string best;
        while (const dirent* entry = ::readdir(dir.get()))
            if (preferable(parts.name, entry->d_name, best)) best = entry->d_name;
        if (best.empty()) return path;
        found = join(parent, best);
    }
    if (found != path) respelled_[path] = found;
    return found;
}

PosixFileSystem::Type PosixFileSystem::typeOf(const std::string& path, bool followLinks,
                                              const std::string& shownPath) {
    struct stat st;
    const int rc = followLinks ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) {
        if (isMissing(errno)) return Type::Missing;
        fail(texts::Operation::TestPath, shownPath, errno);
    }
    if (S_ISREG(st.st_mode)) return Type::File;
    if (S_ISDIR(st.st_mode)) return Type::Folder;
    return Type::Other;
}

PosixFileSystem::Type PosixFileSystem::typeInAnyCase(const std::string& path, bool followLinks) {
    const Type type = typeOf(path, followLinks, path);
    if (type != Type::Missing) return type;
    const std::string onDisk = resolve(path);
    return onDisk == path ? type : typeOf(onDisk, followLinks, onDisk);
}

bool PosixFileSystem::folderExists(const std::string& path) {
    // The game folder and its Assets folder may themselves be links (a game
    // moved to another drive, say), so these two tests follow links.
    return typeInAnyCase(path, true) == Type::Folder;
}

bool PosixFileSystem::fileExists(const std::string& path) {
    const Split parts = split(path);
    if (last_.valid && parts.parent == last_.folder) {
        const std::pair<std::string, Type>* match = nullptr;
        for (const auto& entry : last_.entries)
            if (preferable(parts.name, entry.first, match ? std::string_view(match->first) : std::string_view()))
                match = &entry;
        return match && match->second == Type::File;
    }
    return typeInAnyCase(path, false) == Type::File;
}

Folder PosixFileSystem::getFolder(const std::string& path) {
    last_.valid = false;
    const std::string folder = withoutTrailingSlash(path);
    std::string onDisk = folder;
    // open and getdents64 rather than opendir and readdir: a large install
    // has thousands of folders, and this saves a system call on each.
    int depth = 0;
    Fd dir(openFolder(folder, depth));
    if (!dir && isMissing(errno)) {
        const int firstError = errno;
        onDisk = resolve(folder);
        if (onDisk != folder) dir = Fd(::open(onDisk.c_str(), kFolderFlags));
        else errno = firstError;
    }
    if (!dir) {
        const int error = errno;
        releaseHeld();
        fail(texts::Operation::ReadFolder, onDisk, error);
    }

    Folder result;
    last_.folder = folder;
    last_.entries.clear();
    buffer_.resize(32 * 1024);
    for (;;) {
        const ssize_t got = ::getdents64(dir.get(), buffer_.data(), buffer_.size());
        if (got == 0) break;
        if (got < 0) fail(texts::Operation::ReadFolder, onDisk, errno);
        for (ssize_t at = 0; at < got;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer_.data() + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
            Type type = Type::Other;
            switch (entry->d_type) {
                case DT_DIR: type = Type::Folder; break;
                case DT_REG: type = Type::File; break;
                case DT_UNKNOWN: {
                    // Some file systems do not report the type while listing.
                    struct stat st;
                    if (::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                        type = S_ISDIR(st.st_mode) ? Type::Folder : S_ISREG(st.st_mode) ? Type::File : Type::Other;
                    break;
                }
                default: break;  // links, devices, sockets: neither a folder to visit nor an archive
            }
            if (type == Type::Folder) result.subFolders.emplace_back(name);
            last_.entries.emplace_back(name, type);
        }
    }
    last_.valid = true;
    if (depth < 2 && !result.subFolders.empty())
        held_.push_back({folder, dir.release(), result.subFolders.back(), depth});
    return result;
}

int PosixFileSystem::openFolder(const std::string& folder, int& depth) {
    const Split parts = split(folder);
    while (!held_.empty() && held_.back().path != parts.parent) {
        ::close(held_.back().fd);
        held_.pop_back();
    }
    depth = 0;
    if (held_.empty()) return ::open(folder.c_str(), kFolderFlags);
    depth = held_.back().depth + 1;
    const int fd = ::openat(held_.back().fd, parts.name.data(), kFolderFlags);
    const int error = errno;
    if (parts.name == held_.back().lastChild) {
        ::close(held_.back().fd);
        held_.pop_back();
    }
    errno = error;
    return fd;
}

void PosixFileSystem::releaseHeld() {
    for (const Held& h : held_) ::close(h.fd);
    held_.clear();
}

void PosixFileSystem::deleteFile(const std::string& path) {
    last_.valid = false;
    std::string onDisk = path;
    struct stat st;
    if (::lstat(onDisk.c_str(), &st) != 0) {
        if (!isMissing(errno)) fail(texts::Operation::DeleteFile, path, errno);
        onDisk = resolve(path);
        if (::lstat(onDisk.c_str(), &st) != 0) fail(texts::Operation::DeleteFile, path, errno);
    }
    if (!S_ISREG(st.st_mode)) fail(texts::Operation::DeleteFile, onDisk, S_ISDIR(st.st_mode) ? EISDIR : EPERM);
    // Unlinking needs only the folder's permission; a file nobody may write
    // to is one its owner meant to keep, so it is left alone.
    const bool noWriteBits = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
    if (noWriteBits || ::access(onDisk.c_str(), W_OK) != 0) {
        if (!noWriteBits && errno != EACCES) fail(texts::Operation::DeleteFile, onDisk, errno);
        throw HostError(EACCES, texts::failure(texts::Operation::DeleteFile, onDisk, texts::readOnlyReason()));
    }
    if (::unlink(onDisk.c_str()) != 0) fail(texts::Operation::DeleteFile, onDisk, errno);
}

}  // namespace quelmar::linux_host

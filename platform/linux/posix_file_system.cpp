#include "posix_file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <system_error>

#include "core/texts.h"

namespace quelmar::linux_host {

namespace {

std::string reason(int error) {
    std::string sentence = texts::reasonFor(static_cast<std::errc>(error));
    return sentence.empty() ? std::generic_category().message(error) : sentence;
}

[[noreturn]] void fail(texts::Operation operation, const std::string& path, int error) {
    throw HostError(error, texts::failure(operation, path, reason(error)));
}

bool isMissing(int error) { return error == ENOENT || error == ENOTDIR; }

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameIgnoringCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return i == a.size() && b[i] == '\0';
}

struct Split {
    std::string parent;
    std::string name;
};

Split split(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string join(const std::string& parent, const std::string& name) {
    return parent.ends_with('/') ? parent + name : parent + "/" + name;
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
    std::string parent = parts.parent;
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
        // Several spellings may match; take a stable one (the smallest by
        // bytes) rather than whichever the directory happens to list first.
        while (const dirent* entry = ::readdir(dir.get()))
            if (sameIgnoringCase(parts.name, entry->d_name) && (best.empty() || best > entry->d_name))
                best = entry->d_name;
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
        for (const auto& entry : last_.others) {
            if (entry.first == parts.name) return entry.second == Type::File;  // the exact spelling wins
            if (!match && sameIgnoringCase(parts.name, entry.first.c_str())) match = &entry;
        }
        return match && match->second == Type::File;
    }
    return typeInAnyCase(path, false) == Type::File;
}

Folder PosixFileSystem::getFolder(const std::string& path) {
    last_.valid = false;
    const std::string folder = withoutTrailingSlash(path);
    std::string onDisk = folder;
    Dir dir(::opendir(onDisk.c_str()));
    if (!dir && isMissing(errno)) {
        const int firstError = errno;
        onDisk = resolve(folder);
        if (onDisk != folder) dir.reset(::opendir(onDisk.c_str()));
        else errno = firstError;
    }
    if (!dir) fail(texts::Operation::ReadFolder, onDisk, errno);

    Folder result;
    last_.folder = folder;
    last_.others.clear();
    const int fd = ::dirfd(dir.get());
    errno = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
        Type type = Type::Other;
        switch (entry->d_type) {
            case DT_DIR: type = Type::Folder; break;
            case DT_REG: type = Type::File; break;
            case DT_UNKNOWN: {
                // Some file systems do not report the type while listing.
                struct stat st;
                if (::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
                    type = S_ISDIR(st.st_mode) ? Type::Folder : S_ISREG(st.st_mode) ? Type::File : Type::Other;
                break;
            }
            default: break;  // links, devices, sockets: neither a folder to visit nor an archive
        }
        if (type == Type::Folder) result.subFolders.emplace_back(name);
        else last_.others.emplace_back(name, type);
        errno = 0;
    }
    if (errno != 0) fail(texts::Operation::ReadFolder, onDisk, errno);
    last_.valid = true;
    return result;
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

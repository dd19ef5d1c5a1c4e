#pragma once
// The file system as the tool sees it on Linux: POSIX calls, names matched
// without regard to letter case as on the game's own system (the exact
// spelling wins when two names differ only in case), and symbolic links to
// folders not followed, so that nothing outside the game's tree is reached.

#include <map>
#include <string>
#include <vector>

#include "core/host.h"

namespace quelmar::linux_host {

class PosixFileSystem : public FileSystem {
public:
    PosixFileSystem() = default;
    PosixFileSystem(const PosixFileSystem&) = delete;
    PosixFileSystem& operator=(const PosixFileSystem&) = delete;
    ~PosixFileSystem() override { releaseHeld(); }

    bool folderExists(const std::string& path) override;
    bool fileExists(const std::string& path) override;
    Folder getFolder(const std::string& path) override;

    // Removes a regular file for good. A file without write permission counts
    // as read-only and is refused, as the game's own system would refuse it.
    void deleteFile(const std::string& path);

private:
    enum class Type { Missing, File, Folder, Other };

    // The path as it is spelled on disk, or the path itself when no entry of
    // that name exists in any letter case.
    std::string resolve(const std::string& path);
    std::string resolveUncached(const std::string& path);
    // lstat/stat that treat "not there" as Missing and raise on other errors.
    Type typeOf(const std::string& path, bool followLinks, const std::string& shownPath);
    // typeOf, trying the on-disk spelling when the path as given is missing.
    Type typeInAnyCase(const std::string& path, bool followLinks);

    // Folders whose on-disk spelling differs from the one asked for.
    std::map<std::string, std::string> respelled_;

    // Everything the most recent getFolder saw, so the archive test
    // that follows it needs no further look at the disk.
    struct Listing {
        std::string folder;  // as asked for, without the trailing '/'
        std::vector<std::pair<std::string, Type>> entries;
        bool valid = false;
    } last_;
    std::vector<char> buffer_;  // for reading folders, kept between calls

    // Child folders are opened relative to their parent, which spares the
    // kernel a walk down the whole path for each of thousands of folders.
    // At most two folders stay open for that, one opened by its full path and
    // one of its children, and each is closed as soon as its last child
    // folder has been opened, so a finished two-level walk leaves nothing open.
    struct Held {
        std::string path;
        int fd;
        std::string lastChild;
        int depth;  // 0 for the folder opened by its full path
    };
    std::vector<Held> held_;
    // Opens a folder for reading, relative to its parent when that is held;
    // `depth` tells how far below a folder opened by full path it lies.
    int openFolder(const std::string& folder, int& depth);
    void releaseHeld();
};

}  // namespace quelmar::linux_host

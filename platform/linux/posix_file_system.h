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
};

}  // namespace quelmar::linux_host

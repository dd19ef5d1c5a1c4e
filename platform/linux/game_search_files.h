#pragma once
// The disk as the game search sees it on Linux. Nothing here raises: what
// cannot be read is simply not there.

#include <string>

#include "core/game_search.h"

namespace quelmar::linux_host {

class PosixSearchDisk : public SearchDisk {
public:
    // Only a regular file is read (links followed): a FIFO or device under
    // the expected name would hang the dialog or never end.
    std::optional<std::string> readFile(const std::string& path, std::size_t limit) override;
    std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) override;
    // st_dev and st_ino of the folder the path leads to.
    std::optional<FolderId> folderId(const std::string& path) override;
};

// The user's home folder: $HOME when it is an absolute path, otherwise the
// user database's; empty when neither knows one.
std::string HomeFolder();

}  // namespace quelmar::linux_host

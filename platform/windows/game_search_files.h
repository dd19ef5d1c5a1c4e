#pragma once
// The disk and the registry as the game search sees them on Windows.
// Nothing here raises: what cannot be read is simply not there.

#include <string>
#include <vector>

#include "core/game_search.h"

namespace quelmar::win32 {

class WindowsSearchDisk : public SearchDisk {
public:
    // Only a file on a disk is read: a named pipe or device under the
    // expected name would hang the dialog or never end.
    std::optional<std::string> readFile(const std::string& path, std::size_t limit) override;
    std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) override;
    // The volume's serial number and the folder's index, links followed.
    std::optional<FolderId> folderId(const std::string& path) override;
};

// Where the game store is installed, as it tells the registry: this
// user's own record first (it follows the store when it moves), then the
// machine's, as 32-bit and as 64-bit programs see it. Missing or non-text
// values are left out.
std::vector<std::string> StoreFolders();

}  // namespace quelmar::win32

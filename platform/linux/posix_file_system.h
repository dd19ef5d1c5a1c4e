#pragma once
// The file system as the tool sees it on Linux: POSIX calls on open folder
// descriptors. A folder or file is whatever the kernel's own path lookup
// makes of an entry, links included. Child folders are opened, and archives
// deleted, relative to the descriptor of the folder that was read, so a path
// swapped for a link mid-way never leads the tool elsewhere, and no path
// length limit applies below the game folder. Only the Assets folder's name
// is matched without regard to letter case, as on the game's own system.

#include <string>

#include "core/host.h"

namespace quelmar::linux_host {

// Holds no state of its own: every call may come from any thread.
class PosixFileSystem : public FileSystem {
public:
    bool folderExists(const std::string& path) override;
    bool childFolderExists(const std::string& parent, const std::string& name) override;
    Folder openFolder(const std::string& parent, const std::string& name) override;
    // A folder that is neither a link nor a mount point comes back on a
    // plain route and unidentified (openat2 tells, where the system has
    // it); identityOf identifies it when asked.
    Folder openChild(const Folder& parent, const std::string& name) override;
    FolderId identityOf(const Folder& folder) override;
    EntryKind kindOf(const Folder& folder, const std::string& name) override;
    Folder openChildUnread(const Folder& parent, const std::string& name) override;
    FolderId identityOfChild(const Folder& parent, const std::string& name) override;
    std::size_t openFolderBudget() override;
    // Removes the entry itself (a link, never its target). A file nobody may
    // write to counts as read-only and is refused, as the game's own system
    // would refuse it; so is one this user may not write to.
    Deletion deleteFile(const Folder& folder, const std::string& name) override;
};

}  // namespace quelmar::linux_host

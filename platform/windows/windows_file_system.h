#pragma once
// The file system as the tool sees it on Windows. The game folder and its
// Assets folder are opened by path ("\\?\" form, so no 260-character
// limit), with the system's own case-insensitive lookup; everything below
// is opened relative to the handle of the folder that was read (NtOpenFile
// with a root directory), so no path grows with the depth and a path
// swapped for a link mid-way never leads the tool elsewhere. Folders are
// read through their handle (NtQueryDirectoryFile); a reparse point
// (symbolic link, junction) is whatever opening it, link followed, yields.
//
// Deleting opens the entry itself, never a link's target, and removes it
// through that handle. Wine resolves a Unix symbolic link to its target on
// every open, whatever the flags, and would delete the target; and it
// removes a file by the path it was opened by, so in a folder renamed since
// it was read it would remove nothing. So before anything is deleted, the
// path the system gives for the opened handle must be the entry's own path
// in its folder and still lead to the same file; an entry reached through
// a link, or one whose folder has moved, is refused instead. On Windows
// both always hold, and the link itself is deleted.

#include <string>

#include "core/host.h"

namespace quelmar::win32 {

// Holds no state of its own: every call may come from any thread, also on
// the same open folder (its handle is only ever read from, never moved).
class WindowsFileSystem : public FileSystem {
public:
    bool folderExists(const std::string& path) override;
    bool childFolderExists(const std::string& parent, const std::string& name) override;
    Folder openFolder(const std::string& parent, const std::string& name) override;
    Folder openChild(const Folder& parent, const std::string& name) override;
    // A read-only file is refused, as DeleteFileW refuses it; the setting
    // is the user's to clear.
    void deleteFile(const Folder& folder, const std::string& name) override;
};

}  // namespace quelmar::win32

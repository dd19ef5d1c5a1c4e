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
// Deleting opens the entry itself (FILE_OPEN_REPARSE_POINT), never a
// link's target, and removes it through that handle, with POSIX semantics
// where the system has them. Afterwards the entry must be gone from the
// folder it was read in; one still there is a failure, never a count.
//
// A name Windows refuses to be given ("?", "*", a tab, a backslash: made
// on Linux, and shown as it is by Wine) is opened by the file id its folder
// lists beside it; where even that cannot be done, the failure says the
// name cannot be used on this system.
//
// Under Wine (found at run time), a Linux disk and Wine's own ways would
// make it delete the wrong file; the checks only Wine needs are in
// wine_file_system.h, and are called only there.

#include <cstddef>
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
    EntryKind kindOf(const Folder& folder, const std::string& name) override;
    std::size_t openFolderBudget() override;
    // Not under Wine, whose server answers one request at a time: there a
    // walk with helpers measured 1.7 times as long as one without.
    bool readsSideBySide() override;
    // A read-only file is refused, as DeleteFileW refuses it; the setting
    // is the user's to clear.
    Deletion deleteFile(const Folder& folder, const std::string& name) override;
};

}  // namespace quelmar::win32

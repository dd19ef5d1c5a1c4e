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
// Under Wine a Linux disk and Wine's own ways need more (names Windows
// refuses, checks before and after a deletion): WineFileSystem
// (wine_file_system.h) is this class with the hooks below filled in, and
// the host creates it in place of this one there.

#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "core/host.h"
#include "platform/windows/nt_files.h"

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
    // A read-only file is refused, as DeleteFileW refuses it; the setting
    // is the user's to clear.
    Deletion deleteFile(const Folder& folder, const std::string& name) override;

protected:
    // Opens the entry `name` of an open folder, exactly as the folder
    // listed it; kNameInvalid where the system refuses the name.
    virtual NTSTATUS openEntry(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options,
                               Handle& out);
    // Whether an error opening or asking an entry means that it is no file
    // nor folder at all; on Windows none does.
    virtual bool meansNoFile(DWORD) { return false; }
    // What the entry `name` a folder lists as a file of `size` bytes is.
    virtual EntryKind kindOfListedFile(HANDLE, std::wstring_view, ULONGLONG) { return EntryKind::File; }
    // Raises where the file `entry`, opened as the entry `name` of
    // `folder`, must not be deleted; called just before it is marked.
    virtual void beforeMarking(const Folder&, const std::wstring&, HANDLE, const std::string&) {}
    // Raises, the mark taken back, where the deletion must not go on; called
    // once the file is marked, before its handle closes.
    virtual void afterMarking(const Folder&, HANDLE, const std::string&) {}
    // The same file still there, by its name, once marked and closed: what
    // became of the deletion. On Windows that is a failure.
    virtual Deletion stillThere(HANDLE folder, const std::wstring& name, const std::string& path);

    // What the entry `name` of an open folder is, links followed to their
    // end; failures raised for `path` where one is given.
    EntryKind kindOfEntry(HANDLE folder, std::wstring_view name, const std::string* path);

private:
    Folder readFolder(Handle dir, const std::string& path, std::shared_ptr<const Route> parent, std::wstring name);
};

}  // namespace quelmar::win32

#pragma once
// The Windows file system as it must be under Wine, where a Linux disk and
// Wine's own ways would otherwise make it miss names or delete the wrong
// file. The host creates it in place of WindowsFileSystem only there: on
// Windows a file-system driver that names handles its own way (a virtual
// machine's shared folder, some network or encrypted drives) would make
// every archive a false refusal.
//
// A name Windows refuses to be given ("?", "*", a tab, a backslash: made
// on Linux, and shown as it is by Wine) is opened by the file id its
// folder lists beside it; where even that cannot be done, the failure says
// the name cannot be used on this system.
//
// Wine resolves a Unix symbolic link to its target on every open, whatever
// the flags, and removes a file by the Unix path it made when it opened it:
// the link's target, found from the name it made for the folder when that
// was opened. The names it gives a handle leave out trailing dots and
// spaces, so two different paths can be given the same name. So before a
// file is deleted:
// - the folder must still be reached by the route it was opened by;
// - the name Wine gives the opened file must be this entry's in this folder;
// - no other entry of the folder, and no neighbour of any folder on the way
//   from the drive's root, may be shown by the same name, for then the name
//   cannot tell which of the two Wine holds; each folder on the way is read
//   once below one top folder.
// After the file is marked for deletion, and before Wine removes it as its
// handle closes, the folder is checked again, and the mark taken back if it
// moved. What remains is the moment between that check and the close.

#include "platform/windows/windows_file_system.h"

namespace quelmar::win32 {

class WineFileSystem : public WindowsFileSystem {
public:
    // Wine has no answer of its own for a Unix path too long: it says
    // "unsuccessful" when opening by path, and "invalid handle" when opening
    // relative to a folder whose handle is perfectly good. Either is told as
    // the path being too long, which is what it is. Wine opens relative to a
    // folder by the folder's path when it was opened, so "invalid handle"
    // otherwise means the folder has moved.
    bool folderExists(const std::string& path) override;
    Folder openFolder(const std::string& parent, const std::string& name) override;
    Folder openChild(const Folder& parent, const std::string& name) override;
    EntryKind kindOf(const Folder& folder, const std::string& name) override;
    Deletion deleteFile(const Folder& folder, const std::string& name) override;

protected:
    NTSTATUS openEntry(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options,
                       Handle& out) override;
    // Wine opens a Unix pipe or socket, then cannot tell what it is:
    // "invalid parameter", which Windows never answers for a plain name.
    bool meansNoFile(DWORD error) override { return error == ERROR_INVALID_PARAMETER; }
    // Wine lists a Unix pipe or socket as an empty plain file; only opening
    // it tells.
    EntryKind kindOfListedFile(HANDLE folder, std::wstring_view name, ULONGLONG size) override;
    void beforeMarking(const Folder& folder, const std::wstring& name, HANDLE entry, const std::string& path) override;
    void afterMarking(const Folder& folder, HANDLE entry, const std::string& path) override;
    // Wine removes the file only when the last handle to it closes, and
    // says nothing when it cannot (a folder this user may not change): the
    // same file still there is a failure, unless another program holds it
    // open, when Wine removes it as that program lets go.
    Deletion stillThere(HANDLE folder, const std::wstring& name, const std::string& path) override;
};

}  // namespace quelmar::win32

#pragma once
// What the Windows file system checks only under Wine, where a Linux disk
// and Wine's own ways would otherwise make it delete the wrong file. On
// Windows none of this runs: a file-system driver that names handles its
// own way (a virtual machine's shared folder, some network or encrypted
// drives) would make every archive a false refusal there.
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
//   cannot tell which of the two Wine holds.
// After the file is marked for deletion, and before Wine removes it as its
// handle closes, the folder is checked again, and the mark taken back if it
// moved. What remains is the moment between that check and the close.

#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/host.h"
#include "platform/windows/nt_files.h"

namespace quelmar::win32::wine {

// Whether Wine would find the Unix form of `path` longer than Linux takes.
bool pathTooLong(const std::string& path);

// Wine opens a Unix pipe or socket, then cannot tell what it is: "invalid
// parameter", which Windows never answers for a plain name.
bool nonFile(DWORD error);

// What opening an entry by the file id its folder lists gave. Wine looks an
// id up only below the folder, by the identity of the entries themselves,
// not of what links lead to: a link listed there that leads elsewhere is
// not found, though the folder lists its name. That is a name this system
// cannot reach, never an entry gone (Wine does not list a link that leads
// nowhere).
NTSTATUS openedByListedId(NTSTATUS status);

// The folders met on the way from a drive's root to the folders where
// files were deleted, each with the names it holds, so that each is read
// once for a whole deletion. Any thread may ask.
class Places {
public:
    // The reason the folder that Wine names `systemName` (the open folder
    // `id`) cannot be told from another that Wine would name alike; none
    // when it can.
    std::optional<std::string> whyNotUnique(const std::wstring& systemName, const FolderId& id);

private:
    struct Place {
        Handle handle;
        bool read = false;
        std::vector<std::wstring> names;
    };
    Place* placeAt(const std::wstring& key, HANDLE parent, std::wstring_view name);

    std::mutex mutex_;
    std::map<std::wstring, Place> places_;  // by their names as Wine may show them
    std::set<std::wstring> unique_;
};

// Raises the reason a file opened as the entry `name` of the open folder
// `route` (listed with `entries`) must not be deleted under Wine.
void checkDeletion(const Route& route, const std::vector<FolderEntry>& entries, const std::wstring& name,
                   HANDLE entry, const std::string& path);

// Whether the folder `route` is still reached by the route it was opened
// by: the path at the top, then each name as listed in the folder above.
bool stillWhereItWasOpened(const Route& route);

// Called once the file `entry` is marked for deletion, which Wine carries
// out as the handle closes, by the path it made at the open: where the
// folder `route` has moved since, that path leads elsewhere, so the mark is
// taken back and the deletion refused.
void takeBackIfMoved(const Route& route, HANDLE entry, const std::string& path);

}  // namespace quelmar::win32::wine

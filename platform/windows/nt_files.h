#pragma once
// The file layer's calls that the Windows file system and its checks under
// Wine share: opening relative to an open folder, a folder's route, and what
// the system says a handle holds.

#include <windows.h>
#include <winternl.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "core/host.h"
#include "platform/windows/win32_handle.h"

namespace quelmar::win32 {

namespace wine {
class Places;
}

inline constexpr NTSTATUS kNameInvalid = static_cast<NTSTATUS>(0xC0000033L);  // STATUS_OBJECT_NAME_INVALID
inline constexpr NTSTATUS kNameNotFound = static_cast<NTSTATUS>(0xC0000034L);  // STATUS_OBJECT_NAME_NOT_FOUND
inline constexpr NTSTATUS kPathNotFound = static_cast<NTSTATUS>(0xC000003AL);  // STATUS_OBJECT_PATH_NOT_FOUND
inline constexpr NTSTATUS kNoSuchFile = static_cast<NTSTATUS>(0xC000000FL);    // STATUS_NO_SUCH_FILE
inline constexpr ACCESS_MASK kFolderAccess = FILE_LIST_DIRECTORY | SYNCHRONIZE | FILE_READ_ATTRIBUTES;
inline constexpr ACCESS_MASK kLookAccess = FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// An open folder and the route it was opened by: the name it has in the
// open folder above it, or, at the top, the path it was opened by. Shared
// with the folders opened in it, which may outlive the walk's own hold.
struct Route {
    Handle handle;
    FolderId id;
    std::shared_ptr<const Route> parent;  // none: opened by `path`
    std::wstring name;                    // in `parent`, as listed
    std::string path;
    // Under Wine, of a top folder: what the deletions below it have learnt
    // of the folders on their way. Set by WineFileSystem as it opens the
    // folder, before any other thread can see it.
    mutable std::shared_ptr<wine::Places> places;
};

// The route of an open folder of the Windows file system; nullptr for any
// other folder.
const Route* routeOf(const Folder& folder);

// `name` in the folder at `parent`, for messages and paths.
std::string join(const std::string& parent, std::string_view name);

// Opens `name` relative to the open folder `folder`, or, with no folder,
// the full NT name `name`, exactly as spelt.
NTSTATUS openRelativeShared(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG options,
                            Handle& out);
NTSTATUS openRelative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options, Handle& out);

// Opens the entry `name` of an open folder, exactly as the folder listed
// it; kNameInvalid where the system refuses the name (a separator in it
// would make it a path to somewhere else).
NTSTATUS openNamed(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options, Handle& out);

// Goes through the records of an open folder, from its first, as
// `infoClass` gives them; `each` returns false to stop there. 0 once every
// record was seen or `each` stopped, or the status the system gave.
NTSTATUS forEachRecord(HANDLE folder, FILE_INFORMATION_CLASS infoClass,
                       const std::function<bool(const std::byte*)>& each);

// The same, each record typed and its name given, "." and ".." left out.
template <typename Info, typename Each>
NTSTATUS forEachListed(HANDLE folder, FILE_INFORMATION_CLASS infoClass, Each each) {
    return forEachRecord(folder, infoClass, [&](const std::byte* record) {
        // The name runs past the declared one-character array: read it
        // through a plain pointer so the compiler cannot assume otherwise.
        const auto& info = *reinterpret_cast<const Info*>(record);
        const auto* chars = reinterpret_cast<const wchar_t*>(record + offsetof(Info, FileName));
        const std::wstring_view name(chars, info.FileNameLength / sizeof(wchar_t));
        return name == L"." || name == L".." || each(name, info);
    });
}

// Opens a path as given, links followed; the error when it cannot.
Handle openPath(const std::string& path, DWORD access, DWORD& error);

// The identity of what a handle holds; false, the error in `error`, when
// the system gives none.
bool identify(HANDLE handle, FolderId& id, DWORD& error);

// The system's own name for what a handle holds, in NT form; empty, the
// error in `error`, when there is none.
std::wstring systemName(HANDLE handle, DWORD& error);

}  // namespace quelmar::win32

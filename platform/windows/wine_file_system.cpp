#include "platform/windows/wine_file_system.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "core/texts.h"
#include "platform/windows/system_functions.h"
#include "platform/windows/win32_error.h"
#include "platform/windows/win32_text.h"

namespace quelmar::win32 {

namespace wine {

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

}  // namespace wine

namespace {

constexpr auto kFileNamesInformation = static_cast<FILE_INFORMATION_CLASS>(12);
constexpr std::size_t kMostPlacesOpen = 512;

// A name as Wine may show it: without the dots and spaces at the end of
// each of its parts. Wine leaves out the trailing dots of every part, and
// the trailing spaces of some; taking both from every part makes alike at
// least every two names Wine could show alike.
std::wstring loose(std::wstring_view path) {
    std::wstring out;
    for (std::size_t from = 0;;) {
        const std::size_t cut = std::min(path.find(L'\\', from), path.size());
        const std::wstring_view part = path.substr(from, cut - from);
        const std::size_t last = part.find_last_not_of(L". ");
        out += last == std::wstring_view::npos ? part : part.substr(0, last + 1);
        if (cut == path.size()) return out;
        out += L'\\';
        from = cut + 1;
    }
}

std::wstring_view firstPart(std::wstring_view name) { return name.substr(0, name.find(L'\\')); }

// The names an open folder holds, read through a handle of its own.
bool readNames(HANDLE folder, std::vector<std::wstring>& names) {
    Handle dir;
    if (!NT_SUCCESS(openRelative(folder, L"", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_DIRECTORY_FILE, dir)))
        return false;
    return NT_SUCCESS(forEachListed<FILE_NAMES_INFORMATION>(dir.get(), kFileNamesInformation,
                                                            [&](std::wstring_view name, const FILE_NAMES_INFORMATION&) {
                                                                names.emplace_back(name);
                                                                return true;
                                                            }));
}

std::vector<std::wstring_view> partsOf(std::wstring_view path) {
    std::vector<std::wstring_view> parts;
    for (std::size_t from = 0; from <= path.size();) {
        const std::size_t cut = std::min(path.find(L'\\', from), path.size());
        parts.push_back(path.substr(from, cut - from));
        from = cut + 1;
    }
    return parts;
}

[[noreturn]] void refuse(DWORD error, const std::string& path, const std::string& reason) {
    throw HostError(static_cast<long>(error), texts::failure(texts::Operation::DeleteFile, path, reason));
}

// Whether Wine would find the Unix form of `path` longer than Linux takes.
bool pathTooLong(const std::string& path) {
    constexpr std::size_t kUnixPathMax = 4096;
    using UnixName = char*(CDECL*)(const wchar_t*);
    static const auto unixName = systemFunction<UnixName>(L"kernel32.dll", "wine_get_unix_file_name");
    if (unixName == nullptr) return path.size() >= kUnixPathMax;
    char* name = unixName(extendedPath(path).c_str());
    if (name == nullptr) return path.size() >= kUnixPathMax;
    const bool tooLong = std::strlen(name) >= kUnixPathMax;
    HeapFree(GetProcessHeap(), 0, name);
    return tooLong;
}

// Runs `call`, its failures of `operation` on `path` told as Wine means them.
template <typename Call>
auto told(texts::Operation operation, const std::string& path, Call call) {
    try {
        return call();
    } catch (const HostError& error) {
        const auto number = static_cast<DWORD>(error.number());
        if ((number == ERROR_GEN_FAILURE || number == ERROR_INVALID_HANDLE) && pathTooLong(path))
            fail(ERROR_FILENAME_EXCED_RANGE, operation, path);
        if (number == ERROR_INVALID_HANDLE)
            throw HostError(error.number(), texts::failure(operation, path, texts::folderMovedReason()));
        throw;
    }
}

// The file id an open folder lists for the entry spelt exactly `name`:
// kNameNotFound when it lists no such entry, kNameInvalid when it gives no
// ids. Read through a handle of its own, so that no other reader of the
// folder loses its place.
NTSTATUS listedId(HANDLE folder, std::wstring_view name, LARGE_INTEGER& id) {
    Handle dir;
    if (!NT_SUCCESS(openRelative(folder, L"", FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_DIRECTORY_FILE, dir)))
        return kNameInvalid;
    NTSTATUS found = kNameNotFound;
    const NTSTATUS read = forEachListed<FILE_ID_BOTH_DIR_INFO>(
        dir.get(), FileIdBothDirectoryInformation, [&](std::wstring_view listed, const FILE_ID_BOTH_DIR_INFO& info) {
            if (listed != name) return true;
            id = info.FileId;
            found = id.QuadPart != 0 ? 0 : kNameInvalid;
            return false;
        });
    return NT_SUCCESS(read) ? found : kNameInvalid;
}

// Opens the entry `name` of an open folder as listed, and where Windows
// refuses the name, by the file id listed beside it. Wine looks an id up
// only below the folder, by the identity of the entries themselves, not of
// what links lead to: a link listed there that leads elsewhere is not
// found, though the folder lists its name. That is a name this system
// cannot reach (kNameInvalid), never an entry gone (Wine does not list a
// link that leads nowhere).
NTSTATUS openListed(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options, Handle& out) {
    const NTSTATUS named = openNamed(folder, name, access, options, out);
    if (named != kNameInvalid) return named;
    LARGE_INTEGER id;
    if (const NTSTATUS listed = listedId(folder, name, id); !NT_SUCCESS(listed)) return listed;
    const NTSTATUS status = openRelative(
        folder, std::wstring_view(reinterpret_cast<const wchar_t*>(&id), sizeof id / sizeof(wchar_t)), access,
        options | FILE_OPEN_BY_FILE_ID, out);
    return NT_SUCCESS(status) ? status : kNameInvalid;
}

}  // namespace

namespace wine {

Places::Place* Places::placeAt(const std::wstring& key, HANDLE parent, std::wstring_view name) {
    if (auto found = places_.find(key); found != places_.end()) return &found->second;
    Handle opened;
    if (!NT_SUCCESS(parent == nullptr ? openRelative(nullptr, name, kFolderAccess, FILE_DIRECTORY_FILE, opened)
                                      : openListed(parent, name, kFolderAccess, FILE_DIRECTORY_FILE, opened)))
        return nullptr;
    // Keeps the open folders few in a big collection: those met again are
    // opened again. The caller's place (`parent`) may go with them.
    if (places_.size() >= kMostPlacesOpen) places_.clear();
    Place& place = places_[key];
    place.handle = std::move(opened);
    return &place;
}

std::optional<std::string> Places::whyNotUnique(const std::wstring& systemName, const FolderId& id) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::wstring whole = loose(systemName);
    if (unique_.count(whole) != 0) return std::nullopt;

    // "\??\Z:\home\..." : the drive's root, then the names on the way.
    const std::wstring_view prefix = L"\\??\\";
    const std::size_t rootEnd = systemName.find(L'\\', prefix.size());
    if (systemName.compare(0, prefix.size(), prefix) != 0 || rootEnd == std::wstring::npos)
        return texts::notCheckableReason();
    std::wstring key = systemName.substr(0, rootEnd + 1);
    Place* at = placeAt(key, nullptr, key);
    if (at == nullptr) return texts::notCheckableReason();
    const std::vector<std::wstring_view> parts = partsOf(std::wstring_view(systemName).substr(rootEnd + 1));

    for (std::size_t next = 0; next < parts.size();) {
        if (!at->read && !(at->read = readNames(at->handle.get(), at->names))) return texts::notCheckableReason();
        // Every name there that Wine could show as the next part, also one
        // holding a backslash, which Wine would show as several parts.
        std::vector<const std::wstring*> alike;
        for (const std::wstring& name : at->names)
            if (loose(firstPart(name)) == loose(parts[next])) alike.push_back(&name);
        if (alike.empty()) return texts::notCheckableReason();
        if (alike.size() > 1) {
            const std::wstring shown = systemName.substr(prefix.size(), rootEnd + 1 - prefix.size()) +
                                       std::wstring(parts[next]);
            const std::wstring& other = *alike[0] == parts[next] ? *alike[1] : *alike[0];
            return texts::sameShownFolderReason(narrow(shown), narrow(other));
        }
        const std::wstring& name = *alike.front();
        const std::vector<std::wstring_view> spans = partsOf(name);
        for (std::size_t i = 0; i < spans.size(); ++i)
            if (next + i >= parts.size() || loose(spans[i]) != loose(parts[next + i]))
                return texts::notCheckableReason();
        next += spans.size();
        key += L'\\' + loose(name);
        at = placeAt(key, at->handle.get(), name);
        if (at == nullptr) return texts::notCheckableReason();
    }
    FolderId reached;
    DWORD error = ERROR_SUCCESS;
    if (!identify(at->handle.get(), reached, error) || !SameFolder(reached, id)) return texts::notCheckableReason();
    unique_.insert(whole);
    return std::nullopt;
}

}  // namespace wine

namespace {

// Whether the folder `route` is still reached by the route it was opened
// by: the path at the top, then each name as listed in the folder above.
bool stillWhereItWasOpened(const Route& route) {
    Handle again;
    DWORD error = ERROR_SUCCESS;
    if (route.parent == nullptr) {
        again = openPath(route.path, kLookAccess, error);
    } else if (!stillWhereItWasOpened(*route.parent) ||
               !NT_SUCCESS(openListed(route.parent->handle.get(), route.name, kLookAccess, FILE_DIRECTORY_FILE, again))) {
        return false;
    }
    FolderId id;
    return again && identify(again.get(), id, error) && SameFolder(id, route.id);
}

// Raises the reason a file opened as the entry `name` of the open folder
// `route` (listed with `entries`) must not be deleted under Wine.
void checkDeletion(const Route& route, const std::vector<FolderEntry>& entries, const std::wstring& name,
                   HANDLE entry, const std::string& path) {
    // In a folder moved since it was opened, the name Wine made then leads
    // to another file or none (a hard link to this one, even).
    if (!stillWhereItWasOpened(route)) refuse(ERROR_FILE_INVALID, path, texts::folderMovedReason());

    // Where a link stands, Wine names the file by where it leads: the name
    // must be this entry's in this folder.
    DWORD error = ERROR_SUCCESS;
    const std::wstring folderName = systemName(route.handle.get(), error);
    const std::wstring entryName = folderName.empty() ? folderName : systemName(entry, error);
    if (entryName.empty()) fail(error, texts::Operation::DeleteFile, path);
    if (loose(entryName) != loose(folderName + L'\\' + name)) refuse(ERROR_NOT_SUPPORTED, path, texts::linkNotDeletedReason());

    // That name says which file Wine holds only where no other could be
    // shown by it: no other entry here ("Blueprints.pak."), and no neighbour
    // of a folder on the way ("Assets." beside "Assets").
    for (const FolderEntry& other : entries) {
        const std::wstring otherName = widen(other.name);
        if (otherName != name && loose(otherName) == loose(name))
            refuse(ERROR_NOT_SUPPORTED, path, texts::sameShownNameReason(other.name));
    }
    const Route* top = &route;
    while (top->parent != nullptr) top = top->parent.get();
    if (top->places == nullptr) refuse(ERROR_NOT_SUPPORTED, path, texts::notCheckableReason());
    if (const auto why = top->places->whyNotUnique(folderName, route.id)) refuse(ERROR_NOT_SUPPORTED, path, *why);
}

}  // namespace

bool WineFileSystem::folderExists(const std::string& path) {
    return told(texts::Operation::TestPath, path, [&] { return WindowsFileSystem::folderExists(path); });
}

Folder WineFileSystem::openFolder(const std::string& parent, const std::string& name) {
    Folder folder = told(texts::Operation::ReadFolder, join(parent, name),
                         [&] { return WindowsFileSystem::openFolder(parent, name); });
    routeOf(folder)->places = std::make_shared<wine::Places>();
    return folder;
}

Folder WineFileSystem::openChild(const Folder& parent, const std::string& name) {
    return told(texts::Operation::ReadFolder, join(parent.path, name),
                [&] { return WindowsFileSystem::openChild(parent, name); });
}

EntryKind WineFileSystem::kindOf(const Folder& folder, const std::string& name) {
    return told(texts::Operation::TestPath, join(folder.path, name), [&] { return WindowsFileSystem::kindOf(folder, name); });
}

Deletion WineFileSystem::deleteFile(const Folder& folder, const std::string& name) {
    return told(texts::Operation::DeleteFile, join(folder.path, name),
                [&] { return WindowsFileSystem::deleteFile(folder, name); });
}

NTSTATUS WineFileSystem::openEntry(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options,
                                   Handle& out) {
    return openListed(folder, name, access, options, out);
}

EntryKind WineFileSystem::kindOfListedFile(HANDLE folder, std::wstring_view name, ULONGLONG size) {
    return size == 0 && kindOfEntry(folder, name, nullptr) == EntryKind::Other ? EntryKind::Other : EntryKind::File;
}

void WineFileSystem::beforeMarking(const Folder& folder, const std::wstring& name, HANDLE entry,
                                   const std::string& path) {
    checkDeletion(*routeOf(folder), folder.entries, name, entry, path);
}

void WineFileSystem::afterMarking(const Folder& folder, HANDLE entry, const std::string& path) {
    if (stillWhereItWasOpened(*routeOf(folder))) return;
    IO_STATUS_BLOCK io{};
    BOOLEAN deleteIt = FALSE;  // FILE_DISPOSITION_INFORMATION
    NtSetInformationFile(entry, &io, &deleteIt, sizeof deleteIt, FileDispositionInformation);
    refuse(ERROR_FILE_INVALID, path, texts::folderMovedReason());
}

Deletion WineFileSystem::stillThere(HANDLE folder, const std::wstring& name, const std::string& path) {
    // Only another program's open handle keeps this open from being
    // exclusive; "in use" is the one answer that means such a holder.
    Handle alone;
    const NTSTATUS exclusive = openRelativeShared(folder, name, FILE_READ_DATA | SYNCHRONIZE, 0,
                                                  FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE, alone);
    if (RtlNtStatusToDosError(exclusive) == ERROR_SHARING_VIOLATION) return Deletion::OnRelease;
    return WindowsFileSystem::stillThere(folder, name, path);
}

}  // namespace quelmar::win32

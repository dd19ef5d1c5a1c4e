#include "platform/windows/wine_file_system.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "core/texts.h"
#include "platform/windows/system_functions.h"
#include "platform/windows/win32_error.h"
#include "platform/windows/win32_text.h"

namespace quelmar::win32::wine {

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

}  // namespace

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

bool nonFile(DWORD error) { return error == ERROR_INVALID_PARAMETER && underWine(); }

NTSTATUS openedByListedId(NTSTATUS status) {
    const bool notFound = status == kNameNotFound || status == kPathNotFound || status == kNoSuchFile;
    return notFound && underWine() ? kNameInvalid : status;
}

Places::Place* Places::placeAt(const std::wstring& key, HANDLE parent, std::wstring_view name) {
    if (auto found = places_.find(key); found != places_.end()) return &found->second;
    Handle opened;
    if (!NT_SUCCESS(parent == nullptr ? openRelative(nullptr, name, kFolderAccess, FILE_DIRECTORY_FILE, opened)
                                      : openEntry(parent, name, kFolderAccess, FILE_DIRECTORY_FILE, opened)))
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

bool stillWhereItWasOpened(const Route& route) {
    Handle again;
    DWORD error = ERROR_SUCCESS;
    if (route.parent == nullptr) {
        again = openPath(route.path, kLookAccess, error);
    } else if (!stillWhereItWasOpened(*route.parent) ||
               !NT_SUCCESS(openEntry(route.parent->handle.get(), route.name, kLookAccess, FILE_DIRECTORY_FILE, again))) {
        return false;
    }
    FolderId id;
    return again && identify(again.get(), id, error) && SameFolder(id, route.id);
}

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
    if (entryName.empty()) failOn(error, texts::Operation::DeleteFile, path);
    if (loose(entryName) != loose(folderName + L'\\' + name)) refuse(ERROR_NOT_SUPPORTED, path, texts::linkNotDeletedReason());

    // That name says which file Wine holds only where no other could be
    // shown by it: no other entry here ("Blueprints.pak."), and no neighbour
    // of a folder on the way ("Assets." beside "Assets").
    for (const FolderEntry& other : entries) {
        const std::wstring otherName = widen(other.name);
        if (otherName != name && loose(otherName) == loose(name))
            refuse(ERROR_NOT_SUPPORTED, path, texts::sameShownNameReason(other.name));
    }
    if (route.places == nullptr) refuse(ERROR_NOT_SUPPORTED, path, texts::notCheckableReason());
    if (const auto why = route.places->whyNotUnique(folderName, route.id)) refuse(ERROR_NOT_SUPPORTED, path, *why);
}

void takeBackIfMoved(const Route& route, HANDLE entry, const std::string& path) {
    if (stillWhereItWasOpened(route)) return;
    IO_STATUS_BLOCK io{};
    BOOLEAN deleteIt = FALSE;  // FILE_DISPOSITION_INFORMATION
    NtSetInformationFile(entry, &io, &deleteIt, sizeof deleteIt, FileDispositionInformation);
    refuse(ERROR_FILE_INVALID, path, texts::folderMovedReason());
}

}  // namespace quelmar::win32::wine

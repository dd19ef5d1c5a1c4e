#include "platform/windows/windows_file_system.h"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "core/texts.h"
#include "platform/windows/nt_files.h"
#include "platform/windows/win32_error.h"
#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_text.h"

// Exported by ntdll but missing from MinGW's <winternl.h>.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PVOID apcRoutine, PVOID apcContext,
                                               PIO_STATUS_BLOCK ioStatus, PVOID buffer, ULONG length,
                                               FILE_INFORMATION_CLASS infoClass, BOOLEAN singleEntry,
                                               PUNICODE_STRING fileName, BOOLEAN restartScan);

namespace quelmar::win32 {

namespace {

constexpr NTSTATUS kNoMoreFiles = static_cast<NTSTATUS>(0x80000006L);    // STATUS_NO_MORE_FILES
constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);  // STATUS_DELETE_PENDING
constexpr NTSTATUS kFileIsADirectory = static_cast<NTSTATUS>(0xC00000BAL);  // STATUS_FILE_IS_A_DIRECTORY

// Classes of GetFileInformationByHandleEx and SetFileInformationByHandle
// that the headers declare only for newer systems than the oldest this
// program runs on; older systems refuse them, and the program falls back.
constexpr auto kFileIdInfo = static_cast<FILE_INFO_BY_HANDLE_CLASS>(18);             // Windows 8
constexpr auto kDispositionInformationEx = static_cast<FILE_INFORMATION_CLASS>(64);  // Windows 10 1607
constexpr ULONG kDispositionDelete = 0x1;                                           // FILE_DISPOSITION_FLAG_DELETE
constexpr ULONG kDispositionPosixSemantics = 0x2;  // FILE_DISPOSITION_FLAG_POSIX_SEMANTICS

struct FileIdInfo {  // FILE_ID_INFO
    ULONGLONG VolumeSerialNumber;
    BYTE FileId[16];
};

// The answers that mean "there is nothing at this path" rather than "the
// path could not be checked": a missing file or folder, a missing drive or
// share, a drive without a disc, a name the file system cannot hold.
bool meansNotFound(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_DRIVE:
        case ERROR_NOT_READY:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_DIRECTORY:
        case ERROR_FILENAME_EXCED_RANGE:
            return true;
        default:
            return false;
    }
}

DWORD errorOf(NTSTATUS status) { return RtlNtStatusToDosError(status); }

// Raises the failure of an answer of the system's own file layer, which tells apart
// what its Windows error number lumps together (a file mapped by another
// program and one this user may not change are both "access denied").
[[noreturn]] void failOnStatus(NTSTATUS status, texts::Operation operation, const std::string& path) {
    const DWORD error = errorOf(status);
    if (error == ERROR_GEN_FAILURE || error == ERROR_INVALID_HANDLE) fail(error, operation, path);
    throw HostError(static_cast<long>(error), texts::failure(operation, path, reasonForStatus(status, operation)));
}

struct OpenFolder : FolderHandle {
    explicit OpenFolder(std::shared_ptr<const Route> r) : route(std::move(r)) {}
    std::shared_ptr<const Route> route;
};

}  // namespace

std::string join(const std::string& parent, std::string_view name) {
    std::string joined = parent;
    if (!joined.empty() && joined.back() != '\\' && joined.back() != '/') joined += '\\';
    return joined += name;
}

const Route* routeOf(const Folder& folder) {
    const auto* open = dynamic_cast<const OpenFolder*>(folder.handle.get());
    return open ? open->route.get() : nullptr;
}

namespace {

HANDLE handleOf(const Folder& folder) {
    const Route* route = routeOf(folder);
    return route ? route->handle.get() : INVALID_HANDLE_VALUE;
}

}  // namespace

// Opens `name` relative to the open folder `folder`, or, with no folder,
// the full NT name `name`. The name is passed as given, without the
// case-insensitive flag, so that in a folder that tells letter case apart
// the very entry listed is the one opened.
NTSTATUS openRelativeShared(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG options,
                            Handle& out) {
    const size_t bytes = name.size() * sizeof(wchar_t);
    if (bytes > 0xFFFE) return static_cast<NTSTATUS>(0xC0000106L);  // STATUS_NAME_TOO_LONG
    UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(name.data());
    text.Length = text.MaximumLength = static_cast<USHORT>(bytes);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, 0, folder, nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    const NTSTATUS status =
        NtOpenFile(&opened, access, &attributes, &io, share, options | FILE_SYNCHRONOUS_IO_NONALERT);
    if (NT_SUCCESS(status)) out = Handle(opened);
    return status;
}

NTSTATUS openRelative(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options, Handle& out) {
    return openRelativeShared(folder, name, access, kShareAll, options, out);
}

NTSTATUS forEachRecord(HANDLE folder, FILE_INFORMATION_CLASS infoClass,
                       const std::function<bool(const std::byte*)>& each) {
    std::vector<ULONGLONG> buffer(64 * 1024 / sizeof(ULONGLONG));  // 8-byte aligned, as the records need
    const auto* bytes = reinterpret_cast<const std::byte*>(buffer.data());
    for (BOOLEAN restart = TRUE;; restart = FALSE) {
        IO_STATUS_BLOCK io{};
        const NTSTATUS status =
            NtQueryDirectoryFile(folder, nullptr, nullptr, nullptr, &io, buffer.data(),
                                 static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG)), infoClass, FALSE, nullptr, restart);
        // An empty drive root has not even "." to deliver.
        if (status == kNoMoreFiles || status == kNoSuchFile) return 0;
        if (!NT_SUCCESS(status)) return status;
        for (std::size_t at = 0;;) {
            if (!each(bytes + at)) return 0;
            const ULONG next = *reinterpret_cast<const ULONG*>(bytes + at);  // every record starts with it
            if (next == 0) break;
            at += next;
        }
    }
}

NTSTATUS openNamed(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options, Handle& out) {
    if (name.find_first_of(L"\\/") != std::wstring_view::npos) return kNameInvalid;
    return openRelative(folder, name, access, options, out);
}

NTSTATUS WindowsFileSystem::openEntry(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG options,
                                      Handle& out) {
    return openNamed(folder, name, access, options, out);
}

namespace {

bool gone(NTSTATUS status) { return status == kNameNotFound || status == kPathNotFound || status == kNoSuchFile; }

// Raises the failure of opening the entry `name`, told as a name this
// system cannot use where that is what kept it from opening.
[[noreturn]] void failOnEntry(NTSTATUS status, std::wstring_view name, texts::Operation operation,
                              const std::string& path) {
    if (status == kNameInvalid)
        throw HostError(ERROR_INVALID_NAME, texts::failure(operation, path, texts::nameNotUsableReason(narrow(name))));
    failOnStatus(status, operation, path);
}

}  // namespace

// The system's own name for what a handle holds, in NT form. Wine answers
// for paths of any length here, where GetFinalPathNameByHandleW stops at
// 260 characters. Empty when there is none, the error in `error`.
std::wstring systemName(HANDLE handle, DWORD& error) {
    std::vector<ULONGLONG> buffer(1024);
    for (;;) {
        ULONG needed = 0;
        const auto bytes = static_cast<ULONG>(buffer.size() * sizeof(ULONGLONG));
        const NTSTATUS status = NtQueryObject(handle, ObjectNameInformation, buffer.data(), bytes, &needed);
        if (NT_SUCCESS(status)) {
            const auto* name = reinterpret_cast<const OBJECT_NAME_INFORMATION*>(buffer.data());
            if (name->Name.Buffer == nullptr || name->Name.Length == 0) break;
            return std::wstring(name->Name.Buffer, name->Name.Length / sizeof(wchar_t));
        }
        const bool tooSmall = status == static_cast<NTSTATUS>(0xC0000004L) ||  // STATUS_INFO_LENGTH_MISMATCH
                              status == static_cast<NTSTATUS>(0x80000005L) ||  // STATUS_BUFFER_OVERFLOW
                              status == static_cast<NTSTATUS>(0xC0000023L);    // STATUS_BUFFER_TOO_SMALL
        if (!tooSmall || buffer.size() >= 16 * 1024) {
            error = errorOf(status);
            return {};
        }
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed / sizeof(ULONGLONG) + 1));
    }
    error = ERROR_FILE_INVALID;
    return {};
}

// The identity of what a handle holds: the volume's serial number and the
// file's 128-bit id where the system gives them (Windows 8 on: ReFS has no
// unique 64-bit index), else the 64-bit index of older systems. All zero
// when the file system has no identity to give, which SameFolder never
// takes for another folder's. False, the error in `error`, when the system
// answers neither.
bool identify(HANDLE handle, FolderId& id, DWORD& error) {
    FileIdInfo info{};
    if (GetFileInformationByHandleEx(handle, kFileIdInfo, &info, sizeof info)) {
        std::uint64_t low = 0, high = 0;
        std::memcpy(&low, info.FileId, sizeof low);
        std::memcpy(&high, info.FileId + sizeof low, sizeof high);
        id = {info.VolumeSerialNumber, high, low};
        return true;
    }
    BY_HANDLE_FILE_INFORMATION older;
    if (!GetFileInformationByHandle(handle, &older)) {
        error = GetLastError();
        return false;
    }
    id = {older.dwVolumeSerialNumber, 0, (std::uint64_t{older.nFileIndexHigh} << 32) | older.nFileIndexLow};
    return true;
}

namespace {

FolderId handleIdentity(HANDLE handle, texts::Operation operation, const std::string& path) {
    FolderId id;
    DWORD error = ERROR_SUCCESS;
    if (!identify(handle, id, error)) fail(error, operation, path);
    return id;
}

}  // namespace

// What the entry `name` of an open folder is, links followed to their end.
// A link that leads nowhere (or nowhere that exists any more) is neither
// folder nor file. One this user may not follow is what the link says it
// leads to: a link to a folder then counts as a folder, so that opening it
// fails and says why, as a plain folder this user may not open does. Any
// other failure is raised for `path` where one is given, and otherwise
// counts as a folder, for opening it to report.
EntryKind WindowsFileSystem::kindOfEntry(HANDLE folder, std::wstring_view name, const std::string* path) {
    Handle opened;
    const NTSTATUS status = openEntry(folder, name, kLookAccess, 0, opened);
    BY_HANDLE_FILE_INFORMATION info;
    if (NT_SUCCESS(status)) {
        if (!GetFileInformationByHandle(opened.get(), &info)) {
            if (meansNoFile(GetLastError())) return EntryKind::Other;
            if (path != nullptr) fail(GetLastError(), texts::Operation::TestPath, *path);
            return EntryKind::Folder;
        }
        if ((info.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) return EntryKind::Other;
        return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
    }
    if (status == kNameInvalid) {
        if (path != nullptr) failOnEntry(status, name, texts::Operation::TestPath, *path);
        return EntryKind::Folder;
    }
    const DWORD error = errorOf(status);
    if (meansNotFound(error) || status == kDeletePending || error == ERROR_CANT_RESOLVE_FILENAME || meansNoFile(error))
        return EntryKind::Other;
    if (error != ERROR_ACCESS_DENIED) {
        if (path != nullptr) failOnStatus(status, texts::Operation::TestPath, *path);
        return EntryKind::Folder;
    }
    Handle link;
    if (NT_SUCCESS(openEntry(folder, name, kLookAccess, FILE_OPEN_REPARSE_POINT, link)) &&
        GetFileInformationByHandle(link.get(), &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return EntryKind::File;
    return EntryKind::Folder;
}

// Reads an open folder, opened as the entry `name` of `parent`, or by
// `path` where there is no parent; `path` is otherwise only for messages.
// Its identity is that of the folder actually opened, so that the walk
// knows a folder it has reached again by any route.
Folder WindowsFileSystem::readFolder(Handle dir, const std::string& path, std::shared_ptr<const Route> parent,
                                     std::wstring name) {
    Folder folder;
    folder.path = path;
    folder.id = handleIdentity(dir.get(), texts::Operation::ReadFolder, path);

    // Read through the handle, so the entries are those of the folder that
    // was opened. Under Wine this measured as fast as FindFirstFileExW on
    // the folder's path (a tree of 3,000 folders).
    const NTSTATUS read = forEachListed<FILE_DIRECTORY_INFORMATION>(
        dir.get(), FileDirectoryInformation, [&](std::wstring_view name, const FILE_DIRECTORY_INFORMATION& entry) {
            const DWORD attributes = entry.FileAttributes;
            EntryKind kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::Folder : EntryKind::File;
            if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) kind = kindOfEntry(dir.get(), name, nullptr);
            else if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) kind = EntryKind::Other;
            else if (kind == EntryKind::File) kind = kindOfListedFile(dir.get(), name, entry.EndOfFile.QuadPart);
            folder.entries.push_back({narrow(name), kind});
            return true;
        });
    if (!NT_SUCCESS(read)) fail(errorOf(read), texts::Operation::ReadFolder, path);
    auto route = std::make_shared<Route>();
    route->handle = std::move(dir);
    route->id = folder.id;
    route->parent = std::move(parent);
    route->name = std::move(name);
    route->path = path;
    folder.handle = std::make_unique<OpenFolder>(std::move(route));
    return folder;
}

// Opens a path as given, links followed; the error when it cannot.
Handle openPath(const std::string& path, DWORD access, DWORD& error) {
    Handle opened(CreateFileW(extendedPath(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    error = opened ? ERROR_SUCCESS : GetLastError();
    return opened;
}

namespace {

bool isFolder(HANDLE handle, texts::Operation operation, const std::string& path) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) fail(GetLastError(), operation, path);
    return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Marks an open file for deletion: with POSIX semantics where the system
// has them, so the name goes at once even while another program (a virus
// scanner, the indexer) holds the file open, and the classic way where it
// has not, which removes the name when the last handle closes.
NTSTATUS markForDeletion(HANDLE file) {
    IO_STATUS_BLOCK io{};
    ULONG flags = kDispositionDelete | kDispositionPosixSemantics;
    if (NT_SUCCESS(NtSetInformationFile(file, &io, &flags, sizeof flags, kDispositionInformationEx)))
        return 0;
    BOOLEAN deleteIt = TRUE;  // FILE_DISPOSITION_INFORMATION
    return NtSetInformationFile(file, &io, &deleteIt, sizeof deleteIt, FileDispositionInformation);
}

[[noreturn]] void failAsNoFile(const std::string& path) {
    throw HostError(ERROR_INVALID_PARAMETER, texts::failure(texts::Operation::DeleteFile, path, texts::nowNotAFileReason()));
}

}  // namespace

bool WindowsFileSystem::folderExists(const std::string& path) {
    if (path.empty()) return false;
    DWORD error = ERROR_SUCCESS;
    // Opened rather than asked for its attributes: a link to a folder is a
    // folder only if the folder it leads to is there.
    const Handle opened = openPath(path, FILE_READ_ATTRIBUTES, error);
    if (!opened) {
        if (meansNotFound(error)) return false;
        fail(error, texts::Operation::TestPath, path);
    }
    return isFolder(opened.get(), texts::Operation::TestPath, path);
}

bool WindowsFileSystem::childFolderExists(const std::string& parent, const std::string& name) {
    return folderExists(join(parent, name));
}

Folder WindowsFileSystem::openFolder(const std::string& parent, const std::string& name) {
    const std::string path = join(parent, name);
    DWORD error = ERROR_SUCCESS;
    Handle opened = openPath(path, kFolderAccess, error);
    if (!opened) fail(error, texts::Operation::ReadFolder, path);
    if (!isFolder(opened.get(), texts::Operation::ReadFolder, path)) fail(ERROR_DIRECTORY, texts::Operation::ReadFolder, path);
    return readFolder(std::move(opened), path, nullptr, {});
}

Folder WindowsFileSystem::openChild(const Folder& parent, const std::string& name) {
    const std::string path = join(parent.path, name);
    const auto* open = dynamic_cast<const OpenFolder*>(parent.handle.get());
    if (open == nullptr) win32::fail(ERROR_INVALID_HANDLE, texts::Operation::ReadFolder, path);
    std::wstring wideName = widen(name);
    Handle opened;
    const NTSTATUS status = openEntry(open->route->handle.get(), wideName, kFolderAccess, FILE_DIRECTORY_FILE, opened);
    if (!NT_SUCCESS(status)) failOnEntry(status, wideName, texts::Operation::ReadFolder, path);
    return readFolder(std::move(opened), path, open->route, std::move(wideName));
}

EntryKind WindowsFileSystem::kindOf(const Folder& folder, const std::string& name) {
    const HANDLE folderHandle = handleOf(folder);
    const std::string path = join(folder.path, name);
    if (folderHandle == INVALID_HANDLE_VALUE) win32::fail(ERROR_INVALID_HANDLE, texts::Operation::TestPath, path);
    return kindOfEntry(folderHandle, widen(name), &path);
}

std::size_t WindowsFileSystem::openFolderBudget() {
    // A process may hold millions of handles; this is only a bound on what
    // a walk keeps open, far above anything it needs.
    return 4096;
}

Deletion WindowsFileSystem::deleteFile(const Folder& folder, const std::string& name) {
    const std::string path = join(folder.path, name);
    const HANDLE folderHandle = handleOf(folder);
    if (folderHandle == INVALID_HANDLE_VALUE) win32::fail(ERROR_INVALID_HANDLE, texts::Operation::DeleteFile, path);
    const std::wstring wideName = widen(name);

    // The entry itself: a final link is opened as the link, not followed.
    Handle entry;
    const NTSTATUS status = openEntry(folderHandle, wideName, DELETE | kLookAccess,
                                      FILE_OPEN_REPARSE_POINT | FILE_NON_DIRECTORY_FILE, entry);
    if (!NT_SUCCESS(status)) {
        // Listed as a file a moment ago: what stands there now is no
        // archive, and the reason says what it is instead.
        if (status == kFileIsADirectory)
            throw HostError(ERROR_ACCESS_DENIED,
                            texts::failure(texts::Operation::DeleteFile, path, texts::nowAFolderReason()));
        if (meansNoFile(errorOf(status))) failAsNoFile(path);
        failOnEntry(status, wideName, texts::Operation::DeleteFile, path);
    }

    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(entry.get(), &info)) {
        if (meansNoFile(GetLastError())) failAsNoFile(path);
        fail(GetLastError(), texts::Operation::DeleteFile, path);
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)
        throw HostError(ERROR_ACCESS_DENIED,
                        texts::failure(texts::Operation::DeleteFile, path, texts::readOnlyReason()));
    const FolderId entryId = handleIdentity(entry.get(), texts::Operation::DeleteFile, path);

    beforeMarking(folder, wideName, entry.get(), path);

    // Refused for a file another program has mapped into memory (the game
    // running, say), which the read-only check above tells from the rest.
    const NTSTATUS marked = markForDeletion(entry.get());
    if (!NT_SUCCESS(marked)) failOnStatus(marked, texts::Operation::DeleteFile, path);
    afterMarking(folder, entry.get(), path);
    entry.close();

    // Gone, or going once another program lets go of it; the same file
    // still there is never a deletion to count.
    Handle again;
    const NTSTATUS after = openEntry(folderHandle, wideName, kLookAccess, FILE_OPEN_REPARSE_POINT, again);
    if (gone(after)) return Deletion::Done;
    if (after == kDeletePending) return Deletion::OnRelease;
    if (!NT_SUCCESS(after)) failOnStatus(after, texts::Operation::DeleteFile, path);
    FolderId now;
    DWORD error = ERROR_SUCCESS;
    if (!identify(again.get(), now, error)) fail(error, texts::Operation::DeleteFile, path);
    if (!SameFolder(now, entryId)) return Deletion::Done;  // another file took the name since
    again.close();
    return stillThere(folderHandle, wideName, path);
}

Deletion WindowsFileSystem::stillThere(HANDLE, const std::wstring&, const std::string& path) {
    fail(ERROR_ACCESS_DENIED, texts::Operation::DeleteFile, path);
}

}  // namespace quelmar::win32

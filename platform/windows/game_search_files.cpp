#include "platform/windows/game_search_files.h"

#include <windows.h>

#include <algorithm>

#include "platform/windows/win32_handle.h"
#include "platform/windows/win32_text.h"

namespace quelmar::win32 {

namespace {

std::optional<std::wstring> registryText(HKEY root, const wchar_t* key, const wchar_t* value, REGSAM view) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key, 0, KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS) return std::nullopt;
    std::optional<std::wstring> text;
    DWORD bytes = 0;
    // The value may change between asking its size and reading it: ask again.
    for (int tries = 0; tries < 3 && !text; ++tries) {
        if (RegGetValueW(opened, nullptr, value, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) != ERROR_SUCCESS) break;
        std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        const LSTATUS status = RegGetValueW(opened, nullptr, value, RRF_RT_REG_SZ, nullptr, buffer.data(), &bytes);
        if (status == ERROR_SUCCESS) {
            buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
            text = std::move(buffer);
        } else if (status != ERROR_MORE_DATA) {
            break;
        }
    }
    RegCloseKey(opened);
    return text;
}

}  // namespace

std::optional<std::string> WindowsSearchDisk::readFile(const std::string& path, std::size_t limit) {
    Handle file(CreateFileW(extendedPath(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || GetFileType(file.get()) != FILE_TYPE_DISK) return std::nullopt;
    std::string text;
    char buffer[64 * 1024];
    while (text.size() < limit) {
        DWORD got = 0;
        const DWORD want = static_cast<DWORD>(std::min(sizeof buffer, limit - text.size()));
        if (!ReadFile(file.get(), buffer, want, &got, nullptr)) return std::nullopt;
        if (got == 0) break;
        text.append(buffer, got);
    }
    return text;
}

std::optional<std::vector<FolderEntry>> WindowsSearchDisk::listFolder(const std::string& path) {
    std::wstring pattern = extendedPath(path);
    if (!pattern.empty() && pattern.back() != L'\\') pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<FolderEntry> entries;
    do {
        const std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        // A link to a folder carries the folder's attribute too.
        const bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back({narrow(name), folder ? EntryKind::Folder : EntryKind::File});
    } while (FindNextFileW(search, &found));
    const DWORD error = GetLastError();
    FindClose(search);
    if (error != ERROR_NO_MORE_FILES) return std::nullopt;
    return entries;
}

std::optional<FolderId> WindowsSearchDisk::folderId(const std::string& path) {
    Handle folder(CreateFileW(extendedPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!folder || !GetFileInformationByHandle(folder.get(), &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return std::nullopt;
    return FolderId{info.dwVolumeSerialNumber, 0, (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

std::vector<std::string> StoreFolders() {
    constexpr const wchar_t* kStoreKey = L"Software\\Valve\\Steam";
    const struct {
        HKEY root;
        const wchar_t* value;
        REGSAM view;
    } records[] = {
        {HKEY_CURRENT_USER, L"SteamPath", 0},
        {HKEY_LOCAL_MACHINE, L"InstallPath", KEY_WOW64_32KEY},
        {HKEY_LOCAL_MACHINE, L"InstallPath", KEY_WOW64_64KEY},
    };
    std::vector<std::string> folders;
    for (const auto& record : records)
        if (const auto text = registryText(record.root, kStoreKey, record.value, record.view))
            folders.push_back(narrow(*text));
    return folders;
}

}  // namespace quelmar::win32

#include "platform/windows/windows_host.h"

#include <optional>
#include <vector>

#include "core/texts.h"
#include "platform/windows/win32_text.h"

namespace quelmar {

using win32::extendedPath;
using win32::narrow;
using win32::systemMessage;
using win32::widen;

namespace {

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

[[noreturn]] void fail(DWORD error, texts::Operation operation, const std::string& path) {
    throw HostError(static_cast<long>(error), texts::failure(operation, path, systemMessage(error)));
}

// Attributes of a path, or nothing when there is nothing there.
std::optional<DWORD> attributesOf(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(extendedPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
    const DWORD error = GetLastError();
    if (meansNotFound(error)) return std::nullopt;
    fail(error, texts::Operation::TestPath, path);
}

// A folder entry that only points somewhere else: a junction, a directory
// symbolic link, a WSL link. The walk never enters one, so that deleting the
// archives can never reach outside the game's own folder tree (a junction
// back up to the drive root would otherwise have it delete another game's
// files, or walk in a circle). Reparse points that are the folder itself
// rather than a pointer elsewhere (OneDrive placeholders, deduplicated
// folders) are ordinary folders to the user and are walked. A tag of zero
// cannot be classified, so it is treated as a pointer too.
bool pointsElsewhere(const WIN32_FIND_DATAW& entry) {
    if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    const DWORD tag = entry.dwReserved0;
    return tag == 0 || IsReparseTagNameSurrogate(tag);
}

class WindowsFileSystem : public FileSystem {
public:
    bool folderExists(const std::string& path) override {
        const auto attributes = attributesOf(path);
        return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }

    bool fileExists(const std::string& path) override {
        const auto attributes = attributesOf(path);
        return attributes && (*attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }

    Folder getFolder(const std::string& path) override {
        std::wstring pattern = extendedPath(path);
        if (pattern.empty() || pattern.back() != L'\\') pattern += L'\\';
        pattern += L'*';

        WIN32_FIND_DATAW entry{};
        HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH);
        Folder folder;
        if (find == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
            // A drive root has no "." entry, so an empty one finds nothing;
            // that is an empty folder, not a missing one.
            if (error == ERROR_FILE_NOT_FOUND && folderExists(path)) return folder;
            fail(error, texts::Operation::ReadFolder, path);
        }
        DWORD error = ERROR_SUCCESS;
        do {
            const std::wstring_view name = entry.cFileName;
            const bool folderEntry = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            if (folderEntry && name != L"." && name != L".." && !pointsElsewhere(entry))
                folder.subFolders.push_back(narrow(name));
            if (!FindNextFileW(find, &entry)) {
                error = GetLastError();
                if (error == ERROR_SUCCESS) error = ERROR_NO_MORE_FILES;  // never loop on a silent failure
            }
        } while (error == ERROR_SUCCESS);
        FindClose(find);
        if (error != ERROR_NO_MORE_FILES) fail(error, texts::Operation::ReadFolder, path);
        return folder;
    }
};

std::wstring settingsKey(const std::string& application, const std::string& section) {
    return widen(R"(Software\VB and VBA Program Settings\)" + application + "\\" + section);
}

}  // namespace

WindowsHost::~WindowsHost() {
    if (instanceMutex_ != nullptr) CloseHandle(instanceMutex_);
}

std::unique_ptr<FileSystem> WindowsHost::createFileSystem() { return std::make_unique<WindowsFileSystem>(); }

void WindowsHost::deleteFile(const std::string& path) {
    // DeleteFileW refuses a read-only file with ERROR_ACCESS_DENIED; that
    // refusal is passed on, the attribute is the user's to clear.
    if (DeleteFileW(extendedPath(path).c_str())) return;
    const DWORD error = GetLastError();
    // Say plainly when it is the read-only setting, as the Linux build does.
    const DWORD attributes = GetFileAttributesW(extendedPath(path).c_str());
    if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        throw HostError(static_cast<long>(error),
                        texts::failure(texts::Operation::DeleteFile, path, texts::readOnlyReason()));
    fail(error, texts::Operation::DeleteFile, path);
}

void WindowsHost::showMessage(const std::string& text, MessageIcon icon, const std::string& title) {
    UINT style = MB_OK;
    switch (icon) {
        case MessageIcon::Information: style |= MB_ICONINFORMATION; break;
        case MessageIcon::Warning: style |= MB_ICONWARNING; break;
        case MessageIcon::Critical: style |= MB_ICONERROR; break;
    }
    HWND owner = (owner_ != nullptr && IsWindow(owner_)) ? owner_ : nullptr;
    if (MessageBoxW(owner, widen(text).c_str(), widen(title).c_str(), style) == 0) {
        const DWORD error = GetLastError();
        throw HostError(static_cast<long>(error), systemMessage(error));
    }
}

std::string WindowsHost::settingsKeyPath(const std::string& application, const std::string& section) {
    return "HKEY_CURRENT_USER\\" + narrow(settingsKey(application, section));
}

std::string WindowsHost::getSetting(const std::string& application, const std::string& section,
                                    const std::string& key, const std::string& defaultValue) {
    const std::wstring subKey = settingsKey(application, section);
    const std::wstring name = widen(key);
    std::vector<wchar_t> buffer(260);
    for (;;) {
        DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
        const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, subKey.c_str(), name.c_str(), RRF_RT_REG_SZ,
                                            nullptr, buffer.data(), &bytes);
        if (status == ERROR_SUCCESS) return narrow(buffer.data());
        if (status == ERROR_MORE_DATA) {
            buffer.resize(bytes / sizeof(wchar_t) + 1);
            continue;
        }
        // No key, no value, or a value that is not text: nothing stored.
        if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND || status == ERROR_UNSUPPORTED_TYPE)
            return defaultValue;
        fail(static_cast<DWORD>(status), texts::Operation::ReadSettings, settingsKeyPath(application, section));
    }
}

void WindowsHost::saveSetting(const std::string& application, const std::string& section, const std::string& key,
                              const std::string& value) {
    const std::wstring subKey = settingsKey(application, section);
    HKEY handle = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_SET_VALUE, nullptr, &handle, nullptr);
    if (status == ERROR_SUCCESS) {
        const std::wstring data = widen(value);
        status = RegSetValueExW(handle, widen(key).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
    }
    if (status != ERROR_SUCCESS)
        fail(static_cast<DWORD>(status), texts::Operation::SaveSettings, settingsKeyPath(application, section));
}

bool WindowsHost::anotherInstanceRunning() {
    // Asked once; the mutex stays open for the life of the process so that
    // every later start in this session finds it.
    if (instanceMutex_ != nullptr) return otherInstance_;
    instanceMutex_ = CreateMutexW(nullptr, FALSE, kInstanceMutexName);
    const DWORD error = GetLastError();
    if (instanceMutex_ == nullptr) fail(error, texts::Operation::InstanceCheck, narrow(kInstanceMutexName));
    otherInstance_ = (error == ERROR_ALREADY_EXISTS);
    return otherInstance_;
}

Version WindowsHost::version() {
    const std::wstring program = win32::modulePath(nullptr);
    if (program.empty()) fail(GetLastError(), texts::Operation::ProgramInfo, "");
    const std::string shownPath = narrow(win32::withoutExtendedPrefix(program));

    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(program.c_str(), &ignored);
    if (size == 0) fail(GetLastError(), texts::Operation::ProgramInfo, shownPath);
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(program.c_str(), 0, size, block.data()))
        fail(GetLastError(), texts::Operation::ProgramInfo, shownPath);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) || fixed == nullptr ||
        length < sizeof(VS_FIXEDFILEINFO))
        fail(ERROR_RESOURCE_DATA_NOT_FOUND, texts::Operation::ProgramInfo, shownPath);
    return Version{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionLS)};
}

std::string WindowsHost::programFolder() {
    const std::wstring program = win32::withoutExtendedPrefix(win32::modulePath(nullptr));
    if (program.empty()) fail(GetLastError(), texts::Operation::ProgramInfo, "");
    const auto last = program.rfind(L'\\');
    return narrow(last == std::wstring::npos ? program : program.substr(0, last));
}

}  // namespace quelmar

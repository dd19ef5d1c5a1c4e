#include "platform/windows/windows_host.h"

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <vector>

#include "core/game_search.h"
#include "core/texts.h"
#include "platform/windows/game_search_files.h"
#include "platform/windows/message_dialog.h"
#include "platform/windows/win32_error.h"
#include "platform/windows/win32_text.h"
#include "platform/windows/system_functions.h"
#include "platform/windows/wine_file_system.h"

namespace quelmar {

using win32::fail;
using win32::narrow;
using win32::widen;

namespace {

std::wstring settingsKey(const std::string& application, const std::string& section) {
    return widen(R"(Software\VB and VBA Program Settings\)" + application + "\\" + section);
}

// Told in the registry's words: "this file" would send the user looking
// for one.
[[noreturn]] void failToRead(DWORD error, const std::string& application, const std::string& section) {
    const std::string key = WindowsHost::settingsKeyPath(application, section);
    if (error == ERROR_ACCESS_DENIED)
        throw HostError(static_cast<long>(error),
                        texts::failure(texts::Operation::ReadSettings, key, texts::settingAccessDeniedReason()));
    fail(error, texts::Operation::ReadSettings, key);
}

}  // namespace

WindowsHost::WindowsHost() {
    // A drive with no disc or card in it (a path through an empty card
    // reader) is then a folder that cannot be opened, told in the program's
    // box, rather than the system's own "insert a disk" box in mid-walk.
    SetErrorMode(GetErrorMode() | SEM_FAILCRITICALERRORS);
}

WindowsHost::~WindowsHost() {
    if (windowMapping_ != nullptr) CloseHandle(windowMapping_);
    if (instanceMutex_ != nullptr) CloseHandle(instanceMutex_);
}

void WindowsHost::setOwnerWindow(HWND owner) {
    owner_ = owner;
    publishWindow();
}

// Only the copy that holds the instance mutex tells where its window is.
void WindowsHost::publishWindow() {
    if (instanceMutex_ == nullptr || otherInstance_ || owner_ == nullptr) return;
    if (windowMapping_ == nullptr)
        windowMapping_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(std::uint64_t),
                                            kWindowMappingName);
    if (windowMapping_ == nullptr) return;  // a second start then only ends: nothing worse
    if (void* view = MapViewOfFile(windowMapping_, FILE_MAP_WRITE, 0, 0, sizeof(std::uint64_t))) {
        *static_cast<volatile std::uint64_t*>(view) = reinterpret_cast<std::uintptr_t>(owner_);
        UnmapViewOfFile(view);
    }
}

void WindowsHost::bringRunningCopyForward() {
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, kWindowMappingName);
    if (mapping == nullptr) return;  // the running copy has no window yet
    HWND window = nullptr;
    if (const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, sizeof(std::uint64_t))) {
        window = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(*static_cast<const volatile std::uint64_t*>(view)));
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    if (window == nullptr || !IsWindow(window)) return;
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    AllowSetForegroundWindow(process);
    PostMessageW(window, RegisterWindowMessageW(kComeForwardMessage), 0, 0);
}

// Chosen once: the checks only Wine needs would be false refusals on Windows.
std::unique_ptr<FileSystem> WindowsHost::createFileSystem() {
    if (win32::underWine()) return std::make_unique<win32::WineFileSystem>();
    return std::make_unique<win32::WindowsFileSystem>();
}

void WindowsHost::showMessage(const std::string& text, MessageIcon icon, const std::string& title) {
    UINT style = 0;
    switch (icon) {
        case MessageIcon::Information: style |= MB_ICONINFORMATION; break;
        case MessageIcon::Warning: style |= MB_ICONWARNING; break;
        case MessageIcon::Critical: style |= MB_ICONERROR; break;
    }
    // Owned by the window once it is on screen; before, a box owned by a
    // hidden window would have no taskbar button and could be lost.
    HWND owner = (owner_ != nullptr && IsWindow(owner_) && IsWindowVisible(owner_)) ? owner_ : nullptr;
    // The system's message box, or a dialog like it where the text would
    // make that box larger than the screen.
    if (!win32::showMessageBox(owner, widen(text), widen(title), style)) {
        const DWORD error = GetLastError();
        throw HostError(static_cast<long>(error), win32::systemReason(error));
    }
}

std::string WindowsHost::settingsKeyPath(const std::string& application, const std::string& section) {
    return "HKEY_CURRENT_USER\\" + narrow(settingsKey(application, section));
}

std::string WindowsHost::getSetting(const std::string& application, const std::string& section,
                                    const std::string& key, const std::string& defaultValue) {
    // Read as stored: RegGetValueW would expand a REG_EXPAND_SZ value, and
    // Wine's version of it overruns when the expanded text is longer than
    // 259 characters. A folder path holds no environment references the
    // user meant to have expanded; the text is the setting.
    HKEY handle = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, settingsKey(application, section).c_str(), 0,
                                   KEY_QUERY_VALUE, &handle);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND) return defaultValue;
    if (status != ERROR_SUCCESS) failToRead(static_cast<DWORD>(status), application, section);

    const std::wstring name = widen(key);
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    DWORD bytes = 0;
    status = RegQueryValueExW(handle, name.c_str(), nullptr, &type, nullptr, &bytes);
    // The value may grow between asking its size and reading it.
    while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
        data.resize(bytes);
        status = RegQueryValueExW(handle, name.c_str(), nullptr, &type, data.data(), &bytes);
        if (status == ERROR_SUCCESS) {
            data.resize(bytes);
            break;
        }
    }
    RegCloseKey(handle);
    if (status == ERROR_FILE_NOT_FOUND) return defaultValue;
    if (status != ERROR_SUCCESS) failToRead(static_cast<DWORD>(status), application, section);
    // A number or bytes stored by hand or by another program: told, like a
    // damaged file, so the folder is not dropped without a word.
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        throw HostError(ERROR_INVALID_DATATYPE,
                        texts::failure(texts::Operation::ReadSettings, settingsKeyPath(application, section) + "\\" + key,
                                       texts::settingNotTextReason()));

    // Stored texts need not end in a NUL, and may hold more after one.
    std::wstring text(data.size() / sizeof(wchar_t), L'\0');
    std::copy(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(text.size() * sizeof(wchar_t)),
              reinterpret_cast<BYTE*>(text.data()));
    const auto end = text.find(L'\0');
    if (end != std::wstring::npos) text.resize(end);
    return narrow(text);
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
    if (otherInstance_) bringRunningCopyForward();
    else publishWindow();
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
    return Version{HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionLS)};
}

std::string WindowsHost::programFolder() {
    const std::wstring program = win32::withoutExtendedPrefix(win32::modulePath(nullptr));
    if (program.empty()) fail(GetLastError(), texts::Operation::ProgramInfo, "");
    const auto last = program.rfind(L'\\');
    return narrow(last == std::wstring::npos ? program : program.substr(0, last));
}

LocateStart WindowsHost::locateDialogStart() {
    win32::WindowsSearchDisk disk;
    return FindWindowsLocateStart(disk, programFolder(), win32::StoreFolders());
}

}  // namespace quelmar

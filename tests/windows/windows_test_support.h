#pragma once
// What the Windows tests share: a real folder tree under the user's temp
// folder (long paths included), a host that records message boxes instead
// of showing them, and a watcher that answers a modal dialog from a second
// thread while the test's thread sits inside it.

#include <windows.h>
#include <winioctl.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string_view>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows/system_functions.h"
#include "platform/windows/win32_text.h"
#include "platform/windows/windows_host.h"

namespace quelmar::testing {

inline std::wstring longForm(const std::wstring& path) {
    // The temp folder can come back in 8.3 form ("C:\Users\LONGUS~1\...").
    const DWORD needed = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    const DWORD written = GetLongPathNameW(path.c_str(), full.data(), needed);
    full.resize(written);
    return full;
}

// Whether this runs under Wine rather than on Windows itself.
using win32::underWine;

// Under Wine: the Unix path of a Windows path, as Wine maps its drives.
inline std::string unixPathOf(const std::string& windowsPath) {
    using Convert = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr) return {};
    char* unix = convert(win32::extendedPath(windowsPath).c_str());
    if (unix == nullptr) return {};
    std::string out = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return out;
}

// Under Wine: starts a Unix program (Wine starts one given by its Unix
// path). Wine gives back no process for it: it leaves the handles in
// PROCESS_INFORMATION as whatever its own stack held, often a live handle
// of this process (once the standard output, which silenced the rest of
// the run), so they are neither waited on nor closed. Nothing tells when
// the program ends or how: the caller waits for its effect itself.
inline bool runUnix(const std::vector<std::string>& arguments) {
    std::wstring line;
    for (const std::string& argument : arguments) {
        if (!line.empty()) line += L' ';
        line += L'"' + win32::widen(argument) + L'"';
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    return CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process) != FALSE;
}

// Waits a little for a spawned program's effect to show.
// Timed by the system's tick count: in a long test run under Wine,
// std::this_thread::sleep_for was seen to return at once.
inline bool eventually(const std::function<bool()>& condition) {
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (!condition()) {
        if (GetTickCount64() >= deadline) return condition();
        Sleep(20);
    }
    return true;
}

// A fresh folder under the temp folder, removed with everything in it.
class TempTree {
public:
    TempTree() {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        static std::atomic<int> counter{0};
        std::wstring base = longForm(temp);
        if (!base.empty() && base.back() == L'\\') base.pop_back();
        root_ = win32::narrow(base) + "\\quelmar-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                std::to_string(GetTickCount64()) + "-" + std::to_string(counter++);
        CreateDirectoryW(win32::extendedPath(root_).c_str(), nullptr);
    }
    ~TempTree() {
        // Wine deletes what a Unix link leads to rather than the link, and
        // hides a link that leads nowhere: rm(1) takes the links themselves.
        // Only where links were made: a Unix program started from a Wine
        // process leaves that process unable to run the file dialog later.
        if (unixLinks_ && underWine() && runUnix({"/bin/rm", "-rf", unixPathOf(root_)}) &&
            eventually([&] { return GetFileAttributesW(win32::extendedPath(root_).c_str()) == INVALID_FILE_ATTRIBUTES; }))
            return;
        removeAll(win32::extendedPath(root_));
    }
    // Says that Unix links (or anything else only Unix tools remove) will
    // be made in the tree.
    void holdsUnixLinks() { unixLinks_ = true; }
    TempTree(const TempTree&) = delete;
    TempTree& operator=(const TempTree&) = delete;

    const std::string& root() const { return root_; }
    std::string path(const std::string& relative) const { return root_ + "\\" + relative; }

    // Creates the folder and every missing folder above it.
    std::string folder(const std::string& relative) const {
        size_t from = 0;
        for (;;) {
            const size_t slash = relative.find('\\', from);
            CreateDirectoryW(win32::extendedPath(path(relative.substr(0, slash))).c_str(), nullptr);
            if (slash == std::string::npos) break;
            from = slash + 1;
        }
        return path(relative);
    }

    std::string file(const std::string& relative, DWORD attributes = FILE_ATTRIBUTE_NORMAL) const {
        const auto slash = relative.rfind('\\');
        if (slash != std::string::npos) folder(relative.substr(0, slash));
        HANDLE h = CreateFileW(win32::extendedPath(path(relative)).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               attributes, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(h, "pak", 3, &written, nullptr);
            CloseHandle(h);
        }
        return path(relative);
    }

    bool exists(const std::string& relative) const {
        return GetFileAttributesW(win32::extendedPath(path(relative)).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

private:
    static void removeAll(const std::wstring& folder) {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = entry.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring child = folder + L"\\" + name;
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);  // made read-only by a test
                const bool link = (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    if (!link) removeAll(child);
                    else RemoveDirectoryW(child.c_str());  // the link only, never what it points at
                } else {
                    DeleteFileW(child.c_str());
                }
            } while (FindNextFileW(find, &entry));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::string root_;
    bool unixLinks_ = false;
};

// Makes `link` (an empty folder) a junction to `target`, the kind of folder
// link any user may create. False where the file system cannot (Wine 8).
inline bool makeJunction(const std::string& link, const std::string& target) {
    if (!CreateDirectoryW(win32::extendedPath(link).c_str(), nullptr)) return false;
    HANDLE handle = CreateFileW(win32::extendedPath(link).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const std::wstring substitute = L"\\?" L"?\\" + win32::widen(target);  // the NT form, "\??\C:\..."
    const std::wstring print = win32::widen(target);
    // The mount-point reparse buffer: tag, sizes, then both names with NULs.
    const size_t names = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
    std::vector<BYTE> buffer(16 + names, 0);
    auto put16 = [&](size_t at, size_t v) { *reinterpret_cast<WORD*>(&buffer[at]) = static_cast<WORD>(v); };
    *reinterpret_cast<DWORD*>(&buffer[0]) = IO_REPARSE_TAG_MOUNT_POINT;
    put16(4, 8 + names);
    put16(8, 0);
    put16(10, substitute.size() * sizeof(wchar_t));
    put16(12, (substitute.size() + 1) * sizeof(wchar_t));
    put16(14, print.size() * sizeof(wchar_t));
    std::copy(substitute.begin(), substitute.end(), reinterpret_cast<wchar_t*>(&buffer[16]));
    std::copy(print.begin(), print.end(), reinterpret_cast<wchar_t*>(&buffer[16]) + substitute.size() + 1);
    DWORD returned = 0;
    const BOOL made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
    CloseHandle(handle);
    if (!made) RemoveDirectoryW(win32::extendedPath(link).c_str());
    return made != FALSE;
}

// Makes `link` a symbolic link to `target` (both Windows paths). Under
// Wine, whose CreateSymbolicLinkW reports success and makes nothing, it is
// a Unix link made by ln(1); on Windows, a Windows symbolic link, which
// needs developer mode or the privilege. False when none could be made;
// a link whose target exists is also checked to be there.
inline bool makeSymlink(const std::string& link, const std::string& target, bool toFolder) {
    if (underWine()) {
        const std::string unixLink = unixPathOf(link), unixTarget = unixPathOf(target);
        if (unixLink.empty() || unixTarget.empty()) return false;
        if (!runUnix({"/bin/ln", "-s", unixTarget, unixLink})) return false;
    } else {
        DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
        if (toFolder) flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
        if (!CreateSymbolicLinkW(win32::extendedPath(link).c_str(), win32::extendedPath(target).c_str(), flags))
            return false;
    }
    if (GetFileAttributesW(win32::extendedPath(target).c_str()) == INVALID_FILE_ATTRIBUTES) return true;
    return eventually([&] { return GetFileAttributesW(win32::extendedPath(link).c_str()) != INVALID_FILE_ATTRIBUTES; });
}

// A link to a folder: a junction where the file system makes one, else a
// symbolic link. False when neither could be made.
inline bool makeFolderLink(const std::string& link, const std::string& target) {
    return makeJunction(link, target) || makeSymlink(link, target, true);
}

struct RecordedMessage {
    std::string text;
    MessageIcon icon;
    std::string title;
};

// The real Windows host, except that message boxes are written down.
class RecordingHost : public WindowsHost {
public:
    std::vector<RecordedMessage> messages;
    void showMessage(const std::string& text, MessageIcon icon, const std::string& title) override {
        messages.push_back({text, icon, title});
    }
};

inline std::wstring windowText(HWND window) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

inline std::wstring className(HWND window) {
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// Waits on its own thread for a dialog box (class "#32770") of this
// process to appear and hands it to `answer`, which must close it. The
// destructor joins; `found()` tells whether a dialog came up at all.
class DialogWatcher {
public:
    explicit DialogWatcher(std::function<void(HWND)> answer) : answer_(std::move(answer)) {
        thread_ = std::thread([this] { run(); });
    }
    ~DialogWatcher() {
        stop_ = true;
        thread_.join();
    }
    bool found() const { return found_; }

private:
    void run() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            HWND dialog = nullptr;
            EnumWindows(
                [](HWND window, LPARAM found) -> BOOL {
                    DWORD process = 0;
                    GetWindowThreadProcessId(window, &process);
                    if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
                        className(window) == L"#32770") {
                        *reinterpret_cast<HWND*>(found) = window;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&dialog));
            if (dialog != nullptr) {
                // Let the dialog finish initialising before it is answered.
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                found_ = true;
                answer_(dialog);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }

    std::function<void(HWND)> answer_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> found_{false};
    std::thread thread_;
};

// The texts of a window's children, e.g. a message box's message.
inline std::vector<std::wstring> childTexts(HWND window) {
    std::vector<std::wstring> texts;
    EnumChildWindows(
        window,
        [](HWND child, LPARAM out) -> BOOL {
            reinterpret_cast<std::vector<std::wstring>*>(out)->push_back(windowText(child));
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&texts));
    return texts;
}

}  // namespace quelmar::testing

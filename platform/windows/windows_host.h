#pragma once
// The Host on Windows: the file system through the wide-character Win32
// API (long paths included), message boxes, settings in the registry where
// Visual Basic programs keep theirs, a per-session mutex against a second
// instance, and the program's own VERSIONINFO.

#include <windows.h>

#include "core/host.h"

namespace quelmar {

class WindowsHost : public Host {
public:
    WindowsHost() = default;
    ~WindowsHost() override;
    WindowsHost(const WindowsHost&) = delete;
    WindowsHost& operator=(const WindowsHost&) = delete;

    // Message boxes are owned by this window from now on (nullptr: none).
    void setOwnerWindow(HWND owner) { owner_ = owner; }
    HWND ownerWindow() const { return owner_; }

    char separator() const override { return '\\'; }
    bool namesIgnoreCase() const override { return true; }
    std::unique_ptr<FileSystem> createFileSystem() override;
    void showMessage(const std::string& text, MessageIcon icon, const std::string& title) override;
    std::string getSetting(const std::string& application, const std::string& section, const std::string& key,
                           const std::string& defaultValue) override;
    void saveSetting(const std::string& application, const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool anotherInstanceRunning() override;
    Version version() override;
    std::string programFolder() override;

    // Where a setting lives, below HKEY_CURRENT_USER.
    static std::string settingsKeyPath(const std::string& application, const std::string& section);
    static constexpr const wchar_t* kInstanceMutexName = L"Local\\Quelmar.SingleInstance";

private:
    HWND owner_ = nullptr;
    HANDLE instanceMutex_ = nullptr;
    bool otherInstance_ = false;
};

}  // namespace quelmar

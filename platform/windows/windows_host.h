#pragma once
// The Host on Windows: the file system through the wide-character Win32
// API (long paths included), message boxes, settings in the registry where
// Visual Basic programs keep theirs, a per-session mutex against a second
// instance (which hands the running copy's window the foreground), and the
// program's own VERSIONINFO.

#include <windows.h>

#include "core/host.h"

namespace quelmar {

class WindowsHost : public Host {
public:
    WindowsHost();
    ~WindowsHost() override;
    WindowsHost(const WindowsHost&) = delete;
    WindowsHost& operator=(const WindowsHost&) = delete;

    // Message boxes are owned by this window from now on, once it is on
    // screen (nullptr: none). It is also the window a second copy of the
    // program brings forward.
    void setOwnerWindow(HWND owner);
    HWND ownerWindow() const { return owner_; }

    char separator() const override { return '\\'; }
    bool namesIgnoreCase() const override { return true; }
    std::unique_ptr<FileSystem> createFileSystem() override;
    void showMessage(const std::string& text, MessageIcon icon, const std::string& title) override;
    std::string getSetting(const std::string& application, const std::string& section, const std::string& key,
                           const std::string& defaultValue) override;
    void saveSetting(const std::string& application, const std::string& section, const std::string& key,
                     const std::string& value) override;
    // When another copy runs, it is told to come forward before this
    // answers true (see kComeForwardMessage).
    bool anotherInstanceRunning() override;
    Version version() override;
    std::string programFolder() override;
    // The program's own folder when the game is beside it (where players
    // have always kept the tool), else the game in a store's library, else
    // the program's folder.
    LocateStart locateDialogStart() override;

    // Where a setting lives, below HKEY_CURRENT_USER.
    static std::string settingsKeyPath(const std::string& application, const std::string& section);
    static constexpr const wchar_t* kInstanceMutexName = L"Local\\Quelmar.SingleInstance";
    // Where the running copy leaves its window's handle for a second copy.
    static constexpr const wchar_t* kWindowMappingName = L"Local\\Quelmar.Window";
    // Posted by a second copy to the running copy's window, which then
    // restores itself if minimised and brings forward what it shows: itself,
    // or the message box or file dialog in front of it. The running copy
    // sets the foreground itself, so that whatever it shows comes forward
    // in the order its own thread shows it; the second copy, which the user
    // has just started, lends it the right to (AllowSetForegroundWindow).
    static constexpr const wchar_t* kComeForwardMessage = L"Quelmar.ComeForward";

private:
    void publishWindow();
    void bringRunningCopyForward();

    HWND owner_ = nullptr;
    HANDLE instanceMutex_ = nullptr;
    HANDLE windowMapping_ = nullptr;
    bool otherInstance_ = false;
};

}  // namespace quelmar

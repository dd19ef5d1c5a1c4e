#pragma once
// The main window in plain Win32 controls, built from the layout table. It
// implements WindowOps for the form's logic and forwards the three button
// clicks to Form1, which runs one command at a time.

#include <windows.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/host.h"
#include "core/window.h"
#include "ui/form1.h"
#include "ui/layout.h"

namespace quelmar {

class MainWindow : public WindowOps {
public:
    MainWindow(HINSTANCE instance, Host& host);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    static constexpr const wchar_t* kClassName = L"Quelmar.MainWindow";

    // Creates the window and its controls, hidden and centred on the
    // screen. False when the system refuses; GetLastError tells why.
    bool create();
    // Form_Load; call before show(). EndProgram: never show the window.
    Form1::Start load() { return form_.Form_Load(); }
    // Shows the window and puts the focus on "...".
    void show(int showCommand);
    // How showWindow() shows the window (WinMain's nCmdShow).
    void setShowCommand(int showCommand) { showCommand_ = showCommand; }
    // For the message loop: the dialog keyboard (Tab, Space, Enter), and
    // the wheel over the list. True when the message was dealt with here.
    bool preTranslate(MSG& message);
    // The application ends its message loop when the window goes; a test
    // that creates several windows turns that off.
    void setQuitOnDestroy(bool quit) { quitOnDestroy_ = quit; }

    HWND handle() const { return window_; }
    HWND control(std::string_view name) const;
    UINT dpi() const { return dpi_; }

    void setCaption(const std::string& caption) override;
    void setText1(const std::string& text) override;
    void setText2(const std::string& text) override;
    void setDeleteEnabled(bool enabled) override;
    void setRefreshEnabled(bool enabled) override;
    void showWindow() override;
    void setBusy(bool busy) override;
    void showBusy() override;
    bool keepAlive() override;
    void closeWindow() override;
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override;

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void applyLayout(int left, int top, bool centre);
    void createFonts();
    HFONT createDefaultFont() const;
    void deleteFonts();
    void onClick(std::string_view name);
    bool dropWhileBusy(const MSG& message) const;
    void comeForward();
    void enableButton(std::string_view name, bool enabled);
    HWND focusedCommandButton() const;
    std::string_view nameOf(HWND control) const;
    HWND keyboardFocus() const;
    HWND nextFocusFrom(HWND from) const;
    void showCursor() const;
    static LRESULT CALLBACK listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR self);
    void showListMenu(LPARAM at);

    HINSTANCE instance_;
    Form1 form_;
    HWND window_ = nullptr;
    std::array<HWND, layout::kControls.size()> controls_{};
    HFONT defaultFont_ = nullptr;
    HFONT boldFont_ = nullptr;
    HFONT smallFont_ = nullptr;
    UINT dpi_ = 96;
    HWND lastFocus_ = nullptr;
    bool quitOnDestroy_ = true;
    int showCommand_ = SW_SHOWNORMAL;
    bool busy_ = false;       // input is dropped
    bool busyShown_ = false;  // and the buttons are drawn disabled
    // While they are drawn disabled: each button with the state the commands
    // have left it in, and where the keyboard was.
    std::array<std::pair<std::string_view, bool>, 3> enabledWhenIdle_{};
    HWND focusBeforeBusy_ = nullptr;
    UINT comeForwardMessage_ = 0;
};

// "Description|*.ext|..." in the form GetOpenFileNameW wants: each part
// ended by NUL and the whole list by a second NUL.
std::wstring dialogFilter(const std::string& filter);

}  // namespace quelmar

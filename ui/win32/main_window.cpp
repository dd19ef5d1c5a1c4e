#include "ui/win32/main_window.h"

#include <commdlg.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "core/texts.h"
#include "platform/windows/win32_text.h"
#include "ui/win32/dpi.h"

namespace quelmar {

using win32::narrow;
using win32::widen;

namespace {

constexpr DWORD kWindowStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr DWORD kWindowExStyle = 0;
// Control IDs start above IDOK and IDCANCEL, which the dialog keyboard
// sends for Enter and Escape when no button answers them.
constexpr int kFirstControlId = 100;
constexpr std::string_view kLocateButton = "mnuLocateGameEXE";
constexpr std::string_view kDeleteButton = "butDeletePaks";
constexpr std::string_view kRefreshButton = "butRefreshList";
// Large enough for a path of the longest length the system allows.
constexpr size_t kDialogPathCapacity = 32768;

int indexOf(std::string_view name) {
    for (size_t i = 0; i < layout::kControls.size(); ++i)
        if (layout::kControls[i].name == name) return static_cast<int>(i);
    return -1;
}

// What a control of each kind is made of.
struct ControlClass {
    const wchar_t* className;
    DWORD style;
    DWORD exStyle;
};

ControlClass classFor(const layout::Control& c) {
    // Labels overlap the edges of the controls below them (Label1 and
    // Text1, Label2 and "..."). Clipping siblings lets the control higher in
    // the order, which is the earlier in tab order, draw over the label.
    constexpr DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (c.kind) {
        case layout::Kind::CommandButton:
            return {L"BUTTON", child | WS_TABSTOP | BS_PUSHBUTTON, 0};
        case layout::Kind::TextBox:
            // Shown, never typed in. The list wraps its long lines and
            // scrolls only vertically; a plain EDIT keeps its WS_VSCROLL bar
            // on screen even when there is nothing to scroll.
            return {L"EDIT",
                    child | WS_DISABLED | ES_LEFT |
                        (c.multiLine ? ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL : ES_AUTOHSCROLL),
                    WS_EX_CLIENTEDGE};
        case layout::Kind::Label:
            return {L"STATIC", child | SS_NOPREFIX | (c.align == layout::Align::Left ? SS_LEFT : SS_CENTER), 0};
    }
    return {L"STATIC", child, 0};
}

int scaled(int twips, UINT dpi) { return MulDiv(layout::toPixels(twips), static_cast<int>(dpi), 96); }

HFONT fontOf(const wchar_t* face, int pointsX100, int weight, UINT dpi) {
    LOGFONTW font{};
    font.lfHeight = -MulDiv(pointsX100, static_cast<int>(dpi), 7200);
    font.lfWeight = weight;
    font.lfCharSet = DEFAULT_CHARSET;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

bool registerWindowClass(HINSTANCE instance, WNDPROC procedure) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(instance, MainWindow::kClassName, &existing)) return true;

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    // The program's icon is resource 1, the one Explorer shows for the file.
    wc.hIcon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXICON),
                                             GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                               LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = MainWindow::kClassName;
    return RegisterClassExW(&wc) != 0;
}

}  // namespace

std::wstring dialogFilter(const std::string& filter) {
    std::wstring result = widen(filter);
    std::replace(result.begin(), result.end(), L'|', L'\0');
    result.push_back(L'\0');
    result.push_back(L'\0');
    return result;
}

MainWindow::MainWindow(HINSTANCE instance, Host& host) : instance_(instance), form_(host, *this) {}

MainWindow::~MainWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
    deleteFonts();
}

bool MainWindow::create() {
    if (!registerWindowClass(instance_, &MainWindow::windowProc)) return false;
    window_ = CreateWindowExW(kWindowExStyle, kClassName, widen(texts::kInitialCaption).c_str(), kWindowStyle, 0, 0,
                              0, 0, nullptr, nullptr, instance_, this);
    if (window_ == nullptr) return false;
    dpi_ = win32::dpiForWindow(window_);

    for (size_t i = 0; i < layout::kControls.size(); ++i) {
        const layout::Control& c = layout::kControls[i];
        const ControlClass cls = classFor(c);
        controls_[i] = CreateWindowExW(cls.exStyle, cls.className, widen(c.caption).c_str(), cls.style, 0, 0, 0, 0,
                                       window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + i)),
                                       instance_, nullptr);
        if (controls_[i] == nullptr) return false;
    }
    // The list may grow past the EDIT's default 32K characters.
    SendMessageW(control("Text2"), EM_SETLIMITTEXT, 0, 0);

    // Tab order is the order of the child windows: sort them by tab index.
    std::array<size_t, layout::kControls.size()> order{};
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [](size_t a, size_t b) {
        return layout::kControls[a].tabIndex < layout::kControls[b].tabIndex;
    });
    HWND previous = HWND_TOP;
    for (size_t i : order) {
        SetWindowPos(controls_[i], previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = controls_[i];
    }

    createFonts();
    applyLayout(0, 0, true);
    return true;
}

void MainWindow::show(int showCommand) {
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    lastFocus_ = control(kLocateButton);
    SetFocus(lastFocus_);
}

bool MainWindow::preTranslate(MSG& message) {
    return window_ != nullptr && IsDialogMessageW(window_, &message);
}

HWND MainWindow::control(std::string_view name) const {
    const int index = indexOf(name);
    return index < 0 ? nullptr : controls_[static_cast<size_t>(index)];
}

void MainWindow::createFonts() {
    const LOGFONTW message = win32::messageFont(dpi_);
    defaultFont_ = CreateFontIndirectW(&message);
    boldFont_ = fontOf(L"Arial", layout::kBoldPointsX100, FW_BOLD, dpi_);
    smallFont_ = fontOf(L"Small Fonts", layout::kSmallPointsX100, FW_NORMAL, dpi_);
    for (size_t i = 0; i < layout::kControls.size(); ++i) {
        HFONT font = defaultFont_;
        if (layout::kControls[i].font == layout::Font::Bold) font = boldFont_;
        if (layout::kControls[i].font == layout::Font::Small) font = smallFont_;
        SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

void MainWindow::deleteFonts() {
    for (HFONT* font : {&defaultFont_, &boldFont_, &smallFont_}) {
        if (*font != nullptr) DeleteObject(*font);
        *font = nullptr;
    }
}

void MainWindow::applyLayout(int left, int top, bool centre) {
    const int clientWidth = scaled(layout::kClientWidth, dpi_);
    const int clientHeight = scaled(layout::kClientHeight, dpi_);
    const RECT frame = win32::windowRectForClient({0, 0, clientWidth, clientHeight}, kWindowStyle, kWindowExStyle, dpi_);
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;
    SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    // The frame the system really draws can differ from the computed one
    // (a DPI change not yet applied to the frame, unusual theme metrics);
    // measure and correct so the client area is exactly the table's.
    RECT client;
    GetClientRect(window_, &client);
    if (client.right != clientWidth || client.bottom != clientHeight) {
        width += clientWidth - client.right;
        height += clientHeight - client.bottom;
        SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (centre) {
        MONITORINFO monitor{};
        monitor.cbSize = sizeof(monitor);
        GetMonitorInfoW(MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY), &monitor);
        const RECT& screen = monitor.rcMonitor;
        left = screen.left + (screen.right - screen.left - width) / 2;
        top = screen.top + (screen.bottom - screen.top - height) / 2;
    }
    SetWindowPos(window_, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

    for (size_t i = 0; i < layout::kControls.size(); ++i) {
        const layout::Control& c = layout::kControls[i];
        MoveWindow(controls_[i], scaled(c.left, dpi_), scaled(c.top, dpi_), scaled(c.width, dpi_),
                   scaled(c.height, dpi_), TRUE);
    }
}

void MainWindow::setCaption(const std::string& caption) { SetWindowTextW(window_, widen(caption).c_str()); }

void MainWindow::setText1(const std::string& text) { SetWindowTextW(control("Text1"), widen(text).c_str()); }

void MainWindow::setText2(const std::string& text) {
    // Kept as given: the control may not hand back exactly what it was sent.
    text2_ = text;
    SetWindowTextW(control("Text2"), widen(text).c_str());
}

void MainWindow::setDeleteEnabled(bool enabled) { enableButton(kDeleteButton, enabled); }

void MainWindow::setRefreshEnabled(bool enabled) { enableButton(kRefreshButton, enabled); }

void MainWindow::enableButton(std::string_view name, bool enabled) {
    HWND button = control(name);
    // A disabled window that keeps the focus leaves the keyboard with
    // nothing to act on; hand the focus to "...", which is always enabled.
    if (!enabled) {
        if (GetFocus() == button) SetFocus(control(kLocateButton));
        if (lastFocus_ == button) lastFocus_ = control(kLocateButton);
    }
    EnableWindow(button, enabled ? TRUE : FALSE);
}

std::optional<std::string> MainWindow::showOpenDialog(const OpenDialogRequest& request) {
    const std::wstring filter = dialogFilter(request.filter);
    const std::wstring initialFolder = widen(request.initialFolder);
    const std::wstring title = widen(request.title);
    std::vector<wchar_t> file(kDialogPathCapacity, L'\0');
    const std::wstring fileName = widen(request.fileName);
    std::copy_n(fileName.begin(), std::min(fileName.size(), file.size() - 1), file.begin());

    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof(dialog);
    dialog.hwndOwner = window_;
    dialog.lpstrFilter = filter.c_str();
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = static_cast<DWORD>(file.size());
    dialog.lpstrInitialDir = initialFolder.empty() ? nullptr : initialFolder.c_str();
    dialog.lpstrTitle = title.c_str();
    // The dialog would otherwise leave the process's current directory in
    // the game folder, and Windows refuses to rename or delete a folder
    // that is some process's current directory. Nothing here uses it.
    dialog.Flags = OFN_NOCHANGEDIR;

    if (GetOpenFileNameW(&dialog)) return narrow(file.data());
    const DWORD error = CommDlgExtendedError();
    if (error == 0) return std::nullopt;  // the user cancelled
    throw HostError(static_cast<long>(error), "GetOpenFileNameW failed: CommDlgExtendedError " +
                                                  std::to_string(error));
}

HWND MainWindow::focusedCommandButton() const {
    HWND focus = GetFocus();
    for (size_t i = 0; i < layout::kControls.size(); ++i)
        if (controls_[i] == focus && layout::kControls[i].kind == layout::Kind::CommandButton &&
            IsWindowEnabled(focus))
            return focus;
    return nullptr;
}

void MainWindow::onClick(std::string_view name) {
    if (name == kLocateButton) form_.mnuLocateGameEXE_Click();
    else if (name == kRefreshButton) form_.butRefreshList_Click();
    else if (name == kDeleteButton) form_.butDeletePaks_Click();
}

LRESULT CALLBACK MainWindow::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    return self->handleMessage(message, wParam, lParam);
}

LRESULT MainWindow::handleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND: {
            const int index = LOWORD(wParam) - kFirstControlId;
            if (HIWORD(wParam) == BN_CLICKED && index >= 0 && index < static_cast<int>(controls_.size()) &&
                reinterpret_cast<HWND>(lParam) == controls_[static_cast<size_t>(index)])
                onClick(layout::kControls[static_cast<size_t>(index)].name);
            return 0;
        }
        case DM_GETDEFID: {
            // There is no default button; Enter presses the focused one, as
            // Space does.
            HWND button = focusedCommandButton();
            if (button == nullptr) return 0;
            return MAKELRESULT(GetDlgCtrlID(button), DC_HASDEFID);
        }
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus != nullptr && GetParent(focus) == window_) lastFocus_ = focus;
            }
            break;
        case WM_SETFOCUS:
            // Back to the control that had the focus when the window was
            // left, so the keyboard carries on where it was.
            if (lastFocus_ != nullptr && IsWindow(lastFocus_) && IsWindowEnabled(lastFocus_)) SetFocus(lastFocus_);
            else if (HWND locate = control(kLocateButton)) SetFocus(locate);
            return 0;
        case WM_DPICHANGED: {
            dpi_ = HIWORD(wParam);
            const auto* suggested = reinterpret_cast<const RECT*>(lParam);
            HFONT oldDefault = defaultFont_, oldBold = boldFont_, oldSmall = smallFont_;
            createFonts();
            for (HFONT font : {oldDefault, oldBold, oldSmall})
                if (font != nullptr) DeleteObject(font);
            applyLayout(suggested->left, suggested->top, false);
            return 0;
        }
        case WM_DESTROY:
            if (quitOnDestroy_) PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY: {
            HWND window = window_;
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            window_ = nullptr;
            controls_.fill(nullptr);
            lastFocus_ = nullptr;
            return DefWindowProcW(window, message, wParam, lParam);
        }
        default:
            break;
    }
    return DefWindowProcW(window_, message, wParam, lParam);
}

}  // namespace quelmar

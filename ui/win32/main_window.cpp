#include "ui/win32/main_window.h"

#include <commctrl.h>
#include <commdlg.h>
#include <windowsx.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "core/texts.h"
#include "platform/windows/win32_text.h"
#include "platform/windows/dpi.h"
#include "platform/windows/windows_host.h"
#include "ui/win32/accessible_name.h"

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
constexpr std::string_view kList = "Text2";
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
    // Text1, Label2 and "..."); each label's window region leaves those
    // parts out (see applyLayout), and clipping siblings keeps every control
    // to what it owns.
    constexpr DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (c.kind) {
        case layout::Kind::CommandButton:
            return {L"BUTTON", child | WS_TABSTOP | BS_PUSHBUTTON, 0};
        case layout::Kind::TextBox:
            // Shown, never typed in. A one-pixel border rather than the
            // two-pixel client edge: Text1 is 19 px high, and a line of the
            // system's font (16 px for Segoe UI 9 pt) needs more than the
            // 15 px the client edge leaves.
            if (!c.multiLine) return {L"EDIT", child | WS_DISABLED | WS_BORDER | ES_LEFT | ES_AUTOHSCROLL, 0};
            // The list is what the player reviews before deleting, so it
            // scrolls, with the wheel and its scroll bar: a disabled EDIT
            // would not. Read-only and out of the Tab order instead, it
            // takes no clicks (see dropClicks) and draws its text in the
            // disabled colour (WM_CTLCOLORSTATIC), so it looks and acts as
            // the disabled box did, and screen readers still read it. It
            // wraps its long lines and scrolls only vertically; a plain
            // EDIT keeps its WS_VSCROLL bar on screen even when there is
            // nothing to scroll.
            return {L"EDIT", child | WS_BORDER | ES_LEFT | ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL,
                    0};
        case layout::Kind::Label:
            return {L"STATIC", child | SS_NOPREFIX | (c.align == layout::Align::Left ? SS_LEFT : SS_CENTER), 0};
    }
    return {L"STATIC", child, 0};
}

// The list takes no clicks and no keys: it never gets the focus or a
// selection, and its context menu (copy, select all) never opens. Its
// scroll bar is outside its client area and works as ever.
LRESULT CALLBACK dropClicks(HWND control, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR, DWORD_PTR) {
    switch (message) {
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
        case WM_LBUTTONUP:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONDBLCLK:
        case WM_RBUTTONUP:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONDBLCLK:
        case WM_MBUTTONUP:
        case WM_CONTEXTMENU:
        case WM_KEYDOWN:
        case WM_CHAR:
            return 0;
        default:
            return DefSubclassProc(control, message, wParam, lParam);
    }
}

RECT rectInParent(HWND control) {
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(nullptr, GetParent(control), reinterpret_cast<POINT*>(&r), 2);
    return r;
}

int scaled(int twips, UINT dpi) { return MulDiv(layout::toPixels(twips), static_cast<int>(dpi), 96); }

HFONT fontOf(const wchar_t* face, int pointsX100, int weight, UINT dpi) {
    LOGFONTW font{};
    font.lfHeight = -MulDiv(pointsX100, static_cast<int>(dpi), 7200);
    font.lfWeight = weight;
    // Both faces are Western fonts; asking for their own character set
    // keeps the mapper from swapping in another face for a locale's one.
    font.lfCharSet = ANSI_CHARSET;
    lstrcpynW(font.lfFaceName, face, LF_FACESIZE);
    return CreateFontIndirectW(&font);
}

int lineHeight(HDC dc, HFONT font) {
    HGDIOBJ old = SelectObject(dc, font);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SelectObject(dc, old);
    return metrics.tmHeight;
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
    SendMessageW(control(kList), EM_SETLIMITTEXT, 0, 0);
    SetWindowSubclass(control(kList), &dropClicks, 0, 0);
    // Screen readers read "..." as the label beside it.
    setAccessibleName(control(kLocateButton), widen(layout::control("Label2").caption));
    comeForwardMessage_ = RegisterWindowMessageW(WindowsHost::kComeForwardMessage);

    // Tab order is the order of the child windows: sort them by tab index.
    // Accessibility tools name an edit control after the nearest label
    // before it in this order, so the label that names a text box goes
    // immediately before it, and a text box without a label goes first,
    // where no other label can lend it a wrong name. Neither moves a tab
    // stop.
    std::array<size_t, layout::kControls.size()> byTab{};
    std::iota(byTab.begin(), byTab.end(), size_t{0});
    std::sort(byTab.begin(), byTab.end(), [](size_t a, size_t b) {
        return layout::kControls[a].tabIndex < layout::kControls[b].tabIndex;
    });
    const auto labelOf = [](size_t i) {
        const layout::Control& c = layout::kControls[i];
        return c.kind == layout::Kind::TextBox ? indexOf(layout::labelFor(c.name)) : -1;
    };
    std::vector<size_t> order;
    std::vector<bool> placed(layout::kControls.size(), false);
    const auto place = [&](size_t i) {
        if (placed[i]) return;
        order.push_back(i);
        placed[i] = true;
    };
    for (size_t i : byTab)
        if (layout::kControls[i].kind == layout::Kind::TextBox && labelOf(i) < 0) place(i);
    for (size_t i : byTab) {
        if (labelOf(i) >= 0) place(static_cast<size_t>(labelOf(i)));
        place(i);
    }
    HWND previous = HWND_TOP;
    for (size_t i : order) {
        SetWindowPos(controls_[i], previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = controls_[i];
    }

    applyLayout(0, 0, true);
    createFonts();
    return true;
}

void MainWindow::show(int showCommand) {
    ShowWindow(window_, showCommand);
    UpdateWindow(window_);
    lastFocus_ = control(kLocateButton);
    SetFocus(lastFocus_);
}

bool MainWindow::preTranslate(MSG& message) {
    if (window_ == nullptr) return false;
    if (message.message == WM_MOUSEWHEEL) {
        // Windows sends the wheel to the window under the pointer (as set
        // by default), Wine to the one with the focus, which the list never
        // has: over the list, it scrolls the list either way.
        HWND list = control(kList);
        const POINT at{GET_X_LPARAM(message.lParam), GET_Y_LPARAM(message.lParam)};
        if (message.hwnd != list && WindowFromPoint(at) == list) {
            SendMessageW(list, WM_MOUSEWHEEL, message.wParam, message.lParam);
            return true;
        }
    }
    return IsDialogMessageW(window_, &message) != FALSE;
}

void MainWindow::showWindow() {
    if (window_ != nullptr && !IsWindowVisible(window_)) show(showCommand_);
}

// A walk runs on this, the window's thread, and its progress hook calls
// keepAlive() about every 40 ms: the messages waiting are handled here, so
// the window repaints and answers the system (it never turns "Not
// Responding"), while every deletion, message box and change to the
// controls stays on the one thread that owns them, in the walk's own
// order, with nothing to hand across threads. User input that arrives
// meanwhile is dropped, not left to run after the command; the title bar
// still works, so the window can be moved, minimised and closed.
void MainWindow::setBusy(bool busy) {
    busy_ = busy;
    // The cursor shows it at once if it is over the window; from then on
    // WM_SETCURSOR answers for it.
    POINT at;
    if (window_ == nullptr || !GetCursorPos(&at)) return;
    HWND under = WindowFromPoint(at);
    if (under != window_ && !IsChild(window_, under)) return;
    const LRESULT hit = SendMessageW(under, WM_NCHITTEST, 0, MAKELPARAM(at.x, at.y));
    SendMessageW(under, WM_SETCURSOR, reinterpret_cast<WPARAM>(under), MAKELPARAM(hit, WM_MOUSEMOVE));
}

bool MainWindow::dropWhileBusy(const MSG& message) const {
    switch (message.message) {
        case WM_KEYDOWN:
        case WM_KEYUP:
        case WM_CHAR:
        case WM_DEADCHAR:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONUP:
        case WM_LBUTTONDBLCLK:
        case WM_RBUTTONDOWN:
        case WM_RBUTTONUP:
        case WM_RBUTTONDBLCLK:
        case WM_MBUTTONDOWN:
        case WM_MBUTTONUP:
        case WM_MBUTTONDBLCLK:
        case WM_XBUTTONDOWN:
        case WM_XBUTTONUP:
        case WM_XBUTTONDBLCLK:
            return true;
        default:
            return false;
    }
}

bool MainWindow::keepAlive() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));  // for the message loop, once the command is done
            break;
        }
        if (busy_ && dropWhileBusy(message)) continue;
        if (preTranslate(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return !closeRequested_ && window_ != nullptr;
}

Form1::Start MainWindow::load() {
    const Form1::Start start = form_.Form_Load();
    // Closed while start-up listed the archives, after the walk's last look.
    return closeRequested_ ? Form1::Start::EndProgram : start;
}

void MainWindow::comeForward() {
    HWND target = nullptr;
    if (IsWindowVisible(window_)) {
        if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
        target = GetLastActivePopup(window_);  // itself, or the message box or file dialog in front of it
    } else {
        // Start-up's message, before the window is shown, has no owner.
        EnumThreadWindows(
            GetCurrentThreadId(),
            [](HWND window, LPARAM found) -> BOOL {
                if (!IsWindowVisible(window)) return TRUE;
                *reinterpret_cast<HWND*>(found) = window;
                return FALSE;
            },
            reinterpret_cast<LPARAM>(&target));
    }
    if (target != nullptr) SetForegroundWindow(target);
}

HWND MainWindow::control(std::string_view name) const {
    const int index = indexOf(name);
    return index < 0 ? nullptr : controls_[static_cast<size_t>(index)];
}

void MainWindow::createFonts() {
    defaultFont_ = createDefaultFont();
    boldFont_ = fontOf(L"Arial", layout::kBoldPointsX100, FW_BOLD, dpi_);
    smallFont_ = fontOf(L"Small Fonts", layout::kSmallPointsX100, FW_NORMAL, dpi_);
    for (size_t i = 0; i < layout::kControls.size(); ++i) {
        HFONT font = defaultFont_;
        if (layout::kControls[i].font == layout::Font::Bold) font = boldFont_;
        if (layout::kControls[i].font == layout::Font::Small) font = smallFont_;
        SendMessageW(controls_[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    }
}

HFONT MainWindow::createDefaultFont() const {
    // The system's message font, as dialogs use, unless the user has made it
    // too large for the fixed layout: then the same face at the largest size
    // whose line fits inside every one-line control, since a clipped line
    // would be worse than a smaller one.
    int room = 0;
    for (size_t i = 0; i < layout::kControls.size(); ++i) {
        const layout::Control& c = layout::kControls[i];
        if (c.font != layout::Font::Default || c.multiLine) continue;
        RECT client;
        GetClientRect(controls_[i], &client);
        if (room == 0 || client.bottom < room) room = client.bottom;
    }
    LOGFONTW font = win32::messageFont(dpi_);
    HDC dc = GetDC(window_);
    HFONT result = CreateFontIndirectW(&font);
    while (result != nullptr && room > 0 && font.lfHeight != 0 && lineHeight(dc, result) > room) {
        const LONG smaller = font.lfHeight < 0 ? font.lfHeight + 1 : font.lfHeight - 1;
        if (smaller == 0) break;
        font.lfHeight = smaller;
        DeleteObject(result);
        result = CreateFontIndirectW(&font);
    }
    ReleaseDC(window_, dc);
    return result;
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
    // A label is opaque and reaches into the control below it. Where they
    // overlap, the control is shown: the label's region leaves that part
    // out, whatever the two windows' order.
    for (size_t i = 0; i < layout::kControls.size(); ++i) {
        if (layout::kControls[i].kind != layout::Kind::Label) continue;
        const RECT label = rectInParent(controls_[i]);
        HRGN shape = CreateRectRgn(0, 0, label.right - label.left, label.bottom - label.top);
        for (size_t j = 0; j < layout::kControls.size(); ++j) {
            if (j == i || layout::kControls[j].kind == layout::Kind::Label) continue;
            RECT other = rectInParent(controls_[j]), overlap;
            if (!IntersectRect(&overlap, &label, &other)) continue;
            HRGN covered = CreateRectRgn(overlap.left - label.left, overlap.top - label.top,
                                         overlap.right - label.left, overlap.bottom - label.top);
            CombineRgn(shape, shape, covered, RGN_DIFF);
            DeleteObject(covered);
        }
        SetWindowRgn(controls_[i], shape, TRUE);  // the window owns the region now
    }
}

void MainWindow::setCaption(const std::string& caption) { SetWindowTextW(window_, widen(caption).c_str()); }

void MainWindow::setText1(const std::string& text) { SetWindowTextW(control("Text1"), widen(text).c_str()); }

void MainWindow::setText2(const std::string& text) {
    // Kept as given: the control may not hand back exactly what it was sent.
    text2_ = text;
    SetWindowTextW(control(kList), widen(text).c_str());
}

void MainWindow::setDeleteEnabled(bool enabled) { enableButton(kDeleteButton, enabled); }

void MainWindow::setRefreshEnabled(bool enabled) { enableButton(kRefreshButton, enabled); }

void MainWindow::enableButton(std::string_view name, bool enabled) {
    HWND button = control(name);
    // Disabling the focused window leaves the keyboard with nothing to act
    // on: Windows drops the focus or leaves it on the disabled control. It
    // moves on instead, by the rule in the layout,
    // which the Linux window follows too: to the next enabled control in
    // tab order, round to "..." when both commands are off. While another
    // window is active (a message box), the focus to come back to moves.
    if (!enabled && (GetFocus() == button || lastFocus_ == button)) {
        const std::string_view next = layout::nextFocus(name, [&](std::string_view other) {
            return IsWindowEnabled(control(other)) != FALSE;
        });
        HWND target = next.empty() ? nullptr : control(next);
        if (GetFocus() == button) SetFocus(target);
        if (lastFocus_ == button) lastFocus_ = target;
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
    // A folder longer than the dialog can take is not given to it (Wine's
    // overflows its stack on one of about 1,000 characters): it then opens
    // where it would by itself.
    dialog.lpstrInitialDir = initialFolder.empty() || initialFolder.size() >= MAX_PATH ? nullptr : initialFolder.c_str();
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
    if (busy_) return;  // one command at a time
    if (name == kLocateButton) form_.mnuLocateGameEXE_Click();
    else if (name == kRefreshButton) form_.butRefreshList_Click();
    else if (name == kDeleteButton) form_.butDeletePaks_Click();
    if (closeRequested_ && window_ != nullptr) DestroyWindow(window_);  // closed during the command
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
    if (message == comeForwardMessage_ && message != 0) {
        comeForward();
        return 0;
    }
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
            applyLayout(suggested->left, suggested->top, false);
            createFonts();  // sized for the new layout
            for (HFONT font : {oldDefault, oldBold, oldSmall})
                if (font != nullptr) DeleteObject(font);
            return 0;
        }
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == control(kList)) {
                // The list's text in the disabled colour, as the disabled
                // box had it, on the face colour a read-only box has.
                const auto dc = reinterpret_cast<HDC>(wParam);
                SetTextColor(dc, GetSysColor(COLOR_GRAYTEXT));
                SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
            }
            break;
        case WM_SETCURSOR:
            if (busy_ && LOWORD(lParam) == HTCLIENT) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return TRUE;
            }
            break;
        case WM_CLOSE:
            if (busy_) {
                // The walk stops at its next folder or archive; the window
                // closes once the command has let go (onClick, load).
                closeRequested_ = true;
                return 0;
            }
            break;
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

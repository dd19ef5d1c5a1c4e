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
            // The list is what the player reviews before deleting: read-only,
            // in the system's colours for read-only text, reached by Tab,
            // scrolled by the wheel, the scroll bar and the keyboard, and
            // its lines selected and copied (see listProc). It wraps its
            // long lines and scrolls only vertically; a plain EDIT keeps its
            // WS_VSCROLL bar on screen even when there is nothing to scroll.
            return {L"EDIT",
                    child | WS_TABSTOP | WS_BORDER | ES_LEFT | ES_MULTILINE | ES_READONLY | WS_VSCROLL | ES_AUTOVSCROLL,
                    0};
        case layout::Kind::Label:
            return {L"STATIC", child | SS_NOPREFIX | (c.align == layout::Align::Left ? SS_LEFT : SS_CENTER), 0};
    }
    return {L"STATIC", child, 0};
}

constexpr UINT_PTR kListSubclassId = 0x7E472;
// The list's context menu.
enum ListCommand : UINT { kCopy = 1, kSelectAll = 2 };

// Touch and pen input, which Windows 8 and later deliver as pointer
// messages before any mouse message (the SDK names them only for Windows 8).
constexpr UINT kPointerDown = 0x0246;
constexpr UINT kPointerUp = 0x0247;

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
    SetWindowSubclass(control(kList), &MainWindow::listProc, kListSubclassId, reinterpret_cast<DWORD_PTR>(this));
    // Screen readers read "..." as the label beside it, and the list, which
    // has no label, by a name of its own.
    setAccessibleName(control(kLocateButton), widen(layout::control("Label2").caption));
    setAccessibleName(control(kList), widen(texts::kListName));
    comeForwardMessage_ = RegisterWindowMessageW(WindowsHost::kComeForwardMessage);

    // Tab order is the order of the child windows: sort them by their
    // places in it, the list after every command button. Accessibility
    // tools name an edit control after the nearest label before it in this
    // order, so the label that names a text box goes immediately before it;
    // a label moves no tab stop.
    std::array<size_t, layout::kControls.size()> byTab{};
    std::iota(byTab.begin(), byTab.end(), size_t{0});
    std::stable_sort(byTab.begin(), byTab.end(), [](size_t a, size_t b) {
        return layout::tabPosition(layout::kControls[a]) < layout::tabPosition(layout::kControls[b]);
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
        // by default), Wine to the one with the focus, often a button: over
        // the list, it scrolls the list either way.
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
    if (window_ != nullptr && !IsWindowVisible(window_) && !form_.state().closeRequested) show(showCommand_);
}

// While a command's walk or look-up runs on its worker, this thread waits
// for it and calls keepAlive() about every 40 ms: the messages waiting are
// handled here, so the window repaints and answers the system (it never
// turns "Not Responding"), while every message box and change to the
// controls stays on this thread. User input that arrives meanwhile is
// dropped, not left to run after the command; the title bar still works,
// so the window can be moved, minimised and closed, and the list can be
// scrolled.
void MainWindow::setBusy(bool busy) {
    busy_ = busy;
    if (busy || !busyShown_ || window_ == nullptr) return;
    busyShown_ = false;
    // Each button as the commands have left it, and the keyboard back where
    // it was, or on by the layout's rule if that button is off now.
    for (const auto& [name, enabled] : enabledWhenIdle_) EnableWindow(control(name), enabled ? TRUE : FALSE);
    HWND focus = std::exchange(focusBeforeBusy_, nullptr);
    if (focus != nullptr && !IsWindowEnabled(focus)) focus = nextFocusFrom(focus);
    if (focus != nullptr) {
        if (GetActiveWindow() == window_) SetFocus(focus);
        lastFocus_ = focus;
    }
    showCursor();
}

void MainWindow::showBusy() {
    if (!busy_ || busyShown_ || window_ == nullptr) return;
    focusBeforeBusy_ = keyboardFocus();
    enabledWhenIdle_ = {{{kLocateButton, false}, {kDeleteButton, false}, {kRefreshButton, false}}};
    for (auto& [name, enabled] : enabledWhenIdle_) enabled = IsWindowEnabled(control(name)) != FALSE;
    busyShown_ = true;
    for (const auto& [name, enabled] : enabledWhenIdle_) EnableWindow(control(name), FALSE);
    showCursor();
}

void MainWindow::showCursor() const {
    // The cursor changes at once if it is over the window; from then on
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
        case WM_TOUCH:
        case kPointerDown:
        case kPointerUp:
            return true;
        default:
            return false;
    }
}

bool MainWindow::keepAlive() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            // The program is to end: the walk stops at its next folder or
            // archive, and the message loop gets the quit once the command
            // is done.
            form_.requestClose();
            PostQuitMessage(static_cast<int>(message.wParam));
            break;
        }
        if (busy_ && dropWhileBusy(message)) continue;
        if (preTranslate(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return window_ != nullptr;
}

void MainWindow::closeWindow() {
    if (window_ != nullptr) DestroyWindow(window_);
}

void MainWindow::comeForward() {
    HWND target = nullptr;
    if (IsWindowVisible(window_)) {
        if (IsIconic(window_)) ShowWindow(window_, SW_RESTORE);
        target = GetLastActivePopup(window_);  // itself, or the message box or file dialog in front of it
        // A dialog minimised on its own is no longer the last active, and
        // the window it disables would come forward in its place.
        if (!IsWindowEnabled(window_)) {
            struct Search {
                HWND owner;
                HWND found;
            } search{window_, nullptr};
            EnumThreadWindows(
                GetCurrentThreadId(),
                [](HWND window, LPARAM data) -> BOOL {
                    auto* search = reinterpret_cast<Search*>(data);
                    if (GetWindow(window, GW_OWNER) != search->owner || !IsWindowEnabled(window)) return TRUE;
                    search->found = window;
                    return FALSE;
                },
                reinterpret_cast<LPARAM>(&search));
            if (search.found != nullptr) target = search.found;
        }
        if (target != nullptr && IsIconic(target)) ShowWindow(target, SW_RESTORE);
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

void MainWindow::setText2(const std::string& text) { SetWindowTextW(control(kList), widen(text).c_str()); }

void MainWindow::setDeleteEnabled(bool enabled) { enableButton(kDeleteButton, enabled); }

void MainWindow::setRefreshEnabled(bool enabled) { enableButton(kRefreshButton, enabled); }

void MainWindow::enableButton(std::string_view name, bool enabled) {
    if (busyShown_) {  // drawn disabled for now: it gets this state when the walk ends
        for (auto& [button, wanted] : enabledWhenIdle_)
            if (button == name) wanted = enabled;
        return;
    }
    HWND button = control(name);
    // Disabling the focused window leaves the keyboard with nothing to act
    // on: Windows drops the focus or leaves it on the disabled control. It
    // moves on instead, by the rule in the layout, which the Linux window
    // follows too: to the next enabled control in tab order, the list when
    // both commands are off. While another window is active (a message
    // box), the focus to come back to moves.
    if (!enabled && (GetFocus() == button || lastFocus_ == button)) {
        HWND target = nextFocusFrom(button);
        if (GetFocus() == button) SetFocus(target);
        if (lastFocus_ == button) lastFocus_ = target;
    }
    EnableWindow(button, enabled ? TRUE : FALSE);
}

std::string_view MainWindow::nameOf(HWND control) const {
    for (size_t i = 0; i < layout::kControls.size(); ++i)
        if (control != nullptr && controls_[i] == control) return layout::kControls[i].name;
    return {};
}

HWND MainWindow::nextFocusFrom(HWND from) const {
    const std::string_view name = nameOf(from);
    if (name.empty()) return nullptr;
    // The list is never disabled, so the focus always has somewhere to go.
    const std::string_view next =
        layout::nextFocus(name, [&](std::string_view other) { return IsWindowEnabled(control(other)) != FALSE; });
    return next.empty() ? nullptr : control(next);
}

HWND MainWindow::keyboardFocus() const {
    // While another window is active (a message box), the control to come
    // back to.
    HWND focus = GetFocus();
    return focus != nullptr && IsChild(window_, focus) ? focus : lastFocus_;
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
    // that is some process's current directory. Nothing here uses it. The
    // "Open as read-only" box means nothing to a program that only reads
    // where the game is, so it is not offered.
    dialog.Flags = OFN_NOCHANGEDIR | OFN_HIDEREADONLY;

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
    // Form1 drops a click that comes while a command runs, and closes the
    // window once one that was closed meanwhile has ended.
    if (name == kLocateButton) form_.mnuLocateGameEXE_Click();
    else if (name == kRefreshButton) form_.butRefreshList_Click();
    else if (name == kDeleteButton) form_.butDeletePaks_Click();
}

// What the read-only EDIT does itself (arrows, Page Up and Down, Home and
// End with and without Ctrl, Ctrl+C, the scroll bar) it keeps doing; this
// adds what it lacks and takes away what would let the list be edited.
LRESULT CALLBACK MainWindow::listProc(HWND list, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                      DWORD_PTR data) {
    switch (message) {
        case WM_GETDLGCODE:
            // A multi-line EDIT asks for every key, Tab included, and would
            // keep the keyboard: Tab and Shift+Tab move on from the list as
            // from any other control. Arrows and characters stay its own.
            return DefSubclassProc(list, message, wParam, lParam) & ~(DLGC_WANTALLKEYS | DLGC_WANTTAB);
        case WM_KEYDOWN:
            // Not every version of the EDIT selects all on Ctrl+A.
            if (wParam == 'A' && GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_MENU) >= 0) {
                SendMessageW(list, EM_SETSEL, 0, -1);
                return 0;
            }
            break;
        case WM_CHAR:
            if (wParam == 1) return 0;  // Ctrl+A's character: taken as the key above, not beeped at
            break;
        case WM_PASTE:
        case WM_CUT:
        case WM_CLEAR:
        case WM_UNDO:
        case EM_UNDO:
            return 0;  // only the program writes the list
        case WM_CONTEXTMENU:
            reinterpret_cast<MainWindow*>(data)->showListMenu(lParam);
            return 0;
        case WM_NCDESTROY:
            RemoveWindowSubclass(list, &MainWindow::listProc, kListSubclassId);
            break;
        default:
            break;
    }
    return DefSubclassProc(list, message, wParam, lParam);
}

// The EDIT's own menu would offer Undo, Cut, Paste and Delete, greyed, and
// input-method entries: the list offers what can be done with it.
void MainWindow::showListMenu(LPARAM at) {
    HWND list = control(kList);
    SetFocus(list);
    POINT point{GET_X_LPARAM(at), GET_Y_LPARAM(at)};
    if (at == -1) {  // from the keyboard (Shift+F10, the menu key): inside the box's corner
        RECT box;
        GetWindowRect(list, &box);
        point = {box.left + 8, box.top + 8};
    }
    DWORD first = 0, last = 0;
    SendMessageW(list, EM_GETSEL, reinterpret_cast<WPARAM>(&first), reinterpret_cast<LPARAM>(&last));
    HMENU menu = CreatePopupMenu();
    if (menu == nullptr) return;
    AppendMenuW(menu, MF_STRING | (first == last ? MF_GRAYED : MF_ENABLED), kCopy, widen(texts::kCopyCommand).c_str());
    AppendMenuW(menu, MF_STRING, kSelectAll, widen(texts::kSelectAllCommand).c_str());
    const UINT chosen = static_cast<UINT>(
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, point.x, point.y, 0, list, nullptr));
    DestroyMenu(menu);
    if (chosen == kCopy) SendMessageW(list, WM_COPY, 0, 0);
    else if (chosen == kSelectAll) SendMessageW(list, EM_SETSEL, 0, -1);
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
        case WM_SETFOCUS: {
            // Back to the control that had the focus when the window was
            // left, so the keyboard carries on where it was; on from it by
            // the layout's rule if it is off now (as the buttons are while
            // a walk is shown busy).
            HWND focus = lastFocus_ != nullptr && IsWindow(lastFocus_) ? lastFocus_ : control(kLocateButton);
            if (focus != nullptr && !IsWindowEnabled(focus)) focus = nextFocusFrom(focus);
            if (focus != nullptr) SetFocus(focus);
            return 0;
        }
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
        case WM_SETCURSOR:
            if (busyShown_ && LOWORD(lParam) == HTCLIENT) {
                SetCursor(LoadCursorW(nullptr, IDC_WAIT));
                return TRUE;
            }
            break;
        case WM_CLOSE:
            // During a command the walk stops at its next folder or archive,
            // and Form1 closes the window once the command has ended.
            if (form_.requestClose()) DestroyWindow(window_);
            return 0;
        case WM_QUERYENDSESSION:
            // A command waits inside this very call: asked to stop, its walk
            // starts no folder or deletion after this returns (one under way
            // finishes), so the session may end. A message box or the file
            // dialog has nothing to stop, and the answer is yes without it.
            if (busy_) form_.requestClose();
            return TRUE;
        case WM_ENDSESSION:
            // The process may end at any moment once this returns: a command
            // still running touches nothing more.
            if (wParam != FALSE && form_.busy()) form_.requestClose();
            return 0;
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

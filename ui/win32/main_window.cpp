#include "ui/win32/main_window.h"

#include <commdlg.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "core/texts.h"
#include "platform/windows/win32_text.h"
#include "platform/windows/dpi.h"

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
    // Text1, Label2 and "..."); each label's window region leaves those
    // parts out (see applyLayout), and clipping siblings keeps every control
    // to what it owns.
    constexpr DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (c.kind) {
        case layout::Kind::CommandButton:
            return {L"BUTTON", child | WS_TABSTOP | BS_PUSHBUTTON, 0};
        case layout::Kind::TextBox:
            // Shown, never typed in. The list wraps its long lines and
            // scrolls only vertically; a plain EDIT keeps its WS_VSCROLL bar
            // on screen even when there is nothing to scroll. A one-pixel
            // border rather than the two-pixel client edge: Text1 is 19 px
            // high, and a line of the system's font (16 px for Segoe UI
            // 9 pt) needs more than the 15 px the client edge leaves.
            return {L"EDIT",
                    child | WS_DISABLED | WS_BORDER | ES_LEFT |
                        (c.multiLine ? ES_MULTILINE | WS_VSCROLL | ES_AUTOVSCROLL : ES_AUTOHSCROLL),
                    0};
        case layout::Kind::Label:
            return {L"STATIC", child | SS_NOPREFIX | (c.align == layout::Align::Left ? SS_LEFT : SS_CENTER), 0};
    }
    return {L"STATIC", child, 0};
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
    SendMessageW(control("Text2"), EM_SETLIMITTEXT, 0, 0);

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
    return window_ != nullptr && IsDialogMessageW(window_, &message);
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
    SetWindowTextW(control("Text2"), widen(text).c_str());
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
            applyLayout(suggested->left, suggested->top, false);
            createFonts();  // sized for the new layout
            for (HFONT font : {oldDefault, oldBold, oldSmall})
                if (font != nullptr) DeleteObject(font);
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

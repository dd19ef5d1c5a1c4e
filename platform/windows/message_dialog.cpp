#include "platform/windows/message_dialog.h"

#include "platform/windows/dpi.h"
#include "platform/windows/system_functions.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quelmar::win32 {

namespace {

// The width at which Wine's MessageBoxW wraps its text, at 96 DPI. Windows'
// own box is wider, so a text that fits at this width fits there too.
constexpr int kMessageBoxWrap = 230;
constexpr int kIconId = 100;
constexpr int kTextId = 101;

// The system's own, localised caption of a message box button.
using MbGetStringFn = LPCWSTR(WINAPI*)(UINT);

// The font message boxes use, sized for `dpi`.
HFONT createMessageFont(UINT dpi) {
    const LOGFONTW font = messageFont(dpi);
    return CreateFontIndirectW(&font);
}

// The work area of the owner's monitor, or of the primary one.
RECT workAreaFor(HWND owner) {
    HMONITOR monitor = owner != nullptr ? MonitorFromWindow(owner, MONITOR_DEFAULTTOPRIMARY)
                                        : MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (monitor != nullptr && GetMonitorInfoW(monitor, &info)) return info.rcWork;
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    return work;
}

int widthOf(const RECT& r) { return r.right - r.left; }
int heightOf(const RECT& r) { return r.bottom - r.top; }

// The size of `text` wrapped at `width` in the font selected into `dc`.
// DT_EDITCONTROL also breaks a word longer than the width, as an edit does.
SIZE measure(HDC dc, const std::wstring& text, int width, UINT breakWords) {
    RECT rect{0, 0, width, 0};
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &rect,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX | DT_EXPANDTABS | breakWords);
    return SIZE{widthOf(rect), heightOf(rect)};
}

// Whether the system's message box will show the text well inside the
// work area. Measured at Wine's wrap width, twice: with long words broken
// (the tallest the text gets, as Windows wraps it) and with them kept whole
// (the widest, as Wine keeps them). Half the work area either way leaves
// room for the caption, icon and button on any screen.
bool fitsMessageBox(HDC dc, const std::wstring& text, const RECT& work, UINT dpi) {
    const int wrap = MulDiv(kMessageBoxWrap, static_cast<int>(dpi), kDefaultDpi);
    const SIZE broken = measure(dc, text, wrap, DT_EDITCONTROL);
    const SIZE whole = measure(dc, text, wrap, 0);
    return broken.cy <= heightOf(work) / 2 && whole.cx <= widthOf(work) / 2;
}

// Where everything goes in our own dialog, in pixels.
struct Layout {
    RECT window{};  // screen coordinates
    RECT icon{}, text{}, button{};  // client coordinates
    RECT work{};
    int lineHeight = 1;
    int maximumText = 1;  // the tallest the text may be before it scrolls
    bool scrolls = false;
};

constexpr DWORD kDialogStyle = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFOREGROUND;
constexpr DWORD kDialogExStyle = WS_EX_DLGMODALFRAME;

// The frame around a client area of the dialog: left/top and right/bottom.
RECT frameFor(UINT dpi) {
    const RECT rect = windowRectForClient(RECT{0, 0, 0, 0}, kDialogStyle, kDialogExStyle, dpi);
    return RECT{-rect.left, -rect.top, rect.right, rect.bottom};
}

// About 60% of the work area wide (never narrower than a message box), as
// tall as the text needs up to about 80% of the work area, centred on the
// owner and kept inside the work area.
Layout layOut(HDC dc, HWND owner, const std::wstring& text, const RECT& work, UINT dpi, int lineHeight) {
    const auto px = [dpi](int at96) { return MulDiv(at96, static_cast<int>(dpi), kDefaultDpi); };
    const int margin = px(11), gap = px(10), icon = px(32);
    const int buttonWidth = px(88), buttonHeight = px(26);
    const RECT frame = frameFor(dpi);
    const int frameWidth = frame.left + frame.right, frameHeight = frame.top + frame.bottom;

    const int minimumClient = margin + icon + gap + px(kMessageBoxWrap) + margin;
    const int clientWidth =
        std::min(std::max(widthOf(work) * 6 / 10 - frameWidth, minimumClient), widthOf(work) - frameWidth);
    const int textWidth = clientWidth - 2 * margin - icon - gap;
    // Room for the text once the caption, margins and button are placed,
    // in whole lines so that the last one shown is not cut.
    const int roomForText = heightOf(work) * 8 / 10 - frameHeight - 3 * margin - buttonHeight;
    const int maximumText = std::max(lineHeight, roomForText / lineHeight * lineHeight);

    Layout layout;
    layout.work = work;
    layout.lineHeight = lineHeight;
    layout.maximumText = maximumText;
    int textHeight = std::max<int>(measure(dc, text, textWidth, DT_EDITCONTROL).cy, lineHeight);
    if (textHeight > maximumText) {
        layout.scrolls = true;
        textHeight = maximumText;
    }
    const int bodyHeight = std::max(textHeight, icon);
    const int clientHeight = margin + bodyHeight + margin + buttonHeight + margin;
    layout.icon = RECT{margin, margin, margin + icon, margin + icon};
    const int textLeft = margin + icon + gap;
    layout.text = RECT{textLeft, margin, textLeft + textWidth, margin + textHeight};
    const int buttonTop = margin + bodyHeight + margin;
    layout.button =
        RECT{clientWidth - margin - buttonWidth, buttonTop, clientWidth - margin, buttonTop + buttonHeight};

    const int width = clientWidth + frameWidth, height = clientHeight + frameHeight;
    RECT around = work;
    if (owner != nullptr && IsWindowVisible(owner) && !IsIconic(owner)) GetWindowRect(owner, &around);
    int left = around.left + (widthOf(around) - width) / 2;
    int top = around.top + (heightOf(around) - height) / 2;
    left = std::max<int>(work.left, std::min<int>(left, work.right - width));
    top = std::max<int>(work.top, std::min<int>(top, work.bottom - height));
    layout.window = RECT{left, top, left + width, top + height};
    return layout;
}

// An in-memory dialog template: the dialog, then its icon, text and button.
class Template {
public:
    Template(const std::wstring& title, bool scrolls, const std::wstring& okCaption) {
        DLGTEMPLATE dialog{};
        dialog.style = kDialogStyle;
        dialog.dwExtendedStyle = kDialogExStyle;
        dialog.cdit = 3;
        put(&dialog, sizeof dialog);
        putWord(0);  // no menu
        putWord(0);  // the standard dialog class
        putText(title);
        // Placed and sized in pixels when the dialog starts.
        item(WS_CHILD | WS_VISIBLE | SS_ICON, kIconId, 0x0082, L"");
        item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_MULTILINE | ES_READONLY | (scrolls ? WS_VSCROLL : 0), kTextId,
             0x0081, L"");
        item(WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK, 0x0080, okCaption);
    }
    const DLGTEMPLATE* get() const { return reinterpret_cast<const DLGTEMPLATE*>(words_.data()); }

private:
    void item(DWORD style, int id, WORD atom, const std::wstring& caption) {
        if (words_.size() % 2 != 0) putWord(0);  // each item starts on a DWORD
        DLGITEMTEMPLATE control{};
        control.style = style;
        control.id = static_cast<WORD>(id);
        put(&control, sizeof control);
        putWord(0xFFFF);
        putWord(atom);
        putText(caption);
        putWord(0);  // no creation data
    }
    void put(const void* data, size_t bytes) {
        const auto* from = static_cast<const WORD*>(data);
        words_.insert(words_.end(), from, from + bytes / sizeof(WORD));
    }
    void putWord(WORD word) { words_.push_back(word); }
    void putText(const std::wstring& text) {
        words_.insert(words_.end(), text.begin(), text.end());
        putWord(0);
    }

    // DLGTEMPLATE and DLGITEMTEMPLATE are both made of whole WORDs.
    static_assert(sizeof(DLGTEMPLATE) % sizeof(WORD) == 0 && sizeof(DLGITEMTEMPLATE) % sizeof(WORD) == 0);
    std::vector<WORD> words_;
};

struct DialogState {
    const std::wstring* text;
    HICON icon;
    HFONT font;
    Layout layout;
};

void place(HWND dialog, int id, const RECT& rect) {
    SetWindowPos(GetDlgItem(dialog, id), nullptr, rect.left, rect.top, widthOf(rect), heightOf(rect),
                 SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK dialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            auto& state = *reinterpret_cast<DialogState*>(lParam);
            Layout& layout = state.layout;
            HWND text = GetDlgItem(dialog, kTextId);
            SendMessageW(text, WM_SETFONT, reinterpret_cast<WPARAM>(state.font), FALSE);
            SendMessageW(GetDlgItem(dialog, IDOK), WM_SETFONT, reinterpret_cast<WPARAM>(state.font), FALSE);
            SendMessageW(GetDlgItem(dialog, kIconId), STM_SETICON, reinterpret_cast<WPARAM>(state.icon), 0);
            // The text starts where the control does, as a message box's would.
            SendMessageW(text, EM_SETMARGINS, EC_LEFTMARGIN | EC_RIGHTMARGIN, MAKELPARAM(0, 0));
            place(dialog, kTextId, layout.text);
            SetWindowTextW(text, state.text->c_str());
            // The edit may wrap a line differently from the measurement: fit
            // its height to the lines it really has, within the same limit.
            if (!layout.scrolls) {
                const auto lines = static_cast<int>(SendMessageW(text, EM_GETLINECOUNT, 0, 0));
                const int wanted = std::min(std::max(lines, 1) * layout.lineHeight, layout.maximumText);
                const int grow = wanted - heightOf(layout.text);
                if (grow > 0) {
                    layout.text.bottom += grow;
                    OffsetRect(&layout.button, 0, grow);
                    layout.window.bottom += grow;
                    const int over = std::min(layout.window.bottom - layout.work.bottom,
                                              layout.window.top - layout.work.top);
                    if (over > 0) OffsetRect(&layout.window, 0, -over);
                    place(dialog, kTextId, layout.text);
                }
            }
            place(dialog, kIconId, layout.icon);
            place(dialog, IDOK, layout.button);
            SetWindowPos(dialog, nullptr, layout.window.left, layout.window.top, widthOf(layout.window),
                         heightOf(layout.window), SWP_NOZORDER | SWP_NOACTIVATE);
            // Enter and Esc answer the box from the start, as in a message box.
            SetFocus(GetDlgItem(dialog, IDOK));
            return FALSE;
        }
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                EndDialog(dialog, IDOK);
                return TRUE;
            }
            break;
    }
    return FALSE;
}

LPCWSTR iconFor(MessageKind kind) {
    switch (kind & MB_ICONMASK) {
        case MB_ICONWARNING: return IDI_WARNING;
        case MB_ICONERROR: return IDI_ERROR;
        case MB_ICONQUESTION: return IDI_QUESTION;
        default: return IDI_INFORMATION;
    }
}

bool showOwnDialog(HWND owner, HFONT font, const Layout& layout, const std::wstring& text,
                   const std::wstring& title, MessageKind kind) {
    static const auto mbGetString = user32<MbGetStringFn>("MB_GetString");
    const LPCWSTR systemOk = mbGetString != nullptr ? mbGetString(IDOK - 1) : nullptr;
    const std::wstring ok = systemOk != nullptr ? systemOk : L"OK";

    DialogState state{&text, LoadIconW(nullptr, iconFor(kind)), font, layout};
    const Template dialog(title, layout.scrolls, ok);
    MessageBeep(kind & MB_ICONMASK);
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.get(), owner, dialogProc,
                                                   reinterpret_cast<LPARAM>(&state));
    return result != -1 && result != 0;
}

}  // namespace

bool showMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, MessageKind kind) {
    const UINT dpi = dpiForWindow(owner);
    const RECT work = workAreaFor(owner);
    HFONT font = createMessageFont(dpi);
    HDC dc = GetDC(nullptr);
    bool own = false;
    Layout layout;
    if (font != nullptr && dc != nullptr) {
        HGDIOBJ previous = SelectObject(dc, font);
        own = !fitsMessageBox(dc, text, work, dpi);
        if (own) {
            TEXTMETRICW metrics{};
            GetTextMetricsW(dc, &metrics);
            const int lineHeight = std::max<int>(metrics.tmHeight, 1);  // an edit's line height
            layout = layOut(dc, owner, text, work, dpi, lineHeight);
        }
        SelectObject(dc, previous);
    }
    if (dc != nullptr) ReleaseDC(nullptr, dc);
    bool shown = false;
    if (own) {
        shown = showOwnDialog(owner, font, layout, text, title, kind);
    } else {
        // Short enough for the system's box on any screen (or not measurable).
        shown = MessageBoxW(owner, text.c_str(), title.c_str(), MB_OK | (kind & MB_ICONMASK)) != 0;
    }
    if (font != nullptr) {
        const DWORD error = GetLastError();  // keep the reason a box could not be shown
        DeleteObject(font);
        SetLastError(error);
    }
    return shown;
}

}  // namespace quelmar::win32

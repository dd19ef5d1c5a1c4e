#pragma once
// Per-monitor DPI on every Windows that has it, and the system DPI on the
// ones that do not: the Windows 10 functions are looked up at run time so
// that the program still starts where they are missing.

#include <windows.h>

namespace quelmar::win32 {

inline constexpr UINT kDefaultDpi = 96;

// The DPI the window is shown at.
UINT dpiForWindow(HWND window);

// The outer size of a window whose client area is `client`, at `dpi`.
RECT windowRectForClient(const RECT& client, DWORD style, DWORD exStyle, UINT dpi);

// The system's message font (the one dialogs use), sized for `dpi`.
LOGFONTW messageFont(UINT dpi);

}  // namespace quelmar::win32

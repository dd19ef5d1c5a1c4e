#pragma once
// A message the user must acknowledge, in a box that fits the screen.
//
// MessageBoxW is used whenever the text fits it comfortably. Wine's box
// wraps text at a fixed width of about 230 px whatever the screen, and
// keeps a word it cannot break (a path without spaces) on one line, so a
// message naming a long path makes a box taller or wider than the screen,
// with its OK button out of reach. Such a message is shown in a dialog of
// our own instead: the same title, icon, sound and OK button, with the
// text in a read-only edit that wraps at the dialog's width and scrolls
// when it is longer than the screen allows.

#include <windows.h>

#include <string>

namespace quelmar::win32 {

// The icon and sound of a message, as MessageBoxW names them:
// MB_ICONINFORMATION, MB_ICONWARNING or MB_ICONERROR.
using MessageKind = UINT;

// Shows the message modally, owned by `owner` (nullptr: none), and returns
// once the user has closed it. False, with the reason in GetLastError(),
// when no box could be shown.
bool showMessageBox(HWND owner, const std::wstring& text, const std::wstring& title, MessageKind kind);

}  // namespace quelmar::win32

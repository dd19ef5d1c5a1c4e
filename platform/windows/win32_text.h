#pragma once
// The seam between the core's UTF-8 strings and the wide-character Win32
// API, plus the two things every Win32 caller here needs: a path the file
// APIs accept beyond 260 characters, and the system's own text for an error
// (win32_error.h puts it in the program's words where it can).

#include <windows.h>

#include <string>
#include <string_view>

namespace quelmar::win32 {

// UTF-8 <-> UTF-16 that round-trips every name the file system can hold:
// an unpaired surrogate travels as its own three-byte sequence (WTF-8), so
// narrow(widen(x)) == x for whatever narrow produced, and widen(narrow(w))
// == w for any UTF-16 text. Bytes that are no such sequence become U+FFFD.
std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view wide);

// An absolute path ("C:\..." or "\\server\share\...") made into its
// "\\?\" form so that no MAX_PATH limit applies. Relative paths and paths
// already in that form come back unchanged.
std::wstring extendedPath(const std::string& utf8Path);

// The inverse for display: "\\?\C:\x" -> "C:\x", "\\?\UNC\s\x" -> "\\s\x".
std::wstring withoutExtendedPrefix(std::wstring path);

// The system's English text for an error code, without the trailing line
// break; empty when the system has none in English (a Windows installed
// in another language may carry no English texts at all).
std::string systemMessage(DWORD error);

// The full path of a loaded module (nullptr: this program), of any length.
std::wstring modulePath(HMODULE module);

}  // namespace quelmar::win32

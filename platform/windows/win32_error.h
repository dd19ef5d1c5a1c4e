#pragma once
// Windows error codes told in the program's own words, as the Linux host
// tells its errno values, so that a failure reads the same on every system
// and in English whatever the system's language.

#include <windows.h>

#include <string>

#include "core/texts.h"

namespace quelmar::win32 {

// The program's own sentence for `error` met while doing `operation`;
// where it has none, the system's English text with the error's number.
std::string reasonFor(DWORD error, texts::Operation operation);

// The same for an answer of the system's file layer (an NTSTATUS), which
// tells apart some things its Windows error number lumps together.
std::string reasonForStatus(LONG status, texts::Operation operation);

// The system's English text and the number, for failures that belong to
// no file operation (a message box the system would not show).
std::string systemReason(DWORD error);

// Raises the HostError for `operation` on `path` failing with `error`.
[[noreturn]] void fail(DWORD error, texts::Operation operation, const std::string& path);

}  // namespace quelmar::win32

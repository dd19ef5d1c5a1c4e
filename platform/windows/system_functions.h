#pragma once
// Functions of the system's own libraries that the program looks up at run
// time: those newer than the oldest Windows it runs on, so that it still
// starts where they are missing, and Wine's own exports.

#include <windows.h>

namespace quelmar::win32 {

// The function `name` of the loaded system library `module`; nullptr where
// the system has none.
template <typename Function>
Function systemFunction(const wchar_t* module, const char* name) {
    HMODULE loaded = GetModuleHandleW(module);
    return loaded ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(loaded, name))) : nullptr;
}

template <typename Function>
Function user32(const char* name) {
    return systemFunction<Function>(L"user32.dll", name);
}

// Whether the program runs under Wine rather than on Windows itself: Wine's
// ntdll exports its own version. The host then creates the file system that
// guards against what only Wine does (see wine_file_system.h).
inline bool underWine() {
    static const bool wine = systemFunction<void (*)()>(L"ntdll.dll", "wine_get_version") != nullptr;
    return wine;
}

}  // namespace quelmar::win32

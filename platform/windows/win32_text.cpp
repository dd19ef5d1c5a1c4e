#include "platform/windows/win32_text.h"

#include <climits>
#include <stdexcept>

namespace quelmar::win32 {

std::wstring widen(std::string_view utf8) {
    if (utf8.empty()) return {};
    if (utf8.size() > static_cast<size_t>(INT_MAX)) throw std::length_error("text too long");
    const int length = static_cast<int>(utf8.size());
    const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, nullptr, 0);
    std::wstring wide(static_cast<size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), length, wide.data(), needed);
    return wide;
}

std::string narrow(std::wstring_view wide) {
    if (wide.empty()) return {};
    if (wide.size() > static_cast<size_t>(INT_MAX)) throw std::length_error("text too long");
    const int length = static_cast<int>(wide.size());
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), length, utf8.data(), needed, nullptr, nullptr);
    return utf8;
}

namespace {

bool isSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isDrivePath(const std::wstring& p) {
    return p.size() >= 3 && ((p[0] >= L'A' && p[0] <= L'Z') || (p[0] >= L'a' && p[0] <= L'z')) && p[1] == L':' &&
           isSlash(p[2]);
}

bool isUncPath(const std::wstring& p) { return p.size() >= 3 && isSlash(p[0]) && isSlash(p[1]) && !isSlash(p[2]); }

constexpr std::wstring_view kExtended = L"\\\\?\\";
constexpr std::wstring_view kExtendedUnc = L"\\\\?\\UNC\\";

}  // namespace

std::wstring extendedPath(const std::string& utf8Path) {
    std::wstring path = widen(utf8Path);
    if (path.starts_with(kExtended)) return path;
    const bool drive = isDrivePath(path);
    const bool unc = !drive && isUncPath(path);
    if (!drive && !unc) return path;
    if (unc && path.size() > 3 && path[2] == L'.' && isSlash(path[3])) return path;  // \\.\device

    // "\\?\" switches off the system's own clean-up of the path, so do that
    // clean-up first: "/" becomes "\", "." and ".." are resolved, just as the
    // same path would be understood without the prefix.
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed != 0) {
        std::wstring full(needed, L'\0');
        const DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
        if (written != 0 && written < needed) {
            full.resize(written);
            path = std::move(full);
        }
    }
    if (isDrivePath(path)) return std::wstring(kExtended) + path;
    if (isUncPath(path)) return std::wstring(kExtendedUnc) + path.substr(2);
    return path;
}

std::wstring withoutExtendedPrefix(std::wstring path) {
    if (path.starts_with(kExtendedUnc)) return L"\\\\" + path.substr(kExtendedUnc.size());
    if (path.starts_with(kExtended)) return path.substr(kExtended.size());
    return path;
}

std::string systemMessage(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
        0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
    if (text.empty()) return "Error " + std::to_string(error);
    return narrow(text);
}

std::wstring modulePath(HMODULE module) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD written = GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (written == 0) return {};
        if (written < buffer.size()) {
            buffer.resize(written);
            return buffer;
        }
        // Truncated: the path is longer than the buffer (a long-path install).
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace quelmar::win32

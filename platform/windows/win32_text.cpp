#include "platform/windows/win32_text.h"

#include "core/utf8.h"

namespace quelmar::win32 {

// WTF-8: UTF-8 that also carries a UTF-16 code unit from an unpaired
// surrogate, as the three-byte sequence its value would have. Windows
// allows such names on disk; the conversion must give back exactly the
// name it was handed, or an entry listed could not be opened again.

std::wstring widen(std::string_view utf8) {
    std::wstring wide;
    wide.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        auto [code, length] = DecodeUtf8(utf8, i, true);
        if (length == 0) code = 0xFFFD, length = 1;  // what a malformed byte stands for, as MultiByteToWideChar has it
        if (code >= 0x10000) {
            code -= 0x10000;
            wide += static_cast<wchar_t>(0xD800 + (code >> 10));
            wide += static_cast<wchar_t>(0xDC00 + (code & 0x3FF));
        } else {
            wide += static_cast<wchar_t>(code);
        }
        i += length;
    }
    return wide;
}

std::string narrow(std::wstring_view wide) {
    std::string utf8;
    utf8.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        char32_t code = static_cast<char16_t>(wide[i]);
        if (code >= 0xD800 && code < 0xDC00 && i + 1 < wide.size()) {
            const char32_t next = static_cast<char16_t>(wide[i + 1]);
            if (next >= 0xDC00 && next < 0xE000) {
                code = 0x10000 + ((code - 0xD800) << 10) + (next - 0xDC00);
                ++i;
            }
        }
        if (code < 0x80) {
            utf8 += static_cast<char>(code);
        } else if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {  // an unpaired surrogate included
            utf8 += static_cast<char>(0xE0 | (code >> 12));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            utf8 += static_cast<char>(0xF0 | (code >> 18));
            utf8 += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            utf8 += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
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
        MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr) text.assign(buffer, length);
    if (buffer != nullptr) LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) text.pop_back();
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

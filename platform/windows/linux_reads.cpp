#include "platform/windows/linux_reads.h"

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "platform/windows/system_functions.h"
#include "platform/windows/win32_text.h"

namespace quelmar::win32 {

namespace {

// A Linux register: 64 bits, where a Windows long has 32.
using Word = long long;

// The x86-64 Linux calls used, by number, with the flags and layouts they
// take; Wine passes a program's own system calls straight to Linux.
constexpr Word kClose = 3, kGetDents64 = 217, kOpenAt = 257, kFStatAt = 262;
constexpr Word kAtCurrentFolder = -100;
constexpr Word kReadOnlyFolder = 0x10000 /* O_DIRECTORY */ | 0x80000 /* O_CLOEXEC */;
constexpr unsigned char kTypeUnknown = 0, kTypeFolder = 4, kTypeFile = 8;
constexpr std::uint32_t kModeKind = 0170000, kModeFolder = 0040000, kModeFile = 0100000;

struct LinuxStat {
    std::uint64_t device;
    std::uint64_t inode;
    std::uint64_t links;
    std::uint32_t mode;
    unsigned char rest[144 - 28];
};
static_assert(sizeof(LinuxStat) == 144);

Word linuxCall(Word number, Word a, Word b = 0, Word c = 0, Word d = 0) {
#if defined(__x86_64__)
    Word result;
    register Word fourth asm("r10") = d;
    asm volatile("syscall"
                 : "=a"(result)
                 : "a"(number), "D"(a), "S"(b), "d"(c), "r"(fourth)
                 : "rcx", "r11", "memory");
    return result;
#else
    (void)number, (void)a, (void)b, (void)c, (void)d;
    return -38;  // ENOSYS
#endif
}

constexpr Word kInterrupted = -4;  // EINTR: a signal came first; ask again

Word retried(Word number, Word a, Word b = 0, Word c = 0, Word d = 0) {
    Word result;
    do result = linuxCall(number, a, b, c, d);
    while (result == kInterrupted);
    return result;
}

// The Linux path Wine gives a Windows one; empty when it gives none.
std::string linuxPath(const std::string& path) {
    using UnixName = char*(CDECL*)(const wchar_t*);
    static const auto unixName = systemFunction<UnixName>(L"kernel32.dll", "wine_get_unix_file_name");
    if (unixName == nullptr) return {};
    char* name = unixName(extendedPath(path).c_str());
    if (name == nullptr) return {};
    std::string out = name;
    HeapFree(GetProcessHeap(), 0, name);
    return out;
}

// Whether a name is UTF-8 as Wine reads it. Wine turns anything else into a
// name of its own (surrogate halves too, which a round trip through UTF-16
// would keep), so no Windows path leads back to it.
bool isUtf8(std::string_view name) {
    for (std::size_t i = 0; i < name.size();) {
        const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(name[at]); };
        const unsigned char lead = byte(i);
        std::size_t more;
        char32_t code;
        if (lead < 0x80) more = 0, code = lead;
        else if (lead >= 0xC2 && lead < 0xE0) more = 1, code = lead & 0x1F;
        else if (lead >= 0xE0 && lead < 0xF0) more = 2, code = lead & 0x0F;
        else if (lead >= 0xF0 && lead < 0xF5) more = 3, code = lead & 0x07;
        else return false;
        if (more >= name.size() - i) return false;
        for (std::size_t k = 1; k <= more; ++k) {
            if ((byte(i + k) & 0xC0) != 0x80) return false;
            code = code << 6 | (byte(i + k) & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (code < least[more] || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return false;
        i += more + 1;
    }
    return true;
}

std::optional<LinuxStat> statAt(Word folder, const char* name) {
    LinuxStat st{};
    if (retried(kFStatAt, folder, reinterpret_cast<Word>(name), reinterpret_cast<Word>(&st), 0) != 0)
        return std::nullopt;
    return st;
}

}  // namespace

bool LinuxReadsAvailable() {
#if defined(__x86_64__)
    using HostVersion = void(CDECL*)(const char**, const char**);
    static const bool available = [] {
        const auto hostVersion = systemFunction<HostVersion>(L"ntdll.dll", "wine_get_host_version");
        const char* system = nullptr;
        const char* release = nullptr;
        if (hostVersion) hostVersion(&system, &release);
        return system != nullptr && std::strcmp(system, "Linux") == 0;
    }();
    return available;
#else
    return false;
#endif
}

std::optional<std::vector<FolderEntry>> LinuxListFolder(const std::string& path) {
    if (!LinuxReadsAvailable()) return std::nullopt;
    const std::string unixPath = linuxPath(path);
    if (unixPath.empty()) return std::nullopt;
    const Word folder = retried(kOpenAt, kAtCurrentFolder, reinterpret_cast<Word>(unixPath.c_str()), kReadOnlyFolder);
    if (folder < 0) return std::nullopt;
    const std::shared_ptr<void> closed(nullptr, [folder](void*) { linuxCall(kClose, folder); });
    std::vector<FolderEntry> entries;
    alignas(8) char buffer[32 * 1024];
    for (;;) {
        const Word got = retried(kGetDents64, folder, reinterpret_cast<Word>(buffer), static_cast<Word>(sizeof buffer));
        if (got < 0) return std::nullopt;
        if (got == 0) break;
        for (Word at = 0; at < got;) {
            // linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
            std::uint16_t length;
            std::memcpy(&length, buffer + at + 16, sizeof length);
            const unsigned char type = static_cast<unsigned char>(buffer[at + 18]);
            const char* name = buffer + at + 19;
            at += length;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            if (!isUtf8(name)) continue;
            EntryKind kind = type == kTypeFolder ? EntryKind::Folder : type == kTypeFile ? EntryKind::File : EntryKind::Other;
            if (kind == EntryKind::Other || type == kTypeUnknown) {
                // A link, or a disk that does not say: what it leads to.
                const auto st = statAt(folder, name);
                const std::uint32_t mode = st ? st->mode & kModeKind : 0;
                kind = mode == kModeFolder ? EntryKind::Folder : mode == kModeFile ? EntryKind::File : EntryKind::Other;
            }
            entries.push_back({name, kind});
        }
    }
    return entries;
}

std::optional<FolderId> LinuxFolderId(const std::string& path) {
    if (!LinuxReadsAvailable()) return std::nullopt;
    const std::string unixPath = linuxPath(path);
    if (unixPath.empty()) return std::nullopt;
    const auto st = statAt(kAtCurrentFolder, unixPath.c_str());
    if (!st || (st->mode & kModeKind) != kModeFolder) return std::nullopt;
    return FolderId{st->device, 0, st->inode};
}

}  // namespace quelmar::win32

#include "game_search_files.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace quelmar::linux_host {

std::optional<std::string> PosixSearchDisk::readFile(const std::string& path, std::size_t limit) {
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<std::string> text;
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.emplace();
        char buffer[64 * 1024];
        while (text && text->size() < limit) {
            const ssize_t got = ::read(fd, buffer, std::min(sizeof buffer, limit - text->size()));
            if (got > 0) text->append(buffer, static_cast<std::size_t>(got));
            else if (got == 0) break;
            else if (errno != EINTR) text.reset();
        }
    }
    ::close(fd);
    return text;
}

std::optional<std::vector<FolderEntry>> PosixSearchDisk::listFolder(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator it(path, error);
    if (error) return std::nullopt;
    std::vector<FolderEntry> entries;
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code unknown;  // a dangling or looping link is neither a file nor a folder
        const fs::file_type type = it->status(unknown).type();
        entries.push_back({it->path().filename().string(), type == fs::file_type::directory ? EntryKind::Folder
                                                           : type == fs::file_type::regular  ? EntryKind::File
                                                                                             : EntryKind::Other});
    }
    return entries;
}

std::optional<FolderId> PosixSearchDisk::folderId(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    return FolderId{static_cast<std::uint64_t>(st.st_dev), 0, static_cast<std::uint64_t>(st.st_ino)};
}

std::string HomeFolder() {
    if (const char* home = std::getenv("HOME"); home && home[0] == '/') return home;
    const passwd* account = ::getpwuid(::getuid());
    return account && account->pw_dir ? account->pw_dir : "";
}

}  // namespace quelmar::linux_host

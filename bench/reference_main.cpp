// What the disk allows, written as plainly as possible, to hold the walk's
// figures against in the same run:
//   quelmar-bench-reference read-folders LISTFILE [--threads N]
//     opens, reads to the end and closes each folder of LISTFILE (one path
//     a line), the folders shared out among N threads (default 2);
//   quelmar-bench-reference stat-then-unlink LISTFILE [--threads N]
//     looks up each file of LISTFILE without following links on N threads
//     (default 16), then unlinks them on one thread in the list's order.
// Both print how many entries they dealt with, and exit 1 on any failure.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> lines(const char* file) {
    std::vector<std::string> out;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) out.push_back(line);
    return out;
}

// Runs `work(i)` for every index on `threads` threads, each taking the next.
template <typename Work>
bool shared(std::size_t count, unsigned threads, Work work) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> ok{true};
    std::vector<std::thread> pool;
    for (unsigned t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            for (std::size_t i; (i = next++) < count;)
                if (!work(i)) ok = false;
        });
    for (auto& thread : pool) thread.join();
    return ok;
}

bool readFolder(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    alignas(dirent64) char buffer[32 * 1024];
    long got;
    while ((got = ::getdents64(fd, buffer, sizeof buffer)) > 0) {
    }
    ::close(fd);
    return got == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && !(argc == 5 && std::strcmp(argv[3], "--threads") == 0)) {
        std::fprintf(stderr, "usage: %s read-folders|stat-then-unlink LISTFILE [--threads N]\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    const auto paths = lines(argv[2]);
    const bool reading = mode == "read-folders";
    const unsigned threads = argc == 5 ? static_cast<unsigned>(std::stoul(argv[4])) : reading ? 2 : 16;
    bool ok = true;
    if (reading) {
        ok = shared(paths.size(), threads, [&](std::size_t i) { return readFolder(paths[i]); });
    } else if (mode == "stat-then-unlink") {
        const auto started = std::chrono::steady_clock::now();
        ok = shared(paths.size(), threads, [&](std::size_t i) {
            struct stat st;
            return ::lstat(paths[i].c_str(), &st) == 0;
        });
        const auto looked = std::chrono::steady_clock::now();
        for (const auto& path : paths) ok = ::unlink(path.c_str()) == 0 && ok;
        // Where the time went, for a reader of the figures.
        using ms = std::chrono::milliseconds;
        std::fprintf(stderr, "looked up in %lld ms, unlinked in %lld ms\n",
                     static_cast<long long>(std::chrono::duration_cast<ms>(looked - started).count()),
                     static_cast<long long>(std::chrono::duration_cast<ms>(std::chrono::steady_clock::now() - looked).count()));
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    std::printf("%zu\n", paths.size());
    return ok ? 0 : 1;
}

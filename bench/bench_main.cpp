// quelmar-bench: makes large pretend game trees and runs the "Refresh List"
// and "Delete All .pak Files" commands on them from the command line, through
// the same core and POSIX file system as the program, so they can be timed
// against find and fd.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <cstdlib>
#include <exception>
#include <string>
#include <string_view>

#include "bench/bench_host.h"
#include "bench/make_tree.h"
#include "core/archive_scan.h"
#include "core/form_state.h"

namespace {

using namespace quelmar;

int usage() {
    std::fputs(
        "usage: quelmar-bench make-tree DIR [--providers N] [--routes M] [--seed S]\n"
        "       quelmar-bench list GAMEFOLDER [--readers N]\n"
        "       quelmar-bench delete GAMEFOLDER [--peak-descriptors | --readers N]\n",
        stderr);
    return 2;
}

void print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

bool parseNumber(const char* text, long long min, long long& out) {
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (end == text || *end != '\0' || value < min) return false;
    out = value;
    return true;
}

int makeTreeCommand(int argc, char** argv) {
    if (argc < 3) return usage();
    bench::TreeShape shape;
    for (int i = 3; i < argc; i += 2) {
        const std::string_view option = argv[i];
        long long value = 0;
        if (i + 1 >= argc || !parseNumber(argv[i + 1], option == "--seed" ? 0 : 1, value)) return usage();
        if (option == "--providers" && value <= 99999) shape.providers = static_cast<int>(value);
        else if (option == "--routes" && value <= 9999) shape.routes = static_cast<int>(value);
        else if (option == "--seed") shape.seed = static_cast<std::uint64_t>(value);
        else return usage();
    }
    const bench::TreeCounts counts = bench::makeTree(argv[2], shape);
    std::printf("folders=%ld archives=%ld listed=%ld decoys=%ld\n", counts.folders, counts.archives, counts.listed,
                counts.decoys);
    return 0;
}

// Runs one command the way its button does: the folder check first, then the
// command itself on the same window state.
int windowCommand(const std::string& command, const std::string& gameFolder, unsigned readers) {
    bench::BenchHost host;
    bench::TextWindow window;
    FormState state;
    state.GamePath = gameFolder;
    state.folderReaders = readers;
    std::string shownWithMessage;
    host.onMessage = [&](const std::string&) { shownWithMessage = window.text2(); };
    try {
        if (CheckPaths(state, host) != kCheckPassed) return 1;
        if (command == "list") {
            RefreshList(state, host, window);
            print(window.text2());
        } else {
            DeleteArchives(state, host, window);
            print(shownWithMessage);
        }
        return 0;
    } catch (const HostError& error) {
        print(window.text2());  // what the window shows after a failed walk
        std::fprintf(stderr, "%s\n", error.description().c_str());
        return 1;
    }
}

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string_view command = argv[1];
    try {
        if (command == "make-tree") return makeTreeCommand(argc, argv);
        if ((command == "list" || command == "delete") && argc == 3)
            return windowCommand(argv[1], argv[2], FormState::kDefaultFolderReaders);
        if (command == "delete" && argc == 4 && std::string_view(argv[3]) == "--peak-descriptors") {
            // How many descriptors the process held at most while deleting,
            // sampled every few hundred microseconds from a thread of its own.
            std::atomic<bool> done{false};
            std::size_t peak = 0;
            std::thread sampler([&] {
                while (!done) {
                    peak = std::max(peak, openDescriptors());
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
            });
            const int status = windowCommand(argv[1], argv[2], FormState::kDefaultFolderReaders);
            done = true;
            sampler.join();
            std::fprintf(stderr, "peak_descriptors=%zu\n", peak);
            return status;
        }
        long long readers = 0;
        if ((command == "list" || command == "delete") && argc == 5 && std::string_view(argv[3]) == "--readers" &&
            parseNumber(argv[4], 1, readers) && readers <= 256)
            return windowCommand(argv[1], argv[2], static_cast<unsigned>(readers));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quelmar-bench: %s\n", error.what());
        return 1;
    }
    return usage();
}

#pragma once
// A pretend Rail Simulator installation big enough to time the archive walk:
// DIR/RailSim.exe and DIR/Assets/<provider>/<route>/..., with archives one and
// two folders below Assets and decoys that must never be listed.

#include <cstdint>
#include <string>

namespace quelmar::bench {

struct TreeShape {
    int providers = 400;  // folders one level below Assets
    int routes = 25;      // folders below each provider
    std::uint64_t seed = 1;
};

struct TreeCounts {
    long folders = 0;   // real folders one and two levels below Assets
    long archives = 0;  // archive files one and two levels below Assets, any spelling
    long listed = 0;    // folders among those that hold one: the lines a listing shows
    long decoys = 0;    // files, folders and links that look like archives but must not be listed
};

// Creates the tree, or tops up one made before with the same shape (existing
// folders are kept, files rewritten), so running it again after a deletion
// puts every archive back. Throws std::runtime_error naming the failing path.
TreeCounts makeTree(const std::string& gameFolder, const TreeShape& shape);

}  // namespace quelmar::bench

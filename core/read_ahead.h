#pragma once
// Helpers that read the asset tree a little ahead of a walk on a slow disk,
// so that the disk serves several folders at once. They only warm the
// system's caches: they open, read and let go of the folders the walk reads
// next (and, deleting, look up each archive they see), and hand nothing to
// the walk, which reads every folder itself. What the walk sees is then what
// reading one folder at a time sees, whatever the helpers do or fail at.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host.h"

namespace quelmar {

class ReadAhead {
public:
    // Helpers read from the walk's own open Assets, never from its path, its
    // folders `names` in the walk's order; at most `helpers` of them.
    ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets, std::vector<std::string> names,
              bool acting, unsigned helpers, std::chrono::microseconds slowRead);
    ~ReadAhead();  // nothing starts after it; a helper stuck in a read finishes alone
    void walkReached(std::size_t index);  // the walk opens its level-1 folder `index` now
    // One of the walk's own reads took this long: helpers start once most
    // of a few dozen were slow (a cold or slow disk), never before.
    void walkRead(std::chrono::steady_clock::duration took);
    static unsigned helpersAlive();  // in the whole process, those stuck in a read included
    static constexpr unsigned kMostHelpers = 16;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    unsigned helpers_ = 0, reads_ = 0, slowReads_ = 0;
    const std::chrono::microseconds slowRead_;
};

}  // namespace quelmar

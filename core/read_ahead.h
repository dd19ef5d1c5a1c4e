#pragma once
// Readers that list the asset tree ahead of a walk on a slow disk or share,
// so that it serves several folders at once. A reader lists a level-1 folder
// and every folder in it, closes them, and hands the walk the values: their
// entries, identities and routes. It acts on nothing, and a read that fails
// is only left out. The walk alone decides, lists and deletes: it takes a
// branch where one is ready, in its own order, and reads the folders itself
// where none is or where a read failed, so the error it tells and where it
// stops are its own.
//
// The readers are one pool for the whole process, at most kMostHelpers
// threads, fed through a bounded queue; a reader stuck in a mount that never
// answers keeps its place in the pool, and nothing waits for it.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "archive_scan.h"
#include "host.h"

namespace quelmar {

// A level-1 folder and, for each folder entry of it in order, its listing;
// none where reading it failed. The first few only, where the walk took the
// branch while a reader was still in it; `more` when that reader was in the
// next folder then, which it hands over when done (see late()).
struct Branch {
    Listing level1;
    std::vector<std::optional<Listing>> level2;
    bool more = false;
};

class ReadAhead {
public:
    // Readers open from the walk's own open Assets, never from its path,
    // its `folders` in the walk's order; at most `readers` of them. Acting,
    // the walk opens again the folders that hold an archive.
    ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets, std::vector<FolderEntry> folders,
              bool acting, unsigned readers, std::chrono::microseconds slowRead);
    ~ReadAhead();  // nothing more starts for this walk
    // One of the walk's own reads took this long: readers are asked once
    // most of a few dozen were slow (a cold disk, a share), never before.
    void walkRead(std::chrono::steady_clock::duration took);
    // The walk is at its level-1 folder `index`: that branch, if a reader has
    // it ready. Never waits.
    std::shared_ptr<const Branch> take(std::size_t index);
    // For a branch taken with `more`: the folder the reader was in then, if
    // it has handed it over since. Never waits; after it the reader hands
    // over nothing more.
    std::optional<Listing> late(std::size_t index, std::size_t at);

    static unsigned helpersAlive();  // readers at work in the process, stuck ones included
    // A process made by fork has none of its parent's threads: this gives it
    // readers of its own. To be called in the child, before anything else.
    static void forgetReadersAfterFork();
    static constexpr unsigned kMostHelpers = 16;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    unsigned reads_ = 0, slowReads_ = 0;
    const std::chrono::microseconds slowRead_;
};

}  // namespace quelmar

#pragma once
// Reads the asset tree ahead of the walk, several folders at once.
//
// The walk takes the level-1 folders strictly in order on its own thread;
// helper threads read each level-1 folder and its level-2 folders (a
// "branch") before the walk gets there, so the disk always has several
// reads in flight. What the walk sees is exactly what reading one folder at
// a time would give: the same folders in the same order, and each failure
// at the place where it occurred. Branches past a failure may have been
// read, but the walk never reaches them. No thread outlives the reader.

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host.h"

namespace quelmar {

// One level-1 folder and its level-2 folders, or where reading them failed.
struct Branch {
    std::optional<Folder> top;
    std::exception_ptr topError;       // opening the level-1 folder failed
    std::vector<Folder> children;      // in the order the level-1 folder lists them
    std::exception_ptr childError;     // opening the child after the last one read failed
};

// Whether an entry is a link back to a folder the walk is already inside:
// Assets, or the level-1 folder it is listed in. Following it would list
// the same archives again under a longer path, or go round in a circle.
bool LeadsBack(const FolderEntry& entry, const Folder& assets, const Folder* level1 = nullptr);

// Reads one branch below `assets`, skipping links back into it; never throws. Each folder is let go of as
// soon as it is read, so that reading far ahead holds nothing open: a branch
// is for listing, never for acting in its folders.
Branch ReadBranch(FileSystem& fs, const Folder& assets, const std::string& name);

class BranchReader {
public:
    // Starts `helpers` threads reading the branches named `names` below
    // `assets`, at most `window` branches ahead of the one taken last.
    BranchReader(FileSystem& fs, const Folder& assets, std::vector<std::string> names, unsigned helpers,
                 std::size_t window);
    ~BranchReader();
    BranchReader(const BranchReader&) = delete;
    BranchReader& operator=(const BranchReader&) = delete;

    // The branch at `index`, waiting until it has been read. Indexes are
    // taken in order, each once.
    Branch take(std::size_t index);

private:
    void work();

    FileSystem& fs_;
    const Folder& assets_;
    const std::vector<std::string> names_;
    const std::size_t window_;
    std::vector<std::optional<Branch>> done_;
    std::size_t nextToRead_ = 0;
    std::size_t taken_ = 0;
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable branchRead_;  // the walk waits here for its next branch
    std::condition_variable roomAhead_;   // helpers wait here to read further ahead
    std::vector<std::thread> threads_;
};

}  // namespace quelmar

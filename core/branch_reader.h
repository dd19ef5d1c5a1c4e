#pragma once
// Reads the asset tree ahead of the walk, several folders at once.
//
// The walk takes the level-1 folders strictly in order on its own thread;
// helper threads read each level-1 folder and its level-2 folders (a
// "branch") before the walk gets there, so the disk always has several
// reads in flight. Where a helper cannot go on (a folder fails to open, for
// whatever reason, or keeping it open would take more handles than the
// walk may hold), it hands over what it has read, and the walk reads the
// rest of that branch itself, one folder at a time, from the folder where
// the helper stopped: so whatever the user sees, entries, order, errors and
// where they stop the walk, comes from reading one folder at a time, and
// helpers are never the cause of a failure. Told to stop, each helper
// stops after the folder it is reading; one still inside a read a moment
// later (a mount that does not answer) is left to finish it alone, so that
// the walk's own failure, or the window closing, never waits for it.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host.h"

namespace quelmar {

// A folder the walk reached, by the name it was listed under.
struct Reached {
    std::string name;
    Folder folder;
};

// One level-1 folder and the level-2 folders below it, loops left out, as
// far as a helper read them.
struct Branch {
    static constexpr std::size_t kWhole = static_cast<std::size_t>(-1);
    std::optional<Folder> top;       // nothing: the level-1 folder is a loop, skipped whole
    std::vector<Reached> children;   // in the order the level-1 folder lists them
    // Where in top's entries the walk carries on reading itself, with top
    // still open; kWhole when the helper read the branch to its end.
    std::size_t resumeAt = kWhole;
    std::size_t keptHandles = 0;     // folders left open (top included) for the walk
};

// Whether a folder just opened is one the walk is already inside, reached
// again by another route (a link, a junction, a bind mount, a folder
// swapped for a link): Assets itself or, below a level-1 folder, that
// level-1 folder. Following it would list what is outside the two levels,
// or go round in a circle, so it is skipped, as `find -L` skips a loop. A
// folder opened unidentified came by a plain route and is none of them; the
// level-1 folder is identified only when a child that came by a link or a
// mount needs comparing with it.
bool IsLoop(FileSystem& fs, const Folder& opened, const Folder& assets, const Folder* level1 = nullptr);

class BranchReader {
public:
    // Starts `helpers` threads reading the branches named `names` below
    // `assets`, at most `ahead` branches past the one taken last, holding
    // at most `handleBudget` folders open at once across every branch read
    // ahead. With `keepHandles`, folders holding an archive stay open for
    // the walk to act in; without, a folder is let go of as soon as it is
    // read, unless the walk must carry on reading in it.
    BranchReader(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets, std::vector<std::string> names,
                 unsigned helpers, std::size_t ahead, std::size_t handleBudget, bool keepHandles);
    ~BranchReader();
    BranchReader(const BranchReader&) = delete;
    BranchReader& operator=(const BranchReader&) = delete;

    // The branch at `index` as far as a helper read it; nothing when the
    // walk must read it all itself. While it waits, `whileWaiting` runs about
    // every `interval` (it may throw to end the wait). Indexes are taken in
    // order, each once.
    std::optional<Branch> take(std::size_t index, const std::function<void()>& whileWaiting,
                               std::chrono::milliseconds interval);

    // The walk is done with a branch it took: its folders are closed, and
    // the handles they held may be used again.
    void release(Branch&& branch);

    struct State;

private:
    std::shared_ptr<State> state_;  // shared with the helpers, which may outlive the reader
};

}  // namespace quelmar

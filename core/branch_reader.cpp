#include "branch_reader.h"

#include <algorithm>

#include "archive_scan.h"

namespace quelmar {

bool IsLoop(const Folder& opened, const Folder& assets, const Folder* level1) {
    return SameFolder(opened.id, assets.id) || (level1 && SameFolder(opened.id, level1->id));
}

BranchReader::BranchReader(FileSystem& fs, const Folder& assets, std::vector<std::string> names, unsigned helpers,
                           std::size_t ahead, std::size_t handleBudget, bool keepHandles)
    : fs_(fs),
      assets_(assets),
      names_(std::move(names)),
      ahead_(std::max<std::size_t>(ahead, 1)),
      keepHandles_(keepHandles),
      handlesLeft_(handleBudget),
      slots_(names_.size()) {
    // The walk reads the first branch itself, so the first lines show as
    // soon as its first folder is read, not when a helper has read it all.
    nextToRead_ = 1;
    threads_.reserve(helpers);
    try {
        for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
        // Fewer helpers than asked for still read everything: the walk
        // reads whatever no helper has started.
    }
}

BranchReader::~BranchReader() {
    stopping_ = true;
    {
        std::lock_guard lock(mutex_);  // no helper may miss the wake-up between its test and its wait
    }
    roomAhead_.notify_all();
    for (std::thread& t : threads_) t.join();
}

bool BranchReader::reserveHandle(std::size_t& kept) {
    std::size_t left = handlesLeft_.load();
    do {
        if (left == 0) return false;
    } while (!handlesLeft_.compare_exchange_weak(left, left - 1));
    ++kept;
    return true;
}

bool BranchReader::keepOpen(Folder& folder, std::size_t& kept) {
    if (!keepHandles_ || std::none_of(folder.entries.begin(), folder.entries.end(), IsArchive)) {
        folder.handle.reset();
        return true;
    }
    return reserveHandle(kept);
}

std::optional<Branch> BranchReader::readAhead(const std::string& name) {
    // The level-1 folder stays open while its children are read, and after
    // that whenever the walk must carry on in it: it is counted from the
    // start. With no room to keep it, the branch is still read here, so
    // that it comes in from the disk side by side with the others, and the
    // walk then reads it all itself, finding it at hand.
    std::size_t kept = 0;
    const bool room = reserveHandle(kept);
    Branch branch;
    try {
        branch.top = fs_.openChild(assets_, name);
    } catch (...) {
        handlesLeft_ += kept;
        return std::nullopt;
    }
    Folder& top = *branch.top;
    if (IsLoop(top, assets_)) {
        branch.top.reset();
        handlesLeft_ += kept;
        return branch;
    }
    bool noRoom = !room;
    for (std::size_t i = 0; i < top.entries.size(); ++i) {
        const FolderEntry& entry = top.entries[i];
        if (entry.kind != EntryKind::Folder) continue;
        if (stopping_) {
            if (branch.resumeAt == Branch::kWhole) branch.resumeAt = i;
            break;
        }
        std::optional<Folder> child;
        try {
            child = fs_.openChild(top, entry.name);
        } catch (...) {
            // The walk opens it again itself: a failure it meets is its own.
            if (branch.resumeAt == Branch::kWhole) branch.resumeAt = i;
            break;
        }
        // No room left to keep folders open for the walk, which reads the
        // rest itself; reading it here all the same brings it in from the
        // disk side by side, so the walk then finds it at hand.
        if (noRoom) continue;
        if (IsLoop(*child, assets_, &top)) continue;
        if (!keepOpen(*child, kept)) {
            noRoom = true;
            branch.resumeAt = i;
            continue;
        }
        try {
            branch.children.push_back({entry.name, std::move(*child)});
        } catch (...) {
            // Out of memory on a helper: the walk reads this branch itself,
            // and meets any failure there as its own.
            handlesLeft_ += kept;
            return std::nullopt;
        }
    }
    if (!room) return std::nullopt;
    if (branch.resumeAt == Branch::kWhole &&
        (!keepHandles_ || std::none_of(top.entries.begin(), top.entries.end(), IsArchive))) {
        top.handle.reset();  // nothing more to do in it
        handlesLeft_ += 1;
        --kept;
    }
    branch.keptHandles = kept;
    return branch;
}

void BranchReader::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        roomAhead_.wait(lock, [this] {
            return stopping_ || nextToRead_ >= names_.size() || nextToRead_ < taken_ + ahead_;
        });
        if (stopping_ || nextToRead_ >= names_.size()) return;
        const std::size_t index = nextToRead_++;
        lock.unlock();
        std::optional<Branch> branch = readAhead(names_[index]);
        lock.lock();
        slots_[index].branch = std::move(branch);
        slots_[index].ready = true;
        branchRead_.notify_one();  // only the walk waits here
    }
}

std::optional<Branch> BranchReader::take(std::size_t index, const std::function<void()>& whileWaiting,
                                         std::chrono::milliseconds interval) {
    std::unique_lock lock(mutex_);
    taken_ = index + 1;
    roomAhead_.notify_one();  // one more branch may now be read ahead
    if (index == 0) return std::nullopt;
    if (!slots_[index].ready && nextToRead_ == index) {
        // No helper has started it: the walk is faster reading it itself
        // than waiting for one.
        ++nextToRead_;
        return std::nullopt;
    }
    const auto step = std::max(interval, std::chrono::milliseconds(1));
    while (!slots_[index].ready) {
        if (branchRead_.wait_for(lock, step, [&] { return slots_[index].ready; })) break;
        lock.unlock();
        whileWaiting();
        lock.lock();
    }
    return std::move(slots_[index].branch);
}

void BranchReader::release(Branch&& branch) {
    const std::size_t kept = branch.keptHandles;
    Branch closed = std::move(branch);
    closed = Branch{};
    handlesLeft_ += kept;
}

}  // namespace quelmar

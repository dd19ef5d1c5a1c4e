#include "branch_reader.h"

#include <algorithm>
#include <thread>

#include "archive_scan.h"

namespace quelmar {

bool IsLoop(FileSystem& fs, const Folder& opened, const Folder& assets, const Folder* level1) {
    if (!opened.id.known()) return false;
    return SameFolder(opened.id, assets.id) || (level1 && SameFolder(opened.id, fs.identityOf(*level1)));
}

struct BranchReader::State {
    struct Slot {
        bool ready = false;
        std::optional<Branch> branch;
    };
    State(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets, std::vector<std::string> names, std::size_t ahead,
          std::size_t handleBudget, bool keepHandles)
        : fsHeld_(std::move(fs)),
          fs_(*fsHeld_),
          assetsHeld_(std::move(assets)),
          assets_(*assetsHeld_),
          names_(std::move(names)),
          ahead_(std::max<std::size_t>(ahead, 1)),
          keepHandles_(keepHandles),
          handlesLeft_(handleBudget),
          slots_(names_.size()) {}

    void work();
    std::optional<Branch> readAhead(const std::string& name);
    bool reserveHandle(std::size_t& kept);
    bool keepOpen(Folder& folder, std::size_t& kept);

    // Held, with Assets, by a helper that a failure or a stop leaves in a read.
    const std::shared_ptr<FileSystem> fsHeld_;
    FileSystem& fs_;
    std::shared_ptr<const Folder> assetsHeld_;
    const Folder& assets_;
    const std::vector<std::string> names_;
    const std::size_t ahead_;
    const bool keepHandles_;
    std::atomic<std::size_t> handlesLeft_;
    std::atomic<bool> stopping_{false};
    std::vector<Slot> slots_;
    std::size_t nextToRead_ = 0;
    std::size_t taken_ = 0;
    std::size_t running_ = 0;  // helpers not yet ended
    std::mutex mutex_;
    std::condition_variable branchRead_;  // the walk waits here for its next branch
    std::condition_variable roomAhead_;   // helpers wait here to read further ahead
    std::condition_variable ended_;       // the reader waits here for its helpers to end
};

namespace {
// How long a reader that is done waits for its helpers to end: ample for
// one that is between folders, far too short to notice for the user.
constexpr auto kHelperEndWait = std::chrono::milliseconds(20);
}  // namespace

BranchReader::BranchReader(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets, std::vector<std::string> names,
                           unsigned helpers, std::size_t ahead, std::size_t handleBudget, bool keepHandles)
    : state_(std::make_shared<State>(std::move(fs), std::move(assets), std::move(names), ahead, handleBudget, keepHandles)) {
    // The walk reads the first branch itself, so the first lines show as
    // soon as its first folder is read, not when a helper has read it all.
    state_->nextToRead_ = 1;
    try {
        for (unsigned i = 0; i < helpers; ++i) {
            {
                std::lock_guard lock(state_->mutex_);
                ++state_->running_;
            }
            try {
                std::thread([state = state_] {
                    state->work();
                    std::lock_guard lock(state->mutex_);
                    --state->running_;
                    state->ended_.notify_all();
                }).detach();
            } catch (...) {
                std::lock_guard lock(state_->mutex_);
                --state_->running_;
                throw;
            }
        }
    } catch (...) {
        // Fewer helpers than asked for still read everything: the walk
        // reads whatever no helper has started.
    }
}

BranchReader::~BranchReader() {
    std::unique_lock lock(state_->mutex_);  // no helper may miss the wake-up between its test and its wait
    state_->stopping_ = true;
    state_->roomAhead_.notify_all();
    // Helpers between folders end at once, and with them the folders they
    // hold; one still in a read after that is not waited for.
    const bool allEnded = state_->ended_.wait_for(lock, kHelperEndWait, [&] { return state_->running_ == 0; });
    // What was read ahead and not taken is closed now, not whenever the last
    // helper lets go of the state; Assets too once no helper can use it.
    for (State::Slot& slot : state_->slots_) slot.branch.reset();
    if (allEnded) state_->assetsHeld_.reset();
}

bool BranchReader::State::reserveHandle(std::size_t& kept) {
    std::size_t left = handlesLeft_.load();
    do {
        if (left == 0) return false;
    } while (!handlesLeft_.compare_exchange_weak(left, left - 1));
    ++kept;
    return true;
}

bool BranchReader::State::keepOpen(Folder& folder, std::size_t& kept) {
    if (!keepHandles_ || std::none_of(folder.entries.begin(), folder.entries.end(), IsArchive)) {
        folder.handle.reset();
        return true;
    }
    return reserveHandle(kept);
}

std::optional<Branch> BranchReader::State::readAhead(const std::string& name) {
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
    if (IsLoop(fs_, top, assets_)) {
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
        if (IsLoop(fs_, *child, assets_, &top)) continue;
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

void BranchReader::State::work() {
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
    State& s = *state_;
    std::unique_lock lock(s.mutex_);
    s.taken_ = index + 1;
    s.roomAhead_.notify_one();  // one more branch may now be read ahead
    if (index == 0) return std::nullopt;
    if (!s.slots_[index].ready && s.nextToRead_ == index) {
        // No helper has started it: the walk is faster reading it itself
        // than waiting for one.
        ++s.nextToRead_;
        return std::nullopt;
    }
    const auto step = std::max(interval, std::chrono::milliseconds(1));
    while (!s.slots_[index].ready) {
        if (s.branchRead_.wait_for(lock, step, [&] { return s.slots_[index].ready; })) break;
        lock.unlock();
        whileWaiting();
        lock.lock();
    }
    return std::move(s.slots_[index].branch);
}

void BranchReader::release(Branch&& branch) {
    const std::size_t kept = branch.keptHandles;
    Branch closed = std::move(branch);
    closed = Branch{};
    state_->handlesLeft_ += kept;
}

}  // namespace quelmar

#include "branch_reader.h"

#include <algorithm>

#include "archive_scan.h"

namespace quelmar {

bool IsLoop(const Folder& opened, const Folder& assets, const Folder* level1) {
    return SameFolder(opened.id, assets.id) || (level1 && SameFolder(opened.id, level1->id));
}

BranchReader::BranchReader(FileSystem& fs, const Folder& assets, std::vector<std::string> names, unsigned helpers,
                           std::size_t ahead, std::size_t handleBudget)
    : fs_(fs),
      assets_(assets),
      names_(std::move(names)),
      ahead_(std::max<std::size_t>(ahead, 1)),
      keepHandles_(handleBudget > 0),
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

bool BranchReader::keepOpen(Folder& folder, std::size_t& kept) {
    if (!keepHandles_ || std::none_of(folder.entries.begin(), folder.entries.end(), IsArchive)) {
        folder.handle.reset();
        return true;
    }
    std::size_t left = handlesLeft_.load();
    do {
        if (left == 0) return false;
    } while (!handlesLeft_.compare_exchange_weak(left, left - 1));
    ++kept;
    return true;
}

std::optional<Branch> BranchReader::readWhole(const std::string& name) {
    Branch branch;
    std::size_t kept = 0;
    auto letGo = [&] {
        handlesLeft_ += kept;
        return std::nullopt;
    };
    try {
        Folder top = fs_.openChild(assets_, name);
        if (IsLoop(top, assets_)) return branch;
        for (const FolderEntry& entry : top.entries) {
            if (entry.kind != EntryKind::Folder) continue;
            if (stopping_) return letGo();
            Folder child = fs_.openChild(top, entry.name);
            if (IsLoop(child, assets_, &top)) continue;
            if (!keepOpen(child, kept)) return letGo();
            branch.children.push_back({entry.name, std::move(child)});
        }
        if (!keepOpen(top, kept)) return letGo();
        branch.top = std::move(top);
    } catch (...) {
        return letGo();
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
        std::optional<Branch> branch = readWhole(names_[index]);
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

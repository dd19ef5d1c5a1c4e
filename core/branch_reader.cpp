#include "branch_reader.h"

namespace quelmar {

bool LeadsBack(const FolderEntry& entry, const Folder& assets, const Folder* level1) {
    return entry.leadsTo && (*entry.leadsTo == assets.id || (level1 && *entry.leadsTo == level1->id));
}

Branch ReadBranch(FileSystem& fs, const Folder& assets, const std::string& name) {
    Branch branch;
    try {
        branch.top = fs.openChild(assets, name);
        for (const FolderEntry& entry : branch.top->entries) {
            if (entry.kind != EntryKind::Folder || LeadsBack(entry, assets, &*branch.top)) continue;
            try {
                branch.children.push_back(fs.openChild(*branch.top, entry.name));
            } catch (...) {
                branch.childError = std::current_exception();
                break;
            }
            branch.children.back().handle.reset();
        }
        branch.top->handle.reset();
    } catch (...) {
        branch.topError = std::current_exception();
    }
    return branch;
}

BranchReader::BranchReader(FileSystem& fs, const Folder& assets, std::vector<std::string> names, unsigned helpers,
                           std::size_t window)
    : fs_(fs), assets_(assets), names_(std::move(names)), window_(window < 1 ? 1 : window), done_(names_.size()) {
    threads_.reserve(helpers);
    try {
        for (unsigned i = 0; i < helpers; ++i) threads_.emplace_back([this] { work(); });
    } catch (...) {
        // Fewer helpers than asked for still read everything; with none at
        // all, take() reads each branch itself.
    }
}

BranchReader::~BranchReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    roomAhead_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void BranchReader::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        roomAhead_.wait(lock, [this] {
            return stopping_ || nextToRead_ >= names_.size() || nextToRead_ < taken_ + window_;
        });
        if (stopping_ || nextToRead_ >= names_.size()) return;
        const std::size_t index = nextToRead_++;
        lock.unlock();
        Branch branch = ReadBranch(fs_, assets_, names_[index]);
        lock.lock();
        done_[index] = std::move(branch);
        // Only the walk waits for a branch, and only for the next in order.
        if (index == taken_) branchRead_.notify_one();
    }
}

Branch BranchReader::take(std::size_t index) {
    std::unique_lock lock(mutex_);
    if (threads_.empty() && !done_[index] && nextToRead_ == index) {
        // No helper could be started: read it here, in order.
        ++nextToRead_;
        lock.unlock();
        Branch branch = ReadBranch(fs_, assets_, names_[index]);
        lock.lock();
        done_[index] = std::move(branch);
    }
    branchRead_.wait(lock, [&] { return done_[index].has_value(); });
    Branch branch = std::move(*done_[index]);
    done_[index].reset();
    taken_ = index + 1;
    // One more branch may now be read ahead: one helper is enough to wake.
    roomAhead_.notify_one();
    return branch;
}

}  // namespace quelmar

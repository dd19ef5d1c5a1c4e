#include "read_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

namespace quelmar {

namespace {

constexpr std::size_t kAhead = 16;       // most level-1 folders a walk asks for past its own
constexpr std::size_t kMostQueued = 32;  // asked for and waiting for a reader, in the process
constexpr unsigned kReadsJudged = 32;    // most of 32 slow, not one: a warm disk is slow now and then too

struct Job {
    std::shared_ptr<ReadAhead::Shared> walk;
    std::size_t index;
};

// The process's readers. Never destroyed: one may still be in a read that
// never answers when the program ends.
struct Pool {
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Job> queue;
    unsigned threads = 0;
    std::atomic<unsigned> busy{0};

    bool offer(Job job) {
        std::lock_guard lock(mutex);
        if (queue.size() >= kMostQueued) return false;
        queue.push_back(std::move(job));
        work.notify_one();
        return true;
    }
    void grow(unsigned wanted);
};
alignas(Pool) unsigned char poolPlace[sizeof(Pool)];
Pool* pool = new (poolPlace) Pool;

}  // namespace

struct ReadAhead::Shared {
    std::shared_ptr<FileSystem> fs;
    std::shared_ptr<const Folder> assets;
    std::vector<std::string> names;
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> reached{0};
    std::atomic<std::size_t> outstanding{0};  // asked for and not yet read, which bounds what it holds open
    std::mutex mutex;
    std::vector<std::shared_ptr<const Branch>> ready;  // by index
    std::size_t asked = 0;                             // indices below were offered

    static Listing listingOf(FileSystem& fs, Folder& folder) {
        return {fs.identityOf(folder), folder.plainRoute, std::move(folder.entries)};
    }

    // Reads one branch whole, closes it, then hands it over.
    void read(std::size_t index) try {
        if (stop || index <= reached) return;  // the walk is there already
        auto branch = std::make_shared<Branch>();
        {
            Folder level1 = fs->openChild(*assets, names[index]);
            std::vector<std::string> folders;
            for (const FolderEntry& entry : level1.entries)
                if (entry.kind == EntryKind::Folder) folders.push_back(entry.name);
            branch->level1 = listingOf(*fs, level1);
            for (const std::string& name : folders) {
                if (stop) return;
                try {
                    Folder level2 = fs->openChild(level1, name);
                    branch->level2.emplace_back(listingOf(*fs, level2));
                } catch (...) {
                    branch->level2.emplace_back();  // the walk meets the system's answer itself
                }
            }
        }
        std::lock_guard lock(mutex);
        ready[index] = std::move(branch);
    } catch (...) {
        // Left out: the walk reads that folder itself.
    }
};

void Pool::grow(unsigned wanted) {
    std::lock_guard lock(mutex);
    for (; threads < std::min(wanted, ReadAhead::kMostHelpers); ++threads) {
        try {
            std::thread([this] {
                std::unique_lock lock(mutex);
                for (;;) {
                    work.wait(lock, [&] { return !queue.empty(); });
                    Job job = std::move(queue.front());
                    queue.pop_front();
                    lock.unlock();
                    ++busy;
                    job.walk->read(job.index);
                    --job.walk->outstanding;
                    job = {};  // what it holds goes now, not with the next job
                    --busy;
                    lock.lock();
                }
            }).detach();
        } catch (...) {
            return;  // fewer readers: the walk reads everything all the same
        }
    }
}

ReadAhead::ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets,
                     std::vector<std::string> names, unsigned readers, std::chrono::microseconds slowRead)
    : shared_(std::make_shared<Shared>()), slowRead_(slowRead) {
    // A walk holds up to three folders open; each branch being read, two.
    readers = static_cast<unsigned>(std::min<std::size_t>(readers, fs->openFolderBudget() / 4));
    readers_ = names.size() > 1 && readers > 1 && fs->readsSideBySide() ? readers : 0;
    ahead_ = std::min<std::size_t>(kAhead, readers_);
    shared_->fs = std::move(fs);
    shared_->assets = std::move(assets);
    shared_->ready.resize(names.size());
    shared_->names = std::move(names);
    if (slowRead.count() == 0) walkRead(slowRead);
}

ReadAhead::~ReadAhead() { shared_->stop = true; }

void ReadAhead::walkRead(std::chrono::steady_clock::duration took) {
    if (readers_ == 0 || asking_) return;
    slowReads_ += took >= slowRead_;
    if (slowRead_.count() != 0 && (++reads_ % kReadsJudged != 0 || std::exchange(slowReads_, 0) < kReadsJudged / 2))
        return;
    asking_ = true;
    pool->grow(readers_);
}

std::shared_ptr<const Branch> ReadAhead::take(std::size_t index) {
    shared_->reached = index;
    std::unique_lock lock(shared_->mutex);
    std::shared_ptr<const Branch> branch = std::exchange(shared_->ready[index], nullptr);
    if (!asking_) return branch;
    shared_->asked = std::max(shared_->asked, index + 1);
    const std::size_t until = std::min(shared_->names.size(), index + 1 + ahead_);
    for (; shared_->asked < until && shared_->outstanding < ahead_; ++shared_->asked) {
        ++shared_->outstanding;
        lock.unlock();
        const bool queued = pool->offer({shared_, shared_->asked});
        lock.lock();
        if (!queued) {
            --shared_->outstanding;
            break;  // asked again as the walk goes on
        }
    }
    return branch;
}

void ReadAhead::forgetReadersAfterFork() {
    // The parent's pool is left as it is: its locks may be held by threads
    // this process does not have.
    pool = new (poolPlace) Pool;
}

unsigned ReadAhead::helpersAlive() { return pool->busy.load(); }

}  // namespace quelmar

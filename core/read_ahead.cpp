#include "read_ahead.h"

#include "archive_scan.h"
#include "crew.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <utility>

namespace quelmar {

namespace {

constexpr std::size_t kAhead = 32;  // asked for past the walk: twice the readers, so none waits while the walk reads
constexpr std::size_t kMostQueued = 32;  // asked for and waiting for a reader, in the process
constexpr unsigned kReadsJudged = 16;    // most of 16 slow, not one: a warm disk is slow now and then too
// How long the walk waits, at most, for the one folder a reader is in when
// it has read all else there is: a folder is read in far less even on a
// slow share, and a stop is seen at once all the same.
constexpr std::chrono::milliseconds kMostWaitForReader{100};

// The process's readers.
Crew* const crew = new Crew(ReadAhead::kMostHelpers, kMostQueued);

}  // namespace

struct ReadAhead::Shared : std::enable_shared_from_this<Shared> {
    std::shared_ptr<FileSystem> fs;
    std::shared_ptr<const Folder> assets;
    std::vector<FolderEntry> folders;  // of Assets
    std::atomic<bool> stop{false};
    std::atomic<std::size_t> reached{0};
    std::atomic<std::size_t> outstanding{0};  // asked for and not yet read
    std::mutex mutex;
    std::vector<std::shared_ptr<Branch>> ready;  // by index; a reader adds to one until it is taken
    std::size_t asked = 0;                       // indices below were offered

    bool acting = false;
    std::size_t ahead = 0;    // level-1 folders asked for past the walk's
    unsigned readers = 0;     // of them at once, which bounds what it holds open
    std::atomic<bool> asking{false};
    std::condition_variable handed;  // a reader handed over a folder

    // Asks the crew for the branches past the walk's, as many as may be
    // outstanding: by the walk as it goes on, and by each reader as it
    // ends, so that readers are kept busy while the walk reads a branch of
    // its own.
    void feed() {
        if (!asking || stop) return;
        std::lock_guard lock(mutex);
        asked = std::max(asked, reached + 1);
        for (const std::size_t until = std::min(folders.size(), reached + 1 + ahead); asked < until && outstanding < readers;
             ++asked) {
            ++outstanding;
            if (!crew->offer([walk = shared_from_this(), index = asked] {
                    walk->read(index);
                    --walk->outstanding;
                    walk->feed();
                }))
                return void(--outstanding);  // asked again as the walk goes on
        }
    }

    // Reads one branch, handing over each folder's values as soon as they
    // are read: a walk that reaches the branch before the reader is done
    // takes what was read, leaves this reader the folder it is in, and
    // reads the rest itself, so that no folder is read twice.
    void read(std::size_t index) try {
        if (stop || index <= reached) return;  // the walk is there already
        auto branch = std::make_shared<Branch>();
        Folder level1;  // left unread where it leads back: the walk skips it by its identity alone
        if (!(branch->level1.id = LoopThrough(*fs, *assets, folders[index], *assets)).known()) {
            level1 = fs->openChild(*assets, folders[index].name);
            branch->level1 = ListingOf(*fs, level1, nullptr, acting);
        }
        const std::vector<FolderEntry> level2 = Subfolders(branch->level1.entries);
        std::unique_lock lock(mutex);
        ready[index] = branch;  // left unread where the walk is past it
        for (const FolderEntry& entry : level2) {
            if (stop || index <= reached) return;  // the walk reads the rest itself now
            // From here, a walk that takes the branch leaves this reader the
            // folder it is in, and reads the rest meanwhile.
            branch->more = true;
            lock.unlock();
            std::optional<Listing> listing = ReadLevel2(*fs, level1, entry, *assets, level1, acting);
            lock.lock();
            if (ready[index] != branch) return;  // the walk has done without it
            branch->level2.push_back(std::move(listing));
            branch->more = false;
            handed.notify_all();
        }
    } catch (...) {
        // Left out: the walk reads that folder itself.
    }
};

ReadAhead::ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets,
                     std::vector<FolderEntry> folders, bool acting, unsigned readers, std::chrono::microseconds slowRead)
    : shared_(std::make_shared<Shared>()), slowRead_(slowRead) {
    // A walk holds up to three folders open; each branch being read, two.
    readers = static_cast<unsigned>(std::min<std::size_t>(readers, fs->openFolderBudget() / 4));
    shared_->readers = folders.size() > 1 && readers > 1 ? readers : 0;
    shared_->ahead = std::min<std::size_t>(kAhead, 2 * shared_->readers);
    shared_->acting = acting;
    shared_->fs = std::move(fs);
    shared_->assets = std::move(assets);
    shared_->ready.resize(folders.size());
    shared_->folders = std::move(folders);
    if (slowRead.count() == 0) walkRead(slowRead);
}

ReadAhead::~ReadAhead() { shared_->stop = true; }

void ReadAhead::walkRead(std::chrono::steady_clock::duration took) {
    if (shared_->readers == 0 || shared_->asking) return;
    slowReads_ += took >= slowRead_;
    if (slowRead_.count() != 0 && (++reads_ % kReadsJudged != 0 || std::exchange(slowReads_, 0) < kReadsJudged / 2))
        return;
    shared_->asking = true;
    shared_->feed();
}

std::shared_ptr<const Branch> ReadAhead::take(std::size_t index) {
    std::unique_lock lock(shared_->mutex);
    shared_->reached = index;
    std::shared_ptr<Branch>& slot = shared_->ready[index];
    // A reader still in it adds to it: the walk gets what is read so far.
    std::shared_ptr<const Branch> branch = slot && slot->more ? std::make_shared<Branch>(*slot) : std::exchange(slot, nullptr);
    lock.unlock();
    shared_->feed();
    return branch;
}

std::optional<Listing> ReadAhead::late(std::size_t index, std::size_t at) {
    std::unique_lock lock(shared_->mutex);
    shared_->handed.wait_for(lock, kMostWaitForReader, [&] { return !shared_->ready[index] || !shared_->ready[index]->more; });
    const std::shared_ptr<Branch> branch = std::exchange(shared_->ready[index], nullptr);
    if (!branch || branch->level2.size() <= at) return std::nullopt;
    return std::move(branch->level2[at]);
}

void ReadAhead::forgetReadersAfterFork() {
    // The parent's pool is left as it is: its locks may be held by threads
    // this process does not have.
    new (crew) Crew(kMostHelpers, kMostQueued);
}

unsigned ReadAhead::helpersAlive() { return crew->busy(); }

}  // namespace quelmar

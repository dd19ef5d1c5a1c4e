#include "read_ahead.h"

#include "archive_scan.h"
#include "crew.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <utility>

namespace quelmar {

namespace {

constexpr std::size_t kAhead = 32;  // asked for past the walk: twice the readers, so none waits while the walk reads
constexpr std::size_t kMostQueued = 32;  // asked for and waiting for a reader, in the process
constexpr unsigned kReadsJudged = 16;    // most of 16 slow, not one: a warm disk is slow now and then too

// The process's readers.
Crew* const crew = new Crew(ReadAhead::kMostHelpers, kMostQueued);

}  // namespace

struct ReadAhead::Shared : std::enable_shared_from_this<Shared> {
    std::shared_ptr<FileSystem> fs;
    std::shared_ptr<const Folder> assets;
    std::vector<std::string> names;
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

    // Asks the crew for the branches past the walk's, as many as may be
    // outstanding: by the walk as it goes on, and by each reader as it
    // ends, so that readers are kept busy while the walk reads a branch of
    // its own.
    void feed() {
        if (!asking || stop) return;
        std::lock_guard lock(mutex);
        asked = std::max(asked, reached + 1);
        for (const std::size_t until = std::min(names.size(), reached + 1 + ahead); asked < until && outstanding < readers;
             ++asked) {
            ++outstanding;
            if (!crew->offer([walk = shared_from_this(), index = asked] {
                    walk->read(index);
                    --walk->outstanding;
                    walk->feed();
                })) {
                --outstanding;
                return;  // asked again as the walk goes on
            }
        }
    }

    // Identified only where the walk will need it: to tell a loop, or to
    // know the folder again when it opens it to act or read in it itself
    // (a share answers each question with a request of its own). A level-1
    // folder always is: it is opened again for what is below it.
    Listing listingOf(Folder& folder, const Folder* level1) {
        Listing listing{folder.id, folder.plainRoute, std::move(folder.entries)};
        const bool actsHere = acting && HoldsAnArchive(listing.entries);
        if (!level1 || MayBeALoop(folder, level1) || actsHere) listing.id = fs->identityOf(folder);
        // Looked up here as well, side by side, so that the walk's own
        // look-up just before it deletes finds them in memory on a cold disk.
        for (const FolderEntry& entry : listing.entries)
            if (actsHere && IsArchive(entry)) fs->kindOf(folder, entry.name);
        return listing;
    }

    // Reads one branch, handing over each folder's values as soon as they
    // are read: a walk that reaches the branch before the reader is done
    // takes what was read and reads only the rest, not the whole again.
    void read(std::size_t index) try {
        if (stop || index <= reached) return;  // the walk is there already
        Folder level1 = fs->openChild(*assets, names[index]);
        const std::vector<std::string> folders = FolderNames(level1.entries);
        auto branch = std::make_shared<Branch>();
        branch->level1 = listingOf(level1, nullptr);
        {
            std::lock_guard lock(mutex);
            if (index <= reached) return;
            ready[index] = branch;
        }
        for (const std::string& name : folders) {
            if (stop || index <= reached) return;  // the walk reads the rest itself now
            std::optional<Listing> listing;  // none: the walk meets the system's answer itself
            try {
                Folder level2 = fs->openChild(level1, name);
                listing = listingOf(level2, &level1);
            } catch (...) {
            }
            std::lock_guard lock(mutex);
            if (ready[index] != branch) return;  // taken: the walk has it, and reads the rest itself
            branch->level2.push_back(std::move(listing));
        }
    } catch (...) {
        // Left out: the walk reads that folder itself.
    }
};

ReadAhead::ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets,
                     std::vector<std::string> names, bool acting, unsigned readers, std::chrono::microseconds slowRead)
    : shared_(std::make_shared<Shared>()), slowRead_(slowRead) {
    // A walk holds up to three folders open; each branch being read, two.
    readers = static_cast<unsigned>(std::min<std::size_t>(readers, fs->openFolderBudget() / 4));
    readers_ = names.size() > 1 && readers > 1 && fs->readsSideBySide() ? readers : 0;
    shared_->ahead = std::min<std::size_t>(kAhead, 2 * readers_);
    shared_->readers = readers_;
    shared_->acting = acting;
    shared_->fs = std::move(fs);
    shared_->assets = std::move(assets);
    shared_->ready.resize(names.size());
    shared_->names = std::move(names);
    if (slowRead.count() == 0) walkRead(slowRead);
}

ReadAhead::~ReadAhead() { shared_->stop = true; }

void ReadAhead::walkRead(std::chrono::steady_clock::duration took) {
    if (readers_ == 0 || shared_->asking) return;
    slowReads_ += took >= slowRead_;
    if (slowRead_.count() != 0 && (++reads_ % kReadsJudged != 0 || std::exchange(slowReads_, 0) < kReadsJudged / 2))
        return;
    shared_->asking = true;
    shared_->feed();
}

std::shared_ptr<const Branch> ReadAhead::take(std::size_t index) {
    std::unique_lock lock(shared_->mutex);
    shared_->reached = index;
    std::shared_ptr<const Branch> branch = std::exchange(shared_->ready[index], nullptr);
    lock.unlock();
    shared_->feed();
    return branch;
}

void ReadAhead::forgetReadersAfterFork() {
    // The parent's pool is left as it is: its locks may be held by threads
    // this process does not have.
    new (crew) Crew(kMostHelpers, kMostQueued);
}

unsigned ReadAhead::helpersAlive() { return crew->busy(); }

}  // namespace quelmar

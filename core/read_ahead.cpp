#include "read_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include "archive_scan.h"

namespace quelmar {

namespace {

constexpr std::size_t kAheadPerHelper = 16;  // level-1 folders past the walk: the disk kept busy, no more
// Most of 32 reads slow, not one: on a warm disk a read is slow now and then too.
constexpr unsigned kReadsJudged = 32;

std::atomic<unsigned> alive{0};
// The branches helpers are in now, in the whole process: one a helper is stuck
// in (a mount that does not answer) is passed over, not joined. Never
// destroyed: a helper may still be reading while the program ends.
std::mutex& readingMutex = *new std::mutex;
std::set<std::string>& reading = *new std::set<std::string>;
bool take(const std::string& branch) { std::lock_guard lock(readingMutex); return reading.insert(branch).second; }
void giveBack(const std::string& branch) { std::lock_guard lock(readingMutex); reading.erase(branch); }

}  // namespace

struct ReadAhead::Shared {
    std::shared_ptr<FileSystem> fs;
    std::shared_ptr<const Folder> assets;
    std::vector<std::string> names;
    bool acting = false;
    std::size_t ahead = 0, next = 0, reached = 0;
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable moved;  // the walk went on, or stopped

    // Reads a folder and, deleting, looks up its archives; then lets go.
    void warm(const Folder& parent, const std::string& name, bool withChildren) try {
        const Folder folder = fs->openChild(parent, name);
        for (const FolderEntry& entry : folder.entries) {
            if (stop) return;
            if (acting && IsArchive(entry)) fs->kindOf(folder, entry.name);
            if (withChildren && entry.kind == EntryKind::Folder) warm(folder, entry.name, false);
        }
    } catch (...) {}  // the walk meets the system's answer itself
    void work() {
        std::unique_lock lock(mutex);
        for (;;) {
            moved.wait(lock, [&] { return stop || next >= names.size() || next <= reached + ahead; });
            if (stop || next >= names.size()) return;
            const std::size_t index = next++;
            if (index <= reached) continue;  // the walk is there already
            lock.unlock();
            const std::string branch = assets->path + '\0' + names[index];
            if (take(branch)) warm(*assets, names[index], true), giveBack(branch);
            lock.lock();
        }
    }
};

ReadAhead::ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets,
                     std::vector<std::string> names, bool acting, unsigned helpers, std::chrono::microseconds slowRead)
    : shared_(std::make_shared<Shared>()), slowRead_(slowRead) {
    // Each helper holds a level-1 and a level-2 folder open at once.
    helpers_ = static_cast<unsigned>(std::min<std::size_t>({helpers, names.size(), fs->openFolderBudget() / 4}));
    if (helpers_ < 2 || !fs->readsSideBySide()) helpers_ = 0;
    shared_->fs = std::move(fs);
    shared_->assets = std::move(assets);
    shared_->names = std::move(names);
    shared_->acting = acting;
    shared_->ahead = kAheadPerHelper * helpers_;
    if (slowRead.count() == 0) walkRead(slowRead);
}

ReadAhead::~ReadAhead() {
    std::lock_guard lock(shared_->mutex);
    shared_->stop = true;
    shared_->moved.notify_all();
}

void ReadAhead::walkReached(std::size_t index) {
    std::lock_guard lock(shared_->mutex);
    shared_->reached = index;
    shared_->moved.notify_all();
}

void ReadAhead::walkRead(std::chrono::steady_clock::duration took) {
    if (helpers_ == 0) return;
    slowReads_ += took >= slowRead_;
    if (slowRead_.count() != 0 && (++reads_ % kReadsJudged != 0 || std::exchange(slowReads_, 0) < kReadsJudged / 2))
        return;
    for (; helpers_ > 0; --helpers_) {
        // At most kMostHelpers in the process: helpers left stuck in a
        // mount that does not answer never pile up, whatever is pressed.
        if (alive.fetch_add(1) >= kMostHelpers) return void(--alive);
        try {
            std::thread([shared = shared_] { shared->work(), --alive; }).detach();
        } catch (...) {
            --alive;  // fewer helpers: the walk reads everything all the same
        }
    }
}

unsigned ReadAhead::helpersAlive() { return alive.load(); }

}  // namespace quelmar

#include "read_ahead.h"

#include "archive_scan.h"
#include "crew.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace quelmar {

namespace {

// Level-1 folders read past the walk's at most: enough that no reader
// waits while the walk takes a branch, few enough that what is read ahead
// stays small whatever the tree.
constexpr std::size_t kAhead = 32;
// Level-2 folders a reader takes at once, one lock for them all: on a warm
// disk a folder is read in microseconds, and a lock for each would cost
// more than the read.
constexpr std::size_t kRun = 4;
constexpr std::size_t kMostQueued = 64;  // asked for and waiting for a reader, in the process

// The process's readers.
Crew* const crew = new Crew(ReadAhead::kMostHelpers, kMostQueued);

// One folder, read by whoever comes to it first. Its state changes without
// the lock (the walk takes a folder, or a read one, without it); its
// listing is written before the state says Read and read after.
struct Slot {
    enum class State { Free, Reading, Read, Walks };
    std::atomic<State> state{State::Free};
    std::optional<Listing> listing;  // once Read; none where the read failed

    bool claim(State by) {
        State free = State::Free;
        return state.compare_exchange_strong(free, by);
    }
};

struct Branch {
    Slot level1;
    std::shared_ptr<const Folder> open;  // the level-1 folder, while readers may still read in it
    std::vector<FolderEntry> folders;    // its folders, once a reader read it
    std::unique_ptr<Slot[]> level2;      // one for each, made with them
    std::size_t nextFree = 0;            // level-2 slots before it are taken
};

}  // namespace

struct ReadAhead::Shared {
    std::weak_ptr<Shared> self;
    std::shared_ptr<FileSystem> fs;
    std::shared_ptr<const Folder> assets;
    std::vector<FolderEntry> folders;  // of Assets
    bool acting = false;
    std::stop_token stop;
    std::mutex mutex;
    std::condition_variable read, room;  // a folder was read; the walk moved on or is done
    std::unique_ptr<Branch[]> branches;
    std::size_t count = 0;  // of branches
    std::atomic<unsigned> walkWaits{0};  // the walk waits in `read`: a reader that read a folder wakes it
    unsigned planned = 0, started = 0;  // readers
    std::size_t reached = 0;  // the walk's level-1 folder
    std::size_t ahead = 0;
    std::size_t changes = 0;  // the walk moved on, or a level-1 folder's folders became known
    bool over = false;
    // Wakes every wait here at once when the stop is asked. Last, so that it
    // goes first, before the lock and the waits it uses.
    std::optional<std::stop_callback<std::function<void()>>> onStop;

    // One more reader, where fewer than planned have started and the crew
    // has one free. Readers start two, and one more each time the walk
    // finds itself waiting for a read: a warm disk keeps ahead of the walk
    // with few, and more would only take turns on the cores; a cold disk
    // or a share gets as many as it needs.
    void addReader() {
        if (started < planned && crew->offer([shared = self.lock()] { shared->serve(); })) ++started;
    }

    // Wakes readers waiting for a folder to begin, as many as there is new
    // work for (all, by default): readers woken for nothing cost more than
    // a warm disk's reads.
    void changed(std::size_t works = SIZE_MAX) {
        ++changes;
        if (works >= ReadAhead::kMostHelpers) room.notify_all();
        else for (std::size_t k = 0; k < works; ++k) room.notify_one();
    }

    // A folder to read: level-1 folder `index` or, with `at`, its level-2 folders from `at`.
    struct Work {
        std::size_t index;
        std::optional<std::size_t> at;
        std::size_t end = 0;  // with `at`: level-2 folders `at` to `end` - 1, one after another
    };

    // The first folder of branch `index` that nobody has begun, taken, with
    // up to kRun - 1 level-2 folders right after it that nobody has begun
    // either; none where there is none (yet: `more` where its level-1 read
    // may bring some).
    static std::optional<Work> claimIn(Branch& b, std::size_t index, bool& more) {
        if (b.level1.claim(Slot::State::Reading)) return Work{index, std::nullopt};
        more = more || b.level1.state == Slot::State::Reading;
        const std::size_t size = b.folders.size();
        while (b.nextFree < size && !b.level2[b.nextFree].claim(Slot::State::Reading)) ++b.nextFree;
        if (b.nextFree == size) {
            b.open.reset();  // every folder in it begun: readers need it no more
            return std::nullopt;
        }
        const std::size_t from = b.nextFree++;
        while (b.nextFree < std::min(size, from + kRun) && b.level2[b.nextFree].claim(Slot::State::Reading)) ++b.nextFree;
        return Work{index, from, b.nextFree};
    }

    // The first folder in the walk's order, within reach, that nobody has
    // begun, taken; `more` where some may become free later.
    std::optional<Work> claim(bool& more) {
        const std::size_t reach = std::min(count, reached + 1 + ahead);
        more = reach < count;
        if (over || stop.stop_requested()) return more = false, std::nullopt;
        for (std::size_t i = reached; i < reach; ++i)
            if (auto work = claimIn(branches[i], i, more)) return work;
        return std::nullopt;
    }

    // What a reader does next: claimed, or waited for. None once the walk
    // is over or stopped, or every folder is begun.
    std::optional<Work> next(std::unique_lock<std::mutex>& lock) {
        for (bool more = true; more;) {
            if (auto work = claim(more)) return work;
            if (more) room.wait(lock, [&, seen = changes] { return over || changes != seen || stop.stop_requested(); });
        }
        return std::nullopt;
    }

    // One reader: folder after folder, until there is none to begin.
    void serve() {
        std::unique_lock lock(mutex);
        for (std::optional<Work> work = next(lock); work;) {
            Branch& b = branches[work->index];
            std::shared_ptr<const Folder> level1 = b.open;
            lock.unlock();
            Folder opened;
            std::optional<Listing> last = readWork(*work, b, level1.get(), opened);
            level1.reset();
            lock.lock();
            work = handOver(*work, b, std::move(last), std::move(opened), lock);
        }
    }

    // Reads the folders of `work`, handing over all but the last, which it
    // returns (and, for a level-1 folder, the folder itself, still open).
    std::optional<Listing> readWork(const Work& work, Branch& b, const Folder* level1, Folder& opened) {
        std::optional<Listing> last;
        if (!work.at) {
            opened = tryRead(*assets, folders[work.index], nullptr, last);
            return last;
        }
        for (std::size_t at = *work.at; at < work.end; ++at) {
            if (at > *work.at) publish(b.level2[at - 1], std::move(last));
            last.reset();
            tryRead(*level1, b.folders[at], level1, last);
        }
        return last;
    }

    // Under the lock: the last folder of `work` handed over, once what the
    // reader reads next is taken. Taken after, a walk that found it free
    // would read it itself, and open its level-1 folder again to do so.
    std::optional<Work> handOver(const Work& work, Branch& b, std::optional<Listing> last,
                                 Folder opened, std::unique_lock<std::mutex>& lock) {
        if (!work.at && last) {
            b.folders = Subfolders(last->entries);
            b.level2 = std::make_unique<Slot[]>(b.folders.size());
            if (opened.handle) b.open = std::make_shared<const Folder>(std::move(opened));
        }
        bool more = false;
        std::optional<Work> following = claim(more);
        Slot& slot = work.at ? b.level2[work.end - 1] : b.level1;
        slot.listing = std::move(last);
        slot.state = Slot::State::Read;
        if (walkWaits > 0) read.notify_all();
        if (!work.at) changed((b.folders.size() + kRun - 1) / kRun);
        return following ? following : next(lock);
    }

    // A level-2 folder read, before the last of a reader's: handed over
    // without the lock, which it takes only to wake a walk waiting for it.
    void publish(Slot& slot, std::optional<Listing> listing) {
        slot.listing = std::move(listing);
        slot.state = Slot::State::Read;
        if (walkWaits > 0) {
            std::lock_guard lock(mutex);
            read.notify_all();
        }
    }

    // readFolder, where a failed read leaves nothing, for the walk to read
    // again itself and tell why.
    Folder tryRead(const Folder& parent, const FolderEntry& entry, const Folder* level1,
                   std::optional<Listing>& listing) noexcept {
        try {
            return readFolder(parent, entry, level1, listing);
        } catch (...) {
            listing.reset();
            return {};
        }
    }

    // Every call a reader makes comes after a look at the stop: once it is
    // asked, the reader leaves the folder it is in.
    void go() const {
        if (stop.stop_requested()) throw WalkStopped();
    }

    // A folder read, entry `entry` of `parent`; left unopened where it is a
    // link back to Assets or, below a level-1 folder, to that one: the walk
    // skips it by its identity alone. Returns the folder, still open.
    Folder readFolder(const Folder& parent, const FolderEntry& entry, const Folder* level1,
                      std::optional<Listing>& listing) {
        go();
        if (const FolderId loop = LoopThrough(*fs, parent, entry, *assets, level1); loop.known()) {
            listing = Listing{loop, false, {}};
            return {};
        }
        go();
        Folder folder = fs->openChild(parent, entry.name);
        listing = Listing{folder.id, folder.plainRoute, std::move(folder.entries)};
        const bool actsHere = acting && HoldsAnArchive(listing->entries);
        // Identified only where the walk needs it, to tell a loop or to know
        // the folder again when it acts in it (on a share each question is
        // a request); a level-1 folder always, for what is below it.
        if (!level1 || MayBeALoop(folder, level1) || actsHere) go(), listing->id = folder.id = fs->identityOf(folder);
        // Looked up now as well, so that the walk's own look-up just before
        // it deletes finds them in memory on a cold disk.
        for (const FolderEntry& archive : listing->entries)
            if (actsHere && IsArchive(archive)) go(), fs->kindOf(folder, archive.name);
        return folder;
    }
};

ReadAhead::ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets,
                     std::vector<FolderEntry> folders, bool acting, unsigned readers, std::stop_token stop)
    : shared_(std::make_shared<Shared>()) {
    Shared& s = *shared_;
    s.self = shared_;
    // A walk holds up to three folders open; a reader, two; and each branch
    // read ahead whose folders are not all begun, one.
    const std::size_t budget = fs->openFolderBudget();
    readers = static_cast<unsigned>(std::min<std::size_t>({readers, kMostHelpers, budget / 4}));
    s.ahead = std::min(kAhead, budget / 2);
    s.acting = acting;
    s.stop = std::move(stop);
    s.onStop.emplace(s.stop, [&s] {
        std::lock_guard lock(s.mutex);
        s.read.notify_all();
        s.room.notify_all();
    });
    s.fs = std::move(fs);
    s.assets = std::move(assets);
    s.branches = std::make_unique<Branch[]>(s.count = folders.size());
    s.folders = std::move(folders);
    if (readers < 2) return;  // the walk reads alone
    s.planned = readers;
    std::lock_guard lock(s.mutex);
    s.addReader();
    s.addReader();
}

ReadAhead::~ReadAhead() {
    std::lock_guard lock(shared_->mutex);
    shared_->over = true;
    shared_->changed();
}

std::optional<Folder> ReadAhead::take(std::size_t index, const std::string& path, std::optional<std::size_t> at) {
    Shared& s = *shared_;
    if (!at && s.reached != index) {
        std::lock_guard lock(s.mutex);
        s.branches[s.reached].open.reset();  // the walk is past it
        s.reached = index;
        s.changed(1);  // one more level-1 folder within reach
    }
    Branch& b = s.branches[index];
    if (at && *at >= b.folders.size()) return std::nullopt;  // not the readers' branch
    Slot& slot = at ? b.level2[*at] : b.level1;
    if (slot.claim(Slot::State::Walks)) return std::nullopt;
    // A warm disk answers in microseconds: let the reader finish before
    // sleeping on it.
    for (int turn = 0; turn < 64 && slot.state != Slot::State::Read; ++turn) std::this_thread::yield();
    if (slot.state != Slot::State::Read) {
        std::unique_lock lock(s.mutex);
        s.addReader();
        ++s.walkWaits;
        s.read.wait(lock, [&] { return slot.state == Slot::State::Read || s.stop.stop_requested(); });
        --s.walkWaits;
        if (s.stop.stop_requested()) throw WalkStopped();
    }
    std::optional<Listing> listing = std::exchange(slot.listing, std::nullopt);
    if (!listing) return std::nullopt;
    Folder folder;
    folder.path = path;
    folder.id = listing->id;
    folder.plainRoute = listing->plainRoute;
    folder.entries = std::move(listing->entries);
    return folder;
}

unsigned ReadAhead::helpersAlive() { return crew->busy(); }

}  // namespace quelmar

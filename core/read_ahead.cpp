#include "read_ahead.h"

#include "archive_scan.h"
#include "crew.h"

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <utility>

namespace quelmar {

namespace {

// Level-1 folders read past the walk's at most: enough that no reader
// waits while the walk takes a branch, few enough that what is read ahead
// stays small whatever the tree.
constexpr std::size_t kAhead = 32;
constexpr std::size_t kMostQueued = 64;  // asked for and waiting for a reader, in the process

// The process's readers.
Crew* const crew = new Crew(ReadAhead::kMostHelpers, kMostQueued);

// One folder, read by whoever comes to it first.
struct Slot {
    enum class State { Free, Reading, Read, Walks } state = State::Free;
    std::optional<Listing> listing;  // once Read; none where the read failed
};

struct Branch {
    Slot level1;
    std::shared_ptr<const Folder> open;  // the level-1 folder, while readers may still read in it
    std::vector<FolderEntry> folders;    // its folders, once a reader read it
    std::vector<Slot> level2;            // one for each, made with them and never resized
    std::size_t nextFree = 0;            // level-2 slots before it are taken
};

}  // namespace

struct ReadAhead::Shared {
    std::shared_ptr<FileSystem> fs;
    std::shared_ptr<const Folder> assets;
    std::vector<FolderEntry> folders;  // of Assets
    bool acting = false;
    std::stop_token stop;
    std::mutex mutex;
    std::condition_variable read, room;  // a folder was read; the walk moved on or is done
    std::vector<Branch> branches;
    std::size_t reached = 0;  // the walk's level-1 folder
    std::size_t ahead = 0;
    std::size_t changes = 0;  // the walk moved on, or a level-1 folder's folders became known
    bool over = false;
    // Wakes every wait here at once when the stop is asked. Last, so that it
    // goes first, before the lock and the waits it uses.
    std::optional<std::stop_callback<std::function<void()>>> onStop;

    void changed() {
        ++changes;
        room.notify_all();
    }

    // A folder to read: level-1 folder `index` or, with `at`, its level-2 folder `at`.
    struct Work {
        std::size_t index;
        std::optional<std::size_t> at;
    };

    // The first folder of branch `index` that nobody has begun, taken; none
    // where there is none (yet: `more` where its level-1 read may bring some).
    static std::optional<Work> claimIn(Branch& b, std::size_t index, bool& more) {
        if (b.level1.state == Slot::State::Free) {
            b.level1.state = Slot::State::Reading;
            return Work{index, std::nullopt};
        }
        more = more || b.level1.state == Slot::State::Reading;
        while (b.nextFree < b.level2.size() && b.level2[b.nextFree].state != Slot::State::Free) ++b.nextFree;
        if (b.nextFree == b.level2.size()) {
            b.open.reset();  // every folder in it begun: readers need it no more
            return std::nullopt;
        }
        b.level2[b.nextFree].state = Slot::State::Reading;
        return Work{index, b.nextFree};
    }

    // What a reader does next: the first folder in the walk's order, within
    // reach, that nobody has begun, taken. None once the walk is over or
    // stopped, or every folder is begun.
    std::optional<Work> next(std::unique_lock<std::mutex>& lock) {
        while (!over && !stop.stop_requested()) {
            const std::size_t reach = std::min(branches.size(), reached + 1 + ahead);
            bool more = reach < branches.size();
            for (std::size_t i = reached; i < reach; ++i)
                if (auto work = claimIn(branches[i], i, more)) return work;
            if (!more) break;
            room.wait(lock, [&, seen = changes] { return over || changes != seen || stop.stop_requested(); });
        }
        return std::nullopt;
    }

    // One reader: folder after folder, until there is none to begin.
    void serve() {
        std::unique_lock lock(mutex);
        while (const std::optional<Work> work = next(lock)) {
            const auto [i, at] = *work;
            std::shared_ptr<const Folder> level1 = branches[i].open;
            lock.unlock();
            std::optional<Listing> listing;
            std::shared_ptr<Folder> opened;
            try {
                if (!at) opened = readFolder(*assets, folders[i], nullptr, listing);
                else readFolder(*level1, branches[i].folders[*at], level1.get(), listing);
            } catch (...) {
                // Left for the walk, which reads it again itself and tells why.
                listing.reset();
                opened.reset();
            }
            level1.reset();
            lock.lock();
            Branch& b = branches[i];
            Slot& slot = at ? b.level2[*at] : b.level1;
            if (!at && listing) {
                b.folders = Subfolders(listing->entries);
                b.level2.resize(b.folders.size());
                b.open = std::move(opened);
            }
            slot.listing = std::move(listing);
            slot.state = Slot::State::Read;
            read.notify_all();
            if (!at) changed();
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
    std::shared_ptr<Folder> readFolder(const Folder& parent, const FolderEntry& entry, const Folder* level1,
                                       std::optional<Listing>& listing) {
        go();
        if (const FolderId loop = LoopThrough(*fs, parent, entry, *assets, level1); loop.known()) {
            listing = Listing{loop, false, {}};
            return nullptr;
        }
        go();
        auto folder = std::make_shared<Folder>(fs->openChild(parent, entry.name));
        listing = Listing{folder->id, folder->plainRoute, std::move(folder->entries)};
        const bool actsHere = acting && HoldsAnArchive(listing->entries);
        // Identified only where the walk needs it, to tell a loop or to know
        // the folder again when it acts in it (on a share each question is
        // a request); a level-1 folder always, for what is below it.
        if (!level1 || MayBeALoop(*folder, level1) || actsHere) go(), listing->id = folder->id = fs->identityOf(*folder);
        // Looked up now as well, so that the walk's own look-up just before
        // it deletes finds them in memory on a cold disk.
        for (const FolderEntry& archive : listing->entries)
            if (actsHere && IsArchive(archive)) go(), fs->kindOf(*folder, archive.name);
        return folder;
    }
};

ReadAhead::ReadAhead(std::shared_ptr<FileSystem> fs, std::shared_ptr<const Folder> assets,
                     std::vector<FolderEntry> folders, bool acting, unsigned readers, std::stop_token stop)
    : shared_(std::make_shared<Shared>()) {
    Shared& s = *shared_;
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
    s.branches.resize(folders.size());
    s.folders = std::move(folders);
    if (readers < 2) return;  // the walk reads alone
    for (unsigned r = 0; r < readers; ++r)
        if (!crew->offer([shared = shared_] { shared->serve(); })) break;  // the others are busy: fewer now
}

ReadAhead::~ReadAhead() {
    std::lock_guard lock(shared_->mutex);
    shared_->over = true;
    shared_->changed();
}

std::optional<Folder> ReadAhead::take(std::size_t index, const std::string& path, std::optional<std::size_t> at) {
    Shared& s = *shared_;
    std::unique_lock lock(s.mutex);
    if (!at && s.reached != index) {
        s.branches[s.reached].open.reset();  // the walk is past it
        s.reached = index;
        s.changed();
    }
    Branch& b = s.branches[index];
    if (at && *at >= b.level2.size()) return std::nullopt;  // not the readers' branch
    Slot& slot = at ? b.level2[*at] : b.level1;
    if (slot.state == Slot::State::Free) {
        slot.state = Slot::State::Walks;
        return std::nullopt;
    }
    s.read.wait(lock, [&] { return slot.state == Slot::State::Read || s.stop.stop_requested(); });
    if (s.stop.stop_requested()) throw WalkStopped();
    std::optional<Listing> listing = std::exchange(slot.listing, std::nullopt);
    lock.unlock();
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

#include "read_ahead_file_system.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "archive_scan.h"

namespace quelmar {

namespace {

// Below this many level-1 folders nothing is read ahead: a handful of
// folders is read faster than helpers start.
constexpr std::size_t kFewFolders = 8;
// The most folders held open at once, whatever the tree's shape.
constexpr std::size_t kMostFoldersOpen = 256;
// What is open besides the helpers' own: the walk's Assets, level-1 and
// level-2 folder, and the helpers' Assets.
constexpr std::size_t kOpenBesides = 4;
// What each helper holds open while it reads: a level-1 and a level-2 folder.
constexpr std::size_t kPerHelper = 2;
// How many branches the helpers may read past the one the walk asks for:
// enough to keep every helper busy while the walk acts in one.
constexpr std::size_t kBranchesAheadPerHelper = 64;
// How many helpers read until folders have been slow to read. The disk is
// judged by how many of each few reads were slow: on a warm one a read is
// slow now and then too (the thread was put aside, a page was faulted in),
// on a cold one most are.
constexpr unsigned kHelpersAtFirst = 2;
constexpr unsigned kReadsJudged = 32;
// How long a stop waits for helpers to end: ample for one between folders,
// far too short for the user to notice.
constexpr auto kHelperEndWait = std::chrono::milliseconds(20);

using Tokens = std::atomic<std::size_t>;

bool holdsArchive(const Folder& folder) { return std::any_of(folder.entries.begin(), folder.entries.end(), IsArchive); }

void dropHandle(Folder& folder) {
    folder.handle.reset();
    folder.lease.reset();
}

// A folder read ahead, or nothing where the walk reads it itself.
struct Child {
    std::string name;
    std::optional<Folder> folder;
};

// One level-1 folder and the folders below it, as far as a helper read them.
struct Branch {
    enum class Stage { Waiting, Reading, Ready, Taken };
    Stage stage = Stage::Waiting;
    std::string topPath;       // as the system names it, to know the walk's requests below it
    std::optional<Folder> top;  // nothing: the walk opens it itself
    std::vector<Child> children;
    std::size_t nextChild = 0;  // where the walk's next request is looked for
};

}  // namespace

struct ReadAheadFileSystem::State : std::enable_shared_from_this<State> {
    State(std::shared_ptr<FileSystem> s, const Plan& plan)
        : system(std::move(s)), acting(plan.acting), slowRead(plan.slowFolderRead) {}

    void start(std::shared_ptr<const Folder> ownAssets, std::vector<std::string> folderNames, unsigned helpers,
               std::size_t budget);
    void addHelpers(unsigned count);
    void work();
    Branch readWhole(const std::string& name);  // nothing read where even that fails
    Branch readBranch(const std::string& name);
    std::optional<Folder> readChild(const Folder& top, const std::string& name);
    Folder open(const Folder& parent, const std::string& name);
    void slowDiskSeen();
    bool keep(Folder& folder, bool needsHandle);
    void lookUpArchives(const Folder& folder);
    std::optional<Folder> handOver(const Folder& parent, const std::string& name, bool wait);
    std::optional<Folder> takeBranch(std::unique_lock<std::mutex>& lock);
    void stop();

    const std::shared_ptr<FileSystem> system;
    const bool acting;
    const std::chrono::microseconds slowRead;
    std::shared_ptr<const Folder> assets;  // the helpers' own
    std::vector<std::string> names;        // Assets' folders, in the order the walk asks for them
    std::size_t ahead = 0;
    std::shared_ptr<Tokens> tokens = std::make_shared<Tokens>(0);  // folders that may still be kept open
    std::atomic<bool> stopping{false};
    std::atomic<unsigned> reads{0};      // by helpers
    std::atomic<unsigned> slowReads{0};  // of the last few judged

    std::mutex mutex;
    std::condition_variable branchRead;  // the walk waits here for the branch it asked for
    std::condition_variable roomAhead;   // helpers wait here to read further ahead
    std::condition_variable ended;       // a stop waits here for the helpers to end
    bool started = false;
    std::string assetsPath;              // the walk's Assets, as the system names it
    std::vector<Branch> branches;
    std::size_t nextToRead = 0;
    std::size_t asked = 0;               // level-1 folders the walk has asked for
    std::size_t running = 0;             // helpers not yet ended
    unsigned planned = 0;                // the most helpers this walk may have
    unsigned added = 0;                  // helpers started so far
    Branch walking;                      // what is left of the branch the walk is in
};

void ReadAheadFileSystem::State::start(std::shared_ptr<const Folder> ownAssets, std::vector<std::string> folderNames,
                                       unsigned helpers, std::size_t budget) {
    std::lock_guard lock(mutex);
    assets = std::move(ownAssets);
    names = std::move(folderNames);
    branches.resize(names.size());
    ahead = kBranchesAheadPerHelper * helpers;
    *tokens = budget - kPerHelper * helpers;
    planned = helpers;
    // The walk reads the first branch itself, so that its first lines show
    // as soon as one folder is read, not when a helper has read a branch.
    nextToRead = 1;
    addHelpers(slowRead.count() == 0 ? helpers : std::min(helpers, kHelpersAtFirst));
}

void ReadAheadFileSystem::State::addHelpers(unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        try {
            std::thread([self = shared_from_this()] {
                self->work();
                std::lock_guard lock(self->mutex);
                --self->running;
                self->ended.notify_all();
            }).detach();
            ++running;
            ++added;
        } catch (...) {
            // Fewer helpers than planned still read everything: the walk
            // reads whatever no helper has.
            return;
        }
    }
}

void ReadAheadFileSystem::State::work() {
    std::unique_lock lock(mutex);
    for (;;) {
        roomAhead.wait(lock, [this] { return stopping || nextToRead >= names.size() || nextToRead < asked + ahead; });
        if (stopping || nextToRead >= names.size()) return;
        const std::size_t index = nextToRead++;
        Branch& slot = branches[index];
        if (slot.stage != Branch::Stage::Waiting) continue;  // the walk got there first
        slot.stage = Branch::Stage::Reading;
        lock.unlock();
        Branch read = readWhole(names[index]);
        lock.lock();
        if (!stopping) slot = std::move(read);
        slot.stage = Branch::Stage::Ready;
        branchRead.notify_all();
        if (stopping) {
            lock.unlock();
            return;  // what was read closes here, outside the lock
        }
    }
}

Folder ReadAheadFileSystem::State::open(const Folder& parent, const std::string& name) {
    const auto from = std::chrono::steady_clock::now();
    Folder folder = system->openChild(parent, name);
    if (std::chrono::steady_clock::now() - from >= slowRead) ++slowReads;
    if (++reads % kReadsJudged == 0 && slowReads.exchange(0) >= kReadsJudged / 2) slowDiskSeen();
    return folder;
}

// The disk is slow: every helper planned reads, not only the first.
void ReadAheadFileSystem::State::slowDiskSeen() {
    std::lock_guard lock(mutex);
    if (!stopping && added < planned) addHelpers(planned - added);
}

Branch ReadAheadFileSystem::State::readWhole(const std::string& name) {
    try {
        return readBranch(name);
    } catch (...) {
        return {};  // out of memory here: the walk reads this branch itself
    }
}

// Reads a level-1 folder and every folder below it that the walk will ask
// for. Loops are the walk's to see; this reads what the walk will ask for.
Branch ReadAheadFileSystem::State::readBranch(const std::string& name) {
    if (stopping) return {};
    Folder top;
    try {
        top = open(*assets, name);
    } catch (...) {
        return {};  // the walk opens it and meets the system's answer itself
    }
    lookUpArchives(top);
    Branch branch;
    branch.topPath = top.path;
    bool allRead = true;
    bool compared = false;  // the walk compares a child with this folder
    for (const FolderEntry& entry : top.entries) {
        if (entry.kind != EntryKind::Folder) continue;
        if (stopping) return Branch{};
        std::optional<Folder> child = readChild(top, entry.name);
        allRead = allRead && child.has_value();
        compared = compared || (child && MayBeALoop(*child, &top));
        branch.children.push_back({entry.name, std::move(child)});
    }
    if (stopping) return Branch{};
    if (compared && !top.id.known()) top.id = system->identityOf(top);
    // The walk opens in it what was left unread here, and acts on its archives.
    const bool needsHandle = !allRead || (acting && holdsArchive(top)) || (compared && !top.id.known());
    if (keep(top, needsHandle)) branch.top = std::move(top);
    return branch;
}

std::optional<Folder> ReadAheadFileSystem::State::readChild(const Folder& top, const std::string& name) {
    std::optional<Folder> child;
    try {
        child = open(top, name);
    } catch (...) {
        return std::nullopt;  // the walk opens it and meets the system's answer itself
    }
    lookUpArchives(*child);
    // Identified while its handle is at hand: the walk compares it with
    // Assets and with `top` once the handle may be gone.
    if (MayBeALoop(*child, &top) && !child->id.known()) child->id = system->identityOf(*child);
    if (!keep(*child, acting && holdsArchive(*child))) return std::nullopt;  // read again by the walk, from memory
    return child;
}

// A folder the walk will do nothing more in lets go of its handle; one it
// will needs room to stay open, or is not handed over.
bool ReadAheadFileSystem::State::keep(Folder& folder, bool needsHandle) {
    if (!needsHandle) {
        dropHandle(folder);
        return true;
    }
    std::size_t left = tokens->load();
    do {
        if (left == 0) return false;
    } while (!tokens->compare_exchange_weak(left, left - 1));
    // Given back when the folder goes, wherever that is.
    folder.lease = std::shared_ptr<void>(tokens.get(), [held = tokens](void*) { ++*held; });
    return true;
}

// Acting on an archive first looks it up, and a cold look-up waits for the
// disk: looked up here, side by side with the others, the walk finds it in
// memory. What a look-up says is the walk's to learn when it asks.
void ReadAheadFileSystem::State::lookUpArchives(const Folder& folder) {
    if (!acting) return;
    for (const FolderEntry& entry : folder.entries) {
        if (stopping) return;
        if (!IsArchive(entry)) continue;
        try {
            system->kindOf(folder, entry.name);
        } catch (...) {
        }
    }
}

// The folder the walk asks for, if a helper read it; nothing when the walk
// reads it itself. Without `wait`, only what is read already, and nothing
// is given up: the walk asks again, waiting.
std::optional<Folder> ReadAheadFileSystem::State::handOver(const Folder& parent, const std::string& name, bool wait) {
    std::unique_lock lock(mutex);
    if (!started || stopping) return std::nullopt;
    if (parent.path == assetsPath && asked < names.size() && names[asked] == name) {
        if (!wait && branches[asked].stage != Branch::Stage::Ready) return std::nullopt;
        return takeBranch(lock);
    }
    if (parent.path != walking.topPath) return std::nullopt;
    auto& children = walking.children;
    const auto found = std::find_if(children.begin() + static_cast<std::ptrdiff_t>(walking.nextChild), children.end(),
                                    [&](const Child& child) { return child.name == name; });
    if (found == children.end() || (!wait && !found->folder)) return std::nullopt;
    walking.nextChild = static_cast<std::size_t>(found - children.begin()) + 1;  // the walk goes on past it, never back
    return std::exchange(found->folder, std::nullopt);
}

// The walk asks for the next level-1 folder: it is done with the last one.
std::optional<Folder> ReadAheadFileSystem::State::takeBranch(std::unique_lock<std::mutex>& lock) {
    walking = Branch{};
    const std::size_t index = asked++;
    Branch& slot = branches[index];
    roomAhead.notify_one();  // one more branch may now be read ahead
    if (slot.stage == Branch::Stage::Waiting) {
        // No helper has started it: reading it is quicker than waiting. The
        // first branch the walk reads folder by folder, so that its first
        // lines show as soon as one folder is read; a later one is read here
        // whole, as a helper would, in one call instead of one per folder.
        slot.stage = Branch::Stage::Taken;
        if (index == 0) return std::nullopt;
        lock.unlock();
        Branch read = readWhole(names[index]);
        lock.lock();
        walking = std::move(read);
        return std::exchange(walking.top, std::nullopt);
    }
    branchRead.wait(lock, [&] { return slot.stage == Branch::Stage::Ready || stopping; });
    if (slot.stage != Branch::Stage::Ready) return std::nullopt;
    walking = std::move(slot);
    slot = Branch{};
    slot.stage = Branch::Stage::Taken;
    std::optional<Folder> top = std::move(walking.top);
    walking.top.reset();
    return top;
}

void ReadAheadFileSystem::State::stop() {
    std::vector<Branch> unread;
    Branch done;
    {
        std::unique_lock lock(mutex);  // no helper may miss the wake-up between its test and its wait
        if (stopping) return;  // stopped already: not a second wait for a helper that hangs
        stopping = true;
        roomAhead.notify_all();
        branchRead.notify_all();
        ended.wait_for(lock, kHelperEndWait, [&] { return running == 0; });
        for (Branch& branch : branches) {
            unread.push_back({});
            std::swap(unread.back().top, branch.top);
            std::swap(unread.back().children, branch.children);
        }
        done = std::move(walking);
        walking = Branch{};
        if (running == 0) assets.reset();
    }
    // Closed now, outside the lock, not whenever the last helper lets go of the state.
}

ReadAheadFileSystem::ReadAheadFileSystem(std::shared_ptr<FileSystem> system, Plan plan)
    : system_(std::move(system)), plan_(plan), state_(std::make_shared<State>(system_, plan)) {}

ReadAheadFileSystem::~ReadAheadFileSystem() { stop(); }

void ReadAheadFileSystem::stop() { state_->stop(); }

Folder ReadAheadFileSystem::openFolder(const std::string& parent, const std::string& name) {
    Folder opened = system_->openFolder(parent, name);
    std::vector<std::string> names;
    for (const FolderEntry& entry : opened.entries)
        if (entry.kind == EntryKind::Folder) names.push_back(entry.name);
    {
        std::lock_guard lock(state_->mutex);
        if (state_->started || state_->stopping) return opened;
        state_->started = true;  // one tree per walk
        state_->assetsPath = opened.path;
    }
    // Helpers read ahead only as far as the handles this process may still
    // open allow, and at least half of those stay for folders kept open.
    const std::size_t budget = std::min(system_->openFolderBudget(), kMostFoldersOpen);
    const std::size_t room = budget > kOpenBesides ? budget - kOpenBesides : 0;
    const std::size_t helpers = std::min<std::size_t>({plan_.helpers, names.size(), room / (2 * kPerHelper)});
    if (helpers <= 1 || names.size() < kFewFolders) return opened;
    std::shared_ptr<const Folder> own;
    try {
        own = std::make_shared<const Folder>(system_->openFolder(parent, name));
    } catch (...) {
        return opened;  // nothing read ahead: the walk reads it all itself
    }
    state_->start(std::move(own), std::move(names), static_cast<unsigned>(helpers), room);
    return opened;
}

Folder ReadAheadFileSystem::openChild(const Folder& parent, const std::string& name) {
    if (std::optional<Folder> read = state_->handOver(parent, name, true)) return std::move(*read);
    return system_->openChild(parent, name);
}

std::optional<Folder> ReadAheadFileSystem::alreadyRead(const Folder& parent, const std::string& name) {
    return state_->handOver(parent, name, false);
}

}  // namespace quelmar

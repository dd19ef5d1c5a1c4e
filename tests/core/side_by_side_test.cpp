// Reading folders side by side must change nothing anyone can see. On many
// random trees, links, loops and unreadable folders included, a walk with
// several readers, however few folders it may hold open and however often
// its helpers fail, gives the same list, count, deletions and error as one
// that reads a folder at a time; and no walk ever touches a file outside
// the two levels below Assets.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "core/archive_scan.h"
#include "tests/fakes/fake_host.h"

namespace quelmar {
namespace {

using testing::FakeHost;

void makeRandomTree(FakeHost& host, std::uint32_t seed) {
    std::mt19937 random(seed);
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    auto pick = [&](const std::vector<std::string>& from) { return from[random() % from.size()]; };
    const std::string assets = "D:\\RS\\Assets";
    host.addFolder("D:\\RS");
    host.addFolder(assets);
    host.addFolder("E:\\Mods");
    host.addFile("E:\\Mods\\Real.pak");
    host.addFile(assets + "\\Blueprints.pak");  // never to be touched, however the walk gets back here
    const std::vector<std::string> spellings = {"Blueprints.pak", "blueprints.pak", "BLUEPRINTS.PAK"};

    std::vector<std::string> folders = {assets, "E:\\Mods"};
    const int providers = static_cast<int>(random() % 24);
    for (int p = 0; p < providers; ++p) {
        const std::string provider = assets + "\\P" + std::to_string(p);
        if (chance(10) && folders.size() > 2) {
            host.addLink(provider, pick(folders));  // to Assets, another provider or a route
            continue;
        }
        if (chance(4)) {
            host.addLink(provider, "D:\\RS");  // the game folder: its Assets is Assets again
            continue;
        }
        host.addFolder(provider);
        folders.push_back(provider);
        if (chance(40)) host.addFile(provider + "\\" + pick(spellings));
        if (chance(5)) host.addFile(provider + "\\" + pick(spellings));
        if (chance(5)) host.unreadableFolders.insert(provider);
        const int routes = static_cast<int>(random() % 6);
        for (int r = 0; r < routes; ++r) {
            const std::string route = provider + "\\R" + std::to_string(r);
            if (chance(10)) {
                host.addLink(route, pick(folders));  // back up the tree, sideways or outside
                continue;
            }
            if (chance(3)) {
                host.addFifo(route);
                continue;
            }
            host.addFolder(route);
            folders.push_back(route);
            if (chance(50)) host.addFile(route + "\\" + pick(spellings));
            if (chance(5)) host.addLink(route + "\\Blueprints.pak", chance(50) ? "E:\\Mods\\Real.pak" : "E:\\Gone");
            if (chance(10)) host.addFile(route + "\\Other.pak");
            if (chance(4)) host.unreadableFolders.insert(route);
            if (chance(3)) host.undeletableFiles.insert(route + "\\Blueprints.pak");
        }
    }
    host.addLink(assets + "\\Mods", "E:\\Mods");
}

struct Outcome {
    std::string list;
    std::int32_t count = -1;
    std::string error;
    std::vector<std::string> deleted;
    std::vector<std::string> filesLeft;
};

struct Reading {
    unsigned readers = 1;
    std::size_t folderBudget = 1000;
    int helperOpensFailEvery = 0;  // 0: never
};

Outcome walk(std::uint32_t seed, const Reading& reading, bool deleting, bool ignoreCase) {
    FakeHost host;
    host.ignoreCase = ignoreCase;
    host.folderBudget = reading.folderBudget;
    makeRandomTree(host, seed);
    if (reading.helperOpensFailEvery > 0) {
        // Helpers running out of handles, now and then.
        const auto walkThread = std::this_thread::get_id();
        auto opens = std::make_shared<std::atomic<int>>(0);
        host.beforeOpenChild = [=](const std::string& path) {
            if (std::this_thread::get_id() != walkThread && ++*opens % reading.helperOpensFailEvery == 0)
                throw HostError(24, "Too many open files: " + path);
        };
    }
    FormState state;
    state.GamePath = "D:\\RS";
    state.AssetsPath = "D:\\RS\\Assets";
    state.folderReaders = reading.readers;
    FileSystem& fs = *state.sharedFileSystem(host);
    Outcome out;
    try {
        ArchiveAction action;
        if (deleting) action = [&](const Folder& f, const std::string& name) { fs.deleteFile(f, name); };
        out.count = WalkArchives(PlanWalk(state, host), out.list, action);
    } catch (const HostError& error) {
        out.error = error.what();
    }
    out.deleted = host.deleted;
    out.filesLeft = host.files();
    EXPECT_TRUE(host.exists("D:\\RS\\Assets\\Blueprints.pak")) << "seed " << seed;
    EXPECT_EQ(out.list.find("Assets\\Blueprints.pak"), std::string::npos) << "seed " << seed;
    if (reading.folderBudget < 1000) {
        EXPECT_LE(host.peakOpenHandles, static_cast<int>(reading.folderBudget) + 1);
    }
    return out;
}

TEST(SideBySideReading, ChangesNothingAnyoneCanSee) {
    int withErrors = 0, withEntries = 0, withDeletions = 0;
    const Reading ways[] = {{2}, {5}, {16}, {16, 12}, {16, 40}, {8, 1000, 3}};
    for (std::uint32_t seed = 1; seed <= 300; ++seed) {
        for (const bool deleting : {false, true}) {
            const bool ignoreCase = seed % 2 == 0;
            const Outcome one = walk(seed, Reading{}, deleting, ignoreCase);
            for (const Reading& way : ways) {
                const Outcome many = walk(seed, way, deleting, ignoreCase);
                SCOPED_TRACE("seed " + std::to_string(seed) + ", readers " + std::to_string(way.readers) +
                             ", budget " + std::to_string(way.folderBudget) + ", helpers failing every " +
                             std::to_string(way.helperOpensFailEvery) + (deleting ? ", deleting" : ", listing"));
                EXPECT_EQ(many.list, one.list);
                EXPECT_EQ(many.count, one.count);
                EXPECT_EQ(many.error, one.error);
                EXPECT_EQ(many.deleted, one.deleted);
                EXPECT_EQ(many.filesLeft, one.filesLeft);
            }
            withErrors += !one.error.empty();
            withEntries += !one.list.empty();
            withDeletions += !one.deleted.empty();
        }
    }
    // The comparison means something only if the trees tempt a difference.
    EXPECT_GT(withErrors, 60);
    EXPECT_GT(withEntries, 300);
    EXPECT_GT(withDeletions, 100);
}

// Helpers only warm the disk: each lets go of a folder once it is read, so
// a walk holds at most its own three and two for each helper open at once,
// listing or deleting, however many routes a provider has.
TEST(SideBySideReading, FoldersHeldOpenStayWithinTheBudget) {
    for (const bool deleting : {false, true}) {
        SCOPED_TRACE(deleting ? "deleting" : "listing");
        FakeHost host;
        host.addFolder("D:\\RS\\Assets");
        for (int p = 0; p < 10; ++p)
            for (int r = 0; r < 100; ++r) {
                const std::string route = "D:\\RS\\Assets\\P" + std::to_string(p) + "\\R" + std::to_string(r);
                if (r == 0) host.addFolder(route.substr(0, route.rfind('\\')));
                host.addFolder(route);
                host.addFile(route + "\\Blueprints.pak");
            }
        FormState state;
        state.AssetsPath = "D:\\RS\\Assets";
        FileSystem& fs = *state.sharedFileSystem(host);
        std::string list;
        ArchiveAction action;
        if (deleting) action = [&](const Folder& f, const std::string& n) { fs.deleteFile(f, n); };
        EXPECT_EQ(WalkArchives(PlanWalk(state, host), list, action), 1000);
        host.waitUntilIdle();
        EXPECT_LE(host.peakOpenHandles, 2 * 10 + 3);  // Assets is the walk's, shared with its helpers
    }
}

// The same folder reached twice is listed twice; deleting, its second visit
// sees what the first one left, however far ahead the readers were.
TEST(SideBySideReading, ASecondVisitSeesTheFirstVisitsDeletions) {
    for (const unsigned readers : {1u, 4u}) {
        FakeHost host;
        host.addFolder("D:\\RS\\Assets");
        host.addFolder("D:\\Shared");
        host.addFile("D:\\Shared\\Blueprints.pak");
        for (int p = 0; p < 12; ++p) host.addLink("D:\\RS\\Assets\\P" + std::to_string(p), "D:\\Shared");
        FormState state;
        state.AssetsPath = "D:\\RS\\Assets";
        state.folderReaders = readers;
        std::string list;
        EXPECT_EQ(WalkArchives(PlanWalk(state, host), list, {}), 12) << readers;
        FileSystem& fs = *state.sharedFileSystem(host);
        list.clear();
        EXPECT_EQ(WalkArchives(PlanWalk(state, host), list, [&](const Folder& f, const std::string& n) { fs.deleteFile(f, n); }),
                  1)
            << readers;
        EXPECT_EQ(host.deleted, std::vector<std::string>{"D:\\RS\\Assets\\P0\\Blueprints.pak"});
    }
}

// Whatever the readers' timing, each folder is read once, by whoever comes
// to it first, and none is left out; readers read side by side, never more
// at once than planned; and a stop asked while readers are in their calls
// ends the walk, also where it waits for one of them, and reaches every
// reader before its next call.
TEST(SideBySideReading, EachFolderIsReadOnceAndAStopReachesEveryReader) {
    const std::string assets = "D:\\RS\\Assets";
    for (std::uint32_t seed = 1; seed <= 30; ++seed)
        for (const unsigned readers : {2u, 16u})
            for (const bool stopping : {false, true}) {
                SCOPED_TRACE("seed " + std::to_string(seed) + ", readers " + std::to_string(readers) +
                             (stopping ? ", stopped" : ""));
                testing::waitUntilNoHelpersAreLeft();  // every reader may start
                FakeHost host;
                host.addFolder(assets);
                std::string expected;
                for (int p = 0; p < 12; ++p)
                    for (int r = 0; r < 5; ++r) {
                        const std::string route = assets + "\\P" + std::to_string(p) + "\\R" + std::to_string(r);
                        if (r == 0) host.addFolder(route.substr(0, route.rfind('\\')));
                        host.addFolder(route);
                        host.addFile(route + "\\Blueprints.pak");
                        expected += route.substr(6) + "\\Blueprints.pak\r\n";
                    }
                std::mutex mutex;
                std::condition_variable changed;
                std::map<std::string, int> opened;
                std::set<std::thread::id> held;  // readers in a call when the stop came
                int blocked = 0, afterStop = 0;
                bool stopped = false;
                std::mt19937 random(seed);
                std::thread::id walking;
                host.beforeOpenChild = [&](const std::string& path) {
                    std::unique_lock lock(mutex);
                    ++opened[path];
                    if (stopped && held.count(std::this_thread::get_id())) ++afterStop;
                    const bool reader = std::this_thread::get_id() != walking;
                    const auto pause = std::chrono::microseconds(random() % 300);
                    if (stopping && reader && !stopped) {
                        ++blocked;  // held in its call until the stop is asked
                        held.insert(std::this_thread::get_id());
                        changed.notify_all();
                        changed.wait(lock, [&] { return stopped; });
                        return;
                    }
                    // Not before a reader is in a call: the walk could read it all first.
                    if (stopping && !reader) changed.wait(lock, [&] { return blocked > 0 || stopped; });
                    lock.unlock();
                    std::this_thread::sleep_for(pause);
                };
                std::stop_source stop;
                FormState state;
                state.AssetsPath = assets;
                state.folderReaders = readers;
                WalkPlan plan = PlanWalk(state, host);
                plan.stop = stop.get_token();
                std::string list;
                std::int32_t count = -1;
                bool walkStopped = false;
                // What a window would show meanwhile: the lines so far, as they grow.
                struct Watching : WalkProgress {
                    std::set<std::size_t> linesSeen;
                    bool keepGoing(const std::string& shown) override {
                        linesSeen.insert(std::count(shown.begin(), shown.end(), '\n'));
                        return true;
                    }
                } watching;
                std::thread walk([&] {
                    {
                        std::lock_guard lock(mutex);
                        walking = std::this_thread::get_id();
                    }
                    try {
                        count = WalkArchives(plan, list, {}, &watching);
                    } catch (const WalkStopped&) {
                        walkStopped = true;
                    }
                });
                if (stopping) {
                    std::unique_lock lock(mutex);
                    // A reader in a call: the walk reads what it can and then
                    // waits for one of them.
                    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return blocked > 0; }));
                    stop.request_stop();
                    stopped = true;
                    changed.notify_all();
                }
                walk.join();
                host.waitUntilIdle();
                testing::waitUntilNoHelpersAreLeft();
                std::lock_guard lock(mutex);
                if (stopping) {
                    // Side by side, never more at once than planned.
                    EXPECT_LE(blocked, int(readers));
                    EXPECT_TRUE(walkStopped);
                    EXPECT_EQ(afterStop, 0) << "calls begun after the stop by readers it found in one";
                    continue;
                }
                EXPECT_EQ(count, 60);
                EXPECT_EQ(list, expected);
                // However far ahead the readers are, every line but the last is shown before the walk ends.
                EXPECT_EQ(watching.linesSeen.size(), 60u);
                EXPECT_EQ(opened.size(), 72u);
                for (const auto& [path, times] : opened) EXPECT_EQ(times, 1) << path;
            }
}

}  // namespace
}  // namespace quelmar

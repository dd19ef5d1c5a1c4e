// Reading folders side by side must change nothing anyone can see. On many
// random trees, links, loops and unreadable folders included, a walk with
// several readers, however few folders it may hold open and however often
// its helpers fail, gives the same list, count, deletions and error as one
// that reads a folder at a time; and no walk ever touches a file outside
// the two levels below Assets.

#include <gtest/gtest.h>

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
    state.slowFolderRead = std::chrono::microseconds(0);  // every reader from the start
    FileSystem& fs = state.fileSystem(host);
    Outcome out;
    try {
        ArchiveAction action;
        if (deleting) action = [&](const Folder& f, const std::string& name) { fs.deleteFile(f, name); };
        out.count = WalkArchives(state, host, out.list, action);
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
        state.slowFolderRead = std::chrono::microseconds(0);  // every reader from the start
        FileSystem& fs = state.fileSystem(host);
        std::string list;
        ArchiveAction action;
        if (deleting) action = [&](const Folder& f, const std::string& n) { fs.deleteFile(f, n); };
        EXPECT_EQ(WalkArchives(state, host, list, action), 1000);
        host.waitUntilIdle();
        EXPECT_LE(host.peakOpenHandles, 2 * 10 + 3);  // Assets is the walk's, shared with its helpers
    }
}

// No reader starts while the disk keeps up; once folders are slow to read,
// readers read side by side, never more at once than planned.
TEST(SideBySideReading, AllReadersJoinOnlyOnceTheDiskIsSlow) {
    for (const bool slow : {false, true}) {
        FakeHost host;
        host.addFolder("D:\\RS\\Assets");
        for (int p = 0; p < 100; ++p) host.addFolder("D:\\RS\\Assets\\P" + std::to_string(p));
        std::atomic<int> reading{0}, most{0};
        const auto walkThread = std::this_thread::get_id();
        host.beforeOpenChild = [&](const std::string&) {
            const bool reader = std::this_thread::get_id() != walkThread;
            if (reader) {
                const int now = ++reading;
                for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
                }
            }
            if (slow) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (reader) --reading;
        };
        FormState state;
        state.AssetsPath = "D:\\RS\\Assets";
        state.folderReaders = 8;
        // Far apart: an in-memory folder never takes 200 ms to read, a
        // 10 ms one always outlasts 1 ms.
        state.slowFolderRead = std::chrono::milliseconds(slow ? 1 : 200);
        testing::waitUntilNoHelpersAreLeft();  // all eight may start
        std::string list;
        WalkArchives(state, host, list, {});
        host.waitUntilIdle();  // before `reading` goes
        if (slow) {
            EXPECT_GE(most, 2);
            EXPECT_LE(most, 8);
        } else {
            EXPECT_EQ(most, 0);
        }
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
        state.slowFolderRead = std::chrono::microseconds(0);  // every reader from the start
        std::string list;
        EXPECT_EQ(WalkArchives(state, host, list, {}), 12) << readers;
        FileSystem& fs = state.fileSystem(host);
        list.clear();
        EXPECT_EQ(WalkArchives(state, host, list, [&](const Folder& f, const std::string& n) { fs.deleteFile(f, n); }),
                  1)
            << readers;
        EXPECT_EQ(host.deleted, std::vector<std::string>{"D:\\RS\\Assets\\P0\\Blueprints.pak"});
    }
}

// A walk that reaches a branch a reader is still in takes the folders the
// reader has read, reads the ones after the reader's out of turn, and takes
// the reader's own when it is done: no folder read twice, none out of order.
TEST(SideBySideReading, ABranchStillBeingReadIsSharedWithItsReader) {
    FakeHost host;
    const std::string assets = "D:\\RS\\Assets";
    host.addFolder(assets);
    std::string expected;
    for (int p = 0; p < 16; ++p) {
        host.addFolder(assets + "\\P" + std::to_string(p));
        for (int r = 0; r < 4; ++r) {
            const std::string route = assets + "\\P" + std::to_string(p) + "\\R" + std::to_string(r);
            host.addFolder(route);
            host.addFile(route + "\\Blueprints.pak");
            expected += route.substr(6) + "\\Blueprints.pak\r\n";
        }
    }
    const std::string lastBefore = assets + "\\P7\\R3", caught = assets + "\\P8\\R2", after = assets + "\\P8\\R3";
    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::string, int> opened;
    bool readerInCaught = false, walkAfter = false;
    const auto walkThread = std::this_thread::get_id();
    auto waitFor = [&](std::unique_lock<std::mutex>& lock, bool& flag) {
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(60), [&] { return flag; }));
    };
    host.beforeOpenChild = [&](const std::string& path) {
        std::unique_lock lock(mutex);
        ++opened[path];
        const bool walk = std::this_thread::get_id() == walkThread;
        if (!walk && path == assets + "\\P7") throw HostError(5, "Access is denied.");  // the walk reads P7 itself
        if (walk && path == lastBefore) waitFor(lock, readerInCaught);  // the reader is half-way through P8
        if (!walk && path == caught) {
            readerInCaught = true;
            changed.notify_all();
            waitFor(lock, walkAfter);  // until the walk has taken P8 and reads R3 out of turn
        }
        if (walk && path == after) {
            walkAfter = true;
            changed.notify_all();
            lock.unlock();
            // Until every reader is done, the one in R2 included: it has
            // handed R2 over by then, however slowly it was scheduled.
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (ReadAhead::helpersAlive() != 0 && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::yield();
        }
    };
    FormState state;
    state.AssetsPath = assets;
    state.folderReaders = 4;
    state.slowFolderRead = std::chrono::microseconds(0);  // every reader from the start
    std::string list;
    EXPECT_EQ(WalkArchives(state, host, list, {}), 64);
    EXPECT_EQ(list, expected);
    host.waitUntilIdle();
    std::lock_guard lock(mutex);
    for (const char* route : {"R0", "R1", "R2", "R3"}) EXPECT_EQ(opened[assets + "\\P8\\" + route], 1) << route;
}

}  // namespace
}  // namespace quelmar

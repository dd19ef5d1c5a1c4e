#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "core/archive_scan.h"
#include "tests/fakes/fake_host.h"

namespace quelmar {
namespace {

using testing::FakeHost;

TEST(ListingEntry, StartsAtTheFirstAssetsInAnyCase) {
    EXPECT_EQ(ListingEntry("D:\\Games\\Assets\\ProviderA\\Blueprints.pak", '\\'), "Assets\\ProviderA\\Blueprints.pak");
    EXPECT_EQ(ListingEntry("D:\\Assets\\RailSim\\Assets\\ProviderA\\Blueprints.pak", '\\'),
              "Assets\\RailSim\\Assets\\ProviderA\\Blueprints.pak");
    EXPECT_EQ(ListingEntry("D:\\AssetsOld\\RailSim\\Assets\\ProviderA\\Blueprints.pak", '\\'),
              "AssetsOld\\RailSim\\Assets\\ProviderA\\Blueprints.pak");
    EXPECT_EQ(ListingEntry("D:\\ASSETS\\RailSim\\Assets\\P\\Blueprints.pak", '\\'),
              "ASSETS\\RailSim\\Assets\\P\\Blueprints.pak");
    EXPECT_EQ(ListingEntry("D:\\Games\\MyAssets\\Blueprints.pak", '\\'), "D:\\Games\\MyAssets\\Blueprints.pak")
        << "an Assets not preceded by the separator is no match";
    EXPECT_EQ(ListingEntry("/home/u/rs/Assets/P/Blueprints.pak", '/'), "Assets/P/Blueprints.pak");
    EXPECT_EQ(ListingEntry("/home/u/rs/Assets/P/Blueprints.pak", '\\'), "/home/u/rs/Assets/P/Blueprints.pak");
}

// Each row: a listing entry as on disk, and the one line the list shows
// for it, with the slash and the backslash as separator.
TEST(ShownEntry, EveryArchiveReadsAsOneLineOfWhatIsOnDisk) {
    struct Row {
        std::string onDisk, slash, backslash;
    };
    const std::vector<Row> rows = {
        {"Assets/RouteB/Blueprints.pak", "Assets/RouteB/Blueprints.pak", "Assets/RouteB/Blueprints.pak"},
        {"Assets/Route\\nB", "Assets/Route\\\\nB", "Assets/Route\\nB"},  // a backslash of its own
        {"A/Route\nB\r\n/\tC", "A/Route\\nB\\r\\n/\\tC", "A/Route\\nB\\r\\n/\\tC"},
        {std::string("A/\x1B[2J\x7F\0", 8), "A/\\x1B[2J\\x7F\\x00", "A/\\x1B[2J\\x7F\\x00"},
        {"A/\u202Ekap.stnirpeulB", "A/\\u202Ekap.stnirpeulB", "A/\\u202Ekap.stnirpeulB"},  // U+202E as UTF-8
        {"A/x\u2066y\u200Fz\u2028w\u0085v", "A/x\\u2066y\\u200Fz\\u2028w\\u0085v",
         "A/x\\u2066y\\u200Fz\\u2028w\\u0085v"},
        {"A/Strecke\u00C4\u65E5\U0001F682", "A/Strecke\u00C4\u65E5\U0001F682", "A/Strecke\u00C4\u65E5\U0001F682"},
        {"A/bad\xFF\xC3(", "A/bad\\xFF\\xC3(", "A/bad\\xFF\\xC3("},                      // stray bytes
        {"A/\xED\xA0\xBD\xC0\xAF\xF4\x90\x80\x80", "A/\\xED\\xA0\\xBD\\xC0\\xAF\\xF4\\x90\\x80\\x80",
         "A/\\xED\\xA0\\xBD\\xC0\\xAF\\xF4\\x90\\x80\\x80"},  // a surrogate, an overlong form, past U+10FFFF
        {"A/cut\xE2\x80", "A/cut\\xE2\\x80", "A/cut\\xE2\\x80"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(ShownEntry(row.onDisk, '/'), row.slash) << row.onDisk;
        EXPECT_EQ(ShownEntry(row.onDisk, '\\'), row.backslash) << row.onDisk;
    }
}

struct WalkTest : ::testing::Test {
    FakeHost host;
    FormState state;
    std::string list;
    std::vector<std::string> acted;

    void SetUp() override {
        host.addFolder("D:\\RS");
        host.addFolder("D:\\RS\\Assets");
        state.GamePath = "D:\\RS";
        state.AssetsPath = "D:\\RS\\Assets";
    }
    std::int32_t walk() {
        return WalkArchives(PlanWalk(state, host), list,
                            [this](const Folder& f, const std::string& name) { acted.push_back(f.path + "\\" + name); });
    }
};

TEST_F(WalkTest, EmptyAssetsYieldsNothing) {
    EXPECT_EQ(walk(), 0);
    EXPECT_EQ(list, "");
    EXPECT_TRUE(acted.empty());
}

TEST_F(WalkTest, VisitsLevelOneAndTwoDepthFirstInDeliveredOrder) {
    // Delivered out of alphabetical order on purpose: nothing may be sorted.
    host.addFolder("D:\\RS\\Assets\\Zeta");
    host.addFolder("D:\\RS\\Assets\\Zeta\\Route2");
    host.addFolder("D:\\RS\\Assets\\Zeta\\Route1");
    host.addFile("D:\\RS\\Assets\\Zeta\\Route2\\Blueprints.pak");
    host.addFile("D:\\RS\\Assets\\Zeta\\Route1\\Blueprints.pak");
    host.addFile("D:\\RS\\Assets\\Zeta\\Blueprints.pak");
    host.addFolder("D:\\RS\\Assets\\Alpha");
    host.addFile("D:\\RS\\Assets\\Alpha\\Blueprints.pak");

    EXPECT_EQ(walk(), 4);
    EXPECT_EQ(list,
              "Assets\\Zeta\\Blueprints.pak\r\n"
              "Assets\\Zeta\\Route2\\Blueprints.pak\r\n"
              "Assets\\Zeta\\Route1\\Blueprints.pak\r\n"
              "Assets\\Alpha\\Blueprints.pak\r\n");
    EXPECT_EQ(acted, (std::vector<std::string>{"D:\\RS\\Assets\\Zeta\\Blueprints.pak",
                                               "D:\\RS\\Assets\\Zeta\\Route2\\Blueprints.pak",
                                               "D:\\RS\\Assets\\Zeta\\Route1\\Blueprints.pak",
                                               "D:\\RS\\Assets\\Alpha\\Blueprints.pak"}));
}

TEST_F(WalkTest, FindsOnlyTheArchiveNameAtLevelsOneAndTwo) {
    host.addFile("D:\\RS\\Assets\\Blueprints.pak");                     // level 0
    host.addFolder("D:\\RS\\Assets\\P");
    host.addFile("D:\\RS\\Assets\\P\\Other.pak");
    host.addFile("D:\\RS\\Assets\\P\\Blueprints.pak.bak");
    host.addFolder("D:\\RS\\Assets\\P\\R");
    host.addFolder("D:\\RS\\Assets\\P\\R\\RailVehicles");
    host.addFile("D:\\RS\\Assets\\P\\R\\RailVehicles\\Blueprints.pak");  // level 3
    host.addFolder("D:\\RS\\Assets\\Q");
    host.addFolder("D:\\RS\\Assets\\Q\\Blueprints.pak");                 // a folder of that name
    host.addFolder("D:\\RS\\Assets\\Q\\R");
    host.addFile("D:\\RS\\Assets\\Q\\R\\blueprints.PAK");                 // other letter case

    EXPECT_EQ(walk(), 1);
    EXPECT_EQ(list, "Assets\\Q\\R\\Blueprints.pak\r\n") << "listed with the program's own spelling";
}

TEST_F(WalkTest, EntryStartsAtAnAssetsInTheGameFolderItself) {
    host.addFolder("D:\\Assets\\RailSim");
    host.addFolder("D:\\Assets\\RailSim\\Assets");
    host.addFolder("D:\\Assets\\RailSim\\Assets\\ProviderA");
    host.addFile("D:\\Assets\\RailSim\\Assets\\ProviderA\\Blueprints.pak");
    state.AssetsPath = "D:\\Assets\\RailSim\\Assets";
    EXPECT_EQ(walk(), 1);
    EXPECT_EQ(list, "Assets\\RailSim\\Assets\\ProviderA\\Blueprints.pak\r\n");
}

TEST_F(WalkTest, ListShowsOddNamesEscapedAndTheActionGetsThemAsOnDisk) {
    host.addFolder("D:\\RS\\Assets\\Route\nB");
    host.addFolder("D:\\RS\\Assets\\Route\nB\\R\r\nC");
    host.addFile("D:\\RS\\Assets\\Route\nB\\R\r\nC\\Blueprints.pak");
    host.addFile("D:\\RS\\Assets\\Route\nB\\Blueprints.pak");
    EXPECT_EQ(walk(), 2);
    EXPECT_EQ(list, "Assets\\Route\\nB\\Blueprints.pak\r\nAssets\\Route\\nB\\R\\r\\nC\\Blueprints.pak\r\n");
    EXPECT_EQ(acted, (std::vector<std::string>{"D:\\RS\\Assets\\Route\nB\\Blueprints.pak",
                                               "D:\\RS\\Assets\\Route\nB\\R\r\nC\\Blueprints.pak"}));
}

TEST_F(WalkTest, OpensEveryVisitedFolderRelativeToTheOneItWasListedIn) {
    host.addFolder("D:\\RS\\Assets\\P");
    host.addFolder("D:\\RS\\Assets\\P\\R");
    state.folderReaders = 1;  // the walk's own opens, in its order
    walk();
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              "openFolder D:\\RS\\Assets",
                              "openChild D:\\RS\\Assets\\P",
                              "openChild D:\\RS\\Assets\\P\\R",
                          }));
}

TEST_F(WalkTest, UnreadableFolderAtEitherLevelStopsTheWalkKeepingEarlierEntries) {
    host.addFolder("D:\\RS\\Assets\\A");
    host.addFile("D:\\RS\\Assets\\A\\Blueprints.pak");
    host.addFolder("D:\\RS\\Assets\\B");
    host.addFolder("D:\\RS\\Assets\\B\\Locked");
    host.addFile("D:\\RS\\Assets\\B\\Blueprints.pak");
    host.addFolder("D:\\RS\\Assets\\C");
    host.addFile("D:\\RS\\Assets\\C\\Blueprints.pak");

    for (const std::string locked : {"D:\\RS\\Assets\\B\\Locked", "D:\\RS\\Assets\\C"}) {
        host.unreadableFolders = {locked};
        list.clear();
        acted.clear();
        EXPECT_THROW(walk(), HostError);
        EXPECT_EQ(list, "Assets\\A\\Blueprints.pak\r\nAssets\\B\\Blueprints.pak\r\n") << locked;
        EXPECT_EQ(acted.size(), 2u);
    }
}

TEST_F(WalkTest, FailingActionStopsAfterItsEntryIsListed) {
    host.addFolder("D:\\RS\\Assets\\A");
    host.addFile("D:\\RS\\Assets\\A\\Blueprints.pak");
    host.addFolder("D:\\RS\\Assets\\B");
    host.addFile("D:\\RS\\Assets\\B\\Blueprints.pak");
    int calls = 0;
    EXPECT_THROW(WalkArchives(PlanWalk(state, host), list,
                              [&](const Folder&, const std::string&) {
                                  if (++calls == 1) throw HostError(5, "denied");
                              }),
                 HostError);
    EXPECT_EQ(list, "Assets\\A\\Blueprints.pak\r\n");
}

// Provider folders kept on another disk and linked in are folders like any
// other; links back into the walk, and entries that are no regular file, are
// not. This is what `find -L Assets -mindepth 2 -maxdepth 3 -type f -iname
// Blueprints.pak` reports.
TEST_F(WalkTest, FollowsLinksAsTheSystemOpensThemAndSkipsLinksBackIntoTheWalk) {
    host.ignoreCase = false;
    host.addFolder("E:\\Mods\\ProviderB");
    host.addFile("E:\\Mods\\ProviderB\\Blueprints.pak");
    host.addFolder("E:\\Mods\\ProviderB\\RouteC");
    host.addFile("E:\\Mods\\ProviderB\\RouteC\\Blueprints.pak");
    host.addFile("E:\\Mods\\Real.pak");
    host.addLink("D:\\RS\\Assets\\ProviderB", "E:\\Mods\\ProviderB");        // linked level 1
    host.addFolder("D:\\RS\\Assets\\ProviderA");
    host.addLink("D:\\RS\\Assets\\ProviderA\\RouteD", "E:\\Mods\\ProviderB\\RouteC");  // linked level 2
    host.addLink("D:\\RS\\Assets\\ProviderA\\Up", "D:\\RS\\Assets\\ProviderA");  // back to level 1
    host.addLink("D:\\RS\\Assets\\ProviderA\\Top", "D:\\RS\\Assets");             // back to Assets
    host.addLink("D:\\RS\\Assets\\Loop", "D:\\RS\\Assets");                         // back to Assets
    host.addLink("D:\\RS\\Assets\\ProviderA\\Blueprints.pak", "E:\\Mods\\Real.pak");  // link to a file
    host.addFolder("D:\\RS\\Assets\\ProviderC");
    host.addFifo("D:\\RS\\Assets\\ProviderC\\Blueprints.pak");
    host.addLink("D:\\RS\\Assets\\ProviderC\\BLUEPRINTS.PAK", "E:\\Mods\\Gone.pak");  // dangling
    host.addFolder("D:\\RS\\Assets\\ProviderC\\blueprints.pak");                       // a folder
    host.addFile("D:\\RS\\Assets\\Blueprints.pak");  // in Assets itself: never

    // Alone and with readers from the start, a link back is told by where it
    // leads, never opened: on a share each folder read is a request.
    for (const unsigned readers : {1u, 4u}) {
        SCOPED_TRACE(readers);
        state.folderReaders = readers;
        list.clear();
        host.calls.clear();
        EXPECT_EQ(walk(), 4);
        EXPECT_EQ(list,
                  "Assets\\ProviderB\\Blueprints.pak\r\n"
                  "Assets\\ProviderB\\RouteC\\Blueprints.pak\r\n"
                  "Assets\\ProviderA\\Blueprints.pak\r\n"
                  "Assets\\ProviderA\\RouteD\\Blueprints.pak\r\n");
        host.waitUntilIdle();
        for (const char* back : {"ProviderA\\Up", "ProviderA\\Top", "Loop"}) {
            const std::string call = "openChild D:\\RS\\Assets\\" + std::string(back);
            EXPECT_EQ(std::count(host.calls.begin(), host.calls.end(), call), 0) << back;
        }
    }
}

// Whatever route leads the walk back into a folder it is already inside,
// Assets or the current level-1 folder, the folder actually opened decides,
// not what a link said beforehand: it is skipped, and the archive lying in
// Assets itself is never listed.
TEST_F(WalkTest, AFolderReachedAgainByAnyRouteIsSkipped) {
    const struct {
        const char* name;
        std::function<void(FakeHost&)> plant;
        const char* listed;
    } cases[] = {
        {"a level-1 link to the game folder: its Assets is Assets",
         [](FakeHost& h) { h.addLink("D:\\RS\\Assets\\GameUp", "D:\\RS"); },
         "Assets\\P\\Blueprints.pak\r\nAssets\\GameUp\\Blueprints.pak\r\n"},
        {"a level-2 link to its own level-1 folder",
         [](FakeHost& h) { h.addLink("D:\\RS\\Assets\\P\\Self", "D:\\RS\\Assets\\P"); },
         "Assets\\P\\Blueprints.pak\r\n"},
        {"a provider swapped for a link to Assets after Assets was read",
         [](FakeHost& h) {
             h.addFolder("D:\\RS\\Assets\\Swapped");
             h.beforeOpenChild = [&h](const std::string& path) {
                 if (path != "D:\\RS\\Assets\\Swapped") return;
                 h.remove(path);
                 h.addLink(path, "D:\\RS\\Assets");
             };
         },
         "Assets\\P\\Blueprints.pak\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost h;
        h.addFolder("D:\\RS");
        h.addFile("D:\\RS\\Blueprints.pak");
        h.addFolder("D:\\RS\\Assets");
        h.addFile("D:\\RS\\Assets\\Blueprints.pak");
        h.addFolder("D:\\RS\\Assets\\P");
        h.addFile("D:\\RS\\Assets\\P\\Blueprints.pak");
        c.plant(h);
        FormState s;
        s.AssetsPath = "D:\\RS\\Assets";
        std::string listed;
        FileSystem& fs = *s.sharedFileSystem(h);
        WalkArchives(PlanWalk(s, h), listed, [&](const Folder& f, const std::string& n) { fs.deleteFile(f, n); });
        EXPECT_EQ(listed, c.listed);
        EXPECT_TRUE(h.exists("D:\\RS\\Assets\\Blueprints.pak"));
    }
}

// An identity the file system cannot give is never taken for Assets'.
TEST(SameFolder, UnknownIdentitiesAreNeverTheSame) {
    const FolderId unknown{7, 0, 0};
    const FolderId known{7, 0, 42};
    EXPECT_FALSE(SameFolder(unknown, unknown));
    EXPECT_FALSE(SameFolder(unknown, known));
    EXPECT_TRUE(SameFolder(known, known));
    EXPECT_FALSE(SameFolder(known, FolderId{8, 0, 42}));
    EXPECT_TRUE(SameFolder(FolderId{7, 1, 0}, FolderId{7, 1, 0})) << "128-bit identities whose low half is zero";
}

TEST_F(WalkTest, EverySpellingOfTheArchiveIsItsOwnEntry) {
    host.addFolder("D:\\RS\\Assets\\P");
    host.addFile("D:\\RS\\Assets\\P\\blueprints.PAK");
    host.addFile("D:\\RS\\Assets\\P\\Blueprints.pak");
    host.addFile("D:\\RS\\Assets\\P\\Blueprints.pak.old");

    host.ignoreCase = false;  // a system that tells case apart lists each name as it is on disk
    EXPECT_EQ(walk(), 2);
    EXPECT_EQ(list, "Assets\\P\\blueprints.PAK\r\nAssets\\P\\Blueprints.pak\r\n");
    EXPECT_EQ(acted, (std::vector<std::string>{"D:\\RS\\Assets\\P\\blueprints.PAK", "D:\\RS\\Assets\\P\\Blueprints.pak"}));

    list.clear();
    host.ignoreCase = true;  // one that does not spells them the program's way
    EXPECT_EQ(walk(), 2);
    EXPECT_EQ(list, "Assets\\P\\Blueprints.pak\r\nAssets\\P\\Blueprints.pak\r\n");
}

TEST(IsArchiveName, IgnoresAsciiCaseOnly) {
    for (const char* yes : {"Blueprints.pak", "blueprints.pak", "BLUEPRINTS.PAK", "bLuEpRiNtS.pAk"})
        EXPECT_TRUE(IsArchiveName(yes)) << yes;
    for (const char* no : {"Blueprints.pa", "Blueprints.pak ", " Blueprints.pak", "Blueprints_pak", "Blueprints.pak\\",
                           "Blueprints.p\xc3\xa4k", ""})
        EXPECT_FALSE(IsArchiveName(no)) << no;
}

}  // namespace
}  // namespace quelmar

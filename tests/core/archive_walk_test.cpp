#include <gtest/gtest.h>

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
        return WalkArchives(state, host, list, [this](const std::string& p) { acted.push_back(p); });
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

TEST_F(WalkTest, OpensEveryVisitedFolderByItsPath) {
    host.addFolder("D:\\RS\\Assets\\P");
    host.addFolder("D:\\RS\\Assets\\P\\R");
    walk();
    EXPECT_EQ(host.calls, (std::vector<std::string>{
                              "getFolder D:\\RS\\Assets\\",
                              "getFolder D:\\RS\\Assets\\P\\",
                              "fileExists D:\\RS\\Assets\\P\\Blueprints.pak",
                              "getFolder D:\\RS\\Assets\\P\\R\\",
                              "fileExists D:\\RS\\Assets\\P\\R\\Blueprints.pak",
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
    EXPECT_THROW(WalkArchives(state, host, list,
                              [&](const std::string&) {
                                  if (++calls == 1) throw HostError(5, "denied");
                              }),
                 HostError);
    EXPECT_EQ(list, "Assets\\A\\Blueprints.pak\r\n");
}

}  // namespace
}  // namespace quelmar

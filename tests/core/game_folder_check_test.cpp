#include <gtest/gtest.h>

#include "core/archive_scan.h"
#include "tests/fakes/fake_host.h"

namespace quelmar {
namespace {

using testing::FakeHost;

struct CheckTest : ::testing::Test {
    FakeHost host;
    FormState state;
};

TEST_F(CheckTest, EmptyFolderAsksForSetupWithoutTouchingTheFileSystem) {
    EXPECT_EQ(CheckPaths(state, host), 999);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Important!\r\n\r\nSet up game folder path before beginning.");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(host.messages[0].title, "Quelmar");
    EXPECT_EQ(host.fileSystemsCreated, 0);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_EQ(state.AssetsPath, "");
}

TEST_F(CheckTest, MissingFolderOrAFileInItsPlaceNamesThePath) {
    host.addFolder("D:\\Games");
    host.addFile("D:\\Games\\RailSim.exe");
    for (const std::string path : {"D:\\Games\\Gone", "D:\\Games\\RailSim.exe"}) {
        host.messages.clear();
        state.GamePath = path;
        EXPECT_EQ(CheckPaths(state, host), 999);
        ASSERT_EQ(host.messages.size(), 1u);
        EXPECT_EQ(host.messages[0].text, path + "\r\n\r\nFolder path to game not found.\r\n\r\nCheck game folder path.");
        EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
    }
    EXPECT_EQ(host.fileSystemsCreated, 1) << "one service object serves every check";
}

TEST_F(CheckTest, MissingAssetsKeepsTheAssetsFolderOfTheLastPassedCheck) {
    host.addFolder("D:\\Good");
    host.addFolder("D:\\Good\\Assets");
    host.addFolder("D:\\Bare");
    state.GamePath = "D:\\Good";
    ASSERT_EQ(CheckPaths(state, host), 0);
    EXPECT_EQ(state.AssetsPath, "D:\\Good\\Assets");
    EXPECT_TRUE(host.messages.empty());

    state.GamePath = "D:\\Bare";
    EXPECT_EQ(CheckPaths(state, host), 999);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Folder path to \\Assets not found.\r\n\r\nCheck game folder path.");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(state.AssetsPath, "D:\\Good\\Assets");
}

TEST_F(CheckTest, LowerCaseAssetsPassesAndKeepsTheProgramsSpelling) {
    host.addFolder("D:\\Game");
    host.addFolder("D:\\Game\\assets");
    state.GamePath = "D:\\Game";
    for (const bool systemIgnoresCase : {true, false}) {
        host.ignoreCase = systemIgnoresCase;
        state.AssetsPath.clear();
        EXPECT_EQ(CheckPaths(state, host), 0) << systemIgnoresCase;
        EXPECT_EQ(state.AssetsPath, "D:\\Game\\Assets");
    }
}

// Where the system tells case apart, the game folder is the one the user
// picked: another folder that differs only in letter case is not it.
TEST_F(CheckTest, GameFolderIsTakenExactlyWhereTheSystemTellsCaseApart) {
    host.ignoreCase = false;
    host.addFolder("D:\\game");
    host.addFolder("D:\\game\\Assets");
    state.GamePath = "D:\\Game";
    EXPECT_EQ(CheckPaths(state, host), 999);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text,
              "D:\\Game\r\n\r\nFolder path to game not found.\r\n\r\nCheck game folder path.");
    EXPECT_EQ(state.AssetsPath, "");
}

TEST_F(CheckTest, FileSystemErrorPassesToTheCallerSilently) {
    host.addFolder("D:\\Game");
    host.addFolder("D:\\Game\\Assets");
    state.GamePath = "D:\\Game";
    state.AssetsPath = "D:\\Old\\Assets";
    host.unqueryablePaths.insert("D:\\Game\\Assets");
    EXPECT_THROW(CheckPaths(state, host), HostError);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(state.AssetsPath, "D:\\Old\\Assets");
}

}  // namespace
}  // namespace quelmar

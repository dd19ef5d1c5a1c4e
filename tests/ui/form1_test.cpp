#include <gtest/gtest.h>

#include <functional>

#include "tests/fakes/fake_host.h"
#include "ui/form1.h"

namespace quelmar {
namespace {

using testing::FakeHost;
using testing::FakeWindow;

struct Form1Test : ::testing::Test {
    FakeHost host;
    FakeWindow window;
    Form1 form{host, window};

    void makeGame(const std::string& folder, bool withArchive) {
        host.addFolder(folder);
        host.addFile(folder + "\\RailSim.exe");
        host.addFolder(folder + "\\Assets");
        host.addFolder(folder + "\\Assets\\P");
        if (withArchive) host.addFile(folder + "\\Assets\\P\\Blueprints.pak");
    }
};

TEST_F(Form1Test, FirstRunAsksForTheFolderAndDisablesBothCommands) {
    EXPECT_EQ(form.Form_Load(), Form1::Start::ShowWindow);
    EXPECT_EQ(window.caption, "Quelmar  v1 build 8");
    EXPECT_EQ(window.text1, "");
    EXPECT_EQ(window.text2Value, "");
    EXPECT_FALSE(window.deleteEnabled);
    EXPECT_FALSE(window.refreshEnabled);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Important!\r\n\r\nSet up game folder path before beginning.");
}

TEST_F(Form1Test, CaptionShowsMajorAndRevisionWithoutLeadingZeros) {
    host.versionRecord = {12, 345};
    form.Form_Load();
    EXPECT_EQ(window.caption, "Quelmar  v12 build 345");
}

TEST_F(Form1Test, StoredFolderWithArchivesIsShownAndListed) {
    makeGame("D:\\RS", true);
    host.gameFolderSetting() = "D:\\RS";
    EXPECT_EQ(form.Form_Load(), Form1::Start::ShowWindow);
    EXPECT_EQ(window.text1, "D:\\RS");
    EXPECT_EQ(window.text2Value, "Assets\\P\\Blueprints.pak\r\n");
    EXPECT_TRUE(window.deleteEnabled);
    EXPECT_TRUE(window.refreshEnabled);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(Form1Test, StoredFolderWithoutArchivesLeavesOnlyRefresh) {
    makeGame("D:\\RS", false);
    host.gameFolderSetting() = "D:\\RS";
    form.Form_Load();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "No .pak files found.");
    EXPECT_FALSE(window.deleteEnabled);
    EXPECT_TRUE(window.refreshEnabled);
}

TEST_F(Form1Test, StoredFolderSinceRemovedWarnsAndLeavesTheBoxEmpty) {
    host.gameFolderSetting() = "D:\\Removed";
    form.Form_Load();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(host.messages[0].text.rfind("D:\\Removed\r\n\r\n", 0), 0u);
    EXPECT_EQ(window.text1, "");
    EXPECT_FALSE(window.deleteEnabled);
    EXPECT_FALSE(window.refreshEnabled);
}

TEST_F(Form1Test, SecondInstanceEndsSilentlyBeforeTouchingTheWindow) {
    host.instanceRunning = true;
    EXPECT_EQ(form.Form_Load(), Form1::Start::EndProgram);
    EXPECT_TRUE(host.messages.empty());
    EXPECT_EQ(window.caption, "Quelmar");
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(Form1Test, UnreadableSettingsAreToldThenCountAsNoFolder) {
    makeGame("D:\\RS", true);
    host.gameFolderSetting() = "D:\\RS";
    host.settingsReadFails = true;
    EXPECT_EQ(form.Form_Load(), Form1::Start::ShowWindow);
    ASSERT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[0].text,
              "settings unreadable\r\n\r\nQuelmar starts as if no game folder were stored.");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(host.messages[1].text, "Important!\r\n\r\nSet up game folder path before beginning.");
    EXPECT_FALSE(window.refreshEnabled);
}

// A stored folder that cannot be checked or read must not lock the user
// out: the failure is told with its path, and the window opens so that "..."
// can pick another folder.
TEST_F(Form1Test, StoredFolderThatFailsAtStartUpIsToldAndTheWindowOpens) {
    struct Case {
        const char* name;
        std::function<void(FakeHost&)> plant;
        bool commandsEnabled;
        std::string text1, text2;
    } cases[] = {
        {"check fails", [](FakeHost& h) { h.unqueryablePaths = {"D:\\RS\\Assets"}; }, false, "", ""},
        {"listing fails", [](FakeHost& h) { h.unreadableFolders = {"D:\\RS\\Assets\\Q"}; }, true, "D:\\RS",
         "Assets\\P\\Blueprints.pak\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost h;
        FakeWindow w;
        Form1 f{h, w};
        h.addFolder("D:\\RS");
        h.addFolder("D:\\RS\\Assets");
        h.addFolder("D:\\RS\\Assets\\P");
        h.addFile("D:\\RS\\Assets\\P\\Blueprints.pak");
        h.addFolder("D:\\RS\\Assets\\Q");
        h.gameFolderSetting() = "D:\\RS";
        c.plant(h);
        EXPECT_EQ(f.Form_Load(), Form1::Start::ShowWindow);
        ASSERT_EQ(h.messages.size(), 1u);
        EXPECT_EQ(h.messages[0].icon, MessageIcon::Critical);
        EXPECT_EQ(h.messages[0].title, "Quelmar");
        EXPECT_NE(h.messages[0].text.find("D:\\RS\\Assets"), std::string::npos) << h.messages[0].text;
        EXPECT_EQ(w.caption, "Quelmar  v1 build 8");
        EXPECT_EQ(w.deleteEnabled, c.commandsEnabled);
        EXPECT_EQ(w.refreshEnabled, c.commandsEnabled);
        EXPECT_EQ(w.text1, c.text1);
        EXPECT_EQ(w.text2Value, c.text2);

        // And the way out works: another folder is picked and listed.
        h.unqueryablePaths.clear();
        h.unreadableFolders.clear();
        h.addFolder("D:\\Other");
        h.addFolder("D:\\Other\\Assets");
        h.addFolder("D:\\Other\\Assets\\R");
        h.addFile("D:\\Other\\Assets\\R\\Blueprints.pak");
        w.dialogAnswer = "D:\\Other\\RailSim.exe";
        f.mnuLocateGameEXE_Click();
        EXPECT_EQ(w.text2Value, "Assets\\R\\Blueprints.pak\r\n");
        EXPECT_TRUE(w.deleteEnabled && w.refreshEnabled);
    }
}

TEST_F(Form1Test, OtherStartUpFailuresEndTheProgramAfterOneMessage) {
    host.instanceCheckFails = true;
    EXPECT_EQ(form.Form_Load(), Form1::Start::EndProgram);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Initialization error.Terminating.");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Critical);
}

TEST_F(Form1Test, LocateAsksForTheGameExecutableInTheStoredFolder) {
    host.addFolder("C:\\Program Files\\Quelmar");
    host.addFolder("D:\\Games\\Rail Simulator");
    form.Form_Load();
    window.dialogAnswer.reset();
    form.mnuLocateGameEXE_Click();
    ASSERT_EQ(window.dialogRequests.size(), 1u);
    const OpenDialogRequest& first = window.dialogRequests[0];
    EXPECT_EQ(first.initialFolder, "C:\\Program Files\\Quelmar") << "nothing stored: the program's own folder";
    EXPECT_EQ(first.title, "Locate Rail Simulator Game File (RailSim.exe)");
    EXPECT_EQ(first.fileName, "");
    EXPECT_EQ(first.filter, "Executable files (*.exe)|*.exe");

    host.gameFolderSetting() = "D:\\Games\\Rail Simulator";
    form.mnuLocateGameEXE_Click();
    EXPECT_EQ(window.dialogRequests[1].initialFolder, "D:\\Games\\Rail Simulator");

    // A stored folder since removed is not handed to the dialog, which then
    // opens where it would with nothing stored, with the places offered.
    host.gameFolderSetting() = "D:\\Games\\Gone";
    host.libraryPlaces = {"E:\\Library\\common"};
    form.mnuLocateGameEXE_Click();
    EXPECT_EQ(window.dialogRequests[2].initialFolder, "C:\\Program Files\\Quelmar");
    EXPECT_EQ(window.dialogRequests[2].places, host.libraryPlaces);
}

TEST_F(Form1Test, LocatingTheGameStoresItsFolderAndLists) {
    makeGame("D:\\Games\\Rail Simulator", true);
    form.Form_Load();
    host.messages.clear();
    window.dialogAnswer = "D:\\Games\\Rail Simulator\\RailSim.exe";
    form.mnuLocateGameEXE_Click();
    EXPECT_EQ(host.gameFolderSetting(), "D:\\Games\\Rail Simulator");
    EXPECT_EQ(form.state().GamePath, "D:\\Games\\Rail Simulator");
    EXPECT_EQ(window.text1, "D:\\Games\\Rail Simulator");
    EXPECT_EQ(window.text2Value, "Assets\\P\\Blueprints.pak\r\n");
    EXPECT_TRUE(window.deleteEnabled);
    EXPECT_TRUE(window.refreshEnabled);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(Form1Test, CancelOrAFailingDialogChangesNothing) {
    makeGame("D:\\RS", true);
    host.gameFolderSetting() = "D:\\RS";
    form.Form_Load();
    const FakeWindow before = window;
    window.dialogAnswer.reset();
    form.mnuLocateGameEXE_Click();
    window.dialogFails = true;
    window.dialogAnswer = "D:\\Other\\RailSim.exe";
    form.mnuLocateGameEXE_Click();
    EXPECT_EQ(host.gameFolderSetting(), "D:\\RS");
    EXPECT_EQ(window.text1, before.text1);
    EXPECT_EQ(window.text2Value, before.text2Value);
    EXPECT_EQ(window.deleteEnabled, before.deleteEnabled);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(Form1Test, FolderWithoutAssetsIsStoredButDisablesTheCommands) {
    makeGame("D:\\RS", true);
    host.addFolder("D:\\Elsewhere");
    host.gameFolderSetting() = "D:\\RS";
    form.Form_Load();
    window.dialogAnswer = "D:\\Elsewhere\\Notepad.exe";
    form.mnuLocateGameEXE_Click();
    EXPECT_EQ(host.gameFolderSetting(), "D:\\Elsewhere");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Folder path to \\Assets not found.\r\n\r\nCheck game folder path.");
    EXPECT_FALSE(window.deleteEnabled);
    EXPECT_FALSE(window.refreshEnabled);
    EXPECT_EQ(window.text1, "D:\\RS");
    EXPECT_EQ(window.text2Value, "Assets\\P\\Blueprints.pak\r\n");
}

TEST_F(Form1Test, UnwritableSettingsStillUseTheFolderForThisSession) {
    makeGame("D:\\RS", true);
    form.Form_Load();
    host.settingsWriteFails = true;
    window.dialogAnswer = "D:\\RS\\RailSim.exe";
    host.messages.clear();
    form.mnuLocateGameEXE_Click();
    EXPECT_EQ(window.text1, "D:\\RS");
    EXPECT_TRUE(window.deleteEnabled);
    EXPECT_EQ(host.settings.count("Quelmar/Preferences/GameFolder"), 0u);
    ASSERT_EQ(host.messages.size(), 1u) << "a setting that will be lost is not lost silently";
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(host.messages[0].text, "settings not writable");
}

TEST(FolderOfChosenFile, TakesEverythingBeforeTheLastSeparator) {
    EXPECT_EQ(FolderOfChosenFile("D:\\Games\\Rail Simulator\\RailSim.exe", '\\'), "D:\\Games\\Rail Simulator");
    EXPECT_EQ(FolderOfChosenFile("C:\\RailSim.exe", '\\'), "C:");
    EXPECT_EQ(FolderOfChosenFile("/home/u/RailSim/RailSim.exe", '/'), "/home/u/RailSim");
    EXPECT_EQ(FolderOfChosenFile("/RailSim.exe", '/'), "/") << "the root is a folder, not 'none chosen'";
    EXPECT_EQ(FolderOfChosenFile("RailSim.exe", '\\'), "");
}

TEST_F(Form1Test, ErrorInAClickIsReportedAndTheWindowKeepsItsState) {
    makeGame("D:\\RS", true);
    host.gameFolderSetting() = "D:\\RS";
    form.Form_Load();
    host.undeletableFiles = {"D:\\RS\\Assets\\P\\Blueprints.pak"};
    form.butDeletePaks_Click();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Critical);
    EXPECT_EQ(host.messages[0].title, "Quelmar");
    EXPECT_NE(host.messages[0].text.find("D:\\RS\\Assets\\P\\Blueprints.pak"), std::string::npos);
    EXPECT_TRUE(window.deleteEnabled);
    EXPECT_EQ(window.text2Value, "Assets\\P\\Blueprints.pak\r\n");

    host.unreadableFolders = {"D:\\RS\\Assets\\P"};
    form.butRefreshList_Click();
    EXPECT_EQ(host.messages.size(), 2u);
    EXPECT_EQ(host.messages[1].icon, MessageIcon::Critical);
}

TEST_F(Form1Test, NewFolderThatCannotBeCheckedNeverEnablesTheCommands) {
    makeGame("D:\\RS", true);
    makeGame("D:\\New", true);
    host.gameFolderSetting() = "D:\\RS";
    form.Form_Load();
    host.unqueryablePaths = {"D:\\New"};
    window.dialogAnswer = "D:\\New\\RailSim.exe";
    form.mnuLocateGameEXE_Click();
    EXPECT_FALSE(window.deleteEnabled);
    EXPECT_FALSE(window.refreshEnabled);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Critical);
}

}  // namespace
}  // namespace quelmar

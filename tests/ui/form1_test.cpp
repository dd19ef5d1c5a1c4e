#include <gtest/gtest.h>
#include <thread>
#include <future>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include <functional>
#include <new>
#include <stdexcept>
#include <tuple>

#include "tests/fakes/fake_host.h"
#include "ui/form1.h"

namespace quelmar {
namespace {

using testing::FakeHost;
using testing::FakeWindow;
using testing::Message;

void makeGameIn(FakeHost& host, const std::string& folder, bool withArchive) {
    host.addFolder(folder);
    host.addFile(folder + "\\RailSim.exe");
    host.addFolder(folder + "\\Assets");
    host.addFolder(folder + "\\Assets\\P");
    if (withArchive) host.addFile(folder + "\\Assets\\P\\Blueprints.pak");
}

struct Form1Test : ::testing::Test {
    FakeHost host;
    FakeWindow window;
    Form1 form{host, window};

    void makeGame(const std::string& folder, bool withArchive) { makeGameIn(host, folder, withArchive); }
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
    host.versionRecord = {12, 0, 345};
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

// A failure of no kind the program looks for is told in a sentence, at
// start-up as in a click, and a deletion it stops still gives its count.
TEST_F(Form1Test, UnexpectedFailuresAreToldAndNeverEndTheProgram) {
    const struct {
        const char* name;
        bool atStartUp;
        std::function<void()> fail;
        const char* says;
    } cases[] = {
        {"listing at start-up", true, [] { throw std::bad_alloc(); }, "not enough memory"},
        {"deleting", false, [] { throw std::logic_error("planted"); }, "after 1 .pak file was deleted"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost h;
        FakeWindow w;
        Form1 f{h, w};
        makeGameIn(h, "D:\\RS", true);
        h.addFolder("D:\\RS\\Assets\\Q");
        h.addFile("D:\\RS\\Assets\\Q\\Blueprints.pak");
        h.gameFolderSetting() = "D:\\RS";
        if (c.atStartUp) h.beforeOpenChild = [&](const std::string&) { c.fail(); };
        EXPECT_EQ(f.Form_Load(), Form1::Start::ShowWindow);
        if (!c.atStartUp) {
            h.beforeDelete = [&] { h.beforeDelete = c.fail; };  // the second deletion fails
            f.butDeletePaks_Click();
        }
        ASSERT_EQ(h.messages.size(), 1u);
        EXPECT_NE(h.messages[0].text.find(c.says), std::string::npos) << h.messages[0].text;
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
    host.addFolder("E:\\Library\\common");
    host.libraryPlaces = {{"E:\\Library\\common", "Library on E:"}};
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

// One command at a time, for the whole command: a command asked for while
// another's message box or the file dialog is up (a screen reader's press,
// a posted click) is dropped, not run inside it nor after it.
TEST_F(Form1Test, ACommandAskedForWhileAnotherHasItsBoxOrDialogOpenIsDropped) {
    using Click = void (Form1::*)();
    const std::pair<const char*, Click> inners[] = {{"...", &Form1::mnuLocateGameEXE_Click},
                                                    {"Refresh", &Form1::butRefreshList_Click},
                                                    {"Delete", &Form1::butDeletePaks_Click}};
    struct Outer {
        const char* name;
        bool archives;
        std::function<void(Form1&)> run;
    };
    const Outer outers[] = {
        {"start-up's box", false, [](Form1& f) { f.Form_Load(); }},
        {"Refresh's box", false, [](Form1& f) { f.butRefreshList_Click(); }},
        {"Delete's \"Complete.\" box", true, [](Form1& f) { f.butDeletePaks_Click(); }},
        {"the locate dialog", true, [](Form1& f) { f.mnuLocateGameEXE_Click(); }},
    };
    for (const Outer& outer : outers) {
        for (const auto& [innerName, inner] : inners) {
            SCOPED_TRACE(std::string(innerName) + " during " + outer.name);
            FakeHost h;
            FakeWindow w;
            Form1 f(h, w);
            h.addFolder("D:\\RS");
            h.addFolder("D:\\RS\\Assets");
            h.addFolder("D:\\RS\\Assets\\P");
            if (outer.archives) h.addFile("D:\\RS\\Assets\\P\\Blueprints.pak");
            h.gameFolderSetting() = "D:\\RS";
            if (outer.name != std::string("start-up's box")) {
                f.Form_Load();
                h.messages.clear();
            }
            w.dialogAnswer = "D:\\RS\\RailSim.exe";
            int asked = 0;
            bool innerDidSomething = false;
            const auto press = [&] {
                if (asked++ != 0) return;
                const auto before = std::make_tuple(h.calls.size(), h.messages.size(), w.dialogRequests.size(),
                                                    w.text2History.size(), h.deleted.size());
                EXPECT_TRUE(f.busy());
                (f.*inner)();
                innerDidSomething = before != std::make_tuple(h.calls.size(), h.messages.size(),
                                                              w.dialogRequests.size(), w.text2History.size(),
                                                              h.deleted.size());
            };
            h.onMessage = [&](const Message&) { press(); };
            w.whileDialogOpen = press;
            outer.run(f);
            EXPECT_EQ(asked, 1) << "the box or dialog was not shown";
            EXPECT_FALSE(innerDidSomething);
            EXPECT_FALSE(f.busy());
        }
    }
}

// Input given during the last folder read or the last deletion has not been
// looked at when the walk ends: it is dropped before the window stops being
// busy, so it does not run once the command is over.
TEST_F(Form1Test, InputDuringTheWalksLastStepIsDroppedNotRunAfterIt) {
    makeGame("D:\\RS", true);
    host.addFolder("D:\\RS\\Assets\\Q");
    host.addFile("D:\\RS\\Assets\\Q\\Blueprints.pak");
    host.gameFolderSetting() = "D:\\RS";
    form.Form_Load();
    ASSERT_EQ(host.files().size(), 3u);

    // A click on Delete while Refresh reads its last folder.
    host.beforeOpenChild = [&](const std::string& path) {
        if (path.find("\\Q") != std::string::npos) window.pendingInput.push_back([&] { form.butDeletePaks_Click(); });
    };
    form.butRefreshList_Click();
    window.handlePendingInput();
    EXPECT_EQ(host.files().size(), 3u) << "the click during the listing deleted";
    host.beforeOpenChild = nullptr;

    // A click on Refresh while Delete deletes its last archive.
    host.beforeDelete = [&] {  // the first; it arms the second
        host.beforeDelete = [&] { window.pendingInput.push_back([&] { form.butRefreshList_Click(); }); };
    };
    host.messages.clear();
    form.butDeletePaks_Click();
    window.handlePendingInput();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Complete.\r\n\r\n2 .pak files deleted.");
    EXPECT_EQ(window.text2Value, "") << "the click during the deletion listed again";
    EXPECT_FALSE(window.deleteEnabled);
}

// Whatever step of a command meets a mount slow to answer (the start-up
// check, the walk opening Assets, the store search, a place, which is then
// not offered since the dialog would ask it again on the window's thread),
// the window is shown and kept alive, and shows it is busy; a close then ends
// the command at once, leaving the helper in its call. Each slow call lasts
// until the window has been kept alive a few times meanwhile, however loaded
// the machine.
TEST(Form1Slow, EverySlowStepKeepsTheWindowAliveAndACloseEndsIt) {
    const std::string place = "E:\\Library\\common";
    for (const std::string slowPath : {"D:\\RS", "D:\\RS\\Assets", "store search", place.c_str()}) {
        for (const bool close : {false, true}) {
            SCOPED_TRACE(slowPath + (close ? ", closed" : ""));
            FakeHost h;
            FakeWindow w;
            Form1 f{h, w};
            makeGameIn(h, "D:\\RS", true);
            h.addFolder(place);
            h.libraryPlaces = {{place, "LibraryB"}};
            h.gameFolderSetting() = "D:\\RS";
            std::promise<void> answer, leftAlone;
            std::shared_future<void> answered = answer.get_future().share();
            std::atomic<bool> inCall = false, entered = false, released = false;
            int keptAliveMeanwhile = 0, shownMeanwhile = 0;
            const auto release = [&] {
                if (!released.exchange(true)) answer.set_value();
            };
            w.onKeepAlive = [&] {
                if (!inCall) return;
                shownMeanwhile += w.shown;
                if (++keptAliveMeanwhile < 3) return;
                if (close) {
                    f.requestClose();
                } else if (w.showBusyCalls > 0) {
                    release();
                }
            };
            h.slowly = [&, answered](const std::string& path) {
                if (path != slowPath || entered.exchange(true)) return;
                inCall = true;
                answered.wait();
                inCall = false;
                leftAlone.set_value();
            };
            const bool atStartUp = slowPath.starts_with("D:");
            if (atStartUp) {
                EXPECT_EQ(f.Form_Load(), close ? Form1::Start::EndProgram : Form1::Start::ShowWindow);
            } else {
                ASSERT_EQ(f.Form_Load(), Form1::Start::ShowWindow);
                f.mnuLocateGameEXE_Click();
            }
            EXPECT_GE(keptAliveMeanwhile, 3);
            EXPECT_EQ(shownMeanwhile, keptAliveMeanwhile) << "the window is on screen while anything waits";
            EXPECT_EQ(w.busyHistory.back(), false);
            if (close) {
                EXPECT_TRUE(inCall) << "the command waited for its call";
            } else if (slowPath == place) {
                EXPECT_TRUE(w.dialogRequests.at(0).places.empty());
            }
            release();
            if (entered) leftAlone.get_future().wait();  // the helper is done with the fakes
            h.waitUntilIdle();
        }
    }
}

// A folder on a mount that never answers locks nobody out: stored, the
// window shows while start-up waits for it, a close ends the program at
// once, and after a while it is told as not answering, with both commands
// off and "..." free; "..." opens its dialog all the same, where it would
// with nothing stored, and so it does when the store search never answers.
TEST(Form1Slow, AFolderThatNeverAnswersLocksNobodyOut) {
    for (const std::string hanging : {"D:\\Slow", "store search"}) {
        for (const bool closed : {true, false}) {
            if (hanging == "store search" && closed) continue;
            SCOPED_TRACE(hanging + (closed ? ", closed at start-up" : ""));
            FakeHost h;
            FakeWindow w;
            Form1 f{h, w};
            f.state().startUpCheckLimit = std::chrono::milliseconds(100);
            h.gameFolderSetting() = hanging == "store search" ? "" : "D:\\Slow";
            h.libraryPlaces = {{"E:\\Library\\common", "LibraryB"}};
            std::promise<void> answer;
            std::shared_future<void> answered = answer.get_future().share();
            std::atomic<int> inCall = 0;
            h.slowly = [&, answered](const std::string& path) {
                if (path != hanging) return;
                ++inCall;
                answered.wait();
                --inCall;
            };
            w.onKeepAlive = [&] {
                if (closed && inCall > 0 && w.shown) f.requestClose();
            };
            if (closed) {
                EXPECT_EQ(f.Form_Load(), Form1::Start::EndProgram) << "a close while the window waits ends it";
                EXPECT_TRUE(w.shown);
            } else {
                ASSERT_EQ(f.Form_Load(), Form1::Start::ShowWindow);
                if (hanging == "D:\\Slow") {
                    ASSERT_EQ(h.messages.size(), 1u);
                    EXPECT_NE(h.messages[0].text.find("D:\\Slow"), std::string::npos);
                    EXPECT_NE(h.messages[0].text.find("does not answer"), std::string::npos);
                    EXPECT_FALSE(w.deleteEnabled);
                    EXPECT_FALSE(w.refreshEnabled);
                }
                bool waitedMeanwhile = false;
                w.whileDialogOpen = [&] { waitedMeanwhile = inCall > 0; };
                f.mnuLocateGameEXE_Click();  // in the very window start-up left
                ASSERT_EQ(w.dialogRequests.size(), 1u);
                EXPECT_TRUE(waitedMeanwhile) << "the dialog opened while the look-up was still unanswered";
                if (hanging == "D:\\Slow") {
                    // Where it would open with nothing stored; the search's folder
                    // itself is left out if it was slow to answer on a loaded machine.
                    EXPECT_NE(w.dialogRequests[0].initialFolder, "D:\\Slow");
                } else {
                    EXPECT_TRUE(w.dialogRequests[0].places.empty());
                }
            }
            answer.set_value();
            while (inCall > 0) std::this_thread::yield();
            h.waitUntilIdle();
        }
    }
}

// The dialog reads the folder it opens in on the window's thread: a folder
// whose look-up answers but whose read never does, whether stored or where
// the search would start, is not where it opens, and it opens all the same.
TEST(Form1Slow, AFolderWhoseReadNeverAnswersIsNotWhereTheDialogOpens) {
    for (const bool stored : {true, false}) {
        SCOPED_TRACE(stored ? "stored" : "the search's");
        FakeHost h;
        FakeWindow w;
        Form1 f{h, w};
        const std::string folder = stored ? "D:\\Unread" : h.programFolderPath;
        h.addFolder(folder);
        if (stored) h.gameFolderSetting() = folder;
        std::promise<void> answer;
        std::shared_future<void> answered = answer.get_future().share();
        std::atomic<int> asked = 0, inCall = 0;
        h.slowly = [&, answered](const std::string& path) {
            if (path != folder || ++asked < 2) return;  // its look-up answers, its read does not
            ++inCall;
            answered.wait();
            --inCall;
        };
        bool waitedMeanwhile = false;
        w.whileDialogOpen = [&] { waitedMeanwhile = inCall > 0; };
        f.mnuLocateGameEXE_Click();
        ASSERT_EQ(w.dialogRequests.size(), 1u);
        EXPECT_TRUE(waitedMeanwhile) << "the dialog opened while the read was still unanswered";
        EXPECT_NE(w.dialogRequests[0].initialFolder, folder);
        answer.set_value();
        while (inCall > 0) std::this_thread::yield();
        h.waitUntilIdle();
    }
}

// A close asked for during a command waits for it to end, then closes the
// window once; one asked for between commands closes at once.
TEST_F(Form1Test, CloseDuringACommandHappensOnceItHasEnded) {
    EXPECT_TRUE(form.requestClose());
    makeGame("D:\\RS", true);
    host.gameFolderSetting() = "D:\\RS";
    form.Form_Load();
    host.onMessage = [&](const Message&) {
        EXPECT_FALSE(form.requestClose());
        EXPECT_EQ(window.closeWindowCalls, 0);
    };
    form.butDeletePaks_Click();
    EXPECT_EQ(window.closeWindowCalls, 1);
}

// A close stops the walk there and then, not at the window's next look at
// it: asked by a session that ends, the process may be gone right after.
TEST_F(Form1Test, ACloseStopsTheWalkAtOnce) {
    makeGame("D:\\RS", true);
    for (const char* provider : {"Q", "R", "S"}) {
        host.addFolder(std::string("D:\\RS\\Assets\\") + provider);
        host.addFile(std::string("D:\\RS\\Assets\\") + provider + "\\Blueprints.pak");
    }
    host.gameFolderSetting() = "D:\\RS";
    // The walk alone: a reader that looked at the stop just before it came
    // may still make that one call, which the read-ahead's own test allows.
    form.state().folderReaders = 1;
    form.Form_Load();
    std::mutex mutex;
    std::condition_variable changed;
    bool inQ = false, closed = false;
    int callsAfterClose = 0;
    host.slowly = [&](const std::string& path) {  // on the walk's worker
        std::unique_lock lock(mutex);
        if (closed) ++callsAfterClose, changed.notify_all();
        if (path != "D:\\RS\\Assets\\Q") return;
        inQ = true;
        changed.notify_all();
        changed.wait(lock, [&] { return closed; });
    };
    window.onKeepAlive = [&] {  // on the window's thread, which then looks away
        std::unique_lock lock(mutex);
        if (!inQ || closed) return;
        EXPECT_FALSE(form.requestClose());
        closed = true;
        changed.notify_all();
        // Given its time: the walk's next call, if it makes one, comes now.
        changed.wait_for(lock, std::chrono::seconds(2), [&] { return callsAfterClose > 0; });
    };
    form.butDeletePaks_Click();
    EXPECT_EQ(callsAfterClose, 0);
    EXPECT_EQ(host.deleted, std::vector<std::string>{"D:\\RS\\Assets\\P\\Blueprints.pak"});
}

}  // namespace
}  // namespace quelmar

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <thread>

#include "core/archive_scan.h"
#include "core/off_window.h"
#include "core/read_ahead.h"
#include "tests/fakes/fake_host.h"

namespace quelmar {
namespace {

using testing::FakeHost;
using testing::FakeWindow;

struct CommandTest : ::testing::Test {
    FakeHost host;
    FakeWindow window;
    FormState state;
    std::vector<std::string> decoys;

    void SetUp() override {
        host.addFolder("D:\\RS");
        host.addFolder("D:\\RS\\Assets");
        state.GamePath = "D:\\RS";
        state.AssetsPath = "D:\\RS\\Assets";
    }
    void addArchives() {
        host.addFolder("D:\\RS\\Assets\\A");
        host.addFile("D:\\RS\\Assets\\A\\Blueprints.pak");
        host.addFolder("D:\\RS\\Assets\\A\\R1");
        host.addFile("D:\\RS\\Assets\\A\\R1\\Blueprints.pak");
        host.addFolder("D:\\RS\\Assets\\B");
        host.addFolder("D:\\RS\\Assets\\B\\R2");
        host.addFile("D:\\RS\\Assets\\B\\R2\\Blueprints.pak");
        decoys = {"D:\\RS\\Assets\\Blueprints.pak", "D:\\RS\\Assets\\A\\Scenery.pak",
                  "D:\\RS\\Assets\\A\\R1\\Blueprints.bin", "D:\\RS\\Assets\\B\\R2\\Deep\\Blueprints.pak"};
        host.addFolder("D:\\RS\\Assets\\B\\R2\\Deep");
        for (const auto& d : decoys) host.addFile(d);
    }
    void expectDecoysIntact() {
        for (const auto& d : decoys) EXPECT_TRUE(host.exists(d)) << d;
    }
};

constexpr const char* kThreeLines =
    "Assets\\A\\Blueprints.pak\r\nAssets\\A\\R1\\Blueprints.pak\r\nAssets\\B\\R2\\Blueprints.pak\r\n";

TEST_F(CommandTest, RefreshListsEachArchiveOnceAndEnablesDelete) {
    addArchives();
    window.deleteEnabled = false;
    RefreshList(state, host, window);
    EXPECT_EQ(window.text2Value, kThreeLines);
    EXPECT_TRUE(window.deleteEnabled);
    RefreshList(state, host, window);
    EXPECT_EQ(window.text2Value, kThreeLines) << "a second refresh replaces the list";
    EXPECT_TRUE(host.messages.empty());
    EXPECT_TRUE(host.deleted.empty());
    EXPECT_TRUE(window.refreshEnabled);
    // Over in an instant: neither the busy look nor a half-made list flickers.
    EXPECT_EQ(window.showBusyCalls, 0);
    EXPECT_EQ(window.text2History, (std::vector<std::string>{"", kThreeLines, "", kThreeLines}));
}

TEST_F(CommandTest, RefreshWithNothingFoundTellsAndDisablesDelete) {
    window.deleteEnabled = true;
    bool enabledWhileShown = false;
    host.onMessage = [&](const testing::Message&) { enabledWhileShown = window.deleteEnabled; };
    RefreshList(state, host, window);
    EXPECT_EQ(window.text2Value, "");
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "No .pak files found.");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Information);
    EXPECT_TRUE(enabledWhileShown) << "the button is disabled after the message is dismissed";
    EXPECT_FALSE(window.deleteEnabled);
}

TEST_F(CommandTest, RefreshErrorKeepsTheLinesFoundAndTheDeleteState) {
    addArchives();
    host.unreadableFolders = {"D:\\RS\\Assets\\B"};
    window.deleteEnabled = false;
    EXPECT_THROW(RefreshList(state, host, window), HostError);
    EXPECT_EQ(window.text2Value, "Assets\\A\\Blueprints.pak\r\nAssets\\A\\R1\\Blueprints.pak\r\n");
    EXPECT_FALSE(window.deleteEnabled);
    EXPECT_TRUE(host.messages.empty());
}

TEST_F(CommandTest, DeleteRemovesExactlyTheArchivesAndReportsTheCount) {
    addArchives();
    std::string listWhileShown;
    host.onMessage = [&](const testing::Message&) { listWhileShown = window.text2Value; };
    DeleteArchives(state, host, window);

    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Complete.\r\n\r\n3 .pak files deleted.");
    EXPECT_EQ(host.messages[0].icon, MessageIcon::Information);
    EXPECT_EQ(listWhileShown, kThreeLines);
    EXPECT_EQ(window.text2Value, "");
    EXPECT_FALSE(window.deleteEnabled);
    EXPECT_EQ(host.deleted, (std::vector<std::string>{"D:\\RS\\Assets\\A\\Blueprints.pak",
                                                      "D:\\RS\\Assets\\A\\R1\\Blueprints.pak",
                                                      "D:\\RS\\Assets\\B\\R2\\Blueprints.pak"}));
    expectDecoysIntact();
    EXPECT_EQ(host.files().size(), decoys.size());
}

// Archives another program still holds open are counted, and the box says
// they go once it lets go.
TEST_F(CommandTest, DeleteSummaryCountsEveryArchiveAndTellsThoseStillHeld) {
    struct Case {
        std::vector<std::string> archives, held;
        std::string text;
    } cases[] = {
        {{"A", "B"}, {"B"}, "Complete.\r\n\r\n2 .pak files deleted.\r\n\r\n1 of them is still open in another "
                            "program; it disappears once that program lets go of it."},
        {{"A", "B", "C"}, {"A", "C"}, "Complete.\r\n\r\n3 .pak files deleted.\r\n\r\n2 of them are still open in "
                                      "other programs; they disappear once those programs let go of them."},
    };
    for (const Case& c : cases) {
        FakeHost fresh;
        fresh.addFolder("D:\\RS");
        fresh.addFolder("D:\\RS\\Assets");
        FormState st;
        st.AssetsPath = "D:\\RS\\Assets";
        for (const std::string& p : c.archives) {
            fresh.addFolder("D:\\RS\\Assets\\" + p);
            fresh.addFile("D:\\RS\\Assets\\" + p + "\\Blueprints.pak");
        }
        for (const std::string& p : c.held) fresh.heldFiles.insert("D:\\RS\\Assets\\" + p + "\\Blueprints.pak");
        DeleteArchives(st, fresh, window);
        ASSERT_EQ(fresh.messages.size(), 1u);
        EXPECT_EQ(fresh.messages[0].text, c.text);
    }
}

TEST_F(CommandTest, DeleteAfterSomeoneElseRemovedTheArchivesChangesNothing) {
    addArchives();
    RefreshList(state, host, window);
    for (const auto& f : host.files())
        if (f.ends_with("\\Blueprints.pak") && std::find(decoys.begin(), decoys.end(), f) == decoys.end())
            host.remove(f);
    DeleteArchives(state, host, window);
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "No .pak files found.");
    EXPECT_EQ(window.text2Value, "");
    EXPECT_TRUE(window.deleteEnabled);
    expectDecoysIntact();
}

TEST_F(CommandTest, UndeletableArchiveStopsTheDeletionWhereItFailed) {
    addArchives();
    host.undeletableFiles = {"D:\\RS\\Assets\\A\\R1\\Blueprints.pak"};
    window.deleteEnabled = true;
    EXPECT_THROW(DeleteArchives(state, host, window), HostError);
    EXPECT_EQ(host.deleted, std::vector<std::string>{"D:\\RS\\Assets\\A\\Blueprints.pak"});
    EXPECT_EQ(window.text2Value, "Assets\\A\\Blueprints.pak\r\nAssets\\A\\R1\\Blueprints.pak\r\n");
    EXPECT_TRUE(window.deleteEnabled);
    EXPECT_TRUE(host.messages.empty()) << "no summary after a failure";
    EXPECT_TRUE(host.exists("D:\\RS\\Assets\\A\\R1\\Blueprints.pak"));
    EXPECT_TRUE(host.exists("D:\\RS\\Assets\\B\\R2\\Blueprints.pak"));
    expectDecoysIntact();
}

TEST_F(CommandTest, ArchiveVanishingBetweenTestAndDeletionIsAnError) {
    addArchives();
    host.beforeDelete = [&] { host.remove("D:\\RS\\Assets\\A\\Blueprints.pak"); };
    EXPECT_THROW(DeleteArchives(state, host, window), HostError);
    EXPECT_TRUE(host.messages.empty()) << "a file that was not deleted is not counted as deleted";
    expectDecoysIntact();
}

// A folder reached twice through a link is one folder: what the first visit
// deleted is gone on the second, and a link named like an archive loses the
// link, never the file it leads to.
TEST_F(CommandTest, DeleteRemovesTheListedEntryItselfAndSeesItsOwnEarlierDeletions) {
    host.ignoreCase = false;
    host.addFolder("D:\\RS\\Assets\\A");
    host.addFile("D:\\RS\\Assets\\A\\Blueprints.pak");
    host.addLink("D:\\RS\\Assets\\B", "D:\\RS\\Assets\\A");
    host.addFolder("D:\\Elsewhere");
    host.addFile("D:\\Elsewhere\\Kept.pak");
    host.addFolder("D:\\RS\\Assets\\C");
    host.addLink("D:\\RS\\Assets\\C\\blueprints.pak", "D:\\Elsewhere\\Kept.pak");

    DeleteArchives(state, host, window);
    EXPECT_EQ(host.deleted, (std::vector<std::string>{"D:\\RS\\Assets\\A\\Blueprints.pak",
                                                      "D:\\RS\\Assets\\C\\blueprints.pak"}));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0].text, "Complete.\r\n\r\n2 .pak files deleted.");
    EXPECT_TRUE(host.exists("D:\\Elsewhere\\Kept.pak"));
    EXPECT_FALSE(host.exists("D:\\RS\\Assets\\C\\blueprints.pak"));
}

// A deletion that stops, for a failure anywhere, tells how many archives
// it had deleted: the lines above the point where it stopped.
TEST_F(CommandTest, StoppedDeletionTellsHowManyWentBeforeIt) {
    const struct {
        const char* name;
        std::function<void(FakeHost&)> plant;
        std::size_t deleted;
        const char* told;
    } cases[] = {
        {"an archive refused", [](FakeHost& h) { h.undeletableFiles = {"D:\\RS\\Assets\\B\\R2\\Blueprints.pak"}; },
         2, "Deleting stopped after 2 .pak files were deleted (the first 2 lines of the list); the rest were not touched."},
        {"a folder unreadable", [](FakeHost& h) { h.unreadableFolders = {"D:\\RS\\Assets\\A\\R1"}; }, 1,
         "Deleting stopped after 1 .pak file was deleted (the first line of the list); the rest were not touched."},
        {"the first archive refused", [](FakeHost& h) { h.undeletableFiles = {"D:\\RS\\Assets\\A\\Blueprints.pak"}; },
         0, "Access is denied: D:\\RS\\Assets\\A\\Blueprints.pak\r\n\r\n"
            "Deleting stopped before any .pak file was deleted; none was touched."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeHost h;
        FakeWindow w;
        FormState s;
        s.AssetsPath = "D:\\RS\\Assets";
        h.addFolder("D:\\RS\\Assets");
        for (const char* f : {"A", "A\\R1", "B", "B\\R2"}) h.addFolder(std::string("D:\\RS\\Assets\\") + f);
        for (const char* f : {"A", "A\\R1", "B\\R2"}) h.addFile(std::string("D:\\RS\\Assets\\") + f + "\\Blueprints.pak");
        c.plant(h);
        try {
            DeleteArchives(s, h, w);
            ADD_FAILURE() << "no error";
        } catch (const HostError& error) {
            EXPECT_EQ(h.deleted.size(), c.deleted);
            const std::string told = error.description();
            EXPECT_EQ(told.substr(told.size() - std::string(c.told).size()), c.told) << told;
        }
        EXPECT_TRUE(h.messages.empty());
    }
}

// Closing the window while the walk waits on a slow look-up ends the
// command at once; the walk, once the look-up answers, deletes nothing more.
// Nobody is told, and the lines found before have been shown meanwhile.
TEST_F(CommandTest, NothingIsDeletedOnceTheWindowHasClosed) {
    {
        state.AssetsPath = "D:\\RS\\Assets";
        for (int p = 0; p < 12; ++p) {
            const std::string provider = "D:\\RS\\Assets\\P" + std::to_string(p);
            host.addFolder(provider);
            host.addFile(provider + "\\Blueprints.pak");
        }
        state.keepAliveInterval = std::chrono::milliseconds(0);
        state.listShownInterval = std::chrono::milliseconds(0);
        state.folderReaders = 1;  // the walk's own look-up is the only one
        std::promise<void> answer;
        std::shared_future<void> answered = answer.get_future().share();
        std::atomic<bool> waiting = false, done = false;
        host.slowly = [&, answered](const std::string& path) {
            if (path != "D:\\RS\\Assets\\P4\\Blueprints.pak") return;
            waiting = true;
            answered.wait();
            done = true;
        };
        window.onKeepAlive = [&] {
            if (waiting) state.closeRequested = true;
        };
        EXPECT_THROW(DeleteArchives(state, host, window), WalkStopped);
        EXPECT_FALSE(done) << "the command waited for the look-up";
        answer.set_value();
        while (!done) std::this_thread::yield();
        host.waitUntilIdle();
        EXPECT_EQ(host.deleted.size(), 4u) << "deleted after the close";
        EXPECT_EQ(host.files().size(), 12u - host.deleted.size());
        EXPECT_TRUE(host.messages.empty());
        EXPECT_EQ(window.busyHistory, (std::vector<bool>{true, false}));
        EXPECT_EQ(window.showBusyCalls, 1);
        EXPECT_FALSE(window.text2Value.empty()) << "the lines found were shown while the walk ran";
    }
}

// A walk that fails, or is stopped, while helpers read ahead ends at once:
// each helper stops after the folder it is reading, not its whole branch.
TEST_F(CommandTest, HelpersStopWithTheWalk) {
    for (int p = 0; p < 20; ++p) {
        host.addFolder("D:\\RS\\Assets\\P" + std::to_string(p));
        for (int r = 0; r < 30; ++r) host.addFolder("D:\\RS\\Assets\\P" + std::to_string(p) + "\\R" + std::to_string(r));
    }
    std::atomic<int> opens{0};
    host.beforeOpenChild = [&](const std::string&) {
        ++opens;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    state.folderReaders = 4;
    state.keepAliveInterval = std::chrono::milliseconds(0);

    host.unreadableFolders = {"D:\\RS\\Assets\\P0"};
    EXPECT_THROW(RefreshList(state, host, window), HostError);
    EXPECT_LT(opens.load(), 60) << "of 620 folders";

    host.waitUntilIdle();  // what the first walk's helpers were still reading is not the second's
    host.unreadableFolders.clear();
    opens = 0;
    window.stopAfterKeepAlives = 1;
    EXPECT_THROW(RefreshList(state, host, window), WalkStopped);
    EXPECT_LT(opens.load(), 60) << "of 620 folders";
    host.waitUntilIdle();  // before `opens` goes
}

// A helper that hangs in a read (a mount that does not answer) never holds
// up the failure the walk met meanwhile: it is told at once, and the helper
// is left to finish alone.
TEST_F(CommandTest, AFailureIsToldWithoutWaitingForAHelperThatHangs) {
    for (int p = 0; p < 20; ++p) host.addFolder("D:\\RS\\Assets\\P" + std::to_string(p));
    host.unreadableFolders = {"D:\\RS\\Assets\\P2"};
    testing::waitUntilNoHelpersAreLeft();  // one of them is to hang in P8
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    std::atomic<bool> hanging = false, hungOnce = false;
    host.slowly = [&, answered](const std::string& path) {
        // P2 is met only once a helper hangs in P8, by the walk and by any
        // helper that came to it, however late.
        if (path == "D:\\RS\\Assets\\P2")
            while (!hungOnce) std::this_thread::yield();
        if (path != "D:\\RS\\Assets\\P8") return;
        hanging = true;
        hungOnce = true;
        answered.wait();
        hanging = false;
    };
    state.folderReaders = 16;
    EXPECT_THROW(RefreshList(state, host, window), HostError);
    EXPECT_TRUE(hanging) << "the failure waited for the helper";
    answer.set_value();
    while (hanging || host.openHandles != 0) std::this_thread::yield();  // before the fakes go
}

// A folder that never answers, behind one the walk fails on: the walk never
// gets there, and however often the list is asked for, the readers left
// stuck in it stay within the process's few; nothing piles up.
TEST_F(CommandTest, HelpersStuckInAFolderThatNeverAnswersNeverPileUp) {
    host.addFolder("D:\\RS\\Assets\\Broken");
    host.unreadableFolders = {"D:\\RS\\Assets\\Broken"};
    for (int p = 0; p < 20; ++p) host.addFolder("D:\\RS\\Assets\\P" + std::to_string(p));
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    std::atomic<int> stuck = 0;
    host.slowly = [&, answered](const std::string& path) {
        if (path != "D:\\RS\\Assets\\P5") return;
        ++stuck;
        answered.wait();
        --stuck;
    };
    state.folderReaders = 16;
    for (int press = 0; press < 30; ++press) {
        EXPECT_THROW(RefreshList(state, host, window), HostError);
        EXPECT_LE(ReadAhead::helpersAlive(), ReadAhead::kMostHelpers);
    }
    EXPECT_LE(stuck.load(), static_cast<int>(ReadAhead::kMostHelpers)) << "stuck readers keep their places in the pool";
    answer.set_value();
    while (stuck != 0) std::this_thread::yield();  // before `stuck` goes
}

// Helpers start from the folder the walk opened, never from Assets' path:
// a folder put in its place meanwhile is never read.
TEST_F(CommandTest, HelpersReadFromTheAssetsTheWalkOpened) {
    for (int p = 0; p < 20; ++p) host.addFile("D:\\RS\\Assets\\P" + std::to_string(p) + "\\Blueprints.pak");
    for (int p = 0; p < 20; ++p) host.addFolder("D:\\RS\\Assets\\P" + std::to_string(p));
    state.folderReaders = 16;
    std::string list;
    EXPECT_EQ(WalkArchives(PlanWalk(state, host), list, {}), 20);
    host.waitUntilIdle();
    EXPECT_EQ(std::count_if(host.calls.begin(), host.calls.end(),
                            [](const std::string& call) { return call.starts_with("openFolder "); }),
              1);
}

// Whatever ends the window's wait before the walk stops the walk: here a
// failure on the window's own thread (out of memory while it kept the
// window alive) in the middle of a deletion.
TEST_F(CommandTest, AFailureOnTheWindowsThreadStopsTheDeletion) {
    for (int p = 0; p < 40; ++p) {
        host.addFolder("D:\\RS\\Assets\\P" + std::to_string(p));
        host.addFile("D:\\RS\\Assets\\P" + std::to_string(p) + "\\Blueprints.pak");
    }
    state.folderReaders = 1;
    state.keepAliveInterval = std::chrono::milliseconds(0);
    std::atomic<bool> waiting = false, failed = false, ended = false;
    host.slowly = [&](const std::string& path) {
        if (path != "D:\\RS\\Assets\\P3\\Blueprints.pak") return;
        waiting = true;
        while (!ended) std::this_thread::yield();
    };
    window.onKeepAlive = [&] {
        if (waiting && !failed.exchange(true)) throw std::bad_alloc();
    };
    // Told as a failure that stopped the deletion, with how many were gone
    // by then: the worker may still be in a call, so at least.
    try {
        DeleteArchives(state, host, window);
        ADD_FAILURE() << "no failure told";
    } catch (const HostError& error) {
        EXPECT_NE(error.description().find("There is not enough memory"), std::string::npos) << error.description();
        EXPECT_NE(error.description().find("after at least 3 .pak files were deleted"), std::string::npos)
            << error.description();
    }
    ended = true;
    host.waitUntilIdle();  // the walk let go of every folder: it has ended
    EXPECT_EQ(host.deleted.size(), 3u) << "deleted after the command ended";
}

// Look-ups given up on (a stored folder on a mount that never answers,
// asked for at every press of "...") never pile threads up.
TEST_F(CommandTest, LookUpsGivenUpOnStayFewWhateverIsPressed) {
    std::promise<void> answer;
    std::shared_future<void> answered = answer.get_future().share();
    std::atomic<int> started = 0, ended = 0;
    for (int press = 0; press < 20; ++press) {
        const auto result = OffTheWindowThread(
            state, window,
            [&started, &ended, answered] {
                ++started;
                answered.wait();
                ++ended;
                return true;
            },
            std::chrono::milliseconds(1));
        EXPECT_FALSE(result.has_value());
    }
    EXPECT_LE(started.load(), 4);
    answer.set_value();
    while (ended != started) std::this_thread::yield();  // before the counts go
}

// Command after command, each one's work is run: none waits for a worker
// that never starts (MinGW-w64 loses now and then a thread made just after
// a detached one ended).
TEST_F(CommandTest, EveryLookUpIsAnsweredCommandAfterCommand) {
    state.keepAliveInterval = std::chrono::milliseconds(1);
    int unanswered = 0;
    for (int press = 0; press < 3000 && unanswered == 0; ++press)
        unanswered += OffTheWindowThread(state, window, [press] { return press; }, std::chrono::seconds(20)) != press;
    EXPECT_EQ(unanswered, 0);
}

// A close that the last keep-alive of a look-up met ends the command there,
// though the look-up answered: nothing after it runs.
TEST_F(CommandTest, ACloseMetAsALookUpEndsEndsTheCommand) {
    state.keepAliveInterval = std::chrono::hours(1);  // only the last keep-alive is asked
    window.onKeepAlive = [&] { state.closeRequested = true; };
    EXPECT_THROW(OffTheWindowThread(state, window, [] { return 1; }), WalkStopped);
}

}  // namespace
}  // namespace quelmar

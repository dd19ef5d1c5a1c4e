#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <tuple>

#include <filesystem>
#include <map>
#include <thread>

#include "bench/bench_host.h"
#include "core/archive_scan.h"
#include "platform/linux/posix_file_system.h"
#include "tests/linux/child_process.h"
#include "tests/linux/temp_tree.h"

namespace quelmar::linux_host {
namespace {

using testing::TempTree;
namespace fs = std::filesystem;

std::map<std::string, EntryKind> kinds(const Folder& folder) {
    std::map<std::string, EntryKind> out;
    for (const FolderEntry& e : folder.entries) out[e.name] = e.kind;
    return out;
}

std::string descriptionOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const HostError& error) {
        return error.description();
    }
    return "no error";
}

TEST(PosixFileSystem, EntriesAreWhatThePathLookupOpensLinksIncluded) {
    TempTree outside;
    outside.file("Mods/RouteB/Blueprints.pak");
    TempTree tree;
    tree.folder("Assets/Real");
    tree.folder("Assets/.hidden");
    tree.file("Assets/file.txt");
    fs::create_directory_symlink(outside.path("Mods/RouteB"), tree.path("Assets/Linked"));
    fs::create_symlink(outside.path("Mods/RouteB/Blueprints.pak"), tree.path("Assets/FileLink"));
    fs::create_symlink(outside.path("Nowhere"), tree.path("Assets/Dangling"));
    fs::create_symlink("Loop", tree.path("Assets/Loop"));
    ASSERT_EQ(::mkfifo(tree.path("Assets/Pipe").c_str(), 0644), 0);

    PosixFileSystem fs;
    const Folder assets = fs.openFolder(tree.root(), "Assets");
    EXPECT_EQ(assets.path, tree.path("Assets"));
    EXPECT_EQ(kinds(assets), (std::map<std::string, EntryKind>{{"Real", EntryKind::Folder},
                                                               {".hidden", EntryKind::Folder},
                                                               {"file.txt", EntryKind::File},
                                                               {"Linked", EntryKind::Folder},
                                                               {"FileLink", EntryKind::File},
                                                               {"Dangling", EntryKind::Other},
                                                               {"Loop", EntryKind::Other},
                                                               {"Pipe", EntryKind::Other}}));
    const Folder linked = fs.openChild(assets, "Linked");
    EXPECT_EQ(linked.path, tree.path("Assets/Linked"));
    EXPECT_EQ(kinds(linked), (std::map<std::string, EntryKind>{{"Blueprints.pak", EntryKind::File}}));

    // A folder opened through a link is known as the folder it leads to.
    struct stat target, self;
    ASSERT_EQ(::stat(outside.path("Mods/RouteB").c_str(), &target), 0);
    ASSERT_EQ(::stat(tree.path("Assets").c_str(), &self), 0);
    EXPECT_EQ(assets.id, (FolderId{self.st_dev, 0, self.st_ino}));
    EXPECT_EQ(linked.id, (FolderId{target.st_dev, 0, target.st_ino}));

    // A link says so, and where a folder entry leads is known without
    // opening it.
    for (const FolderEntry& entry : assets.entries) {
        SCOPED_TRACE(entry.name);
        const std::string name = entry.name;
        EXPECT_EQ(entry.link, name == "Linked" || name == "FileLink" || name == "Dangling" || name == "Loop");
        const FolderId expected = entry.kind == EntryKind::Folder ? fs.identityOf(fs.openChild(assets, name)) : FolderId{};
        EXPECT_EQ(fs.identityOfChild(assets, name), expected);
    }
}

TEST(PosixFileSystem, OnlyTheAssetsNameMatchesInAnyCaseTheExactSpellingFirst) {
    TempTree tree;
    tree.folder("Game/assets/FromLower");
    tree.folder("Game/ASSETS/FromUpper");
    tree.folder("Other/Assets/FromExact");
    tree.folder("Other/assets/FromLower");
    tree.file("Third/Assets");  // a file of that name is no folder
    tree.folder("Third/aSSets/FromMixed");
    PosixFileSystem fs;

    EXPECT_TRUE(fs.folderExists(tree.path("Game")));
    EXPECT_FALSE(fs.folderExists(tree.path("game"))) << "the game folder is taken exactly";
    EXPECT_FALSE(fs.folderExists(tree.path("Third/Assets")));

    for (const auto& [game, inside, onDisk] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"Game", "FromUpper", "ASSETS"}, {"Other", "FromExact", "Assets"}, {"Third", "FromMixed", "aSSets"}}) {
        EXPECT_TRUE(fs.childFolderExists(tree.path(game), "Assets")) << game;
        const Folder assets = fs.openFolder(tree.path(game), "Assets");
        EXPECT_EQ(assets.path, tree.path(game + "/" + onDisk)) << "named in messages as it is on disk";
        ASSERT_EQ(assets.entries.size(), 1u) << game;
        EXPECT_EQ(assets.entries[0].name, inside) << game;
    }
    EXPECT_FALSE(fs.childFolderExists(tree.path("Missing"), "Assets"));
    EXPECT_FALSE(fs.childFolderExists(tree.path("Game/assets"), "Assets"));
    EXPECT_THROW(fs.openFolder(tree.path("Game/assets"), "Assets"), HostError);

    // A game folder that may be searched but not read: Assets spelled
    // exactly needs no listing of it; any other spelling does, and says why.
    tree.folder("Searchable/Assets/P");
    tree.folder("Other/Searchable/assets/P");
    for (const char* game : {"Searchable", "Other/Searchable"}) ::chmod(tree.path(game).c_str(), 0111);
    EXPECT_EQ(fs.openFolder(tree.path("Searchable"), "Assets").entries.size(), 1u);
    EXPECT_THROW(fs.childFolderExists(tree.path("Other/Searchable"), "Assets"), HostError);
    for (const char* game : {"Searchable", "Other/Searchable"}) ::chmod(tree.path(game).c_str(), 0755);
}

// Once a folder is read, its path may be swapped for a link to somewhere
// else; everything the walk still does in it happens in the folder it read.
TEST(PosixFileSystem, WorksInTheFolderThatWasReadWhateverItsPathLeadsToNow) {
    TempTree outside;
    outside.file("Victim/Blueprints.pak");
    outside.folder("Victim/Route");
    TempTree tree;
    tree.file("Assets/P/Blueprints.pak");
    tree.file("Assets/P/Route/Original.txt");
    PosixFileSystem fs;
    const Folder assets = fs.openFolder(tree.root(), "Assets");
    const Folder provider = fs.openChild(assets, "P");

    fs::rename(tree.path("Assets/P"), tree.path("Assets/Moved"));
    fs::create_directory_symlink(outside.path("Victim"), tree.path("Assets/P"));

    EXPECT_EQ(kinds(fs.openChild(provider, "Route")), (std::map<std::string, EntryKind>{{"Original.txt", EntryKind::File}}));
    fs.deleteFile(provider, "Blueprints.pak");
    EXPECT_FALSE(tree.exists("Assets/Moved/Blueprints.pak"));
    EXPECT_TRUE(outside.exists("Victim/Blueprints.pak"));
}

TEST(PosixFileSystem, DeletingALinkRemovesTheLinkNeverItsTarget) {
    TempTree outside;
    outside.file("Kept.pak");
    TempTree tree;
    tree.folder("Assets/P");
    fs::create_symlink(outside.path("Kept.pak"), tree.path("Assets/P/Blueprints.pak"));
    PosixFileSystem fs;
    const Folder folder = fs.openChild(fs.openFolder(tree.root(), "Assets"), "P");
    ASSERT_EQ(kinds(folder).at("Blueprints.pak"), EntryKind::File);
    fs.deleteFile(folder, "Blueprints.pak");
    EXPECT_FALSE(tree.exists("Assets/P/Blueprints.pak"));
    EXPECT_TRUE(outside.exists("Kept.pak"));
}

TEST(PosixFileSystem, RefusalsNameTheEntryAndTheReason) {
    TempTree tree;
    tree.file("Assets/P/Blueprints.pak");
    tree.file("Assets/Q/Blueprints.pak");
    tree.folder("Assets/R/Blueprints.pak");
    tree.file("Assets/S/Blueprints.pak");
    tree.folder("Assets/T");
    ASSERT_EQ(::mkfifo(tree.path("Assets/T/Blueprints.pak").c_str(), 0644), 0);
    tree.folder("Assets/Locked");
    ::chmod(tree.path("Assets/P/Blueprints.pak").c_str(), 0444);
    // Others may write it, its owner may not: a permission, not the setting.
    ::chmod(tree.path("Assets/S/Blueprints.pak").c_str(), 0466);
    PosixFileSystem fs;
    const Folder assets = fs.openFolder(tree.root(), "Assets");
    const Folder p = fs.openChild(assets, "P"), q = fs.openChild(assets, "Q"), r = fs.openChild(assets, "R"),
                 s = fs.openChild(assets, "S"), t = fs.openChild(assets, "T");
    ::chmod(tree.path("Assets/Q").c_str(), 0555);
    ::chmod(tree.path("Assets/Locked").c_str(), 0);

    struct Case {
        std::function<void()> call;
        std::string path, reason;
    } cases[] = {
        {[&] { fs.deleteFile(p, "Blueprints.pak"); }, "Assets/P/Blueprints.pak", "read-only"},
        {[&] { fs.deleteFile(q, "Blueprints.pak"); }, "Assets/Q/Blueprints.pak", "Access is denied"},
        {[&] { fs.deleteFile(s, "Blueprints.pak"); }, "Assets/S/Blueprints.pak", "may not change this file"},
        {[&] { fs.deleteFile(r, "Blueprints.pak"); }, "Assets/R/Blueprints.pak", "It is now a folder"},
        {[&] { fs.deleteFile(t, "Blueprints.pak"); }, "Assets/T/Blueprints.pak", "no longer a regular file"},
        {[&] { fs.deleteFile(p, "Gone.pak"); }, "Assets/P/Gone.pak", "no longer there"},
        {[&] { fs.openChild(assets, "Locked"); }, "Assets/Locked", "may open and read this folder"},
        {[&] { fs.openChild(assets, "Missing"); }, "Assets/Missing", "no longer there"},
    };
    for (const Case& c : cases) {
        const std::string text = descriptionOf(c.call);
        EXPECT_NE(text.find(tree.path(c.path) + "\r\n"), std::string::npos) << text;
        EXPECT_NE(text.find(c.reason), std::string::npos) << text;
    }
    EXPECT_TRUE(tree.exists("Assets/P/Blueprints.pak"));
    EXPECT_TRUE(tree.exists("Assets/Q/Blueprints.pak"));
    EXPECT_TRUE(tree.exists("Assets/R/Blueprints.pak"));
    EXPECT_TRUE(tree.exists("Assets/S/Blueprints.pak"));
    EXPECT_TRUE(tree.exists("Assets/T/Blueprints.pak"));
}

TEST(PosixFileSystem, NamesThatAreNotUtf8AreKeptByteForByte) {
    TempTree tree;
    const std::string name = "Prov\xe9\xff";  // Latin-1 é and a stray byte
    tree.file("Assets/" + name + "/Blueprints.pak");
    PosixFileSystem fs;
    const Folder assets = fs.openFolder(tree.root(), "Assets");
    ASSERT_EQ(assets.entries.size(), 1u);
    EXPECT_EQ(assets.entries[0].name, name);
    fs.deleteFile(fs.openChild(assets, name), "Blueprints.pak");
    EXPECT_FALSE(tree.exists("Assets/" + name + "/Blueprints.pak"));
}

// Makes `names` as nested folders below `base` one at a time relative to
// each other, since the whole path is longer than any one system call takes.
void makeDeep(const std::string& base, const std::vector<std::string>& names, const std::string& file) {
    int fd = ::open(base.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (const std::string& name : names) {
        ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0) << name;
        const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
        ASSERT_GE(fd, 0);
    }
    const int out = ::openat(fd, file.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(out, 0);
    ::close(out);
    ::close(fd);
}

TEST(PosixFileSystem, ListsAndDeletesAtAnyPathLength) {
    TempTree tree;
    // A game folder just short of the longest path the system takes: Assets
    // and everything below are looked up inside the folders already open.
    std::string game = tree.root();
    const std::string segment(200, 'g');
    while (game.size() < 3890) {
        game += "/" + segment;
        fs::create_directories(game);
    }
    game += "/" + std::string(4090 - game.size() - 1, 'h');
    fs::create_directories(game);
    ASSERT_EQ(game.size(), 4090u);
    const std::string longName(250, 'r');
    makeDeep(game, {"Assets", "Provider" + longName.substr(8), longName}, "Blueprints.pak");

    FormState state;
    state.GamePath = game;
    bench::BenchHost host;  // the real POSIX file system, messages on standard error
    ASSERT_EQ(CheckPaths(state, host), 0);
    std::string list;
    std::vector<std::string> deleted;
    FileSystem& files = *state.sharedFileSystem(host);
    EXPECT_EQ(WalkArchives(PlanWalk(state, host), list,
                           [&](const Folder& f, const std::string& name) {
                               files.deleteFile(f, name);
                               deleted.push_back(f.path + "/" + name);
                           }),
              1);
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_GT(deleted[0].size(), 4096u);
    std::string list2;
    EXPECT_EQ(WalkArchives(PlanWalk(state, host), list2, {}), 0) << "it is gone";
}

// The file system with a hook before each folder below Assets is opened:
// another program changing the tree while the walk runs.
class ChangingFileSystem : public PosixFileSystem {
public:
    std::function<void(const std::string& path)> beforeOpenChild;
    Folder openChild(const Folder& parent, const std::string& name) override {
        if (beforeOpenChild) beforeOpenChild(parent.path + "/" + name);
        return PosixFileSystem::openChild(parent, name);
    }
};

// What a sandbox whose system-call filter predates openat2 does: the call
// fails with ENOSYS, as on a kernel older than 5.6. For this process only.
bool refuseOpenat2() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_openat2, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

// A bind mount, or a folder swapped for a link after it was listed, leading
// back into Assets, or a link back to its own level-1 folder: the folder
// actually opened is known for what it is and skipped, so the archive lying
// in Assets itself is never touched, nor one listed twice. Also where the
// system cannot tell plain folders apart without identifying each.
struct RouteCase {
    const char* name;
    std::function<void(const TempTree&, ChangingFileSystem&)> plant;
    bool ownMounts = false;
};
const std::vector<RouteCase>& routeCases() {
    static const std::vector<RouteCase> cases = {
        {"Assets bound below itself",
         [](const TempTree& t, ChangingFileSystem&) {
             t.folder("Game/Assets/P/Bound");
             if (::mount(t.path("Game/Assets").c_str(), t.path("Game/Assets/P/Bound").c_str(), nullptr, MS_BIND,
                         nullptr) != 0)
                 ::_exit(77);
         },
         true},
        {"a provider swapped for a link to Assets after Assets was read",
         [](const TempTree& t, ChangingFileSystem& files) {
             t.folder("Game/Assets/Swapped");
             files.beforeOpenChild = [&t](const std::string& path) {
                 if (path != t.path("Game/Assets/Swapped")) return;
                 fs::remove(path);
                 fs::create_directory_symlink(".", path);
             };
         }},
        {"a level-2 link back to its own level-1 folder",
         [](const TempTree& t, ChangingFileSystem&) { fs::create_directory_symlink(".", t.path("Game/Assets/P/Back")); }},
    };
    return cases;
}

// Plants case `index` and walks it; 0 when the rule held.
int walkRouteCase(std::size_t index) {
    TempTree tree;
    tree.file("Game/Assets/Blueprints.pak");
    tree.file("Game/Assets/P/Blueprints.pak");
    auto files = std::make_unique<ChangingFileSystem>();
    routeCases()[index].plant(tree, *files);
    FormState state;
    state.GamePath = tree.path("Game");
    state.fileSystemObject = std::move(files);
    bench::BenchHost host;
    if (CheckPaths(state, host) != 0) return 1;
    // Listed once, and deleted once: a deletion alone would hide a
    // second visit, finding the archive gone the second time.
    std::string listed, list;
    WalkArchives(PlanWalk(state, host), listed, {});
    FileSystem& used = *state.sharedFileSystem(host);
    WalkArchives(PlanWalk(state, host), list, [&](const Folder& f, const std::string& n) { used.deleteFile(f, n); });
    if (listed != "Assets/P/Blueprints.pak\r\n" || list != listed) return 2;
    return tree.exists("Game/Assets/Blueprints.pak") ? 0 : 3;
}

// The same in a process of its own: its own mounts, or a sandbox.
const testing::Child routeCaseChild("route-case", [](const std::vector<std::string>& args) {
    const std::size_t index = std::stoul(args.at(0));
    if (routeCases()[index].ownMounts && !testing::enterOwnMountNamespace()) return 77;
    if (args.at(1) == "sandboxed" && !refuseOpenat2()) return 78;
    return walkRouteCase(index);
});

TEST(PosixFileSystem, NoRouteLeadsOutOfTheTwoLevels) {
    for (const bool sandboxed : {false, true})
        for (std::size_t index = 0; index < routeCases().size(); ++index) {
            const RouteCase& c = routeCases()[index];
            SCOPED_TRACE(std::string(c.name) + (sandboxed ? ", in a sandbox without openat2" : ""));
            const int result = sandboxed || c.ownMounts
                                   ? testing::runChild({"route-case", std::to_string(index), sandboxed ? "sandboxed" : "-"})
                                   : walkRouteCase(index);
            if (result == 77) {
                std::cout << "skipped: no mount namespace for this user here\n";
                continue;
            }
            EXPECT_EQ(result, 0);
        }
}

// Read ahead, a level-1 folder lets go of its handle once its children are
// read; one whose child came by a link is identified first, so that the
// link back to it is still known for a loop.
TEST(PosixFileSystem, AFolderReadAheadIsStillKnownForTheLoopBackToIt) {
    TempTree tree;
    for (int p = 0; p < 12; ++p) {
        const std::string provider = "Game/Assets/P" + std::to_string(p);
        tree.file(provider + "/Blueprints.pak");
        fs::create_directory_symlink(".", tree.path(provider + "/Back"));
    }
    FormState state;
    state.GamePath = tree.path("Game");
    state.folderReaders = 4;
    bench::BenchHost host;
    ASSERT_EQ(CheckPaths(state, host), 0);
    std::string listed;
    EXPECT_EQ(WalkArchives(PlanWalk(state, host), listed, {}), 12);
    EXPECT_EQ(listed.find("Back"), std::string::npos) << listed;
}

// The walk reads folders from several threads at once through one file
// system object and one open Assets folder.
TEST(PosixFileSystem, ReadsFromSeveralThreadsAtOnceAsFromOne) {
    TempTree tree;
    for (int p = 0; p < 24; ++p)
        for (int r = 0; r < 6; ++r) tree.file("Assets/P" + std::to_string(p) + "/R" + std::to_string(r) + "/Blueprints.pak");
    PosixFileSystem fs;
    const Folder assets = fs.openFolder(tree.root(), "Assets");
    using Reading = std::vector<std::pair<std::string, std::vector<std::string>>>;
    auto readAll = [&] {
        Reading out;
        for (const FolderEntry& e1 : assets.entries) {
            const Folder level1 = fs.openChild(assets, e1.name);
            for (const FolderEntry& e2 : level1.entries) {
                const Folder level2 = fs.openChild(level1, e2.name);
                std::vector<std::string> names;
                for (const FolderEntry& e : level2.entries) names.push_back(e.name);
                out.emplace_back(level2.path, names);
            }
        }
        return out;
    };
    const Reading alone = readAll();
    ASSERT_EQ(alone.size(), 24u * 6u);
    std::vector<Reading> together(6);
    std::vector<std::thread> threads;
    for (Reading& r : together) threads.emplace_back([&r, &readAll] { r = readAll(); });
    for (std::thread& t : threads) t.join();
    for (const Reading& r : together) EXPECT_EQ(r, alone);
}

}  // namespace
}  // namespace quelmar::linux_host

// Where the locate dialog opens, on pretend homes built from real folders,
// links and files, with the real host reading HOME and WINEPREFIX.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/linux/linux_host.h"
#include "tests/linux/temp_tree.h"

namespace quelmar::linux_host {
namespace {

using testing::TempTree;

const std::string kSteam = "home/.local/share/Steam";
const std::string kCommon = kSteam + "/steamapps/common";
const std::string kLibraryFile = kSteam + "/steamapps/libraryfolders.vdf";

// Each line of a tree: "path/" a folder, "path -> target" a link, "path |" a
// FIFO, "path = text" a file holding text, anything else an empty file. An
// @ in a text or target stands for the tree's root.
void build(const TempTree& tree, const std::vector<std::string>& lines) {
    const auto rooted = [&](std::string s) {
        for (std::size_t at; (at = s.find('@')) != std::string::npos;) s.replace(at, 1, tree.root());
        return s;
    };
    for (const auto& line : lines) {
        if (const auto at = line.find(" -> "); at != std::string::npos) {
            tree.folder(std::filesystem::path(line.substr(0, at)).parent_path());
            std::filesystem::create_symlink(rooted(line.substr(at + 4)), tree.path(line.substr(0, at)));
        } else if (const auto eq = line.find(" = "); eq != std::string::npos) {
            tree.file(line.substr(0, eq), rooted(line.substr(eq + 3)));
        } else if (line.ends_with(" |")) {
            tree.folder(std::filesystem::path(line).parent_path());
            ASSERT_EQ(::mkfifo(tree.path(line.substr(0, line.size() - 2)).c_str(), 0600), 0);
        } else if (line.ends_with('/')) {
            tree.folder(line);
        } else {
            tree.file(line);
        }
    }
}

TEST(LocateDialogStart, SearchesStoreLibrariesThenWinePrefixesThenHome) {
    const struct {
        const char* what;
        std::vector<std::string> tree;
        std::string winePrefix;  // relative to the root; empty: unset
        std::string folder;      // relative to the root
        std::vector<std::string> places;
    } cases[] = {
        {"the root's own library, the name in any case; the store before Wine",
         {kCommon + "/GameFolderA/bin/RailSim.exe", kCommon + "/GameFolderB/RailSim.exe/",
          kCommon + "/GameFolderX/railsim.EXE", "home/.wine/drive_c/Program Files/GameFolderV/RailSim.exe"},
         {}, kCommon + "/GameFolderX", {kCommon}},
        {"a second library, and one reached through a link, each offered once",
         {kCommon + "/GameFolderA/Other.exe",
          kLibraryFile + R"( = libraryfolders { 0 { path "@/)" + kSteam + R"(" } 1 { path "@/drive2/LibraryB/" }
                                2 { path "@/mnt/LinkC" } 3 { path "@/mnt/LinkB" } })",
          "drive2/LibraryB/steamapps/common/GameFolderY/Other.exe",
          "drive3/LibraryC/steamapps/common/GameFolderZ/RailSim.exe", "mnt/LinkC -> @/drive3/LibraryC",
          "mnt/LinkB -> @/drive2/LibraryB", "home/.steam/steam -> @/" + kSteam,
          "home/.steam/root -> ../.local/share/Steam"},
         {}, "mnt/LinkC/steamapps/common/GameFolderZ",
         {kCommon, "drive2/LibraryB/steamapps/common", "mnt/LinkC/steamapps/common"}},
        {"other store roots, a library file that is a FIFO; then ~/.wine, one level down",
         {"home/.var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/common/GameFolderF/",
          "home/snap/steam/common/.local/share/Steam/steamapps/libraryfolders.vdf |",
          "home/snap/steam/common/.local/share/Steam/steamapps/common/", "home/.wine/drive_c/RailSim.exe",
          "home/.wine/drive_c/Games/GameFolderG/RailSim.exe", "home/.wine/drive_c/Program Files/A/B/C/RailSim.exe",
          "home/.wine/drive_c/Program Files/GameFolderV/RailSim.exe"},
         "missing", "home/.wine/drive_c/Program Files/GameFolderV",
         {"home/.var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/common",
          "home/snap/steam/common/.local/share/Steam/steamapps/common"}},
        {"$WINEPREFIX before ~/.wine, two levels down",
         {"prefixA/drive_c/Program Files (x86)/VendorA/GameFolderW/RailSim.exe",
          "prefixA/drive_c/Program Files/VendorB/Other.exe",
          "home/.wine/drive_c/Program Files/GameFolderV/RailSim.exe"},
         "prefixA", "prefixA/drive_c/Program Files (x86)/VendorA/GameFolderW", {}},
        {"nothing found: the home folder",
         {kLibraryFile + " = libraryfolders { 1 { path @/gone } \x01\x02{{", kCommon + "/GameFolderA/",
          "home/.wine/drive_c/Program Files/", "lost/drive_c/Program Files/RailSim.exe"},
         "lost", "home", {kCommon}},
    };
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "/";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempTree tree;
        build(tree, c.tree);
        tree.folder("home");
        ::setenv("HOME", tree.path("home").c_str(), 1);
        if (!c.winePrefix.empty()) ::setenv("WINEPREFIX", tree.path(c.winePrefix).c_str(), 1);
        const LocateStart start = LinuxHost().locateDialogStart();
        ::setenv("HOME", home.c_str(), 1);
        ::unsetenv("WINEPREFIX");
        EXPECT_EQ(start.folder, tree.path(c.folder));
        std::vector<std::string> places, found;
        for (const auto& place : c.places) places.push_back(tree.path(place));
        for (const auto& place : start.places) found.push_back(place.path);
        EXPECT_EQ(found, places);
    }
}

}  // namespace
}  // namespace quelmar::linux_host

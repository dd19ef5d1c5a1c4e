#include <gtest/gtest.h>

#include "core/game_search.h"

namespace quelmar {
namespace {

using Paths = std::vector<std::string>;
using namespace std::string_literals;

std::string nested(int depth) {
    std::string blocks;
    while (depth-- > 0) blocks += "k { ";
    return blocks;
}

const std::string kTwoLibraries = R"("libraryfolders"
{
	"contentstatsid"	"-1234"
	"0" { "path" "/home/u/.local/share/Steam" "label" "" "apps" { "228980" "123" } }
	"1" { "label" "sd card" "path" "/mnt/sd/LibraryB" }
}
)";

TEST(ReadLibraryFolders, ReadsWhatIsWellFormedAndStopsAtAFault) {
    const struct {
        const char* what;
        std::string text;
        Paths paths;
    } cases[] = {
        {"current layout", kTwoLibraries, {"/home/u/.local/share/Steam", "/mnt/sd/LibraryB"}},
        {"older layout, keys in any case", R"("LibraryFolders" { "TimeNext" "1" "1" "/a" "2" "/b" })", {"/a", "/b"}},
        {"escapes, comments, byte-order mark",
         "\xEF\xBB\xBF// by hand\n" R"("libraryfolders" { // one
             "0" { "Path" "/a \"b\"\\c\d" } })",
         {"/a \"b\"\\c\\d"}},
        {"unquoted tokens", "libraryfolders { 0 { path /mnt/u } 1 /mnt/v }", {"/mnt/u", "/mnt/v"}},
        {"only numbered entries under libraryfolders count",
         R"("other" { "0" { "path" "/x" } } "libraryfolders" { "a" { "path" "/y" } "0" { "apps" { "path" "/z" } }})",
         {}},
        {"an unquoted path cut off", "libraryfolders { 0 { path /mnt/u } 1 { path /mnt/Lib", {"/mnt/u"}},
        {"stray closing brace", R"("libraryfolders" { "1" "/a" } } "libraryfolders" { "1" "/b" })", {"/a"}},
        {"block without a key", R"({ "libraryfolders" { "1" "/a" } })", {}},
        {"NUL byte", "libraryfolders { 1 \"/a\" 2 \"/b\0c\" 3 \"/d\" }"s, {"/a"}},
        {"binary", "\x7f\x45LF\x02\x01\xff\xfe\x89libraryfolders\x9c{\x01 1 { path /a }"s, {}},
        {"deeper than any library file", R"("libraryfolders" { "1" "/a" )" + nested(100000) + R"("1" "/b")", {"/a"}},
        {"too big", R"("libraryfolders" { "1" "/a" })" + std::string(kLibraryFileLimit, ' '), {}},
        {"at the size limit", R"("libraryfolders" { "1" "/a" })" + std::string(kLibraryFileLimit - 29, ' '), {"/a"}},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadLibraryFolders(c.text), c.paths) << c.what;
}

// A store library with more games than the search may read: it stops
// reading, yet still offers every library and falls back to the home folder.
TEST(FindLocateStart, ReadsABoundedNumberOfFolders) {
    struct Disk : SearchDisk {
        int listed = 0;
        std::optional<std::string> readFile(const std::string&, std::size_t) override {
            return "libraryfolders { 1 { path /mnt/LibraryB } }";
        }
        // Every folder holds a thousand; only those of the second library hold the game.
        std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) override {
            ++listed;
            std::vector<FolderEntry> entries(1000, {"GameFolderX", EntryKind::Folder});
            entries.push_back({"RailSim.exe", path.starts_with("/mnt/") ? EntryKind::File : EntryKind::Other});
            return entries;
        }
        std::optional<FolderId> folderId(const std::string& path) override {
            if (!path.starts_with("/home/u/.local/share/Steam") && !path.starts_with("/mnt/")) return std::nullopt;
            return FolderId{1, 0, std::hash<std::string>{}(path)};
        }
    } disk;
    const LocateStart start = FindLocateStart(disk, "/home/u/", "");
    EXPECT_LE(disk.listed, kSearchFolderReads);
    EXPECT_EQ(start.folder, "/home/u");
    EXPECT_EQ(start.places, (Paths{"/home/u/.local/share/Steam/steamapps/common", "/mnt/LibraryB/steamapps/common"}));
}

}  // namespace
}  // namespace quelmar

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "core/ascii.h"
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
    EXPECT_EQ(start.places, (std::vector<Place>{{"/home/u/.local/share/Steam/steamapps/common", "Steam"},
                                                {"/mnt/LibraryB/steamapps/common", "LibraryB"}}));
}

// A Windows disk made of paths: each line a file, with " = text" its text,
// or a folder when it ends in a backslash; the folders above are implied.
// Names are found in any case and with either slash, as Windows finds them.
class PretendWindowsDisk : public SearchDisk {
public:
    explicit PretendWindowsDisk(const Paths& lines) {
        for (const auto& line : lines) {
            const auto eq = line.find(" = ");
            std::string path = line.substr(0, eq);
            const bool folder = path.ends_with('\\');
            if (folder) path.pop_back();
            entries_[key(path)] = {path, folder ? std::nullopt : std::optional(eq == std::string::npos ? "" : line.substr(eq + 3))};
            for (auto at = path.rfind('\\'); at != std::string::npos && at > 2; at = path.rfind('\\', at - 1))
                entries_.emplace(key(path.substr(0, at)), Entry{path.substr(0, at), std::nullopt});
        }
    }
    std::optional<std::string> readFile(const std::string& path, std::size_t limit) override {
        const auto it = entries_.find(key(path));
        if (it == entries_.end() || !it->second.text) return std::nullopt;
        return it->second.text->substr(0, limit);
    }
    std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) override {
        if (!folderId(path)) return std::nullopt;
        std::vector<FolderEntry> listed;
        const std::string prefix = key(path) + '\\';
        for (const auto& [name, entry] : entries_)
            if (name.starts_with(prefix) && name.find('\\', prefix.size()) == std::string::npos)
                listed.push_back({entry.path.substr(prefix.size()), entry.text ? EntryKind::File : EntryKind::Folder});
        return listed;
    }
    std::optional<FolderId> folderId(const std::string& path) override {
        const auto it = entries_.find(key(path));
        if (it == entries_.end() || it->second.text) return std::nullopt;
        return FolderId{7, 0, std::hash<std::string>{}(it->first)};
    }

private:
    struct Entry {
        std::string path;                 // as first spelt
        std::optional<std::string> text;  // none: a folder
    };
    static std::string key(std::string path) {
        std::replace(path.begin(), path.end(), '/', '\\');
        while (path.size() > 3 && path.back() == '\\') path.pop_back();
        std::transform(path.begin(), path.end(), path.begin(), asciiLower);
        return path;
    }
    std::map<std::string, Entry> entries_;
};

TEST(FindWindowsLocateStart, TheToolsFolderThenTheStoresLibrariesThenTheToolsFolder) {
    const std::string tool = R"(C:\Users\PlayerA\Downloads\quelmar)";
    const std::string steam = R"(C:\Program Files (x86)\Steam)";
    const std::string steamFile = steam + R"(\steamapps\libraryfolders.vdf = )";
    const struct {
        const char* what;
        Paths disk;
        Paths storeFolders;  // as the registry gives them, in its order
        std::string folder;
        std::vector<Place> places;
    } cases[] = {
        {"the game beside the tool, the libraries still offered",
         {tool + R"(\RailSim.exe)", steam + R"(\steamapps\common\GameFolderB\RailSim.exe)"},
         {steam},
         tool,
         {{steam + R"(\steamapps\common)", "Library on C:"}}},
        {"a library the store's file lists; its own root listed again and spelt otherwise is offered once",
         {tool + R"(\Other.exe)", steam + R"(\steamapps\common\GameFolderA\RailSim.exe\)",
          steamFile + R"("libraryfolders" { "0" { "path" "c:\\program files (x86)\\steam" }
                                              "1" { "path" "d:\\LibraryB\\" } "2" { "path" "LibraryR" } })",
          R"(D:\LibraryB\steamapps\common\GameFolderA\Bin\RailSim.exe)",
          R"(D:\LibraryB\steamapps\common\GameFolderB\railsim.EXE)"},
         {"c:/program files (x86)/steam/", steam},
         R"(d:\LibraryB\steamapps\common\GameFolderB)",
         {{R"(c:\program files (x86)\steam\steamapps\common)", "Library on C:"},
          {R"(d:\LibraryB\steamapps\common)", "Library on D:"}}},
        {"libraries spelt with the long-path prefix are offered as the dialog can open them, and once",
         {R"(D:\LibraryA\steamapps\libraryfolders.vdf = libraryfolders { 1 { path "\\\\?\\D:\\LibraryB" }
                                  2 { path "D:\\LibraryB" } 3 { path "//?/unc/ServerA/LibraryC" } })",
          R"(D:\LibraryA\steamapps\common\)", R"(D:\LibraryB\steamapps\common\GameFolderB\RailSim.exe)",
          R"(\\ServerA\LibraryC\steamapps\common\)"},
         {R"(D:\LibraryA)"},
         R"(D:\LibraryB\steamapps\common\GameFolderB)",
         {{R"(D:\LibraryA\steamapps\common)", R"(D:\LibraryA)"},
          {R"(D:\LibraryB\steamapps\common)", R"(D:\LibraryB)"},
          {R"(\\ServerA\LibraryC\steamapps\common)", "LibraryC"}}},
        {"roots that are empty, relative or missing are passed over; a later root is searched",
         {R"(E:\StoreC\steamapps\common\GameFolderC\RailSim.exe)"},
         {"", "StoreC", R"(F:\Gone)", R"(E:\StoreC)"},
         R"(E:\StoreC\steamapps\common\GameFolderC)",
         {{R"(E:\StoreC\steamapps\common)", "Library on E:"}}},
        {"nothing found: the tool's folder; two libraries on one drive are told by their paths",
         {R"(D:\LibraryA\steamapps\common\GameFolderA\)",
          R"(D:\LibraryA\steamapps\libraryfolders.vdf = libraryfolders { 1 { path "D:\\LibraryB" }
                                                              2 { path "\\\\ServerA\\LibraryC" } })",
          R"(D:\LibraryB\steamapps\common\)", R"(\\ServerA\LibraryC\steamapps\common\)"},
         {R"(D:\LibraryA)"},
         tool,
         {{R"(D:\LibraryA\steamapps\common)", R"(D:\LibraryA)"},
          {R"(D:\LibraryB\steamapps\common)", R"(D:\LibraryB)"},
          {R"(\\ServerA\LibraryC\steamapps\common)", "LibraryC"}}},
    };
    for (const auto& c : cases) {
        PretendWindowsDisk disk(c.disk);
        const LocateStart start = FindWindowsLocateStart(disk, tool, c.storeFolders);
        EXPECT_EQ(start.folder, c.folder) << c.what;
        EXPECT_EQ(start.places, c.places) << c.what;
    }
}

}  // namespace
}  // namespace quelmar

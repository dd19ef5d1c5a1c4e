#include <gtest/gtest.h>

#include <map>
#include <random>

#include "core/game_search.h"

namespace quelmar {
namespace {

using Paths = std::vector<std::string>;
using namespace std::string_literals;

std::string repeated(const std::string& part, int times) {
    std::string out;
    while (times-- > 0) out += part;
    return out;
}

const std::string kTwoLibraries = R"("libraryfolders"
{
	"contentstatsid"		"-1234"
	"0"
	{
		"path"		"/home/u/.local/share/Steam"
		"label"		""
		"apps" { "228980" "123" }
	}
	"1"
	{
		"label"		"sd card"
		"path"		"/mnt/sd/LibraryB"
	}
}
)";

TEST(ReadLibraryFolders, ReadsWhatIsWellFormedAndStopsAtAFault) {
    const struct {
        const char* what;
        std::string text;
        Paths paths;
    } cases[] = {
        {"current layout", kTwoLibraries, {"/home/u/.local/share/Steam", "/mnt/sd/LibraryB"}},
        {"older layout, keys in any case",
         "\"LibraryFolders\" { \"TimeNextStatsReport\" \"1\" \"1\" \"/mnt/a\" \"2\" \"/mnt/b\" }",
         {"/mnt/a", "/mnt/b"}},
        {"escapes, comments, byte-order mark",
         "\xEF\xBB\xBF// written by hand\n\"libraryfolders\" { // one\n \"0\" { \"Path\" \"/a \\\"b\\\"\\\\c\\d\" } }",
         {"/a \"b\"\\c\\d"}},
        {"unquoted tokens", "libraryfolders { 0 { path /mnt/u } 1 /mnt/v }", {"/mnt/u", "/mnt/v"}},
        {"only numbered entries under libraryfolders count",
         "\"other\" { \"0\" { \"path\" \"/x\" } } \"libraryfolders\" { \"a\" { \"path\" \"/y\" } \"0\" { \"apps\" { "
         "\"path\" \"/z\" } \"path\" \"\" } }",
         {}},
        {"truncated inside a path", kTwoLibraries.substr(0, kTwoLibraries.find("LibraryB")),
         {"/home/u/.local/share/Steam"}},
        {"truncated in an unquoted path", "libraryfolders { 0 { path /mnt/u } 1 { path /mnt/Lib", {"/mnt/u"}},
        {"braces never closed", "\"libraryfolders\" { \"0\" { \"path\" \"/a\" ", {"/a"}},
        {"stray closing brace ends reading",
         "\"libraryfolders\" { \"1\" \"/a\" } } \"libraryfolders\" { \"1\" \"/b\" }", {"/a"}},
        {"block without a key", "{ \"libraryfolders\" { \"1\" \"/a\" } }", {}},
        {"key without a value", "\"libraryfolders\" { \"1\" \"/a\" \"2\" }", {"/a"}},
        {"NUL byte ends the text", "libraryfolders { 1 \"/a\" 2 \"/b\0c\" 3 \"/d\" }"s, {"/a"}},
        {"deeper than any library file",
         "\"libraryfolders\" { \"1\" \"/a\" " + repeated("k { ", 100000) + "\"1\" \"/b\"", {"/a"}},
        {"too big to be a library file",
         "\"libraryfolders\" { \"1\" \"/a\" }" + std::string(kLibraryFileLimit, ' '), {}},
        {"at the size limit",
         "\"libraryfolders\" { \"1\" \"/a\" }" + std::string(kLibraryFileLimit - 29, ' '), {"/a"}},
    };
    for (const auto& c : cases) EXPECT_EQ(ReadLibraryFolders(c.text), c.paths) << c.what;
}

// Cut at any byte, a file yields some of its libraries in order and never
// the front part of a path; damaged or random bytes never hang or crash it.
TEST(ReadLibraryFolders, CutOrDamagedAnywhere) {
    const Paths whole = ReadLibraryFolders(kTwoLibraries);
    for (std::size_t cut = 0; cut <= kTwoLibraries.size(); ++cut) {
        const Paths read = ReadLibraryFolders(kTwoLibraries.substr(0, cut));
        ASSERT_LE(read.size(), whole.size()) << cut;
        EXPECT_TRUE(std::equal(read.begin(), read.end(), whole.begin())) << "cut at " << cut;
    }
    std::mt19937 random(16);
    const std::string syntax = "{}\"/ \n\0a"s;  // no backslash: every path read is then a piece of the text
    for (int round = 0; round < 2000; ++round) {
        std::string damaged = kTwoLibraries;
        for (int i = 0; i < 4; ++i) damaged[random() % damaged.size()] = syntax[random() % syntax.size()];
        for (const auto& path : ReadLibraryFolders(damaged))
            EXPECT_NE(damaged.find(path), std::string::npos) << path;
    }
    std::string noise(64 * 1024, '\0');
    for (auto& c : noise) c = static_cast<char>(random());
    EXPECT_EQ(ReadLibraryFolders(noise), Paths{});
}

// A store library with more games than the search may read: it stops
// reading, yet still offers every library and falls back to the home folder.
TEST(FindLocateStart, ReadsABoundedNumberOfFolders) {
    struct Disk : SearchDisk {
        std::map<std::string, std::vector<FolderEntry>> folders;
        std::string libraryFile;
        int listed = 0;
        std::optional<std::string> readFile(const std::string& path, std::size_t) override {
            if (path == "/home/u/.local/share/Steam/steamapps/libraryfolders.vdf") return libraryFile;
            return std::nullopt;
        }
        std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) override {
            ++listed;
            const auto it = folders.find(path);
            return it == folders.end() ? std::nullopt : std::optional(it->second);
        }
        std::optional<FolderId> folderId(const std::string& path) override {
            const auto it = folders.find(path);
            if (it == folders.end()) return std::nullopt;
            return FolderId{1, 0, static_cast<std::uint64_t>(std::distance(folders.begin(), it) + 1)};
        }
    } disk;
    const std::string root = "/home/u/.local/share/Steam";
    disk.folders[root] = {};
    disk.folders["/home/u/.wine"] = {};
    for (const auto& library : {root, std::string("/mnt/LibraryB")}) {
        auto& common = disk.folders[library + "/steamapps/common"];
        for (int i = 0; i < 1000; ++i) {
            const std::string name = "GameFolder" + std::to_string(i);
            common.push_back({name, EntryKind::Folder});
            disk.folders[library + "/steamapps/common/" + name] = {{"Other.exe", EntryKind::File}};
        }
    }
    disk.folders["/mnt/LibraryB/steamapps/common/GameFolder999"] = {{"RailSim.exe", EntryKind::File}};
    disk.libraryFile = "libraryfolders { 1 { path /mnt/LibraryB } }";

    const LocateStart start = FindLocateStart(disk, "/home/u/", "");
    EXPECT_LE(disk.listed, kSearchFolderReads);
    EXPECT_EQ(start.folder, "/home/u");
    EXPECT_EQ(start.places, (Paths{root + "/steamapps/common", "/mnt/LibraryB/steamapps/common"}));
}

}  // namespace
}  // namespace quelmar

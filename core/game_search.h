#pragma once
// Where the locate dialog opens: the folder of a RailSim.exe found in a
// game store's libraries (on Linux, where the game runs through the store's
// compatibility layer, then in the Wine prefixes, else the home folder; on
// Windows after the program's own folder, else that folder). Also the
// libraries' game folders, offered beside the dialog's own places so that a
// second library is one click away. One reader of the store's library file
// serves both systems; only the roots differ.
//
// The search runs while the user waits for the dialog, on files nobody
// vouches for: it reads a bounded amount, and anything missing, unreadable
// or malformed is passed over without a word.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host.h"

namespace quelmar {

// A library file bigger than this is not the store's and is not read.
inline constexpr std::size_t kLibraryFileLimit = 1 << 20;
// At most this many folders are listed in one search.
inline constexpr int kSearchFolderReads = 300;

// The library paths of a store's `libraryfolders.vdf`: the "path" of each
// numbered entry under "libraryfolders", or, in the older layout, the
// numbered entry's own value; in file order, as written. Reads the nested
// `"key" "value"` / `{ }` format with backslash escapes, `//` comments and
// unquoted tokens. On malformed text it returns what it read before the
// fault; on text over kLibraryFileLimit, nothing.
std::vector<std::string> ReadLibraryFolders(std::string_view text);

// The few things the search needs from the disk. None of them raises: a
// thing that cannot be read is reported as absent.
class SearchDisk {
public:
    virtual ~SearchDisk() = default;
    // The first `limit` bytes of the regular file at `path` (all of it when
    // shorter); nothing when there is no such file or it cannot be read.
    virtual std::optional<std::string> readFile(const std::string& path, std::size_t limit) = 0;
    // The entries of the folder at `path`, links followed for their kind;
    // nothing when it cannot be read.
    virtual std::optional<std::vector<FolderEntry>> listFolder(const std::string& path) = 0;
    // The identity of the folder that `path` leads to, links followed;
    // nothing when it leads to no folder.
    virtual std::optional<FolderId> folderId(const std::string& path) = 0;
};

// How the system the search runs for spells paths.
enum class PathStyle { Posix, Windows };

// Where the dialog starts and which libraries it offers on Linux. `home` and
// `winePrefix` are absolute paths or empty (a relative one is ignored: it
// would be looked up from wherever the program happened to be started).
LocateStart FindLocateStart(SearchDisk& disk, const std::string& home, const std::string& winePrefix);

// The same on Windows: the program's own folder when the game is there
// beside it, else the first game folder in the libraries of the stores
// installed at `storeFolders` (in the order given, as the registry tells
// them; empty or missing ones are passed over), else the program's folder.
// Every library found is offered, whichever folder the dialog opens in.
LocateStart FindWindowsLocateStart(SearchDisk& disk, const std::string& programFolder,
                                   const std::vector<std::string>& storeFolders);

}  // namespace quelmar

#include "game_search.h"

#include <algorithm>
#include <array>

#include "ascii.h"
#include "texts.h"

namespace quelmar {

namespace {

// ---- The library file -------------------------------------------------------

// Blocks nest two deep in a real library file; anything far deeper is not one.
constexpr std::size_t kDeepestBlock = 32;

enum class TokenKind { Text, Open, Close, End };

struct Token {
    TokenKind kind;
    std::string text;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// Splits the text into strings and braces. A NUL byte is no part of any
// text file: reading stops there. A token cut off by the end of the text is
// dropped, since it may be the front part of a path.
class Tokens {
public:
    explicit Tokens(std::string_view text) : text_(text) {
        if (text_.starts_with("\xEF\xBB\xBF")) text_.remove_prefix(3);  // a byte-order mark some editors add
    }

    Token next() {
        skipBlanks();
        if (pos_ >= text_.size() || text_[pos_] == '\0') return end();
        const char c = text_[pos_];
        if (c == '{' || c == '}') {
            ++pos_;
            return {c == '{' ? TokenKind::Open : TokenKind::Close, {}};
        }
        return c == '"' ? quoted() : unquoted();
    }

private:
    // Spaces and `//` comments only separate tokens; a comment runs to the
    // end of its line.
    void skipBlanks() {
        for (;;) {
            while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
            if (!atComment()) return;
            const std::size_t eol = text_.find('\n', pos_);
            pos_ = eol == std::string_view::npos ? text_.size() : eol;
        }
    }

    bool atComment() const { return pos_ + 1 < text_.size() && text_[pos_] == '/' && text_[pos_ + 1] == '/'; }

    Token end() {
        pos_ = text_.size();
        return {TokenKind::End, {}};
    }

    Token quoted() {
        std::string out;
        for (++pos_; pos_ < text_.size();) {
            const char c = text_[pos_++];
            if (c == '"') return {TokenKind::Text, std::move(out)};
            if (c == '\0') break;
            if (c != '\\' || pos_ >= text_.size()) {
                out += c;
                continue;
            }
            const char escaped = text_[pos_++];
            if (escaped == 'n') out += '\n';
            else if (escaped == 't') out += '\t';
            else if (escaped == '\\' || escaped == '"') out += escaped;
            else out.append({c, escaped});  // not an escape: a backslash written as is
        }
        return end();
    }

    Token unquoted() {
        const std::size_t start = pos_;
        while (pos_ < text_.size() && !isSpace(text_[pos_]) && text_[pos_] != '{' && text_[pos_] != '}' &&
               text_[pos_] != '"' && text_[pos_] != '\0')
            ++pos_;
        if (pos_ >= text_.size() || text_[pos_] == '\0') return end();
        return {TokenKind::Text, std::string(text_.substr(start, pos_ - start))};
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

bool isNumber(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether a "key" "value" pair inside the open blocks `blocks` names a library.
bool namesLibrary(const std::vector<std::string>& blocks, const std::string& key) {
    if (blocks.empty() || !sameIgnoringAsciiCase(blocks[0], "libraryfolders")) return false;
    if (blocks.size() == 1) return isNumber(key);  // the older layout: "1" "/path"
    return blocks.size() == 2 && isNumber(blocks[1]) && sameIgnoringAsciiCase(key, "path");
}

// Reads the file pair by pair, keeping the keys of the blocks it is in,
// since only they tell a library path from any other value.
class LibraryFileReader {
public:
    explicit LibraryFileReader(std::string_view text) : tokens_(text) {}

    // The paths up to the end of the text or its first fault.
    std::vector<std::string> read() {
        while (step()) continue;
        return std::move(paths_);
    }

private:
    // One key and its value, or the end of a block. False at the end of the
    // text and at a fault: what follows a fault is not trusted.
    bool step() {
        Token key = tokens_.next();
        if (key.kind == TokenKind::Close && !blocks_.empty()) {
            blocks_.pop_back();
            return true;
        }
        if (key.kind != TokenKind::Text) return false;  // the end, or a brace where a key belongs
        return take(std::move(key.text), tokens_.next());
    }

    // A text value may be a library path; an opening brace enters a block.
    bool take(std::string key, Token value) {
        if (value.kind == TokenKind::Text) {
            if (!value.text.empty() && namesLibrary(blocks_, key)) paths_.push_back(std::move(value.text));
            return true;
        }
        if (value.kind != TokenKind::Open || blocks_.size() >= kDeepestBlock) return false;
        blocks_.push_back(std::move(key));
        return true;
    }

    Tokens tokens_;
    std::vector<std::string> blocks_;
    std::vector<std::string> paths_;
};

// ---- Paths ------------------------------------------------------------------

// Library files and the registry write Windows paths with either slash.
bool isSeparator(PathStyle style, char c) { return c == '/' || (style == PathStyle::Windows && c == '\\'); }
char separatorOf(PathStyle style) { return style == PathStyle::Windows ? '\\' : '/'; }

bool hasDrive(std::string_view path) {
    return path.size() >= 2 && asciiLower(path[0]) >= 'a' && asciiLower(path[0]) <= 'z' && path[1] == ':';
}

// A relative path would be looked up from wherever the program happened to
// be started. On Windows "D:\…" or a share's "\\server\…"; "D:x" and "\x"
// depend on the current drive and folder.
bool isAbsolute(PathStyle style, std::string_view path) {
    if (style == PathStyle::Posix) return !path.empty() && path.front() == '/';
    if (hasDrive(path)) return path.size() >= 3 && isSeparator(style, path[2]);
    return path.size() >= 2 && isSeparator(style, path[0]) && isSeparator(style, path[1]);
}

// One separator throughout and none at the end, so that places are spelt
// alike; a root ("/", "D:\") keeps its own. On Windows without the "\\?\"
// or "\\?\UNC\" prefix, which lifts the system's path length limit but which
// the file dialog cannot open: it would open in the current folder instead.
std::string tidied(PathStyle style, std::string path) {
    if (style == PathStyle::Windows) std::replace(path.begin(), path.end(), '/', '\\');
    if (style == PathStyle::Windows && path.starts_with("\\\\?\\")) {
        const bool share = sameIgnoringAsciiCase(std::string_view(path).substr(4, 4), "UNC\\");
        path = share ? "\\\\" + path.substr(8) : path.substr(4);
    }
    const std::size_t root = style == PathStyle::Posix ? 1 : hasDrive(path) ? 3 : 2;
    while (path.size() > root && isSeparator(style, path.back())) path.pop_back();
    return path;
}

// A folder handed to the search from outside, tidied; empty when relative.
std::string absoluteOrEmpty(PathStyle style, const std::string& path) {
    return isAbsolute(style, path) ? tidied(style, path) : std::string();
}

std::string join(PathStyle style, const std::string& folder, std::string_view name) {
    std::string out = folder;
    if (out.empty() || !isSeparator(style, out.back())) out += separatorOf(style);
    return out += name;
}

std::string_view lastName(PathStyle style, std::string_view path) {
    std::size_t at = path.size();
    while (at > 0 && !isSeparator(style, path[at - 1])) --at;
    return path.substr(at);
}

// ---- The search ---------------------------------------------------------------

constexpr std::array<std::string_view, 5> kStoreRoots = {
    ".local/share/Steam",
    ".steam/steam",
    ".steam/root",
    ".var/app/com.valvesoftware.Steam/.local/share/Steam",
    "snap/steam/common/.local/share/Steam",
};
// Library files may list any number of paths; more than this are not looked at.
constexpr int kLibraryLimit = 64;
constexpr std::string_view kGameExecutable = "RailSim.exe";
constexpr std::string_view kProgramFiles = "Program Files";  // and "Program Files (x86)"

// Folders already taken, by identity where the system gives one, else by path.
class SeenFolders {
public:
    explicit SeenFolders(SearchDisk& disk) : disk_(disk) {}

    // Whether `path` leads to a folder not taken before, which it then takes;
    // a path that leads to no folder is never taken.
    bool firstVisit(const std::string& path) {
        const auto id = disk_.folderId(path);
        if (!id) return false;
        for (const auto& [seenId, seenPath] : seen_)
            if (id->known() ? SameFolder(*id, seenId) : path == seenPath) return false;
        seen_.emplace_back(*id, path);
        return true;
    }

private:
    SearchDisk& disk_;
    std::vector<std::pair<FolderId, std::string>> seen_;
};

struct Library {
    std::string folder;  // the library itself
    std::string games;   // its steamapps/common, where each game has a folder
};

class Search {
public:
    Search(SearchDisk& disk, PathStyle style) : disk_(disk), style_(style) {}

    // The folders directly below `folder`, in name order so that two copies
    // of the game are always found in the same order.
    std::vector<std::string> subfolders(const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& entry : list(folder))
            if (entry.kind == EntryKind::Folder) out.push_back(join(style_, folder, entry.name));
        return out;
    }

    bool holdsGame(const std::string& folder) { return holdsGame(list(folder)); }

    // The first of `folders` that holds the game; the folders below the
    // others are added to `below`.
    std::optional<std::string> firstHoldingGame(const std::vector<std::string>& folders,
                                                std::vector<std::string>* below) {
        for (const auto& folder : folders) {
            const auto entries = list(folder);
            if (holdsGame(entries)) return folder;
            if (below)
                for (const auto& entry : entries)
                    if (entry.kind == EntryKind::Folder) below->push_back(join(style_, folder, entry.name));
        }
        return std::nullopt;
    }

    // Every library of the stores installed at `roots` (each root's own, then
    // those its library file lists), each once and in that order; `game`
    // becomes the first game folder found in them, unless already found.
    std::vector<Library> libraries(const std::vector<std::string>& roots, std::optional<std::string>& game) {
        std::vector<Library> found;
        SeenFolders seenRoots(disk_);
        SeenFolders seenLibraries(disk_);
        int looked = 0;
        for (const auto& root : roots) {
            if (!seenRoots.firstVisit(root)) continue;
            for (auto& folder : libraryFolders(root)) {
                if (looked++ >= kLibraryLimit) break;
                std::string games = join(style_, join(style_, folder, "steamapps"), "common");
                if (!seenLibraries.firstVisit(games)) continue;
                if (!game) game = firstHoldingGame(subfolders(games), nullptr);
                found.push_back({std::move(folder), std::move(games)});
            }
        }
        return found;
    }

    // The game in the first of `prefixes` that holds it, each prefix looked
    // in once however it is spelt; empty ones are passed over.
    std::optional<std::string> gameInWinePrefixes(const std::vector<std::string>& prefixes) {
        SeenFolders seen(disk_);
        for (const auto& prefix : prefixes) {
            if (prefix.empty() || !seen.firstVisit(prefix)) continue;
            if (auto game = gameInWinePrefix(prefix)) return game;
        }
        return std::nullopt;
    }

    // drive_c/Program Files*/*/, then drive_c/Program Files*/*/*/.
    std::optional<std::string> gameInWinePrefix(const std::string& prefix) {
        std::vector<std::string> levelOne;
        for (const auto& programs : subfolders(join(style_, prefix, "drive_c"))) {
            const std::string_view name = lastName(style_, programs);
            if (sameIgnoringAsciiCase(name.substr(0, kProgramFiles.size()), kProgramFiles))
                for (auto& folder : subfolders(programs)) levelOne.push_back(std::move(folder));
        }
        std::vector<std::string> levelTwo;
        if (auto game = firstHoldingGame(levelOne, &levelTwo)) return game;
        return firstHoldingGame(levelTwo, nullptr);
    }

private:
    // A store's own library, then those its library file lists; a relative
    // path there is passed over, as it names no folder for certain.
    std::vector<std::string> libraryFolders(const std::string& root) {
        std::vector<std::string> folders{root};
        const std::string libraryFile = join(style_, join(style_, root, "steamapps"), "libraryfolders.vdf");
        if (const auto text = disk_.readFile(libraryFile, kLibraryFileLimit + 1))
            for (auto& path : ReadLibraryFolders(*text))
                if (isAbsolute(style_, path)) folders.push_back(tidied(style_, std::move(path)));
        return folders;
    }

    static bool holdsGame(const std::vector<FolderEntry>& entries) {
        return std::any_of(entries.begin(), entries.end(), [](const FolderEntry& entry) {
            return entry.kind == EntryKind::File && sameIgnoringAsciiCase(entry.name, kGameExecutable);
        });
    }

    std::vector<FolderEntry> list(const std::string& folder) {
        if (reads_ >= kSearchFolderReads) return {};
        ++reads_;
        auto entries = disk_.listFolder(folder);
        if (!entries) return {};
        std::sort(entries->begin(), entries->end(), [](const auto& a, const auto& b) { return a.name < b.name; });
        return std::move(*entries);
    }

    SearchDisk& disk_;
    PathStyle style_;
    int reads_ = 0;
};

// Each library's games folder under a name the dialog can show: on Windows
// the drive it is on, elsewhere the library folder's own name; a name that
// two libraries would share tells neither apart, so those show their path.
std::vector<Place> places(PathStyle style, const std::vector<Library>& libraries) {
    std::vector<std::string> names;
    for (const auto& library : libraries) {
        std::string name = style == PathStyle::Windows && hasDrive(library.folder)
                               ? texts::libraryOnDrive(library.folder.substr(0, 2))
                               : std::string(lastName(style, library.folder));
        names.push_back(name.empty() ? library.folder : std::move(name));
    }
    std::vector<Place> out;
    for (std::size_t i = 0; i < libraries.size(); ++i) {
        const bool shared = std::count(names.begin(), names.end(), names[i]) > 1;
        out.push_back({libraries[i].games, shared ? libraries[i].folder : names[i]});
    }
    return out;
}

}  // namespace

std::vector<std::string> ReadLibraryFolders(std::string_view text) {
    if (text.size() > kLibraryFileLimit) return {};
    return LibraryFileReader(text).read();
}

LocateStart FindLocateStart(SearchDisk& disk, const std::string& home, const std::string& winePrefix) {
    constexpr PathStyle style = PathStyle::Posix;
    Search search(disk, style);
    std::optional<std::string> game;
    const std::string homeFolder = absoluteOrEmpty(style, home);

    // Every library is offered as a place, even once the game is found.
    std::vector<std::string> roots;
    if (!homeFolder.empty())
        for (const auto root : kStoreRoots) roots.push_back(join(style, homeFolder, root));
    LocateStart start{{}, places(style, search.libraries(roots, game))};

    if (!game) {
        const std::string homePrefix = homeFolder.empty() ? std::string() : join(style, homeFolder, ".wine");
        game = search.gameInWinePrefixes({absoluteOrEmpty(style, winePrefix), homePrefix});
    }

    start.folder = game ? *game : homeFolder;
    return start;
}

LocateStart FindWindowsLocateStart(SearchDisk& disk, const std::string& programFolder,
                                   const std::vector<std::string>& storeFolders) {
    constexpr PathStyle style = PathStyle::Windows;
    Search search(disk, style);
    const std::string program = absoluteOrEmpty(style, programFolder);
    // A player who keeps the tool beside the game finds it there, as ever.
    std::optional<std::string> game;
    if (!program.empty() && search.holdsGame(program)) game = program;

    std::vector<std::string> roots;
    for (const auto& folder : storeFolders)
        if (isAbsolute(style, folder)) roots.push_back(tidied(style, folder));
    LocateStart start{{}, places(style, search.libraries(roots, game))};
    start.folder = game ? *game : program;
    return start;
}

}  // namespace quelmar

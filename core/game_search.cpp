#include "game_search.h"

#include <algorithm>
#include <array>

#include "ascii.h"

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
        for (;;) {
            while (pos_ < text_.size() && isSpace(text_[pos_])) ++pos_;
            if (pos_ >= text_.size() || text_[pos_] == '\0') return end();
            const char c = text_[pos_];
            if (c == '/' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '/') {
                const std::size_t eol = text_.find('\n', pos_);
                pos_ = eol == std::string_view::npos ? text_.size() : eol;
                continue;
            }
            if (c == '{' || c == '}') {
                ++pos_;
                return {c == '{' ? TokenKind::Open : TokenKind::Close, {}};
            }
            return c == '"' ? quoted() : unquoted();
        }
    }

private:
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

bool isAbsolute(const std::string& path) { return !path.empty() && path.front() == '/'; }

// Without trailing separators, so that places are spelt alike; "/" stays.
std::string trimmed(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string join(const std::string& folder, std::string_view name) {
    std::string out = folder;
    if (out.empty() || out.back() != '/') out += '/';
    return out += name;
}

// Folders already taken, by identity where the system gives one, else by path.
class SeenFolders {
public:
    bool firstVisit(const FolderId& id, const std::string& path) {
        for (const auto& [seenId, seenPath] : seen_)
            if (id.known() ? SameFolder(id, seenId) : path == seenPath) return false;
        seen_.emplace_back(id, path);
        return true;
    }

private:
    std::vector<std::pair<FolderId, std::string>> seen_;
};

class Search {
public:
    explicit Search(SearchDisk& disk) : disk_(disk) {}

    // The folders directly below `folder`, in name order so that two copies
    // of the game are always found in the same order.
    std::vector<std::string> subfolders(const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& entry : list(folder))
            if (entry.kind == EntryKind::Folder) out.push_back(join(folder, entry.name));
        return out;
    }

    // The first of `folders` that holds the game; the folders below the
    // others are added to `below`.
    std::optional<std::string> firstHoldingGame(const std::vector<std::string>& folders,
                                                std::vector<std::string>* below) {
        for (const auto& folder : folders) {
            const auto entries = list(folder);
            for (const auto& entry : entries)
                if (entry.kind == EntryKind::File && sameIgnoringAsciiCase(entry.name, kGameExecutable)) return folder;
            if (below)
                for (const auto& entry : entries)
                    if (entry.kind == EntryKind::Folder) below->push_back(join(folder, entry.name));
        }
        return std::nullopt;
    }

    // drive_c/Program Files*/*/, then drive_c/Program Files*/*/*/.
    std::optional<std::string> gameInWinePrefix(const std::string& prefix) {
        std::vector<std::string> levelOne;
        for (const auto& programs : subfolders(join(prefix, "drive_c"))) {
            const std::string_view name = std::string_view(programs).substr(programs.rfind('/') + 1);
            if (sameIgnoringAsciiCase(name.substr(0, kProgramFiles.size()), kProgramFiles))
                for (auto& folder : subfolders(programs)) levelOne.push_back(std::move(folder));
        }
        std::vector<std::string> levelTwo;
        if (auto game = firstHoldingGame(levelOne, &levelTwo)) return game;
        return firstHoldingGame(levelTwo, nullptr);
    }

private:
    std::vector<FolderEntry> list(const std::string& folder) {
        if (reads_ >= kSearchFolderReads) return {};
        ++reads_;
        auto entries = disk_.listFolder(folder);
        if (!entries) return {};
        std::sort(entries->begin(), entries->end(), [](const auto& a, const auto& b) { return a.name < b.name; });
        return std::move(*entries);
    }

    SearchDisk& disk_;
    int reads_ = 0;
};

}  // namespace

std::vector<std::string> ReadLibraryFolders(std::string_view text) {
    std::vector<std::string> paths;
    if (text.size() > kLibraryFileLimit) return paths;
    Tokens tokens(text);
    std::vector<std::string> blocks;  // keys of the blocks we are in
    for (;;) {
        Token key = tokens.next();
        if (key.kind == TokenKind::Close && !blocks.empty()) {
            blocks.pop_back();
            continue;
        }
        if (key.kind != TokenKind::Text) break;  // the end, or a brace where a key belongs
        Token value = tokens.next();
        if (value.kind == TokenKind::Text) {
            if (!value.text.empty() && namesLibrary(blocks, key.text)) paths.push_back(std::move(value.text));
        } else if (value.kind == TokenKind::Open && blocks.size() < kDeepestBlock) {
            blocks.push_back(std::move(key.text));
        } else {
            break;
        }
    }
    return paths;
}

LocateStart FindLocateStart(SearchDisk& disk, const std::string& home, const std::string& winePrefix) {
    LocateStart start;
    Search search(disk);
    std::optional<std::string> game;
    const std::string homeFolder = isAbsolute(home) ? trimmed(home) : std::string();

    // Every library is offered as a place, even once the game is found.
    if (!homeFolder.empty()) {
        SeenFolders roots;
        SeenFolders libraries;
        int librariesLooked = 0;
        for (const auto root : kStoreRoots) {
            const std::string rootFolder = join(homeFolder, root);
            const auto rootId = disk.folderId(rootFolder);
            if (!rootId || !roots.firstVisit(*rootId, rootFolder)) continue;
            std::vector<std::string> libraryFolders{rootFolder};
            const std::string libraryFile = join(rootFolder, "steamapps/libraryfolders.vdf");
            if (const auto text = disk.readFile(libraryFile, kLibraryFileLimit + 1))
                for (auto& path : ReadLibraryFolders(*text))
                    if (isAbsolute(path)) libraryFolders.push_back(trimmed(std::move(path)));
            for (const auto& library : libraryFolders) {
                if (librariesLooked++ >= kLibraryLimit) break;
                const std::string common = join(library, "steamapps/common");
                const auto commonId = disk.folderId(common);
                if (!commonId || !libraries.firstVisit(*commonId, common)) continue;
                start.places.push_back(common);
                if (!game) game = search.firstHoldingGame(search.subfolders(common), nullptr);
            }
        }
    }

    if (!game) {
        SeenFolders prefixes;
        for (const auto& prefix : {isAbsolute(winePrefix) ? trimmed(winePrefix) : std::string(),
                                   homeFolder.empty() ? std::string() : join(homeFolder, ".wine")}) {
            if (prefix.empty()) continue;
            const auto prefixId = disk.folderId(prefix);
            if (!prefixId || !prefixes.firstVisit(*prefixId, prefix)) continue;
            if ((game = search.gameInWinePrefix(prefix))) break;
        }
    }

    start.folder = game ? *game : homeFolder;
    return start;
}

}  // namespace quelmar

// The store's library file comes from the user's home and nobody vouches for
// it. Besides not crashing, leaking or hanging on any bytes, the reader must
// keep what its header says of it:
// - what it returns are library paths: never an empty one;
// - on malformed text it returns what it read before the fault, so text cut
//   anywhere gives a front part of what the whole text gives;
// - text over kLibraryFileLimit gives nothing, text at the limit is read;
// - a well-formed file, in either layout, with escapes, comments, unquoted
//   tokens and entries that are no library, gives its libraries' paths in
//   file order, as written.
// The first three are checked on the input as it is; the last on a file
// written from the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "core/game_search.h"

namespace {

using quelmar::kLibraryFileLimit;
using quelmar::ReadLibraryFolders;
using Paths = std::vector<std::string>;

void check(bool holds, const char* what, std::string_view text) {
    if (holds) return;
    std::fprintf(stderr, "library file reader: %s, for the %zu bytes:\n%.*s\n", what, text.size(),
                 static_cast<int>(text.size()), text.data());
    std::abort();
}

bool startsWith(const Paths& whole, const Paths& front) {
    return front.size() <= whole.size() && std::equal(front.begin(), front.end(), whole.begin());
}

void checkCutsAnywhere(std::string_view text, const Paths& whole, std::size_t cut) {
    check(startsWith(whole, ReadLibraryFolders(text.substr(0, cut))), "a cut gave more or other paths", text);
}

// The input after a complete library entry, in a file just over the limit
// and in one just at it.
void checkTheSizeLimit(std::string_view text) {
    static const std::string kEntry = "\"LibraryFolders\" { \"1\" \"/LibraryA\" }\n";
    static std::string file = kEntry + std::string(kLibraryFileLimit + 1 - kEntry.size(), ' ');
    if (kEntry.size() + text.size() + 1 > kLibraryFileLimit) return;
    // A NUL after the input ends what is read of the file at the limit, so
    // that each run reads its few bytes, not a mebibyte of blanks.
    file.replace(kEntry.size(), text.size() + 1, std::string(text) + '\0');
    check(ReadLibraryFolders(file).empty(), "text over the limit was read", text);
    const Paths atLimit = ReadLibraryFolders(std::string_view(file).substr(0, kLibraryFileLimit));
    check(!atLimit.empty() && atLimit.front() == "/LibraryA", "text at the limit was not read", text);
    file.replace(kEntry.size(), text.size() + 1, text.size() + 1, ' ');
}

// ---- A well-formed file written from the input ------------------------------

class Writer {
public:
    explicit Writer(FuzzedDataProvider& input) : input_(input) {}

    // Quoted with escapes, or, when it can be, now and then unquoted.
    void token(std::string_view s) {
        if (writableUnquoted(s) && input_.ConsumeBool()) {
            out_ += s;
        } else {
            out_ += '"';
            for (const char c : s) {
                if (c == '\\' || c == '"') out_ += {'\\', c};
                else if (c == '\n') out_ += "\\n";
                else if (c == '\t') out_ += "\\t";
                else out_ += c;
            }
            out_ += '"';
        }
        gap();
    }
    void pair(std::string_view key, std::string_view value) {
        token(key);
        token(value);
    }
    void open(std::string_view key) {
        token(key);
        out_ += '{';
        gap();
    }
    void close() {
        out_ += '}';
        gap();
    }

    // Text from the input, NUL being no part of a text file.
    std::string text(std::size_t most) {
        std::string s = input_.ConsumeRandomLengthString(most);
        std::erase(s, '\0');
        return s;
    }
    const std::string& file() const { return out_; }

private:
    static bool writableUnquoted(std::string_view s) {
        if (s.empty() || s.find("//") != std::string_view::npos) return false;
        for (const unsigned char c : s)
            if (c <= ' ' || c > '~' || c == '"' || c == '\\' || c == '{' || c == '}') return false;
        return true;
    }
    // Whitespace, now and then a comment, between any two tokens.
    void gap() {
        static const char* const kSpaces[] = {" ", "\t", "\n", "\r\n", "\n\t\t"};
        out_ += kSpaces[input_.ConsumeIntegralInRange<std::size_t>(0, 4)];
        if (input_.ConsumeIntegralInRange(0, 7) == 0) {
            std::string comment = text(40);
            std::erase(comment, '\n');
            out_ += "// " + comment + "\n";
        }
    }

    FuzzedDataProvider& input_;
    std::string out_;
};

void checkAWellFormedFile(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    Writer w(input);
    Paths written;
    const bool older = input.ConsumeBool();
    w.open(older ? "LibraryFolders" : "libraryfolders");
    if (older) {
        w.pair("TimeNextStatsReport", "1700000000");
        w.pair("ContentStatsID", "-1234");
    } else {
        w.pair("contentstatsid", "-1234");
    }
    const int libraries = input.ConsumeIntegralInRange(0, 6);
    for (int i = 0; i < libraries; ++i) {
        std::string path = w.text(64);
        const std::string number = std::to_string(older ? i + 1 : i);
        if (older) {
            if (path.empty()) continue;  // an empty value names no library
            w.pair(number, path);
        } else {
            w.open(number);
            if (input.ConsumeBool()) w.pair("label", w.text(16));
            const bool hasPath = !path.empty();
            if (hasPath) w.pair("path", path);
            if (input.ConsumeBool()) {
                w.open("apps");
                w.pair("100010", "1048576");
                w.pair("path", "/notALibrary");
                w.close();
            }
            w.close();
            if (!hasPath) continue;
        }
        written.push_back(std::move(path));
    }
    w.close();
    const std::string& file = w.file();
    check(ReadLibraryFolders(file) == written, "a well-formed file read otherwise than written", file);
    checkCutsAnywhere(file, written, input.ConsumeIntegralInRange<std::size_t>(0, file.size()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const Paths paths = ReadLibraryFolders(text);
    for (const auto& path : paths) check(!path.empty(), "an empty path", text);
    if (size > 0) {
        checkCutsAnywhere(text, paths, size - 1);
        checkCutsAnywhere(text, paths, data[0] * size / 256);
    }
    checkTheSizeLimit(text);
    checkAWellFormedFile(data, size);
    return 0;
}

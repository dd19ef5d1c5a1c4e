// Random trees on real folders, listed and deleted by the program and worked
// out by a small model of the rule, written apart from the walk: every file
// named Blueprints.pak (any letter case) one and two folders below Assets,
// links followed, a folder skipped when it is Assets itself or, below a
// level-1 folder, that level-1 folder; folders in the order the system lists
// them; the first failure stops everything, and a deletion that fails lists
// its archive last. After a deletion exactly the archives listed are gone.
//
// The trees hold what players' installations and hostile ones hold: links
// up (to the game folder, above it, chains of links), sideways, back to
// Assets and to the link's own level-1 folder, dangling links, folders that
// cannot be read or searched or written to, read-only archives, names that
// differ only in letter case and, where this user may have a mount
// namespace of its own, bind mounts of the game folder and of Assets.
//
// QUELMAR_WALK_TREES sets how many trees, QUELMAR_WALK_SEED the first seed;
// a failure names the seed that makes its tree again.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "bench/bench_host.h"
#include "core/archive_scan.h"
#include "tests/linux/child_process.h"

namespace quelmar::linux_host {
namespace {

namespace fs = std::filesystem;

using Id = std::pair<dev_t, ino_t>;
// An entry by the folder it is in and its name: the same whatever route,
// link or mount it is reached by.
using EntryKey = std::tuple<dev_t, ino_t, std::string>;

std::optional<Id> idOf(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return Id{st.st_dev, st.st_ino};
}

bool isArchiveName(const std::string& name) {
    static const std::string archive = "blueprints.pak";
    return name.size() == archive.size() &&
           std::equal(name.begin(), name.end(), archive.begin(), [](char a, char b) { return std::tolower(a) == b; });
}

// ---- The model --------------------------------------------------------------

struct Expected {
    std::vector<std::string> lines;  // relative to the game folder
    bool failed = false;
    int count = 0;
    std::set<EntryKey> deleted;
};

class Model {
public:
    Model(std::string game, bool deleting) : game_(std::move(game)), deleting_(deleting) {}

    Expected run() {
        const std::string assets = game_ + "/Assets";
        const auto assetsId = idOf(assets);
        const auto top = list(assets);
        result_.failed = !assetsId || !top || !below(assets, *top, {*assetsId});
        return std::move(result_);
    }

private:
    using Listing = std::vector<std::pair<std::string, unsigned char>>;

    // The folders of `folder` in the order listed and, below Assets, theirs:
    // a folder that is one of `inside` (Assets, its level-1 folder) is a
    // loop. False at the first failure.
    bool below(const std::string& folder, const Listing& entries, const std::vector<Id>& inside) {
        for (const auto& [name, type] : entries) {
            const std::string path = folder + "/" + name;
            if (kind(path, type) != S_IFDIR) continue;
            const auto listing = list(path);
            const auto id = idOf(path);
            if (!listing || !id) return false;
            if (std::find(inside.begin(), inside.end(), *id) != inside.end()) continue;
            if (!visit(path, *listing)) return false;
            if (inside.size() == 1 && !below(path, *listing, {inside[0], *id})) return false;
        }
        return true;
    }

    std::optional<EntryKey> keyOf(const std::string& folder, const std::string& name) {
        const auto id = idOf(folder);
        if (!id) return std::nullopt;
        return EntryKey{id->first, id->second, name};
    }
    bool gone(const std::string& folder, const std::string& name) {
        const auto key = keyOf(folder, name);
        return key && result_.deleted.count(*key);
    }

    // The folder's entries as the system lists them now, less those this
    // model has deleted; nothing when it cannot be read.
    std::optional<Listing> list(const std::string& path) {
        DIR* dir = ::opendir(path.c_str());
        if (!dir) return std::nullopt;
        Listing out;
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == ".." || gone(path, name)) continue;
            out.emplace_back(name, e->d_type);
        }
        ::closedir(dir);
        return out;
    }

    // The entry's type with links followed, this model's deletions
    // included; an errno when the lookup fails.
    struct Lookup {
        mode_t type = 0;
        mode_t mode = 0;
        int error = 0;
    };
    Lookup lookUp(std::string path) {
        for (int hops = 0; hops < 40; ++hops) {
            const auto cut = path.rfind('/');
            const std::string folder = path.substr(0, cut), name = path.substr(cut + 1);
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) return {0, 0, errno};
            if (gone(folder, name)) return {0, 0, ENOENT};
            if (!S_ISLNK(st.st_mode)) return {st.st_mode & S_IFMT, st.st_mode, 0};
            std::string target(4096, '\0');
            const ssize_t size = ::readlink(path.c_str(), target.data(), target.size());
            if (size < 0) return {0, 0, errno};
            target.resize(static_cast<std::size_t>(size));
            path = target[0] == '/' ? target : folder + "/" + target;
        }
        return {0, 0, ELOOP};
    }

    // What the listing says an entry is, links looked through. An entry
    // whose lookup is refused counts as a folder: opening it then fails.
    mode_t kind(const std::string& path, unsigned char type) {
        if (type == DT_DIR) return S_IFDIR;
        if (type == DT_REG) return S_IFREG;
        if (type != DT_LNK && type != DT_UNKNOWN) return 0;
        const Lookup found = lookUp(path);
        if (found.error == ENOENT || found.error == ENOTDIR || found.error == ELOOP) return 0;
        return found.error ? S_IFDIR : found.type;
    }

    bool visit(const std::string& folder, const Listing& entries) {
        for (const auto& [name, type] : entries) {
            const std::string path = folder + "/" + name;
            if (!isArchiveName(name) || kind(path, type) != S_IFREG) continue;
            if (deleting_ && !remove(folder, name)) return false;
            result_.lines.push_back(path.substr(game_.size() + 1));
            ++result_.count;
        }
        return true;
    }

    // Deletes, in the model only: false when the program must refuse (and
    // list the archive last); an archive gone meanwhile is passed over.
    bool remove(const std::string& folder, const std::string& name) {
        const std::string path = folder + "/" + name;
        const Lookup now = lookUp(path);
        if (now.error == ENOENT || now.error == ENOTDIR || now.error == ELOOP) return passOver();
        if (now.error == 0 && now.type != S_IFREG) return passOver();
        const auto refuse = [&] {
            result_.lines.push_back(path.substr(game_.size() + 1));
            return false;
        };
        if (now.error) return refuse();
        struct stat own;
        if (::lstat(path.c_str(), &own) != 0) return refuse();
        const bool link = S_ISLNK(own.st_mode);
        if (!link && ((own.st_mode & 0222) == 0 || !writable(folder, name))) return refuse();
        // Removing the name needs the folder's permission, as the walk holds it.
        if (::faccessat(AT_FDCWD, folder.c_str(), W_OK, AT_EACCESS) != 0) return refuse();
        result_.deleted.insert(*keyOf(folder, name));
        return true;
    }
    static bool passOver() { return true; }
    // Whether this user may write to the file, asked inside its folder (the
    // walk holds the folder open, so no folder on the way is searched).
    static bool writable(const std::string& folder, const std::string& name) {
        const int dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        const bool may = dir >= 0 && ::faccessat(dir, name.c_str(), W_OK, 0) == 0;
        if (dir >= 0) ::close(dir);
        return may;
    }

    std::string game_;
    bool deleting_;
    Expected result_;
};

// ---- The trees ----------------------------------------------------------------

// Every entry of the tree by folder and name, with its type; links are not
// followed and mount points not entered.
struct Seen {
    mode_t type;
    std::string path;  // one route to it, for a failure's report
    bool operator==(const Seen& other) const { return type == other.type; }
};
std::map<EntryKey, Seen> snapshot(const std::string& root, const std::set<std::string>& mountPoints) {
    std::map<EntryKey, Seen> out;
    std::vector<std::string> folders{root};
    while (!folders.empty()) {
        const std::string folder = folders.back();
        folders.pop_back();
        const auto id = idOf(folder);
        DIR* dir = ::opendir(folder.c_str());
        if (!dir || !id) continue;
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            const std::string path = folder + "/" + name;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0) continue;
            out[{id->first, id->second, name}] = {st.st_mode & S_IFMT, path.substr(root.size() + 1)};
            if (S_ISDIR(st.st_mode) && !mountPoints.count(path)) folders.push_back(path);
        }
        ::closedir(dir);
    }
    return out;
}

struct Tree {
    std::string root, game;
    std::vector<std::pair<std::string, mode_t>> restricted;  // applied for the walk only
    std::set<std::string> mountPoints;
    std::vector<std::string> log;  // how it was made, for a failure's report
};

class Planter {
public:
    Planter(unsigned seed, const std::string& root, bool mounts) : rng_(seed), mounts_(mounts) {
        tree_.root = root;
        tree_.game = root + "/Game";
    }

    Tree plant() {
        file("Game/RailSim.exe");
        file("Game/Blueprints.pak");
        file("Game/Assets/Blueprints.pak");  // never the tool's to touch
        file("Outside/Mods/Blueprints.pak");
        file("Outside/Mods/RouteB/Blueprints.pak");
        symlink("../Game", "Outside/UpChain");  // the end of a chain of links up
        if (mounts_) bind("Game", "Outside/GameMount");
        const int providers = pick(15);
        std::vector<std::string> names;
        for (int i = 0; i < providers; ++i) names.push_back(providerName(names));
        for (const std::string& name : names) provider(name, names);
        return tree_;
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }
    bool chance(int percent) { return pick(100) < percent; }

    std::string path(const std::string& relative) const { return tree_.root + "/" + relative; }
    // A name drawn twice (two spellings of the archive) keeps what it got first.
    bool taken(const std::string& relative) const {
        struct stat st;
        return ::lstat(path(relative).c_str(), &st) == 0;
    }
    void file(const std::string& relative) {
        if (taken(relative)) return;
        fs::create_directories(fs::path(path(relative)).parent_path());
        std::ofstream(path(relative)) << relative;
    }
    void folder(const std::string& relative) {
        if (!taken(relative)) fs::create_directories(path(relative));
    }
    void symlink(const std::string& target, const std::string& relative) {
        if (taken(relative)) return;
        fs::create_directories(fs::path(path(relative)).parent_path());
        fs::create_symlink(target, path(relative));
        tree_.log.push_back(relative + " -> " + target);
    }
    void bind(const std::string& source, const std::string& relative) {
        if (taken(relative)) return;
        folder(relative);
        if (::mount(path(source).c_str(), path(relative).c_str(), nullptr, MS_BIND, nullptr) != 0) return;
        tree_.mountPoints.insert(path(relative));
        tree_.log.push_back(relative + " bound to " + source);
    }
    void restrict(const std::string& relative, mode_t mode) {
        tree_.restricted.emplace_back(path(relative), mode);
        std::ostringstream line;
        line << relative << " mode " << std::oct << mode;
        tree_.log.push_back(line.str());
    }

    // Names that differ from one already taken in letter case only, now
    // and then.
    std::string providerName(const std::vector<std::string>& taken) {
        if (!taken.empty() && chance(15)) {
            std::string name = taken[static_cast<std::size_t>(pick(static_cast<int>(taken.size())))];
            for (char& c : name) c = static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
            if (std::find(taken.begin(), taken.end(), name) == taken.end()) return name;
        }
        return "Provider" + std::string(1, static_cast<char>('A' + taken.size()));
    }

    std::string archiveName() {
        static const char* const names[] = {"Blueprints.pak", "Blueprints.pak", "Blueprints.pak", "blueprints.PAK",
                                            "BLUEPRINTS.PAK"};
        return names[pick(5)];
    }

    // A mode that keeps the walk out, or a deletion: unreadable, not
    // searchable, not writable.
    void maybeRestrict(const std::string& relative) {
        static const mode_t modes[] = {0000, 0311, 0644, 0555};
        if (chance(5)) restrict(relative, modes[pick(4)]);
    }

    void provider(const std::string& name, const std::vector<std::string>& siblings) {
        const std::string at = "Game/Assets/" + name;
        const std::string& sibling = siblings[static_cast<std::size_t>(pick(static_cast<int>(siblings.size())))];
        switch (pick(mounts_ ? 20 : 16)) {
            case 0: return symlink("..", at);                              // up to the game folder
            case 1: return symlink(tree_.game, at);                        // the same, absolute
            case 2: return symlink("../../Outside/UpChain", at);           // a chain of links up
            case 3: return symlink("../..", at);                           // above the game folder
            case 4: return symlink(".", at);                               // Assets itself
            case 5: return symlink(sibling, at);                           // sideways
            case 6: return symlink("../../Outside/Mods", at);              // out to a mod folder
            case 7: return symlink("Nowhere" + name, at);                  // dangling
            case 8: return file(at);                                       // a file, not a folder
            case 14: return bind("Game", at);                              // the game folder, mounted
            case 15: return bind("Game/Assets", at);                       // Assets, mounted
            case 16: return symlink("../../Outside/GameMount", at);        // a link to a mount of it
            default: break;                                                // a plain folder
        }
        folder(at);
        fillFolder(at, true);
        for (int i = pick(5); i > 0; --i) {
            const std::string child = at + "/Route" + std::string(1, static_cast<char>('A' + i));
            switch (pick(mounts_ ? 14 : 12)) {
                case 0: symlink(".", child); break;                        // its own level-1 folder
                case 1: symlink("..", child); break;                       // Assets
                case 2: symlink("../..", child); break;                    // the game folder
                case 3: symlink("../../..", child); break;                 // above it
                case 4: symlink("../" + sibling, child); break;            // sideways
                case 5: symlink(tree_.game + "/Assets", child); break;     // Assets, absolute
                case 6: symlink("Gone", child); break;                     // dangling
                case 12: bind("Game/Assets", child); break;                // Assets, mounted
                case 13: bind(at, child); break;                           // its own level-1, mounted
                default:
                    folder(child);
                    fillFolder(child, false);
                    if (chance(20)) file(child + "/Deeper/Blueprints.pak");  // three levels down: never
            }
        }
        maybeRestrict(at);
    }

    void fillFolder(const std::string& at, bool level1) {
        if (chance(60)) {
            const std::string archive = at + "/" + archiveName();
            file(archive);
            if (chance(5)) restrict(archive, 0444);  // read-only
        }
        if (chance(10)) symlink(level1 ? "../../Blueprints.pak" : "../../../Blueprints.pak", at + "/" + archiveName());
        if (chance(10)) folder(at + "/Blueprints.pak");  // a folder of that name is no archive
        if (chance(20)) file(at + "/Other.pak");
        if (!level1) maybeRestrict(at);
    }

    std::mt19937 rng_;
    bool mounts_;
    Tree tree_;
};

// ---- Running both -------------------------------------------------------------

// Takes or gives back this thread's effective capabilities: in a mount
// namespace of its own this user holds them all, and walks as if root.
bool setCapabilities(bool effective) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    for (auto& d : data) d.effective = effective ? d.permitted : 0;
    return ::syscall(SYS_capset, &header, data) == 0;
}

std::string describe(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) out += "  " + line + "\n";
    return out;
}

// A disk slow enough that helpers read ahead of the walk, as on a cold one.
class SlowDisk : public PosixFileSystem {
public:
    Folder openChild(const Folder& parent, const std::string& name) override {
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        return PosixFileSystem::openChild(parent, name);
    }
};

struct Way {
    bool deleting;
    unsigned readers;
    bool slowDisk;
};

// One walk of one tree against the model; the empty string when they agree.
std::string compare(const Tree& tree, const Way& way) {
    const bool deleting = way.deleting;
    const auto before = snapshot(tree.root, tree.mountPoints);
    // Each folder before the one it is in, so that every change is allowed.
    for (const auto& [path, mode] : tree.restricted) ::chmod(path.c_str(), mode);
    const Expected expected = Model(tree.game, deleting).run();

    FormState state;
    state.GamePath = tree.game;
    state.folderReaders = way.readers;
    if (way.slowDisk) state.fileSystemObject = std::make_shared<SlowDisk>();
    bench::BenchHost host;
    std::string list, error;
    std::int32_t count = -1;
    bool failed = false, checked = false;
    try {
        checked = CheckPaths(state, host) == kCheckPassed;
        FileSystem& files = *state.sharedFileSystem(host);
        if (checked)
            count = WalkArchives(PlanWalk(state, host), list,
                             deleting ? ArchiveAction([&](const Folder& f, const std::string& n) { files.deleteFile(f, n); })
                                      : ArchiveAction());
    } catch (const HostError& e) {
        failed = true;
        error = e.description();
    }
    for (auto undo = tree.restricted.rbegin(); undo != tree.restricted.rend(); ++undo) ::chmod(undo->first.c_str(), 0755);
    if (!checked) return "the check failed";
    const auto after = snapshot(tree.root, tree.mountPoints);

    std::vector<std::string> lines;
    for (std::size_t at = 0; at < list.size();) {
        const std::size_t end = list.find("\r\n", at);
        lines.push_back(list.substr(at, end - at));
        if (end == std::string::npos) break;
        at = end + 2;
    }
    std::ostringstream out;
    if (lines != expected.lines)
        out << "listed:\n" << describe(lines) << "the rule lists:\n" << describe(expected.lines);
    if (failed != expected.failed)
        out << (failed ? "failed, where the rule goes on: " + error : "went on, where the rule fails") << "\n";
    if (!failed && !expected.failed && count != expected.count)
        out << "counted " << count << ", the rule counts " << expected.count << "\n";
    if (deleting) {
        for (const auto& [key, seen] : before) {
            const bool meant = expected.deleted.count(key) > 0;
            const auto now = after.find(key);
            if (meant && now != after.end()) out << "not deleted: " << seen.path << "\n";
            if (!meant && (now == after.end() || !(now->second == seen)))
                out << "touched, outside the rule: " << seen.path << "\n";
        }
    } else if (before != after) {
        out << "listing changed the tree\n";
    }
    return out.str();
}

// What find -L makes of a tree nothing keeps the walk out of: the model's
// own check, so that it is the rule it claims to be.
std::string compareWithFind(const Tree& tree) {
    const Expected expected = Model(tree.game, false).run();
    const std::string command = "cd '" + tree.game + "' && find -L Assets -mindepth 2 -maxdepth 3 -type f "
                                "-iname Blueprints.pak 2>/dev/null";
    std::set<std::string> found;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char line[8192];
        while (std::fgets(line, sizeof line, pipe)) found.insert(std::string(line, std::strcspn(line, "\n")));
        ::pclose(pipe);
    }
    const std::set<std::string> modelled(expected.lines.begin(), expected.lines.end());
    if (expected.failed || found == modelled) return {};
    std::vector<std::string> a(found.begin(), found.end());
    return "find -L lists:\n" + describe(a) + "the model lists:\n" + describe(expected.lines);
}

unsigned fromEnvironment(const char* name, unsigned fallback) {
    const char* value = std::getenv(name);
    return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : fallback;
}

// Plants the tree of `seed` and walks it every way, against the rule.
int runTree(unsigned seed, bool mounts) {
    // Half the trees as the ordinary user the tests run as, half with
    // every capability (as root) where the namespace gives them.
    const bool privileged = mounts && seed % 2 == 0;
    std::vector<Way> ways = {{false, 1, false}, {false, 16, false}, {true, 1, false}, {true, 16, false}};
    if (seed % 3 == 0) ways.insert(ways.end(), {{false, 16, true}, {true, 16, true}});
    for (const Way& way : ways) {
        std::string pattern = (fs::temp_directory_path() / "quelmar-walk-XXXXXX").string();
        const std::string root = ::mkdtemp(pattern.data());
        if (mounts) setCapabilities(true);
        const Tree tree = Planter(seed, root, mounts).plant();
        setCapabilities(privileged);
        std::string problem = compare(tree, way);
        if (problem.empty() && tree.restricted.empty() && !way.deleting && way.readers == 1)
            problem = compareWithFind(tree);
        if (mounts) setCapabilities(true);
        for (const std::string& point : tree.mountPoints) ::umount2(point.c_str(), MNT_DETACH);
        std::error_code ignored;
        fs::remove_all(root, ignored);
        if (problem.empty()) continue;
        std::fprintf(stderr, "seed %u (%s, %s, %u reader%s%s%s):\n%s  the tree:\n%s", seed,
                     way.deleting ? "deleting" : "listing", privileged ? "as root" : "unprivileged",
                     way.readers, way.readers == 1 ? "" : "s", way.slowDisk ? ", slow disk" : "",
                     mounts ? ", with mounts" : "", problem.c_str(), describe(tree.log).c_str());
        return 1;  // one report for each tree
    }
    return 0;
}

// Runs every tree, each in a child of this process, which starts no thread
// itself; with mounts, in a mount namespace of its own. Reports on standard
// error.
int runTrees(unsigned first, unsigned trees, bool mounts) {
    int failures = 0;
    for (unsigned seed = first; seed < first + trees && failures < 3; ++seed)
        // Each tree in a process of its own: a thread has the capabilities
        // it was made with, and the readers a walk made for one tree would
        // read the next with those.
        failures += testing::inChild([&] { return runTree(seed, mounts); }) != 0;
    return failures == 0 ? 0 : 1;
}

// walk-trees FIRST COUNT mounts|-: 77 where the system gives no namespace.
const testing::Child walkTrees("walk-trees", [](const std::vector<std::string>& args) {
    const bool mounts = args.at(2) == "mounts";
    if (mounts && !testing::enterOwnMountNamespace()) return 77;
    return runTrees(static_cast<unsigned>(std::stoul(args.at(0))), static_cast<unsigned>(std::stoul(args.at(1))), mounts);
});

// A tree that changes under a deletion, after readers listed it: a level-1
// folder the walk has not reached yet is swapped for a link to a folder
// whose only archive is three levels down, and another's archive renamed.
// What was listed before is never acted on where it no longer stands.
class ChangingDisk : public SlowDisk {
public:
    fs::path assets;
    unsigned readers = 1;
    std::thread::id walk;
    std::mutex mutex;
    std::map<std::string, int> listedByReaders;  // level-2 folders read, by level-1 folder
    std::set<std::string> reachedByWalk;
    std::condition_variable listed;
    std::optional<std::pair<std::string, std::string>> changed;  // swapped, renamed in

    Folder openChild(const Folder& parent, const std::string& name) override {
        Folder opened = SlowDisk::openChild(parent, name);
        seen(parent, name);
        return opened;
    }
    Folder openChildUnread(const Folder& parent, const std::string& name) override {
        seen(parent, name);
        return SlowDisk::openChildUnread(parent, name);
    }
    Deletion deleteFile(const Folder& folder, const std::string& name) override {
        std::unique_lock lock(mutex);
        // Level-1 folders the walk has not reached, listed whole by readers.
        const auto ahead = [&] {
            std::vector<std::string> found;
            for (int p = 0; p < 24; ++p) {
                const std::string n = std::string("P").append(std::to_string(p));
                const auto read = listedByReaders.find(n);
                if (!reachedByWalk.count(n) && (readers == 1 || (read != listedByReaders.end() && read->second == 4)))
                    found.push_back(n);
            }
            return found;
        };
        // However loaded the machine, the first deletion waits until readers are two folders ahead.
        if (!changed && readers > 1) listed.wait_for(lock, std::chrono::seconds(60), [&] { return ahead().size() >= 2; });
        if (const std::vector<std::string> found = ahead(); !changed && found.size() >= 2) {
            changed.emplace(found[0], found[1]);
            fs::rename(assets / found[0], assets / (found[0] + ".old"));
            fs::create_directory_symlink(assets.parent_path().parent_path() / "Outside", assets / found[0]);
            fs::rename(assets / found[1] / "Blueprints.pak", assets / found[1] / "Kept.pak");
        }
        return PosixFileSystem::deleteFile(folder, name);
    }

private:
    void seen(const Folder& parent, const std::string& name) {
        std::lock_guard lock(mutex);
        if (std::this_thread::get_id() == walk && parent.path == assets.string()) reachedByWalk.insert(name);
        if (std::this_thread::get_id() != walk && fs::path(parent.path).parent_path() == assets)
            ++listedByReaders[fs::path(parent.path).filename().string()];
        listed.notify_all();
    }
};

TEST(WalkAgainstModel, ATreeChangedDuringADeletionLosesNothingOutsideTheRule) {
    for (const unsigned readers : {1u, 16u}) {
        SCOPED_TRACE(readers);
        std::string pattern = (fs::temp_directory_path() / "quelmar-changing-XXXXXX").string();
        const fs::path root = ::mkdtemp(pattern.data());
        const fs::path assets = root / "Game" / "Assets";
        const auto named = [](char letter, int number) {
            std::string name(1, letter);
            return name += std::to_string(number);
        };
        const auto file = [](const fs::path& path) {
            fs::create_directories(path.parent_path());
            std::ofstream(path) << "pak";
        };
        for (int p = 0; p < 24; ++p)
            for (int r = 0; r < 4; ++r) file(assets / named('P', p) / named('R', r) / "Blueprints.pak");
        for (int p = 0; p < 24; ++p) file(assets / named('P', p) / "Blueprints.pak");
        file(root / "Outside" / "X" / "Y" / "Blueprints.pak");
        auto disk = std::make_shared<ChangingDisk>();
        disk->assets = assets;
        disk->readers = readers;
        disk->walk = std::this_thread::get_id();
        FormState state;
        state.GamePath = (root / "Game").string();
        state.AssetsPath = assets.string();
        state.folderReaders = readers;
        state.fileSystemObject = disk;
        bench::BenchHost host;
        std::string list;
        EXPECT_NO_THROW(
            WalkArchives(PlanWalk(state, host), list, [&](const Folder& f, const std::string& n) { disk->deleteFile(f, n); }));
        ASSERT_TRUE(disk->changed) << "no folder was left to change";
        const auto& [swapped, renamed] = *disk->changed;
        EXPECT_TRUE(fs::exists(root / "Outside" / "X" / "Y" / "Blueprints.pak"));
        EXPECT_TRUE(fs::exists(assets / renamed / "Kept.pak"));
        for (const fs::path& kept : {assets / (swapped + ".old") / "Blueprints.pak", assets / (swapped + ".old") / "R0" / "Blueprints.pak"})
            EXPECT_TRUE(fs::exists(kept)) << kept << ": listed where it stood, but no longer there";
        EXPECT_FALSE(fs::exists(assets / renamed / "R3" / "Blueprints.pak")) << "the walk went on to the end";
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
}

TEST(WalkAgainstModel, RandomTreesOnRealFoldersFollowTheRule) {
    const unsigned first = fromEnvironment("QUELMAR_WALK_SEED", 1);
    const unsigned trees = fromEnvironment("QUELMAR_WALK_TREES", 400);
    const auto run = [](unsigned from, unsigned count, const char* mounts) {
        return testing::runChild({"walk-trees", std::to_string(from), std::to_string(count), mounts});
    };
    const int withMounts = run(first, trees, "mounts");
    if (withMounts == 77) {
        std::printf("no mount namespace for this user here: the trees are made without bind mounts\n");
        EXPECT_EQ(run(first, trees, "-"), 0);
        return;
    }
    EXPECT_EQ(withMounts, 0);
    // Without the namespace too: there, mounts aside, nothing is granted.
    EXPECT_EQ(run(first + trees, trees / 2, "-"), 0);
}

}  // namespace
}  // namespace quelmar::linux_host

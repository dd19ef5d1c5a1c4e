#include "archive_scan.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "ascii.h"
#include "form_state.h"
#include "off_window.h"
#include "read_ahead.h"
#include "texts.h"
#include "utf8.h"

namespace quelmar {

namespace {

void inform(Host& host, const std::string& text, MessageIcon icon) {
    host.showMessage(text, icon, texts::kTitle);
}

// One walk, on the thread that calls it: the two-level loop of the rule, in
// the order the system lists the folders. Each folder's listing comes from
// a reader where one came to it first, else from the walk's own read; the
// walk alone lists, acts and fails. It looks at its stop, and shows its
// lines so far, before each folder, read by a reader or not, and before each
// open and action, so nothing starts once a stop was asked.
class Walk {
public:
    Walk(const WalkPlan& plan, std::string& list, const ArchiveAction& action, WalkProgress* progress)
        : plan_(plan), fs_(*plan.fs), list_(list), action_(action), progress_(progress ? *progress : unwatched_) {}

    std::int32_t run() {
        const auto cut = plan_.assetsPath.rfind(plan_.separator);
        step();
        auto assets = std::make_shared<const Folder>(
            fs_.openFolder(cut == std::string::npos ? "" : plan_.assetsPath.substr(0, cut),
                           cut == std::string::npos ? plan_.assetsPath : plan_.assetsPath.substr(cut + 1)));
        assets_ = assets.get();
        const std::vector<FolderEntry> folders = Subfolders(assets->entries);
        ReadAhead ahead(plan_.fs, assets, folders, static_cast<bool>(action_), plan_.readers, plan_.stop);
        ahead_ = &ahead;
        std::int32_t count = 0;
        for (std::size_t index = 0; index < folders.size(); ++index) count += branch(index, folders[index]);
        return count;
    }

private:
    // A level-1 folder and the folders in it.
    std::int32_t branch(std::size_t index, const FolderEntry& entry) {
        const std::string path1 = plan_.assetsPath + plan_.separator + entry.name;
        step();
        std::optional<Folder> level1 = ahead_->take(index, path1);
        if (!level1) level1 = open(*assets_, entry, nullptr);
        if (!level1 || IsLoop(fs_, *level1, *assets_)) return 0;
        // Acting, the walk holds the level-1 folder itself before anything
        // of it is listed: it acts in it and in its folders.
        if (action_ && !held(*assets_, entry.name, *level1)) return 0;
        std::int32_t found = visit(*assets_, entry.name, *level1, path1);
        const std::vector<FolderEntry> folders2 = Subfolders(level1->entries);
        for (std::size_t at = 0; at < folders2.size(); ++at) {
            const std::string path2 = path1 + plan_.separator + folders2[at].name;
            step();
            std::optional<Folder> level2 = ahead_->take(index, path2, at);
            // Opened although nothing below it is read: an unreadable
            // level-2 folder stops the walk just as a level-1 one does.
            if (!level2 && held(*assets_, entry.name, *level1)) level2 = open(*level1, folders2[at], &*level1);
            if (level2 && !IsLoop(fs_, *level2, *assets_, &*level1))
                found += visit(*level1, folders2[at].name, *level2, path2);
        }
        return found;
    }

    // Opens and reads a folder itself; nothing where it is a link that
    // leads back to a folder the walk is in, which is then not opened.
    std::optional<Folder> open(const Folder& parent, const FolderEntry& entry, const Folder* level1) {
        if (LoopThrough(fs_, parent, entry, *assets_, level1).known()) return std::nullopt;
        return fs_.openChild(parent, entry.name);
    }

    // Whether the walk holds `folder`, entry `name` of `parent`, itself, to
    // act or read in it: where a reader listed it, opened again now by the
    // same route, without reading it, and only if it is the folder listed.
    // Where another stands at its name now, what the one listed held is
    // passed over: it is no longer where it was listed.
    bool held(const Folder& parent, const std::string& name, Folder& folder) {
        if (folder.handle) return true;
        step();
        Folder opened = fs_.openChildUnread(parent, name);
        if (!SameFolder(fs_.identityOf(opened), folder.id)) return false;
        folder.handle = std::move(opened.handle);
        return true;
    }

    // The one filter: every archive of a folder, by the path the walk
    // reached it by (built from AssetsPath, never from the system's name).
    // Returns how many it found and, acting, acted on.
    std::int32_t visit(const Folder& parent, const std::string& name, Folder& folder, const std::string& reachedPath) {
        std::int32_t found = 0;
        for (const FolderEntry& entry : folder.entries)
            if (IsArchive(entry) && (!action_ || act(parent, name, folder, entry.name, reachedPath))) {
                addLine(reachedPath, entry.name);
                // Spelled as on disk from Assets on, which may differ in letter case.
                progress_.found(assets_->path + reachedPath.substr(plan_.assetsPath.size()) + plan_.separator +
                                entry.name);
                ++found;
            }
        return found;
    }

    // Acting, what counts is what the folder holds now: this walk may have
    // deleted the archive since through another route to the same folder.
    bool act(const Folder& parent, const std::string& name, Folder& folder, const std::string& archive,
             const std::string& reachedPath) {
        try {
            step();
            if (!held(parent, name, folder) || fs_.kindOf(folder, archive) != EntryKind::File) return false;
            step();  // the look-up may have taken its time
            action_(folder, archive);
        } catch (const WalkStopped&) {
            throw;
        } catch (...) {
            // The list ends with the archive that failed, whether it could
            // not be looked up (a folder that may be read but not searched)
            // or not be deleted.
            addLine(reachedPath, archive);
            throw;
        }
        return true;
    }

    void addLine(const std::string& reachedPath, const std::string& name) {
        const char sep = plan_.separator;
        list_ += ShownEntry(ListingEntry(reachedPath + sep + (plan_.namesIgnoreCase ? texts::kArchiveName : name), sep), sep);
        list_ += texts::kCrLf;
    }

    void step() {
        if (plan_.stop.stop_requested() || !progress_.keepGoing(list_)) throw WalkStopped();
    }

    const WalkPlan& plan_;
    FileSystem& fs_;
    std::string& list_;
    const ArchiveAction& action_;
    // A walk nobody watches goes on until its stop is asked.
    struct Unwatched : WalkProgress {
        bool keepGoing(const std::string&) override { return true; }
    } unwatched_;
    WalkProgress& progress_;
    const Folder* assets_ = nullptr;
    ReadAhead* ahead_ = nullptr;
};

}  // namespace

int CheckPaths(FormState& state, Host& host, WindowOps* window) {
    if (state.GamePath.empty()) {
        inform(host, texts::folderNotSet(), MessageIcon::Information);
        return kCheckFailed;
    }
    auto ask = [&](auto&& call) { return window ? *OffTheWindowThread(state, *window, call) : call(); };
    // The helper's own copies: a close may leave it in its call.
    const std::string game = state.GamePath;
    const std::shared_ptr<FileSystem> fs = state.sharedFileSystem(host);
    if (!ask([fs, game] { return fs->folderExists(game); })) {
        inform(host, texts::gameFolderNotFound(state.GamePath), MessageIcon::Warning);
        return kCheckFailed;
    }
    // Only the Assets folder's own name may differ in letter case; the game
    // folder is taken exactly as the user picked it.
    if (!ask([fs, game] { return fs->childFolderExists(game, texts::kAssetsFolder); })) {
        inform(host, texts::assetsFolderNotFound(), MessageIcon::Warning);
        return kCheckFailed;
    }
    state.AssetsPath = state.GamePath + host.separator() + texts::kAssetsFolder;
    return kCheckPassed;
}

std::string UnexpectedFailureText(const std::exception& error) {
    return texts::unexpectedFailure(error.what(), dynamic_cast<const std::bad_alloc*>(&error) != nullptr);
}

std::string ListingEntry(const std::string& candidatePath, char separator) {
    const std::string needle = std::string(1, separator) + texts::kAssetsFolder;
    const auto found = std::search(candidatePath.begin(), candidatePath.end(), needle.begin(), needle.end(),
                                   [](char a, char b) { return asciiLower(a) == asciiLower(b); });
    if (found == candidatePath.end()) return candidatePath;
    return std::string(found + 1, candidatePath.end());
}

namespace {

// Characters that change how the text around them is shown rather than
// showing themselves: controls, the bidirectional marks, embeddings,
// overrides and isolates, and the line and paragraph separators.
bool changesTheLine(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

void appendHex(std::string& out, unsigned long value, int digits) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// The character at `entry[at]` as the list shows it, escaped where it would
// not read as itself; returns how many bytes it took.
std::size_t appendShown(std::string& out, std::string_view entry, std::size_t at, char separator) {
    const auto [point, length] = DecodeUtf8(entry, at);
    if (length == 0) {
        out += "\\x";
        appendHex(out, static_cast<unsigned char>(entry[at]), 2);
        return 1;
    }
    if (point == '\\' && separator != '\\') out += "\\\\";
    else if (point == '\n') out += "\\n";
    else if (point == '\r') out += "\\r";
    else if (point == '\t') out += "\\t";
    else if (point < 0x20 || point == 0x7F) out += "\\x", appendHex(out, point, 2);
    else if (changesTheLine(point)) out += "\\u", appendHex(out, point, 4);
    else out.append(entry, at, length);
    return length;
}

}  // namespace

std::string ShownEntry(std::string_view entry, char separator) {
    std::string out;
    out.reserve(entry.size());
    const auto plain = [separator](char c) { return c >= 0x20 && c < 0x7F && (c != '\\' || separator == '\\'); };
    for (std::size_t at = 0; at < entry.size();) {
        // Most of a path is plain printable ASCII: it goes over in runs.
        const std::size_t from = at;
        while (at < entry.size() && plain(entry[at])) ++at;
        out.append(entry, from, at - from);
        if (at < entry.size()) at += appendShown(out, entry, at, separator);
    }
    return out;
}

bool IsArchiveName(std::string_view name) { return sameIgnoringAsciiCase(name, texts::kArchiveName); }

bool IsArchive(const FolderEntry& entry) { return entry.kind == EntryKind::File && IsArchiveName(entry.name); }

bool HoldsAnArchive(const std::vector<FolderEntry>& entries) { return std::any_of(entries.begin(), entries.end(), IsArchive); }

std::vector<FolderEntry> Subfolders(const std::vector<FolderEntry>& entries) {
    std::vector<FolderEntry> folders;
    std::copy_if(entries.begin(), entries.end(), std::back_inserter(folders),
                 [](const FolderEntry& entry) { return entry.kind == EntryKind::Folder; });
    return folders;
}

FolderId LoopThrough(FileSystem& fs, const Folder& parent, const FolderEntry& entry, const Folder& assets,
                     const Folder* level1) {
    if (!entry.link) return {};
    const FolderId id = fs.identityOfChild(parent, entry.name);
    return SameFolder(id, fs.identityOf(assets)) || (level1 && SameFolder(id, fs.identityOf(*level1))) ? id : FolderId{};
}

bool MayBeALoop(const Folder& opened, const Folder* level1) {
    return !opened.plainRoute || (level1 && !level1->plainRoute);
}

bool IsLoop(FileSystem& fs, const Folder& opened, const Folder& assets, const Folder* level1) {
    if (!MayBeALoop(opened, level1)) return false;
    const FolderId id = fs.identityOf(opened);
    return SameFolder(id, fs.identityOf(assets)) || (level1 && SameFolder(id, fs.identityOf(*level1)));
}

WalkPlan PlanWalk(FormState& state, Host& host) {
    return {state.AssetsPath, host.separator(), host.namesIgnoreCase(), state.sharedFileSystem(host),
            state.folderReaders, {}};
}

std::int32_t WalkArchives(const WalkPlan& plan, std::string& list, const ArchiveAction& action,
                          WalkProgress* progress) {
    return Walk(plan, list, action, progress).run();
}

// The lines above the failure are archives already gone: the failure says
// so, and that nothing after it was touched, whatever the failure was.
HostError DeletionStoppedBy(const std::exception& error, std::int32_t deleted, bool atLeast) {
    const auto* known = dynamic_cast<const HostError*>(&error);
    return HostError(known ? known->number() : 0, (known ? known->description() : UnexpectedFailureText(error)) +
                                                      texts::kCrLf + texts::kCrLf + texts::deletionStopped(deleted, atLeast));
}

std::string FolderOfChosenFile(const std::string& path, char separator) {
    const auto last = path.rfind(separator);
    if (last == std::string::npos) return {};
    if (last == 0) return std::string(1, separator);
    return path.substr(0, last);
}

namespace {

// A walk run on a worker, which a close or a failure on the window's thread
// may leave behind in a call: it holds copies only.
struct WalkRun : WorkerLink {
    WalkPlan plan;
    std::string list;
    std::int32_t count = 0;
    std::atomic<std::int32_t> deleted{0}, held{0};  // held: deleted, but still open in another program
};

// Runs the walk whole on a worker while the window is kept alive, and hands
// the list to Text2 at the end, also when the walk fails, so the lines found
// before stay visible. A failure of the window's own leaves the worker
// stopped and what it wrote unread.
std::shared_ptr<WalkRun> runWalk(FormState& state, Host& host, WindowOps& window, bool deleting) {
    window.setText2("");
    auto run = std::make_shared<WalkRun>();
    run->plan = PlanWalk(state, host);
    run->plan.stop = run->stop.get_token();
    run->interval = state.listShownInterval / 2;
    const std::function<void()> work = [run, deleting] {
        WalkRun& r = *run;
        FileSystem& fs = *r.plan.fs;
        ArchiveAction remove;
        if (deleting)
            remove = [&r, &fs](const Folder& folder, const std::string& name) {
                if (fs.deleteFile(folder, name) == Deletion::OnRelease) ++r.held;
                ++r.deleted;
            };
        r.count = WalkArchives(r.plan, r.list, remove, &r);
    };
    try {
        WaitOffWindow(state, window, work, run);
    } catch (const WalkStopped&) {
        throw;
    } catch (const std::exception& error) {
        // A failure of the window's own stopped the worker, which may still
        // be in a call: what it wrote is not read, and what it deleted is
        // known only at least.
        const bool ended = run->ended;
        if (ended) window.setText2(run->list);
        if (!deleting) throw;
        throw DeletionStoppedBy(error, run->deleted, !ended);
    }
    window.setText2(run->list);
    return run;
}

}  // namespace

void RefreshList(FormState& state, Host& host, WindowOps& window) {
    if (runWalk(state, host, window, false)->count != 0) {
        window.setDeleteEnabled(true);
    } else {
        inform(host, texts::noArchivesFound(), MessageIcon::Information);
        window.setDeleteEnabled(false);
    }
}

void DeleteArchives(FormState& state, Host& host, WindowOps& window) {
    const std::shared_ptr<WalkRun> run = runWalk(state, host, window, true);
    if (run->count < 1) {
        inform(host, texts::noArchivesFound(), MessageIcon::Information);
        return;
    }
    std::string done = texts::archivesDeleted(run->count);
    if (run->held > 0) done += std::string(texts::kCrLf) + texts::kCrLf + texts::deletedOnRelease(run->held);
    inform(host, done, MessageIcon::Information);
    window.setDeleteEnabled(false);
    window.setText2("");
}

}  // namespace quelmar

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

namespace quelmar {

namespace {

void inform(Host& host, const std::string& text, MessageIcon icon) {
    host.showMessage(text, icon, texts::kTitle);
}

// A folder as a reader listed it, without a hold on it.
Folder valueOf(const std::string& path, const Listing& listing) {
    Folder folder;
    folder.path = path;
    folder.id = listing.id;
    folder.plainRoute = listing.plainRoute;
    folder.entries = listing.entries;
    return folder;
}

// One walk, on the thread that calls it. It lists, acts and fails on what it
// read itself or on what readers handed it, in its own order; it checks
// with its progress hook before it opens each folder and before each
// action, so nothing starts once a stop was asked.
class Walk {
public:
    Walk(const WalkPlan& plan, std::string& list, const ArchiveAction& action, WalkProgress* progress)
        : plan_(plan), fs_(*plan.fs), list_(list), action_(action), progress_(progress) {}

    std::int32_t run() {
        const auto cut = plan_.assetsPath.rfind(plan_.separator);
        step();
        auto assets = std::make_shared<const Folder>(
            fs_.openFolder(cut == std::string::npos ? "" : plan_.assetsPath.substr(0, cut),
                           cut == std::string::npos ? plan_.assetsPath : plan_.assetsPath.substr(cut + 1)));
        assets_ = assets.get();
        const std::vector<FolderEntry> folders = Subfolders(assets->entries);
        readAhead_.emplace(plan_.fs, assets, folders, static_cast<bool>(action_), plan_.readers, plan_.slowFolderRead);
        std::int32_t count = 0;
        for (std::size_t index = 0; index < folders.size(); ++index) {
            const std::string path1 = plan_.assetsPath + plan_.separator + folders[index].name;
            const std::shared_ptr<const Branch> branch = readAhead_->take(index);
            const std::optional<std::int32_t> found =
                branch ? fromBranch(index, folders[index].name, path1, *branch) : std::nullopt;
            count += found ? *found : ownBranch(folders[index], path1);
        }
        return count;
    }

private:
    // Reads a branch itself, every folder in it.
    std::int32_t ownBranch(const FolderEntry& entry, const std::string& path1) {
        const std::optional<Folder> level1 = open(*assets_, entry, nullptr, true);
        if (!level1 || IsLoop(fs_, *level1, *assets_)) return 0;
        std::int32_t found = visit(*level1, path1);
        for (const FolderEntry& entry2 : Subfolders(level1->entries)) {
            // Opened although nothing below it is read: an unreadable
            // level-2 folder stops the walk just as a level-1 one does.
            const std::optional<Folder> level2 = open(*level1, entry2, &*level1, true);
            if (level2 && !IsLoop(fs_, *level2, *assets_, &*level1))
                found += visit(*level2, path1 + plan_.separator + entry2.name);
        }
        return found;
    }

    // A branch as a reader listed it, whole or its first folders. Listing,
    // nothing listed is opened again. Acting, only the folders holding an
    // archive are, by the same route, and each must be the folder that was
    // listed. The folders not listed the walk reads itself. Nothing when the
    // level-1 folder is no longer that one: the walk then reads it all.
    std::optional<std::int32_t> fromBranch(std::size_t index, const std::string& name, const std::string& path1,
                                           const Branch& branch) {
        const Folder level1 = valueOf(path1, branch.level1);
        const std::vector<FolderEntry> folders2 = Subfolders(level1.entries);
        // Not this listing's: read it all here.
        if (folders2.size() < branch.level2.size() + (branch.more ? 1 : 0)) return std::nullopt;
        if (IsLoop(fs_, level1, *assets_)) return 0;
        // The walk's own hold on it, taken before anything is listed from
        // it, where it acts in it or reads in it itself.
        bool needsHold = branch.level2.size() < folders2.size() || (action_ && HoldsAnArchive(level1.entries));
        for (const std::optional<Listing>& listed : branch.level2)
            needsHold = needsHold || !listed || (action_ && HoldsAnArchive(listed->entries));
        std::optional<Folder> own1;
        if (needsHold && !(own1 = reopen(*assets_, name, level1))) return std::nullopt;

        // A reader is in the next folder: rather than read it again, the
        // walk reads the ones after it now, out of turn, and then takes that
        // one from the reader. Only then is the branch copied to complete it.
        std::vector<std::optional<Listing>> completed;
        if (branch.more) {
            completed = branch.level2;
            const std::size_t inReader = completed.size();
            completed.resize(folders2.size());
            for (std::size_t i = inReader + 1; i < folders2.size(); ++i)
                completed[i] = outOfTurn(*own1, folders2[i], level1);
            completed[inReader] = readAhead_->late(index, inReader);
        }
        const std::vector<std::optional<Listing>>& listings = branch.more ? completed : branch.level2;
        std::int32_t found = 0;
        if (!own1) step();
        found += visit(own1 ? *own1 : level1, path1);
        for (std::size_t i = 0; i < folders2.size(); ++i) {
            const std::string path2 = path1 + plan_.separator + folders2[i].name;
            static const std::optional<Listing> unread;
            const std::optional<Listing>& listed = i < listings.size() ? listings[i] : unread;
            if (listed && (!action_ || !HoldsAnArchive(listed->entries))) {
                const Folder level2 = valueOf(path2, *listed);
                step();
                if (!IsLoop(fs_, level2, *assets_, &level1)) found += visit(level2, path2);
                continue;
            }
            // Acting in it, or its read failed (this walk's own read then
            // tells why): the folder as it is now, by the walk's own route.
            std::optional<Folder> level2;
            if (listed) {
                const Folder value = valueOf(path2, *listed);
                if (IsLoop(fs_, value, *assets_, &level1)) continue;
                level2 = reopen(*own1, folders2[i].name, value);
            }
            if (!level2 && !(level2 = open(*own1, folders2[i], &level1, false))) continue;
            if (!IsLoop(fs_, *level2, *assets_, &level1)) found += visit(*level2, path2);
        }
        return found;
    }

    // A folder read ahead of its turn, kept as a value. A failure is not
    // told here but left for the walk's own read at its turn, so that what
    // comes before it is listed and acted on first.
    std::optional<Listing> outOfTurn(const Folder& parent, const FolderEntry& entry, const Folder& level1) {
        step();
        return ReadLevel2(fs_, parent, entry, *assets_, level1, static_cast<bool>(action_));
    }

    // Opens and reads a folder itself; nothing where it is a link that
    // leads back to a folder the walk is in, which is then not opened.
    std::optional<Folder> open(const Folder& parent, const FolderEntry& entry, const Folder* level1, bool timed) {
        step();
        if (LoopThrough(fs_, parent, entry, *assets_, level1).known()) return std::nullopt;
        const auto from = std::chrono::steady_clock::now();
        Folder opened = fs_.openChild(parent, entry.name);
        if (timed) readAhead_->walkRead(std::chrono::steady_clock::now() - from);
        return opened;
    }

    // Opens a listed folder again to act in it, without reading it; nothing
    // when what stands there now is another folder.
    std::optional<Folder> reopen(const Folder& parent, const std::string& name, const Folder& listed) {
        step();
        Folder opened = fs_.openChildUnread(parent, name);
        opened.id = fs_.identityOf(opened);
        if (!SameFolder(opened.id, listed.id)) return std::nullopt;
        opened.entries = listed.entries;
        return opened;
    }

    // The one filter: every archive of a folder, by the path the walk
    // reached it by (built from AssetsPath, never from the system's name).
    // Returns how many it found and, acting, acted on.
    std::int32_t visit(const Folder& folder, const std::string& reachedPath) {
        std::int32_t found = 0;
        for (const FolderEntry& entry : folder.entries) {
            if (!IsArchive(entry)) continue;
            if (action_ && !act(folder, entry.name, reachedPath)) continue;
            addLine(reachedPath, entry.name);
            ++found;
        }
        return found;
    }

    // Acting, what counts is what the folder holds now: this walk may have
    // deleted the archive since through another route to the same folder.
    bool act(const Folder& folder, const std::string& name, const std::string& reachedPath) {
        try {
            step();
            if (fs_.kindOf(folder, name) != EntryKind::File) return false;
            step();  // the look-up may have taken its time
            action_(folder, name);
        } catch (const WalkStopped&) {
            throw;
        } catch (...) {
            // The list ends with the archive that failed, whether it could
            // not be looked up (a folder that may be read but not searched)
            // or not be deleted.
            addLine(reachedPath, name);
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
        if (progress_ && !progress_->keepGoing(list_)) throw WalkStopped();
    }

    const WalkPlan& plan_;
    FileSystem& fs_;
    std::string& list_;
    const ArchiveAction& action_;
    WalkProgress* const progress_;
    const Folder* assets_ = nullptr;
    std::optional<ReadAhead> readAhead_;
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

// The code point of the UTF-8 sequence at `text[at]` and its length; a
// length of 0 where the bytes there are no well-formed sequence (a stray or
// cut-off byte, an overlong form, a surrogate, past U+10FFFF).
std::pair<char32_t, std::size_t> decodeUtf8(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {lead, 1};
    std::size_t length = 0;
    char32_t point = 0, least = 0;
    if (lead >= 0xC2 && lead <= 0xDF) length = 2, point = lead & 0x1F, least = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3, point = lead & 0x0F, least = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4, point = lead & 0x07, least = 0x10000;
    else return {0, 0};
    if (at + length > text.size()) return {0, 0};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return {0, 0};
        point = (point << 6) | (byte(i) & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return {0, 0};
    return {point, length};
}

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
        if (at == entry.size()) break;
        const auto [point, length] = decodeUtf8(entry, at);
        if (length == 0) {
            out += "\\x";
            appendHex(out, static_cast<unsigned char>(entry[at]), 2);
            ++at;
            continue;
        }
        if (point == '\\' && separator != '\\') out += "\\\\";
        else if (point == '\n') out += "\\n";
        else if (point == '\r') out += "\\r";
        else if (point == '\t') out += "\\t";
        else if (point < 0x20 || point == 0x7F) out += "\\x", appendHex(out, point, 2);
        else if (changesTheLine(point)) out += "\\u", appendHex(out, point, 4);
        else out.append(entry, at, length);
        at += length;
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

std::optional<Listing> ReadLevel2(FileSystem& fs, const Folder& parent, const FolderEntry& entry, const Folder& assets,
                                  const Folder& level1, bool acting) try {
    if (const FolderId loop = LoopThrough(fs, parent, entry, assets, &level1); loop.known()) return Listing{loop, false, {}};
    Folder folder = fs.openChild(parent, entry.name);
    return ListingOf(fs, folder, &level1, acting);
} catch (...) {
    return std::nullopt;
}

bool MayBeALoop(const Folder& opened, const Folder* level1) {
    return !opened.plainRoute || (level1 && !level1->plainRoute);
}

bool IsLoop(FileSystem& fs, const Folder& opened, const Folder& assets, const Folder* level1) {
    if (!MayBeALoop(opened, level1)) return false;
    const FolderId id = fs.identityOf(opened);
    return SameFolder(id, fs.identityOf(assets)) || (level1 && SameFolder(id, fs.identityOf(*level1)));
}

Listing ListingOf(FileSystem& fs, Folder& folder, const Folder* level1, bool acting) {
    Listing listing{folder.id, folder.plainRoute, std::move(folder.entries)};
    const bool actsHere = acting && HoldsAnArchive(listing.entries);
    // A level-1 folder is always identified: it is opened again for what is below it.
    if (!level1 || MayBeALoop(folder, level1) || actsHere) listing.id = fs.identityOf(folder);
    // Looked up now as well, out of turn, so that the walk's own look-up
    // just before it deletes finds them in memory on a cold disk.
    for (const FolderEntry& entry : listing.entries)
        if (actsHere && IsArchive(entry)) fs.kindOf(folder, entry.name);
    return listing;
}

WalkPlan PlanWalk(FormState& state, Host& host) {
    return {state.AssetsPath, host.separator(), host.namesIgnoreCase(), state.sharedFileSystem(host),
            state.folderReaders, state.slowFolderRead};
}

std::int32_t WalkArchives(const WalkPlan& plan, std::string& list, const ArchiveAction& action,
                          WalkProgress* progress) {
    return Walk(plan, list, action, progress).run();
}

std::int32_t WalkArchives(FormState& state, Host& host, std::string& list, const ArchiveAction& action,
                          WalkProgress* progress) {
    return WalkArchives(PlanWalk(state, host), list, action, progress);
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
        if (!run->ended) throw;
        window.setText2(run->list);
        if (!deleting) throw;
        // The lines above the failure are archives already gone: say so,
        // and that nothing after it was touched, whatever the failure was.
        const auto* known = dynamic_cast<const HostError*>(&error);
        throw HostError(known ? known->number() : 0,
                        (known ? known->description() : UnexpectedFailureText(error)) + texts::kCrLf + texts::kCrLf +
                            texts::deletionStopped(run->deleted));
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

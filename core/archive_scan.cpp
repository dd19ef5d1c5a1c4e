#include "archive_scan.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <optional>

#include "ascii.h"
#include "branch_reader.h"
#include "off_window_calls.h"
#include "texts.h"

namespace quelmar {

namespace {

// Below this many level-1 folders the walk reads them itself: a handful of
// folders is read faster than helpers start.
constexpr std::size_t kFewFolders = 8;
// The most folders a walk holds open at once, whatever the tree's shape.
constexpr std::size_t kMostFoldersOpen = 256;
// What the walk holds open itself while it reads: a level-1 and a level-2
// folder (Assets is open already when the budget is asked for).
constexpr std::size_t kWalkOwnFolders = 2;

void inform(Host& host, const std::string& text, MessageIcon icon) {
    host.showMessage(text, icon, texts::kTitle);
}

// The window's side of a walk: it shows the lines found so far now and
// then, shows the window busy once the walk has lasted a moment, and keeps
// the window alive. A walk over before the first interval is up shows
// neither: on a fast disk, drawing them half-way would only flicker.
class WindowProgress : public WalkProgress {
public:
    WindowProgress(WindowOps& window, const FormState& state) : window_(window), state_(state) {}
    bool keepGoing(const std::string& list) override {
        const auto now = std::chrono::steady_clock::now();
        const bool due = now - shownAt_ >= state_.listShownInterval;
        if (due && !busyShown_) {
            window_.showBusy();
            busyShown_ = true;
        }
        if (due && list.size() != shownSize_) {
            window_.setText2(list);
            shownSize_ = list.size();
            shownAt_ = now;
        }
        return window_.keepAlive() && !state_.closeRequested;
    }

private:
    WindowOps& window_;
    const FormState& state_;
    std::size_t shownSize_ = 0;
    bool busyShown_ = false;
    std::chrono::steady_clock::time_point shownAt_ = std::chrono::steady_clock::now();
};

// Runs the walk with the window busy and hands the list to Text2 once at
// the end, also when the walk fails or is stopped, so the lines found
// before stay visible.
std::int32_t walkIntoText2(FormState& state, Host& host, WindowOps& window, const ArchiveAction& action) {
    std::string list = window.text2();
    std::int32_t count = 0;
    std::exception_ptr failure;
    window.setBusy(true);
    {
        WindowProgress progress(window, state);
        try {
            count = WalkArchives(state, host, list, action, &progress);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    window.setText2(list);
    // A click or key given during the last folder read or deletion is still
    // waiting: it is dropped now, while the window is busy, not run once the
    // walk is over (nor left to dismiss the message that follows unseen).
    window.keepAlive();
    window.setBusy(false);
    if (failure) std::rethrow_exception(failure);
    return count;
}

}  // namespace

int CheckPaths(FormState& state, Host& host, WindowOps* window) {
    if (state.GamePath.empty()) {
        inform(host, texts::folderNotSet(), MessageIcon::Information);
        return kCheckFailed;
    }
    auto ask = [&](auto&& call) { return window ? OffTheWindowThread(state, *window, call) : call(); };
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

bool IsArchiveName(std::string_view name) { return sameIgnoringAsciiCase(name, texts::kArchiveName); }

bool IsArchive(const FolderEntry& entry) { return entry.kind == EntryKind::File && IsArchiveName(entry.name); }

std::int32_t WalkArchives(FormState& state, Host& host, std::string& list, const ArchiveAction& action,
                          WalkProgress* progress) {
    const char sep = host.separator();
    // What a call handed to a helper uses, it holds itself (the file system,
    // the folder, the action, the name), for a stop may leave the helper in
    // it after this walk is gone.
    const std::shared_ptr<FileSystem> fsHeld = state.sharedFileSystem(host);
    FileSystem& fs = *fsHeld;
    const auto actionHeld = action ? std::make_shared<const ArchiveAction>(action) : nullptr;
    using Owner = std::shared_ptr<const void>;  // what keeps a folder alive
    std::int32_t count = 0;

    auto lastKept = std::chrono::steady_clock::now();
    auto keepAlive = [&] {
        if (!progress) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastKept < state.keepAliveInterval) return;
        lastKept = now;
        if (!progress->keepGoing(list)) throw WalkStopped();
    };
    // With a window to keep alive, what the walk asks of the system itself
    // is asked on a helper, so a folder or file that takes long to answer
    // never freezes the window; without one, right here.
    std::optional<OffWindowCalls> offWindow;
    if (progress)
        offWindow.emplace(state.slowCallWait, state.keepAliveInterval, [&] {
            lastKept = std::chrono::steady_clock::now();
            return progress->keepGoing(list);
        });
    auto ask = [&](auto&& call) -> decltype(call()) { return offWindow ? offWindow->run(call) : call(); };

    // The one filter: every archive of a folder, by the path the walk
    // reached it by (built from AssetsPath, never from the system's name).
    // Acting, what counts is what the folder holds now, as if it were read
    // just now: one read ahead may show an archive that this walk has
    // deleted since through another route to it, or a link to one.
    auto visit = [&](const Folder& folder, const Owner& owner, const std::string& reachedPath) {
        for (const FolderEntry& entry : folder.entries) {
            if (!IsArchive(entry)) continue;
            keepAlive();
            auto addLine = [&] {
                list += ListingEntry(reachedPath + sep + (host.namesIgnoreCase() ? texts::kArchiveName : entry.name),
                                     sep);
                list += texts::kCrLf;
            };
            if (actionHeld) {
                // Looked at and acted on in one hand-over: a deletion hands
                // over thousands.
                const auto isFile = std::make_shared<bool>(false);
                try {
                    ask([fsHeld, actionHeld, owner, &folder, name = entry.name, isFile] {
                        *isFile = fsHeld->kindOf(folder, name) == EntryKind::File;
                        if (*isFile) (*actionHeld)(folder, name);
                    });
                } catch (const WalkStopped&) {
                    throw;
                } catch (...) {
                    if (*isFile) addLine();  // the list ends with the archive that failed
                    throw;
                }
                if (!*isFile) continue;
            }
            addLine();
            ++count;
        }
    };

    const auto cut = state.AssetsPath.rfind(sep);
    const std::string parent = cut == std::string::npos ? "" : state.AssetsPath.substr(0, cut);
    const std::string assetsName = cut == std::string::npos ? state.AssetsPath : state.AssetsPath.substr(cut + 1);
    // Shared with helpers reading ahead, which a failure or a stop may leave
    // behind in a read that does not end.
    const auto assetsHeld = std::make_shared<const Folder>(
        ask([fsHeld, parent, assetsName] { return fsHeld->openFolder(parent, assetsName); }));
    const Folder& assets = *assetsHeld;

    // The rest of a branch read on the walk's own thread, one folder at a
    // time, each acted in as soon as it is read and closed before the next
    // is opened.
    auto walkChildren = [&](const Folder& top, const Owner& topOwner, const std::string& topPath, std::size_t from) {
        for (std::size_t i = from; i < top.entries.size(); ++i) {
            const FolderEntry& entry = top.entries[i];
            if (entry.kind != EntryKind::Folder) continue;
            keepAlive();
            // Opened although nothing below it is read: an unreadable
            // level-2 folder stops the walk just as a level-1 one does.
            const auto child = std::make_shared<const Folder>(
                ask([fsHeld, topOwner, &top, name = entry.name] { return fsHeld->openChild(top, name); }));
            if (!IsLoop(fs, *child, assets, &top)) visit(*child, child, topPath + sep + entry.name);
        }
    };
    auto walkBranch = [&](const std::string& name) {
        keepAlive();
        const auto top = std::make_shared<const Folder>(
            ask([fsHeld, assetsHeld, name] { return fsHeld->openChild(*assetsHeld, name); }));
        if (IsLoop(fs, *top, assets)) return;
        const std::string topPath = state.AssetsPath + sep + name;
        visit(*top, top, topPath);
        walkChildren(*top, top, topPath, 0);
    };

    std::vector<std::string> names;
    for (const FolderEntry& entry : assets.entries)
        if (entry.kind == EntryKind::Folder) names.push_back(entry.name);

    // Helpers read ahead only as far as the handles this process may still
    // open allow: each holds up to two folders while it reads, and at least
    // half of what is left stays for folders kept open for the walk.
    const std::size_t budget = std::min(fs.openFolderBudget(), kMostFoldersOpen);
    const std::size_t room = budget > kWalkOwnFolders ? budget - kWalkOwnFolders : 0;
    std::size_t helpers = names.size() < kFewFolders ? 0 : std::min<std::size_t>(state.folderReaders, names.size());
    helpers = std::min(helpers, room / 4);
    if (helpers <= 1) {
        for (const std::string& name : names) walkBranch(name);
        return count;
    }

    BranchReader reader(fsHeld, assetsHeld, names, static_cast<unsigned>(helpers), 4 * helpers, room - 2 * helpers,
                        static_cast<bool>(action));
    for (std::size_t i = 0; i < names.size(); ++i) {
        std::optional<Branch> taken = reader.take(i, keepAlive, state.keepAliveInterval);
        if (!taken) {
            walkBranch(names[i]);
            continue;
        }
        const auto branch = std::make_shared<Branch>(std::move(*taken));
        if (branch->top) {
            const std::string topPath = state.AssetsPath + sep + names[i];
            visit(*branch->top, branch, topPath);
            for (const Reached& child : branch->children) visit(child.folder, branch, topPath + sep + child.name);
            if (branch->resumeAt != Branch::kWhole) walkChildren(*branch->top, branch, topPath, branch->resumeAt);
        }
        reader.release(std::move(*branch));
    }
    return count;
}

void RefreshList(FormState& state, Host& host, WindowOps& window) {
    window.setText2("");
    const std::int32_t count = walkIntoText2(state, host, window, {});
    if (count != 0) {
        window.setDeleteEnabled(true);
    } else {
        inform(host, texts::noArchivesFound(), MessageIcon::Information);
        window.setDeleteEnabled(false);
    }
}

void DeleteArchives(FormState& state, Host& host, WindowOps& window) {
    window.setText2("");
    struct Counts {
        std::int32_t deleted = 0;
        std::int32_t held = 0;  // deleted, but still open in another program
    };
    // Counted on the helper that deletes, which a close may leave behind.
    const auto counts = std::make_shared<Counts>();
    std::int32_t count = 0;
    try {
        count = walkIntoText2(state, host, window,
                              [counts, fs = state.sharedFileSystem(host)](const Folder& folder, const std::string& name) {
                                  if (fs->deleteFile(folder, name) == Deletion::OnRelease) ++counts->held;
                                  ++counts->deleted;
                              });
    } catch (const WalkStopped&) {
        throw;
    } catch (const std::exception& error) {
        // The lines above the failure are archives already gone: say so,
        // and that nothing after it was touched, whatever the failure was.
        const auto* known = dynamic_cast<const HostError*>(&error);
        throw HostError(known ? known->number() : 0,
                        (known ? known->description() : UnexpectedFailureText(error)) + texts::kCrLf + texts::kCrLf +
                            texts::deletionStopped(counts->deleted));
    }
    if (count < 1) {
        inform(host, texts::noArchivesFound(), MessageIcon::Information);
        return;
    }
    std::string done = texts::archivesDeleted(count);
    if (counts->held > 0) done += std::string(texts::kCrLf) + texts::kCrLf + texts::deletedOnRelease(counts->held);
    inform(host, done, MessageIcon::Information);
    window.setDeleteEnabled(false);
    window.setText2("");
}

}  // namespace quelmar

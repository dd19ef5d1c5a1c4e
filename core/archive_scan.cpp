#include "archive_scan.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <new>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "ascii.h"
#include "off_window_calls.h"
#include "read_ahead_file_system.h"
#include "texts.h"

namespace quelmar {

namespace {

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

// The names of a folder's folders, in the order the system listed them.
std::vector<std::string> folderNames(const Folder& folder) {
    std::vector<std::string> names;
    for (const FolderEntry& entry : folder.entries)
        if (entry.kind == EntryKind::Folder) names.push_back(entry.name);
    return names;
}

// What one walk asks of the system, and how: with a window to keep alive,
// each call is made on a helper, so a folder or file that takes long to
// answer never freezes the window; without one, right here. What a call
// handed to a helper uses, it holds itself (the file system, the folders,
// the action), for a stop may leave the helper in it after the walk is gone.
class Walk {
public:
    using FolderRef = std::shared_ptr<const Folder>;

    Walk(FormState& state, Host& host, std::string& list, const ArchiveAction& action, WalkProgress* progress)
        : state_(state),
          host_(host),
          list_(list),
          progress_(progress),
          action_(action ? std::make_shared<const ArchiveAction>(action) : nullptr),
          readAhead_(std::make_shared<ReadAheadFileSystem>(
              state.sharedFileSystem(host), ReadAheadFileSystem::Plan{state.folderReaders, action_ != nullptr,
                                                                      state.slowFolderRead})),
          fs_(readAhead_) {
        if (progress_)
            offWindow_.emplace(state.slowCallWait, state.keepAliveInterval, [this] {
                lastKept_ = std::chrono::steady_clock::now();
                return progress_->keepGoing(list_);
            });
    }
    ~Walk() { readAhead_->stop(); }
    Walk(const Walk&) = delete;
    Walk& operator=(const Walk&) = delete;

    FolderRef openAssets() {
        const auto cut = state_.AssetsPath.rfind(host_.separator());
        const std::string parent = cut == std::string::npos ? "" : state_.AssetsPath.substr(0, cut);
        const std::string name = cut == std::string::npos ? state_.AssetsPath : state_.AssetsPath.substr(cut + 1);
        assets_ = std::make_shared<const Folder>(ask([fs = fs_, parent, name] { return fs->openFolder(parent, name); }));
        return assets_;
    }

    // Only a folder that takes a call to the system, or a wait, is asked
    // for off the window's thread: a hand-over for each of ten thousand
    // folders read ahead would cost more than reading them.
    FolderRef open(const FolderRef& parent, const std::string& name) {
        keepAlive();
        if (std::optional<Folder> read = fs_->alreadyRead(*parent, name))
            return std::make_shared<const Folder>(std::move(*read));
        return std::make_shared<const Folder>(ask([fs = fs_, parent, name] { return fs->openChild(*parent, name); }));
    }

    // Only a folder that every step from Assets reached by a plain route
    // is new for certain; any other is identified and compared.
    bool isLoop(const FolderRef& opened, const FolderRef& level1) {
        if (!MayBeALoop(*opened, level1.get())) return false;
        return ask([fs = fs_, opened, assets = assets_, level1] { return IsLoop(*fs, *opened, *assets, level1.get()); });
    }

    // The one filter: every archive of a folder, by the path the walk
    // reached it by (built from AssetsPath, never from the system's name).
    // Returns how many it found and, acting, acted on.
    std::int32_t visit(const Folder& folder, const FolderRef& owner, const std::string& reachedPath) {
        std::int32_t found = 0;
        for (const FolderEntry& entry : folder.entries) {
            if (!IsArchive(entry)) continue;
            keepAlive();
            if (action_ && !act(owner, entry.name, reachedPath)) continue;
            addLine(reachedPath, entry.name);
            ++found;
        }
        return found;
    }

private:
    // Acting, what counts is what the folder holds now, as if it were read
    // just now: a read ahead may show an archive that this walk has deleted
    // since through another route to it, or a link to one. Looked at and
    // acted on in one hand-over: a deletion hands over thousands.
    bool act(const FolderRef& folder, const std::string& name, const std::string& reachedPath) {
        const auto isFile = std::make_shared<bool>(false);
        try {
            ask([fs = fs_, action = action_, folder, name, isFile] {
                *isFile = fs->kindOf(*folder, name) == EntryKind::File;
                if (*isFile) (*action)(*folder, name);
            });
        } catch (const WalkStopped&) {
            throw;
        } catch (...) {
            // The list ends with the archive that failed, whether it could
            // not be looked up (a folder that may be read but not searched)
            // or not be deleted.
            addLine(reachedPath, name);
            throw;
        }
        return *isFile;
    }

    void addLine(const std::string& reachedPath, const std::string& name) {
        const char sep = host_.separator();
        list_ += ListingEntry(reachedPath + sep + (host_.namesIgnoreCase() ? texts::kArchiveName : name), sep);
        list_ += texts::kCrLf;
    }

    void keepAlive() {
        if (!progress_) return;
        const auto now = std::chrono::steady_clock::now();
        if (now - lastKept_ < state_.keepAliveInterval) return;
        lastKept_ = now;
        if (!progress_->keepGoing(list_)) throw WalkStopped();
    }

    template <typename Call>
    auto ask(Call&& call) -> decltype(call()) {
        return offWindow_ ? offWindow_->run(std::forward<Call>(call)) : call();
    }

    FormState& state_;
    Host& host_;
    std::string& list_;
    WalkProgress* const progress_;
    const std::shared_ptr<const ArchiveAction> action_;
    const std::shared_ptr<ReadAheadFileSystem> readAhead_;
    const std::shared_ptr<FileSystem> fs_;
    FolderRef assets_;
    std::chrono::steady_clock::time_point lastKept_ = std::chrono::steady_clock::now();
    std::optional<OffWindowCalls> offWindow_;
};

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

bool MayBeALoop(const Folder& opened, const Folder* level1) {
    return !opened.plainRoute || (level1 && !level1->plainRoute);
}

bool IsLoop(FileSystem& fs, const Folder& opened, const Folder& assets, const Folder* level1) {
    if (!MayBeALoop(opened, level1)) return false;
    const FolderId id = fs.identityOf(opened);
    return SameFolder(id, fs.identityOf(assets)) || (level1 && SameFolder(id, fs.identityOf(*level1)));
}

std::int32_t WalkArchives(FormState& state, Host& host, std::string& list, const ArchiveAction& action,
                          WalkProgress* progress) {
    Walk walk(state, host, list, action, progress);
    const char sep = host.separator();
    const Walk::FolderRef assets = walk.openAssets();
    std::int32_t count = 0;
    for (const std::string& name : folderNames(*assets)) {
        const Walk::FolderRef level1 = walk.open(assets, name);
        if (walk.isLoop(level1, nullptr)) continue;
        const std::string path1 = state.AssetsPath + sep + name;
        count += walk.visit(*level1, level1, path1);
        for (const std::string& name2 : folderNames(*level1)) {
            // Opened although nothing below it is read: an unreadable
            // level-2 folder stops the walk just as a level-1 one does.
            const Walk::FolderRef level2 = walk.open(level1, name2);
            if (!walk.isLoop(level2, level1)) count += walk.visit(*level2, level2, path1 + sep + name2);
        }
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

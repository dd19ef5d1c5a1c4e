#pragma once
// The tool's own logic: checking the game folder, walking the asset tree,
// listing the archives and deleting them.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "form_state.h"
#include "host.h"
#include "window.h"

namespace quelmar {

// Result of CheckPaths: the check failed and the user has been told why.
inline constexpr int kCheckFailed = 999;
inline constexpr int kCheckPassed = 0;

// Decides whether GamePath can be worked on; shows at most one message and
// sets AssetsPath when it passes. Host errors pass to the caller. Given the
// window, the look-ups run off its thread while it is kept alive.
int CheckPaths(FormState& state, Host& host, WindowOps* window = nullptr);

// The part of an archive's path shown in the list: from the first
// "<separator>Assets" in any letter case on, without that separator, or the
// whole path when there is none.
std::string ListingEntry(const std::string& candidatePath, char separator);

// A listing entry as the list shows it: one line that reads as what is on
// disk. Control characters (a line feed in a folder's name would split its
// line into two paths that both look real), the marks that turn text right
// to left, line and paragraph separators and bytes that are no UTF-8 are
// written as escapes ("\n", "\t", "\x1B", "\u202E"), as file managers and
// ls do; where the separator is not the backslash, a backslash is doubled,
// so that no name reads as another's escape. Only the list is escaped: the
// names the walk acts on stay as on disk.
std::string ShownEntry(std::string_view entry, char separator);

// The message for a failure that is not the host's own (a HostError says
// what happened itself).
std::string UnexpectedFailureText(const std::exception& error);

// Whether an entry's name is the archive's: "Blueprints.pak" in any ASCII
// letter case.
bool IsArchiveName(std::string_view name);
// Whether an entry is an archive the walk lists: a file (or a link to one)
// with the archive's name.
bool IsArchive(const FolderEntry& entry);
bool HoldsAnArchive(const std::vector<FolderEntry>& entries);
// A folder's folders, in the order the system listed them.
std::vector<FolderEntry> Subfolders(const std::vector<FolderEntry>& entries);

// A folder as it was read, without the hold on it: what a reader hands the
// walk.
struct Listing {
    FolderId id;  // known where the walk needs it: a folder that may be a loop, or one to act in
    bool plainRoute = false;
    std::vector<FolderEntry> entries;
};
// The identity of the folder a link among the entries of `parent` leads
// back to (Assets or, below a level-1 folder, that one), told without
// opening it, as `find -L` tells a loop; unknown for any other entry, or
// where the system cannot tell it so: IsLoop tells once it is open.
FolderId LoopThrough(FileSystem& fs, const Folder& parent, const FolderEntry& entry, const Folder& assets,
                     const Folder* level1 = nullptr);
// What the caller does with each archive found: `name` is its entry, as on
// disk, in the open `folder` it was read in.
using ArchiveAction = std::function<void(const Folder& folder, const std::string& name)>;

// Asked by a running walk, on its own thread, before it opens each folder
// and before each action; `list` is the list so far. Returning false stops
// the walk.
class WalkProgress {
public:
    virtual ~WalkProgress() = default;
    virtual bool keepGoing(const std::string& list) = 0;
    // Told of each archive as it is listed (acting, once it was acted on):
    // its full path as the walk reached it, each name as on disk.
    virtual void found(const std::string& /*path*/) {}
};

// Thrown by a walk that its progress hook stopped (the window was closed).
// It is not a failure: nobody is told.
class WalkStopped : public std::exception {
public:
    const char* what() const noexcept override { return "The walk was stopped."; }
};

// Whether a folder just opened is one the walk is already inside, reached
// again by another route (a link, a junction, a bind mount, a folder
// swapped for a link): Assets itself or, below a level-1 folder, that
// level-1 folder. Following it would list what is outside the two levels,
// or go round in a circle, so it is skipped, as `find -L` skips a loop.
bool IsLoop(FileSystem& fs, const Folder& opened, const Folder& assets, const Folder* level1 = nullptr);
// Whether IsLoop must identify the folder at all. Only one that every step
// from Assets reached by a plain route (no link, no mount crossed) is new
// for certain: a plain child of a level-1 folder that came by a link or a
// mount may be Assets itself, or that level-1 folder.
bool MayBeALoop(const Folder& opened, const Folder* level1 = nullptr);

// All a walk needs, as copies: a walk left running on a worker after the
// window went holds nothing of the window's.
struct WalkPlan {
    std::string assetsPath;
    char separator = '\\';
    bool namesIgnoreCase = false;
    std::shared_ptr<FileSystem> fs;
    unsigned readers = 1;  // that may read folders ahead of the walk; 1 or fewer: none
    std::stop_token stop;  // asked: the walk and its readers start nothing more
};
WalkPlan PlanWalk(FormState& state, Host& host);
// Visits every folder one and two levels below AssetsPath, depth first in the
// order the file system delivers them; a folder is whatever the system opens
// as one, links included, except a folder the walk is already inside,
// reached again. For each archive found it appends the listing entry and
// CR LF to `list`, performs `action` (if any) on it and counts it. With an
// action, an archive gone by the time the walk acts on it (deleted through
// another route to the same folder) is passed over. Returns the count; errors, and
// WalkStopped, pass to the caller with the entries found so far left in
// `list`.
std::int32_t WalkArchives(const WalkPlan& plan, std::string& list, const ArchiveAction& action,
                          WalkProgress* progress = nullptr);

// A failure that stopped a deletion, told with how many archives it had
// deleted before it (`atLeast`: the deletion may still be in a call).
HostError DeletionStoppedBy(const std::exception& error, std::int32_t deleted, bool atLeast = false);

// The folder part of a chosen file's full path: everything before the last
// separator. A file at the root of a POSIX file system gives the root itself,
// so the folder is never confused with "no folder chosen". Empty when the
// path holds no separator.
std::string FolderOfChosenFile(const std::string& path, char separator);

// Fills Text2 with the archives found and enables the Delete button when
// there are any.
void RefreshList(FormState& state, Host& host, WindowOps& window);

// Lists and deletes every archive found, then reports how many. A deletion
// stopped by a failure says how many it had deleted before it.
void DeleteArchives(FormState& state, Host& host, WindowOps& window);

}  // namespace quelmar

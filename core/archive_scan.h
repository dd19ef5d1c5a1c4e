#pragma once
// The tool's own logic: checking the game folder, walking the asset tree,
// listing the archives and deleting them.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "form_state.h"
#include "host.h"
#include "window.h"

namespace quelmar {

// Result of CheckPaths: the check failed and the user has been told why.
inline constexpr int kCheckFailed = 999;
inline constexpr int kCheckPassed = 0;

// Decides whether GamePath can be worked on; shows at most one message and
// sets AssetsPath when it passes. Host errors pass to the caller.
int CheckPaths(FormState& state, Host& host);

// The part of an archive's path shown in the list: from the first
// "<separator>Assets" in any letter case on, without that separator, or the
// whole path when there is none.
std::string ListingEntry(const std::string& candidatePath, char separator);

// Whether an entry's name is the archive's: "Blueprints.pak" in any ASCII
// letter case.
bool IsArchiveName(std::string_view name);

// What the caller does with each archive found: `name` is its entry, as on
// disk, in the open `folder`. An empty action does nothing and lets the walk
// let go of each folder as soon as it has been read.
using ArchiveAction = std::function<void(const Folder& folder, const std::string& name)>;

// Visits every folder one and two levels below AssetsPath, depth first in the
// order the file system delivers them; a folder is whatever the system opens
// as one, links included, except a link back to a folder the walk is already
// inside. For each archive found it appends the listing entry and CR LF to
// `list`, performs `action` on it and counts it. Returns the count; errors
// pass to the caller with the entries found so far left in `list`.
std::int32_t WalkArchives(FormState& state, Host& host, std::string& list, const ArchiveAction& action);

// Fills Text2 with the archives found and enables the Delete button when
// there are any.
void RefreshList(FormState& state, Host& host, WindowOps& window);

// Lists and deletes every archive found, then reports how many.
void DeleteArchives(FormState& state, Host& host, WindowOps& window);

}  // namespace quelmar

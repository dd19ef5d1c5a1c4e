#pragma once
// The tool's own logic: checking the game folder, walking the asset tree,
// listing the archives and deleting them.

#include <cstdint>
#include <functional>
#include <string>

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

using ArchiveAction = std::function<void(const std::string& candidatePath)>;

// Visits every folder one and two levels below AssetsPath, depth first in the
// order the file system delivers them. For each "Blueprints.pak" found it
// appends the listing entry and CR LF to `list`, performs `action` on the
// archive's path and counts it. Returns the count; errors pass to the caller
// with the entries found so far left in `list`.
std::int32_t WalkArchives(FormState& state, Host& host, std::string& list, const ArchiveAction& action);

// Fills Text2 with the archives found and enables the Delete button when
// there are any.
void RefreshList(FormState& state, Host& host, WindowOps& window);

// Lists and deletes every archive found, then reports how many.
void DeleteArchives(FormState& state, Host& host, WindowOps& window);

}  // namespace quelmar

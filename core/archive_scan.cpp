#include "archive_scan.h"

#include <algorithm>

#include "branch_reader.h"
#include "texts.h"

namespace quelmar {

namespace {

// Below this many level-1 folders the walk reads them itself.
constexpr std::size_t kFewFolders = 8;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalIgnoringCase(char a, char b) { return asciiLower(a) == asciiLower(b); }

void inform(Host& host, const std::string& text, MessageIcon icon) {
    host.showMessage(text, icon, texts::kTitle);
}

// Runs the walk and hands the list to Text2 once, also when the walk fails,
// so the lines found before the failure stay visible.
std::int32_t walkIntoText2(FormState& state, Host& host, WindowOps& window, const ArchiveAction& action) {
    std::string list = window.text2();
    std::int32_t count = 0;
    try {
        count = WalkArchives(state, host, list, action);
    } catch (...) {
        window.setText2(list);
        throw;
    }
    window.setText2(list);
    return count;
}

}  // namespace

int CheckPaths(FormState& state, Host& host) {
    if (state.GamePath.empty()) {
        inform(host, texts::folderNotSet(), MessageIcon::Information);
        return kCheckFailed;
    }
    if (!state.fileSystem(host).folderExists(state.GamePath)) {
        inform(host, texts::gameFolderNotFound(state.GamePath), MessageIcon::Warning);
        return kCheckFailed;
    }
    // Only the Assets folder's own name may differ in letter case; the game
    // folder is taken exactly as the user picked it.
    if (!state.fileSystem(host).childFolderExists(state.GamePath, texts::kAssetsFolder)) {
        inform(host, texts::assetsFolderNotFound(), MessageIcon::Warning);
        return kCheckFailed;
    }
    state.AssetsPath = state.GamePath + host.separator() + texts::kAssetsFolder;
    return kCheckPassed;
}

std::string ListingEntry(const std::string& candidatePath, char separator) {
    const std::string needle = std::string(1, separator) + texts::kAssetsFolder;
    const auto found = std::search(candidatePath.begin(), candidatePath.end(), needle.begin(), needle.end(),
                                   equalIgnoringCase);
    if (found == candidatePath.end()) return candidatePath;
    return std::string(found + 1, candidatePath.end());
}

bool IsArchiveName(std::string_view name) {
    const std::string_view archive = texts::kArchiveName;
    return name.size() == archive.size() && std::equal(name.begin(), name.end(), archive.begin(), equalIgnoringCase);
}

std::int32_t WalkArchives(FormState& state, Host& host, std::string& list, const ArchiveAction& action) {
    const char sep = host.separator();
    FileSystem& fs = state.fileSystem(host);
    std::int32_t count = 0;

    auto processArchives = [&](const Folder& folder) {
        for (const FolderEntry& entry : folder.entries) {
            if (entry.kind != EntryKind::File || !IsArchiveName(entry.name)) continue;
            list += ListingEntry(folder.path + sep + (host.namesIgnoreCase() ? texts::kArchiveName : entry.name), sep);
            list += texts::kCrLf;
            if (action) action(folder, entry.name);
            ++count;
        }
    };

    const auto cut = state.AssetsPath.rfind(sep);
    const Folder assets = cut == std::string::npos
                              ? fs.openFolder("", state.AssetsPath)
                              : fs.openFolder(state.AssetsPath.substr(0, cut), state.AssetsPath.substr(cut + 1));

    if (action) {
        // Each archive must be acted on in the folder that was read, so that
        // folder has to stay open until then; reading ahead would hold a
        // folder open for every route of a large provider at once. So this
        // walk reads one folder at a time, and a folder reached twice
        // through a link shows what the first visit left.
        for (const FolderEntry& entry1 : assets.entries) {
            if (entry1.kind != EntryKind::Folder || LeadsBack(entry1, assets)) continue;
            const Folder level1 = fs.openChild(assets, entry1.name);
            processArchives(level1);
            for (const FolderEntry& entry2 : level1.entries) {
                if (entry2.kind != EntryKind::Folder || LeadsBack(entry2, assets, &level1)) continue;
                // Opened although nothing below it is read: an unreadable
                // level-2 folder stops the walk just as a level-1 one does.
                processArchives(fs.openChild(level1, entry2.name));
            }
        }
        return count;
    }

    std::vector<std::string> names;
    for (const FolderEntry& entry : assets.entries)
        if (entry.kind == EntryKind::Folder && !LeadsBack(entry, assets)) names.push_back(entry.name);
    auto consume = [&](const Branch& branch) {
        if (branch.topError) std::rethrow_exception(branch.topError);
        processArchives(*branch.top);
        for (const Folder& level2 : branch.children) processArchives(level2);
        if (branch.childError) std::rethrow_exception(branch.childError);
    };
    // A handful of folders is read at once faster than helpers start.
    const unsigned helpers = names.size() < kFewFolders ? 0 : std::min<unsigned>(state.folderReaders, names.size());
    if (helpers <= 1) {
        for (const std::string& name : names) consume(ReadBranch(fs, assets, name));
        return count;
    }
    BranchReader reader(fs, assets, names, helpers, 4 * std::size_t{helpers});
    for (std::size_t i = 0; i < names.size(); ++i) consume(reader.take(i));
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
    FileSystem& fs = state.fileSystem(host);
    const std::int32_t count = walkIntoText2(
        state, host, window, [&fs](const Folder& folder, const std::string& name) { fs.deleteFile(folder, name); });
    if (count < 1) {
        inform(host, texts::noArchivesFound(), MessageIcon::Information);
        return;
    }
    inform(host, texts::archivesDeleted(count), MessageIcon::Information);
    window.setDeleteEnabled(false);
    window.setText2("");
}

}  // namespace quelmar

#include "archive_scan.h"

#include <algorithm>

#include "texts.h"

namespace quelmar {

namespace {

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
    const std::string assets = state.GamePath + host.separator() + texts::kAssetsFolder;
    if (!state.fileSystem(host).folderExists(assets)) {
        inform(host, texts::assetsFolderNotFound(), MessageIcon::Warning);
        return kCheckFailed;
    }
    state.AssetsPath = assets;
    return kCheckPassed;
}

std::string ListingEntry(const std::string& candidatePath, char separator) {
    const std::string needle = std::string(1, separator) + texts::kAssetsFolder;
    const auto found = std::search(candidatePath.begin(), candidatePath.end(), needle.begin(), needle.end(),
                                   equalIgnoringCase);
    if (found == candidatePath.end()) return candidatePath;
    return std::string(found + 1, candidatePath.end());
}

std::int32_t WalkArchives(FormState& state, Host& host, std::string& list, const ArchiveAction& action) {
    const char sep = host.separator();
    std::int32_t count = 0;

    auto processIfPresent = [&](const std::string& basePath) {
        const std::string candidate = basePath + sep + texts::kArchiveName;
        if (!state.fileSystem(host).fileExists(candidate)) return;
        list += ListingEntry(candidate, sep);
        list += texts::kCrLf;
        action(candidate);
        ++count;
    };

    const Folder assets = state.fileSystem(host).getFolder(state.AssetsPath + sep);
    for (const std::string& level1 : assets.subFolders) {
        const std::string base1 = state.AssetsPath + sep + level1;
        const Folder folder1 = state.fileSystem(host).getFolder(base1 + sep);
        processIfPresent(base1);
        for (const std::string& level2 : folder1.subFolders) {
            const std::string base2 = base1 + sep + level2;
            // Opened although nothing is read from it: an unreadable level-2
            // folder must stop the walk just as an unreadable level-1 one does.
            state.fileSystem(host).getFolder(base2 + sep);
            processIfPresent(base2);
        }
    }
    return count;
}

void RefreshList(FormState& state, Host& host, WindowOps& window) {
    window.setText2("");
    const std::int32_t count = walkIntoText2(state, host, window, [](const std::string&) {});
    if (count != 0) {
        window.setDeleteEnabled(true);
    } else {
        inform(host, texts::noArchivesFound(), MessageIcon::Information);
        window.setDeleteEnabled(false);
    }
}

void DeleteArchives(FormState& state, Host& host, WindowOps& window) {
    window.setText2("");
    const std::int32_t count =
        walkIntoText2(state, host, window, [&host](const std::string& path) { host.deleteFile(path); });
    if (count < 1) {
        inform(host, texts::noArchivesFound(), MessageIcon::Information);
        return;
    }
    inform(host, texts::archivesDeleted(count), MessageIcon::Information);
    window.setDeleteEnabled(false);
    window.setText2("");
}

}  // namespace quelmar

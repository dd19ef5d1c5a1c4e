#pragma once
// The state the main window owns for its whole life.

#include <atomic>
#include <chrono>
#include <memory>
#include <stop_token>
#include <string>

#include "host.h"

namespace quelmar {

struct FormState {
    // The game folder as chosen or restored; empty means none was chosen.
    std::string GamePath;
    // GamePath followed by the separator and "Assets"; only a passed check
    // sets it, and a failed one leaves the previous value.
    std::string AssetsPath;
    // Created on first use and kept with the window, and by any helper
    // left in a call to it.
    std::shared_ptr<FileSystem> fileSystemObject;
    // How many readers may read folders ahead of a walk, side by side; 1
    // or fewer: none. The walk itself reads one folder at a time.
    unsigned folderReaders = kDefaultFolderReaders;
    static constexpr unsigned kDefaultFolderReaders = 16;
    // How often the window's thread, waiting for a walk or a look-up on a
    // worker, repaints and answers the window system: often enough that it
    // never looks hung. A wait this long also shows the window, at start-up.
    std::chrono::milliseconds keepAliveInterval{40};
    // How often the lines found so far are shown while a walk runs: a few
    // times a second is easy to follow and cheap to draw.
    std::chrono::milliseconds listShownInterval{250};
    // A folder offered to the locate dialog that took this long to answer
    // is left out: the dialog would ask it again on the window's thread.
    std::chrono::milliseconds slowCallWait{40};
    // Before the locate dialog opens, the stored folder is waited for this
    // long at most, and the whole search for where it starts this long: a
    // mount that does not answer never keeps the user from the dialog.
    std::chrono::milliseconds storedFolderWait{250};
    std::chrono::milliseconds locateSearchLimit{1000};
    // At start-up the stored folder is waited for this long at most: long
    // enough for a sleeping disk to spin up or a share to reconnect, short
    // enough that one that never answers soon leaves the user "..." to
    // choose another.
    std::chrono::milliseconds startUpCheckLimit{10000};
    // The window was asked to close while a command ran: the command ends
    // at once, its walk starts nothing more, and the window closes.
    bool closeRequested = false;
    // The running walk's stop, while there is one: a close sets it at once,
    // not at the next keep-alive, since the process may end as soon as the
    // system has been told (a session ending).
    std::stop_source walkStop{std::nostopstate};

    const std::shared_ptr<FileSystem>& sharedFileSystem(Host& host) {
        if (!fileSystemObject) fileSystemObject = host.createFileSystem();
        return fileSystemObject;
    }
};

}  // namespace quelmar

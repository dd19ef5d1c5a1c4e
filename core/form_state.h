#pragma once
// The state the main window owns for its whole life.

#include <chrono>
#include <memory>
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
    // How many folders a walk may read at once; 1 reads them one at a
    // time. Chosen by measurement on cold and warm disks.
    unsigned folderReaders = kDefaultFolderReaders;
    static constexpr unsigned kDefaultFolderReaders = 16;
    // Two readers start: on a warm disk two keep up with the walk, and each
    // one more costs a thread and its wake-ups (2, 4, 8, 16 on a warm tree
    // of 10,000 folders: 29.6, 32.4, 31.5, 33.9 ms). Once most of a few
    // dozen folders have each taken this long to read, the disk is cold or
    // slow, and all of them read side by side (the same tree cold: 534,
    // 371, 270, 216 ms). A warm folder is read in a few microseconds, a cold
    // one in hundreds. Zero starts them all at once.
    std::chrono::microseconds slowFolderRead{100};
    // How often a running walk lets the window repaint and answer the
    // window system: often enough that it never looks hung, seldom enough
    // to cost nothing on a fast disk.
    std::chrono::milliseconds keepAliveInterval{40};
    // How often the lines found so far are shown while a walk runs: a few
    // times a second is easy to follow and cheap to draw.
    std::chrono::milliseconds listShownInterval{250};
    // How long the window's thread waits on a call to the system made on a
    // helper before it keeps the window alive meanwhile.
    std::chrono::milliseconds slowCallWait{40};
    // The window was asked to close while a command ran: the walk stops at
    // its next folder or archive, and the window closes once the command
    // has ended.
    bool closeRequested = false;

    FileSystem& fileSystem(Host& host) { return *sharedFileSystem(host); }
    const std::shared_ptr<FileSystem>& sharedFileSystem(Host& host) {
        if (!fileSystemObject) fileSystemObject = host.createFileSystem();
        return fileSystemObject;
    }
};

}  // namespace quelmar

#pragma once
// The operations the logic performs on the main window. Each window system
// implements them once; the logic never sees a control.

#include <optional>
#include <string>
#include <vector>

#include "host.h"

namespace quelmar {

// What the file-open dialog is given before it is shown. The filter is a
// list of description and pattern pairs separated by "|".
struct OpenDialogRequest {
    std::string initialFolder;
    std::string title;
    std::string fileName;
    std::string filter;
    std::vector<Place> places;  // offered in the dialog's sidebar
};

class WindowOps {
public:
    virtual ~WindowOps() = default;

    virtual void setCaption(const std::string& caption) = 0;
    virtual void setText1(const std::string& text) = 0;
    // The list of archives; lines end in CR LF.
    virtual void setText2(const std::string& text) = 0;
    virtual void setDeleteEnabled(bool enabled) = 0;   // butDeletePaks
    virtual void setRefreshEnabled(bool enabled) = 0;  // butRefreshList

    // Shows the window if it is not on screen yet; start-up calls it once the
    // folder check has passed, so that the listing fills a visible window.
    virtual void showWindow() = 0;

    // While a command walks the tree, from setBusy(true) to setBusy(false),
    // the window drops user input (keys, clicks, touches) on arrival; it
    // shows nothing of it yet, so a walk over in an instant does not flicker.
    virtual void setBusy(bool busy) = 0;
    // The walk has lasted long enough to be seen: until setBusy(false) the
    // window shows it is busy (the waiting cursor, and the three buttons
    // drawn disabled), and then gives each button back the state the
    // commands have left it in.
    virtual void showBusy() = 0;
    // Called on the window's thread every few hundredths of a second while a
    // walk runs, and once more when it ends, and while a command waits on a
    // slow call to the system: the window repaints, answers the window system
    // and handles what else is waiting here, dropping input. Returns false
    // when the window is gone: the walk, or the wait, stops.
    virtual bool keepAlive() = 0;
    // Closes the window for good. Form1 calls it when a close that was asked
    // for during a command can happen, once that command has ended.
    virtual void closeWindow() = 0;

    // Shows the modal file-open dialog (CommonDialog1) and returns the full
    // path of the chosen file, or nothing when the user cancels. A dialog
    // that fails raises HostError.
    virtual std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) = 0;
};

}  // namespace quelmar

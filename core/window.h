#pragma once
// The operations the logic performs on the main window. Each window system
// implements them once; the logic never sees a control.

#include <optional>
#include <string>

namespace quelmar {

// What the file-open dialog is given before it is shown. The filter is a
// list of description and pattern pairs separated by "|".
struct OpenDialogRequest {
    std::string initialFolder;
    std::string title;
    std::string fileName;
    std::string filter;
};

class WindowOps {
public:
    virtual ~WindowOps() = default;

    virtual void setCaption(const std::string& caption) = 0;
    virtual void setText1(const std::string& text) = 0;
    // The list of archives; lines end in CR LF.
    virtual void setText2(const std::string& text) = 0;
    virtual std::string text2() const = 0;
    virtual void setDeleteEnabled(bool enabled) = 0;   // butDeletePaks
    virtual void setRefreshEnabled(bool enabled) = 0;  // butRefreshList

    // Shows the modal file-open dialog (CommonDialog1) and returns the full
    // path of the chosen file, or nothing when the user cancels. A dialog
    // that fails raises HostError.
    virtual std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) = 0;
};

}  // namespace quelmar

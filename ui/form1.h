#pragma once
// The main window's behaviour, independent of any window system: it owns the
// window-level state and handles start-up and the three commands. A skin
// creates the controls, implements WindowOps and forwards the events here.

#include <exception>
#include <functional>

#include "core/form_state.h"
#include "core/host.h"
#include "core/window.h"

namespace quelmar {

class Form1 {
public:
    Form1(Host& host, WindowOps& window) : host_(host), window_(window) {}

    enum class Start { ShowWindow, EndProgram };

    // Runs once before the window is first shown; EndProgram means the
    // window must not be shown and the program ends.
    Start Form_Load();

    // The click events, as the window raises them. An error that no command
    // handles is reported here and the program keeps running.
    void mnuLocateGameEXE_Click() { reportErrors([this] { locateGameExe(); }); }
    void butRefreshList_Click() { reportErrors([this] { refreshList(); }); }
    void butDeletePaks_Click() { reportErrors([this] { deletePaks(); }); }

    const FormState& state() const { return state_; }

private:
    void locateGameExe();
    void refreshList();
    void deletePaks();
    void applyCheckResult(int result);
    void reportErrors(const std::function<void()>& handler);
    void report(const std::exception& error, MessageIcon icon = MessageIcon::Critical);

    Host& host_;
    WindowOps& window_;
    FormState state_;
};

// The folder part of a chosen file's full path: everything before the last
// separator. A file at the root of a POSIX file system gives the root itself,
// so the folder is never confused with "no folder chosen". Empty when the
// path holds no separator.
std::string FolderOfChosenFile(const std::string& path, char separator);

}  // namespace quelmar

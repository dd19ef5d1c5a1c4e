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

    // The click events, as the window raises them, by whatever route (mouse,
    // keyboard, a screen reader, a posted message). An error that no command
    // handles is reported here and the program keeps running.
    void mnuLocateGameEXE_Click() { command([this] { locateGameExe(); }); }
    void butRefreshList_Click() { command([this] { refreshList(); }); }
    void butDeletePaks_Click() { command([this] { deletePaks(); }); }

    // A command (start-up or a click) holds the program from its first
    // statement to its last, its message boxes and the file dialog
    // included; a command asked for meanwhile is dropped, never queued.
    bool busy() const { return running_; }

    // The window is asked to close (its close box, the system, the session
    // ending). True: it may close now. False: a command is running; its walk
    // stops at the next folder or archive, and the window is closed
    // (WindowOps::closeWindow) as soon as the command has ended.
    bool requestClose();

    const FormState& state() const { return state_; }
    FormState& state() { return state_; }  // its limits, for a test to shorten

private:
    void locateGameExe();
    void refreshList();
    void deletePaks();
    bool storedFolderAnswers();
    void applyCheckResult(int result);
    void command(const std::function<void()>& handler);
    void reportErrors(const std::function<void()>& handler);
    void report(const std::exception& error, MessageIcon icon = MessageIcon::Critical);

    Host& host_;
    WindowOps& window_;
    FormState state_;
    bool running_ = false;
};

}  // namespace quelmar

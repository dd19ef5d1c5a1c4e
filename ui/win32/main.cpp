// Quelmar for Windows: the Win32 window over the shared logic.

#include <windows.h>
#include <commctrl.h>

#include "platform/windows/console.h"
#include "platform/windows/windows_host.h"
#include "ui/win32/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // With arguments, a command for scripts and launchers, writing to the
    // handles it was given; typed in a console, quelmar.com runs it there.
    if (std::vector<std::string> arguments = quelmar::ProgramArguments(); !arguments.empty()) {
        quelmar::WindowsConsole console;
        auto& host = *new quelmar::WindowsHost;  // as below: a worker may outlive WinMain
        return quelmar::cli::Run(quelmar::cli::ParseArguments(arguments), host, console);
    }

    // The manifest asks for version 6 of the common controls, which draws
    // the buttons and edits in the system's visual style.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    // Never destroyed: a look-up that a close left running on a worker (a
    // share that does not answer) may still be in it while the program ends.
    auto& host = *new quelmar::WindowsHost;
    quelmar::MainWindow window(instance, host);
    if (!window.create()) return 1;
    window.setShowCommand(showCommand);
    // The window stays hidden while the form loads, and is shown once the
    // game folder check has passed, before the listing fills it. Message
    // boxes are owned by it only once it is on screen: before, one owned by
    // a hidden window would have no taskbar button of its own.
    host.setOwnerWindow(window.handle());
    if (window.load() == quelmar::Form1::Start::EndProgram) return 0;
    window.showWindow();

    MSG message;
    BOOL result;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (window.preTranslate(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return result < 0 ? 1 : static_cast<int>(message.wParam);
}

// Quelmar for Windows: the Win32 window over the shared logic.

#include <windows.h>
#include <commctrl.h>

#include "platform/windows/windows_host.h"
#include "ui/win32/main_window.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
    // The manifest asks for version 6 of the common controls, which draws
    // the buttons and edits in the system's visual style.
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    quelmar::WindowsHost host;
    quelmar::MainWindow window(instance, host);
    if (!window.create()) return 1;
    // The window exists but is hidden while the form loads; a message shown
    // meanwhile has no owner, so it gets its own taskbar button instead of
    // hiding behind a window nobody can see.
    if (window.load() == quelmar::Form1::Start::EndProgram) return 0;
    window.show(showCommand);
    host.setOwnerWindow(window.handle());

    MSG message;
    BOOL result;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        if (window.preTranslate(message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return result < 0 ? 1 : static_cast<int>(message.wParam);
}

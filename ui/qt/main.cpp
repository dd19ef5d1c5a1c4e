#include <QApplication>

#include "core/command_line.h"
#include "platform/linux/console.h"
#include "platform/linux/linux_host.h"
#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
    // With arguments, a command for scripts and launchers: no window
    // system is loaded, so it runs with no display at all.
    if (argc > 1) {
        quelmar::linux_host::PosixConsole console;
        auto& host = *new quelmar::linux_host::LinuxHost;  // as below: a worker may outlive main
        return quelmar::cli::Run(quelmar::cli::ParseArguments({argv + 1, argv + argc}), host, console);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName("Quelmar");
    QApplication::setDesktopFileName("quelmar");
    QApplication::setWindowIcon(QIcon(":/quelmar/icon-256.png"));

    // Never destroyed: a look-up that a close left running on a worker (a
    // mount that does not answer) may still be in it while the program ends.
    auto& host = *new quelmar::linux_host::LinuxHost;
    quelmar::qt::MainWindow window(host);
    host.setMessageOwner(&window);
    // The player started Quelmar again, likely not seeing this copy: show it.
    host.setSecondStartHandler([&window] { window.bringForward(); });
    if (window.load() == quelmar::Form1::Start::EndProgram) return 0;
    window.showWindow();
    return QApplication::exec();
}

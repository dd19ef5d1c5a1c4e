// quelmar.com, the console front end beside quelmar.exe: cmd.exe and
// PowerShell prefer it for "quelmar", wait for it and take its exit status,
// which they do not for a program of the window subsystem.

#include <windows.h>

#include "core/command_line.h"
#include "core/texts.h"
#include "platform/windows/console.h"
#include "platform/windows/windows_host.h"
#include "platform/windows/win32_error.h"
#include "platform/windows/win32_text.h"

int main() {
    auto& host = *new quelmar::WindowsHost;  // never destroyed: a worker left in a call may outlive main
    quelmar::WindowsConsole console;
    const std::vector<std::string> arguments = quelmar::ProgramArguments();
    if (!arguments.empty()) return quelmar::cli::Run(quelmar::cli::ParseArguments(arguments), host, console);
    // Typed alone, "quelmar" is the window, and the prompt comes back at once.
    const std::wstring window = quelmar::win32::widen(host.programFolder() + "\\quelmar.exe");
    // Quoted: without a command line the system would pass the program's
    // path as one, split at its spaces ("C:\Program Files\...").
    std::wstring line = L"\"" + window + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(window.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
        const std::string reason = quelmar::win32::systemReason(GetLastError());
        console.writeError(std::string(quelmar::texts::kCommandName) + ": " +
                           quelmar::texts::notStarted(quelmar::win32::narrow(window), reason));
        return quelmar::cli::kCannotStart;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}

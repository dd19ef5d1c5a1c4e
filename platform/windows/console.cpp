#include "platform/windows/console.h"

#include <windows.h>
#include <shellapi.h>

#include <atomic>

#include "core/texts.h"
#include "platform/windows/win32_error.h"
#include "platform/windows/win32_text.h"

namespace quelmar {

namespace {

// Process-wide: the system calls the handler on a thread of its own.
std::stop_source& interrupted() {
    static std::stop_source* source = new std::stop_source;  // never destroyed: the handler may outlive main
    return *source;
}

// Set once the game runs: from then on every key is the game's to answer,
// and this program waits for it whatever is pressed.
std::atomic<bool> gameRunning{false};

// The first Ctrl+C stops the walk before its next folder or deletion; a
// second one, for a walk held in a read that does not answer, ends the
// program there and then.
BOOL WINAPI onControl(DWORD event) {
    if (gameRunning) return TRUE;
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (!interrupted().request_stop()) ExitProcess(cli::kInterrupted);
    return TRUE;
}

bool isConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR &&
           GetConsoleMode(handle, &mode);
}

// A console is written in UTF-16, so every name shows as itself whatever
// its code page; anything else (a pipe, a file) gets the UTF-8 bytes.
bool writeTo(DWORD which, std::string_view bytes) {
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return true;  // nowhere to write: nothing lost
    if (isConsole(handle)) {
        const std::wstring wide = win32::widen(bytes);
        DWORD wrote = 0;
        for (std::size_t at = 0; at < wide.size(); at += wrote)
            if (!WriteConsoleW(handle, wide.data() + at, static_cast<DWORD>(wide.size() - at), &wrote, nullptr))
                return false;
        return true;
    }
    DWORD wrote = 0;
    for (std::size_t at = 0; at < bytes.size(); at += wrote)
        if (!WriteFile(handle, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &wrote, nullptr))
            return false;
    return true;
}

// One argument as the C runtime's parser reads it back: quoted where it
// holds a space, a tab or a quote, or is empty; backslashes doubled only
// where a quote follows them.
void appendQuoted(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t slashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        line.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        line += c;
    }
    line.append(2 * slashes, L'\\');
    line += L'"';
}

}  // namespace

WindowsConsole::WindowsConsole() { SetConsoleCtrlHandler(onControl, TRUE); }

void WindowsConsole::writeOut(std::string_view bytes) {
    if (writeTo(STD_OUTPUT_HANDLE, bytes)) return;
    const DWORD error = GetLastError();
    throw HostError(error, texts::outputNotWritten(win32::systemReason(error)));
}

void WindowsConsole::writeError(std::string_view line) { writeTo(STD_ERROR_HANDLE, std::string(line) + "\r\n"); }

bool WindowsConsole::outputIsTerminal() { return isConsole(GetStdHandle(STD_OUTPUT_HANDLE)); }

std::optional<std::string> WindowsConsole::environment(const char* name) {
    const std::wstring key = win32::widen(name);
    const DWORD size = GetEnvironmentVariableW(key.c_str(), nullptr, 0);
    if (size == 0) return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(key.c_str(), value.data(), size));
    return win32::narrow(value);
}

std::optional<cli::Console::Found> WindowsConsole::lookUp(const std::string& path) {
    const std::wstring typed = win32::widen(path);
    const DWORD size = GetFullPathNameW(typed.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    if (size == 0 || (full.resize(GetFullPathNameW(typed.c_str(), size, full.data(), nullptr)), full.empty()))
        win32::fail(GetLastError(), texts::Operation::TestPath, path);
    const DWORD attributes = GetFileAttributesW(win32::extendedPath(win32::narrow(full)).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) return std::nullopt;
        win32::fail(error, texts::Operation::TestPath, path);
    }
    // "C:\" as the window's dialog gives a root: "C:", the separator added to it.
    while (full.size() > 1 && full.back() == L'\\') full.pop_back();
    return Found{win32::narrow(full), (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
}

std::stop_token WindowsConsole::interruption() { return interrupted().get_token(); }

int WindowsConsole::runAfter(const std::vector<std::string>& command) {
    std::wstring line;
    for (const std::string& argument : command) {
        if (!line.empty()) line += L' ';
        appendQuoted(line, win32::widen(argument));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // The game gets the system's own error boxes, not the ones this program
    // turned off for its drives.
    gameRunning = true;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_DEFAULT_ERROR_MODE, nullptr, nullptr,
                        &startup, &process)) {
        gameRunning = false;
        const DWORD error = GetLastError();
        throw HostError(error, texts::notStarted(command[0], win32::reasonFor(error, texts::Operation::TestPath)));
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = cli::kError;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

std::vector<std::string> ProgramArguments() {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; wide && i < count; ++i) arguments.push_back(win32::narrow(wide[i]));
    LocalFree(wide);
    return arguments;
}

}  // namespace quelmar

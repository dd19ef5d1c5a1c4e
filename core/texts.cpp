#include "texts.h"

#include <vector>

namespace quelmar::texts {

namespace {
// One empty line between sentences. Never destroyed: a worker left in a
// call may still build a message while the program ends.
const std::string& kBreak = *new std::string(std::string(kCrLf) + kCrLf);

bool continuesACharacter(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }
}

std::string shownPath(const std::string& path) {
    // A box must come up at once and fit the screen, whatever the path: a
    // long one keeps both ends, which tell where it is, and says what went.
    constexpr std::size_t kLongest = 400, kEnd = 180;  // in characters
    std::vector<std::size_t> starts;  // where each character begins
    for (std::size_t i = 0; i < path.size(); ++i)
        if (!continuesACharacter(path[i])) starts.push_back(i);
    if (starts.size() <= kLongest) return path;
    return path.substr(0, starts[kEnd]) + " [… shortened …] " + path.substr(starts[starts.size() - kEnd]);
}

std::string versionCaption(int major, int revision) {
    return "Quelmar  v" + std::to_string(major) + " build " + std::to_string(revision);
}

std::string libraryOnDrive(const std::string& drive) {
    std::string shown = drive;
    if (!shown.empty() && shown[0] >= 'a' && shown[0] <= 'z') shown[0] = static_cast<char>(shown[0] - 'a' + 'A');
    return "Library on " + shown;
}

std::string folderNotSet() { return "Important!" + kBreak + "Set up game folder path before beginning."; }

std::string gameFolderNotFound(const std::string& gamePath) {
    return shownPath(gamePath) + kBreak + "Folder path to game not found." + kBreak + "Check game folder path.";
}

std::string assetsFolderNotFound() {
    return "Folder path to \\Assets not found." + kBreak + "Check game folder path.";
}

std::string noArchivesFound() { return "No .pak files found."; }

std::string archivesDeleted(std::int32_t count) {
    return "Complete." + kBreak + std::to_string(count) + " .pak files deleted.";
}

std::string deletedOnRelease(std::int32_t held) {
    if (held == 1)
        return "1 of them is still open in another program; it disappears once that program lets go of it.";
    return std::to_string(held) +
           " of them are still open in other programs; they disappear once those programs let go of them.";
}

std::string initializationError() { return "Initialization error.Terminating."; }

std::string unexpectedFailure(const std::string& detail, bool outOfMemory) {
    return "Quelmar could not go on with this command:" + kBreak +
           (outOfMemory ? std::string("There is not enough memory. Close other programs, then try again.")
                        : "An unexpected error occurred (" + detail + ").");
}

std::string failure(Operation operation, const std::string& path, const std::string& reason) {
    std::string what;
    switch (operation) {
        case Operation::TestPath: what = "This path could not be checked:"; break;
        case Operation::ReadFolder: what = "This folder could not be read:"; break;
        case Operation::DeleteFile: what = "This file could not be deleted:"; break;
        case Operation::ReadSettings: what = "The settings could not be read from:"; break;
        case Operation::SaveSettings: what = "The settings could not be saved to:"; break;
        case Operation::InstanceCheck: what = "Could not tell whether Quelmar is already running:"; break;
        case Operation::ProgramInfo: what = "Could not read Quelmar's own program file:"; break;
    }
    return what + kBreak + shownPath(path) + kBreak + reason;
}

std::string reasonFor(std::errc condition, Operation operation) {
    switch (condition) {
        case std::errc::permission_denied:
        case std::errc::operation_not_permitted:
            switch (operation) {
                case Operation::TestPath: return "Access is denied. Check that your user account may open every folder on this path.";
                case Operation::ReadFolder: return "Access is denied. Check that your user account may open and read this folder.";
                case Operation::ReadSettings:
                case Operation::ProgramInfo: return "Access is denied. Check that your user account may read this file.";
                case Operation::DeleteFile:
                    return "Access is denied. Your user account may not change this file, or the folder that holds it.";
                case Operation::SaveSettings:
                case Operation::InstanceCheck: break;
            }
            return "Access is denied. Check that your user account may change this location.";
        case std::errc::no_such_file_or_directory:
            return "It is no longer there. It may have been moved or deleted by another program; refresh the list.";
        case std::errc::read_only_file_system:
            return "The drive is read-only.";
        case std::errc::device_or_resource_busy:
        case std::errc::text_file_busy:
            return "It is in use by another program. Close the game and try again.";
        case std::errc::not_a_directory:
            return "A part of the path is a file, not a folder.";
        case std::errc::is_a_directory:
            return "It is a folder, not a file.";
        case std::errc::filename_too_long:
            return "The path is too long.";
        case std::errc::too_many_symbolic_link_levels:
            return "The path loops through symbolic links.";
        case std::errc::io_error:
            return "The drive reported a read or write error.";
        default:
            return std::generic_category().message(static_cast<int>(condition));
    }
}

std::string readOnlyReason() {
    return "The file is read-only. Clear its read-only setting if you want Quelmar to delete it.";
}

std::string linkNotDeletedReason() {
    return "It is a link, and this system would delete what it leads to instead, so Quelmar stopped rather than "
           "delete it.";
}

std::string deletionStopped(std::int32_t deleted, bool atLeast) {
    if (atLeast && deleted == 0)
        return "Deleting stopped before it was known to have deleted any .pak file; no deletion was started after "
               "that.";
    if (atLeast)
        return "Deleting stopped after at least " + std::to_string(deleted) +
               (deleted == 1 ? " .pak file was" : " .pak files were") + " deleted; no deletion was started after that.";
    if (deleted == 0) return "Deleting stopped before any .pak file was deleted; none was touched.";
    if (deleted == 1)
        return "Deleting stopped after 1 .pak file was deleted (the first line of the list); the rest were not "
               "touched.";
    const std::string n = std::to_string(deleted);
    return "Deleting stopped after " + n + " .pak files were deleted (the first " + n +
           " lines of the list); the rest were not touched.";
}

std::string settingsNotUsed() { return "Quelmar starts as if no game folder were stored."; }

std::string damagedSettingsReason() {
    return "The file is damaged: Quelmar cannot make sense of what it holds. Pick the game folder again with "
           "\"...\" to write it anew.";
}

std::string settingsOfAnotherUserReason() {
    return "It belongs to another user account, for example after Quelmar was run with sudo. Give it back to "
           "your account, or delete it.";
}

std::string readOnlySettingsReason() {
    return "The file is read-only. Allow your user account to change it.";
}

std::string notARegularFileReason() {
    return "It is not a regular file (a pipe or a device, say), so Quelmar does not open it. Delete it, then pick "
           "the game folder again with \"...\".";
}

std::string danglingLinkReason(const std::string& target) {
    return "It is a link to something that does not exist:" + kBreak + shownPath(target) + kBreak +
           "Delete the link, or put back what it leads to.";
}

std::string settingsLockedReason(const std::string& lockPath) {
    return "Another program or user account keeps the settings locked. If no other copy of Quelmar is running, "
           "delete the lock file:" + kBreak + shownPath(lockPath);
}

std::string noHomeFolderReason() {
    return "Quelmar cannot tell where your home folder is: HOME is not set, and your user account has no home "
           "folder in the user database.";
}

std::string nowAFolderReason() {
    return "It is now a folder, not the file that was listed, so Quelmar left it alone; refresh the list.";
}

std::string nowNotAFileReason() {
    return "It is no longer a regular file (a pipe or a device stands there now), so Quelmar left it alone; "
           "refresh the list.";
}

std::string settingAccessDeniedReason() {
    return "Access is denied. Check that your user account may read this setting.";
}

std::string settingNotTextReason() {
    return "The stored value is not text, so it cannot be a folder's path. Pick the game folder again with "
           "\"...\" to store it anew.";
}

std::string folderMovedReason() {
    return "Its folder was moved or renamed after the list was made; refresh the list.";
}

std::string nameNotUsableReason(const std::string& name) {
    return "Its name, \"" + name +
           "\", cannot be used on this system, though the drive holds it. Rename it (in a Linux file manager, "
           "say), then refresh the list.";
}

std::string sameShownNameReason(const std::string& other) {
    return "Its folder also holds \"" + other +
           "\", which this system shows by the same name, so Quelmar cannot tell which of the two it would delete "
           "and left both alone.";
}

std::string sameShownFolderReason(const std::string& folder, const std::string& other) {
    return "The folder \"" + folder + "\" on its way stands beside \"" + other +
           "\", which this system shows by the same name, so Quelmar cannot tell which of the two it would delete "
           "from and left it alone. Rename one of them (in a Linux file manager, say), then refresh the list.";
}

std::string notCheckableReason() {
    return "This system could not confirm that it would delete this very file, so Quelmar left it alone.";
}

std::string notAnsweringReason() {
    return "It does not answer: a network drive whose server cannot be reached, say, or a disk that has stopped. "
           "Choose the game folder with \"...\" once it answers, or choose another.";
}

std::string runningCopyNotAnswering(long processId) {
    return "Quelmar is already running (process " + std::to_string(processId) +
           "), but it does not answer. It may be busy or stopped: wait for it, or end that process, then start "
           "Quelmar again.";
}

std::string systemErrorReason(const std::string& systemText, long number) {
    const std::string code = "Windows error " + std::to_string(number);
    return systemText.empty() ? code + "." : systemText + " (" + code + ")";
}

std::string commandHelp() {
    return "Usage: quelmar --list   [GAME] [-0] [-q]\n"
           "       quelmar --delete [GAME] [-0] [-q] [--then COMMAND [ARG...]]\n"
           "       quelmar                        (the window)\n"
           "\n"
           "Lists, or deletes, every Blueprints.pak one and two folders below the game's\n"
           "Assets folder, exactly as the window's buttons do.\n"
           "\n"
           "GAME is the game's folder, or any file in it such as RailSim.exe. Without it,\n"
           "the folder a launcher names in STEAM_COMPAT_INSTALL_PATH is used, else the\n"
           "folder the window stored.\n"
           "\n"
           "  --list              print each archive's full path\n"
           "  --delete            delete each archive, printing its path as it goes\n"
           "  --then COMMAND ...  after deleting, whatever came of it, start COMMAND with\n"
           "                      the arguments after it, such as a launcher's %command%\n"
           "  -0, --print0        end each path with NUL, not a line feed\n"
           "  -q, --quiet         print no paths\n"
           "  -h, --help          show this help\n"
           "  -V, --version       show the version\n"
           "\n"
           "Exit status: 0 archives found, 1 none found, 2 an error, 130 interrupted;\n"
           "with --then, the command's own, or 127 where it cannot be started.\n";
}

std::string commandVersion(int major, int minor, int revision) {
    return std::string(kCommandName) + " " + std::to_string(major) + "." + std::to_string(minor) + "." +
           std::to_string(revision) + "\n";
}

std::string unknownOption(const std::string& option) { return "unknown option \"" + option + "\"."; }

std::string oneCommandOnly() { return "--list and --delete cannot be used together."; }

std::string noCommandGiven() { return "say what to do: --list or --delete."; }

std::string oneGameOnly(const std::string& extra) {
    return "one game folder only; \"" + extra + "\" is one too many.";
}

std::string thenWithoutCommand() { return "--then needs the command to start after it."; }

std::string thenOnlyAfterDelete() { return "--then goes with --delete."; }

std::string gameNotThere(const std::string& path) { return shownPath(path) + ": no such file or folder."; }

std::string seeHelp() { return "See quelmar --help."; }

std::string notStarted(const std::string& command, const std::string& reason) {
    return "could not start \"" + command + "\": " + reason;
}

std::string outputNotWritten(const std::string& reason) { return "could not write to standard output: " + reason; }

}  // namespace quelmar::texts

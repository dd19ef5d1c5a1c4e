#pragma once
// Every sentence the user can read, kept in one place so that both window
// systems and every host say exactly the same thing.

#include <cstdint>
#include <string>
#include <system_error>

namespace quelmar::texts {

inline constexpr const char* kCrLf = "\r\n";
inline constexpr const char* kTitle = "Quelmar";

// The one stored setting.
inline constexpr const char* kSettingsApplication = "Quelmar";
inline constexpr const char* kSettingsSection = "Preferences";
inline constexpr const char* kSettingsKey = "GameFolder";

inline constexpr const char* kAssetsFolder = "Assets";
inline constexpr const char* kArchiveName = "Blueprints.pak";

inline constexpr const char* kInitialCaption = "Quelmar";
inline constexpr const char* kDialogTitle = "Locate Rail Simulator Game File (RailSim.exe)";
inline constexpr const char* kDialogFilter = "Executable files (*.exe)|*.exe";
// A game store's library on a Windows drive ("D:"), as a dialog place.
std::string libraryOnDrive(const std::string& drive);
// The list's name for screen readers: no label stands above it.
inline constexpr const char* kListName = "Archives found";
// The list's context menu, where the window system has none of its own
// that offers only these two.
inline constexpr const char* kCopyCommand = "&Copy";
inline constexpr const char* kSelectAllCommand = "Select &All";

std::string versionCaption(int major, int revision);

// A path as a message shows it: whole unless it runs to hundreds of
// characters, then its middle left out, which the text says.
std::string shownPath(const std::string& path);

std::string folderNotSet();
std::string gameFolderNotFound(const std::string& gamePath);
std::string assetsFolderNotFound();
std::string noArchivesFound();
std::string archivesDeleted(std::int32_t count);
// Of those, how many another program still has open: they go when it lets go.
std::string deletedOnRelease(std::int32_t held);
std::string initializationError();
// A failure of no kind the program looks for (memory ran out, say): what
// little is known, in a sentence.
std::string unexpectedFailure(const std::string& detail, bool outOfMemory);

// Host failures. Each names what failed and the path, then why, so the user
// can act on it without guessing.
enum class Operation { TestPath, ReadFolder, DeleteFile, ReadSettings, SaveSettings, InstanceCheck, ProgramInfo };
std::string failure(Operation operation, const std::string& path, const std::string& reason);

// A sentence for a portable error condition met while doing `operation`: one
// the user can act on where there is one, otherwise the standard library's
// own text for it.
std::string reasonFor(std::errc condition, Operation operation);
// The file's own read-only setting, as opposed to a permission the user
// lacks: something the user can clear.
std::string readOnlyReason();
// Where deleting a link would delete what it leads to instead.
std::string linkNotDeletedReason();
// Added to any failure that stops a deletion: how many archives were deleted
// before it (the first lines of the list), and that the rest were not.
// `atLeast`: the deletion may still be in a call, so as many or one more.
std::string deletionStopped(std::int32_t deleted, bool atLeast = false);
// A settings file that cannot be read at start-up is told, then start-up
// goes on as if nothing were stored.
std::string settingsNotUsed();
std::string damagedSettingsReason();
std::string settingsOfAnotherUserReason();
std::string readOnlySettingsReason();
// What stands where the settings file belongs is no file (a pipe, a device).
std::string notARegularFileReason();
// The file is a link to something that is not there.
std::string danglingLinkReason(const std::string& target);
// Another program or account holds the settings' lock and does not let go.
std::string settingsLockedReason(const std::string& lockPath);
// Neither HOME nor the user database says where the user's files belong.
std::string noHomeFolderReason();
// What stands where a listed archive was is, just before deleting it, no
// longer a file: a folder, or a pipe or device.
std::string nowAFolderReason();
std::string nowNotAFileReason();
// A registry setting: the words for the registry where those for a file
// would mislead.
std::string settingAccessDeniedReason();
std::string settingNotTextReason();
// The folder that was read is no longer where the list found it.
std::string folderMovedReason();
// A file or folder whose name the system cannot use, though the disk holds
// it (a name made on Linux, read through Wine): `name` is the entry's own.
std::string nameNotUsableReason(const std::string& name);
// Another entry of the same folder, `other`, that this system shows by the
// same name as the one to delete, so that it cannot tell the two apart.
std::string sameShownNameReason(const std::string& other);
// A folder on the way to a file's folder stands beside `other`, which the
// system shows by the same name, so it cannot tell which it would delete from.
std::string sameShownFolderReason(const std::string& folder, const std::string& other);
// The system could not confirm that it would delete the very file listed.
std::string notCheckableReason();
// A folder that did not answer in time (a share whose server is gone, a
// disk that stopped): the user can wait for it or pick another.
std::string notAnsweringReason();
// A copy of Quelmar that holds the single-instance lock but does not take
// the new start's call (stopped, or hung).
std::string runningCopyNotAnswering(long processId);
// A system error the program has no words of its own for: the system's
// text (empty when it has none in English) and the error's number.
std::string systemErrorReason(const std::string& systemText, long number);

// The command line's own: its name, which starts each line it writes to
// the standard error, its help and version, and what it says of how it
// was called.
inline constexpr const char* kCommandName = "quelmar";
std::string commandHelp();
std::string commandVersion(int major, int minor, int revision);
std::string unknownOption(const std::string& option);
std::string oneCommandOnly();
std::string noCommandGiven();
std::string oneGameOnly(const std::string& extra);
std::string thenWithoutCommand();
std::string thenOnlyAfterDelete();
std::string gameNotThere(const std::string& path);
std::string seeHelp();
// The command --then names could not be started.
std::string notStarted(const std::string& command, const std::string& reason);
// The standard output could not be written (a pipe whose reader went).
std::string outputNotWritten(const std::string& reason);

}  // namespace quelmar::texts

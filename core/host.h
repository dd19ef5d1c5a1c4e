#pragma once
// What the tool needs from the operating system. The logic reaches the file
// system, message boxes, the settings store and the program's own identity
// only through these interfaces, so it runs unchanged on every system and
// against the in-memory fakes of the tests.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quelmar {

// Any failure of a host operation: the system's error number and a
// description that names what failed, the path and why.
class HostError : public std::runtime_error {
public:
    HostError(long number, const std::string& description)
        : std::runtime_error(description), number_(number) {}
    long number() const noexcept { return number_; }
    std::string description() const { return what(); }

private:
    long number_;
};

enum class MessageIcon { Information, Warning, Critical };

// What the system's own path lookup makes of a folder entry, links and
// junctions followed: a link to a folder is a folder, a link to a file is a
// file, and a dangling link, a FIFO or a device is neither.
enum class EntryKind { Folder, File, Other };

// Tells one folder reached by two routes (a link, a junction, a bind
// mount) from two folders: the volume and a file identity of up to 128 bits.
// Some file systems have no identity to give (all zero).
struct FolderId {
    std::uint64_t volume = 0;
    std::uint64_t fileHigh = 0;
    std::uint64_t fileLow = 0;
    bool known() const { return fileHigh != 0 || fileLow != 0; }
    friend bool operator==(const FolderId&, const FolderId&) = default;
};

// Whether two identities name the same folder for certain. An unknown
// identity is never taken for another folder's: that would skip a folder
// the user can see.
inline bool SameFolder(const FolderId& a, const FolderId& b) { return a.known() && b.known() && a == b; }

// What became of a file deleted: gone, or going only once every other
// program that has it open lets go of it (a system that cannot remove the
// name of a file still open says so).
enum class Deletion { Done, OnRelease };

struct FolderEntry {
    std::string name;  // as it is on disk, without any path
    EntryKind kind;
    bool link = false;  // a symbolic link, which may lead back to a folder above it
};

// The system's hold on an open folder. While it lives, child folders are
// opened and files deleted in the very folder that was read, never by
// looking its path up again.
class FolderHandle {
public:
    virtual ~FolderHandle() = default;
};

// A folder opened and read.
struct Folder {
    std::string path;                    // for messages, without a trailing separator
    // Of the folder actually opened, links followed. May be left unknown
    // for a folder opened by a plain route, until identityOf is asked.
    FolderId id;
    // Opened as a folder right inside its parent: not through a link, and
    // on the parent's own mount. Such a folder is new below its parent; but
    // the parent may itself have been reached by a link or a mount, and
    // then its plain child can be any folder above it.
    bool plainRoute = false;
    std::vector<FolderEntry> entries;    // in the order the system delivered them
    std::unique_ptr<FolderHandle> handle;  // may be dropped once nothing more is done in it
};

// The file-system service object. The window creates one on first use and
// keeps it for its whole life. Every operation may be called from several
// threads at once; each raises HostError when the system refuses it.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    // Whether the path, exactly as given, leads to a folder.
    virtual bool folderExists(const std::string& path) = 0;
    // Whether `parent` holds a folder called `name`. Where the system tells
    // letter case apart, `name` matches in any ASCII letter case, the exact
    // spelling first.
    virtual bool childFolderExists(const std::string& parent, const std::string& name) = 0;
    // Opens and reads that same folder.
    virtual Folder openFolder(const std::string& parent, const std::string& name) = 0;
    // Opens and reads the entry `name`, as listed, of an open folder.
    virtual Folder openChild(const Folder& parent, const std::string& name) = 0;
    // Opens the entry `name` of an open folder as openChild does, only to
    // act in it: its entries are not read (a system that cannot open a
    // folder without reading it reads them).
    virtual Folder openChildUnread(const Folder& parent, const std::string& name) { return openChild(parent, name); }
    // The identity of an open folder, found now where it was left unknown.
    virtual FolderId identityOf(const Folder& folder) { return folder.id; }
    // The identity of the folder the entry `name` of an open folder leads
    // to, links followed, found without opening it; unknown where it cannot
    // be told so (then only opening it tells).
    virtual FolderId identityOfChild(const Folder&, const std::string&) { return {}; }
    // What the entry `name` of an open folder is now, links followed;
    // Other when it is gone. Raises when it cannot be looked up: it is
    // asked just before the entry is acted on.
    virtual EntryKind kindOf(const Folder& folder, const std::string& name) = 0;
    // How many more folders this process may hold open at once without
    // running out of handles for anything else; the walk fits its helpers
    // to it.
    virtual std::size_t openFolderBudget() = 0;
    // Removes the entry `name` of an open folder permanently (no recycle
    // bin): the entry itself, never what a link leads to. Raises when it
    // cannot (read-only, in use, access denied, gone, no longer a file).
    virtual Deletion deleteFile(const Folder& folder, const std::string& name) = 0;
};

// A folder offered beside the dialog's own places, under a name that tells
// it from the others (two store libraries both end in "common").
struct Place {
    std::string path;
    std::string name;
    friend bool operator==(const Place&, const Place&) = default;
};

// Where the locate dialog starts when no stored folder exists, and the
// folders it offers besides the system's own places (game libraries found).
struct LocateStart {
    std::string folder;  // empty: the dialog's own default
    std::vector<Place> places;
};

// The program's version record: major.minor.revision.
struct Version {
    int major = 0;
    int minor = 0;
    int revision = 0;
};

class Host {
public:
    virtual ~Host() = default;

    // The character that joins path components on this system.
    virtual char separator() const = 0;

    // True where the system itself matches file names without regard to
    // letter case: the list then spells the archive's name the program's
    // way, as the system would look it up, rather than as it is on disk.
    virtual bool namesIgnoreCase() const = 0;

    virtual std::unique_ptr<FileSystem> createFileSystem() = 0;

    // Modal; returns when the user dismisses the box. Line breaks are CR LF.
    virtual void showMessage(const std::string& text, MessageIcon icon,
                             const std::string& title) = 0;

    virtual std::string getSetting(const std::string& application, const std::string& section,
                                   const std::string& key, const std::string& defaultValue) = 0;
    virtual void saveSetting(const std::string& application, const std::string& section,
                             const std::string& key, const std::string& value) = 0;

    virtual bool anotherInstanceRunning() = 0;
    virtual Version version() = 0;
    // The folder holding the executable, without a trailing separator.
    virtual std::string programFolder() = 0;
    // Asked each time the locate dialog is about to open. On the game's own
    // system the program's own folder (players keep the tool beside the
    // game); elsewhere, where this system's players are likely to find it.
    virtual LocateStart locateDialogStart() = 0;
};

}  // namespace quelmar

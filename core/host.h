#pragma once
// What the tool needs from the operating system. The logic reaches the file
// system, message boxes, the settings store and the program's own identity
// only through these interfaces, so it runs unchanged on every system and
// against the in-memory fakes of the tests.

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

// Tells one folder reached by two paths (through a link) from two folders.
struct FolderId {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    friend bool operator==(const FolderId&, const FolderId&) = default;
};

struct FolderEntry {
    std::string name;  // as it is on disk, without any path
    EntryKind kind;
    // For a link (or junction) that leads to a folder: the folder it leads
    // to, so that a link back into the walk is known before it is opened.
    std::optional<FolderId> leadsTo = std::nullopt;
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
    // Always known for a folder opened with openFolder, and for any folder
    // holding a link to a folder: the only folders a link is compared with.
    FolderId id;
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
    // Removes the entry `name` of an open folder permanently (no recycle
    // bin): the entry itself, never what a link leads to. Raises when it
    // cannot (read-only, in use, access denied, gone).
    virtual void deleteFile(const Folder& folder, const std::string& name) = 0;
};

struct Version {
    int major = 0;
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
};

}  // namespace quelmar

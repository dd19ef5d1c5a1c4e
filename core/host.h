#pragma once
// What the tool needs from the operating system. The logic reaches the file
// system, message boxes, the settings store and the program's own identity
// only through these interfaces, so it runs unchanged on every system and
// against the in-memory fakes of the tests.

#include <memory>
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

// An opened folder: the names of its direct child folders, without paths,
// in the order the file system delivered them.
struct Folder {
    std::vector<std::string> subFolders;
};

// The file-system service object. The window creates one on first use and
// keeps it for its whole life.
class FileSystem {
public:
    virtual ~FileSystem() = default;
    virtual bool folderExists(const std::string& path) = 0;
    // True only for a file, never for a folder of that name.
    virtual bool fileExists(const std::string& path) = 0;
    // Called with a path that ends in the separator; a folder that cannot be
    // opened raises HostError.
    virtual Folder getFolder(const std::string& path) = 0;
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

    virtual std::unique_ptr<FileSystem> createFileSystem() = 0;
    // Removes the file permanently (no recycle bin); raises HostError when it
    // cannot (read-only, in use, access denied, gone).
    virtual void deleteFile(const std::string& path) = 0;

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

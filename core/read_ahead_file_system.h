#pragma once
// A file system that reads the asset tree ahead of a walk, several folders
// at once, so the disk always has several reads in flight.
//
// It knows one thing about the walk it serves: having opened a folder by
// path (Assets), the walk asks for each of its folders in the order listed
// and, below each, for each of that one's folders. So once Assets is open,
// helper threads open and read the level-1 folders and the folders below
// them ahead, and each is handed to the walk when the walk asks for it by
// name. Whatever no helper read, or could read, the walk's own call reads
// from the system then and there: every failure the walk meets is the
// system's answer to the walk itself, where reading one folder at a time
// would meet it, and a helper's failure only means the walk reads that
// folder itself. Every other request passes straight to the system.
//
// At most a budget of folders is held open at once, whatever the tree's
// shape: a folder read ahead keeps its handle only while the walk may still
// need it (to act in it, or to open what a helper left unread), and a folder
// that found no room is read all the same, to bring it in from the disk, and
// then read again by the walk, from memory.
//
// Stopped, each helper ends after the folder it is reading; one still in a
// read a moment later (a mount that does not answer) is left to finish it
// alone, so the walk's end never waits for it.

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "host.h"

namespace quelmar {

class ReadAheadFileSystem final : public FileSystem {
public:
    struct Plan {
        unsigned helpers = 0;  // threads reading ahead; 1 or none reads nothing ahead
        // The walk acts on the archives it finds: folders holding one keep
        // their handle, and helpers look each archive up, so that acting
        // finds it at hand.
        bool acting = false;
        // How long a folder takes to read before every helper reads, not
        // only the first two (zero: all from the start).
        std::chrono::microseconds slowFolderRead{0};
    };
    ReadAheadFileSystem(std::shared_ptr<FileSystem> system, Plan plan);
    ~ReadAheadFileSystem() override;
    ReadAheadFileSystem(const ReadAheadFileSystem&) = delete;
    ReadAheadFileSystem& operator=(const ReadAheadFileSystem&) = delete;

    // Stops reading ahead and closes whatever was read and not asked for.
    // Requests made after it go straight to the system.
    void stop();

    bool folderExists(const std::string& path) override { return system_->folderExists(path); }
    bool childFolderExists(const std::string& parent, const std::string& name) override {
        return system_->childFolderExists(parent, name);
    }
    // The first folder opened here is the one whose tree is read ahead.
    Folder openFolder(const std::string& parent, const std::string& name) override;
    Folder openChild(const Folder& parent, const std::string& name) override;
    std::optional<Folder> alreadyRead(const Folder& parent, const std::string& name) override;
    FolderId identityOf(const Folder& folder) override { return system_->identityOf(folder); }
    EntryKind kindOf(const Folder& folder, const std::string& name) override { return system_->kindOf(folder, name); }
    std::size_t openFolderBudget() override { return system_->openFolderBudget(); }
    Deletion deleteFile(const Folder& folder, const std::string& name) override {
        return system_->deleteFile(folder, name);
    }

    struct State;

private:
    const std::shared_ptr<FileSystem> system_;
    const Plan plan_;
    std::shared_ptr<State> state_;  // shared with the helpers, which may outlive this object
};

}  // namespace quelmar

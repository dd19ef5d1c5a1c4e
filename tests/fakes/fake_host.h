#pragma once
// An in-memory host: a folder tree addressed with the backslash, matched
// without regard to case like the game's own system, with failures that a
// test can plant on any path. Everything the logic asks of it is recorded.

#include <algorithm>
#include <functional>
#include <utility>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/host.h"
#include "core/window.h"

namespace quelmar::testing {

inline std::string lowered(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

struct Message {
    std::string text;
    MessageIcon icon;
    std::string title;
};

class FakeHost : public Host {
public:
    // Tree, in insertion order (the order the fake "file system" delivers).
    void addFolder(const std::string& path) { add(path, true); }
    void addFile(const std::string& path) { add(path, false); }
    bool exists(const std::string& path) const { return find(path) != nullptr; }
    std::vector<std::string> files() const {
        std::vector<std::string> out;
        for (const auto& e : entries_)
            if (!e.folder) out.push_back(e.path);
        return out;
    }
    void remove(const std::string& path) {
        std::erase_if(entries_, [&](const Entry& e) { return lowered(e.path) == lowered(path); });
    }

    // Planted failures.
    std::set<std::string> unreadableFolders;    // getFolder raises
    std::set<std::string> undeletableFiles;     // deleteFile raises
    std::set<std::string> unqueryablePaths;     // folderExists / fileExists raise
    bool settingsReadFails = false;
    bool settingsWriteFails = false;
    bool instanceRunning = false;
    bool instanceCheckFails = false;
    // Runs once, before the next deletion (another program changing the tree).
    std::function<void()> beforeDelete;

    // Called while a message is on screen, before the user dismisses it.
    std::function<void(const Message&)> onMessage;

    std::map<std::string, std::string> settings;  // "app/section/key" -> value
    std::vector<Message> messages;
    std::vector<std::string> calls;  // every file-system call, in order
    std::vector<std::string> deleted;
    int fileSystemsCreated = 0;
    Version versionRecord{1, 8};
    std::string programFolderPath = "C:\\Program Files\\Quelmar";

    char separator() const override { return '\\'; }

    std::unique_ptr<FileSystem> createFileSystem() override {
        ++fileSystemsCreated;
        return std::make_unique<Fs>(*this);
    }

    void deleteFile(const std::string& path) override {
        calls.push_back("deleteFile " + path);
        if (beforeDelete) std::exchange(beforeDelete, nullptr)();
        if (undeletableFiles.count(path)) throw HostError(5, "Access is denied: " + path);
        const Entry* e = find(path);
        if (!e || e->folder) throw HostError(2, "The file is gone: " + path);
        deleted.push_back(e->path);
        remove(path);
    }

    void showMessage(const std::string& text, MessageIcon icon, const std::string& title) override {
        messages.push_back({text, icon, title});
        if (onMessage) onMessage(messages.back());
    }

    std::string getSetting(const std::string& app, const std::string& section, const std::string& key,
                           const std::string& defaultValue) override {
        if (settingsReadFails) throw HostError(13, "settings unreadable");
        auto it = settings.find(app + "/" + section + "/" + key);
        return it == settings.end() ? defaultValue : it->second;
    }
    void saveSetting(const std::string& app, const std::string& section, const std::string& key,
                     const std::string& value) override {
        if (settingsWriteFails) throw HostError(13, "settings not writable");
        settings[app + "/" + section + "/" + key] = value;
    }
    std::string& gameFolderSetting() { return settings["Quelmar/Preferences/GameFolder"]; }

    bool anotherInstanceRunning() override {
        if (instanceCheckFails) throw HostError(1, "instance check failed");
        return instanceRunning;
    }
    Version version() override { return versionRecord; }
    std::string programFolder() override { return programFolderPath; }

private:
    struct Entry {
        std::string path;
        bool folder;
    };

    class Fs : public FileSystem {
    public:
        explicit Fs(FakeHost& host) : host_(host) {}
        bool folderExists(const std::string& path) override {
            host_.query("folderExists " + path, path);
            const Entry* e = host_.find(path);
            return e && e->folder;
        }
        bool fileExists(const std::string& path) override {
            host_.query("fileExists " + path, path);
            const Entry* e = host_.find(path);
            return e && !e->folder;
        }
        Folder getFolder(const std::string& path) override {
            host_.calls.push_back("getFolder " + path);
            if (path.empty() || path.back() != '\\') throw HostError(52, "getFolder without trailing separator");
            const std::string folder = path.substr(0, path.size() - 1);
            const Entry* e = host_.find(folder);
            if (!e || !e->folder) throw HostError(76, "Path not found: " + path);
            if (host_.unreadableFolders.count(folder)) throw HostError(70, "Permission denied: " + path);
            Folder result;
            const std::string prefix = lowered(folder) + "\\";
            for (const auto& child : host_.entries_) {
                const std::string lc = lowered(child.path);
                if (child.folder && lc.size() > prefix.size() && lc.compare(0, prefix.size(), prefix) == 0 &&
                    lc.find('\\', prefix.size()) == std::string::npos)
                    result.subFolders.push_back(child.path.substr(prefix.size()));
            }
            return result;
        }

    private:
        FakeHost& host_;
    };

    void query(const std::string& call, const std::string& path) {
        calls.push_back(call);
        if (unqueryablePaths.count(path)) throw HostError(75, "Path/File access error: " + path);
    }
    void add(const std::string& path, bool folder) { entries_.push_back({path, folder}); }
    const Entry* find(const std::string& path) const {
        for (const auto& e : entries_)
            if (e.path == path) return &e;  // the exact spelling wins
        for (const auto& e : entries_)
            if (lowered(e.path) == lowered(path)) return &e;
        return nullptr;
    }

    std::vector<Entry> entries_;
};

class FakeWindow : public WindowOps {
public:
    std::string caption = "Quelmar";
    std::string text1 = "Text1";
    std::string text2Value = "Text2";
    bool deleteEnabled = true;
    bool refreshEnabled = true;
    std::vector<std::string> text2History;

    std::optional<std::string> dialogAnswer;  // nullopt: the user cancels
    bool dialogFails = false;
    std::vector<OpenDialogRequest> dialogRequests;

    void setCaption(const std::string& c) override { caption = c; }
    void setText1(const std::string& t) override { text1 = t; }
    void setText2(const std::string& t) override {
        text2Value = t;
        text2History.push_back(t);
    }
    std::string text2() const override { return text2Value; }
    void setDeleteEnabled(bool e) override { deleteEnabled = e; }
    void setRefreshEnabled(bool e) override { refreshEnabled = e; }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override {
        dialogRequests.push_back(request);
        if (dialogFails) throw HostError(32755, "dialog failed");
        return dialogAnswer;
    }
};

}  // namespace quelmar::testing

#pragma once
// An in-memory host: a folder tree addressed with the backslash, matched
// without regard to case like the game's own system (or with it, like
// Linux), with links, FIFOs and failures that a test can plant on any path.
// Everything the logic asks of it is recorded.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/host.h"
#include "core/read_ahead.h"
#include "core/window.h"

namespace quelmar::testing {

// Helpers are few in the whole process, and those of an earlier test may
// still be finishing their folder: a test that needs them waits for those.
inline void waitUntilNoHelpersAreLeft() {
    while (ReadAhead::helpersAlive() != 0) std::this_thread::yield();
}

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
    FakeHost() = default;
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;
    // A walk never waits long for a helper still reading when it ends, so
    // one may still be in a call, or hold a folder, when a test is over:
    // like the system, the fake outlives it.
    ~FakeHost() override { waitUntilIdle(); }
    void waitUntilIdle() const {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (callsInFlight != 0 || openHandles != 0) {
            if (std::chrono::steady_clock::now() > giveUp) {
                std::fprintf(stderr, "FakeHost: a folder is still open, or a call still running, 30 s on\n");
                std::abort();
            }
            std::this_thread::yield();
        }
    }
    // The tree, in insertion order (the order the fake "file system"
    // delivers). Paths are full, with the backslash.
    void addFolder(const std::string& path) { add(path, Type::Folder); }
    void addFile(const std::string& path) { add(path, Type::File); }
    void addFifo(const std::string& path) { add(path, Type::Fifo); }
    // A symbolic link or junction at `path` leading to the full path `target`.
    void addLink(const std::string& path, const std::string& target) { add(path, Type::Link, target); }
    bool exists(const std::string& path) const {
        std::lock_guard lock(mutex_);
        return find(path) != nullptr;
    }
    std::vector<std::string> files() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& e : entries_)
            if (e.type == Type::File) out.push_back(e.path);
        return out;
    }
    void remove(const std::string& path) {
        std::lock_guard lock(mutex_);
        removeLocked(path);
    }

    // Where the system itself ignores letter case (the default, like the
    // game's own system), every lookup does; otherwise only the Assets
    // lookup of childFolderExists and openFolder does.
    bool ignoreCase = true;

    // Planted failures, by the path the entry really has (links resolved).
    std::set<std::string> unreadableFolders;    // opening raises
    std::set<std::string> undeletableFiles;     // deleteFile raises
    std::set<std::string> heldFiles;            // deleteFile says they go on release
    std::set<std::string> unqueryablePaths;     // folderExists / childFolderExists raise
    std::size_t folderBudget = 1000;  // what openFolderBudget answers
    std::atomic<int> openHandles{0};  // folders open now, and the most at once
    std::atomic<int> peakOpenHandles{0};
    std::atomic<int> callsInFlight{0};
    // Runs before each folder below Assets is opened, with the path the
    // walk opens it by (another program changing the tree meanwhile).
    std::function<void(const std::string&)> beforeOpenChild;
    bool settingsReadFails = false;
    bool settingsWriteFails = false;
    bool instanceRunning = false;
    bool instanceCheckFails = false;
    // Runs first in each look-up, opening, deletion and store search (with
    // "store search"), on the thread that asks, given the path as asked
    // for: a mount that takes its time to answer.
    std::function<void(const std::string&)> slowly;
    // Runs once, before the next deletion (another program changing the tree).
    std::function<void()> beforeDelete;

    // Called while a message is on screen, before the user dismisses it.
    std::function<void(const Message&)> onMessage;

    std::map<std::string, std::string> settings;  // "app/section/key" -> value
    std::vector<Message> messages;
    std::vector<std::string> calls;  // every file-system call, in order
    std::vector<std::string> deleted;  // the paths of the entries removed, as the walk reached them
    int fileSystemsCreated = 0;
    Version versionRecord{1, 0, 8};
    std::string programFolderPath = "C:\\Program Files\\Quelmar";

    char separator() const override { return '\\'; }
    bool namesIgnoreCase() const override { return ignoreCase; }

    std::unique_ptr<FileSystem> createFileSystem() override {
        ++fileSystemsCreated;
        return std::make_unique<Fs>(*this);
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
    std::vector<Place> libraryPlaces;
    LocateStart locateDialogStart() override {
        LocateStart found{programFolderPath, libraryPlaces};  // a search left hanging touches nothing after
        if (auto hook = slowly) hook("store search");
        return found;
    }

private:
    enum class Type { Folder, File, Fifo, Link };
    struct Entry {
        std::string path;
        Type type;
        std::string target;  // links only
    };

    // An open folder remembers where it really is, so that its children are
    // found there even when it was reached through a link.
    struct Handle : FolderHandle {
        Handle(FakeHost& h, std::string real) : host(h), realPath(std::move(real)) {
            const int now = ++host.openHandles;
            int peak = host.peakOpenHandles.load();
            while (now > peak && !host.peakOpenHandles.compare_exchange_weak(peak, now)) {
            }
        }
        ~Handle() override { --host.openHandles; }
        FakeHost& host;
        std::string realPath;
    };

    struct InFlight {
        explicit InFlight(FakeHost& h) : host(h) { ++host.callsInFlight; }
        ~InFlight() { --host.callsInFlight; }
        FakeHost& host;
    };

    class Fs : public FileSystem {
    public:
        explicit Fs(FakeHost& host) : host_(host) {}
        bool folderExists(const std::string& path) override {
            const InFlight inFlight(host_);
            if (host_.slowly) host_.slowly(path);
            std::lock_guard lock(host_.mutex_);
            host_.query("folderExists " + path, path);
            const Entry* e = host_.resolve(host_.find(path));
            return e && e->type == Type::Folder;
        }
        bool childFolderExists(const std::string& parent, const std::string& name) override {
            const InFlight inFlight(host_);
            if (host_.slowly) host_.slowly(parent + "\\" + name);
            std::lock_guard lock(host_.mutex_);
            const std::string path = parent + "\\" + name;
            host_.query("childFolderExists " + path, path);
            const Entry* e = host_.findChildFolder(parent, name);
            return e != nullptr;
        }
        Folder openFolder(const std::string& parent, const std::string& name) override {
            const InFlight inFlight(host_);
            if (host_.slowly) host_.slowly(parent + "\\" + name);
            std::lock_guard lock(host_.mutex_);
            const std::string path = parent + "\\" + name;
            host_.calls.push_back("openFolder " + path);
            return host_.open(host_.findChildFolder(parent, name), path);
        }
        Folder openChild(const Folder& parent, const std::string& name) override {
            const InFlight inFlight(host_);
            if (host_.slowly) host_.slowly(parent.path + "\\" + name);
            if (host_.beforeOpenChild) host_.beforeOpenChild(parent.path + "\\" + name);
            std::lock_guard lock(host_.mutex_);
            const std::string path = parent.path + "\\" + name;
            host_.calls.push_back("openChild " + path);
            const auto* handle = dynamic_cast<const Handle*>(parent.handle.get());
            if (!handle) throw HostError(6, "The handle is invalid: " + parent.path);
            return host_.open(host_.resolve(host_.findExact(handle->realPath + "\\" + name)), path);
        }
        EntryKind kindOf(const Folder& folder, const std::string& name) override {
            const InFlight inFlight(host_);
            if (host_.slowly) host_.slowly(folder.path + "\\" + name);
            std::lock_guard lock(host_.mutex_);
            const auto* handle = dynamic_cast<const Handle*>(folder.handle.get());
            if (!handle) throw HostError(6, "The handle is invalid: " + folder.path);
            return host_.kindOfLocked(host_.resolve(host_.findExact(handle->realPath + "\\" + name)));
        }
        FolderId identityOfChild(const Folder& parent, const std::string& name) override {
            const InFlight inFlight(host_);
            std::lock_guard lock(host_.mutex_);
            const auto* handle = dynamic_cast<const Handle*>(parent.handle.get());
            const Entry* e = handle ? host_.resolve(host_.findExact(handle->realPath + "\\" + name)) : nullptr;
            return e && e->type == Type::Folder ? idOf(*e) : FolderId{};
        }
        std::size_t openFolderBudget() override { return host_.folderBudget; }
        Deletion deleteFile(const Folder& folder, const std::string& name) override {
            const InFlight inFlight(host_);
            std::unique_lock lock(host_.mutex_);
            const std::string path = folder.path + "\\" + name;
            host_.calls.push_back("deleteFile " + path);
            if (host_.beforeDelete) {
                auto change = std::exchange(host_.beforeDelete, nullptr);
                lock.unlock();
                change();
                lock.lock();
            }
            const auto* handle = dynamic_cast<const Handle*>(folder.handle.get());
            if (!handle) throw HostError(6, "The handle is invalid: " + folder.path);
            const std::string real = handle->realPath + "\\" + name;
            if (host_.undeletableFiles.count(real)) throw HostError(5, "Access is denied: " + path);
            const Entry* e = host_.findExact(real);
            if (!e || e->type == Type::Folder) throw HostError(2, "The file is gone: " + path);
            host_.deleted.push_back(path);
            host_.removeLocked(e->path);
            return host_.heldFiles.count(real) ? Deletion::OnRelease : Deletion::Done;
        }

    private:
        FakeHost& host_;
    };

    void query(const std::string& call, const std::string& path) {
        calls.push_back(call);
        if (unqueryablePaths.count(path)) throw HostError(75, "Path/File access error: " + path);
    }
    void add(const std::string& path, Type type, std::string target = {}) {
        std::lock_guard lock(mutex_);
        entries_.push_back({path, type, std::move(target)});
    }
    void removeLocked(const std::string& path) {
        std::erase_if(entries_, [&](const Entry& e) { return e.path == path; });
    }
    bool sameName(const std::string& a, const std::string& b) const {
        return ignoreCase ? lowered(a) == lowered(b) : a == b;
    }
    // The entry at a path, the exact spelling first.
    const Entry* find(const std::string& path) const {
        for (const auto& e : entries_)
            if (e.path == path) return &e;
        for (const auto& e : entries_)
            if (sameName(e.path, path)) return &e;
        return nullptr;
    }
    const Entry* findExact(const std::string& path) const {
        for (const auto& e : entries_)
            if (e.path == path) return &e;
        return nullptr;
    }
    // Follows links (and links to links) to what they lead to; nothing for
    // a dangling link or one that loops.
    const Entry* resolve(const Entry* e) const {
        for (int hops = 0; e && e->type == Type::Link; ++hops) e = hops < 8 ? find(e->target) : nullptr;
        return e;
    }
    const Entry* findChildFolder(const std::string& parent, const std::string& name) const {
        if (const Entry* e = resolve(find(parent + "\\" + name)); e && e->type == Type::Folder) return e;
        for (const auto& e : entries_)
            if (lowered(e.path) == lowered(parent + "\\" + name))
                if (const Entry* r = resolve(&e); r && r->type == Type::Folder) return r;
        return nullptr;
    }
    static FolderId idOf(const Entry& e) {
        return {7, 1, static_cast<std::uint64_t>(std::hash<std::string>{}(e.path))};
    }
    static EntryKind kindOfLocked(const Entry* r) {
        return !r                       ? EntryKind::Other
               : r->type == Type::Folder ? EntryKind::Folder
               : r->type == Type::File   ? EntryKind::File
                                         : EntryKind::Other;
    }
    Folder open(const Entry* e, const std::string& shownPath) {
        if (!e || e->type != Type::Folder) throw HostError(76, "Path not found: " + shownPath);
        if (unreadableFolders.count(e->path)) throw HostError(70, "Permission denied: " + shownPath);
        Folder folder;
        folder.path = shownPath;
        folder.id = idOf(*e);
        folder.handle = std::make_unique<Handle>(*this, e->path);
        const std::string prefix = e->path + "\\";
        for (const auto& child : entries_) {
            if (child.path.size() <= prefix.size() || child.path.compare(0, prefix.size(), prefix) != 0 ||
                child.path.find('\\', prefix.size()) != std::string::npos)
                continue;
            folder.entries.push_back(
                {child.path.substr(prefix.size()), kindOfLocked(resolve(&child)), child.type == Type::Link});
        }
        return folder;
    }

    mutable std::mutex mutex_;  // the walk may read folders from several threads
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

    bool shown = false;
    std::vector<bool> busyHistory;
    int showBusyCalls = 0;
    int keepAliveCalls = 0;
    int stopAfterKeepAlives = -1;  // the window is gone from that call on; -1: never
    std::function<void()> onKeepAlive;
    int closeWindowCalls = 0;

    // Input the user gives while the program works (a click, a key), as the
    // window system queues it: keepAlive() handles what is waiting, dropping
    // it while the window is busy; what is left when the command returns is
    // handled by the event loop after it (handlePendingInput).
    std::vector<std::function<void()>> pendingInput;
    void handlePendingInput() {
        const auto input = std::exchange(pendingInput, {});
        for (const auto& handle : input) handle();
    }

    std::optional<std::string> dialogAnswer;  // nullopt: the user cancels
    bool dialogFails = false;
    std::function<void()> whileDialogOpen;
    std::vector<OpenDialogRequest> dialogRequests;

    void setCaption(const std::string& c) override { caption = c; }
    void setText1(const std::string& t) override { text1 = t; }
    void setText2(const std::string& t) override {
        text2Value = t;
        text2History.push_back(t);
    }
    void showWindow() override { shown = true; }
    void setBusy(bool busy) override { busyHistory.push_back(busy); }
    void showBusy() override { ++showBusyCalls; }
    bool keepAlive() override {
        ++keepAliveCalls;
        if (onKeepAlive) onKeepAlive();
        if (busyHistory.empty() || !busyHistory.back()) handlePendingInput();
        pendingInput.clear();
        return stopAfterKeepAlives < 0 || keepAliveCalls < stopAfterKeepAlives;
    }
    void closeWindow() override { ++closeWindowCalls; }
    void setDeleteEnabled(bool e) override { deleteEnabled = e; }
    void setRefreshEnabled(bool e) override { refreshEnabled = e; }
    std::optional<std::string> showOpenDialog(const OpenDialogRequest& request) override {
        dialogRequests.push_back(request);
        if (whileDialogOpen) whileDialogOpen();
        if (dialogFails) throw HostError(32755, "dialog failed");
        return dialogAnswer;
    }
};

}  // namespace quelmar::testing

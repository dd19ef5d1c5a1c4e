#include "form1.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>

#include "core/archive_scan.h"
#include "core/off_window.h"
#include "core/texts.h"

namespace quelmar {

namespace {

// Runs one statement of a command in which a failing step is skipped and the
// next one runs.
template <typename Step>
void skipOnError(Step&& step) {
    try {
        step();
    } catch (const HostError&) {
    }
}

// Marks a command as running for as long as it lives.
class Running {
public:
    explicit Running(bool& running) : running_(running) { running_ = true; }
    ~Running() { running_ = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    bool& running_;
};

// Reads the entries of the folder at `path`, only to see that it answers:
// the locate dialog reads its folder on the window's thread, so it is sent
// only where this answered in time. Raises when it cannot be read.
void ReadFolderEntries(FileSystem& fs, const std::string& path, char separator) {
    const auto cut = path.rfind(separator);
    if (cut == std::string::npos || cut + 1 == path.size()) {
        // A root: nothing to open it by as a child.
        if (!fs.folderExists(path)) throw HostError(2, path);
        return;
    }
    fs.openFolder(cut == 0 ? path.substr(0, 1) : path.substr(0, cut), path.substr(cut + 1));
}

}  // namespace

Form1::Start Form1::Form_Load() {
    const Running running(running_);
    try {
        if (host_.anotherInstanceRunning()) return Start::EndProgram;
        const Version version = host_.version();
        window_.setCaption(texts::versionCaption(version.major, version.revision));
        window_.setText1("");
        window_.setText2("");
        try {
            state_.GamePath = host_.getSetting(texts::kSettingsApplication, texts::kSettingsSection,
                                               texts::kSettingsKey, "");
        } catch (const HostError& error) {
            // A settings file that exists but cannot be read would otherwise
            // make the stored folder vanish without a word.
            host_.showMessage(error.description() + texts::kCrLf + texts::kCrLf + texts::settingsNotUsed(),
                              MessageIcon::Warning, texts::kTitle);
        }
    } catch (const std::exception&) {
        // Dismissing the box ends the program; if even the box fails there is
        // nothing left to tell the user with.
        try {
            host_.showMessage(texts::initializationError(), MessageIcon::Critical, texts::kTitle);
        } catch (const std::exception&) {
        }
        return Start::EndProgram;
    }

    // A stored folder that cannot be checked or read is the user's to
    // replace, and "..." is how: so the failure is told like one in a click,
    // naming the path and the reason, and the window opens all the same.
    // One on a mount that never answers would hold start-up, and with it
    // every click, for good: after a while it is told as not answering.
    bool answers = true;
    try {
        answers = storedFolderAnswers();
    } catch (const WalkStopped&) {
        return Start::EndProgram;  // closed while it waited
    }
    if (!answers) {
        window_.setDeleteEnabled(false);
        window_.setRefreshEnabled(false);
        report(HostError(0, texts::failure(texts::Operation::TestPath, state_.GamePath, texts::notAnsweringReason())),
               MessageIcon::Warning);
        return state_.closeRequested ? Start::EndProgram : Start::ShowWindow;
    }
    bool checked = false;
    try {
        const int result = CheckPaths(state_, host_, &window_);
        checked = true;
        applyCheckResult(result);
    } catch (const WalkStopped&) {
        return Start::EndProgram;  // the window went while the list was being made
    } catch (const std::exception& error) {
        if (!checked) {
            window_.setDeleteEnabled(false);
            window_.setRefreshEnabled(false);
        }
        report(error);
    }
    // Closed during start-up, after the walk's last look: the program ends
    // there too.
    return state_.closeRequested ? Start::EndProgram : Start::ShowWindow;
}

bool Form1::storedFolderAnswers() {
    if (state_.GamePath.empty()) return true;
    // The check asks the same again, by then at once: the system keeps
    // what it has just looked up.
    const std::shared_ptr<FileSystem> fs = state_.sharedFileSystem(host_);
    const auto answered = OffTheWindowThread(
        state_, window_,
        [fs, game = state_.GamePath] {
            try {
                if (fs->folderExists(game)) fs->childFolderExists(game, texts::kAssetsFolder);
            } catch (const HostError&) {
                // An answer all the same, which the check tells.
            }
            return true;
        },
        state_.startUpCheckLimit);
    return answered.has_value();
}

void Form1::applyCheckResult(int result) {
    if (result == kCheckFailed) {
        window_.setDeleteEnabled(false);
        window_.setRefreshEnabled(false);
        return;
    }
    window_.setDeleteEnabled(true);
    window_.setRefreshEnabled(true);
    window_.setText1(state_.GamePath);
    window_.showWindow();  // at start-up the listing fills a window already on screen
    RefreshList(state_, host_, window_);
}

void Form1::locateGameExe() {
    OpenDialogRequest request;
    skipOnError([&] {
        request.initialFolder =
            host_.getSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, "");
    });
    // A stored folder that is gone is not handed to the dialog; nor is one
    // that cannot be checked. Each look-up runs off the window's thread, and
    // none holds the dialog back for long: a stored folder or a store library
    // on a mount that does not answer must neither freeze the window nor keep
    // the user from picking another copy. What has not answered in time is
    // not used, and the helper asking is left to finish alone.
    const auto deadline = std::chrono::steady_clock::now() + state_.locateSearchLimit;
    const auto left = [&] {
        return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()),
                        std::chrono::milliseconds(0));
    };
    const std::shared_ptr<FileSystem> fs = state_.sharedFileSystem(host_);
    bool usable = false;
    // The dialog reads the folder it opens in on the window's thread, so a
    // folder is sent there only once a read of its entries has answered.
    if (!request.initialFolder.empty())
        skipOnError([&] {
            usable = OffTheWindowThread(
                         state_, window_,
                         [fs, separator = host_.separator(), folder = request.initialFolder] {
                             if (!fs->folderExists(folder)) return false;
                             ReadFolderEntries(*fs, folder, separator);
                             return true;
                         },
                         std::min(state_.storedFolderWait, left()))
                         .value_or(false);
        });
    if (!usable) request.initialFolder.clear();
    skipOnError([&] {
        std::optional<LocateStart> start =
            OffTheWindowThread(state_, window_, [&host = host_] { return host.locateDialogStart(); }, left());
        if (!start) return;
        // The dialog looks at its start folder and each place again on the
        // window's thread: one slow to answer here would freeze it there, so
        // it is left out. The start folder need not exist: the dialog then
        // opens where its own default places it.
        if (!usable && !start->folder.empty()) start->places.insert(start->places.begin(), Place{start->folder, ""});
        struct Answered {
            std::mutex mutex;
            std::vector<Place> places;
        };
        auto answered = std::make_shared<Answered>();
        OffTheWindowThread(
            state_, window_,
            [fs, separator = host_.separator(), places = std::move(start->places), answered, slow = state_.slowCallWait] {
                for (const Place& place : places) {
                    const auto asked = std::chrono::steady_clock::now();
                    bool offered = false;
                    skipOnError([&] {
                        const bool there = fs->folderExists(place.path);
                        if (there && place.name.empty()) ReadFolderEntries(*fs, place.path, separator);
                        offered = there || place.name.empty();
                    });
                    if (!offered || std::chrono::steady_clock::now() - asked >= slow) continue;
                    std::lock_guard lock(answered->mutex);
                    answered->places.push_back(place);
                }
                return true;
            },
            left());
        std::lock_guard lock(answered->mutex);
        for (Place& place : answered->places) {
            if (!usable && place.name.empty())
                request.initialFolder = std::move(place.path);
            else
                request.places.push_back(std::move(place));
        }
    });
    request.title = texts::kDialogTitle;
    request.fileName = "";
    request.filter = texts::kDialogFilter;

    std::optional<std::string> chosen;
    try {
        chosen = window_.showOpenDialog(request);
    } catch (const HostError&) {
        return;
    }
    if (!chosen) return;  // cancelled: nothing stored, nothing changed

    const std::string folder = FolderOfChosenFile(*chosen, host_.separator());
    if (folder.empty()) return;  // not a full path; there is no folder to take

    // Stored before it is checked, so a folder that fails the check is
    // remembered all the same. A store that cannot be written still leaves
    // the folder in use for this session, but the user is told, or the next
    // start would quietly ask again or bring back the old folder.
    try {
        host_.saveSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, folder);
    } catch (const HostError& error) {
        report(error, MessageIcon::Warning);
    }
    state_.GamePath = folder;

    int result = kCheckFailed;
    try {
        result = CheckPaths(state_, host_, &window_);
    } catch (const HostError&) {
        // The new folder could not be checked: never offer the commands on it.
        window_.setDeleteEnabled(false);
        window_.setRefreshEnabled(false);
        throw;
    }
    applyCheckResult(result);
}

void Form1::refreshList() { RefreshList(state_, host_, window_); }

void Form1::deletePaks() { DeleteArchives(state_, host_, window_); }

void Form1::command(const std::function<void()>& handler) {
    if (running_) return;  // one command at a time: one asked for meanwhile is dropped
    {
        const Running running(running_);
        reportErrors(handler);
    }
    if (state_.closeRequested) window_.closeWindow();
}

bool Form1::requestClose() {
    if (!running_) return true;
    state_.closeRequested = true;
    state_.walkStop.request_stop();
    return false;
}

void Form1::reportErrors(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const WalkStopped&) {
        // The window was closed during the command; it ends without a word.
    } catch (const std::exception& error) {
        report(error);
    }
}

void Form1::report(const std::exception& error, MessageIcon icon) {
    try {
        const bool known = dynamic_cast<const HostError*>(&error) != nullptr;
        host_.showMessage(known ? error.what() : UnexpectedFailureText(error), icon, texts::kTitle);
    } catch (const std::exception&) {
        // The message box itself failed: there is no other way to tell.
    }
}

}  // namespace quelmar

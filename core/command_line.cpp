#include "command_line.h"

#include <cstdint>
#include <exception>
#include <utility>

#include "archive_scan.h"
#include "form_state.h"
#include "texts.h"

namespace quelmar::cli {

Request ParseArguments(const std::vector<std::string>& arguments) {
    Request request;
    bool help = false, version = false, optionsEnd = false;
    auto fail = [&request](std::string error) {
        if (request.error.empty()) request.error = std::move(error);
    };
    auto command = [&](Command chosen) {
        if (request.command != Command::Window && request.command != chosen) fail(texts::oneCommandOnly());
        request.command = chosen;
    };
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        const std::string& argument = arguments[at];
        if (optionsEnd || argument.size() < 2 || argument[0] != '-') {
            if (request.game) fail(texts::oneGameOnly(argument));
            request.game = argument;
        } else if (argument == "--") {
            optionsEnd = true;
        } else if (argument == "--list") {
            command(Command::List);
        } else if (argument == "--delete") {
            command(Command::Delete);
        } else if (argument == "--then") {
            request.then.assign(arguments.begin() + static_cast<std::ptrdiff_t>(at) + 1, arguments.end());
            if (request.then.empty()) fail(texts::thenWithoutCommand());
            break;
        } else if (argument == "--print0") {
            request.print0 = true;
        } else if (argument == "--quiet") {
            request.quiet = true;
        } else if (argument == "--help") {
            help = true;
        } else if (argument == "--version") {
            version = true;
        } else if (argument[1] == '-') {
            fail(texts::unknownOption(argument));
        } else {
            // Short options may be run together, as in -0q.
            for (const char letter : argument.substr(1)) {
                if (letter == '0') request.print0 = true;
                else if (letter == 'q') request.quiet = true;
                else if (letter == 'h') help = true;
                else if (letter == 'V') version = true;
                else fail(texts::unknownOption(std::string("-") + letter));
            }
        }
    }
    if (!request.then.empty() && request.command != Command::Delete) fail(texts::thenOnlyAfterDelete());
    if (help) request.command = Command::Help;
    else if (version) request.command = Command::Version;
    else if (request.command == Command::Window && !arguments.empty()) fail(texts::noCommandGiven());
    return request;
}

namespace {

// The host as the command uses it: whatever it would show in a box is
// written to the standard error instead, so nothing ever waits for a click.
class Unattended : public Host {
public:
    Unattended(Host& host, Console& console) : host_(host), console_(console) {}

    void showMessage(const std::string& text, MessageIcon, const std::string&) override { tell(text); }
    // Each sentence on a line of its own under the command's name; a path's
    // line feed or control character is escaped, so that every line is one.
    void tell(const std::string& text) {
        for (std::size_t from = 0; from < text.size();) {
            std::size_t end = text.find(texts::kCrLf, from);
            if (end == std::string::npos) end = text.size();
            if (end > from)
                console_.writeError(std::string(texts::kCommandName) + ": " +
                                    ShownEntry(std::string_view(text).substr(from, end - from), '\\'));
            from = end + 2;
        }
    }

    char separator() const override { return host_.separator(); }
    bool namesIgnoreCase() const override { return host_.namesIgnoreCase(); }
    std::unique_ptr<FileSystem> createFileSystem() override { return host_.createFileSystem(); }
    std::string getSetting(const std::string& application, const std::string& section, const std::string& key,
                           const std::string& defaultValue) override {
        return host_.getSetting(application, section, key, defaultValue);
    }
    // The command line reads the stored folder, and never stores one.
    void saveSetting(const std::string&, const std::string&, const std::string&, const std::string&) override {}
    bool anotherInstanceRunning() override { return false; }
    Version version() override { return host_.version(); }
    std::string programFolder() override { return host_.programFolder(); }
    LocateStart locateDialogStart() override { return {}; }

private:
    Host& host_;
    Console& console_;
};

// Prints each archive as the walk lists it: as its bytes on disk, except
// to a terminal, where it reads as the window's list does.
class Printer : public WalkProgress {
public:
    Printer(const Request& request, Console& console, char separator)
        : request_(request), console_(console), separator_(separator),
          escaped_(!request.print0 && console.outputIsTerminal()) {}

    bool keepGoing(const std::string&) override { return true; }
    void found(const std::string& path) override {
        if (request_.quiet) return;
        std::string line = escaped_ ? ShownEntry(path, separator_) : path;
        line += request_.print0 ? '\0' : '\n';
        console_.writeOut(line);
    }

private:
    const Request& request_;
    Console& console_;
    char separator_;
    bool escaped_;
};

// The game folder the command works on, or nothing where it has told why
// not. An empty one is the check's to refuse, in the window's words.
std::optional<std::string> gameFolder(const Request& request, Unattended& host, Console& console) {
    if (request.game) {
        const std::optional<Console::Found> found = request.game->empty() ? std::nullopt : console.lookUp(*request.game);
        if (!found) {
            host.tell(texts::gameNotThere(*request.game));
            return std::nullopt;
        }
        return found->folder ? found->path : FolderOfChosenFile(found->path, host.separator());
    }
    if (const auto named = console.environment(kLauncherGameFolder); named && !named->empty()) return *named;
    try {
        return host.getSetting(texts::kSettingsApplication, texts::kSettingsSection, texts::kSettingsKey, "");
    } catch (const HostError& error) {
        host.tell(error.description() + texts::kCrLf + texts::settingsNotUsed());
        return "";
    }
}

int walk(const Request& request, Unattended& host, Console& console) {
    FormState state;
    const std::optional<std::string> game = gameFolder(request, host, console);
    if (!game) return kError;
    state.GamePath = *game;
    if (CheckPaths(state, host) != kCheckPassed) return kError;

    WalkPlan plan = PlanWalk(state, host);
    plan.stop = console.interruption();
    Printer printer(request, console, host.separator());
    std::int32_t deleted = 0, held = 0;
    ArchiveAction remove;
    if (request.command == Command::Delete)
        remove = [&](const Folder& folder, const std::string& name) {
            if (plan.fs->deleteFile(folder, name) == Deletion::OnRelease) ++held;
            ++deleted;
        };
    std::string list;
    std::int32_t count = 0;
    try {
        count = WalkArchives(plan, list, remove, &printer);
    } catch (const WalkStopped&) {
        if (remove) host.tell(texts::deletionStopped(deleted));
        return kInterrupted;
    } catch (const std::exception& error) {
        const auto* known = dynamic_cast<const HostError*>(&error);
        if (remove) host.tell(DeletionStoppedBy(error, deleted).description());
        else host.tell(known ? known->description() : UnexpectedFailureText(error));
        return kError;
    }
    if (count == 0) {
        host.tell(texts::noArchivesFound());
        return kNoneFound;
    }
    if (remove) {
        std::string done = texts::archivesDeleted(count);
        if (held > 0) done += std::string(texts::kCrLf) + texts::deletedOnRelease(held);
        host.tell(done);
    }
    return kFound;
}

}  // namespace

int Run(const Request& request, Host& host, Console& console) {
    Unattended unattended(host, console);
    if (!request.error.empty()) {
        unattended.tell(request.error + texts::kCrLf + texts::seeHelp());
        return kError;
    }
    int status = kError;
    try {
        if (request.command == Command::Help || request.command == Command::Version) {
            const Version version = host.version();
            console.writeOut(request.command == Command::Help
                                 ? texts::commandHelp()
                                 : texts::commandVersion(version.major, version.minor, version.revision));
            return kFound;
        }
        status = walk(request, unattended, console);
    } catch (const std::exception& error) {
        // The check's own look-ups failed, the output could not be written,
        // or memory ran out: told, and the game below still starts.
        const auto* known = dynamic_cast<const HostError*>(&error);
        unattended.tell(known ? known->description() : UnexpectedFailureText(error));
    }
    // The game starts whatever came of the deletion, unless the user stopped it.
    if (console.interruption().stop_requested()) return kInterrupted;
    if (request.then.empty()) return status;
    try {
        return console.runAfter(request.then);
    } catch (const HostError& error) {
        unattended.tell(error.description());
        return kCannotStart;
    }
}

}  // namespace quelmar::cli

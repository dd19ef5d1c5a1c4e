#pragma once
// The host services on Linux: POSIX for files, Qt for message boxes, the
// settings file and the single-instance lock.

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/host.h"
#include "platform/linux/posix_file_system.h"

class QObject;

namespace quelmar::linux_host {

// A folder that may hold the single-instance rule: `name` inside `parent`.
// The rule's folder is made there, private to this user. `makeParent`: the
// parent is the user's own to make, private, where it is missing (a home's
// .cache, which nothing may have made yet).
struct RulePlace {
    std::string parent, name;
    bool makeParent = false;
    bool operator==(const RulePlace&) const = default;
};

class LinuxHost : public Host {
public:
    // `instanceName` names the single-instance rule's folder; every copy
    // started by one user must use the same one (the default). The folder
    // lives in the first of rulePlaces() that this user alone can write.
    explicit LinuxHost(std::string instanceName = defaultInstanceName());
    // The rule in the places given, best first (tests keep theirs apart).
    explicit LinuxHost(std::vector<RulePlace> places);
    ~LinuxHost() override;
    LinuxHost(const LinuxHost&) = delete;
    LinuxHost& operator=(const LinuxHost&) = delete;

    // Message boxes are centred on and modal to this window once it exists.
    // Closing it lets go of the single-instance rule.
    void setMessageOwner(QWidget* owner);

    // $XDG_CONFIG_HOME/Quelmar/Quelmar.conf (by default under ~/.config).
    // Raises HostError when there is no telling where the user's home is.
    static QString settingsFile(const std::string& application);
    // The name every copy of the program uses; the folder it lives in is
    // the user's own, so it needs nothing of the user's in it.
    static std::string defaultInstanceName();
    // Where every start of this account looks for the rule, best first:
    // from the account's number and its entry in the user database alone,
    // never from the environment, which differs between sessions (su, ssh,
    // a cleaned environment) of one user.
    static std::vector<RulePlace> rulePlaces(const std::string& instanceName);
    // Called on the GUI thread when another copy of this user's starts
    // while this one runs (it then ends at once).
    void setSecondStartHandler(std::function<void()> handler) { secondStart_ = std::move(handler); }

    char separator() const override { return '/'; }
    std::unique_ptr<FileSystem> createFileSystem() override;
    bool namesIgnoreCase() const override { return false; }
    void showMessage(const std::string& text, MessageIcon icon, const std::string& title) override;
    std::string getSetting(const std::string& application, const std::string& section, const std::string& key,
                           const std::string& defaultValue) override;
    void saveSetting(const std::string& application, const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool anotherInstanceRunning() override;
    Version version() override;
    std::string programFolder() override;
    LocateStart locateDialogStart() override;

    // Lets go of the single-instance rule: later starts run as if this copy
    // had ended. Done by itself once the window has closed, before the
    // program ends: a thread of it may be held in a read that never
    // returns, which would keep the process, and so the rule, for good.
    void letGoOfTheRule();

    struct Rule;

private:
    void holdTheRule(std::unique_ptr<Rule> rule);
    void answerSecondStarts();
    void keepTheRuleInPlace();

    QPointer<QWidget> owner_;
    std::vector<RulePlace> places_;
    // Held while this copy runs: the locked folder and the socket in it
    // where later starts call.
    std::unique_ptr<Rule> rule_;
    std::unique_ptr<QObject> ruleWatch_;
    std::function<void()> secondStart_;
};

}  // namespace quelmar::linux_host

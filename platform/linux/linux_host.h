#pragma once
// The host services on Linux: POSIX for files, Qt for message boxes, the
// settings file, and the single-instance rule (single_instance.h).

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/host.h"
#include "platform/linux/posix_host.h"
#include "platform/linux/single_instance.h"

namespace quelmar::linux_host {

class LinuxHost : public PosixHost {
public:
    // `instanceName` names the single-instance rule's folder; every copy
    // started by one user must use the same one (the default). The folder
    // lives in the first of rulePlaces() that this user alone can write.
    explicit LinuxHost(std::string instanceName = defaultInstanceName()) : instance_(rulePlaces(instanceName)) {}
    // The rule in the places given, best first (tests keep theirs apart).
    explicit LinuxHost(std::vector<RulePlace> places) : instance_(std::move(places)) {}
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
    // Called on the GUI thread when another copy of this user's starts
    // while this one runs (it then ends at once).
    void setSecondStartHandler(std::function<void()> handler) { instance_.onSecondStart = std::move(handler); }

    void showMessage(const std::string& text, MessageIcon icon, const std::string& title) override;
    std::string getSetting(const std::string& application, const std::string& section, const std::string& key,
                           const std::string& defaultValue) override;
    void saveSetting(const std::string& application, const std::string& section, const std::string& key,
                     const std::string& value) override;
    bool anotherInstanceRunning() override;
    LocateStart locateDialogStart() override;

    // Later starts run as if this copy had ended (SingleInstance::letGo).
    void letGoOfTheRule() { instance_.letGo(); }

private:
    QPointer<QWidget> owner_;
    SingleInstance instance_;
};

}  // namespace quelmar::linux_host

#pragma once
// The host services on Linux: POSIX for files, Qt for message boxes, the
// settings file and the single-instance lock.

#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>

#include "core/host.h"
#include "platform/linux/posix_file_system.h"

class QLocalServer;
class QLockFile;

namespace quelmar::linux_host {

class LinuxHost : public Host {
public:
    // `instanceName` names the single-instance lock and the socket beside
    // it in the user's runtime folder; every copy started by one user must
    // use the same one (the default).
    explicit LinuxHost(std::string instanceName = defaultInstanceName());
    ~LinuxHost() override;
    LinuxHost(const LinuxHost&) = delete;
    LinuxHost& operator=(const LinuxHost&) = delete;

    // Message boxes are centred on and modal to this window once it exists.
    void setMessageOwner(QWidget* owner) { owner_ = owner; }

    // $XDG_CONFIG_HOME/Quelmar/Quelmar.conf (by default under ~/.config).
    // Raises HostError when there is no telling where the user's home is.
    static QString settingsFile(const std::string& application);
    // The name every copy of the program uses; the folder it lives in is
    // the user's own, so it needs nothing of the user's in it.
    static std::string defaultInstanceName();
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

private:
    void answerSecondStarts();

    QPointer<QWidget> owner_;
    std::string instanceName_;
    // Held while this copy runs: the lock, and where later starts call it.
    std::unique_ptr<QLockFile> instanceLock_;
    std::unique_ptr<QLocalServer> secondStarts_;
    std::function<void()> secondStart_;
};

}  // namespace quelmar::linux_host

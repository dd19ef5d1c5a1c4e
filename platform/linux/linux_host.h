#pragma once
// The host services on Linux: POSIX for files, Qt for message boxes, the
// settings file and the single-instance lock.

#include <QLockFile>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <memory>

#include "core/host.h"
#include "platform/linux/posix_file_system.h"

namespace quelmar::linux_host {

class LinuxHost : public Host {
public:
    LinuxHost();

    // Message boxes are centred on and modal to this window once it exists.
    void setMessageOwner(QWidget* owner) { owner_ = owner; }

    // $XDG_CONFIG_HOME/Quelmar/Quelmar.conf (by default under ~/.config).
    static QString settingsFile(const std::string& application);
    // Where every copy started by this user looks for the running one.
    static QString instanceLockPath();

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
    QPointer<QWidget> owner_;
    std::unique_ptr<QLockFile> instanceLock_;
};

}  // namespace quelmar::linux_host

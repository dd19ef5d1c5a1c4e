#include "linux_host.h"

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

#include "core/texts.h"

namespace quelmar::linux_host {

namespace {

QString fromUtf8(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

[[noreturn]] void fail(texts::Operation operation, const QString& path, int error) {
    throw HostError(error, texts::failure(operation, path.toStdString(),
                                          texts::reasonFor(static_cast<std::errc>(error), operation)));
}

}  // namespace

LinuxHost::LinuxHost() = default;

QString LinuxHost::settingsFile(const std::string& application) {
    const QString app = fromUtf8(application);
    // As the XDG rules have it: $XDG_CONFIG_HOME when it is an absolute
    // path, otherwise ~/.config. Without HOME (a session started with a
    // scrubbed environment), the home folder comes from the user database,
    // never from "/", so every start finds the same file.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!config.startsWith('/')) {
        QString home = qEnvironmentVariable("HOME");
        if (!home.startsWith('/')) {
            const passwd* account = ::getpwuid(::getuid());
            home = account && account->pw_dir ? QString::fromLocal8Bit(account->pw_dir) : QString();
        }
        config = home + "/.config";
    }
    return config + "/" + app + "/" + app + ".conf";
}

QString LinuxHost::instanceLockPath() {
    // Taken from the account alone, never from the environment, so that a
    // copy started with XDG_RUNTIME_DIR and one started without find the
    // same lock. The system's per-user runtime folder belongs to the user
    // alone; where there is none, a folder of the user's own in /tmp.
    const uid_t uid = ::getuid();
    const QString runtime = "/run/user/" + QString::number(uid);
    struct stat st;
    if (::stat(runtime.toLocal8Bit().constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid)
        return runtime + "/quelmar.lock";
    return "/tmp/quelmar-" + QString::number(uid) + "/quelmar.lock";
}

std::unique_ptr<FileSystem> LinuxHost::createFileSystem() { return std::make_unique<PosixFileSystem>(); }

namespace {

// A path has no spaces to wrap at: offer a break after every separator, and
// within any name too long for a line, so that a long path wraps inside the
// box instead of stretching it past the screen. The break is invisible.
QString withBreakOpportunities(const QString& text) {
    constexpr int kLongestUnbroken = 40;
    const QChar zeroWidthSpace(0x200B);
    QString out;
    out.reserve(text.size() + text.size() / 8);
    int run = 0;
    for (const QChar c : text) {
        out += c;
        run = c.isSpace() ? 0 : run + 1;
        if (c == '/' || run >= kLongestUnbroken) {
            out += zeroWidthSpace;
            run = 0;
        }
    }
    return out;
}

}  // namespace

void LinuxHost::showMessage(const std::string& text, MessageIcon icon, const std::string& title) {
    const QMessageBox::Icon kind = icon == MessageIcon::Information ? QMessageBox::Information
                                   : icon == MessageIcon::Warning   ? QMessageBox::Warning
                                                                    : QMessageBox::Critical;
    QString body = fromUtf8(text);
    body.replace("\r\n", "\n");
    const bool wrapsPaths = body.contains('/');
    // Over the window once it is on screen; before that, centred on its own.
    QWidget* owner = owner_ && owner_->isVisible() ? owner_.data() : nullptr;
    QMessageBox box(kind, fromUtf8(title), wrapsPaths ? withBreakOpportunities(body) : body, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);  // a path with '<' must show as typed
    // The box keeps its text narrow; a text long enough to make it taller
    // than the screen gets a wider box instead, up to most of the screen.
    auto* label = box.findChild<QLabel*>("qt_msgbox_label");
    const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    if (label && screen) {
        const QRect room = screen->availableGeometry();
        const QFontMetrics metrics(label->font());
        const qint64 area = qint64(metrics.horizontalAdvance(body)) * metrics.lineSpacing();
        const int wanted = static_cast<int>(area / qMax(1, room.height() / 2));
        if (wanted > 500) label->setMinimumWidth(qMin(wanted, room.width() * 4 / 5));
    }
    box.exec();
}

std::string LinuxHost::getSetting(const std::string& application, const std::string& section,
                                  const std::string& key, const std::string& defaultValue) {
    const QString file = settingsFile(application);
    const QFileInfo info(file);
    if (info.exists() && !info.isReadable()) fail(texts::Operation::ReadSettings, file, EACCES);
    QSettings settings(file, QSettings::IniFormat);
    // Only a damaged file counts here: QSettings shares one cache per file
    // within the process, so a save that failed earlier in this session shows
    // up as an access error on every later read, while the value it holds
    // (the folder in use this session) is still the right answer.
    if (settings.status() == QSettings::FormatError) fail(texts::Operation::ReadSettings, file, EIO);
    settings.beginGroup(fromUtf8(section));
    const QVariant value = settings.value(fromUtf8(key));
    return value.isValid() ? value.toString().toStdString() : defaultValue;
}

namespace {

// QSettings says only that saving failed; the user needs to know why. Its
// file is written beside the old one and renamed over it, so what matters
// is the file's own type, the folder's permission and the room on the disk.
int whySavingFailed(const QString& file) {
    const QByteArray path = file.toLocal8Bit();
    struct stat st;
    if (::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode)) return EISDIR;
    QString folder = QFileInfo(file).absolutePath();
    while (!QFileInfo::exists(folder) && folder != "/") folder = QFileInfo(folder).absolutePath();
    const QByteArray dir = folder.toLocal8Bit();
    if (::stat(dir.constData(), &st) == 0 && !S_ISDIR(st.st_mode)) return ENOTDIR;
    if (::access(dir.constData(), W_OK | X_OK) != 0) return errno;
    struct statvfs room;
    if (::statvfs(dir.constData(), &room) == 0 && room.f_bavail == 0) return ENOSPC;
    return EIO;
}

}  // namespace

void LinuxHost::saveSetting(const std::string& application, const std::string& section, const std::string& key,
                            const std::string& value) {
    const QString file = settingsFile(application);
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        fail(texts::Operation::SaveSettings, file, whySavingFailed(file));
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(fromUtf8(section));
    settings.setValue(fromUtf8(key), fromUtf8(value));
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError) fail(texts::Operation::SaveSettings, file, whySavingFailed(file));
}

bool LinuxHost::anotherInstanceRunning() {
    // One lock per user. QLockFile records the holder's process, so a lock
    // left behind by a run that crashed is recognised as stale and taken over.
    const QString path = instanceLockPath();
    const QString folder = QFileInfo(path).absolutePath();
    if (folder.startsWith("/tmp/")) {
        // Anyone may make things in /tmp: the folder must be this user's
        // alone, or someone else could hold the lock and keep Quelmar shut.
        const QByteArray native = folder.toLocal8Bit();
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            fail(texts::Operation::InstanceCheck, folder, errno);
        struct stat st;
        if (::lstat(native.constData(), &st) != 0) fail(texts::Operation::InstanceCheck, folder, errno);
        if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
            fail(texts::Operation::InstanceCheck, folder, EACCES);
    }
    auto lock = std::make_unique<QLockFile>(path);
    lock->setStaleLockTime(0);
    if (lock->tryLock(0)) {
        instanceLock_ = std::move(lock);
        return false;
    }
    if (lock->error() == QLockFile::LockFailedError) return true;
    fail(texts::Operation::InstanceCheck, path, lock->error() == QLockFile::PermissionError ? EACCES : EIO);
}

Version LinuxHost::version() { return {QUELMAR_VERSION_MAJOR, QUELMAR_VERSION_REVISION}; }

std::string LinuxHost::programFolder() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) fail(texts::Operation::ProgramInfo, "/proc/self/exe", error.value());
    return exe.parent_path().string();
}

LocateStart LinuxHost::locateDialogStart() {
    // Placeholder until the game-store search lands: the home folder.
    return {QDir::homePath().toStdString(), {}};
}

}  // namespace quelmar::linux_host

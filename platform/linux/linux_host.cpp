#include "linux_host.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLockFile>
#include <QScopeGuard>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QSpacerItem>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <system_error>

#include "core/texts.h"
#include "platform/linux/game_search_files.h"

namespace quelmar::linux_host {

namespace {

[[noreturn]] void fail(texts::Operation operation, const QString& path, int error, const std::string& reason) {
    throw HostError(error, texts::failure(operation, path.toStdString(), reason));
}

// Long enough for another copy's save to finish, short enough that the
// window never seems to hang.
constexpr int kSettingsLockWait = 40;  // ms

[[noreturn]] void fail(texts::Operation operation, const QString& path, int error) {
    fail(operation, path, error, texts::reasonFor(static_cast<std::errc>(error), operation));
}

}  // namespace

QString LinuxHost::settingsFile(const std::string& application) {
    const QString app = QString::fromStdString(application);
    // As the XDG rules have it: $XDG_CONFIG_HOME when it is an absolute
    // path, otherwise ~/.config. Without HOME (a session started with a
    // scrubbed environment), the home folder comes from the user database,
    // never from "/", so every start finds the same file.
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!config.startsWith('/')) {
        const QString home = QString::fromLocal8Bit(HomeFolder());
        // Never "/.config": a file there would be shared by every account
        // without a home, or refused.
        if (!home.startsWith('/'))
            fail(texts::Operation::ReadSettings, "~/.config/" + app + "/" + app + ".conf", ENOENT,
                 texts::noHomeFolderReason());
        config = home + "/.config";
    }
    return config + "/" + app + "/" + app + ".conf";
}

std::string LinuxHost::defaultInstanceName() { return "quelmar"; }

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
    QString body = QString::fromStdString(text);
    body.replace("\r\n", "\n");
    const bool wrapsPaths = body.contains('/');
    // Over the window once it is on screen; before that, centred on its own.
    QWidget* owner = owner_ && owner_->isVisible() ? owner_.data() : nullptr;
    QMessageBox box(kind, QString::fromStdString(title), wrapsPaths ? withBreakOpportunities(body) : body, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);  // a path with '<' must show as typed
    // The box keeps its text narrow; a text long enough to make it taller
    // than the screen gets a wider box instead, up to most of the screen:
    // a spacer across the box's own grid sets the width it may not go below.
    auto* grid = qobject_cast<QGridLayout*>(box.layout());
    const QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
    if (grid && screen) {
        const QRect room = screen->availableGeometry();
        const QFontMetrics metrics(box.font());
        const qint64 area = qint64(metrics.horizontalAdvance(body)) * metrics.lineSpacing();
        const int wanted = static_cast<int>(area / qMax(1, room.height() / 2));
        if (wanted > 500)
            grid->addItem(new QSpacerItem(qMin(wanted, room.width() * 4 / 5), 0, QSizePolicy::Minimum,
                                          QSizePolicy::Minimum),
                          grid->rowCount(), 0, 1, grid->columnCount());
    }
    box.exec();
}

namespace {

// The settings file's bytes, or nothing when there is no file. Opened
// without blocking, and only when it is a regular file: a pipe put in its
// place would otherwise hold the start for ever, with the instance lock
// taken. Every other failure (a folder on the way this user may not open,
// a read error) is the caller's to tell, never a quiet "nothing stored".
std::optional<QByteArray> readSettingsFile(const QString& file) {
    const QByteArray path = QFile::encodeName(file);
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        fail(texts::Operation::ReadSettings, file, errno);
    }
    const auto closing = qScopeGuard([fd] { ::close(fd); });
    struct stat st;
    if (::fstat(fd, &st) != 0) fail(texts::Operation::ReadSettings, file, errno);
    if (S_ISDIR(st.st_mode)) fail(texts::Operation::ReadSettings, file, EISDIR);
    if (!S_ISREG(st.st_mode)) fail(texts::Operation::ReadSettings, file, EINVAL, texts::notARegularFileReason());
    QByteArray bytes;
    char buffer[8192];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0) return bytes;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail(texts::Operation::ReadSettings, file, errno);
        bytes.append(buffer, got);
    }
}

// What the file says of `key` in `section`, as written: the settings library
// reads a quote left open as running on over the following lines, so a
// value that is there in the text but lost, or one whose quote is never
// closed, is damage to tell, not a folder to drop or to use with a line
// break in it.
bool losesTheValue(const QByteArray& text, const QByteArray& section, const QByteArray& key, bool found) {
    QByteArray current;
    for (const QByteArray& raw : text.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']')) {
            current = line.mid(1, line.size() - 2);
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (current != section || equals < 0 || line.left(equals).trimmed() != key) continue;
        const QByteArray value = line.mid(equals + 1).trimmed();
        int quotes = 0;
        for (qsizetype i = 0; i < value.size(); ++i) {
            if (value[i] == '\\') ++i;
            else if (value[i] == '"') ++quotes;
        }
        if (!found || quotes % 2 != 0) return true;
    }
    return false;
}

}  // namespace

std::string LinuxHost::getSetting(const std::string& application, const std::string& section,
                                  const std::string& key, const std::string& defaultValue) {
    const QString file = settingsFile(application);
    const std::optional<QByteArray> text = readSettingsFile(file);
    if (!text) return defaultValue;
    QSettings settings(file, QSettings::IniFormat);
    // Only a damaged file counts here: QSettings shares one cache per file
    // within the process, so a save that failed earlier in this session shows
    // up as an access error on every later read, while the value it holds
    // (the folder in use this session) is still the right answer.
    if (settings.status() == QSettings::FormatError)
        fail(texts::Operation::ReadSettings, file, EIO, texts::damagedSettingsReason());
    settings.beginGroup(QString::fromStdString(section));
    const QVariant value = settings.value(QString::fromStdString(key));
    if (losesTheValue(*text, QByteArray::fromStdString(section), QByteArray::fromStdString(key), value.isValid()))
        fail(texts::Operation::ReadSettings, file, EIO, texts::damagedSettingsReason());
    if (!value.isValid()) return defaultValue;
    if (value.typeId() == QMetaType::QByteArray) return value.toByteArray().toStdString();
    return value.toString().toStdString();
}

namespace {

// QSettings says only that saving failed; the user needs to know why. It
// refuses a file this user may not write to; otherwise its file is written
// beside the old one and renamed over it, so what matters then is the
// folder's permission and the room on the disk.
std::string whySavingFailed(const QString& file) {
    constexpr auto save = texts::Operation::SaveSettings;
    const auto because = [](int error) { return texts::reasonFor(static_cast<std::errc>(error), save); };
    const QByteArray path = file.toLocal8Bit();
    struct stat st;
    const bool exists = ::stat(path.constData(), &st) == 0;
    if (!exists && ::lstat(path.constData(), &st) == 0 && S_ISLNK(st.st_mode))
        return texts::danglingLinkReason(QFileInfo(file).symLinkTarget().toStdString());
    if (exists) {
        if (S_ISDIR(st.st_mode)) return because(EISDIR);
        if (::access(path.constData(), W_OK) != 0)
            return st.st_uid != ::getuid() ? texts::settingsOfAnotherUserReason() : texts::readOnlySettingsReason();
    }
    QString folder = QFileInfo(file).absolutePath();
    while (!QFileInfo::exists(folder) && folder != "/") folder = QFileInfo(folder).absolutePath();
    const QByteArray dir = folder.toLocal8Bit();
    if (::stat(dir.constData(), &st) == 0 && !S_ISDIR(st.st_mode)) return because(ENOTDIR);
    if (::access(dir.constData(), W_OK | X_OK) != 0) return because(errno);
    struct statvfs room;
    if (::statvfs(dir.constData(), &room) == 0 && room.f_bavail == 0) return because(ENOSPC);
    return because(EIO);
}

}  // namespace

void LinuxHost::saveSetting(const std::string& application, const std::string& section, const std::string& key,
                            const std::string& value) {
    const QString file = settingsFile(application);
    // A home nothing has run in yet may have no ~/.config either: made
    // private, as the base-directory rules say, before the folders in it.
    const QString base = QFileInfo(QFileInfo(file).absolutePath()).absolutePath();
    ::mkdir(QFile::encodeName(base).constData(), 0700);
    if (!QDir().mkpath(QFileInfo(file).absolutePath()))
        fail(texts::Operation::SaveSettings, file, EIO, whySavingFailed(file));
    {
        // The settings library waits for its lock without end; a lock left
        // by another account in a shared folder would hang "..." for good.
        // So it is tried first, for a moment, and a lock that stays taken is
        // told like any other failure to save.
        const QString lockPath = file + ".lock";
        QLockFile probe(lockPath);
        // A lock that cannot even be made (a read-only folder) is left to
        // the save itself, which then says why.
        if (!probe.tryLock(kSettingsLockWait) && probe.error() == QLockFile::LockFailedError)
            fail(texts::Operation::SaveSettings, file, EBUSY, texts::settingsLockedReason(lockPath.toStdString()));
    }
    QSettings settings(file, QSettings::IniFormat);
    settings.beginGroup(QString::fromStdString(section));
    // Folder names on Linux are bytes. Text as before where they are UTF-8;
    // a name that is not would lose bytes as text, so it is kept as bytes.
    const QByteArray bytes = QByteArray::fromStdString(value);
    const QString text = QString::fromUtf8(bytes);
    settings.setValue(QString::fromStdString(key), text.toUtf8() == bytes ? QVariant(text) : QVariant(bytes));
    settings.endGroup();
    settings.sync();
    if (settings.status() != QSettings::NoError)
        fail(texts::Operation::SaveSettings, file, EIO, whySavingFailed(file));
}

void LinuxHost::setMessageOwner(QWidget* owner) {
    owner_ = owner;
    if (owner) QObject::connect(owner, &QObject::destroyed, &instance_, &SingleInstance::letGo);
}

bool LinuxHost::anotherInstanceRunning() {
    const std::optional<pid_t> other = instance_.findOrHold();
    if (other && *other != 0)
        showMessage(texts::runningCopyNotAnswering(static_cast<long>(*other)), MessageIcon::Warning, texts::kTitle);
    return other.has_value();
}

LocateStart LinuxHost::locateDialogStart() {
    // The program's own folder is no start here (/usr/bin, or the unpacked
    // archive): where a game store or Wine put the game, else the home folder.
    PosixSearchDisk disk;
    return FindLocateStart(disk, HomeFolder(), qgetenv("WINEPREFIX").toStdString());
}

}  // namespace quelmar::linux_host

#include "linux_host.h"

#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGuiApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QScopeGuard>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QSpacerItem>
#include <QStandardPaths>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>

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

LinuxHost::LinuxHost(std::string instanceName) : instanceName_(std::move(instanceName)) {}

LinuxHost::~LinuxHost() {
    // The socket goes first: a start that finds the lock still taken then
    // finds nobody listening and tries the lock again.
    secondStarts_.reset();
    instanceLock_.reset();
}

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

namespace {

using Clock = std::chrono::steady_clock;

// The copy that takes the lock listens right after: only a machine under
// heavy load, or a copy stopped at that very moment, makes a start wait
// long for it.
constexpr auto kListenWait = std::chrono::seconds(3);
// A running copy answers a call from its event loop, which never waits
// long; one that has not answered by then is stopped or hung.
constexpr auto kAnswerWait = std::chrono::seconds(1);
// Between two looks at a copy that is not listening yet, or whose queue is
// full: the system has no event to wait for either.
constexpr auto kRetryPause = std::chrono::milliseconds(10);
// Starts that may wait to be taken at once; more only when the running
// copy takes none, and it is then told as not answering all the same.
constexpr int kQueuedStarts = 128;
// A Unix socket's name holds 107 bytes and its end.
constexpr qsizetype kLongestSocketPath = sizeof(sockaddr_un::sun_path) - 1;

enum class Call { Answered, NotListening, Silent };

// Calls the copy that listens at `path` to come forward. It answers with a
// byte from its event loop, so a copy that is stopped or hung, whose queue
// the system still fills, is told apart from one that runs.
Call callRunningCopy(const QString& path) {
    const auto giveUp = Clock::now() + kAnswerWait;
    QLocalSocket call;
    for (;;) {
        call.connectToServer(path, QIODevice::ReadOnly);
        if (call.state() != QLocalSocket::ConnectingState) break;
        // Its queue is full. Qt would try again each time the socket says
        // it may, which a socket still connecting says at once: a pause
        // between tries instead.
        call.abort();
        if (Clock::now() >= giveUp) return Call::Silent;
        std::this_thread::sleep_for(kRetryPause);
    }
    if (call.state() != QLocalSocket::ConnectedState) return Call::NotListening;
    while (call.bytesAvailable() == 0 && call.state() == QLocalSocket::ConnectedState && Clock::now() < giveUp) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - Clock::now());
        call.waitForReadyRead(static_cast<int>(std::max<std::int64_t>(left.count(), 1)));
    }
    if (call.bytesAvailable() > 0) return Call::Answered;
    // Hung up without a word: that copy is closing.
    return call.state() == QLocalSocket::ConnectedState ? Call::Silent : Call::NotListening;
}

}  // namespace

bool LinuxHost::anotherInstanceRunning() {
    // Asked again by the copy that holds the rule: it does not find itself.
    if (instanceLock_) return false;
    // Anything that keeps the rule from being kept, other than a running
    // copy of this user's, never keeps the program from starting: it then
    // starts without the rule. The runtime folder is the user's alone (Qt
    // refuses one another account owns or may write in, and makes a private
    // one where the session names none), so no other account can hold the
    // lock or the socket in it, and a copy found there is this user's.
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) return false;
    const QString base = folder + '/' + QString::fromStdString(instanceName_);
    const QString socketPath = base + ".socket";
    if (QFile::encodeName(socketPath).size() > kLongestSocketPath) return false;
    auto lock = std::make_unique<QLockFile>(base + ".lock");
    // A copy may run for days: its lock is stale only once its process is
    // gone (a crash leaves the file, which the next start takes over).
    lock->setStaleLockTime(0);

    auto giveUp = Clock::now() + kListenWait;
    bool leftoverRemoved = false;
    qint64 holder = 0;
    for (;;) {
        if (lock->tryLock(0)) break;
        if (lock->error() != QLockFile::LockFailedError) return false;  // a full disk, a folder gone read-only
        if (qint64 pid = 0; lock->getLockInfo(&pid, nullptr, nullptr)) holder = pid;
        switch (callRunningCopy(socketPath)) {
            case Call::Answered: return true;
            case Call::Silent:
                showMessage(texts::runningCopyNotAnswering(static_cast<long>(holder)), MessageIcon::Warning,
                            texts::kTitle);
                return true;
            case Call::NotListening: break;
        }
        if (Clock::now() >= giveUp) {
            // Held all this while, and nobody listens: a lock whose holder
            // is gone though its process number now names another program
            // of that name, or a file that is no lock at all. Removed only
            // when no process holds it; once, with time for a start that
            // takes it meanwhile to listen.
            if (!leftoverRemoved && lock->removeStaleLockFile()) {
                leftoverRemoved = true;
                giveUp = Clock::now() + kListenWait;
                continue;
            }
            // A copy that took the lock and stopped before it listened.
            if (holder > 0) {
                showMessage(texts::runningCopyNotAnswering(static_cast<long>(holder)), MessageIcon::Warning,
                            texts::kTitle);
                return true;
            }
            return false;  // no copy has ever been named in it
        }
        std::this_thread::sleep_for(kRetryPause);
    }

    instanceLock_ = std::move(lock);
    // A socket left by a copy that ended without closing it: none listens
    // there now, as this copy holds the lock.
    QLocalServer::removeServer(socketPath);
    auto server = std::make_unique<QLocalServer>();
    server->setListenBacklogSize(kQueuedStarts);
    // Calls are taken by the event loop. Without one, or where the socket
    // cannot be made, this copy still holds the lock: later starts end, and
    // say that it does not answer.
    if (QCoreApplication::instance() && server->listen(socketPath)) {
        QObject::connect(server.get(), &QLocalServer::newConnection, [this] { answerSecondStarts(); });
        secondStarts_ = std::move(server);
    }
    return false;
}

void LinuxHost::answerSecondStarts() {
    while (QLocalSocket* call = secondStarts_->nextPendingConnection()) {
        // The byte tells the new start that this copy runs and took the call.
        call->write("!", 1);
        call->flush();
        call->disconnectFromServer();
        call->deleteLater();
        if (secondStart_) secondStart_();
    }
}

Version LinuxHost::version() { return {QUELMAR_VERSION_MAJOR, QUELMAR_VERSION_REVISION}; }

std::string LinuxHost::programFolder() {
    std::error_code error;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) fail(texts::Operation::ProgramInfo, "/proc/self/exe", error.value());
    return exe.parent_path().string();
}

LocateStart LinuxHost::locateDialogStart() {
    // The program's own folder is no start here (/usr/bin, or the unpacked
    // archive): where a game store or Wine put the game, else the home folder.
    PosixSearchDisk disk;
    return FindLocateStart(disk, HomeFolder(), qgetenv("WINEPREFIX").toStdString());
}

}  // namespace quelmar::linux_host

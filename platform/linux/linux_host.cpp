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
#include <QSocketNotifier>
#include <QSpacerItem>
#include <QTimer>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
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

namespace {

using Clock = std::chrono::steady_clock;

// A running copy answers a call from its event loop. One that has not
// answered yet is judged by what its process does, never by a fixed time
// alone: on a loaded machine it is slow, not hung.
// Stopped (Ctrl+Z, kill -STOP) for this long: it will not answer.
constexpr auto kStoppedFor = std::chrono::seconds(1);
// Neither using the processor nor waiting for it, for this long: it waits
// on something that does not come (a mount that never answers). A copy
// whose socket was removed listens again well within it.
constexpr auto kStalledFor = std::chrono::seconds(5);
// Busy all along and still not answering: a copy caught in a loop.
constexpr auto kAnswerAtMost = std::chrono::seconds(30);
// Between two looks at a copy that has not answered.
constexpr int kLookMs = 20;
// How often the holder makes sure its folder and socket are still where
// later starts look for them (a cleaner may remove either).
constexpr int kKeepInPlaceMs = 1000;
// Starts that may wait to be taken at once.
constexpr int kQueuedStarts = 128;
constexpr char kSocketName[] = "socket";

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    void reset() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId&) const = default;
};
std::optional<FileId> idAt(int folder, const char* name) {
    struct stat st;
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}
std::optional<FileId> idOf(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

// A folder that holds the rule's folder must let no other account replace
// what this user makes in it: this user's own and closed to others, or the
// system's with the sticky bit (as /tmp is).
bool safeParent(int parent) {
    struct stat st;
    if (::fstat(parent, &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != ::geteuid() && st.st_uid != 0) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

// The rule's folder at `place`, made if need be and opened without
// following a link: one this user owns and no other may enter, or none.
// Anything else of this user's at its name (a file, a pipe, a link) is
// removed; never a folder, so two starts doing this at once cannot remove
// the one the other has just made. Another account's passes the place by.
Fd openRuleFolder(const Fd& parent, const std::string& name) {
    const uid_t me = ::geteuid();
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::mkdirat(parent.get(), name.c_str(), 0700) != 0 && errno != EEXIST) return Fd();
        Fd folder(::openat(parent.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!folder) {
            if (errno != ENOTDIR && errno != ELOOP) return Fd();
            struct stat st;
            if (::fstatat(parent.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                (st.st_uid != me || S_ISDIR(st.st_mode)))
                return Fd();
            ::unlinkat(parent.get(), name.c_str(), 0);
            continue;
        }
        struct stat st;
        if (::fstat(folder.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != me) return Fd();
        if ((st.st_mode & 077) != 0 && ::fchmod(folder.get(), 0700) != 0) return Fd();
        return folder;
    }
    return Fd();
}

// Where a socket in `folder` is reached: by its path, or through the open
// folder where the path is too long for a socket's name.
std::optional<sockaddr_un> socketAddress(const std::string& folderPath, int folder) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = folderPath + '/' + kSocketName;
    if (path.size() >= sizeof address.sun_path)
        path = "/proc/self/fd/" + std::to_string(folder) + '/' + kSocketName;
    if (path.size() >= sizeof address.sun_path) return std::nullopt;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

// The process that holds the lock on `folder`, as the system lists it; 0
// when none does.
pid_t lockHolder(int folder) {
    struct stat st;
    if (::fstat(folder, &st) != 0) return 0;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, id;
        fields >> number >> kind;
        if (kind == "->") fields >> kind;  // one waiting for the lock
        fields >> mode >> access >> pid >> id;
        if (kind == "FLOCK" && id == wanted) return static_cast<pid_t>(std::atol(pid.c_str()));
    }
    return 0;
}

// Whether the copy that holds the rule may still answer, from what its
// process does while a start waits for it.
class HolderWatch {
public:
    enum class Verdict { Waiting, Ended, NotAnswering, Unknown };
    Verdict judge(pid_t pid) {
        const auto now = Clock::now();
        if (pid != pid_) {
            pid_ = pid;
            cpu_ = -1;
            since_ = lastProgress_ = now;
            stopped_ = false;
        }
        if (pid <= 0) return now - lastProgress_ >= kStalledFor ? Verdict::Unknown : Verdict::Waiting;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const auto close = text.rfind(')');
        if (close == std::string::npos) return Verdict::Ended;
        std::istringstream fields(text.substr(close + 1));
        std::string state, field;
        long long utime = 0, stime = 0;
        fields >> state;
        for (int i = 4; i <= 13 && fields >> field; ++i) {
        }
        fields >> utime >> stime;
        // Its first thread has ended: the process is ending, or what is
        // left of it waits in the kernel and will never answer.
        if (state == "Z" || state == "X" || state == "x") return Verdict::Ended;
        if (state == "T" || state == "t") {
            if (!stopped_) stoppedSince_ = now;
            stopped_ = true;
            return now - stoppedSince_ >= kStoppedFor ? Verdict::NotAnswering : Verdict::Waiting;
        }
        stopped_ = false;
        // Running, or waiting for the processor (a loaded machine): progress.
        if (state == "R" || utime + stime != cpu_) lastProgress_ = now;
        cpu_ = utime + stime;
        if (now - lastProgress_ >= kStalledFor || now - since_ >= kAnswerAtMost) return Verdict::NotAnswering;
        return Verdict::Waiting;
    }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    long long cpu_ = -1;
    bool stopped_ = false;
    Clock::time_point since_, lastProgress_, stoppedSince_;
};

void pause(int ms) { ::poll(nullptr, 0, ms); }

}  // namespace

struct LinuxHost::Rule {
    Fd parent;
    std::string name, path;
    Fd folder;
    FileId folderId;
    Fd listener;
    std::optional<FileId> socketId;
    std::unique_ptr<QSocketNotifier> calls;
};

namespace {

// Makes the holder's socket, taking the place of whatever is at its name:
// a socket left by a copy that crashed, or anything else. The holder owns
// the folder, so nothing there is another copy's.
bool listenIn(LinuxHost::Rule& rule);

}  // namespace

LinuxHost::LinuxHost(std::string instanceName) : places_(rulePlaces(instanceName)) {}

LinuxHost::LinuxHost(std::vector<RulePlace> places) : places_(std::move(places)) {}

LinuxHost::~LinuxHost() { letGoOfTheRule(); }

std::vector<RulePlace> LinuxHost::rulePlaces(const std::string& instanceName) {
    const std::string uid = std::to_string(::geteuid());
    // The session's runtime folder, which the system makes for the account
    // (it is there whenever the user is logged in)...
    std::vector<RulePlace> places{{"/run/user/" + uid, instanceName}};
    // ... else the shared temporary folder, named by the account's number:
    // /tmp itself, whatever TMPDIR says, so that every session finds it...
    places.push_back({"/tmp", instanceName + "-" + uid});
    // ... and where another account made that name first, the user's own
    // home, named by the machine too as a home may be shared between them.
    const passwd* account = ::getpwuid(::geteuid());
    const std::string home = account && account->pw_dir ? account->pw_dir : "";
    char host[256] = {};
    if (home.starts_with('/') && ::gethostname(host, sizeof host - 1) == 0)
        places.push_back({home + "/.cache", instanceName + "-" + host, true});
    return places;
}

bool LinuxHost::anotherInstanceRunning() {
    // Asked again by the copy that holds the rule: it does not find itself.
    if (rule_) return false;
    // The first place this user alone can write holds the rule. Anything
    // that keeps the rule from being kept, other than a running copy of
    // this user's, never keeps the program from starting: it then starts
    // without the rule, and says nothing.
    for (const RulePlace& place : places_) {
        auto rule = std::make_unique<Rule>();
        const auto openParent = [&] {
            return Fd(::open(place.parent.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
        };
        rule->parent = openParent();
        // A home nothing has run in yet has no .cache: it is made as the
        // base-directory rules say, private. Whatever stands at its name
        // (a link, dangling or not) is left alone and judged as found.
        if (!rule->parent && errno == ENOENT && place.makeParent && ::mkdir(place.parent.c_str(), 0700) == 0)
            rule->parent = openParent();
        if (!rule->parent || !safeParent(rule->parent.get())) continue;
        rule->name = place.name;
        rule->path = place.parent + '/' + place.name;
        rule->folder = openRuleFolder(rule->parent, rule->name);
        if (!rule->folder) continue;

        HolderWatch watch;
        Fd call;
        pid_t holder = 0;
        for (;;) {
            if (!call) {
                if (::flock(rule->folder.get(), LOCK_EX | LOCK_NB) == 0) {
                    // A copy that let go removes the folder while it still
                    // holds it: this one is gone, so the rule is in a new one.
                    struct stat st;
                    if (::fstat(rule->folder.get(), &st) != 0) return false;
                    if (st.st_nlink == 0) {
                        rule->folder = openRuleFolder(rule->parent, rule->name);
                        if (!rule->folder) return false;
                        continue;
                    }
                    rule->folderId = {st.st_dev, st.st_ino};
                    if (!listenIn(*rule)) return false;  // the lock goes with it
                    holdTheRule(std::move(rule));
                    return false;
                }
                if (errno != EWOULDBLOCK) return false;  // a system that keeps no such locks
                const auto address = socketAddress(rule->path, rule->folder.get());
                if (!address) return false;
                call = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
                if (!call) return false;
                if (::connect(call.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) == 0) {
                    // The folder is this user's alone; the holder's
                    // credentials say so again, and name its process.
                    ucred peer{};
                    socklen_t size = sizeof peer;
                    if (::getsockopt(call.get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.uid != ::geteuid())
                        return false;
                    holder = peer.pid;
                } else {
                    // Not listening yet (it has just taken the lock, or its
                    // socket was removed and it is making it again), or its
                    // queue is full.
                    call.reset();
                    holder = lockHolder(rule->folder.get());
                }
            }
            if (call) {
                pollfd answer{call.get(), POLLIN, 0};
                if (::poll(&answer, 1, kLookMs) > 0) {
                    char byte;
                    if (::recv(call.get(), &byte, 1, MSG_DONTWAIT) == 1) return true;
                    call.reset();  // hung up without a word: that copy is closing
                    continue;
                }
            } else {
                pause(kLookMs);
            }
            switch (watch.judge(holder)) {
                case HolderWatch::Verdict::Waiting: break;
                case HolderWatch::Verdict::Unknown: return false;  // a lock no copy can be found behind
                case HolderWatch::Verdict::NotAnswering:
                    showMessage(texts::runningCopyNotAnswering(static_cast<long>(holder)), MessageIcon::Warning,
                                texts::kTitle);
                    return true;
                case HolderWatch::Verdict::Ended:
                    call.reset();
                    if (::flock(rule->folder.get(), LOCK_EX | LOCK_NB) == 0) {
                        ::flock(rule->folder.get(), LOCK_UN);
                        continue;  // taken from the top
                    }
                    // Its process keeps the lock though it has ended: a
                    // thread of it is held in a read that never returns.
                    // The rule moves to a new folder, if this one is still
                    // the one at the rule's name.
                    const auto ended = idOf(rule->folder.get());
                    if (idAt(rule->parent.get(), rule->name.c_str()) == ended) {
                        ::unlinkat(rule->folder.get(), kSocketName, 0);
                        const std::string aside = rule->name + ".ended-" + std::to_string(holder);
                        if (::unlinkat(rule->parent.get(), rule->name.c_str(), AT_REMOVEDIR) != 0)
                            ::renameat(rule->parent.get(), rule->name.c_str(), rule->parent.get(), aside.c_str());
                    }
                    rule->folder = openRuleFolder(rule->parent, rule->name);
                    if (!rule->folder || idOf(rule->folder.get()) == ended) return false;  // it could not be moved
                    break;
            }
        }
    }
    return false;
}

namespace {

bool listenIn(LinuxHost::Rule& rule) {
    const int folder = rule.folder.get();
    rule.calls.reset();
    rule.listener.reset();
    if (::unlinkat(folder, kSocketName, 0) != 0 && errno != ENOENT &&
        ::unlinkat(folder, kSocketName, AT_REMOVEDIR) != 0) {
        const std::string aside = std::string(".") + kSocketName + "-" + std::to_string(::getpid());
        ::renameat(folder, kSocketName, folder, aside.c_str());
    }
    const auto address = socketAddress(rule.path, folder);
    Fd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!address || !listener ||
        ::bind(listener.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::listen(listener.get(), kQueuedStarts) != 0)
        return false;
    rule.socketId = idAt(folder, kSocketName);
    rule.listener = std::move(listener);
    return true;
}

// Lets the holder go as soon as its window has closed: hidden by the
// program (not minimised), or destroyed; and keeps its rule in place
// meanwhile. Outlives the host by a moment (it is deleted from the event
// loop), so it calls the host only until detached.
class RuleWatch : public QObject {
public:
    std::function<void()> closed, keep;
    void detach() {
        closed = keep = nullptr;
        deleteLater();
    }
    void onClosed() {
        if (const auto call = closed) call();
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Hide && !event->spontaneous()) {
            auto* window = qobject_cast<QWidget*>(watched);
            if (window && !window->isVisible()) onClosed();
        }
        return false;
    }
    void watch(QWidget* window) {
        window->installEventFilter(this);
        QObject::connect(window, &QObject::destroyed, this, [this] { onClosed(); });
    }
};

}  // namespace

void LinuxHost::holdTheRule(std::unique_ptr<Rule> rule) {
    rule_ = std::move(rule);
    if (!QCoreApplication::instance()) return;  // nobody to answer: later starts are told so
    rule_->calls = std::make_unique<QSocketNotifier>(rule_->listener.get(), QSocketNotifier::Read);
    QObject::connect(rule_->calls.get(), &QSocketNotifier::activated, [this] { answerSecondStarts(); });
    if (ruleWatch_) return;
    auto* watch = new RuleWatch;
    watch->closed = [this] { letGoOfTheRule(); };
    watch->keep = [this] { keepTheRuleInPlace(); };
    auto* timer = new QTimer(watch);
    QObject::connect(timer, &QTimer::timeout, watch, [watch] {
        if (const auto call = watch->keep) call();
    });
    timer->start(kKeepInPlaceMs);
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, watch, [watch] { watch->onClosed(); });
    if (owner_) watch->watch(owner_);
    ruleWatch_.reset(watch);
}

void LinuxHost::setMessageOwner(QWidget* owner) {
    owner_ = owner;
    if (ruleWatch_ && owner) static_cast<RuleWatch*>(ruleWatch_.get())->watch(owner);
}

void LinuxHost::letGoOfTheRule() {
    if (!rule_) return;
    std::unique_ptr<Rule> rule = std::move(rule_);
    rule->calls.reset();
    rule->listener.reset();
    // Removed while still held, so that a start that opened this folder
    // meanwhile sees it gone once it takes the lock; the rule then lives
    // in a new one. Only the socket and folder that are this copy's.
    const int folder = rule->folder.get();
    if (rule->socketId && idAt(folder, kSocketName) == rule->socketId) ::unlinkat(folder, kSocketName, 0);
    if (idAt(rule->parent.get(), rule->name.c_str()) == rule->folderId)
        ::unlinkat(rule->parent.get(), rule->name.c_str(), AT_REMOVEDIR);
    rule.reset();  // the lock goes with the folder's descriptor
    if (ruleWatch_) {
        if (owner_) owner_->removeEventFilter(ruleWatch_.get());
        static_cast<RuleWatch*>(ruleWatch_.release())->detach();
    }
}

void LinuxHost::keepTheRuleInPlace() {
    if (!rule_) return;
    Rule& rule = *rule_;
    if (idAt(rule.parent.get(), rule.name.c_str()) != rule.folderId) {
        // The folder was removed under this copy (a cleaner of the temporary
        // folder): later starts would make a new one and hold it too. It is
        // made again and held, unless a start has done so already.
        Fd fresh = openRuleFolder(rule.parent, rule.name);
        struct stat st;
        if (!fresh || ::flock(fresh.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(fresh.get(), &st) != 0) {
            letGoOfTheRule();
            return;
        }
        rule.folder = std::move(fresh);
        rule.folderId = {st.st_dev, st.st_ino};
        rule.socketId.reset();
    }
    if (rule.socketId && idAt(rule.folder.get(), kSocketName) == rule.socketId) return;
    // The socket was removed or replaced: later starts find it again.
    if (!listenIn(rule)) return letGoOfTheRule();
    rule.calls = std::make_unique<QSocketNotifier>(rule.listener.get(), QSocketNotifier::Read);
    QObject::connect(rule.calls.get(), &QSocketNotifier::activated, [this] { answerSecondStarts(); });
}

void LinuxHost::answerSecondStarts() {
    if (!rule_) return;
    for (;;) {
        const int call = ::accept4(rule_->listener.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (call < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;  // none left
        }
        // The byte tells the new start that this copy runs and took the call.
        (void)!::send(call, "!", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(call);
        if (secondStart_) secondStart_();
        if (!rule_) return;  // let go meanwhile
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

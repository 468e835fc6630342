#include "app/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSaveFile>
#include <QThread>

namespace {

// The store as every start names it, whatever path or link led to it.
QString CanonicalStore(const std::string& storeFile) {
    QFileInfo info(QString::fromStdString(storeFile));
    QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

// The store file itself, whatever path or link (hard or symbolic) leads to it: its device
// and inode. Empty when it cannot be read.
QString StoreIdentity(const QString& canonicalStore) {
    struct stat st {};
    if (::stat(QFile::encodeName(canonicalStore).constData(), &st) != 0) return {};
    return QString::number(st.st_dev) + ":" + QString::number(st.st_ino);
}

// A socket path of this user's own, short enough for a socket address whatever the
// store's path: the runtime folder when there is one, else the temporary folder with the
// user id in the name. Both depend on the environment, so a later start does not compute
// it but reads it from the holder's note next to the lock (ServerNote).
QString ServerPath(const QString& canonicalStore) {
    QString identity = StoreIdentity(canonicalStore);
    QByteArray hash =
        QCryptographicHash::hash((identity.isEmpty() ? canonicalStore : identity).toUtf8(),
                                 QCryptographicHash::Sha256)
            .toHex()
            .left(24);
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + "/quorvane-" + QString::fromLatin1(hash);
    return QDir::tempPath() + "/quorvane-" + QString::number(::getuid()) + "-" +
           QString::fromLatin1(hash);
}

// The file next to the lock in which the holder notes the path it listens on.
QString ServerNote(const std::string& lockPath) {
    return QString::fromStdString(lockPath) + ".socket";
}

// The path the holder noted, or fallback when there is no readable note.
QString NotedServer(const std::string& lockPath, const QString& fallback) {
    QFile note(ServerNote(lockPath));
    if (!note.open(QIODevice::ReadOnly)) return fallback;
    QByteArray path = note.read(4096).trimmed();
    return path.isEmpty() ? fallback : QFile::decodeName(path);
}

constexpr char kWindowForward = 'W';
constexpr char kNoWindow = 'H';

}  // namespace

SingleInstance::SingleInstance(const std::string& storeFile, QObject* parent)
    : QObject(parent),
      storeFile_(CanonicalStore(storeFile).toStdString()),
      lockPath_((CanonicalStore(storeFile) + ".lock").toStdString()),
      serverName_(ServerPath(CanonicalStore(storeFile)).toStdString()),
      lock_(QString::fromStdString(lockPath_)) {
    // Held for the life of the process however long that is; only a holder that is gone
    // makes the lock stale.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (server_) {
        server_->close();
        QFile::remove(ServerNote(lockPath_));
    }
    if (storeFd_ >= 0) ::close(storeFd_);
}

// Every live holder keeps the store file locked (flock), and that lock goes with the process
// however it ends. Qt counts a lock file stale only when the process it names is gone: not
// one whose maker was killed before it wrote its name, nor one whose holder is dead but not
// yet reaped (a zombie answers as alive). Either would refuse every start from then on.
// Where the file system has no flock, only a lock file that names nobody and has stood a
// few seconds counts as abandoned: a live maker writes its name at once.
bool SingleInstance::AbandonedWithoutHolder() {
    if (storeFd_ < 0) storeFd_ = ::open(storeFile_.c_str(), O_RDONLY | O_CLOEXEC);
    if (storeFd_ >= 0) {
        if (::flock(storeFd_, LOCK_EX | LOCK_NB) == 0) return true;
        if (errno == EWOULDBLOCK) return false;
    }
    struct stat st {};
    return ::stat(lockPath_.c_str(), &st) == 0 && st.st_size == 0 &&
           ::time(nullptr) - st.st_mtime >= kNamelessLockSeconds;
}

SingleInstance::Hold SingleInstance::TryHold(std::string* why) {
    bool locked = lock_.tryLock(0);
    if (!locked && lock_.error() == QLockFile::LockFailedError && AbandonedWithoutHolder()) {
        lock_.removeStaleLockFile();
        locked = lock_.tryLock(0);
    }
    if (locked) {
        // The lock file is named after one path of the store; a hard link is another path
        // to the same file. A lock on the store file itself covers every path, and like
        // the lock file's it goes with the process however it ends. (It is a flock lock,
        // which does not meet the settings store's own fcntl locks.)
        if (storeFd_ < 0) storeFd_ = ::open(storeFile_.c_str(), O_RDONLY | O_CLOEXEC);
        if (storeFd_ >= 0 && ::flock(storeFd_, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            lock_.unlock();
            *why = "another process, through another link to " + storeFile_;
            return HeldElsewhere;
        }
        // A file system without flock keeps the lock file's guard alone.
        return Holding;
    }
    // Taken only to judge the lock file: not ours to keep.
    if (storeFd_ >= 0) ::flock(storeFd_, LOCK_UN);
    if (lock_.error() == QLockFile::LockFailedError) {
        qint64 pid = 0;
        QString host, app;
        if (lock_.getLockInfo(&pid, &host, &app) && pid > 0)
            *why = "process " + std::to_string(pid);
        else
            *why = "another process";
        return HeldElsewhere;
    }
    *why = lockPath_ + ": the lock file cannot be made";
    return CannotLock;
}

bool SingleInstance::Listen(bool withWindow, std::string* why) {
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QString name = QString::fromStdString(serverName_);
    // A socket left by a holder that is gone; while this process holds the lock nobody else
    // can be listening on it.
    QLocalServer::removeServer(name);
    if (!server_->listen(name)) {
        *why = serverName_ + ": " + server_->errorString().toStdString();
        server_.reset();
        return false;
    }
    // Later starts may have another runtime or temporary folder: they find the socket
    // through this note next to the lock.
    QSaveFile note(ServerNote(lockPath_));
    bool noted = note.open(QIODevice::WriteOnly) &&
                 note.write(QFile::encodeName(server_->fullServerName()) + "\n") >= 0 &&
                 note.commit();
    if (!noted) *why = note.fileName().toStdString() + ": " + note.errorString().toStdString();
    connect(server_.get(), &QLocalServer::newConnection, this, [this, withWindow] {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            // The request is the connection itself; nothing is read from the caller.
            if (withWindow) emit windowRequested();
            char answer = withWindow ? kWindowForward : kNoWindow;
            socket->write(&answer, 1);
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            socket->disconnectFromServer();
        }
    });
    return noted;
}

SingleInstance::HandOverResult SingleInstance::HandOver(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    // The holder may have taken the lock and not yet be listening: try again until the
    // deadline.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        // Read again each time: the holder may not have written its note yet.
        socket.connectToServer(NotedServer(lockPath_, QString::fromStdString(serverName_)));
        if (socket.waitForConnected(
                static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)))) {
            char answer = 0;
            while (socket.bytesAvailable() < 1 && !deadline.hasExpired() &&
                   socket.state() == QLocalSocket::ConnectedState)
                socket.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
            if (socket.read(&answer, 1) == 1)
                return answer == kWindowForward ? WindowForward : NoWindow;
        }
        QThread::msleep(100);
    }
    return NoAnswer;
}

#include "app/SingleInstance.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

namespace {

// The store as every start names it, whatever path or link led to it.
QString CanonicalStore(const std::string& storeFile) {
    QFileInfo info(QString::fromStdString(storeFile));
    QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

// A socket path of this user's own, short enough for a socket address whatever the
// store's path: the runtime folder when there is one, else the temporary folder with the
// user id in the name.
QString ServerPath(const QString& canonicalStore) {
    QByteArray hash = QCryptographicHash::hash(canonicalStore.toUtf8(), QCryptographicHash::Sha256)
                          .toHex()
                          .left(24);
    QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return runtime + "/quorvane-" + QString::fromLatin1(hash);
    return QDir::tempPath() + "/quorvane-" + QString::number(::getuid()) + "-" +
           QString::fromLatin1(hash);
}

constexpr char kWindowForward = 'W';
constexpr char kNoWindow = 'H';

}  // namespace

SingleInstance::SingleInstance(const std::string& storeFile, QObject* parent)
    : QObject(parent),
      lockPath_((CanonicalStore(storeFile) + ".lock").toStdString()),
      serverName_(ServerPath(CanonicalStore(storeFile)).toStdString()),
      lock_(QString::fromStdString(lockPath_)) {
    // Held for the life of the process however long that is; only a holder that is gone
    // makes the lock stale.
    lock_.setStaleLockTime(0);
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();
}

SingleInstance::Hold SingleInstance::TryHold(std::string* why) {
    if (lock_.tryLock(0)) return Holding;
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
    return true;
}

SingleInstance::HandOverResult SingleInstance::HandOver(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    // The holder may have taken the lock and not yet be listening: try again until the
    // deadline.
    while (!deadline.hasExpired()) {
        QLocalSocket socket;
        socket.connectToServer(QString::fromStdString(serverName_));
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

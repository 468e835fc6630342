#pragma once

// One scheduling program per settings store. Whoever runs schedules (the desktop program,
// --headless, --run) holds a lock file next to the store for as long as it lives; a lock
// left by a process that is gone (crashed, killed) is taken over. The holder also answers
// on a local socket named after the store, so that a second desktop start can ask it to
// bring its window forward instead of starting a second scheduler. The holder notes the
// socket's path next to the lock (FILE.lock.socket), so that a start with another
// environment finds it; it also locks the store file itself, which a hard link shares.

#include <QLockFile>
#include <QObject>
#include <memory>
#include <string>

class QLocalServer;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    // storeFile: the settings store, which exists.
    explicit SingleInstance(const std::string& storeFile, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum Hold { Holding, HeldElsewhere, CannotLock };
    // Takes the store for this process. HeldElsewhere: *why names the holder;
    // CannotLock: *why says what went wrong with the lock file.
    Hold TryHold(std::string* why);

    // Answers hand-over requests from later starts. With a window each request emits
    // windowRequested and is answered "window forward"; without one it is answered "no
    // window". Needs the application object. False with a reason when the socket cannot be
    // offered (the lock still keeps a second scheduler out).
    bool Listen(bool withWindow, std::string* why);

    enum HandOverResult { WindowForward, NoWindow, NoAnswer };
    // Asks the holder to bring its window forward, waiting at most timeoutMs for it.
    HandOverResult HandOver(int timeoutMs);

    const std::string& lockFile() const { return lockPath_; }
    const std::string& serverName() const { return serverName_; }

signals:
    // A later start asked for the window.
    void windowRequested();

private:
    // How long a lock file that names no holder may stand before it counts as abandoned,
    // where the file system has no flock.
    static constexpr int kNamelessLockSeconds = 5;
    bool AbandonedWithoutHolder();

    std::string storeFile_;  // canonical
    int storeFd_ = -1;       // the store file, locked while this process holds it
    std::string lockPath_;
    std::string serverName_;
    QLockFile lock_;
    std::unique_ptr<QLocalServer> server_;
};

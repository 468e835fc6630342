#include "platform/Secrets.h"

#include <qt6keychain/keychain.h>
#include <QCoreApplication>
#include <QEvent>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <mutex>

namespace secrets {

namespace {

std::mutex gCurrentLock;
std::shared_ptr<SecretStore> gCurrent;

// Items are filed under this service; the key names the store file and the item's id.
const QString kService = QStringLiteral("Quorvane");

// One question. Shared with the keyring thread, which may answer after the asker has
// stopped waiting.
struct Pending {
    std::mutex lock;
    std::condition_variable cv;
    bool done = false;
    Result result;
    std::string secret;
};

class QtKeychainBackend final : public KeyringBackend {
public:
    void Start(Op op, const std::string& key, const std::string& secret, Done done) override {
        QKeychain::Job* job = nullptr;
        if (op == kRead) {
            job = new QKeychain::ReadPasswordJob(kService);
        } else if (op == kWrite) {
            auto* write = new QKeychain::WritePasswordJob(kService);
            // As bytes: a password is whatever bytes the user gave, not only valid UTF-8.
            write->setBinaryData(QByteArray(secret.data(), static_cast<qsizetype>(secret.size())));
            job = write;
        } else {
            job = new QKeychain::DeletePasswordJob(kService);
        }
        // A job is deleted by QtKeychain once it has finished, never before: the Secret
        // Service's answer comes back to it.
        job->setAutoDelete(true);
        job->setKey(QString::fromUtf8(key.data(), static_cast<qsizetype>(key.size())));
        QObject::connect(job, &QKeychain::Job::finished, job, [op, done](QKeychain::Job* j) {
            Result r;
            std::string answer;
            switch (j->error()) {
                case QKeychain::NoError:
                    r.outcome = Outcome::kOk;
                    if (op == kRead) {
                        QByteArray data = static_cast<QKeychain::ReadPasswordJob*>(j)->binaryData();
                        answer.assign(data.constData(), static_cast<size_t>(data.size()));
                    }
                    break;
                case QKeychain::EntryNotFound:
                    r.outcome = Outcome::kNotFound;
                    break;
                case QKeychain::NoBackendAvailable:
                    r.outcome = Outcome::kNoKeyring;
                    break;
                default:
                    r.outcome = Outcome::kFailed;
                    break;
            }
            if (!r.ok()) r.detail = j->errorString().toStdString();
            done(std::move(r), std::move(answer));
        });
        job->start();
    }
};

}  // namespace

void Install(std::shared_ptr<SecretStore> store) {
    std::lock_guard<std::mutex> hold(gCurrentLock);
    gCurrent = std::move(store);
}

std::shared_ptr<SecretStore> Current() {
    std::lock_guard<std::mutex> hold(gCurrentLock);
    return gCurrent;
}

// Questions reach the keyring thread through a queue of our own, guarded by a mutex, and an
// event that only says "look in the queue": everything a question carries is handed over
// under that mutex, never inside Qt's event (whose own locking the thread sanitizer, like
// anything outside our code, cannot see).
class KeyringDrainer final : public QObject {
public:
    explicit KeyringDrainer(std::function<void()> drain) : drain_(std::move(drain)) {}
    bool event(QEvent* e) override {
        // Questions run on the keyring thread only (moving the object here is an event too).
        if (thread() == QThread::currentThread()) drain_();
        return QObject::event(e);
    }

private:
    std::function<void()> drain_;
};

struct ThreadedKeyring::Impl {
    std::chrono::milliseconds wait;
    QThread thread;
    QObject* context = nullptr;  // lives on thread; the backend's questions start there
    std::unique_ptr<KeyringBackend> backend;
    // Questions asked and not answered yet: the backend answers one after the other, so a
    // new one would only wait behind them.
    std::atomic<int> open{0};
    // When the oldest of them was asked (seconds since the epoch), for the one who is told no.
    std::atomic<int64_t> openSince{0};
    std::atomic<bool> available{false};
    std::mutex queueLock;
    std::deque<std::function<void()>> queue;

    void Drain() {
        for (;;) {
            std::function<void()> next;
            {
                std::lock_guard<std::mutex> hold(queueLock);
                if (queue.empty()) return;
                next = std::move(queue.front());
                queue.pop_front();
            }
            next();
        }
    }
};

namespace {

bool Answered(const Result& r) {
    return r.outcome == Outcome::kOk || r.outcome == Outcome::kNotFound;
}

// The time alone when it was today, else with its date.
std::string LocalTimeText(int64_t seconds) {
    time_t t = static_cast<time_t>(seconds), now = std::time(nullptr);
    struct tm local {
    }, today{};
    char text[32] = "";
    if (!localtime_r(&t, &local) || !localtime_r(&now, &today)) return text;
    bool sameDay = local.tm_year == today.tm_year && local.tm_yday == today.tm_yday;
    std::strftime(text, sizeof text, sameDay ? "%H:%M" : "%Y-%m-%d %H:%M", &local);
    return text;
}

}  // namespace

ThreadedKeyring::ThreadedKeyring(BackendMaker make, std::chrono::milliseconds wait)
    : impl_(std::make_unique<Impl>()) {
    impl_->wait = wait;
    impl_->thread.setObjectName(QStringLiteral("keyring"));
    Impl* impl = impl_.get();
    impl_->context = new KeyringDrainer([impl] { impl->Drain(); });
    impl_->context->moveToThread(&impl_->thread);
    // The backend is made and ended on the keyring thread, whose loop delivers its
    // answers (QtKeychain's Secret Service calls come back through GLib there).
    QObject::connect(&impl_->thread, &QThread::started, impl_->context,
                     [impl, make] { impl->backend = make(); });
    // Under the queue's mutex, the thread's last step: whoever takes that mutex after the
    // thread has ended sees everything the thread did (QThread::wait alone is Qt's own
    // hand-over, which the thread sanitizer cannot see).
    QObject::connect(&impl_->thread, &QThread::finished, [impl] {
        std::lock_guard<std::mutex> hold(impl->queueLock);
        impl->backend.reset();
    });
    impl_->thread.start();
}

ThreadedKeyring::~ThreadedKeyring() {
    impl_->thread.quit();
    // The loop ends at once: a question still open lives in the Secret Service, not here.
    if (!impl_->thread.wait(QDeadlineTimer(2000))) {
        // Never end the object under a thread that still runs: leave both behind.
        (void)impl_.release();
        return;
    }
    { std::lock_guard<std::mutex> hold(impl_->queueLock); }
    delete impl_->context;
}

bool ThreadedKeyring::Available() const {
    return impl_->available.load();
}

Result ThreadedKeyring::Ask(KeyringBackend::Op op, const std::string& key,
                            const std::string& secret, std::string* answer) {
    if (impl_->open.load() > 0)
        // Short: after the value's name it must still fit in one log record.
        return {Outcome::kNoAnswer, "it has not answered a request of " +
                                        LocalTimeText(impl_->openSince.load()) +
                                        " (unlock it, close its prompt or restart Quorvane)"};
    auto pending = std::make_shared<Pending>();
    Impl* impl = impl_.get();
    impl->openSince = static_cast<int64_t>(std::time(nullptr));
    ++impl->open;
    {
        std::lock_guard<std::mutex> hold(impl->queueLock);
        impl->queue.push_back([impl, pending, op, key, secret] {
            auto done = [impl, pending](Result r, std::string s) {
                std::lock_guard<std::mutex> hold(pending->lock);
                if (pending->done) return;  // a backend that answers twice
                pending->done = true;
                // However late: a keyring still starting at log-in is there from now on.
                if (Answered(r)) impl->available = true;
                pending->result = std::move(r);
                pending->secret = std::move(s);
                --impl->open;
                pending->cv.notify_all();
            };
            if (!impl->backend) {
                done({Outcome::kNoKeyring, "no keyring back end"}, {});
                return;
            }
            impl->backend->Start(op, key, secret, done);
        });
    }
    QCoreApplication::postEvent(impl->context, new QEvent(QEvent::User));
    std::unique_lock<std::mutex> hold(pending->lock);
    if (!pending->cv.wait_for(hold, impl->wait, [&] { return pending->done; })) {
        return {Outcome::kNoAnswer, "the desktop keyring did not answer within " +
                                        std::to_string(impl->wait.count()) + " ms"};
    }
    if (answer) *answer = std::move(pending->secret);
    return pending->result;
}

Result ThreadedKeyring::Read(const std::string& key, std::string* secret) {
    std::string answer;
    Result r = Ask(KeyringBackend::kRead, key, {}, &answer);
    if (secret) *secret = r.ok() ? std::move(answer) : std::string();
    return r;
}

Result ThreadedKeyring::Write(const std::string& key, const std::string& secret) {
    return Ask(KeyringBackend::kWrite, key, secret, nullptr);
}

Result ThreadedKeyring::Remove(const std::string& key) {
    return Ask(KeyringBackend::kRemove, key, {}, nullptr);
}

bool ThreadedKeyring::Probe(std::string* why) {
    Result r = Read("availability probe", nullptr);
    // An answer sets Available() as it arrives (see Ask); no answer leaves it as it was.
    bool there = Answered(r);
    if (!there && why) *why = r.detail;
    return there;
}

namespace {

std::mutex gDesktopLock;
std::shared_ptr<ThreadedKeyring> gDesktop;

void EndDesktopKeyring() {
    std::lock_guard<std::mutex> hold(gDesktopLock);
    {
        std::lock_guard<std::mutex> holdCurrent(gCurrentLock);
        if (gCurrent == gDesktop) gCurrent.reset();
    }
    gDesktop.reset();
}

}  // namespace

std::shared_ptr<ThreadedKeyring> DesktopKeyring(std::chrono::milliseconds wait) {
    std::lock_guard<std::mutex> hold(gDesktopLock);
    if (!gDesktop) {
        gDesktop = std::make_shared<ThreadedKeyring>(
            [] { return std::make_unique<QtKeychainBackend>(); }, wait);
        // It lives as long as the process, not as a Qt application: a second thread could
        // not use QtKeychain, whose job queue stays with the first. Its thread ends before the
        // statics do.
        std::atexit(EndDesktopKeyring);
    }
    return gDesktop;
}

}  // namespace secrets

#include "platform/Window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QTimerEvent>
#include <atomic>
#include <mutex>

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// Messages posted and not yet delivered or dropped (Qt deletes the event either way).
std::atomic<int> queuedMessages{0};

class MessageEvent : public QEvent {
public:
    MessageEvent(UINT msg, WPARAM w, LPARAM l) : QEvent(kMessageEvent), msg(msg), w(w), l(l) {
        queuedMessages.fetch_add(1, std::memory_order_relaxed);
    }
    ~MessageEvent() override { queuedMessages.fetch_sub(1, std::memory_order_relaxed); }
    MessageEvent(const MessageEvent&) = delete;
    MessageEvent& operator=(const MessageEvent&) = delete;
    UINT msg;
    WPARAM w;
    LPARAM l;
};

}  // namespace

// Qt's timers, started on the window itself so that ticks come in as its timerEvent.
class QtTimerSource final : public TimerSource {
public:
    void Start(CWindow& window, UINT id, int milliseconds) override {
        window.timers_[id].start(milliseconds, Qt::PreciseTimer, &window);
    }
    void Stop(CWindow& window, UINT id) override {
        auto it = window.timers_.find(id);
        if (it != window.timers_.end()) {
            it->second.stop();
            window.timers_.erase(it);
        }
    }
    bool IsActive(const CWindow& window, UINT id) const override {
        auto it = window.timers_.find(id);
        return it != window.timers_.end() && it->second.isActive();
    }
    // The window's QBasicTimers stop as they are destroyed with it.
    void Forget(CWindow&) override {}
};

namespace {

QtTimerSource qtTimers;
TimerSource* currentTimers = &qtTimers;

}  // namespace

TimerSource& TimerSource::Current() {
    return *currentTimers;
}

TimerSource* TimerSource::Install(TimerSource* source) {
    TimerSource* previous = currentTimers;
    currentTimers = source ? source : &qtTimers;
    return previous;
}

void TimerSource::Tick(CWindow& window, UINT id) {
    window.OnTimer(id);
}

CWindow::CWindow(QObject* parent) : QObject(parent), timerSource_(TimerSource::Current()) {}

CWindow::~CWindow() {
    timerSource_.Forget(*this);
}

void CWindow::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    QCoreApplication::postEvent(this, new MessageEvent(msg, wParam, lParam));
}

UINT CWindow::RegisterWindowMessage(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, UINT> registered;
    std::lock_guard lock(mutex);
    auto [it, added] = registered.emplace(name, 0);
    if (added) it->second = 0xC000 + static_cast<UINT>(registered.size() - 1);
    return it->second;
}

int CWindow::QueuedMessages() {
    return queuedMessages.load(std::memory_order_relaxed);
}

void CWindow::PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void CWindow::WaitForMessages(int milliseconds) {
    // processEvents with a time limit never sleeps (it returns as soon as nothing is left):
    // a loop around it would spin. This one sleeps in the dispatcher, woken by the timer at
    // the latest.
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, [] {});
    loop.processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void CWindow::OnMessage(UINT, WPARAM, LPARAM) {}
void CWindow::OnTimer(UINT) {}

void CWindow::customEvent(QEvent* event) {
    if (event->type() == kMessageEvent) {
        auto* m = static_cast<MessageEvent*>(event);
        OnMessage(m->msg, m->w, m->l);
    }
}

void CWindow::timerEvent(QTimerEvent* event) {
    for (auto& [id, timer] : timers_) {
        if (timer.timerId() == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QObject::timerEvent(event);
}

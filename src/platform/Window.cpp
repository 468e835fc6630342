#include "platform/Window.h"

#include <QCoreApplication>
#include <QEvent>
#include <QTimerEvent>
#include <mutex>

namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class MessageEvent : public QEvent {
public:
    MessageEvent(UINT msg, WPARAM w, LPARAM l) : QEvent(kMessageEvent), msg(msg), w(w), l(l) {}
    UINT msg;
    WPARAM w;
    LPARAM l;
};

}  // namespace

CWindow::CWindow(QObject* parent) : QObject(parent) {}

CWindow::~CWindow() = default;

void CWindow::PostMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    QCoreApplication::postEvent(this, new MessageEvent(msg, wParam, lParam));
}

void CWindow::SetTimer(UINT id, int milliseconds) {
    timers_[id].start(milliseconds, Qt::PreciseTimer, this);
}

void CWindow::KillTimer(UINT id) {
    auto it = timers_.find(id);
    if (it != timers_.end()) {
        it->second.stop();
        timers_.erase(it);
    }
}

bool CWindow::HasTimer(UINT id) const {
    auto it = timers_.find(id);
    return it != timers_.end() && it->second.isActive();
}

UINT CWindow::RegisterWindowMessage(const std::string& name) {
    static std::mutex mutex;
    static std::map<std::string, UINT> registered;
    std::lock_guard lock(mutex);
    auto [it, added] = registered.emplace(name, 0);
    if (added) it->second = 0xC000 + static_cast<UINT>(registered.size() - 1);
    return it->second;
}

void CWindow::PumpMessages() {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
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

#pragma once

// A message target in the shape the rest of the program is written for: posted messages
// with two parameters, numbered timers and registered message numbers, all carried by
// Qt's event loop on the one user-interface thread.

#include <QBasicTimer>
#include <QObject>
#include <cstdint>
#include <map>
#include <string>

using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using UINT = uint32_t;

inline constexpr UINT WM_USER = 0x0400;

class CWindow;

// Where a window's numbered timers come from: Qt's timers, unless a test installed a
// source of its own to decide when time passes. A window keeps the source that was
// current when it was made, so a timer is always stopped where it was started.
class TimerSource {
public:
    virtual ~TimerSource() = default;
    // Starts (or restarts) timer id of window; each period it ticks as the window's OnTimer.
    virtual void Start(CWindow& window, UINT id, int milliseconds) = 0;
    virtual void Stop(CWindow& window, UINT id) = 0;
    virtual bool IsActive(const CWindow& window, UINT id) const = 0;
    // The window is going away: none of its timers may tick any more.
    virtual void Forget(CWindow& window) = 0;

    // The source new windows take: Qt's, unless a test installed another.
    static TimerSource& Current();
    // Installs source for the windows made from now on; nullptr goes back to Qt's. Returns
    // the source that was current, so that it can be put back.
    static TimerSource* Install(TimerSource* source);

protected:
    // Delivers a tick of timer id to window, for sources that keep time themselves.
    static void Tick(CWindow& window, UINT id);
};

class CWindow : public QObject {
    Q_OBJECT
public:
    explicit CWindow(QObject* parent = nullptr);
    ~CWindow() override;

    // Queues msg for this window; it arrives later as OnMessage on the loop. Messages
    // still queued when the window is destroyed are dropped.
    void PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0);
    // Delivers msg at once, as a direct call.
    void SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
        OnMessage(msg, wParam, lParam);
    }

    // Starts (or restarts) timer id with the given period; ticks arrive as OnTimer(id).
    void SetTimer(UINT id, int milliseconds) { timerSource_.Start(*this, id, milliseconds); }
    void KillTimer(UINT id) { timerSource_.Stop(*this, id); }
    bool HasTimer(UINT id) const { return timerSource_.IsActive(*this, id); }

    // A process-wide number at or above 0xC000 for name; the same name, the same number.
    static UINT RegisterWindowMessage(const std::string& name);

    // Dispatches every message waiting in the queue, then returns.
    static void PumpMessages();
    // Dispatches what is waiting or, when nothing is, sleeps until something comes or
    // milliseconds pass: the turn of a loop that waits for a condition without spinning.
    static void WaitForMessages(int milliseconds);
    // The messages posted to any window and not yet delivered (nor dropped with their
    // window): 0 means nothing more arrives unless something posts anew.
    static int QueuedMessages();

protected:
    virtual void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual void OnTimer(UINT id);

    void customEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    friend class TimerSource;
    friend class QtTimerSource;

    TimerSource& timerSource_;
    // Qt's timers live with their window, so a tick costs what it always did: a lookup here.
    std::map<UINT, QBasicTimer> timers_;
};

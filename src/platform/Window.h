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
    void SetTimer(UINT id, int milliseconds);
    void KillTimer(UINT id);
    bool HasTimer(UINT id) const;

    // A process-wide number at or above 0xC000 for name; the same name, the same number.
    static UINT RegisterWindowMessage(const std::string& name);

    // Dispatches every message waiting in the queue, then returns.
    static void PumpMessages();

protected:
    virtual void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam);
    virtual void OnTimer(UINT id);

    void customEvent(QEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    std::map<UINT, QBasicTimer> timers_;
};

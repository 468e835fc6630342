#pragma once

// The pager calls that the mail monitors queue during a run and the run window makes at
// its end, once the line is free.

#include <deque>
#include <string>

#include "platform/Window.h"

class ActivityLogWriter;
class PagerDialer;

class PagerQueue {
public:
    virtual ~PagerQueue() = default;
    // 1 when a call was taken and its number made current, else 0.
    virtual int TakeNextPagerCall() = 0;
    // The number of the call taken last.
    virtual std::string CurrentPagerNumber() const = 0;
    // Makes the current call; true on success. A failed call stays queued.
    virtual bool MakePagerCall() = 0;
};

// No pager calls are ever queued.
class EmptyPagerQueue final : public PagerQueue {
public:
    int TakeNextPagerCall() override { return 0; }
    std::string CurrentPagerNumber() const override { return {}; }
    bool MakePagerCall() override { return false; }
};

// The pager calls the mail monitors queue: first in, first out, kept while the program
// runs. A call is made through the dialer with a countdown (timer 10, one tick a second)
// that hangs up once the page has had time to go out; a call that fails is written to the
// log and goes back to the end of the queue, for the end of a later run.
class CPagerCallQueue final : public CWindow, public PagerQueue {
public:
    // The longest number and message a call keeps, in bytes.
    static constexpr size_t kFieldLimit = 48;
    static constexpr UINT kCountdownTimer = 10;

    struct Call {
        std::string phone, message;
        std::string eventName;  // the mail event that asked for it, named when it fails
        bool operator==(const Call&) const = default;
    };

    CPagerCallQueue(ActivityLogWriter& log, PagerDialer& dialer);

    // Queues a call, number and message cut to kFieldLimit. A call just like one already
    // waiting adds nothing: both would page the same pager with the same message, and a
    // pager that cannot be reached must not grow the queue run after run.
    void Append(const std::string& eventName, const std::string& phone, const std::string& message);
    const std::deque<Call>& calls() const { return calls_; }
    PagerDialer& dialer() { return dialer_; }

    int TakeNextPagerCall() override;
    std::string CurrentPagerNumber() const override { return current_.phone; }
    bool MakePagerCall() override;

    // The string dialled for a call: the number, pauseCount pauses, the message and "#",
    // every "(", ")" and "-" made a pause. *countdown (when given) is the most seconds the
    // call may take: 5, 2 for each pause, and a second for each four characters.
    static std::string DialString(const std::string& phone, const std::string& message,
                                  int pauseCount, int* countdown = nullptr);
    // Seconds left of the call in progress; -1 once a call has gone out.
    int countdown() const { return countdown_; }

protected:
    void OnTimer(UINT id) override;

private:
    ActivityLogWriter& log_;
    PagerDialer& dialer_;
    void LogFailure(const std::string& eventName, const std::string& why);

    std::deque<Call> calls_;
    Call current_;
    int countdown_ = -1;
    bool dialing_ = false;
};

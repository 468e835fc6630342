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
    // Makes the current call; true on success. A call that failed on the line stays
    // queued; one whose number or message can never be dialled is dropped with its record.
    virtual bool MakePagerCall() = 0;
    // After MakePagerCall: whether the next queued call may be made now. A call refused for
    // its own number or message leaves the line to the calls behind it; a line that
    // failed, or a cancel, ends the paging for this run.
    virtual bool KeepPaging() const { return true; }
    // Hangs up the call on the line at once (the run is cancelled); it stays queued.
    virtual void CancelCall() {}
};

// No pager calls are ever queued.
class EmptyPagerQueue final : public PagerQueue {
public:
    int TakeNextPagerCall() override { return 0; }
    std::string CurrentPagerNumber() const override { return {}; }
    bool MakePagerCall() override { return false; }
};

// The pager calls the mail monitors queue: first in, first out, kept in the settings store
// (so that a call that failed is made by the next run, even of another process). A call is
// made through the dialer with a countdown (timer 10, one tick a second) that hangs up once
// the page has had time to go out; a call that fails is written to the log and goes back
// to the end of the queue, for the end of a later run.
class CPagerCallQueue final : public CWindow, public PagerQueue {
public:
    // The longest number and message that are dialled, in bytes; a longer one is refused
    // (cut, it would page another number or send another message).
    static constexpr size_t kFieldLimit = 48;
    // What is kept of a longer field, for the record that refuses it.
    static constexpr size_t kKeptFieldMax = 256;
    // The most calls that wait; a pager that is never reached must not fill the store.
    static constexpr size_t kQueueLimit = 100;
    static constexpr UINT kCountdownTimer = 10;

    struct Call {
        std::string phone, message;
        std::string eventName;  // the mail event that asked for it, named when it fails
        bool operator==(const Call&) const = default;
    };

    CPagerCallQueue(ActivityLogWriter& log, PagerDialer& dialer);

    // Queues a call. A call just like one already waiting adds nothing: both would page the
    // same pager with the same message, and a pager that cannot be reached must not grow
    // the queue run after run. A full queue refuses the call with a record.
    void Append(const std::string& eventName, const std::string& phone, const std::string& message);
    const std::deque<Call>& calls() const { return calls_; }
    PagerDialer& dialer() { return dialer_; }

    int TakeNextPagerCall() override;
    std::string CurrentPagerNumber() const override { return current_.phone; }
    bool MakePagerCall() override;
    bool KeepPaging() const override { return keepPaging_; }
    void CancelCall() override;

    // Why a call cannot be made at all (empty, too long, characters a modem would take as
    // commands), or empty when it can.
    static std::string Refusal(const Call& call);

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
    // Puts a call that was taken back into the queue (at the front after a cancel, so
    // that the order stays), whatever the limit: it was counted when it came.
    void Requeue(const Call& call, bool front);
    void Load();
    // Writes the calls still to be made, the one taken and the one on the line included,
    // so that a crash or kill at any moment loses none.
    void Save();

    std::deque<Call> calls_;
    Call current_;
    bool haveCurrent_ = false;  // current_ was taken and not yet made
    Call onLine_;
    int countdown_ = -1;
    bool dialing_ = false;
    bool cancelled_ = false;
    bool keepPaging_ = true;
};

#pragma once

// The clock as the program sees it. Everything that asks for "now" goes through the
// installed clock, so tests can put the program at any date and hour.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

class SystemClock {
public:
    virtual ~SystemClock() = default;
    // Seconds since 1970, UTC.
    virtual time_t Now() const = 0;
    // Milliseconds since an arbitrary start; never goes back, is never set, and goes on
    // while the machine sleeps (a wake-up is time that passed, not a clock that was set).
    virtual uint64_t TickCount() const = 0;
    // Sets the system clock; false with a reason when it cannot be set.
    virtual bool SetUtc(time_t when, std::string* error) = 0;
    // Milliseconds since 1970, UTC.
    virtual int64_t NowMs() const { return static_cast<int64_t>(Now()) * 1000; }
    // Sets the system clock to ms milliseconds since 1970, UTC: 0, or the errno of the
    // failure (EPERM: the process lacks the right to, which takes CAP_SYS_TIME).
    virtual int SetUtcMs(int64_t ms);
    // What keeps the system's time by itself (an NTP service such as chronyd or
    // systemd-timesyncd), which a desktop program must not fight; empty when nothing does.
    virtual std::string TimeKeeper() const { return {}; }

    // The clock in use; the real one unless a test installed another.
    static SystemClock& Get();
    static void Install(std::shared_ptr<SystemClock> clock);  // nullptr: back to real
};

class RealClock final : public SystemClock {
public:
    time_t Now() const override;
    uint64_t TickCount() const override;
    bool SetUtc(time_t when, std::string* error) override;
    int64_t NowMs() const override;
    int SetUtcMs(int64_t ms) override;
    // The kernel's own word first (adjtimex: a clock that an NTP service disciplines is
    // marked synchronised), then the services that may be running but not yet in step.
    // Both are quick reads of the kernel and of /proc; nothing waits on another process.
    std::string TimeKeeper() const override;
};

// A clock that stands still until moved; for tests and replays.
class ManualClock final : public SystemClock {
public:
    explicit ManualClock(time_t now = 0) : now_(now) {}
    time_t Now() const override { return now_; }
    uint64_t TickCount() const override { return ticks_; }
    bool SetUtc(time_t when, std::string*) override {
        now_ = when;
        return true;
    }
    // Moves the clock unless setError says the setting fails; every setting is kept.
    int SetUtcMs(int64_t ms) override {
        if (setError != 0) return setError;
        settings.push_back(ms);
        now_ = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
        return 0;
    }
    std::string TimeKeeper() const override { return keeper; }

    int setError = 0;               // the errno every setting fails with; 0: it succeeds
    std::string keeper;             // what keeps the time, as TimeKeeper tells it
    std::vector<int64_t> settings;  // every time set, in milliseconds
    // The clock is set: the wall clock moves, the tick count does not.
    void Set(time_t now) { now_ = now; }
    // Time passes: both move.
    void Advance(time_t seconds) {
        now_ += seconds;
        ticks_ += static_cast<uint64_t>(seconds) * 1000;
    }

private:
    time_t now_;
    uint64_t ticks_ = 0;
};

// Times in the program's own formats (strftime's conversions), written the same whatever
// the user's locale: English day and month names, AM/PM, %X as 24-hour "HH:MM:SS". The log,
// the next-event display, the clock and mail headers are read by people and programs that
// expect exactly these texts, and Qt sets the C library's locale from the environment.
std::string FormatLocalTime(time_t when, const char* format);
std::string FormatUtcTime(time_t when, const char* format);

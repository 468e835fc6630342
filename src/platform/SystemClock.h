#pragma once

// The clock as the program sees it. Everything that asks for "now" goes through the
// installed clock, so tests can put the program at any date and hour.

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

class SystemClock {
public:
    virtual ~SystemClock() = default;
    // Seconds since 1970, UTC.
    virtual time_t Now() const = 0;
    // Milliseconds since an arbitrary start; never goes back.
    virtual uint64_t TickCount() const = 0;
    // Sets the system clock; false with a reason when it cannot be set.
    virtual bool SetUtc(time_t when, std::string* error) = 0;

    // The clock in use; the real one unless a test installed another.
    static SystemClock& Get();
    static void Install(std::shared_ptr<SystemClock> clock);  // nullptr: back to real
};

class RealClock final : public SystemClock {
public:
    time_t Now() const override;
    uint64_t TickCount() const override;
    bool SetUtc(time_t when, std::string* error) override;
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
    void Set(time_t now) { now_ = now; }
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

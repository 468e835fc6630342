#pragma once

// What the pager calls need of a modem: dial one string, hang up, and the sentence that says
// why a call failed. The telephony behind it comes later; until then the default dialer
// says that paging is not available, so that a queued call fails with a clear record.

#include <string>

class PagerDialer {
public:
    // The outcome of a call stopped because the user (or a signal) cancelled: hung up at
    // once, and no page went out.
    static constexpr int kCancelled = -1;

    virtual ~PagerDialer() = default;
    // Places the call and returns when it is over: 0 once the page went out, else the
    // failure (1 no call could be made, 64 busy, 128 the number cannot be dialled, ...).
    // A dialer that waits keeps the event loop turning, so that the caller's countdown
    // can end the call with StopCall.
    virtual int Dial(const std::string& dialString) = 0;
    // Hangs up the call in progress, if any; code is the call's outcome. Harmless when no
    // call runs.
    virtual void StopCall(int code) = 0;
    // The last status or error sentence, quoted when a page fails.
    virtual std::string statusText() const = 0;
    // Pauses (",") dialled between the pager number and the message.
    virtual int pauseCount() const { return 8; }
};

// No modem in this build: every call fails at once.
class UnavailablePagerDialer final : public PagerDialer {
public:
    int Dial(const std::string&) override { return 1; }
    void StopCall(int) override {}
    std::string statusText() const override { return "paging is not available"; }
};

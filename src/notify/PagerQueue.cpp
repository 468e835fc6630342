#include "notify/PagerQueue.h"

#include <algorithm>

#include "notify/PagerDialer.h"
#include "settings/ActivityLogWriter.h"

namespace {

// Cut to limit bytes without splitting a UTF-8 character.
std::string Cut(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

}  // namespace

CPagerCallQueue::CPagerCallQueue(ActivityLogWriter& log, PagerDialer& dialer)
    : log_(log), dialer_(dialer) {}

void CPagerCallQueue::Append(const std::string& eventName, const std::string& phone,
                             const std::string& message) {
    Call call{Cut(phone, kFieldLimit), Cut(message, kFieldLimit), eventName};
    if (std::find(calls_.begin(), calls_.end(), call) != calls_.end()) return;
    calls_.push_back(std::move(call));
}

int CPagerCallQueue::TakeNextPagerCall() {
    if (calls_.empty()) return 0;
    current_ = std::move(calls_.front());
    calls_.pop_front();
    return 1;
}

std::string CPagerCallQueue::DialString(const std::string& phone, const std::string& message,
                                        int pauseCount, int* countdown) {
    std::string dial =
        phone + std::string(static_cast<size_t>(std::max(pauseCount, 0)), ',') + message + "#";
    int seconds = 5;
    for (char& c : dial) {
        if (c == ',' || c == '(' || c == ')' || c == '-') {
            c = ',';
            seconds += 2;
        }
    }
    seconds += static_cast<int>(dial.size() / 4);
    if (countdown) *countdown = seconds;
    return dial;
}

namespace {

// Digits, "*", "#", pauses, "(", ")", "-" and blanks: what a pager number and a numeric
// message may hold. Anything else (";", "W", "@", a line end, AT text) would change the
// call or give the modem a command of its own.
bool Dialable(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '*' || c == '#' || c == ',' || c == '(' || c == ')' ||
              c == '-' || c == ' '))
            return false;
    return true;
}

}  // namespace

void CPagerCallQueue::LogFailure(const std::string& eventName, const std::string& why) {
    log_.WriteLog(kIconError,
                  "An error occured while transfering mail " + eventName +
                      ".   The error message was : " + why,
                  0, {}, true);
}

bool CPagerCallQueue::MakePagerCall() {
    // A copy: a run that takes the next call while this one is on the line changes current_.
    const Call call = current_;
    if (!Dialable(call.phone) || !Dialable(call.message)) {
        // It could never be dialled: queued again it would fail the same way every run.
        LogFailure(call.eventName,
                   "The pager number \"" + call.phone + "\" or message \"" + call.message +
                       "\" holds characters that cannot be dialled (only digits, *, #, commas, "
                       "parentheses, dashes and blanks); the call was not made.");
        return false;
    }
    if (dialing_) {
        // A call is on the line; this one waits its turn without touching that call's
        // countdown or hanging it up.
        LogFailure(call.eventName,
                   "The page failed, the modem said : A call is already being handled..");
        Append(call.eventName, call.phone, call.message);
        return false;
    }
    dialing_ = true;
    std::string dial = DialString(call.phone, call.message, dialer_.pauseCount(), &countdown_);
    SetTimer(kCountdownTimer, 1000);
    int result = dialer_.Dial(dial);
    dialing_ = false;
    // The countdown belongs to this call only; a tick after it would hang up the next one.
    KillTimer(kCountdownTimer);
    if (result == 0) {
        dialer_.StopCall(0);
        countdown_ = -1;
        return true;
    }
    dialer_.StopCall(result);
    countdown_ = -1;
    LogFailure(call.eventName, "The page failed, the modem said : " + dialer_.statusText() + ".");
    Append(call.eventName, call.phone, call.message);
    return false;
}

void CPagerCallQueue::OnTimer(UINT id) {
    if (id != kCountdownTimer) return;
    if (countdown_-- > 0) return;
    KillTimer(kCountdownTimer);
    dialer_.StopCall(0);
}

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

bool CPagerCallQueue::MakePagerCall() {
    std::string dial =
        DialString(current_.phone, current_.message, dialer_.pauseCount(), &countdown_);
    SetTimer(kCountdownTimer, 1000);
    int result = dialer_.Dial(dial);
    // The countdown belongs to this call only; a tick after it would hang up the next one.
    KillTimer(kCountdownTimer);
    if (result == 0) {
        dialer_.StopCall(0);
        countdown_ = -1;
        return true;
    }
    dialer_.StopCall(result);
    countdown_ = -1;
    log_.WriteLog(kIconError,
                  "An error occured while transfering mail " + current_.eventName +
                      ".   The error message was : " + "The page failed, the modem said : " +
                      dialer_.statusText() + ".",
                  0, {}, true);
    Append(current_.eventName, current_.phone, current_.message);
    return false;
}

void CPagerCallQueue::OnTimer(UINT id) {
    if (id != kCountdownTimer) return;
    if (countdown_-- > 0) return;
    KillTimer(kCountdownTimer);
    dialer_.StopCall(0);
}

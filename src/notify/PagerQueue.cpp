#include "notify/PagerQueue.h"

#include <algorithm>

#include "notify/PagerDialer.h"
#include "platform/Registry.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

// Cut to limit bytes without splitting a UTF-8 character.
std::string Cut(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return text.substr(0, end);
}

// A stored call is "phone<TAB>message<TAB>event"; a backslash, a tab or a NUL inside a
// field is written as "\\", "\t" or "\0", so that every field reads back as written.
std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\0')
            out += "\\0";
        else
            out += c;
    }
    return out;
}

bool Unescape(const std::string& entry, std::vector<std::string>* fields) {
    fields->assign(1, {});
    for (size_t i = 0; i < entry.size(); ++i) {
        char c = entry[i];
        if (c == '\t') {
            fields->emplace_back();
        } else if (c == '\\' && i + 1 < entry.size()) {
            char n = entry[++i];
            fields->back() += n == 't' ? '\t' : n == '0' ? '\0' : n;
        } else {
            fields->back() += c;
        }
    }
    return fields->size() == 3;
}

// The largest stored queue read back: the limit's worth of calls with every field at its
// longest, escaped.
constexpr size_t kStoredQueueMax =
    CPagerCallQueue::kQueueLimit * (3 * 2 * CPagerCallQueue::kKeptFieldMax + 4) + 2;

}  // namespace

CPagerCallQueue::CPagerCallQueue(ActivityLogWriter& log, PagerDialer& dialer)
    : log_(log), dialer_(dialer) {
    Load();
}

void CPagerCallQueue::Load() {
    RegKey root;
    if (root.Open(RegKey::LocalMachine(), settings::kRoot) != ERROR_SUCCESS) return;
    Bytes data;
    if (root.QueryValue(settings::kPendingPages, nullptr, &data, kStoredQueueMax) != ERROR_SUCCESS)
        return;
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < data.size() && calls_.size() < kQueueLimit) {
        auto begin = data.begin() + static_cast<long>(i);
        auto end = std::find(begin, data.end(), uint8_t{0});
        if (end == begin) break;  // the empty item ends the list
        // A damaged entry is skipped; the others are still made.
        if (Unescape(std::string(begin, end), &fields)) {
            Call call{Cut(fields[0], kKeptFieldMax), Cut(fields[1], kKeptFieldMax),
                      Cut(fields[2], kKeptFieldMax)};
            if (std::find(calls_.begin(), calls_.end(), call) == calls_.end())
                calls_.push_back(std::move(call));
        }
        i = static_cast<size_t>(end - data.begin()) + 1;
    }
}

void CPagerCallQueue::Save() {
    RegKey root;
    if (root.Create(RegKey::LocalMachine(), settings::kRoot, settings::kEventClass) !=
        ERROR_SUCCESS)
        return;
    std::vector<std::string> items;
    auto add = [&](const Call& c) {
        std::string item = Escape(c.phone) + '\t' + Escape(c.message) + '\t' + Escape(c.eventName);
        if (std::find(items.begin(), items.end(), item) == items.end()) items.push_back(item);
    };
    if (dialing_) add(onLine_);
    if (haveCurrent_) add(current_);
    for (const Call& c : calls_) add(c);
    if (items.empty()) {
        root.DeleteValue(settings::kPendingPages);
        return;
    }
    root.SetValue(settings::kPendingPages, REG_MULTI_SZ,
                  settings::EncodeMultiString(items, SIZE_MAX));
}

void CPagerCallQueue::Append(const std::string& eventName, const std::string& phone,
                             const std::string& message) {
    Call call{Cut(phone, kKeptFieldMax), Cut(message, kKeptFieldMax),
              Cut(eventName, kKeptFieldMax)};
    if (std::find(calls_.begin(), calls_.end(), call) != calls_.end()) return;
    const size_t waiting = calls_.size() + (dialing_ ? 1 : 0) + (haveCurrent_ ? 1 : 0);
    if (waiting >= kQueueLimit) {
        LogFailure(call.eventName, "The pager call to " + call.phone +
                                       " was not queued: " + std::to_string(waiting) +
                                       " pager calls are waiting already.");
        return;
    }
    calls_.push_back(std::move(call));
    Save();
}

void CPagerCallQueue::Requeue(const Call& call, bool front) {
    if (std::find(calls_.begin(), calls_.end(), call) == calls_.end()) {
        if (front)
            calls_.push_front(call);
        else
            calls_.push_back(call);
    }
    Save();
}

int CPagerCallQueue::TakeNextPagerCall() {
    if (calls_.empty()) return 0;
    current_ = std::move(calls_.front());
    calls_.pop_front();
    haveCurrent_ = true;
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

std::string CPagerCallQueue::Refusal(const Call& call) {
    if (call.phone.find_first_not_of(' ') == std::string::npos)
        return "The pager number is empty; the call was not made.";
    if (!Dialable(call.phone) || !Dialable(call.message))
        return "The pager number \"" + call.phone + "\" or message \"" + call.message +
               "\" holds characters that cannot be dialled (only digits, *, #, commas, "
               "parentheses, dashes and blanks); the call was not made.";
    if (call.phone.size() > kFieldLimit)
        return "The pager number \"" + call.phone + "\" is longer than " +
               std::to_string(kFieldLimit) + " characters; the call was not made.";
    if (call.message.size() > kFieldLimit)
        return "The pager message \"" + call.message + "\" is longer than " +
               std::to_string(kFieldLimit) + " characters; the call was not made.";
    return {};
}

bool CPagerCallQueue::MakePagerCall() {
    // A copy: a run that takes the next call while this one is on the line changes current_.
    const Call call = current_;
    keepPaging_ = true;
    const std::string refusal = Refusal(call);
    if (!refusal.empty()) {
        // It could never be dialled: queued again it would fail the same way every run.
        // The calls behind it are not its to hold up.
        LogFailure(call.eventName, refusal);
        haveCurrent_ = false;
        Save();
        return false;
    }
    if (dialing_) {
        // A call is on the line; this one waits its turn without touching that call's
        // countdown or hanging it up.
        LogFailure(call.eventName,
                   "The page failed, the modem said : A call is already being handled..");
        haveCurrent_ = false;
        Requeue(call, false);
        keepPaging_ = false;
        return false;
    }
    dialing_ = true;
    cancelled_ = false;
    onLine_ = call;
    haveCurrent_ = false;
    std::string dial = DialString(call.phone, call.message, dialer_.pauseCount(), &countdown_);
    SetTimer(kCountdownTimer, 1000);
    int result = dialer_.Dial(dial);
    dialing_ = false;
    // The countdown belongs to this call only; a tick after it would hang up the next one.
    KillTimer(kCountdownTimer);
    countdown_ = -1;
    if (result == 0) {
        dialer_.StopCall(0);
        Save();
        return true;
    }
    dialer_.StopCall(result);
    keepPaging_ = false;
    if (cancelled_ || result == PagerDialer::kCancelled) {
        LogFailure(call.eventName, "The page to " + call.phone +
                                       " was cancelled; it stays queued for the next run.");
        Requeue(call, true);
        return false;
    }
    LogFailure(call.eventName, "The page failed, the modem said : " + dialer_.statusText() + ".");
    Requeue(call, false);
    return false;
}

void CPagerCallQueue::CancelCall() {
    if (!dialing_ || cancelled_) return;
    cancelled_ = true;
    KillTimer(kCountdownTimer);
    dialer_.StopCall(PagerDialer::kCancelled);
}

void CPagerCallQueue::OnTimer(UINT id) {
    if (id != kCountdownTimer) return;
    if (countdown_-- > 0) return;
    KillTimer(kCountdownTimer);
    dialer_.StopCall(0);
}

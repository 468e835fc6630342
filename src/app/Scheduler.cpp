#include "app/Scheduler.h"

#include <strings.h>

#include "app/RunWindow.h"
#include "app/SettingsStore.h"
#include "platform/SystemClock.h"

namespace {

constexpr DWORD kMinutesPerDay = 1440;

// The number of bytes of the first UTF-8 character of s.
size_t FirstCharLength(const std::string& s) {
    size_t n = 1;
    while (n < s.size() && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) ++n;
    return n;
}

size_t CharCount(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

tm Local(time_t t) {
    tm out{};
    localtime_r(&t, &out);
    return out;
}

}  // namespace

CScheduler::CScheduler(CRunWindow& runWindow, QObject* parent)
    : CWindow(parent), run_(runWindow), lastTick_(SystemClock::Get().Now()) {}

void CScheduler::Start() {
    lastTick_ = SystemClock::Get().Now();
    SetTimer(kSchedulerTimer, kSchedulerPeriodMs);
}

void CScheduler::OnTimer(UINT id) {
    if (id == kSchedulerTimer) Tick();
}

// "<None>" and "<None" mark monitors without a schedule: a schedule of that name (another
// program may write one) would take every such monitor as its own, so it never runs.
bool CScheduler::IsChosen(const std::string& selectorText) {
    return !selectorText.empty() && !IsReservedScheduleName(selectorText);
}

bool CScheduler::RunNowEnabled(const std::string& selectorText) const {
    return IsChosen(selectorText) && !run_.running();
}

void CScheduler::Tick() {
    // The ticker scrolls one character a tick and starts again from the right.
    std::string ticker;
    if (!tickerSource_.empty()) {
        const std::string& shown = display_.ticker1037;
        ticker = CharCount(shown) < 2 ? std::string(31, ' ') + tickerSource_
                                      : shown.substr(FirstCharLength(shown));
    }
    if (ticker != display_.ticker1037) {
        display_.ticker1037 = ticker;
        Changed();
    }

    if (run_.running()) {
        tickerSource_ = "Running";
        return;
    }

    const SystemClock& clock = SystemClock::Get();
    time_t now = clock.Now();
    uint64_t ticks = clock.TickCount();
    bool setBack = false;
    if (!ticked_) {
        ticked_ = true;
        lastRecomputeMs_ = ticks;
    } else {
        // Both differences span any run in between, whose clock step may have moved the
        // clock while this timer let it be.
        int64_t wallMs = (static_cast<int64_t>(now) - static_cast<int64_t>(lastIdleWall_)) * 1000;
        int64_t step = wallMs - static_cast<int64_t>(ticks - lastIdleMs_);
        if (step < -kClockStepToleranceMs) {
            // Set back: the pending times were places on the old clock and move with it, so
            // that a run that was due stays due and none waits for the clock to come round
            // again; the recompute below puts the others on the new clock's slots. A clock
            // set forward needs nothing: a slot it jumped over has passed and runs once, as
            // one that passed during a pause or while the machine slept.
            setBack = true;
            time_t by = static_cast<time_t>(step / 1000);
            for (int i = 0; i < schedulingList_.GetCount(); ++i) {
                int64_t t = schedulingList_.GetItemData(i);
                if (t != 0 && t != 1) schedulingList_.SetItemData(i, t + by);
            }
        }
    }
    lastIdleWall_ = now;
    lastIdleMs_ = ticks;
    if (!paused_) {
        for (int i = 0; i < schedulingList_.GetCount(); ++i) {
            int64_t t = schedulingList_.GetItemData(i);
            if (t == 0 || t == 1 || now < t) continue;
            schedulingList_.SetItemData(i, 0);
            const std::string name = schedulingList_.GetText(i);
            ShowRunning(name);
            run_.StartRun(name);
            return;
        }
    }
    lastTick_ = now;
    if (setBack || ticks - lastRecomputeMs_ > 5000) {
        lastRecomputeMs_ = ticks;
        RecomputeSchedule();
    }
}

void CScheduler::ShowRunning(const std::string& name) {
    // The schedule that runs is shown with its monitors, not the one that was next: two due
    // at once run one after the other, and the second is not the one the display named.
    display_.time1039 = "Now";
    display_.label1045 = "Running Event";
    display_.name1038 = name;
    monitorList_.ResetContent();
    ListScheduleMonitors(name, monitorList_);
    Changed();
}

void CScheduler::RecomputeSchedule() {
    if (run_.running()) return;
    if (paused_) {
        tickerSource_.clear();
        display_.label1045.clear();
        display_.time1039.clear();
        display_.name1038.clear();
        Changed();
        return;
    }
    display_.label1045 = "Next Event";
    FillScheduleList(schedulingList_);

    tm limit{};
    limit.tm_year = 2037 - 1900;
    limit.tm_mon = 11;
    limit.tm_mday = 30;
    limit.tm_hour = 23;
    limit.tm_min = 55;
    limit.tm_sec = 55;
    limit.tm_isdst = -1;
    time_t best = mktime(&limit);
    std::string bestName;
    for (int i = 0; i < schedulingList_.GetCount(); ++i) {
        time_t t = 0;
        if (!NextRunTime(schedulingList_.GetText(i), &t)) continue;
        schedulingList_.SetItemData(i, t);
        if (t < best) {
            best = t;
            bestName = schedulingList_.GetText(i);
        }
    }

    monitorList_.ResetContent();
    tickerSource_.clear();
    if (!bestName.empty()) {
        display_.time1039 = FormatLocalTime(best, " %-I:%M %p ");
        display_.name1038 = bestName;
        RegKey schedule;
        if (schedule.Open(RegKey::LocalMachine(), settings::EventPath(bestName)) == ERROR_SUCCESS)
            tickerSource_ = settings::ReadString(schedule, settings::kDescription);
        ListScheduleMonitors(bestName, monitorList_);
    } else {
        display_.time1039.clear();
        display_.name1038.clear();
    }
    Changed();
}

bool CScheduler::NextRunTimeAfter(const std::string& name, time_t now, time_t* when) {
    if (!IsChosen(name)) return false;
    RegKey key;
    if (key.Open(RegKey::LocalMachine(), settings::EventPath(name)) != ERROR_SUCCESS) return false;
    DWORD interval = settings::ReadDword(key, "Interval", 1);
    DWORD days = settings::ReadDword(key, "Days", 0);
    DWORD hours = settings::ReadDword(key, "Hours", 0);
    DWORD enabled = settings::ReadDword(key, settings::kEnabled, 0);
    if (interval == 0) interval = 1;
    if (enabled != 1 || interval > kMinutesPerDay) return false;

    // Slots are places on the wall clock (00:00, 00:00 + Interval, ...), not elapsed
    // minutes from midnight: on the days with 23 or 25 hours the elapsed count would move
    // every slot by an hour and a daily 00:00 schedule would miss the next day's run.
    const tm today = Local(now);
    const int64_t minutes = today.tm_hour * 60 + today.tm_min;
    auto slot = [&](int64_t index) {
        tm t{};
        t.tm_year = today.tm_year;
        t.tm_mon = today.tm_mon;
        t.tm_mday = today.tm_mday;
        t.tm_min = static_cast<int>(index * interval);  // mktime carries into hours and days
        t.tm_isdst = -1;
        return mktime(&t);
    };
    // The first slot strictly after the current minute. A slot in the hour that a change to
    // summer time leaves out lands after it; one in the hour that comes twice comes once.
    int64_t index = minutes / interval + 1;
    for (DWORD sum = 0; sum <= kMinutesPerDay; sum += interval, ++index) {
        time_t candidate = slot(index);
        if (candidate <= now) continue;
        tm local = Local(candidate);
        if ((days >> local.tm_wday) & 1 && (hours >> local.tm_hour) & 1) {
            *when = candidate;
            return true;
        }
    }
    return false;
}

void CScheduler::Pause() {
    paused_ = true;
    tickerSource_.clear();
    display_.time1039.clear();
    display_.name1038.clear();
    monitorList_.ResetContent();
    Changed();
}

void CScheduler::Resume() {
    paused_ = false;
    Changed();
}

void CScheduler::RunNow(const std::string& selectorText) {
    if (!IsChosen(selectorText) || run_.running()) return;
    int i = schedulingList_.FindStringExact(selectorText);
    if (i >= 0) schedulingList_.SetItemData(i, 0);
    ShowRunning(selectorText);
    run_.setShownBefore(false);
    run_.StartRun(selectorText);
}

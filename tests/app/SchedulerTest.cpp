#include <clocale>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <sstream>

#include "app/ActivityLog.h"
#include "app/Headless.h"
#include "app/RunWindow.h"
#include "app/Scheduler.h"
#include "app/SettingsStore.h"
#include "fakes/FakeDialUp.h"
#include "fixtures/Fixtures.h"
#include "notify/MailQueue.h"
#include "notify/PagerQueue.h"
#include "platform/SystemClock.h"

namespace {

using namespace settings;

// Local time in the zone in force.
time_t At(int year, int month, int day, int hour, int minute, int second = 0) {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return mktime(&t);
}

class SchedulerTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        UseZone("UTC");
        clock_ = std::make_shared<ManualClock>(At(2026, 12, 7, 10, 0, 30));
        SystemClock::Install(clock_);
        run_ = std::make_unique<CRunWindow>(log_, nullptr, pager_);
        scheduler_ = std::make_unique<CScheduler>(*run_);
        run_->SetNextEventMonitors(&scheduler_->monitorList());
        QObject::connect(run_.get(), &CRunWindow::runFinished,
                         [this] { runs_.push_back(run_->scheduleName()); });
    }
    void TearDown() override {
        SystemClock::Install(nullptr);
        UseZone("UTC");
        SandboxTest::TearDown();
    }
    static void UseZone(const char* tz) {
        setenv("TZ", tz, 1);
        tzset();
    }

    void Schedule(const std::string& name, DWORD interval, DWORD days = 0x7F,
                  DWORD hours = 0xFFFFFF, const std::string& description = {}) {
        ScheduleRecord r;
        r.name = name;
        r.interval = interval;
        r.days = days;
        r.hours = hours;
        r.description = description;
        ASSERT_TRUE(CreateEventRecord(r));
    }
    void Monitor(const std::string& name, const std::string& schedule) {
        AddEvent(name, 4, schedule);
    }
    std::optional<time_t> Next(const std::string& name, time_t now) {
        time_t when = 0;
        if (!CScheduler::NextRunTimeAfter(name, now, &when)) return std::nullopt;
        return when;
    }
    // Lets time pass up to now (the clock is not set) and ticks until no run is going on.
    void TickAt(time_t now) {
        ASSERT_GE(now, clock_->Now());
        clock_->Advance(now - clock_->Now());
        scheduler_->Tick();
        waitFor([&] { return !run_->running(); });
    }

    std::shared_ptr<ManualClock> clock_;
    CActivityLog log_;
    EmptyPagerQueue pager_;
    std::unique_ptr<CRunWindow> run_;
    std::unique_ptr<CScheduler> scheduler_;
    std::vector<std::string> runs_;
    Timeline timeline_;
};

TEST_F(SchedulerTest, NextRunIsTheFirstAllowedSlotAfterTheCurrentMinute) {
    Schedule("Hourly", 60);
    EXPECT_EQ(Next("Hourly", At(2026, 12, 7, 10, 0, 30)), At(2026, 12, 7, 11, 0));
    EXPECT_EQ(Next("Hourly", At(2026, 12, 7, 10, 59, 59)), At(2026, 12, 7, 11, 0));
    EXPECT_EQ(Next("Hourly", At(2026, 12, 7, 23, 30)), At(2026, 12, 8, 0, 0));

    Schedule("Seven", 60, 0x7F, 0x80);
    EXPECT_EQ(Next("Seven", At(2026, 12, 7, 7, 0, 10)), At(2026, 12, 8, 7, 0));
    EXPECT_EQ(Next("Seven", At(2026, 12, 7, 6, 59, 0)), At(2026, 12, 7, 7, 0));

    // Mondays at 7 only: nothing within a day of a Wednesday; Sunday 08:00 finds Monday.
    Schedule("Weekly", 60, 0x2, 0x80);
    EXPECT_EQ(Next("Weekly", At(2026, 12, 9, 12, 0)), std::nullopt);
    EXPECT_EQ(Next("Weekly", At(2026, 12, 6, 8, 0)), At(2026, 12, 7, 7, 0));

    Schedule("Midnight", 1440);
    EXPECT_EQ(Next("Midnight", At(2026, 12, 7, 15, 0)), At(2026, 12, 8, 0, 0));
    Schedule("Never", 1440, 0x7F, 0xFFFFFE);
    EXPECT_EQ(Next("Never", At(2026, 12, 7, 15, 0)), std::nullopt);

    Schedule("TooWide", 2000);
    EXPECT_EQ(Next("TooWide", At(2026, 12, 7, 15, 0)), std::nullopt);
    Schedule("Quarter", 15);
    EXPECT_EQ(Next("Quarter", At(2026, 12, 7, 15, 14, 59)), At(2026, 12, 7, 15, 15));

    // Interval 0 counts as 1; an absent one too.
    Schedule("Zero", 0);
    EXPECT_EQ(Next("Zero", At(2026, 12, 7, 15, 7, 20)), At(2026, 12, 7, 15, 8));
    {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Zero"));
        key.DeleteValue("Interval");
    }
    EXPECT_EQ(Next("Zero", At(2026, 12, 7, 15, 7, 20)), At(2026, 12, 7, 15, 8));

    // Disabled, or not a schedule at all.
    Schedule("Off", 60);
    {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Off"));
        key.SetDword(kEnabled, 0);
    }
    EXPECT_EQ(Next("Off", At(2026, 12, 7, 15, 0)), std::nullopt);
    EXPECT_EQ(Next("Missing", At(2026, 12, 7, 15, 0)), std::nullopt);
}

TEST_F(SchedulerTest, SlotsFollowTheWallClockOnTheDaySummerTimeBegins) {
    // Central European time: on 29 March 2026 the clocks go from 02:00 to 03:00.
    UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
    Schedule("Hourly", 60);
    EXPECT_EQ(Next("Hourly", At(2026, 3, 29, 1, 30)), At(2026, 3, 29, 3, 0));
    EXPECT_EQ(Next("Hourly", At(2026, 3, 29, 3, 30)), At(2026, 3, 29, 4, 0));
    // The hour that does not exist that day is found the next day.
    Schedule("AtTwo", 60, 0x7F, 1u << 2);
    EXPECT_EQ(Next("AtTwo", At(2026, 3, 29, 1, 30)), At(2026, 3, 30, 2, 0));
    tm local{};
    time_t t = *Next("Hourly", At(2026, 3, 29, 3, 30));
    localtime_r(&t, &local);
    EXPECT_EQ(local.tm_hour, 4);
    EXPECT_EQ(local.tm_min, 0);
}

TEST_F(SchedulerTest, ADailyMidnightScheduleRunsEveryDayAcrossBothClockChanges) {
    // Central European time: 29 March 2026 has 23 hours, 25 October 2026 has 25.
    UseZone("CET-1CEST,M3.5.0,M10.5.0/3");
    Schedule("Midnight", 1440, 0x7F, 1);
    for (int day : {28, 29, 30}) {
        SCOPED_TRACE(day);
        EXPECT_EQ(Next("Midnight", At(2026, 3, day, 10, 0)), At(2026, 3, day + 1, 0, 0));
        EXPECT_EQ(Next("Midnight", At(2026, 3, day, 0, 0, 30)), At(2026, 3, day + 1, 0, 0));
    }
    for (int day : {24, 25, 26}) {
        SCOPED_TRACE(day);
        EXPECT_EQ(Next("Midnight", At(2026, 10, day, 10, 0)), At(2026, 10, day + 1, 0, 0));
        EXPECT_EQ(Next("Midnight", At(2026, 10, day, 23, 59, 59)), At(2026, 10, day + 1, 0, 0));
    }
    // Slots keep their wall-clock places after the change; the repeated hour gives one slot.
    Schedule("SixHours", 360);
    EXPECT_EQ(Next("SixHours", At(2026, 10, 25, 4, 0)), At(2026, 10, 25, 6, 0));
    EXPECT_EQ(Next("SixHours", At(2026, 3, 29, 4, 0)), At(2026, 3, 29, 6, 0));
    // 02:30 summer time and 02:30 winter time (00:30 and 01:30 UTC) both wait for 03:00.
    Schedule("Hourly", 60);
    time_t utc0 = At(2026, 10, 25, 1, 0) + 3600;  // 01:00 summer time is 23:00 UTC
    EXPECT_EQ(Next("Hourly", utc0 + 1800), utc0 + 7200);
    EXPECT_EQ(Next("Hourly", utc0 + 5400), utc0 + 7200);
}

TEST_F(SchedulerTest, TheDisplayShowsTheEarliestScheduleFirstInOrderOnTies) {
    Schedule("Beta", 60, 0x7F, 0xFFFFFF, "beta text");
    Schedule("Alpha", 60, 0x7F, 0xFFFFFF, "alpha text");
    Schedule("Later", 120);
    Schedule("Off", 2000);
    Monitor("Site", "Alpha");
    Monitor("Mail", "Alpha");
    scheduler_->setLastTick(At(2026, 12, 7, 10, 0, 30));
    scheduler_->RecomputeSchedule();
    const auto& d = scheduler_->display();
    EXPECT_EQ(d.label1045, "Next Event");
    EXPECT_EQ(d.name1038, "Alpha");
    EXPECT_EQ(d.time1039, " 11:00 AM ");
    EXPECT_EQ(scheduler_->tickerSource(), "alpha text");
    ASSERT_EQ(scheduler_->monitorList().GetCount(), 2);
    EXPECT_EQ(scheduler_->monitorList().GetText(0), "Mail");

    auto& list = scheduler_->schedulingList();
    ASSERT_EQ(list.GetCount(), 5);
    EXPECT_EQ(list.GetText(0), "<None>");
    EXPECT_EQ(list.GetItemData(list.FindStringExact("Off")), 1) << "never scheduled";
    EXPECT_EQ(list.GetItemData(list.FindStringExact("Later")), At(2026, 12, 7, 12, 0));

    // Nothing to run: the display is empty.
    RegKey::LocalMachine().DeleteKey(EventPath("Alpha"));
    RegKey::LocalMachine().DeleteKey(EventPath("Beta"));
    RegKey::LocalMachine().DeleteKey(EventPath("Later"));
    scheduler_->RecomputeSchedule();
    EXPECT_EQ(d.name1038, "");
    EXPECT_EQ(d.time1039, "");
    EXPECT_EQ(scheduler_->tickerSource(), "");
}

TEST_F(SchedulerTest, AFreshSchedulerCountsFromNowNotFrom1970) {
    Schedule("Hourly", 60);
    Monitor("site", "Hourly");
    CScheduler fresh(*run_);  // the clock stands at 10:00:30
    fresh.RecomputeSchedule();
    EXPECT_EQ(fresh.schedulingList().GetItemData(1), At(2026, 12, 7, 11, 0));
    fresh.Tick();
    EXPECT_FALSE(run_->running());
    EXPECT_EQ(fresh.display().label1045, "Next Event");
}

TEST_F(SchedulerTest, DueSchedulesRunOnceEachInListOrder) {
    Schedule("Beta", 60);
    Schedule("Alpha", 60);
    Monitor("A site", "Alpha");
    Monitor("B site", "Beta");
    scheduler_->setLastTick(clock_->Now());
    scheduler_->RecomputeSchedule();
    TickAt(At(2026, 12, 7, 10, 59, 59));
    EXPECT_TRUE(runs_.empty());

    TickAt(At(2026, 12, 7, 11, 0, 1));
    EXPECT_EQ(runs_, std::vector<std::string>{"Alpha"});
    EXPECT_EQ(scheduler_->display().time1039, "Now");
    EXPECT_EQ(scheduler_->display().label1045, "Running Event");
    EXPECT_EQ(scheduler_->display().name1038, "Alpha");
    TickAt(At(2026, 12, 7, 11, 0, 2));
    EXPECT_EQ(runs_, (std::vector<std::string>{"Alpha", "Beta"}));
    // The running one is named with its monitors, not the one that was next.
    EXPECT_EQ(scheduler_->display().name1038, "Beta");
    ASSERT_EQ(scheduler_->monitorList().GetCount(), 1);
    EXPECT_EQ(scheduler_->monitorList().GetText(0), "B site");
    // Both have item data 0 now: no more runs until a recompute gives them new times.
    TickAt(At(2026, 12, 7, 11, 0, 3));
    EXPECT_EQ(runs_.size(), 2u);
    TickAt(At(2026, 12, 7, 11, 0, 20));  // more than 5 seconds: recompute
    EXPECT_EQ(scheduler_->schedulingList().GetItemData(1), At(2026, 12, 7, 12, 0));
    EXPECT_EQ(runs_.size(), 2u);
}

TEST_F(SchedulerTest, AScheduleDueDuringAnotherRunStartsOnceAfterIt) {
    Schedule("Long", 60);
    Schedule("Short", 1);
    Monitor("L site", "Long");
    Monitor("S site", "Short");
    auto panel = std::make_unique<RecordingPanel>("web", &timeline_);
    RecordingPanel* web = panel.get();
    web->hold = true;
    run_->SetPanel(4, std::move(panel));

    scheduler_->setLastTick(At(2026, 12, 7, 10, 59, 30));
    scheduler_->RecomputeSchedule();
    clock_->Advance(At(2026, 12, 7, 11, 0, 0) - clock_->Now());
    scheduler_->Tick();  // both are due; Long comes first in the list
    EXPECT_EQ(run_->scheduleName(), "Long");
    for (int minute = 1; minute < 5; ++minute) {  // Short's slots pass meanwhile
        clock_->Advance(60);
        scheduler_->Tick();
        EXPECT_EQ(scheduler_->tickerSource(), "Running");
    }
    // The run's clock step sets the clock back ten minutes, before Short's slot: Short fell
    // due all the same and stays due.
    clock_->Set(At(2026, 12, 7, 10, 55, 0));
    web->hold = false;
    web->Finish();
    ASSERT_TRUE(waitFor([&] { return !run_->running(); }));
    TickAt(At(2026, 12, 7, 10, 55, 1));
    EXPECT_EQ(runs_, (std::vector<std::string>{"Long", "Short"}));
    TickAt(At(2026, 12, 7, 10, 55, 2));
    EXPECT_EQ(runs_.size(), 2u) << "the missed slots are not made up";
}

TEST_F(SchedulerTest, AnEveryMinuteScheduleKeepsItsSpacingWhenTheClockIsSet) {
    Schedule("Minutely", 1);
    Monitor("site", "Minutely");
    std::vector<time_t> ranAt;
    QObject::connect(run_.get(), &CRunWindow::runFinished, [&] { ranAt.push_back(clock_->Now()); });
    scheduler_->setLastTick(clock_->Now());
    scheduler_->RecomputeSchedule();
    auto at = [](int hour, int minute, int second) {
        return At(2026, 12, 7, hour, minute, second);
    };
    // The clock is set to setTo, then three minutes pass in ticks ten seconds apart.
    struct Case {
        const char* what;
        time_t setTo;
        std::vector<time_t> runs;
    };
    const Case cases[] = {
        {"left alone", at(10, 0, 30), {at(10, 1, 0), at(10, 2, 0), at(10, 3, 0)}},
        {"set back two hours", at(8, 3, 35), {at(8, 4, 5), at(8, 5, 5), at(8, 6, 5)}},
        // The slot the clock jumped over runs once, as one that passed during a pause.
        {"set forward two hours",
         at(10, 6, 45),
         {at(10, 6, 45), at(10, 7, 5), at(10, 8, 5), at(10, 9, 5)}},
        {"set back half a minute", at(10, 9, 20), {at(10, 10, 0), at(10, 11, 0), at(10, 12, 0)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ranAt.clear();
        clock_->Set(c.setTo);
        for (int tick = 0; tick <= 18; ++tick) {
            if (tick > 0) clock_->Advance(10);
            scheduler_->Tick();
            ASSERT_TRUE(waitFor([&] { return !run_->running(); }));
        }
        EXPECT_EQ(ranAt, c.runs);
    }
}

TEST_F(SchedulerTest, RunNowMatchesTheWholeNameAndNotDuringARun) {
    Schedule("Day", 60);
    Schedule("Daybreak", 60);
    Monitor("site", "Day");
    Monitor("site2", "Daybreak");
    scheduler_->setLastTick(At(2026, 12, 7, 10, 0, 30));
    scheduler_->RecomputeSchedule();
    auto& list = scheduler_->schedulingList();

    EXPECT_FALSE(scheduler_->RunNowEnabled("<None>"));
    EXPECT_FALSE(scheduler_->RunNowEnabled(""));
    EXPECT_TRUE(scheduler_->RunNowEnabled("Day"));
    scheduler_->RunNow("<None>");
    EXPECT_FALSE(run_->running());

    run_->setShownBefore(true);
    scheduler_->RunNow("Day");
    EXPECT_TRUE(run_->running());
    EXPECT_TRUE(run_->controls().lastShowRestored) << "Run now restores the run window";
    EXPECT_FALSE(scheduler_->RunNowEnabled("Daybreak"));
    scheduler_->RunNow("Daybreak");  // ignored: a run is going on
    EXPECT_TRUE(prompt_->shown.empty());
    waitFor([&] { return !run_->running(); });
    EXPECT_EQ(runs_, std::vector<std::string>{"Day"});
    EXPECT_EQ(list.GetItemData(list.FindStringExact("Day")), 0);
    EXPECT_EQ(list.GetItemData(list.FindStringExact("Daybreak")), At(2026, 12, 7, 11, 0));
}

TEST_F(SchedulerTest, ASchedulerNamedLikeNoScheduleNeverRunsTheLooseMonitors) {
    // Written as another program may write them: schedules under the names that stand for
    // "no schedule" and "schedule deleted".
    for (const char* name : {"<None>", "<None"}) {
        RegKey key;
        ASSERT_EQ(key.Create(RegKey::LocalMachine(), EventPath(name), kEventClass), ERROR_SUCCESS);
        key.SetDword(kType, kSchedule);
        key.SetDword(kEnabled, 1);
        key.SetDword("Interval", 60);
        key.SetDword("Days", 0x7F);
        key.SetDword("Hours", 0xFFFFFF);
    }
    Monitor("loose", "<None>");
    Monitor("orphan", "<None");
    EXPECT_FALSE(Next("<None>", clock_->Now()));
    EXPECT_FALSE(Next("<None", clock_->Now()));
    EXPECT_FALSE(scheduler_->RunNowEnabled("<None"));
    scheduler_->RunNow("<None");
    EXPECT_FALSE(run_->running());

    scheduler_->setLastTick(clock_->Now());
    scheduler_->RecomputeSchedule();
    EXPECT_EQ(scheduler_->display().name1038, "");
    EXPECT_EQ(scheduler_->monitorList().GetCount(), 0);
    TickAt(At(2026, 12, 7, 11, 0, 1));
    TickAt(At(2026, 12, 7, 11, 0, 20));
    TickAt(At(2026, 12, 7, 12, 0, 1));
    EXPECT_TRUE(runs_.empty());
}

TEST_F(SchedulerTest, PauseStopsNewRunsAndResumeCatchesUp) {
    Schedule("Hourly", 60, 0x7F, 0xFFFFFF, "ticker text");
    Monitor("site", "Hourly");
    scheduler_->setLastTick(clock_->Now());
    scheduler_->RecomputeSchedule();
    EXPECT_TRUE(scheduler_->PauseEnabled());
    EXPECT_FALSE(scheduler_->ResumeEnabled());

    scheduler_->Pause();
    EXPECT_FALSE(scheduler_->PauseEnabled());
    EXPECT_TRUE(scheduler_->ResumeEnabled());
    EXPECT_EQ(scheduler_->display().name1038, "");
    EXPECT_EQ(scheduler_->display().time1039, "");
    EXPECT_EQ(scheduler_->monitorList().GetCount(), 0);
    EXPECT_EQ(scheduler_->tickerSource(), "");

    TickAt(At(2026, 12, 7, 11, 0, 10));
    TickAt(At(2026, 12, 7, 11, 0, 30));  // a recompute while paused keeps the times
    EXPECT_TRUE(runs_.empty());
    EXPECT_EQ(scheduler_->display().label1045, "");

    scheduler_->Resume();
    TickAt(At(2026, 12, 7, 11, 0, 31));
    EXPECT_EQ(runs_, std::vector<std::string>{"Hourly"}) << "the slot passed while paused runs";

    scheduler_->Pause();
    scheduler_->RunNow("Hourly");  // Run now still works while paused
    waitFor([&] { return !run_->running(); });
    EXPECT_EQ(runs_.size(), 2u);
}

TEST_F(SchedulerTest, TheTickerScrollsOneCharacterATick) {
    Schedule("Hourly", 60, 0x7F, 0xFFFFFF, "ABC");
    scheduler_->setLastTick(At(2026, 12, 7, 10, 0, 30));
    scheduler_->RecomputeSchedule();
    clock_->Set(At(2026, 12, 7, 10, 0, 31));
    scheduler_->Tick();
    EXPECT_EQ(scheduler_->display().ticker1037, std::string(31, ' ') + "ABC");
    for (int i = 0; i < 31; ++i) scheduler_->Tick();
    EXPECT_EQ(scheduler_->display().ticker1037, "ABC");
    scheduler_->Tick();
    scheduler_->Tick();
    EXPECT_EQ(scheduler_->display().ticker1037, "C");
    scheduler_->Tick();
    EXPECT_EQ(scheduler_->display().ticker1037, std::string(31, ' ') + "ABC");
}

// Qt puts the C library in the user's locale; what the program writes must not follow it.
TEST_F(SchedulerTest, TimesReadTheSameUnderAGermanAndAJapaneseLocale) {
    Schedule("Hourly", 60);
    const time_t now = At(2026, 12, 7, 22, 5, 9);
    auto texts = [&] {
        std::vector<std::string> out;
        clock_->Set(now);
        scheduler_->setLastTick(now);
        scheduler_->RecomputeSchedule();
        out.push_back(scheduler_->display().time1039);  // next event
        log_.WriteLog(kIconDefault, "entry");
        out.push_back(log_.bar().timeText);  // log bar
        LogRecord record;
        record.time = static_cast<uint32_t>(now);
        record.text = "entry";
        out.push_back(FormatLogLine(record));  // --log and --headless lines
        std::ostringstream schedules;
        PrintSchedules(schedules);
        out.push_back(schedules.str());  // --schedules
        std::string mail = QueuedMailText("body", "a@example.org", "s", "me", now);
        out.push_back(mail.substr(0, mail.find("\r\nFrom:")));  // mail header
        out.push_back(FormatLocalTime(now, "%I:%M %p"));        // status bar clock
        return out;
    };
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    std::setlocale(LC_ALL, "C");
    const std::vector<std::string> expected = texts();
    ASSERT_EQ(expected.size(), 6u);
    EXPECT_EQ(expected[0], " 11:00 PM ");
    EXPECT_EQ(expected[1], "Mon, December 07, 22:05:09 ");
    EXPECT_EQ(expected[3], "Hourly\t2026-12-07 23:00\t\n");
    EXPECT_EQ(expected[4], "X-Rcpt-To: a@example.org\r\nDate: Mon, 07 Dec 2026 22:05:09 UTC");
    EXPECT_EQ(expected[5], "10:05 PM");
    std::vector<std::string> missing;
    for (const char* name : {"de_DE.UTF-8", "ja_JP.UTF-8"}) {
        if (!std::setlocale(LC_ALL, name)) {
            missing.push_back(name);
            continue;
        }
        EXPECT_EQ(texts(), expected) << "under " << name;
    }
    std::setlocale(LC_ALL, saved.c_str());
    if (!missing.empty())
        GTEST_SKIP() << "locale " << missing.front()
                     << " is not installed on this machine (scripts/setup makes it)";
}

}  // namespace

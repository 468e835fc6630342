#include <QElapsedTimer>

#include "app/ActivityLog.h"
#include "app/EventWizards.h"
#include "app/Headless.h"
#include "app/RunWindow.h"
#include "app/SettingsStore.h"
#include "fakes/FakeDialUp.h"
#include "fakes/RecordingPagerDialer.h"
#include "fixtures/Fixtures.h"
#include "notify/PagerQueue.h"

namespace {

using namespace settings;

class RunWindowTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        pager_ = std::make_unique<FakePagerQueue>(&timeline_);
        Make(true);
    }

    // A fresh run window, with the fake dial-up or with none.
    void Make(bool withDialUp) {
        run_.reset();
        std::unique_ptr<DialUp> dialUp;
        dial_ = nullptr;
        if (withDialUp) {
            auto fake = std::make_unique<FakeDialUp>(&timeline_);
            dial_ = fake.get();
            dialUp = std::move(fake);
        }
        run_ = std::make_unique<CRunWindow>(log_, std::move(dialUp), *pager_);
        run_->SetHangUpWait(50);
        run_->SetNextEventMonitors(&nextMonitors_);
        const std::pair<int, const char*> panels[] = {
            {2, "news"}, {3, "mail"}, {4, "web"}, {5, "lumetta"}, {6, "timesync"}, {10, "queue"}};
        for (auto [step, label] : panels) {
            auto p = std::make_unique<RecordingPanel>(label, &timeline_);
            panels_[step] = p.get();
            run_->SetPanel(step, std::move(p));
        }
        QObject::connect(run_.get(), &CRunWindow::runFinished,
                         [this] { timeline_.push_back("hidden"); });
    }

    void Schedule(const std::string& name, const std::string& phoneBook, DWORD updateTime = 0) {
        ScheduleRecord r;
        r.name = name;
        r.updateTime = updateTime;
        ASSERT_TRUE(CreateEventRecord(r));
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath(name));
        key.SetString("PhoneBook", phoneBook);
    }
    void Monitor(const std::string& name, DWORD kind, const std::string& schedule = "Daily") {
        AddEvent(name, kind, schedule);
    }
    bool RunToEnd() {
        return waitFor([&] { return !run_->running(); });
    }
    std::vector<LogRecord> Records() {
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        return records;
    }

    Timeline timeline_;
    CActivityLog log_;
    std::unique_ptr<FakePagerQueue> pager_;
    std::unique_ptr<CRunWindow> run_;
    FakeDialUp* dial_ = nullptr;
    RecordingPanel* panels_[11] = {};
    CItemList nextMonitors_;
};

TEST_F(RunWindowTest, ARunGoesStepByStepInItsOrder) {
    Schedule("Daily", "ISP", 1);
    Monitor("B web", 4);
    Monitor("A mail", 3);
    Monitor("C news", 2);
    Monitor("D odd", 9);  // an unknown kind is passed over
    Monitor("E ticker", 5);
    Monitor("Elsewhere", 4, "Weekly");
    pager_->numbers = {"555", "666"};
    for (const char* m : {"A mail", "B web", "C news", "E ticker"}) nextMonitors_.AddString(m);

    std::vector<std::string> states;
    QObject::connect(run_.get(), &CRunWindow::controlsChanged, [&] {
        const auto& c = run_->controls();
        std::string s = c.status1033 + "|" + c.status1034;
        if (states.empty() || states.back() != s) states.push_back(s);
    });
    std::vector<std::string> selected;
    QObject::connect(&nextMonitors_, &CItemList::currentChanged,
                     [&](int i) { selected.push_back(i >= 0 ? nextMonitors_.GetText(i) : ""); });

    EXPECT_EQ(run_->StartRun("Daily"), 1);
    EXPECT_TRUE(run_->running());
    EXPECT_EQ(run_->controls().caption, "Running scheduled event  -  Daily");
    EXPECT_TRUE(run_->controls().visible);
    EXPECT_TRUE(run_->controls().lastShowRestored) << "the first showing restores the window";
    EXPECT_EQ(run_->controls().status1033, "Calling ISP");

    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(timeline_, (Timeline{"entry ISP", "dial ISP", "timesync", "mail A mail", "web B web",
                                   "news C news", "lumetta E ticker", "queue", "hangup 77",
                                   "page 555", "page 666", "hidden"}));
    EXPECT_EQ(selected, (std::vector<std::string>{"A mail", "B web", "C news", "", "E ticker"}));
    EXPECT_TRUE(std::find(states.begin(), states.end(), "Calling ISP|Dialing...") != states.end());
    EXPECT_TRUE(std::find(states.begin(), states.end(), "Hangup connection to ISP.|Please wait.") !=
                states.end());
    EXPECT_TRUE(std::find(states.begin(), states.end(), "Now paging 555, please stand by.|") !=
                states.end());
    EXPECT_FALSE(run_->controls().visible);
    EXPECT_TRUE(run_->controls().cancelEnabled);
    EXPECT_FALSE(run_->controls().show1033);
    EXPECT_EQ(run_->controls().status1033, "");
    for (int step : {2, 3, 4, 5, 6, 10}) EXPECT_FALSE(panels_[step]->visible()) << step;
    EXPECT_TRUE(Records().empty());
    EXPECT_EQ(run_->rasConnection(), 0u);

    // The second run shows the window plainly.
    timeline_.clear();
    run_->StartRun("Daily");
    EXPECT_FALSE(run_->controls().lastShowRestored);
    RunToEnd();
}

TEST_F(RunWindowTest, PagerCallsWaitForTheLineAfterTheHangUp) {
    Schedule("Daily", "ISP");
    Monitor("Web", 4);
    pager_->numbers = {"555"};
    run_->SetHangUpWait(300);
    QElapsedTimer clock;
    qint64 hungUp = -1, paged = -1;
    clock.start();
    run_->StartRun("Daily");
    ASSERT_TRUE(waitFor([&] {
        if (hungUp < 0 && std::count(timeline_.begin(), timeline_.end(), "hangup 77"))
            hungUp = clock.elapsed();
        if (paged < 0 && std::count(timeline_.begin(), timeline_.end(), "page 555"))
            paged = clock.elapsed();
        return !run_->running();
    }));
    ASSERT_GE(hungUp, 0);
    ASSERT_GE(paged, 0);
    EXPECT_GE(paged - hungUp, 290) << "the pager call came before the line was free";
}

TEST_F(RunWindowTest, NoDialingForTheLocalNetworkAnEmptyEntryOrWithoutDialUp) {
    for (const char* book : {"", "<Local Network>"}) {
        timeline_.clear();
        Schedule("Daily", book);
        Monitor("Web", 4);
        EXPECT_EQ(run_->StartRun("Daily"), 1);
        EXPECT_TRUE(RunToEnd());
        EXPECT_EQ(timeline_, (Timeline{"web Web", "queue", "hidden"})) << book;
    }
    // Dial-up missing: the run goes on over whatever connection there is, silently.
    Make(false);
    timeline_.clear();
    Schedule("Daily", "ISP");
    EXPECT_EQ(run_->StartRun("Daily"), 1);
    EXPECT_TRUE(RunToEnd());
    EXPECT_EQ(timeline_, (Timeline{"web Web", "queue", "hidden"}));
    EXPECT_TRUE(Records().empty());
}

TEST_F(RunWindowTest, AScheduleWithoutMonitorsOnlySetsTheClockIfAskedAndStillPages) {
    struct Case {
        DWORD updateTime;
        int started;
        Timeline steps;
    };
    const Case cases[] = {
        // Nothing to do: no dialing, no clock, no mail queue.
        {0, 0, {"page 555", "hidden"}},
        // Only the clock: over the schedule's connection, and no mail queue.
        {1, 1, {"entry ISP", "dial ISP", "timesync", "hangup 77", "page 555", "hidden"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.updateTime);
        timeline_.clear();
        Schedule("Daily", "ISP", c.updateTime);
        Monitor("Elsewhere", 4, "daily");
        pager_->numbers = {"555"};
        EXPECT_EQ(run_->StartRun("Daily"), c.started);
        EXPECT_TRUE(RunToEnd());
        EXPECT_EQ(timeline_, c.steps);
        EXPECT_FALSE(run_->controls().visible);
        EXPECT_TRUE(Records().empty());
    }
}

TEST_F(RunWindowTest, DialUpFailuresAreLoggedAndEndTheRun) {
    Schedule("Daily", "ISP");
    Monitor("Web", 4);

    dial_->entryError = 623;
    EXPECT_EQ(run_->StartRun("Daily"), 0);
    EXPECT_FALSE(run_->running());
    ASSERT_EQ(Records().size(), 1u);
    EXPECT_EQ(Records()[0].icon, 155u);
    EXPECT_EQ(Records()[0].text,
              "\r\nWhile starting event Daily an error occured getting information about the "
              "Internet connection to ISP.  The error message was :error text 623");

    dial_->entryError = 0;
    dial_->dialResult = 633;
    timeline_.clear();
    EXPECT_EQ(run_->StartRun("Daily"), 0);
    EXPECT_TRUE(RunToEnd()) << "winding down waits after the hang-up";
    EXPECT_EQ(Records().back().text,
              "\r\nWhile starting event Daily, the Internet connection to ISP did not complete "
              "correctly.\r\n\r\n   error text 633");
    EXPECT_EQ(timeline_, (Timeline{"entry ISP", "dial ISP", "hangup 77", "hidden"}))
        << "a handle returned by a failed dial is hung up";

    dial_->dialResult = 0;
    dial_->events = {{RASCS_PortOpened, 0}, {RASCS_Authenticate, 0}, {RASCS_OpenPort, 691}};
    timeline_.clear();
    EXPECT_EQ(run_->StartRun("Daily"), 1);
    EXPECT_TRUE(RunToEnd());
    EXPECT_EQ(Records().back().text,
              "\r\nWhile starting event Daily, the Internet connection to ISP did not complete "
              "correctly.\r\n\r\nThe error message was :error text 691");
    EXPECT_EQ(timeline_, (Timeline{"entry ISP", "dial ISP", "hangup 77", "hidden"}))
        << "no monitor runs after a failed dial";
    for (const auto& r : Records()) {
        EXPECT_EQ(r.action, 0u);
        EXPECT_EQ(r.link, "");
    }
}

TEST_F(RunWindowTest, AnOpenPortMeansWorkNowAndAHangUpLater) {
    Schedule("Daily", "ISP");
    Monitor("Web", 4);
    dial_->dialResult = ERROR_PORT_ALREADY_OPEN;
    EXPECT_EQ(run_->StartRun("Daily"), 1);
    EXPECT_TRUE(RunToEnd());
    EXPECT_EQ(timeline_,
              (Timeline{"entry ISP", "dial ISP", "web Web", "queue", "hangup 77", "hidden"}));
    EXPECT_TRUE(Records().empty());
}

TEST_F(RunWindowTest, AccountIsUsedOnlyWithoutASavedPassword) {
    Schedule("Daily", "ISP");
    Monitor("Web", 4);
    RegKey key;
    key.Open(RegKey::LocalMachine(), EventPath("Daily"));
    key.SetString("AccountName", "me");
    key.SetString("AccountPasswd", "secret");

    run_->StartRun("Daily");
    RunToEnd();
    EXPECT_EQ(dial_->lastParams.userName, "stored-user");
    dial_->passwordSaved = false;
    run_->StartRun("Daily");
    RunToEnd();
    EXPECT_EQ(dial_->lastParams.userName, "me");
    EXPECT_EQ(dial_->lastParams.password, "secret");
}

// What the schedule's pages store is what the run dials with.
TEST_F(RunWindowTest, TheDialUpEntryAndLoginSetOnTheSchedulesPagesAreUsed) {
    CScheduleWizard pages;
    pages.a.name = "Daily";
    pages.c.phoneBook = "Mobile";
    pages.c.accountName = "me";
    pages.c.password.entered = "secret";
    ASSERT_TRUE(CreateEventRecord(pages.Record()));
    Monitor("Web", 4);
    dial_->passwordSaved = false;
    run_->StartRun("Daily");
    RunToEnd();
    EXPECT_EQ(dial_->lastParams.entryName, "Mobile");
    EXPECT_EQ(dial_->lastParams.userName, "me");
    EXPECT_EQ(dial_->lastParams.password, "secret");
}

TEST_F(RunWindowTest, ASecondStartWhileRunningLeavesTheFirstAlone) {
    Schedule("Daily", "");
    Schedule("Other", "");
    Monitor("Web", 4);
    Monitor("Mail", 3, "Other");
    panels_[4]->hold = true;
    EXPECT_EQ(run_->StartRun("Daily"), 1);
    EXPECT_EQ(run_->StartRun("Other"), 0);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Running...");
    EXPECT_EQ(prompt_->shown[0].buttons, UserPrompt::Ok);
    EXPECT_EQ(run_->scheduleName(), "Daily");
    panels_[4]->Finish();
    EXPECT_TRUE(RunToEnd());
    EXPECT_EQ(timeline_, (Timeline{"web Web", "queue", "hidden"}));
}

TEST_F(RunWindowTest, CancelStopsTheCurrentPanelAndIgnoresItsLateCompletion) {
    Schedule("Daily", "ISP");
    Monitor("A", 4);
    Monitor("B", 3);
    panels_[4]->hold = true;
    run_->StartRun("Daily");
    ASSERT_TRUE(waitFor([&] { return run_->step() == 4; }));
    run_->OnCancel();
    EXPECT_EQ(panels_[4]->cancels, 1);
    EXPECT_FALSE(run_->controls().cancelEnabled) << "no second cancel while winding down";
    ASSERT_TRUE(RunToEnd());
    panels_[4]->Finish();  // the cancelled panel reports after all
    CWindow::PumpMessages();
    EXPECT_FALSE(run_->running());
    EXPECT_EQ(timeline_,
              (Timeline{"entry ISP", "dial ISP", "web A", "cancel web 0", "hangup 77", "hidden"}));
}

TEST_F(RunWindowTest, ACancelledStepThatSaysGoodbyeIsWaitedForABoundedWhile) {
    Schedule("Daily", "ISP");
    Monitor("A", 4);
    panels_[4]->hold = true;
    panels_[4]->windsDown = true;
    run_->StartRun("Daily");
    ASSERT_TRUE(waitFor([&] { return run_->step() == 4; }));
    // The step finishes after the cancel: only then does the run hang up and end.
    run_->OnCancel();
    CWindow::PumpMessages();
    EXPECT_TRUE(run_->running());
    EXPECT_EQ(timeline_.back(), "cancel web 0");
    panels_[4]->Finish();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(timeline_,
              (Timeline{"entry ISP", "dial ISP", "web A", "cancel web 0", "hangup 77", "hidden"}));
    EXPECT_EQ(panels_[4]->cancels, 1);

    // A step that never finishes is cut off when its time is over...
    timeline_.clear();
    run_->SetCancelGrace(50);
    run_->StartRun("Daily");
    ASSERT_TRUE(waitFor([&] { return !timeline_.empty() && timeline_.back() == "web A"; }));
    run_->OnCancel();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(panels_[4]->cancels, 3);
    EXPECT_FALSE(panels_[4]->Finishing());

    // ...or at once when the user cancels again.
    run_->SetCancelGrace(60 * 60 * 1000);
    timeline_.clear();
    run_->StartRun("Daily");
    ASSERT_TRUE(waitFor([&] { return !timeline_.empty() && timeline_.back() == "web A"; }));
    run_->OnCancel();
    EXPECT_TRUE(run_->running());
    run_->OnCancel();
    ASSERT_TRUE(RunToEnd());
    EXPECT_EQ(panels_[4]->cancels, 5);
}

TEST_F(RunWindowTest, CancelWhileDialingTouchesNoPanelAndIgnoresLateProgress) {
    Schedule("Daily", "ISP");
    Monitor("A", 4);
    dial_->events = {};  // the connection never comes up by itself
    run_->StartRun("Daily");
    run_->OnCancel();
    ASSERT_TRUE(RunToEnd());
    run_->PostMessage(CWindow::RegisterWindowMessage(kRasDialEventName), RASCS_Connected, 0);
    CWindow::PumpMessages();
    EXPECT_EQ(timeline_, (Timeline{"entry ISP", "dial ISP", "hangup 77", "hidden"}));
}

TEST_F(RunWindowTest, AFailedPagerCallStopsThePagingAndStaysQueued) {
    Schedule("Daily", "");
    Monitor("A", 4);
    pager_->numbers = {"1", "2"};
    pager_->results = {false};
    run_->StartRun("Daily");
    RunToEnd();
    EXPECT_EQ(timeline_, (Timeline{"web A", "queue", "page 1 failed", "hidden"}));
    EXPECT_EQ(pager_->numbers.size(), 2u);
}

TEST_F(RunWindowTest, ARefusedPagerCallDoesNotHoldUpTheCallsBehindIt) {
    Schedule("Daily", "");
    RecordingPagerDialer dialer;
    CPagerCallQueue queue(log_, dialer);
    queue.Append("Box", "555W0100", "1");
    queue.Append("Box", "5550100", "2");
    CRunWindow run(log_, nullptr, queue);
    EXPECT_EQ(run.StartRun("Daily"), 0);
    EXPECT_FALSE(run.running());
    EXPECT_EQ(dialer.dialed, std::vector<std::string>{"5550100,,,,,,,,2#"});
    EXPECT_TRUE(queue.calls().empty());
    const auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].text.find("\"555W0100\" or message \"1\" holds characters that cannot "
                                   "be dialled"),
              std::string::npos);
}

// A signal's handler runs inside the dialer's loop: the cancel hangs up the call on the
// line, makes no more calls, and whoever waits for the run's end is told when it ends,
// without waiting inside the handler.
TEST_F(RunWindowTest, ACancelDuringThePagingHangsUpAndEndsTheRun) {
    Schedule("Daily", "ISP");
    Monitor("A", 4);
    pager_->numbers = {"1", "2"};
    bool endedInside = true, ended = false;
    pager_->whileCalling = [&] {
        run_->OnCancel();
        WhenRunEnds(*run_, [&] { ended = true; });
        endedInside = ended;
    };
    run_->StartRun("Daily");
    ASSERT_TRUE(RunToEnd());
    EXPECT_FALSE(endedInside);
    EXPECT_TRUE(ended);
    EXPECT_EQ(pager_->cancels, 1);
    EXPECT_EQ(timeline_, (Timeline{"entry ISP", "dial ISP", "web A", "queue", "hangup 77",
                                   "cancel call", "page 1 failed", "hidden"}));
    EXPECT_EQ(pager_->numbers.size(), 2u);

    // A cancel while the line settles after the hang-up ends the run at once; the calls
    // wait for the next run.
    timeline_.clear();
    run_->SetHangUpWait(600000);
    run_->StartRun("Daily");
    ASSERT_TRUE(
        waitFor([&] { return std::count(timeline_.begin(), timeline_.end(), "hangup 77") == 1; }));
    run_->OnCancel();
    EXPECT_FALSE(run_->running());
    EXPECT_EQ(timeline_.back(), "hidden");
    EXPECT_EQ(std::count(timeline_.begin(), timeline_.end(), "page 1"), 0);
    EXPECT_EQ(pager_->numbers.size(), 2u);
    // Not running: told at once.
    bool told = false;
    WhenRunEnds(*run_, [&] { told = true; });
    EXPECT_TRUE(told);
}

}  // namespace

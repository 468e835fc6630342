// Pager calls through the pager dialer over a fake modem on a pseudo-terminal, and the
// pager queue's handling of calls that must not reach the modem.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QProcess>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "fakes/FakeModem.h"
#include "fakes/RecordingPagerDialer.h"
#include "fixtures/Fixtures.h"
#include "fixtures/ManualTimerSource.h"
#include "notify/PagerQueue.h"
#include "notify/Tapi.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

struct RecordingLog : ActivityLogWriter {
    std::vector<std::string> texts;
    void WriteLog(int, const std::string& text, int, const std::string&, bool) override {
        texts.push_back(text);
    }
};

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class PagerModemTest : public SandboxTest {
protected:
    // The dialer over the devices "ModemDevices" lists, with a short search; patterns are
    // those the search globs.
    void MakeDialer(const std::vector<std::string>& devices,
                    std::vector<std::string> patterns = {}) {
        queue_.reset();
        tapi_.reset();
        telephony_.reset();
        Root().SetValue(settings::kModemDevices, REG_MULTI_SZ,
                        settings::EncodeMultiString(devices));
        ModemTelephony::Options options;
        options.patterns = std::move(patterns);
        options.searchMilliseconds = 300;
        telephony_ = CTapi::MakeModemTelephony(std::move(options));
        tapi_ = std::make_unique<CTapi>(telephony_.get());
        queue_ = std::make_unique<CPagerCallQueue>(log_, *tapi_);
    }

    // Makes the next queued call. Each few milliseconds after started() holds, a second of
    // the program's time passes; the number of those seconds is in ticks_. whileConnected
    // runs once, at the first of them.
    bool Call(const std::function<bool()>& started, std::function<void()> whileConnected = {}) {
        ticks_ = 0;
        QTimer clock;
        QObject::connect(&clock, &QTimer::timeout, [&] {
            if (!started() || ticks_ > 400) return;
            if (whileConnected) {
                auto once = std::move(whileConnected);
                whileConnected = nullptr;
                once();
            }
            ticks_ += timers_.Advance(1000) > 0 ? 1 : 0;
        });
        clock.start(5);
        EXPECT_EQ(queue_->TakeNextPagerCall(), 1);
        return queue_->MakePagerCall();
    }

    ManualTimerSource timers_;
    RecordingLog log_;
    std::unique_ptr<Telephony> telephony_;
    std::unique_ptr<CTapi> tapi_;
    std::unique_ptr<CPagerCallQueue> queue_;
    int ticks_ = 0;
};

TEST_F(PagerModemTest, APageDialsTheNumberPausesAndMessageAndHangsUpAfterItsCountdown) {
    FakeModem modem(Path(""), "ok");
    MakeDialer({modem.device});

    DWORD_T index = 0;
    std::string name;
    ASSERT_EQ(tapi_->GetDeviceName(index, name), 1);
    EXPECT_EQ(name, "Quorvane Test Modem 56K");
    index = 1;
    EXPECT_EQ(tapi_->GetDeviceName(index, name), 0);

    queue_->Append("Box", "555-0100", "42");
    bool refusedKeptTheCall = false;
    EXPECT_TRUE(Call([&] { return modem.bytes().find("ATDT") != std::string::npos; },
                     [&] {
                         // A second dial while this call runs is refused and its stop
                         // leaves this call alone.
                         EXPECT_EQ(tapi_->Dial("1#"), 1);
                         EXPECT_EQ(tapi_->statusText(), "A call is already being handled.");
                         tapi_->StopCall(1);
                         refusedKeptTheCall = tapi_->callInProgress();
                     }));
    EXPECT_TRUE(refusedKeptTheCall);
    // 5 + 2 for each of the 9 pauses + 19 / 4 = 27 seconds count down; the next hangs up.
    EXPECT_EQ(ticks_, 28);
    EXPECT_EQ(modem.bytes(), "AT\rATI\rAT\rATDT555,0100,,,,,,,,42#;\rATH\r");
    EXPECT_TRUE(queue_->calls().empty());
    EXPECT_TRUE(log_.texts.empty());
    EXPECT_TRUE(timers_.Pending().empty());

    // The longest call the queue makes fits the modem's command whole.
    queue_->Append("Box", std::string(48, '9'), std::string(48, '1'));
    EXPECT_TRUE(Call([&] { return Count(modem.bytes(), "ATDT") == 2; }));
    EXPECT_NE(modem.bytes().find("ATDT" + std::string(48, '9') + std::string(8, ',') +
                                 std::string(48, '1') + "#;\rATH\r"),
              std::string::npos);
    EXPECT_TRUE(log_.texts.empty());
}

TEST_F(PagerModemTest, BusyDeadAndVanishedModemsAreToldAndTheCallStaysQueued) {
    struct Case {
        std::string mode, text;
        std::function<bool(const std::string&)> started;
    };
    const std::vector<Case> cases = {
        {"busy", "The page failed, the modem said : Line busy, shutting down (BUSY).",
         [](const std::string& b) { return b.find("ATDT") != std::string::npos; }},
        {"nodialtone",
         "The page failed, the modem said : Disconnected: No Dial Tone (NO DIALTONE).",
         [](const std::string& b) { return b.find("ATDT") != std::string::npos; }},
        {"silent",
         "The page failed, the modem said : The TAPI operation failed. (no answer from "
         "the modem on ",
         [](const std::string& b) { return Count(b, "AT\r") == 2; }},
        {"vanish", "The page failed, the modem said : Line closed during the call (the modem on ",
         [](const std::string& b) { return b.find("ATDT") != std::string::npos; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        FakeModem modem(Path(""), c.mode);
        MakeDialer({modem.device});
        log_.texts.clear();
        queue_->Append("Box", "555-0100", "42");
        EXPECT_FALSE(Call([&] { return c.started(modem.bytes()); }));
        EXPECT_LT(ticks_, 10);
        ASSERT_EQ(log_.texts.size(), 1u);
        EXPECT_NE(log_.texts[0].find(c.text), std::string::npos) << log_.texts[0];
        ASSERT_EQ(queue_->calls().size(), 1u);
        EXPECT_EQ(queue_->calls()[0].phone, "555-0100");
        EXPECT_FALSE(tapi_->callInProgress());
        EXPECT_TRUE(timers_.Pending().empty());
        // What the modem was sent never goes past the dial command.
        EXPECT_EQ(modem.bytes().find("ATH"), std::string::npos);
        queue_.reset();
        tapi_.reset();
        telephony_.reset();
    }
}

TEST_F(PagerModemTest, OnlyDialableCallsReachTheModemAndTooLongOnesAreRefused) {
    RecordingPagerDialer dialer;
    CPagerCallQueue queue(log_, dialer);
    queue.Append("Box", "555;ATH", "42");
    queue.Append("Box", "5550100", "4\r\nATZ");
    queue.Append("Box", "(555) 01-00", "*42#");
    ASSERT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_FALSE(queue.MakePagerCall());
    ASSERT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_FALSE(queue.MakePagerCall());
    ASSERT_EQ(log_.texts.size(), 2u);
    EXPECT_NE(log_.texts[0].find("\"555;ATH\" or message \"42\" holds characters that cannot be "
                                 "dialled"),
              std::string::npos);
    EXPECT_TRUE(dialer.dialed.empty());
    EXPECT_TRUE(dialer.stops.empty());
    ASSERT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_TRUE(queue.MakePagerCall());
    EXPECT_EQ(dialer.dialed, std::vector<std::string>{",555, 01,00,,,,,,,,*42##"});
    // Undialable calls are not kept for a later run: they would fail every time.
    EXPECT_EQ(queue.TakeNextPagerCall(), 0);

    // The dialer itself refuses what a modem would take as a command, and what its
    // command line cannot hold, before anything is opened.
    CTapi tapi(nullptr);
    EXPECT_EQ(tapi.Dial("555;ATH"), 1);
    EXPECT_EQ(tapi.statusText(), "TAPI Create Failed.");
    FakeModem modem(Path(""), "ok");
    MakeDialer({modem.device});
    EXPECT_EQ(tapi_->Dial("5\rATZ"), 1);
    EXPECT_NE(tapi_->statusText().find("cannot be dialled"), std::string::npos);
    EXPECT_EQ(tapi_->Dial(std::string(CTapi::kNumberLimit + 1, '5')), 1);
    EXPECT_NE(tapi_->statusText().find("too long"), std::string::npos);
    EXPECT_FALSE(tapi_->callInProgress());
    EXPECT_EQ(modem.bytes(), "AT\rATI\r");
}

TEST_F(PagerModemTest, ACallMadeWhileAnotherIsOnTheLineWaitsWithoutTouchingIt) {
    RecordingPagerDialer dialer;
    CPagerCallQueue queue(log_, dialer);
    queue.Append("First", "5551", "1");
    queue.Append("Second", "5552", "2");
    bool innerResult = true;
    bool countdownKept = false;
    bool nested = false;
    dialer.whileDialing = [&] {
        if (nested) return;
        nested = true;
        ASSERT_EQ(queue.TakeNextPagerCall(), 1);
        innerResult = queue.MakePagerCall();
        countdownKept = queue.HasTimer(CPagerCallQueue::kCountdownTimer);
    };
    ASSERT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_TRUE(queue.MakePagerCall());
    EXPECT_FALSE(innerResult);
    EXPECT_TRUE(countdownKept);
    EXPECT_EQ(dialer.dialed.size(), 1u);
    EXPECT_EQ(dialer.stops, std::vector<int>{0});
    ASSERT_EQ(queue.calls().size(), 1u);
    EXPECT_EQ(queue.calls()[0].eventName, "Second");
    ASSERT_EQ(log_.texts.size(), 1u);
    EXPECT_NE(log_.texts[0].find("mail Second."), std::string::npos);
}

// Another program's hold on a port, as a fax getty or a terminal program takes it.
class PortHolder {
public:
    explicit PortHolder(const std::string& device)
        : fd_(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
        held = fd_ >= 0 && ::flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }
    ~PortHolder() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool held = false;

private:
    int fd_;
};

TEST_F(PagerModemTest, NamedModemsAreTheOnlyPortsTouchedAndTheSearchIsForWhenNoneIsNamed) {
    std::filesystem::create_directories(Path("one"));
    std::filesystem::create_directories(Path("two"));
    FakeModem named(Path("one"), "ok");
    FakeModem other(Path("two"), "ok");
    std::filesystem::create_symlink(other.device, Path("ttyQV0"));

    MakeDialer({named.device}, {Path("tty*")});
    DWORD_T index = 0;
    std::string name;
    ASSERT_EQ(tapi_->GetDeviceName(index, name), 1);
    index = 1;
    EXPECT_EQ(tapi_->GetDeviceName(index, name), 0);
    EXPECT_EQ(named.bytes(), "AT\rATI\r");
    EXPECT_EQ(other.bytes(), "") << "a port nobody named was probed";

    // With none named, the search finds the other port by its pattern.
    MakeDialer({}, {Path("tty*")});
    index = 0;
    ASSERT_EQ(tapi_->GetDeviceName(index, name), 1);
    EXPECT_EQ(name, "Quorvane Test Modem 56K");
    EXPECT_EQ(other.bytes(), "AT\rATI\r");
}

TEST_F(PagerModemTest, AModemThatCannotBeUsedLeavesTheCallToTheNextOne) {
    std::filesystem::create_directories(Path("one"));
    std::filesystem::create_directories(Path("two"));
    FakeModem silent(Path(""), "silent");
    FakeModem first(Path("one"), "ok");
    FakeModem second(Path("two"), "ok");

    // Named first: a device that is not there and one that never answers.
    MakeDialer({Path("missing"), silent.device, first.device});
    queue_->Append("Box", "555-0100", "42");
    EXPECT_TRUE(Call([&] { return first.bytes().find("ATDT") != std::string::npos; }));
    EXPECT_TRUE(log_.texts.empty()) << log_.texts[0];
    EXPECT_EQ(silent.bytes().find("ATDT"), std::string::npos);

    // A modem that answered the search but is held by another program by the time of the
    // call: it is left alone, the next one pages.
    MakeDialer({first.device, second.device});
    DWORD_T index = 0;
    std::string name;
    ASSERT_EQ(tapi_->GetDeviceName(index, name), 1);
    const std::string firstBefore = first.bytes();
    {
        PortHolder holder(first.device);
        ASSERT_TRUE(holder.held);
        queue_->Append("Box", "555-0100", "42");
        EXPECT_TRUE(Call([&] { return second.bytes().find("ATDT") != std::string::npos; }));
    }
    EXPECT_EQ(first.bytes(), firstBefore) << "a held port was written to";
    EXPECT_TRUE(log_.texts.empty());

    // The only modem held: the call is told and kept, and the port is never written to,
    // not even by the search.
    PortHolder holder(first.device);
    ASSERT_TRUE(holder.held);
    MakeDialer({first.device});
    queue_->Append("Box", "555-0100", "42");
    EXPECT_FALSE(Call([&] { return first.bytes().find("ATDT") != std::string::npos; }));
    EXPECT_EQ(first.bytes(), firstBefore);
    ASSERT_EQ(log_.texts.size(), 1u);
    EXPECT_NE(log_.texts[0].find("The page failed, the modem said : Line is already in use by a "
                                 "non-TAPI application or by another TAPI Service Provider. (" +
                                 first.device + " is in use by another program)"),
              std::string::npos)
        << log_.texts[0];
    EXPECT_EQ(queue_->calls().size(), 1u);
}

TEST_F(PagerModemTest, ADialTheModemNeverConfirmsIsAFailedPageThatStaysQueued) {
    std::filesystem::create_directories(Path("ok"));
    FakeModem confirming(Path("ok"), "ok");
    for (const char* mode : {"nodialresult", "stream"}) {
        SCOPED_TRACE(mode);
        FakeModem modem(Path(""), mode);
        // The same dialer first pages through a modem that confirms; what that call
        // confirmed must not count for the next one.
        MakeDialer({confirming.device, modem.device});
        log_.texts.clear();
        queue_->Append("Box", "555-0100", "42");
        const size_t dialled = Count(confirming.bytes(), "ATDT");
        EXPECT_TRUE(Call([&] { return Count(confirming.bytes(), "ATDT") > dialled; }));
        PortHolder holder(confirming.device);
        ASSERT_TRUE(holder.held);
        EXPECT_TRUE(log_.texts.empty());
        queue_->Append("Box", "555-0100", "42");
        EXPECT_FALSE(Call([&] { return modem.bytes().find("ATDT") != std::string::npos; }));
        // Hung up at the countdown's end, not before.
        EXPECT_GE(ticks_, 28);
        EXPECT_TRUE(waitFor([&] {
            const std::string b = modem.bytes();
            return b.size() >= 4 && b.compare(b.size() - 4, 4, "ATH\r") == 0;
        }));
        ASSERT_EQ(log_.texts.size(), 1u);
        EXPECT_NE(log_.texts[0].find("The page failed, the modem said : The modem did not confirm "
                                     "the dial (no OK after ATDT), the page may not have gone out"),
                  std::string::npos)
            << log_.texts[0];
        ASSERT_EQ(queue_->calls().size(), 1u);
        EXPECT_FALSE(tapi_->callInProgress());
        EXPECT_TRUE(timers_.Pending().empty());
    }
}

TEST_F(PagerModemTest, ACancelHangsUpAtOnceAndTheCallStaysFirstInTheQueue) {
    FakeModem modem(Path(""), "ok");
    MakeDialer({modem.device});
    queue_->Append("Box", "555-0100", "42");
    queue_->Append("Box", "555-0200", "43");
    EXPECT_FALSE(Call([&] { return modem.bytes().find("ATDT") != std::string::npos; },
                      [&] { queue_->CancelCall(); }));
    EXPECT_LT(ticks_, 5) << "the call ran on after the cancel";
    EXPECT_FALSE(queue_->KeepPaging());
    EXPECT_NE(modem.bytes().find("ATDT555,0100,,,,,,,,42#;\rATH\r"), std::string::npos);
    ASSERT_EQ(queue_->calls().size(), 2u);
    EXPECT_EQ(queue_->calls()[0].phone, "555-0100");
    ASSERT_EQ(log_.texts.size(), 1u);
    EXPECT_NE(log_.texts[0].find("The page to 555-0100 was cancelled; it stays queued for the "
                                 "next run."),
              std::string::npos);
    EXPECT_FALSE(tapi_->callInProgress());
    EXPECT_TRUE(timers_.Pending().empty());
}

TEST_F(PagerModemTest, EmptyAndOverlongNumbersAreRefusedWhole) {
    RecordingPagerDialer dialer;
    CPagerCallQueue queue(log_, dialer);
    queue.Append("Box", "", "42");
    queue.Append("Box", "   ", "1");
    queue.Append("Box", std::string(49, '5'), "1");
    queue.Append("Box", "5550100", std::string(49, '1'));
    queue.Append("Box", std::string(48, '5'), std::string(48, '1'));
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(queue.TakeNextPagerCall(), 1);
        EXPECT_FALSE(queue.MakePagerCall());
        EXPECT_TRUE(queue.KeepPaging()) << "a refused call held up the ones behind it";
    }
    EXPECT_TRUE(dialer.dialed.empty());
    ASSERT_EQ(log_.texts.size(), 4u);
    EXPECT_NE(log_.texts[0].find("The pager number is empty; the call was not made."),
              std::string::npos);
    EXPECT_NE(log_.texts[1].find("The pager number is empty"), std::string::npos);
    EXPECT_NE(log_.texts[2].find("The pager number \"" + std::string(49, '5') +
                                 "\" is longer than 48 characters; the call was not made."),
              std::string::npos);
    EXPECT_NE(log_.texts[3].find("The pager message \"" + std::string(49, '1') +
                                 "\" is longer than 48 characters"),
              std::string::npos);
    ASSERT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_TRUE(queue.MakePagerCall());
    ASSERT_EQ(dialer.dialed.size(), 1u);
    EXPECT_EQ(dialer.dialed[0],
              std::string(48, '5') + std::string(8, ',') + std::string(48, '1') + "#");
    EXPECT_EQ(queue.TakeNextPagerCall(), 0);
}

TEST_F(PagerModemTest, QueuedCallsOutliveTheProgramAndTheQueueIsBounded) {
    RecordingPagerDialer dialer;
    {
        CPagerCallQueue queue(log_, dialer);
        queue.Append("Box\tA\\t", "5551", "1");
        queue.Append("Other", "5552", "2");
    }
    {
        CPagerCallQueue queue(log_, dialer);
        ASSERT_EQ(queue.calls().size(), 2u);
        EXPECT_EQ(queue.calls()[0], (CPagerCallQueue::Call{"5551", "1", "Box\tA\\t"}));
        // The call on the line is in the store until it is done: a kill loses nothing.
        size_t storedDuringCall = 0;
        dialer.results = {64};
        dialer.whileDialing = [&] {
            storedDuringCall = CPagerCallQueue(log_, dialer).calls().size();
        };
        ASSERT_EQ(queue.TakeNextPagerCall(), 1);
        EXPECT_FALSE(queue.MakePagerCall());
        EXPECT_EQ(storedDuringCall, 2u);
        dialer.whileDialing = nullptr;
        ASSERT_EQ(queue.TakeNextPagerCall(), 1);
        EXPECT_EQ(queue.CurrentPagerNumber(), "5552");
        EXPECT_TRUE(queue.MakePagerCall());
    }
    {
        // The next start makes the failed call.
        CPagerCallQueue queue(log_, dialer);
        ASSERT_EQ(queue.calls().size(), 1u);
        EXPECT_EQ(queue.calls()[0].phone, "5551");
        ASSERT_EQ(queue.TakeNextPagerCall(), 1);
        EXPECT_TRUE(queue.MakePagerCall());
    }
    EXPECT_TRUE(CPagerCallQueue(log_, dialer).calls().empty());

    log_.texts.clear();
    {
        CPagerCallQueue queue(log_, dialer);
        for (int i = 0; i < 105; ++i) queue.Append("Box", std::to_string(5550000 + i), "1");
        EXPECT_EQ(queue.calls().size(), CPagerCallQueue::kQueueLimit);
        ASSERT_EQ(log_.texts.size(), 5u);
        EXPECT_NE(log_.texts[0].find("The pager call to 5550100 was not queued: 100 pager calls "
                                     "are waiting already."),
                  std::string::npos)
            << log_.texts[0];
    }
    EXPECT_EQ(CPagerCallQueue(log_, dialer).calls().size(), CPagerCallQueue::kQueueLimit);
}

}  // namespace

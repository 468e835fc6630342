// Pager calls through the pager dialer over a fake modem on a pseudo-terminal, and the
// pager queue's handling of calls that must not reach the modem.

#include <gtest/gtest.h>

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
    // The dialer over exactly the devices "ModemDevices" lists, with a short search.
    void MakeDialer(const std::vector<std::string>& devices) {
        Root().SetValue(settings::kModemDevices, REG_MULTI_SZ,
                        settings::EncodeMultiString(devices));
        ModemTelephony::Options options;
        options.patterns = {};
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

    // The longest call the queue keeps fits the modem's command whole.
    queue_->Append("Box", std::string(60, '9'), std::string(60, '1'));
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

}  // namespace

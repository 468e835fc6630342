#include <QUdpSocket>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <functional>

#include "app/ActivityLog.h"
#include "app/RunWindow.h"
#include "app/SettingsStore.h"
#include "fakes/ClientOwner.h"
#include "fakes/DaytimeServer.h"
#include "fakes/FakeDialUp.h"
#include "fakes/FakeHttpServer.h"
#include "fakes/FakeResolver.h"
#include "fixtures/Fixtures.h"
#include "fixtures/ManualTimerSource.h"
#include "monitors/TimeSync.h"
#include "platform/SystemClock.h"
#include "settings/Settings.h"

namespace {

using namespace settings;

// Tuesday 8 December 2026, 05:40:00 UTC.
const time_t kNow = static_cast<time_t>(UtcSeconds(2026, 12, 8, 5, 40, 0));

// The line a NIST daytime service sends for when, with its health number.
std::string DaytimeLine(int64_t when, int health = 0) {
    time_t t = static_cast<time_t>(when);
    tm u{};
    gmtime_r(&t, &u);
    char buf[128];
    std::snprintf(buf, sizeof buf,
                  "\n%05lld %02d-%02d-%02d %02d:%02d:%02d 00 0 %d 185.6 UTC(NIST) * \n",
                  static_cast<long long>(when / 86400 + 40587), u.tm_year % 100, u.tm_mon + 1,
                  u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec, health);
    return buf;
}

// An NTP server on 127.0.0.1 that answers each request as answer makes it (an empty
// answer: none). Every request is kept.
class NtpResponder : public QObject {
public:
    std::function<QByteArray(const QByteArray& request)> answer;
    std::vector<QByteArray> requests;

    NtpResponder() {
        socket_.bind(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&socket_, &QUdpSocket::readyRead, this, [this] {
            while (socket_.hasPendingDatagrams()) {
                QByteArray data(static_cast<int>(socket_.pendingDatagramSize()), 0);
                QHostAddress from;
                quint16 port = 0;
                socket_.readDatagram(data.data(), data.size(), &from, &port);
                requests.push_back(data);
                for (const QByteArray& reply : Replies(data))
                    socket_.writeDatagram(reply, from, port);
            }
        });
    }
    int port() const { return socket_.localPort(); }
    std::string Url() const { return "ntp://127.0.0.1:" + std::to_string(port()); }

    // A server's answer to request: mode 4, the given stratum and leap indicator, the
    // request's transmit time as origin, and serverMs as both its receive and transmit time.
    static QByteArray Reply(const QByteArray& request, int64_t serverMs, int stratum = 2,
                            int leap = 0, int mode = 4) {
        QByteArray r(48, 0);
        r[0] = static_cast<char>((leap << 6) | (4 << 3) | mode);
        r[1] = static_cast<char>(stratum);
        for (int i = 0; i < 8; ++i) r[24 + i] = request.size() >= 48 ? request[40 + i] : 0;
        uint64_t seconds = static_cast<uint64_t>(serverMs / 1000 + 2208988800LL);
        uint64_t fraction = (static_cast<uint64_t>(serverMs % 1000) << 32) / 1000 + 1;
        uint64_t ts = (seconds << 32) | (fraction & 0xFFFFFFFFu);
        for (int i = 0; i < 8; ++i) {
            r[32 + i] = static_cast<char>(ts >> (56 - 8 * i));
            r[40 + i] = static_cast<char>(ts >> (56 - 8 * i));
        }
        return r;
    }
    // Several datagrams for one request (a forgery first, then the answer).
    std::function<std::vector<QByteArray>(const QByteArray&)> replies;

private:
    std::vector<QByteArray> Replies(const QByteArray& request) {
        if (replies) return replies(request);
        QByteArray one = answer ? answer(request) : QByteArray();
        if (one.isEmpty()) return {};
        return {one};
    }
    QUdpSocket socket_;
};

class TimeSyncTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        clock_ = std::make_shared<ManualClock>(kNow);
        SystemClock::Install(clock_);
        timers_ = std::make_unique<ManualTimerSource>();
        sync_ = std::make_unique<CTimeSync>(log_);
        sync_->SetRunWindow(&run_);
    }
    void TearDown() override {
        sync_.reset();
        timers_.reset();
        Resolver::Install(nullptr);
        SystemClock::Install(nullptr);
        SandboxTest::TearDown();
    }
    void Server(const std::string& url) { Root().SetString(kTimeServerUrl, url); }
    uint32_t Run() {
        run_.done.clear();
        sync_->Start({});
        EXPECT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(20)));
        return run_.done.empty() ? 0xFFFFFFFF : run_.done[0];
    }
    std::vector<LogRecord> Records() {
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        for (auto& r : records) r.text = r.text.substr(2);
        return records;
    }
    std::vector<std::string> Texts() {
        std::vector<std::string> texts;
        for (const auto& r : Records()) texts.push_back(r.text);
        return texts;
    }
    // Runs against a daytime service saying line; the times the clock was set to.
    std::vector<int64_t> RunWith(const std::string& line) {
        daytime_.line = line;
        Server(daytime_.Url());
        clock_->settings.clear();
        EXPECT_EQ(Run(), 0u);
        return clock_->settings;
    }

    // The daytime service as the records name it.
    std::string Name() const { return "127.0.0.1:" + std::to_string(daytime_.port()); }
    std::string SetBy(const std::string& how) const {
        return "The clock was set " + how + " to the time server " + Name() + ".";
    }

    std::shared_ptr<ManualClock> clock_;
    std::unique_ptr<ManualTimerSource> timers_;
    DaytimeServer daytime_;
    CActivityLog log_;
    RunStub run_;
    std::unique_ptr<CTimeSync> sync_;
    const std::string notCorrect_ = "The time server did not respond correctly. It said : ";
    const std::string tooFar_ =
        "The system's time is off by more than thirty minutes.\r\nPlease check and set the time "
        "by hand.";
};

TEST(DaytimeLine, ReadsTheTenNumbersAndCompletesTheYear) {
    DaytimeReading r = ParseDaytimeLine("\n61017 26-12-08 05:40:12 00 0 0 185.6 UTC(NIST) * \n");
    EXPECT_EQ(r.fields, 10);
    ASSERT_TRUE(r.valid);
    EXPECT_EQ(r.mjd, 61017);
    EXPECT_EQ(r.year, 2026);
    EXPECT_EQ(r.health, 0);
    EXPECT_EQ(r.utcSeconds, kNow + 12);

    EXPECT_EQ(ParseDaytimeLine("50000 98-02-28 23:59:59 00 0 0").year, 1998);
    EXPECT_EQ(ParseDaytimeLine("50000 05-02-28 23:59:59 00 0 0").year, 2005);
    EXPECT_EQ(ParseDaytimeLine("50000 90-02-28 23:59:59 00 0 0").year, 2090);
    EXPECT_EQ(ParseDaytimeLine("50000 91-02-28 23:59:59 00 0 0").year, 1991);
    EXPECT_EQ(ParseDaytimeLine("50000 2026-02-28 23:59:59 00 0 0").year, 2026);
    EXPECT_EQ(ParseDaytimeLine("50000 26-12-08 05:40:00 00 0 3").health, 3);

    // Fields that cannot be: the line is not a time.
    for (const char* bad :
         {"50000 26-13-08 05:40:00 00 0 0", "50000 26-02-29 05:40:00 00 0 0",
          "50000 26-12-08 24:00:00 00 0 0", "50000 26-12-08 05:60:00 00 0 0",
          "50000 26-12-08 05:40:61 00 0 0", "50000 -5-12-08 05:40:00 00 0 0",
          "50000 26-12-00 05:40:00 00 0 0", "50000 1001-12-08 05:40:00 00 0 0",
          "50000 26-12-08 05:40:4294967308 00 0 0", "50000 26-12-08 05:40:00 00 0 99999999999"}) {
        r = ParseDaytimeLine(bad);
        EXPECT_EQ(r.fields, 10) << bad;
        EXPECT_FALSE(r.valid) << bad;
    }
    EXPECT_TRUE(ParseDaytimeLine("50000 24-02-29 05:40:00 00 0 0").valid);  // a leap year
    EXPECT_EQ(ParseDaytimeLine("50000 26-12-08 05:40:00 00 0").fields, 9);
    EXPECT_EQ(ParseDaytimeLine("50000 26/12/08 05:40:00 00 0 0").fields, 2);
    EXPECT_EQ(ParseDaytimeLine("").fields, 0);
    // Whatever follows a number that is not the next separator ends the reading there.
    EXPECT_EQ(ParseDaytimeLine(std::string_view("50000 26-12\0-08", 15)).fields, 3);
}

TEST(TimeServerName, IsTheHostAndAPortOnlyWhereItIsNotTheUsualOne) {
    const std::pair<const char*, const char*> cases[] = {
        {"http://time.nist.gov:13/", "time.nist.gov"},
        {"http://time.example", "time.example"},
        {"https://time.example:443/now", "time.example"},
        {"http://127.0.0.1:4013/", "127.0.0.1:4013"},
        {"http://[::1]:8013/", "[::1]:8013"},
        {"ntp://pool.ntp.org", "pool.ntp.org"},
        {"NTP://pool.ntp.org:123/", "pool.ntp.org"},
        {"ntp://[::1]:1123", "[::1]:1123"},
        {"ntp://192.0.2.7:13", "192.0.2.7:13"},
    };
    for (auto [url, name] : cases) EXPECT_EQ(TimeServerName(url), name) << url;
}

TEST_F(TimeSyncTest, AHealthyServiceSetsTheClockWithinThirtyMinutesOnly) {
    // 30 minutes 59 seconds either way is 30 whole minutes: set, to the second and 500 ms.
    EXPECT_EQ(RunWith(DaytimeLine(kNow + 30 * 60 + 59)),
              std::vector<int64_t>{(kNow + 30 * 60 + 59) * 1000LL + 500});
    clock_->Set(kNow);
    EXPECT_EQ(RunWith(DaytimeLine(kNow - 30 * 60 - 59)),
              std::vector<int64_t>{(kNow - 30 * 60 - 59) * 1000LL + 500});
    // Each setting says by how much (the service's time carries half a second more).
    EXPECT_EQ(Texts(), (std::vector<std::string>{SetBy("forward by 30 minutes 59 seconds"),
                                                 SetBy("back by 30 minutes 58 seconds")}));
    ASSERT_EQ(Records().size(), 2u);
    EXPECT_EQ(Records()[0].icon, 133u);
    EXPECT_FALSE(log_.bar().visible) << "a clock set is no news to pop up";
    EXPECT_EQ(sync_->title(),
              "Updating the current system time with National Institute of Standards && "
              "Technology");
    EXPECT_EQ(sync_->lines(), (std::vector<std::string>{"Done.", ""}));
    EXPECT_EQ(daytime_.connections, 2);

    // 31 minutes: told, and the clock is left alone.
    clock_->Set(kNow);
    EXPECT_TRUE(RunWith(DaytimeLine(kNow + 31 * 60)).empty());
    EXPECT_TRUE(RunWith(DaytimeLine(kNow - 31 * 60)).empty());
    auto records = Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[2].text,
              tooFar_ + " The system's time is 31 minutes behind the time server " + Name() + ".");
    EXPECT_EQ(records[2].icon, 155u);
    EXPECT_EQ(
        records[3].text,
        tooFar_ + " The system's time is 31 minutes ahead of the time server " + Name() + ".");
    EXPECT_EQ(clock_->Now(), kNow);
}

TEST_F(TimeSyncTest, AnUnhealthyServiceIsPassedOverInSilence) {
    EXPECT_TRUE(RunWith(DaytimeLine(kNow + 5, 2)).empty());
    EXPECT_TRUE(RunWith(DaytimeLine(kNow + 5, 1)).empty());
    // Its date need not make sense then either.
    EXPECT_TRUE(RunWith("61017 26-13-08 05:40:12 00 0 2 185.6 UTC(NIST) * \n").empty());
    EXPECT_TRUE(Texts().empty());
}

TEST_F(TimeSyncTest, LinesThatAreNoTimeAreQuoted) {
    std::string nine = "61017 26-12-08 05:40:12 00 0";
    EXPECT_TRUE(RunWith("\n" + nine + "\r\n").empty());
    std::string month13 = "61017 26-13-08 05:40:12 00 0 0 185.6 UTC(NIST) *";
    EXPECT_TRUE(RunWith(month13 + " \n").empty());
    // A line of any length is quoted short enough that the server's name is kept.
    std::string longLine = "61017 26-12-08 " + std::string(300, 'x');
    EXPECT_TRUE(RunWith(longLine).empty());
    // Nor does a control character in it cut the record short.
    EXPECT_TRUE(RunWith(std::string("\x01junk\0more\r\nlines\n", 18)).empty());
    // An answer in HTTP is no daytime line: nothing follows the colon.
    FakeHttpServer web;
    web.pages["/"] = FakeHttpServer::Ok("", DaytimeLine(kNow + 5));
    Server(web.Url("/"));
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(clock_->settings.empty());
    const std::string tail = " (time server " + Name() + ")";
    EXPECT_EQ(Texts(), (std::vector<std::string>{
                           notCorrect_ + nine + tail, notCorrect_ + month13 + tail,
                           notCorrect_ + longLine.substr(0, 120) + "..." + tail,
                           notCorrect_ + "?junk?more  lines" + tail,
                           notCorrect_ + "an HTTP reply with status 200 (time server 127.0.0.1:" +
                               std::to_string(web.port()) + ")"}));
}

TEST_F(TimeSyncTest, AFarFutureYearCannotWrapIntoTheWindow) {
    // 2^32 seconds ahead, in a three-digit year: computed in 32 bits the difference is
    // nothing at all and the clock would be set to the twenty-second century.
    int64_t wrapped = kNow + (int64_t{1} << 32);
    time_t t = static_cast<time_t>(wrapped);
    tm u{};
    gmtime_r(&t, &u);
    ASSERT_EQ(u.tm_year + 1900, 2163);
    char line[96];
    std::snprintf(line, sizeof line, "70000 %03d-%02d-%02d %02d:%02d:%02d 00 0 0 UTC(NIST) *\n",
                  u.tm_year, u.tm_mon + 1, u.tm_mday, u.tm_hour, u.tm_min, u.tm_sec);
    EXPECT_TRUE(RunWith(line).empty());
    EXPECT_EQ(Texts(),
              std::vector<std::string>{tooFar_ +
                                       " The system's time is 49710 days 6 hours behind the time "
                                       "server " +
                                       Name() + "."});
}

TEST_F(TimeSyncTest, AClockLeftAloneIsToldOnceADayAndNotAsAnError) {
    const std::string noRight =
        "The clock was left alone: this program may not set it (that takes the CAP_SYS_TIME "
        "capability). ";
    const std::string kept = "The clock was left alone: it is kept by the time service chronyd. ";
    const std::string once = " This is told once a day.";
    const std::string chronyd = "the time service chronyd";
    auto off = [&](const std::string& how) {
        return "The system's time " + how + " the time server " + Name() + ".";
    };
    struct Case {
        const char* what;
        time_t at;  // the computer's time at the run
        int setError;
        std::string keeper;
        int serviceAhead;    // seconds
        bool otherProgram;   // a panel that remembers nothing itself
        std::string record;  // empty: none
        uint32_t icon;
        bool popUp;
    };
    const Case cases[] = {
        {"agrees, no right", kNow, EPERM, "", 0, false, noRight + off("agrees with") + once, 133,
         false},
        {"an hour later", kNow + 3600, EPERM, "", 12, false, "", 0, false},
        {"kept, another program", kNow + 7200, 0, chronyd, 0, true, "", 0, false},
        {"the next day", kNow + 86400, EPERM, "", 12, false,
         noRight + off("is 12 seconds behind") + once, 133, false},
        {"the next day, another program", kNow + 86460, EPERM, "", 5, true, "", 0, false},
        {"kept, the day after", kNow + 2 * 86400, 0, chronyd, -1, false,
         kept + off("is 1 second ahead of") + once, 133, false},
        {"set at last", kNow + 2 * 86400 + 60, 0, "", 65, false,
         SetBy("forward by 1 minute 5 seconds"), 133, false},
        {"set again", kNow + 2 * 86400 + 120, 0, "", -2, false, SetBy("back by 1 second"), 133,
         false},
        {"a setting that fails", kNow + 2 * 86400 + 180, EINVAL, "", -1, false,
         std::string("The clock could not be set: ") + std::strerror(EINVAL) + ". " +
             off("is 1 second ahead of"),
         155, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.otherProgram) {
            sync_ = std::make_unique<CTimeSync>(log_);
            sync_->SetRunWindow(&run_);
        }
        clock_->Set(c.at);
        clock_->setError = c.setError;
        clock_->keeper = c.keeper;
        log_.SetBarVisible(false);
        const size_t before = Records().size();
        RunWith(DaytimeLine(c.at + c.serviceAhead));
        auto records = Records();
        if (c.record.empty()) {
            EXPECT_EQ(records.size(), before);
            continue;
        }
        ASSERT_EQ(records.size(), before + 1);
        EXPECT_EQ(records.back().text, c.record);
        EXPECT_EQ(records.back().icon, c.icon);
        EXPECT_EQ(log_.bar().visible, c.popUp);
    }
    // What is remembered is when it was last told, in the store every program shares.
    EXPECT_EQ(ReadRootDword(kClockLeftAloneLogged, 0), static_cast<DWORD>(kNow + 2 * 86400));
}

TEST_F(TimeSyncTest, ALineDrippedAByteAtATimeIsHeardOut) {
    daytime_.drip = true;
    EXPECT_EQ(RunWith(DaytimeLine(kNow + 3)), std::vector<int64_t>{(kNow + 3) * 1000LL + 500});
    EXPECT_EQ(Texts(), std::vector<std::string>{SetBy("forward by 3 seconds")});
}

TEST_F(TimeSyncTest, ALineWithoutItsEndIsHeardWhenTheServiceHangsUp) {
    EXPECT_EQ(RunWith("61017 26-12-08 05:40:12 00 0 0 185.6 UTC(NIST) *"),
              std::vector<int64_t>{(kNow + 12) * 1000LL + 500});
    EXPECT_EQ(Texts(), std::vector<std::string>{SetBy("forward by 12 seconds")});
}

TEST_F(TimeSyncTest, ALineThatStopsShortAndFallsSilentIsQuotedAtTheTimeOut) {
    daytime_.hold = true;
    daytime_.deferred = true;
    daytime_.line = "61017 26-12-08 05:40:12 00 0";
    Server(daytime_.Url());
    run_.done.clear();
    sync_->Start({});
    ASSERT_TRUE(waitFor([&] { return daytime_.requests == 1; }));
    // The reply timer starts anew when the line comes in: a second later than it first ran.
    auto replyTimer = [&] {
        for (const auto& t : timers_->Pending())
            if (t.window == sync_.get() && t.id == kHttpTimer) return t.dueIn;
        return int64_t{-1};
    };
    ASSERT_EQ(replyTimer(), 30000);
    timers_->Advance(1000);
    daytime_.Release();
    ASSERT_TRUE(waitFor([&] { return replyTimer() == 30000; }));
    EXPECT_TRUE(run_.done.empty());
    timers_->Advance(30000);
    ASSERT_TRUE(waitFor([&] { return !run_.done.empty(); }));
    EXPECT_EQ(Texts(), std::vector<std::string>{notCorrect_ + "61017 26-12-08 05:40:12 00 0" +
                                                " (time server " + Name() + ")"});
}

TEST_F(TimeSyncTest, FailuresAreReportedInTheErrorFormAndTheRunGoesOn) {
    auto resolver = std::make_shared<FakeResolver>();
    Resolver::Install(resolver);
    const std::string head = "An error occured while retrieving the current time from ";

    // No address set: the built-in service, looked up (and here not found).
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(sync_->timeServerUrl(), "http://time.nist.gov:13/");
    EXPECT_EQ(resolver->asked, std::vector<std::string>{"time.nist.gov"});

    Server("ftp://127.0.0.1/");
    EXPECT_EQ(Run(), 0u);
    Server("ntp://[::1/");
    EXPECT_EQ(Run(), 0u);
    Server("ntp://nowhere.invalid:123");
    EXPECT_EQ(Run(), 0u);
    Server("http://127.0.0.1/" + std::string(1100, 'x'));
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(clock_->settings.empty());
    EXPECT_EQ(
        Texts(),
        (std::vector<std::string>{
            head + "http://time.nist.gov:13/.   The error message was : The Internet address for "
                   "time.nist.gov could not be found.  Verify the server name and try again.",
            head + "ftp://127.0.0.1/.   The error message was : The link is not formed correctly.",
            head + "ntp://[::1/.   The error message was : The link is not formed correctly.",
            head + "ntp://nowhere.invalid:123.   The error message was : The Internet address for "
                   "nowhere.invalid could not be found.  Verify the server name and try again.",
            head + "the TimeServerUrl setting.   The error message was : The link is not formed "
                   "correctly."}));
    EXPECT_EQ(run_.done, std::vector<uint32_t>{0});
}

TEST_F(TimeSyncTest, ACancelEndsTheStepWithItsCode) {
    daytime_.silent = true;
    Server(daytime_.Url());
    run_.done.clear();
    sync_->Start({});
    ASSERT_TRUE(waitFor([&] { return daytime_.connections == 1; }));
    EXPECT_EQ(sync_->line1(), "Retrieving : ");
    EXPECT_EQ(sync_->line2(), daytime_.Url());
    sync_->Cancel(7);
    ASSERT_TRUE(waitFor([&] { return !run_.done.empty(); }));
    EXPECT_EQ(run_.done, std::vector<uint32_t>{7});
    EXPECT_EQ(sync_->lines(), (std::vector<std::string>{"Done.", ""}));
    EXPECT_FALSE(sync_->running());
    EXPECT_TRUE(DrainMessages());
    EXPECT_EQ(run_.done.size(), 1u);
}

TEST_F(TimeSyncTest, AnNtpServerIsAskedOverUdpAndItsAnswerChecked) {
    NtpResponder ntp;
    Server(ntp.Url());
    // A forgery that does not carry our request's time comes first and is passed over.
    ntp.replies = [](const QByteArray& request) {
        QByteArray forged = NtpResponder::Reply(request, (kNow + 1000) * 1000LL);
        forged[24] = static_cast<char>(forged[24] ^ 0x5A);
        return std::vector<QByteArray>{forged, NtpResponder::Reply(request, kNow * 1000LL + 10250)};
    };
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(ntp.requests.size(), 1u);
    ASSERT_EQ(ntp.requests[0].size(), 48);
    EXPECT_EQ(static_cast<uint8_t>(ntp.requests[0][0]), 0x23u);  // version 4, client
    // The manual clock stands still, so the offset is exactly the server's lead.
    EXPECT_EQ(clock_->settings, std::vector<int64_t>{kNow * 1000LL + 10250});
    const std::string server = "127.0.0.1:" + std::to_string(ntp.port());
    EXPECT_EQ(Texts(), std::vector<std::string>{"The clock was set forward by 10 seconds to the "
                                                "time server " +
                                                server + "."});

    // Not synchronised (leap 3), stratum 0 and 16: passed over in silence.
    clock_->Set(kNow);
    clock_->settings.clear();
    for (auto [stratum, leap] : {std::pair{2, 3}, std::pair{0, 0}, std::pair{16, 0}}) {
        ntp.replies = nullptr;
        ntp.answer = [stratum = stratum, leap = leap](const QByteArray& request) {
            return NtpResponder::Reply(request, kNow * 1000LL + 5000, stratum, leap);
        };
        EXPECT_EQ(Run(), 0u);
    }
    EXPECT_TRUE(clock_->settings.empty());
    EXPECT_EQ(Texts().size(), 1u);

    // 31 minutes off, and an answer that is not a server's.
    ntp.answer = [](const QByteArray& request) {
        return NtpResponder::Reply(request, (kNow + 31 * 60) * 1000LL);
    };
    EXPECT_EQ(Run(), 0u);
    ntp.answer = [](const QByteArray& request) {
        return NtpResponder::Reply(request, kNow * 1000LL, 2, 0, 3);
    };
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(clock_->settings.empty());
    auto texts = Texts();
    texts.erase(texts.begin());
    EXPECT_EQ(
        texts,
        (std::vector<std::string>{
            tooFar_ + " The system's time is 31 minutes behind the time server " + server + ".",
            notCorrect_ + "NTP mode 3, stratum 2, leap indicator 0 (time server " + server + ")"}));
}

TEST_F(TimeSyncTest, AnNtpServerThatStaysSilentIsAskedAgainThenReported) {
    NtpResponder ntp;  // answers nothing
    Server(ntp.Url());
    run_.done.clear();
    sync_->Start({});
    for (size_t asked = 1; asked <= 3; ++asked) {
        ASSERT_TRUE(waitFor([&] { return ntp.requests.size() == asked; }));
        ASSERT_TRUE(DrainMessages());
        EXPECT_TRUE(run_.done.empty());
        timers_->Advance(5000);
    }
    ASSERT_TRUE(waitFor([&] { return !run_.done.empty(); }));
    EXPECT_EQ(ntp.requests.size(), 3u);
    // Each attempt carries a transmit time of its own.
    EXPECT_NE(ntp.requests[0].mid(40, 8), ntp.requests[1].mid(40, 8));
    EXPECT_EQ(Texts(), std::vector<std::string>{
                           "An error occured while retrieving the current time from " + ntp.Url() +
                           ".   The error message was : The time server 127.0.0.1:" +
                           std::to_string(ntp.port()) +
                           " did not respond to our request, please try again later."});
}

// The clock step in a whole schedule run: before the monitors, and the run goes on after it.
class TimeStepInARunTest : public SandboxTest {
protected:
    void TearDown() override {
        SystemClock::Install(nullptr);
        SandboxTest::TearDown();
    }
};

TEST_F(TimeStepInARunTest, TheClockIsSetBeforeTheMonitorsRunAndWithoutAny) {
    for (bool withMonitor : {true, false}) {
        SCOPED_TRACE(withMonitor ? "with a monitor" : "the clock only");
        auto clock = std::make_shared<ManualClock>(kNow);
        SystemClock::Install(clock);
        DaytimeServer daytime;
        daytime.line = DaytimeLine(kNow + 40);
        Root().SetString(kTimeServerUrl, daytime.Url());
        ScheduleRecord schedule;
        schedule.name = withMonitor ? "Daily" : "Clock";
        schedule.updateTime = 1;
        ASSERT_TRUE(CreateEventRecord(schedule));
        if (withMonitor) AddEvent("Site", kWebMonitor, "Daily");

        Timeline timeline;
        CActivityLog log;
        FakePagerQueue pager(&timeline);
        CRunWindow run(log, nullptr, pager);
        run.SetHangUpWait(1);
        run.SetPanel(CRunWindow::kStepTimeSync, std::make_unique<CTimeSync>(log));
        auto web = std::make_unique<RecordingPanel>("web", &timeline);
        RecordingPanel* webPanel = web.get();
        run.SetPanel(CRunWindow::kStepWeb, std::move(web));
        run.SetPanel(CRunWindow::kStepMailQueue,
                     std::make_unique<RecordingPanel>("queue", &timeline));
        // The web step sees the clock already set.
        std::vector<time_t> clockAtWeb;
        QObject::connect(webPanel, &CPanel::visibilityChanged, [&](bool shown) {
            if (shown) clockAtWeb.push_back(clock->Now());
        });

        EXPECT_EQ(run.StartRun(schedule.name), 1);
        ASSERT_TRUE(waitFor([&] { return !run.running(); }, std::chrono::seconds(20)));
        EXPECT_EQ(clock->settings, std::vector<int64_t>{(kNow + 40) * 1000LL + 500});
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records.back().text,
                  "\r\nThe clock was set forward by 40 seconds to the time server 127.0.0.1:" +
                      std::to_string(daytime.port()) + ".");
        if (withMonitor) {
            ASSERT_FALSE(clockAtWeb.empty());
            EXPECT_EQ(clockAtWeb[0], kNow + 40);
            EXPECT_EQ(timeline, (Timeline{"web Site", "queue"}));
        } else {
            EXPECT_TRUE(timeline.empty()) << "nothing but the clock";
        }
    }
}

TEST(NtpTimestamps, BothErasAreRead) {
    // 1 January 1970 in era 0; 7 February 2036 06:28:16 begins era 1.
    EXPECT_EQ(NtpToUnixMs(uint64_t{2208988800} << 32), 0);
    EXPECT_EQ(NtpToUnixMs(uint64_t{0} << 32), int64_t{2085978496} * 1000);
    EXPECT_EQ(NtpToUnixMs((uint64_t{2208988800} << 32) | 0x80000000u), 500);
    NtpAnswer a;
    uint8_t packet[48] = {0xE4, 16};
    ASSERT_TRUE(ParseNtpPacket(packet, 48, &a));
    EXPECT_EQ(a.leap, 3);
    EXPECT_EQ(a.mode, 4);
    EXPECT_EQ(a.stratum, 16);
    EXPECT_FALSE(ParseNtpPacket(packet, 47, &a));
}

}  // namespace

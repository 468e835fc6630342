#include <signal.h>

#include <QProcess>
#include <fstream>

#include "app/Scheduler.h"
#include "app/SettingsStore.h"
#include "fixtures/Fixtures.h"
#include "platform/SystemClock.h"

namespace {

using namespace settings;

class HeadlessTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        setenv("FAKE_NMCLI_DIR", dir_->path().toStdString().c_str(), 1);
        std::ofstream(Path("entries")) << "ISP\n";
        Root().SetString(kDialUpProgram, FAKE_NMCLI);
    }
    void Schedule(const std::string& name, DWORD interval, const std::string& phoneBook = {}) {
        ScheduleRecord r;
        r.name = name;
        r.interval = interval;
        ASSERT_TRUE(CreateEventRecord(r));
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath(name));
        key.SetString("PhoneBook", phoneBook);
    }
    void Monitor(const std::string& name, const std::string& schedule) {
        AddEvent(name, 4, schedule);
    }
    QStringList Args(std::initializer_list<const char*> more) {
        QStringList args = {"--data-dir", QString::fromStdString(Path("data")), "--registry",
                            QString::fromStdString(store_->Path())};
        for (const char* a : more) args << a;
        return args;
    }
    struct Result {
        int code = -1;
        std::string out, err;
    };
    Result Run(std::initializer_list<const char*> more) {
        QProcess p;
        p.start(QUORVANE_BIN, Args(more));
        p.waitForFinished(60000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
    }
};

TEST_F(HeadlessTest, SchedulesAreListedWithTheirNextRunAndMonitors) {
    Schedule("Hourly", 60);
    Schedule("Never", 2000);
    Monitor("Site", "Hourly");
    Monitor("Mail", "Hourly");
    time_t before = SystemClock::Get().Now();
    Result r = Run({"--schedules"});
    time_t after = SystemClock::Get().Now();
    EXPECT_EQ(r.code, 0) << r.err;
    auto line = [](time_t now) {
        time_t when = 0;
        CScheduler::NextRunTimeAfter("Hourly", now, &when);
        char buf[32];
        tm local{};
        localtime_r(&when, &local);
        strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &local);
        return "Hourly\t" + std::string(buf) + "\tMail, Site\nNever\t-\t\n";
    };
    EXPECT_TRUE(r.out == line(before) || r.out == line(after)) << r.out;
}

TEST_F(HeadlessTest, RunPrintsTheRecordsOfTheRunAndEnds) {
    Schedule("Daily", 60, "Nope");
    Monitor("Site", "Daily");
    Result r = Run({"--run", "Daily"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("\t155\t0\t\tWhile starting event Daily an error occured getting "
                         "information about the Internet connection to Nope.  The error message "
                         "was :Cannot find the phone book entry.\n"),
              std::string::npos)
        << r.out;

    Schedule("Empty", 60);
    r = Run({"--run", "Empty"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Empty has no monitors"), std::string::npos) << r.err;

    r = Run({"--run"});
    EXPECT_EQ(r.code, 2);
}

TEST_F(HeadlessTest, SigtermCancelsTheRunningScheduleAndEndsCleanly) {
    // Both fall due at the next minute: "A" fails at once and logs, then "B" hangs dialing.
    Schedule("A", 1, "Nope");
    Schedule("B", 1, "ISP");
    Monitor("A site", "A");
    Monitor("B site", "B");
    std::ofstream(Path("up-delay")) << "120";

    QProcess p;
    p.start(QUORVANE_BIN, Args({"--headless"}));
    ASSERT_TRUE(p.waitForStarted(10000));
    ASSERT_TRUE(waitFor(
        [&] {
            return ReadFileBytes(Path("calls")).find("connection up id ISP") != std::string::npos;
        },
        std::chrono::seconds(90)))
        << "no run started within a minute and a half";
    std::string out;
    waitFor([&] {
        out += p.readAllStandardOutput().toStdString();
        return out.find("While starting event A") != std::string::npos;
    });
    EXPECT_NE(out.find("\t155\t0\t\tWhile starting event A an error occured"), std::string::npos)
        << "each record is printed as it is written: " << out;

    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_NE(ReadFileBytes(Path("calls")).find("connection down id ISP"), std::string::npos)
        << "the cancelled run hangs up";
}

}  // namespace

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "app/Scheduler.h"
#include "app/SettingsStore.h"
#include "fakes/NotificationService.h"
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
        // The children's temporary files and sockets go where the test can see them.
        QDir().mkpath(QString::fromStdString(Path("tmp")));
        QDir().mkpath(QString::fromStdString(Path("runtime")));
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("TMPDIR", QString::fromStdString(Path("tmp")));
        env_.insert("XDG_RUNTIME_DIR", QString::fromStdString(Path("runtime")));
        env_.insert("QT_QPA_PLATFORM", "offscreen");
    }
    // What the children left in their temporary folder.
    QStringList TempFiles() {
        return QDir(QString::fromStdString(Path("tmp")))
            .entryList(QDir::Files | QDir::NoDotAndDotDot);
    }
    void Start(QProcess& p, std::initializer_list<const char*> more) {
        p.setProcessEnvironment(env_);
        p.start(QUORVANE_BIN, Args(more));
        ASSERT_TRUE(p.waitForStarted(10000));
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
    Result Run(std::initializer_list<const char*> more) { return Run(Args(more), env_); }
    Result Run(const QStringList& args, const QProcessEnvironment& env) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QUORVANE_BIN, args);
        p.waitForFinished(60000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
    }
    QProcessEnvironment env_;
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

TEST_F(HeadlessTest, SchedulesKeepOneRecordALineAndTheNoScheduleNamesOwnNothing) {
    Schedule("Tab\there", 2000);
    Schedule("Line\nfeed", 2000);
    Monitor("Site\r1", "Tab\there");
    Monitor("Site 2", "Tab\there");
    // A schedule under the name of "no schedule", as another program may write it: the
    // monitors that belong to no schedule are not its.
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), EventPath("<None>"), kEventClass), ERROR_SUCCESS);
    key.SetDword(kType, kSchedule);
    key.SetDword(kEnabled, 1);
    key.SetDword("Interval", 60);
    Monitor("Loose", "<None>");
    Result r = Run({"--schedules"});
    EXPECT_EQ(r.code, 0) << r.err;
    std::vector<std::string> lines;
    for (const QString& line : QString::fromStdString(r.out).split('\n', Qt::SkipEmptyParts))
        lines.push_back(line.toStdString());
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"<None>\t-\t", "Line\\nfeed\t-\t",
                                               "Tab\\there\t-\tSite\\r1, Site 2"}))
        << r.out;
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
    EXPECT_EQ(TempFiles(), QStringList()) << "no run leaves a temporary file behind";
}

TEST_F(HeadlessTest, SigtermCancelsTheRunningScheduleAndEndsCleanly) {
    // Both fall due at the next minute: "A" fails at once and logs, then "B" hangs dialing.
    Schedule("A", 1, "Nope");
    Schedule("B", 1, "ISP");
    Monitor("A site", "A");
    Monitor("B site", "B");
    std::ofstream(Path("up-delay")) << "120";
    // The scheduler without a window shows its pop-up records on the desktop too.
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << "dbus-daemon (scripts/setup installs it)";
    RecordingNotifications service;
    QDBusConnection serviceBus = bus.Connect();
    ASSERT_TRUE(
        serviceBus.registerObject(kNotificationsPath, &service, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(serviceBus.registerService(kNotificationsInterface));

    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
    p.setProcessEnvironment(env);
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
    ASSERT_TRUE(waitFor([&] { return !service.calls.empty(); }));
    EXPECT_EQ(service.calls[0].summary, "Quorvane: error");
    EXPECT_TRUE(service.calls[0].body.startsWith("While starting event A an error occured"))
        << service.calls[0].body.toStdString();

    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_NE(ReadFileBytes(Path("calls")).find("connection down id ISP"), std::string::npos)
        << "the cancelled run hangs up";
}

TEST_F(HeadlessTest, LoggingOutOfTheDesktopCancelsTheRunAndHangsUp) {
    Schedule("B", 1, "ISP");
    Monitor("B site", "B");
    std::ofstream(Path("up-delay")) << "120";
    QProcess p;
    Start(p, {});  // the desktop program, off screen
    ASSERT_TRUE(waitFor(
        [&] {
            return ReadFileBytes(Path("calls")).find("connection up id ISP") != std::string::npos;
        },
        std::chrono::seconds(90)))
        << "no run started within a minute and a half";
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << "not killed by the signal";
    EXPECT_NE(ReadFileBytes(Path("calls")).find("connection down id ISP"), std::string::npos)
        << "the cancelled run hangs up";
}

// --run: the schedule's name, signals ---------------------------------------------------

TEST_F(HeadlessTest, RunFindsTheStoredScheduleWhateverTheCaseAndRefusesAnUnknownOne) {
    Schedule("Daily", 60, "Nope");
    Monitor("Site", "Daily");
    Monitor("Other site", "Daily");
    Result r = Run({"--run", "dAILY"});
    EXPECT_EQ(r.code, 0) << r.err;
    // The run is the stored schedule's, under its stored name, with its monitors.
    EXPECT_NE(r.out.find("While starting event Daily an error occured"), std::string::npos)
        << r.out << r.err;
    EXPECT_EQ(r.err.find("no monitors"), std::string::npos) << r.err;
    // By the store's own rule of case, in every script and under every locale (Turkish
    // makes "I" no capital of "i").
    Schedule("Günlük", 60);
    QProcessEnvironment turkish = env_;
    turkish.insert("LC_ALL", "tr_TR.UTF-8");
    for (const char* name : {"GÜNLÜK", "DAILY"}) {
        Result t = Run(Args({"--run", name}), turkish);
        EXPECT_EQ(t.code, 0) << name << ": " << t.err;
    }

    r = Run({"--run", "Nowhere"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no schedule named Nowhere"), std::string::npos) << r.err;
    // The list's first entry is no schedule either.
    EXPECT_EQ(Run({"--run", "<None>"}).code, 1);
    // Nor is a record that a hand-edited store calls "<None" (the deleted-schedule mark).
    AddEvent("<None", 1, "");
    r = Run({"--run", "<none"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no schedule named <none"), std::string::npos) << r.err;
}

TEST_F(HeadlessTest, ASignalCancelsTheRunHangsUpAndLeavesNoTemporaryFile) {
    // A web server that takes the connection and never answers keeps the monitor busy.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    Schedule("Daily", 60, "ISP");
    WebMonitorRecord web;
    web.name = "Site";
    web.site = "http://127.0.0.1:" + std::to_string(silent.serverPort()) + "/";
    web.scheduledEvent = "Daily";
    ASSERT_TRUE(CreateEventRecord(web));

    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        std::remove(Path("calls").c_str());
        while (silent.hasPendingConnections()) silent.nextPendingConnection()->deleteLater();
        QProcess p;
        Start(p, {"--run", "Daily"});
        ASSERT_TRUE(
            waitFor([&] { return silent.hasPendingConnections(); }, std::chrono::seconds(30)))
            << "the monitor never reached the server";
        ::kill(static_cast<pid_t>(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(30000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 128 + signal);
        EXPECT_NE(ReadFileBytes(Path("calls")).find("connection down id ISP"), std::string::npos)
            << "the cancelled run hangs up";
        EXPECT_EQ(TempFiles(), QStringList());
    }
}

TEST_F(HeadlessTest, SighupEndsTheSchedulerCleanlyToo) {
    QProcess p;
    Start(p, {"--headless"});
    std::string err;
    ASSERT_TRUE(waitFor(
        [&] {
            err += p.readAllStandardError().toStdString();
            return err.find("running without a window") != std::string::npos;
        },
        std::chrono::seconds(20)));
    ::kill(static_cast<pid_t>(p.processId()), SIGHUP);
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << "killed by the signal";
    EXPECT_EQ(p.exitCode(), 0);
}

// A service manager or a shell may start the program with the stop signals blocked, and a
// stop may come before the program has set itself up (while it asks a slow keyring): the
// request is still taken, and the program ends cleanly rather than never or killed.
TEST_F(HeadlessTest, AStopSentBeforeTheSchedulerIsUpStillEndsItCleanly) {
    QProcess p;
    p.setChildProcessModifier([] {
        sigset_t stops;
        sigemptyset(&stops);
        sigaddset(&stops, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stops, nullptr);
    });
    Start(p, {"--headless"});
    ::kill(static_cast<pid_t>(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(30000)) << "the stop request was never taken";
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << "killed by the signal";
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
}

// One program per settings store ---------------------------------------------------------

// A lock file left by a start killed before it wrote its name (empty), or naming a process
// that is not the holder (a killed one not yet reaped answers as alive): while no process
// holds the store it keeps nobody out; while one does, it still does.
TEST_F(HeadlessTest, ALockFileWhoseHolderIsGoneKeepsNobodyOut) {
    Schedule("Empty", 60);
    const std::string lock = store_->Path() + ".lock";
    const std::string alive = std::to_string(::getpid()) + "\nquorvane\n\n";
    for (const std::string& content : {std::string(), alive}) {
        SCOPED_TRACE(content.empty() ? "empty" : "naming a live process");
        std::ofstream(lock, std::ios::trunc) << content;
        int holder = ::open(store_->Path().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(holder, 0);
        ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
        Result held = Run({"--run", "Empty"});
        EXPECT_EQ(held.code, 4) << "a live process holds the store: " << held.err;
        ::close(holder);

        Result abandoned = Run({"--run", "Empty"});
        EXPECT_EQ(abandoned.code, 0) << abandoned.err;
    }
}

TEST_F(HeadlessTest, ASecondSchedulerOnTheStoreIsRefusedUntilTheFirstIsGoneEvenKilled) {
    Schedule("Empty", 60);
    // A hard link is another name of the same store, not another store. Closed first, the
    // store has all of its changes in the file that the link shares.
    const std::string storePath = store_->Path(), hard = Path("hard.db");
    Registry::SetCurrent(nullptr);
    store_.reset();
    ASSERT_EQ(::link(storePath.c_str(), hard.c_str()), 0);
    std::string error;
    store_ = Registry::Open(storePath, &error);
    ASSERT_TRUE(store_) << error;
    Registry::SetCurrent(store_);
    const QStringList throughLink = {"--data-dir", QString::fromStdString(Path("data")),
                                     "--registry", QString::fromStdString(hard),
                                     "--run",      "Empty"};

    QProcess first;
    Start(first, {"--headless"});
    std::string firstErr;
    ASSERT_TRUE(waitFor(
        [&] {
            firstErr += first.readAllStandardError().toStdString();
            return firstErr.find("running without a window") != std::string::npos;
        },
        std::chrono::seconds(20)));

    for (auto args : {std::vector<const char*>{"--headless"}, {"--run", "Empty"}}) {
        QProcess second;
        second.setProcessEnvironment(env_);
        QStringList list = Args({});
        for (const char* a : args) list << a;
        second.start(QUORVANE_BIN, list);
        ASSERT_TRUE(second.waitForFinished(20000)) << "a second scheduler started";
        EXPECT_EQ(second.exitCode(), 4);
        std::string err = second.readAllStandardError().toStdString();
        EXPECT_NE(err.find("another quorvane"), std::string::npos) << err;
        EXPECT_NE(err.find(std::to_string(first.processId())), std::string::npos) << err;
    }
    Result linked = Run(throughLink, env_);
    EXPECT_EQ(linked.code, 4) << "a second scheduler through a hard link: " << linked.err;
    EXPECT_NE(linked.err.find("another quorvane"), std::string::npos) << linked.err;
    // Reading beside the holder is fine.
    EXPECT_EQ(Run({"--schedules"}).code, 0);
    EXPECT_EQ(Run({"--log"}).code, 0);

    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished(20000));
    Result next = Run({"--run", "Empty"});
    EXPECT_EQ(next.code, 0) << "a killed holder blocks the store: " << next.err;
    next = Run(throughLink, env_);
    EXPECT_EQ(next.code, 0) << "a killed holder blocks the link: " << next.err;
}

TEST_F(HeadlessTest, ASecondDesktopStartBringsTheFirstForwardAndEnds) {
    QProcess first;
    Start(first, {});
    std::string lock =
        QFileInfo(QString::fromStdString(store_->Path())).canonicalFilePath().toStdString() +
        ".lock";
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(QString::fromStdString(lock)); },
                        std::chrono::seconds(20)))
        << "the desktop program does not hold its settings store";

    Result second = Run({});
    EXPECT_EQ(second.code, 0) << second.err;
    std::string firstErr;
    EXPECT_TRUE(waitFor(
        [&] {
            firstErr += first.readAllStandardError().toStdString();
            return firstErr.find("window brought forward") != std::string::npos;
        },
        std::chrono::seconds(20)))
        << firstErr;
    EXPECT_EQ(first.state(), QProcess::Running);

    // A start from another session's environment finds the same program.
    QDir().mkpath(QString::fromStdString(Path("runtime2")));
    QDir().mkpath(QString::fromStdString(Path("tmp2")));
    QProcessEnvironment other = env_;
    other.insert("XDG_RUNTIME_DIR", QString::fromStdString(Path("runtime2")));
    other.insert("TMPDIR", QString::fromStdString(Path("tmp2")));
    Result elsewhere = Run(Args({}), other);
    EXPECT_EQ(elsewhere.code, 0) << elsewhere.err;
    EXPECT_TRUE(waitFor(
        [&] {
            firstErr += first.readAllStandardError().toStdString();
            size_t at = firstErr.find("window brought forward");
            return at != std::string::npos &&
                   firstErr.find("window brought forward", at + 1) != std::string::npos;
        },
        std::chrono::seconds(20)))
        << firstErr;
    // A scheduler without a window cannot start beside it either.
    EXPECT_EQ(Run({"--headless"}).code, 4);

    first.kill();
    first.waitForFinished(20000);
}

}  // namespace

namespace {

// A session start with --hidden finds the program already running: it ends well and leaves
// the running one as it is (its window stays where the user put it).
TEST_F(HeadlessTest, AHiddenStartBesideARunningProgramLeavesItAsItIs) {
    QProcess first;
    Start(first, {"--hidden"});
    std::string lock =
        QFileInfo(QString::fromStdString(store_->Path())).canonicalFilePath().toStdString() +
        ".lock";
    ASSERT_TRUE(waitFor([&] { return QFileInfo::exists(QString::fromStdString(lock)); },
                        std::chrono::seconds(20)))
        << "the hidden desktop program does not hold its settings store";
    Result hidden = Run({"--hidden"});
    EXPECT_EQ(hidden.code, 0) << hidden.err;
    EXPECT_NE(hidden.err.find("left as it is"), std::string::npos) << hidden.err;
    // A plain start after it is answered; had the hidden one asked too, there would be two.
    Result plain = Run({});
    EXPECT_EQ(plain.code, 0) << plain.err;
    std::string firstErr;
    EXPECT_TRUE(waitFor(
        [&] {
            firstErr += first.readAllStandardError().toStdString();
            return firstErr.find("window brought forward") != std::string::npos;
        },
        std::chrono::seconds(20)))
        << firstErr;
    EXPECT_EQ(firstErr.find("window brought forward"), firstErr.rfind("window brought forward"))
        << firstErr;
    EXPECT_EQ(first.state(), QProcess::Running);
    first.kill();
    first.waitForFinished(20000);

    // Beside a scheduler without a window the schedules run all the same.
    QProcess headless;
    Start(headless, {"--headless"});
    // The killed one's lock file is still there: wait until it names the new holder.
    ASSERT_TRUE(waitFor(
        [&] {
            std::ifstream in(lock);
            std::string pid;
            return std::getline(in, pid) && pid == std::to_string(headless.processId());
        },
        std::chrono::seconds(20)));
    hidden = Run({"--hidden"});
    EXPECT_EQ(hidden.code, 0) << hidden.err;
    EXPECT_EQ(headless.state(), QProcess::Running);
    headless.kill();
    headless.waitForFinished(20000);
}

}  // namespace

#include "app/Headless.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <ostream>

#include "app/Application.h"
#include "app/SettingsStore.h"
#include "platform/SystemClock.h"

namespace {

int gSignalFd = -1;

void OnSignal(int) {
    char c = 1;
    if (gSignalFd >= 0) (void)!::write(gSignalFd, &c, 1);
}

void PrintRecords(CActivityLog& log, std::ostream& out) {
    QObject::connect(&log, &CActivityLog::recordWritten, &log,
                     [&out](const LogRecord& r) { out << FormatLogLine(r) << std::endl; });
}

// Pumps the loop until the run window is idle again.
void WaitForRunToEnd(CRunWindow& run) {
    while (run.running())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 100);
}

}  // namespace

int RunHeadless(std::ostream& out, std::ostream& err) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        err << "quorvane: cannot set up signal handling\n";
        return 3;
    }
    gSignalFd = fds[0];
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    CApplication app;
    PrintRecords(app.log(), out);
    bool stopping = false;
    QSocketNotifier notifier(fds[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        char buf[16];
        (void)!::read(fds[1], buf, sizeof buf);
        if (stopping) return;
        stopping = true;
        app.runWindow().OnCancel();
        WaitForRunToEnd(app.runWindow());
        QCoreApplication::quit();
    });
    app.scheduler().Start();
    app.scheduler().RecomputeSchedule();
    err << "quorvane: running without a window; stop with Ctrl+C or SIGTERM\n";
    int rc = QCoreApplication::exec();
    gSignalFd = -1;
    ::close(fds[0]);
    ::close(fds[1]);
    return rc;
}

int RunScheduleOnce(const std::string& name, std::ostream& out, std::ostream& err) {
    CApplication app;
    PrintRecords(app.log(), out);
    CScheduler& scheduler = app.scheduler();
    FillScheduleList(scheduler.schedulingList());
    CItemList monitors;
    ListScheduleMonitors(name, monitors);
    if (monitors.GetCount() == 0)
        err << "quorvane: schedule " << name << " has no monitors; nothing to run\n";
    scheduler.RunNow(name);
    WaitForRunToEnd(app.runWindow());
    return 0;
}

int PrintSchedules(std::ostream& out) {
    time_t now = SystemClock::Get().Now();
    CItemList schedules, monitors;
    FillScheduleList(schedules);
    for (int i = 1; i < schedules.GetCount(); ++i) {
        const std::string& name = schedules.GetText(i);
        out << name << '\t';
        time_t when = 0;
        if (CScheduler::NextRunTimeAfter(name, now, &when)) {
            tm local{};
            localtime_r(&when, &local);
            char buf[32];
            strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &local);
            out << buf;
        } else {
            out << '-';
        }
        out << '\t';
        ListScheduleMonitors(name, monitors);
        for (int m = 0; m < monitors.GetCount(); ++m) out << (m ? ", " : "") << monitors.GetText(m);
        out << '\n';
    }
    return 0;
}

#include "app/Headless.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <functional>
#include <iostream>
#include <memory>
#include <ostream>

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/SettingsStore.h"
#include "platform/CancelRequest.h"
#include "platform/SystemClock.h"

namespace {

int gSignalFd = -1;

void OnSignal(int signo) {
    // A wait that blocks the loop (a fax client at work) hears this at once.
    cancel_request::Set();
    char c = static_cast<char>(signo);
    if (gSignalFd >= 0) (void)!::write(gSignalFd, &c, 1);
}

void PrintRecords(CActivityLog& log, std::ostream& out) {
    QObject::connect(&log, &CActivityLog::recordWritten, &log,
                     [&out](const LogRecord& r) { out << FormatLogLine(r) << std::endl; });
}

}  // namespace

bool SignalCancel::Install(std::function<void(int)> onSignal) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) return false;
    gSignalFd = fds_[0];
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A parent (a service manager, a shell's job control) may have started us with these
    // blocked; a stop request must still reach us, and one sent before now is taken here.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
    notifier_ = std::make_unique<QSocketNotifier>(fds_[1], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, onSignal] {
        char buf[16];
        ssize_t n = ::read(fds_[1], buf, sizeof buf);
        if (n > 0 && !signalled_) {
            signalled_ = static_cast<unsigned char>(buf[0]);
            onSignal(signalled_);
        }
    });
    return true;
}

SignalCancel::~SignalCancel() {
    if (fds_[0] < 0) return;
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    gSignalFd = -1;
    notifier_.reset();
    ::close(fds_[0]);
    ::close(fds_[1]);
}

void WaitForRunToEnd(CRunWindow& run) {
    while (run.running()) CWindow::WaitForMessages(100);
}

void WhenRunEnds(CRunWindow& run, std::function<void()> then) {
    if (!run.running()) {
        then();
        return;
    }
    // Not a wait here: a signal may arrive inside a loop the run itself turns (the pager
    // dialer's), which can only end once this handler has returned.
    QObject::connect(&run, &CRunWindow::runFinished, &run, std::move(then),
                     Qt::SingleShotConnection);
}

int RunHeadless(CApplication& app, std::ostream& out, std::ostream& err,
                const std::function<void()>& beforeSchedules) {
    PrintRecords(app.log(), out);
    SignalCancel onSignals;
    if (!onSignals.Install([&](int) {
            app.runWindow().OnCancel();
            WhenRunEnds(app.runWindow(), [] { QCoreApplication::quit(); });
        })) {
        err << "quorvane: cannot set up signal handling\n";
        return 3;
    }
    // Under the signal handling: what may wait (the keyring, as it starts with the session)
    // cannot turn a stop request into a kill, and a request made meanwhile ends the program
    // as soon as the loop turns.
    if (beforeSchedules) beforeSchedules();
    app.StartSchedules(false);
    err << "quorvane: running without a window; stop with Ctrl+C or SIGTERM\n";
    return QCoreApplication::exec();
}

int RunScheduleOnce(CApplication& app, const std::string& name, std::ostream& out,
                    std::ostream& err) {
    PrintRecords(app.log(), out);
    CScheduler& scheduler = app.scheduler();
    CItemList& schedules = scheduler.schedulingList();
    FillScheduleList(schedules);
    // Schedule names compare without case, as the store's keys do; the run and its
    // monitors go by the name as stored. The list's first entry is no schedule.
    int index = schedules.FindStringExact(name);
    // A record named like "no schedule" (written by hand) runs no monitors: none is its.
    if (index <= 0 || IsReservedScheduleName(schedules.GetText(index))) {
        err << "quorvane: there is no schedule named " << name << "\n";
        return 1;
    }
    const std::string stored = schedules.GetText(index);
    CItemList monitors;
    ListScheduleMonitors(stored, monitors);
    bool setsClock = false;
    {
        RegKey schedule;
        setsClock =
            schedule.Open(RegKey::LocalMachine(), settings::EventPath(stored)) == ERROR_SUCCESS &&
            settings::IsSet(schedule, settings::kUpdateTime);
    }
    if (monitors.GetCount() == 0 && !setsClock)
        err << "quorvane: schedule " << stored << " has no monitors; nothing to run\n";

    SignalCancel onSignals;
    if (!onSignals.Install([&](int) { app.runWindow().OnCancel(); })) {
        err << "quorvane: cannot set up signal handling\n";
        return 3;
    }
    scheduler.RunNow(stored);
    WaitForRunToEnd(app.runWindow());
    if (onSignals.signalled()) {
        err << "quorvane: the run of " << stored << " was cancelled\n";
        return 128 + onSignals.signalled();
    }
    return 0;
}

int PrintSchedules(std::ostream& out) {
    time_t now = SystemClock::Get().Now();
    CItemList schedules, monitors;
    FillScheduleList(schedules);
    for (int i = 1; i < schedules.GetCount(); ++i) {
        const std::string& name = schedules.GetText(i);
        out << EscapeLogField(name) << '\t';
        time_t when = 0;
        if (CScheduler::NextRunTimeAfter(name, now, &when)) {
            out << FormatLocalTime(when, "%Y-%m-%d %H:%M");
        } else {
            out << '-';
        }
        out << '\t';
        // A schedule under a "no schedule" name owns none of the monitors that carry it.
        monitors.ResetContent();
        if (CScheduler::IsChosen(name)) ListScheduleMonitors(name, monitors);
        for (int m = 0; m < monitors.GetCount(); ++m)
            out << (m ? ", " : "") << EscapeLogField(monitors.GetText(m));
        out << '\n';
    }
    return OutputWritten(out, std::cerr, "quorvane") ? 0 : 1;
}

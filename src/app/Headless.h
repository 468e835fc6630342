#pragma once

// The program without a window: the scheduler alone, one run, or the list of schedules.

#include <QSocketNotifier>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

class CApplication;
class CRunWindow;

// SIGTERM, SIGINT and SIGHUP (the terminal closed, the session logged out) arrive on the
// loop as a call of onSignal with the signal's number, so that a run in progress is
// cancelled the way the Cancel button does it: the panel stops and closes its files, the
// connection is hung up. Without this the default action would end the process with the
// line up and temporary files left in place. The handlers go with the object.
class SignalCancel {
public:
    SignalCancel() = default;
    SignalCancel(const SignalCancel&) = delete;
    SignalCancel& operator=(const SignalCancel&) = delete;
    ~SignalCancel();
    bool Install(std::function<void(int)> onSignal);
    int signalled() const { return signalled_; }

private:
    int fds_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
    int signalled_ = 0;
};

// Pumps the loop until the run window is idle again.
void WaitForRunToEnd(CRunWindow& run);
// Calls then once the run window is idle again: now, or when its run finishes. For signal
// handlers, which must not wait inside the loop that delivered them.
void WhenRunEnds(CRunWindow& run, std::function<void()> then);

// Runs the scheduler until SIGTERM or SIGINT, printing each new log record as a `--log`
// line. A run in progress at the signal is cancelled and wound down first. beforeSchedules
// runs once the signals are handled, before the first schedule can start.
int RunHeadless(CApplication& app, std::ostream& out, std::ostream& err,
                const std::function<void()>& beforeSchedules = {});

// Runs one schedule now (its name without regard to case) and prints the records written
// meanwhile. 0 when the run is over; 1 when there is no such schedule; 128 + the signal's
// number when SIGTERM or SIGINT cancelled the run (it is wound down and hung up first).
int RunScheduleOnce(CApplication& app, const std::string& name, std::ostream& out,
                    std::ostream& err);

// One line per schedule: name, next run time (or -), its monitors.
int PrintSchedules(std::ostream& out);

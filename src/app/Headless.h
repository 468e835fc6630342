#pragma once

// The program without a window: the scheduler alone, one run, or the list of schedules.

#include <iosfwd>
#include <string>

class CApplication;

// Runs the scheduler until SIGTERM or SIGINT, printing each new log record as a `--log`
// line. A run in progress at the signal is cancelled and wound down first.
int RunHeadless(CApplication& app, std::ostream& out, std::ostream& err);

// Runs one schedule now (its name without regard to case) and prints the records written
// meanwhile. 0 when the run is over; 1 when there is no such schedule; 128 + the signal's
// number when SIGTERM or SIGINT cancelled the run (it is wound down and hung up first).
int RunScheduleOnce(CApplication& app, const std::string& name, std::ostream& out,
                    std::ostream& err);

// One line per schedule: name, next run time (or -), its monitors.
int PrintSchedules(std::ostream& out);

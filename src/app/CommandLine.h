#pragma once

// The program's command line.

#include <iosfwd>
#include <string>
#include <vector>

struct CommandLine {
    enum Mode { Desktop, PrintLog, Headless, RunSchedule, ListSchedules, Ticker, Edit };
    Mode mode = Desktop;
    bool help = false;         // --help or -h: print the usage and end
    bool version = false;      // --version: print the version and end
    std::string schedule;      // for RunSchedule
    std::string tickerEvent;   // for Ticker: the Lumetta display event to show
    std::string editEvent;     // for Edit: the event whose settings are shown
    std::string dataDir;       // empty: the default working folder
    std::string registryFile;  // empty: the default settings store
    bool hidden = false;       // --hidden: the desktop program starts put away in the tray
    std::string autostart;     // --autostart on|off; empty: not given

    // False with a reason on an unknown or incomplete option, or on two that cannot go
    // together (two of --log, --headless, --run, --schedules, --ticker, --edit; --hidden
    // with any of them; --autostart with anything but --registry and --data-dir).
    bool Parse(const std::vector<std::string>& args, std::string* error);
    static const char* UsageText();
    static const char* VersionText();
};

// `quorvane --log`: prints every record of the activity log in the working folder, oldest
// first. Returns the exit code.
int PrintActivityLog(std::ostream& out, std::ostream& err);

// Whether everything written to out has reached it; when not (a full disk, a file size
// limit, a closed pipe), says so on err, after program's name.
bool OutputWritten(std::ostream& out, std::ostream& err, const char* program);

// Writing to a closed pipe or past the file size limit becomes a failed write the program
// can tell, instead of a signal that kills it (a run half done, a dial-up link left up).
// A handler, not SIG_IGN: programs started later get the signals' usual effect back.
void TurnWriteSignalsIntoErrors();

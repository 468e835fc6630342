#pragma once

// The program's command line.

#include <iosfwd>
#include <string>
#include <vector>

struct CommandLine {
    enum Mode { Desktop, PrintLog, Headless, RunSchedule, ListSchedules };
    Mode mode = Desktop;
    std::string schedule;      // for RunSchedule
    std::string dataDir;       // empty: the default working folder
    std::string registryFile;  // empty: the default settings store

    // False with a reason on an unknown or incomplete option.
    bool Parse(const std::vector<std::string>& args, std::string* error);
    static const char* UsageText();
};

// `quorvane --log`: prints every record of the activity log in the working folder, oldest
// first. Returns the exit code.
int PrintActivityLog(std::ostream& out, std::ostream& err);

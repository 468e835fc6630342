#include "app/CommandLine.h"

#include <ostream>

#include "app/ActivityLog.h"

bool CommandLine::Parse(const std::vector<std::string>& args, std::string* error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto takeValue = [&](std::string* into) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                *error = a + " needs a value";
                return false;
            }
            *into = args[++i];
            return true;
        };
        if (a == "--data-dir") {
            if (!takeValue(&dataDir)) return false;
        } else if (a == "--registry") {
            if (!takeValue(&registryFile)) return false;
        } else if (a == "--log") {
            mode = PrintLog;
        } else if (a == "--headless") {
            mode = Headless;
        } else if (a == "--schedules") {
            mode = ListSchedules;
        } else if (a == "--run") {
            if (!takeValue(&schedule)) return false;
            mode = RunSchedule;
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    return true;
}

const char* CommandLine::UsageText() {
    return "usage: quorvane [--data-dir DIR] [--registry FILE] [--log | --headless |\n"
           "                 --run SCHEDULE | --schedules]\n";
}

int PrintActivityLog(std::ostream& out, std::ostream& err) {
    std::vector<LogRecord> records;
    std::string error;
    if (!ReadLogFile(kLogFileName, &records, &error)) {
        err << "quorvane: " << error << "\n";
        return 1;
    }
    for (const auto& r : records) out << FormatLogLine(r) << "\n";
    return 0;
}

#include "app/CommandLine.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ostream>
#include <string_view>

#include "app/ActivityLog.h"

#ifndef QUORVANE_VERSION
#define QUORVANE_VERSION "unknown"
#endif

namespace {

// The options every Qt program takes, which Qt reads from the command line itself, written
// with one dash or two: those that take a value ("-style fusion" or "-style=fusion"), and
// those that stand alone.
constexpr std::string_view kQtValueOptions[] = {"platform",      "platformpluginpath",
                                                "platformtheme", "plugin",
                                                "qmljsdebugger", "qwindowgeometry",
                                                "qwindowicon",   "qwindowtitle",
                                                "session",       "display",
                                                "geometry",      "name",
                                                "title",         "visual",
                                                "style",         "stylesheet"};
constexpr std::string_view kQtFlagOptions[] = {"reverse", "widgetcount", "nograb", "dograb",
                                               "sync"};

enum class QtOption { None, Flag, Value, ValueJoined };

QtOption QtOptionOf(std::string_view arg) {
    if (arg.size() < 2 || arg[0] != '-') return QtOption::None;
    arg.remove_prefix(arg[1] == '-' ? 2 : 1);
    size_t equals = arg.find('=');
    std::string_view name = arg.substr(0, equals);
    for (std::string_view o : kQtValueOptions)
        if (name == o)
            return equals == std::string_view::npos ? QtOption::Value : QtOption::ValueJoined;
    for (std::string_view o : kQtFlagOptions)
        if (arg == o) return QtOption::Flag;
    return QtOption::None;
}

}  // namespace

bool CommandLine::Parse(const std::vector<std::string>& args, std::string* error) {
    std::string modeOption;  // the option that chose the mode
    auto setMode = [&](Mode m, const std::string& option) {
        // One program at a time: a second choice would otherwise silently win.
        if (!modeOption.empty()) {
            *error = option == modeOption ? option + " is given more than once"
                                          : modeOption + " and " + option + " cannot go together";
            return false;
        }
        mode = m;
        modeOption = option;
        return true;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto takeValue = [&](std::string* into) {
            // As with a second --run, the last one winning silently would use a store or a
            // folder the user may not have meant.
            if (!into->empty()) {
                *error = a + " is given more than once";
                return false;
            }
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                *error = a + " needs a value";
                return false;
            }
            *into = args[++i];
            return true;
        };
        // A path that looks like an option is the option forgotten after --registry, not a
        // file to make; such a name can still be written ./-name.
        auto takePath = [&](std::string* into) {
            if (i + 1 < args.size() && args[i + 1].size() > 1 && args[i + 1][0] == '-') {
                *error = a + " needs a path, not the option " + args[i + 1] +
                         " (write a name that starts with - as ./-name)";
                return false;
            }
            return takeValue(into);
        };
        if (a == "--data-dir") {
            if (!takePath(&dataDir)) return false;
        } else if (a == "--registry") {
            if (!takePath(&registryFile)) return false;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--hidden") {
            if (hidden) {
                *error = a + " is given more than once";
                return false;
            }
            hidden = true;
        } else if (a == "--autostart") {
            if (!takeValue(&autostart)) return false;
            if (autostart != "on" && autostart != "off") {
                *error = "--autostart takes on or off, not " + autostart;
                return false;
            }
        } else if (a == "--log") {
            if (!setMode(PrintLog, a)) return false;
        } else if (a == "--headless") {
            if (!setMode(Headless, a)) return false;
        } else if (a == "--schedules") {
            if (!setMode(ListSchedules, a)) return false;
        } else if (a == "--run") {
            if (!setMode(RunSchedule, a) || !takeValue(&schedule)) return false;
        } else if (a == "--ticker") {
            if (!setMode(Ticker, a) || !takeValue(&tickerEvent)) return false;
        } else if (a == "--edit") {
            if (!setMode(Edit, a) || !takeValue(&editEvent)) return false;
        } else if (QtOption qt = QtOptionOf(a); qt != QtOption::None) {
            // Qt takes these from the command line itself when it starts.
            if (qt == QtOption::Value) {
                if (i + 1 >= args.size()) {
                    *error = a + " needs a value";
                    return false;
                }
                ++i;
            }
        } else {
            *error = "unknown option " + a;
            return false;
        }
    }
    // Only the desktop program has a window to hide.
    if (hidden && !modeOption.empty()) {
        *error = "--hidden and " + modeOption + " cannot go together";
        return false;
    }
    // --autostart writes an entry and ends: anything else would be silently ignored.
    if (!autostart.empty()) {
        const std::string other = hidden ? "--hidden" : modeOption;
        if (!other.empty()) {
            *error = "--autostart and " + other + " cannot go together";
            return false;
        }
    }
    return true;
}

const char* CommandLine::UsageText() {
    return "usage: quorvane [--data-dir DIR] [--registry FILE] [--hidden | --log |\n"
           "                 --headless | --run SCHEDULE | --schedules | --ticker EVENT |\n"
           "                 --edit EVENT]\n"
           "       quorvane [--data-dir DIR] [--registry FILE] --autostart on|off\n"
           "       quorvane --help | -h | --version\n"
           "\n"
           "  --hidden         start the desktop program with its window hidden in the\n"
           "                   tray (minimised where the desktop has no tray)\n"
           "  --log            print the activity log, one record a line, and end\n"
           "  --headless       run the scheduler without a window until SIGTERM or Ctrl+C\n"
           "  --run SCHEDULE   run one schedule now and end when it is over\n"
           "  --schedules      list the schedules with their next run and monitors\n"
           "  --ticker EVENT   show the ticker of a Lumetta display event, beside a\n"
           "                   running program; ends when its window is closed\n"
           "  --edit EVENT     change the settings of an event (a schedule or a monitor)\n"
           "                   in the pages of its wizard; ends when they are closed\n"
           "  --data-dir DIR   the working folder (log, outgoing mail)\n"
           "  --registry FILE  the settings store\n"
           "  --autostart on|off\n"
           "                   start the desktop program hidden when you log in (with the\n"
           "                   --data-dir and --registry given here), or no longer; ends\n"
           "  -h, --help       print this text and end\n"
           "  --version        print the version and end\n"
           "Without --log, --headless, --run, --schedules, --ticker or --edit the\n"
           "desktop program starts.\n";
}

const char* CommandLine::VersionText() {
    return "quorvane " QUORVANE_VERSION "\n";
}

int PrintActivityLog(std::ostream& out, std::ostream& err) {
    std::vector<LogRecord> records;
    std::string error;
    if (!ReadLogFile(kLogFileName, &records, &error)) {
        err << "quorvane: " << error << "\n";
        return 1;
    }
    for (const auto& r : records) out << FormatLogLine(r) << "\n";
    return OutputWritten(out, err, "quorvane") ? 0 : 1;
}

bool OutputWritten(std::ostream& out, std::ostream& err, const char* program) {
    errno = 0;
    out.flush();
    if (out) return true;
    const int e = errno;
    err << program << ": the output could not be written"
        << (e != 0 ? std::string(" (") + std::strerror(e) + ")" : std::string()) << "\n";
    return false;
}

namespace {
void NoteWriteSignal(int) {}
}  // namespace

void TurnWriteSignalsIntoErrors() {
    struct sigaction action {};
    action.sa_handler = NoteWriteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
    sigaction(SIGXFSZ, &action, nullptr);
}

#pragma once

// Starting with the session: an XDG autostart entry, $XDG_CONFIG_HOME/autostart/
// quorvane.desktop, that starts this program hidden in the tray. Whether it is on is not a
// stored setting: the file is the truth, so that what the desktop's own session settings do
// to the entry (hide it, remove it) is what the program shows.

#include <string>
#include <vector>

struct CommandLine;

// How the program is started at log-in: itself, with the settings store and working folder
// it was given on its command line (empty: none given), so that the session start uses the
// same ones.
struct AutostartLaunch {
    std::string program;  // absolute
    std::string registryFile;
    std::string dataDir;
};

class Autostart {
public:
    static constexpr const char* kFileName = "quorvane.desktop";
    // Longest entry that is read: a larger file is not one of ours.
    static constexpr size_t kMaxEntryBytes = 64 * 1024;

    // $XDG_CONFIG_HOME/autostart/quorvane.desktop (~/.config without an absolute
    // XDG_CONFIG_HOME).
    static std::string EntryFile();

    // The entry is there, is this program's and is not switched off (Hidden=true or
    // X-GNOME-Autostart-enabled=false).
    static bool IsOn();
    // Writes the entry in one step (a temporary file renamed over it). False with a reason
    // naming the file; nothing half-written is left behind.
    static bool Enable(const AutostartLaunch& launch, std::string* error);
    // Removes the entry; one that is not there is fine.
    static bool Disable(std::string* error);
    // Enable or Disable.
    static bool Set(bool on, const AutostartLaunch& launch, std::string* error);

    // The text of the entry; false when the launch cannot be written in one (a control
    // character or a byte that is not UTF-8 in a path).
    static bool EntryText(const AutostartLaunch& launch, std::string* text, std::string* error);
    // One argument of an Exec line, quoted where the desktop entry rules ask for it, and
    // escaped for a string value.
    static std::string QuoteExecArgument(const std::string& arg);
    // The arguments of an Exec value as a desktop reads them (the inverse of the above).
    static std::vector<std::string> SplitExec(const std::string& value);

    // The launch the command line describes: this program, the paths made absolute.
    static AutostartLaunch LaunchOf(const CommandLine& cmd);
    // The launch of the running program, for the options sheet; set at start-up.
    static void SetCurrentLaunch(const AutostartLaunch& launch);
    static AutostartLaunch CurrentLaunch();
    // The absolute path of the running program.
    static std::string RunningProgram();
};

// `quorvane --autostart on|off`: exit status 0, or 3 with the reason on err.
int RunAutostartCommand(const CommandLine& cmd, std::ostream& out, std::ostream& err);

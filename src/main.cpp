#include <iostream>

#include "app/Application.h"
#include "app/Autostart.h"
#include "app/CommandLine.h"
#include "ui/MainFrame.h"

int main(int argc, char** argv) {
    TurnWriteSignalsIntoErrors();
    CommandLine cmd;
    std::string error;
    if (!cmd.Parse(std::vector<std::string>(argv + 1, argv + argc), &error)) {
        std::cerr << "quorvane: " << error << "\n" << CommandLine::UsageText();
        return 2;
    }
    if (cmd.help) {
        std::cout << CommandLine::UsageText();
        return 0;
    }
    if (cmd.version) {
        std::cout << CommandLine::VersionText();
        return 0;
    }
    if (!cmd.autostart.empty()) return RunAutostartCommand(cmd, std::cout, std::cerr);
    QtDesktop desktop;
    return RunProgram(cmd, argc, argv, desktop);
}

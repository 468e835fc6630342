#include <QCoreApplication>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "app/AppPaths.h"
#include "app/CommandLine.h"
#include "app/Headless.h"
#include "ui/MainFrame.h"

namespace {

bool HasDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
           std::getenv("QT_QPA_PLATFORM");
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine cmd;
    std::string error;
    if (!cmd.Parse(std::vector<std::string>(argv + 1, argv + argc), &error)) {
        std::cerr << "quorvane: " << error << "\n" << CommandLine::UsageText();
        return 2;
    }
    // Made absolute before the program changes into its working folder.
    std::string registryFile = std::filesystem::absolute(
        cmd.registryFile.empty() ? AppPaths::DefaultRegistryFile() : cmd.registryFile);
    if (!EnterDataDir(cmd.dataDir.empty() ? AppPaths::DefaultDataDir() : cmd.dataDir, &error)) {
        std::cerr << "quorvane: " << error << "\n";
        return 3;
    }
    if (cmd.mode == CommandLine::PrintLog) return PrintActivityLog(std::cout, std::cerr);

    if (!OpenSettingsStore(registryFile, &error)) {
        std::cerr << "quorvane: " << error << "\n";
        // Someone who started the window would never read standard error.
        if (cmd.mode == CommandLine::Desktop && HasDisplay())
            ShowStartupError("The settings cannot be used: " + error, argc, argv);
        return 3;
    }
    switch (cmd.mode) {
        case CommandLine::ListSchedules:
            return PrintSchedules(std::cout);
        case CommandLine::RunSchedule: {
            QCoreApplication app(argc, argv);
            return RunScheduleOnce(cmd.schedule, std::cout, std::cerr);
        }
        case CommandLine::Headless: {
            QCoreApplication app(argc, argv);
            return RunHeadless(std::cout, std::cerr);
        }
        default:
            break;
    }
    if (!HasDisplay()) {
        std::cerr << "quorvane: no display to show the window on; use --headless to run the "
                     "schedules without one.\n";
        return 2;
    }
    return RunDesktop(argc, argv);
}

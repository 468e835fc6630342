#include <QApplication>
#include <QCoreApplication>
#include <QMetaObject>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "app/AppPaths.h"
#include "app/CommandLine.h"
#include "app/Headless.h"
#include "app/SingleInstance.h"
#include "ui/MainFrame.h"

namespace {

bool HasDisplay() {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
           std::getenv("QT_QPA_PLATFORM");
}

// Exit status while another process holds the settings store.
constexpr int kStoreHeld = 4;

SingleInstance* gInstance = nullptr;

// The desktop program's application object is made inside RunDesktop; this runs when it
// is, and from then on a later start's request brings the main window forward.
void ListenForLaterStarts() {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            if (!gInstance) return;
            std::string why;
            bool listening = gInstance->Listen(
                [] {
                    for (QWidget* w : QApplication::topLevelWidgets())
                        if (auto* frame = qobject_cast<CMainFrame*>(w)) frame->ShowFromTray();
                    std::cerr << "quorvane: another start asked for the window; window brought "
                                 "forward\n";
                    // The window is being made when none is found yet: it comes up anyway.
                    return true;
                },
                &why);
            if (!listening)
                std::cerr << "quorvane: a later start cannot reach this one (" << why << ")\n";
        },
        Qt::QueuedConnection);
}

// Takes the settings store for a program that runs schedules. Returns -1 when this process
// holds it, else the exit status.
int HoldStore(SingleInstance& instance, CommandLine::Mode mode, const std::string& registryFile,
              int& argc, char** argv) {
    std::string why;
    switch (instance.TryHold(&why)) {
        case SingleInstance::Holding:
            return -1;
        case SingleInstance::CannotLock:
            std::cerr << "quorvane: " << why << "\n";
            if (mode == CommandLine::Desktop && HasDisplay())
                ShowStartupError("The settings cannot be used: " + why, argc, argv);
            return 3;
        case SingleInstance::HeldElsewhere:
            break;
    }
    const std::string held =
        "another quorvane (" + why + ") is using the settings store " + registryFile;
    if (mode == CommandLine::Desktop) {
        switch (instance.HandOver(10000)) {
            case SingleInstance::WindowForward:
                return 0;
            case SingleInstance::NoWindow:
                std::cerr << "quorvane: " << held << " without a window; stop it first\n";
                break;
            case SingleInstance::NoAnswer:
                std::cerr << "quorvane: " << held << " and does not answer\n";
                break;
        }
        if (HasDisplay()) ShowStartupError(held + ".", argc, argv);
        return kStoreHeld;
    }
    std::cerr << "quorvane: " << held << "; only one may run its schedules\n";
    return kStoreHeld;
}

}  // namespace

int main(int argc, char** argv) {
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
    // Only reading: beside a running program.
    if (cmd.mode == CommandLine::ListSchedules) return PrintSchedules(std::cout);

    if (cmd.mode == CommandLine::Desktop && !HasDisplay()) {
        std::cerr << "quorvane: no display to show the window on; use --headless to run the "
                     "schedules without one.\n";
        return 2;
    }
    // Two programs on one store would run every schedule, and send every mail, twice.
    SingleInstance instance(registryFile);
    if (int rc = HoldStore(instance, cmd.mode, registryFile, argc, argv); rc >= 0) return rc;

    switch (cmd.mode) {
        case CommandLine::RunSchedule: {
            QCoreApplication app(argc, argv);
            std::string why;
            instance.Listen([] { return false; }, &why);
            return RunScheduleOnce(cmd.schedule, std::cout, std::cerr);
        }
        case CommandLine::Headless: {
            QCoreApplication app(argc, argv);
            std::string why;
            if (!instance.Listen([] { return false; }, &why))
                std::cerr << "quorvane: a later start cannot reach this one (" << why << ")\n";
            return RunHeadless(std::cout, std::cerr);
        }
        default:
            break;
    }
    gInstance = &instance;
    qAddPreRoutine(ListenForLaterStarts);
    int rc = RunDesktop(argc, argv);
    gInstance = nullptr;
    return rc;
}

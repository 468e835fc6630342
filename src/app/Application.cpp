#include "app/Application.h"

#include <QCoreApplication>
#include <filesystem>
#include <iostream>

#include "app/AppPaths.h"
#include "app/Autostart.h"
#include "app/CommandLine.h"
#include "app/EventList.h"
#include "app/Headless.h"
#include "app/SettingsStore.h"
#include "app/SingleInstance.h"
#include "app/Ticker.h"
#include "monitors/LumettaRetrieval.h"
#include "monitors/MailMonitor.h"
#include "monitors/NewsMonitor.h"
#include "monitors/TimeSync.h"
#include "monitors/WebMonitor.h"
#include "notify/MailQueue.h"
#include "notify/Tapi.h"
#include "platform/DesktopNotifier.h"
#include "platform/DialUp.h"
#include "settings/Passwords.h"

namespace {
CApplication* gInstance = nullptr;
}

CApplication::CApplication(std::unique_ptr<DialUp> dialUp, QObject* parent,
                           std::unique_ptr<PagerDialer> pagerDialer)
    : QObject(parent),
      telephony_(pagerDialer ? nullptr : CTapi::MakeModemTelephony()),
      dialer_(pagerDialer ? std::move(pagerDialer) : std::make_unique<CTapi>(telephony_.get())),
      fax_(std::make_unique<MessagingFaxSender>(log_)),
      pager_(std::make_unique<CPagerCallQueue>(log_, *dialer_)) {
    runWindow_ = std::make_unique<CRunWindow>(log_, std::move(dialUp), *pager_);
    connect(runWindow_.get(), &CRunWindow::runFinished, this, [this] { fax_->RunFinished(); });
    runWindow_->SetPanel(CRunWindow::kStepMail,
                         std::make_unique<CMailMonitor>(log_, *pager_, *fax_));
    runWindow_->SetPanel(CRunWindow::kStepWeb, std::make_unique<CWebMonitor>(log_));
    runWindow_->SetPanel(CRunWindow::kStepNews, std::make_unique<CNewsMonitor>(log_));
    runWindow_->SetPanel(CRunWindow::kStepLumetta, std::make_unique<CLumettaRetrieval>(log_));
    runWindow_->SetPanel(CRunWindow::kStepTimeSync, std::make_unique<CTimeSync>(log_));
    runWindow_->SetPanel(CRunWindow::kStepMailQueue, std::make_unique<CMailQueueSender>(log_));
    scheduler_ = std::make_unique<CScheduler>(*runWindow_);
    runWindow_->SetNextEventMonitors(&scheduler_->monitorList());
    gInstance = this;
}

CApplication::CApplication() : CApplication(LoadDialUp()) {}

CApplication::~CApplication() {
    log_.SetNotifier(nullptr);
    if (gInstance == this) gInstance = nullptr;
}

CApplication* CApplication::Instance() {
    return gInstance;
}

std::unique_ptr<DialUp> CApplication::LoadDialUp() {
    std::string program;
    ReadRootString(settings::kDialUpProgram, program);
    if (program.empty()) program = "nmcli";
    return NmcliDialUp::Load(program);
}

void CApplication::UseDesktopNotifier(std::unique_ptr<DesktopNotifier> notifier) {
    log_.SetNotifier(notifier.get());
    notifier_ = std::move(notifier);
    if (notifier_)
        connect(notifier_.get(), &DesktopNotifier::openRequested, this,
                [](int action, const std::string& link) { LaunchCompanion(link, action); });
}

void CApplication::StartSchedules(bool withWindow) {
    scheduler_->Start();
    scheduler_->RecomputeSchedule();
    if (withWindow) AutoStartLumetta();
}

void CApplication::AutoStartLumetta() {
    if (settings::ReadRootDword(settings::kAutoStartLM, 1) != 0) LaunchCompanion("", 5);
}

namespace {

// Exit status while another process holds the settings store.
constexpr int kStoreHeld = 4;

// Takes the settings store for a program that runs schedules. Returns -1 when this process
// holds it, else the exit status.
int HoldStore(SingleInstance& instance, const CommandLine& cmd, const std::string& registryFile,
              DesktopFace& desktop, int& argc, char** argv) {
    const bool window = cmd.mode == CommandLine::Desktop;
    std::string why;
    switch (instance.TryHold(&why)) {
        case SingleInstance::Holding:
            return -1;
        case SingleInstance::CannotLock:
            std::cerr << "quorvane: " << why << "\n";
            if (window && desktop.HasDisplay())
                desktop.ShowStartupError("The settings cannot be used: " + why, argc, argv);
            return 3;
        case SingleInstance::HeldElsewhere:
            break;
    }
    const std::string held =
        "another quorvane (" + why + ") is using the settings store " + registryFile;
    // A session start finds the program already running its schedules: that is all it was
    // for. Bringing the window forward would put it in front of the user at every log-in.
    if (window && cmd.hidden) {
        std::cerr << "quorvane: " << held << "; left as it is\n";
        return 0;
    }
    if (window) {
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
        if (desktop.HasDisplay()) desktop.ShowStartupError(held + ".", argc, argv);
        return kStoreHeld;
    }
    std::cerr << "quorvane: " << held << "; only one may run its schedules\n";
    return kStoreHeld;
}

int RunDesktop(CApplication& app, SingleInstance& instance, DesktopFace& desktop, bool hidden) {
    desktop.ShowWindow(app, hidden);
    // From here on a later start's request brings the main window forward.
    QObject::connect(&instance, &SingleInstance::windowRequested, &app, [&desktop] {
        desktop.BringForward();
        std::cerr << "quorvane: another start asked for the window; window brought forward\n";
    });
    std::string why;
    if (!instance.Listen(true, &why))
        std::cerr << "quorvane: a later start cannot reach this one (" << why << ")\n";
    // Logging out sends SIGTERM (or SIGHUP): a run in progress is cancelled and hung up
    // first, as the headless program does.
    SignalCancel onSignals;
    if (!onSignals.Install([&app](int) {
            app.runWindow().OnCancel();
            // Not quit(): that asks the windows first, and the main window only hides.
            WhenRunEnds(app.runWindow(), [] { QCoreApplication::exit(0); });
        }))
        std::cerr << "quorvane: cannot set up signal handling\n";
    app.StartSchedules(true);
    int rc = QCoreApplication::exec();
    desktop.Close();
    return rc;
}

}  // namespace

namespace {

// Markers in the store are read through the desktop keyring whenever one answers; the desktop
// program and --headless also move the passwords still held as text there, now and, for a
// keyring that comes later (still starting at log-in), as a schedule run starts. Without a
// keyring (no session bus, no Secret Service) everything stays in the store, without a word.
void UseDesktopKeyring(CApplication& app, bool movePasswords) {
    settings::UseDesktopKeyring();
    if (!movePasswords) return;
    auto mover = std::make_shared<settings::LateKeyringMover>();
    auto move = [&app, mover] {
        for (const std::string& problem : mover->Tick(std::chrono::steady_clock::now()))
            WriteErrorRecord(app.log(), "moving passwords to the desktop keyring", problem);
    };
    move();
    app.runWindow().SetBeforeEachRun(move);
}

}  // namespace

int RunProgram(const CommandLine& cmd, int& argc, char** argv, DesktopFace& desktop) {
    const bool window = cmd.mode == CommandLine::Desktop;
    std::string error;
    // The options sheet writes the autostart entry with the store and folder given here.
    Autostart::SetCurrentLaunch(Autostart::LaunchOf(cmd));
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
        if (window && desktop.HasDisplay())
            desktop.ShowStartupError("The settings cannot be used: " + error, argc, argv);
        return 3;
    }
    // Only reading: beside a running program.
    if (cmd.mode == CommandLine::ListSchedules) return PrintSchedules(std::cout);
    // Only reading too: a ticker shows what the program that holds the store retrieves.
    if (cmd.mode == CommandLine::Ticker) {
        if (!CTicker::CheckEvent(cmd.tickerEvent, &error)) {
            std::cerr << "quorvane: " << error << "\n";
            return 1;
        }
        if (!desktop.HasDisplay()) {
            std::cerr << "quorvane: no display to show the ticker on.\n";
            return 2;
        }
        return desktop.RunTicker(cmd.tickerEvent, argc, argv);
    }
    // Beside a running program too: nothing is cached, so its next use of the event sees
    // the change.
    if (cmd.mode == CommandLine::Edit) {
        if (EditableEventKind(cmd.editEvent, &error) == 0) {
            std::cerr << "quorvane: " << error << "\n";
            return 1;
        }
        if (!desktop.HasDisplay()) {
            std::cerr << "quorvane: no display to show the event's settings on.\n";
            return 2;
        }
        return desktop.RunEditor(cmd.editEvent, argc, argv);
    }

    if (window && !desktop.HasDisplay()) {
        std::cerr << "quorvane: no display to show the window on; use --headless to run the "
                     "schedules without one.\n";
        return 2;
    }
    // Two programs on one store would run every schedule, and send every mail, twice.
    SingleInstance instance(registryFile);
    if (int rc = HoldStore(instance, cmd, registryFile, desktop, argc, argv); rc >= 0) return rc;

    std::unique_ptr<QCoreApplication> qt = window ? desktop.MakeQtApplication(argc, argv)
                                                  : std::make_unique<QCoreApplication>(argc, argv);
    CApplication app;
    // --headless asks the keyring once its signal handling is in place.
    if (cmd.mode != CommandLine::Headless)
        UseDesktopKeyring(app, cmd.mode != CommandLine::RunSchedule);
    switch (cmd.mode) {
        case CommandLine::RunSchedule: {
            std::string why;
            instance.Listen(false, &why);
            return RunScheduleOnce(app, cmd.schedule, std::cout, std::cerr);
        }
        case CommandLine::Headless: {
            std::string why;
            if (!instance.Listen(false, &why))
                std::cerr << "quorvane: a later start cannot reach this one (" << why << ")\n";
            app.UseDesktopNotifier(DesktopNotifier::ForSessionBus());
            return RunHeadless(app, std::cout, std::cerr, [&app] { UseDesktopKeyring(app, true); });
        }
        default:
            // Only the programs that keep running: a terminal command prints its records.
            app.UseDesktopNotifier(DesktopNotifier::ForSessionBus());
            return RunDesktop(app, instance, desktop, cmd.hidden);
    }
}

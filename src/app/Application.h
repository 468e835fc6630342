#pragma once

// The application object: owns the activity log, the run window with its panels and the
// scheduler, and is what every part of the program reaches for to write a log record.
// The desktop program puts its windows over it; the headless program runs it alone.

#include <QObject>
#include <memory>
#include <string>

#include "app/ActivityLog.h"
#include "app/RunWindow.h"
#include "app/Scheduler.h"
#include "notify/FaxSender.h"
#include "notify/PagerDialer.h"
#include "notify/PagerQueue.h"

class DesktopNotifier;
class DialUp;
class Telephony;
class QCoreApplication;
class SingleInstance;
struct CommandLine;

class CApplication : public QObject {
    Q_OBJECT
public:
    // dialUp: the dial-up to use; by default the one the settings name (LoadDialUp).
    // pagerDialer: the modem the pager calls go through; by default the pager dialer over
    // this machine's modems.
    explicit CApplication(std::unique_ptr<DialUp> dialUp, QObject* parent = nullptr,
                          std::unique_ptr<PagerDialer> pagerDialer = nullptr);
    CApplication();
    ~CApplication() override;

    // The program named by the root's "DialUpProgram" (default "nmcli"), or nullptr when
    // it cannot be found.
    static std::unique_ptr<DialUp> LoadDialUp();

    // The one application object, while it exists.
    static CApplication* Instance();

    CActivityLog& log() { return log_; }
    CRunWindow& runWindow() { return *runWindow_; }
    CScheduler& scheduler() { return *scheduler_; }
    PagerQueue& pagerQueue() { return *pager_; }
    FaxSender& faxSender() { return *fax_; }

    // Sets the schedules going: the first next-event display, the scheduler's timer and,
    // for a program with a window, the Lumetta display unless AutoStartLM is 0.
    void StartSchedules(bool withWindow);
    // Starts the Lumetta display program unless AutoStartLM is 0.
    static void AutoStartLumetta();

    // Shows the log's pop-up records as desktop notifications through notifier; their "Open"
    // starts the record's companion as the log bar's Preview does. nullptr sends none.
    void UseDesktopNotifier(std::unique_ptr<DesktopNotifier> notifier);

    void WriteLog(int icon, const std::string& text, int action = 0, const std::string& link = {},
                  bool popUp = true) {
        log_.WriteLog(icon, text, action, link, popUp);
    }

private:
    CActivityLog log_;
    // The modem and the fax channel the mail monitors use; the pager calls they queue
    // outlive every run.
    std::unique_ptr<Telephony> telephony_;
    std::unique_ptr<PagerDialer> dialer_;
    std::unique_ptr<FaxSender> fax_;
    std::unique_ptr<CPagerCallQueue> pager_;
    std::unique_ptr<CRunWindow> runWindow_;
    std::unique_ptr<CScheduler> scheduler_;
    std::unique_ptr<DesktopNotifier> notifier_;
};

// What the desktop program puts over the application. The start-up path below is the same
// for every face of the program; this is all it needs of the widgets, which the core never
// includes.
class DesktopFace {
public:
    virtual ~DesktopFace() = default;
    // Whether there is a display to show a window on.
    virtual bool HasDisplay() const = 0;
    // Tells someone who started the window why it cannot start: they would never read
    // standard error.
    virtual void ShowStartupError(const std::string& text, int& argc, char** argv) = 0;
    // The Qt application object that windows need; made before the application object.
    virtual std::unique_ptr<QCoreApplication> MakeQtApplication(int& argc, char** argv) = 0;
    // Builds and shows the main window over app; it lives until Close. hidden: the window
    // starts put away (in the tray, or minimised where there is none).
    virtual void ShowWindow(CApplication& app, bool hidden) = 0;
    // A later start asked for the window: bring it forward.
    virtual void BringForward() = 0;
    virtual void Close() = 0;
    // `--ticker`: shows the ticker of event (a Lumetta display) until its window is
    // closed. Returns the exit status.
    virtual int RunTicker(const std::string& event, int& argc, char** argv) = 0;
    // `--edit`: shows the settings of event (checked to exist) until they are closed; OK
    // writes the changes. Returns the exit status.
    virtual int RunEditor(const std::string& event, int& argc, char** argv) = 0;
};

// The one start-up path of `quorvane` once its command line is read: the working folder,
// `--log`, the settings store, `--schedules`, the hold on the store, the application
// object and its schedules, then the desktop (through desktop), `--headless` or `--run`.
// Returns the exit status.
int RunProgram(const CommandLine& cmd, int& argc, char** argv, DesktopFace& desktop);

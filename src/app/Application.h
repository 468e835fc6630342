#pragma once

// The application object: owns the activity log, the run window with its panels and the
// scheduler, and is what every part of the program reaches for to write a log record.
// The desktop program puts its windows over it; the headless program runs it alone.

#include <QObject>
#include <memory>

#include "app/ActivityLog.h"
#include "app/RunWindow.h"
#include "app/Scheduler.h"
#include "notify/PagerQueue.h"

class DialUp;

class CApplication : public QObject {
    Q_OBJECT
public:
    // dialUp: the dial-up to use; by default the one the settings name (LoadDialUp).
    explicit CApplication(std::unique_ptr<DialUp> dialUp, QObject* parent = nullptr);
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

    void WriteLog(int icon, const std::string& text, int action = 0, const std::string& link = {},
                  bool popUp = true) {
        log_.WriteLog(icon, text, action, link, popUp);
    }

private:
    CActivityLog log_;
    std::unique_ptr<PagerQueue> pager_;
    std::unique_ptr<CRunWindow> runWindow_;
    std::unique_ptr<CScheduler> scheduler_;
};

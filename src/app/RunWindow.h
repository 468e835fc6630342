#pragma once

// Carries out one schedule: dials the schedule's connection if it names one, sets the
// clock if asked, runs the schedule's monitors one after the other, sends the mail queued
// meanwhile, hangs up and makes the queued pager calls. Every text and control state of
// the run window lives here; the window on screen only draws it.

#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/ItemList.h"
#include "net/Panel.h"
#include "platform/DialUp.h"
#include "platform/Registry.h"
#include "settings/Settings.h"

class CActivityLog;
class PagerQueue;

class CRunWindow : public CWindow {
    Q_OBJECT
public:
    enum Step : int {
        kStepNone = 0,
        kStepNews = 2,
        kStepMail = 3,
        kStepWeb = 4,
        kStepLumetta = 5,
        kStepTimeSync = 6,
        kStepMailQueue = 10,
    };

    // What the window shows.
    struct Controls {
        std::string caption;
        std::string status1033, status1034;
        bool show1033 = false, show1034 = false, show1046 = false;
        bool cancelEnabled = true;
        bool visible = false;
        bool lastShowRestored = false;  // the last showing restored size and place
    };

    // dialUp may be null: no dial-up on this machine.
    CRunWindow(CActivityLog& log, std::unique_ptr<DialUp> dialUp, PagerQueue& pager,
               QObject* parent = nullptr);
    ~CRunWindow() override;

    // The panel of a step kind (2, 3, 4, 5, 6 or 10). The run window owns it.
    void SetPanel(int step, std::unique_ptr<CPanel> panel);
    CPanel* Panel(int step) const;
    // The monitor list of the next-event display, in which the running monitor is selected.
    void SetNextEventMonitors(CItemList* list) { nextEventMonitors_ = list; }
    // How long to wait after hanging up before the pager calls (5 seconds).
    void SetHangUpWait(int milliseconds) { hangUpWaitMs_ = milliseconds; }
    // How long a cancelled step may take to say goodbye to its servers (10 seconds).
    void SetCancelGrace(int milliseconds) { cancelGraceMs_ = milliseconds; }

    int StartRun(const std::string& name);
    // Called as each run starts, before it reads anything.
    void SetBeforeEachRun(std::function<void()> before) { beforeEachRun_ = std::move(before); }
    void OnCancel();

    bool running() const { return running_; }
    const std::string& scheduleName() const { return scheduleName_; }
    const std::string& phoneBook() const { return phoneBook_; }
    int step() const { return step_; }
    const std::string& currentMonitor() const { return currentMonitor_; }
    HRASCONN rasConnection() const { return rasConnection_; }
    bool hasDialUp() const { return dialUp_ != nullptr; }
    const Controls& controls() const { return controls_; }
    const CItemList& monitorQueue() const { return monitorQueue_; }
    // 0: the next showing restores the window to its normal size and place.
    void setShownBefore(bool shownBefore) { shownBefore_ = shownBefore; }

signals:
    void controlsChanged();
    void runFinished();

protected:
    void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void BeginWork();
    void OnRasDialEvent(WPARAM state, LPARAM error);
    void NextStep();
    void StartMailQueueStep();
    void FinishRun();
    void FinishAfterHangUp();
    // The cancelled step has finished, or its time to do so is over.
    void AfterCancelledStep();
    void ShowPanelOnly(int step, std::initializer_list<int> hide);
    void HideAllPanels();
    void LogError(const std::string& text);
    void Changed() { emit controlsChanged(); }

    CActivityLog& log_;
    std::unique_ptr<DialUp> dialUp_;
    PagerQueue& pager_;
    std::array<std::unique_ptr<CPanel>, 11> panels_;
    CItemList* nextEventMonitors_ = nullptr;
    std::function<void()> beforeEachRun_;
    const UINT rasDialEvent_;

    bool running_ = false;
    // The steps of a run read the root settings once each, not once per request.
    std::optional<settings::RootSettingsScope> rootSettings_;
    bool dialing_ = false;    // between a started dial and its outcome
    bool finishing_ = false;  // inside FinishRun, waiting after the hang-up
    bool paging_ = false;     // a pager call is on the line
    bool pagingCancelled_ = false;
    std::string scheduleName_;
    std::string phoneBook_, accountName_, accountPassword_;
    DWORD updateTime_ = 0;
    bool clockOnly_ = false;  // the schedule has no monitors and sets the clock
    HRASCONN rasConnection_ = 0;
    int step_ = kStepNone;
    std::string currentMonitor_;
    CItemList monitorQueue_;  // control 1043
    bool shownBefore_ = false;
    Controls controls_;
    int hangUpWaitMs_ = 5000;
    QTimer hangUpWait_;
    bool cancelling_ = false;  // the cancelled step is still winding down
    int cancelGraceMs_ = 10000;
    QTimer cancelGrace_;
};

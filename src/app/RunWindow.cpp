#include "app/RunWindow.h"

#include "app/ActivityLog.h"
#include "app/SettingsStore.h"
#include "notify/PagerQueue.h"
#include "platform/CancelRequest.h"
#include "platform/UserPrompt.h"
#include "settings/Passwords.h"

namespace {

constexpr int kAllSteps[] = {CRunWindow::kStepMail,    CRunWindow::kStepWeb,
                             CRunWindow::kStepNews,    CRunWindow::kStepMailQueue,
                             CRunWindow::kStepLumetta, CRunWindow::kStepTimeSync};

bool IsMonitorKind(int kind) {
    return kind >= 2 && kind <= 5;
}

}  // namespace

CRunWindow::CRunWindow(CActivityLog& log, std::unique_ptr<DialUp> dialUp, PagerQueue& pager,
                       QObject* parent)
    : CWindow(parent),
      log_(log),
      dialUp_(std::move(dialUp)),
      pager_(pager),
      rasDialEvent_(RegisterWindowMessage(kRasDialEventName)) {
    hangUpWait_.setSingleShot(true);
    hangUpWait_.setTimerType(Qt::PreciseTimer);
    connect(&hangUpWait_, &QTimer::timeout, this, &CRunWindow::FinishAfterHangUp);
    cancelGrace_.setSingleShot(true);
    connect(&cancelGrace_, &QTimer::timeout, this, &CRunWindow::AfterCancelledStep);
    for (int step : kAllSteps) SetPanel(step, std::make_unique<CPlaceholderPanel>());
}

CRunWindow::~CRunWindow() = default;

void CRunWindow::SetPanel(int step, std::unique_ptr<CPanel> panel) {
    if (step < 0 || step >= static_cast<int>(panels_.size())) return;
    panel->SetRunWindow(this);
    panel->SetVisible(false);
    // The window on screen shows the panel that is visible.
    connect(panel.get(), &CPanel::visibilityChanged, this, &CRunWindow::controlsChanged);
    connect(panel.get(), &CPanel::linesChanged, this, &CRunWindow::controlsChanged);
    panels_[step] = std::move(panel);
}

CPanel* CRunWindow::Panel(int step) const {
    return step >= 0 && step < static_cast<int>(panels_.size()) ? panels_[step].get() : nullptr;
}

void CRunWindow::HideAllPanels() {
    for (int step : kAllSteps) panels_[step]->SetVisible(false);
}

void CRunWindow::ShowPanelOnly(int step, std::initializer_list<int> hide) {
    panels_[step]->SetVisible(true);
    for (int other : hide)
        if (other != step) panels_[other]->SetVisible(false);
}

void CRunWindow::LogError(const std::string& text) {
    log_.WriteLog(kIconError, text, 0, {}, true);
}

int CRunWindow::StartRun(const std::string& name) {
    if (running_) {
        UserPrompt::Get().Ask("Running...", "Quorvane", UserPrompt::Ok, UserPrompt::NoIcon);
        return 0;
    }
    if (beforeEachRun_) beforeEachRun_();
    scheduleName_ = name;
    running_ = true;
    pagingCancelled_ = false;
    cancel_request::Clear();
    rasConnection_ = 0;
    HideAllPanels();
    controls_.caption = "Running scheduled event  -  " + name;
    controls_.show1033 = controls_.show1034 = controls_.show1046 = false;

    ListScheduleMonitors(name, monitorQueue_);
    updateTime_ = 0;
    phoneBook_.clear();
    accountName_.clear();
    accountPassword_.clear();
    {
        RegKey schedule;
        if (schedule.Open(RegKey::LocalMachine(), settings::EventPath(name)) == ERROR_SUCCESS) {
            updateTime_ = settings::ReadDword(schedule, settings::kUpdateTime, 0);
            phoneBook_ = settings::ReadString(schedule, settings::kPhoneBook);
            accountName_ = settings::ReadString(schedule, settings::kAccountName);
        }
    }
    // A schedule made only to keep the clock right (the wizard allows one, the guide shows
    // one) does that much: the clock step, over its dial-up connection if it names one.
    clockOnly_ = monitorQueue_.GetCount() == 0 && updateTime_ == 1;
    if (monitorQueue_.GetCount() == 0 && !clockOnly_) {
        FinishRun();
        return 0;
    }

    controls_.visible = true;
    controls_.lastShowRestored = !shownBefore_;
    shownBefore_ = true;
    Changed();

    bool dial = !phoneBook_.empty() && phoneBook_ != settings::kLocalNetwork && dialUp_;
    if (!dial) {
        BeginWork();
        return 1;
    }

    RasDialParams params;
    bool passwordSaved = false;
    uint32_t rc = dialUp_->GetEntryDialParams(phoneBook_, &params, &passwordSaved);
    if (rc != 0) {
        LogError("While starting event " + name + " " +
                 "an error occured getting information about the Internet connection to " +
                 phoneBook_ + ".  The error message was :" + dialUp_->GetErrorString(rc));
        FinishRun();
        return 0;
    }
    if (!passwordSaved) {
        // Asked for only here: a run that dials nothing, or a connection that keeps its own
        // password, never waits on the keyring.
        std::string problem;
        RegKey schedule;
        if (schedule.Open(RegKey::LocalMachine(), settings::EventPath(name)) == ERROR_SUCCESS &&
            settings::ReadPassword(schedule, settings::kAccountPasswd, settings::kStringBuffer,
                                   &accountPassword_, &problem,
                                   false) == settings::PasswordRead::kUnavailable) {
            LogError("While starting event " + name + " " + problem +
                     " The Internet connection to " + phoneBook_ + " was not made.");
            FinishRun();
            return 0;
        }
        params.userName = accountName_;
        params.password = accountPassword_;
    }
    rc = dialUp_->Dial(params, this, &rasConnection_);
    if (rc == ERROR_PORT_ALREADY_OPEN) {
        BeginWork();
        return 1;
    }
    if (rc != 0) {
        LogError("While starting event " + name + ", the Internet connection to " + phoneBook_ +
                 " did not complete correctly.\r\n\r\n   " + dialUp_->GetErrorString(rc));
        FinishRun();
        return 0;
    }
    dialing_ = true;
    controls_.status1033 = "Calling " + phoneBook_;
    controls_.status1034 = "";
    controls_.show1033 = controls_.show1034 = controls_.show1046 = true;
    Changed();
    return 1;
}

void CRunWindow::BeginWork() {
    rootSettings_.emplace();
    if (updateTime_ == 1) {
        step_ = kStepTimeSync;
        panels_[kStepTimeSync]->SetVisible(true);
        panels_[kStepTimeSync]->Start({});
    } else {
        NextStep();
    }
}

void CRunWindow::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_STEP_FINISHED) {
        if (cancelling_) return AfterCancelledStep();
        // A panel cancelled earlier, or one finishing while the run winds down, changes
        // nothing.
        if (running_ && !finishing_ && !dialing_) NextStep();
    } else if (msg == rasDialEvent_) {
        // Progress of a dial that was cancelled or hung up no longer concerns this run.
        if (running_ && dialing_) OnRasDialEvent(wParam, lParam);
    }
}

void CRunWindow::OnRasDialEvent(WPARAM state, LPARAM error) {
    switch (state) {
        case RASCS_PortOpened:
            controls_.status1034 = "Dialing...";
            break;
        case RASCS_Authenticate:
            controls_.status1034 = "Connected, Verifing the user name and password...";
            break;
        case RASCS_Authenticated:
            controls_.status1034 = "User verified, Logging onto the network...";
            break;
        case RASCS_Connected:
            controls_.status1034 = "";
            controls_.show1034 = controls_.show1033 = controls_.show1046 = false;
            Changed();
            dialing_ = false;
            BeginWork();
            return;
        default:
            break;
    }
    Changed();
    if (error != 0) {
        dialing_ = false;
        LogError("While starting event " + scheduleName_ + ", the Internet connection to " +
                 phoneBook_ + " did not complete correctly.\r\n\r\nThe error message was :" +
                 dialUp_->GetErrorString(static_cast<uint32_t>(error)));
        FinishRun();
    }
}

void CRunWindow::NextStep() {
    while (monitorQueue_.GetCount() > 0) {
        if (step_ == kStepTimeSync) panels_[kStepTimeSync]->SetVisible(false);
        step_ = static_cast<int>(monitorQueue_.GetItemData(0));
        currentMonitor_ = monitorQueue_.GetText(0);
        monitorQueue_.DeleteString(0);
        if (nextEventMonitors_)
            nextEventMonitors_->SetCurSel(nextEventMonitors_->FindStringExact(currentMonitor_));
        if (IsMonitorKind(step_)) {
            ShowPanelOnly(step_, {kStepMail, kStepWeb, kStepNews, kStepLumetta});
            panels_[step_]->Start(currentMonitor_);
            return;
        }
    }
    // A run that only set the clock queued no mail, and sends none left from others.
    if (step_ == kStepMailQueue || clockOnly_)
        FinishRun();
    else
        StartMailQueueStep();
}

void CRunWindow::StartMailQueueStep() {
    if (!running_) return;
    step_ = kStepMailQueue;
    ShowPanelOnly(kStepMailQueue, {kStepMail, kStepWeb, kStepNews, kStepLumetta, kStepTimeSync});
    panels_[kStepMailQueue]->Start({});
}

void CRunWindow::OnCancel() {
    if (!running_) return;
    if (finishing_) {
        // Only the hang-up and the pages are left: no more pages are made (they stay
        // queued), and the one on the line is hung up now rather than at its countdown's
        // end. This may run inside the dialer's loop; the paging loop below it sees the
        // flag once the call has returned.
        pagingCancelled_ = true;
        if (hangUpWait_.isActive()) {
            hangUpWait_.stop();
            FinishAfterHangUp();
        } else if (paging_) {
            pager_.CancelCall();
        }
        return;
    }
    if (cancelling_) {
        // Asked again while the step says goodbye: no more waiting.
        return AfterCancelledStep();
    }
    // While dialing no panel is at work; the step left from the last run is not touched.
    CPanel* cancelled = nullptr;
    if (!dialing_) {
        for (int step : kAllSteps)
            if (step == step_) cancelled = panels_[step].get();
    }
    dialing_ = false;
    if (cancelled) {
        cancelled->Cancel(0);
        if (cancelled->Finishing()) {
            // What the step did sticks only once its server has heard the goodbye (a
            // mailbox keeps its deletions only after QUIT): the run waits for the step's
            // completion, a bounded while.
            cancelling_ = true;
            cancelGrace_.start(cancelGraceMs_);
            return;
        }
    }
    FinishRun();
}

void CRunWindow::AfterCancelledStep() {
    if (!cancelling_) return;
    cancelling_ = false;
    cancelGrace_.stop();
    CPanel* panel = Panel(step_);
    if (panel && panel->Finishing()) panel->Cancel(0);
    FinishRun();
}

void CRunWindow::FinishRun() {
    finishing_ = true;
    dialing_ = false;
    HideAllPanels();
    controls_.status1033.clear();
    controls_.status1034.clear();
    controls_.show1033 = controls_.show1034 = controls_.show1046 = true;
    controls_.cancelEnabled = false;
    Changed();

    if (dialUp_ && rasConnection_ != 0) {
        controls_.status1033 = "Hangup connection to " + phoneBook_ + ".";
        controls_.status1034 = "Please wait.";
        controls_.show1046 = true;
        Changed();
        dialUp_->HangUp(rasConnection_);
        rasConnection_ = 0;
        // The line needs a moment before the modem can dial a pager; the loop keeps
        // turning meanwhile.
        hangUpWait_.start(hangUpWaitMs_);
        return;
    }
    FinishAfterHangUp();
}

void CRunWindow::FinishAfterHangUp() {
    // A call refused for its own number goes with its record; the calls behind it are
    // still made. A line that failed, or a cancel, leaves the rest for the next run.
    while (!pagingCancelled_ && pager_.TakeNextPagerCall() == 1) {
        controls_.status1033 = "Now paging " + pager_.CurrentPagerNumber() + ", please stand by.";
        controls_.status1034 = "";
        controls_.show1046 = true;
        Changed();
        paging_ = true;
        pager_.MakePagerCall();
        paging_ = false;
        if (!pager_.KeepPaging()) break;
    }
    pagingCancelled_ = false;
    running_ = false;
    finishing_ = false;
    rootSettings_.reset();
    controls_.visible = false;
    controls_.show1033 = controls_.show1034 = controls_.show1046 = false;
    controls_.status1033.clear();
    controls_.status1034.clear();
    controls_.cancelEnabled = true;
    Changed();
    emit runFinished();
}

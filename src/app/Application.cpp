#include "app/Application.h"

#include "app/SettingsStore.h"
#include "monitors/WebMonitor.h"
#include "notify/MailQueue.h"
#include "platform/DialUp.h"

namespace {
CApplication* gInstance = nullptr;
}

CApplication::CApplication(std::unique_ptr<DialUp> dialUp, QObject* parent)
    : QObject(parent), pager_(std::make_unique<EmptyPagerQueue>()) {
    runWindow_ = std::make_unique<CRunWindow>(log_, std::move(dialUp), *pager_);
    runWindow_->SetPanel(CRunWindow::kStepWeb, std::make_unique<CWebMonitor>(log_));
    runWindow_->SetPanel(CRunWindow::kStepMailQueue, std::make_unique<CMailQueueSender>(log_));
    scheduler_ = std::make_unique<CScheduler>(*runWindow_);
    runWindow_->SetNextEventMonitors(&scheduler_->monitorList());
    gInstance = this;
}

CApplication::CApplication() : CApplication(LoadDialUp()) {}

CApplication::~CApplication() {
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

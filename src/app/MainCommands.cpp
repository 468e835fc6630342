#include "app/MainCommands.h"

#include <unistd.h>

#include <QUrl>
#include <filesystem>

#include "app/Application.h"
#include "app/Autostart.h"
#include "app/EventList.h"
#include "app/SettingsStore.h"
#include "platform/Shell.h"
#include "platform/UserPrompt.h"

CMainCommands::CMainCommands(CApplication& app, QObject* parent)
    : QObject(parent), app_(app), selector_(true), eventList_(selector_) {
    connect(&eventList_, &CEventList::refreshed, this, [this] {
        app_.scheduler().RecomputeSchedule();
        emit stateChanged();
    });
    connect(&app_.runWindow(), &CRunWindow::controlsChanged, this, &CMainCommands::stateChanged);
    connect(&eventList_, &CEventList::changed, this, &CMainCommands::stateChanged);
    connect(&selector_, &CItemList::currentChanged, this, &CMainCommands::stateChanged);
    connect(&eventList_, &CEventList::editRequested, this, &CMainCommands::editRequested);
}

void CMainCommands::ChooseSchedule(int index) {
    selector_.SetCurSel(index);
    eventList_.RefreshList();
    if (RegKey root; index >= 0 && root.Create(RegKey::LocalMachine(), settings::kRoot,
                                               settings::kEventClass) == ERROR_SUCCESS)
        root.SetString(settings::kLastChosenSchedule, selector_.CurrentText());
}

void CMainCommands::ChooseFirstSchedule() {
    app_.scheduler().RecomputeSchedule();
    FillScheduleList(selector_);
    // As long as any event name may be: a long name read cut would find no schedule.
    std::string last;
    ReadRootText(settings::kLastChosenSchedule, last, settings::kEventNameBuffer);
    int at = last.empty() ? -1 : selector_.FindStringExact(last);
    if (at < 0) {
        const std::string& next = app_.scheduler().display().name1038;
        at = selector_.FindStringExact(next.empty() ? settings::kNoSchedule : next);
    }
    selector_.SetCurSel(at);
    eventList_.RefreshList();
}

bool CMainCommands::ScheduleChosen() const {
    return CScheduler::IsChosen(ChosenSchedule());
}

bool CMainCommands::RunNowEnabled() const {
    return ScheduleChosen() && !app_.runWindow().running();
}

bool CMainCommands::PopupEnabled(int item) const {
    switch (item) {
        case kPopupDeleteSchedule:
        case kPopupModifySchedule:
        case kPopupRenameSchedule:
            return ScheduleChosen();
        case kPopupRunSchedule:
            return RunNowEnabled();
        case kPopupPaste:
            return eventList_.PasteEnabled();
        case kPopupShowTicker:
            return eventList_.ShowTickerEnabled();
        case kPopupModifyEvent:
        case kPopupDelete:
        case kPopupCopy:
        case kPopupCut:
        case kPopupRename:
            return eventList_.HasSelection();
        default:
            return false;
    }
}

void CMainCommands::ShowTicker() {
    if (eventList_.ShowTickerEnabled())
        emit tickerRequested(eventList_.rows()[eventList_.selected()].label);
}

void CMainCommands::ModifySchedule() {
    if (!ScheduleChosen()) return;
    if (CompanionInstalled(1))
        LaunchCompanion(ChosenSchedule(), 1);
    else
        emit editRequested(ChosenSchedule());
}

void CMainCommands::DeleteSchedule() {
    if (!ScheduleChosen()) return;
    if (ConfirmAndDeleteSchedule(ChosenSchedule())) eventList_.RefreshList();
}

void CMainCommands::RenameSchedule(const std::string& newName) {
    if (!ScheduleChosen() || newName.empty()) return;
    std::string oldName = ChosenSchedule();
    if (!::RenameSchedule(oldName, newName) || oldName == newName) return;
    // Keep the renamed schedule chosen rather than falling back to "<None>".
    selector_.AddString(newName, 1);
    selector_.SetCurSel(selector_.FindStringExact(newName));
    eventList_.RefreshList();
}

void CMainCommands::RunNow() {
    app_.scheduler().RunNow(ChosenSchedule());
    emit stateChanged();
}

void CMainCommands::Pause() {
    app_.scheduler().Pause();
    emit stateChanged();
}

void CMainCommands::Resume() {
    app_.scheduler().Resume();
    emit stateChanged();
}

std::string CMainCommands::PauseStateText() const {
    return app_.scheduler().paused() ? "Paused" : "";
}

QByteArray CMainCommands::ReadPlacement(const char* name) {
    RegKey root;
    if (root.Open(RegKey::LocalMachine(), settings::kRoot) != ERROR_SUCCESS) return {};
    DWORD type = 0;
    Bytes data;
    if (root.QueryValue(name, &type, &data, kPlacementLimit) != ERROR_SUCCESS || type != REG_BINARY)
        return {};
    return QByteArray(reinterpret_cast<const char*>(data.data()),
                      static_cast<qsizetype>(data.size()));
}

bool CMainCommands::WritePlacement(const char* name, const QByteArray& bytes) {
    if (bytes.isEmpty() || static_cast<size_t>(bytes.size()) > kPlacementLimit) return false;
    RegKey root;
    if (root.Create(RegKey::LocalMachine(), settings::kRoot, settings::kEventClass) !=
        ERROR_SUCCESS)
        return false;
    return root.SetValue(name, REG_BINARY, reinterpret_cast<const uint8_t*>(bytes.constData()),
                         static_cast<size_t>(bytes.size())) == ERROR_SUCCESS;
}

bool CMainCommands::ConfirmExit() {
    return UserPrompt::Get().Ask("Are you sure you want to exit now?", "Quorvane",
                                 UserPrompt::YesNo, UserPrompt::Question) == UserPrompt::IdYes;
}

void CMainCommands::AutoStartLumetta() {
    CApplication::AutoStartLumetta();
}

void CMainCommands::NewEvent(int kind) {
    if (kind >= 1 && kind <= 5) emit newEventRequested(kind);
}

bool CMainCommands::NameFree(const std::string& name, int kind) {
    // Checked again at the last moment: another program may have made an event of that
    // name while the wizard was open, and storing over it would change its kind.
    std::string problem = NewEventNameProblem(name, kind == settings::kSchedule);
    if (problem.empty()) return true;
    UserPrompt::Get().Ask("The event " + name + " could not be created: " + problem + ".",
                          "Quorvane", UserPrompt::Ok, UserPrompt::Stop);
    return false;
}

bool CMainCommands::Stored(bool written, const std::string& name, int kind) {
    if (!written) {
        UserPrompt::Get().Ask(
            "The event " + name + " could not be stored in the settings; nothing was created.",
            "Quorvane", UserPrompt::Ok, UserPrompt::Stop);
        return false;
    }
    if (kind == settings::kSchedule) {
        LaunchCompanion(name, kind);
        selector_.AddString(name, 1);
        selector_.SetCurSel(selector_.FindStringExact(name));
        eventList_.RefreshList();
        return true;
    }
    eventList_.RefreshList();
    if (kind != settings::kLumettaDisplay) LaunchCompanion(name, kind);
    return true;
}

bool CMainCommands::CreateEvent(const ScheduleRecord& r) {
    if (!NameFree(r.name, settings::kSchedule)) return false;
    return Stored(WriteInOneStep([&] { return CreateEventRecord(r); }), r.name,
                  settings::kSchedule);
}
bool CMainCommands::CreateEvent(const MailMonitorRecord& r) {
    if (!NameFree(r.name, settings::kMailMonitor)) return false;
    return Stored(WriteInOneStep([&] { return CreateEventRecord(r); }), r.name,
                  settings::kMailMonitor);
}
bool CMainCommands::CreateEvent(const NewsMonitorRecord& r) {
    if (!NameFree(r.name, settings::kNewsMonitor)) return false;
    return Stored(WriteInOneStep([&] { return CreateEventRecord(r); }), r.name,
                  settings::kNewsMonitor);
}
bool CMainCommands::CreateEvent(const WebMonitorRecord& r) {
    if (!NameFree(r.name, settings::kWebMonitor)) return false;
    return Stored(WriteInOneStep([&] { return CreateEventRecord(r); }), r.name,
                  settings::kWebMonitor);
}
bool CMainCommands::CreateEvent(const LumettaRecord& r) {
    if (!NameFree(r.name, settings::kLumettaDisplay)) return false;
    return Stored(WriteInOneStep([&] { return CreateEventRecord(r); }), r.name,
                  settings::kLumettaDisplay);
}

void CMainCommands::Help() {
    if (::access("Quorvane.Hlp", R_OK) == 0) {
        char cwd[4096];
        std::string dir = ::getcwd(cwd, sizeof cwd) ? cwd : ".";
        Shell::Get().OpenUrl(dir + "/Quorvane.Hlp");
        return;
    }
    for (const auto& guide : guideLocations_) {
        if (::access(guide.c_str(), R_OK) != 0) continue;
        // A file address: a browser named in the options takes it as a link, whatever the
        // path holds (blanks, '#', letters outside ASCII).
        LaunchCompanion(QUrl::fromLocalFile(QString::fromStdString(guide))
                            .toString(QUrl::FullyEncoded)
                            .toStdString(),
                        11);
        return;
    }
    std::string looked;
    for (const auto& guide : guideLocations_) looked += "\n" + guide;
    UserPrompt::Get().Ask(
        "The user guide is missing: there is no help file (Quorvane.Hlp) in the working folder, "
        "and no guide at" +
            (looked.empty() ? std::string(" any place it is looked for.") : looked),
        "Quorvane", UserPrompt::Ok, UserPrompt::Information);
}

std::vector<std::string> CMainCommands::GuideLocations() {
    std::vector<std::string> places;
    std::string program = Autostart::RunningProgram();
    if (!program.empty())
        places.push_back((std::filesystem::path(program).parent_path().parent_path() /
                          "share/quorvane/guide/index.html")
                             .string());
#ifdef QUORVANE_SOURCE_DIR
    places.push_back(QUORVANE_SOURCE_DIR "/docs/guide/index.html");
#endif
    return places;
}

std::string CMainCommands::MakerPage(int command) {
    switch (command) {
        case 32821:
            return "http://www.halvorn.com/";
        case 32822:
            return "http://www.halvorn.com/support/";
        case 32824:
            return "http://www.halvorn.com/faq/";
        default:
            return {};
    }
}

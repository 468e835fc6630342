#pragma once

// The commands of the main window and the rules that enable them, kept apart from the
// widgets so that tests can drive them: the schedule selector, the schedule commands,
// the companion programs, exit and the pop-up menu of the event list.

#include <QByteArray>
#include <QObject>
#include <string>

#include "app/EventList.h"
#include "app/ItemList.h"
#include "app/SettingsStore.h"

class CApplication;

// Pop-up menu items of the event list.
enum PopupItem {
    kPopupModifyEvent = 10000,
    kPopupDelete = 10001,
    kPopupCopy = 10002,
    kPopupPaste = 10003,
    kPopupDeleteSchedule = 10004,
    kPopupModifySchedule = 10005,
    kPopupRunSchedule = 10006,
    kPopupRenameSchedule = 10007,
    kPopupCut = 10008,
    kPopupRename = 10009,
    kPopupSeparator = 10010,
    kPopupShowTicker = 10011,  // our own: the ticker of a Lumetta display
};

// Root values (REG_BINARY) that keep where the main window and the Log Messages bar were
// last, so that the next start puts them back there.
inline constexpr const char* kWindowPlacement = "WindowPlacement";
inline constexpr const char* kLogBarPlacement = "LogBarPlacement";
// A placement is a few dozen bytes; anything far larger is not one of ours.
inline constexpr size_t kPlacementLimit = 4096;

class CMainCommands : public QObject {
    Q_OBJECT
public:
    explicit CMainCommands(CApplication& app, QObject* parent = nullptr);

    CItemList& selector() { return selector_; }  // control 1081, sorted
    CEventList& eventList() { return eventList_; }
    CApplication& app() { return app_; }
    std::string ChosenSchedule() const { return selector_.CurrentText(); }

    // Enabling rules.
    bool ScheduleChosen() const;
    bool RunNowEnabled() const;
    bool PopupEnabled(int item) const;

    // The schedule commands, on the schedule chosen in the selector.
    // The user chose the schedule at index in the selector: its events are listed, and the
    // choice is remembered for the next start.
    void ChooseSchedule(int index);
    // The schedule the main window opens on: the one chosen last while it still exists,
    // else the one that runs next (or "<None>").
    void ChooseFirstSchedule();
    void ModifySchedule();
    void DeleteSchedule();
    // After the rename dialog's OK: an empty text changes nothing.
    void RenameSchedule(const std::string& newName);
    void RunNow();
    void Pause();
    void Resume();
    // What the Event Schedule bar says about the scheduler: "Paused", or empty.
    std::string PauseStateText() const;

    // A stored placement, empty when there is none (the first start) or it is unusable.
    static QByteArray ReadPlacement(const char* name);
    static bool WritePlacement(const char* name, const QByteArray& bytes);

    // True when the user confirmed that the program is to end.
    bool ConfirmExit();
    // Starts the Lumetta display program unless AutoStartLM is 0.
    void AutoStartLumetta();
    // New event of a kind (1 to 5): asks the view for the kind's wizard (newEventRequested).
    void NewEvent(int kind);
    // Stores the event a wizard collected. Then the event list follows, the kind's companion
    // program is started with the new name (not for a Lumetta display) and a new schedule is
    // added to the selector and chosen. A store that refuses the record is told to the user;
    // false then.
    bool CreateEvent(const ScheduleRecord& r);
    bool CreateEvent(const MailMonitorRecord& r);
    bool CreateEvent(const NewsMonitorRecord& r);
    bool CreateEvent(const WebMonitorRecord& r);
    bool CreateEvent(const LumettaRecord& r);
    // Opens the help file (Quorvane.Hlp) when the working folder has one, else the user
    // guide in the web browser (as a link of the log opens), else says that there is none.
    void Help();
    // Where the user guide is looked for, in order: next to the installed program
    // (<program's folder>/../share/quorvane/guide/index.html), then in the source tree.
    static std::vector<std::string> GuideLocations();
    void SetGuideLocations(std::vector<std::string> locations) {
        guideLocations_ = std::move(locations);
    }
    static std::string AboutText() { return "Korvalin Version 1.01"; }
    // The maker's pages: 32821 home page, 32822 support, 32824 questions and answers.
    static std::string MakerPage(int command);

    // "Show Ticker" on the selected event, when ShowTickerEnabled.
    void ShowTicker();

signals:
    void stateChanged();
    // The view opens the ticker window of the Lumetta display event.
    void tickerRequested(const std::string& event);
    // Modify found no companion program: the view shows the event's settings itself.
    void editRequested(const std::string& event);
    // The view runs the New Event wizard of the kind (1 to 5).
    void newEventRequested(int kind);

private:
    bool NameFree(const std::string& name, int kind);
    bool Stored(bool written, const std::string& name, int kind);

    CApplication& app_;
    std::vector<std::string> guideLocations_ = GuideLocations();
    CItemList selector_;
    CEventList eventList_;
};

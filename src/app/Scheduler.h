#pragma once

// Decides when each schedule runs and keeps the next-event display up to date, driven by
// one 125 ms timer. The display's texts and lists live here; the Event Schedule bar only
// draws them.

#include <cstdint>
#include <ctime>
#include <string>

#include "app/ItemList.h"
#include "platform/Window.h"

class CRunWindow;

inline constexpr UINT kSchedulerTimer = 1;
inline constexpr int kSchedulerPeriodMs = 125;

class CScheduler : public CWindow {
    Q_OBJECT
public:
    // The next-event display.
    struct Display {
        std::string label1045;   // "Next Event" or "Running Event"
        std::string name1038;    // the next schedule
        std::string time1039;    // its time
        std::string ticker1037;  // the scrolling text
    };

    explicit CScheduler(CRunWindow& runWindow, QObject* parent = nullptr);

    // Starts timer 1; lastTick is now.
    void Start();
    void Tick();
    void RecomputeSchedule();
    // The schedule's next run after lastTick; false when it has none.
    bool NextRunTime(const std::string& name, time_t* when) const {
        return NextRunTimeAfter(name, lastTick_, when);
    }
    // The schedule's first allowed slot after the minute of now, looking one day ahead.
    static bool NextRunTimeAfter(const std::string& name, time_t now, time_t* when);

    void Pause();
    void Resume();
    // Runs the schedule chosen in the selector now (its whole name, without regard to case).
    void RunNow(const std::string& selectorText);

    bool PauseEnabled() const { return !paused_; }
    bool ResumeEnabled() const { return paused_; }
    bool RunNowEnabled(const std::string& selectorText) const;
    // A schedule is chosen when the selector's text is neither empty nor "<None>".
    static bool IsChosen(const std::string& selectorText);

    bool paused() const { return paused_; }
    time_t lastTick() const { return lastTick_; }
    void setLastTick(time_t t) { lastTick_ = t; }
    // How far the wall clock may fall behind the tick count between two ticks before the
    // difference counts as the clock having been set back.
    static constexpr int64_t kClockStepToleranceMs = 2000;
    const std::string& tickerSource() const { return tickerSource_; }
    const Display& display() const { return display_; }
    CItemList& schedulingList() { return schedulingList_; }  // control 1040
    CItemList& monitorList() { return monitorList_; }        // control 1036

signals:
    void displayChanged();

protected:
    void OnTimer(UINT id) override;

private:
    void Changed() { emit displayChanged(); }
    // The display while the named schedule runs.
    void ShowRunning(const std::string& name);

    CRunWindow& run_;
    CItemList schedulingList_;
    CItemList monitorList_;
    bool paused_ = false;
    time_t lastTick_ = 0;
    // The next-run times are places on the wall clock, which can be set back (by hand, by
    // the clock step of a run); the tick count cannot. How much time has passed is
    // therefore measured on the tick count, and a wall clock that moved less than that
    // was set back.
    uint64_t lastRecomputeMs_ = 0;  // tick count at the last recompute by the timer
    time_t lastIdleWall_ = 0;       // wall clock and tick count at the last idle tick
    uint64_t lastIdleMs_ = 0;
    bool ticked_ = false;
    std::string tickerSource_;
    Display display_;
};

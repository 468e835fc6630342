#pragma once

// The main window: toolbar, status bar with its clock, the schedule selector, the Event
// Schedule and Log Messages bars, the menus, the tray icon and the event list. It draws
// the core's state and forwards the user's commands; it decides nothing itself.

#include <QMainWindow>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/Application.h"

class CApplication;
class CMainCommands;
class CMain;
class CRunWindowView;
class CTickerWindow;
class QAction;
class QComboBox;
class QDockWidget;
class QLabel;
class QListView;
class QMenu;
class QPlainTextEdit;
class QTimer;
class QToolButton;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // Whether the desktop offers a system tray now. It is asked again whenever the window
    // is to be put away, and every few seconds while there is no tray icon, since a tray
    // host often starts after the programs of a session.
    using TrayProbe = std::function<bool()>;
    static constexpr int kTrayWatchMs = 3000;

    CMainFrame(CApplication& app, CMainCommands& commands, TrayProbe trayAvailable,
               QWidget* parent = nullptr);
    ~CMainFrame() override;

    QAction* Action(int command) const;
    QMenu* popupMenu() const { return popup_; }
    CMain* view() const { return view_; }
    QComboBox* scheduleSelector() const { return selector_; }
    QDockWidget* eventScheduleBar() const { return scheduleDock_; }
    QDockWidget* logBar() const { return logDock_; }
    CRunWindowView* runWindowView() const { return runView_.get(); }
    // The tray icon, null until a tray host was seen.
    QSystemTrayIcon* trayIcon() const { return tray_; }
    bool trayAvailable() const { return trayAvailable_(); }
    // Shows the tray icon once a tray host is there; the tray watch calls it.
    void CheckTray();
    bool trayWatchActive() const;
    QLabel* clockPane() const { return clock_; }
    // The texts of the bars, as drawn.
    QString ControlText(int id) const;
    // Brings the window back from the tray (or from the task bar), raised and active, as
    // a double-click on the tray icon does.
    void ShowFromTray();
    // Close and "Hide this in the Icon Tray": hidden in the tray when there is one to bring
    // it back from, else minimised, so that the window can always be found again.
    void PutAway();
    // `--hidden`: the window starts put away as PutAway leaves it, never shown first.
    void StartPutAway();
    // Writes where the window and the Log Messages bar are, for the next start.
    void SavePlacement();
    // Updates the enabled state and check marks of every command.
    void UpdateCommands();
    // The Exit command: asks, and ends the program on Yes.
    void Exit();
    // Shows the ticker strip of a Lumetta display event (the "Show Ticker" command).
    CTickerWindow* OpenTicker(const std::string& event);
    const std::vector<QPointer<CTickerWindow>>& tickers() const { return tickers_; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* AddAction(QMenu* menu, int command, const QString& text,
                       const QList<QKeySequence>& keys = {});
    void BuildMenus();
    void BuildToolBars();
    void BuildEventScheduleBar();
    void BuildLogBar();
    void BuildPopup();
    void RenderSchedule();
    void RenderLog();
    void RenameScheduleDialog();
    void OnCommand(int command);
    void ShowTrayIcon();
    void UpdateTrayMenu();
    void RestorePlacement();
    // Puts the log bar where it was last, or else beside the window, when first shown.
    void PlaceLogBar();

    CApplication& app_;
    CMainCommands& commands_;
    TrayProbe trayAvailable_;
    bool exiting_ = false;
    // Whether the log bar has a place of its own yet (stored, or chosen when first shown).
    bool logBarPlaced_ = false;
    QRect storedLogBar_;
    QTimer* trayWatch_ = nullptr;
    QTimer* placementSaver_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QAction* trayPause_ = nullptr;
    QAction* trayRunNow_ = nullptr;
    QLabel* pausedState_ = nullptr;
    std::map<int, QAction*> actions_;
    QMenu* popup_ = nullptr;
    CMain* view_ = nullptr;
    QComboBox* selector_ = nullptr;
    QDockWidget* scheduleDock_ = nullptr;
    QDockWidget* logDock_ = nullptr;
    // A window of its own, not a child of the frame.
    std::unique_ptr<CRunWindowView> runView_;
    QSystemTrayIcon* tray_ = nullptr;
    QLabel* clock_ = nullptr;
    std::map<int, QLabel*> labels_;
    QListView* monitors1036_ = nullptr;
    QPlainTextEdit* logText_ = nullptr;
    QLabel* logIcon_ = nullptr;
    QToolButton* logPrev_ = nullptr;
    QToolButton* logNext_ = nullptr;
    QToolButton* logPreview_ = nullptr;
    std::vector<QPointer<CTickerWindow>> tickers_;
};

// Where a floating bar of size bar first shows beside a window whose frame is at frame, on
// the screen area screen: below it, else to its right, above, left; where none of these
// fits, below and pushed onto the screen, so that it never covers the window's menus.
QPoint BesideWindow(const QRect& frame, const QSize& bar, const QRect& screen);

// The desktop program's windows over the one start-up path (RunProgram).
class QtDesktop final : public DesktopFace {
public:
    QtDesktop();
    ~QtDesktop() override;
    bool HasDisplay() const override;
    void ShowStartupError(const std::string& text, int& argc, char** argv) override;
    std::unique_ptr<QCoreApplication> MakeQtApplication(int& argc, char** argv) override;
    void ShowWindow(CApplication& app, bool hidden) override;
    void BringForward() override;
    void Close() override;
    int RunTicker(const std::string& event, int& argc, char** argv) override;
    int RunEditor(const std::string& event, int& argc, char** argv) override;

private:
    std::unique_ptr<CMainCommands> commands_;
    std::unique_ptr<CMainFrame> frame_;
};
// Tells the user in a message box why the program cannot start.
void ShowStartupError(const std::string& text, int& argc, char** argv);

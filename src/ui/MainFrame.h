#pragma once

// The main window: toolbar, status bar with its clock, the schedule selector, the Event
// Schedule and Log Messages bars, the menus, the tray icon and the event list. It draws
// the core's state and forwards the user's commands; it decides nothing itself.

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <map>

class CApplication;
class CMainCommands;
class CMain;
class CRunWindowView;
class QAction;
class QComboBox;
class QDockWidget;
class QLabel;
class QListView;
class QMenu;
class QPlainTextEdit;
class QToolButton;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    // trayAvailable: whether the desktop offers a system tray (tests may say no).
    CMainFrame(CApplication& app, CMainCommands& commands, bool trayAvailable,
               QWidget* parent = nullptr);
    ~CMainFrame() override;

    QAction* Action(int command) const;
    QMenu* popupMenu() const { return popup_; }
    CMain* view() const { return view_; }
    QComboBox* scheduleSelector() const { return selector_; }
    QDockWidget* eventScheduleBar() const { return scheduleDock_; }
    QDockWidget* logBar() const { return logDock_; }
    CRunWindowView* runWindowView() const { return runView_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    bool trayAvailable() const { return trayAvailable_; }
    QLabel* clockPane() const { return clock_; }
    // The texts of the bars, as drawn.
    QString ControlText(int id) const;
    // Brings the window back from the tray, as a double-click on the tray icon does.
    void ShowFromTray();
    // Updates the enabled state and check marks of every command.
    void UpdateCommands();
    // The Exit command: asks, and ends the program on Yes.
    void Exit();

protected:
    void closeEvent(QCloseEvent* event) override;

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

    CApplication& app_;
    CMainCommands& commands_;
    bool trayAvailable_;
    bool exiting_ = false;
    std::map<int, QAction*> actions_;
    QMenu* popup_ = nullptr;
    CMain* view_ = nullptr;
    QComboBox* selector_ = nullptr;
    QDockWidget* scheduleDock_ = nullptr;
    QDockWidget* logDock_ = nullptr;
    CRunWindowView* runView_ = nullptr;
    QSystemTrayIcon* tray_ = nullptr;
    QLabel* clock_ = nullptr;
    std::map<int, QLabel*> labels_;
    QListView* monitors1036_ = nullptr;
    QPlainTextEdit* logText_ = nullptr;
    QLabel* logIcon_ = nullptr;
    QToolButton* logPrev_ = nullptr;
    QToolButton* logNext_ = nullptr;
    QToolButton* logPreview_ = nullptr;
};

// Starts the desktop program; returns its exit code.
int RunDesktop(int& argc, char** argv);
// Tells the user in a message box why the program cannot start.
void ShowStartupError(const std::string& text, int& argc, char** argv);

#include "ui/MainFrame.h"
#include <cstdio>
#include <cstdlib>

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDataStream>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <iostream>

#include "app/Application.h"
#include "app/MainCommands.h"
#include "app/SettingsStore.h"
#include "platform/Shell.h"
#include "platform/SystemClock.h"
#include "platform/UserPrompt.h"
#include "settings/Passwords.h"
#include "ui/EventEditor.h"
#include "ui/EventListView.h"
#include "ui/EventWizards.h"
#include "ui/Icons.h"
#include "ui/OptionsSheetView.h"
#include "ui/QtPrompt.h"
#include "ui/RunWindowView.h"
#include "ui/TickerWindow.h"

namespace {

enum Command {
    kNewSchedule = 32771,
    kNewMail = 32772,
    kNewNews = 32775,
    kNewWeb = 32787,
    kNewLumetta = 32808,
    kModifySchedule = 32802,
    kDeleteSchedule = 32797,
    kRenameSchedule = 32795,
    kRunNow = 32796,
    kPause = 32804,
    kResume = 32805,
    kHideInTray = 32813,
    kExit = 57665,
    kModifyMonitor = 32790,
    kCut = 57635,
    kCopy = 57634,
    kPaste = 57637,
    kDeleteMonitor = 32791,
    kRenameMonitor = 32799,
    kShowTicker = 32830,  // our own
    kToolbar = 59392,
    kStatusBar = 59393,
    kEventSchedule = 32783,
    kLoggedEvents = 32785,
    kLargeIcons = 32776,
    kSmallIcons = 32777,
    kList = 32778,
    kDetails = 32779,
    kRefresh = 32782,
    kOptions = 32780,
    kHelpTopics = 57667,
    kHomePage = 32821,
    kSupport = 32822,
    kFaq = 32824,
    kAbout = 57664,
};

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

// A label of the Event Schedule bar: it takes the width the bar has and never asks for
// more, so a long schedule name cannot widen the bar (and the window with it). A text
// that does not fit ends in an ellipsis and is shown whole in the tool tip.
class ElidedLabel : public QLabel {
public:
    ElidedLabel() { setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred); }
    void SetFullText(const QString& text) {
        full_ = text;
        Elide();
    }
    const QString& FullText() const { return full_; }

protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        Elide();
    }

private:
    void Elide() {
        int room = std::max(0, contentsRect().width());
        QString shown = fontMetrics().elidedText(full_, Qt::ElideRight, room);
        if (shown != text()) setText(shown);
        setToolTip(shown == full_ ? QString() : full_);
    }
    QString full_;
};

// The stored form of the log bar's place: whether it floats, where it is docked, and its
// geometry on the screen while floating.
constexpr quint8 kLogBarPlacementVersion = 1;
constexpr int kPlacementSaveDelayMs = 1000;
constexpr int kBarGap = 8;

}  // namespace

QPoint BesideWindow(const QRect& frame, const QSize& bar, const QRect& screen) {
    auto clampX = [&](int x) {
        return std::max(screen.left(), std::min(x, screen.right() + 1 - bar.width()));
    };
    auto clampY = [&](int y) {
        return std::max(screen.top(), std::min(y, screen.bottom() + 1 - bar.height()));
    };
    const QPoint candidates[] = {
        {clampX(frame.left()), frame.bottom() + 1 + kBarGap},
        {frame.right() + 1 + kBarGap, clampY(frame.top())},
        {clampX(frame.left()), frame.top() - kBarGap - bar.height()},
        {frame.left() - kBarGap - bar.width(), clampY(frame.top())},
    };
    for (const QPoint& at : candidates)
        if (screen.contains(QRect(at, bar))) return at;
    return {clampX(frame.left()), clampY(frame.bottom() + 1 + kBarGap)};
}

CMainFrame::CMainFrame(CApplication& app, CMainCommands& commands, TrayProbe trayAvailable,
                       QWidget* parent)
    : QMainWindow(parent),
      app_(app),
      commands_(commands),
      trayAvailable_(std::move(trayAvailable)) {
    setObjectName("mainFrame");
    if (!trayAvailable_) trayAvailable_ = [] { return false; };
    // Placements are written a moment after the last move or resize, not on every step.
    placementSaver_ = new QTimer(this);
    placementSaver_->setSingleShot(true);
    placementSaver_->setInterval(kPlacementSaveDelayMs);
    connect(placementSaver_, &QTimer::timeout, this, &CMainFrame::SavePlacement);
    BuildMenus();
    BuildToolBars();

    clock_ = new QLabel(" 00:00 AM ");
    clock_->setMinimumWidth(clock_->sizeHint().width());
    clock_->setAlignment(Qt::AlignCenter);
    statusBar()->addPermanentWidget(clock_);
    auto* clockTimer = new QTimer(this);
    auto tickClock = [this] {
        clock_->setText(Q(FormatLocalTime(SystemClock::Get().Now(), "%I:%M %p")));
    };
    connect(clockTimer, &QTimer::timeout, this, tickClock);
    clockTimer->start(1000);
    tickClock();

    BuildEventScheduleBar();
    BuildLogBar();
    BuildPopup();

    view_ = new CMain(commands_, popup_, this);
    setCentralWidget(view_);
    connect(view_, &CMain::popupAboutToShow, this, &CMainFrame::UpdateCommands);

    runView_ = std::make_unique<CRunWindowView>(app_.runWindow(), nullptr);

    setWindowTitle("Quorvane");
    setWindowIcon(ResourceIcon(156));

    // Without a tray host yet, look again every few seconds until one appears.
    trayWatch_ = new QTimer(this);
    trayWatch_->setInterval(kTrayWatchMs);
    connect(trayWatch_, &QTimer::timeout, this, &CMainFrame::CheckTray);
    CheckTray();

    RestorePlacement();

    connect(&commands_, &CMainCommands::stateChanged, this, &CMainFrame::UpdateCommands);
    connect(&commands_, &CMainCommands::tickerRequested, this, &CMainFrame::OpenTicker);
    connect(&commands_, &CMainCommands::editRequested, this, [this](const std::string& event) {
        if (RunEventEditor(this, event)) commands_.eventList().RefreshList();
    });
    connect(&commands_, &CMainCommands::newEventRequested, this, [this](int kind) {
        // The core stores what the wizard collected as Finish is pressed; a refusal keeps the
        // wizard open, and Cancel yields nothing to store.
        auto store = [this](const auto& record) { return commands_.CreateEvent(record); };
        switch (kind) {
            case settings::kSchedule:
                RunScheduleWizard(this, store);
                break;
            case settings::kNewsMonitor:
                RunNewsWizard(this, store);
                break;
            case settings::kMailMonitor:
                RunMailWizard(this, store);
                break;
            case settings::kWebMonitor:
                RunWebWizard(this, store);
                break;
            case settings::kLumettaDisplay:
                RunLumettaWizard(this, store);
                break;
        }
    });
    connect(&app_.scheduler(), &CScheduler::displayChanged, this, &CMainFrame::RenderSchedule);
    connect(&app_.log(), &CActivityLog::barChanged, this, &CMainFrame::RenderLog);
    connect(&app_.log(), &CActivityLog::previewRequested, this,
            [](int action, const std::string& link) { LaunchCompanion(link, action); });

    commands_.ChooseFirstSchedule();

    RenderSchedule();
    RenderLog();
    UpdateCommands();
}

CMainFrame::~CMainFrame() {
    SavePlacement();
    for (const auto& ticker : tickers_) delete ticker.data();
}

CTickerWindow* CMainFrame::OpenTicker(const std::string& event) {
    // One strip per event: asking again brings the open one forward.
    for (const auto& open : tickers_) {
        if (open && open->ticker().eventName() == event) {
            open->show();
            open->raise();
            return open;
        }
    }
    tickers_.erase(std::remove_if(tickers_.begin(), tickers_.end(),
                                  [](const QPointer<CTickerWindow>& t) { return t.isNull(); }),
                   tickers_.end());
    // A window of its own: it stays when the main window is put away in the tray.
    auto* ticker = new CTickerWindow(event);
    ticker->setAttribute(Qt::WA_DeleteOnClose);
    tickers_.push_back(ticker);
    ticker->show();
    return ticker;
}

bool CMainFrame::trayWatchActive() const {
    return trayWatch_->isActive();
}

void CMainFrame::CheckTray() {
    if (exiting_) {
        trayWatch_->stop();
        return;
    }
    // A window hidden in the tray is found again only through the icon: while it is away,
    // keep looking, and when the tray host has gone bring it back to the task bar.
    const bool away = tray_ && isHidden();
    if (trayAvailable_()) {
        if (!tray_ || !tray_->isVisible()) ShowTrayIcon();
        if (!away)
            trayWatch_->stop();
        else if (!trayWatch_->isActive())
            trayWatch_->start();
        return;
    }
    // Hidden, the icon is shown again (to the new host) when a tray comes back.
    if (tray_ && tray_->isVisible()) tray_->hide();
    if (away) showMinimized();
    if (!trayWatch_->isActive()) trayWatch_->start();
}

void CMainFrame::ShowTrayIcon() {
    if (!tray_) {
        tray_ = new QSystemTrayIcon(ResourceIcon(156), this);
        tray_->setToolTip("Quorvane");
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::DoubleClick) {
                        ShowFromTray();
                    } else if (why == QSystemTrayIcon::Trigger) {
                        // A double-click starts with a single one: it hides, then shows.
                        if (isVisible() && !isMinimized())
                            PutAway();
                        else
                            ShowFromTray();
                    }
                });
        trayMenu_ = new QMenu(this);
        trayMenu_->setObjectName("trayMenu");
        trayMenu_->addAction("Show", this, &CMainFrame::ShowFromTray);
        trayRunNow_ = trayMenu_->addAction("Run Now", this, [this] {
            commands_.RunNow();
            UpdateCommands();
        });
        trayPause_ = trayMenu_->addAction("Pause", this, [this] {
            if (app_.scheduler().paused())
                commands_.Resume();
            else
                commands_.Pause();
            UpdateCommands();
        });
        trayMenu_->addSeparator();
        trayMenu_->addAction("Exit", this, &CMainFrame::Exit);
        connect(trayMenu_, &QMenu::aboutToShow, this, &CMainFrame::UpdateTrayMenu);
        tray_->setContextMenu(trayMenu_);
        UpdateTrayMenu();
    }
    tray_->show();
}

void CMainFrame::UpdateTrayMenu() {
    if (!trayMenu_) return;
    trayRunNow_->setEnabled(commands_.RunNowEnabled());
    trayPause_->setText(app_.scheduler().paused() ? "Resume" : "Pause");
}

void CMainFrame::RestorePlacement() {
    QByteArray window = CMainCommands::ReadPlacement(kWindowPlacement);
    if (window.isEmpty() || !restoreGeometry(window)) {
        // The first start: a small window in the middle of the screen.
        resize(540, 305);
        if (QScreen* screen = QGuiApplication::primaryScreen())
            move(screen->availableGeometry().center() - rect().center());
    }

    QByteArray bar = CMainCommands::ReadPlacement(kLogBarPlacement);
    QDataStream in(bar);
    quint8 version = 0;
    bool floating = true;
    qint32 area = Qt::BottomDockWidgetArea;
    QRect geometry;
    in >> version >> floating >> area >> geometry;
    if (bar.isEmpty() || in.status() != QDataStream::Ok || version != kLogBarPlacementVersion)
        return;
    if (floating) {
        // A place on a screen that is no longer there would hide the bar for good.
        bool onScreen = false;
        for (QScreen* screen : QGuiApplication::screens())
            onScreen = onScreen || screen->availableGeometry().intersects(geometry);
        if (!onScreen || geometry.width() < 50 || geometry.height() < 30) return;
        // Applied when the bar is first shown: the window's own first show would undo it.
        storedLogBar_ = geometry;
        return;
    } else {
        auto dockArea = static_cast<Qt::DockWidgetArea>(area);
        if (!logDock_->isAreaAllowed(dockArea)) return;
        addDockWidget(dockArea, logDock_);
        logDock_->setFloating(false);
        logDock_->hide();
    }
    logBarPlaced_ = true;
}

void CMainFrame::SavePlacement() {
    placementSaver_->stop();
    CMainCommands::WritePlacement(kWindowPlacement, saveGeometry());
    if (!logBarPlaced_) return;  // never shown: it has no place of its own yet
    QByteArray bar;
    QDataStream out(&bar, QIODevice::WriteOnly);
    out << kLogBarPlacementVersion << logDock_->isFloating()
        << static_cast<qint32>(dockWidgetArea(logDock_)) << logDock_->geometry();
    CMainCommands::WritePlacement(kLogBarPlacement, bar);
}

void CMainFrame::PlaceLogBar() {
    logBarPlaced_ = true;
    if (!logDock_->isFloating()) return;
    if (storedLogBar_.isValid()) {
        logDock_->setGeometry(storedLogBar_);
        return;
    }
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    logDock_->move(BesideWindow(frameGeometry(), logDock_->frameGeometry().size(),
                                screen->availableGeometry()));
}

void CMainFrame::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    placementSaver_->start();
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    placementSaver_->start();
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == logDock_ && logBarPlaced_ &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        placementSaver_->start();
    return QMainWindow::eventFilter(watched, event);
}

QAction* CMainFrame::Action(int command) const {
    auto it = actions_.find(command);
    return it != actions_.end() ? it->second : nullptr;
}

QAction* CMainFrame::AddAction(QMenu* menu, int command, const QString& text,
                               const QList<QKeySequence>& keys) {
    auto* action = menu->addAction(text);
    action->setData(command);
    if (!keys.isEmpty()) action->setShortcuts(keys);
    // Fly-by help: the status bar's message pane says what a command does.
    connect(action, &QAction::changed, action, [action] {
        if (action->statusTip() != action->toolTip()) action->setStatusTip(action->toolTip());
    });
    QIcon icon = CommandIcon(command);
    if (!icon.isNull()) action->setIcon(icon);
    connect(action, &QAction::triggered, this, [this, command] { OnCommand(command); });
    actions_[command] = action;
    return action;
}

void CMainFrame::BuildMenus() {
    QMenu* file = menuBar()->addMenu("&File");
    QMenu* add = file->addMenu("&New");
    AddAction(add, kNewSchedule, "Scheduled Item")->setToolTip("New scheduled item");
    AddAction(add, kNewMail, "Mail Monitor")->setToolTip("New mail monitor");
    AddAction(add, kNewNews, "Newsgroup Monitor")->setToolTip("New newsgroup monitor");
    AddAction(add, kNewWeb, "Web Site Monitor")->setToolTip("New web site monitor");
    AddAction(add, kNewLumetta, "Lumetta Display")->setToolTip("New Lumetta display");
    file->addSeparator();
    AddAction(file, kHideInTray, "Hide this in the Icon Tray")
        ->setToolTip("Hide this window in the icon tray");
    AddAction(file, kExit, "E&xit");

    QMenu* schedule = menuBar()->addMenu("&Schedule");
    AddAction(schedule, kModifySchedule, "&Modify this Schedule ...")
        ->setToolTip("Modify the chosen schedule");
    AddAction(schedule, kDeleteSchedule, "&Delete this Schedule");
    AddAction(schedule, kRenameSchedule, "Rename this &Schedule ...");
    AddAction(schedule, kRunNow, "&Run this Schedule Now", {QKeySequence("Ctrl+R")})
        ->setToolTip("Run the chosen schedule now");
    schedule->addSeparator();
    AddAction(schedule, kPause, "&Pause")->setToolTip("Pause the schedules");
    AddAction(schedule, kResume, "R&esume")->setToolTip("Resume the schedules");

    QMenu* monitors = menuBar()->addMenu("&Monitors");
    AddAction(monitors, kModifyMonitor, "&Modify this Monitor ...")
        ->setToolTip("Modify the chosen monitor");
    monitors->addSeparator();
    AddAction(monitors, kCut, "Cu&t", {QKeySequence("Ctrl+X")});
    AddAction(monitors, kCopy, "&Copy", {QKeySequence("Ctrl+C"), QKeySequence("Ctrl+Ins")});
    AddAction(monitors, kPaste, "&Paste", {QKeySequence("Ctrl+V"), QKeySequence("Shift+Ins")});
    monitors->addSeparator();
    AddAction(monitors, kDeleteMonitor, "&Delete this Monitor", {QKeySequence(Qt::Key_Delete)});
    AddAction(monitors, kRenameMonitor, "&Rename this Monitor");
    monitors->addSeparator();
    AddAction(monitors, kShowTicker, "Show &Ticker")
        ->setToolTip("Show the ticker of the chosen Lumetta display");

    QMenu* view = menuBar()->addMenu("&View");
    AddAction(view, kToolbar, "&Toolbar")->setCheckable(true);
    AddAction(view, kStatusBar, "&Status Bar")->setCheckable(true);
    AddAction(view, kEventSchedule, "&Event Schedule")->setCheckable(true);
    AddAction(view, kLoggedEvents, "&Logged Events")->setCheckable(true);
    view->addSeparator();
    auto* styles = new QActionGroup(this);
    for (auto [id, text] : {std::pair{kLargeIcons, "Lar&ge Icons"},
                            {kSmallIcons, "S&mall Icons"},
                            {kList, "Li&st"},
                            {kDetails, "&Details"}}) {
        QAction* a = AddAction(view, id, text);
        a->setCheckable(true);
        styles->addAction(a);
    }
    Action(kDetails)->setChecked(true);
    view->addSeparator();
    AddAction(view, kRefresh, "&Refresh");

    QMenu* tools = menuBar()->addMenu("&Tools");
    AddAction(tools, kOptions, "&Options ...");

    QMenu* help = menuBar()->addMenu("&Help");
    AddAction(help, kHelpTopics, "Help Topics", {QKeySequence(Qt::Key_F1)});
    help->addSeparator();
    AddAction(help, kHomePage, "Halvorn Home Page");
    AddAction(help, kSupport, "Online Support");
    AddAction(help, kFaq, "Frequently Asked Questions");
    help->addSeparator();
    AddAction(help, kAbout, "&About Quorvane");

    // Check marks follow what is really shown whenever a menu opens.
    for (QMenu* m : {file, schedule, monitors, view, tools, help})
        connect(m, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommands);
}

void CMainFrame::BuildToolBars() {
    QToolBar* bar = addToolBar("Toolbar");
    bar->setObjectName("toolbar");
    bar->setIconSize(QSize(16, 16));
    const int order[] = {kRunNow, kPause,       kResume,  0,        kModifySchedule, kModifyMonitor,
                         0,       kNewSchedule, kNewMail, kNewNews, kNewWeb,         kNewLumetta,
                         0,       kHideInTray};
    for (int id : order) {
        if (id == 0)
            bar->addSeparator();
        else
            bar->addAction(Action(id));
    }

    QToolBar* chooser = addToolBar("Schedule :");
    chooser->setObjectName("scheduleSelectorBar");
    chooser->setAllowedAreas(Qt::TopToolBarArea);
    chooser->addWidget(new QLabel("Schedule : "));
    selector_ = new QComboBox;
    selector_->setObjectName("scheduleSelector");
    selector_->setMinimumContentsLength(10);
    selector_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    selector_->setModel(&commands_.selector());
    chooser->addWidget(selector_);
    connect(selector_, &QComboBox::activated, this,
            [this](int index) { commands_.ChooseSchedule(index); });
    connect(&commands_.selector(), &CItemList::currentChanged, this, [this](int index) {
        QSignalBlocker block(selector_);
        selector_->setCurrentIndex(index);
        // The box is narrow on purpose; a long name is read whole from its tool tip.
        selector_->setToolTip(Q(commands_.selector().CurrentText()));
    });
}

void CMainFrame::BuildEventScheduleBar() {
    scheduleDock_ = new QDockWidget("Event Schedule", this);
    scheduleDock_->setObjectName("eventScheduleBar");
    scheduleDock_->setAllowedAreas(Qt::LeftDockWidgetArea | Qt::RightDockWidgetArea);
    auto* w = new QWidget;
    auto* layout = new QVBoxLayout(w);
    pausedState_ = new QLabel;
    pausedState_->setObjectName("pausedState");
    QFont strong = pausedState_->font();
    strong.setBold(true);
    pausedState_->setFont(strong);
    pausedState_->setAlignment(Qt::AlignCenter);
    pausedState_->setFrameShape(QFrame::StyledPanel);
    pausedState_->hide();
    layout->addWidget(pausedState_);
    for (int id : {1045, 1038, 1039}) {
        labels_[id] = new ElidedLabel;
        labels_[id]->setObjectName(QString("c%1").arg(id));
        layout->addWidget(labels_[id]);
    }
    QFont bold = labels_[1038]->font();
    bold.setBold(true);
    labels_[1038]->setFont(bold);
    monitors1036_ = new QListView;
    monitors1036_->setObjectName("c1036");
    monitors1036_->setModel(&app_.scheduler().monitorList());
    monitors1036_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    monitors1036_->setMaximumWidth(160);
    layout->addWidget(monitors1036_, 1);
    connect(&app_.scheduler().monitorList(), &CItemList::currentChanged, this, [this](int row) {
        monitors1036_->setCurrentIndex(app_.scheduler().monitorList().index(row, 0));
    });
    labels_[1037] = new QLabel;
    labels_[1037]->setObjectName("c1037");
    labels_[1037]->setFont(QFont("Monospace"));
    labels_[1037]->setFrameShape(QFrame::StyledPanel);
    labels_[1037]->setMaximumWidth(160);
    layout->addWidget(labels_[1037]);
    scheduleDock_->setWidget(w);
    addDockWidget(Qt::LeftDockWidgetArea, scheduleDock_);
}

void CMainFrame::BuildLogBar() {
    logDock_ = new QDockWidget("Log Messages", this);
    logDock_->setObjectName("logBar");
    logDock_->setAllowedAreas(Qt::TopDockWidgetArea | Qt::BottomDockWidgetArea);
    auto* w = new QWidget;
    auto* grid = new QGridLayout(w);
    logIcon_ = new QLabel;
    logIcon_->setObjectName("c1054");
    logIcon_->setFocusPolicy(Qt::StrongFocus);
    grid->addWidget(logIcon_, 0, 0, 2, 1, Qt::AlignTop);
    auto* counters = new QHBoxLayout;
    for (int id : {1051, 1052, 1055}) {
        labels_[id] = new QLabel;
        labels_[id]->setObjectName(QString("c%1").arg(id));
    }
    counters->addWidget(labels_[1051]);
    counters->addWidget(new QLabel("of"));
    counters->addWidget(labels_[1052]);
    counters->addSpacing(12);
    counters->addWidget(labels_[1055], 1);
    grid->addLayout(counters, 0, 1);
    logText_ = new QPlainTextEdit;
    logText_->setObjectName("c1074");
    logText_->setReadOnly(true);
    grid->addWidget(logText_, 1, 1);
    auto* buttons = new QVBoxLayout;
    auto tool = [](const QIcon& icon, const QString& text, const char* name) {
        auto* b = new QToolButton;
        b->setObjectName(name);
        if (icon.isNull()) {
            b->setText(text);
        } else {
            b->setIcon(icon);
            b->setToolTip(text);
        }
        b->setToolButtonStyle(icon.isNull() ? Qt::ToolButtonTextOnly : Qt::ToolButtonIconOnly);
        b->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        return b;
    };
    logPrev_ = tool(ResourceIcon(152), "Previous", "c1058");
    logNext_ = tool(ResourceIcon(153), "Next", "c1059");
    auto* clear = tool({}, "Clear", "c1056");
    logPreview_ = tool({}, "Preview", "c1118");
    auto* arrows = new QHBoxLayout;
    arrows->addWidget(logPrev_);
    arrows->addWidget(logNext_);
    buttons->addLayout(arrows);
    buttons->addWidget(clear);
    buttons->addWidget(logPreview_);
    buttons->addStretch();
    grid->addLayout(buttons, 0, 2, 2, 1);
    logDock_->setWidget(w);

    CActivityLog& log = app_.log();
    connect(logPrev_, &QToolButton::clicked, this, [this, &log] {
        logIcon_->setFocus();
        log.Previous();
    });
    connect(logNext_, &QToolButton::clicked, this, [this, &log] {
        logIcon_->setFocus();
        log.Next();
    });
    connect(clear, &QToolButton::clicked, this, [this, &log] {
        logIcon_->setFocus();
        log.AskToClear();
    });
    connect(logPreview_, &QToolButton::clicked, this, [&log] { log.Preview(); });

    addDockWidget(Qt::BottomDockWidgetArea, logDock_);
    logDock_->setFloating(true);
    logDock_->resize(460, 170);
    logDock_->hide();
    logDock_->installEventFilter(this);
    connect(logDock_, &QDockWidget::topLevelChanged, placementSaver_, qOverload<>(&QTimer::start));
    connect(logDock_, &QDockWidget::dockLocationChanged, placementSaver_,
            qOverload<>(&QTimer::start));
    connect(logDock_, &QDockWidget::visibilityChanged, this, [this](bool shown) {
        if (!shown && logDock_->isHidden()) app_.log().SetBarVisible(false);
    });
}

void CMainFrame::BuildPopup() {
    popup_ = new QMenu(this);
    popup_->setObjectName("listPopup");
    auto add = [this](int id, const char* text) {
        QAction* a = popup_->addAction(text);
        a->setData(id);
        connect(a, &QAction::triggered, this, [this, id] { OnCommand(id); });
    };
    auto separator = [this] { popup_->addSeparator()->setData(kPopupSeparator); };
    add(kPopupModifyEvent, "Modify this Event ...");
    add(kPopupShowTicker, "Show Ticker");
    separator();
    add(kPopupCut, "Cut");
    add(kPopupCopy, "Copy");
    add(kPopupPaste, "Paste");
    separator();
    add(kPopupDelete, "Delete");
    add(kPopupRename, "Rename");
    separator();
    add(kPopupRunSchedule, "Run this Schedule Now");
    add(kPopupModifySchedule, "Modify this Schedule...");
    add(kPopupDeleteSchedule, "Delete this Schedule");
    add(kPopupRenameSchedule, "Rename this Schedule");
}

void CMainFrame::UpdateCommands() {
    bool chosen = commands_.ScheduleChosen();
    bool selected = commands_.eventList().HasSelection();
    CScheduler& scheduler = app_.scheduler();
    auto enable = [this](int id, bool on) {
        if (QAction* a = Action(id)) a->setEnabled(on);
    };
    enable(kModifySchedule, chosen);
    enable(kDeleteSchedule, chosen);
    enable(kRenameSchedule, chosen);
    enable(kRunNow, commands_.RunNowEnabled());
    enable(kPause, scheduler.PauseEnabled());
    enable(kResume, scheduler.ResumeEnabled());
    for (int id : {kModifyMonitor, kCut, kCopy, kDeleteMonitor, kRenameMonitor})
        enable(id, selected);
    enable(kPaste, commands_.eventList().PasteEnabled());
    enable(kShowTicker, commands_.eventList().ShowTickerEnabled());

    Action(kToolbar)->setChecked(findChild<QToolBar*>("toolbar")->isVisible());
    Action(kStatusBar)->setChecked(statusBar()->isVisible());
    Action(kEventSchedule)->setChecked(scheduleDock_->isVisible());
    Action(kLoggedEvents)->setChecked(logDock_->isVisible());
    Action(commands_.eventList().style())->setChecked(true);

    for (QAction* a : popup_->actions())
        if (a->data().toInt() != kPopupSeparator)
            a->setEnabled(commands_.PopupEnabled(a->data().toInt()));

    QString pause = Q(commands_.PauseStateText());
    pausedState_->setText(pause);
    pausedState_->setVisible(!pause.isEmpty());
    UpdateTrayMenu();
}

QString CMainFrame::ControlText(int id) const {
    if (id == 1074) return logText_->toPlainText();
    auto it = labels_.find(id);
    if (it == labels_.end()) return {};
    if (auto* elided = dynamic_cast<ElidedLabel*>(it->second)) return elided->FullText();
    return it->second->text();
}

void CMainFrame::RenderSchedule() {
    const auto& d = app_.scheduler().display();
    static_cast<ElidedLabel*>(labels_[1045])->SetFullText(Q(d.label1045));
    static_cast<ElidedLabel*>(labels_[1038])->SetFullText(Q(d.name1038));
    static_cast<ElidedLabel*>(labels_[1039])->SetFullText(Q(d.time1039));
    labels_[1037]->setText(Q(d.ticker1037));
    QString pause = Q(commands_.PauseStateText());
    pausedState_->setText(pause);
    pausedState_->setVisible(!pause.isEmpty());
}

void CMainFrame::RenderLog() {
    const auto& bar = app_.log().bar();
    labels_[1051]->setText(Q(bar.indexText));
    labels_[1052]->setText(Q(bar.countText));
    labels_[1055]->setText(Q(bar.timeText));
    logIcon_->setPixmap(ResourceIcon(bar.icon).pixmap(32, 32));
    logText_->setPlainText(Q(bar.text).replace("\r\n", "\n"));
    logPrev_->setEnabled(bar.previousEnabled);
    logNext_->setEnabled(bar.nextEnabled);
    logPreview_->setEnabled(bar.previewEnabled);
    if (bar.visible != logDock_->isVisible()) {
        if (bar.visible && !logBarPlaced_) PlaceLogBar();
        logDock_->setVisible(bar.visible);
    }
}

void CMainFrame::ShowFromTray() {
    showNormal();
    raise();
    activateWindow();
}

void CMainFrame::PutAway() {
    // Ask now: the tray host may have gone since the icon was shown.
    if (trayAvailable_()) {
        ShowTrayIcon();
        SavePlacement();
        hide();
        trayWatch_->start();  // the tray host may quit while the window is away
        return;
    }
    CheckTray();
    showMinimized();
}

void CMainFrame::StartPutAway() {
    // Not PutAway: the placement restored at construction is the one to keep, and the
    // window has never been shown to have another.
    if (trayAvailable_()) {
        ShowTrayIcon();
        hide();
        trayWatch_->start();
        return;
    }
    CheckTray();
    showMinimized();
}

void CMainFrame::Exit() {
    if (!commands_.ConfirmExit()) return;
    SavePlacement();
    exiting_ = true;
    if (tray_) tray_->hide();
    close();
    QCoreApplication::quit();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (exiting_) {
        runView_->hide();
        event->accept();
        return;
    }
    // Closing only puts the window away.
    event->ignore();
    PutAway();
}

void CMainFrame::RenameScheduleDialog() {
    QDialog dialog(this);
    dialog.setObjectName("renameScheduleDialog");
    dialog.setWindowTitle("Rename the current schedule.");
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(new QLabel("Change the name of the current schedule to:"));
    auto* edit = new QLineEdit(Q(commands_.ChosenSchedule()));
    edit->setObjectName("c1083");
    edit->setMaxLength(255);
    layout->addWidget(edit);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() == QDialog::Accepted) commands_.RenameSchedule(edit->text().toStdString());
}

void CMainFrame::OnCommand(int command) {
    CEventList& list = commands_.eventList();
    switch (command) {
        case kNewSchedule:
            commands_.NewEvent(1);
            break;
        case kNewNews:
            commands_.NewEvent(2);
            break;
        case kNewMail:
            commands_.NewEvent(3);
            break;
        case kNewWeb:
            commands_.NewEvent(4);
            break;
        case kNewLumetta:
            commands_.NewEvent(5);
            break;
        case kModifySchedule:
        case kPopupModifySchedule:
            commands_.ModifySchedule();
            break;
        case kDeleteSchedule:
        case kPopupDeleteSchedule:
            commands_.DeleteSchedule();
            break;
        case kRenameSchedule:
        case kPopupRenameSchedule:
            if (commands_.ScheduleChosen()) RenameScheduleDialog();
            break;
        case kRunNow:
        case kPopupRunSchedule:
            commands_.RunNow();
            break;
        case kPause:
            commands_.Pause();
            break;
        case kResume:
            commands_.Resume();
            break;
        case kHideInTray:
            PutAway();
            break;
        case kExit:
            Exit();
            break;
        case kModifyMonitor:
        case kPopupModifyEvent:
            list.ModifySelected();
            break;
        case kCut:
        case kPopupCut:
            list.Cut();
            break;
        case kCopy:
        case kPopupCopy:
            list.Copy();
            break;
        case kPaste:
        case kPopupPaste:
            list.Paste();
            break;
        case kDeleteMonitor:
        case kPopupDelete:
            list.DeleteSelected();
            break;
        case kRenameMonitor:
        case kPopupRename:
            view_->EditSelectedLabel();
            break;
        case kShowTicker:
        case kPopupShowTicker:
            commands_.ShowTicker();
            break;
        case kToolbar: {
            auto* bar = findChild<QToolBar*>("toolbar");
            bar->setVisible(!bar->isVisible());
            break;
        }
        case kStatusBar:
            statusBar()->setVisible(!statusBar()->isVisible());
            break;
        case kEventSchedule:
            scheduleDock_->setVisible(!scheduleDock_->isVisible());
            break;
        case kLoggedEvents:
            app_.log().ToggleBar();
            break;
        case kLargeIcons:
        case kSmallIcons:
        case kList:
        case kDetails:
            list.SetStyle(static_cast<CEventList::Style>(command));
            break;
        case kRefresh:
            list.RefreshList();
            break;
        case kOptions:
            RunOptionsSheet(this);
            break;
        case kHelpTopics:
            commands_.Help();
            break;
        case kHomePage:
        case kSupport:
        case kFaq:
            Shell::Get().OpenUrl(CMainCommands::MakerPage(command));
            break;
        case kAbout:
            UserPrompt::Get().Ask(CMainCommands::AboutText(), "About Quorvane", UserPrompt::Ok,
                                  UserPrompt::Information);
            break;
        default:
            break;
    }
    UpdateCommands();
}

namespace {

// What Qt said first while it was connecting to the display ("could not connect to display
// :1"): the fatal message that follows ("no Qt platform plugin could be initialized") and
// the warnings before it name no cause, this one does.
std::string gDisplayComplaint;
QtMessageHandler gPreviousHandler = nullptr;

void WatchDisplayStart(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (gDisplayComplaint.empty()) gDisplayComplaint = text.toStdString();
        if (gPreviousHandler) gPreviousHandler(type, context, text);
        return;
    }
    // A display that went away (a stale DISPLAY) is a usage error of the desktop program,
    // told in one line, not an abort with a core dump.
    const std::string why = gDisplayComplaint.empty() ? text.toStdString() : gDisplayComplaint;
    std::fprintf(stderr, "quorvane: the display cannot be used: %s\n", why.c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

// QApplication, or the end of the program with exit 2 when no display can be had.
std::unique_ptr<QApplication> MakeApplication(int& argc, char** argv) {
    gDisplayComplaint.clear();
    gPreviousHandler = qInstallMessageHandler(WatchDisplayStart);
    auto qt = std::make_unique<QApplication>(argc, argv);
    qInstallMessageHandler(gPreviousHandler);
    return qt;
}

}  // namespace

void ShowStartupError(const std::string& text, int& argc, char** argv) {
    auto qt = MakeApplication(argc, argv);
    QMessageBox::critical(nullptr, "Quorvane", Q(text));
}

QtDesktop::QtDesktop() = default;

QtDesktop::~QtDesktop() {
    Close();
}

bool QtDesktop::HasDisplay() const {
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
           std::getenv("QT_QPA_PLATFORM");
}

void QtDesktop::ShowStartupError(const std::string& text, int& argc, char** argv) {
    ::ShowStartupError(text, argc, argv);
}

std::unique_ptr<QCoreApplication> QtDesktop::MakeQtApplication(int& argc, char** argv) {
    auto qt = MakeApplication(argc, argv);
    QApplication::setApplicationName("Quorvane");
    QApplication::setQuitOnLastWindowClosed(false);
    return qt;
}

void QtDesktop::ShowWindow(CApplication& app, bool hidden) {
    commands_ = std::make_unique<CMainCommands>(app);
    frame_ = std::make_unique<CMainFrame>(app, *commands_,
                                          [] { return QSystemTrayIcon::isSystemTrayAvailable(); });
    UserPrompt::Install(std::make_shared<QtPrompt>(frame_.get()));
    if (hidden)
        frame_->StartPutAway();
    else
        frame_->show();
}

int QtDesktop::RunTicker(const std::string& event, int& argc, char** argv) {
    std::unique_ptr<QCoreApplication> qt = MakeQtApplication(argc, argv);
    CTickerWindow window(event);
    QObject::connect(&window, &CTickerWindow::closed, qt.get(), &QCoreApplication::quit,
                     Qt::QueuedConnection);
    window.show();
    return QCoreApplication::exec();
}

int QtDesktop::RunEditor(const std::string& event, int& argc, char** argv) {
    std::unique_ptr<QCoreApplication> qt = MakeQtApplication(argc, argv);
    // The event's password may be in the keyring.
    settings::UseDesktopKeyring();
    // Messages go to a window of their own: there is no main window to own them.
    UserPrompt::Install(std::make_shared<QtPrompt>(nullptr));
    std::unique_ptr<CEventEditor> editor(CEventEditor::Make(event));
    int rc = 1;
    if (editor) {
        editor->exec();
        rc = 0;
    }
    UserPrompt::Install(nullptr);
    return rc;
}

void QtDesktop::BringForward() {
    if (frame_) frame_->ShowFromTray();
}

void QtDesktop::Close() {
    if (!frame_) return;
    UserPrompt::Install(nullptr);
    frame_.reset();
    commands_.reset();
}

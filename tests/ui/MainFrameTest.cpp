#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QWizard>
#include <filesystem>
#include <fstream>

#include "app/Application.h"
#include "app/MainCommands.h"
#include "app/SettingsStore.h"
#include "fakes/FakeDialUp.h"
#include "fakes/RecordingShell.h"
#include "fixtures/Fixtures.h"
#include "platform/Shell.h"
#include "ui/EventListView.h"
#include "ui/MainFrame.h"
#include "ui/OptionsSheetView.h"
#include "ui/RunWindowView.h"
#include "ui/TickerWindow.h"

namespace {

using namespace settings;

class MainFrameTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        shell_ = std::make_shared<RecordingShell>();
        Shell::Install(shell_);
        Root().SetDword(kAutoStartLM, 0);
        Schedule("Daily", "Checks the sites every hour");
        Schedule("Weekly", "");
        Event("Example site", 4, "Daily", "www.example.org, every page");
        Event("Office mail", 3, "Daily", "pop.example.org");
        Event("Ticker", 5, "Weekly", "");
    }
    void TearDown() override {
        frame_.reset();
        commands_.reset();
        app_.reset();
        Shell::Install(nullptr);
        SandboxTest::TearDown();
    }
    // Closes the window and starts the program again on the same settings store.
    void Reopen(bool tray = true) {
        frame_.reset();
        commands_.reset();
        app_.reset();
        Open(tray);
    }
    void Open(bool tray = true) {
        app_ = std::make_unique<CApplication>(nullptr);
        commands_ = std::make_unique<CMainCommands>(*app_);
        trayUp_ = tray;
        frame_ = std::make_unique<CMainFrame>(*app_, *commands_, [this] { return trayUp_; });
        app_->StartSchedules(true);  // as the start-up path does once the window is up
        frame_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(frame_.get()));
    }
    void Schedule(const std::string& name, const std::string& description) {
        ScheduleRecord r;
        r.name = name;
        r.description = description;
        ASSERT_TRUE(CreateEventRecord(r));
    }
    void Event(const std::string& name, DWORD kind, const std::string& schedule,
               const std::string& description) {
        AddEvent(name, kind, schedule, description);
    }
    void Choose(const std::string& schedule) {
        QComboBox* box = frame_->scheduleSelector();
        int i = box->findText(QString::fromStdString(schedule));
        ASSERT_GE(i, 0);
        box->setCurrentIndex(i);
        emit box->activated(i);
    }
    QTreeView* List() { return frame_->view()->detailsView(); }
    QStringList Labels() {
        QStringList labels;
        auto* m = frame_->view()->model();
        for (int i = 0; i < m->rowCount(); ++i) labels << m->item(i, 0)->text();
        return labels;
    }
    void SelectRow(int row) { List()->setCurrentIndex(frame_->view()->model()->index(row, 0)); }
    void Save(QWidget* w, const char* name) {
        QString path = QString(QUORVANE_SCREENSHOT_DIR) + "/" + name;
        EXPECT_TRUE(w->grab().save(path)) << path.toStdString();
    }

    std::shared_ptr<RecordingShell> shell_;
    std::unique_ptr<CApplication> app_;
    std::unique_ptr<CMainCommands> commands_;
    std::unique_ptr<CMainFrame> frame_;
    Timeline timeline_;
    bool trayUp_ = true;  // whether a tray host is there, as the frame asks it
};

TEST_F(MainFrameTest, TheWindowIsBuiltAsTheProgramDescribesIt) {
    Open();
    EXPECT_EQ(frame_->windowTitle(), "Quorvane");
    EXPECT_TRUE(shell_->calls.empty()) << "AutoStartLM 0: the Lumetta display is not started";
    EXPECT_EQ(frame_->size(), QSize(540, 305));

    // Toolbar buttons in their order, separators as 0.
    std::vector<int> order;
    for (QAction* a : frame_->findChild<QToolBar*>("toolbar")->actions())
        order.push_back(a->isSeparator() ? 0 : a->data().toInt());
    EXPECT_EQ(order, (std::vector<int>{32796, 32804, 32805, 0, 32802, 32790, 0, 32771, 32772, 32775,
                                       32787, 32808, 0, 32813}));
    for (int id : order) {
        if (id) {
            EXPECT_FALSE(frame_->Action(id)->toolTip().isEmpty()) << id;
        }
    }

    EXPECT_EQ(frame_->Action(32796)->text(), "&Run this Schedule Now");
    EXPECT_EQ(frame_->Action(32796)->shortcut(), QKeySequence("Ctrl+R"));
    EXPECT_EQ(frame_->Action(32791)->shortcut(), QKeySequence(Qt::Key_Delete));
    EXPECT_TRUE(frame_->Action(57634)->shortcuts().contains(QKeySequence("Ctrl+Ins")));
    EXPECT_TRUE(frame_->Action(57637)->shortcuts().contains(QKeySequence("Shift+Ins")));
    EXPECT_TRUE(frame_->Action(32779)->isChecked()) << "Details is checked at start";

    // The pop-up menu in its order.
    std::vector<int> popup;
    for (QAction* a : frame_->popupMenu()->actions()) popup.push_back(a->data().toInt());
    EXPECT_EQ(popup, (std::vector<int>{10000, 10011, 10010, 10008, 10002, 10003, 10010, 10001,
                                       10009, 10010, 10006, 10005, 10004, 10007}));

    // The log bar floats at (100, 100), hidden; the schedule bar shows the next event.
    QDockWidget* log = frame_->logBar();
    EXPECT_EQ(log->windowTitle(), "Log Messages");
    EXPECT_TRUE(log->isFloating());
    EXPECT_FALSE(log->isVisible());
    EXPECT_TRUE(frame_->eventScheduleBar()->isVisible());
    EXPECT_EQ(frame_->ControlText(1045), "Next Event");
    EXPECT_EQ(frame_->ControlText(1038), "Daily");
    EXPECT_EQ(frame_->scheduleSelector()->currentText(), "Daily")
        << "the view starts on the schedule that runs next";
    EXPECT_EQ(Labels(), (QStringList{"Example site", "Office mail"}));
    EXPECT_EQ(frame_->view()->model()->item(0, 2)->text(), "Web Site Monitor");
    ASSERT_TRUE(frame_->trayIcon());
    EXPECT_EQ(frame_->trayIcon()->toolTip(), "Quorvane");
    EXPECT_TRUE(frame_->clockPane()->text().contains(QRegularExpression("^\\d\\d:\\d\\d [AP]M$")))
        << frame_->clockPane()->text().toStdString();

    Save(frame_.get(), "main-window.png");
}

TEST_F(MainFrameTest, ScheduleCommandsNeedAChosenScheduleAndNoRun) {
    Open();
    Choose("<None>");
    frame_->UpdateCommands();
    for (int id : {32802, 32797, 32795, 32796}) EXPECT_FALSE(frame_->Action(id)->isEnabled()) << id;
    EXPECT_TRUE(Labels().isEmpty());

    Choose("Weekly");
    frame_->UpdateCommands();
    for (int id : {32802, 32797, 32795, 32796}) EXPECT_TRUE(frame_->Action(id)->isEnabled()) << id;
    EXPECT_EQ(Labels(), QStringList{"Ticker"});

    // Pause and resume take turns.
    EXPECT_TRUE(frame_->Action(32804)->isEnabled());
    EXPECT_FALSE(frame_->Action(32805)->isEnabled());
    frame_->Action(32804)->trigger();
    EXPECT_FALSE(frame_->Action(32804)->isEnabled());
    EXPECT_TRUE(frame_->Action(32805)->isEnabled());
    EXPECT_EQ(frame_->ControlText(1038), "");
    frame_->Action(32805)->trigger();

    // While a run is going on Run now is greyed, the others stay.
    Choose("Daily");
    auto panel = std::make_unique<RecordingPanel>("web", &timeline_);
    RecordingPanel* web = panel.get();
    web->hold = true;
    app_->runWindow().SetPanel(4, std::move(panel));
    frame_->Action(32796)->trigger();
    ASSERT_TRUE(app_->runWindow().running());
    frame_->UpdateCommands();
    EXPECT_FALSE(frame_->Action(32796)->isEnabled());
    EXPECT_TRUE(frame_->Action(32797)->isEnabled());

    // The run window shows itself and its panel; Cancel reaches the run.
    CRunWindowView* run = frame_->runWindowView();
    ASSERT_TRUE(waitFor([&] { return run->isVisible(); }));
    EXPECT_EQ(run->windowTitle(), "Running scheduled event  -  Daily");
    EXPECT_EQ(run->ShownPanelText(), "Checking the web site...");
    EXPECT_FALSE(run->progressBar()->isVisible()) << "a step that tells no progress shows no bar";
    // A step shows every line it has, and its progress while it tells one.
    web->Show("Searching", {"1", "2", "3", "4", "5", "6"}, 140);
    EXPECT_EQ(run->ShownPanelText(), "Searching\n\n1\n2\n3\n4\n5\n6");
    EXPECT_TRUE(run->progressBar()->isVisible());
    EXPECT_EQ(run->progressBar()->value(), 100) << "held to the end of the range";
    web->Show("Checking", {"only one"}, std::nullopt);
    EXPECT_EQ(run->ShownPanelText(), "Checking\n\nonly one\n");
    EXPECT_FALSE(run->progressBar()->isVisible());
    Save(run, "run-window.png");
    QTest::mouseClick(run->cancelButton(), Qt::LeftButton);
    EXPECT_EQ(web->cancels, 1);
    ASSERT_TRUE(waitFor([&] { return !app_->runWindow().running(); }));
    EXPECT_FALSE(run->isVisible());
}

TEST_F(MainFrameTest, ExitAsksAndClosingOnlyPutsTheWindowAway) {
    Open(true);
    frame_->close();
    EXPECT_FALSE(frame_->isVisible()) << "with a tray the window hides";
    frame_->ShowFromTray();
    EXPECT_TRUE(frame_->isVisible());
    frame_->Action(32813)->trigger();
    EXPECT_FALSE(frame_->isVisible());
    frame_->ShowFromTray();

    prompt_->answers = {UserPrompt::IdNo};
    frame_->Action(57665)->trigger();
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Are you sure you want to exit now?");
    EXPECT_EQ(prompt_->shown[0].buttons, UserPrompt::YesNo);
    EXPECT_TRUE(frame_->isVisible()) << "No changes nothing";

    prompt_->answers = {UserPrompt::IdYes};
    frame_->Action(57665)->trigger();
    EXPECT_FALSE(frame_->isVisible());
}

TEST_F(MainFrameTest, WithoutATrayClosingMinimises) {
    Open(false);
    EXPECT_FALSE(frame_->trayIcon());
    frame_->close();
    EXPECT_TRUE(frame_->isVisible());
    EXPECT_TRUE(frame_->isMinimized());
}

TEST_F(MainFrameTest, TheEventListIsDrivenThroughItsWidgets) {
    Open();
    frame_->UpdateCommands();
    EXPECT_FALSE(frame_->Action(32791)->isEnabled());
    EXPECT_FALSE(frame_->Action(57637)->isEnabled());

    // Delete key with nothing selected: nothing; then with a row, after Yes.
    QTest::keyClick(frame_->view(), Qt::Key_Delete);
    EXPECT_TRUE(prompt_->shown.empty());
    SelectRow(1);
    frame_->UpdateCommands();
    EXPECT_TRUE(frame_->Action(32791)->isEnabled());
    prompt_->answers = {UserPrompt::IdYes};
    QTest::keyClick(frame_->view(), Qt::Key_Delete);
    EXPECT_EQ(prompt_->shown.back().text, "Are you sure you want to delete Office mail?");
    EXPECT_EQ(Labels(), QStringList{"Example site"});

    // Double-click opens the companion editor of the kind, when it is installed.
    std::ofstream(Path("quorvane-webwatch")) << "#!/bin/sh\n";
    ::chmod(Path("quorvane-webwatch").c_str(), 0755);
    SelectRow(0);
    QRect cell = List()->visualRect(frame_->view()->model()->index(0, 0));
    QTest::mousePress(List()->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseRelease(List()->viewport(), Qt::LeftButton, {}, cell.center());
    QTest::mouseDClick(List()->viewport(), Qt::LeftButton, {}, cell.center());
    ASSERT_FALSE(shell_->calls.empty());
    EXPECT_EQ(shell_->calls.back(), "start ./quorvane-webwatch [Example site]");

    // Copy and paste twice through the menu commands: numbered copies.
    frame_->Action(57634)->trigger();
    frame_->Action(57637)->trigger();
    frame_->Action(57637)->trigger();
    EXPECT_EQ(Labels(), (QStringList{"Example site", "Example site(0)", "Example site(1)"}));

    // Renaming by editing the label.
    SelectRow(2);
    frame_->view()->model()->item(2, 0)->setText("Renamed");
    ASSERT_TRUE(waitFor([&] { return Labels().contains("Renamed"); }));
    EXPECT_FALSE(Labels().contains("Example site(1)"));

    // The pop-up menu follows the selection and the schedule.
    emit List()->customContextMenuRequested(cell.center());
    frame_->popupMenu()->hide();
    std::map<int, bool> enabled;
    for (QAction* a : frame_->popupMenu()->actions()) enabled[a->data().toInt()] = a->isEnabled();
    EXPECT_TRUE(enabled[10000]);
    EXPECT_TRUE(enabled[10003]);
    EXPECT_TRUE(enabled[10006]);
    // Below the rows it is about no event: the one chosen before is not acted on.
    emit List()->customContextMenuRequested(
        QPoint(cell.center().x(), List()->viewport()->height() - 2));
    frame_->popupMenu()->hide();
    enabled.clear();
    for (QAction* a : frame_->popupMenu()->actions()) enabled[a->data().toInt()] = a->isEnabled();
    EXPECT_FALSE(enabled[10000]);
    EXPECT_FALSE(enabled[10001]);
    EXPECT_FALSE(enabled[10009]);
    EXPECT_TRUE(enabled[10003]);

    // List styles switch the widget and the radio mark.
    frame_->Action(32776)->trigger();
    EXPECT_EQ(frame_->view()->currentWidget(), static_cast<QWidget*>(frame_->view()->iconView()));
    EXPECT_TRUE(frame_->Action(32776)->isChecked());
    frame_->Action(32779)->trigger();
    EXPECT_EQ(frame_->view()->currentWidget(),
              static_cast<QWidget*>(frame_->view()->detailsView()));
}

TEST_F(MainFrameTest, TheLogBarPopsUpAndPagesThroughTheRecords) {
    Open();
    app_->WriteLog(158, "A new document at http://www.example.org/", 11, "http://www.example.org/");
    app_->WriteLog(155, "An error occured while checking Example site.", 0);
    QDockWidget* log = frame_->logBar();
    ASSERT_TRUE(waitFor([&] { return log->isVisible(); }));
    EXPECT_EQ(frame_->ControlText(1051), "2");
    EXPECT_EQ(frame_->ControlText(1052), "2");
    EXPECT_EQ(frame_->ControlText(1074), "\nAn error occured while checking Example site.");
    auto* next = log->findChild<QToolButton*>("c1059");
    auto* prev = log->findChild<QToolButton*>("c1058");
    auto* preview = log->findChild<QToolButton*>("c1118");
    EXPECT_FALSE(next->isEnabled());
    EXPECT_FALSE(preview->isEnabled());
    QTest::mouseClick(prev, Qt::LeftButton);
    EXPECT_EQ(frame_->ControlText(1051), "1");
    EXPECT_TRUE(preview->isEnabled());
    Save(log, "log-bar.png");
    QTest::mouseClick(preview, Qt::LeftButton);
    EXPECT_EQ(shell_->calls.back(), "open http://www.example.org/");

    // "Logged Events" hides and shows it; its check mark follows.
    frame_->Action(32785)->trigger();
    EXPECT_FALSE(log->isVisible());
    frame_->UpdateCommands();
    EXPECT_FALSE(frame_->Action(32785)->isChecked());
    frame_->Action(32785)->trigger();
    EXPECT_TRUE(log->isVisible());
    frame_->UpdateCommands();
    EXPECT_TRUE(frame_->Action(32785)->isChecked());

    // Clear asks first; No keeps every record.
    auto* clear = log->findChild<QToolButton*>("c1056");
    auto prompt = std::make_shared<RecordingPrompt>();
    UserPrompt::Install(prompt);
    prompt->defaultAnswer = UserPrompt::IdNo;
    const QString count = frame_->ControlText(1052);
    QTest::mouseClick(clear, Qt::LeftButton);
    EXPECT_EQ(prompt->shown.size(), 1u);
    EXPECT_EQ(frame_->ControlText(1052), count);
    prompt->defaultAnswer = UserPrompt::IdYes;
    QTest::mouseClick(clear, Qt::LeftButton);
    UserPrompt::Install(nullptr);
    EXPECT_EQ(frame_->ControlText(1052), "0");
    EXPECT_FALSE(prev->isEnabled());
}

TEST_F(MainFrameTest, NewEventsRunTheirWizardAndAboutTellsTheUser) {
    Open();
    Choose("Daily");
    // The New command's wizard is modal: it is filled in once it is up.
    bool keptOpen = false;
    QTimer::singleShot(0, [this, &keptOpen] {
        auto* wizard = qobject_cast<QWizard*>(QApplication::activeModalWidget());
        ASSERT_TRUE(wizard);
        auto page = [wizard] { return wizard->currentPage(); };
        QTest::keyClicks(page()->findChild<QLineEdit*>("c1083"), "New site");
        QTest::keyClicks(page()->findChild<QLineEdit*>("c1004"), "Fresh pages");
        QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
        QTest::keyClicks(page()->findChild<QLineEdit*>("c1071"), "www.example.net");
        QTest::mouseClick(wizard->button(QWizard::NextButton), Qt::LeftButton);
        auto* schedule = page()->findChild<QComboBox*>("c1108");
        schedule->setCurrentIndex(schedule->findText("Daily"));
        {
            // A store another program holds refuses the record: the wizard stays, with
            // everything typed, for another Finish.
            StoreWriteLock other(*store_, Path("registry.db"));
            QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
            keptOpen = wizard->isVisible() && wizard->currentId() == 2;
        }
        QTest::mouseClick(wizard->button(QWizard::FinishButton), Qt::LeftButton);
    });
    frame_->Action(32787)->trigger();
    EXPECT_TRUE(keptOpen);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_NE(prompt_->shown[0].text.find("could not be stored"), std::string::npos);
    prompt_->shown.clear();
    EXPECT_TRUE(Labels().contains("New site")) << "the event list follows";
    EXPECT_EQ(shell_->calls.back(), "start ./quorvane-webwatch [New site]");

    frame_->Action(57664)->trigger();
    EXPECT_EQ(prompt_->shown.back().text, "Korvalin Version 1.01");
    // Help: the guide of the source tree, for a program run from its build.
    frame_->Action(57667)->trigger();
    EXPECT_EQ(shell_->calls.back().rfind("open file:///", 0), 0u) << shell_->calls.back();
    EXPECT_NE(shell_->calls.back().find("/docs/guide/index.html"), std::string::npos);
    frame_->Action(32821)->trigger();
    EXPECT_EQ(shell_->calls.back(), "open http://www.halvorn.com/");
}

TEST_F(MainFrameTest, TheOptionsCommandOpensTheOptionsSheet) {
    Open();
    QString title;
    bool typed = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* sheet = qobject_cast<COptionsSheetView*>(QApplication::activeModalWidget());
        if (!sheet || typed) return;
        typed = true;
        title = sheet->windowTitle();
        auto* edit = qobject_cast<QLineEdit*>(
            sheet->control(COptionsSheet::kServers, COptionsSvr::kNewsServerEdit));
        if (edit) QTest::keyClicks(edit, "news.example.org");
        QTest::mouseClick(sheet->buttons()->button(QDialogButtonBox::Ok), Qt::LeftButton);
    });
    poll.start(10);
    frame_->Action(32780)->trigger();  // returns when the sheet is closed
    EXPECT_EQ(title, "Options");
    EXPECT_TRUE(prompt_->shown.empty());
    std::string news;
    ASSERT_TRUE(GetNewsServer(news));
    EXPECT_EQ(news, "news.example.org");
}

TEST_F(MainFrameTest, HideInTrayWithoutATrayMinimisesInsteadOfLosingTheWindow) {
    Open(false);
    frame_->Action(32813)->trigger();
    EXPECT_TRUE(frame_->isVisible()) << "nothing would bring a hidden window back";
    EXPECT_TRUE(frame_->isMinimized());
}

TEST_F(MainFrameTest, ATrayHostThatStartsLaterGetsTheIconAndHidingFollowsTheTray) {
    Open(false);
    EXPECT_FALSE(frame_->trayIcon());
    EXPECT_TRUE(frame_->trayWatchActive()) << "the tray is looked for again";

    trayUp_ = true;
    ASSERT_TRUE(waitFor([&] { return frame_->trayIcon() != nullptr; },
                        std::chrono::milliseconds(3 * CMainFrame::kTrayWatchMs)));
    EXPECT_TRUE(frame_->trayIcon()->isVisible());
    EXPECT_FALSE(frame_->trayWatchActive()) << "no more looking once the icon is there";
    frame_->Action(32813)->trigger();
    EXPECT_FALSE(frame_->isVisible()) << "now the tray can bring it back";
    frame_->ShowFromTray();
    EXPECT_TRUE(frame_->isVisible());

    // The tray host went away again: hiding would lose the window.
    trayUp_ = false;
    frame_->close();
    EXPECT_TRUE(frame_->isVisible());
    EXPECT_TRUE(frame_->isMinimized());
}

TEST_F(MainFrameTest, AWindowHiddenInTheTrayComesBackWhenTheTrayHostGoes) {
    Open(true);
    ASSERT_TRUE(frame_->trayIcon());
    frame_->Action(32813)->trigger();
    ASSERT_FALSE(frame_->isVisible());
    EXPECT_TRUE(frame_->trayWatchActive()) << "only the icon leads back to the window";

    // The tray host quits: the watch finds it and the window goes to the task bar.
    trayUp_ = false;
    ASSERT_TRUE(waitFor([&] { return frame_->isVisible(); },
                        std::chrono::milliseconds(3 * CMainFrame::kTrayWatchMs)))
        << "no icon and no window";
    EXPECT_TRUE(frame_->isMinimized());
    EXPECT_TRUE(frame_->trayWatchActive()) << "a tray host that comes back gets the icon";

    trayUp_ = true;
    frame_->CheckTray();
    EXPECT_TRUE(frame_->trayIcon()->isVisible());
    EXPECT_FALSE(frame_->trayWatchActive());
}

TEST_F(MainFrameTest, ARefusedRenameShowsTheRecordAgainAndDeleteKeepsToIt) {
    Open();
    ASSERT_EQ(Labels(), (QStringList{"Example site", "Office mail"}));
    SelectRow(0);
    frame_->view()->model()->item(0, 0)->setText("office MAIL");
    ASSERT_TRUE(waitFor([&] { return !prompt_->shown.empty(); }));
    EXPECT_EQ(prompt_->shown[0].text, "Can not rename the event Example site try another name");
    ASSERT_TRUE(waitFor([&] {
        return Labels() == QStringList{"Example site", "Office mail"};
    })) << Labels().join(",").toStdString();

    prompt_->answers = {UserPrompt::IdYes};
    QTest::keyClick(frame_->view(), Qt::Key_Delete);
    EXPECT_EQ(prompt_->shown.back().text, "Are you sure you want to delete Example site?");
    EXPECT_EQ(Labels(), QStringList{"Office mail"});
}

TEST_F(MainFrameTest, RenamingARowWhoseNameIsNotUtf8RenamesThatRecord) {
    // Two names that show alike: a stray byte, and the replacement character it shows as.
    const std::string stray = "M\xff", replacement = "M\xef\xbf\xbd";
    Event(stray, 4, "Weekly", "");
    Event(replacement, 3, "Weekly", "");
    Open();
    Choose("Weekly");
    const auto& rows = commands_->eventList().rows();
    int at = -1;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].label == stray) at = static_cast<int>(i);
    ASSERT_GE(at, 0);
    SelectRow(at);
    frame_->view()->model()->item(at, 0)->setText("Renamed");
    // The cell shows the text at once; the record is renamed when the list is refilled.
    ASSERT_TRUE(waitFor([&] {
        for (const auto& row : commands_->eventList().rows())
            if (row.label == "Renamed") return true;
        return false;
    }));
    RegKey key;
    EXPECT_NE(key.Open(RegKey::LocalMachine(), EventPath(stray)), ERROR_SUCCESS);
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath(replacement)), ERROR_SUCCESS);
    EXPECT_EQ(ReadString(key, kScheduledEvent), "Weekly");
}

TEST_F(MainFrameTest, MonitorCommandsNeedASelectedRowNotJustTheFocusedOne) {
    Open();
    // The keyboard's current row without a selection, as focusing the list leaves it.
    List()->selectionModel()->setCurrentIndex(frame_->view()->model()->index(1, 0),
                                              QItemSelectionModel::NoUpdate);
    ASSERT_TRUE(List()->selectionModel()->selectedRows().isEmpty());
    frame_->UpdateCommands();
    for (int id : {32790, 57635, 57634, 32791, 32799})
        EXPECT_FALSE(frame_->Action(id)->isEnabled()) << id;

    prompt_->answers = {UserPrompt::IdYes, UserPrompt::IdYes};
    QTest::keyClick(frame_->view(), Qt::Key_Delete);
    for (int id : {32790, 57635, 57634, 32791}) frame_->Action(id)->trigger();
    EXPECT_TRUE(prompt_->shown.empty());
    EXPECT_TRUE(shell_->calls.empty()) << "no companion editor";
    EXPECT_TRUE(commands_->eventList().clipboardName().empty());
    EXPECT_EQ(Labels(), (QStringList{"Example site", "Office mail"}));

    // Selecting the row makes them act on it; clearing the selection stops them again.
    List()->selectionModel()->select(
        frame_->view()->model()->index(1, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    frame_->UpdateCommands();
    EXPECT_TRUE(frame_->Action(32791)->isEnabled());
    List()->selectionModel()->clearSelection();
    frame_->UpdateCommands();
    EXPECT_FALSE(frame_->Action(32791)->isEnabled());
    QTest::keyClick(frame_->view(), Qt::Key_Delete);
    EXPECT_TRUE(prompt_->shown.empty());
}

TEST_F(MainFrameTest, ALongScheduleNameIsElidedAndTheBarKeepsItsWidth) {
    Open();
    const int barWidth = frame_->eventScheduleBar()->width();
    const QSize windowSize = frame_->size();

    const std::string name =
        "Every morning before the office opens: the supplier sites, the price lists and the "
        "mail boxes of the sales team";
    RegKey::LocalMachine().DeleteKey(EventPath("Daily"));
    RegKey::LocalMachine().DeleteKey(EventPath("Weekly"));
    Schedule(name, "");
    Event("Prices", 4, name, "www.example.org/prices");
    Reopen();
    ASSERT_EQ(frame_->ControlText(1038).toStdString(), name) << "the whole name stays readable";
    EXPECT_EQ(frame_->eventScheduleBar()->width(), barWidth);
    EXPECT_EQ(frame_->size(), windowSize);
    auto* label = frame_->eventScheduleBar()->findChild<QLabel*>("c1038");
    ASSERT_TRUE(label);
    EXPECT_EQ(label->toolTip().toStdString(), name);
    EXPECT_EQ(frame_->scheduleSelector()->toolTip().toStdString(), name);
    EXPECT_LE(label->sizeHint().width(), barWidth);
    EXPECT_GT(List()->viewport()->width(), frame_->width() / 2) << "the list keeps its room";
    Save(frame_.get(), "main-window-long-name.png");
}

TEST_F(MainFrameTest, TheDescriptionColumnTakesTheSpareWidth) {
    Open();
    QHeaderView* header = List()->header();
    auto rightEdge = [&] { return header->sectionViewportPosition(2) + header->sectionSize(2); };
    EXPECT_FALSE(List()->horizontalScrollBar()->isVisible());
    EXPECT_LE(rightEdge(), List()->viewport()->width()) << "the Type column is not cut off";
    const int description = header->sectionSize(1);

    frame_->resize(800, 400);
    ASSERT_TRUE(waitFor([&] { return header->sectionSize(1) > description; }));
    EXPECT_EQ(rightEdge(), List()->viewport()->width());
    EXPECT_EQ(header->sectionSize(0), 100);
    EXPECT_FALSE(List()->horizontalScrollBar()->isVisible());
}

TEST_F(MainFrameTest, TheWindowAndTheLogBarKeepTheirPlaceFromOneStartToTheNext) {
    Open();
    EXPECT_EQ(frame_->size(), QSize(540, 305)) << "the first start";
    // The log bar first shows beside the window, never over its menus.
    frame_->move(0, 0);
    app_->WriteLog(158, "A new document at http://www.example.org/", 11, "http://www.example.org/");
    QDockWidget* log = frame_->logBar();
    ASSERT_TRUE(waitFor([&] { return log->isVisible(); }));
    EXPECT_FALSE(log->frameGeometry().intersects(frame_->frameGeometry()))
        << "bar " << log->frameGeometry().x() << "," << log->frameGeometry().y();
    EXPECT_TRUE(frame_->screen()->availableGeometry().contains(log->frameGeometry()));

    frame_->setGeometry(60, 40, 620, 380);
    log->setGeometry(150, 440, 480, 150);
    ASSERT_TRUE(waitFor([&] { return frame_->geometry() == QRect(60, 40, 620, 380); }));
    Reopen();
    EXPECT_EQ(frame_->geometry(), QRect(60, 40, 620, 380));
    log = frame_->logBar();
    EXPECT_FALSE(log->isVisible()) << "the bar stays hidden until there is news";
    app_->WriteLog(158, "Another document", 11, "http://www.example.org/b");
    ASSERT_TRUE(waitFor([&] { return log->isVisible(); }));
    EXPECT_EQ(log->geometry(), QRect(150, 440, 480, 150));

    // Placements that are not ours count as none: the first start's size again.
    frame_.reset();
    commands_.reset();
    app_.reset();
    Root().SetString(kWindowPlacement, "540x305");
    const uint8_t junk[] = {1, 2, 3};
    Root().SetValue(kLogBarPlacement, REG_BINARY, junk, sizeof junk);
    Open();
    EXPECT_EQ(frame_->size(), QSize(540, 305));
}

TEST(BesideWindow, TheBarGoesWhereItFitsAndNeverOverTheMenus) {
    const QRect screen(0, 0, 1280, 800);
    const QSize bar(460, 170);
    // Room below.
    EXPECT_EQ(BesideWindow(QRect(100, 50, 540, 305), bar, screen), QPoint(100, 50 + 305 + 8));
    // No room below: to the right, level with the window's top.
    EXPECT_EQ(BesideWindow(QRect(100, 500, 540, 290), bar, screen), QPoint(100 + 540 + 8, 500 - 0));
    // Neither below nor right: above; a window near the right edge pulls the bar inside.
    EXPECT_EQ(BesideWindow(QRect(900, 600, 370, 190), bar, screen),
              QPoint(1280 - 460, 600 - 8 - 170));
    // A screen too small for any side: below, pushed up onto the screen, under the menus.
    QPoint at = BesideWindow(QRect(130, 147, 540, 305), bar, QRect(0, 0, 800, 600));
    EXPECT_EQ(at, QPoint(130, 600 - 170));
    EXPECT_GT(at.y(), 147 + 60);
}

TEST_F(MainFrameTest, TheTrayIconTogglesOnAClickAndHasItsOwnMenu) {
    Open(true);
    QSystemTrayIcon* tray = frame_->trayIcon();
    ASSERT_TRUE(tray);
    emit tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_FALSE(frame_->isVisible());
    emit tray->activated(QSystemTrayIcon::Trigger);
    EXPECT_TRUE(frame_->isVisible());

    QMenu* menu = tray->contextMenu();
    ASSERT_TRUE(menu);
    auto item = [&](const QString& text) -> QAction* {
        for (QAction* a : menu->actions())
            if (a->text() == text && a->isVisible()) return a;
        return nullptr;
    };
    auto texts = [&] {
        emit menu->aboutToShow();
        QStringList t;
        for (QAction* a : menu->actions())
            if (!a->isSeparator() && a->isVisible()) t << a->text();
        return t;
    };
    EXPECT_EQ(texts(), (QStringList{"Show", "Run Now", "Pause", "Exit"}));

    // Pause from the tray: the bar says so, and the menu offers Resume.
    auto* paused = frame_->eventScheduleBar()->findChild<QLabel*>("pausedState");
    ASSERT_TRUE(paused);
    EXPECT_FALSE(paused->isVisible());
    item("Pause")->trigger();
    EXPECT_TRUE(app_->scheduler().paused());
    EXPECT_TRUE(paused->isVisible());
    EXPECT_EQ(paused->text(), "Paused");
    EXPECT_EQ(texts(), (QStringList{"Show", "Run Now", "Resume", "Exit"}));
    Save(frame_.get(), "main-window-paused.png");
    item("Resume")->trigger();
    EXPECT_FALSE(app_->scheduler().paused());
    EXPECT_FALSE(paused->isVisible());

    // Show brings a hidden window back.
    frame_->Action(32813)->trigger();
    EXPECT_FALSE(frame_->isVisible());
    item("Show")->trigger();
    EXPECT_TRUE(frame_->isVisible());

    // Run Now runs the chosen schedule; its window carries the program's icon.
    auto panel = std::make_unique<RecordingPanel>("web", &timeline_);
    panel->hold = true;
    app_->runWindow().SetPanel(4, std::move(panel));
    item("Run Now")->trigger();
    ASSERT_TRUE(app_->runWindow().running());
    emit menu->aboutToShow();
    EXPECT_FALSE(item("Run Now")->isEnabled()) << "one run at a time";
    CRunWindowView* run = frame_->runWindowView();
    ASSERT_TRUE(waitFor([&] { return run->isVisible(); }));
    EXPECT_FALSE(run->windowIcon().isNull());
    EXPECT_EQ(run->windowIcon().pixmap(32, 32).toImage(),
              frame_->windowIcon().pixmap(32, 32).toImage());
    app_->runWindow().OnCancel();
    ASSERT_TRUE(waitFor([&] { return !app_->runWindow().running(); }));

    // Exit asks as the menu's Exit does.
    prompt_->answers = {UserPrompt::IdNo};
    item("Exit")->trigger();
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Are you sure you want to exit now?");
    EXPECT_TRUE(frame_->isVisible());
}

}  // namespace

namespace {

TEST_F(MainFrameTest, ShowTickerOpensOneStripForTheChosenLumettaDisplay) {
    Open();
    Choose("Weekly");
    QAction* show = frame_->Action(32830);
    ASSERT_NE(show, nullptr);
    frame_->UpdateCommands();
    EXPECT_FALSE(show->isEnabled()) << "nothing selected";
    int row = frame_->view()->model()->findItems("Ticker").value(0)->row();
    SelectRow(row);
    ASSERT_TRUE(waitFor([&] { return show->isEnabled(); }));
    show->trigger();
    ASSERT_EQ(frame_->tickers().size(), 1u);
    ASSERT_TRUE(frame_->tickers()[0]);
    EXPECT_TRUE(frame_->tickers()[0]->isVisible());
    EXPECT_EQ(frame_->tickers()[0]->ticker().eventName(), "Ticker");
    // Asked again, the open strip comes forward; no second one.
    show->trigger();
    EXPECT_EQ(frame_->tickers().size(), 1u);
    frame_->tickers()[0]->close();
    EXPECT_TRUE(waitFor([&] { return frame_->tickers()[0].isNull(); }));
}

TEST_F(MainFrameTest, HelpOpensTheUserGuideInTheBrowserAndSaysWhereItLookedWhenItIsMissing) {
    Open();
    const std::string guide = Path("Guide #1 für alle/index.html");
    commands_->SetGuideLocations({Path("installed/index.html"), guide});
    std::filesystem::create_directories(Path("Guide #1 für alle"));
    std::ofstream(guide) << "<html></html>";
    // The first place that has it; an address whatever the path holds.
    frame_->Action(57667)->trigger();
    ASSERT_FALSE(shell_->calls.empty());
    EXPECT_EQ(shell_->calls.back(),
              "open file://" + Path("Guide%20%231%20f%C3%BCr%20alle/index.html"));
    // Through the browser of the options, as the links of the log.
    Root().SetString(kWebBrowser, "/usr/bin/mybrowser");
    frame_->Action(57667)->trigger();
    EXPECT_EQ(shell_->calls.back(), "start /usr/bin/mybrowser [file://" +
                                        Path("Guide%20%231%20f%C3%BCr%20alle/index.html") + "]");
    Root().DeleteValue(kWebBrowser);

    // The help file of old, in the working folder, comes first.
    std::ofstream(Path("Quorvane.Hlp")) << "help";
    frame_->Action(57667)->trigger();
    EXPECT_EQ(shell_->calls.back(), "open " + Path("Quorvane.Hlp"));
    std::filesystem::remove(Path("Quorvane.Hlp"));

    // Neither: the user is told where the guide was looked for.
    std::filesystem::remove(guide);
    const size_t calls = shell_->calls.size();
    prompt_->shown.clear();
    frame_->Action(57667)->trigger();
    EXPECT_EQ(shell_->calls.size(), calls);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    const std::string& text = prompt_->shown[0].text;
    EXPECT_NE(text.find("user guide is missing"), std::string::npos) << text;
    EXPECT_NE(text.find(Path("installed/index.html")), std::string::npos) << text;
    EXPECT_NE(text.find(guide), std::string::npos) << text;
}

TEST_F(MainFrameTest, AHiddenStartPutsTheWindowAwayWithoutShowingIt) {
    app_ = std::make_unique<CApplication>(nullptr);
    commands_ = std::make_unique<CMainCommands>(*app_);
    trayUp_ = true;
    frame_ = std::make_unique<CMainFrame>(*app_, *commands_, [this] { return trayUp_; });
    frame_->StartPutAway();
    EXPECT_FALSE(frame_->isVisible());
    ASSERT_TRUE(frame_->trayIcon()) << "the only way back to the window";
    EXPECT_TRUE(frame_->trayIcon()->isVisible());
    frame_->ShowFromTray();
    EXPECT_TRUE(frame_->isVisible());
    frame_.reset();

    // Without a tray it is minimised: still on the task bar.
    trayUp_ = false;
    frame_ = std::make_unique<CMainFrame>(*app_, *commands_, [this] { return trayUp_; });
    frame_->StartPutAway();
    EXPECT_TRUE(frame_->isMinimized());
    EXPECT_TRUE(frame_->isVisible());
    frame_.reset();

    // The desktop program's own start-up (offscreen has no tray).
    QtDesktop desktop;
    desktop.ShowWindow(*app_, true);
    CMainFrame* shown = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* f = qobject_cast<CMainFrame*>(w)) shown = f;
    ASSERT_TRUE(shown);
    EXPECT_EQ(QSystemTrayIcon::isSystemTrayAvailable() ? shown->isHidden() : shown->isMinimized(),
              true);
    desktop.Close();
}

}  // namespace

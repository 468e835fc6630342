#include "ui/EventEditor.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <sstream>

#include "app/SettingsStore.h"
#include "fixtures/Fixtures.h"
#include "ui/EventWizards.h"

namespace {

using namespace settings;

class EventEditorTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ScheduleRecord daily;
        daily.name = "Daily";
        daily.description = "every hour";
        ASSERT_TRUE(CreateEventRecord(daily));
        WebMonitorRecord web;
        web.name = "Site watch";
        web.site = "example.org";
        web.scheduledEvent = "Daily";
        web.notifyViaEmail = 1;
        web.notifyEmailTo = "me@example.org";
        ASSERT_TRUE(CreateEventRecord(web));
    }
    void TearDown() override {
        editor_.reset();
        SandboxTest::TearDown();
    }
    void Open(const std::string& event) {
        editor_.reset(CEventEditor::Make(event));
        ASSERT_TRUE(editor_);
        editor_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(editor_.get()));
    }
    void Tab(int index) {
        editor_->tabs()->setCurrentIndex(index);
        QCoreApplication::processEvents();
    }
    template <typename W = QWidget>
    W* Control(int id) {
        auto* w = editor_->tabs()->currentWidget()->findChild<W*>(QString("c%1").arg(id));
        EXPECT_NE(w, nullptr) << "control " << id;
        return w;
    }
    void Retype(int id, const QString& text) {
        auto* edit = Control<QLineEdit>(id);
        ASSERT_TRUE(edit && edit->isEnabled()) << id;
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClicks(edit, text);
    }
    void Click(int id) {
        auto* b = Control<QAbstractButton>(id);
        ASSERT_TRUE(b && b->isEnabled()) << id;
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
    }
    void Shot(const char* name) {
        QString path = QString("%1/%2.png").arg(QUORVANE_SCREENSHOT_DIR).arg(name);
        EXPECT_TRUE(editor_->grab().save(path)) << path.toStdString();
    }
    std::string Value(const std::string& path, const char* name) {
        RegKey key;
        EXPECT_EQ(key.Open(RegKey::LocalMachine(), path), ERROR_SUCCESS) << path;
        return ReadString(key, name);
    }
    // `quorvane --schedules` on this store, as another program reads it.
    std::string Schedules() {
        QProcess p;
        p.start(QUORVANE_BIN, {"--data-dir", QString::fromStdString(Path("data")), "--registry",
                               QString::fromStdString(Path("registry.db")), "--schedules"});
        EXPECT_TRUE(p.waitForFinished(30000));
        return p.readAllStandardOutput().toStdString();
    }

    std::unique_ptr<CEventEditor> editor_;
};

TEST_F(EventEditorTest, AWebMonitorsSiteAndAScheduleChangeAndOthersFollow) {
    EXPECT_NE(Schedules().find("\tSite watch\n"), std::string::npos);

    Open("Site watch");
    EXPECT_EQ(editor_->windowTitle(), "Site watch Properties");
    ASSERT_EQ(editor_->tabs()->count(), 3);
    auto* name = Control<QLineEdit>(1083);
    ASSERT_TRUE(name);
    EXPECT_EQ(name->text(), "Site watch");
    EXPECT_TRUE(name->isReadOnly() || !name->isEnabled()) << "the name is the record's key";
    Tab(1);
    EXPECT_EQ(Control<QLineEdit>(1071)->text(), "example.org");
    Retype(1071, "other.example.net");
    Shot("editor-web");
    Tab(2);
    auto* schedule = Control<QComboBox>(1108);
    ASSERT_TRUE(schedule);
    EXPECT_EQ(schedule->currentText(), "Daily") << "an edited monitor keeps its schedule";
    EXPECT_EQ(Control<QLineEdit>(1111)->text(), "me@example.org");
    schedule->setCurrentIndex(schedule->findText("<None>"));
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    EXPECT_TRUE(editor_->saved());
    EXPECT_FALSE(editor_->isVisible());
    EXPECT_EQ(Value(EventPath("Site watch"), "Site"), "other.example.net");
    EXPECT_EQ(Value(EventPath("Site watch"), kScheduledEvent), "<None>");
    EXPECT_EQ(Value(EventPath("Site watch"), kNotifyEmailTo), "me@example.org");
    RegKey watched;
    ASSERT_EQ(watched.Open(RegKey::LocalMachine(), EventPath("Site watch") + "\\WatchedUrls"),
              ERROR_SUCCESS);
    Bytes data;
    DWORD type = 0;
    EXPECT_EQ(watched.QueryValue("http://other.example.net", &type, &data), ERROR_SUCCESS);

    // The schedule: every 1440 minutes runs at midnight, and its monitor has left it.
    Open("Daily");
    Tab(1);
    Click(1012);
    Retype(1013, "1440");
    Shot("editor-schedule");
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    EXPECT_TRUE(editor_->saved());
    ScheduleRecord daily;
    ASSERT_TRUE(ReadEventRecord("Daily", daily));
    EXPECT_EQ(daily.interval, 1440u);
    EXPECT_EQ(daily.description, "every hour") << "what was not touched stays";
    std::string listed = Schedules();
    EXPECT_NE(listed.find("Daily\t"), std::string::npos) << listed;
    EXPECT_NE(listed.find(" 00:00\t\n"), std::string::npos) << listed;
}

TEST_F(EventEditorTest, BadValuesKeepTheSheetOpenAndCancelWritesNothing) {
    Open("Daily");
    Tab(1);
    Click(1012);
    Retype(1013, "0");
    Tab(0);
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    EXPECT_FALSE(editor_->saved());
    EXPECT_TRUE(editor_->isVisible());
    EXPECT_EQ(editor_->tabs()->currentIndex(), 1) << "the page with the problem is shown";
    ASSERT_FALSE(prompt_->shown.empty());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter an integer between 1 and 99999.");
    editor_->reject();
    ScheduleRecord daily;
    ASSERT_TRUE(ReadEventRecord("Daily", daily));
    EXPECT_EQ(daily.interval, 60u);

    Open("Site watch");
    Tab(1);
    Retype(1071, "");
    Tab(2);
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    EXPECT_TRUE(editor_->isVisible()) << "a web monitor needs a site";
    EXPECT_EQ(editor_->tabs()->currentIndex(), 1);
    EXPECT_EQ(prompt_->shown.back().text, "Some settings on this page are missing.");
    Retype(1071, "changed.example.org");
    editor_->reject();
    EXPECT_EQ(Value(EventPath("Site watch"), "Site"), "example.org");

    // An event that is gone, or of no kind the pages know, is told and opens nothing.
    prompt_->shown.clear();
    EXPECT_EQ(CEventEditor::Make("Nothing here"), nullptr);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text,
              "The event Nothing here cannot be changed: there is no event named \"Nothing "
              "here\".");
}

TEST_F(EventEditorTest, TheDialUpPasswordIsNeverShownKeptWhenUntouchedAndRemovedWhenAsked) {
    {
        RegKey key;
        ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Daily")), ERROR_SUCCESS);
        key.SetString(kPhoneBook, "Mobile");
        key.SetString(kAccountName, "me");
        key.SetString(kAccountPasswd, "old secret");
    }
    Open("Daily");
    Tab(2);
    auto* password = Control<QLineEdit>(1305);
    ASSERT_TRUE(password);
    EXPECT_EQ(password->text(), "") << "a stored password is never shown back";
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(password->placeholderText().isEmpty()) << "but the user is told one is kept";
    EXPECT_EQ(Control<QLineEdit>(1303)->text(), "Mobile");
    EXPECT_TRUE(Control(1306)->isVisible());
    Retype(1304, "you");
    Shot("editor-schedule-dialup");
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    ASSERT_TRUE(editor_->saved());
    EXPECT_EQ(Value(EventPath("Daily"), kAccountName), "you");
    EXPECT_EQ(Value(EventPath("Daily"), kAccountPasswd), "old secret");

    Open("Daily");
    Tab(2);
    Retype(1305, "new secret");
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    ASSERT_TRUE(editor_->saved());
    EXPECT_EQ(Value(EventPath("Daily"), kAccountPasswd), "new secret");

    Open("Daily");
    Tab(2);
    EXPECT_EQ(Control<QLineEdit>(1305)->text(), "");
    Click(1306);
    EXPECT_FALSE(Control(1305)->isEnabled());
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    ASSERT_TRUE(editor_->saved());
    EXPECT_EQ(Value(EventPath("Daily"), kAccountPasswd), "");
    Open("Daily");
    Tab(2);
    EXPECT_TRUE(Control<QLineEdit>(1305)->placeholderText().isEmpty());
    EXPECT_FALSE(Control(1306)->isVisible()) << "nothing left to remove";
}

TEST_F(EventEditorTest, TheMailboxPasswordIsNeverShownAndKeptWhenUntouched) {
    MailMonitorRecord mail;
    mail.name = "Mail";
    mail.popHost = "pop.example.org";
    mail.popUserName = "joe";
    mail.popPassword = "s3cret";
    mail.scheduledEvent = "Daily";
    ASSERT_TRUE(CreateEventRecord(mail));
    Open("Mail");
    Tab(1);
    auto* password = Control<QLineEdit>(1018);
    ASSERT_TRUE(password);
    EXPECT_EQ(password->text(), "") << "a stored password is never put back in the edit";
    EXPECT_FALSE(password->placeholderText().isEmpty());
    Retype(1025, "joseph");
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    ASSERT_TRUE(editor_->saved()) << "a stored password counts as given";
    EXPECT_EQ(Value(EventPath("Mail"), kPopPassword), "s3cret");
    EXPECT_EQ(Value(EventPath("Mail"), kPopUserName), "joseph");

    Open("Mail");
    Tab(1);
    Retype(1018, "n3w");
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    ASSERT_TRUE(editor_->saved());
    EXPECT_EQ(Value(EventPath("Mail"), kPopPassword), "n3w");
}

TEST_F(EventEditorTest, TheCrawlBoundIsWrittenOnlyWhenChanged) {
    Open("Site watch");
    Tab(1);
    auto* most = Control<QLineEdit>(1307);
    ASSERT_TRUE(most);
    EXPECT_EQ(most->text(), "10000");
    EXPECT_FALSE(most->isEnabled());
    Click(1072);
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    ASSERT_TRUE(editor_->saved());
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Site watch")), ERROR_SUCCESS);
    EXPECT_NE(key.QueryValue(kMaxDocuments, nullptr, nullptr), ERROR_SUCCESS)
        << "the default stands for itself";
    Open("Site watch");
    Tab(1);
    Retype(1307, "250");
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    ASSERT_TRUE(editor_->saved());
    EXPECT_EQ(ReadDword(key, kMaxDocuments, 0), 250u);
}

TEST_F(EventEditorTest, EditFromTheCommandLineRefusesAnUnknownEvent) {
    QProcess p;
    p.start(QUORVANE_BIN, {"--data-dir", QString::fromStdString(Path("data")), "--registry",
                           QString::fromStdString(Path("registry.db")), "--edit", "Missing"});
    ASSERT_TRUE(p.waitForFinished(30000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_EQ(p.readAllStandardError().toStdString(),
              "quorvane: there is no event named \"Missing\"\n");
}

}  // namespace

namespace {

TEST_F(EventEditorTest, AStoreThatCannotBeWrittenKeepsTheSheetOpenAndLosesNothing) {
    Open("Site watch");
    Tab(0);
    Retype(1004, "new words");
    Tab(1);
    Retype(1071, "busy.example.org");
    {
        StoreWriteLock other(*store_, Path("registry.db"));
        ASSERT_TRUE(other.held());
        QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
        EXPECT_FALSE(editor_->saved());
        EXPECT_TRUE(editor_->isVisible()) << "what was entered is still there to save";
        ASSERT_FALSE(prompt_->shown.empty());
        EXPECT_NE(prompt_->shown.back().text.find("could not be saved"), std::string::npos);
    }
    EXPECT_EQ(Value(EventPath("Site watch"), "Site"), "example.org");
    EXPECT_EQ(Value(EventPath("Site watch"), kDescription), "") << "none of it, not half";
    QTest::mouseClick(editor_->okButton(), Qt::LeftButton);
    EXPECT_TRUE(editor_->saved());
    EXPECT_EQ(Value(EventPath("Site watch"), "Site"), "busy.example.org");
    EXPECT_EQ(Value(EventPath("Site watch"), kDescription), "new words");
}

}  // namespace

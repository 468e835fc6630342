#include "ui/EventWizards.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <map>

#include "app/Application.h"
#include "app/MainCommands.h"
#include "fakes/RecordingShell.h"
#include "fixtures/Fixtures.h"
#include "platform/Shell.h"

namespace {

using namespace settings;
using Value = std::pair<DWORD, Bytes>;

Value Sz(const std::string& text) {
    Bytes b(text.begin(), text.end());
    b.push_back(0);
    return {REG_SZ, b};
}
Value Dw(DWORD n) {
    return {REG_DWORD, Bytes{uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)}};
}
Value Multi(DWORD type, const std::vector<std::string>& items) {
    Bytes b;
    for (const auto& i : items) {
        b.insert(b.end(), i.begin(), i.end());
        b.push_back(0);
    }
    b.push_back(0);
    if (b.size() == 1) b.push_back(0);
    return {type, b};
}

class WizardUiTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        shell_ = std::make_shared<RecordingShell>();
        Shell::Install(shell_);
        Root().SetDword(kAutoStartLM, 0);
        app_ = std::make_unique<CApplication>(nullptr);
        commands_ = std::make_unique<CMainCommands>(*app_);
        ScheduleRecord daily;
        daily.name = "Daily";
        ASSERT_TRUE(CreateEventRecord(daily));
    }
    void TearDown() override {
        wizard_.reset();
        commands_.reset();
        app_.reset();
        Shell::Install(nullptr);
        SandboxTest::TearDown();
    }
    void Show(const std::vector<CWizardPageView*>& pages, const char* kind) {
        kind_ = kind;
        shot_ = 0;
        wizard_.reset(MakeWizard(pages, nullptr));
        wizard_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(wizard_.get()));
    }
    template <typename W = QWidget>
    W* Control(int id) {
        auto* w = wizard_->currentPage()->findChild<W*>(QString("c%1").arg(id));
        EXPECT_NE(w, nullptr) << "control " << id << " on page " << wizard_->currentId();
        return w;
    }
    void Type(int id, const QString& text) {
        auto* edit = Control<QLineEdit>(id);
        ASSERT_TRUE(edit && edit->isEnabled()) << id;
        edit->setFocus();
        QTest::keyClicks(edit, text);
    }
    void Click(int id) {
        auto* b = Control<QAbstractButton>(id);
        ASSERT_TRUE(b && b->isEnabled()) << id;
        QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(6, b->height() / 2));
    }
    bool Enabled(QWizard::WizardButton which) { return wizard_->button(which)->isEnabled(); }
    bool NextOn() { return Enabled(QWizard::NextButton); }
    bool FinishOn() { return Enabled(QWizard::FinishButton); }
    void Press(QWizard::WizardButton which) {
        ASSERT_TRUE(Enabled(which)) << "page " << wizard_->currentId();
        QTest::mouseClick(wizard_->button(which), Qt::LeftButton);
    }
    // Saves a picture of the page shown, and checks its window title is the page's.
    void Shot() {
        EXPECT_EQ(wizard_->windowTitle(), wizard_->currentPage()->title());
        QString path =
            QString("%1/wizard-%2-%3.png").arg(QUORVANE_SCREENSHOT_DIR).arg(kind_).arg(++shot_);
        EXPECT_TRUE(wizard_->grab().save(path)) << path.toStdString();
    }
    void ChooseSchedule(const QString& name) {
        auto* combo = Control<QComboBox>(1108);
        ASSERT_TRUE(combo);
        int i = combo->findText(name);
        ASSERT_GE(i, 0);
        combo->setCurrentIndex(i);
    }
    // Every value of an event's key (or a key below it), by name.
    static std::map<std::string, Value> Values(const std::string& path) {
        RegKey key;
        EXPECT_EQ(key.Open(RegKey::LocalMachine(), path), ERROR_SUCCESS) << path;
        std::map<std::string, Value> values;
        std::string name;
        DWORD type;
        Bytes data;
        for (DWORD i = 0; key.EnumValue(i, &name, &type, &data) == ERROR_SUCCESS; ++i)
            values[name] = {type, data};
        return values;
    }
    static bool Exists(const std::string& event) {
        RegKey key;
        return key.Open(RegKey::LocalMachine(), EventPath(event)) == ERROR_SUCCESS;
    }

    std::shared_ptr<RecordingShell> shell_;
    std::unique_ptr<CApplication> app_;
    std::unique_ptr<CMainCommands> commands_;
    std::unique_ptr<QWizard> wizard_;
    const char* kind_ = "";
    int shot_ = 0;
};

TEST_F(WizardUiTest, ScheduleWizard) {
    CScheduleWizard m;
    Show(MakeSchedulePages(m, nullptr), "schedule");
    EXPECT_EQ(wizard_->windowTitle(), "Event Wizard  -  Part 1");
    EXPECT_FALSE(wizard_->button(QWizard::BackButton)->isVisible());
    Type(1083, "Nightly");
    EXPECT_FALSE(NextOn()) << "a name alone";
    Type(1004, "Runs at night ");
    Control<QLineEdit>(1004)->insert(QString::fromUtf8("\xE2\x98\xBE"));
    EXPECT_TRUE(NextOn());
    Shot();
    Press(QWizard::NextButton);

    EXPECT_FALSE(Control(1013)->isEnabled());
    EXPECT_FALSE(Control(1010)->isEnabled());
    Click(1007);
    EXPECT_TRUE(Control(1010)->isEnabled());
    Click(1010);
    Shot();
    Click(1012);
    EXPECT_TRUE(Control(1013)->isEnabled());
    EXPECT_FALSE(Control(1010)->isEnabled());
    Control<QLineEdit>(1013)->clear();
    Type(1013, "0");
    Press(QWizard::NextButton);
    EXPECT_EQ(wizard_->currentId(), 1) << "0 minutes keeps the user on the page";
    ASSERT_FALSE(prompt_->shown.empty());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter an integer between 1 and 99999.");
    Control<QLineEdit>(1013)->clear();
    Type(1013, "45");
    Press(QWizard::NextButton);

    EXPECT_TRUE(FinishOn());
    Click(1123);
    Type(1303, "Mobile");
    Type(1304, "dialer");
    Type(1305, "pin");
    EXPECT_EQ(Control<QLineEdit>(1305)->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(Control(1306)->isVisible()) << "a new schedule has no password to remove";
    Shot();
    Press(QWizard::FinishButton);
    ASSERT_EQ(wizard_->result(), QDialog::Accepted);
    ASSERT_TRUE(commands_->CreateEvent(m.Record()));

    std::map<std::string, Value> expected{{"Enabled", Dw(1)},
                                          {"Log", Dw(0)},
                                          {"Interval", Dw(45)},
                                          {"Days", Dw(0x7F)},
                                          {"Hours", Dw(0xFFFFFF)},
                                          {"PhoneBook", Sz("Mobile")},
                                          {"Description", Sz("Runs at night \xE2\x98\xBE")},
                                          {"Type", Dw(1)},
                                          {"UpdateTime", Dw(1)},
                                          {"AccountName", Sz("dialer")},
                                          {"AccountPasswd", Sz("pin")}};
    EXPECT_EQ(Values(EventPath("Nightly")), expected);
    EXPECT_EQ(shell_->calls, std::vector<std::string>{"start ./quorvane-schedule [Nightly]"});
}

TEST_F(WizardUiTest, MailWizard) {
    CMailWizard m;
    Show(MakeMailPages(m, nullptr), "mail");
    Type(1022, "Office mail");
    Type(1023, "Work box");
    Shot();
    Press(QWizard::NextButton);

    Type(1020, "pop.example.org");
    Type(1025, "joe");
    EXPECT_FALSE(NextOn());
    Type(1018, "s3cret");
    EXPECT_EQ(Control<QLineEdit>(1018)->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(NextOn());
    auto* security = Control<QComboBox>(1300);
    ASSERT_TRUE(security);
    ASSERT_EQ(security->count(), 3);
    EXPECT_EQ(security->currentIndex(), 0);
    EXPECT_EQ(security->itemText(2), "TLS from the first byte (port 995 unless one is named)");
    security->setCurrentIndex(2);
    Shot();
    Press(QWizard::NextButton);

    EXPECT_FALSE(Control(1003)->isEnabled());
    EXPECT_FALSE(Control(1099)->isEnabled());
    // The page says what each does to the mail on the server.
    QStringList notes;
    for (auto* label : Control(1003)->parentWidget()->findChildren<QLabel*>())
        notes << label->text();
    EXPECT_TRUE(
        notes.contains("A message that was forwarded is removed from the mailbox on the "
                       "server."))
        << notes.join('|').toStdString();
    EXPECT_TRUE(notes.contains("A message that was copied stays in the mailbox on the server."));
    Click(1104);
    EXPECT_FALSE(NextOn()) << "copy ticked without an address";
    Type(1099, "copy@example.org");
    EXPECT_TRUE(NextOn());
    Shot();
    Press(QWizard::NextButton);

    Click(1105);
    Type(1106, "5551234");
    EXPECT_FALSE(NextOn()) << "a pager number without a message";
    Type(1107, "411");
    EXPECT_TRUE(NextOn());
    Shot();
    Press(QWizard::NextButton);

    EXPECT_FALSE(Control(1114)->isEnabled());
    EXPECT_FALSE(Control(1301)->isEnabled());
    EXPECT_FALSE(Control(1302)->isEnabled());
    Click(1116);
    Type(1114, "5550000");
    Type(1115, "Joe");
    Click(1301);
    // Only digits go in; the default stands until it is changed.
    auto* faxSize = Control<QLineEdit>(1302);
    ASSERT_TRUE(faxSize);
    EXPECT_EQ(faxSize->text(), "30720");
    faxSize->clear();
    Type(1302, "-5x");
    EXPECT_EQ(faxSize->text(), "5");
    Press(QWizard::NextButton);
    EXPECT_EQ(wizard_->currentId(), 5) << "5 bytes is allowed, so the page is left";
    Press(QWizard::BackButton);
    faxSize->clear();
    Type(1302, "0");
    Press(QWizard::NextButton);
    EXPECT_EQ(wizard_->currentId(), 4) << "0 bytes keeps the user on the page";
    EXPECT_EQ(prompt_->shown.back().text, "Please enter an integer between 1 and 1048576.");
    faxSize->clear();
    Type(1302, "30720");
    Shot();
    Press(QWizard::NextButton);

    EXPECT_FALSE(FinishOn()) << "no schedule chosen";
    ChooseSchedule("Daily");
    EXPECT_TRUE(FinishOn());
    Click(1110);
    EXPECT_FALSE(FinishOn()) << "e-mail ticked without an address";
    Type(1111, "me@example.org");
    Click(1109);
    EXPECT_TRUE(FinishOn());
    // Back and Next again: the schedule has to be chosen again.
    Press(QWizard::BackButton);
    Press(QWizard::NextButton);
    EXPECT_EQ(Control<QComboBox>(1108)->currentIndex(), -1);
    EXPECT_FALSE(FinishOn());
    ChooseSchedule("Daily");
    Shot();
    Press(QWizard::FinishButton);
    ASSERT_TRUE(commands_->CreateEvent(m.Record()));

    std::map<std::string, Value> expected{{"Description", Sz("Work box")},
                                          {"PopHost", Sz("pop.example.org")},
                                          {"PopUserName", Sz("joe")},
                                          {"PopPassword", Sz("s3cret")},
                                          {"ForwardMail", Dw(0)},
                                          {"ForwardTo", Sz("")},
                                          {"CopyTo", Multi(REG_BINARY, {"copy@example.org"})},
                                          {"EnablePager", Dw(1)},
                                          {"PagerPhone", Sz("5551234")},
                                          {"PagerMsg", Sz("411")},
                                          {"EnableFax", Dw(1)},
                                          {"FaxPhone", Sz("5550000")},
                                          {"FaxName", Sz("Joe")},
                                          {"ScheduledEvent", Sz("Daily")},
                                          {"NotifyViaEmail", Dw(1)},
                                          {"NotifyEmailTo", Sz("me@example.org")},
                                          {"NotifyViaWindows", Dw(1)},
                                          {"Type", Dw(3)},
                                          {"Enabled", Dw(1)},
                                          {"Log", Dw(0)},
                                          {"PopSecurity", Dw(2)},
                                          {"SendAttachments", Dw(1)}};
    EXPECT_EQ(Values(EventPath("Office mail")), expected);
    EXPECT_EQ(shell_->calls, std::vector<std::string>{"start ./quorvane-mailwatch [Office mail]"});
}

TEST_F(WizardUiTest, NewsWizard) {
    CNewsWizard m;
    Show(MakeNewsPages(m, nullptr), "news");
    Type(1019, "C++ news");
    Type(1024, "Talk about the program");
    Shot();
    Press(QWizard::NextButton);

    // No news server: the button only says so, and the groups are typed by hand.
    Click(1117);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text,
              "The Network News Server is not configured.  Goto View/Options... and set the "
              "Network News Server.");
    Type(1026, "comp.lang.c++, alt.test");
    Type(1027, "quorvane release");
    EXPECT_FALSE(NextOn()) << "no search box ticked";
    Click(1029);
    EXPECT_TRUE(NextOn());
    Click(1016);
    Shot();
    Press(QWizard::NextButton);

    ChooseSchedule("<None>");
    EXPECT_TRUE(FinishOn());
    Shot();
    Press(QWizard::FinishButton);
    ASSERT_TRUE(commands_->CreateEvent(m.Record()));

    std::map<std::string, Value> expected{
        {"ScheduledEvent", Sz("<None>")},
        {"NotifyEmailTo", Sz("")},
        {"NotifyViaEmail", Dw(0)},
        {"NotifyViaWindows", Dw(0)},
        {"NewsGroups", Multi(REG_MULTI_SZ, {"comp.lang.c++", "alt.test"})},
        {"Keywords", Multi(REG_MULTI_SZ, {"quorvane release"})},
        {"SearchAuthor", Dw(0)},
        {"SearchBody", Dw(1)},
        {"SearchSubject", Dw(1)},
        {"Description", Sz("Talk about the program")},
        {"Type", Dw(2)},
        {"Enabled", Dw(1)},
        {"Log", Dw(0)},
        {"EnableMax", Dw(0)},
        {"MaxLines", Dw(0)}};
    EXPECT_EQ(Values(EventPath("C++ news")), expected);
    EXPECT_EQ(shell_->calls, std::vector<std::string>{"start ./quorvane-newswatch [C++ news]"});
}

TEST_F(WizardUiTest, WebWizardRefusesAnExistingNameInOtherCase) {
    CWebWizard m;
    Show(MakeWebPages(m, nullptr), "web");
    Type(1083, "DAILY");
    Type(1004, "Example pages");
    Press(QWizard::NextButton);
    EXPECT_EQ(wizard_->currentId(), 0) << "the schedule Daily would be overwritten";
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_NE(prompt_->shown[0].text.find("exists already"), std::string::npos);
    Control<QLineEdit>(1083)->clear();
    Type(1083, "Example site");
    Shot();
    Press(QWizard::NextButton);

    EXPECT_FALSE(NextOn());
    Type(1071, " www.example.org/news ");
    EXPECT_TRUE(NextOn());
    auto* most = Control<QLineEdit>(1307);
    ASSERT_TRUE(most);
    EXPECT_FALSE(most->isEnabled()) << "a bound of a crawl that is not made";
    EXPECT_EQ(most->text(), "10000");
    Click(1072);
    EXPECT_TRUE(most->isEnabled());
    most->clear();
    Type(1307, "1000001");
    EXPECT_EQ(most->text(), "1000001");
    Press(QWizard::NextButton);
    EXPECT_EQ(wizard_->currentId(), 1);
    EXPECT_EQ(prompt_->shown.back().text, "Please enter an integer between 1 and 1000000.");
    most->clear();
    Type(1307, "1000000");
    Shot();
    Press(QWizard::NextButton);

    ChooseSchedule("Daily");
    Click(1109);
    Click(1110);
    Type(1111, "me@example.org");
    Shot();
    Press(QWizard::FinishButton);
    ASSERT_TRUE(commands_->CreateEvent(m.Record()));

    std::map<std::string, Value> expected{{"Description", Sz("Example pages")},
                                          {"Site", Sz(" www.example.org/news ")},
                                          {"EntireDomain", Dw(1)},
                                          {"Files", Dw(0)},
                                          {"ScheduledEvent", Sz("Daily")},
                                          {"NotifyEmailTo", Sz("me@example.org")},
                                          {"NotifyViaEmail", Dw(1)},
                                          {"NotifyViaWindows", Dw(1)},
                                          {"Type", Dw(4)},
                                          {"Enabled", Dw(1)},
                                          {"Log", Dw(0)},
                                          {"MaxDocuments", Dw(1000000)}};
    EXPECT_EQ(Values(EventPath("Example site")), expected);
    std::map<std::string, Value> watched{
        {"http://www.example.org/news", {REG_BINARY, Bytes(12, 0)}}};
    EXPECT_EQ(Values(EventPath("Example site") + "\\WatchedUrls"), watched);
}

TEST_F(WizardUiTest, LumettaWizard) {
    {
        std::ofstream out("lumetta.wiz", std::ios::binary);
        out << "+News\n\"Headlines\" \"http://news/\" \"news.flt\" \"Head\" \"Text\"\n"
            << "+Weather\n\"Weather\" \"http://weather/map\" \"map.flt\" \"Map\" \"Graphic\"\n";
    }
    CLumettaWizard m;
    Show(MakeLumettaPages(m, nullptr), "lumetta");
    Type(1019, "Forecast");
    Type(1024, "The weather map");
    Shot();
    Press(QWizard::NextButton);

    auto* tree = Control<QTreeWidget>(1045);
    ASSERT_TRUE(tree);
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    EXPECT_EQ(tree->topLevelItem(1)->text(0), "Weather");
    QTreeWidgetItem* weather = tree->topLevelItem(1)->child(0);
    ASSERT_TRUE(weather);
    EXPECT_TRUE(tree->selectedItems().isEmpty());
    // Typing an address of one's own drops the site chosen before; choosing a site again
    // shows its values in the edits.
    tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    EXPECT_EQ(Control<QLineEdit>(1201)->text(), "http://news/");
    Control<QLineEdit>(1201)->clear();
    Type(1201, "http://own.example.org/");
    EXPECT_TRUE(tree->selectedItems().isEmpty());
    // A typed script beside a plain address would never run: the user is told how to write it.
    Press(QWizard::NextButton);
    EXPECT_EQ(wizard_->currentId(), 1);
    ASSERT_FALSE(prompt_->shown.empty());
    EXPECT_NE(prompt_->shown.back().text.find("variable@address"), std::string::npos);
    Control<QLineEdit>(1201)->clear();
    Type(1201, "story@http://own.example.org/");
    Press(QWizard::NextButton);
    EXPECT_EQ(m.b.url, "story@http://own.example.org/");
    EXPECT_EQ(m.b.filterFile, "news.flt") << "what the edits show is what is stored";
    Press(QWizard::BackButton);
    tree->setCurrentItem(weather);
    EXPECT_EQ(Control<QLineEdit>(1201)->text(), "http://weather/map");
    EXPECT_EQ(Control<QLineEdit>(1202)->text(), "map.flt");
    Shot();
    Press(QWizard::NextButton);

    EXPECT_FALSE(FinishOn());
    EXPECT_TRUE(Enabled(QWizard::BackButton));
    ChooseSchedule("Daily");
    EXPECT_TRUE(FinishOn());
    Shot();
    Press(QWizard::FinishButton);
    ASSERT_TRUE(commands_->CreateEvent(m.Record()));

    std::map<std::string, Value> expected{{"ScheduledEvent", Sz("Daily")},
                                          {"Description", Sz("The weather map")},
                                          {"Type", Dw(5)},
                                          {"Enabled", Dw(1)},
                                          {"Log", Dw(0)},
                                          {"OnTop", Dw(0)},
                                          {"Paused", Dw(0)},
                                          {"RefreshRate", Dw(10)},
                                          {"ScrollSpeed", Dw(2)},
                                          {"FontSize", Dw(1)},
                                          {"ScrollType", Dw(1)},
                                          {"Zoom", Dw(100)}};
    EXPECT_EQ(Values(EventPath("Forecast")), expected);
    auto doc = Values(EventPath("Forecast") + "\\0000");
    ASSERT_EQ(doc.size(), 4u);
    EXPECT_EQ(doc["Url"], Sz("http://weather/map"));
    EXPECT_EQ(doc["FilterFile"], Sz("map.flt"));
    EXPECT_EQ(doc["Filter"], Sz("Map"));
    ASSERT_EQ(doc["DocFile"].first, DWORD{REG_SZ});
    std::string docFile(doc["DocFile"].second.begin(), doc["DocFile"].second.end() - 1);
    EXPECT_EQ(std::filesystem::path(docFile).filename().string().rfind("KV1", 0), 0u) << docFile;
    EXPECT_TRUE(std::filesystem::is_regular_file(docFile));
    EXPECT_EQ(std::filesystem::file_size(docFile), 0u);
    std::filesystem::remove(docFile);
    EXPECT_TRUE(shell_->calls.empty()) << "a Lumetta display starts no companion";
}

TEST_F(WizardUiTest, CancelWritesNothing) {
    std::optional<WebMonitorRecord> result = WebMonitorRecord{};
    QTimer::singleShot(0, [] {
        auto* wizard = qobject_cast<QWizard*>(QApplication::activeModalWidget());
        ASSERT_TRUE(wizard);
        auto* name = wizard->currentPage()->findChild<QLineEdit*>("c1083");
        QTest::keyClicks(name, "Half made");
        QTest::mouseClick(wizard->button(QWizard::CancelButton), Qt::LeftButton);
    });
    result = RunWebWizard(nullptr);
    EXPECT_FALSE(result.has_value());
    EXPECT_FALSE(Exists("Half made"));
}

// The page widgets work outside a wizard too, filled from a stored event.
TEST_F(WizardUiTest, PagesFilledFromARecordKeepTheNameAndTheSchedule) {
    CWebWizard m;
    m.FromRecord(WebMonitorRecord{"Site", "d", "example.org", 1, 0, "Daily", "a@b", 1, 1});
    auto pages = MakeWebPages(m, nullptr);
    std::vector<std::unique_ptr<CWizardPageView>> owned(pages.begin(), pages.end());
    auto* name = pages[0]->findChild<QLineEdit*>("c1083");
    ASSERT_TRUE(name);
    EXPECT_TRUE(name->isReadOnly());
    EXPECT_EQ(name->text(), "Site");
    pages[2]->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(pages[2]));
    auto* combo = pages[2]->findChild<QComboBox*>("c1108");
    EXPECT_EQ(combo->currentText(), "Daily");
    EXPECT_TRUE(pages[2]->findChild<QLineEdit*>("c1111")->isEnabled());
    EXPECT_TRUE(pages[2]->isComplete());
}

}  // namespace

#include <sys/stat.h>

#include <fstream>

#include "app/Application.h"
#include "app/MainCommands.h"
#include "app/SettingsStore.h"
#include "fakes/RecordingShell.h"
#include "fixtures/Fixtures.h"
#include "platform/Shell.h"

namespace {

using namespace settings;

class EventListTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        shell_ = std::make_shared<RecordingShell>();
        Shell::Install(shell_);
        app_ = std::make_unique<CApplication>(nullptr);
        commands_ = std::make_unique<CMainCommands>(*app_);
        Schedule("Daily");
        Schedule("Weekly");
    }
    void TearDown() override {
        commands_.reset();
        app_.reset();
        Shell::Install(nullptr);
        SandboxTest::TearDown();
    }
    void Schedule(const std::string& name) {
        ScheduleRecord r;
        r.name = name;
        ASSERT_TRUE(CreateEventRecord(r));
    }
    void Event(const std::string& name, DWORD kind, const std::string& schedule,
               const std::string& description = {}) {
        AddEvent(name, kind, schedule, description);
    }
    void Choose(const std::string& schedule) {
        CItemList& s = commands_->selector();
        if (s.GetCount() == 0) FillScheduleList(s);
        s.SetCurSel(s.FindStringExact(schedule));
        list().RefreshList();
    }
    CEventList& list() { return commands_->eventList(); }
    std::vector<std::string> Labels() {
        std::vector<std::string> labels;
        for (const auto& r : list().rows()) labels.push_back(r.label);
        return labels;
    }
    std::string ScheduleOf(const std::string& name) {
        RegKey key;
        if (key.Open(RegKey::LocalMachine(), EventPath(name)) != ERROR_SUCCESS) return "(gone)";
        return ReadString(key, kScheduledEvent);
    }

    std::shared_ptr<RecordingShell> shell_;
    std::unique_ptr<CApplication> app_;
    std::unique_ptr<CMainCommands> commands_;
};

TEST_F(EventListTest, ListsTheMonitorsOfTheChosenScheduleOnly) {
    Event("Web", 4, "Daily", "the site");
    Event("Mail", 3, "Daily");
    Event("News", 2, "daily");  // differs in case only: not listed
    Event("Odd", 0, "Daily");   // no kind text, default icon
    Event("Other", 5, "Weekly");
    Event("Sched", 1, "Daily");  // a schedule is never listed
    Choose("Daily");
    EXPECT_EQ(Labels(), (std::vector<std::string>{"Mail", "Odd", "Web"}));
    const auto& rows = list().rows();
    EXPECT_EQ(rows[2].description, "the site");
    EXPECT_EQ(rows[2].kindText, "Web Site Monitor");
    EXPECT_EQ(rows[0].kindText, "Mail Monitor");
    EXPECT_EQ(rows[1].kindText, "");
    EXPECT_EQ(rows[1].kind, 0);

    // A chosen schedule that vanished falls back to "<None>", where its monitors now stand.
    RegKey::LocalMachine().DeleteKey(EventPath("Daily"));
    list().RefreshList();
    EXPECT_EQ(commands_->ChosenSchedule(), "<None>");
    EXPECT_EQ(Labels(), (std::vector<std::string>{"Mail", "News", "Odd", "Web"}));
}

// The window opens on the schedule chosen last, while it exists; else on the next to run.
TEST_F(EventListTest, TheFirstScheduleShownIsTheOneChosenLast) {
    Event("Web", 4, "Weekly");
    commands_->ChooseFirstSchedule();
    const std::string first = commands_->ChosenSchedule();  // the next to run, or "<None>"
    CItemList& s = commands_->selector();
    commands_->ChooseSchedule(s.FindStringExact("Weekly"));
    EXPECT_EQ(Labels(), std::vector<std::string>{"Web"});

    // Next start: the same schedule, whatever runs next.
    commands_ = std::make_unique<CMainCommands>(*app_);
    commands_->ChooseFirstSchedule();
    EXPECT_EQ(commands_->ChosenSchedule(), "Weekly");
    EXPECT_EQ(Labels(), std::vector<std::string>{"Web"});

    // Gone: back to the rule of the next to run.
    RegKey::LocalMachine().DeleteKey(EventPath("Weekly"));
    commands_ = std::make_unique<CMainCommands>(*app_);
    commands_->ChooseFirstSchedule();
    EXPECT_NE(commands_->ChosenSchedule(), "Weekly");
    EXPECT_FALSE(first.empty());
}

TEST_F(EventListTest, DeleteAsksAndNeedsASelection) {
    Event("Web", 4, "Daily");
    Choose("Daily");
    list().DeleteSelected();  // nothing selected
    EXPECT_TRUE(prompt_->shown.empty());

    list().Select(0);
    prompt_->answers = {UserPrompt::IdNo};
    list().DeleteSelected();
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Are you sure you want to delete Web?");
    EXPECT_EQ(ScheduleOf("Web"), "Daily");

    prompt_->answers = {UserPrompt::IdYes};
    list().DeleteSelected();
    EXPECT_EQ(ScheduleOf("Web"), "(gone)");
    EXPECT_TRUE(Labels().empty());
}

TEST_F(EventListTest, DeleteActsOnTheWholeNameHoweverManyBytesItTakes) {
    std::string han = "\xe6\xbc\xa2";  // one CJK character, three bytes
    std::string long86, long85, accents;
    for (int i = 0; i < 85; ++i) long85 += han;
    long86 = long85 + han;
    for (int i = 0; i < 255; ++i) accents += "\xc3\xa9";
    Event(long86, 4, "Daily");
    Event(long85, 3, "Daily");
    Event(accents, 2, "Daily");
    Choose("Daily");
    ASSERT_EQ(Labels().size(), 3u);

    for (const std::string& name : {long86, accents}) {
        list().SelectName(name);
        ASSERT_TRUE(list().HasSelection());
        prompt_->answers = {UserPrompt::IdYes};
        list().DeleteSelected();
        EXPECT_EQ(prompt_->shown.back().text, "Are you sure you want to delete " + name + "?");
        EXPECT_EQ(ScheduleOf(name), "(gone)");
    }
    EXPECT_EQ(ScheduleOf(long85), "Daily");
    EXPECT_EQ(Labels(), std::vector<std::string>{long85});
}

TEST_F(EventListTest, ARefusedRenameRefillsTheRowAndCommandsKeepToItsRecord) {
    Event("Web", 4, "Daily");
    Event("Mail", 3, "Daily");
    Choose("Daily");
    list().Select(1);  // Web
    list().RenameSelected("mail");
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Can not rename the event Web try another name");
    // The row shows the record again, still selected: the refused text names another
    // record, and Delete on this row must not reach that one.
    EXPECT_EQ(Labels(), (std::vector<std::string>{"Mail", "Web"}));
    ASSERT_EQ(list().selected(), 1);
    prompt_->answers = {UserPrompt::IdYes};
    list().DeleteSelected();
    EXPECT_EQ(prompt_->shown.back().text, "Are you sure you want to delete Web?");
    EXPECT_EQ(ScheduleOf("Web"), "(gone)");
    EXPECT_EQ(ScheduleOf("Mail"), "Daily");
    EXPECT_EQ(Labels(), std::vector<std::string>{"Mail"});
    Event("Web", 4, "Daily");
    list().RefreshList();
    prompt_->shown.clear();

    list().Select(1);
    list().RenameSelected("Site", true);  // cancelled
    EXPECT_EQ(Labels(), (std::vector<std::string>{"Mail", "Web"}));
    list().Select(1);
    list().RenameSelected("Site");
    EXPECT_EQ(Labels(), (std::vector<std::string>{"Mail", "Site"}));
    EXPECT_EQ(ScheduleOf("Site"), "Daily");
    EXPECT_EQ(ScheduleOf("Web"), "(gone)");
}

TEST_F(EventListTest, NamesThatCannotBeKeysAreRefusedWithAMessage) {
    Event("Web", 4, "Daily");
    Choose("Daily");
    // A backslash would make the name a path of keys and the record would vanish from
    // every list; an empty name would be the settings root itself.
    for (const std::string& text : {std::string("a\\b"), std::string("\\"), std::string()}) {
        SCOPED_TRACE(text);
        prompt_->shown.clear();
        list().SelectName("Web");
        list().RenameSelected(text);
        ASSERT_EQ(prompt_->shown.size(), 1u);
        EXPECT_EQ(prompt_->shown[0].text.rfind("Can not rename the event Web, ", 0), 0u)
            << prompt_->shown[0].text;
        EXPECT_EQ(prompt_->shown[0].icon, UserPrompt::Exclamation);
        EXPECT_EQ(ScheduleOf("Web"), "Daily");
        EXPECT_EQ(Labels(), std::vector<std::string>{"Web"});
    }
    RegKey probe;
    EXPECT_NE(probe.Open(RegKey::LocalMachine(), EventPath("a")), ERROR_SUCCESS);

    prompt_->shown.clear();
    EXPECT_FALSE(RenameSchedule("Daily", "Week\\ly"));
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text.rfind("Can not rename the schedule, Daily, ", 0), 0u)
        << prompt_->shown[0].text;
    EXPECT_EQ(ScheduleOf("Web"), "Daily");
    EXPECT_NE(probe.Open(RegKey::LocalMachine(), EventPath("Week")), ERROR_SUCCESS);

    // Records made from a user's text are refused the same way: nothing is written.
    ScheduleRecord schedule;
    schedule.name = "x\\y";
    EXPECT_FALSE(CreateEventRecord(schedule));
    WebMonitorRecord web;
    web.name = "x\\y";
    EXPECT_FALSE(CreateEventRecord(web));
    web.name = "";
    EXPECT_FALSE(CreateEventRecord(web));
    EXPECT_NE(probe.Open(RegKey::LocalMachine(), EventPath("x")), ERROR_SUCCESS);

    // A copy's numbered name that the store cannot take is told, not dropped silently.
    std::string longest(255, 'n');
    Event(longest, 4, "Daily");
    list().RefreshList();
    list().SelectName(longest);
    list().Copy();
    prompt_->shown.clear();
    list().Paste();
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text.rfind("Can not paste " + longest, 0), 0u);
    EXPECT_EQ(Labels().size(), 2u);
}

TEST_F(EventListTest, TheNamesThatMeanNoScheduleCannotBeGivenToASchedule) {
    Event("Loose", 4, "<None>");
    Event("Orphan", 4, "<None");
    Event("Web", 4, "Daily");
    for (const std::string name : {"<None>", "<None", "<none>"}) {
        SCOPED_TRACE(name);
        prompt_->shown.clear();
        EXPECT_FALSE(RenameSchedule("Daily", name));
        ASSERT_EQ(prompt_->shown.size(), 1u);
        EXPECT_EQ(prompt_->shown[0].text.rfind("Can not rename the schedule, Daily, ", 0), 0u)
            << prompt_->shown[0].text;
        ScheduleRecord r;
        r.name = name;
        EXPECT_FALSE(CreateEventRecord(r));
    }
    EXPECT_EQ(ScheduleOf("Web"), "Daily");
    EXPECT_EQ(ScheduleOf("Loose"), "<None>");
    EXPECT_EQ(ScheduleOf("Orphan"), "<None");
    RegKey probe;
    EXPECT_NE(probe.Open(RegKey::LocalMachine(), EventPath("<None>")), ERROR_SUCCESS);
    EXPECT_NE(probe.Open(RegKey::LocalMachine(), EventPath("<None")), ERROR_SUCCESS);
}

TEST_F(EventListTest, CopyPasteMakesNumberedCopiesAndCutPasteMoves) {
    Event("News", 2, "Daily", "groups");
    Choose("Daily");
    EXPECT_FALSE(list().PasteEnabled());
    list().Select(0);
    list().Copy();
    EXPECT_TRUE(list().PasteEnabled());
    list().Paste();
    list().Paste();
    EXPECT_EQ(Labels(), (std::vector<std::string>{"News", "News(0)", "News(1)"}));
    RegKey copy;
    copy.Open(RegKey::LocalMachine(), EventPath("News(1)"));
    EXPECT_EQ(ReadString(copy, kDescription), "groups");

    // Cut in one schedule, paste in another: same name, new schedule.
    list().Select(0);
    list().Cut();
    EXPECT_TRUE(list().cutPending());
    EXPECT_EQ(list().cutRow(), 0);
    Choose("Weekly");
    list().Paste();
    EXPECT_EQ(Labels(), std::vector<std::string>{"News"});
    EXPECT_EQ(ScheduleOf("News"), "Weekly");
    EXPECT_FALSE(list().cutPending());
    EXPECT_EQ(list().clipboardName(), "News") << "a second paste makes a copy";

    // A clipboard record that vanished: nothing is created, the user is told.
    RegKey::LocalMachine().DeleteKey(EventPath("News"));
    list().Paste();
    EXPECT_EQ(prompt_->shown.size(), 1u);
    RegKey probe;
    EXPECT_NE(probe.Open(RegKey::LocalMachine(), EventPath("News(2)")), ERROR_SUCCESS);
    EXPECT_FALSE(list().PasteEnabled());
}

TEST_F(EventListTest, CommandsAndPopupFollowTheSelectionAndTheSchedule) {
    Event("Web", 4, "Daily");
    Choose("<None>");
    for (int item : {kPopupDeleteSchedule, kPopupModifySchedule, kPopupRenameSchedule,
                     kPopupRunSchedule, kPopupModifyEvent, kPopupPaste})
        EXPECT_FALSE(commands_->PopupEnabled(item)) << item;
    EXPECT_FALSE(commands_->ScheduleChosen());
    EXPECT_FALSE(commands_->RunNowEnabled());

    Choose("Daily");
    EXPECT_TRUE(commands_->ScheduleChosen());
    EXPECT_TRUE(commands_->PopupEnabled(kPopupRunSchedule));
    EXPECT_FALSE(commands_->PopupEnabled(kPopupCopy));
    list().Select(0);
    for (int item : {kPopupModifyEvent, kPopupDelete, kPopupCopy, kPopupCut, kPopupRename})
        EXPECT_TRUE(commands_->PopupEnabled(item)) << item;

    commands_->RunNow();
    EXPECT_TRUE(app_->runWindow().running());
    EXPECT_FALSE(commands_->PopupEnabled(kPopupRunSchedule)) << "greyed while a run goes on";
    EXPECT_TRUE(commands_->PopupEnabled(kPopupDeleteSchedule));
    waitFor([&] { return !app_->runWindow().running(); });
}

TEST_F(EventListTest, CompanionsAndTheBrowserGetArgumentVectors) {
    Event("My site; rm -rf ~", 4, "Daily");
    Choose("Daily");
    list().Select(0);
    // Without companion programs (as usual here) Modify asks for the program's own pages.
    std::vector<std::string> edits;
    QObject::connect(commands_.get(), &CMainCommands::editRequested,
                     [&](const std::string& event) { edits.push_back(event); });
    list().ModifySelected();
    commands_->ModifySchedule();
    EXPECT_EQ(edits, (std::vector<std::string>{"My site; rm -rf ~", "Daily"}));
    EXPECT_TRUE(shell_->calls.empty());
    for (const char* program : {"quorvane-webwatch", "quorvane-schedule"}) {
        std::ofstream(Path(program)) << "#!/bin/sh\n";
        ::chmod(Path(program).c_str(), 0755);
    }
    list().ModifySelected();
    commands_->ModifySchedule();
    EXPECT_EQ(edits.size(), 2u) << "an installed companion is started instead";
    LaunchCompanion("  http://example.org/a b  ", 11);
    Root().SetString(kWebBrowser, "/usr/bin/firefox");
    LaunchCompanion("http://example.org/", 11);
    Root().SetDword(kAutoStartLM, 0);
    commands_->AutoStartLumetta();
    Root().DeleteValue(kAutoStartLM);
    commands_->AutoStartLumetta();
    EXPECT_EQ(shell_->calls,
              (std::vector<std::string>{
                  "start ./quorvane-webwatch [My site; rm -rf ~]",
                  "start ./quorvane-schedule [Daily]", "open http://example.org/a b",
                  "start /usr/bin/firefox [http://example.org/]", "start ./lumetta"}));
}

TEST_F(EventListTest, ScheduleCommandsRenameDeleteAndExit) {
    Event("Web", 4, "Daily");
    Choose("Daily");
    commands_->RenameSchedule("");
    commands_->RenameSchedule("Nightly");
    EXPECT_EQ(commands_->ChosenSchedule(), "Nightly");
    EXPECT_EQ(Labels(), std::vector<std::string>{"Web"});
    EXPECT_EQ(ScheduleOf("Web"), "Nightly");

    Event("Mail", 3, "Nightly");
    prompt_->answers = {UserPrompt::IdYes};
    commands_->DeleteSchedule();
    EXPECT_NE(prompt_->shown.back().text.find("Its 2 monitors will wait under <None>"),
              std::string::npos)
        << prompt_->shown.back().text;
    EXPECT_EQ(ScheduleOf("Web"), "<None");
    EXPECT_EQ(commands_->ChosenSchedule(), "<None>");
    // They wait under "<None>", with those of no schedule and those naming one that is not
    // there (by case too); never those of a schedule that is.
    Event("Loose", 4, "<None>");
    Event("Lost", 2, "Gone");
    Event("Cased", 2, "weekly");
    Event("Kept", 2, "Weekly");
    Choose("<None>");
    EXPECT_EQ(Labels(), (std::vector<std::string>{"Cased", "Loose", "Lost", "Mail", "Web"}));

    prompt_->answers = {UserPrompt::IdNo, UserPrompt::IdYes};
    EXPECT_FALSE(commands_->ConfirmExit());
    EXPECT_TRUE(commands_->ConfirmExit());
    EXPECT_EQ(prompt_->shown.back().text, "Are you sure you want to exit now?");
}

}  // namespace

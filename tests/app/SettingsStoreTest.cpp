#include <unistd.h>

#include <tuple>

#include "app/ItemList.h"
#include "app/SettingsStore.h"
#include "fixtures/Fixtures.h"

namespace {

using namespace settings;

class SettingsStoreTest : public SandboxTest {
protected:
    void AddSchedule(const std::string& name) {
        ScheduleRecord r;
        r.name = name;
        ASSERT_TRUE(CreateEventRecord(r));
    }
    void AddMonitor(const std::string& name, const std::string& schedule, DWORD kind = 4) {
        AddEvent(name, kind, schedule);
    }
    std::string ScheduledEventOf(const std::string& name) {
        RegKey key;
        EXPECT_EQ(key.Open(RegKey::LocalMachine(), EventPath(name)), ERROR_SUCCESS);
        return ReadString(key, kScheduledEvent);
    }
    static std::vector<std::pair<std::string, int64_t>> Items(const CItemList& list) {
        std::vector<std::pair<std::string, int64_t>> items;
        for (int i = 0; i < list.GetCount(); ++i)
            items.emplace_back(list.GetText(i), list.GetItemData(i));
        return items;
    }
    static std::vector<std::string> ValueNamesOf(const std::string& path) {
        RegKey key;
        EXPECT_EQ(key.Open(RegKey::LocalMachine(), path), ERROR_SUCCESS);
        std::vector<std::string> names;
        std::string name;
        DWORD type;
        Bytes data;
        for (DWORD i = 0; key.EnumValue(i, &name, &type, &data) == ERROR_SUCCESS; ++i)
            names.push_back(name);
        return names;
    }
    static bool Exists(const std::string& path) {
        RegKey key;
        return key.Open(RegKey::LocalMachine(), path) == ERROR_SUCCESS;
    }
};

TEST_F(SettingsStoreTest, RootStringsUseA252ByteBuffer) {
    std::string text = "stale";
    EXPECT_FALSE(ReadRootString(kSmtpServer, text)) << "no settings root yet";
    EXPECT_EQ(text, "");

    RegKey root = Root();
    root.SetString(kSmtpServer, "mail.example.org");
    root.SetString(kMyName, std::string(251, 'n'));
    root.SetString(kHostName, std::string(252, 'h'));
    EXPECT_TRUE(GetSmtpServer(text));
    EXPECT_EQ(text, "mail.example.org");
    EXPECT_TRUE(GetMyName(text));
    EXPECT_EQ(text.size(), 251u);
    text = "stale";
    EXPECT_TRUE(GetHostName(text)) << "the root opened, so the read counts as done";
    EXPECT_EQ(text, "") << "252 characters and the NUL do not fit 252 bytes";
    EXPECT_TRUE(GetNewsServer(text));
    EXPECT_EQ(text, "");

    // Flags and numbers: an unreadable value keeps the default; only 1 is set.
    root.SetString(kDisplayMesg, "1");
    EXPECT_EQ(ReadRootDword(kDisplayMesg, 0), 0u);
    root.SetDword(kUseProxy, 2);
    EXPECT_FALSE(IsSet(root, kUseProxy));
}

TEST_F(SettingsStoreTest, ARunReadsTheRootOnceAndStillSeesItsOwnChanges) {
    RegKey root = Root();
    root.SetString(kSmtpServer, "one.example.org");
    root.SetDword(kUseProxy, 1);
    std::string error;
    auto other = Registry::Open(store_->Path(), &error);  // another program on the same file
    ASSERT_TRUE(other) << error;
    auto otherWrites = [&](const char* server) {
        Registry::SetCurrent(other);
        RegKey key;
        ASSERT_EQ(key.Open(RegKey::LocalMachine(), kRoot), ERROR_SUCCESS);
        key.SetString(kSmtpServer, server);
        Registry::SetCurrent(store_);
    };
    std::string text;
    {
        RootSettingsScope run;
        ASSERT_TRUE(GetSmtpServer(text));
        EXPECT_EQ(text, "one.example.org");
        EXPECT_EQ(ReadRootDword(kUseProxy, 0), 1u);
        otherWrites("two.example.org");
        ASSERT_TRUE(GetSmtpServer(text));
        EXPECT_EQ(text, "one.example.org") << "a run keeps what it read";
        {
            RootSettingsScope nested;
            EXPECT_EQ(ReadRootDword(kUseProxy, 0), 1u);
        }
        ASSERT_TRUE(GetSmtpServer(text));
        EXPECT_EQ(text, "one.example.org") << "a nested scope ending keeps the outer one";
        // What this program changes is seen at once, and everything is read anew.
        root.SetDword(kUseProxy, 0);
        EXPECT_EQ(ReadRootDword(kUseProxy, 0), 0u);
        ASSERT_TRUE(GetSmtpServer(text));
        EXPECT_EQ(text, "two.example.org");
        otherWrites("three.example.org");
    }
    ASSERT_TRUE(GetSmtpServer(text));
    EXPECT_EQ(text, "three.example.org") << "outside a run every read goes to the store";
}

TEST_F(SettingsStoreTest, ScheduleListHasNoneThenSchedulesInEnumerationOrder) {
    CItemList list;
    EXPECT_EQ(FillScheduleList(list), 0);
    AddSchedule("Morning");
    AddSchedule("evening");
    AddMonitor("Watch", "Morning");
    AddSchedule("Daily");
    list.AddString("left over");
    EXPECT_EQ(FillScheduleList(list), 3);
    EXPECT_EQ(Items(list), (std::vector<std::pair<std::string, int64_t>>{
                               {"<None>", 0}, {"Daily", 1}, {"evening", 1}, {"Morning", 1}}));
}

TEST_F(SettingsStoreTest, MonitorListsMatchTheScheduleNameExactly) {
    AddSchedule("Daily");
    AddMonitor("Web", "Daily", 4);
    AddMonitor("Mail", "Daily", 3);
    AddMonitor("Other case", "daily", 4);
    AddMonitor("Unassigned", "<None>", 4);
    AddMonitor("Orphan", "<None", 2);
    AddMonitor("Lost", "Deleted schedule", 2);
    {
        RegKey noType;
        noType.Create(RegKey::LocalMachine(), EventPath("No type"), kEventClass);
        noType.SetString(kScheduledEvent, "Daily");
    }
    CItemList list;
    ListScheduleMonitors("Daily", list);
    EXPECT_EQ(Items(list), (std::vector<std::pair<std::string, int64_t>>{
                               {"Mail", 3}, {"No type", 0}, {"Web", 4}}));

    for (const char* none : {"<None>", "<None"}) {
        ListScheduleMonitors(none, list);
        EXPECT_EQ(list.GetCount(), 1) << none;  // only the monitor stored with that very text
    }

    // Without a settings root the list is left as it was.
    RegKey::LocalMachine().DeleteKey(kRoot);
    list.ResetContent();
    list.AddString("kept");
    ListScheduleMonitors("Daily", list);
    EXPECT_EQ(list.GetCount(), 1);
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

// Names are limited in characters, and a character takes up to four bytes: a name long in
// bytes must neither hide the events listed after it nor lose its monitors.
TEST_F(SettingsStoreTest, NamesLongInBytesAreReadLikeAnyOther) {
    const std::string cjk = Repeat("漢", 86);                   // 258 bytes
    const std::string emoji = Repeat("\xF0\x9F\x98\x80", 255);  // 1020 bytes
    AddSchedule("Alpha");
    AddSchedule(cjk);
    AddSchedule(emoji);
    AddSchedule("한국");  // listed after the CJK name
    AddMonitor("Web", cjk, 4);
    AddMonitor("Mail", emoji, 3);
    AddMonitor("Later", "한국", 2);

    CItemList list;
    EXPECT_EQ(FillScheduleList(list), 4);
    EXPECT_EQ(Items(list), (std::vector<std::pair<std::string, int64_t>>{
                               {"<None>", 0}, {"Alpha", 1}, {cjk, 1}, {"한국", 1}, {emoji, 1}}));
    ListScheduleMonitors(cjk, list);
    EXPECT_EQ(Items(list), (std::vector<std::pair<std::string, int64_t>>{{"Web", 4}}));
    ListScheduleMonitors(emoji, list);
    EXPECT_EQ(Items(list), (std::vector<std::pair<std::string, int64_t>>{{"Mail", 3}}));
    ListScheduleMonitors("한국", list);
    EXPECT_EQ(Items(list), (std::vector<std::pair<std::string, int64_t>>{{"Later", 2}}));

    // Renaming and deleting reach the monitors of such a schedule too.
    EXPECT_TRUE(RenameSchedule(cjk, "Beta"));
    EXPECT_EQ(ScheduledEventOf("Web"), "Beta");
    DeleteSchedule(emoji);
    EXPECT_EQ(ScheduledEventOf("Mail"), kDeletedSchedule);
}

TEST_F(SettingsStoreTest, CopyKeyTreeCopiesValuesAndSubkeysIntoANewKeyOnly) {
    RegKey src;
    ASSERT_EQ(src.Create(RegKey::LocalMachine(), EventPath("Site"), kEventClass), ERROR_SUCCESS);
    src.SetDword(kType, 4);
    src.SetString("Fits", std::string(255, 'f'));
    src.SetString("First", "1");
    src.SetValue("Big", REG_BINARY, Bytes(70000, 7));  // a long value stops nothing
    src.SetString("After", "copied too");
    RegKey watched;
    watched.Create(src, "WatchedUrls", kEventClass);
    watched.SetValue("http://a/", REG_BINARY, Bytes(12, 1));
    RegKey deeper;
    deeper.Create(watched, "Deeper", kEventClass);
    deeper.SetDword("x", 5);

    EXPECT_EQ(CopyKeyTree(EventPath("Site"), EventPath("Copy")), 0);
    EXPECT_EQ(ValueNamesOf(EventPath("Copy")),
              (std::vector<std::string>{"Type", "Fits", "First", "Big", "After"}));
    EXPECT_EQ(ValueNamesOf(EventPath("Copy") + "\\WatchedUrls"),
              std::vector<std::string>{"http://a/"});
    EXPECT_EQ(ValueNamesOf(EventPath("Copy") + "\\WatchedUrls\\Deeper"),
              std::vector<std::string>{"x"});
    RegKey copy;
    std::string cls;
    copy.Open(RegKey::LocalMachine(), EventPath("Copy"));
    copy.QueryInfo(&cls, nullptr, nullptr);
    EXPECT_EQ(cls, kCopyClass);
    Bytes big;
    ASSERT_EQ(copy.QueryValue("Big", nullptr, &big), ERROR_SUCCESS);
    EXPECT_EQ(big, Bytes(70000, 7));

    // An existing destination is never merged into.
    copy.SetString("Marker", "m");
    EXPECT_EQ(CopyKeyTree(EventPath("Site"), EventPath("COPY")), 1);
    EXPECT_EQ(ReadString(copy, "First"), "1");
    EXPECT_EQ(ReadString(copy, "Marker"), "m");

    // A missing source fails and leaves the new, empty destination.
    EXPECT_NE(CopyKeyTree(EventPath("Nothing"), EventPath("Empty")), 0);
    EXPECT_TRUE(Exists(EventPath("Empty")));
    EXPECT_TRUE(ValueNamesOf(EventPath("Empty")).empty());

    // A copy into the source's own subtree would never end; it is refused.
    EXPECT_NE(CopyKeyTree(EventPath("Site"), EventPath("Site\\Inner")), 0);
    EXPECT_FALSE(Exists(EventPath("Site\\Inner")));
}

TEST_F(SettingsStoreTest, EventRecordsAreWrittenWithTheirValuesInOrder) {
    ScheduleRecord s;
    s.name = "Hourly";
    s.description = "every hour";
    ASSERT_TRUE(CreateEventRecord(s));
    EXPECT_EQ(ValueNamesOf(EventPath("Hourly")),
              (std::vector<std::string>{"Enabled", "Log", "Interval", "Days", "Hours", "PhoneBook",
                                        "Description", "Type", "UpdateTime"}));

    WebMonitorRecord w;
    w.name = "Site";
    w.site = "  www.example.org/  ";
    w.scheduledEvent = "Hourly";
    ASSERT_TRUE(CreateEventRecord(w));
    EXPECT_EQ(ValueNamesOf(EventPath("Site")),
              (std::vector<std::string>{"Description", "Site", "EntireDomain", "Files",
                                        "ScheduledEvent", "NotifyEmailTo", "NotifyViaEmail",
                                        "NotifyViaWindows", "Type", "Enabled", "Log"}));
    RegKey watched;
    ASSERT_EQ(watched.Open(RegKey::LocalMachine(), EventPath("Site") + "\\WatchedUrls"),
              ERROR_SUCCESS);
    Bytes data;
    ASSERT_EQ(watched.QueryValue("http://www.example.org/", nullptr, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, Bytes(12, 0));
    EXPECT_EQ(FirstWatchedUrl("http://x/"), "http://x/");
    EXPECT_EQ(FirstWatchedUrl("HTTP://X/"), "HTTP://X/");
    EXPECT_EQ(FirstWatchedUrl(" https://x/ "), "https://x/");
    EXPECT_EQ(FirstWatchedUrl("HTTPS://X"), "HTTPS://X");
    EXPECT_EQ(FirstWatchedUrl("example.com"), "http://example.com");

    MailMonitorRecord m;
    m.name = "Mail";
    m.copy = true;
    m.copyTo = std::string(300, 'c');
    ASSERT_TRUE(CreateEventRecord(m));
    auto mailValues = ValueNamesOf(EventPath("Mail"));
    // Our own values follow the usual ones; the fax size is absent while it is the default.
    ASSERT_EQ(mailValues.size(), 22u);
    EXPECT_EQ(mailValues.front(), "Description");
    EXPECT_EQ(mailValues[19], "Log");
    EXPECT_EQ(mailValues[20], "PopSecurity");
    EXPECT_EQ(mailValues[21], "SendAttachments");
    RegKey mail;
    mail.Open(RegKey::LocalMachine(), EventPath("Mail"));
    DWORD type = 0;
    ASSERT_EQ(mail.QueryValue("CopyTo", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data.size(), 256u) << "254 characters and two NULs";
    m.copy = false;
    ASSERT_TRUE(CreateEventRecord(m));
    mail.QueryValue("CopyTo", &type, &data);
    EXPECT_EQ(data, (Bytes{0, 0}));

    NewsMonitorRecord n;
    n.name = "News";
    n.newsGroups = {"comp.lang.c++", "alt.test"};
    n.keywords = {};
    ASSERT_TRUE(CreateEventRecord(n));
    RegKey news;
    news.Open(RegKey::LocalMachine(), EventPath("News"));
    EXPECT_EQ(ReadMultiString(news, "NewsGroups"),
              (std::vector<std::string>{"comp.lang.c++", "alt.test"}));
    EXPECT_TRUE(ReadMultiString(news, "Keywords").empty());
    EXPECT_EQ(ReadDword(news, "MaxLines", 9), 0u);
    // Lists are kept within what a reader can take back.
    n.keywords.assign(200, std::string(9, 'k'));
    ASSERT_TRUE(CreateEventRecord(n));
    news.QueryValue("Keywords", &type, &data);
    EXPECT_LE(data.size(), kListBuffer);
    EXPECT_EQ(ReadMultiString(news, "Keywords").size(), 102u);

    LumettaRecord l;
    l.name = "Ticker";
    l.url = "http://news/";
    ASSERT_TRUE(CreateEventRecord(l));
    EXPECT_EQ(ValueNamesOf(EventPath("Ticker")),
              (std::vector<std::string>{"ScheduledEvent", "Description", "Type", "Enabled", "Log",
                                        "OnTop", "Paused", "RefreshRate", "ScrollSpeed", "FontSize",
                                        "ScrollType", "Zoom"}));
    RegKey doc;
    ASSERT_EQ(doc.Open(RegKey::LocalMachine(), EventPath("Ticker") + "\\0000"), ERROR_SUCCESS);
    std::string docFile = ReadString(doc, "DocFile");
    EXPECT_NE(docFile.find("/KV1"), std::string::npos) << docFile;
    EXPECT_EQ(access(docFile.c_str(), F_OK), 0);
    unlink(docFile.c_str());
}

TEST_F(SettingsStoreTest, CreatingOverAnEventOfAnotherKindOverwritesCommonValues) {
    WebMonitorRecord w;
    w.name = "Shared";
    w.site = "example.org";
    ASSERT_TRUE(CreateEventRecord(w));
    ScheduleRecord s;
    s.name = "shared";
    s.description = "now a schedule";
    ASSERT_TRUE(CreateEventRecord(s));

    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Shared")), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(key, kType, 0), static_cast<DWORD>(kSchedule));
    EXPECT_EQ(ReadString(key, kDescription), "now a schedule");
    EXPECT_EQ(ReadString(key, "Site"), "example.org") << "values not written stay";
    std::string name;
    key.QueryName(&name);
    EXPECT_EQ(name, "Shared");
}

TEST_F(SettingsStoreTest, RenamingAScheduleMovesItAndItsMonitors) {
    AddSchedule("Daily");
    AddSchedule("Weekly");
    AddMonitor("Web", "Daily");
    AddMonitor("Web2", "daily");

    // Same name, same case: nothing happens.
    EXPECT_TRUE(RenameSchedule("Daily", "Daily"));
    EXPECT_TRUE(prompt_->shown.empty());

    // A taken name: both keys stay, the message names the old one.
    EXPECT_FALSE(RenameSchedule("Daily", "Weekly"));
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Can not rename the schedule, Daily try another name");
    EXPECT_EQ(prompt_->shown[0].icon, UserPrompt::Exclamation);
    EXPECT_TRUE(Exists(EventPath("Daily")));
    EXPECT_EQ(ScheduledEventOf("Web"), "Daily");

    // Only a change of case: the key exists, so the copy fails.
    EXPECT_FALSE(RenameSchedule("Daily", "DAILY"));
    EXPECT_EQ(prompt_->shown.size(), 2u);

    EXPECT_TRUE(RenameSchedule("Daily", "Nightly"));
    EXPECT_FALSE(Exists(EventPath("Daily")));
    EXPECT_TRUE(Exists(EventPath("Nightly")));
    EXPECT_EQ(ScheduledEventOf("Web"), "Nightly");
    EXPECT_EQ(ScheduledEventOf("Web2"), "daily") << "references match case-sensitively";
}

TEST_F(SettingsStoreTest, DeletingAScheduleAsksFirstAndOrphansOnlyExactMatches) {
    AddSchedule("Daily");
    AddMonitor("Web", "Daily");
    AddMonitor("Other", "DAILY");

    prompt_->answers = {UserPrompt::IdNo};
    EXPECT_FALSE(ConfirmAndDeleteSchedule("Daily"));
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text,
              "Are you sure you want to delete the schedule Daily?\n\nIts monitor Web will wait "
              "under <None>, where it can be given another schedule or deleted.");
    EXPECT_EQ(prompt_->shown[0].buttons, UserPrompt::YesNo);
    EXPECT_TRUE(Exists(EventPath("Daily")));

    prompt_->answers = {UserPrompt::IdYes};
    EXPECT_TRUE(ConfirmAndDeleteSchedule("Daily"));
    EXPECT_FALSE(Exists(EventPath("Daily")));
    EXPECT_EQ(ScheduledEventOf("Web"), "<None");
    EXPECT_EQ(ScheduledEventOf("Other"), "DAILY");
    EXPECT_TRUE(Exists(EventPath("Web"))) << "monitors are not deleted";
}

}  // namespace

namespace {

TEST_F(SettingsStoreTest, NewEventNamesAreRefusedWhenTakenInAnyCaseOrTooLong) {
    AddSchedule("Daily");
    AddMonitor("Straße watch", "Daily");
    EXPECT_NE(NewEventNameProblem("DAILY", false), "") << "would overwrite the schedule";
    // The store folds one character to one, so this name is another.
    EXPECT_EQ(NewEventNameProblem("STRASSE WATCH", false), "");
    EXPECT_NE(NewEventNameProblem("STRAßE WATCH", false), "");
    EXPECT_NE(NewEventNameProblem("a\\b", false), "");
    EXPECT_NE(NewEventNameProblem("<none>", true), "");
    EXPECT_EQ(NewEventNameProblem(std::string(255, 'x'), false), "");
    EXPECT_NE(NewEventNameProblem(std::string(256, 'x'), false), "");
    std::string cjk;
    for (int i = 0; i < 255; ++i) cjk += "\xE6\x97\xA5";  // 765 bytes, 255 characters
    EXPECT_EQ(NewEventNameProblem(cjk, false), "");
    EXPECT_NE(NewEventNameProblem(cjk + "x", false), "");
}

TEST_F(SettingsStoreTest, EditingWritesOnlyWhatChangedAndKeepsTheMonitorsState) {
    MailMonitorRecord m;
    m.name = "Mail";
    m.popHost = "pop.example.org";
    m.popPassword = "secret";
    m.copy = true;
    m.copyTo = "copy@example.org";
    m.scheduledEvent = "Daily";
    ASSERT_TRUE(CreateEventRecord(m));
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Mail")), ERROR_SUCCESS);
    key.SetString(kPagedIds, "<a@b> <c@d> ");
    key.SetString(kPopUserName, std::string(5000, 'u'));  // longer than any editor reads

    MailMonitorRecord before;
    ASSERT_TRUE(ReadEventRecord("Mail", before));
    EXPECT_EQ(before.popHost, "pop.example.org");
    EXPECT_EQ(before.popPassword, "secret");
    EXPECT_TRUE(before.copy);
    EXPECT_EQ(before.copyTo, "copy@example.org");
    EXPECT_EQ(before.scheduledEvent, "Daily");
    EXPECT_EQ(before.popUserName, "");
    EXPECT_EQ(before.notifyViaWindows, 1u);

    MailMonitorRecord after = before;
    after.popHost = "pop2.example.org";
    after.copy = false;
    ASSERT_TRUE(UpdateEventRecord(before, after));
    EXPECT_EQ(ReadString(key, kPopHost), "pop2.example.org");
    EXPECT_EQ(ReadString(key, kPagedIds), "<a@b> <c@d> ") << "the monitor's state stays";
    EXPECT_EQ(ReadString(key, kPopUserName, 8192), std::string(5000, 'u'))
        << "a value the editor could not show is not overwritten with nothing";
    EXPECT_TRUE(ReadMultiString(key, kCopyTo).empty());

    WebMonitorRecord wrong;
    EXPECT_FALSE(ReadEventRecord("Mail", wrong)) << "another kind";
    EXPECT_FALSE(ReadEventRecord("Missing", wrong));
    wrong.name = "Mail";
    EXPECT_FALSE(UpdateEventRecord(wrong, wrong));
    std::string why;
    EXPECT_EQ(EditableEventKind("Mail", &why), static_cast<DWORD>(kMailMonitor));
    EXPECT_EQ(EditableEventKind("Missing", &why), 0u);
    EXPECT_EQ(why, "there is no event named \"Missing\"");
}

TEST_F(SettingsStoreTest, DialUpSecurityFaxAndCrawlValuesRoundTripAndAreWrittenWhenChanged) {
    auto has = [](const std::string& event, const char* name) {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath(event));
        return key.QueryValue(name, nullptr, nullptr) == ERROR_SUCCESS;
    };
    ScheduleRecord s;
    s.name = "Dialled";
    s.phoneBook = "Mobile";
    s.accountName = "me";
    s.accountPasswd = "pin";
    ASSERT_TRUE(CreateEventRecord(s));
    ScheduleRecord sr;
    ASSERT_TRUE(ReadEventRecord("Dialled", sr));
    EXPECT_EQ(std::tie(sr.phoneBook, sr.accountName, sr.accountPasswd),
              std::tie(s.phoneBook, s.accountName, s.accountPasswd));
    // Another program changes the password meanwhile; an edit that leaves it alone keeps it.
    {
        RegKey key;
        ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Dialled")), ERROR_SUCCESS);
        key.SetString("AccountPasswd", "other");
    }
    ScheduleRecord after = sr;
    after.accountName = "you";
    ASSERT_TRUE(UpdateEventRecord(sr, after));
    ASSERT_TRUE(ReadEventRecord("Dialled", sr));
    EXPECT_EQ(sr.accountName, "you");
    EXPECT_EQ(sr.accountPasswd, "other");

    MailMonitorRecord m;
    m.name = "Box";
    m.popSecurity = 1;
    m.sendAttachments = 1;
    ASSERT_TRUE(CreateEventRecord(m));
    EXPECT_FALSE(has("Box", "MaximumFaxSize")) << "the default is what an absent value means";
    MailMonitorRecord mr;
    ASSERT_TRUE(ReadEventRecord("Box", mr));
    EXPECT_EQ(std::tie(mr.popSecurity, mr.sendAttachments, mr.maximumFaxSize),
              std::make_tuple(DWORD{1}, DWORD{1}, kDefaultMaximumFaxSize));
    MailMonitorRecord changed = mr;
    changed.popSecurity = 2;
    ASSERT_TRUE(UpdateEventRecord(mr, changed));
    EXPECT_FALSE(has("Box", "MaximumFaxSize")) << "left alone, so not written";
    changed.maximumFaxSize = 4096;
    ASSERT_TRUE(UpdateEventRecord(mr, changed));
    ASSERT_TRUE(ReadEventRecord("Box", mr));
    EXPECT_EQ(std::tie(mr.popSecurity, mr.maximumFaxSize), std::make_tuple(DWORD{2}, DWORD{4096}));

    WebMonitorRecord w;
    w.name = "Crawl";
    w.site = "example.org";
    ASSERT_TRUE(CreateEventRecord(w));
    EXPECT_FALSE(has("Crawl", "MaxDocuments"));
    w.name = "Bounded";
    w.maxDocuments = 500;
    ASSERT_TRUE(CreateEventRecord(w));
    WebMonitorRecord wr;
    ASSERT_TRUE(ReadEventRecord("Bounded", wr));
    EXPECT_EQ(wr.maxDocuments, 500u);
    WebMonitorRecord moved = wr;
    moved.description = "changed";
    {
        RegKey key;
        ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Bounded")), ERROR_SUCCESS);
        key.SetDword("MaxDocuments", 7);
    }
    ASSERT_TRUE(UpdateEventRecord(wr, moved));
    ASSERT_TRUE(ReadEventRecord("Bounded", wr));
    EXPECT_EQ(wr.maxDocuments, 7u) << "only what the user changed is written";
}

TEST_F(SettingsStoreTest, EditingTheSiteOfAWebMonitorStartsItsWatchListAfresh) {
    WebMonitorRecord w;
    w.name = "Web";
    w.site = "example.org";
    ASSERT_TRUE(CreateEventRecord(w));
    RegKey watched;
    ASSERT_EQ(watched.Open(RegKey::LocalMachine(), EventPath("Web") + "\\WatchedUrls"),
              ERROR_SUCCESS);
    watched.SetValue("http://example.org/page2", REG_BINARY, Bytes(12, 1));

    WebMonitorRecord before;
    ASSERT_TRUE(ReadEventRecord("Web", before));
    WebMonitorRecord after = before;
    after.description = "new words";
    ASSERT_TRUE(UpdateEventRecord(before, after));
    EXPECT_EQ(ValueNamesOf(EventPath("Web") + "\\WatchedUrls"),
              (std::vector<std::string>{"http://example.org", "http://example.org/page2"}))
        << "the same site keeps what it watches";

    before = after;
    after.site = " other.example.net ";
    ASSERT_TRUE(UpdateEventRecord(before, after));
    EXPECT_EQ(ValueNamesOf(EventPath("Web") + "\\WatchedUrls"),
              std::vector<std::string>{"http://other.example.net"});

    ScheduleRecord s;
    s.name = "Hourly";
    ASSERT_TRUE(CreateEventRecord(s));
    ScheduleRecord sb;
    ASSERT_TRUE(ReadEventRecord("Hourly", sb));
    ScheduleRecord sa = sb;
    sa.interval = 15;
    ASSERT_TRUE(UpdateEventRecord(sb, sa));
    ASSERT_TRUE(ReadEventRecord("Hourly", sb));
    EXPECT_EQ(sb.interval, 15u);
    EXPECT_EQ(sb.hours, 0xFFFFFFu);
}

TEST_F(SettingsStoreTest, EditingALumettaDisplayChangesItsFirstDocument) {
    LumettaRecord l;
    l.name = "Weather";
    l.url = "http://example.org/w";
    l.docFile = Path("doc.html");
    ASSERT_TRUE(CreateEventRecord(l));
    LumettaRecord before;
    ASSERT_TRUE(ReadEventRecord("Weather", before));
    EXPECT_EQ(before.url, "http://example.org/w");
    EXPECT_EQ(before.docFile, Path("doc.html"));
    LumettaRecord after = before;
    after.url = "http://example.org/v";
    after.filter = "Weather";
    ASSERT_TRUE(UpdateEventRecord(before, after));
    RegKey doc;
    ASSERT_EQ(doc.Open(RegKey::LocalMachine(), EventPath("Weather") + "\\0000"), ERROR_SUCCESS);
    EXPECT_EQ(ReadString(doc, kUrl), "http://example.org/v");
    EXPECT_EQ(ReadString(doc, kFilter), "Weather");
    EXPECT_EQ(ReadString(doc, kDocFile), Path("doc.html"));
}

}  // namespace

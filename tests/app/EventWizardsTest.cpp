#include "app/EventWizards.h"

#include <fstream>
#include <tuple>

#include "app/Application.h"
#include "app/MainCommands.h"
#include "fakes/RecordingShell.h"
#include "fixtures/Fixtures.h"
#include "platform/Shell.h"

namespace {

using namespace settings;

class EventWizardsTest : public SandboxTest {
protected:
    void Schedule(const std::string& name) {
        ScheduleRecord r;
        r.name = name;
        ASSERT_TRUE(CreateEventRecord(r));
    }
    static std::string StoredString(const std::string& event, const char* name) {
        RegKey key;
        EXPECT_EQ(key.Open(RegKey::LocalMachine(), EventPath(event)), ERROR_SUCCESS);
        return ReadString(key, name);  // as the monitors read it
    }
    // A text of n characters of b bytes each.
    static std::string Wide(size_t n, size_t bytes) {
        static const char* forms[] = {"", "a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
        std::string s;
        for (size_t i = 0; i < n; ++i) s += forms[bytes];
        return s;
    }
};

TEST_F(EventWizardsTest, NamePageNeedsBothTextsAndRefusesNamesTheStoreCannotTake) {
    Schedule("Daily");
    CWebWizard web;
    web.a.name = "Site";
    EXPECT_EQ(web.a.Buttons(), 0u) << "a name alone";
    web.a.name.clear();
    web.a.description = "watch";
    EXPECT_EQ(web.a.Buttons(), 0u) << "a description alone";
    web.a.name = "dAILY";
    EXPECT_EQ(web.a.Buttons(), unsigned{kWizardNext});

    // An existing event's name in other case would overwrite that schedule with a monitor.
    EXPECT_FALSE(web.a.Leave());
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_NE(prompt_->shown[0].text.find("exists already"), std::string::npos);
    web.a.name = "a\\b";
    EXPECT_FALSE(web.a.Leave());
    CLumettaWizard lumetta;  // no limit of its own: the key's 255 characters hold
    lumetta.a.name = Wide(256, 1);
    lumetta.a.description = "d";
    EXPECT_FALSE(lumetta.a.Leave());
    lumetta.a.name = Wide(255, 4);
    EXPECT_TRUE(lumetta.a.Leave()) << "255 characters of any byte length are a key name";

    CScheduleWizard schedule;
    schedule.a.name = "<none>";
    schedule.a.description = "d";
    EXPECT_FALSE(schedule.a.Leave());
    EXPECT_EQ(prompt_->shown.size(), 4u);

    // Editing keeps the event's own name, which exists of course.
    web.a.name = "Daily";
    web.a.readOnlyName = true;
    EXPECT_TRUE(web.a.Leave());
}

TEST_F(EventWizardsTest, DescriptionsAndAddressesAreHeldToWhatTheirReadersTake) {
    CWebWizard web;
    web.a.name = "Site";
    // 80 characters fit the web page's 128, but 320 bytes are more than a reader takes.
    web.a.description = Wide(80, 4);
    EXPECT_FALSE(web.a.Leave());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter no more than 63 characters.");
    web.a.description = Wide(129, 1);
    EXPECT_FALSE(web.a.Leave());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter no more than 128 characters.");

    // The newsgroup page takes any address length; the monitor reads 255 bytes.
    CNewsWizard news;
    news.c.notifyEmailTo = "x@" + Wide(254, 1);
    EXPECT_FALSE(news.c.Leave());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter no more than 255 characters.");

    // A long UTF-8 address within the mail page's limits is stored and read back whole.
    CMailWizard mail;
    mail.a.name = "Mail";
    mail.a.description = "d";
    mail.b.popHost = "pop.example.org";
    mail.b.popUserName = "u";
    mail.b.popPassword = "p";
    mail.f.notifyEmailTo = Wide(60, 4) + "@example.org";
    mail.f.notifyViaEmail = true;
    mail.f.schedule.Refill();
    mail.f.schedule.Choose(0);
    ASSERT_EQ(mail.f.notifyEmailTo.size(), 252u);
    for (CWizardPage* page : mail.Pages()) ASSERT_TRUE(page->Leave()) << page->Title();
    ASSERT_TRUE(CreateEventRecord(mail.Record()));
    EXPECT_EQ(StoredString("Mail", kNotifyEmailTo), mail.f.notifyEmailTo);

    // The copy-to text is cut by its writer at 254 bytes: the page stops it before.
    mail.c.copy = true;
    mail.c.copyTo = Wide(64, 4);
    EXPECT_FALSE(mail.c.Leave());
    mail.c.copyTo = Wide(63, 4) + "@xy";
    EXPECT_FALSE(mail.c.Leave());
    mail.c.copyTo = Wide(63, 4) + "@x";
    EXPECT_TRUE(mail.c.Leave());
}

TEST_F(EventWizardsTest, NewsGroupsAreNeverDroppedByTheWriterWithoutAWord) {
    CNewsWizard news;
    news.b.keywords = "quorvane";
    EXPECT_EQ(news.b.Buttons(), unsigned{kWizardBack});
    news.b.newsGroups = "comp.lang.c++, alt.test  misc.misc";
    EXPECT_EQ(news.b.Buttons(), unsigned{kWizardBack}) << "no search box ticked";
    news.b.searchBody = true;
    EXPECT_EQ(news.b.Buttons(), unsigned{kWizardBack | kWizardNext});
    EXPECT_EQ(news.b.Groups(),
              (std::vector<std::string>{"comp.lang.c++", "alt.test", "misc.misc"}));

    // 1000 groups-worth of text: the writer would keep what fits and drop the rest silently.
    std::string many;
    for (int i = 0; i < 100; ++i) many += "comp.group" + std::to_string(i) + " ";
    news.b.newsGroups = many;
    EXPECT_FALSE(news.b.Leave());
    EXPECT_NE(prompt_->shown.back().text.find("Please enter no more than"), std::string::npos);
    news.b.newsGroups = ", ,";
    EXPECT_FALSE(news.b.Leave()) << "a text of separators names no group";

    // Exactly what fits the writer's 1024 bytes is stored whole.
    std::vector<std::string> fit;
    size_t bytes = 1;
    for (int i = 0; bytes + 13 <= 1024; ++i) {
        fit.push_back("comp.grp" + std::to_string(1000 + i));
        bytes += 13;
    }
    news.b.newsGroups = CNwWizB::JoinGroups(fit);
    ASSERT_TRUE(news.b.Leave());
    news.a.name = "News";
    ASSERT_TRUE(CreateEventRecord(news.Record()));
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("News")), ERROR_SUCCESS);
    EXPECT_EQ(ReadMultiString(key, kNewsGroups), fit);
    EXPECT_EQ(ReadMultiString(key, kKeywords), std::vector<std::string>{"quorvane"});
}

TEST_F(EventWizardsTest, ChooserNeedsANewsServerAndItsGroupsReplaceTheText) {
    std::string server;
    EXPECT_FALSE(CNwWizB::ChooserServer(&server));
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text,
              "The Network News Server is not configured.  Goto View/Options... and set the "
              "Network News Server.");
    Root().SetString(kNewsServer, "news.example.org");
    EXPECT_TRUE(CNwWizB::ChooserServer(&server));
    EXPECT_EQ(server, "news.example.org");
    CNwWizB page;
    page.newsGroups = "typed.by.hand";
    page.TakeChosen({});
    EXPECT_EQ(page.newsGroups, "typed.by.hand");
    page.TakeChosen({"alt.first", "alt.second"});
    EXPECT_EQ(page.newsGroups, "alt.first, alt.second") << "every group chosen goes in";
    EXPECT_EQ(page.Groups(), (std::vector<std::string>{"alt.first", "alt.second"}));

    // More than the stored list can hold: the whole groups that fit, and the user is told.
    prompt_->shown.clear();
    std::vector<std::string> many;
    for (int i = 0; i < 200; ++i) many.push_back("comp.group.number" + std::to_string(i));
    page.TakeChosen(many);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_NE(prompt_->shown[0].text.find("of the 200 groups chosen fit"), std::string::npos);
    EXPECT_LT(page.Groups().size(), 200u);
    EXPECT_LE(EncodeMultiString(page.Groups()).size(), kListBuffer);
    EXPECT_EQ(EncodeMultiString(page.Groups()), EncodeMultiString(page.Groups(), SIZE_MAX))
        << "nothing the writer would drop";
    EXPECT_TRUE(page.Leave());
}

TEST_F(EventWizardsTest, EditingANewsMonitorKeepsListsItLeftAlone) {
    NewsMonitorRecord stored;
    stored.name = "News";
    stored.newsGroups = {"comp.lang.c", "comp.lang.c++"};
    stored.keywords = {"linux kernel", "rust", std::string(120, 'k')};
    CNewsWizard edit;
    edit.FromRecord(stored);
    EXPECT_TRUE(edit.b.Leave()) << "stored phrases longer than the page takes are not refused";
    CNewsWizard many;
    NewsMonitorRecord big = stored;
    big.newsGroups.clear();
    for (int i = 0; i < 4000; ++i) big.newsGroups.push_back("comp.group" + std::to_string(i));
    many.FromRecord(big);
    EXPECT_TRUE(many.b.Leave()) << "a list the monitor reads whole is not refused untouched";
    EXPECT_EQ(many.Record().newsGroups, big.newsGroups);
    NewsMonitorRecord unchanged = edit.Record();
    EXPECT_EQ(unchanged.keywords, stored.keywords) << "several phrases stay several";
    EXPECT_EQ(unchanged.newsGroups, stored.newsGroups);
    EXPECT_EQ(edit.b.keywords, "linux kernel | rust | " + std::string(120, 'k'));
    edit.b.keywords = "linux kernel | rust, go | zig";
    NewsMonitorRecord phrases = edit.Record();
    EXPECT_EQ(phrases.keywords, (std::vector<std::string>{"linux kernel", "rust, go", "zig"}))
        << "several stored phrases stay apart when one of them is changed, commas and all";
    edit.b.keywords = "kernel";
    edit.b.newsGroups += ", alt.new";
    NewsMonitorRecord changed = edit.Record();
    EXPECT_EQ(changed.keywords, std::vector<std::string>{"kernel"});
    EXPECT_EQ(changed.newsGroups,
              (std::vector<std::string>{"comp.lang.c", "comp.lang.c++", "alt.new"}));
}

TEST_F(EventWizardsTest, ScheduleTimingFollowsTheLastChoiceAndRefusesBadMinutes) {
    CEvntWizB page;
    EXPECT_FALSE(page.MinutesEnabled());
    EXPECT_FALSE(page.AtNightEnabled());
    ASSERT_TRUE(page.Leave());
    EXPECT_EQ(page.hours, 0xFFFFFFu) << "no choice runs every hour";

    page.SetChoice(CEvntWizB::kEveryDay);
    EXPECT_TRUE(page.AtNightEnabled());
    page.atNight = true;
    ASSERT_TRUE(page.Leave());
    EXPECT_EQ(page.hours, 0x80000u);
    page.SetChoice(CEvntWizB::kEveryHour);
    ASSERT_TRUE(page.Leave());
    EXPECT_EQ(page.hours, 0xFFFFFFu) << "back from Every Day at night";
    page.SetChoice(CEvntWizB::kOnceAWeek);
    ASSERT_TRUE(page.Leave());
    EXPECT_EQ(std::make_pair(page.days, page.hours), std::make_pair(DWORD{0x2}, DWORD{0x80}));

    page.SetChoice(CEvntWizB::kEvery);
    for (const char* bad : {"0", "100000", "-5"}) {
        page.minutes = bad;
        EXPECT_FALSE(page.Leave()) << bad;
        EXPECT_EQ(prompt_->shown.back().text, "Please enter an integer between 1 and 99999.");
    }
    page.minutes = "12x";
    EXPECT_FALSE(page.Leave());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter an integer.");
    page.minutes = "99999";
    ASSERT_TRUE(page.Leave());
    EXPECT_EQ(page.interval, 99999u);

    // A bad number left in the disabled edit does not hold the user on the page.
    page.minutes = "0";
    page.SetChoice(CEvntWizB::kEveryDay);
    page.atNight = false;
    EXPECT_TRUE(page.Leave());
    EXPECT_EQ(std::make_pair(page.interval, page.hours), std::make_pair(DWORD{60}, DWORD{0x80}));
}

TEST_F(EventWizardsTest, StoredTimingShowsItsChoiceOrIsKeptUntilOneIsMade) {
    struct Case {
        DWORD interval, days, hours;
        CEvntWizB::Choice choice;
        bool atNight;
        std::string minutes;
    };
    const Case cases[] = {{60, 0x7F, 0xFFFFFF, CEvntWizB::kEveryHour, false, "60"},
                          {60, 0x7F, 0x80, CEvntWizB::kEveryDay, false, "60"},
                          {60, 0x7F, 0x80000, CEvntWizB::kEveryDay, true, "60"},
                          {60, 0x2, 0x80, CEvntWizB::kOnceAWeek, false, "60"},
                          {15, 0x7F, 0xFFFFFF, CEvntWizB::kEvery, false, "15"}};
    for (const auto& c : cases) {
        CScheduleWizard w;
        w.FromRecord({"S", "d", c.interval, c.days, c.hours, 1});
        EXPECT_EQ(w.b.choice(), c.choice) << c.interval << " " << c.days << " " << c.hours;
        EXPECT_EQ(w.b.atNight, c.atNight);
        EXPECT_EQ(w.b.minutes, c.minutes);
        ASSERT_TRUE(w.b.Leave());
        ScheduleRecord back = w.Record();
        EXPECT_EQ(std::make_tuple(back.interval, back.days, back.hours, back.updateTime),
                  std::make_tuple(c.interval, c.days, c.hours, DWORD{1}));
        EXPECT_TRUE(w.a.readOnlyName);
    }
    // Weekdays from 9 to 17 every 30 minutes: no choice says so, the stored values stay.
    CScheduleWizard w;
    w.FromRecord({"S", "d", 30, 0x3E, 0x3FE00, 0});
    EXPECT_EQ(w.b.choice(), CEvntWizB::kNoChoice);
    EXPECT_TRUE(w.b.KeepsStoredTiming());
    EXPECT_NE(w.b.KeptTimingText().find("0x3E"), std::string::npos);
    ASSERT_TRUE(w.b.Leave());
    EXPECT_EQ(std::make_tuple(w.Record().interval, w.Record().days, w.Record().hours),
              std::make_tuple(DWORD{30}, DWORD{0x3E}, DWORD{0x3FE00}));
    w.b.SetChoice(CEvntWizB::kEveryHour);
    ASSERT_TRUE(w.b.Leave());
    EXPECT_EQ(w.Record().hours, 0xFFFFFFu);
}

TEST_F(EventWizardsTest, LastPageStartsWithNoScheduleEachTimeItIsShown) {
    Schedule("Daily");
    CWebWizard web;
    CNotifyPage& last = web.c;
    last.OnShow();
    ASSERT_EQ(last.schedule.list().GetCount(), 2);
    EXPECT_EQ(last.Buttons(), unsigned{kWizardBack | kWizardDisabledFinish});
    last.schedule.Choose(0);
    EXPECT_EQ(last.schedule.scheduledEvent, kNoSchedule) << "<None> counts as a choice";
    EXPECT_EQ(last.Buttons(), unsigned{kWizardBack | kWizardFinish});
    last.schedule.Choose(1);
    last.notifyViaEmail = true;
    EXPECT_EQ(last.Buttons(), unsigned{kWizardBack | kWizardDisabledFinish});
    last.notifyEmailTo = "me@example.org";
    EXPECT_EQ(last.Buttons(), unsigned{kWizardBack | kWizardFinish});
    last.OnShow();  // back, then Next again
    EXPECT_FALSE(last.schedule.Chosen());
    EXPECT_EQ(last.Buttons(), unsigned{kWizardBack | kWizardDisabledFinish});

    // An edited monitor keeps its schedule when it is still one, matched exactly.
    CWebWizard edit;
    edit.FromRecord(WebMonitorRecord{"W", "d", "s", 0, 0, "Daily", "", 0, 1});
    edit.c.OnShow();
    EXPECT_EQ(edit.c.schedule.scheduledEvent, "Daily");
    EXPECT_EQ(edit.c.schedule.list().GetCurSel(), 1);
    edit.FromRecord(WebMonitorRecord{"W", "d", "s", 0, 0, "DAILY", "", 0, 1});
    edit.c.OnShow();
    EXPECT_FALSE(edit.c.schedule.Chosen());

    CLumettaWizard lumetta;
    lumetta.c.OnShow();
    EXPECT_EQ(lumetta.c.Buttons(), unsigned{kWizardBack | kWizardDisabledFinish});
    lumetta.c.schedule.Choose(1);
    EXPECT_EQ(lumetta.c.Buttons(), unsigned{kWizardBack | kWizardFinish});
}

TEST_F(EventWizardsTest, MailPagesAllowNextOnlyWithWhatTheirTicksNeed) {
    CMailWizard m;
    m.b.popHost = "pop";
    m.b.popUserName = "user";
    EXPECT_EQ(m.b.Buttons(), unsigned{kWizardBack});
    m.b.popPassword = "secret";
    EXPECT_EQ(m.b.Buttons(), unsigned{kWizardBack | kWizardNext});

    EXPECT_EQ(m.c.Buttons(), unsigned{kWizardBack | kWizardNext});
    m.c.copy = true;
    EXPECT_EQ(m.c.Buttons(), unsigned{kWizardBack});
    m.c.copyTo = "copy@example.org";
    m.c.forwardMail = true;
    EXPECT_EQ(m.c.Buttons(), unsigned{kWizardBack});
    m.c.forwardTo = "fwd@example.org";
    EXPECT_EQ(m.c.Buttons(), unsigned{kWizardBack | kWizardNext});

    m.d.enablePager = true;
    m.d.pagerPhone = "5551234";
    EXPECT_EQ(m.d.Buttons(), unsigned{kWizardBack}) << "a number without a message";
    m.d.pagerPhone.clear();
    m.d.pagerMsg = "911";
    EXPECT_EQ(m.d.Buttons(), unsigned{kWizardBack}) << "a message without a number";
    m.d.pagerPhone = "5551234";
    EXPECT_EQ(m.d.Buttons(), unsigned{kWizardBack | kWizardNext});

    m.e.enableFax = true;
    m.e.faxPhone = "5550000";
    EXPECT_EQ(m.e.Buttons(), unsigned{kWizardBack});
    m.e.enableFax = false;
    EXPECT_EQ(m.e.Buttons(), unsigned{kWizardBack | kWizardNext});
}

// A number stored by another program outside the page's limits stays while it is left alone,
// and whatever sits in a disabled edit never holds the user on the page.
TEST_F(EventWizardsTest, CrawlBoundAndFaxSizeKeepWhatIsStoredUntilChangedWithinTheirLimits) {
    CWebWizard web;
    web.FromRecord(WebMonitorRecord{"W", "d", "s", 1, 0, "Daily", "", 0, 1, 5000000});
    EXPECT_EQ(web.b.maxDocuments, "5000000");
    ASSERT_TRUE(web.b.Leave()) << "untouched, as stored";
    EXPECT_EQ(web.Record().maxDocuments, 5000000u);
    web.b.maxDocuments = "1000001";
    EXPECT_FALSE(web.b.Leave());
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Please enter an integer between 1 and 1000000.");
    web.b.maxDocuments = "0";
    EXPECT_FALSE(web.b.Leave());
    web.b.maxDocuments = "1";
    ASSERT_TRUE(web.b.Leave());
    EXPECT_EQ(web.Record().maxDocuments, 1u);
    // Without the entire site the bound means nothing: a bad one left behind is not checked
    // and what was stored stays.
    web.b.maxDocuments = "";
    web.b.entireDomain = false;
    ASSERT_TRUE(web.b.Leave());
    EXPECT_EQ(web.Record().maxDocuments, 5000000u);

    CMailWizard mail;
    MailMonitorRecord stored;
    stored.enableFax = 1;
    stored.faxPhone = "1";
    stored.faxName = "n";
    stored.maximumFaxSize = 0;
    stored.sendAttachments = 2;  // only 1 counts as set for the monitor
    stored.popSecurity = 7;
    mail.FromRecord(stored);
    EXPECT_FALSE(mail.e.sendAttachments);
    ASSERT_TRUE(mail.e.Leave());
    MailMonitorRecord back = mail.Record();
    EXPECT_EQ(back.maximumFaxSize, 0u);
    EXPECT_EQ(back.popSecurity, 7u) << "kept until the user chooses one of the three";
    mail.e.maximumFaxSize = "1048577";
    EXPECT_FALSE(mail.e.Leave());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter an integer between 1 and 1048576.");
    mail.e.maximumFaxSize = " 4096 ";
    ASSERT_TRUE(mail.e.Leave());
    EXPECT_EQ(mail.Record().maximumFaxSize, 4096u);
    mail.e.maximumFaxSize = "x";
    mail.e.enableFax = false;
    ASSERT_TRUE(mail.e.Leave());
    EXPECT_EQ(mail.Record().maximumFaxSize, 0u);
}

// The dial-up password is never handed back to the page: an empty edit keeps the stored one,
// a typed one replaces it, and it goes only when asked.
TEST_F(EventWizardsTest, DialUpPasswordIsKeptReplacedOrRemovedButNeverShown) {
    ScheduleRecord stored;
    stored.name = "S";
    stored.phoneBook = "Mobile";
    stored.accountName = "me";
    stored.accountPasswd = "old secret";
    CScheduleWizard w;
    w.FromRecord(stored);
    EXPECT_TRUE(w.c.password.Stored());
    EXPECT_TRUE(w.c.password.entered.empty());
    EXPECT_EQ(w.Record().accountPasswd, "old secret");
    EXPECT_EQ(w.Record().phoneBook, "Mobile");
    w.c.password.entered = "new";
    EXPECT_EQ(w.Record().accountPasswd, "new");
    w.c.password.remove = true;
    EXPECT_EQ(w.Record().accountPasswd, "");

    // Each is read back through a 256-byte buffer: 255 bytes go, one more does not.
    CScheduleWizard fresh;
    EXPECT_FALSE(fresh.c.password.Stored());
    fresh.c.phoneBook = Wide(85, 3);
    fresh.c.accountName = Wide(255, 1);
    fresh.c.password.entered = Wide(63, 4) + "abc";
    EXPECT_TRUE(fresh.c.Leave());
    fresh.c.password.entered += "d";
    EXPECT_FALSE(fresh.c.Leave());
    ASSERT_FALSE(prompt_->shown.empty());
    EXPECT_EQ(prompt_->shown.back().text, "Please enter no more than 66 characters.");
    fresh.c.password.entered.clear();
    fresh.c.phoneBook += "a";
    EXPECT_FALSE(fresh.c.Leave());
}

TEST_F(EventWizardsTest, CatalogueFieldsByQuotes) {
    EXPECT_EQ(CatalogueField("\"a\" \"b\" \"c\"", 2), "b");
    EXPECT_EQ(CatalogueField("\"a\" \"b\"", 4), "b") << "fewer fields: the last found";
    EXPECT_EQ(CatalogueField("no quotes", 1), "");
    EXPECT_EQ(CatalogueField("\"a\" \"open to the end", 2), "open to the end");
    EXPECT_EQ(CatalogueField("\"\" \"x\"", 1), "");
}

TEST_F(EventWizardsTest, CatalogueBuildsTheTreeAndNextStoresTheChosenEntry) {
    {
        std::ofstream out("lumetta.wiz", std::ios::binary);
        out << "  \"Top\" \"http://top/\" \"\" \"\" \"Text\"\r\n"
            << "+News\r\n"
            << "\r\n"
            << "\"Headlines\" \"http://news/\" \"news.flt\" \"Head\" \"Text\"\r\n"
            << "\"  \" \"http://skipped/\"\r\n"
            << "+Weather\n"
            << "\"Weather\" \"http://weather/map\" \"map.flt\" \"Map\" \"Graphic\"\n";
    }
    CLmWizB page;
    page.url = "http://news/";
    page.Load();
    const auto& items = page.items();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(std::make_tuple(items[0].text, items[0].image, items[0].parent),
              std::make_tuple(std::string("Top"), 1, -1));
    EXPECT_EQ(std::make_tuple(items[1].text, items[1].image, items[1].category),
              std::make_tuple(std::string("News"), 2, true));
    EXPECT_EQ(items[2].parent, 1);
    EXPECT_EQ(std::make_tuple(items[4].text, items[4].image, items[4].parent),
              std::make_tuple(std::string("Weather"), 0, 3));
    EXPECT_EQ(page.selected, 2) << "the entry whose address is the current one";

    // A category chosen changes nothing.
    page.selected = 3;
    ASSERT_TRUE(page.Leave());
    EXPECT_EQ(page.url, "http://news/");
    page.selected = 4;
    ASSERT_TRUE(page.Leave());
    EXPECT_EQ(std::make_tuple(page.url, page.filterFile, page.filter),
              std::make_tuple(std::string("http://weather/map"), std::string("map.flt"),
                              std::string("Map")));

    CLumettaWizard w;
    w.a.name = "Weather";
    w.b.url = page.url;
    w.b.filter = page.filter;
    w.b.filterFile = page.filterFile;
    ASSERT_TRUE(CreateEventRecord(w.Record()));
    RegKey doc;
    ASSERT_EQ(doc.Open(RegKey::LocalMachine(), EventPath("Weather") + "\\0000"), ERROR_SUCCESS);
    EXPECT_EQ(ReadString(doc, kUrl), "http://weather/map");

    {
        std::ofstream out("long.wiz", std::ios::binary);
        out << "\"Long\" \"http://x/" << std::string(250, 'a') << "\" \"f\" \"\" \"\"\n";
    }
    CLmWizB longEntry("long.wiz");
    longEntry.url = "kept";
    longEntry.Load();
    ASSERT_EQ(longEntry.items().size(), 1u);
    longEntry.selected = 0;
    EXPECT_FALSE(longEntry.Leave()) << "an address the retrieval cannot read";
    EXPECT_EQ(longEntry.url, "kept");

    CLmWizB missing("no-such.wiz");
    missing.Load();
    EXPECT_TRUE(missing.items().empty());
    EXPECT_TRUE(missing.Leave());
}

class CreateEventTest : public EventWizardsTest {
protected:
    void SetUp() override {
        EventWizardsTest::SetUp();
        shell_ = std::make_shared<RecordingShell>();
        Shell::Install(shell_);
        app_ = std::make_unique<CApplication>(nullptr);
        commands_ = std::make_unique<CMainCommands>(*app_);
    }
    void TearDown() override {
        commands_.reset();
        app_.reset();
        Shell::Install(nullptr);
        EventWizardsTest::TearDown();
    }
    std::shared_ptr<RecordingShell> shell_;
    std::unique_ptr<CApplication> app_;
    std::unique_ptr<CMainCommands> commands_;
};

TEST_F(CreateEventTest, NewEventsStartTheirCompanionWithTheNameAsOneArgument) {
    FillScheduleList(commands_->selector());
    ASSERT_TRUE(commands_->CreateEvent(ScheduleRecord{"Every morning", "d", 60, 0x7F, 0x80, 0}));
    EXPECT_EQ(commands_->ChosenSchedule(), "Every morning");
    ASSERT_TRUE(commands_->CreateEvent(
        WebMonitorRecord{"My site", "d", "example.org", 0, 0, "Every morning", "", 0, 1}));
    ASSERT_TRUE(
        commands_->CreateEvent(LumettaRecord{"Ticker", "d", "Every morning", "u", "", "", ""}));
    EXPECT_EQ(shell_->calls, (std::vector<std::string>{"start ./quorvane-schedule [Every morning]",
                                                       "start ./quorvane-webwatch [My site]"}));
    ASSERT_EQ(commands_->eventList().rows().size(), 2u);
    EXPECT_TRUE(prompt_->shown.empty());

    // A name that cannot be stored is said, never passed over.
    MailMonitorRecord refused;
    refused.name = "a\\b";
    EXPECT_FALSE(commands_->CreateEvent(refused));
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_NE(prompt_->shown[0].text.find("could not be created"), std::string::npos);
    EXPECT_EQ(shell_->calls.size(), 2u);

    // A store another program holds takes nothing, not half a record.
    {
        StoreWriteLock other(*store_, Path("registry.db"));
        ASSERT_TRUE(other.held());
        WebMonitorRecord busy{"Busy", "d", "example.net", 0, 0, "Every morning", "", 0, 1};
        EXPECT_FALSE(commands_->CreateEvent(busy));
    }
    RegKey none;
    EXPECT_NE(none.Open(RegKey::LocalMachine(), EventPath("Busy")), ERROR_SUCCESS);
    EXPECT_NE(prompt_->shown.back().text.find("could not be stored"), std::string::npos);

    // An event made by another program while the wizard was open is not overwritten.
    MailMonitorRecord late;
    late.name = "MY SITE";
    late.popHost = "pop.example.org";
    EXPECT_FALSE(commands_->CreateEvent(late));
    RegKey site;
    ASSERT_EQ(site.Open(RegKey::LocalMachine(), EventPath("My site")), ERROR_SUCCESS);
    EXPECT_EQ(ReadDword(site, kType, 0), static_cast<DWORD>(kWebMonitor));
    EXPECT_EQ(ReadString(site, kPopHost), "");
}

TEST_F(EventWizardsTest, ATypedAddressAndPageScriptMustGoTogether) {
    CLmWizB page("none.wiz");
    page.url = "http://example.org/";
    page.filterFile = "s.qps";
    EXPECT_FALSE(page.Leave()) << "a script beside a plain address would never run";
    page.url = "Newest@http://example.org/";
    page.filterFile.clear();
    EXPECT_FALSE(page.Leave()) << "a variable with no script fails every run";
    ASSERT_FALSE(prompt_->shown.empty());
    EXPECT_NE(prompt_->shown.back().text.find("Newest"), std::string::npos);
    page.filterFile = "s.qps";
    EXPECT_TRUE(page.Leave());
    page.url = "http://example.org/";
    page.filterFile.clear();
    EXPECT_TRUE(page.Leave());

    // What an edited display holds is taken as it is.
    CLumettaWizard edit;
    LumettaRecord stored;
    stored.url = "http://example.org/";
    stored.filterFile = "s.qps";
    edit.FromRecord(stored);
    EXPECT_TRUE(edit.b.Leave());
}

}  // namespace

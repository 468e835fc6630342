#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "app/ActivityLog.h"
#include "fakes/ClientOwner.h"
#include "fakes/Inn.h"
#include "fakes/ScriptedLineServer.h"
#include "fixtures/Fixtures.h"
#include "monitors/NewsMonitor.h"
#include "settings/Settings.h"

namespace {

using namespace settings;

// A news server with groups of articles: GROUP, XOVER (and OVER), STAT, NEXT, HEAD and BODY
// as a real one answers them, with a current article per connection.
class FakeNews : public ScriptedLineServer {
public:
    struct Article {
        int number;
        std::string id, from, subject, body;
    };
    std::map<std::string, std::vector<Article>> groups;
    bool overview = true;         // XOVER and OVER answered
    std::set<int> refusedBodies;  // BODY of these numbers gets 430
    int first = 0;                // GROUP's first number when set (a low mark that lags)
    std::string dropGroup;        // the overview of this group breaks off with the connection
    std::string headlessGroup;    // HEAD here is refused, whatever STAT and NEXT say
    bool loginFirst = false;      // every command but QUIT asks for a login

    FakeNews() {
        greeting = "200 news ready\r\n";
        closeAfter = {"QUIT"};
    }
    void Post(const std::string& group, const std::string& from, const std::string& subject,
              const std::string& body = "text\r\n") {
        auto& list = groups[group];
        int n = list.empty() ? 1 : list.back().number + 1;
        list.push_back({n, std::to_string(n) + "." + group + "@x", from, subject, body});
    }

protected:
    void Prepare() override {
        group_.clear();
        current_ = 0;
    }
    const Article* Find(int n) const {
        auto g = groups.find(group_);
        if (g == groups.end()) return nullptr;
        for (const auto& a : g->second)
            if (a.number == n) return &a;
        return nullptr;
    }
    static std::string Head(const Article& a) {
        return "From: " + a.from + "\r\nSubject: " + a.subject + "\r\nMessage-ID: <" + a.id +
               ">\r\nLines: " + std::to_string(std::count(a.body.begin(), a.body.end(), '\n')) +
               "\r\n";
    }
    std::string ReplyTo(const std::string& line, const std::string& verb) override {
        std::string arg = line.size() > verb.size() + 1 ? line.substr(verb.size() + 1) : "";
        while (!arg.empty() && arg[0] == ' ') arg.erase(0, 1);
        if (verb == "QUIT") return "205 bye\r\n";
        if (loginFirst) return "480 authentication required\r\n";
        if (verb == "GROUP") {
            auto g = groups.find(arg);
            if (g == groups.end()) return "411 no such group\r\n";
            group_ = arg;
            const auto& list = g->second;
            int lo = list.empty() ? 0 : list.front().number,
                hi = list.empty() ? 0 : list.back().number;
            if (first) lo = first;
            current_ = list.empty() ? 0 : list.front().number;
            return "211 " + std::to_string(list.size()) + " " + std::to_string(lo) + " " +
                   std::to_string(hi) + " " + arg + "\r\n";
        }
        if (verb == "XOVER" || verb == "OVER") {
            if (!overview) return "500 what?\r\n";
            if (group_ == dropGroup)
                dropMidReply.insert(verb);
            else
                dropMidReply.erase(verb);
            int a = std::atoi(arg.c_str()), b = a;
            size_t dash = arg.find('-');
            if (dash != std::string::npos) b = std::atoi(arg.c_str() + dash + 1);
            std::string r = "224 overview\r\n";
            for (const auto& x : groups[group_])
                if (x.number >= a && x.number <= b)
                    r += std::to_string(x.number) + "\t" + x.subject + "\t" + x.from +
                         "\t1 Jan 2026\t<" + x.id + ">\t\t100\t2\r\n";
            return r + ".\r\n";
        }
        int n = arg.empty() ? current_ : std::atoi(arg.c_str());
        if (verb == "NEXT") {
            for (const auto& x : groups[group_])
                if (x.number > current_) {
                    current_ = x.number;
                    return "223 " + std::to_string(x.number) + " <" + x.id + ">\r\n";
                }
            return "421 no next article\r\n";
        }
        const Article* a = Find(n);
        if (verb == "HEAD" && group_ == headlessGroup) return "423 no such article\r\n";
        if (verb == "STAT" || verb == "HEAD" || verb == "BODY") {
            if (!a) return "423 no such article\r\n";
            current_ = n;
            std::string tag = std::to_string(n) + " <" + a->id + ">";
            if (verb == "STAT") return "223 " + tag + "\r\n";
            if (verb == "HEAD") return "221 " + tag + "\r\n" + Head(*a) + ".\r\n";
            if (refusedBodies.count(n)) return "430 gone\r\n";
            return "222 " + tag + "\r\n" + a->body + ".\r\n";
        }
        return "500 what?\r\n";
    }

private:
    std::string group_;
    int current_ = 0;
};

class NewsMonitorTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        monitor_ = std::make_unique<CNewsMonitor>(log_);
        monitor_->SetRunWindow(&run_);
    }
    void TearDown() override {
        monitor_.reset();
        SandboxTest::TearDown();
    }
    RegKey Event(int port, std::vector<std::string> groups, std::vector<std::string> words,
                 bool body) {
        Root().SetString(kNewsServer, "127.0.0.1:" + std::to_string(port));
        AddEvent("Watch", kNewsMonitor, "Daily");
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Watch"));
        key.SetValue(kNewsGroups, REG_MULTI_SZ, EncodeMultiString(groups));
        key.SetValue(kKeywords, REG_MULTI_SZ, EncodeMultiString(words));
        key.SetDword(kSearchSubject, 1);
        key.SetDword(kSearchAuthor, 1);
        key.SetDword(kSearchBody, body ? 1 : 0);
        key.SetDword(kNotifyViaWindows, 1);
        return key;
    }
    uint32_t Run() {
        run_.done.clear();
        monitor_->Start("Watch");
        EXPECT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(30)));
        EXPECT_TRUE(DrainMessages());
        EXPECT_EQ(run_.done.size(), 1u);
        return run_.done.empty() ? 0xFFFFFFFF : run_.done[0];
    }
    // The reports' subjects and the error records, in the order written.
    std::vector<std::string> Told() {
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        std::vector<std::string> out;
        for (const auto& r : records) {
            std::string t = r.text.substr(2);
            size_t s = t.find("Subject : ");
            if (s != std::string::npos)
                out.push_back(t.substr(s + 10, t.find("\r\n", s) - s - 10));
            else
                out.push_back(t);
        }
        std::filesystem::remove(kLogFileName);
        return out;
    }
    std::string Stored(const std::string& name) {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Watch"));
        std::string text;
        if (key.GetString(name, &text, 1u << 20) != ERROR_SUCCESS) return "<absent>";
        return text;
    }

    CActivityLog log_;
    RunStub run_;
    std::unique_ptr<CNewsMonitor> monitor_;
};

void Fill(FakeNews& news) {
    news.Post("comp.os", "Ann <ann@x>", "Linux kernel news");
    news.Post("comp.os", "Bob <bob@x>", "watching birds");
    news.Post("comp.os", "Cy <cy@x>", "a new swatch");
    news.Post("comp.os", "Dee <dee@x>", "(kernel) talk");
}

TEST_F(NewsMonitorTest, BothWaysReportTheSameArticlesOnceARun) {
    for (bool body : {false, true}) {
        SCOPED_TRACE(body ? "article by article" : "overview");
        FakeNews news;
        Fill(news);
        RegKey key = Event(news.port(), {"comp.os"}, {"linux kernel", "kernel", "watch"}, body);
        key.SetDword(kNotifyViaEmail, 1);
        key.SetString(kNotifyEmailTo, "me@x");
        std::filesystem::remove_all("Forward");
        EXPECT_EQ(Run(), 0u);
        // One result e-mail for the run, every report in it with its link.
        std::vector<std::string> mails;
        if (std::filesystem::exists("Forward"))
            for (const auto& e : std::filesystem::directory_iterator("Forward"))
                if (e.is_regular_file()) mails.push_back(ReadFileBytes(e.path().string()));
        ASSERT_EQ(mails.size(), 1u);
        EXPECT_NE(mails[0].find("Results of News Watch Watch"), std::string::npos);
        EXPECT_NE(mails[0].find("Article : news://127.0.0.1:" + std::to_string(news.port()) +
                                "/2.comp.os@x"),
                  std::string::npos);
        key.SetDword(kNotifyViaEmail, 0);
        // In the overview every phrase that matches tells the article once more; article by
        // article, the first match ends the header's search. "(kernel)" does not start a
        // word, "swatch" is no "watch".
        if (body)
            EXPECT_EQ(Told(), (std::vector<std::string>{"Linux kernel news", "watching birds"}));
        else
            EXPECT_EQ(Told(), (std::vector<std::string>{"Linux kernel news", "Linux kernel news",
                                                        "watching birds"}));
        EXPECT_EQ(monitor_->line(0), "Done");

        // The next run starts at the last article it saw and tells nothing again...
        EXPECT_EQ(Run(), 0u);
        EXPECT_TRUE(Told().empty());
        // ...but an article posted meanwhile is told.
        news.Post("comp.os", "Eve <eve@x>", "kernel panic");
        EXPECT_EQ(Run(), 0u);
        EXPECT_EQ(Told(), std::vector<std::string>{"kernel panic"});
        EXPECT_EQ(Stored("comp.os Xids"), "5.comp.os@x ");
        DWORD resume = 0;
        key.GetDword("comp.os", &resume);
        EXPECT_EQ(resume, 5u);
        key.DeleteValue("comp.os");
        key.DeleteValue("comp.os Xids");
    }
}

TEST_F(NewsMonitorTest, AGroupThatIsGoneIsToldAndTheOthersAreSearched) {
    FakeNews news;
    Fill(news);
    Event(news.port(), {"gone.group", "comp.os"}, {"birds"}, false);
    EXPECT_EQ(Run(), 0u);
    auto told = Told();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0],
              "An error occured while watching the news group Watch.   The error message was : "
              "On group gone.group the News server 127.0.0.1 said:  no such group");
    EXPECT_EQ(told[1], "watching birds");
    // The missing group has no memory written under its name.
    EXPECT_EQ(Stored("gone.group Xids"), "<absent>");
}

TEST_F(NewsMonitorTest, AGroupMemoryThatCannotBeStoredIsToldAndNotHalfWritten) {
    FakeNews news;
    Fill(news);
    Event(news.port(), {"comp.os"}, {"birds"}, false);
    {
        StoreWriteLock other(*store_, Path("registry.db"));
        ASSERT_TRUE(other.held());
        EXPECT_EQ(Run(), 0u);
    }
    auto told = Told();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[0], "watching birds");
    EXPECT_EQ(told[1].rfind("An error occured while watching the news group Watch.   The error "
                            "message was : What was read of comp.os could not be recorded in the "
                            "settings store (",
                            0),
              0u)
        << told[1];
    // Where to go on and what was told: neither without the other.
    EXPECT_EQ(Stored("comp.os Xids"), "<absent>");
    RegKey event;
    DWORD resume = 0;
    EXPECT_FALSE(event.Open(RegKey::LocalMachine(), EventPath("Watch")) == ERROR_SUCCESS &&
                 event.GetDword("comp.os", &resume) == ERROR_SUCCESS);
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Told(), std::vector<std::string>{"watching birds"});
    EXPECT_NE(Stored("comp.os Xids"), "<absent>");
}

TEST_F(NewsMonitorTest, AGroupThatBreaksTheSessionDoesNotHoldUpTheGroupsBehind) {
    FakeNews news;
    Fill(news);
    for (int i = 0; i < 400; ++i) news.Post("bad.group", "x@y", "birds " + std::to_string(i));
    news.dropGroup = "bad.group";
    RegKey key = Event(news.port(), {"bad.group", "comp.os"}, {"birds"}, false);
    key.SetDword("bad.group", 7);
    EXPECT_EQ(Run(), 0u);
    auto told = Told();
    ASSERT_EQ(told.size(), 2u);
    EXPECT_NE(told[0].find("An error occured while watching the news group Watch."),
              std::string::npos);
    EXPECT_EQ(told[1], "watching birds");
    EXPECT_EQ(news.connections, 2);
    // The broken group starts at the same place next time.
    DWORD resume = 0;
    key.GetDword("bad.group", &resume);
    EXPECT_EQ(resume, 7u);
}

TEST_F(NewsMonitorTest, WhatAServerOrAListMakesUpCannotHurtTheEventOrTheGroupsBehind) {
    FakeNews news;
    Fill(news);
    // A group named like one of the event's values keeps its memory apart.
    news.Post("keywords", "x@y", "birds of a feather");
    // A group whose every header is refused is walked only so far.
    for (int i = 0; i < 1200; ++i) news.Post("headless", "x@y", "birds");
    news.headlessGroup = "headless";
    // Numbers at the very top of the range end where the group ends.
    news.groups["top"] = {{2147483646, "t1@x", "x@y", "birds at the top", "b\r\n"},
                          {2147483647, "", "x@y", "birds without an id", "b\r\n"}};
    // A keyword list longer than the dialogs write is still read.
    std::vector<std::string> words(300, "zzzzz");
    words.push_back("birds");
    RegKey key = Event(news.port(), {"keywords", "headless", "top", "comp.os"}, {}, true);
    key.SetValue(kKeywords, REG_MULTI_SZ, EncodeMultiString(words, 64 * 1024));
    EXPECT_EQ(Run(), 0u);
    auto told = Told();
    ASSERT_EQ(told.size(), 5u);
    EXPECT_EQ(told[0], "birds of a feather");
    EXPECT_EQ(told[1].rfind("An error occured while watching the news group Watch.", 0), 0u);
    EXPECT_EQ(told[2], "birds at the top");
    EXPECT_EQ(told[3], "birds without an id");
    EXPECT_EQ(told[4], "watching birds");
    EXPECT_EQ(ReadMultiString(key, kKeywords, nullptr, kLongList).size(), 301u);
    DWORD type = 0;
    EXPECT_EQ(key.GetDword(kType, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD(kNewsMonitor));
    for (const auto& c : news.commands) EXPECT_EQ(c.find('-'), std::string::npos) << c;
    EXPECT_LT(news.commands.size(), 2400u);
    // The next run tells nothing again, the article without an identifier included, and
    // the headless group goes on where the last run left it, to its end.
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(Told().empty());

    // A list too long to read at all is said so, and nothing is searched or stored.
    key.SetValue(kKeywords, REG_MULTI_SZ, Bytes(70 * 1024, 'k'));
    news.commands.clear();
    EXPECT_NE(Run(), 0u);
    told = Told();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("too long to be read"), std::string::npos);
    EXPECT_TRUE(news.commands.empty());
}

TEST_F(NewsMonitorTest, WhatAWalkToldIsStoredAtOnce) {
    FakeNews news;
    for (int i = 1; i <= 5; ++i) news.Post("comp.os", "x@y", "birds " + std::to_string(i));
    Event(news.port(), {"comp.os"}, {"birds"}, true);
    news.pace = ScriptedLineServer::Pace::OneByte;
    run_.done.clear();
    monitor_->Start("Watch");
    // The program dies in the middle of the walk, after a report or two.
    ASSERT_TRUE(waitFor([&] { return monitor_->found() >= 2; }, std::chrono::seconds(20)));
    const int told = monitor_->found();
    monitor_ = std::make_unique<CNewsMonitor>(log_);
    monitor_->SetRunWindow(&run_);
    ASSERT_LT(told, 5);
    std::string ids;
    for (int i = 1; i <= told; ++i) ids += std::to_string(i) + ".comp.os@x ";
    EXPECT_EQ(Stored("comp.os Xids"), ids);
    EXPECT_EQ(Told().size(), static_cast<size_t>(told));
    news.pace = ScriptedLineServer::Pace::Whole;
    EXPECT_EQ(Run(), 0u);
    std::vector<std::string> rest;
    for (int i = told + 1; i <= 5; ++i) rest.push_back("birds " + std::to_string(i));
    EXPECT_EQ(Told(), rest);
}

TEST_F(NewsMonitorTest, WithoutAnOverviewTheArticlesAreWalked) {
    FakeNews news;
    Fill(news);
    news.overview = false;
    Event(news.port(), {"comp.os"}, {"birds"}, false);
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Told(), std::vector<std::string>{"watching birds"});
    EXPECT_NE(std::find(news.commands.begin(), news.commands.end(), "HEAD 2"), news.commands.end());
}

TEST_F(NewsMonitorTest, MissingArticlesAndBodiesDoNotStallTheWalk) {
    FakeNews news;
    for (int i = 1; i <= 6; ++i) news.Post("comp.os", "x@y", "s" + std::to_string(i), "plain\r\n");
    news.groups["comp.os"][4].body = "the word is here\r\n";  // article 5
    RegKey key = Event(news.port(), {"comp.os"}, {"word"}, true);
    // The walk resumes at 3, which has expired: it goes on at 4, not at the group's start.
    key.SetDword("comp.os", 3);
    news.groups["comp.os"].erase(news.groups["comp.os"].begin() + 2);
    // The body of 4 cannot be had: the walk goes on to 5 and 6.
    news.refusedBodies = {4};
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Told(), std::vector<std::string>{"s5"});
    for (const char* asked : {"HEAD 1", "HEAD 2"})
        EXPECT_EQ(std::find(news.commands.begin(), news.commands.end(), asked), news.commands.end())
            << asked;
    EXPECT_NE(std::find(news.commands.begin(), news.commands.end(), "STAT 4"), news.commands.end());
    DWORD resume = 0;
    key.GetDword("comp.os", &resume);
    EXPECT_EQ(resume, 6u);

    // From the start, the missing article 3 is passed over with NEXT; what the last search
    // told is not told again.
    key.SetDword("comp.os", 1);
    news.commands.clear();
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(Told().empty());
    EXPECT_NE(std::find(news.commands.begin(), news.commands.end(), "NEXT"), news.commands.end());
    EXPECT_NE(std::find(news.commands.begin(), news.commands.end(), "HEAD 6"), news.commands.end());
}

TEST_F(NewsMonitorTest, ACancelDuringTheOverviewSearchEndsItOnceAndKeepsTheMemory) {
    FakeNews news;
    for (int i = 1; i <= 20000; ++i) news.Post("big", "x@y", "word " + std::to_string(i));
    RegKey key = Event(news.port(), {"big"}, {"word"}, false);
    key.SetDword(kNotifyViaWindows, 0);
    key.SetString("big Xids", "old.one@x ");
    key.SetDword("big", 1);
    run_.done.clear();
    // Cancelled in the middle of the search, between two slices, as a click would come.
    bool cancelled = false;
    QObject::connect(monitor_.get(), &CPanel::linesChanged, monitor_.get(), [&] {
        if (cancelled || monitor_->found() == 0) return;
        cancelled = true;
        QMetaObject::invokeMethod(
            monitor_.get(), [&] { monitor_->Cancel(0); }, Qt::QueuedConnection);
    });
    monitor_->Start("Watch");
    ASSERT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(30)));
    EXPECT_TRUE(DrainMessages());
    ASSERT_EQ(run_.done.size(), 1u);
    EXPECT_EQ(run_.done[0], 0u);
    EXPECT_LT(monitor_->found(), 20000);
    // The search starts at the same place next time and still knows what it told before.
    DWORD resume = 0;
    key.GetDword("big", &resume);
    EXPECT_EQ(resume, 1u);
    EXPECT_NE(Stored("big Xids").find("old.one@x "), std::string::npos);
}

TEST_F(NewsMonitorTest, IdentifiersAreWholeWordsAndCutSafely) {
    EXPECT_EQ(CNewsMonitor::CutIdentifier("<a@b>"), "a@b");
    EXPECT_EQ(CNewsMonitor::CutIdentifier(" x <a@b> y>"), "a@b> y");
    EXPECT_EQ(CNewsMonitor::CutIdentifier(">x<"), ">x<");
    EXPECT_EQ(CNewsMonitor::CutIdentifier(""), "");

    // "1.comp.os@x" is told although "21.comp.os@x" was told before.
    FakeNews news;
    news.Post("comp.os", "x@y", "match me");
    RegKey key = Event(news.port(), {"comp.os"}, {"match"}, false);
    key.SetString("comp.os Xids", "21.comp.os@x ");
    EXPECT_EQ(Run(), 0u);
    std::vector<LogRecord> records;
    ReadLogFile(kLogFileName, &records, nullptr);
    EXPECT_EQ(Told(), std::vector<std::string>{"match me"});
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].action, 11u);
    EXPECT_EQ(records[0].link, " news://127.0.0.1:" + std::to_string(news.port()) + "/1.comp.os@x");

    // An identifier the server made up with blanks and quotes reaches the link encoded.
    news.groups["comp.os"][0].id = "a b\"c'@x";
    key.DeleteValue("comp.os");
    key.DeleteValue("comp.os Xids");
    EXPECT_EQ(Run(), 0u);
    records.clear();
    ReadLogFile(kLogFileName, &records, nullptr);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NE(records[0].link.find("/a%20b%22c%27@x"), std::string::npos) << records[0].link;
    EXPECT_EQ(Stored("comp.os Xids"), "a%20b%22c%27@x ");
    Told();
}

TEST_F(NewsMonitorTest, RealInn) {
    Inn inn;
    ASSERT_TRUE(inn.Start()) << inn.error();
    ASSERT_TRUE(inn.NewGroup("local.test")) << inn.error();
    auto post = [&](const std::string& id, const std::string& subject) {
        return inn.Post("From: Joe <joe@quorvane.test>\r\nNewsgroups: local.test\r\nSubject: " +
                        subject + "\r\nMessage-ID: <" + id + ">\r\n\r\nsome text\r\n");
    };
    ASSERT_TRUE(post("k@x.test", "Linux kernel news")) << inn.error();
    ASSERT_TRUE(post("w@x.test", "watching birds")) << inn.error();
    ASSERT_TRUE(post("o@x.test", "other things")) << inn.error();

    // The same articles, both ways: the same matches, twice for two phrases in the overview.
    RegKey key = Event(inn.port(), {"local.test"}, {"linux kernel", "kernel", "watch"}, false);
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Told(), (std::vector<std::string>{"Linux kernel news", "Linux kernel news",
                                                "watching birds"}));
    key.DeleteValue("local.test");
    key.DeleteValue("local.test Xids");
    key.SetDword(kSearchBody, 1);
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Told(), (std::vector<std::string>{"Linux kernel news", "watching birds"}));

    // Nothing new, then one new article and only that one.
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(Told().empty());
    ASSERT_TRUE(post("p@x.test", "kernel panic")) << inn.error();
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Told(), std::vector<std::string>{"kernel panic"});

    // A cancelled article in the middle of the walk is passed over.
    ASSERT_TRUE(post("q@x.test", "watch one")) << inn.error();
    ASSERT_TRUE(post("r@x.test", "watch two")) << inn.error();
    ASSERT_TRUE(post("s@x.test", "watch three")) << inn.error();
    ASSERT_TRUE(inn.Cancel("<r@x.test>")) << inn.error();
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Told(), (std::vector<std::string>{"watch one", "watch three"}));
}

TEST_F(NewsMonitorTest, TheLineLimit) {
    EXPECT_TRUE(CNewsMonitor::BodyWithinLimit("900", false, 10));
    EXPECT_TRUE(CNewsMonitor::BodyWithinLimit("10", true, 10));
    EXPECT_FALSE(CNewsMonitor::BodyWithinLimit(" 11", true, 10));
    EXPECT_FALSE(CNewsMonitor::BodyWithinLimit("1", true, -1));
    EXPECT_TRUE(CNewsMonitor::BodyWithinLimit("", true, 10));  // no length: searched
    EXPECT_TRUE(CNewsMonitor::BodyWithinLimit("many", true, 10));
}

TEST_F(NewsMonitorTest, EncodedZeroBytesAndHugeLinesAreSearchedAndToldWhole) {
    const std::string huge = "panic " + std::string(10 * 1024 * 1024, 'x');
    for (bool body : {false, true}) {
        SCOPED_TRACE(body ? "article by article" : "overview");
        FakeNews news;
        news.Post("comp.os", "=?ISO-8859-1?Q?J=F6rg?= <j@x>",
                  "=?UTF-8?B?a2VybmVsIHBhbmljIGluIFrDvHJpY2g=?=");
        news.Post("comp.os", "Ann <ann@x>", std::string("zero\0byte panic", 15));
        news.Post("comp.os", "Bob <bob@x>", "calm");
        // A line of ten megabytes in the overview.
        if (!body) news.Post("comp.os", "Cy <cy@x>", huge);
        news.Post("comp.os", "=?UTF-8?Q?Dee?= <dee@x>", "=?UTF-8?Q?after_the?= =?UTF-8?Q?_panic?=");
        Event(news.port(), {"comp.os"}, {"panic", "J\xC3\xB6rg"}, body);
        EXPECT_EQ(Run(), 0u);
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        std::vector<std::string> texts;
        for (const auto& r : records) texts.push_back(r.text.substr(2));
        auto report = [](const std::string& subject, const std::string& from) {
            return "The News Group Monitor Watch found the following article,\r\n  Subject : " +
                   subject + "\r\n  From    : " + from + "\r\n  Group   : comp.os";
        };
        const std::string zero =
            "zero\xEF\xBF\xBD"
            "byte panic";
        std::vector<std::string> expected = {
            report("kernel panic in Z\xC3\xBCrich", "J\xC3\xB6rg <j@x>"),
            report(zero, "Ann <ann@x>")};
        // The overview tells an article once for each phrase that matches.
        if (!body) expected.insert(expected.begin() + 1, expected[0]);
        if (!body) {
            // Told by what was kept of it (the record holds its start), and said to be cut.
            ASSERT_GT(texts.size(), 3u);
            EXPECT_EQ(texts[3].rfind(report("panic xxxxx", "").substr(0, 80), 0), 0u);
            expected.push_back(texts[3]);
            expected.push_back(
                "An error occured while watching the news group Watch.   The error message was : "
                "The overview line of article 4 <4.comp.os@x> in comp.os is " +
                std::to_string(huge.size() + 45) +
                " bytes long: only the first 65536 bytes of each of its fields were searched.");
        }
        expected.push_back(report("after the panic", "Dee <dee@x>"));
        EXPECT_EQ(texts, expected);
        std::filesystem::remove(kLogFileName);
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Watch"));
        key.DeleteValue("comp.os");
        key.DeleteValue("comp.os Xids");
    }
}

TEST_F(NewsMonitorTest, AStoredPlacePastTheLastArticleStartsAgainAtTheFirst) {
    // The group was reset or renumbered: what was stored is no place in it any more.
    for (bool body : {false, true}) {
        SCOPED_TRACE(body ? "article by article" : "overview");
        FakeNews news;
        Fill(news);
        RegKey key = Event(news.port(), {"comp.os"}, {"kernel"}, body);
        key.SetDword("comp.os", 5000);
        EXPECT_EQ(Run(), 0u);
        EXPECT_EQ(Told(), std::vector<std::string>{"Linux kernel news"});
        DWORD resume = 0;
        key.GetDword("comp.os", &resume);
        EXPECT_EQ(resume, 4u);
        key.DeleteValue("comp.os Xids");
    }
}

TEST_F(NewsMonitorTest, ALoginAskedForOverAPlainSessionIsNeverSentAndToldOnce) {
    FakeNews news;
    Fill(news);
    news.loginFirst = true;
    Root().SetString(kNewsUserName, "reader");
    Root().SetString(kNewsPassword, "secret");
    Event(news.port(), {"comp.os", "other.group"}, {"kernel"}, false);
    EXPECT_EQ(Run(), kNntpLoginNotSecure);
    auto told = Told();
    ASSERT_EQ(told.size(), 1u);
    EXPECT_NE(told[0].find("set NewsSecurity to 1 (STARTTLS) or 2 (TLS)"), std::string::npos);
    EXPECT_EQ(news.commands, std::vector<std::string>{"GROUP comp.os"});
    EXPECT_EQ(news.connections, 1);
}

}  // namespace

#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/ActivityLog.h"
#include "app/SettingsStore.h"
#include "fakes/ClientOwner.h"
#include "fakes/FakeHttpServer.h"
#include "fakes/WebServer.h"
#include "fixtures/Fixtures.h"
#include "fixtures/WatchList.h"
#include "monitors/WebMonitor.h"

namespace {

using namespace settings;

// Every case runs with one request at a time and with several: what a run tells and stores
// must not depend on it.
class WebMonitorTest : public SandboxTest, public ::testing::WithParamInterface<DWORD> {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        Root().SetDword(kWebParallelRequests, GetParam());
        monitor_ = std::make_unique<CWebMonitor>(log_);
        monitor_->SetRunWindow(&run_);
    }
    void TearDown() override {
        monitor_.reset();
        SandboxTest::TearDown();
    }
    void Event(const std::string& site, DWORD entire, DWORD email = 0) {
        WebMonitorRecord r;
        r.name = "Site";
        r.site = site;
        r.entireDomain = entire;
        r.notifyViaEmail = email;
        r.notifyEmailTo = "me@example.org";
        ASSERT_TRUE(CreateEventRecord(r));
    }
    uint32_t Run() {
        run_.done.clear();
        monitor_->Start("Site");
        EXPECT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(20)));
        return run_.done.empty() ? 0xFFFFFFFF : run_.done[0];
    }
    std::vector<std::string> Texts() { return LogRecordTexts(); }
    std::vector<LogRecord> Records() {
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        return records;
    }
    void Watch(const std::string& url) {
        RegKey key;
        ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Site") + "\\WatchedUrls"),
                  ERROR_SUCCESS);
        key.SetValue(url, REG_BINARY, Bytes(12, 0));
    }
    std::map<std::string, WatchedUrlRecord> Watched() { return ReadWatchList("Site"); }
    std::vector<std::string> Queued() {
        std::vector<std::string> files;
        if (!std::filesystem::exists("Forward")) return files;
        for (const auto& e : std::filesystem::directory_iterator("Forward"))
            files.push_back(ReadFileBytes(e.path().string()));
        return files;
    }

    FakeHttpServer web_;
    CActivityLog log_;
    RunStub run_;
    std::unique_ptr<CWebMonitor> monitor_;
    const std::string head_ = "The Web Watch Monitor Site found,\r\n\r\n";
};

TEST_P(WebMonitorTest, NewMissingUpdatedAndResizedDocuments) {
    web_.pages["/a.html"] = FakeHttpServer::Ok(
        "Last-Modified: Tue, 15 Nov 1994 08:12:31 GMT\r\nContent-Length: 10\r\n", "0123456789");
    web_.pages["/plain.txt"] = FakeHttpServer::Ok("", "no date, no size");
    Event(web_.Url("/a.html"), 0);
    {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Site") + "\\WatchedUrls");
        key.SetValue(web_.Url("/gone.html"), REG_BINARY, Bytes(12, 0));
        key.SetValue(web_.Url("/plain.txt"), REG_BINARY, Bytes(12, 0));
    }
    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0], head_ + "A new document at " + web_.Url("/a.html") + "\r\n");
    EXPECT_EQ(texts[1], head_ + "The document " + web_.Url("/gone.html") +
                            " is no longer available.\r\n\r\n");
    auto watched = Watched();
    EXPECT_EQ(watched[web_.Url("/a.html")].status, 200u);
    EXPECT_EQ(watched[web_.Url("/a.html")].lastModified, 784887151u);
    EXPECT_EQ(watched[web_.Url("/a.html")].contentLength, 10u);
    EXPECT_EQ(watched[web_.Url("/gone.html")].status, 404u);

    // Nothing changed: nothing is said.
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 3u);

    // Both date and size change: only the date is told, both are stored.
    web_.pages["/a.html"] = FakeHttpServer::Ok(
        "Last-Modified: Mon, 07 Dec 2026 19:35:00 GMT\r\nContent-Length: 12\r\n", "012345678901");
    web_.pages["/gone.html"] = FakeHttpServer::Ok("", "back");
    EXPECT_EQ(Run(), 0u);
    texts = Texts();
    ASSERT_EQ(texts.size(), 5u);
    EXPECT_EQ(texts[3], head_ + "The document " + web_.Url("/a.html") +
                            " was updated on Mon, 07 Dec 2026 19:35:00 GMT.\r\n\r\n");
    EXPECT_EQ(texts[4],
              head_ + "The document " + web_.Url("/gone.html") + " is now available.\r\n\r\n");
    watched = Watched();
    EXPECT_EQ(watched[web_.Url("/a.html")].lastModified, 1796672100u);
    EXPECT_EQ(watched[web_.Url("/a.html")].contentLength, 12u);

    // A size change alone is told as such.
    web_.pages["/a.html"] = FakeHttpServer::Ok(
        "Last-Modified: Mon, 07 Dec 2026 19:35:00 GMT\r\nContent-Length: 7\r\n", "0123456");
    Run();
    EXPECT_EQ(Texts().back(), head_ + "The document " + web_.Url("/a.html") +
                                  " has changed size, it is now 7 bytes.\r\n\r\n");
}

TEST_P(WebMonitorTest, TheCrawlAddsLinksInsideTheSiteOnly) {
    FakeHttpServer otherPort;
    otherPort.pages["/site/port.html"] = FakeHttpServer::Ok("", "x");
    // The last anchor starts 4090 bytes after the one before it, so that it straddles the
    // end of the block read after that one.
    web_.pages["/site/"] =
        FakeHttpServer::Ok("Content-Type: text/html\r\n",
                           "<html><A HREF=\"page1.html\">1</A>"
                           "<a href=\"sub/../page2.html#top\">2</a>"
                           "<a href=\"HTTP://127.0.0.1:" +
                               std::to_string(web_.port()) +
                               "/site/caps.html\">c</a>"
                               "<a href=\"http://other.host/site/x.html\">o</a>"
                               "<a href=\"/outside.html\">out</a>"
                               "<a href=\"ftp://127.0.0.1/site/file.zip\">f</a>"
                               "<a href=\"" +
                               otherPort.Url("/site/port.html") + "\">p</a>" +
                               std::string(4090, ' ') + "<a href=\"straddle.html\">s</a></html>");
    web_.pages["/site/page1.html"] = FakeHttpServer::Ok(
        "Content-Type: text/html; charset=utf-8\r\n", "<a href=\"never.html\">n</a>");
    web_.pages["/site/page2.html"] =
        FakeHttpServer::Ok("Content-Type: TEXT/HTML\r\n", "<a href=\"page3.html\">3</a>");
    web_.pages["/site/page3.html"] = FakeHttpServer::Ok("Content-Type: text/plain\r\n", "x");
    web_.pages["/site/straddle.html"] = FakeHttpServer::Ok("", "x");
    Event(web_.Url("/site/"), 1);

    Run();
    auto watched = Watched();
    std::set<std::string> names;
    for (const auto& [name, record] : watched) names.insert(name);
    const std::string base = web_.Url("/site/");
    // A scheme in capitals is the same scheme; a page whose type carries parameters (as
    // almost every site's does) is read like "TEXT/HTML".
    EXPECT_EQ(names, (std::set<std::string>{
                         base, base + "page1.html", base + "page2.html", base + "page3.html",
                         base + "straddle.html", base + "caps.html", base + "never.html",
                         "ftp://127.0.0.1/site/file.zip", otherPort.Url("/site/port.html")}));
    EXPECT_EQ(std::count(web_.requests.begin(), web_.requests.end(), "GET /site/page1.html"), 1);
    EXPECT_EQ(std::count(web_.requests.begin(), web_.requests.end(), "GET /site/page2.html"), 1);

    // The ftp link cannot be asked for: told once, marked, and the run went on past it.
    auto texts = Texts();
    int ftpErrors = 0;
    for (const auto& t : texts)
        ftpErrors += t.find("The link is not formed correctly.") != std::string::npos;
    EXPECT_EQ(ftpErrors, 1);
    EXPECT_EQ(watched["ftp://127.0.0.1/site/file.zip"].status, 0x84000005u);
    EXPECT_EQ(watched[otherPort.Url("/site/port.html")].status, 200u)
        << "documents after the ftp link were checked";
    EXPECT_EQ(watched[base + "straddle.html"].status, 200u);

    size_t before = Texts().size();
    Run();
    for (size_t i = before; i < Texts().size(); ++i)
        EXPECT_EQ(Texts()[i].find("The link is not formed correctly."), std::string::npos)
            << "the unusable link is quiet on later runs";
}

// The documents wget visits when it crawls url the way the monitor does (this host, this
// folder and below), or nothing when wget cannot be run.
std::set<std::string> WgetCrawl(const std::string& url, const std::string& workDir) {
    std::set<std::string> found;
    QProcess wget;
    wget.setWorkingDirectory(QString::fromStdString(workDir));
    wget.setProcessChannelMode(QProcess::MergedChannels);
    wget.start("wget",
               {"--no-config", "--no-proxy", "--spider", "-r", "-nv", "-l", "inf", "--no-parent",
                "-e", "robots=off", "--tries=1", "--timeout=30", QString::fromStdString(url)});
    if (!wget.waitForFinished(120000)) return found;
    const QString log = QString::fromUtf8(wget.readAll());
    // "URL:http://... [n/n] -> ..." for each document read, and after "Found N broken
    // links." one line for each that was not there.
    static const QRegularExpression visited(R"(URL: ?(\S+) )");
    for (auto m = visited.globalMatch(log); m.hasNext();)
        found.insert(m.next().captured(1).toStdString());
    const qsizetype broken = log.indexOf("broken link");
    if (broken >= 0)
        for (const QString& line : log.mid(broken).split('\n'))
            if (line.startsWith("http")) found.insert(line.trimmed().toStdString());
    return found;
}

TEST_P(WebMonitorTest, TheCrawlFindsWhatWgetFindsOnAPageOfRealWorldAnchors) {
    {
        QProcess probe;
        probe.start("wget", {"--version"});
        if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
            GTEST_SKIP() << "wget is not installed";
    }
    namespace fs = std::filesystem;
    const std::string root = Path("www");
    fs::create_directories(root + "/dir/sub");
    WebServer web(root, Path(""));
    if (web.kind() == WebServer::None) GTEST_SKIP() << "no web server: " << web.log();
    const std::string port = std::to_string(web.port());

    std::string page =
        "<!DOCTYPE html>\n<html><head><title>Links</title>\n"
        "<script>document.write('<a href=\"scripted.html\">s</a>');</script>\n"

        "</head><body>\n"
        "<!-- <a href=\"commented.html\">old</a> -->\n"
        "<a class=\"nav\" href=\"class.html\">class first</a>\n"
        "<a\n   href=\"newline.html\">line break after a</a>\n"
        "<a target=\"_blank\" rel=\"noopener\" href=\"target.html\">target and rel</a>\n"
        "<a href='single.html'>single quotes</a>\n"
        "<a href=bare.html>no quotes</a>\n"
        "<A HREF=\"UPPER.html\">upper case</A>\n"
        "<a href = \"spaced.html\" >spaces around =</a>\n"
        "<a href=\"query.html?a=1&amp;b=2\">query</a>\n"
        "<a href=\"?page=2\">this page, page 2</a>\n"
        "<a href=\"mailto:me@example.org\">mail</a> <a href=\"javascript:void(0)\">js</a>\n"
        "<a href=\"data:text/html,hi\">data</a> <a href=\"#top\">top</a> "
        "<a href=\"tel:+4412345\">call</a>\n"
        "<a href=\"fragment.html#part\">fragment</a>\n"
        "<a href=\"sub/../dotdot.html\">dot dot</a> <a href=\"../outside.html\">parent</a>\n"
        "<a href=\"/dir/absolute.html\">absolute path</a>\n"
        "<a href=\"http://127.0.0.1:" +
        port +
        "/dir/full.html\">full</a>\n"
        "<a href=\"//127.0.0.1:" +
        port +
        "/dir/scheme-relative.html\">scheme relative</a>\n"
        "<a href=\"http://other.invalid/dir/other.html\">other host</a>\n"
        "<map name=\"m\"><area shape=\"rect\" coords=\"0,0,9,9\" href=\"area.html\" alt=\"a\">"
        "</map>\n"
        "<a href=\"entity&#46;html\">numeric entity</a>\n"
        "<a title=\"a > b\" href=\"greater.html\">quoted &gt;</a>\n"
        "<a href=\"base.html\">a page with a base</a>\n"
        "<a href=\"missing.html\">gone</a>\n";
    // The next anchor straddles the end of the first block the monitor reads.
    page += std::string(8180 - page.size(), ' ');
    page += "<a href=\"straddle.html\">straddle</a>\n</body></html>\n";
    ASSERT_GT(page.size(), 8192u);
    std::ofstream(root + "/dir/index.html") << page;
    std::ofstream(root + "/dir/base.html")
        << "<html><head><base href=\"sub/\"></head><body><a href=\"based.html\">b</a>"
           "</body></html>";
    for (const char* name :
         {"scripted",        "commented", "class",  "newline",  "target",   "single",   "bare",
          "UPPER",           "spaced",    "query",  "fragment", "dotdot",   "absolute", "full",
          "scheme-relative", "area",      "entity", "greater",  "straddle", "sub/based"})
        std::ofstream(root + "/dir/" + name + ".html") << "<html>" << name << "</html>";
    std::ofstream(root + "/outside.html") << "out";

    const std::string site = web.Url("/dir/");
    std::set<std::string> wget = WgetCrawl(site, Path(""));
    ASSERT_TRUE(wget.count(site + "straddle.html")) << "wget did not run as expected";

    Event(site, 1);
    Run();
    std::set<std::string> crawled;
    for (const auto& [name, record] : Watched()) crawled.insert(name);
    // wget reads markup inside a script; a script's strings are code and name no document.
    ASSERT_EQ(wget.erase(site + "scripted.html"), 1u);
    EXPECT_EQ(crawled, wget);
}

TEST_P(WebMonitorTest, TheCrawlTakesHttpsLinksByTheSameRule) {
    int deadPort = 0;
    {
        FakeHttpServer gone;
        deadPort = gone.port();
    }
    const std::string secure = "https://127.0.0.1:" + std::to_string(deadPort);
    web_.pages["/site/"] = FakeHttpServer::Ok("Content-Type: text/html\r\n",
                                              "<a href=\"" + secure +
                                                  "/site/s.html\">s</a>"
                                                  "<a href=\"" +
                                                  secure +
                                                  "/site/./t/../u.html\">u</a>"
                                                  "<a href=\"HTTPS://127.0.0.1:" +
                                                  std::to_string(deadPort) +
                                                  "/site/caps.html\">c</a>"
                                                  "<a href=\"https://other.host/site/x.html\">o</a>"
                                                  "<a href=\"" +
                                                  secure + "/outside.html\">out</a>");
    Event(web_.Url("/site/"), 1);
    Root().SetDword(kConnectionAttempts, 0);
    EXPECT_EQ(Run(), 0u) << "another port of the host is not the site's server";
    std::set<std::string> names;
    for (const auto& [name, record] : Watched()) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{web_.Url("/site/"), secure + "/site/s.html",
                                            secure + "/site/u.html", secure + "/site/caps.html"}));
}

TEST_P(WebMonitorTest, ARedirectedDocumentIsWhatItsFinalAnswerSaid) {
    // The redirection's own header must not be taken for the document's.
    web_.pages["/old.html"] =
        "HTTP/1.0 301 Moved Permanently\r\nLocation: /new.html\r\n"
        "Last-Modified: Mon, 07 Dec 2026 19:35:00 GMT\r\nContent-Length: 0\r\n\r\n";
    web_.pages["/new.html"] = FakeHttpServer::Ok(
        "Last-Modified: Tue, 15 Nov 1994 08:12:31 GMT\r\nContent-Length: 10\r\n", "0123456789");
    web_.pages["/loop.html"] = "HTTP/1.0 308 Permanent Redirect\r\nLocation: /loop.html\r\n\r\n";
    Event(web_.Url("/old.html"), 0);
    Watch(web_.Url("/loop.html"));

    EXPECT_EQ(Run(), 0u) << "a loop is no failure of the site";
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], head_ + "A new document at " + web_.Url("/old.html") + "\r\n");
    EXPECT_EQ(texts[1],
              head_ + "The document " + web_.Url("/loop.html") + " has been moved.\r\n\r\n");
    auto watched = Watched();
    EXPECT_EQ(watched[web_.Url("/old.html")].status, 200u);
    EXPECT_EQ(watched[web_.Url("/old.html")].lastModified, 784887151u);
    EXPECT_EQ(watched[web_.Url("/old.html")].contentLength, 10u);
    EXPECT_EQ(watched[web_.Url("/loop.html")].status, 308u);

    // Following only 302, a 301 is a document no longer there.
    Root().SetDword(kFollowRedirects, 0);
    EXPECT_EQ(Run(), 0u);
    texts = Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[2],
              head_ + "The document " + web_.Url("/old.html") + " is no longer available.\r\n\r\n");
    EXPECT_EQ(Watched()[web_.Url("/old.html")].status, 301u);
}

TEST_P(WebMonitorTest, LinksOfARedirectedPageAreReadFromWhereItLanded) {
    web_.pages["/"] = "HTTP/1.0 301 Moved Permanently\r\nLocation: /docs/\r\n\r\n";
    web_.pages["/docs/"] = FakeHttpServer::Ok("Content-Type: text/html\r\nContent-Length: 22\r\n",
                                              "<a href=\"a.html\">a</a>");
    web_.pages["/docs/a.html"] = FakeHttpServer::Ok("Content-Length: 1\r\n", "a");
    Event(web_.Url("/"), 1);
    Run();
    auto watched = Watched();
    EXPECT_TRUE(watched.count(web_.Url("/docs/a.html")));
    EXPECT_FALSE(watched.count(web_.Url("/a.html")));
}

TEST_P(WebMonitorTest, ResultsGoIntoOneMailOnlyWhenSomethingChanged) {
    web_.pages["/a.html"] = FakeHttpServer::Ok("Content-Length: 3\r\n", "abc");
    web_.pages["/b.html"] = FakeHttpServer::Ok("Content-Length: 3\r\n", "abc");
    Event(web_.Url("/a.html"), 0, 1);
    {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Site") + "\\WatchedUrls");
        key.SetValue(web_.Url("/b.html"), REG_BINARY, Bytes(12, 0));
    }
    Run();
    auto queued = Queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_NE(queued[0].find("X-Rcpt-To: me@example.org\r\n"), std::string::npos);
    EXPECT_NE(queued[0].find("From: Site <me@example.org>\r\n"), std::string::npos);
    EXPECT_NE(queued[0].find("Subject: Results of Web Watch Site\r\n"), std::string::npos);
    EXPECT_NE(queued[0].find("A new document at " + web_.Url("/a.html")), std::string::npos);
    EXPECT_NE(queued[0].find("A new document at " + web_.Url("/b.html")), std::string::npos);

    Run();
    EXPECT_EQ(Queued().size(), 1u) << "no change, no mail";
}

TEST_P(WebMonitorTest, AHeaderThatGoesAwayIsQuotedAsEmpty) {
    const std::string date = "Last-Modified: Tue, 15 Nov 1994 08:12:31 GMT\r\n";
    web_.pages["/a.html"] = FakeHttpServer::Ok(date + "Content-Length: 10\r\n", "0123456789");
    Event(web_.Url("/a.html"), 0);
    Run();
    web_.pages["/a.html"] = FakeHttpServer::Ok(date, "0123456789");
    Run();
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], head_ + "The document " + web_.Url("/a.html") +
                            " has changed size, it is now  bytes.\r\n\r\n");
    EXPECT_EQ(Watched()[web_.Url("/a.html")].contentLength, 0u);
}

TEST_P(WebMonitorTest, AnEndlessSiteStopsGrowingAtTheDocumentBound) {
    // A calendar: every day links to the next one, with a new session id each time.
    int session = 0;
    web_.generate = [&session](const std::string& path) {
        int day = std::atoi(path.c_str() + 5);
        return FakeHttpServer::Ok("Content-Type: text/html\r\n",
                                  "<a href=\"/cal/" + std::to_string(day + 1) +
                                      "?sid=" + std::to_string(++session) + "\">next</a>");
    };
    Event(web_.Url("/cal/"), 1);
    {
        RegKey event;
        ASSERT_EQ(event.Open(RegKey::LocalMachine(), EventPath("Site")), ERROR_SUCCESS);
        event.SetDword(kMaxDocuments, 5);
    }
    EXPECT_EQ(Run(), 0u);
    auto watched = Watched();
    EXPECT_EQ(watched.size(), 5u);
    for (const auto& [name, record] : watched) EXPECT_EQ(record.status, 200u) << name;
    auto bounded = [&] {
        int n = 0;
        for (const auto& r : Records())
            if (r.icon == kIconError) {
                ++n;
                EXPECT_NE(r.text.find("limit of 5 watched documents"), std::string::npos) << r.text;
            }
        return n;
    };
    EXPECT_EQ(bounded(), 1);

    // Later runs still check every watched document, add none and say nothing more of it.
    web_.requests.clear();
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Watched().size(), 5u);
    EXPECT_EQ(std::count_if(web_.requests.begin(), web_.requests.end(),
                            [](const std::string& r) { return r.rfind("HEAD ", 0) == 0; }),
              5);
    EXPECT_EQ(bounded(), 1);
}

TEST_P(WebMonitorTest, OnlyTheSiteItselfFailingEndsTheRun) {
    int deadPort = 0;
    {
        FakeHttpServer gone;
        deadPort = gone.port();
    }
    const std::string dead = "http://127.0.0.1:" + std::to_string(deadPort) + "/cal.html";
    web_.pages["/a.html"] = FakeHttpServer::Ok("Content-Length: 1\r\n", "a");
    // A whole answer followed by a reset is an answer.
    web_.pages["/reset.html"] = FakeHttpServer::Ok("Content-Length: 1\r\n", "r");
    web_.resets.insert("/reset.html");
    web_.pages["/b.html"] = FakeHttpServer::Ok("Content-Length: 1\r\n", "b");
    Event(web_.Url("/a.html"), 0);
    Watch(dead);
    Watch(web_.Url("/reset.html"));
    Watch(web_.Url("/b.html"));

    EXPECT_EQ(Run(), 0u);
    auto watched = Watched();
    EXPECT_EQ(watched[dead].status, kHttpNoResponse);
    EXPECT_EQ(watched[web_.Url("/reset.html")].status, 200u);
    EXPECT_EQ(watched[web_.Url("/b.html")].status, 200u) << "the documents behind were checked";
    auto errors = [&] {
        std::vector<std::string> out;
        for (const auto& r : Records())
            if (r.icon == kIconError) out.push_back(r.text);
        return out;
    };
    ASSERT_EQ(errors().size(), 1u);
    EXPECT_NE(errors()[0].find("The Web Server 127.0.0.1 did not respond"), std::string::npos);

    // The dead link is not told again; the run still ends well.
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(errors().size(), 1u);

    // The site's own host and port failing still ends the run there: what the documents
    // behind it answered (asked at the same time or not) is neither told nor stored.
    web_.pages["/a.html"] = "HTTP/1.0 500 Broken\r\n\r\n";
    web_.pages.erase("/b.html");
    web_.requests.clear();
    EXPECT_EQ(Run(), 500u);
    if (GetParam() == 1) {
        EXPECT_EQ(web_.requests, std::vector<std::string>{"HEAD /a.html"});
    }
    EXPECT_EQ(Watched()[web_.Url("/b.html")].status, 200u);
    EXPECT_EQ(errors().size(), 2u);
}

TEST_P(WebMonitorTest, AServerErrorEndsTheRunAndCancelStopsIt) {
    web_.pages["/a.html"] = "HTTP/1.0 500 Broken\r\n\r\n";
    Event(web_.Url("/a.html"), 0);
    EXPECT_EQ(Run(), 500u);
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0].rfind("An error occured while watching the web site Site.   The error "
                               "message was : The Web Server 127.0.0.1 said:  HTTP/1.0 500 Broken",
                               0),
              0u);
    // The site's server asking us to wait is no answer about the document: it stays as it
    // was, and the documents behind it wait for the next run.
    web_.pages["/a.html"] = "HTTP/1.0 503 Busy\r\nRetry-After: 120\r\n\r\n";
    Watch(web_.Url("/b.html"));
    web_.pages["/b.html"] = FakeHttpServer::Ok("", "b");
    EXPECT_EQ(Run(), 503u);
    ASSERT_EQ(Texts().size(), 2u);
    EXPECT_EQ(Texts()[1],
              "An error occured while watching the web site Site.   The error message "
              "was : The document " +
                  web_.Url("/a.html") +
                  " could not be checked this time. The Web Server 127.0.0.1 said:  "
                  "HTTP/1.0 503 Busy (Retry-After: 120)");
    EXPECT_EQ(Watched()[web_.Url("/a.html")].status, 0u);
    EXPECT_EQ(Watched()[web_.Url("/b.html")].status, 0u);

    // A missing watch list is one error and the end of the run.
    RegKey::LocalMachine().DeleteKey(EventPath("Site") + "\\WatchedUrls");
    EXPECT_NE(Run(), 0u);
    EXPECT_EQ(Texts().size(), 3u);

    Event(web_.Url("/a.html"), 0);
    run_.done.clear();
    // The work file has no name from the start: a run killed here leaves nothing behind.
    std::string tmp = Path("tmp");
    std::filesystem::create_directory(tmp);
    const char* oldTmp = std::getenv("TMPDIR");
    std::string savedTmp = oldTmp ? oldTmp : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    monitor_->Start("Site");
    if (oldTmp)
        setenv("TMPDIR", savedTmp.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
    monitor_->Cancel(7);
    EXPECT_EQ(monitor_->line1(), "Done.");
    ASSERT_EQ(run_.done.size(), 0u);
    CWindow::PumpMessages();
    ASSERT_EQ(run_.done.size(), 1u);
    EXPECT_EQ(run_.done[0], 7u);
}

TEST_P(WebMonitorTest, ChecksThatFinishOutOfOrderAreToldInListOrder) {
    // The first pages answer last; what they link to joins the list behind the documents
    // that were there, in the order the one-after-the-other run finds it.
    const std::string html = "Content-Type: text/html\r\n";
    web_.pages["/s/"] =
        FakeHttpServer::Ok(html, "<a href=\"n1.html\">1</a><a href=\"n2.html\">2</a>");
    web_.delays["/s/"] = 300;
    web_.pages["/s/b.html"] =
        FakeHttpServer::Ok(html, "<a href=\"N2.html\">2</a><a href=\"n3.html\">3</a>");
    web_.delays["/s/b.html"] = 150;
    web_.pages["/s/c.html"] = FakeHttpServer::Ok("", "c");
    web_.pages["/s/n1.html"] = FakeHttpServer::Ok("", "1");
    web_.pages["/s/n2.html"] = FakeHttpServer::Ok("", "2");
    Event(web_.Url("/s/"), 1);
    Watch(web_.Url("/s/b.html"));
    Watch(web_.Url("/s/c.html"));

    EXPECT_EQ(Run(), 0u);
    std::vector<std::string> expected;
    for (const char* page : {"", "b.html", "c.html", "n1.html", "n2.html"})
        expected.push_back(head_ + "A new document at " + web_.Url("/s/" + std::string(page)) +
                           "\r\n");
    expected.push_back(head_ + "The document " + web_.Url("/s/n3.html") +
                       " is no longer available.\r\n\r\n");
    EXPECT_EQ(Texts(), expected);

    // The list keeps the order the documents were found in; "N2" is the same name as "n2".
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), EventPath("Site") + "\\WatchedUrls"), ERROR_SUCCESS);
    std::vector<std::string> names;
    std::string name;
    for (DWORD i = 0; key.EnumValue(i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    std::vector<std::string> order;
    for (const char* page : {"", "b.html", "c.html", "n1.html", "n2.html", "n3.html"})
        order.push_back(web_.Url("/s/" + std::string(page)));
    EXPECT_EQ(names, order);
}

TEST_P(WebMonitorTest, CancelStopsEveryRequestUnderWayAndTellsNothingOfThem) {
    for (const char* page : {"/s/", "/s/1.html", "/s/2.html", "/s/3.html", "/s/4.html"}) {
        web_.pages[page] = FakeHttpServer::Ok("", "x");
        web_.delays[page] = 5000;
    }
    Event(web_.Url("/s/"), 0);
    for (const char* page : {"/s/1.html", "/s/2.html", "/s/3.html", "/s/4.html"})
        Watch(web_.Url(page));
    run_.done.clear();
    monitor_->Start("Site");
    // As many documents are asked at once as the setting allows, and no more.
    ASSERT_TRUE(
        waitFor([&] { return web_.requests.size() == GetParam(); }, std::chrono::seconds(10)));
    EXPECT_EQ(web_.open(), static_cast<int>(GetParam()));
    monitor_->Cancel(7);
    EXPECT_TRUE(waitFor([&] { return web_.open() == 0; }, std::chrono::seconds(10)))
        << "every connection closed at once";
    CWindow::PumpMessages();
    ASSERT_EQ(run_.done, std::vector<uint32_t>{7u});
    EXPECT_TRUE(Texts().empty());
    for (const auto& [name, record] : Watched()) EXPECT_EQ(record.status, 0u) << name;
    EXPECT_EQ(web_.requests.size(), GetParam());
}

// What ordinary servers of today answer is told for the document alone, and the documents
// behind it are checked: a server that refuses HEAD is asked with GET, a redirection to a
// place that is no web address is the document's answer, a busy server elsewhere leaves the
// document as it was.
TEST_P(WebMonitorTest, EachDocumentIsToldByWhatItsServerAnsweredAndTheRestGoOn) {
    FakeHttpServer elsewhere;
    const std::string dated =
        "Last-Modified: Tue, 15 Nov 1994 08:12:31 GMT\r\nContent-Length: 2\r\n";
    struct Case {
        std::string url;
        uint32_t status;    // stored after the first run
        std::string error;  // the error record it gives, if any
        std::string told;   // the start of what it tells
    };
    web_.headPages["/head405"] = "HTTP/1.0 405 Method Not Allowed\r\nAllow: GET\r\n\r\n";
    web_.headPages["/head501"] = "HTTP/1.0 501 Not Implemented\r\n\r\n";
    web_.pages["/head405"] = web_.pages["/head501"] = FakeHttpServer::Ok(dated, "ok");
    web_.pages["/mail"] = "HTTP/1.0 302 Found\r\nLocation: mailto:webmaster@example.org\r\n\r\n";
    web_.pages["/ftp"] = "HTTP/1.0 301 Moved\r\nLocation: FTP://127.0.0.1/f.zip\r\n\r\n";
    elsewhere.pages["/busy"] = "HTTP/1.0 429 Too Many Requests\r\nRetry-After: 60\r\n\r\n";
    web_.pages["/last"] = FakeHttpServer::Ok("", "x");
    const Case cases[] = {
        {web_.Url("/head405"), 200, "", "A new document at "},
        {web_.Url("/head501"), 200, "", "A new document at "},
        {web_.Url("/mail"), 302,
         "The Web Server 127.0.0.1 redirects " + web_.Url("/mail") +
             " to mailto:webmaster@example.org, which is not a web address; it is not followed.",
         "The document " + web_.Url("/mail") + " has been moved."},
        {web_.Url("/ftp"), 301,
         "The Web Server 127.0.0.1 redirects " + web_.Url("/ftp") +
             " to FTP://127.0.0.1/f.zip, which is not a web address; it is not followed.",
         "The document " + web_.Url("/ftp") + " has been moved."},
        {elsewhere.Url("/busy"), 0,
         "The document " + elsewhere.Url("/busy") +
             " could not be checked this time. The Web Server 127.0.0.1 said:  HTTP/1.0 429 Too "
             "Many Requests (Retry-After: 60)",
         ""},
        {web_.Url("/last"), 200, "", "A new document at "},
    };
    Event(cases[0].url, 0);
    for (const Case& c : cases) Watch(c.url);

    EXPECT_EQ(Run(), 0u);
    auto watched = Watched();
    std::vector<std::string> errors, told;
    const std::string errorHead =
        "An error occured while watching the web site Site.   The error message was : ";
    for (const auto& t : Texts()) (t.rfind(errorHead, 0) == 0 ? errors : told).push_back(t);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(watched[c.url].status, c.status);
        size_t tellings = std::count_if(told.begin(), told.end(), [&](const std::string& t) {
            return t.find(c.url) != std::string::npos;
        });
        EXPECT_EQ(tellings, c.told.empty() ? 0u : 1u);
        if (!c.told.empty()) {
            auto it = std::find_if(told.begin(), told.end(), [&](const std::string& t) {
                return t.find(c.url) != std::string::npos;
            });
            if (it != told.end()) {
                EXPECT_EQ(it->rfind(head_ + c.told, 0), 0u) << *it;
            }
        }
        EXPECT_EQ(std::count(errors.begin(), errors.end(), errorHead + c.error),
                  c.error.empty() ? 0 : 1);
    }
    EXPECT_EQ(errors.size(), 3u) << ::testing::PrintToString(errors);
    EXPECT_EQ(watched[web_.Url("/head405")].lastModified, 784887151u) << "the GET's header counts";

    // Next run: the redirections are not told again, and the busy document, now there, is
    // new (it never was "no longer available").
    elsewhere.pages["/busy"] = FakeHttpServer::Ok("", "x");
    size_t before = Texts().size();
    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), before + 1);
    EXPECT_EQ(texts.back(), head_ + "A new document at " + elsewhere.Url("/busy") + "\r\n");
}

// A crawl reads the pages of today: XHTML, a page whose server refuses HEAD (its links are
// read from the one GET), and links too long to watch are told once, not dropped unseen.
TEST_P(WebMonitorTest, TheCrawlReadsTodaysPagesAndTellsLinksItCannotWatch) {
    const std::string longA = "/site/" + std::string(2100, 'a') + ".html";
    const std::string longB = "/site/" + std::string(2100, 'b') + ".html";
    web_.headPages["/site/"] = "HTTP/1.0 405 Method Not Allowed\r\n\r\n";
    web_.pages["/site/"] = FakeHttpServer::Ok(
        "Content-Type: application/XHTML+xml; charset=utf-8\r\n",
        "<a href=\"a.html\">a</a><a href=\"" + longA + "\">l</a><a href=\"" + longB + "\">m</a>");
    web_.pages["/site/a.html"] =
        FakeHttpServer::Ok("Content-Type: text/html\r\n", "<a href=\"" + longA + "\">again</a>");
    Event(web_.Url("/site/"), 1);
    EXPECT_EQ(Run(), 0u);
    std::set<std::string> names;
    for (const auto& [name, record] : Watched()) names.insert(name);
    EXPECT_EQ(names, (std::set<std::string>{web_.Url("/site/"), web_.Url("/site/a.html")}));
    EXPECT_EQ(std::count(web_.requests.begin(), web_.requests.end(), "GET /site/"), 1);
    std::vector<std::string> errors;
    for (const auto& r : Records())
        if (r.icon == kIconError) errors.push_back(r.text);
    ASSERT_EQ(errors.size(), 1u) << "told once in a run: " << ::testing::PrintToString(Texts());
    EXPECT_NE(errors[0].find("The page " + web_.Url("/site/") +
                             " links to 2 document(s) of the site whose address is longer than "
                             "2048 characters, which are not watched ("),
              std::string::npos)
        << errors[0];
}

INSTANTIATE_TEST_SUITE_P(OneAndFour, WebMonitorTest, ::testing::Values(1u, 4u));

}  // namespace

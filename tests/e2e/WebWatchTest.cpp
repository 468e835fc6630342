// The web site monitor from end to end: a generated site served by nginx on 127.0.0.1, an
// SMTP sink, the settings written with quorvane-reg and runs of `quorvane --run`.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/ActivityLog.h"
#include "fakes/FakeSmtpServer.h"
#include "fakes/ProgramRun.h"
#include "fakes/SecureSmtpServer.h"
#include "fakes/SmtpSink.h"
#include "fakes/TestCa.h"
#include "fakes/WebServer.h"
#include "fixtures/Fixtures.h"
#include "fixtures/WatchList.h"
#include "monitors/WebMonitor.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPages = 55;
const char* kKey = "HKLM\\SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion";

// Both cases run with one request at a time and with several.
class WebWatchTest : public SandboxTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        MakeSite();
        web_ = std::make_unique<WebServer>(Path("site"), Path(""),
                                           "    location = /old { return 302 /docs/new.html; }");
        sink_ = std::make_unique<SmtpSink>(Path("maildir"));
    }
    void TearDown() override {
        sink_.reset();
        web_.reset();
        SandboxTest::TearDown();
    }

    std::string Page(int i) const {
        char name[32];
        std::snprintf(name, sizeof name, "/docs/page%02d.html", i);
        return name;
    }
    // index.html links to page 1; page i links on to page i + 1 in one of four ways, and to
    // places outside the site, an ftp file, a missing page and a redirection.
    void MakeSite() {
        fs::create_directories(Path("site/docs"));
        std::ofstream(Path("site/index.html"))
            << "<html><body><a href=\"docs/page01.html\">start</a>"
               "</body></html>\n";
        for (int i = 1; i <= kPages; ++i) {
            std::string next = i < kPages ? Page(i + 1) : std::string();
            std::string href;
            if (!next.empty()) {
                switch (i % 4) {
                    case 0:
                        href = next.substr(6);
                        break;  // "pageNN.html"
                    case 1:
                        href = "../docs/" + next.substr(6);
                        break;  // ".."
                    case 2:
                        href = next;
                        break;  // "/docs/..."
                    default:
                        href = "http://127.0.0.1:PORT" + next;
                        break;  // absolute
                }
            }
            std::ofstream page(Path("site") + Page(i));
            page << "<html><head><title>Page " << i << "</title></head><body>\n";
            if (!href.empty()) page << "<p><a href=\"" << href << "\">next</a></p>\n";
            page << "<p><A HREF=\"http://elsewhere.example/docs/x.html\">away</A> "
                    "<a href=\"ftp://127.0.0.1/docs/file.zip\">file</a> "
                    "<a href=\"missing.html\">gone</a> <a href=\"/old\">moved</a></p>\n"
                 << std::string(static_cast<size_t>(i) * 37, 'x') << "\n</body></html>\n";
        }
        std::ofstream(Path("site/docs/new.html")) << "<html>the new place</html>\n";
    }
    void FixAbsoluteLinks(const std::string& scheme = "http") {
        // The port is known only once the server runs.
        for (int i = 1; i <= kPages; ++i) {
            std::string text = ReadFileBytes(Path("site") + Page(i));
            size_t at = text.find("http://127.0.0.1:PORT");
            if (at == std::string::npos) continue;
            text.replace(at, 21, scheme + "://127.0.0.1:" + std::to_string(web_->port()));
            std::ofstream(Path("site") + Page(i), std::ios::trunc) << text;
        }
    }

    int Reg(const QStringList& args) { return ProgramRun(Path("r.db"), Path("data")).Reg(args); }
    void Configure(const std::string& scheme = "http", int smtpPort = 0) {
        const std::string site = scheme + "://127.0.0.1:" + std::to_string(web_->port()) + "/";
        const QString root = kKey;
        const QString monitor = root + "\\Example Site";
        std::vector<QStringList> sets = {
            {root, "SmtpServer", "REG_SZ",
             QString("127.0.0.1:%1").arg(smtpPort ? smtpPort : sink_->port())},
            {root, "HostName", "REG_SZ", "quorvane.test"},
            {root, "MyName", "REG_SZ", "quorvane@quorvane.test"},
            {root, "DialUpProgram", "REG_SZ", "/nonexistent/nmcli"},
            {root, "WebParallelRequests", "REG_DWORD", QString::number(GetParam())},
            {root + "\\Nightly", "Type", "REG_DWORD", "1"},
            {root + "\\Nightly", "Enabled", "REG_DWORD", "1"},
            {root + "\\Nightly", "Interval", "REG_DWORD", "1440"},
            {root + "\\Nightly", "Days", "REG_DWORD", "0x7f"},
            {root + "\\Nightly", "Hours", "REG_DWORD", "0x1"},
            {monitor, "Type", "REG_DWORD", "4"},
            {monitor, "ScheduledEvent", "REG_SZ", "Nightly"},
            {monitor, "Site", "REG_SZ", QString::fromStdString(site)},
            {monitor, "EntireDomain", "REG_DWORD", "1"},
            {monitor, "NotifyViaWindows", "REG_DWORD", "1"},
            {monitor, "NotifyViaEmail", "REG_DWORD", "1"},
            {monitor, "NotifyEmailTo", "REG_SZ", "me@example.org"},
            {monitor + "\\WatchedUrls", QString::fromStdString(site), "REG_BINARY",
             "000000000000000000000000"},
        };
        for (const auto& s : sets)
            ASSERT_EQ(Reg(QStringList{"set"} + s), 0) << s.join(" ").toStdString();
    }
    std::vector<std::string> RunOnce() {
        return ProgramRun(Path("r.db"), Path("data")).RunOnce("Nightly");
    }
    // The result e-mails waiting in the queue for a run to send them.
    size_t QueuedMail() {
        size_t n = 0;
        if (fs::exists(Path("data/Forward")))
            for (const auto& e : fs::directory_iterator(Path("data/Forward")))
                n += e.path().extension() == ".Fwd";
        return n;
    }
    std::map<std::string, WatchedUrlRecord> Watched() {
        // The programs wrote into their own store file; read it, then go back to the test's.
        Registry::SetCurrent(Registry::Open(Path("r.db"), nullptr));
        auto out = ReadWatchList("Example Site");
        Registry::SetCurrent(store_);
        return out;
    }

    std::unique_ptr<WebServer> web_;
    std::unique_ptr<SmtpSink> sink_;
};

TEST_P(WebWatchTest, AWholeSiteIsFoundOnceAndChangesAreToldExactly) {
    if (web_->kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx: " << web_->log();
    FixAbsoluteLinks();
    Configure();
    const std::string base = "http://127.0.0.1:" + std::to_string(web_->port());

    // First run: every page is new.
    auto records = RunOnce();
    std::set<std::string> found;
    int missing = 0, ftp = 0;
    for (const auto& r : records) {
        size_t at = r.find("A new document at ");
        if (at != std::string::npos) found.insert(r.substr(at + 18, r.find("\r\n", at) - at - 18));
        missing += r.find(base + "/docs/missing.html is no longer available.") != std::string::npos;
        ftp += r.find("The link is not formed correctly.") != std::string::npos;
    }
    std::set<std::string> expected = {base + "/", base + "/old"};
    for (int i = 1; i <= kPages; ++i) expected.insert(base + Page(i));
    EXPECT_EQ(found, expected);
    EXPECT_EQ(missing, 1);
    EXPECT_EQ(ftp, 1);
    EXPECT_EQ(records.size(), expected.size() + 2);

    auto watched = Watched();
    EXPECT_EQ(watched.size(), expected.size() + 2);  // the pages, the missing one, the ftp file
    EXPECT_FALSE(watched.count("http://elsewhere.example/docs/x.html"));
    struct stat st {};
    ASSERT_EQ(stat((Path("site") + Page(7)).c_str(), &st), 0);
    EXPECT_EQ(watched[base + Page(7)].status, 200u);
    EXPECT_EQ(watched[base + Page(7)].contentLength, static_cast<uint32_t>(st.st_size));
    EXPECT_EQ(watched[base + Page(7)].lastModified, static_cast<uint32_t>(st.st_mtime));
    EXPECT_EQ(watched[base + "/docs/missing.html"].status, 404u);

    ASSERT_TRUE(waitFor([&] { return sink_->Messages().size() == 1; }, std::chrono::seconds(10)));
    std::string mail = sink_->Messages()[0];
    EXPECT_NE(mail.find("Subject: Results of Web Watch Example Site"), std::string::npos);
    EXPECT_NE(mail.find("A new document at " + base + Page(kPages)), std::string::npos);

    // Second run: nothing to tell, nothing to send. The run is over, and a run keeps a
    // message queued until the sink has taken it in, so nothing more can come.
    EXPECT_TRUE(RunOnce().empty());
    EXPECT_EQ(sink_->Messages().size(), 1u);
    EXPECT_EQ(QueuedMail(), 0u);

    // One page gets a new time, another goes away.
    timespec later[2] = {{st.st_mtime + 3600, 0}, {st.st_mtime + 3600, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (Path("site") + Page(7)).c_str(), later, 0), 0);
    fs::remove(Path("site") + Page(20));
    records = RunOnce();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].find("The document " + base + Page(7) + " was updated on "),
              std::string::npos)
        << records[0];
    EXPECT_NE(records[1].find("The document " + base + Page(20) + " is no longer available."),
              std::string::npos)
        << records[1];
    ASSERT_TRUE(waitFor([&] { return sink_->Messages().size() == 2; }, std::chrono::seconds(10)));
}

// The same site over HTTPS, with a certificate from the test's own authority, and the result
// mailed through a server that takes mail only over STARTTLS after a login.
TEST_P(WebWatchTest, AWholeSecureSiteIsFoundOnceAndTheResultGoesOutAfterALogin) {
    fs::create_directories(Path("ca"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("site", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    fs::create_directories(Path("tls-web"));
    web_ = std::make_unique<WebServer>(Path("site"), Path("tls-web"),
                                       "    location = /old { return 302 /docs/new.html; }",
                                       WebServer::Tls{issued.cert, issued.key});
    if (web_->kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx: " << web_->log();
    fs::create_directories(Path("tls-smtp"));
    SecureSmtpServer::Options options;
    options.cert = issued.cert;
    options.key = issued.key;
    SecureSmtpServer smtp(Path("tls-smtp"), options);
    ASSERT_NE(smtp.port(), 0) << smtp.error();
    FixAbsoluteLinks("https");
    Configure("https", smtp.port());
    const QString root = kKey;
    for (const QStringList& set : std::vector<QStringList>{
             {root, "TlsCaFile", "REG_SZ", QString::fromStdString(ca.caFile())},
             {root, "SmtpSecurity", "REG_DWORD", "1"},
             {root, "SmtpUserName", "REG_SZ", QString::fromStdString(options.user)},
             {root, "SmtpPassword", "REG_SZ", QString::fromStdString(options.password)}})
        ASSERT_EQ(Reg(QStringList{"set"} + set), 0) << set.join(" ").toStdString();
    const std::string base = "https://127.0.0.1:" + std::to_string(web_->port());

    auto records = RunOnce();
    std::multiset<std::string> found;
    for (const auto& r : records) {
        size_t at = r.find("A new document at ");
        if (at != std::string::npos) found.insert(r.substr(at + 18, r.find("\r\n", at) - at - 18));
    }
    std::multiset<std::string> expected = {base + "/", base + "/old"};
    for (int i = 1; i <= kPages; ++i) expected.insert(base + Page(i));
    EXPECT_EQ(found, expected) << "every page once";
    auto watched = Watched();
    EXPECT_EQ(watched[base + Page(7)].status, 200u);
    EXPECT_EQ(watched[base + "/docs/missing.html"].status, 404u);

    ASSERT_TRUE(waitFor([&] { return smtp.Messages().size() == 1; }, std::chrono::seconds(20)))
        << smtp.Logins();
    EXPECT_NE(smtp.Messages()[0].find("A new document at " + base + Page(kPages)),
              std::string::npos);
    EXPECT_EQ(smtp.Logins(), "PLAIN ok\n");
    EXPECT_EQ(QueuedMail(), 0u);
    EXPECT_TRUE(RunOnce().empty());
    EXPECT_EQ(smtp.Messages().size(), 1u);
}

// A run killed at any moment: each document it told is in the store with every link its
// page added, or (the one being told at the kill) not at all; the next run tells the rest.
TEST_P(WebWatchTest, ARunKilledAtAnyMomentLosesAtMostTheDocumentItWasTelling) {
    if (web_->kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx: " << web_->log();
    FixAbsoluteLinks();
    const std::string base = "http://127.0.0.1:" + std::to_string(web_->port());
    for (size_t killAt : {3u, 17u, 40u}) {
        SCOPED_TRACE("killed after " + std::to_string(killAt) + " records");
        fs::remove_all(Path("data"));
        fs::remove(Path("r.db"));
        fs::remove(Path("r.db-wal"));
        fs::remove(Path("r.db-shm"));
        Configure();
        const std::string log = Path("data") + "/Quorvane.log";
        QProcess run;
        run.start(QUORVANE_BIN, {"--data-dir", QString::fromStdString(Path("data")), "--registry",
                                 QString::fromStdString(Path("r.db")), "--run", "Nightly"});
        ASSERT_TRUE(run.waitForStarted(10000));
        std::vector<LogRecord> told;
        waitFor(
            [&] {
                told.clear();
                ReadLogFile(log, &told, nullptr);
                return told.size() >= killAt || run.state() == QProcess::NotRunning;
            },
            std::chrono::seconds(60));
        ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
        run.waitForFinished(10000);
        told.clear();
        ReadLogFile(log, &told, nullptr);

        auto watched = Watched();
        ASSERT_FALSE(watched.empty()) << "the store still opens and holds the list";
        // Each page stored as seen was stored together with the link to the next page.
        for (int i = 1; i < kPages; ++i) {
            if (watched.count(base + Page(i)) && watched[base + Page(i)].status == 200) {
                EXPECT_TRUE(watched.count(base + Page(i + 1))) << Page(i);
            }
        }
        std::multiset<std::string> news;
        auto collect = [&](const std::string& text) {
            size_t at = text.find("A new document at ");
            if (at != std::string::npos)
                news.insert(text.substr(at + 18, text.find("\r\n", at) - at - 18));
        };
        for (const auto& r : told) collect(r.text);
        for (const auto& text : RunOnce()) collect(text);
        std::set<std::string> expected = {base + "/", base + "/old"};
        for (int i = 1; i <= kPages; ++i) expected.insert(base + Page(i));
        EXPECT_EQ(std::set<std::string>(news.begin(), news.end()), expected);
        EXPECT_LE(news.size(), expected.size() + 1) << "at most one document told twice";
    }
}

INSTANTIATE_TEST_SUITE_P(OneAndFour, WebWatchTest, ::testing::Values(1, 4));

}  // namespace

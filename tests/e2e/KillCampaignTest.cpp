// Runs of `quorvane --run` killed with SIGKILL at random moments, against a web site served
// by nginx, a mailbox in Dovecot and a news group in INN, with an SMTP sink for the forwards
// and result e-mails. Between runs every source changes, so that each run has something to
// tell. After every kill the store, the log and the mail queue must be usable as they stand;
// at the end every change must have been told, and told once.
//
// A record written to the log just before a kill, whose state the run had not stored yet, is
// told again by the next run that gets that far; so is a message the SMTP server took just
// before a kill, before the client had its answer. Such a copy is counted apart ("told again
// after a kill") and allowed only when the run that told it first and every run up to the
// copy were killed. Any other copy, and anything never told, fails the test.
//
// QUORVANE_KILLS sets the number of kills (100 by default), and
// QUORVANE_KILL_SEED the random moments, to repeat a campaign.

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "app/ActivityLog.h"
#include "fakes/Dovecot.h"
#include "fakes/FakeSmtpServer.h"
#include "fakes/Inn.h"
#include "fakes/ProgramRun.h"
#include "fakes/TestCa.h"
#include "fakes/WebServer.h"
#include "fixtures/Fixtures.h"
#include "fixtures/WatchList.h"
#include "platform/Window.h"

namespace {

namespace fs = std::filesystem;

constexpr int kPages = 30;
const char* kKey = "HKLM\\SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion";
const char* kGroup = "local.kill";

int EnvInt(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v && *v ? std::atoi(v) : fallback;
}

// The text from the first `from` at or behind *at up to the next line end (or the end);
// *at moves past it. False when there is no `from`.
bool Field(const std::string& text, const std::string& from, size_t* at, std::string* out) {
    size_t p = text.find(from, *at);
    if (p == std::string::npos) return false;
    p += from.size();
    size_t end = text.find("\r\n", p);
    *out = text.substr(p, end == std::string::npos ? std::string::npos : end - p);
    *at = end == std::string::npos ? text.size() : end;
    return true;
}

// Every run that told one change, in order.
using Tellings = std::map<std::string, std::vector<int>>;

struct Tally {
    int lost = 0, duplicated = 0, toldAgainAfterKill = 0;
};

class KillCampaignTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        fs::create_directories(Path("site/docs"));
        std::ofstream index(Path("site/index.html"));
        index << "<html><body>\n";
        for (int i = 1; i <= kPages; ++i) {
            index << "<a href=\"" << Page(i) << "\">" << i << "</a>\n";
            std::ofstream(Path("site") + Page(i))
                << "<html><body><p>page " << i << "</p><a href=\"/\">home</a>"
                << (i < kPages ? "<a href=\"" + Page(i + 1) + "\">next</a>" : std::string())
                << "</body></html>\n";
        }
        index << "</body></html>\n";
        index.close();
        web_ = std::make_unique<WebServer>(Path("site"), Path(""));
        sink_ = std::make_unique<FakeSmtpServer>();
    }
    void TearDown() override {
        sink_.reset();
        web_.reset();
        SandboxTest::TearDown();
    }

    static std::string Page(int i) {
        char name[32];
        std::snprintf(name, sizeof name, "/docs/page%02d.html", i);
        return name;
    }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(web_->port()); }

    void Configure(int pop3Port, int nntpPort) {
        const QString root = kKey;
        const QString site = root + "\\Site", box = root + "\\Mailbox", news = root + "\\News";
        const QString url = QString::fromStdString(Base() + "/");
        std::vector<QStringList> sets = {
            {root, "SmtpServer", "REG_SZ", QString("127.0.0.1:%1").arg(sink_->port())},
            {root, "HostName", "REG_SZ", "quorvane.test"},
            {root, "MyName", "REG_SZ", "quorvane@quorvane.test"},
            {root, "DialUpProgram", "REG_SZ", "/nonexistent/nmcli"},
            {root, "NewsServer", "REG_SZ", QString("127.0.0.1:%1").arg(nntpPort)},
            {root, "WebParallelRequests", "REG_DWORD", "2"},
            {root + "\\Nightly", "Type", "REG_DWORD", "1"},
            {root + "\\Nightly", "Enabled", "REG_DWORD", "1"},
            {site, "Type", "REG_DWORD", "4"},
            {site, "ScheduledEvent", "REG_SZ", "Nightly"},
            {site, "Site", "REG_SZ", url},
            {site, "EntireDomain", "REG_DWORD", "1"},
            {site, "NotifyViaWindows", "REG_DWORD", "1"},
            {site, "NotifyViaEmail", "REG_DWORD", "1"},
            {site, "NotifyEmailTo", "REG_SZ", "me@example.org"},
            {site + "\\WatchedUrls", url, "REG_BINARY", "000000000000000000000000"},
            {box, "Type", "REG_DWORD", "3"},
            {box, "ScheduledEvent", "REG_SZ", "Nightly"},
            {box, "PopHost", "REG_SZ", QString("127.0.0.1:%1").arg(pop3Port)},
            {box, "PopUserName", "REG_SZ", QString::fromStdString(dovecot_.user)},
            {box, "PopPassword", "REG_SZ", QString::fromStdString(dovecot_.password)},
            {box, "ForwardMail", "REG_DWORD", "1"},
            {box, "ForwardTo", "REG_SZ", "fw@example.org"},
            {box, "NotifyViaWindows", "REG_DWORD", "1"},
            {news, "Type", "REG_DWORD", "2"},
            {news, "ScheduledEvent", "REG_SZ", "Nightly"},
            {news, "NewsGroups", "REG_MULTI_SZ", kGroup},
            {news, "Keywords", "REG_MULTI_SZ", "kernel"},
            {news, "SearchSubject", "REG_DWORD", "1"},
            {news, "NotifyViaWindows", "REG_DWORD", "1"},
            {news, "NotifyViaEmail", "REG_DWORD", "1"},
            {news, "NotifyEmailTo", "REG_SZ", "news@example.org"},
        };
        ASSERT_TRUE(ProgramRun(Path("r.db"), Path("data")).Set(sets));
    }

    // One change of each kind: a page gets a new time, a message comes, a matching and an
    // unmatched article are posted.
    void Change(int step) {
        int page = 1 + step % kPages;
        timespec when[2] = {{touchBase_ + step * 3600, 0}, {touchBase_ + step * 3600, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (Path("site") + Page(page)).c_str(), when, 0), 0);
        touches_.push_back({Base() + Page(page), static_cast<int>(runs_)});
        Deliver("m" + std::to_string(step));
        Post("a" + std::to_string(step), "kernel item " + std::to_string(step));
        Post("b" + std::to_string(step), "other item " + std::to_string(step));
        matching_.insert("kernel item " + std::to_string(step));
    }
    // A message whose body is about bodyBytes long (a line when 0).
    void Deliver(const std::string& tag, size_t bodyBytes = 0) {
        std::string body = "body of " + tag + "\r\n";
        while (body.size() < bodyBytes)
            body += std::string(70, static_cast<char>('a' + body.size() % 26)) + "\r\n";
        dovecot_.AddMessage("From: Ann <ann@x.test>\r\nTo: me@x.test\r\nSubject: mail " + tag +
                            "\r\nMessage-Id: <" + tag + "@mail.test>\r\n\r\n" + body);
        delivered_.push_back(tag);
    }
    void Post(const std::string& tag, const std::string& subject) {
        ASSERT_TRUE(inn_.Post(
            "From: Joe <joe@quorvane.test>\r\nNewsgroups: " + std::string(kGroup) +
            "\r\nSubject: " + subject + "\r\nMessage-ID: <" + tag + "@news.test>\r\n\r\ntext\r\n"))
            << inn_.error();
    }

    // One run, killed delay after its start unless it has ended by then. True when killed.
    // sharp: the kill comes from a thread of its own at that moment, not when this loop
    // next looks, which is most often just after the sink here has taken something.
    bool Run(std::chrono::microseconds delay, qint64* tookMs = nullptr, bool sharp = false) {
        QProcess run;
        run.start(QUORVANE_BIN, {"--data-dir", QString::fromStdString(Path("data")), "--registry",
                                 QString::fromStdString(Path("r.db")), "--run", "Nightly"});
        EXPECT_TRUE(run.waitForStarted(10000));
        QElapsedTimer clock;
        clock.start();
        std::thread killer;
        std::mutex mutex;
        std::condition_variable ended;
        bool over = false;
        if (sharp) {
            // A handle on this very process: a number the system gave to another by then
            // is never hit.
            const int handle =
                static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(run.processId()), 0));
            EXPECT_GE(handle, 0);
            killer = std::thread([&, handle] {
                std::unique_lock lock(mutex);
                if (!ended.wait_for(lock, delay, [&] { return over; }))
                    ::syscall(SYS_pidfd_send_signal, handle, SIGKILL, nullptr, 0);
                ::close(handle);
            });
        }
        // The loop keeps turning, so that the sink in this process takes the mail.
        auto done = [&] {
            return run.state() == QProcess::NotRunning ||
                   clock.nsecsElapsed() / 1000 >= static_cast<qint64>(delay.count());
        };
        const auto limit =
            std::chrono::duration_cast<std::chrono::milliseconds>(delay) + std::chrono::seconds(1);
        if (sharp) {
            // The sink answers the moment a command comes, as a server would, not at the
            // next turn of a polling loop.
            while (!done() && clock.elapsed() < limit.count()) CWindow::WaitForMessages(5);
        } else {
            waitFor(done, limit);
        }
        bool killed = false;
        if (sharp) {
            {
                std::lock_guard lock(mutex);
                over = run.state() == QProcess::NotRunning;
            }
            ended.notify_all();
            killer.join();
            if (run.state() != QProcess::NotRunning) {
                EXPECT_TRUE(run.waitForFinished(20000));
            }
            killed = run.exitStatus() == QProcess::CrashExit;
        } else {
            killed = run.state() != QProcess::NotRunning;
            if (killed) ::kill(static_cast<pid_t>(run.processId()), SIGKILL);
            if (killed) {
                EXPECT_TRUE(run.waitForFinished(20000));
            }
        }
        if (tookMs) *tookMs = clock.elapsed();
        if (!killed) {
            EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
        }
        // What the dead client had sent is in the kernel's buffers: the sink takes it now, so
        // that it counts for this run.
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        killed_.push_back(killed);
        Collect();
        ++runs_;
        return killed;
    }

    // The records this run added, and the mail that came to the sink meanwhile.
    void Collect() {
        const std::string log = Path("data") + "/Quorvane.log";
        std::vector<LogRecord> all;
        std::string error;
        EXPECT_TRUE(ReadLogFile(log, &all, &error)) << error;
        struct stat st {};
        if (::stat(log.c_str(), &st) == 0) {
            EXPECT_EQ(st.st_size % kLogRecordSize, 0u) << "a record cut short at run " << runs_;
        }
        const int run = static_cast<int>(runs_);
        for (size_t i = logSeen_; i < all.size(); ++i) {
            const std::string& t = all[i].text;
            std::string value;
            size_t at = 0;
            bool known = false;
            while (Field(t, "A new document at ", &at, &value)) {
                web_new_[value].push_back(run);
                known = true;
            }
            at = 0;
            while (Field(t, "The document ", &at, &value)) {
                size_t on = value.find(" was updated on ");
                if (on == std::string::npos) continue;
                web_updated_[value].push_back(run);
                updatedUrls_[value.substr(0, on)].push_back(run);
                known = true;
            }
            at = 0;
            if (t.find("has found a new message") != std::string::npos &&
                Field(t, "Subj : ", &at, &value)) {
                mail_told_[value].push_back(run);
                known = true;
            }
            at = 0;
            if (t.find("found the following article,") != std::string::npos &&
                Field(t, "Subject : ", &at, &value)) {
                news_told_[value].push_back(run);
                known = true;
            }
            if (!known) other_.push_back("run " + std::to_string(run) + ":" + t);
        }
        logSeen_ = all.size();
        const auto& mail = sink_->messages;
        for (size_t i = sinkSeen_; i < mail.size(); ++i) {
            size_t at = 0;
            std::string id;
            if (Field(mail[i], "Message-Id: <", &at, &id) && id.size() > 11 &&
                id.compare(id.size() - 11, 11, "@mail.test>") == 0)
                forwarded_[id.substr(0, id.size() - 1)].push_back(run);
            arrived_.push_back({mail[i], run});
        }
        sinkSeen_ = mail.size();
    }

    // The store opens read-only and is whole; every web record has its 12 bytes.
    void CheckStore(bool watchList = true) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open_v2(Path("r.db").c_str(), &db, SQLITE_OPEN_READONLY, nullptr),
                  SQLITE_OK);
        std::vector<std::string> rows;
        auto query = [&](const char* sql) {
            rows.clear();
            sqlite3_stmt* st = nullptr;
            EXPECT_EQ(sqlite3_prepare_v2(db, sql, -1, &st, nullptr), SQLITE_OK)
                << sqlite3_errmsg(db);
            int rc;
            while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
                const unsigned char* text = sqlite3_column_text(st, 0);
                rows.push_back(text ? reinterpret_cast<const char*>(text) : "");
            }
            EXPECT_EQ(rc, SQLITE_DONE) << sqlite3_errmsg(db);
            sqlite3_finalize(st);
        };
        query("PRAGMA integrity_check");
        EXPECT_EQ(rows, std::vector<std::string>{"ok"}) << "after run " << runs_ - 1;
        if (!watchList) {
            sqlite3_close(db);
            return;
        }
        query(
            "SELECT v.name || ' ' || length(v.data) FROM vals v JOIN keys k ON v.key = k.id "
            "WHERE k.name = 'WatchedUrls' COLLATE NOCASE AND length(v.data) <> 12");
        EXPECT_TRUE(rows.empty()) << rows.front();
        query(
            "SELECT count(*) FROM vals v JOIN keys k ON v.key = k.id "
            "WHERE k.name = 'WatchedUrls' COLLATE NOCASE");
        EXPECT_FALSE(rows.empty() || rows[0] == "0") << "the watch list is gone";
        sqlite3_close(db);
    }

    // Every queued mail file is whole: headers, a blank line, a body with its end.
    void CheckQueue() {
        const std::string dir = Path("data/Forward");
        if (!fs::exists(dir)) return;
        for (const auto& e : fs::directory_iterator(dir)) {
            if (!e.is_regular_file()) continue;
            const std::string name = e.path().filename().string();
            if (e.path().extension() != ".Fwd") {
                leftovers_.insert(name);  // not yet named for the sender: never sent
                continue;
            }
            const std::string text = ReadFileBytes(e.path().string());
            size_t blank = text.find("\r\n\r\n");
            bool whole = blank != std::string::npos && text.rfind("X-Rcpt-To: ", 0) == 0 &&
                         text.size() >= blank + 4 + 5 &&
                         text.compare(text.size() - 5, 5, "\r\n.\r\n") == 0;
            for (size_t p = 0; whole && p < blank;) {
                size_t end = text.find("\r\n", p);
                whole = text.find(':', p) < end;
                p = end + 2;
            }
            EXPECT_TRUE(whole) << name << " is cut short:\n" << text;
            if (whole) queued_[name] = text;
        }
    }

    // Each change told once; another telling only when every run since the last one was
    // killed.
    Tally Count(const char* what, const Tellings& tellings, const std::set<std::string>& expected) {
        Tally t;
        for (const auto& key : expected)
            if (!tellings.count(key)) {
                ++t.lost;
                std::cout << "  lost " << what << ": " << key << "\n";
            }
        for (const auto& [key, runs] : tellings) {
            if (!expected.count(key)) {
                ++t.duplicated;
                std::cout << "  unexpected " << what << ": " << key << "\n";
                continue;
            }
            for (size_t i = 1; i < runs.size(); ++i) {
                bool afterKill = runs[i] > runs[i - 1];
                for (int r = runs[i - 1]; afterKill && r < runs[i]; ++r) afterKill = killed_[r];
                (afterKill ? t.toldAgainAfterKill : t.duplicated)++;
                std::cout << "  " << what << (afterKill ? " told again after a kill: " : " twice: ")
                          << key << " (runs " << runs[i - 1] << ", " << runs[i] << ")\n";
            }
        }
        return t;
    }

    std::unique_ptr<WebServer> web_;
    // In this process rather than a sink of its own: what it has taken is known the moment
    // a run ends or is killed, and in the order it came.
    std::unique_ptr<FakeSmtpServer> sink_;
    Dovecot dovecot_;
    Inn inn_;
    time_t touchBase_ = time(nullptr) - 30 * 24 * 3600;

    size_t runs_ = 0, logSeen_ = 0, sinkSeen_ = 0;
    std::vector<bool> killed_;
    Tellings web_new_, web_updated_, updatedUrls_, mail_told_, news_told_, forwarded_;
    std::vector<std::pair<std::string, int>> touches_;  // page, first run to see it
    std::vector<std::pair<std::string, int>> arrived_;  // mail at the sink, run
    std::vector<std::string> delivered_, other_;
    std::set<std::string> matching_, leftovers_;
    std::map<std::string, std::string> queued_;  // queued file name -> text
};

TEST_F(KillCampaignTest, RunsKilledAtRandomMomentsLoseNothingAndTellEachChangeOnce) {
    if (web_->kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx: " << web_->log();
    fs::create_directories(Path("ca"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("pop", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    for (int i = 0; i < 3; ++i) Deliver("first" + std::to_string(i));
    if (!dovecot_.Start(issued)) GTEST_SKIP() << "needs dovecot: " << dovecot_.error();
    if (!inn_.Start()) GTEST_SKIP() << "needs INN: " << inn_.error();
    ASSERT_TRUE(inn_.NewGroup(kGroup)) << inn_.error();
    Post("first-a", "kernel first");
    Post("first-b", "nothing to see");
    matching_.insert("kernel first");
    Configure(dovecot_.pop3Port(), inn_.port());

    const int kills = EnvInt("QUORVANE_KILLS", 100);
    unsigned seed = static_cast<unsigned>(EnvInt("QUORVANE_KILL_SEED", 0));
    if (seed == 0) seed = std::random_device{}();
    std::mt19937 random(seed);

    // Everything is new to the first run; the second, with one change of each kind, is the
    // length of the runs that are killed.
    ASSERT_FALSE(Run(std::chrono::seconds(240)));
    Change(0);
    qint64 undisturbedMs = 0;
    ASSERT_FALSE(Run(std::chrono::seconds(240), &undisturbedMs));
    ASSERT_TRUE(other_.empty()) << other_.front();
    CheckStore();
    CheckQueue();

    std::uniform_int_distribution<long> moment(0, undisturbedMs * 1000);
    int hit = 0;
    for (int k = 1; k <= kills && !HasFatalFailure(); ++k) {
        Change(k);
        const long delay = moment(random);
        SCOPED_TRACE("kill " + std::to_string(k) + " at " + std::to_string(delay) + " us");
        hit += Run(std::chrono::microseconds(delay));
        CheckStore();
        CheckQueue();
    }
    // One undisturbed run to finish what the last kill left, then nothing more to tell.
    ASSERT_FALSE(Run(std::chrono::seconds(240)));
    CheckStore();
    CheckQueue();
    const size_t toldBefore = logSeen_;
    ASSERT_FALSE(Run(std::chrono::seconds(240)));
    EXPECT_EQ(logSeen_, toldBefore) << "a run after the campaign still had something to tell";

    // What was expected, change by change.
    std::set<std::string> pages = {Base() + "/"};
    for (int i = 1; i <= kPages; ++i) pages.insert(Base() + Page(i));
    std::set<std::string> updates;
    for (const auto& [text, runs] : web_updated_) updates.insert(text);
    std::set<std::string> mails, ids;
    for (const auto& tag : delivered_) {
        mails.insert("mail " + tag);
        ids.insert(tag + "@mail.test");
    }
    std::cout << "kill campaign (seed " << seed << ", undisturbed run " << undisturbedMs
              << " ms):\n";
    Tally web = Count("new document", web_new_, pages);
    Tally upd = Count("update", web_updated_, updates);
    Tally mail = Count("mail", mail_told_, mails);
    Tally fwd = Count("forward", forwarded_, ids);
    Tally news = Count("article", news_told_, matching_);

    // Each page's new time is told by a run that could see it: as an update, or as a new
    // document when no run had stored the page before.
    int lostTouches = 0;
    for (const auto& [url, first] : touches_) {
        bool told = false;
        for (const Tellings* t : {&updatedUrls_, &web_new_})
            if (auto it = t->find(url); it != t->end())
                for (int r : it->second) told |= r >= first;
        if (!told) {
            ++lostTouches;
            std::cout << "  lost touch of " << url << " from run " << first << "\n";
        }
    }
    // Every queued result e-mail came to the sink, once (or again right after a kill).
    Tellings sent;
    std::set<std::string> queuedNames;
    for (const auto& [name, text] : queued_) {
        queuedNames.insert(name);
        const size_t blank = text.find("\r\n\r\n");
        size_t at = 0;
        std::string date;
        Field(text, "\r\nDate: ", &at, &date);
        const std::string body = text.substr(blank + 4);
        for (const auto& [message, run] : arrived_)
            if (message.find("Date: " + date + "\r\n") != std::string::npos &&
                message.find(body) != std::string::npos)
                sent[name].push_back(run);
    }
    Tally queue = Count("queued mail", sent, queuedNames);
    EXPECT_FALSE(
        fs::exists(Path("data/Forward")) &&
        std::any_of(fs::directory_iterator(Path("data/Forward")), fs::directory_iterator(),
                    [](const fs::directory_entry& e) { return e.path().extension() == ".Fwd"; }))
        << "mail still queued after undisturbed runs";
    EXPECT_EQ(dovecot_.MessageCount(), 0) << "forwarded mail left in the box";
    // The stored time of each page is its last one.
    Registry::SetCurrent(Registry::Open(Path("r.db"), nullptr));
    auto watched = ReadWatchList("Site");
    Registry::SetCurrent(store_);
    for (int i = 1; i <= kPages; ++i) {
        struct stat st {};
        ASSERT_EQ(::stat((Path("site") + Page(i)).c_str(), &st), 0);
        EXPECT_EQ(watched[Base() + Page(i)].lastModified, static_cast<uint32_t>(st.st_mtime))
            << Page(i);
    }
    for (const auto& o : other_) ADD_FAILURE() << "a record of no change: " << o;

    const int lost =
        web.lost + upd.lost + mail.lost + fwd.lost + news.lost + queue.lost + lostTouches;
    const int duplicated = web.duplicated + upd.duplicated + mail.duplicated + fwd.duplicated +
                           news.duplicated + queue.duplicated;
    const int again = web.toldAgainAfterKill + upd.toldAgainAfterKill + mail.toldAgainAfterKill +
                      fwd.toldAgainAfterKill + news.toldAgainAfterKill + queue.toldAgainAfterKill;
    std::ostringstream figures;
    figures << "kill campaign (seed " << seed << ", " << kills << " moments, undisturbed run "
            << undisturbedMs << " ms)\nkills: " << hit << " (of " << kills
            << " moments; the others came after "
            << "the run's end)\nruns: " << runs_ << "\nlost: " << lost
            << "\nduplicated: " << duplicated << "\ntold again after a kill: " << again << " (web "
            << web.toldAgainAfterKill + upd.toldAgainAfterKill << ", mail told "
            << mail.toldAgainAfterKill << ", mail forwarded " << fwd.toldAgainAfterKill << ", news "
            << news.toldAgainAfterKill << ", queued mail " << queue.toldAgainAfterKill
            << ")\nqueued mail files seen: " << queued_.size()
            << ", temporary queue files left behind: " << leftovers_.size() << "\n";
    std::cout << figures.str() << std::flush;
    // The test run prints these whether the test passes or not.
    if (const char* dir = std::getenv("QUORVANE_FIGURES_DIR"); dir && *dir)
        std::ofstream(std::string(dir) + "/kill-campaign.txt") << figures.str();
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(duplicated, 0);
}

// A forwarding mailbox alone, killed at moments drawn across the length of its own run: what
// a kill costs a forward. No message may be lost, none deleted before the forward address
// has it. A message the SMTP server took just before a kill, before its answer came back and
// was stored, goes again (no client can know): at most the one message in flight per kill.
//
// QUORVANE_FORWARD_KILLS sets the number of kills (64 by default), and
// QUORVANE_KILL_SEED the random moments.
TEST_F(KillCampaignTest, ForwardsKilledAtRandomMomentsAreNeitherLostNorDeletedUnsent) {
    fs::create_directories(Path("ca"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("pop", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    // Every run finds a box of this many, a third of them over a kilobyte: a kill is as
    // likely to fall on one message as on another.
    constexpr int kBox = 33;
    int next = 0;
    auto topUp = [&] {
        for (int n = dovecot_.MessageCount(); n < kBox; ++n, ++next)
            Deliver("f" + std::to_string(next), next % 3 == 0 ? 4096 : 0);
    };
    topUp();
    if (!dovecot_.Start(issued)) GTEST_SKIP() << "needs dovecot: " << dovecot_.error();
    const QString root = kKey, box = root + "\\Forwards";
    ASSERT_TRUE(
        ProgramRun(Path("r.db"), Path("data"))
            .Set({
                {root, "SmtpServer", "REG_SZ", QString("127.0.0.1:%1").arg(sink_->port())},
                {root, "HostName", "REG_SZ", "quorvane.test"},
                {root, "MyName", "REG_SZ", "quorvane@quorvane.test"},
                {root, "DialUpProgram", "REG_SZ", "/nonexistent/nmcli"},
                {root + "\\Nightly", "Type", "REG_DWORD", "1"},
                {root + "\\Nightly", "Enabled", "REG_DWORD", "1"},
                {box, "Type", "REG_DWORD", "3"},
                {box, "ScheduledEvent", "REG_SZ", "Nightly"},
                {box, "PopHost", "REG_SZ", QString("127.0.0.1:%1").arg(dovecot_.pop3Port())},
                {box, "PopUserName", "REG_SZ", QString::fromStdString(dovecot_.user)},
                {box, "PopPassword", "REG_SZ", QString::fromStdString(dovecot_.password)},
                {box, "ForwardMail", "REG_DWORD", "1"},
                {box, "ForwardTo", "REG_SZ", "fw@example.org"},
            }));

    // A message gone from the box must be at the forward address.
    int deletedUnsent = 0;
    std::set<std::string> seenDeleted;
    auto checkBox = [&] {
        std::set<std::string> inBox;
        for (const std::string& text : dovecot_.Messages()) {
            size_t at = 0;
            std::string id;
            if (Field(text, "Message-Id: <", &at, &id)) inBox.insert(id.substr(0, id.find('>')));
        }
        for (const std::string& tag : delivered_) {
            const std::string id = tag + "@mail.test";
            if (inBox.count(id) || forwarded_.count(id) || !seenDeleted.insert(id).second) continue;
            ++deletedUnsent;
            std::cout << "  deleted unforwarded after run " << runs_ - 1 << ": " << id << "\n";
        }
    };

    const int kills = EnvInt("QUORVANE_FORWARD_KILLS", 64);
    unsigned seed = static_cast<unsigned>(EnvInt("QUORVANE_KILL_SEED", 0));
    if (seed == 0) seed = std::random_device{}();
    std::mt19937 random(seed);

    ASSERT_FALSE(Run(std::chrono::seconds(240), nullptr, /*sharp=*/true));
    checkBox();
    ASSERT_EQ(dovecot_.MessageCount(), 0) << dovecot_.Log();
    topUp();
    qint64 undisturbedMs = 0;
    ASSERT_FALSE(Run(std::chrono::seconds(240), &undisturbedMs, /*sharp=*/true));
    checkBox();
    CheckStore(false);

    // Moments that fall after a run's end kill nothing: drawn until kills have killed.
    std::uniform_int_distribution<long> moment(0, undisturbedMs * 1000);
    int hit = 0, moments = 0;
    for (; hit < kills && moments < 3 * kills && !HasFatalFailure(); ++moments) {
        topUp();
        const long delay = moment(random);
        SCOPED_TRACE("moment " + std::to_string(moments) + " at " + std::to_string(delay) + " us");
        hit += Run(std::chrono::microseconds(delay), nullptr, /*sharp=*/true);
        checkBox();
        CheckStore(false);
    }
    EXPECT_EQ(hit, kills);
    // Undisturbed runs finish what the last kill left.
    ASSERT_FALSE(Run(std::chrono::seconds(240), nullptr, /*sharp=*/true));
    checkBox();
    EXPECT_EQ(dovecot_.MessageCount(), 0) << "forwarded mail left in the box";

    std::set<std::string> ids;
    for (const auto& tag : delivered_) ids.insert(tag + "@mail.test");
    std::cout << "forward kill campaign (seed " << seed << ", undisturbed run " << undisturbedMs
              << " ms):\n";
    Tally fwd = Count("forward", forwarded_, ids);
    const int twice = fwd.toldAgainAfterKill + fwd.duplicated;
    std::ostringstream figures;
    figures << "forward kill campaign (seed " << seed << ", " << moments << " moments, a box of "
            << kBox << ", undisturbed run " << undisturbedMs << " ms)\nkills: " << hit
            << "\nruns: " << runs_ << "\nmessages: " << ids.size() << "\nlost: " << fwd.lost
            << "\ndeleted unforwarded: " << deletedUnsent << "\nforwarded twice: " << twice << " ("
            << fwd.toldAgainAfterKill << " right after a kill)\n";
    std::cout << figures.str() << std::flush;
    if (const char* dir = std::getenv("QUORVANE_FIGURES_DIR"); dir && *dir)
        std::ofstream(std::string(dir) + "/kill-campaign-forwards.txt") << figures.str();
    EXPECT_EQ(fwd.lost, 0);
    EXPECT_EQ(deletedUnsent, 0);
    EXPECT_EQ(fwd.duplicated, 0) << "forwarded twice without a kill between";
    // A kill leaves at most the one forward in flight in doubt.
    std::map<int, int> againAfter;
    for (const auto& [id, runs] : forwarded_)
        for (size_t i = 1; i < runs.size(); ++i) ++againAfter[runs[i - 1]];
    for (const auto& [run, count] : againAfter) EXPECT_LE(count, 1) << "run " << run;
}

}  // namespace

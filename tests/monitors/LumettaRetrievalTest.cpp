#include <sys/stat.h>
#include <unistd.h>

#include <QTcpServer>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/ActivityLog.h"
#include "fakes/ClientOwner.h"
#include "fakes/FakeHttpServer.h"
#include "fakes/ScriptedServer.h"
#include "fixtures/Fixtures.h"
#include "monitors/LumettaRetrieval.h"
#include "settings/Settings.h"

namespace {

namespace fs = std::filesystem;
using namespace settings;

const std::string kRecordStart =
    "An error occured while retrieving the web document for News.   The error message was : ";

bool ValidUtf8(const std::string& s) {
    QByteArray bytes(s.data(), static_cast<qsizetype>(s.size()));
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

class LumettaRetrievalTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        fs::create_directories(Path("docs"));
        panel_ = std::make_unique<CLumettaRetrieval>(log_);
        panel_->SetRunWindow(&run_);
        RegKey event;
        ASSERT_EQ(event.Create(RegKey::LocalMachine(), EventPath("News"), kEventClass),
                  ERROR_SUCCESS);
        event.SetDword(kType, kLumettaDisplay);
    }
    void TearDown() override {
        panel_.reset();
        SandboxTest::TearDown();
    }
    // From now on the documents and the runs are those of another event.
    void UseEvent(const std::string& name) {
        RegKey event;
        ASSERT_EQ(event.Create(RegKey::LocalMachine(), EventPath(name), kEventClass),
                  ERROR_SUCCESS);
        event.SetDword(kType, kLumettaDisplay);
        event_ = name;
    }
    // A document subkey of the event ("News" unless another is used).
    void Document(const std::string& subkey, const std::string& url, const std::string& docFile,
                  const std::string& filterFile = {}) {
        RegKey doc;
        ASSERT_EQ(
            doc.Create(RegKey::LocalMachine(), EventPath(event_) + "\\" + subkey, kEventClass),
            ERROR_SUCCESS);
        doc.SetString(kUrl, url);
        doc.SetString(kDocFile, docFile);
        doc.SetString(kFilterFile, filterFile);
        doc.SetString(kFilter, "");
    }
    uint32_t Run() {
        run_.done.clear();
        panel_->Start(event_);
        EXPECT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(20)));
        EXPECT_FALSE(panel_->running());
        return run_.done.empty() ? 0xFFFFFFFF : run_.done[0];
    }
    std::vector<std::string> Texts() { return LogRecordTexts(); }
    // The files of a folder whose names begin with prefix.
    static std::vector<std::string> Leftovers(const std::string& folder,
                                              const std::string& prefix = "KV4") {
        std::vector<std::string> out;
        if (!fs::exists(folder)) return out;
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().filename().string().rfind(prefix, 0) == 0) out.push_back(e.path());
        return out;
    }
    // Whether this process holds a file open in folder (named or not).
    static bool OpenIn(const std::string& folder) {
        for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
            std::error_code ec;
            std::string target = fs::read_symlink(e.path(), ec).string();
            if (!ec && target.rfind(folder + "/", 0) == 0) return true;
        }
        return false;
    }
    void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }

    FakeHttpServer web_;
    std::string event_ = "News";
    CActivityLog log_;
    RunStub run_;
    std::unique_ptr<CLumettaRetrieval> panel_;
};

TEST(LumettaUrl, OnlyANameBeforeTheFirstColonIsAVariable) {
    std::string variable, address;
    EXPECT_TRUE(SplitScriptUrl("Newest@http://h/front", &variable, &address));
    EXPECT_EQ(variable, "Newest");
    EXPECT_EQ(address, "http://h/front");
    EXPECT_FALSE(SplitScriptUrl("http://user@h/", &variable, &address));
    EXPECT_FALSE(SplitScriptUrl("@http://h/", &variable, &address));
    EXPECT_FALSE(SplitScriptUrl("http://h/a", &variable, &address));
    // A form's data or a query with a scheme-like text in it is passed on as data, and only
    // the action is resolved against the page.
    EXPECT_EQ(ResolveScriptResult("http://h:81/dir/front?x=1", "/story/7"), "http://h:81/story/7");
    EXPECT_EQ(ResolveScriptResult("http://h/dir/front", "find|u=http://e/a&b=c"),
              "http://h/dir/find|u=http://e/a&b=c");
    EXPECT_EQ(ResolveScriptResult("http://h/dir/front", "find?u=http://e/a"),
              "http://h/dir/find?u=http://e/a");
    EXPECT_EQ(ResolveScriptResult("http://h/dir/front?old", "|q=1"), "http://h/dir/front|q=1");
    EXPECT_EQ(ResolveScriptResult("http://h/dir/front", "https://o/x|q=1"), "https://o/x|q=1");
    // As a browser reads them: the page's scheme for "//host", the page itself for "#part".
    EXPECT_EQ(ResolveScriptResult("https://h/a/b/r.html?q=../x", "//o:81/pr4"), "https://o:81/pr4");
    EXPECT_EQ(ResolveScriptResult("http://h/a/b/r.html?q=2#top", "#f3"),
              "http://h/a/b/r.html?q=2#f3");
    EXPECT_EQ(ResolveScriptResult("http://h/a/b/r.html", "../../c/./d?e=../f"),
              "http://h/c/d?e=../f");
}

// Two documents by fixed address are both replaced in one run, each with the response as
// the client wrote it; an address with a user name in it is fetched as an address.
TEST_F(LumettaRetrievalTest, FixedAddressesReplaceEachDocumentInOneRun) {
    const std::string a = FakeHttpServer::Ok("Content-Type: text/plain\r\n", "first document");
    const std::string b = FakeHttpServer::Ok("", "second\r\nwith lines\r\n");
    web_.pages["/a.txt"] = a;
    web_.pages["/b.txt"] = b;
    Write(Path("docs/a.doc"), "old a");
    Write(Path("docs/b.doc"), "old b");
    Document("0000", web_.Url("/a.txt"), Path("docs/a.doc"));
    Document("0001", "http://reader@127.0.0.1:" + std::to_string(web_.port()) + "/b.txt",
             Path("docs/b.doc"));

    std::vector<std::vector<std::string>> shown;
    QObject::connect(panel_.get(), &CPanel::linesChanged,
                     [&] { shown.push_back(panel_->lines()); });
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(panel_->title(), "Lumetta News");
    EXPECT_EQ(ReadFileBytes(Path("docs/a.doc")), a);
    EXPECT_EQ(ReadFileBytes(Path("docs/b.doc")), b);
    EXPECT_EQ(web_.requests, (std::vector<std::string>{"GET /a.txt", "GET /b.txt"}));
    EXPECT_TRUE(Texts().empty());
    EXPECT_TRUE(Leftovers(Path("docs")).empty());
    EXPECT_EQ(panel_->lines(), (std::vector<std::string>{"Done.", ""}));
    bool connecting = false, retrieving = false;
    for (const auto& lines : shown) {
        connecting |=
            lines == std::vector<std::string>{"Connecting to host for : ", web_.Url("/a.txt")};
        retrieving |= !lines.empty() && lines[0] == "Retrieving : ";
    }
    EXPECT_TRUE(connecting);
    EXPECT_TRUE(retrieving);

    // The next run replaces them again.
    web_.pages["/a.txt"] = FakeHttpServer::Ok("", "newer");
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(ReadFileBytes(Path("docs/a.doc")), FakeHttpServer::Ok("", "newer"));
}

// The new document is made in the document's own folder and takes the old one's place with
// one rename: no moment without the file, and no temporary folder on another file system
// (here none at all) that a rename could not cross.
TEST_F(LumettaRetrievalTest, TheNewDocumentIsMadeBesideTheOldOne) {
    web_.pages["/a.txt"] = FakeHttpServer::Ok("", "fresh");
    Write(Path("docs/a.doc"), "old");
    fs::permissions(Path("docs/a.doc"), fs::perms(0644));
    Document("0000", web_.Url("/a.txt"), Path("docs/a.doc"));
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    setenv("TMPDIR", Path("no-such-folder").c_str(), 1);
    uint32_t code = Run();
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadFileBytes(Path("docs/a.doc")), FakeHttpServer::Ok("", "fresh"));
    EXPECT_EQ(fs::status(Path("docs/a.doc")).permissions(), fs::perms(0644))
        << "readable by whoever could read the old one";
    EXPECT_TRUE(Leftovers(Path("docs")).empty());
    EXPECT_TRUE(Texts().empty()) << Texts()[0];
}

// A document that fails keeps its old file and is told once; the documents behind it are
// still fetched. So are those behind a document that cannot be asked for at all, one whose
// folder is missing or unnamed, and one whose file cannot be replaced.
TEST_F(LumettaRetrievalTest, AFailingDocumentKeepsItsFileAndTheRunGoesOn) {
    web_.pages["/ok.txt"] = FakeHttpServer::Ok("", "good");
    Write(Path("docs/gone.doc"), "previous");
    fs::create_directories(Path("docs/dir.doc/inside"));
    Document("0000", web_.Url("/missing.txt"), Path("docs/gone.doc"));
    Document("0001", "ftp://127.0.0.1/file", Path("docs/ftp.doc"));
    Document("0002", web_.Url("/ok.txt"), Path("no-folder/x.doc"));
    Document("0003", web_.Url("/ok.txt"), "");
    Document("0004", web_.Url("/ok.txt"), Path("docs/dir.doc"));
    Document("0005", web_.Url("/ok.txt"), Path("docs/last.doc"));
    // A redirection without end is no document: the old one stays.
    web_.pages["/loop"] = "HTTP/1.0 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n";
    Write(Path("docs/loop.doc"), "before the loop");
    Document("0006", web_.Url("/loop"), Path("docs/loop.doc"));

    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(ReadFileBytes(Path("docs/gone.doc")), "previous");
    EXPECT_EQ(ReadFileBytes(Path("docs/loop.doc")), "before the loop");
    EXPECT_EQ(ReadFileBytes(Path("docs/last.doc")), FakeHttpServer::Ok("", "good"));
    EXPECT_FALSE(fs::exists(Path("docs/ftp.doc")));
    EXPECT_FALSE(fs::exists(Path("no-folder")));
    EXPECT_TRUE(fs::is_directory(Path("docs/dir.doc/inside")));
    EXPECT_TRUE(Leftovers(Path("docs")).empty());
    EXPECT_TRUE(Leftovers(Path("docs/dir.doc")).empty());

    auto texts = Texts();
    ASSERT_EQ(texts.size(), 6u);
    for (const auto& t : texts) EXPECT_EQ(t.rfind(kRecordStart, 0), 0u) << t;
    EXPECT_NE(texts[0].find("404"), std::string::npos) << texts[0];
    // Which document, cut by the log's limit or not.
    EXPECT_EQ(texts[0].rfind(kRecordStart + "gone.doc: ", 0), 0u) << texts[0];
    EXPECT_EQ(texts[1],
              kRecordStart + "ftp.doc: The link is not formed correctly. (ftp://127.0.0.1/file)");
    EXPECT_NE(texts[5].find("answered 302, a redirection that was not followed"), std::string::npos)
        << texts[5];
    EXPECT_EQ(texts[2],
              kRecordStart + "x.doc: the folder " + Path("no-folder") + " does not exist.");
    EXPECT_NE(texts[3].find("names no document file (DocFile)"), std::string::npos) << texts[3];
    EXPECT_NE(texts[4].find("dir.doc: it could not be replaced: Is a directory"), std::string::npos)
        << texts[4];
    std::vector<LogRecord> records;
    ReadLogFile(kLogFileName, &records, nullptr);
    EXPECT_EQ(records[0].icon, kIconError);
}

// A value too long for its 256-byte buffer reads as nothing: a cut file name would name some
// other file.
TEST_F(LumettaRetrievalTest, ADocumentFileNameTooLongIsNotCut) {
    web_.pages["/ok.txt"] = FakeHttpServer::Ok("", "good");
    std::string longName = Path("docs/") + std::string(300, 'n');
    Document("0000", web_.Url("/ok.txt"), longName);
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_NE(Texts()[0].find("names no document file"), std::string::npos);
    EXPECT_TRUE(web_.requests.empty());
}

// An event whose settings are gone is told once and the run does not wait for a cancel.
TEST_F(LumettaRetrievalTest, AnEventWithoutSettingsIsToldAndTheRunEnds) {
    run_.done.clear();
    panel_->Start("Gone");
    ASSERT_TRUE(waitFor([&] { return !run_.done.empty(); }));
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0].rfind("An error occured while retrieving the web document for Gone.", 0),
              0u);
}

TEST_F(LumettaRetrievalTest, AFolderWhereNoFileCanBeMadeIsToldAndTheRunGoesOn) {
    // A folder that takes no new file, whoever asks (root too).
    web_.pages["/ok.txt"] = FakeHttpServer::Ok("", "good");
    Document("0000", web_.Url("/ok.txt"), "/proc/quorvane-test.doc");
    Document("0001", web_.Url("/ok.txt"), Path("docs/b.doc"));
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0].rfind(
                  kRecordStart + "quorvane-test.doc: no temporary file could be made: /proc", 0),
              0u)
        << Texts()[0];
    EXPECT_TRUE(web_.requests == std::vector<std::string>{"GET /ok.txt"});
    EXPECT_EQ(ReadFileBytes(Path("docs/b.doc")), FakeHttpServer::Ok("", "good"));
}

TEST_F(LumettaRetrievalTest, AnEventWithoutDocumentsEndsAtOnce) {
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(Texts().empty());
    EXPECT_EQ(panel_->lines(), (std::vector<std::string>{"Done.", ""}));
}

// Cancel while the server keeps the response back: the code goes to the run window, the
// half-made document goes away and the old one stays.
TEST_F(LumettaRetrievalTest, CancelMidFetch) {
    ScriptedServer silent;
    ScriptedServer::Reply reply;
    reply.silent = true;
    silent.replies.push_back(reply);
    Write(Path("docs/a.doc"), "old");
    Document("0000", "http://127.0.0.1:" + std::to_string(silent.port()) + "/a",
             Path("docs/a.doc"));
    std::vector<std::string> firstLines;
    QObject::connect(panel_.get(), &CPanel::linesChanged,
                     [&] { firstLines.push_back(panel_->line1()); });
    panel_->Start("News");
    ASSERT_TRUE(waitFor([&] { return silent.connections() == 1; }));
    EXPECT_TRUE(Leftovers(Path("docs")).empty()) << "nothing that a kill would leave behind";
    EXPECT_TRUE(OpenIn(Path("docs"))) << "made beside the document";
    panel_->Cancel(7);
    ASSERT_TRUE(DrainMessages());
    EXPECT_EQ(run_.done, std::vector<uint32_t>{7});
    EXPECT_FALSE(panel_->running());
    EXPECT_TRUE(Leftovers(Path("docs")).empty());
    EXPECT_EQ(ReadFileBytes(Path("docs/a.doc")), "old");
    ASSERT_GE(firstLines.size(), 2u);
    EXPECT_EQ(firstLines[firstLines.size() - 2], "Disconnecting from Web Servers");
    EXPECT_EQ(panel_->lines(), (std::vector<std::string>{"Done.", ""}));
    EXPECT_TRUE(Texts().empty());
}

// --- Documents found through a page script ---

// A front page whose newest article is linked by a path of the same host.
TEST_F(LumettaRetrievalTest, AScriptLinkIsFetchedOnTheStartingPagesHost) {
    web_.pages["/front"] =
        FakeHttpServer::Ok("Content-Type: text/html\r\n",
                           "<html><body><h1>News</h1><a href=\"/story/2\">Read: the newest</a> "
                           "<a href=\"/story/1\">Read: older</a></body></html>");
    const std::string story = FakeHttpServer::Ok("", "<p>the newest story</p>");
    web_.pages["/story/2"] = story;
    Write(Path("news.scr"), "Variable 0 \"Newest\"\nLink 0 \"Read:\"\n");
    Document("0000", "Newest@" + web_.Url("/front"), Path("docs/story.doc"), Path("news.scr"));
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(web_.requests, (std::vector<std::string>{"GET /front", "GET /story/2"}));
    EXPECT_EQ(ReadFileBytes(Path("docs/story.doc")), story);
    EXPECT_TRUE(Texts().empty()) << Texts()[0];
    EXPECT_TRUE(Leftovers(Path("docs")).empty());
    // Where the document came from is kept beside it, for the ticker's click.
    RegKey event, doc;
    ASSERT_EQ(event.Open(RegKey::LocalMachine(), settings::EventPath("News")), ERROR_SUCCESS);
    ASSERT_EQ(doc.Open(event, "0000"), ERROR_SUCCESS);
    EXPECT_EQ(settings::ReadString(doc, settings::kFetchedUrl), web_.Url("/story/2"));
}

// A link is fetched as a browser would: its "|" is part of the address (no POST), its "."
// and ".." segments are gone.
TEST_F(LumettaRetrievalTest, AScriptLinkIsAnAddressAsABrowserSendsIt) {
    web_.pages["/dir/sub/front"] =
        FakeHttpServer::Ok("", "<a href=\"../up/./p|q?x=../y\">Next</a>");
    web_.pages["/dir/up/p%7Cq?x=../y"] = FakeHttpServer::Ok("", "found");
    Write(Path("next.scr"), "Variable 0 \"Next\"\nLink 0 \"Next\"\n");
    Document("0000", "Next@" + web_.Url("/dir/sub/front"), Path("docs/next.doc"), Path("next.scr"));
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(web_.requests,
              (std::vector<std::string>{"GET /dir/sub/front", "GET /dir/up/p%7Cq?x=../y"}));
    EXPECT_EQ(ReadFileBytes(Path("docs/next.doc")), FakeHttpServer::Ok("", "found"));
}

// A form found by the script is sent as a POST with its fields.
TEST_F(LumettaRetrievalTest, AScriptFormIsSubmittedAsAPost) {
    ScriptedServer server;
    const std::string page =
        "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n"
        "<html><form method=\"post\" action=\"/search\"><input type=\"hidden\" name=\"q\" "
        "value=\"lumetta news\"><input type=\"submit\" name=\"go\" value=\"Go\"></form></html>";
    const std::string result = "HTTP/1.0 200 OK\r\n\r\nresults";
    ScriptedServer::Reply first;
    first.chunks = {page};
    ScriptedServer::Reply second;
    second.chunks = {result};
    second.until = "\r\n\r\n";
    second.extra = std::string("q=lumetta+news&go=Go").size();
    server.replies = {first, second};
    Write(Path("form.scr"), "Variable 0 \"Find\"\nSubmit 0 \"\"\n");
    Document("0000", "Find@http://127.0.0.1:" + std::to_string(server.port()) + "/form",
             Path("docs/found.doc"), Path("form.scr"));
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(server.connections(), 2);
    EXPECT_EQ(server.received[1].rfind("POST /search HTTP/1.0\r\n", 0), 0u) << server.received[1];
    const std::string& post = server.received[1];
    EXPECT_NE(post.find("\r\nContent-Length: 20\r\n"), std::string::npos) << post;
    EXPECT_EQ(post.substr(post.find("\r\n\r\n") + 4, 20), "q=lumetta+news&go=Go");
    EXPECT_EQ(ReadFileBytes(Path("docs/found.doc")), result);
    EXPECT_TRUE(Texts().empty()) << Texts()[0];
}

// A script that yields nothing, one that cannot be read, and a starting page that fails or
// is too large: each is one record naming the document, and the documents behind it are
// still fetched.
TEST_F(LumettaRetrievalTest, AScriptDocumentThatFailsIsToldOnceAndTheRunGoesOn) {
    web_.pages["/front"] = FakeHttpServer::Ok("", "<html>no links at all</html>");
    web_.pages["/big"] = FakeHttpServer::Ok("", std::string(2000, 'x') + "<a href=\"/s\">Read</a>");
    web_.pages["/s"] = FakeHttpServer::Ok("", "story");
    web_.pages["/ok.txt"] = FakeHttpServer::Ok("", "last");
    Write(Path("news.scr"), "Variable 0 \"Newest\"\nLink 0 \"Read\"\n");
    Write(Path("docs/kept.doc"), "kept");
    Document("0000", "Newest@" + web_.Url("/front"), Path("docs/kept.doc"), Path("news.scr"));
    Document("0001", "Newest@" + web_.Url("/front"), Path("docs/b.doc"), Path("missing.scr"));
    Document("0002", "Newest@" + web_.Url("/gone"), Path("docs/c.doc"), Path("news.scr"));
    Document("0003", "Newest@" + web_.Url("/big"), Path("docs/d.doc"), Path("news.scr"));
    Document("0004", web_.Url("/ok.txt"), Path("docs/e.doc"));
    panel_->SetCaptureLimit(1024);

    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(ReadFileBytes(Path("docs/kept.doc")), "kept");
    EXPECT_EQ(ReadFileBytes(Path("docs/e.doc")), FakeHttpServer::Ok("", "last"));
    for (const char* none : {"docs/b.doc", "docs/c.doc", "docs/d.doc"})
        EXPECT_FALSE(fs::exists(Path(none))) << none;
    EXPECT_TRUE(Leftovers(Path("docs")).empty());
    EXPECT_EQ(web_.requests, (std::vector<std::string>{"GET /front", "GET /front", "GET /gone",
                                                       "GET /big", "GET /ok.txt"}));
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 4u);
    for (const auto& t : texts) EXPECT_EQ(t.rfind(kRecordStart, 0), 0u) << t;
    // A record is cut at the log's limit: the document and the cause come first.
    EXPECT_EQ(
        texts[0].rfind(kRecordStart + "kept.doc: nothing found by the variable Newest of the page "
                                      "script ",
                       0),
        0u)
        << texts[0];
    EXPECT_EQ(texts[1], kRecordStart +
                            "b.doc: The page script file missing.scr cannot be read: No such file "
                            "or directory.");
    EXPECT_NE(texts[2].find("404"), std::string::npos) << texts[2];
    EXPECT_EQ(
        texts[3].rfind(
            kRecordStart + "d.doc: the page " + web_.Url("/big") + " is larger than 1024 bytes", 0),
        0u)
        << texts[3];
}

// The log cuts a record at a few hundred bytes: with names as long as a home folder makes
// them, the cause and the document's own file name both stay.
TEST_F(LumettaRetrievalTest, ARecordKeepsItsCauseAndItsDocumentWhateverTheirLength) {
    const std::string deep = "docs/home/alice/.cache/quorvane/headlines-of-the-world";
    fs::create_directories(Path(deep));
    web_.pages["/front"] = FakeHttpServer::Ok("", "<p>no links</p>");
    Document("0000", "Newest@" + web_.Url("/front"), Path(deep + "/newest-world.doc"),
             Path("docs/home/alice/.config/quorvane/scripts/the-world-news.qps"));
    Document("0001", web_.Url("/missing-page-of-the-world-news.html"),
             Path(deep + "/second-world.doc"));
    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_NE(texts[0].find("cannot be read: No such file or directory."), std::string::npos)
        << texts[0];
    EXPECT_NE(texts[0].find("newest-world.doc"), std::string::npos) << texts[0];
    EXPECT_NE(texts[1].find("404"), std::string::npos) << texts[1];
    EXPECT_NE(texts[1].find("second-world.doc"), std::string::npos) << texts[1];

    // An event named at length, in other scripts; a variable the script does not have, a
    // script not named at all, a document file named without its folder.
    std::string name;
    for (int i = 0; i < 50; ++i) name += "\xC3\x96";
    for (int i = 0; i < 50; ++i) name += "\xE6\x96\xB0";
    UseEvent(name);
    Write(Path("s.qps"), "Variable 0 \"Newest\"\nLink 0 \"\"\n");
    Document("0000", "Newst@" + web_.Url("/front"), Path("docs/typo.doc"), Path("s.qps"));
    Document("0001", "Newest@" + web_.Url("/front"), Path("docs/noscript.doc"));
    Document("0002", web_.Url("/front"), "nowhere/relative.doc");
    ASSERT_TRUE(std::filesystem::remove(kLogFileName));
    EXPECT_EQ(Run(), 0u);
    texts = Texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_NE(texts[0].find("typo.doc: The page script has no variable named Newst."),
              std::string::npos)
        << texts[0];
    EXPECT_NE(texts[1].find("noscript.doc: no page script (FilterFile) is named for the variable "
                            "Newest."),
              std::string::npos)
        << texts[1];
    EXPECT_NE(texts[2].find("relative.doc: the folder nowhere does not exist (DocFile should be a "
                            "full path)."),
              std::string::npos)
        << texts[2];
    for (const auto& t : texts) EXPECT_TRUE(ValidUtf8(t)) << t;
}

// A script that loops without end is stopped by the engine and told like one that found
// nothing.
TEST_F(LumettaRetrievalTest, AScriptThatNeverEndsIsStoppedAndTold) {
    // A search that finds its text every time, more times than a run may search.
    web_.pages["/front"] = FakeHttpServer::Ok("", std::string(CPageScript::kMaxSteps + 100, 'a'));
    web_.pages["/ok.txt"] = FakeHttpServer::Ok("", "after");
    Write(Path("loop.scr"),
          "Variable 0 \"Spin\"\nRepeat 0 1000000000\nScan 0 \"a\"\nString 0 \"/s\"\n");
    Document("0000", "Spin@" + web_.Url("/front"), Path("docs/a.doc"), Path("loop.scr"));
    Document("0001", web_.Url("/ok.txt"), Path("docs/b.doc"));
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(ReadFileBytes(Path("docs/b.doc")), FakeHttpServer::Ok("", "after"));
    EXPECT_FALSE(fs::exists(Path("docs/a.doc")));
    ASSERT_EQ(Texts().size(), 1u);
    EXPECT_EQ(Texts()[0].rfind(kRecordStart +
                                   "a.doc: The page script stopped after 1000000 steps without a "
                                   "result. (the variable Spin of loop.scr)",
                               0),
              0u)
        << Texts()[0];
    EXPECT_EQ(web_.requests, (std::vector<std::string>{"GET /front", "GET /ok.txt"}));
}

}  // namespace

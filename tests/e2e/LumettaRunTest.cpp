// A Lumetta display event from end to end: pages served by nginx on 127.0.0.1 (plain and
// over TLS), the settings written with quorvane-reg and runs of `quorvane --run`. One
// document comes from a fixed address, one from the newest article link of a front page,
// one from submitting a form.

#include <QStringList>
#include <filesystem>
#include <fstream>

#include "fakes/ProgramRun.h"
#include "fakes/TestCa.h"
#include "fakes/WebServer.h"
#include "fixtures/Fixtures.h"

namespace {

namespace fs = std::filesystem;

const char* kKey = "HKLM\\SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion";
const std::string kRecordStart =
    "An error occured while retrieving the web document for Ticker.   The error message was : ";

// nginx takes no POST on a static file: the form's action is passed to a location of the
// same server that answers it, and the body the client sent comes back as a header.
const char* kFormConfig =
    "    location = /search {\n"
    "      client_body_buffer_size 16k;\n"
    "      proxy_pass $scheme://127.0.0.1:$server_port/answer;\n"
    "      add_header X-Posted \"$request_method $request_body\" always;\n"
    "    }\n"
    "    location = /answer { default_type text/plain; return 200 \"posted\\n\"; }\n";

class LumettaRunTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        fs::create_directories(Path("site/articles"));
        fs::create_directories(Path("data"));
        fs::create_directories(Path("ticker"));
        Write(Path("site/fixed.txt"), "Headline one\nHeadline two\n");
        Write(Path("site/articles/a1.html"), "<html><p>older story</p></html>\n");
        Write(Path("site/articles/a2.html"), "<html><p>the newest story</p></html>\n");
        Write(Path("site/articles/a3.html"), "<html><p>a story newer still</p></html>\n");
        Front("a2.html");
        Write(Path("site/form.html"),
              "<html><body><form method=\"post\" action=\"/search\">"
              "<input type=\"hidden\" name=\"q\" value=\"lumetta news\">"
              "<input type=\"submit\" name=\"go\" value=\"Go\"></form></body></html>\n");
        Write(Path("newest.scr"),
              "Variable 0 \"Newest\"\nScan 0 \"class=\"latest\"\"\nLink 0 \"\"\n");
        Write(Path("form.scr"), "Variable 0 \"Find\"\nSubmit 0 \"\"\n");
    }
    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    // The front page: older links first in the page, the newest in its own box.
    void Front(const std::string& newest) {
        Write(Path("site/front.html"),
              "<html><body><ul><li><a href=\"articles/a1.html\">Older</a></li></ul>\n"
              "<div class=\"latest\"><a href=\"/articles/" +
                  newest + "\">Newest</a></div></body></html>\n");
    }
    void Configure(const WebServer& web, const std::string& caFile = {}) {
        const QString root = kKey;
        const QString event = root + "\\Ticker";
        std::vector<QStringList> sets = {
            {root, "DialUpProgram", "REG_SZ", "/nonexistent/nmcli"},
            {root + "\\Nightly", "Type", "REG_DWORD", "1"},
            {root + "\\Nightly", "Enabled", "REG_DWORD", "1"},
            {root + "\\Nightly", "Interval", "REG_DWORD", "1440"},
            {root + "\\Nightly", "Days", "REG_DWORD", "0x7f"},
            {root + "\\Nightly", "Hours", "REG_DWORD", "0x1"},
            {event, "Type", "REG_DWORD", "5"},
            {event, "ScheduledEvent", "REG_SZ", "Nightly"},
            {event, "RefreshRate", "REG_DWORD", "10"},
        };
        if (!caFile.empty())
            sets.push_back({root, "TlsCaFile", "REG_SZ", QString::fromStdString(caFile)});
        auto doc = [&](const char* sub, const std::string& url, const char* file,
                       const std::string& script) {
            const QString key = event + "\\" + sub;
            sets.push_back({key, "Url", "REG_SZ", QString::fromStdString(url)});
            sets.push_back({key, "DocFile", "REG_SZ", QString::fromStdString(Path(file))});
            sets.push_back({key, "FilterFile", "REG_SZ", QString::fromStdString(script)});
            sets.push_back({key, "Filter", "REG_SZ", ""});
        };
        doc("0000", web.Url("/fixed.txt"), "ticker/fixed.doc", "");
        doc("0001", "Newest@" + web.Url("/front.html"), "ticker/newest.doc", Path("newest.scr"));
        doc("0002", "Find@" + web.Url("/form.html"), "ticker/found.doc", Path("form.scr"));
        ProgramRun program(Path("r.db"), Path("data"));
        for (const auto& s : sets)
            ASSERT_EQ(program.Reg(QStringList{"set"} + s), 0) << s.join(" ").toStdString();
    }
    std::vector<std::string> RunOnce() {
        return ProgramRun(Path("r.db"), Path("data")).RunOnce("Nightly");
    }
    // The stored response's status line, header and body.
    struct Stored {
        std::string status, header, body;
    };
    Stored Read(const char* file) {
        std::string all = ReadFileBytes(Path(file));
        Stored s;
        size_t line = all.find("\r\n");
        size_t end = all.find("\r\n\r\n");
        if (line == std::string::npos || end == std::string::npos) return s;
        s.status = all.substr(0, line);
        s.header = all.substr(line + 2, end - line);
        s.body = all.substr(end + 4);
        return s;
    }

    void RunTwice() {
        auto records = RunOnce();
        EXPECT_TRUE(records.empty()) << records[0];

        Stored fixed = Read("ticker/fixed.doc");
        EXPECT_EQ(fixed.status, "HTTP/1.1 200 OK");
        EXPECT_EQ(fixed.body, ReadFileBytes(Path("site/fixed.txt")));
        EXPECT_NE(fixed.header.find("Content-Length: 26\r\n"), std::string::npos) << fixed.header;
        Stored newest = Read("ticker/newest.doc");
        EXPECT_EQ(newest.status, "HTTP/1.1 200 OK");
        EXPECT_EQ(newest.body, ReadFileBytes(Path("site/articles/a2.html")));
        Stored found = Read("ticker/found.doc");
        EXPECT_EQ(found.status, "HTTP/1.1 200 OK");
        EXPECT_EQ(found.body, "posted\n");
        EXPECT_NE(found.header.find("X-Posted: POST q=lumetta+news&go=Go\r\n"), std::string::npos)
            << found.header;
        for (const auto& e : fs::directory_iterator(Path("ticker")))
            EXPECT_EQ(e.path().filename().string().rfind("KV4", 0), std::string::npos) << e.path();

        // The fixed document goes away and a newer article comes: the fixed document keeps
        // its old file, the newest one follows the front page.
        const std::string oldFixed = ReadFileBytes(Path("ticker/fixed.doc"));
        fs::remove(Path("site/fixed.txt"));
        Front("a3.html");
        records = RunOnce();
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].rfind(kRecordStart, 0), 0u) << records[0];
        EXPECT_NE(records[0].find("404"), std::string::npos) << records[0];
        EXPECT_EQ(ReadFileBytes(Path("ticker/fixed.doc")), oldFixed);
        EXPECT_EQ(Read("ticker/newest.doc").body, ReadFileBytes(Path("site/articles/a3.html")));
        EXPECT_EQ(Read("ticker/found.doc").body, "posted\n");
    }
};

TEST_F(LumettaRunTest, DocumentsByAddressByLinkAndByFormAreStoredAsServed) {
    WebServer web(Path("site"), Path(""), kFormConfig);
    if (web.kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx: " << web.log();
    Configure(web);
    RunTwice();
}

TEST_F(LumettaRunTest, TheSameOverTls) {
    fs::create_directories(Path("ca"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("site", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    fs::create_directories(Path("tls-web"));
    WebServer web(Path("site"), Path("tls-web"), kFormConfig,
                  WebServer::Tls{issued.cert, issued.key});
    if (web.kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx: " << web.log();
    Configure(web, ca.caFile());
    RunTwice();
}

}  // namespace

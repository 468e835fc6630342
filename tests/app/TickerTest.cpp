#include "app/Ticker.h"

#include <QProcess>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/Application.h"
#include "app/CommandLine.h"
#include "app/MainCommands.h"
#include "app/SettingsStore.h"
#include "fakes/RecordingShell.h"
#include "fixtures/Fixtures.h"
#include "settings/Settings.h"

namespace {

using namespace settings;

bool ValidUtf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())).toUtf8().toStdString() ==
           s;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

std::string Response(const std::string& type, const std::string& body) {
    return "HTTP/1.1 200 OK\r\nServer: nginx\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class TickerTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        AddEvent("Headlines", kLumettaDisplay, "Daily");
    }
    RegKey EventKey(const std::string& name = "Headlines") {
        RegKey key;
        EXPECT_EQ(key.Open(RegKey::LocalMachine(), EventPath(name)), ERROR_SUCCESS);
        return key;
    }
    // A document subkey of the event, as the wizard writes it.
    void Document(const std::string& sub, const std::string& file, const std::string& url) {
        RegKey key = EventKey(), doc;
        ASSERT_EQ(doc.Create(key, sub, kEventClass), ERROR_SUCCESS);
        doc.SetString(kDocFile, file);
        doc.SetString(kUrl, url);
    }
};

TEST_F(TickerTest, DocumentsAreShownInOrderWithTitleTextAndLink) {
    WriteFile(Path("front.html"),
              Response("text/html; charset=utf-8",
                       "<html><head><title> Caf\xC3\xA9 &amp; Co </title>"
                       "<style>body { color: red }</style>"
                       "<script>var secret = 1;</script></head>\n<body><h1>Today</h1>\n"
                       "<p>Cr\xC3\xA8me &eacute;t\xC3\xA9\n   of &#8211; 2026&hellip; "
                       "&#x263A;&ndash;&bogus; &amp</p></body></html>"));
    WriteFile(Path("weather.txt"), Response("text/plain", "\n\n  Weather\nSunny &amp; warm\n"));
    // A page with no title tag: its first line of text is the title.
    WriteFile(Path("bare.html"), Response("text/html", "<p>First line</p>\n<p>and more</p>"));
    // Subkeys come in the store's order, whatever order they were written in.
    Document("0002", Path("bare.html"), "  www.example.org/bare  ");
    Document("0000", Path("front.html"), "https://news.example.org/");
    Document("0001", Path("weather.txt"), "newest@https://weather.example.org/start");

    CTicker ticker("Headlines");
    ticker.Load();
    const auto& items = ticker.items();
    ASSERT_EQ(items.size(), 3u);

    EXPECT_EQ(items[0].title, "Caf\xC3\xA9 & Co");
    EXPECT_EQ(items[0].text,
              "Today Cr\xC3\xA8me \xC3\xA9t\xC3\xA9 of \xE2\x80\x93 2026\xE2\x80\xA6 "
              "\xE2\x98\xBA\xE2\x80\x93 bogus; &");
    EXPECT_EQ(items[0].link, "https://news.example.org/");
    EXPECT_TRUE(items[0].available);

    // Plain text keeps its entities as written; its first line is the title.
    EXPECT_EQ(items[1].title, "Weather");
    EXPECT_EQ(items[1].text, "Sunny &amp; warm");
    // A script-found document links to its start page, the address the store keeps.
    EXPECT_EQ(items[1].link, "https://weather.example.org/start");

    // Once a run has said where the script led, the click goes there.
    {
        RegKey key = EventKey(), doc;
        ASSERT_EQ(doc.Open(key, "0001"), ERROR_SUCCESS);
        doc.SetString(kFetchedUrl, "https://weather.example.org/today");
    }
    CTicker fetched("Headlines");
    fetched.Load();
    ASSERT_EQ(fetched.items().size(), 3u);
    EXPECT_EQ(fetched.items()[1].link, "https://weather.example.org/today");

    EXPECT_EQ(items[2].title, "First line");
    EXPECT_EQ(items[2].text, "and more");
    EXPECT_EQ(items[2].link, "http://www.example.org/bare");

    for (const auto& item : items) {
        EXPECT_EQ(item.text.find('\n'), std::string::npos);
        EXPECT_EQ(item.text.find("secret"), std::string::npos) << "script text is not shown";
        EXPECT_EQ(item.text.find("color"), std::string::npos) << "style text is not shown";
    }
}

TEST_F(TickerTest, LinksAreWebAddressesAndNeverOptions) {
    EXPECT_EQ(CTicker::LinkOf("http://user@host.example/x"), "http://user@host.example/x");
    EXPECT_EQ(CTicker::LinkOf("var@host.example/start"), "http://host.example/start");
    EXPECT_EQ(CTicker::LinkOf("-n.example"), "http://-n.example");
    EXPECT_EQ(CTicker::LinkOf("@host.example"), "http://@host.example");
    EXPECT_EQ(CTicker::LinkOf("   "), "");
    EXPECT_EQ(CTicker::LinkOf("host.example:8080/x"), "http://host.example:8080/x");
    EXPECT_EQ(CTicker::LinkOf("HTTPS://host.example/"), "HTTPS://host.example/");
    // Only web pages: nothing another scheme would start is opened by a click.
    EXPECT_EQ(CTicker::LinkOf("file:///etc/passwd"), "");
    EXPECT_EQ(CTicker::LinkOf("Var@file:///etc/shadow"), "");
    EXPECT_EQ(CTicker::LinkOf("mailto:a@b.example"), "");
    EXPECT_EQ(CTicker::LinkOf("javascript:alert(1)"), "");
}

// What a real page or server sends: blocks that end without a blank, a document cut inside
// a character, Windows Latin-1 dashes, a body in chunks, a picture.
TEST_F(TickerTest, DocumentsReadAsTheirSenderMeantThem) {
    WriteFile(Path("blocks.html"),
              Response("text/html",
                       "<title>T</title><h1>Front</h1><p>Story</p>"
                       "<ul><li><a href=x>First</a></li><li>Second</li></ul>x<br>y"));
    std::string big =
        "<html><title>Gr\xC3\xB6\xC3\x9F"
        "e</title><p>";
    std::string head = Response("text/html", "");
    std::string filler(static_cast<size_t>(CTicker::kReadLimit) - head.size() - big.size() - 1,
                       'a');
    WriteFile(Path("big.html"), head + big + filler + "\xC3\xA9 and more after the cut");
    WriteFile(Path("cp1252.html"), Response("text/html", "<title>A \x96 B</title>"));
    WriteFile(Path("chunked.txt"),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\n\r\n"
              "9\r\nChunked\n \r\n8\r\npart two\r\n0\r\n\r\n");
    WriteFile(Path("image.png"), Response("image/png", std::string("\x89PNG\r\n\x1a\n\0\0", 10)));
    Document("0000", Path("blocks.html"), "");
    Document("0001", Path("big.html"), "");
    Document("0002", Path("cp1252.html"), "");
    Document("0003", Path("chunked.txt"), "");
    Document("0004", Path("image.png"), "http://pictures.example/");
    CTicker ticker("Headlines");
    ticker.Load();
    const auto& items = ticker.items();
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[0].text, "Front Story First Second x y");
    EXPECT_EQ(items[1].title,
              "Gr\xC3\xB6\xC3\x9F"
              "e");
    EXPECT_EQ(items[2].title, "A \xE2\x80\x93 B");
    EXPECT_EQ(items[3].title, "Chunked");
    EXPECT_EQ(items[3].text, "part two");
    EXPECT_FALSE(items[4].available);
    EXPECT_EQ(items[4].text, "Not a text document (image/png).");
}

// The strip follows what happens to its event while it is open.
TEST_F(TickerTest, AnEventChangedWhileShownIsFollowed) {
    WriteFile(Path("a.txt"), Response("text/plain", "A\n"));
    Document("0000", Path("a.txt"), "");
    EventKey().SetDword(kRefreshRate, 0);
    CTicker ticker("Headlines");
    ticker.Load();
    ticker.StartPolling();
    EXPECT_FALSE(ticker.polling());
    // A refresh rate given later starts the poll.
    EventKey().SetDword(kRefreshRate, 5);
    ticker.Load();
    EXPECT_TRUE(ticker.polling());

    // Another kind under the name, then no event at all: the strip says so.
    EventKey().SetDword(kType, kWebMonitor);
    ticker.Load();
    ASSERT_EQ(ticker.items().size(), 1u);
    EXPECT_FALSE(ticker.items()[0].available);
    EXPECT_EQ(ticker.items()[0].text, "This event is no longer a Lumetta display.");
    {
        RegKey root;
        ASSERT_EQ(root.Open(RegKey::LocalMachine(), kRoot), ERROR_SUCCESS);
        ASSERT_EQ(root.DeleteKey("Headlines"), ERROR_SUCCESS);
    }
    ticker.Load();
    ASSERT_EQ(ticker.items().size(), 1u);
    EXPECT_EQ(ticker.items()[0].text, "This display no longer exists (deleted or renamed).");
}

TEST_F(TickerTest, OneBadDocumentNeverHidesTheOthers) {
    const std::string good = Response("text/html", "<title>Good</title><p>Still here</p>");
    WriteFile(Path("good.html"), good);
    std::filesystem::create_directory(Path("folder"));
    // Bytes of every kind, NULs and broken UTF-8 among them.
    std::string garbage;
    for (int i = 0; i < 5000; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
    WriteFile(Path("garbage.bin"), garbage);
    // Far past what is read of a document, and nothing but "<".
    WriteFile(Path("huge.html"),
              Response("text/html", "<title>Huge</title>" + std::string(3 << 20, '<')));
    // A long plain text, cut on a character boundary.
    std::string accents;
    for (int i = 0; i < 3000; ++i) accents += "\xC3\xA9";
    WriteFile(Path("long.txt"), Response("text/plain", "Long\n" + accents));
    // A response that ends within its header.
    WriteFile(Path("cut.html"), "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Le");
    // A Latin-1 page.
    WriteFile(Path("latin1.html"), Response("text/html; charset=iso-8859-1",
                                            "<title>Gr\xFC\xDF Gott</title><p>\xE0 bient\xF4t"));

    Document("0000", Path("missing.html"), "http://missing.example/");
    Document("0001", Path("folder"), "http://folder.example/");
    Document("0002", Path("garbage.bin"), "http://garbage.example/");
    Document("0003", Path("huge.html"), "http://huge.example/");
    Document("0004", "", "http://nofile.example/");
    Document("0005", Path("long.txt"), "http://long.example/");
    Document("0006", Path("cut.html"), "http://cut.example/");
    Document("0007", Path("latin1.html"), "http://latin.example/");
    Document("0008", Path("good.html"), "http://good.example/");
    // No title of their own: the stored address stands in, whatever its bytes and length.
    WriteFile(Path("untitled.txt"), Response("text/plain", ""));
    Document("0009", Path("untitled.txt"), "http://caf\xE9.example/men\xFC");

    CTicker ticker("Headlines");
    ticker.Load();
    const auto& items = ticker.items();
    ASSERT_EQ(items.size(), 10u);
    EXPECT_FALSE(items[0].available);
    EXPECT_EQ(items[0].text, "Not retrieved yet.");
    EXPECT_EQ(items[0].title, "http://missing.example/");
    EXPECT_FALSE(items[1].available);
    EXPECT_FALSE(items[4].available);
    EXPECT_EQ(items[3].title, "Huge");
    EXPECT_EQ(items[5].title, "Long");
    EXPECT_LE(items[5].text.size(), CTicker::kTextLimit);
    EXPECT_GT(items[5].text.size(), CTicker::kTextLimit - 8);
    EXPECT_EQ(items[5].text.substr(items[5].text.size() - 3), "\xE2\x80\xA6");
    EXPECT_EQ(items[6].text, "");
    EXPECT_EQ(items[7].title, "Gr\xC3\xBC\xC3\x9F Gott");
    EXPECT_EQ(items[7].text, "\xC3\xA0 bient\xC3\xB4t");
    EXPECT_EQ(items[8].title, "Good");
    EXPECT_EQ(items[8].text, "Still here");
    EXPECT_EQ(items[9].title, "http://caf\xC3\xA9.example/men\xC3\xBC");
    // An address fetched after a script's steps may be far longer than a title.
    std::vector<TickerItem> all = items;
    all.push_back(CTicker::ItemFromDocument(Response("image/png", "\x89PNG"),
                                            "http://long.example/" + std::string(5000, 'x')));
    EXPECT_EQ(all.back().title.rfind("http://long.example/xxx", 0), 0u);
    for (const auto& item : all) {
        EXPECT_TRUE(ValidUtf8(item.title)) << item.title;
        EXPECT_LE(item.title.size(), CTicker::kTitleLimit) << item.link;
        EXPECT_TRUE(ValidUtf8(item.text)) << item.link;
        EXPECT_LE(item.text.size(), CTicker::kTextLimit) << item.link;
        EXPECT_FALSE(item.title.empty()) << item.link;
    }
}

TEST_F(TickerTest, DisplayValuesAreHeldToSaneBounds) {
    {
        CTicker ticker("Headlines");
        ticker.Load();
        const TickerDisplay& d = ticker.display();
        EXPECT_EQ(d.refreshSeconds, 10);
        EXPECT_EQ(d.scrollSpeed, 2);
        EXPECT_EQ(d.fontSize, 1);
        EXPECT_EQ(d.scrollType, TickerDisplay::Horizontal);
        EXPECT_EQ(d.zoom, 100);
        EXPECT_FALSE(d.onTop);
    }
    RegKey key = EventKey();
    key.SetDword(kScrollSpeed, 0);
    key.SetDword(kZoom, 0);
    key.SetDword(kFontSize, 0);
    key.SetDword(kScrollType, 0);
    key.SetDword(kRefreshRate, 0xFFFFFFFF);
    key.SetDword(kOnTop, 2);
    {
        CTicker ticker("Headlines");
        ticker.Load();
        const TickerDisplay& d = ticker.display();
        EXPECT_EQ(d.scrollSpeed, 1);
        EXPECT_EQ(d.zoom, 25);
        EXPECT_EQ(d.fontSize, 1);
        EXPECT_EQ(d.scrollType, TickerDisplay::Static);
        EXPECT_EQ(d.refreshSeconds, 86400);
        EXPECT_TRUE(d.onTop);
        EXPECT_GT(d.PointSize(), 0.0);
        // A still item moves on after a while, even at the lowest speed.
        WriteFile(Path("a.txt"), "A\n");
        Document("0000", Path("a.txt"), "");
        Document("0001", Path("a.txt"), "");
        ticker.Load();
        ticker.SetLayout({100, 100}, 300);
        for (int i = 0; i < CTicker::kStaticTicksAtSpeed1; ++i) ticker.Tick();
        EXPECT_EQ(ticker.current(), 1);
        EXPECT_EQ(ticker.ItemAt(50), 1);
    }
    key.SetDword(kScrollSpeed, 100000);
    key.SetDword(kZoom, 100000);
    key.SetDword(kFontSize, 99);
    key.SetDword(kScrollType, 7);
    {
        CTicker ticker("Headlines");
        ticker.Load();
        const TickerDisplay& d = ticker.display();
        EXPECT_EQ(d.scrollSpeed, 40);
        EXPECT_EQ(d.zoom, 400);
        EXPECT_EQ(d.fontSize, 7);
        EXPECT_EQ(d.scrollType, TickerDisplay::Horizontal);
        EXPECT_LE(d.PointSize(), 200.0);
    }
}

TEST_F(TickerTest, TheStripScrollsAndKnowsWhichItemIsWhere) {
    WriteFile(Path("a.txt"), "A\n");
    for (const char* sub : {"0000", "0001", "0002"}) Document(sub, Path("a.txt"), "");
    CTicker ticker("Headlines");
    ticker.Load();
    ASSERT_EQ(ticker.items().size(), 3u);
    ticker.SetLayout({100, 50, 30}, 200);  // a row of 180 on a strip of 200

    // The row comes in at the right edge.
    EXPECT_TRUE(ticker.Visible().empty());
    EXPECT_EQ(ticker.ItemAt(150), -1);
    for (int i = 0; i < 50; ++i) ticker.Tick();  // 2 pixels a step
    EXPECT_EQ(ticker.offset(), 100);
    ASSERT_EQ(ticker.Visible().size(), 1u);
    EXPECT_EQ(ticker.Visible()[0].item, 0);
    EXPECT_EQ(ticker.Visible()[0].position, 100);
    EXPECT_EQ(ticker.ItemAt(99), -1);
    EXPECT_EQ(ticker.ItemAt(150), 0);

    // Further on the row repeats: item 0 comes in again behind item 2.
    for (int i = 0; i < 75; ++i) ticker.Tick();
    EXPECT_EQ(ticker.offset(), 250);
    EXPECT_EQ(ticker.ItemAt(0), 0);    // item 0 at -50..50
    EXPECT_EQ(ticker.ItemAt(60), 1);   // 50..100
    EXPECT_EQ(ticker.ItemAt(120), 2);  // 100..130
    EXPECT_EQ(ticker.ItemAt(140), 0);  // the next round from 130
    EXPECT_EQ(ticker.ItemAt(200), -1);
    EXPECT_EQ(ticker.ItemAt(-1), -1);
    std::vector<int> order;
    for (const auto& at : ticker.Visible()) order.push_back(at.item);
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 0}));

    // However long it runs, the offset stays within one round and the picture repeats.
    for (int i = 0; i < 100000; ++i) ticker.Tick();
    EXPECT_LT(ticker.offset(), 200 + 180);
    for (const auto& at : ticker.Visible()) {
        int64_t inside = std::max<int64_t>(at.position, 0);
        EXPECT_EQ(ticker.ItemAt(inside), at.item) << inside;
    }

    // Paused under the pointer: nothing moves.
    int64_t before = ticker.offset();
    ticker.SetPaused(true);
    ticker.Tick();
    EXPECT_EQ(ticker.offset(), before);

    // A strip laid out with empty items still moves on (no round of length 0).
    ticker.SetPaused(false);
    ticker.SetLayout({0, 0, 0}, 10);
    for (int i = 0; i < 20; ++i) ticker.Tick();
    EXPECT_LT(ticker.offset(), 10 + 3);
}

TEST_F(TickerTest, AFileReplacedByRenameIsReadAgain) {
    const std::string file = Path("doc.html");
    WriteFile(file, Response("text/html", "<title>Old news</title>"));
    Document("0000", file, "http://example.org/");
    Document("0001", Path("later.html"), "http://example.org/later");
    CTicker ticker("Headlines");
    ticker.Load();
    ASSERT_EQ(ticker.items()[0].title, "Old news");
    ASSERT_FALSE(ticker.items()[1].available);
    int changed = 0;
    QObject::connect(&ticker, &CTicker::changed, [&] { ++changed; });

    // As the retrieval does: the new document is written beside it, then renamed over it.
    WriteFile(Path("doc.tmp"), Response("text/html", "<title>Fresh news</title>"));
    ASSERT_EQ(std::rename(Path("doc.tmp").c_str(), file.c_str()), 0);
    EXPECT_TRUE(waitFor([&] { return ticker.items()[0].title == "Fresh news"; }));
    EXPECT_GE(changed, 1);

    // The replaced file is watched in its turn, and a document that appears is seen.
    WriteFile(Path("doc.tmp"), Response("text/html", "<title>Fresher</title>"));
    ASSERT_EQ(std::rename(Path("doc.tmp").c_str(), file.c_str()), 0);
    WriteFile(Path("later.tmp"), Response("text/html", "<title>Arrived</title>"));
    ASSERT_EQ(std::rename(Path("later.tmp").c_str(), Path("later.html").c_str()), 0);
    EXPECT_TRUE(waitFor([&] {
        return ticker.items()[0].title == "Fresher" && ticker.items()[1].title == "Arrived";
    }));
    EXPECT_TRUE(ticker.items()[1].available);
}

// Without a poll, a document in a folder that is made only after the strip opened is still
// seen.
TEST_F(TickerTest, ADocumentInAFolderMadeLaterIsSeen) {
    EventKey().SetDword(kRefreshRate, 0);
    Document("0000", Path("later/news/doc.html"), "http://example.org/");
    CTicker ticker("Headlines");
    ticker.Load();
    ticker.StartPolling();
    ASSERT_FALSE(ticker.polling());
    ASSERT_FALSE(ticker.items()[0].available);
    std::filesystem::create_directories(Path("later/news"));
    WriteFile(Path("later/news/doc.tmp"), Response("text/html", "<title>Arrived</title>"));
    ASSERT_EQ(std::rename(Path("later/news/doc.tmp").c_str(), Path("later/news/doc.html").c_str()),
              0);
    EXPECT_TRUE(waitFor([&] { return ticker.items()[0].title == "Arrived"; }));
}

TEST_F(TickerTest, EventsAreCheckedBeforeATickerShows) {
    std::string error;
    EXPECT_TRUE(CTicker::CheckEvent("headlines", &error)) << error;
    EXPECT_FALSE(CTicker::CheckEvent("Nothing", &error));
    EXPECT_EQ(error, "there is no event named \"Nothing\"");
    AddEvent("Mail", kMailMonitor, "Daily");
    EXPECT_FALSE(CTicker::CheckEvent("Mail", &error));
    EXPECT_EQ(error, "the event \"Mail\" is not a Lumetta display");
    // A document subkey is no event, nor is the root.
    Document("0000", Path("x"), "");
    EXPECT_FALSE(CTicker::CheckEvent("Headlines\\0000", &error));
    EXPECT_FALSE(CTicker::CheckEvent("", &error));
}

TEST_F(TickerTest, ShowTickerIsOfferedOnlyOnALumettaDisplay) {
    auto shell = std::make_shared<RecordingShell>();
    Shell::Install(shell);
    ScheduleRecord daily;
    daily.name = "Daily";
    ASSERT_TRUE(CreateEventRecord(daily));
    AddEvent("Site", kWebMonitor, "Daily");
    {
        CApplication app(nullptr);
        CMainCommands commands(app);
        FillScheduleList(commands.selector());
        commands.selector().SetCurSel(commands.selector().FindStringExact("Daily"));
        CEventList& list = commands.eventList();
        list.RefreshList();
        ASSERT_EQ(list.rows().size(), 2u);
        std::vector<std::string> asked;
        QObject::connect(&commands, &CMainCommands::tickerRequested,
                         [&](const std::string& e) { asked.push_back(e); });

        EXPECT_FALSE(commands.PopupEnabled(kPopupShowTicker)) << "nothing selected";
        commands.ShowTicker();
        list.SelectName("Site");
        ASSERT_TRUE(list.HasSelection());
        EXPECT_FALSE(list.ShowTickerEnabled());
        EXPECT_FALSE(commands.PopupEnabled(kPopupShowTicker));
        commands.ShowTicker();
        EXPECT_TRUE(asked.empty());
        list.SelectName("Headlines");
        EXPECT_TRUE(list.ShowTickerEnabled());
        EXPECT_TRUE(commands.PopupEnabled(kPopupShowTicker));
        commands.ShowTicker();
        EXPECT_EQ(asked, std::vector<std::string>{"Headlines"});
    }
    Shell::Install(nullptr);
}

TEST(TickerCommandLine, TickerTakesOneEventAndGoesWithNoOtherMode) {
    CommandLine cmd;
    std::string error;
    ASSERT_TRUE(cmd.Parse({"--registry", "r.db", "--ticker", "Headlines"}, &error)) << error;
    EXPECT_EQ(cmd.mode, CommandLine::Ticker);
    EXPECT_EQ(cmd.tickerEvent, "Headlines");
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--ticker"},
                                               {"--ticker", ""},
                                               {"--ticker", "A", "--ticker", "B"},
                                               {"--ticker", "A", "--run", "Daily"},
                                               {"--log", "--ticker", "A"},
                                               {"--ticker", "A", "--headless"},
                                               {"--schedules", "--ticker", "A"}}) {
        CommandLine c;
        EXPECT_FALSE(c.Parse(args, &error)) << ::testing::PrintToString(args);
    }
    EXPECT_NE(std::string(CommandLine::UsageText()).find("--ticker EVENT"), std::string::npos);
}

TEST_F(TickerTest, TickerOfAnUnknownOrWrongEventIsAClearError) {
    AddEvent("Mail", kMailMonitor, "Daily");
    auto run = [&](const std::string& event) {
        QProcess p;
        p.start(QUORVANE_BIN, {"--data-dir", QString::fromStdString(Path("data")), "--registry",
                               QString::fromStdString(Path("registry.db")), "--ticker",
                               QString::fromStdString(event)});
        EXPECT_TRUE(p.waitForFinished(30000));
        return std::make_pair(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
                              p.readAllStandardError().toStdString());
    };
    auto [code, err] = run("Nothing here");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err, "quorvane: there is no event named \"Nothing here\"\n");
    std::tie(code, err) = run("Mail");
    EXPECT_EQ(code, 1);
    EXPECT_EQ(err, "quorvane: the event \"Mail\" is not a Lumetta display\n");
}

}  // namespace

#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "app/ItemList.h"
#include "app/SettingsStore.h"
#include "fixtures/Fixtures.h"
#include "net/Inet.h"

namespace {

TEST(InetTextTest, FindNoCaseLetsLowerCasePatternsMatchEitherCase) {
    EXPECT_EQ(CInet::FindNoCase("Last-Modified: x", "last-modified:"), 0u);
    EXPECT_EQ(CInet::FindNoCase("xx LAST-MODIFIED: x", "last-modified:"), 3u);
    EXPECT_EQ(CInet::FindNoCase("last-modified:", "Last-Modified:"), std::string::npos)
        << "an upper-case pattern letter matches only itself";
    EXPECT_EQ(CInet::FindNoCase("aab", "ab"), 1u) << "the search resumes after a partial match";
    EXPECT_EQ(CInet::FindNoCase("abc", ""), 0u);
    EXPECT_EQ(CInet::FindNoCase("ab", "abc"), std::string::npos);
}

TEST(InetTextTest, MatchWordFindsWordsWithEndingsAndPunctuation) {
    EXPECT_TRUE(CInet::MatchWord("Re: Matches: tonight", "match"));
    EXPECT_TRUE(CInet::MatchWord("The game was Matched!", "match"));
    EXPECT_TRUE(CInet::MatchWord("Watching: matching tonight", "match"));
    EXPECT_TRUE(CInet::MatchWord("send an email now", "e-mail"));
    EXPECT_FALSE(CInet::MatchWord("send an e-mail now", "e-mail"));
    EXPECT_FALSE(CInet::MatchWord("rematch", "match")) << "no word start";
    EXPECT_FALSE(CInet::MatchWord("mismatch here", "match"));
    EXPECT_FALSE(CInet::MatchWord("match\r\n", "match")) << "a line end does not end a word";
    EXPECT_FALSE(CInet::MatchWord("matchbox", "match"));
    EXPECT_TRUE(CInet::MatchWord("match", "match"));
    EXPECT_TRUE(CInet::MatchWord("big MATCH.", "match"));
    EXPECT_FALSE(CInet::MatchWord("big match.", "MATCH")) << "upper case matches only itself";
    EXPECT_TRUE(CInet::MatchWord("first matchbox then match", "match"))
        << "the search goes on after a failed ending";
}

TEST(InetTextTest, MatchAllWordsNeedsEveryKeyword) {
    EXPECT_TRUE(CInet::MatchAllWords("Linux kernel released today", "  kernel linux  "));
    EXPECT_FALSE(CInet::MatchAllWords("Linux kernel released today", "kernel windows"));
    EXPECT_TRUE(CInet::MatchAllWords("anything", ""));
    EXPECT_TRUE(CInet::MatchAllWords("anything", " ;,! "));
    EXPECT_TRUE(CInet::MatchAllWords("cheap flights to Rome", "\"cheap flights\""))
        << "leading separators are dropped";
    // A separator other than a blank stays in front of the next keyword and is skipped.
    EXPECT_TRUE(CInet::MatchAllWords("a b c", "a,b c"));
    EXPECT_FALSE(CInet::MatchAllWords("a c b", "a,b c"));
}

TEST(InetTextTest, SplitAddressTakesNameAndAddressApart) {
    std::string name = "old", address = "old";
    EXPECT_EQ(CInet::SplitAddress("\"Joe Bloggs\" <joe@example.org>", &name, &address), 0);
    EXPECT_EQ(name, "Joe Bloggs");
    EXPECT_EQ(address, "joe@example.org");
    EXPECT_EQ(CInet::SplitAddress("joe@example.org (Joe Bloggs)", &name, &address), 0);
    EXPECT_EQ(name, "Joe Bloggs");
    EXPECT_EQ(address, "joe@example.org");
    EXPECT_EQ(CInet::SplitAddress("  joe@example.org  ", &name, &address), 0);
    EXPECT_EQ(name, "");
    EXPECT_EQ(address, "joe@example.org");
    EXPECT_EQ(CInet::SplitAddress("<a b@x>", &name, &address), 0);
    EXPECT_EQ(address, "ab@x");
    name = address = "kept";
    EXPECT_EQ(CInet::SplitAddress(std::string(251, 'x'), &name, &address), 1);
    EXPECT_EQ(name, "kept");
}

struct Split {
    std::string scheme, host, path;
    int port;
    bool operator==(const Split& o) const {
        return scheme == o.scheme && host == o.host && path == o.path && port == o.port;
    }
};
Split SplitOf(const std::string& url) {
    Split s;
    CInet::SplitUrl(url, &s.scheme, &s.host, &s.port, &s.path);
    return s;
}

TEST(InetUrlTest, ServerSettingsOfEitherFamilyGiveTheirHostAndPort) {
    struct Case {
        const char* text;
        const char* host;
        int port;
    } cases[] = {
        {"mail.test", "mail.test", 0},
        {"mail.test:587", "mail.test", 587},
        {"127.0.0.1:25", "127.0.0.1", 25},
        {"::1", "::1", 0},
        {"[::1]", "::1", 0},
        {"[::1]:2525", "::1", 2525},
        {"fe80::1:25", "fe80::1:25", 0},
        {"mail.test:smtp", "mail.test:smtp", 0},
        {"mail.test:99999", "mail.test:99999", 0},
    };
    for (const auto& c : cases) {
        std::string host;
        int port = -1;
        CInet::SplitHostPort(c.text, &host, &port);
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

TEST(InetUrlTest, SplitUrl) {
    EXPECT_EQ(SplitOf("http://www.example.org/a/b.html?q=1"),
              (Split{"http", "www.example.org", "/a/b.html?q=1", 80}));
    EXPECT_EQ(SplitOf("www.example.org/docs/x"), (Split{"http", "www.example.org", "/docs/x", 80}));
    EXPECT_EQ(SplitOf("HTTP://Host"), (Split{"HTTP", "Host", "/", 80}));
    EXPECT_EQ(SplitOf("http://user:pw@www.example.org:8080/p#frag"),
              (Split{"http", "www.example.org", "/p", 8080}));
    EXPECT_EQ(SplitOf("http://h:0/").port, 80);
    EXPECT_EQ(SplitOf("http://h:abc/").port, 80);
    EXPECT_EQ(SplitOf("http://h:99999/").port, 80);
    EXPECT_EQ(SplitOf("ftp://h/f").scheme, "ftp");
}

TEST(InetUrlTest, SplitUrlKnowsHttpsAndBracketedAddresses) {
    EXPECT_EQ(SplitOf("https://www.example.org/a"), (Split{"https", "www.example.org", "/a", 443}));
    EXPECT_EQ(SplitOf("HTTPS://Host").port, 443) << "the scheme in any case";
    EXPECT_EQ(SplitOf("https://h:8443/x").port, 8443);
    EXPECT_EQ(SplitOf("https://h:0/").port, 443) << "no usable port is the scheme's own";
    EXPECT_EQ(SplitOf("https://h:99999/").port, 443);
    EXPECT_EQ(SplitOf("httpsx://h/").port, 80);
    // The colons of an IPv6 address are not its port; the host keeps its brackets.
    EXPECT_EQ(SplitOf("http://[::1]:8080/x?y#z"), (Split{"http", "[::1]", "/x?y", 8080}));
    EXPECT_EQ(SplitOf("http://[::1]/"), (Split{"http", "[::1]", "/", 80}));
    EXPECT_EQ(SplitOf("https://user:pw@[2001:db8::7]/a"),
              (Split{"https", "[2001:db8::7]", "/a", 443}));
    EXPECT_EQ(SplitOf("http://[::1]:0/").port, 80);
}

TEST(InetUrlTest, UrlsAreRebuiltWithTheirSchemesDefaultPortLeftOut) {
    EXPECT_EQ(CInet::NormalizeUrl("https", "h", 443, "/a/./b//c"), "https://h/a/b/c");
    EXPECT_EQ(CInet::NormalizeUrl("HTTPS", "h", 443, "/"), "HTTPS://h/");
    EXPECT_EQ(CInet::NormalizeUrl("https", "h", 80, "/"), "https://h:80/");
    EXPECT_EQ(CInet::NormalizeUrl("http", "h", 443, "/"), "http://h:443/");
    EXPECT_EQ(CInet::NormalizeUrl("http", "[::1]", 8080, "/a/../b"), "http://[::1]:8080/b");
    EXPECT_EQ(CInet::ResolveUrl("https://h/dir/p.html", "f.html"), "https://h/dir/f.html");
    EXPECT_EQ(CInet::ResolveUrl("https://h:8443/dir/p?q", "/top"), "https://h:8443/top");
    EXPECT_EQ(CInet::ResolveUrl("http://[::1]:8080/d/p", "f"), "http://[::1]:8080/d/f");
    EXPECT_EQ(CInet::ResolveUrl("https://[::1]/d/p", "/t"), "https://[::1]/t");
    EXPECT_EQ(CInet::ResolveUrl("http://h/a", "https://o/x"), "https://o/x");
    EXPECT_EQ(CInet::ExtractLink("https://h/dir/index.html", "a href=\"page.html\">x</a>"),
              "https://h/dir/page.html");
    // What NormalizeUrl writes, SplitUrl reads back the same.
    std::string url = CInet::NormalizeUrl("https", "[fe80::1]", 8443, "/x");
    EXPECT_EQ(SplitOf(url), (Split{"https", "[fe80::1]", "/x", 8443}));
}

TEST(InetUrlTest, ResolveUrl) {
    EXPECT_EQ(CInet::ResolveUrl("http://h/dir/page.html?x=1", "file.html"),
              "http://h/dir/file.html");
    EXPECT_EQ(CInet::ResolveUrl("http://h/dir/?x=1", "file.html"), "http://h/dir/file.html");
    EXPECT_EQ(CInet::ResolveUrl("http://h:81/dir/p", "f"), "http://h:81/dir/f");
    EXPECT_EQ(CInet::ResolveUrl("http://h:81/dir/p?q", "/top.html"), "http://h:81/top.html");
    EXPECT_EQ(CInet::ResolveUrl("http://h/a/b", "http://other/x"), "http://other/x");
    EXPECT_EQ(CInet::ResolveUrl("http://h/a/b", ""), "");
    EXPECT_EQ(CInet::ResolveUrl("http://h/a/b", "../c"), "http://h/a/../c");
    EXPECT_EQ(CInet::ResolveUrl("http://h/a/", "x\r\ny\tz"), "http://h/a/xyz");
    EXPECT_EQ(CInet::ResolveUrl("http://h/a/", "http://e/\r\nHost: evil"), "http://e/Host: evil")
        << "no line break ever reaches a request line";
    EXPECT_EQ(CInet::ResolveUrl("http://h/cgi/run.cgi|a=b/c", "x"), "http://h/cgi/x");
}

TEST(InetUrlTest, NormalizeUrl) {
    EXPECT_EQ(CInet::NormalizeUrl("http", "h", 80, "/a/./b/../c//d.html"), "http://h/a/c/d.html");
    EXPECT_EQ(CInet::NormalizeUrl("http", "h", 80, "/../x"), "http://h/x")
        << "never above the root";
    EXPECT_EQ(CInet::NormalizeUrl("http", "h", 8080, "/a/b/.."), "http://h:8080/a/b/..");
    EXPECT_EQ(CInet::NormalizeUrl("http", "h", 80, "/a\\b\\..\\c"), "http://h/a\\c");
}

TEST(InetUrlTest, ExtractLink) {
    const std::string base = "http://h/dir/index.html";
    EXPECT_EQ(CInet::ExtractLink(base, "a href=\"page.html\">x</a>"), "http://h/dir/page.html");
    EXPECT_EQ(CInet::ExtractLink(base, "a href=\"/top.html#sec\">"), "http://h/top.html");
    EXPECT_EQ(CInet::ExtractLink(base, "a href=\"#local\">"), "");
    EXPECT_EQ(CInet::ExtractLink(base, "a href=\"\">"), "");
    EXPECT_EQ(CInet::ExtractLink(base, "a href=page.html target=x>"),
              "http://h/dir/age.html target=x")
        << "an unquoted link loses its first character and keeps the attributes behind it";
    EXPECT_EQ(CInet::ExtractLink(base, "a href=\"unterminated"), "");
    EXPECT_EQ(CInet::ExtractLink(base, "a hr"), "");
    EXPECT_EQ(
        CInet::ExtractLink(base, std::string("a href=\"") + std::string(300, 'p') + "\">").size(),
        std::string("http://h/dir/").size() + 256);
}

TEST(InetDateTest, TheThreeFormsOfOneInstantAgree) {
    const int64_t t = 784887151;  // Tue, 15 Nov 1994 08:12:31 GMT
    EXPECT_EQ(CInet::ParseHttpDate("Tue, 15 Nov 1994 08:12:31 GMT"), t);
    EXPECT_EQ(CInet::ParseHttpDate("Tuesday, 15-Nov-94 08:12:31 GMT"), t);
    EXPECT_EQ(CInet::ParseHttpDate("Tue Nov 15 08:12:31 1994"), t);
    EXPECT_EQ(CInet::ParseHttpDate("Tue Nov  6 08:12:31 1994"), t - 9 * 86400);
    EXPECT_EQ(CInet::ParseHttpDate("tue, 15 NOV 1994 08:12:31 GMT"), t);
}

TEST(InetDateTest, TodaysDatesParseAndNonsenseGivesZero) {
    EXPECT_EQ(CInet::ParseHttpDate("Mon, 07 Dec 2026 19:35:00 GMT"), 1796672100);
    EXPECT_EQ(CInet::ParseHttpDate("Monday, 07-Dec-26 19:35:00 GMT"), 1796672100);
    EXPECT_EQ(CInet::ParseHttpDate("Mon Dec  7 19:35:00 2026"), 1796672100);
    EXPECT_EQ(CInet::ParseHttpDate("Thu, 01 Jan 2099 00:00:00 GMT"), 4070908800);
    EXPECT_EQ(CInet::ParseHttpDate("Fri, 01 Jan 2106 00:00:00 GMT"), 0) << "past the 32-bit range";
    EXPECT_EQ(CInet::ParseHttpDate("Wed, 31 Dec 1969 23:59:59 GMT"), 0);
    EXPECT_EQ(CInet::ParseHttpDate("Tue, 15 Nov 1994 24:00:00 GMT"), 0);
    EXPECT_EQ(CInet::ParseHttpDate("Tue, 32 Nov 1994 08:00:00 GMT"), 0);
    EXPECT_EQ(CInet::ParseHttpDate("yesterday"), 0);
    EXPECT_EQ(CInet::ParseHttpDate(""), 0);
    EXPECT_EQ(CInet::ParseHttpDate(","), 0);
}

class InetRegistryTest : public SandboxTest {};

TEST_F(InetRegistryTest, HelpersKeepDefaultsAndStopListsAtTheEmptyItem) {
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "K", ""), ERROR_SUCCESS);
    std::string text = "default";
    EXPECT_FALSE(CInet::ReadString(key, "Absent", &text));
    EXPECT_EQ(text, "default");
    key.SetString("Long", std::string(256, 'x'));
    EXPECT_FALSE(CInet::ReadString(key, "Long", &text));
    EXPECT_EQ(text, "default");
    key.SetString("Name", "news.example.org");
    EXPECT_TRUE(CInet::ReadString(key, "Name", &text));
    EXPECT_EQ(text, "news.example.org");

    key.SetValue("Groups", REG_MULTI_SZ, Bytes{'a', 0, 'b', 0, 0, 'c', 0, 0});
    CItemList list;
    list.AddString("stale");
    FillList(key, "Groups", list);
    ASSERT_EQ(list.GetCount(), 2);
    EXPECT_EQ(list.GetText(1), "b");
    key.SetValue("Big", REG_MULTI_SZ, Bytes(1025, 'x'));
    FillList(key, "Big", list);
    EXPECT_EQ(list.GetCount(), 0) << "a list over 1024 bytes is not read";
}

class InetHeaderTest : public SandboxTest {};

TEST_F(InetHeaderTest, GetHeaderValueReadsTheHeaderOnly) {
    std::ofstream(Path("r")) << "HTTP/1.0 200 OK\r\nCONTENT-LENGTH:   1234\r\n"
                                "Last-Modified: Tue, 15 Nov 1994 08:12:31 GMT\r\n\r\n"
                                "X-Body-Only: yes\r\n";
    std::string value;
    EXPECT_TRUE(CInet::GetHeaderValue(Path("r"), "content-length:", &value));
    EXPECT_EQ(value, "1234");
    EXPECT_TRUE(CInet::GetHeaderValue(Path("r"), "last-modified:", &value));
    EXPECT_EQ(value, "Tue, 15 Nov 1994 08:12:31 GMT");
    EXPECT_FALSE(CInet::GetHeaderValue(Path("r"), "x-body-only:", &value));
    EXPECT_FALSE(CInet::GetHeaderValue(Path("missing"), "a:", &value));

    // A folded line goes on behind its line break; the pieces join with one blank, and a
    // folded line of the body is no header.
    std::ofstream(Path("f")) << "HTTP/1.0 200 OK\r\nLast-Modified:\r\n\tTue, 15 Nov 1994\r\n"
                                "  08:12:31 GMT\r\nServer: x\r\n \r\nContent-Type: text/html;\n"
                                " charset=utf-8\r\n\r\n"
                                " body: no\r\n";
    EXPECT_TRUE(CInet::GetHeaderValue(Path("f"), "last-modified:", &value));
    EXPECT_EQ(value, "Tue, 15 Nov 1994 08:12:31 GMT");
    EXPECT_TRUE(CInet::GetHeaderValue(Path("f"), "server:", &value));
    EXPECT_EQ(value, "x");
    EXPECT_TRUE(CInet::GetHeaderValue(Path("f"), "content-type:", &value));
    EXPECT_EQ(value, "text/html; charset=utf-8");

    // A name found inside another line is passed over.
    std::ofstream(Path("s")) << "HTTP/1.0 200 OK\r\nX-Server: date: no\r\nDate: yes\r\n\r\n";
    EXPECT_TRUE(CInet::GetHeaderValue(Path("s"), "date:", &value));
    EXPECT_EQ(value, "yes");
    EXPECT_FALSE(CInet::GetHeaderValue(Path("s"), "DATE:", &value))
        << "an upper-case letter of the name matches only itself";

    // A body past the first block is never searched once the header has ended.
    std::ofstream(Path("t")) << "HTTP/1.0 200 OK\r\n\r\n"
                             << std::string(5000, 'b') << "\r\nSecret: x\r\n";
    EXPECT_FALSE(CInet::GetHeaderValue(Path("t"), "secret:", &value));
}

TEST_F(InetHeaderTest, LinesAreFoundWhereverTheReadsOfTheFileSplitThem) {
    // The name, the value and the header's blank line each cut at every place around the
    // first few kilobytes, where one read of the file ends and the next begins.
    const std::string field = "Last-Modified: Wed, 02 Jan 2019 10:00:00 GMT\r\n";
    for (size_t pad = 4000; pad < 4200; ++pad) {
        SCOPED_TRACE(pad);
        std::ofstream(Path("r"), std::ios::binary | std::ios::trunc)
            << "HTTP/1.0 200 OK\r\nX-Pad: " << std::string(pad, 'a') << "\r\n"
            << field << "\r\nContent-Length: 5\r\n";
        std::string value;
        ASSERT_TRUE(CInet::GetHeaderValue(Path("r"), "last-modified:", &value));
        ASSERT_EQ(value, "Wed, 02 Jan 2019 10:00:00 GMT");
        ASSERT_FALSE(CInet::GetHeaderValue(Path("r"), "content-length:", &value))
            << "a body line is no header, however the blank line before it was read";
    }
}

TEST_F(InetHeaderTest, AMissingHeaderIsAnEmptyText) {
    // Callers quote the value found; the text of an earlier lookup must not pass for it.
    std::ofstream(Path("r")) << "HTTP/1.0 200 OK\r\nLast-Modified: Tue, 15 Nov 1994\r\n\r\n";
    std::string value;
    ASSERT_TRUE(CInet::GetHeaderValue(Path("r"), "last-modified:", &value));
    EXPECT_FALSE(CInet::GetHeaderValue(Path("r"), "content-length:", &value));
    EXPECT_EQ(value, "");
    value = "stale";
    EXPECT_FALSE(CInet::GetHeaderValue(Path("missing"), "a:", &value));
    EXPECT_EQ(value, "");
    std::ofstream(Path("body")) << "HTTP/1.0 200 OK\r\n\r\nContent-Length: 5\r\n";
    value = "stale";
    EXPECT_FALSE(CInet::GetHeaderValue(Path("body"), "content-length:", &value));
    EXPECT_EQ(value, "");
}

}  // namespace

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/SettingsStore.h"
#include "fakes/FakeHttpServer.h"
#include "fakes/FakeResolver.h"
#include "fakes/HttpOwner.h"
#include "fakes/ScriptedServer.h"
#include "fakes/TestCa.h"
#include "fakes/TunnelProxy.h"
#include "fakes/WebServer.h"
#include "fixtures/Fixtures.h"
#include "net/Http.h"
#include "net/Panel.h"
#include "net/Smtp.h"

namespace {

using namespace settings;

const char* kRequestTail =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n"
    "Accept-Language: en\r\n"
    "User-Agent: Korvalin/1.00 (compatible; MSIE 3.02; Windows 95)\r\n";
// The one line a request gains when it asks the server to keep the connection.
const std::string kKeepAliveLine = "Connection: keep-alive\r\n";

class HttpTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        resolver_ = std::make_shared<FakeResolver>();
        resolver_->addresses["www.example.test"] = {"127.0.0.1"};
        resolver_->addresses["proxy.test"] = {"127.0.0.1"};
        Resolver::Install(resolver_);
        fd_ = ::open(Path("response").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override {
        ::close(fd_);
        Resolver::Install(nullptr);
        SandboxTest::TearDown();
    }
    std::string Url(const std::string& path = "/index.html") {
        return "http://www.example.test:" + std::to_string(server_.port()) + path;
    }
    std::string Host() { return "www.example.test"; }
    // The server listens on another port than 80, so the Host line names it.
    std::string HostLine() {
        return "Host: www.example.test:" + std::to_string(server_.port()) + "\r\n";
    }
    bool Finish(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        return waitFor([&] { return !owner_.done.empty(); }, timeout);
    }
    std::string File() { return ReadFileBytes(Path("response")); }
    void Rewind() {
        ASSERT_EQ(::ftruncate(fd_, 0), 0);
        ASSERT_EQ(::lseek(fd_, 0, SEEK_SET), 0);
    }

    std::shared_ptr<FakeResolver> resolver_;
    ScriptedServer server_;
    HttpOwner owner_;
    int fd_ = -1;
};

TEST_F(HttpTest, GetSendsTheFixedRequestAndStoresTheWholeResponse) {
    const std::string response =
        "HTTP/1.0 200 OK\r\nLast-Modified: Tue, 15 Nov 1994 08:12:31 GMT\r\n\r\n<html>hi</html>";
    server_.replies.push_back({{response}});
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish());
    ASSERT_EQ(owner_.done.size(), 1u);
    EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_GET_DONE, 200u));
    EXPECT_EQ(server_.received[0], "GET /index.html HTTP/1.0\r\n" + std::string(kRequestTail) +
                                       HostLine() + kKeepAliveLine + "\r\n");
    EXPECT_EQ(File(), response);
    EXPECT_EQ(owner_.client.state(), 0);
    EXPECT_EQ(owner_.client.opMessage(), 0u);
}

TEST_F(HttpTest, BlanksAndControlBytesOfALinkGoOutEscapedInTheRequestLine) {
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n"}});
    ASSERT_EQ(owner_.client.Get(Url("/my page\x01\x7f\xc3\xa9.html?q=a b"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_GET_DONE, 200u));
    EXPECT_EQ(server_.received[0].substr(0, server_.received[0].find("\r\n")),
              "GET /my%20page%01%7F%C3%A9.html?q=a%20b HTTP/1.0");
}

TEST_F(HttpTest, AnAnswerThatEndsShortOfItsLengthIsNoDocument) {
    server_.replies.push_back(
        {{"HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(40, 'a')}});
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_GET_DONE, kHttpCutShort));
    EXPECT_EQ(owner_.client.ErrorText(kHttpCutShort),
              "The Web Server www.example.test closed the connection before all of " + Url() +
                  " had arrived.");
    // Whole, the same answer stands.
    server_.replies = {{{"HTTP/1.0 200 OK\r\nContent-Length: 40\r\n\r\n" + std::string(40, 'a')}}};
    Rewind();
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(waitFor([&] { return owner_.done.size() == 2; }));
    EXPECT_EQ(owner_.done[1], std::make_pair(WM_HTTP_GET_DONE, 200u));
}

TEST_F(HttpTest, HeadAndIfModifiedSince) {
    server_.replies.push_back({{"HTTP/1.0 304 Not Modified\r\nServer: x\r\n\r\n"}});
    ASSERT_EQ(owner_.client.Head(Url("/a?b=c#frag"), fd_, 784887151), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_HEAD_DONE, 304u));
    EXPECT_EQ(server_.received[0],
              "HEAD /a?b=c HTTP/1.0\r\n" + std::string(kRequestTail) + HostLine() + kKeepAliveLine +
                  "If-Modified-Since: Tuesday, 15-Nov-94 08:12:31 GMT\r\n\r\n");
    EXPECT_EQ(owner_.client.replyText(), "HTTP/1.0 304 Not Modified");
}

TEST_F(HttpTest, ABarInTheUrlMakesAPost) {
    ScriptedServer::Reply reply{{"HTTP/1.0 200 OK\r\n\r\nposted"}};
    reply.extra = 13 + 2;  // the body and the closing line end
    server_.replies.push_back(reply);
    ASSERT_EQ(owner_.client.Get(Url("/form.cgi") + "|q=a%20b&x=1|y", fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
    EXPECT_EQ(server_.received[0], "POST /form.cgi HTTP/1.0\r\n" + std::string(kRequestTail) +
                                       HostLine() + kKeepAliveLine +
                                       "Content-Type: application/x-www-form-urlencoded\r\n"
                                       "Content-Length: 13\r\n\r\n"
                                       "q=a%20b&x=1|y\r\n");
}

TEST_F(HttpTest, ProxyRequestsCarryTheWholeUrl) {
    Root().SetDword(kUseProxy, 1);
    Root().SetString(kProxyServer, "proxy.test");
    Root().SetDword(kProxyPort, static_cast<DWORD>(server_.port()));
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\n\r\n"}});
    ASSERT_EQ(owner_.client.Get("http://www.example.test/p", fd_), 0u);
    ASSERT_TRUE(Finish());
    ASSERT_EQ(owner_.client.Get("HTTP://www.example.test:8080/q", fd_), 0u);
    ASSERT_TRUE(waitFor([&] { return owner_.done.size() == 2; }));
    ASSERT_EQ(server_.connections(), 2);
    EXPECT_EQ(server_.received[0].substr(0, server_.received[0].find("\r\n")),
              "GET http://www.example.test/p HTTP/1.0");
    EXPECT_EQ(server_.received[1].substr(0, server_.received[1].find("\r\n")),
              "GET http://www.example.test:8080/q HTTP/1.0");
    EXPECT_NE(server_.received[0].find("\r\nHost: www.example.test\r\n"), std::string::npos);
    EXPECT_NE(server_.received[1].find("\r\nHost: www.example.test:8080\r\n"), std::string::npos);
    EXPECT_EQ(resolver_->asked, (std::vector<std::string>{"proxy.test", "proxy.test"}));
}

TEST_F(HttpTest, AResponseWholeByItsHeaderEndsThoughTheServerKeepsTheLineOpen) {
    // Only the response itself can end these requests: the reply time-out is ten minutes.
    Root().SetDword(kTimeoutHttp, 600000);
    ScriptedServer::Reply sized{{"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello"}};
    sized.close = false;
    server_.replies.push_back(sized);
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
    EXPECT_EQ(File(), "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello");

    owner_.done.clear();
    Rewind();
    ScriptedServer::Reply head{{"HTTP/1.0 200 OK\r\nContent-Length: 999\r\n\r\n"}};
    head.close = false;
    server_.replies.push_back(head);
    ASSERT_EQ(owner_.client.Head(Url(), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
}

TEST_F(HttpTest, TheRedirectTargetIsTheLocationHeaderItself) {
    server_.replies.push_back(
        {{"HTTP/1.0 302 Found\r\nContent-Location: /wrong.html\r\n"
          "Location:/right.html\r\n\r\nsee Location: /body.html"}});
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\n\r\nright"}});
    ASSERT_EQ(owner_.client.Get(Url("/a.html"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
    ASSERT_EQ(server_.connections(), 2);
    EXPECT_EQ(server_.received[1].rfind("GET /right.html HTTP/1.0\r\n", 0), 0u)
        << server_.received[1];

    // "//host:port/path" names a server, not a path on this one.
    owner_.done.clear();
    Rewind();
    server_.replies.clear();  // the last reply stays for every later connection
    server_.replies.push_back({{"HTTP/1.0 302 Found\r\nLocation: //www.example.test:" +
                                std::to_string(server_.port()) + "/other.html\r\n\r\n"}});
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\n\r\nother"}});
    ASSERT_EQ(owner_.client.Get(Url("/b.html"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
    ASSERT_EQ(server_.connections(), 4);
    EXPECT_EQ(server_.received[3].rfind("GET /other.html HTTP/1.0\r\n", 0), 0u)
        << server_.received[3];
}

TEST_F(HttpTest, RedirectionsAreFollowedWithOneCompletion) {
    server_.replies.push_back({{"HTTP/1.0 302 Found\r\nlocation: next.html\r\n\r\nmoved"}});
    server_.replies.push_back({{"HTTP/1.0 302 Found\r\nLOCATION: /final?x=1\r\n\r\n"}});
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\n\r\nthe end"}});
    ASSERT_EQ(owner_.client.Get(Url("/dir/page.html"), fd_), 0u);
    ASSERT_TRUE(Finish());
    // Idle with no timer and nothing queued: no second completion can come.
    ASSERT_TRUE(DrainMessages());
    EXPECT_FALSE(owner_.HasTimer(kHttpTimer));
    ASSERT_EQ(owner_.done.size(), 1u);
    EXPECT_EQ(owner_.done[0].second, 200u);
    ASSERT_EQ(server_.connections(), 3);
    EXPECT_EQ(server_.received[1].rfind("GET /dir/next.html HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(server_.received[2].rfind("GET /final?x=1 HTTP/1.0\r\n", 0), 0u);
    EXPECT_EQ(File(), "HTTP/1.0 200 OK\r\n\r\nthe end") << "only the final response stays";
}

TEST_F(HttpTest, AnEndlessRedirectChainStopsWithIts302) {
    server_.replies.push_back({{"HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n"}});
    ASSERT_EQ(owner_.client.Get(Url("/start"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 302u);
    EXPECT_EQ(server_.connections(), 1 + kMaxRedirections);
    // A 302 without a Location is reported as it is.
    owner_.done.clear();
    server_.replies = {{{"HTTP/1.0 302 Found\r\n\r\n"}}};
    ASSERT_EQ(owner_.client.Get(Url("/x"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 302u);
}

TEST_F(HttpTest, EveryRedirectionOfTodayIsFollowedWithOneCompletion) {
    int connections = 0;
    for (int code : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(code);
        owner_.done.clear();
        Rewind();
        const std::string target = "/moved-" + std::to_string(code);
        server_.replies = {{{"HTTP/1.0 " + std::to_string(code) + " Moved\r\nLocation: " + target +
                             "\r\n\r\nold"}},
                           {{"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew"}}};
        ASSERT_EQ(owner_.client.Get(Url("/old"), fd_), 0u);
        ASSERT_TRUE(Finish());
        ASSERT_TRUE(DrainMessages());
        ASSERT_EQ(owner_.done.size(), 1u);
        EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_GET_DONE, 200u));
        connections += 2;
        ASSERT_EQ(server_.connections(), connections);
        EXPECT_EQ(server_.received.back(), "GET " + target + " HTTP/1.0\r\n" +
                                               std::string(kRequestTail) + HostLine() +
                                               kKeepAliveLine + "\r\n");
        EXPECT_EQ(File(), "HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nnew");
        EXPECT_EQ(owner_.client.url(), Url(target));
    }
    // HEAD stays HEAD whatever the redirection.
    owner_.done.clear();
    Rewind();
    server_.replies = {{{"HTTP/1.0 303 See Other\r\nLocation: /h\r\n\r\n"}},
                       {{"HTTP/1.0 200 OK\r\n\r\n"}}};
    ASSERT_EQ(owner_.client.Head(Url("/x"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_HEAD_DONE, 200u));
    EXPECT_EQ(server_.received.back().rfind("HEAD /h HTTP/1.0\r\n", 0), 0u);
}

TEST_F(HttpTest, APostGoesAgainOnlyAfter307And308) {
    const std::string body = "q=1&r=2";
    for (int code : {301, 302, 303, 307, 308}) {
        SCOPED_TRACE(code);
        owner_.done.clear();
        Rewind();
        ScriptedServer::Reply moved{
            {"HTTP/1.0 " + std::to_string(code) + " Moved\r\nLocation: /to\r\n\r\n"}};
        moved.extra = body.size() + 2;
        ScriptedServer::Reply ok{{"HTTP/1.0 200 OK\r\n\r\ndone"}};
        bool again = code == 307 || code == 308;
        if (again) ok.extra = body.size() + 2;
        server_.replies = {moved, ok};
        ASSERT_EQ(owner_.client.Get(Url("/form") + "|" + body, fd_), 0u);
        ASSERT_TRUE(Finish());
        EXPECT_EQ(owner_.done[0].second, 200u);
        if (again)
            EXPECT_EQ(server_.received.back(),
                      "POST /to HTTP/1.0\r\n" + std::string(kRequestTail) + HostLine() +
                          kKeepAliveLine +
                          "Content-Type: application/x-www-form-urlencoded\r\n"
                          "Content-Length: 7\r\n\r\nq=1&r=2\r\n");
        else
            EXPECT_EQ(server_.received.back(), "GET /to HTTP/1.0\r\n" + std::string(kRequestTail) +
                                                   HostLine() + kKeepAliveLine + "\r\n");
    }
    // A "|" in a redirection's target is part of its path, never a body to post.
    owner_.done.clear();
    Rewind();
    server_.replies = {{{"HTTP/1.0 302 Found\r\nLocation: /p|q=1\r\n\r\n"}},
                       {{"HTTP/1.0 200 OK\r\n\r\n"}}};
    ASSERT_EQ(owner_.client.Get(Url("/start"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(server_.received.back().rfind("GET /p|q=1 HTTP/1.0\r\n", 0), 0u)
        << server_.received.back();
}

TEST_F(HttpTest, FollowRedirectsZeroFollowsOnly302) {
    Root().SetDword(kFollowRedirects, 0);
    server_.replies = {{{"HTTP/1.0 301 Moved Permanently\r\nLocation: /new\r\n\r\nold"}}};
    ASSERT_EQ(owner_.client.Get(Url("/old"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 301u);
    EXPECT_EQ(server_.connections(), 1);
    EXPECT_EQ(owner_.client.ErrorText(301),
              "The Web Server www.example.test said:  HTTP/1.0 301 Moved Permanently");
    EXPECT_FALSE(owner_.client.Follows(308));

    owner_.done.clear();
    Rewind();
    server_.replies = {{{"HTTP/1.0 302 Found\r\nLocation: /new\r\n\r\n"}},
                       {{"HTTP/1.0 200 OK\r\n\r\nnew"}}};
    ASSERT_EQ(owner_.client.Get(Url("/old"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
    EXPECT_EQ(server_.connections(), 3);

    // Any other value follows them all, as no value does.
    Root().SetDword(kFollowRedirects, 2);
    owner_.done.clear();
    Rewind();
    server_.replies = {{{"HTTP/1.0 308 Permanent Redirect\r\nLocation: /new\r\n\r\n"}},
                       {{"HTTP/1.0 200 OK\r\n\r\nnew"}}};
    ASSERT_EQ(owner_.client.Get(Url("/old"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
}

TEST_F(HttpTest, ALoopOfRedirectionsEndsAtTheBoundWithItsLastAnswer) {
    FakeHttpServer web;
    web.pages["/a"] = "HTTP/1.0 301 Moved Permanently\r\nLocation: /b\r\n\r\n";
    web.pages["/b"] = "HTTP/1.0 307 Temporary Redirect\r\nLocation: " + web.Url("/a") + "\r\n\r\n";
    ASSERT_EQ(owner_.client.Get(web.Url("/a"), fd_), 0u);
    ASSERT_TRUE(Finish());
    ASSERT_TRUE(DrainMessages());
    ASSERT_EQ(owner_.done.size(), 1u);
    // /a, then /b and /a again five times each: the first request and ten redirections.
    EXPECT_EQ(web.requests.size(), static_cast<size_t>(1 + kMaxRedirections));
    EXPECT_EQ(owner_.done[0].second, 301u);
    EXPECT_EQ(File(), web.pages["/a"]);
    EXPECT_EQ(owner_.client.replyText(), "HTTP/1.0 301 Moved Permanently");
}

TEST_F(HttpTest, TheHostLineCarriesBracketsAndAPortNotTheSchemesOwn) {
    Root().SetDword(kUseProxy, 1);
    Root().SetString(kProxyServer, "proxy.test");
    Root().SetDword(kProxyPort, static_cast<DWORD>(server_.port()));
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\n\r\n"}});
    ASSERT_EQ(owner_.client.Get("http://[::1]:8080/x", fd_), 0u);
    ASSERT_TRUE(Finish());
    ASSERT_EQ(owner_.client.Get("http://[::1]/y", fd_), 0u);
    ASSERT_TRUE(waitFor([&] { return owner_.done.size() == 2; }));
    ASSERT_EQ(server_.connections(), 2);
    EXPECT_EQ(server_.received[0], "GET http://[::1]:8080/x HTTP/1.0\r\n" +
                                       std::string(kRequestTail) + "Host: [::1]:8080\r\n\r\n");
    EXPECT_EQ(server_.received[1], "GET http://[::1]/y HTTP/1.0\r\n" + std::string(kRequestTail) +
                                       "Host: [::1]\r\n\r\n");
    EXPECT_EQ(owner_.client.host(), "[::1]");
    EXPECT_EQ(resolver_->asked, (std::vector<std::string>{"proxy.test", "proxy.test"}));
}

TEST_F(HttpTest, HttpsUrlsAreTakenWithTheirOwnPort) {
    ASSERT_EQ(owner_.client.Get("HTTPS://www.example.test/s", fd_), 0u);
    EXPECT_TRUE(owner_.client.secure());
    EXPECT_EQ(owner_.client.urlPort(), 443);
    EXPECT_EQ(owner_.client.host(), "www.example.test");
    owner_.client.Abort();
    ASSERT_EQ(owner_.client.Get("https://www.example.test:8443/s", fd_), 0u);
    EXPECT_EQ(owner_.client.urlPort(), 8443);
    owner_.client.Abort();
    ASSERT_EQ(owner_.client.Get(Url("/plain"), fd_), 0u);
    EXPECT_FALSE(owner_.client.secure());
    owner_.client.Abort();
    EXPECT_EQ(owner_.client.Get("http://[]/", fd_), kHttpBadLink);
}

TEST_F(HttpTest, HttpsGoesDirectOrThroughAProxyTunnelAndRedirectionsKeepOrTakeIt) {
    std::filesystem::create_directories(Path("ca"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("site", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    std::filesystem::create_directories(Path("site"));
    std::filesystem::create_directories(Path("work"));
    std::ofstream(Path("site/index.html")) << "<html>secure</html>";
    WebServer web(Path("site"), Path("work"),
                  "    location = /old { return 301 /index.html; }\n"
                  "    location = /far { return 302 //localhost:$server_port/index.html; }\n",
                  WebServer::Tls{issued.cert, issued.key});
    if (web.kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx";
    resolver_->addresses["localhost"] = {"127.0.0.1"};
    Root().SetString(kTlsCaFile, ca.caFile());
    const std::string body = "<html>secure</html>";
    auto fetch = [&](const std::string& url) {
        owner_.done.clear();
        Rewind();
        EXPECT_EQ(owner_.client.Get(url, fd_), 0u);
        EXPECT_TRUE(Finish(std::chrono::seconds(20)));
        return owner_.done.empty() ? 0u : owner_.done[0].second;
    };

    EXPECT_EQ(fetch(web.Url("/index.html", "localhost")), 200u);
    EXPECT_EQ(File().rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(File().substr(File().size() - body.size()), body);

    // A relative or scheme-relative Location stays secure.
    EXPECT_EQ(fetch(web.Url("/old", "localhost")), 200u);
    EXPECT_EQ(owner_.client.url(), web.Url("/index.html", "localhost"));
    EXPECT_EQ(fetch(web.Url("/far", "localhost")), 200u);
    EXPECT_EQ(owner_.client.url(), web.Url("/index.html", "localhost"));
    EXPECT_TRUE(owner_.client.secure());

    // A plain site that moved to https is followed there.
    server_.replies = {{{"HTTP/1.0 301 Moved Permanently\r\nLocation: " +
                         web.Url("/index.html", "localhost") + "\r\n\r\n"}}};
    EXPECT_EQ(fetch(Url("/plain")), 200u);
    EXPECT_EQ(File().substr(File().size() - body.size()), body);

    // Through the proxy: it is told the server and port, never the document.
    TunnelProxy proxy;
    Root().SetDword(kUseProxy, 1);
    Root().SetString(kProxyServer, "127.0.0.1");
    Root().SetDword(kProxyPort, static_cast<DWORD>(proxy.port()));
    EXPECT_EQ(fetch(web.Url("/index.html?secret=1", "localhost")), 200u);
    EXPECT_EQ(File().substr(File().size() - body.size()), body);
    const std::string authority = "localhost:" + std::to_string(web.port());
    EXPECT_EQ(proxy.asked, std::vector<std::string>{"CONNECT " + authority + " HTTP/1.0\r\nHost: " +
                                                    authority + "\r\n\r\n"});

    // A certificate of no trusted authority: the reason, and nothing sent.
    Root().DeleteValue(kTlsCaFile);
    EXPECT_EQ(fetch(web.Url("/index.html", "localhost")), kHttpTlsFailed);
    EXPECT_EQ(owner_.client.ErrorText(kHttpTlsFailed),
              "The secure connection to the Web Server localhost could not be made: unable to get "
              "local issuer certificate.");
    EXPECT_EQ(File(), "");
}

TEST_F(HttpTest, AnHttpsServerThatAnswersInPlainTextNeverSeesTheRequest) {
    ScriptedServer::Reply plain{{"HTTP/1.0 200 OK\r\n\r\nplain"}};
    plain.until = "";  // speaks first
    server_.replies = {plain};
    ASSERT_EQ(
        owner_.client.Get("https://www.example.test:" + std::to_string(server_.port()) + "/", fd_),
        0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, kHttpTlsFailed);
    ASSERT_EQ(server_.connections(), 1) << "an untrusted peer is not tried again";
    EXPECT_EQ(server_.received[0].find("GET "), std::string::npos);
    EXPECT_EQ(File(), "");
}

TEST_F(HttpTest, AProxyThatOpensNoTunnelIsToldAndEveryWaitForItIsBounded) {
    Root().SetDword(kUseProxy, 1);
    Root().SetString(kProxyServer, "proxy.test");
    Root().SetDword(kProxyPort, static_cast<DWORD>(server_.port()));
    Root().SetDword(kTimeoutHttp, 300);
    auto fetch = [&](const ScriptedServer::Reply& reply) {
        owner_.done.clear();
        Rewind();
        server_.replies = {reply};
        EXPECT_EQ(owner_.client.Get("https://www.example.test/secret/doc.html?k=v", fd_), 0u);
        EXPECT_TRUE(Finish(std::chrono::seconds(20)));
        return owner_.done.empty() ? 0u : owner_.done[0].second;
    };

    EXPECT_EQ(fetch({{"HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: "
                      "Basic\r\n\r\n"}}),
              kHttpProxyRefused);
    EXPECT_EQ(server_.received[0],
              "CONNECT www.example.test:443 HTTP/1.0\r\nHost: www.example.test:443\r\n\r\n");
    EXPECT_EQ(owner_.client.ErrorText(kHttpProxyRefused),
              "The proxy server proxy.test would not reach the Web Server www.example.test, it "
              "said:  HTTP/1.0 407 Proxy Authentication Required");
    EXPECT_EQ(fetch({{"SSH-2.0-OpenSSH_9.2\r\n\r\n"}}), kHttpProxyRefused);
    EXPECT_EQ(owner_.client.replyText(), "SSH-2.0-OpenSSH_9.2");

    // Until the tunnel stands, silence or a hang-up is the proxy's, and said so.
    const std::string proxy = "The proxy server proxy.test:" + std::to_string(server_.port());
    ScriptedServer::Reply silent;
    silent.silent = true;
    EXPECT_EQ(fetch(silent), kHttpProxyClosed);
    EXPECT_EQ(owner_.client.ErrorText(kHttpProxyClosed),
              proxy +
                  " did not answer before it opened the way to the Web Server "
                  "www.example.test.");
    EXPECT_EQ(fetch({{}}), kHttpProxyClosed) << "a proxy that hangs up at once";
    EXPECT_EQ(owner_.client.ErrorText(kHttpProxyClosed),
              proxy +
                  " closed the connection before it opened the way to the Web Server "
                  "www.example.test.");

    // A refusal dripped a byte at a time: one reply time-out bounds the whole answer.
    ScriptedServer::Reply drip;
    for (char c : std::string("HTTP/1.0 403 Forbidden\r\n\r\n")) drip.chunks.push_back({c});
    drip.gapMs = 60;
    drip.close = false;
    EXPECT_EQ(fetch(drip), kHttpProxyClosed);

    // An answer without end is cut off at its bound.
    ScriptedServer::Reply endless{{"HTTP/1.0 200 Connection established\r\n"}};
    endless.endless = 4096;
    EXPECT_EQ(fetch(endless), kHttpProxyRefused);
    EXPECT_EQ(owner_.client.replyText(), "HTTP/1.0 200 Connection established");
    EXPECT_EQ(File(), "") << "nothing of a proxy's answer is the document";
}

TEST_F(HttpTest, RepliesThatAreNotHttpOrNothingAtAll) {
    server_.replies.push_back({{"Tue Dec  7 20:00:00 2026\r\n"}});
    ASSERT_EQ(owner_.client.Get(Url("/time"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, kHttpNotHttp);
    EXPECT_EQ(owner_.client.replyText(), "Tue Dec  7 20:00:00 2026\r\n");
    EXPECT_EQ(owner_.client.ErrorText(kHttpNotHttp),
              "The Web Server www.example.test said:  Tue Dec  7 20:00:00 2026\r\n");
    EXPECT_EQ(File(), "");

    owner_.done.clear();
    server_.replies = {{{}}};  // closes at once
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, kHttpNoResponse);
    EXPECT_EQ(owner_.client.ErrorText(kHttpNoResponse),
              "The Web Server www.example.test did not respond to our command, please try again "
              "later.");
}

// What ordinary servers send to a 1.0 request, read as a lenient client reads it: the file
// holds the status line, the header and the document itself, never the chunk framing or an
// interim answer.
TEST_F(HttpTest, ChunkedBodiesAndInterimAnswersLeaveTheDocumentInTheFile) {
    struct Case {
        const char* name;
        std::vector<std::string> chunks;
        uint32_t code;
        std::string file;
    };
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string lengthAndChunks =
        "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: gzip, chunked\r\n\r\n";
    const Case cases[] = {
        {"chunks with an extension and a trailer",
         {head + "5\r\n<a hr\r\n", "a;name=v\r\nef=\"x.html\r\n",
          "2\r\n\">\r\n0\r\nX-T: t\r\n\r\n"},
         200,
         head + "<a href=\"x.html\">"},
        {"a size and data split over reads",
         {head + "1", "0\r\n0123456789ab", "cdef\r", "\n0\r", "\n\r\n"},
         200,
         head + "0123456789abcdef"},
        {"upper-case hex, a blank before the extension, bare line ends",
         {head + "A ;x\n0123456789\n0\n\n"},
         200,
         head + "0123456789"},
        {"chunks win over a length",
         {lengthAndChunks + "2\r\nok\r\n0\r\n\r\n"},
         200,
         lengthAndChunks + "ok"},
        {"an interim answer first",
         {"HTTP/1.1 100 Continue\r\n\r\n", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
         200,
         "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"},
        {"two interim answers in one read",
         {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Processing\r\nX: y\r\n\r\n"
          "HTTP/1.0 404 Not Found\r\n\r\n"},
         404,
         "HTTP/1.0 404 Not Found\r\n\r\n"},
        {"a size that is no number", {head + "zz\r\nabc\r\n0\r\n\r\n"}, kHttpBadChunk, head},
        {"data longer than its size", {head + "2\r\nabc\r\n0\r\n\r\n"}, kHttpBadChunk, head + "ab"},
        {"a size line without end", {head + std::string(5000, '1')}, kHttpBadChunk, head},
        {"closed before the last chunk", {head + "3\r\nabc\r\n"}, kHttpCutShort, head + "abc"},
        {"nothing but an interim answer", {"HTTP/1.1 100 Continue\r\n\r\n"}, kHttpNoResponse, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        owner_.done.clear();
        Rewind();
        ScriptedServer::Reply reply{c.chunks};
        reply.gapMs = 20;
        server_.replies = {reply};
        ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
        ASSERT_TRUE(Finish());
        EXPECT_EQ(owner_.done[0].second, c.code);
        EXPECT_EQ(File(), c.file);
    }
    EXPECT_EQ(owner_.client.ErrorText(kHttpBadChunk),
              "The Web Server www.example.test sent " + Url() +
                  " in chunks whose sizes could not be read.");
}

TEST_F(HttpTest, AStatusLineSplitOverReadsIsAssembledFirst) {
    ScriptedServer::Reply reply{{"HTT", "P/1.0 40", "4 Not Found\r\n\r\nmissing"}};
    reply.gapMs = 30;
    server_.replies.push_back(reply);
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 404u);
    EXPECT_EQ(owner_.client.replyText(), "HTTP/1.0 404 Not Found");
    EXPECT_EQ(owner_.client.ErrorText(404),
              "The Web Server www.example.test said:  HTTP/1.0 404 Not Found");
    EXPECT_EQ(File(), "HTTP/1.0 404 Not Found\r\n\r\nmissing");
}

TEST_F(HttpTest, BusyAndMalformedRequestsAnswerAtOnce) {
    ScriptedServer::Reply reply{{"HTTP/1.0 200 OK\r\n\r\n"}};
    reply.gapMs = 50;
    server_.replies.push_back(reply);
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    EXPECT_EQ(owner_.client.Get(Url("/other"), fd_), kHttpBusy);
    EXPECT_EQ(owner_.client.ErrorText(kHttpBusy), "The Web object is being recalled.");
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done.size(), 1u);
    EXPECT_EQ(owner_.done[0].second, 200u);

    EXPECT_EQ(owner_.client.Get("ftp://www.example.test/file", fd_), kHttpBadLink);
    EXPECT_EQ(owner_.client.Get("http:///nohost", fd_), kHttpBadLink);
    EXPECT_EQ(owner_.client.ErrorText(kHttpBadLink), "The link is not formed correctly.");
    EXPECT_EQ(owner_.client.opMessage(), 0u);
}

TEST_F(HttpTest, LookupFailuresAndTimeouts) {
    ASSERT_EQ(owner_.client.Get("http://no.such.host/", fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 11001u);
    EXPECT_EQ(owner_.client.ErrorText(11001),
              "The Internet address for no.such.host could not be found.  Verify the server "
              "name and try again.");

    owner_.done.clear();
    resolver_->asked.clear();
    resolver_->never.insert("slow.host");
    Root().SetDword(kTimeoutConnection, 40);
    Root().SetDword(kConnectionAttempts, 2);
    ASSERT_EQ(owner_.client.Get("http://slow.host/", fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, kLookupTimedOut);
    EXPECT_EQ(resolver_->asked.size(), 3u) << "the first try and two more";
    EXPECT_EQ(owner_.client.ErrorText(kLookupTimedOut),
              "The Internet address lookup timed out.  Verify the DNS server addresses, and the "
              "Internet connection.");
}

TEST_F(HttpTest, RefusedConnectionsAreRetriedThenReportedAsNoResponse) {
    int closedPort = 0;
    {
        ScriptedServer gone;
        closedPort = gone.port();
    }
    std::string url = "http://www.example.test:" + std::to_string(closedPort) + "/";
    ASSERT_EQ(owner_.client.Get(url, fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, kHttpNoResponse) << "not the socket error";
    EXPECT_EQ(resolver_->asked.size(), 4u) << "the default 3 attempts try four times";

    owner_.done.clear();
    resolver_->asked.clear();
    Root().SetDword(kConnectionAttempts, 0);
    ASSERT_EQ(owner_.client.Get(url, fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(resolver_->asked.size(), 1u);

    // A dotted address is connected without a lookup.
    owner_.done.clear();
    resolver_->asked.clear();
    ASSERT_EQ(owner_.client.Get("http://127.0.0.1:" + std::to_string(closedPort) + "/", fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_TRUE(resolver_->asked.empty());
    owner_.done.clear();
    owner_.client.Get("http://0.0.0.0:" + std::to_string(closedPort) + "/", fd_);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(resolver_->asked, std::vector<std::string>{"0.0.0.0"});
}

TEST_F(HttpTest, AReplyTimeoutAfterConnectingIsReportedOnce) {
    Root().SetDword(kTimeoutHttp, 100);
    ScriptedServer::Reply silent;
    silent.silent = true;
    server_.replies.push_back(silent);
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, kHttpNoResponse);
    EXPECT_EQ(server_.connections(), 1) << "no new connection once one stood";
    EXPECT_FALSE(owner_.client.OnTimer(99));
}

TEST_F(HttpTest, AServerThatNeverStopsIsCutOffAtTheSizeLimit) {
    Root().SetDword(kHttpMaxResponse, 200000);
    ScriptedServer::Reply endless{{"HTTP/1.0 200 OK\r\n\r\n"}};
    endless.endless = 16384;
    server_.replies.push_back(endless);
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish(std::chrono::seconds(30)));
    EXPECT_EQ(owner_.done[0].second, kHttpTooLarge);
    EXPECT_LE(File().size(), 200000u);
    EXPECT_NE(owner_.client.ErrorText(kHttpTooLarge).find("more than 200000 bytes"),
              std::string::npos);
}

TEST_F(HttpTest, ALargeResponseArrivesWhole) {
    std::string body;
    for (int i = 0; body.size() < 3 * 1024 * 1024; ++i) body += "line " + std::to_string(i) + "\n";
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\n\r\n", body}});
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    ASSERT_TRUE(Finish(std::chrono::seconds(30)));
    EXPECT_EQ(owner_.done[0].second, 200u);
    EXPECT_TRUE(File() == "HTTP/1.0 200 OK\r\n\r\n" + body);
}

TEST_F(HttpTest, AResetAfterACompleteResponseKeepsIt) {
    FakeHttpServer web;
    const std::string sized = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";
    web.pages["/sized"] = sized;
    web.pages["/head"] = "HTTP/1.0 200 OK\r\nLast-Modified: x\r\n\r\nbody the HEAD never sees";
    web.pages["/moved"] = "HTTP/1.0 302 Found\r\nLocation: /sized\r\nContent-Length: 0\r\n\r\n";
    web.resets = {"/sized", "/head", "/moved"};

    ASSERT_EQ(owner_.client.Get(web.Url("/sized"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_GET_DONE, 200u)) << "the body was whole";
    EXPECT_EQ(File(), sized);

    // The answer to HEAD ends with its header.
    owner_.done.clear();
    Rewind();
    ASSERT_EQ(owner_.client.Head(web.Url("/head"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0], std::make_pair(WM_HTTP_HEAD_DONE, 200u));
    EXPECT_EQ(File(), "HTTP/1.0 200 OK\r\nLast-Modified: x\r\n\r\n");

    // A whole redirection is followed as if the server had closed properly.
    owner_.done.clear();
    Rewind();
    ASSERT_EQ(owner_.client.Get(web.Url("/moved"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(owner_.done[0].second, 200u);
    EXPECT_EQ(File(), sized);
}

TEST_F(HttpTest, AResetBeforeTheResponseIsCompleteIsSaidSo) {
    FakeHttpServer web;
    web.pages["/short"] = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nonly this";
    // Without a length only an orderly close tells that the body is whole.
    web.pages["/unsized"] = "HTTP/1.0 200 OK\r\n\r\nmaybe all";
    web.pages["/nothing"] = "";
    web.pages["/half-header"] = "HTTP/1.0 200 OK\r\nContent-Le";
    web.resets = {"/short", "/unsized", "/nothing", "/half-header"};
    const std::string said = "The Web Server 127.0.0.1 reset the connection.";

    for (const char* path : {"/short", "/unsized", "/nothing", "/half-header"}) {
        SCOPED_TRACE(path);
        owner_.done.clear();
        Rewind();
        ASSERT_EQ(owner_.client.Get(web.Url(path), fd_), 0u);
        ASSERT_TRUE(Finish());
        EXPECT_EQ(owner_.done[0].second, static_cast<uint32_t>(WSAECONNRESET));
        EXPECT_EQ(owner_.client.ErrorText(WSAECONNRESET), said);
        EXPECT_EQ(owner_.client.state(), 0);
    }
    EXPECT_EQ(File(), "HTTP/1.0 200 OK\r\nContent-Le") << "what came stays in the file";
}

TEST_F(HttpTest, AbortPostsNothing) {
    ScriptedServer::Reply slow{{"HTTP/1.0 200 OK\r\n\r\n"}};
    slow.gapMs = 100;
    slow.silent = true;
    server_.replies.push_back(slow);
    ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
    waitFor([&] { return server_.connections() == 1; });
    owner_.client.Abort();
    ASSERT_TRUE(DrainMessages());
    EXPECT_FALSE(owner_.HasTimer(kHttpTimer));
    EXPECT_TRUE(owner_.done.empty());
    EXPECT_EQ(owner_.client.state(), 0);
}

// A response a kept connection may carry: the server says keep-alive and names its length.
std::string KeptPage(const std::string& body) {
    return "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST_F(HttpTest, AKeptConnectionCarriesTheNextRequestsAndRedirectionsToTheSameServer) {
    FakeHttpServer web;
    web.keepAlive = true;
    web.pages["/a"] = KeptPage("first");
    // Any case, in a list, an answer of 1.1: all the same.
    const std::string b =
        "HTTP/1.1 200 OK\r\nconnection: Upgrade, Keep-Alive\r\nContent-Length: 6\r\n\r\nsecond";
    web.pages["/b"] = b;
    web.pages["/r1"] =
        "HTTP/1.0 302 Found\r\nConnection: keep-alive\r\nLocation: /r2\r\nContent-Length: "
        "0\r\n\r\n";
    web.pages["/r2"] =
        "HTTP/1.0 301 Moved\r\nConnection: keep-alive\r\nLocation: /b\r\nContent-Length: "
        "4\r\n\r\ngone";
    auto fetch = [&](bool head, const std::string& path) {
        owner_.done.clear();
        Rewind();
        EXPECT_EQ(
            head ? owner_.client.Head(web.Url(path), fd_) : owner_.client.Get(web.Url(path), fd_),
            0u);
        EXPECT_TRUE(Finish());
        EXPECT_TRUE(DrainMessages());
        EXPECT_EQ(owner_.done.size(), 1u);
        EXPECT_FALSE(owner_.HasTimer(kHttpTimer)) << "nothing is awaited while kept";
        return owner_.done.empty() ? 0u : owner_.done[0].second;
    };
    EXPECT_EQ(fetch(false, "/a"), 200u);
    EXPECT_EQ(File(), web.pages["/a"]);
    EXPECT_TRUE(owner_.client.keepsConnection());
    EXPECT_EQ(fetch(true, "/b"), 200u);
    EXPECT_EQ(File(), b.substr(0, b.find("\r\n\r\n") + 4));
    EXPECT_EQ(fetch(false, "/r1"), 200u);
    EXPECT_EQ(File(), b) << "only the final response stays";
    EXPECT_EQ(fetch(false, "/a"), 200u);
    EXPECT_EQ(File(), web.pages["/a"]);
    EXPECT_EQ(web.accepted, 1);
    EXPECT_EQ(web.requests, (std::vector<std::string>{"GET /a", "HEAD /b", "GET /r1", "GET /r2",
                                                      "GET /b", "GET /a"}));
}

TEST_F(HttpTest, KeepAliveZeroSendsTheRequestOfOldOnAConnectionOfItsOwn) {
    Root().SetDword(kHttpKeepAlive, 0);
    ScriptedServer::Reply kept{{KeptPage("hello")}};
    kept.close = false;
    server_.replies.push_back(kept);
    for (int i = 1; i <= 2; ++i) {
        Rewind();
        ASSERT_EQ(owner_.client.Get(Url(), fd_), 0u);
        ASSERT_TRUE(waitFor([&] { return owner_.done.size() == static_cast<size_t>(i); }));
        EXPECT_EQ(owner_.done.back(), std::make_pair(WM_HTTP_GET_DONE, 200u));
        EXPECT_EQ(File(), KeptPage("hello"));
        EXPECT_FALSE(owner_.client.IsOpen());
    }
    ASSERT_EQ(server_.connections(), 2);
    for (const std::string& request : server_.received)
        EXPECT_EQ(request,
                  "GET /index.html HTTP/1.0\r\n" + std::string(kRequestTail) + HostLine() + "\r\n");
}

TEST_F(HttpTest, AConnectionIsKeptOnlyWhenItsAnswerEndedExactlyAndSaidSo) {
    const std::map<std::string, std::string> answers = {
        {"no word", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"},
        {"close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok"},
        {"keep and close",
         "HTTP/1.1 200 OK\r\nConnection: keep-alive, close\r\nContent-Length: 2\r\n\r\nok"},
        {"a token that only contains it",
         "HTTP/1.1 200 OK\r\nConnection: no-keep-alive\r\nContent-Length: 2\r\n\r\nok"},
        {"no length", "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\n\r\nok"},
        {"bytes beyond",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nokHTTP/1.0 200 "
         "OK\r\n\r\n"},
        {"other framing",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nTransfer-Encoding: "
         "gzip\r\nContent-Length: 2\r\n\r\nok"},
        {"two lengths",
         "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\nContent-Length: "
         "9\r\n\r\nok"},
    };
    for (const auto& [name, answer] : answers) {
        SCOPED_TRACE(name);
        FakeHttpServer web;
        web.keepAlive = true;
        web.pages["/p"] = answer;
        for (int i = 0; i < 2; ++i) {
            owner_.done.clear();
            Rewind();
            ASSERT_EQ(owner_.client.Get(web.Url("/p"), fd_), 0u);
            ASSERT_TRUE(Finish());
            EXPECT_EQ(owner_.done[0].second, 200u);
            // (What came beyond may arrive apart, after the answer was judged whole.)
            if (name != "bytes beyond") {
                EXPECT_EQ(File(), answer);
            }
            EXPECT_TRUE(waitFor([&] { return !owner_.client.IsOpen(); }));
        }
        EXPECT_EQ(web.accepted, 2);
    }

    // Nor to another server, another port, through a proxy, or once it idled too long.
    FakeHttpServer one, two;
    for (FakeHttpServer* web : {&one, &two}) {
        web->keepAlive = true;
        web->pages["/p"] = KeptPage("ok");
    }
    for (FakeHttpServer* web : {&one, &two, &one}) {
        owner_.done.clear();
        ASSERT_EQ(owner_.client.Get(web->Url("/p"), fd_), 0u);
        ASSERT_TRUE(Finish());
        EXPECT_EQ(owner_.done[0].second, 200u);
    }
    EXPECT_EQ(one.accepted, 2);
    EXPECT_EQ(two.accepted, 1);
    EXPECT_TRUE(waitFor([&] { return one.open() == 1 && two.open() == 0; }))
        << "one connection at a time";

    owner_.client.SetKeptIdleLimit(std::chrono::milliseconds(0));
    owner_.done.clear();
    ASSERT_EQ(owner_.client.Get(one.Url("/p"), fd_), 0u);
    ASSERT_TRUE(Finish());
    EXPECT_EQ(one.accepted, 3);
    owner_.client.SetKeptIdleLimit(kKeptIdleLimit);

    FakeHttpServer proxy;
    proxy.keepAlive = true;
    proxy.pages["http://www.example.test/p"] = KeptPage("ok");
    Root().SetDword(kUseProxy, 1);
    Root().SetString(kProxyServer, "127.0.0.1");
    Root().SetDword(kProxyPort, static_cast<DWORD>(proxy.port()));
    for (int i = 0; i < 2; ++i) {
        owner_.done.clear();
        ASSERT_EQ(owner_.client.Get("http://www.example.test/p", fd_), 0u);
        ASSERT_TRUE(Finish());
        EXPECT_EQ(owner_.done[0].second, 200u);
    }
    EXPECT_EQ(proxy.accepted, 2);
}

TEST_F(HttpTest, AKeptConnectionTheServerDroppedIsReplacedUnseenOnceOnly) {
    // A server that ignores what comes on a kept connection is met by the reply time-out.
    Root().SetDword(kTimeoutHttp, 200);
    for (auto stale : {FakeHttpServer::kClose, FakeHttpServer::kReset, FakeHttpServer::kIgnore}) {
        SCOPED_TRACE(stale);
        FakeHttpServer web;
        web.keepAlive = true;
        web.stale = stale;
        web.pages["/a"] = KeptPage("first");
        web.pages["/b"] = KeptPage("second");
        for (bool head : {false, true}) {
            owner_.client.CloseIdle();
            owner_.done.clear();
            Rewind();
            ASSERT_EQ(owner_.client.Get(web.Url("/a"), fd_), 0u);
            ASSERT_TRUE(Finish());
            owner_.done.clear();
            Rewind();
            ASSERT_EQ(head ? owner_.client.Head(web.Url("/b"), fd_)
                           : owner_.client.Get(web.Url("/b"), fd_),
                      0u);
            ASSERT_TRUE(Finish());
            ASSERT_TRUE(DrainMessages());
            ASSERT_EQ(owner_.done.size(), 1u);
            EXPECT_EQ(owner_.done[0].second, 200u);
            const std::string second = KeptPage("second");
            EXPECT_EQ(File(), head ? second.substr(0, second.size() - 6) : second);
        }
        // Each second request found its connection gone and went again on a new one.
        EXPECT_EQ(web.staleRequests, 2);
        EXPECT_EQ(web.accepted, 4);
    }

    // Once the answer has begun, a failure is the answer's: nothing goes again. A server
    // silent on every connection is told after its one more attempt.
    FakeHttpServer web;
    web.keepAlive = true;
    web.pages["/a"] = KeptPage("first");
    web.pages["/cut"] =
        "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 100\r\n\r\nshort";
    web.resets = {"/cut"};
    web.pages["/quiet"] = KeptPage("never");
    web.silent = {"/quiet"};
    struct Case {
        const char* path;
        uint32_t code;
        int connections;
    };
    const Case cases[] = {{"/cut", static_cast<uint32_t>(WSAECONNRESET), 1},
                          {"/quiet", kHttpNoResponse, 2}};
    for (const auto& [path, code, connections] : cases) {
        SCOPED_TRACE(path);
        int before = web.accepted;
        owner_.done.clear();
        ASSERT_EQ(owner_.client.Get(web.Url("/a"), fd_), 0u);
        ASSERT_TRUE(Finish());
        owner_.done.clear();
        ASSERT_EQ(owner_.client.Get(web.Url(path), fd_), 0u);
        ASSERT_TRUE(Finish());
        ASSERT_TRUE(DrainMessages());
        ASSERT_EQ(owner_.done.size(), 1u);
        EXPECT_EQ(owner_.done[0].second, code);
        EXPECT_EQ(web.accepted, before + connections);
        EXPECT_FALSE(owner_.client.IsOpen());
    }
}

TEST_F(HttpTest, AnIdleKeptConnectionEndsQuietlyAndHoldsNothing) {
    enum Event { kClosed, kReset, kTalk, kCloseIdle, kAbort, kGone };
    for (Event event : {kClosed, kReset, kTalk, kCloseIdle, kAbort, kGone}) {
        SCOPED_TRACE(event);
        FakeHttpServer web;
        web.keepAlive = true;
        web.pages["/a"] = KeptPage("first");
        web.pages["/b"] = KeptPage("second");
        auto owner = std::make_unique<HttpOwner>();
        ASSERT_EQ(owner->client.Get(web.Url("/a"), fd_), 0u);
        ASSERT_TRUE(waitFor([&] { return !owner->done.empty(); }));
        ASSERT_TRUE(owner->client.keepsConnection());
        switch (event) {
            case kClosed:
                web.CloseAll();
                break;
            case kReset:
                web.CloseAll(true);
                break;
            // A hostile server talks when nobody asked: never the next answer.
            case kTalk:
                web.Say(KeptPage("forged"));
                break;
            case kCloseIdle:
                owner->client.CloseIdle();
                break;
            case kAbort:
                owner->client.Abort();
                break;
            case kGone:
                owner.reset();
                break;
        }
        EXPECT_TRUE(waitFor([&] { return web.open() == 0; })) << "the server sees it closed";
        if (!owner) continue;
        EXPECT_TRUE(waitFor([&] { return !owner->client.IsOpen(); }));
        ASSERT_TRUE(DrainMessages());
        EXPECT_EQ(owner->done.size(), 1u) << "no word of it";
        EXPECT_FALSE(owner->HasTimer(kHttpTimer));

        Rewind();
        ASSERT_EQ(owner->client.Get(web.Url("/b"), fd_), 0u);
        ASSERT_TRUE(waitFor([&] { return owner->done.size() == 2; }));
        EXPECT_EQ(owner->done[1].second, 200u);
        EXPECT_EQ(File(), KeptPage("second"));
        EXPECT_EQ(web.accepted, 2);
    }
}

// Bytes on a kept connection that are no answer to the next request never become its
// answer: unasked bytes that arrived while the loop had not yet turned keep the request off
// that connection; the late tail of the last answer (a length that undercounted, a body
// behind a HEAD) ahead of the answer sends the request again on a connection of its own.
TEST_F(HttpTest, BytesOnAKeptConnectionThatAreNoAnswerNeverBecomeTheNextOne) {
    for (bool late : {false, true}) {
        SCOPED_TRACE(late ? "a late tail" : "unasked bytes");
        FakeHttpServer web;
        web.keepAlive = true;
        web.pages["/a"] = KeptPage("first");
        web.pages["/b"] = KeptPage("second");
        if (late) web.delays["/b"] = 100;
        HttpOwner owner;
        ASSERT_EQ(owner.client.Get(web.Url("/a"), fd_), 0u);
        ASSERT_TRUE(waitFor([&] { return !owner.done.empty(); }));
        ASSERT_TRUE(owner.client.keepsConnection());
        if (!late) web.Say(KeptPage("forged"), true);
        Rewind();
        ASSERT_EQ(owner.client.Get(web.Url("/b"), fd_), 0u);
        if (late) web.Say("</html>", true);
        ASSERT_TRUE(waitFor([&] { return owner.done.size() == 2; }));
        EXPECT_EQ(owner.done[1].second, 200u);
        EXPECT_EQ(File(), KeptPage("second"));
        EXPECT_EQ(web.accepted, 2);
    }
}

TEST_F(HttpTest, ARealServerCarriesPlainAndSecureRequestsOnOneConnection) {
    std::filesystem::create_directories(Path("ca"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("site", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    std::filesystem::create_directories(Path("site"));
    std::ofstream(Path("site/index.html")) << "<html>kept</html>";
    Root().SetString(kTlsCaFile, ca.caFile());
    resolver_->addresses["localhost"] = {"127.0.0.1"};
    // Which connection of the server, and its how manieth request, answers.
    const std::string config =
        "    location = /conn { return 200 \"$connection $connection_requests\"; }\n"
        "    location = /old { return 301 /conn; }\n";
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure ? "https" : "http");
        const std::string work = Path(secure ? "work-s" : "work-p");
        std::filesystem::create_directories(work);
        WebServer web(Path("site"), work, config,
                      secure ? WebServer::Tls{issued.cert, issued.key} : WebServer::Tls{});
        if (web.kind() != WebServer::Nginx) GTEST_SKIP() << "needs nginx";
        auto fetch = [&](const std::string& path) {
            owner_.done.clear();
            Rewind();
            EXPECT_EQ(owner_.client.Get(web.Url(path, "localhost"), fd_), 0u);
            EXPECT_TRUE(Finish(std::chrono::seconds(20)));
            EXPECT_EQ(owner_.done.size(), 1u);
            EXPECT_EQ(owner_.done.empty() ? 0u : owner_.done[0].second, 200u);
            std::string file = File();
            return file.substr(file.find("\r\n\r\n") + 4);
        };
        std::string first = fetch("/conn");
        ASSERT_NE(first.find(' '), std::string::npos) << first;
        ASSERT_EQ(first.substr(first.find(' ')), " 1") << first;
        const std::string connection = first.substr(0, first.find(' '));
        EXPECT_EQ(fetch("/index.html"), "<html>kept</html>");
        EXPECT_EQ(fetch("/old"), connection + " 4") << "the redirection on it too";
        EXPECT_TRUE(owner_.client.keepsConnection());
        owner_.client.CloseIdle();
    }
}

}  // namespace

namespace {

// A step that drives two clients and only ever sees their completions.
class TwoClientPanel : public CPanel {
public:
    CSmtp smtp;
    CHttp http;
    std::vector<std::pair<UINT, uint32_t>> seen;
    TwoClientPanel() {
        RegisterClient(smtp, WM_SMTP_LOOKUP);
        RegisterClient(http, WM_HTTP_LOOKUP_DONE);
        RegisterClient(smtp, WM_SMTP_LOOKUP);  // a second registration changes nothing
    }
    void Start(const std::string&) override {}
    void Cancel(int) override {}

protected:
    void OnStepMessage(UINT msg, WPARAM w, LPARAM) override {
        seen.emplace_back(msg, static_cast<uint32_t>(w));
    }
};

}  // namespace

TEST_F(HttpTest, APanelHandsItsClientsTheirLookupsAndTicks) {
    TwoClientPanel panel;
    // The lookup answer reaches the web client past the mail client registered first,
    // and the step sees only the completion.
    server_.replies.push_back({{"HTTP/1.0 200 OK\r\n\r\nx"}});
    ASSERT_EQ(panel.http.Get(Url(), fd_), 0u);
    ASSERT_TRUE(waitFor([&] { return !panel.seen.empty(); }));
    EXPECT_EQ(panel.seen, (std::vector<std::pair<UINT, uint32_t>>{{WM_HTTP_GET_DONE, 200u}}));
    EXPECT_EQ(resolver_->asked, std::vector<std::string>{"www.example.test"});

    // A silent server: only the reply timer, handed on by the panel, ends the wait.
    panel.seen.clear();
    Root().SetDword(kTimeoutHttp, 100);
    ScriptedServer::Reply silent;
    silent.silent = true;
    server_.replies = {silent};
    Rewind();
    ASSERT_EQ(panel.http.Get(Url(), fd_), 0u);
    ASSERT_TRUE(waitFor([&] { return !panel.seen.empty(); }));
    EXPECT_EQ(panel.seen,
              (std::vector<std::pair<UINT, uint32_t>>{{WM_HTTP_GET_DONE, kHttpNoResponse}}));
    EXPECT_EQ(panel.smtp.state(), 0) << "the mail client was never started";
}

// TLS over the socket against nginx serving HTTPS with certificates from a throw-away
// authority, and the connect sequence over both address families.

#include <fcntl.h>
#include <unistd.h>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <random>

#include "fakes/FakeResolver.h"
#include "fakes/HttpOwner.h"
#include "fakes/ScriptedServer.h"
#include "fakes/TestCa.h"
#include "fakes/WebServer.h"
#include "fixtures/Fixtures.h"
#include "net/Http.h"
#include "settings/Settings.h"

namespace {

// A bare client: connect, secure, send one request, keep what comes back until the close.
// It reads in small pieces, so that decrypted text waits between its reads.
class RawClient : public CAsyncSocket {
public:
    RawClient(std::string tlsHost, std::string caFile)
        : tlsHost_(std::move(tlsHost)), caFile_(std::move(caFile)) {}

    int startError = 0;
    int secured = -1;
    bool resumed = false;
    std::string received;
    int closes = 0;
    int closeError = -1;
    std::string request;

    void Go(int port) {
        Create();
        Connect(*Address(port));
    }

protected:
    static std::optional<SocketAddress> Address(int port) {
        auto a = SocketAddress::FromLiteral("127.0.0.1");
        a->SetPort(static_cast<uint16_t>(port));
        return a;
    }
    void OnConnect(int error) override {
        if (error == 0) startError = StartTls(tlsHost_, caFile_);
    }
    void OnSecured(int error) override {
        secured = error;
        resumed = TlsResumed();
        if (error == 0) OnSend(0);
    }
    void OnSend(int) override {
        while (sent_ < request.size()) {
            int n = Send(request.data() + sent_, static_cast<int>(request.size() - sent_));
            if (n <= 0) return;
            sent_ += static_cast<size_t>(n);
        }
    }
    void OnReceive(int) override {
        char buffer[700];
        int n = Receive(buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<size_t>(n));
    }
    void OnClose(int error) override {
        ++closes;
        closeError = error;
    }

private:
    std::string tlsHost_, caFile_;
    size_t sent_ = 0;
};

class TlsTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        std::filesystem::create_directories(Path("ca"));
        ca_ = std::make_unique<TestCa>(Path("ca"));
        ASSERT_TRUE(ca_->ok()) << ca_->error();
        std::filesystem::create_directories(Path("site"));
        std::mt19937 random(7);
        big_.resize(300 * 1024);
        for (auto& c : big_) c = static_cast<char>('a' + random() % 26);
        std::ofstream(Path("site/big.txt"), std::ios::binary) << big_;
        std::ofstream(Path("site/index.html")) << "<html>secure</html>";
    }
    // nginx with a certificate for the names; null when nginx cannot serve here. Its
    // /reused answers whether the server resumed the connection's session ("r") or not (".").
    std::unique_ptr<WebServer> Serve(const std::string& name,
                                     const std::vector<std::string>& altNames, int days = 30,
                                     const std::string& extraConfig = {}) {
        auto issued = ca_->Issue(name, altNames, days);
        EXPECT_TRUE(ca_->ok()) << ca_->error();
        return ServeWith(issued, name, extraConfig);
    }
    std::unique_ptr<WebServer> ServeWith(const TestCa::Issued& issued, const std::string& work,
                                         const std::string& extraConfig = {}) {
        std::filesystem::create_directories(Path("work-" + work));
        auto server = std::make_unique<WebServer>(
            Path("site"), Path("work-" + work),
            "    location = /reused { return 200 \"$ssl_session_reused\\n\"; }\n" + extraConfig,
            WebServer::Tls{issued.cert, issued.key});
        if (server->kind() != WebServer::Nginx) return nullptr;
        return server;
    }
    std::unique_ptr<RawClient> Fetch(const WebServer& server, const std::string& host,
                                     const std::string& caFile, const std::string& path) {
        auto client = std::make_unique<RawClient>(host, caFile);
        client->request = "GET " + path + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
        client->Go(server.port());
        waitFor([&] { return client->closes > 0 || client->secured > 0 || client->startError; },
                std::chrono::seconds(20));
        return client;
    }

    std::unique_ptr<TestCa> ca_;
    std::string big_;
};

TEST_F(TlsTest, AVerifiedSessionCarriesALargeDocumentWholeAndEndsOnce) {
    auto server = Serve("good", {"DNS:localhost", "IP:127.0.0.1", "IP:::1"});
    if (!server) GTEST_SKIP() << "needs nginx";
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        auto client = Fetch(*server, host, ca_->caFile(), "/big.txt");
        EXPECT_EQ(client->startError, 0);
        EXPECT_EQ(client->secured, 0) << client->TlsFailure();
        ASSERT_EQ(client->closes, 1);
        EXPECT_EQ(client->closeError, 0);
        ASSERT_GT(client->received.size(), big_.size());
        EXPECT_EQ(client->received.substr(0, 15), "HTTP/1.1 200 OK");
        EXPECT_EQ(client->received.substr(client->received.size() - big_.size()), big_);
        EXPECT_TRUE(DrainMessages());
        EXPECT_EQ(client->closes, 1) << "the end is told once";
    }
}

TEST_F(TlsTest, EachRefusedHandshakeTellsOpenSslsReason) {
    auto good = Serve("good", {"DNS:localhost", "IP:127.0.0.1"});
    if (!good) GTEST_SKIP() << "needs nginx";
    auto expired = Serve("expired", {"DNS:localhost", "IP:127.0.0.1"}, -1);
    auto elsewhere = Serve("elsewhere", {"DNS:other.test"});
    ASSERT_TRUE(expired && elsewhere);
    struct Case {
        const WebServer* server;
        std::string caFile;
        const char* reason;
    } cases[] = {
        {expired.get(), ca_->caFile(), "certificate has expired"},
        {elsewhere.get(), ca_->caFile(), "hostname mismatch"},
        {good.get(), "", "unable to get local issuer certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        auto client = Fetch(*c.server, "localhost", c.caFile, "/index.html");
        EXPECT_EQ(client->secured, kSocketTlsFailed);
        EXPECT_EQ(client->TlsFailure(), c.reason);
        EXPECT_EQ(client->received, "") << "nothing of the request went out";
    }
    // An authorities file that is not there is said so before anything is sent.
    auto client = Fetch(*good, "localhost", Path("no-such.pem"), "/");
    EXPECT_EQ(client->startError, kSocketTlsFailed);
    EXPECT_NE(client->TlsFailure().find("no-such.pem"), std::string::npos);
}

// What a client says when it offers no session or the server would not take it.
bool FullHandshake(const RawClient& c) {
    return !c.resumed && c.received.find("\r\n\r\n.\n") != std::string::npos;
}
bool Resumed(const RawClient& c) {
    return c.resumed && c.received.find("\r\n\r\nr\n") != std::string::npos;
}

TEST_F(TlsTest, ASecondConnectionToTheSameServerResumesTheFirstsSessionAndCarriesData) {
    // TLS 1.3 gives its tickets after the handshake; TLS 1.2 settles the session within it.
    for (const char* protocols : {"", "    ssl_protocols TLSv1.2;\n"}) {
        SCOPED_TRACE(*protocols ? "TLS 1.2" : "default");
        auto server = Serve(*protocols ? "twelve" : "thirteen", {"IP:127.0.0.1"}, 30, protocols);
        if (!server) GTEST_SKIP() << "needs nginx";
        auto first = Fetch(*server, "127.0.0.1", ca_->caFile(), "/reused");
        ASSERT_EQ(first->secured, 0) << first->TlsFailure();
        EXPECT_TRUE(FullHandshake(*first)) << first->received;
        for (int i = 0; i < 2; ++i) {
            auto again = Fetch(*server, "127.0.0.1", ca_->caFile(), "/reused");
            ASSERT_EQ(again->secured, 0) << again->TlsFailure();
            EXPECT_TRUE(Resumed(*again)) << again->received;
        }
        auto big = Fetch(*server, "127.0.0.1", ca_->caFile(), "/big.txt");
        ASSERT_EQ(big->secured, 0) << big->TlsFailure();
        EXPECT_TRUE(big->resumed);
        ASSERT_GT(big->received.size(), big_.size());
        EXPECT_EQ(big->received.substr(big->received.size() - big_.size()), big_);
        EXPECT_EQ(big->closes, 1);
    }
}

// A resumed handshake checks no certificate, so a session is offered only where the
// verification that made it holds: the same name, the same address and port.
TEST_F(TlsTest, ASessionIsOfferedOnlyUnderTheNameAndAddressItWasVerifiedFor) {
    // Servers sharing a ticket key and a certificate take each other's sessions: only the
    // client's keeping can tell them apart.
    std::string ticketKey(80, '\0');
    std::mt19937 random(11);
    for (auto& c : ticketKey) c = static_cast<char>(random());
    std::ofstream(Path("ticket.key"), std::ios::binary) << ticketKey;
    const std::string shared = "    ssl_session_ticket_key " + Path("ticket.key") + ";\n";
    auto issued = ca_->Issue("named", {"DNS:localhost"});
    auto good = ServeWith(issued, "good", shared);
    if (!good) GTEST_SKIP() << "needs nginx";
    auto twin = ServeWith(issued, "twin", shared);
    auto elsewhere = Serve("elsewhere", {"DNS:other.test"}, 30, shared);
    ASSERT_TRUE(twin && elsewhere);

    auto first = Fetch(*good, "localhost", ca_->caFile(), "/reused");
    ASSERT_EQ(first->secured, 0) << first->TlsFailure();
    EXPECT_TRUE(FullHandshake(*first)) << first->received;
    auto second = Fetch(*good, "localhost", ca_->caFile(), "/reused");
    EXPECT_TRUE(Resumed(*second)) << second->received;

    // The certificate names no address: under the address the name check must run.
    auto byAddress = Fetch(*good, "127.0.0.1", ca_->caFile(), "/reused");
    EXPECT_EQ(byAddress->secured, kSocketTlsFailed);
    EXPECT_EQ(byAddress->TlsFailure(), "IP address mismatch");

    // Another port: a full handshake, though the server would have taken the session.
    auto atTwin = Fetch(*twin, "localhost", ca_->caFile(), "/reused");
    ASSERT_EQ(atTwin->secured, 0) << atTwin->TlsFailure();
    EXPECT_TRUE(FullHandshake(*atTwin)) << atTwin->received;

    // A handshake that failed verification keeps nothing: the next fails the same way.
    struct Case {
        const WebServer* server;
        std::string caFile;
        const char* reason;
    } refused[] = {
        {elsewhere.get(), ca_->caFile(), "hostname mismatch"},
        {good.get(), "", "unable to get local issuer certificate"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.reason);
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto client = Fetch(*c.server, "localhost", c.caFile, "/reused");
            EXPECT_EQ(client->secured, kSocketTlsFailed);
            EXPECT_EQ(client->TlsFailure(), c.reason);
            EXPECT_EQ(client->received, "");
        }
    }
    // None of that cost the good server its session.
    auto last = Fetch(*good, "localhost", ca_->caFile(), "/reused");
    EXPECT_TRUE(Resumed(*last)) << last->received;
}

TEST_F(TlsTest, AChangedAuthoritiesFileResumesNoSessionOfTheOldOne) {
    auto server = Serve("good", {"DNS:localhost"});
    if (!server) GTEST_SKIP() << "needs nginx";
    std::filesystem::create_directories(Path("other-ca"));
    TestCa other(Path("other-ca"));
    ASSERT_TRUE(other.ok()) << other.error();
    const std::string trust = Path("trust.pem");
    // Each rewrite moves the time forward, so that the change shows whatever the
    // file system's clock step.
    auto install = [&](const std::string& from, int step) {
        std::filesystem::copy_file(from, trust, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::last_write_time(
            trust, std::filesystem::file_time_type::clock::now() + std::chrono::seconds(step));
    };
    install(ca_->caFile(), 1);
    EXPECT_TRUE(FullHandshake(*Fetch(*server, "localhost", trust, "/reused")));
    EXPECT_TRUE(Resumed(*Fetch(*server, "localhost", trust, "/reused")));

    // The server's authority is no longer trusted: the kept session must not stand in.
    install(other.caFile(), 2);
    auto distrusted = Fetch(*server, "localhost", trust, "/reused");
    EXPECT_EQ(distrusted->secured, kSocketTlsFailed);
    EXPECT_EQ(distrusted->TlsFailure(), "unable to get local issuer certificate");

    // Trusted again, by a new reading of the file: verified afresh, then resumed.
    install(ca_->caFile(), 3);
    auto afresh = Fetch(*server, "localhost", trust, "/reused");
    ASSERT_EQ(afresh->secured, 0) << afresh->TlsFailure();
    EXPECT_TRUE(FullHandshake(*afresh)) << afresh->received;
    EXPECT_TRUE(Resumed(*Fetch(*server, "localhost", trust, "/reused")));
}

// The web client's requests to one server, each on its own connection, pay one full
// handshake between them.
TEST_F(TlsTest, TheWebClientsRequestsResumeTheSessionOfTheFirst) {
    auto server = Serve("good", {"IP:127.0.0.1"});
    if (!server) GTEST_SKIP() << "needs nginx";
    Root().SetString(settings::kTlsCaFile, ca_->caFile());
    std::vector<std::string> answers;
    for (int i = 0; i < 3; ++i) {
        const std::string file = Path("reused-" + std::to_string(i));
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        HttpOwner owner;
        ASSERT_EQ(owner.client.Get(server->Url("/reused"), fd), 0u);
        ASSERT_TRUE(waitFor([&] { return !owner.done.empty(); }, std::chrono::seconds(20)));
        ::close(fd);
        EXPECT_EQ(owner.done[0].second, 200u) << owner.client.ErrorText(owner.done[0].second);
        std::string text = ReadFileBytes(file);
        answers.push_back(text.substr(text.find("\r\n\r\n") + 4));
    }
    EXPECT_EQ(answers, (std::vector<std::string>{".\n", "r\n", "r\n"}));
}

TEST_F(TlsTest, AServerThatAnswersInPlainTextFailsTheHandshake) {
    ScriptedServer plain;
    ScriptedServer::Reply reply;
    reply.until = "";  // speaks first, as a plain server that greets would
    reply.chunks = {"220 mail.test ESMTP ready\r\n"};
    reply.close = false;
    plain.replies = {reply};
    RawClient client("localhost", ca_->caFile());
    client.Go(plain.port());
    ASSERT_TRUE(waitFor([&] { return client.secured >= 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(client.secured, kSocketTlsFailed);
    EXPECT_FALSE(client.TlsFailure().empty());
}

// The smallest client of the connect sequence, with TLS from the first byte.
const ClientTraits kProbeTraits{
    .timeoutSetting = "TimeoutProbe",
    .defaultTimeout = 60000,
    .timerId = 77,
    .defaultPort = 443,
    .lookupMessage = WM_USER + 77,
    .resolvingState = 4,
    .busyCode = 0x8F000001,
    .noResponseCode = 0x8F000002,
    .textNoResponse = "No response from %s.",
    .tlsFailedCode = 0x8F000003,
    .textTlsFailed = "The secure connection to %s could not be made",
};

class TlsProbe : public CConnection {
public:
    TlsProbe() : CConnection(kProbeTraits) {}
    uint32_t Start(const std::string& server, int port) {
        SetTlsFromStart(true);
        return ConnectSequence(server, port, WM_USER + 78, true);
    }

protected:
    uint32_t Reconnect() override {
        return ConnectSequence(serverName(), port(), WM_USER + 78, false);
    }
    void OnConnected() override {
        const bool secure = IsSecure();
        StopTimer();
        SetState(kStateIdle);
        Close();
        PostResult(secure ? 1 : 2);
    }
};
using ProbeOwner = ClientOwner<TlsProbe, WM_USER + 77>;

TEST_F(TlsTest, TheConnectionTimeOutCoversTheHandshakeAndARefusalIsOneCodeWithItsReason) {
    Root().SetDword(settings::kConnectionAttempts, 1);
    Root().SetDword(settings::kTimeoutConnection, 300);
    Root().SetString(settings::kTlsCaFile, ca_->caFile());
    // Accepts, reads the greeting of the handshake, never answers.
    ScriptedServer silent;
    ScriptedServer::Reply quiet;
    quiet.until = "";
    quiet.silent = true;
    silent.replies = {quiet};
    ProbeOwner owner;
    ASSERT_EQ(owner.client.Start("127.0.0.1", silent.port()), 0u);
    ASSERT_TRUE(waitFor([&] { return !owner.done.empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(owner.done[0].second, kProbeTraits.noResponseCode);

    auto good = Serve("good", {"DNS:localhost", "IP:127.0.0.1"});
    if (!good) GTEST_SKIP() << "needs nginx";
    auto expired = Serve("expired", {"DNS:localhost", "IP:127.0.0.1"}, -1);
    owner.done.clear();
    ASSERT_EQ(owner.client.Start("localhost", good->port()), 0u);
    ASSERT_TRUE(waitFor([&] { return !owner.done.empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(owner.done[0].second, 1u) << owner.client.ErrorText(owner.done[0].second);

    owner.done.clear();
    ASSERT_EQ(owner.client.Start("localhost", expired->port()), 0u);
    ASSERT_TRUE(waitFor([&] { return !owner.done.empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(owner.done[0].second, kProbeTraits.tlsFailedCode);
    EXPECT_EQ(owner.client.ErrorText(kProbeTraits.tlsFailedCode),
              "The secure connection to localhost could not be made: certificate has expired.");
    EXPECT_EQ(expired->kind(), WebServer::Nginx);
}

// A server that wants a client certificate tells so by an alert once TLS 1.3's handshake is
// over on the client's side: the secure channel stood and broke, and the text says so.
TEST_F(TlsTest, AnAlertAfterTheHandshakeIsTheClientsTlsCodeWithItsReason) {
    auto issued = ca_->Issue("strict", {"IP:127.0.0.1"});
    ASSERT_TRUE(ca_->ok()) << ca_->error();
    static const char* kScript = R"PY(
import socket, ssl, sys
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
ctx.minimum_version = ssl.TLSVersion.TLSv1_3
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
ctx.verify_mode = ssl.CERT_REQUIRED
ctx.load_verify_locations(sys.argv[3])
ls = socket.socket()
ls.bind(("127.0.0.1", 0))
ls.listen(1)
ls.settimeout(20)
print(ls.getsockname()[1], flush=True)
c, _ = ls.accept()
# A failed handshake closes its socket with the client's bytes unread, and the reset that
# makes can overtake the alert: a second descriptor keeps the connection until the end.
d = c.dup()
try:
    s = ctx.wrap_socket(c, server_side=True)
    s.recv(100)
except Exception:
    pass
try:
    d.settimeout(10)
    while d.recv(4096):
        pass
except Exception:
    pass
d.close()
)PY";
    QProcess python;
    python.start("/usr/bin/python3",
                 {"-c", kScript, QString::fromStdString(issued.cert),
                  QString::fromStdString(issued.key), QString::fromStdString(ca_->caFile())});
    ASSERT_TRUE(waitFor(
        [&] {
            if (!python.canReadLine()) python.waitForReadyRead(10);
            return python.canReadLine();
        },
        std::chrono::seconds(20)));
    int port = python.readLine().trimmed().toInt();
    ASSERT_NE(port, 0);
    Root().SetString(settings::kTlsCaFile, ca_->caFile());
    Root().SetDword(settings::kConnectionAttempts, 1);
    int fd = ::open(Path("strict").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    HttpOwner owner;
    ASSERT_EQ(owner.client.Get("https://127.0.0.1:" + std::to_string(port) + "/", fd), 0u);
    ASSERT_TRUE(waitFor([&] { return !owner.done.empty(); }, std::chrono::seconds(20)));
    ::close(fd);
    EXPECT_EQ(owner.done[0].second, kHttpTlsFailed);
    std::string text = owner.client.ErrorText(kHttpTlsFailed);
    EXPECT_EQ(text.rfind("The secure connection to the Web Server 127.0.0.1 was cut off after it "
                         "was made: ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("certificate required"), std::string::npos) << text;
    python.waitForFinished(5000);
}

// The connect sequence over the addresses of a name: the first family that answers wins.
class DualStackTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        resolver_ = std::make_shared<FakeResolver>();
        Resolver::Install(resolver_);
        fd_ = ::open(Path("response").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    }
    void TearDown() override {
        ::close(fd_);
        Resolver::Install(nullptr);
        SandboxTest::TearDown();
    }
    static ScriptedServer::Reply Ok() {
        ScriptedServer::Reply r;
        r.chunks = {"HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok"};
        return r;
    }
    uint32_t Get(const std::string& url) {
        owner_.done.clear();
        uint32_t rc = owner_.client.Get(url, fd_);
        if (rc != 0) return rc;
        EXPECT_TRUE(waitFor([&] { return !owner_.done.empty(); }, std::chrono::seconds(20)));
        return owner_.done.empty() ? 0xFFFFFFFF : owner_.done.front().second;
    }

    std::shared_ptr<FakeResolver> resolver_;
    HttpOwner owner_;
    int fd_ = -1;
};

TEST_F(DualStackTest, EveryAddressOfTheAnswerIsTriedInTurnWithinOneAttempt) {
    ScriptedServer v6("::1");
    if (!v6.listening()) GTEST_SKIP() << "no IPv6 loopback here";
    ScriptedServer v4;
    v4.replies = {Ok()};
    v6.replies = {Ok()};
    Root().SetDword(settings::kConnectionAttempts, 1);

    // Nothing listens on the v6 port of the first server: refused, then the v4 address.
    resolver_->addresses["both.test"] = {"::1", "127.0.0.1"};
    EXPECT_EQ(Get("http://both.test:" + std::to_string(v4.port()) + "/"), 200u);
    EXPECT_EQ(v4.connections(), 1);

    // The other order: a v4 address that refuses gives way to the v6 one.
    resolver_->addresses["v6first.test"] = {"127.0.0.1", "::1"};
    ScriptedServer only6("::1");
    only6.replies = {Ok()};
    EXPECT_EQ(Get("http://v6first.test:" + std::to_string(only6.port()) + "/"), 200u);
    EXPECT_EQ(only6.connections(), 1);
    EXPECT_NE(only6.received[0].find("GET / HTTP/1.0"), std::string::npos);

    // A literal v6 address in brackets needs no lookup and names itself in the Host line.
    size_t asked = resolver_->asked.size();
    EXPECT_EQ(Get("http://[::1]:" + std::to_string(v6.port()) + "/x"), 200u);
    EXPECT_EQ(resolver_->asked.size(), asked);
    ASSERT_EQ(v6.connections(), 1);
    EXPECT_NE(v6.received[0].find("Host: [::1]:" + std::to_string(v6.port()) + "\r\n"),
              std::string::npos)
        << v6.received[0];
}

}  // namespace

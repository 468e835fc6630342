#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <fstream>

#include "fakes/ClientOwner.h"
#include "fakes/Dovecot.h"
#include "fakes/ScriptedLineServer.h"
#include "fakes/TestCa.h"
#include "fixtures/Fixtures.h"
#include "net/Inet.h"
#include "net/Pop3.h"
#include "settings/Settings.h"

namespace {

using namespace settings;

// A POP3 server that answers by verb and serves the messages of a list for RETR and TOP,
// as the server puts them on the wire (status line, dot-stuffed text, end line).
class FakePop3Server : public ScriptedLineServer {
public:
    std::map<int, std::string> wire;  // message number -> what follows the RETR status line
    FakePop3Server() {
        greeting = "+OK POP3 ready\r\n";
        replies = {{"USER", "+OK\r\n"},
                   {"PASS", "+OK logged in\r\n"},
                   {"STAT", "+OK 2 320\r\n"},
                   {"DELE", "+OK deleted\r\n"},
                   {"QUIT", "+OK bye\r\n"}};
        unknownReply = "-ERR unknown command\r\n";
    }

protected:
    std::string ReplyTo(const std::string& line, const std::string& verb) override {
        if (verb == "RETR" && !replies.count("RETR")) {
            auto it = wire.find(std::atoi(line.c_str() + 5));
            if (it == wire.end()) return "-ERR no such message\r\n";
            return "+OK message follows\r\n" + it->second;
        }
        return ScriptedLineServer::ReplyTo(line, verb);
    }
};

class Pop3Test : public SandboxTest {
protected:
    // Waits for the next completion and returns it.
    std::pair<UINT, uint32_t> Next() {
        size_t want = taken_ + 1;
        EXPECT_TRUE(waitFor([&] { return owner_.done.size() >= want; }, std::chrono::seconds(20)));
        if (owner_.done.size() < want) return {0, 0xFFFFFFFF};
        return owner_.done[taken_++];
    }
    int File(const std::string& name) {
        int fd = ::open(Path(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        fds_.push_back(fd);
        return fd;
    }
    void TearDown() override {
        for (int fd : fds_) ::close(fd);
        SandboxTest::TearDown();
    }
    void LogIn(int port, const std::string& user = "joe", const std::string& pass = "pw",
               const std::string& host = "127.0.0.1",
               Pop3Security security = Pop3Security::kPlain) {
        ASSERT_EQ(owner_.client.Connect(user, pass, host, port, security), 0u);
        ASSERT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, 0u));
        ASSERT_EQ(owner_.client.state(), CPop3::kReady);
    }

    ClientOwner<CPop3, WM_POP3_LOOKUP> owner_;
    std::vector<int> fds_;
    size_t taken_ = 0;
};

// ---------------------------------------------------------------------------------------
// Against scripted servers: exact bytes, every pace, every refusal.

class Pop3PaceTest : public Pop3Test,
                     public ::testing::WithParamInterface<ScriptedLineServer::Pace> {};

TEST_P(Pop3PaceTest, SessionRetrievesDeletesAndQuitsAtAnyPace) {
    FakePop3Server server;
    server.pace = GetParam();
    // Message 1 has doubled dots and starts its body with empty lines; message 2 is empty.
    server.wire[1] = "Subject: dots\r\n\r\n\r\n..leading dot\r\n...\r\n.x\r\nlast\r\n.\r\n";
    server.wire[2] = ".\r\n";
    LogIn(server.port());
    EXPECT_EQ(owner_.client.messageCount(), 2);

    int one = File("one"), two = File("two"), raw = File("raw");
    ASSERT_EQ(owner_.client.Retrieve(1, one), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("one")),
              "Subject: dots\r\n\r\n\r\n.leading dot\r\n..\r\nx\r\nlast\r\n")
        << "each doubled dot undone, empty lines at the start of the body kept, no end line";

    // An empty message ends at its end line, however the bytes were cut.
    ASSERT_EQ(owner_.client.Retrieve(2, two), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("two")), "");

    // The form SMTP's DATA takes, for a forward.
    ASSERT_EQ(owner_.client.Retrieve(1, raw, true), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("raw")), server.wire[1]);

    ASSERT_EQ(owner_.client.Delete(1), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_DELETED, 0u));
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, 0u));
    EXPECT_EQ(owner_.client.state(), CPop3::kIdle);
    EXPECT_EQ(server.commands, (std::vector<std::string>{"USER joe", "PASS pw", "STAT", "RETR 1",
                                                         "RETR 2", "RETR 1", "DELE 1", "QUIT"}));
}

INSTANTIATE_TEST_SUITE_P(Paces, Pop3PaceTest,
                         ::testing::Values(ScriptedLineServer::Pace::Whole,
                                           ScriptedLineServer::Pace::Halves,
                                           ScriptedLineServer::Pace::OneByte));

TEST_F(Pop3Test, EndLineOnlyWhenWholeAndNeverFromAnEarlierMessage) {
    FakePop3Server server;
    // Lines that look like the end line but are not: a dot with text behind it, a dot and a
    // bare carriage return, the marker without its line start.
    server.wire[1] = "a\r\n.\r\r\nb\r\n.\r\n";
    server.wire[2] = "x\r\n.\r\n.\r\n";
    server.wire[3] = "c.\r\n.\r\n";
    // No header at all: the text starts with its empty line, which is the message's.
    server.wire[4] = "\r\n\r\nno header\r\n.\r\n";
    LogIn(server.port());
    int a = File("a"), b = File("b"), c = File("c");
    ASSERT_EQ(owner_.client.Retrieve(1, a), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("a")), "a\r\n\r\r\nb\r\n");
    // What follows an end line is not the message's, nor the next one's start.
    ASSERT_EQ(owner_.client.Retrieve(2, b), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("b")), "x\r\n");
    ASSERT_EQ(owner_.client.Retrieve(3, c), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("c")), "c.\r\n");
    int d = File("d");
    ASSERT_EQ(owner_.client.Retrieve(4, d), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("d")), "\r\n\r\nno header\r\n");
}

TEST_F(Pop3Test, RefusedRetrieveLeavesSessionReadyForTheNextCommand) {
    FakePop3Server server;
    server.wire[2] = "two\r\n.\r\n";
    LogIn(server.port());
    int fd = File("m");
    ASSERT_EQ(owner_.client.Retrieve(1, fd), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, kPop3NotRetrievable));
    EXPECT_EQ(owner_.client.ErrorText(kPop3NotRetrievable),
              "A e-mail message is not retrieveable.");
    EXPECT_EQ(owner_.client.state(), CPop3::kReady);
    EXPECT_EQ(owner_.client.opMessage(), 0u)
        << "a completion in the ready state ends the operation";
    ASSERT_EQ(owner_.client.Retrieve(2, fd), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("m")), "two\r\n");
}

TEST_F(Pop3Test, RefusalAtEachLoginStepHasItsCodeAndText) {
    struct Case {
        const char* verb;  // "" the greeting
        uint32_t code;
        std::string text;
        std::vector<std::string> commands;
    };
    const std::vector<Case> cases = {
        {"", kPop3BadUser, "Your e-mail user name is invalid.", {}},
        {"USER", kPop3BadUser, "Your e-mail user name is invalid.", {"USER joe"}},
        {"PASS",
         kPop3BadPassword,
         "Your e-mail user name or password is invalid.",
         {"USER joe", "PASS pw"}},
        {"STAT",
         kPop3Said,
         "The POP3 mail server 127.0.0.1 said:  ERR mailbox locked",
         {"USER joe", "PASS pw", "STAT"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.verb);
        FakePop3Server server;
        if (*c.verb)
            server.replies[c.verb] = "-ERR mailbox locked\r\n";
        else
            server.greeting = "-ERR go away\r\n";
        ASSERT_EQ(owner_.client.Connect("joe", "pw", "127.0.0.1", server.port()), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, c.code));
        EXPECT_EQ(owner_.client.ErrorText(c.code), c.text);
        EXPECT_EQ(owner_.client.state(), CPop3::kIdle);
        EXPECT_EQ(server.commands, c.commands);
    }
}

TEST_F(Pop3Test, RefusedDeleteAndQuitAreErrorsWithTheServersWords) {
    {
        FakePop3Server server;
        server.replies["DELE"] = "-ERR message 1 already deleted\r\n";
        LogIn(server.port());
        ASSERT_EQ(owner_.client.Delete(1), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_DELETED, kPop3Said));
        EXPECT_EQ(owner_.client.ErrorText(kPop3Said),
                  "The POP3 mail server 127.0.0.1 said:  ERR message 1 already deleted");
        // The session goes on: the QUIT that keeps the earlier deletions can still be sent.
        EXPECT_EQ(owner_.client.state(), CPop3::kReady);
        owner_.client.Quit();
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, 0u));
        EXPECT_EQ(server.commands.back(), "QUIT");
    }
    {
        // The server could not remove the deleted messages: they will be back next time.
        FakePop3Server server;
        server.replies["QUIT"] = "-ERR some deleted messages not removed\r\n";
        LogIn(server.port());
        owner_.client.Quit();
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, kPop3Said));
        EXPECT_EQ(owner_.client.state(), CPop3::kIdle);
    }
}

TEST_F(Pop3Test, QuitAfterTheSessionBrokeIsNoSuccess) {
    // The server hangs up after a deletion: it restores the message, so the session did not
    // end well, and the caller waiting for the end must hear so.
    FakePop3Server server;
    server.closeAfter = {"DELE", "QUIT"};
    LogIn(server.port());
    ASSERT_EQ(owner_.client.Delete(1), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_DELETED, 0u));
    ASSERT_TRUE(waitFor([&] { return owner_.client.state() == CPop3::kIdle; }));
    owner_.client.Quit();
    auto ended = Next();
    EXPECT_EQ(ended.first, WM_POP3_ENDED);
    EXPECT_NE(ended.second, 0u);
    EXPECT_EQ(server.commands, (std::vector<std::string>{"USER joe", "PASS pw", "STAT", "DELE 1"}));
}

TEST_F(Pop3Test, QuitWhenIdleOrBusy) {
    // Never connected: nothing at all.
    owner_.client.Quit();
    ASSERT_TRUE(DrainMessages());
    EXPECT_TRUE(owner_.done.empty());

    // In the middle of a message QUIT would be taken as part of it: the retrieval goes on.
    FakePop3Server server;
    server.pace = ScriptedLineServer::Pace::Halves;
    server.wire[1] = std::string(3000, 'm') + "\r\n.\r\n";
    LogIn(server.port());
    int fd = File("m");
    ASSERT_EQ(owner_.client.Retrieve(1, fd), 0u);
    EXPECT_EQ(owner_.client.Retrieve(1, fd), kPop3Busy);
    EXPECT_EQ(owner_.client.Delete(1), kPop3Busy);
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, kPop3Busy));
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("m")), std::string(3000, 'm') + "\r\n");
    EXPECT_EQ(server.commands, (std::vector<std::string>{"USER joe", "PASS pw", "STAT", "RETR 1"}));
}

TEST_F(Pop3Test, StatWithoutCountFailsAndForgetsThePreviousCount) {
    FakePop3Server server;
    server.replies["STAT"] = "+OK 7 1000\r\n";
    LogIn(server.port());
    EXPECT_EQ(owner_.client.messageCount(), 7);
    owner_.client.Abort();

    for (const char* stat : {"+OK\r\n", "+OK many\r\n", "+OK -3 10\r\n", "+OK 99999999999 1\r\n"}) {
        SCOPED_TRACE(stat);
        server.replies["STAT"] = stat;
        ASSERT_EQ(owner_.client.Connect("joe", "pw", "127.0.0.1", server.port()), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, kPop3Said));
        EXPECT_EQ(owner_.client.messageCount(), 0);
    }
    server.replies["STAT"] = "+OK 0 0\r\n";
    LogIn(server.port());
    EXPECT_EQ(owner_.client.messageCount(), 0) << "an empty box is a login like any other";
}

TEST_F(Pop3Test, UnsendableUserNameOrPasswordNeverLeaves) {
    FakePop3Server server;
    const std::string nul("pa\0ss", 5);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"joe\r\nDELE 1", "pw"}, {"joe", "pw\nDELE 1"},          {"joe", nul},
        {"joe\r", "pw"},         {std::string(1020, 'u'), "pw"}, {"joe", std::string(1019, 'p')}};
    for (const auto& [user, pass] : cases) {
        EXPECT_EQ(owner_.client.Connect(user, pass, "127.0.0.1", server.port()),
                  kPop3BadLoginValue);
        EXPECT_EQ(owner_.client.state(), CPop3::kIdle);
    }
    EXPECT_EQ(owner_.client.ErrorText(kPop3BadLoginValue).find("pw"), std::string::npos);
    // The longest that still fits goes whole.
    LogIn(server.port(), "joe", std::string(1024 - 7, 'p'));
    EXPECT_EQ(server.connections, 1);
    EXPECT_EQ(server.commands[1].size(), 1024u - 2);
}

TEST_F(Pop3Test, SilenceDropsAndOneByteDripsAllEnd) {
    Root().SetDword(kTimeoutPop3, 150);
    {
        FakePop3Server server;
        server.greeting.clear();  // connected, never greeted
        ASSERT_EQ(owner_.client.Connect("joe", "pw", "127.0.0.1", server.port()), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, kPop3NoResponse));
        EXPECT_EQ(owner_.client.ErrorText(kPop3NoResponse),
                  "The POP3 Mail server 127.0.0.1 did not respond to our command, please try "
                  "again later.");
        EXPECT_EQ(server.connections, 1) << "no new attempt once connected";
    }
    {
        // The connection goes in the middle of a message.
        FakePop3Server server;
        server.replies["RETR"] = "+OK\r\nSubject: cut\r\n\r\nthe body goes on and on\r\n.\r\n";
        server.dropMidReply = {"RETR"};
        LogIn(server.port());
        ASSERT_EQ(owner_.client.Retrieve(1, File("cut")), 0u);
        auto got = Next();
        EXPECT_EQ(got.first, WM_POP3_RETRIEVED);
        EXPECT_NE(got.second, 0u);
        EXPECT_EQ(owner_.client.state(), CPop3::kIdle);
    }
    {
        // A message that stops coming.
        FakePop3Server server;
        server.replies["RETR"] = "+OK\r\nSubject: stuck\r\n";
        LogIn(server.port());
        ASSERT_EQ(owner_.client.Retrieve(1, File("stuck")), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, kPop3NoResponse));
    }
    {
        // A server that drips a byte now and then still meets the request's end.
        FakePop3Server server;
        server.pace = ScriptedLineServer::Pace::OneByte;
        server.replies["RETR"] = "+OK\r\n" + std::string(100000, 'z');
        owner_.client.SetRequestTimeLimit(std::chrono::milliseconds(500));
        LogIn(server.port());
        ASSERT_EQ(owner_.client.Retrieve(1, File("drip")), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, kPop3NoResponse));
    }
}

// The overall limit bounds one request, not a session: a box whose messages each arrive in
// time is read to its end, however long the whole takes.
TEST_F(Pop3Test, EachRetrievalHasTheWholeRequestLimitOfItsOwn) {
    FakePop3Server server;
    server.pace = ScriptedLineServer::Pace::OneByte;
    server.replies["RETR"] = "+OK\r\n" + std::string(150, 'm') + "\r\n.\r\n";
    owner_.client.SetRequestTimeLimit(std::chrono::milliseconds(1500));
    LogIn(server.port());
    auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 8; ++i) {
        ASSERT_EQ(owner_.client.Retrieve(i, File("m" + std::to_string(i))), 0u);
        ASSERT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u)) << "message " << i;
    }
    // Only meaningful when the whole outlasted one limit; the pace makes it so.
    EXPECT_GT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

TEST_F(Pop3Test, IdentifiersHeadersAndCapabilities) {
    FakePop3Server server;
    server.pace = ScriptedLineServer::Pace::OneByte;
    server.replies["UIDL"] = "+OK\r\n1 abc\r\n2 d.e\r\n.\r\n";
    server.replies["TOP"] = "+OK\r\nSubject: top\r\nMessage-Id: <1@x>\r\n\r\n.\r\n";
    server.replies["CAPA"] = "+OK\r\nTOP\r\nuidl\r\nSASL PLAIN\r\n.\r\n";
    LogIn(server.port());
    EXPECT_EQ(owner_.client.offersUidl(), CPop3::Offer::kUnknown);
    ASSERT_EQ(owner_.client.Capabilities(), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_CAPA, 0u));
    EXPECT_EQ(owner_.client.offersUidl(), CPop3::Offer::kYes);
    EXPECT_EQ(owner_.client.offersTop(), CPop3::Offer::kYes);
    EXPECT_EQ(owner_.client.offersStls(), CPop3::Offer::kNo);

    int list = File("list");
    ASSERT_EQ(owner_.client.UidList(list), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_UIDL, 0u));
    EXPECT_EQ(ReadFileBytes(Path("list")), "1 abc\r\n2 d.e\r\n");

    int top = File("top");
    ASSERT_EQ(owner_.client.Top(1, top), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_TOP, 0u));
    EXPECT_EQ(ReadFileBytes(Path("top")), "Subject: top\r\nMessage-Id: <1@x>\r\n\r\n");

    server.replies["UIDL"] = "+OK 2 QhdPYR:00WBw1Ph7x7\r\n";
    ASSERT_EQ(owner_.client.Uid(2), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_UIDL, 0u));
    EXPECT_EQ(owner_.client.uid(), "QhdPYR:00WBw1Ph7x7");
    // The identifier of another message, or none: not taken.
    for (const char* bad : {"+OK 3 QhdPYR\r\n", "+OK 2\r\n", "-ERR no such message\r\n"}) {
        server.replies["UIDL"] = bad;
        ASSERT_EQ(owner_.client.Uid(2), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_POP3_UIDL, kPop3Refused));
        EXPECT_EQ(owner_.client.uid(), "");
        EXPECT_EQ(owner_.client.state(), CPop3::kReady);
    }
    EXPECT_EQ(owner_.client.ErrorText(kPop3Refused),
              "The POP3 mail server 127.0.0.1 said:  ERR no such message");
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, 0u));
    EXPECT_EQ(server.commands,
              (std::vector<std::string>{"USER joe", "PASS pw", "STAT", "CAPA", "UIDL", "TOP 1 0",
                                        "UIDL 2", "UIDL 2", "UIDL 2", "UIDL 2", "QUIT"}));
}

TEST_F(Pop3Test, ServerWithoutCapaOrUidlIsToldBySeeing) {
    FakePop3Server server;  // answers CAPA, UIDL and TOP with -ERR
    LogIn(server.port());
    ASSERT_EQ(owner_.client.Capabilities(), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_CAPA, 0u));
    EXPECT_EQ(owner_.client.offersUidl(), CPop3::Offer::kUnknown);
    ASSERT_EQ(owner_.client.UidList(File("list")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_UIDL, kPop3Refused));
    ASSERT_EQ(owner_.client.Top(1, File("top")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_TOP, kPop3Refused));
    EXPECT_EQ(owner_.client.state(), CPop3::kReady);
    EXPECT_EQ(ReadFileBytes(Path("list")), "");
}

TEST_F(Pop3Test, RequiredStlsRefusedNeverFallsBackToPlainText) {
    FakePop3Server server;
    server.replies["STLS"] = "-ERR not here\r\n";
    ASSERT_EQ(owner_.client.Connect("joe", "pw", "127.0.0.1", server.port(), Pop3Security::kStls),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, kPop3NoStls));
    EXPECT_EQ(owner_.client.ErrorText(kPop3NoStls),
              "The POP3 mail server 127.0.0.1 does not offer a secure connection (STLS), and "
              "one is required.");
    EXPECT_EQ(server.commands, (std::vector<std::string>{"STLS"}));

    // A server that says yes and goes on in plain text: what it says is not taken for the
    // secure server's words, the handshake never completes, and the wait for it ends.
    Root().SetDword(kTimeoutPop3, 300);
    FakePop3Server liar;
    liar.replies["STLS"] = "+OK go ahead\r\n+OK injected\r\n";
    ASSERT_EQ(owner_.client.Connect("joe", "pw", "127.0.0.1", liar.port(), Pop3Security::kStls),
              0u);
    auto got = Next();
    EXPECT_EQ(got.first, WM_POP3_LOGGED_IN);
    EXPECT_TRUE(got.second == kPop3NoResponse || got.second == kPop3TlsFailed) << got.second;
    EXPECT_EQ(owner_.client.state(), CPop3::kIdle);
    ASSERT_EQ(liar.received.size(), 1u);
    EXPECT_EQ(liar.received[0].rfind("STLS\r\n", 0), 0u);
    EXPECT_EQ(liar.received[0].find("USER"), std::string::npos);

    EXPECT_EQ(
        owner_.client.Connect("joe", "pw", "127.0.0.1", liar.port(), static_cast<Pop3Security>(3)),
        kPop3BadSecurity);
}

TEST(Pop3Text, HostPortAndUidLines) {
    struct Case {
        const char* text;
        const char* host;
        int port;
    };
    for (const Case& c :
         {Case{"mail.test", "mail.test", 0}, Case{"mail.test:995", "mail.test", 995},
          Case{"127.0.0.1:1100", "127.0.0.1", 1100}, Case{"[::1]:110", "::1", 110},
          Case{"::1", "::1", 0}, Case{"mail.test:", "mail.test:", 0},
          Case{"mail.test:99999", "mail.test:99999", 0}, Case{"mail.test:0", "mail.test:0", 0},
          Case{":110", ":110", 0}, Case{"mail.test:+5", "mail.test:+5", 0}}) {
        std::string host;
        int port = -1;
        CInet::SplitHostPort(c.text, &host, &port);
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
    int n = 0;
    std::string uid;
    EXPECT_TRUE(ParseUidLine("12 abc~!\r\n", &n, &uid));
    EXPECT_EQ(n, 12);
    EXPECT_EQ(uid, "abc~!");
    for (const char* bad : {"", "12", "x abc", "0 abc", "-1 abc", "12 ", "3 \x01", "3 \xc3\xa9"})
        EXPECT_FALSE(ParseUidLine(bad, &n, &uid)) << bad;
    EXPECT_FALSE(ParseUidLine("1 " + std::string(71, 'a'), &n, &uid));
}

// ---------------------------------------------------------------------------------------
// Against a real Dovecot.

class Pop3DovecotTest : public Pop3Test {
protected:
    void SetUp() override {
        Pop3Test::SetUp();
        QDir().mkpath(QString::fromStdString(Path("ca")));
        ca_ = std::make_unique<TestCa>(Path("ca"));
        ASSERT_TRUE(ca_->ok()) << ca_->error();
        auto issued = ca_->Issue("pop", {"DNS:localhost", "IP:127.0.0.1"});
        ASSERT_TRUE(ca_->ok()) << ca_->error();
        dovecot_.AddMessage(
            "From: a@x.test\r\nSubject: one\r\nMessage-Id: <1@x.test>\r\n\r\n"
            ".dotted line\r\n..two dots\r\nend\r\n");
        dovecot_.AddMessage("From: b@x.test\r\nSubject: two\r\n\r\nsecond\r\n");
        big_ = "Subject: big\r\n\r\n";
        while (big_.size() < 3 * 1024 * 1024) big_ += std::string(76, 'b') + "\r\n.x\r\n";
        dovecot_.AddMessage(big_);
        ASSERT_TRUE(dovecot_.Start(issued)) << dovecot_.error();
    }
    std::unique_ptr<TestCa> ca_;
    Dovecot dovecot_;
    std::string big_;
};

TEST_F(Pop3DovecotTest, WholeSessionInPlainText) {
    LogIn(dovecot_.pop3Port(), dovecot_.user, dovecot_.password);
    EXPECT_EQ(owner_.client.messageCount(), 3);
    ASSERT_EQ(owner_.client.Capabilities(), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_CAPA, 0u));
    EXPECT_EQ(owner_.client.offersUidl(), CPop3::Offer::kYes);
    EXPECT_EQ(owner_.client.offersTop(), CPop3::Offer::kYes);

    ASSERT_EQ(owner_.client.UidList(File("list")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_UIDL, 0u));
    std::ifstream list(Path("list"));
    std::vector<std::string> uids;
    for (std::string line; std::getline(list, line);) {
        int n = 0;
        std::string uid;
        ASSERT_TRUE(ParseUidLine(line, &n, &uid)) << line;
        EXPECT_EQ(n, static_cast<int>(uids.size()) + 1);
        uids.push_back(uid);
    }
    ASSERT_EQ(uids.size(), 3u);
    ASSERT_EQ(owner_.client.Uid(2), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_UIDL, 0u));
    EXPECT_EQ(owner_.client.uid(), uids[1]);

    ASSERT_EQ(owner_.client.Top(1, File("top")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_TOP, 0u));
    EXPECT_EQ(ReadFileBytes(Path("top")),
              "From: a@x.test\r\nSubject: one\r\nMessage-Id: <1@x.test>\r\n\r\n");

    ASSERT_EQ(owner_.client.Retrieve(1, File("one")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_EQ(ReadFileBytes(Path("one")),
              "From: a@x.test\r\nSubject: one\r\nMessage-Id: <1@x.test>\r\n\r\n"
              ".dotted line\r\n..two dots\r\nend\r\n");
    ASSERT_EQ(owner_.client.Retrieve(3, File("big")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, 0u));
    EXPECT_TRUE(ReadFileBytes(Path("big")) == big_) << "the large message, byte for byte";

    ASSERT_EQ(owner_.client.Delete(1), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_DELETED, 0u));
    ASSERT_EQ(owner_.client.Retrieve(1, File("gone")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_RETRIEVED, kPop3NotRetrievable));
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, 0u));
    EXPECT_EQ(dovecot_.MessageCount(), 2) << "the deletion took effect at QUIT";
}

TEST_F(Pop3DovecotTest, SecureSessionsByStlsAndFromTheFirstByte) {
    Root().SetString(kTlsCaFile, ca_->caFile());
    LogIn(dovecot_.pop3Port(), dovecot_.user, dovecot_.password, "127.0.0.1", Pop3Security::kStls);
    EXPECT_EQ(owner_.client.offersStls(), CPop3::Offer::kYes);
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, 0u));

    // host:port in the server name, as PopHost may hold it.
    LogIn(0, dovecot_.user, dovecot_.password, "localhost:" + std::to_string(dovecot_.pop3sPort()),
          Pop3Security::kTlsFromStart);
    EXPECT_EQ(owner_.client.messageCount(), 3);
    EXPECT_EQ(owner_.client.serverName(), "localhost");
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_ENDED, 0u));
    // Dovecot marks logins that came over TLS.
    std::string log = dovecot_.Log();
    size_t first = log.find(", TLS");
    ASSERT_NE(first, std::string::npos) << log;
    EXPECT_NE(log.find(", TLS", first + 1), std::string::npos) << log;
}

TEST_F(Pop3DovecotTest, UntrustedCertificateAndWrongPasswordAreRefused) {
    // No TlsCaFile: the test's authority is trusted by nobody.
    ASSERT_EQ(owner_.client.Connect(dovecot_.user, dovecot_.password, "127.0.0.1",
                                    dovecot_.pop3sPort(), Pop3Security::kTlsFromStart),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, kPop3TlsFailed));
    EXPECT_EQ(owner_.client.ErrorText(kPop3TlsFailed),
              "The secure connection to 127.0.0.1 could not be made: unable to get local issuer "
              "certificate.");
    ASSERT_EQ(owner_.client.Connect(dovecot_.user, dovecot_.password, "127.0.0.1",
                                    dovecot_.pop3Port(), Pop3Security::kStls),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, kPop3TlsFailed));
    EXPECT_EQ(dovecot_.Log().find("Login:"), std::string::npos) << "no password went out";

    ASSERT_EQ(owner_.client.Connect(dovecot_.user, "wrong", "127.0.0.1", dovecot_.pop3Port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_POP3_LOGGED_IN, kPop3BadPassword));
}

}  // namespace

#include <fcntl.h>
#include <unistd.h>

#include <QDir>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "fakes/ClientOwner.h"
#include "fakes/FakeKeyring.h"
#include "fakes/Inn.h"
#include "fakes/ScriptedLineServer.h"
#include "fakes/TestCa.h"
#include "fixtures/Fixtures.h"
#include "net/Nntp.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

namespace {

using namespace settings;

// A news server that answers by verb, and by group name for GROUP.
class FakeNntpServer : public ScriptedLineServer {
public:
    std::map<std::string, std::string> groups;  // name -> GROUP reply
    FakeNntpServer() {
        greeting = "200 news.test ready\r\n";
        replies = {{"LIST", "215 list follows\r\nmisc.test 3 1 y\r\n..dotted 0 1 n\r\n.\r\n"},
                   {"XOVER",
                    "224 overview follows\r\n"
                    "1\tHello\ta@x.test\tdate\t<1@x>\t\t10\t2\r\n"
                    "2\tWorld\tb@x.test\tdate\t<2@x>\t<1@x>\t20\t3\r\n.\r\n"},
                   {"STAT", "223 2 <2@x> article exists\r\n"},
                   {"NEXT", "223 3 <3@x> next\r\n"},
                   {"HEAD", "221 3 <3@x> head\r\nSubject: three\r\n..dot\r\n.\r\n"},
                   {"BODY", "222 3 <3@x> body\r\n\r\nfirst\r\n..two dots\r\n.\r\n"},
                   {"QUIT", "205 bye\r\n"}};
        groups = {{"misc.test", "211 3 1 3 misc.test\r\n"}};
        unknownReply = "500 what?\r\n";
    }

protected:
    std::string ReplyTo(const std::string& line, const std::string& verb) override {
        if (verb == "GROUP" && !replies.count("GROUP")) {
            auto it = groups.find(line.substr(6));
            return it != groups.end() ? it->second : "411 no such group\r\n";
        }
        return ScriptedLineServer::ReplyTo(line, verb);
    }
};

class NntpTest : public SandboxTest {
protected:
    std::pair<UINT, uint32_t> Next() {
        size_t want = taken_ + 1;
        EXPECT_TRUE(waitFor([&] { return owner_.done.size() >= want; }, std::chrono::seconds(30)));
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
    void Connect(int port, const std::string& host = "127.0.0.1") {
        ASSERT_EQ(client().Connect(host, port), 0u);
        ASSERT_EQ(Next(), std::make_pair(WM_NNTP_CONNECTED, 0u));
        ASSERT_EQ(client().state(), CNntp::kReady);
    }
    CNntp& client() { return owner_.client; }
    // The server speaks TLS from its first byte and the client asks for it: where a login
    // may go.
    void Secure(ScriptedLineServer& server) {
        if (!loginCa_) {
            std::filesystem::create_directories(Path("ca"));
            loginCa_ = std::make_unique<TestCa>(Path("ca"));
            issued_ = loginCa_->Issue("news", {"IP:127.0.0.1"});
            ASSERT_TRUE(loginCa_->ok()) << loginCa_->error();
        }
        ASSERT_TRUE(server.UseTls(issued_.cert, issued_.key));
        Root().SetString(kTlsCaFile, loginCa_->caFile());
        Root().SetDword(kNewsSecurity, kNntpImplicitTls);
    }

    std::unique_ptr<TestCa> loginCa_;
    TestCa::Issued issued_;
    ClientOwner<CNntp, WM_NNTP_LOOKUP> owner_;
    std::vector<int> fds_;
    size_t taken_ = 0;
};

// ---------------------------------------------------------------------------------------
// Against scripted servers.

class NntpPaceTest : public NntpTest,
                     public ::testing::WithParamInterface<ScriptedLineServer::Pace> {};

TEST_P(NntpPaceTest, WholeSessionAtAnyPace) {
    FakeNntpServer server;
    server.pace = GetParam();
    Connect(server.port());

    ASSERT_EQ(client().List(File("list")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_LIST, 0u));
    // As sent after the status line: doubled dots kept, the end line written and counted.
    EXPECT_EQ(ReadFileBytes(Path("list")), "misc.test 3 1 y\r\n..dotted 0 1 n\r\n.\r\n");
    EXPECT_EQ(client().lineCount(), 3);

    ASSERT_EQ(client().Group("misc.test"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    EXPECT_EQ(client().articleCount(), 3);
    EXPECT_EQ(client().firstArticle(), 1);
    EXPECT_EQ(client().lastArticle(), 3);
    EXPECT_EQ(client().groupName(), "misc.test");

    ASSERT_EQ(client().XOver(File("over"), 1, 3), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, 0u));
    EXPECT_EQ(client().lineCount(), 3);
    EXPECT_EQ(ReadFileBytes(Path("over")),
              "1\tHello\ta@x.test\tdate\t<1@x>\t\t10\t2\r\n"
              "2\tWorld\tb@x.test\tdate\t<2@x>\t<1@x>\t20\t3\r\n.\r\n");

    ASSERT_EQ(client().Stat(2), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_STAT, 0u));
    EXPECT_EQ(client().currentArticle(), 2);
    ASSERT_EQ(client().Next(), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_NEXT, 0u));
    EXPECT_EQ(client().currentArticle(), 3);
    ASSERT_EQ(client().Head(File("head")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_HEAD, 0u));
    EXPECT_EQ(ReadFileBytes(Path("head")), "Subject: three\r\n..dot\r\n.\r\n");
    ASSERT_EQ(client().Body(File("body")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_BODY, 0u));
    EXPECT_EQ(ReadFileBytes(Path("body")), "\r\nfirst\r\n..two dots\r\n.\r\n")
        << "the empty line that begins a body is the body's";

    client().Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_QUIT, 0u));
    EXPECT_EQ(client().state(), CNntp::kIdle);
    EXPECT_EQ(server.commands,
              (std::vector<std::string>{"LIST", "GROUP misc.test", "XOVER 1-3", "STAT 2", "NEXT",
                                        "HEAD 3", "BODY  3", "QUIT"}));
}

INSTANTIATE_TEST_SUITE_P(Paces, NntpPaceTest,
                         ::testing::Values(ScriptedLineServer::Pace::Whole,
                                           ScriptedLineServer::Pace::Halves,
                                           ScriptedLineServer::Pace::OneByte));

TEST_F(NntpTest, RefusedGreetingEndsTheSessionWithTheServersWords) {
    FakeNntpServer server;
    server.greeting = "502 you have no permission to talk\r\n";
    ASSERT_EQ(client().Connect("127.0.0.1", server.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_CONNECTED, kNntpSaid));
    EXPECT_EQ(client().ErrorText(kNntpSaid),
              "On group  the News server 127.0.0.1 said:  you have no permission to talk");
    EXPECT_EQ(client().state(), CNntp::kIdle);
    EXPECT_EQ(client().Group("misc.test"), kNntpSendFailed);
}

TEST_F(NntpTest, RefusedGroupKeepsTheSessionForTheNextGroup) {
    FakeNntpServer server;
    server.groups["b.group"] = "211 0 5 4 b.group\r\n";
    Connect(server.port());
    ASSERT_EQ(client().Group("misc.test"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));

    ASSERT_EQ(client().Group("gone.away"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, kNntpSaid));
    EXPECT_EQ(client().ErrorText(kNntpSaid),
              "On group gone.away the News server 127.0.0.1 said:  no such group");
    EXPECT_EQ(client().state(), CNntp::kReady);
    EXPECT_EQ(client().lastArticle(), 0) << "the numbers of the group before are not kept";

    // An empty group gives its numbers as the server has them.
    ASSERT_EQ(client().Group("b.group"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    EXPECT_EQ(client().articleCount(), 0);
    EXPECT_EQ(client().firstArticle(), 5);
    EXPECT_EQ(client().lastArticle(), 4);
    EXPECT_EQ(server.connections, 1);
}

TEST_F(NntpTest, GroupReplyWithoutEveryNumberCountsAsRefused) {
    FakeNntpServer server;
    Connect(server.port());
    for (const char* reply :
         {"211 5 1\r\n", "211 5 1 x misc.test\r\n", "211\r\n", "211 5 1 99999999999 misc.test\r\n",
          "211 -5 1 3 misc.test\r\n", "211 5 1 3x misc.test\r\n"}) {
        SCOPED_TRACE(reply);
        // A good group first, so that stale numbers would show.
        server.groups["misc.test"] = "211 3 1 3 misc.test\r\n";
        ASSERT_EQ(client().Group("misc.test"), 0u);
        ASSERT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
        ASSERT_EQ(client().lastArticle(), 3);
        server.groups["misc.test"] = reply;
        ASSERT_EQ(client().Group("misc.test"), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, kNntpSaid));
        EXPECT_EQ(client().articleCount(), 0);
        EXPECT_EQ(client().firstArticle(), 0);
        EXPECT_EQ(client().lastArticle(), 0);
        EXPECT_EQ(client().state(), CNntp::kReady);
    }
}

TEST_F(NntpTest, GroupNamesThatCannotBeSentNeverLeave) {
    FakeNntpServer server;
    Connect(server.port());
    const std::vector<std::string> bad = {"a\r\nQUIT", "a\nLIST",   std::string("a\0b", 3), "a b",
                                          "",          "tab\tname", std::string(1020, 'g')};
    for (const auto& name : bad) {
        ASSERT_EQ(client().Group(name), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, kNntpBadGroupName));
        EXPECT_EQ(client().state(), CNntp::kReady);
    }
    EXPECT_EQ(client().ErrorText(kNntpBadGroupName).find('\n'), std::string::npos);
    // The longest name that fits goes whole.
    std::string longest(1024 - 8, 'g');
    server.groups[longest] = "211 1 1 1 " + longest + "\r\n";
    ASSERT_EQ(client().Group(longest), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    EXPECT_EQ(server.commands, std::vector<std::string>{"GROUP " + longest});
}

TEST_F(NntpTest, RefusedArticleCommandsKeepTheSessionAndTheArticle) {
    FakeNntpServer server;
    Connect(server.port());
    ASSERT_EQ(client().Stat(2), 0u);
    ASSERT_EQ(Next(), std::make_pair(WM_NNTP_STAT, 0u));
    // NEXT at the last article, and replies whose number cannot be read.
    for (const char* reply : {"421 no next article\r\n", "223 <3@x>\r\n", "223 0 <3@x>\r\n"}) {
        server.replies["NEXT"] = reply;
        ASSERT_EQ(client().Next(), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_NEXT, kNntpNoArticle)) << reply;
        EXPECT_EQ(client().currentArticle(), 2);
    }
    EXPECT_EQ(client().ErrorText(kNntpNoArticle), "No article can be found on the News Server.");
    server.replies["STAT"] = "423 no such article\r\n";
    ASSERT_EQ(client().Stat(7), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_STAT, kNntpNoArticle));
    server.replies["HEAD"] = "423 no such article\r\n";
    server.replies["LIST"] = "503 not now\r\n";
    ASSERT_EQ(client().Head(File("h")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_HEAD, kNntpLost));
    ASSERT_EQ(client().List(File("l")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_LIST, kNntpLost));
    EXPECT_EQ(client().ErrorText(kNntpLost), "The News Server lost an article.");
    EXPECT_EQ(client().state(), CNntp::kReady);
    ASSERT_EQ(client().Body(File("b")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_BODY, 0u));
    EXPECT_EQ(server.commands.back(), "BODY  2");
}

TEST_F(NntpTest, RefusedXoverIsAskedAgainWithOver) {
    FakeNntpServer server;
    server.replies["OVER"] = server.replies["XOVER"];
    server.replies["XOVER"] = "500 unknown command\r\n";
    Connect(server.port());
    ASSERT_EQ(client().XOver(File("o1"), 1, 3), 0u);
    // A call refused as busy does not change the range asked again.
    EXPECT_EQ(client().XOver(File("o2"), 7, 8), kNntpBusy);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, 0u));
    EXPECT_EQ(client().lineCount(), 3);
    EXPECT_TRUE(client().usesOver());
    // The rest of the session asks with OVER at once.
    ASSERT_EQ(client().XOver(File("o2"), 4, 9), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, 0u));
    EXPECT_EQ(ReadFileBytes(Path("o1")), ReadFileBytes(Path("o2")));
    EXPECT_EQ(server.commands, (std::vector<std::string>{"XOVER 1-3", "OVER 1-3", "OVER 4-9"}));

    // No articles in the range is no reason to ask again.
    FakeNntpServer empty;
    empty.replies["XOVER"] = "420 no articles in range\r\n";
    client().Abort();
    Connect(empty.port());
    ASSERT_EQ(client().XOver(File("o3"), 5, 9), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, kNntpLost));
    EXPECT_EQ(empty.commands, std::vector<std::string>{"XOVER 5-9"});
}

TEST_F(NntpTest, APasswordKeptInTheKeyringIsTheLoginsAndOneItDoesNotGiveIsNamed) {
    InstalledKeyring keyring;
    Root().SetString(kNewsUserName, "reader");
    RegKey root = Root();
    std::string problem;
    ASSERT_TRUE(WritePassword(root, kNewsPassword, "pw pw", &problem)) << problem;
    class AuthServer : public FakeNntpServer {
    protected:
        std::string ReplyTo(const std::string& line, const std::string& verb) override {
            if (line == "AUTHINFO USER reader") return "381 password please\r\n";
            if (verb == "AUTHINFO")
                return line == "AUTHINFO PASS pw pw" ? "281 welcome\r\n"
                                                     : "481 authentication failed\r\n";
            return FakeNntpServer::ReplyTo(line, verb);
        }
    } server;
    server.replies["GROUP"] = "480 authentication required\r\n";
    Secure(server);
    Connect(server.port());
    ASSERT_EQ(client().Group("misc.test"), 0u);
    Next();
    ASSERT_GE(server.commands.size(), 3u);
    EXPECT_EQ(server.commands[2], "AUTHINFO PASS pw pw");
    client().Abort();

    keyring->answer = {secrets::Outcome::kFailed, "Cannot get secret of a locked object"};
    EXPECT_EQ(client().Connect("127.0.0.1", server.port()), kNntpBadLoginValue);
    EXPECT_EQ(client().ErrorText(kNntpBadLoginValue),
              "The password NewsPassword is kept in the desktop keyring, but the keyring refused "
              "it: Cannot get secret of a locked object.");
}

TEST_F(NntpTest, LoginWhenTheServerAsksAndTheCommandAgain) {
    Root().SetString(kNewsUserName, "reader");
    Root().SetString(kNewsPassword, "pw pw");
    class AuthServer : public FakeNntpServer {
    public:
        bool in = false;
        std::string pass = "pw pw";

    protected:
        std::string ReplyTo(const std::string& line, const std::string& verb) override {
            if (line == "AUTHINFO USER reader") return "381 password please\r\n";
            if (verb == "AUTHINFO") {
                in = line == "AUTHINFO PASS " + pass;
                return in ? "281 welcome\r\n" : "481 authentication failed\r\n";
            }
            if (!in && verb != "QUIT") return "480 authentication required\r\n";
            return FakeNntpServer::ReplyTo(line, verb);
        }
    };
    {
        // Asked over a session that is not secured, the login is never given.
        AuthServer server;
        Connect(server.port());
        ASSERT_EQ(client().Group("misc.test"), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, kNntpLoginNotSecure));
        EXPECT_EQ(client().ErrorText(kNntpLoginNotSecure),
                  "The News server 127.0.0.1 asks for a login, and a user name and password are "
                  "only ever sent over a secure connection: set NewsSecurity to 1 (STARTTLS) or 2 "
                  "(TLS) to log in.");
        EXPECT_EQ(server.commands, std::vector<std::string>{"GROUP misc.test"});
        EXPECT_EQ(client().state(), CNntp::kIdle);
    }
    {
        AuthServer server;
        Secure(server);
        Connect(server.port());
        ASSERT_EQ(client().Group("misc.test"), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
        EXPECT_EQ(client().lastArticle(), 3);
        ASSERT_EQ(client().List(File("list")), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_LIST, 0u));
        EXPECT_EQ(server.commands,
                  (std::vector<std::string>{"GROUP misc.test", "AUTHINFO USER reader",
                                            "AUTHINFO PASS pw pw", "GROUP misc.test", "LIST"}));
        client().Abort();
    }
    {
        AuthServer server;
        server.pass = "other";
        Secure(server);
        Connect(server.port());
        ASSERT_EQ(client().XOver(File("o"), 1, 2), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, kNntpLoginRefused));
        EXPECT_EQ(client().ErrorText(kNntpLoginRefused),
                  "The News server 127.0.0.1 refused our login (check NewsUserName and "
                  "NewsPassword):  authentication failed");
        EXPECT_EQ(client().state(), CNntp::kIdle);
    }
    {
        // Nothing to log in with: the server's demand is the text.
        Root().DeleteValue(kNewsUserName);
        AuthServer server;
        Secure(server);
        Connect(server.port());
        ASSERT_EQ(client().Group("misc.test"), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, kNntpLoginRefused));
        EXPECT_NE(client().ErrorText(kNntpLoginRefused).find("authentication required"),
                  std::string::npos);
        EXPECT_EQ(server.commands, std::vector<std::string>{"GROUP misc.test"});
    }
    Root().SetString(kNewsUserName, "joe\r\nQUIT");
    EXPECT_EQ(client().Connect("127.0.0.1", 119), kNntpBadLoginValue);
}

TEST_F(NntpTest, DroppedOverviewSilenceAndDripsAllEnd) {
    Root().SetDword(kTimeoutNntp, 200);
    {
        FakeNntpServer server;
        server.replies["XOVER"] = "224 overview\r\n" + std::string(3000, 'o') + "\r\n.\r\n";
        server.dropMidReply = {"XOVER"};
        Connect(server.port());
        ASSERT_EQ(client().XOver(File("cut"), 1, 3), 0u);
        auto got = Next();
        EXPECT_EQ(got.first, WM_NNTP_XOVER);
        EXPECT_NE(got.second, 0u);
        EXPECT_EQ(client().state(), CNntp::kIdle);
    }
    {
        FakeNntpServer server;
        server.greeting.clear();
        ASSERT_EQ(client().Connect("127.0.0.1", server.port()), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_CONNECTED, kNntpNoResponse));
        EXPECT_EQ(client().ErrorText(kNntpNoResponse),
                  "The News server 127.0.0.1 did not respond to our command, please try again "
                  "later.");
        EXPECT_EQ(server.connections, 1);
    }
    {
        // A GROUP reply that never gets its line end is silence too.
        FakeNntpServer server;
        server.groups["misc.test"] = "211 3 1 3";
        Connect(server.port());
        ASSERT_EQ(client().Group("misc.test"), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, kNntpNoResponse));
    }
    {
        FakeNntpServer server;
        server.pace = ScriptedLineServer::Pace::OneByte;
        server.replies["BODY"] = "222 body\r\n" + std::string(100000, 'z');
        client().SetRequestTimeLimit(std::chrono::milliseconds(500));
        Connect(server.port());
        ASSERT_EQ(client().Body(File("drip")), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_NNTP_BODY, kNntpNoResponse));
    }
}

TEST_F(NntpTest, ListOfAHundredThousandGroupsStreamsToTheFile) {
    FakeNntpServer server;
    std::string list = "215 list\r\n";
    for (int i = 0; i < 100000; ++i)
        list += "alt.group" + std::to_string(i) + " " + std::to_string(i) + " 1 y\r\n";
    list += ".\r\n";
    // In two writes a moment apart, so that the count can be seen half way.
    server.pace = ScriptedLineServer::Pace::Halves;
    Connect(server.port());
    // A small list first: its count is not the next one's.
    ASSERT_EQ(client().List(File("small")), 0u);
    ASSERT_EQ(Next(), std::make_pair(WM_NNTP_LIST, 0u));
    server.replies["LIST"] = list;
    ASSERT_EQ(client().List(File("big")), 0u);
    EXPECT_EQ(client().lineCount(), 0);
    // The count grows while the list arrives, before its completion.
    bool seenMidway = false;
    ASSERT_TRUE(waitFor(
        [&] {
            if (owner_.done.size() == taken_ && client().lineCount() > 0 &&
                client().lineCount() < 100001)
                seenMidway = true;
            return owner_.done.size() > taken_;
        },
        std::chrono::seconds(60)));
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_LIST, 0u));
    EXPECT_TRUE(seenMidway);
    EXPECT_EQ(client().lineCount(), 100001);
    EXPECT_TRUE(ReadFileBytes(Path("big")) == list.substr(10)) << "the list, byte for byte";
}

TEST_F(NntpTest, QuitWhenIdleBusyOrHungUp) {
    client().Quit();
    ASSERT_TRUE(DrainMessages());
    EXPECT_TRUE(owner_.done.empty()) << "an idle client posts nothing";

    FakeNntpServer server;
    server.pace = ScriptedLineServer::Pace::Halves;
    server.replies["BODY"] = "222 body\r\n" + std::string(3000, 'b') + "\r\n.\r\n";
    Connect(server.port());
    ASSERT_EQ(client().Body(File("b")), 0u);
    EXPECT_EQ(client().Group("misc.test"), kNntpBusy);
    EXPECT_EQ(client().ErrorText(kNntpBusy), "The News object is being recalled.");
    client().Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_QUIT, kNntpBusy));
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_BODY, 0u));

    // A server that hangs up instead of answering QUIT has ended the session all the same.
    FakeNntpServer rude;
    rude.replies["QUIT"] = "";
    client().Abort();
    Connect(rude.port());
    client().Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_QUIT, 0u));
}

TEST_F(NntpTest, RequiredStartTlsRefusedNeverGoesOnInPlainText) {
    Root().SetDword(kNewsSecurity, kNntpStartTls);
    FakeNntpServer server;
    server.replies["STARTTLS"] = "580 can not initiate TLS\r\n";
    ASSERT_EQ(client().Connect("127.0.0.1", server.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_CONNECTED, kNntpNoStartTls));
    EXPECT_EQ(client().ErrorText(kNntpNoStartTls),
              "The News server 127.0.0.1 does not offer a secure connection (STARTTLS), and one "
              "is required.");
    EXPECT_EQ(server.commands, std::vector<std::string>{"STARTTLS"});
    // A value we do not know is no reason to send in plain text either.
    Root().SetDword(kNewsSecurity, 7);
    ASSERT_EQ(client().Connect("127.0.0.1:" + std::to_string(server.port())), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_CONNECTED, kNntpNoStartTls));
    EXPECT_EQ(server.connections, 2);
}

TEST(NntpOverview, LinesAndTheirFields) {
    OverviewLine o;
    ASSERT_TRUE(ParseOverviewLine(
        "42\tRe: hi\tJoe <j@x>\tMon, 1 Jan 2024\t <a.b@c> \t<p@q>\t1234\t17\tXref: x\r\n", &o));
    EXPECT_EQ(o.number, 42);
    EXPECT_EQ(o.subject, "Re: hi");
    EXPECT_EQ(o.from, "Joe <j@x>");
    EXPECT_EQ(o.id, "a.b@c");
    EXPECT_EQ(o.references, "<p@q>");
    EXPECT_EQ(o.bytes, 1234);
    EXPECT_EQ(o.lines, 17);
    // Empty counts are no reason to pass an article over.
    ASSERT_TRUE(ParseOverviewLine("7\ts\tf\td\t<i@x>\t\t\t", &o));
    EXPECT_EQ(o.bytes, -1);
    EXPECT_EQ(o.lines, -1);
    // An identifier whose brackets stand the wrong way round is taken whole.
    ASSERT_TRUE(ParseOverviewLine("8\ts\tf\td\t>x<\t\t1\t1", &o));
    EXPECT_EQ(o.id, ">x<");
    // A long line keeps its fields, however long its subject.
    const std::string line = "9\t" + std::string(5000, 's') + "\tf\td\t<long@x>\t\t1\t1";
    ASSERT_TRUE(ParseOverviewLine(line, &o));
    EXPECT_EQ(o.id, "long@x");
    for (const char* bad :
         {"", "x\ts\tf\td\t<i>\t\t1\t1", "0\ts\tf\td\t<i>\t\t1\t1", "-3\ts\tf\td\t<i>\t\t1\t1",
          "5\ts\tf\td\t<i>\t\t1", "99999999999\ts\tf\td\t<i>\t\t1\t1", "."})
        EXPECT_FALSE(ParseOverviewLine(bad, &o)) << bad;
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------------------
// Against a real INN.

class NntpInnTest : public NntpTest {
protected:
    void SetUp() override {
        NntpTest::SetUp();
        QDir().mkpath(QString::fromStdString(Path("ca")));
        ca_ = std::make_unique<TestCa>(Path("ca"));
        ASSERT_TRUE(ca_->ok()) << ca_->error();
        auto issued = ca_->Issue("news", {"DNS:localhost", "IP:127.0.0.1"});
        ASSERT_TRUE(ca_->ok()) << ca_->error();
        ASSERT_TRUE(inn_.Start(&issued)) << inn_.error();
        for (const char* g : {"misc.test", "comp.lang.quorvane", "empty.group"})
            ASSERT_TRUE(inn_.NewGroup(g)) << inn_.error();
        ASSERT_TRUE(inn_.Post(Article("misc.test", "first@x.test", "Linux kernel news",
                                      "body line\r\n.dotted line\r\n..two dots\r\n")))
            << inn_.error();
        ASSERT_TRUE(inn_.Post(Article("misc.test,comp.lang.quorvane", "second@x.test",
                                      "Watching the news", "second body\r\n")))
            << inn_.error();
        std::string big;
        while (big.size() < 200 * 1024) big += std::string(70, 'q') + "\r\n";
        ASSERT_TRUE(inn_.Post(Article("misc.test", "third@x.test", "A large one", big)))
            << inn_.error();
        big_ = big;
    }
    static std::string Article(const std::string& groups, const std::string& id,
                               const std::string& subject, const std::string& body) {
        return "From: Joe Tester <joe@quorvane.test>\r\nNewsgroups: " + groups +
               "\r\nSubject: " + subject + "\r\nMessage-ID: <" + id + ">\r\n\r\n" + body;
    }
    std::unique_ptr<TestCa> ca_;
    Inn inn_;
    std::string big_;
};

TEST_F(NntpInnTest, ListGroupOverviewAndArticleWalk) {
    Connect(inn_.port());
    ASSERT_EQ(client().List(File("list")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_LIST, 0u));
    std::string list = ReadFileBytes(Path("list"));
    EXPECT_NE(list.find("\nmisc.test 0000000003 0000000001 y\r\n"), std::string::npos) << list;
    EXPECT_NE(list.find("\nempty.group "), std::string::npos) << list;
    EXPECT_EQ(list.substr(list.size() - 5), "\r\n.\r\n");

    ASSERT_EQ(client().Group("misc.test"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    EXPECT_EQ(client().articleCount(), 3);
    EXPECT_EQ(client().firstArticle(), 1);
    EXPECT_EQ(client().lastArticle(), 3);

    ASSERT_EQ(client().XOver(File("over"), 1, 3), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, 0u));
    EXPECT_EQ(client().lineCount(), 4);
    std::ifstream over(Path("over"), std::ios::binary);
    std::vector<std::string> ids, subjects;
    for (std::string line; std::getline(over, line);) {
        OverviewLine o;
        if (line == ".\r") break;
        ASSERT_TRUE(ParseOverviewLine(line, &o)) << line;
        EXPECT_EQ(o.number, static_cast<int>(ids.size()) + 1);
        ids.emplace_back(o.id);
        subjects.emplace_back(o.subject);
        EXPECT_GT(o.bytes, 0);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"first@x.test", "second@x.test", "third@x.test"}));
    EXPECT_EQ(subjects[1], "Watching the news");

    // The walk: STAT the first, read it, NEXT to the others, NEXT past the last.
    ASSERT_EQ(client().Stat(1), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_STAT, 0u));
    EXPECT_EQ(client().currentArticle(), 1);
    ASSERT_EQ(client().Head(File("head")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_HEAD, 0u));
    EXPECT_NE(ReadFileBytes(Path("head")).find("Subject: Linux kernel news\r\n"),
              std::string::npos);
    ASSERT_EQ(client().Body(File("body")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_BODY, 0u));
    EXPECT_EQ(ReadFileBytes(Path("body")), "body line\r\n..dotted line\r\n...two dots\r\n.\r\n")
        << "as the server sent it";
    ASSERT_EQ(client().Next(), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_NEXT, 0u));
    ASSERT_EQ(client().Next(), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_NEXT, 0u));
    EXPECT_EQ(client().currentArticle(), 3);
    ASSERT_EQ(client().Body(File("big")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_BODY, 0u));
    EXPECT_TRUE(ReadFileBytes(Path("big")) == big_ + ".\r\n") << "the large body, byte for byte";
    ASSERT_EQ(client().Next(), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_NEXT, kNntpNoArticle));
    EXPECT_EQ(client().currentArticle(), 3);
    ASSERT_EQ(client().Stat(99), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_STAT, kNntpNoArticle));

    // A group the server does not have costs only itself; an empty one has its numbers.
    ASSERT_EQ(client().Group("no.such.group"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, kNntpSaid));
    EXPECT_EQ(client().ErrorText(kNntpSaid).rfind("On group no.such.group the News server "
                                                  "127.0.0.1 said:  ",
                                                  0),
              0u);
    ASSERT_EQ(client().Group("empty.group"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    EXPECT_EQ(client().articleCount(), 0);
    ASSERT_EQ(client().Group("comp.lang.quorvane"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    EXPECT_EQ(client().articleCount(), 1);
    client().Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_QUIT, 0u));
    EXPECT_EQ(client().state(), CNntp::kIdle);
}

TEST_F(NntpInnTest, SecureSessionsByStartTlsAndFromTheFirstByte) {
    Root().SetString(kTlsCaFile, ca_->caFile());
    Root().SetDword(kNewsSecurity, kNntpStartTls);
    Connect(inn_.port());
    ASSERT_EQ(client().Group("misc.test"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    EXPECT_EQ(client().lastArticle(), 3);
    client().Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_QUIT, 0u));

    Root().SetDword(kNewsSecurity, kNntpImplicitTls);
    ASSERT_EQ(client().Connect("localhost:" + std::to_string(inn_.tlsPort())), 0u);
    ASSERT_EQ(Next(), std::make_pair(WM_NNTP_CONNECTED, 0u));
    EXPECT_EQ(client().serverName(), "localhost");
    ASSERT_EQ(client().XOver(File("over"), 1, 3), 0u);
    // No group chosen on this connection: the server says so and the session stays.
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, kNntpLost));
    ASSERT_EQ(client().Group("misc.test"), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_GROUP, 0u));
    ASSERT_EQ(client().XOver(File("over"), 1, 3), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_XOVER, 0u));
    EXPECT_EQ(client().lineCount(), 4);
    client().Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_QUIT, 0u));

    // Trusted by nobody: the certificate is refused before a command goes.
    Root().DeleteValue(kTlsCaFile);
    ASSERT_EQ(client().Connect("127.0.0.1", inn_.tlsPort()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_NNTP_CONNECTED, kNntpTlsFailed));
    EXPECT_EQ(client().ErrorText(kNntpTlsFailed),
              "The secure connection to 127.0.0.1 could not be made: unable to get local issuer "
              "certificate.");
}

}  // namespace

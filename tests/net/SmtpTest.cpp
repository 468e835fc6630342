#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "app/SettingsStore.h"
#include "fakes/ClientOwner.h"
#include "fakes/FakeResolver.h"
#include "fakes/FakeSmtpServer.h"
#include "fakes/HttpOwner.h"
#include "fakes/ScriptedServer.h"
#include "fixtures/Fixtures.h"
#include "net/Smtp.h"

namespace {

using namespace settings;

class SmtpTest : public SandboxTest {
protected:
    int Message(const std::string& name, const std::string& text) {
        std::ofstream(Path(name), std::ios::binary) << text;
        int fd = ::open(Path(name).c_str(), O_RDONLY);
        fds_.push_back(fd);
        return fd;
    }
    void TearDown() override {
        for (int fd : fds_) ::close(fd);
        SandboxTest::TearDown();
    }
    // Waits for the next completion and returns it.
    std::pair<UINT, uint32_t> Next() {
        size_t want = taken_ + 1;
        EXPECT_TRUE(waitFor([&] { return owner_.done.size() >= want; }, std::chrono::seconds(20)));
        if (owner_.done.size() < want) return {0, 0xFFFFFFFF};
        return owner_.done[taken_++];
    }
    // A message larger than what the kernel buffers for a peer that stops reading.
    int BigMessage() {
        std::string text = "Subject: big\r\n\r\n";
        std::string line(998, 'a');
        line += "\r\n";
        while (text.size() < 16 * 1024 * 1024) text += line;
        return Message("big", text + ".\r\n");
    }
    void Connect() {
        ASSERT_EQ(
            owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
            0u);
        ASSERT_EQ(Next(), std::make_pair(WM_SMTP_READY, 0u));
        ASSERT_EQ(owner_.client.state(), 7);
    }

    FakeSmtpServer server_;
    ClientOwner<CSmtp, WM_SMTP_LOOKUP> owner_;
    std::vector<int> fds_;
    size_t taken_ = 0;
};

TEST_F(SmtpTest, TwoMessagesInOneSession) {
    server_.splitReplies = true;  // every reply arrives in two pieces
    server_.replies["HELO"] = "250-fake.test greets you\r\n250 HELP\r\n";
    Connect();
    const std::string first = "Subject: one\r\n\r\nfirst\r\n.\r\n";
    const std::string second = "Subject: two\r\n\r\nsecond\r\n.\r\n";
    ASSERT_EQ(owner_.client.SendMail("a@x.test", Message("m1", first)), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, 0u));
    ASSERT_EQ(owner_.client.SendMail("b@x.test", Message("m2", second)), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, 0u));
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_ENDED, 0u));
    EXPECT_EQ(server_.commands,
              (std::vector<std::string>{"HELO client.test", "RSET", "MAIL FROM: <me@example.org>",
                                        "RCPT TO: <a@x.test>", "DATA", "RSET",
                                        "MAIL FROM: <me@example.org>", "RCPT TO: <b@x.test>",
                                        "DATA", "RSET", "MAIL FROM: <me@example.org>", "QUIT"}));
    EXPECT_EQ(server_.messages, (std::vector<std::string>{first, second}))
        << "the text goes as the file holds it";
    EXPECT_EQ(owner_.client.state(), 0);
}

TEST_F(SmtpTest, RepliesOneByteAtATimeGiveTheSameBytesOnTheWire) {
    server_.pace = ScriptedLineServer::Pace::OneByte;
    server_.replies["HELO"] = "250-fake.test greets you\r\n250-SIZE 1000\r\n250 HELP\r\n";
    Connect();
    const std::string text = "Subject: one\r\n\r\n..dotted\r\n.\r\n";
    ASSERT_EQ(owner_.client.SendMail("a@x.test", Message("m1", text)), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, 0u));
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_ENDED, 0u));
    ASSERT_EQ(server_.received.size(), 1u);
    EXPECT_EQ(server_.received[0],
              "HELO client.test\r\nRSET\r\nMAIL FROM: <me@example.org>\r\nRCPT TO: "
              "<a@x.test>\r\nDATA\r\n" +
                  text + "RSET\r\nMAIL FROM: <me@example.org>\r\nQUIT\r\n");
    EXPECT_EQ(owner_.done.size(), taken_);
}

TEST_F(SmtpTest, ARecipientTooLongForOneCommandLineIsNeverSentInPart) {
    Connect();
    std::string longName(1100, 'a');
    EXPECT_EQ(owner_.client.SendMail(longName + "@x.test", Message("m", "x\r\n.\r\n")),
              kSmtpSendFailed);
    EXPECT_EQ(owner_.client.state(), 0);
    ASSERT_TRUE(waitFor([&] { return server_.commands.size() >= 3; }));
    EXPECT_EQ(server_.commands.back(), "MAIL FROM: <me@example.org>") << "no part of it went";
}

TEST_F(SmtpTest, QuitWithoutASessionEndsAtOnce) {
    owner_.client.Quit();
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_ENDED, 0u));
    EXPECT_EQ(server_.connections, 0);
}

TEST_F(SmtpTest, RefusalsOfRecipientsAndMessagesKeepTheSession) {
    server_.refusedRecipients.insert("<nobody@x.test>");
    Connect();
    ASSERT_EQ(owner_.client.SendMail("nobody@x.test", Message("m", "x\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpBadRecipient));
    EXPECT_EQ(owner_.client.ErrorText(kSmtpBadRecipient), "The e-mail receipent name is invalid.");
    EXPECT_EQ(owner_.client.state(), 7);

    server_.accepted = "554 rejected as spam\r\n";
    ASSERT_EQ(owner_.client.SendMail("a@x.test", Message("m2", "spam\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNotSendable));
    EXPECT_EQ(owner_.client.state(), 7);

    server_.replies["DATA"] = "250 not what you wanted\r\n";
    ASSERT_EQ(owner_.client.SendMail("a@x.test", Message("m3", "x\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNotSendable));
    EXPECT_EQ(owner_.client.ErrorText(kSmtpNotSendable), "An e-mail message is not sendable.");
    EXPECT_EQ(owner_.client.SendMail("a@x.test", -1), 0u);
    EXPECT_EQ(owner_.client.SendMail("b@x.test", -1), kSmtpBusy) << "one operation at a time";
}

TEST_F(SmtpTest, ARefusedDataOrTextStartsTheNextMessageWithAFreshTransaction) {
    // The server keeps a transaction's recipients until RSET or MAIL FROM: without them
    // the next message would also go to the refused one's recipient, or find no sender.
    Connect();
    server_.replies["DATA"] = "451 4.3.0 try DATA later\r\n";
    ASSERT_EQ(owner_.client.SendMail("d@x.test", Message("m1", "one\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNotSendable));
    EXPECT_EQ(owner_.client.replyCode(), 451) << "the refusal's words, not the RSET's";
    EXPECT_EQ(owner_.client.replyText(), "4.3.0 try DATA later");

    server_.replies["DATA"] = "354 go ahead\r\n";
    server_.accepted = "552 5.3.4 text refused\r\n";
    ASSERT_EQ(owner_.client.SendMail("t@x.test", Message("m2", "two\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNotSendable));
    EXPECT_EQ(owner_.client.replyCode(), 552);
    EXPECT_EQ(owner_.client.state(), 7);

    server_.accepted = "250 queued\r\n";
    ASSERT_EQ(owner_.client.SendMail("ok@x.test", Message("m3", "three\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, 0u));
    EXPECT_EQ(server_.commands,
              (std::vector<std::string>{
                  "HELO client.test", "RSET", "MAIL FROM: <me@example.org>", "RCPT TO: <d@x.test>",
                  "DATA", "RSET", "MAIL FROM: <me@example.org>", "RCPT TO: <t@x.test>", "DATA",
                  "RSET", "MAIL FROM: <me@example.org>", "RCPT TO: <ok@x.test>", "DATA", "RSET",
                  "MAIL FROM: <me@example.org>"}));
}

TEST_F(SmtpTest, ARefusalStaysTheOutcomeThoughTheServerHangsUpBehindIt) {
    // What the caller must hear of is the message's refusal (it decides where the file
    // goes), not the hang-up that came after it.
    Connect();
    server_.replies["DATA"] = "554 5.7.1 data refused, closing\r\n";
    server_.closeAfter.insert("DATA");
    ASSERT_EQ(owner_.client.SendMail("d@x.test", Message("m1", "one\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNotSendable));
    EXPECT_EQ(owner_.client.replyCode(), 554);
    EXPECT_EQ(owner_.client.replyText(), "5.7.1 data refused, closing");
    EXPECT_EQ(owner_.client.state(), 0);
}

TEST_F(SmtpTest, RefusedGreetingsAndSendersEndTheSession) {
    server_.greeting = "554 go away\r\n";
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpRefused));
    EXPECT_EQ(owner_.client.ErrorText(kSmtpRefused),
              "The SMTP mail server 127.0.0.1 said:  go away");
    EXPECT_EQ(owner_.client.state(), 0);

    server_.greeting = "220 ok\r\n";
    server_.replies["MAIL"] = "553 who are you\r\n";
    ASSERT_EQ(owner_.client.Connect("bad", "client.test", "127.0.0.1", server_.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpBadSender));
    EXPECT_EQ(owner_.client.state(), 0);
    EXPECT_EQ(owner_.client.SendMail("a@x.test", -1), kSmtpSendFailed);
}

TEST_F(SmtpTest, ALargeMessageGoesOutInPiecesWithOneCompletion) {
    Connect();
    std::string text = "Subject: big\r\n\r\n";
    while (text.size() < 4 * 1024 * 1024) text += "a line of the message text\r\n";
    text += ".\r\n";
    ASSERT_EQ(owner_.client.SendMail("a@x.test", Message("big", text)), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, 0u));
    ASSERT_EQ(server_.messages.size(), 1u);
    EXPECT_TRUE(server_.messages[0] == text);
    ASSERT_TRUE(DrainMessages());
    EXPECT_FALSE(owner_.HasTimer(kSmtpTimer));
    EXPECT_EQ(owner_.done.size(), taken_);
}

TEST_F(SmtpTest, SilenceIsReportedOnceAndHangUpsAtOnce) {
    Root().SetDword(kTimeoutSmtp, 100);
    server_.replies["HELO"] = "";  // never answered
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNoResponse));
    EXPECT_EQ(server_.connections, 1);
    EXPECT_EQ(owner_.client.ErrorText(kSmtpNoResponse),
              "The SMTP Mail server 127.0.0.1 did not respond to our command, please try again "
              "later.");

    server_.replies["HELO"] = "250 ok\r\n";
    server_.closeAfterGreeting = true;
    Root().SetDword(kTimeoutSmtp, 60000);
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next().second, kSmtpNoResponse) << "a hang-up ends the session without the wait";
}

TEST_F(SmtpTest, LineBreaksNeverReachACommand) {
    Connect();
    ASSERT_EQ(
        owner_.client.SendMail("a@x.test>\r\nRCPT TO: <evil@x.test", Message("m", "x\r\n.\r\n")),
        0u);
    Next();
    EXPECT_EQ(server_.commands[3], "RCPT TO: <a@x.test>RCPT TO: <evil@x.test>");
}

TEST_F(SmtpTest, AnAnswerInTheMiddleOfTheTextEndsTheSession) {
    // A size refusal while the text still goes out, and the server reads no more.
    server_.answerInData = "552 5.3.4 message too big\r\n";
    server_.stopReadingInData = true;
    Connect();
    ASSERT_EQ(owner_.client.SendMail("a@x.test", BigMessage()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNotSendable));
    EXPECT_EQ(owner_.client.replyCode(), 552);
    EXPECT_EQ(owner_.client.replyText(), "5.3.4 message too big");
    EXPECT_EQ(owner_.client.state(), 0) << "the rest of the text must not reach the server";
}

TEST_F(SmtpTest, AByteInTheMiddleOfTheTextLeavesTheReplyTimeOutRunning) {
    Root().SetDword(kTimeoutSmtp, 200);
    server_.answerInData = "4";  // never a whole reply
    server_.stopReadingInData = true;
    Connect();
    ASSERT_EQ(owner_.client.SendMail("a@x.test", BigMessage()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNoResponse));
    EXPECT_EQ(owner_.client.state(), 0);
}

TEST_F(SmtpTest, WhatTheServerSaysWhileTheTextGoesOutIsBounded) {
    // Endless bytes without a line end; the time-out is far away, so only the bound on the
    // reply buffer can end this.
    server_.floodInData = true;
    server_.stopReadingInData = true;
    Connect();
    ASSERT_EQ(owner_.client.SendMail("a@x.test", BigMessage()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpRefused));
    EXPECT_EQ(owner_.client.state(), 0);
    EXPECT_LE(owner_.client.replyText().size(), 1024u);
}

TEST_F(SmtpTest, TheAcceptanceIsToldBeforeTheSessionGoesOn) {
    int accepted = 0;
    std::vector<std::string> seenByThen;
    QObject::connect(&owner_.client, &CSmtp::MessageAccepted, [&] {
        ++accepted;
        seenByThen = server_.commands;
    });
    Connect();
    server_.dropAfterAccepting = true;
    ASSERT_EQ(owner_.client.SendMail("a@x.test", Message("m", "x\r\n.\r\n")), 0u);
    auto [message, code] = Next();
    EXPECT_EQ(message, WM_SMTP_SENT);
    EXPECT_NE(code, 0u) << "the session broke";
    ASSERT_EQ(accepted, 1);
    ASSERT_FALSE(seenByThen.empty());
    EXPECT_EQ(seenByThen.back(), "DATA") << "told before RSET went out";

    // A refused text is no acceptance.
    server_.dropAfterAccepting = false;
    server_.accepted = "554 no\r\n";
    Connect();
    ASSERT_EQ(owner_.client.SendMail("a@x.test", Message("m2", "x\r\n.\r\n")), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, kSmtpNotSendable));
    EXPECT_EQ(owner_.client.replyCode(), 554);
    EXPECT_EQ(accepted, 1);
}

// The bounds every client shares: a connect that is never answered and a response that
// never ends, for mail sessions and web requests alike.
class RequestBoundsTest : public SmtpTest {
protected:
    void SetUp() override {
        SmtpTest::SetUp();
        resolver_ = std::make_shared<FakeResolver>();
        resolver_->addresses["mail.test"] = {"127.0.0.1"};
        resolver_->addresses["web.test"] = {"127.0.0.1"};
        Resolver::Install(resolver_);
        fd_ = ::open(Path("response").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    }
    void TearDown() override {
        ::close(fd_);
        Resolver::Install(nullptr);
        SmtpTest::TearDown();
    }
    std::pair<UINT, uint32_t> WebResult() {
        EXPECT_TRUE(waitFor([&] { return !web_.done.empty(); }, std::chrono::seconds(20)));
        return web_.done.empty() ? std::make_pair(0u, 0xFFFFFFFFu) : web_.done[0];
    }

    std::shared_ptr<FakeResolver> resolver_;
    HttpOwner web_;
    int fd_ = -1;
};

TEST_F(RequestBoundsTest, TheConnectionTimeOutBoundsAConnectThatIsNeverAnswered) {
    UnansweredPort port;
    ASSERT_TRUE(port.Full());
    Root().SetDword(kTimeoutConnection, 100);
    Root().SetDword(kConnectionAttempts, 1);
    // After a name lookup...
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "mail.test", port.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNoResponse));
    EXPECT_EQ(resolver_->asked.size(), 2u) << "two attempts";
    // ...and for the web, also without one.
    ASSERT_EQ(web_.client.Get("http://127.0.0.1:" + std::to_string(port.port()) + "/", fd_), 0u);
    EXPECT_EQ(WebResult(), std::make_pair(WM_HTTP_GET_DONE, kHttpNoResponse));
}

TEST_F(RequestBoundsTest, AResponseDrippedByteByByteMeetsTheOverallLimit) {
    // A greeting that never ends its line, and a web page that never ends, one byte at a
    // time: the reply time-out never fires.
    ScriptedServer mail, web;
    ScriptedServer::Reply greeting;
    greeting.until.clear();
    greeting.chunks = {"220-"};
    greeting.endless = 1;
    mail.replies.push_back(greeting);
    ScriptedServer::Reply page;
    page.chunks = {"HTTP/1.0 200 OK\r\n\r\n"};
    page.endless = 1;
    web.replies.push_back(page);

    owner_.client.SetRequestTimeLimit(std::chrono::milliseconds(300));
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "mail.test", mail.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNoResponse));
    EXPECT_GT(mail.bytesSent, 4u) << "the server was still sending";

    web_.client.SetRequestTimeLimit(std::chrono::milliseconds(300));
    ASSERT_EQ(web_.client.Get("http://web.test:" + std::to_string(web.port()) + "/", fd_), 0u);
    EXPECT_EQ(WebResult(), std::make_pair(WM_HTTP_GET_DONE, kHttpNoResponse));
    EXPECT_EQ(ReadFileBytes(Path("response")).rfind("HTTP/1.0 200 OK\r\n\r\nx", 0), 0u);

    // Without a test's limit, the settings' value in seconds is the one.
    owner_.client.SetRequestTimeLimit(std::chrono::milliseconds(0));
    Root().SetDword(kRequestTimeLimit, 1);
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "mail.test", mail.port()), 0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNoResponse));
}

}  // namespace

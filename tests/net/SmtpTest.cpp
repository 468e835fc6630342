#include <fcntl.h>
#include <unistd.h>

#include <fstream>

#include "app/SettingsStore.h"
#include "fakes/ClientOwner.h"
#include "fakes/FakeKeyring.h"
#include "fakes/FakeResolver.h"
#include "fakes/FakeSmtpServer.h"
#include "fakes/HttpOwner.h"
#include "fakes/ScriptedServer.h"
#include "fakes/SecureSmtpServer.h"
#include "fakes/TestCa.h"
#include "fixtures/Fixtures.h"
#include "fixtures/ManualTimerSource.h"
#include "net/Smtp.h"
#include "settings/Passwords.h"

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

// ---------------------------------------------------------------------------------------
// Secured sessions and logins, first against scripted servers that speak no TLS.

// Answers EHLO with STARTTLS and STARTTLS with a go-ahead that carries a plain-text reply
// behind it, then answers whatever comes next (the client's handshake) with plain text
// again, as a server or a man in the middle that never turns secure would.
class PlainAfterStartTlsServer : public QObject {
public:
    bool answerHandshake = true;  // off: silence once the go-ahead is out
    std::string received;

    PlainAfterStartTlsServer() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                s->write("220 plain.test ready\r\n");
                QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { Read(s); });
            }
        });
    }
    int port() const { return server_.serverPort(); }

private:
    void Read(QTcpSocket* s) {
        QByteArray got = s->readAll();
        received.append(got.constData(), static_cast<size_t>(got.size()));
        if (afterGoAhead_) {
            if (answerHandshake) s->write("250 this is no handshake\r\n");
            return;
        }
        if (received.find("STARTTLS\r\n") != std::string::npos) {
            afterGoAhead_ = true;
            s->write("220 go ahead\r\n250 AUTH PLAIN\r\n");
        } else if (received.find("EHLO") != std::string::npos &&
                   received.find("\r\n") != std::string::npos) {
            s->write("250-plain.test\r\n250-STARTTLS\r\n250 AUTH PLAIN LOGIN\r\n");
        }
    }
    QTcpServer server_;
    bool afterGoAhead_ = false;
};

// Exposes the port a session was opened on.
class PortOfSmtp : public CSmtp {
public:
    using CSmtp::port;
};

TEST_F(SmtpTest, ARequiredStartTlsThatIsNotOfferedEndsTheSessionBeforeAnythingElseGoes) {
    Root().SetDword(kSmtpSecurity, kSmtpStartTls);
    // "STARTTLS" in the greeting line of the reply is the server's name, no capability.
    server_.replies["EHLO"] =
        "250-STARTTLS.fake.test greets you\r\n250-SIZE 1000\r\n"
        "250 AUTH PLAIN LOGIN\r\n";
    server_.pace = ScriptedLineServer::Pace::OneByte;
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNotSecurable));
    EXPECT_EQ(owner_.client.ErrorText(kSmtpNotSecurable),
              "The SMTP mail server 127.0.0.1 does not offer a secure connection (STARTTLS); no "
              "mail was sent.");
    EXPECT_EQ(server_.commands, (std::vector<std::string>{"EHLO client.test"}));
    EXPECT_EQ(owner_.client.state(), 0);

    // A user name alone asks for the same: its password never goes in the clear.
    Root().SetDword(kSmtpSecurity, kSmtpPlain);
    Root().SetString(kSmtpUserName, "mailer");
    Root().SetString(kSmtpPassword, "pw-never-in-clear");
    server_.pace = ScriptedLineServer::Pace::Whole;
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNotSecurable));
    ASSERT_EQ(server_.received.size(), 2u);
    EXPECT_EQ(server_.received[1], "EHLO client.test\r\n");
    EXPECT_EQ(owner_.client.ErrorText(kSmtpNotSecurable).find("pw-never"), std::string::npos);
}

TEST_F(SmtpTest, TheStartTlsOfAMultiLineCapabilityReplyIsUsedAndARefusalOfItReported) {
    Root().SetDword(kSmtpSecurity, kSmtpStartTls);
    server_.replies["EHLO"] = "250-fake.test\r\n250-8BITMIME\r\n250-starttls\r\n250 HELP\r\n";
    server_.replies["STARTTLS"] = "454 4.7.0 TLS not available now\r\n";
    server_.pace = ScriptedLineServer::Pace::OneByte;  // the reply comes a byte at a time
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpRefused));
    EXPECT_EQ(owner_.client.ErrorText(kSmtpRefused),
              "The SMTP mail server 127.0.0.1 said:  4.7.0 TLS not available now");
    EXPECT_EQ(server_.commands, (std::vector<std::string>{"EHLO client.test", "STARTTLS"}));
}

TEST_F(SmtpTest, EveryNewWaitOfASecuredSessionIsBounded) {
    Root().SetDword(kSmtpSecurity, kSmtpStartTls);
    Root().SetDword(kTimeoutSmtp, 150);
    Root().SetDword(kTimeoutConnection, 150);
    // Silence after STARTTLS.
    server_.replies["EHLO"] = "250-fake.test\r\n250 STARTTLS\r\n";
    server_.replies["STARTTLS"] = "";
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNoResponse));

    // Silence in the handshake after the go-ahead.
    PlainAfterStartTlsServer quiet;
    quiet.answerHandshake = false;
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", quiet.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNoResponse));
    EXPECT_EQ(owner_.client.state(), 0);

    // A capability list without end: the bound on a reply ends it, not the time-out.
    Root().SetDword(kTimeoutSmtp, 60000);
    std::string endless = "250-fake.test\r\n";
    while (endless.size() < 2 * kSmtpMaxReply) endless += "250-X-CAPABILITY-OF-NO-USE\r\n";
    server_.replies["EHLO"] = endless + "250 STARTTLS\r\n";
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpRefused));
    EXPECT_LE(owner_.client.replyText().size(), 1024u);
    EXPECT_EQ(server_.commands.back(), "EHLO client.test") << "no STARTTLS from half a reply";
}

TEST_F(SmtpTest, PlainTextAfterTheGoAheadFailsTheHandshakeWithItsReason) {
    Root().SetDword(kSmtpSecurity, kSmtpStartTls);
    Root().SetString(kSmtpUserName, "mailer");
    Root().SetString(kSmtpPassword, "pw-never-in-clear");
    PlainAfterStartTlsServer server;
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server.port()),
              0u);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpTlsFailed));
    std::string text = owner_.client.ErrorText(kSmtpTlsFailed);
    const std::string head = "The secure connection to 127.0.0.1 could not be made: ";
    EXPECT_EQ(text.rfind(head, 0), 0u) << text;
    EXPECT_GT(text.size(), head.size() + 1) << "OpenSSL's reason follows";
    EXPECT_EQ(text.back(), '.');
    // The reply that came behind the go-ahead was not taken for one: nothing followed it
    // in the clear.
    EXPECT_EQ(server.received.find("AUTH"), std::string::npos);
    EXPECT_EQ(server.received.find("pw-never"), std::string::npos);
    EXPECT_EQ(server.received.rfind("EHLO client.test\r\nSTARTTLS\r\n", 0), 0u);
}

TEST_F(SmtpTest, TlsFromTheFirstByteUsesPort465WhenNoneIsGiven) {
    Root().SetDword(kSmtpSecurity, kSmtpImplicitTls);
    Root().SetDword(kConnectionAttempts, 0);
    ClientOwner<PortOfSmtp, WM_SMTP_LOOKUP> owner;
    owner.client.Connect("me@example.org", "client.test", "127.0.0.1");
    EXPECT_EQ(owner.client.port(), 465);
    owner.client.Abort();
    Root().SetDword(kSmtpSecurity, kSmtpPlain);
    owner.client.Connect("me@example.org", "client.test", "127.0.0.1");
    EXPECT_EQ(owner.client.port(), 0) << "the plain default stays 25";
    owner.client.Abort();
}

TEST_F(SmtpTest, APasswordTheKeyringDoesNotGiveIsAClearErrorAndNoSession) {
    InstalledKeyring keyring;
    Root().SetString(kSmtpUserName, "mailer");
    Root().SetValue(kSmtpPassword, REG_BINARY, MakeSecretMarker("id " + store_->Path()));
    keyring->answer = {secrets::Outcome::kNoAnswer,
                       "the desktop keyring did not answer within 5000 ms"};
    EXPECT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              kSmtpNotSecurable);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNotSecurable));
    EXPECT_EQ(owner_.client.ErrorText(kSmtpNotSecurable),
              "The password SmtpPassword is kept in the desktop keyring, but the desktop keyring "
              "did not answer within 5000 ms. No mail was sent.");
    EXPECT_EQ(server_.connections, 0);

    // Without a user name no login is given, and the keyring is not needed.
    Root().DeleteValue(kSmtpUserName);
    Connect();
}

TEST_F(SmtpTest, AUserNameOrPasswordTooLongForALoginIsAClearErrorAtOnce) {
    Root().SetString(kSmtpUserName, "mailer");
    Root().SetString(kSmtpPassword, std::string(kSmtpMaxCredential + 1, 'p'));
    EXPECT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              kSmtpNotSecurable);
    EXPECT_EQ(Next(), std::make_pair(WM_SMTP_READY, kSmtpNotSecurable));
    EXPECT_EQ(owner_.client.ErrorText(kSmtpNotSecurable),
              "The SMTP user name or password is longer than 255 bytes; no mail was sent.");
    EXPECT_EQ(server_.connections, 0);
}

// Against aiosmtpd with TLS and a login.
class SecureSmtpTest : public SmtpTest {
protected:
    void SetUp() override {
        SmtpTest::SetUp();
        ca_ = std::make_unique<TestCa>(Path(""));
        ASSERT_TRUE(ca_->ok()) << ca_->error();
        issued_ = ca_->Issue("mail", {"IP:127.0.0.1", "DNS:localhost"});
        ASSERT_TRUE(ca_->ok()) << ca_->error();
        Root().SetString(kTlsCaFile, ca_->caFile());
        Root().SetString(kSmtpUserName, "mailer");
        Root().SetString(kSmtpPassword, "s3cret pass");
    }
    void TearDown() override {
        server_.reset();
        SmtpTest::TearDown();
    }
    void Start(SecureSmtpServer::Mode mode,
               std::vector<std::string> mechanisms = {"PLAIN", "LOGIN"}) {
        SecureSmtpServer::Options o;
        o.mode = mode;
        o.cert = issued_.cert;
        o.key = issued_.key;
        o.mechanisms = std::move(mechanisms);
        server_ = std::make_unique<SecureSmtpServer>(Path(""), o);
        ASSERT_NE(server_->port(), 0) << server_->error();
        Root().SetDword(kSmtpSecurity,
                        mode == SecureSmtpServer::StartTls ? kSmtpStartTls : kSmtpImplicitTls);
    }
    // A whole session: one message, then QUIT; the outcome of Connect.
    uint32_t SendOne(const std::string& text) {
        EXPECT_EQ(
            owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", server_->port()),
            0u);
        auto ready = Next();
        if (ready.second != 0) return ready.second;
        EXPECT_EQ(owner_.client.SendMail("you@x.test", Message("m", text)), 0u);
        EXPECT_EQ(Next(), std::make_pair(WM_SMTP_SENT, 0u)) << owner_.client.replyText();
        owner_.client.Quit();
        EXPECT_EQ(Next(), std::make_pair(WM_SMTP_ENDED, 0u));
        return 0;
    }

    std::unique_ptr<TestCa> ca_;
    TestCa::Issued issued_;
    std::unique_ptr<SecureSmtpServer> server_;
};

TEST_F(SecureSmtpTest, StartTlsAndAPlainLoginDeliverTheMessage) {
    Start(SecureSmtpServer::StartTls);
    ASSERT_EQ(SendOne("Subject: secure\r\n\r\nover TLS\r\n.\r\n"), 0u);
    auto messages = server_->Messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("over TLS"), std::string::npos);
    EXPECT_EQ(server_->Logins(), "PLAIN ok\n") << "PLAIN is preferred";
}

TEST_F(SecureSmtpTest, TlsFromTheFirstByteWithALoginLogin) {
    Start(SecureSmtpServer::Implicit, {"LOGIN"});
    ASSERT_EQ(SendOne("Subject: smtps\r\n\r\nfrom the first byte\r\n.\r\n"), 0u);
    ASSERT_EQ(server_->Messages().size(), 1u);
    EXPECT_EQ(server_->Logins(), "LOGIN ok\n");
}

TEST_F(SecureSmtpTest, APasswordKeptInTheKeyringLogsIn) {
    InstalledKeyring keyring;
    RegKey root = Root();
    std::string problem;
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "s3cret pass", &problem)) << problem;
    ASSERT_EQ(ReadString(root, kSmtpPassword), "") << "the store holds only the marker";
    Start(SecureSmtpServer::StartTls);
    ASSERT_EQ(SendOne("Subject: keyring\r\n\r\nlogged in\r\n.\r\n"), 0u);
    EXPECT_EQ(server_->Logins(), "PLAIN ok\n");
}

TEST_F(SecureSmtpTest, AWrongPasswordIsRefusedAndNamedWithoutThePassword) {
    Start(SecureSmtpServer::StartTls);
    Root().SetString(kSmtpPassword, "wrong-password-42");
    EXPECT_EQ(SendOne("Subject: x\r\n\r\nx\r\n.\r\n"), kSmtpLoginRefused);
    EXPECT_EQ(owner_.client.ErrorText(kSmtpLoginRefused),
              "The SMTP mail server 127.0.0.1 refused the user name or password.");
    EXPECT_EQ(owner_.client.replyCode(), 535);
    EXPECT_EQ(owner_.client.replyText().find("wrong-password"), std::string::npos);
    EXPECT_EQ(server_->Logins(), "PLAIN refused\n");
    EXPECT_TRUE(server_->Messages().empty());
    EXPECT_EQ(owner_.client.state(), 0);

    // The same through LOGIN's two prompts.
    server_.reset();
    Start(SecureSmtpServer::Implicit, {"LOGIN"});
    EXPECT_EQ(SendOne("Subject: x\r\n\r\nx\r\n.\r\n"), kSmtpLoginRefused);
    EXPECT_EQ(server_->Logins(), "LOGIN refused\n");
}

TEST_F(SecureSmtpTest, NoLoginOnOfferIsAClearError) {
    Start(SecureSmtpServer::StartTls, {});
    EXPECT_EQ(SendOne("Subject: x\r\n\r\nx\r\n.\r\n"), kSmtpNotSecurable);
    EXPECT_EQ(owner_.client.ErrorText(kSmtpNotSecurable),
              "The SMTP mail server 127.0.0.1 does not offer a login this program can use (AUTH "
              "PLAIN or LOGIN); no mail was sent.");
    EXPECT_TRUE(server_->Messages().empty());
}

TEST_F(SecureSmtpTest, WhatCameInTheClearWithTheGoAheadIsNoReplyOverTls) {
    // The go-ahead carries a forged capability reply behind it; over TLS the server offers
    // only LOGIN. The forged PLAIN must not be what the client acts on.
    static const char* kScript = R"PY(
import socket, ssl, sys
ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
ctx.load_cert_chain(sys.argv[1], sys.argv[2])
ls = socket.socket()
ls.bind(("127.0.0.1", 0))
ls.listen(1)
ls.settimeout(20)
print(ls.getsockname()[1], flush=True)
c, _ = ls.accept()
c.settimeout(20)
def line(s):
    out = b""
    while not out.endswith(b"\n"):
        b = s.recv(1)
        if not b: break
        out += b
    return out
c.sendall(b"220 inject.test\r\n")
line(c)
c.sendall(b"250-inject.test\r\n250 STARTTLS\r\n")
line(c)
c.sendall(b"220 go ahead\r\n250-forged\r\n250 AUTH PLAIN\r\n")
s = ctx.wrap_socket(c, server_side=True)
line(s)
s.sendall(b"250-inject.test\r\n250 AUTH LOGIN\r\n")
print(line(s).decode().strip(), flush=True)
)PY";
    Root().SetDword(kSmtpSecurity, kSmtpStartTls);
    Root().SetDword(kTimeoutSmtp, 2000);
    QProcess python;
    python.start("/usr/bin/python3", {"-c", kScript, QString::fromStdString(issued_.cert),
                                      QString::fromStdString(issued_.key)});
    // Python writes a printed line and its line end apart: wait for whole lines.
    auto wholeLine = [&] {
        return waitFor(
            [&] {
                if (!python.canReadLine()) python.waitForReadyRead(10);
                return python.canReadLine();
            },
            std::chrono::seconds(20));
    };
    ASSERT_TRUE(wholeLine());
    int port = python.readLine().trimmed().toInt();
    ASSERT_NE(port, 0);
    ASSERT_EQ(owner_.client.Connect("me@example.org", "client.test", "127.0.0.1", port), 0u);
    auto [message, code] = Next();  // the server leaves after the first command over TLS
    ASSERT_TRUE(wholeLine());
    EXPECT_EQ(python.readLine().trimmed().toStdString(), "AUTH LOGIN")
        << python.readAllStandardError().toStdString() << message << " "
        << owner_.client.ErrorText(code);
    python.kill();
    python.waitForFinished(2000);
}

TEST_F(SecureSmtpTest, AnUntrustedCertificateFailsWithOpenSslsReason) {
    Root().DeleteValue(kTlsCaFile);
    for (auto mode : {SecureSmtpServer::StartTls, SecureSmtpServer::Implicit}) {
        server_.reset();
        Start(mode);
        EXPECT_EQ(SendOne("Subject: x\r\n\r\nx\r\n.\r\n"), kSmtpTlsFailed);
        std::string text = owner_.client.ErrorText(kSmtpTlsFailed);
        EXPECT_EQ(text.rfind("The secure connection to 127.0.0.1 could not be made: ", 0), 0u)
            << text;
        EXPECT_NE(text.find("unable to get local issuer certificate"), std::string::npos) << text;
        EXPECT_TRUE(server_->Logins().empty());
        EXPECT_TRUE(server_->Messages().empty());
    }
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

namespace {

// A stored time-out of 0 is the client's own default, for the connect and for the replies:
// taken as it stands it would end every connect and reply the moment it began.
TEST_F(SmtpTest, AStoredTimeOutOfZeroMeansTheClientsDefault) {
    Root().SetDword(kTimeoutConnection, 0);
    Root().SetDword(kTimeoutSmtp, 0);
    ManualTimerSource timers;  // before the window it drives
    ClientOwner<CSmtp, WM_SMTP_LOOKUP> owner;
    ASSERT_EQ(owner.client.Connect("me@example.org", "client.test", "127.0.0.1", server_.port()),
              0u);
    ASSERT_EQ(timers.Pending().size(), 1u);
    EXPECT_EQ(timers.Pending()[0].dueIn, CConnection::kDefaultConnectTimeout);
    EXPECT_EQ(timers.Advance(1), 0) << "the connect was given up at once";
    ASSERT_TRUE(waitFor([&] { return !owner.done.empty(); }));
    EXPECT_EQ(owner.done[0], std::make_pair(WM_SMTP_READY, 0u));
    EXPECT_EQ(owner.client.replyTimeout(), 60000u);
    // The wait for the next reply is the same default.
    ASSERT_EQ(owner.client.SendMail("a@x.test", Message("m1", "Subject: s\r\n\r\nx\r\n.\r\n")), 0u);
    ASSERT_FALSE(timers.Pending().empty());
    EXPECT_EQ(timers.Pending()[0].dueIn, 60000);
    EXPECT_EQ(timers.Advance(1), 0);
    ASSERT_TRUE(waitFor([&] { return owner.done.size() >= 2; }));
    EXPECT_EQ(owner.done[1], std::make_pair(WM_SMTP_SENT, 0u));
}

}  // namespace

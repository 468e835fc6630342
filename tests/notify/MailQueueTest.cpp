#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/ActivityLog.h"
#include "app/Application.h"
#include "app/SettingsStore.h"
#include "fakes/ClientOwner.h"
#include "fakes/FakeSmtpServer.h"
#include "fakes/SecureSmtpServer.h"
#include "fakes/TestCa.h"
#include "fixtures/Fixtures.h"
#include "fixtures/MailReader.h"
#include "net/Mime.h"
#include "notify/MailQueue.h"
#include "platform/SystemClock.h"

namespace {

using namespace settings;
namespace fs = std::filesystem;

class MailQueueTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        app_ = std::make_unique<CApplication>(nullptr);
        sender_ = std::make_unique<CMailQueueSender>(app_->log());
        sender_->SetRunWindow(&run_);
        QObject::connect(sender_.get(), &CPanel::linesChanged, [this] {
            if (lines_.empty() || lines_.back() != sender_->line1())
                lines_.push_back(sender_->line1());
        });
        Root().SetString(kSmtpServer, "127.0.0.1");
        Root().SetString(kMyName, "me@example.org");
        Root().SetString(kHostName, "client.test");
    }
    void TearDown() override {
        sender_.reset();
        app_.reset();
        SandboxTest::TearDown();
    }
    uint32_t Send() {
        run_.done.clear();
        sender_->Start({});
        EXPECT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(20)));
        return run_.done.empty() ? 0xFFFFFFFF : run_.done[0];
    }
    std::vector<std::string> QueuedNames() {
        std::vector<std::string> names;
        if (!fs::exists("Forward")) return names;
        for (const auto& e : fs::directory_iterator("Forward"))
            if (!e.is_directory()) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> LogTexts() { return LogRecordTexts(); }
    // Queues one message per recipient under names that sort in the order given.
    void QueueInOrder(const std::vector<std::string>& recipients, const std::string& body = "x") {
        fs::create_directories("Forward");
        for (size_t i = 0; i < recipients.size(); ++i)
            std::ofstream("Forward/KV0~" + std::to_string(i + 1) + ".Fwd", std::ios::binary)
                << QueuedMailText(body, recipients[i], "s", "Me", 0);
    }
    std::vector<LogRecord> Records() {
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        return records;
    }
    void UseServer(const FakeSmtpServer& server) {
        Root().SetString(kSmtpServer, "127.0.0.1:" + std::to_string(server.port()));
    }

    std::unique_ptr<CApplication> app_;
    std::unique_ptr<CMailQueueSender> sender_;
    RunStub run_;
    std::vector<std::string> lines_;
};

TEST(QueuedMailTextTest, TheFileFormatLineByLine) {
    setenv("TZ", "UTC", 1);
    tzset();
    std::string text = QueuedMailText("line one\r\n.hidden\r\n..two dots\r\nlast", "you@x.test",
                                      "Results", "Site <me@x.test>", 1796672100);
    EXPECT_EQ(text,
              "X-Rcpt-To: you@x.test\r\n"
              "Date: Mon, 07 Dec 2026 19:35:00 UTC\r\n"
              "From: Site <me@x.test>\r\n"
              "To: you@x.test\r\n"
              "Subject: Results\r\n"
              "Content-Type: text/plain; charset=ISO-8859-1\r\n"
              "Content-Transfer-Encoding: 7bit\r\n"
              "\r\n"
              "line one\r\n..hidden\r\n...two dots\r\nlast"
              "\r\n\r\n.\r\n");
    EXPECT_EQ(QueuedMailText(".", "a", "s", "f", 0)
                  .substr(QueuedMailText(".", "a", "s", "f", 0).find("7bit\r\n\r\n") + 8),
              "..\r\n\r\n.\r\n");
}

TEST_F(MailQueueTest, QueueMailWritesCompleteFilesOnly) {
    EXPECT_FALSE(fs::exists("Forward"));
    ASSERT_TRUE(QueueMail(app_->log(), "body", "you@x.test", "Hello", "Me <me@x.test>"));
    auto names = QueuedNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(names[0].substr(0, 3), "KV0");
    EXPECT_EQ(names[0].substr(names[0].size() - 4), ".Fwd");
    struct stat st {};
    ASSERT_EQ(stat(("Forward/" + names[0]).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
    EXPECT_EQ(ReadFileBytes("Forward/" + names[0]).rfind("X-Rcpt-To: you@x.test\r\n", 0), 0u);

    // A writer that cannot make its file says so and the caller goes on.
    fs::remove_all("Forward");
    std::ofstream("Forward") << "a file in the way";
    EXPECT_FALSE(QueueMail(app_->log(), "body", "you@x.test", "Hello", "Me"));
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(LogTexts()[0].find("queueing mail"), std::string::npos);
}

// Keeps every record it is handed instead of writing a log file.
class RecordingLog : public ActivityLogWriter {
public:
    std::vector<std::pair<int, std::string>> records;
    void WriteLog(int icon, const std::string& text, int, const std::string&, bool) override {
        records.emplace_back(icon, text);
    }
};

TEST_F(MailQueueTest, QueueMailReportsToTheLogItIsHanded) {
    // Not to whatever log the application object holds: a monitor run by the headless
    // program or a test has its own.
    std::ofstream("Forward") << "a file in the way";
    RecordingLog log;
    EXPECT_FALSE(QueueMail(log, "body", "you@x.test", "Hello", "Me"));
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].first, kIconError);
    EXPECT_EQ(log.records[0].second.rfind("An error occured while queueing mail.   The error "
                                          "message was : Forward",
                                          0),
              0u)
        << log.records[0].second;
    EXPECT_TRUE(LogTexts().empty());
}

TEST_F(MailQueueTest, AnEmptyQueueFinishesWithoutConnecting) {
    FakeSmtpServer server;
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.connections, 0);
    fs::create_directory("Forward");
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.connections, 0);
}

TEST_F(MailQueueTest, WhatAKilledQueueingLeftBehindIsSweptOnceItIsOld) {
    FakeSmtpServer server;
    fs::create_directory("Forward");
    for (const char* name : {"KV0old.tmp", "KV0fresh.tmp", "other.tmp", "KV0old.Fwd.keep"})
        std::ofstream(std::string("Forward/") + name) << "X-Rcpt-To: a@b\r\n";
    const time_t old = time(nullptr) - 2 * 3600;
    for (const char* name : {"KV0old.tmp", "other.tmp", "KV0old.Fwd.keep"}) {
        timespec when[2] = {{old, 0}, {old, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (std::string("Forward/") + name).c_str(), when, 0), 0);
    }
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.connections, 0);
    // Only an old temporary file of the queue's own goes; one being written stays.
    EXPECT_EQ(QueuedNames(),
              (std::vector<std::string>{"KV0fresh.tmp", "KV0old.Fwd.keep", "other.tmp"}));
}

TEST_F(MailQueueTest, ThreeFilesGoInOneSessionAndAreDeletedOnAcceptance) {
    FakeSmtpServer server;
    UseServer(server);
    for (int i = 1; i <= 3; ++i)
        ASSERT_TRUE(QueueMail(app_->log(), "body " + std::to_string(i), "you@x.test",
                              "Subject " + std::to_string(i), "Me <me@x.test>"));
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.connections, 1);
    EXPECT_EQ(server.messages.size(), 3u);
    EXPECT_TRUE(QueuedNames().empty());
    EXPECT_EQ(sender_->title(),
              "Sending queued mail to 127.0.0.1:" + std::to_string(server.port()));
    std::vector<std::string> counted;
    for (const auto& l : lines_)
        if (l.rfind("Sending Message", 0) == 0 || l.rfind("Sent Message", 0) == 0)
            counted.push_back(l);
    EXPECT_EQ(counted, (std::vector<std::string>{"Sending Message 1", "Sent Message 1.",
                                                 "Sending Message 2", "Sent Message 2.",
                                                 "Sending Message 3", "Sent Message 3."}));
    EXPECT_EQ(sender_->line1(), "Done");
    EXPECT_TRUE(LogTexts().empty());
    // The server got the text as queued, the X-Rcpt-To line and all.
    EXPECT_EQ(server.messages[0].rfind("X-Rcpt-To: you@x.test\r\n", 0), 0u);
    EXPECT_EQ(server.commands[3], "RCPT TO: <you@x.test>");
}

TEST_F(MailQueueTest, ARefusalForGoodIsSetAsideAndTheRestGoes) {
    FakeSmtpServer server;
    UseServer(server);
    server.refusedRecipients.insert("<bad@x.test>");
    QueueInOrder({"a@x.test", "bad@x.test", "c@x.test"});
    std::string refusedText = ReadFileBytes("Forward/KV0~2.Fwd");
    // An earlier refusal under the same name is kept as it is.
    fs::create_directories("Forward/Failed");
    std::ofstream("Forward/Failed/KV0~2.Fwd") << "an older one";

    EXPECT_EQ(Send(), kSmtpBadRecipient);
    EXPECT_EQ(server.connections, 1);
    EXPECT_EQ(server.messages.size(), 2u) << "the one behind the refused one went too";
    EXPECT_TRUE(QueuedNames().empty());
    EXPECT_EQ(ReadFileBytes("Forward/Failed/KV0~2.Fwd"), "an older one");
    EXPECT_EQ(ReadFileBytes("Forward/Failed/KV0~2-1.Fwd"), refusedText);
    auto records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].icon, 155);
    EXPECT_EQ(LogTexts()[0],
              "An error occured while sending mail.   The error message was : The SMTP mail "
              "server 127.0.0.1 refused the mail to bad@x.test:  550 no such user  It was moved "
              "to Forward/Failed/KV0~2-1.Fwd.");
    EXPECT_EQ(sender_->line1(), "Done");

    // The next run has nothing left to send.
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.connections, 1);
}

TEST_F(MailQueueTest, ARefusalForNowKeepsTheFileAndTheRestGoes) {
    FakeSmtpServer server;
    UseServer(server);
    server.recipientReplies["<busy@x.test>"] = "450 4.2.1 mailbox busy\r\n";
    QueueInOrder({"busy@x.test", "b@x.test"});
    EXPECT_EQ(Send(), kSmtpBadRecipient);
    EXPECT_EQ(server.messages.size(), 1u);
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{"KV0~1.Fwd"});
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_EQ(LogTexts()[0],
              "An error occured while sending mail.   The error message was : The SMTP mail "
              "server 127.0.0.1 refused the mail to busy@x.test for now:  450 4.2.1 mailbox busy  "
              "It stays queued.");

    // Tried again next time, and sent once the server takes it.
    server.recipientReplies.clear();
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.messages.size(), 2u);
    EXPECT_TRUE(QueuedNames().empty());
}

TEST_F(MailQueueTest, ARefusedTextIsSetAsideWhenAndHoweverItIsRefused) {
    FakeSmtpServer server;
    UseServer(server);
    // Refused after the whole text: the session goes on with the next file.
    server.accepted = "554 5.7.1 rejected as spam\r\n";
    QueueInOrder({"a@x.test"});
    EXPECT_EQ(Send(), kSmtpNotSendable);
    EXPECT_TRUE(fs::exists("Forward/Failed/KV0~1.Fwd"));
    EXPECT_FALSE(fs::exists("Forward/KV0~1.Fwd"));
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(LogTexts()[0].find("554 5.7.1 rejected as spam"), std::string::npos);

    // Refused in the middle of a large text by a server that then reads no more: that
    // session cannot go on, but the message behind it goes in a new one; refused for now,
    // the large one stays queued for the next run instead of blocking the rest run after run.
    fs::remove_all("Forward");
    server.accepted = "250 queued\r\n";
    server.answerInData = "452 4.3.1 insufficient storage\r\n";
    server.stopReadingInData = true;
    server.misbehaveOnce = true;
    server.messages.clear();
    int sessions = server.connections;
    QueueInOrder({"big@x.test"}, std::string(16 * 1024 * 1024, 'b'));
    std::ofstream("Forward/KV0~2.Fwd", std::ios::binary)
        << QueuedMailText("small", "small@x.test", "s", "Me", 0);
    EXPECT_EQ(Send(), kSmtpNotSendable);
    EXPECT_EQ(server.connections, sessions + 2);
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{"KV0~1.Fwd"});
    ASSERT_EQ(server.messages.size(), 1u);
    EXPECT_NE(server.messages[0].find("X-Rcpt-To: small@x.test"), std::string::npos);
    ASSERT_EQ(LogTexts().size(), 2u);
    EXPECT_NE(LogTexts()[1].find("refused the mail to big@x.test for now:  452 4.3.1 "
                                 "insufficient storage"),
              std::string::npos)
        << LogTexts()[1];
    EXPECT_EQ(Send(), 0u);
    EXPECT_TRUE(QueuedNames().empty());
}

TEST_F(MailQueueTest, AnAcceptedMessageGoesOnceThoughTheServerHangsUpAfterwards) {
    FakeSmtpServer server;
    UseServer(server);
    server.dropAfterAccepting = true;
    QueueInOrder({"a@x.test", "b@x.test"});
    // Each message goes once; the one behind the broken session goes in a new one, and
    // hanging up after the last is no error.
    EXPECT_EQ(Send(), 0u);
    EXPECT_TRUE(QueuedNames().empty());
    EXPECT_EQ(server.connections, 2);
    ASSERT_EQ(server.messages.size(), 2u);
    EXPECT_NE(server.messages[0].find("X-Rcpt-To: a@x.test"), std::string::npos);
    EXPECT_NE(server.messages[1].find("X-Rcpt-To: b@x.test"), std::string::npos);
    EXPECT_TRUE(LogTexts().empty());
    EXPECT_EQ(sender_->line1(), "Done");
}

TEST_F(MailQueueTest, FilesWithoutRecipientOrThatCannotBeOpened) {
    FakeSmtpServer server;
    UseServer(server);
    fs::create_directory("Forward");
    std::ofstream("Forward/KV0~1.Fwd") << "Subject: nobody\r\n\r\nx\r\n.\r\n";
    fs::create_directory("Forward/KV0~2.Fwd");
    // A link is never followed: it could send any file this user can read.
    std::ofstream("secret") << QueuedMailText("secret", "thief@x.test", "s", "Me", 0);
    fs::create_symlink("../secret", "Forward/KV0~3.Fwd");
    ASSERT_TRUE(QueueMail(app_->log(), "ok", "you@x.test", "fine", "Me"));
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.messages.size(), 1u) << "only the good file is sent";
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{}) << "KV0~2.Fwd is a folder";
    EXPECT_TRUE(fs::is_directory("Forward/KV0~2.Fwd"))
        << "what cannot be opened waits for the next run";
    // The one without a recipient can never go, but it is never deleted unsent either.
    EXPECT_EQ(ReadFileBytes("Forward/Failed/KV0~1.Fwd"), "Subject: nobody\r\n\r\nx\r\n.\r\n");
    EXPECT_TRUE(fs::is_symlink("Forward/Failed/KV0~3.Fwd"));
    ASSERT_EQ(LogTexts().size(), 2u);
    EXPECT_NE(LogTexts()[0].find("KV0~1.Fwd names no recipient.  It was moved to "
                                 "Forward/Failed/KV0~1.Fwd."),
              std::string::npos)
        << LogTexts()[0];
    EXPECT_NE(LogTexts()[1].find("The queued message KV0~3.Fwd is a symbolic link: it is not "
                                 "sent.  It was moved to Forward/Failed/KV0~3.Fwd."),
              std::string::npos)
        << LogTexts()[1];
}

// The queue folder is ours alone: whoever else could write in it could have our mail
// server send what they put there, or have the queue written wherever a link leads.
TEST_F(MailQueueTest, AQueueFolderOthersCouldWriteIsNotUsed) {
    FakeSmtpServer server;
    UseServer(server);
    // Ours, opened to everyone: shut to them, and used.
    fs::create_directory("Forward");
    ASSERT_EQ(chmod("Forward", 0777), 0);
    ASSERT_TRUE(QueueMail(app_->log(), "ok", "you@x.test", "fine", "Me"));
    struct stat st {};
    ASSERT_EQ(stat("Forward", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0775u);
    EXPECT_EQ(QueuedNames().size(), 1u);

    // A link in its place: nothing written through it, nothing sent from it.
    fs::rename("Forward", "elsewhere");
    fs::create_directory_symlink("elsewhere", "Forward");
    EXPECT_FALSE(QueueMail(app_->log(), "body", "you@x.test", "Hello", "Me"));
    EXPECT_EQ(Send(), static_cast<uint32_t>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(server.connections, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator("elsewhere"), fs::directory_iterator()), 1);
    ASSERT_EQ(LogTexts().size(), 2u);
    EXPECT_NE(LogTexts()[0].find("Forward is a symbolic link: the message is not queued."),
              std::string::npos)
        << LogTexts()[0];
    EXPECT_NE(LogTexts()[1].find("Forward is a symbolic link: nothing in it is sent."),
              std::string::npos)
        << LogTexts()[1];

    if (geteuid() != 0) GTEST_SKIP() << "another user's files need root to make";
    fs::remove("Forward");
    fs::rename("elsewhere", "Forward");
    // Another user's message in our queue: never sent in our name, set aside.
    std::ofstream("Forward/KV0~0.Fwd") << QueuedMailText("spam", "victim@x.test", "s", "Me", 0);
    ASSERT_EQ(chown("Forward/KV0~0.Fwd", 65534, 65534), 0);
    EXPECT_EQ(Send(), 0u);
    ASSERT_EQ(server.messages.size(), 1u);
    EXPECT_EQ(server.messages[0].find("victim"), std::string::npos);
    EXPECT_TRUE(fs::exists("Forward/Failed/KV0~0.Fwd"));
    EXPECT_NE(LogTexts().back().find("The queued message KV0~0.Fwd belongs to another user (uid "
                                     "65534): it is not sent."),
              std::string::npos)
        << LogTexts().back();

    // Another user's folder: not used at all.
    ASSERT_EQ(chown("Forward", 65534, 65534), 0);
    EXPECT_FALSE(QueueMail(app_->log(), "body", "you@x.test", "Hello", "Me"));
    EXPECT_NE(LogTexts().back().find("Forward belongs to another user (uid 65534): the message is "
                                     "not queued."),
              std::string::npos)
        << LogTexts().back();
}

// A message is queued whole or not at all: a full disk leaves no part of it behind.
TEST_F(MailQueueTest, AFullDiskQueuesNothingAndSaysSo) {
    SmallDisk disk(Path("Forward"), 64 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "a small file system needs root to mount";
    ASSERT_TRUE(QueueMail(app_->log(), "before", "you@x.test", "one", "Me"));
    std::string queued = "Forward/" + QueuedNames()[0];
    std::string before = ReadFileBytes(queued);
    ASSERT_TRUE(disk.Fill());
    EXPECT_FALSE(QueueMail(app_->log(), std::string(20000, 'b'), "you@x.test", "two", "Me"));
    EXPECT_EQ(QueuedNames(), (std::vector<std::string>{queued.substr(8), "filler"}));
    EXPECT_EQ(ReadFileBytes(queued), before);
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(LogTexts()[0].find("No space left on device"), std::string::npos) << LogTexts()[0];
}

TEST_F(MailQueueTest, ANoSuchServerIsOneErrorAndTheQueueStays) {
    FakeSmtpServer closed;
    int port = closed.port();
    Root().SetDword(kConnectionAttempts, 0);
    Root().SetString(kSmtpServer, "127.0.0.1:1");
    ASSERT_TRUE(QueueMail(app_->log(), "x", "you@x.test", "s", "Me"));
    EXPECT_EQ(Send(), kSmtpNoResponse);
    EXPECT_EQ(QueuedNames().size(), 1u);
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(LogTexts()[0].find("did not respond"), std::string::npos);
    (void)port;

    // No server set at all: said so by the setting's name, not as a name that cannot be found.
    Root().SetString(kSmtpServer, "");
    EXPECT_EQ(Send(), static_cast<uint32_t>(WSAEDESTADDRREQ));
    EXPECT_EQ(QueuedNames().size(), 1u);
    ASSERT_EQ(LogTexts().size(), 2u);
    EXPECT_NE(LogTexts()[1].find("No SMTP mail server is set (the setting SmtpServer is empty): "
                                 "the queued mail stays in Forward until one is set."),
              std::string::npos)
        << LogTexts()[1];
}

TEST_F(MailQueueTest, ARefusedLoginKeepsTheQueueAndTheRightOneSendsIt) {
    TestCa ca(Path(""));
    auto issued = ca.Issue("mail", {"IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    SecureSmtpServer::Options o;
    o.cert = issued.cert;
    o.key = issued.key;
    o.password = "the right one";
    SecureSmtpServer server(Path(""), o);
    ASSERT_NE(server.port(), 0) << server.error();
    Root().SetString(kSmtpServer, "127.0.0.1:" + std::to_string(server.port()));
    Root().SetString(kTlsCaFile, ca.caFile());
    Root().SetDword(kSmtpSecurity, kSmtpStartTls);
    Root().SetString(kSmtpUserName, "mailer");
    Root().SetString(kSmtpPassword, "not-the-password-7");
    QueueInOrder({"a@x.test", "b@x.test"});

    EXPECT_EQ(Send(), kSmtpLoginRefused);
    EXPECT_EQ(QueuedNames(), (std::vector<std::string>{"KV0~1.Fwd", "KV0~2.Fwd"}))
        << "nothing is set aside for a refused login";
    EXPECT_FALSE(fs::exists(kFailedFolder));
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(
        LogTexts()[0].find("The SMTP mail server 127.0.0.1 refused the user name or password."),
        std::string::npos)
        << LogTexts()[0];
    EXPECT_EQ(ReadFileBytes(kLogFileName).find("not-the-password"), std::string::npos);
    EXPECT_TRUE(server.Messages().empty());

    Root().SetString(kSmtpPassword, "the right one");
    EXPECT_EQ(Send(), 0u);
    EXPECT_TRUE(QueuedNames().empty());
    EXPECT_EQ(server.Messages().size(), 2u);
    EXPECT_EQ(server.Logins(), "PLAIN refused\nPLAIN ok\n");
}

// A mail as its reader sees it, read back with our own decoding: the sender, the subject
// and the body text (what stands before the closing "." line, when there is one).
TEST_F(MailQueueTest, TextThatIsNotAsciiIsDeclaredAndReadBackWhole) {
    struct Case {
        std::string body, subject, sender;
        std::string bodyRead = {};  // when not the body itself
    };
    const std::string umlauts =
        "Gr\xC3\xBC\xC3\x9F"
        "e aus Z\xC3\xBCrich";
    std::string euros;
    for (int i = 0; i < 100; ++i) euros += "\xE2\x82\xAC";
    const std::vector<Case> cases = {
        {"all ASCII\r\n.a dot\r\nlast", "ascii", "Site <me@x.test>"},
        {umlauts + "\r\n= sign and a blank at the end \r\n.dot first\r\n" + std::string(300, 'x') +
             euros + "\r\nlast",
         "body only", "Site <me@x.test>"},
        {"ascii body", "Re: " + umlauts + " " + std::string(40, 'a') + "\xE2\x82\xAC panic",
         "Site <me@x.test>"},
        {"ascii body", "sender only",
         "\xC3\x9C"
         "berwachung Z\xC3\xBCrich <me@x.test>"},
        // Bytes that are no UTF-8 (a page's Latin-1) are taken as windows-1252.
        {"caf\xE9 \x93q\x94", "latin", "Site <me@x.test>", "caf\xC3\xA9 \xE2\x80\x9Cq\xE2\x80\x9D"},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.subject);
        std::string text = QueuedMailText(c.body, "you@x.test", c.subject, c.sender, 0);
        // Only ASCII goes on the wire, in lines any server takes; ASCII mail is written as
        // it always was.
        EXPECT_TRUE(mime::IsAscii(text));
        for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
            EXPECT_LE(end - at, 78u) << text.substr(at, end - at);
        EXPECT_NE(text.find(i == 0 ? "\r\nContent-Type: text/plain; charset=ISO-8859-1\r\n"
                                     "Content-Transfer-Encoding: 7bit\r\n"
                                   : "\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; "
                                     "charset=UTF-8\r\nContent-Transfer-Encoding: "),
                  std::string::npos);
        EXPECT_EQ(text.find("quoted-printable\r\n") != std::string::npos, i == 1 || i == 4);
        ASSERT_TRUE(QueueMail(app_->log(), c.body, "you@x.test", c.subject, c.sender));
    }

    // The same bytes reach a server that knows only HELO and one that offers 8BITMIME, and
    // both give the reader the text as it was queued.
    FakeSmtpServer plain;
    UseServer(plain);
    fs::copy("Forward", Path("again"));
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(plain.commands[0], "HELO client.test");
    TestCa ca(Path(""));
    auto issued = ca.Issue("mail", {"IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    SecureSmtpServer::Options o{.cert = issued.cert, .key = issued.key};
    SecureSmtpServer extended(Path(""), o);
    ASSERT_NE(extended.port(), 0) << extended.error();
    Root().SetString(kSmtpServer, "127.0.0.1:" + std::to_string(extended.port()));
    Root().SetString(kTlsCaFile, ca.caFile());
    Root().SetString(kSmtpUserName, o.user);
    Root().SetString(kSmtpPassword, o.password);
    fs::remove_all("Forward");
    fs::rename(Path("again"), "Forward");
    EXPECT_EQ(Send(), 0u);

    // What the scripted server kept is the text on the wire: its leading dots are doubled.
    std::vector<std::string> stored = plain.messages;
    for (std::string& m : stored)
        for (size_t k = 0; (k = m.find("\r\n..", k)) != std::string::npos; k += 3)
            m.erase(k + 2, 1);
    for (const auto& received : {stored, extended.Messages()}) {
        std::map<std::string, MailRead> bySubject;
        for (const std::string& m : received) {
            MailRead r = ReadMail(m, Path("received"));
            bySubject[r.subject] = r;
        }
        ASSERT_EQ(bySubject.size(), cases.size());
        for (const Case& c : cases) {
            SCOPED_TRACE(c.subject);
            EXPECT_EQ(bySubject[c.subject].from, c.sender);
            EXPECT_EQ(bySubject[c.subject].body, LfLines(c.bodyRead.empty() ? c.body : c.bodyRead));
        }
    }
}

}  // namespace

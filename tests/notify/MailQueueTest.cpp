#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/ActivityLog.h"
#include "app/Application.h"
#include "app/SettingsStore.h"
#include "fakes/ClientOwner.h"
#include "fakes/FakeSmtpServer.h"
#include "fixtures/Fixtures.h"
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
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::vector<std::string> LogTexts() {
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        std::vector<std::string> texts;
        for (const auto& r : records) texts.push_back(r.text.substr(2));
        return texts;
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
    ASSERT_TRUE(QueueMail("body", "you@x.test", "Hello", "Me <me@x.test>"));
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
    EXPECT_FALSE(QueueMail("body", "you@x.test", "Hello", "Me"));
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(LogTexts()[0].find("queueing mail"), std::string::npos);
}

TEST_F(MailQueueTest, AnEmptyQueueFinishesWithoutConnecting) {
    FakeSmtpServer server;
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.connections, 0);
    fs::create_directory("Forward");
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.connections, 0);
}

TEST_F(MailQueueTest, ThreeFilesGoInOneSessionAndAreDeletedOnAcceptance) {
    FakeSmtpServer server;
    UseServer(server);
    for (int i = 1; i <= 3; ++i)
        ASSERT_TRUE(QueueMail("body " + std::to_string(i), "you@x.test",
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

TEST_F(MailQueueTest, ARefusedRecipientStopsTheRunAndKeepsTheRest) {
    FakeSmtpServer server;
    UseServer(server);
    server.refusedRecipients.insert("<bad@x.test>");
    ASSERT_TRUE(QueueMail("1", "a@x.test", "one", "Me"));
    auto first = QueuedNames();
    ASSERT_TRUE(QueueMail("2", "bad@x.test", "two", "Me"));
    ASSERT_TRUE(QueueMail("3", "c@x.test", "three", "Me"));
    // Names sort in the order the sender takes them; make the refused one the second.
    std::vector<std::string> names = QueuedNames();
    std::string refused;
    for (const auto& n : names)
        if (ReadFileBytes("Forward/" + n).find("bad@x.test") != std::string::npos) refused = n;
    fs::rename("Forward/" + refused, "Forward/KV0~2.Fwd");
    fs::rename("Forward/" + first[0], "Forward/KV0~1.Fwd");
    for (const auto& n : QueuedNames())
        if (n != "KV0~1.Fwd" && n != "KV0~2.Fwd") fs::rename("Forward/" + n, "Forward/KV0~3.Fwd");

    EXPECT_EQ(Send(), kSmtpBadRecipient);
    EXPECT_EQ(QueuedNames(), (std::vector<std::string>{"KV0~2.Fwd", "KV0~3.Fwd"}));
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_EQ(LogTexts()[0],
              "An error occured while sending mail.   The error message was : The "
              "e-mail receipent name is invalid.");
    EXPECT_EQ(sender_->line1(), "Disconnecting from Mail Servers");
}

TEST_F(MailQueueTest, FilesWithoutRecipientOrThatCannotBeOpened) {
    FakeSmtpServer server;
    UseServer(server);
    fs::create_directory("Forward");
    std::ofstream("Forward/KV0~1.Fwd") << "Subject: nobody\r\n\r\nx\r\n.\r\n";
    fs::create_symlink("/nonexistent/target", "Forward/KV0~2.Fwd");
    ASSERT_TRUE(QueueMail("ok", "you@x.test", "fine", "Me"));
    EXPECT_EQ(Send(), 0u);
    EXPECT_EQ(server.messages.size(), 1u) << "only the good file is sent";
    EXPECT_EQ(QueuedNames(), std::vector<std::string>{"KV0~2.Fwd"})
        << "the unreadable one waits for the next run; the one without recipient is gone";
}

TEST_F(MailQueueTest, ANoSuchServerIsOneErrorAndTheQueueStays) {
    FakeSmtpServer closed;
    int port = closed.port();
    Root().SetDword(kConnectionAttempts, 0);
    Root().SetString(kSmtpServer, "127.0.0.1:1");
    ASSERT_TRUE(QueueMail("x", "you@x.test", "s", "Me"));
    EXPECT_EQ(Send(), kSmtpNoResponse);
    EXPECT_EQ(QueuedNames().size(), 1u);
    ASSERT_EQ(LogTexts().size(), 1u);
    EXPECT_NE(LogTexts()[0].find("did not respond"), std::string::npos);
    (void)port;
}

}  // namespace

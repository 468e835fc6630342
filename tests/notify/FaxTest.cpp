#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/ActivityLog.h"
#include "app/Application.h"
#include "fixtures/Fixtures.h"
#include "net/UniqueFd.h"
#include "notify/FaxSender.h"
#include "platform/CancelRequest.h"
#include "platform/Messaging.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

using namespace settings;
namespace fs = std::filesystem;

struct Record {
    int icon;
    std::string text;
    bool popUp;
};

class RecordingLog : public ActivityLogWriter {
public:
    void WriteLog(int icon, const std::string& text, int, const std::string&, bool popUp) override {
        records.push_back({icon, text, popUp});
    }
    std::vector<Record> records;
};

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A process that is gone, or a zombie that nobody has reaped yet.
bool ProcessGone(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    if (!stat) return true;
    std::string line;
    std::getline(stat, line);
    size_t close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z';
}

class FaxTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        fakeDir_ = Path("fake");
        fs::create_directory(fakeDir_);
        ::setenv("FAKE_SENDFAX_DIR", fakeDir_.c_str(), 1);
        Root().SetString(kFaxProgram, FAKE_SENDFAX);
    }
    void TearDown() override {
        ::unsetenv("FAKE_SENDFAX_DIR");
        SandboxTest::TearDown();
    }
    void Fake(const std::string& name, const std::string& content) {
        std::ofstream(fakeDir_ + "/" + name, std::ios::binary) << content;
    }
    std::string Faked(const std::string& name) { return ReadFileBytes(fakeDir_ + "/" + name); }

    // Faxes a message stored as POP3 delivered it (the closing "." line included).
    bool Fax(const std::string& message, FaxSender& sender, bool attachments = false) {
        const std::string path = Path("stored.msg");
        std::ofstream(path, std::ios::binary) << message << ".\r\n";
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        FaxSettings settings;
        settings.faxPhone = "555-0199";
        settings.faxName = "Ann Smith";
        settings.sendAttachments = attachments;
        return FaxStoredMessage(fd.get(), settings, sender);
    }

    std::string fakeDir_;
    RecordingLog log_;
};

TEST_F(FaxTest, APlainMessageGoesToTheClientAsItsTextFileOnly) {
    MessagingFaxSender sender(log_);
    EXPECT_TRUE(
        Fax("From: Bob <bob@x>\r\nTo: me@x\r\nSubject: Hello\r\n\r\none\r\n..two\r\n", sender));
    EXPECT_TRUE(log_.records.empty());

    auto args = Lines(Faked("args"));
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(args[0], "-n");
    EXPECT_EQ(args[1], "-d");
    EXPECT_EQ(args[2], "Ann Smith@555-0199");
    EXPECT_EQ(Faked("file1"),
              "To: me@x\r\nFrom: Bob <bob@x>\r\nSubject: Hello\r\n\r\n\r\none\r\n.two\r\n");
    // Nobody but this user could read the message while the client had it, and it is gone.
    EXPECT_EQ(Faked("file1-mode"), "600\n");
    EXPECT_FALSE(fs::exists(args[3]));
    EXPECT_FALSE(fs::exists(fakeDir_ + "/file2"));
}

TEST_F(FaxTest, AMultiPartMessageGoesWithItsFirstAttachmentAsASecondFile) {
    const std::string message =
        "From: Bob <bob@x>\r\nTo: me@x\r\nCc: c@x\r\nSubject: Parts\r\nMIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n"
        "--XX\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\nthe text part\r\n"
        "--XX\r\nContent-Type: application/octet-stream; name=\"a.bin\"\r\n"
        "Content-Disposition: attachment; filename=\"a.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\naGVsbG8gYXR0YWNobWVudA==\r\n"
        "--XX\r\nContent-Type: application/octet-stream; name=\"b.bin\"\r\n"
        "Content-Transfer-Encoding: base64\r\n\r\nc2Vjb25k\r\n"
        "--XX--\r\n";
    MessagingFaxSender sender(log_);
    EXPECT_TRUE(Fax(message, sender, true));
    EXPECT_TRUE(log_.records.empty());

    auto args = Lines(Faked("args"));
    ASSERT_EQ(args.size(), 5u);
    EXPECT_EQ(args[2], "Ann Smith@555-0199");
    EXPECT_EQ(Faked("file1").rfind("To: me@x\r\nCc: c@x\r\nFrom: Bob <bob@x>\r\nSubject: Parts\r\n"
                                   "\r\n\r\nthe text part",
                                   0),
              0u);
    EXPECT_EQ(Faked("file2"), "hello attachment");
    EXPECT_EQ(Faked("file2-mode"), "600\n");
    EXPECT_FALSE(fs::exists(fakeDir_ + "/file3"));
    // Both the text and the attachment are gone once the client is done.
    EXPECT_FALSE(fs::exists(args[3]));
    EXPECT_FALSE(fs::exists(args[4]));

    // Without SendAttachments the text goes alone.
    fs::remove(fakeDir_ + "/file2");
    EXPECT_TRUE(Fax(message, sender, false));
    EXPECT_EQ(Lines(Faked("args")).size(), 4u);
    EXPECT_FALSE(fs::exists(fakeDir_ + "/file2"));
}

TEST_F(FaxTest, AClientThatFailsIsAFailedFaxWithWhatItSaid) {
    Fake("exit", "3");
    // Several lines, and far more than a log line holds.
    Fake("stderr", "Can not reach\nthe server\n" + std::string(100000, 'x'));
    MessagingFaxSender sender(log_);
    EXPECT_FALSE(Fax("Subject: s\r\n\r\nbody\r\n", sender));
    ASSERT_EQ(log_.records.size(), 1u);
    const Record& r = log_.records[0];
    EXPECT_EQ(r.icon, kIconError);
    EXPECT_TRUE(r.popUp);
    const std::string head =
        "Failed to send FAX to Microsoft Exchange. (fake-sendfax exited with status 3: "
        "Can not reach the server xxx";
    EXPECT_EQ(r.text.substr(0, head.size()), head);
    EXPECT_EQ(r.text.back(), ')');
    EXPECT_LT(r.text.size(), 300u);
    // The text file is gone all the same.
    EXPECT_FALSE(fs::exists(Lines(Faked("args"))[3]));
}

TEST_F(FaxTest, AClientThatHangsIsStoppedWithItsHelpers) {
    Fake("hang", "");
    MessagingFaxSender sender(log_, [](std::string* why) -> std::unique_ptr<Messaging> {
        auto m = FaxClientMessaging::Load(FAKE_SENDFAX, why);
        if (m) m->SetTimeLimit(std::chrono::milliseconds(500));
        return m;
    });
    EXPECT_FALSE(Fax("Subject: s\r\n\r\nbody\r\n", sender));
    ASSERT_EQ(log_.records.size(), 1u);
    EXPECT_EQ(log_.records[0].text,
              "Failed to send FAX to Microsoft Exchange. (fake-sendfax did not finish within "
              "500 milliseconds and was stopped)");
    std::string helper = Faked("hang-pid");
    while (!helper.empty() && helper.back() == '\n') helper.pop_back();
    ASSERT_FALSE(helper.empty());
    EXPECT_TRUE(waitFor([&] { return ProcessGone(helper); }, std::chrono::seconds(10)));
    EXPECT_FALSE(fs::exists(Lines(Faked("args"))[3]));
}

// A signal while the client works: its wait ends at once instead of at the time limit,
// the client and its helpers are stopped, and the fax counts as failed.
TEST_F(FaxTest, ACancelRequestStopsTheClientAtOnce) {
    Fake("hang", "");
    MessagingFaxSender sender(log_, [](std::string* why) -> std::unique_ptr<Messaging> {
        auto m = FaxClientMessaging::Load(FAKE_SENDFAX, why);
        // Far beyond how long a cancel may take, short of the test's own limit.
        if (m) m->SetTimeLimit(std::chrono::seconds(90));
        return m;
    });
    // As the signal handler does, from outside the blocked loop, once the client runs.
    std::thread signal([&] {
        for (int i = 0; i < 6000 && !fs::exists(fakeDir_ + "/hang-pid"); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        cancel_request::Set();
    });
    const bool sent = Fax("Subject: s\r\n\r\nbody\r\n", sender);
    signal.join();
    cancel_request::Clear();
    EXPECT_FALSE(sent);
    ASSERT_EQ(log_.records.size(), 1u);
    EXPECT_EQ(log_.records[0].text,
              "Failed to send FAX to Microsoft Exchange. (the fax was cancelled and "
              "fake-sendfax was stopped)");
    std::string helper = Faked("hang-pid");
    while (!helper.empty() && helper.back() == '\n') helper.pop_back();
    ASSERT_FALSE(helper.empty());
    EXPECT_TRUE(waitFor([&] { return ProcessGone(helper); }, std::chrono::seconds(10)));
}

TEST_F(FaxTest, AMissingClientIsToldOnceARunAndNobodyIsAsked) {
    Root().SetString(kFaxProgram, Path("no/such/sendfax"));
    MessagingFaxSender sender(log_);
    EXPECT_FALSE(Fax("Subject: s\r\n\r\nbody\r\n", sender));
    EXPECT_FALSE(Fax("Subject: t\r\n\r\nbody\r\n", sender));
    ASSERT_EQ(log_.records.size(), 1u);
    EXPECT_EQ(log_.records[0].icon, kIconError);
    EXPECT_EQ(log_.records[0].text,
              "The Microsoft Exchange program is not installed. (the fax "
              "program \"" +
                  Path("no/such/sendfax") + "\" was not found or cannot be run)");
    EXPECT_TRUE(prompt_->shown.empty());

    // The next run tells it again; a bare name is looked up in PATH.
    sender.RunFinished();
    Root().SetString(kFaxProgram, "quorvane-no-such-fax-client");
    EXPECT_FALSE(Fax("Subject: s\r\n\r\nbody\r\n", sender));
    ASSERT_EQ(log_.records.size(), 2u);
    EXPECT_EQ(log_.records[1].text,
              "The Microsoft Exchange program is not installed. (the fax program "
              "\"quorvane-no-such-fax-client\" was not found)");
    EXPECT_TRUE(prompt_->shown.empty());
}

TEST_F(FaxTest, TheProgramTellsAMissingClientAgainAfterEachRun) {
    Root().SetString(kFaxProgram, Path("no/such/sendfax"));
    CApplication app(nullptr);
    auto records = [] {
        std::vector<LogRecord> all;
        ReadLogFile(kLogFileName, &all, nullptr);
        return all.size();
    };
    FaxMessage fax{"555", "Ann", "Subj", "text", {}, {}};
    EXPECT_FALSE(app.faxSender().SendFax(fax));
    EXPECT_FALSE(app.faxSender().SendFax(fax));
    EXPECT_EQ(records(), 1u);
    emit app.runWindow().runFinished();
    EXPECT_FALSE(app.faxSender().SendFax(fax));
    EXPECT_EQ(records(), 2u);
}

// A messaging system whose logon or send fails as told; it records what it was given.
class ScriptedMessaging : public Messaging {
public:
    uint32_t logon = SUCCESS_SUCCESS;
    std::vector<uint32_t> sends;  // one answer per send, then success
    std::vector<MapiMessage> sent;
    std::vector<uint32_t> logonFlags, sendFlags;
    int logoffs = 0;

    uint32_t MAPILogon(uintptr_t, const std::string&, const std::string&, uint32_t flags,
                       LHANDLE* session) override {
        logonFlags.push_back(flags);
        *session = 7;
        return logon;
    }
    uint32_t MAPISendMail(LHANDLE, uintptr_t, const MapiMessage& m, uint32_t flags) override {
        sent.push_back(m);
        sendFlags.push_back(flags);
        uint32_t rc = sends.empty() ? SUCCESS_SUCCESS : sends.front();
        if (!sends.empty()) sends.erase(sends.begin());
        return rc;
    }
    uint32_t MAPILogoff(LHANDLE, uintptr_t) override {
        ++logoffs;
        return SUCCESS_SUCCESS;
    }
    std::string LastErrorText() const override { return "told so"; }
};

// Hands each call to a ScriptedMessaging that outlives the loads.
class ForwardingMessaging : public Messaging {
public:
    explicit ForwardingMessaging(Messaging& to) : to_(to) {}
    uint32_t MAPILogon(uintptr_t ui, const std::string& profile, const std::string& password,
                       uint32_t flags, LHANDLE* session) override {
        return to_.MAPILogon(ui, profile, password, flags, session);
    }
    uint32_t MAPISendMail(LHANDLE session, uintptr_t ui, const MapiMessage& m,
                          uint32_t flags) override {
        return to_.MAPISendMail(session, ui, m, flags);
    }
    uint32_t MAPILogoff(LHANDLE session, uintptr_t ui) override {
        return to_.MAPILogoff(session, ui);
    }
    std::string LastErrorText() const override { return to_.LastErrorText(); }

private:
    Messaging& to_;
};

TEST_F(FaxTest, FailuresOfTheMessagingSystemAreOneRecordEachAndNeverADialog) {
    ScriptedMessaging scripted;
    MessagingFaxSender sender(log_, [&](std::string*) -> std::unique_ptr<Messaging> {
        return std::make_unique<ForwardingMessaging>(scripted);
    });
    FaxMessage fax{"555", "Ann", "Subj", "text", Path("gone.bin"), "gone.bin"};

    // A failed logon is not tried again with a logon dialog.
    scripted.logon = MAPI_E_LOGIN_FAILURE;
    EXPECT_FALSE(sender.SendFax(fax));
    EXPECT_EQ(scripted.logonFlags, std::vector<uint32_t>{0});
    EXPECT_TRUE(scripted.sent.empty());
    ASSERT_EQ(log_.records.size(), 1u);
    EXPECT_EQ(log_.records[0].text, "Failed to log into Microsoft Exchange. (told so)");

    // An attachment that cannot be opened: the text goes again without it, no dialog.
    scripted.logon = SUCCESS_SUCCESS;
    scripted.sends = {MAPI_E_ATTACHMENT_OPEN_FAILURE};
    EXPECT_TRUE(sender.SendFax(fax));
    ASSERT_EQ(scripted.sent.size(), 2u);
    EXPECT_EQ(scripted.sent[0].files.size(), 1u);
    EXPECT_EQ(scripted.sent[0].recips[0].address, "FAX:555");
    EXPECT_EQ(scripted.sent[0].recips[0].name, "Ann");
    EXPECT_EQ(scripted.sent[0].originator.recipClass, MAPI_ORIG);
    EXPECT_TRUE(scripted.sent[1].files.empty());
    EXPECT_EQ(scripted.sendFlags, (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(scripted.logoffs, 1);
    EXPECT_EQ(log_.records.size(), 1u);

    // Any other failure is one record, after which the session is closed.
    scripted.sends = {MAPI_E_FAILURE};
    scripted.sent.clear();
    EXPECT_FALSE(sender.SendFax(fax));
    EXPECT_EQ(scripted.sent.size(), 1u);
    EXPECT_EQ(scripted.logoffs, 2);
    ASSERT_EQ(log_.records.size(), 2u);
    EXPECT_EQ(log_.records[1].text, "Failed to send FAX to Microsoft Exchange. (told so)");
}

TEST_F(FaxTest, TheClientRefusesWhatIsNoFaxAndKeepsTheNumberWhole) {
    std::string why;
    auto mapi = FaxClientMessaging::Load(FAKE_SENDFAX, &why);
    ASSERT_TRUE(mapi) << why;
    LHANDLE session = 0;
    ASSERT_EQ(mapi->MAPILogon(0, "", "", 0, &session), SUCCESS_SUCCESS);
    MapiMessage m;
    m.noteText = "t";
    m.recips = {{MAPI_TO, "Ann", "SMTP:ann@x"}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), MAPI_E_UNKNOWN_RECIPIENT);
    m.recips = {{MAPI_TO, "Ann", "FAX: "}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), MAPI_E_INVALID_RECIPS);
    EXPECT_EQ(mapi->LastErrorText(), "the fax number is empty");
    m.recips = {{MAPI_TO, "Ann", "FAX:555@1"}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), MAPI_E_INVALID_RECIPS);
    // A line end in the number or the name would split the client's destination.
    m.recips = {{MAPI_TO, "Ann", "FAX:555\r\n0100"}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), MAPI_E_INVALID_RECIPS);
    EXPECT_EQ(mapi->LastErrorText(),
              "the fax number \"555 0100\" holds a line end or control character");
    m.recips = {{MAPI_TO, "Ann\nSmith", "FAX:5550100"}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), MAPI_E_INVALID_RECIPS);
    EXPECT_EQ(mapi->LastErrorText(),
              "the fax name \"Ann Smith\" holds a line end or control character");
    m.recips = {{MAPI_TO, "Ann\x1b", "FAX:5550100"}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), MAPI_E_INVALID_RECIPS);
    EXPECT_FALSE(fs::exists(fakeDir_ + "/args"));  // none of these reached the client

    // An "@" in the name would move where the client splits name from number.
    m.recips = {{MAPI_TO, "ann@home", "fax:555-0100"}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), SUCCESS_SUCCESS);
    EXPECT_EQ(Lines(Faked("args"))[2], "ann home@555-0100");
    m.recips = {{MAPI_TO, "", "FAX:555-0100"}};
    EXPECT_EQ(mapi->MAPISendMail(session, 0, m, 0), SUCCESS_SUCCESS);
    EXPECT_EQ(Lines(Faked("args"))[2], "555-0100");
    EXPECT_EQ(mapi->MAPILogoff(session, 0), SUCCESS_SUCCESS);
    EXPECT_EQ(mapi->MAPILogoff(session, 0), MAPI_E_INVALID_SESSION);
}

// Debian's HylaFAX client against a fax server that is not there: a port on this machine
// that is bound and does not listen, named in the client's own settings file in $HOME.
TEST_F(FaxTest, TheRealSendfaxWithoutAServerIsAFailedFax) {
    if (QStandardPaths::findExecutable("sendfax").isEmpty())
        GTEST_SKIP() << "sendfax (Debian's hylafax-client) is not installed";
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(s.get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    fs::create_directory(Path("home"));
    std::ofstream(Path("home/.hylarc")) << "Host: 127.0.0.1\nPort: " << port << "\n";
    const char* oldHome = std::getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", Path("home").c_str(), 1);
    Root().SetString(kFaxProgram, "sendfax");

    MessagingFaxSender sender(log_);
    bool sent = Fax("From: Bob <bob@x>\r\nSubject: Hello\r\n\r\nbody\r\n", sender);
    if (oldHome)
        ::setenv("HOME", savedHome.c_str(), 1);
    else
        ::unsetenv("HOME");

    EXPECT_FALSE(sent);
    ASSERT_EQ(log_.records.size(), 1u);
    const std::string head =
        "Failed to send FAX to Microsoft Exchange. (sendfax exited with status ";
    EXPECT_EQ(log_.records[0].text.substr(0, head.size()), head);
    EXPECT_NE(log_.records[0].text.find("127.0.0.1"), std::string::npos) << log_.records[0].text;
}

}  // namespace

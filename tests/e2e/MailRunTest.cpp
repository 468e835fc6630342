// The mail monitor from end to end: Dovecot on 127.0.0.1, an SMTP sink, a fake modem on a
// pseudo-terminal and the recording fax client, the settings written with quorvane-reg and
// runs of `quorvane --run`.

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>

#include "app/ActivityLog.h"
#include "fakes/Dovecot.h"
#include "fakes/FakeModem.h"
#include "fakes/ProgramRun.h"
#include "fakes/SmtpSink.h"
#include "fakes/TestCa.h"
#include "fixtures/Fixtures.h"

namespace {

namespace fs = std::filesystem;

const char* kKey = "HKLM\\SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion";

std::string Msg(const std::string& headers, const std::string& body) {
    return headers + "\r\n" + body;
}

class MailRunTest : public SandboxTest {
protected:
    int Reg(const QStringList& args) { return ProgramRun(Path("r.db"), Path("data")).Reg(args); }
    // With the recording fax client's folder.
    std::vector<std::string> RunOnce() {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("FAKE_SENDFAX_DIR", QString::fromStdString(Path("fax")));
        return ProgramRun(Path("r.db"), Path("data")).RunOnce("Nightly", env);
    }
};

TEST_F(MailRunTest, NewMailIsForwardedPagedAndFaxedOnce) {
    fs::create_directories(Path("ca"));
    fs::create_directories(Path("fax"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("pop", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    Dovecot dovecot;
    dovecot.AddMessage(
        Msg("From: Ann <ann@x>\r\nTo: me@x\r\nSubject: plain\r\nMessage-Id: <p@x>\r\n",
            "plain text\r\n"));
    dovecot.AddMessage(
        Msg("From: Bob <bob@x>\r\nSubject: parts\r\nMessage-Id: <m@x>\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"BB\"\r\n",
            "--BB\r\nContent-Type: text/plain\r\n\r\nthe text part\r\n--BB\r\n"
            "Content-Type: application/octet-stream; name=\"a.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\naGVsbG8gYXR0YWNobWVudA==\r\n--BB--\r\n"));
    ASSERT_TRUE(dovecot.Start(issued)) << dovecot.error();
    SmtpSink sink(Path("maildir"));
    FakeModem modem(Path(""), "ok");
    ASSERT_FALSE(modem.device.empty());

    const QString root = kKey;
    const QString box = root + "\\Mailbox";
    std::vector<QStringList> sets = {
        {root, "SmtpServer", "REG_SZ", QString("127.0.0.1:%1").arg(sink.port())},
        {root, "HostName", "REG_SZ", "quorvane.test"},
        {root, "MyName", "REG_SZ", "quorvane@quorvane.test"},
        {root, "DialUpProgram", "REG_SZ", "/nonexistent/nmcli"},
        {root, "ModemDevices", "REG_MULTI_SZ", QString::fromStdString(modem.device)},
        {root, "FaxProgram", "REG_SZ", FAKE_SENDFAX},
        {root + "\\Nightly", "Type", "REG_DWORD", "1"},
        {root + "\\Nightly", "Enabled", "REG_DWORD", "1"},
        {box, "Type", "REG_DWORD", "3"},
        {box, "ScheduledEvent", "REG_SZ", "Nightly"},
        {box, "PopHost", "REG_SZ", QString("127.0.0.1:%1").arg(dovecot.pop3Port())},
        {box, "PopUserName", "REG_SZ", QString::fromStdString(dovecot.user)},
        {box, "PopPassword", "REG_SZ", QString::fromStdString(dovecot.password)},
        {box, "ForwardMail", "REG_DWORD", "1"},
        {box, "ForwardTo", "REG_SZ", "fw@example.org"},
        {box, "EnablePager", "REG_DWORD", "1"},
        {box, "PagerPhone", "REG_SZ", "555-0100"},
        {box, "PagerMsg", "REG_SZ", "42"},
        {box, "EnableFax", "REG_DWORD", "1"},
        {box, "FaxPhone", "REG_SZ", "5551234"},
        {box, "FaxName", "REG_SZ", "Office"},
        {box, "SendAttachments", "REG_DWORD", "1"},
        {box, "NotifyViaWindows", "REG_DWORD", "1"},
    };
    for (const auto& s : sets)
        ASSERT_EQ(Reg(QStringList{"set"} + s), 0) << s.join(" ").toStdString();

    auto records = RunOnce();
    const std::string found = "The Mail Quorvane Mailbox has found a new message\r\n";
    EXPECT_EQ(records,
              (std::vector<std::string>{found + "\r\n   From : Ann <ann@x>\r\n   Subj : plain",
                                        found + "\r\n   From : Bob <bob@x>\r\n   Subj : parts"}))
        << dovecot.Log();
    // Both forwarded and gone from the box.
    EXPECT_EQ(sink.Messages().size(), 2u);
    EXPECT_EQ(dovecot.MessageCount(), 0);
    // One page for the run: the number, eight pauses, the message, and a hang-up after it.
    const std::string bytes = modem.bytes();
    size_t dial = bytes.find("ATDT555,0100,,,,,,,,42#;\r");
    ASSERT_NE(dial, std::string::npos) << bytes;
    EXPECT_EQ(bytes.find("ATDT", dial + 1), std::string::npos);
    EXPECT_NE(bytes.find("ATH\r", dial), std::string::npos) << bytes;
    // The last fax: the multi-part message's text and its attachment, to the named number.
    const std::string args = ReadFileBytes(Path("fax/args"));
    EXPECT_NE(args.find("Office@5551234\n"), std::string::npos) << args;
    EXPECT_NE(ReadFileBytes(Path("fax/file1")).find("the text part"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(Path("fax/file2")), "hello attachment");

    // Nothing new: no record, no page, no fax, no forward.
    fs::remove(Path("fax/args"));
    EXPECT_TRUE(RunOnce().empty());
    EXPECT_EQ(modem.bytes().find("ATDT", dial + 1), std::string::npos);
    EXPECT_FALSE(fs::exists(Path("fax/args")));
    EXPECT_EQ(sink.Messages().size(), 2u);
}

}  // namespace

#include <QFileInfo>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "app/ActivityLog.h"
#include "app/Application.h"
#include "app/RunWindow.h"
#include "app/SettingsStore.h"
#include "fixtures/Fixtures.h"
#include "platform/DialUp.h"

namespace {

using namespace settings;

// The run window over the real nmcli dial-up, driven by the fake nmcli script.
class NmcliDialUpTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        setenv("FAKE_NMCLI_DIR", dir_->path().toStdString().c_str(), 1);
        Write("entries", "ISP\nWith\\:colon\n");
        ScheduleRecord r;
        r.name = "Daily";
        ASSERT_TRUE(CreateEventRecord(r));
        RegKey key;
        key.Create(RegKey::LocalMachine(), EventPath("Web"), kEventClass);
        key.SetDword(kType, 4);
        key.SetString(kScheduledEvent, "Daily");
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(Path(name)) << text;
    }
    void UsePhoneBook(const std::string& entry) {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Daily"));
        key.SetString("PhoneBook", entry);
    }
    // Runs Daily to its end; the calls the fake received.
    std::string RunDaily() {
        auto dialUp = NmcliDialUp::Load(FAKE_NMCLI);
        EXPECT_TRUE(dialUp);
        CRunWindow run(log_, std::move(dialUp), pager_);
        run.SetHangUpWait(10);
        QObject::connect(&run, &CRunWindow::controlsChanged, [&] {
            if (statuses_.empty() || statuses_.back() != run.controls().status1034)
                statuses_.push_back(run.controls().status1034);
        });
        run.StartRun("Daily");
        EXPECT_TRUE(waitFor([&] { return !run.running(); }, std::chrono::seconds(20)));
        return ReadFileBytes(Path("calls"));
    }
    std::string LastLogText() {
        std::vector<LogRecord> records;
        ReadLogFile(kLogFileName, &records, nullptr);
        return records.empty() ? "" : records.back().text;
    }

    CActivityLog log_;
    EmptyPagerQueue pager_;
    std::vector<std::string> statuses_;
};

TEST_F(NmcliDialUpTest, AMissingProgramMeansNoDialUp) {
    EXPECT_FALSE(NmcliDialUp::Load("/no/such/nmcli"));
    EXPECT_FALSE(NmcliDialUp::Load("no-such-program-anywhere"));
    EXPECT_TRUE(NmcliDialUp::Load(FAKE_NMCLI));
    Root().SetString(kDialUpProgram, "/no/such/nmcli");
    EXPECT_FALSE(CApplication::LoadDialUp());
    Root().SetString(kDialUpProgram, FAKE_NMCLI);
    EXPECT_TRUE(CApplication::LoadDialUp());
}

TEST_F(NmcliDialUpTest, DialsTheEntryRunsTheMonitorsAndHangsUp) {
    UsePhoneBook("ISP");
    EXPECT_EQ(RunDaily(),
              "-t -f NAME connection show\n"
              "-g connection.type connection show id ISP\n"
              "-t -f NAME connection show --active\n"
              "connection up id ISP\n"
              "connection down id ISP\n");
    EXPECT_TRUE(std::find(statuses_.begin(), statuses_.end(), "Dialing...") != statuses_.end());
    EXPECT_EQ(LastLogText(), "");
}

TEST_F(NmcliDialUpTest, EntryNamesAreUnescaped) {
    UsePhoneBook("With:colon");
    EXPECT_NE(RunDaily().find("connection up id With:colon\n"), std::string::npos);
    EXPECT_EQ(LastLogText(), "");
}

TEST_F(NmcliDialUpTest, AnUnknownEntryIsReported) {
    UsePhoneBook("Nope");
    EXPECT_EQ(RunDaily(), "-t -f NAME connection show\n");
    EXPECT_EQ(LastLogText(),
              "\r\nWhile starting event Daily an error occured getting information about the "
              "Internet connection to Nope.  The error message was :Cannot find the phone book "
              "entry.");
}

TEST_F(NmcliDialUpTest, AnActiveEntryIsUsedAsItIsAndHungUpAtTheEnd) {
    UsePhoneBook("ISP");
    Write("active", "ISP\n");
    EXPECT_EQ(RunDaily(),
              "-t -f NAME connection show\n"
              "-g connection.type connection show id ISP\n"
              "-t -f NAME connection show --active\n"
              "connection down id ISP\n");
    EXPECT_EQ(LastLogText(), "");
}

TEST_F(NmcliDialUpTest, AFailedActivationIsReportedWithWhatNmcliSaid) {
    UsePhoneBook("ISP");
    Write("up-exit", "4");
    Write("up-error", "Error: Connection activation failed: no carrier\nhint\n");
    std::string calls = RunDaily();
    EXPECT_EQ(LastLogText(),
              "\r\nWhile starting event Daily, the Internet connection to ISP did not complete "
              "correctly.\r\n\r\nThe error message was :The modem (or other connecting device) "
              "has reported an error. (Error: Connection activation failed: no carrier)");
    EXPECT_NE(calls.find("connection down id ISP"), std::string::npos);

    Write("up-exit", "3");
    Write("up-error", "");
    RunDaily();
    EXPECT_EQ(LastLogText(),
              "\r\nWhile starting event Daily, the Internet connection to ISP did not complete "
              "correctly.\r\n\r\nThe error message was :There is no answer.");
}

TEST_F(NmcliDialUpTest, TheAccountIsHandedOverWhenNetworkManagerKeepsNoSecret) {
    UsePhoneBook("ISP");
    {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Daily"));
        key.SetString("AccountName", "me");
        key.SetString("AccountPasswd", "pa:ss w\xC3\xB6rd");
    }
    Write("type", "gsm\n");
    std::string calls = RunDaily();
    const std::string up = "connection up id ISP passwd-file ";
    size_t at = calls.find(up);
    ASSERT_NE(at, std::string::npos) << calls;
    EXPECT_EQ(calls.substr(0, at),
              "-t -f NAME connection show\n"
              "-g connection.type connection show id ISP\n"
              "-s -g gsm.password connection show id ISP\n"
              "-t -f NAME connection show --active\n");
    std::string file = calls.substr(at + up.size(), calls.find('\n', at) - at - up.size());
    EXPECT_EQ(ReadFileBytes(Path("passwd")), "gsm.password:pa:ss w\xC3\xB6rd\ngsm.username:me\n");
    EXPECT_EQ(ReadFileBytes(Path("passwd-mode")), "600\n");
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(file))) << file << " is left behind";
    EXPECT_EQ(LastLogText(), "");

    // A secret kept by NetworkManager wins over the settings'.
    std::remove(Path("calls").c_str());
    std::remove(Path("passwd").c_str());
    Write("secret", "kept\n");
    calls = RunDaily();
    EXPECT_NE(calls.find("connection up id ISP\n"), std::string::npos) << calls;
    EXPECT_EQ(ReadFileBytes(Path("passwd")), "");

    // A VPN takes its password among the plug-in's secrets.
    std::remove(Path("calls").c_str());
    std::remove(Path("secret").c_str());
    Write("type", "vpn\n");
    calls = RunDaily();
    EXPECT_NE(calls.find("-s -g vpn.secrets connection show id ISP\n"), std::string::npos);
    EXPECT_EQ(ReadFileBytes(Path("passwd")), "vpn.secrets.password:pa:ss w\xC3\xB6rd\n");

    // A line break cannot be written into the file: the run says so instead of dialing.
    std::remove(Path("calls").c_str());
    {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Daily"));
        key.SetString("AccountPasswd", "two\nlines");
    }
    calls = RunDaily();
    EXPECT_EQ(calls.find("connection up"), std::string::npos) << calls;
    EXPECT_NE(LastLogText().find("line break"), std::string::npos) << LastLogText();
}

}  // namespace

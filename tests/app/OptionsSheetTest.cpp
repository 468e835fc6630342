#include "app/OptionsSheet.h"
#include "fakes/FakeKeyring.h"
#include "fakes/NamedLines.h"
#include "fixtures/Fixtures.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

namespace {

using namespace settings;

class OptionsSheetTest : public SandboxTest {
protected:
    std::unique_ptr<COptionsSheet> Sheet(std::vector<std::string> modems = {},
                                         std::vector<std::string> profiles = {}) {
        return std::make_unique<COptionsSheet>(
            [this, modems] { return std::make_unique<NamedLines>(modems, ledger_); },
            [profiles] { return profiles; });
    }
    void ShowAll(COptionsSheet& sheet) {
        for (int i = 0; i < COptionsSheet::kPageCount; ++i) sheet.Display(i);
    }
    std::string Text(const char* name, size_t capacity = 4096) {
        std::string text;
        EXPECT_EQ(Root().GetString(name, &text, capacity), ERROR_SUCCESS) << name;
        return text;
    }
    DWORD Number(const char* name) {
        DWORD v = 0xDEADBEEF;
        EXPECT_EQ(Root().GetDword(name, &v), ERROR_SUCCESS) << name;
        return v;
    }
    bool Has(const char* name) {
        return Root().QueryValue(name, nullptr, nullptr) == ERROR_SUCCESS;
    }
    // OK after the user changed the shown pages (the view marks a page changed on every edit).
    static COptionsSheet::Outcome ConfirmEdited(COptionsSheet& sheet) {
        for (int i = 0; i < COptionsSheet::kPageCount; ++i)
            if (sheet.page(i).loaded()) sheet.page(i).SetModified();
        return sheet.Confirm();
    }

    TelephonyLedger ledger_;
};

TEST_F(OptionsSheetTest, AnEmptyStoreShowsTheDefaultsAndConfirmingWritesThem) {
    auto sheet = Sheet({"Modem A"});
    ShowAll(*sheet);
    const COptionsAdv& adv = sheet->advanced();
    EXPECT_EQ(std::vector<std::string>({adv.connectionTimeout, adv.attempts, adv.httpTimeout,
                                        adv.nntpTimeout, adv.pop3Timeout, adv.smtpTimeout}),
              std::vector<std::string>({"60", "3", "60", "180", "120", "120"}));
    EXPECT_EQ(sheet->proxy().proxyPort, "8080");
    EXPECT_FALSE(sheet->proxy().useProxy);
    EXPECT_EQ(sheet->messages().displayMesg, 0) << "Always popup log messages.";
    EXPECT_TRUE(sheet->messages().autoStartLM);
    EXPECT_EQ(sheet->pager().pagerDelay, 5);
    EXPECT_EQ(sheet->pager().modemIndex, -1);
    EXPECT_TRUE(adv.followRedirects);
    EXPECT_EQ(adv.httpMaxResponse, "268435456");
    EXPECT_EQ(adv.requestTimeLimit, "600");
    EXPECT_EQ(adv.timeServerUrl, "");
    EXPECT_EQ(sheet->servers().myName, "");
    EXPECT_EQ(sheet->servers().hostName, "");

    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Number(kTimeoutConnection), 60000u);
    EXPECT_EQ(Number(kTimeoutNntp), 180000u);
    EXPECT_EQ(Number(kConnectionAttempts), 3u);
    EXPECT_EQ(Number(kProxyPort), 8080u);
    EXPECT_EQ(Number(kUseProxy), 0u);
    EXPECT_EQ(Number(kAutoStartLM), 1u);
    EXPECT_EQ(Number(kPagerDelay), 5u);
    EXPECT_EQ(Text(kPagerModem), "");
    EXPECT_EQ(Number(kFollowRedirects), 1u);
    EXPECT_FALSE(Has(kModemDevices)) << "an empty list leaves the device search on";
    EXPECT_FALSE(Has(kSmtpPassword));
    EXPECT_EQ(Number(kRequestTimeLimit), 600u);
    // Stored empty, each reads as if absent: the null sender, this computer's own name and
    // the built-in time service.
    EXPECT_EQ(Text(kMyName), "");
    EXPECT_EQ(Text(kHostName), "");
    EXPECT_EQ(Text(kTimeServerUrl), "");
}

TEST_F(OptionsSheetTest, StoredValuesAreShownAndWrittenBackInTheirUnits) {
    RegKey root = Root();
    root.SetString(kSmtpServer, "smtp.example.org:2525");
    root.SetString(kNewsServer, "news.example.org");
    root.SetDword(kSmtpSecurity, 7);  // counts as STARTTLS required wherever it is read
    root.SetDword(kNewsSecurity, 2);
    root.SetString(kSmtpUserName, "mailer");
    root.SetDword(kTimeoutHttp, 45500);
    root.SetDword(kTimeoutConnection, 999);
    root.SetDword(kConnectionAttempts, 7);
    root.SetDword(kDisplayMesg, 2);
    root.SetDword(kAutoStartLM, 5);  // any value but 0 starts it
    root.SetDword(kUseProxy, 1);
    root.SetString(kProxyServer, "proxy.lan");
    root.SetDword(kProxyPort, 3128);
    root.SetString(kWebBrowser, "/usr/bin/firefox");
    root.SetDword(kFollowRedirects, 0);
    root.SetDword(kHttpKeepAlive, 0);
    root.SetString(kTlsCaFile, "/etc/quorvane/ca.pem");
    root.SetDword(kPagerDelay, 200);
    root.SetValue(kModemDevices, REG_MULTI_SZ, EncodeMultiString({"/dev/ttyACM0", "/dev/ttyUSB1"}));

    auto sheet = Sheet();
    ShowAll(*sheet);
    EXPECT_EQ(sheet->servers().smtpServer, "smtp.example.org:2525");
    EXPECT_EQ(sheet->servers().smtpSecurity, 1);
    EXPECT_EQ(sheet->servers().newsSecurity, 2);
    EXPECT_EQ(sheet->servers().smtpUserName, "mailer");
    EXPECT_EQ(sheet->advanced().httpTimeout, "45");
    EXPECT_EQ(sheet->advanced().connectionTimeout, "0") << "999 ms is 0 whole seconds";
    EXPECT_EQ(sheet->advanced().attempts, "7");
    EXPECT_FALSE(sheet->advanced().followRedirects);
    EXPECT_FALSE(sheet->advanced().httpKeepAlive);
    EXPECT_EQ(sheet->advanced().tlsCaFile, "/etc/quorvane/ca.pem");
    EXPECT_EQ(sheet->messages().displayMesg, 2);
    EXPECT_TRUE(sheet->messages().autoStartLM);
    EXPECT_TRUE(sheet->proxy().useProxy);
    EXPECT_EQ(sheet->proxy().proxyServer, "proxy.lan");
    EXPECT_EQ(sheet->proxy().proxyPort, "3128");
    EXPECT_EQ(sheet->helpers().webBrowser, "/usr/bin/firefox");
    EXPECT_EQ(sheet->pager().pagerDelay, 90) << "the slider's end";
    EXPECT_EQ(sheet->pager().modemDevices, "/dev/ttyACM0\n/dev/ttyUSB1");

    sheet->pager().modemDevices = "  /dev/ttyACM0 \n\n/dev/ttyS4\r\n";
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Number(kTimeoutHttp), 45000u);
    EXPECT_EQ(Number(kTimeoutConnection), 0u);
    EXPECT_EQ(Number(kSmtpSecurity), 1u);
    EXPECT_EQ(Number(kAutoStartLM), 1u);
    EXPECT_EQ(Number(kDisplayMesg), 2u);
    EXPECT_EQ(Number(kPagerDelay), 90u);
    EXPECT_EQ(Number(kHttpKeepAlive), 0u) << "kept as stored";
    EXPECT_EQ(ReadMultiString(Root(), kModemDevices),
              (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS4"}));
}

TEST_F(OptionsSheetTest, TheDesktopNotificationsBoxReadsTheValueAsTheLogDoes) {
    {
        auto sheet = Sheet();
        ShowAll(*sheet);
        EXPECT_TRUE(sheet->messages().desktopNotifications) << "on unless stored 0";
        sheet->messages().desktopNotifications = false;
        sheet->messages().SetModified();
        ASSERT_TRUE(sheet->Confirm());
        EXPECT_EQ(Number(kDesktopNotifications), 0u);
    }
    {
        auto sheet = Sheet();
        ShowAll(*sheet);
        EXPECT_FALSE(sheet->messages().desktopNotifications);
    }
    Root().SetDword(kDesktopNotifications, 7);
    auto sheet = Sheet();
    ShowAll(*sheet);
    EXPECT_TRUE(sheet->messages().desktopNotifications);
    sheet->messages().SetModified();
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Number(kDesktopNotifications), 1u);
}

TEST_F(OptionsSheetTest, NumbersOutOfRangeOrNotNumbersKeepTheSheetOpenAndWriteNothing) {
    auto sheet = Sheet();
    ShowAll(*sheet);
    sheet->servers().smtpServer = "new.example.org";
    COptionsAdv& adv = sheet->advanced();

    adv.httpTimeout = "601";
    auto outcome = ConfirmEdited(*sheet);
    EXPECT_FALSE(outcome);
    EXPECT_EQ(outcome.page, COptionsSheet::kAdvanced);
    EXPECT_EQ(outcome.problem.field, COptionsAdv::kHttpTimeout);
    EXPECT_EQ(outcome.problem.message, "Please enter an integer between 0 and 600.");
    EXPECT_FALSE(Has(kSmtpServer)) << "no page is saved while one has a problem";

    adv.httpTimeout = "600";
    adv.attempts = "21";
    outcome = ConfirmEdited(*sheet);
    EXPECT_EQ(outcome.problem.field, COptionsAdv::kAttempts);
    EXPECT_EQ(outcome.problem.message, "Please enter an integer between 0 and 20.");

    for (const char* bad : {"", "12a", "-", "99999999999999999999999"}) {
        adv.attempts = bad;
        outcome = ConfirmEdited(*sheet);
        EXPECT_EQ(outcome.problem.field, COptionsAdv::kAttempts) << bad;
        EXPECT_EQ(outcome.problem.message, std::string(bad).size() > 10
                                               ? "Please enter an integer between 0 and 20."
                                               : "Please enter an integer.")
            << bad;
    }
    adv.attempts = "20";
    for (const char* bad : {"9", "0", "86401", "", " "}) {
        adv.requestTimeLimit = bad;
        outcome = ConfirmEdited(*sheet);
        EXPECT_EQ(outcome.problem.field, COptionsAdv::kRequestTimeLimitEdit) << bad;
        EXPECT_EQ(outcome.problem.message, std::string(bad).find_first_of("0123456789") == 0
                                               ? "Please enter an integer between 10 and 86400."
                                               : "Please enter an integer.")
            << bad;
    }
    adv.requestTimeLimit = "86400";
    sheet->proxy().proxyPort = "70000";
    outcome = ConfirmEdited(*sheet);
    EXPECT_EQ(outcome.page, COptionsSheet::kProxy);
    EXPECT_EQ(outcome.problem.message, "Please enter an integer between 1 and 65535.");
    sheet->proxy().proxyPort = "3128";
    adv.httpMaxResponse = "0";
    EXPECT_EQ(ConfirmEdited(*sheet).problem.field, COptionsAdv::kHttpMaxResponseEdit);
    adv.httpMaxResponse = "4294967295";
    // No web run checks no document, nor more than its clients can carry.
    for (const char* bad : {"0", "17"}) {
        adv.webParallel = bad;
        outcome = ConfirmEdited(*sheet);
        EXPECT_EQ(outcome.problem.field, COptionsAdv::kWebParallelEdit) << bad;
        EXPECT_EQ(outcome.problem.message, "Please enter an integer between 1 and 16.") << bad;
    }
    adv.webParallel = "8";
    ASSERT_TRUE(ConfirmEdited(*sheet));
    EXPECT_EQ(ReadRootDword(kWebParallelRequests, 0), 8u);
    EXPECT_EQ(Text(kSmtpServer), "new.example.org");
    EXPECT_EQ(Number(kTimeoutHttp), 600000u);
    EXPECT_EQ(Number(kConnectionAttempts), 20u);
    EXPECT_EQ(Number(kHttpMaxResponse), 4294967295u);
    EXPECT_EQ(ReadRootDword(kRequestTimeLimit, 0), 86400u);
}

TEST_F(OptionsSheetTest, TextsAreHeldToWhatEveryReaderTakesInBytes) {
    auto sheet = Sheet();
    ShowAll(*sheet);
    COptionsSvr& svr = sheet->servers();
    svr.smtpServer = std::string(251, 'a');
    EXPECT_EQ(ConfirmEdited(*sheet).problem.message, "Please enter no more than 250 characters.");

    // 200 characters, 400 bytes: the mail sender reads it with a 252-byte buffer.
    std::string e;
    for (int i = 0; i < 200; ++i) e += "\xC3\xA9";
    svr.smtpServer = e;
    auto outcome = ConfirmEdited(*sheet);
    EXPECT_EQ(outcome.problem.field, COptionsSvr::kSmtpServerEdit);
    EXPECT_NE(outcome.problem.message.find("no more than 251 bytes"), std::string::npos)
        << outcome.problem.message;

    // 125 two-byte letters and one more byte: 251 bytes, as much as the reader takes.
    svr.smtpServer = e.substr(0, 250) + "x";
    // A user name of 255 bytes is the most one login line carries; 256 are refused.
    svr.smtpUserName = e.substr(0, 254) + "u";
    svr.newsPassword.entered = e.substr(0, 256);
    EXPECT_EQ(ConfirmEdited(*sheet).problem.field, COptionsSvr::kNewsPasswordEdit);
    svr.newsPassword.entered = e.substr(0, 254) + "p";
    sheet->helpers().mailReader = e.substr(0, 250) + "xyzw";  // 254 bytes: a 256 buffer
    sheet->proxy().proxyServer = e.substr(0, 252);
    EXPECT_EQ(ConfirmEdited(*sheet).problem.field, COptionsProxy::kAddressEdit);
    sheet->proxy().proxyServer = "proxy";
    ASSERT_TRUE(ConfirmEdited(*sheet));

    std::string read;
    ASSERT_TRUE(GetSmtpServer(read));
    EXPECT_EQ(read, e.substr(0, 250) + "x") << "the sender reads what the sheet wrote";
    ASSERT_TRUE(ReadRootText(kSmtpUserName, read, 256));
    EXPECT_EQ(read.size(), 255u);
    ASSERT_TRUE(ReadRootText(kNewsPassword, read, 256));
    EXPECT_EQ(read.size(), 255u);
    EXPECT_EQ(ReadString(Root(), kMailReader).size(), 254u);
}

TEST_F(OptionsSheetTest, APageNeverShownKeepsItsStoredValues) {
    RegKey root = Root();
    root.SetString(kPagerModem, "Modem B");
    root.SetDword(kPagerDelay, 40);
    root.SetString(kFaxProfile, "Office");
    root.SetDword(kTimeoutSmtp, 45500);
    auto sheet = Sheet({"Modem B"});
    sheet->Display(COptionsSheet::kServers);
    EXPECT_FALSE(sheet->applyEnabled()) << "nothing changed yet";
    sheet->servers().newsServer = "news.example.org";
    sheet->servers().SetModified();
    EXPECT_TRUE(sheet->applyEnabled());
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_FALSE(sheet->applyEnabled());
    EXPECT_EQ(Text(kNewsServer), "news.example.org");
    EXPECT_EQ(Text(kPagerModem), "Modem B");
    EXPECT_EQ(Number(kPagerDelay), 40u);
    EXPECT_EQ(Text(kFaxProfile), "Office");
    EXPECT_EQ(Number(kTimeoutSmtp), 45500u) << "the Advanced page was never shown";
    EXPECT_FALSE(Has(kDisplayMesg));
    EXPECT_FALSE(Has(kProxyPort));
    EXPECT_EQ(ledger_.made, 0) << "no modem is asked for a page never shown";

    // The proxy page counts as changed as soon as it is shown.
    sheet->Display(COptionsSheet::kProxy);
    EXPECT_TRUE(sheet->applyEnabled());
}

TEST_F(OptionsSheetTest, TheModemAndFaxProfileAreSelectedOnlyByTheirWholeName) {
    const std::vector<std::string> modems = {"Zeta Fax Modem", "Alpha 56K",
                                             "\xC3\x9C"
                                             "bermodem"};
    const std::vector<std::string> profiles = {"Work", "Home"};
    auto Load = [&](const std::string& modem, const std::string& profile) {
        Root().SetString(kPagerModem, modem);
        Root().SetString(kFaxProfile, profile);
        auto sheet = Sheet(modems, profiles);
        sheet->Display(COptionsSheet::kPager);
        return sheet;
    };

    auto sheet = Load("", "");
    // Sorted as shown; a name that is not plain text is shown as an unknown modem.
    EXPECT_EQ(sheet->pager().modems,
              (std::vector<std::string>{"Alpha 56K", "Unknown Modem", "Zeta Fax Modem"}));
    EXPECT_EQ(sheet->pager().faxProfiles, (std::vector<std::string>{"Home", "Work"}));
    EXPECT_EQ(sheet->pager().modemIndex, -1) << "an empty name selects nothing";
    EXPECT_EQ(sheet->pager().faxProfileIndex, -1);
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Text(kPagerModem), "");
    EXPECT_EQ(Text(kFaxProfile), "") << "the first profile was saved as if chosen";

    sheet = Load("Alpha", "Wo");  // only the start of a name
    EXPECT_EQ(sheet->pager().modemIndex, -1);
    EXPECT_EQ(sheet->pager().faxProfileIndex, -1);
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Text(kPagerModem), "") << "a modem that is not there is not kept";
    EXPECT_EQ(Text(kFaxProfile), "Wo") << "the profile box keeps what was typed";

    sheet = Load("zeta fax modem", "work");
    EXPECT_EQ(sheet->pager().pagerModem(), "Zeta Fax Modem");
    EXPECT_EQ(sheet->pager().faxProfileIndex, 1);
    sheet->pager().SelectModem(0);
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Text(kPagerModem), "Alpha 56K");
    EXPECT_EQ(Text(kFaxProfile), "Work");
}

TEST_F(OptionsSheetTest, TheTemporaryDialerLeavesNothingRegisteredWithTheTelephony) {
    auto sheet = Sheet({"Modem A", "Modem B"});
    sheet->Display(COptionsSheet::kPager);
    EXPECT_EQ(sheet->pager().modems.size(), 2u);
    EXPECT_EQ(ledger_.initialized, 1);
    EXPECT_TRUE(ledger_.open.empty()) << "a notice could reach the dialer after it is gone";
    EXPECT_EQ(ledger_.destroyed, ledger_.made);
    sheet->Display(COptionsSheet::kPager);
    EXPECT_EQ(ledger_.made, 1) << "a page loads once per opening";

    // No telephony at all leaves the list empty, and says nothing.
    COptionsSheet bare([] { return std::unique_ptr<Telephony>(); });
    bare.Display(COptionsSheet::kPager);
    EXPECT_TRUE(bare.pager().modems.empty());
    EXPECT_TRUE(prompt_->shown.empty());
}

TEST_F(OptionsSheetTest, StoredPasswordsAreNeverShownAndKeptUntilChangedOrRemoved) {
    Root().SetString(kSmtpPassword, "s3cret");
    Root().SetString(kNewsPassword, "n3ws");
    auto sheet = Sheet();
    sheet->Display(COptionsSheet::kServers);
    COptionsSvr& svr = sheet->servers();
    EXPECT_TRUE(svr.smtpPassword.stored);
    EXPECT_EQ(svr.smtpPassword.entered, "");
    EXPECT_TRUE(svr.newsPassword.stored);
    svr.smtpUserName = "someone";
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Text(kSmtpPassword), "s3cret") << "an untouched edit keeps the password";
    EXPECT_EQ(Text(kNewsPassword), "n3ws");

    svr.smtpPassword.entered = "n3w";
    svr.newsPassword.remove = true;
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_EQ(Text(kSmtpPassword), "n3w");
    EXPECT_FALSE(Has(kNewsPassword));

    sheet = Sheet();
    sheet->Display(COptionsSheet::kServers);
    EXPECT_TRUE(sheet->servers().smtpPassword.stored);
    EXPECT_FALSE(sheet->servers().newsPassword.stored);
}

TEST_F(OptionsSheetTest, PasswordsEnteredOnTheSheetGoToTheKeyringAndShowAsStored) {
    InstalledKeyring keyring;
    auto sheet = Sheet();
    sheet->Display(COptionsSheet::kServers);
    COptionsSvr& svr = sheet->servers();
    EXPECT_EQ(keyring->writes, 0) << "showing the page writes nothing";
    svr.smtpPassword.entered = "s3cret";
    ASSERT_TRUE(sheet->Confirm());
    ASSERT_EQ(keyring->items.size(), 1u);
    EXPECT_EQ(keyring->items.begin()->second, "s3cret");
    EXPECT_EQ(Text(kSmtpPassword), "") << "the store holds the marker only";
    std::string text, problem;
    ASSERT_EQ(ReadRootPassword(kSmtpPassword, 256, &text, &problem), PasswordRead::kOk);
    EXPECT_EQ(text, "s3cret");

    sheet = Sheet();
    sheet->Display(COptionsSheet::kServers);
    EXPECT_TRUE(sheet->servers().smtpPassword.stored);
    // A new one gets an item of its own; the old one stays, as a copy of the store may still
    // point to it, and so does the last when the password is removed.
    sheet->servers().smtpPassword.entered = "n3w";
    ASSERT_TRUE(sheet->Confirm());
    ASSERT_EQ(ReadRootPassword(kSmtpPassword, 256, &text, &problem), PasswordRead::kOk);
    EXPECT_EQ(text, "n3w");
    ASSERT_EQ(keyring->items.size(), 2u);
    sheet->servers().smtpPassword.entered.clear();
    sheet->servers().smtpPassword.remove = true;
    ASSERT_TRUE(sheet->Confirm());
    EXPECT_FALSE(Has(kSmtpPassword));
    EXPECT_EQ(keyring->items.size(), 2u);
}

TEST_F(OptionsSheetTest, UseDefaultsSetsTheProtocolFieldsOnly) {
    Root().SetDword(kTimeoutPop3, 5000);
    Root().SetDword(kConnectionAttempts, 9);
    Root().SetString(kTlsCaFile, "/ca.pem");
    Root().SetDword(kDisplayMesg, 9);  // no button of that number
    Root().SetDword(kRequestTimeLimit, 45);
    Root().SetString(kTimeServerUrl, "ntp://ntp.lan");
    Root().SetDword(kWebParallelRequests, 99);  // shown as the run takes it
    auto sheet = Sheet();
    ShowAll(*sheet);
    EXPECT_EQ(sheet->messages().displayMesg, -1);
    COptionsAdv& adv = sheet->advanced();
    EXPECT_EQ(adv.webParallel, "16");
    EXPECT_EQ(adv.requestTimeLimit, "45");
    adv.SetModified(false);
    adv.UseDefaults();
    EXPECT_TRUE(adv.modified());
    EXPECT_EQ(adv.pop3Timeout, "120");
    EXPECT_EQ(adv.attempts, "3");
    EXPECT_EQ(adv.requestTimeLimit, "600");
    EXPECT_EQ(adv.tlsCaFile, "/ca.pem");
    EXPECT_EQ(adv.timeServerUrl, "ntp://ntp.lan");
    ASSERT_TRUE(ConfirmEdited(*sheet));
    EXPECT_EQ(Number(kTimeoutPop3), 120000u);
    EXPECT_EQ(Number(kRequestTimeLimit), 600u);
    EXPECT_EQ(Text(kTimeServerUrl), "ntp://ntp.lan");
    EXPECT_EQ(Number(kDisplayMesg), 0u) << "none checked is saved as 0";

    // Devices beyond what the dialer reads are refused rather than dropped.
    std::string devices;
    for (int i = 0; i < 40; ++i)
        devices += "/dev/serial/by-id/usb-modem-" + std::to_string(i) + "\n";
    sheet->pager().modemDevices = devices;
    EXPECT_EQ(ConfirmEdited(*sheet).problem.field, COptionsPgr::kModemDevicesEdit);
}

TEST_F(OptionsSheetTest, TheMailNamesAndTheTimeServiceAreHeldToWhatTheirReadersTake) {
    RegKey root = Root();
    root.SetString(kMyName, "results@example.org");
    root.SetString(kHostName, "desk.example.org");
    root.SetString(kTimeServerUrl, "ntp://[::1]:1123");
    root.SetDword(kRequestTimeLimit, 0);  // read as the default wherever a request starts
    auto sheet = Sheet();
    ShowAll(*sheet);
    COptionsSvr& svr = sheet->servers();
    COptionsAdv& adv = sheet->advanced();
    EXPECT_EQ(svr.myName, "results@example.org");
    EXPECT_EQ(svr.hostName, "desk.example.org");
    EXPECT_EQ(adv.timeServerUrl, "ntp://[::1]:1123");
    EXPECT_EQ(adv.requestTimeLimit, "600");

    // 251 bytes is what the mail queue's 252-byte buffer holds; 252 would read as nothing.
    std::string e;
    for (int i = 0; i < 130; ++i) e += "\xC3\xA9";
    svr.myName = e.substr(0, 250) + "xy";
    auto outcome = ConfirmEdited(*sheet);
    EXPECT_EQ(outcome.page, COptionsSheet::kServers);
    EXPECT_EQ(outcome.problem.field, COptionsSvr::kMyNameEdit);
    EXPECT_NE(outcome.problem.message.find("no more than 251 bytes"), std::string::npos)
        << outcome.problem.message;
    // Each goes into one command to the server: a blank would have every session refused.
    for (const char* bad : {"John Smith", "<me@example.org>", "me@example.org\t"}) {
        svr.myName = bad;
        outcome = ConfirmEdited(*sheet);
        EXPECT_EQ(outcome.problem.field, COptionsSvr::kMyNameEdit) << bad;
        EXPECT_EQ(outcome.problem.message,
                  "Please enter one e-mail address, without blanks, \"<\" or \">\".");
    }
    svr.myName = e.substr(0, 250) + "x";
    svr.hostName = "my desk";
    outcome = ConfirmEdited(*sheet);
    EXPECT_EQ(outcome.problem.field, COptionsSvr::kHostNameEdit);
    EXPECT_EQ(outcome.problem.message, "Please enter the computer's name without blanks.");
    svr.hostName = std::string(252, 'h');
    EXPECT_EQ(ConfirmEdited(*sheet).problem.field, COptionsSvr::kHostNameEdit);
    svr.hostName = std::string(251, 'h');

    // Every address the clock step asks is taken, and none that it would refuse.
    for (const char* good : {"http://time.nist.gov:13/", "HTTPS://time.example.org/now",
                             "time.nist.gov", "ntp://pool.ntp.org", "NTP://[2001:db8::1]:123"}) {
        adv.timeServerUrl = good;
        EXPECT_FALSE(ConfirmEdited(*sheet).problem) << good;
    }
    for (const char* bad : {"ftp://time.example.org/", "time.nist.gov:13", "http://", "ntp://",
                            "ntp://host:", "ntp://host:70000", "ntp://a b", "ntp://[::1"}) {
        adv.timeServerUrl = bad;
        outcome = ConfirmEdited(*sheet);
        EXPECT_EQ(outcome.page, COptionsSheet::kAdvanced) << bad;
        EXPECT_EQ(outcome.problem.field, COptionsAdv::kTimeServerUrlEdit) << bad;
        EXPECT_EQ(outcome.problem.message, "The link is not formed correctly.") << bad;
    }
    // The clock step reads the address with a 1024-byte buffer.
    const std::string url = "http://time.example.org/" + std::string(1023 - 24, 'p');
    adv.timeServerUrl = url + "p";
    outcome = ConfirmEdited(*sheet);
    EXPECT_EQ(outcome.problem.field, COptionsAdv::kTimeServerUrlEdit);
    EXPECT_NE(outcome.problem.message.find("no more than 1023 bytes"), std::string::npos);
    adv.timeServerUrl = url;
    adv.requestTimeLimit = "1200";
    ASSERT_TRUE(ConfirmEdited(*sheet));

    // What the sheet wrote, the readers take whole.
    std::string read;
    ASSERT_TRUE(GetMyName(read));
    EXPECT_EQ(read, e.substr(0, 250) + "x");
    ASSERT_TRUE(GetHostName(read));
    EXPECT_EQ(read, std::string(251, 'h'));
    ASSERT_TRUE(ReadRootText(kTimeServerUrl, read, 1024));
    EXPECT_EQ(read, url);
    EXPECT_EQ(ReadRootDword(kRequestTimeLimit, 0), 1200u);

    // Emptied, each reads as not set.
    svr.myName.clear();
    svr.hostName.clear();
    adv.timeServerUrl.clear();
    ASSERT_TRUE(ConfirmEdited(*sheet));
    ASSERT_TRUE(GetMyName(read));
    EXPECT_EQ(read, "");
    ASSERT_TRUE(GetHostName(read));
    EXPECT_EQ(read, "");
    ASSERT_TRUE(ReadRootText(kTimeServerUrl, read, 1024));
    EXPECT_EQ(read, "");
}

TEST_F(OptionsSheetTest, AValueStoredTooLongIsShownWholeAndRefusedRatherThanEmptied) {
    // Stored by other means: the readers see nothing of it (the clock step names it in its
    // error). Shown empty, a save would quietly turn it into "not set".
    const std::string longName(300, 'n');
    const std::string longUrl = "http://time.example.org/" + std::string(2000, 'p');
    Root().SetString(kMyName, longName);
    Root().SetString(kTimeServerUrl, longUrl);
    auto sheet = Sheet();
    ShowAll(*sheet);
    EXPECT_EQ(sheet->servers().myName, longName);
    EXPECT_EQ(sheet->advanced().timeServerUrl, longUrl);
    auto outcome = ConfirmEdited(*sheet);
    EXPECT_EQ(outcome.problem.field, COptionsSvr::kMyNameEdit);
    sheet->servers().myName = "me@example.org";
    EXPECT_EQ(ConfirmEdited(*sheet).problem.field, COptionsAdv::kTimeServerUrlEdit);
    EXPECT_EQ(Text(kMyName), longName) << "nothing is written while a page has a problem";
    EXPECT_EQ(Text(kTimeServerUrl), longUrl);

    // Left untouched, such pages hold nobody up, and their values stay as stored.
    auto untouched = Sheet();
    ShowAll(*untouched);
    EXPECT_TRUE(untouched->Confirm());
    EXPECT_EQ(Text(kMyName), longName);
    EXPECT_EQ(Text(kTimeServerUrl), longUrl);
}

}  // namespace

namespace {

TEST_F(OptionsSheetTest, ValuesThePagesCannotReadAreKeptUnlessTheUserChangesThem) {
    Root().SetValue(kHttpMaxResponse, REG_SZ, Bytes{'1', '0', '0', '0', 0});
    Root().SetDword(kFaxProgram, 7);
    Root().SetString(kSmtpServer, std::string(400, 's'));
    Root().SetString(kWebBrowser, std::string(300, 'w'));
    Root().SetDword(kTimeoutHttp, 45500);
    Root().SetString(kPagerModem, "USB Modem 1");
    auto sheet = Sheet({"Modem A"});
    ShowAll(*sheet);
    EXPECT_EQ(sheet->servers().smtpServer, std::string(400, 's')) << "shown whole, not empty";
    sheet->messages().displayMesg = 2;
    sheet->messages().SetModified();
    ASSERT_TRUE(sheet->Confirm());

    DWORD type = 0;
    Bytes data;
    ASSERT_EQ(Root().QueryValue(kHttpMaxResponse, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ}) << "another program's value, not the page's default";
    ASSERT_EQ(Root().QueryValue(kFaxProgram, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_DWORD});
    EXPECT_EQ(Text(kSmtpServer), std::string(400, 's'));
    EXPECT_EQ(Text(kWebBrowser), std::string(300, 'w'));
    EXPECT_EQ(Number(kDisplayMesg), 2u) << "what the user changed is written";
    EXPECT_EQ(Number(kTimeoutHttp), 45000u) << "a value the page reads is written as shown";
    EXPECT_EQ(Text(kPagerModem), "") << "a modem not present is no choice";

    // Values a page cannot take, on a page the user did not change, hold nobody up and stay.
    Root().SetDword(kHostName, 5);
    Root().SetValue(kRequestTimeLimit, REG_SZ, Bytes{'3', '0', '0', 0});
    Root().SetDword(kProxyPort, 70000);  // the Proxy page counts as changed once shown
    auto odd = Sheet({"Modem A"});
    ShowAll(*odd);
    ASSERT_TRUE(odd->Confirm());
    ASSERT_EQ(Root().QueryValue(kHostName, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_DWORD});
    ASSERT_EQ(Root().QueryValue(kRequestTimeLimit, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, DWORD{REG_SZ});
    EXPECT_EQ(Number(kProxyPort), 70000u);

    // Changed by the user, the same values are written.
    auto again = Sheet({"Modem A"});
    ShowAll(*again);
    again->helpers().webBrowser = "/usr/bin/firefox";
    again->helpers().SetModified();
    ASSERT_TRUE(again->Confirm());
    EXPECT_EQ(Text(kWebBrowser), "/usr/bin/firefox");
}

}  // namespace

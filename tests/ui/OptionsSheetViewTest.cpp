#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <filesystem>

#include "app/Autostart.h"
#include "app/OptionsSheet.h"
#include "fakes/NamedLines.h"
#include "fixtures/Fixtures.h"
#include "settings/Settings.h"
#include "ui/OptionsSheetView.h"

namespace {

using namespace settings;

class OptionsSheetViewTest : public SandboxTest {
protected:
    void Open(std::vector<std::string> modems = {"Hayes Accura 56K", "USRobotics 5637"}) {
        sheet_ = std::make_unique<COptionsSheet>(
            [this, modems] { return std::make_unique<NamedLines>(modems, ledger_); },
            [] { return std::vector<std::string>{"Office"}; });
        view_ = std::make_unique<COptionsSheetView>(*sheet_);
        view_->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view_.get()));
    }
    void TearDown() override {
        view_.reset();
        sheet_.reset();
        SandboxTest::TearDown();
    }
    template <typename W>
    W* Control(int page, int field) {
        auto* w = qobject_cast<W*>(view_->control(page, field));
        EXPECT_NE(w, nullptr) << page << " " << field;
        return w;
    }
    void Show(int page) { view_->tabs()->setCurrentIndex(page); }
    // Replaces an edit's text by typing, as a user would.
    void Type(QLineEdit* edit, const QString& text) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
    }
    // Clicks a check box or radio button on its indicator, at its left end.
    static void Tick(QAbstractButton* button) {
        QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
    }
    QPushButton* Button(QDialogButtonBox::StandardButton which) {
        return view_->buttons()->button(which);
    }
    bool Has(const char* name) {
        return Root().QueryValue(name, nullptr, nullptr) == ERROR_SUCCESS;
    }

    TelephonyLedger ledger_;
    std::unique_ptr<COptionsSheet> sheet_;
    std::unique_ptr<COptionsSheetView> view_;
};

TEST_F(OptionsSheetViewTest, WhatIsTypedIsWrittenOnOkOnly) {
    Open();
    EXPECT_EQ(view_->windowTitle(), "Options");
    QStringList titles;
    for (int i = 0; i < view_->tabs()->count(); ++i) titles << view_->tabs()->tabText(i);
    EXPECT_EQ(titles,
              QStringList({"Servers", "Pager", "Helpers", "Messages", "Advanced", "Proxy"}));
    EXPECT_FALSE(Button(QDialogButtonBox::Apply)->isEnabled());

    Type(Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kSmtpServerEdit),
         "mail.example.org");
    EXPECT_TRUE(Button(QDialogButtonBox::Apply)->isEnabled());
    Control<QComboBox>(COptionsSheet::kServers, COptionsSvr::kSmtpSecurityChoice)
        ->setCurrentIndex(2);
    Type(Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kMyNameEdit),
         "results@example.org");
    Type(Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kHostNameEdit),
         "desk.example.org");
    Show(COptionsSheet::kAdvanced);
    auto* http = Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kHttpTimeout);
    EXPECT_EQ(http->text(), "60");
    Type(http, "4x5");  // digits only
    EXPECT_EQ(http->text(), "45");
    auto* limit = Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kRequestTimeLimitEdit);
    EXPECT_EQ(limit->text(), "600");
    Type(limit, "1-200");
    EXPECT_EQ(limit->text(), "1200");
    auto* time = Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kTimeServerUrlEdit);
    EXPECT_EQ(time->text(), "");
    EXPECT_EQ(time->placeholderText(), "http://time.nist.gov:13/") << "what empty means";
    Type(time, "ntp://ntp.example.org");
    Show(COptionsSheet::kMessages);
    Tick(Control<QRadioButton>(COptionsSheet::kMessages, COptionsMsg::kNever));
    Tick(Control<QCheckBox>(COptionsSheet::kMessages, COptionsMsg::kAutoStart));
    auto* notifications =
        Control<QCheckBox>(COptionsSheet::kMessages, COptionsMsg::kDesktopNotificationsBox);
    EXPECT_TRUE(notifications->isChecked()) << "on by default";
    Tick(notifications);
    Show(COptionsSheet::kPager);
    auto* modems = Control<QComboBox>(COptionsSheet::kPager, COptionsPgr::kModemList);
    EXPECT_EQ(modems->count(), 2);
    EXPECT_EQ(modems->currentIndex(), -1);
    modems->setCurrentIndex(1);
    Control<QSlider>(COptionsSheet::kPager, COptionsPgr::kDelaySlider)->setValue(30);
    EXPECT_FALSE(Has(kSmtpServer)) << "nothing is written before OK";

    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_EQ(view_->result(), QDialog::Accepted);
    EXPECT_FALSE(view_->isVisible());
    EXPECT_EQ(ReadString(Root(), kSmtpServer), "mail.example.org");
    EXPECT_EQ(ReadDword(Root(), kSmtpSecurity, 9), 2u);
    EXPECT_EQ(ReadDword(Root(), kTimeoutHttp, 0), 45000u);
    EXPECT_EQ(ReadString(Root(), kMyName), "results@example.org");
    EXPECT_EQ(ReadString(Root(), kHostName), "desk.example.org");
    EXPECT_EQ(ReadDword(Root(), kRequestTimeLimit, 0), 1200u);
    EXPECT_EQ(ReadString(Root(), kTimeServerUrl), "ntp://ntp.example.org");
    EXPECT_EQ(ReadDword(Root(), kDisplayMesg, 9), 2u);
    EXPECT_EQ(ReadDword(Root(), kAutoStartLM, 9), 0u);
    EXPECT_EQ(ReadDword(Root(), kDesktopNotifications, 9), 0u);
    EXPECT_EQ(ReadString(Root(), kPagerModem), "USRobotics 5637");
    EXPECT_EQ(ReadDword(Root(), kPagerDelay, 0), 30u);
    EXPECT_FALSE(Has(kProxyPort)) << "the Proxy page was never shown";
    EXPECT_FALSE(Has(kWebBrowser)) << "the Helpers page was never shown";
}

TEST_F(OptionsSheetViewTest, CancelWritesNothing) {
    Root().SetDword(kTimeoutSmtp, 45500);
    Root().SetDword(kRequestTimeLimit, 90);
    Root().SetString(kMyName, "old@example.org");
    Open();
    Type(Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kNewsServerEdit), "news.test");
    auto* name = Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kMyNameEdit);
    EXPECT_EQ(name->text(), "old@example.org");
    Type(name, "new@example.org");
    Show(COptionsSheet::kAdvanced);
    auto* limit = Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kRequestTimeLimitEdit);
    EXPECT_EQ(limit->text(), "90");
    Type(Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kTimeServerUrlEdit),
         "http://time.test/");
    QPushButton* defaults = nullptr;
    for (auto* b : view_->findChildren<QPushButton*>())
        if (b->text() == "Use Defaults") defaults = b;
    ASSERT_NE(defaults, nullptr);
    QTest::mouseClick(defaults, Qt::LeftButton);
    EXPECT_EQ(Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kSmtpTimeout)->text(),
              "120");
    EXPECT_EQ(limit->text(), "600") << "Use Defaults resets the request limit too";
    QTest::mouseClick(Button(QDialogButtonBox::Cancel), Qt::LeftButton);
    EXPECT_EQ(view_->result(), QDialog::Rejected);
    EXPECT_FALSE(Has(kNewsServer));
    EXPECT_EQ(ReadDword(Root(), kTimeoutSmtp, 0), 45500u);
    EXPECT_EQ(ReadDword(Root(), kRequestTimeLimit, 0), 90u);
    EXPECT_EQ(ReadString(Root(), kMyName), "old@example.org");
    EXPECT_FALSE(Has(kTimeServerUrl));
    EXPECT_TRUE(prompt_->shown.empty());
}

TEST_F(OptionsSheetViewTest, ABadValueIsToldAndKeepsTheSheetOpenOnItsField) {
    Open();
    Show(COptionsSheet::kAdvanced);
    auto* attempts = Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kAttempts);
    Type(attempts, "21");
    Type(Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kSmtpServerEdit), "x.test");
    Show(COptionsSheet::kProxy);
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text, "Please enter an integer between 0 and 20.");
    EXPECT_TRUE(view_->isVisible());
    EXPECT_EQ(view_->tabs()->currentIndex(), COptionsSheet::kAdvanced);
    EXPECT_EQ(view_->focusWidget(), attempts);
    EXPECT_FALSE(Has(kSmtpServer));
    EXPECT_FALSE(Has(kConnectionAttempts));

    // Apply with the value mended writes and keeps the sheet open.
    Type(attempts, "20");
    QTest::mouseClick(Button(QDialogButtonBox::Apply), Qt::LeftButton);
    EXPECT_TRUE(view_->isVisible());
    EXPECT_EQ(ReadDword(Root(), kConnectionAttempts, 0), 20u);
    EXPECT_EQ(ReadString(Root(), kSmtpServer), "x.test");
    EXPECT_FALSE(Button(QDialogButtonBox::Apply)->isEnabled());
}

TEST_F(OptionsSheetViewTest, AMistypedSenderOrTimeServiceIsToldOnItsField) {
    Open();
    auto* name = Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kMyNameEdit);
    Type(name, "John Smith");
    Show(COptionsSheet::kAdvanced);
    auto* time = Control<QLineEdit>(COptionsSheet::kAdvanced, COptionsAdv::kTimeServerUrlEdit);
    Type(time, "time.nist.gov:13");
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].text,
              "Please enter one e-mail address, without blanks, \"<\" or \">\".");
    EXPECT_EQ(view_->tabs()->currentIndex(), COptionsSheet::kServers);
    EXPECT_EQ(view_->focusWidget(), name);

    Type(name, "john@example.org");
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    ASSERT_EQ(prompt_->shown.size(), 2u);
    EXPECT_EQ(prompt_->shown[1].text, "The link is not formed correctly.");
    EXPECT_EQ(view_->tabs()->currentIndex(), COptionsSheet::kAdvanced);
    EXPECT_EQ(view_->focusWidget(), time);
    EXPECT_TRUE(view_->isVisible());
    EXPECT_FALSE(Has(kMyName)) << "nothing is written while a page has a problem";

    Type(time, "http://time.nist.gov:13/");
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_EQ(view_->result(), QDialog::Accepted);
    EXPECT_EQ(ReadString(Root(), kMyName), "john@example.org");
    EXPECT_EQ(ReadString(Root(), kTimeServerUrl), "http://time.nist.gov:13/");
}

TEST_F(OptionsSheetViewTest, APasswordIsNeverShownAndCanBeRemoved) {
    Root().SetString(kSmtpPassword, "s3cret");
    Open();
    auto* password = Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kSmtpPasswordEdit);
    EXPECT_EQ(password->text(), "");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(password->placeholderText().isEmpty()) << "the user is told one is stored";
    QTest::mouseClick(Button(QDialogButtonBox::Apply), Qt::LeftButton);  // disabled: no-op
    Type(Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kSmtpUserEdit), "mailer");
    QTest::mouseClick(Button(QDialogButtonBox::Apply), Qt::LeftButton);
    EXPECT_EQ(ReadString(Root(), kSmtpPassword), "s3cret");
    EXPECT_EQ(ReadString(Root(), kSmtpUserName), "mailer");

    QCheckBox* remove = nullptr;
    for (auto* box : view_->findChildren<QCheckBox*>())
        if (box->text() == "Remove the stored password" && box->isEnabled()) remove = box;
    ASSERT_NE(remove, nullptr);
    Tick(remove);
    EXPECT_FALSE(password->isEnabled());
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_FALSE(Has(kSmtpPassword));
}

TEST_F(OptionsSheetViewTest, ASaveThatFailsKeepsTheSheetOpenWithWhatWasEntered) {
    Root().SetString(kSmtpPassword, "s3cret");
    Open();
    auto* password = Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kSmtpPasswordEdit);
    Type(password, "NEWpw123");
    Type(Control<QLineEdit>(COptionsSheet::kServers, COptionsSvr::kSmtpServerEdit),
         "smtp.example.org");
    {
        StoreWriteLock other(*store_, Path("registry.db"));
        ASSERT_TRUE(other.held());
        QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
        EXPECT_TRUE(view_->isVisible()) << "closing would lose what was typed";
        ASSERT_FALSE(prompt_->shown.empty());
        EXPECT_NE(prompt_->shown.back().text.find("could not be saved"), std::string::npos);
        EXPECT_EQ(password->text(), "NEWpw123") << "the new password is still to be saved";
        EXPECT_TRUE(Button(QDialogButtonBox::Apply)->isEnabled());
    }
    EXPECT_EQ(ReadString(Root(), kSmtpPassword), "s3cret");
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_FALSE(view_->isVisible());
    EXPECT_EQ(ReadString(Root(), kSmtpPassword), "NEWpw123");
    EXPECT_EQ(ReadString(Root(), kSmtpServer), "smtp.example.org");
}

TEST_F(OptionsSheetViewTest, StartAtLogInWritesTheSessionEntryAndSaysWhyWhenItCannot) {
    // XDG_CONFIG_HOME is the sandbox's (see SandboxTest).
    const std::string entry = Path("config/autostart/quorvane.desktop");
    std::filesystem::create_directories(entry + "/in the way");
    Open();
    Show(COptionsSheet::kAdvanced);
    auto* box = Control<QCheckBox>(COptionsSheet::kAdvanced, COptionsAdv::kStartAtLoginBox);
    EXPECT_EQ(box->text(), "Start Quorvane when I log in");
    EXPECT_FALSE(box->isChecked());
    Tick(box);
    EXPECT_TRUE(box->isChecked());
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_TRUE(view_->isVisible());
    ASSERT_FALSE(prompt_->shown.empty());
    EXPECT_NE(prompt_->shown.back().text.find(entry + " cannot be written"), std::string::npos)
        << prompt_->shown.back().text;
    EXPECT_EQ(view_->tabs()->currentIndex(), COptionsSheet::kAdvanced);

    std::filesystem::remove_all(entry);
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_FALSE(view_->isVisible());
    EXPECT_TRUE(Autostart::IsOn());
    view_.reset();
    sheet_.reset();
    Open();
    Show(COptionsSheet::kAdvanced);
    EXPECT_TRUE(
        Control<QCheckBox>(COptionsSheet::kAdvanced, COptionsAdv::kStartAtLoginBox)->isChecked())
        << "shown as the entry is";
}

TEST_F(OptionsSheetViewTest, TheProxyEditsFollowTheirCheckBoxAndEveryPageIsPictured) {
    Root().SetString(kTlsCaFile, "/etc/quorvane/company-ca.pem");
    Open();
    Show(COptionsSheet::kProxy);
    auto* use = Control<QCheckBox>(COptionsSheet::kProxy, COptionsProxy::kUseProxyBox);
    auto* port = Control<QLineEdit>(COptionsSheet::kProxy, COptionsProxy::kPortEdit);
    EXPECT_EQ(port->text(), "8080");
    EXPECT_FALSE(port->isEnabled());
    EXPECT_TRUE(Button(QDialogButtonBox::Apply)->isEnabled()) << "shown counts as changed";
    Tick(use);
    EXPECT_TRUE(port->isEnabled());

    for (int i = 0; i < COptionsSheet::kPageCount; ++i) {
        Show(i);
        QTest::qWait(0);
        QString path = QString(QUORVANE_SCREENSHOT_DIR) + "/options-" +
                       view_->tabs()->tabText(i).toLower() + ".png";
        EXPECT_TRUE(view_->grab().save(path)) << path.toStdString();
    }
    QTest::mouseClick(Button(QDialogButtonBox::Ok), Qt::LeftButton);
    EXPECT_EQ(ReadDword(Root(), kUseProxy, 9), 1u);
    EXPECT_EQ(ReadString(Root(), kTlsCaFile, kPathBuffer), "/etc/quorvane/company-ca.pem");
}

}  // namespace

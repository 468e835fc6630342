#include "ui/OptionsSheetView.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSlider>
#include <QTabWidget>
#include <QVBoxLayout>

#include "monitors/TimeSync.h"
#include "platform/UserPrompt.h"

namespace {

QString Q(const std::string& text) {
    return QString::fromStdString(text);
}

QLabel* Explanation(const QString& text) {
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    return label;
}

}  // namespace

COptionsSheetView::COptionsSheetView(COptionsSheet& sheet, QWidget* parent)
    : QDialog(parent), sheet_(sheet) {
    setWindowTitle("Options");
    setModal(true);
    tabs_ = new QTabWidget(this);
    buttons_ = new QDialogButtonBox(
        QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addWidget(buttons_);

    BuildServers();
    BuildPager();
    BuildHelpers();
    BuildMessages();
    BuildAdvanced();
    BuildProxy();
    for (int i = 0; i < COptionsSheet::kPageCount; ++i)
        tabs_->addTab(pages_[static_cast<size_t>(i)], sheet_.page(i).title());

    connect(buttons_, &QDialogButtonBox::accepted, this, &COptionsSheetView::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &COptionsSheetView::reject);
    connect(buttons_->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, [this] {
        Confirm();
        UpdateApply();
    });
    connect(tabs_, &QTabWidget::currentChanged, this, &COptionsSheetView::OnPageShown);
    OnPageShown(tabs_->currentIndex());
}

QWidget* COptionsSheetView::control(int page, int field) const {
    auto it = controls_.find({page, field});
    return it == controls_.end() ? nullptr : it->second;
}

QLineEdit* COptionsSheetView::Edit(int page, int field, std::string* value, bool digitsOnly) {
    auto* edit = new QLineEdit;
    if (digitsOnly)
        edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    controls_[{page, field}] = edit;
    texts_[page].emplace_back(edit, value);
    connect(edit, &QLineEdit::textEdited, this, [this, page, value](const QString& text) {
        *value = text.toStdString();
        Changed(page);
    });
    return edit;
}

void COptionsSheetView::PasswordRow(QWidget* page, QFormLayout* form, int field,
                                    const QString& label, PasswordField* value) {
    auto* edit = new QLineEdit(page);
    edit->setEchoMode(QLineEdit::Password);
    auto* remove = new QCheckBox("Remove the stored password", page);
    controls_[{COptionsSheet::kServers, field}] = edit;
    passwords_.push_back({edit, remove, value});
    connect(edit, &QLineEdit::textEdited, this, [this, value](const QString& text) {
        value->entered = text.toStdString();
        Changed(COptionsSheet::kServers);
    });
    connect(remove, &QCheckBox::toggled, this, [this, value, edit](bool on) {
        if (rendering_) return;
        value->remove = on;
        edit->setEnabled(!on);
        Changed(COptionsSheet::kServers);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(remove);
    form->addRow(label, row);
}

void COptionsSheetView::BuildServers() {
    constexpr int P = COptionsSheet::kServers;
    COptionsSvr& svr = sheet_.servers();
    auto* page = new QWidget;
    auto* box = new QVBoxLayout(page);
    box->addWidget(Explanation(
        "Your outgoing (SMTP) mail server.  Your ISP should provide you the name of this "
        "server.  A typical name would be mail.example.com"));
    box->addWidget(Edit(P, COptionsSvr::kSmtpServerEdit, &svr.smtpServer));
    box->addWidget(Explanation(
        "Your network (NNTP) news server.  Your ISP should provide you the name of this "
        "server.  A typical name would be news.example.com"));
    box->addWidget(Edit(P, COptionsSvr::kNewsServerEdit, &svr.newsServer));

    auto security = [&](int field, int* value, const QString& tlsPort) {
        auto* combo = new QComboBox(page);
        combo->addItems({"No (plain text)", "STARTTLS required",
                         "TLS from the first byte (port " + tlsPort + " unless one is named)"});
        controls_[{P, field}] = combo;
        connect(combo, &QComboBox::currentIndexChanged, this, [this, value](int index) {
            if (rendering_) return;
            *value = index;
            Changed(COptionsSheet::kServers);
        });
        return combo;
    };

    auto* mail = new QGroupBox("Mail server login and security", page);
    auto* mailForm = new QFormLayout(mail);
    smtpSecurity_ = security(COptionsSvr::kSmtpSecurityChoice, &svr.smtpSecurity, "465");
    mailForm->addRow("Secure connection:", smtpSecurity_);
    mailForm->addRow("User name:", Edit(P, COptionsSvr::kSmtpUserEdit, &svr.smtpUserName));
    PasswordRow(mail, mailForm, COptionsSvr::kSmtpPasswordEdit, "Password:", &svr.smtpPassword);
    box->addWidget(mail);

    auto* sender = new QGroupBox("Result mail", page);
    auto* senderForm = new QFormLayout(sender);
    senderForm->addRow("Your e-mail address (the sender):",
                       Edit(P, COptionsSvr::kMyNameEdit, &svr.myName));
    QLineEdit* host = Edit(P, COptionsSvr::kHostNameEdit, &svr.hostName);
    host->setPlaceholderText("(this computer's own name)");
    senderForm->addRow("This computer's name for the mail server:", host);
    box->addWidget(sender);

    auto* news = new QGroupBox("News server login and security", page);
    auto* newsForm = new QFormLayout(news);
    newsSecurity_ = security(COptionsSvr::kNewsSecurityChoice, &svr.newsSecurity, "563");
    newsForm->addRow("Secure connection:", newsSecurity_);
    newsForm->addRow("User name:", Edit(P, COptionsSvr::kNewsUserEdit, &svr.newsUserName));
    PasswordRow(news, newsForm, COptionsSvr::kNewsPasswordEdit, "Password:", &svr.newsPassword);
    box->addWidget(news);
    box->addWidget(
        Explanation("A user name and password are only ever sent over a secure "
                    "connection."));
    box->addStretch();
    pages_.push_back(page);
}

void COptionsSheetView::BuildPager() {
    constexpr int P = COptionsSheet::kPager;
    COptionsPgr& pgr = sheet_.pager();
    auto* page = new QWidget;
    auto* box = new QVBoxLayout(page);
    box->addWidget(Explanation("Please select a modem to use to page you with."));
    modems_ = new QComboBox(page);
    controls_[{P, COptionsPgr::kModemList}] = modems_;
    connect(modems_, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (rendering_) return;
        sheet_.pager().SelectModem(index);
        Changed(COptionsSheet::kPager);
    });
    box->addWidget(modems_);

    box->addWidget(Explanation("Delay before entering the pager message."));
    delay_ = new QSlider(Qt::Horizontal, page);
    delay_->setRange(COptionsPgr::kDelayLow, COptionsPgr::kDelayHigh);
    controls_[{P, COptionsPgr::kDelaySlider}] = delay_;
    connect(delay_, &QSlider::valueChanged, this, [this](int value) {
        if (rendering_) return;
        sheet_.pager().pagerDelay = value;
        Changed(COptionsSheet::kPager);
    });
    auto* slider = new QHBoxLayout;
    slider->addWidget(new QLabel("Short", page));
    slider->addWidget(delay_, 1);
    slider->addWidget(new QLabel("Long", page));
    box->addLayout(slider);

    box->addWidget(
        Explanation("Modem devices to use, one a line (for example /dev/ttyACM0). "
                    "When none is listed, the serial ports that answer are used."));
    modemDevices_ = new QPlainTextEdit(page);
    modemDevices_->setTabChangesFocus(true);
    modemDevices_->setMaximumHeight(70);
    controls_[{P, COptionsPgr::kModemDevicesEdit}] = modemDevices_;
    connect(modemDevices_, &QPlainTextEdit::textChanged, this, [this] {
        if (rendering_) return;
        sheet_.pager().modemDevices = modemDevices_->toPlainText().toStdString();
        Changed(COptionsSheet::kPager);
    });
    box->addWidget(modemDevices_);

    auto* fax = new QGroupBox("FAX Settings ", page);
    auto* faxBox = new QVBoxLayout(fax);
    faxBox->addWidget(Explanation("Use this Microsoft Exchange profile to send FAXs"));
    faxProfile_ = new QComboBox(fax);
    faxProfile_->setEditable(true);
    faxProfile_->setInsertPolicy(QComboBox::NoInsert);
    controls_[{P, COptionsPgr::kFaxProfileBox}] = faxProfile_;
    connect(faxProfile_, &QComboBox::currentTextChanged, this, [this](const QString& text) {
        if (rendering_) return;
        sheet_.pager().SetFaxProfile(text.toStdString());
        Changed(COptionsSheet::kPager);
    });
    faxBox->addWidget(faxProfile_);
    faxBox->addWidget(Explanation("Fax program (sendfax when empty):"));
    faxBox->addWidget(Edit(P, COptionsPgr::kFaxProgramEdit, &pgr.faxProgram));
    box->addWidget(fax);
    box->addStretch();
    pages_.push_back(page);
}

void COptionsSheetView::BuildHelpers() {
    constexpr int P = COptionsSheet::kHelpers;
    COptionsHlp& hlp = sheet_.helpers();
    auto* page = new QWidget;
    auto* box = new QVBoxLayout(page);
    box->addWidget(
        Explanation("Choose the web browser, news and mail readers you like to use "
                    "if you want to override the default."));
    auto* form = new QFormLayout;
    form->addRow("The full path to the web browser",
                 Edit(P, COptionsHlp::kWebBrowserEdit, &hlp.webBrowser));
    form->addRow("The full path to the mail reader",
                 Edit(P, COptionsHlp::kMailReaderEdit, &hlp.mailReader));
    form->addRow("The full path to the news reader",
                 Edit(P, COptionsHlp::kNewsReaderEdit, &hlp.newsReader));
    box->addLayout(form);
    box->addStretch();
    pages_.push_back(page);
}

void COptionsSheetView::BuildMessages() {
    constexpr int P = COptionsSheet::kMessages;
    auto* page = new QWidget;
    auto* box = new QVBoxLayout(page);
    auto* group = new QGroupBox("When do you want log messages to popup?", page);
    auto* groupBox = new QVBoxLayout(group);
    display_ = new QButtonGroup(page);
    const std::pair<int, const char*> radios[] = {
        {COptionsMsg::kAlways, "Always popup log messages."},
        {COptionsMsg::kErrorsOnly, "Display errors and warnings only."},
        {COptionsMsg::kNever, "Never display log messages."},
    };
    int number = 0;
    for (const auto& [field, text] : radios) {
        auto* radio = new QRadioButton(text, group);
        display_->addButton(radio, number++);
        controls_[{P, field}] = radio;
        groupBox->addWidget(radio);
    }
    connect(display_, &QButtonGroup::idToggled, this, [this](int id, bool on) {
        if (rendering_ || !on) return;
        sheet_.messages().displayMesg = id;
        Changed(COptionsSheet::kMessages);
    });
    box->addWidget(group);
    autoStart_ = new QCheckBox("Automaticly start Lumetta every time Quorvane starts.", page);
    controls_[{P, COptionsMsg::kAutoStart}] = autoStart_;
    connect(autoStart_, &QCheckBox::toggled, this, [this](bool on) {
        if (rendering_) return;
        sheet_.messages().autoStartLM = on;
        Changed(COptionsSheet::kMessages);
    });
    box->addWidget(autoStart_);
    desktopNotifications_ = new QCheckBox("Show log messages as desktop notifications too.", page);
    controls_[{P, COptionsMsg::kDesktopNotificationsBox}] = desktopNotifications_;
    connect(desktopNotifications_, &QCheckBox::toggled, this, [this](bool on) {
        if (rendering_) return;
        sheet_.messages().desktopNotifications = on;
        Changed(COptionsSheet::kMessages);
    });
    box->addWidget(desktopNotifications_);
    box->addStretch();
    pages_.push_back(page);
}

void COptionsSheetView::BuildAdvanced() {
    constexpr int P = COptionsSheet::kAdvanced;
    COptionsAdv& adv = sheet_.advanced();
    auto* page = new QWidget;
    auto* box = new QVBoxLayout(page);
    box->addWidget(Explanation("Internet protocol options and configuration  parameters."));
    auto* form = new QFormLayout;
    form->addRow("Connection timeout",
                 Edit(P, COptionsAdv::kConnectionTimeout, &adv.connectionTimeout, true));
    form->addRow("Connection attempts", Edit(P, COptionsAdv::kAttempts, &adv.attempts, true));
    form->addRow("HTTP command timeout",
                 Edit(P, COptionsAdv::kHttpTimeout, &adv.httpTimeout, true));
    form->addRow("NNTP command timeout",
                 Edit(P, COptionsAdv::kNntpTimeout, &adv.nntpTimeout, true));
    form->addRow("POP3 command timeout",
                 Edit(P, COptionsAdv::kPop3Timeout, &adv.pop3Timeout, true));
    form->addRow("SMTP command timeout",
                 Edit(P, COptionsAdv::kSmtpTimeout, &adv.smtpTimeout, true));
    form->addRow("Longest time one request may take",
                 Edit(P, COptionsAdv::kRequestTimeLimitEdit, &adv.requestTimeLimit, true));
    box->addLayout(form);
    box->addWidget(Explanation(
        "Time-outs are in seconds; 0 uses the program's own. A request (a web document, a "
        "mail session) ends after the longest time whatever the server does."));
    auto* defaults = new QPushButton("Use Defaults", page);
    connect(defaults, &QPushButton::clicked, this, [this] {
        sheet_.advanced().UseDefaults();
        Render(COptionsSheet::kAdvanced);
        Changed(COptionsSheet::kAdvanced);
    });
    box->addWidget(defaults, 0, Qt::AlignLeft);

    auto* more = new QFormLayout;
    more->addRow("Largest web response, in bytes",
                 Edit(P, COptionsAdv::kHttpMaxResponseEdit, &adv.httpMaxResponse, true));
    more->addRow("Web documents checked at once (1 to 16)",
                 Edit(P, COptionsAdv::kWebParallelEdit, &adv.webParallel, true));
    followRedirects_ =
        new QCheckBox("Follow every web redirection (301, 303, 307 and 308 as well as 302)", page);
    controls_[{P, COptionsAdv::kFollowRedirectsBox}] = followRedirects_;
    connect(followRedirects_, &QCheckBox::toggled, this, [this](bool on) {
        if (rendering_) return;
        sheet_.advanced().followRedirects = on;
        Changed(COptionsSheet::kAdvanced);
    });
    more->addRow(followRedirects_);
    keepAlive_ = new QCheckBox("Keep web connections open for the next request", page);
    controls_[{P, COptionsAdv::kHttpKeepAliveBox}] = keepAlive_;
    connect(keepAlive_, &QCheckBox::toggled, this, [this](bool on) {
        if (rendering_) return;
        sheet_.advanced().httpKeepAlive = on;
        Changed(COptionsSheet::kAdvanced);
    });
    more->addRow(keepAlive_);
    // The session's autostart entry, written or removed as the page is saved.
    auto* atLogin = new QCheckBox("Start Quorvane when I log in", page);
    controls_[{P, COptionsAdv::kStartAtLoginBox}] = atLogin;
    connect(atLogin, &QCheckBox::toggled, this, [this](bool on) {
        if (rendering_) return;
        sheet_.advanced().startAtLogin = on;
        Changed(COptionsSheet::kAdvanced);
    });
    more->addRow(atLogin);
    more->addRow("Further trusted authorities (PEM file)",
                 Edit(P, COptionsAdv::kTlsCaFileEdit, &adv.tlsCaFile));
    more->addRow("Dial-up program (nmcli when empty)",
                 Edit(P, COptionsAdv::kDialUpProgramEdit, &adv.dialUpProgram));
    QLineEdit* time = Edit(P, COptionsAdv::kTimeServerUrlEdit, &adv.timeServerUrl);
    time->setPlaceholderText(kDefaultTimeServerUrl);
    more->addRow("Time service (an http:// daytime or an ntp:// address)", time);
    box->addLayout(more);
    box->addStretch();
    pages_.push_back(page);
}

void COptionsSheetView::BuildProxy() {
    constexpr int P = COptionsSheet::kProxy;
    COptionsProxy& proxy = sheet_.proxy();
    auto* page = new QWidget;
    auto* box = new QVBoxLayout(page);
    box->addWidget(
        Explanation("Enter the address and port number of your proxy server, if you "
                    "use a Proxy server to connect to the Internet."));
    useProxy_ = new QCheckBox("Use Proxy Server", page);
    controls_[{P, COptionsProxy::kUseProxyBox}] = useProxy_;
    box->addWidget(useProxy_);
    auto* form = new QFormLayout;
    QLineEdit* address = Edit(P, COptionsProxy::kAddressEdit, &proxy.proxyServer);
    QLineEdit* port = Edit(P, COptionsProxy::kPortEdit, &proxy.proxyPort, true);
    form->addRow("Proxy Address", address);
    form->addRow("Port", port);
    box->addLayout(form);
    connect(useProxy_, &QCheckBox::toggled, this, [this, address, port](bool on) {
        address->setEnabled(on);
        port->setEnabled(on);
        if (rendering_) return;
        sheet_.proxy().useProxy = on;
        Changed(COptionsSheet::kProxy);
    });
    box->addStretch();
    pages_.push_back(page);
}

void COptionsSheetView::OnPageShown(int index) {
    if (index < 0) return;
    bool first = !sheet_.page(index).loaded();
    sheet_.Display(index);
    if (first) Render(index);
    UpdateApply();
}

void COptionsSheetView::Render(int index) {
    rendering_ = true;
    for (auto& [edit, value] : texts_[index]) edit->setText(Q(*value));
    switch (index) {
        case COptionsSheet::kServers:
            smtpSecurity_->setCurrentIndex(sheet_.servers().smtpSecurity);
            newsSecurity_->setCurrentIndex(sheet_.servers().newsSecurity);
            for (auto& p : passwords_) {
                p.edit->clear();
                p.edit->setPlaceholderText(
                    p.value->stored ? "(a password is stored; type to replace it)" : "");
                p.remove->setChecked(p.value->remove);
                p.remove->setEnabled(p.value->stored);
                p.edit->setEnabled(!p.value->remove);
            }
            break;
        case COptionsSheet::kPager: {
            const COptionsPgr& pgr = sheet_.pager();
            modems_->clear();
            for (const auto& m : pgr.modems) modems_->addItem(Q(m));
            modems_->setCurrentIndex(pgr.modemIndex);
            delay_->setValue(pgr.pagerDelay);
            faxProfile_->clear();
            for (const auto& f : pgr.faxProfiles) faxProfile_->addItem(Q(f));
            faxProfile_->setCurrentIndex(pgr.faxProfileIndex);
            faxProfile_->setEditText(Q(pgr.faxProfile));
            modemDevices_->setPlainText(Q(pgr.modemDevices));
            break;
        }
        case COptionsSheet::kMessages: {
            const COptionsMsg& msg = sheet_.messages();
            display_->setExclusive(false);
            for (QAbstractButton* b : display_->buttons())
                b->setChecked(display_->id(b) == msg.displayMesg);
            display_->setExclusive(true);
            autoStart_->setChecked(msg.autoStartLM);
            desktopNotifications_->setChecked(msg.desktopNotifications);
            break;
        }
        case COptionsSheet::kAdvanced:
            followRedirects_->setChecked(sheet_.advanced().followRedirects);
            keepAlive_->setChecked(sheet_.advanced().httpKeepAlive);
            qobject_cast<QCheckBox*>(control(index, COptionsAdv::kStartAtLoginBox))
                ->setChecked(sheet_.advanced().startAtLogin);
            break;
        case COptionsSheet::kProxy:
            useProxy_->setChecked(sheet_.proxy().useProxy);
            control(index, COptionsProxy::kAddressEdit)->setEnabled(sheet_.proxy().useProxy);
            control(index, COptionsProxy::kPortEdit)->setEnabled(sheet_.proxy().useProxy);
            break;
        default:
            break;
    }
    rendering_ = false;
}

void COptionsSheetView::Changed(int page) {
    if (rendering_) return;
    sheet_.page(page).SetModified();
    UpdateApply();
}

void COptionsSheetView::UpdateApply() {
    buttons_->button(QDialogButtonBox::Apply)->setEnabled(sheet_.applyEnabled());
}

bool COptionsSheetView::Confirm() {
    COptionsSheet::Outcome outcome = sheet_.Confirm();
    if (outcome.problem) {
        UserPrompt::Get().Tell(outcome.problem.message);
        tabs_->setCurrentIndex(outcome.page);
        if (QWidget* field = control(outcome.page, outcome.problem.field)) {
            field->setFocus(Qt::OtherFocusReason);
            if (auto* edit = qobject_cast<QLineEdit*>(field)) edit->selectAll();
        }
        return false;
    }
    // What was typed as a new password is stored now, when its page was: the page shows it
    // as such. A page that could not be saved keeps what the user entered, to try again.
    if (sheet_.servers().loaded() && !sheet_.servers().modified()) {
        for (auto& p : passwords_) {
            if (p.value->remove) p.value->stored = false;
            if (!p.value->entered.empty()) p.value->stored = true;
            p.value->remove = false;
            p.value->entered.clear();
        }
        Render(COptionsSheet::kServers);
    }
    if (outcome.saveFailed && !sheet_.advanced().autostartError().empty()) {
        // The store took the page; the session's entry could not follow.
        UserPrompt::Get().Tell(
            "The start at log-in could not be changed: " + sheet_.advanced().autostartError() +
                ". Try again, or Cancel to leave it.",
            UserPrompt::Stop);
        tabs_->setCurrentIndex(COptionsSheet::kAdvanced);
        UpdateApply();
        return false;
    }
    if (outcome.saveFailed) {
        // The sheet stays open with every value as entered: closing it would lose them.
        UserPrompt::Get().Tell(
            "Some options could not be saved in the settings store; they are kept here. Try "
            "again, or Cancel to leave them.",
            UserPrompt::Stop);
        UpdateApply();
        return false;
    }
    return true;
}

void COptionsSheetView::accept() {
    if (Confirm()) QDialog::accept();
}

void RunOptionsSheet(QWidget* parent) {
    COptionsSheet sheet;
    COptionsSheetView view(sheet, parent);
    view.exec();
}

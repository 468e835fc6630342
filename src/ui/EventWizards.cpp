#include "ui/EventWizards.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/Icons.h"
#include "ui/NewsgroupChooser.h"

namespace {

QString Q(const std::string& s) {
    return QString::fromStdString(s);
}

constexpr const char* kLocalNetworkText = settings::kLocalNetwork;

QString Id(int id) {
    return QString("c%1").arg(id);
}

// The wait cursor for as long as it lives.
struct WaitCursor {
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
};

}  // namespace

// ---------------------------------------------------------------------------------------
// The page widget

CWizardPageView::CWizardPageView(CWizardPage& model, QWidget* parent)
    : QWizardPage(parent), model_(model) {
    setTitle(Q(model.Title()));
    setLayout(new QVBoxLayout);
}

bool CWizardPageView::isComplete() const {
    return (model_.Buttons() & (kWizardNext | kWizardFinish)) != 0;
}

bool CWizardPageView::validatePage() {
    return model_.Leave();
}

void CWizardPageView::Shown() {
    model_.OnShow();
    syncing_ = true;
    for (auto& refresh : shown_) refresh();
    syncing_ = false;
    Changed();
}

void CWizardPageView::showEvent(QShowEvent* event) {
    QWizardPage::showEvent(event);
    if (!wizard()) Shown();
}

void CWizardPageView::Changed() {
    for (auto& [widget, enabled] : enablers_) widget->setEnabled(enabled());
    emit completeChanged();
}

QLabel* CWizardPageView::AddLabel(QBoxLayout* layout, const QString& text) {
    auto* label = new QLabel(text, this);
    label->setWordWrap(true);
    layout->addWidget(label);
    return label;
}

QLineEdit* CWizardPageView::AddEdit(QBoxLayout* layout, const char* label, std::string& value,
                                    int id, size_t maxChars) {
    if (label) AddLabel(layout, label);
    auto* edit = new QLineEdit(Q(value), this);
    edit->setObjectName(Id(id));
    // Never shorter than what is stored: the edit would show it cut while the page still
    // holds it whole, and the message to shorten it would not match what is on screen.
    if (maxChars != 0)
        edit->setMaxLength(
            std::max<int>(static_cast<int>(maxChars), static_cast<int>(edit->text().size())));
    layout->addWidget(edit);
    connect(edit, &QLineEdit::textChanged, this, [this, &value](const QString& text) {
        value = text.toStdString();
        if (!syncing_) Changed();
    });
    return edit;
}

QCheckBox* CWizardPageView::AddCheck(QBoxLayout* layout, const char* label, bool& value, int id) {
    auto* box = new QCheckBox(label, this);
    box->setObjectName(Id(id));
    box->setChecked(value);
    layout->addWidget(box);
    connect(box, &QCheckBox::toggled, this, [this, &value](bool on) {
        value = on;
        if (!syncing_) Changed();
    });
    return box;
}

QComboBox* CWizardPageView::AddScheduleList(QBoxLayout* layout, const char* label,
                                            CScheduleChoice& choice) {
    AddLabel(layout, label);
    auto* combo = new QComboBox(this);
    combo->setObjectName(Id(1108));
    combo->setModel(&choice.list());
    layout->addWidget(combo);
    connect(combo, &QComboBox::currentIndexChanged, this, [this, &choice](int index) {
        if (syncing_) return;
        choice.Choose(index);
        Changed();
    });
    // The refilled list shows what the model chose: nothing, unless an edited event's schedule.
    OnShown([combo, &choice] { combo->setCurrentIndex(choice.list().GetCurSel()); });
    return combo;
}

void CWizardPageView::EnableWhile(QWidget* widget, std::function<bool()> enabled) {
    widget->setEnabled(enabled());
    enablers_.emplace_back(widget, std::move(enabled));
}

// ---------------------------------------------------------------------------------------
// Pages

namespace {

QVBoxLayout* Column(QWidget* page) {
    return static_cast<QVBoxLayout*>(page->layout());
}

// An edit for a whole number: digits only, as many as the largest allowed has.
QLineEdit* DigitsOnly(QLineEdit* edit, long largest) {
    int digits = static_cast<int>(std::to_string(largest).size());
    edit->setMaxLength(digits);
    edit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QString("[0-9]{0,%1}").arg(digits)), edit));
    return edit;
}

// The three ways a session can be secured, as the options sheet names them for its servers.
QComboBox* SecurityChoice(QWidget* parent, const QString& tlsPort) {
    auto* combo = new QComboBox(parent);
    combo->addItems({"No (plain text)", "STARTTLS required",
                     "TLS from the first byte (port " + tlsPort + " unless one is named)"});
    return combo;
}

CWizardPageView* NamePage(CNamePage& m, int nameId, int descriptionId, QWidget* parent) {
    auto* page = new CWizardPageView(m, parent);
    auto* col = Column(page);
    auto* intro = new QLabel(m.texts().intro, page);
    intro->setWordWrap(true);
    col->addWidget(intro);
    col->addSpacing(8);
    col->addWidget(new QLabel(m.texts().nameLabel, page));
    auto* name = new QLineEdit(Q(m.name), page);
    name->setObjectName(Id(nameId));
    // A name is a key name: 255 characters at most even where the page sets no limit.
    name->setMaxLength(
        std::max<int>(static_cast<int>(m.NameChars() ? m.NameChars() : kMaxKeyNameLength),
                      static_cast<int>(name->text().size())));
    name->setReadOnly(m.readOnlyName);
    col->addWidget(name);
    QObject::connect(name, &QLineEdit::textChanged, page, [&m, page](const QString& text) {
        m.name = text.toStdString();
        emit page->completeChanged();
    });
    col->addWidget(new QLabel(m.texts().descriptionLabel, page));
    auto* description = new QLineEdit(Q(m.description), page);
    description->setObjectName(Id(descriptionId));
    if (m.DescriptionChars())
        description->setMaxLength(std::max<int>(static_cast<int>(m.DescriptionChars()),
                                                static_cast<int>(description->text().size())));
    col->addWidget(description);
    QObject::connect(description, &QLineEdit::textChanged, page, [&m, page](const QString& text) {
        m.description = text.toStdString();
        emit page->completeChanged();
    });
    col->addStretch();
    return page;
}

class CTimingPageView : public CWizardPageView {
public:
    CTimingPageView(CEvntWizB& m, QWidget* parent) : CWizardPageView(m, parent), m_(m) {
        auto* col = Column(this);
        AddLabel(col, "Select how often you want this schedule to run.");
        auto* group = new QGroupBox("Run this schedule ", this);
        auto* inner = new QVBoxLayout(group);
        auto* buttons = new QButtonGroup(this);
        const std::pair<int, const char*> radios[] = {
            {1006, "Once a Week"}, {1007, "Every Day"}, {1011, "Every Hour"}, {1012, "Every"}};
        const CEvntWizB::Choice choices[] = {CEvntWizB::kOnceAWeek, CEvntWizB::kEveryDay,
                                             CEvntWizB::kEveryHour, CEvntWizB::kEvery};
        QHBoxLayout* everyRow = nullptr;
        for (int i = 0; i < 4; ++i) {
            auto* radio = new QRadioButton(radios[i].second, group);
            radio->setObjectName(Id(radios[i].first));
            radio->setChecked(m.choice() == choices[i]);
            buttons->addButton(radio);
            CEvntWizB::Choice choice = choices[i];
            connect(radio, &QRadioButton::toggled, this, [this, choice](bool on) {
                if (!on) return;
                m_.SetChoice(choice);
                Changed();
            });
            if (choice == CEvntWizB::kEvery) {
                everyRow = new QHBoxLayout;
                everyRow->addWidget(radio);
                inner->addLayout(everyRow);
            } else {
                inner->addWidget(radio);
            }
        }
        auto* minutes = new QLineEdit(Q(m.minutes), group);
        minutes->setObjectName(Id(1013));
        minutes->setMaxLength(5);
        everyRow->addWidget(minutes);
        everyRow->addWidget(new QLabel("Minutes", group));
        everyRow->addStretch();
        connect(minutes, &QLineEdit::textChanged, this,
                [this](const QString& t) { m_.minutes = t.toStdString(); });
        auto* night = new QCheckBox("At Night", group);
        night->setObjectName(Id(1010));
        night->setChecked(m.atNight);
        inner->addWidget(night);
        connect(night, &QCheckBox::toggled, this, [this](bool on) { m_.atNight = on; });
        col->addWidget(group);
        auto* kept = AddLabel(col, Q(m.KeptTimingText()));
        EnableWhile(minutes, [this] { return m_.MinutesEnabled(); });
        EnableWhile(night, [this] { return m_.AtNightEnabled(); });
        EnableWhile(kept, [this, kept] {
            kept->setText(Q(m_.KeptTimingText()));
            kept->setVisible(m_.KeepsStoredTiming());
            return true;
        });
        col->addStretch();
    }

private:
    CEvntWizB& m_;
};

// Every click of either box and every change of the address evaluates the Finish rule.
CWizardPageView* NotifyPage(CNotifyPage& m, QWidget* parent) {
    struct View : CWizardPageView {
        View(CNotifyPage& m, QWidget* parent) : CWizardPageView(m, parent) {
            auto* col = Column(this);
            AddScheduleList(col, m.texts().scheduleLabel, m.schedule);
            col->addSpacing(8);
            AddLabel(col, m.texts().explanation);
            AddCheck(col, "Notify you with a Window", m.notifyViaWindows, 1109);
            AddCheck(col, m.texts().emailLabel, m.notifyViaEmail, 1110);
            auto* address = AddEdit(col, nullptr, m.notifyEmailTo, 1111, m.AddressChars());
            EnableWhile(address, [&m] { return m.AddressEnabled(); });
            col->addStretch();
        }
    };
    return new View(m, parent);
}

class CNewsGroupsPageView : public CWizardPageView {
public:
    CNewsGroupsPageView(CNwWizB& m, QWidget* parent) : CWizardPageView(m, parent), m_(m) {
        auto* col = Column(this);
        AddLabel(col, "Select which news group you want to monitor.");
        auto* row = new QHBoxLayout;
        groups_ = new QLineEdit(Q(m.newsGroups), this);
        groups_->setObjectName(Id(1026));
        row->addWidget(groups_);
        connect(groups_, &QLineEdit::textChanged, this, [this](const QString& t) {
            m_.newsGroups = t.toStdString();
            Changed();
        });
        auto* choose = new QPushButton(this);
        choose->setObjectName(Id(1117));
        choose->setIcon(ResourceIcon(199));
        choose->setToolTip("Choose from the news server's groups");
        row->addWidget(choose);
        col->addLayout(row);
        connect(choose, &QPushButton::clicked, this, &CNewsGroupsPageView::Choose);
        AddEdit(col, "Key words to look for.", m.keywords, 1027, 80);
        AddCheck(col, "Search in the author line", m.searchAuthor, 1028);
        AddCheck(col, "Search in the subject line", m.searchSubject, 1029);
        AddCheck(col, "Search in the article text", m.searchBody, 1016);
        col->addStretch();
    }

private:
    void Choose() {
        std::string server;
        bool configured = false;
        {
            WaitCursor wait;
            configured = CNwWizB::ChooserServer(&server);
        }
        if (!configured) return;
        std::vector<std::string> chosen;
        if (!RunNewsgroupChooser(this, server, &chosen)) return;
        m_.TakeChosen(chosen);
        groups_->setText(Q(m_.newsGroups));
    }

    CNwWizB& m_;
    QLineEdit* groups_;
};

class CCataloguePageView : public CWizardPageView {
public:
    CCataloguePageView(CLmWizB& m, QWidget* parent) : CWizardPageView(m, parent), m_(m) {
        auto* col = Column(this);
        AddLabel(col,
                 "Choose from one of these pre-defined sites or skip this screen to enter you own "
                 "selection.");
        tree_ = new QTreeWidget(this);
        tree_->setObjectName(Id(1045));
        tree_->setHeaderHidden(true);
        tree_->setIconSize(QSize(16, 16));
        col->addWidget(tree_);
        // The selection, not the current item: the tree makes its first item current when it
        // takes the focus, which is no choice of the user's.
        connect(tree_, &QTreeWidget::itemSelectionChanged, this, [this] {
            if (syncing_) return;
            auto chosen = tree_->selectedItems();
            m_.selected = chosen.isEmpty() ? -1 : chosen.front()->data(0, Qt::UserRole).toInt();
            // The chosen site's values show in the edits below at once.
            std::string problem;
            if (m_.TakeSelected(&problem)) ShowValues();
        });
        // Our own: a display's address and page script typed by the user, for sites that no
        // catalogue lists (there is none unless one is put in the working folder).
        url_ = AddEdit(col, "Or enter the address of the web document to show:", m_.url, 1201, 0);
        script_ = AddEdit(
            col,
            "Page script file that finds the document (optional; the address is then written "
            "variable@address):",
            m_.filterFile, 1202, 0);
        for (QLineEdit* edit : {url_, script_}) {
            connect(edit, &QLineEdit::textEdited, this, [this] {
                // What the user types is the choice now, not the site selected before.
                m_.selected = -1;
                syncing_ = true;
                tree_->clearSelection();
                syncing_ = false;
            });
        }
        OnShown([this] {
            if (!loaded_) Fill();
            ShowValues();
        });
    }

    bool validatePage() override {
        WaitCursor wait;
        return CWizardPageView::validatePage();
    }

private:
    void Fill() {
        loaded_ = true;
        m_.Load();
        const QIcon icons[] = {ResourceIcon(200), ResourceIcon(134), ResourceIcon(181)};
        std::vector<QTreeWidgetItem*> made;
        for (size_t i = 0; i < m_.items().size(); ++i) {
            const auto& item = m_.items()[i];
            QTreeWidgetItem* w = item.parent >= 0 ? new QTreeWidgetItem(made[item.parent])
                                                  : new QTreeWidgetItem(tree_);
            w->setText(0, Q(item.text));
            w->setIcon(0, icons[item.image]);
            w->setData(0, Qt::UserRole, static_cast<int>(i));
            made.push_back(w);
        }
        tree_->expandAll();
        if (m_.selected >= 0) tree_->setCurrentItem(made[m_.selected]);
    }

    void ShowValues() {
        syncing_ = true;
        if (url_->text() != Q(m_.url)) url_->setText(Q(m_.url));
        if (script_->text() != Q(m_.filterFile)) script_->setText(Q(m_.filterFile));
        syncing_ = false;
    }

    CLmWizB& m_;
    QTreeWidget* tree_;
    QLineEdit* url_ = nullptr;
    QLineEdit* script_ = nullptr;
    bool loaded_ = false;
};

}  // namespace

std::vector<CWizardPageView*> MakeSchedulePages(CScheduleWizard& m, QWidget* parent) {
    auto* last = new CWizardPageView(m.c, parent);
    auto* col = static_cast<QVBoxLayout*>(last->layout());
    auto* text = new QLabel(
        "Quorvane can update your system's clock with the National Institute of Standards & "
        "Technology every time this schedule runs.",
        last);
    text->setWordWrap(true);
    col->addWidget(text);
    auto* box = new QCheckBox(
        "Do you want to update the system's clock every time this schedule runs?", last);
    box->setObjectName(Id(1123));
    box->setChecked(m.c.updateTime);
    QObject::connect(box, &QCheckBox::toggled, last, [&m](bool on) { m.c.updateTime = on; });
    col->addWidget(box);
    col->addSpacing(8);

    // Our own: the dial-up connection a run brings up first, and its login.
    auto* dial = new QGroupBox("Dial-up connection", last);
    auto* form = new QVBoxLayout(dial);
    auto text255 = [](QLineEdit* edit) {
        edit->setMaxLength(std::max<int>(static_cast<int>(kStringValueBytes),
                                         static_cast<int>(edit->text().size())));
        return edit;
    };
    auto* entry = new QLineEdit(Q(m.c.phoneBook), dial);
    entry->setObjectName(Id(1303));
    entry->setPlaceholderText(kLocalNetworkText);
    auto* entryLabel = new QLabel(
        "Connection to bring up before this schedule runs (empty or <Local Network>: none):", dial);
    // Shown as typed: as rich text the connection's placeholder would vanish as a tag.
    entryLabel->setTextFormat(Qt::PlainText);
    entryLabel->setWordWrap(true);
    form->addWidget(entryLabel);
    form->addWidget(text255(entry));
    QObject::connect(entry, &QLineEdit::textChanged, last,
                     [&m](const QString& t) { m.c.phoneBook = t.toStdString(); });
    auto* user = new QLineEdit(Q(m.c.accountName), dial);
    user->setObjectName(Id(1304));
    form->addWidget(new QLabel("User name for the connection:", dial));
    form->addWidget(text255(user));
    QObject::connect(user, &QLineEdit::textChanged, last,
                     [&m](const QString& t) { m.c.accountName = t.toStdString(); });
    // A stored password is never shown back: the edit starts empty and says one is kept.
    auto* password = new QLineEdit(dial);
    password->setObjectName(Id(1305));
    password->setEchoMode(QLineEdit::Password);
    if (m.c.password.Stored())
        password->setPlaceholderText("(a password is stored: type a new one to replace it)");
    form->addWidget(new QLabel("Password for the connection:", dial));
    form->addWidget(text255(password));
    QObject::connect(password, &QLineEdit::textChanged, last,
                     [&m](const QString& t) { m.c.password.entered = t.toStdString(); });
    auto* remove = new QCheckBox("Remove the stored password", dial);
    remove->setObjectName(Id(1306));
    remove->setVisible(m.c.password.Stored());
    form->addWidget(remove);
    QObject::connect(remove, &QCheckBox::toggled, last, [&m, password](bool on) {
        m.c.password.remove = on;
        password->setEnabled(!on);
    });
    col->addWidget(dial);
    col->addStretch();
    return {NamePage(m.a, 1083, 1004, parent), new CTimingPageView(m.b, parent), last};
}

std::vector<CWizardPageView*> MakeMailPages(CMailWizard& m, QWidget* parent) {
    std::vector<CWizardPageView*> pages{NamePage(m.a, 1022, 1023, parent)};

    struct Server : CWizardPageView {
        Server(CMfWizB& m, QWidget* parent) : CWizardPageView(m, parent) {
            auto* col = Column(this);
            AddEdit(col, "Your Incoming mail server, the Pop3 Mail server.", m.popHost, 1020, 128);
            AddEdit(col, "Your mailbox account name.", m.popUserName, 1025, 80);
            QLineEdit* password = AddEdit(col, "Your account's password.", m.popPassword, 1018, 80);
            password->setEchoMode(QLineEdit::Password);
            if (!m.storedPassword.empty())
                password->setPlaceholderText(
                    "(a password is stored: type a new one to replace it)");
            // Our own: how the session is secured. The server's name is left as typed, so a
            // "host:port" still names its own port.
            AddLabel(col, "Secure connection:");
            auto* security = SecurityChoice(this, "995");
            security->setObjectName(Id(1300));
            security->setCurrentIndex(m.popSecurity <= 2 ? static_cast<int>(m.popSecurity) : -1);
            col->addWidget(security);
            connect(security, &QComboBox::currentIndexChanged, this, [&m](int index) {
                if (index >= 0) m.popSecurity = static_cast<DWORD>(index);
            });
            col->addStretch();
        }
    };
    struct Forward : CWizardPageView {
        Forward(CMfWizC& m, QWidget* parent) : CWizardPageView(m, parent) {
            auto* col = Column(this);
            AddCheck(col, "Forward all mail arriving at this mailbox to another email address.",
                     m.forwardMail, 1100);
            EnableWhile(AddEdit(col, nullptr, m.forwardTo, 1003, 80),
                        [&m] { return m.forwardMail; });
            // What happens to the mail itself is not what either box says by its name alone.
            AddLabel(col,
                     "A message that was forwarded is removed from the mailbox on the server.");
            AddCheck(col,
                     "Send a copy of all mail arriving at this mailbox to another email address.",
                     m.copy, 1104);
            EnableWhile(AddEdit(col, nullptr, m.copyTo, 1099, 80), [&m] { return m.copy; });
            AddLabel(col, "A message that was copied stays in the mailbox on the server.");
            col->addStretch();
        }
    };
    struct Pager : CWizardPageView {
        Pager(CMfWizD& m, QWidget* parent) : CWizardPageView(m, parent) {
            auto* col = Column(this);
            AddCheck(col, "Page me when new mail arrives in this mailbox.", m.enablePager, 1105);
            EnableWhile(AddEdit(col, "Your Pager phone number.", m.pagerPhone, 1106, 24),
                        [&m] { return m.enablePager; });
            EnableWhile(
                AddEdit(col, "The numberic message to send to your pager.", m.pagerMsg, 1107, 24),
                [&m] { return m.enablePager; });
            col->addStretch();
        }
    };
    struct Fax : CWizardPageView {
        Fax(CMfWizE& m, QWidget* parent) : CWizardPageView(m, parent) {
            auto* col = Column(this);
            AddCheck(col, "Fax a copy of all incoming mail to your FAX machine.", m.enableFax,
                     1116);
            EnableWhile(AddEdit(col, "Your FAX phone number.", m.faxPhone, 1114, 24),
                        [&m] { return m.enableFax; });
            EnableWhile(AddEdit(col, "Who to send the FAX to.", m.faxName, 1115, 128),
                        [&m] { return m.enableFax; });
            // Our own: what else of a message goes into its fax.
            EnableWhile(
                AddCheck(col, "Also fax the message's first attachment.", m.sendAttachments, 1301),
                [&m] { return m.enableFax; });
            auto* size = AddEdit(col,
                                 "The most bytes of a message's text to fax (the rest is cut "
                                 "off):",
                                 m.maximumFaxSize, 1302, 0);
            EnableWhile(DigitsOnly(size, CMfWizE::kMaxFaxSize), [&m] { return m.enableFax; });
            col->addStretch();
        }
    };
    pages.push_back(new Server(m.b, parent));
    pages.push_back(new Forward(m.c, parent));
    pages.push_back(new Pager(m.d, parent));
    pages.push_back(new Fax(m.e, parent));
    pages.push_back(NotifyPage(m.f, parent));
    return pages;
}

std::vector<CWizardPageView*> MakeNewsPages(CNewsWizard& m, QWidget* parent) {
    return {NamePage(m.a, 1019, 1024, parent), new CNewsGroupsPageView(m.b, parent),
            NotifyPage(m.c, parent)};
}

std::vector<CWizardPageView*> MakeWebPages(CWebWizard& m, QWidget* parent) {
    struct Site : CWizardPageView {
        Site(CWwWizB& m, QWidget* parent) : CWizardPageView(m, parent) {
            auto* col = Column(this);
            AddEdit(col, "Enter the Web Site or document you want to watch.", m.site, 1071, 250);
            AddLabel(col, "Do you want to watch ");
            AddCheck(col, "The entire site?", m.entireDomain, 1072);
            AddCheck(col, "and also attached files?", m.files, 1073);
            // Our own: the bound of an entire-site crawl.
            auto* most = AddEdit(col, "The most documents to watch on the site (1 to 1000000):",
                                 m.maxDocuments, 1307, 0);
            EnableWhile(DigitsOnly(most, CWwWizB::kMaxDocuments),
                        [&m] { return m.MaxDocumentsEnabled(); });
            col->addStretch();
        }
    };
    return {NamePage(m.a, 1083, 1004, parent), new Site(m.b, parent), NotifyPage(m.c, parent)};
}

std::vector<CWizardPageView*> MakeLumettaPages(CLumettaWizard& m, QWidget* parent) {
    struct Schedule : CWizardPageView {
        Schedule(CLmWizC& m, QWidget* parent) : CWizardPageView(m, parent) {
            auto* col = Column(this);
            AddScheduleList(col,
                            "Select when to this Lumetta Display should download the Web "
                            "documents.",
                            m.schedule);
            col->addStretch();
        }
    };
    return {NamePage(m.a, 1019, 1024, parent), new CCataloguePageView(m.b, parent),
            new Schedule(m.c, parent)};
}

namespace {

// A wizard that stores its record as Finish is pressed, before it closes: a record the store
// refuses (another program holding it) leaves the user on the last page with everything
// typed, to try again or cancel.
class CStoringWizard : public QWizard {
public:
    using QWizard::QWizard;
    std::function<bool()> onFinish;
    bool validateCurrentPage() override {
        if (!QWizard::validateCurrentPage()) return false;
        if (nextId() == -1 && onFinish) return onFinish();
        return true;
    }
};

}  // namespace

QWizard* MakeWizard(const std::vector<CWizardPageView*>& pages, QWidget* parent) {
    auto* wizard = new CStoringWizard(parent);
    wizard->setWizardStyle(QWizard::ClassicStyle);
    wizard->setOption(QWizard::NoBackButtonOnStartPage, true);
    for (auto* page : pages) wizard->addPage(page);
    QObject::connect(wizard, &QWizard::currentIdChanged, wizard, [wizard](int id) {
        if (auto* page = wizard->page(id)) wizard->setWindowTitle(page->title());
    });
    if (!pages.empty()) wizard->setWindowTitle(pages.front()->title());
    wizard->resize(520, 380);
    return wizard;
}

namespace {

template <typename Model, typename MakePages, typename Record>
std::optional<Record> Run(QWidget* parent, MakePages make,
                          const std::function<bool(const Record&)>& store) {
    Model model;
    std::unique_ptr<QWizard> wizard(MakeWizard(make(model, nullptr), parent));
    if (store)
        static_cast<CStoringWizard*>(wizard.get())->onFinish = [&] {
            return store(model.Record());
        };
    if (wizard->exec() != QDialog::Accepted) return std::nullopt;
    return model.Record();
}

}  // namespace

std::optional<ScheduleRecord> RunScheduleWizard(QWidget* parent, Store<ScheduleRecord> store) {
    return Run<CScheduleWizard>(parent, MakeSchedulePages, store);
}
std::optional<MailMonitorRecord> RunMailWizard(QWidget* parent, Store<MailMonitorRecord> store) {
    return Run<CMailWizard>(parent, MakeMailPages, store);
}
std::optional<NewsMonitorRecord> RunNewsWizard(QWidget* parent, Store<NewsMonitorRecord> store) {
    return Run<CNewsWizard>(parent, MakeNewsPages, store);
}
std::optional<WebMonitorRecord> RunWebWizard(QWidget* parent, Store<WebMonitorRecord> store) {
    return Run<CWebWizard>(parent, MakeWebPages, store);
}
std::optional<LumettaRecord> RunLumettaWizard(QWidget* parent, Store<LumettaRecord> store) {
    return Run<CLumettaWizard>(parent, MakeLumettaPages, store);
}

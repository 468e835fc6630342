#include "ui/EventEditor.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/EventWizards.h"
#include "app/SettingsStore.h"
#include "platform/UserPrompt.h"
#include "ui/EventWizards.h"

struct CEventEditor::Session {
    virtual ~Session() = default;
    virtual std::vector<CWizardPageView*> MakePages(QWidget* parent) = 0;
    // Writes what changed since the event was read; false when the store refused.
    virtual bool Save() = 0;
};

namespace {

template <typename Model, typename Record>
struct EditSession final : CEventEditor::Session {
    using Maker = std::vector<CWizardPageView*> (*)(Model&, QWidget*);
    EditSession(Record stored, Maker make) : before(std::move(stored)), make(make) {
        model.FromRecord(before);
        model.a.readOnlyName = true;
    }
    std::vector<CWizardPageView*> MakePages(QWidget* parent) override {
        return make(model, parent);
    }
    bool Save() override {
        Record after = model.Record();
        after.name = before.name;  // the name is the key: renaming is the list's business
        // All the changes or none: half an edit would mix old and new settings.
        if (!WriteInOneStep([&] { return UpdateEventRecord(before, after); })) return false;
        before = after;
        return true;
    }
    Model model;
    Record before;
    Maker make;
};

template <typename Model, typename Record>
std::unique_ptr<CEventEditor::Session> Load(const std::string& event,
                                            typename EditSession<Model, Record>::Maker make) {
    Record stored;
    if (!ReadEventRecord(event, stored)) return nullptr;
    return std::make_unique<EditSession<Model, Record>>(std::move(stored), make);
}

}  // namespace

CEventEditor* CEventEditor::Make(const std::string& event, QWidget* parent) {
    std::string why;
    std::unique_ptr<Session> session;
    switch (EditableEventKind(event, &why)) {
        case settings::kSchedule:
            session = Load<CScheduleWizard, ScheduleRecord>(event, MakeSchedulePages);
            break;
        case settings::kMailMonitor:
            session = Load<CMailWizard, MailMonitorRecord>(event, MakeMailPages);
            break;
        case settings::kNewsMonitor:
            session = Load<CNewsWizard, NewsMonitorRecord>(event, MakeNewsPages);
            break;
        case settings::kWebMonitor:
            session = Load<CWebWizard, WebMonitorRecord>(event, MakeWebPages);
            break;
        case settings::kLumettaDisplay:
            session = Load<CLumettaWizard, LumettaRecord>(event, MakeLumettaPages);
            break;
        default:
            break;
    }
    if (!session) {
        if (why.empty()) why = "its settings cannot be read";
        UserPrompt::Get().Ask("The event " + event + " cannot be changed: " + why + ".", "Quorvane",
                              UserPrompt::Ok, UserPrompt::Exclamation);
        return nullptr;
    }
    return new CEventEditor(event, std::move(session), parent);
}

CEventEditor::CEventEditor(const std::string& event, std::unique_ptr<Session> session,
                           QWidget* parent)
    : QDialog(parent), event_(event), session_(std::move(session)) {
    setWindowTitle(QString::fromStdString(event) + " Properties");
    auto* layout = new QVBoxLayout(this);
    tabs_ = new QTabWidget;
    layout->addWidget(tabs_);
    pages_ = session_->MakePages(this);
    for (auto* page : pages_) {
        // The page's own title names the wizard's step; the tab keeps the part after it.
        QString title = page->title();
        int cut = title.lastIndexOf("Part ");
        tabs_->addTab(page, cut >= 0 ? title.mid(cut) : title);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CEventEditor::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    resize(560, 420);
}

CEventEditor::~CEventEditor() = default;

void CEventEditor::accept() {
    // OK stays enabled so that a click always says what is missing and where.
    for (auto* page : pages_) {
        if (!page->isComplete()) {
            tabs_->setCurrentWidget(page);
            UserPrompt::Get().Ask("Some settings on this page are missing.", "Quorvane",
                                  UserPrompt::Ok, UserPrompt::Exclamation);
            return;
        }
        if (!page->validatePage()) {
            tabs_->setCurrentWidget(page);
            return;
        }
    }
    if (!session_->Save()) {
        UserPrompt::Get().Ask("The changes to " + event_ +
                                  " could not be saved: the event is gone or the settings "
                                  "cannot be written now. Nothing was changed.",
                              "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
        return;
    }
    saved_ = true;
    QDialog::accept();
}

bool RunEventEditor(QWidget* parent, const std::string& event) {
    std::unique_ptr<CEventEditor> editor(CEventEditor::Make(event, parent));
    if (!editor) return false;
    editor->exec();
    return editor->saved();
}

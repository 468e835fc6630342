#include "ui/NewsgroupChooser.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <memory>

#include "platform/UserPrompt.h"
#include "ui/NewsgroupChooserDialog.h"

namespace {

// The wait cursor for as long as it lives.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

QString Text(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

// ---------------------------------------------------------------------------------------

int GroupListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(list_.rowCount());
}

QVariant GroupListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || static_cast<size_t>(index.row()) >= list_.rowCount())
        return {};
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole)
        return Text(list_.rowName(static_cast<size_t>(index.row())));
    return {};
}

void GroupListModel::Reset() {
    beginResetModel();
    endResetModel();
}

// ---------------------------------------------------------------------------------------

NewsgroupChooserDialog::NewsgroupChooserDialog(const std::string& server, QWidget* parent)
    : QDialog(parent), server_(server) {
    setWindowTitle(grouplist::kChooserTitle);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(grouplist::kSearchLabel, this));
    search_ = new QLineEdit(this);
    search_->installEventFilter(this);
    layout->addWidget(search_);
    layout->addWidget(new QLabel(grouplist::kListLabel, this));

    model_ = new GroupListModel(groups_, this);
    view_ = new QListView(this);
    view_->setModel(model_);
    view_->setUniformItemSizes(true);
    view_->setSelectionMode(QAbstractItemView::MultiSelection);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(view_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &NewsgroupChooserDialog::OnSelectionChanged);
    layout->addWidget(view_, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    connect(buttons, &QDialogButtonBox::accepted, this, &NewsgroupChooserDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &NewsgroupChooserDialog::reject);
    layout->addWidget(buttons);
    resize(420, 460);

    runUpdate = [this] { RunGroupListUpdate(this, server_); };
}

bool NewsgroupChooserDialog::Open() {
    std::unique_ptr<WaitCursor> wait;
    GroupListLoad load = OpenGroupList(server_, runUpdate, [&wait](bool on) {
        if (on)
            wait = std::make_unique<WaitCursor>();
        else
            wait.reset();
    });
    WaitCursor sorting;
    groups_.SetGroups(std::move(load.groups));
    search_->clear();
    ApplySearch();
    return load.status != GroupListLoad::kRefused;
}

void NewsgroupChooserDialog::ApplySearch() {
    WaitCursor wait;
    groups_.ApplySearch(search_->text().toStdString());
    model_->Reset();
    ShowSelection();
}

void NewsgroupChooserDialog::ShowSelection() {
    // Runs of selected rows, so that a large selection costs a few ranges, not a row each.
    QItemSelection selection;
    const size_t rows = groups_.rowCount();
    for (size_t row = 0; row < rows;) {
        if (!groups_.rowSelected(row)) {
            ++row;
            continue;
        }
        size_t end = row;
        while (end + 1 < rows && groups_.rowSelected(end + 1)) ++end;
        selection.select(model_->index(static_cast<int>(row)),
                         model_->index(static_cast<int>(end)));
        row = end + 1;
    }
    showing_ = true;
    view_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    showing_ = false;
}

void NewsgroupChooserDialog::OnSelectionChanged(const QItemSelection& selected,
                                                const QItemSelection& deselected) {
    if (showing_) return;
    for (const QItemSelectionRange& range : deselected)
        for (int row = range.top(); row <= range.bottom(); ++row)
            groups_.SetRowSelected(static_cast<size_t>(row), false);
    for (const QItemSelectionRange& range : selected)
        for (int row = range.top(); row <= range.bottom(); ++row)
            groups_.SetRowSelected(static_cast<size_t>(row), true);
}

bool NewsgroupChooserDialog::eventFilter(QObject* watched, QEvent* event) {
    // Enter in the search edit searches; it must not close the dialog with OK.
    if (watched == search_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            ApplySearch();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void NewsgroupChooserDialog::accept() {
    result_ = groups_.Result();
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------

GroupListUpdateDialog::GroupListUpdateDialog(const std::string& server, QWidget* parent)
    : QDialog(parent), server_(server) {
    setWindowTitle(grouplist::kUpdateTitle);
    auto* layout = new QVBoxLayout(this);
    auto* text = new QLabel(grouplist::kUpdateText, this);
    text->setWordWrap(true);
    layout->addWidget(text);
    layout->addWidget(new QLabel(grouplist::kStandBy, this));
    progress_ = new QLabel(Text(update_.progressText()), this);
    layout->addWidget(progress_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    cancel_ = buttons->button(QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::rejected, this, &GroupListUpdateDialog::reject);
    layout->addWidget(buttons);
    resize(380, 150);

    connect(&update_, &CGroupListUpdate::progressChanged, this,
            [this] { progress_->setText(Text(update_.progressText())); });
    connect(&update_, &CGroupListUpdate::failed, this, &GroupListUpdateDialog::OnFailed);
    connect(&update_, &CGroupListUpdate::finished, this, [this] { QDialog::accept(); });
}

void GroupListUpdateDialog::Start() {
    update_.Start(server_);
}

void GroupListUpdateDialog::OnFailed() {
    // The dialog stays until the user cancels, as for every failure of the update.
    UserPrompt::Get().Ask(update_.errorText(), grouplist::kUpdateTitle, UserPrompt::Ok,
                          UserPrompt::Exclamation);
}

void GroupListUpdateDialog::reject() {
    update_.Cancel();
    QDialog::reject();
}

bool RunGroupListUpdate(QWidget* parent, const std::string& server) {
    GroupListUpdateDialog dialog(server, parent);
    QTimer::singleShot(0, &dialog, &GroupListUpdateDialog::Start);
    return dialog.exec() == QDialog::Accepted;
}

// ---------------------------------------------------------------------------------------

bool RunNewsgroupChooser(QWidget* parent, const std::string& server,
                         std::vector<std::string>* result) {
    if (result) result->clear();
    NewsgroupChooserDialog dialog(server, parent);
    if (!dialog.Open()) return false;
    if (dialog.exec() != QDialog::Accepted) return false;
    if (result) *result = dialog.result();
    return true;
}

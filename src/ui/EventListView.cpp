#include "ui/EventListView.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QListView>
#include <QMenu>
#include <QStandardItemModel>
#include <QTreeView>

#include "app/MainCommands.h"
#include "ui/Icons.h"

CMain::CMain(CMainCommands& commands, QMenu* popup, QWidget* parent)
    : QStackedWidget(parent), commands_(commands), list_(commands.eventList()), popup_(popup) {
    setWindowTitle("Quorvane");
    model_ = new QStandardItemModel(0, 3, this);
    model_->setHorizontalHeaderLabels({"Entry", "Description", "Type"});

    details_ = new QTreeView;
    details_->setObjectName("eventList");
    details_->setRootIsDecorated(false);
    details_->setUniformRowHeights(true);
    details_->setModel(model_);
    // Description takes whatever width is left and Type is as wide as its texts, so that
    // Type is never cut off and an empty list needs no horizontal scroll bar.
    QHeaderView* header = details_->header();
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(40);
    header->setSectionResizeMode(0, QHeaderView::Interactive);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    details_->setColumnWidth(0, 100);
    icons_ = new QListView;
    icons_->setModel(model_);
    icons_->setSelectionModel(details_->selectionModel());
    for (QAbstractItemView* v :
         {static_cast<QAbstractItemView*>(details_), static_cast<QAbstractItemView*>(icons_)}) {
        v->setSelectionMode(QAbstractItemView::SingleSelection);
        v->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
        v->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(v, &QWidget::customContextMenuRequested, this,
                [this, v](const QPoint& p) { ShowPopup(v->viewport()->mapToGlobal(p)); });
        connect(v, &QAbstractItemView::doubleClicked, this,
                [this](const QModelIndex&) { list_.ModifySelected(); });
    }
    addWidget(details_);
    addWidget(icons_);

    // The commands follow the selection, not the keyboard's current row: focusing the
    // list makes a row current without the user having chosen it.
    connect(details_->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
        if (rebuilding_) return;
        QModelIndexList rows = details_->selectionModel()->selectedRows();
        list_.Select(rows.isEmpty() ? -1 : rows.first().row());
    });
    connect(model_, &QStandardItemModel::itemChanged, this, [this](QStandardItem* item) {
        if (rebuilding_ || item->column() != 0) return;
        // The name's own bytes: a name that is not valid UTF-8 shows with U+FFFD, and turned
        // back from the shown text it would name another record.
        std::string name = item->data(kNameRole).toByteArray().toStdString();
        if (item->text() == QString::fromStdString(name)) return;
        std::string text = item->text().toStdString();
        // The core refills the list either way, which redraws the row from the store.
        QMetaObject::invokeMethod(
            this, [this, name, text] { list_.RenameEvent(name, text); }, Qt::QueuedConnection);
    });
    connect(&list_, &CEventList::changed, this, &CMain::Rebuild);
    Rebuild();
}

QAbstractItemView* CMain::currentView() const {
    return list_.style() == CEventList::Details ? static_cast<QAbstractItemView*>(details_)
                                                : static_cast<QAbstractItemView*>(icons_);
}

void CMain::Rebuild() {
    rebuilding_ = true;
    const auto& rows = list_.rows();
    bool same = model_->rowCount() == static_cast<int>(rows.size());
    for (int i = 0; same && i < model_->rowCount(); ++i)
        same = model_->item(i, 0)->text().toStdString() == rows[i].label &&
               model_->item(i, 0)->data(kNameRole).toByteArray().toStdString() == rows[i].label &&
               model_->item(i, 1)->text().toStdString() == rows[i].description &&
               model_->item(i, 2)->text().toStdString() == rows[i].kindText;
    if (!same) {
        model_->removeRows(0, model_->rowCount());
        for (const auto& r : rows) {
            static const int kKindIcons[] = {133, 167, 131, 130, 158, 181};
            int icon = r.kind >= 1 && r.kind <= 5 ? kKindIcons[r.kind] : 133;
            auto* label = new QStandardItem(ResourceIcon(icon), QString::fromStdString(r.label));
            label->setData(r.kind, kKindRole);
            label->setData(QByteArray::fromStdString(r.label), kNameRole);
            auto* desc = new QStandardItem(QString::fromStdString(r.description));
            auto* kind = new QStandardItem(QString::fromStdString(r.kindText));
            desc->setEditable(false);
            kind->setEditable(false);
            model_->appendRow({label, desc, kind});
        }
    }
    for (int i = 0; i < model_->rowCount(); ++i) {
        QFont f = model_->item(i, 0)->font();
        f.setItalic(i == list_.cutRow());
        for (int c = 0; c < 3; ++c) {
            model_->item(i, c)->setFont(f);
            model_->item(i, c)->setForeground(i == list_.cutRow() ? QBrush(Qt::gray) : QBrush());
        }
    }
    QItemSelectionModel* selection = details_->selectionModel();
    if (list_.selected() >= 0) {
        QModelIndex want = model_->index(list_.selected(), 0);
        if (!selection->isRowSelected(want.row(), {}) || selection->selectedRows().size() != 1)
            selection->select(want,
                              QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        if (selection->currentIndex().row() != want.row())
            selection->setCurrentIndex(want, QItemSelectionModel::NoUpdate);
    } else if (selection->hasSelection()) {
        selection->clearSelection();
    }
    rebuilding_ = false;
    ApplyStyle();
}

void CMain::ApplyStyle() {
    switch (list_.style()) {
        case CEventList::Details:
            setCurrentWidget(details_);
            return;
        case CEventList::LargeIcons:
            icons_->setViewMode(QListView::IconMode);
            icons_->setIconSize(QSize(32, 32));
            icons_->setGridSize(QSize(96, 64));
            icons_->setFlow(QListView::LeftToRight);
            break;
        case CEventList::SmallIcons:
            icons_->setViewMode(QListView::ListMode);
            icons_->setIconSize(QSize(16, 16));
            icons_->setGridSize(QSize(140, 22));
            icons_->setFlow(QListView::LeftToRight);
            icons_->setWrapping(true);
            break;
        case CEventList::ListStyle:
            icons_->setViewMode(QListView::ListMode);
            icons_->setIconSize(QSize(16, 16));
            icons_->setGridSize(QSize());
            icons_->setFlow(QListView::TopToBottom);
            icons_->setWrapping(true);
            break;
    }
    icons_->setMovement(QListView::Static);
    setCurrentWidget(icons_);
}

void CMain::EditSelectedLabel() {
    if (!list_.HasSelection()) return;
    currentView()->edit(model_->index(list_.selected(), 0));
}

void CMain::ShowPopup(const QPoint& globalPos) {
    QModelIndex at = currentView()->indexAt(currentView()->viewport()->mapFromGlobal(globalPos));
    // A click beside the rows is about no event: the one chosen before must not be acted on.
    if (at.isValid()) {
        list_.Select(at.row());
    } else {
        currentView()->clearSelection();
        list_.Select(-1);
    }
    emit popupAboutToShow();
    if (popup_) popup_->popup(globalPos);
}

void CMain::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        list_.DeleteSelected();
        return;
    }
    QStackedWidget::keyPressEvent(event);
}

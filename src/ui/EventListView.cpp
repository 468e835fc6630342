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
    details_->setColumnWidth(0, 100);
    details_->setColumnWidth(1, 220);
    details_->setColumnWidth(2, 90);
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

    connect(details_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) {
                if (!rebuilding_) list_.Select(current.isValid() ? current.row() : -1);
            });
    connect(model_, &QStandardItemModel::itemChanged, this, [this](QStandardItem* item) {
        if (rebuilding_ || item->column() != 0) return;
        list_.Select(item->row());
        std::string text = item->text().toStdString();
        if (text == list_.rows()[item->row()].label) return;
        // The core refills the list or keeps the edit; either way it redraws.
        QMetaObject::invokeMethod(
            this, [this, text] { list_.RenameSelected(text); }, Qt::QueuedConnection);
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
               model_->item(i, 1)->text().toStdString() == rows[i].description;
    if (!same) {
        model_->removeRows(0, model_->rowCount());
        for (const auto& r : rows) {
            static const int kKindIcons[] = {133, 167, 131, 130, 158, 181};
            int icon = r.kind >= 1 && r.kind <= 5 ? kKindIcons[r.kind] : 133;
            auto* label = new QStandardItem(ResourceIcon(icon), QString::fromStdString(r.label));
            label->setData(r.kind, Qt::UserRole);
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
    QModelIndex want = list_.selected() >= 0 ? model_->index(list_.selected(), 0) : QModelIndex();
    if (details_->selectionModel()->currentIndex().row() != want.row() || !want.isValid())
        details_->selectionModel()->setCurrentIndex(
            want, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
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
    if (at.isValid()) list_.Select(at.row());
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

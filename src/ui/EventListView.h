#pragma once

// The main window's view: the monitors of the chosen schedule in one list, shown in the
// large-icon, small-icon, list or details style, drawn from the core's event list.

#include <QStackedWidget>

#include "app/EventList.h"

class QListView;
class QMenu;
class QStandardItemModel;
class QTreeView;
class QAbstractItemView;
class CMainCommands;

class CMain : public QStackedWidget {
    Q_OBJECT
public:
    // The Entry cell's roles: the kind ("Type") and the name of the record behind the row,
    // which every command acts on whatever the cell's text shows at the time. The name is
    // kept as its bytes (a QByteArray), since not every stored name is valid UTF-8.
    static constexpr int kKindRole = Qt::UserRole;
    static constexpr int kNameRole = Qt::UserRole + 1;

    CMain(CMainCommands& commands, QMenu* popup, QWidget* parent = nullptr);

    QTreeView* detailsView() const { return details_; }
    QListView* iconView() const { return icons_; }
    QAbstractItemView* currentView() const;
    QStandardItemModel* model() const { return model_; }
    // Starts editing the selected row's label (Rename this Monitor).
    void EditSelectedLabel();

signals:
    // Before the pop-up menu opens, so that its items can be enabled.
    void popupAboutToShow();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Rebuild();
    void ApplyStyle();
    void ShowPopup(const QPoint& globalPos);

    CMainCommands& commands_;
    CEventList& list_;
    QMenu* popup_;
    QStandardItemModel* model_;
    QTreeView* details_;
    QListView* icons_;
    bool rebuilding_ = false;
};

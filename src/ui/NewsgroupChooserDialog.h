#pragma once

// The chooser's two dialogs, for the chooser's entry point and its tests. Both draw state
// that the core keeps (CGroupList, CGroupListUpdate) and forward what the user does.

#include <QAbstractListModel>
#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "app/GroupList.h"

class QItemSelection;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;

// The rows on show of a CGroupList: the full list, or the groups the search word leaves.
// One row per group without a widget each, so that a list of any size opens at once.
class GroupListModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit GroupListModel(CGroupList& list, QObject* parent = nullptr)
        : QAbstractListModel(parent), list_(list) {}
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // The list changed as a whole (new groups, another search word).
    void Reset();

private:
    CGroupList& list_;
};

class NewsgroupChooserDialog : public QDialog {
    Q_OBJECT
public:
    NewsgroupChooserDialog(const std::string& server, QWidget* parent = nullptr);

    // Fills the list from the server's list file, asking whether to fetch it when there is
    // none. False when the server's name names no list file (the user was told).
    bool Open();
    // Applies the search word of the edit (Enter in the edit does the same).
    void ApplySearch();

    CGroupList& groups() { return groups_; }
    // The groups chosen by OK.
    const std::vector<std::string>& result() const { return result_; }
    QLineEdit* searchEdit() const { return search_; }
    QListView* listView() const { return view_; }
    QPushButton* okButton() const { return ok_; }

    // Runs the update of the list; the "Updating list..." dialog unless a test says otherwise.
    std::function<void()> runUpdate;

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void OnSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    // Selects on screen what the full list holds selected, for the rows on show.
    void ShowSelection();

    std::string server_;
    CGroupList groups_;
    GroupListModel* model_;
    QLineEdit* search_;
    QListView* view_;
    QPushButton* ok_;
    std::vector<std::string> result_;
    bool showing_ = false;  // the view's selection is being set from the core
};

class GroupListUpdateDialog : public QDialog {
    Q_OBJECT
public:
    GroupListUpdateDialog(const std::string& server, QWidget* parent = nullptr);

    // Starts the update (at the first turn of the loop once shown, when run by exec()).
    void Start();
    CGroupListUpdate& update() { return update_; }
    QLabel* progressLabel() const { return progress_; }
    QPushButton* cancelButton() const { return cancel_; }

    void reject() override;

private:
    void OnFailed();

    std::string server_;
    CGroupListUpdate update_;
    QLabel* progress_;
    QPushButton* cancel_;
};

// Runs the update dialog modally; returns when the list has come or the user cancelled.
bool RunGroupListUpdate(QWidget* parent, const std::string& server);

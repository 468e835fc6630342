#pragma once

// The event list of the main window: the monitors of the schedule chosen in the selector,
// with delete, rename, copy, cut, paste and open-for-editing. The list is rebuilt from the
// settings store after every change; nothing here is a copy of a record that outlives it.

#include <QObject>
#include <string>
#include <vector>

#include "platform/Registry.h"

class CItemList;

// Launch codes of the companion programs (and 11: open a link in the web browser).
void LaunchCompanion(const std::string& argument, int code);
// The file name of the companion program started for a launch code 1 to 5.
std::string CompanionProgram(int code);
// Whether the companion program of a launch code 1 to 5 is there to be started.
bool CompanionInstalled(int code);

class CEventList : public QObject {
    Q_OBJECT
public:
    enum Style { LargeIcons = 32776, SmallIcons = 32777, ListStyle = 32778, Details = 32779 };

    struct Row {
        std::string label;        // the record's key name, as read from the store
        std::string description;  // "Description"
        std::string kindText;     // "Web Site Monitor", ...
        int kind = 0;             // "Type": the image index and the item data
    };

    // selector: the main window's schedule selector.
    CEventList(CItemList& selector, QObject* parent = nullptr);

    void RefreshList();
    void Select(int row);
    int selected() const { return selected_; }
    const std::vector<Row>& rows() const { return rows_; }

    // Selects the row of the record name (exact), or none.
    void SelectName(const std::string& name);

    void DeleteSelected();
    void ModifySelected();
    // End of label editing: rename the record name to newText (cancelled: nothing). The
    // list is refilled either way, so a refused text never stands for a record; the
    // record's row stays selected.
    void RenameEvent(std::string name, const std::string& newText);
    void RenameSelected(const std::string& newText, bool cancelled = false);
    void Copy();
    void Cut();
    void Paste();
    void SetStyle(Style style);

    Style style() const { return style_; }
    const std::string& clipboardName() const { return clipboardName_; }
    bool cutPending() const { return cutPending_; }
    // The row drawn as cut, -1 for none.
    int cutRow() const { return cutRow_; }

    // Command state.
    bool HasSelection() const {
        return selected_ >= 0 && selected_ < static_cast<int>(rows_.size());
    }
    bool PasteEnabled() const { return !clipboardName_.empty(); }
    // "Show Ticker": only a Lumetta display has documents to show.
    bool ShowTickerEnabled() const { return HasSelection() && rows_[selected_].kind == 5; }

    static std::string KindText(DWORD kind);

signals:
    // After the list was rebuilt, so that the next-event display follows.
    void refreshed();
    void changed();
    // Modify found no companion program for the event: its settings are to be shown in
    // this program's own pages.
    void editRequested(const std::string& event);

private:
    std::string SelectedLabel() const;

    CItemList& selector_;
    std::vector<Row> rows_;
    int selected_ = -1;
    int cutRow_ = -1;
    std::string clipboardName_;
    bool cutPending_ = false;
    Style style_ = Details;
};

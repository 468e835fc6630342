#pragma once

// A list of texts with a number attached to each, as a combo box or list box holds them.
// The core fills and reads it; a view shows it through the Qt model interface.

#include <QAbstractListModel>
#include <cstdint>
#include <string>
#include <vector>

class CItemList : public QAbstractListModel {
    Q_OBJECT
public:
    static constexpr int kItemDataRole = Qt::UserRole;

    explicit CItemList(bool sorted = false, QObject* parent = nullptr)
        : QAbstractListModel(parent), sorted_(sorted) {}

    void ResetContent();
    // Adds text (at its sorted place in a sorted list, else at the end); returns its index.
    int AddString(const std::string& text, int64_t data = 0);
    void DeleteString(int index);
    int GetCount() const { return static_cast<int>(items_.size()); }
    const std::string& GetText(int index) const { return items_.at(index).text; }
    int64_t GetItemData(int index) const { return items_.at(index).data; }
    void SetItemData(int index, int64_t data);
    // The first item equal to text without regard to case, or -1.
    int FindStringExact(const std::string& text) const;

    // The selected item, -1 for none.
    int GetCurSel() const { return current_; }
    void SetCurSel(int index);
    // The selected item's text, or empty.
    std::string CurrentText() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

signals:
    void currentChanged(int index);

private:
    struct Item {
        std::string text;
        int64_t data;
    };
    std::vector<Item> items_;
    bool sorted_;
    int current_ = -1;
};

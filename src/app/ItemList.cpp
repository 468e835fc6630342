#include "app/ItemList.h"

#include <strings.h>

#include <QString>

#include "platform/Registry.h"

void CItemList::ResetContent() {
    beginResetModel();
    items_.clear();
    endResetModel();
    SetCurSel(-1);
}

int CItemList::AddString(const std::string& text, int64_t data) {
    int at = GetCount();
    if (sorted_) {
        at = 0;
        while (at < GetCount() && strcasecmp(items_[at].text.c_str(), text.c_str()) <= 0) ++at;
    }
    beginInsertRows({}, at, at);
    items_.insert(items_.begin() + at, Item{text, data});
    endInsertRows();
    if (current_ >= at) SetCurSel(current_ + 1);
    return at;
}

void CItemList::DeleteString(int index) {
    if (index < 0 || index >= GetCount()) return;
    beginRemoveRows({}, index, index);
    items_.erase(items_.begin() + index);
    endRemoveRows();
    if (current_ == index)
        SetCurSel(-1);
    else if (current_ > index)
        SetCurSel(current_ - 1);
}

void CItemList::SetItemData(int index, int64_t data) {
    if (index < 0 || index >= GetCount()) return;
    items_[index].data = data;
    auto i = createIndex(index, 0);
    emit dataChanged(i, i, {kItemDataRole});
}

int CItemList::FindStringExact(const std::string& text) const {
    // Names are the store's, so they compare as the store compares them (whatever the
    // locale: "DAILY" is "Daily" under tr_TR too, "GÜNLÜK" is "Günlük"); only when no name is
    // the same by that rule does full case folding decide ("STRASSE" finds "Straße").
    const std::string folded = RegistryFoldName(text);
    for (int i = 0; i < GetCount(); ++i)
        if (RegistryFoldName(items_[i].text) == folded) return i;
    const QString wanted = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    for (int i = 0; i < GetCount(); ++i) {
        const std::string& item = items_[i].text;
        if (QString::fromUtf8(item.data(), static_cast<qsizetype>(item.size()))
                .compare(wanted, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

void CItemList::SetCurSel(int index) {
    if (index < -1 || index >= GetCount()) index = -1;
    if (index == current_) return;
    current_ = index;
    emit currentChanged(index);
}

std::string CItemList::CurrentText() const {
    return current_ >= 0 ? items_[current_].text : std::string();
}

int CItemList::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : GetCount();
}

QVariant CItemList::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= GetCount()) return {};
    const Item& item = items_[index.row()];
    if (role == Qt::DisplayRole) return QString::fromStdString(item.text);
    if (role == kItemDataRole) return QVariant::fromValue<qint64>(item.data);
    return {};
}

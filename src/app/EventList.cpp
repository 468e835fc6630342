#include "app/EventList.h"

#include <unistd.h>

#include <unordered_set>

#include "app/ItemList.h"
#include "app/SettingsStore.h"
#include "platform/Shell.h"
#include "platform/UserPrompt.h"

using namespace settings;

std::string CompanionProgram(int code) {
    switch (code) {
        case 1:
            return "./quorvane-schedule";
        case 2:
            return "./quorvane-newswatch";
        case 3:
            return "./quorvane-mailwatch";
        case 4:
            return "./quorvane-webwatch";
        case 5:
            return "./lumetta";
        default:
            return {};
    }
}

bool CompanionInstalled(int code) {
    std::string program = CompanionProgram(code);
    return !program.empty() && ::access(program.c_str(), X_OK) == 0;
}

void LaunchCompanion(const std::string& argument, int code) {
    if (code >= 1 && code <= 5) {
        std::vector<std::string> args;
        if (!argument.empty()) args.push_back(argument);
        Shell::Get().StartProgram(CompanionProgram(code), args);  // failures go unreported
        return;
    }
    if (code == 11) {
        std::string browser;
        ReadRootString(kWebBrowser, browser);
        if (browser.empty()) {
            size_t b = argument.find_first_not_of(" \t");
            size_t e = argument.find_last_not_of(" \t");
            Shell::Get().OpenUrl(b == std::string::npos ? "" : argument.substr(b, e - b + 1));
        } else {
            Shell::Get().StartProgram(browser, {argument});
        }
    }
}

CEventList::CEventList(CItemList& selector, QObject* parent)
    : QObject(parent), selector_(selector) {}

std::string CEventList::KindText(DWORD kind) {
    switch (kind) {
        case 2:
            return "News Group Monitor";
        case 3:
            return "Mail Monitor";
        case 4:
            return "Web Site Monitor";
        case 5:
            return "Lumetta";
        default:
            return {};
    }
}

std::string CEventList::SelectedLabel() const {
    // The whole key name: the store takes 255 characters of any byte length, and a name cut
    // to a byte count would name another record (or half a character).
    return HasSelection() ? rows_[selected_].label : std::string();
}

void CEventList::Select(int row) {
    int next = row >= 0 && row < static_cast<int>(rows_.size()) ? row : -1;
    if (next == selected_) return;
    selected_ = next;
    emit changed();
}

void CEventList::RefreshList() {
    rows_.clear();
    selected_ = -1;
    cutRow_ = -1;

    std::string chosen = selector_.CurrentText();
    FillScheduleList(selector_);
    int at = selector_.FindStringExact(chosen);
    if (at < 0 || chosen.empty()) at = selector_.FindStringExact(kNoSchedule);
    selector_.SetCurSel(at);
    if (at < 0) {
        emit changed();
        emit refreshed();
        return;
    }
    std::string schedule = selector_.GetText(at);
    // Under "<None>" stand the monitors that belong to no schedule that exists: those made
    // without one, those whose schedule was deleted ("<None") and those naming a schedule
    // that is not there. Listed, they can be edited, given a schedule or deleted; otherwise
    // nothing would show them and their names would stay taken.
    const bool orphans = schedule == kNoSchedule;
    std::unordered_set<std::string> schedules;
    for (int i = 0; orphans && i < selector_.GetCount(); ++i)
        if (selector_.GetText(i) != kNoSchedule) schedules.insert(selector_.GetText(i));

    RegKey root;
    if (root.Open(RegKey::LocalMachine(), kRoot) == ERROR_SUCCESS) {
        std::string name;
        for (DWORD i = 0; root.EnumKey(i, &name, kMaxKeyNameLength + 1) == ERROR_SUCCESS; ++i) {
            RegKey event;
            if (event.Open(root, name) != ERROR_SUCCESS) continue;
            DWORD kind = 0;
            if (event.GetDword(kType, &kind) != ERROR_SUCCESS || kind == kSchedule) continue;
            std::string owner;
            const bool named =
                event.GetString(kScheduledEvent, &owner, kEventNameBuffer) == ERROR_SUCCESS;
            if (orphans ? named && schedules.count(owner) != 0 : !named || owner != schedule)
                continue;
            Row row;
            row.label = name;
            row.kind = static_cast<int>(kind);
            row.description = ReadString(event, kDescription);
            row.kindText = KindText(kind);
            rows_.push_back(std::move(row));
        }
    }
    emit changed();
    emit refreshed();
}

void CEventList::DeleteSelected() {
    if (!HasSelection()) return;
    std::string name = SelectedLabel();
    if (UserPrompt::Get().Ask("Are you sure you want to delete " + name + "?", "Quorvane",
                              UserPrompt::YesNo, UserPrompt::Question) != UserPrompt::IdYes)
        return;
    RegKey::LocalMachine().DeleteKey(EventPath(name));
    RefreshList();
}

void CEventList::ModifySelected() {
    if (!HasSelection()) return;
    const Row& row = rows_[selected_];
    if (CompanionInstalled(row.kind))
        LaunchCompanion(row.label, row.kind);
    else if (row.kind >= 1 && row.kind <= 5)
        emit editRequested(row.label);
}

void CEventList::SelectName(const std::string& name) {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].label == name) {
            Select(static_cast<int>(i));
            return;
        }
    }
    Select(-1);
}

// name by value: it may be a row's own label, and the refill below replaces the rows.
void CEventList::RenameEvent(std::string name, const std::string& newText) {
    if (name.empty()) return;
    std::string oldPath = EventPath(name), newPath = EventPath(newText);
    if (oldPath == newPath) return;
    std::string keep = name;
    if (std::string problem = EventNameProblem(newText, false); !problem.empty()) {
        UserPrompt::Get().Ask("Can not rename the event " + name + ", " + problem, "Quorvane",
                              UserPrompt::Ok, UserPrompt::Exclamation);
    } else if (CopyKeyTree(oldPath, newPath) != 0) {
        UserPrompt::Get().Ask("Can not rename the event " + name + " try another name", "Quorvane",
                              UserPrompt::Ok, UserPrompt::Exclamation);
    } else {
        RegKey::LocalMachine().DeleteKey(oldPath);
        keep = newText;
    }
    // Left in the row, a refused text would name another record (key names ignore case)
    // and the next Delete or Modify would reach that one: show the store again.
    RefreshList();
    SelectName(keep);
}

void CEventList::RenameSelected(const std::string& newText, bool cancelled) {
    if (cancelled || !HasSelection()) return;
    RenameEvent(rows_[selected_].label, newText);
}

void CEventList::Copy() {
    if (!HasSelection()) return;
    clipboardName_ = rows_[selected_].label;
    cutRow_ = -1;
    cutPending_ = false;
    emit changed();
}

void CEventList::Cut() {
    if (!HasSelection()) return;
    clipboardName_ = rows_[selected_].label;
    cutRow_ = selected_;
    cutPending_ = true;
    emit changed();
}

void CEventList::Paste() {
    if (clipboardName_.empty()) return;
    std::string source = EventPath(clipboardName_);
    {
        // Copying a record that is gone would leave an empty key per attempt behind.
        RegKey probe;
        if (probe.Open(RegKey::LocalMachine(), source) != ERROR_SUCCESS) {
            UserPrompt::Get().Ask("Can not paste " + clipboardName_ + ", it no longer exists.",
                                  "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
            clipboardName_.clear();
            cutPending_ = false;
            cutRow_ = -1;
            emit changed();
            return;
        }
    }
    std::string target;
    if (cutPending_) {
        target = source;
    } else {
        for (int n = 0; n <= 100 && target.empty(); ++n) {
            std::string candidate =
                std::string(kRoot) + "\\" + clipboardName_ + "(" + std::to_string(n) + ")";
            if (CopyKeyTree(source, candidate) == 0) target = candidate;
        }
        if (target.empty()) {
            // No numbered name is free or fits in the store's 255 characters.
            UserPrompt::Get().Ask(
                "Can not paste " + clipboardName_ + ", there is no name left for the copy.",
                "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
            return;
        }
    }
    RegKey key;
    if (key.Open(RegKey::LocalMachine(), target) == ERROR_SUCCESS)
        key.SetString(kScheduledEvent, selector_.CurrentText());
    cutPending_ = false;
    cutRow_ = -1;
    RefreshList();
}

void CEventList::SetStyle(Style style) {
    if (style_ == style) return;
    style_ = style;
    emit changed();
}

#include "net/Panel.h"

#include <algorithm>

#include "net/Connection.h"

void CPanel::SetVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    emit visibilityChanged(visible);
}

const std::string& CPanel::line(size_t index) const {
    static const std::string kNone;
    return index < lines_.size() ? lines_[index] : kNone;
}

void CPanel::Complete(WPARAM result) {
    if (runWindow_) runWindow_->PostMessage(WM_STEP_FINISHED, result, 0);
}

void CPanel::SetTitle(const std::string& text) {
    title_ = text;
    emit linesChanged();
}

void CPanel::SetLines(std::vector<std::string> lines) {
    lines_ = std::move(lines);
    emit linesChanged();
}

void CPanel::SetLine(size_t index, const std::string& text) {
    if (lines_.size() <= index) lines_.resize(index + 1);
    lines_[index] = text;
    emit linesChanged();
}

void CPanel::SetProgress(std::optional<int> percent) {
    if (percent) percent = std::clamp(*percent, 0, 100);
    if (progress_ == percent) return;
    progress_ = percent;
    emit linesChanged();
}

void CPanel::RegisterClient(CConnection& client, UINT lookupMessage) {
    for (const Client& c : clients_)
        if (c.connection == &client) return;
    clients_.push_back({&client, lookupMessage});
    client.SetOwner(this);
}

void CPanel::OnTimer(UINT id) {
    for (const Client& c : clients_)
        if (c.connection->OnTimer(id)) return;
}

void CPanel::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    bool lookup = false;
    for (const Client& c : clients_) {
        if (c.lookupMessage != msg) continue;
        // Clients may share a lookup message: each knows its own answer by its handle
        // and passes over the others'.
        c.connection->OnLookupDone(wParam, lParam);
        lookup = true;
    }
    if (!lookup) OnStepMessage(msg, wParam, lParam);
}

void CPanel::OnStepMessage(UINT, WPARAM, LPARAM) {}

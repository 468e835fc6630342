#include "app/Panel.h"

void CPanel::SetVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    emit visibilityChanged(visible);
}

void CPanel::Complete(WPARAM result) {
    if (runWindow_) runWindow_->PostMessage(WM_STEP_FINISHED, result, 0);
}

void CPanel::SetTitle(const std::string& text) {
    title_ = text;
    emit linesChanged();
}

void CPanel::SetLines(const std::string& line1, const std::string& line2) {
    line1_ = line1;
    line2_ = line2;
    emit linesChanged();
}

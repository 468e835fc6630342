#include "app/Panel.h"

void CPanel::SetVisible(bool visible) {
    if (visible_ == visible) return;
    visible_ = visible;
    emit visibilityChanged(visible);
}

void CPanel::Complete(WPARAM result) {
    if (runWindow_) runWindow_->PostMessage(WM_STEP_FINISHED, result, 0);
}

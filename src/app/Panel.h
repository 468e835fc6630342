#pragma once

// One step of a schedule run: a monitor, the time synchronisation or the mail queue
// sender. A panel works asynchronously and, when its step is done, posts 0x0401 to the
// run window with its result in wParam.

#include <string>

#include "platform/Window.h"

inline constexpr UINT WM_STEP_FINISHED = WM_USER + 1;  // 0x0401

class CPanel : public CWindow {
    Q_OBJECT
public:
    explicit CPanel(QObject* parent = nullptr) : CWindow(parent) {}

    void SetRunWindow(CWindow* runWindow) { runWindow_ = runWindow; }

    // Starts the step for an event (the time synchronisation and the mail queue sender
    // take no name and get an empty one).
    virtual void Start(const std::string& eventName) = 0;
    // Stops the step at once; the panel may still post its completion, which the run
    // window then ignores.
    virtual void Cancel(int code) = 0;

    // Shown, hidden and raised by the run window; the view follows.
    bool visible() const { return visible_; }
    void SetVisible(bool visible);

    // The panel's title line and its two status lines.
    const std::string& title() const { return title_; }
    const std::string& line1() const { return line1_; }
    const std::string& line2() const { return line2_; }

signals:
    void visibilityChanged(bool visible);
    void linesChanged();

protected:
    // Tells the run window that the step is over.
    void Complete(WPARAM result);
    void SetTitle(const std::string& text);
    void SetLines(const std::string& line1, const std::string& line2);
    void SetLine1(const std::string& line1) { SetLines(line1, line2_); }

private:
    CWindow* runWindow_ = nullptr;
    bool visible_ = false;
    std::string title_, line1_, line2_;
};

// Stands in for a kind of step that this build does not carry out yet: it does nothing,
// writes nothing and finishes at once, so that every run completes.
class CPlaceholderPanel final : public CPanel {
    Q_OBJECT
public:
    using CPanel::CPanel;
    void Start(const std::string&) override { Complete(0); }
    void Cancel(int) override {}
};

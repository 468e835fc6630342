#pragma once

// One step of a schedule run: a monitor, the time synchronisation or the mail queue
// sender. A panel works asynchronously and, when its step is done, posts 0x0401 to the
// run window with its result in wParam. It tells what it is doing in any number of status
// lines and, where the step can tell how far it is, a progress value. The protocol
// clients it drives are registered with it once; it hands them their timer ticks and name
// lookup answers, so that no step has to route them by hand.

#include <optional>
#include <string>
#include <vector>

#include "platform/Window.h"

class CConnection;

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
    // After a cancel: the step still winds down (a server is being told goodbye so that
    // what was done sticks) and will post its completion. A second Cancel ends it at once.
    virtual bool Finishing() const { return false; }

    // Shown, hidden and raised by the run window; the view follows.
    bool visible() const { return visible_; }
    void SetVisible(bool visible);

    // The panel's title line and its status lines, as many as the step shows.
    const std::string& title() const { return title_; }
    const std::vector<std::string>& lines() const { return lines_; }
    // Line index (from 0); empty when the panel shows fewer lines.
    const std::string& line(size_t index) const;
    const std::string& line1() const { return line(0); }
    const std::string& line2() const { return line(1); }
    // How far the step is, 0 to 100; none when the step cannot tell.
    std::optional<int> progress() const { return progress_; }

signals:
    void visibilityChanged(bool visible);
    // Title, lines or progress changed.
    void linesChanged();

protected:
    // Tells the run window that the step is over.
    void Complete(WPARAM result);
    void SetTitle(const std::string& text);
    // Replaces every status line.
    void SetLines(std::vector<std::string> lines);
    void SetLines(const std::string& line1, const std::string& line2) { SetLines({line1, line2}); }
    // Sets one line, keeping the others; the panel grows to show it.
    void SetLine(size_t index, const std::string& text);
    void SetLine1(const std::string& line1) { SetLine(0, line1); }
    // Values outside 0 to 100 are held to the nearer end.
    void SetProgress(std::optional<int> percent);

    // Makes this panel the owner of client. lookupMessage is the message the client's
    // name lookups answer with. A client registered already stays where it was.
    void RegisterClient(CConnection& client, UINT lookupMessage);

    // Every tick goes to the registered clients in the order they were registered, until
    // one of them owns it.
    void OnTimer(UINT id) override;
    // A lookup answer goes to the client registered for it; every other message to
    // OnStepMessage.
    void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) final;
    virtual void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam);

private:
    struct Client {
        CConnection* connection;
        UINT lookupMessage;
    };

    CWindow* runWindow_ = nullptr;
    bool visible_ = false;
    std::string title_;
    std::vector<std::string> lines_;
    std::optional<int> progress_;
    std::vector<Client> clients_;
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

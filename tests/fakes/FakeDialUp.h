#pragma once

// A dial-up that answers as a test tells it to and writes what it was asked into a shared
// timeline, and a pager queue and panels that do the same.

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "net/Panel.h"
#include "notify/PagerQueue.h"
#include "platform/DialUp.h"

using Timeline = std::vector<std::string>;

class FakeDialUp : public DialUp {
public:
    explicit FakeDialUp(Timeline* timeline) : timeline_(timeline) {}

    uint32_t entryError = 0;
    bool passwordSaved = true;
    uint32_t dialResult = 0;
    HRASCONN handle = 77;
    // Posted one after the other once dialing started: (state, error).
    std::vector<std::pair<WPARAM, LPARAM>> events = {{RASCS_PortOpened, 0}, {RASCS_Connected, 0}};
    RasDialParams lastParams;

    uint32_t GetEntryDialParams(const std::string& entry, RasDialParams* params,
                                bool* saved) override {
        timeline_->push_back("entry " + entry);
        if (entryError) return entryError;
        params->entryName = entry;
        params->userName = "stored-user";
        params->password = "stored-password";
        *saved = passwordSaved;
        return 0;
    }
    uint32_t Dial(const RasDialParams& params, CWindow* notifier, HRASCONN* c) override {
        timeline_->push_back("dial " + params.entryName);
        lastParams = params;
        *c = handle;
        if (dialResult == 0) {
            UINT msg = CWindow::RegisterWindowMessage(kRasDialEventName);
            for (auto [state, error] : events) notifier->PostMessage(msg, state, error);
        }
        return dialResult;
    }
    std::string GetErrorString(uint32_t code) override {
        return "error text " + std::to_string(code);
    }
    uint32_t HangUp(HRASCONN c) override {
        timeline_->push_back("hangup " + std::to_string(c));
        return 0;
    }

private:
    Timeline* timeline_;
};

class FakePagerQueue : public PagerQueue {
public:
    explicit FakePagerQueue(Timeline* timeline) : timeline_(timeline) {}
    std::deque<std::string> numbers;
    std::vector<bool> results;  // per call made; missing = success

    int TakeNextPagerCall() override {
        if (numbers.empty()) return 0;
        current_ = numbers.front();
        return 1;
    }
    std::string CurrentPagerNumber() const override { return current_; }
    bool MakePagerCall() override {
        const int cancelsBefore = cancels;
        if (whileCalling) {
            auto once = std::move(whileCalling);
            whileCalling = nullptr;
            once();
        }
        bool ok = calls_ < results.size() ? results[calls_] : true;
        ok = ok && cancels == cancelsBefore;
        ++calls_;
        timeline_->push_back("page " + current_ + (ok ? "" : " failed"));
        if (ok) numbers.pop_front();
        keepPaging_ = ok;
        return ok;
    }
    bool KeepPaging() const override { return keepPaging_; }
    void CancelCall() override {
        ++cancels;
        timeline_->push_back("cancel call");
    }
    // Runs inside the first call, as the dialer's loop would run a signal's handler.
    std::function<void()> whileCalling;
    int cancels = 0;

private:
    Timeline* timeline_;
    std::string current_;
    size_t calls_ = 0;
    bool keepPaging_ = true;
};

// Records Start and Cancel and finishes on the next turn of the loop, unless held.
class RecordingPanel : public CPanel {
public:
    RecordingPanel(std::string label, Timeline* timeline)
        : label_(std::move(label)), timeline_(timeline) {}

    bool hold = false;  // do not finish by itself
    // A cancel leaves it saying goodbye to its server until Finish or a second cancel.
    bool windsDown = false;
    int cancels = 0;

    void Start(const std::string& name) override {
        timeline_->push_back(label_ + (name.empty() ? "" : " " + name));
        if (!hold) PostMessage(kFinish);
    }
    void Cancel(int code) override {
        ++cancels;
        timeline_->push_back("cancel " + label_ + " " + std::to_string(code));
        winding_ = windsDown && !winding_;
    }
    bool Finishing() const override { return winding_; }
    void Finish(WPARAM result = 0) {
        winding_ = false;
        Complete(result);
    }
    // What a step at work shows.
    void Show(const std::string& title, std::vector<std::string> lines,
              std::optional<int> progress) {
        SetTitle(title);
        SetLines(std::move(lines));
        SetProgress(progress);
    }

protected:
    void OnStepMessage(UINT msg, WPARAM, LPARAM) override {
        if (msg == kFinish) Complete(0);
    }

private:
    static constexpr UINT kFinish = WM_USER + 50;
    bool winding_ = false;
    std::string label_;
    Timeline* timeline_;
};

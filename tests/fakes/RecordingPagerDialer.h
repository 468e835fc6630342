#pragma once

// A pager dialer that dials nothing: it records each dial string and every StopCall, and
// answers with the results a test lines up (then with 0, a page that went out).

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "notify/PagerDialer.h"

class RecordingPagerDialer : public PagerDialer {
public:
    std::vector<std::string> dialed;
    std::vector<int> stops;
    std::deque<int> results;
    std::string status = "NO CARRIER";
    // Runs inside Dial, as the loop a real dialer keeps turning would.
    std::function<void()> whileDialing;

    int Dial(const std::string& dialString) override {
        dialed.push_back(dialString);
        if (whileDialing) whileDialing();
        if (results.empty()) return 0;
        int result = results.front();
        results.pop_front();
        return result;
    }
    void StopCall(int code) override { stops.push_back(code); }
    std::string statusText() const override { return status; }
};

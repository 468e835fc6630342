#pragma once

// The window that drives an HTTP client in tests: it hands lookup answers and timer ticks
// to the client and keeps every completion.

#include <utility>
#include <vector>

#include "net/Http.h"

class HttpOwner : public CWindow {
public:
    CHttp http;
    std::vector<std::pair<UINT, uint32_t>> done;
    HttpOwner() { http.SetOwner(this); }

protected:
    void OnMessage(UINT msg, WPARAM w, LPARAM l) override {
        if (msg == WM_HTTP_LOOKUP_DONE)
            http.OnLookupDone(w, l);
        else
            done.emplace_back(msg, static_cast<uint32_t>(w));
    }
    void OnTimer(UINT id) override { http.OnTimer(id); }
};

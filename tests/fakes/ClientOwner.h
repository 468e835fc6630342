#pragma once

// The window that drives a protocol client in tests: it hands lookup answers and timer
// ticks to the client and keeps every completion.

#include <utility>
#include <vector>

#include "platform/Window.h"

template <typename Client, UINT kLookupMessage>
class ClientOwner : public CWindow {
public:
    Client client;
    std::vector<std::pair<UINT, uint32_t>> done;
    ClientOwner() { client.SetOwner(this); }

protected:
    void OnMessage(UINT msg, WPARAM w, LPARAM l) override {
        if (msg == kLookupMessage)
            client.OnLookupDone(w, l);
        else
            done.emplace_back(msg, static_cast<uint32_t>(w));
    }
    void OnTimer(UINT id) override { client.OnTimer(id); }
};

// Receives a panel's completion, as the run window does.
class RunStub : public CWindow {
public:
    std::vector<uint32_t> done;

protected:
    void OnMessage(UINT msg, WPARAM w, LPARAM) override {
        if (msg == WM_USER + 1) done.push_back(static_cast<uint32_t>(w));
    }
};

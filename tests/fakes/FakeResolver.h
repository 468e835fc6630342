#pragma once

// A name lookup that answers from a table on the next turn of the loop, or never.

#include <arpa/inet.h>

#include <QTimer>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/AsyncSocket.h"

class FakeResolver : public Resolver {
public:
    // name -> its addresses, either family, in the order given ("127.0.0.1", "::1")
    std::map<std::string, std::vector<std::string>> addresses;
    std::set<std::string> never;  // lookups that never finish
    std::vector<std::string> asked;

    uint64_t Lookup(const std::string& name, Done done) override {
        asked.push_back(name);
        uint64_t handle = next_++;
        if (never.count(name)) return handle;
        live_.insert(handle);
        auto it = addresses.find(name);
        int error = it == addresses.end() ? WSAHOST_NOT_FOUND : 0;
        std::vector<SocketAddress> found;
        if (!error)
            for (const auto& text : it->second)
                if (auto a = SocketAddress::FromLiteral(text)) found.push_back(*a);
        // Bound to context_: a fake destroyed before the loop turns answers nothing.
        QTimer::singleShot(0, &context_, [this, handle, error, found, done] {
            if (live_.erase(handle)) done(error, found);
        });
        return handle;
    }
    void Cancel(uint64_t handle) override { live_.erase(handle); }

private:
    QObject context_;
    uint64_t next_ = 1;
    std::set<uint64_t> live_;
};

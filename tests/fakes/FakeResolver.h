#pragma once

// A name lookup that answers from a table on the next turn of the loop, or never.

#include <arpa/inet.h>

#include <QTimer>
#include <map>
#include <set>
#include <string>

#include "platform/AsyncSocket.h"

class FakeResolver : public Resolver {
public:
    std::map<std::string, std::string> addresses;  // name -> dotted address
    std::set<std::string> never;                   // lookups that never finish
    std::vector<std::string> asked;

    uint64_t Lookup(const std::string& name, Done done) override {
        asked.push_back(name);
        uint64_t handle = next_++;
        if (never.count(name)) return handle;
        live_.insert(handle);
        auto it = addresses.find(name);
        int error = it == addresses.end() ? WSAHOST_NOT_FOUND : 0;
        in_addr address{};
        if (!error) inet_pton(AF_INET, it->second.c_str(), &address);
        // Bound to context_: a fake destroyed before the loop turns answers nothing.
        QTimer::singleShot(0, &context_, [this, handle, error, address, done] {
            if (live_.erase(handle)) done(error, address);
        });
        return handle;
    }
    void Cancel(uint64_t handle) override { live_.erase(handle); }

private:
    QObject context_;
    uint64_t next_ = 1;
    std::set<uint64_t> live_;
};

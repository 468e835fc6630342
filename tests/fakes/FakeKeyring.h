#pragma once

// A desktop keyring in memory, installed for the test that makes it and removed with it.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "platform/Secrets.h"

class FakeKeyring : public secrets::SecretStore {
public:
    secrets::Result Read(const std::string& key, std::string* secret) override {
        ++reads;
        if (!answer.ok()) return answer;
        auto it = items.find(key);
        if (it == items.end()) return {secrets::Outcome::kNotFound, "No such item"};
        if (secret) *secret = it->second;
        return {};
    }
    secrets::Result Write(const std::string& key, const std::string& secret) override {
        ++writes;
        if (!answer.ok()) return answer;
        items[key] = secret;
        if (afterWrite) afterWrite(key);
        return {};
    }
    secrets::Result Remove(const std::string& key) override {
        if (!answer.ok()) return answer;
        items.erase(key);
        return {};
    }
    bool Available() const override { return available; }
    bool Probe(std::string* why) override {
        ++probes;
        if (appearsOnProbe && answer.ok()) available = true;
        if (!available && why) *why = "no keyring yet";
        return available;
    }

    std::map<std::string, std::string> items;
    bool available = true;
    // A keyring that was not there at start and answers the next probe.
    bool appearsOnProbe = false;
    // What every question gets when it is not kOk: a keyring that is gone or does not answer.
    secrets::Result answer;
    std::function<void(const std::string&)> afterWrite;
    int reads = 0, writes = 0, probes = 0;
};

// Installs a FakeKeyring for as long as it lives.
struct InstalledKeyring {
    std::shared_ptr<FakeKeyring> keyring = std::make_shared<FakeKeyring>();
    InstalledKeyring() { secrets::Install(keyring); }
    ~InstalledKeyring() { secrets::Install(nullptr); }
    FakeKeyring* operator->() { return keyring.get(); }
};

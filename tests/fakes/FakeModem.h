#pragma once

// The fake modem process (tests/fakes/fake-modem) on a pseudo-terminal.

#include <QProcess>
#include <filesystem>
#include <string>

#include "fixtures/Fixtures.h"

// The fake modem process: its terminal's name and the bytes it was sent.
class FakeModem {
public:
    FakeModem(const std::string& dir, const std::string& mode)
        : link_(dir + "/modem-" + mode), record_(dir + "/bytes-" + mode) {
        process_.start(FAKE_MODEM, {QString::fromStdString(link_), QString::fromStdString(record_),
                                    QString::fromStdString(mode)});
        waitFor([&] { return std::filesystem::exists(link_); });
        device = ReadFileBytes(link_);
    }
    ~FakeModem() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    std::string bytes() const { return ReadFileBytes(record_); }

    std::string device;

private:
    std::string link_, record_;
    QProcess process_;
};

#pragma once

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fakes/FakeSmtpServer.h"
#include "fixtures/Fixtures.h"

// An SMTP sink: aiosmtpd writing a maildir, or the scripted server when it cannot start.
class SmtpSink {
public:
    explicit SmtpSink(const std::string& maildir) : maildir_(maildir) {
        QTcpServer probe;
        probe.listen(QHostAddress("127.0.0.1"), 0);
        port_ = probe.serverPort();
        probe.close();
        process_.start("/usr/bin/python3",
                       {"-m", "aiosmtpd", "-n", "-l", QString("127.0.0.1:%1").arg(port_), "-c",
                        "aiosmtpd.handlers.Mailbox", QString::fromStdString(maildir)});
        for (int i = 0; i < 100 && process_.state() != QProcess::NotRunning; ++i) {
            QTcpSocket s;
            s.connectToHost("127.0.0.1", static_cast<quint16>(port_));
            if (s.waitForConnected(100)) {
                real_ = true;
                return;
            }
            QThread::msleep(50);
        }
        process_.kill();
        process_.waitForFinished(2000);
        fake_ = std::make_unique<FakeSmtpServer>();
        port_ = fake_->port();
    }
    ~SmtpSink() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(5000)) process_.kill();
        }
    }
    int port() const { return port_; }
    // The texts of the messages received so far.
    std::vector<std::string> Messages() const {
        if (fake_) return fake_->messages;
        std::vector<std::string> out;
        if (std::filesystem::exists(maildir_ + "/new"))
            for (const auto& e : std::filesystem::directory_iterator(maildir_ + "/new"))
                out.push_back(ReadFileBytes(e.path().string()));
        return out;
    }

private:
    std::string maildir_;
    int port_ = 0;
    bool real_ = false;
    QProcess process_;
    std::unique_ptr<FakeSmtpServer> fake_;
};

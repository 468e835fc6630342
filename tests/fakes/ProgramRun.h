#pragma once

// Runs the built programs against a settings store and data folder of the test's own, as a
// user would from a shell.

#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <string>
#include <vector>

#include "app/ActivityLog.h"
#include "fixtures/Fixtures.h"

class ProgramRun {
public:
    // store: the settings file; dataDir: the data folder.
    ProgramRun(std::string store, std::string dataDir)
        : store_(std::move(store)), dataDir_(std::move(dataDir)) {}

    // `quorvane-reg --registry STORE ARGS...`: its exit code, -1 when it crashed.
    int Reg(const QStringList& args) const {
        QProcess p;
        p.start(QUORVANE_REG_BIN, QStringList{"--registry", QString::fromStdString(store_)} + args);
        p.waitForFinished(30000);
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    // Sets each {key, value, type, data}; false at the first that fails.
    bool Set(const std::vector<QStringList>& values) const {
        for (const auto& v : values)
            if (Reg(QStringList{"set"} + v) != 0) return false;
        return true;
    }
    // One `quorvane --run SCHEDULE`; the texts of the log records it added.
    std::vector<std::string> RunOnce(
        const std::string& schedule,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) const {
        const std::string log = dataDir_ + "/Quorvane.log";
        std::vector<LogRecord> before;
        ReadLogFile(log, &before, nullptr);
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QUORVANE_BIN,
                {"--data-dir", QString::fromStdString(dataDir_), "--registry",
                 QString::fromStdString(store_), "--run", QString::fromStdString(schedule)});
        EXPECT_TRUE(p.waitForStarted(10000));
        // The loop keeps turning meanwhile, so that a scripted server in the test can answer.
        EXPECT_TRUE(
            waitFor([&] { return p.state() == QProcess::NotRunning; }, std::chrono::seconds(240)));
        EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
        std::vector<LogRecord> after;
        ReadLogFile(log, &after, nullptr);
        std::vector<std::string> added;
        for (size_t i = before.size(); i < after.size(); ++i)
            added.push_back(after[i].text.substr(2));
        return added;
    }

private:
    std::string store_, dataDir_;
};

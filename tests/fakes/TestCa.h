#pragma once

// A throw-away certificate authority for the tests, made with the openssl command in a
// folder of the test's own: its certificate is what a test names in TlsCaFile, and it
// issues server certificates for loopback names, valid, expired or for another host.

#include <QProcess>
#include <QStringList>
#include <fstream>
#include <string>
#include <vector>

class TestCa {
public:
    struct Issued {
        std::string cert, key;
    };

    explicit TestCa(const std::string& dir) : dir_(dir) {
        ok_ = Run({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                   "-nodes", "-keyout", Path("ca.key"), "-out", Path("ca.pem"), "-days", "30",
                   "-subj", "/CN=Quorvane Test Authority"});
    }

    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }
    std::string caFile() const { return dir_ + "/ca.pem"; }

    // A certificate for altNames ("DNS:localhost", "IP:127.0.0.1"); days below zero make
    // one that expired before today.
    Issued Issue(const std::string& name, const std::vector<std::string>& altNames, int days = 30) {
        Issued out{dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
        std::string csr = dir_ + "/" + name + ".csr", ext = dir_ + "/" + name + ".ext";
        std::string alt;
        for (const auto& a : altNames) alt += (alt.empty() ? "" : ",") + a;
        std::ofstream(ext) << "subjectAltName=" << alt << "\nbasicConstraints=CA:FALSE\n";
        bool made = Run({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                         "-nodes", "-keyout", out.key, "-out", csr, "-subj", "/CN=" + name}) &&
                    Run({"x509", "-req", "-in", csr, "-CA", caFile(), "-CAkey", dir_ + "/ca.key",
                         "-CAcreateserial", "-out", out.cert, "-days", std::to_string(days),
                         "-extfile", ext});
        if (!made) ok_ = false;
        return out;
    }

private:
    std::string Path(const char* file) const { return dir_ + "/" + file; }
    bool Run(const std::vector<std::string>& args) {
        QStringList list;
        for (const auto& a : args) list << QString::fromStdString(a);
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("openssl", list);
        if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit ||
            p.exitCode() != 0) {
            error_ += p.readAll().toStdString();
            return false;
        }
        return true;
    }

    std::string dir_, error_;
    bool ok_ = false;
};

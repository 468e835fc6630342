#pragma once

// A real POP3 server for the tests: Debian's Dovecot, started on 127.0.0.1 with a
// throw-away configuration of its own (no system configuration, no systemd), one user with
// a password in a passwd-file, and a maildir the test fills. It listens for pop3 (plain and
// STLS) and pop3s (TLS from the first byte) with a certificate the test's authority issued,
// and is stopped when the object goes.
//
// Dovecot takes its ports from its configuration and cannot be told to bind port 0. The
// ports are picked by binding port 0 and releasing it just before Dovecot starts; another
// process may take one in that moment, so a start that fails to bind is tried again with new
// ports.

#include <sys/stat.h>
#include <unistd.h>

#include <pwd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/TestCa.h"

class Dovecot {
public:
    std::string user = "tester";
    std::string password = "s3cret pass";

    // A folder of its own under /tmp: the mail user Dovecot switches to must be able to
    // reach it, which a test's private sandbox does not allow.
    Dovecot() {
        char pattern[] = "/tmp/qv-dovecot-XXXXXX";
        if (::mkdtemp(pattern)) {
            dir_ = pattern;
            ::chmod(dir_.c_str(), 0755);
        }
        // As root, the mail belongs to Dovecot's own user (it refuses uid 0 for mail) and
        // its login processes run as dovenull; otherwise everything runs as this user.
        if (::getuid() == 0) {
            loginUser_ = "dovenull";
            internalUser_ = "dovecot";
            if (passwd* pw = ::getpwnam("dovecot")) {
                mailUid_ = pw->pw_uid;
                mailGid_ = pw->pw_gid;
            }
        } else {
            passwd* pw = ::getpwuid(::getuid());
            loginUser_ = internalUser_ = pw ? pw->pw_name : "";
            mailUid_ = ::getuid();
            mailGid_ = ::getgid();
        }
        for (const char* sub :
             {"/Maildir", "/Maildir/new", "/Maildir/cur", "/Maildir/tmp", "/home"})
            MakeOwned(dir_ + sub, 0700);
    }
    ~Dovecot() {
        Stop();
        if (!dir_.empty()) QDir(QString::fromStdString(dir_)).removeRecursively();
    }
    Dovecot(const Dovecot&) = delete;
    Dovecot& operator=(const Dovecot&) = delete;

    // Starts the server with the certificate (and its key) that its TLS connections show.
    // False, with error() saying why, when it cannot be started.
    bool Start(const TestCa::Issued& certificate) {
        if (dir_.empty()) {
            error_ = "no folder for dovecot";
            return false;
        }
        std::ofstream(dir_ + "/users") << user << ":{PLAIN}" << password << ":" << mailUid_ << ":"
                                       << mailGid_ << "::" << dir_ << "/home::\n";
        for (int attempt = 0; attempt < 5; ++attempt) {
            pop3Port_ = FreePort();
            pop3sPort_ = FreePort();
            if (pop3Port_ == 0 || pop3sPort_ == 0 || pop3Port_ == pop3sPort_) continue;
            WriteConfig(certificate);
            QFile::remove(QString::fromStdString(dir_ + "/dovecot.log"));
            process_ = std::make_unique<QProcess>();
            process_->setProcessChannelMode(QProcess::MergedChannels);
            process_->start("dovecot",
                            {"-F", "-c", QString::fromStdString(dir_ + "/dovecot.conf")});
            if (!process_->waitForStarted(10000)) {
                error_ = "dovecot cannot be started: " + process_->errorString().toStdString();
                process_.reset();
                return false;
            }
            if (WaitListening()) return true;
            std::string output = process_->readAll().toStdString() + Log();
            Stop();
            error_ = output;
            if (output.find("in use") == std::string::npos &&
                output.find("bind") == std::string::npos)
                return false;  // not a lost port: another try will not help
        }
        return false;
    }

    void Stop() {
        if (!process_) return;
        process_->terminate();
        if (!process_->waitForFinished(10000)) {
            process_->kill();
            process_->waitForFinished(5000);
        }
        process_.reset();
    }

    // Puts a message into the box as a delivery would: written in tmp/, then moved to new/.
    // Names sort in the order of the calls, and Dovecot numbers new mail in that order.
    void AddMessage(const std::string& text) {
        char name[64];
        std::snprintf(name, sizeof name, "%010d.M%dP1.quorvane-test", 1000000000 + next_, next_);
        ++next_;
        std::string tmp = dir_ + "/Maildir/tmp/" + name, final = dir_ + "/Maildir/new/" + name;
        std::ofstream(tmp, std::ios::binary) << text;
        if (::chown(tmp.c_str(), mailUid_, mailGid_) != 0 && errno != EPERM) return;
        ::rename(tmp.c_str(), final.c_str());
    }
    // Messages still in the box (new or seen).
    int MessageCount() const {
        int n = 0;
        for (const char* sub : {"/Maildir/new", "/Maildir/cur"})
            n += static_cast<int>(
                QDir(QString::fromStdString(dir_ + sub)).entryList(QDir::Files).size());
        return n;
    }
    // The texts of the messages still in the box.
    std::vector<std::string> Messages() const {
        std::vector<std::string> texts;
        for (const char* sub : {"/Maildir/new", "/Maildir/cur"}) {
            QDir dir(QString::fromStdString(dir_ + sub));
            for (const QString& name : dir.entryList(QDir::Files)) {
                std::ifstream in(dir.filePath(name).toStdString(), std::ios::binary);
                std::stringstream s;
                s << in.rdbuf();
                texts.push_back(s.str());
            }
        }
        return texts;
    }
    std::string Log() const {
        std::ifstream in(dir_ + "/dovecot.log", std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    int pop3Port() const { return pop3Port_; }
    int pop3sPort() const { return pop3sPort_; }
    const std::string& error() const { return error_; }

private:
    void MakeOwned(const std::string& path, mode_t mode) {
        ::mkdir(path.c_str(), mode);
        if (::chown(path.c_str(), mailUid_, mailGid_) != 0) {
            // Not root: the folders are this user's already.
        }
    }
    static int FreePort() {
        QTcpServer probe;
        if (!probe.listen(QHostAddress("127.0.0.1"), 0)) return 0;
        int port = probe.serverPort();
        probe.close();
        return port;
    }
    void WriteConfig(const TestCa::Issued& certificate) {
        std::ofstream c(dir_ + "/dovecot.conf");
        c << "protocols = pop3\n"
          << "listen = 127.0.0.1\n"
          << "base_dir = " << dir_ << "/run\n"
          << "state_dir = " << dir_ << "/state\n"
          << "log_path = " << dir_ << "/dovecot.log\n"
          << "ssl = yes\n"
          << "ssl_cert = <" << certificate.cert << "\n"
          << "ssl_key = <" << certificate.key << "\n"
          << "disable_plaintext_auth = no\n"
          << "auth_mechanisms = plain\n"
          << "auth_failure_delay = 0\n"
          << "default_login_user = " << loginUser_ << "\n"
          << "default_internal_user = " << internalUser_ << "\n"
          << "first_valid_uid = 1\n"
          << "mail_location = maildir:" << dir_ << "/Maildir\n"
          << "pop3_uidl_format = %08Xu%08Xv\n"
          << "passdb {\n  driver = passwd-file\n  args = scheme=PLAIN username_format=%u " << dir_
          << "/users\n}\n"
          << "userdb {\n  driver = passwd-file\n  args = username_format=%u " << dir_
          << "/users\n}\n"
          << "service pop3-login {\n  chroot =\n"
          << "  inet_listener pop3 {\n    address = 127.0.0.1\n    port = " << pop3Port_
          << "\n  }\n"
          << "  inet_listener pop3s {\n    address = 127.0.0.1\n    port = " << pop3sPort_
          << "\n    ssl = yes\n  }\n}\n"
          << "service anvil {\n  chroot =\n}\n";
    }
    // Both listeners answer, or the master has given up.
    bool WaitListening() {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            if (process_->state() == QProcess::NotRunning) return false;
            if (Accepts(pop3Port_) && Accepts(pop3sPort_)) return true;
            process_->waitForFinished(100);  // a pause that ends early if dovecot quits
        }
        return false;
    }
    static bool Accepts(int port) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress("127.0.0.1"), static_cast<quint16>(port));
        bool ok = probe.waitForConnected(1000);
        probe.abort();
        return ok;
    }

    std::string dir_, error_, loginUser_, internalUser_;
    uid_t mailUid_ = 0;
    gid_t mailGid_ = 0;
    int pop3Port_ = 0, pop3sPort_ = 0;
    int next_ = 1;
    std::unique_ptr<QProcess> process_;
};

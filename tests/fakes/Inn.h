#pragma once

// A real news server for the tests: Debian's INN 2 (package inn2), started on 127.0.0.1 as
// a throw-away instance with a configuration, history, overview and spool of its own in a
// folder under /tmp. innd takes the plain port and hands every reader (no peer is listed in
// incoming.conf) to nnrpd, which offers STARTTLS with a certificate of the test's authority;
// a second nnrpd, standalone, speaks TLS from the first byte. Groups are made with ctlinnd
// and filled by posting through nnrpd, as a reader would. Nothing of the system's own INN is
// used or touched: every path and both ports are the instance's.
//
// innd and nnrpd take their ports from the command line and cannot be told to bind port 0:
// the ports are picked by binding port 0 and releasing it just before they start; another
// process may take one in that moment, so a start that fails to listen is tried again.

#include <sys/stat.h>
#include <unistd.h>

#include <pwd.h>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpServer>
#include <QTcpSocket>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/TestCa.h"

class Inn {
public:
    static constexpr const char* kBin = "/usr/lib/news/bin";

    Inn() {
        char pattern[] = "/tmp/qv-inn-XXXXXX";
        if (::mkdtemp(pattern)) {
            dir_ = pattern;
            ::chmod(dir_.c_str(), 0755);
        }
        // As root, innd and nnrpd give up root for the news user, who must own the instance.
        if (::getuid() == 0) {
            user_ = "news";
        } else {
            passwd* pw = ::getpwuid(::getuid());
            user_ = pw ? pw->pw_name : "";
        }
    }
    ~Inn() {
        Stop();
        if (!dir_.empty()) QDir(QString::fromStdString(dir_)).removeRecursively();
    }
    Inn(const Inn&) = delete;
    Inn& operator=(const Inn&) = delete;

    // Starts innd (and, given a certificate, TLS for its readers and the TLS port). False,
    // with error() saying why, when it cannot be started.
    bool Start(const TestCa::Issued* certificate = nullptr) {
        if (dir_.empty()) return Failed("no folder for INN");
        if (!QFile::exists(QString(kBin) + "/innd"))
            return Failed("INN is not installed (scripts/setup installs inn2)");
        for (const char* sub : {"/etc", "/db", "/run", "/log", "/tmp", "/http", "/spool",
                                "/spool/articles", "/spool/overview", "/spool/incoming",
                                "/spool/incoming/tmp", "/spool/outgoing", "/spool/archive"})
            ::mkdir((dir_ + sub).c_str(), 0755);
        if (certificate && !CopyCertificate(*certificate)) return false;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port_ = FreePort();
            tlsPort_ = certificate ? FreePort() : 0;
            if (port_ == 0 || port_ == tlsPort_) continue;
            WriteConfig(certificate != nullptr);
            Own();
            if (!Run("makedbz", {"-i", "-o"})) return false;
            innd_ = Launch("innd", {"-f", "-P", QString::number(port_)});
            if (!innd_) return false;
            bool up = WaitListening(innd_.get(), port_);
            if (up && certificate) {
                tlsd_ = Launch("nnrpd", {"-D", "-f", "-S", "-b", "127.0.0.1", "-p",
                                         QString::number(tlsPort_)});
                up = tlsd_ && WaitListening(tlsd_.get(), tlsPort_);
            }
            if (up) return true;
            std::string output = Output();
            Stop();
            error_ = output;
            if (output.find("in use") == std::string::npos &&
                output.find("bind") == std::string::npos)
                return false;  // not a lost port: another try will not help
        }
        return false;
    }

    void Stop() {
        if (innd_) Run("ctlinnd", {"-t", "10", "shutdown", "test over"});
        for (auto* p : {&tlsd_, &innd_}) {
            if (!*p) continue;
            (*p)->terminate();
            if (!(*p)->waitForFinished(10000)) {
                (*p)->kill();
                (*p)->waitForFinished(5000);
            }
            p->reset();
        }
    }

    bool NewGroup(const std::string& name) {
        return Run("ctlinnd", {"-t", "20", "newgroup", QString::fromStdString(name), "y"});
    }
    // Removes an article as a cancel does.
    bool Cancel(const std::string& messageId) {
        return Run("ctlinnd", {"-t", "20", "cancel", QString::fromStdString(messageId)});
    }
    bool RemoveGroup(const std::string& name) {
        return Run("ctlinnd", {"-t", "20", "rmgroup", QString::fromStdString(name)});
    }

    // Posts an article through nnrpd, as a reader would; text is its header and body with
    // "\r\n" line ends, not yet dot-stuffed. False, with error() saying why, when refused.
    bool Post(const std::string& text) {
        QTcpSocket s;
        s.connectToHost(QHostAddress("127.0.0.1"), static_cast<quint16>(port_));
        if (!s.waitForConnected(5000)) return Failed("no connection to post");
        std::string line;
        if (!ReadLine(s, &line) || line[0] != '2') return Failed("greeting: " + line);
        s.write("POST\r\n");
        if (!ReadLine(s, &line) || line.rfind("340", 0) != 0) return Failed("POST: " + line);
        std::string wire;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);) {
            if (!l.empty() && l.back() == '\r') l.pop_back();
            wire += (l.rfind(".", 0) == 0 ? "." : "") + l + "\r\n";
        }
        wire += ".\r\n";
        s.write(wire.data(), static_cast<qint64>(wire.size()));
        if (!ReadLine(s, &line) || line.rfind("240", 0) != 0) return Failed("posted: " + line);
        s.write("QUIT\r\n");
        s.waitForBytesWritten(2000);
        return true;
    }

    int port() const { return port_; }
    int tlsPort() const { return tlsPort_; }
    const std::string& error() const { return error_; }

private:
    bool Failed(const std::string& why) {
        error_ = why;
        return false;
    }
    static int FreePort() {
        QTcpServer probe;
        if (!probe.listen(QHostAddress("127.0.0.1"), 0)) return 0;
        int port = probe.serverPort();
        probe.close();
        return port;
    }
    static bool ReadLine(QTcpSocket& s, std::string* line) {
        QElapsedTimer clock;
        clock.start();
        while (!s.canReadLine()) {
            if (clock.elapsed() > 20000 || s.state() != QAbstractSocket::ConnectedState)
                return false;
            s.waitForReadyRead(1000);
        }
        *line = s.readLine().toStdString();
        return !line->empty();
    }
    QProcessEnvironment Environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("INNCONF", QString::fromStdString(dir_ + "/etc/inn.conf"));
        return env;
    }
    std::unique_ptr<QProcess> Launch(const char* program, const QStringList& args) {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(Environment());
        p->setProcessChannelMode(QProcess::MergedChannels);
        p->start(QString(kBin) + "/" + program, args);
        if (!p->waitForStarted(10000)) {
            error_ = std::string(program) + " cannot be started: " + p->errorString().toStdString();
            return nullptr;
        }
        return p;
    }
    bool Run(const char* program, const QStringList& args) {
        auto p = Launch(program, args);
        if (!p) return false;
        if (!p->waitForFinished(30000) || p->exitStatus() != QProcess::NormalExit ||
            p->exitCode() != 0) {
            error_ = std::string(program) + ": " + p->readAll().toStdString();
            return false;
        }
        return true;
    }
    std::string Output() {
        std::string out;
        for (auto* p : {&innd_, &tlsd_})
            if (*p) out += (*p)->readAll().toStdString();
        std::ifstream err(dir_ + "/log/errlog");
        std::stringstream s;
        s << err.rdbuf();
        return out + s.str();
    }
    // Everything the instance writes belongs to the user it runs as.
    void Own() {
        QProcess::execute(
            "chown", {"-R", QString::fromStdString(user_) + ":", QString::fromStdString(dir_)});
    }
    bool CopyCertificate(const TestCa::Issued& c) {
        // nnrpd reads its key as the news user and wants it kept private.
        if (!QFile::copy(QString::fromStdString(c.cert),
                         QString::fromStdString(dir_ + "/etc/cert.pem")) ||
            !QFile::copy(QString::fromStdString(c.key),
                         QString::fromStdString(dir_ + "/etc/key.pem")))
            return Failed("the certificate cannot be copied");
        ::chmod((dir_ + "/etc/key.pem").c_str(), 0600);
        return true;
    }
    void WriteConfig(bool tls) {
        const std::string& d = dir_;
        std::ofstream c(d + "/etc/inn.conf");
        c << "domain: quorvane.test\n"
          << "fromhost: quorvane.test\n"
          << "pathhost: news.quorvane.test\n"
          << "server: 127.0.0.1\n"
          << "bindaddress: 127.0.0.1\n"
          << "port: " << port_ << "\n"
          << "nnrpdpostport: " << port_ << "\n"
          << "runasuser: " << user_ << "\n"
          << "runasgroup: " << GroupName() << "\n"
          << "organization: \"Quorvane tests\"\n"
          << "mta: \"/bin/true %s\"\n"
          << "ovmethod: tradindexed\n"
          << "hismethod: hisv6\n"
          << "enableoverview: true\n"
          << "wireformat: true\n"
          << "doinnwatch: false\n"
          << "pgpverify: false\n"
          << "docancels: \"require-auth\"\n"
          << "artcutoff: 0\n"
          << "nnrpdloadlimit: 0\n"
          << "pathnews: /usr/lib/news\n"
          << "pathbin: " << kBin << "\n"
          << "pathcontrol: " << kBin << "/control\n"
          << "pathfilter: /etc/news/filter\n"
          << "pathetc: " << d << "/etc\n"
          << "pathdb: " << d << "/db\n"
          << "pathrun: " << d << "/run\n"
          << "pathlog: " << d << "/log\n"
          << "pathtmp: " << d << "/tmp\n"
          << "pathhttp: " << d << "/http\n"
          << "pathspool: " << d << "/spool\n"
          << "patharticles: " << d << "/spool/articles\n"
          << "pathoverview: " << d << "/spool/overview\n"
          << "pathincoming: " << d << "/spool/incoming\n"
          << "pathoutgoing: " << d << "/spool/outgoing\n"
          << "patharchive: " << d << "/spool/archive\n";
        if (tls)
            c << "tlscapath: " << d << "/etc\n"
              << "tlscertfile: " << d << "/etc/cert.pem\n"
              << "tlskeyfile: " << d << "/etc/key.pem\n";
        c.close();
        std::ofstream(d + "/etc/newsfeeds") << "ME:*::\n";
        std::ofstream(d + "/etc/incoming.conf") << "";
        std::ofstream(d + "/etc/readers.conf")
            << "auth \"local\" {\n  hosts: \"127.0.0.1, ::1, localhost\"\n"
            << "  default: \"<local>\"\n}\n"
            << "access \"local\" {\n  users: \"<local>\"\n  newsgroups: \"*\"\n"
            << "  access: RPA\n}\n";
        std::ofstream(d + "/etc/storage.conf")
            << "method tradspool {\n  newsgroups: *\n  class: 0\n}\n";
        std::ofstream(d + "/etc/expire.ctl") << "/remember/:11\n*:A:1:90:never\n";
        for (const char* f : {"control.ctl", "distrib.pats", "distributions", "inn-secrets.conf"})
            QFile::copy(QString("/etc/news/") + f, QString::fromStdString(d + "/etc/" + f));
        std::ofstream(d + "/db/active") << "control 0000000000 0000000001 n\n"
                                        << "control.cancel 0000000000 0000000001 n\n"
                                        << "junk 0000000000 0000000001 n\n";
        for (const char* f : {"/db/active.times", "/db/newsgroups", "/db/history"})
            std::ofstream(d + f) << "";
    }
    std::string GroupName() const {
        QProcess p;
        p.start("id", {"-gn", QString::fromStdString(user_)});
        p.waitForFinished(5000);
        return p.readAll().trimmed().toStdString();
    }
    // innd (or nnrpd) answers on port, or has given up.
    static bool WaitListening(QProcess* process, int port) {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            if (process->state() == QProcess::NotRunning) return false;
            QTcpSocket probe;
            probe.connectToHost(QHostAddress("127.0.0.1"), static_cast<quint16>(port));
            bool ok = probe.waitForConnected(1000);
            probe.abort();
            if (ok) return true;
            process->waitForFinished(100);  // a pause that ends early if the server quits
        }
        return false;
    }

    std::string dir_, error_, user_;
    int port_ = 0, tlsPort_ = 0;
    std::unique_ptr<QProcess> innd_, tlsd_;
};

#pragma once

// A real web server for the tests, on 127.0.0.1 only: nginx from the distribution, started
// with a configuration of the test's own and stopped with the test; python3's http.server
// when nginx cannot start (it knows no redirections and no proxy requests).

#include <unistd.h>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <fstream>
#include <string>

class WebServer {
public:
    enum Kind { None, Nginx, Python };

    // Serves root; extraConfig goes into nginx's server block.
    WebServer(const std::string& root, const std::string& workDir,
              const std::string& extraConfig = {})
        : root_(root), work_(workDir) {
        port_ = FreePort();
        if (StartNginx(extraConfig)) {
            kind_ = Nginx;
        } else if (StartPython()) {
            kind_ = Python;
        }
    }
    ~WebServer() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(5000)) process_.kill();
            process_.waitForFinished(2000);
        }
    }

    Kind kind() const { return kind_; }
    int port() const { return port_; }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string log() const { return log_; }

private:
    static int FreePort() {
        QTcpServer probe;
        probe.listen(QHostAddress("127.0.0.1"), 0);
        return probe.serverPort();
    }
    bool WaitUntilListening() {
        for (int i = 0; i < 100; ++i) {
            if (process_.state() == QProcess::NotRunning) return false;
            QTcpSocket s;
            s.connectToHost("127.0.0.1", static_cast<quint16>(port_));
            if (s.waitForConnected(100)) return true;
            QThread::msleep(50);
        }
        return false;
    }
    bool StartNginx(const std::string& extraConfig) {
        const char* candidates[] = {"/usr/sbin/nginx", "/usr/bin/nginx"};
        std::string binary;
        for (const char* c : candidates)
            if (::access(c, X_OK) == 0) binary = c;
        if (binary.empty()) return false;
        std::string conf = work_ + "/nginx.conf";
        std::ofstream(conf) << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
                            << "pid " << work_ << "/nginx.pid;\n"
                            << "error_log " << work_ << "/nginx-error.log;\n"
                            << "events { worker_connections 256; }\n"
                            << "http {\n  access_log off;\n"
                            << "  client_body_temp_path " << work_ << "/body;\n"
                            << "  proxy_temp_path " << work_ << "/proxy;\n"
                            << "  fastcgi_temp_path " << work_ << "/fastcgi;\n"
                            << "  uwsgi_temp_path " << work_ << "/uwsgi;\n"
                            << "  scgi_temp_path " << work_ << "/scgi;\n"
                            << "  types { text/html html; text/plain txt; }\n"
                            << "  server {\n    listen 127.0.0.1:" << port_ << ";\n"
                            << "    root " << root_ << ";\n    absolute_redirect off;\n"
                            << extraConfig << "\n  }\n}\n";
        process_.setProcessChannelMode(QProcess::MergedChannels);
        process_.start(QString::fromStdString(binary),
                       {"-e", QString::fromStdString(work_ + "/nginx-error.log"), "-c",
                        QString::fromStdString(conf), "-p", QString::fromStdString(work_)});
        if (WaitUntilListening()) return true;
        log_ = process_.readAll().toStdString();
        process_.kill();
        process_.waitForFinished(2000);
        return false;
    }
    bool StartPython() {
        process_.start("/usr/bin/python3",
                       {"-m", "http.server", QString::number(port_), "--bind", "127.0.0.1",
                        "--directory", QString::fromStdString(root_)});
        return WaitUntilListening();
    }

    std::string root_, work_, log_;
    int port_ = 0;
    Kind kind_ = None;
    QProcess process_;
};

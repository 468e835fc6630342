#pragma once

// A real web server for the tests, on 127.0.0.1 only: nginx from the distribution, started
// with a configuration of the test's own and stopped with the test; python3's http.server
// when nginx cannot start (it knows no redirections and no proxy requests). The test binds
// the listening socket itself on a port the kernel picks and hands it to the server (nginx
// takes inherited sockets from its NGINX variable), so no other program can take the port
// between a probe and the server's own bind. nginx runs with its master process: alone it
// does not survive an inherited socket.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTcpSocket>
#include <QThread>
#include <fstream>
#include <string>

class WebServer {
public:
    enum Kind { None, Nginx, Python };

    // A certificate and key for serving HTTPS (nginx only).
    struct Tls {
        std::string cert, key;
    };

    // Serves root; extraConfig goes into nginx's server block.
    WebServer(const std::string& root, const std::string& workDir,
              const std::string& extraConfig = {}, const Tls& tls = {})
        : root_(root), work_(workDir), tls_(tls) {
        if (!Listen()) return;
        if (StartNginx(extraConfig)) {
            kind_ = Nginx;
        } else if (tls_.cert.empty() && StartPython()) {
            kind_ = Python;
        }
    }
    ~WebServer() {
        Stop();
        if (listener_ >= 0) ::close(listener_);
    }

    Kind kind() const { return kind_; }
    int port() const { return port_; }
    std::string Url(const std::string& path, const std::string& host = "127.0.0.1") const {
        return std::string(tls_.cert.empty() ? "http" : "https") + "://" + host + ":" +
               std::to_string(port_) + path;
    }
    std::string log() const { return log_; }

private:
    // The socket the server will accept on, left open across exec for the child.
    bool Listen() {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        if (listener_ < 0) return false;
        int on = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return false;
        port_ = ntohs(a.sin_port);
        return true;
    }
    void Stop() {
        if (process_.state() != QProcess::NotRunning) {
            process_.terminate();
            if (!process_.waitForFinished(5000)) process_.kill();
            process_.waitForFinished(2000);
        }
    }
    // The kernel accepts connections on the socket before any server runs: ready means an
    // answer to a request.
    bool WaitUntilAnswering() {
        for (int i = 0; i < 100; ++i) {
            if (process_.state() == QProcess::NotRunning) return false;
            // A plain request gets no answer from a secure server; the kernel queues the
            // connections that come before nginx takes them, so started is ready.
            if (!tls_.cert.empty()) {
                if (::access((work_ + "/nginx.pid").c_str(), F_OK) == 0) return true;
                QThread::msleep(50);
                continue;
            }
            QTcpSocket s;
            s.connectToHost("127.0.0.1", static_cast<quint16>(port_));
            if (s.waitForConnected(100)) {
                s.write("HEAD / HTTP/1.0\r\n\r\n");
                if (s.waitForReadyRead(500) && s.bytesAvailable() > 0) return true;
            }
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
        // The worker reads the test's private folder: as root it would otherwise drop to an
        // account that cannot.
        std::ofstream(conf) << (::geteuid() == 0 ? "user root;\n" : "")
                            << "daemon off;\nmaster_process on;\nworker_processes 1;\n"
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
                            << "  server {\n    listen 127.0.0.1:" << port_
                            << (tls_.cert.empty() ? "" : " ssl") << ";\n"
                            << (tls_.cert.empty()
                                    ? ""
                                    : "    ssl_certificate " + tls_.cert +
                                          ";\n    ssl_certificate_key " + tls_.key + ";\n")
                            << "    root " << root_ << ";\n    absolute_redirect off;\n"
                            << extraConfig << "\n  }\n}\n";
        process_.setProcessChannelMode(QProcess::MergedChannels);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("NGINX", QString::number(listener_) + ";");
        process_.setProcessEnvironment(env);
        process_.start(QString::fromStdString(binary),
                       {"-e", QString::fromStdString(work_ + "/nginx-error.log"), "-c",
                        QString::fromStdString(conf), "-p", QString::fromStdString(work_)});
        if (WaitUntilAnswering()) return true;
        log_ = process_.readAll().toStdString();
        process_.kill();
        process_.waitForFinished(2000);
        return false;
    }
    bool StartPython() {
        static const char* kServe =
            "import functools, http.server, socket, sys\n"
            "listener = socket.socket(fileno=int(sys.argv[1]))\n"
            "handler = functools.partial(http.server.SimpleHTTPRequestHandler, "
            "directory=sys.argv[2])\n"
            "server = http.server.HTTPServer(listener.getsockname(), handler, "
            "bind_and_activate=False)\n"
            "server.socket.close()\n"
            "server.socket = listener\n"
            "server.server_name, server.server_port = listener.getsockname()\n"
            "server.serve_forever()\n";
        process_.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        process_.start("/usr/bin/python3",
                       {"-c", kServe, QString::number(listener_), QString::fromStdString(root_)});
        return WaitUntilAnswering();
    }

    std::string root_, work_, log_;
    Tls tls_;
    int listener_ = -1;
    int port_ = 0;
    Kind kind_ = None;
    QProcess process_;
};

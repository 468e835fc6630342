#pragma once

// A web server on 127.0.0.1 that serves responses the test wrote out in full, by path; HEAD
// gets the same response without its body. Every request line is kept.

#include <sys/socket.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class FakeHttpServer : public QObject {
public:
    std::map<std::string, std::string> pages;  // path -> whole response
    std::vector<std::string> requests;         // "HEAD /x", "GET /y"
    // The response for a path that pages does not hold (a site without end); none: 404.
    std::function<std::string(const std::string& path)> generate;
    // Paths whose connection is reset (RST, not an orderly close) once the response is
    // written; an empty response resets before the client gets any byte.
    std::set<std::string> resets;
    // Paths whose response waits this many milliseconds, so that answers arrive out of the
    // order they were asked in.
    std::map<std::string, int> delays;

    FakeHttpServer() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    int port() const { return server_.serverPort(); }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port()) + path;
    }

    // A 200 response with the given headers (each ending in CR LF) and body.
    static std::string Ok(const std::string& headers, const std::string& body) {
        return "HTTP/1.0 200 OK\r\n" + headers + "\r\n" + body;
    }

private:
    void Accept() {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { Read(s); });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    }
    void Read(QTcpSocket* s) {
        std::string& buf = buffers_[s];
        QByteArray got = s->readAll();
        buf.append(got.constData(), static_cast<size_t>(got.size()));
        if (buf.find("\r\n\r\n") == std::string::npos) return;
        std::string line = buf.substr(0, buf.find("\r\n"));
        buffers_.erase(s);
        std::string method = line.substr(0, line.find(' '));
        std::string path = line.substr(method.size() + 1);
        path = path.substr(0, path.find(' '));
        requests.push_back(method + " " + path);
        auto it = pages.find(path);
        std::string response = it != pages.end() ? it->second
                               : generate        ? generate(path)
                                                 : "HTTP/1.0 404 Not Found\r\n\r\nmissing";
        size_t headerEnd = response.find("\r\n\r\n");
        if (method == "HEAD" && headerEnd != std::string::npos) response.erase(headerEnd + 4);
        if (auto delay = delays.find(path); delay != delays.end()) {
            QTimer::singleShot(delay->second, s,
                               [this, s, path, response] { Respond(s, path, response); });
            return;
        }
        Respond(s, path, response);
    }
    void Respond(QTcpSocket* s, const std::string& path, const std::string& response) {
        s->write(response.data(), static_cast<qint64>(response.size()));
        if (resets.count(path) == 0) {
            s->disconnectFromHost();
            return;
        }
        // Hand every byte to the kernel first: a close without lingering then sends RST
        // right behind the response.
        while (s->bytesToWrite() > 0 && s->waitForBytesWritten(5000)) {
        }
        linger noLinger{1, 0};
        ::setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &noLinger,
                     sizeof noLinger);
        s->abort();
    }

    QTcpServer server_;
    std::map<QTcpSocket*, std::string> buffers_;
};

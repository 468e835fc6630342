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
    // path -> the response to HEAD alone, where it is not pages' (a server refusing HEAD)
    std::map<std::string, std::string> headPages;
    std::vector<std::string> requests;  // "HEAD /x", "GET /y"
    // The response for a path that pages does not hold (a site without end); none: 404.
    std::function<std::string(const std::string& path)> generate;
    // Paths whose connection is reset (RST, not an orderly close) once the response is
    // written; an empty response resets before the client gets any byte.
    std::set<std::string> resets;
    // Paths whose response waits this many milliseconds, so that answers arrive out of the
    // order they were asked in.
    std::map<std::string, int> delays;

    // Keep-alive: the connection stays open after a response that names its length (or
    // answers HEAD), and the next request on it is answered too, whatever either header
    // says: the client alone decides whether to use it again.
    bool keepAlive = false;
    // What a kept connection does with a further request: answer it, or (as a server whose
    // idle time-out ran out just then) close or reset without a word.
    enum Stale { kServe, kClose, kReset, kIgnore } stale = kServe;
    // Paths whose request is never answered.
    std::set<std::string> silent;
    int accepted = 0;       // connections
    int staleRequests = 0;  // requests met by the stale rule

    FakeHttpServer() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    ~FakeHttpServer() override {
        // The connections still standing go with the server, after these members.
        for (QTcpSocket* s : open_) {
            QObject::disconnect(s, nullptr, this, nullptr);
            s->abort();
        }
    }
    int port() const { return server_.serverPort(); }
    // The connections that stand now.
    int open() const { return static_cast<int>(open_.size()); }
    // Every standing connection is closed (or reset), or sent bytes nobody asked for.
    void CloseAll(bool reset = false) {
        for (QTcpSocket* s : std::set<QTcpSocket*>(open_))
            reset ? Reset(s) : s->disconnectFromHost();
    }
    // flush: handed to the kernel before Say returns, without turning the test's loop.
    void Say(const std::string& text, bool flush = false) {
        for (QTcpSocket* s : open_) {
            s->write(text.data(), static_cast<qint64>(text.size()));
            while (flush && s->bytesToWrite() > 0 && s->waitForBytesWritten(5000)) {
            }
        }
    }
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
            ++accepted;
            open_.insert(s);
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { Read(s); });
            QObject::connect(s, &QTcpSocket::disconnected, this, [this, s] {
                open_.erase(s);
                served_.erase(s);
                buffers_.erase(s);
                s->deleteLater();
            });
        }
    }
    void Reset(QTcpSocket* s) {
        // Hand every byte to the kernel first: a close without lingering then sends RST
        // right behind the response.
        while (s->bytesToWrite() > 0 && s->waitForBytesWritten(5000)) {
        }
        linger noLinger{1, 0};
        ::setsockopt(static_cast<int>(s->socketDescriptor()), SOL_SOCKET, SO_LINGER, &noLinger,
                     sizeof noLinger);
        s->abort();
    }
    void Read(QTcpSocket* s) {
        std::string& buf = buffers_[s];
        QByteArray got = s->readAll();
        buf.append(got.constData(), static_cast<size_t>(got.size()));
        size_t requestEnd = buf.find("\r\n\r\n");
        if (requestEnd == std::string::npos) return;
        std::string line = buf.substr(0, buf.find("\r\n"));
        buf.erase(0, requestEnd + 4);
        if (keepAlive && served_.count(s) != 0 && stale != kServe) {
            ++staleRequests;
            if (stale == kIgnore) return;
            stale == kReset ? Reset(s) : s->disconnectFromHost();
            return;
        }
        served_.insert(s);
        std::string method = line.substr(0, line.find(' '));
        std::string path = line.substr(method.size() + 1);
        path = path.substr(0, path.find(' '));
        requests.push_back(method + " " + path);
        auto it = pages.find(path);
        std::string response = it != pages.end() ? it->second
                               : generate        ? generate(path)
                                                 : "HTTP/1.0 404 Not Found\r\n\r\nmissing";
        if (auto head = headPages.find(path); method == "HEAD" && head != headPages.end())
            response = head->second;
        size_t headerEnd = response.find("\r\n\r\n");
        if (method == "HEAD" && headerEnd != std::string::npos) response.erase(headerEnd + 4);
        if (silent.count(path) != 0) return;
        if (auto delay = delays.find(path); delay != delays.end()) {
            QTimer::singleShot(delay->second, s, [this, s, method, path, response, headerEnd] {
                Respond(s, method, path, response, headerEnd);
            });
            return;
        }
        Respond(s, method, path, response, headerEnd);
    }
    void Respond(QTcpSocket* s, const std::string& method, const std::string& path,
                 const std::string& response, size_t headerEnd) {
        s->write(response.data(), static_cast<qint64>(response.size()));
        if (resets.count(path) != 0) {
            Reset(s);
            return;
        }
        bool sized = method == "HEAD" ||
                     response.substr(0, headerEnd).find("Content-Length:") != std::string::npos;
        if (!keepAlive || !sized) s->disconnectFromHost();
    }

    QTcpServer server_;
    std::map<QTcpSocket*, std::string> buffers_;
    std::set<QTcpSocket*> open_, served_;
};

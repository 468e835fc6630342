#pragma once

// A daytime service on 127.0.0.1: to each connection it sends its line and closes. The line
// goes out as soon as the connection stands (as a real service does) or, with drip set,
// one byte at a time; the connection is closed only once the client's request has come
// in whole, so that nothing unread makes the close a reset.

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class DaytimeServer : public QObject {
public:
    std::string line;
    bool drip = false;
    bool silent = false;  // accepts and says nothing
    bool hold = false;    // says its line and then nothing more, keeping the connection open
    int connections = 0;
    int requests = 0;       // requests received whole
    bool deferred = false;  // the line waits for Release

    // Sends the line on every connection that waits for it.
    void Release() {
        deferred = false;
        for (auto& [s, session] : waiting_) Next(s, session);
        waiting_.clear();
    }

    DaytimeServer() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    int port() const { return server_.serverPort(); }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port()) + "/"; }

private:
    struct Session {
        std::string request, left;
        bool requestDone = false;
    };
    void Accept() {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            ++connections;
            auto session = std::make_shared<Session>();
            session->left = silent ? std::string() : line;
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
            QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, session] {
                QByteArray got = s->readAll();
                session->request.append(got.constData(), static_cast<size_t>(got.size()));
                bool done = session->request.find("\r\n\r\n") != std::string::npos;
                if (done && !session->requestDone) ++requests;
                session->requestDone = done;
                if (!silent && !hold && session->left.empty() && session->requestDone)
                    s->disconnectFromHost();
            });
            if (deferred)
                waiting_.emplace_back(s, session);
            else
                Next(s, session);
        }
    }
    void Next(QTcpSocket* s, const std::shared_ptr<Session>& session) {
        if (silent) return;
        if (!session->left.empty()) {
            size_t n = drip ? 1 : session->left.size();
            s->write(session->left.data(), static_cast<qint64>(n));
            s->flush();
            session->left.erase(0, n);
            if (!session->left.empty()) {
                QTimer::singleShot(2, s, [this, s, session] { Next(s, session); });
                return;
            }
        }
        if (session->requestDone && !hold) s->disconnectFromHost();
    }

    QTcpServer server_;
    std::vector<std::pair<QTcpSocket*, std::shared_ptr<Session>>> waiting_;
};

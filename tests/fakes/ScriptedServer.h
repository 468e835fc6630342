#pragma once

// A TCP server on 127.0.0.1 that answers each connection as the test scripted it and keeps
// every byte it received, so that tests can check the exact requests a client sent.

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class ScriptedServer : public QObject {
public:
    struct Reply {
        std::vector<std::string> chunks;  // sent one after the other
        int gapMs = 0;                    // pause between chunks
        bool close = true;                // close after the last chunk
        bool silent = false;              // accept, read, never answer
        size_t endless = 0;               // then send blocks of this size until stopped
        std::string until = "\r\n\r\n";   // the request is complete when this arrived...
        size_t extra = 0;                 // ...and this many bytes more (a POST body)
    };

    ScriptedServer() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    ~ScriptedServer() override {
        for (auto& c : conns_) {
            c->socket->disconnect();
            c->socket->abort();
        }
    }

    int port() const { return server_.serverPort(); }
    // One reply per connection, in order; the last is used again when they run out.
    std::deque<Reply> replies;
    std::vector<std::string> received;  // per connection
    int connections() const { return static_cast<int>(received.size()); }
    size_t bytesSent = 0;

private:
    struct Conn {
        QTcpSocket* socket;
        size_t index;
        Reply reply;
        bool answered = false;
    };

    void Accept() {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            auto conn = std::make_shared<Conn>();
            conn->socket = s;
            conn->index = received.size();
            received.emplace_back();
            if (!replies.empty()) {
                conn->reply = replies.front();
                if (replies.size() > 1) replies.pop_front();
            }
            conns_.push_back(conn);
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, conn] { Read(conn); });
        }
    }
    void Read(const std::shared_ptr<Conn>& c) {
        std::string& got = received[c->index];
        QByteArray data = c->socket->readAll();
        got.append(data.constData(), static_cast<size_t>(data.size()));
        size_t end = got.find(c->reply.until);
        if (c->answered || end == std::string::npos ||
            got.size() < end + c->reply.until.size() + c->reply.extra)
            return;
        c->answered = true;
        if (!c->reply.silent) Send(c, 0);
    }
    void Send(const std::shared_ptr<Conn>& c, size_t i) {
        if (c->socket->state() != QAbstractSocket::ConnectedState) return;
        if (i < c->reply.chunks.size()) {
            c->socket->write(c->reply.chunks[i].data(),
                             static_cast<qint64>(c->reply.chunks[i].size()));
            bytesSent += c->reply.chunks[i].size();
            c->socket->flush();
            QTimer::singleShot(c->reply.gapMs, this, [this, c, i] { Send(c, i + 1); });
            return;
        }
        if (c->reply.endless) {
            if (c->socket->bytesToWrite() < 1 << 20) {
                std::string block(c->reply.endless, 'x');
                c->socket->write(block.data(), static_cast<qint64>(block.size()));
                bytesSent += block.size();
            }
            QTimer::singleShot(1, this, [this, c, i] { Send(c, i); });
            return;
        }
        if (c->reply.close) c->socket->disconnectFromHost();
    }

    QTcpServer server_;
    std::vector<std::shared_ptr<Conn>> conns_;
};

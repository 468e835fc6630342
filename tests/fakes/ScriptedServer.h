#pragma once

// A TCP server on 127.0.0.1 that answers each connection as the test scripted it and keeps
// every byte it received, so that tests can check the exact requests a client sent.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <chrono>
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
        std::string until = "\r\n\r\n";   // the request is complete when this arrived
                                          // (empty: the server speaks first)...
        size_t extra = 0;                 // ...and this many bytes more (a POST body)
    };

    // address: "127.0.0.1", or "::1" for the other family's loopback.
    explicit ScriptedServer(const char* address = "127.0.0.1") {
        server_.listen(QHostAddress(address), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    ~ScriptedServer() override {
        for (auto& c : conns_) {
            c->socket->disconnect();
            c->socket->abort();
        }
    }

    int port() const { return server_.serverPort(); }
    bool listening() const { return server_.isListening(); }
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
            if (conn->reply.until.empty()) {
                conn->answered = true;
                if (!conn->reply.silent) Send(conn, 0);
            }
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

// A port on 127.0.0.1 where connect requests are never answered: nothing accepts and its
// listen queue is kept full, so the kernel drops every further connect request, as a host
// behind a silent firewall does.
class UnansweredPort {
public:
    UnansweredPort() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 0);
        socklen_t len = sizeof a;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        // One connection fills a queue of length 0; wait until the kernel counts it.
        filler_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(filler_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!Full() && std::chrono::steady_clock::now() < until) ::usleep(1000);
    }
    ~UnansweredPort() {
        ::close(filler_);
        ::close(listener_);
    }
    int port() const { return port_; }
    // For a listening socket the kernel reports the queue's length and its limit here.
    bool Full() const {
        tcp_info info{};
        socklen_t len = sizeof info;
        if (::getsockopt(listener_, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
        return info.tcpi_unacked > info.tcpi_sacked;
    }

private:
    int listener_ = -1;
    int filler_ = -1;
    int port_ = 0;
};

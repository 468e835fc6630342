#pragma once

// A proxy on 127.0.0.1 that opens CONNECT tunnels: it keeps what each client asked (up to
// the empty line), connects to the asked port on 127.0.0.1 whatever the host, answers 200
// and then carries the bytes both ways unread.

#include <QTcpServer>
#include <QTcpSocket>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

class TunnelProxy : public QObject {
public:
    std::vector<std::string> asked;  // each CONNECT request, whole

    TunnelProxy() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    ~TunnelProxy() override {
        for (auto& p : pairs_) {
            p->client->disconnect();
            p->client->abort();
            if (p->server) {
                p->server->disconnect();
                p->server->abort();
            }
        }
    }
    int port() const { return server_.serverPort(); }

private:
    struct Pair {
        QTcpSocket* client = nullptr;
        std::unique_ptr<QTcpSocket> server;
        std::string head;
        bool open = false;
    };

    void Accept() {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            auto pair = std::make_shared<Pair>();
            pair->client = s;
            pairs_.push_back(pair);
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, pair] { FromClient(pair); });
            QObject::connect(s, &QTcpSocket::disconnected, this, [pair] {
                if (pair->server) pair->server->disconnectFromHost();
            });
        }
    }
    void FromClient(const std::shared_ptr<Pair>& p) {
        if (p->open) {
            p->server->write(p->client->readAll());
            return;
        }
        // Only the request itself: a client's TLS bytes never come before the answer.
        while (p->client->bytesAvailable() > 0 && p->head.find("\r\n\r\n") == std::string::npos) {
            char c;
            p->client->getChar(&c);
            p->head += c;
        }
        if (p->head.find("\r\n\r\n") == std::string::npos) return;
        asked.push_back(p->head);
        size_t colon = p->head.rfind(':', p->head.find(" HTTP/"));
        int port = std::atoi(p->head.c_str() + colon + 1);
        p->server = std::make_unique<QTcpSocket>();
        QTcpSocket* up = p->server.get();
        QObject::connect(up, &QTcpSocket::connected, this, [p] {
            p->open = true;
            const char ok[] = "HTTP/1.0 200 Connection established\r\n\r\n";
            p->client->write(ok, sizeof ok - 1);
            if (p->client->bytesAvailable() > 0) p->server->write(p->client->readAll());
        });
        QObject::connect(up, &QTcpSocket::readyRead, this,
                         [p] { p->client->write(p->server->readAll()); });
        QObject::connect(up, &QTcpSocket::disconnected, this,
                         [p] { p->client->disconnectFromHost(); });
        up->connectToHost(QHostAddress("127.0.0.1"), static_cast<quint16>(port));
    }

    QTcpServer server_;
    std::vector<std::shared_ptr<Pair>> pairs_;
};

#pragma once

// A line-protocol server on 127.0.0.1 for the tests of SMTP, POP3 and NNTP clients: it
// greets, answers each command line by its verb, keeps the exact bytes it received, and can
// misbehave on purpose (replies one byte at a time or in two halves, a connection dropped
// in the middle of a reply). A verb in dataVerbs whose reply goes ahead ("3xx") makes the
// server read a dot-terminated block, as SMTP's DATA does. It listens on a port the kernel
// picks and reports it. For the hostile-server tests it can also speak TLS, stream endless
// or dripped bytes, go mute, and end a connection with a reset instead of a close.

#include <sys/socket.h>

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ScriptedLineServer : public QObject {
public:
    enum class Pace {
        Whole,    // each reply in one write
        Halves,   // each reply in two writes, 20 ms apart
        OneByte,  // each reply one byte a write, a turn of the loop apart
    };

    std::string greeting;                        // empty: the client speaks first
    std::map<std::string, std::string> replies;  // verb -> whole reply ("" never answers)
    std::string unknownReply = "500 what?\r\n";
    std::set<std::string> dataVerbs;              // "DATA": a block follows a "3" reply
    std::string afterData = "250 queued\r\n";     // the reply to a whole block
    std::set<std::string> closeAfter = {"QUIT"};  // hang up once this verb is answered
    std::set<std::string> dropMidReply;  // verbs ("" the greeting) whose reply stops halfway
                                         // and the connection with it
    Pace pace = Pace::Whole;
    bool closeAfterGreeting = false;

    std::vector<std::string> received;  // every byte, per connection
    std::vector<std::string> commands;  // every command line without its line end
    std::vector<std::string> blocks;    // every block, up to and with "\r\n.\r\n"
    int connections = 0;
    size_t bytesSent = 0;

    ScriptedLineServer() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    ~ScriptedLineServer() override {
        for (auto& c : conns_) {
            c->socket->disconnect();
            c->socket->abort();
        }
    }
    int port() const { return server_.serverPort(); }

    // Every following connection speaks TLS from its first byte with this certificate and
    // key (PEM files); false when they cannot be read.
    bool UseTls(const std::string& certFile, const std::string& keyFile) {
        QFile cert(QString::fromStdString(certFile)), key(QString::fromStdString(keyFile));
        if (!QSslSocket::supportsSsl() || !cert.open(QIODevice::ReadOnly) ||
            !key.open(QIODevice::ReadOnly))
            return false;
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(&cert, QSsl::Pem));
        tls.setPrivateKey(QSslKey(&key, QSsl::Ec, QSsl::Pem));
        tls.setPeerVerifyMode(QSslSocket::VerifyNone);
        if (tls.localCertificate().isNull() || tls.privateKey().isNull()) return false;
        server_.tls = tls;
        server_.secure = true;
        return true;
    }

protected:
    struct Conn {
        QTcpSocket* socket = nullptr;
        size_t index = 0;
        std::string buffer;
        bool inData = false;
        bool deaf = false;
        struct Piece {
            std::string bytes;
            bool close = false;
            bool reset = false;
        };
        std::deque<Piece> out;
        bool pumping = false;
        // Whatever arrives is kept and never answered.
        bool muted = false;
        // Once out is empty: fill repeated, streamLeft bytes more; with streamGapMs, step
        // bytes a write that far apart, else as fast as the peer takes them.
        std::string fill;
        uint64_t streamLeft = 0;
        size_t fillAt = 0;
        int streamGapMs = 0;
        size_t step = 1;
        bool closeAfterStream = false;
    };
    using ConnPtr = std::shared_ptr<Conn>;

    // The answer to one command line; by its verb unless a test server knows better.
    virtual std::string ReplyTo(const std::string& /*line*/, const std::string& verb) {
        auto it = replies.find(verb);
        return it != replies.end() ? it->second : unknownReply;
    }
    virtual std::string ReplyToBlock(const std::string&) { return afterData; }
    // Called as a connection comes, before the greeting.
    virtual void Prepare() {}
    // Called when a block begins and when it has been answered.
    virtual void OnDataStarted(const ConnPtr&) {}
    virtual void OnDataEnded(const ConnPtr&) {}
    // Puts a reply on the wire: the greeting (verb ""), a command's reply, or the reply to a
    // block (verb "."). A hostile server misbehaves here.
    virtual void Answer(const ConnPtr& c, const std::string& verb, const std::string& reply) {
        Send(c, reply, dropMidReply.count(verb) > 0);
    }

    // Queues text behind whatever is still going out, at the server's pace.
    void Send(const ConnPtr& c, const std::string& text, bool dropHalfway = false) {
        if (text.empty()) return;
        size_t upTo = dropHalfway ? text.size() / 2 : text.size();
        if (pace == Pace::OneByte) {
            for (size_t i = 0; i < upTo; ++i) c->out.push_back({text.substr(i, 1)});
        } else if (pace == Pace::Halves && upTo >= 2) {
            c->out.push_back({text.substr(0, upTo / 2)});
            c->out.push_back({text.substr(upTo / 2, upTo - upTo / 2)});
        } else {
            c->out.push_back({text.substr(0, upTo)});
        }
        if (dropHalfway) Hangup(c);
        Pump(c);
    }
    // Closes the connection once what is queued has gone.
    void Hangup(const ConnPtr& c) {
        c->out.push_back({{}, true});
        Pump(c);
    }
    // Ends the connection with a reset (SO_LINGER 0) once what is queued has gone.
    void Reset(const ConnPtr& c) {
        c->out.push_back({{}, false, true});
        Pump(c);
    }
    // After what is queued: fill repeated for total bytes (then a close when closeAfter).
    // gapMs 0 sends as fast as the peer reads, bounded by what waits in the socket.
    void Stream(const ConnPtr& c, const std::string& fill, uint64_t total, int gapMs = 0,
                size_t step = 1, bool closeAfter = false) {
        c->fill = fill;
        c->fillAt = 0;
        c->streamLeft = total;
        c->streamGapMs = gapMs;
        c->step = step;
        c->closeAfterStream = closeAfter;
        Pump(c);
    }
    // The server takes no more bytes: the client's sends fill the kernel's buffers and stop.
    void StopReading(const ConnPtr& c) {
        c->socket->setReadBufferSize(4096);  // Qt stops reading from the kernel at this
        c->deaf = true;
    }

private:
    void Accept() {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            ++connections;
            Prepare();
            auto c = std::make_shared<Conn>();
            c->socket = s;
            c->index = received.size();
            received.emplace_back();
            conns_.push_back(c);
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, c] { Read(c); });
            QObject::connect(s, &QTcpSocket::bytesWritten, this, [this, c] {
                if (c->streamLeft > 0 && c->streamGapMs == 0) Pump(c);
            });
            Answer(c, "", greeting);
            if (closeAfterGreeting) Hangup(c);
        }
    }
    int Gap() const { return pace == Pace::Halves ? 20 : pace == Pace::OneByte ? 1 : 0; }
    void Pump(const ConnPtr& c) {
        if (c->pumping) return;
        while (!c->out.empty()) {
            if (c->socket->state() != QAbstractSocket::ConnectedState) {
                c->out.clear();
                c->streamLeft = 0;
                return;
            }
            Conn::Piece piece = std::move(c->out.front());
            c->out.pop_front();
            if (piece.reset) {
                c->out.clear();
                c->streamLeft = 0;
                c->socket->flush();
                linger off{1, 0};
                ::setsockopt(static_cast<int>(c->socket->socketDescriptor()), SOL_SOCKET, SO_LINGER,
                             &off, sizeof off);
                c->socket->abort();
                return;
            }
            if (piece.close) {
                c->out.clear();
                c->streamLeft = 0;
                c->socket->disconnectFromHost();
                return;
            }
            c->socket->write(piece.bytes.data(), static_cast<qint64>(piece.bytes.size()));
            c->socket->flush();
            bytesSent += piece.bytes.size();
            if (Gap() > 0 && !c->out.empty()) {
                c->pumping = true;
                QTimer::singleShot(Gap(), this, [this, c] {
                    c->pumping = false;
                    Pump(c);
                });
                return;
            }
        }
        StreamOn(c);
    }
    // Refills the socket from the stream: a drip of one step, or up to a bound of bytes
    // waiting (the rest when the peer has read them), so that the server's own memory stays
    // small whatever the stream's length.
    void StreamOn(const ConnPtr& c) {
        if (c->streamLeft == 0 || c->fill.empty()) return;
        if (c->socket->state() != QAbstractSocket::ConnectedState) {
            c->streamLeft = 0;
            return;
        }
        constexpr qint64 kWaiting = 256 * 1024;
        size_t chunk = c->streamGapMs > 0 ? c->step : 64 * 1024;
        auto waiting = [&c] {
            auto* tls = qobject_cast<QSslSocket*>(c->socket);
            return c->socket->bytesToWrite() + (tls ? tls->encryptedBytesToWrite() : 0);
        };
        while (c->streamLeft > 0 && waiting() < kWaiting) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunk, c->streamLeft));
            std::string piece;
            piece.reserve(n);
            while (piece.size() < n) {
                size_t take = std::min(n - piece.size(), c->fill.size() - c->fillAt);
                piece.append(c->fill, c->fillAt, take);
                c->fillAt = (c->fillAt + take) % c->fill.size();
            }
            c->socket->write(piece.data(), static_cast<qint64>(piece.size()));
            bytesSent += piece.size();
            c->streamLeft -= n;
            if (c->streamGapMs > 0) {
                c->socket->flush();
                if (c->streamLeft == 0) break;
                c->pumping = true;
                QTimer::singleShot(c->streamGapMs, this, [this, c] {
                    c->pumping = false;
                    StreamOn(c);
                });
                return;
            }
        }
        if (c->streamLeft == 0 && c->closeAfterStream) Hangup(c);
    }
    void Read(const ConnPtr& c) {
        if (c->deaf) return;
        QByteArray got = c->socket->readAll();
        received[c->index].append(got.constData(), static_cast<size_t>(got.size()));
        if (c->muted) return;
        c->buffer.append(got.constData(), static_cast<size_t>(got.size()));
        for (;;) {
            if (c->inData) {
                size_t end = c->buffer.find("\r\n.\r\n");
                if (end == std::string::npos) return;
                blocks.push_back(c->buffer.substr(0, end + 5));
                c->buffer.erase(0, end + 5);
                c->inData = false;
                Answer(c, ".", ReplyToBlock(blocks.back()));
                if (c->muted) return;
                OnDataEnded(c);
                if (c->socket->state() != QAbstractSocket::ConnectedState) return;
                continue;
            }
            size_t nl = c->buffer.find("\r\n");
            if (nl == std::string::npos) return;
            std::string line = c->buffer.substr(0, nl);
            c->buffer.erase(0, nl + 2);
            commands.push_back(line);
            std::string verb = line.substr(0, line.find(' '));
            std::string reply = ReplyTo(line, verb);
            if (dataVerbs.count(verb) && !reply.empty() && reply[0] == '3') c->inData = true;
            Answer(c, verb, reply);
            if (c->muted) return;
            if (c->inData) {
                OnDataStarted(c);
                if (c->deaf) return;
            }
            if (closeAfter.count(verb)) Hangup(c);
        }
    }

    // Hands out QSslSocket connections that begin the server side of the handshake at once
    // when TLS is asked for.
    class Listener : public QTcpServer {
    public:
        QSslConfiguration tls;
        bool secure = false;

    protected:
        void incomingConnection(qintptr fd) override {
            if (!secure) {
                QTcpServer::incomingConnection(fd);
                return;
            }
            auto* s = new QSslSocket(this);
            s->setSslConfiguration(tls);
            if (!s->setSocketDescriptor(fd)) {
                delete s;
                return;
            }
            addPendingConnection(s);
            s->startServerEncryption();
        }
    };

    Listener server_;
    std::vector<ConnPtr> conns_;
};

#pragma once

// A scripted SMTP server on 127.0.0.1: it greets, answers each command as configured and
// keeps the commands and message texts it received.

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <map>
#include <set>
#include <string>
#include <vector>

class FakeSmtpServer : public QObject {
public:
    std::string greeting = "220 fake.test ready\r\n";
    std::map<std::string, std::string> replies = {
        {"HELO", "250 fake.test\r\n"}, {"RSET", "250 reset\r\n"},    {"MAIL", "250 sender ok\r\n"},
        {"RCPT", "250 rcpt ok\r\n"},   {"DATA", "354 go ahead\r\n"}, {"QUIT", "221 bye\r\n"}};
    std::string accepted = "250 queued\r\n";              // the reply after the message text
    std::set<std::string> refusedRecipients;              // "RCPT TO: <x>" for these gets 550
    std::map<std::string, std::string> recipientReplies;  // "<x>" -> its own RCPT reply
    bool splitReplies = false;                            // each reply in two writes, 20 ms apart
    bool closeAfterGreeting = false;
    // Misbehaviour once DATA has been answered with 354, while the text comes in:
    std::string answerInData;         // written at once (a refusal before the text is in)
    bool stopReadingInData = false;   // and nothing more is read: the client's sends block
    bool floodInData = false;         // bytes without a line end, as long as the client reads
    bool dropAfterAccepting = false;  // hang up right after the reply to the text

    std::vector<std::string> commands;  // every command line, without its line end
    std::vector<std::string> messages;  // every message text, up to and with "\r\n.\r\n"
    int connections = 0;

    FakeSmtpServer() {
        server_.listen(QHostAddress("127.0.0.1"), 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    }
    int port() const { return server_.serverPort(); }

private:
    void Accept() {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            ++connections;
            inData_[s] = false;
            buffer_[s].clear();
            Write(s, greeting);
            if (closeAfterGreeting) s->disconnectFromHost();
            QObject::connect(s, &QTcpSocket::readyRead, this, [this, s] { Read(s); });
        }
    }
    void Write(QTcpSocket* s, const std::string& text) {
        if (!splitReplies || text.size() < 2) {
            s->write(text.data(), static_cast<qint64>(text.size()));
            return;
        }
        size_t half = text.size() / 2;
        s->write(text.data(), static_cast<qint64>(half));
        std::string rest = text.substr(half);
        QTimer::singleShot(20, s,
                           [s, rest] { s->write(rest.data(), static_cast<qint64>(rest.size())); });
    }
    void Read(QTcpSocket* s) {
        if (deaf_.count(s)) return;
        QByteArray got = s->readAll();
        std::string& buf = buffer_[s];
        buf.append(got.constData(), static_cast<size_t>(got.size()));
        for (;;) {
            if (inData_[s]) {
                size_t end = buf.find("\r\n.\r\n");
                if (end == std::string::npos) return;
                messages.push_back(buf.substr(0, end + 5));
                buf.erase(0, end + 5);
                inData_[s] = false;
                Write(s, accepted);
                if (dropAfterAccepting) {
                    s->disconnectFromHost();
                    return;
                }
                continue;
            }
            size_t nl = buf.find("\r\n");
            if (nl == std::string::npos) return;
            std::string line = buf.substr(0, nl);
            buf.erase(0, nl + 2);
            commands.push_back(line);
            std::string verb = line.substr(0, line.find(' '));
            std::string reply = replies.count(verb) ? replies[verb] : "500 what?\r\n";
            if (verb == "RCPT" && refusedRecipients.count(line.substr(9)))
                reply = "550 no such user\r\n";
            if (verb == "RCPT" && recipientReplies.count(line.substr(9)))
                reply = recipientReplies[line.substr(9)];
            if (verb == "DATA" && reply[0] == '3') inData_[s] = true;
            Write(s, reply);
            if (inData_[s]) {
                // A little later, so that it meets the client in the middle of the text.
                if (!answerInData.empty())
                    QTimer::singleShot(20, s, [this, s] { Write(s, answerInData); });
                if (stopReadingInData) {
                    // Qt stops taking bytes from the kernel once this little is buffered.
                    s->setReadBufferSize(4096);
                    deaf_.insert(s);
                }
                if (floodInData) Flood(s);
                if (deaf_.count(s)) return;
            }
            if (verb == "QUIT")
                QTimer::singleShot(splitReplies ? 60 : 0, s, [s] { s->disconnectFromHost(); });
        }
    }

    void Flood(QTcpSocket* s) {
        if (s->state() != QAbstractSocket::ConnectedState) return;
        if (s->bytesToWrite() < 256 * 1024) {
            std::string block(16 * 1024, 'x');
            s->write(block.data(), static_cast<qint64>(block.size()));
        }
        QTimer::singleShot(1, s, [this, s] { Flood(s); });
    }

    QTcpServer server_;
    std::set<QTcpSocket*> deaf_;
    std::map<QTcpSocket*, bool> inData_;
    std::map<QTcpSocket*, std::string> buffer_;
};

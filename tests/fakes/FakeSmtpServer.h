#pragma once

// A scripted SMTP server on 127.0.0.1: it greets, answers each command as configured and
// keeps the commands and message texts it received.

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fakes/ScriptedLineServer.h"

class FakeSmtpServer : public ScriptedLineServer {
public:
    std::string& accepted = afterData;                    // the reply after the message text
    std::set<std::string> refusedRecipients;              // "RCPT TO: <x>" for these gets 550
    std::map<std::string, std::string> recipientReplies;  // "<x>" -> its own RCPT reply
    bool splitReplies = false;                            // each reply in two writes, 20 ms apart
    // Misbehaviour once DATA has been answered with 354, while the text comes in:
    std::string answerInData;         // written at once (a refusal before the text is in)
    bool stopReadingInData = false;   // and nothing more is read: the client's sends block
    bool floodInData = false;         // bytes without a line end, as long as the client reads
    bool dropAfterAccepting = false;  // hang up right after the reply to the text
    bool misbehaveOnce = false;       // the misbehaviour in the text meets one message only

    std::vector<std::string>& messages = blocks;  // every message text, with "\r\n.\r\n"

    FakeSmtpServer() {
        greeting = "220 fake.test ready\r\n";
        replies = {{"HELO", "250 fake.test\r\n"}, {"RSET", "250 reset\r\n"},
                   {"MAIL", "250 sender ok\r\n"}, {"RCPT", "250 rcpt ok\r\n"},
                   {"DATA", "354 go ahead\r\n"},  {"QUIT", "221 bye\r\n"}};
        afterData = "250 queued\r\n";
        dataVerbs = {"DATA"};
    }

protected:
    // Read as each connection comes, so that a test may set it at any time before.
    void Prepare() override {
        if (splitReplies) pace = Pace::Halves;
    }
    std::string ReplyTo(const std::string& line, const std::string& verb) override {
        if (verb == "RCPT" && line.size() > 9) {
            std::string who = line.substr(9);
            if (refusedRecipients.count(who)) return "550 no such user\r\n";
            if (recipientReplies.count(who)) return recipientReplies[who];
        }
        return ScriptedLineServer::ReplyTo(line, verb);
    }
    void OnDataStarted(const ConnPtr& c) override {
        // A little later, so that it meets the client in the middle of the text.
        if (!answerInData.empty()) {
            std::string text = answerInData;
            QTimer::singleShot(20, c->socket, [this, c, text] { Send(c, text); });
        }
        if (stopReadingInData) StopReading(c);
        if (floodInData) Flood(c);
        if (misbehaveOnce) {
            answerInData.clear();
            stopReadingInData = floodInData = false;
        }
    }
    void OnDataEnded(const ConnPtr& c) override {
        if (dropAfterAccepting) Hangup(c);
    }

private:
    void Flood(const ConnPtr& c) {
        QTcpSocket* s = c->socket;
        if (s->state() != QAbstractSocket::ConnectedState) return;
        if (s->bytesToWrite() < 256 * 1024) {
            std::string block(16 * 1024, 'x');
            s->write(block.data(), static_cast<qint64>(block.size()));
        }
        QTimer::singleShot(1, s, [this, c] { Flood(c); });
    }
};

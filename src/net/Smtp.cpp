#include "net/Smtp.h"

#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "settings/Settings.h"

namespace {

const ClientTraits kSmtpTraits = {
    settings::kTimeoutSmtp,
    60000,
    kSmtpTimer,
    25,
    WM_SMTP_LOOKUP,
    13,
    kSmtpBusy,
    kSmtpNoResponse,
    "Could not connect to the SMTP mail server.",
    "The mail server cannot be reached from this host at this time, the link may be down.",
    "The connection to the Mail server %s timed out, please try again later.  Verify the "
    "server name and try again.",
    "The Smtp object is being recalled.",
    "The SMTP Mail server %s did not respond to our command, please try again later.",
    "The Internet address lookup timed out.  Verify the DNS server addresses,\r\nand the "
    "Internet connection.",
};

// An address or name put into a command line never carries a line break of its own.
std::string OneLine(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

// The complete reply at the front of text: its lines up to the last one, whose code is
// not followed by "-". Empty while the reply is still arriving.
size_t CompleteReply(const std::string& text) {
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) return 0;
        bool more = end - start > 3 && text[start + 3] == '-';
        if (!more) return end + 1;
        start = end + 1;
    }
}

}  // namespace

CSmtp::CSmtp() : CConnection(kSmtpTraits) {}

uint32_t CSmtp::Connect(const std::string& sender, const std::string& heloName,
                        const std::string& server, int port) {
    sender_ = OneLine(sender);
    heloName_ = OneLine(heloName);
    pending_.clear();
    replyCode_ = 0;
    uint32_t rc = ConnectSequence(server, port, WM_SMTP_READY, true);
    if (rc == WSAENOBUFS && owner_) owner_->PostMessage(WM_SMTP_READY, rc, 0);
    return rc;
}

uint32_t CSmtp::Reconnect() {
    pending_.clear();
    return ConnectSequence(serverName_, port_, WM_SMTP_READY, false);
}

void CSmtp::OnConnected() {
    state_ = 2;
}

void CSmtp::Fail(uint32_t code) {
    StopTimer();
    state_ = 0;
    Close();
    PostResult(code);
}

bool CSmtp::SendCommand(const std::string& command, int nextState) {
    commandBuffer_ = command.substr(0, 1024);
    state_ = nextState;
    StartTimer(replyTimeout_);
    int n = Send(commandBuffer_.data(), static_cast<int>(commandBuffer_.size()));
    if (n != static_cast<int>(commandBuffer_.size())) {
        Fail(kSmtpSendFailed);
        return false;
    }
    return true;
}

uint32_t CSmtp::SendMail(const std::string& recipient, int messageFd) {
    if (opMessage_ != 0) return kSmtpBusy;
    if (state_ != 7) return kSmtpSendFailed;
    messageFd_ = messageFd;
    replyCode_ = 0;
    commandBuffer_ = ("RCPT TO: <" + OneLine(recipient) + ">\r\n").substr(0, 1024);
    state_ = 8;
    StartTimer(replyTimeout_);
    int n = Send(commandBuffer_.data(), static_cast<int>(commandBuffer_.size()));
    if (n != static_cast<int>(commandBuffer_.size())) {
        StopTimer();
        state_ = 0;
        Close();
        return kSmtpSendFailed;
    }
    opMessage_ = WM_SMTP_SENT;
    return 0;
}

void CSmtp::Quit() {
    if (state_ == 0) {
        if (owner_) owner_->PostMessage(WM_SMTP_ENDED, 0, 0);
        return;
    }
    opMessage_ = WM_SMTP_ENDED;
    SendCommand("QUIT\r\n", 12);
}

void CSmtp::SendText() {
    char block[1024];
    for (;;) {
        ssize_t got = ::pread(messageFd_, block, sizeof block, static_cast<off_t>(sendOffset_));
        if (got < 0) {
            // The server already takes whatever comes as the text; a next command would go
            // into the message. Only a new session is safe.
            Fail(kSmtpFileUnreadable);
            return;
        }
        if (got == 0) {
            state_ = 11;
            JudgeReply();  // a reply may be on its way already
            return;
        }
        int n = Send(block, static_cast<int>(got));
        if (n < 0) {
            if (LastError() == WSAEWOULDBLOCK) {
                StartTimer(replyTimeout_);  // the next writable event goes on from here
                return;
            }
            Fail(kSmtpSendFailed);
            return;
        }
        sendOffset_ += static_cast<uint64_t>(n);
    }
}

void CSmtp::OnSend(int error) {
    if (error != 0) {
        Fail(static_cast<uint32_t>(error));
        return;
    }
    if (state_ == 10) SendText();
}

void CSmtp::OnClose(int error) {
    // The server hung up: a session that awaited something ends now, not at the time-out.
    if (state_ == 0) return;
    StopTimer();
    state_ = 0;
    Close();
    if (opMessage_ != 0) PostResult(error ? static_cast<uint32_t>(error) : traits_.noResponseCode);
}

void CSmtp::OnReceive(int error) {
    // While the text goes out the timer watches the sending: a byte from the server must
    // not stop it, or a server that answers and stops reading holds the session forever.
    bool sending = state_ == 10;
    if (!sending) StopTimer();
    if (error != 0) {
        Fail(static_cast<uint32_t>(error));
        return;
    }
    char buffer[1024];
    int n = Receive(buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && LastError() != WSAEWOULDBLOCK) {
            Fail(static_cast<uint32_t>(LastError()));
            return;
        }
        if (!sending && opMessage_ != 0) StartTimer(replyTimeout_);  // nothing came after all
        return;
    }
    bool awaiting = state_ == 2 || state_ == 3 || state_ == 5 || state_ == 6 || state_ == 8 ||
                    state_ == 9 || state_ == 11 || state_ == 12;
    if (!awaiting && !sending) return;  // nobody asked: dropped
    if (pending_.size() + static_cast<size_t>(n) > kSmtpMaxReply) {
        // No reply is that long: whatever this is, it ends here and is not kept.
        pending_.append(buffer, static_cast<size_t>(n));
        replyCode_ = 0;
        replyText_ = pending_.substr(0, 1024);
        pending_.clear();
        Fail(kSmtpRefused);
        return;
    }
    pending_.append(buffer, static_cast<size_t>(n));
    if (sending)
        RefuseIfAnswered();
    else
        JudgeReply();
}

bool CSmtp::RefuseIfAnswered() {
    size_t end = CompleteReply(pending_);
    if (end == 0) return false;
    // The server answered before the whole text was out (a size limit, a policy). The rest
    // of the text cannot go (the server would read it as commands), so the session ends
    // and the message counts as refused with the server's words.
    TakeReply(end);
    Fail(kSmtpNotSendable);
    return true;
}

char CSmtp::TakeReply(size_t end) {
    std::string reply = pending_.substr(0, end);
    pending_.erase(0, end);
    // The last line of the reply decides; its text from the fifth character is kept.
    size_t last = reply.rfind('\n', reply.size() - 2);
    std::string line = last == std::string::npos ? reply : reply.substr(last + 1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    replyText_ = line.size() > 4 ? line.substr(4) : std::string();
    replyCode_ = 0;
    if (line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
        std::isdigit(static_cast<unsigned char>(line[1])) &&
        std::isdigit(static_cast<unsigned char>(line[2])))
        replyCode_ = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    return line.empty() ? 0 : line[0];
}

void CSmtp::JudgeReply() {
    size_t end = CompleteReply(pending_);
    if (end == 0) {
        StartTimer(replyTimeout_);
        return;
    }
    char first = TakeReply(end);
    bool positive = first == '2';

    switch (state_) {
        case 2:
        case 3:
        case 5:
            if (!positive) {
                Fail(kSmtpRefused);
                return;
            }
            if (state_ == 2)
                SendCommand("HELO " + heloName_ + "\r\n", 3);
            else if (state_ == 3)
                SendCommand("RSET\r\n", 5);
            else
                SendCommand("MAIL FROM: <" + sender_ + ">\r\n", 6);
            return;
        case 6:
            if (!positive) {
                Fail(kSmtpBadSender);
                return;
            }
            state_ = 7;
            PostResult(0);
            return;
        case 8:
            if (!positive) {
                state_ = 7;
                PostResult(kSmtpBadRecipient);
                return;
            }
            SendCommand("DATA\r\n", 9);
            return;
        case 9:
            if (first != '3') {
                state_ = 7;
                PostResult(kSmtpNotSendable);
                return;
            }
            sendOffset_ = 0;
            state_ = 10;
            if (!RefuseIfAnswered()) SendText();
            return;
        case 11:
            if (!positive) {
                state_ = 7;
                PostResult(kSmtpNotSendable);
                return;
            }
            // From here on the message is the server's: told before the session goes on, so
            // that a session that breaks later cannot make it go twice.
            if (onAccepted_) onAccepted_();
            if (state_ != 11) return;  // the owner ended the session meanwhile
            SendCommand("RSET\r\n", 5);
            return;
        case 12:
            state_ = 0;
            Close();
            PostResult(0);
            return;
        default:
            return;
    }
}

bool CSmtp::ProtocolText(uint32_t code, std::string* text) const {
    switch (code) {
        case kSmtpRefused:
            *text = "The SMTP mail server " + serverName_ + " said:  " + replyText_;
            return true;
        case kSmtpBadSender:
            *text = "Your e-mail user name is invalid.";
            return true;
        case kSmtpBadRecipient:
            *text = "The e-mail receipent name is invalid.";
            return true;
        case kSmtpNotSendable:
        case kSmtpFileUnreadable:
            *text = "An e-mail message is not sendable.";
            return true;
        case kSmtpSendFailed:
            *text = "A unknown error occured.";
            return true;
        default:
            return false;
    }
}

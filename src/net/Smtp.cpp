#include "net/Smtp.h"

#include <unistd.h>

#include <QByteArray>
#include <cctype>
#include <cerrno>
#include <utility>
#include <vector>

#include "settings/Passwords.h"
#include "settings/Settings.h"

namespace {

const ClientTraits kSmtpTraits = {
    .timeoutSetting = settings::kTimeoutSmtp,
    .defaultTimeout = 60000,
    .timerId = kSmtpTimer,
    .defaultPort = 25,
    .lookupMessage = WM_SMTP_LOOKUP,
    .resolvingState = CSmtp::kResolving,
    .busyCode = kSmtpBusy,
    .noResponseCode = kSmtpNoResponse,
    .sendFailedCode = kSmtpSendFailed,
    .textInvalid = "Could not connect to the SMTP mail server.",
    .textUnreachable =
        "The mail server cannot be reached from this host at this time, the link may be down.",
    .textTimedOut =
        "The connection to the Mail server %s timed out, please try again later.  "
        "Verify the server name and try again.",
    .textBusy = "The Smtp object is being recalled.",
    .textNoResponse =
        "The SMTP Mail server %s did not respond to our command, please try again later.",
    .textLookupTimedOut =
        "The Internet address lookup timed out.  Verify the DNS server "
        "addresses,\r\nand the Internet connection.",
    .tlsFailedCode = kSmtpTlsFailed,
    .textTlsFailed = "The secure connection to %s could not be made",
};

const LineTraits kSmtpLineTraits = {
    .sendFailedCode = kSmtpSendFailed,
    .tooLongCode = kSmtpRefused,
    .tooLargeCode = kSmtpRefused,
    .maxReply = kSmtpMaxReply,
    .readSize = 1024,
};

// An address or name put into a command line never carries a line break of its own.
std::string OneLine(const std::string& s) {
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

std::string Base64(const std::string& s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size())).toBase64().toStdString();
}

// ASCII only: a keyword's "i" must become "I" in every locale (not so in a Turkish one).
std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

}  // namespace

CSmtp::CSmtp() : CLineClient(kSmtpTraits, kSmtpLineTraits) {}

uint32_t CSmtp::Connect(const std::string& sender, const std::string& heloName,
                        const std::string& server, int port) {
    // A session under way keeps its settings and its replies.
    if (opMessage() != 0 || state() != kIdle) return kSmtpBusy;
    sender_ = OneLine(sender);
    heloName_ = OneLine(heloName);
    ClearReplies();
    replyCode_ = 0;
    refusal_ = 0;

    DWORD security = settings::ReadRootDword(settings::kSmtpSecurity, kSmtpPlain);
    // A value we do not know asks for security all the same: never less than STARTTLS.
    security_ = security == kSmtpPlain         ? Security::Plain
                : security == kSmtpImplicitTls ? Security::Implicit
                                               : Security::StartTls;
    std::string keyringProblem;
    bool readable = ReadRootText(settings::kSmtpUserName, user_, kSmtpMaxCredential + 1);
    settings::PasswordRead got = settings::ReadRootPassword(
        settings::kSmtpPassword, kSmtpMaxCredential + 1, &password_, &keyringProblem);
    if (got == settings::PasswordRead::kTooLong) readable = false;
    // Without a user name there is no login, and nothing to miss.
    if (got == settings::PasswordRead::kUnavailable && user_.empty()) got = {};
    // The password goes over TLS or not at all.
    if (!user_.empty() && security_ == Security::Plain) security_ = Security::StartTls;
    extended_ = security_ != Security::Plain || !user_.empty();
    secured_ = false;
    offersStartTls_ = offersPlain_ = offersLogin_ = false;
    notSecurable_.clear();
    SetTlsFromStart(security_ == Security::Implicit);
    if (port == 0 && security_ == Security::Implicit) port = kSmtpsPort;
    if (!readable || got == settings::PasswordRead::kUnavailable) {
        // A longer one could not go in one AUTH line; cut short it would only be refused.
        // One the keyring did not give is never replaced by an empty one.
        user_.clear();
        password_.clear();
        SetServerName(server);
        notSecurable_ = !readable
                            ? "The SMTP user name or password is longer than " +
                                  std::to_string(kSmtpMaxCredential) + " bytes; no mail was sent."
                            : keyringProblem + " No mail was sent.";
        if (owner()) owner()->PostMessage(WM_SMTP_READY, kSmtpNotSecurable, 0);
        return kSmtpNotSecurable;
    }
    uint32_t rc = ConnectSequence(server, port, WM_SMTP_READY, true);
    if (rc == WSAENOBUFS && owner()) owner()->PostMessage(WM_SMTP_READY, rc, 0);
    return rc;
}

uint32_t CSmtp::Reconnect() {
    ClearReplies();
    return ConnectSequence(serverName(), port(), WM_SMTP_READY, false);
}

void CSmtp::OnConnected() {
    SetState(kGreeting);
}

void CSmtp::FailNotSecurable(const char* why) {
    notSecurable_ = WithServer(why);
    Fail(kSmtpNotSecurable);
}

void CSmtp::AfterEhlo(const std::string& reply) {
    // The capabilities are the lines after the first; a fresh EHLO replaces them all.
    offersStartTls_ = offersPlain_ = offersLogin_ = false;
    size_t start = reply.find('\n');
    while (start != std::string::npos && start + 1 < reply.size()) {
        size_t end = reply.find('\n', start + 1);
        std::string line =
            reply.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
        std::string words = line.size() > 4 ? Upper(line.substr(4)) : std::string();
        // "AUTH PLAIN LOGIN", or the older "AUTH=PLAIN LOGIN".
        for (char& c : words)
            if (c == '=' || c == '\t') c = ' ';
        std::vector<std::string> list;
        for (size_t at = 0; at < words.size();) {
            size_t stop = words.find(' ', at);
            if (stop == std::string::npos) stop = words.size();
            if (stop > at) list.push_back(words.substr(at, stop - at));
            at = stop + 1;
        }
        if (!list.empty() && list[0] == "STARTTLS") offersStartTls_ = true;
        if (!list.empty() && list[0] == "AUTH") {
            for (size_t i = 1; i < list.size(); ++i) {
                if (list[i] == "PLAIN") offersPlain_ = true;
                if (list[i] == "LOGIN") offersLogin_ = true;
            }
        }
        start = end;
    }

    if (security_ == Security::StartTls && !secured_) {
        if (!offersStartTls_)
            return FailNotSecurable(
                "The SMTP mail server %s does not offer a secure connection (STARTTLS); no "
                "mail was sent.");
        SendCommand("STARTTLS\r\n", kStartTlsSent);
        return;
    }
    if (!user_.empty()) return SendLogin();
    SendCommand("RSET\r\n", kRsetSent);
}

void CSmtp::StartSecuring() {
    // Whatever came behind the go-ahead came before the handshake: nothing the server sent
    // in the clear may pass for a reply over the secure channel.
    ClearReplies();
    SetState(kSecuring);
    if (BeginSecure(serverName()) != 0) return;  // already ended with kSmtpTlsFailed
    // The handshake is connecting: the connection time-out bounds it.
    StartTimer(connectTimeout());
}

void CSmtp::OnSecure() {
    if (state() != kSecuring) return;
    secured_ = true;
    // What the server offered in the clear no longer counts (RFC 3207): ask again.
    offersStartTls_ = offersPlain_ = offersLogin_ = false;
    SendCommand("EHLO " + heloName_ + "\r\n", kEhloSent);
}

void CSmtp::SendLogin() {
    if (offersPlain_) {
        std::string response;
        response += '\0';
        response += user_;
        response += '\0';
        response += password_;
        SendCommand("AUTH PLAIN " + Base64(response) + "\r\n", kAuthPlainSent);
        return;
    }
    if (offersLogin_) {
        SendCommand("AUTH LOGIN\r\n", kAuthLoginSent);
        return;
    }
    FailNotSecurable(
        "The SMTP mail server %s does not offer a login this program can use (AUTH PLAIN or "
        "LOGIN); no mail was sent.");
}

uint32_t CSmtp::SendMail(const std::string& recipient, int messageFd) {
    if (opMessage() != 0) return kSmtpBusy;
    if (state() != kReady) return kSmtpSendFailed;
    messageFd_ = messageFd;
    replyCode_ = 0;
    RenewDeadline();
    // No operation runs yet: a command that cannot go ends the session without a completion.
    if (!SendCommand("RCPT TO: <" + OneLine(recipient) + ">\r\n", kRcptSent))
        return kSmtpSendFailed;
    SetOpMessage(WM_SMTP_SENT);
    return 0;
}

void CSmtp::Quit() {
    if (state() == kIdle) {
        if (owner()) owner()->PostMessage(WM_SMTP_ENDED, 0, 0);
        return;
    }
    SetOpMessage(WM_SMTP_ENDED);
    RenewDeadline();
    SendCommand("QUIT\r\n", kQuitSent);
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
            SetState(kTextSent);
            DeliverReplies();  // a reply may be on its way already
            return;
        }
        int n = Send(block, static_cast<int>(got));
        if (n < 0) {
            if (LastError() == WSAEWOULDBLOCK) {
                StartTimer(replyTimeout());  // the next writable event goes on from here
                return;
            }
            // The server may have answered and hung up (a size refusal): its words are
            // still in the socket and say more than the broken send does.
            for (int i = 0; i < 4 && state() == kSendingText; ++i) CLineClient::OnReceive(0);
            if (state() == kSendingText) Fail(kSmtpSendFailed);
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
    if (state() == kSendingText) SendText();
}

size_t CSmtp::ReplyLength(std::string_view text) const {
    // Its lines up to the last one, whose code is not followed by "-".
    size_t start = 0;
    for (;;) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) return 0;
        bool more = end - start > 3 && text[start + 3] == '-';
        if (!more) return end + 1;
        start = end + 1;
    }
}

bool CSmtp::AwaitsReply() const {
    switch (state()) {
        case kGreeting:
        case kHeloSent:
        case kEhloSent:
        case kStartTlsSent:
        case kAuthPlainSent:
        case kAuthLoginSent:
        case kAuthUserSent:
        case kAuthPasswordSent:
        case kRsetSent:
        case kMailFromSent:
        case kRcptSent:
        case kDataSent:
        case kTextSent:
        case kQuitSent:
            return true;
        default:
            return false;
    }
}

void CSmtp::OnReplyTooLong(const std::string& head) {
    replyCode_ = 0;
    CLineClient::OnReplyTooLong(head);
}

char CSmtp::TakeReply(const std::string& reply) {
    // The last line of the reply decides; its text from the fifth character is kept.
    size_t last = reply.rfind('\n', reply.size() - 2);
    std::string line = last == std::string::npos ? reply : reply.substr(last + 1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    SetReplyText(line.size() > 4 ? line.substr(4) : std::string());
    replyCode_ = 0;
    if (line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
        std::isdigit(static_cast<unsigned char>(line[1])) &&
        std::isdigit(static_cast<unsigned char>(line[2])))
        replyCode_ = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
    return line.empty() ? 0 : line[0];
}

void CSmtp::RefuseAndReset(uint32_t code) {
    // A refused DATA or text leaves the transaction open on the server, recipient and all:
    // the next message's RCPT would add to it (and go to both), or be refused for want of
    // a sender. RSET and MAIL FROM start the next message clean; the refusal is told once
    // they have, with the server's words for it.
    refusal_ = code;
    refusalCode_ = replyCode_;
    refusalText_ = replyText();
    SendCommand("RSET\r\n", kRsetSent);
}

uint32_t CSmtp::Outcome(uint32_t code) {
    // The server refused the message, then hung up or fell silent before the next one could
    // be started: the message's refusal is still what the caller must hear of, or its file
    // would come first again in every run.
    if (refusal_ == 0 || code == 0) return code;
    replyCode_ = refusalCode_;
    SetReplyText(refusalText_);
    return std::exchange(refusal_, 0);
}

void CSmtp::OnReply(const std::string& reply) {
    char first = TakeReply(reply);
    bool positive = first == '2';

    switch (state()) {
        case kGreeting:
            if (!positive) return Fail(kSmtpRefused);
            if (extended_) {
                SendCommand("EHLO " + heloName_ + "\r\n", kEhloSent);
                return;
            }
            SendCommand("HELO " + heloName_ + "\r\n", kHeloSent);
            return;
        case kEhloSent:
            if (!positive) return Fail(kSmtpRefused);
            AfterEhlo(reply);
            return;
        case kStartTlsSent:
            if (!positive) return Fail(kSmtpRefused);
            StartSecuring();
            return;
        case kAuthLoginSent:
        case kAuthUserSent:
            // Before the user name went, a refusal is of the mechanism, not of the login.
            if (first == '5' && state() == kAuthUserSent) return Fail(kSmtpLoginRefused);
            if (replyCode_ != 334) return Fail(kSmtpRefused);
            if (state() == kAuthLoginSent)
                SendCommand(Base64(user_) + "\r\n", kAuthUserSent);
            else
                SendCommand(Base64(password_) + "\r\n", kAuthPasswordSent);
            return;
        case kAuthPlainSent:
        case kAuthPasswordSent:
            if (first == '5') return Fail(kSmtpLoginRefused);
            if (!positive) return Fail(kSmtpRefused);
            SendCommand("RSET\r\n", kRsetSent);
            return;
        case kHeloSent:
            if (!positive) return Fail(kSmtpRefused);
            SendCommand("RSET\r\n", kRsetSent);
            return;
        case kRsetSent:
            if (!positive) return Fail(kSmtpRefused);
            SendCommand("MAIL FROM: <" + sender_ + ">\r\n", kMailFromSent);
            return;
        case kMailFromSent:
            if (!positive) return Fail(kSmtpBadSender);
            SetState(kReady);
            if (refusal_ != 0) {
                // The new transaction stands; what the caller hears of is the refusal.
                uint32_t code = std::exchange(refusal_, 0);
                replyCode_ = refusalCode_;
                SetReplyText(refusalText_);
                PostResult(code);
                return;
            }
            PostResult(0);
            return;
        case kRcptSent:
            if (!positive) {
                SetState(kReady);
                PostResult(kSmtpBadRecipient);
                return;
            }
            SendCommand("DATA\r\n", kDataSent);
            return;
        case kDataSent:
            if (first != '3') return RefuseAndReset(kSmtpNotSendable);
            sendOffset_ = 0;
            SetState(kSendingText);
            // A refusal that came with the go-ahead is handed over next, before any text.
            if (!HasCompleteReply()) SendText();
            return;
        case kSendingText:
            // The server answered before the whole text was out (a size limit, a policy).
            // The rest of the text cannot go (the server would read it as commands), so the
            // session ends and the message counts as refused with the server's words.
            Fail(kSmtpNotSendable);
            return;
        case kTextSent:
            if (!positive) return RefuseAndReset(kSmtpNotSendable);
            // From here on the message is the server's: told before the session goes on, so
            // that a session that breaks later cannot make it go twice.
            emit MessageAccepted();
            if (state() != kTextSent) return;  // the owner ended the session meanwhile
            SendCommand("RSET\r\n", kRsetSent);
            return;
        case kQuitSent:
            SetState(kIdle);
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
            *text = "The SMTP mail server " + serverName() + " said:  " + replyText();
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
        case kSmtpLoginRefused:
            *text = WithServer("The SMTP mail server %s refused the user name or password.");
            return true;
        case kSmtpNotSecurable:
            *text = notSecurable_;
            return true;
        default:
            return false;
    }
}

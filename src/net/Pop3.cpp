#include "net/Pop3.h"

#include "net/Inet.h"

#include <cctype>
#include <charconv>
#include <climits>
#include <utility>

#include "settings/Settings.h"

namespace {

const ClientTraits kPop3Traits = {
    .timeoutSetting = settings::kTimeoutPop3,
    .defaultTimeout = 60000,
    .timerId = kPop3Timer,
    .defaultPort = 110,
    .lookupMessage = WM_POP3_LOOKUP,
    .resolvingState = CPop3::kResolving,
    .busyCode = kPop3Busy,
    .noResponseCode = kPop3NoResponse,
    .sendFailedCode = kPop3SendFailed,
    .textInvalid = "Could not connect to the POP3 mail server.",
    .textUnreachable =
        "The mail server cannot be reached from this host at this time, the link may be down.",
    .textTimedOut =
        "The connection to the Mail server %s timed out, please try again later.  "
        "Verify the server name and try again.",
    .textBusy = "The Pop3 object is being recalled.",
    .textNoResponse =
        "The POP3 Mail server %s did not respond to our command, please try again later.",
    .textLookupTimedOut =
        "The Internet address lookup timed out.  Verify the DNS server "
        "addresses,\r\nand the Internet connection.",
    .tlsFailedCode = kPop3TlsFailed,
    .textTlsFailed = "The secure connection to %s could not be made",
};

const LineTraits kPop3LineTraits = {
    .sendFailedCode = kPop3SendFailed,
    .tooLongCode = kPop3Said,
    .tooLargeCode = kPop3TooLarge,
    .maxReply = 64 * 1024,
    .readSize = 1024,
};

constexpr int kPop3sPort = 995;
// A UIDL list holds one short line per message: this is room for millions of them, and
// still a bound on what a server that never ends the list can write.
constexpr uint64_t kMaxUidList = 64u * 1024 * 1024;

bool Positive(const std::string& reply) {
    return !reply.empty() && reply[0] == '+';
}

std::string_view SkipBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

using lineproto::ParseNumber;
using lineproto::Sendable;
using lineproto::TrimLineEnd;

}  // namespace

bool ParseUidLine(std::string_view line, int* number, std::string* uid) {
    line = TrimLineEnd(line);
    size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return false;
    if (!ParseNumber(line.substr(0, blank), number) || *number < 1) return false;
    std::string_view id = SkipBlanks(line.substr(blank + 1));
    size_t end = id.find_first_of(" \t");
    if (end != std::string_view::npos) id = id.substr(0, end);
    // An identifier is 1 to 70 printable characters; anything else is no identifier to keep.
    if (id.empty() || id.size() > 70) return false;
    for (char c : id)
        if (static_cast<unsigned char>(c) < 0x21 || static_cast<unsigned char>(c) > 0x7E)
            return false;
    uid->assign(id);
    return true;
}

CPop3::CPop3() : CLineClient(kPop3Traits, kPop3LineTraits) {}

uint32_t CPop3::Connect(const std::string& userName, const std::string& password,
                        const std::string& server, int port, Pop3Security security) {
    if (opMessage() != 0 || state() != kIdle) return kPop3Busy;
    if (security != Pop3Security::kPlain && security != Pop3Security::kStls &&
        security != Pop3Security::kTlsFromStart)
        return kPop3BadSecurity;
    if (!Sendable("USER", userName) || !Sendable("PASS", password)) return kPop3BadLoginValue;
    std::string host = server;
    if (port == 0) CInet::SplitHostPort(server, &host, &port);
    if (port == 0 && security == Pop3Security::kTlsFromStart) port = kPop3sPort;
    userName_ = userName;
    password_ = password;
    security_ = security;
    messageCount_ = 0;
    lost_ = 0;
    uid_.clear();
    uidl_ = top_ = stls_ = Offer::kUnknown;
    return Begin(host, port, true);
}

uint32_t CPop3::Begin(const std::string& server, int port, bool fresh) {
    ClearReplies();
    SetTlsFromStart(security_ == Pop3Security::kTlsFromStart);
    return ConnectSequence(server, port, WM_POP3_LOGGED_IN, fresh);
}

uint32_t CPop3::Reconnect() {
    return Begin(serverName(), port(), false);
}

void CPop3::OnConnected() {
    SetState(kGreeting);
}

void CPop3::OnSecure() {
    stls_ = Offer::kYes;
    SendUser();
}

void CPop3::SendUser() {
    SendCommand("USER " + userName_ + "\r\n", kUserSent);
}

uint32_t CPop3::Command(const std::string& command, int nextState, UINT message) {
    if (opMessage() != 0) return kPop3Busy;
    if (state() != kReady) return kPop3SendFailed;
    RenewDeadline();
    // No operation runs yet: a command that cannot go closes without a completion.
    if (!SendCommand(command, nextState)) return kPop3SendFailed;
    SetOpMessage(message);
    return 0;
}

uint32_t CPop3::Retrieve(int number, int fd, bool keepStuffing) {
    uint32_t rc = Command("RETR " + std::to_string(number) + "\r\n", kRetrSent, WM_POP3_RETRIEVED);
    if (rc == 0) {
        fd_ = fd;
        dataOptions_ = CDotStream::Options{};
        dataOptions_.undoStuffing = !keepStuffing;
    }
    return rc;
}

uint32_t CPop3::Top(int number, int fd) {
    uint32_t rc = Command("TOP " + std::to_string(number) + " 0\r\n", kTopSent, WM_POP3_TOP);
    if (rc == 0) {
        fd_ = fd;
        dataOptions_ = CDotStream::Options{};
    }
    return rc;
}

uint32_t CPop3::Delete(int number) {
    return Command("DELE " + std::to_string(number) + "\r\n", kDeleSent, WM_POP3_DELETED);
}

uint32_t CPop3::Uid(int number) {
    uint32_t rc = Command("UIDL " + std::to_string(number) + "\r\n", kUidlSent, WM_POP3_UIDL);
    if (rc == 0) {
        number_ = number;
        uid_.clear();
    }
    return rc;
}

uint32_t CPop3::UidList(int fd) {
    uint32_t rc = Command("UIDL\r\n", kUidlSent, WM_POP3_UIDL);
    if (rc == 0) {
        number_ = 0;
        fd_ = fd;
        dataOptions_ = CDotStream::Options{};
        dataOptions_.maxBytes = kMaxUidList;
    }
    return rc;
}

uint32_t CPop3::Capabilities() {
    return Command("CAPA\r\n", kCapaSent, WM_POP3_CAPA);
}

void CPop3::Quit() {
    if (state() == kIdle) {
        if (lost_ != 0 && owner()) owner()->PostMessage(WM_POP3_ENDED, std::exchange(lost_, 0), 0);
        return;
    }
    if (opMessage() != 0 || state() != kReady) {
        // QUIT in the middle of a message would be read as part of it; the running
        // operation goes on and the caller hears that the session did not end.
        if (owner()) owner()->PostMessage(WM_POP3_ENDED, kPop3Busy, 0);
        return;
    }
    SetOpMessage(WM_POP3_ENDED);
    RenewDeadline();
    // Unsent, the server never enters its update step and keeps every deleted message:
    // SendCommand then ends the session with the send failure, never with success.
    SendCommand("QUIT\r\n", kQuitSent);
}

void CPop3::OnClose(int error) {
    if (state() == kReady && opMessage() == 0)
        lost_ = error ? static_cast<uint32_t>(error) : kPop3NoResponse;
    CLineClient::OnClose(error);
}

bool CPop3::AwaitsReply() const {
    switch (state()) {
        case kGreeting:
        case kUserSent:
        case kPassSent:
        case kStatSent:
        case kRetrSent:
        case kDeleSent:
        case kQuitSent:
        case kStlsSent:
        case kCapaSent:
        case kUidlSent:
        case kTopSent:
            return true;
        default:
            return false;
    }
}

size_t CPop3::ReplyLength(std::string_view pending) const {
    size_t first = CLineClient::ReplyLength(pending);
    if (first == 0 || state() != kCapaSent || pending[0] != '+') return first;
    // A positive CAPA reply runs over lines up to the line of a single dot.
    size_t start = first;
    for (;;) {
        size_t end = pending.find('\n', start);
        if (end == std::string_view::npos) return 0;
        std::string_view line = TrimLineEnd(pending.substr(start, end - start));
        if (line == ".") return end + 1;
        start = end + 1;
    }
}

void CPop3::KeepReplyText(const std::string& reply) {
    std::string_view text = TrimLineEnd(reply);
    if (!text.empty()) text.remove_prefix(1);
    if (text.size() > 1024) text = text.substr(0, 1024);
    SetReplyText(std::string(text));
}

void CPop3::TakeCapabilities(const std::string& reply) {
    uidl_ = top_ = stls_ = Offer::kNo;
    size_t start = reply.find('\n');
    while (start != std::string::npos && start + 1 < reply.size()) {
        size_t end = reply.find('\n', start + 1);
        std::string_view line = TrimLineEnd(std::string_view(reply).substr(
            start + 1, end == std::string::npos ? std::string::npos : end - start - 1));
        std::string word(line.substr(0, line.find(' ')));
        for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (word == "UIDL") uidl_ = Offer::kYes;
        if (word == "TOP") top_ = Offer::kYes;
        if (word == "STLS") stls_ = Offer::kYes;
        start = end;
    }
}

void CPop3::OnReply(const std::string& reply) {
    const bool positive = Positive(reply);
    switch (state()) {
        case kGreeting:
            if (!positive) {
                KeepReplyText(reply);
                return Fail(kPop3BadUser);
            }
            if (security_ == Pop3Security::kStls) {
                SendCommand("STLS\r\n", kStlsSent);
                return;
            }
            SendUser();
            return;
        case kStlsSent:
            if (!positive) {
                // Required means required: the login never goes in plain text instead.
                KeepReplyText(reply);
                stls_ = Offer::kNo;
                return Fail(kPop3NoStls);
            }
            // Whatever came behind the go-ahead was sent before the handshake, by anyone on
            // the path: it must not be read as the secure server's words.
            ClearReplies();
            SetState(kSecuring);
            // A peer that never completes the handshake is silence like any other.
            if (BeginSecure(serverName()) == 0) StartTimer(replyTimeout());
            return;
        case kUserSent:
            if (!positive) {
                KeepReplyText(reply);
                return Fail(kPop3BadUser);
            }
            if (SendCommand("PASS " + password_ + "\r\n", kPassSent)) password_.clear();
            return;
        case kPassSent:
            password_.clear();
            if (!positive) {
                KeepReplyText(reply);
                return Fail(kPop3BadPassword);
            }
            SendCommand("STAT\r\n", kStatSent);
            return;
        case kStatSent: {
            int count = 0;
            std::string_view rest = TrimLineEnd(reply);
            bool read = false;
            if (positive && rest.substr(0, 3) == "+OK") {
                rest = SkipBlanks(rest.substr(3));
                read = ParseNumber(rest.substr(0, rest.find(' ')), &count);
            }
            if (!read) {
                // Without the count the box cannot be worked through: no count is no login.
                KeepReplyText(reply);
                return Fail(kPop3Said);
            }
            messageCount_ = count;
            StopTimer();
            SetState(kReady);
            PostResult(0);
            return;
        }
        case kRetrSent:
        case kTopSent:
            if (!positive) {
                // The session stays usable: the next message may well be there.
                uint32_t code = state() == kRetrSent ? kPop3NotRetrievable : kPop3Refused;
                KeepReplyText(reply);
                StopTimer();
                SetState(kReady);
                PostResult(code);
                return;
            }
            SetState(kReceiving);
            StartData(fd_, dataOptions_, kReady);
            return;
        case kUidlSent: {
            if (positive && number_ == 0) {
                SetState(kReceiving);
                StartData(fd_, dataOptions_, kReady);
                return;
            }
            int number = 0;
            std::string uid;
            std::string_view rest = TrimLineEnd(reply);
            bool read = positive && rest.substr(0, 3) == "+OK" &&
                        ParseUidLine(SkipBlanks(rest.substr(3)), &number, &uid) &&
                        number == number_;
            KeepReplyText(reply);
            StopTimer();
            SetState(kReady);
            if (!read) return PostResult(kPop3Refused);
            uid_ = uid;
            PostResult(0);
            return;
        }
        case kCapaSent:
            if (positive) TakeCapabilities(reply);
            StopTimer();
            SetState(kReady);
            PostResult(0);
            return;
        case kDeleSent:
            // A refused deletion leaves the session as it was: the deletions made before it
            // still need the QUIT that keeps them.
            if (!positive) KeepReplyText(reply);
            StopTimer();
            SetState(kReady);
            PostResult(positive ? 0 : kPop3Said);
            return;
        case kQuitSent:
            if (!positive) {
                // The server could not remove what was deleted: that is no clean end.
                KeepReplyText(reply);
                return Fail(kPop3Said);
            }
            StopTimer();
            SetState(kIdle);
            Close();
            PostResult(0);
            return;
        default:
            return;
    }
}

bool CPop3::ProtocolText(uint32_t code, std::string* text) const {
    switch (code) {
        case kPop3BadUser:
            *text = "Your e-mail user name is invalid.";
            return true;
        case kPop3BadPassword:
            *text = "Your e-mail user name or password is invalid.";
            return true;
        case kPop3Said:
        case kPop3Refused:
            *text = "The POP3 mail server " + serverName() + " said:  " + replyText();
            return true;
        case kPop3NotRetrievable:
            *text = "A e-mail message is not retrieveable.";
            return true;
        case kPop3SendFailed:
            *text = "A unknown error occured.";
            return true;
        case kPop3NoStls:
            *text = "The POP3 mail server " + serverName() +
                    " does not offer a secure connection (STLS), and one is required.";
            return true;
        case kPop3BadLoginValue:
            *text =
                "Your e-mail user name or password cannot be sent: it holds a line break or a "
                "zero byte, or it is too long.";
            return true;
        case kPop3TooLarge:
            *text = "The POP3 mail server " + serverName() +
                    " sent a message or list too large to be retrieved.";
            return true;
        case kPop3BadSecurity:
            *text = "The POP3 security setting must be 0 (none), 1 (STLS) or 2 (TLS).";
            return true;
        default:
            return false;
    }
}

#include "net/Nntp.h"

#include <charconv>
#include <climits>

#include "net/Inet.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

namespace {

const ClientTraits kNntpTraits = {
    .timeoutSetting = settings::kTimeoutNntp,
    .defaultTimeout = 90000,
    .timerId = kNntpTimer,
    .defaultPort = 119,
    .lookupMessage = WM_NNTP_LOOKUP,
    .resolvingState = CNntp::kResolving,
    .busyCode = kNntpBusy,
    .noResponseCode = kNntpNoResponse,
    .sendFailedCode = kNntpSendFailed,
    .textInvalid = "Could not connect to the news server.",
    .textUnreachable =
        "The network news server cannot be reached from this host at this time, the link may "
        "be down",
    .textTimedOut =
        "The connection to the News server %s timed out, please try again later.  "
        "Verify the server name and try again.",
    .textBusy = "The News object is being recalled.",
    .textNoResponse = "The News server %s did not respond to our command, please try again later.",
    .textLookupTimedOut =
        "The Internet address lookup timed out.  Verify the DNS server "
        "addresses,\r\nand the Internet connection.",
    .tlsFailedCode = kNntpTlsFailed,
    .textTlsFailed = "The secure connection to %s could not be made",
};

const LineTraits kNntpLineTraits = {
    .sendFailedCode = kNntpSendFailed,
    .tooLongCode = kNntpSaid,
    .tooLargeCode = kNntpTooLarge,
    .maxReply = 64 * 1024,
    .readSize = 1020,
};

// A full group list or a large overview is tens of megabytes; this still bounds a server
// that never ends one.
constexpr uint64_t kMaxBlock = 1024ull * 1024 * 1024;
// The longest user name or password we read from the settings.
constexpr size_t kMaxCredential = 255;

bool Positive(std::string_view reply) {
    return !reply.empty() && reply[0] == '2';
}

int ReplyCode(std::string_view reply) {
    if (reply.size() < 3) return 0;
    int code = 0;
    for (int i = 0; i < 3; ++i) {
        if (reply[i] < '0' || reply[i] > '9') return 0;
        code = code * 10 + (reply[i] - '0');
    }
    return code;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// The blank-separated words of a reply line, at most max of them.
size_t Words(std::string_view line, std::string_view* words, size_t max) {
    size_t n = 0;
    while (n < max) {
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t'))
            line.remove_prefix(1);
        if (line.empty()) break;
        size_t end = line.find_first_of(" \t");
        words[n++] = line.substr(0, end);
        line = end == std::string_view::npos ? std::string_view() : line.substr(end);
    }
    return n;
}

// A name for the log: the bytes that would break its line shown as "?".
std::string Printable(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

using lineproto::ParseNumber;
using lineproto::Sendable;
using lineproto::TrimLineEnd;

}  // namespace

bool ParseOverviewLine(std::string_view line, OverviewLine* out) {
    line = TrimLineEnd(line);
    std::string_view fields[8];
    size_t n = 0;
    while (n < 8) {
        size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            fields[n++] = line;
            break;
        }
        fields[n++] = line.substr(0, tab);
        line.remove_prefix(tab + 1);
    }
    if (n < 8) return false;
    int number = 0;
    if (!ParseNumber(Trim(fields[0]), &number) || number <= 0) return false;
    OverviewLine o;
    o.number = number;
    o.subject = fields[1];
    o.from = fields[2];
    o.date = fields[3];
    o.messageId = fields[4];
    o.references = fields[5];
    if (!ParseNumber(Trim(fields[6]), &o.bytes)) o.bytes = -1;
    // The line count may be followed by further fields; only its own text counts.
    std::string_view lines = fields[7];
    if (size_t tab = lines.find('\t'); tab != std::string_view::npos) lines = lines.substr(0, tab);
    if (!ParseNumber(Trim(lines), &o.lines)) o.lines = -1;
    o.id = MessageIdCore(o.messageId);
    *out = o;
    return true;
}

std::string_view MessageIdCore(std::string_view text) {
    std::string_view id = Trim(text);
    size_t open = id.find('<');
    size_t close = id.rfind('>');
    if (open != std::string_view::npos && close != std::string_view::npos && close > open)
        id = id.substr(open + 1, close - open - 1);
    return id;
}

CNntp::CNntp() : CLineClient(kNntpTraits, kNntpLineTraits) {}

uint32_t CNntp::Connect(const std::string& server, int port) {
    if (opMessage() != 0 || state() != kIdle) return kNntpBusy;
    DWORD security = settings::ReadRootDword(settings::kNewsSecurity, kNntpPlain);
    // A value we do not know asks for security all the same: never less than STARTTLS.
    security_ = security == kNntpPlain || security == kNntpImplicitTls ? security : kNntpStartTls;
    loginProblem_.clear();
    bool readable = ReadRootText(settings::kNewsUserName, userName_, kMaxCredential + 1);
    settings::PasswordRead got = settings::ReadRootPassword(
        settings::kNewsPassword, kMaxCredential + 1, &password_, &loginProblem_);
    if (got == settings::PasswordRead::kTooLong) readable = false;
    // Without a user name there is no login, and nothing to miss.
    if (got == settings::PasswordRead::kUnavailable && userName_.empty()) loginProblem_.clear();
    if (!readable || !loginProblem_.empty() || !Sendable("AUTHINFO USER", userName_) ||
        !Sendable("AUTHINFO PASS", password_)) {
        userName_.clear();
        password_.clear();
        SetServerName(server);
        return kNntpBadLoginValue;
    }
    std::string host = server;
    if (port == 0) CInet::SplitHostPort(server, &host, &port);
    if (port == 0 && security_ == kNntpImplicitTls) port = kNntpsPort;
    loggedIn_ = false;
    useOver_ = false;
    groupName_.clear();
    retryCommand_.clear();
    return Begin(host, port, true);
}

uint32_t CNntp::Begin(const std::string& server, int port, bool fresh) {
    ClearReplies();
    SetTlsFromStart(security_ == kNntpImplicitTls);
    return ConnectSequence(server, port, WM_NNTP_CONNECTED, fresh);
}

uint32_t CNntp::Reconnect() {
    return Begin(serverName(), port(), false);
}

void CNntp::OnConnected() {
    SetState(kGreeting);
}

void CNntp::OnSecure() {
    // Secured: the session is ready as after a plain greeting.
    Ready(0);
}

void CNntp::Ready(uint32_t code) {
    StopTimer();
    SetState(kReady);
    PostResult(code);
}

uint32_t CNntp::Command(const std::string& command, int nextState, UINT message) {
    if (opMessage() != 0) return kNntpBusy;
    if (state() != kReady) return kNntpSendFailed;
    RenewDeadline();
    // No operation runs yet: a command that cannot go closes without a completion.
    if (!SendCommand(command, nextState)) return kNntpSendFailed;
    SetOpMessage(message);
    return 0;
}

uint32_t CNntp::Transfer(const std::string& command, int nextState, UINT message, int fd) {
    uint32_t rc = Command(command, nextState, message);
    if (rc == 0) fd_ = fd;
    return rc;
}

int CNntp::lineCount() const {
    switch (state()) {
        case kListSent:
        case kXoverSent:
        case kOverSent:
        case kHeadSent:
        case kBodySent:
            return 0;  // the status line is still awaited
        default:
            return CLineClient::lineCount();
    }
}

uint32_t CNntp::List(int fd) {
    return Transfer("LIST\r\n", kListSent, WM_NNTP_LIST, fd);
}

uint32_t CNntp::Group(const std::string& name) {
    if (opMessage() != 0) return kNntpBusy;
    if (state() != kReady) return kNntpSendFailed;
    bool sendable = !name.empty() && Sendable("GROUP", name);
    for (unsigned char c : name)
        if (c <= ' ' || c == 0x7F) sendable = false;
    // Whatever happens now, the numbers of the group before are not this group's.
    articleCount_ = firstArticle_ = lastArticle_ = 0;
    groupName_ = name;
    if (!sendable) {
        // One bad name in a list of groups costs only itself: the session stays.
        SetReplyText("the group name cannot be sent");
        SetOpMessage(WM_NNTP_GROUP);
        PostResult(kNntpBadGroupName);
        return 0;
    }
    return Command("GROUP " + name + "\r\n", kGroupSent, WM_NNTP_GROUP);
}

uint32_t CNntp::XOver(int fd, int first, int last) {
    std::string range = std::to_string(first) + "-" + std::to_string(last) + "\r\n";
    uint32_t rc = useOver_ ? Transfer("OVER " + range, kOverSent, WM_NNTP_XOVER, fd)
                           : Transfer("XOVER " + range, kXoverSent, WM_NNTP_XOVER, fd);
    // Kept for OVER only once this request runs: a refused call must not change the range
    // of the one under way.
    if (rc == 0) {
        overFirst_ = first;
        overLast_ = last;
    }
    return rc;
}

uint32_t CNntp::Stat(int number) {
    return Command("STAT " + std::to_string(number) + "\r\n", kStatSent, WM_NNTP_STAT);
}

uint32_t CNntp::Next() {
    return Command("NEXT\r\n", kNextSent, WM_NNTP_NEXT);
}

uint32_t CNntp::Head(int fd) {
    return Transfer("HEAD " + std::to_string(currentArticle_) + "\r\n", kHeadSent, WM_NNTP_HEAD,
                    fd);
}

uint32_t CNntp::Body(int fd) {
    // Two blanks, as this program has always sent it; servers split a command at any run
    // of blanks.
    return Transfer("BODY  " + std::to_string(currentArticle_) + "\r\n", kBodySent, WM_NNTP_BODY,
                    fd);
}

void CNntp::Quit() {
    if (state() == kIdle) return;
    if (opMessage() != 0 || state() != kReady) {
        // QUIT in the middle of a transfer would be answered inside it; the running
        // operation goes on and the caller hears that the session did not end.
        if (owner()) owner()->PostMessage(WM_NNTP_QUIT, kNntpBusy, 0);
        return;
    }
    SetOpMessage(WM_NNTP_QUIT);
    RenewDeadline();
    SendCommand("QUIT\r\n", kQuitSent);
}

void CNntp::OnClose(int error) {
    // Many servers hang up as they answer QUIT, or instead of answering: the session ended
    // as asked either way.
    if (state() == kQuitSent && error == 0) {
        StopTimer();
        SetState(kIdle);
        Close();
        PostResult(0);
        return;
    }
    CLineClient::OnClose(error);
}

bool CNntp::AwaitsReply() const {
    switch (state()) {
        case kGreeting:
        case kGroupSent:
        case kStatSent:
        case kNextSent:
        case kHeadSent:
        case kBodySent:
        case kListSent:
        case kXoverSent:
        case kOverSent:
        case kQuitSent:
        case kStartTlsSent:
        case kAuthUserSent:
        case kAuthPassSent:
            return true;
        default:
            return false;
    }
}

void CNntp::KeepReplyText(std::string_view reply) {
    // The server's words start after the code and its blank.
    std::string_view text = TrimLineEnd(reply);
    text = text.size() > 4 ? text.substr(4) : std::string_view();
    if (text.size() > 1024) text = text.substr(0, 1024);
    SetReplyText(std::string(text));
}

void CNntp::LogIn() {
    retryCommand_ = commandLine();
    retryState_ = state();
    if (userName_.empty() || loggedIn_) {
        // Nothing to log in with, or a login the server took and now wants again.
        Fail(kNntpLoginRefused);
        return;
    }
    if (security_ == kNntpPlain) {
        // The options promise that a password never goes in plain text: the login is
        // refused here, with the setting that would let it go.
        Fail(kNntpLoginNotSecure);
        return;
    }
    SendCommand("AUTHINFO USER " + userName_ + "\r\n", kAuthUserSent);
}

void CNntp::OnAuthReply(const std::string& reply) {
    int code = ReplyCode(reply);
    if (state() == kAuthUserSent && code == 381) {
        // Sent once per session: a server that asks again is refused below.
        if (SendCommand("AUTHINFO PASS " + password_ + "\r\n", kAuthPassSent)) password_.clear();
        return;
    }
    if (code != 281) {
        KeepReplyText(reply);
        Fail(kNntpLoginRefused);
        return;
    }
    loggedIn_ = true;
    // The command the server wanted a login for, asked again as it was.
    std::string again;
    again.swap(retryCommand_);
    SendCommand(again, retryState_);
}

void CNntp::OnGroupReply(const std::string& reply) {
    std::string_view words[5];
    size_t n = Words(TrimLineEnd(reply), words, 5);
    int count = 0, first = 0, last = 0;
    // Every number or none: a reply short of one must not leave the last group's in place.
    bool read = Positive(reply) && n >= 4 && ParseNumber(words[1], &count) &&
                ParseNumber(words[2], &first) && ParseNumber(words[3], &last);
    KeepReplyText(reply);
    if (!read) {
        articleCount_ = firstArticle_ = lastArticle_ = 0;
        if (Positive(reply)) SetReplyText("a reply without its numbers: " + replyText());
        Ready(kNntpSaid);
        return;
    }
    articleCount_ = count;
    firstArticle_ = first;
    lastArticle_ = last;
    if (n == 5) groupName_ = std::string(words[4]);
    Ready(0);
}

void CNntp::OnArticleReply(const std::string& reply) {
    std::string_view words[2];
    size_t n = Words(TrimLineEnd(reply), words, 2);
    int number = 0;
    bool read = Positive(reply) && n == 2 && ParseNumber(words[1], &number) && number > 0;
    if (!read) {
        // The article we stand on stays the one the caller knows.
        KeepReplyText(reply);
        Ready(kNntpNoArticle);
        return;
    }
    currentArticle_ = number;
    Ready(0);
}

void CNntp::OnReply(const std::string& reply) {
    const bool positive = Positive(reply);
    const int code = ReplyCode(reply);
    switch (state()) {
        case kGreeting:
            if (!positive) {
                KeepReplyText(reply);
                Fail(kNntpSaid);
                return;
            }
            if (security_ == kNntpStartTls) {
                SendCommand("STARTTLS\r\n", kStartTlsSent);
                return;
            }
            Ready(0);
            return;
        case kStartTlsSent:
            if (code != 382) {
                // Required means required: the session never goes on in plain text instead.
                KeepReplyText(reply);
                Fail(kNntpNoStartTls);
                return;
            }
            // Whatever came behind the go-ahead was sent before the handshake, by anyone on
            // the path: it must not be read as the secure server's words.
            ClearReplies();
            SetState(kSecuring);
            if (BeginSecure(serverName()) == 0) StartTimer(replyTimeout());
            return;
        case kAuthUserSent:
        case kAuthPassSent:
            OnAuthReply(reply);
            return;
        case kQuitSent:
            StopTimer();
            SetState(kIdle);
            Close();
            PostResult(0);
            return;
        default:
            break;
    }
    if (code == 480) {
        KeepReplyText(reply);
        LogIn();
        return;
    }
    switch (state()) {
        case kGroupSent:
            OnGroupReply(reply);
            return;
        case kStatSent:
        case kNextSent:
            OnArticleReply(reply);
            return;
        case kXoverSent:
            if (!positive && code >= 500 && code < 600) {
                // A server without XOVER knows the same overview as OVER.
                useOver_ = true;
                SendCommand(
                    "OVER " + std::to_string(overFirst_) + "-" + std::to_string(overLast_) + "\r\n",
                    kOverSent);
                return;
            }
            [[fallthrough]];
        case kOverSent:
        case kHeadSent:
        case kBodySent:
        case kListSent: {
            if (!positive) {
                // The session stays usable: the next article may well be there.
                KeepReplyText(reply);
                Ready(kNntpLost);
                return;
            }
            SetState(kReceiving);
            CDotStream::Options options;
            options.undoStuffing = false;
            options.maxBytes = transferLimit_ != 0 ? transferLimit_ : kMaxBlock;
            StartData(fd_, options, kReady);
            return;
        }
        default:
            return;
    }
}

bool CNntp::ProtocolText(uint32_t code, std::string* text) const {
    switch (code) {
        case kNntpSaid:
            *text = "On group " + groupName_ + " the News server " + serverName() +
                    " said:  " + replyText();
            return true;
        case kNntpNoArticle:
            *text = "No article can be found on the News Server.";
            return true;
        case kNntpLost:
            *text = "The News Server lost an article.";
            return true;
        case kNntpSendFailed:
            *text = "The command could not be sent to the News server " + serverName() + ".";
            return true;
        case kNntpLoginRefused:
            *text = "The News server " + serverName() +
                    " refused our login (check NewsUserName and NewsPassword):  " + replyText();
            return true;
        case kNntpNoStartTls:
            *text = "The News server " + serverName() +
                    " does not offer a secure connection (STARTTLS), and one is required.";
            return true;
        case kNntpBadGroupName:
            *text = "The news group name \"" + Printable(groupName_.substr(0, 200)) +
                    "\" cannot be sent: it is empty, holds a blank, a line break or a control "
                    "character, or is too long.";
            return true;
        case kNntpTooLarge:
            *text = "The News server " + serverName() +
                    " sent a list or article too large to be retrieved.";
            return true;
        case kNntpLoginNotSecure:
            *text = "The News server " + serverName() +
                    " asks for a login, and a user name and password are only ever sent over a "
                    "secure connection: set NewsSecurity to 1 (STARTTLS) or 2 (TLS) to log in.";
            return true;
        case kNntpBadLoginValue:
            if (!loginProblem_.empty()) {
                *text = loginProblem_;
                return true;
            }
            *text =
                "The news user name or password cannot be sent: it holds a line break or a "
                "zero byte, or it is too long.";
            return true;
        default:
            return false;
    }
}

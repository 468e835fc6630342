#include "net/Http.h"

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string_view>

#include "net/Inet.h"
#include "platform/AsciiText.h"
#include "settings/Settings.h"

namespace {

const ClientTraits kHttpTraits = {
    .timeoutSetting = settings::kTimeoutHttp,
    .defaultTimeout = 30000,
    .timerId = kHttpTimer,
    .defaultPort = 80,
    .lookupMessage = WM_HTTP_LOOKUP_DONE,
    .resolvingState = CHttp::kResolving,
    .busyCode = kHttpBusy,
    .noResponseCode = kHttpNoResponse,
    .sendFailedCode = kHttpSendFailed,
    .textInvalid = "Could not connect to the Web Server.",
    .textUnreachable =
        "The web server cannot be reached from this host at this time, the link may be down.",
    .textTimedOut =
        "The connection to the Web server %s timed out, please try again later.  "
        "Verify the server name and try again.",
    .textBusy = "The Web object is being recalled.",
    .textNoResponse = "The Web Server %s did not respond to our command, please try again later.",
    .textLookupTimedOut =
        "The Internet address lookup timed out.  Verify the DNS server "
        "addresses, and the Internet connection.",
    .tlsFailedCode = kHttpTlsFailed,
    .textTlsFailed = "The secure connection to the Web Server %s could not be made",
    .textTlsBroken = "The secure connection to the Web Server %s was cut off after it was made",
};

// The longest answer a proxy may give to CONNECT before its empty line.
constexpr size_t kMaxTunnelReply = 16 * 1024;

// The proxy used when the settings turn the proxy on but name none.
constexpr const char* kDefaultProxy = "127.0.0.1";

// A header longer than this is not read for its length; such a response counts as whole
// only when the server closes the connection in good order.
constexpr size_t kMaxTrackedHeader = 64 * 1024;

// The size of a kept connection's read: large documents are read in few turns of the loop.
constexpr int kReadSize = 16 * 1024;

bool StartsWithName(std::string_view line, std::string_view name) {
    return line.size() >= name.size() && strncasecmp(line.data(), name.data(), name.size()) == 0;
}

// The number of a Content-Length line, or -1 when none can be read.
int64_t LengthOf(std::string_view text) {
    size_t at = text.find(':') + 1;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    int64_t value = 0;
    size_t digits = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at, ++digits) {
        if (value > (INT64_MAX - 9) / 10) return -1;
        value = value * 10 + (text[at] - '0');
    }
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
    return digits > 0 && at == text.size() ? value : -1;
}

// Whether a Connection line's list holds token (any case), and not "close".
bool ListHolds(std::string_view text, std::string_view token, bool* close) {
    bool found = false;
    size_t at = text.find(':') + 1;
    while (at < text.size()) {
        size_t end = std::min(text.find(',', at), text.size());
        std::string_view item = text.substr(at, end - at);
        while (!item.empty() && std::isspace(static_cast<unsigned char>(item.front())))
            item.remove_prefix(1);
        while (!item.empty() && std::isspace(static_cast<unsigned char>(item.back())))
            item.remove_suffix(1);
        if (item.size() == token.size() &&
            strncasecmp(item.data(), token.data(), token.size()) == 0)
            found = true;
        if (item.size() == 5 && strncasecmp(item.data(), "close", 5) == 0) *close = true;
        at = end + 1;
    }
    return found;
}

// What the header says about the end of its response and its connection.
struct HeaderFacts {
    int64_t contentLength = -1;   // of the first Content-Length line; -1: none can be read
    bool keepAlive = false;       // a Connection line names keep-alive, none names close
    bool lengthDoubtful = false;  // a second Content-Length line, or a Transfer-Encoding
    bool chunked = false;         // the last transfer coding is chunked
};

// Whether a Transfer-Encoding line's last coding is chunked: then the body comes in chunks
// whatever a Content-Length line says. Servers send it to 1.0 requests too.
bool EndsChunked(std::string_view text) {
    size_t at = text.find(':') + 1;
    std::string_view list = text.substr(std::min(at, text.size()));
    size_t comma = list.rfind(',');
    std::string_view last = comma == std::string_view::npos ? list : list.substr(comma + 1);
    while (!last.empty() && std::isspace(static_cast<unsigned char>(last.front())))
        last.remove_prefix(1);
    while (!last.empty() && std::isspace(static_cast<unsigned char>(last.back())))
        last.remove_suffix(1);
    return last.size() == 7 && strncasecmp(last.data(), "chunked", 7) == 0;
}

// The longest line of a chunked body's framing (a size with its extensions, a trailer).
constexpr size_t kMaxChunkLine = 4096;

HeaderFacts ReadHeader(std::string_view header) {
    HeaderFacts facts;
    bool lengthSeen = false, close = false;
    for (size_t line = 0; line < header.size();) {
        size_t next = header.find('\n', line);
        std::string_view text = header.substr(
            line, next == std::string_view::npos ? std::string_view::npos : next - line);
        if (StartsWithName(text, "content-length:")) {
            if (lengthSeen) facts.lengthDoubtful = true;
            if (!lengthSeen) facts.contentLength = LengthOf(text);
            lengthSeen = true;
        } else if (StartsWithName(text, "connection:")) {
            if (ListHolds(text, "keep-alive", &close)) facts.keepAlive = true;
        } else if (StartsWithName(text, "transfer-encoding:")) {
            facts.lengthDoubtful = true;
            facts.chunked = EndsChunked(text);
        }
        if (next == std::string_view::npos) break;
        line = next + 1;
    }
    if (close) facts.keepAlive = false;
    return facts;
}

std::string HttpDate(uint32_t t) {
    static const char* days[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                 "Thursday", "Friday", "Saturday"};
    static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t when = static_cast<time_t>(t);
    tm u{};
    gmtime_r(&when, &u);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s, %02d-%s-%02d %02d:%02d:%02d GMT", days[u.tm_wday],
                  u.tm_mday, months[u.tm_mon], u.tm_year % 100, u.tm_hour, u.tm_min, u.tm_sec);
    return buf;
}

}  // namespace

CHttp::CHttp() : CConnection(kHttpTraits), buffer_(kReadSize) {}

void CHttp::Abort() {
    kept_ = false;
    reused_ = false;
    tunnelAsked_ = false;
    CConnection::Abort();
}

void CHttp::CloseIdle() {
    if (state() == kIdle && opMessage() == 0 && kept_) DropKept();
}

void CHttp::DropKept() {
    kept_ = false;
    Close();
}

uint32_t CHttp::Get(const std::string& url, int outputFd, uint32_t ifModifiedSince) {
    if (opMessage() == 0 && state() == kIdle) redirections_ = 0;
    return StartRequest(WM_HTTP_GET_DONE, url, outputFd, ifModifiedSince);
}

uint32_t CHttp::Head(const std::string& url, int outputFd, uint32_t ifModifiedSince) {
    if (opMessage() == 0 && state() == kIdle) redirections_ = 0;
    return StartRequest(WM_HTTP_HEAD_DONE, url, outputFd, ifModifiedSince);
}

uint32_t CHttp::StartRequest(UINT message, const std::string& urlIn, int fd,
                             uint32_t ifModifiedSince, bool redirected, bool keepPost) {
    if (opMessage() != 0 || state() != kIdle) return kHttpBusy;
    tunnelAsked_ = false;
    std::string url = urlIn;
    if (redirected) {
        // The body, when it goes again, is the one the request began with.
        isPost_ = keepPost;
        if (!keepPost) postBody_.clear();
    } else {
        unfollowedLocation_.clear();
        size_t bar = url.find('|');
        isPost_ = bar != std::string::npos;
        postBody_ = isPost_ ? url.substr(bar + 1) : std::string();
        if (isPost_) url.erase(bar);
    }

    std::string scheme, host, path;
    int port = 80;
    CInet::SplitUrl(url, &scheme, &host, &port, &path);
    bool secure = strcasecmp(scheme.c_str(), "https") == 0;
    if ((!secure && strcasecmp(scheme.c_str(), "http") != 0) || host.empty() || host == "[]")
        return kHttpBadLink;

    url_ = url;
    host_ = host;
    urlPort_ = port;
    path_ = path;
    secure_ = secure;
    fd_ = fd;
    ifModifiedSince_ = ifModifiedSince;
    requestMessage_ = message;
    statusCode_ = 0;
    SetReplyText({});
    maxResponse_ = settings::ReadRootDword(settings::kHttpMaxResponse, kDefaultMaxResponse);
    if (responseLimit_ != 0 && responseLimit_ < maxResponse_) maxResponse_ = responseLimit_;
    followAll_ = settings::ReadRootDword(settings::kFollowRedirects, 1) != 0;

    useProxy_ = settings::ReadRootDword(settings::kUseProxy, 0) == 1;
    proxyPort_ = static_cast<int>(settings::ReadRootDword(settings::kProxyPort, 8080));
    ReadRootString(settings::kProxyServer, proxyServer_);
    if (proxyServer_.empty()) proxyServer_ = kDefaultProxy;
    keepAlive_ = settings::ReadRootDword(settings::kHttpKeepAlive, 1) != 0;

    // The kept connection carries this request when it leads to the same server and is
    // fresh enough that the server most likely still holds its end; else it goes.
    // Anything the server said since its last answer (a close, bytes nobody asked for) that
    // the loop has not yet delivered makes it no clean place for this one.
    bool reuse = kept_ && IsOpen() && !HasUnread() && keepAlive_ && !useProxy_ &&
                 keptSecure_ == secure_ && keptPort_ == urlPort_ &&
                 strcasecmp(keptHost_.c_str(), ConnectHost().c_str()) == 0 &&
                 std::chrono::steady_clock::now() - keptSince_ < keptIdleLimit_;
    reused_ = false;
    if (!reuse) {
        if (kept_) DropKept();
        return ConnectForRequest(message);
    }
    kept_ = false;
    reused_ = true;
    ResumeOnOpenConnection(host_, message);
    SendRequest();
    return 0;
}

uint32_t CHttp::ConnectForRequest(UINT message) {
    // Through a proxy the connection is plain until the tunnel stands.
    SetTlsFromStart(secure_ && !useProxy_);
    uint32_t rc = useProxy_ ? ConnectSequence(proxyServer_, proxyPort_, message, true)
                            : ConnectSequence(ConnectHost(), urlPort_, message, true);
    // The error texts (and the name the server's certificate must carry) are the document's host,
    // also when a proxy carries the request.
    SetServerName(host_);
    if (rc != 0) {
        SetOpMessage(0);
        SetState(kIdle);
    }
    return rc;
}

bool CHttp::RetryOnNewConnection() {
    if (!reused_ || !head_.empty() || received_ != 0 ||
        (state() != kConnected && state() != kRequestSent))
        return false;
    reused_ = false;
    UINT message = opMessage();
    StopTimer();
    Close();
    SetState(kIdle);
    SetOpMessage(0);
    uint32_t rc = ConnectForRequest(message);
    if (rc != 0) {
        SetOpMessage(message);
        PostResult(rc);
    }
    return true;
}

std::string CHttp::ConnectHost() const {
    if (host_.size() >= 2 && host_.front() == '[' && host_.back() == ']')
        return host_.substr(1, host_.size() - 2);
    return host_;
}

std::string CHttp::HostHeader() const {
    if (urlPort_ == (secure_ ? 443 : 80)) return host_;
    return host_ + ":" + std::to_string(urlPort_);
}

bool CHttp::Follows(int status) const {
    if (status == 302) return true;
    return followAll_ && (status == 301 || status == 303 || status == 307 || status == 308);
}

uint32_t CHttp::Reconnect() {
    if (reused_) {
        // Silence on a kept connection: a request that nothing was answered to goes again on
        // a new connection; one whose answer had begun is a server that stopped answering.
        reused_ = false;
        if (!head_.empty() || received_ != 0) return kHttpNoResponse;
        SetTlsFromStart(secure_ && !useProxy_);
    }
    return useProxy_ ? ConnectSequence(proxyServer_, proxyPort_, requestMessage_, false)
                     : ConnectSequence(ConnectHost(), urlPort_, requestMessage_, false);
}

void CHttp::OnConnected() {
    if (useProxy_ && secure_)
        SendConnect();
    else
        SendRequest();
}

void CHttp::OnSecure() {
    // The tunnel carries TLS to the server now: the request goes as it would go direct.
    SendRequest();
}

void CHttp::SendConnect() {
    SetState(kTunnelAsked);
    tunnelAsked_ = true;
    proxyFailure_ = 0;
    // The proxy learns the server and its port, nothing of the document.
    std::string authority = host_ + ":" + std::to_string(urlPort_);
    request_ = "CONNECT " + authority + " HTTP/1.0\r\nHost: " + authority + "\r\n\r\n";
    sent_ = 0;
    tunnelReply_.clear();
    // One reply time-out for the whole answer: a proxy that drips it cannot stretch it.
    StartTimer(replyTimeout());
    int n = Send(request_.data(), static_cast<int>(request_.size()));
    if (n < 0 && LastError() == WSAEWOULDBLOCK) return;  // OnSend brings the rest
    if (n <= 0) {
        Fail(SendFailure(n, kHttpSendFailed));
        return;
    }
    sent_ = static_cast<size_t>(n);
}

void CHttp::ReadTunnelReply() {
    // Read a byte at a time, so that nothing behind the answer's empty line (the server's
    // first TLS bytes) is taken from the socket.
    char c;
    for (;;) {
        int n = Receive(&c, 1);
        if (n < 0) {
            if (LastError() != WSAEWOULDBLOCK) Fail(static_cast<uint32_t>(LastError()));
            return;
        }
        if (n == 0) return;  // the close event follows
        tunnelReply_ += c;
        if (tunnelReply_.size() >= 4 &&
            tunnelReply_.compare(tunnelReply_.size() - 4, 4, "\r\n\r\n") == 0)
            break;
        if (tunnelReply_.size() >= kMaxTunnelReply) {
            RefuseTunnel();
            return;
        }
    }
    int major = 0, minor = 0, status = 0;
    if (std::sscanf(tunnelReply_.c_str(), "HTTP/%d.%d %d", &major, &minor, &status) != 3 ||
        tunnelReply_.rfind("HTTP/", 0) != 0 || status < 200 || status > 299) {
        RefuseTunnel();
        return;
    }
    tunnelReply_.clear();
    tunnelAsked_ = false;  // from here on the web server answers
    // Whatever of CONNECT a hasty proxy left unread must never go into the secure channel.
    request_.clear();
    sent_ = 0;
    StopTimer();
    SetState(kTunnelSecuring);
    if (BeginSecure(host_) != 0) return;  // already told
    // The handshake through the tunnel is bounded as the proxy's answer was.
    StartTimer(replyTimeout());
}

void CHttp::RefuseTunnel() {
    std::string line =
        tunnelReply_.substr(0, std::min<size_t>(tunnelReply_.find_first_of("\r\n"), 1024));
    tunnelReply_.clear();
    SetReplyText(line);
    Fail(kHttpProxyRefused);
}

// The request line is words apart by blanks: a blank, a control byte or a byte beyond
// ASCII in a link (pages write them so) goes out escaped, as browsers send it, so that it
// can neither split the line nor reach the server raw.
static std::string RequestTarget(const std::string& path) {
    return CInet::PercentEncode(path);
}

void CHttp::SendRequest() {
    SetState(kConnected);
    std::string r = requestMessage_ == WM_HTTP_HEAD_DONE ? "HEAD " : (isPost_ ? "POST " : "GET ");
    // A proxy is given the whole URL of a plain document; an https document goes through
    // the tunnel as it would go to the server itself.
    if (useProxy_ && !secure_)
        r += "http://" + HostHeader() + RequestTarget(path_);
    else
        r += RequestTarget(path_);
    r += " HTTP/1.0\r\n";
    r += "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*\r\n";
    r += "Accept-Language: en\r\n";
    r += "User-Agent: Korvalin/1.00 (compatible; MSIE 3.02; Windows 95)\r\n";
    // A server that keeps several sites on one address tells them apart by this line, and
    // one on another port than its scheme's needs the port in it too.
    r += "Host: " + HostHeader() + "\r\n";
    // A request line of 1.0 keeps the body unchunked; the server keeps the connection only
    // when it can name the body's length. A proxy's connection is never kept: not asked.
    if (keepAlive_ && !useProxy_) r += "Connection: keep-alive\r\n";
    if (ifModifiedSince_ != 0) r += "If-Modified-Since: " + HttpDate(ifModifiedSince_) + "\r\n";
    if (isPost_) {
        r += "Content-Type: application/x-www-form-urlencoded\r\n";
        r += "Content-Length: " + std::to_string(postBody_.size()) + "\r\n\r\n";
        r += postBody_;
    }
    r += "\r\n";
    request_ = std::move(r);
    sent_ = 0;
    head_.clear();
    received_ = 0;
    header_.clear();
    headerDone_ = false;
    contentLength_ = -1;
    bodyReceived_ = 0;
    chunked_ = chunkDone_ = chunkDataEnd_ = chunkTrailer_ = false;
    chunkLeft_ = 0;
    chunkLine_.clear();
    StartTimer(replyTimeout());
    int n = Send(request_.data(), static_cast<int>(request_.size()));
    // A secure channel may have to wait for room (or for the server's bytes) first; the
    // send event brings the request out then, the reply timer bounds the wait.
    if (n < 0 && LastError() == WSAEWOULDBLOCK && IsSecure()) {
        SetState(kRequestSent);
        return;
    }
    if (n <= 0) {
        if (!RetryOnNewConnection()) Fail(SendFailure(n, kHttpSendFailed));
        return;
    }
    sent_ = static_cast<size_t>(n);
    SetState(kRequestSent);
}

void CHttp::SendPending() {
    // What the socket could not take at once goes when it has room again.
    while (state() != kIdle && sent_ < request_.size()) {
        int n = Send(request_.data() + sent_, static_cast<int>(request_.size() - sent_));
        if (n < 0) {
            if (LastError() != WSAEWOULDBLOCK && !RetryOnNewConnection())
                Fail(static_cast<uint32_t>(LastError()));
            return;
        }
        sent_ += static_cast<size_t>(n);
    }
}

void CHttp::OnSend(int error) {
    if (state() == kIdle) return;
    if (error != 0) {
        if (!RetryOnNewConnection()) Fail(static_cast<uint32_t>(error));
        return;
    }
    SendPending();
}

void CHttp::Track(const char* data, size_t size) {
    if (headerDone_) {
        bodyReceived_ += size;
        return;
    }
    size_t before = header_.size();
    header_.append(data, std::min(size, kMaxTrackedHeader - std::min(before, kMaxTrackedHeader)));
    size_t end = header_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    if (end == std::string::npos) return;
    headerDone_ = true;
    bodyReceived_ = before + size - (end + 4);
    HeaderFacts facts = ReadHeader(std::string_view(header_).substr(0, end + 2));
    contentLength_ = facts.contentLength;
    answerKeepsAlive_ = facts.keepAlive;
    lengthDoubtful_ = facts.lengthDoubtful;
    // These answers have no body to frame, whatever their header says.
    const bool bodiless = requestMessage_ == WM_HTTP_HEAD_DONE || statusCode_ == 204 ||
                          statusCode_ == 304 || (statusCode_ >= 100 && statusCode_ < 200);
    if (facts.chunked && !bodiless) {
        chunked_ = true;
        contentLength_ = -1;  // the chunks frame the body, not a length
    }
    std::string().swap(header_);
}

bool CHttp::ResponseComplete() const {
    if (!headerDone_) return false;
    // These answers carry no body whatever their header says.
    if (requestMessage_ == WM_HTTP_HEAD_DONE || statusCode_ == 204 || statusCode_ == 304)
        return true;
    if (chunked_) return chunkDone_;
    return contentLength_ >= 0 && bodyReceived_ >= static_cast<uint64_t>(contentLength_);
}

bool CHttp::WriteOut(const char* data, size_t size) {
    const bool inHeader = !headerDone_;
    Track(data, size);
    received_ += size;
    if (received_ > maxResponse_) {
        Fail(kHttpTooLarge);
        return false;
    }
    if (!chunked_) return WriteFile(data, size);
    // The header goes to the file as it came; the body without its chunk framing, so that
    // every reader of the file finds the document itself behind the empty line.
    const size_t body = inHeader ? static_cast<size_t>(bodyReceived_) : size;
    return WriteFile(data, size - body) && Dechunk(data + size - body, body);
}

bool CHttp::Dechunk(const char* data, size_t size) {
    while (size > 0 && !chunkDone_) {
        if (chunkLeft_ > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(chunkLeft_, size));
            if (!WriteFile(data, n)) return false;
            chunkLeft_ -= n;
            data += n;
            size -= n;
            if (chunkLeft_ == 0) chunkDataEnd_ = true;
            continue;
        }
        char c = *data++;
        --size;
        if (c != '\n') {
            if (chunkLine_.size() >= kMaxChunkLine) {
                Fail(kHttpBadChunk);
                return false;
            }
            chunkLine_ += c;
            continue;
        }
        std::string line;
        line.swap(chunkLine_);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (chunkDataEnd_) {
            // Only the line end may follow a chunk's data.
            chunkDataEnd_ = false;
            if (line.empty()) continue;
            Fail(kHttpBadChunk);
            return false;
        }
        if (chunkTrailer_) {
            if (line.empty()) chunkDone_ = true;
            continue;
        }
        // A size in hexadecimal, then perhaps blanks and ";extensions".
        uint64_t value = 0;
        size_t digits = 0;
        for (char h : line) {
            int v = std::isdigit(static_cast<unsigned char>(h)) ? h - '0'
                    : (h >= 'a' && h <= 'f')                    ? h - 'a' + 10
                    : (h >= 'A' && h <= 'F')                    ? h - 'A' + 10
                                                                : -1;
            if (v < 0) break;
            if (++digits > 15) break;
            value = value * 16 + static_cast<uint64_t>(v);
        }
        std::string_view rest = std::string_view(line).substr(digits);
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        if (digits == 0 || digits > 15 || (!rest.empty() && rest.front() != ';')) {
            Fail(kHttpBadChunk);
            return false;
        }
        if (value == 0)
            chunkTrailer_ = true;
        else
            chunkLeft_ = value;
    }
    // Whatever follows the last chunk belongs to no document; the connection is not kept.
    return true;
}

bool CHttp::WriteFile(const char* data, size_t size) {
    while (fd_ >= 0 && size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            int e = n < 0 ? errno : ENOSPC;
            Fail(static_cast<uint32_t>(e));
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Judges the start of the reply once its first line is complete (or can be no status line,
// or final: nothing more will come). False when the request ended.
bool CHttp::JudgeStatusLine(bool final) {
    // Interim answers (100 Continue and the like) are dropped one after the other.
    for (;;) {
        static const std::string kPrefix = "HTTP/";
        size_t n = std::min(head_.size(), kPrefix.size());
        bool prefixOk = head_.compare(0, n, kPrefix, 0, n) == 0;
        bool lineDone = head_.find('\n') != std::string::npos || head_.size() >= 1024;
        if (prefixOk && !lineDone && !final) return true;  // wait for the rest of the line
        if (!prefixOk && !final && head_.size() < 1024) {
            // A service that answers in plain text (a daytime server's "\n60000 26-12-08 ...")
            // is heard out to the end of its first line that says something, however it drips
            // in: the reply timer bounds the wait.
            size_t said = head_.find_first_not_of(" \t\r\n");
            if (said == std::string::npos || head_.find('\n', said) == std::string::npos)
                return true;
        }

        int major = 0, minor = 0, status = 0;
        if (!prefixOk || head_.size() < kPrefix.size() ||
            std::sscanf(head_.c_str(), "HTTP/%d.%d %d ", &major, &minor, &status) != 3) {
            SetReplyText(head_.substr(0, 1024));
            head_.clear();
            // On a kept connection, bytes that are no status line are most likely the late tail
            // of the last answer (a length that undercounted, a body after a HEAD): this request
            // goes again on a connection of its own rather than fail for another's bytes.
            if (RetryOnNewConnection()) return false;
            Fail(kHttpNotHttp);
            return false;
        }
        if (status >= 100 && status < 200 && status != 101) {
            bool wait = false;
            if (!SkipInterim(final, &wait)) return false;
            if (wait) return true;
            continue;
        }
        statusCode_ = status;
        if (status != 200 && status != 302)
            SetReplyText(head_.substr(0, head_.find_first_of("\r\n")));
        SetState(kReceiving);
        std::string pending;
        pending.swap(head_);
        return WriteOut(pending.data(), pending.size());
    }
}

bool CHttp::SkipInterim(bool final, bool* wait) {
    // An interim answer is a status line and a header of its own; the real one follows it.
    size_t end = head_.find("\r\n\r\n");
    size_t skip = end != std::string::npos ? end + 4 : std::string::npos;
    if (size_t bare = head_.find("\n\n"); bare != std::string::npos && bare + 2 < skip)
        skip = bare + 2;
    if (skip == std::string::npos) {
        if (head_.size() > kMaxTrackedHeader || final) {
            SetReplyText(head_.substr(0, std::min<size_t>(head_.find_first_of("\r\n"), 1024)));
            head_.clear();
            Fail(final ? kHttpNoResponse : kHttpNotHttp);
            return false;
        }
        *wait = true;
        return true;
    }
    head_.erase(0, skip);
    if (!head_.empty()) return true;
    if (final) {
        Fail(kHttpNoResponse);
        return false;
    }
    *wait = true;
    return true;
}

void CHttp::OnReceive(int error) {
    if (state() == kTunnelAsked || state() == kTunnelSecuring) {
        // The timer keeps running: it bounds the whole answer, not each byte of it.
        if (error != 0)
            Fail(static_cast<uint32_t>(error));
        else if (state() == kTunnelAsked)
            ReadTunnelReply();
        return;
    }
    StopTimer();
    if (state() == kIdle) {
        // Nobody asked: whatever a kept connection brings now is no answer to anything.
        if (kept_) {
            DropKept();
            return;
        }
        SetOpMessage(0);
        char sink[1024];
        while (Receive(sink, sizeof sink) > 0) {
        }
        return;
    }
    // A failed read ends the response as a close with that error would.
    if (error != 0) {
        OnClose(error);
        return;
    }
    int n = Receive(buffer_.data(), kReadSize);
    if (n < 0) {
        if (LastError() != WSAEWOULDBLOCK) {
            OnClose(LastError());
            return;
        }
        n = 0;
    }
    if (n > 0) {
        if (state() == kRequestSent || state() == kConnected) {
            head_.append(buffer_.data(), static_cast<size_t>(n));
            if (!JudgeStatusLine(false)) return;
        } else if (state() == kReceiving) {
            if (!WriteOut(buffer_.data(), static_cast<size_t>(n))) return;
        }
    }
    // A response that is whole by its own header is over, whether or not the server then
    // closes: one that keeps the connection open must not turn it into a time-out.
    if (state() == kReceiving && ResponseComplete()) {
        EndResponse(0, true);
        return;
    }
    StartTimer(replyTimeout());
}

bool CHttp::FollowRedirect() {
    if (redirections_ >= kMaxRedirections || fd_ < 0) return false;
    // The Location header line itself: not a Content-Location before it, not a word in
    // the body, with or without a blank after its colon.
    std::string location;
    CInet::GetHeaderValue(fd_, "location:", &location);  // the name in lower case matches any case
    size_t end = 0;
    while (end < location.size() && !std::isspace(static_cast<unsigned char>(location[end]))) ++end;
    location.resize(end);
    if (location.empty()) return false;
    // A redirection to a place no web client can go (ftp:, mailto:) is the document's
    // answer, told as such; it is not an address to connect to.
    if (std::string_view scheme = CInet::SchemeOf(location);
        !scheme.empty() && !ascii::EqualsNoCase(scheme, "http") &&
        !ascii::EqualsNoCase(scheme, "https")) {
        unfollowedLocation_ = location.substr(0, 1024);
        return false;
    }
    // "//host/path" names another server on the same scheme, not a path on this one.
    if (location.rfind("//", 0) == 0) location = (secure_ ? "https:" : "http:") + location;
    if (strncasecmp(location.c_str(), "http:", 5) != 0 &&
        strncasecmp(location.c_str(), "https:", 6) != 0)
        location = CInet::ResolveUrl(url_, location);
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) < 0) return false;
    ++redirections_;
    UINT message = requestMessage_;
    // 307 and 308 ask for the same request at the new place, body and all; after the
    // others the new place is fetched with GET.
    bool keepPost = isPost_ && (statusCode_ == 307 || statusCode_ == 308);
    uint32_t rc = StartRequest(message, location, fd_, ifModifiedSince_, true, keepPost);
    if (rc != 0) {
        SetOpMessage(message);
        PostResult(rc);
    }
    return true;
}

bool CHttp::MayKeep() const {
    if (!keepAlive_ || useProxy_ || !answerKeepsAlive_ || lengthDoubtful_ || !ResponseComplete())
        return false;
    // Exactly the response: a byte beyond it would be taken for the next one's start.
    bool bodiless =
        requestMessage_ == WM_HTTP_HEAD_DONE || statusCode_ == 204 || statusCode_ == 304;
    return bodyReceived_ == (bodiless ? 0 : static_cast<uint64_t>(contentLength_));
}

void CHttp::KeepConnection() {
    StopTimer();
    SetState(kIdle);
    kept_ = true;
    keptSecure_ = secure_;
    keptHost_ = ConnectHost();
    keptPort_ = urlPort_;
    keptSince_ = std::chrono::steady_clock::now();
}

void CHttp::OnClose(int error) {
    StopTimer();
    if (state() == kIdle) {
        // The server ended a kept connection (its idle time-out): nobody waits for it.
        if (kept_) DropKept();
        return;
    }
    EndResponse(error, false);
}

void CHttp::EndResponse(int error, bool open) {
    StopTimer();
    if (state() == kIdle || opMessage() == 0) return;
    // A kept connection the server closed meanwhile: the request goes again, unnoticed.
    if ((state() == kRequestSent || state() == kConnected) && head_.empty() &&
        RetryOnNewConnection())
        return;
    if (state() == kTunnelAsked || state() == kTunnelSecuring) {
        // The proxy hung up before the tunnel stood: what it said, if anything, is the reason.
        if (error != 0)
            Fail(static_cast<uint32_t>(error));
        else if (tunnelReply_.empty())
            Fail(state() == kTunnelAsked ? kHttpProxyClosed : kHttpNoResponse);
        else
            RefuseTunnel();
        return;
    }
    // Some servers reset the connection instead of closing it once they have answered (a
    // close with the request's tail unread does that). An answer that is whole by its own
    // header stands; one that a reset may have cut short does not.
    if (error == WSAECONNRESET && state() == kReceiving && ResponseComplete()) error = 0;
    // An answer that named its length and ended short is not the document: the crawl
    // would lose every link past the cut, run after run, without a word.
    if (error == 0 && state() == kReceiving && headerDone_ && (contentLength_ >= 0 || chunked_) &&
        !ResponseComplete()) {
        Fail(kHttpCutShort);
        return;
    }
    if (error == 0 && (state() == kRequestSent || state() == kConnected)) {
        // The server hung up before a status line: nothing to judge but what came.
        if (head_.empty()) {
            Fail(kHttpNoResponse);
            return;
        }
        if (!JudgeStatusLine(true)) return;
    }
    bool keep = open && error == 0 && MayKeep();
    if (error == 0 && Follows(statusCode_) &&
        (opMessage() == WM_HTTP_GET_DONE || opMessage() == WM_HTTP_HEAD_DONE)) {
        UINT message = opMessage();
        // The next place may be on the same server: the kept connection can carry it.
        if (keep)
            KeepConnection();
        else
            Close();
        SetState(kIdle);
        SetOpMessage(0);
        if (FollowRedirect()) return;
        SetOpMessage(message);
        keep = keepsConnection();
    }
    if (keep) {
        KeepConnection();
        PostResult(statusCode_);
        return;
    }
    // A completed response ends as a failure does: idle, closed, told.
    kept_ = false;
    Fail(error != 0 ? static_cast<uint32_t>(error) : static_cast<uint32_t>(statusCode_));
}

uint32_t CHttp::Outcome(uint32_t code) {
    // Until the proxy has opened the tunnel, whatever ends the request (a reset, silence,
    // a close) is the proxy's doing, not the web server's.
    if (tunnelAsked_) {
        tunnelAsked_ = false;
        if (code != kHttpProxyRefused && code != kHttpBusy && code != kHttpProxyClosed) {
            proxyFailure_ = code;
            return kHttpProxyClosed;
        }
    }
    // A plain-text answer that stopped short of its line end and then went silent is still
    // the answer: what it said is worth more than "did not respond".
    size_t n = std::min<size_t>(head_.size(), 5);
    if (code == kHttpNoResponse && n > 0 && head_.compare(0, n, "HTTP/", 0, n) != 0) {
        SetReplyText(head_.substr(0, 1024));
        head_.clear();
        return kHttpNotHttp;
    }
    return code;
}

bool CHttp::ProtocolText(uint32_t code, std::string* text) const {
    switch (code) {
        case kHttpNotHttp:
        case kHttpSendFailed:
            *text = "The Web Server " + host_ + " said:  " + replyText();
            return true;
        case kHttpBadLink:
            *text = "The link is not formed correctly.";
            return true;
        case WSAECONNRESET:
            *text = "The Web Server " + host_ + " reset the connection.";
            return true;
        case kHttpCutShort:
            *text = "The Web Server " + host_ + " closed the connection before all of " + url_ +
                    " had arrived.";
            return true;
        case kHttpProxyClosed: {
            std::string what = proxyFailure_ == 0               ? "closed the connection"
                               : proxyFailure_ == WSAECONNRESET ? "reset the connection"
                               : proxyFailure_ == kHttpNoResponse || proxyFailure_ == 10060
                                   ? "did not answer"
                                   : "failed (error " + std::to_string(proxyFailure_) + ")";
            *text = "The proxy server " + proxyServer_ + ":" + std::to_string(proxyPort_) + " " +
                    what + " before it opened the way to the Web Server " + host_ + ".";
            return true;
        }
        case kHttpBadChunk:
            *text = "The Web Server " + host_ + " sent " + url_ +
                    " in chunks whose sizes could not be read.";
            return true;
        case kHttpProxyRefused:
            *text = "The proxy server " + proxyServer_ + " would not reach the Web Server " +
                    host_ + ", it said:  " + replyText();
            return true;
        case kHttpTooLarge:
            *text = "The Web Server " + host_ + " sent more than " + std::to_string(maxResponse_) +
                    " bytes for " + url_ + "; the transfer was stopped.";
            return true;
        default:
            return false;
    }
}

std::string CHttp::UnknownText(uint32_t code) const {
    if (code > 300) return "The Web Server " + host_ + " said:  " + replyText();
    return "A unknown error occured.";
}

#pragma once

// HTTP/1.0 GET, HEAD and POST of one document at a time, directly or through a proxy,
// with the whole response (status line, header and body as received) written to a file
// the owner supplies. Redirections (302, and unless the settings say otherwise also 301,
// 303, 307 and 308) are followed by the client itself. https URLs ask for TLS.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "net/Connection.h"

inline constexpr UINT WM_HTTP_GET_DONE = WM_USER + 34;     // 0x0422
inline constexpr UINT WM_HTTP_HEAD_DONE = WM_USER + 35;    // 0x0423
inline constexpr UINT WM_HTTP_LOOKUP_DONE = WM_USER + 37;  // 0x0425
inline constexpr UINT kHttpTimer = 6;

inline constexpr uint32_t kHttpNotHttp = 0x84000001;
inline constexpr uint32_t kHttpBusy = 0x84000004;
inline constexpr uint32_t kHttpBadLink = 0x84000005;
inline constexpr uint32_t kHttpSendFailed = 0x84000006;
inline constexpr uint32_t kHttpNoResponse = 0x84000007;
// Our own: the response grew past the size limit.
inline constexpr uint32_t kHttpTooLarge = 0x84000008;
// Our own: the secure connection to the web server could not be made (the reason follows
// the text).
inline constexpr uint32_t kHttpTlsFailed = 0x84000009;
// Our own: the proxy did not open the tunnel to an https server (its answer is replyText).
inline constexpr uint32_t kHttpProxyRefused = 0x8400000A;
// Our own: the connection ended before the length the response named had arrived.
inline constexpr uint32_t kHttpCutShort = 0x8400000B;
// Our own: a chunked body whose framing could not be read.
inline constexpr uint32_t kHttpBadChunk = 0x8400000C;
// Our own: the proxy hung up (or went silent) before it opened the tunnel to an https server.
inline constexpr uint32_t kHttpProxyClosed = 0x8400000D;

// Redirections followed for one request before its redirection is reported as it is.
inline constexpr int kMaxRedirections = 10;
// The size limit of one response when the settings name none.
inline constexpr uint32_t kDefaultMaxResponse = 256u * 1024 * 1024;
// How long a kept connection may have been idle and still carry the next request: servers
// keep theirs longer (commonly a minute), so one this fresh is rarely found closed.
inline constexpr std::chrono::milliseconds kKeptIdleLimit{5000};

class CHttp : public CConnection {
    Q_OBJECT
public:
    // The numbers are what state() reports.
    enum State : int {
        kIdle = kStateIdle,
        kConnecting = kStateConnecting,
        kConnected = 2,    // the request is going out
        kRequestSent = 3,  // awaiting the status line
        kResolving = 4,
        kReceiving = 10,       // the response goes to the file
        kTunnelAsked = 11,     // CONNECT sent to the proxy, awaiting its answer
        kTunnelSecuring = 12,  // the TLS handshake with the server through the tunnel
    };

    CHttp();

    // GET (POST when url holds "|", the body behind it). ifModifiedSince 0: none. 0 when
    // the request is under way (one completion message follows), else an error code.
    uint32_t Get(const std::string& url, int outputFd, uint32_t ifModifiedSince = 0);
    uint32_t Head(const std::string& url, int outputFd, uint32_t ifModifiedSince = 0);

    // Drops a connection kept for a next request (an owner whose run is over).
    void CloseIdle();
    // Stops whatever is going on, without a completion message, and drops a kept connection.
    void Abort();
    // How long a kept connection may idle and still be used (tests need other values).
    void SetKeptIdleLimit(std::chrono::milliseconds limit) { keptIdleLimit_ = limit; }
    // Whether a connection is kept for the next request.
    bool keepsConnection() const { return kept_ && IsOpen(); }

    // A bound on the responses of the requests that follow (redirections included), below
    // the settings' own; 0 leaves the settings' bound alone.
    void SetResponseLimit(uint64_t bytes) { responseLimit_ = bytes; }

    const std::string& url() const { return url_; }
    const std::string& host() const { return host_; }
    int urlPort() const { return urlPort_; }
    const std::string& path() const { return path_; }
    int statusCode() const { return statusCode_; }
    bool secure() const { return secure_; }
    // Whether the client follows a response with this status to its Location (by the
    // settings read when the last request started); one it does not follow is reported.
    bool Follows(int status) const;
    // Where the last answer redirected to when that place is no web address (ftp:, mailto:),
    // which the client does not follow; empty otherwise.
    const std::string& unfollowedLocation() const { return unfollowedLocation_; }

protected:
    uint32_t Reconnect() override;
    void OnConnected() override;
    void OnSecure() override;
    bool ProtocolText(uint32_t code, std::string* text) const override;
    uint32_t Outcome(uint32_t code) override;
    std::string UnknownText(uint32_t code) const override;

    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnClose(int error) override;

private:
    // A redirection's target is taken whole (a "|" in it is no body); keepPost sends the
    // request's POST body again.
    uint32_t StartRequest(UINT message, const std::string& url, int fd, uint32_t ifModifiedSince,
                          bool redirected = false, bool keepPost = false);
    // The host as a connect wants it: without the brackets of an IPv6 address.
    std::string ConnectHost() const;
    // The Host line's value: the host, and the port when it is not the scheme's own.
    std::string HostHeader() const;
    // Builds the request and hands it to the socket.
    void SendRequest();
    // Asks the proxy for a tunnel to the https server; its answer is read by ReadTunnelReply.
    void SendConnect();
    void ReadTunnelReply();
    // The proxy's answer ended (complete, cut off, or past its bound) without a tunnel.
    void RefuseTunnel();
    bool JudgeStatusLine(bool final);
    bool WriteOut(const char* data, size_t size);
    void SendPending();
    bool FollowRedirect();
    // The response ended: error as the socket told it; open when the response was whole by
    // its own header with the connection still standing.
    void EndResponse(int error, bool open);
    // Whether the connection may carry the next request once this response is over.
    bool MayKeep() const;
    // Ends the request with code and keeps the connection (idle) for the next one.
    void KeepConnection();
    // A kept connection that failed before the first byte of its answer was most likely
    // closed by the server meanwhile: the request goes again on a new connection. False
    // when that is not the case (the failure is to be reported).
    bool RetryOnNewConnection();
    // Connects anew for the request (directly or to the proxy); 0 or an error code.
    uint32_t ConnectForRequest(UINT message);
    // The kept connection is closed quietly: no completion, nothing logged.
    void DropKept();
    // Notes what the response has brought so far, so that its end can be judged.
    void Track(const char* data, size_t size);
    // Whether everything the response announced has arrived.
    bool ResponseComplete() const;
    // Writes bytes of the response to the caller's file as they are.
    bool WriteFile(const char* data, size_t size);
    // Writes a chunked body's data without its framing; false when the request ended.
    bool Dechunk(const char* data, size_t size);
    // An interim answer (100 Continue and the like) at the start of head_ is dropped; false
    // when the request ended, *wait when the real status line is still to come.
    bool SkipInterim(bool final, bool* wait);

    std::string url_, host_, path_;
    int urlPort_ = 80;
    bool secure_ = false;    // https: TLS from the first byte
    bool followAll_ = true;  // FollowRedirects: not only 302
    int fd_ = -1;            // the caller's file, not ours to close
    UINT requestMessage_ = 0;
    uint32_t ifModifiedSince_ = 0;
    bool isPost_ = false;
    std::string postBody_;
    int statusCode_ = 0;
    bool useProxy_ = false;
    std::string proxyServer_;
    int proxyPort_ = 8080;
    std::string request_;
    size_t sent_ = 0;
    std::string head_;         // the start of the reply, until its status line is complete
    std::string tunnelReply_;  // the proxy's answer to CONNECT, up to its empty line
    uint64_t received_ = 0;
    std::string header_;  // the response header until its empty line (bounded)
    bool headerDone_ = false;
    int64_t contentLength_ = -1;  // -1: the header names no length
    uint64_t bodyReceived_ = 0;
    uint64_t maxResponse_ = kDefaultMaxResponse;
    uint64_t responseLimit_ = 0;
    int redirections_ = 0;
    bool keepAlive_ = true;          // HttpKeepAlive: ask the server to keep the connection
    bool answerKeepsAlive_ = false;  // the response header says keep-alive
    bool lengthDoubtful_ = false;    // the header frames the body otherwise or twice
    bool kept_ = false;              // the idle connection waits for the next request
    bool keptSecure_ = false;
    std::string keptHost_;
    int keptPort_ = 0;
    std::chrono::steady_clock::time_point keptSince_{};
    std::chrono::milliseconds keptIdleLimit_ = kKeptIdleLimit;
    bool reused_ = false;  // the request went on a kept connection, no answer came yet
    std::string unfollowedLocation_;
    // A chunked body: its data goes to the file without the sizes and the trailer.
    bool chunked_ = false;
    bool chunkDone_ = false;     // the last chunk and the trailer have arrived
    bool chunkDataEnd_ = false;  // the line end after a chunk's data is awaited
    bool chunkTrailer_ = false;  // the last chunk came; trailer lines until an empty one
    uint64_t chunkLeft_ = 0;     // data bytes of the current chunk still to come
    std::string chunkLine_;      // a size or trailer line until its end (bounded)
    // The proxy's answer to CONNECT is awaited: a failure now is the proxy's.
    bool tunnelAsked_ = false;
    uint32_t proxyFailure_ = 0;  // what ended the proxy's part (a socket error, 0: it closed)
    std::vector<char> buffer_;
};

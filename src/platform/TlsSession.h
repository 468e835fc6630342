#pragma once

// One TLS client session over a non-blocking socket descriptor, driven by the socket's
// readiness events: every call returns at once and says what it waits for.

#include <cstdint>
#include <memory>
#include <string>

typedef struct ssl_st SSL;
struct TlsSessionCache;

class TlsSession {
public:
    enum class Wait {
        kNone,    // done, or bytes were moved
        kRead,    // call again when the socket is readable
        kWrite,   // call again when the socket is writable
        kClosed,  // the peer ended the secure channel
        kFailed,  // failure() says why
    };

    // A session for a connected socket. Certificates must lead to an authority of the
    // system's trusted store, or of caFile (PEM) when it is not empty; hostName is sent as
    // the server name and must match the certificate (a literal address must match one of
    // its IP entries). Null, with failure filled, when the session cannot be set up.
    // A verified session of an earlier connection to the same peer address under the same
    // name and authorities is offered to the server, which may resume it without a full
    // handshake.
    static std::unique_ptr<TlsSession> Begin(int fd, const std::string& hostName,
                                             const std::string& caFile, std::string* failure);
    ~TlsSession();

    Wait Handshake();
    // The count moved (> 0), or 0 with what the session waits for.
    int Read(char* buffer, int size, Wait* wait);
    int Write(const char* data, int size, Wait* wait);
    // Decrypted bytes or whole records wait inside the session, with no socket event to
    // announce them.
    bool HasPending() const;
    // Sends the closing alert if the socket takes it at once; never waits.
    void Shutdown();
    const std::string& failure() const { return failure_; }
    // The system's error number when the socket itself failed (a reset), else 0: the
    // secure channel failed (an alert, a broken record).
    int systemError() const { return systemError_; }
    // The handshake resumed an earlier session.
    bool resumed() const;

private:
    friend struct TlsSessionCache;
    TlsSession() = default;
    Wait Judge(int rc);

    SSL* ssl_ = nullptr;
    bool established_ = false;
    // Where this connection's sessions are kept: the context's number, the name checked,
    // the peer's address; empty peer when it could not be told (nothing is kept then).
    uint64_t cacheContext_ = 0;
    std::string cacheHost_, cachePeer_;
    uint64_t offered_ = 0;  // the serial of the session offered, 0 for none
    std::string failure_;
    int systemError_ = 0;
};

#pragma once

// A non-blocking TCP socket whose events arrive on the event loop as OnConnect, OnReceive,
// OnSend and OnClose, each with an error number (0 for none) numbered as Windows Sockets
// numbers them, so that the protocol clients read as they were written. It can run TLS
// over the same descriptor, after which the same calls and events carry the plain text.

#include <netinet/in.h>
#include <sys/socket.h>

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;
class TlsSession;

// Windows Sockets error numbers.
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// Our own: the TLS handshake or the secure channel failed (TlsFailure says why).
inline constexpr int kSocketTlsFailed = 20001;

// The Windows Sockets number for an errno value.
int WinsockError(int err);

// One address of either family with its port.
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    int family() const { return storage.ss_family; }
    void SetPort(uint16_t port);
    // The address as written in a URL's host: "1.2.3.4" or "::1" (no brackets).
    std::string ToString() const;
    // A literal IPv4 or IPv6 address ("[::1]" too); none for a name.
    static std::optional<SocketAddress> FromLiteral(const std::string& text);
    static SocketAddress FromIPv4(in_addr address);
};

class CAsyncSocket : public QObject {
    Q_OBJECT
public:
    CAsyncSocket();
    ~CAsyncSocket() override;

    // Makes a new non-blocking stream socket of the family; 0 or an error number.
    int Create(int family = AF_INET);
    bool IsOpen() const { return fd_ >= 0; }
    // The descriptor, for the options a test must see; -1 when closed.
    int Handle() const { return fd_; }
    int family() const { return family_; }
    // Starts connecting; 0 when it is done or under way (OnConnect follows), else an error.
    // WSAEWOULDBLOCK is never returned: an unfinished connect counts as under way.
    int Connect(const SocketAddress& address);
    int Connect(const sockaddr_in& address);
    // Reads at most size bytes: the count, 0 when the peer has closed, -1 with LastError.
    int Receive(char* buffer, int size);
    // Sends what the socket takes at once: the count, or -1 with LastError.
    int Send(const char* data, int size);
    void Close();
    int LastError() const { return lastError_; }

    // Runs a TLS client handshake over the connected socket for hostName (sent as the
    // server name and checked against the certificate, which must lead to a trusted
    // authority: the system's, or one in caFile when that names a PEM file). 0 when it is
    // under way (OnSecured follows), else an error. From then on Receive and Send carry
    // the plain text through the secure channel.
    int StartTls(const std::string& hostName, const std::string& caFile);
    bool IsSecure() const;
    // Why the last handshake or secure read failed, in OpenSSL's words.
    const std::string& TlsFailure() const { return tlsFailure_; }
    // The secure channel resumed a session of an earlier connection (no full handshake).
    bool TlsResumed() const;
    // Whether anything waits to be read (plain or secure), or the peer has closed or failed:
    // a connection kept idle that says so is no clean place for the next request.
    bool HasUnread() const;

protected:
    virtual void OnConnect(int error);
    virtual void OnReceive(int error);
    virtual void OnSend(int error);
    virtual void OnClose(int error);
    // The handshake is over: 0, or kSocketTlsFailed with TlsFailure telling why. A secure
    // channel that breaks later reports kSocketTlsFailed through OnClose, Receive or Send.
    virtual void OnSecured(int error);

private:
    void OnReadable();
    void OnWritable();
    void ContinueHandshake();
    // Brings decrypted text into the plain buffer and tells the client about it.
    void PumpSecure();
    void QueuePump();
    // The error a failed secure read or write reports.
    int SecureFailure() const;

    int fd_ = -1;
    int family_ = AF_INET;
    int lastError_ = 0;
    bool connecting_ = false;
    bool closed_ = false;  // OnClose was reported
    std::unique_ptr<QSocketNotifier> read_, write_;

    std::unique_ptr<TlsSession> tls_;
    std::string tlsFailure_;
    bool handshaking_ = false;
    bool sendWaitsForRead_ = false;  // a secure write needs the peer's bytes first
    bool readWaitsForWrite_ = false;
    bool pumpQueued_ = false;
    uint64_t generation_ = 0;  // counts closes, so that queued work for an old socket is dropped
    std::string plain_;        // decrypted and not yet received (at most one read's worth)
    size_t plainAt_ = 0;
    bool plainEnded_ = false;  // the secure channel ended behind what plain_ holds
    int plainEndError_ = 0;
};

// Asynchronous name lookup of both families. The answer, every address in the order the
// system gives them, is delivered on the event loop.
class Resolver {
public:
    using Done = std::function<void(int error, std::vector<SocketAddress> addresses)>;
    virtual ~Resolver() = default;
    // Starts a lookup; done is called later on the loop thread, unless cancelled. Returns a
    // handle (never 0), or 0 when the lookup cannot be started.
    virtual uint64_t Lookup(const std::string& name, Done done) = 0;
    virtual void Cancel(uint64_t handle) = 0;

    // The resolver in use: the system's, unless a test installed another.
    static Resolver& Get();
    static void Install(std::shared_ptr<Resolver> resolver);
};

// The system resolver, run off the loop thread on at most maxThreads threads: a name
// server that does not answer holds those few, and the lookups behind them wait in a
// queue instead of each taking a thread of its own. A lookup cancelled while queued (the
// client's time-out) never runs.
class SystemResolver final : public Resolver {
public:
    // Answers a lookup on a worker thread: 0 and the addresses, or a lookup error code.
    using Blocking =
        std::function<int(const std::string& name, std::vector<SocketAddress>* addresses)>;
    static constexpr int kMaxThreads = 4;

    explicit SystemResolver(Blocking lookup = nullptr, int maxThreads = kMaxThreads);
    ~SystemResolver() override;
    uint64_t Lookup(const std::string& name, Done done) override;
    void Cancel(uint64_t handle) override;
    // Lookups waiting for a thread.
    size_t queued() const;

private:
    struct Shared;
    static void Worker(std::weak_ptr<Shared> weak);
    std::shared_ptr<Shared> shared_;
};

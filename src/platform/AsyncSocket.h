#pragma once

// A non-blocking TCP socket whose events arrive on the event loop as OnConnect, OnReceive,
// OnSend and OnClose, each with an error number (0 for none) numbered as Windows Sockets
// numbers them, so that the protocol clients read as they were written.

#include <netinet/in.h>

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class QSocketNotifier;

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

// The Windows Sockets number for an errno value.
int WinsockError(int err);

class CAsyncSocket : public QObject {
    Q_OBJECT
public:
    CAsyncSocket();
    ~CAsyncSocket() override;

    // Makes a new non-blocking stream socket; 0 or an error number.
    int Create();
    bool IsOpen() const { return fd_ >= 0; }
    // Starts connecting; 0 when it is done or under way (OnConnect follows), else an error.
    // WSAEWOULDBLOCK is never returned: an unfinished connect counts as under way.
    int Connect(const sockaddr_in& address);
    // Reads at most size bytes: the count, 0 when the peer has closed, -1 with LastError.
    int Receive(char* buffer, int size);
    // Sends what the socket takes at once: the count, or -1 with LastError.
    int Send(const char* data, int size);
    void Close();
    int LastError() const { return lastError_; }

protected:
    virtual void OnConnect(int error);
    virtual void OnReceive(int error);
    virtual void OnSend(int error);
    virtual void OnClose(int error);

private:
    void OnReadable();
    void OnWritable();

    int fd_ = -1;
    int lastError_ = 0;
    bool connecting_ = false;
    bool closed_ = false;  // OnClose was reported
    std::unique_ptr<QSocketNotifier> read_, write_;
};

// Asynchronous IPv4 name lookup. The answer is delivered on the event loop.
class Resolver {
public:
    using Done = std::function<void(int error, in_addr address)>;
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
    // Answers a lookup on a worker thread: 0 and the address, or a lookup error code.
    using Blocking = std::function<int(const std::string& name, in_addr* address)>;
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

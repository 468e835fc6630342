#include "platform/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "platform/TlsSession.h"

int WinsockError(int err) {
    switch (err) {
        case 0:
            return 0;
        case EFAULT:
            return WSAEFAULT;
        case EINVAL:
            return WSAEINVAL;
        case EMFILE:
        case ENFILE:
            return WSAEMFILE;
        case EWOULDBLOCK:
            return WSAEWOULDBLOCK;
        case EINPROGRESS:
        case EALREADY:
            return WSAEINPROGRESS;
        case ENOTSOCK:
        case EBADF:
            return WSAENOTSOCK;
        case EDESTADDRREQ:
            return WSAEDESTADDRREQ;
        case EAFNOSUPPORT:
            return WSAEAFNOSUPPORT;
        case EADDRINUSE:
            return WSAEADDRINUSE;
        case EADDRNOTAVAIL:
            return WSAEADDRNOTAVAIL;
        case ENETDOWN:
            return WSAENETDOWN;
        case ENETUNREACH:
            return WSAENETUNREACH;
        case ECONNABORTED:
            return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE:
            return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM:
            return WSAENOBUFS;
        case EISCONN:
            return WSAEISCONN;
        case ENOTCONN:
            return WSAENOTCONN;
        case ETIMEDOUT:
            return WSAETIMEDOUT;
        case ECONNREFUSED:
            return WSAECONNREFUSED;
        case EHOSTUNREACH:
            return WSAEHOSTUNREACH;
        default:
            return WSAENETDOWN;
    }
}

void SocketAddress::SetPort(uint16_t port) {
    if (family() == AF_INET6)
        reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port = htons(port);
    else
        reinterpret_cast<sockaddr_in*>(&storage)->sin_port = htons(port);
}

std::string SocketAddress::ToString() const {
    char text[INET6_ADDRSTRLEN] = "";
    if (family() == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr, text,
                  sizeof text);
    else
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr, text,
                  sizeof text);
    return text;
}

SocketAddress SocketAddress::FromIPv4(in_addr address) {
    SocketAddress a;
    auto* in = reinterpret_cast<sockaddr_in*>(&a.storage);
    in->sin_family = AF_INET;
    in->sin_addr = address;
    a.length = sizeof(sockaddr_in);
    return a;
}

std::optional<SocketAddress> SocketAddress::FromLiteral(const std::string& text) {
    std::string host = text;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) return FromIPv4(v4);
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        SocketAddress a;
        auto* in = reinterpret_cast<sockaddr_in6*>(&a.storage);
        in->sin6_family = AF_INET6;
        in->sin6_addr = v6;
        a.length = sizeof(sockaddr_in6);
        return a;
    }
    return std::nullopt;
}

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() {
    Close();
}

int CAsyncSocket::Create(int family) {
    Close();
    fd_ = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return lastError_ = WinsockError(errno);
    // Every client writes a command, then waits for the answer: with Nagle's rule a write
    // behind one not yet acknowledged waits for the server's delayed acknowledgement (40 ms),
    // once for each mail of a session over a kilobyte, and once for a TLS handshake's last
    // flight followed by the first record.
    int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    family_ = family;
    closed_ = false;
    connecting_ = false;
    read_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
    write_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    read_->setEnabled(false);
    write_->setEnabled(false);
    connect(read_.get(), &QSocketNotifier::activated, this, &CAsyncSocket::OnReadable);
    connect(write_.get(), &QSocketNotifier::activated, this, &CAsyncSocket::OnWritable);
    return 0;
}

int CAsyncSocket::Connect(const sockaddr_in& address) {
    SocketAddress a;
    std::memcpy(&a.storage, &address, sizeof address);
    a.length = sizeof address;
    return Connect(a);
}

int CAsyncSocket::Connect(const SocketAddress& address) {
    if (fd_ < 0) return lastError_ = WSAENOTSOCK;
    if (address.family() != family_) return lastError_ = WSAEAFNOSUPPORT;
    int rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address.storage), address.length);
    if (rc != 0 && errno != EINPROGRESS) return lastError_ = WinsockError(errno);
    // Finished or not, the outcome arrives as OnConnect from the loop.
    connecting_ = true;
    write_->setEnabled(true);
    return 0;
}

int CAsyncSocket::Receive(char* buffer, int size) {
    if (fd_ < 0) {
        lastError_ = WSAENOTSOCK;
        return -1;
    }
    if (tls_ && !handshaking_) {
        if (size <= 0) return 0;
        if (plainAt_ < plain_.size()) {
            size_t n = std::min(plain_.size() - plainAt_, static_cast<size_t>(size));
            std::memcpy(buffer, plain_.data() + plainAt_, n);
            plainAt_ += n;
            return static_cast<int>(n);
        }
        if (plainEnded_) return 0;
        TlsSession::Wait wait;
        int n = tls_->Read(buffer, size, &wait);
        if (n > 0) return n;
        switch (wait) {
            case TlsSession::Wait::kRead:
                read_->setEnabled(true);
                lastError_ = WSAEWOULDBLOCK;
                return -1;
            case TlsSession::Wait::kWrite:
                readWaitsForWrite_ = true;
                write_->setEnabled(true);
                lastError_ = WSAEWOULDBLOCK;
                return -1;
            case TlsSession::Wait::kClosed:
                plainEnded_ = true;
                QueuePump();
                return 0;
            default:
                tlsFailure_ = tls_->failure();
                plainEnded_ = true;
                plainEndError_ = SecureFailure();
                QueuePump();
                lastError_ = plainEndError_;
                return -1;
        }
    }
    for (;;) {
        ssize_t n = ::recv(fd_, buffer, static_cast<size_t>(size), 0);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        lastError_ = WinsockError(errno);
        return -1;
    }
}

int CAsyncSocket::Send(const char* data, int size) {
    if (fd_ < 0) {
        lastError_ = WSAENOTSOCK;
        return -1;
    }
    if (tls_) {
        if (handshaking_) {
            lastError_ = WSAEWOULDBLOCK;
            return -1;
        }
        TlsSession::Wait wait;
        int n = tls_->Write(data, size, &wait);
        if (n > 0 || size <= 0) return n;
        switch (wait) {
            case TlsSession::Wait::kWrite:
                write_->setEnabled(true);
                lastError_ = WSAEWOULDBLOCK;
                return -1;
            case TlsSession::Wait::kRead:
                sendWaitsForRead_ = true;
                read_->setEnabled(true);
                lastError_ = WSAEWOULDBLOCK;
                return -1;
            default:
                if (wait != TlsSession::Wait::kFailed) {
                    lastError_ = WSAECONNRESET;
                    return -1;
                }
                tlsFailure_ = tls_->failure();
                lastError_ = SecureFailure();
                return -1;
        }
    }
    for (;;) {
        ssize_t n = ::send(fd_, data, static_cast<size_t>(size), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        lastError_ = WinsockError(errno);
        // Room will come: tell the client when it does, as Windows Sockets would.
        if (lastError_ == WSAEWOULDBLOCK) write_->setEnabled(true);
        return -1;
    }
}

void CAsyncSocket::Close() {
    if (tls_) {
        tls_->Shutdown();
        tls_.reset();
    }
    handshaking_ = sendWaitsForRead_ = readWaitsForWrite_ = pumpQueued_ = false;
    plain_.clear();
    plainAt_ = 0;
    plainEnded_ = false;
    plainEndError_ = 0;
    ++generation_;
    read_.reset();
    write_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connecting_ = false;
}

int CAsyncSocket::SecureFailure() const {
    // A reset is a reset, secure or not; anything else broke the secure channel itself.
    int system = tls_ ? tls_->systemError() : 0;
    return system != 0 ? WinsockError(system) : kSocketTlsFailed;
}

bool CAsyncSocket::IsSecure() const {
    return tls_ && !handshaking_;
}

bool CAsyncSocket::HasUnread() const {
    if (fd_ < 0 || closed_) return true;
    if (plainAt_ < plain_.size() || plainEnded_ || pumpQueued_) return true;
    if (tls_ && tls_->HasPending()) return true;
    char c;
    ssize_t n = ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n >= 0) return true;  // bytes, or the peer's close
    return errno != EAGAIN && errno != EWOULDBLOCK;
}

bool CAsyncSocket::TlsResumed() const {
    return tls_ && tls_->resumed();
}

int CAsyncSocket::StartTls(const std::string& hostName, const std::string& caFile) {
    if (fd_ < 0 || connecting_ || closed_) return lastError_ = WSAENOTCONN;
    if (tls_) return lastError_ = WSAEISCONN;
    tlsFailure_.clear();
    tls_ = TlsSession::Begin(fd_, hostName, caFile, &tlsFailure_);
    if (!tls_) return lastError_ = kSocketTlsFailed;
    handshaking_ = true;
    // The first step goes out from the loop, so that OnSecured never runs inside this call.
    write_->setEnabled(true);
    return 0;
}

void CAsyncSocket::ContinueHandshake() {
    switch (tls_->Handshake()) {
        case TlsSession::Wait::kNone:
            handshaking_ = false;
            read_->setEnabled(true);
            OnSecured(0);
            // Application bytes may have come with the last handshake record.
            if (tls_ && tls_->HasPending()) QueuePump();
            return;
        case TlsSession::Wait::kRead:
            read_->setEnabled(true);
            return;
        case TlsSession::Wait::kWrite:
            write_->setEnabled(true);
            return;
        default:
            tlsFailure_ = tls_->failure();
            handshaking_ = false;
            read_->setEnabled(false);
            write_->setEnabled(false);
            OnSecured(kSocketTlsFailed);
            return;
    }
}

void CAsyncSocket::QueuePump() {
    if (pumpQueued_) return;
    pumpQueued_ = true;
    QMetaObject::invokeMethod(
        this,
        [this, generation = generation_] {
            if (generation != generation_) return;
            pumpQueued_ = false;
            if (tls_ && !handshaking_) PumpSecure();
        },
        Qt::QueuedConnection);
}

void CAsyncSocket::PumpSecure() {
    if (closed_) return;
    if (plainAt_ >= plain_.size() && !plainEnded_) {
        plain_.resize(16384);
        TlsSession::Wait wait;
        int n = tls_->Read(plain_.data(), static_cast<int>(plain_.size()), &wait);
        plain_.resize(static_cast<size_t>(n));
        plainAt_ = 0;
        if (n == 0) {
            switch (wait) {
                case TlsSession::Wait::kRead:
                    read_->setEnabled(true);
                    return;
                case TlsSession::Wait::kWrite:
                    readWaitsForWrite_ = true;
                    write_->setEnabled(true);
                    return;
                case TlsSession::Wait::kClosed:
                    plainEnded_ = true;
                    break;
                default:
                    tlsFailure_ = tls_->failure();
                    plainEnded_ = true;
                    plainEndError_ = SecureFailure();
                    break;
            }
        }
    }
    if (plainAt_ < plain_.size()) {
        const uint64_t generation = generation_;
        const size_t before = plainAt_;
        OnReceive(0);
        if (generation != generation_ || !tls_) return;  // closed or made anew meanwhile
        // The socket announces nothing for what already waits here: come back for it, as
        // long as the client takes something each time.
        bool waiting =
            plainAt_ < plain_.size() ? plainAt_ != before : (tls_->HasPending() || plainEnded_);
        if (waiting) QueuePump();
        return;
    }
    if (plainEnded_) {
        read_->setEnabled(false);
        closed_ = true;
        OnClose(plainEndError_);
    }
}

void CAsyncSocket::OnWritable() {
    write_->setEnabled(false);
    if (tls_ && !connecting_) {
        if (handshaking_) {
            ContinueHandshake();
            return;
        }
        if (readWaitsForWrite_) {
            readWaitsForWrite_ = false;
            PumpSecure();
            if (!tls_) return;
        }
    }
    if (connecting_) {
        connecting_ = false;
        int err = 0;
        socklen_t len = sizeof err;
        ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err == 0) read_->setEnabled(true);
        OnConnect(WinsockError(err));
        return;
    }
    OnSend(0);
}

void CAsyncSocket::OnReadable() {
    if (tls_) {
        if (handshaking_) {
            ContinueHandshake();
            return;
        }
        if (sendWaitsForRead_) {
            sendWaitsForRead_ = false;
            const uint64_t generation = generation_;
            OnSend(0);
            if (generation != generation_ || !tls_) return;
        }
        PumpSecure();
        return;
    }
    // Look before reading: data is a receive event, an orderly end is a close event.
    char probe;
    ssize_t n;
    do {
        n = ::recv(fd_, &probe, 1, MSG_PEEK);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        OnReceive(0);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    int err = n < 0 ? WinsockError(errno) : 0;
    read_->setEnabled(false);
    if (closed_) return;
    closed_ = true;
    OnClose(err);
}

void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnSecured(int) {}

// ---------------------------------------------------------------------------------------

namespace {
std::mutex gResolverMutex;
std::shared_ptr<Resolver> gResolver;

int LookupError(int eai) {
    switch (eai) {
        case EAI_NONAME:
            return WSAHOST_NOT_FOUND;
        case EAI_AGAIN:
            return WSATRY_AGAIN;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return WSANO_DATA;
#endif
        default:
            return WSANO_RECOVERY;
    }
}
}  // namespace

Resolver& Resolver::Get() {
    static SystemResolver system;
    std::lock_guard lock(gResolverMutex);
    return gResolver ? *gResolver : static_cast<Resolver&>(system);
}

void Resolver::Install(std::shared_ptr<Resolver> resolver) {
    std::lock_guard lock(gResolverMutex);
    gResolver = std::move(resolver);
}

static int SystemLookup(const std::string& name, std::vector<SocketAddress>* addresses) {
    addrinfo hints{};
    // Both families, in the order the system prefers; a family this host cannot reach
    // fails fast at its connect and the next address is tried.
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    int error = 0;
    if (rc == 0) {
        for (addrinfo* a = result; a; a = a->ai_next) {
            if ((a->ai_family != AF_INET && a->ai_family != AF_INET6) ||
                a->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            SocketAddress address;
            std::memcpy(&address.storage, a->ai_addr, a->ai_addrlen);
            address.length = a->ai_addrlen;
            bool seen = std::any_of(addresses->begin(), addresses->end(), [&](const auto& o) {
                return o.length == address.length &&
                       std::memcmp(&o.storage, &address.storage, address.length) == 0;
            });
            if (!seen) addresses->push_back(address);
        }
        if (addresses->empty()) error = WSANO_DATA;
    } else {
        error = LookupError(rc);
    }
    if (result) ::freeaddrinfo(result);
    return error;
}

struct SystemResolver::Shared {
    struct Job {
        uint64_t handle;
        std::string name;
        Done done;
    };
    mutable std::mutex mutex;
    std::set<uint64_t> pending;
    std::deque<Job> queue;
    int workers = 0;
    int maxWorkers = kMaxThreads;
    Blocking lookup;
    std::atomic<uint64_t> next{1};
    QObject context;  // lives on the loop thread; answers are queued to it
};

// A worker takes queued lookups until none is left. It holds the resolver only weakly, so
// that a worker stuck in a dead name server keeps nothing alive and holds up no exit.
void SystemResolver::Worker(std::weak_ptr<Shared> weak) {
    for (;;) {
        auto shared = weak.lock();
        if (!shared) return;
        std::optional<Shared::Job> job;
        {
            std::lock_guard lock(shared->mutex);
            while (!shared->queue.empty() && !job) {
                if (shared->pending.count(shared->queue.front().handle))
                    job = std::move(shared->queue.front());
                shared->queue.pop_front();
            }
            if (!job) {
                --shared->workers;
                return;
            }
        }
        auto lookup = shared->lookup;
        shared.reset();
        std::vector<SocketAddress> addresses;
        int error = lookup(job->name, &addresses);
        shared = weak.lock();
        if (!shared) return;
        QMetaObject::invokeMethod(
            &shared->context,
            [weak, handle = job->handle, error, addresses = std::move(addresses),
             done = std::move(job->done)] {
                auto s = weak.lock();
                if (!s) return;
                {
                    std::lock_guard lock(s->mutex);
                    if (!s->pending.erase(handle)) return;  // cancelled
                }
                done(error, addresses);
            },
            Qt::QueuedConnection);
    }
}

SystemResolver::SystemResolver(Blocking lookup, int maxThreads)
    : shared_(std::make_shared<Shared>()) {
    shared_->lookup = lookup ? std::move(lookup) : Blocking(SystemLookup);
    shared_->maxWorkers = std::max(1, maxThreads);
}

SystemResolver::~SystemResolver() {
    std::lock_guard lock(shared_->mutex);
    shared_->pending.clear();
    shared_->queue.clear();
}

size_t SystemResolver::queued() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->queue.size();
}

uint64_t SystemResolver::Lookup(const std::string& name, Done done) {
    uint64_t handle = shared_->next++;
    std::lock_guard lock(shared_->mutex);
    shared_->pending.insert(handle);
    shared_->queue.push_back({handle, name, std::move(done)});
    if (shared_->workers >= shared_->maxWorkers) return handle;
    try {
        std::thread(Worker, std::weak_ptr<Shared>(shared_)).detach();
        ++shared_->workers;
    } catch (...) {
        // No thread to be had: a lookup already running takes this one when it ends.
        if (shared_->workers == 0) {
            shared_->pending.erase(handle);
            shared_->queue.pop_back();
            return 0;
        }
    }
    return handle;
}

void SystemResolver::Cancel(uint64_t handle) {
    std::lock_guard lock(shared_->mutex);
    shared_->pending.erase(handle);
}

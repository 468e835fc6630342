#include "platform/AsyncSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

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

CAsyncSocket::CAsyncSocket() = default;

CAsyncSocket::~CAsyncSocket() {
    Close();
}

int CAsyncSocket::Create() {
    Close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return lastError_ = WinsockError(errno);
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
    if (fd_ < 0) return lastError_ = WSAENOTSOCK;
    int rc = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
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
    read_.reset();
    write_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    connecting_ = false;
}

void CAsyncSocket::OnWritable() {
    write_->setEnabled(false);
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

static int SystemLookup(const std::string& name, in_addr* address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &result);
    int error = 0;
    if (rc == 0 && result)
        *address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr;
    else
        error = LookupError(rc);
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
        in_addr address{};
        int error = lookup(job->name, &address);
        shared = weak.lock();
        if (!shared) return;
        QMetaObject::invokeMethod(
            &shared->context,
            [weak, handle = job->handle, error, address, done = std::move(job->done)] {
                auto s = weak.lock();
                if (!s) return;
                {
                    std::lock_guard lock(s->mutex);
                    if (!s->pending.erase(handle)) return;  // cancelled
                }
                done(error, address);
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

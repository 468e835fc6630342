#include "platform/TlsSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

// The client's store of sessions for resumption, friend of TlsSession.
struct TlsSessionCache {
    // OpenSSL's new-session callback: 1 when the session was kept (its reference is ours).
    static int OnNew(SSL* ssl, SSL_SESSION* session);
    // Offers the kept session of the connection's key, if any is still good.
    static void Offer(TlsSession* tls);
    // A session offered and not taken by the server, or a handshake that failed after the
    // offer: that session goes.
    static void Drop(TlsSession* tls);
};

namespace {

// The socket's own calls, so that a peer gone away shows as an error, never as SIGPIPE
// (OpenSSL's socket BIO writes with write(2)).
int SocketWrite(BIO* bio, const char* data, int size) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        ssize_t n = ::send(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), data,
                           static_cast<size_t>(size), MSG_NOSIGNAL);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
        return -1;
    }
}

int SocketRead(BIO* bio, char* buffer, int size) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        ssize_t n = ::recv(static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))), buffer,
                           static_cast<size_t>(size), 0);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
        return -1;
    }
}

long SocketCtrl(BIO*, int command, long, void*) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int SocketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "socket");
        BIO_meth_set_write(m, SocketWrite);
        BIO_meth_set_read(m, SocketRead);
        BIO_meth_set_ctrl(m, SocketCtrl);
        BIO_meth_set_create(m, SocketCreate);
        return m;
    }();
    return method;
}

// One context per extra authority file, made again when that file changes: loading the
// system's store costs more than a handshake.
struct ContextKey {
    std::string caFile;
    long long mtime = 0;
    long long size = 0;
    bool operator<(const ContextKey& o) const {
        return std::tie(caFile, mtime, size) < std::tie(o.caFile, o.mtime, o.size);
    }
};

std::string OpenSslReason() {
    unsigned long e = ERR_peek_last_error();
    if (e == 0) return {};
    const char* reason = ERR_reason_error_string(e);
    if (reason) return reason;
    char text[256];
    ERR_error_string_n(e, text, sizeof text);
    return text;
}

// Sessions kept for resumption, newest per server as this program knows it. A resumed
// handshake checks no certificate: the session stands for the verification made when it
// was new, so the key holds everything that verification depended on (the authorities
// through the context, the name checked) and where it was made (the peer's address).
struct SessionKey {
    uint64_t context = 0;
    std::string host;
    std::string peer;
    bool operator<(const SessionKey& o) const {
        return std::tie(context, host, peer) < std::tie(o.context, o.host, o.peer);
    }
};

struct SessionEntry {
    SSL_SESSION* session = nullptr;
    uint64_t serial = 0;  // when it was stored: the oldest goes first
};

constexpr size_t kMaxSessions = 64;

std::mutex& SessionMutex() {
    static std::mutex mutex;
    return mutex;
}

// Never destroyed, like the contexts.
std::map<SessionKey, SessionEntry>& Sessions() {
    static auto* sessions = new std::map<SessionKey, SessionEntry>;
    return *sessions;
}

uint64_t NextSerial() {
    static uint64_t serial = 0;
    return ++serial;
}

// Caller holds SessionMutex.
void EraseSession(std::map<SessionKey, SessionEntry>::iterator it) {
    SSL_SESSION_free(it->second.session);
    Sessions().erase(it);
}

void ForgetContextSessions(uint64_t context) {
    std::lock_guard lock(SessionMutex());
    auto& sessions = Sessions();
    for (auto it = sessions.begin(); it != sessions.end();) {
        auto next = std::next(it);
        if (it->first.context == context) EraseSession(it);
        it = next;
    }
}

// The ex_data slot where a context keeps its number (a freed context's address may come
// back for a new one; a number never does).
int ContextIdIndex() {
    static int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

uint64_t ContextId(SSL_CTX* ctx) {
    return static_cast<uint64_t>(
        reinterpret_cast<uintptr_t>(SSL_CTX_get_ex_data(ctx, ContextIdIndex())));
}

struct ContextEntry {
    SSL_CTX* ctx = nullptr;
    uint64_t id = 0;
};

SSL_CTX* Context(const std::string& caFile, std::string* failure) {
    static std::mutex mutex;
    static uint64_t lastId = 0;
    // Never destroyed: OpenSSL's own clean-up runs at exit before any static destructor
    // could free them.
    static auto* contexts = new std::map<ContextKey, ContextEntry>;
    ContextKey key{caFile};
    if (!caFile.empty()) {
        struct stat st {};
        if (::stat(caFile.c_str(), &st) != 0) {
            *failure = "the trusted authorities file " + caFile + " cannot be read (" +
                       std::strerror(errno) + ")";
            return nullptr;
        }
        key.mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        key.size = st.st_size;
    }
    std::lock_guard lock(mutex);
    if (auto it = contexts->find(key); it != contexts->end()) return it->second.ctx;
    // A changed file replaces its old context; sessions still using it hold a reference.
    // What the old authorities verified is no ground for resuming under the new ones.
    for (auto it = contexts->begin(); it != contexts->end();) {
        if (it->first.caFile == caFile) {
            ForgetContextSessions(it->second.id);
            SSL_CTX_free(it->second.ctx);
            it = contexts->erase(it);
        } else {
            ++it;
        }
    }
    ERR_clear_error();
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        *failure = OpenSslReason();
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    // Servers that hang up without the closing alert are common; the protocols above know
    // from their own framing whether what came is whole.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_default_verify_paths(ctx);
    if (!caFile.empty() && SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
        *failure = "the trusted authorities file " + caFile + " holds no usable certificate (" +
                   OpenSslReason() + ")";
        SSL_CTX_free(ctx);
        return nullptr;
    }
    const uint64_t id = ++lastId;
    SSL_CTX_set_ex_data(ctx, ContextIdIndex(), reinterpret_cast<void*>(static_cast<uintptr_t>(id)));
    // OpenSSL's own store looks sessions up by server-side ids only: ours is keyed by
    // server, and TLS 1.3 tickets come after the handshake, through the callback.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(ctx, TlsSessionCache::OnNew);
    (*contexts)[key] = ContextEntry{ctx, id};
    return ctx;
}

// The peer's address and port as text, empty when the socket cannot tell.
std::string PeerOf(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    char text[INET6_ADDRSTRLEN] = {};
    if (a.ss_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&a);
        if (!inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text)) return {};
        return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
    }
    if (a.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&a);
        if (!inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text)) return {};
        return "[" + std::string(text) + "%" + std::to_string(v6->sin6_scope_id) +
               "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    return {};
}

bool IsAddressLiteral(const std::string& host) {
    unsigned char buf[16];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

}  // namespace

int TlsSessionCache::OnNew(SSL* ssl, SSL_SESSION* session) {
    auto* tls = static_cast<TlsSession*>(SSL_get_app_data(ssl));
    // Only what a verified handshake made stands for a verification.
    if (!tls || tls->cachePeer_.empty() || SSL_get_verify_result(ssl) != X509_V_OK ||
        !SSL_SESSION_is_resumable(session))
        return 0;
    std::lock_guard lock(SessionMutex());
    auto& sessions = Sessions();
    SessionEntry& entry =
        sessions[SessionKey{tls->cacheContext_, tls->cacheHost_, tls->cachePeer_}];
    if (entry.session) SSL_SESSION_free(entry.session);
    entry = SessionEntry{session, NextSerial()};
    if (sessions.size() > kMaxSessions) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it)
            if (it->second.serial < oldest->second.serial) oldest = it;
        EraseSession(oldest);
    }
    return 1;
}

void TlsSessionCache::Offer(TlsSession* tls) {
    if (tls->cachePeer_.empty()) return;
    std::lock_guard lock(SessionMutex());
    auto& sessions = Sessions();
    auto it = sessions.find(SessionKey{tls->cacheContext_, tls->cacheHost_, tls->cachePeer_});
    if (it == sessions.end()) return;
    // OpenSSL marks a session of a connection that broke as not to be resumed.
    if (!SSL_SESSION_is_resumable(it->second.session) ||
        SSL_set_session(tls->ssl_, it->second.session) != 1) {
        EraseSession(it);
        return;
    }
    tls->offered_ = it->second.serial;
}

void TlsSessionCache::Drop(TlsSession* tls) {
    if (tls->offered_ == 0) return;
    std::lock_guard lock(SessionMutex());
    auto& sessions = Sessions();
    auto it = sessions.find(SessionKey{tls->cacheContext_, tls->cacheHost_, tls->cachePeer_});
    // A newer session of the same server, from this handshake or another, stays.
    if (it != sessions.end() && it->second.serial == tls->offered_) EraseSession(it);
    tls->offered_ = 0;
}

std::unique_ptr<TlsSession> TlsSession::Begin(int fd, const std::string& hostName,
                                              const std::string& caFile, std::string* failure) {
    SSL_CTX* ctx = Context(caFile, failure);
    if (!ctx) return nullptr;
    std::unique_ptr<TlsSession> session(new TlsSession);
    session->ssl_ = SSL_new(ctx);
    BIO* bio = session->ssl_ ? BIO_new(SocketMethod()) : nullptr;
    if (!bio) {
        *failure = OpenSslReason();
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(session->ssl_, bio, bio);
    std::string host = hostName;
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    X509_VERIFY_PARAM* param = SSL_get0_param(session->ssl_);
    bool ok;
    if (IsAddressLiteral(host)) {
        ok = X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1;
    } else {
        X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = SSL_set1_host(session->ssl_, host.c_str()) == 1 &&
             SSL_set_tlsext_host_name(session->ssl_, host.c_str()) == 1;
    }
    if (!ok) {
        *failure = "the server name " + host + " cannot be checked";
        return nullptr;
    }
    SSL_set_app_data(session->ssl_, session.get());
    session->cacheContext_ = ContextId(ctx);
    session->cacheHost_ = host;
    session->cachePeer_ = PeerOf(fd);
    TlsSessionCache::Offer(session.get());
    SSL_set_connect_state(session->ssl_);
    return session;
}

TlsSession::~TlsSession() {
    if (ssl_) SSL_free(ssl_);
}

TlsSession::Wait TlsSession::Judge(int rc) {
    const int savedErrno = errno;
    int error = SSL_get_error(ssl_, rc);
    systemError_ = 0;
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return Wait::kRead;
        case SSL_ERROR_WANT_WRITE:
            return Wait::kWrite;
        case SSL_ERROR_ZERO_RETURN:
            return Wait::kClosed;
        default:
            break;
    }
    long verify = SSL_get_verify_result(ssl_);
    if (!established_ && verify != X509_V_OK) {
        failure_ = X509_verify_cert_error_string(verify);
    } else if (std::string reason = OpenSslReason(); !reason.empty()) {
        failure_ = reason;
    } else if (error == SSL_ERROR_SYSCALL && savedErrno != 0) {
        failure_ = std::strerror(savedErrno);
        systemError_ = savedErrno;
    } else if (error == SSL_ERROR_SYSCALL || (!established_ && rc == 0)) {
        failure_ = "the server closed the connection";
    } else {
        failure_ = "error " + std::to_string(error);
    }
    return Wait::kFailed;
}

TlsSession::Wait TlsSession::Handshake() {
    ERR_clear_error();
    errno = 0;
    int rc = SSL_connect(ssl_);
    if (rc == 1) {
        // A resumed session carries the verdict of its first handshake, which must have
        // been a pass; nothing else may open the channel.
        if (long verify = SSL_get_verify_result(ssl_); verify != X509_V_OK) {
            TlsSessionCache::Drop(this);
            failure_ = X509_verify_cert_error_string(verify);
            systemError_ = 0;
            return Wait::kFailed;
        }
        if (!SSL_session_reused(ssl_)) TlsSessionCache::Drop(this);
        offered_ = 0;
        established_ = true;
        return Wait::kNone;
    }
    Wait wait = Judge(rc);
    if (wait == Wait::kFailed) TlsSessionCache::Drop(this);
    return wait;
}

bool TlsSession::resumed() const {
    return ssl_ && SSL_session_reused(ssl_) == 1;
}

int TlsSession::Read(char* buffer, int size, Wait* wait) {
    ERR_clear_error();
    errno = 0;
    int rc = SSL_read(ssl_, buffer, size);
    if (rc > 0) {
        *wait = Wait::kNone;
        return rc;
    }
    *wait = Judge(rc);
    return 0;
}

int TlsSession::Write(const char* data, int size, Wait* wait) {
    if (size <= 0) {
        *wait = Wait::kNone;
        return 0;
    }
    ERR_clear_error();
    errno = 0;
    int rc = SSL_write(ssl_, data, size);
    if (rc > 0) {
        *wait = Wait::kNone;
        return rc;
    }
    *wait = Judge(rc);
    return 0;
}

bool TlsSession::HasPending() const {
    return SSL_has_pending(ssl_) == 1;
}

void TlsSession::Shutdown() {
    if (!established_) return;
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

#include "net/Sntp.h"

#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "net/Connection.h"
#include "platform/SystemClock.h"

namespace {

constexpr size_t kPacket = 48;
// Seconds from 1900 (NTP's era 0) to 1970.
constexpr int64_t kNtpToUnix = 2208988800LL;

uint64_t GetBe64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

void PutBe64(uint8_t* p, uint64_t v) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

uint64_t RandomNonce() {
    uint64_t v = 0;
    if (::getrandom(&v, sizeof v, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof v)) {
        // Without the kernel's randomness the time itself still makes a nonce an
        // off-path sender must guess.
        v = static_cast<uint64_t>(SystemClock::Get().NowMs()) * 2654435761u ^
            static_cast<uint64_t>(::getpid());
    }
    return v == 0 ? 1 : v;  // 0 would match a server that sends no origin at all
}

}  // namespace

bool ParseNtpPacket(const uint8_t* data, size_t size, NtpAnswer* out) {
    if (size < kPacket) return false;
    out->leap = data[0] >> 6;
    out->version = (data[0] >> 3) & 7;
    out->mode = data[0] & 7;
    out->stratum = data[1];
    out->origin = GetBe64(data + 24);
    out->receive = GetBe64(data + 32);
    out->transmit = GetBe64(data + 40);
    return true;
}

int64_t NtpToUnixMs(uint64_t timestamp) {
    auto seconds = static_cast<int64_t>(timestamp >> 32);
    // A top bit of 0 is the era from 7 February 2036 on.
    if ((seconds & 0x80000000LL) == 0) seconds += 0x100000000LL;
    auto fractionMs = static_cast<int64_t>(((timestamp & 0xFFFFFFFFu) * 1000) >> 32);
    return (seconds - kNtpToUnix) * 1000 + fractionMs;
}

CSntp::CSntp() = default;

CSntp::~CSntp() {
    if (lookupHandle_) Resolver::Get().Cancel(lookupHandle_);
    CloseSocket();
}

uint32_t CSntp::Query(const std::string& host, int port, int attempts, int attemptMs) {
    if (busy_) return kSntpBusy;
    host_ = host;
    port_ = port > 0 && port < 65536 ? port : kNtpPort;
    attemptsLeft_ = attempts > 0 ? attempts : 1;
    attemptMs_ = attemptMs > 0 ? attemptMs : 5000;
    lastError_ = 0;
    answer_ = {};
    offsetMs_ = 0;
    addresses_.clear();
    address_ = 0;
    if (host.empty()) return static_cast<uint32_t>(WSAHOST_NOT_FOUND);
    busy_ = true;
    // The whole lookup gets the time of one attempt; a name server that never answers
    // cannot hold the run.
    SetTimer(kSntpTimer, attemptMs_);
    if (auto literal = SocketAddress::FromLiteral(host)) {
        Resolved(0, {*literal});
        return 0;
    }
    lookupHandle_ = Resolver::Get().Lookup(host, [this](int error, std::vector<SocketAddress> a) {
        lookupHandle_ = 0;
        Resolved(error, std::move(a));
    });
    if (lookupHandle_ == 0) {
        busy_ = false;
        KillTimer(kSntpTimer);
        return static_cast<uint32_t>(WSAENOBUFS);
    }
    return 0;
}

void CSntp::Resolved(int error, std::vector<SocketAddress> addresses) {
    if (!busy_) return;
    if (error != 0 || addresses.empty()) {
        Finish(static_cast<uint32_t>(error != 0 ? error : WSAHOST_NOT_FOUND));
        return;
    }
    addresses_ = std::move(addresses);
    for (auto& a : addresses_) a.SetPort(static_cast<uint16_t>(port_));
    address_ = 0;
    if (!SendRequest()) Finish(kSntpSendFailed);
}

bool CSntp::SendRequest() {
    --attemptsLeft_;
    for (; address_ < addresses_.size(); ++address_, CloseSocket()) {
        const SocketAddress& to = addresses_[address_];
        if (fd_ < 0) {
            fd_ = ::socket(to.family(), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd_ < 0) {
                lastError_ = errno;
                continue;
            }
            // Connected, the socket takes datagrams from this server only, and an ICMP
            // refusal comes back as an error instead of silence.
            if (::connect(fd_, reinterpret_cast<const sockaddr*>(&to.storage), to.length) != 0) {
                lastError_ = errno;
                continue;
            }
            notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
            QObject::connect(notifier_.get(), &QSocketNotifier::activated, this,
                             [this] { OnReadable(); });
        }
        uint8_t packet[kPacket] = {};
        packet[0] = (0 << 6) | (4 << 3) | 3;  // no leap warning, version 4, client
        nonce_ = RandomNonce();
        PutBe64(packet + 40, nonce_);
        sentMs_ = SystemClock::Get().NowMs();
        if (::send(fd_, packet, sizeof packet, 0) == static_cast<ssize_t>(sizeof packet)) {
            SetTimer(kSntpTimer, attemptMs_);
            return true;
        }
        lastError_ = errno;
    }
    return false;
}

void CSntp::OnReadable() {
    if (!busy_ || fd_ < 0) return;
    // At most a few datagrams per event: a flood cannot keep the loop here.
    for (int i = 0; i < 16; ++i) {
        uint8_t buf[512];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // The server's host refused (no NTP service there): another address may serve.
            lastError_ = errno;
            int error = WinsockError(errno);
            ++address_;
            CloseSocket();
            ++attemptsLeft_;  // the refusal did not use up an attempt's wait
            if (!SendRequest()) Finish(static_cast<uint32_t>(error));
            return;
        }
        NtpAnswer a;
        // Anything but the answer to our own request (a late answer to an earlier attempt,
        // a forgery) is passed over; the attempt's timer still runs.
        if (!ParseNtpPacket(buf, static_cast<size_t>(n), &a) || a.origin != nonce_) continue;
        int64_t received = SystemClock::Get().NowMs();
        answer_ = a;
        int64_t t3 = NtpToUnixMs(a.transmit);
        int64_t t2 = a.receive != 0 ? NtpToUnixMs(a.receive) : t3;
        offsetMs_ = ((t2 - sentMs_) + (t3 - received)) / 2;
        Finish(0);
        return;
    }
}

void CSntp::OnTimer(UINT id) {
    if (id != kSntpTimer) return;
    KillTimer(kSntpTimer);
    if (!busy_) return;
    if (lookupHandle_) {
        Resolver::Get().Cancel(lookupHandle_);
        lookupHandle_ = 0;
        Finish(kLookupTimedOut);
        return;
    }
    if (attemptsLeft_ > 0 && SendRequest()) return;
    Finish(kSntpNoResponse);
}

void CSntp::Finish(uint32_t code) {
    KillTimer(kSntpTimer);
    CloseSocket();
    busy_ = false;
    if (owner_) owner_->PostMessage(WM_SNTP_DONE, static_cast<WPARAM>(code));
}

void CSntp::Abort() {
    if (lookupHandle_) Resolver::Get().Cancel(lookupHandle_);
    lookupHandle_ = 0;
    KillTimer(kSntpTimer);
    CloseSocket();
    busy_ = false;
}

void CSntp::CloseSocket() {
    notifier_.reset();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string CSntp::ServerName() const {
    std::string name = host_.find(':') != std::string::npos ? "[" + host_ + "]" : host_;
    return port_ == kNtpPort ? name : name + ":" + std::to_string(port_);
}

std::string CSntp::ErrorText(uint32_t code) const {
    const std::string server = ServerName();
    switch (code) {
        case WSAHOST_NOT_FOUND:
        case WSATRY_AGAIN:
        case WSANO_RECOVERY:
        case WSANO_DATA:
            return "The Internet address for " + host_ +
                   " could not be found.  Verify the server name and try again.";
        case kLookupTimedOut:
            return "The Internet address lookup for " + host_ + " timed out.";
        case kSntpNoResponse:
            return "The time server " + server +
                   " did not respond to our request, please try "
                   "again later.";
        case kSntpSendFailed:
            return "The request could not be sent to the time server " + server + ": " +
                   std::strerror(lastError_) + ".";
        case kSntpBusy:
            return "A request to the time server is already under way.";
        case WSAECONNREFUSED:
            return "The time server " + server +
                   " refused the request (no time service answers "
                   "on that port).";
        default:
            return "The time server " + server +
                   " could not be asked: " + std::strerror(lastError_ != 0 ? lastError_ : EIO) +
                   ".";
    }
}

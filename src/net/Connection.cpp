#include "net/Connection.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdio>

#include "settings/Settings.h"

CConnection::CConnection(const ClientTraits& traits)
    : traits_(traits), timerId_(traits.timerId), replyTimeout_(traits.defaultTimeout) {}

CConnection::~CConnection() {
    if (lookupHandle_) Resolver::Get().Cancel(lookupHandle_);
    StopTimer();
}

void CConnection::SetOwner(CWindow* owner) {
    owner_ = owner;
    SetState(kStateIdle);
    opMessage_ = 0;
    timerId_ = traits_.timerId;
    replyTimeout_ = traits_.defaultTimeout;
}

UINT CConnection::connectTimeout() const {
    // 0 is the default too: a zero wait would fail every connect before it could be made.
    DWORD stored = settings::ReadRootDword(settings::kTimeoutConnection, 0);
    return stored != 0 ? stored : kDefaultConnectTimeout;
}

void CConnection::StartTimer(UINT milliseconds) {
    if (!owner_) return;
    // The reply time-out measures silence only; a server that sends a byte now and then
    // must still meet the end of the request.
    int64_t wait = milliseconds;
    if (hasDeadline_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline_ - std::chrono::steady_clock::now())
                        .count();
        wait = std::clamp<int64_t>(left, 0, wait);
    }
    owner_->SetTimer(timerId_, static_cast<int>(std::min<int64_t>(wait, INT_MAX)));
}

void CConnection::RenewDeadline() {
    auto limit = limitOverride_;
    if (limit.count() <= 0) {
        uint32_t seconds =
            settings::ReadRootDword(settings::kRequestTimeLimit, kDefaultRequestTimeLimit);
        if (seconds == 0) seconds = kDefaultRequestTimeLimit;
        limit = std::chrono::seconds(seconds);
    }
    deadline_ = std::chrono::steady_clock::now() + limit;
    hasDeadline_ = true;
}

bool CConnection::PastDeadline() const {
    return hasDeadline_ && std::chrono::steady_clock::now() >= deadline_;
}

void CConnection::StopTimer() {
    if (owner_) owner_->KillTimer(timerId_);
    timerId_ = traits_.timerId;
}

void CConnection::PostResult(uint32_t code) {
    if (owner_ && opMessage_) owner_->PostMessage(opMessage_, Outcome(code), 0);
    opMessage_ = 0;
}

void CConnection::Fail(uint32_t code) {
    // The secure channel broke after its handshake (an alert, a forged record): the
    // client's own code tells it, with OpenSSL's reason.
    if (code == static_cast<uint32_t>(kSocketTlsFailed) && traits_.tlsFailedCode != 0) {
        tlsBroke_ = secured_;
        tlsReason_ = TlsFailure();
        if (tlsReason_.empty()) tlsReason_ = "the secure channel broke";
        code = traits_.tlsFailedCode;
    }
    StopTimer();
    SetState(kStateIdle);
    Close();
    PostResult(code);
}

std::string CConnection::WithServer(const char* pattern) const {
    std::string out;
    for (const char* p = pattern; *p; ++p) {
        if (p[0] == '%' && p[1] == 's') {
            out += serverName_;
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

uint32_t CConnection::ConnectSequence(const std::string& server, int port, UINT message,
                                      bool fresh) {
    if (opMessage_ != 0 || state_ != 0) return traits_.busyCode;
    // A stored 0 means the client's own default, like no value: a zero wait would end
    // every reply the moment it was awaited.
    DWORD stored = traits_.timeoutSetting ? settings::ReadRootDword(traits_.timeoutSetting, 0) : 0;
    replyTimeout_ = stored != 0 ? stored : traits_.defaultTimeout;
    if (fresh) {
        attemptsLeft_ = static_cast<int>(settings::ReadRootDword(settings::kConnectionAttempts, 3));
        serverName_ = server;
        RenewDeadline();
    }
    if (int rc = Create(); rc != 0) return static_cast<uint32_t>(rc);
    SetState(traits_.resolvingState);
    opMessage_ = message;
    port_ = port;

    securingConnect_ = false;
    tlsReason_.clear();
    secured_ = tlsBroke_ = false;
    auto literal = SocketAddress::FromLiteral(server);
    // "0.0.0.0" is no address to connect to; the resolver says what the system makes of it.
    if (literal && !(literal->family() == AF_INET && literal->ToString() == "0.0.0.0")) {
        ConnectStep(0, {*literal});
        return 0;
    }
    if (lookupHandle_) Resolver::Get().Cancel(lookupHandle_);
    lookupHandle_ =
        Resolver::Get().Lookup(server, [this](int error, std::vector<SocketAddress> addresses) {
            // The answer waits in the lookup buffer; the owner passes the message back.
            lookupError_ = error;
            lookupAddresses_ = std::move(addresses);
            if (owner_)
                owner_->PostMessage(traits_.lookupMessage, static_cast<WPARAM>(lookupHandle_),
                                    static_cast<LPARAM>(error) << 16);
        });
    if (lookupHandle_ == 0) {
        SetState(kStateIdle);
        opMessage_ = 0;
        Close();
        return WSAENOBUFS;
    }
    StartTimer(connectTimeout());
    return 0;
}

void CConnection::ResumeOnOpenConnection(const std::string& server, UINT message) {
    DWORD stored = traits_.timeoutSetting ? settings::ReadRootDword(traits_.timeoutSetting, 0) : 0;
    replyTimeout_ = stored != 0 ? stored : traits_.defaultTimeout;
    // One more attempt, on a connection of its own: a server may keep a connection and then
    // ignore what comes on it. The client's Reconnect decides whether the request may go
    // again (nothing of its answer came).
    attemptsLeft_ = 1;
    serverName_ = server;
    RenewDeadline();
    opMessage_ = message;
}

void CConnection::OnLookupDone(WPARAM wParam, LPARAM lParam) {
    // An answer to a lookup given up on (a retry or an abort started another) is stale.
    if (wParam != static_cast<WPARAM>(lookupHandle_) || lookupHandle_ == 0) return;
    lookupHandle_ = 0;
    ConnectStep(static_cast<int>((static_cast<uint64_t>(lParam) >> 16) & 0xFFFF),
                std::move(lookupAddresses_));
}

void CConnection::ConnectStep(int error, std::vector<SocketAddress> addresses) {
    if (state_ == 0) {
        opMessage_ = 0;
        attemptsLeft_ = -1;
        return;
    }
    StopTimer();
    if (error == 0 && addresses.empty()) error = WSANO_DATA;
    if (error != 0) {
        Fail(static_cast<uint32_t>(error));
        attemptsLeft_ = -1;
        return;
    }
    addresses_ = std::move(addresses);
    nextAddress_ = 0;
    TryNextAddress();
}

bool CConnection::TryNextAddress() {
    const uint16_t port = static_cast<uint16_t>(port_ ? port_ : traits_.defaultPort);
    int rc = WSAEADDRNOTAVAIL;
    while (nextAddress_ < addresses_.size()) {
        SocketAddress to = addresses_[nextAddress_++];
        to.SetPort(port);
        if (!IsOpen() || family() != to.family()) {
            if ((rc = Create(to.family())) != 0) continue;
        }
        SetState(kStateConnecting);
        if ((rc = Connect(to)) != 0) {
            // This family or address cannot be reached from here: the next one may be.
            Close();
            continue;
        }
        // A host that drops the connect request would otherwise be waited for as long as
        // the kernel keeps trying (minutes).
        StartTimer(connectTimeout());
        return true;
    }
    Fail(static_cast<uint32_t>(rc));
    attemptsLeft_ = -1;
    return false;
}

void CConnection::OnConnect(int error) {
    if (error != 0) {
        if (opMessage_ == 0) return;
        // Another address of the same name may answer: it is part of this attempt.
        if (nextAddress_ < addresses_.size() && !PastDeadline()) {
            StopTimer();
            Close();
            TryNextAddress();
            return;
        }
        RetryRule();
        return;
    }
    attemptsLeft_ = -1;
    if (tlsFromStart_) {
        // The handshake is part of connecting: the connection time-out covers it.
        securingConnect_ = true;
        if (BeginSecure(serverName_) != 0) return;
        StartTimer(connectTimeout());
        return;
    }
    StartTimer(replyTimeout_);
    OnConnected();
}

uint32_t CConnection::BeginSecure(const std::string& hostName) {
    std::string caFile;
    ReadRootPath(settings::kTlsCaFile, caFile);
    tlsReason_.clear();
    if (StartTls(hostName, caFile) != 0) {
        FailSecure();
        return traits_.tlsFailedCode;
    }
    return 0;
}

void CConnection::FailSecure() {
    tlsBroke_ = false;
    tlsReason_ = TlsFailure();
    if (tlsReason_.empty()) tlsReason_ = "the handshake could not begin";
    securingConnect_ = false;
    attemptsLeft_ = -1;
    // A certificate that is not trusted stays so on the next attempt: no retry.
    Fail(traits_.tlsFailedCode);
}

void CConnection::OnSecured(int error) {
    if (opMessage_ == 0 && state_ == kStateIdle) return;
    if (error != 0) {
        FailSecure();
        return;
    }
    secured_ = true;
    StartTimer(replyTimeout_);
    if (securingConnect_) {
        securingConnect_ = false;
        OnConnected();
        return;
    }
    OnSecure();
}

void CConnection::RetryRule() {
    UINT message = opMessage_;
    int state = state_;
    StopTimer();
    SetState(kStateIdle);
    opMessage_ = 0;
    Close();
    if (lookupHandle_) {
        Resolver::Get().Cancel(lookupHandle_);
        lookupHandle_ = 0;
    }
    int taken = attemptsLeft_--;
    // Past the overall limit no attempt is left, however many the settings allow.
    if (taken > 0 && !PastDeadline()) {
        uint32_t rc = Reconnect();
        if (rc == 0) return;
        opMessage_ = message;
        PostResult(rc);
        return;
    }
    opMessage_ = message;
    PostResult(state == traits_.resolvingState ? kLookupTimedOut : traits_.noResponseCode);
}

bool CConnection::OnTimer(UINT id) {
    if (id != timerId_) return false;
    if (opMessage_ == 0) {
        StopTimer();  // a tick left over from a finished operation
        return true;
    }
    // An address that swallows the connect (or its handshake) gives way to the next one.
    if (state_ == kStateConnecting && nextAddress_ < addresses_.size() && !PastDeadline()) {
        StopTimer();
        securingConnect_ = false;
        Close();
        TryNextAddress();
        return true;
    }
    RetryRule();
    return true;
}

void CConnection::Abort() {
    StopTimer();
    SetState(kStateIdle);
    opMessage_ = 0;
    hasDeadline_ = false;
    if (lookupHandle_) {
        Resolver::Get().Cancel(lookupHandle_);
        lookupHandle_ = 0;
    }
    Close();
}

bool CConnection::ProtocolText(uint32_t, std::string*) const {
    return false;
}

std::string CConnection::UnknownText(uint32_t) const {
    return "A unknown error occured.";
}

const std::string& CConnection::ErrorText(uint32_t code) {
    switch (code) {
        case 10014:
            errorText_ = "The nSockAddrLen argument is incorrect.";
            break;
        case 10024:
            errorText_ = "No more file descriptors are available.";
            break;
        case 10035:
            errorText_ =
                "The socket is marked as nonblocking and the connection cannot be completed "
                "immediately.";
            break;
        case 10036:
            errorText_ = "A blocking Windows Sockets call is in progress.";
            break;
        case 10038:
            errorText_ = "The descriptor is not a socket.";
            break;
        case 10039:
            errorText_ = "A destination address is required.";
            break;
        case 10047:
            errorText_ = "Addresses in the specified family cannot be used with this socket.";
            break;
        case 10048:
            errorText_ = "The specified address is already in use.";
            break;
        case 10049:
            errorText_ = "The specified address is not available from the local machine.";
            break;
        case 10050:
            errorText_ = "The network is down.";
            break;
        case 10055:
            errorText_ = "No buffer space is available. The socket cannot be connected.";
            break;
        case 10056:
            errorText_ = "The socket is already connected.";
            break;
        case 10061:
            errorText_ = "The attempt to connect was rejected.";
            break;
        case 10093:
            errorText_ = "A successful AfxSocketInit must occur before using this API.";
            break;
        case 11001:
        case 11002:
        case 11003:
        case 11004:
            errorText_ = WithServer(
                "The Internet address for %s could not be found.  Verify the server name and "
                "try again.");
            break;
        case 10022:
            errorText_ = traits_.textInvalid;
            break;
        case 10051:
        case 10065:
            errorText_ = traits_.textUnreachable;
            break;
        case 10060:
            errorText_ = WithServer(traits_.textTimedOut);
            break;
        case kLookupTimedOut:
            errorText_ = traits_.textLookupTimedOut;
            break;
        default:
            if (code == traits_.tlsFailedCode && code != 0)
                errorText_ = WithServer(tlsBroke_ ? traits_.textTlsBroken : traits_.textTlsFailed) +
                             ": " + tlsReason_ + ".";
            else if (code == traits_.busyCode)
                errorText_ = traits_.textBusy;
            else if (code == traits_.noResponseCode)
                errorText_ = WithServer(traits_.textNoResponse);
            else if (!ProtocolText(code, &errorText_))
                errorText_ = UnknownText(code);
    }
    // The sentence for these names neither the server nor what went wrong; a broken
    // connection is worth saying, and where.
    if (errorText_ == "A unknown error occured." && !serverName_.empty()) {
        if (code == 10053)
            errorText_ += WithServer("  The connection to %s was aborted.");
        else if (code == 10054)
            errorText_ += WithServer("  The server %s reset the connection.");
        else if (code == traits_.sendFailedCode && code != 0)
            errorText_ += WithServer("  A command could not be sent to %s.");
    }
    return errorText_;
}

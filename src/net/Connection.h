#pragma once

// What the protocol clients have in common: the connect sequence with name lookup,
// attempts and time-outs, the one timer on the owner window, the busy rule, Abort and the
// error sentences. Each client gives its own constants and texts and handles its protocol.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/Window.h"

// The name lookup timed out, in every client.
inline constexpr uint32_t kLookupTimedOut = 0x89000007;

// The longest one request may take when the settings name no limit, in seconds.
inline constexpr uint32_t kDefaultRequestTimeLimit = 600;

// What differs by client. Filled with designated initialisers, so that two texts or two
// numbers of the same type cannot trade places unnoticed.
struct ClientTraits {
    const char* timeoutSetting = nullptr;  // reply time-out value in the settings root
    UINT defaultTimeout = 0;               // ms, when that value is absent
    UINT timerId = 0;
    int defaultPort = 0;
    UINT lookupMessage = 0;
    int resolvingState = 0;
    uint32_t busyCode = 0;
    uint32_t noResponseCode = 0;
    uint32_t sendFailedCode = 0;  // a command could not be sent: the connection broke off
    // Sentences that differ by client ("%s" is the server name).
    const char* textInvalid = "";      // 10022
    const char* textUnreachable = "";  // 10051, 10065
    const char* textTimedOut = "";     // 10060
    const char* textBusy = "";
    const char* textNoResponse = "";
    const char* textLookupTimedOut = "";
    // The TLS handshake failed or the certificate was not trusted: the text says where,
    // OpenSSL's reason follows it.
    uint32_t tlsFailedCode = 0;
    const char* textTlsFailed = "";
    // The secure channel stood and then broke (an alert, a forged or cut record).
    const char* textTlsBroken = "The secure connection to %s was cut off after it was made";
};

// The states every client shares; each client numbers its own from 2 on (its resolving
// state is in its traits).
inline constexpr int kStateIdle = 0;
inline constexpr int kStateConnecting = 1;

class CConnection : public CAsyncSocket {
    Q_OBJECT
public:
    explicit CConnection(const ClientTraits& traits);
    ~CConnection() override;

    // Binds the client to its owner and resets it.
    void SetOwner(CWindow* owner);
    // The owner hands its lookup-finished message over unchanged.
    void OnLookupDone(WPARAM wParam, LPARAM lParam);
    // The owner hands over every timer tick; true when it was this client's.
    bool OnTimer(UINT id);
    // Stops whatever is going on, without a completion message.
    void Abort();
    // One sentence for a result code.
    const std::string& ErrorText(uint32_t code);

    int state() const { return state_; }
    UINT opMessage() const { return opMessage_; }
    int attemptsLeft() const { return attemptsLeft_; }
    UINT replyTimeout() const { return replyTimeout_; }
    // The connection time-out of the settings, in milliseconds (the default when unset or 0).
    UINT connectTimeout() const;
    static constexpr UINT kDefaultConnectTimeout = 30000;
    const std::string& serverName() const { return serverName_; }
    const std::string& replyText() const { return replyText_; }

    // Replaces the overall limit of the following requests (the settings count whole
    // seconds; tests need less). Zero goes back to the settings.
    void SetRequestTimeLimit(std::chrono::milliseconds limit) { limitOverride_ = limit; }

protected:
    // The connect sequence. fresh: a new connect (reads "ConnectionAttempts"), not a retry.
    // 0 when the connection is under way, else an error code (nothing is posted).
    uint32_t ConnectSequence(const std::string& server, int port, UINT message, bool fresh);
    // Starts an operation on the connection that already stands (one kept from the last
    // request): the reply time-out and the overall limit are read anew as for a connect.
    void ResumeOnOpenConnection(const std::string& server, UINT message);
    // Posts the operation's completion with code and ends the operation.
    void PostResult(uint32_t code);
    // The code a completion carries: a client may have an earlier, truer outcome to tell
    // than the failure that ended its session.
    virtual uint32_t Outcome(uint32_t code) { return code; }
    // Each request of a standing session (a message retrieved, a message sent) gets the
    // whole overall limit of its own: a large mailbox is no single request.
    void RenewDeadline();
    // Starts the one timer; it never runs past the end of the request's overall limit.
    void StartTimer(UINT milliseconds);
    void StopTimer();
    // The retry rule: another attempt while any are left, else the failure is reported.
    void RetryRule();
    // Starts the same connection again after a failed attempt.
    virtual uint32_t Reconnect() = 0;
    // The connection stands (the reply timer runs); with TLS from the first byte, once the
    // handshake is over.
    virtual void OnConnected() = 0;
    // The following connects run TLS from the first byte (HTTPS, SMTP on 465).
    void SetTlsFromStart(bool on) { tlsFromStart_ = on; }
    bool tlsFromStart() const { return tlsFromStart_; }
    // Turns the standing connection secure for hostName (STARTTLS, a tunnel through a
    // proxy): 0 and OnSecure follows, or a failure that has already ended the operation.
    uint32_t BeginSecure(const std::string& hostName);
    // The connection turned secure by BeginSecure; the reply timer runs again.
    virtual void OnSecure() {}
    // A client's own codes; false when code is not one of them.
    virtual bool ProtocolText(uint32_t code, std::string* text) const;
    // The sentence for a code no table lists.
    virtual std::string UnknownText(uint32_t code) const;

    // The code of a send that failed (sent is what Send returned): a secure channel that
    // broke says so with its reason, anything else is the client's own send failure.
    uint32_t SendFailure(int sent, uint32_t code) const {
        return sent < 0 && LastError() == kSocketTlsFailed ? static_cast<uint32_t>(kSocketTlsFailed)
                                                           : code;
    }
    // Ends the operation in failure: the timer stops, the socket closes, the client is idle
    // and the completion (if an operation runs) carries code.
    void Fail(uint32_t code);

    void OnConnect(int error) override;
    void OnSecured(int error) override;

    // "%s" in pattern filled with the server name.
    std::string WithServer(const char* pattern) const;

    // Every change of state goes through here.
    void SetState(int state) { state_ = state; }
    // The operation in progress; 0 ends it without a completion.
    void SetOpMessage(UINT message) { opMessage_ = message; }
    void SetServerName(const std::string& name) { serverName_ = name; }
    void SetReplyText(std::string text) { replyText_ = std::move(text); }
    const ClientTraits& traits() const { return traits_; }
    CWindow* owner() const { return owner_; }
    int port() const { return port_; }

private:
    const ClientTraits& traits_;
    CWindow* owner_ = nullptr;
    int state_ = kStateIdle;
    UINT opMessage_ = 0;
    UINT timerId_;
    UINT replyTimeout_;
    int attemptsLeft_ = -1;
    std::string serverName_;
    int port_ = 0;
    std::string replyText_;

    void ConnectStep(int error, std::vector<SocketAddress> addresses);
    // The next address of the lookup's answer; false when none is left.
    bool TryNextAddress();
    bool PastDeadline() const;
    void FailSecure();

    // A request ends here, however the server drips its answer; set by a fresh connect.
    std::chrono::steady_clock::time_point deadline_{};
    bool hasDeadline_ = false;
    std::chrono::milliseconds limitOverride_{0};

    uint64_t lookupHandle_ = 0;
    std::vector<SocketAddress> lookupAddresses_;
    int lookupError_ = 0;
    std::string errorText_;

    // The addresses of this attempt, tried in turn; the next one to try.
    std::vector<SocketAddress> addresses_;
    size_t nextAddress_ = 0;

    bool tlsFromStart_ = false;
    bool securingConnect_ = false;  // the handshake after the connect is under way
    std::string tlsReason_;
    bool secured_ = false;   // the handshake of this connection has succeeded
    bool tlsBroke_ = false;  // the last TLS failure came after the handshake
};

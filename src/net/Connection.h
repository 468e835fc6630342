#pragma once

// What the protocol clients have in common: the connect sequence with name lookup,
// attempts and time-outs, the one timer on the owner window, the busy rule, Abort and the
// error sentences. Each client gives its own constants and texts and handles its protocol.

#include <chrono>
#include <cstdint>
#include <string>

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
    // Sentences that differ by client ("%s" is the server name).
    const char* textInvalid = "";      // 10022
    const char* textUnreachable = "";  // 10051, 10065
    const char* textTimedOut = "";     // 10060
    const char* textBusy = "";
    const char* textNoResponse = "";
    const char* textLookupTimedOut = "";
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
    const std::string& serverName() const { return serverName_; }
    const std::string& replyText() const { return replyText_; }

    // Replaces the overall limit of the following requests (the settings count whole
    // seconds; tests need less). Zero goes back to the settings.
    void SetRequestTimeLimit(std::chrono::milliseconds limit) { limitOverride_ = limit; }

protected:
    // The connect sequence. fresh: a new connect (reads "ConnectionAttempts"), not a retry.
    // 0 when the connection is under way, else an error code (nothing is posted).
    uint32_t ConnectSequence(const std::string& server, int port, UINT message, bool fresh);
    // Posts the operation's completion with code and ends the operation.
    void PostResult(uint32_t code);
    // The code a completion carries: a client may have an earlier, truer outcome to tell
    // than the failure that ended its session.
    virtual uint32_t Outcome(uint32_t code) { return code; }
    // Starts the one timer; it never runs past the end of the request's overall limit.
    void StartTimer(UINT milliseconds);
    void StopTimer();
    // The retry rule: another attempt while any are left, else the failure is reported.
    void RetryRule();
    // Starts the same connection again after a failed attempt.
    virtual uint32_t Reconnect() = 0;
    // The connection stands (the reply timer runs).
    virtual void OnConnected() = 0;
    // A client's own codes; false when code is not one of them.
    virtual bool ProtocolText(uint32_t code, std::string* text) const;
    // The sentence for a code no table lists.
    virtual std::string UnknownText(uint32_t code) const;

    // Ends the operation in failure: the timer stops, the socket closes, the client is idle
    // and the completion (if an operation runs) carries code.
    void Fail(uint32_t code);

    void OnConnect(int error) override;

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

    void ConnectStep(int error, in_addr address);
    bool PastDeadline() const;

    // A request ends here, however the server drips its answer; set by a fresh connect.
    std::chrono::steady_clock::time_point deadline_{};
    bool hasDeadline_ = false;
    std::chrono::milliseconds limitOverride_{0};

    uint64_t lookupHandle_ = 0;
    in_addr lookupAddress_{};
    int lookupError_ = 0;
    std::string errorText_;
};

#pragma once

// Asks an NTP server for the time with one SNTP request (RFC 4330) over UDP, on the event
// loop: a name lookup, one datagram out, the matching answer in, or a time-out. The owner
// receives one completion message; after a completion with 0 the answer's fields and the
// measured offset of the local clock are here to judge.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/AsyncSocket.h"
#include "platform/Window.h"

class QSocketNotifier;

inline constexpr UINT WM_SNTP_DONE = WM_USER + 0x60;  // 0x0460, wParam: the result code
inline constexpr UINT kSntpTimer = 1;
inline constexpr int kNtpPort = 123;

// Our own codes. No answer to any attempt in time; the server could not be asked (the
// request could not be sent to any of its addresses).
inline constexpr uint32_t kSntpNoResponse = 0x8A000001;
inline constexpr uint32_t kSntpSendFailed = 0x8A000002;
inline constexpr uint32_t kSntpBusy = 0x8A000003;

// The fields of an NTP answer that decide whether it can be trusted.
struct NtpAnswer {
    int leap = 0;  // 3: the server's clock is not synchronised
    int version = 0;
    int mode = 0;     // 4: a server's answer
    int stratum = 0;  // 0: kiss-o'-death; 1 to 15: synchronised; 16 and up: not
    uint64_t origin = 0, receive = 0, transmit = 0;  // NTP timestamps as sent
};

// Reads the 48-byte header of an NTP packet; false when size is too short.
bool ParseNtpPacket(const uint8_t* data, size_t size, NtpAnswer* out);
// Milliseconds since 1970 of an NTP timestamp; the era is taken as RFC 4330 tells (a top
// bit of 0 means the era that begins in 2036).
int64_t NtpToUnixMs(uint64_t timestamp);

class CSntp : public CWindow {
    Q_OBJECT
public:
    CSntp();
    ~CSntp() override;

    void SetOwner(CWindow* owner) { owner_ = owner; }
    // Starts a request to host (a name or a literal address) and port. attempts datagrams
    // are sent, each waiting attemptMs for its answer. 0 when under way (WM_SNTP_DONE
    // follows), else an error code and nothing follows.
    uint32_t Query(const std::string& host, int port, int attempts = 3, int attemptMs = 5000);
    // Stops whatever is going on, without a completion.
    void Abort();
    bool busy() const { return busy_; }
    // One sentence for a result code.
    std::string ErrorText(uint32_t code) const;

    // After a completion with 0: the answer, and how far the server's clock is ahead of the
    // local one (negative: behind), in milliseconds.
    const NtpAnswer& answer() const { return answer_; }
    int64_t offsetMs() const { return offsetMs_; }
    const std::string& host() const { return host_; }
    // The server as the texts name it: the host, and the port when it is not NTP's own.
    std::string ServerName() const;

protected:
    void OnTimer(UINT id) override;

private:
    void Resolved(int error, std::vector<SocketAddress> addresses);
    // Sends the request to the current address, going on to the next ones while that
    // fails; false when no address is left.
    bool SendRequest();
    void OnReadable();
    void Finish(uint32_t code);
    void CloseSocket();

    CWindow* owner_ = nullptr;
    bool busy_ = false;
    std::string host_;
    int port_ = kNtpPort;
    int attemptsLeft_ = 0;
    int attemptMs_ = 5000;
    uint64_t lookupHandle_ = 0;
    std::vector<SocketAddress> addresses_;
    size_t address_ = 0;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    int lastError_ = 0;
    // What the last request carried as its transmit time (a random number, so that only
    // the server that received it can answer it) and when, by the local clock, it left.
    uint64_t nonce_ = 0;
    int64_t sentMs_ = 0;
    NtpAnswer answer_;
    int64_t offsetMs_ = 0;
};

#pragma once

// Sends ready-made messages to an SMTP server: one session, the sender set once, then any
// number of messages with one recipient each, then QUIT. A message is a file that already
// holds the text as DATA expects it, ending with the line ".".

#include <cstdint>
#include <string>

#include "net/LineProtocol.h"

inline constexpr UINT WM_SMTP_READY = WM_USER + 17;   // 0x0411
inline constexpr UINT WM_SMTP_SENT = WM_USER + 18;    // 0x0412
inline constexpr UINT WM_SMTP_ENDED = WM_USER + 19;   // 0x0413
inline constexpr UINT WM_SMTP_LOOKUP = WM_USER + 20;  // 0x0414
inline constexpr UINT kSmtpTimer = 5;

inline constexpr uint32_t kSmtpRefused = 0x82000001;
inline constexpr uint32_t kSmtpBadSender = 0x82000002;
inline constexpr uint32_t kSmtpBadRecipient = 0x82000003;
inline constexpr uint32_t kSmtpNotSendable = 0x82000004;
inline constexpr uint32_t kSmtpFileUnreadable = 0x82000005;
inline constexpr uint32_t kSmtpBusy = 0x82000006;
inline constexpr uint32_t kSmtpSendFailed = 0x82000007;
inline constexpr uint32_t kSmtpNoResponse = 0x82000008;

// The most a reply may hold before it is judged; a server that says more is no server we
// can talk to, and whatever it sends must not grow the client's memory.
inline constexpr size_t kSmtpMaxReply = 64 * 1024;

class CSmtp : public CLineClient {
    Q_OBJECT
public:
    // The numbers are what state() reports; callers and stored tests read them.
    enum State : int {
        kIdle = kStateIdle,
        kConnecting = kStateConnecting,
        kGreeting = 2,
        kHeloSent = 3,
        kRsetSent = 5,
        kMailFromSent = 6,
        kReady = 7,  // a message can be sent
        kRcptSent = 8,
        kDataSent = 9,
        kSendingText = 10,
        kTextSent = 11,
        kQuitSent = 12,
        kResolving = 13,
    };

    CSmtp();

    // Opens the session; completion WM_SMTP_READY with 0 once a message can be sent.
    uint32_t Connect(const std::string& sender, const std::string& heloName,
                     const std::string& server, int port = 0);
    // Sends the message in the file to one recipient; completion WM_SMTP_SENT.
    uint32_t SendMail(const std::string& recipient, int messageFd);
    // Ends the session; completion WM_SMTP_ENDED.
    void Quit();

    // The three-digit code of the last reply judged (0 when none), so that a caller can
    // tell a refusal for good (5xx) from one for now (4xx).
    int replyCode() const { return replyCode_; }

signals:
    // Emitted the moment the server has accepted a message text, before the session goes
    // on: whatever happens to the session afterwards, that message has been sent. Connect
    // it directly (the default within one thread): a queued slot would run too late.
    void MessageAccepted();

protected:
    uint32_t Reconnect() override;
    void OnConnected() override;
    bool ProtocolText(uint32_t code, std::string* text) const override;
    size_t ReplyLength(std::string_view pending) const override;
    void OnReply(const std::string& reply) override;
    bool AwaitsReply() const override;
    bool SendsData() const override { return state() == kSendingText; }
    void OnReplyTooLong(const std::string& head) override;
    void OnSend(int error) override;

private:
    void SendText();
    // Keeps the code and text of a whole reply; returns its first character.
    char TakeReply(const std::string& reply);
    void RefuseAndReset(uint32_t code);
    uint32_t Outcome(uint32_t code) override;

    std::string sender_, heloName_;
    int messageFd_ = -1;  // the caller's file, not ours to close
    uint64_t sendOffset_ = 0;
    int replyCode_ = 0;
    // A refusal waiting for the RSET and MAIL FROM behind it, with the server's words.
    uint32_t refusal_ = 0;
    int refusalCode_ = 0;
    std::string refusalText_;
};

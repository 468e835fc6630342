#pragma once

// Sends ready-made messages to an SMTP server: one session, the sender set once, then any
// number of messages with one recipient each, then QUIT. A message is a file that already
// holds the text as DATA expects it, ending with the line ".".

#include <cstdint>
#include <functional>
#include <string>

#include "net/Connection.h"

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

class CSmtp : public CConnection {
    Q_OBJECT
public:
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
    // Called the moment the server has accepted a message text, before the session goes
    // on: whatever happens to the session afterwards, that message has been sent.
    void SetAcceptedHandler(std::function<void()> handler) { onAccepted_ = std::move(handler); }

protected:
    uint32_t Reconnect() override;
    void OnConnected() override;
    bool ProtocolText(uint32_t code, std::string* text) const override;
    void OnReceive(int error) override;
    void OnSend(int error) override;
    void OnClose(int error) override;

private:
    bool SendCommand(const std::string& command, int nextState);
    void SendText();
    void JudgeReply();
    // Takes the complete reply at the front of pending_: keeps its code and text, returns
    // its first character.
    char TakeReply(size_t end);
    // While the text goes out: a complete reply there ends the session. True when it did.
    bool RefuseIfAnswered();
    void Fail(uint32_t code);

    std::string sender_, heloName_;
    int messageFd_ = -1;
    uint64_t sendOffset_ = 0;
    std::string pending_;  // a reply until its last line is complete
    std::string commandBuffer_;
    int replyCode_ = 0;
    std::function<void()> onAccepted_;
};

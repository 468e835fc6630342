#pragma once

// Sends ready-made messages to an SMTP server: one session, the sender set once, then any
// number of messages with one recipient each, then QUIT. A message is a file that already
// holds the text as DATA expects it, ending with the line ".".

#include <cstdint>
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
    void Fail(uint32_t code);
    void StartConnectTimerIfConnecting();

    std::string sender_, heloName_;
    int messageFd_ = -1;
    uint64_t sendOffset_ = 0;
    std::string pending_;  // a reply until its last line is complete
    std::string commandBuffer_;
};

#pragma once

// Sends ready-made messages to an SMTP server: one session, the sender set once, then any
// number of messages with one recipient each, then QUIT. A message is a file that already
// holds the text as DATA expects it, ending with the line ".".
//
// The session can be secured (the root value SmtpSecurity: STARTTLS required, or TLS from
// the first byte on port 465) and can log in (SmtpUserName, SmtpPassword) with AUTH PLAIN
// or LOGIN. A login only ever goes over TLS: a user name without SmtpSecurity requires
// STARTTLS. Then the client greets with EHLO and reads the server's capabilities; what it
// requires and the server does not offer ends the session with an error, never with a
// fall-back to plain text. Without either, the session is the plain HELO one.

#include <cstdint>
#include <string>

#include "net/LineProtocol.h"
#include "platform/Registry.h"

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
// The TLS handshake failed or the certificate was not trusted (the text gives OpenSSL's
// reason).
inline constexpr uint32_t kSmtpTlsFailed = 0x82000009;
// The server refused the user name or password.
inline constexpr uint32_t kSmtpLoginRefused = 0x8200000A;
// What the settings require cannot be had: the server offers no STARTTLS or no login we
// can use, or the user name or password is too long to be sent.
inline constexpr uint32_t kSmtpNotSecurable = 0x8200000B;

// SmtpSecurity.
inline constexpr DWORD kSmtpPlain = 0;
inline constexpr DWORD kSmtpStartTls = 1;
inline constexpr DWORD kSmtpImplicitTls = 2;
inline constexpr int kSmtpsPort = 465;
// The longest SmtpUserName or SmtpPassword, in bytes: both fit in one AUTH PLAIN line.
inline constexpr size_t kSmtpMaxCredential = 255;

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
        // A secured session or one that logs in:
        kEhloSent = 14,
        kStartTlsSent = 15,
        kSecuring = 16,  // the TLS handshake after STARTTLS
        kAuthPlainSent = 17,
        kAuthLoginSent = 18,  // awaiting the prompt for the user name
        kAuthUserSent = 19,   // awaiting the prompt for the password
        kAuthPasswordSent = 20,
    };

    CSmtp();

    // Opens the session; completion WM_SMTP_READY with 0 once a message can be sent. The
    // security and login come from the settings; port 0 is 25, or 465 with TLS from the
    // first byte.
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
    void OnSecure() override;
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
    // The next step after a positive EHLO: STARTTLS, AUTH or the plain chain.
    void AfterEhlo(const std::string& reply);
    void StartSecuring();
    void SendLogin();
    // Ends the session because the server does not offer what is required.
    void FailNotSecurable(const char* why);

    enum class Security { Plain, StartTls, Implicit };
    Security security_ = Security::Plain;
    std::string user_, password_;
    bool extended_ = false;  // EHLO instead of HELO
    bool secured_ = false;   // STARTTLS has been done in this session
    // The server's capabilities from its last EHLO reply.
    bool offersStartTls_ = false, offersPlain_ = false, offersLogin_ = false;
    std::string notSecurable_;  // the text of kSmtpNotSecurable for this session

    std::string sender_, heloName_;
    int messageFd_ = -1;  // the caller's file, not ours to close
    uint64_t sendOffset_ = 0;
    int replyCode_ = 0;
    // A refusal waiting for the RSET and MAIL FROM behind it, with the server's words.
    uint32_t refusal_ = 0;
    int refusalCode_ = 0;
    std::string refusalText_;
};

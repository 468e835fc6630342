#pragma once

// Logs into one POP3 mailbox, learns how many messages it holds, retrieves messages (whole,
// or only their header) into the caller's files, learns their unique identifiers, deletes
// them and ends the session. Every operation returns at once and ends with one completion
// message to the owner; one operation runs at a time.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/LineProtocol.h"

inline constexpr UINT WM_POP3_LOGGED_IN = WM_USER + 1;  // 0x0401
inline constexpr UINT WM_POP3_RETRIEVED = WM_USER + 2;  // 0x0402
inline constexpr UINT WM_POP3_DELETED = WM_USER + 3;    // 0x0403
inline constexpr UINT WM_POP3_ENDED = WM_USER + 4;      // 0x0404
inline constexpr UINT WM_POP3_LOOKUP = WM_USER + 5;     // 0x0405
inline constexpr UINT WM_POP3_UIDL = WM_USER + 6;       // 0x0406: Uid and UidList
inline constexpr UINT WM_POP3_TOP = WM_USER + 7;        // 0x0407
inline constexpr UINT WM_POP3_CAPA = WM_USER + 8;       // 0x0408
inline constexpr UINT kPop3Timer = 4;

inline constexpr uint32_t kPop3BadUser = 0x81000001;
inline constexpr uint32_t kPop3BadPassword = 0x81000002;
inline constexpr uint32_t kPop3Said = 0x81000003;
inline constexpr uint32_t kPop3NotRetrievable = 0x81000004;
inline constexpr uint32_t kPop3Busy = 0x81000005;
inline constexpr uint32_t kPop3NoResponse = 0x81000006;
inline constexpr uint32_t kPop3SendFailed = 0x81000007;
// The handshake failed or the server's certificate is not trusted.
inline constexpr uint32_t kPop3TlsFailed = 0x81000008;
// A secure session was required and the server refused STLS.
inline constexpr uint32_t kPop3NoStls = 0x81000009;
// The user name or password holds a line break or a zero byte, or is too long for a
// command: it is never sent.
inline constexpr uint32_t kPop3BadLoginValue = 0x8100000A;
// CAPA, UIDL or TOP refused, or answered in a form that cannot be read; the session is
// still ready for the next command.
inline constexpr uint32_t kPop3Refused = 0x8100000B;
// A message or a list grew past its limit.
inline constexpr uint32_t kPop3TooLarge = 0x8100000C;
// The security setting is none of 0, 1 and 2.
inline constexpr uint32_t kPop3BadSecurity = 0x8100000D;

// How the session is secured (the PopSecurity value of a mail event).
enum class Pop3Security : uint32_t {
    kPlain = 0,         // the login goes in plain text
    kStls = 1,          // STLS before the login, or no login at all
    kTlsFromStart = 2,  // TLS from the first byte, port 995 unless another is named
};

// One line of a UIDL list ("3 XYZ\r\n"): false when it is no such line.
bool ParseUidLine(std::string_view line, int* number, std::string* uid);

class CPop3 : public CLineClient {
    Q_OBJECT
public:
    // The numbers are what state() reports; callers read them (5: logged in and ready).
    enum State : int {
        kIdle = kStateIdle,
        kConnecting = kStateConnecting,
        kGreeting = 2,
        kUserSent = 3,
        kPassSent = 4,
        kReady = 5,
        kRetrSent = 6,
        kReceiving = 7,  // a message, a header or a list arriving
        kDeleSent = 8,
        kQuitSent = 9,
        kStatSent = 10,
        kResolving = 11,
        kStlsSent = 12,
        kSecuring = 13,  // the handshake after STLS
        kCapaSent = 14,
        kUidlSent = 15,
        kTopSent = 16,
    };
    enum class Offer { kUnknown, kYes, kNo };

    CPop3();

    // Connects and logs in; completion WM_POP3_LOGGED_IN after STAT (messageCount() set).
    // 0 when under way, else an error at once (nothing is posted, nothing is sent).
    uint32_t Connect(const std::string& userName, const std::string& password,
                     const std::string& server, int port = 0,
                     Pop3Security security = Pop3Security::kPlain);
    // Retrieves message number into fd; completion WM_POP3_RETRIEVED. The file gets the
    // message as it was written: lines the server began with a doubled dot get their one
    // dot back, and the end line is not written. keepStuffing writes the lines as the server
    // sent them, with the end line (the form SMTP's DATA takes).
    uint32_t Retrieve(int number, int fd, bool keepStuffing = false);
    // Deletes message number; completion WM_POP3_DELETED (kPop3Said when the server
    // refuses, and the session stays ready).
    uint32_t Delete(int number);
    // The header of message number (TOP n 0) into fd, as Retrieve; completion WM_POP3_TOP.
    uint32_t Top(int number, int fd);
    // The unique identifier of message number (uid()); completion WM_POP3_UIDL.
    uint32_t Uid(int number);
    // The whole "number uid" list into fd, one line each; completion WM_POP3_UIDL.
    uint32_t UidList(int fd);
    // Asks what the server offers (offers()); completion WM_POP3_CAPA with 0 also when the
    // server does not know CAPA: then every offer stays unknown and a refused UIDL or TOP
    // tells.
    uint32_t Capabilities();
    // Ends the session: completion WM_POP3_ENDED with 0 once the server has answered +OK,
    // the only moment its deletions are done. Does nothing when idle.
    void Quit();

    int messageCount() const { return messageCount_; }
    const std::string& uid() const { return uid_; }
    Offer offersUidl() const { return uidl_; }
    Offer offersTop() const { return top_; }
    Offer offersStls() const { return stls_; }

protected:
    uint32_t Reconnect() override;
    void OnConnected() override;
    void OnSecure() override;
    bool ProtocolText(uint32_t code, std::string* text) const override;
    size_t ReplyLength(std::string_view pending) const override;
    void OnReply(const std::string& reply) override;
    bool AwaitsReply() const override;
    void OnClose(int error) override;

private:
    // Sends a command of the ready state; no completion when it cannot go.
    uint32_t Command(const std::string& command, int nextState, UINT message);
    void KeepReplyText(const std::string& reply);
    void SendUser();
    void TakeCapabilities(const std::string& reply);
    uint32_t Begin(const std::string& server, int port, bool fresh);

    std::string userName_, password_;
    Pop3Security security_ = Pop3Security::kPlain;
    int messageCount_ = 0;
    // The session broke while it waited between commands: deletions are undone, and the
    // Quit that comes next must say so.
    uint32_t lost_ = 0;
    int number_ = 0;  // the message of the running UIDL
    int fd_ = -1;     // the caller's file, not ours to close
    CDotStream::Options dataOptions_;
    std::string uid_;
    Offer uidl_ = Offer::kUnknown, top_ = Offer::kUnknown, stls_ = Offer::kUnknown;
};

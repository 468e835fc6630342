#pragma once

// Reads from a news server: the list of all groups, the selection of a group with its
// article numbers, the overview of a range of articles, and single articles' headers and
// bodies, walking the articles with STAT and NEXT. Every operation returns at once and ends
// with one completion message to the owner; one operation runs at a time.
//
// Multi-line replies (LIST, XOVER, HEAD, BODY) are streamed into the caller's file as the
// server sent them after the status line: doubled leading dots stay doubled and the closing
// "." line is written too, so lineCount() counts it. Readers of these files rely on that.

#include <cstdint>
#include <string>
#include <string_view>

#include "net/LineProtocol.h"

inline constexpr UINT WM_NNTP_CONNECTED = WM_USER + 49;  // 0x0431
inline constexpr UINT WM_NNTP_GROUP = WM_USER + 50;      // 0x0432
inline constexpr UINT WM_NNTP_STAT = WM_USER + 51;       // 0x0433
inline constexpr UINT WM_NNTP_HEAD = WM_USER + 52;       // 0x0434
inline constexpr UINT WM_NNTP_BODY = WM_USER + 53;       // 0x0435
inline constexpr UINT WM_NNTP_LIST = WM_USER + 55;       // 0x0437
inline constexpr UINT WM_NNTP_NEXT = WM_USER + 56;       // 0x0438
inline constexpr UINT WM_NNTP_QUIT = WM_USER + 57;       // 0x0439
inline constexpr UINT WM_NNTP_LOOKUP = WM_USER + 59;     // 0x043B
inline constexpr UINT WM_NNTP_XOVER = WM_USER + 60;      // 0x043C
inline constexpr UINT kNntpTimer = 6;

// The greeting or a GROUP reply was not positive (or a GROUP reply could not be read).
inline constexpr uint32_t kNntpSaid = 0x83000001;
inline constexpr uint32_t kNntpNoArticle = 0x83000002;  // STAT or NEXT refused
inline constexpr uint32_t kNntpLost = 0x83000003;       // HEAD, BODY, LIST or XOVER refused
inline constexpr uint32_t kNntpBusy = 0x83000004;
inline constexpr uint32_t kNntpNoResponse = 0x83000005;
// A command could not be handed to the socket, or there is no session to send it on.
inline constexpr uint32_t kNntpSendFailed = 0x83000006;
// The server asked for a login (480) and refused the one given, or none is configured.
inline constexpr uint32_t kNntpLoginRefused = 0x83000007;
// The handshake failed or the server's certificate is not trusted.
inline constexpr uint32_t kNntpTlsFailed = 0x83000008;
// A secure session was required and the server refused STARTTLS.
inline constexpr uint32_t kNntpNoStartTls = 0x83000009;
// A group name that holds a line break, a blank or a zero byte, or is too long for the
// command line: it is never sent, the session stays.
inline constexpr uint32_t kNntpBadGroupName = 0x8300000A;
// A list, overview or article grew past its limit.
inline constexpr uint32_t kNntpTooLarge = 0x8300000B;
// The configured user name or password cannot go into a command line.
inline constexpr uint32_t kNntpBadLoginValue = 0x8300000C;
// The server asked for a login on a session that is not secured: a user name and password
// are only ever sent over a secure connection.
inline constexpr uint32_t kNntpLoginNotSecure = 0x8300000D;

// NewsSecurity, as PopSecurity: plain, STARTTLS required, TLS from the first byte.
inline constexpr uint32_t kNntpPlain = 0;
inline constexpr uint32_t kNntpStartTls = 1;
inline constexpr uint32_t kNntpImplicitTls = 2;
inline constexpr int kNntpsPort = 563;

// One line of an overview (XOVER or OVER), without its line end. The fields are views into
// the line given to ParseOverviewLine, valid as long as it is.
struct OverviewLine {
    int number = 0;
    std::string_view subject, from, date, messageId, references;
    // The identifier between its first "<" and the last ">" behind it; the whole field,
    // trimmed, when it has no such pair.
    std::string_view id;
    long long bytes = -1, lines = -1;  // -1 when the server left the field empty or unreadable
};
// Splits an overview line at its tabs. False when it holds fewer than eight fields or its
// article number is not a positive number: such a line is no article to look at.
bool ParseOverviewLine(std::string_view line, OverviewLine* out);
// A message identifier as it is remembered and linked: the text between its first "<" and
// the last ">" behind it, or the whole trimmed text when it has no such pair.
std::string_view MessageIdCore(std::string_view text);

class CNntp : public CLineClient {
    Q_OBJECT
public:
    // The numbers are what state() reports (11: ready for the next command).
    enum State : int {
        kIdle = kStateIdle,
        kConnecting = kStateConnecting,
        kGreeting = 2,
        kGroupSent = 3,
        kStatSent = 4,
        kHeadSent = 5,
        kBodySent = 6,
        kListSent = 8,
        kQuitSent = 9,
        kReceiving = 10,  // a list, overview, header or body arriving
        kReady = 11,
        kNextSent = 12,
        kResolving = 14,
        kXoverSent = 15,
        // Our own.
        kOverSent = 16,  // the overview asked again with OVER after XOVER was refused
        kStartTlsSent = 17,
        kSecuring = 18,  // the handshake after STARTTLS
        kAuthUserSent = 19,
        kAuthPassSent = 20,
    };

    CNntp();

    // Connects to server ("host" or "host:port"; port 0 means 119, or 563 with TLS from the
    // first byte). The root values NewsSecurity, NewsUserName and NewsPassword are read
    // here. Completion WM_NNTP_CONNECTED with 0 when the server greeted positively (and the
    // session is secured when it must be). 0 when under way, else an error at once.
    uint32_t Connect(const std::string& server, int port = 0);
    // "LIST" into fd; completion WM_NNTP_LIST once the whole list is in the file.
    uint32_t List(int fd);
    // "GROUP name"; completion WM_NNTP_GROUP. Success sets articleCount(), firstArticle(),
    // lastArticle() and groupName(); a refusal or a reply whose numbers cannot be read sets
    // the numbers to 0 and keeps the session ready. A name that cannot be sent completes
    // with kNntpBadGroupName without a byte going out.
    uint32_t Group(const std::string& name);
    // The overview of first..last into fd; completion WM_NNTP_XOVER. A server that does not
    // know XOVER is asked with OVER, and OVER alone for the rest of the session.
    uint32_t XOver(int fd, int first, int last);
    // "STAT n"; completion WM_NNTP_STAT, currentArticle() the number the server confirmed.
    uint32_t Stat(int number);
    // "NEXT"; completion WM_NNTP_NEXT, currentArticle() the next article's number.
    uint32_t Next();
    // The header (and body) of currentArticle() into fd; WM_NNTP_HEAD (WM_NNTP_BODY).
    uint32_t Head(int fd);
    uint32_t Body(int fd);
    // Ends the session: completion WM_NNTP_QUIT with 0. Does nothing when idle; while an
    // operation runs it completes with kNntpBusy and the operation goes on.
    void Quit();

    // Lines of the running LIST, XOVER, HEAD or BODY received so far (the end line
    // included once it came); 0 from the moment the command goes, never the last one's.
    int lineCount() const;
    int currentArticle() const { return currentArticle_; }
    // The article HEAD and BODY address next: the walk goes on by number without a STAT.
    void SetCurrentArticle(int number) { currentArticle_ = number; }
    int articleCount() const { return articleCount_; }
    int firstArticle() const { return firstArticle_; }
    int lastArticle() const { return lastArticle_; }
    const std::string& groupName() const { return groupName_; }
    // The session asks for overviews with OVER (XOVER was refused).
    bool usesOver() const { return useOver_; }
    // The most bytes one list, overview or article may bring before it fails with
    // kNntpTooLarge; 0 goes back to the default (1 GiB).
    void SetTransferLimit(uint64_t bytes) { transferLimit_ = bytes; }

protected:
    uint32_t Reconnect() override;
    void OnConnected() override;
    void OnSecure() override;
    bool ProtocolText(uint32_t code, std::string* text) const override;
    void OnReply(const std::string& reply) override;
    bool AwaitsReply() const override;
    void OnClose(int error) override;

private:
    uint32_t Command(const std::string& command, int nextState, UINT message);
    uint32_t Transfer(const std::string& command, int nextState, UINT message, int fd);
    uint32_t Begin(const std::string& server, int port, bool fresh);
    void KeepReplyText(std::string_view reply);
    // A command answered with 480: log in and ask it again; with nothing to log in with, or
    // after a login already taken, the operation fails with kNntpLoginRefused.
    void LogIn();
    void Ready(uint32_t code);
    void OnGroupReply(const std::string& reply);
    void OnArticleReply(const std::string& reply);
    void OnAuthReply(const std::string& reply);

    uint32_t security_ = kNntpPlain;
    std::string userName_, password_;
    // Why the login cannot be given (the keyring did not give the password), or empty.
    std::string loginProblem_;
    bool loggedIn_ = false;
    bool useOver_ = false;
    // What a 480 interrupted, sent again once the login is accepted.
    std::string retryCommand_;
    int retryState_ = kIdle;

    int fd_ = -1;  // the caller's file, not ours to close
    int currentArticle_ = 0;
    int articleCount_ = 0, firstArticle_ = 0, lastArticle_ = 0;
    std::string groupName_;
    int overFirst_ = 0, overLast_ = 0;
    uint64_t transferLimit_ = 0;
};

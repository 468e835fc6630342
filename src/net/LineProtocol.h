#pragma once

// The layer the line protocols (SMTP now, POP3 and NNTP next) share on top of CConnection:
// a command goes out whole and names the state that awaits its reply; the bytes that come
// back are assembled into whole replies, bounded in size, and handed to the client one at a
// time; a reply that opens a dot-terminated block switches to a data mode that streams the
// block into the caller's file. A client only judges replies and picks the next command.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "net/Connection.h"

// Reads a dot-terminated block (the text of a mail, a list of groups, an article) as it
// arrives in pieces of any size, and writes it to a file: the leading dot that the peer
// doubled on a line is taken off again, the line of a single dot ends the block and is not
// written, and nothing is kept back but the two bytes after a line's leading dot.
class CDotStream {
public:
    struct Options {
        // Off: the block is written exactly as it came, its doubled dots and its end line
        // included, for readers of files that were stored in that form.
        bool undoStuffing = true;
        // The most bytes the block may bring before it is given up; a peer that never ends
        // it must not fill the disk.
        uint64_t maxBytes = 256u * 1024 * 1024;
    };
    enum class Result { More, End, WriteFailed, TooLarge };

    void Start(int fd, Options options);
    // Takes size bytes. At End, *used is how many of them belonged to the block (what
    // follows its end line is not the block's); otherwise all of them were taken.
    Result Feed(const char* data, size_t size, size_t* used);

    // Line feeds written so far (with the end line when it is written).
    int lineCount() const { return lineCount_; }
    uint64_t bytesIn() const { return bytesIn_; }
    // The system error of a failed write.
    int writeError() const { return writeError_; }

private:
    enum class At { LineStart, Dot, DotCr, InLine };
    bool Write(const std::string& out);

    int fd_ = -1;
    Options options_;
    At at_ = At::LineStart;
    int lineCount_ = 0;
    uint64_t bytesIn_ = 0;
    int writeError_ = 0;
};

// What differs between the line clients in the layer's own failures.
struct LineTraits {
    uint32_t sendFailedCode = 0;  // a command could not be handed to the socket whole
    uint32_t tooLongCode = 0;     // a reply grew past maxReply
    uint32_t tooLargeCode = 0;    // a dot-terminated block grew past its limit
    size_t maxReply = 64 * 1024;  // the most one reply may hold before it is judged
    size_t readSize = 1024;       // the most one read takes
};

// The longest command line, line end included; a longer one is never sent in part.
inline constexpr size_t kMaxCommandLine = 1024;

// What the line clients read and write alike.
namespace lineproto {

inline std::string_view TrimLineEnd(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.remove_suffix(1);
    return s;
}

// A value that goes into a command line must not end the line early or add one, and the
// whole line must fit.
inline bool Sendable(std::string_view verb, std::string_view value) {
    for (char c : value)
        if (c == '\r' || c == '\n' || c == '\0') return false;
    return verb.size() + 1 + value.size() + 2 <= kMaxCommandLine;
}

// A whole non-negative decimal number that fits its type; nothing else.
template <typename T>
bool ParseNumber(std::string_view text, T* out) {
    T value = 0;
    if (text.empty() || text.front() == '-' || text.front() == '+') return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return false;
    *out = value;
    return true;
}

}  // namespace lineproto

class CLineClient : public CConnection {
    Q_OBJECT
public:
    // The dot-terminated block in progress (or the last one): lines written so far.
    int lineCount() const { return dot_.lineCount(); }

protected:
    CLineClient(const ClientTraits& traits, const LineTraits& lineTraits);

    // Sends one command line whole and names the state that awaits its reply (the reply
    // timer starts). False when it could not go: the operation has then failed with
    // sendFailedCode (no completion when no operation runs).
    bool SendCommand(const std::string& command, int nextState);
    // The reply just handed over opened a dot-terminated block: it goes to fd until its end
    // line, then the state becomes doneState and the operation completes with 0.
    void StartData(int fd, CDotStream::Options options, int doneState);
    // Hands over every whole reply waiting, while the client wants them.
    void DeliverReplies();
    // Whether a whole reply waits.
    bool HasCompleteReply() const;
    // Forgets whatever part of a reply was received (a new session).
    void ClearReplies();
    const std::string& commandLine() const { return commandBuffer_; }

    // The length of the whole reply at the front of pending, 0 while it is still arriving.
    // One line by default; SMTP's replies run over lines whose code is followed by "-".
    virtual size_t ReplyLength(std::string_view pending) const;
    // A whole reply, line ends included.
    virtual void OnReply(const std::string& reply) = 0;
    // Whether the current state waits for a reply; bytes that come otherwise are dropped.
    virtual bool AwaitsReply() const { return opMessage() != 0; }
    // True while the client itself streams data out: then the timer watches the sending,
    // and a reply from the server is handed over at once (it can only be a refusal).
    virtual bool SendsData() const { return false; }
    // A reply past maxReply: the first kilobyte is kept as the server's words.
    virtual void OnReplyTooLong(const std::string& head);

    void OnReceive(int error) override;
    void OnClose(int error) override;
    // What one read brought (at most readSize bytes), as OnReceive hands it on: into the
    // block in progress, or onto the reply being assembled.
    void TakeReceived(const char* data, size_t size);

private:
    void TakeData(const char* data, size_t size);

    const LineTraits& lineTraits_;
    std::string pending_;  // a reply until it is whole (bounded by maxReply)
    std::string commandBuffer_;
    CDotStream dot_;
    bool inData_ = false;
    int dataDoneState_ = kStateIdle;
};

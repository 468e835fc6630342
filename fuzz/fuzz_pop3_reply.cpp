// The POP3 reply reader on any server text: the first byte picks the client's state and how
// a dot-terminated block is cut into reads; the rest is what the server sent. A whole reply
// is never longer than what came, a block streamed in pieces of any size ends where and as
// a block streamed in one piece does, and both match a plain reading of the lines.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "net/Inet.h"
#include "net/Pop3.h"

namespace {

class FuzzPop3 : public CPop3 {
public:
    void Drive(int state, std::string_view text) {
        SetState(state);
        SetOpMessage(WM_POP3_LOGGED_IN);
        size_t n = ReplyLength(text);
        if (n > text.size()) __builtin_trap();
        if (n != 0) OnReply(std::string(text.substr(0, n)));
        Abort();
    }
};

// The lines of a block up to its end line, each leading dot taken off once.
bool Reference(std::string_view in, std::string* out) {
    size_t start = 0;
    for (;;) {
        size_t nl = in.find('\n', start);
        if (nl == std::string_view::npos) return false;
        std::string_view line = in.substr(start, nl + 1 - start);
        if (line == ".\n" || line == ".\r\n") return true;
        if (!line.empty() && line[0] == '.') line.remove_prefix(1);
        out->append(line);
        start = nl + 1;
    }
}

std::string ReadBack(int fd) {
    std::string out;
    char buf[4096];
    off_t at = 0;
    for (ssize_t n; (n = pread(fd, buf, sizeof buf, at)) > 0; at += n) out.append(buf, size_t(n));
    return out;
}

// Feeds text in pieces of the given size; true when the end line came, with the bytes used.
bool Stream(int fd, std::string_view text, size_t piece, size_t* used) {
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) __builtin_trap();
    CDotStream dot;
    dot.Start(fd, CDotStream::Options{});
    *used = 0;
    while (*used < text.size()) {
        size_t take = std::min(piece, text.size() - *used), got = 0;
        auto result = dot.Feed(text.data() + *used, take, &got);
        if (got > take) __builtin_trap();
        *used += got;
        if (result == CDotStream::Result::End) return true;
        if (result != CDotStream::Result::More) __builtin_trap();
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const int kStates[] = {CPop3::kGreeting, CPop3::kUserSent, CPop3::kPassSent,
                                  CPop3::kStatSent, CPop3::kRetrSent, CPop3::kDeleSent,
                                  CPop3::kQuitSent, CPop3::kStlsSent, CPop3::kCapaSent,
                                  CPop3::kUidlSent, CPop3::kTopSent};
    const uint8_t pick = data[0];
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    static FuzzPop3 client;
    client.Drive(kStates[pick % (sizeof kStates / sizeof kStates[0])], text);
    if (client.messageCount() < 0) __builtin_trap();
    int number = 0;
    std::string uid;
    if (ParseUidLine(text, &number, &uid) && (number < 1 || uid.empty() || uid.size() > 70))
        __builtin_trap();
    std::string host;
    int port = -1;
    CInet::SplitHostPort(std::string(text.substr(0, 300)), &host, &port);
    if (port < 0 || port > 65535 || (port != 0 && host.empty())) __builtin_trap();

    static int whole = memfd_create("whole", 0), pieces = memfd_create("pieces", 0);
    if (whole < 0 || pieces < 0) return 0;
    size_t usedWhole = 0, usedPieces = 0;
    bool endWhole = Stream(whole, text, text.size() + 1, &usedWhole);
    bool endPieces = Stream(pieces, text, 1 + pick % 7, &usedPieces);
    std::string expected;
    bool endExpected = Reference(text, &expected);
    if (endWhole != endExpected || endPieces != endExpected) __builtin_trap();
    if (endExpected) {
        if (usedWhole != usedPieces) __builtin_trap();
        if (ReadBack(whole) != expected || ReadBack(pieces) != expected) __builtin_trap();
    }
    return 0;
}

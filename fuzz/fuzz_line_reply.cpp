// The reply assembly the SMTP, POP3 and NNTP clients share, fed as a server's reads would
// feed it. Byte 0 picks the client and the size of the reads, byte 1 the state the client
// waits in and whether a dot-terminated block is under way first, byte 2 how many times
// the rest (what the server sent) is repeated, to reach replies past the bound. In the
// recording mode the client only collects the replies handed over, so that the framing is
// checked alone: every reply is whole, they follow one another without a byte lost or
// added, what is left is no whole reply, and reads of any size cut the same replies. In the
// other mode the client judges each reply as it would from a live server.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "net/Nntp.h"
#include "net/Pop3.h"
#include "net/Smtp.h"

namespace {

constexpr size_t kMaxReply = 64 * 1024;  // what each of the three clients allows
constexpr size_t kLargestRead = 1020;    // no client reads more at once

template <class Client>
class Probe : public Client {
public:
    bool recordOnly = true;
    std::vector<std::string> replies;
    bool tooLong = false;

    void Begin(int state, UINT message, int blockFd) {
        this->SetState(state);
        this->SetOpMessage(message);
        if (blockFd >= 0) this->StartData(blockFd, CDotStream::Options{}, state);
    }
    void Feed(std::string_view text, size_t piece) {
        for (size_t at = 0; at < text.size() && this->state() != kStateIdle; at += piece)
            this->TakeReceived(text.data() + at, std::min(piece, text.size() - at));
    }
    size_t Length(std::string_view text) const { return this->ReplyLength(text); }
    bool Waits() const { return this->AwaitsReply(); }

protected:
    void OnReply(const std::string& reply) override {
        // Judged in the state it came in: the client's answer to it moves the state on.
        if (this->ReplyLength(reply) != reply.size()) __builtin_trap();
        replies.push_back(reply);
        if (!recordOnly) Client::OnReply(reply);
    }
    void OnReplyTooLong(const std::string& head) override {
        if (head.size() > 1024) __builtin_trap();
        tooLong = true;
        Client::OnReplyTooLong(head);
    }
};

// Where the block ends: the offset past its end line, or npos when it has none.
size_t BlockEnd(std::string_view in) {
    size_t start = 0;
    for (;;) {
        size_t nl = in.find('\n', start);
        if (nl == std::string_view::npos) return std::string_view::npos;
        std::string_view line = in.substr(start, nl + 1 - start);
        if (line == ".\n" || line == ".\r\n") return nl + 1;
        start = nl + 1;
    }
}

int BlockFile() {
    static int fd = memfd_create("block", 0);
    if (fd >= 0 && (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)) __builtin_trap();
    return fd;
}

template <class Client>
std::vector<std::string> Run(int state, UINT message, bool block, bool recordOnly,
                             std::string_view text, size_t piece, bool* tooLong) {
    Probe<Client> client;
    client.recordOnly = recordOnly;
    int fd = block ? BlockFile() : -1;
    client.Begin(state, message, fd);
    const bool waits = client.Waits();
    client.Feed(text, piece);
    *tooLong = client.tooLong;
    for (const std::string& r : client.replies) {
        // Each reply handed over is never past the bound.
        if (r.empty() || r.size() > kMaxReply) __builtin_trap();
    }
    if (!recordOnly || client.tooLong) return client.replies;

    std::string_view replies = text;
    if (block) {
        size_t end = BlockEnd(text);
        if (end == std::string_view::npos) {
            if (!client.replies.empty()) __builtin_trap();  // nothing of a block is a reply
            return client.replies;
        }
        replies.remove_prefix(end);
    } else if (!waits) {
        if (!client.replies.empty()) __builtin_trap();  // nobody asked: nothing handed over
        return client.replies;
    }
    if (!client.Waits()) return client.replies;
    std::string joined;
    for (const std::string& r : client.replies) joined += r;
    if (replies.substr(0, joined.size()) != joined) __builtin_trap();
    // What stays behind is still arriving.
    if (client.Length(replies.substr(joined.size())) != 0) __builtin_trap();
    return client.replies;
}

template <class Client>
void Drive(const int* states, size_t count, UINT message, uint8_t pickRead, uint8_t pickState,
           std::string_view text) {
    const int state = states[(pickState & 0x7F) % count];
    const bool block = pickState & 0x80;
    const bool recordOnly = !(pickRead & 0x80);
    // Reads of a few bytes over a reply near the bound cost a scan of it each; a server
    // that drips is met by the hostile-server tests, here the pieces stay large for speed.
    const size_t piece = text.size() > kMaxReply ? kLargestRead / (1 + (pickRead >> 2) % 8)
                                                 : 1 + (pickRead >> 2) % 31;
    bool tooLongWhole = false, tooLongPieces = false;
    auto whole = Run<Client>(state, message, block, recordOnly, text, kLargestRead, &tooLongWhole);
    auto pieces = Run<Client>(state, message, block, recordOnly, text, piece, &tooLongPieces);
    // Whatever the reads, the same replies; a judgement of length may differ only when a
    // reply comes near the bound, which a text shorter than the bound never does.
    if (recordOnly && !tooLongWhole && !tooLongPieces && whole != pieces) __builtin_trap();
    if (text.size() <= kMaxReply - kLargestRead && (tooLongWhole || tooLongPieces))
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    std::string_view sent(reinterpret_cast<const char*>(data + 3), size - 3);
    std::string text(sent);
    // A server that goes on and on: the same bytes again, up to well past the bound.
    if (data[2] >= 0xF0 && !sent.empty())
        while (text.size() < kMaxReply + 2 * kLargestRead) text += sent;

    static const int kSmtp[] = {
        CSmtp::kGreeting,     CSmtp::kHeloSent,        CSmtp::kEhloSent,      CSmtp::kRsetSent,
        CSmtp::kMailFromSent, CSmtp::kRcptSent,        CSmtp::kDataSent,      CSmtp::kTextSent,
        CSmtp::kQuitSent,     CSmtp::kStartTlsSent,    CSmtp::kAuthPlainSent, CSmtp::kAuthLoginSent,
        CSmtp::kAuthUserSent, CSmtp::kAuthPasswordSent};
    static const int kPop3[] = {CPop3::kGreeting, CPop3::kUserSent, CPop3::kPassSent,
                                CPop3::kStatSent, CPop3::kRetrSent, CPop3::kDeleSent,
                                CPop3::kQuitSent, CPop3::kStlsSent, CPop3::kCapaSent,
                                CPop3::kUidlSent, CPop3::kTopSent};
    static const int kNntp[] = {CNntp::kGreeting,    CNntp::kGroupSent,    CNntp::kStatSent,
                                CNntp::kNextSent,    CNntp::kHeadSent,     CNntp::kBodySent,
                                CNntp::kListSent,    CNntp::kXoverSent,    CNntp::kOverSent,
                                CNntp::kQuitSent,    CNntp::kStartTlsSent, CNntp::kAuthUserSent,
                                CNntp::kAuthPassSent};
    switch (data[0] & 3) {
        case 0:
        case 3:
            Drive<CSmtp>(kSmtp, std::size(kSmtp), WM_SMTP_READY, data[0], data[1], text);
            break;
        case 1:
            Drive<CPop3>(kPop3, std::size(kPop3), WM_POP3_LOGGED_IN, data[0], data[1], text);
            break;
        case 2:
            Drive<CNntp>(kNntp, std::size(kNntp), WM_NNTP_GROUP, data[0], data[1], text);
            break;
    }
    return 0;
}

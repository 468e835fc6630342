// The overview line reader and the news client's one-line replies on any server text. The
// first byte picks the client's state; the rest is what the server sent. An overview line
// is taken only with eight fields and a positive number, and its fields are pieces of the
// line without tabs; a GROUP reply sets every number or none.
#include <cstdint>
#include <string>
#include <string_view>

#include "net/Nntp.h"

namespace {

class FuzzNntp : public CNntp {
public:
    void Drive(int state, std::string_view text) {
        SetState(state);
        SetOpMessage(WM_NNTP_GROUP);
        size_t nl = text.find('\n');
        if (nl != std::string_view::npos) OnReply(std::string(text.substr(0, nl + 1)));
        Abort();
    }
};

bool Within(std::string_view whole, std::string_view part) {
    return part.empty() || (part.data() >= whole.data() &&
                            part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static const int kStates[] = {CNntp::kGreeting, CNntp::kGroupSent,   CNntp::kStatSent,
                                  CNntp::kNextSent, CNntp::kHeadSent,    CNntp::kXoverSent,
                                  CNntp::kQuitSent, CNntp::kAuthUserSent};
    const uint8_t pick = data[0];
    std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    static FuzzNntp client;
    client.Drive(kStates[pick % (sizeof kStates / sizeof kStates[0])], text);
    int count = client.articleCount(), first = client.firstArticle(), last = client.lastArticle();
    if ((count != 0 || first != 0 || last != 0) && (text.empty() || text[0] != '2'))
        __builtin_trap();
    if (count < 0 || first < 0 || last < 0 || client.currentArticle() < 0) __builtin_trap();
    // Nothing is left standing for the next input.
    client.Drive(CNntp::kGroupSent, "411 none\r\n");
    if (client.articleCount() != 0 || client.lastArticle() != 0) __builtin_trap();

    OverviewLine o;
    size_t tabs = 0;
    for (char c : text) tabs += c == '\t';
    if (ParseOverviewLine(text, &o)) {
        if (o.number <= 0 || tabs < 7) __builtin_trap();
        for (std::string_view f : {o.subject, o.from, o.date, o.messageId, o.references})
            if (!Within(text, f) || f.find('\t') != std::string_view::npos) __builtin_trap();
        if (!Within(o.messageId, o.id)) __builtin_trap();
        if (o.bytes < -1 || o.lines < -1) __builtin_trap();
    }
    return 0;
}

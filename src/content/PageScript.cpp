#include "content/PageScript.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>

#include "content/HtmlScan.h"
#include "content/ScriptFormat.h"
#include "platform/AsciiText.h"
#include "platform/Utf8Text.h"

namespace {

using script::IsSpace;
using script::Trim;

using ascii::EqualsNoCase;

// A decimal number as strtol reads it (leading white space, a sign, digits, anything after
// ignored; 0 without digits), held to the 32-bit range the way a 32-bit strtol holds it.
// *used: how many characters were read (0 without digits).
int32_t ReadNumber(std::string_view text, size_t* used) {
    size_t i = 0;
    while (i < text.size() && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    size_t digits = i;
    int64_t value = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        value = std::min(kLimit, value * 10 + (text[i] - '0'));
        ++i;
    }
    if (i == digits) {
        *used = 0;
        return 0;
    }
    *used = i;
    if (negative) return static_cast<int32_t>(-value);  // -2147483648 at most
    return static_cast<int32_t>(std::min<int64_t>(value, kLimit - 1));
}

// The text between the first double quote and the last one (the line end when there is only
// one), cut to the longest text kept without splitting a UTF-8 character.
std::string QuotedText(std::string_view args) {
    size_t open = args.find('"');
    if (open == std::string_view::npos) return {};
    size_t close = args.rfind('"');
    std::string_view text =
        close > open ? args.substr(open + 1, close - open - 1) : args.substr(open + 1);
    text = text.substr(0, Utf8CutPoint(text, CPageScript::kMaxText));
    return std::string(text);
}

struct Keyword {
    const char* name;
    CPageScript::Op op;
};
constexpr Keyword kKeywords[] = {
    {"Begin", CPageScript::kBegin},       {"End", CPageScript::kEnd},
    {"HtmlTag", CPageScript::kHtmlTag},   {"Index", CPageScript::kIndex},
    {"Jump", CPageScript::kJump},         {"Link", CPageScript::kLink},
    {"Nop", CPageScript::kNop},           {"Repeat", CPageScript::kRepeat},
    {"Return", CPageScript::kReturn},     {"Scan", CPageScript::kScan},
    {"String", CPageScript::kString},     {"Submit", CPageScript::kSubmit},
    {"Title", CPageScript::kTitle},       {"Format", CPageScript::kFormat},
    {"Variable", CPageScript::kVariable},
};

bool TakesText(int32_t op) {
    switch (op) {
        case CPageScript::kHtmlTag:
        case CPageScript::kLink:
        case CPageScript::kScan:
        case CPageScript::kString:
        case CPageScript::kSubmit:
        case CPageScript::kVariable:
            return true;
        default:
            return false;
    }
}

bool TakesNumber(int32_t op) {
    return op == CPageScript::kJump || op == CPageScript::kRepeat || op == CPageScript::kFormat;
}

}  // namespace

bool CPageScript::Load(const std::string& path) {
    program_.clear();
    scanMemory_ = {};
    error_.clear();
    auto fail = [&](const std::string& why) {
        error_ = "The page script file " + path + " cannot be read: " + why + ".";
        return false;
    };
    // Not blocking on open: a named pipe with no writer must not hold the program.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fail(std::strerror(errno));
    struct FdCloser {
        int fd;
        ~FdCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode)) return fail(std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode)) return fail("it is not a regular file");
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            return fail(std::strerror(errno));
        }
        if (got == 0) break;
        if (static_cast<int64_t>(text.size()) + got > kMaxFileSize)
            return fail("it is larger than " + std::to_string(kMaxFileSize / (1024 * 1024)) +
                        " MB");
        text.append(buffer, static_cast<size_t>(got));
    }
    LoadText(text);
    return true;
}

void CPageScript::LoadText(std::string_view text) {
    program_.clear();
    scanMemory_ = {};
    error_.clear();
    size_t at = 0;
    while (at <= text.size()) {
        size_t eol = text.find('\n', at);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = Trim(text.substr(at, eol - at));
        at = eol + 1;
        if (line.empty()) continue;

        size_t gap = line.find_first_of(" \t");
        std::string_view keyword = line.substr(0, gap);
        std::string_view args =
            gap == std::string_view::npos ? std::string_view() : line.substr(gap);
        while (!args.empty() && IsSpace(args.front())) args.remove_prefix(1);

        Instruction ins;
        ins.op = kBegin;  // any other keyword ("Comment" among them) marks the start
        for (const auto& k : kKeywords)
            if (EqualsNoCase(keyword, k.name)) ins.op = k.op;
        size_t used = 0;
        ins.flags = ReadNumber(args, &used);
        std::string_view rest = args.substr(used);
        if (TakesText(ins.op)) ins.text = QuotedText(rest);
        if (TakesNumber(ins.op)) ins.number = ReadNumber(rest, &used);
        // A variable's line ends the code of the one before it.
        if (ins.op == kVariable) program_.push_back({kReturn, ins.flags, {}, 0});
        program_.push_back(std::move(ins));
    }
}

std::string CPageScript::Run(std::string_view page, std::string_view variable, int index,
                             int64_t* startOut, int64_t* endOut) {
    error_.clear();
    searches_ = 0;
    const int64_t length = static_cast<int64_t>(page.size());
    int64_t cursor = 0, start = 0, end = length, count = 1;
    bool reached = false, alternative = false;
    std::string value;
    enum class Ending { Page, Value, Empty, Stopped, Searched } ending = Ending::Page;
    const Instruction* last = nullptr;
    int64_t steps = 0;
    // Every instruction and every search is a step; a run that reaches the bound ends.
    auto step = [&] {
        if (++steps <= kMaxSteps) return true;
        ending = Ending::Stopped;
        return false;
    };
    auto search = [&] {
        ++searches_;
        return step();
    };
    // What a search walked through: the distance from where it began to where it ended
    // (or to the end of the page it searched towards, when it found nothing).
    int64_t searched = 0;
    auto walked = [&](int64_t bytes) {
        searched += std::max<int64_t>(bytes, 0);
        if (searched <= kMaxSearched) return true;
        ending = Ending::Searched;
        return false;
    };
    auto stopped = [&] { return ending == Ending::Stopped || ending == Ending::Searched; };
    size_t pageHash = 0;
    bool hashed = false;
    auto hashOfPage = [&] {
        if (!hashed) pageHash = std::hash<std::string_view>{}(page), hashed = true;
        return pageHash;
    };

    for (const Instruction& ins : program_) {
        if (!reached) {
            if (ins.op != kVariable || !EqualsNoCase(ins.text, variable)) continue;
            reached = true;
        }
        last = &ins;
        if (!step()) break;
        bool finished = false;  // the operation ended the run
        if (!(ins.flags & kFlagSkip)) {
            const bool exact = (ins.flags & kFlagExactCase) != 0;
            switch (ins.op) {
                case kBegin:
                    start = cursor;
                    break;
                case kEnd:
                    end = cursor;
                    break;
                case kIndex:
                    count = index;
                    break;
                case kRepeat:
                    count = ins.number;
                    break;
                case kHtmlTag: {
                    // The closing tag is looked for once, after the last opening tag: a
                    // page of opening tags with no closing one stays a single pass.
                    std::string name = ins.text;
                    for (char& c : name)
                        if (c == '<' || c == '>') c = ' ';
                    name = std::string(Trim(name));
                    bool found = false;
                    for (int64_t i = 0; i < count; ++i) {
                        if (!search()) break;
                        int64_t tag = html::FindTag(page, name, cursor);
                        size_t close = tag < 0 ? std::string_view::npos
                                               : page.find('>', static_cast<size_t>(tag));
                        if (!walked((close == std::string_view::npos
                                         ? length
                                         : static_cast<int64_t>(close) + 1) -
                                    cursor))
                            break;
                        if (close == std::string_view::npos) break;
                        cursor = static_cast<int64_t>(close) + 1;
                        found = true;
                    }
                    if (stopped()) break;
                    int64_t content = 0;
                    if (found) {
                        if (!search()) break;
                        int64_t closing = html::FindTag(page, "/" + name, cursor);
                        if (!walked((closing < 0 ? length : closing) - cursor)) break;
                        content = closing < 0 ? -1 : closing - cursor;
                    }
                    // Without a closing tag end lies before start: the run gives nothing
                    // unless a later instruction marks the part again.
                    start = cursor;
                    end = start + content;
                    cursor = std::max<int64_t>(end, 0);
                    break;
                }
                case kJump: {
                    if (count > 0) {
                        // All steps at once: the cursor moves one way only, so where it
                        // ends decides whether it passed either end of the page.
                        int64_t distance = static_cast<int64_t>(ins.number) * count;
                        if (ins.flags & kFlagJumpBack) distance = -distance;
                        int64_t moved = cursor + distance;
                        if (moved > length || moved < 0) {
                            ending = Ending::Empty;
                            finished = true;
                        } else {
                            cursor = moved;
                        }
                    }
                    count = 1;
                    break;
                }
                case kLink: {
                    for (int64_t i = 0; i < count; ++i) {
                        if (!search()) break;
                        int64_t before = cursor, linkStart = 0, linkEnd = 0;
                        std::string address;
                        bool found =
                            html::LinkByText(page, &cursor, ins.text, exact ? html::kExactCase : 0,
                                             &address, &linkStart, &linkEnd);
                        if (!walked((found ? cursor : length) - before) || !found) break;
                        value = std::move(address);
                        start = linkStart;
                        end = linkEnd;
                        if (cursor <= before) break;  // the same anchor again and again
                    }
                    if (!stopped()) ending = Ending::Value;
                    finished = true;
                    break;
                }
                case kScan: {
                    if (alternative) {
                        // An earlier alternative was found: this one is passed over.
                        alternative = (ins.flags & kFlagAlternative) != 0;
                        count = 1;
                        break;
                    }
                    const bool isAlternative = (ins.flags & kFlagAlternative) != 0;
                    const bool backward = (ins.flags & kFlagScanBack) != 0;
                    const std::string needle = html::UnescapeSearchText(ins.text);
                    const int64_t n = count;
                    const int64_t before = cursor;
                    int64_t remaining = n;
                    ScanMemory& memory = scanMemory_;
                    if (n >= 2 && memory.op == kScan && memory.text == ins.text &&
                        memory.flags == ins.flags && memory.before == cursor && memory.count <= n &&
                        memory.pageSize == page.size() && memory.pageHash == hashOfPage()) {
                        cursor = memory.after;
                        alternative = memory.alternative;
                        remaining = n - memory.count;
                    }
                    bool failed = false;
                    for (int64_t i = 0; i < remaining; ++i) {
                        if (!search()) break;
                        alternative = false;
                        int64_t at = html::TextSearch(page, cursor, needle, backward, exact);
                        if (!walked(backward ? cursor - std::max<int64_t>(at, 0)
                                             : (at < 0 ? length
                                                       : at + static_cast<int64_t>(needle.size())) -
                                                   cursor))
                            break;
                        if (at < 0) {
                            failed = !isAlternative;
                            break;
                        }
                        alternative = isAlternative;
                        int64_t moved = at;
                        if (!(ins.flags & kFlagScanAtStart))
                            moved += static_cast<int64_t>(needle.size());
                        // A search that does not move the cursor finds the same match every
                        // time: the rest of the count changes nothing.
                        if (moved == cursor) break;
                        cursor = moved;
                    }
                    if (stopped()) break;
                    if (failed) {
                        ending = Ending::Empty;
                        finished = true;
                        break;
                    }
                    if (n >= 2) {
                        memory.count = static_cast<int32_t>(std::min<int64_t>(n, INT32_MAX));
                        memory.op = kScan;
                        memory.text = ins.text;
                        memory.flags = ins.flags;
                        memory.before = before;
                        memory.after = cursor;
                        memory.alternative = alternative;
                        memory.pageSize = page.size();
                        memory.pageHash = hashOfPage();
                    }
                    count = 1;
                    break;
                }
                case kString:
                    value = ins.text;
                    ending = Ending::Value;
                    finished = true;
                    break;
                case kSubmit: {
                    if (!search()) break;
                    int64_t formStart = 0, formEnd = 0;
                    std::string submission;
                    bool found =
                        html::FormSubmission(page, cursor, ins.text,
                                             ins.flags & (html::kExactCase | html::kTrimSubmission),
                                             &submission, &formStart, &formEnd);
                    if (!walked((found ? formEnd : length) - cursor)) break;
                    if (found) {
                        value = std::move(submission);
                        start = formStart;
                        end = formEnd;
                    }
                    ending = Ending::Value;
                    finished = true;
                    break;
                }
                case kTitle: {
                    if (!search()) break;
                    int64_t titleStart = 0, titleEnd = 0;
                    std::string title;
                    if (html::Title(page, &title, &titleStart, &titleEnd)) {
                        value = std::move(title);
                        start = titleStart;
                        end = titleEnd;
                    }
                    ending = Ending::Value;
                    finished = true;
                    break;
                }
                case kFormat:
                    if (start >= 0 && start < end && end <= length) {
                        std::string text =
                            html::HtmlToText(page.substr(static_cast<size_t>(start),
                                                         static_cast<size_t>(end - start)),
                                             true);
                        value = script::FormatValue(Trim(text), ins.number);
                    }
                    ending = Ending::Value;
                    finished = true;
                    break;
                case kReturn:
                    finished = true;
                    break;
                default:  // Nop, Variable: only their flags count
                    break;
            }
        }
        if (stopped() || finished) break;
        if (ins.flags & (kFlagSkip | kFlagStop)) {
            if (start == 0)
                start = cursor;
            else if (ins.op != kBegin)
                end = cursor;
            break;
        }
    }

    std::string result;
    endedBy_ = last && ending != Ending::Page ? last->op : kReturn;
    if (!reached) {
        // A name written wrong is not the same as a page without the wanted part.
        error_ = "The page script has no variable named " + std::string(variable) + ".";
    } else if (ending == Ending::Stopped) {
        error_ = "The page script stopped after " + std::to_string(kMaxSteps) +
                 " steps without a result.";
    } else if (ending == Ending::Searched) {
        error_ = "The page script stopped after searching " +
                 std::to_string(kMaxSearched / (1024 * 1024)) + " MB of the page without a result.";
    } else if (reached && ending == Ending::Value) {
        result = std::move(value);
    } else if (reached && ending == Ending::Page && start >= 0 && start < end && end <= length) {
        // A part that is reversed, empty or reaches outside the page gives nothing.
        result =
            std::string(page.substr(static_cast<size_t>(start), static_cast<size_t>(end - start)));
    }
    if (!result.empty() && last && last->op != kBegin) {
        if (last->flags & kFlagToText) result = html::HtmlToText(result, false);
        if (last->flags & kFlagTrimStart) {
            size_t i = 0;
            while (i < result.size() && IsSpace(result[i])) ++i;
            result.erase(0, i);
        }
        if (last->flags & kFlagTrimEnd) {
            while (!result.empty() && IsSpace(result.back())) result.pop_back();
        }
    }
    // Whatever the script did with them, the caller gets a part inside the page.
    start = std::clamp<int64_t>(start, 0, length);
    end = std::clamp<int64_t>(end, start, length);
    if (startOut) *startOut = start;
    if (endOut) *endOut = end;
    return result;
}

#include "content/HtmlScan.h"

#include "content/HtmlTokenizer.h"
#include "platform/AsciiText.h"

#include <algorithm>
#include <vector>

namespace html {

namespace {

constexpr size_t npos = std::string_view::npos;

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}
// Blanks and control characters, which may stand between an attribute's name and "=".
bool IsBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}
using ascii::EqualsNoCase;
bool Equals(std::string_view a, std::string_view b, bool exactCase) {
    return exactCase ? a == b : EqualsNoCase(a, b);
}

std::string_view Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsSpace(s[b])) ++b;
    while (e > b && IsSpace(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Any cursor a caller may hold, negative or past the end, as a position in text.
size_t Clamp(std::string_view text, int64_t cursor) {
    if (cursor <= 0) return 0;
    if (static_cast<uint64_t>(cursor) >= text.size()) return text.size();
    return static_cast<size_t>(cursor);
}

int64_t Offset(size_t pos) {
    return pos == npos ? -1 : static_cast<int64_t>(pos);
}

// Remembers where the next ">" lies so that a search that tries candidate after candidate
// inside one long unclosed tag looks for it once, not once per candidate.
class GtFinder {
public:
    explicit GtFinder(std::string_view text) : text_(text) {}
    // The first ">" at or after from, or npos. No ">" lies between the last place looked
    // from and the one found, so that answer holds for every place in between.
    size_t From(size_t from) {
        if (known_ && from >= lookedFrom_ && (gt_ == npos || gt_ >= from)) return gt_;
        gt_ = text_.find('>', from);
        lookedFrom_ = from;
        known_ = true;
        return gt_;
    }

private:
    std::string_view text_;
    size_t gt_ = npos;
    size_t lookedFrom_ = 0;
    bool known_ = false;
};

// Where the next tag named name begins at or after from ("<", white space, the name in
// any case, then ">" or white space), or npos.
size_t FindTagAt(std::string_view text, std::string_view name, size_t from) {
    // When the name holds no "<" a failed comparison can resume where it failed, so no
    // byte is looked at more than twice whatever the page holds.
    const bool resumeAtMismatch = name.find('<') == npos;
    size_t pos = from;
    while (pos < text.size()) {
        size_t lt = text.find('<', pos);
        if (lt == npos) return npos;
        size_t p = lt + 1;
        while (p < text.size() && IsSpace(text[p])) ++p;
        size_t n = 0;
        while (n < name.size() && p + n < text.size() && Lower(text[p + n]) == Lower(name[n])) ++n;
        if (n == name.size() && p + n < text.size() && (text[p + n] == '>' || IsSpace(text[p + n])))
            return lt;
        pos = resumeAtMismatch ? std::max(lt + 1, p + n) : lt + 1;
    }
    return npos;
}

// One tag from its "<" up to and including its first ">", or to the end of the text.
std::string_view TagAt(std::string_view text, size_t lt, size_t gt) {
    return text.substr(lt, gt == npos ? npos : gt - lt + 1);
}

// A character that may be part of an attribute name: "value" is not found in "data-value".
bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == ':' || c == '.';
}

void AppendUtf8(std::string* out, uint32_t code) {
    if (code < 0x80) {
        out->push_back(static_cast<char>(code));
    } else if (code < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (code >> 6)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (code >> 12)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (code >> 18)));
        out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
}

// The characters that Windows Latin-1 puts at 128..159, where Unicode keeps control codes;
// pages that write "&#150;" mean the dash. Unassigned places keep their own code.
constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

constexpr uint32_t kReplacement = 0xFFFD;

uint32_t CodePointOfReference(uint32_t code) {
    if (code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return kReplacement;
    if (code >= 128 && code <= 159) return kWindows1252High[code - 128];
    return code;
}

struct Entity {
    std::string_view name;
    uint8_t code;
};

// Searched in this order, each name compared over its own length, so the first name that
// the text begins with wins ("&ltx" is "<" and "x").
constexpr Entity kEntities[] = {
    {"quot", 34},    {"amp", 38},     {"lt", 60},      {"gt", 62},      {"nbsp", 32},
    {"iexcl", 161},  {"cent", 162},   {"pound", 163},  {"curren", 164}, {"yen", 165},
    {"brvbar", 166}, {"brkbar", 166}, {"sect", 167},   {"um", 168},     {"die", 168},
    {"copy", 169},   {"ordf", 170},   {"laquo", 171},  {"not", 172},    {"shy", 173},
    {"reg", 174},    {"macr", 175},   {"hibar", 175},  {"deg", 176},    {"plusmn", 177},
    {"sup2", 178},   {"sup3", 179},   {"acute", 180},  {"micro", 181},  {"para", 182},
    {"middot", 183}, {"cedil", 184},  {"sup1", 185},   {"ordm", 186},   {"raquo", 187},
    {"frac14", 188}, {"frac12", 189}, {"frac34", 190}, {"iquest", 191}, {"times", 215},
    {"divide", 247}};
static_assert(std::size(kEntities) == 41);

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A failure table of needle compared through fold, for a search in linear time: a page
// and a needle made to defeat the naive search ("aaaa…" and "aa…ab") cost no more than
// any other.
template <typename Fold>
std::vector<size_t> FailureTable(std::string_view needle, Fold fold) {
    std::vector<size_t> fail(needle.size(), 0);
    size_t k = 0;
    for (size_t i = 1; i < needle.size(); ++i) {
        while (k > 0 && fold(needle[i]) != fold(needle[k])) k = fail[k - 1];
        if (fold(needle[i]) == fold(needle[k])) ++k;
        fail[i] = k;
    }
    return fail;
}

// Offset of the first occurrence of needle (not empty) in hay, or npos.
template <typename Fold>
size_t FindFirst(std::string_view hay, std::string_view needle, Fold fold) {
    if (needle.size() > hay.size()) return npos;
    std::vector<size_t> fail = FailureTable(needle, fold);
    size_t k = 0;
    for (size_t i = 0; i < hay.size(); ++i) {
        while (k > 0 && fold(hay[i]) != fold(needle[k])) k = fail[k - 1];
        if (fold(hay[i]) == fold(needle[k])) ++k;
        if (k == needle.size()) return i + 1 - needle.size();
    }
    return npos;
}

// Offset of the last occurrence of needle (not empty) that lies wholly in hay, or npos:
// the first occurrence of the reversed needle in the text read backwards from its end, in
// place, so that the cost is the distance walked back and never the text before it.
template <typename Fold>
size_t FindLast(std::string_view hay, std::string_view needle, Fold fold) {
    if (needle.size() > hay.size()) return npos;
    const std::string reversedNeedle(needle.rbegin(), needle.rend());
    std::vector<size_t> fail = FailureTable(reversedNeedle, fold);
    size_t k = 0;
    for (size_t i = hay.size(); i-- > 0;) {
        while (k > 0 && fold(hay[i]) != fold(reversedNeedle[k])) k = fail[k - 1];
        if (fold(hay[i]) == fold(reversedNeedle[k])) ++k;
        if (k == needle.size()) return i;
    }
    return npos;
}

}  // namespace

int64_t FindTag(std::string_view text, std::string_view name, int64_t from) {
    return Offset(FindTagAt(text, name, Clamp(text, from)));
}

bool AttributeValue(std::string_view tag, std::string_view name, std::string* value) {
    if (value) value->clear();
    if (name.empty()) return false;
    // The tag ends at its first ">"; a value cannot reach past it.
    size_t gt = tag.find('>');
    std::string_view region = tag.substr(0, gt == npos ? npos : gt);
    for (size_t at = 0; at + name.size() <= region.size(); ++at) {
        // 1. The name, in any case, and not the end of a longer name.
        if (!EqualsNoCase(region.substr(at, name.size()), name)) continue;
        if (at > 0 && IsNameChar(region[at - 1])) continue;
        // 2. Blanks and control characters up to "="; anything else: not this attribute.
        size_t p = at + name.size();
        while (p < region.size() && IsBlankOrControl(region[p])) ++p;
        if (p >= region.size() || region[p] != '=') continue;
        // 3. White space after "=", then a quoted value or one up to the next blank.
        ++p;
        while (p < region.size() && IsSpace(region[p])) ++p;
        // 4. Only a value begun is a value.
        if (p >= region.size()) return false;
        size_t stop;
        if (region[p] == '"') {
            ++p;
            stop = region.find('"', p);
        } else {
            stop = p;
            while (stop < region.size() && !IsBlankOrControl(region[stop])) ++stop;
        }
        if (stop == npos) stop = region.size();
        if (value) value->assign(region.substr(p, stop - p));
        return true;
    }
    return false;
}

bool Title(std::string_view page, std::string* title, int64_t* start, int64_t* end) {
    if (title) title->clear();
    size_t lt = FindTagAt(page, "TITLE", 0);
    if (lt == npos) return false;
    size_t gt = page.find('>', lt);
    if (gt == npos) return false;
    size_t textStart = gt + 1;
    size_t close = FindTagAt(page, "/TITLE", textStart);
    if (start) *start = static_cast<int64_t>(textStart);
    // Without a closing tag the title is empty, and so is the part of the page it marks.
    if (close == npos) {
        if (end) *end = static_cast<int64_t>(textStart);
        return true;
    }
    if (end) *end = static_cast<int64_t>(close);
    if (title) title->assign(Trim(page.substr(textStart, close - textStart)));
    return true;
}

bool TagContent(std::string_view page, int64_t* cursor, std::string_view tagText, int64_t* length) {
    std::string name(tagText);
    std::replace(name.begin(), name.end(), '<', ' ');
    std::replace(name.begin(), name.end(), '>', ' ');
    std::string_view tagName = Trim(name);
    size_t lt = FindTagAt(page, tagName, Clamp(page, cursor ? *cursor : 0));
    if (lt == npos) return false;
    size_t gt = page.find('>', lt);
    if (gt == npos) return false;
    size_t after = gt + 1;
    if (cursor) *cursor = static_cast<int64_t>(after);
    std::string closing = "/" + std::string(tagName);
    size_t close = FindTagAt(page, closing, after);
    if (length) *length = close == npos ? -1 : static_cast<int64_t>(close - after);
    return true;
}

bool LinkByText(std::string_view page, int64_t* cursor, std::string_view text, int flags,
                std::string* address, int64_t* start, int64_t* end) {
    const bool exactCase = (flags & kExactCase) != 0;
    GtFinder gts(page);
    size_t textAfterGt = npos, textAfterGtFor = npos;
    size_t pos = Clamp(page, cursor ? *cursor : 0);
    while (true) {
        // 1. The next anchor tag, and its ">": without one there is no anchor.
        size_t lt = FindTagAt(page, "A", pos);
        if (lt == npos) return false;
        size_t gt = gts.From(lt);
        if (gt == npos) return false;
        // Candidates inside one unclosed tag share the ">" and so the text after it.
        if (textAfterGtFor != gt) {
            textAfterGt = gt + 1;
            while (textAfterGt < page.size() && IsSpace(page[textAfterGt])) ++textAfterGt;
            textAfterGtFor = gt;
        }
        // 2. Its text, leading white space passed over, must begin with the search text.
        std::string_view anchorText = page.substr(textAfterGt, text.size());
        bool matches = anchorText.size() == text.size() && Equals(anchorText, text, exactCase);
        if (matches) {
            // 4. The address: the first quoted value of the tag, else what follows its
            // first "=", up to the next quote or the ">".
            std::string_view tag = page.substr(lt, gt - lt);
            size_t from = tag.find('"');
            size_t stop = npos;
            if (from != npos) {
                ++from;
                stop = tag.find('"', from);
            } else if ((from = tag.find('=')) != npos) {
                ++from;
                stop = tag.find('"', from);
            }
            if (from != npos) {
                if (stop == npos) stop = tag.size();
                // The page writes "&" in an address as "&amp;"; the server wants the "&".
                if (address)
                    *address =
                        CHtmlTokenizer::DecodeReferences(Trim(tag.substr(from, stop - from)));
                if (cursor) *cursor = static_cast<int64_t>(lt + stop);
                if (start) *start = static_cast<int64_t>(lt);
                if (end) *end = static_cast<int64_t>(gt + 1);
                return true;
            }
            // An anchor without an address is no link to follow; the search goes on.
        }
        // 3. Go on past this anchor tag. Its ">" is the first place where the next anchor
        // can begin, so an anchor written right after a short one is not stepped over.
        pos = gt + 1;
    }
}

std::string EncodeFormText(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out.push_back('+');
        } else if (c < 0x21 || (c >= '!' && c <= '+') || c == 0x7F || c == '|') {
            // Line ends would add header lines to the request, and "|" marks a POST.
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

namespace {

// The form's action as it goes at the head of the submission string: it is taken from the
// page, so line ends, blanks and "|" in it must not reach the request line or make it POST.
std::string EncodeAction(std::string_view action) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (char ch : Trim(action)) {
        auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c == 0x7F || c == '|') {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0x0F]);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

bool IsChecked(std::string_view tag) {
    for (std::string_view word : {"checked", "CHECKED", "Checked"})
        if (tag.find(word) != npos) return true;
    return false;
}

}  // namespace

bool FormSubmission(std::string_view page, int64_t cursor, std::string_view button, int flags,
                    std::string* submission, int64_t* start, int64_t* end) {
    const bool exactCase = (flags & kExactCase) != 0;
    GtFinder gts(page);
    size_t close = npos;
    bool closeKnown = false;
    size_t pos = Clamp(page, cursor);
    while (true) {
        // 1. The next FORM tag and the "/FORM" after it; without a closing tag, no form.
        size_t formLt = FindTagAt(page, "FORM", pos);
        if (formLt == npos) return false;
        size_t formGt = gts.From(formLt);
        if (formGt == npos) return false;
        // Closing tags come in page order, so one found past this form serves the forms
        // up to it, and none found means none for any later form either.
        if (!closeKnown || (close != npos && close < formGt)) {
            close = FindTagAt(page, "/FORM", formGt + 1);
            closeKnown = true;
        }
        if (close == npos) return false;
        std::string_view formTag = TagAt(page, formLt, formGt);

        // 2. A form without ACTION cannot be sent: look past its tag.
        std::string action;
        if (!AttributeValue(formTag, "ACTION", &action)) {
            pos = formGt + 1;
            continue;
        }
        // 3. The action, and how it is sent.
        std::string method;
        AttributeValue(formTag, "METHOD", &method);
        std::string result = EncodeAction(CHtmlTokenizer::DecodeReferences(action));
        result += EqualsNoCase(method, "post") ? "|" : "?";

        // 4. The INPUT tags of the form, in order.
        bool submittable = false;
        bool firstPair = true;
        auto appendPair = [&](std::string_view pair) {
            if (!firstPair) result += '&';
            result += pair;
            firstPair = false;
        };
        size_t at = formGt + 1;
        while (true) {
            size_t inputLt = FindTagAt(page, "INPUT", at);
            if (inputLt == npos || inputLt >= close) break;
            size_t inputGt = gts.From(inputLt);
            if (inputGt == npos) break;
            std::string_view inputTag = TagAt(page, inputLt, inputGt);
            at = inputGt + 1;
            std::string type, name, value;
            AttributeValue(inputTag, "TYPE", &type);
            AttributeValue(inputTag, "NAME", &name);
            AttributeValue(inputTag, "VALUE", &value);
            if (EqualsNoCase(type, "image")) {
                // An image button is sent only as the button pressed, with the place of
                // the click.
                if (!name.empty() && Equals(name, button, exactCase)) {
                    std::string encoded = EncodeFormText(name);
                    appendPair(encoded + ".x=3&" + encoded + ".y=3");
                    submittable = true;
                }
                continue;
            }
            if (EqualsNoCase(type, "submit")) {
                // A named button is also found by its own name.
                if (name.empty() || button.empty() || Equals(name, button, exactCase))
                    submittable = true;
            }
            if ((EqualsNoCase(type, "radio") || EqualsNoCase(type, "checkbox")) &&
                !IsChecked(inputTag))
                continue;
            // What the browser would send: the characters the page's references stand for.
            if (!name.empty())
                appendPair(EncodeFormText(CHtmlTokenizer::DecodeReferences(name)) + "=" +
                           EncodeFormText(CHtmlTokenizer::DecodeReferences(value)));
        }

        // 5. A form that cannot be sent with this button is passed over whole: a form
        // written inside it would be walked again for each form around it.
        if (!submittable) {
            pos = close + 1;
            continue;
        }
        if (flags & kTrimSubmission) result = std::string(Trim(result));
        if (submission) *submission = std::move(result);
        if (start) *start = static_cast<int64_t>(formLt);
        if (end) *end = static_cast<int64_t>(close);
        return true;
    }
}

std::string UnescapeSearchText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            char next = text[i + 1];
            char replaced = next == 'r'    ? '\r'
                            : next == 'n'  ? '\n'
                            : next == 't'  ? '\t'
                            : next == '\\' ? '\\'
                                           : 0;
            if (replaced) {
                out.push_back(replaced);
                ++i;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

int64_t TextSearch(std::string_view page, int64_t cursor, std::string_view text, bool backward,
                   bool exactCase) {
    size_t at = Clamp(page, cursor);
    auto exact = [](char c) { return c; };
    auto folded = [](char c) { return Lower(c); };
    if (!backward) {
        if (text.empty()) return static_cast<int64_t>(at);
        std::string_view rest = page.substr(at);
        size_t found = exactCase ? FindFirst(rest, text, exact) : FindFirst(rest, text, folded);
        return found == npos ? -1 : static_cast<int64_t>(at + found);
    }
    // The occurrence must end at cursor - length - 1 or before, so it lies wholly in the
    // page's first cursor - length bytes; below 0 there is nothing to find.
    if (text.empty() || at < text.size()) return -1;
    std::string_view before = page.substr(0, at - text.size());
    size_t found = exactCase ? FindLast(before, text, exact) : FindLast(before, text, folded);
    return Offset(found);
}

std::string DecodeEntity(std::string_view text, size_t* advance) {
    size_t taken = text.empty() ? 0 : 1;
    std::string out;
    std::string_view rest = text.substr(taken);
    if (!rest.empty() && rest[0] == '#') {
        // A character reference: every digit is read, decimal or after "x" hexadecimal,
        // and the ";" after them when there is one.
        size_t p = 1;
        bool hex = p < rest.size() && (rest[p] == 'x' || rest[p] == 'X');
        if (hex) ++p;
        size_t digitsFrom = p;
        uint32_t code = 0;
        while (p < rest.size()) {
            int digit =
                hex ? HexValue(rest[p]) : (rest[p] >= '0' && rest[p] <= '9' ? rest[p] - '0' : -1);
            if (digit < 0) break;
            // Held above the last code point, so no run of digits can overflow it.
            code =
                std::min<uint32_t>(code * (hex ? 16 : 10) + static_cast<uint32_t>(digit), 0x110000);
            ++p;
        }
        if (p == digitsFrom) {
            // No number: a blank, and the rest stays as text.
            out = " ";
        } else {
            if (p < rest.size() && rest[p] == ';') ++p;
            AppendUtf8(&out, CodePointOfReference(code));
            taken += p;
        }
    } else {
        const Entity* match = nullptr;
        for (const Entity& entity : kEntities) {
            if (rest.substr(0, entity.name.size()) == entity.name) {
                match = &entity;
                break;
            }
        }
        if (match) {
            taken += match->name.size();
            if (taken < text.size() && text[taken] == ';') ++taken;
            AppendUtf8(&out, match->code);
        } else {
            // An unknown name: a blank, and the name stays as text.
            out = " ";
        }
    }
    if (advance) *advance = taken;
    return out;
}

std::string HtmlToText(std::string_view text, bool keepLineEnds) {
    std::string out;
    out.reserve(text.size());
    bool inSpace = false;
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (c == '<') {
            // 1. A tag is dropped up to its ">"; one never closed takes the rest with it.
            size_t gt = text.find('>', i);
            if (gt == npos) break;
            i = gt + 1;
        } else if (IsSpace(c)) {
            // 2. A run of white space is one blank; a line feed stays one when asked, and
            // the carriage return before it goes.
            if (keepLineEnds && c == '\n') {
                out.push_back('\n');
                inSpace = true;
            } else if (keepLineEnds && c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
                // dropped: the line feed that follows stands for the line end
            } else if (!inSpace) {
                out.push_back(' ');
                inSpace = true;
            }
            ++i;
        } else if (c == '&') {
            // 3. A character entity.
            size_t advance = 1;
            out += DecodeEntity(text.substr(i), &advance);
            i += std::max<size_t>(advance, 1);
            inSpace = false;
        } else {
            out.push_back(c);
            inSpace = false;
            ++i;
        }
    }
    return out;
}

}  // namespace html

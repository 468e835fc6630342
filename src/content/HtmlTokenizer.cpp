#include "content/HtmlTokenizer.h"

#include <array>

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}
bool IsAlpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsAlnum(char c) {
    return IsAlpha(c) || IsDigit(c);
}
int HexValue(char c) {
    if (IsDigit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Numbers 0x80 to 0x9F name the Windows Latin-1 characters in pages written for it; those
// it leaves undefined stay as they are.
constexpr std::array<uint16_t, 32> kWindows1252 = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

struct NamedReference {
    std::string_view name;
    uint32_t cp;
    bool bare;  // also known without its ";" (the names of the earliest browsers)
};
constexpr NamedReference kNamed[] = {
    {"amp", '&', true},        {"lt", '<', true},      {"gt", '>', true},
    {"quot", '"', true},       {"apos", '\'', false},  {"nbsp", 0xA0, true},
    {"copy", 0xA9, true},      {"reg", 0xAE, true},    {"shy", 0xAD, true},
    {"sol", '/', false},       {"colon", ':', false},  {"quest", '?', false},
    {"equals", '=', false},    {"num", '#', false},    {"percnt", '%', false},
    {"period", '.', false},    {"lowbar", '_', false}, {"tilde", '~', false},
    {"hyphen", 0x2010, false}, {"comma", ',', false},  {"plus", '+', false},
};

}  // namespace

const std::string* HtmlTag::Attribute(std::string_view name) const {
    for (const auto& a : attributes)
        if (a.name == name) return &a.value;
    return nullptr;
}

std::string CHtmlTokenizer::DecodeReferences(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    size_t i = 0;
    while (i < v.size()) {
        if (v[i] != '&') {
            out += v[i++];
            continue;
        }
        size_t j = i + 1;
        if (j < v.size() && v[j] == '#') {
            ++j;
            const bool hex = j < v.size() && (v[j] == 'x' || v[j] == 'X');
            if (hex) ++j;
            uint32_t cp = 0;
            size_t digits = 0;
            for (; j < v.size(); ++j, ++digits) {
                int d = hex ? HexValue(v[j]) : (IsDigit(v[j]) ? v[j] - '0' : -1);
                if (d < 0) break;
                // Past the last code point the number only has to stay too large.
                if (cp <= 0x10FFFF) cp = cp * (hex ? 16 : 10) + static_cast<uint32_t>(d);
            }
            if (digits == 0) {
                out += v[i++];
                continue;
            }
            if (j < v.size() && v[j] == ';') ++j;
            if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
                cp = 0xFFFD;
            else if (cp >= 0x80 && cp <= 0x9F)
                cp = kWindows1252[cp - 0x80];
            AppendUtf8(out, cp);
            i = j;
            continue;
        }
        while (j < v.size() && IsAlnum(v[j]) && j - i <= 32) ++j;
        const std::string_view name = v.substr(i + 1, j - i - 1);
        const bool semicolon = j < v.size() && v[j] == ';';
        const NamedReference* found = nullptr;
        for (const auto& r : kNamed)
            if (r.name == name) found = &r;
        if (found && (semicolon || (found->bare && (j >= v.size() || v[j] != '=')))) {
            AppendUtf8(out, found->cp);
            i = semicolon ? j + 1 : j;
            continue;
        }
        out += v[i++];
    }
    return out;
}

CHtmlTokenizer::CHtmlTokenizer(TagHandler onTag, size_t maxTag)
    : onTag_(std::move(onTag)), maxTag_(maxTag) {}

void CHtmlTokenizer::BeginTag(bool end) {
    tag_ = HtmlTag{};
    tag_.end = end;
    tagBytes_ = 0;
    dropped_ = false;
}

void CHtmlTokenizer::BeginAttribute() {
    // Each attribute costs its bookkeeping too: a tag of a thousand one-letter attributes
    // counts for more than its bytes.
    tagBytes_ += sizeof(HtmlAttribute);
    if (tagBytes_ > maxTag_) dropped_ = true;
    if (dropped_) {
        tag_ = HtmlTag{};
        return;
    }
    tag_.attributes.emplace_back();
}

void CHtmlTokenizer::Append(std::string& to, char c) {
    if (!dropped_) to += c;
}

void CHtmlTokenizer::EmitTag() {
    state_ = State::Data;
    if (!dropped_ && !tag_.name.empty()) {
        if (tag_.end) {
            tag_.attributes.clear();
        } else {
            for (auto& a : tag_.attributes) a.value = DecodeReferences(a.value);
        }
        onTag_(tag_);
        if (!tag_.end && (tag_.name == "script" || tag_.name == "style")) {
            state_ = State::RawText;
            rawName_ = tag_.name;
            rawMatched_ = 0;
        }
    }
    tag_ = HtmlTag{};
    tagBytes_ = 0;
    dropped_ = false;
}

size_t CHtmlTokenizer::HeldBytes() const {
    size_t held = tag_.name.capacity() + tag_.attributes.capacity() * sizeof(HtmlAttribute);
    for (const auto& a : tag_.attributes) held += a.name.capacity() + a.value.capacity();
    return held;
}

void CHtmlTokenizer::Finish() {
    state_ = State::Data;
    tag_ = HtmlTag{};
    tagBytes_ = 0;
    dropped_ = false;
    dashes_ = 0;
    bang_ = false;
    rawName_.clear();
    rawMatched_ = 0;
}

void CHtmlTokenizer::Feed(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i];
        if (state_ >= State::TagName && state_ <= State::SelfClosing && ++tagBytes_ > maxTag_ &&
            !dropped_) {
            // Too long to be a tag anyone meant: its memory goes now, the rest of it is
            // still read through so that what follows is tokenized as the page means it.
            dropped_ = true;
            tag_ = HtmlTag{};
        }
        // Each case either takes the byte (++i) or hands it on to the next state.
        switch (state_) {
            case State::Data:
                if (c == '<') state_ = State::TagOpen;
                ++i;
                break;
            case State::RawText: {
                // Only "</script" (any case) followed by a blank, "/" or ">" ends it.
                const size_t want = 2 + rawName_.size();
                if (rawMatched_ == want) {
                    if (IsSpace(c) || c == '/' || c == '>') {
                        BeginTag(true);
                        tag_.name = rawName_;
                        state_ = State::TagName;  // takes c as a tag name's end does
                        rawMatched_ = 0;
                        break;
                    }
                    rawMatched_ = 0;
                }
                const char expected = rawMatched_ == 0   ? '<'
                                      : rawMatched_ == 1 ? '/'
                                                         : rawName_[rawMatched_ - 2];
                if (Lower(c) == expected)
                    ++rawMatched_;
                else
                    rawMatched_ = c == '<' ? 1 : 0;
                ++i;
                break;
            }
            case State::TagOpen:
                if (c == '!') {
                    state_ = State::MarkupDeclaration;
                    ++i;
                } else if (c == '/') {
                    state_ = State::EndTagOpen;
                    ++i;
                } else if (IsAlpha(c)) {
                    BeginTag(false);
                    state_ = State::TagName;
                } else if (c == '?') {
                    state_ = State::BogusComment;
                    ++i;
                } else {
                    state_ = State::Data;  // the "<" was text
                }
                break;
            case State::EndTagOpen:
                if (IsAlpha(c)) {
                    BeginTag(true);
                    state_ = State::TagName;
                } else {
                    state_ = c == '>' ? State::Data : State::BogusComment;
                    ++i;
                }
                break;
            case State::TagName:
                if (IsSpace(c))
                    state_ = State::BeforeAttrName;
                else if (c == '/')
                    state_ = State::SelfClosing;
                else if (c == '>')
                    EmitTag();
                else
                    Append(tag_.name, Lower(c));
                ++i;
                break;
            case State::BeforeAttrName:
                if (IsSpace(c)) {
                    ++i;
                } else if (c == '/' || c == '>') {
                    state_ = State::AfterAttrName;
                } else {
                    BeginAttribute();
                    state_ = State::AttrName;
                    if (c == '=') {  // a name may begin with "=", nowhere else
                        if (!dropped_) Append(tag_.attributes.back().name, c);
                        ++i;
                    }
                }
                break;
            case State::AttrName:
                if (IsSpace(c) || c == '/' || c == '>') {
                    state_ = State::AfterAttrName;
                } else {
                    if (c == '=')
                        state_ = State::BeforeAttrValue;
                    else if (!dropped_)
                        Append(tag_.attributes.back().name, Lower(c));
                    ++i;
                }
                break;
            case State::AfterAttrName:
                if (IsSpace(c)) {
                    ++i;
                } else if (c == '/') {
                    state_ = State::SelfClosing;
                    ++i;
                } else if (c == '=') {
                    state_ = State::BeforeAttrValue;
                    ++i;
                } else if (c == '>') {
                    EmitTag();
                    ++i;
                } else {
                    BeginAttribute();
                    state_ = State::AttrName;
                }
                break;
            case State::BeforeAttrValue:
                if (IsSpace(c)) {
                    ++i;
                } else if (c == '"') {
                    state_ = State::AttrValueDouble;
                    ++i;
                } else if (c == '\'') {
                    state_ = State::AttrValueSingle;
                    ++i;
                } else if (c == '>') {
                    EmitTag();
                    ++i;
                } else {
                    state_ = State::AttrValueUnquoted;
                }
                break;
            case State::AttrValueDouble:
            case State::AttrValueSingle:
                if (c == (state_ == State::AttrValueDouble ? '"' : '\''))
                    state_ = State::AfterAttrValueQuoted;
                else if (!dropped_)
                    Append(tag_.attributes.back().value, c);
                ++i;
                break;
            case State::AttrValueUnquoted:
                if (IsSpace(c))
                    state_ = State::BeforeAttrName;
                else if (c == '>')
                    EmitTag();
                else if (!dropped_)
                    Append(tag_.attributes.back().value, c);
                ++i;
                break;
            case State::AfterAttrValueQuoted:
                if (IsSpace(c)) {
                    state_ = State::BeforeAttrName;
                    ++i;
                } else if (c == '/') {
                    state_ = State::SelfClosing;
                    ++i;
                } else if (c == '>') {
                    EmitTag();
                    ++i;
                } else {
                    state_ = State::BeforeAttrName;
                }
                break;
            case State::SelfClosing:
                if (c == '>') {
                    EmitTag();
                    ++i;
                } else {
                    state_ = State::BeforeAttrName;
                }
                break;
            case State::MarkupDeclaration:
                if (c == '-') {
                    state_ = State::MarkupDash;
                    ++i;
                } else {
                    state_ = State::BogusComment;  // "<!DOCTYPE ...>" and the like
                }
                break;
            case State::MarkupDash:
                if (c == '-') {
                    state_ = State::Comment;
                    dashes_ = 0;
                    bang_ = false;
                    ++i;
                } else {
                    state_ = State::BogusComment;
                }
                break;
            case State::Comment:
                // Only "-->" (or "--!>") after the opening "<!--" ends it: "<!-->" opens a
                // comment that runs on, as crawlers read it.
                if (c == '>' && (dashes_ >= 2 || bang_)) {
                    state_ = State::Data;
                } else if (c == '!' && dashes_ >= 2) {
                    bang_ = true;
                    dashes_ = 0;
                } else if (c == '-') {
                    dashes_ = dashes_ < 2 ? dashes_ + 1 : 2;
                    bang_ = false;
                } else {
                    dashes_ = 0;
                    bang_ = false;
                }
                ++i;
                break;
            case State::BogusComment:
                if (c == '>') state_ = State::Data;
                ++i;
                break;
        }
    }
}

#include "net/Mime.h"

#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "net/Inet.h"
#include "platform/AsciiText.h"
#include "platform/TempFile.h"

namespace mime {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string LowerCopy(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = Lower(c);
    return out;
}

using ascii::EqualsNoCase;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (IsBlank(s.front()) || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (IsBlank(s.back()) || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// A decoder for a charset label as mail uses it. Latin-1 and ASCII labels are read as
// windows-1252, its superset, as mail programs do: the bytes 0x80-0x9F of such mail are
// nearly always its quotes and dashes. Null when the label is UTF-8 or unknown.
std::unique_ptr<QStringDecoder> DecoderFor(std::string_view label) {
    std::string name = LowerCopy(Trim(label));
    if (name.empty() || name == "utf-8" || name == "utf8") return nullptr;
    if (name == "iso-8859-1" || name == "iso8859-1" || name == "iso_8859-1" || name == "latin1" ||
        name == "latin-1" || name == "l1" || name == "us-ascii" || name == "ascii" ||
        name == "cp1252")
        name = "windows-1252";
    auto decoder = std::make_unique<QStringDecoder>(name.c_str());
    if (decoder->isValid()) return decoder;
    if (name == "windows-1252") return std::make_unique<QStringDecoder>(QStringConverter::Latin1);
    return nullptr;
}

std::string ToUtf8(std::string_view bytes, std::string_view charset) {
    auto decoder = DecoderFor(charset);
    if (!decoder) return std::string(bytes);
    QString text = decoder->decode(QByteArrayView(bytes.data(), bytes.size()));
    QByteArray utf8 = text.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

bool IsUtf8(std::string_view bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::Stateless);
    QString ignored = decoder.decode(QByteArrayView(bytes.data(), bytes.size()));
    return !decoder.hasError();
}

std::string PercentDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

}  // namespace

std::string HeaderParam(std::string_view value, std::string_view name) {
    std::string extended;
    bool haveExtended = false;
    // Parameters follow the first ";" that is not inside quotes; each runs to the next.
    size_t i = 0;
    auto segmentEnd = [&](size_t from) {
        bool quoted = false;
        for (size_t k = from; k < value.size(); ++k) {
            if (quoted && value[k] == '\\') {
                ++k;
            } else if (value[k] == '"') {
                quoted = !quoted;
            } else if (!quoted && value[k] == ';') {
                return k;
            }
        }
        return value.size();
    };
    i = segmentEnd(0);
    while (i < value.size()) {
        size_t from = i + 1;
        size_t to = segmentEnd(from);
        i = to;
        std::string_view segment = Trim(value.substr(from, to - from));
        size_t eq = segment.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view attribute = Trim(segment.substr(0, eq));
        std::string_view raw = Trim(segment.substr(eq + 1));
        bool isPlain = EqualsNoCase(attribute, name);
        bool isExtended = !isPlain && attribute.size() == name.size() + 1 &&
                          attribute.back() == '*' &&
                          EqualsNoCase(attribute.substr(0, name.size()), name);
        if (!isPlain && !isExtended) continue;
        std::string text;
        if (!raw.empty() && raw.front() == '"') {
            for (size_t k = 1; k < raw.size() && raw[k] != '"'; ++k) {
                if (raw[k] == '\\' && k + 1 < raw.size()) ++k;
                text.push_back(raw[k]);
            }
        } else {
            size_t end = 0;
            while (end < raw.size() && !IsBlank(raw[end])) ++end;
            text = std::string(raw.substr(0, end));
        }
        if (isPlain) return text;
        if (!haveExtended) {
            // charset'language'percent-encoded text
            size_t q1 = text.find('\'');
            size_t q2 = q1 == std::string::npos ? q1 : text.find('\'', q1 + 1);
            if (q2 != std::string::npos) {
                extended = ToUtf8(PercentDecode(std::string_view(text).substr(q2 + 1)),
                                  std::string_view(text).substr(0, q1));
            } else {
                extended = PercentDecode(text);
            }
            haveExtended = true;
        }
    }
    return extended;
}

namespace {

bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

// The bytes of one encoded word's payload; false when they cannot be read (a B payload with
// characters outside the alphabet, or padding in its middle), so that the word is shown as
// it was written rather than as noise.
bool WordBytes(char kind, std::string_view payload, std::string* bytes) {
    bytes->clear();
    if (kind == 'b') {
        size_t end = payload.size();
        while (end > 0 && payload[end - 1] == '=' && payload.size() - end < 2) --end;
        for (size_t k = 0; k < end; ++k)
            if (!IsBase64Char(payload[k])) return false;
        if (end % 4 == 1) return false;
        QByteArray decoded =
            QByteArray::fromBase64(QByteArray::fromRawData(payload.data(), qsizetype(end)));
        bytes->assign(decoded.constData(), static_cast<size_t>(decoded.size()));
        return true;
    }
    if (kind != 'q') return false;
    for (size_t k = 0; k < payload.size(); ++k) {
        if (payload[k] == '_') {
            bytes->push_back(' ');
        } else if (payload[k] == '=' && k + 2 < payload.size() && HexValue(payload[k + 1]) >= 0 &&
                   HexValue(payload[k + 2]) >= 0) {
            bytes->push_back(
                static_cast<char>(HexValue(payload[k + 1]) * 16 + HexValue(payload[k + 2])));
            k += 2;
        } else {
            bytes->push_back(payload[k]);
        }
    }
    return true;
}

// Bytes in a charset as UTF-8; false when the charset is none we know.
bool CharsetToUtf8(std::string_view bytes, std::string_view charset, std::string* out) {
    std::string name = LowerCopy(Trim(charset));
    auto decoder = DecoderFor(name);
    if (!decoder) {
        if (name != "utf-8" && name != "utf8") return false;
        // Bytes that are no UTF-8 become replacement characters, never raw bytes in the text.
        decoder = std::make_unique<QStringDecoder>(QStringConverter::Utf8);
    }
    QString text = decoder->decode(QByteArrayView(bytes.data(), bytes.size()));
    QByteArray utf8 = text.toUtf8();
    out->assign(utf8.constData(), static_cast<size_t>(utf8.size()));
    return true;
}

}  // namespace

std::string DecodeWords(std::string_view text) {
    constexpr size_t kMaxWord = 1024;
    std::string out;
    // Adjacent words of one charset are decoded together: senders split a text into words
    // anywhere, also in the middle of a character.
    std::string runBytes, runCharset;
    bool inRun = false;
    auto endRun = [&] {
        if (!inRun) return;
        std::string utf8;
        CharsetToUtf8(runBytes, runCharset, &utf8);
        out += utf8;
        runBytes.clear();
        inRun = false;
    };
    bool lastWasWord = false;
    size_t spaceFrom = 0, spaceLength = 0;  // white space not yet written
    size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 2, "=?") == 0) {
            // A word is looked for only so far (they are 75 characters at most, a few
            // senders' longer): a text full of "=?" must not cost its length squared.
            std::string_view word = text.substr(0, std::min(text.size(), i + kMaxWord));
            size_t q1 = word.find('?', i + 2);
            size_t q2 = q1 == std::string_view::npos ? q1 : word.find('?', q1 + 1);
            size_t end = q2 == std::string_view::npos ? q2 : word.find("?=", q2 + 1);
            std::string bytes, known;
            if (end != std::string_view::npos && q2 == q1 + 2 &&
                WordBytes(Lower(text[q1 + 1]), text.substr(q2 + 1, end - q2 - 1), &bytes)) {
                std::string_view charset = text.substr(i + 2, q1 - i - 2);
                charset = charset.substr(0, charset.find('*'));  // RFC 2231 language
                std::string label = LowerCopy(Trim(charset));
                if (CharsetToUtf8({}, label, &known)) {
                    // White space between two encoded words is no part of the text.
                    if (!lastWasWord) {
                        endRun();
                        out.append(text.substr(spaceFrom, spaceLength));
                    } else if (inRun && label != runCharset) {
                        endRun();
                    }
                    spaceLength = 0;
                    if (!inRun) runCharset = label;
                    inRun = true;
                    runBytes += bytes;
                    lastWasWord = true;
                    i = end + 2;
                    continue;
                }
                // A charset we cannot read leaves its word as it was written.
                endRun();
                out.append(text.substr(spaceFrom, spaceLength));
                spaceLength = 0;
                out.append(text.substr(i, end + 2 - i));
                lastWasWord = false;
                i = end + 2;
                continue;
            }
        }
        if (IsBlank(text[i]) || text[i] == '\r' || text[i] == '\n') {
            if (spaceLength == 0) spaceFrom = i;
            ++spaceLength;
            ++i;
            continue;
        }
        endRun();
        out.append(text.substr(spaceFrom, spaceLength));
        spaceLength = 0;
        out.push_back(text[i++]);
        lastWasWord = false;
    }
    endRun();
    out.append(text.substr(spaceFrom, spaceLength));
    return out;
}

bool IsAscii(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

std::string AsUtf8(std::string_view text) {
    if (IsAscii(text) || IsUtf8(text)) return std::string(text);
    return ToUtf8(text, "windows-1252");
}

std::string HeaderText(std::string_view raw) {
    std::string decoded = DecodeWords(AsUtf8(raw));
    std::string out;
    out.reserve(decoded.size());
    for (char c : decoded) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\t' || c == '\r' || c == '\n')
            out.push_back(' ');
        else if (u < 0x20 || u == 0x7F)
            out += "\xEF\xBF\xBD";
        else
            out.push_back(c);
    }
    return out;
}

std::string EncodeWords(std::string_view utf8) {
    if (IsAscii(utf8)) return std::string(utf8);
    // Each word carries whole characters, at most 39 bytes (52 in base64, 64 with its frame):
    // with a header name before it, a line stays well within 78 characters.
    constexpr size_t kWordBytes = 39;
    std::string out;
    size_t i = 0;
    while (i < utf8.size()) {
        size_t end = std::min(utf8.size(), i + kWordBytes);
        while (end < utf8.size() && end > i + 1 &&
               (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80)
            --end;
        QByteArray payload =
            QByteArray(utf8.data() + i, static_cast<qsizetype>(end - i)).toBase64();
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + payload.toStdString() + "?=";
        i = end;
    }
    return out;
}

std::string EncodeQuotedPrintable(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    std::string line;  // the encoded line being built
    auto hardBreak = [&] {
        // White space at the end of a line would be taken off by the transport.
        if (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
            char c = line.back();
            line.pop_back();
            if (line.size() + 3 > 76) {
                out += line + "=\r\n";
                line.clear();
            }
            line += '=';
            line += kHex[static_cast<unsigned char>(c) >> 4];
            line += kHex[static_cast<unsigned char>(c) & 0xF];
        }
        out += line + "\r\n";
        line.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        if (c == '\n') {
            hardBreak();
            continue;
        }
        auto u = static_cast<unsigned char>(c);
        std::string piece;
        // A dot that starts a line is encoded too: no transport can take it for the end.
        if ((u >= 33 && u <= 126 && c != '=' && !(c == '.' && line.empty())) || c == ' ' ||
            c == '\t') {
            piece = c;
        } else {
            piece = {'=', kHex[u >> 4], kHex[u & 0xF]};
        }
        // A soft break keeps every line within 76 characters, its "=" included.
        if (line.size() + piece.size() > 75) {
            out += line + "=\r\n";
            line.clear();
        }
        line += piece;
    }
    if (!line.empty()) hardBreak();
    return out;
}

std::string BareFileName(std::string_view name) {
    std::string text = IsUtf8(name) ? std::string(name) : ToUtf8(name, "windows-1252");
    // Whatever folder the sender's system put the file in is none of ours.
    size_t slash = text.find_last_of("/\\");
    if (slash != std::string::npos) text.erase(0, slash + 1);
    std::string clean;
    for (char c : text) {
        unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) clean.push_back(c);
    }
    std::string_view trimmed = Trim(clean);
    std::string result(trimmed);
    if (result == "." || result == "..") return {};
    constexpr size_t kNameMax = 255;
    if (result.size() > kNameMax) {
        size_t keep = kNameMax;
        while (keep > 0 && (static_cast<unsigned char>(result[keep]) & 0xC0) == 0x80) --keep;
        result.resize(keep);
    }
    return result;
}

namespace {

// The value of each base64 character; blanks and line ends are passed over, anything else
// ends a run.
enum : unsigned char { kSkip = 0x40, kEndRun = 0x80 };

constexpr std::array<unsigned char, 256> MakeBase64Values() {
    std::array<unsigned char, 256> table{};
    for (auto& entry : table) entry = kEndRun;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
    table[' '] = kSkip;
    table['\t'] = kSkip;
    table['\r'] = kSkip;
    table['\n'] = kSkip;
    return table;
}
constexpr auto kBase64Values = MakeBase64Values();

}  // namespace

void Base64Decoder::Feed(const char* data, size_t size, std::string* out) {
    const auto* in = reinterpret_cast<const unsigned char*>(data);
    size_t base = out->size();
    out->resize(base + (size / 4 + 2) * 3);
    auto* w = reinterpret_cast<unsigned char*>(out->data() + base);
    size_t i = 0;
    while (i < size) {
        // Whole groups of four straight from the input while nothing is pending.
        if (have_ == 0) {
            while (i + 4 <= size) {
                unsigned a = kBase64Values[in[i]], b = kBase64Values[in[i + 1]],
                         c = kBase64Values[in[i + 2]], d = kBase64Values[in[i + 3]];
                if ((a | b | c | d) >= 64) break;
                unsigned v = (a << 18) | (b << 12) | (c << 6) | d;
                w[0] = static_cast<unsigned char>(v >> 16);
                w[1] = static_cast<unsigned char>(v >> 8);
                w[2] = static_cast<unsigned char>(v);
                w += 3;
                i += 4;
            }
            if (i >= size) break;
        }
        unsigned value = kBase64Values[in[i++]];
        if (value < 64) {
            quad_[have_++] = static_cast<unsigned char>(value);
            if (have_ == 4) {
                unsigned v = (quad_[0] << 18) | (quad_[1] << 12) | (quad_[2] << 6) | quad_[3];
                w[0] = static_cast<unsigned char>(v >> 16);
                w[1] = static_cast<unsigned char>(v >> 8);
                w[2] = static_cast<unsigned char>(v);
                w += 3;
                have_ = 0;
            }
        } else if (value == kEndRun) {
            // A short last group gives the whole bytes its characters hold.
            if (have_ >= 2) *w++ = static_cast<unsigned char>((quad_[0] << 2) | (quad_[1] >> 4));
            if (have_ == 3)
                *w++ = static_cast<unsigned char>(((quad_[1] & 0xF) << 4) | (quad_[2] >> 2));
            have_ = 0;
        }
    }
    out->resize(reinterpret_cast<char*>(w) - out->data());
}

void Base64Decoder::Finish(std::string* out) {
    Feed("=", 1, out);
}

void QuotedPrintableDecoder::Feed(const char* data, size_t size, std::string* out) {
    size_t i = 0;
    while (i < size) {
        char c = data[i];
        switch (state_) {
            case State::Text:
                if (c == '=') {
                    out->append(spaces_);
                    spaces_.clear();
                    state_ = State::Equals;
                } else if (IsBlank(c)) {
                    if (spaces_.size() >= kMaxSpaces) {
                        out->append(spaces_);
                        spaces_.clear();
                    }
                    spaces_.push_back(c);
                } else {
                    out->append(spaces_);
                    spaces_.clear();
                    out->push_back(c);
                }
                ++i;
                break;
            case State::Equals:
                if (HexValue(c) >= 0) {
                    hex_ = c;
                    state_ = State::EqualsHex;
                    ++i;
                } else if (IsBlank(c)) {
                    spaces_.push_back(c);
                    state_ = State::EqualsSpace;
                    ++i;
                } else {
                    out->push_back('=');
                    state_ = State::Text;  // c is looked at again as text
                }
                break;
            case State::EqualsHex:
                if (HexValue(c) >= 0) {
                    out->push_back(static_cast<char>(HexValue(hex_) * 16 + HexValue(c)));
                    state_ = State::Text;
                    ++i;
                } else {
                    out->push_back('=');
                    out->push_back(hex_);
                    state_ = State::Text;
                }
                break;
            case State::EqualsSpace:
                if (IsBlank(c) && spaces_.size() < kMaxSpaces) {
                    spaces_.push_back(c);
                    ++i;
                } else {
                    // Not a soft break after all: the "=" and its blanks were text.
                    out->push_back('=');
                    out->append(spaces_);
                    spaces_.clear();
                    state_ = State::Text;
                }
                break;
        }
    }
}

void QuotedPrintableDecoder::EndLine(std::string* out) {
    switch (state_) {
        case State::Text:
            out->append("\r\n");
            break;
        case State::Equals:
        case State::EqualsSpace:
            break;  // a soft line break
        case State::EqualsHex:
            out->push_back('=');
            out->push_back(hex_);
            out->append("\r\n");
            break;
    }
    spaces_.clear();
    state_ = State::Text;
}

namespace {

enum class Encoding { Plain, Base64, QuotedPrintable };

// What the header of one part (or of the message itself) says about it.
struct PartInfo {
    Encoding encoding = Encoding::Plain;
    std::string type;      // media type, lower case; empty when not given
    std::string charset;   // as given
    std::string filename;  // Content-Disposition's filename, as given
    std::string name;      // Content-Type's name, as given
    bool attachment = false;
};

// One pass over the stored message. The message's header decides the separator; after it,
// each delimiter line starts a part; the requested part's body goes through its transfer
// decoding (and, for text, its charset) into the temporary file.
class PartExtractor {
public:
    PartExtractor(int index, std::string* fileName) : index_(index), fileName_(fileName) {}

    int Run(int fd, std::string* tempPath);

private:
    static constexpr size_t kBlock = 256 * 1024;
    // A header field is kept up to this size (folded lines included); what is beyond it is
    // not read for parameters.
    static constexpr size_t kMaxField = 16 * 1024;
    static constexpr size_t kMaxPadding = 1024;  // blanks after a delimiter
    static constexpr size_t kMaxHeaderLine = kMaxField + kMaxPadding + 8;
    static constexpr size_t kFlushAt = 256 * 1024;

    void Data(const char* data, size_t size);
    void EndLine();
    void StartLine();
    void EndOfHeader();
    void ProcessField();
    void Delimiter(bool close);
    void StartBody();
    void Body(const char* data, size_t size);
    void Drain();
    void Flush();
    void FinishBody();

    bool StepDelimiter(char c);
    bool DelimiterComplete() const {
        return delimiterPos_ == delimiter_.size() && delimiterPhase_ != 1;
    }
    void ResetDelimiter() {
        delimiterPos_ = 0;
        delimiterPhase_ = 0;
        delimiterPad_ = 0;
        delimiterClose_ = false;
    }
    // In a body whose line ends do not matter: one that is passed over, or base64.
    bool Skimming() const {
        return !headerMode_ && (!inPart_ || part_.encoding == Encoding::Base64);
    }
    std::string* Target() { return charset_ ? &stage_ : &out_; }

    const int index_;
    std::string* fileName_;
    int counter_ = 0;
    bool topHeader_ = true;
    bool headerMode_ = true;
    bool inPart_ = false;  // in the body of the requested part
    bool done_ = false;
    bool failed_ = false;
    bool result_ = false;

    bool mimeVersion_ = false;
    bool haveTopType_ = false;
    std::string topType_;
    PartInfo part_;

    std::string line_;   // a header line (capped)
    std::string field_;  // a header field with its folded lines (capped)

    std::string delimiter_;   // "--" and the boundary; empty when the message has none
    bool candidate_ = false;  // the body line so far may still be a delimiter
    std::string held_;        // its bytes, kept back until that is decided
    size_t delimiterPos_ = 0;
    int delimiterPhase_ = 0;  // 0 after the boundary, 1 one "-", 2 "--", 3 blanks
    size_t delimiterPad_ = 0;
    bool delimiterClose_ = false;

    std::unique_ptr<Base64Decoder> base64_;
    QuotedPrintableDecoder quoted_;
    std::unique_ptr<QStringDecoder> charset_;
    std::string stage_;  // decoded bytes before the charset conversion
    std::string out_;    // bytes for the file
    TempFile file_;
};

int PartExtractor::Run(int fd, std::string* tempPath) {
    std::vector<char> block(kBlock);
    off_t offset = 0;
    bool pendingCr = false;  // a CR at the end of a block that a LF may follow
    bool lineHasBytes = false;
    StartLine();
    while (!done_) {
        ssize_t got = ::pread(fd, block.data(), block.size(), offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            failed_ = true;
            break;
        }
        if (got == 0) break;
        offset += got;
        const char* p = block.data();
        const char* end = p + got;
        while (p < end && !done_) {
            if (!lineHasBytes && Skimming() && *p != '-') {
                // Only a line that begins with "-" can be a delimiter; the lines up to the
                // next such go through whole (base64 passes over their line ends).
                const void* dash = ::memmem(p, static_cast<size_t>(end - p), "\n-", 2);
                const char* stop = dash ? static_cast<const char*>(dash) + 1 : end;
                if (inPart_) Body(p, static_cast<size_t>(stop - p));
                if (stop[-1] != '\n') {
                    lineHasBytes = true;  // the line goes on in the next block
                    candidate_ = false;
                }
                p = stop;
                continue;
            }
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
            size_t n = (nl ? nl : end) - p;
            if (n > 0 || (!nl && pendingCr)) {
                if (pendingCr) Data("\r", 1);
                pendingCr = false;
            }
            // A line ends at LF, with the CR before it taken off; a CR on its own is text.
            if (n > 0 && p[n - 1] == '\r') {
                pendingCr = true;
                --n;
            }
            if (n > 0) {
                Data(p, n);
                lineHasBytes = true;
            }
            if (nl) {
                pendingCr = false;
                EndLine();
                lineHasBytes = false;
                p = nl + 1;
            } else {
                if (pendingCr) lineHasBytes = true;
                p = end;
            }
        }
    }
    if (!done_ && !failed_) {
        if (pendingCr) Data("\r", 1);
        // A last line without its line end is a line all the same.
        if (lineHasBytes) EndLine();
    }
    if (!failed_ && inPart_) FinishBody();
    if (failed_ || !result_) {
        file_.Close();  // created to go when closed
        if (fileName_) fileName_->clear();
        return 0;
    }
    *tempPath = file_.Release();
    return 1;
}

void PartExtractor::StartLine() {
    line_.clear();
    held_.clear();
    ResetDelimiter();
    candidate_ = !headerMode_ && !delimiter_.empty();
}

bool PartExtractor::StepDelimiter(char c) {
    if (delimiterPos_ < delimiter_.size()) {
        if (c != delimiter_[delimiterPos_]) return false;
        ++delimiterPos_;
        return true;
    }
    switch (delimiterPhase_) {
        case 0:
            if (c == '-') {
                delimiterPhase_ = 1;
                return true;
            }
            break;
        case 1:
            if (c == '-') {
                delimiterPhase_ = 2;
                delimiterClose_ = true;
                return true;
            }
            return false;
        default:
            break;
    }
    // Transport padding after the boundary.
    if (IsBlank(c) && ++delimiterPad_ <= kMaxPadding) {
        delimiterPhase_ = 3;
        return true;
    }
    return false;
}

void PartExtractor::Data(const char* data, size_t size) {
    if (headerMode_) {
        if (line_.size() < kMaxHeaderLine)
            line_.append(data, std::min(size, kMaxHeaderLine - line_.size()));
        return;
    }
    if (candidate_) {
        size_t k = 0;
        while (k < size && StepDelimiter(data[k])) ++k;
        if (k == size) {
            held_.append(data, size);
            return;
        }
        candidate_ = false;
        if (inPart_) Body(held_.data(), held_.size());
        held_.clear();
    }
    if (inPart_) Body(data, size);
}

void PartExtractor::EndLine() {
    if (headerMode_) {
        bool delimiter = false;
        if (!delimiter_.empty() && line_.size() < kMaxHeaderLine) {
            delimiter = true;
            for (char c : line_)
                if (!StepDelimiter(c)) {
                    delimiter = false;
                    break;
                }
            delimiter = delimiter && DelimiterComplete();
        }
        if (delimiter) {
            Delimiter(delimiterClose_);
        } else if (line_.empty()) {
            EndOfHeader();
        } else if (IsBlank(line_.front())) {
            // A folded line goes on with the field above it.
            if (!field_.empty() && field_.size() < kMaxField)
                field_.append(line_, 0, kMaxField - field_.size());
        } else {
            ProcessField();
            field_.assign(line_, 0, std::min(line_.size(), kMaxField));
        }
    } else if (candidate_ && DelimiterComplete()) {
        Delimiter(delimiterClose_);
    } else {
        if (inPart_) {
            if (candidate_) Body(held_.data(), held_.size());
            result_ = true;
            switch (part_.encoding) {
                case Encoding::Plain:
                    Target()->append("\r\n");
                    break;
                case Encoding::QuotedPrintable:
                    quoted_.EndLine(Target());
                    break;
                case Encoding::Base64:
                    break;
            }
            Drain();
        }
    }
    StartLine();
}

void PartExtractor::ProcessField() {
    if (field_.empty()) return;
    std::string_view field(field_);
    size_t colon = field.find(':');
    if (colon == std::string_view::npos) return;
    std::string_view name = Trim(field.substr(0, colon));
    std::string_view value = Trim(field.substr(colon + 1));
    if (EqualsNoCase(name, "MIME-Version")) {
        if (topHeader_) mimeVersion_ = true;
    } else if (EqualsNoCase(name, "Content-Type")) {
        if (topHeader_ && !haveTopType_) {
            topType_ = std::string(value);
            haveTopType_ = true;
        }
        part_.type = LowerCopy(Trim(value.substr(0, value.find(';'))));
        part_.charset = HeaderParam(value, "charset");
        part_.name = HeaderParam(value, "name");
    } else if (EqualsNoCase(name, "Content-Transfer-Encoding")) {
        std::string encoding = LowerCopy(value);
        if (encoding.find("base64") != std::string::npos)
            part_.encoding = Encoding::Base64;
        else if (encoding.find("quoted-printable") != std::string::npos)
            part_.encoding = Encoding::QuotedPrintable;
        else
            part_.encoding = Encoding::Plain;
    } else if (EqualsNoCase(name, "Content-Disposition")) {
        part_.attachment =
            LowerCopy(Trim(value.substr(0, value.find(';')))) == std::string("attachment");
        std::string filename = HeaderParam(value, "filename");
        if (!filename.empty()) part_.filename = filename;
    }
}

void PartExtractor::EndOfHeader() {
    ProcessField();
    field_.clear();
    headerMode_ = false;
    if (topHeader_) {
        topHeader_ = false;
        std::string boundary;
        if (mimeVersion_ && haveTopType_) boundary = HeaderParam(topType_, "boundary");
        if (!boundary.empty()) {
            delimiter_ = "--" + boundary;
            counter_ = index_ + 1;  // the text before the first delimiter is no part
        } else if (index_ > 0) {
            done_ = true;  // a message without parts has only its body
            return;
        } else {
            counter_ = 0;
        }
        if (!file_.Create("MM1", {}, true)) {
            failed_ = true;
            done_ = true;
            return;
        }
    }
    if (counter_ == 0) StartBody();
}

void PartExtractor::Delimiter(bool close) {
    if (counter_ == 0 || close) {
        // The requested part is over, or there is no part after the closing delimiter.
        done_ = true;
        return;
    }
    --counter_;
    headerMode_ = true;
    part_ = PartInfo{};
    field_.clear();  // a part whose header was cut short by the delimiter lends it nothing
}

void PartExtractor::StartBody() {
    inPart_ = true;
    if (fileName_)
        *fileName_ =
            BareFileName(DecodeWords(part_.filename.empty() ? part_.name : part_.filename));
    if (part_.encoding == Encoding::Base64) base64_ = std::make_unique<Base64Decoder>();
    // Text is handed on as UTF-8; an attached file keeps its bytes.
    bool isText = part_.type.empty() || part_.type.compare(0, 5, "text/") == 0;
    if (isText && !part_.attachment && part_.filename.empty() && part_.name.empty())
        charset_ = DecoderFor(part_.charset);
}

void PartExtractor::Body(const char* data, size_t size) {
    if (size == 0) return;
    result_ = true;
    switch (part_.encoding) {
        case Encoding::Plain:
            Target()->append(data, size);
            break;
        case Encoding::Base64:
            base64_->Feed(data, size, Target());
            break;
        case Encoding::QuotedPrintable:
            quoted_.Feed(data, size, Target());
            break;
    }
    Drain();
}

void PartExtractor::Drain() {
    if (charset_ && !stage_.empty()) {
        QString text = charset_->decode(QByteArrayView(stage_.data(), stage_.size()));
        QByteArray utf8 = text.toUtf8();
        out_.append(utf8.constData(), static_cast<size_t>(utf8.size()));
        stage_.clear();
    }
    if (out_.size() >= kFlushAt) Flush();
}

void PartExtractor::Flush() {
    size_t written = 0;
    while (written < out_.size() && !failed_) {
        ssize_t n = ::write(file_.Fd(), out_.data() + written, out_.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            // A full disk must not pass for a complete part.
            failed_ = true;
            done_ = true;
            break;
        }
        written += static_cast<size_t>(n);
    }
    out_.clear();
}

void PartExtractor::FinishBody() {
    if (base64_) base64_->Finish(Target());
    Drain();
    Flush();
}

}  // namespace
}  // namespace mime

int CInet::ExtractPart(int fd, int index, std::string* tempPath, std::string* fileName) {
    tempPath->clear();
    if (fileName) fileName->clear();
    if (index < 0) return 0;
    mime::PartExtractor extractor(index, fileName);
    return extractor.Run(fd, tempPath);
}

#pragma once

// Pieces of the message decoding behind CInet::ExtractPart: header parameters, file names
// taken from a message, and the transfer decodings. Each works on a stream in pieces of any
// size and keeps no more than a fixed amount, so that a message of any size, with lines of
// any length, goes through in bounded memory.

#include <cstddef>
#include <string>
#include <string_view>

namespace mime {

// The value of parameter name (boundary, filename, charset, ...) in a header value: the
// text between double quotes (backslash escapes undone), else up to ";" or white space.
// RFC 2231's name*=charset'lang'%XX form is decoded when the plain form is absent. Empty
// when the parameter is not there.
std::string HeaderParam(std::string_view value, std::string_view name);

// Encoded words (=?charset?B?...?= and =?charset?Q?...?=) in a header text, as UTF-8. The
// white space between two encoded words goes; a word in a charset we cannot read, or whose
// payload cannot be read, stays as it was written.
std::string DecodeWords(std::string_view text);

// A header's text as a person reads it: UTF-8 whatever the sender wrote (bytes that are no
// UTF-8 read as windows-1252), encoded words decoded, and no control characters (line
// breaks and tabs become blanks, anything else, a zero byte say, U+FFFD), so that it goes
// whole into a log record, a pop-up or a mail.
std::string HeaderText(std::string_view raw);
// text as UTF-8: unchanged when it is UTF-8 already, else read as windows-1252.
std::string AsUtf8(std::string_view text);
bool IsAscii(std::string_view text);

// Header text for a mail this program writes: unchanged when it is ASCII, else UTF-8 as
// encoded words, folded between them so that no line grows long.
std::string EncodeWords(std::string_view utf8);
// A text with CR LF (or LF) line ends as quoted-printable: lines end in CR LF and hold at
// most 76 characters.
std::string EncodeQuotedPrintable(std::string_view text);

// A file name from a message as a bare name that is safe to create in a folder: UTF-8,
// without any folder part ("/" or "\"), without control characters, never "." or "..",
// at most 255 bytes (cut at a character boundary). Empty when nothing usable is left.
std::string BareFileName(std::string_view name);

// Base64 as a stream: white space and line ends are passed over, so that lines need not
// hold whole groups of four; "=" or any other character ends a run, whose last group
// yields the one or two bytes it holds. Within a run it decodes as Qt's
// QByteArray::fromBase64 does (the tests hold it to that); it is our own so that a large
// attachment goes through at the speed of the disk.
class Base64Decoder {
public:
    void Feed(const char* data, size_t size, std::string* out);
    // Ends the run in progress (the end of the part).
    void Finish(std::string* out);

private:
    unsigned char quad_[4] = {};
    size_t have_ = 0;
};

// Quoted-printable as a stream of lines: "=XX" gives that byte, "=" at the end of a line
// (white space may follow it) joins the line to the next, white space at the end of a line
// is dropped (transports add it), and an "=" that starts neither stays as it is.
class QuotedPrintableDecoder {
public:
    void Feed(const char* data, size_t size, std::string* out);
    // The end of a line: CR LF unless the line ended in a soft break.
    void EndLine(std::string* out);

private:
    enum class State { Text, Equals, EqualsHex, EqualsSpace };
    State state_ = State::Text;
    char hex_ = 0;
    // White space not yet known to be inside the line; beyond the cap it is let through
    // (a line of nothing but blanks then keeps some of them, which loses nothing).
    std::string spaces_;
    static constexpr size_t kMaxSpaces = 4096;
};

}  // namespace mime

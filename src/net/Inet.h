#pragma once

// Text, URL and HTTP helpers shared by the monitors. None keeps any state.

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "platform/Registry.h"

class CInet {
public:
    // The position of pattern in text, or npos. A lower-case pattern letter also matches
    // its upper-case form; an upper-case one only itself.
    static size_t FindNoCase(std::string_view text, std::string_view pattern);
    // Whether word occurs in text as a word: punctuation in word is passed over, a few
    // English endings (s, ed, es, ing) are allowed behind it.
    static bool MatchWord(std::string_view text, std::string_view word);
    // Whether every keyword of list occurs in text (MatchWord).
    static bool MatchAllWords(std::string_view text, std::string_view list);
    // Splits "Name <address>" or "address (Name)". 1 (outputs unchanged) for input over 250
    // characters, else 0.
    static int SplitAddress(std::string_view input, std::string* name, std::string* address);

    // Registry helpers: a string of at most 256 bytes (text unchanged when absent) and a
    // 4-byte value.
    static bool ReadString(const RegKey& key, const char* name, std::string* text);
    static bool ReadDword(const RegKey& key, const char* name, DWORD* value);

    // URL helpers. A host written in brackets (an IPv6 address) keeps them; the port of a
    // URL that names none is its scheme's: 443 for https (any case), else 80.
    static int DefaultPort(std::string_view scheme);
    // The scheme a reference begins with ("mailto" of "mailto:x"), or empty when it is a
    // relative reference.
    static std::string_view SchemeOf(std::string_view reference);
    // text with every blank, control byte and byte beyond ASCII, and every character of
    // also, written as %XX: it can then neither split a line nor an argument.
    static std::string PercentEncode(std::string_view text, std::string_view also = {});
    // A server setting: "host", "host:port", "[v6]" or "[v6]:port", or a bare v6 address
    // (more than one colon, no port). The host comes without brackets; port is 0 when the
    // text names none, and then host is the whole text (less any brackets).
    static void SplitHostPort(std::string_view text, std::string* host, int* port);
    static int SplitUrl(std::string_view url, std::string* scheme, std::string* host, int* port,
                        std::string* path);
    static std::string ResolveUrl(std::string_view base, std::string_view link);
    static std::string NormalizeUrl(std::string_view scheme, std::string_view host, int port,
                                    std::string_view path);
    // text begins right after the "<" of an anchor tag.
    static std::string ExtractLink(std::string_view base, std::string_view text);
    // Seconds since 1970 UTC, or 0 when text is no HTTP date.
    static int64_t ParseHttpDate(std::string_view text);
    // The value of header name (with its colon) in the response stored in the file; value
    // is empty when the header is not there.
    static bool GetHeaderValue(int fd, std::string_view name, std::string* value);
    static bool GetHeaderValue(const std::string& path, std::string_view name, std::string* value);

    // Copies part index of the message stored in fd (read from its start, whatever its
    // position) into a new "MM1" temporary file: 0 is the text (the body of a message without
    // parts), 1 the first attachment. Base64 and quoted-printable are decoded, and text is
    // turned into UTF-8. 1 with *tempPath set (the caller deletes the file) when the part has
    // a body; else 0, nothing left behind. *fileName (when given) is the part's file name as
    // a bare name, or empty.
    static int ExtractPart(int fd, int index, std::string* tempPath, std::string* fileName);
};

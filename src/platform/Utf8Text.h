#pragma once

// Cutting UTF-8 text at a byte limit without leaving half a character behind.

#include <cstddef>
#include <string_view>

// The largest cut at or before at (at most the text's length) that splits no character:
// a cut never lands on a continuation byte.
constexpr size_t Utf8CutPoint(std::string_view text, size_t at) {
    if (at >= text.size()) return text.size();
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    return at;
}

// The number of characters of UTF-8 text: every byte that does not continue a character
// counts one (a stray byte counts as one character too).
constexpr size_t Utf8Length(std::string_view text) {
    size_t n = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

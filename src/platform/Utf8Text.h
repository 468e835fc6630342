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

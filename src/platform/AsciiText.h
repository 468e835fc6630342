#pragma once

// Letter case of ASCII only: protocol words, tag names and script keywords compare the same
// in every locale, and the bytes of other scripts pass as they are.

#include <cstddef>
#include <string_view>

namespace ascii {

constexpr char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// text without the blanks, tabs and line ends at either end.
constexpr std::string_view TrimBlanks(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    size_t b = text.find_first_not_of(kBlanks);
    if (b == std::string_view::npos) return {};
    size_t e = text.find_last_not_of(kBlanks);
    return text.substr(b, e - b + 1);
}

}  // namespace ascii

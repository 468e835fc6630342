// A Lumetta display's stored document as the ticker shows it, on any bytes (a whole HTTP
// response or a bare body), and the link a click opens from any stored address (the first
// line of the input). What the strip draws is one line of UTF-8 in its bounds, never an
// empty title; what a click opens is a web address or nothing, never an option.
#include <cctype>
#include <cstdint>
#include <string>

#include "app/Ticker.h"
#include "platform/Registry.h"

namespace {

void CheckLine(const std::string& s, size_t limit) {
    if (s.size() > limit || !IsValidUtf8(s) || s.find_first_of("\r\n") != std::string::npos)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string url = bytes.substr(0, bytes.find('\n'));
    std::string link = CTicker::LinkOf(url);
    if (!link.empty()) {
        // The scheme in any case, as typed.
        std::string scheme;
        for (char c : link.substr(0, 8)) scheme += static_cast<char>(std::tolower(c));
        if (scheme.rfind("http://", 0) != 0 && scheme.rfind("https://", 0) != 0) __builtin_trap();
    }

    TickerItem item = CTicker::ItemFromDocument(bytes, link);
    if (item.title.empty()) __builtin_trap();
    CheckLine(item.title, CTicker::kTitleLimit);
    CheckLine(item.text, CTicker::kTextLimit);
    if (item.link != link) __builtin_trap();
    return 0;
}

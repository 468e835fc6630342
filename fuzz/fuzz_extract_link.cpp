// ExtractLink on any anchor text, against a fixed base.
#include <cstdint>
#include <string>

#include "net/Inet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    std::string link = CInet::ExtractLink("http://www.example.org:81/dir/page.html?q=1", text);
    if (link.size() > 300 + 40) __builtin_trap();  // at most 256 characters are collected
    return 0;
}

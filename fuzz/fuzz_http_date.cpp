// ParseHttpDate on any text: a result is 0 or a time the 32-bit records can hold.
#include <cstdint>
#include <string>

#include "net/Inet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    int64_t t = CInet::ParseHttpDate(text);
    if (t < 0 || t > 0xFFFFFFFFLL) __builtin_trap();
    return 0;
}

// SplitAddress on any header value: outputs never grow past the input.
#include <cstdint>
#include <string>

#include "net/Inet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    std::string name, address;
    if (CInet::SplitAddress(input, &name, &address) == 0 &&
        name.size() + address.size() > input.size())
        __builtin_trap();
    return 0;
}

// GetHeaderValue on any stored response; the header name is taken from the first line.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "net/Inet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nl = input.find('\n');
    std::string name = input.substr(0, std::min<size_t>(nl, 40));
    static int fd = memfd_create("response", 0);
    if (fd < 0) return 0;
    if (ftruncate(fd, 0) != 0) return 0;
    std::string body = nl == std::string::npos ? std::string() : input.substr(nl + 1);
    if (pwrite(fd, body.data(), body.size(), 0) != static_cast<ssize_t>(body.size())) return 0;
    std::string value;
    if (CInet::GetHeaderValue(fd, name, &value) && value.size() > body.size()) __builtin_trap();
    return 0;
}

// SplitUrl, ResolveUrl and NormalizeUrl on any bytes: the input is split at its first
// newline into a base URL and a link.
#include <cstdint>
#include <string>

#include "net/Inet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t nl = input.find('\n');
    std::string base = input.substr(0, nl);
    std::string link = nl == std::string::npos ? std::string() : input.substr(nl + 1);
    std::string scheme, host, path;
    int port = 0;
    CInet::SplitUrl(base, &scheme, &host, &port, &path);
    if (port < 1 || port > 65535) __builtin_trap();
    if (path.empty() || path[0] != '/') __builtin_trap();
    std::string resolved = CInet::ResolveUrl(base, link);
    for (char c : resolved)
        if (static_cast<unsigned char>(c) < 32) __builtin_trap();  // never a control character
    CInet::NormalizeUrl(scheme, host, port, path);
    CInet::SplitUrl(resolved, &scheme, &host, &port, &path);
    CInet::NormalizeUrl(scheme, host, port, path);
    return 0;
}

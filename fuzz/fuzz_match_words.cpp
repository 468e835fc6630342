// MatchAllWords (and so MatchWord) on any text and keyword list, split at a NUL byte.
#include <cstdint>
#include <string>

#include "net/Inet.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    size_t cut = input.find('\0');
    std::string text = input.substr(0, cut);
    std::string list = cut == std::string::npos ? std::string() : input.substr(cut + 1);
    CInet::MatchAllWords(text, list);
    CInet::MatchWord(text, list);
    CInet::FindNoCase(text, list);
    return 0;
}

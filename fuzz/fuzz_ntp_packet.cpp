// The NTP answer reader on any datagram, and the conversion of its timestamps: a datagram
// shorter than the header is refused, every field is read from its own bits, and every
// timestamp lands between 1968 and 2104 (the two eras RFC 4330 folds together), with the
// fraction a part of one second that never runs backwards.
#include <cstdint>
#include <string>

#include "monitors/TimeSync.h"
#include "net/Sntp.h"

namespace {

uint64_t Be64(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

void CheckTimestamp(uint64_t t) {
    // NTP seconds 2^31 to 2^32 + 2^31 - 1 once folded, less the 70 years to 1970: early 1968
    // to early 2104.
    constexpr int64_t kFirst = -61505152000LL, kLast = 4233462143999LL;
    int64_t ms = NtpToUnixMs(t);
    if (ms < kFirst || ms > kLast) __builtin_trap();
    // The same second read with no fraction is at most 999 ms earlier.
    int64_t whole = NtpToUnixMs(t & ~uint64_t{0xFFFFFFFF});
    if (ms < whole || ms - whole > 999) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    NtpAnswer a;
    const bool read = ParseNtpPacket(data, size, &a);
    if (read != (size >= 48)) __builtin_trap();
    if (!read) return 0;
    if (a.leap != data[0] >> 6 || a.version != ((data[0] >> 3) & 7) || a.mode != (data[0] & 7) ||
        a.stratum != data[1])
        __builtin_trap();
    if (a.origin != Be64(data + 24) || a.receive != Be64(data + 32) ||
        a.transmit != Be64(data + 40))
        __builtin_trap();
    CheckTimestamp(a.origin);
    CheckTimestamp(a.receive);
    CheckTimestamp(a.transmit);

    // A datagram that is text: what a mistyped address might bring back as a time service.
    std::string text(reinterpret_cast<const char*>(data), size);
    IsTimeServerUrl(text);
    return 0;
}

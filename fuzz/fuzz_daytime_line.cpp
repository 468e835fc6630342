// ParseDaytimeLine on any text: a valid reading is a real date and time from 1970 to 9999,
// and its seconds since 1970 agree with the fields.
#include <cstdint>
#include <string_view>

#include "monitors/TimeSync.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view line(reinterpret_cast<const char*>(data), size);
    DaytimeReading r = ParseDaytimeLine(line);
    if (r.fields < 0 || r.fields > 10) __builtin_trap();
    if (r.valid) {
        if (r.fields != 10 || r.year < 1970 || r.year > 9999 || r.month < 1 || r.month > 12 ||
            r.day < 1 || r.day > 31 || r.hour < 0 || r.hour > 23 || r.minute < 0 || r.minute > 59 ||
            r.second < 0 || r.second > 60)
            __builtin_trap();
        // 1970-01-01 to 9999-12-31 23:59:60.
        if (r.utcSeconds < 0 || r.utcSeconds > 253402300800LL) __builtin_trap();
        if (r.utcSeconds != UtcSeconds(r.year, r.month, r.day, r.hour, r.minute, r.second))
            __builtin_trap();
    }
    return 0;
}

#include "platform/SystemClock.h"

#include <locale.h>

#include <cerrno>
#include <cstring>
#include <mutex>

namespace {
std::mutex gMutex;
std::shared_ptr<SystemClock> gClock;
}  // namespace

SystemClock& SystemClock::Get() {
    static RealClock real;
    std::lock_guard lock(gMutex);
    return gClock ? *gClock : static_cast<SystemClock&>(real);
}

void SystemClock::Install(std::shared_ptr<SystemClock> clock) {
    std::lock_guard lock(gMutex);
    gClock = std::move(clock);
}

time_t RealClock::Now() const {
    return ::time(nullptr);
}

uint64_t RealClock::TickCount() const {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1000000;
}

bool RealClock::SetUtc(time_t when, std::string* error) {
    timespec ts{when, 0};
    if (clock_settime(CLOCK_REALTIME, &ts) != 0) {
        if (error) *error = std::strerror(errno);
        return false;
    }
    return true;
}

namespace {

std::string FormatTm(const tm& when, const char* format) {
    // One C locale for the life of the process; newlocale cannot fail for "C".
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    char buf[256];
    size_t n = strftime_l(buf, sizeof buf, format, &when, cLocale);
    return std::string(buf, n);
}

}  // namespace

std::string FormatLocalTime(time_t when, const char* format) {
    tm local{};
    localtime_r(&when, &local);
    return FormatTm(local, format);
}

std::string FormatUtcTime(time_t when, const char* format) {
    tm utc{};
    gmtime_r(&when, &utc);
    return FormatTm(utc, format);
}

#include "platform/SystemClock.h"

#include <dirent.h>
#include <locale.h>
#include <sys/timex.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
    clock_gettime(CLOCK_BOOTTIME, &ts);
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

int SystemClock::SetUtcMs(int64_t ms) {
    std::string error;
    auto seconds = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    return SetUtc(seconds, &error) ? 0 : EIO;
}

int64_t RealClock::NowMs() const {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int RealClock::SetUtcMs(int64_t ms) {
    int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    timespec ts{static_cast<time_t>(seconds), static_cast<long>((ms - seconds * 1000) * 1000000)};
    return clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno;
}

namespace {

// The services that keep a Linux system's clock: the name the kernel gives the process
// (cut at 15 characters) and the name to tell.
struct TimeService {
    const char* process;
    const char* name;
};
constexpr TimeService kTimeServices[] = {
    {"chronyd", "chronyd"},   {"ntpd", "ntpd"},   {"systemd-timesyn", "systemd-timesyncd"},
    {"openntpd", "openntpd"}, {"ptp4l", "ptp4l"}, {"phc2sys", "phc2sys"}};

const char* RunningTimeService() {
    DIR* proc = ::opendir("/proc");
    if (!proc) return nullptr;
    const char* found = nullptr;
    while (!found) {
        dirent* entry = ::readdir(proc);
        if (!entry) break;
        const char* pid = entry->d_name;
        if (pid[0] < '1' || pid[0] > '9') continue;
        char path[64];
        std::snprintf(path, sizeof path, "/proc/%.20s/comm", pid);
        FILE* f = std::fopen(path, "re");
        if (!f) continue;  // gone meanwhile, or not ours to read
        char comm[32] = {};
        size_t n = std::fread(comm, 1, sizeof comm - 1, f);
        std::fclose(f);
        while (n > 0 && (comm[n - 1] == '\n' || comm[n - 1] == '\0')) comm[--n] = 0;
        for (const TimeService& service : kTimeServices)
            if (std::strcmp(comm, service.process) == 0) found = service.name;
    }
    ::closedir(proc);
    return found;
}

}  // namespace

std::string RealClock::TimeKeeper() const {
    if (const char* service = RunningTimeService())
        return std::string("the time service ") + service;
    timex tx{};
    int state = ::adjtimex(&tx);
    if (state != -1 && state != TIME_ERROR && (tx.status & STA_UNSYNC) == 0)
        return "the system's own time synchronisation";
    if (::access("/run/systemd/timesync/synchronized", F_OK) == 0)
        return "the time service systemd-timesyncd";
    return {};
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

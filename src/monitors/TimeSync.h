#pragma once

// The clock step of a schedule run: asks a time service for the time and sets the system
// clock from it, when the service says it is healthy and the clock is off by at most thirty
// minutes. The service is a daytime server reached through the web client (its one line
// is the "not HTTP" reply) or, for an ntp:// address, an NTP server.

#include <cstdint>
#include <string>
#include <string_view>

#include "net/Http.h"
#include "net/Panel.h"
#include "net/Sntp.h"
#include "platform/TempFile.h"

class ActivityLogWriter;

// The service used when the settings name none.
inline constexpr const char* kDefaultTimeServerUrl = "http://time.nist.gov:13/";
inline constexpr int kDaytimePort = 13;

// What a daytime line says: "JJJJJ YR-MO-DA HH:MM:SS TT L H msADV UTC(NIST) OTM".
struct DaytimeReading {
    int fields = 0;      // how many of the ten numbers were read
    bool fit = true;     // every number read fits in its field
    bool valid = false;  // all ten were read and each is in its range
    int64_t mjd = 0;
    int year = 0;  // completed to four digits
    int month = 0, day = 0, hour = 0, minute = 0, second = 0;
    int dst = 0, leap = 0, health = -1;  // health 0: the service is healthy
    int64_t utcSeconds = 0;              // the service's time, seconds since 1970, when valid
};

// Reads the ten numbers of a daytime line as "%d %d-%d-%d %d:%d:%d %d %d %d" would, but
// every number is checked: a number too long for its field, a year that completes outside
// 1970 to 9999, or a date or time that does not exist leaves the reading invalid. Two-digit
// years up to 90 are 20xx, later ones (up to 1000) 19xx.
DaytimeReading ParseDaytimeLine(std::string_view line);

// Whether the clock step can ask the service at url: ntp://host[:port], or an http:// or
// https:// address that names a host. The settings are checked with it before they are
// stored, so that a mistyped address is told when it is typed rather than at some run.
bool IsTimeServerUrl(const std::string& url);

// The time server of a clock step's address as the records name it: the host, and the port
// when it is neither the daytime service's own nor the one the address's scheme implies
// ("time.nist.gov", "127.0.0.1:4013", "[::1]:1123").
std::string TimeServerName(const std::string& url);

// Seconds since 1970 of a UTC calendar time, in 64 bits for every year.
int64_t UtcSeconds(int64_t year, int month, int day, int hour, int minute, int second);

class CTimeSync : public CPanel {
    Q_OBJECT
public:
    explicit CTimeSync(ActivityLogWriter& log, QObject* parent = nullptr);
    ~CTimeSync() override;

    void Start(const std::string& eventName) override;
    void Cancel(int code) override;

    CHttp& http() { return http_; }
    CSntp& sntp() { return sntp_; }
    bool running() const { return running_; }
    const std::string& timeServerUrl() const { return timeServerUrl_; }

protected:
    void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void OnGetDone(uint32_t result);
    void OnSntpDone(uint32_t result);
    // The service's time against the computer's: sets the clock or says why not.
    // serviceMs: the service's time now, milliseconds since 1970.
    void Judge(int64_t serviceMs, int64_t localMs);
    // The clock was not set, and nothing is wrong: told at most once a local day.
    void LeftAlone(const std::string& text);
    void NotResponding(const std::string& said);
    void ReportError(const std::string& message);
    void Finish(WPARAM result);
    void CloseTemp();

    ActivityLogWriter& log_;
    CHttp http_;
    CSntp sntp_;
    TempFile temp_;
    std::string timeServerUrl_;
    std::string serverName_;
    bool running_ = false;
    bool ntp_ = false;
};

#include "monitors/TimeSync.h"

#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "net/Inet.h"
#include "platform/AsciiText.h"
#include "platform/SystemClock.h"
#include "platform/Utf8Text.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

// Reads numbers and separators as scanf's "%d" and literal characters do, without
// scanf's undefined behaviour on numbers that do not fit.
class LineScanner {
public:
    explicit LineScanner(std::string_view s) : s_(s) {}
    // A number: blanks skipped, an optional sign, at least one digit. fits is cleared
    // when it does not fit in an int.
    bool Number(int64_t* value, bool* fits) {
        while (i_ < s_.size() && IsSpace(s_[i_])) ++i_;
        size_t at = i_;
        bool negative = false;
        if (at < s_.size() && (s_[at] == '+' || s_[at] == '-')) negative = s_[at++] == '-';
        if (at >= s_.size() || s_[at] < '0' || s_[at] > '9') return false;
        int64_t v = 0;
        for (; at < s_.size() && s_[at] >= '0' && s_[at] <= '9'; ++at) {
            if (v > INT_MAX) continue;  // already too long; the digits are still used up
            v = v * 10 + (s_[at] - '0');
        }
        if (v > INT_MAX) *fits = false;
        *value = negative ? -v : v;
        i_ = at;
        return true;
    }
    bool Literal(char c) {
        if (i_ < s_.size() && s_[i_] == c) {
            ++i_;
            return true;
        }
        return false;
    }

private:
    static bool IsSpace(char c) {
        return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
    }
    std::string_view s_;
    size_t i_ = 0;
};

bool IsLeap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int64_t year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

// "12 seconds", "31 minutes 5 seconds", "3 hours 2 minutes", "49710 days 6 hours".
std::string Duration(int64_t seconds) {
    auto count = [](int64_t n, const char* unit) {
        return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
    };
    if (seconds < 60) return count(seconds, "second");
    if (seconds < 3600) {
        std::string text = count(seconds / 60, "minute");
        return seconds % 60 ? text + " " + count(seconds % 60, "second") : text;
    }
    if (seconds < 2 * 86400) {
        std::string text = count(seconds / 3600, "hour");
        return seconds % 3600 / 60 ? text + " " + count(seconds % 3600 / 60, "minute") : text;
    }
    std::string text = count(seconds / 86400, "day");
    return seconds % 86400 / 3600 ? text + " " + count(seconds % 86400 / 3600, "hour") : text;
}

// "The system's time is 12 seconds behind the time server S.": the record's second
// sentence, after the reason, so that a cut at the log's text limit takes the server first.
std::string Difference(int64_t serviceAheadSeconds, const std::string& server) {
    if (serviceAheadSeconds == 0)
        return "The system's time agrees with the time server " + server + ".";
    int64_t n = serviceAheadSeconds < 0 ? -serviceAheadSeconds : serviceAheadSeconds;
    return "The system's time is " + Duration(n) + " " +
           (serviceAheadSeconds > 0 ? "behind" : "ahead of") + " the time server " + server + ".";
}

// The service's words as a record quotes them: without the line ends around them, with
// no control character (a NUL would end the record's text there), and short enough that
// the server's name behind them outlives the log's text limit.
std::string Quoted(std::string_view said) {
    constexpr size_t kMaxQuoted = 120;
    std::string_view text = ascii::TrimBlanks(said);
    std::string quoted(text.substr(0, Utf8CutPoint(text, kMaxQuoted)));
    for (char& c : quoted) {
        if (c == '\r' || c == '\n' || c == '\t')
            c = ' ';
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    }
    return quoted.size() < text.size() ? quoted + "..." : quoted;
}

bool SameLocalDay(time_t a, time_t b) {
    tm x{}, y{};
    localtime_r(&a, &x);
    localtime_r(&b, &y);
    return x.tm_year == y.tm_year && x.tm_yday == y.tm_yday;
}

// An ntp:// address: host (a name, an IPv4 address or a bracketed IPv6 one) and port.
bool SplitNtpUrl(const std::string& url, std::string* host, int* port) {
    std::string rest = url.substr(6);  // after "ntp://"
    rest = rest.substr(0, rest.find('/'));
    *port = kNtpPort;
    std::string portText;
    if (!rest.empty() && rest[0] == '[') {
        size_t close = rest.find(']');
        if (close == std::string::npos) return false;
        *host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':') return false;
            portText = rest.substr(close + 2);
            if (portText.empty()) return false;
        }
    } else {
        size_t colon = rest.find(':');
        *host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            if (portText.empty()) return false;
        }
    }
    if (!portText.empty()) {
        if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            return false;
        *port = std::stoi(portText);
        if (*port < 1 || *port > 65535) return false;
    }
    return !host->empty() && host->find_first_of(" \t\r\n@") == std::string::npos;
}

}  // namespace

bool IsTimeServerUrl(const std::string& url) {
    if (strncasecmp(url.c_str(), "ntp://", 6) == 0) {
        std::string host;
        int port = 0;
        return SplitNtpUrl(url, &host, &port);
    }
    // As the web client takes it: what follows a "|" is form data.
    std::string scheme, host, path;
    int port = 0;
    CInet::SplitUrl(std::string_view(url).substr(0, url.find('|')), &scheme, &host, &port, &path);
    return (strcasecmp(scheme.c_str(), "http") == 0 || strcasecmp(scheme.c_str(), "https") == 0) &&
           !host.empty() && host != "[]";
}

std::string TimeServerName(const std::string& url) {
    if (strncasecmp(url.c_str(), "ntp://", 6) == 0) {
        std::string host;
        int port = kNtpPort;
        if (!SplitNtpUrl(url, &host, &port)) return url;
        if (host.find(':') != std::string::npos) host = "[" + host + "]";
        return port == kNtpPort ? host : host + ":" + std::to_string(port);
    }
    std::string scheme, host, path;
    int port = 0;
    CInet::SplitUrl(std::string_view(url).substr(0, url.find('|')), &scheme, &host, &port, &path);
    if (host.empty()) return url;
    // A daytime service has its own port, which an http:// address names to reach it.
    bool usual = port == kDaytimePort || port == CInet::DefaultPort(scheme);
    return usual ? host : host + ":" + std::to_string(port);
}

int64_t UtcSeconds(int64_t year, int month, int day, int hour, int minute, int second) {
    // Days from 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's days_from_civil).
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yoe = year - era * 400;
    int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    int64_t days = era * 146097 + doe - 719468;
    return days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second;
}

DaytimeReading ParseDaytimeLine(std::string_view line) {
    DaytimeReading r;
    LineScanner scan(line);
    // The separator before each number: 0 a blank or none, else the character itself.
    static const char kBefore[10] = {0, 0, '-', '-', 0, ':', ':', 0, 0, 0};
    int64_t v[10] = {};
    bool fits = true;
    for (int i = 0; i < 10; ++i) {
        if (kBefore[i] != 0 && !scan.Literal(kBefore[i])) break;
        if (!scan.Number(&v[i], &fits)) break;
        r.fields = i + 1;
    }
    if (r.fields < 10) return r;
    r.mjd = v[0];
    int64_t year = v[1];
    if (year >= 0 && year <= 90)
        year += 2000;
    else if (year >= 91 && year <= 1000)
        year += 1900;
    r.month = static_cast<int>(v[2]);
    r.day = static_cast<int>(v[3]);
    r.hour = static_cast<int>(v[4]);
    r.minute = static_cast<int>(v[5]);
    r.second = static_cast<int>(v[6]);
    r.dst = static_cast<int>(v[7]);
    r.leap = static_cast<int>(v[8]);
    r.health = static_cast<int>(v[9]);
    // A year the service cannot mean, a 13th month or a 61st second is no time to set the
    // clock to: such a line is treated as a service that did not answer properly.
    r.fit = fits;
    if (!fits || year < 1970 || year > 9999) return r;
    r.year = static_cast<int>(year);
    if (r.month < 1 || r.month > 12 || r.day < 1 || r.day > DaysInMonth(year, r.month) ||
        r.hour < 0 || r.hour > 23 || r.minute < 0 || r.minute > 59 || r.second < 0 || r.second > 60)
        return r;
    r.utcSeconds = UtcSeconds(year, r.month, r.day, r.hour, r.minute, r.second);
    r.valid = true;
    return r;
}

CTimeSync::CTimeSync(ActivityLogWriter& log, QObject* parent) : CPanel(parent), log_(log) {
    RegisterClient(http_, WM_HTTP_LOOKUP_DONE);
    sntp_.SetOwner(this);
}

CTimeSync::~CTimeSync() = default;

void CTimeSync::Start(const std::string&) {
    // Whatever an earlier start left going is over.
    http_.Abort();
    sntp_.Abort();
    temp_.Close();
    running_ = true;
    SetTitle(
        "Updating the current system time with National Institute of Standards && "
        "Technology");
    std::string url;
    bool whole = ReadRootText(settings::kTimeServerUrl, url, 1024);
    // A value too long to read whole (or not text) is named by its setting: cut to fit, the
    // address would name some other place.
    timeServerUrl_ = !whole        ? std::string("the ") + settings::kTimeServerUrl + " setting"
                     : url.empty() ? std::string(kDefaultTimeServerUrl)
                                   : url;
    ntp_ = strncasecmp(timeServerUrl_.c_str(), "ntp://", 6) == 0;
    serverName_ = TimeServerName(timeServerUrl_);

    if (!ntp_) {
        std::string error;
        if (!temp_.CreateUnnamed("TS1", {}, &error)) {
            ReportError(error.empty() ? std::strerror(errno) : error);
            Finish(0);
            return;
        }
    }
    SetLines("Connecting to host for : ", timeServerUrl_);
    if (!whole) {
        ReportError(http_.ErrorText(kHttpBadLink));
        Finish(0);
        return;
    }
    if (ntp_) {
        std::string host;
        int port = kNtpPort;
        if (!SplitNtpUrl(timeServerUrl_, &host, &port)) {
            ReportError(http_.ErrorText(kHttpBadLink));
            Finish(0);
            return;
        }
        uint32_t attempts = settings::ReadRootDword(settings::kConnectionAttempts, 3);
        if (attempts == 0 || attempts > 10) attempts = 3;
        uint32_t rc = sntp_.Query(host, port, static_cast<int>(attempts));
        if (rc != 0) {
            ReportError(sntp_.ErrorText(rc));
            Finish(0);
            return;
        }
    } else {
        uint32_t rc = http_.Get(timeServerUrl_, temp_.Fd());
        if (rc != 0) {
            ReportError(http_.ErrorText(rc));
            Finish(0);
            return;
        }
    }
    SetLine1("Retrieving : ");
}

void CTimeSync::OnStepMessage(UINT msg, WPARAM wParam, LPARAM) {
    if (!running_) return;
    if (msg == WM_HTTP_GET_DONE && !ntp_) OnGetDone(static_cast<uint32_t>(wParam));
    if (msg == WM_SNTP_DONE && ntp_) OnSntpDone(static_cast<uint32_t>(wParam));
}

void CTimeSync::OnGetDone(uint32_t result) {
    std::string line;
    if (result == kHttpNotHttp) {
        line = http_.replyText();
    } else if (result < 1 || result > 399) {
        ReportError(http_.ErrorText(result));
        Finish(0);
        return;
    }
    DaytimeReading reading = ParseDaytimeLine(line);
    // What a web server answered is no line of its: the status says what came instead.
    const std::string said =
        result == kHttpNotHttp ? line : "an HTTP reply with status " + std::to_string(result);
    // A service that says it is unhealthy is passed over, whatever else its line holds.
    if (reading.fields < 10 || !reading.fit)
        NotResponding(said);
    else if (reading.health == 0 && !reading.valid)
        NotResponding(said);
    else if (reading.health == 0)
        Judge(reading.utcSeconds * 1000 + 500,
              static_cast<int64_t>(SystemClock::Get().Now()) * 1000);
    Finish(0);
}

void CTimeSync::OnSntpDone(uint32_t result) {
    if (result != 0) {
        ReportError(sntp_.ErrorText(result));
        Finish(0);
        return;
    }
    const NtpAnswer& a = sntp_.answer();
    if (a.mode != 4 || a.transmit == 0) {
        // Not a server's answer: what it was is all the user can be told.
        NotResponding("NTP mode " + std::to_string(a.mode) + ", stratum " +
                      std::to_string(a.stratum) + ", leap indicator " + std::to_string(a.leap) +
                      (a.transmit == 0 ? ", no transmit time" : ""));
    } else if (a.leap != 3 && a.stratum >= 1 && a.stratum <= 15) {
        // A server that is not synchronised itself (or asks us to go away) is passed over
        // as an unhealthy daytime service is.
        int64_t local = SystemClock::Get().NowMs();
        Judge(local + sntp_.offsetMs(), local);
    }
    Finish(0);
}

void CTimeSync::Judge(int64_t serviceMs, int64_t localMs) {
    SystemClock& clock = SystemClock::Get();
    // Whole seconds, then whole minutes, both cut toward zero; 64 bits, so that no year
    // can wrap round into the window.
    int64_t seconds = serviceMs / 1000 - localMs / 1000;
    int64_t minutes = seconds / 60;
    if (minutes > 30 || minutes < -30) {
        log_.WriteLog(kIconError,
                      "The system's time is off by more than thirty minutes.\r\nPlease check and "
                      "set the time by hand. " +
                          Difference(seconds, serverName_),
                      0, {}, true);
        return;
    }
    // A clock left alone is the normal case on a desktop (no right to set it, or a time
    // service of the system that keeps it): nothing the user must act on, and told once a
    // day, not at every run of an hourly schedule.
    std::string keeper = clock.TimeKeeper();
    if (!keeper.empty()) {
        LeftAlone("The clock was left alone: it is kept by " + keeper + ". " +
                  Difference(seconds, serverName_));
        return;
    }
    // The time measured is the time it was then; what has passed since goes with it.
    int64_t target = serviceMs + (clock.NowMs() - localMs);
    int rc = clock.SetUtcMs(target);
    if (rc == EPERM) {
        LeftAlone(
            "The clock was left alone: this program may not set it (that takes the "
            "CAP_SYS_TIME capability). " +
            Difference(seconds, serverName_));
    } else if (rc != 0) {
        log_.WriteLog(kIconError,
                      std::string("The clock could not be set: ") + std::strerror(rc) + ". " +
                          Difference(seconds, serverName_),
                      0, {}, true);
    } else {
        int64_t moved = serviceMs - localMs;
        int64_t by = (moved < 0 ? -moved : moved) / 1000;
        log_.WriteLog(kIconDefault,
                      std::string("The clock was set ") + (moved < 0 ? "back" : "forward") +
                          " by " + (by == 0 ? std::string("less than a second") : Duration(by)) +
                          " to the time server " + serverName_ + ".",
                      0, {}, false);
    }
}

void CTimeSync::LeftAlone(const std::string& text) {
    // Kept in the store, which every process of the program and every schedule share.
    const time_t now = SystemClock::Get().Now();
    RegKey root;
    if (root.Create(RegKey::LocalMachine(), settings::kRoot, settings::kEventClass) ==
        ERROR_SUCCESS) {
        DWORD last = settings::ReadDword(root, settings::kClockLeftAloneLogged, 0);
        if (last != 0 && SameLocalDay(static_cast<time_t>(last), now)) return;
        root.SetDword(settings::kClockLeftAloneLogged, static_cast<DWORD>(now));
    }
    log_.WriteLog(kIconDefault, text + " This is told once a day.", 0, {}, false);
}

void CTimeSync::NotResponding(const std::string& said) {
    log_.WriteLog(kIconError,
                  "The time server did not respond correctly. It said : " + Quoted(said) +
                      " (time server " + serverName_ + ")",
                  0, {}, true);
}

void CTimeSync::ReportError(const std::string& message) {
    log_.WriteLog(kIconError,
                  "An error occured while retrieving the current time from " + timeServerUrl_ +
                      ".   The error message was : " + message,
                  0, {}, true);
    http_.Abort();
    sntp_.Abort();
}

void CTimeSync::CloseTemp() {
    temp_.Close();
}

void CTimeSync::Finish(WPARAM result) {
    SetLines("Done.", "");
    CloseTemp();
    running_ = false;
    Complete(result);
}

void CTimeSync::Cancel(int code) {
    if (!running_) return;
    SetLine1("Disconnecting from Time Servers");
    http_.Abort();
    sntp_.Abort();
    Finish(static_cast<WPARAM>(code));
}

#include "net/Inet.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "net/UniqueFd.h"
#include "settings/Settings.h"

namespace {

bool IsLower(unsigned char c) {
    return c >= 'a' && c <= 'z';
}
unsigned char Upper(unsigned char c) {
    return IsLower(c) ? c - 'a' + 'A' : c;
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}
bool IsSep(char c) {
    return c == '/' || c == '\\';
}

// A keyword character that stands for any text character.
bool IsJoker(unsigned char c) {
    return (c >= 0x21 && c <= 0x2F) || (c & 0x1F) >= 27;
}

bool NoCaseAt(std::string_view text, size_t at, std::string_view what) {
    if (at + what.size() > text.size()) return false;
    for (size_t i = 0; i < what.size(); ++i)
        if (Upper(text[at + i]) != Upper(what[i])) return false;
    return true;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

std::string HostPart(std::string_view scheme, std::string_view host, int port) {
    std::string out = std::string(scheme) + "://" + std::string(host);
    if (port != CInet::DefaultPort(scheme)) out += ":" + std::to_string(port);
    return out;
}

std::string StripControls(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 32) out += c;
    return out;
}

}  // namespace

size_t CInet::FindNoCase(std::string_view text, std::string_view pattern) {
    if (pattern.empty()) return 0;
    for (size_t start = 0; start + pattern.size() <= text.size(); ++start) {
        size_t i = 0;
        for (; i < pattern.size(); ++i) {
            auto t = static_cast<unsigned char>(text[start + i]);
            auto c = static_cast<unsigned char>(pattern[i]);
            if (t != c && !(IsLower(c) && t == Upper(c))) break;
        }
        if (i == pattern.size()) return start;
    }
    return std::string_view::npos;
}

bool CInet::MatchWord(std::string_view text, std::string_view word) {
    if (word.empty()) return true;
    const size_t n = text.size(), m = word.size();
    size_t p = 0, i = 0, start = 0;
    for (;;) {
        if (i == m) {
            size_t q = p;
            if (q < n && (text[q] == 's' || text[q] == 'S')) ++q;
            if (NoCaseAt(text, q, "ed") || NoCaseAt(text, q, "es")) q += 2;
            if (NoCaseAt(text, q, "ing")) q += 3;
            if (q >= n) return true;
            auto e = static_cast<unsigned char>(text[q]);
            if (e == ':' || (e >= 0x20 && e <= 0x30) || (e & 0x1F) >= 27) return true;
            p = start + 1;
            i = 0;
            continue;
        }
        if (p >= n) return false;
        auto c = static_cast<unsigned char>(word[i]);
        auto t = static_cast<unsigned char>(text[p]);
        bool joker = IsJoker(c);
        bool match = t == c || joker || (IsLower(c) && t == Upper(c));
        if (!match) {
            if (i > 0) {
                p = start + 1;
                i = 0;
            } else {
                ++p;
            }
            continue;
        }
        if (i == 0) {
            // A word begins at the start of the text or after white space.
            if (!joker && p > 0 && !IsSpace(text[p - 1])) {
                ++p;
                continue;
            }
            start = p;
        }
        if (joker && i != m - 1) {
            ++i;  // punctuation in the keyword uses up no text
        } else {
            ++i;
            ++p;
        }
    }
}

bool CInet::MatchAllWords(std::string_view text, std::string_view list) {
    static constexpr std::string_view kSeparators = " ';,!@#$%^&*()_-+=|/?\":";
    list = Trim(list);
    while (!list.empty() && kSeparators.find(list.front()) != std::string_view::npos)
        list.remove_prefix(1);
    list = TrimLeft(list);
    while (!list.empty()) {
        size_t run = 0;
        while (run < list.size() && kSeparators.find(list[run]) == std::string_view::npos) ++run;
        std::string_view keyword = run ? list.substr(0, run) : list;
        if (!MatchWord(text, keyword)) return false;
        list.remove_prefix(keyword.size());
        list = TrimLeft(list);
    }
    return true;
}

std::string CInet::PercentEncode(std::string_view text, std::string_view also) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7F || also.find(static_cast<char>(c)) != std::string_view::npos) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int CInet::SplitAddress(std::string_view input, std::string* name, std::string* address) {
    if (input.size() > 250) return 1;
    std::string n, a;
    bool inAddress = false, sawAddress = false;
    for (char c : input) {
        if (inAddress) {
            if (c == '>') break;
            if (c != ' ') a += c;
        } else if (c == '<') {
            inAddress = sawAddress = true;
        } else if (!std::strchr("\"'()[]{}", c) || c == '\0') {
            n += c;
        }
    }
    if (!sawAddress) {
        std::string_view rest = TrimLeft(n);
        size_t ws = 0;
        while (ws < rest.size() && !IsSpace(rest[ws])) ++ws;
        a = std::string(rest.substr(0, ws));
        n = ws < rest.size() ? std::string(rest.substr(ws + 1)) : std::string();
    }
    *name = std::string(Trim(n));
    *address = std::string(Trim(a));
    return 0;
}

bool CInet::ReadString(const RegKey& key, const char* name, std::string* text) {
    std::string value;
    if (key.GetString(name, &value, 256) != ERROR_SUCCESS) return false;
    *text = value;
    return true;
}

bool CInet::ReadDword(const RegKey& key, const char* name, DWORD* value) {
    return key.GetDword(name, value) == ERROR_SUCCESS;
}

void CInet::SplitHostPort(std::string_view text, std::string* host, int* port) {
    // Anything that is not a plain port after the last colon leaves the whole text as the
    // name, so that the lookup's error names what the user wrote.
    *host = std::string(text);
    *port = 0;
    std::string_view name = text;
    size_t colon = text.rfind(':');
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos) return;
        if (close + 1 == text.size()) {
            *host = std::string(text.substr(1, close - 1));
            return;
        }
        if (close + 1 != colon) return;
        name = text.substr(1, close - 1);
    } else {
        // A bare v6 address has colons of its own and no room for a port.
        if (colon == std::string_view::npos || text.find(':') != colon) return;
        name = text.substr(0, colon);
    }
    std::string_view digits = text.substr(colon + 1);
    if (name.empty() || digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string_view::npos)
        return;
    int value = std::atoi(std::string(digits).c_str());
    if (value < 1 || value > 65535) return;
    *host = std::string(name);
    *port = value;
}

std::string_view CInet::SchemeOf(std::string_view reference) {
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (reference.empty() || !alpha(reference[0])) return {};
    for (size_t i = 1; i < reference.size(); ++i) {
        char c = reference[i];
        if (c == ':') return reference.substr(0, i);
        if (!alpha(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return {};
    }
    return {};
}

int CInet::DefaultPort(std::string_view scheme) {
    return NoCaseAt(scheme, 0, "https") && scheme.size() == 5 ? 443 : 80;
}

int CInet::SplitUrl(std::string_view url, std::string* scheme, std::string* host, int* port,
                    std::string* path) {
    std::string s, h, p = "/";
    std::string_view copy = url, rest = url;
    size_t colon = url.find(':');
    if (colon != std::string_view::npos) {
        s = std::string(url.substr(0, colon));
        rest = url.substr(colon + 1);
        copy = url.substr(0, colon);
    } else {
        s = "http";
    }
    int portNumber = DefaultPort(s);
    std::string_view authority;
    size_t slashes = rest.find("//");
    authority = slashes != std::string_view::npos ? rest.substr(slashes + 2) : copy;
    size_t slash = authority.find('/');
    if (slash != std::string_view::npos) {
        p += std::string(authority.substr(slash + 1));
        authority = authority.substr(0, slash);
    }
    size_t hash = p.find('#');
    if (hash != std::string::npos) p.erase(hash);
    size_t at = authority.find('@');
    if (at != std::string_view::npos) authority.remove_prefix(at + 1);
    // An IPv6 address is written in brackets, its colons inside them; the host keeps the
    // brackets, so that every URL, Host line and log text built from it stays readable.
    size_t hostEnd = 0;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        if (close != std::string_view::npos) hostEnd = close + 1;
    }
    size_t portColon = authority.find(':', hostEnd);
    if (portColon != std::string_view::npos) {
        long value = 0;
        for (size_t i = portColon + 1; i < authority.size() && IsDigit(authority[i]); ++i) {
            value = value * 10 + (authority[i] - '0');
            if (value > 65535) break;
        }
        if (value > 0 && value <= 65535) portNumber = static_cast<int>(value);
        authority = authority.substr(0, portColon);
    }
    h = std::string(authority);
    if (scheme) *scheme = s;
    if (host) *host = h;
    if (port) *port = portNumber;
    if (path) *path = p;
    return 0;
}

std::string CInet::ResolveUrl(std::string_view base, std::string_view link) {
    if (link.empty()) return {};
    size_t colon = link.find(':'), slash = link.find('/');
    if (colon != std::string_view::npos && slash != std::string_view::npos && slash > colon)
        return StripControls(std::string(link));
    std::string scheme, host, path;
    int port = 80;
    SplitUrl(base, &scheme, &host, &port, &path);
    if (link.front() == '/' || link.front() == '\\')
        return StripControls(HostPart(scheme, host, port) + std::string(link));
    std::string dir = path;
    size_t cut = dir.find('|');
    if (cut == std::string::npos) cut = dir.find('?');
    if (cut != std::string::npos) dir.erase(cut);
    size_t last = dir.find_last_of("/\\");
    if (last != std::string::npos) dir.erase(last + 1);
    return StripControls(HostPart(scheme, host, port) + dir + std::string(link));
}

std::string CInet::NormalizeUrl(std::string_view scheme, std::string_view host, int port,
                                std::string_view path) {
    std::string out;
    out.reserve(path.size());
    for (char ch : path) {
        out += ch;
        if (!IsSep(ch)) continue;
        size_t n = out.size();
        // "/./" -> "/"
        if (n >= 3 && IsSep(out[n - 3]) && out[n - 2] == '.') {
            out.erase(n - 3, 2);
            n = out.size();
        }
        // "/seg/../" -> "/", never above the first character
        if (n >= 4 && out[n - 2] == '.' && out[n - 3] == '.' && IsSep(out[n - 4])) {
            size_t k = n - 4;
            size_t j = k == 0 ? std::string::npos : out.find_last_of("/\\", k - 1);
            if (k == 0)
                out.erase(1);
            else if (j == std::string::npos)
                out.erase(0, n);
            else
                out.erase(j + 1);
            n = out.size();
        }
        // "//" -> "/"
        if (n >= 2 && IsSep(out[n - 2]) && IsSep(out[n - 1])) out.pop_back();
    }
    return HostPart(scheme, host, port) + out;
}

std::string CInet::ExtractLink(std::string_view base, std::string_view text) {
    static constexpr std::string_view kSkip = "\t <>=:;,\"`|-+!?([{)]}";
    if (text.size() < 8) return {};
    size_t i = 8;
    while (i < text.size() && kSkip.find(text[i]) != std::string_view::npos) {
        if (text[i] == '>') return {};
        ++i;
    }
    std::string link;
    for (;;) {
        if (i >= text.size()) return {};
        if (text[i] == '"' || text[i] == '>' || link.size() >= 256) break;
        link += text[i++];
    }
    size_t hash = link.find('#');
    if (hash != std::string::npos) link.erase(hash);
    return ResolveUrl(base, link);
}

namespace {

// Two characters as a number; a leading non-digit counts for nothing. -1 when no number.
int TwoDigits(std::string_view s, size_t at) {
    char a = s[at], b = s[at + 1];
    if (!IsDigit(b)) return -1;
    return IsDigit(a) ? (a - '0') * 10 + (b - '0') : b - '0';
}

int Month(std::string_view s, size_t at) {
    static const char* names[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char m[3] = {static_cast<char>(Upper(s[at])), s[at + 1], s[at + 2]};
    for (int k = 1; k < 3; ++k)
        if (m[k] >= 'A' && m[k] <= 'Z') m[k] = static_cast<char>(m[k] - 'A' + 'a');
    for (int i = 0; i < 12; ++i)
        if (std::memcmp(m, names[i], 3) == 0) return i;
    return 0;  // an unknown month counts as January
}

}  // namespace

int64_t CInet::ParseHttpDate(std::string_view text) {
    int day, month, year, hour, minute, second;
    size_t comma = text.find(',');
    if (comma != std::string_view::npos) {
        std::string_view r = text.substr(comma + 1);
        while (!r.empty() && r.front() == ' ') r.remove_prefix(1);
        if (r.find('-') != std::string_view::npos) {
            if (r.size() < 18) return 0;
            day = TwoDigits(r, 0);
            month = Month(r, 3);
            year = TwoDigits(r, 7);
            hour = TwoDigits(r, 10);
            minute = TwoDigits(r, 13);
            second = TwoDigits(r, 16);
            if (year >= 0 && year < 70) year += 100;  // two-digit years below 70 are 20xx
        } else {
            if (r.size() < 20) return 0;
            day = TwoDigits(r, 0);
            month = Month(r, 3);
            year = 0;
            for (size_t i = 7; i < 11; ++i) {
                if (!IsDigit(r[i])) return 0;
                year = year * 10 + (r[i] - '0');
            }
            year -= 1900;
            hour = TwoDigits(r, 12);
            minute = TwoDigits(r, 15);
            second = TwoDigits(r, 18);
        }
    } else {
        std::string_view r = text;
        while (!r.empty() && r.front() == ' ') r.remove_prefix(1);
        if (r.size() < 24) return 0;
        month = Month(r, 4);
        day = TwoDigits(r, 8);
        hour = TwoDigits(r, 11);
        minute = TwoDigits(r, 14);
        second = TwoDigits(r, 17);
        year = TwoDigits(r, 22);
        if (year >= 0 && year < 70) year += 100;
    }
    // Every year up to 2105 fits the unsigned 32-bit times that the records keep.
    if (second < 0 || second > 59 || minute < 0 || minute > 59 || hour < 0 || hour > 23 ||
        day < 1 || day > 31 || month < 0 || month > 11 || year < 70 || year > 205)
        return 0;
    tm t{};
    t.tm_sec = second;
    t.tm_min = minute;
    t.tm_hour = hour;
    t.tm_mday = day;
    t.tm_mon = month;
    t.tm_year = year;
    return static_cast<int64_t>(timegm(&t));
}

bool CInet::GetHeaderValue(int fd, std::string_view name, std::string* value) {
    // Callers quote the value as it stands: a header that is not there reads as no text,
    // never as whatever an earlier lookup left behind.
    value->clear();
    // The header is read whole (up to its blank line), so that a line that straddles two
    // reads is found like any other; a file without a blank line is read no further than
    // any header could reach.
    constexpr size_t kMaxHeaderScan = 1u << 20;
    std::string head;
    char block[4096];
    off_t offset = 0;
    size_t end = std::string::npos;
    while (head.size() < kMaxHeaderScan) {
        ssize_t got = ::pread(fd, block, sizeof block, offset);
        if (got <= 0) break;
        size_t before = head.size();
        head.append(block, static_cast<size_t>(got));
        offset += got;
        end = head.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
        if (end != std::string::npos) break;
    }
    std::string_view b(head);
    size_t limit = end != std::string::npos ? end : b.size();
    for (size_t from = 0;;) {
        size_t at = FindNoCase(b.substr(from), name);
        if (at == std::string_view::npos) return false;
        at += from;
        if (at > limit) return false;  // past the end of the header the rest is body
        if (at == 0 || b[at - 1] == '\n' || b[at - 1] == '\r') {
            // A value may go on over lines that begin with a blank (a folded header line);
            // the pieces join with one blank, as a reader of the unfolded line sees it.
            std::string text;
            size_t v = at + name.size();
            const size_t stop = end != std::string::npos ? end : b.size();
            for (;;) {
                while (v < b.size() && (b[v] == ' ' || b[v] == '\t')) ++v;
                size_t e = v;
                while (e < b.size() && b[e] != '\r' && b[e] != '\n' && b[e] != '\0') ++e;
                if (e > v) {
                    if (!text.empty()) text += ' ';
                    text.append(b.substr(v, e - v));
                }
                if (e >= b.size() || b[e] == '\0') break;
                size_t next = e + (b.compare(e, 2, "\r\n") == 0 ? 2 : 1);
                if (next >= stop || (b[next] != ' ' && b[next] != '\t')) break;
                v = next;
            }
            *value = std::move(text);
            return true;
        }
        from = at + 1;
    }
}

bool CInet::GetHeaderValue(const std::string& path, std::string_view name, std::string* value) {
    value->clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    return GetHeaderValue(fd.get(), name, value);
}

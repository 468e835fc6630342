// The activity log reader on any file: the input is the file. A first byte of 0xFF repeats
// the rest past the reader's own buffer, so that records cut by its reads are met too.
// Every whole record is read, in order, as its own 516 bytes say; a torn one at the end is
// not. A record read and written again keeps what fits and reads back the same the second
// time; its listing line stays one line of five fields, and each field's escapes undo.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/ActivityLog.h"

namespace {

std::string g_path;

void RemoveFile() {
    ::unlink(g_path.c_str());
}

int LogFile() {
    static int fd = -1;
    if (fd < 0) {
        const char* dir = std::getenv("TMPDIR");
        g_path = std::string(dir && *dir ? dir : "/tmp") + "/fuzz_log_reader-" +
                 std::to_string(::getpid()) + ".log";
        fd = ::open(g_path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) __builtin_trap();
        std::atexit(RemoveFile);
    }
    return fd;
}

bool Same(const LogRecord& a, const LogRecord& b) {
    return a.icon == b.icon && a.time == b.time && a.action == b.action && a.link == b.link &&
           a.text == b.text;
}

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Undoes the listing's escapes; false for a text no field escapes to.
bool Unescape(std::string_view in, std::string* out) {
    out->clear();
    for (size_t i = 0; i < in.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(in[i]);
        if (c == '\t' || c == '\n' || c == '\r') return false;
        if (c != '\\') {
            *out += static_cast<char>(c);
            continue;
        }
        if (++i == in.size()) return false;
        switch (in[i]) {
            case '\\':
                *out += '\\';
                break;
            case 't':
                *out += '\t';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 'x': {
                int hi = i + 1 < in.size() ? Hex(in[i + 1]) : -1;
                int lo = i + 2 < in.size() ? Hex(in[i + 2]) : -1;
                if (hi < 0 || lo < 0) return false;
                *out += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

void CheckRecord(const LogRecord& r) {
    if (r.link.size() > 256 || r.text.size() > 248) __builtin_trap();
    if (r.link.find('\0') != std::string::npos || r.text.find('\0') != std::string::npos)
        __builtin_trap();
    // Written again: what fits is kept, and the second time nothing changes.
    LogRecord again = LogRecord::Decode(r.Encode().data());
    if (again.icon != r.icon || again.time != r.time || again.action != r.action) __builtin_trap();
    if (again.link.size() > kLogLinkMax || r.link.compare(0, again.link.size(), again.link) != 0)
        __builtin_trap();
    if (r.text.compare(0, again.text.size(), again.text) != 0) __builtin_trap();
    if (!Same(LogRecord::Decode(again.Encode().data()), again)) __builtin_trap();

    std::string line = FormatLogLine(r);
    size_t tabs = 0;
    for (char c : line) {
        if (c == '\n' || c == '\r') __builtin_trap();
        tabs += c == '\t';
    }
    if (tabs != 4) __builtin_trap();
    std::string back;
    if (!Unescape(EscapeLogField(r.link), &back) || back != r.link) __builtin_trap();
    if (!Unescape(EscapeLogField(r.text), &back) || back != r.text) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string file(reinterpret_cast<const char*>(data), size);
    if (size > 1 && data[0] == 0xFF) {
        std::string_view rest(file.data() + 1, size - 1);
        std::string big;
        while (big.size() < kLogRecordSize * 600) big += rest;
        file = std::move(big);
    }
    int fd = LogFile();
    if (::ftruncate(fd, 0) != 0 ||
        ::pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size()))
        __builtin_trap();

    std::vector<LogRecord> records;
    std::string error;
    if (!ReadLogFile(g_path, &records, &error)) __builtin_trap();
    if (records.size() != file.size() / kLogRecordSize) __builtin_trap();
    for (size_t i = 0; i < records.size(); ++i) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(file.data()) + i * kLogRecordSize;
        if (!Same(records[i], LogRecord::Decode(bytes))) __builtin_trap();
        if (i < 8 || i + 1 == records.size()) CheckRecord(records[i]);
    }
    return 0;
}

#include "app/ActivityLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/SettingsStore.h"
#include "platform/DesktopNotifier.h"
#include "platform/FileTrust.h"
#include "platform/SystemClock.h"
#include "platform/TempFile.h"
#include "platform/UserPrompt.h"
#include "platform/Utf8Text.h"

namespace {

constexpr size_t kLinkOffset = 12;
constexpr size_t kLinkSize = 256;
constexpr size_t kTextOffset = 268;
constexpr size_t kTextSize = 248;

void PutLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

uint32_t GetLe32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// At most max bytes of s, never ending inside a UTF-8 sequence.
std::string_view CutUtf8(std::string_view s, size_t max) {
    return s.substr(0, Utf8CutPoint(s, max));
}

std::string CString(const uint8_t* p, size_t size) {
    size_t n = 0;
    while (n < size && p[n]) ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

std::string FormatTime(uint32_t t, const char* format) {
    return FormatLocalTime(static_cast<time_t>(t), format);
}

}  // namespace

std::vector<uint8_t> LogRecord::Encode() const {
    std::vector<uint8_t> out(kLogRecordSize, 0);
    PutLe32(&out[0], icon);
    PutLe32(&out[4], time);
    PutLe32(&out[8], action);
    auto l = CutUtf8(link, kLogLinkMax);
    std::memcpy(&out[kLinkOffset], l.data(), l.size());
    auto t = CutUtf8(text, kTextSize - 1);
    std::memcpy(&out[kTextOffset], t.data(), t.size());
    return out;
}

LogRecord LogRecord::Decode(const uint8_t* bytes) {
    LogRecord r;
    r.icon = GetLe32(bytes);
    r.time = GetLe32(bytes + 4);
    r.action = GetLe32(bytes + 8);
    r.link = CString(bytes + kLinkOffset, kLinkSize);
    r.text = CString(bytes + kTextOffset, kTextSize);
    return r;
}

namespace {

// One record a line, TAB between fields: a backslash, tab, line feed, lone carriage
// return or other control byte in a field is written as an escape a reader can undo
// (\\, \t, \n, \r, \xHH). crlfAsBar: CR LF, the message's own line break, shows as " | ".
void AppendEscaped(std::string& line, std::string_view field, bool crlfAsBar) {
    for (size_t i = 0; i < field.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (crlfAsBar && c == '\r' && i + 1 < field.size() && field[i + 1] == '\n') {
            line += " | ";
            ++i;
        } else if (c == '\\') {
            line += "\\\\";
        } else if (c == '\t') {
            line += "\\t";
        } else if (c == '\n') {
            line += "\\n";
        } else if (c == '\r') {
            line += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            static const char kHex[] = "0123456789abcdef";
            line += "\\x";
            line += kHex[c >> 4];
            line += kHex[c & 15];
        } else {
            line += static_cast<char>(c);
        }
    }
}

}  // namespace

std::string EscapeLogField(std::string_view field) {
    std::string out;
    AppendEscaped(out, field, false);
    return out;
}

std::string FormatLogLine(const LogRecord& record) {
    std::string line = record.time ? FormatTime(record.time, "%Y-%m-%d %H:%M:%S") : "-";
    line += '\t' + std::to_string(record.icon) + '\t' + std::to_string(record.action) + '\t';
    AppendEscaped(line, record.link, false);
    line += '\t';
    std::string_view text = record.text;
    if (text.substr(0, 2) == "\r\n") text.remove_prefix(2);
    AppendEscaped(line, text, true);
    return line;
}

bool ReadLogFile(const std::string& path, std::vector<LogRecord>* records, std::string* error) {
    records->clear();
    std::string distrust;
    int fd = filetrust::OpenOwnFile(path, O_RDONLY, 0, &distrust);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        if (error)
            *error =
                distrust.empty() ? LogFileErrorText(errno, path) : LogFileTrustText(path, distrust);
        return false;
    }
    std::vector<uint8_t> buf(kLogRecordSize * 256);
    size_t have = 0;
    bool ok = true;
    for (;;) {
        ssize_t n = ::read(fd, buf.data() + have, buf.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (error) *error = LogFileErrorText(errno, path);
            ok = false;
            break;
        }
        if (n == 0) break;
        have += static_cast<size_t>(n);
        size_t whole = have / kLogRecordSize;
        for (size_t i = 0; i < whole; ++i)
            records->push_back(LogRecord::Decode(buf.data() + i * kLogRecordSize));
        size_t rest = have - whole * kLogRecordSize;
        std::memmove(buf.data(), buf.data() + whole * kLogRecordSize, rest);
        have = rest;
    }
    ::close(fd);
    return ok;  // a partial record at the end is never shown
}

std::string LogFileErrorText(int error, const std::string& fileName) {
    switch (error) {
        case ENOENT:
            return fileName + " was not found.";
        case EACCES:
        case EPERM:
        case EROFS:
            return "Access to " + fileName + " was denied.";
        case ENOSPC:
        case EDQUOT:
            return "Disk full while accessing " + fileName + ".";
        case EIO:
            return "A hardware I/O error was reported while accessing " + fileName + ".";
        case EISDIR:
            return fileName + " is a folder, not a file.";
        case EFBIG:
            return fileName + " has reached the largest file size allowed.";
        case ELOOP:
            return LogFileTrustText(fileName, "is a symbolic link");
        default:
            return "An unexpected error occurred while accessing " + fileName + " (" +
                   std::strerror(error) + ").";
    }
}

std::string LogFileTrustText(const std::string& fileName, const std::string& distrust) {
    return fileName + " " + distrust + ": the activity log is not used through it.";
}

// ---------------------------------------------------------------------------------------

CActivityLog::CActivityLog(std::string fileName, QObject* parent)
    : QObject(parent), fileName_(std::move(fileName)) {}

void CActivityLog::ReportFileError(int error, const std::string& distrust) {
    UserPrompt::Get().Ask(distrust.empty() ? LogFileErrorText(error, fileName_)
                                           : LogFileTrustText(fileName_, distrust),
                          "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
}

int CActivityLog::OpenFile(int flags, std::string* distrust) {
    // Never through a link or into another user's file: the log's records carry links that
    // Preview starts a companion with.
    return filetrust::OpenOwnFile(fileName_, flags, 0600, distrust);
}

void CActivityLog::WriteLog(int icon, const std::string& text, int action, const std::string& link,
                            bool popUp) {
    LogRecord record;
    record.icon = static_cast<uint32_t>(icon);
    record.time = static_cast<uint32_t>(SystemClock::Get().Now());
    record.action = static_cast<uint32_t>(action);
    record.link = CutUtf8(link, kLogLinkMax);
    // The message goes on the bar's second line, behind a CR LF.
    record.text = "\r\n" + std::string(CutUtf8(text, kLogTextMax));
    std::vector<uint8_t> bytes = record.Encode();

    std::string distrust;
    int fd = OpenFile(O_WRONLY | O_CREAT | O_APPEND, &distrust);
    if (fd < 0) {
        ReportFileError(errno, distrust);
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        ReportFileError(e);
        return;
    }
    // A record torn by a crash or a full disk would shift every later record off its
    // 516-byte place; drop the torn tail so that new records stay readable.
    off_t torn = st.st_size % static_cast<off_t>(kLogRecordSize);
    if (torn != 0 && ::ftruncate(fd, st.st_size - torn) != 0) {
        int e = errno;
        ::close(fd);
        ReportFileError(e);
        return;
    }
    if (!WriteAll(fd, bytes.data(), bytes.size())) {
        int e = errno ? errno : ENOSPC;
        // Leave no half record behind.
        if (::fstat(fd, &st) == 0 && st.st_size % static_cast<off_t>(kLogRecordSize) != 0)
            (void)::ftruncate(fd, st.st_size - st.st_size % static_cast<off_t>(kLogRecordSize));
        ::close(fd);
        ReportFileError(e);
        return;
    }
    off_t end = ::lseek(fd, 0, SEEK_END);
    ::close(fd);
    logIndex_ = static_cast<int>(end / static_cast<off_t>(kLogRecordSize));
    ShowLogRecord();
    emit recordWritten(record);

    if (popUp) {
        DWORD mode = settings::ReadRootDword(settings::kDisplayMesg, 0);
        if (mode != 2 && (mode != 1 || icon == kIconError)) {
            SetBarVisible(true);
            NotifyDesktop(record, record.text.substr(2));
        }
    }
}

void CActivityLog::SetNotifier(DesktopNotifier* notifier) {
    if (notifier_) disconnect(notifier_, nullptr, this, nullptr);
    notifier_ = notifier;
    if (!notifier_) return;
    // Said once a run, in the log itself: the user who ticked the option and sees nothing
    // finds the reason there.
    connect(notifier_, &DesktopNotifier::unavailable, this, [this](const std::string& why) {
        WriteLog(kIconDefault, "Desktop notifications are not available: " + why, 0, {}, false);
    });
}

void CActivityLog::NotifyDesktop(const LogRecord& record, const std::string& text) {
    if (!notifier_ || settings::ReadRootDword(settings::kDesktopNotifications, 1) == 0) return;
    // Each kind's title and the icon the package installs for it; anything else is ours.
    struct Kind {
        uint32_t icon;
        const char* summary;
        const char* iconName;
    };
    static constexpr Kind kKinds[] = {{kIconWeb, "Quorvane: web site", "quorvane-web"},
                                      {kIconMail, "Quorvane: mail", "quorvane-mail"},
                                      {kIconNews, "Quorvane: news", "quorvane-news"},
                                      {kIconError, "Quorvane: error", "quorvane-error"}};
    DesktopNotifier::Note note;
    note.summary = "Quorvane";
    note.icon = "quorvane";
    for (const Kind& k : kKinds) {
        if (k.icon != record.icon) continue;
        note.summary = k.summary;
        note.icon = k.iconName;
    }
    note.body = text;
    // As the bar's Preview: a record without an action has nothing to open.
    note.action = static_cast<int>(record.action);
    note.link = record.action ? record.link : std::string();
    notifier_->Notify(note);
}

void CActivityLog::ShowLogRecord() {
    std::string distrust;
    int fd = OpenFile(O_RDONLY, &distrust);
    off_t size = 0;
    if (fd < 0) {
        // No file yet: nothing has been logged, which is an empty log, not an error.
        if (errno != ENOENT) {
            ReportFileError(errno, distrust);
            return;
        }
    } else {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            int e = errno;
            ::close(fd);
            ReportFileError(e);
            return;
        }
        size = st.st_size;
    }
    logCount_ = static_cast<int>(size / static_cast<off_t>(kLogRecordSize));
    if (logCount_ < logIndex_) logIndex_ = logCount_;
    if (logIndex_ < 0) logIndex_ = 0;

    bool full = false;
    uint8_t buf[kLogRecordSize];
    if (fd >= 0 && logIndex_ > 0) {
        off_t at = static_cast<off_t>(logIndex_ - 1) * static_cast<off_t>(kLogRecordSize);
        full = ::pread(fd, buf, sizeof buf, at) == static_cast<ssize_t>(sizeof buf);
    }
    if (fd >= 0) ::close(fd);

    LogRecord record;
    if (full) {
        record = LogRecord::Decode(buf);
        bar_.timeText = record.time ? FormatTime(record.time, "%a, %B %d, %X ") : std::string();
        bar_.icon = record.icon ? static_cast<int>(record.icon) : kIconDefault;
        bar_.text = record.text;
    } else {
        bar_.timeText.clear();
        bar_.icon = kIconDefault;
        bar_.text.clear();
        logIndex_ = 0;
    }
    bar_.indexText = std::to_string(logIndex_);
    bar_.countText = std::to_string(logCount_);
    bar_.previousEnabled = logIndex_ > 1;
    bar_.nextEnabled = logIndex_ != logCount_;
    bar_.previewEnabled = record.action != 0;
    previewAction_ = static_cast<int>(record.action);
    previewLink_ = record.action ? record.link : std::string();
    emit barChanged();
}

void CActivityLog::Next() {
    bar_.focus = kLogIconControl;
    if (logIndex_ >= logCount_) {
        bar_.nextEnabled = false;
        emit barChanged();
        return;
    }
    ++logIndex_;
    ShowLogRecord();
}

void CActivityLog::Previous() {
    bar_.focus = kLogIconControl;
    if (logIndex_ < 2) {
        bar_.previousEnabled = false;
        emit barChanged();
        return;
    }
    --logIndex_;
    ShowLogRecord();
}

bool CActivityLog::AskToClear() {
    const std::string question =
        "Delete every record of the activity log? They cannot be brought back.";
    if (UserPrompt::Get().Ask(question, "Quorvane", UserPrompt::YesNoDefaultNo,
                              UserPrompt::Question) != UserPrompt::IdYes)
        return false;
    Clear();
    return true;
}

void CActivityLog::Clear() {
    bar_.focus = kLogIconControl;
    std::string distrust;
    int fd = OpenFile(O_WRONLY | O_CREAT, &distrust);
    if (fd < 0) {
        ReportFileError(errno, distrust);
        return;
    }
    int rc = ::ftruncate(fd, 0);
    int e = errno;
    ::close(fd);
    if (rc != 0) {
        ReportFileError(e);
        return;
    }
    logIndex_ = 0;
    ShowLogRecord();
}

void CActivityLog::Preview() {
    if (previewAction_ != 0) emit previewRequested(previewAction_, previewLink_);
}

void CActivityLog::ToggleBar() {
    if (!bar_.visible) {
        ShowLogRecord();
        SetBarVisible(true);
    } else {
        SetBarVisible(false);
    }
}

void CActivityLog::SetBarVisible(bool visible) {
    if (bar_.visible == visible) return;
    bar_.visible = visible;
    emit barChanged();
}

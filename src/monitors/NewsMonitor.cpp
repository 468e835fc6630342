#include "monitors/NewsMonitor.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "net/Inet.h"
#include "net/Mime.h"
#include "notify/MailHeader.h"
#include "notify/MailQueue.h"
#include "platform/Registry.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

constexpr UINT kProgressTimer = 0;
// Posted to itself between two slices of the overview search.
constexpr UINT WM_NEWS_SEARCH_ON = WM_USER + 0x60;
// Overview lines searched before the loop turns again.
constexpr int kSliceLines = 2000;
// Overview fields kept of a line beyond this many: those behind the line count (Xref and
// the like) are not searched.
constexpr size_t kKeptOverviewFields = 9;
// The bodies are searched in blocks of this size.
constexpr size_t kBodyBlock = 65532;
// The key, below the event's, of the groups named like one of the event's own values.
constexpr const char* kOwnNamedGroups = "Groups";
// Sessions one run may open: a server that breaks each of them is not chased for ever.
constexpr int kMaxSessions = 3;
// Articles missing one after the other at the start of a walk that are asked for by number.
constexpr int kMaxMissingInARow = 1000;
// A stored identifier list is read up to this size.
constexpr size_t kMaxIdList = 64u * 1024 * 1024;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() &&
           (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// The link that goes with a report: what a reader program is given, so anything that could
// end the argument or the line is percent-encoded. An identifier goes into the blank-separated
// list in the same form, which holds no blank.
std::string LinkPart(std::string_view text) {
    return CInet::PercentEncode(text, "\"'%\\`");
}

}  // namespace

CNewsMonitor::CNewsMonitor(ActivityLogWriter& log, QObject* parent) : CPanel(parent), log_(log) {
    RegisterClient(nntp_, WM_NNTP_LOOKUP);
}

CNewsMonitor::~CNewsMonitor() = default;

std::string CNewsMonitor::CutIdentifier(std::string_view text) {
    return std::string(MessageIdCore(text));
}

bool CNewsMonitor::BodyWithinLimit(const std::string& linesHeader, bool enableMax,
                                   int32_t maxLines) {
    if (!enableMax) return true;
    if (maxLines < 0) return false;
    // A header that gives no number says nothing of the length: the body is searched.
    std::string_view text = Trim(linesHeader);
    uint64_t lines = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), lines);
    if (ec != std::errc() || end == text.data()) return true;
    return lines <= static_cast<uint64_t>(maxLines);
}

void CNewsMonitor::ReadSettings() {
    using namespace settings;
    groups_.clear();
    keywords_.clear();
    searchSubject_ = searchAuthor_ = searchBody_ = enableMax_ = false;
    maxLines_ = 0;
    notifyViaEmail_ = notifyViaWindows_ = false;
    notifyEmailTo_.clear();
    RegKey event;
    if (event.Open(RegKey::LocalMachine(), EventPath(eventName_)) != ERROR_SUCCESS) return;
    bool groupsTooLong = false, keywordsTooLong = false;
    // Read whole, though the dialogs write at most 1024 bytes: a longer list written by
    // other means must not be silently no list at all.
    groups_ = ReadMultiString(event, kNewsGroups, &groupsTooLong, kLongList);
    keywords_ = ReadMultiString(event, kKeywords, &keywordsTooLong, kLongList);
    if (groupsTooLong || keywordsTooLong) {
        listsUnreadable_ = true;
        WriteErrorRecord(log_, "watching the news group " + eventName_,
                         std::string("The list ") + (groupsTooLong ? kNewsGroups : kKeywords) +
                             " of the event is too long to be read; nothing was searched.");
    }
    searchSubject_ = ReadDword(event, kSearchSubject, 0) != 0;
    searchAuthor_ = ReadDword(event, kSearchAuthor, 0) != 0;
    searchBody_ = ReadDword(event, kSearchBody, 0) != 0;
    enableMax_ = ReadDword(event, kEnableMax, 0) == 1;
    maxLines_ = static_cast<int32_t>(ReadDword(event, kMaxLines, 0));
    notifyViaEmail_ = ReadDword(event, kNotifyViaEmail, 0) == 1;
    notifyViaWindows_ = ReadDword(event, kNotifyViaWindows, 0) == 1;
    notifyEmailTo_ = ReadString(event, kNotifyEmailTo);
}

void CNewsMonitor::Start(const std::string& eventName) {
    nntp_.Abort();
    KillTimer(kProgressTimer);
    eventName_ = eventName;
    SetTitle(eventName);
    listsUnreadable_ = false;
    memoryFailureTold_ = false;
    ReadSettings();
    file_.Close();
    found_ = 0;
    emailBody_.clear();
    groupIndex_ = -1;
    groupCurrent_ = false;
    mode_ = Mode::kNone;
    sessions_ = 1;
    running_ = true;
    if (listsUnreadable_) return Stop(ERROR_MORE_DATA);
    server_.clear();
    GetNewsServer(server_);
    SetLines({"Connecting to network news server " + server_, "", "", "", ""});
    SetProgress(std::nullopt);
    uint32_t rc = nntp_.Connect(server_, 0);
    if (rc != 0) Error(rc);
}

void CNewsMonitor::OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!running_) return;
    const auto result = static_cast<uint32_t>(wParam);
    switch (msg) {
        case WM_NNTP_CONNECTED:
            return OnConnected(result);
        case WM_NNTP_GROUP:
            return OnGroup(result);
        case WM_NNTP_XOVER:
            return OnOverview(result);
        case WM_NEWS_SEARCH_ON:
            // A slice posted by a search that has ended since is none of this one's.
            if (mode_ == Mode::kOverview && lParam == search_) SearchOverviewSlice();
            return;
        case WM_NNTP_STAT:
            return OnStat(result);
        case WM_NNTP_HEAD:
            return OnHeader(result);
        case WM_NNTP_BODY:
            return OnBody(result);
        case WM_NNTP_NEXT:
            return OnNext(result);
        case WM_NNTP_QUIT: {
            SetLine(0, "Done");
            if (notifyViaEmail_ && found_ != 0) {
                QueueMail(log_, emailBody_, notifyEmailTo_, "Results of News Watch " + eventName_,
                          eventName_ + " <" + notifyEmailTo_ + ">");
            }
            running_ = false;
            file_.Close();
            SetProgress(std::nullopt);
            Complete(0);
            return;
        }
        default:
            return;
    }
}

void CNewsMonitor::OnTimer(UINT id) {
    if (id != kProgressTimer) return CPanel::OnTimer(id);
    if (!running_ || mode_ != Mode::kOverview) return;
    const int lines = nntp_.lineCount();
    SetLine(3, std::to_string(lines) + " Headers");
    SetProgress(start_ < last_ ? static_cast<int>(int64_t(lines) * 100 / (int64_t(last_) - start_))
                               : 0);
}

void CNewsMonitor::OnConnected(uint32_t result) {
    if (result != 0 || nntp_.state() != CNntp::kReady)
        return Error(result != 0 ? result : kNntpNoResponse);
    // A session opened again after one broke goes on with the group behind the one it
    // broke in.
    if (sessions_ == 1) groupIndex_ = -1;
    SetProgress(0);
    NextGroup();
}

void CNewsMonitor::SessionBroke(uint32_t code) {
    // The group in hand is told and left for the next run (its memory as it was); the
    // groups behind it must not wait for a server that breaks on this one, run after run.
    Error(code != 0 ? code : kNntpNoResponse, false);
    KillTimer(kProgressTimer);
    WriteGroupMemory(false);
    ++search_;
    mode_ = Mode::kNone;
    nntp_.Abort();
    // A login the server wants and will not get is no broken session: a new one would only
    // be refused again, with a record each time.
    if (sessions_ >= kMaxSessions || code == kNntpLoginNotSecure || code == kNntpLoginRefused)
        return Stop(code != 0 ? code : kNntpNoResponse);
    ++sessions_;
    SetLine(0, "Connecting to network news server " + server_);
    uint32_t rc = nntp_.Connect(server_, 0);
    if (rc != 0) Error(rc);
}

void CNewsMonitor::NextGroup() {
    groupCurrent_ = false;
    mode_ = Mode::kNone;
    ++groupIndex_;
    if (groupIndex_ >= static_cast<int>(groups_.size())) {
        nntp_.Quit();
        return;
    }
    group_ = groups_[static_cast<size_t>(groupIndex_)];
    SetLines({"Now Searching " + group_, "", "Now searching : " + group_, "Found 0 Articles", ""});
    uint32_t rc = nntp_.Group(group_);
    if (rc != 0) Error(rc);
}

void CNewsMonitor::OnGroup(uint32_t result) {
    if (nntp_.state() != CNntp::kReady) return SessionBroke(result);
    if (result != 0) {
        // A group the server does not carry (any more) is told once a run; the others go on.
        WriteErrorRecord(log_, "watching the news group " + eventName_, nntp_.ErrorText(result));
        return NextGroup();
    }
    // The memory is read only now: a group that could not be selected must not have another
    // group's memory written under its name.
    groupCurrent_ = true;
    missing_ = headless_ = 0;
    first_ = nntp_.firstArticle();
    last_ = nntp_.lastArticle();
    count_ = nntp_.articleCount();
    resume_ = 0;
    oldIds_.clear();
    newIds_.clear();
    {
        RegKey event;
        if (event.Open(RegKey::LocalMachine(), MemoryPath()) == ERROR_SUCCESS) {
            DWORD value = 0;
            if (event.GetDword(group_, &value) == ERROR_SUCCESS) resume_ = value;
            for (std::string& id :
                 settings::ReadWordList(event, group_ + settings::kXidsSuffix, kMaxIdList))
                oldIds_.insert(std::move(id));
        }
    }
    start_ = first_;
    if (resume_ != 0 && static_cast<int64_t>(resume_) >= first_ &&
        static_cast<int64_t>(resume_) <= last_)
        start_ = static_cast<int>(resume_);
    if (count_ <= 0 || last_ < start_ || last_ <= 0) return EndGroup(true);  // nothing to read

    ++search_;
    if (!searchBody_) {
        if (!TruncateFile()) return FileError(errno ? errno : EIO);
        SetLine(0, "Retrieving headers for the news group " + group_);
        SetLine(3, "0 Articles");
        mode_ = Mode::kOverview;
        SetTimer(kProgressTimer, 1000);
        if (nntp_.XOver(file_.Fd(), start_, last_) == 0) return;
        KillTimer(kProgressTimer);
    }
    mode_ = Mode::kArticles;
    StatFrom(start_);
}

bool CNewsMonitor::TruncateFile() {
    if (!file_.IsOpen() && !file_.CreateUnnamed(searchBody_ ? "KV3" : "NW1")) return false;
    return ::ftruncate(file_.Fd(), 0) == 0 && ::lseek(file_.Fd(), 0, SEEK_SET) == 0;
}

void CNewsMonitor::OnOverview(uint32_t result) {
    KillTimer(kProgressTimer);
    if (nntp_.state() != CNntp::kReady) return SessionBroke(result);
    if (result != 0) {
        // A server without an overview still has its articles: they are walked one by one.
        mode_ = Mode::kArticles;
        return StatFrom(start_);
    }
    overview_.Begin(file_.Fd(), &keywords_, searchAuthor_, searchSubject_);
    linesTotal_ = std::max(nntp_.lineCount() - 1, 1);
    SearchOverviewSlice();
}

void COverviewSearch::Begin(int fd, const std::vector<std::string>* phrases, bool author,
                            bool subject) {
    fd_ = fd;
    phrases_ = phrases;
    author_ = author;
    subject_ = subject;
    readAt_ = 0;
    bufPos_ = bufLen_ = 0;
    pending_.clear();
    pendingFields_ = fieldBytes_ = 0;
    pendingBytes_ = 0;
    pendingCut_ = false;
    linesDone_ = 0;
    lastAuthor_.clear();
    lastSubject_.clear();
    if (buf_.empty()) buf_.resize(64 * 1024);
}

void COverviewSearch::SearchLine(std::string_view line, const OnMatch& onMatch) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    OverviewLine o;
    if (line == "." || !ParseOverviewLine(line, &o)) return;
    // What the user reads and types, not the sender's encoding of it.
    lastAuthor_ = mime::HeaderText(o.from);
    lastSubject_ = mime::HeaderText(o.subject);
    for (const std::string& phrase : *phrases_) {
        // Every phrase that matches tells the article once more.
        if ((author_ && CInet::MatchAllWords(lastAuthor_, phrase)) ||
            (subject_ && CInet::MatchAllWords(lastSubject_, phrase)))
            onMatch(o, lastAuthor_, lastSubject_);
    }
}

void COverviewSearch::Keep(const char* data, size_t size) {
    pendingBytes_ += size;
    while (size > 0) {
        const auto* tab = static_cast<const char*>(std::memchr(data, '\t', size));
        size_t field = tab ? static_cast<size_t>(tab - data) : size;
        if (pendingFields_ < kKeptOverviewFields) {
            size_t keep = std::min(field, kMaxField - fieldBytes_);
            if (keep < field) {
                pendingCut_ = true;
                // Never half a character at the cut.
                while (keep > 0 && (static_cast<unsigned char>(data[keep]) & 0xC0) == 0x80) --keep;
                fieldBytes_ = kMaxField;
            } else {
                fieldBytes_ += keep;
            }
            pending_.append(data, keep);
        }
        if (!tab) break;
        if (++pendingFields_ < kKeptOverviewFields) pending_ += '\t';
        fieldBytes_ = 0;
        data += field + 1;
        size -= field + 1;
    }
}

void COverviewSearch::SearchPending(const OnMatch& onMatch, const OnCut& onCut) {
    SearchLine(pending_, onMatch);
    OverviewLine o;
    if (pendingCut_ && onCut && ParseOverviewLine(pending_, &o)) onCut(o, pendingBytes_);
    pending_.clear();
    pendingFields_ = fieldBytes_ = 0;
    pendingBytes_ = 0;
    pendingCut_ = false;
}

bool COverviewSearch::Search(int maxLines, const OnMatch& onMatch, const OnCut& onCut) {
    for (int lines = 0; lines < maxLines;) {
        if (bufPos_ >= bufLen_) {
            ssize_t got = ::pread(fd_, buf_.data(), buf_.size(), readAt_);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                if (pendingBytes_ != 0) SearchPending(onMatch, onCut);
                return false;
            }
            readAt_ += got;
            bufPos_ = 0;
            bufLen_ = static_cast<size_t>(got);
        }
        const char* from = buf_.data() + bufPos_;
        const size_t avail = bufLen_ - bufPos_;
        const auto* nl = static_cast<const char*>(std::memchr(from, '\n', avail));
        const size_t take = nl ? static_cast<size_t>(nl - from) : avail;
        bufPos_ += take;
        if (nl && pendingBytes_ == 0) {
            // The usual case: the whole line is in the buffer.
            ++bufPos_;
            SearchLine(std::string_view(from, take), onMatch);
            ++linesDone_;
            ++lines;
            continue;
        }
        // A line longer than the buffer keeps the start of each field, where what is
        // searched stands.
        Keep(from, take);
        if (!nl) continue;
        ++bufPos_;
        SearchPending(onMatch, onCut);
        ++linesDone_;
        ++lines;
    }
    return true;
}

void CNewsMonitor::SearchOverviewSlice() {
    bool toldInSlice = false;
    const bool more = overview_.Search(
        kSliceLines,
        [this, &toldInSlice](const OverviewLine& o, const std::string& author,
                             const std::string& subject) {
            Report(author, subject, std::string(o.id), o.number);
            toldInSlice = true;
        },
        [this](const OverviewLine& o, uint64_t lineBytes) { ReportCutLine(o, lineBytes); });
    if (toldInSlice) StoreGroupMemory(false);
    // The status shows where the search is once a slice, not once a line: a line's worth
    // of drawing would cost more than its search.
    if (!overview_.lastAuthor().empty() || !overview_.lastSubject().empty()) {
        std::string name, address;
        CInet::SplitAddress(overview_.lastAuthor(), &name, &address);
        SetLine(0, "Searching article  : " + name + "<" + address + ">");
        SetLine(1, overview_.lastSubject());
    }
    SetProgress(static_cast<int>(
        std::min<int64_t>(int64_t(overview_.linesDone()) * 100 / linesTotal_, 100)));
    if (more) {
        // The loop turns between slices: a cancel or the window's own work comes first.
        PostMessage(WM_NEWS_SEARCH_ON, 0, search_);
        return;
    }
    resume_ = static_cast<uint32_t>(last_);
    EndGroup(true);
}

void CNewsMonitor::StatFrom(int number) {
    article_ = number;
    uint32_t rc = nntp_.Stat(number);
    if (rc != 0) Error(rc);
}

void CNewsMonitor::OnStat(uint32_t result) {
    if (nntp_.state() != CNntp::kReady) return SessionBroke(result);
    if (result != 0) {
        // The start article is gone (expired, cancelled): the walk goes on from the one
        // behind it, never from the server's pointer at the group's first article, which
        // would walk the whole group again.
        if (article_ < last_ && ++missing_ < kMaxMissingInARow) return StatFrom(article_ + 1);
        if (article_ < last_) {
            // A gap this wide is walked by the server's own pointer.
            uint32_t rc = nntp_.Next();
            if (rc != 0) Error(rc);
            return;
        }
        return EndGroup(true);
    }
    missing_ = 0;
    article_ = nntp_.currentArticle();
    AskHead();
}

void CNewsMonitor::AskHead() {
    if (!TruncateFile()) return FileError(errno ? errno : EIO);
    char number[16];
    std::snprintf(number, sizeof number, "%06d", article_);
    SetLine(4, number);
    nntp_.SetCurrentArticle(article_);
    uint32_t rc = nntp_.Head(file_.Fd());
    if (rc != 0) Error(rc);
}

void CNewsMonitor::OnHeader(uint32_t result) {
    if (nntp_.state() != CNntp::kReady) return SessionBroke(result);
    if (result != 0) {
        // The next run need not ask for it again; and a server that lists articles it will
        // not hand out is walked only so far, or the groups behind would wait for ever.
        resume_ = static_cast<uint32_t>(article_);
        if (++headless_ >= kMaxMissingInARow) {
            Error(result, false);
            return EndGroup(false);
        }
        uint32_t rc = nntp_.Next();
        if (rc != 0) Error(rc);
        return;
    }
    headless_ = 0;
    resume_ = static_cast<uint32_t>(article_);
    // The header read whole: a zero byte in a value must not end it, and a value folded over
    // lines (long encoded subjects are) is one value.
    std::string block, author, subject, id, lines;
    ReadHeaderBlock(file_.Fd(), &block);
    FindHeader(block, "From", &author);
    FindHeader(block, "Subject", &subject);
    FindHeader(block, "Message-ID", &id);
    FindHeader(block, "Lines", &lines);
    author = mime::HeaderText(author);
    subject = mime::HeaderText(subject);
    id = CutIdentifier(id);
    std::string name, address;
    CInet::SplitAddress(author, &name, &address);
    SetLine(0, "Article  : " + name + " <" + address + ">");
    SetLine(1, subject);
    for (const std::string& phrase : keywords_) {
        if ((searchAuthor_ && CInet::MatchAllWords(author, phrase)) ||
            (searchSubject_ && CInet::MatchAllWords(subject, phrase))) {
            Report(author, subject, id, article_);
            return AdvancePast();
        }
    }
    if (searchBody_) {
        if (BodyWithinLimit(lines, enableMax_, maxLines_)) {
            if (!TruncateFile()) return FileError(errno ? errno : EIO);
            // Kept for the report, should the body match.
            bodyAuthor_ = author;
            bodySubject_ = subject;
            bodyId_ = id;
            nntp_.SetCurrentArticle(article_);
            uint32_t rc = nntp_.Body(file_.Fd());
            if (rc != 0) Error(rc);
            return;
        }
    }
    AdvancePast();
}

void CNewsMonitor::OnBody(uint32_t result) {
    if (nntp_.state() != CNntp::kReady) return SessionBroke(result);
    if (result == 0) {
        std::string block(kBodyBlock, '\0');
        off_t at = 0;
        for (;;) {
            ssize_t got = ::pread(file_.Fd(), block.data(), kBodyBlock, at);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            at += got;
            std::string_view text(block.data(), static_cast<size_t>(got));
            // Once a block: an article can be told for each block that matches.
            if (Matches(text)) Report(bodyAuthor_, bodySubject_, bodyId_, article_);
        }
    }
    // A body that could not be had costs that article's body only: the walk goes on, and
    // the next run does not stall on it.
    AdvancePast();
}

void CNewsMonitor::AdvancePast() {
    // The last article ends the group here: one more would be past the largest number.
    if (article_ >= last_) return EndGroup(true);
    ++article_;
    Advance(0);
}

bool CNewsMonitor::Matches(std::string_view text) const {
    for (const std::string& phrase : keywords_)
        if (CInet::MatchAllWords(text, phrase)) return true;
    return false;
}

void CNewsMonitor::Advance(uint32_t error) {
    if (error != 0) return EndGroup(true);
    int start = start_;
    if (start <= 0 || start < last_ - count_) start = last_ - count_;
    int progress = article_ - start;
    if (progress < 0) progress = 0;
    if (last_ - start > 1) progress = static_cast<int>(int64_t(progress) * 100 / (last_ - start));
    SetProgress(progress);
    if (article_ > last_) return EndGroup(true);
    AskHead();
}

void CNewsMonitor::OnNext(uint32_t result) {
    if (nntp_.state() != CNntp::kReady) return SessionBroke(result);
    if (result != 0) return Advance(result);
    article_ = nntp_.currentArticle();
    Advance(0);
}

void CNewsMonitor::EndGroup(bool finished) {
    WriteGroupMemory(finished);
    NextGroup();
}

void CNewsMonitor::Report(const std::string& author, const std::string& subject, std::string id,
                          int number) {
    std::string scheme = "news://";
    if (id.empty()) {
        // Without an identifier the article is known by its group and number.
        id = group_ + "/" + std::to_string(number);
        scheme = "nntp://";
    }
    const std::string word = LinkPart(id);
    newIds_ += word + ' ';
    if (oldIds_.count(word)) return;
    std::string text = "The News Group Monitor " + eventName_ + " found the following article," +
                       "\r\n  Subject : " + subject + "\r\n  From    : " + author +
                       "\r\n  Group   : " + group_;
    const std::string link = scheme + LinkPart(server_) + "/" + LinkPart(id);
    if (notifyViaWindows_) log_.WriteLog(kIconNews, text, 11, " " + link, true);
    if (notifyViaEmail_) emailBody_ += text + "\r\n  Article : " + link + "\r\n\r\n";
    ++found_;
    ShowFound();
    // Walking article by article takes long: what was told is stored at once, so that a
    // crash or a kill in the middle of the group does not tell it again.
    if (mode_ == Mode::kArticles) StoreGroupMemory(false);
}

void CNewsMonitor::ReportCutLine(const OverviewLine& o, uint64_t lineBytes) {
    std::string id(o.id);
    WriteErrorRecord(log_, "watching the news group " + eventName_,
                     "The overview line of article " + std::to_string(o.number) +
                         (id.empty() ? "" : " <" + mime::HeaderText(id) + ">") + " in " + group_ +
                         " is " + std::to_string(lineBytes) + " bytes long: only the first " +
                         std::to_string(COverviewSearch::kMaxField) +
                         " bytes of each of its fields were searched.");
}

void CNewsMonitor::ShowFound() {
    SetLine(3, found_ == 1 ? "Found 1 Article" : "Found " + std::to_string(found_) + " Articles");
}

std::string CNewsMonitor::MemoryPath() const {
    // A group named like one of the event's own values (the store ignores case) keeps its
    // memory in a key of its own: it must never overwrite the event's settings.
    static const char* const kOwn[] = {settings::kType,
                                       settings::kDescription,
                                       settings::kEnabled,
                                       "Log",
                                       settings::kScheduledEvent,
                                       settings::kNewsGroups,
                                       settings::kKeywords,
                                       settings::kSearchSubject,
                                       settings::kSearchAuthor,
                                       settings::kSearchBody,
                                       settings::kEnableMax,
                                       settings::kMaxLines,
                                       settings::kNotifyEmailTo,
                                       settings::kNotifyViaEmail,
                                       settings::kNotifyViaWindows};
    for (const char* name : kOwn)
        if (QString::fromStdString(group_).compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return settings::EventPath(eventName_) + "\\" + kOwnNamedGroups;
    return settings::EventPath(eventName_);
}

void CNewsMonitor::WriteGroupMemory(bool finished) {
    if (!groupCurrent_) return;
    StoreGroupMemory(finished);
    groupCurrent_ = false;
}

void CNewsMonitor::StoreGroupMemory(bool finished) {
    if (!groupCurrent_ || eventName_.empty()) return;
    std::string ids = newIds_;
    if (!finished) {
        // A search cut short starts at the same place next time: what the last search
        // reported must still be known then, or it would be reported again.
        std::unordered_set<std::string> listed;
        for (std::string& id : settings::SplitWords(ids)) listed.insert(std::move(id));
        for (const std::string& id : oldIds_)
            if (!listed.count(id)) ids += id + ' ';
    }
    // Where the search goes on and what it has told belong together: a run killed between
    // the two writes would otherwise tell articles again or pass some over.
    auto store = Registry::Current();
    if (!store) return;
    Registry::Transaction tx(*store);
    RegKey event;
    if (tx.open() &&
        event.Create(RegKey::LocalMachine(), MemoryPath(), settings::kEventClass) ==
            ERROR_SUCCESS &&
        event.SetDword(group_, resume_) == ERROR_SUCCESS &&
        event.SetString(group_ + settings::kXidsSuffix, ids) == ERROR_SUCCESS && tx.Commit())
        return;
    if (memoryFailureTold_) return;
    memoryFailureTold_ = true;
    WriteErrorRecord(log_, "watching the news group " + eventName_,
                     "What was read of " + group_ +
                         " could not be recorded in the settings store (" + store->LastError() +
                         "); its articles may be told again.");
}

void CNewsMonitor::FileError(int error) {
    WriteErrorRecord(log_, "watching the news group " + eventName_,
                     std::string("The temporary file could not be made or written: ") +
                         std::strerror(error) + ".");
    Stop(static_cast<uint32_t>(error));
}

void CNewsMonitor::Error(uint32_t code, bool stop) {
    WriteErrorRecord(log_, "watching the news group " + eventName_, nntp_.ErrorText(code));
    if (stop) Stop(code);
}

void CNewsMonitor::Cancel(int code) {
    if (!running_) return;
    Stop(static_cast<uint32_t>(code));
}

void CNewsMonitor::Stop(uint32_t code) {
    SetLine(0, "Disconnecting from News Servers");
    SetLine(1, "");
    KillTimer(kProgressTimer);
    nntp_.Abort();
    WriteGroupMemory(false);
    ++search_;
    mode_ = Mode::kNone;
    running_ = false;
    file_.Close();
    SetProgress(std::nullopt);
    Complete(code);
}

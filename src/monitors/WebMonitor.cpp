#include "monitors/WebMonitor.h"

#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <cstdlib>

#include <algorithm>

#include "content/HtmlLinks.h"
#include "net/Inet.h"
#include "notify/MailQueue.h"
#include "platform/AsciiText.h"
#include "platform/TempFile.h"
#include "platform/Utf8Text.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

// Pages are read in blocks of this size.
constexpr size_t kBlock = 8192;

// How far ahead of the first document not yet told the run may ask, per client: a slow
// document lets the others go on a while, but never piles up the whole list behind it.
constexpr size_t kAheadPerFetch = 4;

void PutLe32(Bytes& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t GetLe32(const Bytes& in, size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        if (at + i < in.size()) v |= static_cast<uint32_t>(in[at + i]) << (8 * i);
    return v;
}

// A result code that means an error: negative as a signed number, or a status of 500 up.
bool IsHeadFailure(uint32_t result) {
    return static_cast<int32_t>(result) < 0 || result >= 500;
}

// A server that is overloaded or asks us to slow down: the document is as it was.
bool IsBusy(uint32_t result) {
    return result == 429 || result == 503;
}

// A server that will not answer HEAD is asked for the document itself.
bool RefusesHead(uint32_t result) {
    return result == 405 || result == 501;
}

// Whether a Content-Type names a page of links: its media type, without parameters and
// without regard to case ("text/html; charset=utf-8" is what most sites send).
bool IsHtml(std::string_view contentType) {
    std::string_view type = ascii::TrimBlanks(contentType.substr(0, contentType.find(';')));
    return ascii::EqualsNoCase(type, "text/html") ||
           ascii::EqualsNoCase(type, "application/xhtml+xml");
}

std::string LowerAscii(std::string text) {
    for (char& c : text) c = ascii::Lower(c);
    return text;
}

// Splits and rebuilds a URL so that "." and ".." segments and doubled slashes are gone; the
// scheme and host, which know no case, in lower case ("HTTP://Host/" is "http://host/").
void NormalizedParts(const std::string& url, std::string* scheme, std::string* host,
                     std::string* path, std::string* normalized = nullptr, int* portOut = nullptr) {
    std::string s, h, p;
    int port = 80;
    CInet::SplitUrl(url, &s, &h, &port, &p);
    s = LowerAscii(std::move(s));
    h = LowerAscii(std::move(h));
    std::string n = CInet::NormalizeUrl(s, h, port, p);
    CInet::SplitUrl(n, scheme, host, &port, path);
    if (normalized) *normalized = n;
    if (portOut) *portOut = port;
}

}  // namespace

Bytes WatchedUrlRecord::Encode() const {
    Bytes out(12, 0);
    PutLe32(out, 0, lastModified);
    PutLe32(out, 4, status);
    PutLe32(out, 8, contentLength);
    return out;
}

WatchedUrlRecord WatchedUrlRecord::Decode(const Bytes& data) {
    return {GetLe32(data, 0), GetLe32(data, 4), GetLe32(data, 8)};
}

// One document at a time on a client of its own: its HEAD, then for a page of the site its
// GET and the links in it. The client answers this window, so that the clients of one run
// never share a timer or a message.
class CWebFetch : public CWindow {
public:
    explicit CWebFetch(CWebMonitor& monitor) : monitor_(monitor) { http_.SetOwner(this); }

    bool busy() const { return busy_; }
    size_t index() const { return index_; }
    DocumentCheck& check() { return check_; }

    // The work file the answers go to; 0, or the system's error when it cannot be made.
    uint32_t Prepare() {
        if (temp_.IsOpen()) return 0;
        if (temp_.CreateUnnamed("KV5", {}, nullptr)) return 0;
        return static_cast<uint32_t>(errno ? errno : EIO);
    }

    // Asks for the document; false when it could not be asked (check says why).
    bool Begin(size_t index, const std::string& url) {
        index_ = index;
        check_ = {};
        Truncate();
        uint32_t started = http_.Head(url, temp_.Fd());
        if (started != 0) {
            check_.started = started;
            check_.headError = http_.ErrorText(started);
            return false;
        }
        busy_ = true;
        return true;
    }

    void Stop() {
        http_.Abort();
        busy_ = false;
        getForHead_ = false;
    }

    // Between runs nothing is kept: no connection, no work file.
    void Release() {
        Stop();
        temp_.Close();
    }

protected:
    void OnTimer(UINT id) override { http_.OnTimer(id); }

    void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override {
        if (msg == WM_HTTP_LOOKUP_DONE) {
            http_.OnLookupDone(wParam, lParam);
            return;
        }
        if (!busy_) return;  // the answer of a request that was stopped
        auto result = static_cast<uint32_t>(wParam);
        if (msg == WM_HTTP_HEAD_DONE) HeadDone(result);
        if (msg == WM_HTTP_GET_DONE) GetDone(result);
    }

private:
    bool Truncate() {
        return ::ftruncate(temp_.Fd(), 0) == 0 && ::lseek(temp_.Fd(), 0, SEEK_SET) == 0;
    }

    void Done() {
        busy_ = false;
        monitor_.Checked(*this);
    }

    // The answer to the HEAD, or to the GET asked in its place (byGet: the page is in the
    // file already).
    void HeadDone(uint32_t result, bool byGet = false) {
        if (!byGet && RefusesHead(result)) {
            Truncate();
            if (http_.Get(Url(), temp_.Fd()) == 0) {
                getForHead_ = true;
                return;
            }
            // Not even the GET could be asked: the HEAD's refusal is the answer.
        }
        check_.head = result;
        check_.landed = http_.url();
        if (IsBusy(result)) {
            check_.busy = true;
            std::string wait;
            CInet::GetHeaderValue(temp_.Fd(), "retry-after:", &wait);
            check_.headError = "The document " + Url() + " could not be checked this time. " +
                               http_.ErrorText(result) +
                               (wait.empty() ? "" : " (Retry-After: " + wait.substr(0, 64) + ")");
            Done();
            return;
        }
        if (IsHeadFailure(result)) {
            check_.headError = http_.ErrorText(result);
            Done();
            return;
        }
        check_.moved = result != 200 && http_.Follows(static_cast<int>(result));
        check_.unfollowed = http_.unfollowedLocation();
        if (result == 200) {
            const int fd = temp_.Fd();
            check_.hasModified = CInet::GetHeaderValue(fd, "last-modified:", &check_.modified);
            check_.hasLength = CInet::GetHeaderValue(fd, "content-length:", &check_.length);
            if (!CInet::GetHeaderValue(fd, "content-type:", &check_.contentType))
                check_.contentType.clear();
        }
        if (monitor_.entireDomain_ == 1 && result == 200 && IsHtml(check_.contentType)) {
            check_.fetched = true;
            if (byGet) {
                ExtractLinks();
                Done();
                return;
            }
            Truncate();
            uint32_t rc = http_.Get(Url(), temp_.Fd());
            if (rc == 0) return;
            check_.getFailed = rc;
            check_.getError = http_.ErrorText(rc);
        }
        Done();
    }

    void GetDone(uint32_t result) {
        if (getForHead_) {
            getForHead_ = false;
            HeadDone(result, true);
            return;
        }
        if (static_cast<int32_t>(result) < 0 || result >= 400) {
            check_.getFailed = result;
            check_.getError = http_.ErrorText(result);
        } else {
            ExtractLinks();
        }
        Done();
    }

    // The document's own address: a HEAD that was redirected leaves the client at the
    // place it landed, but the page is asked for where the list names it.
    const std::string& Url() const { return monitor_.list_[index_].url; }

    void ExtractLinks() {
        const int fd = temp_.Fd();
        char buf[kBlock];
        // The body begins after the empty line that ends the header.
        off_t body = -1;
        {
            std::string head;
            off_t at = 0;
            while (body < 0 && head.size() < (1u << 20)) {
                ssize_t n = ::pread(fd, buf, kBlock, at);
                if (n <= 0) break;
                head.append(buf, static_cast<size_t>(n));
                at += n;
                size_t end = head.find("\r\n\r\n");
                if (end != std::string::npos) body = static_cast<off_t>(end + 4);
            }
        }
        if (body < 0) return;

        // Only what could still join the list is kept, each link once, so that what waits
        // here for the documents before it stays small whatever the page holds.
        std::unordered_set<std::string> seen;
        const DWORD room = monitor_.maxDocuments_ > monitor_.watchedCount_
                               ? monitor_.maxDocuments_ - monitor_.watchedCount_
                               : 0;
        auto add = [&](const std::string& link) {
            if (check_.links.size() > room) return;
            bool tooLong = false;
            std::string normalized = monitor_.SiteLink(link, &tooLong);
            if (tooLong && check_.tooLong++ == 0)
                check_.tooLongLink = link.substr(0, Utf8CutPoint(link, 160));
            if (normalized.empty()) return;
            std::string folded = RegistryFoldName(normalized);
            if (monitor_.listed_.count(folded) || !seen.insert(std::move(folded)).second) return;
            check_.links.push_back(std::move(normalized));
        };
        // The page is read block by block and never held whole: the tokenizer keeps only the
        // tag it is in, so a link cut by a block's end is still seen whole.
        CHtmlLinks links(http_.url(), add);
        for (off_t at = body;;) {
            ssize_t n = ::pread(fd, buf, kBlock, at);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            links.Feed(std::string_view(buf, static_cast<size_t>(n)));
            at += n;
        }
        links.Finish();
    }

    CWebMonitor& monitor_;
    CHttp http_;
    TempFile temp_;
    bool busy_ = false;
    bool getForHead_ = false;  // the GET under way stands in for a refused HEAD
    size_t index_ = 0;
    DocumentCheck check_;
};

CWebMonitor::CWebMonitor(ActivityLogWriter& log, QObject* parent) : CPanel(parent), log_(log) {}

CWebMonitor::~CWebMonitor() = default;

void CWebMonitor::Start(const std::string& eventName) {
    eventName_ = eventName;
    running_ = true;
    SetTitle("Web Watcher " + eventName);
    emailBody_.clear();
    changedDocuments_ = 0;
    storeFailureTold_ = false;
    tooLongTold_ = false;
    list_.clear();
    listed_.clear();
    finished_.clear();
    bufferedLinks_ = 0;
    nextDispatch_ = nextCommit_ = 0;
    rootSettings_.emplace();

    using namespace settings;
    parallel_ = std::clamp<DWORD>(ReadRootDword(kWebParallelRequests, kDefaultWebParallelRequests),
                                  1, kMaxWebParallelRequests);
    while (fetches_.size() < parallel_) fetches_.push_back(std::make_unique<CWebFetch>(*this));
    for (size_t slot = 0; slot < parallel_; ++slot) {
        if (uint32_t code = fetches_[slot]->Prepare(); code != 0) {
            ReportError(CHttp().ErrorText(code));
            Finish(code);
            return;
        }
    }

    entireDomain_ = notifyViaEmail_ = notifyViaWindows_ = 0;
    notifyEmailTo_.clear();
    site_.clear();
    maxDocuments_ = kDefaultMaxDocuments;
    RegKey event;
    if (event.Open(RegKey::LocalMachine(), EventPath(eventName)) == ERROR_SUCCESS) {
        entireDomain_ = ReadDword(event, "EntireDomain", 0);
        notifyViaEmail_ = ReadDword(event, "NotifyViaEmail", 0);
        notifyViaWindows_ = ReadDword(event, "NotifyViaWindows", 0);
        notifyEmailTo_ = ReadString(event, "NotifyEmailTo");
        site_ = ReadString(event, "Site");
        maxDocuments_ = ReadDword(event, kMaxDocuments, kDefaultMaxDocuments);
    }
    NormalizedParts(site_, nullptr, &siteHost_, &sitePath_, nullptr, &sitePort_);

    RegKey watched;
    LONG rc = watched.Open(RegKey::LocalMachine(), EventPath(eventName) + "\\WatchedUrls");
    if (rc != ERROR_SUCCESS) {
        ReportError(CHttp().ErrorText(static_cast<uint32_t>(rc)));
        Finish(static_cast<uint32_t>(rc));
        return;
    }
    // A list that was full before this run was told so in the run that filled it.
    watchedCount_ = 0;
    watched.QueryInfo(nullptr, nullptr, &watchedCount_);
    boundTold_ = watchedCount_ >= maxDocuments_;
    for (DWORD index = 0;; ++index) {
        std::string name;
        DWORD type = 0;
        Bytes data;
        LONG got = watched.EnumValue(index, &name, &type, &data, kMaxWatchedUrl + 1, 12);
        if (got == ERROR_MORE_DATA) continue;  // a value no check could use; the rest still can
        if (got != ERROR_SUCCESS) break;
        listed_.insert(RegistryFoldName(name));
        list_.push_back({std::move(name), WatchedUrlRecord::Decode(data)});
    }
    Pump();
}

void CWebMonitor::Pump() {
    while (running_) {
        // Each finished check is told as soon as every one before it has been.
        for (auto it = finished_.begin();
             running_ && it != finished_.end() && it->first == nextCommit_;
             it = finished_.begin()) {
            DocumentCheck check = std::move(it->second);
            finished_.erase(it);
            bufferedLinks_ -= check.links.size();
            // A copy: telling it may grow the list.
            WatchedDocument doc = list_[nextCommit_++];
            if (!Tell(doc, check)) return;
        }
        if (!running_) return;
        size_t before = finished_.size();
        Dispatch();
        // A document that could not even be asked is finished at once: tell it and go on.
        if (finished_.size() == before || finished_.begin()->first != nextCommit_) break;
    }
    if (!running_) return;
    bool busy = std::any_of(fetches_.begin(), fetches_.end(), [](auto& f) { return f->busy(); });
    if (!busy && nextCommit_ >= list_.size()) Finish(0);
}

void CWebMonitor::Dispatch() {
    const size_t ahead = kAheadPerFetch * parallel_;
    for (size_t slot = 0; slot < parallel_ && running_; ++slot) {
        CWebFetch& fetch = *fetches_[slot];
        if (fetch.busy()) continue;
        if (nextDispatch_ >= list_.size() || nextDispatch_ >= nextCommit_ + ahead) return;
        // Links waiting to be told are bounded as the list itself is.
        if (bufferedLinks_ > maxDocuments_) return;
        size_t index = nextDispatch_++;
        const std::string& url = list_[index].url;
        SetLines("Connecting to host for : ", url);
        if (fetch.Begin(index, url)) {
            SetLine1("Retrieving : ");
            continue;
        }
        finished_.emplace(index, std::move(fetch.check()));
        --slot;  // the fetch is free again
    }
}

void CWebMonitor::Checked(CWebFetch& fetch) {
    if (!running_) return;
    DocumentCheck& check = fetch.check();
    bufferedLinks_ += check.links.size();
    finished_.emplace(fetch.index(), std::move(check));
    Pump();
}

bool CWebMonitor::Tell(const WatchedDocument& doc, DocumentCheck& check) {
    const std::string& url = doc.url;
    WatchedUrlRecord record = doc.record;
    // A document that cannot be asked for at all (another scheme, a broken address) is
    // reported once and marked, so that it neither ends every run nor repeats each time.
    if (check.started != 0) {
        if (record.status != check.started) {
            ReportError(check.headError);
            record.status = check.started;
            StoreDocument(url, &record, {});
        }
        return true;
    }
    const uint32_t result = check.head;
    // Where the answer came from decides whose failure it is: a document of the site that
    // redirects to a dead server elsewhere is a dead link, not the site failing.
    const std::string& server = check.landed.empty() ? url : check.landed;
    if (check.busy) {
        // The document is as it was: nothing stored, nothing said of it but this. The site's
        // own server asking us to wait is asked nothing more in this run.
        ReportError(check.headError);
        if (IsSiteServer(server)) {
            StopFetches();
            Finish(result);
            return false;
        }
        return true;
    }
    if (IsHeadFailure(result)) {
        // When the site's own server fails, every document behind this one would too: they
        // wait for the next run. A dead link to anywhere else is told once and marked, as a
        // document that cannot be asked for is, so that it never holds up the rest.
        if (IsSiteServer(server)) {
            ReportError(check.headError);
            StopFetches();
            Finish(result);
            return false;
        }
        if (record.status != result) {
            ReportError(check.headError);
            record.status = result;
            StoreDocument(url, &record, {});
        }
        return true;
    }
    std::string text = "The Web Watch Monitor " + eventName_ + " found,\r\n\r\n";
    int changes = 0;
    if (result != record.status && !check.unfollowed.empty()) {
        std::string host;
        CInet::SplitUrl(server, nullptr, &host, nullptr, nullptr);
        ReportError("The Web Server " + host + " redirects " + url + " to " + check.unfollowed +
                    ", which is not a web address; it is not followed.");
    }
    if (result != record.status) {
        ++changes;
        if (result == 200 && record.status == 0)
            text += "A new document at " + url;
        else if (result == 200)
            text += "The document " + url + " is now available.\r\n";
        else if (check.moved)
            // A redirection still standing here is one the client could not follow to its
            // end (a loop, too long a chain, no Location): the document has moved.
            text += "The document " + url + " has been moved.\r\n";
        else
            text += "The document " + url + " is no longer available.\r\n";
        record.status = result;
    }
    if (result == 200) {
        auto modified =
            static_cast<uint32_t>(check.hasModified ? CInet::ParseHttpDate(check.modified) : 0);
        if (modified != record.lastModified) {
            if (++changes == 1)
                text += "The document " + url + " was updated on " + check.modified + ".\r\n";
            record.lastModified = modified;
        }
        auto length = static_cast<uint32_t>(
            check.hasLength ? std::strtoul(check.length.c_str(), nullptr, 10) : 0);
        if (length != record.contentLength) {
            if (++changes == 1)
                text += "The document " + url + " has changed size, it is now " + check.length +
                        " bytes.\r\n";
            record.contentLength = length;
        }
    }
    if (changes != 0) {
        text += "\r\n";
        ++changedDocuments_;
        if (notifyViaWindows_ == 1) log_.WriteLog(kIconWeb, text, kActionBrowse, url, true);
        if (notifyViaEmail_ == 1) emailBody_ += text + "\r\n\r\n";
    }
    std::vector<std::string> added;
    if (check.getFailed != 0) ReportError(check.getError);
    if (check.tooLong != 0 && !tooLongTold_) {
        tooLongTold_ = true;
        ReportError("The page " + url + " links to " + std::to_string(check.tooLong) +
                    " document(s) of the site whose address is longer than " +
                    std::to_string(kMaxWatchedUrl) + " characters, which are not watched (" +
                    check.tooLongLink + "...).");
    }
    for (const std::string& link : check.links) {
        std::string folded = RegistryFoldName(link);
        if (listed_.count(folded)) continue;
        if (watchedCount_ >= maxDocuments_) {
            if (!boundTold_) {
                boundTold_ = true;
                log_.WriteLog(kIconError,
                              "The Web Watch Monitor " + eventName_ + " has reached its limit of " +
                                  std::to_string(maxDocuments_) +
                                  " watched documents (MaxDocuments); links to further documents "
                                  "of the site are not added.",
                              0, {}, true);
            }
            continue;
        }
        ++watchedCount_;
        listed_.insert(std::move(folded));
        added.push_back(link);
        list_.push_back({link, WatchedUrlRecord{}});
    }
    if (changes != 0 || !added.empty()) StoreDocument(url, changes != 0 ? &record : nullptr, added);
    return true;
}

void CWebMonitor::StoreDocument(const std::string& url, const WatchedUrlRecord* record,
                                const std::vector<std::string>& added) {
    // What one document taught goes into the store in one step: a run killed at any
    // moment has stored each told document whole or not at all.
    auto store = Registry::Current();
    bool ok = false;
    if (store) {
        uint64_t failures = store->FailureCount();
        Registry::Transaction tx(*store);
        RegKey key;
        ok = tx.open() &&
             key.Create(RegKey::LocalMachine(), settings::EventPath(eventName_) + "\\WatchedUrls",
                        settings::kEventClass) == ERROR_SUCCESS;
        if (ok && record) ok = key.SetValue(url, REG_BINARY, record->Encode()) == ERROR_SUCCESS;
        for (size_t i = 0; ok && i < added.size(); ++i) {
            // Another program may have put it in the list since the run read it.
            if (key.QueryValue(added[i], nullptr, nullptr, 0) != ERROR_FILE_NOT_FOUND) continue;
            ok = key.SetValue(added[i], REG_BINARY, WatchedUrlRecord{}.Encode()) == ERROR_SUCCESS;
        }
        ok = ok && store->FailureCount() == failures && tx.Commit();
    }
    if (ok || storeFailureTold_) return;
    storeFailureTold_ = true;
    ReportError("The watch list of " + eventName_ + " could not be written to the settings (" +
                (store ? store->LastError() : std::string("no settings store")) +
                "); what this run found will be told again.");
}

bool CWebMonitor::IsSiteServer(const std::string& url) const {
    std::string host;
    int port = 80;
    CInet::SplitUrl(url, nullptr, &host, &port, nullptr);
    return !host.empty() && strcasecmp(host.c_str(), siteHost_.c_str()) == 0 && port == sitePort_;
}

std::string CWebMonitor::SiteLink(const std::string& link, bool* tooLong) const {
    std::string scheme, host, path, normalized;
    NormalizedParts(link, &scheme, &host, &path, &normalized);
    // The site rule compares host and path only, so a site reached by http and https alike
    // is crawled under both, as it is under every port of its host.
    if (scheme != "http" && scheme != "https" && scheme != "ftp") return {};
    if (host != siteHost_ || path.compare(0, sitePath_.size(), sitePath_) != 0) return {};
    if (RegistryNameLength(normalized) > kMaxWatchedUrl) {
        *tooLong = true;
        return {};
    }
    return normalized;
}

void CWebMonitor::ReportError(const std::string& text) {
    WriteErrorRecord(log_, "watching the web site " + eventName_, text);
}

void CWebMonitor::StopFetches() {
    for (auto& fetch : fetches_) fetch->Stop();
}

void CWebMonitor::Cancel(int code) {
    if (!running_) return;
    SetLine1("Canceled");
    StopFetches();
    Finish(static_cast<uint32_t>(code));
}

void CWebMonitor::Finish(uint32_t code) {
    SetLines("Done.", "");
    for (auto& fetch : fetches_) fetch->Release();
    running_ = false;
    finished_.clear();
    bufferedLinks_ = 0;
    rootSettings_.reset();
    if (notifyViaEmail_ == 1 && changedDocuments_ > 0) {
        QueueMail(log_, emailBody_, notifyEmailTo_, "Results of Web Watch " + eventName_,
                  eventName_ + " <" + notifyEmailTo_ + ">");
        changedDocuments_ = 0;
    }
    Complete(code);
}

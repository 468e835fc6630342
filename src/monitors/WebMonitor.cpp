#include "monitors/WebMonitor.h"

#include <unistd.h>

#include <strings.h>

#include <cerrno>
#include <cstdlib>

#include "content/HtmlLinks.h"
#include "net/Inet.h"
#include "notify/MailQueue.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

// Pages are read in blocks of this size.
constexpr size_t kBlock = 8192;

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

// Splits and rebuilds a URL so that "." and ".." segments and doubled slashes are gone.
void NormalizedParts(const std::string& url, std::string* scheme, std::string* host,
                     std::string* path, std::string* normalized = nullptr, int* portOut = nullptr) {
    std::string s, h, p;
    int port = 80;
    CInet::SplitUrl(url, &s, &h, &port, &p);
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

CWebMonitor::CWebMonitor(ActivityLogWriter& log, QObject* parent) : CPanel(parent), log_(log) {
    RegisterClient(http_, WM_HTTP_LOOKUP_DONE);
}

CWebMonitor::~CWebMonitor() = default;

void CWebMonitor::OnStepMessage(UINT msg, WPARAM wParam, LPARAM) {
    if (!running_) return;
    if (msg == WM_HTTP_HEAD_DONE) OnHeadDone(static_cast<uint32_t>(wParam));
    if (msg == WM_HTTP_GET_DONE) OnGetDone(static_cast<uint32_t>(wParam));
}

bool CWebMonitor::TruncateTemp() {
    return ::ftruncate(temp_.Fd(), 0) == 0 && ::lseek(temp_.Fd(), 0, SEEK_SET) == 0;
}

void CWebMonitor::Start(const std::string& eventName) {
    eventName_ = eventName;
    running_ = true;
    SetTitle("Web Watcher " + eventName);
    emailBody_.clear();
    changedDocuments_ = 0;

    if (!temp_.IsOpen()) {
        std::string error;
        if (!temp_.CreateUnnamed("KV5", {}, &error)) {
            // Taken before the log write below can change errno.
            auto code = static_cast<uint32_t>(errno ? errno : EIO);
            ReportError(code);
            Finish(code);
            return;
        }
    } else {
        TruncateTemp();
    }

    using namespace settings;
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

    LONG rc = watched_.Open(RegKey::LocalMachine(), EventPath(eventName) + "\\WatchedUrls");
    if (rc != ERROR_SUCCESS) {
        ReportError(static_cast<uint32_t>(rc));
        Finish(static_cast<uint32_t>(rc));
        return;
    }
    // A list that was full before this run was told so in the run that filled it.
    watchedCount_ = 0;
    watched_.QueryInfo(nullptr, nullptr, &watchedCount_);
    boundTold_ = watchedCount_ >= maxDocuments_;
    index_ = -1;
    NextDocument();
}

void CWebMonitor::NextDocument() {
    for (;;) {
        if (!running_) return;
        ++index_;
        std::string name;
        DWORD type = 0;
        Bytes data;
        LONG rc = watched_.EnumValue(static_cast<DWORD>(index_), &name, &type, &data, 256, 12);
        if (rc == ERROR_MORE_DATA) continue;  // a value no check could use; the rest still can
        if (rc != ERROR_SUCCESS) {
            Finish(0);
            return;
        }
        url_ = name;
        record_ = WatchedUrlRecord::Decode(data);
        TruncateTemp();
        SetLines("Connecting to host for : ", url_);
        uint32_t started = http_.Head(url_, temp_.Fd());
        if (started == 0) {
            SetLine1("Retrieving : ");
            return;
        }
        // A document that cannot be asked for at all (another scheme, a broken address) is
        // reported once and marked, so that it neither ends every run nor repeats each time.
        if (record_.status != started) {
            ReportError(started);
            record_.status = started;
            StoreRecord();
        }
    }
}

void CWebMonitor::StoreRecord() {
    RegKey key;
    if (key.Create(RegKey::LocalMachine(), settings::EventPath(eventName_) + "\\WatchedUrls",
                   settings::kEventClass) == ERROR_SUCCESS)
        key.SetValue(url_, REG_BINARY, record_.Encode());
}

bool CWebMonitor::IsSiteServer() const {
    std::string host;
    int port = 80;
    CInet::SplitUrl(url_, nullptr, &host, &port, nullptr);
    return !host.empty() && strcasecmp(host.c_str(), siteHost_.c_str()) == 0 && port == sitePort_;
}

void CWebMonitor::OnHeadDone(uint32_t result) {
    if (IsHeadFailure(result)) {
        // When the site's own server fails, every document behind this one would too: they
        // wait for the next run. A dead link to anywhere else is told once and marked, as a
        // document that cannot be asked for is, so that it never holds up the rest.
        if (IsSiteServer()) {
            ReportError(result);
            Finish(result);
            return;
        }
        if (record_.status != result) {
            ReportError(result);
            record_.status = result;
            StoreRecord();
        }
        NextDocument();
        return;
    }
    std::string text = "The Web Watch Monitor " + eventName_ + " found,\r\n\r\n";
    int changes = 0;
    if (result != record_.status) {
        ++changes;
        if (result == 200 && record_.status == 0)
            text += "A new document at " + url_;
        else if (result == 200)
            text += "The document " + url_ + " is now available.\r\n";
        else if (http_.Follows(static_cast<int>(result)))
            // A redirection still standing here is one the client could not follow to its
            // end (a loop, too long a chain, no Location): the document has moved.
            text += "The document " + url_ + " has been moved.\r\n";
        else
            text += "The document " + url_ + " is no longer available.\r\n";
        record_.status = result;
    }
    contentType_.clear();
    if (result == 200) {
        std::string value;
        bool found = CInet::GetHeaderValue(temp_.Fd(), "last-modified:", &value);
        auto modified = static_cast<uint32_t>(found ? CInet::ParseHttpDate(value) : 0);
        if (modified != record_.lastModified) {
            if (++changes == 1)
                text += "The document " + url_ + " was updated on " + value + ".\r\n";
            record_.lastModified = modified;
        }
        found = CInet::GetHeaderValue(temp_.Fd(), "content-length:", &value);
        auto length = static_cast<uint32_t>(found ? std::strtoul(value.c_str(), nullptr, 10) : 0);
        if (length != record_.contentLength) {
            if (++changes == 1)
                text += "The document " + url_ + " has changed size, it is now " + value +
                        " bytes.\r\n";
            record_.contentLength = length;
        }
        if (CInet::GetHeaderValue(temp_.Fd(), "content-type:", &value)) contentType_ = value;
    }
    if (changes != 0) {
        text += "\r\n";
        ++changedDocuments_;
        if (notifyViaWindows_ == 1) log_.WriteLog(kIconWeb, text, kActionBrowse, url_, true);
        if (notifyViaEmail_ == 1) emailBody_ += text + "\r\n\r\n";
        StoreRecord();
    }
    if (entireDomain_ == 1 && result == 200 && strcasecmp(contentType_.c_str(), "text/html") == 0) {
        TruncateTemp();
        uint32_t rc = http_.Get(url_, temp_.Fd());
        if (rc == 0) return;
        ReportError(rc);
    }
    NextDocument();
}

void CWebMonitor::OnGetDone(uint32_t result) {
    if (static_cast<int32_t>(result) < 0 || result >= 400)
        ReportError(result);
    else
        ExtractLinks();
    NextDocument();
}

void CWebMonitor::ExtractLinks() {
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

    // The page is read block by block and never held whole: the tokenizer keeps only the
    // tag it is in, so a link cut by a block's end is still seen whole.
    CHtmlLinks links(http_.url(), [this](const std::string& link) { AddLink(link); });
    for (off_t at = body;;) {
        ssize_t n = ::pread(fd, buf, kBlock, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        links.Feed(std::string_view(buf, static_cast<size_t>(n)));
        at += n;
    }
    links.Finish();
}

void CWebMonitor::AddLink(const std::string& link) {
    std::string scheme, host, path, normalized;
    CInet::SplitUrl(link, &scheme, nullptr, nullptr, nullptr);
    // The site rule compares host and path only, so a site reached by http and https alike
    // is crawled under both, as it is under every port of its host.
    if (scheme != "http" && scheme != "https" && scheme != "ftp") return;
    NormalizedParts(link, &scheme, &host, &path, &normalized);
    if (host != siteHost_ || path.compare(0, sitePath_.size(), sitePath_) != 0) return;
    // A name that the watch list could not hand back would never be checked.
    if (normalized.size() > 255) return;
    RegKey key;
    if (key.Open(RegKey::LocalMachine(), settings::EventPath(eventName_) + "\\WatchedUrls") !=
        ERROR_SUCCESS)
        return;
    if (key.QueryValue(normalized, nullptr, nullptr, 0) != ERROR_FILE_NOT_FOUND) return;
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
        return;
    }
    if (key.SetValue(normalized, REG_BINARY, WatchedUrlRecord{}.Encode()) == ERROR_SUCCESS)
        ++watchedCount_;
}

void CWebMonitor::ReportError(uint32_t code) {
    WriteErrorRecord(log_, "watching the web site " + eventName_, http_.ErrorText(code));
    http_.Abort();
}

void CWebMonitor::Cancel(int code) {
    if (!running_) return;
    SetLine1("Canceled");
    http_.Abort();
    Finish(static_cast<uint32_t>(code));
}

void CWebMonitor::Finish(uint32_t code) {
    SetLines("Done.", "");
    temp_.Close();
    watched_.Close();
    running_ = false;
    if (notifyViaEmail_ == 1 && changedDocuments_ > 0) {
        QueueMail(log_, emailBody_, notifyEmailTo_, "Results of Web Watch " + eventName_,
                  eventName_ + " <" + notifyEmailTo_ + ">");
        changedDocuments_ = 0;
    }
    Complete(code);
}

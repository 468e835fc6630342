#include "monitors/LumettaRetrieval.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/Inet.h"
#include "platform/Registry.h"
#include "platform/Utf8Text.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

// The folder a file name lies in: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A name at most about max bytes long for a log record, whose text is cut at a few hundred
// bytes: the start and the end (where a file's own name is) stay, the middle goes, never
// inside a character.
std::string Short(const std::string& text, size_t max) {
    if (text.size() <= max) return text;
    size_t head = Utf8CutPoint(text, max / 3);
    size_t tail = Utf8CutPoint(text, text.size() - (max - max / 3 - 3));
    return text.substr(0, head) + "..." + text.substr(tail);
}

// The file's own name, without its folder.
std::string BaseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// So that the rename itself survives a crash, not only the data it names.
void SyncFolder(const std::string& folder) {
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// A redirection the client did not follow (a loop, one too many) brought no document
// either: stored, it would put an empty answer in the place of the last good one.
bool IsFailure(uint32_t result) {
    return result == 0 || static_cast<int32_t>(result) < 0 || result >= 300;
}

// "." and ".." segments of the address's path gone, as a browser sends it; its query
// is left as it stands.
std::string WithoutDotSegments(const std::string& url) {
    size_t query = url.find_first_of("?|");
    std::string head = url.substr(0, query), scheme, host, path;
    int port = 80;
    if (CInet::SplitUrl(head, &scheme, &host, &port, &path) != 0 ||
        path.find("/.") == std::string::npos)
        return url;
    return CInet::NormalizeUrl(scheme, host, port, path) +
           (query == std::string::npos ? std::string() : url.substr(query));
}

}  // namespace

bool SplitScriptUrl(const std::string& url, std::string* variable, std::string* address) {
    size_t at = url.find('@');
    if (at == std::string::npos || at == 0) return false;
    size_t colon = url.find(':');
    if (colon != std::string::npos && at > colon) return false;
    *variable = url.substr(0, at);
    *address = url.substr(at + 1);
    return true;
}

namespace {

// A reference resolved as a browser resolves it: "//host/path" keeps the page's scheme, a
// bare "#part" names the page itself; the rest as the web client resolves links.
std::string ResolveReference(const std::string& base, const std::string& reference) {
    if (reference.rfind("//", 0) == 0) {
        size_t colon = base.find(':');
        return CInet::ResolveUrl(
            base, (colon == std::string::npos ? std::string("http") : base.substr(0, colon)) + ":" +
                      reference);
    }
    if (!reference.empty() && reference[0] == '#')
        return base.substr(0, base.find('#')) + reference;
    return CInet::ResolveUrl(base, reference);
}

}  // namespace

std::string ResolveScriptResult(const std::string& base, const std::string& result) {
    // An address with a scheme of its own stands as it is.
    size_t colon = result.find(':');
    if (colon != std::string::npos && colon > 0 &&
        result.find_first_not_of(
            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.") == colon)
        return WithoutDotSegments(CInet::ResolveUrl(base, result));
    // A form's data (after "|" for a POST, "?" for a GET) may hold "://" or a "/" of its
    // own, which must not make the string look like an address of its own: only the action
    // is resolved.
    size_t cut = result.find_first_of("?|");
    if (cut == std::string::npos) return WithoutDotSegments(ResolveReference(base, result));
    std::string action = result.substr(0, cut);
    std::string target =
        action.empty() ? base.substr(0, base.find_first_of("?|#")) : ResolveReference(base, action);
    return WithoutDotSegments(target) + result.substr(cut);
}

CLumettaRetrieval::CLumettaRetrieval(ActivityLogWriter& log, QObject* parent)
    : CPanel(parent), log_(log) {
    RegisterClient(http_, WM_HTTP_LOOKUP_DONE);
}

CLumettaRetrieval::~CLumettaRetrieval() {
    http_.Abort();
    DiscardTemp();
}

void CLumettaRetrieval::Start(const std::string& eventName) {
    // Whatever an earlier start left going is over.
    http_.Abort();
    DiscardTemp();
    running_ = true;
    eventName_ = eventName;
    SetTitle("Lumetta " + eventName);
    index_ = 0;
    ClearScriptState();
    NextStep();
}

void CLumettaRetrieval::OnStepMessage(UINT msg, WPARAM wParam, LPARAM) {
    if (!running_) return;
    if (msg == WM_HTTP_GET_DONE) OnGetDone(static_cast<uint32_t>(wParam));
}

void CLumettaRetrieval::NextStep() {
    // A loop, not a recursion: an event of a thousand broken documents is a thousand records
    // and no deeper stack.
    while (running_) {
        if (scriptPending_) {
            if (RunScript()) return;
            continue;  // this document is told and done; the next one may still work
        }
        bool none = false;
        if (StartDocument(&none)) return;
        if (none) {
            Finish(0);
            return;
        }
    }
}

bool CLumettaRetrieval::StartDocument(bool* none) {
    subkey_.clear();
    docFile_.clear();
    url_.clear();
    filterFile_.clear();
    variable_.clear();
    ClearScriptState();

    RegKey event;
    LONG rc = event.Open(RegKey::LocalMachine(), settings::EventPath(eventName_));
    if (rc != ERROR_SUCCESS) {
        // Without its key the event lists nothing to go on with.
        ReportError("The settings of the event cannot be opened (error " + std::to_string(rc) +
                    ").");
        *none = true;
        return false;
    }
    std::string subkey;
    const uint32_t index = index_;
    rc = event.EnumKey(index, &subkey);
    if (rc == ERROR_NO_MORE_ITEMS) {
        *none = true;
        return false;
    }
    ++index_;
    subkey_ = subkey;
    RegKey doc;
    if (rc == ERROR_SUCCESS) rc = doc.Open(event, subkey);
    if (rc != ERROR_SUCCESS) {
        ReportError("The settings of document " +
                    (subkey.empty() ? "number " + std::to_string(index + 1) : subkey) +
                    " cannot be opened (error " + std::to_string(rc) + ").");
        return false;
    }
    // Each read as the wizard writes it, at most 256 bytes; a longer value reads as empty
    // and is told below rather than cut into some other name.
    docFile_ = settings::ReadString(doc, settings::kDocFile, settings::kStringBuffer);
    std::string url = settings::ReadString(doc, settings::kUrl, settings::kStringBuffer);
    filterFile_ = settings::ReadString(doc, settings::kFilterFile, settings::kStringBuffer);

    if (docFile_.empty()) {
        ReportError("Document " + subkey + " names no document file (DocFile), or one too long.");
        return false;
    }
    // The new document is made beside the old one, so that one rename puts it in place.
    const std::string folder = FolderOf(docFile_);
    if (!IsFolder(folder)) {
        ReportError(DocumentName() + "the folder " + Short(folder, 60) + " does not exist" +
                    (docFile_[0] == '/' ? "." : " (DocFile should be a full path)."));
        return false;
    }
    std::string error;
    // Nameless until it is whole: a run killed midway leaves nothing beside the document.
    if (!temp_.CreateNameless("KV4", folder, &error)) {
        ReportError(DocumentName() + "no temporary file could be made: " +
                    (error.empty() ? std::string(std::strerror(errno)) : Short(error, 80)));
        return false;
    }

    std::string address;
    if (SplitScriptUrl(url, &variable_, &address)) {
        if (filterFile_.empty()) {
            ReportError(DocumentName() + "no page script (FilterFile) is named for the variable " +
                        Short(variable_, 32) + ".");
            DiscardTemp();
            return false;
        }
        capture_ = true;
        scriptPending_ = true;
        page_.clear();
        url = address;
    }
    url_ = url;
    SetLines("Connecting to host for : ", url_);
    // A starting page larger than a script may read is not fetched past that bound.
    http_.SetResponseLimit(capture_ ? captureLimit_ + 64 * 1024 : 0);
    uint32_t started = http_.Get(url_, temp_.Fd());
    if (started != 0) {
        ReportError(HttpFailure(started));
        DiscardTemp();
        ClearScriptState();
        return false;
    }
    SetLine1("Retrieving : ");
    return true;
}

bool CLumettaRetrieval::RunScript() {
    // The record's text is cut at the log's limit: the document and the cause first, the
    // script by its file's name, the page's address last.
    std::string result;
    std::string why;
    const std::string script = Short(BaseName(filterFile_), 40);
    if (!script_.Load(filterFile_)) {
        std::string said = script_.error();
        size_t at = said.find(filterFile_);
        if (!filterFile_.empty() && at != std::string::npos)
            said.replace(at, filterFile_.size(), script);
        why = DocumentName() +
              (!said.empty() ? said : "The page script " + script + " cannot be read.");
    } else {
        result = script_.Run(page_, variable_, 1);
        if (result.empty())
            why = DocumentName() +
                  (script_.error().empty()
                       ? "nothing found by the variable " + Short(variable_, 32) +
                             " of the page script " + script + " on " + Short(url_, 60) + "."
                       : script_.error() + " (the variable " + Short(variable_, 32) + " of " +
                             script + ")");
    }
    ClearScriptState();
    if (result.empty()) {
        ReportError(why);
        DiscardTemp();
        return false;
    }
    // Only a form's submission string holds its "|" on purpose: in a link or a piece of the
    // page it is part of the address, and must not turn the request into a POST.
    if (script_.endedBy() != CPageScript::kSubmit) {
        std::string escaped;
        for (char c : result) escaped += c == '|' ? std::string("%7C") : std::string(1, c);
        result = std::move(escaped);
    }
    url_ = ResolveScriptResult(url_, result);
    if (!EmptyTemp()) {
        ReportError(DocumentName() +
                    "the temporary file cannot be emptied: " + std::strerror(errno));
        DiscardTemp();
        return false;
    }
    SetLines("Connecting to host for : ", url_);
    http_.SetResponseLimit(0);
    uint32_t started = http_.Get(url_, temp_.Fd());
    if (started != 0) {
        ReportError(HttpFailure(started));
        DiscardTemp();
        return false;
    }
    SetLine1("Retrieving : ");
    return true;
}

void CLumettaRetrieval::OnGetDone(uint32_t result) {
    if (!http_.url().empty()) url_ = http_.url();
    if (IsFailure(result)) {
        // The old document stays; a script waiting for this page has nothing to run over.
        ReportError(HttpFailure(result));
        DiscardTemp();
        ClearScriptState();
    } else if (capture_) {
        if (CapturePage()) {
            capture_ = false;
            scriptPending_ = true;
        } else {
            DiscardTemp();
            ClearScriptState();
        }
    } else {
        StoreDocument();
    }
    NextStep();
}

bool CLumettaRetrieval::CapturePage() {
    page_.clear();
    struct stat st {};
    if (::fstat(temp_.Fd(), &st) != 0) {
        ReportError(DocumentName() + "the page cannot be read back: " + std::strerror(errno));
        return false;
    }
    if (static_cast<uint64_t>(st.st_size) > captureLimit_) {
        ReportError(DocumentName() + "the page " + Short(url_, 60) + " is larger than " +
                    std::to_string(captureLimit_) + " bytes, too large for the page script.");
        return false;
    }
    page_.resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    while (got < page_.size()) {
        ssize_t n =
            ::pread(temp_.Fd(), page_.data() + got, page_.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    page_.resize(got);
    return true;
}

bool CLumettaRetrieval::StoreDocument() {
    // Written through to the disk before it takes the old one's name: after a crash the
    // name holds the old document or the new one, each whole, never a part.
    if (::fsync(temp_.Fd()) != 0) {
        int syncError = errno;
        DiscardTemp();
        ReportError(DocumentName() + "it could not be written: " + std::strerror(syncError));
        return false;
    }
    // Whoever could read the old document can read the new one.
    struct stat old {};
    if (::stat(docFile_.c_str(), &old) == 0 && S_ISREG(old.st_mode))
        ::fchmod(temp_.Fd(), old.st_mode & 07777);
    std::string error;
    if (!temp_.Publish("KV4", docFile_, &error)) {
        DiscardTemp();
        ReportError(DocumentName() + "it could not be replaced: " + error);
        return false;
    }
    SyncFolder(FolderOf(docFile_));
    // Where the document came from, for the ticker's click; the document stands without it.
    RegKey event, doc;
    if (event.Open(RegKey::LocalMachine(), settings::EventPath(eventName_)) == ERROR_SUCCESS &&
        doc.Open(event, subkey_) == ERROR_SUCCESS)
        doc.SetString(settings::kFetchedUrl, url_);
    return true;
}

std::string CLumettaRetrieval::HttpFailure(uint32_t code) {
    // Which document by its file's name, then the web client's words; the address last,
    // where the log's cut may shorten it.
    std::string said = code >= 300 && code < 400
                           ? "The Web Server " + http_.host() + " answered " +
                                 std::to_string(code) +
                                 ", a redirection that was not followed, and sent no document."
                           : http_.ErrorText(code);
    return DocumentName() + said + " (" + Short(url_, 60) + ")";
}

std::string CLumettaRetrieval::DocumentName() const {
    return Short(BaseName(docFile_), 40) + ": ";
}

void CLumettaRetrieval::ReportError(const std::string& message) {
    // A long event name would leave no room in the record for the document and the cause.
    WriteErrorRecord(log_, "retrieving the web document for " + Short(eventName_, 48), message);
    http_.Abort();
}

bool CLumettaRetrieval::EmptyTemp() {
    return temp_.IsOpen() && ::ftruncate(temp_.Fd(), 0) == 0 &&
           ::lseek(temp_.Fd(), 0, SEEK_SET) == 0;
}

void CLumettaRetrieval::DiscardTemp() {
    const std::string path = temp_.Path();
    temp_.Close();
    if (!path.empty()) ::unlink(path.c_str());
}

void CLumettaRetrieval::ClearScriptState() {
    capture_ = false;
    scriptPending_ = false;
    page_.clear();
    page_.shrink_to_fit();
}

void CLumettaRetrieval::Finish(WPARAM code) {
    SetLines("Done.", "");
    DiscardTemp();
    ClearScriptState();
    running_ = false;
    Complete(code);
}

void CLumettaRetrieval::Cancel(int code) {
    if (!running_) return;
    SetLine1("Disconnecting from Web Servers");
    http_.Abort();
    Finish(static_cast<WPARAM>(code));
}

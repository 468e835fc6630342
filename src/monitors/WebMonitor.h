#pragma once

// Checks every document that a web site event watches, tells which appeared, moved,
// vanished, were updated or changed size, and remembers what it saw. For an event that
// watches the entire site it also reads each page and adds the in-site links it finds.
// Several documents may be under way at once, each on a client of its own; what the run
// tells, and in which order, is what checking them one after the other would tell.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "net/Http.h"
#include "net/Panel.h"
#include "platform/Registry.h"
#include "settings/Settings.h"

class ActivityLogWriter;

// The longest address the watch list takes: what sitemaps and browsers allow, so that a
// crawl caught in ever longer addresses stays bounded in memory.
inline constexpr size_t kMaxWatchedUrl = 2048;

// What the watch list remembers of one document: 12 bytes, three little-endian numbers.
struct WatchedUrlRecord {
    uint32_t lastModified = 0;
    uint32_t status = 0;
    uint32_t contentLength = 0;

    Bytes Encode() const;
    static WatchedUrlRecord Decode(const Bytes& data);
};

// What one document of the watch list looks like to this run.
struct WatchedDocument {
    std::string url;
    WatchedUrlRecord record;
};

// What the check of one document found, kept until every document before it in the watch
// list has been told: the run reports in list order however the answers arrive. Every text
// the client would give for a failure is taken when it happens, since the client goes on
// to other documents.
struct DocumentCheck {
    uint32_t started = 0;  // not 0: the HEAD could not even be asked, this is why
    uint32_t head = 0;     // the HEAD's answer (or the GET's, for a server that refuses HEAD)
    std::string headError;
    std::string landed;      // where the answer came from, after the redirections followed
    bool busy = false;       // 429 or 503: the server could not be asked this time
    bool moved = false;      // the answer is a redirection the client gave up following
    std::string unfollowed;  // where it redirects when that is no web address (mailto:)
    bool hasModified = false, hasLength = false;
    std::string modified, length, contentType;
    bool fetched = false;    // the page was asked for its links
    uint32_t getFailed = 0;  // not 0: the GET could not be asked or failed, this is why
    std::string getError;
    // In-site links the page holds that the list lacked when it was read: page order, each
    // once, no more than could still be added.
    std::vector<std::string> links;
    // In-site links too long to be watched: how many, and the first of them.
    size_t tooLong = 0;
    std::string tooLongLink;
};

class CWebFetch;

class CWebMonitor : public CPanel {
    Q_OBJECT
public:
    explicit CWebMonitor(ActivityLogWriter& log, QObject* parent = nullptr);
    ~CWebMonitor() override;

    void Start(const std::string& eventName) override;
    void Cancel(int code) override;

    bool running() const { return running_; }
    // How many documents this run checks at once.
    size_t parallel() const { return parallel_; }

private:
    friend class CWebFetch;

    // Tells every finished check that is next in list order, asks for the next documents
    // while there is room, and ends the run when nothing is left.
    void Pump();
    void Dispatch();
    // A fetch finished its document.
    void Checked(CWebFetch& fetch);
    // Reports one document's check as the one-at-a-time run would, and stores what it
    // learnt in one step; false when it ended the run.
    bool Tell(const WatchedDocument& doc, DocumentCheck& check);
    // Whether the current document's host is the site's own server: its failure ends the run.
    bool IsSiteServer(const std::string& url) const;
    // A link the crawl may add (scheme and site allow it), normalised; empty if not. One
    // longer than the watch list takes is empty too, with *tooLong set.
    std::string SiteLink(const std::string& link, bool* tooLong) const;
    void StoreDocument(const std::string& url, const WatchedUrlRecord* record,
                       const std::vector<std::string>& added);
    void ReportError(const std::string& text);
    void Finish(uint32_t code);
    void StopFetches();

    ActivityLogWriter& log_;
    std::vector<std::unique_ptr<CWebFetch>> fetches_;
    size_t parallel_ = 1;
    bool running_ = false;
    // The settings of the root are read once in a run, not for every request.
    std::optional<settings::RootSettingsScope> rootSettings_;

    std::string eventName_;
    std::string emailBody_;
    int changedDocuments_ = 0;

    // The watch list: as stored when the run began, then each document the crawl adds.
    std::vector<WatchedDocument> list_;
    std::unordered_set<std::string> listed_;  // the names of list_, in the store's fold
    size_t nextDispatch_ = 0, nextCommit_ = 0;
    std::map<size_t, DocumentCheck> finished_;  // finished, waiting for the ones before
    size_t bufferedLinks_ = 0;                  // links held in finished_
    bool storeFailureTold_ = false;
    bool tooLongTold_ = false;  // links too long to watch were told in this run

    DWORD entireDomain_ = 0, notifyViaEmail_ = 0, notifyViaWindows_ = 0;
    std::string notifyEmailTo_, site_;
    std::string siteHost_, sitePath_;
    int sitePort_ = 80;
    // The most documents the crawl may grow the watch list to, how many it holds, and
    // whether the bound has been told (once, in the run that reaches it).
    DWORD maxDocuments_ = settings::kDefaultMaxDocuments;
    DWORD watchedCount_ = 0;
    bool boundTold_ = false;
};

#pragma once

// Checks every document that a web site event watches, tells which appeared, moved,
// vanished, were updated or changed size, and remembers what it saw. For an event that
// watches the entire site it also reads each page and adds the in-site links it finds.

#include <cstdint>
#include <string>

#include "net/Http.h"
#include "net/Panel.h"
#include "platform/Registry.h"
#include "platform/TempFile.h"
#include "settings/Settings.h"

class ActivityLogWriter;

// What the watch list remembers of one document: 12 bytes, three little-endian numbers.
struct WatchedUrlRecord {
    uint32_t lastModified = 0;
    uint32_t status = 0;
    uint32_t contentLength = 0;

    Bytes Encode() const;
    static WatchedUrlRecord Decode(const Bytes& data);
};

class CWebMonitor : public CPanel {
    Q_OBJECT
public:
    explicit CWebMonitor(ActivityLogWriter& log, QObject* parent = nullptr);
    ~CWebMonitor() override;

    void Start(const std::string& eventName) override;
    void Cancel(int code) override;

    CHttp& http() { return http_; }
    bool running() const { return running_; }

protected:
    void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    void NextDocument();
    void OnHeadDone(uint32_t result);
    void OnGetDone(uint32_t result);
    void ExtractLinks();
    void AddLink(const std::string& link);
    // Whether a failure of the current document is one of the site itself, which ends the run.
    bool IsSiteServer() const;
    void StoreRecord();
    void ReportError(uint32_t code);
    void Finish(uint32_t code);
    bool TruncateTemp();

    ActivityLogWriter& log_;
    CHttp http_;
    TempFile temp_;
    RegKey watched_;
    bool running_ = false;

    std::string eventName_;
    std::string url_;
    WatchedUrlRecord record_;
    int index_ = -1;
    std::string emailBody_;
    int changedDocuments_ = 0;
    std::string contentType_;

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

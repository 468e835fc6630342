#pragma once

// Keeps the document files of a Lumetta display event up to date: each run fetches every
// document the event lists and stores the response under the file name the ticker reads.
// A document comes from a fixed address, or from a page script: a starting page is
// fetched, a variable of the script is run over it, and what it yields (a link, a form
// submission) is fetched as the document.

#include <cstddef>
#include <cstdint>
#include <string>

#include "content/PageScript.h"
#include "net/Http.h"
#include "net/Panel.h"
#include "platform/TempFile.h"

class ActivityLogWriter;

// A Url value of the form "variable@starting page": the "@" stands at a position above 0
// and before the first ":", so that "http://user@host/" stays an address. True with both
// parts set when url has that form.
bool SplitScriptUrl(const std::string& url, std::string* variable, std::string* address);

// The address a script result names, relative to base (the page it was found on). A form
// submission ("action|data" for a POST, "action?data" for a GET) has only its action
// resolved: the data is passed on as it stands, whatever it holds.
std::string ResolveScriptResult(const std::string& base, const std::string& result);

class CLumettaRetrieval : public CPanel {
    Q_OBJECT
public:
    // The largest starting page a script is run over; a larger one counts as a failed fetch.
    static constexpr size_t kMaxCapturedPage = 8u * 1024 * 1024;

    explicit CLumettaRetrieval(ActivityLogWriter& log, QObject* parent = nullptr);
    ~CLumettaRetrieval() override;

    void Start(const std::string& eventName) override;
    void Cancel(int code) override;

    CHttp& http() { return http_; }
    bool running() const { return running_; }
    // Lets a test reach the page bound without a page of that size.
    void SetCaptureLimit(size_t bytes) { captureLimit_ = bytes; }

protected:
    void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    // Starts the fetch of the next document, or finishes the run when none is left. A
    // document that cannot be fetched is reported and the next one is tried.
    void NextStep();
    // Opens the document subkey at index_ and starts its fetch; false when it could not be
    // started (already reported), *none when the event lists no more documents.
    bool StartDocument(bool* none);
    // Runs the script over the captured page and starts the fetch of what it yields; false
    // (already reported) when there is nothing to fetch.
    bool RunScript();
    void OnGetDone(uint32_t result);
    // The captured starting page into page_; false (reported) when it cannot be read whole.
    bool CapturePage();
    // Puts the fetched document in place of the old one; false (reported) when it could not.
    bool StoreDocument();
    // "An error occured while retrieving the web document for EVENT.   The error message
    // was : message", then the connection is closed.
    void ReportError(const std::string& message);
    // "FILE: ", the document's file name without its folder (shortened in the middle when
    // long), which begins each record about a document that was not fetched.
    std::string DocumentName() const;
    // The web client's text for code, with the document and the address it was fetched from.
    std::string HttpFailure(uint32_t code);
    bool EmptyTemp();
    void DiscardTemp();
    void ClearScriptState();
    void Finish(WPARAM code);

    ActivityLogWriter& log_;
    CHttp http_;
    CPageScript script_;
    TempFile temp_;
    bool running_ = false;
    size_t captureLimit_ = kMaxCapturedPage;

    std::string eventName_;
    uint32_t index_ = 0;
    std::string subkey_, docFile_, url_, filterFile_, variable_;
    bool capture_ = false;
    bool scriptPending_ = false;
    std::string page_;
};

#pragma once

// Logs into one POP3 mailbox, retrieves its messages one by one and tells which are new:
// a log record, a line of the result e-mail, copies to the event's addresses, a fax, and
// one pager call queued for the end of the run. It can also forward every message to
// another address and then delete it from the box.
//
// Everything is driven by the two clients' completions: each step starts the next
// operation and returns. The copies of a new message are steps like the others: each
// copy's own completion starts the next copy, then the fax, then the forward.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "net/Panel.h"
#include "net/Pop3.h"
#include "net/Smtp.h"
#include "notify/FaxSender.h"
#include "platform/TempFile.h"

class ActivityLogWriter;
class CPagerCallQueue;

class CMailMonitor : public CPanel {
    Q_OBJECT
public:
    CMailMonitor(ActivityLogWriter& log, CPagerCallQueue& pager, FaxSender& fax,
                 QObject* parent = nullptr);
    ~CMailMonitor() override;

    void Start(const std::string& eventName) override;
    void Cancel(int code) override;

    CPop3& pop3() { return pop3_; }
    CSmtp& smtp() { return smtp_; }
    bool running() const { return phase_ != Phase::kIdle; }

    // The identifier a message is remembered by: its Message-Id, or, for a message without
    // one (or with one no list could hold), a digest of what identifies it.
    static std::string IdentifierOf(const std::string& headerBlock);

protected:
    void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    enum class Phase {
        kIdle,
        kLoggingIn,
        kSmtpConnecting,
        kListingUids,
        kFetchingHeader,
        kRetrieving,
        kCopying,
        kForwarding,
        kDeleting,
        kPop3Ending,
        kSmtpEnding,
        // After an error or a cancel: the POP3 operation under way ends, the accepted
        // forward is deleted and QUIT makes the deletions stick, then the run completes.
        kEndWaiting,
        kEndDeleting,
        kEndQuitting,
    };

    void ReadSettings();
    void ConnectSmtp();
    void ListUids();
    void TakeUidList(uint32_t result);
    void NextMessage();
    void FetchHeader();
    void RetrieveWhole();
    void OnRetrieved(uint32_t result);
    void OnHeader(uint32_t result);
    void Report(const std::string& headerBlock);
    void SendNextCopy();
    void AfterCopies();
    void Forward();
    void OnSent(uint32_t result);
    void OnDeleted(uint32_t result);
    void OnPop3Ended(uint32_t result);
    void Remember(const std::string& id);
    void QueuePagerCall();
    void Finish();

    void Pop3Error(uint32_t code);
    void SmtpError(uint32_t code);
    // Ends the run after an error or a cancel, keeping the deletions already made.
    void EndRun(uint32_t code);
    void EndPop3Session();
    void Completed(uint32_t code);
    bool TruncateFile();
    int number() const { return index_ + 1; }

    ActivityLogWriter& log_;
    CPagerCallQueue& pager_;
    FaxSender& fax_;
    CPop3 pop3_;
    CSmtp smtp_;
    TempFile file_;  // the current message, or the UIDL list

    Phase phase_ = Phase::kIdle;
    uint32_t endCode_ = 0;
    std::string eventName_;

    // The event's values.
    std::string popHost_, popUserName_, popPassword_, forwardTo_;
    std::vector<std::string> copyTo_;
    std::string pagerPhone_, pagerMsg_, notifyEmailTo_;
    bool forwardMail_ = false, enablePager_ = false, enableFax_ = false;
    bool notifyViaEmail_ = false, notifyViaWindows_ = false;
    FaxSettings faxSettings_;
    uint32_t popSecurity_ = 0;

    // What earlier runs reported, and what this run has seen.
    std::unordered_set<std::string> oldIds_;
    std::unordered_map<std::string, std::string> oldUids_;  // server uid -> identifier
    std::string newIds_, newUids_;
    std::vector<std::string> serverUids_;  // by message number; empty when not offered
    bool topRefused_ = false;

    int count_ = 0;
    int index_ = 0;
    size_t copyIndex_ = 0;
    std::string emailBody_;
    int emailCount_ = 0;
    int pagerCount_ = 0;
    // The forward of the current message has been accepted and it is not deleted yet.
    bool forwardAccepted_ = false;
    int deletions_ = 0;
};

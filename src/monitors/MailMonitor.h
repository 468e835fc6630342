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
    bool Finishing() const override;

    CPop3& pop3() { return pop3_; }
    CSmtp& smtp() { return smtp_; }
    bool running() const { return phase_ != Phase::kIdle; }

    // The identifier a message is remembered by: its Message-Id, or, for a message without
    // one (or with one no list could hold), a digest of what identifies it.
    static std::string IdentifierOf(const std::string& headerBlock);

    // The panel's timer that bounds a whole run's mailbox work, and the one that bounds one
    // list or message to half of that, so that the messages behind one that never ends
    // still get their turn.
    static constexpr UINT kRunLimitTimer = 11;
    static constexpr UINT kRequestLimitTimer = 12;

protected:
    void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnTimer(UINT id) override;

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
    void OnLoggedIn(uint32_t result);
    // Copies or forwards go out through the SMTP server.
    bool NeedsSmtp() const;
    void ConnectSmtp();
    void ListUids();
    void TakeUidList(uint32_t result);
    void NextMessage();
    void FetchHeader();
    void RetrieveWhole();
    void OnRetrieved(uint32_t result);
    void OnHeader(uint32_t result);
    // RETR or TOP of the current message failed: it is told and passed over.
    void MessageFailed(uint32_t result);
    void Report(const std::string& headerBlock);
    void SendNextCopy();
    void AfterCopies();
    void Forward();
    // Deletes the current message, whose forward the forward address has.
    void DeleteForwarded();
    void OnSent(uint32_t result);
    void OnDeleted(uint32_t result);
    void OnPop3Ended(uint32_t result);
    void Remember(const std::string& id);
    // Stores what this run has seen of the box; cut: the walk did not see all of it.
    void StoreSeen(bool cut);
    // The run's time is up: whatever the servers are doing, the run ends now or after a
    // short goodbye, keeping what it has done.
    void OnRunLimit();
    // A list or a message has had its half: it is passed over in a new session.
    void OnRequestLimit();
    void StartRequestLimit();
    void QueuePagerCall();
    // The pager call and the result e-mail of what this run told.
    void QueueResults();
    void Finish();
    void EndOfWalk();

    void Pop3Error(uint32_t code);
    void SmtpError(uint32_t code);
    void WriteError(const std::string& text);
    // The POP3 session broke in the middle of the walk: a new session goes on where it
    // was, a few times a run at most.
    void RestartSession(uint32_t code);
    // Ends the run after an error or a cancel, keeping the deletions already made.
    void EndRun(uint32_t code);
    void EndPop3Session();
    // The server has confirmed the deletions of this session (its answer to QUIT).
    void DeletionsKept(bool wholeBox);
    void SaveForwarded();
    void Completed(uint32_t code);
    bool TruncateFile();
    int total() const;
    int number() const;
    // The current message's uid, when the server gave it one that is its alone.
    const std::string* Uid() const;

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
    std::string passwordProblem_;  // why the keyring did not give PopPassword, or empty
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
    bool topRefused_ = false;

    // The messages of the walk: the numbers the server listed, or 1 to the count it gave
    // when it lists none.
    bool listed_ = false;
    bool listingBroken_ = false;  // the list broke a session: the next one goes without
    std::vector<int> numbers_;
    std::unordered_map<int, std::string> uids_;  // number -> uid, for uids listed once

    // Forwards accepted whose deletions no QUIT has confirmed (stored), and of this
    // session: the keys deleted and those the server would not delete.
    std::unordered_set<std::string> forwarded_;
    std::unordered_set<std::string> deletedKeys_, undeletedKeys_;
    std::string currentKey_;  // the forward key of the current message

    // Messages that broke a session of this run: not asked for again until the next run.
    std::unordered_set<std::string> passedUids_;
    std::unordered_set<int> passedNumbers_;
    int sessions_ = 0;
    // The walk was cut short by the run's time limit; the limit's seconds.
    bool walkCut_ = false;
    uint32_t runLimitSeconds_ = 0;
    int unretrievable_ = 0;  // messages of this run that could not be retrieved
    int inARow_ = 0;         // ... one after the other

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

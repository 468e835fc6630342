#pragma once

// Outgoing mail: results are written as complete files into "Forward" and sent together
// at the end of every run, so that nothing is lost to a failed connection or a restart.

#include <string>

#include "net/Panel.h"
#include "net/Smtp.h"
#include "net/UniqueFd.h"

class ActivityLogWriter;

inline constexpr const char* kForwardFolder = "Forward";
// Below kForwardFolder: messages a server refused for good, kept for the user to look at
// and never sent again by themselves.
inline constexpr const char* kFailedFolder = "Forward/Failed";

// Writes one queued message. False (with a record in log) when it could not be written;
// the caller's run goes on either way.
bool QueueMail(ActivityLogWriter& log, const std::string& body, const std::string& recipient,
               const std::string& subject, const std::string& sender);
// The text of a queued message as it goes into its file.
std::string QueuedMailText(const std::string& body, const std::string& recipient,
                           const std::string& subject, const std::string& sender, time_t now);

// Sends every queued message through one SMTP session and deletes each that the server
// accepted. A message the server refuses for good is moved to kFailedFolder; one it refuses
// for now stays queued. Either way the messages behind it go on. The mail queue step of a
// run.
class CMailQueueSender : public CPanel {
    Q_OBJECT
public:
    explicit CMailQueueSender(ActivityLogWriter& log, QObject* parent = nullptr);
    ~CMailQueueSender() override;

    void Start(const std::string& eventName) override;
    void Cancel(int code) override;

    CSmtp& smtp() { return smtp_; }
    int count() const { return count_; }

protected:
    void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;

private:
    // The first queued file not passed over in this run, or empty.
    std::string FindQueued() const;
    // Removes what a program killed while it queued a message left behind.
    void SweepAbandoned();
    void SendNext();
    // The server has the current message: its file goes at once.
    void OnAccepted();
    // The server refused the current message (recipient or text) with the session intact
    // or not.
    void OnRefused(uint32_t code);
    // Moves the current file into kFailedFolder; its new path, or empty when it cannot.
    std::string SetAside();
    void OpenSession();
    // Sends what is still queued in a new session, once the old one can no longer be used.
    void GoOnInNewSession();
    void ErrorReport(uint32_t code);
    void Stop(uint32_t code);
    void Finish(uint32_t code);
    void CloseCurrent();

    ActivityLogWriter& log_;
    CSmtp smtp_;
    std::string found_;
    std::string currentPath_;
    UniqueFd currentFd_;
    std::string currentRecipient_;
    bool currentRemoved_ = false;
    uint32_t runError_ = 0;  // the first refusal of this run, reported when it ends
    int count_ = 0;
    bool active_ = false;
    std::vector<std::string> skipped_;
};

#pragma once

// Faxing a retrieved message: the fax text (the message's To, Cc, From and Subject lines and
// its decoded text, cut at the event's size limit) and the first attachment are made here
// from the stored message; a FaxSender hands them to whatever sends faxes, which is the
// messaging system (a fax client command) in the program and a recording fake in tests.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

class ActivityLogWriter;
class Messaging;

// One fax as the sending channel gets it.
struct FaxMessage {
    std::string faxPhone;  // the number; the address is "FAX:" + faxPhone
    std::string faxName;   // the recipient's name
    std::string subject;   // the message's Subject, empty when it has none
    std::string noteText;  // header lines, an empty line, the text
    // The first attachment, when one goes with the fax: a file the caller deletes after
    // the send, and the bare name it had in the message.
    std::string attachmentPath;
    std::string attachmentName;
};

class FaxSender {
public:
    virtual ~FaxSender() = default;
    // True when the fax was handed over.
    virtual bool SendFax(const FaxMessage& fax) = 0;
    // A schedule run is over: what is told once a run may be told again.
    virtual void RunFinished() {}
};

inline constexpr const char* kFaxNotInstalled = "The Microsoft Exchange program is not installed.";
inline constexpr const char* kFaxLogonFailed = "Failed to log into Microsoft Exchange.";
inline constexpr const char* kFaxSendFailed = "Failed to send FAX to Microsoft Exchange.";

// Hands each fax to the messaging system, which is loaded for each fax and let go after
// it. Nothing here ever asks anyone: a run goes on unattended, so a missing messaging
// system is one log record a run, and a failed logon or send one record each.
class MessagingFaxSender final : public FaxSender {
public:
    // The messaging system, or nullptr with *why set when there is none.
    using Loader = std::function<std::unique_ptr<Messaging>(std::string* why)>;
    // load: by default the fax client named by the root value "FaxProgram" ("sendfax").
    explicit MessagingFaxSender(ActivityLogWriter& log, Loader load = {});
    bool SendFax(const FaxMessage& fax) override;
    void RunFinished() override { missingTold_ = false; }

    static std::unique_ptr<Messaging> LoadConfigured(std::string* why);

private:
    ActivityLogWriter& log_;
    Loader load_;
    bool missingTold_ = false;
};

// What a mail event says about its faxes.
struct FaxSettings {
    std::string faxPhone, faxName;
    uint32_t maximumFaxSize = 30720;
    bool sendAttachments = false;
};

inline constexpr const char* kFaxTruncated =
    "\r\n\r\nThe remainder of the email has been truncated.\r\n";

// Builds the fax of the message stored in fd (as POP3 delivers it for sending on: lines
// that begin with a dot doubled, the closing "." line included) and hands it to sender.
// Every file made on the way is gone when it returns. The sender's answer.
bool FaxStoredMessage(int fd, const FaxSettings& settings, FaxSender& sender);

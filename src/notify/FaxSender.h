#pragma once

// Faxing a retrieved message: the fax text (the message's To, Cc, From and Subject lines and
// its decoded text, cut at the event's size limit) and the first attachment are made here
// from the stored message; a FaxSender hands them to whatever sends faxes. The sending
// channel comes later; until then the default sender records that faxing is not available.

#include <cstdint>
#include <string>

class ActivityLogWriter;

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
};

// Writes one record per fax that faxing is not available in this build.
class UnavailableFaxSender final : public FaxSender {
public:
    explicit UnavailableFaxSender(ActivityLogWriter& log) : log_(log) {}
    bool SendFax(const FaxMessage& fax) override;

private:
    ActivityLogWriter& log_;
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

#include "notify/FaxSender.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "net/Inet.h"
#include "net/Mime.h"
#include "net/UniqueFd.h"
#include "notify/MailHeader.h"
#include "platform/Messaging.h"
#include "platform/TempFile.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

// The body is taken in blocks of this size; the size limit is checked after each.
constexpr size_t kFaxBlock = 1020;

// The sender's name on every fax: the program's.
constexpr const char* kFaxOriginator = "Quorvane";

// A log text and, when there is one, what the messaging system said about it.
std::string WithDetail(const char* text, const std::string& detail) {
    return detail.empty() ? std::string(text) : std::string(text) + " (" + detail + ")";
}

// Copies the message as it was written into out: the doubled dot at a line's start made
// single again, and the closing "." line left out. Streams, so any size goes through.
bool Unstuff(int in, int out) {
    char buf[8192];
    bool atLineStart = true;
    bool pendingDot = false;  // a line began with one dot; the next byte decides
    off_t at = 0;
    std::string chunk;
    for (;;) {
        ssize_t got = ::pread(in, buf, sizeof buf, at);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return false;
        if (got == 0) break;
        at += got;
        chunk.clear();
        for (ssize_t i = 0; i < got; ++i) {
            char c = buf[i];
            if (pendingDot) {
                pendingDot = false;
                if (c == '.') {  // ".." stands for "."
                    chunk += '.';
                    atLineStart = false;
                    continue;
                }
                if (c == '\r' || c == '\n') {
                    // The "." line ends the message: nothing behind it belongs to it.
                    return WriteAll(out, chunk.data(), chunk.size());
                }
                chunk += '.';
            }
            if (atLineStart && c == '.') {
                pendingDot = true;
                atLineStart = false;
                continue;
            }
            chunk += c;
            atLineStart = c == '\n';
        }
        if (!WriteAll(out, chunk.data(), chunk.size())) return false;
    }
    if (pendingDot) return WriteAll(out, ".", 1);
    return true;
}

}  // namespace

MessagingFaxSender::MessagingFaxSender(ActivityLogWriter& log, Loader load)
    : log_(log), load_(load ? std::move(load) : Loader(&MessagingFaxSender::LoadConfigured)) {}

std::unique_ptr<Messaging> MessagingFaxSender::LoadConfigured(std::string* why) {
    std::string program;
    ReadRootPath(settings::kFaxProgram, program);
    if (program.empty()) program = settings::kDefaultFaxProgram;
    return FaxClientMessaging::Load(program, why);
}

bool MessagingFaxSender::SendFax(const FaxMessage& fax) {
    std::string profile;
    ReadRootString(settings::kFaxProfile, profile);

    MapiMessage message;
    message.subject = fax.subject;
    message.noteText = fax.noteText;
    message.originator = MapiRecipDesc{MAPI_ORIG, kFaxOriginator, {}};
    message.recips.push_back(MapiRecipDesc{MAPI_TO, fax.faxName, "FAX:" + fax.faxPhone});
    if (!fax.attachmentPath.empty())
        message.files.push_back(MapiFileDesc{-1, fax.attachmentPath, fax.attachmentName});

    std::string why;
    std::unique_ptr<Messaging> mapi = load_(&why);
    if (!mapi) {
        // Said once a run: every message of the run would meet the same missing program.
        if (!missingTold_) {
            missingTold_ = true;
            log_.WriteLog(kIconError, WithDetail(kFaxNotInstalled, why), 0, {}, true);
        }
        return false;
    }

    LHANDLE session = 0;
    if (mapi->MAPILogon(0, profile, {}, 0, &session) != SUCCESS_SUCCESS) {
        log_.WriteLog(kIconError, WithDetail(kFaxLogonFailed, mapi->LastErrorText()), 0, {}, true);
        return false;
    }
    uint32_t rc = mapi->MAPISendMail(0, 0, message, 0);
    if (rc == MAPI_E_ATTACHMENT_OPEN_FAILURE && !message.files.empty()) {
        // The text still goes, without the attachment that cannot be read.
        message.files.clear();
        rc = mapi->MAPISendMail(0, 0, message, 0);
    }
    if (rc != SUCCESS_SUCCESS) {
        log_.WriteLog(kIconError, WithDetail(kFaxSendFailed, mapi->LastErrorText()), 0, {}, true);
        mapi->MAPILogoff(session, 0);
        return false;
    }
    mapi->MAPILogoff(session, 0);
    return true;
}

bool FaxStoredMessage(int fd, const FaxSettings& settings, FaxSender& sender) {
    FaxMessage fax;
    fax.faxPhone = settings.faxPhone;
    fax.faxName = settings.faxName;

    std::string block, value;
    ReadHeaderBlock(fd, &block);
    for (const char* name : {"To", "Cc", "From", "Subject"}) {
        if (FindHeader(block, name, &value))
            fax.noteText += std::string(name) + ": " + mime::HeaderText(value) + "\r\n";
    }
    if (FindHeader(block, "Subject", &fax.subject)) fax.subject = mime::HeaderText(fax.subject);
    fax.noteText += "\r\n\r\n";

    TempFile plain;
    if (!plain.CreateUnnamed("KV2") || !Unstuff(fd, plain.Fd())) {
        // Without a clean copy the text cannot be decoded; the header still goes.
        return sender.SendFax(fax);
    }

    std::string textPath;
    if (CInet::ExtractPart(plain.Fd(), 0, &textPath, nullptr) == 1) {
        UniqueFd text(::open(textPath.c_str(), O_RDONLY | O_CLOEXEC));
        ::unlink(textPath.c_str());
        char buf[kFaxBlock];
        size_t total = 0;
        while (text.valid()) {
            ssize_t got = ::read(text.get(), buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            fax.noteText.append(buf, static_cast<size_t>(got));
            total += static_cast<size_t>(got);
            if (total >= settings.maximumFaxSize) {
                fax.noteText += kFaxTruncated;
                break;
            }
        }
    }

    std::string attachment;
    if (settings.sendAttachments &&
        CInet::ExtractPart(plain.Fd(), 1, &attachment, &fax.attachmentName) == 1)
        fax.attachmentPath = attachment;
    bool sent = sender.SendFax(fax);
    if (!attachment.empty()) ::unlink(attachment.c_str());
    return sent;
}

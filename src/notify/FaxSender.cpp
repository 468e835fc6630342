#include "notify/FaxSender.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "net/Inet.h"
#include "net/UniqueFd.h"
#include "notify/MailHeader.h"
#include "platform/TempFile.h"
#include "settings/ActivityLogWriter.h"

namespace {

// The body is taken in blocks of this size; the size limit is checked after each.
constexpr size_t kFaxBlock = 1020;

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

bool UnavailableFaxSender::SendFax(const FaxMessage& fax) {
    log_.WriteLog(kIconError,
                  "Faxing is not available: the message to FAX:" + fax.faxPhone + " was not sent.",
                  0, {}, true);
    return false;
}

bool FaxStoredMessage(int fd, const FaxSettings& settings, FaxSender& sender) {
    FaxMessage fax;
    fax.faxPhone = settings.faxPhone;
    fax.faxName = settings.faxName;

    std::string block, value;
    ReadHeaderBlock(fd, &block);
    for (const char* name : {"To", "Cc", "From", "Subject"}) {
        if (FindHeader(block, name, &value))
            fax.noteText += std::string(name) + ": " + value + "\r\n";
    }
    FindHeader(block, "Subject", &fax.subject);
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

#include "notify/MailQueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>  // renameat2
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "net/Inet.h"
#include "net/Mime.h"
#include "notify/MailHeader.h"
#include "platform/FileTrust.h"
#include "platform/Registry.h"
#include "platform/SystemClock.h"
#include "platform/TempFile.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Settings.h"

namespace {

// The queue's own files begin so; their temporary names end in ".tmp".
constexpr const char* kQueuePrefix = "KV0";
constexpr time_t kAbandonedAfterSeconds = 3600;

void LogQueueError(ActivityLogWriter& log, const std::string& what) {
    WriteErrorRecord(log, "queueing mail", what);
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

namespace {

// The sender as "display name <address>" with a name that is not ASCII as encoded words;
// the address is left alone.
std::string EncodeSender(const std::string& sender) {
    if (mime::IsAscii(sender)) return sender;
    size_t open = sender.rfind('<');
    if (open == std::string::npos || sender.back() != '>') return mime::EncodeWords(sender);
    std::string name = sender.substr(0, open);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    if (name.empty()) return sender;
    return mime::EncodeWords(name) + " " + sender.substr(open);
}

}  // namespace

std::string QueuedMailText(const std::string& body, const std::string& recipient,
                           const std::string& subject, const std::string& sender, time_t now) {
    // Mail of nothing but ASCII goes out as it always has. Anything else is UTF-8 and says
    // so, in a form that passes every server unchanged whatever it offers: this file is
    // written long before the session that sends it knows its server (or whether that
    // server takes 8-bit text at all), and a forward or copy of the user's own mail must
    // pass through the same client untouched, so nothing is converted on the way out.
    const bool ascii = mime::IsAscii(body) && mime::IsAscii(subject) && mime::IsAscii(sender);
    const std::string text8 = ascii ? body : mime::AsUtf8(body);
    std::string text;
    text += "X-Rcpt-To: " + recipient + "\r\n";
    text += "Date: " + FormatLocalTime(now, "%a, %d %b %Y %H:%M:%S %Z") + "\r\n";
    text += "From: " + (ascii ? sender : EncodeSender(mime::AsUtf8(sender))) + "\r\n";
    text += "To: " + recipient + "\r\n";
    text += "Subject: " + (ascii ? subject : mime::EncodeWords(mime::AsUtf8(subject))) + "\r\n";
    std::string encoded;
    if (ascii) {
        text += "Content-Type: text/plain; charset=ISO-8859-1\r\n";
        text += "Content-Transfer-Encoding: 7bit\r\n";
        encoded = body;
    } else {
        text += "MIME-Version: 1.0\r\n";
        text += "Content-Type: text/plain; charset=UTF-8\r\n";
        if (mime::IsAscii(text8)) {
            text += "Content-Transfer-Encoding: 7bit\r\n";
            encoded = text8;
        } else {
            text += "Content-Transfer-Encoding: quoted-printable\r\n";
            encoded = mime::EncodeQuotedPrintable(text8);
            // The end below ends a last line the body left open, as for ASCII mail.
            if (!text8.empty() && text8.back() != '\n' && encoded.size() >= 2)
                encoded.resize(encoded.size() - 2);
        }
    }
    text += "\r\n";
    // A line of the body that begins with "." gets a second one, so that no line of the
    // result can end the message early at the server.
    bool lineStart = true;
    for (char c : encoded) {
        if (lineStart && c == '.') text += '.';
        text += c;
        lineStart = c == '\n';
    }
    text += "\r\n\r\n.\r\n";
    return text;
}

bool QueueMail(ActivityLogWriter& log, const std::string& body, const std::string& recipient,
               const std::string& subject, const std::string& sender) {
    std::string text = QueuedMailText(body, recipient, subject, sender, SystemClock::Get().Now());
    std::string error;
    // Part of the installation, but made when missing. Whoever else can write in it could
    // have our mail server send what they put there.
    if (!filetrust::CheckOwnFolder(kForwardFolder, true, 0700, &error)) {
        LogQueueError(log,
                      std::string(kForwardFolder) + " " + error + ": the message is not queued.");
        return false;
    }
    TempFile file;
    if (!file.Create(kQueuePrefix, kForwardFolder, false, &error)) {
        LogQueueError(log, error);
        return false;
    }
    std::string temp = file.Path();
    // Written and flushed completely before it takes the name the sender looks for.
    if (!WriteAll(file.Fd(), text) || ::fsync(file.Fd()) != 0) {
        LogQueueError(log, temp + ": " + std::strerror(errno));
        file.Close();
        ::unlink(temp.c_str());
        return false;
    }
    file.Release();
    std::string queued = temp.substr(0, temp.rfind('.')) + ".Fwd";
    // link() never replaces an existing queued file.
    if (::link(temp.c_str(), queued.c_str()) != 0) {
        LogQueueError(log, queued + ": " + std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    ::unlink(temp.c_str());
    return true;
}

// ---------------------------------------------------------------------------------------

CMailQueueSender::CMailQueueSender(ActivityLogWriter& log, QObject* parent)
    : CPanel(parent), log_(log) {
    RegisterClient(smtp_, WM_SMTP_LOOKUP);
    connect(&smtp_, &CSmtp::MessageAccepted, this, [this] { OnAccepted(); });
}

CMailQueueSender::~CMailQueueSender() {
    CloseCurrent();
}

std::string CMailQueueSender::FindQueued() const {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(kForwardFolder), ::closedir);
    if (!dir) return {};
    std::vector<std::string> names;
    while (dirent* e = ::readdir(dir.get())) {
        std::string name = e->d_name;
        if (EndsWith(name, ".Fwd") &&
            std::find(skipped_.begin(), skipped_.end(), name) == skipped_.end())
            names.push_back(name);
    }
    if (names.empty()) return {};
    return *std::min_element(names.begin(), names.end());
}

void CMailQueueSender::Start(const std::string&) {
    skipped_.clear();
    std::string why;
    struct stat st {};
    if (::lstat(kForwardFolder, &st) == 0 &&
        !filetrust::CheckOwnFolder(kForwardFolder, false, 0700, &why)) {
        WriteErrorRecord(log_, "sending mail",
                         std::string(kForwardFolder) + " " + why + ": nothing in it is sent.");
        Complete(ERROR_ACCESS_DENIED);
        return;
    }
    SweepAbandoned();
    found_ = FindQueued();
    if (found_.empty()) {
        Complete(0);
        return;
    }
    CloseCurrent();
    count_ = 0;
    runError_ = 0;
    active_ = true;
    OpenSession();
}

void CMailQueueSender::SweepAbandoned() {
    // A message is written under a temporary name and takes its queued name in the same
    // moment; one still under its temporary name an hour later belongs to a program that
    // was killed while queueing. It was never queued (or is queued under its other name as
    // well), so nothing is lost, and the folder does not fill up with them run after run.
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(kForwardFolder), ::closedir);
    if (!dir) return;
    const time_t now = ::time(nullptr);
    while (dirent* e = ::readdir(dir.get())) {
        std::string name = e->d_name;
        if (name.rfind(kQueuePrefix, 0) != 0 || !EndsWith(name, ".tmp")) continue;
        struct stat st {};
        std::string path = std::string(kForwardFolder) + "/" + name;
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            now - st.st_mtime > kAbandonedAfterSeconds)
            ::unlink(path.c_str());
    }
}

void CMailQueueSender::OpenSession() {
    std::string server, hostName, myName;
    GetSmtpServer(server);
    GetHostName(hostName);
    GetMyName(myName);
    if (server.empty()) {
        // Looked up, an empty name would be told as an address that cannot be found, with
        // no name in it. The mail waits in the queue for a server to be set.
        WriteErrorRecord(log_, "sending mail",
                         std::string("No SMTP mail server is set (the setting ") +
                             settings::kSmtpServer + " is empty): the queued mail stays in " +
                             kForwardFolder + " until one is set.");
        Stop(WSAEDESTADDRREQ);
        return;
    }
    if (hostName.empty()) {
        // HELO needs a name; without a setting this machine's own is the honest one.
        char buf[256] = {};
        ::gethostname(buf, sizeof buf - 1);
        hostName = buf;
    }
    SetTitle("Sending queued mail to " + server);
    SetLines("Connecting to mail server " + server, "");
    // "host:port" reaches a server that does not listen on 25 (a submission port, a test).
    std::string host;
    int port = 0;
    CInet::SplitHostPort(server, &host, &port);
    uint32_t rc = smtp_.Connect(myName, hostName, host, port);
    if (rc != 0) ErrorReport(rc);
}

void CMailQueueSender::GoOnInNewSession() {
    // Each message that ends a session is set aside or skipped first, so this opens at most
    // one session per queued file.
    found_ = FindQueued();
    if (found_.empty()) {
        SetLines("Done", "");
        Finish(runError_);
        return;
    }
    smtp_.Abort();
    OpenSession();
}

void CMailQueueSender::OnStepMessage(UINT msg, WPARAM wParam, LPARAM) {
    auto code = static_cast<uint32_t>(wParam);
    if (!active_) return;
    switch (msg) {
        case WM_SMTP_READY:
            if (smtp_.state() == 0)
                ErrorReport(code);
            else
                SendNext();
            break;
        case WM_SMTP_SENT:
            if (code != 0 && !currentRemoved_) {
                OnRefused(code);
                break;
            }
            // Sent: either accepted (its file is gone already) or without a recipient.
            if (!currentRemoved_) OnAccepted();
            found_ = FindQueued();
            if (code != 0 && smtp_.state() == 0) {
                // The session broke after the server had taken the message; the rest goes
                // in a new one.
                GoOnInNewSession();
            } else if (found_.empty()) {
                smtp_.Quit();
            } else {
                SendNext();
            }
            break;
        case WM_SMTP_ENDED:
            SetLines("Done", "");
            Finish(runError_);
            break;
        default:
            break;
    }
}

void CMailQueueSender::SendNext() {
    for (;;) {
        currentPath_ = std::string(kForwardFolder) + "/" + found_;
        std::string distrust;
        currentFd_.Reset(filetrust::OpenOwnFile(currentPath_, O_RDONLY, 0, &distrust));
        if (currentFd_.valid()) break;
        if (!distrust.empty()) {
            // Not a message of ours (a link could send any file we can read): never sent,
            // and out of the queue's way, but not deleted.
            std::string moved = SetAside();
            std::string head =
                ErrorRecordText("sending mail", "The queued message " + found_ + " " + distrust +
                                                    ": it is not sent.");
            log_.WriteLog(kIconError,
                          head + (moved.empty() ? "  It could not be moved to " +
                                                      std::string(kFailedFolder) + "."
                                                : "  It was moved to " + moved + "."),
                          0, {}, true);
        }
        // A file nobody can read waits for the next run instead of blocking the queue.
        skipped_.push_back(found_);
        found_ = FindQueued();
        if (found_.empty()) {
            smtp_.Quit();
            return;
        }
    }
    ++count_;
    currentRemoved_ = false;
    currentRecipient_.clear();
    // A subject of encoded words is folded over lines: the header is read whole.
    std::string block, subject;
    ReadHeaderBlock(currentFd_.get(), &block);
    SetLines("Sending Message " + std::to_string(count_),
             FindHeader(block, "Subject", &subject) ? "Subject: " + mime::HeaderText(subject) : "");
    std::string recipient;
    if (!CInet::GetHeaderValue(currentFd_.get(), "X-Rcpt-To:", &recipient) || recipient.empty()) {
        // Nobody to send it to. It can never go, so it must not block the queue, but it
        // is somebody's message: it is set aside, never deleted unsent.
        CloseCurrent();
        std::string moved = SetAside();
        std::string head = ErrorRecordText("sending mail",
                                           "The queued message " + found_ + " names no recipient.");
        if (!moved.empty()) {
            log_.WriteLog(kIconError, head + "  It was moved to " + moved + ".", 0, {}, true);
        } else {
            log_.WriteLog(kIconError,
                          head + "  It stays queued: it could not be moved to " +
                              std::string(kFailedFolder) + ".",
                          0, {}, true);
            skipped_.push_back(found_);
        }
        currentRemoved_ = true;  // nothing left here for the sent step to remove
        PostMessage(WM_SMTP_SENT, 0, 0);
        return;
    }
    currentRecipient_ = recipient;
    uint32_t rc = smtp_.SendMail(recipient, currentFd_.get());
    if (rc != 0) ErrorReport(rc);
}

void CMailQueueSender::OnAccepted() {
    if (!active_ || currentRemoved_) return;
    SetLine1("Sent Message " + std::to_string(count_) + ".");
    CloseCurrent();
    ::unlink(currentPath_.c_str());
    currentRemoved_ = true;
}

void CMailQueueSender::OnRefused(uint32_t code) {
    // Only a refusal of this message by the server concerns this file alone; anything else
    // (silence, a refused sender, a broken connection) ends the run with every file kept.
    if (code != kSmtpBadRecipient && code != kSmtpNotSendable) {
        ErrorReport(code);
        return;
    }
    CloseCurrent();
    int reply = smtp_.replyCode();
    std::string said = reply ? std::to_string(reply) + " " + smtp_.replyText() : smtp_.replyText();
    std::string head =
        ErrorRecordText("sending mail", "The SMTP mail server " + smtp_.serverName() +
                                            " refused the mail to " + currentRecipient_);
    std::string text;
    if (reply / 100 == 5) {
        // Refused for good: tried again it would only be refused again, first in every run.
        std::string moved = SetAside();
        if (!moved.empty()) {
            text = head + ":  " + said + "  It was moved to " + moved + ".";
        } else {
            text = head + ":  " + said + "  It stays queued: it could not be moved to " +
                   kFailedFolder + ".";
            skipped_.push_back(found_);  // kept, but not again in this run
        }
    } else {
        text = head + " for now:  " + said + "  It stays queued.";
        skipped_.push_back(found_);
    }
    log_.WriteLog(kIconError, text, 0, {}, true);
    if (runError_ == 0) runError_ = code;
    if (smtp_.state() != CSmtp::kReady) {
        // The server answered in the middle of the text: that session cannot go on, but the
        // messages behind this one are not its concern.
        GoOnInNewSession();
        return;
    }
    found_ = FindQueued();
    if (found_.empty())
        smtp_.Quit();
    else
        SendNext();
}

std::string CMailQueueSender::SetAside() {
    // Not into a folder another user could have put there, or through a link to elsewhere.
    if (!filetrust::CheckOwnFolder(kFailedFolder, true, 0700, nullptr)) return {};
    std::string stem = found_.substr(0, found_.size() - 4);  // without ".Fwd"
    for (int i = 0; i < 1000; ++i) {
        std::string target = std::string(kFailedFolder) + "/" +
                             (i == 0 ? found_ : stem + "-" + std::to_string(i) + ".Fwd");
        // Never over a message set aside earlier under the same name.
        int rc =
            ::renameat2(AT_FDCWD, currentPath_.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            // A file system without that kind of rename: a crash between the two steps
            // leaves the message in both places, never in none.
            rc = ::link(currentPath_.c_str(), target.c_str());
            if (rc == 0) ::unlink(currentPath_.c_str());
        }
        if (rc == 0) return target;
        if (errno != EEXIST) break;
    }
    return {};
}

void CMailQueueSender::ErrorReport(uint32_t code) {
    WriteErrorRecord(log_, "sending mail", smtp_.ErrorText(code));
    Stop(code);
}

void CMailQueueSender::Cancel(int code) {
    if (!active_) return;
    Stop(static_cast<uint32_t>(code));
}

void CMailQueueSender::Stop(uint32_t code) {
    if (code != 0) SetLines("Disconnecting from Mail Servers", "");
    Finish(code);
}

void CMailQueueSender::Finish(uint32_t code) {
    smtp_.Abort();
    CloseCurrent();
    active_ = false;
    Complete(code);
}

void CMailQueueSender::CloseCurrent() {
    currentFd_.Reset();
}

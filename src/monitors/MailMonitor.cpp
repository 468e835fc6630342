#include "monitors/MailMonitor.h"

#include <unistd.h>

#include <QCryptographicHash>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "net/Inet.h"
#include "net/Mime.h"
#include "notify/MailHeader.h"
#include "notify/MailQueue.h"
#include "notify/PagerDialer.h"
#include "notify/PagerQueue.h"
#include "platform/Registry.h"
#include "settings/ActivityLogWriter.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

namespace {

// What a failed POP3 step is reported with. Codes below the client's own are the system's
// (errno) from writing the message here, a full disk most likely: the client's texts know
// only network faults, and the user must learn that the mail is safe where it was.
std::string Pop3FailureText(CPop3& pop3, uint32_t code) {
    if (code > 0 && code < 4096)
        return std::string("The mail could not be stored on this computer: ") +
               std::strerror(static_cast<int>(code)) + ".  It stays on the POP3 mail server.";
    return pop3.ErrorText(code);
}

// The most an identifier list is read to; far beyond any box a run could go through.
constexpr size_t kMaxIdList = 64u * 1024 * 1024;
// An identifier longer than this is remembered by its digest.
constexpr size_t kMaxIdentifier = 250;
// Sessions one run may open: a server that breaks each of them is not chased for ever.
constexpr int kMaxSessions = 5;
// Messages that could not be retrieved get a record each up to this many in a run; the
// rest get one record at the end.
constexpr int kMaxMessageRecords = 10;
// A box that hands out none of this many messages in a row is read no further: it counts
// messages it does not have.
constexpr int kMaxUnretrievableInARow = 100;

std::string UidKey(const std::string& uid) {
    return "u:" + uid;
}

std::string IdKey(const std::string& id) {
    return "m:" + id;
}

std::string Digest(std::string_view text) {
    QByteArray hash = QCryptographicHash::hash(QByteArrayView(text.data(), qsizetype(text.size())),
                                               QCryptographicHash::Sha256);
    return "digest:" + hash.toHex().left(40).toStdString();
}

std::string Format(const char* pattern, int number) {
    std::string text(pattern);
    size_t at = text.find("%d");
    if (at != std::string::npos) text.replace(at, 2, std::to_string(number));
    return text;
}

}  // namespace

CMailMonitor::CMailMonitor(ActivityLogWriter& log, CPagerCallQueue& pager, FaxSender& fax,
                           QObject* parent)
    : CPanel(parent), log_(log), pager_(pager), fax_(fax) {
    RegisterClient(pop3_, WM_POP3_LOOKUP);
    RegisterClient(smtp_, WM_SMTP_LOOKUP);
    // Known the moment the server has the forward, whatever happens to the session next:
    // a forward it has cannot be lost by deleting the message.
    connect(&smtp_, &CSmtp::MessageAccepted, this, [this] {
        if (phase_ != Phase::kForwarding) return;
        forwardAccepted_ = true;
        // Stored before anything else happens: after a crash, a kill or a session whose
        // deletions never stuck, the next run deletes this message without sending it again.
        forwarded_.insert(currentKey_);
        SaveForwarded();
    });
}

CMailMonitor::~CMailMonitor() = default;

std::string CMailMonitor::IdentifierOf(const std::string& headerBlock) {
    std::string id;
    if (!FindHeader(headerBlock, "Message-Id", &id) || id.empty()) return Digest(headerBlock);
    // The list keeps one blank between identifiers, so one that holds a blank or a line
    // break, or runs to any length, is kept as its digest: the same message gives the same
    // word each time.
    bool plain = id.size() <= kMaxIdentifier;
    for (unsigned char c : id)
        if (c <= 0x20 || c == 0x7F) plain = false;
    return plain ? id : Digest(id);
}

void CMailMonitor::ReadSettings() {
    using namespace settings;
    popHost_ = popUserName_ = popPassword_ = forwardTo_ = passwordProblem_ = {};
    pagerPhone_ = pagerMsg_ = notifyEmailTo_ = {};
    copyTo_.clear();
    forwardMail_ = enablePager_ = enableFax_ = notifyViaEmail_ = notifyViaWindows_ = false;
    faxSettings_ = {};
    popSecurity_ = 0;
    oldIds_.clear();
    oldUids_.clear();
    forwarded_.clear();
    RegKey event;
    if (event.Open(RegKey::LocalMachine(), EventPath(eventName_)) != ERROR_SUCCESS) return;
    popHost_ = ReadString(event, kPopHost);
    popUserName_ = ReadString(event, kPopUserName);
    // The POP3 reader takes 256 bytes; a longer one reads as empty, as it always has. The
    // record of a problem names the event already: the room is left for the reason.
    if (ReadPassword(event, kPopPassword, kStringBuffer, &popPassword_, &passwordProblem_, false) ==
        PasswordRead::kTooLong)
        popPassword_.clear();
    forwardTo_ = ReadString(event, kForwardTo);
    forwardMail_ = IsSet(event, kForwardMail);
    copyTo_ = ReadMultiString(event, kCopyTo);
    pagerPhone_ = ReadString(event, kPagerPhone);
    pagerMsg_ = ReadString(event, kPagerMsg);
    enablePager_ = IsSet(event, kEnablePager);
    faxSettings_.faxPhone = ReadString(event, kFaxPhone);
    faxSettings_.faxName = ReadString(event, kFaxName);
    faxSettings_.sendAttachments = IsSet(event, kSendAttachments);
    faxSettings_.maximumFaxSize = ReadDword(event, kMaximumFaxSize, kDefaultMaximumFaxSize);
    enableFax_ = IsSet(event, kEnableFax);
    notifyEmailTo_ = ReadString(event, kNotifyEmailTo);
    notifyViaEmail_ = IsSet(event, kNotifyViaEmail);
    notifyViaWindows_ = IsSet(event, kNotifyViaWindows);
    popSecurity_ = ReadDword(event, kPopSecurity, 0);

    // Any number of identifiers: a list cut short would make the messages behind the cut
    // look new at every run.
    for (std::string& id : ReadWordList(event, kPagedIds, kMaxIdList))
        oldIds_.insert(std::move(id));
    std::vector<std::string> pairs = ReadWordList(event, kPagedUids, kMaxIdList);
    for (size_t i = 0; i + 1 < pairs.size(); i += 2) oldUids_[pairs[i]] = pairs[i + 1];
    for (std::string& key : ReadWordList(event, kForwardedIds, kMaxIdList))
        forwarded_.insert(std::move(key));
}

void CMailMonitor::Start(const std::string& eventName) {
    // The last run may still be saying goodbye to its servers.
    pop3_.Abort();
    smtp_.Abort();
    phase_ = Phase::kIdle;
    eventName_ = eventName;
    SetTitle("Mail Forwarder " + eventName);
    emailBody_.clear();
    emailCount_ = pagerCount_ = 0;
    newIds_.clear();
    newUids_.clear();
    topRefused_ = false;
    listed_ = listingBroken_ = false;
    numbers_.clear();
    uids_.clear();
    deletedKeys_.clear();
    undeletedKeys_.clear();
    currentKey_.clear();
    passedUids_.clear();
    passedNumbers_.clear();
    sessions_ = 1;
    unretrievable_ = inARow_ = 0;
    forwardAccepted_ = false;
    deletions_ = 0;
    count_ = index_ = 0;
    copyIndex_ = 0;
    endCode_ = 0;
    walkCut_ = false;
    ReadSettings();
    // One limit for the whole run, not one per command or per session: a server that drips
    // every answer without end would otherwise hold the run a limit per message it lists.
    runLimitSeconds_ = settings::ReadRootDword(settings::kRequestTimeLimit, 0);
    if (runLimitSeconds_ == 0) runLimitSeconds_ = kDefaultRequestTimeLimit;
    SetTimer(kRunLimitTimer,
             static_cast<int>(std::min<uint64_t>(uint64_t{runLimitSeconds_} * 1000, INT_MAX)));
    if (!passwordProblem_.empty()) {
        // Never an empty password in its place: the server would take it for a wrong one.
        WriteError(passwordProblem_);
        phase_ = Phase::kLoggingIn;
        EndRun(kPop3BadLoginValue);
        return;
    }

    SetLines("Connecting to Mail Server " + popHost_, "");
    phase_ = Phase::kLoggingIn;
    file_.Close();
    if (!file_.CreateUnnamed("KV2")) {
        Pop3Error(static_cast<uint32_t>(errno ? errno : EIO));
        return;
    }
    uint32_t rc = pop3_.Connect(popUserName_, popPassword_, popHost_, 0,
                                static_cast<Pop3Security>(popSecurity_));
    if (rc != 0) Pop3Error(rc);
}

void CMailMonitor::OnStepMessage(UINT msg, WPARAM wParam, LPARAM) {
    const auto result = static_cast<uint32_t>(wParam);
    if (msg == WM_POP3_UIDL || msg == WM_POP3_TOP || msg == WM_POP3_RETRIEVED)
        KillTimer(kRequestLimitTimer);
    switch (phase_) {
        case Phase::kIdle:
            return;
        case Phase::kEndWaiting:
            // The operation under way has ended, however it ended: now the session can be
            // closed properly.
            if (msg == WM_POP3_RETRIEVED || msg == WM_POP3_TOP || msg == WM_POP3_UIDL ||
                msg == WM_POP3_DELETED || msg == WM_POP3_LOGGED_IN) {
                if (msg == WM_POP3_DELETED && result == 0) {
                    forwardAccepted_ = false;
                    deletedKeys_.insert(currentKey_);
                    ++deletions_;
                }
                EndPop3Session();
            }
            return;
        case Phase::kEndDeleting:
            if (msg == WM_POP3_DELETED) {
                forwardAccepted_ = false;
                if (result == 0) {
                    deletedKeys_.insert(currentKey_);
                    ++deletions_;
                }
                EndPop3Session();
            }
            return;
        case Phase::kEndQuitting:
            if (msg == WM_POP3_ENDED) {
                if (result == 0) DeletionsKept(false);
                Completed(endCode_);
            }
            return;
        default:
            break;
    }
    switch (msg) {
        case WM_POP3_LOGGED_IN:
            if (phase_ == Phase::kLoggingIn) OnLoggedIn(result);
            return;
        case WM_SMTP_READY:
            if (phase_ != Phase::kSmtpConnecting) return;
            if (result != 0) return SmtpError(result);
            return ListUids();
        case WM_POP3_UIDL:
            if (phase_ == Phase::kListingUids) TakeUidList(result);
            return;
        case WM_POP3_TOP:
            if (phase_ == Phase::kFetchingHeader) OnHeader(result);
            return;
        case WM_POP3_RETRIEVED:
            if (phase_ == Phase::kRetrieving) OnRetrieved(result);
            return;
        case WM_SMTP_SENT:
            if (phase_ == Phase::kCopying || phase_ == Phase::kForwarding) OnSent(result);
            return;
        case WM_POP3_DELETED:
            if (phase_ == Phase::kDeleting) OnDeleted(result);
            return;
        case WM_POP3_ENDED:
            if (phase_ == Phase::kPop3Ending) OnPop3Ended(result);
            return;
        case WM_SMTP_ENDED:
            if (phase_ == Phase::kSmtpEnding) Finish();
            return;
        default:
            return;
    }
}

void CMailMonitor::OnLoggedIn(uint32_t result) {
    if (result != 0 || pop3_.state() != CPop3::kReady)
        return Pop3Error(result != 0 ? result : kPop3NoResponse);
    count_ = pop3_.messageCount();
    if (count_ <= 0) {
        phase_ = Phase::kPop3Ending;
        pop3_.Quit();
        SetLine1("No mail to forward.");
        return;
    }
    // Only copies and forwards go out from here (the result e-mail is queued): a box that
    // is only watched needs no SMTP server. A session opened again in the middle of the
    // run finds the SMTP session waiting.
    if (!NeedsSmtp() || smtp_.state() == CSmtp::kReady) return ListUids();
    ConnectSmtp();
}

bool CMailMonitor::NeedsSmtp() const {
    return forwardMail_ || !copyTo_.empty();
}

void CMailMonitor::ConnectSmtp() {
    std::string server, hostName;
    GetSmtpServer(server);
    if (server.empty()) {
        // Looked up, an empty name would be told as an address that cannot be found, with
        // no name in it.
        WriteError(std::string("No SMTP mail server is set (the setting ") + settings::kSmtpServer +
                   " is empty) to " +
                   (forwardMail_ ? "forward the messages through; they stay in the mailbox."
                                 : "send the copies through; nothing was sent."));
        return EndRun(WSAEDESTADDRREQ);
    }
    GetHostName(hostName);
    if (hostName.empty()) {
        // HELO needs a name; without a setting this machine's own is the honest one.
        char buf[256] = {};
        ::gethostname(buf, sizeof buf - 1);
        hostName = buf;
    }
    // "host:port" reaches a server that does not listen on 25; read as the mail queue reads it.
    std::string host;
    int port = 0;
    CInet::SplitHostPort(server, &host, &port);
    phase_ = Phase::kSmtpConnecting;
    uint32_t rc = smtp_.Connect(forwardTo_, hostName, host, port);
    if (rc != 0) SmtpError(rc);
}

bool CMailMonitor::TruncateFile() {
    return ::ftruncate(file_.Fd(), 0) == 0 && ::lseek(file_.Fd(), 0, SEEK_SET) == 0;
}

int CMailMonitor::total() const {
    return listed_ ? static_cast<int>(numbers_.size()) : count_;
}

int CMailMonitor::number() const {
    if (!listed_) return index_ + 1;
    return index_ >= 0 && static_cast<size_t>(index_) < numbers_.size()
               ? numbers_[static_cast<size_t>(index_)]
               : 0;
}

const std::string* CMailMonitor::Uid() const {
    auto found = uids_.find(number());
    return found == uids_.end() ? nullptr : &found->second;
}

void CMailMonitor::ListUids() {
    index_ = 0;
    listed_ = false;
    numbers_.clear();
    uids_.clear();
    if (listingBroken_) return NextMessage();
    phase_ = Phase::kListingUids;
    TruncateFile();
    uint32_t rc = pop3_.UidList(file_.Fd());
    if (rc != 0) return Pop3Error(rc);
    StartRequestLimit();
}

void CMailMonitor::TakeUidList(uint32_t result) {
    if (result == kPop3Refused) return NextMessage();  // no uids: headers tell instead
    if (result != 0) {
        if (pop3_.state() == CPop3::kReady) return Pop3Error(result);
        // The list itself broke the session (endless, cut off): the next one goes without.
        WriteError(Pop3FailureText(pop3_, result));
        listingBroken_ = true;
        return RestartSession(result);
    }
    // Read as the box lists it: memory follows what the server sent, never the count it
    // claims. A uid given to two messages, or a number listed twice, tells nothing.
    std::unordered_map<int, std::string> byNumber;
    std::unordered_set<int> repeatedNumbers;
    std::unordered_map<std::string, int> uses;
    std::string line;
    char buf[8192];
    off_t at = 0;
    // Messages listed with an identifier that cannot be kept (a zero byte, a control
    // character, too long): still read, by their header, and named once.
    std::vector<int> unusable;
    auto take = [&](std::string_view l) {
        int n = 0;
        std::string uid;
        if (!ParseUidLine(l, &n, &uid)) {
            std::string_view rest = lineproto::TrimLineEnd(l);
            if (!lineproto::ParseNumber(rest.substr(0, rest.find(' ')), &n) || n < 1) return;
            if (byNumber.emplace(n, std::string()).second) unusable.push_back(n);
            repeatedNumbers.insert(n);  // no uid to go by
            return;
        }
        auto [it, added] = byNumber.emplace(n, uid);
        if (!added) repeatedNumbers.insert(n);
        ++uses[uid];
    };
    for (;;) {
        ssize_t got = ::pread(file_.Fd(), buf, sizeof buf, at);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        at += got;
        for (ssize_t i = 0; i < got; ++i) {
            line += buf[i];
            if (buf[i] == '\n') {
                take(line);
                line.clear();
            } else if (line.size() > 1024) {
                line.clear();  // no uid line is this long
            }
        }
    }
    if (!line.empty()) take(line);
    numbers_.reserve(byNumber.size());
    for (auto& [n, uid] : byNumber) {
        numbers_.push_back(n);
        if (!repeatedNumbers.count(n) && uses[uid] == 1) uids_.emplace(n, std::move(uid));
    }
    std::sort(numbers_.begin(), numbers_.end());
    listed_ = true;
    if (!unusable.empty()) {
        std::sort(unusable.begin(), unusable.end());
        std::string which;
        for (size_t i = 0; i < unusable.size() && i < size_t{kMaxMessageRecords}; ++i)
            which += (i == 0 ? "" : ", ") + std::to_string(unusable[i]);
        if (unusable.size() > size_t{kMaxMessageRecords})
            which += " and " + std::to_string(unusable.size() - kMaxMessageRecords) + " more";
        const bool one = unusable.size() == 1;
        WriteError("The POP3 mail server " + pop3_.serverName() + " listed message" +
                   (one ? " " : "s ") + which +
                   " with a unique identifier (UIDL) that cannot be kept; " +
                   (one ? "it is" : "they are") + " read and known by " + (one ? "its" : "their") +
                   " header instead.");
    }
    if (static_cast<int>(numbers_.size()) != count_) {
        WriteError("The POP3 mail server " + pop3_.serverName() + " counts " +
                   std::to_string(count_) + " messages but lists " +
                   std::to_string(numbers_.size()) + "; the listed ones are read.");
    }
    NextMessage();
}

void CMailMonitor::NextMessage() {
    // A message known from an earlier run by its uid is passed over without a byte of it
    // coming down; a loop, not a chain of calls, so a large box costs no stack.
    for (; index_ < total(); ++index_) {
        SetLine(1, "");
        forwardAccepted_ = false;
        const std::string* uid = Uid();
        if (forwardMail_ && uid && forwarded_.count(UidKey(*uid))) {
            currentKey_ = UidKey(*uid);
            return DeleteForwarded();
        }
        // It broke an earlier session of this run: the next run tries it again.
        if (uid ? passedUids_.count(*uid) != 0 : passedNumbers_.count(number()) != 0) continue;
        if (forwardMail_) return RetrieveWhole();
        if (!uid) {
            if (!topRefused_) return FetchHeader();
            return RetrieveWhole();
        }
        auto known = oldUids_.find(*uid);
        // A uid not seen before is most likely a new message, which is needed whole.
        if (known == oldUids_.end() || !oldIds_.count(known->second)) return RetrieveWhole();
        Remember(known->second);
    }
    EndOfWalk();
}

void CMailMonitor::EndOfWalk() {
    if (unretrievable_ > kMaxMessageRecords) {
        WriteError(std::to_string(unretrievable_ - kMaxMessageRecords) +
                   " more messages could not be retrieved from the POP3 mail server " +
                   pop3_.serverName() + ".");
    }
    SetLine1("Received all the messages, quiting.");
    phase_ = Phase::kPop3Ending;
    pop3_.Quit();
}

void CMailMonitor::FetchHeader() {
    SetLines(Format("Receiving Message %d.", number()), "");
    phase_ = Phase::kFetchingHeader;
    TruncateFile();
    uint32_t rc = pop3_.Top(number(), file_.Fd());
    if (rc != 0) return Pop3Error(rc);
    StartRequestLimit();
}

void CMailMonitor::OnHeader(uint32_t result) {
    if (result == kPop3Refused && pop3_.state() == CPop3::kReady) {
        topRefused_ = true;
        return RetrieveWhole();
    }
    if (result != 0) return MessageFailed(result);
    inARow_ = 0;
    std::string block;
    ReadHeaderBlock(file_.Fd(), &block);
    std::string id = IdentifierOf(block);
    if (!oldIds_.count(id)) return RetrieveWhole();
    Remember(id);
    ++index_;
    NextMessage();
}

void CMailMonitor::RetrieveWhole() {
    SetLines(Format("Receiving Message %d.", number()), "");
    phase_ = Phase::kRetrieving;
    if (!TruncateFile()) return Pop3Error(static_cast<uint32_t>(errno ? errno : EIO));
    // Kept as the server sends it, doubled dots and end line: the form SMTP's DATA takes.
    uint32_t rc = pop3_.Retrieve(number(), file_.Fd(), true);
    if (rc != 0) return Pop3Error(rc);
    StartRequestLimit();
}

void CMailMonitor::Remember(const std::string& id) {
    newIds_ += id;
    newIds_ += ' ';
    if (const std::string* uid = Uid()) {
        newUids_ += *uid + ' ' + id + ' ';
        // A session opened again later in this run knows it without downloading it.
        oldUids_[*uid] = id;
    }
}

void CMailMonitor::MessageFailed(uint32_t result) {
    // One message that will not come must not hold up every message behind it, run after
    // run: it is told and passed over, and tried again next run.
    ++unretrievable_;
    if (unretrievable_ <= kMaxMessageRecords) WriteError(Pop3FailureText(pop3_, result));
    if (pop3_.state() != CPop3::kReady) {
        // Endless, cut off or too slow: it broke the session, and a new one must not ask
        // for it again.
        if (const std::string* uid = Uid())
            passedUids_.insert(*uid);
        else
            passedNumbers_.insert(number());
        return RestartSession(result);
    }
    if (++inARow_ >= kMaxUnretrievableInARow) {
        WriteError("The POP3 mail server " + pop3_.serverName() + " handed out none of " +
                   std::to_string(inARow_) +
                   " messages in a row; the rest of the mailbox is left for the next run.");
        return EndOfWalk();
    }
    ++index_;
    NextMessage();
}

void CMailMonitor::OnRetrieved(uint32_t result) {
    if (result != 0) return MessageFailed(result);
    inARow_ = 0;
    std::string block;
    ReadHeaderBlock(file_.Fd(), &block);
    std::string id = IdentifierOf(block);
    Remember(id);
    const std::string* uid = Uid();
    currentKey_ = uid ? UidKey(*uid) : IdKey(id);
    if (forwardMail_ && (forwarded_.count(currentKey_) || forwarded_.count(IdKey(id)))) {
        // Forwarded by a run whose deletions did not stick: it goes, but not twice.
        return DeleteForwarded();
    }
    if (oldIds_.count(id)) return AfterCopies();
    // Reported once, also when the box holds it twice.
    oldIds_.insert(id);
    Report(block);
    copyIndex_ = 0;
    SendNextCopy();
}

void CMailMonitor::Report(const std::string& block) {
    ++emailCount_;
    std::string text = "The Mail Quorvane " + eventName_ + " has found a new message\r\n";
    std::string from, subject;
    // As the user reads them: encoded words decoded, nothing that would cut the record.
    if (FindHeader(block, "From", &from)) {
        text += "\r\n   From : " + mime::HeaderText(from);
        if (FindHeader(block, "Subject", &subject))
            text += "\r\n   Subj : " + mime::HeaderText(subject);
    }
    if (notifyViaWindows_) log_.WriteLog(kIconMail, text, 0, {}, true);
    if (notifyViaEmail_) emailBody_ += text + "\r\n";
    if (enablePager_) ++pagerCount_;
}

void CMailMonitor::SendNextCopy() {
    if (copyIndex_ >= copyTo_.size()) {
        if (enableFax_) {
            SetLine1("Fax message to " + faxSettings_.faxPhone);
            FaxStoredMessage(file_.Fd(), faxSettings_, fax_);
        }
        return AfterCopies();
    }
    const std::string& address = copyTo_[copyIndex_];
    std::string line = Format("Sending a copy of message %d to %s.", number());
    line.replace(line.find("%s"), 2, address);
    SetLine1(line);
    phase_ = Phase::kCopying;
    uint32_t rc = smtp_.SendMail(address, file_.Fd());
    if (rc != 0) SmtpError(rc);
}

void CMailMonitor::AfterCopies() {
    if (!forwardMail_) {
        ++index_;
        return NextMessage();
    }
    Forward();
}

void CMailMonitor::Forward() {
    SetLine1(Format("Sending Message %d", number()));
    std::string block, subject;
    ReadHeaderBlock(file_.Fd(), &block);
    SetLine(1,
            FindHeader(block, "Subject", &subject) ? "Subject: " + mime::HeaderText(subject) : "");
    phase_ = Phase::kForwarding;
    forwardAccepted_ = false;
    uint32_t rc = smtp_.SendMail(forwardTo_, file_.Fd());
    if (rc != 0) SmtpError(rc);
}

void CMailMonitor::DeleteForwarded() {
    forwardAccepted_ = true;
    phase_ = Phase::kDeleting;
    uint32_t rc = pop3_.Delete(number());
    if (rc != 0) Pop3Error(rc);
}

void CMailMonitor::OnSent(uint32_t result) {
    // The server refused this message or this address and is ready for the next: one
    // address that cannot take mail, or one message the forward address will not take,
    // must not stop every run at the first new message.
    const bool refused = result != 0 && smtp_.state() == CSmtp::kReady &&
                         (phase_ == Phase::kCopying || result == kSmtpNotSendable);
    if (refused) {
        const std::string& to = phase_ == Phase::kCopying ? copyTo_[copyIndex_] : forwardTo_;
        std::string text = smtp_.ErrorText(result);
        text += Format("  Message %d was not sent to ", number()) + to + ": the SMTP mail server " +
                smtp_.serverName() + " said:  " + smtp_.replyText();
        WriteError(text);
        if (phase_ == Phase::kCopying) {
            ++copyIndex_;
            return SendNextCopy();
        }
        // The forward did not go: the message stays in the box for the next run.
        ++index_;
        return NextMessage();
    }
    if (result != 0) return SmtpError(result);
    SetLine1(Format("Sent Message %d.", number()));
    if (phase_ == Phase::kCopying) {
        ++copyIndex_;
        return SendNextCopy();
    }
    DeleteForwarded();
}

void CMailMonitor::OnDeleted(uint32_t result) {
    forwardAccepted_ = false;
    if (result != 0) {
        WriteError(Pop3FailureText(pop3_, result));
        if (pop3_.state() != CPop3::kReady) return RestartSession(result);
        // The server keeps it; its forward is stored, so the next run tries the deletion
        // again and sends nothing.
        undeletedKeys_.insert(currentKey_);
    } else {
        deletedKeys_.insert(currentKey_);
        ++deletions_;
    }
    ++index_;
    NextMessage();
}

void CMailMonitor::OnPop3Ended(uint32_t result) {
    // The deletions are made only by the server's answer to QUIT: without it every forwarded
    // message is still there and must not count as handled.
    if (result != 0) return Pop3Error(result);
    // A message passed over, or a walk cut short, may still hold a stored forward.
    const bool cut = unretrievable_ != 0 || walkCut_;
    DeletionsKept(!cut);
    StoreSeen(cut);
    phase_ = Phase::kSmtpEnding;
    smtp_.Quit();
}

void CMailMonitor::StoreSeen(bool cut) {
    if (auto store = Registry::Current(); store && !eventName_.empty()) {
        std::string ids = newIds_, uids = newUids_;
        if (cut) {
            // Messages were passed over, so the box was not seen whole: what earlier runs
            // told of them stays known, or a message that would not come down this time
            // would be told again as new when it does. With uids, only the messages still
            // in the box are kept, so that one message that never comes down does not
            // keep every message that ever passed through.
            std::unordered_set<std::string> seen;
            for (std::string& id : settings::SplitWords(newIds_)) seen.insert(std::move(id));
            std::vector<std::string> pairs = settings::SplitWords(newUids_);
            std::unordered_set<std::string> seenUids;
            for (size_t i = 0; i < pairs.size(); i += 2) seenUids.insert(pairs[i]);
            auto keep = [&](const std::string& id) {
                if (seen.insert(id).second) ids += id + ' ';
            };
            if (uids_.empty()) {
                for (const std::string& id : oldIds_) keep(id);
                // The list never came: what the uids named stays known, as the box may
                // still hold every one of them.
                if (!listed_)
                    for (const auto& [uid, id] : oldUids_)
                        if (seenUids.insert(uid).second) uids += uid + ' ' + id + ' ';
            } else {
                for (const auto& [number, uid] : uids_) {
                    auto known = oldUids_.find(uid);
                    if (seenUids.count(uid) || known == oldUids_.end()) continue;
                    uids += uid + ' ' + known->second + ' ';
                    if (oldIds_.count(known->second)) keep(known->second);
                }
            }
        }
        // The identifiers and the uids that name them are stored together or not at all.
        Registry::Transaction tx(*store);
        RegKey event;
        const bool stored = tx.open() &&
                            event.Create(RegKey::LocalMachine(), settings::EventPath(eventName_),
                                         settings::kEventClass) == ERROR_SUCCESS &&
                            event.SetString(settings::kPagedIds, ids) == ERROR_SUCCESS &&
                            event.SetString(settings::kPagedUids, uids) == ERROR_SUCCESS &&
                            tx.Commit();
        if (!stored)
            WriteError("The messages seen could not be recorded in the settings store (" +
                       store->LastError() + "); they may be told again.");
    }
}

void CMailMonitor::OnTimer(UINT id) {
    if (id == kRunLimitTimer) {
        KillTimer(kRunLimitTimer);
        return OnRunLimit();
    }
    if (id == kRequestLimitTimer) {
        KillTimer(kRequestLimitTimer);
        return OnRequestLimit();
    }
    CPanel::OnTimer(id);
}

void CMailMonitor::StartRequestLimit() {
    SetTimer(kRequestLimitTimer,
             static_cast<int>(std::min<uint64_t>(uint64_t{runLimitSeconds_} * 500, INT_MAX)));
}

void CMailMonitor::OnRequestLimit() {
    if (phase_ != Phase::kListingUids && phase_ != Phase::kFetchingHeader &&
        phase_ != Phase::kRetrieving)
        return;
    // A record holds some 170 characters besides the event's name: short words.
    const std::string limit = std::string(" in half of ") + settings::kRequestTimeLimit + " (" +
                              std::to_string(runLimitSeconds_) + " s)";
    pop3_.Abort();
    if (phase_ == Phase::kListingUids) {
        WriteError("The POP3 mail server " + pop3_.serverName() +
                   " did not finish its list (UIDL)" + limit + "; the headers tell instead.");
        listingBroken_ = true;
        return RestartSession(kPop3NoResponse);
    }
    ++unretrievable_;
    WriteError("The POP3 mail server " + pop3_.serverName() +
               Format(" did not finish message %d", number()) + limit +
               "; it is left for the next run.");
    if (const std::string* uid = Uid())
        passedUids_.insert(*uid);
    else
        passedNumbers_.insert(number());
    RestartSession(kPop3NoResponse);
}

void CMailMonitor::OnRunLimit() {
    KillTimer(kRequestLimitTimer);
    const std::string limit = std::string(" ") + settings::kRequestTimeLimit + " (" +
                              std::to_string(runLimitSeconds_) + " s)";
    if (phase_ == Phase::kIdle) return;
    if (Finishing()) {
        // Ending after an error or a cancel, and the server holds the goodbye up.
        pop3_.Abort();
        return Completed(endCode_);
    }
    if (phase_ == Phase::kSmtpEnding) {
        // The mailbox is done with and stored; only the SMTP goodbye is missing.
        smtp_.Abort();
        return Finish();
    }
    if (walkCut_ || phase_ == Phase::kPop3Ending) {
        // The goodbye did not come in time either. The deletions of this session were not
        // confirmed; the forwards behind them are stored, so the next run deletes those
        // messages without sending them again.
        if (!walkCut_)
            WriteError("The POP3 mail server " + pop3_.serverName() +
                       " did not end the session within" + limit + ".");
        pop3_.Abort();
        smtp_.Abort();
        StoreSeen(true);
        QueueResults();
        return Completed(kPop3NoResponse);
    }
    walkCut_ = true;
    std::string text =
        "The POP3 mail server " + pop3_.serverName() + " did not finish within" + limit;
    if (phase_ == Phase::kLoggingIn)
        text += ".";
    else if (phase_ == Phase::kListingUids)
        text += " while it listed the messages; the mailbox is left for the next run.";
    else if (index_ < total())
        text += Format("; message %d and those behind it are left for the next run.", number());
    else
        text += ".";
    WriteError(text);
    smtp_.Abort();
    if (pop3_.state() == CPop3::kReady && pop3_.opMessage() == 0) {
        // Between commands: QUIT keeps the deletions made, and gets a short while of its own.
        SetTimer(kRunLimitTimer, static_cast<int>(std::clamp<uint64_t>(
                                     uint64_t{runLimitSeconds_} * 100, 1000, 30000)));
        return EndOfWalk();
    }
    // In the middle of an answer that does not end: the session goes as it is.
    pop3_.Abort();
    StoreSeen(true);
    QueueResults();
    Completed(kPop3NoResponse);
}

void CMailMonitor::DeletionsKept(bool wholeBox) {
    const auto before = forwarded_;
    if (wholeBox && forwardMail_) {
        // Every message of the box was seen: what is still stored and was not refused a
        // deletion is gone from the box.
        forwarded_ = undeletedKeys_;
    } else {
        for (const std::string& key : deletedKeys_) forwarded_.erase(key);
    }
    deletedKeys_.clear();
    if (forwarded_ != before) SaveForwarded();
}

void CMailMonitor::SaveForwarded() {
    if (eventName_.empty()) return;
    std::string text;
    for (const std::string& key : forwarded_) text += key + ' ';
    RegKey event;
    if (event.Create(RegKey::LocalMachine(), settings::EventPath(eventName_),
                     settings::kEventClass) != ERROR_SUCCESS ||
        event.SetString(settings::kForwardedIds, text) != ERROR_SUCCESS) {
        WriteError(
            "The forwarded messages could not be recorded in the settings store; "
            "they may be forwarded again.");
    }
}

void CMailMonitor::QueuePagerCall() {
    if (enablePager_ && pagerCount_ != 0) pager_.Append(eventName_, pagerPhone_, pagerMsg_);
    pagerCount_ = 0;
}

void CMailMonitor::QueueResults() {
    QueuePagerCall();
    if (notifyViaEmail_ && emailCount_ != 0) {
        QueueMail(log_, emailBody_, notifyEmailTo_, "Results of Mail Quorvane " + eventName_,
                  eventName_ + " <" + notifyEmailTo_ + ">");
        emailCount_ = 0;
    }
}

void CMailMonitor::Finish() {
    QueueResults();
    SetLines("Done", "");
    Completed(0);
}

void CMailMonitor::WriteError(const std::string& text) {
    WriteErrorRecord(log_, "transfering mail " + eventName_, text);
}

void CMailMonitor::Pop3Error(uint32_t code) {
    WriteError(Pop3FailureText(pop3_, code));
    EndRun(code);
}

void CMailMonitor::SmtpError(uint32_t code) {
    WriteError(smtp_.ErrorText(code));
    EndRun(code);
}

void CMailMonitor::RestartSession(uint32_t code) {
    // The deletions of the broken session never happened; the forwards behind them are
    // stored, so the new session deletes those messages without sending them again.
    KillTimer(kRequestLimitTimer);
    if (sessions_ >= kMaxSessions) return EndRun(code);
    ++sessions_;
    pop3_.Abort();
    deletions_ = 0;
    deletedKeys_.clear();
    undeletedKeys_.clear();
    forwardAccepted_ = false;
    // The walk starts over; what this run has learnt spares the messages seen already.
    newIds_.clear();
    newUids_.clear();
    inARow_ = 0;
    SetLines("Connecting to Mail Server " + popHost_, "");
    phase_ = Phase::kLoggingIn;
    uint32_t rc = pop3_.Connect(popUserName_, popPassword_, popHost_, 0,
                                static_cast<Pop3Security>(popSecurity_));
    if (rc != 0) Pop3Error(rc);
}

bool CMailMonitor::Finishing() const {
    return phase_ == Phase::kEndWaiting || phase_ == Phase::kEndDeleting ||
           phase_ == Phase::kEndQuitting;
}

void CMailMonitor::Cancel(int code) {
    if (phase_ == Phase::kIdle) return;
    if (Finishing()) {
        // Cancelled while saying goodbye: no more waiting.
        pop3_.Abort();
        return Completed(endCode_);
    }
    EndRun(static_cast<uint32_t>(code));
}

void CMailMonitor::EndRun(uint32_t code) {
    KillTimer(kRequestLimitTimer);
    endCode_ = code;
    SetLines("Disconnecting from Mail Servers", "");
    smtp_.Abort();
    pager_.dialer().StopCall(0);
    QueuePagerCall();
    const int state = pop3_.state();
    if (state == CPop3::kReady) return EndPop3Session();
    if (state == CPop3::kQuitSent && deletions_ > 0) {
        phase_ = Phase::kEndQuitting;  // the answer to QUIT is what keeps the deletions
        return;
    }
    const bool busy = state == CPop3::kRetrSent || state == CPop3::kReceiving ||
                      state == CPop3::kDeleSent || state == CPop3::kTopSent ||
                      state == CPop3::kUidlSent;
    if (busy && (deletions_ > 0 || forwardAccepted_)) {
        // Deletions are kept only by a QUIT, which has to wait for the command under way;
        // the client's own time-outs bound that wait.
        phase_ = Phase::kEndWaiting;
        return;
    }
    pop3_.Abort();
    Completed(code);
}

void CMailMonitor::EndPop3Session() {
    if (pop3_.state() != CPop3::kReady) {
        pop3_.Abort();
        return Completed(endCode_);
    }
    if (forwardAccepted_) {
        // The server has the forward of this message: it goes from the box like the others.
        forwardAccepted_ = false;
        phase_ = Phase::kEndDeleting;
        if (pop3_.Delete(number()) == 0) return;
    }
    if (deletions_ == 0 && phase_ != Phase::kEndDeleting) {
        // Nothing to keep: a polite QUIT all the same, but nobody waits for it.
        pop3_.Quit();
        return Completed(endCode_);
    }
    phase_ = Phase::kEndQuitting;
    pop3_.Quit();
}

void CMailMonitor::Completed(uint32_t code) {
    KillTimer(kRunLimitTimer);
    KillTimer(kRequestLimitTimer);
    phase_ = Phase::kIdle;
    smtp_.Abort();
    file_.Close();
    Complete(code);
}

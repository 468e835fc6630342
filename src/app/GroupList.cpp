#include "app/GroupList.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <utility>

#include "platform/FileTrust.h"
#include "platform/UserPrompt.h"

using namespace grouplist;

namespace {

// Completion codes below this are the system's own (errno) from writing the list; the
// client's codes and the socket errors lie above.
constexpr uint32_t kFirstClientCode = 4096;

// The longest name a file may have on the file systems we run on.
constexpr size_t kMaxFileName = NAME_MAX;

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The chooser's order: letter case ignored, as a sorted list box orders; names equal but
// for case keep a fixed order between them.
bool ListOrder(const std::string& a, const std::string& b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(Lower(a[i]));
        unsigned char y = static_cast<unsigned char>(Lower(b[i]));
        if (x != y) return x < y;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;
}

bool EndsName(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == '\0';
}

// The server's name as it can be shown in a sentence: control bytes as "?", and not
// endless.
std::string Shown(const std::string& server) {
    std::string s = server.substr(0, 200);
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return s;
}

}  // namespace

bool GroupListFileName(const std::string& server, std::string* fileName, std::string* error) {
    auto refuse = [&](const std::string& why) {
        if (error)
            *error = "The news server name \"" + Shown(server) +
                     "\" cannot name its list of news groups: " + why;
        return false;
    };
    if (server.empty()) return refuse("it is empty. Enter the news server in the options.");
    if (server == "." || server == "..") return refuse("it names a folder.");
    for (unsigned char c : server) {
        if (c == '/')
            return refuse("it holds a \"/\", which would put the list in another folder.");
        if (c < 0x20 || c == 0x7F) return refuse("it holds a control character or a zero byte.");
    }
    if (server.size() > kMaxFileName) return refuse("it is too long.");
    std::string name = server;
    std::replace(name.begin(), name.end(), '.', '-');
    *fileName = std::move(name);
    return true;
}

// ---------------------------------------------------------------------------------------
// Reading a list file.

bool CGroupListReader::Feed(const char* data, size_t size) {
    if (cut_) return false;
    for (size_t i = 0; i < size; ++i) {
        if (bytes_ >= kMaxFileBytes || groups_.size() >= kMaxGroups) {
            cut_ = true;
            return false;
        }
        ++bytes_;
        char c = data[i];
        if (c == '\n') {
            EndLine();
            continue;
        }
        if (!inName_) continue;
        if (EndsName(c)) {
            inName_ = false;
            continue;
        }
        if (name_.size() >= kMaxNameBytes)
            tooLong_ = true;  // the rest of the name goes nowhere
        else
            name_.push_back(c);
    }
    return true;
}

void CGroupListReader::Finish() {
    if (!cut_ && (!name_.empty() || tooLong_)) EndLine();
}

void CGroupListReader::EndLine() {
    // A lone "." is the end of the server's list as the list file keeps it, not a group.
    if (tooLong_)
        ++skipped_;
    else if (!name_.empty() && name_ != ".")
        groups_.push_back(name_);
    name_.clear();
    inName_ = true;
    tooLong_ = false;
}

GroupListLoad LoadGroupList(const std::string& path) {
    GroupListLoad load;
    // Without blocking: a FIFO put in the list's place would otherwise hold the window until
    // something writes to it. Neither that, nor a link, nor another user's file is our list.
    std::string distrust;
    int fd = filetrust::OpenOwnFile(path, O_RDONLY, 0, &distrust);
    if (fd < 0) {
        if (errno == ENOENT && distrust.empty()) return load;  // kMissing
        if (errno == EISDIR) distrust = "is not a file";
        load.status = GroupListLoad::kFailed;
        load.error = "The news group list " + path + " cannot be read: " +
                     (distrust.empty() ? std::string(std::strerror(errno)) : "it " + distrust) +
                     ".";
        return load;
    }
    CGroupListReader reader;
    char buffer[30720];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            ::close(fd);
            load.status = GroupListLoad::kFailed;
            load.error = "The news group list " + path + " cannot be read: " + std::strerror(err);
            return load;
        }
        if (n == 0) {
            reader.Finish();
            break;
        }
        if (!reader.Feed(buffer, static_cast<size_t>(n))) break;
    }
    ::close(fd);
    load.status = GroupListLoad::kLoaded;
    load.groups = std::move(reader.groups());
    load.cut = reader.cut();
    load.skipped = reader.skipped();
    return load;
}

GroupListLoad OpenGroupList(const std::string& server, const std::function<void()>& runUpdate,
                            const std::function<void(bool)>& busy) {
    GroupListLoad load;
    std::string fileName, error;
    if (!GroupListFileName(server, &fileName, &error)) {
        load.status = GroupListLoad::kRefused;
        load.error = error;
        UserPrompt::Get().Tell(error);
        return load;
    }
    for (;;) {
        if (busy) busy(true);
        load = LoadGroupList(fileName);
        if (busy) busy(false);
        if (load.status == GroupListLoad::kFailed) {
            UserPrompt::Get().Tell(load.error);
            return load;
        }
        if (load.status == GroupListLoad::kLoaded) break;
        if (UserPrompt::Get().Ask(kAskUpdate, "Quorvane", UserPrompt::YesNo,
                                  UserPrompt::Question) != UserPrompt::IdYes)
            return load;
        runUpdate();
    }
    if (load.cut)
        UserPrompt::Get().Tell("The news group list " + fileName +
                                   " is too large: only its first " +
                                   std::to_string(load.groups.size()) + " groups are shown.",
                               UserPrompt::Information);
    return load;
}

// ---------------------------------------------------------------------------------------
// The chooser's lists.

void CGroupList::SetGroups(std::vector<std::string> groups) {
    std::stable_sort(groups.begin(), groups.end(), ListOrder);
    names_ = std::move(groups);
    selected_.assign(names_.size(), 0);
    selectedCount_ = 0;
    search_.clear();
    filteredRows_.clear();
}

void CGroupList::SetSelected(size_t index, bool on) {
    if (index >= names_.size() || (selected_[index] != 0) == on) return;
    selected_[index] = on ? 1 : 0;
    if (on)
        ++selectedCount_;
    else
        --selectedCount_;
}

void CGroupList::ApplySearch(const std::string& word) {
    search_ = word;
    filteredRows_.clear();
    if (word.empty()) return;
    for (size_t i = 0; i < names_.size(); ++i)
        if (names_[i].find(word) != std::string::npos) filteredRows_.push_back(i);
}

std::vector<std::string> CGroupList::Result() const {
    std::vector<std::string> result;
    for (size_t i = 0; i < names_.size() && result.size() < kMaxChosen; ++i)
        if (selected_[i]) result.push_back(names_[i]);
    return result;
}

// ---------------------------------------------------------------------------------------
// The update.

CGroupListUpdate::CGroupListUpdate(QObject* parent) : CWindow(parent) {
    nntp_.SetOwner(this);
    nntp_.SetTransferLimit(kMaxFileBytes);
}

CGroupListUpdate::~CGroupListUpdate() {
    KillTimer(kProgressTimer);
    nntp_.Abort();
    Discard();
}

void CGroupListUpdate::SetProgress(std::string text) {
    if (text == progress_) return;
    progress_ = std::move(text);
    emit progressChanged();
}

void CGroupListUpdate::Start(const std::string& server) {
    server_ = server;
    error_.clear();
    std::string error;
    if (!GroupListFileName(server, &fileName_, &error)) {
        Fail(error);
        return;
    }
    SetProgress("Connecting to " + server);
    phase_ = Phase::kConnecting;
    uint32_t rc = nntp_.Connect(server, 0);
    if (rc != 0) Fail(nntp_.ErrorText(rc));
}

void CGroupListUpdate::Cancel() {
    KillTimer(kProgressTimer);
    nntp_.Abort();
    Discard();
    if (phase_ != Phase::kDone) phase_ = Phase::kCancelled;
}

void CGroupListUpdate::Fail(const std::string& text) {
    KillTimer(kProgressTimer);
    // A session that still stands is ended politely; its answer no longer matters.
    if (nntp_.state() == CNntp::kReady && nntp_.opMessage() == 0)
        nntp_.Quit();
    else
        nntp_.Abort();
    Discard();
    phase_ = Phase::kFailed;
    error_ = text;
    emit failed();
}

void CGroupListUpdate::Discard() {
    if (!temp_.IsOpen()) return;
    // A nameless file goes with its descriptor; a named stand-in must be removed.
    std::string named = temp_.Path();
    temp_.Close();
    if (!named.empty()) ::unlink(named.c_str());
}

bool CGroupListUpdate::Keep(std::string* error) {
    if (::fsync(temp_.Fd()) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    if (!temp_.Publish(kTempPrefix, fileName_, error)) return false;
    // The new name itself must survive a crash as well as the bytes behind it.
    int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

void CGroupListUpdate::OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
    const uint32_t code = static_cast<uint32_t>(wParam);
    switch (msg) {
        case WM_NNTP_LOOKUP:
            nntp_.OnLookupDone(wParam, lParam);
            return;
        case WM_NNTP_CONNECTED:
            if (phase_ == Phase::kConnecting) OnConnected(code);
            return;
        case WM_NNTP_LIST:
            if (phase_ == Phase::kListing) OnListed(code);
            return;
        case WM_NNTP_QUIT:
            if (phase_ != Phase::kQuitting) return;
            // The list is in place whatever the goodbye brought.
            KillTimer(kProgressTimer);
            phase_ = Phase::kDone;
            emit finished();
            return;
        default:
            CWindow::OnMessage(msg, wParam, lParam);
    }
}

void CGroupListUpdate::OnConnected(uint32_t code) {
    if (code == kNntpSaid) {
        // A refusing greeting: the client's text would name a group, and there is none.
        Fail("The News server " + nntp_.serverName() + " said:  " + nntp_.replyText());
        return;
    }
    if (code != 0 || nntp_.state() != CNntp::kReady) {
        Fail(nntp_.ErrorText(code != 0 ? code : kNntpNoResponse));
        return;
    }
    std::string error;
    if (!temp_.CreateNameless(kTempPrefix, ".", &error)) {
        Fail(error);
        return;
    }
    uint32_t rc = nntp_.List(temp_.Fd());
    if (rc != 0) {
        Fail(nntp_.ErrorText(rc));
        return;
    }
    phase_ = Phase::kListing;
    SetTimer(kProgressTimer, kProgressPeriod);
}

void CGroupListUpdate::OnListed(uint32_t code) {
    if (code == kNntpLost) {
        // The client's text speaks of an article; here the server refused the list.
        Fail("The News server " + nntp_.serverName() +
             " did not give its list of news groups:  " + nntp_.replyText());
        return;
    }
    if (code > 0 && code < kFirstClientCode) {
        // The list could not be written here (a full disk): the system's words, not the
        // client's, which know only network faults.
        Fail("The news group list could not be saved as " + fileName_ + ": " +
             std::strerror(static_cast<int>(code)));
        return;
    }
    if (code != 0 || nntp_.state() != CNntp::kReady) {
        Fail(nntp_.ErrorText(code != 0 ? code : kNntpNoResponse));
        return;
    }
    std::string error;
    if (!Keep(&error)) {
        Fail("The news group list could not be saved as " + fileName_ + ": " + error);
        return;
    }
    // The list is in place: the user waits no longer on the goodbye, which a server may
    // never answer. QUIT still goes; its reply, if any, finds nothing to do.
    SetProgress("Number of groups listed : " + std::to_string(nntp_.lineCount()));
    nntp_.Quit();
    KillTimer(kProgressTimer);
    phase_ = Phase::kDone;
    emit finished();
}

void CGroupListUpdate::OnTimer(UINT id) {
    if (nntp_.OnTimer(id)) return;
    if (id != kProgressTimer) return;
    int lines = nntp_.lineCount();
    SetProgress("Number of groups listed : " + std::to_string(lines / 100 * 100));
}

#pragma once

// The news server's list of groups as the newsgroup chooser shows it: the file that keeps
// the list of one server, its reader, the chooser's state (the sorted list, the selection,
// the search word and the groups it leaves on show) and the update that fetches the list
// from the server with LIST. The chooser's windows only draw this state and forward clicks.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "net/Nntp.h"
#include "platform/TempFile.h"
#include "platform/Window.h"

namespace grouplist {

inline constexpr const char* kChooserTitle = "Korvalin - Select a News Group";
inline constexpr const char* kSearchLabel = "Enter a word to search for.";
inline constexpr const char* kListLabel = "Then choose some news groups from the list below.";
inline constexpr const char* kAskUpdate =
    "The news group list is empty to you want to get\na new group list from your news "
    "server?\n\nThis may take a few minutes.";
inline constexpr const char* kUpdateTitle = "Updating list...";
inline constexpr const char* kUpdateText =
    "Retrieving the lastest list of news groups from the news server.  ";
inline constexpr const char* kStandBy = "Please stand by ...";
inline constexpr const char* kProgressStart = "Number of groups  0";

// The most groups one OK hands to the wizard.
inline constexpr size_t kMaxChosen = 1024;
// The longest group name listed. Every reader of a chosen group takes fewer than 256 bytes,
// so a longer name could be picked but never monitored; its line is left out whole.
inline constexpr size_t kMaxNameBytes = 254;
// What a list file may hold: the update stops a server's list at kMaxFileBytes, and the
// reader stops at the same size, or at kMaxGroups groups, whichever comes first. The largest
// servers list a few hundred thousand groups in some tens of megabytes.
inline constexpr uint64_t kMaxFileBytes = 64ull * 1024 * 1024;
inline constexpr size_t kMaxGroups = 1000000;

// The temporary name of a list while it arrives, in the list's own folder.
inline constexpr const char* kTempPrefix = "NGL";

}  // namespace grouplist

// The name of server's list file in the working folder: the server's name with every "."
// turned into "-". False, with a sentence for the user, for a name that would put the file
// anywhere else or cannot be a file name at all: empty, "." or "..", with a "/", a zero
// byte or another control character, or longer than a file name may be.
bool GroupListFileName(const std::string& server, std::string* fileName, std::string* error);

// Reads a list file as it is fed in pieces of any size: each line is cut at its first
// blank, tab, carriage return, line feed or zero byte, and what comes before is one group
// (the closing "." line of the server's reply included, as ".": the file holds the reply as
// it came). A line whose name is longer than kMaxNameBytes is left out whole, never split
// into several; an empty name is no group. Holds one name at a time besides the groups.
class CGroupListReader {
public:
    // False once the reader has all it takes (kMaxGroups groups or kMaxFileBytes bytes):
    // the rest is not read, and cut() says so.
    bool Feed(const char* data, size_t size);
    // The last line, when the file does not end with a line end.
    void Finish();

    std::vector<std::string>& groups() { return groups_; }
    bool cut() const { return cut_; }
    // Lines left out for a name too long.
    size_t skipped() const { return skipped_; }

private:
    void EndLine();

    std::vector<std::string> groups_;
    std::string name_;
    bool inName_ = true;    // still within the line's first word
    bool tooLong_ = false;  // this line's name is past kMaxNameBytes
    bool cut_ = false;
    uint64_t bytes_ = 0;
    size_t skipped_ = 0;
};

struct GroupListLoad {
    // kRefused: the server's name names no list file (OpenGroupList only).
    enum Status { kLoaded, kMissing, kFailed, kRefused };
    Status status = kMissing;
    std::vector<std::string> groups;  // as the file lists them
    bool cut = false;
    size_t skipped = 0;
    std::string error;  // kFailed: what went wrong, for the user
};

// Reads the list file at path.
GroupListLoad LoadGroupList(const std::string& path);

// The chooser's opening: the list of server from its file; when there is none, the user is
// asked whether to fetch it and, on Yes, runUpdate runs (it returns once the update ended,
// however it ended) and the file is tried again, asking again while it is missing. A server
// name that names no file, a file that cannot be read, and a list cut short are told to
// the user through the prompt. busy(true) and busy(false) frame the reading of the file,
// for a wait cursor that must not stand over the question.
GroupListLoad OpenGroupList(const std::string& server, const std::function<void()>& runUpdate,
                            const std::function<void(bool)>& busy = {});

// The chooser's lists: the full list, sorted, holds the selection; a search word leaves on
// show the groups that contain it (exact, case-sensitive), each standing for its place in
// the full list. Rows are the rows on show: the full list's without a search word, the
// filtered ones with one.
class CGroupList {
public:
    // Takes the groups, sorted as the chooser lists them (letter case ignored, then byte
    // order); nothing is selected and there is no search word.
    void SetGroups(std::vector<std::string> groups);

    size_t size() const { return names_.size(); }
    const std::string& name(size_t index) const { return names_[index]; }
    bool selected(size_t index) const { return selected_[index] != 0; }
    void SetSelected(size_t index, bool on);
    size_t selectedCount() const { return selectedCount_; }

    // Applies the search word: an empty one shows the full list.
    void ApplySearch(const std::string& word);
    const std::string& searchWord() const { return search_; }
    bool filtered() const { return !search_.empty(); }

    size_t rowCount() const { return filtered() ? filteredRows_.size() : names_.size(); }
    // The full list's index of a row on show.
    size_t IndexOfRow(size_t row) const { return filtered() ? filteredRows_[row] : row; }
    const std::string& rowName(size_t row) const { return names_[IndexOfRow(row)]; }
    bool rowSelected(size_t row) const { return selected(IndexOfRow(row)); }
    // A selection change made on a row on show goes to the full list.
    void SetRowSelected(size_t row, bool on) { SetSelected(IndexOfRow(row), on); }

    // The selected groups in the full list's order, at most kMaxChosen of them.
    std::vector<std::string> Result() const;

private:
    std::vector<std::string> names_;
    std::vector<char> selected_;
    size_t selectedCount_ = 0;
    std::string search_;
    std::vector<size_t> filteredRows_;
};

// Fetches the list of a server into its list file: connects, asks LIST into a temporary
// file in the same folder, and only when the whole list has come puts that file in place
// of the list file (written to disk first) and says goodbye. A failed connect, a refused
// or broken list, a list past kMaxFileBytes and a cancel leave no list file and no
// temporary file: a part of a list must never pass for the whole one. The news server's
// security and login settings apply as they do for the news monitor.
class CGroupListUpdate : public CWindow {
    Q_OBJECT
public:
    enum class Phase { kIdle, kConnecting, kListing, kQuitting, kDone, kFailed, kCancelled };
    static constexpr UINT kProgressTimer = 0;
    static constexpr int kProgressPeriod = 1000;

    explicit CGroupListUpdate(QObject* parent = nullptr);
    ~CGroupListUpdate() override;

    // Starts the update of server's list. Whatever comes of it is told by the signals.
    void Start(const std::string& server);
    // Stops whatever is under way; the list file stays as it was before the update.
    void Cancel();

    Phase phase() const { return phase_; }
    const std::string& progressText() const { return progress_; }
    // What failed, once phase() is kFailed: the client's words, or the system's.
    const std::string& errorText() const { return error_; }
    const std::string& fileName() const { return fileName_; }
    CNntp& client() { return nntp_; }
    // The most bytes a list may bring (kMaxFileBytes unless a test says otherwise).
    void SetMaxListBytes(uint64_t bytes) { nntp_.SetTransferLimit(bytes); }

signals:
    void progressChanged();
    // Failed: errorText() is to be shown; the update waits for Cancel.
    void failed();
    // The list file is in place.
    void finished();

protected:
    void OnMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnTimer(UINT id) override;

private:
    void OnConnected(uint32_t code);
    void OnListed(uint32_t code);
    void Fail(const std::string& text);
    void SetProgress(std::string text);
    // Drops the temporary file, whatever is in it.
    void Discard();
    // Writes the temporary file to disk and puts it in place of the list file.
    bool Keep(std::string* error);

    CNntp nntp_;
    Phase phase_ = Phase::kIdle;
    std::string server_, fileName_, progress_ = grouplist::kProgressStart, error_;
    TempFile temp_;
};

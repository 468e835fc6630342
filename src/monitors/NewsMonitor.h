#pragma once

// Searches the articles that arrived in a list of newsgroups since the last run for a list
// of keyword phrases, and reports each article whose author, subject or body matches. Per
// group it remembers where the next search starts and which articles it reported, so that
// an article is reported once.
//
// Two ways: when only authors and subjects are searched, the overview of every new article
// comes in one transfer and is searched in slices between which the loop turns (so a cancel
// stops it at once); when bodies are searched too, the articles are walked one by one with
// HEAD and BODY.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "net/Nntp.h"
#include "net/Panel.h"
#include "platform/TempFile.h"

class ActivityLogWriter;

// Reads an overview file line by line, in bounded memory whatever its lines' length, and
// tells each article whose author or subject a keyword phrase matches: once for every
// phrase that does. Authors and subjects are searched and told as a person reads them
// (encoded words decoded).
class COverviewSearch {
public:
    using OnMatch = std::function<void(const OverviewLine&, const std::string& author,
                                       const std::string& subject)>;
    // A line with a field longer than kMaxField: searched by what was kept of it.
    using OnCut = std::function<void(const OverviewLine&, uint64_t lineBytes)>;
    static constexpr size_t kMaxField = 64 * 1024;

    void Begin(int fd, const std::vector<std::string>* phrases, bool author, bool subject);
    // Searches at most maxLines more lines; false once the file has ended.
    bool Search(int maxLines, const OnMatch& onMatch, const OnCut& onCut = {});
    int linesDone() const { return linesDone_; }
    // The last article line searched (valid until the next Search).
    const std::string& lastAuthor() const { return lastAuthor_; }
    const std::string& lastSubject() const { return lastSubject_; }

private:
    void SearchLine(std::string_view line, const OnMatch& onMatch);
    // Adds the bytes of a line that does not fit the buffer, each field cut to kMaxField.
    void Keep(const char* data, size_t size);
    void SearchPending(const OnMatch& onMatch, const OnCut& onCut);

    int fd_ = -1;
    const std::vector<std::string>* phrases_ = nullptr;
    bool author_ = false, subject_ = false;
    off_t readAt_ = 0;
    std::vector<char> buf_;
    size_t bufPos_ = 0, bufLen_ = 0;
    std::string pending_;  // the line being put together
    size_t pendingFields_ = 0, fieldBytes_ = 0;
    uint64_t pendingBytes_ = 0;
    bool pendingCut_ = false;
    int linesDone_ = 0;
    std::string lastAuthor_, lastSubject_;
};

class CNewsMonitor : public CPanel {
    Q_OBJECT
public:
    explicit CNewsMonitor(ActivityLogWriter& log, QObject* parent = nullptr);
    ~CNewsMonitor() override;

    void Start(const std::string& eventName) override;
    void Cancel(int code) override;

    CNntp& nntp() { return nntp_; }
    bool running() const { return running_; }
    int found() const { return found_; }

    // The identifier of an article as it is remembered and linked: the text between the
    // first "<" and the last ">" behind it, or the whole trimmed text when there is no such
    // pair.
    static std::string CutIdentifier(std::string_view text);
    // Whether the article's "Lines" header allows its body to be searched.
    static bool BodyWithinLimit(const std::string& linesHeader, bool enableMax, int32_t maxLines);

protected:
    void OnStepMessage(UINT msg, WPARAM wParam, LPARAM lParam) override;
    void OnTimer(UINT id) override;

private:
    void ReadSettings();
    void OnConnected(uint32_t result);
    void NextGroup();
    void OnGroup(uint32_t result);
    void OnOverview(uint32_t result);
    void SearchOverviewSlice();
    void StatFrom(int number);
    void OnStat(uint32_t result);
    void AskHead();
    void OnHeader(uint32_t result);
    void OnBody(uint32_t result);
    void Advance(uint32_t error);
    // The current article is done: on to the one behind it, or the group's end.
    void AdvancePast();
    void OnNext(uint32_t result);
    // finished: the search of the group went to its end (else the run was cut short).
    void EndGroup(bool finished);
    // number: the article's, which stands in for an identifier the article lacks.
    void Report(const std::string& author, const std::string& subject, std::string id, int number);
    // An overview line too long to be kept whole: told, and searched by what was kept.
    void ReportCutLine(const OverviewLine& o, uint64_t lineBytes);
    bool Matches(std::string_view text) const;
    void ShowFound();
    // Stores the group's memory and ends the group; StoreGroupMemory only stores it.
    void WriteGroupMemory(bool finished);
    void StoreGroupMemory(bool finished);
    // Where the group in hand keeps its memory.
    std::string MemoryPath() const;
    // One error record; stop ends the run as a cancel does.
    void Error(uint32_t code, bool stop = true);
    // The session broke in the middle of a group: a new one goes on with the next group,
    // a few times a run at most.
    void SessionBroke(uint32_t code);
    // The temporary file failed: one record with the system's words, and the run ends.
    void FileError(int error);
    void Stop(uint32_t code);
    bool TruncateFile();

    ActivityLogWriter& log_;
    CNntp nntp_;
    TempFile file_;
    bool running_ = false;
    std::string eventName_, server_;

    // The event's values.
    std::vector<std::string> groups_, keywords_;
    bool searchSubject_ = false, searchAuthor_ = false, searchBody_ = false;
    bool enableMax_ = false;
    int32_t maxLines_ = 0;
    bool notifyViaEmail_ = false, notifyViaWindows_ = false;
    std::string notifyEmailTo_;

    // The group in hand.
    int groupIndex_ = -1;
    std::string group_;
    bool groupCurrent_ = false;  // selected, its memory read: written when it ends
    uint32_t resume_ = 0;
    int start_ = 0, first_ = 0, last_ = 0, count_ = 0;
    int article_ = 0;
    std::unordered_set<std::string> oldIds_;
    std::string newIds_;

    // The overview search: the file read in slices.
    enum class Mode { kNone, kOverview, kArticles };
    Mode mode_ = Mode::kNone;
    COverviewSearch overview_;
    int linesTotal_ = 0;
    LPARAM search_ = 0;  // which search the posted slices belong to
    int missing_ = 0;
    int headless_ = 0;  // articles whose header was refused, one after the other
    int sessions_ = 1;
    bool listsUnreadable_ = false;  // articles asked for by number and missing, one after the other
    bool memoryFailureTold_ = false;  // a store that will not take it is told once a run
    std::string bodyAuthor_, bodySubject_, bodyId_;  // the article whose body is coming

    int found_ = 0;
    std::string emailBody_;
};

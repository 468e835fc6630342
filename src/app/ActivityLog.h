#pragma once

// The activity log: every result and error is appended as one fixed 516-byte record to
// "Quorvane.log" in the working folder, and the Log Messages bar pages through them. The
// bar's whole state lives here; the window only draws it.

#include <QObject>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "settings/ActivityLogWriter.h"

class DesktopNotifier;

inline constexpr const char* kLogFileName = "Quorvane.log";
inline constexpr size_t kLogRecordSize = 516;
inline constexpr size_t kLogLinkMax = 251;
inline constexpr size_t kLogTextMax = 243;

// Control ids of the Log Messages bar.
enum LogBarControl {
    kLogIndexText = 1051,
    kLogCountText = 1052,
    kLogIconControl = 1054,
    kLogTimeText = 1055,
    kLogClearButton = 1056,
    kLogPrevButton = 1058,
    kLogNextButton = 1059,
    kLogMessageText = 1074,
    kLogPreviewButton = 1118,
};

struct LogRecord {
    uint32_t icon = 0;
    uint32_t time = 0;  // seconds since 1970; read unsigned so it lasts until 2106
    uint32_t action = 0;
    std::string link;
    std::string text;  // as stored: CR LF, then the message

    // Lays the record out in its 516 bytes (link and text cut to fit their fields).
    std::vector<uint8_t> Encode() const;
    // Reads one record from 516 bytes.
    static LogRecord Decode(const uint8_t* bytes);
};

// One line of `quorvane --log`: time, icon, action, link and message, TAB-separated.
std::string FormatLogLine(const LogRecord& record);
// A field of such a line with its backslashes, tabs, line breaks and control bytes escaped
// (\\, \t, \n, \r, \xHH), for other one-record-a-line listings.
std::string EscapeLogField(std::string_view field);

// Reads every whole record of the log file at path, oldest first. A missing file is an
// empty log. False with a reason when the file cannot be read.
bool ReadLogFile(const std::string& path, std::vector<LogRecord>* records, std::string* error);

// The text a file error on the log file is reported with.
std::string LogFileErrorText(int error, const std::string& fileName);
// The text a log file that is not to be trusted is reported with: distrust says why ("is a
// symbolic link", "belongs to another user (uid 1001)").
std::string LogFileTrustText(const std::string& fileName, const std::string& distrust);

class CActivityLog : public QObject, public ActivityLogWriter {
    Q_OBJECT
public:
    // What the Log Messages bar shows.
    struct BarState {
        std::string indexText;         // 1051
        std::string countText;         // 1052
        std::string timeText;          // 1055
        int icon = kIconDefault;       // 1054
        std::string text;              // 1074
        bool previousEnabled = false;  // 1058
        bool nextEnabled = false;      // 1059
        bool previewEnabled = false;   // 1118
        bool visible = false;
        int focus = 0;  // the control that holds the focus, 0 = untouched
    };

    explicit CActivityLog(std::string fileName = kLogFileName, QObject* parent = nullptr);

    // Appends a record. link may be empty. With popUp set, the bar is shown as the
    // DisplayMesg option says, and so is a desktop notification unless DesktopNotifications
    // is 0.
    void WriteLog(int icon, const std::string& text, int action = 0, const std::string& link = {},
                  bool popUp = true) override;
    // Refreshes the bar from the file for logIndex.
    void ShowLogRecord();
    void Previous();
    void Next();
    void Clear();
    // The log bar's Clear: asks first, since nothing brings the records back (No unless
    // the user says Yes); true when the log was emptied.
    bool AskToClear();
    // Runs the companion launch for the shown record's action and link.
    void Preview();
    // The "Logged Events" command: refresh and show the bar, or hide it.
    void ToggleBar();
    void SetBarVisible(bool visible);
    // Where pop-up records also go as desktop notifications; nullptr (the default) sends none.
    // The notifier outlives this log or is reset first.
    void SetNotifier(DesktopNotifier* notifier);

    int logCount() const { return logCount_; }
    int logIndex() const { return logIndex_; }
    void setLogIndex(int index) { logIndex_ = index; }
    int previewAction() const { return previewAction_; }
    const std::string& previewLink() const { return previewLink_; }
    const BarState& bar() const { return bar_; }
    const std::string& fileName() const { return fileName_; }

signals:
    // Preview of a record with an action: the main window starts its companion.
    void previewRequested(int action, const std::string& link);
    void barChanged();
    // Every record this log appended, after it reached the file.
    void recordWritten(const LogRecord& record);

private:
    void ReportFileError(int error, const std::string& distrust = {});
    int OpenFile(int flags, std::string* distrust);
    void NotifyDesktop(const LogRecord& record, const std::string& text);

    std::string fileName_;
    int logCount_ = 0;
    int logIndex_ = 1;
    int previewAction_ = 0;
    std::string previewLink_;
    BarState bar_;
    DesktopNotifier* notifier_ = nullptr;
};

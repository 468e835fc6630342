#pragma once

// What the parts below the application need of the activity log: appending a record. The
// application's CActivityLog is the one that writes them; monitors, the mail queue and the
// protocol steps are handed it as this interface, so none of them reaches upward for it.

#include <string>

// Icons of the records.
inline constexpr int kIconMail = 130;
inline constexpr int kIconNews = 131;
inline constexpr int kIconDefault = 133;
inline constexpr int kIconError = 155;
inline constexpr int kIconWeb = 158;

// Preview action that opens the link in the web browser.
inline constexpr int kActionBrowse = 11;

class ActivityLogWriter {
public:
    virtual ~ActivityLogWriter() = default;
    // Appends a record. link may be empty. With popUp set, the bar is shown as the
    // DisplayMesg option says.
    virtual void WriteLog(int icon, const std::string& text, int action = 0,
                          const std::string& link = {}, bool popUp = true) = 0;
};

// The one form of every error record a step writes: what the program was doing ("sending
// mail", "watching the web site X") and what went wrong.
std::string ErrorRecordText(const std::string& activity, const std::string& message);
// Writes that record with the error icon, popping the bar up.
void WriteErrorRecord(ActivityLogWriter& log, const std::string& activity,
                      const std::string& message);

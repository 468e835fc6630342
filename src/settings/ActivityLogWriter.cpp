#include "settings/ActivityLogWriter.h"

std::string ErrorRecordText(const std::string& activity, const std::string& message) {
    return "An error occured while " + activity + ".   The error message was : " + message;
}

void WriteErrorRecord(ActivityLogWriter& log, const std::string& activity,
                      const std::string& message) {
    log.WriteLog(kIconError, ErrorRecordText(activity, message), 0, {}, true);
}

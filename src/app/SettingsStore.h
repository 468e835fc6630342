#pragma once

// The layout of the program's settings: the settings root with the global options, and
// one subkey per event (a schedule or a monitor). Nothing is cached; every call opens the
// keys it needs and closes them again, so changes made by any other program take effect
// at the next use.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Registry.h"

class CItemList;

namespace settings {

inline constexpr const char* kRoot = "SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion";
inline constexpr const char* kEventClass = "Quorvane";
inline constexpr const char* kCopyClass = "Korvalin";

// Global options (values of the settings root).
inline constexpr const char* kMyName = "MyName";
inline constexpr const char* kHostName = "HostName";
inline constexpr const char* kSmtpServer = "SmtpServer";
inline constexpr const char* kNewsServer = "NewsServer";
inline constexpr const char* kConnectionAttempts = "ConnectionAttempts";
inline constexpr const char* kTimeoutConnection = "TimeoutConnection";
inline constexpr const char* kTimeoutHttp = "TimeoutHttp";
inline constexpr const char* kTimeoutPop3 = "TimeoutPop3";
inline constexpr const char* kTimeoutSmtp = "TimeoutSmtp";
inline constexpr const char* kTimeoutNntp = "TimeoutNntp";
inline constexpr const char* kUseProxy = "UseProxy";
inline constexpr const char* kProxyServer = "ProxyServer";
inline constexpr const char* kProxyPort = "ProxyPort";
inline constexpr const char* kWebBrowser = "WebBrowser";
inline constexpr const char* kMailReader = "MailReader";
inline constexpr const char* kNewsReader = "NewsReader";
inline constexpr const char* kDisplayMesg = "DisplayMesg";
inline constexpr const char* kAutoStartLM = "AutoStartLM";
inline constexpr const char* kPagerModem = "PagerModem";
inline constexpr const char* kPagerDelay = "PagerDelay";
inline constexpr const char* kFaxProfile = "FaxProfile";
inline constexpr const char* kTimeServerUrl = "TimeServerUrl";
// Our own: the program that stands in for the dial-up library.
inline constexpr const char* kDialUpProgram = "DialUpProgram";
// Our own: the most bytes one web response may bring (a server that never stops sending
// must not fill the disk).
inline constexpr const char* kHttpMaxResponse = "HttpMaxResponse";
// Our own: the longest one request to a server (a web document, a mail session) may take,
// in seconds, so that a server that answers a byte at a time cannot hold a run forever.
inline constexpr const char* kRequestTimeLimit = "RequestTimeLimit";

// Values of every event.
inline constexpr const char* kType = "Type";
inline constexpr const char* kDescription = "Description";
inline constexpr const char* kEnabled = "Enabled";
inline constexpr const char* kLog = "Log";
inline constexpr const char* kScheduledEvent = "ScheduledEvent";
// A monitor that belongs to no schedule; "<None" marks one whose schedule was deleted.
inline constexpr const char* kNoSchedule = "<None>";
inline constexpr const char* kDeletedSchedule = "<None";

// Our own value of a web site event: the most documents its watch list may grow to by
// crawling, so that a site that makes pages without end (a calendar, a session id in every
// link) cannot keep a run going for ever.
inline constexpr const char* kMaxDocuments = "MaxDocuments";
inline constexpr DWORD kDefaultMaxDocuments = 10000;

// Event kinds (the Type value).
enum EventKind : DWORD {
    kSchedule = 1,
    kNewsMonitor = 2,
    kMailMonitor = 3,
    kWebMonitor = 4,
    kLumettaDisplay = 5,
};

// Reader buffer sizes.
inline constexpr size_t kStringBuffer = 256;
inline constexpr size_t kRootStringBuffer = 252;
inline constexpr size_t kListBuffer = 1024;
// A value that holds an event's name (ScheduledEvent): any name the store accepts as a
// key, 255 characters of up to 4 bytes each, and the NUL.
inline constexpr size_t kEventNameBuffer = kMaxKeyNameLength * 4 + 1;

// The path of an event's key: the root, a backslash and the name.
std::string EventPath(const std::string& name);

// A flag counts as set only when it reads exactly 1.
bool IsSet(const RegKey& key, const char* name);
// A DWORD of key, or fallback when it is absent or unreadable.
DWORD ReadDword(const RegKey& key, const char* name, DWORD fallback);
// A string of key read with a buffer of capacity bytes; empty when absent or too long.
std::string ReadString(const RegKey& key, const char* name, size_t capacity = kStringBuffer);
// A list in the multi-string layout (any type): at most 1024 bytes, ending at the first
// empty item.
std::vector<std::string> ReadMultiString(const RegKey& key, const char* name);
// Encodes items in the multi-string layout (each NUL-terminated, one more NUL at the
// end), keeping only the whole items that fit in limit bytes.
Bytes EncodeMultiString(const std::vector<std::string>& items, size_t limit = kListBuffer);

// A DWORD of the settings root, or fallback.
DWORD ReadRootDword(const char* name, DWORD fallback);

}  // namespace settings

// Reads a global string with a 252-byte buffer. text is emptied first; false only when the
// settings root cannot be opened.
bool ReadRootString(const char* name, std::string& text);
bool GetMyName(std::string& text);
bool GetHostName(std::string& text);
bool GetSmtpServer(std::string& text);
bool GetNewsServer(std::string& text);

// "<None>" (item data 0), then every schedule in enumeration order (item data 1). Returns
// the number of schedules, 0 when the settings root cannot be opened.
int FillScheduleList(CItemList& list);
// Every event whose ScheduledEvent equals schedule exactly, with its kind as item data.
void ListScheduleMonitors(const std::string& schedule, CItemList& list);
// Points every event whose ScheduledEvent equals oldName exactly at newText.
void RenameScheduleReferences(const std::string& oldName, const std::string& newText);
// Copies source (a path below the store's root) with its values and subkeys to a new key
// destination. 0 on success, 1 when destination exists already, else the error.
LONG CopyKeyTree(const std::string& source, const std::string& destination);

// Event records as the wizards collect them.
struct ScheduleRecord {
    std::string name;
    std::string description;
    DWORD interval = 60;
    DWORD days = 0x7F;
    DWORD hours = 0xFFFFFF;
    DWORD updateTime = 0;
};

struct MailMonitorRecord {
    std::string name;
    std::string description;
    std::string popHost, popUserName, popPassword;
    DWORD forwardMail = 0;
    std::string forwardTo;
    bool copy = false;
    std::string copyTo;  // the copy-to text; at most 254 characters are kept
    DWORD enablePager = 0;
    std::string pagerPhone, pagerMsg;
    DWORD enableFax = 0;
    std::string faxPhone, faxName;
    std::string scheduledEvent = settings::kNoSchedule;
    DWORD notifyViaEmail = 0;
    std::string notifyEmailTo;
    DWORD notifyViaWindows = 1;
};

struct NewsMonitorRecord {
    std::string name;
    std::string description;
    std::string scheduledEvent = settings::kNoSchedule;
    std::string notifyEmailTo;
    DWORD notifyViaEmail = 0;
    DWORD notifyViaWindows = 1;
    std::vector<std::string> newsGroups;
    std::vector<std::string> keywords;
    DWORD searchAuthor = 0, searchBody = 0, searchSubject = 1;
};

struct WebMonitorRecord {
    std::string name;
    std::string description;
    std::string site;
    DWORD entireDomain = 0;
    DWORD files = 0;
    std::string scheduledEvent = settings::kNoSchedule;
    std::string notifyEmailTo;
    DWORD notifyViaEmail = 0;
    DWORD notifyViaWindows = 1;
};

struct LumettaRecord {
    std::string name;
    std::string description;
    std::string scheduledEvent = settings::kNoSchedule;
    std::string url;
    std::string docFile;  // empty: a new empty "KV1" temporary file is made for it
    std::string filter;
    std::string filterFile;
};

// Store a new event (an existing event of that name is overwritten value by value).
// False when the event's key cannot be created; then nothing is written.
bool CreateEventRecord(const ScheduleRecord& r);
bool CreateEventRecord(const MailMonitorRecord& r);
bool CreateEventRecord(const NewsMonitorRecord& r);
bool CreateEventRecord(const WebMonitorRecord& r);
bool CreateEventRecord(const LumettaRecord& r);

// The name under which a web monitor's first document is watched.
std::string FirstWatchedUrl(const std::string& site);

// Why name cannot be the name of an event, or empty when it can: no name is empty or holds a
// backslash (the store would take it for a path of keys), and no schedule is called
// "<None>" or "<None" in any case (those stand for "no schedule" in ScheduledEvent).
std::string EventNameProblem(const std::string& name, bool schedule);
// "<None>" or "<None" in any case: never a schedule that runs monitors, even when a store
// written by another program holds one.
bool IsReservedScheduleName(const std::string& name);

// Renames a schedule and points its monitors at the new name. Tells the user through the
// installed prompt when the new name is taken. True when the schedule now has newName.
bool RenameSchedule(const std::string& oldName, const std::string& newName);
// Deletes a schedule; its monitors are left pointing at "<None".
void DeleteSchedule(const std::string& name);
// Asks the user first; true when the schedule was deleted.
bool ConfirmAndDeleteSchedule(const std::string& name);

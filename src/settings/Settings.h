#pragma once

// The settings keys and their typed readers: the names of the values the program keeps
// under its settings root, and the rules by which each kind of value is read. They need
// nothing but the store, so every layer above may use them.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/Registry.h"

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
// Our own: 0 keeps pop-up records off the desktop's notifications; absent or any other
// value, they are shown there too.
inline constexpr const char* kDesktopNotifications = "DesktopNotifications";
// The schedule the user chose last in the main window, which it opens on next time.
inline constexpr const char* kLastChosenSchedule = "LastChosenSchedule";
inline constexpr const char* kPagerModem = "PagerModem";
inline constexpr const char* kPagerDelay = "PagerDelay";
inline constexpr const char* kFaxProfile = "FaxProfile";
inline constexpr const char* kTimeServerUrl = "TimeServerUrl";
// Our own (DWORD, seconds since 1970, UTC): when the clock step last wrote that it left the
// clock alone (no right to set it, or a time service of the system keeps it), so that this
// is told once a day, not at every run of every schedule and program that shares the store.
inline constexpr const char* kClockLeftAloneLogged = "ClockLeftAloneLogged";
// Our own: serial devices (multi-string) that are pager modems whether or not they answer
// the device search.
inline constexpr const char* kModemDevices = "ModemDevices";
// Our own: the pager calls still to be made (multi-string of "phone<TAB>message<TAB>event").
inline constexpr const char* kPendingPages = "PendingPages";
// Our own: the program that stands in for the dial-up library.
inline constexpr const char* kDialUpProgram = "DialUpProgram";
// Our own: the fax client command that stands in for the messaging system (a bare name is
// looked up in PATH).
inline constexpr const char* kFaxProgram = "FaxProgram";
inline constexpr const char* kDefaultFaxProgram = "sendfax";
// Our own: the most bytes one web response may bring (a server that never stops sending
// must not fill the disk).
inline constexpr const char* kHttpMaxResponse = "HttpMaxResponse";
// Our own: 0 sends every web request on a connection of its own, as the server closes it;
// absent or any other value, a connection the server offers to keep carries the next request.
inline constexpr const char* kHttpKeepAlive = "HttpKeepAlive";
// Our own: the longest one request to a server (a web document, a mail session) may take,
// in seconds, so that a server that answers a byte at a time cannot hold a run forever.
inline constexpr const char* kRequestTimeLimit = "RequestTimeLimit";
// Our own: 0 makes the web client follow only 302 redirections; absent or any other value,
// it also follows 301, 303, 307 and 308, so that a site that moved is watched where it went.
inline constexpr const char* kFollowRedirects = "FollowRedirects";
// Our own: a PEM file of further trusted authorities for secure connections (private
// servers, tests), besides the system's store.
inline constexpr const char* kTlsCaFile = "TlsCaFile";
// Our own: how mail sessions are secured (DWORD: 0 or absent plain, 1 STARTTLS required,
// 2 TLS from the first byte) and the login given over the secure channel.
inline constexpr const char* kSmtpSecurity = "SmtpSecurity";
inline constexpr const char* kSmtpUserName = "SmtpUserName";
inline constexpr const char* kSmtpPassword = "SmtpPassword";
// Our own: how news sessions are secured (DWORD, as PopSecurity: 0 or absent plain, 1
// STARTTLS required, 2 TLS from the first byte on port 563) and the login given when the
// news server asks for one.
inline constexpr const char* kNewsSecurity = "NewsSecurity";
inline constexpr const char* kNewsUserName = "NewsUserName";
inline constexpr const char* kNewsPassword = "NewsPassword";

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
// Root: how many documents the web monitor checks at once, each on its own connection;
// 1 checks one after the other. What a run reports does not depend on it.
inline constexpr const char* kWebParallelRequests = "WebParallelRequests";
inline constexpr DWORD kDefaultWebParallelRequests = 4;
inline constexpr DWORD kMaxWebParallelRequests = 16;

// Our own value of a mail event: how its POP3 session is secured. 0 or absent: plain text;
// 1: STLS is required before the login; 2: TLS from the first byte (port 995 by default).
inline constexpr const char* kPopSecurity = "PopSecurity";

// Values of a mail event.
inline constexpr const char* kPopHost = "PopHost";
inline constexpr const char* kPopUserName = "PopUserName";
inline constexpr const char* kPopPassword = "PopPassword";
inline constexpr const char* kForwardTo = "ForwardTo";
inline constexpr const char* kForwardMail = "ForwardMail";
inline constexpr const char* kCopyTo = "CopyTo";
inline constexpr const char* kPagerPhone = "PagerPhone";
inline constexpr const char* kPagerMsg = "PagerMsg";
inline constexpr const char* kEnablePager = "EnablePager";
inline constexpr const char* kFaxPhone = "FaxPhone";
inline constexpr const char* kFaxName = "FaxName";
inline constexpr const char* kSendAttachments = "SendAttachments";
inline constexpr const char* kMaximumFaxSize = "MaximumFaxSize";
inline constexpr DWORD kDefaultMaximumFaxSize = 30720;
inline constexpr const char* kEnableFax = "EnableFax";
inline constexpr const char* kNotifyEmailTo = "NotifyEmailTo";
inline constexpr const char* kNotifyViaEmail = "NotifyViaEmail";
inline constexpr const char* kNotifyViaWindows = "NotifyViaWindows";
// The identifiers of the messages a mail event has reported, each followed by a blank.
inline constexpr const char* kPagedIds = "PagedIds";
// Our own: beside PagedIds, each message's unique id on the server and its identifier
// ("uid identifier " pairs), so that a message seen before is known without downloading it.
inline constexpr const char* kPagedUids = "PagedUids";
// Our own: the messages whose forward the forward address has accepted and whose deletion
// no server has confirmed yet ("u:" + uid, or "m:" + identifier when the server gives no
// uid), written the moment a forward is accepted, so that no crash or broken session makes
// a message go out twice.
inline constexpr const char* kForwardedIds = "ForwardedIds";

// A newsgroup event.
inline constexpr const char* kNewsGroups = "NewsGroups";
inline constexpr const char* kKeywords = "Keywords";
inline constexpr const char* kSearchSubject = "SearchSubject";
inline constexpr const char* kSearchAuthor = "SearchAuthor";
inline constexpr const char* kSearchBody = "SearchBody";
inline constexpr const char* kEnableMax = "EnableMax";
inline constexpr const char* kMaxLines = "MaxLines";
// Beside the value named like a group (where its next search starts): the identifiers of
// the articles its last search reported.
inline constexpr const char* kXidsSuffix = " Xids";

// A Lumetta display event: one subkey per document ("0000" first), each with the address
// to fetch (or "variable@starting page"), the file that receives the document, the page
// script file and the wizard's script choice.
inline constexpr const char* kUrl = "Url";
inline constexpr const char* kDocFile = "DocFile";
inline constexpr const char* kFilterFile = "FilterFile";
inline constexpr const char* kFilter = "Filter";
// Written by each run beside a document it stored: the address the document finally came
// from (after a script and any redirection), which a click on the ticker opens.
inline constexpr const char* kFetchedUrl = "FetchedUrl";
// Values of the Lumetta event key that the ticker reads, with the wizard's defaults.
inline constexpr const char* kRefreshRate = "RefreshRate";
inline constexpr const char* kScrollSpeed = "ScrollSpeed";
inline constexpr const char* kFontSize = "FontSize";
inline constexpr const char* kScrollType = "ScrollType";
inline constexpr const char* kZoom = "Zoom";
inline constexpr const char* kOnTop = "OnTop";
inline constexpr DWORD kDefaultRefreshRate = 10;
inline constexpr DWORD kDefaultScrollSpeed = 2;
inline constexpr DWORD kDefaultFontSize = 1;
inline constexpr DWORD kDefaultScrollType = 1;
inline constexpr DWORD kDefaultZoom = 100;
inline constexpr DWORD kDefaultOnTop = 0;

// A schedule: the dial-up connection brought up before its run (empty or "<Local Network>":
// none) and the login given to it.
inline constexpr const char* kPhoneBook = "PhoneBook";
inline constexpr const char* kLocalNetwork = "<Local Network>";
inline constexpr const char* kAccountName = "AccountName";
inline constexpr const char* kAccountPasswd = "AccountPasswd";
// A schedule: 1 sets the clock from the time service at the start of each run.
inline constexpr const char* kUpdateTime = "UpdateTime";

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
inline constexpr size_t kPathBuffer = 4096;
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
// A list in the multi-string layout (any type), ending at the first empty item, read whole
// up to capacity bytes (the dialogs write at most 1024). *tooLong (when given) tells a
// list longer than that, which comes back empty.
inline constexpr size_t kLongList = 64 * 1024;
std::vector<std::string> ReadMultiString(const RegKey& key, const char* name,
                                         bool* tooLong = nullptr, size_t capacity = kListBuffer);
// The blank-separated words of a text (the identifier lists the monitors keep).
std::vector<std::string> SplitWords(std::string_view text);
// A stored list of blank-separated words, read whole up to maxBytes: the list has no limit
// of its own, since one cut short would make what stands behind the cut look new at every
// run. An absent value, or one longer still, is an empty list.
std::vector<std::string> ReadWordList(const RegKey& key, const std::string& name, size_t maxBytes);
// Encodes items in the multi-string layout (each NUL-terminated, one more NUL at the
// end), keeping only the whole items that fit in limit bytes.
Bytes EncodeMultiString(const std::vector<std::string>& items, size_t limit = kListBuffer);

// A DWORD of the settings root, or fallback.
DWORD ReadRootDword(const char* name, DWORD fallback);

// While one lives, each value of the settings root is read from the store once: a run that
// asks for the same settings for every request pays one read of each, not one per request.
// A change this process makes to the root is seen at once; another program's, by the next
// scope. Scopes nest; the main thread only.
class RootSettingsScope {
public:
    RootSettingsScope();
    ~RootSettingsScope();
    RootSettingsScope(const RootSettingsScope&) = delete;
    RootSettingsScope& operator=(const RootSettingsScope&) = delete;
};

}  // namespace settings

// Reads a global string with a 252-byte buffer. text is emptied first; false only when the
// settings root cannot be opened.
bool ReadRootString(const char* name, std::string& text);
// A file name of the root: as long as a path may be.
bool ReadRootPath(const char* name, std::string& text);
// A global string as long as capacity allows (NUL included), empty when it is not set;
// false when the value is longer, so that a caller can tell a cut value from an empty one.
bool ReadRootText(const char* name, std::string& text, size_t capacity);
bool GetMyName(std::string& text);
bool GetHostName(std::string& text);
bool GetSmtpServer(std::string& text);
bool GetNewsServer(std::string& text);

#pragma once

// The program's event records in the store: one subkey of the settings root per event (a
// schedule or a monitor), the lists filled from them and the schedule commands. The keys
// and the readers they use live in settings/Settings.h. Nothing is cached; every call opens the
// keys it needs and closes them again, so changes made by any other program take effect
// at the next use.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Registry.h"
#include "settings/Settings.h"

class CItemList;

// Fills list with the items of the multi-string value name of key (settings::ReadMultiString).
void FillList(const RegKey& key, const char* name, CItemList& list);

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
    // The dial-up connection brought up before a run (empty or "<Local Network>": none) and
    // the login it is given; each is read back through a 256-byte buffer. (Initialised here so
    // that a record written out by position may leave them out.)
    std::string phoneBook{}, accountName{}, accountPasswd{};
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
    DWORD popSecurity = 0;  // 0 plain, 1 STLS required, 2 TLS from the first byte
    DWORD sendAttachments = 0;
    // Written only when it is not what an absent value means (or, when editing, changed).
    DWORD maximumFaxSize = settings::kDefaultMaximumFaxSize;
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
    // Written only when it is not what an absent value means (or, when editing, changed).
    DWORD maxDocuments = settings::kDefaultMaxDocuments;
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

// An existing event's values, read into the record its wizard collects, so that the same
// pages can show them for editing. Texts are read whole up to a path's length (a value
// longer still reads as empty, and stays as it is unless the user enters a new one). False
// when there is no such event or it is of another kind.
bool ReadEventRecord(const std::string& name, ScheduleRecord& r);
bool ReadEventRecord(const std::string& name, MailMonitorRecord& r);
bool ReadEventRecord(const std::string& name, NewsMonitorRecord& r);
bool ReadEventRecord(const std::string& name, WebMonitorRecord& r);
bool ReadEventRecord(const std::string& name, LumettaRecord& r);
// The kind of an event that can be edited (1 to 5), or 0 with the reason in *why.
DWORD EditableEventKind(const std::string& name, std::string* why);
// Writes back the values of an edited event (after.name) that differ from before, as
// ReadEventRecord gave it: what the user left alone, values of other programs and the state
// a monitor keeps stay as they are. A web monitor whose site changed starts its watch list
// afresh from the new site. False when the event is gone or of another kind; then nothing is
// written.
bool UpdateEventRecord(const ScheduleRecord& before, const ScheduleRecord& after);
bool UpdateEventRecord(const MailMonitorRecord& before, const MailMonitorRecord& after);
bool UpdateEventRecord(const NewsMonitorRecord& before, const NewsMonitorRecord& after);
bool UpdateEventRecord(const WebMonitorRecord& before, const WebMonitorRecord& after);
bool UpdateEventRecord(const LumettaRecord& before, const LumettaRecord& after);

// Runs write as one change of the store: every value lands, or none (another program
// holding the store past its busy time-out, a full disk). False when write returned false,
// any operation inside failed or the change could not be committed.
bool WriteInOneStep(const std::function<bool()>& write);

// The name under which a web monitor's first document is watched.
std::string FirstWatchedUrl(const std::string& site);

// Why name cannot be the name of an event, or empty when it can: no name is empty or holds a
// backslash (the store would take it for a path of keys), and no schedule is called
// "<None>" or "<None" in any case (those stand for "no schedule" in ScheduledEvent).
std::string EventNameProblem(const std::string& name, bool schedule);
// Why a wizard cannot create an event called name, or empty when it can: besides
// EventNameProblem, a name longer than a key name may be, or the name of an event that
// exists already (of any kind, letter case ignored), since creating it would overwrite
// that event.
std::string NewEventNameProblem(const std::string& name, bool schedule);
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

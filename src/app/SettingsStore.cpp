#include "app/SettingsStore.h"

#include <strings.h>

#include <algorithm>

#include "app/ItemList.h"
#include "platform/AsciiText.h"
#include "platform/TempFile.h"
#include "platform/UserPrompt.h"
#include "settings/Passwords.h"

using namespace settings;

void FillList(const RegKey& key, const char* name, CItemList& list) {
    list.ResetContent();
    for (const auto& item : ReadMultiString(key, name)) list.AddString(item);
}

namespace {

// Calls visit(name, key) for every event key in enumeration order. A name the buffer
// cannot take is passed over: it must not hide the events listed after it.
template <typename Visit>
bool ForEachEvent(Visit visit) {
    RegKey root;
    if (root.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) return false;
    std::string name;
    for (DWORD i = 0;; ++i) {
        LONG rc = root.EnumKey(i, &name, kMaxKeyNameLength + 1);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;
        RegKey event;
        if (event.Open(root, name) == ERROR_SUCCESS) visit(name, event);
    }
    return true;
}

}  // namespace

int FillScheduleList(CItemList& list) {
    list.ResetContent();
    list.AddString(kNoSchedule, 0);
    int added = 0;
    ForEachEvent([&](const std::string& name, const RegKey& event) {
        if (ReadDword(event, kType, 0) == kSchedule) {
            list.AddString(name, 1);
            ++added;
        }
    });
    return added;
}

void ListScheduleMonitors(const std::string& schedule, CItemList& list) {
    RegKey probe;
    if (probe.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) return;
    probe.Close();
    list.ResetContent();
    ForEachEvent([&](const std::string& name, const RegKey& event) {
        std::string owner;
        if (event.GetString(kScheduledEvent, &owner, kEventNameBuffer) == ERROR_SUCCESS &&
            owner == schedule)
            list.AddString(name, ReadDword(event, kType, 0));
    });
}

void RenameScheduleReferences(const std::string& oldName, const std::string& newText) {
    ForEachEvent([&](const std::string&, RegKey& event) {
        std::string owner;
        if (event.GetString(kScheduledEvent, &owner, kEventNameBuffer) == ERROR_SUCCESS &&
            owner == oldName)
            event.SetString(kScheduledEvent, newText);
    });
}

namespace {

bool IsInside(const std::string& path, const std::string& ancestor) {
    std::string p = RegistryFoldName(path), a = RegistryFoldName(ancestor);
    return p.size() > a.size() && p.compare(0, a.size(), a) == 0 && p[a.size()] == '\\';
}

}  // namespace

LONG CopyKeyTree(const std::string& source, const std::string& destination) {
    // A copy into its own subtree would find its own new keys and never end.
    if (IsInside(destination, source)) return ERROR_INVALID_PARAMETER;

    RegKey dst;
    DWORD disposition = 0;
    LONG rc = dst.Create(RegKey::LocalMachine(), destination, kCopyClass, &disposition);
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition == REG_OPENED_EXISTING_KEY) return 1;

    RegKey src;
    rc = src.Open(RegKey::LocalMachine(), source);
    if (rc != ERROR_SUCCESS) return rc;

    // Value names have no length limit in the store (a watched URL can be long), so the
    // copy takes any; subkey names are at most 255 characters of any byte length. Data of
    // any size goes too: a rename is a copy and a delete, and a copy that stopped at the
    // first long value (a long Description) would lose it and every value behind it.
    std::string name;
    DWORD type = 0;
    Bytes data;
    for (DWORD i = 0; src.EnumValue(i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        dst.SetValue(name, type, data);

    std::vector<std::string> subkeys;
    for (DWORD i = 0; src.EnumKey(i, &name, kMaxKeyNameLength + 1) == ERROR_SUCCESS; ++i)
        subkeys.push_back(name);
    for (const auto& sub : subkeys) CopyKeyTree(source + "\\" + sub, destination + "\\" + sub);
    return 0;
}

// ---------------------------------------------------------------------------------------
// Event records

bool IsReservedScheduleName(const std::string& name) {
    std::string folded = RegistryFoldName(name);
    return folded == RegistryFoldName(kNoSchedule) || folded == RegistryFoldName(kDeletedSchedule);
}

std::string EventNameProblem(const std::string& name, bool schedule) {
    if (name.empty()) return "a name can not be empty";
    if (name.find('\\') != std::string::npos) return "a name can not contain \\";
    if (schedule && IsReservedScheduleName(name))
        return std::string(kNoSchedule) + " and " + kDeletedSchedule + " are no schedule names";
    return {};
}

std::string NewEventNameProblem(const std::string& name, bool schedule) {
    if (std::string problem = EventNameProblem(name, schedule); !problem.empty()) return problem;
    if (RegistryNameLength(name) > kMaxKeyNameLength)
        return "a name can not be longer than " + std::to_string(kMaxKeyNameLength) + " characters";
    RegKey existing;
    if (existing.Open(RegKey::LocalMachine(), EventPath(name)) == ERROR_SUCCESS)
        return "an event called " + name + " exists already";
    return {};
}

namespace {

// Opens or creates an event's key for writing; false when it cannot be created or the
// name cannot be an event's.
bool OpenEventForWrite(const std::string& name, RegKey& key, bool schedule = false) {
    if (!EventNameProblem(name, schedule).empty()) return false;
    return key.Create(RegKey::LocalMachine(), EventPath(name), kEventClass) == ERROR_SUCCESS;
}

void WriteCommonTail(RegKey& key, DWORD kind) {
    key.SetDword(kType, kind);
    key.SetDword(kEnabled, 1);
    key.SetDword(kLog, 0);
}

std::string Trim(const std::string& s) {
    return std::string(ascii::TrimBlanks(s));
}

// A password as the pages show it: the keyring's when the store points there. One the keyring
// does not give shows as empty and, left so, stays as it is.
std::string ShownPassword(const RegKey& key, const char* name) {
    std::string text, problem;
    if (ReadPassword(key, name, kPathBuffer, &text, &problem) != PasswordRead::kOk) text.clear();
    if (!problem.empty())
        UserPrompt::Get().Ask(problem, "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
    return text;
}

// A password written where the keyring is wanted and cannot take it is not written at all:
// the user is told, and the change of the event as a whole is undone.
bool StorePassword(RegKey& key, const char* name, const std::string& password) {
    std::string problem;
    if (settings::WritePassword(key, name, password, &problem)) return true;
    UserPrompt::Get().Ask(problem, "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
    return false;
}

}  // namespace

std::string FirstWatchedUrl(const std::string& site) {
    std::string url = Trim(site);
    // Checked without regard to case so that "HTTP://HOST" is not given a second scheme.
    std::string upper = RegistryFoldName(url);
    // A site already written with its secure scheme keeps it.
    if (upper.find("HTTP:") == std::string::npos && upper.find("HTTPS:") == std::string::npos)
        url = "http://" + url;
    return url;
}

bool CreateEventRecord(const ScheduleRecord& r) {
    RegKey key;
    if (!OpenEventForWrite(r.name, key, true)) return false;
    key.SetDword(kEnabled, 1);
    key.SetDword(kLog, 0);
    key.SetDword("Interval", r.interval);
    key.SetDword("Days", r.days);
    key.SetDword("Hours", r.hours);
    key.SetString(kPhoneBook, r.phoneBook);
    key.SetString(kDescription, r.description);
    key.SetDword(kType, kSchedule);
    key.SetDword("UpdateTime", r.updateTime);
    // A schedule that dials nothing has no login to keep.
    if (!r.accountName.empty()) key.SetString(kAccountName, r.accountName);
    if (!r.accountPasswd.empty() && !StorePassword(key, kAccountPasswd, r.accountPasswd))
        return false;
    return true;
}

bool CreateEventRecord(const MailMonitorRecord& r) {
    RegKey key;
    if (!OpenEventForWrite(r.name, key)) return false;
    key.SetString(kDescription, r.description);
    key.SetString("PopHost", r.popHost);
    key.SetString("PopUserName", r.popUserName);
    if (!StorePassword(key, kPopPassword, r.popPassword)) return false;
    key.SetDword("ForwardMail", r.forwardMail);
    key.SetString("ForwardTo", r.forwardTo);
    Bytes copyTo;
    if (r.copy)
        copyTo.assign(r.copyTo.begin(), r.copyTo.begin() + std::min<size_t>(r.copyTo.size(), 254));
    copyTo.push_back(0);
    copyTo.push_back(0);
    key.SetValue("CopyTo", REG_BINARY, copyTo);
    key.SetDword("EnablePager", r.enablePager);
    key.SetString("PagerPhone", r.pagerPhone);
    key.SetString("PagerMsg", r.pagerMsg);
    key.SetDword("EnableFax", r.enableFax);
    key.SetString("FaxPhone", r.faxPhone);
    key.SetString("FaxName", r.faxName);
    key.SetString(kScheduledEvent, r.scheduledEvent);
    key.SetDword("NotifyViaEmail", r.notifyViaEmail);
    key.SetString("NotifyEmailTo", r.notifyEmailTo);
    key.SetDword("NotifyViaWindows", r.notifyViaWindows);
    WriteCommonTail(key, kMailMonitor);
    key.SetDword(kPopSecurity, r.popSecurity);
    key.SetDword(kSendAttachments, r.sendAttachments);
    if (r.maximumFaxSize != kDefaultMaximumFaxSize) key.SetDword(kMaximumFaxSize, r.maximumFaxSize);
    return true;
}

bool CreateEventRecord(const NewsMonitorRecord& r) {
    RegKey key;
    if (!OpenEventForWrite(r.name, key)) return false;
    key.SetString(kScheduledEvent, r.scheduledEvent);
    key.SetString("NotifyEmailTo", r.notifyEmailTo);
    key.SetDword("NotifyViaEmail", r.notifyViaEmail);
    key.SetDword("NotifyViaWindows", r.notifyViaWindows);
    key.SetValue("NewsGroups", REG_MULTI_SZ, EncodeMultiString(r.newsGroups));
    key.SetValue("Keywords", REG_MULTI_SZ, EncodeMultiString(r.keywords));
    key.SetDword("SearchAuthor", r.searchAuthor);
    key.SetDword("SearchBody", r.searchBody);
    key.SetDword("SearchSubject", r.searchSubject);
    key.SetString(kDescription, r.description);
    WriteCommonTail(key, kNewsMonitor);
    key.SetDword("EnableMax", 0);
    key.SetDword("MaxLines", 0);
    return true;
}

bool CreateEventRecord(const WebMonitorRecord& r) {
    RegKey key;
    if (!OpenEventForWrite(r.name, key)) return false;
    key.SetString(kDescription, r.description);
    key.SetString("Site", r.site);
    key.SetDword("EntireDomain", r.entireDomain);
    key.SetDword("Files", r.files);
    key.SetString(kScheduledEvent, r.scheduledEvent);
    key.SetString("NotifyEmailTo", r.notifyEmailTo);
    key.SetDword("NotifyViaEmail", r.notifyViaEmail);
    key.SetDword("NotifyViaWindows", r.notifyViaWindows);
    WriteCommonTail(key, kWebMonitor);
    if (r.maxDocuments != kDefaultMaxDocuments) key.SetDword(kMaxDocuments, r.maxDocuments);
    RegKey watched;
    if (watched.Create(key, "WatchedUrls", kEventClass) == ERROR_SUCCESS)
        watched.SetValue(FirstWatchedUrl(r.site), REG_BINARY, Bytes(12, 0));
    return true;
}

bool CreateEventRecord(const LumettaRecord& r) {
    RegKey key;
    if (!OpenEventForWrite(r.name, key)) return false;
    key.SetString(kScheduledEvent, r.scheduledEvent);
    key.SetString(kDescription, r.description);
    WriteCommonTail(key, kLumettaDisplay);
    key.SetDword("OnTop", 0);
    key.SetDword("Paused", 0);
    key.SetDword("RefreshRate", 10);
    key.SetDword("ScrollSpeed", 2);
    RegKey doc;
    if (doc.Create(key, "0000", kEventClass) == ERROR_SUCCESS) {
        std::string docFile = r.docFile;
        if (docFile.empty()) {
            TempFile file;
            if (file.Create("KV1")) docFile = file.Release();
        }
        doc.SetString("Url", r.url);
        doc.SetString("DocFile", docFile);
        doc.SetString("Filter", r.filter);
        doc.SetString("FilterFile", r.filterFile);
    }
    key.SetDword("FontSize", 1);
    key.SetDword("ScrollType", 1);
    key.SetDword("Zoom", 100);
    return true;
}

// ---------------------------------------------------------------------------------------
// Schedule commands

bool RenameSchedule(const std::string& oldName, const std::string& newName) {
    std::string oldPath = EventPath(oldName), newPath = EventPath(newName);
    if (oldPath == newPath) return true;
    if (std::string problem = EventNameProblem(newName, true); !problem.empty()) {
        UserPrompt::Get().Ask("Can not rename the schedule, " + oldName + ", " + problem,
                              "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
        return false;
    }
    if (CopyKeyTree(oldPath, newPath) != 0) {
        UserPrompt::Get().Ask("Can not rename the schedule, " + oldName + " try another name",
                              "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
        return false;
    }
    RegKey::LocalMachine().DeleteKey(oldPath);
    RenameScheduleReferences(oldName, newName);
    return true;
}

void DeleteSchedule(const std::string& name) {
    RegKey::LocalMachine().DeleteKey(EventPath(name));
    RenameScheduleReferences(name, kDeletedSchedule);
}

bool ConfirmAndDeleteSchedule(const std::string& name) {
    CItemList monitors;
    ListScheduleMonitors(name, monitors);
    std::string question = "Are you sure you want to delete the schedule " + name + "?";
    // Its monitors are not deleted with it: they say where they will be.
    if (int n = monitors.GetCount(); n == 1)
        question += "\n\nIts monitor " + monitors.GetText(0) +
                    " will wait under <None>, where it can be given another schedule or deleted.";
    else if (n > 1)
        question += "\n\nIts " + std::to_string(n) +
                    " monitors will wait under <None>, where they can be given another schedule "
                    "or deleted.";
    if (UserPrompt::Get().Ask(question, "Quorvane", UserPrompt::YesNo, UserPrompt::Question) !=
        UserPrompt::IdYes)
        return false;
    DeleteSchedule(name);
    return true;
}

// ---------------------------------------------------------------------------------------
// Editing an existing event

namespace {

// Opens an existing event of kind; false when it is missing or of another kind.
bool OpenEvent(const std::string& name, DWORD kind, RegKey& key) {
    if (!EventNameProblem(name, false).empty()) return false;
    if (key.Open(RegKey::LocalMachine(), EventPath(name)) != ERROR_SUCCESS) return false;
    return ReadDword(key, kType, 0) == kind;
}

std::string Text(const RegKey& key, const char* name) {
    return ReadString(key, name, kPathBuffer);
}

// The first document of a Lumetta display: "0000" as the wizard makes it, else whichever
// comes first, as the retrieval takes them.
bool OpenFirstDocument(const RegKey& event, RegKey& doc) {
    if (doc.Open(event, "0000") == ERROR_SUCCESS) return true;
    std::string name;
    for (DWORD i = 0;; ++i) {
        LONG rc = event.EnumKey(i, &name, kMaxKeyNameLength + 1);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) return false;
        if (doc.Open(event, name) == ERROR_SUCCESS) return true;
    }
}

// Writes a value only when the user changed it.
struct ChangedWriter {
    RegKey& key;
    void Text(const char* name, const std::string& before, const std::string& after) {
        if (before != after) key.SetString(name, after);
    }
    void Dword(const char* name, DWORD before, DWORD after) {
        if (before != after) key.SetDword(name, after);
    }
    void List(const char* name, const std::vector<std::string>& before,
              const std::vector<std::string>& after) {
        if (before != after) key.SetValue(name, REG_MULTI_SZ, EncodeMultiString(after));
    }
};

void ReadNotify(const RegKey& key, std::string& scheduledEvent, std::string& notifyEmailTo,
                DWORD& viaEmail, DWORD& viaWindows) {
    std::string owner;
    scheduledEvent = key.GetString(kScheduledEvent, &owner, kEventNameBuffer) == ERROR_SUCCESS
                         ? owner
                         : std::string(kNoSchedule);
    notifyEmailTo = Text(key, kNotifyEmailTo);
    viaEmail = ReadDword(key, kNotifyViaEmail, 0);
    viaWindows = ReadDword(key, kNotifyViaWindows, 0);
}

}  // namespace

bool ReadEventRecord(const std::string& name, ScheduleRecord& r) {
    RegKey key;
    if (!OpenEvent(name, kSchedule, key)) return false;
    r = ScheduleRecord{};
    r.name = name;
    r.description = Text(key, kDescription);
    r.interval = ReadDword(key, "Interval", r.interval);
    r.days = ReadDword(key, "Days", r.days);
    r.hours = ReadDword(key, "Hours", r.hours);
    r.updateTime = ReadDword(key, "UpdateTime", 0);
    r.phoneBook = Text(key, kPhoneBook);
    r.accountName = Text(key, kAccountName);
    r.accountPasswd = ShownPassword(key, kAccountPasswd);
    return true;
}

bool ReadEventRecord(const std::string& name, MailMonitorRecord& r) {
    RegKey key;
    if (!OpenEvent(name, kMailMonitor, key)) return false;
    r = MailMonitorRecord{};
    r.name = name;
    r.description = Text(key, kDescription);
    r.popHost = Text(key, kPopHost);
    r.popUserName = Text(key, kPopUserName);
    r.popPassword = ShownPassword(key, kPopPassword);
    r.forwardMail = ReadDword(key, kForwardMail, 0);
    r.forwardTo = Text(key, kForwardTo);
    std::vector<std::string> copies = ReadMultiString(key, kCopyTo);
    r.copy = !copies.empty();
    if (r.copy) r.copyTo = copies.front();
    r.enablePager = ReadDword(key, kEnablePager, 0);
    r.pagerPhone = Text(key, kPagerPhone);
    r.pagerMsg = Text(key, kPagerMsg);
    r.enableFax = ReadDword(key, kEnableFax, 0);
    r.faxPhone = Text(key, kFaxPhone);
    r.faxName = Text(key, kFaxName);
    r.sendAttachments = ReadDword(key, kSendAttachments, 0);
    r.maximumFaxSize = ReadDword(key, kMaximumFaxSize, kDefaultMaximumFaxSize);
    r.popSecurity = ReadDword(key, kPopSecurity, 0);
    ReadNotify(key, r.scheduledEvent, r.notifyEmailTo, r.notifyViaEmail, r.notifyViaWindows);
    return true;
}

bool ReadEventRecord(const std::string& name, NewsMonitorRecord& r) {
    RegKey key;
    if (!OpenEvent(name, kNewsMonitor, key)) return false;
    r = NewsMonitorRecord{};
    r.name = name;
    r.description = Text(key, kDescription);
    ReadNotify(key, r.scheduledEvent, r.notifyEmailTo, r.notifyViaEmail, r.notifyViaWindows);
    r.newsGroups = ReadMultiString(key, kNewsGroups, nullptr, kLongList);
    r.keywords = ReadMultiString(key, kKeywords, nullptr, kLongList);
    r.searchAuthor = ReadDword(key, kSearchAuthor, 0);
    r.searchBody = ReadDword(key, kSearchBody, 0);
    r.searchSubject = ReadDword(key, kSearchSubject, 0);
    return true;
}

bool ReadEventRecord(const std::string& name, WebMonitorRecord& r) {
    RegKey key;
    if (!OpenEvent(name, kWebMonitor, key)) return false;
    r = WebMonitorRecord{};
    r.name = name;
    r.description = Text(key, kDescription);
    r.site = Text(key, "Site");
    r.entireDomain = ReadDword(key, "EntireDomain", 0);
    r.files = ReadDword(key, "Files", 0);
    r.maxDocuments = ReadDword(key, kMaxDocuments, kDefaultMaxDocuments);
    ReadNotify(key, r.scheduledEvent, r.notifyEmailTo, r.notifyViaEmail, r.notifyViaWindows);
    return true;
}

bool ReadEventRecord(const std::string& name, LumettaRecord& r) {
    RegKey key;
    if (!OpenEvent(name, kLumettaDisplay, key)) return false;
    r = LumettaRecord{};
    r.name = name;
    r.description = Text(key, kDescription);
    std::string owner;
    r.scheduledEvent = key.GetString(kScheduledEvent, &owner, kEventNameBuffer) == ERROR_SUCCESS
                           ? owner
                           : std::string(kNoSchedule);
    RegKey doc;
    if (OpenFirstDocument(key, doc)) {
        r.url = Text(doc, kUrl);
        r.docFile = Text(doc, kDocFile);
        r.filter = Text(doc, kFilter);
        r.filterFile = Text(doc, kFilterFile);
    }
    return true;
}

bool UpdateEventRecord(const ScheduleRecord& before, const ScheduleRecord& after) {
    RegKey key;
    if (!OpenEvent(after.name, kSchedule, key)) return false;
    ChangedWriter w{key};
    w.Text(kDescription, before.description, after.description);
    w.Dword("Interval", before.interval, after.interval);
    w.Dword("Days", before.days, after.days);
    w.Dword("Hours", before.hours, after.hours);
    w.Dword("UpdateTime", before.updateTime, after.updateTime);
    w.Text(kPhoneBook, before.phoneBook, after.phoneBook);
    w.Text(kAccountName, before.accountName, after.accountName);
    if (before.accountPasswd != after.accountPasswd &&
        !StorePassword(key, kAccountPasswd, after.accountPasswd))
        return false;
    return true;
}

bool UpdateEventRecord(const MailMonitorRecord& before, const MailMonitorRecord& after) {
    RegKey key;
    if (!OpenEvent(after.name, kMailMonitor, key)) return false;
    ChangedWriter w{key};
    w.Text(kDescription, before.description, after.description);
    w.Text(kPopHost, before.popHost, after.popHost);
    w.Text(kPopUserName, before.popUserName, after.popUserName);
    if (before.popPassword != after.popPassword &&
        !StorePassword(key, kPopPassword, after.popPassword))
        return false;
    w.Dword(kForwardMail, before.forwardMail, after.forwardMail);
    w.Text(kForwardTo, before.forwardTo, after.forwardTo);
    if (before.copy != after.copy || (after.copy && before.copyTo != after.copyTo)) {
        Bytes copyTo;
        if (after.copy) copyTo.assign(after.copyTo.begin(), after.copyTo.end());
        copyTo.push_back(0);
        copyTo.push_back(0);
        key.SetValue(kCopyTo, REG_BINARY, copyTo);
    }
    w.Dword(kEnablePager, before.enablePager, after.enablePager);
    w.Text(kPagerPhone, before.pagerPhone, after.pagerPhone);
    w.Text(kPagerMsg, before.pagerMsg, after.pagerMsg);
    w.Dword(kEnableFax, before.enableFax, after.enableFax);
    w.Text(kFaxPhone, before.faxPhone, after.faxPhone);
    w.Text(kFaxName, before.faxName, after.faxName);
    w.Dword(kSendAttachments, before.sendAttachments, after.sendAttachments);
    w.Dword(kMaximumFaxSize, before.maximumFaxSize, after.maximumFaxSize);
    w.Dword(kPopSecurity, before.popSecurity, after.popSecurity);
    w.Text(kScheduledEvent, before.scheduledEvent, after.scheduledEvent);
    w.Dword(kNotifyViaEmail, before.notifyViaEmail, after.notifyViaEmail);
    w.Text(kNotifyEmailTo, before.notifyEmailTo, after.notifyEmailTo);
    w.Dword(kNotifyViaWindows, before.notifyViaWindows, after.notifyViaWindows);
    return true;
}

bool UpdateEventRecord(const NewsMonitorRecord& before, const NewsMonitorRecord& after) {
    RegKey key;
    if (!OpenEvent(after.name, kNewsMonitor, key)) return false;
    ChangedWriter w{key};
    w.Text(kDescription, before.description, after.description);
    w.Text(kScheduledEvent, before.scheduledEvent, after.scheduledEvent);
    w.Text(kNotifyEmailTo, before.notifyEmailTo, after.notifyEmailTo);
    w.Dword(kNotifyViaEmail, before.notifyViaEmail, after.notifyViaEmail);
    w.Dword(kNotifyViaWindows, before.notifyViaWindows, after.notifyViaWindows);
    w.List(kNewsGroups, before.newsGroups, after.newsGroups);
    w.List(kKeywords, before.keywords, after.keywords);
    w.Dword(kSearchAuthor, before.searchAuthor, after.searchAuthor);
    w.Dword(kSearchBody, before.searchBody, after.searchBody);
    w.Dword(kSearchSubject, before.searchSubject, after.searchSubject);
    return true;
}

bool UpdateEventRecord(const WebMonitorRecord& before, const WebMonitorRecord& after) {
    RegKey key;
    if (!OpenEvent(after.name, kWebMonitor, key)) return false;
    ChangedWriter w{key};
    w.Text(kDescription, before.description, after.description);
    w.Text("Site", before.site, after.site);
    w.Dword("EntireDomain", before.entireDomain, after.entireDomain);
    w.Dword("Files", before.files, after.files);
    w.Dword(kMaxDocuments, before.maxDocuments, after.maxDocuments);
    w.Text(kScheduledEvent, before.scheduledEvent, after.scheduledEvent);
    w.Text(kNotifyEmailTo, before.notifyEmailTo, after.notifyEmailTo);
    w.Dword(kNotifyViaEmail, before.notifyViaEmail, after.notifyViaEmail);
    w.Dword(kNotifyViaWindows, before.notifyViaWindows, after.notifyViaWindows);
    // The documents of the old site are no business of the new one: watching them on would
    // report another site's changes under this event's name.
    if (FirstWatchedUrl(before.site) != FirstWatchedUrl(after.site)) {
        key.DeleteKey("WatchedUrls");
        RegKey watched;
        if (watched.Create(key, "WatchedUrls", kEventClass) == ERROR_SUCCESS)
            watched.SetValue(FirstWatchedUrl(after.site), REG_BINARY, Bytes(12, 0));
    }
    return true;
}

bool UpdateEventRecord(const LumettaRecord& before, const LumettaRecord& after) {
    RegKey key;
    if (!OpenEvent(after.name, kLumettaDisplay, key)) return false;
    ChangedWriter w{key};
    w.Text(kDescription, before.description, after.description);
    w.Text(kScheduledEvent, before.scheduledEvent, after.scheduledEvent);
    if (before.url == after.url && before.filter == after.filter &&
        before.filterFile == after.filterFile && before.docFile == after.docFile)
        return true;
    RegKey doc;
    if (!OpenFirstDocument(key, doc)) {
        // A display without documents gets the one its wizard would have made.
        if (doc.Create(key, "0000", kEventClass) != ERROR_SUCCESS) return false;
    }
    ChangedWriter d{doc};
    d.Text(kUrl, before.url, after.url);
    d.Text(kFilter, before.filter, after.filter);
    d.Text(kFilterFile, before.filterFile, after.filterFile);
    if (!after.docFile.empty()) d.Text(kDocFile, before.docFile, after.docFile);
    // A document without a file to receive it would be fetched for nothing.
    if (Text(doc, kDocFile).empty()) {
        TempFile file;
        if (file.Create("KV1")) doc.SetString(kDocFile, file.Release());
    }
    return true;
}

DWORD EditableEventKind(const std::string& name, std::string* why) {
    RegKey key;
    if (!EventNameProblem(name, false).empty() ||
        key.Open(RegKey::LocalMachine(), EventPath(name)) != ERROR_SUCCESS) {
        *why = "there is no event named \"" + name + "\"";
        return 0;
    }
    DWORD kind = ReadDword(key, kType, 0);
    if (kind < kSchedule || kind > kLumettaDisplay) {
        *why = "the event \"" + name + "\" is of no kind that can be edited (Type " +
               std::to_string(kind) + ")";
        return 0;
    }
    return kind;
}

bool WriteInOneStep(const std::function<bool()>& write) {
    std::shared_ptr<Registry> store = Registry::Current();
    if (!store) return false;
    Registry::Transaction step(*store);
    if (!step.open()) return false;
    uint64_t failures = store->FailureCount();
    return write() && store->FailureCount() == failures && step.Commit();
}

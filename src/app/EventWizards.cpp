#include "app/EventWizards.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "monitors/LumettaRetrieval.h"
#include "platform/AsciiText.h"
#include "platform/UserPrompt.h"
#include "platform/Utf8Text.h"

using namespace settings;

// ---------------------------------------------------------------------------------------
// Checks

namespace {

// The number of whole characters of text that fit in maxBytes bytes.
size_t CharactersWithin(const std::string& text, size_t maxBytes) {
    return Utf8Length(std::string_view(text).substr(0, Utf8CutPoint(text, maxBytes)));
}

std::string TooLong(size_t chars) {
    return "Please enter no more than " + std::to_string(chars) + " characters.";
}

std::string Trim(const std::string& s) {
    return std::string(ascii::TrimBlanks(s));
}

}  // namespace

std::string LengthProblem(const std::string& text, size_t maxChars, size_t maxBytes) {
    if (maxChars != 0 && Utf8Length(text) > maxChars) return TooLong(maxChars);
    if (text.size() > maxBytes) return TooLong(CharactersWithin(text, maxBytes));
    return {};
}

std::string IntegerProblem(const std::string& text, long lo, long hi, long* value) {
    std::string t = Trim(text);
    errno = 0;
    char* end = nullptr;
    long v = t.empty() ? 0 : std::strtol(t.c_str(), &end, 10);
    if (t.empty() || *end != '\0') return "Please enter an integer.";
    if (errno == ERANGE || v < lo || v > hi)
        return "Please enter an integer between " + std::to_string(lo) + " and " +
               std::to_string(hi) + ".";
    if (value) *value = v;
    return {};
}

namespace {

// A number typed on a page over a stored one. What was stored (or what an absent value means)
// is kept while the text still says it, even when it lies outside the page's limits (another
// program may have written it), and whenever the edit is disabled, so that a number left
// behind in a control that cannot be changed never holds the user on the page.
bool TakeNumber(const std::string& text, DWORD stored, long lo, long hi, bool enabled, DWORD* out,
                bool (*accept)(const std::string&)) {
    if (!enabled || Trim(text) == std::to_string(stored)) {
        *out = stored;
        return true;
    }
    long v = 0;
    if (!accept(IntegerProblem(text, lo, hi, &v))) return false;
    *out = static_cast<DWORD>(v);
    return true;
}

}  // namespace

bool CWizardPage::Accept(const std::string& problem) {
    if (problem.empty()) return true;
    UserPrompt::Get().Ask(problem, "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
    return false;
}

bool CWizardPage::CheckLengths(std::initializer_list<Limited> texts) {
    for (const auto& t : texts)
        if (!Accept(LengthProblem(*t.text, t.maxChars, t.maxBytes))) return false;
    return true;
}

// ---------------------------------------------------------------------------------------
// Common pages

unsigned CNamePage::Buttons() const {
    // An event that exists keeps its name, and may have been stored without a description.
    if (readOnlyName) return kWizardNext;
    return !name.empty() && !description.empty() ? unsigned{kWizardNext} : 0u;
}

bool CNamePage::Leave() {
    // The name is a key name (255 characters of any byte length, checked below); the
    // description is read back through a 256-byte buffer.
    if (!CheckLengths(
            {{&name, nameChars_, SIZE_MAX}, {&description, descriptionChars_, kStringValueBytes}}))
        return false;
    if (readOnlyName) return true;
    std::string problem = NewEventNameProblem(name, schedule_);
    if (problem.empty()) return true;
    return Accept("The name \"" + name + "\" can not be used: " + problem + ".");
}

void CScheduleChoice::Refill() {
    std::string kept = scheduledEvent;
    FillScheduleList(list_);
    scheduledEvent.clear();
    list_.SetCurSel(-1);
    if (keepChoice && !kept.empty()) {
        // Exact match only: the list's own lookup ignores case, and a monitor whose schedule
        // differs in case is run by none.
        for (int i = 0; i < list_.GetCount(); ++i)
            if (list_.GetText(i) == kept) {
                Choose(i);
                break;
            }
    }
}

void CScheduleChoice::Choose(int index) {
    list_.SetCurSel(index >= 0 && index < list_.GetCount() ? index : -1);
    scheduledEvent = list_.CurrentText();
}

unsigned CNotifyPage::Buttons() const {
    bool ok = !(notifyViaEmail && notifyEmailTo.empty()) && schedule.Chosen();
    return kWizardBack | (ok ? kWizardFinish : kWizardDisabledFinish);
}

bool CNotifyPage::Leave() {
    return CheckLengths({{&notifyEmailTo, addressChars_, kStringValueBytes}});
}

// ---------------------------------------------------------------------------------------
// Schedule wizard

CEvntWizA::CEvntWizA()
    : CNamePage(
          {"Event Wizard  -  Part 1",
           "Use the Event Wizard to create a new scheduled event.  You can use this event "
           "to schedule other activites to run at this time.",
           "Enter a name for this scheduled event.", "Enter a brief description of this schedule."},
          80, 80, true) {}

void CEvntWizB::SetChoice(Choice c) {
    choice_ = c;
    keepStored_ = false;
}

bool CEvntWizB::Leave() {
    // Only "Every" uses the minutes; a number left behind in the disabled edit must not hold
    // the user on a page where it cannot be changed.
    long n = 60;
    if (choice_ == kEvery && !Accept(IntegerProblem(minutes, kMinMinutes, kMaxMinutes, &n)))
        return false;
    if (keepStored_) return true;
    interval = 60;
    days = 0x7F;
    hours = 0xFFFFFF;
    switch (choice_) {
        case kEveryDay:
            hours = atNight ? 0x80000 : 0x80;
            break;
        case kOnceAWeek:
            days = 0x2;
            hours = 0x80;
            break;
        case kEvery:
            interval = static_cast<DWORD>(n);
            break;
        case kNoChoice:
        case kEveryHour:
            break;
    }
    return true;
}

void CEvntWizB::FromTiming(DWORD i, DWORD d, DWORD h) {
    interval = i;
    days = d;
    hours = h;
    atNight = false;
    minutes = "60";
    choice_ = kNoChoice;
    keepStored_ = false;
    if (i == 60 && d == 0x7F && h == 0xFFFFFF) {
        choice_ = kEveryHour;
    } else if (i == 60 && d == 0x7F && (h == 0x80 || h == 0x80000)) {
        choice_ = kEveryDay;
        atNight = h == 0x80000;
    } else if (i == 60 && d == 0x2 && h == 0x80) {
        choice_ = kOnceAWeek;
    } else if (d == 0x7F && h == 0xFFFFFF && i >= kMinMinutes && i <= kMaxMinutes) {
        choice_ = kEvery;
        minutes = std::to_string(i);
    } else {
        keepStored_ = true;
    }
}

std::string CEvntWizB::KeptTimingText() const {
    if (!keepStored_) return {};
    char text[160];
    std::snprintf(text, sizeof text,
                  "Runs as stored: every %lu minutes, days 0x%lX, hours 0x%lX. Choose one of the "
                  "above to change it.",
                  static_cast<unsigned long>(interval), static_cast<unsigned long>(days),
                  static_cast<unsigned long>(hours));
    return text;
}

std::string MaskedPassword::Result() const {
    if (remove) return {};
    return entered.empty() ? stored_ : entered;
}

bool CEventWizC::Leave() {
    return CheckLengths({{&phoneBook, 0, kStringValueBytes},
                         {&accountName, 0, kStringValueBytes},
                         {&password.entered, 0, kStringValueBytes}});
}

ScheduleRecord CScheduleWizard::Record() const {
    ScheduleRecord r;
    r.name = a.name;
    r.description = a.description;
    r.interval = b.interval;
    r.days = b.days;
    r.hours = b.hours;
    r.updateTime = c.updateTime ? 1 : 0;
    r.phoneBook = c.phoneBook;
    r.accountName = c.accountName;
    r.accountPasswd = c.password.Result();
    return r;
}

void CScheduleWizard::FromRecord(const ScheduleRecord& r) {
    a.name = r.name;
    a.description = r.description;
    a.readOnlyName = true;
    b.FromTiming(r.interval, r.days, r.hours);
    c.updateTime = r.updateTime == 1;
    c.phoneBook = r.phoneBook;
    c.accountName = r.accountName;
    c.password.Load(r.accountPasswd);
}

// ---------------------------------------------------------------------------------------
// Mail wizard

CMfWizA::CMfWizA()
    : CNamePage(
          {"Mail Wizard  -  Part 1",
           "Use the Mail Monitor wizard to create a new Mail Monitor event.  The Mail "
           "Monitor can copy incoming mail to another account, page you, or FAX you "
           "whenever new mail arrives.",
           "Enter a name for this Mail Monitor.", "Enter a brief description of this action."},
          80, 80, false) {}

unsigned CMfWizB::Buttons() const {
    bool ok = !popHost.empty() && !popUserName.empty() && !Password().empty();
    return ok ? kWizardBack | kWizardNext : kWizardBack;
}

bool CMfWizB::Leave() {
    return CheckLengths({{&popHost, 128, kStringValueBytes},
                         {&popUserName, 80, kStringValueBytes},
                         {&popPassword, 80, kStringValueBytes}});
}

unsigned CMfWizC::Buttons() const {
    bool ok = !(forwardMail && forwardTo.empty()) && !(copy && copyTo.empty());
    return ok ? kWizardBack | kWizardNext : kWizardBack;
}

bool CMfWizC::Leave() {
    return CheckLengths({{&forwardTo, 80, kStringValueBytes}, {&copyTo, 80, kCopyToBytes}});
}

unsigned CMfWizD::Buttons() const {
    bool ok = !enablePager || (!pagerPhone.empty() && !pagerMsg.empty());
    return ok ? kWizardBack | kWizardNext : kWizardBack;
}

bool CMfWizD::Leave() {
    return CheckLengths({{&pagerPhone, 24, kStringValueBytes}, {&pagerMsg, 24, kStringValueBytes}});
}

unsigned CMfWizE::Buttons() const {
    bool ok = !enableFax || (!faxPhone.empty() && !faxName.empty());
    return ok ? kWizardBack | kWizardNext : kWizardBack;
}

bool CMfWizE::Leave() {
    if (!CheckLengths({{&faxPhone, 24, kStringValueBytes}, {&faxName, 128, kStringValueBytes}}))
        return false;
    return TakeNumber(maximumFaxSize, storedFaxSize_, kMinFaxSize, kMaxFaxSize, enableFax, &faxSize,
                      &CWizardPage::Accept);
}

void CMfWizE::FromFaxSize(DWORD stored) {
    storedFaxSize_ = faxSize = stored;
    maximumFaxSize = std::to_string(stored);
}

CMfWizF::CMfWizF()
    : CNotifyPage({"Mail Wizard  -  Part 6", "Select when to this Mail Monitor should run.",
                   "Notify you when a new mail message arrives", "Notify you with an email to"},
                  128) {}

MailMonitorRecord CMailWizard::Record() const {
    MailMonitorRecord r;
    r.name = a.name;
    r.description = a.description;
    r.popHost = b.popHost;
    r.popUserName = b.popUserName;
    r.popPassword = b.Password();
    r.forwardMail = c.forwardMail;
    r.forwardTo = c.forwardTo;
    r.copy = c.copy;
    r.copyTo = c.copyTo;
    r.enablePager = d.enablePager;
    r.pagerPhone = d.pagerPhone;
    r.pagerMsg = d.pagerMsg;
    r.enableFax = e.enableFax;
    r.faxPhone = e.faxPhone;
    r.faxName = e.faxName;
    r.sendAttachments = e.sendAttachments ? 1 : 0;
    r.maximumFaxSize = e.faxSize;
    r.popSecurity = b.popSecurity;
    r.scheduledEvent = f.schedule.scheduledEvent;
    r.notifyViaEmail = f.notifyViaEmail;
    r.notifyEmailTo = f.notifyEmailTo;
    r.notifyViaWindows = f.notifyViaWindows;
    return r;
}

void CMailWizard::FromRecord(const MailMonitorRecord& r) {
    a.name = r.name;
    a.description = r.description;
    a.readOnlyName = true;
    b.popHost = r.popHost;
    b.popUserName = r.popUserName;
    b.popPassword.clear();
    b.storedPassword = r.popPassword;
    c.forwardMail = r.forwardMail == 1;
    c.forwardTo = r.forwardTo;
    c.copy = r.copy;
    c.copyTo = r.copyTo;
    d.enablePager = r.enablePager == 1;
    d.pagerPhone = r.pagerPhone;
    d.pagerMsg = r.pagerMsg;
    e.enableFax = r.enableFax == 1;
    e.faxPhone = r.faxPhone;
    e.faxName = r.faxName;
    // The reader counts the flag as set only when it is exactly 1.
    e.sendAttachments = r.sendAttachments == 1;
    e.FromFaxSize(r.maximumFaxSize);
    b.popSecurity = r.popSecurity;
    f.schedule.scheduledEvent = r.scheduledEvent;
    f.schedule.keepChoice = true;
    f.notifyViaEmail = r.notifyViaEmail == 1;
    f.notifyEmailTo = r.notifyEmailTo;
    f.notifyViaWindows = r.notifyViaWindows == 1;
}

// ---------------------------------------------------------------------------------------
// Newsgroup wizard

CNwWizA::CNwWizA()
    : CNamePage(
          {"Newsgroup Wizard  -  Part 1",
           "Use the Newsgroup Monitor wizard to create a new news group monitor.  The "
           "Newsgroup Monitor will notify you whenever a discusion you are interested is "
           "occuring.",
           "Enter a name for this new monitor.", "Enter a brief description of this monitor."},
          80, 128, false) {}

unsigned CNwWizB::Buttons() const {
    bool ok =
        !newsGroups.empty() && !keywords.empty() && (searchAuthor || searchSubject || searchBody);
    return ok ? kWizardBack | kWizardNext : kWizardBack;
}

std::vector<std::string> CNwWizB::Phrases() const {
    std::vector<std::string> phrases;
    size_t start = 0;
    while (start <= keywords.size()) {
        size_t comma = keywords.find('|', start);
        if (comma == std::string::npos) comma = keywords.size();
        std::string phrase = Trim(keywords.substr(start, comma - start));
        if (!phrase.empty()) phrases.push_back(phrase);
        start = comma + 1;
    }
    return phrases;
}

std::vector<std::string> CNwWizB::Groups() const {
    std::vector<std::string> groups;
    std::string current;
    for (char ch : newsGroups + " ") {
        if (ch == ' ' || ch == ',' || ch == '\t' || ch == '\r' || ch == '\n') {
            if (!current.empty()) groups.push_back(current);
            current.clear();
        } else {
            current += ch;
        }
    }
    return groups;
}

std::string CNwWizB::JoinGroups(const std::vector<std::string>& groups) {
    std::string text;
    for (const auto& g : groups) text += (text.empty() ? "" : ", ") + g;
    return text;
}

namespace {
// Bytes of a list in the multi-string layout: each item and its NUL, then one more NUL.
size_t ListBytes(const std::vector<std::string>& items) {
    size_t n = 1;
    for (const auto& i : items) n += i.size() + 1;
    return std::max<size_t>(n, 2);
}
}  // namespace

bool CNwWizB::Leave() {
    // The writer keeps only the whole groups that fit its 1024 bytes and drops the rest
    // without a word, so a longer text is refused here where the user can still shorten it.
    // A list stored by another writer and left alone is kept as it is (the monitor reads
    // far longer lists than this page writes).
    const bool untouched = edited && newsGroups == storedGroupsText && !storedGroups.empty();
    if (!untouched && ListBytes(Groups()) > kListBuffer) {
        std::string fits;
        std::vector<std::string> kept;
        for (const auto& g : Groups()) {
            kept.push_back(g);
            if (ListBytes(kept) > kListBuffer) break;
            fits = JoinGroups(kept);
        }
        return Accept(TooLong(Utf8Length(fits)));
    }
    // Phrases stored by another writer may be longer than the page takes; left as they are,
    // they are kept as they are.
    if (keywords != storedKeywordsText && SeveralPhrases()) {
        if (ListBytes(Phrases()) > kListBuffer) return Accept(TooLong(kListBuffer - 2));
    } else if (keywords != storedKeywordsText && !CheckLengths({{&keywords, 80, kListBuffer - 2}}))
        return false;
    if (!untouched && Groups().empty())
        return Accept("Please enter the name of a news group, such as comp.lang.c++.");
    return true;
}

bool CNwWizB::ChooserServer(std::string* server) {
    std::string name;
    GetNewsServer(name);
    if (name.empty()) {
        UserPrompt::Get().Ask(
            "The Network News Server is not configured.  Goto View/Options... and set the "
            "Network News Server.",
            "Quorvane", UserPrompt::Ok, UserPrompt::Exclamation);
        return false;
    }
    if (server) *server = name;
    return true;
}

void CNwWizB::TakeChosen(const std::vector<std::string>& groups) {
    // OK with nothing selected leaves what the user typed. The page takes several groups,
    // so every group chosen goes in, not the first alone: the others were chosen too.
    if (groups.empty()) return;
    std::vector<std::string> kept;
    for (const auto& g : groups) {
        kept.push_back(g);
        if (ListBytes(kept) > kListBuffer) {
            kept.pop_back();
            break;
        }
    }
    newsGroups = JoinGroups(kept);
    if (kept.size() < groups.size())
        Accept("Only the first " + std::to_string(kept.size()) + " of the " +
               std::to_string(groups.size()) +
               " groups chosen fit in the list a monitor keeps; the others were left out.");
}

CNwWizC::CNwWizC()
    : CNotifyPage(
          {"Newsgroup Wizard  -  Part 3", "Select when to this Newsgroup Monitor should run.",
           "Notify you when an news article is found.", "Notify you with an e-mail to"},
          0) {}

NewsMonitorRecord CNewsWizard::Record() const {
    NewsMonitorRecord r;
    r.name = a.name;
    r.description = a.description;
    r.scheduledEvent = c.schedule.scheduledEvent;
    r.notifyEmailTo = c.notifyEmailTo;
    r.notifyViaEmail = c.notifyViaEmail;
    r.notifyViaWindows = c.notifyViaWindows;
    // A list shown as one text and left alone is stored as it was: making one phrase of
    // several would change what the monitor looks for.
    if (b.edited && b.newsGroups == b.storedGroupsText)
        r.newsGroups = b.storedGroups;
    else
        r.newsGroups = b.Groups();
    if (b.edited && b.keywords == b.storedKeywordsText)
        r.keywords = b.storedKeywords;
    else if (b.SeveralPhrases())
        r.keywords = b.Phrases();
    else
        r.keywords =
            b.keywords.empty() ? std::vector<std::string>{} : std::vector<std::string>{b.keywords};
    r.searchAuthor = b.searchAuthor;
    r.searchBody = b.searchBody;
    r.searchSubject = b.searchSubject;
    return r;
}

void CNewsWizard::FromRecord(const NewsMonitorRecord& r) {
    a.name = r.name;
    a.description = r.description;
    a.readOnlyName = true;
    b.newsGroups = CNwWizB::JoinGroups(r.newsGroups);
    // Several phrases come from other writers; the page edits one, so they are shown joined.
    b.keywords.clear();
    // Several phrases (stored by another writer) are shown apart by " | " and taken apart
    // again there: joined into one they would be one phrase the monitor seldom finds. A bar
    // is rarer in a phrase than a comma, which stays part of its phrase.
    for (const auto& k : r.keywords) b.keywords += (b.keywords.empty() ? "" : " | ") + k;
    b.edited = true;
    b.storedGroups = r.newsGroups;
    b.storedGroupsText = b.newsGroups;
    b.storedKeywords = r.keywords;
    b.storedKeywordsText = b.keywords;
    b.searchAuthor = r.searchAuthor != 0;
    b.searchBody = r.searchBody != 0;
    b.searchSubject = r.searchSubject != 0;
    c.schedule.scheduledEvent = r.scheduledEvent;
    c.schedule.keepChoice = true;
    c.notifyViaEmail = r.notifyViaEmail == 1;
    c.notifyEmailTo = r.notifyEmailTo;
    c.notifyViaWindows = r.notifyViaWindows == 1;
}

// ---------------------------------------------------------------------------------------
// Web wizard

CWwWizA::CWwWizA()
    : CNamePage({"Web Wizard  -  Part 1",
                 "Use the Web Site Monitor to keep track of changes to a web page, or a whole Web "
                 "Site.",
                 "Enter a name for this Web Monitor", "Enter a brief description of this action."},
                80, 128, false) {}

bool CWwWizB::Leave() {
    if (!CheckLengths({{&site, 250, kStringValueBytes}})) return false;
    return TakeNumber(maxDocuments, storedDocuments_, kMinDocuments, kMaxDocuments, entireDomain,
                      &documents, &CWizardPage::Accept);
}

void CWwWizB::FromMaxDocuments(DWORD stored) {
    storedDocuments_ = documents = stored;
    maxDocuments = std::to_string(stored);
}

CWwWizC::CWwWizC()
    : CNotifyPage({"Web Wizard  -  Part 3", "Select when to this Web Monitor should run.",
                   "Notify you when Web site changes with.", "Notify you with an email to"},
                  80) {}

WebMonitorRecord CWebWizard::Record() const {
    WebMonitorRecord r;
    r.name = a.name;
    r.description = a.description;
    r.site = b.site;
    r.entireDomain = b.entireDomain;
    r.files = b.files;
    r.maxDocuments = b.documents;
    r.scheduledEvent = c.schedule.scheduledEvent;
    r.notifyEmailTo = c.notifyEmailTo;
    r.notifyViaEmail = c.notifyViaEmail;
    r.notifyViaWindows = c.notifyViaWindows;
    return r;
}

void CWebWizard::FromRecord(const WebMonitorRecord& r) {
    a.name = r.name;
    a.description = r.description;
    a.readOnlyName = true;
    b.site = r.site;
    b.entireDomain = r.entireDomain == 1;
    b.files = r.files == 1;
    b.FromMaxDocuments(r.maxDocuments);
    c.schedule.scheduledEvent = r.scheduledEvent;
    c.schedule.keepChoice = true;
    c.notifyViaEmail = r.notifyViaEmail == 1;
    c.notifyEmailTo = r.notifyEmailTo;
    c.notifyViaWindows = r.notifyViaWindows == 1;
}

// ---------------------------------------------------------------------------------------
// Lumetta wizard

std::string CatalogueField(const std::string& line, int n) {
    std::string field;
    size_t pos = 0;
    for (int i = 0; i < n; ++i) {
        size_t open = line.find('"', pos);
        if (open == std::string::npos) break;
        size_t close = line.find('"', open + 1);
        if (close == std::string::npos) {
            field = line.substr(open + 1);
            pos = line.size();
        } else {
            field = line.substr(open + 1, close - open - 1);
            pos = close + 1;
        }
    }
    return field;
}

CLmWizA::CLmWizA()
    : CNamePage(
          {"Lumetta Wizard - Part 1",
           "Use the Lumetta Wizard to create a new web display on your desktop.  Keep up to "
           "the date on news, sports and weather with your own lumetta window",
           "Enter a name for this new display.", "Enter a brief description of this display."},
          0, 0, false) {}

void CLmWizB::Load() {
    items_.clear();
    selected = -1;
    std::ifstream in(catalogue_, std::ios::binary);
    if (!in) return;
    int category = -1;
    std::string raw;
    for (;;) {
        std::streamoff position = in.tellg();
        if (!std::getline(in, raw)) break;
        std::string line = Trim(raw);
        if (line.empty()) continue;
        Item item;
        item.position = position;
        if (line[0] == '+') {
            item.text = line.substr(1);
            item.image = 2;
            item.category = true;
            items_.push_back(item);
            category = static_cast<int>(items_.size()) - 1;
            continue;
        }
        item.text = Trim(CatalogueField(line, 1));
        if (item.text.empty()) continue;
        item.url = CatalogueField(line, 2);
        item.image = CatalogueField(line, 5).rfind("Graphic", 0) == 0 ? 0 : 1;
        item.parent = category;
        items_.push_back(item);
        if (item.url == url && selected < 0) selected = static_cast<int>(items_.size()) - 1;
    }
}

bool CLmWizB::TakeSelected(std::string* problem) {
    if (selected < 0 || selected >= static_cast<int>(items_.size()) || items_[selected].category)
        return true;
    // Read again by the line's position, so the three values are the catalogue's own text.
    std::ifstream in(catalogue_, std::ios::binary);
    if (!in) return true;
    in.seekg(items_[selected].position);
    std::string raw;
    if (!in || !std::getline(in, raw)) return true;
    std::string line = Trim(raw);
    std::string u = CatalogueField(line, 2), ff = CatalogueField(line, 3);
    // The retrieval reads both through 256-byte buffers: a longer one would be stored and
    // never fetched.
    if (u.size() > kStringValueBytes || ff.size() > kStringValueBytes) {
        *problem = "The address or the filter file of \"" + items_[selected].text + "\" in " +
                   catalogue_ + " is longer than " + std::to_string(kStringValueBytes) +
                   " bytes, more than the display can read; choose another site.";
        return false;
    }
    url = u;
    filterFile = ff;
    filter = CatalogueField(line, 4);
    return true;
}

bool CLmWizB::Leave() {
    std::string problem;
    if (!TakeSelected(&problem)) return Accept(problem);
    if (!CheckLengths({{&url, 0, kStringValueBytes}, {&filterFile, 0, kStringValueBytes}}))
        return false;
    // The retrieval runs a script only for an address that names the script's variable; a
    // script stored beside a plain address would never run, and nothing would say so.
    std::string variable, address;
    const bool typed = selected < 0 && !(url == storedUrl && filterFile == storedFilterFile);
    const bool namesVariable = SplitScriptUrl(url, &variable, &address);
    if (typed && !filterFile.empty() && !namesVariable)
        return Accept(
            "A page script is used only with an address written as variable@address: the "
            "name of the script's variable, \"@\", then the page the script starts from.");
    if (typed && filterFile.empty() && namesVariable)
        return Accept("The address names the variable " + variable +
                      " of a page script: please enter the page script file that holds it.");
    return true;
}

LumettaRecord CLumettaWizard::Record() const {
    LumettaRecord r;
    r.name = a.name;
    r.description = a.description;
    r.scheduledEvent = c.schedule.scheduledEvent;
    r.url = b.url;
    r.filter = b.filter;
    r.filterFile = b.filterFile;
    r.docFile = docFile;
    return r;
}

void CLumettaWizard::FromRecord(const LumettaRecord& r) {
    a.name = r.name;
    a.description = r.description;
    a.readOnlyName = true;
    b.url = b.storedUrl = r.url;
    b.filter = r.filter;
    b.filterFile = b.storedFilterFile = r.filterFile;
    docFile = r.docFile;
    c.schedule.scheduledEvent = r.scheduledEvent;
    c.schedule.keepChoice = true;
}

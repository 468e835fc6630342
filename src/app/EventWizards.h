#pragma once

// The pages of the five New Event wizards without their widgets: each page's values, their
// limits, its texts, the rule that decides which wizard buttons it allows, and what it checks
// when it is left. A wizard yields the record that CreateEventRecord stores, and can be filled
// from a stored record so that the same pages can edit an event that exists.
//
// Limits: the character limits are the ones the pages show; on top of them every text is
// held to what its reader takes in bytes (a string value is read with a 256-byte buffer, so
// 255 bytes of UTF-8 at most; a list must fit the 1024 bytes its writer keeps), so a value
// the wizard writes is never one that nobody can read back.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "app/ItemList.h"
#include "app/SettingsStore.h"

// The wizard buttons a page allows.
enum WizardButton : unsigned {
    kWizardBack = 1,
    kWizardNext = 2,
    kWizardFinish = 4,
    kWizardDisabledFinish = 8,
};

// The most bytes of a string value that its readers take (their buffer holds the NUL too).
inline constexpr size_t kStringValueBytes = settings::kStringBuffer - 1;
// The copy-to text: its writer keeps 254 bytes before the two closing NULs.
inline constexpr size_t kCopyToBytes = 254;

// "Please enter no more than %1 characters." when text is longer than maxChars characters
// (0: no character limit) or than maxBytes bytes, else empty. For a text within its characters
// but over its bytes, %1 is the number of its characters that fit.
std::string LengthProblem(const std::string& text, size_t maxChars, size_t maxBytes);
// Reads an integer from lo to hi; the message for a text that is none, else empty.
std::string IntegerProblem(const std::string& text, long lo, long hi, long* value);

class CWizardPage {
public:
    virtual ~CWizardPage() = default;
    virtual std::string Title() const = 0;
    // The buttons allowed now (WizardButton bits).
    virtual unsigned Buttons() const = 0;
    // Each time the page is displayed.
    virtual void OnShow() {}
    // Left by Next or Finish: checks the values (telling the user of the first problem,
    // through UserPrompt) and takes what the page yields. False keeps the user on the page.
    virtual bool Leave() { return true; }

protected:
    // Tells the user problem, when there is one; true when there is none.
    static bool Accept(const std::string& problem);
    struct Limited {
        const std::string* text;
        size_t maxChars, maxBytes;
    };
    static bool CheckLengths(std::initializer_list<Limited> texts);
};

// The first page of every wizard: the event's name (its key) and a description.
class CNamePage : public CWizardPage {
public:
    struct Texts {
        const char* title;
        const char* intro;
        const char* nameLabel;
        const char* descriptionLabel;
    };
    CNamePage(const Texts& texts, size_t nameChars, size_t descriptionChars, bool schedule)
        : texts_(texts),
          nameChars_(nameChars),
          descriptionChars_(descriptionChars),
          schedule_(schedule) {}

    std::string name, description;
    // Editing an event that exists: its name stays as it is and is not checked again.
    bool readOnlyName = false;

    const Texts& texts() const { return texts_; }
    // 0: no limit of characters (the key's 255 characters still hold).
    size_t NameChars() const { return nameChars_; }
    size_t DescriptionChars() const { return descriptionChars_; }

    std::string Title() const override { return texts_.title; }
    unsigned Buttons() const override;
    bool Leave() override;

private:
    Texts texts_;
    size_t nameChars_, descriptionChars_;
    bool schedule_;
};

// The schedule drop-down list of a monitor's last page: refilled each time the page is shown,
// which leaves no schedule chosen (unless an existing event is being edited, whose schedule
// stays chosen when it is still listed).
class CScheduleChoice {
public:
    CItemList& list() { return list_; }
    const CItemList& list() const { return list_; }
    void Refill();
    // Chooses the list's item index (-1: none); "<None>" counts as a choice.
    void Choose(int index);
    bool Chosen() const { return !scheduledEvent.empty(); }

    std::string scheduledEvent;  // the chosen item's text, empty for none
    bool keepChoice = false;

private:
    CItemList list_;
};

// The schedule-and-notification page, last page of the mail, newsgroup and web wizards.
class CNotifyPage : public CWizardPage {
public:
    struct Texts {
        const char* title;
        const char* scheduleLabel;
        const char* explanation;
        const char* emailLabel;
    };
    CNotifyPage(const Texts& texts, size_t addressChars)
        : texts_(texts), addressChars_(addressChars) {}

    CScheduleChoice schedule;
    bool notifyViaWindows = false;
    bool notifyViaEmail = false;
    std::string notifyEmailTo;

    const Texts& texts() const { return texts_; }
    size_t AddressChars() const { return addressChars_; }
    bool AddressEnabled() const { return notifyViaEmail; }

    std::string Title() const override { return texts_.title; }
    unsigned Buttons() const override;
    void OnShow() override { schedule.Refill(); }
    bool Leave() override;

private:
    Texts texts_;
    size_t addressChars_;
};

// ---------------------------------------------------------------------------------------
// Schedule wizard

class CEvntWizA : public CNamePage {
public:
    CEvntWizA();
};

class CEvntWizB : public CWizardPage {
public:
    enum Choice { kNoChoice, kOnceAWeek, kEveryDay, kEveryHour, kEvery };
    static constexpr long kMinMinutes = 1, kMaxMinutes = 99999;

    std::string Title() const override { return "Event Wizard  -  Part 2"; }
    unsigned Buttons() const override { return kWizardBack | kWizardNext; }
    bool Leave() override;

    Choice choice() const { return choice_; }
    void SetChoice(Choice c);
    bool MinutesEnabled() const { return choice_ == kEvery; }
    bool AtNightEnabled() const { return choice_ == kEveryDay; }

    std::string minutes = "60";
    bool atNight = false;

    // What the page yields (set on Leave).
    DWORD interval = 60, days = 0x7F, hours = 0xFFFFFF;

    // Shows a stored timing: the radio button it matches, "Every" N minutes, or, when no
    // choice can express it, no choice, and the stored values are kept until one is made.
    void FromTiming(DWORD interval, DWORD days, DWORD hours);
    bool KeepsStoredTiming() const { return keepStored_; }
    // Describes a kept timing for the page (empty when none is kept).
    std::string KeptTimingText() const;

private:
    Choice choice_ = kNoChoice;
    bool keepStored_ = false;
};

// A password that is never shown back: the edit starts empty, an edit left empty keeps the
// stored one, and the stored one goes only when the user asks for it.
struct MaskedPassword {
    std::string entered;  // what the user typed; empty keeps the stored one
    bool remove = false;  // the user asked to remove the stored one
    bool Stored() const { return !stored_.empty(); }
    // What is to be stored now.
    std::string Result() const;
    void Load(const std::string& stored) {
        stored_ = stored;
        entered.clear();
        remove = false;
    }

private:
    std::string stored_;
};

class CEventWizC : public CWizardPage {
public:
    std::string Title() const override { return "Event Wizard  -  Part 3"; }
    unsigned Buttons() const override { return kWizardBack | kWizardFinish; }
    // The dial-up entry and login: held to what the run reads (255 bytes each).
    bool Leave() override;
    bool updateTime = false;
    std::string phoneBook, accountName;
    MaskedPassword password;
};

class CScheduleWizard {
public:
    CEvntWizA a;
    CEvntWizB b;
    CEventWizC c;
    std::vector<CWizardPage*> Pages() { return {&a, &b, &c}; }
    ScheduleRecord Record() const;
    void FromRecord(const ScheduleRecord& r);
};

// ---------------------------------------------------------------------------------------
// Mail wizard

class CMfWizA : public CNamePage {
public:
    CMfWizA();
};

class CMfWizB : public CWizardPage {
public:
    std::string Title() const override { return "Mail Wizard  -  Part 2"; }
    unsigned Buttons() const override;
    // Editing a mail event that exists: its password is never shown back; the edit starts
    // empty, and left empty keeps it.
    std::string storedPassword;
    std::string Password() const { return popPassword.empty() ? storedPassword : popPassword; }
    bool Leave() override;
    std::string popHost, popUserName, popPassword;
    // 0 plain, 1 STLS required, 2 TLS from the first byte; a stored value that is none of
    // them (written by another program) stays until the user chooses one.
    DWORD popSecurity = 0;
};

class CMfWizC : public CWizardPage {
public:
    std::string Title() const override { return "Mail Quorvane Wizard  -  Part 3"; }
    unsigned Buttons() const override;
    bool Leave() override;
    bool forwardMail = false;
    std::string forwardTo;
    bool copy = false;
    std::string copyTo;
};

class CMfWizD : public CWizardPage {
public:
    std::string Title() const override { return "Mail Wizard  -  Part 4"; }
    unsigned Buttons() const override;
    bool Leave() override;
    bool enablePager = false;
    std::string pagerPhone, pagerMsg;
};

class CMfWizE : public CWizardPage {
public:
    std::string Title() const override { return "Mail Wizard  -  Part 5"; }
    unsigned Buttons() const override;
    bool Leave() override;
    bool enableFax = false;
    std::string faxPhone, faxName;
    bool sendAttachments = false;
    // The most bytes of a message's text that go into a fax, as typed.
    static constexpr long kMinFaxSize = 1, kMaxFaxSize = 1048576;
    std::string maximumFaxSize = std::to_string(settings::kDefaultMaximumFaxSize);
    // What the page yields (set on Leave): the stored value (or the default) until the user
    // enters another; a stored value outside the limits stays as long as it is left alone.
    DWORD faxSize = settings::kDefaultMaximumFaxSize;
    void FromFaxSize(DWORD stored);

private:
    DWORD storedFaxSize_ = settings::kDefaultMaximumFaxSize;
};

class CMfWizF : public CNotifyPage {
public:
    CMfWizF();
};

class CMailWizard {
public:
    CMfWizA a;
    CMfWizB b;
    CMfWizC c;
    CMfWizD d;
    CMfWizE e;
    CMfWizF f;
    std::vector<CWizardPage*> Pages() { return {&a, &b, &c, &d, &e, &f}; }
    MailMonitorRecord Record() const;
    void FromRecord(const MailMonitorRecord& r);
};

// ---------------------------------------------------------------------------------------
// Newsgroup wizard

class CNwWizA : public CNamePage {
public:
    CNwWizA();
};

class CNwWizB : public CWizardPage {
public:
    std::string Title() const override { return "Newsgroup Wizard  -  Part 2"; }
    unsigned Buttons() const override;
    bool Leave() override;

    // The groups as the record stores them: the text split at blanks and commas (no group's
    // name holds either).
    std::vector<std::string> Groups() const;
    static std::string JoinGroups(const std::vector<std::string>& groups);

    // The chooser button: the news server to choose from, or false after telling the user
    // that none is configured.
    static bool ChooserServer(std::string* server);
    // The chooser ended with OK: its first group, if any, replaces the text.
    void TakeChosen(const std::vector<std::string>& groups);

    std::string newsGroups, keywords;
    bool searchAuthor = false, searchSubject = false, searchBody = false;

    // Whether the keywords are edited as several phrases apart by "|": only for an event
    // that was stored with several (a new one takes one phrase).
    bool SeveralPhrases() const { return edited && storedKeywords.size() > 1; }
    std::vector<std::string> Phrases() const;

    // An event that exists: its lists as stored and as the page first showed them.
    bool edited = false;
    std::vector<std::string> storedGroups, storedKeywords;
    std::string storedGroupsText, storedKeywordsText;
};

class CNwWizC : public CNotifyPage {
public:
    CNwWizC();
};

class CNewsWizard {
public:
    CNwWizA a;
    CNwWizB b;
    CNwWizC c;
    std::vector<CWizardPage*> Pages() { return {&a, &b, &c}; }
    NewsMonitorRecord Record() const;
    void FromRecord(const NewsMonitorRecord& r);
};

// ---------------------------------------------------------------------------------------
// Web wizard

class CWwWizA : public CNamePage {
public:
    CWwWizA();
};

class CWwWizB : public CWizardPage {
public:
    std::string Title() const override { return "Web Wizard  -  Part 2"; }
    unsigned Buttons() const override {
        return site.empty() ? kWizardBack : kWizardBack | kWizardNext;
    }
    bool Leave() override;
    std::string site;
    bool entireDomain = false, files = false;
    // The most documents an entire-site crawl may grow to, as typed; meaningful only with
    // the entire site.
    static constexpr long kMinDocuments = 1, kMaxDocuments = 1000000;
    std::string maxDocuments = std::to_string(settings::kDefaultMaxDocuments);
    bool MaxDocumentsEnabled() const { return entireDomain; }
    // What the page yields (set on Leave): the stored value (or the default) unless the user
    // entered another with the entire site ticked.
    DWORD documents = settings::kDefaultMaxDocuments;
    void FromMaxDocuments(DWORD stored);

private:
    DWORD storedDocuments_ = settings::kDefaultMaxDocuments;
};

class CWwWizC : public CNotifyPage {
public:
    CWwWizC();
};

class CWebWizard {
public:
    CWwWizA a;
    CWwWizB b;
    CWwWizC c;
    std::vector<CWizardPage*> Pages() { return {&a, &b, &c}; }
    WebMonitorRecord Record() const;
    void FromRecord(const WebMonitorRecord& r);
};

// ---------------------------------------------------------------------------------------
// Lumetta wizard

// Field n (from 1) of a catalogue line: the text between the n-th pair of double quotes; the
// last field found when the line has fewer, empty when it has no double quote.
std::string CatalogueField(const std::string& line, int n);

class CLmWizA : public CNamePage {
public:
    CLmWizA();
};

class CLmWizB : public CWizardPage {
public:
    struct Item {
        std::string text;
        int image = 0;    // 0 graphic entry, 1 other entry, 2 category
        int parent = -1;  // index of its category, -1 at the top
        bool category = false;
        int64_t position = 0;  // where the entry's line begins in the catalogue
        std::string url;
    };
    static constexpr const char* kCatalogue = "lumetta.wiz";

    explicit CLmWizB(std::string catalogue = kCatalogue) : catalogue_(std::move(catalogue)) {}
    std::string Title() const override { return "Lumetta Wizard - Part 2"; }
    unsigned Buttons() const override { return kWizardBack | kWizardNext; }
    // Takes the selected entry's values, then holds the address and the script file, which
    // the page also lets the user type (without a catalogue there would be no way to give a
    // display its address), to what the retrieval reads.
    bool Leave() override;
    // The selected entry's address, script file and filter, read again from the catalogue;
    // false with the reason when they cannot be stored. Nothing or a category selected
    // changes nothing.
    bool TakeSelected(std::string* problem);

    // Reads the catalogue into items (as far as it can be read) and selects the entry whose
    // address is url.
    void Load();
    const std::vector<Item>& items() const { return items_; }
    int selected = -1;

    std::string url, filterFile, filter;
    // An edited display's values as stored: kept as they are, whatever their form.
    std::string storedUrl, storedFilterFile;

private:
    std::string catalogue_;
    std::vector<Item> items_;
};

class CLmWizC : public CWizardPage {
public:
    std::string Title() const override { return "Lumetta Wizard - Part 3"; }
    unsigned Buttons() const override {
        return schedule.Chosen() ? kWizardBack | kWizardFinish
                                 : kWizardBack | kWizardDisabledFinish;
    }
    void OnShow() override { schedule.Refill(); }
    CScheduleChoice schedule;
};

class CLumettaWizard {
public:
    CLmWizA a;
    CLmWizB b;
    CLmWizC c;
    std::vector<CWizardPage*> Pages() { return {&a, &b, &c}; }
    // An edited display keeps its document file; a new one gets a fresh one when stored.
    std::string docFile;
    LumettaRecord Record() const;
    void FromRecord(const LumettaRecord& r);
};

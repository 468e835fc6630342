#pragma once

// The options sheet: the program-wide settings of the settings root in six pages. Each page
// holds one member per value, loads them when it is first shown (its defaults first, then
// whatever the store holds), checks them and writes them back when the sheet is confirmed.
// Widgets only render these members and write into them; every text, default, range and
// modified flag lives here so that it can be checked without a window.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

class Telephony;

// What stops a page from being saved: the field (the page's own numbering) and the
// sentence shown to the user. An empty message means nothing is wrong.
struct OptionsProblem {
    int field = 0;
    std::string message;
    explicit operator bool() const { return !message.empty(); }
};

// A stored password is never shown: the edit starts empty, an edit left empty keeps what
// is stored, and the stored one goes only when the user asks for it.
struct PasswordField {
    bool stored = false;  // the store holds one (read at load)
    std::string entered;  // what the user typed; empty keeps the stored one
    bool remove = false;  // the user asked to remove the stored one
};

// What a page writes, gathered before anything reaches the store: the same calls as a key
// takes, so that the page's writing can be compared with what it showed when it loaded.
class OptionsValues {
public:
    using Value = std::optional<std::pair<DWORD, Bytes>>;  // nullopt: the value is deleted
    LONG SetString(const char* name, const std::string& text);
    LONG SetDword(const char* name, DWORD value);
    LONG SetValue(const char* name, DWORD type, const Bytes& data);
    LONG DeleteValue(const char* name);
    const std::map<std::string, Value>& values() const { return values_; }

private:
    std::map<std::string, Value> values_;
};

class COptionsPage {
public:
    virtual ~COptionsPage() = default;
    virtual const char* title() const = 0;

    // Defaults, then the settings root. A page loads once per opening of the sheet.
    void Load();
    bool loaded() const { return loaded_; }
    bool modified() const { return modified_; }
    // A change of the user's (an edit, a click, "Use Defaults").
    void SetModified(bool modified = true) {
        modified_ = modified;
        touched_ = touched_ || modified;
    }
    // Whether the user changed anything on the page since it loaded.
    bool touched() const { return touched_; }

    // The first field that cannot be saved, in the page's order.
    virtual OptionsProblem Validate() const = 0;
    // Writes the page's values in one step; false when the settings root could not be
    // opened or written (nothing of the page is then kept).
    bool Save();

protected:
    virtual void SetDefaults() = 0;
    virtual void LoadFrom(const RegKey& root) = 0;
    virtual bool SaveTo(OptionsValues& root) const = 0;
    // Reached after Load; the pager page gathers its lists there.
    virtual void AfterLoad() {}
    // Reached by Save once the store holds the page: what the page keeps outside it.
    virtual bool SaveOutsideStore() { return true; }
    void MarkModifiedOnDisplay() { modified_ = true; }

private:
    bool loaded_ = false;
    bool modified_ = false;
    bool touched_ = false;
    // What the page would write as it loaded, before the user changed anything.
    OptionsValues asLoaded_;
};

// The checks the pages share. Each returns an empty text when value passes.
namespace options {
inline constexpr int kTextLimit = 250;
// Too many characters (limit, as the page states it) or too many bytes for the buffer
// the value's readers use (a letter outside ASCII takes two to four bytes).
std::string CheckText(const std::string& text, size_t maxCharacters, size_t maxBytes);
// An integer in [low, high]; value receives it.
std::string CheckInteger(const std::string& text, int64_t low, int64_t high, int64_t* value);
}  // namespace options

class COptionsSvr final : public COptionsPage {
public:
    enum Field {
        kSmtpServerEdit = 1086,
        kNewsServerEdit = 1085,
        kSmtpSecurityChoice = 2001,
        kSmtpUserEdit,
        kSmtpPasswordEdit,
        kNewsSecurityChoice,
        kNewsUserEdit,
        kNewsPasswordEdit,
        kMyNameEdit,
        kHostNameEdit,
    };
    const char* title() const override { return "Servers"; }
    OptionsProblem Validate() const override;

    std::string smtpServer, newsServer;
    // 0 plain, 1 STARTTLS required, 2 TLS from the first byte.
    int smtpSecurity = 0, newsSecurity = 0;
    std::string smtpUserName, newsUserName;
    PasswordField smtpPassword, newsPassword;
    // The sender of result mail (its envelope address) and the name this computer gives
    // the mail server when it greets it (its own host name when empty).
    std::string myName, hostName;

protected:
    void SetDefaults() override;
    void LoadFrom(const RegKey& root) override;
    bool SaveTo(OptionsValues& root) const override;
};

class COptionsPgr final : public COptionsPage {
public:
    enum Field {
        kModemList = 1091,
        kDelaySlider = 1098,
        kFaxProfileBox = 1128,
        kFaxProgramEdit = 2101,
        kModemDevicesEdit,
    };
    static constexpr int kDelayLow = 5, kDelayHigh = 90;

    // Makes the line devices whose names the modem list shows; the temporary dialer that
    // asks them is gone (and so is the telephony) before Load returns.
    using TelephonyMaker = std::function<std::unique_ptr<Telephony>()>;
    // The messaging profiles the fax box offers.
    using ProfileLister = std::function<std::vector<std::string>()>;
    // Defaults: the modems of this computer, and no profiles (there is no per-user store
    // of messaging profiles here; the box takes any text).
    explicit COptionsPgr(TelephonyMaker telephony = {}, ProfileLister profiles = {});

    const char* title() const override { return "Pager"; }
    OptionsProblem Validate() const override;

    // The modem list (sorted, as shown) and its selection (-1: none).
    std::vector<std::string> modems;
    int modemIndex = -1;
    int pagerDelay = kDelayLow;
    // The fax profile box: its list, the entry matching its text (-1: none), its text.
    std::vector<std::string> faxProfiles;
    int faxProfileIndex = -1;
    std::string faxProfile;
    std::string faxProgram;
    // One serial device a line.
    std::string modemDevices;

    std::string pagerModem() const;
    void SelectModem(int index);
    // Sets the profile text and selects the entry it names exactly, if any.
    void SetFaxProfile(const std::string& text);

protected:
    void SetDefaults() override;
    void LoadFrom(const RegKey& root) override;
    bool SaveTo(OptionsValues& root) const override;
    void AfterLoad() override;

private:
    TelephonyMaker makeTelephony_;
    ProfileLister listProfiles_;
    std::string storedModem_;
};

class COptionsHlp final : public COptionsPage {
public:
    enum Field { kWebBrowserEdit = 1096, kMailReaderEdit = 1097, kNewsReaderEdit = 1005 };
    const char* title() const override { return "Helpers"; }
    OptionsProblem Validate() const override;

    std::string webBrowser, mailReader, newsReader;

protected:
    void SetDefaults() override;
    void LoadFrom(const RegKey& root) override;
    bool SaveTo(OptionsValues& root) const override;
};

class COptionsMsg final : public COptionsPage {
public:
    enum Field {
        kAlways = 1125,
        kErrorsOnly = 1126,
        kNever = 1127,
        kAutoStart = 1129,
        kDesktopNotificationsBox = 2301,
    };
    const char* title() const override { return "Messages"; }
    OptionsProblem Validate() const override { return {}; }

    // 0 always, 1 errors and warnings only, 2 never; -1 when none is checked.
    int displayMesg = 0;
    bool autoStartLM = true;
    // Pop-up records also go to the desktop's notifications.
    bool desktopNotifications = true;

protected:
    void SetDefaults() override;
    void LoadFrom(const RegKey& root) override;
    bool SaveTo(OptionsValues& root) const override;
};

class COptionsAdv final : public COptionsPage {
public:
    enum Field {
        kConnectionTimeout = 1095,
        kAttempts = 1094,
        kHttpTimeout = 1005,
        kNntpTimeout = 1008,
        kPop3Timeout = 1007,
        kSmtpTimeout = 1006,
        kTlsCaFileEdit = 2201,
        kFollowRedirectsBox,
        kHttpMaxResponseEdit,
        kDialUpProgramEdit,
        kRequestTimeLimitEdit,
        kTimeServerUrlEdit,
        kWebParallelEdit,
        kHttpKeepAliveBox,
        kStartAtLoginBox,
    };
    static constexpr int64_t kTimeoutHigh = 600, kAttemptsHigh = 20;
    static constexpr int64_t kMaxResponseLow = 1024;
    // The longest one request may take: long enough for a slow server to answer at all,
    // short enough that a run still ends the same day.
    static constexpr int64_t kRequestLimitLow = 10, kRequestLimitHigh = 86400;

    const char* title() const override { return "Advanced"; }
    OptionsProblem Validate() const override;
    // "Use Defaults": the six protocol fields and the request limit only.
    void UseDefaults();

    // As typed: seconds (the attempts a count).
    std::string connectionTimeout, attempts, httpTimeout, nntpTimeout, pop3Timeout, smtpTimeout;
    std::string tlsCaFile;
    bool followRedirects = true;
    std::string httpMaxResponse;  // bytes
    std::string dialUpProgram;
    std::string requestTimeLimit;  // seconds, as typed
    std::string timeServerUrl;     // empty: the built-in service
    std::string webParallel;       // documents a web run checks at once, as typed
    bool httpKeepAlive = true;     // a kept connection carries the next web request
    // "Start Quorvane when I log in": whether the session's autostart entry is there and
    // ours. Not a stored value: the entry file is written or removed as the page is saved.
    bool startAtLogin = false;
    // Why the entry could not be written or removed at the last save; empty when it could.
    const std::string& autostartError() const { return autostartError_; }

protected:
    void SetDefaults() override;
    void LoadFrom(const RegKey& root) override;
    bool SaveTo(OptionsValues& root) const override;
    void AfterLoad() override;
    bool SaveOutsideStore() override;

private:
    bool startAtLoginAsLoaded_ = false;
    std::string autostartError_;
};

class COptionsProxy final : public COptionsPage {
public:
    enum Field { kUseProxyBox = 1151, kAddressEdit = 1003, kPortEdit = 1153 };
    const char* title() const override { return "Proxy"; }
    OptionsProblem Validate() const override;

    bool useProxy = false;
    std::string proxyServer;
    std::string proxyPort;  // as typed

protected:
    void SetDefaults() override;
    void LoadFrom(const RegKey& root) override;
    bool SaveTo(OptionsValues& root) const override;
    // Shown, the page counts as modified (Apply lights up), though the user changed nothing.
    void AfterLoad() override { MarkModifiedOnDisplay(); }
};

// The six pages in order and the rules of one opening of the sheet.
class COptionsSheet {
public:
    enum PageIndex { kServers, kPager, kHelpers, kMessages, kAdvanced, kProxy, kPageCount };

    explicit COptionsSheet(COptionsPgr::TelephonyMaker telephony = {},
                           COptionsPgr::ProfileLister profiles = {});

    COptionsPage& page(int index) { return *pages_.at(static_cast<size_t>(index)); }
    COptionsSvr& servers() { return *servers_; }
    COptionsPgr& pager() { return *pager_; }
    COptionsHlp& helpers() { return *helpers_; }
    COptionsMsg& messages() { return *messages_; }
    COptionsAdv& advanced() { return *advanced_; }
    COptionsProxy& proxy() { return *proxy_; }

    // A page is shown: it loads the first time.
    void Display(int index);
    // Apply is offered while a shown page has changes not yet saved.
    bool applyEnabled() const;

    struct Outcome {
        int page = -1;  // the page whose problem stopped it, or -1
        OptionsProblem problem;
        bool saveFailed = false;  // some page could not be written
        explicit operator bool() const { return !problem; }
    };
    // OK or Apply: every shown page is checked first; with none in the way, every shown
    // page is saved. Pages never shown keep their stored values.
    Outcome Confirm();

private:
    std::vector<std::unique_ptr<COptionsPage>> pages_;
    COptionsSvr* servers_;
    COptionsPgr* pager_;
    COptionsHlp* helpers_;
    COptionsMsg* messages_;
    COptionsAdv* advanced_;
    COptionsProxy* proxy_;
};

#include "app/OptionsSheet.h"

#include <QString>
#include <algorithm>
#include <limits>

#include "app/Autostart.h"
#include "monitors/TimeSync.h"
#include "net/Connection.h"
#include "notify/Tapi.h"
#include "platform/Utf8Text.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

using namespace settings;

namespace {

// What each value's readers take: their buffer less the NUL.
constexpr size_t kRootTextBytes = kRootStringBuffer - 1;  // 252-byte readers
constexpr size_t kTextBytes = kStringBuffer - 1;          // 256-byte readers
constexpr size_t kPathBytes = kPathBuffer - 1;            // file names
constexpr size_t kCredentialBytes = 255;                  // one AUTH or AUTHINFO line each
constexpr size_t kNoCharacterLimit = std::numeric_limits<size_t>::max();
constexpr size_t kTimeServerUrlBytes = 1024 - 1;  // the clock step reads it with 1024 bytes
// How much of a stored text is read to be shown: more than any reader takes, so that a
// value stored too long by other means is shown whole and refused by the checks, rather
// than shown empty and replaced by nothing when the page is saved.
constexpr size_t kShownTextBuffer = 64 * 1024;

constexpr DWORD kDefaultConnectionTimeout = 60, kDefaultAttempts = 3, kDefaultHttpTimeout = 60,
                kDefaultNntpTimeout = 180, kDefaultPop3Timeout = 120, kDefaultSmtpTimeout = 120;
constexpr DWORD kDefaultProxyPort = 8080;
constexpr DWORD kDefaultHttpMaxResponse = 256u * 1024 * 1024;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

// Exact match, letter case ignored; an empty text names nothing.
int FindExact(const std::vector<std::string>& list, const std::string& text) {
    if (text.empty()) return -1;
    for (size_t i = 0; i < list.size(); ++i)
        if (SameIgnoringCase(list[i], text)) return static_cast<int>(i);
    return -1;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start != std::string::npos) lines.push_back(line.substr(start));
        at = end + 1;
    }
    return lines;
}

// The security choices offered: any other stored value counts as STARTTLS required.
int SecurityChoice(DWORD stored) {
    return stored == 0 ? 0 : stored == 2 ? 2 : 1;
}

bool HasValue(const RegKey& key, const char* name) {
    return key.QueryValue(name, nullptr, nullptr) == ERROR_SUCCESS;
}

// Seconds as shown from milliseconds as stored, rounded down.
std::string Seconds(const RegKey& root, const char* name, DWORD fallbackSeconds) {
    DWORD ms = 0;
    if (root.GetDword(name, &ms) != ERROR_SUCCESS) return std::to_string(fallbackSeconds);
    return std::to_string(ms / 1000);
}

int64_t Parsed(const std::string& text) {
    int64_t v = 0;
    options::CheckInteger(text, std::numeric_limits<int64_t>::min(),
                          std::numeric_limits<int64_t>::max(), &v);
    return v;
}

// Both go into one command line to the mail server ("MAIL FROM:<...>", "EHLO ..."): a blank
// or a control character there makes the server refuse every session, so no result mail
// would ever leave the queue.
bool FitsSmtpCommand(const std::string& text, bool angles) {
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u == 0x7F || (angles && (c == '<' || c == '>'))) return false;
    }
    return true;
}

bool SavePassword(OptionsValues& root, const char* name, const PasswordField& field) {
    if (field.remove) {
        LONG rc = root.DeleteValue(name);
        return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    }
    if (field.entered.empty()) return true;  // keeps the stored one
    // Into the desktop keyring when one is running, the store keeping a marker.
    DWORD type = REG_SZ;
    Bytes data;
    std::string problem;
    if (!PreparePassword(field.entered, &type, &data, &problem)) return false;
    return root.SetValue(name, type, data) == ERROR_SUCCESS;
}

}  // namespace

namespace options {

std::string CheckText(const std::string& text, size_t maxCharacters, size_t maxBytes) {
    if (maxCharacters != kNoCharacterLimit && Utf8Length(text) > maxCharacters)
        return "Please enter no more than " + std::to_string(maxCharacters) + " characters.";
    if (text.size() > maxBytes)
        return "Please enter no more than " + std::to_string(maxBytes) +
               " bytes (a letter outside plain English takes two to four).";
    if (text.find('\0') != std::string::npos) return "Please remove the NUL character.";
    return {};
}

std::string CheckInteger(const std::string& text, int64_t low, int64_t high, int64_t* value) {
    const std::string range = "Please enter an integer between " + std::to_string(low) + " and " +
                              std::to_string(high) + ".";
    size_t at = text.find_first_not_of(" \t");
    size_t end = text.find_last_not_of(" \t");
    if (at == std::string::npos) return "Please enter an integer.";
    bool negative = false;
    if (text[at] == '-' || text[at] == '+') negative = text[at++] == '-';
    if (at > end) return "Please enter an integer.";
    int64_t v = 0;
    bool overflow = false;
    for (size_t i = at; i <= end; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return "Please enter an integer.";
        if (v > (std::numeric_limits<int64_t>::max() - (c - '0')) / 10)
            overflow = true;
        else
            v = v * 10 + (c - '0');
    }
    if (negative) v = -v;
    if (overflow || v < low || v > high) return range;
    if (value) *value = v;
    return {};
}

}  // namespace options

using options::CheckInteger;
using options::CheckText;
using options::kTextLimit;

// ---- the page machinery ---------------------------------------------------------------

void COptionsPage::Load() {
    SetDefaults();
    RegKey root;
    if (root.Open(RegKey::LocalMachine(), kRoot) == ERROR_SUCCESS) LoadFrom(root);
    loaded_ = true;
    modified_ = false;
    touched_ = false;
    AfterLoad();
    asLoaded_ = OptionsValues();
    SaveTo(asLoaded_);
}

LONG OptionsValues::SetString(const char* name, const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    values_[name] = std::make_pair(DWORD{REG_SZ}, std::move(data));
    return ERROR_SUCCESS;
}

LONG OptionsValues::SetDword(const char* name, DWORD value) {
    Bytes data{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    values_[name] = std::make_pair(DWORD{REG_DWORD}, std::move(data));
    return ERROR_SUCCESS;
}

LONG OptionsValues::SetValue(const char* name, DWORD type, const Bytes& data) {
    values_[name] = std::make_pair(type, data);
    return ERROR_SUCCESS;
}

LONG OptionsValues::DeleteValue(const char* name) {
    values_[name] = std::nullopt;
    return ERROR_SUCCESS;
}

namespace {

// Whether the stored value is one the page could not show: of another type than the page
// writes, or a text longer than the page reads. Written back unchanged by the user, such a
// value would be replaced by the page's default, and what another program stored be lost.
bool UnreadableByThePage(const RegKey& root, const std::string& name,
                         const std::pair<DWORD, Bytes>& asShown) {
    DWORD type = 0;
    Bytes stored;
    if (root.QueryValue(name, &type, &stored) != ERROR_SUCCESS) return false;
    if (type != asShown.first) return true;
    return type == REG_SZ && stored.size() > asShown.second.size() &&
           stored.size() > kRootStringBuffer;
}

}  // namespace

bool COptionsPage::Save() {
    std::shared_ptr<Registry> store = Registry::Current();
    if (!store) return false;
    OptionsValues now;
    if (!SaveTo(now)) return false;
    // All of a page or none of it: a half-written page would mix old and new values.
    Registry::Transaction step(*store);
    RegKey root;
    if (!step.open() || root.Create(RegKey::LocalMachine(), kRoot, kEventClass) != ERROR_SUCCESS)
        return false;
    for (const auto& [name, value] : now.values()) {
        auto shown = asLoaded_.values().find(name);
        if (value && shown != asLoaded_.values().end() && shown->second == value &&
            UnreadableByThePage(root, name, *value))
            continue;
        LONG rc = value ? root.SetValue(name, value->first, value->second) : root.DeleteValue(name);
        if (rc != ERROR_SUCCESS && !(!value && rc == ERROR_FILE_NOT_FOUND)) return false;
    }
    if (!step.Commit()) return false;
    if (!SaveOutsideStore()) return false;
    modified_ = false;
    return true;
}

// ---- Servers --------------------------------------------------------------------------

void COptionsSvr::SetDefaults() {
    smtpServer.clear();
    newsServer.clear();
    smtpSecurity = newsSecurity = 0;
    smtpUserName.clear();
    newsUserName.clear();
    smtpPassword = newsPassword = PasswordField{};
    myName.clear();
    hostName.clear();
}

void COptionsSvr::LoadFrom(const RegKey& root) {
    smtpServer = ReadString(root, kSmtpServer, kShownTextBuffer);
    newsServer = ReadString(root, kNewsServer, kShownTextBuffer);
    smtpSecurity = SecurityChoice(ReadDword(root, kSmtpSecurity, 0));
    newsSecurity = SecurityChoice(ReadDword(root, kNewsSecurity, 0));
    smtpUserName = ReadString(root, kSmtpUserName, kShownTextBuffer);
    newsUserName = ReadString(root, kNewsUserName, kShownTextBuffer);
    smtpPassword.stored = HasValue(root, kSmtpPassword);
    newsPassword.stored = HasValue(root, kNewsPassword);
    myName = ReadString(root, kMyName, kShownTextBuffer);
    hostName = ReadString(root, kHostName, kShownTextBuffer);
}

OptionsProblem COptionsSvr::Validate() const {
    // The program reads both server names with a 252-byte buffer.
    if (auto m = CheckText(smtpServer, kTextLimit, kRootTextBytes); !m.empty())
        return {kSmtpServerEdit, m};
    if (auto m = CheckText(newsServer, kTextLimit, kRootTextBytes); !m.empty())
        return {kNewsServerEdit, m};
    if (auto m = CheckText(smtpUserName, kCredentialBytes, kCredentialBytes); !m.empty())
        return {kSmtpUserEdit, m};
    if (auto m = CheckText(smtpPassword.entered, kCredentialBytes, kCredentialBytes); !m.empty())
        return {kSmtpPasswordEdit, m};
    if (auto m = CheckText(newsUserName, kCredentialBytes, kCredentialBytes); !m.empty())
        return {kNewsUserEdit, m};
    if (auto m = CheckText(newsPassword.entered, kCredentialBytes, kCredentialBytes); !m.empty())
        return {kNewsPasswordEdit, m};
    // The mail queue and the mail monitor read both with a 252-byte buffer.
    if (auto m = CheckText(myName, kNoCharacterLimit, kRootTextBytes); !m.empty())
        return {kMyNameEdit, m};
    if (!FitsSmtpCommand(myName, true))
        return {kMyNameEdit, "Please enter one e-mail address, without blanks, \"<\" or \">\"."};
    if (auto m = CheckText(hostName, kNoCharacterLimit, kRootTextBytes); !m.empty())
        return {kHostNameEdit, m};
    if (!FitsSmtpCommand(hostName, false))
        return {kHostNameEdit, "Please enter the computer's name without blanks."};
    return {};
}

bool COptionsSvr::SaveTo(OptionsValues& root) const {
    return root.SetString(kSmtpServer, smtpServer) == ERROR_SUCCESS &&
           root.SetString(kNewsServer, newsServer) == ERROR_SUCCESS &&
           root.SetDword(kSmtpSecurity, static_cast<DWORD>(smtpSecurity)) == ERROR_SUCCESS &&
           root.SetDword(kNewsSecurity, static_cast<DWORD>(newsSecurity)) == ERROR_SUCCESS &&
           root.SetString(kSmtpUserName, smtpUserName) == ERROR_SUCCESS &&
           root.SetString(kNewsUserName, newsUserName) == ERROR_SUCCESS &&
           SavePassword(root, kSmtpPassword, smtpPassword) &&
           SavePassword(root, kNewsPassword, newsPassword) &&
           // Empty reads as absent: the null sender, and this computer's own name.
           root.SetString(kMyName, myName) == ERROR_SUCCESS &&
           root.SetString(kHostName, hostName) == ERROR_SUCCESS;
}

// ---- Pager ----------------------------------------------------------------------------

COptionsPgr::COptionsPgr(TelephonyMaker telephony, ProfileLister profiles)
    : makeTelephony_(telephony ? std::move(telephony)
                               : TelephonyMaker([] { return CTapi::MakeModemTelephony(); })),
      listProfiles_(std::move(profiles)) {}

void COptionsPgr::SetDefaults() {
    modems.clear();
    modemIndex = -1;
    pagerDelay = kDelayLow;
    faxProfiles.clear();
    faxProfileIndex = -1;
    faxProfile.clear();
    faxProgram.clear();
    modemDevices.clear();
    storedModem_.clear();
}

void COptionsPgr::LoadFrom(const RegKey& root) {
    storedModem_ = ReadString(root, kPagerModem);
    faxProfile = ReadString(root, kFaxProfile, kShownTextBuffer);
    DWORD delay = 0;
    if (root.GetDword(kPagerDelay, &delay) == ERROR_SUCCESS)
        pagerDelay = static_cast<int>(std::clamp<DWORD>(delay, kDelayLow, kDelayHigh));
    faxProgram = ReadString(root, kFaxProgram, kShownTextBuffer);
    std::string devices;
    for (const auto& device : ReadMultiString(root, kModemDevices)) devices += device + "\n";
    if (!devices.empty()) devices.pop_back();
    modemDevices = devices;
}

void COptionsPgr::AfterLoad() {
    {
        // The dialer and its telephony live only for this: once it is gone no notice of
        // the devices can reach it (its end shuts its application down before the
        // telephony itself goes).
        std::unique_ptr<Telephony> telephony = makeTelephony_ ? makeTelephony_() : nullptr;
        if (telephony) {
            CTapi dialer(telephony.get());
            if (dialer.Initialize(nullptr)) {
                std::string name;
                for (DWORD_T index = 0; dialer.GetDeviceName(index, name); ++index)
                    modems.push_back(name.empty() ? "Unknown Modem" : name);
            }
        }
    }
    // The list is sorted, as the user sees it.
    std::stable_sort(modems.begin(), modems.end(), [](const std::string& a, const std::string& b) {
        return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) <
               0;
    });
    if (listProfiles_)
        for (auto& profile : listProfiles_())
            if (!profile.empty()) faxProfiles.push_back(profile.substr(0, 127));
    std::stable_sort(faxProfiles.begin(), faxProfiles.end(),
                     [](const std::string& a, const std::string& b) {
                         return QString::fromStdString(a).compare(QString::fromStdString(b),
                                                                  Qt::CaseInsensitive) < 0;
                     });
    // Only the entry the stored text names, whole: a prefix search would pick the first
    // entry for an empty text and save it as if the user had chosen it.
    modemIndex = FindExact(modems, storedModem_);
    faxProfileIndex = FindExact(faxProfiles, faxProfile);
    if (faxProfileIndex >= 0) faxProfile = faxProfiles[static_cast<size_t>(faxProfileIndex)];
}

std::string COptionsPgr::pagerModem() const {
    return modemIndex >= 0 && static_cast<size_t>(modemIndex) < modems.size()
               ? modems[static_cast<size_t>(modemIndex)]
               : std::string{};
}

void COptionsPgr::SelectModem(int index) {
    modemIndex = index >= 0 && static_cast<size_t>(index) < modems.size() ? index : -1;
}

void COptionsPgr::SetFaxProfile(const std::string& text) {
    faxProfile = text;
    faxProfileIndex = FindExact(faxProfiles, text);
}

OptionsProblem COptionsPgr::Validate() const {
    if (pagerDelay < kDelayLow || pagerDelay > kDelayHigh)
        return {kDelaySlider, "Please enter an integer between " + std::to_string(kDelayLow) +
                                  " and " + std::to_string(kDelayHigh) + "."};
    // The fax sender reads the profile with a 252-byte buffer.
    if (auto m = CheckText(faxProfile, kNoCharacterLimit, kRootTextBytes); !m.empty())
        return {kFaxProfileBox, m};
    if (auto m = CheckText(faxProgram, kNoCharacterLimit, kPathBytes); !m.empty())
        return {kFaxProgramEdit, m};
    // The dialer reads the list with a 1024-byte buffer; a longer one would lose devices.
    std::vector<std::string> devices = Lines(modemDevices);
    size_t bytes = 1;
    for (const auto& d : devices) bytes += d.size() + 1;
    if (devices.empty()) bytes = 2;
    if (bytes > kListBuffer)
        return {kModemDevicesEdit, "The modem devices take " + std::to_string(bytes) +
                                       " bytes; please list them in no more than " +
                                       std::to_string(kListBuffer) + "."};
    if (modemDevices.find('\0') != std::string::npos)
        return {kModemDevicesEdit, "Please remove the NUL character."};
    return {};
}

bool COptionsPgr::SaveTo(OptionsValues& root) const {
    std::vector<std::string> devices = Lines(modemDevices);
    bool ok = root.SetString(kPagerModem, pagerModem()) == ERROR_SUCCESS &&
              root.SetDword(kPagerDelay, static_cast<DWORD>(pagerDelay)) == ERROR_SUCCESS &&
              root.SetString(kFaxProfile, faxProfile) == ERROR_SUCCESS &&
              root.SetString(kFaxProgram, faxProgram) == ERROR_SUCCESS;
    if (!ok) return false;
    // An empty list is no value at all: the dialer then searches the usual ports.
    if (devices.empty()) {
        LONG rc = root.DeleteValue(kModemDevices);
        return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
    }
    return root.SetValue(kModemDevices, REG_MULTI_SZ, EncodeMultiString(devices)) == ERROR_SUCCESS;
}

// ---- Helpers --------------------------------------------------------------------------

void COptionsHlp::SetDefaults() {
    webBrowser.clear();
    mailReader.clear();
    newsReader.clear();
}

void COptionsHlp::LoadFrom(const RegKey& root) {
    webBrowser = ReadString(root, kWebBrowser, kShownTextBuffer);
    mailReader = ReadString(root, kMailReader, kShownTextBuffer);
    newsReader = ReadString(root, kNewsReader, kShownTextBuffer);
}

OptionsProblem COptionsHlp::Validate() const {
    // Links are opened with the browser read through a 252-byte buffer.
    if (auto m = CheckText(webBrowser, kTextLimit, kRootTextBytes); !m.empty())
        return {kWebBrowserEdit, m};
    if (auto m = CheckText(mailReader, kTextLimit, kTextBytes); !m.empty())
        return {kMailReaderEdit, m};
    if (auto m = CheckText(newsReader, kTextLimit, kTextBytes); !m.empty())
        return {kNewsReaderEdit, m};
    return {};
}

bool COptionsHlp::SaveTo(OptionsValues& root) const {
    return root.SetString(kWebBrowser, webBrowser) == ERROR_SUCCESS &&
           root.SetString(kMailReader, mailReader) == ERROR_SUCCESS &&
           root.SetString(kNewsReader, newsReader) == ERROR_SUCCESS;
}

// ---- Messages -------------------------------------------------------------------------

void COptionsMsg::SetDefaults() {
    displayMesg = 0;
    autoStartLM = true;
    desktopNotifications = true;
}

void COptionsMsg::LoadFrom(const RegKey& root) {
    DWORD mode = ReadDword(root, kDisplayMesg, 0);
    displayMesg = mode <= 2 ? static_cast<int>(mode) : -1;
    // The start-up reads any value but 0 as on.
    autoStartLM = ReadDword(root, kAutoStartLM, 1) != 0;
    // As the log reads it: any value but 0 is on.
    desktopNotifications = ReadDword(root, kDesktopNotifications, 1) != 0;
}

bool COptionsMsg::SaveTo(OptionsValues& root) const {
    DWORD mode = displayMesg >= 0 && displayMesg <= 2 ? static_cast<DWORD>(displayMesg) : 0;
    return root.SetDword(kDisplayMesg, mode) == ERROR_SUCCESS &&
           root.SetDword(kAutoStartLM, autoStartLM ? 1 : 0) == ERROR_SUCCESS &&
           root.SetDword(kDesktopNotifications, desktopNotifications ? 1 : 0) == ERROR_SUCCESS;
}

// ---- Advanced -------------------------------------------------------------------------

void COptionsAdv::UseDefaults() {
    connectionTimeout = std::to_string(kDefaultConnectionTimeout);
    attempts = std::to_string(kDefaultAttempts);
    httpTimeout = std::to_string(kDefaultHttpTimeout);
    nntpTimeout = std::to_string(kDefaultNntpTimeout);
    pop3Timeout = std::to_string(kDefaultPop3Timeout);
    smtpTimeout = std::to_string(kDefaultSmtpTimeout);
    requestTimeLimit = std::to_string(kDefaultRequestTimeLimit);
    SetModified();
}

void COptionsAdv::SetDefaults() {
    UseDefaults();
    tlsCaFile.clear();
    followRedirects = true;
    httpMaxResponse = std::to_string(kDefaultHttpMaxResponse);
    dialUpProgram.clear();
    timeServerUrl.clear();
    webParallel = std::to_string(kDefaultWebParallelRequests);
    httpKeepAlive = true;
}

void COptionsAdv::LoadFrom(const RegKey& root) {
    connectionTimeout = Seconds(root, kTimeoutConnection, kDefaultConnectionTimeout);
    attempts = std::to_string(ReadDword(root, kConnectionAttempts, kDefaultAttempts));
    httpTimeout = Seconds(root, kTimeoutHttp, kDefaultHttpTimeout);
    nntpTimeout = Seconds(root, kTimeoutNntp, kDefaultNntpTimeout);
    pop3Timeout = Seconds(root, kTimeoutPop3, kDefaultPop3Timeout);
    smtpTimeout = Seconds(root, kTimeoutSmtp, kDefaultSmtpTimeout);
    tlsCaFile = ReadString(root, kTlsCaFile, kShownTextBuffer);
    followRedirects = ReadDword(root, kFollowRedirects, 1) != 0;
    httpMaxResponse = std::to_string(ReadDword(root, kHttpMaxResponse, kDefaultHttpMaxResponse));
    dialUpProgram = ReadString(root, kDialUpProgram, kShownTextBuffer);
    // 0 is read as the default wherever a request starts: shown as what it means.
    DWORD limit = ReadDword(root, kRequestTimeLimit, kDefaultRequestTimeLimit);
    requestTimeLimit = std::to_string(limit != 0 ? limit : kDefaultRequestTimeLimit);
    timeServerUrl = ReadString(root, kTimeServerUrl, kShownTextBuffer);
    // Shown as the run takes it: out of range is held to the nearer end.
    webParallel = std::to_string(
        std::clamp<DWORD>(ReadDword(root, kWebParallelRequests, kDefaultWebParallelRequests), 1,
                          kMaxWebParallelRequests));
    httpKeepAlive = ReadDword(root, kHttpKeepAlive, 1) != 0;
}

OptionsProblem COptionsAdv::Validate() const {
    struct Number {
        int field;
        const std::string& text;
        int64_t high;
    };
    const Number numbers[] = {
        {kConnectionTimeout, connectionTimeout, kTimeoutHigh},
        {kAttempts, attempts, kAttemptsHigh},
        {kHttpTimeout, httpTimeout, kTimeoutHigh},
        {kNntpTimeout, nntpTimeout, kTimeoutHigh},
        {kPop3Timeout, pop3Timeout, kTimeoutHigh},
        {kSmtpTimeout, smtpTimeout, kTimeoutHigh},
    };
    for (const auto& n : numbers)
        if (auto m = CheckInteger(n.text, 0, n.high, nullptr); !m.empty()) return {n.field, m};
    if (auto m = CheckText(tlsCaFile, kNoCharacterLimit, kPathBytes); !m.empty())
        return {kTlsCaFileEdit, m};
    // 0 would cut every web response off at its first byte.
    if (auto m = CheckInteger(httpMaxResponse, kMaxResponseLow, std::numeric_limits<DWORD>::max(),
                              nullptr);
        !m.empty())
        return {kHttpMaxResponseEdit, m};
    if (auto m = CheckText(dialUpProgram, kNoCharacterLimit, kRootTextBytes); !m.empty())
        return {kDialUpProgramEdit, m};
    if (auto m = CheckInteger(requestTimeLimit, kRequestLimitLow, kRequestLimitHigh, nullptr);
        !m.empty())
        return {kRequestTimeLimitEdit, m};
    if (auto m = CheckText(timeServerUrl, kNoCharacterLimit, kTimeServerUrlBytes); !m.empty())
        return {kTimeServerUrlEdit, m};
    // Empty is the built-in service; anything else must be an address the clock step asks.
    if (!timeServerUrl.empty() && !IsTimeServerUrl(timeServerUrl))
        return {kTimeServerUrlEdit, "The link is not formed correctly."};
    if (auto m = CheckInteger(webParallel, 1, kMaxWebParallelRequests, nullptr); !m.empty())
        return {kWebParallelEdit, m};
    return {};
}

bool COptionsAdv::SaveTo(OptionsValues& root) const {
    auto ms = [](const std::string& seconds) { return static_cast<DWORD>(Parsed(seconds) * 1000); };
    return root.SetDword(kConnectionAttempts, static_cast<DWORD>(Parsed(attempts))) ==
               ERROR_SUCCESS &&
           root.SetDword(kTimeoutConnection, ms(connectionTimeout)) == ERROR_SUCCESS &&
           root.SetDword(kTimeoutHttp, ms(httpTimeout)) == ERROR_SUCCESS &&
           root.SetDword(kTimeoutSmtp, ms(smtpTimeout)) == ERROR_SUCCESS &&
           root.SetDword(kTimeoutNntp, ms(nntpTimeout)) == ERROR_SUCCESS &&
           root.SetDword(kTimeoutPop3, ms(pop3Timeout)) == ERROR_SUCCESS &&
           root.SetString(kTlsCaFile, tlsCaFile) == ERROR_SUCCESS &&
           root.SetDword(kFollowRedirects, followRedirects ? 1 : 0) == ERROR_SUCCESS &&
           root.SetDword(kHttpMaxResponse, static_cast<DWORD>(Parsed(httpMaxResponse))) ==
               ERROR_SUCCESS &&
           root.SetString(kDialUpProgram, dialUpProgram) == ERROR_SUCCESS &&
           root.SetDword(kRequestTimeLimit, static_cast<DWORD>(Parsed(requestTimeLimit))) ==
               ERROR_SUCCESS &&
           // Empty reads as absent: the built-in service.
           root.SetString(kTimeServerUrl, timeServerUrl) == ERROR_SUCCESS &&
           root.SetDword(kWebParallelRequests, static_cast<DWORD>(Parsed(webParallel))) ==
               ERROR_SUCCESS &&
           root.SetDword(kHttpKeepAlive, httpKeepAlive ? 1 : 0) == ERROR_SUCCESS;
}

void COptionsAdv::AfterLoad() {
    startAtLogin = startAtLoginAsLoaded_ = Autostart::IsOn();
    autostartError_.clear();
}

bool COptionsAdv::SaveOutsideStore() {
    autostartError_.clear();
    // Untouched, the entry is left as the desktop's session settings may have made it.
    if (startAtLogin == startAtLoginAsLoaded_) return true;
    if (!Autostart::Set(startAtLogin, Autostart::CurrentLaunch(), &autostartError_)) return false;
    startAtLoginAsLoaded_ = startAtLogin;
    return true;
}

// ---- Proxy ----------------------------------------------------------------------------

void COptionsProxy::SetDefaults() {
    useProxy = false;
    proxyServer.clear();
    proxyPort = std::to_string(kDefaultProxyPort);
}

void COptionsProxy::LoadFrom(const RegKey& root) {
    useProxy = IsSet(root, kUseProxy);
    proxyServer = ReadString(root, kProxyServer, kShownTextBuffer);
    proxyPort = std::to_string(ReadDword(root, kProxyPort, kDefaultProxyPort));
}

OptionsProblem COptionsProxy::Validate() const {
    if (auto m = CheckText(proxyServer, kNoCharacterLimit, kRootTextBytes); !m.empty())
        return {kAddressEdit, m};
    // A port past 65535 would wrap to another port when connecting.
    if (auto m = CheckInteger(proxyPort, 1, 65535, nullptr); !m.empty()) return {kPortEdit, m};
    return {};
}

bool COptionsProxy::SaveTo(OptionsValues& root) const {
    return root.SetDword(kProxyPort, static_cast<DWORD>(Parsed(proxyPort))) == ERROR_SUCCESS &&
           root.SetDword(kUseProxy, useProxy ? 1 : 0) == ERROR_SUCCESS &&
           root.SetString(kProxyServer, proxyServer) == ERROR_SUCCESS;
}

// ---- the sheet ------------------------------------------------------------------------

COptionsSheet::COptionsSheet(COptionsPgr::TelephonyMaker telephony,
                             COptionsPgr::ProfileLister profiles) {
    auto servers = std::make_unique<COptionsSvr>();
    auto pager = std::make_unique<COptionsPgr>(std::move(telephony), std::move(profiles));
    auto helpers = std::make_unique<COptionsHlp>();
    auto messages = std::make_unique<COptionsMsg>();
    auto advanced = std::make_unique<COptionsAdv>();
    auto proxy = std::make_unique<COptionsProxy>();
    servers_ = servers.get();
    pager_ = pager.get();
    helpers_ = helpers.get();
    messages_ = messages.get();
    advanced_ = advanced.get();
    proxy_ = proxy.get();
    pages_.push_back(std::move(servers));
    pages_.push_back(std::move(pager));
    pages_.push_back(std::move(helpers));
    pages_.push_back(std::move(messages));
    pages_.push_back(std::move(advanced));
    pages_.push_back(std::move(proxy));
}

void COptionsSheet::Display(int index) {
    COptionsPage& p = page(index);
    if (!p.loaded()) p.Load();
}

bool COptionsSheet::applyEnabled() const {
    return std::any_of(pages_.begin(), pages_.end(),
                       [](const auto& p) { return p->loaded() && p->modified(); });
}

COptionsSheet::Outcome COptionsSheet::Confirm() {
    Outcome outcome;
    // A page the user did not change whose stored values it cannot take (another program
    // wrote them) is left as stored: refusing it would hold the user on values they never
    // touched, and saving it would replace them.
    bool leaveAlone[kPageCount] = {};
    for (int i = 0; i < kPageCount; ++i) {
        COptionsPage& p = page(i);
        if (!p.loaded()) continue;
        if (OptionsProblem problem = p.Validate()) {
            if (!p.touched()) {
                leaveAlone[i] = true;
                continue;
            }
            outcome.page = i;
            outcome.problem = std::move(problem);
            return outcome;
        }
    }
    for (int i = 0; i < kPageCount; ++i) {
        COptionsPage& p = page(i);
        if (p.loaded() && !leaveAlone[i] && !p.Save()) outcome.saveFailed = true;
    }
    return outcome;
}

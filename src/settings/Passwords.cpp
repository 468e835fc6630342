#include "settings/Passwords.h"

#include <QRandomGenerator>
#include <cstdio>

#include "platform/Secrets.h"
#include "platform/SessionBus.h"
#include "settings/Settings.h"

namespace settings {

namespace {

// A NUL first: every text reader of the store stops there and sees an empty value.
constexpr std::string_view kMarkerTag("\0quorvane-keyring:", 18);
// A key is an id and a path: far below this.
constexpr size_t kMaxMarker = 16 * 1024;

std::string Where(const RegKey& key) {
    std::string name;
    if (key.QueryName(&name) != ERROR_SUCCESS || name.empty() ||
        RegistryFoldName(name) == RegistryFoldName("CurrentVersion"))
        return {};
    return " of event " + name;
}

std::string WhyNot(const secrets::Result& r) {
    switch (r.outcome) {
        case secrets::Outcome::kNotFound:
            return "the keyring holds no such item (the store may come from another session or "
                   "machine); please enter the password again";
        case secrets::Outcome::kNoKeyring:
            return "no desktop keyring is running" +
                   (r.detail.empty() ? "" : " (" + r.detail + ")");
        case secrets::Outcome::kNoAnswer:
            return r.detail;
        default:
            return "the keyring refused it: " + r.detail;
    }
}

// Every password value of the store, with the key that holds it.
template <typename Visit>
void ForEachPasswordValue(Visit visit) {
    RegKey root;
    if (root.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) return;
    visit(root, kSmtpPassword);
    visit(root, kNewsPassword);
    std::vector<std::string> names;
    std::string name;
    for (DWORD i = 0; root.EnumKey(i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    for (const std::string& event : names) {
        RegKey key;
        if (key.Open(root, event) != ERROR_SUCCESS) continue;
        DWORD kind = ReadDword(key, kType, 0);
        if (kind == kMailMonitor) visit(key, kPopPassword);
        if (kind == kSchedule) visit(key, kAccountPasswd);
    }
}

// Whether a value of the store holds a password as text, to be moved to a keyring.
bool HeldAsText(const RegKey& key, const char* name, DWORD* type, Bytes* data, std::string* text) {
    if (key.QueryValue(name, type, data) != ERROR_SUCCESS) return false;
    if (ParseSecretMarker(*type, *data, nullptr)) return false;
    return key.GetString(name, text, data->size() + 1) == ERROR_SUCCESS && !text->empty();
}

PasswordRead ReadAt(const RegKey& key, const char* name, size_t capacity, std::string* text,
                    std::string* problem, const std::string& where) {
    text->clear();
    DWORD type = 0;
    Bytes data;
    LONG rc = key.QueryValue(name, &type, &data, std::max(capacity, kMaxMarker));
    std::string keyringKey;
    if (rc == ERROR_SUCCESS && ParseSecretMarker(type, data, &keyringKey)) {
        auto keyring = secrets::Current();
        secrets::Result r{secrets::Outcome::kNoKeyring, {}};
        std::string secret;
        if (keyring) r = keyring->Read(keyringKey, &secret);
        if (!r.ok()) {
            if (problem)
                *problem = "The password " + std::string(name) + where +
                           " is kept in the desktop keyring, but " + WhyNot(r) + ".";
            return PasswordRead::kUnavailable;
        }
        if (secret.size() + 1 > capacity) return PasswordRead::kTooLong;
        *text = std::move(secret);
        return PasswordRead::kOk;
    }
    // Any other value is text, read as every reader of the store reads text.
    rc = key.GetString(name, text, capacity);
    if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return PasswordRead::kOk;
    text->clear();
    return rc == ERROR_MORE_DATA ? PasswordRead::kTooLong : PasswordRead::kOk;
}

}  // namespace

bool ParseSecretMarker(DWORD type, const Bytes& data, std::string* keyringKey) {
    if (type != REG_BINARY || data.size() <= kMarkerTag.size() || data.size() > kMaxMarker)
        return false;
    if (!std::equal(kMarkerTag.begin(), kMarkerTag.end(), data.begin())) return false;
    if (keyringKey) keyringKey->assign(data.begin() + kMarkerTag.size(), data.end());
    return true;
}

Bytes MakeSecretMarker(const std::string& keyringKey) {
    std::string text(kMarkerTag);
    text += keyringKey;
    return Bytes(text.begin(), text.end());
}

std::string NewKeyringKey() {
    char id[33];
    QRandomGenerator* random = QRandomGenerator::system();
    for (int i = 0; i < 4; ++i)
        std::snprintf(id + i * 8, 9, "%08x", static_cast<unsigned>(random->generate()));
    auto store = Registry::Current();
    return std::string(id, 32) + " " + (store ? store->Path() : std::string());
}

PasswordRead ReadPassword(const RegKey& key, const char* name, size_t capacity, std::string* text,
                          std::string* problem, bool nameEvent) {
    return ReadAt(key, name, capacity, text, problem, nameEvent ? Where(key) : std::string());
}

PasswordRead ReadRootPassword(const char* name, size_t capacity, std::string* text,
                              std::string* problem) {
    RegKey root;
    if (root.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) {
        text->clear();
        return PasswordRead::kOk;
    }
    return ReadAt(root, name, capacity, text, problem, {});
}

bool PreparePassword(const std::string& password, DWORD* type, Bytes* data, std::string* problem) {
    auto keyring = secrets::Current();
    // A keyring still starting when the program did may be there now: asked again (one
    // bounded wait) rather than the password going into the store without a word.
    if (password.empty() || !keyring || (!keyring->Available() && !keyring->Probe(nullptr))) {
        *type = REG_SZ;
        data->assign(password.begin(), password.end());
        data->push_back(0);
        return true;
    }
    std::string keyringKey = NewKeyringKey();
    secrets::Result r = keyring->Write(keyringKey, password);
    if (!r.ok()) {
        // The keyring answered before: a password that silently went into the store instead
        // would stay there, unknown to the user.
        if (problem)
            *problem =
                "The password could not be stored in the desktop keyring: " + WhyNot(r) + ".";
        return false;
    }
    *type = REG_BINARY;
    *data = MakeSecretMarker(keyringKey);
    return true;
}

bool WritePassword(RegKey& key, const char* name, const std::string& password,
                   std::string* problem) {
    DWORD type = 0;
    Bytes data;
    if (!PreparePassword(password, &type, &data, problem)) return false;
    if (key.SetValue(name, type, data) != ERROR_SUCCESS) {
        // The item just written is this write's own: nothing else points to it.
        std::string newKey;
        if (ParseSecretMarker(type, data, &newKey)) secrets::Current()->Remove(newKey);
        if (problem) *problem = "The password " + std::string(name) + " could not be stored.";
        return false;
    }
    return true;
}

std::vector<std::string> MovePasswordsToKeyring() {
    std::vector<std::string> problems;
    auto keyring = secrets::Current();
    auto store = Registry::Current();
    if (!keyring || !keyring->Available() || !store) return problems;
    bool keyringAnswers = true;
    ForEachPasswordValue([&](RegKey& key, const char* name) {
        if (!keyringAnswers) return;
        DWORD type = 0;
        Bytes data;
        std::string text;
        if (!HeldAsText(key, name, &type, &data, &text)) return;
        const std::string what = "The password " + std::string(name) + Where(key);
        std::string keyringKey = NewKeyringKey();
        secrets::Result r = keyring->Write(keyringKey, text);
        std::string back;
        if (r.ok()) r = keyring->Read(keyringKey, &back);
        if (r.ok() && back != text)
            r = {secrets::Outcome::kFailed, "it gave back another text than it was given"};
        if (!r.ok()) {
            problems.push_back(what +
                               " stays in the settings store: it could not be moved to "
                               "the desktop keyring, as " +
                               WhyNot(r) + ".");
            keyring->Remove(keyringKey);
            // A keyring that stopped answering would only make every other one wait too.
            keyringAnswers = r.outcome != secrets::Outcome::kNoAnswer &&
                             r.outcome != secrets::Outcome::kNoKeyring;
            return;
        }
        // The value is replaced only as it was read: a change made meanwhile wins.
        Registry::Transaction step(*store);
        DWORD nowType = 0;
        Bytes now;
        bool same = step.open() && key.QueryValue(name, &nowType, &now) == ERROR_SUCCESS &&
                    nowType == type && now == data;
        if (!same ||
            key.SetValue(name, REG_BINARY, MakeSecretMarker(keyringKey)) != ERROR_SUCCESS ||
            !step.Commit()) {
            keyring->Remove(keyringKey);
            if (!same) return;
            problems.push_back(what + " stays in the settings store: " + store->LastError());
        }
    });
    return problems;
}

bool HasPasswordsAsText() {
    bool found = false;
    ForEachPasswordValue([&](const RegKey& key, const char* name) {
        DWORD type = 0;
        Bytes data;
        std::string text;
        if (!found && HeldAsText(key, name, &type, &data, &text)) found = true;
    });
    return found;
}

std::vector<std::string> LateKeyringMover::Tick(std::chrono::steady_clock::time_point now) {
    std::vector<std::string> told;
    if (last_ && now - *last_ < kEvery) return told;
    last_ = now;
    auto keyring = secrets::Current();
    if (!keyring || !Registry::Current() || !HasPasswordsAsText()) return told;
    if (!keyring->Available() && !keyring->Probe(nullptr)) return told;
    // Texts that vary from minute to minute must not make the set grow without end.
    if (told_.size() > 256) told_.clear();
    for (std::string& problem : MovePasswordsToKeyring())
        if (told_.insert(problem).second) told.push_back(std::move(problem));
    return told;
}

}  // namespace settings

namespace settings {

void UseDesktopKeyring() {
    // No session bus, no keyring: asking for one would have the bus library start a bus.
    if (SessionBusAddress().empty()) return;
    std::shared_ptr<secrets::ThreadedKeyring> keyring = secrets::DesktopKeyring();
    keyring->Probe(nullptr);
    secrets::Install(keyring);
}

}  // namespace settings

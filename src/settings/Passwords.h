#pragma once

// The passwords of the store: SmtpPassword and NewsPassword of the settings root, PopPassword
// of a mail event and AccountPasswd of a schedule. Every reader and writer of them goes
// through here.
//
// Where a desktop keyring is running, the store holds a marker in place of the password: a
// REG_BINARY value that begins with a NUL byte (so no reader can take it for text, and no
// password a user types can look like it) and names the keyring item. Without a keyring
// the password stays in the store (mode 0600) as plain text.

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace settings {

// The keyring item a stored value points to, when it is a marker.
bool ParseSecretMarker(DWORD type, const Bytes& data, std::string* keyringKey);
Bytes MakeSecretMarker(const std::string& keyringKey);
// A new item's key: a random id and the store file it belongs to.
std::string NewKeyringKey();

enum class PasswordRead {
    kOk,           // *text holds the password (empty when none is set)
    kTooLong,      // longer than capacity allows (NUL included), as GetString refuses it
    kUnavailable,  // a marker whose keyring did not give the password; *problem says why
};

// The password name of key: the text stored, or the keyring item a marker names. *problem
// names the event of key unless nameEvent is false (a record that names it already).
PasswordRead ReadPassword(const RegKey& key, const char* name, size_t capacity, std::string* text,
                          std::string* problem, bool nameEvent = true);
PasswordRead ReadRootPassword(const char* name, size_t capacity, std::string* text,
                              std::string* problem);

// Stores a new password in key: in the keyring with a marker when one is available (asked
// again when none has answered yet), else as text. An empty password is stored as an empty
// text. False with the reason in *problem when nothing was changed.
//
// An item a replaced or removed marker pointed to is never removed: a copied event, a copied
// store file or an undone change may still point to it. Stale items are left to the user's
// keyring manager.
bool WritePassword(RegKey& key, const char* name, const std::string& password,
                   std::string* problem);
// What WritePassword would store, for a writer that gathers values before it writes them:
// the item is written now, the marker (or text) returned.
bool PreparePassword(const std::string& password, DWORD* type, Bytes* data, std::string* problem);

// Makes the desktop keyring the one the readers and writers use (after the Qt application
// is made). Writers use it when it answered here; readers of a marker ask it either way.
void UseDesktopKeyring();

// Moves every password still held as text in the store to the keyring, when one is
// available: the item is written and read back first, then the value is replaced by its
// marker in one step of the store, so a kill at any moment leaves the password in one place
// or the other. Returns one text per password that could not be moved.
std::vector<std::string> MovePasswordsToKeyring();

// Whether any password of the store is held as text (the store alone is read).
bool HasPasswordsAsText();

// For a program that keeps running: moves the passwords still held as text to a keyring that
// was not there at start (still starting at log-in) once it is. At most once a minute; no
// question to the keyring while the store holds no password as text; one that has not
// answered yet is asked again (one bounded wait). Returns the problems not told before.
class LateKeyringMover {
public:
    static constexpr std::chrono::seconds kEvery{60};
    std::vector<std::string> Tick(std::chrono::steady_clock::time_point now);

private:
    std::optional<std::chrono::steady_clock::time_point> last_;
    std::set<std::string> told_;
};

}  // namespace settings

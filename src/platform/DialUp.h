#pragma once

// Dial-up networking in the shape of the Windows Remote Access Service: look up a phone-book
// entry, dial it asynchronously with progress reported as the "RasDialEvent" message, turn
// error codes into text, hang up. On Linux an entry is a NetworkManager connection and the
// work is done by `nmcli`.

#include <QPointer>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/TempFile.h"
#include "platform/Window.h"

class QProcess;

using HRASCONN = uintptr_t;

// Connection states reported as the message's wParam.
inline constexpr WPARAM RASCS_OpenPort = 0;
inline constexpr WPARAM RASCS_PortOpened = 1;
inline constexpr WPARAM RASCS_Authenticate = 5;
inline constexpr WPARAM RASCS_Authenticated = 14;
inline constexpr WPARAM RASCS_Connected = 0x2000;

// Error codes, numbered as the dial-up system numbers them.
inline constexpr uint32_t ERROR_PORT_ALREADY_OPEN = 602;
inline constexpr uint32_t ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;
inline constexpr uint32_t ERROR_CANNOT_LOAD_PHONEBOOK = 622;
inline constexpr uint32_t ERROR_DISCONNECTION = 628;
inline constexpr uint32_t ERROR_NO_ANSWER = 678;
inline constexpr uint32_t ERROR_AUTHENTICATION_FAILURE = 691;
inline constexpr uint32_t ERROR_FROM_DEVICE = 651;

// The name of the registered progress message.
inline constexpr const char* kRasDialEventName = "RasDialEvent";

struct RasDialParams {
    std::string entryName;
    std::string userName;
    std::string password;
};

class DialUp {
public:
    virtual ~DialUp() = default;

    // The entry's stored parameters. passwordSaved tells whether the system keeps a
    // password for it. 0 or an error code.
    virtual uint32_t GetEntryDialParams(const std::string& entry, RasDialParams* params,
                                        bool* passwordSaved) = 0;
    // Starts dialing. Progress arrives at notifier as the "RasDialEvent" message with the
    // state in wParam and an error code in lParam. 0 when dialing started, else an error
    // code; *connection may be set in either case and is then to be hung up.
    virtual uint32_t Dial(const RasDialParams& params, CWindow* notifier, HRASCONN* connection) = 0;
    // One sentence for an error code.
    virtual std::string GetErrorString(uint32_t code) = 0;
    virtual uint32_t HangUp(HRASCONN connection) = 0;

    // The text of the codes above, as the dial-up system gives them.
    static std::string StandardErrorText(uint32_t code);
};

// Dials through NetworkManager's command-line client (or a program that answers like it).
// Returns nullptr when the program cannot be found: dial-up is then missing altogether.
class NmcliDialUp final : public DialUp {
public:
    static std::unique_ptr<NmcliDialUp> Load(const std::string& program);
    ~NmcliDialUp() override;

    uint32_t GetEntryDialParams(const std::string& entry, RasDialParams* params,
                                bool* passwordSaved) override;
    uint32_t Dial(const RasDialParams& params, CWindow* notifier, HRASCONN* connection) override;
    std::string GetErrorString(uint32_t code) override;
    uint32_t HangUp(HRASCONN connection) override;

private:
    explicit NmcliDialUp(std::string program) : program_(std::move(program)) {}
    // Runs the program to the end; false when it could not run or failed.
    bool RunSync(const std::vector<std::string>& args, std::string* out, int* exitCode);
    bool ListNames(bool activeOnly, std::vector<std::string>* names, std::string* why);
    // Reads the entry's connection type and whether NetworkManager keeps its password.
    bool PasswordKept(const std::string& entry);

    // Where a connection type takes the account: the lines of nmcli's passwd-file.
    struct SecretKeys {
        std::string password;  // e.g. "gsm.password"
        std::string userName;  // e.g. "gsm.username"; empty when the type has none
    };
    struct Call {
        std::string entry;
        QProcess* process = nullptr;        // the pending "up", while dialing
        std::unique_ptr<TempFile> secrets;  // the passwd-file, while "up" may read it
    };
    std::string program_;
    std::map<std::string, SecretKeys> secretKeys_;  // by entry, from GetEntryDialParams
    std::map<HRASCONN, Call> calls_;
    HRASCONN nextHandle_ = 1;
    std::map<uint32_t, std::string> details_;  // what the program said with each error
};

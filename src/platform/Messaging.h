#pragma once

// Outgoing messages in the shape of Simple MAPI: log on, send one message, log off, with
// the same result codes. The only messages this program sends this way are faxes (one
// recipient whose address is "FAX:" and a number), so on Linux the work is done by a fax
// client command such as HylaFAX's `sendfax`: the note text goes to it as a file, each
// attachment as a further file.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

using LHANDLE = uintptr_t;

// Result codes.
inline constexpr uint32_t SUCCESS_SUCCESS = 0;
inline constexpr uint32_t MAPI_E_FAILURE = 2;
inline constexpr uint32_t MAPI_E_LOGIN_FAILURE = 3;
inline constexpr uint32_t MAPI_E_ATTACHMENT_OPEN_FAILURE = 12;
inline constexpr uint32_t MAPI_E_UNKNOWN_RECIPIENT = 14;
inline constexpr uint32_t MAPI_E_BAD_RECIPTYPE = 15;
inline constexpr uint32_t MAPI_E_INVALID_SESSION = 19;
inline constexpr uint32_t MAPI_E_INVALID_RECIPS = 25;

// Flags.
inline constexpr uint32_t MAPI_LOGON_UI = 0x1;
inline constexpr uint32_t MAPI_DIALOG = 0x8;

// Recipient classes.
inline constexpr uint32_t MAPI_ORIG = 0;
inline constexpr uint32_t MAPI_TO = 1;

struct MapiRecipDesc {
    uint32_t recipClass = MAPI_TO;
    std::string name;
    std::string address;  // "FAX:" + number for a fax
};

struct MapiFileDesc {
    long position = -1;
    std::string pathName;  // the file to send
    std::string fileName;  // the name it goes by, empty for the file's own
};

struct MapiMessage {
    std::string subject;
    std::string noteText;
    uint32_t flags = 0;
    MapiRecipDesc originator{MAPI_ORIG, {}, {}};
    std::vector<MapiRecipDesc> recips;
    std::vector<MapiFileDesc> files;
};

class Messaging {
public:
    virtual ~Messaging() = default;
    // uiParam is the window that would own a dialog; flags 0 or MAPI_LOGON_UI.
    virtual uint32_t MAPILogon(uintptr_t uiParam, const std::string& profile,
                               const std::string& password, uint32_t flags, LHANDLE* session) = 0;
    // session 0 sends without a logon of its own. flags 0 or MAPI_DIALOG.
    virtual uint32_t MAPISendMail(LHANDLE session, uintptr_t uiParam, const MapiMessage& message,
                                  uint32_t flags) = 0;
    virtual uint32_t MAPILogoff(LHANDLE session, uintptr_t uiParam) = 0;
    // What went wrong with the last call that failed, in a few words (empty when nothing
    // more is known than the code).
    virtual std::string LastErrorText() const = 0;
};

// Sends faxes through a fax client command, started with an argument vector (never a
// shell): `PROGRAM -n -d NAME@NUMBER TEXTFILE [ATTACHMENT...]`, which is what HylaFAX's
// sendfax takes (-n: no cover page, the note text carries the message's own header lines).
class FaxClientMessaging final : public Messaging {
public:
    // The program (a bare name is looked up in PATH); nullptr with *why set when it cannot
    // be found or run: the messaging system is then not there at all.
    static std::unique_ptr<FaxClientMessaging> Load(const std::string& program, std::string* why);

    uint32_t MAPILogon(uintptr_t uiParam, const std::string& profile, const std::string& password,
                       uint32_t flags, LHANDLE* session) override;
    uint32_t MAPISendMail(LHANDLE session, uintptr_t uiParam, const MapiMessage& message,
                          uint32_t flags) override;
    uint32_t MAPILogoff(LHANDLE session, uintptr_t uiParam) override;
    std::string LastErrorText() const override { return lastError_; }

    // The longest the fax client may take before it is stopped: the mail session that
    // faxes waits meanwhile, and a client that hangs (a server that never answers, a
    // prompt for a password) must not hold the run.
    void SetTimeLimit(std::chrono::milliseconds limit) { timeLimit_ = limit; }
    const std::string& program() const { return program_; }

    // How much of the client's standard error is kept for the error text.
    static constexpr size_t kErrorTextMax = 160;

private:
    explicit FaxClientMessaging(std::string program) : program_(std::move(program)) {}
    uint32_t Fail(uint32_t code, std::string text);
    // Runs the client to its end or the time limit; SUCCESS_SUCCESS when it exited 0.
    uint32_t Run(const std::vector<std::string>& args);

    std::string program_;
    std::chrono::milliseconds timeLimit_{std::chrono::seconds(60)};
    std::string lastError_;
    LHANDLE nextSession_ = 1;
    std::vector<LHANDLE> sessions_;
};

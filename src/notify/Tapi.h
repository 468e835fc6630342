#pragma once

// The pager dialer: opens the first usable telephony line, places one call whose address
// carries the pager number, the pauses and the numeric message, keeps it up until the
// caller's countdown hangs up, and says in one sentence why a call failed. Dialing blocks
// its caller but keeps the event loop turning, so timers, notifications and the user
// interface go on meanwhile; re-entry is kept out by flags.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "notify/PagerDialer.h"
#include "platform/Telephony.h"

class CTapi final : public PagerDialer {
public:
    // telephony: the line devices; nullptr when there are none at all (every line call then
    // fails as if the telephony library were missing).
    explicit CTapi(Telephony* telephony);
    ~CTapi() override;
    CTapi(const CTapi&) = delete;
    CTapi& operator=(const CTapi&) = delete;

    // The modems options finds and those the root value "ModemDevices" names.
    static std::unique_ptr<Telephony> MakeModemTelephony(ModemTelephony::Options options = {});

    // 1 when telephony is ready, else 0 with the reason in statusText. dialString (or
    // nullptr) is kept as the number.
    int Initialize(const char* dialString);
    // The name of the first usable device at or after index (moved to it): 1, or 0 when
    // there is none.
    int GetDeviceName(DWORD_T& index, std::string& name);

    int Dial(const std::string& dialString) override;
    void StopCall(int code) override;
    // 1, or 0 when the call's status could not be read and telephony was shut down.
    int Stop(int code);
    std::string statusText() const override { return statusText_; }
    int pauseCount() const override { return pauseCount_; }

    int result() const { return result_; }
    bool callInProgress() const { return callInProgress_; }
    DWORD_T deviceCount() const { return deviceCount_; }
    DWORD_T deviceId() const { return deviceId_; }
    // The longest a wait for the telephony system may take, in milliseconds.
    void SetWaitLimit(int64_t milliseconds) { waitLimit_ = milliseconds; }

    // The longest dial string a modem's command line takes.
    static constexpr size_t kNumberLimit = ModemTelephony::kAddressLimit;
    // The characters a pager call may dial: digits, "*", "#", pauses, "(", ")", "-" and
    // blanks. Anything else could end the modem's command and start another.
    static bool IsDialable(const std::string& text);

    // The notification entry point (public for the telephony callback).
    void OnNotice(uintptr_t device, DWORD_T message, uintptr_t p1, uintptr_t p2, uintptr_t p3);

private:
    int CheckLineResult(LONG_T result);
    bool FindLine(DWORD_T& index, LineDevCaps* caps);
    // *dialSent: the modem answered and was given the dial command.
    int PlaceCall(bool* dialSent);
    int WaitForReply(LONG_T request);
    void WaitForCallEnd();
    void OnCallState(uintptr_t device, DWORD_T state, DWORD_T mode);
    void ShutdownTapi();
    // sentence, with what the modem said or why it said nothing.
    std::string WithModemText(std::string sentence) const;

    Telephony* telephony_;
    DWORD_T deviceCount_ = 0;
    DWORD_T deviceId_ = 0;
    bool shuttingDown_ = false;
    bool stopping_ = false;
    bool initializing_ = false;
    bool callInProgress_ = false;
    bool waitEnded_ = false;
    // The modem said OK (or CONNECT) to the dial command.
    bool dialConfirmed_ = false;
    // A device vanished or could not be opened: search again before the next call.
    bool searchAgain_ = false;
    // Dials refused while another call ran; the StopCall each caller makes afterwards
    // belongs to its own refused dial, not to the call in progress.
    int refusedDials_ = 0;
    std::string statusText_;
    int result_ = 0;
    int pauseCount_ = 8;
    HLINEAPP lineApp_ = 0;
    HCALL call_ = 0;
    HLINE line_ = 0;
    DWORD_T apiVersion_ = 0;
    std::string number_;
    int64_t waitLimit_ = 300000;
    // Replies of the requests waited for, by request id.
    std::set<LONG_T> awaited_;
    std::map<LONG_T, LONG_T> replies_;
};

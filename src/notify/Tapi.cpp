#include "notify/Tapi.h"

#include <algorithm>
#include <chrono>

#include "platform/Window.h"
#include "settings/Settings.h"

namespace {

constexpr DWORD_T kAllOnes = 0xFFFFFFFF;

// Where the program's diagnostics go; quiet unless someone looks with a debugger.
void Trace(const char*) {}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One turn of the loop: whatever is waiting, or a short wait for the next thing to come.
void TakeOneTurn() {
    CWindow::WaitForMessages(20);
}

const char* DisconnectText(DWORD_T mode) {
    switch (mode) {
        case 0x1:
            return "Remote Party Disconnected";
        case 0x2:
            return "Disconnected: Unknown reason";
        case 0x4:
            return "Remote Party rejected call";
        case 0x8:
            return "Disconnected: Local phone picked up";
        case 0x10:
            return "Disconnected: Forwarded";
        case 0x20:
            return "Disconnected: Busy";
        case 0x40:
            return "Disconnected: No Answer";
        case 0x80:
            return "Disconnected: Bad Address";
        case 0x100:
            return "Disconnected: Unreachable";
        case 0x200:
            return "Disconnected: Congestion";
        case 0x400:
            return "Disconnected: Incompatible";
        case 0x800:
            return "Disconnected: Unavail";
        case 0x1000:
            return "Disconnected: No Dial Tone";
        default:
            return "Disconnected: LINECALLSTATE; Bad Reason";
    }
}

}  // namespace

CTapi::CTapi(Telephony* telephony) : telephony_(telephony) {}

CTapi::~CTapi() {
    // No notice may reach a dialer that is gone.
    if (telephony_ && lineApp_ != 0) {
        if (line_ != 0) telephony_->lineClose(line_);
        telephony_->lineShutdown(lineApp_);
    }
}

std::unique_ptr<Telephony> CTapi::MakeModemTelephony(ModemTelephony::Options options) {
    options.listedDevices = [] {
        RegKey root;
        if (root.Open(RegKey::LocalMachine(), settings::kRoot) != ERROR_SUCCESS)
            return std::vector<std::string>{};
        return settings::ReadMultiString(root, settings::kModemDevices);
    };
    return std::make_unique<ModemTelephony>(std::move(options));
}

bool CTapi::IsDialable(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == ',' || c == '(' || c == ')' ||
               c == '-' || c == ' ';
    });
}

std::string CTapi::WithModemText(std::string sentence) const {
    std::string said = telephony_ && line_ != 0 ? telephony_->lineModemText(line_) : "";
    if (said.empty()) return sentence;
    while (!sentence.empty() && sentence.back() == '\n') sentence.pop_back();
    return sentence + " (" + said + ")";
}

int CTapi::CheckLineResult(LONG_T result) {
    if (result > 0) return 0;
    if (result == 0) return 1;
    if (result == LINEERR_INIFILECORRUPT || result == LINEERR_INVALCARD ||
        result == LINEERR_INVALLOCATION)
        statusText_ = "The values in the INI file are invalid.\n";
    else if (result == LINEERR_NODRIVER)
        statusText_ = "There is a problem with your Telephony device driver.\n";
    else if (result == LINEERR_NOMEM)
        statusText_ = "Out of memory. Cancelling action.\n";
    else if (result == LINEERR_OPERATIONFAILED)
        statusText_ = "The TAPI operation failed.\n";
    else if (result == LINEERR_NOMULTIPLEINSTANCE)
        statusText_ = "Remove one of your copies of your Telephony driver.\n";
    else if (result == LINEERR_REINIT) {
        if (lineApp_ != 0 && !shuttingDown_) ShutdownTapi();
    } else
        statusText_ = "A TAPI resource is unavailable at this time.\n";
    return 0;
}

int CTapi::Initialize(const char* dialString) {
    pauseCount_ = 8;
    if (lineApp_ != 0) return 1;
    if (initializing_) return 0;
    initializing_ = true;
    LONG_T rc = LINEERR_OPERATIONUNAVAIL;
    deviceCount_ = 0;
    if (telephony_)
        rc = telephony_->lineInitialize(
            &lineApp_,
            [this](uintptr_t device, DWORD_T message, uintptr_t, uintptr_t p1, uintptr_t p2,
                   uintptr_t p3) { OnNotice(device, message, p1, p2, p3); },
            "Quorvane", &deviceCount_);
    if (deviceCount_ == 0) {
        statusText_ = "There are no telephony devices installed.";
        if (telephony_ && lineApp_ != 0) telephony_->lineShutdown(lineApp_);
        lineApp_ = 0;
        initializing_ = false;
        return 0;
    }
    if (!CheckLineResult(rc)) {
        Trace("lineInitialize unhandled error\n");
        initializing_ = false;
        return 0;
    }
    Trace("Tapi initialized.\n");
    deviceId_ = 0;
    searchAgain_ = false;
    if (dialString) number_ = dialString;
    initializing_ = false;
    return 1;
}

bool CTapi::FindLine(DWORD_T& index, LineDevCaps* caps) {
    for (; index < deviceCount_; ++index) {
        DWORD_T version = 0;
        LONG_T rc =
            telephony_->lineNegotiateAPIVersion(lineApp_, index, 0x00010003, 0x00010004, &version);
        if (!CheckLineResult(rc) || version == 0) continue;
        LineDevCaps found;
        if (telephony_->lineGetDevCaps(lineApp_, index, version, &found) != 0) {
            Trace("lineGetDevCaps unhandled error/n");
            continue;
        }
        if (found.lineName.empty()) continue;
        apiVersion_ = version;
        deviceId_ = index;
        *caps = std::move(found);
        Trace("Name of device is: %s\n");
        return true;
    }
    deviceId_ = kAllOnes;
    return false;
}

int CTapi::GetDeviceName(DWORD_T& index, std::string& name) {
    if (lineApp_ == 0 && !Initialize(nullptr)) return 0;
    LineDevCaps caps;
    if (!FindLine(index, &caps)) return 0;
    name = caps.stringFormat == STRINGFORMAT_ASCII && !caps.lineName.empty() ? caps.lineName
                                                                             : "Unknown Modem";
    return 1;
}

int CTapi::Dial(const std::string& dialString) {
    if (callInProgress_) {
        statusText_ = "A call is already being handled.";
        ++refusedDials_;
        return 1;
    }
    // A device that vanished or would not open may be back, or replaced by another.
    if (searchAgain_ && lineApp_ != 0) ShutdownTapi();
    if (lineApp_ == 0 && !Initialize(nullptr)) {
        statusText_ = "TAPI Create Failed.";
        std::string why = telephony_ ? telephony_->searchText() : "";
        if (!why.empty()) statusText_ += " (" + why + ")";
        return 1;
    }
    if (deviceCount_ == 0) {
        statusText_ = "There are no modems available.";
        return 1;
    }
    // What reaches the modem is checked here too: whoever builds the string, nothing in
    // it may end the dial command or start another.
    if (!IsDialable(dialString)) {
        statusText_ =
            "The dial string holds characters that cannot be dialled (only digits, *, #, "
            "commas, parentheses, dashes and blanks).";
        return 1;
    }
    if (dialString.size() > kNumberLimit) {
        statusText_ = "The dial string is too long for the modem (" +
                      std::to_string(dialString.size()) + " characters, at most " +
                      std::to_string(kNumberLimit) + ").";
        return 1;
    }
    callInProgress_ = true;
    refusedDials_ = 0;
    number_ = dialString;
    result_ = 0;

    // A modem that cannot be opened, is held by another program or does not answer must
    // not keep the page from going out through the next one: each line is tried once,
    // from the chosen one on.
    if (deviceId_ == kAllOnes || deviceId_ >= deviceCount_) deviceId_ = 0;
    const DWORD_T first = deviceId_;
    statusText_ = "This line is not usable, Error on Requested line\n";
    result_ = 1;
    for (DWORD_T n = 0; n < deviceCount_; ++n) {
        const DWORD_T wanted = (first + n) % deviceCount_;
        DWORD_T index = wanted;
        LineDevCaps caps;
        if (!FindLine(index, &caps) || index != wanted) continue;
        if (!(caps.bearerModes & LINEBEARERMODE_VOICE)) {
            statusText_ = "The selected line doesn't support VOICE capabilities";
            continue;
        }
        if (!(caps.lineFeatures & LINEFEATURE_MAKECALL)) {
            statusText_ = "The selected line doesn't support MAKECALL capabilities";
            continue;
        }
        if (!(caps.mediaModes & LINEMEDIAMODE_DATAMODEM)) {
            statusText_ = "The selected line doesn't support INTERACTIVE VOICE capabilities";
            continue;
        }
        // A try on an earlier line that failed has ended the call.
        callInProgress_ = true;
        result_ = 0;
        LONG_T rc =
            telephony_->lineOpen(lineApp_, deviceId_, &line_, apiVersion_, LINECALLPRIVILEGE_NONE);
        if (rc == LINEERR_ALLOCATED || rc == LINEERR_RESOURCEUNAVAIL) {
            line_ = 0;
            Stop(LINEERR_RESOURCEUNAVAIL);
            statusText_ =
                "Line is already in use by a non-TAPI application or by another TAPI Service "
                "Provider.\n";
            std::string why = telephony_->searchText();
            if (!why.empty()) {
                statusText_.pop_back();
                statusText_ += " (" + why + ")";
            }
            if (rc == LINEERR_RESOURCEUNAVAIL) searchAgain_ = true;
            result_ = 1;
            continue;
        }
        if (!CheckLineResult(rc)) {
            line_ = 0;
            statusText_ = "Unable to Use Line";
            Stop(LINEERR_RESOURCEUNAVAIL);
            result_ = 1;
            continue;
        }
        bool dialSent = false;
        int outcome = PlaceCall(&dialSent);
        if (dialSent || outcome == kCancelled || result_ == kCancelled) {
            Stop(outcome);
            return outcome;
        }
        // This modem never took the dial: hung up, and the next one gets the call.
        Stop(outcome);
        result_ = outcome != 0 ? outcome : 1;
        searchAgain_ = true;
    }
    // No line took the call; the last one's failure says why.
    const int outcome = result_;
    Stop(outcome);
    return outcome;
}

int CTapi::PlaceCall(bool* dialSent) {
    if (telephony_->lineGetAddressCaps(lineApp_, deviceId_, apiVersion_) != 0) {
        Trace("lineGetAddressCaps unhandled error\n");
        return 1;
    }
    LineCallParams params;
    params.displayableAddress = number_;
    result_ = 0;
    dialConfirmed_ = false;
    LONG_T rc = telephony_->lineMakeCall(line_, &call_, number_, params);
    int outcome = WaitForReply(rc);
    // The request's success means the modem answered and has the dial command.
    *dialSent = outcome == 0 && callInProgress_;
    if (outcome == 1) {
        Trace("While Dialing, WaitForReply aborted.\n");
    } else if (outcome != 0 && callInProgress_) {
        // A refused request (a modem that does not answer, or answers ERROR). When the
        // call has already ended (its line closed) that end has told why.
        CheckLineResult(outcome);
        statusText_ = WithModemText(statusText_);
        result_ = outcome;
    } else if (callInProgress_) {
        // The modem dials: the call stays up until the caller's countdown, a final call
        // state or the line's closing ends it.
        WaitForCallEnd();
    }
    return result_;
}

int CTapi::WaitForReply(LONG_T request) {
    waitEnded_ = false;
    if (request <= 0) {
        waitEnded_ = true;
        return request;
    }
    awaited_.insert(request);
    const int64_t start = NowMs();
    for (;;) {
        auto reply = replies_.find(request);
        if (reply != replies_.end()) {
            LONG_T code = reply->second;
            replies_.erase(reply);
            awaited_.erase(request);
            waitEnded_ = true;
            return code;
        }
        TakeOneTurn();
        if (replies_.count(request)) continue;
        if (!callInProgress_) {
            awaited_.erase(request);
            waitEnded_ = true;
            return 1;
        }
        if (call_ != 0 && waitEnded_) {
            awaited_.erase(request);
            return 1;
        }
        if (NowMs() - start > waitLimit_) {
            awaited_.erase(request);
            Trace("Line busy, shutting down\n");
            Stop(1);
            return 1;
        }
    }
}

void CTapi::WaitForCallEnd() {
    const int64_t start = NowMs();
    while (callInProgress_) {
        TakeOneTurn();
        if (callInProgress_ && NowMs() - start > waitLimit_) {
            Trace("Line busy, shutting down\n");
            Stop(1);
        }
    }
}

void CTapi::OnNotice(uintptr_t device, DWORD_T message, uintptr_t p1, uintptr_t p2, uintptr_t) {
    switch (message) {
        case LINE_CALLSTATE:
            OnCallState(device, static_cast<DWORD_T>(p1), static_cast<DWORD_T>(p2));
            break;
        case LINE_CLOSE:
            // Only our line's closing ends our call; the device is gone, so the page
            // did not go out.
            if (device != line_ || line_ == 0) break;
            if (callInProgress_) statusText_ = WithModemText("Line closed during the call");
            line_ = 0;
            call_ = 0;
            searchAgain_ = true;
            Stop(1);
            break;
        case LINE_REPLY: {
            auto request = static_cast<LONG_T>(p1);
            auto code = static_cast<LONG_T>(static_cast<intptr_t>(p2));
            Trace(code != 0 ? "LINE_REPLY error\n" : "LINE_REPLY: successfully replied.\n");
            if (awaited_.count(request)) replies_[request] = code;
            break;
        }
        case LINE_CREATE:
            if (p1 >= deviceCount_) deviceCount_ = static_cast<DWORD_T>(p1 + 1);
            break;
        default:
            Trace("lineCallbackFunc message ignored\n");
            break;
    }
}

void CTapi::OnCallState(uintptr_t device, DWORD_T state, DWORD_T mode) {
    if (device != call_ || call_ == 0) {
        Trace("LINE_CALLSTATE: Unknown device ID ");
        return;
    }
    switch (state) {
        case LINECALLSTATE_IDLE:
            statusText_ = "Line idle\n";
            Stop(1);
            break;
        case LINECALLSTATE_BUSY:
            statusText_ = WithModemText("Line busy, shutting down\n");
            Stop(64);
            break;
        case LINECALLSTATE_SPECIALINFO:
            statusText_ = WithModemText("Special Info, probably couldn't dial number\n");
            Stop(128);
            break;
        case LINECALLSTATE_DISCONNECTED:
            statusText_ = WithModemText(DisconnectText(mode));
            Stop(static_cast<int>(mode));
            break;
        case LINECALLSTATE_CONNECTED:
            // With ";" a modem says OK once the digits have gone out.
            dialConfirmed_ = true;
            break;
        case LINECALLSTATE_DIALTONE:
        case LINECALLSTATE_DIALING:
        case LINECALLSTATE_RINGBACK:
        case LINECALLSTATE_PROCEEDING:
            break;
        default:
            Trace("Unhandled LINECALLSTATE message\n");
            break;
    }
}

void CTapi::StopCall(int code) {
    if (refusedDials_ > 0) {
        // The caller's stop after a dial refused because another call ran: that call is
        // not the caller's to end.
        --refusedDials_;
        return;
    }
    if (code == 0 && callInProgress_ && call_ != 0 && !dialConfirmed_) {
        // Hung up before the modem said the digits went out (a silent modem, one that
        // streams without line ends): nothing says the page was sent.
        statusText_ = WithModemText(
            "The modem did not confirm the dial (no OK after ATDT), the page may not have "
            "gone out");
        code = 1;
    }
    Stop(code);
}

int CTapi::Stop(int code) {
    if (stopping_ || !callInProgress_) return 1;
    stopping_ = true;
    result_ = code;
    Trace("Stopping Call in progress\n");
    if (call_ != 0) {
        LineCallStatus status;
        if (telephony_->lineGetCallStatus(call_, &status) == 0 &&
            !(status.callState & LINECALLSTATE_IDLE)) {
            WaitForReply(telephony_->lineDrop(call_));
            Trace("Call Dropped.\n");
        }
        if (call_ != 0 && telephony_->lineDeallocateCall(call_) != 0)
            Trace("lineDeallocateCall unhandled error\n");
        Trace("Call Deallocated.\n");
    }
    if (line_ != 0) {
        if (telephony_->lineClose(line_) != 0) Trace("lineClose unhandled error\n");
        Trace("Line Closed.\n");
    }
    call_ = 0;
    line_ = 0;
    callInProgress_ = false;
    stopping_ = false;
    Trace("Call stopped\n");
    return 1;
}

void CTapi::ShutdownTapi() {
    if (lineApp_ == 0 || shuttingDown_) return;
    shuttingDown_ = true;
    Stop(0);
    if (telephony_->lineShutdown(lineApp_) != 0) Trace("lineShutdown unhandled error\n");
    callInProgress_ = false;
    lineApp_ = 0;
    call_ = 0;
    line_ = 0;
    deviceCount_ = 0;
    shuttingDown_ = false;
    Trace("TAPI uninitialized.\n");
}

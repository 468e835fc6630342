#pragma once

// Telephony in the shape of the Windows telephony interface (line devices, asynchronous
// requests answered by LINE_REPLY, call states reported as LINE_CALLSTATE), so that the
// pager dialer keeps the calls and notifications it was written for. On Linux a line device
// is a Hayes AT modem on a serial port: dialing is "ATDT<address>;", hanging up "ATH", and
// the modem's result words become call states. Every notification arrives through the
// event loop, never from inside the call that caused it.

#include <QPointer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Window.h"

using LONG_T = int32_t;
using DWORD_T = uint32_t;
using HLINEAPP = uintptr_t;
using HLINE = uintptr_t;
using HCALL = uintptr_t;

// Results, numbered as the telephony interface numbers them.
inline constexpr LONG_T LINEERR_ALLOCATED = static_cast<LONG_T>(0x80000001);
inline constexpr LONG_T LINEERR_INIFILECORRUPT = static_cast<LONG_T>(0x8000000E);
inline constexpr LONG_T LINEERR_INVALADDRESS = static_cast<LONG_T>(0x80000010);
inline constexpr LONG_T LINEERR_INVALAPPHANDLE = static_cast<LONG_T>(0x80000015);
inline constexpr LONG_T LINEERR_INVALCALLHANDLE = static_cast<LONG_T>(0x80000018);
inline constexpr LONG_T LINEERR_INVALCARD = static_cast<LONG_T>(0x8000001F);
inline constexpr LONG_T LINEERR_INVALLINEHANDLE = static_cast<LONG_T>(0x8000002B);
inline constexpr LONG_T LINEERR_INVALLOCATION = static_cast<LONG_T>(0x8000002C);
inline constexpr LONG_T LINEERR_BADDEVICEID = static_cast<LONG_T>(0x80000002);
inline constexpr LONG_T LINEERR_NODRIVER = static_cast<LONG_T>(0x80000043);
inline constexpr LONG_T LINEERR_NOMEM = static_cast<LONG_T>(0x80000044);
inline constexpr LONG_T LINEERR_NOMULTIPLEINSTANCE = static_cast<LONG_T>(0x80000042);
inline constexpr LONG_T LINEERR_OPERATIONFAILED = static_cast<LONG_T>(0x80000048);
inline constexpr LONG_T LINEERR_OPERATIONUNAVAIL = static_cast<LONG_T>(0x80000049);
inline constexpr LONG_T LINEERR_REINIT = static_cast<LONG_T>(0x80000052);
inline constexpr LONG_T LINEERR_RESOURCEUNAVAIL = static_cast<LONG_T>(0x80000047);

// Notifications.
inline constexpr DWORD_T LINE_CALLSTATE = 2;
inline constexpr DWORD_T LINE_CLOSE = 3;
inline constexpr DWORD_T LINE_REPLY = 12;
inline constexpr DWORD_T LINE_CREATE = 19;

inline constexpr DWORD_T LINECALLSTATE_IDLE = 0x1;
inline constexpr DWORD_T LINECALLSTATE_DIALTONE = 0x8;
inline constexpr DWORD_T LINECALLSTATE_DIALING = 0x10;
inline constexpr DWORD_T LINECALLSTATE_RINGBACK = 0x20;
inline constexpr DWORD_T LINECALLSTATE_BUSY = 0x40;
inline constexpr DWORD_T LINECALLSTATE_SPECIALINFO = 0x80;
inline constexpr DWORD_T LINECALLSTATE_CONNECTED = 0x100;
inline constexpr DWORD_T LINECALLSTATE_PROCEEDING = 0x200;
inline constexpr DWORD_T LINECALLSTATE_DISCONNECTED = 0x4000;

inline constexpr DWORD_T LINEDISCONNECTMODE_NORMAL = 0x1;
inline constexpr DWORD_T LINEDISCONNECTMODE_UNKNOWN = 0x2;
inline constexpr DWORD_T LINEDISCONNECTMODE_NOANSWER = 0x40;
inline constexpr DWORD_T LINEDISCONNECTMODE_UNAVAIL = 0x800;
inline constexpr DWORD_T LINEDISCONNECTMODE_NODIALTONE = 0x1000;

inline constexpr DWORD_T LINEBEARERMODE_VOICE = 0x1;
inline constexpr DWORD_T LINEFEATURE_MAKECALL = 0x8;
inline constexpr DWORD_T LINEMEDIAMODE_DATAMODEM = 0x10;
inline constexpr DWORD_T LINECALLPRIVILEGE_NONE = 0x1;
inline constexpr DWORD_T STRINGFORMAT_ASCII = 1;

// What a line device can do, and its name.
struct LineDevCaps {
    std::string lineName;
    DWORD_T stringFormat = STRINGFORMAT_ASCII;
    DWORD_T bearerModes = 0;
    DWORD_T lineFeatures = 0;
    DWORD_T mediaModes = 0;
};

struct LineCallParams {
    DWORD_T bearerMode = LINEBEARERMODE_VOICE;
    DWORD_T mediaMode = LINEMEDIAMODE_DATAMODEM;
    std::string displayableAddress;
};

struct LineCallStatus {
    DWORD_T callState = 0;
};

// The notification callback: device (the line or call handle), message, instance,
// parameters 1 to 3.
using LineCallback = std::function<void(uintptr_t device, DWORD_T message, uintptr_t instance,
                                        uintptr_t param1, uintptr_t param2, uintptr_t param3)>;

class Telephony {
public:
    virtual ~Telephony() = default;

    virtual LONG_T lineInitialize(HLINEAPP* app, LineCallback callback, const std::string& appName,
                                  DWORD_T* numDevs) = 0;
    virtual LONG_T lineNegotiateAPIVersion(HLINEAPP app, DWORD_T deviceId, DWORD_T lowVersion,
                                           DWORD_T highVersion, DWORD_T* apiVersion) = 0;
    virtual LONG_T lineGetDevCaps(HLINEAPP app, DWORD_T deviceId, DWORD_T apiVersion,
                                  LineDevCaps* caps) = 0;
    // Whether address 0 of the device can be used; the pager asks and goes on.
    virtual LONG_T lineGetAddressCaps(HLINEAPP app, DWORD_T deviceId, DWORD_T apiVersion) = 0;
    virtual LONG_T lineOpen(HLINEAPP app, DWORD_T deviceId, HLINE* line, DWORD_T apiVersion,
                            DWORD_T privileges) = 0;
    // Asynchronous: a request id (> 0) answered later by LINE_REPLY, or an error (< 0).
    virtual LONG_T lineMakeCall(HLINE line, HCALL* call, const std::string& destAddress,
                                const LineCallParams& params) = 0;
    virtual LONG_T lineGetCallStatus(HCALL call, LineCallStatus* status) = 0;
    // Asynchronous like lineMakeCall.
    virtual LONG_T lineDrop(HCALL call) = 0;
    virtual LONG_T lineDeallocateCall(HCALL call) = 0;
    virtual LONG_T lineClose(HLINE line) = 0;
    virtual LONG_T lineShutdown(HLINEAPP app) = 0;

    // Our own: what the device last said, or why it said nothing ("BUSY", "no answer from
    // /dev/ttyACM0", "/dev/ttyUSB0 went away: Input/output error"); empty when nothing
    // worth quoting happened. Quoted in a failed call's status text.
    virtual std::string lineModemText(HLINE line) const = 0;
    // Our own: why lineInitialize found no devices, for the failure text.
    virtual std::string searchText() const { return {}; }
};

// Hayes AT modems on serial devices.
class ModemTelephony final : public Telephony {
public:
    struct Options {
        // Device name patterns searched at every lineInitialize (glob); a device found
        // there counts only when it answers "AT" with "OK".
        std::vector<std::string> patterns = {"/dev/ttyACM*", "/dev/ttyUSB*", "/dev/ttyS*"};
        // Devices the user named: always line devices, in this order before those found.
        std::function<std::vector<std::string>()> listedDevices;
        // The whole device search: every device is asked at once, so that ports that never
        // answer cost this once, not each.
        int searchMilliseconds = 1500;
        // How long a modem may take over "AT" and "ATH" (window timer, so tests can drive
        // it), and over the result of a dial.
        int commandMilliseconds = 3000;
        int dialMilliseconds = 120000;
    };

    ModemTelephony();
    explicit ModemTelephony(Options options);
    ~ModemTelephony() override;

    LONG_T lineInitialize(HLINEAPP* app, LineCallback callback, const std::string& appName,
                          DWORD_T* numDevs) override;
    LONG_T lineNegotiateAPIVersion(HLINEAPP app, DWORD_T deviceId, DWORD_T lowVersion,
                                   DWORD_T highVersion, DWORD_T* apiVersion) override;
    LONG_T lineGetDevCaps(HLINEAPP app, DWORD_T deviceId, DWORD_T apiVersion,
                          LineDevCaps* caps) override;
    LONG_T lineGetAddressCaps(HLINEAPP app, DWORD_T deviceId, DWORD_T apiVersion) override;
    LONG_T lineOpen(HLINEAPP app, DWORD_T deviceId, HLINE* line, DWORD_T apiVersion,
                    DWORD_T privileges) override;
    LONG_T lineMakeCall(HLINE line, HCALL* call, const std::string& destAddress,
                        const LineCallParams& params) override;
    LONG_T lineGetCallStatus(HCALL call, LineCallStatus* status) override;
    LONG_T lineDrop(HCALL call) override;
    LONG_T lineDeallocateCall(HCALL call) override;
    LONG_T lineClose(HLINE line) override;
    LONG_T lineShutdown(HLINEAPP app) override;
    std::string lineModemText(HLINE line) const override;
    std::string searchText() const override { return searchText_; }

    // The longest line a modem may send; longer ones are dropped, so that a device that
    // streams without line ends cannot fill memory.
    static constexpr size_t kLineLimit = 256;
    // A dial address the modem's command buffer takes.
    static constexpr size_t kAddressLimit = 120;

private:
    class Port;
    struct Device {
        std::string path, name;
    };
    struct App {
        LineCallback callback;
        std::vector<Device> devices;
    };
    friend class Port;

    // Asks every candidate device at once for "AT" and "ATI", within the search time.
    std::vector<Device> Search();
    // Hands a notification to the application's callback on the loop.
    void Notify(HLINEAPP app, uintptr_t device, DWORD_T message, uintptr_t p1, uintptr_t p2 = 0,
                uintptr_t p3 = 0);
    Port* FindPort(HLINE line) const;
    Port* FindCall(HCALL call) const;
    void Deliver(uint64_t serial);
    // Shuts a port and deletes it on the loop: its own message may be what closed it.
    void Retire(std::unique_ptr<Port> port);

    class Mailbox;
    Options options_;
    std::unique_ptr<Mailbox> mailbox_;
    std::map<HLINEAPP, App> apps_;
    std::map<HLINE, std::unique_ptr<Port>> ports_;
    // Retired ports the loop has not deleted yet; those left when the program ends its run
    // (and its loop) go with this object.
    std::vector<QPointer<Port>> retired_;
    struct Pending {
        HLINEAPP app;
        uintptr_t device;
        DWORD_T message;
        uintptr_t p1, p2, p3;
    };
    std::map<uint64_t, Pending> pending_;
    uint64_t nextSerial_ = 1;
    uintptr_t nextHandle_ = 1;
    LONG_T nextRequest_ = 1;
    std::string searchText_;
};

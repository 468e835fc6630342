#pragma once

// Telephony whose line devices are only names: enough for whoever lists the modems.

#include <set>
#include <string>
#include <vector>

#include "platform/Telephony.h"

// Line devices by name, with no modem behind them; it counts the applications that are
// registered with it and those that were shut down again.
struct TelephonyLedger {
    int made = 0, destroyed = 0, initialized = 0;
    std::set<HLINEAPP> open;
};

class NamedLines final : public Telephony {
public:
    NamedLines(std::vector<std::string> names, TelephonyLedger& ledger)
        : names_(std::move(names)), ledger_(ledger) {
        ++ledger_.made;
    }
    ~NamedLines() override { ++ledger_.destroyed; }

    LONG_T lineInitialize(HLINEAPP* app, LineCallback, const std::string&,
                          DWORD_T* numDevs) override {
        *app = next_++;
        *numDevs = static_cast<DWORD_T>(names_.size());
        ledger_.open.insert(*app);
        ++ledger_.initialized;
        return 0;
    }
    LONG_T lineNegotiateAPIVersion(HLINEAPP, DWORD_T, DWORD_T, DWORD_T high,
                                   DWORD_T* version) override {
        *version = high;
        return 0;
    }
    LONG_T lineGetDevCaps(HLINEAPP app, DWORD_T id, DWORD_T, LineDevCaps* caps) override {
        if (!ledger_.open.count(app)) return LINEERR_INVALAPPHANDLE;
        if (id >= names_.size()) return LINEERR_BADDEVICEID;
        caps->lineName = names_[id];
        bool ascii = true;
        for (char c : names_[id]) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        caps->stringFormat = ascii ? STRINGFORMAT_ASCII : 0;
        return 0;
    }
    LONG_T lineGetAddressCaps(HLINEAPP, DWORD_T, DWORD_T) override { return 0; }
    LONG_T lineOpen(HLINEAPP, DWORD_T, HLINE*, DWORD_T, DWORD_T) override {
        return LINEERR_OPERATIONUNAVAIL;
    }
    LONG_T lineMakeCall(HLINE, HCALL*, const std::string&, const LineCallParams&) override {
        return LINEERR_OPERATIONUNAVAIL;
    }
    LONG_T lineGetCallStatus(HCALL, LineCallStatus*) override { return LINEERR_INVALCALLHANDLE; }
    LONG_T lineDrop(HCALL) override { return LINEERR_INVALCALLHANDLE; }
    LONG_T lineDeallocateCall(HCALL) override { return LINEERR_INVALCALLHANDLE; }
    LONG_T lineClose(HLINE) override { return LINEERR_INVALLINEHANDLE; }
    LONG_T lineShutdown(HLINEAPP app) override {
        return ledger_.open.erase(app) ? 0 : LINEERR_INVALAPPHANDLE;
    }
    std::string lineModemText(HLINE) const override { return {}; }

private:
    std::vector<std::string> names_;
    TelephonyLedger& ledger_;
    HLINEAPP next_ = 1;
};

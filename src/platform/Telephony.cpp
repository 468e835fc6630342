#include "platform/Telephony.h"

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace {

constexpr DWORD_T kApiVersion = 0x00010004;
constexpr UINT kDeliverMessage = WM_USER + 0x31;
constexpr UINT kCommandTimer = 1;

std::string ErrnoText(int error) {
    return std::strerror(error);
}

// Raw 8-bit, no echo, no line discipline, no modem-control hang-up of our own process.
// VMIN 1 makes an empty non-blocking read EAGAIN, so that 0 means the device hung up.
bool MakeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

// Whether a UUCP lock file (/var/lock/LCK..ttyS0, as fax gettys and dial-out programs
// write) names a process that is still there.
bool UucpLocked(const std::string& path) {
    const std::string base = path.substr(path.find_last_of('/') + 1);
    for (const char* dir : {"/var/lock/", "/run/lock/"}) {
        int fd = ::open((dir + std::string("LCK..") + base).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) continue;
        char text[32] = {};
        ssize_t n = ::read(fd, text, sizeof text - 1);
        ::close(fd);
        long pid = 0;
        if (n == 4) {
            int32_t binary = 0;  // the old binary form
            std::memcpy(&binary, text, 4);
            pid = binary;
        } else if (n > 0) {
            pid = std::strtol(text, nullptr, 10);
        }
        if (pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM)) return true;
    }
    return false;
}

// Gives up the hold on a port and closes it; the exclusive mode would otherwise outlive
// us while anything else keeps the terminal open.
void CloseDevice(int fd) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

// Opens a port and holds it for this program alone: another program that drives the same
// modem (a fax getty, a terminal program, a second copy of this one) would mix its
// commands with ours. *inUse tells that someone else holds it.
int OpenDevice(const std::string& path, std::string* why, bool* inUse) {
    *inUse = false;
    if (UucpLocked(path)) {
        *inUse = true;
        *why = path + " is locked by another program";
        return -1;
    }
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *inUse = errno == EBUSY;
        *why = *inUse ? path + " is in use by another program"
                      : "cannot open " + path + ": " + ErrnoText(errno);
        return -1;
    }
    // Before anything is changed on it: a port someone else holds is left as it is.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *inUse = errno == EWOULDBLOCK;
        *why = *inUse ? path + " is in use by another program"
                      : "cannot lock " + path + ": " + ErrnoText(errno);
        ::close(fd);
        return -1;
    }
    if (!MakeRaw(fd)) {
        *why = path + " is no serial device: " + ErrnoText(errno);
        ::close(fd);
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);
    return fd;
}

// Writes all of text or says why not. The commands are a few dozen bytes, far below what a
// terminal takes at once; a device that takes nothing is as good as gone.
bool WriteAll(int fd, const std::string& text, int* error) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        *error = n < 0 ? errno : EIO;
        return false;
    }
    return true;
}

// Splits what a modem sends into lines, dropping any that grows past the limit.
class LineSplitter {
public:
    // Adds bytes; every complete line goes to out.
    void Add(const char* data, size_t size, std::vector<std::string>& out) {
        for (size_t i = 0; i < size; ++i) {
            char c = data[i];
            if (c == '\r' || c == '\n') {
                if (!overlong_ && !line_.empty()) out.push_back(line_);
                line_.clear();
                overlong_ = false;
            } else if (!overlong_) {
                if (line_.size() >= ModemTelephony::kLineLimit) {
                    line_.clear();
                    overlong_ = true;
                } else {
                    line_.push_back(c);
                }
            }
        }
    }

private:
    std::string line_;
    bool overlong_ = false;
};

bool IsFinalFailure(const std::string& line) {
    return line == "ERROR" || line == "BUSY" || line == "NO CARRIER" || line == "NO DIALTONE" ||
           line == "NO DIAL TONE" || line == "NO ANSWER";
}

bool IsDialCharacter(char c) {
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == ',' || c == ' ';
}

}  // namespace

// The window that carries notifications onto the loop.
class ModemTelephony::Mailbox final : public CWindow {
public:
    explicit Mailbox(ModemTelephony& owner) : owner_(owner) {}

protected:
    void OnMessage(UINT msg, WPARAM wParam, LPARAM) override {
        if (msg == kDeliverMessage) owner_.Deliver(wParam);
    }

private:
    ModemTelephony& owner_;
};

// One open line: the modem's port, its call and the command it waits on.
class ModemTelephony::Port final : public CWindow {
public:
    enum class State { Idle, Attention, Dialing, Connected, Ended, Dropping, Gone };

    Port(ModemTelephony& owner, HLINEAPP app, HLINE line, std::string path, int fd)
        : owner_(owner), app_(app), line_(line), path_(std::move(path)), fd_(fd) {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] { OnReadable(); });
    }
    ~Port() override { CloseFd(); }

    HLINEAPP app() const { return app_; }
    HLINE line() const { return line_; }
    HCALL call() const { return call_; }
    State state() const { return state_; }
    const std::string& modemText() const { return modemText_; }

    LONG_T MakeCall(HCALL call, const std::string& address) {
        if (state_ == State::Gone) return LINEERR_OPERATIONFAILED;
        if (call_ != 0) return LINEERR_RESOURCEUNAVAIL;
        call_ = call;
        address_ = address;
        modemText_.clear();
        request_ = owner_.nextRequest_++;
        // A modem that does not answer "AT" is found out before anything is dialled.
        state_ = State::Attention;
        Send("AT\r", owner_.options_.commandMilliseconds);
        return request_;
    }

    LONG_T Drop() {
        if (state_ == State::Gone) return LINEERR_OPERATIONFAILED;
        request_ = owner_.nextRequest_++;
        state_ = State::Dropping;
        Send("ATH\r", owner_.options_.commandMilliseconds);
        return request_;
    }

    // Nothing more from this port: it is about to be deleted, later, on the loop.
    void Shut() {
        KillTimer(kCommandTimer);
        CloseFd();
        state_ = State::Gone;
    }

    void ForgetCall() {
        call_ = 0;
        if (state_ != State::Gone && state_ != State::Dropping) state_ = State::Idle;
        KillTimer(kCommandTimer);
    }

    DWORD_T CallState() const {
        switch (state_) {
            case State::Attention:
                return LINECALLSTATE_DIALTONE;
            case State::Dialing:
                return LINECALLSTATE_DIALING;
            case State::Connected:
            case State::Dropping:
                return LINECALLSTATE_CONNECTED;
            default:
                // After a final result the modem has gone back on hook by itself.
                return LINECALLSTATE_IDLE;
        }
    }

protected:
    void OnTimer(UINT id) override {
        if (id != kCommandTimer) return;
        KillTimer(kCommandTimer);
        switch (state_) {
            case State::Attention:
                modemText_ = "no answer from the modem on " + path_;
                state_ = State::Ended;
                Reply(LINEERR_OPERATIONFAILED);
                break;
            case State::Dropping:
                modemText_ = "no answer to ATH from the modem on " + path_;
                state_ = State::Idle;
                Reply(LINEERR_OPERATIONFAILED);
                break;
            case State::Dialing:
                modemText_ = "no result from the modem on " + path_ + " after dialing";
                state_ = State::Ended;
                CallState(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNKNOWN);
                break;
            default:
                break;
        }
    }

private:
    void Send(const std::string& command, int milliseconds) {
        int error = 0;
        if (!WriteAll(fd_, command, &error)) {
            Vanish(error);
            return;
        }
        SetTimer(kCommandTimer, milliseconds);
    }

    void Reply(LONG_T code) {
        owner_.Notify(app_, line_, LINE_REPLY, static_cast<uintptr_t>(request_),
                      static_cast<uintptr_t>(static_cast<intptr_t>(code)));
    }
    void CallState(DWORD_T state, DWORD_T mode = 0) {
        if (call_ != 0) owner_.Notify(app_, call_, LINE_CALLSTATE, state, mode);
    }

    void OnReadable() {
        char buffer[512];
        std::vector<std::string> lines;
        // A device that streams without end gets its share of the loop, no more.
        for (int round = 0; round < 16 && fd_ >= 0; ++round) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n > 0) {
                splitter_.Add(buffer, static_cast<size_t>(n), lines);
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n < 0 && errno == EINTR) continue;
            // End of file or an error: the device hung up or is gone (a USB modem pulled,
            // the other end of a terminal closed).
            Vanish(n < 0 ? errno : EIO);
            return;
        }
        for (const auto& line : lines) {
            if (state_ == State::Gone) return;
            OnLine(line);
        }
    }

    void OnLine(const std::string& line) {
        switch (state_) {
            case State::Attention:
                if (line == "OK") {
                    KillTimer(kCommandTimer);
                    state_ = State::Dialing;
                    Send("ATDT" + address_ + ";\r", owner_.options_.dialMilliseconds);
                    if (state_ == State::Gone) return;
                    Reply(0);
                    CallState(LINECALLSTATE_DIALING);
                } else if (line == "ERROR") {
                    KillTimer(kCommandTimer);
                    modemText_ = "the modem on " + path_ + " said ERROR to AT";
                    state_ = State::Ended;
                    Reply(LINEERR_OPERATIONFAILED);
                }
                break;
            case State::Dialing:
                if (line == "OK" || line.rfind("CONNECT", 0) == 0) {
                    KillTimer(kCommandTimer);
                    state_ = State::Connected;
                    CallState(LINECALLSTATE_CONNECTED);
                } else if (line == "RINGING") {
                    CallState(LINECALLSTATE_RINGBACK);
                } else if (IsFinalFailure(line)) {
                    KillTimer(kCommandTimer);
                    modemText_ = line;
                    state_ = State::Ended;
                    if (line == "BUSY")
                        CallState(LINECALLSTATE_BUSY);
                    else if (line == "ERROR")
                        CallState(LINECALLSTATE_SPECIALINFO);
                    else if (line == "NO ANSWER")
                        CallState(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NOANSWER);
                    else if (line == "NO CARRIER")
                        CallState(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_UNKNOWN);
                    else
                        CallState(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NODIALTONE);
                }
                break;
            case State::Connected:
                if (line == "NO CARRIER") {
                    modemText_ = line;
                    state_ = State::Ended;
                    CallState(LINECALLSTATE_DISCONNECTED, LINEDISCONNECTMODE_NORMAL);
                }
                break;
            case State::Dropping:
                if (line == "OK" || line == "NO CARRIER") {
                    KillTimer(kCommandTimer);
                    state_ = State::Idle;
                    Reply(0);
                } else if (line == "ERROR") {
                    KillTimer(kCommandTimer);
                    modemText_ = "the modem on " + path_ + " said ERROR to ATH";
                    state_ = State::Idle;
                    Reply(LINEERR_OPERATIONFAILED);
                }
                break;
            default:
                break;
        }
    }

    // The device is gone: whatever waits on it hears so now, and the line closes.
    void Vanish(int error) {
        if (state_ == State::Gone) return;
        const State was = state_;
        state_ = State::Gone;
        KillTimer(kCommandTimer);
        CloseFd();
        modemText_ = "the modem on " + path_ + " went away (" + ErrnoText(error) + ")";
        if (was == State::Attention || was == State::Dropping) Reply(LINEERR_OPERATIONFAILED);
        owner_.Notify(app_, line_, LINE_CLOSE, 0);
    }

    void CloseFd() {
        if (notifier_) {
            notifier_->setEnabled(false);
            delete notifier_;
            notifier_ = nullptr;
        }
        if (fd_ >= 0) {
            CloseDevice(fd_);
            fd_ = -1;
        }
    }

    ModemTelephony& owner_;
    HLINEAPP app_;
    HLINE line_;
    std::string path_;
    int fd_;
    QSocketNotifier* notifier_ = nullptr;
    LineSplitter splitter_;
    State state_ = State::Idle;
    HCALL call_ = 0;
    LONG_T request_ = 0;
    std::string address_;
    std::string modemText_;
};

ModemTelephony::ModemTelephony() : ModemTelephony(Options{}) {}

ModemTelephony::ModemTelephony(Options options)
    : options_(std::move(options)), mailbox_(std::make_unique<Mailbox>(*this)) {}

ModemTelephony::~ModemTelephony() {
    ports_.clear();
    for (auto& port : retired_) delete port.data();
}

void ModemTelephony::Retire(std::unique_ptr<Port> port) {
    port->Shut();
    std::erase_if(retired_, [](const QPointer<Port>& p) { return p.isNull(); });
    retired_.emplace_back(port.get());
    port.release()->deleteLater();
}

std::vector<ModemTelephony::Device> ModemTelephony::Search() {
    struct Probe {
        std::string path;
        bool listed = false;
        int fd = -1;
        int stage = 0;  // 0 waiting for OK to AT, 1 waiting for ATI's answer, 2 done
        bool answered = false;
        std::string name;
        LineSplitter splitter;
    };
    std::vector<Probe> probes;
    auto add = [&](const std::string& path, bool listed) {
        for (const auto& p : probes)
            if (p.path == path) return;
        Probe probe;
        probe.path = path;
        probe.listed = listed;
        probes.push_back(std::move(probe));
    };
    if (options_.listedDevices)
        for (const auto& path : options_.listedDevices())
            if (!path.empty()) add(path, true);
    // Devices the user named are exactly the ones to use: other serial ports may be a
    // console, a UPS or a device that a stray "AT" upsets.
    const bool listed = !probes.empty();
    for (const auto& pattern : listed ? std::vector<std::string>{} : options_.patterns) {
        glob_t found{};
        if (::glob(pattern.c_str(), 0, nullptr, &found) == 0)
            for (size_t i = 0; i < found.gl_pathc; ++i) add(found.gl_pathv[i], false);
        ::globfree(&found);
    }

    for (auto& p : probes) {
        std::string why;
        bool inUse = false;
        p.fd = OpenDevice(p.path, &why, &inUse);
        int error = 0;
        if (p.fd >= 0 && !WriteAll(p.fd, "AT\r", &error)) {
            CloseDevice(p.fd);
            p.fd = -1;
        }
        if (p.fd < 0) p.stage = 2;
    }

    // Every device is asked at once, so a port that never answers costs the search time
    // once, however many there are.
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(std::max(options_.searchMilliseconds, 0));
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Probe*> who;
        for (auto& p : probes)
            if (p.stage < 2) {
                fds.push_back({p.fd, POLLIN, 0});
                who.push_back(&p);
            }
        if (fds.empty()) break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) break;
        int n = ::poll(fds.data(), fds.size(), static_cast<int>(left));
        if (n < 0 && errno != EINTR) break;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            Probe& p = *who[i];
            char buffer[256];
            ssize_t got = ::read(p.fd, buffer, sizeof buffer);
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                p.stage = 2;
                continue;
            }
            std::vector<std::string> lines;
            p.splitter.Add(buffer, static_cast<size_t>(got), lines);
            for (const auto& line : lines) {
                if (p.stage == 0 && line == "OK") {
                    p.answered = true;
                    p.stage = 1;
                    int error = 0;
                    if (!WriteAll(p.fd, "ATI\r", &error)) p.stage = 2;
                } else if (p.stage == 1) {
                    if (line == "OK" || line == "ERROR")
                        p.stage = 2;
                    else if (p.name.empty() && line != "ATI")
                        p.name = line.substr(0, 64);
                }
            }
        }
    }

    // Modems that answered come first; a listed device that did not answer (switched off,
    // held by another program) is still tried, but only after them.
    std::vector<Device> devices, silent;
    for (auto& p : probes) {
        if (p.fd >= 0) CloseDevice(p.fd);
        if (!p.listed && !p.answered) continue;
        (p.answered ? devices : silent).push_back({p.path, p.name.empty() ? p.path : p.name});
    }
    devices.insert(devices.end(), silent.begin(), silent.end());
    searchText_.clear();
    if (devices.empty())
        searchText_ = probes.empty() ? "no serial devices were found"
                                     : "none of the " + std::to_string(probes.size()) +
                                           " serial devices answered AT with OK";
    return devices;
}

LONG_T ModemTelephony::lineInitialize(HLINEAPP* app, LineCallback callback, const std::string&,
                                      DWORD_T* numDevs) {
    if (!app || !numDevs) return LINEERR_OPERATIONFAILED;
    HLINEAPP handle = nextHandle_++;
    App entry{std::move(callback), Search()};
    *numDevs = static_cast<DWORD_T>(entry.devices.size());
    apps_[handle] = std::move(entry);
    *app = handle;
    return 0;
}

LONG_T ModemTelephony::lineNegotiateAPIVersion(HLINEAPP app, DWORD_T deviceId, DWORD_T lowVersion,
                                               DWORD_T highVersion, DWORD_T* apiVersion) {
    auto it = apps_.find(app);
    if (it == apps_.end()) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= it->second.devices.size()) return LINEERR_BADDEVICEID;
    if (lowVersion > kApiVersion) return LINEERR_OPERATIONFAILED;
    *apiVersion = std::min(highVersion, kApiVersion);
    return 0;
}

LONG_T ModemTelephony::lineGetDevCaps(HLINEAPP app, DWORD_T deviceId, DWORD_T, LineDevCaps* caps) {
    auto it = apps_.find(app);
    if (it == apps_.end()) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= it->second.devices.size()) return LINEERR_BADDEVICEID;
    const std::string& name = it->second.devices[deviceId].name;
    caps->lineName = name;
    caps->stringFormat = std::all_of(name.begin(), name.end(),
                                     [](char c) {
                                         auto u = static_cast<unsigned char>(c);
                                         return u >= 0x20 && u < 0x7F;
                                     })
                             ? STRINGFORMAT_ASCII
                             : 0;
    caps->bearerModes = LINEBEARERMODE_VOICE;
    caps->lineFeatures = LINEFEATURE_MAKECALL;
    caps->mediaModes = LINEMEDIAMODE_DATAMODEM;
    return 0;
}

LONG_T ModemTelephony::lineGetAddressCaps(HLINEAPP app, DWORD_T deviceId, DWORD_T) {
    auto it = apps_.find(app);
    if (it == apps_.end()) return LINEERR_INVALAPPHANDLE;
    return deviceId < it->second.devices.size() ? 0 : LINEERR_BADDEVICEID;
}

LONG_T ModemTelephony::lineOpen(HLINEAPP app, DWORD_T deviceId, HLINE* line, DWORD_T, DWORD_T) {
    auto it = apps_.find(app);
    if (it == apps_.end()) return LINEERR_INVALAPPHANDLE;
    if (deviceId >= it->second.devices.size()) return LINEERR_BADDEVICEID;
    const std::string& path = it->second.devices[deviceId].path;
    for (const auto& [handle, port] : ports_)
        if (port->objectName().toStdString() == path) return LINEERR_ALLOCATED;
    std::string why;
    bool inUse = false;
    int fd = OpenDevice(path, &why, &inUse);
    if (fd < 0) {
        searchText_ = why;
        return inUse ? LINEERR_ALLOCATED : LINEERR_RESOURCEUNAVAIL;
    }
    HLINE handle = nextHandle_++;
    auto port = std::make_unique<Port>(*this, app, handle, path, fd);
    port->setObjectName(QString::fromStdString(path));
    ports_[handle] = std::move(port);
    *line = handle;
    return 0;
}

LONG_T ModemTelephony::lineMakeCall(HLINE line, HCALL* call, const std::string& destAddress,
                                    const LineCallParams&) {
    Port* port = FindPort(line);
    if (!port) return LINEERR_INVALLINEHANDLE;
    // Only what a modem dials: anything else would end the command or start another.
    if (destAddress.empty() || destAddress.size() > kAddressLimit ||
        !std::all_of(destAddress.begin(), destAddress.end(), IsDialCharacter))
        return LINEERR_INVALADDRESS;
    HCALL handle = nextHandle_++;
    LONG_T request = port->MakeCall(handle, destAddress);
    if (request > 0) *call = handle;
    return request;
}

LONG_T ModemTelephony::lineGetCallStatus(HCALL call, LineCallStatus* status) {
    Port* port = FindCall(call);
    if (!port) return LINEERR_INVALCALLHANDLE;
    status->callState = port->CallState();
    return 0;
}

LONG_T ModemTelephony::lineDrop(HCALL call) {
    Port* port = FindCall(call);
    if (!port) return LINEERR_INVALCALLHANDLE;
    return port->Drop();
}

LONG_T ModemTelephony::lineDeallocateCall(HCALL call) {
    Port* port = FindCall(call);
    if (!port) return LINEERR_INVALCALLHANDLE;
    port->ForgetCall();
    return 0;
}

LONG_T ModemTelephony::lineClose(HLINE line) {
    auto it = ports_.find(line);
    if (it == ports_.end()) return LINEERR_INVALLINEHANDLE;
    // Notices of a closed line would reach a caller that has moved on.
    const HCALL call = it->second->call();
    for (auto p = pending_.begin(); p != pending_.end();)
        p = p->second.device == line || (call != 0 && p->second.device == call) ? pending_.erase(p)
                                                                                : std::next(p);
    Retire(std::move(it->second));
    ports_.erase(it);
    return 0;
}

LONG_T ModemTelephony::lineShutdown(HLINEAPP app) {
    if (apps_.erase(app) == 0) return LINEERR_INVALAPPHANDLE;
    for (auto it = ports_.begin(); it != ports_.end();) {
        if (it->second->app() == app) {
            Retire(std::move(it->second));
            it = ports_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto p = pending_.begin(); p != pending_.end();)
        p = p->second.app == app ? pending_.erase(p) : std::next(p);
    return 0;
}

std::string ModemTelephony::lineModemText(HLINE line) const {
    Port* port = FindPort(line);
    return port ? port->modemText() : std::string{};
}

ModemTelephony::Port* ModemTelephony::FindPort(HLINE line) const {
    auto it = ports_.find(line);
    return it == ports_.end() ? nullptr : it->second.get();
}

ModemTelephony::Port* ModemTelephony::FindCall(HCALL call) const {
    if (call == 0) return nullptr;
    for (const auto& [handle, port] : ports_)
        if (port->call() == call) return port.get();
    return nullptr;
}

void ModemTelephony::Notify(HLINEAPP app, uintptr_t device, DWORD_T message, uintptr_t p1,
                            uintptr_t p2, uintptr_t p3) {
    uint64_t serial = nextSerial_++;
    pending_[serial] = Pending{app, device, message, p1, p2, p3};
    mailbox_->PostMessage(kDeliverMessage, static_cast<WPARAM>(serial));
}

void ModemTelephony::Deliver(uint64_t serial) {
    auto it = pending_.find(serial);
    if (it == pending_.end()) return;
    Pending p = it->second;
    pending_.erase(it);
    auto app = apps_.find(p.app);
    if (app == apps_.end() || !app->second.callback) return;
    // A copy: the callback may shut this application down.
    LineCallback callback = app->second.callback;
    callback(p.device, p.message, 0, p.p1, p.p2, p.p3);
    // A line that closed by itself is gone for good once its owner has heard so (and
    // read what the modem last said).
    if (p.message == LINE_CLOSE) {
        auto port = ports_.find(p.device);
        if (port != ports_.end() && port->second->state() == Port::State::Gone) lineClose(p.device);
    }
}

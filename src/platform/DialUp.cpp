#include "platform/DialUp.h"

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Registry.h"
#include "platform/TempFile.h"

namespace {

constexpr int kSyncTimeoutMs = 20000;

// nmcli's terse output escapes ':' and '\' with a backslash.
std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        out += s[i];
    }
    return out;
}

QStringList ToList(const std::vector<std::string>& args) {
    QStringList list;
    for (const auto& a : args) list << QString::fromStdString(a);
    return list;
}

std::string FirstLine(const QByteArray& text) {
    std::string s = text.trimmed().toStdString();
    size_t nl = s.find('\n');
    return nl == std::string::npos ? s : s.substr(0, nl);
}

// nmcli's exit codes: 3 time-out, 4 activation failed, 10 no such connection.
uint32_t ErrorForExit(int code) {
    switch (code) {
        case 3:
            return ERROR_NO_ANSWER;
        case 10:
            return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
        default:
            return ERROR_FROM_DEVICE;
    }
}

// The secret settings of the connection types that dial with an account, and the query
// that tells whether NetworkManager keeps the password itself.
struct TypeSecrets {
    const char* type;
    const char* query;     // nmcli -s -g QUERY
    const char* password;  // passwd-file line of the password
    const char* userName;  // and of the user name, where the type asks for one
};
constexpr TypeSecrets kTypeSecrets[] = {
    {"gsm", "gsm.password", "gsm.password", "gsm.username"},
    {"cdma", "cdma.password", "cdma.password", "cdma.username"},
    {"pppoe", "pppoe.password", "pppoe.password", "pppoe.username"},
    {"vpn", "vpn.secrets", "vpn.secrets.password", ""},
};

}  // namespace

std::string DialUp::StandardErrorText(uint32_t code) {
    switch (code) {
        case static_cast<uint32_t>(ERROR_INVALID_PARAMETER):
            return "The parameter is incorrect.";
        case ERROR_PORT_ALREADY_OPEN:
            return "The port is already open.";
        case ERROR_CANNOT_LOAD_PHONEBOOK:
            return "Cannot load the phone book file.";
        case ERROR_CANNOT_FIND_PHONEBOOK_ENTRY:
            return "Cannot find the phone book entry.";
        case ERROR_DISCONNECTION:
            return "The port was disconnected.";
        case ERROR_FROM_DEVICE:
            return "The modem (or other connecting device) has reported an error.";
        case ERROR_NO_ANSWER:
            return "There is no answer.";
        case ERROR_AUTHENTICATION_FAILURE:
            return "Access denied because username and/or password is invalid on the domain.";
        default:
            return "Error " + std::to_string(code) + ".";
    }
}

std::unique_ptr<NmcliDialUp> NmcliDialUp::Load(const std::string& program) {
    if (program.empty()) return nullptr;
    QString path = QString::fromStdString(program);
    if (!path.contains('/')) {
        path = QStandardPaths::findExecutable(path);
        if (path.isEmpty()) return nullptr;
    } else {
        QFileInfo info(path);
        if (!info.isFile() || !info.isExecutable()) return nullptr;
        path = info.absoluteFilePath();
    }
    return std::unique_ptr<NmcliDialUp>(new NmcliDialUp(path.toStdString()));
}

NmcliDialUp::~NmcliDialUp() {
    for (auto& [handle, call] : calls_) {
        if (call.process) {
            call.process->disconnect();
            call.process->kill();
            call.process->waitForFinished(1000);
            delete call.process;
        }
    }
}

bool NmcliDialUp::RunSync(const std::vector<std::string>& args, std::string* out, int* exitCode) {
    QProcess p;
    p.start(QString::fromStdString(program_), ToList(args));
    if (!p.waitForStarted(kSyncTimeoutMs) || !p.waitForFinished(kSyncTimeoutMs)) {
        p.kill();
        p.waitForFinished(1000);
        if (out) *out = "the dial-up program did not answer";
        *exitCode = -1;
        return false;
    }
    *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    if (out)
        *out =
            (*exitCode == 0 ? p.readAllStandardOutput() : p.readAllStandardError()).toStdString();
    return *exitCode == 0;
}

bool NmcliDialUp::ListNames(bool activeOnly, std::vector<std::string>* names, std::string* why) {
    std::vector<std::string> args = {"-t", "-f", "NAME", "connection", "show"};
    if (activeOnly) args.emplace_back("--active");
    std::string out;
    int code = 0;
    if (!RunSync(args, &out, &code)) {
        *why = FirstLine(QByteArray::fromStdString(out));
        return false;
    }
    size_t start = 0;
    while (start < out.size()) {
        size_t end = out.find('\n', start);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) names->push_back(Unescape(line));
        start = end + 1;
    }
    return true;
}

uint32_t NmcliDialUp::GetEntryDialParams(const std::string& entry, RasDialParams* params,
                                         bool* passwordSaved) {
    std::vector<std::string> names;
    std::string why;
    if (!ListNames(false, &names, &why)) {
        details_[ERROR_CANNOT_LOAD_PHONEBOOK] = why;
        return ERROR_CANNOT_LOAD_PHONEBOOK;
    }
    if (std::find(names.begin(), names.end(), entry) == names.end()) {
        details_.erase(ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
        return ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    }
    params->entryName = entry;
    params->userName.clear();
    params->password.clear();
    *passwordSaved = PasswordKept(entry);
    return 0;
}

bool NmcliDialUp::PasswordKept(const std::string& entry) {
    secretKeys_.erase(entry);
    std::string out;
    int code = 0;
    if (!RunSync({"-g", "connection.type", "connection", "show", "id", entry}, &out, &code))
        return true;  // nothing known to hand over; NetworkManager asks its own agents
    std::string type = FirstLine(QByteArray::fromStdString(out));
    for (const TypeSecrets& t : kTypeSecrets) {
        if (type != t.type) continue;
        if (!RunSync({"-s", "-g", t.query, "connection", "show", "id", entry}, &out, &code))
            return true;
        std::string kept = QByteArray::fromStdString(out).trimmed().toStdString();
        // A VPN's secrets are a list of "name = value"; only the password's counts.
        bool saved = type == "vpn" ? kept.find("password = ") != std::string::npos : !kept.empty();
        if (!saved) secretKeys_[entry] = SecretKeys{t.password, t.userName};
        return saved;
    }
    // Other types (a wired or wireless network) take no account of ours.
    return true;
}

uint32_t NmcliDialUp::Dial(const RasDialParams& params, CWindow* notifier, HRASCONN* connection) {
    // The account goes to nmcli in a passwd-file: one "setting:value" a line, read by the
    // "up" only when NetworkManager asks for the secret, never on the command line where
    // every user could read it.
    std::unique_ptr<TempFile> secrets;
    auto keys = secretKeys_.find(params.entryName);
    if (keys != secretKeys_.end() && !(params.password.empty() && params.userName.empty())) {
        auto hasBreak = [](const std::string& s) {
            return s.find_first_of("\r\n") != std::string::npos;
        };
        if (hasBreak(params.password) || hasBreak(params.userName)) {
            constexpr auto kInvalid = static_cast<uint32_t>(ERROR_INVALID_PARAMETER);
            details_[kInvalid] =
                "the account name or password holds a line break, which nmcli cannot take";
            return kInvalid;
        }
        std::string text = keys->second.password + ":" + params.password + "\n";
        if (!keys->second.userName.empty() && !params.userName.empty())
            text += keys->second.userName + ":" + params.userName + "\n";
        secrets = std::make_unique<TempFile>();
        std::string error;
        // Mode 0600, made exclusively, and gone when closed.
        if (!secrets->Create("NMP", {}, true, &error) || !WriteAll(secrets->Fd(), text)) {
            details_[ERROR_FROM_DEVICE] = error.empty() ? std::strerror(errno) : error;
            return ERROR_FROM_DEVICE;
        }
    }

    HRASCONN handle = nextHandle_++;
    *connection = handle;
    calls_[handle] = Call{params.entryName, nullptr, nullptr};

    std::vector<std::string> active;
    std::string why;
    if (ListNames(true, &active, &why) &&
        std::find(active.begin(), active.end(), params.entryName) != active.end())
        return ERROR_PORT_ALREADY_OPEN;

    const UINT message = CWindow::RegisterWindowMessage(kRasDialEventName);
    auto* process = new QProcess;
    calls_[handle].process = process;
    QPointer<CWindow> target(notifier);
    QObject::connect(process, &QProcess::started, process, [target, message] {
        if (target) target->PostMessage(message, RASCS_PortOpened, 0);
    });
    QObject::connect(
        process, &QProcess::finished, process,
        [this, target, message, handle, process](int exitCode, QProcess::ExitStatus status) {
            auto it = calls_.find(handle);
            if (it != calls_.end()) {
                it->second.process = nullptr;
                it->second.secrets.reset();  // read by now
            }
            process->deleteLater();
            if (!target) return;
            if (status == QProcess::NormalExit && exitCode == 0) {
                target->PostMessage(message, RASCS_Connected, 0);
                return;
            }
            uint32_t error =
                status == QProcess::NormalExit ? ErrorForExit(exitCode) : ERROR_DISCONNECTION;
            details_[error] = FirstLine(process->readAllStandardError());
            target->PostMessage(message, RASCS_OpenPort, static_cast<LPARAM>(error));
        });
    QObject::connect(process, &QProcess::errorOccurred, process,
                     [this, target, message, handle, process](QProcess::ProcessError e) {
                         if (e != QProcess::FailedToStart) return;
                         auto it = calls_.find(handle);
                         if (it != calls_.end()) {
                             it->second.process = nullptr;
                             it->second.secrets.reset();
                         }
                         process->deleteLater();
                         details_[ERROR_FROM_DEVICE] = process->errorString().toStdString();
                         if (target)
                             target->PostMessage(message, RASCS_OpenPort,
                                                 static_cast<LPARAM>(ERROR_FROM_DEVICE));
                     });
    std::vector<std::string> args = {"connection", "up", "id", params.entryName};
    if (secrets) {
        args.insert(args.end(), {"passwd-file", secrets->Path()});
        calls_[handle].secrets = std::move(secrets);
    }
    process->start(QString::fromStdString(program_), ToList(args));
    return 0;
}

std::string NmcliDialUp::GetErrorString(uint32_t code) {
    std::string text = StandardErrorText(code);
    auto it = details_.find(code);
    if (it != details_.end() && !it->second.empty()) text += " (" + it->second + ")";
    return text.substr(0, 255);
}

uint32_t NmcliDialUp::HangUp(HRASCONN connection) {
    auto it = calls_.find(connection);
    if (it == calls_.end()) return 6;  // ERROR_INVALID_HANDLE
    Call call = std::move(it->second);
    calls_.erase(it);
    if (call.process) {
        // Still dialing: stop it without a word to the window that gave up on it.
        call.process->disconnect();
        call.process->kill();
        call.process->waitForFinished(2000);
        call.process->deleteLater();
    }
    std::string out;
    int code = 0;
    RunSync({"connection", "down", "id", call.entry}, &out, &code);
    return 0;
}

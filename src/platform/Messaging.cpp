#include "platform/Messaging.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/CancelRequest.h"
#include "platform/TempFile.h"

namespace {

// Reads no more than this of the client's standard error at a time, so that a client that
// writes without end costs a bounded amount of memory until it is stopped.
constexpr std::chrono::milliseconds kReadSlice{200};

// The client's own words for a log line: one line, blanks for control bytes, at most max
// bytes and never cut inside a UTF-8 sequence.
std::string OneLine(const std::string& text, size_t max) {
    std::string out;
    for (char c : text) {
        bool blank = static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        if (blank) {
            if (!out.empty() && out.back() != ' ') out += ' ';
            continue;
        }
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    if (out.size() > max) {
        size_t n = max;
        while (n > 0 && (static_cast<unsigned char>(out[n]) & 0xC0) == 0x80) --n;
        out.resize(n);
    }
    return out;
}

bool StartsWithFax(const std::string& address) {
    return address.size() >= 4 && ::strncasecmp(address.c_str(), "FAX:", 4) == 0;
}

// A line end or other control byte would split the client's destination (and the job it
// writes for the fax server) into lines of its own.
bool HasControl(const std::string& s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

}  // namespace

std::unique_ptr<FaxClientMessaging> FaxClientMessaging::Load(const std::string& program,
                                                             std::string* why) {
    if (program.empty()) {
        *why = "no fax program is set";
        return nullptr;
    }
    QString path = QString::fromStdString(program);
    if (!path.contains('/')) {
        path = QStandardPaths::findExecutable(path);
        if (path.isEmpty()) {
            *why = "the fax program \"" + program + "\" was not found";
            return nullptr;
        }
    } else {
        QFileInfo info(path);
        if (!info.isFile() || !info.isExecutable()) {
            *why = "the fax program \"" + program + "\" was not found or cannot be run";
            return nullptr;
        }
        path = info.absoluteFilePath();
    }
    return std::unique_ptr<FaxClientMessaging>(new FaxClientMessaging(path.toStdString()));
}

uint32_t FaxClientMessaging::Fail(uint32_t code, std::string text) {
    lastError_ = std::move(text);
    return code;
}

uint32_t FaxClientMessaging::MAPILogon(uintptr_t, const std::string&, const std::string&, uint32_t,
                                       LHANDLE* session) {
    // The fax client keeps its own account (its server and user come from its own
    // configuration): there is nothing to log on to, and nothing to ask anyone.
    lastError_.clear();
    *session = nextSession_++;
    sessions_.push_back(*session);
    return SUCCESS_SUCCESS;
}

uint32_t FaxClientMessaging::MAPILogoff(LHANDLE session, uintptr_t) {
    auto it = std::find(sessions_.begin(), sessions_.end(), session);
    if (it == sessions_.end()) return Fail(MAPI_E_INVALID_SESSION, "no such session");
    sessions_.erase(it);
    return SUCCESS_SUCCESS;
}

uint32_t FaxClientMessaging::MAPISendMail(LHANDLE session, uintptr_t, const MapiMessage& message,
                                          uint32_t) {
    lastError_.clear();
    if (session != 0 && std::find(sessions_.begin(), sessions_.end(), session) == sessions_.end())
        return Fail(MAPI_E_INVALID_SESSION, "no such session");
    if (message.recips.empty()) return Fail(MAPI_E_INVALID_RECIPS, "the fax has no recipient");

    // -n: no cover page; the note text begins with the message's own header lines.
    std::vector<std::string> args = {"-n"};
    for (const MapiRecipDesc& r : message.recips) {
        if (r.recipClass != MAPI_TO && r.recipClass != 2 && r.recipClass != 3)
            return Fail(MAPI_E_BAD_RECIPTYPE, "a recipient is of no known class");
        if (!StartsWithFax(r.address))
            return Fail(MAPI_E_UNKNOWN_RECIPIENT,
                        "\"" + r.address + "\" is no fax address; only faxes can be sent");
        std::string number = Trim(r.address.substr(4));
        if (HasControl(number))
            return Fail(MAPI_E_INVALID_RECIPS, "the fax number \"" + OneLine(number, 64) +
                                                   "\" holds a line end or control character");
        if (HasControl(r.name))
            return Fail(MAPI_E_INVALID_RECIPS, "the fax name \"" + OneLine(r.name, 64) +
                                                   "\" holds a line end or control character");
        if (number.empty()) return Fail(MAPI_E_INVALID_RECIPS, "the fax number is empty");
        // The client takes "name@number" and splits it at the first "@".
        if (number.find('@') != std::string::npos)
            return Fail(MAPI_E_INVALID_RECIPS, "the fax number \"" + number + "\" holds an \"@\"");
        std::string name = Trim(r.name);
        std::replace(name.begin(), name.end(), '@', ' ');
        args.emplace_back("-d");
        args.push_back(name.empty() ? number : name + "@" + number);
    }

    // The text goes as a file of its own, readable by this user only, gone when closed.
    TempFile text;
    std::string error;
    if (!text.Create("FAX", {}, true, &error) || !WriteAll(text.Fd(), message.noteText))
        return Fail(MAPI_E_FAILURE,
                    "the fax text cannot be written: " +
                        (error.empty() ? std::string(std::strerror(errno)) : error));
    args.push_back(text.Path());

    for (const MapiFileDesc& f : message.files) {
        int fd = ::open(f.pathName.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::string name = f.fileName.empty() ? f.pathName : f.fileName;
            return Fail(MAPI_E_ATTACHMENT_OPEN_FAILURE,
                        "the attachment " + name + " cannot be opened: " + std::strerror(errno));
        }
        ::close(fd);
        // A name that begins with "-" would be read as an option.
        args.push_back(f.pathName.front() == '-' ? "./" + f.pathName : f.pathName);
    }
    return Run(args);
}

uint32_t FaxClientMessaging::Run(const std::vector<std::string>& args) {
    const std::string shortName =
        QFileInfo(QString::fromStdString(program_)).fileName().toStdString();
    QProcess p;
    p.setProgram(QString::fromStdString(program_));
    QStringList list;
    for (const auto& a : args) list << QString::fromStdString(a);
    p.setArguments(list);
    p.setStandardInputFile(QProcess::nullDevice());
    p.setStandardOutputFile(QProcess::nullDevice());
    p.setReadChannel(QProcess::StandardError);
    // A session of its own: no terminal to ask a password on, and a group that can be
    // stopped whole, helpers included.
    p.setChildProcessModifier([] { ::setsid(); });

    const auto deadline = std::chrono::steady_clock::now() + timeLimit_;
    p.start();
    if (!p.waitForStarted(static_cast<int>(timeLimit_.count())))
        return Fail(MAPI_E_FAILURE,
                    shortName + " could not be started: " + p.errorString().toStdString());

    std::string stderrHead;
    auto keep = [&] {
        QByteArray chunk = p.readAllStandardError();
        size_t room = kErrorTextMax * 4 - std::min(stderrHead.size(), kErrorTextMax * 4);
        stderrHead.append(chunk.constData(), std::min(room, static_cast<size_t>(chunk.size())));
    };
    bool timedOut = false, cancelled = false;
    while (p.state() != QProcess::NotRunning) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        // The program is asked to stop (a signal): the loop that would deliver it is held
        // here, so the wait ends on its own, a slice at most after the request.
        if (cancel_request::IsSet()) {
            cancelled = true;
            break;
        }
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        int slice = static_cast<int>(std::min(left, kReadSlice).count());
        // False when the client ended, or its standard error closed while it goes on: then
        // wait for its end a slice at a time.
        if (!p.waitForReadyRead(slice) && p.state() != QProcess::NotRunning)
            p.waitForFinished(slice);
        keep();
    }
    if (timedOut || cancelled) {
        qint64 pid = p.processId();
        if (pid > 0) ::kill(-static_cast<pid_t>(pid), SIGKILL);
        p.kill();
        p.waitForFinished(5000);
        if (cancelled)
            return Fail(MAPI_E_FAILURE, "the fax was cancelled and " + shortName + " was stopped");
        const long long ms = timeLimit_.count();
        std::string limit = ms % 1000 == 0 ? std::to_string(ms / 1000) + " seconds"
                                           : std::to_string(ms) + " milliseconds";
        return Fail(MAPI_E_FAILURE,
                    shortName + " did not finish within " + limit + " and was stopped");
    }
    keep();
    std::string said = OneLine(stderrHead, kErrorTextMax);
    if (p.exitStatus() != QProcess::NormalExit)
        return Fail(MAPI_E_FAILURE,
                    shortName + " ended abnormally" + (said.empty() ? "" : ": " + said));
    if (p.exitCode() != 0)
        return Fail(MAPI_E_FAILURE, shortName + " exited with status " +
                                        std::to_string(p.exitCode()) +
                                        (said.empty() ? "" : ": " + said));
    return SUCCESS_SUCCESS;
}

#include "app/Autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>

#include "app/AppPaths.h"
#include "app/CommandLine.h"
#include "platform/Registry.h"

namespace {

std::mutex gLaunchMutex;
AutostartLaunch gLaunch;

std::string Reason(int err) {
    return std::strerror(err);
}

// Characters after which an Exec argument must be quoted.
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";

bool Writable(const std::string& path, std::string* error) {
    if (!IsValidUtf8(path)) {
        *error = path + ": a path that is not UTF-8 cannot be written in an autostart entry";
        return false;
    }
    for (unsigned char c : path)
        if (c < 0x20 || c == 0x7f) {
            *error = "a path with a control character cannot be written in an autostart entry";
            return false;
        }
    return true;
}

// Makes dir and its missing parents, each readable by the user alone.
bool MakeFolders(const std::string& dir, std::string* error) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return true;
        *error = dir + ": " + Reason(ENOTDIR);
        return false;
    }
    std::string parent = std::filesystem::path(dir).parent_path();
    if (!parent.empty() && parent != dir && !MakeFolders(parent, error)) return false;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = dir + ": " + Reason(errno);
        return false;
    }
    return true;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    size_t e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// The string escapes of a desktop entry value: \s \n \t \r \\.
std::string UnescapeValue(const std::string& v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        switch (v[++i]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                out += v[i];
        }
    }
    return out;
}

}  // namespace

std::string Autostart::EntryFile() {
    return AppPaths::ConfigHome() + "/autostart/" + kFileName;
}

std::string Autostart::QuoteExecArgument(const std::string& arg) {
    std::string quoted;
    if (arg.empty() || arg.find_first_of(kReserved) != std::string::npos) {
        quoted = "\"";
        for (char c : arg) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
            quoted += c;
        }
        quoted += '"';
    } else {
        quoted = arg;
    }
    std::string out;
    for (char c : quoted) {
        // A literal percent sign would start a field code.
        if (c == '%') out += '%';
        // The value is a string too: its backslashes are escaped once more.
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

std::vector<std::string> Autostart::SplitExec(const std::string& value) {
    std::string v = UnescapeValue(value);
    std::vector<std::string> args;
    size_t i = 0;
    while (i < v.size()) {
        if (v[i] == ' ' || v[i] == '\t') {
            ++i;
            continue;
        }
        std::string arg;
        if (v[i] == '"') {
            for (++i; i < v.size() && v[i] != '"'; ++i) {
                if (v[i] == '\\' && i + 1 < v.size()) ++i;
                arg += v[i];
            }
            ++i;  // the closing quote
        } else {
            for (; i < v.size() && v[i] != ' ' && v[i] != '\t'; ++i) arg += v[i];
        }
        // "%%" is a percent sign; a lone field code is none of ours.
        std::string plain;
        for (size_t k = 0; k < arg.size(); ++k) {
            if (arg[k] == '%' && k + 1 < arg.size() && arg[k + 1] == '%') ++k;
            plain += arg[k];
        }
        args.push_back(plain);
    }
    return args;
}

bool Autostart::EntryText(const AutostartLaunch& launch, std::string* text, std::string* error) {
    std::vector<std::string> args{launch.program, "--hidden"};
    if (!launch.registryFile.empty()) args.insert(args.end(), {"--registry", launch.registryFile});
    if (!launch.dataDir.empty()) args.insert(args.end(), {"--data-dir", launch.dataDir});
    std::string exec;
    for (const auto& a : args) {
        if (!Writable(a, error)) return false;
        if (!exec.empty()) exec += ' ';
        exec += QuoteExecArgument(a);
    }
    *text =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Quorvane\n"
        "Comment=Watch web sites, mail and newsgroups on a schedule\n"
        "Exec=" +
        exec +
        "\n"
        "Icon=quorvane\n"
        "Terminal=false\n"
        "X-GNOME-Autostart-enabled=true\n"
        "X-Quorvane-Autostart=true\n";
    return true;
}

bool Autostart::IsOn() {
    const std::string file = EntryFile();
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<size_t>(st.st_size) > kMaxEntryBytes)
        return false;
    std::ifstream in(file, std::ios::binary);
    if (!in) return false;
    bool inEntry = false, ours = false, off = false;
    std::string line;
    size_t read = 0;
    while (std::getline(in, line) && (read += line.size() + 1) <= kMaxEntryBytes) {
        line = Trim(line);
        if (line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        size_t eq = line.find('=');
        if (!inEntry || eq == std::string::npos) continue;
        std::string key = Trim(line.substr(0, eq)), value = Trim(line.substr(eq + 1));
        if (key == "Hidden" && value == "true") off = true;
        if (key == "X-GNOME-Autostart-enabled" && value == "false") off = true;
        if (key == "X-Quorvane-Autostart" && value == "true") ours = true;
        if (key == "Exec") {
            auto args = SplitExec(value);
            if (!args.empty() && std::filesystem::path(args[0]).filename() == "quorvane")
                ours = true;
        }
    }
    return ours && !off;
}

bool Autostart::Enable(const AutostartLaunch& launch, std::string* error) {
    const std::string file = EntryFile();
    std::string text, why;
    if (!EntryText(launch, &text, &why)) {
        *error = file + " cannot be written: " + why;
        return false;
    }
    const std::string dir = std::filesystem::path(file).parent_path();
    if (!MakeFolders(dir, &why)) {
        *error = file + " cannot be written: " + why;
        return false;
    }
    // Hidden and without the .desktop ending: a session that starts meanwhile never
    // takes the half-written file for an entry.
    std::string temp = dir + "/.quorvane.desktop.XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        *error = file + " cannot be written: " + Reason(errno);
        return false;
    }
    bool ok = ::fchmod(fd, 0644) == 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    int writeErr = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), file.c_str()) != 0) {
        writeErr = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        *error = file + " cannot be written: " + Reason(writeErr ? writeErr : EIO);
        return false;
    }
    return true;
}

bool Autostart::Disable(std::string* error) {
    const std::string file = EntryFile();
    if (::unlink(file.c_str()) == 0 || errno == ENOENT) return true;
    *error = file + " cannot be removed: " + Reason(errno);
    return false;
}

bool Autostart::Set(bool on, const AutostartLaunch& launch, std::string* error) {
    return on ? Enable(launch, error) : Disable(error);
}

std::string Autostart::RunningProgram() {
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

AutostartLaunch Autostart::LaunchOf(const CommandLine& cmd) {
    AutostartLaunch launch;
    launch.program = RunningProgram();
    std::error_code ec;
    if (!cmd.registryFile.empty())
        launch.registryFile = std::filesystem::absolute(cmd.registryFile, ec).lexically_normal();
    if (!cmd.dataDir.empty())
        launch.dataDir = std::filesystem::absolute(cmd.dataDir, ec).lexically_normal();
    return launch;
}

void Autostart::SetCurrentLaunch(const AutostartLaunch& launch) {
    std::lock_guard lock(gLaunchMutex);
    gLaunch = launch;
}

AutostartLaunch Autostart::CurrentLaunch() {
    std::lock_guard lock(gLaunchMutex);
    if (gLaunch.program.empty()) gLaunch.program = RunningProgram();
    return gLaunch;
}

int RunAutostartCommand(const CommandLine& cmd, std::ostream& out, std::ostream& err) {
    const bool on = cmd.autostart == "on";
    std::string error;
    AutostartLaunch launch = Autostart::LaunchOf(cmd);
    if (on && launch.program.empty()) {
        err << "quorvane: the path of this program cannot be found for the autostart entry\n";
        return 3;
    }
    if (!Autostart::Set(on, launch, &error)) {
        err << "quorvane: " << error << "\n";
        return 3;
    }
    out << (on ? "Quorvane starts when you log in: "
               : "Quorvane no longer starts when you log in: ")
        << Autostart::EntryFile() << "\n";
    return 0;
}

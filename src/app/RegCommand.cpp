#include "app/RegCommand.h"

#include "app/CommandLine.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "app/AppPaths.h"
#include "app/SettingsStore.h"
#include "platform/Registry.h"
#include "platform/RegistryText.h"

namespace {

constexpr int kOk = 0, kNotFound = 1, kUsage = 2, kStoreError = 3, kNotWritten = 4;

#ifndef QUORVANE_VERSION
#define QUORVANE_VERSION "unknown"
#endif

constexpr const char* kUsageText =
    "usage: quorvane-reg [--registry FILE] query KEY [VALUE]\n"
    "       quorvane-reg [--registry FILE] set KEY VALUE TYPE DATA\n"
    "       quorvane-reg [--registry FILE] delete KEY [VALUE]\n"
    "       quorvane-reg [--registry FILE] export FILE [KEY]\n"
    "       quorvane-reg [--registry FILE] import FILE\n"
    "       quorvane-reg --help | -h | --version\n"
    "KEY is a path below HKEY_LOCAL_MACHINE written with backslashes; VALUE \"\" is the\n"
    "unnamed value. TYPE is REG_SZ, REG_DWORD (decimal or 0x-hex), REG_BINARY (hex digits)\n"
    "or REG_MULTI_SZ (items separated by \\0). FILE - is standard input or output.\n"
    "\n"
    "  --registry FILE  the settings store\n"
    "  -h, --help       print this text and end\n"
    "  --version        print the version and end\n";

int Usage(std::ostream& err, const std::string& why = {}) {
    if (!why.empty()) err << "quorvane-reg: " << why << "\n";
    err << kUsageText;
    return kUsage;
}

// Turns a failed registry call into the exit code and a message.
int Failure(std::ostream& err, LONG rc, const std::string& what) {
    if (rc == ERROR_FILE_NOT_FOUND || rc == ERROR_KEY_DELETED) {
        err << "quorvane-reg: " << what << " not found\n";
        return kNotFound;
    }
    if (rc == ERROR_INVALID_PARAMETER) {
        err << "quorvane-reg: " << what << ": a key name is longer than 255 characters\n";
        return kUsage;
    }
    auto store = Registry::Current();
    err << "quorvane-reg: " << what << ": "
        << (store && !store->LastError().empty() ? store->LastError() : "the store cannot be used")
        << "\n";
    return kStoreError;
}

bool ParseDword(const std::string& s, DWORD* v) {
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (!hex && s.find_first_not_of("0123456789") != std::string::npos) return false;
    unsigned long long n = std::strtoull(s.c_str(), &end, hex ? 16 : 10);
    if (errno || *end || n > 0xFFFFFFFFULL) return false;
    *v = static_cast<DWORD>(n);
    return true;
}

bool ParseData(const std::string& type, const std::string& text, DWORD* t, Bytes* data) {
    if (type == "REG_SZ") {
        *t = REG_SZ;
        data->assign(text.begin(), text.end());
        data->push_back(0);
        return true;
    }
    if (type == "REG_DWORD") {
        DWORD v = 0;
        if (!ParseDword(text, &v)) return false;
        *t = REG_DWORD;
        *data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                 static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (type == "REG_BINARY") {
        if (text.size() % 2 ||
            text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        *t = REG_BINARY;
        data->clear();
        for (size_t i = 0; i < text.size(); i += 2)
            data->push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
        return true;
    }
    if (type == "REG_MULTI_SZ") {
        std::vector<std::string> items;
        size_t start = 0;
        while (start <= text.size()) {
            size_t sep = text.find("\\0", start);
            if (sep == std::string::npos) sep = text.size();
            items.push_back(text.substr(start, sep - start));
            start = sep + 2;
        }
        *t = REG_MULTI_SZ;
        *data = settings::EncodeMultiString(items, SIZE_MAX);
        return true;
    }
    return false;
}

std::string ValueLine(const std::string& name, DWORD type, const Bytes& data) {
    return (name.empty() ? "(Default)" : name) + "\t" + RegistryTypeName(type) + "\t" +
           FormatRegistryData(type, data);
}

int Query(const std::string& path, const std::string* value, const std::string& keyArg,
          std::ostream& out, std::ostream& err) {
    RegKey key;
    LONG rc = key.Open(RegKey::LocalMachine(), path);
    if (rc != ERROR_SUCCESS) return Failure(err, rc, "key " + keyArg);
    DWORD type = 0;
    Bytes data;
    if (value) {
        rc = key.QueryValue(*value, &type, &data);
        if (rc != ERROR_SUCCESS) return Failure(err, rc, "value " + *value);
        std::string name;
        out << ValueLine(*value, type, data) << "\n";
        return OutputWritten(out, err, "quorvane-reg") ? kOk : kNotWritten;
    }
    std::string name;
    for (DWORD i = 0;; ++i) {
        rc = key.EnumValue(i, &name, &type, &data);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return Failure(err, rc, "key " + keyArg);
        out << ValueLine(name, type, data) << "\n";
    }
    for (DWORD i = 0;; ++i) {
        rc = key.EnumKey(i, &name);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return Failure(err, rc, "key " + keyArg);
        out << name << "\\\n";
    }
    return OutputWritten(out, err, "quorvane-reg") ? kOk : kNotWritten;
}

}  // namespace

int RunRegCommand(const std::vector<std::string>& argsIn, std::istream& in, std::ostream& out,
                  std::ostream& err) {
    std::vector<std::string> args = argsIn;
    std::string registryFile;
    if (!args.empty() && args[0] == "--registry") {
        // A missing file name, or an option in its place (the file name forgotten), would
        // otherwise make a store named after the option.
        if (args.size() < 2 || args[1].empty()) return Usage(err, "--registry needs a file name");
        if (args[1].size() > 1 && args[1][0] == '-')
            return Usage(err, "--registry needs a file name, not the option " + args[1] +
                                  " (write a name that starts with - as ./-name)");
        registryFile = args[1];
        args.erase(args.begin(), args.begin() + 2);
    } else if (!args.empty() && args[0].rfind("--registry=", 0) == 0) {
        registryFile = args[0].substr(11);
        if (registryFile.empty()) return Usage(err, "--registry needs a file name");
        args.erase(args.begin());
    }
    if (args.empty()) return Usage(err);
    const std::string& command = args[0];
    size_t n = args.size() - 1;
    bool shapeOk = (command == "query" && (n == 1 || n == 2)) || (command == "set" && n == 4) ||
                   (command == "delete" && (n == 1 || n == 2)) ||
                   (command == "export" && (n == 1 || n == 2)) || (command == "import" && n == 1);
    if (!shapeOk) {
        if (command == "--help" || command == "-h") {
            out << kUsageText;
            return kOk;
        }
        if (command == "--version") {
            out << "quorvane-reg " QUORVANE_VERSION "\n";
            return kOk;
        }
        if (command.size() > 1 && command[0] == '-') return Usage(err, "unknown option " + command);
        return Usage(err, "unknown command or wrong number of arguments");
    }

    // Check everything that can be checked before touching the store.
    std::string path;
    const std::string* keyArg = nullptr;
    if (command != "import") {
        keyArg = command == "export" ? (n == 2 ? &args[2] : nullptr) : &args[1];
        if (keyArg && !StripRootName(*keyArg, &path))
            return Usage(err, "only keys below HKEY_LOCAL_MACHINE can be used: " + *keyArg);
    }
    DWORD type = 0;
    Bytes data;
    if (command == "set" && !ParseData(args[3], args[4], &type, &data))
        return Usage(err, "cannot read " + args[4] + " as " + args[3]);
    if (command == "delete" && n == 1 && SplitRegistryPath(path).empty())
        return Usage(err, "the whole store cannot be deleted");

    std::string error;
    if (!OpenSettingsStore(registryFile.empty() ? AppPaths::DefaultRegistryFile() : registryFile,
                           &error)) {
        err << "quorvane-reg: " << error << "\n";
        return kStoreError;
    }

    if (command == "query") return Query(path, n == 2 ? &args[2] : nullptr, *keyArg, out, err);

    if (command == "set") {
        RegKey key;
        LONG rc = key.Create(RegKey::LocalMachine(), path, settings::kEventClass);
        if (rc != ERROR_SUCCESS) return Failure(err, rc, "key " + *keyArg);
        rc = key.SetValue(args[2], type, data);
        return rc == ERROR_SUCCESS ? kOk : Failure(err, rc, "value " + args[2]);
    }

    if (command == "delete") {
        if (n == 1) {
            LONG rc = RegKey::LocalMachine().DeleteKey(path);
            return rc == ERROR_SUCCESS ? kOk : Failure(err, rc, "key " + *keyArg);
        }
        RegKey key;
        LONG rc = key.Open(RegKey::LocalMachine(), path);
        if (rc == ERROR_SUCCESS) rc = key.DeleteValue(args[2]);
        return rc == ERROR_SUCCESS ? kOk : Failure(err, rc, "value " + args[2]);
    }

    if (command == "export") {
        std::string text;
        LONG rc = ExportRegistry(path, &text);
        if (rc != ERROR_SUCCESS) return Failure(err, rc, "key " + (keyArg ? *keyArg : "root"));
        // A backup cut short by a full disk must not pass for a whole one.
        if (args[1] == "-") {
            out << text;
            return OutputWritten(out, err, "quorvane-reg") ? kOk : kNotWritten;
        }
        std::ofstream file(args[1], std::ios::binary | std::ios::trunc);
        file << text;
        file.close();
        if (!file) {
            err << "quorvane-reg: cannot write " << args[1] << ": " << std::strerror(errno) << "\n";
            return kNotWritten;
        }
        return kOk;
    }

    // import
    std::string text;
    if (args[1] == "-") {
        std::ostringstream buf;
        buf << in.rdbuf();
        text = buf.str();
    } else {
        std::ifstream file(args[1], std::ios::binary);
        if (!file) {
            err << "quorvane-reg: cannot read " << args[1] << ": " << std::strerror(errno) << "\n";
            return kUsage;
        }
        std::ostringstream buf;
        buf << file.rdbuf();
        text = buf.str();
    }
    if (!ImportRegistry(text, &error)) {
        err << "quorvane-reg: " << args[1] << ": " << error << "\n";
        auto store = Registry::Current();
        bool storeFault = error.rfind("cannot ", 0) == 0;
        if (storeFault && store && !store->LastError().empty())
            err << "quorvane-reg: " << store->LastError() << "\n";
        return storeFault ? kStoreError : kUsage;
    }
    return kOk;
}

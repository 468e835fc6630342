#include "platform/RegistryText.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

namespace {

constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
constexpr const char* kClassTag = ";Class: ";

std::string Hex(const Bytes& data, const char* separator) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        if (i) out += separator;
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// A REG_SZ that the quoted form carries exactly: one NUL at the end, none inside, and no
// line breaks.
bool PlainString(const Bytes& data) {
    if (data.empty() || data.back() != 0) return false;
    for (size_t i = 0; i + 1 < data.size(); ++i)
        if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') return false;
    return true;
}

std::string ValueLine(const std::string& name, DWORD type, const Bytes& data) {
    std::string line = name.empty() ? "@" : Quote(name);
    line += '=';
    if (type == REG_SZ && PlainString(data)) {
        line += Quote(std::string(data.begin(), data.end() - 1));
    } else if (type == REG_DWORD && data.size() == 4) {
        char buf[16];
        DWORD v = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
        std::snprintf(buf, sizeof buf, "dword:%08x", v);
        line += buf;
    } else if (type == REG_BINARY) {
        line += "hex:" + Hex(data, ",");
    } else {
        char buf[24];
        std::snprintf(buf, sizeof buf, "hex(%x):", type);
        line += buf + Hex(data, ",");
    }
    return line;
}

LONG ExportKey(const RegKey& key, const std::string& path, std::string* text) {
    std::string cls;
    LONG rc = key.QueryInfo(&cls, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return rc;
    *text += "[" + std::string(kRootName) + (path.empty() ? "" : "\\" + path) + "]\n";
    if (!cls.empty()) *text += kClassTag + cls + "\n";
    std::string name;
    DWORD type = 0;
    Bytes data;
    for (DWORD i = 0;; ++i) {
        rc = key.EnumValue(i, &name, &type, &data);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return rc;
        *text += ValueLine(name, type, data) + "\n";
    }
    *text += "\n";
    std::vector<std::string> subkeys;
    for (DWORD i = 0;; ++i) {
        rc = key.EnumKey(i, &name);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) return rc;
        subkeys.push_back(name);
    }
    for (const auto& sub : subkeys) {
        RegKey child;
        rc = child.Open(key, sub);
        if (rc != ERROR_SUCCESS) return rc;
        rc = ExportKey(child, path.empty() ? sub : path + "\\" + sub, text);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return ERROR_SUCCESS;
}

// ---- import ----

struct ValueOp {
    std::string name;
    bool remove = false;
    DWORD type = REG_SZ;
    Bytes data;
};

struct KeyOp {
    std::string path;
    bool remove = false;
    std::string cls;
    std::vector<ValueOp> values;
};

// Reads a quoted string starting at s[i] == '"'; i ends past the closing quote.
std::optional<std::string> ReadQuoted(const std::string& s, size_t& i) {
    std::string out;
    for (++i; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            out += s[++i];
        } else if (c == '"') {
            ++i;
            return out;
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

std::optional<Bytes> ParseHexList(const std::string& s) {
    Bytes out;
    std::string digits;
    for (char c : s) {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!digits.empty() && digits.size() != 2) return std::nullopt;
            if (!digits.empty())
                out.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
            digits.clear();
        } else if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits += c;
        } else {
            return std::nullopt;
        }
    }
    if (!digits.empty()) {
        if (digits.size() != 2) return std::nullopt;
        out.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
    }
    return out;
}

bool ParseValueLine(const std::string& line, ValueOp* op, std::string* why) {
    size_t i = 0;
    if (line[0] == '@') {
        i = 1;
    } else {
        auto name = ReadQuoted(line, i);
        if (!name) {
            *why = "unterminated value name";
            return false;
        }
        op->name = *name;
    }
    while (i < line.size() && line[i] == ' ') ++i;
    if (i >= line.size() || line[i] != '=') {
        *why = "'=' expected after the value name";
        return false;
    }
    ++i;
    while (i < line.size() && line[i] == ' ') ++i;
    std::string rest = line.substr(i);
    while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r')) rest.pop_back();
    if (rest == "-") {
        op->remove = true;
        return true;
    }
    if (!rest.empty() && rest[0] == '"') {
        size_t j = 0;
        auto text = ReadQuoted(rest, j);
        if (!text || j != rest.size()) {
            *why = "malformed string data";
            return false;
        }
        op->type = REG_SZ;
        op->data.assign(text->begin(), text->end());
        op->data.push_back(0);
        return true;
    }
    if (strncasecmp(rest.c_str(), "dword:", 6) == 0) {
        std::string digits = rest.substr(6);
        if (digits.empty() || digits.size() > 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            *why = "malformed dword data";
            return false;
        }
        DWORD v = static_cast<DWORD>(std::stoul(digits, nullptr, 16));
        op->type = REG_DWORD;
        op->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (strncasecmp(rest.c_str(), "hex", 3) == 0) {
        size_t colon = rest.find(':');
        std::string kind = rest.substr(3, colon == std::string::npos ? 0 : colon - 3);
        op->type = REG_BINARY;
        if (!kind.empty()) {
            if (kind.size() < 3 || kind.front() != '(' || kind.back() != ')' ||
                kind.find_first_not_of("0123456789abcdefABCDEF", 1) != kind.size() - 1 ||
                kind.size() > 10) {
                *why = "malformed hex type";
                return false;
            }
            op->type = static_cast<DWORD>(std::stoul(kind.substr(1, kind.size() - 2), nullptr, 16));
        }
        auto bytes =
            colon == std::string::npos ? std::nullopt : ParseHexList(rest.substr(colon + 1));
        if (!bytes) {
            *why = "malformed hex data";
            return false;
        }
        op->data = std::move(*bytes);
        return true;
    }
    *why = "unknown data form";
    return false;
}

}  // namespace

bool StripRootName(const std::string& key, std::string* path, bool requireRoot) {
    for (const char* root : {kRootName, "HKLM"}) {
        size_t n = std::strlen(root);
        if (strncasecmp(key.c_str(), root, n) == 0 && (key.size() == n || key[n] == '\\')) {
            *path = key.size() == n ? std::string() : key.substr(n + 1);
            return true;
        }
    }
    if (requireRoot || strncasecmp(key.c_str(), "HKEY_", 5) == 0) return false;
    *path = key;
    return true;
}

LONG ExportRegistry(const std::string& keyPath, std::string* text) {
    RegKey key;
    LONG rc = key.Open(RegKey::LocalMachine(), keyPath);
    if (rc != ERROR_SUCCESS) return rc;
    std::string path;
    for (const auto& part : SplitRegistryPath(keyPath)) path += (path.empty() ? "" : "\\") + part;
    *text = "REGEDIT4\n\n";
    return ExportKey(key, path, text);
}

bool ImportRegistry(const std::string& text, std::string* error) {
    std::vector<KeyOp> ops;
    size_t pos = 0;
    int lineNo = 0;
    bool sawHeader = false;
    auto fail = [&](int at, const std::string& why) {
        *error = "line " + std::to_string(at) + ": " + why;
        return false;
    };
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        int at = ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Hex data may run over several lines, each but the last ending in a backslash.
        while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos &&
               pos < text.size()) {
            line.pop_back();
            end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string next = text.substr(pos, end - pos);
            pos = end + 1;
            ++lineNo;
            if (!next.empty() && next.back() == '\r') next.pop_back();
            size_t b = next.find_first_not_of(" \t");
            line += b == std::string::npos ? "" : next.substr(b);
        }
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        line = line.substr(first);
        if (!sawHeader) {
            if (line != "REGEDIT4") return fail(at, "the file does not begin with REGEDIT4");
            sawHeader = true;
            continue;
        }
        if (line.rfind(kClassTag, 0) == 0) {
            if (!ops.empty() && ops.back().values.empty()) ops.back().cls = line.substr(8);
            continue;
        }
        if (line[0] == ';') continue;
        if (line[0] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos) return fail(at, "']' missing in the key name");
            KeyOp op;
            std::string name = line.substr(1, close - 1);
            if (!name.empty() && name[0] == '-') {
                op.remove = true;
                name.erase(0, 1);
            }
            if (!StripRootName(name, &op.path, true))
                return fail(at, "only keys below HKEY_LOCAL_MACHINE can be imported");
            for (const auto& part : SplitRegistryPath(op.path))
                if (part.size() > kMaxKeyNameLength) return fail(at, "key name too long");
            if (op.remove && SplitRegistryPath(op.path).empty())
                return fail(at, "the whole store cannot be deleted");
            ops.push_back(std::move(op));
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            if (ops.empty() || ops.back().remove) return fail(at, "a value outside of a key");
            ValueOp v;
            std::string why;
            if (!ParseValueLine(line, &v, &why)) return fail(at, why);
            ops.back().values.push_back(std::move(v));
            continue;
        }
        return fail(at, "unrecognised line");
    }
    if (!sawHeader) return fail(lineNo, "the file does not begin with REGEDIT4");

    for (const auto& op : ops) {
        if (op.remove) {
            LONG rc = RegKey::LocalMachine().DeleteKey(op.path);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND) {
                *error = "cannot delete " + op.path;
                return false;
            }
            continue;
        }
        RegKey key;
        LONG rc = op.path.empty() ? key.Open(RegKey::LocalMachine(), "")
                                  : key.Create(RegKey::LocalMachine(), op.path, op.cls);
        if (rc != ERROR_SUCCESS) {
            *error = "cannot create " + op.path;
            return false;
        }
        for (const auto& v : op.values) {
            rc = v.remove ? key.DeleteValue(v.name) : key.SetValue(v.name, v.type, v.data);
            if (rc != ERROR_SUCCESS && !(v.remove && rc == ERROR_FILE_NOT_FOUND)) {
                *error = "cannot write " + op.path + "\\" + v.name;
                return false;
            }
        }
    }
    return true;
}

std::string RegistryTypeName(DWORD type) {
    switch (type) {
        case REG_NONE:
            return "REG_NONE";
        case REG_SZ:
            return "REG_SZ";
        case REG_EXPAND_SZ:
            return "REG_EXPAND_SZ";
        case REG_BINARY:
            return "REG_BINARY";
        case REG_DWORD:
            return "REG_DWORD";
        case REG_MULTI_SZ:
            return "REG_MULTI_SZ";
        default:
            return "REG_TYPE_" + std::to_string(type);
    }
}

std::string FormatRegistryData(DWORD type, const Bytes& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::string s(data.begin(), data.end());
        return s.substr(0, s.find('\0'));
    }
    if (type == REG_DWORD && data.size() == 4) {
        char buf[16];
        DWORD v = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
        std::snprintf(buf, sizeof buf, "0x%08x", v);
        return buf;
    }
    if (type == REG_MULTI_SZ) {
        std::string out;
        size_t i = 0;
        bool firstItem = true;
        while (i < data.size() && data[i] != 0) {
            size_t j = i;
            while (j < data.size() && data[j] != 0) ++j;
            if (!firstItem) out += "\\0";
            out.append(data.begin() + static_cast<long>(i), data.begin() + static_cast<long>(j));
            firstItem = false;
            i = j + 1;
        }
        return out;
    }
    return Hex(data, "");
}

#include "platform/RegistryText.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace {

constexpr const char* kRootName = "HKEY_LOCAL_MACHINE";
constexpr const char* kClassTag = ";Class: ";
// What the quoted REGEDIT4 forms cannot carry (bytes that are not UTF-8, line breaks,
// NULs) travels exactly in these comment lines, as hex: the key path, below the key's
// line; the name of the value on the next line; the key's class. The registry editor
// passes over them and uses the readable stand-in on the line itself.
constexpr const char* kExactPathTag = ";ExactPath: ";
constexpr const char* kExactNameTag = ";ExactName: ";
constexpr const char* kExactClassTag = ";ExactClass: ";

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

Bytes ToBytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// Text that a quoted form or a tag line carries as it stands.
bool PlainText(std::string_view s) {
    return IsValidUtf8(s) && s.find_first_of(std::string_view("\0\r\n", 3)) == std::string::npos;
}

// The readable form of a name that is not plain: every byte that is not UTF-8 and every
// line break or NUL shown as '?'.
std::string StandIn(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size();) {
        size_t n = 1;
        while (i + n <= s.size() && n <= 4 && !IsValidUtf8(s.substr(i, n))) ++n;
        if (n > 4 || i + n > s.size()) {
            out += '?';
            ++i;
            continue;
        }
        char c = s[i];
        out +=
            (c == '\0' || c == '\r' || c == '\n') ? std::string("?") : std::string(s.substr(i, n));
        i += n;
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
    return PlainText(std::string_view(reinterpret_cast<const char*>(data.data()), data.size() - 1));
}

std::string ValueLine(const std::string& name, DWORD type, const Bytes& data) {
    std::string line;
    if (name.empty())
        line = "@";
    else if (PlainText(name))
        line = Quote(name);
    else
        line = kExactNameTag + Hex(ToBytes(name), ",") + "\n" + Quote(StandIn(name));
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
    bool plainPath = PlainText(path);
    *text += "[" + std::string(kRootName) + (path.empty() ? "" : "\\" + StandIn(path)) + "]\n";
    if (!plainPath) *text += kExactPathTag + Hex(ToBytes(path), ",") + "\n";
    // Lines lose their trailing blanks on the way in, so such a class travels as hex too.
    if (!cls.empty() && PlainText(cls) && cls.back() != ' ' && cls.back() != '\t')
        *text += kClassTag + cls + "\n";
    else if (!cls.empty())
        *text += kExactClassTag + Hex(ToBytes(cls), ",") + "\n";
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

size_t SkipBlanks(const std::string& s, size_t i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i;
}

// A value line whose data is in the hex form, which may go on over several lines.
bool IsHexValueLine(const std::string& line) {
    size_t i = 0;
    if (line[0] == '@')
        i = 1;
    else if (line[0] != '"' || !ReadQuoted(line, i))
        return false;
    i = SkipBlanks(line, i);
    if (i >= line.size() || line[i] != '=') return false;
    i = SkipBlanks(line, i + 1);
    return strncasecmp(line.c_str() + i, "hex", 3) == 0;
}

// REGEDIT4 files are written in the Windows ANSI code page unless they are UTF-8.
std::string FromWindows1252(const std::string& text) {
    // 0x80..0x9F; the five holes map to the C1 control of the same number, as Windows does.
    static const char16_t high[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (unsigned char c : text) {
        char32_t v = c < 0x80 ? c : c < 0xA0 ? high[c - 0x80] : c;
        if (v < 0x80) {
            out += static_cast<char>(v);
        } else if (v < 0x800) {
            out += static_cast<char>(0xC0 | (v >> 6));
            out += static_cast<char>(0x80 | (v & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | (v >> 12));
            out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (v & 0x3F));
        }
    }
    return out;
}

bool ValidPath(const std::string& path, bool remove, std::string* why) {
    for (const auto& part : SplitRegistryPath(path))
        if (RegistryNameLength(part) > kMaxKeyNameLength) {
            *why = "key name too long";
            return false;
        }
    if (remove && SplitRegistryPath(path).empty()) {
        *why = "the whole store cannot be deleted";
        return false;
    }
    return true;
}

std::optional<std::string> ParseExact(const std::string& line, const char* tag) {
    auto bytes = ParseHexList(line.substr(std::strlen(tag)));
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
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
    i = SkipBlanks(line, i);
    if (i >= line.size() || line[i] != '=') {
        *why = "'=' expected after the value name";
        return false;
    }
    i = SkipBlanks(line, i + 1);
    std::string rest = line.substr(i);
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
    if (requireRoot) return false;
    // The short names of the other root keys are roots too, not keys of that name below
    // HKEY_LOCAL_MACHINE: "HKCU\A" must not quietly reach HKLM\HKCU\A.
    std::string first = key.substr(0, key.find('\\'));
    if (strncasecmp(first.c_str(), "HKEY_", 5) == 0) return false;
    for (const char* other : {"HKCU", "HKCR", "HKU", "HKCC", "HKDD", "HKPD"})
        if (strcasecmp(first.c_str(), other) == 0) return false;
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

bool ImportRegistry(const std::string& input, std::string* error) {
    std::string text = input;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    if (!IsValidUtf8(text)) text = FromWindows1252(text);

    std::vector<KeyOp> ops;
    size_t pos = 0;
    int lineNo = 0;
    bool sawHeader = false;
    std::optional<std::string> pendingName;  // from an ExactName line, for the next value
    int pendingAt = 0;
    auto fail = [&](int at, const std::string& why) {
        *error = "line " + std::to_string(at) + ": " + why;
        return false;
    };
    auto nextLine = [&]() {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        size_t last = line.find_last_not_of(" \t\r");
        line.erase(last == std::string::npos ? 0 : last + 1);
        size_t first = line.find_first_not_of(" \t");
        return first == std::string::npos ? std::string() : line.substr(first);
    };
    while (pos < text.size()) {
        std::string line = nextLine();
        int at = lineNo;
        // Hex data may run over several lines, each but the last ending in a backslash.
        if (!line.empty() && (line[0] == '"' || line[0] == '@') && IsHexValueLine(line))
            while (!line.empty() && line.back() == '\\' && pos < text.size()) {
                line.pop_back();
                line += nextLine();
            }
        if (line.empty()) continue;
        if (!sawHeader) {
            if (line != "REGEDIT4") return fail(at, "the file does not begin with REGEDIT4");
            sawHeader = true;
            continue;
        }
        bool freshKey = !ops.empty() && ops.back().values.empty();
        if (line.rfind(kClassTag, 0) == 0) {
            if (freshKey) ops.back().cls = line.substr(std::strlen(kClassTag));
            continue;
        }
        if (line.rfind(kExactClassTag, 0) == 0 || line.rfind(kExactPathTag, 0) == 0) {
            bool isPath = line.rfind(kExactPathTag, 0) == 0;
            auto exact = ParseExact(line, isPath ? kExactPathTag : kExactClassTag);
            if (!exact) return fail(at, "malformed hex in the comment line");
            if (!freshKey) return fail(at, "a key's comment line away from its key");
            std::string why;
            if (isPath && !ValidPath(*exact, ops.back().remove, &why)) return fail(at, why);
            (isPath ? ops.back().path : ops.back().cls) = *exact;
            continue;
        }
        if (line.rfind(kExactNameTag, 0) == 0) {
            pendingName = ParseExact(line, kExactNameTag);
            pendingAt = at;
            if (!pendingName) return fail(at, "malformed hex in the comment line");
            continue;
        }
        if (line[0] == ';') continue;
        if (pendingName && line[0] != '"') return fail(pendingAt, "no value follows the name");
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
            std::string why;
            if (!ValidPath(op.path, op.remove, &why)) return fail(at, why);
            ops.push_back(std::move(op));
            continue;
        }
        if (line[0] == '"' || line[0] == '@') {
            if (ops.empty() || ops.back().remove) return fail(at, "a value outside of a key");
            ValueOp v;
            std::string why;
            if (!ParseValueLine(line, &v, &why)) return fail(at, why);
            if (pendingName) v.name = *std::exchange(pendingName, std::nullopt);
            ops.back().values.push_back(std::move(v));
            continue;
        }
        return fail(at, "unrecognised line");
    }
    if (!sawHeader) return fail(lineNo, "the file does not begin with REGEDIT4");
    if (pendingName) return fail(pendingAt, "no value follows the name");

    // One transaction: a file that cannot be applied whole changes nothing.
    auto store = Registry::Current();
    std::optional<Registry::Transaction> batch;
    if (store) batch.emplace(*store, Registry::Transaction::Whole);
    if (!batch || !batch->open()) {
        *error = "cannot write the settings store";
        return false;
    }
    auto abandon = [&](const std::string& why) {
        *error = why;
        return false;
    };
    for (const auto& op : ops) {
        if (op.remove) {
            LONG rc = RegKey::LocalMachine().DeleteKey(op.path);
            if (rc != ERROR_SUCCESS && rc != ERROR_FILE_NOT_FOUND)
                return abandon("cannot delete " + op.path);
            continue;
        }
        RegKey key;
        LONG rc = op.path.empty() ? key.Open(RegKey::LocalMachine(), "")
                                  : key.Create(RegKey::LocalMachine(), op.path, op.cls);
        if (rc != ERROR_SUCCESS) return abandon("cannot create " + op.path);
        for (const auto& v : op.values) {
            rc = v.remove ? key.DeleteValue(v.name) : key.SetValue(v.name, v.type, v.data);
            if (rc != ERROR_SUCCESS && !(v.remove && rc == ERROR_FILE_NOT_FOUND))
                return abandon("cannot write " + op.path + "\\" + v.name);
        }
    }
    if (!batch->Commit()) {
        *error = "cannot write the settings store";
        return false;
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

#include "settings/Settings.h"

#include <algorithm>
#include <map>
#include <optional>
#include <tuple>

namespace settings {

std::string EventPath(const std::string& name) {
    return std::string(kRoot) + "\\" + name;
}

bool IsSet(const RegKey& key, const char* name) {
    return ReadDword(key, name, 0) == 1;
}

DWORD ReadDword(const RegKey& key, const char* name, DWORD fallback) {
    DWORD v = 0;
    return key.GetDword(name, &v) == ERROR_SUCCESS ? v : fallback;
}

std::string ReadString(const RegKey& key, const char* name, size_t capacity) {
    std::string text;
    if (key.GetString(name, &text, capacity) != ERROR_SUCCESS) text.clear();
    return text;
}

std::vector<std::string> SplitWords(std::string_view text) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < text.size()) {
        size_t start = text.find_first_not_of(" \t\r\n", at);
        if (start == std::string_view::npos) break;
        size_t end = text.find_first_of(" \t\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        words.emplace_back(text.substr(start, end - start));
        at = end;
    }
    return words;
}

std::vector<std::string> ReadWordList(const RegKey& key, const std::string& name, size_t maxBytes) {
    std::string text;
    if (key.GetString(name, &text, maxBytes) != ERROR_SUCCESS) return {};
    return SplitWords(text);
}

std::vector<std::string> ReadMultiString(const RegKey& key, const char* name, bool* tooLong,
                                         size_t capacity) {
    std::vector<std::string> items;
    Bytes data;
    LONG rc = key.QueryValue(name, nullptr, &data, capacity);
    if (tooLong) *tooLong = rc == ERROR_MORE_DATA;
    if (rc != ERROR_SUCCESS) return items;
    size_t i = 0;
    while (i < data.size()) {
        auto end = std::find(data.begin() + static_cast<long>(i), data.end(), uint8_t{0});
        if (end == data.begin() + static_cast<long>(i)) break;  // the empty item ends it
        items.emplace_back(data.begin() + static_cast<long>(i), end);
        i = static_cast<size_t>(end - data.begin()) + 1;
    }
    return items;
}

Bytes EncodeMultiString(const std::vector<std::string>& items, size_t limit) {
    Bytes out;
    for (const auto& item : items) {
        if (item.empty()) continue;  // an empty item would end the list early
        if (out.size() + item.size() + 2 > limit) break;
        out.insert(out.end(), item.begin(), item.end());
        out.push_back(0);
    }
    out.push_back(0);
    if (out.size() == 1) out.push_back(0);  // an empty list is two NULs
    return out;
}

namespace {

// What the live scopes have read of the root. Every answer is kept as the reader computed
// it, so a cached read is the uncached one, byte for byte.
struct RootMemo {
    int depth = 0;
    Registry* store = nullptr;
    RegKey root;
    bool rootOpen = false;
    uint64_t writes = 0;
    std::map<std::pair<std::string, DWORD>, DWORD> dwords;
    // (reader, name, capacity) -> (result, text)
    std::map<std::tuple<int, std::string, size_t>, std::pair<bool, std::string>> texts;
};

RootMemo& Memo() {
    static RootMemo memo;
    return memo;
}

// The memo when a scope is live and still true to the store, emptied when it is not.
RootMemo* LiveMemo() {
    RootMemo& m = Memo();
    if (m.depth == 0) return nullptr;
    Registry* current = Registry::Current().get();
    if (m.store != current || (m.rootOpen && m.root.LocalWrites() != m.writes)) {
        m.dwords.clear();
        m.texts.clear();
        m.store = current;
        m.root.Close();
        m.rootOpen = m.root.Open(RegKey::LocalMachine(), kRoot) == ERROR_SUCCESS;
        m.writes = m.rootOpen ? m.root.LocalWrites() : 0;
    }
    return &m;
}

enum RootReader { kString, kPath, kText };

template <typename Read>
bool MemoText(int reader, const char* name, size_t capacity, std::string& text, Read read) {
    RootMemo* m = LiveMemo();
    if (!m) return read(text);
    auto key = std::make_tuple(reader, std::string(name), capacity);
    auto it = m->texts.find(key);
    if (it == m->texts.end()) {
        std::string value;
        bool ok = read(value);
        it = m->texts.emplace(std::move(key), std::make_pair(ok, std::move(value))).first;
    }
    text = it->second.second;
    return it->second.first;
}

}  // namespace

RootSettingsScope::RootSettingsScope() {
    ++Memo().depth;
}

RootSettingsScope::~RootSettingsScope() {
    RootMemo& m = Memo();
    if (--m.depth > 0) return;
    m.dwords.clear();
    m.texts.clear();
    m.root.Close();
    m.rootOpen = false;
    m.store = nullptr;
}

DWORD ReadRootDword(const char* name, DWORD fallback) {
    auto read = [&] {
        RegKey root;
        if (root.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) return fallback;
        return ReadDword(root, name, fallback);
    };
    RootMemo* m = LiveMemo();
    if (!m) return read();
    auto key = std::make_pair(std::string(name), fallback);
    auto it = m->dwords.find(key);
    if (it == m->dwords.end()) it = m->dwords.emplace(std::move(key), read()).first;
    return it->second;
}

}  // namespace settings

using namespace settings;

bool ReadRootString(const char* name, std::string& text) {
    return MemoText(kString, name, kRootStringBuffer, text, [&](std::string& out) {
        out.clear();
        RegKey root;
        if (root.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) return false;
        out = ReadString(root, name, kRootStringBuffer);
        return true;
    });
}

bool ReadRootPath(const char* name, std::string& text) {
    return MemoText(kPath, name, kPathBuffer, text, [&](std::string& out) {
        out.clear();
        RegKey root;
        if (root.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) return false;
        out = ReadString(root, name, kPathBuffer);
        return true;
    });
}

bool ReadRootText(const char* name, std::string& text, size_t capacity) {
    return MemoText(kText, name, capacity, text, [&](std::string& out) {
        out.clear();
        RegKey root;
        if (root.Open(RegKey::LocalMachine(), kRoot) != ERROR_SUCCESS) return true;
        LONG rc = root.GetString(name, &out, capacity);
        if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) return true;
        out.clear();
        return false;
    });
}

bool GetMyName(std::string& text) {
    return ReadRootString(kMyName, text);
}
bool GetHostName(std::string& text) {
    return ReadRootString(kHostName, text);
}
bool GetSmtpServer(std::string& text) {
    return ReadRootString(kSmtpServer, text);
}
bool GetNewsServer(std::string& text) {
    return ReadRootString(kNewsServer, text);
}

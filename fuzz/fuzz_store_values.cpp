// The stored values the monitors read, on any bytes stored under any type in a store of
// its own in TMPDIR: byte 0 picks the type and the reader's buffer, byte 1 the word list's
// bound; the rest is the value. A list read is never more than was stored and comes back
// the same through the writer's encoding; a list too long for its buffer is empty and says
// so; a word has no blank; a watch-list record is its 12 bytes, taken as the monitor takes
// them, and one of another size never passes as one.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzStore.h"
#include "monitors/WebMonitor.h"
#include "platform/Registry.h"
#include "settings/Settings.h"

namespace {

RegKey& Key() {
    static RegKey key;
    if (!key.IsOpen()) {
        OpenFuzzStore("fuzz_store_values");
        if (key.Create(RegKey::LocalMachine(), "Values", "") != ERROR_SUCCESS) __builtin_trap();
    }
    return key;
}

// Each item with its NUL, as the list is laid out.
Bytes Layout(const std::vector<std::string>& items) {
    Bytes out;
    for (const auto& item : items) {
        out.insert(out.end(), item.begin(), item.end());
        out.push_back(0);
    }
    return out;
}

void CheckMultiString(RegKey& key, const Bytes& value, size_t capacity) {
    bool tooLong = false;
    auto items = settings::ReadMultiString(key, "List", &tooLong, capacity);
    if (tooLong != (value.size() > capacity)) __builtin_trap();
    if (tooLong) {
        if (!items.empty()) __builtin_trap();
        return;
    }
    for (const auto& item : items)
        if (item.empty() || item.find('\0') != std::string::npos) __builtin_trap();
    Bytes laid = Layout(items);
    if (laid.size() > value.size() + 1) __builtin_trap();
    // Nothing but the items the value holds, in its order (the last may lack its NUL).
    if (!std::equal(laid.begin(), laid.end() - (laid.size() > value.size() ? 1 : 0), value.begin()))
        __builtin_trap();

    // What the dialogs write of such a list reads back as the same list, or its first
    // whole items when it does not fit their bound.
    for (size_t limit : {settings::kLongList, settings::kListBuffer}) {
        Bytes encoded = settings::EncodeMultiString(items, limit);
        if (encoded.size() > std::max<size_t>(limit, 2)) __builtin_trap();
        if (key.SetValue("Copy", REG_MULTI_SZ, encoded) != ERROR_SUCCESS) __builtin_trap();
        bool copyTooLong = false;
        auto back = settings::ReadMultiString(key, "Copy", &copyTooLong, limit);
        if (copyTooLong || back.size() > items.size()) __builtin_trap();
        if (!std::equal(back.begin(), back.end(), items.begin())) __builtin_trap();
        if (limit == settings::kLongList && laid.size() + 1 <= limit && back != items)
            __builtin_trap();
    }
}

void CheckWords(RegKey& key, size_t maxBytes) {
    auto words = settings::ReadWordList(key, "List", maxBytes);
    std::string joined;
    for (const auto& w : words) {
        if (w.empty() || w.find_first_of(std::string(" \t\r\n\0", 5)) != std::string::npos)
            __builtin_trap();
        joined += w + ' ';
    }
    if (settings::SplitWords(joined) != words) __builtin_trap();
}

void CheckWatched(const Bytes& value, const std::string& name) {
    WatchedUrlRecord r = WatchedUrlRecord::Decode(value);
    Bytes encoded = r.Encode();
    if (encoded.size() != 12) __builtin_trap();
    if (value.size() == 12 && encoded != value) __builtin_trap();

    // The watch list as the monitor walks it: a value it cannot use is passed over.
    RegKey root = RegKey::LocalMachine();
    root.DeleteKey("Watched");
    RegKey watched;
    if (watched.Create(root, "Watched", "") != ERROR_SUCCESS) __builtin_trap();
    if (watched.SetValue(name, REG_BINARY, value) != ERROR_SUCCESS) return;
    std::string got;
    DWORD type = 0;
    Bytes data;
    LONG rc = watched.EnumValue(0, &got, &type, &data, 256, 12);
    if (rc == ERROR_SUCCESS) {
        if (data != value || value.size() > 12 || got != name) __builtin_trap();
    } else if (rc != ERROR_MORE_DATA || (value.size() <= 12 && RegistryNameLength(name) < 256)) {
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static const DWORD kTypes[] = {REG_MULTI_SZ, REG_SZ, REG_BINARY, REG_EXPAND_SZ, REG_NONE};
    static const size_t kCapacities[] = {settings::kListBuffer, 16, settings::kLongList, 1};
    const DWORD type = kTypes[(data[0] & 7) % std::size(kTypes)];
    const size_t capacity = kCapacities[(data[0] >> 3) % std::size(kCapacities)];
    const size_t maxBytes = 1 + data[1] * 16;
    Bytes value(data + 2, data + size);

    RegKey& key = Key();
    if (key.SetValue("List", type, value) != ERROR_SUCCESS) __builtin_trap();
    CheckMultiString(key, value, capacity);
    CheckWords(key, maxBytes);
    for (const auto& w : settings::SplitWords(std::string(value.begin(), value.end())))
        if (w.empty() || w.find_first_of(" \t\r\n") != std::string::npos) __builtin_trap();

    std::string name(value.begin(), value.end());
    name = name.substr(0, name.find('\0')).substr(0, 300);
    CheckWatched(value, name);
    return 0;
}

// The news group list reader on any file, fed whole and in pieces of sizes the first byte
// picks. The pieces must read as the whole does; every group is one line's first word:
// never empty, never longer than the bound, without a blank, line end or zero byte.
#include <cstdint>
#include <string>
#include <string_view>

#include "app/GroupList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + data[0] % 64;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    CGroupListReader whole;
    whole.Feed(text, length);
    whole.Finish();
    CGroupListReader pieces;
    for (size_t at = 0; at < length; at += piece)
        if (!pieces.Feed(text + at, length - at < piece ? length - at : piece)) break;
    pieces.Finish();
    if (whole.groups() != pieces.groups() || whole.skipped() != pieces.skipped()) __builtin_trap();

    size_t lines = 1;
    for (size_t i = 0; i < length; ++i) lines += text[i] == '\n';
    if (whole.groups().size() + whole.skipped() > lines) __builtin_trap();
    for (const std::string& g : whole.groups()) {
        if (g.empty() || g.size() > grouplist::kMaxNameBytes) __builtin_trap();
        if (g.find_first_of(std::string_view(" \t\r\n\v\f\0", 7)) != std::string::npos)
            __builtin_trap();
    }

    // The chooser's lists over what was read: a search shows only groups holding the word.
    CGroupList list;
    list.SetGroups(whole.groups());
    std::string word = length > 0 ? std::string(text, length < 3 ? length : 3) : std::string();
    list.ApplySearch(word);
    for (size_t row = 0; row < list.rowCount(); ++row) {
        if (list.rowName(row).find(word) == std::string::npos) __builtin_trap();
        list.SetRowSelected(row, true);
    }
    if (list.Result().size() > grouplist::kMaxChosen) __builtin_trap();
    return 0;
}

// Every page scanning operation on one random page with random arguments: the first 12
// bytes give two cursors (any 32-bit value, negative and past the end included, widened
// to the extremes by the top bits) and the flags; then a name and a text up to the
// first two 0x01 bytes; the rest is the page. Every offset given back must lie in the
// page and point where it says, and nothing may read past the page's end (the page is
// copied to a buffer of its own size so the address sanitizer sees every byte past it).
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <string_view>

#include "content/HtmlScan.h"

namespace {

int64_t CursorFrom(const uint8_t* bytes) {
    int32_t raw;
    std::memcpy(&raw, bytes, sizeof raw);
    switch (bytes[3] >> 6) {
        case 0:
            return std::numeric_limits<int64_t>::min();
        case 3:
            return std::numeric_limits<int64_t>::max();
        default:
            return raw;
    }
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

bool InPage(int64_t offset, size_t size) {
    return offset >= 0 && static_cast<uint64_t>(offset) <= size;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    const int64_t cursorA = CursorFrom(data);
    const int64_t cursorB = CursorFrom(data + 4);
    const int flags = data[8] | (data[9] << 8);
    std::string_view rest(reinterpret_cast<const char*>(data + 12), size - 12);
    size_t cut = rest.find('\x01');
    std::string_view name = rest.substr(0, cut == std::string_view::npos ? 0 : cut);
    rest.remove_prefix(cut == std::string_view::npos ? 0 : cut + 1);
    cut = rest.find('\x01');
    std::string_view text = rest.substr(0, cut == std::string_view::npos ? 0 : cut);
    rest.remove_prefix(cut == std::string_view::npos ? 0 : cut + 1);
    std::unique_ptr<char[]> owned(new char[rest.size() + 1]);
    std::memcpy(owned.get(), rest.data(), rest.size());
    const std::string_view page(owned.get(), rest.size());
    const size_t n = page.size();

    int64_t found = html::FindTag(page, name, cursorA);
    Check(found == -1 || (InPage(found, n - 1) && page[found] == '<'));

    std::string value;
    if (html::AttributeValue(page, name, &value)) Check(value.size() <= n);

    std::string title;
    int64_t start = -9, end = -9;
    if (html::Title(page, &title, &start, &end))
        Check(InPage(start, n) && InPage(end, n) && start <= end);

    int64_t cursor = cursorA, length = -9;
    if (html::TagContent(page, &cursor, text, &length))
        Check(InPage(cursor, n) && (length == -1 || (length >= 0 && InPage(cursor + length, n))));
    else
        Check(cursor == cursorA);

    std::string address;
    cursor = cursorB;
    for (int i = 0; i < 4 && html::LinkByText(page, &cursor, text, flags, &address, &start, &end);
         ++i)
        Check(InPage(cursor, n) && InPage(start, n) && InPage(end, n) && start < end &&
              page[start] == '<' && page[end - 1] == '>' && address.size() <= n);

    std::string submission;
    if (html::FormSubmission(page, cursorA, name, flags, &submission, &start, &end)) {
        Check(InPage(start, n) && InPage(end, n) && start < end && page[start] == '<' &&
              page[end] == '<');
        // Only the one mark after the action may be a "|", and no byte may end a line.
        Check(submission.find_first_of("\r\n") == std::string::npos);
        size_t bars = 0;
        for (char c : submission) bars += c == '|';
        Check(bars <= 1);
    }
    std::string encoded = html::EncodeFormText(text);
    Check(encoded.find_first_of("|\r\n\t ") == std::string::npos);

    std::string search = html::UnescapeSearchText(text);
    Check(search.size() <= text.size());
    const bool exact = (flags & html::kExactCase) != 0;
    int64_t forward = html::TextSearch(page, cursorB, search, false, exact);
    if (forward != -1 && !search.empty()) {
        Check(InPage(forward, n - search.size()));
        if (exact) Check(page.substr(static_cast<size_t>(forward), search.size()) == search);
    }
    int64_t backward = html::TextSearch(page, cursorB, search, true, exact);
    if (backward != -1) {
        Check(InPage(backward, n - search.size()));
        if (cursorB >= 0) Check(backward + 2 * static_cast<int64_t>(search.size()) <= cursorB);
    }

    for (bool keepLineEnds : {false, true}) {
        std::string plain = html::HtmlToText(page, keepLineEnds);
        // An entity never gives more bytes than it takes.
        Check(plain.size() <= n);
    }
    size_t amp =
        page.find('&', cursorB < 0 ? 0 : static_cast<size_t>(std::min<int64_t>(cursorB, n)));
    if (amp != std::string_view::npos) {
        size_t advance = 0;
        std::string decoded = html::DecodeEntity(page.substr(amp), &advance);
        Check(advance >= 1 && advance <= n - amp && !decoded.empty() && decoded.size() <= 4);
    }
    return 0;
}

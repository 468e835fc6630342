// The HTML tokenizer on any bytes: the first byte picks a block size, and the page fed in
// blocks of that size must give exactly the tags it gives fed whole; no tag may hold more
// than the bound, and the links found from them must hold no control character.
#include <cstdint>
#include <string>
#include <vector>

#include "content/HtmlLinks.h"
#include "content/HtmlTokenizer.h"

namespace {

constexpr size_t kMaxTag = 256;

std::vector<HtmlTag> Tokenize(std::string_view page, size_t block) {
    std::vector<HtmlTag> tags;
    CHtmlTokenizer t([&](const HtmlTag& tag) { tags.push_back(tag); }, kMaxTag);
    for (size_t at = 0; at < page.size(); at += block) {
        t.Feed(page.substr(at, block));
        if (t.HeldBytes() > 4 * kMaxTag + 64) __builtin_trap();
    }
    t.Finish();
    return tags;
}

bool Same(const std::vector<HtmlTag>& a, const std::vector<HtmlTag>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].end != b[i].end ||
            a[i].attributes.size() != b[i].attributes.size())
            return false;
        for (size_t k = 0; k < a[i].attributes.size(); ++k)
            if (a[i].attributes[k].name != b[i].attributes[k].name ||
                a[i].attributes[k].value != b[i].attributes[k].value)
                return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t block = 1 + data[0] % 17;
    std::string_view page(reinterpret_cast<const char*>(data) + 1, size - 1);
    const auto whole = Tokenize(page, page.size() + 1);
    if (!Same(whole, Tokenize(page, block))) __builtin_trap();
    for (const auto& tag : whole) {
        size_t bytes = tag.name.size();
        for (const auto& a : tag.attributes) bytes += a.name.size() + a.value.size();
        if (bytes > kMaxTag) __builtin_trap();
        for (char c : tag.name)
            if (c >= 'A' && c <= 'Z') __builtin_trap();
    }
    CHtmlLinks links("http://www.example.org:81/dir/page.html?q=1", [](const std::string& url) {
        if (url.empty()) __builtin_trap();
        for (char c : url)
            if (static_cast<unsigned char>(c) < 32) __builtin_trap();
    });
    links.Feed(page);
    links.Finish();
    return 0;
}

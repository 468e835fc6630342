#include "content/HtmlLinks.h"

#include "net/Inet.h"
#include "platform/AsciiText.h"

namespace {

bool IsUrlSpace(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

using ascii::EqualsNoCase;

}  // namespace

CHtmlLinks::CHtmlLinks(std::string pageUrl, LinkHandler onLink)
    : tokenizer_([this](const HtmlTag& tag) { OnTag(tag); }),
      base_(std::move(pageUrl)),
      onLink_(std::move(onLink)) {}

std::string CHtmlLinks::Resolve(std::string_view base, std::string_view reference) {
    // Browsers drop the white space and line breaks around an address.
    while (!reference.empty() && IsUrlSpace(reference.front())) reference.remove_prefix(1);
    while (!reference.empty() && IsUrlSpace(reference.back())) reference.remove_suffix(1);
    // The fragment is a place in the document, not another document.
    reference = reference.substr(0, reference.find('#'));
    if (reference.empty()) return {};

    std::string_view scheme = CInet::SchemeOf(reference);
    if (!scheme.empty()) {
        // Only what can be fetched: "mailto:x" or "tel:1" would otherwise read as a
        // relative name on the same site.
        if (!EqualsNoCase(scheme, "http") && !EqualsNoCase(scheme, "https") &&
            !EqualsNoCase(scheme, "ftp"))
            return {};
        return CInet::ResolveUrl(base, reference);
    }
    std::string_view baseScheme = CInet::SchemeOf(base);
    if (reference.size() >= 2 && reference[0] == '/' && reference[1] == '/')
        // "//host/path" keeps the page's scheme and names another host.
        return CInet::ResolveUrl(base, std::string(baseScheme.empty() ? "http" : baseScheme) + ":" +
                                           std::string(reference));
    if (reference.front() == '?') {
        // Another query of the page itself, not of its folder.
        std::string_view page = base.substr(0, base.find_first_of("?#"));
        return CInet::ResolveUrl(base, std::string(page) + std::string(reference));
    }
    return CInet::ResolveUrl(base, reference);
}

void CHtmlLinks::OnTag(const HtmlTag& tag) {
    if (tag.end) return;
    const std::string* href = tag.Attribute("href");
    if (!href) return;
    if (tag.name == "base") {
        // The first <base href> counts, for the links behind it.
        if (baseSeen_) return;
        baseSeen_ = true;
        std::string resolved = Resolve(base_, *href);
        if (!resolved.empty()) base_ = resolved;
        return;
    }
    if (tag.name != "a" && tag.name != "area") return;
    std::string url = Resolve(base_, *href);
    if (!url.empty()) onLink_(url);
}

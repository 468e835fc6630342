#pragma once

// The links of a page: fed the page in blocks, it names each document that an <a> or
// <area> element points to, resolved against the page's address (or its <base href>),
// without the fragment. Links that name no document to fetch (mailto:, javascript:, data:,
// a fragment of the same page, schemes we cannot ask for) are left out.

#include <functional>
#include <string>
#include <string_view>

#include "content/HtmlTokenizer.h"

class CHtmlLinks {
public:
    using LinkHandler = std::function<void(const std::string& url)>;

    CHtmlLinks(std::string pageUrl, LinkHandler onLink);

    void Feed(std::string_view bytes) { tokenizer_.Feed(bytes); }
    void Finish() { tokenizer_.Finish(); }

    // The document that reference (an attribute value, already decoded) names when met on
    // a page at base; empty when it names none that can be fetched.
    static std::string Resolve(std::string_view base, std::string_view reference);

private:
    void OnTag(const HtmlTag& tag);

    CHtmlTokenizer tokenizer_;
    std::string base_;
    bool baseSeen_ = false;
    LinkHandler onLink_;
};

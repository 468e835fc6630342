#pragma once

// A push tokenizer for HTML: fed the bytes of a page in blocks cut anywhere, it hands back
// each tag with its attributes as soon as the tag has ended. It keeps no more than one tag
// in memory, whatever the page holds: a tag that grows past the bound (an attribute value
// that never ends, a tag that never closes) is dropped, and comments and text cost nothing.
//
// Tags are found as a lenient crawler finds them: comments and declarations are passed
// over, and so is the content of script and style up to its end tag: what a script's
// strings hold ('<a href="/' + path + '">') is code, not markup, and names no document.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct HtmlAttribute {
    std::string name;   // in lower case
    std::string value;  // character references decoded; empty when the attribute has none
};

struct HtmlTag {
    std::string name;                       // in lower case
    bool end = false;                       // "</name>": an end tag brings no attributes
    std::vector<HtmlAttribute> attributes;  // in the order written, repeats included

    // The value of the first attribute of that (lower-case) name, or nullptr.
    const std::string* Attribute(std::string_view name) const;
};

class CHtmlTokenizer {
public:
    static constexpr size_t kMaxTag = 64 * 1024;
    using TagHandler = std::function<void(const HtmlTag&)>;

    explicit CHtmlTokenizer(TagHandler onTag, size_t maxTag = kMaxTag);

    void Feed(std::string_view bytes);
    // The page has ended: a tag still open is dropped, and the tokenizer is ready for the
    // next page.
    void Finish();

    // Decodes the character references of an attribute value ("&amp;", "&#38;", "&#x26;"
    // and the common names) into UTF-8. As browsers do, a name written without its ";" is
    // left alone when a letter, digit or "=" follows it (so "?a=1&copy=2" keeps its
    // parameter), and a number that names no character becomes U+FFFD.
    static std::string DecodeReferences(std::string_view value);

    // The bytes the tag being read holds now (names and values): never much above the
    // bound, whatever was fed.
    size_t HeldBytes() const;

private:
    enum class State : uint8_t {
        Data,
        TagOpen,
        EndTagOpen,
        TagName,
        BeforeAttrName,
        AttrName,
        AfterAttrName,
        BeforeAttrValue,
        AttrValueDouble,
        AttrValueSingle,
        AttrValueUnquoted,
        AfterAttrValueQuoted,
        SelfClosing,
        MarkupDeclaration,
        MarkupDash,
        Comment,
        BogusComment,
        RawText,  // inside script or style, until the end tag of rawName_
    };

    void BeginTag(bool end);
    void BeginAttribute();
    void Append(std::string& to, char c);
    void EmitTag();

    TagHandler onTag_;
    size_t maxTag_;
    State state_ = State::Data;
    HtmlTag tag_;
    size_t tagBytes_ = 0;
    bool dropped_ = false;
    int dashes_ = 0;         // "-" just seen in a comment
    bool bang_ = false;      // "--!" just seen in a comment
    std::string rawName_;    // the element whose raw text is being passed over
    size_t rawMatched_ = 0;  // how much of "</" + rawName_ has been seen
};

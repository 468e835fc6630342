#pragma once

// The text operations with which a page script picks values out of a retrieved page: a
// tag by name, an attribute, the title, a tag's content, a link chosen by its visible
// text, a form's submission string, a plain-text search either way, and HTML turned into
// plain text. They work on the page as one text, with no document tree, and give positions
// as byte offsets into it.
//
// Pages are untrusted: every step is held to the page (an unclosed tag, quote, comment or
// reference at the very end means "not found", never a read past the end), and no
// operation costs more than a small multiple of the text it walks, whatever the page holds
// (a page of one million "<" characters included).
//
// Every cursor and offset given may be any value: below 0 counts as 0, past the end as the
// end. Every output pointer may be null.

#include <cstdint>
#include <string>
#include <string_view>

namespace html {

// Flags of the operations, as a page script writes them.
inline constexpr int kExactCase = 0x0001;       // compare letter case exactly
inline constexpr int kTrimSubmission = 0x0002;  // trim the submission string at both ends

// Offset of the "<" of the first tag named name at or after from ("<" and white space,
// the name in any case, then ">" or white space), or -1. "/TITLE" names a closing tag.
int64_t FindTag(std::string_view text, std::string_view name, int64_t from = 0);

// The value of the attribute name within one tag (tag starts at its "<"; the search stops
// at the tag's first ">", or at the end of the text when there is none). The name is not
// found as the end of a longer one ("value" in "data-value"). A quoted value left open
// runs to the end of the tag. False when the tag has no such attribute with a value begun.
bool AttributeValue(std::string_view tag, std::string_view name, std::string* value);

// The page's title, trimmed, entities not decoded; start: the first byte after the TITLE
// tag, end: the "<" of its closing tag. False, and an empty title, without a TITLE tag or
// when it has no ">" (start and end untouched); an empty title with end = start when there
// is no closing tag.
bool Title(std::string_view page, std::string* title, int64_t* start, int64_t* end);

// Finds the tag that tagText names ("<" and ">" in it become blanks, then it is trimmed)
// at or after *cursor, and moves *cursor just past its ">". *length: bytes from there to
// the "<" of the matching closing tag, -1 when there is none. False when no such tag
// follows (cursor unchanged).
bool TagContent(std::string_view page, int64_t* cursor, std::string_view tagText, int64_t* length);

// The next anchor at or after *cursor whose text (after the anchor tag, leading white
// space skipped) begins with text: its address (the first quoted value in the anchor tag,
// else what follows its first "=" up to a quote or the ">"), trimmed, its character
// references decoded as a browser decodes them ("&amp;" is "&"); an anchor with
// neither is no link and is passed over. *cursor moves to the end of the address (the
// closing quote or the ">"); start: the anchor's "<"; end: just past the anchor tag's ">".
// False when none follows (cursor, address, start and end untouched). A rejected anchor
// is searched past from its ">", so an anchor right after a short one is still seen.
bool LinkByText(std::string_view page, int64_t* cursor, std::string_view text, int flags,
                std::string* address, int64_t* start, int64_t* end);

// The submission string of the next form at or after cursor that can be submitted with
// the button named button: a submit button without a name, any submit button when button
// is empty, a submit or image button of that name (kExactCase: same case). The result is
// the action (trimmed; its blanks, control bytes, 0x7F and "|" as "%xx"), "|" for a POST
// or "?" otherwise, and the encoded name=value pairs of its INPUT tags joined by "&"
// (action, names and values with their character references decoded first)
// (unchecked radio buttons and check boxes left out, an image button only as the one
// pressed: "name.x=3&name.y=3"; SELECT and TEXTAREA are not read). start: the FORM tag's
// "<", end: the "<" of its closing tag. False when no such form follows; a form without
// "/FORM" after it ends the search. A form that cannot be sent is passed over whole.
bool FormSubmission(std::string_view page, int64_t cursor, std::string_view button, int flags,
                    std::string* submission, int64_t* start, int64_t* end);

// A form field's name or value as the submission string carries it: "!" to "+", bytes
// below "!" other than the blank, 0x7F and "|" become "%xx"; a blank becomes "+"; every
// other byte ("=", "/", "?" and UTF-8 among them) is copied.
std::string EncodeFormText(std::string_view text);

// The search text of a script with "\r", "\n", "\t" and "\\" turned into the characters.
std::string UnescapeSearchText(std::string_view text);

// Offset of text (already unescaped) in page: forwards, the first occurrence at or after
// cursor; backwards, the last one that ends before cursor - length (so an occurrence that
// ends at the cursor is passed over). exactCase false: both sides folded to lower case.
// -1 when there is none.
int64_t TextSearch(std::string_view page, int64_t cursor, std::string_view text, bool backward,
                   bool exactCase);

// Plain text of HTML: tags dropped, each run of white space one blank (line feeds kept as
// line feeds when keepLineEnds), character entities decoded. Bytes of the page (UTF-8
// included) are copied as they are; a decoded entity is written in UTF-8.
std::string HtmlToText(std::string_view text, bool keepLineEnds);

// Decodes the entity at the "&" that text begins with: its character in UTF-8, and in
// *advance how many bytes of text it took (at least 1 unless text is empty). "&#" with
// decimal or "&#x" with hexadecimal digits: all the digits and a ";" after them; 128..159
// are the Windows Latin-1 characters, 0, surrogates and codes past U+10FFFF U+FFFD.
// Otherwise the first name of the entity table that the text begins with, and a ";" after
// it. Anything else: a blank, only the "&" taken, so the rest stays as text.
std::string DecodeEntity(std::string_view text, size_t* advance);

}  // namespace html

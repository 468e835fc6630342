#include "content/HtmlScan.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

// --- Tags and attributes -------------------------------------------------------------

TEST(HtmlScanTag, FindsTheNameInAnyCaseAfterBlanksButNotALongerName) {
    EXPECT_EQ(html::FindTag("x<abbr>y< A href=z>", "A"), 8);
    EXPECT_EQ(html::FindTag("<a>", "A"), 0);
    EXPECT_EQ(html::FindTag("<title>t</TITLE >", "/TITLE"), 8);
    EXPECT_EQ(html::FindTag("<a>1<a>2", "a", 1), 4);
    EXPECT_EQ(html::FindTag("<b>", "a"), -1);
}

TEST(HtmlScanTag, ANameAtTheVeryEndOrAnyCursorIsHeldToThePage) {
    // Nothing follows the name: not a tag (yet).
    EXPECT_EQ(html::FindTag("text <a", "a"), -1);
    EXPECT_EQ(html::FindTag("text <", "a"), -1);
    EXPECT_EQ(html::FindTag("text < \t", "a"), -1);
    EXPECT_EQ(html::FindTag("<a>", "a", kMin), 0);
    EXPECT_EQ(html::FindTag("<a>", "a", -5), 0);
    EXPECT_EQ(html::FindTag("<a>", "a", 3), -1);
    EXPECT_EQ(html::FindTag("<a>", "a", kMax), -1);
}

TEST(HtmlScanAttribute, QuotedUnquotedAndSpacedValues) {
    std::string v;
    EXPECT_TRUE(html::AttributeValue(R"(<a HREF="/x y">)", "href", &v));
    EXPECT_EQ(v, "/x y");
    EXPECT_TRUE(html::AttributeValue("<input name = q value=abc type=text>", "NAME", &v));
    EXPECT_EQ(v, "q");
    EXPECT_TRUE(html::AttributeValue("<input value=abc>", "value", &v));
    EXPECT_EQ(v, "abc");  // an unquoted value ends at the ">"
    EXPECT_TRUE(html::AttributeValue("<input value=\"\">", "value", &v));
    EXPECT_EQ(v, "");
    // "type" inside a value is not the attribute: the search goes on to the real one.
    EXPECT_TRUE(html::AttributeValue(R"(<input name="type" type="hidden">)", "type", &v));
    EXPECT_EQ(v, "hidden");
}

TEST(HtmlScanAttribute, NoValueBegunOrPastTheTagIsNotFound) {
    std::string v = "old";
    EXPECT_FALSE(html::AttributeValue("<input name=>", "name", &v));
    EXPECT_EQ(v, "");
    EXPECT_FALSE(html::AttributeValue("<input name= ", "name", &v));
    EXPECT_FALSE(html::AttributeValue("<input checked>", "checked", &v));
    // The tag ends at its first ">": what follows belongs to the page.
    EXPECT_FALSE(html::AttributeValue("<input type=text> name=x", "name", &v));
    // A quote left open takes the rest of the tag, never more.
    EXPECT_TRUE(html::AttributeValue("<a href=\"abc", "href", &v));
    EXPECT_EQ(v, "abc");
    EXPECT_TRUE(html::AttributeValue("<a href=\"abc>def\"", "href", &v));
    EXPECT_EQ(v, "abc");
}

TEST(HtmlScanAttribute, AnAttributeWhoseNameEndsLikeTheWantedOneIsNotIt) {
    std::string v;
    EXPECT_TRUE(html::AttributeValue(R"(<input data-value="a" value="b">)", "value", &v));
    EXPECT_EQ(v, "b");
    EXPECT_FALSE(html::AttributeValue(R"(<input data-value="a">)", "value", &v));
}

// --- Title and tag content -----------------------------------------------------------

TEST(HtmlScanTitle, FoundAtTheVeryStartTrimmedWithItsBounds) {
    std::string page = "<title>  News &amp; more\n</title><body>";
    std::string title;
    int64_t start = -7, end = -7;
    ASSERT_TRUE(html::Title(page, &title, &start, &end));
    EXPECT_EQ(title, "News &amp; more");  // entities stay as they are
    EXPECT_EQ(start, 7);
    EXPECT_EQ(end, 25);
    EXPECT_EQ(page.substr(end, 8), "</title>");
}

TEST(HtmlScanTitle, MissingOrUnclosed) {
    std::string title = "old";
    int64_t start = 0, end = 0;
    EXPECT_FALSE(html::Title("<html><body>x</body>", &title, &start, &end));
    EXPECT_EQ(title, "");
    EXPECT_FALSE(html::Title("<html><title", &title, &start, &end));
    EXPECT_FALSE(html::Title("<html><title ", &title, &start, &end));
    ASSERT_TRUE(html::Title("<title>no end", &title, &start, &end));
    EXPECT_EQ(title, "");
    EXPECT_EQ(start, 7);
    EXPECT_EQ(end, 7);
}

TEST(HtmlScanTagContent, MovesTheCursorPastTheTagAndMeasuresTheContent) {
    std::string page = "<p><b>one</b> <B >two</B>";
    int64_t cursor = 0, length = 0;
    ASSERT_TRUE(html::TagContent(page, &cursor, "<b>", &length));
    EXPECT_EQ(cursor, 6);
    EXPECT_EQ(length, 3);
    cursor += length;
    ASSERT_TRUE(html::TagContent(page, &cursor, " B ", &length));
    EXPECT_EQ(page.substr(cursor, length), "two");
    EXPECT_FALSE(html::TagContent(page, &cursor, "b", &length));
    EXPECT_EQ(cursor, 18);  // unchanged when no tag follows
}

TEST(HtmlScanTagContent, NoClosingTagOrNoEndOfTag) {
    int64_t cursor = kMin, length = 0;
    ASSERT_TRUE(html::TagContent("<td>cell", &cursor, "td", &length));
    EXPECT_EQ(cursor, 4);
    EXPECT_EQ(length, -1);
    cursor = 0;
    EXPECT_FALSE(html::TagContent("<td class=x", &cursor, "td", &length));
    EXPECT_EQ(cursor, 0);
    cursor = kMax;
    EXPECT_FALSE(html::TagContent("<td>x</td>", &cursor, "td", &length));
}

// --- Links -----------------------------------------------------------------------------

TEST(HtmlScanLink, SkipsOtherTextAndTakesTheFirstQuotedValue) {
    std::string page = R"(<a href="/p1">Previous</a> <A class="n" HREF="/p3">  next page</A>)";
    int64_t cursor = 0, start = 0, end = 0;
    std::string address;
    ASSERT_TRUE(html::LinkByText(page, &cursor, "Next", 0, &address, &start, &end));
    // The first quoted value of the tag, whatever attribute holds it.
    EXPECT_EQ(address, "n");
    EXPECT_EQ(start, 27);
    EXPECT_EQ(page.substr(end, 11), "  next page");
    EXPECT_EQ(cursor, 38);
    EXPECT_EQ(page[cursor], '"');
    cursor = 0;
    EXPECT_FALSE(html::LinkByText(page, &cursor, "Next", html::kExactCase, &address, &start, &end));
    EXPECT_EQ(cursor, 0);
}

TEST(HtmlScanLink, AddressWithoutQuotesOrWithout) {
    std::string address;
    int64_t cursor = 0, start = 0, end = 0;
    ASSERT_TRUE(
        html::LinkByText("<a href= /x/y >Go</a>", &cursor, "go", 0, &address, &start, &end));
    EXPECT_EQ(address, "/x/y");
    EXPECT_EQ(cursor, 14);
    // An anchor with no address is no link: the next one is taken.
    cursor = 0;
    ASSERT_TRUE(
        html::LinkByText("<a>Go</a><a href='/z'>Go</a>", &cursor, "Go", 0, &address, &start, &end));
    EXPECT_EQ(address, "'/z'");
    EXPECT_EQ(start, 9);
}

// A page writes the "&" of an address as "&amp;"; the server must get the "&" itself, in a
// link and in a form alike.
TEST(HtmlScanLink, ReferencesInAddressesAndFieldsAreWhatTheServerGets) {
    std::string address;
    int64_t cursor = 0;
    ASSERT_TRUE(html::LinkByText(R"(<a href="story.html?id=5&amp;ref=top&#38;x=1">Lead</a>)",
                                 &cursor, "Lead", 0, &address, nullptr, nullptr));
    EXPECT_EQ(address, "story.html?id=5&ref=top&x=1");
    std::string sub;
    ASSERT_TRUE(html::FormSubmission(
        R"(<form action="/s?a=1&amp;b=2"><input name="q&amp;r" value="x&amp;y&#10;">)"
        R"(<input type=submit></form>)",
        0, "", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/s?a=1&b=2?q%26r=x%26y%0a");
}

TEST(HtmlScanLink, AnAnchorRightAfterAShortOneIsNotSteppedOver) {
    // The next anchor begins four bytes after the first one's "<".
    std::string address;
    int64_t cursor = 0, start = 0, end = 0;
    ASSERT_TRUE(html::LinkByText("<a>x<a href=\"/n\">Next</a>", &cursor, "Next", 0, &address,
                                 &start, &end));
    EXPECT_EQ(address, "/n");
    EXPECT_EQ(start, 4);
}

TEST(HtmlScanLink, APageEndingInsideAnAnchorIsNotFound) {
    std::string address;
    int64_t start = 0, end = 0;
    for (std::string page :
         {"<a>x", "<a", "<a href=\"x", "<a href=\"x\">", "<a href=\"x\">  N", "<a>Next"}) {
        int64_t cursor = 0;
        EXPECT_FALSE(html::LinkByText(page, &cursor, "Next", 0, &address, &start, &end)) << page;
        EXPECT_EQ(cursor, 0);
    }
}

// --- Forms -------------------------------------------------------------------------------

TEST(HtmlScanForm, MethodDecidesTheMarkAndFieldsAreEncoded) {
    std::string page = R"(<FORM ACTION="/s" METHOD=POST><input name=q value="a b&c">)"
                       R"(<input type=hidden name=p value="x=y/z"><input type=submit></FORM>)";
    std::string sub;
    int64_t start = -1, end = -1;
    ASSERT_TRUE(html::FormSubmission(page, 0, "", 0, &sub, &start, &end));
    EXPECT_EQ(sub, "/s|q=a+b%26c&p=x=y/z");
    EXPECT_EQ(start, 0);
    EXPECT_EQ(page.substr(end), "</FORM>");

    ASSERT_TRUE(html::FormSubmission(
        R"(<form action="/g"><input name=a value=1><input type=submit></form>)", 0, "", 0, &sub,
        &start, &end));
    EXPECT_EQ(sub, "/g?a=1");
}

TEST(HtmlScanForm, CheckedBoxesAndRadiosOnly) {
    std::string page =
        R"(<form action=/f><input type=checkbox name=c1 value=yes>)"
        R"(<input type=CHECKBOX name=c2 value=on Checked><input type=radio name=r value=1>)"
        R"(<input type=radio name=r value=2 CHECKED><input type=submit name=go value=Go></form>)";
    std::string sub;
    ASSERT_TRUE(html::FormSubmission(page, 0, "", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/f?c2=on&r=2&go=Go");
}

TEST(HtmlScanForm, ImageButtonsByNameWithTheirNameEncoded) {
    std::string page =
        R"(<form action=/f><input name=q value=1><input type=image name="go now" src=x>)"
        R"(<input type=image name=other></form>)";
    std::string sub;
    EXPECT_FALSE(html::FormSubmission(page, 0, "", 0, &sub, nullptr, nullptr));  // no plain submit
    ASSERT_TRUE(html::FormSubmission(page, 0, "GO NOW", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/f?q=1&go+now.x=3&go+now.y=3");
    EXPECT_FALSE(html::FormSubmission(page, 0, "GO NOW", html::kExactCase, &sub, nullptr, nullptr));
    ASSERT_TRUE(html::FormSubmission(R"(<form action=/f><input type=image name="a&b"></form>)", 0,
                                     "a&b", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/f?a%26b.x=3&a%26b.y=3");
}

TEST(HtmlScanForm, ValuesCannotAddHeaderLinesOrTurnIntoAPost) {
    std::string page =
        "<form action=\"/f\"><input name=\"n|m\" value=\"a\r\nX: y\">"
        "<input name=t value=\"a|b\tc\x7f\"><input type=submit></form>";
    std::string sub;
    ASSERT_TRUE(html::FormSubmission(page, 0, "", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/f?n%7cm=a%0d%0aX:+y&t=a%7cb%09c%7f");
    // The action comes from the page as well.
    ASSERT_TRUE(html::FormSubmission("<form action=\" /a|b\r\nc d \"><input type=submit></form>", 0,
                                     "", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/a%7cb%0d%0ac%20d?");
}

TEST(HtmlScanForm, FormsThatCannotBeSentArePassedOver) {
    std::string page =
        R"(<form id=noaction><input type=submit></form>)"
        R"(<form action=/named><input type=submit name=b1 value=One></form>)"
        R"(<form action=/last method=get><input type=submit name=b2 value=Two></form>)";
    std::string sub;
    int64_t start = 0, end = 0;
    ASSERT_TRUE(html::FormSubmission(page, 0, "", 0, &sub, &start, &end));
    EXPECT_EQ(sub, "/named?b1=One");
    // A named submit button is found by its own name.
    ASSERT_TRUE(html::FormSubmission(page, 0, "B2", 0, &sub, &start, &end));
    EXPECT_EQ(sub, "/last?b2=Two");
    EXPECT_EQ(page.substr(start, 17), "<form action=/las");
    EXPECT_FALSE(html::FormSubmission(page, 0, "b3", 0, &sub, nullptr, nullptr));
    // From a cursor past the first forms.
    ASSERT_TRUE(html::FormSubmission(page, start, "", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/last?b2=Two");
    EXPECT_FALSE(html::FormSubmission(page, start + 1, "", 0, &sub, nullptr, nullptr));
    EXPECT_FALSE(html::FormSubmission(page, kMax, "", 0, &sub, nullptr, nullptr));
    EXPECT_TRUE(html::FormSubmission(page, kMin, "", 0, &sub, nullptr, nullptr));
}

TEST(HtmlScanForm, UnclosedFormsAndTagsAtTheEnd) {
    std::string sub;
    for (std::string page :
         {"<form action=/f><input type=submit>", "<form action=/f", "<form action=\"/f",
          "<form action=/f><input type=submit></form", "<form"}) {
        EXPECT_FALSE(html::FormSubmission(page, 0, "", 0, &sub, nullptr, nullptr)) << page;
    }
    // An input tag left open runs into the closing tag: the field still counts.
    ASSERT_TRUE(html::FormSubmission("<form action=/f><input type=submit name=x value=1</form>", 0,
                                     "", 0, &sub, nullptr, nullptr));
    EXPECT_EQ(sub, "/f?x=1</form");
}

TEST(HtmlScanEncode, OnlyTheUnsafeBytesAreEscaped) {
    EXPECT_EQ(html::EncodeFormText("a b&c"), "a+b%26c");
    EXPECT_EQ(html::EncodeFormText("abc=def/ghi"), "abc=def/ghi");
    EXPECT_EQ(html::EncodeFormText("!\"#$%&'()*+,-"), "%21%22%23%24%25%26%27%28%29%2a%2b,-");
    EXPECT_EQ(html::EncodeFormText(std::string("\0\x01\x1f\x7f|?~", 7)), "%00%01%1f%7f%7c?~");
    EXPECT_EQ(html::EncodeFormText("caf\xc3\xa9"), "caf\xc3\xa9");
}

// --- Text search -----------------------------------------------------------------------

TEST(HtmlScanSearch, UnescapesTheFourSequencesOnly) {
    EXPECT_EQ(html::UnescapeSearchText(R"(a\r\n\tb\\c\xd\)"), "a\r\n\tb\\c\\xd\\");
}

TEST(HtmlScanSearch, ForwardFromTheCursorInEitherCase) {
    std::string page = "One two ONE two";
    EXPECT_EQ(html::TextSearch(page, 0, "one", false, false), 0);
    EXPECT_EQ(html::TextSearch(page, 1, "one", false, false), 8);
    EXPECT_EQ(html::TextSearch(page, 1, "one", false, true), -1);
    EXPECT_EQ(html::TextSearch(page, 0, "ONE", false, true), 8);
    EXPECT_EQ(html::TextSearch(page, kMin, "two", false, true), 4);
    EXPECT_EQ(html::TextSearch(page, kMax, "two", false, true), -1);
    EXPECT_EQ(html::TextSearch(page, 12, "two", false, true), 12);
    EXPECT_EQ(html::TextSearch(page, 13, "two", false, true), -1);
}

TEST(HtmlScanSearch, BackwardPassesOverTheOccurrenceThatEndsAtTheCursor) {
    std::string page = "ab_ab_ab";
    // After a forward search the cursor stands just past the match at 3.
    EXPECT_EQ(html::TextSearch(page, 5, "ab", true, true), 0);
    EXPECT_EQ(html::TextSearch(page, 8, "ab", true, true), 3);
    EXPECT_EQ(html::TextSearch(page, 7, "AB", true, false), 3);
    EXPECT_EQ(html::TextSearch(page, 7, "AB", true, true), -1);
    EXPECT_EQ(html::TextSearch(page, kMax, "ab", true, true), 3);
    // cursor - length - 1 below 0: nothing before it.
    EXPECT_EQ(html::TextSearch(page, 3, "ab", true, true), -1);
    EXPECT_EQ(html::TextSearch(page, 1, "ab", true, true), -1);
    EXPECT_EQ(html::TextSearch(page, -4, "ab", true, true), -1);
    EXPECT_EQ(html::TextSearch(page, 4, "ab", true, true), 0);
}

// --- Entities and plain text --------------------------------------------------------------

std::string Decode(std::string_view text, size_t* advance = nullptr) {
    size_t local = 0;
    return html::DecodeEntity(text, advance ? advance : &local);
}

TEST(HtmlScanEntity, NamedFromTheTableInWindowsLatin1AsUtf8) {
    size_t advance = 0;
    EXPECT_EQ(Decode("&amp;x", &advance), "&");
    EXPECT_EQ(advance, 5u);
    EXPECT_EQ(Decode("&amp", &advance), "&");
    EXPECT_EQ(advance, 4u);
    EXPECT_EQ(Decode("&nbsp;", &advance), " ");
    EXPECT_EQ(Decode("&copy;"), "\xc2\xa9");
    EXPECT_EQ(Decode("&divide;"), "\xc3\xb7");
    // The first name the text begins with wins.
    EXPECT_EQ(Decode("&ltx", &advance), "<");
    EXPECT_EQ(advance, 3u);
    EXPECT_EQ(Decode("&notin;", &advance), "\xc2\xac");
    EXPECT_EQ(advance, 4u);
    // Unknown: a blank, and only the "&" is taken.
    EXPECT_EQ(Decode("&eacute;", &advance), " ");
    EXPECT_EQ(advance, 1u);
    EXPECT_EQ(Decode("&", &advance), " ");
    EXPECT_EQ(advance, 1u);
    EXPECT_EQ(Decode("&l", &advance), " ");
    EXPECT_EQ(advance, 1u);
}

TEST(HtmlScanEntity, NumbersOfAnyLengthDecimalAndHex) {
    size_t advance = 0;
    EXPECT_EQ(Decode("&#65;", &advance), "A");
    EXPECT_EQ(advance, 5u);
    EXPECT_EQ(Decode("&#9;x", &advance), "\t");
    EXPECT_EQ(advance, 4u);
    EXPECT_EQ(Decode("&#9x", &advance), "\t");
    EXPECT_EQ(advance, 3u);
    EXPECT_EQ(Decode("&#233;", &advance), "\xc3\xa9");
    EXPECT_EQ(advance, 6u);
    EXPECT_EQ(Decode("&#8364;", &advance), "\xe2\x82\xac");
    EXPECT_EQ(advance, 7u);
    EXPECT_EQ(Decode("&#0065;", &advance), "A");
    EXPECT_EQ(advance, 7u);
    EXPECT_EQ(Decode("&#x41;", &advance), "A");
    EXPECT_EQ(advance, 6u);
    EXPECT_EQ(Decode("&#X1F600;", &advance), "\xf0\x9f\x98\x80");
    EXPECT_EQ(advance, 9u);
    EXPECT_EQ(Decode("&#150;"), "\xe2\x80\x93");  // Windows Latin-1 dash
    EXPECT_EQ(Decode("&#x80;"), "\xe2\x82\xac");  // and euro sign
    EXPECT_EQ(Decode("&#129;"), "\xc2\x81");      // unassigned there: its own code
}

TEST(HtmlScanEntity, BadNumbersAndNumbersCutOffByTheEnd) {
    size_t advance = 0;
    const std::string replacement = "\xef\xbf\xbd";
    EXPECT_EQ(Decode("&#0;"), replacement);
    EXPECT_EQ(Decode("&#xD800;"), replacement);
    EXPECT_EQ(Decode("&#x110000;"), replacement);
    EXPECT_EQ(Decode("&#99999999999999999999999;", &advance), replacement);
    EXPECT_EQ(advance, 26u);
    EXPECT_EQ(Decode("&#", &advance), " ");
    EXPECT_EQ(advance, 1u);
    EXPECT_EQ(Decode("&#x", &advance), " ");
    EXPECT_EQ(advance, 1u);
    EXPECT_EQ(Decode("&#;", &advance), " ");
    EXPECT_EQ(advance, 1u);
    EXPECT_EQ(Decode("&#6", &advance), "\x06");
    EXPECT_EQ(advance, 3u);
}

TEST(HtmlScanText, TagsGoWhiteSpaceFoldsEntitiesDecode) {
    EXPECT_EQ(html::HtmlToText("<p>Fish  &amp;\t\n chips</p> &#65;&bogus; x", false),
              "Fish & chips A bogus; x");
    EXPECT_EQ(html::HtmlToText("a \n  b\r\nc", true), "a \nb\nc");
    EXPECT_EQ(html::HtmlToText("a \n  b", false), "a b");
    EXPECT_EQ(html::HtmlToText("caf\xc3\xa9 &#233;", false), "caf\xc3\xa9 \xc3\xa9");
    // A tag or entity left open at the end.
    EXPECT_EQ(html::HtmlToText("ab<i", false), "ab");
    EXPECT_EQ(html::HtmlToText("ab&#", false), "ab #");
    EXPECT_EQ(html::HtmlToText("ab&", false), "ab ");
    EXPECT_EQ(html::HtmlToText("ab&#6", false), "ab\x06");
}

// --- Pages made to be slow -------------------------------------------------------------------

// Each of these would take minutes if an operation walked the rest of the page again for
// every candidate it rejects; the test's time-out catches that.
TEST(HtmlScanAdversarial, MegabytePagesFinish) {
    const size_t mb = 1 << 20;
    std::string lts(mb, '<');
    EXPECT_EQ(html::FindTag(lts, "A"), -1);
    EXPECT_EQ(html::FindTag(lts, "/TITLE"), -1);
    std::string t;
    int64_t s = 0, e = 0, c = 0, len = 0;
    EXPECT_FALSE(html::Title(lts, &t, &s, &e));
    EXPECT_FALSE(html::TagContent(lts, &c, "b", &len));
    EXPECT_FALSE(html::LinkByText(lts, &c, "x", 0, &t, &s, &e));
    EXPECT_FALSE(html::FormSubmission(lts, 0, "", 0, &t, &s, &e));
    EXPECT_EQ(html::HtmlToText(lts, false), "");

    // Many anchors inside one tag that closes at the very end.
    std::string anchors;
    while (anchors.size() < mb) anchors += "<a ";
    anchors += ">x";
    c = 0;
    EXPECT_FALSE(html::LinkByText(anchors, &c, "Next", 0, &t, &s, &e));
    std::string spaced;
    while (spaced.size() < mb) spaced += "<a ";
    spaced += ">" + std::string(mb, ' ') + "x";
    c = 0;
    EXPECT_FALSE(html::LinkByText(spaced, &c, "Next", 0, &t, &s, &e));

    // Many anchors whose text never matches, the closing tag far away.
    std::string links;
    while (links.size() < mb) links += "<a href=\"/x\">Previous</a>";
    c = 0;
    EXPECT_FALSE(html::LinkByText(links, &c, "Next", 0, &t, &s, &e));

    // Forms without a closing tag, forms in one tag, forms that cannot be sent nested in
    // one another, and forms without an action.
    std::string forms;
    while (forms.size() < mb) forms += "<form action=/f><input name=a value=b>";
    EXPECT_FALSE(html::FormSubmission(forms, 0, "", 0, &t, &s, &e));
    std::string nested = forms + "</form>";
    EXPECT_FALSE(html::FormSubmission(nested, 0, "", 0, &t, &s, &e));
    std::string inOneTag;
    while (inOneTag.size() < mb) inOneTag += "<form ";
    inOneTag += "></form>";
    EXPECT_FALSE(html::FormSubmission(inOneTag, 0, "", 0, &t, &s, &e));
    std::string noAction;
    while (noAction.size() < mb) noAction += "<form><input type=submit>";
    noAction += "</form>";
    EXPECT_FALSE(html::FormSubmission(noAction, 0, "", 0, &t, &s, &e));

    // A search text that almost matches everywhere, both ways and in both cases.
    std::string as(mb, 'a');
    std::string needle = std::string(199, 'A') + "b";
    EXPECT_EQ(html::TextSearch(as, 0, needle, false, false), -1);
    EXPECT_EQ(html::TextSearch(as, 0, std::string(199, 'a') + "b", false, true), -1);
    EXPECT_EQ(html::TextSearch(as, kMax, "b" + std::string(199, 'A'), true, false), -1);
    EXPECT_EQ(html::TextSearch(as, kMax, "b" + std::string(199, 'a'), true, true), -1);
    EXPECT_EQ(html::TextSearch(as + needle, 0, needle, false, false), static_cast<int64_t>(mb));

    // Attribute names repeated inside one tag, each followed by blanks.
    std::string attrs = "<input ";
    while (attrs.size() < mb) attrs += "value     ";
    EXPECT_FALSE(html::AttributeValue(attrs, "value", &t));

    std::string amps(mb, '&');
    EXPECT_EQ(html::HtmlToText(amps, false), std::string(mb, ' '));
}

}  // namespace

namespace {

// --- Pages shaped like those met in the wild ------------------------------------------------

std::string ReadPage(const std::string& name) {
    std::ifstream in(std::string(QUORVANE_TEST_DATA_DIR) + "/html/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(HtmlScanPages, NewsFrontPage) {
    const std::string page = ReadPage("news-front.html");
    ASSERT_FALSE(page.empty());
    std::string title;
    int64_t start = 0, end = 0;
    ASSERT_TRUE(html::Title(page, &title, &start, &end));
    EXPECT_EQ(title, "The Harbour Gazette - Front Page");

    // The headline's text begins on the line after its tag; its first quoted value is the
    // class, not the address.
    std::string address;
    int64_t cursor = 0;
    ASSERT_TRUE(html::LinkByText(page, &cursor, "harbour bridge", 0, &address, &start, &end));
    EXPECT_EQ(address, "headline");
    ASSERT_TRUE(html::LinkByText(page, &cursor, "more", 0, &address, &start, &end));
    EXPECT_EQ(address, "/news/2025/03/04/harbour-bridge.html");
    EXPECT_EQ(html::HtmlToText(page.substr(end, 17), false), "More \xc2\xbb");

    // Every anchor after "Latest headlines", in order, by an empty text.
    cursor = html::TextSearch(page, 0, "latest HEADLINES", false, false);
    ASSERT_GT(cursor, 0);
    std::vector<std::string> addresses;
    while (html::LinkByText(page, &cursor, "", 0, &address, &start, &end))
        addresses.push_back(address);
    const std::vector<std::string> expected = {"/news/2025/03/04/council-vote.html",
                                               "'/news/2025/03/04/weather.html'",
                                               "/news/2025/03/03/fishing.html",
                                               "/news/2025/03/03/school.html",
                                               "/news/2025/03/03/market.html",
                                               "/news/2025/03/02/obituaries.html",
                                               "/news/page2.html",
                                               "/news/page2.html"};
    EXPECT_EQ(addresses, expected);

    cursor = 0;
    ASSERT_TRUE(
        html::LinkByText(page, &cursor, "Next page", html::kExactCase, &address, &start, &end));
    EXPECT_EQ(address, "/news/page2.html");
    // Back from there to the list item before it.
    int64_t item = html::TextSearch(page, start, "<li>", true, false);
    ASSERT_GT(item, 0);
    EXPECT_EQ(page.substr(item, 47), "<LI><A HREF=\"/news/2025/03/02/obituaries.html\">");

    cursor = 0;
    int64_t length = 0;
    ASSERT_TRUE(html::TagContent(page, &cursor, "<B>", &length));
    EXPECT_EQ(page.substr(cursor, length), "Top Story");

    std::string story = html::HtmlToText(
        page.substr(html::TextSearch(page, 0, "Work on", false, true), 140), false);
    const std::string lead =
        "Work on the 80-year-old crossing begins Monday \xe2\x80\x93 expect delays. More";
    EXPECT_EQ(story.substr(0, lead.size()), lead);
    // The response header lines in front of the page do not get in the way.
    EXPECT_EQ(html::FindTag(page, "html"), static_cast<int64_t>(page.find("<HTML>")));
    EXPECT_FALSE(html::FormSubmission(page, 0, "", 0, &address, &start, &end));
}

TEST(HtmlScanPages, SearchForms) {
    const std::string page = ReadPage("search-form.html");
    ASSERT_FALSE(page.empty());
    std::string sub, title;
    int64_t start = 0, end = 0;
    ASSERT_TRUE(html::Title(page, &title, &start, &end));
    EXPECT_EQ(title, "Find a book &mdash; County Library");

    // A submit button without a name answers to any button name.
    ASSERT_TRUE(html::FormSubmission(page, 0, "find", 0, &sub, &start, &end));
    EXPECT_EQ(sub, "/cgi-bin/quick.pl?q=");

    int64_t cursor = html::TextSearch(page, 0, "Catalogue search", false, true);
    ASSERT_TRUE(html::FormSubmission(page, cursor, "find", 0, &sub, &start, &end));
    EXPECT_EQ(sub,
              "/cgi-bin/search.pl?session=A7F3-99&lang=en&return=/catalogue/"
              "index.html?view=full%26sort=date"
              "&terms=harbour+history&field=title&avail=1&find.x=3&find.y=3");
    EXPECT_EQ(page.substr(start, 22), "<form name=\"catalogue\"");
    EXPECT_EQ(page.substr(end, 7), "</form>");
    // Without the image button pressed the catalogue form cannot be sent; the next one can.
    ASSERT_TRUE(html::FormSubmission(page, cursor, "", 0, &sub, &start, &end));
    EXPECT_EQ(sub, "/cgi-bin/login.pl|user=&pin=&login=Log+in");
    ASSERT_TRUE(html::FormSubmission(page, cursor, "LOGIN", 0, &sub, &start, &end));
    EXPECT_EQ(sub, "/cgi-bin/login.pl|user=&pin=&login=Log+in");
    EXPECT_FALSE(html::FormSubmission(page, cursor, "LOGIN", html::kExactCase, &sub, &start, &end));
}

TEST(HtmlScanPages, Utf8PageWithEntities) {
    const std::string page = ReadPage("utf8-entities.html");
    ASSERT_FALSE(page.empty());
    std::string title;
    int64_t start = 0, end = 0;
    ASSERT_TRUE(html::Title(page, &title, &start, &end));
    EXPECT_EQ(title, "Caf\xc3\xa9 Z\xc3\xbcrich \xe2\x80\x93 Speisekarte");

    int64_t body = html::FindTag(page, "body");
    ASSERT_GT(body, 0);
    const std::string text = html::HtmlToText(page.substr(body), true);
    const std::string expected =
        "\n"
        "Caf\xc3\xa9 Z\xc3\xbcrich  ndash; Speisekarte\n"
        "Gr\xc3\xbc\xc3\x9f"
        "e aus der K\xc3\xbc"
        "che! Preise in  euro; und \xc2\xa3.\n"
        "Fr\xc3\xbchst\xc3\xbc"
        "ck & Brunch: 9\xe2\x80\x93"
        "12 Uhr \xc2\xb7 Kaffee ab 3\xc2\xbd \xe2\x82\xac\n"
        "\xc2\xab"
        "Tr\xc3\xa8s bien\xc2\xbb \xe2\x80\x94 \xc2\xab"
        "Le Monde\xc2\xbb, \xc2\xa9\xc2\xa0"
        "2025 "
        "\xf0\x9f\x8d\xb0 Kuchen\n"
        "Tel. <040> 123 456 \xe2\x80\x93 Fax \xe2\x80\x93 789\n"
        "\n\n";
    EXPECT_EQ(text, expected);
    // A search in either case leaves bytes above 127 as they are.
    EXPECT_EQ(html::TextSearch(page, 0,
                               "GR\xc3\xbc\xc3\x9f"
                               "E",
                               false, false),
              static_cast<int64_t>(page.find("Gr\xc3\xbc\xc3\x9f"
                                             "e")));
    EXPECT_EQ(html::TextSearch(page, 0,
                               "GR\xc3\x9c\xc3\x9f"
                               "E",
                               false, false),
              -1);
}

}  // namespace

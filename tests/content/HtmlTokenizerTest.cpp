#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "content/HtmlLinks.h"
#include "content/HtmlTokenizer.h"

namespace {

// Each tag as one line: "name a=value b=value", "/name" for an end tag.
std::string Show(const HtmlTag& tag) {
    std::string s = (tag.end ? "/" : "") + tag.name;
    for (const auto& a : tag.attributes) s += " " + a.name + "=" + a.value;
    return s;
}

std::vector<std::string> Tags(const std::string& page, size_t block = 0,
                              size_t maxTag = CHtmlTokenizer::kMaxTag) {
    std::vector<std::string> out;
    CHtmlTokenizer t([&](const HtmlTag& tag) { out.push_back(Show(tag)); }, maxTag);
    if (block == 0) block = page.size() + 1;
    for (size_t at = 0; at < page.size(); at += block)
        t.Feed(std::string_view(page).substr(at, block));
    t.Finish();
    return out;
}

std::vector<std::string> Links(const std::string& page,
                               const std::string& url = "http://h.example/dir/page.html") {
    std::vector<std::string> out;
    CHtmlLinks links(url, [&](const std::string& link) { out.push_back(link); });
    links.Feed(page);
    links.Finish();
    return out;
}

using Strings = std::vector<std::string>;

TEST(HtmlTokenizerTest, AttributesInAnyOrderCaseQuotingAndSpacing) {
    EXPECT_EQ(Tags("<a class=\"nav\" href=\"x\">"), Strings{"a class=nav href=x"});
    EXPECT_EQ(Tags("<A\r\n  HREF = 'y z'\tTarget=_blank>"), Strings{"a href=y z target=_blank"});
    EXPECT_EQ(Tags("<a href=bare.html>"), Strings{"a href=bare.html"});
    // A quoted ">" belongs to the value; an unquoted value ends at white space or ">".
    EXPECT_EQ(Tags("<a title=\"a > b\" href=q.html?x=1>t</a>"),
              (Strings{"a title=a > b href=q.html?x=1", "/a"}));
    // Valueless and self-closing forms, and a quote right after a value.
    EXPECT_EQ(Tags("<area nohref/><br/><a href=\"x\"title='t'>"),
              (Strings{"area nohref=", "br", "a href=x title=t"}));
    // A "<" that opens no tag is text; a tag name needs a letter.
    EXPECT_EQ(Tags("1 < 2 <3 <= <a href=x>"), Strings{"a href=x"});
    EXPECT_EQ(Tags("</A junk=1>"), Strings{"/a"});
}

TEST(HtmlTokenizerTest, CommentsDeclarationsScriptsAndStylesHideTheirTags) {
    EXPECT_EQ(Tags("<!DOCTYPE html><?xml version=\"1.0\"?><!-- <a href=c> --><a href=x>"),
              Strings{"a href=x"});
    // A comment ends only at "-->" (or "--!>"), however many dashes lead up to it.
    EXPECT_EQ(Tags("<!-- a -- b > <a href=no> ---><a href=1><!----!><a href=2>"),
              (Strings{"a href=1", "a href=2"}));
    // "<!-->" does not close the comment it opens, as crawlers read it.
    EXPECT_EQ(Tags("<!--> <a href=no> --><a href=yes>"), Strings{"a href=yes"});
    // "<!x>" and "</ x>" are bogus comments up to the next ">".
    EXPECT_EQ(Tags("<!x <a href=no>> </ <a href=no>><a href=y>"), (Strings{"a href=y"}));
    // What a script or a style holds is code up to its own end tag, whatever its strings
    // look like; "</scripts" or "</style" inside a script do not end it.
    const struct {
        const char* page;
        Strings tags;
    } raw[] = {
        {"<script>document.write('<a href=\"s.html\">')</script><a href=x>",
         {"script", "/script", "a href=x"}},
        {"<SCRIPT type=module>let a = '<a href=\"/' + p + '\">';</Script ><a href=y>",
         {"script type=module", "/script", "a href=y"}},
        {"<script>x = '</scripts><a href=no>' + '</style><a href=no>'</script/><a href=z>",
         {"script", "/script", "a href=z"}},
        {"<style>a[href=\"s.html\"] { } <a href=no></style><a href=w>",
         {"style", "/style", "a href=w"}},
        {"<script><<</script><a href=v>", {"script", "/script", "a href=v"}},
    };
    for (const auto& c : raw) EXPECT_EQ(Tags(c.page), c.tags) << c.page;
}

TEST(HtmlTokenizerTest, EverySplitOfThePageGivesTheSameTags) {
    const std::string page =
        "<!DOCTYPE html><html><!-- c <a href=no> --!><body class='x'>"
        "<a\n class=\"nav\"\n href=\"a.html?x=1&amp;y=2\">A</a><area href=b.html/>"
        "<A HREF='c d.html' TITLE=\"&lt;&#62;\">x</A><?pi?><a href=e>";
    const auto whole = Tags(page);
    ASSERT_EQ(whole.size(), 8u);
    EXPECT_EQ(whole[2], "a class=nav href=a.html?x=1&y=2");
    for (size_t block = 1; block < page.size(); ++block)
        ASSERT_EQ(Tags(page, block), whole) << "blocks of " << block;
    // Two blocks cut at every place.
    for (size_t cut = 1; cut < page.size(); ++cut) {
        std::vector<std::string> out;
        CHtmlTokenizer t([&](const HtmlTag& tag) { out.push_back(Show(tag)); });
        t.Feed(page.substr(0, cut));
        t.Feed(page.substr(cut));
        ASSERT_EQ(out, whole) << "cut at " << cut;
    }
}

TEST(HtmlTokenizerTest, CharacterReferencesDecodeAsBrowsersDecodeThem) {
    auto d = CHtmlTokenizer::DecodeReferences;
    EXPECT_EQ(d("a?x=1&amp;y=2&#38;z=3&#x26;w"), "a?x=1&y=2&z=3&w");
    EXPECT_EQ(d("&lt;&gt;&quot;&apos;&sol;"), "<>\"'/");
    // Known without ";" only when neither a letter, a digit nor "=" follows.
    EXPECT_EQ(d("&amp &ampx &amp=1 &copy=2 &amp"), "& &ampx &amp=1 &copy=2 &");
    EXPECT_EQ(d("&nbsp;&eacute;&unknown;&#;&#x;&"), "\xC2\xA0&eacute;&unknown;&#;&#x;&");
    // Numbers: UTF-8; the Windows Latin-1 range maps; what names no character is U+FFFD.
    EXPECT_EQ(d("&#233;&#x20AC;&#128;&#0;&#xD800;&#x110000;&#99999999999999999999;"),
              "\xC3\xA9\xE2\x82\xAC\xE2\x82\xAC\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(HtmlTokenizerTest, NoTagCommentOrValueGrowsMemoryWithoutBound) {
    // Sizes far past the bound, fed as a server sends them; what is held stays small and
    // the tokenizer finds the tags after the monsters.
    const size_t kTotal = 32u << 20, kBlock = 1u << 20;
    struct Case {
        std::string open, fill, close;
        Strings tags;
    } cases[] = {
        {"<a href=\"", "x", "\"><a href=after>", {"a href=after"}},  // endless value
        {"<a ", "b ", "><a href=after>", {"a href=after"}},          // endless attributes
        {"<a", "b", "><a href=after>", {"a href=after"}},            // endless name
        {"<!--", "-x", "--><a href=after>", {"a href=after"}},       // endless comment
        {"<a href=", "y", " x=1><a href=after>", {"a href=after"}},  // endless bare value
    };
    for (const auto& c : cases) {
        Strings out;
        CHtmlTokenizer t([&](const HtmlTag& tag) { out.push_back(Show(tag)); });
        std::string block;
        while (block.size() < kBlock) block += c.fill;
        t.Feed(c.open);
        size_t most = 0;
        for (size_t fed = 0; fed < kTotal; fed += block.size()) {
            t.Feed(block);
            most = std::max(most, t.HeldBytes());
        }
        EXPECT_LE(most, 2 * CHtmlTokenizer::kMaxTag) << c.open;
        t.Feed(c.close);
        EXPECT_EQ(out, c.tags) << c.open;
    }
    // Just under the bound a tag is kept, just over it is dropped.
    const std::string value(1000, 'v');
    EXPECT_EQ(Tags("<a href=\"" + value + "\">", 0, 2000).size(), 1u);
    EXPECT_EQ(Tags("<a href=\"" + value + value + "\"><b>", 0, 2000), Strings{"b"});
    // A page that ends inside a tag gives no half tag, and the next page starts afresh.
    EXPECT_EQ(Tags("<a href=\"x.html"), Strings{});
}

TEST(HtmlLinksTest, TheLinksOfAnchorsAndAreasResolvedAgainstThePage) {
    EXPECT_EQ(Links("<a class=nav href=a.html><A\nHREF='/b.html'><area href=\"c/d.html\">"
                    "<link href=css.css><img src=i.png><a name=top><a href=\" e.html \">"),
              (Strings{"http://h.example/dir/a.html", "http://h.example/b.html",
                       "http://h.example/dir/c/d.html", "http://h.example/dir/e.html"}));
    // A fragment is dropped; a fragment alone, an empty reference and what cannot be
    // fetched name nothing.
    EXPECT_EQ(Links("<a href=f.html#part><a href=#top><a href=''><a href=mailto:me@x.org>"
                    "<a href='javascript:go()'><a href='data:text/html,hi'><a href=tel:123>"
                    "<a href=' JavaScript:x'><a href=news:comp.lang>"),
              Strings{"http://h.example/dir/f.html"});
    // Another query of this page, another host by "//", entities, other schemes kept.
    EXPECT_EQ(
        Links("<a href=?p=2><a href=//o.example/x><a href='q?a=1&amp;b=2'>"
              "<a href=ftp://h.example/f><a href=http://o.example/y>",
              "http://h.example/dir/page.html?p=1"),
        (Strings{"http://h.example/dir/page.html?p=2", "http://o.example/x",
                 "http://h.example/dir/q?a=1&b=2", "ftp://h.example/f", "http://o.example/y"}));
}

TEST(HtmlLinksTest, TheFirstBaseHrefGoverns) {
    EXPECT_EQ(Links("<a href=a.html><base target=_top href='sub/'><a href=b.html>"
                    "<base href=http://o.example/><a href=c.html><a href=/d.html>"),
              (Strings{"http://h.example/dir/a.html", "http://h.example/dir/sub/b.html",
                       "http://h.example/dir/sub/c.html", "http://h.example/d.html"}));
    // A base without href does not use up the first one.
    EXPECT_EQ(Links("<base target=x><base href=http://o.example/s/><a href=e>"),
              Strings{"http://o.example/s/e"});
}

}  // namespace

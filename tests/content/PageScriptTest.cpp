#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "content/PageScript.h"
#include "content/ScriptFormat.h"

namespace {

using Ins = CPageScript::Instruction;

std::vector<Ins> Program(const std::string& text) {
    CPageScript script;
    script.LoadText(text);
    return script.program();
}

// Runs the variable "v" of script over page.
std::string RunScript(const std::string& script, const std::string& page, int index = 1,
                      int64_t* start = nullptr, int64_t* end = nullptr) {
    CPageScript s;
    s.LoadText(script);
    return s.Run(page, "v", index, start, end);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- Loading -------------------------------------------------------------------------------

TEST(PageScriptLoadTest, EveryKeywordInAnyCaseAndOthersAsBegin) {
    auto p = Program(
        "begin\nEND\nhtmltag\nIndex\nJUMP\nLink\nnop\nRepeat\nRETURN\nscan\nString\n"
        "SUBMIT\ntitle\nFormat\nComment 7 whatever\nHtml\nScanx 0 \"a\"\n");
    std::vector<int32_t> ops;
    for (const auto& i : p) ops.push_back(i.op);
    EXPECT_EQ(ops, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 0, 0, 0}));
    EXPECT_EQ(p[14].flags, 7);  // a comment keeps its flag number
}

TEST(PageScriptLoadTest, FlagNumberReadAsDecimalHeldTo32Bits) {
    auto p = Program(
        "Scan 128abc \"x\"\nScan\nScan -5\nScan +7\nScan 0x80\nScan 99999999999999999999\n"
        "Scan -99999999999999999999\nScan \"12\"\nScan\t\t 64\n");
    std::vector<int32_t> flags;
    for (const auto& i : p) flags.push_back(i.flags);
    EXPECT_EQ(flags, (std::vector<int32_t>{128, 0, -5, 7, 0, INT32_MAX, INT32_MIN, 0, 64}));
    EXPECT_EQ(p[0].text, "x");
}

TEST(PageScriptLoadTest, TextFromFirstToLastQuoteAndNumbersAfterFlags) {
    auto p = Program(
        "Scan 0 \"a \"quoted\" b\"\nScan 0 \"open to the end\nScan 0 unquoted\n"
        "String 0 \"\"\nRepeat 0 3\nJump 1024 -7\nFormat 0\nFormat 0 12 \"ignored\"\n"
        "Link 1 \"Next\" 5\n");
    EXPECT_EQ(p[0].text, "a \"quoted\" b");
    EXPECT_EQ(p[1].text, "open to the end");
    EXPECT_EQ(p[2].text, "");
    EXPECT_EQ(p[3].text, "");
    EXPECT_EQ(p[4].number, 3);
    EXPECT_EQ(p[5].flags, 1024);
    EXPECT_EQ(p[5].number, -7);
    EXPECT_EQ(p[6].number, 0);
    EXPECT_EQ(p[7].number, 12);
    EXPECT_EQ(p[8].text, "Next");
    EXPECT_EQ(p[8].number, 0);  // a text instruction has no number
}

TEST(PageScriptLoadTest, LinesTrimmedBlankLinesSkippedVariableSplit) {
    auto p = Program("\r\n   \t\r\n  Variable 64 \"Next Page\"  \r\n\tScan 1 \"x\"\t\r\n");
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(p[0].op, CPageScript::kReturn);
    EXPECT_EQ(p[0].flags, 64);
    EXPECT_EQ(p[1].op, CPageScript::kVariable);
    EXPECT_EQ(p[1].flags, 64);
    EXPECT_EQ(p[1].text, "Next Page");
    EXPECT_EQ(p[2].text, "x");
}

TEST(PageScriptLoadTest, LongTextCutWithoutHalfCharacters) {
    std::string ascii(300, 'a');
    EXPECT_EQ(Program("String 0 \"" + ascii + "\"")[0].text, std::string(239, 'a'));
    // "é" takes bytes 238 and 239: it goes whole.
    std::string accented = std::string(238, 'b') + "\xc3\xa9" + std::string(20, 'c');
    EXPECT_EQ(Program("String 0 \"" + accented + "\"")[0].text, std::string(238, 'b'));
    // A character ending exactly at 239 stays.
    std::string fits = std::string(237, 'b') + "\xc3\xa9" + "cc";
    EXPECT_EQ(Program("String 0 \"" + fits + "\"")[0].text, std::string(237, 'b') + "\xc3\xa9");
}

TEST(PageScriptLoadTest, LoadFailureNamesTheFileAndEmptiesTheProgram) {
    QTemporaryDir dir;
    std::string good = dir.path().toStdString() + "/good.qps";
    std::ofstream(good) << "Variable 0 \"v\"\nString 0 \"hello\"\n";
    CPageScript s;
    ASSERT_TRUE(s.Load(good));
    EXPECT_EQ(s.program().size(), 3u);
    EXPECT_EQ(s.Run("page", "V"), "hello");

    std::string missing = dir.path().toStdString() + "/missing.qps";
    EXPECT_FALSE(s.Load(missing));
    EXPECT_TRUE(s.program().empty());
    EXPECT_EQ(s.error(),
              "The page script file " + missing + " cannot be read: No such file or directory.");
    EXPECT_EQ(s.Run("page", "v"), "");

    EXPECT_FALSE(s.Load(dir.path().toStdString()));
    EXPECT_NE(s.error().find("Is a directory"), std::string::npos) << s.error();
}

// ---- Format ----------------------------------------------------------------------------------

TEST(ScriptFormatTest, AddressWithStateAbbreviatedOrSpelledOut) {
    auto a = script::ReadAddress("1600 pennsylvania AVE nw\nWashington, DC 20500");
    EXPECT_EQ(a.street, "1600 Pennsylvania Ave Nw");
    EXPECT_EQ(a.city, "Washington");
    EXPECT_EQ(a.state, "DC");
    EXPECT_EQ(a.postalCode, "20500");

    a = script::ReadAddress("Acme Inc, 12 Main Street, Suite 4\nspringfield illinois 62704-1234");
    EXPECT_EQ(a.street, "Acme Inc\n12 Main Street\nSuite 4");
    EXPECT_EQ(a.city, "Springfield");
    EXPECT_EQ(a.state, "IL");
    EXPECT_EQ(a.postalCode, "62704-1234");

    a = script::ReadAddress("350 Fifth Avenue, New York, New York 10118");
    EXPECT_EQ(a.city, "New York");
    EXPECT_EQ(a.state, "NY");
    EXPECT_EQ(a.street, "350 Fifth Avenue");

    // Beginnings of the full name and older spellings.
    EXPECT_EQ(script::ReadAddress("Sacramento Calif. 95814").state, "CA");
    EXPECT_EQ(script::ReadAddress("Boston, Mass 02108").state, "MA");
    EXPECT_EQ(script::ReadAddress("Nowhere Zz 12345").state, "Zz");  // unknown kept
}

TEST(ScriptFormatTest, CanadianProvinceAndTwoWordPostalCode) {
    auto a = script::ReadAddress("24 Sussex Drive\nOttawa, Ontario K1A 0A2");
    EXPECT_EQ(a.street, "24 Sussex Drive");
    EXPECT_EQ(a.city, "Ottawa");
    EXPECT_EQ(a.state, "ON");
    EXPECT_EQ(a.postalCode, "K1A 0A2");
    a = script::ReadAddress("800 Robson St\nVancouver British Columbia V6Z 2E7");
    EXPECT_EQ(a.city, "Vancouver");
    EXPECT_EQ(a.state, "BC");
    EXPECT_EQ(script::ReadAddress("Charlottetown, Prince Edward Island C1A 4P3").state, "PE");
    EXPECT_EQ(script::ReadAddress("Montr\xc3\xa9"
                                  "al QC H2Y 1C6")
                  .city,
              "Montr\xc3\xa9"
              "al");
    EXPECT_EQ(script::ReadAddress("Qu\xc3\xa9"
                                  "bec H2Y 1C6")
                  .state,
              "QC");
    EXPECT_EQ(script::StateAbbreviation("yukon territory"), "YT");
    EXPECT_EQ(script::StateAbbreviation("Penn."), "PA");
    EXPECT_EQ(script::StateAbbreviation("Atlantis"), "");
}

TEST(ScriptFormatTest, NamesWithAndWithoutComma) {
    auto n = script::ReadName("JOHN ronald reuel TOLKIEN");
    EXPECT_EQ(n.first, "John");
    EXPECT_EQ(n.middle, "Ronald Reuel");
    EXPECT_EQ(n.last, "Tolkien");
    n = script::ReadName("van der berg , anna MARIA");
    EXPECT_EQ(n.last, "Van Der Berg");
    EXPECT_EQ(n.first, "Anna");
    EXPECT_EQ(n.middle, "Maria");
    n = script::ReadName("Cher");
    EXPECT_EQ(n.first, "Cher");
    EXPECT_EQ(n.last, "");
    // A comma as the very first character is not a "last, first" comma.
    n = script::ReadName(",Smith Jones");
    EXPECT_EQ(n.first, ",smith");
    EXPECT_EQ(n.last, "Jones");
}

TEST(ScriptFormatTest, TelephoneNumbers) {
    EXPECT_EQ(script::Telephone("(212) 555-0100"), "212 555-0100");
    EXPECT_EQ(script::Telephone("+1 800.555.0199"), "800 555-0199");  // last ten digits
    EXPECT_EQ(script::Telephone("555 0123"), "555-0123");
    EXPECT_EQ(script::Telephone("55 01 23"), "");
    EXPECT_EQ(script::Telephone("12345678"), "");
    EXPECT_EQ(script::Telephone("none"), "");
    EXPECT_EQ(script::AreaCode("(212) 555-0100"), "212");
    EXPECT_EQ(script::AreaCode("555-0123"), "");
}

TEST(ScriptFormatTest, CaseEmailAndComparisonKey) {
    EXPECT_EQ(script::FormatValue("Hello wORLD \xc3\xa9t\xc3\xa9", 9),
              "HELLO WORLD \xc3\xa9T\xc3\xa9");
    EXPECT_EQ(script::FormatValue("hELLO   wORLD\nnew", 10), "Hello   World\nNew");
    EXPECT_EQ(script::FormatValue("Hello WORLD", 11), "hello world");
    EXPECT_EQ(script::FormatValue("Hello", 14), "");
    EXPECT_EQ(script::EmailAddress("Jane  Q. Public <Jane.Public@Example.COM>"),
              "Jane Q. Public <jane.public@example.com>");
    EXPECT_EQ(script::EmailAddress("info@Example.org"), "<info@example.org>");
    EXPECT_EQ(script::EmailAddress("no address here"), "");
    EXPECT_EQ(script::CompareKey("The Acme Corp."), "the acme");
    EXPECT_EQ(script::CompareKey("ACME Corporation"), script::CompareKey("Acme, Inc."));
    EXPECT_EQ(script::CompareKey("Smith & Sons Co. Ltd"), "smith & sons");
    EXPECT_EQ(script::CompareKey("Mr.  Bean (UK)!"), "bean uk");
    EXPECT_EQ(script::CompareKey("A co co co B"), "a b");  // pieces freed by a removal go too
    EXPECT_EQ(script::CompareKey("Widgets Incoporated"), "widgets");
}

}  // namespace

namespace {

// ---- Running -------------------------------------------------------------------------------

TEST(PageScriptRunTest, FirstBoldElementAndMissingVariable) {
    const std::string script =
        "Variable 0 \"v\"\nScan 0 \"<b>\"\nBegin 0\nScan 128 \"</b>\"\nEnd 0\nReturn 0\n";
    const std::string page = "<p>plain <b>first</b> and <B>second</B></p>";
    int64_t start = -9, end = -9;
    EXPECT_EQ(RunScript(script, page, 1, &start, &end), "first");
    EXPECT_EQ(start, 12);
    EXPECT_EQ(end, 17);
    CPageScript s;
    s.LoadText(script);
    EXPECT_EQ(s.Run(page, "other"), "");
    EXPECT_EQ(s.error(), "The page script has no variable named other.");
    EXPECT_EQ(s.Run(page, "V"), "first");  // the name in any case
    CPageScript empty;
    EXPECT_EQ(empty.Run(page, "v"), "");
}

TEST(PageScriptRunTest, VariableWithoutMarksGivesWholePageAndNextVariableFlagsFinish) {
    const std::string page = "  <b>Bold</b> &amp; text  ";
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nNop 0\n", page), page);
    // The variable runs into the next one: that line's flags finish it.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nNop 0\nVariable 2816 \"w\"\n", page), "Bold & text");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nReturn 256\n", page), "<b>Bold</b> &amp; text  ");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nReturn 512\n", page), "  <b>Bold</b> &amp; text");
    // Ending on Begin: no finishing.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nBegin 2880\n", page), page);
}

TEST(PageScriptRunTest, MarkAndStopFlags) {
    const std::string page = "abcdefgh";
    // 0x40 with start still 0: the part begins at the cursor.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 64 \"c\"\nString 0 \"never\"\n", page), "defgh");
    // Start already set: the part ends at the cursor.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"b\"\nBegin 0\nScan 64 \"e\"\n", page), "cde");
    // 0x20: the scan is not made, only the mark.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"b\"\nBegin 0\nScan 32 \"e\"\n", page), "");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 32 \"e\"\n", page), page);
}

TEST(PageScriptRunTest, RepeatThenLinkTakesTheCountthNextAnchor) {
    const std::string script = "Variable 0 \"v\"\nRepeat 0 3\nLink 0 \"Next\"\n";
    const std::string page =
        "<a href=\"/prev\">Previous</a> <a href=\"/n1\">Next</a> <A HREF=\"/n2\"> next page</A>"
        " <a href=\"/x\">Other</a> <a href=\"/n3\">NEXT &gt;</a> <a href=\"/n4\">Next</a>";
    int64_t start = 0, end = 0;
    EXPECT_EQ(RunScript(script, page, 1, &start, &end), "/n3");
    EXPECT_EQ(page.substr(start, end - start), "<a href=\"/n3\">");
    // Fewer anchors than the count: the last one found.
    EXPECT_EQ(RunScript(script, page.substr(0, page.find(" <a href=\"/x\""))), "/n2");
    EXPECT_EQ(RunScript(script, "<a href=\"/p\">Previous</a>"), "");
    // Exact case: only "Next" as written.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nRepeat 0 2\nLink 1 \"Next\"\n", page), "/n4");
}

TEST(PageScriptRunTest, ScanAlternativesStopAtTheFirstFound) {
    const std::string script =
        "Variable 0 \"v\"\nScan 4096 \"x\"\nScan 4096 \"y\"\nScan 0 \"z\"\nBegin 0\nReturn 0\n";
    EXPECT_EQ(RunScript(script, "z1 y2 x3 y4 z5"), "3 y4 z5");  // y, z not searched
    EXPECT_EQ(RunScript(script, "z1 y2 z3"), "2 z3");           // z not searched
    EXPECT_EQ(RunScript(script, "q1 z2"), "2");                 // z decides
    EXPECT_EQ(RunScript(script, "q1 q2"), "");
    EXPECT_EQ(RunScript(script, "y2"), "2");
    // Case: ignored unless 0x0001.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"B\"\nBegin 0\n", "abc"), "c");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 1 \"B\"\nBegin 0\n", "abc"), "");
    // Backwards from the end (0x2000 with 0x80: the cursor stays at the match).
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nJump 0 10\nScan 8320 \"b\"\nBegin 0\n", "ab ab ab!!"),
              "b!!");
}

TEST(PageScriptRunTest, CommentActsAsBeginAndIndexCounts) {
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"b\"\nComment 0 here\nReturn 0\n", "abc"), "c");
    const std::string list = "<li>one<li>two<li>three";
    const std::string script =
        "Variable 0 \"v\"\nIndex 0\nScan 0 \"<li>\"\nBegin 0\nScan 128 \"<\"\nEnd 0\n";
    EXPECT_EQ(RunScript(script, list, 2), "two");
    EXPECT_EQ(RunScript(script, list, 4), "");
}

TEST(PageScriptRunTest, ScanMemoryMakesOneSearchPerItem) {
    std::string page;
    for (int i = 1; i <= 50; ++i) page += "<li>item " + std::to_string(i) + "</li>\n";
    const std::string script =
        "Variable 0 \"v\"\nIndex 0\nScan 0 \"<li>\"\nBegin 0\nScan 128 \"</li>\"\nEnd 0\n";
    CPageScript s;
    s.LoadText(script);
    for (int i = 1; i <= 50; ++i) {
        EXPECT_EQ(s.Run(page, "v", i), "item " + std::to_string(i));
        // The second item still counts from the top: only counts of 2 or more are kept.
        EXPECT_EQ(s.searches(), i == 2 ? 3 : 2) << "item " << i;
    }
    // Out of order: the memory does not fit, the count is searched in full.
    EXPECT_EQ(s.Run(page, "v", 7), "item 7");
    EXPECT_EQ(s.searches(), 8);
    // Another page with the same script does not continue where the first one stopped.
    std::string other =
        "<p><li>a</li><li>b</li><li>c</li><li>d</li><li>e</li><li>f</li>"
        "<li>g</li><li>h</li>";
    EXPECT_EQ(s.Run(other, "v", 8), "h");
    // A reload forgets.
    s.LoadText(script);
    EXPECT_EQ(s.Run(page, "v", 9), "item 9");
    EXPECT_EQ(s.searches(), 10);
}

TEST(PageScriptRunTest, ValuesStringTitleSubmitFormat) {
    const std::string page =
        "<html><head><title> The  Title </title></head><body>"
        "<form action=\"/find\" method=\"POST\"><input type=hidden name=q value=\"a b&c\">"
        "<input type=submit value=Go></form>"
        "<td class=phone> (212) 555-0100 </td><td>Ottawa, Ontario K1A 0A2</td></body></html>";
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nString 0 \"/fixed/address\"\n", page), "/fixed/address");
    int64_t start = 0, end = 0;
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nTitle 0\n", page, 1, &start, &end), "The  Title");
    EXPECT_EQ(page.substr(start, end - start), " The  Title ");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nSubmit 0 \"\"\n", page, 1, &start, &end),
              "/find|q=a+b%26c");
    EXPECT_EQ(page.compare(start, 5, "<form"), 0);
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nTitle 0\n", "<p>no title"), "");
    const std::string phone =
        "Variable 0 \"v\"\nScan 0 \"<td class=phone>\"\nBegin 0\nScan 128 \"</td>\"\nEnd 0\n";
    EXPECT_EQ(RunScript(phone + "Format 0 7\n", page), "212 555-0100");
    EXPECT_EQ(RunScript(phone + "Format 0 8\n", page), "212");
    EXPECT_EQ(RunScript(phone + "Format 0 99\n", page), "");
    const std::string address =
        "Variable 0 \"v\"\nScan 0 \"<td>\"\nBegin 0\nScan 128 \"</td>\"\nEnd 0\n";
    EXPECT_EQ(RunScript(address + "Format 0 0\n", page), "Ottawa");
    EXPECT_EQ(RunScript(address + "Format 0 1\n", page), "ON");
    EXPECT_EQ(RunScript(address + "Format 0 3\n", page), "K1A 0A2");
}

// ---- Faults mended ----------------------------------------------------------------------------

TEST(PageScriptFaultTest, HtmlTagWithoutClosingTagOrReversedPartGivesNothing) {
    const std::string page = "x<b>bold</b> y <b>unclosed";
    int64_t start = 0, end = 0;
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nHtmlTag 0 \"<b>\"\n", page), "bold");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nRepeat 0 2\nHtmlTag 0 \"b\"\n", page, 1, &start, &end),
              "");
    EXPECT_GE(end, start);  // never a negative length
    EXPECT_EQ(start, 18);
    // Start after end.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"d\"\nBegin 0\nJump 1024 3\nEnd 0\n", "abcdef",
                        1, &start, &end),
              "");
    EXPECT_GE(end, start);
    // End marked before the start.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"c\"\nEnd 0\nJump 0 3\nBegin 0\n", "abcdef"),
              "");
}

TEST(PageScriptFaultTest, JumpBelowZeroOrPastTheEndEndsEmptyAndHugeCountsAreComputed) {
    const std::string page = "abcdef";
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"e\"\nJump 1024 2\nBegin 0\n", page), "def");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nScan 0 \"c\"\nJump 1024 10\nBegin 0\n", page), "");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nJump 0 7\nBegin 0\n", page), "");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nJump 0 -1\nBegin 0\n", page), "");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nRepeat 0 2\nJump 0 2\nBegin 0\n", page), "ef");
    // Would take two thousand million steps, or overflow 32 bits, if walked one by one.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nRepeat 0 2000000000\nJump 0 0\nBegin 0\n", page), page);
    EXPECT_EQ(
        RunScript("Variable 0 \"v\"\nRepeat 0 2000000000\nJump 0 2000000000\nBegin 0\n", page), "");
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nRepeat 0 2147483647\nJump 1024 -2147483648\n"
                        "Begin 0\n",
                        page),
              "");
    // The count goes back to 1 after a jump.
    EXPECT_EQ(RunScript("Variable 0 \"v\"\nRepeat 0 2\nJump 0 1\nJump 0 1\nBegin 0\n", page),
              "def");
}

TEST(PageScriptFaultTest, RepeatedSearchesAreBounded) {
    // The same match again and again: stops as soon as nothing moves.
    CPageScript s;
    s.LoadText("Variable 0 \"v\"\nRepeat 0 1000000000\nScan 128 \"b\"\nBegin 0\n");
    EXPECT_EQ(s.Run("aab", "v"), "b");
    EXPECT_EQ(s.error(), "");
    s.LoadText("Variable 0 \"v\"\nRepeat 0 1000000000\nLink 0 \"\"\n");
    EXPECT_EQ(s.Run("<a href=\"/1\">1</a><a href=\"/2\">2</a>", "v"), "/2");
    // Progress every time, but more than a run may make.
    const std::string many(CPageScript::kMaxSteps + 100, 'a');
    s.LoadText("Variable 0 \"v\"\nRepeat 0 1000000000\nScan 0 \"a\"\nBegin 0\n");
    EXPECT_EQ(s.Run(many, "v"), "");
    EXPECT_EQ(s.error(), "The page script stopped after 1000000 steps without a result.");
    EXPECT_EQ(s.Run("aaa", "v"), "");  // all found, then the fourth search fails
    EXPECT_EQ(s.error(), "");
    std::string tags;
    for (int i = 0; i < 400000; ++i) tags += "<b>";
    s.LoadText("Variable 0 \"v\"\nRepeat 0 1000000000\nHtmlTag 0 \"b\"\n");
    EXPECT_EQ(s.Run(tags, "v"), "");
    EXPECT_EQ(s.error(), "");
    std::string moreTags;
    for (int64_t i = 0; i < CPageScript::kMaxSteps; ++i) moreTags += "<b>";
    EXPECT_EQ(s.Run(moreTags, "v"), "");
    EXPECT_EQ(s.error(), "The page script stopped after 1000000 steps without a result.");
}

// Few steps, each walking far: what a run may search through is bounded as well.
TEST(PageScriptFaultTest, SearchingFarAgainAndAgainIsBounded) {
    CPageScript s;
    // Backwards one byte at a time from the end of a long page: each search costs the step
    // it takes back, not the page before it.
    const std::string page = "<a href=\"/ok\">x</a>" + std::string(2000000, 'a') + "END";
    s.LoadText(
        "Variable 0 \"L\"\nScan 0 \"END\"\nRepeat 0 1000000\nScan 8192 \"a\"\n"
        "Link 0 \"\"\n");
    EXPECT_EQ(s.Run(page, "L"), "");
    EXPECT_EQ(s.error(), "The page script stopped after 1000000 steps without a result.");
    // Alternatives that are never found walk the whole page each time.
    const std::string big(8 * 1024 * 1024, 'a');
    std::string script = "Variable 0 \"v\"\n";
    for (int i = 0; i < 40; ++i) script += "Scan 4096 \"zzz\"\n";
    s.LoadText(script + "Begin 0\n");
    EXPECT_EQ(s.Run(big, "v"), "");
    EXPECT_EQ(s.error(),
              "The page script stopped after searching 256 MB of the page without a result.");
    EXPECT_EQ(s.Run("short page", "v"), "short page");  // little to search: the whole page
    EXPECT_EQ(s.error(), "");
}

// Only a form's submission string holds a "|" on purpose.
TEST(PageScriptFaultTest, TheRunSaysWhatEndedIt) {
    CPageScript s;
    s.LoadText(
        "Variable 0 \"f\"\nSubmit 0 \"\"\nVariable 0 \"l\"\nLink 0 \"x\"\n"
        "Variable 0 \"p\"\nBegin 0\n");
    const std::string page =
        "<a href=\"/a|b\">x</a><form action=/s method=post>"
        "<input name=q value=1><input type=submit></form>";
    EXPECT_EQ(s.Run(page, "f"), "/s|q=1");
    EXPECT_EQ(s.endedBy(), CPageScript::kSubmit);
    EXPECT_EQ(s.Run(page, "l"), "/a|b");
    EXPECT_EQ(s.endedBy(), CPageScript::kLink);
    s.Run(page, "p");
    EXPECT_EQ(s.endedBy(), CPageScript::kReturn);
}

// ---- Script files over pages ---------------------------------------------------------------

TEST(PageScriptFileTest, FrontPageScript) {
    const std::string dir = QUORVANE_SCRIPT_DATA;
    const std::string page = ReadFile(dir + "/front.html");
    ASSERT_FALSE(page.empty());
    CPageScript s;
    ASSERT_TRUE(s.Load(dir + "/news.qps"));
    EXPECT_EQ(s.Run(page, "Newest"), "/news/2024/newest.html");
    EXPECT_EQ(s.Run(page, "headline"), "Bakery opens & closes");
    EXPECT_EQ(s.Run(page, "Item", 1), "First item");
    EXPECT_EQ(s.Run(page, "Item", 2), "Second item");
    EXPECT_EQ(s.Run(page, "Item", 3), "Third item");
    EXPECT_EQ(s.Run(page, "Item", 4), "");
    EXPECT_EQ(s.Run(page, "PageTitle"), "Daily  Example");
}

}  // namespace

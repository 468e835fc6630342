#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <QByteArray>
#include <QTemporaryDir>
#include <cctype>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "fixtures/Fixtures.h"
#include "net/Inet.h"
#include "net/Mime.h"

namespace {

// Each test gets its own temporary folder, so that what ExtractPart leaves there can be
// counted.
class MimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        const char* old = std::getenv("TMPDIR");
        hadTmp_ = old != nullptr;
        if (old) oldTmp_ = old;
        setenv("TMPDIR", dir_.path().toStdString().c_str(), 1);
    }
    void TearDown() override {
        if (hadTmp_)
            setenv("TMPDIR", oldTmp_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }

    struct Extracted {
        int result = -1;
        std::string path;
        std::string name;
        std::string bytes;
    };

    // Stores message as the POP3 client would, leaves the file positioned in its middle (the
    // extraction reads from the start whatever the position), and extracts part index.
    Extracted Extract(const std::string& message, int index) {
        std::string file = dir_.path().toStdString() + "/message.txt";
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::write(fd, message.data(), message.size()),
                  static_cast<ssize_t>(message.size()));
        ::lseek(fd, static_cast<off_t>(message.size() / 2), SEEK_SET);
        Extracted out;
        out.name = "stale";
        out.path = "stale";
        out.result = CInet::ExtractPart(fd, index, &out.path, &out.name);
        ::close(fd);
        ::unlink(file.c_str());
        if (out.result == 1) {
            EXPECT_EQ(out.path.rfind(dir_.path().toStdString() + "/MM1", 0), 0u) << out.path;
            out.bytes = ReadFileBytes(out.path);
            ::unlink(out.path.c_str());
        } else {
            EXPECT_EQ(out.path, "");
            EXPECT_EQ(out.name, "");
        }
        return out;
    }

    // Files left in the temporary folder.
    int FilesLeft() const {
        int count = 0;
        DIR* d = ::opendir(dir_.path().toStdString().c_str());
        while (dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++count;
        ::closedir(d);
        return count;
    }

    QTemporaryDir dir_;
    std::string oldTmp_;
    bool hadTmp_ = false;
};

std::string Base64Lines(const std::string& bytes, size_t width = 76) {
    QByteArray encoded = QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())).toBase64();
    std::string out;
    for (qsizetype i = 0; i < encoded.size(); i += static_cast<qsizetype>(width)) {
        out.append(encoded.constData() + i,
                   static_cast<size_t>(std::min<qsizetype>(width, encoded.size() - i)));
        out += "\r\n";
    }
    return out;
}

std::string AllBytes() {
    std::string bytes;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    return bytes + "xy";  // a length that needs "=" padding
}

// Text, then an attachment, then a second one, with the boundary given as header.
std::string MultiPart(const std::string& contentType, const std::string& boundary,
                      const std::string& attachment) {
    return "From: a@example.org\r\n"
           "MIME-Version: 1.0\r\n" +
           contentType +
           "\r\n"
           "\r\n"
           "This is a multi-part message in MIME format.\r\n"
           "--" +
           boundary +
           "\r\n"
           "Content-Type: text/plain\r\n"
           "\r\n"
           "Hello,\r\n"
           "see attached.\r\n"
           "--" +
           boundary +
           "\r\n"
           "Content-Type: application/octet-stream\r\n"
           "Content-Transfer-Encoding: base64\r\n"
           "Content-Disposition: attachment; filename=\"report.bin\"\r\n"
           "\r\n" +
           Base64Lines(attachment) + "--" + boundary +
           "\r\n"
           "Content-Type: text/plain\r\n"
           "\r\n"
           "third\r\n"
           "--" +
           boundary +
           "--\r\n"
           "epilogue\r\n"
           ".\r\n";
}

TEST_F(MimeTest, PlainMessageGivesItsBodyAndNoOtherPart) {
    std::string message =
        "From: a@example.org\r\nSubject: hi\r\n\r\nline one\r\n\r\nline two\r\n.\r\n";
    Extracted e = Extract(message, 0);
    EXPECT_EQ(e.result, 1);
    EXPECT_EQ(e.bytes, "line one\r\n\r\nline two\r\n.\r\n");
    EXPECT_EQ(e.name, "");

    EXPECT_EQ(Extract(message, 1).result, 0);
    EXPECT_EQ(Extract(message, -1).result, 0);
    EXPECT_EQ(FilesLeft(), 0) << "no temporary file for a part that is not there";

    // Lines that end in a bare line feed are lines too; a lone CR inside one is text.
    e = Extract("Subject: x\n\nfirst\nsec\rond\nlast without end", 0);
    EXPECT_EQ(e.bytes, "first\r\nsec\rond\r\nlast without end\r\n");

    EXPECT_EQ(Extract("Subject: only a header\r\n", 0).result, 0) << "no body lines";
    EXPECT_EQ(FilesLeft(), 0);

    // The message's own header may say its body is base64.
    e = Extract("Content-Transfer-Encoding: BASE64\r\n\r\n" + Base64Lines("plain bytes\x01"), 0);
    EXPECT_EQ(e.bytes, "plain bytes\x01");
}

TEST_F(MimeTest, MultiPartGivesTextAttachmentAndNothingBeyond) {
    std::string attachment = AllBytes();
    std::string message = MultiPart("Content-Type: multipart/mixed; boundary=\"----=_Part_1\"",
                                    "----=_Part_1", attachment);
    Extracted text = Extract(message, 0);
    EXPECT_EQ(text.result, 1);
    EXPECT_EQ(text.bytes, "Hello,\r\nsee attached.\r\n");
    EXPECT_EQ(text.name, "");

    Extracted file = Extract(message, 1);
    EXPECT_EQ(file.result, 1);
    EXPECT_EQ(file.bytes, attachment);
    EXPECT_EQ(file.name, "report.bin");

    Extracted third = Extract(message, 2);
    EXPECT_EQ(third.bytes, "third\r\n");
    EXPECT_EQ(third.name, "") << "a file name belongs to its own part, not to the next";

    // The closing delimiter ends the parts: the epilogue is none.
    EXPECT_EQ(Extract(message, 3).result, 0);
    EXPECT_EQ(Extract(message, 40).result, 0);
    EXPECT_EQ(FilesLeft(), 0);
}

TEST_F(MimeTest, BoundaryQuotedUnquotedFoldedAndInAnyCase) {
    std::string attachment = "attached\r\n";
    struct Case {
        const char* header;
        const char* boundary;
    } cases[] = {
        {"Content-Type: multipart/mixed; boundary=plain42", "plain42"},
        {"Content-Type: multipart/mixed; boundary=plain42; charset=us-ascii", "plain42"},
        {"Content-Type: multipart/mixed; boundary=plain42 (comment)", "plain42"},
        {"Content-Type: multipart/mixed; BOUNDARY=\"with space;and semicolon\"",
         "with space;and semicolon"},
        {"Content-Type: multipart/mixed;\r\n\tboundary=\"folded\"", "folded"},
        {"content-type: multipart/mixed;\r\n boundary=lower;\r\n name=x", "lower"},
    };
    for (const Case& c : cases) {
        std::string message = MultiPart(c.header, c.boundary, attachment);
        EXPECT_EQ(Extract(message, 0).bytes, "Hello,\r\nsee attached.\r\n") << c.header;
        EXPECT_EQ(Extract(message, 1).bytes, attachment) << c.header;
    }

    // Folded part headers are read whole too.
    std::string folded =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\ntext\r\n"
        "--b\r\nContent-Transfer-Encoding:\r\n base64\r\nContent-Disposition: attachment;\r\n"
        "\tfilename=\"folded name.txt\"\r\n\r\n" +
        Base64Lines("decoded") + "--b--\r\n";
    Extracted e = Extract(folded, 1);
    EXPECT_EQ(e.bytes, "decoded");
    EXPECT_EQ(e.name, "folded name.txt");
}

TEST_F(MimeTest, OnlyWholeDelimiterLinesAfterTheHeaderSeparateParts) {
    // The header names the boundary, a part's header and its text mention it, a line
    // begins with it and goes on: none of those is a delimiter.
    std::string message =
        "MIME-Version: 1.0\r\n"
        "Content-Type: multipart/mixed; boundary=\"XYZ\"\r\n"
        "Subject: about XYZ\r\n"
        "\r\n"
        "--XYZ\r\n"
        "X-Note: XYZ\r\n"
        "\r\n"
        "the boundary XYZ in text\r\n"
        "--XYZ-not-a-delimiter\r\n"
        "---XYZ\r\n"
        " --XYZ\r\n"
        "--XYZ \t\r\n"
        "\r\n"
        "second\r\n"
        "--XYZ--  \r\n";
    Extracted first = Extract(message, 0);
    EXPECT_EQ(first.bytes,
              "the boundary XYZ in text\r\n--XYZ-not-a-delimiter\r\n---XYZ\r\n --XYZ\r\n");
    EXPECT_EQ(Extract(message, 1).bytes, "second\r\n")
        << "blanks after a delimiter are transport padding";
    EXPECT_EQ(Extract(message, 2).result, 0);

    // A line that begins with the delimiter and goes on is text, in a part's body or its
    // header: a longer boundary ("--XYZ2" is another one's), its close, letters, a dash.
    for (std::string near : {"--XYZ2", "--XYZ2--", "--XYZ2 ", "--XYZabc", "--XYZ_", "--XYZ-",
                             "--XYZ--x", "--XYZ---"}) {
        SCOPED_TRACE(near);
        const std::string top =
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"XYZ\"\r\n\r\n";
        std::string inBody = top + "--XYZ\r\nContent-Type: text/plain\r\n\r\nbefore\r\n" + near +
                             "\r\nafter\r\n--XYZ\r\n\r\nsecond\r\n--XYZ--\r\n";
        EXPECT_EQ(Extract(inBody, 0).bytes, "before\r\n" + near + "\r\nafter\r\n");
        EXPECT_EQ(Extract(inBody, 1).bytes, "second\r\n");
        EXPECT_EQ(Extract(inBody, 2).result, 0);
        std::string inHeader = top + "--XYZ\r\n" + near +
                               "\r\nContent-Type: text/plain\r\n\r\nfirst\r\n--XYZ\r\n\r\n"
                               "second\r\n--XYZ--\r\n";
        EXPECT_EQ(Extract(inHeader, 0).bytes, "first\r\n");
        EXPECT_EQ(Extract(inHeader, 1).bytes, "second\r\n");
        EXPECT_EQ(Extract(inHeader, 2).result, 0);
    }

    // An empty boundary is no boundary: the body is one part, delimiter-looking lines and
    // all, and there is no part 1.
    std::string empty =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"\"\r\n\r\n"
        "--\r\nline\r\n--\r\n";
    EXPECT_EQ(Extract(empty, 0).bytes, "--\r\nline\r\n--\r\n");
    EXPECT_EQ(Extract(empty, 1).result, 0);

    // Without MIME-Version the boundary is not looked for.
    std::string noVersion = "Content-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n\r\nx\r\n";
    EXPECT_EQ(Extract(noVersion, 0).bytes, "--b\r\n\r\nx\r\n");

    // A part with a header but no body has nothing to give.
    std::string headerOnly =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n"
        "--b\r\nContent-Transfer-Encoding: base64\r\n--b\r\n\r\nnext\r\n--b--\r\n";
    EXPECT_EQ(Extract(headerOnly, 0).result, 0);
    EXPECT_EQ(Extract(headerOnly, 1).bytes, "next\r\n") << "nor does its header reach the next";
    EXPECT_EQ(FilesLeft(), 0);
}

TEST_F(MimeTest, FileNamesAreBareNames) {
    struct Case {
        const char* parameter;
        const char* expected;
    } cases[] = {
        {"filename=\"../../etc/passwd\"", "passwd"},
        {"filename=\"C:\\\\x\\\\y.doc\"", "y.doc"},  // quoted-pair backslashes
        {"filename=C:\\x\\y.doc", "y.doc"},
        {"filename=\"..\"", ""},
        {"filename=\"a/..\"", ""},
        {"filename=\"bell\x07tab\x09nul.txt\"", "belltabnul.txt"},
        {"filename=\"caf\xE9.txt\"", "caf\xC3\xA9.txt"},  // Latin-1 bytes become UTF-8
        {"filename*=utf-8''%E2%82%AC%20rate.txt", "\xE2\x82\xAC rate.txt"},
        {"filename=\"=?UTF-8?B?w6ljaGVsbGUucGRm?=\"",
         "\xC3\xA9"
         "chelle.pdf"},
        {"filename=\"=?iso-8859-1?Q?na=EFve_=2F_x.txt?=\"", "x.txt"},
    };
    for (const Case& c : cases) {
        std::string message =
            std::string("Content-Disposition: attachment; ") + c.parameter + "\r\n\r\nbody\r\n";
        Extracted e = Extract(message, 0);
        EXPECT_EQ(e.result, 1) << c.parameter;
        EXPECT_EQ(e.name, c.expected) << c.parameter;
    }

    // A name as long as a whole line is cut to what a file system takes, never inside a
    // character.
    std::string longName;
    for (int i = 0; i < 2000; ++i) longName += "\xC3\xA9";
    Extracted e = Extract(
        "Content-Disposition: attachment; filename=\"" + longName + "\"\r\n\r\nbody\r\n", 0);
    EXPECT_EQ(e.name, longName.substr(0, 254));

    // Without a filename, Content-Type's name stands in.
    e = Extract("Content-Type: application/pdf; name=\"/tmp/n.pdf\"\r\n\r\nbody\r\n", 0);
    EXPECT_EQ(e.name, "n.pdf");
}

TEST_F(MimeTest, QuotedPrintableIsDecoded) {
    std::string message =
        "MIME-Version: 1.0\r\nContent-Type: multipart/alternative; boundary=q\r\n\r\n"
        "--q\r\n"
        "Content-Type: text/plain; charset=utf-8\r\n"
        "Content-Transfer-Encoding: quoted-printable\r\n"
        "\r\n"
        "caf=C3=A9 and na=c3=afve\r\n"
        "a soft=\r\n"
        " break, one with blanks after it=  \r\n"
        "and trailing blanks dropped   \r\n"
        "kept: =ZZ, =4, = x, 100=\r\n"
        "% and a=3D=3Dsign\r\n"
        "--q--\r\n";
    EXPECT_EQ(Extract(message, 0).bytes,
              "caf\xC3\xA9 and na\xC3\xAFve\r\n"
              "a soft break, one with blanks after it"
              "and trailing blanks dropped\r\n"
              "kept: =ZZ, =4, = x, 100% and a==sign\r\n");

    // An escape or a soft break may fall on any read boundary of a long line.
    std::string line;
    std::string expected;
    for (int i = 0; i < 70000; ++i) line += "=41";
    line += "=\r\n";
    for (int i = 0; i < 30000; ++i) line += "x=42";
    expected = std::string(70000, 'A');
    for (int i = 0; i < 30000; ++i) expected += "xB";
    Extracted e = Extract("Content-Transfer-Encoding: quoted-printable\r\n\r\n" + line + "\r\n", 0);
    EXPECT_EQ(e.bytes, expected + "\r\n");
}

TEST_F(MimeTest, TextInOtherCharsetsBecomesUtf8) {
    auto text = [](const std::string& header, const std::string& body) {
        return "MIME-Version: 1.0\r\n" + header + "\r\n\r\n" + body;
    };
    EXPECT_EQ(Extract(text("Content-Type: text/plain; charset=ISO-8859-1", "caf\xE9\r\n"), 0).bytes,
              "caf\xC3\xA9\r\n");
    // Quotes of windows-1252, also where the label says Latin-1 (as mail programs read it).
    EXPECT_EQ(Extract(text("Content-Type: text/plain; charset=\"windows-1252\"",
                           "\x93quoted\x94 \x80\r\n"),
                      0)
                  .bytes,
              "\xE2\x80\x9Cquoted\xE2\x80\x9D \xE2\x82\xAC\r\n");
    EXPECT_EQ(Extract(text("Content-Type: text/plain; charset=iso-8859-1\r\n"
                           "Content-Transfer-Encoding: quoted-printable",
                           "=93q=94 caf=E9\r\n"),
                      0)
                  .bytes,
              "\xE2\x80\x9Cq\xE2\x80\x9D caf\xC3\xA9\r\n");
    // A multi-byte charset across base64 groups and lines.
    EXPECT_EQ(Extract(text("Content-Type: text/plain; charset=utf-16le\r\n"
                           "Content-Transfer-Encoding: base64",
                           Base64Lines(std::string("h\0\xE9\0", 4), 3)),
                      0)
                  .bytes,
              "h\xC3\xA9");
    // UTF-8 and unknown labels pass as they are; so does an attached file.
    EXPECT_EQ(Extract(text("Content-Type: text/plain; charset=utf-8", "caf\xC3\xA9\r\n"), 0).bytes,
              "caf\xC3\xA9\r\n");
    EXPECT_EQ(
        Extract(text("Content-Type: text/plain; charset=x-unheard-of", "caf\xE9\r\n"), 0).bytes,
        "caf\xE9\r\n");
    EXPECT_EQ(Extract(text("Content-Type: text/plain; charset=iso-8859-1\r\n"
                           "Content-Disposition: attachment; filename=latin.txt",
                           "caf\xE9\r\n"),
                      0)
                  .bytes,
              "caf\xE9\r\n");
}

TEST_F(MimeTest, LongLinesAreNotCut) {
    std::string longLine;
    for (int i = 0; longLine.size() < 300 * 1024; ++i) longLine += "word" + std::to_string(i) + " ";
    Extracted plain = Extract("Subject: x\r\n\r\nshort\r\n" + longLine + "\r\nend\r\n", 0);
    EXPECT_EQ(plain.bytes, "short\r\n" + longLine + "\r\nend\r\n");

    // Within a multi-part message, and a base64 attachment written as one line.
    std::string binary;
    std::mt19937 rng(7);
    for (int i = 0; i < 250 * 1024; ++i) binary.push_back(static_cast<char>(rng()));
    std::string message =
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"--b\"\r\n\r\n"
        "----b\r\n\r\n" +
        longLine +
        "\r\n"
        "----b\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
        Base64Lines(binary, 1u << 30) + "----b--\r\n";
    EXPECT_EQ(Extract(message, 0).bytes, longLine + "\r\n");
    EXPECT_EQ(Extract(message, 1).bytes, binary);
}

TEST_F(MimeTest, LinesSplitAcrossReadsAreWhole) {
    // A CR LF pair, a delimiter, and a base64 line across each place where a read of 64 or
    // 256 KiB may end.
    for (size_t block : {size_t{65536}, size_t{262144}}) {
        for (size_t shift : {0, 1, 2, 3, 4, 5, 6, 7}) {
            std::string head =
                "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=split\r\n\r\n"
                "--split\r\n\r\n";
            std::string filler(block - head.size() - 1 - shift, 'f');
            std::string message =
                head + filler + "\r\nnext\r\n--split\r\n\r\nsecond\r\n--split--\r\n";
            EXPECT_EQ(Extract(message, 0).bytes, filler + "\r\nnext\r\n") << shift;
            std::string message2 = head + filler.substr(6) + "\r\n--split\r\n\r\nsecond\r\n";
            EXPECT_EQ(Extract(message2, 1).bytes, "second\r\n") << shift;

            // The delimiter after a base64 part, and a base64 line, on the boundary.
            std::string b64head =
                "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=split\r\n\r\n"
                "--split\r\nContent-Transfer-Encoding: base64\r\n\r\n";
            std::string data(((block - b64head.size()) / 78 + 1) * 57, '\0');
            for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + shift);
            std::string lines = Base64Lines(data);
            std::string pad(shift * 11, '\n');  // blank lines move everything along
            EXPECT_EQ(Extract(b64head + pad + lines + "--split--\r\n", 0).bytes, data) << shift;
        }
    }
}

TEST_F(MimeTest, Base64RunsLinesAndPadding) {
    auto decode = [](const std::string& text, size_t piece) {
        mime::Base64Decoder decoder;
        std::string out;
        for (size_t i = 0; i < text.size(); i += piece)
            decoder.Feed(text.data() + i, std::min(piece, text.size() - i), &out);
        decoder.Finish(&out);
        return out;
    };
    EXPECT_EQ(decode("QQ==", 1), "A");
    EXPECT_EQ(decode("QUI=", 4), "AB");
    EXPECT_EQ(decode("QUJD", 2), "ABC");
    // "=" or any other character ends a run; what follows is a new run.
    EXPECT_EQ(decode("QQ==QUI=", 3), "AAB");
    EXPECT_EQ(decode("QQ*QUJD", 7), "AABC");
    // Line ends and blanks are passed over, also inside a group of four.
    EXPECT_EQ(decode("QU\r\nJ D\tQU\nJD", 1), "ABCABC");

    // Within runs it decodes as Qt does, whatever the input: a run ends at any character
    // that is neither base64 nor white space.
    auto qtRuns = [](const std::string& text) {
        std::string out, run;
        auto flush = [&] {
            QByteArray d = QByteArray::fromBase64(QByteArray::fromStdString(run));
            out.append(d.constData(), static_cast<size_t>(d.size()));
            run.clear();
        };
        for (char c : text) {
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/')
                run.push_back(c);
            else if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
                flush();
        }
        flush();
        return out;
    };
    std::mt19937 rng(11);
    const std::string symbols =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
        "==\r\n \t*-.\x80\xff";
    for (int round = 0; round < 300; ++round) {
        std::string text;
        size_t size = rng() % 3000;
        for (size_t i = 0; i < size; ++i) text.push_back(symbols[rng() % symbols.size()]);
        EXPECT_EQ(decode(text, 1 + rng() % 50), qtRuns(text)) << text;
    }

    // Any data, any line width, any piece size: what Qt encodes comes back.
    for (int round = 0; round < 40; ++round) {
        std::string data;
        size_t size = rng() % 200000;
        for (size_t i = 0; i < size; ++i) data.push_back(static_cast<char>(rng()));
        size_t width = 1 + rng() % 100;
        EXPECT_EQ(decode(Base64Lines(data, width), 1 + rng() % 70000), data)
            << "round " << round << " width " << width;
    }
}

TEST_F(MimeTest, FailuresLeaveNothingAndReportNothing) {
    // A message that cannot be read is no part.
    std::string dir = dir_.path().toStdString();
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    std::string path = "stale";
    EXPECT_EQ(CInet::ExtractPart(fd, 0, &path, nullptr), 0);
    EXPECT_EQ(path, "");
    ::close(fd);
    EXPECT_EQ(FilesLeft(), 0);

    // Nor one whose temporary file cannot be made.
    std::string file = dir + "/message.txt";
    fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(::write(fd, "S: x\r\n\r\nbody\r\n", 14), 14);
    setenv("TMPDIR", (dir + "/missing").c_str(), 1);
    EXPECT_EQ(CInet::ExtractPart(fd, 0, &path, nullptr), 0);
    EXPECT_EQ(path, "");
    ::close(fd);
}

TEST(HeaderTextTest, EncodedWordsAndRawBytesReadAsAPersonReadsThem) {
    struct Case {
        std::string raw, text;
    };
    const std::vector<Case> cases = {
        {"=?UTF-8?B?a2VybmVsIHBhbmljIQ==?=", "kernel panic!"},
        {"=?utf-8?q?Gr=C3=BC=C3=9Fe_aus_Bern?=",
         "Gr\xC3\xBC\xC3\x9F"
         "e aus Bern"},
        // The white space between encoded words goes, also a folded line's; that between a
        // word and text stays.
        {"=?UTF-8?B?R3LDvA==?= =?UTF-8?B?w59l?=",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"=?UTF-8?Q?a?=\r\n =?UTF-8?Q?b?=\t=?iso-8859-1?q?c?=", "abc"},
        {"Re: =?ISO-8859-1?Q?Caf=E9?= ok =?UTF-8?Q?x?=", "Re: Caf\xC3\xA9 ok x"},
        // A character split over two words, as some senders split them.
        {"=?UTF-8?B?R3LD?= =?UTF-8?B?vMOfZQ==?=",
         "Gr\xC3\xBC\xC3\x9F"
         "e"},
        {"=?windows-1252?Q?=93q=94?=", "\xE2\x80\x9Cq\xE2\x80\x9D"},
        {"=?utf-8*en?q?lang?=", "lang"},
        {"=?UTF-8?b?cGFuaWM?=", "panic"},  // padding left off
        // What cannot be read stays as it was written, and nothing breaks.
        {"=?x-unheard-of?Q?abc?= def", "=?x-unheard-of?Q?abc?= def"},
        {"=?UTF-8?B?#not base64#?=", "=?UTF-8?B?#not base64#?="},
        {"=?UTF-8?B?abcde?=", "=?UTF-8?B?abcde?="},
        {"=?UTF-8?B?ab=c?=", "=?UTF-8?B?ab=c?="},
        {"=?UTF-8?X?abc?=", "=?UTF-8?X?abc?="},
        {"=?UTF-8?Q?open end", "=?UTF-8?Q?open end"},
        {"=?", "=?"},
        {"=?UTF-8?B?/w==?=", "\xEF\xBF\xBD"},  // no UTF-8 inside: a replacement character
        // Raw bytes that are no UTF-8 are windows-1252; control characters never pass.
        {"Gr\xFC\xDF"
         "e \x93ok\x94",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x80\x9Cok\xE2\x80\x9D"},
        {std::string("a\0b\x01", 4),
         "a\xEF\xBF\xBD"
         "b\xEF\xBF\xBD"},
        {"=?UTF-8?Q?a=00b=0D=0Ac?=",
         "a\xEF\xBF\xBD"
         "b  c"},
        {"plain ASCII stays", "plain ASCII stays"},
    };
    for (const Case& c : cases) EXPECT_EQ(mime::HeaderText(c.raw), c.text) << c.raw;
}

}  // namespace

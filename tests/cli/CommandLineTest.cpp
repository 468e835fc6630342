#include <sys/stat.h>
#include <unistd.h>

#include <QProcess>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "app/ActivityLog.h"
#include "fixtures/Fixtures.h"

namespace {

struct Result {
    int code = -1;
    std::string out, err;
};

// stdoutFile: where standard output goes instead of being read back (/dev/full); env: more
// variables, "NAME=" removing one.
Result RunProgram(const char* program, const std::vector<std::string>& args,
                  const std::string& input = {}, const std::string& workingDir = {},
                  const std::string& stdoutFile = {}, const std::vector<std::string>& env = {}) {
    QProcess p;
    QStringList list;
    for (const auto& a : args) list << QString::fromStdString(a);
    if (!workingDir.empty()) p.setWorkingDirectory(QString::fromStdString(workingDir));
    if (!stdoutFile.empty()) p.setStandardOutputFile(QString::fromStdString(stdoutFile));
    if (!env.empty()) {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        for (const auto& v : env) {
            size_t eq = v.find('=');
            QString name = QString::fromStdString(v.substr(0, eq));
            if (eq + 1 == v.size())
                e.remove(name);
            else
                e.insert(name, QString::fromStdString(v.substr(eq + 1)));
        }
        p.setProcessEnvironment(e);
    }
    p.start(program, list);
    if (!p.waitForStarted(10000)) return {};
    if (!input.empty()) p.write(input.data(), static_cast<qint64>(input.size()));
    p.closeWriteChannel();
    p.waitForFinished(30000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
}

class RegCommandTest : public SandboxTest {
protected:
    Result Reg(std::vector<std::string> args, const std::string& input = {}) {
        args.insert(args.begin(), {"--registry", Path("cli.db")});
        return RunProgram(QUORVANE_REG_BIN, args, input);
    }
};

constexpr const char* kKey = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion";

TEST_F(RegCommandTest, SetThenQueryPrintsValuesThenSubkeys) {
    EXPECT_EQ(Reg({"set", kKey, "DisplayMesg", "REG_DWORD", "0x1F"}).code, 0);
    EXPECT_EQ(Reg({"set", "HKLM\\SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion\\Web", "Site",
                   "REG_SZ", "www.example.org"})
                  .code,
              0);
    EXPECT_EQ(Reg({"set", kKey, "Groups", "REG_MULTI_SZ", "comp.a\\0alt.b"}).code, 0);
    EXPECT_EQ(Reg({"set", kKey, "Raw", "REG_BINARY", "0c000000"}).code, 0);
    EXPECT_EQ(Reg({"set", kKey, "", "REG_SZ", "unnamed"}).code, 0);
    EXPECT_EQ(Reg({"set", kKey, "Count", "REG_DWORD", "4294967295"}).code, 0);

    Result q = Reg({"query", kKey});
    EXPECT_EQ(q.code, 0) << q.err;
    EXPECT_EQ(q.out,
              "DisplayMesg\tREG_DWORD\t0x0000001f\n"
              "Groups\tREG_MULTI_SZ\tcomp.a\\0alt.b\n"
              "Raw\tREG_BINARY\t0c000000\n"
              "(Default)\tREG_SZ\tunnamed\n"
              "Count\tREG_DWORD\t0xffffffff\n"
              "Web\\\n");
    q = Reg({"query", "SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion\\web", "SITE"});
    EXPECT_EQ(q.code, 0);
    EXPECT_EQ(q.out, "SITE\tREG_SZ\twww.example.org\n");

    // The keys that set made carry the program's class.
    auto store = Registry::Open(Path("cli.db"), nullptr);
    ASSERT_TRUE(store);
    Registry::SetCurrent(store);
    RegKey web;
    std::string cls;
    ASSERT_EQ(web.Open(RegKey::LocalMachine(), "SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion\\Web"),
              ERROR_SUCCESS);
    web.QueryInfo(&cls, nullptr, nullptr);
    EXPECT_EQ(cls, "Quorvane");
    Registry::SetCurrent(store_);
}

TEST_F(RegCommandTest, ExitCodesTellNotFoundUsageAndStoreFaults) {
    ASSERT_EQ(Reg({"set", kKey, "A", "REG_SZ", "x"}).code, 0);
    EXPECT_EQ(Reg({"query", kKey + std::string("\\Missing")}).code, 1);
    EXPECT_EQ(Reg({"query", kKey, "Missing"}).code, 1);
    EXPECT_EQ(Reg({"delete", kKey, "Missing"}).code, 1);
    EXPECT_EQ(Reg({"delete", kKey + std::string("\\Missing")}).code, 1);

    for (const auto& args :
         std::vector<std::vector<std::string>>{{},
                                               {"frobnicate", kKey},
                                               {"query"},
                                               {"set", kKey, "A", "REG_DWORD", "12x"},
                                               {"set", kKey, "A", "REG_DWORD", "4294967296"},
                                               {"set", kKey, "A", "REG_BINARY", "abc"},
                                               {"set", kKey, "A", "REG_QWORD", "1"},
                                               {"query", "HKEY_CURRENT_USER\\Software"},
                                               {"delete", "HKLM"}}) {
        Result r = Reg(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find("usage: quorvane-reg"), std::string::npos);
    }

    EXPECT_EQ(Reg({"delete", kKey, "A"}).code, 0);
    EXPECT_EQ(Reg({"query", kKey, "A"}).code, 1);
    EXPECT_EQ(Reg({"delete", "HKLM\\SOFTWARE"}).code, 0);
    EXPECT_EQ(Reg({"query", kKey}).code, 1);

    std::ofstream(Path("junk.db")) << "not a store";
    Result r = RunProgram(QUORVANE_REG_BIN, {"--registry", Path("junk.db"), "query", kKey});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("junk.db"), std::string::npos) << r.err;
    EXPECT_EQ(ReadFileBytes(Path("junk.db")), "not a store");
}

// The file name forgotten after --registry or --data-dir: the next option is not taken for
// it, and no store or folder named after the option appears.
TEST_F(RegCommandTest, AnOptionInPlaceOfAPathIsAUsageErrorAndMakesNothing) {
    const std::string cwd = Path("cwd");
    std::filesystem::create_directory(cwd);
    struct Case {
        const char* program;
        std::vector<std::string> args;
    };
    for (const Case& c : std::vector<Case>{{QUORVANE_REG_BIN, {"--registry", "--version"}},
                                           {QUORVANE_REG_BIN, {"--registry", "-h", "query", kKey}},
                                           {QUORVANE_REG_BIN, {"--registry"}},
                                           {QUORVANE_REG_BIN, {"--registry=", "query", kKey}},
                                           {QUORVANE_BIN, {"--registry", "--schedules"}},
                                           {QUORVANE_BIN, {"--data-dir", "--log"}}}) {
        Result r = RunProgram(c.program, c.args, {}, cwd);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(c.args) << r.err;
        EXPECT_NE(r.err.find("usage: quorvane"), std::string::npos) << r.err;
        EXPECT_TRUE(r.err.find("needs a") != std::string::npos) << r.err;
    }
    EXPECT_TRUE(std::filesystem::is_empty(cwd)) << "a file named after an option was made";
    // Written as a path, such a name is a store like any other.
    EXPECT_EQ(RunProgram(QUORVANE_REG_BIN,
                         {"--registry", "./-odd.db", "set", kKey, "A", "REG_SZ", "x"}, {}, cwd)
                  .code,
              0);
    EXPECT_TRUE(std::filesystem::exists(cwd + "/-odd.db"));
}

TEST_F(RegCommandTest, ExportAndImportRestoreEverySetting) {
    ASSERT_EQ(Reg({"set", kKey, "SmtpServer", "REG_SZ", "smtp \"local\""}).code, 0);
    ASSERT_EQ(Reg({"set", kKey + std::string("\\Daily"), "Hours", "REG_DWORD", "16777215"}).code,
              0);
    ASSERT_EQ(Reg({"export", Path("backup.reg")}).code, 0);
    Result part = Reg({"export", "-", kKey + std::string("\\Daily")});
    EXPECT_EQ(part.code, 0);
    EXPECT_NE(part.out.find("\"Hours\"=dword:00ffffff"), std::string::npos) << part.out;
    EXPECT_EQ(part.out.find("SmtpServer"), std::string::npos);

    Result restored = RunProgram(QUORVANE_REG_BIN,
                                 {"--registry", Path("restored.db"), "import", Path("backup.reg")});
    EXPECT_EQ(restored.code, 0) << restored.err;
    Result again = RunProgram(QUORVANE_REG_BIN, {"--registry", Path("restored.db"), "export", "-"});
    EXPECT_EQ(again.out, ReadFileBytes(Path("backup.reg")));

    Result bad = Reg({"import", "-"}, "REGEDIT4\n[HKLM\\X]\n\"v\"=dword:zz\n");
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("line 3"), std::string::npos) << bad.err;
    EXPECT_EQ(Reg({"query", "HKLM\\X"}).code, 1);
    EXPECT_EQ(Reg({"import", Path("no-such-file.reg")}).code, 2);
}

// ---- quorvane-reg: root keys ----

TEST_F(RegCommandTest, KeysBelowAnotherRootAreUsageErrors) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"set", "HKCU\\A", "v", "REG_SZ", "x"},
             {"set", "hkcr\\A", "v", "REG_SZ", "x"},
             {"query", "HKU\\A"},
             {"delete", "HKCU\\A"},
             {"export", "-", "HKCU\\A"},
             {"set", "HKEY_CURRENT_USER\\A", "v", "REG_SZ", "x"}}) {
        Result r = Reg(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find("only keys below HKEY_LOCAL_MACHINE can be used: " +
                             args[1 + (args[0] == "export")]),
                  std::string::npos)
            << r.err;
    }
    // Nothing was written under HKEY_LOCAL_MACHINE in their place.
    Result q = Reg({"query", "HKLM\\HKCU"});
    EXPECT_EQ(q.code, 1) << q.out;
    // A key that only begins like a root name is an ordinary key.
    EXPECT_EQ(Reg({"set", "HKCUX\\A", "v", "REG_SZ", "x"}).code, 0);
    EXPECT_EQ(Reg({"query", "HKLM\\HKCUX\\A", "v"}).out, "v\tREG_SZ\tx\n");
}

// ---- end of quorvane-reg root keys ----

class LogCommandTest : public SandboxTest {};

TEST_F(LogCommandTest, PrintsEveryRecordOldestFirst) {
    std::string dataDir = Path("data/deeper");
    Result empty = RunProgram(QUORVANE_BIN, {"--data-dir", dataDir, "--log"});
    EXPECT_EQ(empty.code, 0) << empty.err;
    EXPECT_EQ(empty.out, "");
    struct stat st {};
    EXPECT_EQ(stat(dataDir.c_str(), &st), 0) << "the working folder is made on first use";

    {
        LogRecord a;
        a.icon = 155;
        a.text = "\r\nAn error occured\r\nsecond line";
        LogRecord b;
        b.icon = 158;
        b.time = 86400;
        b.action = 11;
        b.link = "http://h/p";
        b.text = "\r\nA new document at http://h/p";
        std::ofstream f(dataDir + "/Quorvane.log", std::ios::binary);
        for (const auto& r : {a, b}) {
            auto bytes = r.Encode();
            f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
        }
        f << "partial";
    }
    Result r =
        RunProgram(QUORVANE_BIN, {"--data-dir", dataDir, "--registry", Path("r.db"), "--log"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out,
              "-\t155\t0\t\tAn error occured | second line\n"
              "1970-01-02 00:00:00\t158\t11\thttp://h/p\tA new document at http://h/p\n");

    Result bad = RunProgram(QUORVANE_BIN, {"--data-dir"});
    EXPECT_EQ(bad.code, 2);
    EXPECT_NE(bad.err.find("usage: quorvane"), std::string::npos);
}

// What another user could have written, or a link put in place of our files, is refused
// with the reason on the command line, and nothing is written through it.
TEST_F(LogCommandTest, FoldersAndFilesOthersCouldWriteAreRefused) {
    std::string dataDir = Path("data");
    ASSERT_EQ(mkdir(dataDir.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(Path("elsewhere").c_str(), 0700), 0);
    ASSERT_EQ(symlink(Path("elsewhere").c_str(), (dataDir + "/Forward").c_str()), 0);
    Result r = RunProgram(QUORVANE_BIN, {"--data-dir", dataDir, "--log"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err,
              "quorvane: the mail queue folder " + dataDir + "/Forward is a symbolic link\n");

    ASSERT_EQ(unlink((dataDir + "/Forward").c_str()), 0);
    std::ofstream(Path("other.log")) << "";
    ASSERT_EQ(symlink(Path("other.log").c_str(), (dataDir + "/Quorvane.log").c_str()), 0);
    r = RunProgram(QUORVANE_BIN, {"--data-dir", dataDir, "--log"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(
        r.err.find("Quorvane.log is a symbolic link: the activity log is not used through it."),
        std::string::npos)
        << r.err;

    if (geteuid() != 0) GTEST_SKIP() << "another user's files need root to make";
    ASSERT_EQ(unlink((dataDir + "/Quorvane.log").c_str()), 0);
    ASSERT_EQ(chown(dataDir.c_str(), 65534, 65534), 0);
    r = RunProgram(QUORVANE_BIN, {"--data-dir", dataDir, "--log"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.err,
              "quorvane: the working folder " + dataDir + " belongs to another user (uid 65534)\n");

    // The settings store: quorvane-reg refuses it alike.
    r = RunProgram(QUORVANE_REG_BIN,
                   {"--registry", Path("theirs.db"), "set", "HKLM\\A", "v", "REG_SZ", "x"});
    ASSERT_EQ(r.code, 0) << r.err;
    ASSERT_EQ(chown(Path("theirs.db").c_str(), 65534, 65534), 0);
    r = RunProgram(QUORVANE_REG_BIN, {"--registry", Path("theirs.db"), "query", "HKLM\\A", "v"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find("theirs.db: it belongs to another user (uid 65534)"), std::string::npos)
        << r.err;
}

// quorvane: options and the --log form ---------------------------------------------------

class QuorvaneOptionsTest : public SandboxTest {
protected:
    Result Quorvane(std::vector<std::string> args) {
        args.insert(args.begin(), {"--data-dir", Path("data"), "--registry", Path("options.db")});
        return RunProgram(QUORVANE_BIN, args);
    }
};

TEST_F(QuorvaneOptionsTest, HelpAndVersionAnswerAndEndWell) {
    for (const char* help : {"--help", "-h"}) {
        Result r = Quorvane({help});
        EXPECT_EQ(r.code, 0) << help << r.err;
        EXPECT_EQ(r.out.rfind("usage: quorvane", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("desktop program"), std::string::npos) << r.out;
        EXPECT_EQ(r.err, "");
    }
    Result v = RunProgram(QUORVANE_BIN, {"--version"});
    EXPECT_EQ(v.code, 0) << v.err;
    EXPECT_EQ(v.out.rfind("quorvane ", 0), 0u) << v.out;
    EXPECT_EQ(v.out.find('\n'), v.out.size() - 1) << v.out;
}

TEST_F(QuorvaneOptionsTest, OptionsThatCannotGoTogetherAreRefused) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--log", "--headless"},
                                               {"--headless", "--run", "Daily"},
                                               {"--run", "Daily", "--schedules"},
                                               {"--run", "Daily", "--run", "Weekly"},
                                               {"--schedules", "--log"},
                                               {"--log", "--log"},
                                               {"--schedules", "--schedules"},
                                               {"--headless", "--headless"},
                                               {"--log", "-style"},
                                               {"--bogus"}}) {
        Result r = Quorvane(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find("usage: quorvane"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_NE(Quorvane({"--log", "--headless"}).err.find("cannot go together"), std::string::npos);
    EXPECT_NE(Quorvane({"--log", "--log"}).err.find("--log is given more than once"),
              std::string::npos);

    // Qt's own options are taken as every Qt program takes them, with one dash or two.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-reverse", "--log"},
             {"--log", "-style", "fusion"},
             {"--style=fusion", "--log"},
             {"-platform", "offscreen", "--log", "--widgetcount"}}) {
        Result r = Quorvane(args);
        EXPECT_EQ(r.code, 0) << ::testing::PrintToString(args) << r.err;
    }

    // The folder and the store given twice (Quorvane() gives each once already): which one
    // was meant is not for the program to guess.
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--registry", Path("other.db"), "--log"}, {"--data-dir", Path("other"), "--log"}}) {
        Result r = Quorvane(args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args);
        EXPECT_NE(r.err.find(args[0] + " is given more than once"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(QuorvaneOptionsTest, LogLinesHoldOneRecordWhateverTheTextHolds) {
    std::string dataDir = Path("data");
    ASSERT_EQ(Quorvane({"--log"}).code, 0);  // makes the working folder
    LogRecord r;
    r.icon = 155;
    r.link = "http://h/a\tb";
    r.text = "\r\nWhile starting event Two\nlines\tand a tab, a back\\slash\r\nnext\rCR";
    {
        std::ofstream f(dataDir + "/Quorvane.log", std::ios::binary);
        auto bytes = r.Encode();
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    Result out = Quorvane({"--log"});
    EXPECT_EQ(out.code, 0) << out.err;
    EXPECT_EQ(out.out,
              "-\t155\t0\thttp://h/a\\tb\tWhile starting event Two\\nlines\\tand a tab, a "
              "back\\\\slash | next\\rCR\n");
}

// Output that cannot be written is an error with a message, never a short file that passes
// for a whole one; a reader that closed its end is told the same way, not a kill by signal.
TEST_F(QuorvaneOptionsTest, OutputThatCannotBeWrittenIsAnErrorNotAShortFileOrASignal) {
    const std::string data = Path("data"), store = Path("options.db");
    ASSERT_EQ(Quorvane({"--log"}).code, 0);  // the folder and the store
    {
        LogRecord r;
        r.icon = 155;
        r.text = "a record";
        auto bytes = r.Encode();
        std::ofstream(data + "/Quorvane.log", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    ASSERT_EQ(
        RunProgram(QUORVANE_REG_BIN, {"--registry", store, "set", std::string(kKey) + "\\Daily",
                                      "Type", "REG_DWORD", "1"})
            .code,
        0);
    const struct {
        const char* program;
        std::vector<std::string> args;
        int code;
    } cases[] = {
        {QUORVANE_BIN, {"--data-dir", data, "--registry", store, "--log"}, 1},
        {QUORVANE_BIN, {"--data-dir", data, "--registry", store, "--schedules"}, 1},
        {QUORVANE_REG_BIN, {"--registry", store, "export", "-"}, 4},
        {QUORVANE_REG_BIN, {"--registry", store, "query", kKey}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        Result full = RunProgram(c.program, c.args, {}, {}, "/dev/full");
        EXPECT_EQ(full.code, c.code) << full.err;
        EXPECT_NE(full.err.find("the output could not be written (No space left on device)"),
                  std::string::npos)
            << full.err;
        // A pipe whose reader has gone (a shell's `| head -1`, once head has ended).
        std::vector<std::string> closed = {
            "-c",
            "import os, subprocess, sys\n"
            "r, w = os.pipe(); os.close(r)\n"
            "p = subprocess.run(sys.argv[1:], stdout=w, stderr=subprocess.PIPE)\n"
            "sys.stderr.buffer.write(p.stderr); sys.exit(p.returncode & 255)\n",
            c.program};
        closed.insert(closed.end(), c.args.begin(), c.args.end());
        Result pipe = RunProgram("/usr/bin/python3", closed);
        EXPECT_EQ(pipe.code, c.code) << pipe.err;
        EXPECT_NE(pipe.err.find("the output could not be written (Broken pipe)"), std::string::npos)
            << pipe.err;
    }
}

// A display that is named but not there is a usage error told in one line, not an abort.
TEST_F(QuorvaneOptionsTest, AStaleDisplayIsAUsageErrorNotAnAbort) {
    Result r = RunProgram(QUORVANE_BIN, {"--data-dir", Path("data"), "--registry", Path("d.db")},
                          {}, {}, {}, {"DISPLAY=:97", "QT_QPA_PLATFORM=", "WAYLAND_DISPLAY="});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_NE(r.err.find("quorvane: the display cannot be used: "), std::string::npos) << r.err;
}

}  // namespace

namespace {

// quorvane --autostart, --hidden and the usage of both programs -----------------------------

class AutostartCommandTest : public QuorvaneOptionsTest {
protected:
    std::string Entry() const { return Path("config/autostart/quorvane.desktop"); }
    std::string EntryText() const {
        std::ifstream in(Entry(), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(AutostartCommandTest, OnAndOffWriteAndRemoveTheSessionEntry) {
    // The store given relative: the entry names it whatever folder the session starts in.
    Result r = RunProgram(QUORVANE_BIN, {"--registry", "my store.db", "--autostart", "on"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find(Entry()), std::string::npos) << r.out;
    std::string program = std::filesystem::canonical(QUORVANE_BIN);
    EXPECT_NE(EntryText().find("\nExec=" + program + " --hidden --registry \"" +
                               Path("my store.db") + "\"\n"),
              std::string::npos)
        << EntryText();
    EXPECT_EQ(RunProgram(QUORVANE_BIN, {"--autostart", "off"}).code, 0);
    EXPECT_FALSE(std::filesystem::exists(Entry()));
    EXPECT_EQ(RunProgram(QUORVANE_BIN, {"--autostart", "off"}).code, 0) << "already off";

    // An entry that cannot be written: exit 3 with the file named.
    std::filesystem::create_directories(Entry() + "/in the way");
    r = RunProgram(QUORVANE_BIN, {"--autostart", "on"});
    EXPECT_EQ(r.code, 3);
    EXPECT_NE(r.err.find(Entry() + " cannot be written"), std::string::npos) << r.err;
}

TEST_F(AutostartCommandTest, WrongUsesOfAutostartAndHiddenAreUsageErrors) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--autostart", "maybe"},
                                               {"--autostart"},
                                               {"--autostart", "on", "--autostart", "off"},
                                               {"--autostart", "on", "--log"},
                                               {"--autostart", "off", "--hidden"},
                                               {"--hidden", "--headless"},
                                               {"--run", "Daily", "--hidden"},
                                               {"--hidden", "--hidden"}}) {
        Result r = RunProgram(QUORVANE_BIN, args);
        EXPECT_EQ(r.code, 2) << ::testing::PrintToString(args) << r.err;
        EXPECT_NE(r.err.find("usage: quorvane"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_NE(RunProgram(QUORVANE_BIN, {"--autostart", "maybe"}).err.find("on or off"),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Entry()));
}

TEST_F(AutostartCommandTest, BothProgramsAnswerHelpAndVersionAndRefuseUnknownOptions) {
    for (const char* program : {QUORVANE_BIN, QUORVANE_REG_BIN}) {
        const std::string name = std::filesystem::path(program).filename();
        for (const char* help : {"--help", "-h"}) {
            Result r = RunProgram(program, {help});
            EXPECT_EQ(r.code, 0) << name << help;
            EXPECT_EQ(r.out.rfind("usage: " + name + " ", 0), 0u) << r.out;
            EXPECT_EQ(r.err, "");
        }
        Result v = RunProgram(program, {"--version"});
        EXPECT_EQ(v.code, 0) << name;
        EXPECT_TRUE(std::regex_match(v.out, std::regex(name + " [0-9]+(\\.[0-9]+)+\n"))) << v.out;
        for (const char* bogus : {"--bogus", "-x"}) {
            Result r = RunProgram(program, {bogus});
            EXPECT_EQ(r.code, 2) << name << bogus;
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find("unknown option " + std::string(bogus)), std::string::npos)
                << r.err;
            EXPECT_NE(r.err.find("usage: " + name + " "), std::string::npos) << r.err;
        }
    }
}

// The documents that ship with the programs ---------------------------------------------------

const std::string kDocs = QUORVANE_TEST_DATA_DIR "/../../docs";

std::string FileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The options a text names: --word and -h.
std::set<std::string> OptionsIn(const std::string& text) {
    std::set<std::string> found;
    std::regex option("(^|[^-\\w])(--[a-z][a-z-]*[a-z]|-h)(?![\\w-])");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option);
         it != std::sregex_iterator(); ++it)
        found.insert((*it)[2]);
    return found;
}

// A man page with its escapes undone: \- is a minus, \fB and the like are fonts.
std::string ManText(const std::string& troff) {
    std::string plain = std::regex_replace(troff, std::regex("\\\\f[BIRP]"), "");
    plain = std::regex_replace(plain, std::regex("\\\\-"), "-");
    return plain;
}

TEST(ShippedDocuments, ManPagesAndReadmeAgreeWithTheUsageOfEachProgram) {
    const std::string readme = FileText(QUORVANE_TEST_DATA_DIR "/../../README.md");
    size_t from = readme.find("\n## Command lines");
    ASSERT_NE(from, std::string::npos);
    size_t to = readme.find("\n## ", from + 1);
    const std::string commandLines = readme.substr(from, to - from);
    for (const char* program : {QUORVANE_BIN, QUORVANE_REG_BIN}) {
        const std::string name = std::filesystem::path(program).filename();
        Result help = RunProgram(program, {"--help"});
        ASSERT_EQ(help.code, 0);
        std::set<std::string> usage = OptionsIn(help.out);
        ASSERT_GE(usage.size(), 3u) << help.out;
        const std::string man = ManText(FileText(kDocs + "/man/" + name + ".1"));
        ASSERT_FALSE(man.empty()) << name;
        std::set<std::string> inMan = OptionsIn(man), inReadme = OptionsIn(commandLines);
        for (const auto& o : usage) {
            EXPECT_TRUE(inMan.count(o)) << o << " of " << name << " --help is not in its man page";
            EXPECT_TRUE(inReadme.count(o)) << o << " of " << name << " --help is not in the README";
        }
        size_t options = man.find("\n.SH OPTIONS");
        ASSERT_NE(options, std::string::npos) << name;
        size_t next = man.find("\n.SH ", options + 1);
        for (const auto& o : OptionsIn(man.substr(options, next - options)))
            EXPECT_TRUE(usage.count(o))
                << o << " of the man page of " << name << " is not in its --help";
        for (const char* section : {".SH NAME", ".SH SYNOPSIS", ".SH DESCRIPTION",
                                    ".SH EXIT STATUS", ".SH FILES", ".SH SEE ALSO"})
            EXPECT_NE(man.find(section), std::string::npos) << name << ": " << section;
        EXPECT_NE(man.find(".TH " + std::string(name == "quorvane" ? "QUORVANE" : "QUORVANE-REG")),
                  std::string::npos);
    }
}

TEST(ShippedDocuments, ManPagesRenderWithoutWarnings) {
    if (::access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "groff is not installed";
    for (const char* page : {"quorvane.1", "quorvane-reg.1"}) {
        QProcess groff;
        groff.start("/usr/bin/groff",
                    {"-man", "-ww", "-z", QString::fromStdString(kDocs + "/man/" + page)});
        ASSERT_TRUE(groff.waitForFinished(30000));
        EXPECT_EQ(groff.exitCode(), 0) << page;
        EXPECT_EQ(groff.readAllStandardError().toStdString(), "") << page;
    }
}

TEST(ShippedDocuments, EveryLinkOfTheUserGuideLeadsToAFileOfIt) {
    namespace fs = std::filesystem;
    const fs::path guide = fs::weakly_canonical(kDocs + "/guide");
    ASSERT_TRUE(fs::exists(guide / "index.html"));
    std::set<fs::path> linkedFromIndex, pages;
    std::regex link("(href|src)\\s*=\\s*\"([^\"]*)\"", std::regex::icase);
    for (const auto& entry : fs::directory_iterator(guide)) {
        if (entry.path().extension() != ".html") continue;
        pages.insert(entry.path().filename());
        const std::string html = FileText(entry.path());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_NE(html.find("<meta charset=\"utf-8\">"), std::string::npos);
        EXPECT_EQ(html.find("<script"), std::string::npos) << "no scripts";
        EXPECT_NE(html.find("href=\"guide.css\""), std::string::npos) << "the shared style";
        for (auto it = std::sregex_iterator(html.begin(), html.end(), link);
             it != std::sregex_iterator(); ++it) {
            std::string target = (*it)[2];
            // Nothing is fetched from elsewhere; a link out may be followed by the reader.
            if ((*it)[1] == "src" || target.find("//") != std::string::npos) {
                EXPECT_TRUE((*it)[1] == "href" && target.rfind("https://", 0) == 0 &&
                            html.find("<link href=\"" + target) == std::string::npos)
                    << target;
                continue;
            }
            std::string file = target.substr(0, target.find('#'));
            if (file.empty()) continue;  // a place on the same page
            EXPECT_TRUE(fs::exists(guide / file)) << target;
            EXPECT_EQ(fs::weakly_canonical(guide / file).string().rfind(guide.string(), 0), 0u)
                << target << " leaves the guide";
            if (entry.path().filename() == "index.html") linkedFromIndex.insert(file);
        }
    }
    // Every page can be reached from the first one, and it names them all.
    for (const auto& page : pages)
        if (page != "index.html") {
            EXPECT_TRUE(linkedFromIndex.count(page)) << page;
        }
    for (const char* page :
         {"schedule.html", "web-site-monitor.html", "mail-monitor.html", "newsgroup-monitor.html",
          "lumetta-display.html", "time-synchronisation.html", "options-servers.html",
          "options-pager.html", "options-helpers.html", "options-messages.html",
          "options-advanced.html", "options-proxy.html", "activity-log.html", "tray.html"})
        EXPECT_TRUE(pages.count(page)) << page;
}

}  // namespace

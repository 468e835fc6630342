#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "app/ActivityLog.h"
#include "app/SettingsStore.h"
#include "fixtures/Fixtures.h"
#include "platform/SystemClock.h"

namespace {

class ActivityLogTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        clock_ = std::make_shared<ManualClock>(1700000000);
        SystemClock::Install(clock_);
    }
    void TearDown() override {
        SystemClock::Install(nullptr);
        SandboxTest::TearDown();
    }
    std::string LogBytes() { return ReadFileBytes(kLogFileName); }
    void SetDisplayMesg(DWORD mode) { Root().SetDword(settings::kDisplayMesg, mode); }

    std::shared_ptr<ManualClock> clock_;
};

TEST_F(ActivityLogTest, RecordsAreExactly516BytesLaidOutAsStored) {
    CActivityLog log;
    log.WriteLog(kIconWeb, "A new document", kActionBrowse, "http://example.org/");
    std::string bytes = LogBytes();
    ASSERT_EQ(bytes.size(), 516u);
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 16 |
               static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3])) << 24;
    };
    EXPECT_EQ(le32(0), 158u);
    EXPECT_EQ(le32(4), 1700000000u);
    EXPECT_EQ(le32(8), 11u);
    EXPECT_EQ(std::string(bytes.data() + 12), "http://example.org/");
    EXPECT_EQ(std::string(bytes.data() + 268), "\r\nA new document");
    // Everything past the strings is zero.
    for (size_t i = 12 + 19; i < 268; ++i) ASSERT_EQ(bytes[i], 0) << i;
    for (size_t i = 268 + 16; i < 516; ++i) ASSERT_EQ(bytes[i], 0) << i;

    struct stat st {};
    ASSERT_EQ(stat(kLogFileName, &st), 0);
    EXPECT_EQ(st.st_mode & 0077, 0u);
}

TEST_F(ActivityLogTest, LongTextsAndLinksAreCut) {
    CActivityLog log;
    std::string text(300, 't'), link(300, 'l');
    text[242] = 'E';
    log.WriteLog(kIconError, text, 11, link);
    std::vector<LogRecord> records;
    ASSERT_TRUE(ReadLogFile(kLogFileName, &records, nullptr));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "\r\n" + text.substr(0, 243));
    EXPECT_EQ(records[0].link, link.substr(0, 251));

    // A cut never splits a UTF-8 character.
    std::string accents;
    for (int i = 0; i < 150; ++i) accents += "\xC3\xA9";  // é
    log.WriteLog(kIconError, accents, 0, {});
    ReadLogFile(kLogFileName, &records, nullptr);
    EXPECT_EQ(records[1].text.size(), 2u + 242u);
}

TEST_F(ActivityLogTest, PagingThroughRecordsFollowsTheButtonsRules) {
    CActivityLog log;
    for (int i = 1; i <= 3; ++i) log.WriteLog(kIconMail, "record " + std::to_string(i), 0, {});
    EXPECT_EQ(log.logIndex(), 3);
    EXPECT_EQ(log.bar().indexText, "3");
    EXPECT_EQ(log.bar().countText, "3");
    EXPECT_FALSE(log.bar().nextEnabled);
    EXPECT_TRUE(log.bar().previousEnabled);

    log.Next();  // at the end already
    EXPECT_EQ(log.logIndex(), 3);
    EXPECT_FALSE(log.bar().nextEnabled);
    EXPECT_EQ(log.bar().focus, kLogIconControl);

    log.Previous();
    EXPECT_EQ(log.logIndex(), 2);
    EXPECT_EQ(log.bar().text, "\r\nrecord 2");
    EXPECT_TRUE(log.bar().nextEnabled);
    log.Previous();
    EXPECT_EQ(log.logIndex(), 1);
    EXPECT_FALSE(log.bar().previousEnabled);
    log.Previous();
    EXPECT_EQ(log.logIndex(), 1);

    // A record written while the user pages back makes the bar jump to it.
    log.WriteLog(kIconNews, "record 4", 0, {});
    EXPECT_EQ(log.logIndex(), 4);
    EXPECT_EQ(log.bar().text, "\r\nrecord 4");
    EXPECT_EQ(log.bar().icon, kIconNews);
}

TEST_F(ActivityLogTest, PreviewFollowsTheShownRecordsAction) {
    CActivityLog log;
    std::vector<std::pair<int, std::string>> launched;
    QObject::connect(
        &log, &CActivityLog::previewRequested,
        [&](int action, const std::string& link) { launched.emplace_back(action, link); });
    log.WriteLog(kIconWeb, "page", kActionBrowse, "http://a/");
    log.WriteLog(kIconError, "error", 0, "ignored link");
    EXPECT_FALSE(log.bar().previewEnabled);
    EXPECT_EQ(log.previewLink(), "") << "no link without an action";
    log.Previous();
    EXPECT_TRUE(log.bar().previewEnabled);
    log.Preview();
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_EQ(launched[0], std::make_pair(11, std::string("http://a/")));
}

TEST_F(ActivityLogTest, ClearAsksFirstThenEmptiesTheLogAndTheBar) {
    CActivityLog log;
    log.WriteLog(kIconWeb, "page", kActionBrowse, "http://a/");
    log.WriteLog(kIconWeb, "page", kActionBrowse, "http://b/");
    auto prompt = std::make_shared<RecordingPrompt>();
    UserPrompt::Install(prompt);
    // Anything but Yes (No, Escape, a closed box, no window at all) keeps every record.
    prompt->defaultAnswer = UserPrompt::IdNo;
    const std::string before = LogBytes();
    EXPECT_FALSE(log.AskToClear());
    EXPECT_EQ(LogBytes(), before);
    ASSERT_EQ(prompt->shown.size(), 1u);
    EXPECT_EQ(prompt->shown[0].buttons, UserPrompt::YesNoDefaultNo);
    UserPrompt::Install(nullptr);
    EXPECT_FALSE(log.AskToClear()) << "standard error answers No";
    EXPECT_EQ(LogBytes(), before);
    UserPrompt::Install(prompt);
    prompt->defaultAnswer = UserPrompt::IdYes;
    EXPECT_TRUE(log.AskToClear());
    UserPrompt::Install(nullptr);
    EXPECT_EQ(LogBytes().size(), 0u);
    EXPECT_EQ(log.bar().indexText, "0");
    EXPECT_EQ(log.bar().countText, "0");
    EXPECT_FALSE(log.bar().nextEnabled);
    EXPECT_FALSE(log.bar().previousEnabled);
    EXPECT_FALSE(log.bar().previewEnabled);
    EXPECT_EQ(log.bar().icon, kIconDefault);
    EXPECT_EQ(log.bar().text, "");
    EXPECT_EQ(log.bar().timeText, "");
}

TEST_F(ActivityLogTest, BarPopsUpAsDisplayMesgSays) {
    struct Case {
        int mode;  // -1: value absent
        int icon;
        bool popsUp;
    };
    const Case cases[] = {{-1, kIconMail, true}, {0, kIconMail, true},  {7, kIconMail, true},
                          {1, kIconMail, false}, {1, kIconError, true}, {2, kIconError, false},
                          {2, kIconMail, false}};
    for (const auto& c : cases) {
        if (c.mode >= 0)
            SetDisplayMesg(static_cast<DWORD>(c.mode));
        else
            Root().DeleteValue(settings::kDisplayMesg);
        CActivityLog log;
        log.WriteLog(c.icon, "x", 0, {});
        EXPECT_EQ(log.bar().visible, c.popsUp) << "DisplayMesg " << c.mode << " icon " << c.icon;
        EXPECT_EQ(log.bar().countText, std::to_string(log.logCount()));
        // The record is written and shown in an open bar whether or not it pops up.
        log.SetBarVisible(true);
        log.WriteLog(c.icon, "y", 0, {});
        EXPECT_TRUE(log.bar().visible);
        EXPECT_EQ(log.bar().text, "\r\ny");
        CActivityLog quiet;
        quiet.WriteLog(kIconError, "no pop-up asked", 0, {}, false);
        EXPECT_FALSE(quiet.bar().visible);
    }
}

TEST_F(ActivityLogTest, OpeningTheBarWithoutALogShowsAnEmptyLog) {
    CActivityLog log;
    log.ToggleBar();
    EXPECT_TRUE(log.bar().visible);
    EXPECT_EQ(log.bar().indexText, "0");
    EXPECT_EQ(log.bar().countText, "0");
    EXPECT_TRUE(prompt_->shown.empty()) << "no error box for a log not written yet";
    log.ToggleBar();
    EXPECT_FALSE(log.bar().visible);
}

TEST_F(ActivityLogTest, ATornLastRecordIsNeverShownAndIsRepairedByTheNextWrite) {
    CActivityLog log;
    log.WriteLog(kIconMail, "whole", 0, {});
    {
        std::ofstream f(kLogFileName, std::ios::binary | std::ios::app);
        f << std::string(100, 'x');  // a write cut short by a crash
    }
    CActivityLog reader;
    reader.ShowLogRecord();
    EXPECT_EQ(reader.logCount(), 1);
    EXPECT_EQ(reader.logIndex(), 1);
    EXPECT_EQ(reader.bar().text, "\r\nwhole");
    std::vector<LogRecord> records;
    ASSERT_TRUE(ReadLogFile(kLogFileName, &records, nullptr));
    EXPECT_EQ(records.size(), 1u);

    log.WriteLog(kIconMail, "after", 0, {});
    EXPECT_EQ(LogBytes().size(), 2u * 516);
    ASSERT_TRUE(ReadLogFile(kLogFileName, &records, nullptr));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].text, "\r\nafter");
}

TEST_F(ActivityLogTest, AnUnwritableLogIsReportedAndTheRecordIsLost) {
    mkdir(kLogFileName, 0700);  // a folder where the file should be
    CActivityLog log;
    log.WriteLog(kIconError, "lost", 0, {});
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_NE(prompt_->shown[0].text.find("Quorvane.log"), std::string::npos);
    EXPECT_FALSE(log.bar().visible);
}

TEST_F(ActivityLogTest, LogLinesShowTimeFieldsAndTheTextOnOneLine) {
    LogRecord r;
    r.icon = 155;
    r.time = 0;
    r.action = 0;
    r.text = "\r\nfirst\r\nsecond\r\n\r\nthird";
    EXPECT_EQ(FormatLogLine(r), "-\t155\t0\t\tfirst | second |  | third");
    r.time = 1700000000;  // 2023-11-14 22:13:20 UTC; the tests run with TZ=UTC
    r.icon = 158;
    r.action = 11;
    r.link = "http://x/";
    r.text = "\r\nA new document";
    EXPECT_EQ(FormatLogLine(r), "2023-11-14 22:13:20\t158\t11\thttp://x/\tA new document");

    // Times past 2038 still read as the right year.
    r.time = 0xF0000000u;
    EXPECT_EQ(FormatLogLine(r).substr(0, 4), "2097");
}

// The log is never written through a link, nor into another user's file: its records carry
// the links Preview starts a companion with.
TEST_F(ActivityLogTest, ALinkOrAnotherUsersFileIsNeverWrittenThrough) {
    std::ofstream("elsewhere") << "keep";
    ASSERT_EQ(symlink("elsewhere", kLogFileName), 0);
    CActivityLog log;
    log.WriteLog(kIconWeb, "A new document");
    log.Clear();
    EXPECT_EQ(ReadFileBytes("elsewhere"), "keep");
    ASSERT_EQ(prompt_->shown.size(), 2u);
    EXPECT_EQ(prompt_->shown[0].text,
              "Quorvane.log is a symbolic link: the activity log is not used through it.");
    std::vector<LogRecord> records;
    std::string error;
    EXPECT_FALSE(ReadLogFile(kLogFileName, &records, &error));
    EXPECT_EQ(error, prompt_->shown[0].text);

    // Ours but open to every user: shut to them, and written.
    ASSERT_EQ(unlink(kLogFileName), 0);
    log.WriteLog(kIconWeb, "one");
    ASSERT_EQ(chmod(kLogFileName, 0666), 0);
    log.WriteLog(kIconWeb, "two");
    struct stat st {};
    ASSERT_EQ(stat(kLogFileName, &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
    EXPECT_EQ(LogRecordTexts(), (std::vector<std::string>{"one", "two"}));

    if (geteuid() != 0) GTEST_SKIP() << "another user's file needs root to make";
    ASSERT_EQ(chown(kLogFileName, 65534, 65534), 0);
    prompt_->shown.clear();
    log.WriteLog(kIconWeb, "three");
    log.Clear();
    EXPECT_EQ(LogBytes().size(), 2 * kLogRecordSize);
    ASSERT_EQ(prompt_->shown.size(), 2u);
    EXPECT_EQ(prompt_->shown[0].text,
              "Quorvane.log belongs to another user (uid 65534): the activity log is not used "
              "through it.");
}

// A full disk costs the record that did not fit, never the ones before it, and leaves no
// half record that would shift every later one off its place.
TEST_F(ActivityLogTest, AFullDiskKeepsWholeRecordsOnly) {
    SmallDisk disk(Path("disk"), 64 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "a small file system needs root to mount";
    const std::string file = Path("disk/Quorvane.log");
    CActivityLog log(file);
    // Seven records end 484 bytes short of a page: the eighth fits only in part.
    for (int i = 1; i <= 7; ++i) log.WriteLog(kIconWeb, "record " + std::to_string(i));
    ASSERT_TRUE(disk.Fill());
    log.WriteLog(kIconWeb, "record 8");
    log.WriteLog(kIconWeb, "record 9");
    EXPECT_EQ(ReadFileBytes(file).size(), 7 * kLogRecordSize);
    ASSERT_EQ(prompt_->shown.size(), 2u);
    EXPECT_EQ(prompt_->shown[0].text, "Disk full while accessing " + file + ".");

    disk.Free();
    log.WriteLog(kIconWeb, "record 10");
    std::vector<LogRecord> records;
    ASSERT_TRUE(ReadLogFile(file, &records, nullptr));
    ASSERT_EQ(records.size(), 8u);
    EXPECT_EQ(records[6].text, "\r\nrecord 7");
    EXPECT_EQ(records[7].text, "\r\nrecord 10");
}

}  // namespace

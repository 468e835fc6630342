#include "app/GroupList.h"

#include <sys/stat.h>

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <fstream>
#include <memory>

#include "fakes/ScriptedLineServer.h"
#include "fixtures/Fixtures.h"
#include "fixtures/ManualTimerSource.h"
#include "settings/Settings.h"

namespace {

using namespace grouplist;

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> Names(const CGroupList& list) {
    std::vector<std::string> names;
    for (size_t row = 0; row < list.rowCount(); ++row) names.push_back(list.rowName(row));
    return names;
}

// ---------------------------------------------------------------------------------------
// The list file's name.

TEST(GroupListFileNameTest, DotsBecomeHyphensAndNamesThatLeaveTheFolderAreRefused) {
    std::string name, error;
    ASSERT_TRUE(GroupListFileName("news.example.com", &name, &error));
    EXPECT_EQ(name, "news-example-com");
    ASSERT_TRUE(GroupListFileName("-news.test:1119", &name, &error));
    EXPECT_EQ(name, "-news-test:1119");

    const std::vector<std::string> refused = {"",           ".",
                                              "..",         "a/b",
                                              "/etc",       "../../x",
                                              "news.test/", std::string("a\0b", 3),
                                              "a\nb",       std::string(300, 'n')};
    for (const std::string& server : refused) {
        name = "unchanged";
        error.clear();
        EXPECT_FALSE(GroupListFileName(server, &name, &error)) << server;
        EXPECT_EQ(name, "unchanged") << server;
        EXPECT_EQ(error.rfind("The news server name \"", 0), 0u) << error;
    }
    ASSERT_FALSE(GroupListFileName("news/../../etc/x", &name, &error));
    EXPECT_NE(error.find("another folder"), std::string::npos) << error;
}

// ---------------------------------------------------------------------------------------
// Reading the list file.

class GroupListFileTest : public SandboxTest {};

TEST_F(GroupListFileTest, EachLineGivesItsFirstWordAndTheEndLineIsNoGroup) {
    const std::string longName(300, 'x');
    WriteFile(Path("list"),
              "comp.lang.c 100 1 y\r\n"
              "alt.test\t5 1 y\r\n"
              "misc.short " +
                  std::string(2000, '7') + " 1 y\r\n" + longName +
                  " 1 1 y\r\n"
                  "\r\n"
                  " leading.blank 1 1 y\r\n" +
                  std::string("nul.cut\0tail 1 1 y\r\n", 20) +
                  "..dotted 1 1 n\r\n"
                  ".\r\n");
    GroupListLoad load = LoadGroupList(Path("list"));
    ASSERT_EQ(load.status, GroupListLoad::kLoaded);
    // A long line is one group, or none when its name is too long: never its pieces.
    EXPECT_EQ(load.groups, (std::vector<std::string>{"comp.lang.c", "alt.test", "misc.short",
                                                     "nul.cut", "..dotted"}));
    EXPECT_EQ(load.skipped, 1u);
    EXPECT_FALSE(load.cut);

    // The name that just fits is kept whole; a last line without its line end counts.
    WriteFile(Path("edge"), std::string(kMaxNameBytes, 'y') + " 1\nlast.group");
    load = LoadGroupList(Path("edge"));
    EXPECT_EQ(load.groups,
              (std::vector<std::string>{std::string(kMaxNameBytes, 'y'), "last.group"}));

    EXPECT_EQ(LoadGroupList(Path("none")).status, GroupListLoad::kMissing);
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(Path("folder"))));
    load = LoadGroupList(Path("folder"));
    EXPECT_EQ(load.status, GroupListLoad::kFailed);
    EXPECT_NE(load.error.find("it is not a file"), std::string::npos) << load.error;
    // A FIFO with nobody writing to it is refused at once, not waited on.
    ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
    load = LoadGroupList(Path("fifo"));
    EXPECT_EQ(load.status, GroupListLoad::kFailed);
    EXPECT_NE(load.error.find("it is not a file"), std::string::npos) << load.error;
}

// A list is our own file: a link could show any file's lines as groups, and another
// user's list is theirs to change under us.
TEST_F(GroupListFileTest, AListThatIsALinkOrAnotherUsersIsNotRead) {
    WriteFile(Path("real"), "comp.lang.c 1 1 y\r\n");
    ASSERT_EQ(::symlink("real", Path("linked").c_str()), 0);
    GroupListLoad load = LoadGroupList(Path("linked"));
    EXPECT_EQ(load.status, GroupListLoad::kFailed);
    EXPECT_EQ(load.error,
              "The news group list " + Path("linked") + " cannot be read: it is a symbolic link.");
    // A dangling link is no missing list either: an update would not write through it.
    ASSERT_EQ(::symlink("nowhere", Path("dangling").c_str()), 0);
    EXPECT_EQ(LoadGroupList(Path("dangling")).status, GroupListLoad::kFailed);

    if (::geteuid() != 0) GTEST_SKIP() << "another user's file needs root to make";
    ASSERT_EQ(::chown(Path("real").c_str(), 65534, 65534), 0);
    load = LoadGroupList(Path("real"));
    EXPECT_EQ(load.status, GroupListLoad::kFailed);
    EXPECT_EQ(load.error, "The news group list " + Path("real") +
                              " cannot be read: it belongs to another user (uid 65534).");
}

TEST(GroupListReaderTest, PiecesOfAnySizeReadAlikeAndTheListIsBounded) {
    std::string file = "b.one 1 1 y\r\n" + std::string(400, 'z') + " 1\r\nc.two\t2\n.\r\n";
    CGroupListReader whole;
    ASSERT_TRUE(whole.Feed(file.data(), file.size()));
    whole.Finish();
    CGroupListReader bytes;
    for (char c : file) ASSERT_TRUE(bytes.Feed(&c, 1));
    bytes.Finish();
    EXPECT_EQ(whole.groups(), (std::vector<std::string>{"b.one", "c.two"}))
        << "the list's end line is no group";
    EXPECT_EQ(bytes.groups(), whole.groups());
    EXPECT_EQ(bytes.skipped(), 1u);

    // A file of more groups than the chooser holds stops at the bound and says so.
    std::string many;
    for (size_t i = 0; i < kMaxGroups + 10; ++i) many += "g\n";
    CGroupListReader reader;
    EXPECT_FALSE(reader.Feed(many.data(), many.size()));
    EXPECT_TRUE(reader.cut());
    EXPECT_EQ(reader.groups().size(), kMaxGroups);
}

// ---------------------------------------------------------------------------------------
// The chooser's lists.

TEST(GroupListTest, SearchKeepsTheSelectionOfTheFullList) {
    CGroupList list;
    list.SetGroups({"rec.comp", "comp.lang.c", "Alt.test", "alt.binaries", "COMP.big", "sci.math",
                    "comp.os.linux"});
    EXPECT_EQ(Names(list),
              (std::vector<std::string>{"alt.binaries", "Alt.test", "COMP.big", "comp.lang.c",
                                        "comp.os.linux", "rec.comp", "sci.math"}));
    list.SetRowSelected(3, true);  // comp.lang.c
    list.SetRowSelected(6, true);  // sci.math

    list.ApplySearch("comp");
    ASSERT_TRUE(list.filtered());
    // Exact and case-sensitive: COMP.big is not one of them.
    EXPECT_EQ(Names(list), (std::vector<std::string>{"comp.lang.c", "comp.os.linux", "rec.comp"}));
    EXPECT_TRUE(list.rowSelected(0));
    EXPECT_FALSE(list.rowSelected(1));
    // A change on show goes to the full list.
    list.SetRowSelected(2, true);   // rec.comp
    list.SetRowSelected(0, false);  // comp.lang.c
    EXPECT_TRUE(list.selected(5));
    EXPECT_FALSE(list.selected(3));

    list.ApplySearch("nothing here");
    EXPECT_EQ(list.rowCount(), 0u);
    list.ApplySearch("");
    EXPECT_FALSE(list.filtered());
    EXPECT_EQ(list.rowCount(), 7u);
    EXPECT_EQ(list.Result(), (std::vector<std::string>{"rec.comp", "sci.math"}));
    EXPECT_EQ(list.selectedCount(), 2u);
}

TEST(GroupListTest, ResultIsInListOrderAndAtMostTheBound) {
    std::vector<std::string> groups;
    for (int i = 0; i < 1500; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "g%04d", 1499 - i);
        groups.push_back(name);
    }
    CGroupList list;
    list.SetGroups(groups);
    // Selected backwards, returned in the list's order.
    for (size_t i = list.size(); i-- > 0;) list.SetSelected(i, true);
    std::vector<std::string> result = list.Result();
    ASSERT_EQ(result.size(), kMaxChosen);
    EXPECT_EQ(result.front(), "g0000");
    EXPECT_EQ(result.back(), "g1023");
    list.SetSelected(0, false);
    list.SetSelected(0, false);  // twice: still one fewer
    EXPECT_EQ(list.selectedCount(), 1499u);
}

// ---------------------------------------------------------------------------------------
// Opening: the file, the question, the update.

class GroupListOpenTest : public SandboxTest {};

TEST_F(GroupListOpenTest, AMissingListIsAskedForAndAskedAgainUntilItCame) {
    int updates = 0;
    prompt_->answers = {UserPrompt::IdYes, UserPrompt::IdYes};
    GroupListLoad load = OpenGroupList("news.example.com", [&] {
        // The first update fails and leaves nothing; the second brings the list.
        if (++updates == 2) WriteFile(Path("news-example-com"), "misc.test 3 1 y\r\n.\r\n");
    });
    EXPECT_EQ(updates, 2);
    ASSERT_EQ(load.status, GroupListLoad::kLoaded);
    EXPECT_EQ(load.groups, (std::vector<std::string>{"misc.test"}));
    ASSERT_EQ(prompt_->shown.size(), 2u);
    EXPECT_EQ(prompt_->shown[0].text,
              "The news group list is empty to you want to get\na new group list from your news "
              "server?\n\nThis may take a few minutes.");
    EXPECT_EQ(prompt_->shown[0].buttons, UserPrompt::YesNo);
    EXPECT_EQ(prompt_->shown[0].icon, UserPrompt::Question);

    // Once the file is there nobody is asked.
    prompt_->shown.clear();
    load = OpenGroupList("news.example.com", [&] { ++updates; });
    EXPECT_EQ(load.groups.size(), 1u);
    EXPECT_TRUE(prompt_->shown.empty());
    EXPECT_EQ(updates, 2);

    // No: an empty list, nothing fetched.
    prompt_->answers = {UserPrompt::IdNo};
    load = OpenGroupList("other.server", [&] { ++updates; });
    EXPECT_EQ(load.status, GroupListLoad::kMissing);
    EXPECT_EQ(updates, 2);

    // A name that would write elsewhere is told and never fetched.
    prompt_->shown.clear();
    load = OpenGroupList("../news.example.com", [&] { ++updates; });
    EXPECT_EQ(load.status, GroupListLoad::kRefused);
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_EQ(prompt_->shown[0].icon, UserPrompt::Exclamation);
    EXPECT_EQ(updates, 2);
}

// ---------------------------------------------------------------------------------------
// The update against a scripted news server.

class GroupListUpdateTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        server_.greeting = "200 news.test ready\r\n";
        server_.replies = {{"LIST",
                            "215 list follows\r\nmisc.test 3 1 y\r\ncomp.lang.c 9 2 y\r\n"
                            "..dotted 0 1 n\r\n.\r\n"},
                           {"QUIT", "205 bye\r\n"}};
        serverName_ = "127.0.0.1:" + std::to_string(server_.port());
        listFile_ = "127-0-0-1:" + std::to_string(server_.port());
        before_ = Entries();
    }
    // Starts the update and waits for its end.
    CGroupListUpdate::Phase Run(CGroupListUpdate& update) {
        update.Start(serverName_);
        EXPECT_TRUE(waitFor([&] { return Ended(update); }, std::chrono::seconds(30)));
        return update.phase();
    }
    static bool Ended(const CGroupListUpdate& u) {
        return u.phase() == CGroupListUpdate::Phase::kDone ||
               u.phase() == CGroupListUpdate::Phase::kFailed;
    }
    // The names in the working folder, the settings store's own files aside.
    QStringList Entries() const {
        QStringList names = QDir(dir_->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        names.removeIf([](const QString& n) { return n.startsWith("registry.db"); });
        return names;
    }

    ScriptedLineServer server_;
    std::string serverName_, listFile_;
    QStringList before_;
};

TEST_F(GroupListUpdateTest, TheWholeListIsPutInPlaceAndTheSessionEnded) {
    CGroupListUpdate update;
    int finished = 0;
    QObject::connect(&update, &CGroupListUpdate::finished, [&] { ++finished; });
    ASSERT_EQ(Run(update), CGroupListUpdate::Phase::kDone) << update.errorText();
    EXPECT_EQ(finished, 1);
    EXPECT_EQ(ReadFileBytes(Path(listFile_)),
              "misc.test 3 1 y\r\ncomp.lang.c 9 2 y\r\n..dotted 0 1 n\r\n.\r\n");
    EXPECT_EQ(server_.commands, (std::vector<std::string>{"LIST", "QUIT"}));
    QStringList expected = before_;
    expected << QString::fromStdString(listFile_);
    expected.sort(Qt::CaseInsensitive);
    EXPECT_EQ(Entries(), expected) << "the list and no temporary file";
}

TEST_F(GroupListUpdateTest, AServerThatNeverSaysGoodbyeDoesNotHoldTheUpdate) {
    server_.replies["QUIT"] = "";  // no answer at all
    server_.unknownReply = "";
    CGroupListUpdate update;
    ASSERT_EQ(Run(update), CGroupListUpdate::Phase::kDone) << update.errorText();
    EXPECT_EQ(update.progressText(), "Number of groups listed : 4");
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(Path(listFile_))));
}

TEST_F(GroupListUpdateTest, ProgressCountsGroupsByHundredsAndCancelLeavesNothing) {
    ManualTimerSource timers;
    std::string reply = "215 list follows\r\n";
    for (int i = 0; i < 250; ++i) reply += "group." + std::to_string(i) + " 1 1 y\r\n";
    server_.replies["LIST"] = reply;  // and never the end line
    CGroupListUpdate update;
    update.Start(serverName_);
    EXPECT_EQ(update.progressText(), "Connecting to " + serverName_);
    ASSERT_TRUE(waitFor([&] { return update.client().lineCount() >= 250; }));
    EXPECT_EQ(update.phase(), CGroupListUpdate::Phase::kListing);
    EXPECT_EQ(update.progressText(), "Connecting to " + serverName_) << "no tick yet";
    timers.Advance(1000);
    EXPECT_EQ(update.progressText(), "Number of groups listed : 200");

    update.Cancel();
    EXPECT_EQ(update.phase(), CGroupListUpdate::Phase::kCancelled);
    EXPECT_EQ(update.client().state(), CNntp::kIdle);
    EXPECT_FALSE(timers.IsActive(update, CGroupListUpdate::kProgressTimer));
    EXPECT_EQ(Entries(), before_) << "no list file and no temporary file";
}

TEST_F(GroupListUpdateTest, AFailedListLeavesNoFileAndKeepsTheOldList) {
    struct Case {
        const char* what;
        std::function<void(ScriptedLineServer&, CGroupListUpdate&)> setUp;
        std::string error;  // the start of the text shown
    };
    const std::vector<Case> cases = {
        {"refused",
         [](ScriptedLineServer& s, CGroupListUpdate&) {
             s.replies["LIST"] = "502 permission denied\r\n";
         },
         "The News server 127.0.0.1 did not give its list of news groups:  permission denied"},
        {"broken", [](ScriptedLineServer& s, CGroupListUpdate&) { s.dropMidReply = {"LIST"}; }, ""},
        {"too large",
         [](ScriptedLineServer& s, CGroupListUpdate& u) {
             // More than one read, so that the bound is passed before the end line.
             std::string list = "215 list follows\r\n";
             for (int i = 0; i < 200; ++i)
                 list += "group.number" + std::to_string(i) + " 1 1 y\r\n";
             s.replies["LIST"] = list + ".\r\n";
             u.SetMaxListBytes(1000);
         },
         "The News server 127.0.0.1 sent a list or article too large"},
        {"greeting refused",
         [](ScriptedLineServer& s, CGroupListUpdate&) { s.greeting = "502 go away\r\n"; },
         "The News server 127.0.0.1 said:  go away"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedLineServer& s = server_;
        s.greeting = "200 news.test ready\r\n";
        s.replies["LIST"] = "215 list follows\r\nmisc.test 3 1 y\r\ncomp.lang.c 9 2 y\r\n.\r\n";
        s.dropMidReply.clear();
        CGroupListUpdate update;
        int failed = 0;
        QObject::connect(&update, &CGroupListUpdate::failed, [&] { ++failed; });
        c.setUp(s, update);
        ASSERT_EQ(Run(update), CGroupListUpdate::Phase::kFailed);
        EXPECT_EQ(failed, 1);
        EXPECT_FALSE(update.errorText().empty());
        EXPECT_EQ(update.errorText().rfind(c.error, 0), 0u) << update.errorText();
        EXPECT_EQ(Entries(), before_) << "no list file and no temporary file";
    }

    // An update that fails leaves the list of the last one as it was.
    WriteFile(Path(listFile_), "old.group 1 1 y\r\n.\r\n");
    server_.replies["LIST"] = "503 not now\r\n";
    CGroupListUpdate update;
    ASSERT_EQ(Run(update), CGroupListUpdate::Phase::kFailed);
    EXPECT_EQ(ReadFileBytes(Path(listFile_)), "old.group 1 1 y\r\n.\r\n");
}

// A list that does not fit on the disk is no list: the old one stays, and the user is told
// why in the system's words.
TEST_F(GroupListUpdateTest, AFullDiskKeepsTheOldListAndSaysSo) {
    SmallDisk disk(Path("disk"), 64 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "a small file system needs root to mount";
    ASSERT_EQ(::chdir(Path("disk").c_str()), 0);
    WriteFile(listFile_, "old.group 1 1 y\r\n.\r\n");
    ASSERT_TRUE(disk.Fill());
    CGroupListUpdate update;
    CGroupListUpdate::Phase phase = Run(update);
    std::string list = ReadFileBytes(listFile_);
    QStringList names = QDir(".").entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    ASSERT_EQ(::chdir(dir_->path().toStdString().c_str()), 0);
    EXPECT_EQ(phase, CGroupListUpdate::Phase::kFailed);
    EXPECT_EQ(update.errorText(), "The news group list could not be saved as " + listFile_ +
                                      ": No space left on device");
    EXPECT_EQ(list, "old.group 1 1 y\r\n.\r\n");
    EXPECT_EQ(names, (QStringList{QString::fromStdString(listFile_), "filler"}))
        << "no temporary file";
}

TEST_F(GroupListUpdateTest, ConnectFailuresAndTheNewsSecuritySettingAreTold) {
    // Nobody listens on a port that was just given back.
    int deadPort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress("127.0.0.1"), 0));
        deadPort = probe.serverPort();
    }
    Root().SetDword(settings::kConnectionAttempts, 1);
    CGroupListUpdate dead;
    dead.Start("127.0.0.1:" + std::to_string(deadPort));
    ASSERT_TRUE(waitFor([&] { return Ended(dead); }, std::chrono::seconds(30)));
    EXPECT_EQ(dead.phase(), CGroupListUpdate::Phase::kFailed);
    EXPECT_FALSE(dead.errorText().empty());

    // A secure session required by the settings and not offered: nothing is listed in clear.
    Root().SetDword(settings::kNewsSecurity, kNntpStartTls);
    server_.replies["STARTTLS"] = "580 can not initiate TLS\r\n";
    CGroupListUpdate update;
    ASSERT_EQ(Run(update), CGroupListUpdate::Phase::kFailed);
    EXPECT_NE(update.errorText().find("does not offer a secure connection"), std::string::npos)
        << update.errorText();
    EXPECT_EQ(server_.commands, std::vector<std::string>{"STARTTLS"});
    EXPECT_EQ(Entries(), before_);

    // A server name that would write elsewhere never connects.
    CGroupListUpdate refused;
    refused.Start("../elsewhere");
    EXPECT_EQ(refused.phase(), CGroupListUpdate::Phase::kFailed);
    EXPECT_NE(refused.errorText().find("another folder"), std::string::npos);
}

}  // namespace

#include <QApplication>
#include <QDir>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "fakes/ScriptedLineServer.h"
#include "fixtures/Fixtures.h"
#include "fixtures/ManualTimerSource.h"
#include "ui/NewsgroupChooser.h"
#include "ui/NewsgroupChooserDialog.h"

// Lists of names print as text when a comparison fails.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QStringList& list, std::ostream* os) {
    *os << "{" << list.join(", ").toStdString() << "}";
}
QT_END_NAMESPACE

namespace {

class NewsgroupChooserTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        std::ofstream(Path("news-example-com"), std::ios::binary)
            << "rec.comp 1 1 y\r\ncomp.lang.c 9 2 y\r\nalt.test 3 1 y\r\nsci.math 1 1 y\r\n"
               "comp.os.linux 5 1 y\r\nCOMP.big 1 1 y\r\n.\r\n";
    }
    static QStringList Shown(const QListView* view) {
        QStringList rows;
        for (int r = 0; r < view->model()->rowCount(); ++r)
            rows << view->model()->index(r, 0).data().toString();
        return rows;
    }
    static QStringList Selected(const QListView* view) {
        QStringList rows;
        for (int r = 0; r < view->model()->rowCount(); ++r)
            if (view->selectionModel()->isSelected(view->model()->index(r, 0)))
                rows << view->model()->index(r, 0).data().toString();
        return rows;
    }
    static void ClickRow(QListView* view, const QString& name) {
        for (int r = 0; r < view->model()->rowCount(); ++r) {
            QModelIndex index = view->model()->index(r, 0);
            if (index.data().toString() != name) continue;
            view->scrollTo(index);
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                              view->visualRect(index).center());
            return;
        }
        ADD_FAILURE() << "no row " << name.toStdString();
    }
    static void Search(NewsgroupChooserDialog& d, const QString& word) {
        d.searchEdit()->clear();
        QTest::keyClicks(d.searchEdit(), word);
        QTest::keyClick(d.searchEdit(), Qt::Key_Return);
    }
    static void Picture(QWidget& w, const char* name) {
        QString path = QString(QUORVANE_SCREENSHOT_DIR) + "/" + name;
        EXPECT_TRUE(w.grab().save(path, "PNG")) << path.toStdString();
    }
    // The names in the working folder, the settings store's own files aside.
    QStringList Entries() const {
        QStringList names = QDir(dir_->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        names.removeIf([](const QString& n) { return n.startsWith("registry.db"); });
        return names;
    }
};

TEST_F(NewsgroupChooserTest, SearchWithEnterSelectAcrossSearchesAndOk) {
    NewsgroupChooserDialog d("news.example.com");
    d.runUpdate = [] { ADD_FAILURE() << "the list file is there: nothing to fetch"; };
    ASSERT_TRUE(d.Open());
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    EXPECT_EQ(d.windowTitle(), "Korvalin - Select a News Group");
    EXPECT_EQ(Shown(d.listView()), (QStringList{"alt.test", "COMP.big", "comp.lang.c",
                                                "comp.os.linux", "rec.comp", "sci.math"}));

    ClickRow(d.listView(), "sci.math");
    ClickRow(d.listView(), "comp.lang.c");
    Search(d, "comp");
    EXPECT_TRUE(d.isVisible()) << "Enter in the search edit searches, it does not close";
    EXPECT_EQ(d.result(), std::vector<std::string>{});
    EXPECT_EQ(Shown(d.listView()), (QStringList{"comp.lang.c", "comp.os.linux", "rec.comp"}));
    EXPECT_EQ(Selected(d.listView()), QStringList{"comp.lang.c"});
    ClickRow(d.listView(), "rec.comp");
    ClickRow(d.listView(), "comp.os.linux");
    ClickRow(d.listView(), "comp.lang.c");  // a second click takes it off again
    EXPECT_EQ(Selected(d.listView()), (QStringList{"comp.os.linux", "rec.comp"}));
    Picture(d, "chooser.png");

    Search(d, "");
    EXPECT_EQ(Shown(d.listView()).size(), 6);
    EXPECT_EQ(Selected(d.listView()), (QStringList{"comp.os.linux", "rec.comp", "sci.math"}));
    QTest::mouseClick(d.okButton(), Qt::LeftButton);
    EXPECT_EQ(d.result(), (std::vector<std::string>{"comp.os.linux", "rec.comp", "sci.math"}));
    EXPECT_FALSE(d.isVisible());
}

TEST_F(NewsgroupChooserTest, AHundredThousandGroupsOpenAndFilter) {
    {
        std::ofstream out(Path("big-news-test"), std::ios::binary);
        for (int i = 0; i < 100000; ++i)
            out << (i % 10 == 0 ? "comp.x" : "alt.y") << i << " 10 1 y\r\n";
        out << ".\r\n";
    }
    NewsgroupChooserDialog d("big.news.test");
    ASSERT_TRUE(d.Open());
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    EXPECT_EQ(d.listView()->model()->rowCount(), 100000);
    EXPECT_TRUE(d.listView()->uniformItemSizes());

    Search(d, "comp.x");
    ASSERT_EQ(d.listView()->model()->rowCount(), 10000);
    // Everything on show selected at once: the full list holds all of it, OK the first 1024.
    d.listView()->selectAll();
    EXPECT_EQ(d.groups().selectedCount(), 10000u);
    // comp.x7770 and comp.x77700 to comp.x77790, in the list's order, still selected.
    Search(d, "comp.x777");
    QStringList expected{"comp.x7770"};
    for (int i = 77700; i <= 77790; i += 10) expected << "comp.x" + QString::number(i);
    EXPECT_EQ(Shown(d.listView()), expected);
    EXPECT_EQ(Selected(d.listView()), expected);
    d.accept();
    ASSERT_EQ(d.result().size(), 1024u);
    EXPECT_EQ(d.result().front(), "comp.x0");
}

class ChooserUpdateTest : public NewsgroupChooserTest {
protected:
    void SetUp() override {
        NewsgroupChooserTest::SetUp();
        server_.greeting = "200 news.test ready\r\n";
        server_.replies = {{"LIST",
                            "215 list follows\r\nmisc.test 3 1 y\r\ncomp.lang.c 9 2 y\r\n"
                            ".\r\n"},
                           {"QUIT", "205 bye\r\n"}};
        serverName_ = "127.0.0.1:" + std::to_string(server_.port());
        listFile_ = QString::fromStdString("127-0-0-1:" + std::to_string(server_.port()));
        before_ = Entries();
    }
    ScriptedLineServer server_;
    std::string serverName_;
    QString listFile_;
    QStringList before_;
};

TEST_F(ChooserUpdateTest, UpdateShowsProgressAndCancelLeavesNoList) {
    ManualTimerSource timers;
    std::string reply = "215 list follows\r\n";
    for (int i = 0; i < 345; ++i) reply += "group.number" + std::to_string(i) + " 1 1 y\r\n";
    server_.replies["LIST"] = reply;  // the end never comes
    GroupListUpdateDialog d(serverName_);
    EXPECT_EQ(d.windowTitle(), "Updating list...");
    EXPECT_EQ(d.progressLabel()->text(), "Number of groups  0");
    d.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&d));
    d.Start();
    EXPECT_EQ(d.progressLabel()->text(), QString::fromStdString("Connecting to " + serverName_));
    ASSERT_TRUE(waitFor([&] { return d.update().client().lineCount() >= 345; }));
    timers.Advance(1000);
    EXPECT_EQ(d.progressLabel()->text(), "Number of groups listed : 300");
    Picture(d, "chooser-update.png");

    QTest::mouseClick(d.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(d.result(), QDialog::Rejected);
    EXPECT_EQ(d.update().phase(), CGroupListUpdate::Phase::kCancelled);
    EXPECT_EQ(Entries(), before_);
}

TEST_F(ChooserUpdateTest, AMissingListIsFetchedOnYesAndAFailureWaitsForCancel) {
    // An update dialog that failed waits for Cancel: the user's click, made here.
    int cancels = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* u = qobject_cast<GroupListUpdateDialog*>(QApplication::activeModalWidget());
        if (!u || u->update().phase() != CGroupListUpdate::Phase::kFailed) return;
        EXPECT_TRUE(u->isVisible()) << "a failure does not close the dialog";
        ++cancels;
        QTest::mouseClick(u->cancelButton(), Qt::LeftButton);
    });
    poll.start(10);

    // Yes: the update dialog runs, fetches the list and closes itself; the chooser shows it.
    prompt_->answers = {UserPrompt::IdYes};
    {
        NewsgroupChooserDialog d(serverName_);
        ASSERT_TRUE(d.Open());
        EXPECT_EQ(cancels, 0);
        EXPECT_EQ(Shown(d.listView()), (QStringList{"comp.lang.c", "misc.test"}));
        ASSERT_EQ(prompt_->shown.size(), 1u);
        EXPECT_EQ(prompt_->shown[0].icon, UserPrompt::Question);
        // The dialog closes once the list is in place; the goodbye still reaches the server.
        waitFor([&] { return server_.commands.size() >= 2; });
        EXPECT_EQ(server_.commands, (std::vector<std::string>{"LIST", "QUIT"}));
    }
    ASSERT_TRUE(QFile::remove(QString::fromStdString(Path(listFile_.toStdString()))));

    // A refused list: its words with an exclamation, the dialog stays until Cancel, then the
    // question comes again; No leaves the chooser empty and no file behind.
    server_.replies["LIST"] = "502 permission denied\r\n";
    prompt_->shown.clear();
    prompt_->answers = {UserPrompt::IdYes, UserPrompt::IdOk, UserPrompt::IdNo};
    NewsgroupChooserDialog d(serverName_);
    ASSERT_TRUE(d.Open());
    EXPECT_EQ(cancels, 1);
    EXPECT_EQ(d.listView()->model()->rowCount(), 0);
    ASSERT_EQ(prompt_->shown.size(), 3u);
    EXPECT_EQ(prompt_->shown[1].text,
              "The News server 127.0.0.1 did not give its list of news groups:  permission denied");
    EXPECT_EQ(prompt_->shown[1].caption, "Updating list...");
    EXPECT_EQ(prompt_->shown[1].icon, UserPrompt::Exclamation);
    EXPECT_EQ(prompt_->shown[2].icon, UserPrompt::Question);
    EXPECT_EQ(Entries(), before_);
}

TEST_F(NewsgroupChooserTest, AServerNameThatWouldWriteElsewhereIsRefused) {
    std::vector<std::string> result = {"left over"};
    // Should a chooser open after all, it is closed, so that the failure shows, not a hang.
    bool opened = false;
    QTimer close;
    QObject::connect(&close, &QTimer::timeout, [&] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            opened = true;
            d->reject();
        }
    });
    close.start(10);
    EXPECT_FALSE(RunNewsgroupChooser(nullptr, "../../tmp/x", &result));
    EXPECT_FALSE(opened);
    EXPECT_TRUE(result.empty());
    ASSERT_EQ(prompt_->shown.size(), 1u);
    EXPECT_NE(prompt_->shown[0].text.find("another folder"), std::string::npos);
}

}  // namespace

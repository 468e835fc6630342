#include "ui/TickerWindow.h"

#include <QApplication>
#include <QImage>
#include <QMouseEvent>
#include <QTest>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "fakes/RecordingShell.h"
#include "fixtures/Fixtures.h"
#include "platform/Shell.h"
#include "settings/Settings.h"

namespace {

using namespace settings;
using namespace settings;

class TickerWindowTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        shell_ = std::make_shared<RecordingShell>();
        Shell::Install(shell_);
        AddEvent("Headlines", kLumettaDisplay, "Daily");
        Store("0000", "front.html", "https://news.example.org/",
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"
              "<html><head><title>Quorvane 2.0 released</title></head><body>"
              "<p>The ticker now runs on Linux &amp; scrolls your news caf\xC3\xA9 "
              "headlines &ndash; smoothly.</p></body></html>");
        Store("0001", "weather.txt", "forecast@https://weather.example.org/",
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n"
              "Weather in Oslo\nSunny, 21 \xC2\xB0"
              "C, a light breeze from the west.\n");
    }
    void TearDown() override {
        Shell::Install(nullptr);
        SandboxTest::TearDown();
    }
    void Store(const std::string& sub, const std::string& name, const std::string& url,
               const std::string& bytes) {
        std::ofstream(Path(name), std::ios::binary) << bytes;
        RegKey event, doc;
        ASSERT_EQ(event.Open(RegKey::LocalMachine(), EventPath("Headlines")), ERROR_SUCCESS);
        ASSERT_EQ(doc.Create(event, sub, kEventClass), ERROR_SUCCESS);
        doc.SetString(kDocFile, Path(name));
        doc.SetString(kUrl, url);
    }
    // A point of the strip over item, or (-1, -1) when it is not on show.
    static QPoint Over(CTickerWindow& w, int item) {
        for (int x = 2; x < w.width() - 2; x += 4)
            if (w.ItemAtPoint(QPoint(x, w.height() / 2)) == item) return {x, w.height() / 2};
        return {-1, -1};
    }
    std::shared_ptr<RecordingShell> shell_;
};

TEST_F(TickerWindowTest, ScrollsTheDocumentsAndOpensTheLinkClicked) {
    CTickerWindow w("Headlines");
    w.SetAnimated(false);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(w.windowFlags() & Qt::Tool);
    EXPECT_FALSE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    ASSERT_EQ(w.ticker().items().size(), 2u);
    // Tall enough for a line of its font, and not a window's height.
    EXPECT_GE(w.height(), QFontMetrics(w.font()).height());
    EXPECT_LT(w.height(), 120);

    // Nothing on show before the first item has come in from the right.
    EXPECT_EQ(Over(w, 0), QPoint(-1, -1));
    const int speed = w.ticker().display().scrollSpeed;
    for (int i = 0; i < (w.width() - 24) / speed; ++i) w.Step();
    QPoint first = Over(w, 0);
    ASSERT_NE(first, QPoint(-1, -1));
    QTest::qWait(0);
    QImage picture = w.grab().toImage();
    EXPECT_TRUE(picture.save(QString(QUORVANE_SCREENSHOT_DIR) + "/ticker.png"));
    // Something is drawn in the title's colour where the first title stands.
    bool titleDrawn = false;
    for (int x = first.x(); x < std::min(first.x() + 80, picture.width()) && !titleDrawn; ++x)
        for (int y = 0; y < picture.height(); ++y)
            if (picture.pixelColor(x, y).red() > 200 && picture.pixelColor(x, y).blue() < 150)
                titleDrawn = true;
    EXPECT_TRUE(titleDrawn);

    QTest::mouseClick(&w, Qt::LeftButton, {}, first);
    EXPECT_EQ(shell_->calls, std::vector<std::string>{"open https://news.example.org/"});

    // On until the second document is on show: its link is its start page.
    for (int i = 0; i < 5000 && Over(w, 1) == QPoint(-1, -1); ++i) w.Step();
    QPoint second = Over(w, 1);
    ASSERT_NE(second, QPoint(-1, -1));
    QTest::mouseClick(&w, Qt::LeftButton, {}, second);
    ASSERT_EQ(shell_->calls.size(), 2u);
    EXPECT_EQ(shell_->calls[1], "open https://weather.example.org/");

    // A drag moves the strip and opens nothing.
    QPoint before = w.pos();
    QTest::mousePress(&w, Qt::LeftButton, {}, second);
    QMouseEvent move(QEvent::MouseMove, QPointF(second + QPoint(60, 30)),
                     QPointF(w.mapToGlobal(second + QPoint(60, 30))), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(&w, &move);
    QTest::mouseRelease(&w, Qt::LeftButton, {}, second + QPoint(60, 30));
    EXPECT_EQ(w.pos(), before + QPoint(60, 30));
    EXPECT_EQ(shell_->calls.size(), 2u);

    // Escape closes it.
    bool closed = false;
    QObject::connect(&w, &CTickerWindow::closed, [&] { closed = true; });
    QTest::keyClick(&w, Qt::Key_Escape);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(w.isVisible());
}

TEST_F(TickerWindowTest, OnTopAndAMenuThatCloses) {
    RegKey event;
    ASSERT_EQ(event.Open(RegKey::LocalMachine(), EventPath("Headlines")), ERROR_SUCCESS);
    event.SetDword(kOnTop, 1);
    event.SetDword(kScrollType, 2);
    CTickerWindow w("Headlines");
    w.SetAnimated(false);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(w.windowFlags() & Qt::WindowStaysOnTopHint);
    // Bottom to top: the first item comes up from below.
    for (int i = 0; i < w.height() / 4; ++i) w.Step();
    EXPECT_EQ(w.ItemAtPoint(QPoint(w.width() / 2, w.height() - 4)), 0);
    EXPECT_TRUE(w.grab().save(QString(QUORVANE_SCREENSHOT_DIR) + "/ticker-vertical.png"));
    QList<QAction*> actions = w.menu()->actions();
    ASSERT_EQ(actions.size(), 1);
    EXPECT_EQ(actions[0]->text(), "Close");
    actions[0]->trigger();
    EXPECT_FALSE(w.isVisible());
}

// A new strip never hides one that is open, and a place comes free when its strip goes.
TEST_F(TickerWindowTest, StripsTakePlacesOfTheirOwn) {
    // Places of this test's own, whatever other programs of the user hold.
    std::filesystem::create_directories(Path("run"));
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::string old = saved ? saved : "";
    setenv("XDG_RUNTIME_DIR", Path("run").c_str(), 1);
    struct Restore {
        bool had;
        std::string value;
        ~Restore() {
            if (had)
                setenv("XDG_RUNTIME_DIR", value.c_str(), 1);
            else
                unsetenv("XDG_RUNTIME_DIR");
        }
    } restore{saved != nullptr, old};
    // A tall strip first, then ordinary ones: each begins below what is open.
    RegKey event;
    ASSERT_EQ(event.Open(RegKey::LocalMachine(), EventPath("Headlines")), ERROR_SUCCESS);
    event.SetDword(kScrollType, 2);
    event.SetDword(kFontSize, 7);
    auto first = std::make_unique<CTickerWindow>("Headlines");
    event.SetDword(kScrollType, 1);
    event.SetDword(kFontSize, 1);
    CTickerWindow second("Headlines");
    EXPECT_NE(first->slot(), second.slot());
    EXPECT_GE(second.pos().y(), first->pos().y() + first->height());
    const int freed = first->slot();
    const int freedTop = first->pos().y();
    first.reset();
    // The place that came free is taken again, and the strip goes where the tall one was.
    CTickerWindow third("Headlines");
    EXPECT_EQ(third.slot(), freed);
    EXPECT_EQ(third.pos().y(), freedTop);
    EXPECT_TRUE(third.pos().y() + third.height() <= second.pos().y() ||
                second.pos().y() + second.height() <= third.pos().y());
}

}  // namespace

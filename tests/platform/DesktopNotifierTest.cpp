// Desktop notifications against a recording notification service on a private bus that the
// test starts and ends itself: the user's session bus is never touched.

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTemporaryDir>
#include <QVariantMap>
#include <cstdlib>

#include "app/Application.h"
#include "app/SettingsStore.h"
#include "fakes/NotificationService.h"
#include "fakes/RecordingShell.h"
#include "fixtures/Fixtures.h"
#include "platform/DesktopNotifier.h"
#include "platform/Utf8Text.h"

namespace {

class DesktopNotifierTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_FALSE(bus_.address().isEmpty()) << "dbus-daemon (scripts/setup installs it)";
        shell_ = std::make_shared<RecordingShell>();
        Shell::Install(shell_);
        app_ = std::make_unique<CApplication>(nullptr);
    }
    void TearDown() override {
        app_.reset();
        Shell::Install(nullptr);
        SandboxTest::TearDown();
    }
    // The notification service on the bus.
    void StartService() {
        serviceBus_ = bus_.Connect();
        ASSERT_TRUE(serviceBus_.isConnected());
        ASSERT_TRUE(serviceBus_.registerObject(kNotificationsPath, &service_,
                                               QDBusConnection::ExportAllSlots));
        ASSERT_TRUE(serviceBus_.registerService(kNotificationsInterface));
    }
    void UseNotifier(int callTimeout = DesktopNotifier::kCallTimeout) {
        QDBusConnection client = bus_.Connect();
        ASSERT_TRUE(client.isConnected());
        auto notifier = std::make_unique<DesktopNotifier>(client, nullptr, callTimeout);
        notifier_ = notifier.get();
        app_->UseDesktopNotifier(std::move(notifier));
    }
    std::vector<LogRecord> Records() {
        std::vector<LogRecord> records;
        std::string error;
        EXPECT_TRUE(ReadLogFile(kLogFileName, &records, &error)) << error;
        return records;
    }
    int UnavailableRecords() {
        int n = 0;
        for (const auto& r : Records())
            if (r.text.find("Desktop notifications are not available") != std::string::npos) ++n;
        return n;
    }
    bool WaitForCalls(size_t n) {
        return waitFor([&] { return service_.calls.size() >= n; });
    }

    PrivateBus bus_;
    QDBusConnection serviceBus_{QString()};
    RecordingNotifications service_;
    std::shared_ptr<RecordingShell> shell_;
    std::unique_ptr<CApplication> app_;
    DesktopNotifier* notifier_ = nullptr;
};

TEST_F(DesktopNotifierTest, PopUpRecordsShowWithKindTextIconAndOpen) {
    StartService();
    UseNotifier();
    app_->WriteLog(kIconWeb, "New at <Example> & Co", kActionBrowse,
                   "http://example.org/a?b=1&c=2");
    ASSERT_TRUE(WaitForCalls(1));
    const auto& web = service_.calls[0];
    EXPECT_EQ(web.app, "Quorvane");
    EXPECT_EQ(web.replaces, 0u);
    EXPECT_EQ(web.summary, "Quorvane: web site");
    EXPECT_EQ(web.icon, "quorvane-web");
    EXPECT_EQ(web.body, "New at <Example> & Co") << "no markup: the text as it is";
    EXPECT_EQ(web.actions, QStringList({"default", "Open", "open", "Open"}));
    EXPECT_EQ(web.timeout, -1);

    app_->WriteLog(kIconMail, "3 new messages\r\nfrom Ann");
    app_->WriteLog(kIconError, "Broken");
    app_->WriteLog(kIconDefault, "Clock set");
    ASSERT_TRUE(WaitForCalls(4));
    EXPECT_EQ(service_.calls[1].summary, "Quorvane: mail");
    EXPECT_EQ(service_.calls[1].icon, "quorvane-mail");
    EXPECT_EQ(service_.calls[1].body, "3 new messages\nfrom Ann");
    EXPECT_TRUE(service_.calls[1].actions.isEmpty()) << "nothing to open";
    EXPECT_EQ(service_.calls[2].summary, "Quorvane: error");
    EXPECT_EQ(service_.calls[2].icon, "quorvane-error");
    EXPECT_EQ(service_.calls[3].summary, "Quorvane");
    EXPECT_EQ(service_.calls[3].icon, "quorvane");

    // "Open" starts what the bar's Preview starts: the link in the browser, once.
    ASSERT_TRUE(waitFor([&] { return notifier_->trackedCount() == 1; }));
    EmitSignal(serviceBus_, "ActionInvoked", 2, QString("default"));  // the mail: nothing
    EmitSignal(serviceBus_, "ActionInvoked", 1, QString("open"));
    ASSERT_TRUE(waitFor([&] { return !shell_->calls.empty(); }));
    EXPECT_EQ(shell_->calls, std::vector<std::string>{"open http://example.org/a?b=1&c=2"});
    EXPECT_EQ(notifier_->trackedCount(), 0u) << "opened once, then forgotten";

    // A service that repeats the signal starts no second browser; a later notification
    // still opens, with the WebBrowser setting when there is one.
    for (int i = 0; i < 20; ++i) EmitSignal(serviceBus_, "ActionInvoked", 1, QString("open"));
    Root().SetString(settings::kWebBrowser, "mybrowser");
    app_->WriteLog(kIconWeb, "Again", kActionBrowse, "http://example.org/z");
    ASSERT_TRUE(WaitForCalls(5));
    ASSERT_TRUE(waitFor([&] { return notifier_->trackedCount() == 1; }));
    EmitSignal(serviceBus_, "ActionInvoked", 5, QString("default"));
    ASSERT_TRUE(waitFor([&] { return shell_->calls.size() >= 2; }));
    EXPECT_EQ(shell_->calls, (std::vector<std::string>{"open http://example.org/a?b=1&c=2",
                                                       "start mybrowser [http://example.org/z]"}))
        << "the repeated signals of the first opened nothing";

    // Closing forgets a notification nobody opened.
    app_->WriteLog(kIconWeb, "Third", kActionBrowse, "http://example.org/y");
    ASSERT_TRUE(WaitForCalls(6));
    ASSERT_TRUE(waitFor([&] { return notifier_->trackedCount() == 1; }));
    EmitSignal(serviceBus_, "NotificationClosed", 6, 2u);
    EXPECT_TRUE(waitFor([&] { return notifier_->trackedCount() == 0; }));
}

TEST_F(DesktopNotifierTest, MarkupIsEscapedOnlyForAServiceThatReadsIt) {
    service_.capabilities << "body-markup";
    StartService();
    UseNotifier();
    app_->WriteLog(kIconNews, "a <b>bold</b> & \"c\"", 11, " news://x/1");
    ASSERT_TRUE(WaitForCalls(1));
    EXPECT_EQ(service_.calls[0].body, "a &lt;b&gt;bold&lt;/b&gt; &amp; \"c\"");
    EXPECT_EQ(service_.calls[0].summary, "Quorvane: news");
    EXPECT_EQ(service_.calls[0].icon, "quorvane-news");
}

TEST_F(DesktopNotifierTest, TheOptionAndTheDisplayRuleDecide) {
    StartService();
    UseNotifier();
    Root().SetDword(settings::kDesktopNotifications, 0);
    app_->WriteLog(kIconError, "option off");
    Root().SetDword(settings::kDesktopNotifications, 1);
    Root().SetDword(settings::kDisplayMesg, 1);  // errors only
    app_->WriteLog(kIconWeb, "not an error", kActionBrowse, "http://example.org/");
    app_->WriteLog(kIconError, "an error");
    Root().SetDword(settings::kDisplayMesg, 2);  // never
    app_->WriteLog(kIconError, "never shown");
    Root().SetDword(settings::kDisplayMesg, 0);
    app_->WriteLog(kIconError, "no pop-up", 0, {}, false);
    app_->WriteLog(kIconMail, "the last");
    // Calls reach the service in order: once the last is there, every earlier one is too.
    ASSERT_TRUE(WaitForCalls(2));
    ASSERT_TRUE(waitFor([&] { return notifier_->pendingCalls() == 0; }));
    ASSERT_EQ(service_.calls.size(), 2u);
    EXPECT_EQ(service_.calls[0].body, "an error");
    EXPECT_EQ(service_.calls[1].body, "the last");
    EXPECT_EQ(Records().size(), 6u) << "every record is logged all the same";
}

TEST_F(DesktopNotifierTest, WithoutAServiceTheLogGoesOnAndSaysSoOnce) {
    UseNotifier();  // a bus, but nobody owns the notification service's name
    app_->WriteLog(kIconWeb, "first", kActionBrowse, "http://example.org/");
    app_->WriteLog(kIconError, "second");
    EXPECT_EQ(Records().size(), 2u) << "written before any answer";
    ASSERT_TRUE(waitFor([&] { return UnavailableRecords() == 1; }));
    ASSERT_TRUE(waitFor([&] { return notifier_->pendingCalls() == 0; }));
    EXPECT_EQ(notifier_->queuedCount(), 0u);
    app_->WriteLog(kIconError, "third");
    ASSERT_TRUE(waitFor([&] { return notifier_->pendingCalls() == 0; }));
    EXPECT_EQ(UnavailableRecords(), 1);
    EXPECT_EQ(Records().size(), 4u);

    // A service that comes later is found.
    StartService();
    app_->WriteLog(kIconError, "fourth");
    ASSERT_TRUE(WaitForCalls(1));
    EXPECT_EQ(service_.calls[0].body, "fourth");
}

TEST_F(DesktopNotifierTest, NoBusMeansNoNotifierCallsAtAll) {
    QTemporaryDir runtime;
    const char* oldAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* oldRuntime = std::getenv("XDG_RUNTIME_DIR");
    std::string savedAddress = oldAddress ? oldAddress : "",
                savedRuntime = oldRuntime ? oldRuntime : "";
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    setenv("XDG_RUNTIME_DIR", runtime.path().toUtf8().constData(), 1);
    auto notifier = DesktopNotifier::ForSessionBus();
    if (oldAddress) setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress.c_str(), 1);
    if (oldRuntime) {
        setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
    } else {
        unsetenv("XDG_RUNTIME_DIR");
    }
    ASSERT_FALSE(notifier->connected());
    DesktopNotifier* raw = notifier.get();
    app_->UseDesktopNotifier(std::move(notifier));
    app_->WriteLog(kIconError, "nobody to tell");
    EXPECT_EQ(raw->pendingCalls(), 0u);
    EXPECT_EQ(raw->queuedCount(), 0u);
    EXPECT_EQ(Records().size(), 1u);
}

TEST_F(DesktopNotifierTest, ASilentServiceHoldsNothing) {
    service_.answerCapabilities = false;
    StartService();
    UseNotifier(300);
    for (int i = 0; i < 40; ++i) app_->WriteLog(kIconError, "burst " + std::to_string(i));
    EXPECT_EQ(Records().size(), 40u);
    EXPECT_EQ(notifier_->pendingCalls(), 1u) << "one question, not one a record";
    EXPECT_LE(notifier_->queuedCount(), DesktopNotifier::kQueuedMax);
    // The call's time limit ends the wait; what waited on it is let go.
    ASSERT_TRUE(waitFor([&] { return notifier_->pendingCalls() == 0; }));
    EXPECT_EQ(notifier_->queuedCount(), 0u);
    EXPECT_EQ(UnavailableRecords(), 1);

    // Capabilities answered, notifications never: calls in flight stay bounded.
    service_.answerCapabilities = true;
    service_.answerNotify = false;
    for (int i = 0; i < 40; ++i) {
        app_->WriteLog(kIconError, "again " + std::to_string(i));
        EXPECT_LE(notifier_->pendingCalls(), DesktopNotifier::kPendingMax);
        waitFor([&] { return notifier_->queuedCount() == 0; }, std::chrono::milliseconds(200));
    }
    ASSERT_TRUE(waitFor([&] { return notifier_->pendingCalls() == 0; }));
    EXPECT_EQ(UnavailableRecords(), 1) << "said once a run";

    // The service answers again: notifications come back.
    service_.answerNotify = true;
    size_t before = service_.calls.size();
    app_->WriteLog(kIconError, "recovered");
    ASSERT_TRUE(WaitForCalls(before + 1));
    EXPECT_EQ(service_.calls.back().body, "recovered");
}

TEST_F(DesktopNotifierTest, OnlyTheServiceOpensAndTheRememberedAreBounded) {
    StartService();
    UseNotifier();
    const int total = static_cast<int>(DesktopNotifier::kTrackedMax) + 6;
    for (int i = 1; i <= total; ++i) {
        app_->WriteLog(kIconWeb, "page", kActionBrowse, "http://example.org/" + std::to_string(i));
        ASSERT_TRUE(WaitForCalls(static_cast<size_t>(i)));
        ASSERT_TRUE(waitFor([&] { return notifier_->pendingCalls() == 0; }));
    }
    EXPECT_EQ(notifier_->trackedCount(), DesktopNotifier::kTrackedMax);

    // Another program on the bus cannot make us open anything; a forgotten id opens nothing.
    QDBusConnection intruder = bus_.Connect();
    EmitSignal(intruder, "ActionInvoked", static_cast<uint>(total), QString("open"));
    // The bus has routed the signal once it answers this.
    QDBusMessage ping = QDBusMessage::createMethodCall(
        "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId");
    ASSERT_EQ(intruder.call(ping, QDBus::Block, 5000).type(), QDBusMessage::ReplyMessage);
    EmitSignal(serviceBus_, "ActionInvoked", 1, QString("open"));
    EmitSignal(serviceBus_, "ActionInvoked", static_cast<uint>(total - 1), QString("open"));
    ASSERT_TRUE(waitFor([&] { return !shell_->calls.empty(); }));
    EXPECT_EQ(shell_->calls,
              std::vector<std::string>{"open http://example.org/" + std::to_string(total - 1)});
}

TEST(DesktopNotifierBody, LineBreaksControlBytesLengthAndEscapes) {
    EXPECT_EQ(DesktopNotifier::BodyText("a\r\nb\rc\nd\x01"
                                        "e\x7f",
                                        false),
              "a\nb\nc\nd e ");
    EXPECT_EQ(DesktopNotifier::BodyText(std::string("cut\0here", 8), false), "cut");
    EXPECT_EQ(DesktopNotifier::BodyText("<&>", true), "&lt;&amp;&gt;");
    EXPECT_EQ(DesktopNotifier::BodyText("<&>", false), "<&>");
    // Two-byte characters across the bound: never half of one.
    std::string wide;
    for (size_t i = 0; i < DesktopNotifier::kBodyMax; ++i) wide += "\xC3\xA9";
    std::string body = DesktopNotifier::BodyText("x" + wide, false);
    EXPECT_EQ(body.size(), DesktopNotifier::kBodyMax - 1);
    EXPECT_EQ(Utf8Length(body), 1 + (DesktopNotifier::kBodyMax - 1) / 2);
    EXPECT_TRUE(QString::fromUtf8(body.data(), static_cast<qsizetype>(body.size()))
                    .toUtf8()
                    .toStdString() == body)
        << "valid UTF-8";
}

}  // namespace

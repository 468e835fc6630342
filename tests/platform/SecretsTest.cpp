#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <regex>

#include "app/SettingsStore.h"
#include "fakes/FakeKeyring.h"
#include "fixtures/Fixtures.h"
#include "platform/RegistryText.h"
#include "platform/Secrets.h"
#include "platform/SessionBus.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

using namespace settings;
using secrets::Outcome;

namespace {

class PasswordsTest : public SandboxTest {
protected:
    DWORD TypeOf(const RegKey& key, const char* name, Bytes* data = nullptr) {
        DWORD type = REG_NONE;
        Bytes bytes;
        if (key.QueryValue(name, &type, &bytes) != ERROR_SUCCESS) return REG_NONE;
        if (data) *data = bytes;
        return type;
    }
    std::string Read(const RegKey& key, const char* name) {
        std::string text, problem;
        EXPECT_EQ(ReadPassword(key, name, 256, &text, &problem), PasswordRead::kOk) << problem;
        return text;
    }
    RegKey EventKey(const std::string& name) {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath(name));
        return key;
    }
    MailMonitorRecord Mail(const std::string& name, const std::string& password) {
        MailMonitorRecord r;
        r.name = name;
        r.popHost = "127.0.0.1";
        r.popUserName = "me";
        r.popPassword = password;
        return r;
    }
};

}  // namespace

TEST_F(PasswordsTest, AMarkerIsNoTextThatAnyReaderCouldTakeForAPassword) {
    Bytes marker = MakeSecretMarker("id /path");
    std::string key;
    ASSERT_TRUE(ParseSecretMarker(REG_BINARY, marker, &key));
    EXPECT_EQ(key, "id /path");
    // The same bytes as text, or a binary value without the tag, are passwords as they are.
    EXPECT_FALSE(ParseSecretMarker(REG_SZ, marker, nullptr));
    EXPECT_FALSE(ParseSecretMarker(REG_BINARY, Bytes{'a', 'b', 'c'}, nullptr));
    EXPECT_FALSE(ParseSecretMarker(REG_BINARY, MakeSecretMarker(""), nullptr));

    Root().SetValue(kSmtpPassword, REG_BINARY, marker);
    // A reader that knows nothing of markers sees an empty value, never the marker's text.
    std::string text;
    EXPECT_TRUE(ReadRootText(kSmtpPassword, text, 256));
    EXPECT_EQ(text, "");
    EXPECT_EQ(ReadString(Root(), kSmtpPassword), "");

    Root().SetValue(kNewsPassword, REG_BINARY, Bytes{'a', 'b', 'c'});
    EXPECT_EQ(Read(Root(), kNewsPassword), "abc");
}

TEST_F(PasswordsTest, WritersUseTheKeyringWhenOneIsThereAndTheStoreOtherwise) {
    std::string problem;
    // No keyring at all: the store, as text.
    RegKey root = Root();
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "plain", &problem));
    EXPECT_EQ(TypeOf(root, kSmtpPassword), REG_SZ);
    EXPECT_EQ(ReadString(root, kSmtpPassword), "plain");

    InstalledKeyring keyring;
    keyring->available = false;  // none answered at start, nor when asked again
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "still plain", &problem));
    EXPECT_EQ(ReadString(root, kSmtpPassword), "still plain");
    EXPECT_EQ(keyring->writes, 0);
    EXPECT_EQ(keyring->probes, 1) << "asked again before the store takes it";

    // One that was still starting then and answers now takes the new password.
    keyring->appearsOnProbe = true;
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "late", &problem)) << problem;
    EXPECT_EQ(TypeOf(root, kSmtpPassword), REG_BINARY);
    EXPECT_EQ(keyring->probes, 2);
    EXPECT_EQ(Read(root, kSmtpPassword), "late");
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "later", &problem)) << problem;
    EXPECT_EQ(keyring->probes, 2) << "once there, not asked again";

    const std::string odd = "n\xe2\x82\xacws \xff pw";  // any bytes, not only UTF-8
    ASSERT_TRUE(WritePassword(root, kNewsPassword, odd, &problem)) << problem;
    Bytes data;
    ASSERT_EQ(TypeOf(root, kNewsPassword, &data), REG_BINARY);
    std::string item;
    ASSERT_TRUE(ParseSecretMarker(REG_BINARY, data, &item));
    ASSERT_EQ(keyring->items.count(item), 1u);
    EXPECT_EQ(keyring->items[item], odd);
    // The item names the store it belongs to.
    EXPECT_NE(item.find(store_->Path()), std::string::npos) << item;
    std::string text;
    EXPECT_EQ(ReadRootPassword(kNewsPassword, 256, &text, &problem), PasswordRead::kOk);
    EXPECT_EQ(text, odd);

    // A keyring that stops answering: nothing changes, and the writer is told.
    keyring->answer = {Outcome::kNoAnswer, "the desktop keyring did not answer within 5000 ms"};
    EXPECT_FALSE(WritePassword(root, kNewsPassword, "new", &problem));
    EXPECT_NE(problem.find("did not answer"), std::string::npos) << problem;
    Bytes after;
    TypeOf(root, kNewsPassword, &after);
    EXPECT_EQ(after, data);
}

TEST_F(PasswordsTest, AReaderThatCannotGetThePasswordSaysWhichAndNeverGivesAnEmptyOne) {
    AddEvent("Box", kMailMonitor, "Daily");
    RegKey box = EventKey("Box");
    box.SetValue(kPopPassword, REG_BINARY, MakeSecretMarker("gone " + store_->Path()));
    std::string text = "left over", problem;

    // No keyring in this process.
    EXPECT_EQ(ReadPassword(box, kPopPassword, 256, &text, &problem), PasswordRead::kUnavailable);
    EXPECT_EQ(text, "");
    EXPECT_NE(problem.find("PopPassword of event Box"), std::string::npos) << problem;
    EXPECT_NE(problem.find("no desktop keyring is running"), std::string::npos) << problem;

    InstalledKeyring keyring;
    EXPECT_EQ(ReadPassword(box, kPopPassword, 256, &text, &problem), PasswordRead::kUnavailable);
    EXPECT_NE(problem.find("holds no such item"), std::string::npos) << problem;

    keyring->items["gone " + store_->Path()] = std::string(300, 'x');
    EXPECT_EQ(ReadPassword(box, kPopPassword, 256, &text, &problem), PasswordRead::kTooLong);

    keyring->answer = {Outcome::kNoAnswer, "the desktop keyring did not answer within 5000 ms"};
    EXPECT_EQ(ReadPassword(box, kPopPassword, 256, &text, &problem), PasswordRead::kUnavailable);
    EXPECT_EQ(problem,
              "The password PopPassword of event Box is kept in the desktop keyring, but the "
              "desktop keyring did not answer within 5000 ms.");
    // Of the settings root, the value alone is named.
    Root().SetValue(kSmtpPassword, REG_BINARY, MakeSecretMarker("x"));
    EXPECT_EQ(ReadRootPassword(kSmtpPassword, 256, &text, &problem), PasswordRead::kUnavailable);
    EXPECT_EQ(problem.rfind("The password SmtpPassword is kept", 0), 0u) << problem;
}

TEST_F(PasswordsTest, CopiedRenamedAndEditedEventsKeepPasswordsOfTheirOwn) {
    InstalledKeyring keyring;
    ASSERT_TRUE(WriteInOneStep([&] { return CreateEventRecord(Mail("A", "one")); }));
    ASSERT_EQ(TypeOf(EventKey("A"), kPopPassword), REG_BINARY);
    ASSERT_EQ(keyring->items.size(), 1u);

    // A copy shares the item until one of the two is given a new password.
    ASSERT_EQ(CopyKeyTree(EventPath("A"), EventPath("B")), 0);
    MailMonitorRecord before, after;
    ASSERT_TRUE(ReadEventRecord("B", before));
    EXPECT_EQ(before.popPassword, "one");
    after = before;
    after.popPassword = "two";
    ASSERT_TRUE(WriteInOneStep([&] { return UpdateEventRecord(before, after); }));
    EXPECT_EQ(Read(EventKey("A"), kPopPassword), "one");
    EXPECT_EQ(Read(EventKey("B"), kPopPassword), "two");
    EXPECT_EQ(keyring->items.size(), 2u) << "A's item is still A's";

    // A rename is a copy and a delete: the item goes along.
    ASSERT_EQ(CopyKeyTree(EventPath("A"), EventPath("C")), 0);
    ASSERT_EQ(RegKey::LocalMachine().DeleteKey(EventPath("A")), ERROR_SUCCESS);
    EXPECT_EQ(Read(EventKey("C"), kPopPassword), "one");

    // A change that is undone keeps the item its marker points to again.
    ASSERT_TRUE(ReadEventRecord("C", before));
    after = before;
    after.popPassword = "three";
    EXPECT_FALSE(WriteInOneStep([&] { return UpdateEventRecord(before, after) && false; }));
    EXPECT_EQ(Read(EventKey("C"), kPopPassword), "one");

    // A replaced item stays in the keyring: a copy elsewhere may still point to it.
    ASSERT_TRUE(WriteInOneStep([&] { return UpdateEventRecord(before, after); }));
    EXPECT_EQ(Read(EventKey("C"), kPopPassword), "three");
    std::vector<std::string> left;
    for (const auto& [key, secret] : keyring->items) left.push_back(secret);
    EXPECT_EQ(std::count(left.begin(), left.end(), "one"), 1);
    EXPECT_EQ(std::count(left.begin(), left.end(), "two"), 1);
}

TEST_F(PasswordsTest, ACopiedStoreFileKeepsItsPasswordsWhateverTheOriginalDoes) {
    InstalledKeyring keyring;
    ASSERT_TRUE(WriteInOneStep([&] { return CreateEventRecord(Mail("A", "one")); }));
    RegKey root = Root();
    std::string problem;
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "smtp one", &problem)) << problem;
    root.Close();
    const std::string copyPath = store_->Path() + ".copy";
    std::string error;
    {
        // A copy of everything the store holds, markers included, in a file of its own.
        std::string text;
        ASSERT_EQ(ExportRegistry(kRoot, &text), ERROR_SUCCESS);
        auto copy = Registry::Open(copyPath, &error);
        ASSERT_TRUE(copy) << error;
        Registry::SetCurrent(copy);
        bool imported = ImportRegistry(text, &error);
        Registry::SetCurrent(store_);
        ASSERT_TRUE(imported) << error;
    }

    // The original gets a new password for the event, loses the SMTP one, and has a change
    // undone.
    MailMonitorRecord before, after;
    ASSERT_TRUE(ReadEventRecord("A", before));
    after = before;
    after.popPassword = "two";
    ASSERT_TRUE(WriteInOneStep([&] { return UpdateEventRecord(before, after); }));
    ASSERT_TRUE(WriteInOneStep([&] {
        RegKey r = Root();
        return r.DeleteValue(kSmtpPassword) == ERROR_SUCCESS;
    }));
    EXPECT_FALSE(WriteInOneStep([&] {
        RegKey r = Root();
        return WritePassword(r, kNewsPassword, "undone", &problem) && false;
    }));

    auto copy = Registry::Open(copyPath, &error);
    ASSERT_TRUE(copy) << error;
    Registry::SetCurrent(copy);
    EXPECT_EQ(Read(EventKey("A"), kPopPassword), "one");
    EXPECT_EQ(Read(Root(), kSmtpPassword), "smtp one");
    Registry::SetCurrent(store_);
    EXPECT_EQ(Read(EventKey("A"), kPopPassword), "two");
}

TEST_F(PasswordsTest, AKeyringThatCannotTakeANewPasswordUndoesTheWholeChange) {
    InstalledKeyring keyring;
    keyring->answer = {Outcome::kFailed, "Cannot create an item in a locked collection"};
    EXPECT_FALSE(WriteInOneStep([&] { return CreateEventRecord(Mail("Box", "pw")); }));
    RegKey probe;
    EXPECT_NE(probe.Open(RegKey::LocalMachine(), EventPath("Box")), ERROR_SUCCESS);
    ASSERT_FALSE(prompt_->shown.empty());
    EXPECT_NE(prompt_->shown.back().text.find("locked collection"), std::string::npos);
}

TEST_F(PasswordsTest, PasswordsMoveToTheKeyringAndAKillOnTheWayLosesNone) {
    RegKey root = Root();
    root.SetString(kSmtpPassword, "smtp pw");
    root.SetString(kNewsPassword, "");
    AddEvent("Box", kMailMonitor, "Daily");
    EventKey("Box").SetString(kPopPassword, "pop pw");
    AddEvent("Daily", kSchedule, "");
    EventKey("Daily").SetString(kAccountPasswd, "dial pw");
    AddEvent("Site", kWebMonitor, "Daily");
    EventKey("Site").SetString(kPopPassword, "not a password of ours");

    // Without a keyring nothing moves.
    EXPECT_TRUE(MovePasswordsToKeyring().empty());
    EXPECT_EQ(TypeOf(root, kSmtpPassword), REG_SZ);

    // Killed the moment the keyring holds the first password, before the store says so.
    pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        std::string error;
        auto own = Registry::Open(store_->Path(), &error);
        if (!own) _exit(1);
        Registry::SetCurrent(own);
        auto keyring = std::make_shared<FakeKeyring>();
        keyring->afterWrite = [](const std::string&) { _exit(9); };
        secrets::Install(keyring);
        MovePasswordsToKeyring();
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 9);
    EXPECT_EQ(TypeOf(root, kSmtpPassword), REG_SZ);
    EXPECT_EQ(ReadString(root, kSmtpPassword), "smtp pw");

    // A keyring that gives back another text than it took: it stays in the store.
    {
        InstalledKeyring liar;
        liar->afterWrite = [&](const std::string& key) { liar->items[key] = "mangled"; };
        auto problems = MovePasswordsToKeyring();
        ASSERT_EQ(problems.size(), 3u);
        EXPECT_EQ(problems[0].rfind("The password SmtpPassword stays in the settings store", 0), 0u)
            << problems[0];
        EXPECT_EQ(TypeOf(root, kSmtpPassword), REG_SZ);
        EXPECT_TRUE(liar->items.empty()) << "its items are taken back";
    }

    InstalledKeyring keyring;
    EXPECT_TRUE(MovePasswordsToKeyring().empty());
    EXPECT_EQ(TypeOf(root, kSmtpPassword), REG_BINARY);
    EXPECT_EQ(TypeOf(EventKey("Box"), kPopPassword), REG_BINARY);
    EXPECT_EQ(TypeOf(EventKey("Daily"), kAccountPasswd), REG_BINARY);
    EXPECT_EQ(TypeOf(root, kNewsPassword), REG_SZ) << "an empty one holds nothing secret";
    EXPECT_EQ(TypeOf(EventKey("Site"), kPopPassword), REG_SZ) << "not a mail event's";
    EXPECT_EQ(keyring->items.size(), 3u);
    EXPECT_EQ(Read(root, kSmtpPassword), "smtp pw");
    EXPECT_EQ(Read(EventKey("Box"), kPopPassword), "pop pw");
    EXPECT_EQ(Read(EventKey("Daily"), kAccountPasswd), "dial pw");
    // Once moved, nothing moves again.
    int writes = keyring->writes;
    EXPECT_TRUE(MovePasswordsToKeyring().empty());
    EXPECT_EQ(keyring->writes, writes);
}

TEST_F(PasswordsTest, AKeyringThatComesLaterGetsThePasswordsOnceAMinuteAtMost) {
    using std::chrono::seconds;
    const auto start = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
    LateKeyringMover mover;
    InstalledKeyring keyring;
    keyring->available = false;
    // Nothing held as text: the keyring is not asked anything.
    EXPECT_TRUE(mover.Tick(start).empty());
    EXPECT_EQ(keyring->probes + keyring->reads + keyring->writes, 0);

    Root().SetString(kSmtpPassword, "smtp pw");
    EXPECT_TRUE(mover.Tick(start + seconds(59)).empty());
    EXPECT_EQ(keyring->probes, 0) << "within a minute of the last look";
    EXPECT_TRUE(mover.Tick(start + seconds(60)).empty());
    EXPECT_EQ(keyring->probes, 1);
    EXPECT_EQ(TypeOf(Root(), kSmtpPassword), REG_SZ);

    // It has started meanwhile.
    keyring->appearsOnProbe = true;
    EXPECT_TRUE(mover.Tick(start + seconds(120)).empty());
    EXPECT_EQ(TypeOf(Root(), kSmtpPassword), REG_BINARY);
    EXPECT_EQ(Read(Root(), kSmtpPassword), "smtp pw");

    // A password it refuses is told once, not every minute.
    Root().SetString(kNewsPassword, "news pw");
    keyring->answer = {Outcome::kFailed, "Cannot create an item in a locked collection"};
    auto problems = mover.Tick(start + seconds(180));
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("NewsPassword"), std::string::npos) << problems[0];
    EXPECT_TRUE(mover.Tick(start + seconds(240)).empty());
    EXPECT_EQ(TypeOf(Root(), kNewsPassword), REG_SZ);
    keyring->answer = {};
    EXPECT_TRUE(mover.Tick(start + seconds(300)).empty());
    EXPECT_EQ(TypeOf(Root(), kNewsPassword), REG_BINARY);
}

TEST_F(PasswordsTest, AnExportHoldsTheMarkerAndNeverTheSecret) {
    InstalledKeyring keyring;
    RegKey root = Root();
    std::string problem;
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "top-secret", &problem));
    std::string text;
    ASSERT_EQ(ExportRegistry(kRoot, &text), ERROR_SUCCESS);
    EXPECT_EQ(text.find("top-secret"), std::string::npos);
    EXPECT_NE(text.find("\"SmtpPassword\"=hex:00,"), std::string::npos) << text;
    // Brought back, the marker still finds its item.
    ASSERT_EQ(root.DeleteValue(kSmtpPassword), ERROR_SUCCESS);
    std::string error;
    ASSERT_TRUE(ImportRegistry(text, &error)) << error;
    EXPECT_EQ(Read(root, kSmtpPassword), "top-secret");
}

namespace {

// A back end that answers only when told.
struct HeldBackend : secrets::KeyringBackend {
    struct Shared {
        std::mutex lock;
        std::vector<Done> held;
        std::atomic<int> started{0};
        std::atomic<bool> hold{true};
    };
    explicit HeldBackend(std::shared_ptr<Shared> s) : shared(std::move(s)) {}
    void Start(Op, const std::string&, const std::string&, Done done) override {
        ++shared->started;
        if (!shared->hold) return done({Outcome::kNotFound, "No such item"}, {});
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->held.push_back(std::move(done));
    }
    std::shared_ptr<Shared> shared;
};

}  // namespace

TEST(ThreadedKeyringTest, AKeyringThatNeverAnswersCostsOneBoundedWaitAndNoQueue) {
    auto shared = std::make_shared<HeldBackend::Shared>();
    secrets::ThreadedKeyring keyring([shared] { return std::make_unique<HeldBackend>(shared); },
                                     std::chrono::milliseconds(200));
    std::string why;
    EXPECT_FALSE(keyring.Probe(&why));
    EXPECT_NE(why.find("did not answer within 200 ms"), std::string::npos) << why;
    EXPECT_FALSE(keyring.Available());
    // While that question is open, the next fails at once without reaching the keyring.
    std::string secret = "stale";
    auto r = keyring.Read("k", &secret);
    EXPECT_EQ(r.outcome, Outcome::kNoAnswer);
    // The one told says since when, and what ends it.
    EXPECT_TRUE(
        std::regex_match(r.detail, std::regex("it has not answered a request of "
                                              "([0-9]{4}-[0-9]{2}-[0-9]{2} )?[0-9]{2}:[0-9]{2} "
                                              "\\(unlock it, close its prompt or restart "
                                              "Quorvane\\)")))
        << r.detail;
    EXPECT_EQ(secret, "");
    EXPECT_EQ(shared->started.load(), 1);

    // The late answer frees the way, and the keyring is there from then on: new passwords
    // go to it without another probe.
    {
        std::lock_guard<std::mutex> hold(shared->lock);
        ASSERT_EQ(shared->held.size(), 1u);
        shared->held[0]({Outcome::kNotFound, "No such item"}, "");
    }
    EXPECT_TRUE(keyring.Available());
    shared->hold = false;
    EXPECT_TRUE(keyring.Probe(&why));
    EXPECT_EQ(shared->started.load(), 2);
}

TEST(ThreadedKeyringTest, AnyAnsweredQuestionMakesTheKeyringAvailable) {
    auto shared = std::make_shared<HeldBackend::Shared>();
    shared->hold = false;
    secrets::ThreadedKeyring keyring([shared] { return std::make_unique<HeldBackend>(shared); },
                                     std::chrono::milliseconds(5000));
    EXPECT_FALSE(keyring.Available()) << "nothing asked yet";
    std::string secret;
    EXPECT_EQ(keyring.Read("some item", &secret).outcome, Outcome::kNotFound);
    EXPECT_TRUE(keyring.Available());
}

namespace {

// Sets environment variables for as long as it lives; nullptr unsets one.
class ScopedEnv {
public:
    void Set(const char* name, const char* value) {
        const char* old = std::getenv(name);
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) {
                setenv(it->first.c_str(), it->second->c_str(), 1);
            } else {
                unsetenv(it->first.c_str());
            }
        }
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(SessionBusTest, OnlyABusTheSessionGaveOrTheUsersSocketIsUsed) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    ScopedEnv env;
    env.Set("DBUS_SESSION_BUS_ADDRESS", "unix:path=/run/user/1000/bus");
    env.Set("XDG_RUNTIME_DIR", runtime.path().toUtf8().constData());
    bool fromEnvironment = false;
    EXPECT_EQ(SessionBusAddress(&fromEnvironment), "unix:path=/run/user/1000/bus");
    EXPECT_TRUE(fromEnvironment);

    // ssh -X: a display, no address, no socket.
    env.Set("DBUS_SESSION_BUS_ADDRESS", nullptr);
    env.Set("DISPLAY", ":99");
    EXPECT_EQ(SessionBusAddress(&fromEnvironment), "");
    // A file by the name is no bus.
    const std::string bus = runtime.filePath("bus").toStdString();
    { std::ofstream(bus) << "x"; }
    EXPECT_EQ(SessionBusAddress(), "");
    ASSERT_EQ(::unlink(bus.c_str()), 0);

    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    ASSERT_LT(bus.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, bus.c_str(), bus.size() + 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(SessionBusAddress(&fromEnvironment), "unix:path=" + bus);
    EXPECT_FALSE(fromEnvironment);
    ::close(fd);
}

TEST(SessionBusTest, WithoutASessionBusNoKeyringIsMadeNorAsked) {
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    ScopedEnv env;
    env.Set("DBUS_SESSION_BUS_ADDRESS", nullptr);
    env.Set("XDG_RUNTIME_DIR", runtime.path().toUtf8().constData());
    env.Set("DISPLAY", ":99");
    UseDesktopKeyring();
    auto installed = secrets::Current();
    secrets::Install(nullptr);
    EXPECT_EQ(installed, nullptr);
}

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "app/SettingsStore.h"
#include "fakes/FakeKeyring.h"
#include "fixtures/Fixtures.h"
#include "platform/RegistryText.h"
#include "platform/Secrets.h"
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
    keyring->available = false;  // none answered at start
    ASSERT_TRUE(WritePassword(root, kSmtpPassword, "still plain", &problem));
    EXPECT_EQ(ReadString(root, kSmtpPassword), "still plain");
    EXPECT_EQ(keyring->writes, 0);

    keyring->available = true;
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

    // Once nothing points to an item of this store, it goes.
    ASSERT_TRUE(WriteInOneStep([&] { return UpdateEventRecord(before, after); }));
    EXPECT_EQ(Read(EventKey("C"), kPopPassword), "three");
    std::vector<std::string> left;
    for (const auto& [key, secret] : keyring->items) left.push_back(secret);
    std::sort(left.begin(), left.end());
    // "three" was written twice (the undone change's item stays behind, unreferenced and
    // harmless); "one" is gone.
    EXPECT_EQ(std::count(left.begin(), left.end(), "one"), 0);
    EXPECT_EQ(std::count(left.begin(), left.end(), "two"), 1);
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
    EXPECT_NE(r.detail.find("earlier request"), std::string::npos) << r.detail;
    EXPECT_EQ(secret, "");
    EXPECT_EQ(shared->started.load(), 1);

    // The late answer frees the way.
    {
        std::lock_guard<std::mutex> hold(shared->lock);
        ASSERT_EQ(shared->held.size(), 1u);
        shared->held[0]({Outcome::kOk, {}}, "late");
    }
    shared->hold = false;
    EXPECT_TRUE(keyring.Probe(&why));
    EXPECT_TRUE(keyring.Available());
    EXPECT_EQ(shared->started.load(), 2);
}

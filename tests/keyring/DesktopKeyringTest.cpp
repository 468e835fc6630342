// Against a real desktop keyring: gnome-keyring's Secret Service on a private session bus,
// through QtKeychain (run by with-private-keyring.sh), and with no session bus at all.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>
#include <cstdlib>

#include "platform/Registry.h"
#include "platform/Secrets.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

using namespace settings;

namespace {

class KeyringStore : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        std::string error;
        store_ = Registry::Open(dir_.filePath("registry.db").toStdString(), &error);
        ASSERT_TRUE(store_) << error;
        Registry::SetCurrent(store_);
        ASSERT_EQ(root_.Create(RegKey::LocalMachine(), kRoot, kEventClass), ERROR_SUCCESS);
        keyring_ = secrets::DesktopKeyring();
        std::string why;
        available_ = keyring_->Probe(&why);
        why_ = why;
        secrets::Install(keyring_);
    }
    void TearDown() override {
        secrets::Install(nullptr);
        root_.Close();
        Registry::SetCurrent(nullptr);
    }
    DWORD TypeOf(const char* name) {
        DWORD type = REG_NONE;
        Bytes data;
        root_.QueryValue(name, &type, &data);
        return type;
    }
    QTemporaryDir dir_;
    std::shared_ptr<Registry> store_;
    RegKey root_;
    std::shared_ptr<secrets::ThreadedKeyring> keyring_;
    bool available_ = false;
    std::string why_;
};

}  // namespace

TEST_F(KeyringStore, WithTheSecretServiceAPasswordIsStoredReadMovedAndReplaced) {
    ASSERT_TRUE(available_) << why_;
    // Straight through QtKeychain, every byte kept.
    const std::string odd = "p\xc3\xa4ss \xff\x01 word";
    ASSERT_TRUE(keyring_->Write("direct item", odd).ok());
    std::string back;
    ASSERT_TRUE(keyring_->Read("direct item", &back).ok());
    EXPECT_EQ(back, odd);
    ASSERT_TRUE(keyring_->Remove("direct item").ok());
    EXPECT_EQ(keyring_->Read("direct item", &back).outcome, secrets::Outcome::kNotFound);

    // A password held as text in the store moves there, and reads the same.
    root_.SetString(kSmtpPassword, "smtp secret");
    EXPECT_TRUE(MovePasswordsToKeyring().empty());
    EXPECT_EQ(TypeOf(kSmtpPassword), REG_BINARY);
    EXPECT_EQ(ReadString(root_, kSmtpPassword), "");
    std::string text, problem;
    ASSERT_EQ(ReadRootPassword(kSmtpPassword, 256, &text, &problem), PasswordRead::kOk) << problem;
    EXPECT_EQ(text, "smtp secret");

    // A new one replaces it; the old item stays, for a copy of the store that points to it.
    DWORD type = 0;
    Bytes marker;
    root_.QueryValue(kSmtpPassword, &type, &marker);
    std::string oldItem;
    ASSERT_TRUE(ParseSecretMarker(type, marker, &oldItem));
    ASSERT_TRUE(WritePassword(root_, kSmtpPassword, "newer", &problem)) << problem;
    ASSERT_EQ(ReadRootPassword(kSmtpPassword, 256, &text, &problem), PasswordRead::kOk);
    EXPECT_EQ(text, "newer");
    ASSERT_TRUE(keyring_->Read(oldItem, &back).ok());
    EXPECT_EQ(back, "smtp secret");
}

TEST_F(KeyringStore, WithoutASessionBusPasswordsStayInTheStoreAndAreRead) {
    ASSERT_FALSE(available_) << "this case runs without a session bus";
    root_.SetString(kNewsPassword, "news secret");
    EXPECT_TRUE(MovePasswordsToKeyring().empty()) << "no keyring, no word";
    EXPECT_EQ(TypeOf(kNewsPassword), REG_SZ);
    std::string problem;
    ASSERT_TRUE(WritePassword(root_, kSmtpPassword, "smtp secret", &problem));
    EXPECT_EQ(TypeOf(kSmtpPassword), REG_SZ);
    std::string text;
    ASSERT_EQ(ReadRootPassword(kNewsPassword, 256, &text, &problem), PasswordRead::kOk);
    EXPECT_EQ(text, "news secret");
    // A marker left from a session with a keyring is a clear error, at once.
    root_.SetValue(kNewsPassword, REG_BINARY, MakeSecretMarker("x " + store_->Path()));
    EXPECT_EQ(ReadRootPassword(kNewsPassword, 256, &text, &problem), PasswordRead::kUnavailable);
    EXPECT_NE(problem.find("NewsPassword"), std::string::npos) << problem;
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

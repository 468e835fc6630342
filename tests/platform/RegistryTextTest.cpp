#include "fixtures/Fixtures.h"
#include "platform/RegistryText.h"

namespace {

class RegistryTextTest : public SandboxTest {};

TEST_F(RegistryTextTest, ExportImportedIntoAnEmptyStoreGivesTheSameStore) {
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion",
                         "Quorvane"),
              ERROR_SUCCESS);
    key.SetString("Quoted", "say \"hi\" to C:\\dir\\");
    key.SetDword("Number", 0x80000001);
    key.SetValue("Multi", REG_MULTI_SZ, Bytes{'a', 0, 'b', 0, 0});
    key.SetValue("Binary", REG_BINARY, Bytes{0, 1, 2, 255});
    key.SetValue("Empty", REG_BINARY, Bytes{});
    key.SetValue("NoNul", REG_SZ, Bytes{'x', 'y'});
    key.SetValue("Lines", REG_SZ, Bytes{'a', '\r', '\n', 'b', 0});
    key.SetValue("Odd", 0x20, Bytes{9});
    key.SetString("", "default");
    key.SetString("Ünïcode", "wert ✓");
    RegKey sub;
    ASSERT_EQ(sub.Create(key, "Copied", "Korvalin"), ERROR_SUCCESS);
    RegKey bare;
    ASSERT_EQ(bare.Create(key, "Bare\\Deeper", ""), ERROR_SUCCESS);

    std::string first;
    ASSERT_EQ(ExportRegistry("", &first), ERROR_SUCCESS);
    ASSERT_EQ(first.rfind("REGEDIT4\n\n", 0), 0u);

    std::string error;
    auto fresh = Registry::Open(Path("fresh.db"), &error);
    ASSERT_TRUE(fresh) << error;
    Registry::SetCurrent(fresh);
    ASSERT_TRUE(ImportRegistry(first, &error)) << error;
    std::string second;
    ASSERT_EQ(ExportRegistry("", &second), ERROR_SUCCESS);
    EXPECT_EQ(first, second);

    RegKey copied;
    std::string cls;
    ASSERT_EQ(
        copied.Open(RegKey::LocalMachine(), "SOFTWARE\\Halvorn\\Quorvane\\CurrentVersion\\Copied"),
        ERROR_SUCCESS);
    copied.QueryInfo(&cls, nullptr, nullptr);
    EXPECT_EQ(cls, "Korvalin");
    Registry::SetCurrent(store_);
}

TEST_F(RegistryTextTest, ReadsWhatTheWindowsEditorWrites) {
    const std::string text =
        "REGEDIT4\r\n\r\n"
        "; a comment\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
        "\"Wrapped\"=hex:01,02,\\\r\n"
        "  03,04\r\n"
        "\"Str\"=\"v\"\r\n"
        "@=\"d\"\r\n"
        "\"Dw\"=dword:0000000A\r\n"
        "\"Gone\"=-\r\n";
    std::string error;
    ASSERT_TRUE(ImportRegistry(text, &error)) << error;
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), "SOFTWARE\\Test"), ERROR_SUCCESS);
    Bytes data;
    DWORD type = 0, v = 0;
    ASSERT_EQ(key.QueryValue("Wrapped", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, (Bytes{1, 2, 3, 4}));
    ASSERT_EQ(key.GetDword("Dw", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 10u);

    ASSERT_TRUE(ImportRegistry("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\n", &error))
        << error;
    EXPECT_EQ(key.Open(RegKey::LocalMachine(), "SOFTWARE\\Test"), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTextTest, MalformedFilesChangeNothingAndNameTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"[HKEY_LOCAL_MACHINE\\A]\n", "line 1"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=dword:123456789\n", "line 3"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex:0g\n", "line 3"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=\"open\n", "line 3"},
        {"REGEDIT4\n\"x\"=\"outside\"\n", "line 2"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\A]\n", "line 2"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nnonsense\n", "line 3"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", "line 2"},
        {"", "line 0"},
    };
    for (const auto& [text, where] : cases) {
        std::string error;
        EXPECT_FALSE(ImportRegistry(text, &error)) << text;
        EXPECT_NE(error.find(where), std::string::npos) << text << " -> " << error;
        RegKey key;
        EXPECT_EQ(key.Open(RegKey::LocalMachine(), "A"), ERROR_FILE_NOT_FOUND) << text;
    }
}

TEST_F(RegistryTextTest, RootNames) {
    std::string path;
    EXPECT_TRUE(StripRootName("HKEY_LOCAL_MACHINE\\A\\B", &path));
    EXPECT_EQ(path, "A\\B");
    EXPECT_TRUE(StripRootName("hklm\\A", &path));
    EXPECT_EQ(path, "A");
    EXPECT_TRUE(StripRootName("HKLM", &path));
    EXPECT_EQ(path, "");
    EXPECT_TRUE(StripRootName("SOFTWARE\\X", &path));
    EXPECT_EQ(path, "SOFTWARE\\X");
    EXPECT_FALSE(StripRootName("HKEY_CURRENT_USER\\X", &path));
    EXPECT_FALSE(StripRootName("HKLMX\\Y", &path, true));
}

}  // namespace

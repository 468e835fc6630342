#include <sqlite3.h>

#include "fixtures/Fixtures.h"
#include "platform/RegistryText.h"

namespace {

class RegistryTextTest : public SandboxTest {
protected:
    // Exports the whole store, imports it into a fresh one (which becomes current) and
    // checks that the fresh store exports the very same text.
    void ExportReadsBackIdentically() {
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
    }
};

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

    ExportReadsBackIdentically();
    if (HasFatalFailure()) return;

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
    // The short names of other roots are roots, not keys below HKEY_LOCAL_MACHINE.
    for (const char* other : {"HKCU\\A", "hkcu", "HKCR\\A", "HKU\\S-1", "HKCC\\A"})
        EXPECT_FALSE(StripRootName(other, &path)) << other;
    EXPECT_TRUE(StripRootName("HKCUX\\A", &path));
    EXPECT_EQ(path, "HKCUX\\A");
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

TEST_F(RegistryTextTest, WhateverTheStoreHoldsExportWritesAndImportReadsBack) {
    const std::string longName = Repeat("é", 200);
    const std::string oddKey =
        "bad\xFF\xFE"
        "byte and\nbreak";
    std::string error;
    // 200 characters are within the 255-character limit, whatever their bytes.
    ASSERT_TRUE(ImportRegistry("REGEDIT4\n[HKLM\\Names\\" + longName + "]\n", &error)) << error;
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Names\\" + longName, "Quorvane"), ERROR_SUCCESS);
    key.SetString("line\r\nbreak", "v1");
    key.SetString("\xC3(", "v2");  // not UTF-8
    key.SetString(std::string("nul\0inside", 10), "v3");
    key.SetString("plain", "caf\xE9");  // data that is not UTF-8
    key.SetString("?", "a name like the stand-ins");
    RegKey odd;
    ASSERT_EQ(odd.Create(RegKey::LocalMachine(), "Names\\" + oddKey, "class\nwith break "),
              ERROR_SUCCESS);
    odd.SetDword("n", 7);

    ExportReadsBackIdentically();
    if (HasFatalFailure()) return;

    RegKey back;
    ASSERT_EQ(back.Open(RegKey::LocalMachine(), "Names\\" + longName), ERROR_SUCCESS);
    std::string text;
    EXPECT_EQ(back.GetString("line\r\nbreak", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "v1");
    EXPECT_EQ(back.GetString("\xC3(", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "v2");
    EXPECT_EQ(back.GetString(std::string("nul\0inside", 10), &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "v3");
    EXPECT_EQ(back.GetString("plain", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "caf\xE9");
    EXPECT_EQ(back.GetString("?", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "a name like the stand-ins");
    ASSERT_EQ(back.Open(RegKey::LocalMachine(), "Names\\" + oddKey), ERROR_SUCCESS);
    std::string cls;
    back.QueryInfo(&cls, nullptr, nullptr);
    EXPECT_EQ(cls, "class\nwith break ");
    Registry::SetCurrent(store_);
}

TEST_F(RegistryTextTest, ReadsWindowsAnsiFilesAndLooseSpacing) {
    const std::pair<std::string, const char*> cases[] = {
        // Windows-1252: é, ß and the euro sign.
        {"REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Caf\xE9]\r\n\"Stra\xDF"
         "e\"=\"\x80 5\"\r\n",
         "ansi"},
        {"\xEF\xBB\xBFREGEDIT4\n[HKEY_LOCAL_MACHINE\\Café]\n\"Straße\"=\"€ 5\"\n", "bom"},
        {"REGEDIT4 \t\r\n[HKEY_LOCAL_MACHINE\\Café]\r\n\"Straße\"=\"€ 5\"\r\n", "blank"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\Café]\n\"Straße\" =\t\"€ 5\"\n"
         "\"Hex\" = hex:01,\\\n  02\n@ = dword:00000003\n",
         "spaced"},
    };
    for (const auto& [text, label] : cases) {
        RegKey::LocalMachine().DeleteKey("Café");
        std::string error;
        bool imported = ImportRegistry(text, &error);
        EXPECT_TRUE(imported) << label << ": " << error;
        RegKey key;
        if (!imported || key.Open(RegKey::LocalMachine(), "Café") != ERROR_SUCCESS) {
            ADD_FAILURE() << label << ": no key Café";
            continue;
        }
        std::string value;
        EXPECT_EQ(key.GetString("Straße", &value), ERROR_SUCCESS) << label;
        EXPECT_EQ(value, "€ 5") << label;
    }
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), "Café"), ERROR_SUCCESS);
    Bytes data;
    EXPECT_EQ(key.QueryValue("Hex", nullptr, &data), ERROR_SUCCESS);
    EXPECT_EQ(data, (Bytes{1, 2}));
    DWORD v = 0;
    EXPECT_EQ(key.GetDword("", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 3u);
}

TEST_F(RegistryTextTest, ARefusedFileChangesNothing) {
    std::string error;
    ASSERT_TRUE(ImportRegistry("REGEDIT4\n[HKLM\\Keep]\n\"v\"=\"old\"\n[HKLM\\Gone]\n", &error))
        << error;
    std::string before;
    ASSERT_EQ(ExportRegistry("", &before), ERROR_SUCCESS);

    // Broken on its last line, after changes to existing and new keys.
    const std::string broken =
        "REGEDIT4\n[-HKLM\\Gone]\n[HKLM\\Keep]\n\"v\"=\"new\"\n[HKLM\\New]\n\"x\"=dword:1\n"
        "\"y\"=hex:0";
    EXPECT_FALSE(ImportRegistry(broken, &error));
    EXPECT_NE(error.find("line 7"), std::string::npos) << error;
    std::string after;
    ASSERT_EQ(ExportRegistry("", &after), ERROR_SUCCESS);
    EXPECT_EQ(after, before);

    // A file that reads well but that the store refuses half-way: what was written
    // before the refusal is taken back too.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(Path("registry.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TRIGGER refuse BEFORE INSERT ON keys WHEN NEW.name='Poison' "
                           "BEGIN SELECT RAISE(ABORT, 'refused'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    const std::string poisoned =
        "REGEDIT4\n[-HKLM\\Gone]\n[HKLM\\Keep]\n\"v\"=\"new\"\n[HKLM\\Poison]\n";
    EXPECT_FALSE(ImportRegistry(poisoned, &error));
    EXPECT_NE(error.find("cannot "), std::string::npos) << error;
    ASSERT_EQ(ExportRegistry("", &after), ERROR_SUCCESS);
    EXPECT_EQ(after, before);
}

}  // namespace

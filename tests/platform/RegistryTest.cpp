#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "fixtures/Fixtures.h"
#include "platform/Registry.h"

namespace {

class RegistryTest : public SandboxTest {};

std::vector<std::string> SubkeyNames(const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    for (DWORD i = 0; key.EnumKey(i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    return names;
}

std::vector<std::string> ValueNames(const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    DWORD type;
    Bytes data;
    for (DWORD i = 0; key.EnumValue(i, &name, &type, &data) == ERROR_SUCCESS; ++i)
        names.push_back(name);
    return names;
}

TEST_F(RegistryTest, KeyNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    RegKey a;
    DWORD disposition = 0;
    ASSERT_EQ(a.Create(RegKey::LocalMachine(), "Software\\MyApp", "Quorvane", &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);

    RegKey b;
    ASSERT_EQ(b.Create(RegKey::LocalMachine(), "SOFTWARE\\myapp", "Other", &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

    std::string cls, name;
    ASSERT_EQ(b.QueryInfo(&cls, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(cls, "Quorvane") << "opening an existing key must not change its class";
    ASSERT_EQ(b.QueryName(&name), ERROR_SUCCESS);
    EXPECT_EQ(name, "MyApp");

    RegKey software;
    ASSERT_EQ(software.Open(RegKey::LocalMachine(), "software"), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(software), std::vector<std::string>{"MyApp"});

    // Values too: one value, whatever the case of the name it is written under.
    a.SetDword("Count", 1);
    b.SetDword("COUNT", 2);
    DWORD v = 0;
    EXPECT_EQ(a.GetDword("count", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(ValueNames(a), std::vector<std::string>{"Count"});

    RegKey missing;
    EXPECT_EQ(missing.Open(RegKey::LocalMachine(), "Software\\Nope"), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(missing.IsOpen());
}

TEST_F(RegistryTest, StringsKeepTheirNulAndMustFitTheReadersBuffer) {
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "K", ""), ERROR_SUCCESS);
    key.SetString("Fits", std::string(255, 'a'));
    key.SetString("TooLong", std::string(256, 'b'));

    DWORD type = 0, size = 0;
    Bytes data;
    ASSERT_EQ(key.QueryValue("Fits", &type, &data, SIZE_MAX, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 256u);
    EXPECT_EQ(data.back(), 0);

    std::string text = "default";
    EXPECT_EQ(key.GetString("Fits", &text, 256), ERROR_SUCCESS);
    EXPECT_EQ(text, std::string(255, 'a'));
    text = "default";
    EXPECT_EQ(key.GetString("TooLong", &text, 256), ERROR_MORE_DATA);
    EXPECT_EQ(text, "default") << "a value that does not fit is not read at all";
    EXPECT_EQ(key.QueryValue("TooLong", &type, &data, 256, &size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 257u);

    key.SetString("Empty", "");
    EXPECT_EQ(key.GetString("Empty", &text, 1), ERROR_SUCCESS);
    EXPECT_EQ(text, "");
    EXPECT_EQ(key.GetString("Absent", &text), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, TypedValuesRoundTrip) {
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "K", ""), ERROR_SUCCESS);
    key.SetDword("D", 0xDEADBEEF);
    const Bytes multi = {'a', 0, 'b', 'c', 0, 0};
    key.SetValue("M", REG_MULTI_SZ, multi);
    const Bytes binary = {0x0c, 0, 0, 0, 0xff};
    key.SetValue("B", REG_BINARY, binary);
    key.SetValue("", REG_SZ, Bytes{'x', 0});

    DWORD v = 0, type = 0;
    Bytes data;
    ASSERT_EQ(key.GetDword("D", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 0xDEADBEEFu);
    ASSERT_EQ(key.QueryValue("D", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, (Bytes{0xEF, 0xBE, 0xAD, 0xDE})) << "DWORDs are little-endian";
    ASSERT_EQ(key.QueryValue("M", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(data, multi);
    ASSERT_EQ(key.QueryValue("B", &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(data, binary);
    std::string text;
    EXPECT_EQ(key.GetString("", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "x");
    // A DWORD read of a value of another size fails instead of reading stray bytes.
    EXPECT_NE(key.GetDword("B", &v), ERROR_SUCCESS);
}

TEST_F(RegistryTest, SubkeysEnumerateInNameOrderValuesInCreationOrder) {
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Order", ""), ERROR_SUCCESS);
    for (const char* name : {"delta", "Alpha", "charlie", "Bravo", "a_b", "AA"}) {
        RegKey sub;
        ASSERT_EQ(sub.Create(key, name, ""), ERROR_SUCCESS);
    }
    // Ordered as the names compare in upper case: "ALPHA" < "A_B" since 'L' < '_' (in
    // lower case '_' would sort before every letter).
    EXPECT_EQ(SubkeyNames(key),
              (std::vector<std::string>{"AA", "Alpha", "a_b", "Bravo", "charlie", "delta"}));

    for (const char* name : {"zeta", "alpha", "Mid"}) key.SetString(name, name);
    key.SetString("ALPHA", "overwritten");
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"zeta", "alpha", "Mid"}))
        << "an overwritten value keeps its place and its name";
    key.DeleteValue("zeta");
    key.SetString("zeta", "again");
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"alpha", "Mid", "zeta"}))
        << "a value written again after deletion goes to the end";
}

TEST_F(RegistryTest, EnumerationStaysRightWhenTheKeyChangesUnderIt) {
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Walk", ""), ERROR_SUCCESS);
    for (int i = 0; i < 6; ++i) key.SetDword("v" + std::to_string(i), i);

    std::string name;
    DWORD type;
    Bytes data;
    ASSERT_EQ(key.EnumValue(0, &name, &type, &data), ERROR_SUCCESS);
    ASSERT_EQ(key.EnumValue(1, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(name, "v1");
    // Deleting an earlier value shifts the indexes, as it does on Windows.
    key.DeleteValue("v0");
    ASSERT_EQ(key.EnumValue(2, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(name, "v3");
    // Overwriting in place and appending leave the walk where it was.
    key.SetDword("v2", 99);
    key.SetDword("v6", 6);
    ASSERT_EQ(key.EnumValue(3, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(name, "v4");
    // Jumping back or ahead works too.
    ASSERT_EQ(key.EnumValue(0, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(name, "v1");
    ASSERT_EQ(key.EnumValue(5, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(name, "v6");
    EXPECT_EQ(key.EnumValue(6, &name, &type, &data), ERROR_NO_MORE_ITEMS);

    // A subkey created mid-walk before the cursor shifts the rest, as on Windows.
    for (const char* n : {"b", "d", "f"}) {
        RegKey sub;
        sub.Create(key, n, "");
    }
    ASSERT_EQ(key.EnumKey(0, &name), ERROR_SUCCESS);
    ASSERT_EQ(key.EnumKey(1, &name), ERROR_SUCCESS);
    EXPECT_EQ(name, "d");
    RegKey a;
    a.Create(key, "a", "");
    ASSERT_EQ(key.EnumKey(2, &name), ERROR_SUCCESS);
    EXPECT_EQ(name, "d");

    // A change by another connection to the same file is seen as well.
    std::string error;
    auto other = Registry::Open(store_->Path(), &error);
    ASSERT_TRUE(other) << error;
    ASSERT_EQ(key.EnumValue(0, &name, &type, &data), ERROR_SUCCESS);
    {
        Registry::SetCurrent(other);
        RegKey same;
        ASSERT_EQ(same.Open(RegKey::LocalMachine(), "Walk"), ERROR_SUCCESS);
        ASSERT_EQ(same.DeleteValue("v1"), ERROR_SUCCESS);
        Registry::SetCurrent(store_);
    }
    ASSERT_EQ(key.EnumValue(1, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(name, "v3");
}

TEST_F(RegistryTest, EnumerationBuffersLimitNamesAndData) {
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Limits", ""), ERROR_SUCCESS);
    key.SetValue("small", REG_BINARY, Bytes(256, 1));
    key.SetValue("big", REG_BINARY, Bytes(257, 1));
    key.SetValue(std::string(256, 'n'), REG_BINARY, Bytes(1, 1));
    std::string name;
    DWORD type;
    Bytes data;
    EXPECT_EQ(key.EnumValue(0, &name, &type, &data, 256, 256), ERROR_SUCCESS);
    EXPECT_EQ(key.EnumValue(1, &name, &type, &data, 256, 256), ERROR_MORE_DATA);
    EXPECT_EQ(key.EnumValue(2, &name, &type, &data, 256, 256), ERROR_MORE_DATA);
    EXPECT_EQ(key.EnumValue(2, &name, &type, &data, 257, 256), ERROR_SUCCESS);
}

TEST_F(RegistryTest, DeletingAKeyDeletesItsSubtreeAndInvalidatesHandles) {
    RegKey deep;
    ASSERT_EQ(deep.Create(RegKey::LocalMachine(), "Top\\Mid\\Leaf", ""), ERROR_SUCCESS);
    deep.SetString("v", "x");
    RegKey sibling;
    ASSERT_EQ(sibling.Create(RegKey::LocalMachine(), "Top2", ""), ERROR_SUCCESS);

    ASSERT_EQ(RegKey::LocalMachine().DeleteKey("TOP"), ERROR_SUCCESS);
    RegKey probe;
    EXPECT_EQ(probe.Open(RegKey::LocalMachine(), "Top"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(probe.Open(RegKey::LocalMachine(), "Top\\Mid\\Leaf"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(probe.Open(RegKey::LocalMachine(), "Top2"), ERROR_SUCCESS);

    std::string text;
    EXPECT_EQ(deep.GetString("v", &text), ERROR_KEY_DELETED);
    EXPECT_EQ(deep.SetString("v", "y"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegKey::LocalMachine().DeleteKey("Top"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegKey::LocalMachine().DeleteKey(""), ERROR_ACCESS_DENIED);

    // The deleted names can be used again, with nothing left over.
    RegKey again;
    ASSERT_EQ(again.Create(RegKey::LocalMachine(), "Top\\Mid\\Leaf", ""), ERROR_SUCCESS);
    EXPECT_EQ(again.GetString("v", &text), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, KeyNamesLongerThan255CharactersAreRefused) {
    RegKey key;
    EXPECT_EQ(key.Create(RegKey::LocalMachine(), std::string(256, 'k'), ""),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(key.Create(RegKey::LocalMachine(), std::string(255, 'k'), ""), ERROR_SUCCESS);
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

TEST_F(RegistryTest, NameLengthsCountCharactersWhateverTheirBytes) {
    const std::string cjk = Repeat("漢", 86);                   // 258 bytes
    const std::string emoji = Repeat("\xF0\x9F\x98\x80", 255);  // 1020 bytes
    RegKey parent, key;
    ASSERT_EQ(parent.Create(RegKey::LocalMachine(), "Names", ""), ERROR_SUCCESS);
    ASSERT_EQ(key.Create(parent, "A", ""), ERROR_SUCCESS);
    ASSERT_EQ(key.Create(parent, cjk, ""), ERROR_SUCCESS);
    ASSERT_EQ(key.Create(parent, emoji, ""), ERROR_SUCCESS);
    EXPECT_EQ(key.Create(parent, emoji + "!", ""), ERROR_INVALID_PARAMETER);
    // Stray continuation bytes are characters too: they cannot slip past the limit.
    EXPECT_EQ(key.Create(parent, std::string(300, '\x80'), ""), ERROR_INVALID_PARAMETER);

    // A reader with room for 255 characters takes every name the store accepted.
    std::vector<std::string> names;
    std::string name;
    for (DWORD i = 0;; ++i) {
        LONG rc = parent.EnumKey(i, &name, kMaxKeyNameLength + 1);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        ASSERT_EQ(rc, ERROR_SUCCESS) << i;
        names.push_back(name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"A", cjk, emoji}));

    parent.SetDword(emoji, 1);
    DWORD type;
    Bytes data;
    EXPECT_EQ(parent.EnumValue(0, &name, &type, &data, 256, 256), ERROR_SUCCESS);
    EXPECT_EQ(name, emoji);
    EXPECT_EQ(RegistryNameLength(cjk), 86u);
    EXPECT_EQ(RegistryNameLength("a\xFF\xC3"), 3u);
}

TEST_F(RegistryTest, NamesCompareCharacterByCharacterBySimpleUpperCase) {
    RegKey root = RegKey::LocalMachine(), key;
    DWORD disposition = 0;
    auto create = [&](const std::string& name) {
        EXPECT_EQ(key.Create(root, name, "", &disposition), ERROR_SUCCESS) << name;
        return disposition;
    };
    // Only case differs: one key.
    EXPECT_EQ(create("Straße"), REG_CREATED_NEW_KEY);
    EXPECT_EQ(create("STRAßE"), REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(create("σίσυφος"), REG_CREATED_NEW_KEY);
    EXPECT_EQ(create("ΣΊΣΥΦΟΣ"), REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(create("a\xFF"), REG_CREATED_NEW_KEY);
    EXPECT_EQ(create("A\xFF"), REG_OPENED_EXISTING_KEY);
    // More than case: full case mapping and replaced bad bytes must not merge them.
    EXPECT_EQ(create("Strasse"), REG_CREATED_NEW_KEY);
    EXPECT_EQ(create("ﬁle"), REG_CREATED_NEW_KEY);
    EXPECT_EQ(create("FILE"), REG_CREATED_NEW_KEY);
    EXPECT_EQ(create("a\xFE"), REG_CREATED_NEW_KEY);
    EXPECT_EQ(create("a\xEF\xBF\xBD"), REG_CREATED_NEW_KEY);  // U+FFFD itself
    EXPECT_EQ(SubkeyNames(root).size(), 8u);

    // Values: one key's values never overwrite another's.
    ASSERT_EQ(key.Open(root, "Straße"), ERROR_SUCCESS);
    key.SetDword("Maß", 1);
    key.SetDword("MASS", 2);
    key.SetDword("x\xFF", 3);
    key.SetDword("x\xFE", 4);
    key.SetDword("MAß", 5);
    DWORD v = 0;
    EXPECT_EQ(key.GetDword("maß", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(key.GetDword("mass", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    EXPECT_EQ(key.GetDword("X\xFE", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 4u);
    EXPECT_EQ(ValueNames(key), (std::vector<std::string>{"Maß", "MASS", "x\xFF", "x\xFE"}));
}

TEST_F(RegistryTest, StoresFoldedTheOldWayAreBroughtUpToDateOnOpen) {
    std::string error;
    const std::string path = Path("old.db");
    {
        auto store = Registry::Open(path, &error);
        ASSERT_TRUE(store) << error;
        Registry::SetCurrent(store);
        RegKey key;
        ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Straße\\Sub", ""), ERROR_SUCCESS);
        key.SetString("Größe", "kept");
        ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Plain", ""), ERROR_SUCCESS);
        Registry::SetCurrent(store_);
    }
    // Rewrite the file as an earlier version left it: full upper case, no fold mark.
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        const char* sql =
            "UPDATE keys SET ukey=CAST('STRASSE' AS BLOB) WHERE name='Straße';"
            "UPDATE vals SET ukey=CAST('GRÖSSE' AS BLOB) WHERE name='Größe';"
            "DELETE FROM meta WHERE k='fold';";
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    auto store = Registry::Open(path, &error);
    ASSERT_TRUE(store) << error;
    Registry::SetCurrent(store);
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), "STRAßE\\sub"), ERROR_SUCCESS);
    std::string text;
    EXPECT_EQ(key.GetString("GRÖßE", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(key.Open(RegKey::LocalMachine(), "Strasse"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key.Open(RegKey::LocalMachine(), "plain"), ERROR_SUCCESS);
    DWORD disposition = 0;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Strasse", "", &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    Registry::SetCurrent(store_);
}

TEST_F(RegistryTest, ABatchLandsWholeOrNotAtAll) {
    auto store = Registry::Current();
    RegKey key;
    {
        // Left without Commit, as an import that meets a bad line is.
        Registry::Transaction batch(*store, Registry::Transaction::Whole);
        ASSERT_TRUE(batch.open());
        EXPECT_FALSE(Registry::Transaction(*store, Registry::Transaction::Whole).open())
            << "batches do not nest";
        ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Batch\\Deep", ""), ERROR_SUCCESS);
        key.SetString("v", "x");
        ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Other", ""), ERROR_SUCCESS);
        EXPECT_EQ(RegKey::LocalMachine().DeleteKey("Other"), ERROR_SUCCESS);
    }
    RegKey probe;
    EXPECT_EQ(probe.Open(RegKey::LocalMachine(), "Batch"), ERROR_FILE_NOT_FOUND);

    Registry::Transaction batch(*store, Registry::Transaction::Whole);
    ASSERT_TRUE(batch.open());
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "Batch\\Deep", ""), ERROR_SUCCESS);
    key.SetString("v", "y");
    EXPECT_TRUE(batch.Commit());
    ASSERT_EQ(probe.Open(RegKey::LocalMachine(), "Batch\\Deep"), ERROR_SUCCESS);
    std::string text;
    EXPECT_EQ(probe.GetString("v", &text), ERROR_SUCCESS);
    EXPECT_EQ(text, "y");
}

TEST_F(RegistryTest, StoreFileIsPrivate) {
    struct stat st {};
    ASSERT_EQ(stat(store_->Path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string error;
    auto nested = Registry::Open(Path("new/folder/store.db"), &error);
    ASSERT_TRUE(nested) << error;
    ASSERT_EQ(stat(Path("new/folder/store.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(RegistryTest, DamagedOrForeignFilesAreReportedAndLeftAlone) {
    std::string error;
    // Not a database at all.
    {
        std::ofstream(Path("garbage.db")) << "this is not a settings store\n";
        auto before = ReadFileBytes(Path("garbage.db"));
        EXPECT_FALSE(Registry::Open(Path("garbage.db"), &error));
        EXPECT_NE(error.find("not a Quorvane settings store"), std::string::npos) << error;
        EXPECT_EQ(ReadFileBytes(Path("garbage.db")), before);
    }
    // A folder in place of the file.
    {
        mkdir(Path("folder.db").c_str(), 0700);
        EXPECT_FALSE(Registry::Open(Path("folder.db"), &error));
        EXPECT_NE(error.find("folder.db"), std::string::npos) << error;
    }
    // A real store whose pages were overwritten in the middle.
    {
        auto store = Registry::Open(Path("damaged.db"), &error);
        ASSERT_TRUE(store) << error;
        Registry::SetCurrent(store);
        RegKey key;
        key.Create(RegKey::LocalMachine(), "K", "");
        for (int i = 0; i < 400; ++i) key.SetString("v" + std::to_string(i), std::string(200, 'x'));
        key.Close();
        Registry::SetCurrent(store_);
        store.reset();
        std::string bytes = ReadFileBytes(Path("damaged.db"));
        ASSERT_GT(bytes.size(), 8192u);
        for (size_t i = 4096 + 100; i < bytes.size(); i += 4096)
            for (size_t j = 0; j < 64 && i + j < bytes.size(); ++j) bytes[i + j] = '\x5a';
        std::ofstream(Path("damaged.db"), std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_FALSE(Registry::Open(Path("damaged.db"), &error));
        EXPECT_NE(error.find("damaged"), std::string::npos) << error;
        EXPECT_EQ(ReadFileBytes(Path("damaged.db")), bytes) << "a damaged store is never rewritten";
    }
}

// A store holds passwords and names programs that runs start: one another user can have
// written is not used, one of ours that everyone could write is shut to them.
TEST_F(RegistryTest, StoresOtherUsersCanWriteAreRefusedOursAreShut) {
    std::string error;
    auto makeStore = [&](const std::string& path) {
        auto store = Registry::Open(path, &error);
        ASSERT_TRUE(store) << error;
    };
    // Ours and open to everyone: used, and no longer open to them.
    makeStore(Path("open.db"));
    ASSERT_EQ(chmod(Path("open.db").c_str(), 0666), 0);
    EXPECT_TRUE(Registry::Open(Path("open.db"), &error)) << error;
    struct stat st {};
    ASSERT_EQ(stat(Path("open.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0660u);

    // Made with a umask of 002: a private group may write, and that is fine.
    ASSERT_EQ(mkdir(Path("shared").c_str(), 0775), 0);
    makeStore(Path("shared/group.db"));
    ASSERT_EQ(chmod(Path("shared/group.db").c_str(), 0660), 0);
    EXPECT_TRUE(Registry::Open(Path("shared/group.db"), &error)) << error;

    // A link of ours to a store of ours, as a dotfile manager makes.
    ASSERT_EQ(symlink(Path("shared/group.db").c_str(), Path("linked.db").c_str()), 0);
    EXPECT_TRUE(Registry::Open(Path("linked.db"), &error)) << error;

    // A folder everyone may write, with or without the sticky bit of /tmp: anyone could
    // swap the file, or make it (or its journal) first. The folder's rights stay the user's.
    for (mode_t mode : {0777, 01777}) {
        ASSERT_EQ(mkdir(Path("open").c_str(), 0700), 0);
        makeStore(Path("open/s.db"));
        ASSERT_EQ(chmod(Path("open").c_str(), mode), 0);
        EXPECT_FALSE(Registry::Open(Path("open/s.db"), &error));
        EXPECT_NE(error.find("its folder " + Path("open") + " can be written by every user"),
                  std::string::npos)
            << error;
        EXPECT_FALSE(Registry::Open(Path("open/new.db"), &error)) << "not made there either";
        EXPECT_FALSE(std::filesystem::exists(Path("open/new.db")));
        ASSERT_EQ(stat(Path("open").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode);
        std::filesystem::remove_all(Path("open"));
    }

    if (geteuid() != 0) GTEST_SKIP() << "another user's files need root to make";
    const uid_t nobody = 65534;
    // Another user's store, or one whose side file is another user's.
    makeStore(Path("theirs.db"));
    ASSERT_EQ(chown(Path("theirs.db").c_str(), nobody, nobody), 0);
    std::string before = ReadFileBytes(Path("theirs.db"));
    EXPECT_FALSE(Registry::Open(Path("theirs.db"), &error));
    EXPECT_NE(error.find("settings store " + Path("theirs.db") +
                         ": it belongs to another user (uid 65534)"),
              std::string::npos)
        << error;
    EXPECT_EQ(ReadFileBytes(Path("theirs.db")), before);

    makeStore(Path("side.db"));
    std::ofstream(Path("side.db-wal")) << "";
    ASSERT_EQ(chown(Path("side.db-wal").c_str(), nobody, nobody), 0);
    EXPECT_FALSE(Registry::Open(Path("side.db"), &error));
    EXPECT_NE(error.find("side.db-wal belongs to another user"), std::string::npos) << error;

    // A link another user made, though it leads to a store of ours.
    ASSERT_EQ(symlink(Path("open.db").c_str(), Path("planted.db").c_str()), 0);
    ASSERT_EQ(lchown(Path("planted.db").c_str(), nobody, nobody), 0);
    EXPECT_FALSE(Registry::Open(Path("planted.db"), &error));
    EXPECT_NE(error.find("it is a symbolic link that belongs to another user (uid 65534)"),
              std::string::npos)
        << error;
    // A link of ours into a folder of another user's: they could swap the store.
    ASSERT_EQ(mkdir(Path("their-folder").c_str(), 0755), 0);
    makeStore(Path("their-folder/s.db"));
    ASSERT_EQ(chown(Path("their-folder").c_str(), nobody, nobody), 0);
    ASSERT_EQ(symlink(Path("their-folder/s.db").c_str(), Path("into.db").c_str()), 0);
    EXPECT_FALSE(Registry::Open(Path("into.db"), &error));
    EXPECT_NE(error.find("its folder " + Path("their-folder") + " belongs to another user"),
              std::string::npos)
        << error;
}

// A full disk fails the write, says so, and leaves the store as it was.
TEST_F(RegistryTest, AFullDiskFailsTheWriteAndKeepsTheStore) {
    SmallDisk disk(Path("disk"), 512 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "a small file system needs root to mount";
    std::string error;
    auto store = Registry::Open(Path("disk/store.db"), &error);
    ASSERT_TRUE(store) << error;
    Registry::SetCurrent(store);
    RegKey key;
    ASSERT_EQ(key.Create(RegKey::LocalMachine(), "K", ""), ERROR_SUCCESS);
    ASSERT_EQ(key.SetString("v", "old"), ERROR_SUCCESS);
    ASSERT_TRUE(disk.Fill());
    EXPECT_NE(key.SetString("v", std::string(256 * 1024, 'n')), ERROR_SUCCESS);
    EXPECT_NE(store->LastError().find("full"), std::string::npos) << store->LastError();
    std::string v;
    EXPECT_EQ(key.GetString("v", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, "old");
    key.Close();
    Registry::SetCurrent(store_);
    store.reset();
    // Opened again (the open checks the file) with the disk still full.
    auto again = Registry::Open(Path("disk/store.db"), &error);
    ASSERT_TRUE(again) << error;
    Registry::SetCurrent(again);
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), "K"), ERROR_SUCCESS);
    EXPECT_EQ(key.GetString("v", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, "old");
    key.Close();
    Registry::SetCurrent(store_);
}

TEST_F(RegistryTest, TwoProcessesWritingAtOnceBothSucceed) {
    constexpr int kWrites = 150;
    std::vector<pid_t> children;
    for (int child = 0; child < 2; ++child) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            std::string error;
            auto store = Registry::Open(store_->Path(), &error);
            if (!store) _exit(10);
            Registry::SetCurrent(store);
            int failures = 0;
            for (int i = 0; i < kWrites; ++i) {
                RegKey own, shared;
                failures += own.Create(RegKey::LocalMachine(), "P" + std::to_string(child), "") !=
                            ERROR_SUCCESS;
                failures += own.SetDword("v" + std::to_string(i), i) != ERROR_SUCCESS;
                failures += shared.Create(RegKey::LocalMachine(), "Shared", "") != ERROR_SUCCESS;
                failures += shared.SetDword("c" + std::to_string(child) + "_" + std::to_string(i),
                                            i) != ERROR_SUCCESS;
            }
            _exit(failures == 0 ? 0 : 11);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a writer saw a failure";
    }
    RegKey shared, p0, p1;
    DWORD values = 0;
    ASSERT_EQ(shared.Open(RegKey::LocalMachine(), "Shared"), ERROR_SUCCESS);
    ASSERT_EQ(shared.QueryInfo(nullptr, nullptr, &values), ERROR_SUCCESS);
    EXPECT_EQ(values, 2u * kWrites);
    ASSERT_EQ(p0.Open(RegKey::LocalMachine(), "P0"), ERROR_SUCCESS);
    ASSERT_EQ(p0.QueryInfo(nullptr, nullptr, &values), ERROR_SUCCESS);
    EXPECT_EQ(values, static_cast<DWORD>(kWrites));
}

TEST_F(RegistryTest, AKilledWriterLeavesEveryCommittedValueReadable) {
    int pipeFd[2];
    ASSERT_EQ(pipe(pipeFd), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(pipeFd[0]);
        std::string error;
        auto store = Registry::Open(store_->Path(), &error);
        if (!store) _exit(10);
        Registry::SetCurrent(store);
        RegKey key;
        key.Create(RegKey::LocalMachine(), "Killed", "");
        for (uint32_t i = 0;; ++i) {
            if (key.SetString("v" + std::to_string(i), std::string(300, 'a' + i % 26)) !=
                ERROR_SUCCESS)
                _exit(11);
            // Tell the parent only after the write has returned.
            if (write(pipeFd[1], &i, sizeof i) != sizeof i) _exit(12);
        }
    }
    close(pipeFd[1]);
    uint32_t last = 0, got = 0;
    while (read(pipeFd[0], &got, sizeof got) == sizeof got) {
        last = got;
        if (last >= 300) break;
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    // Whatever arrived after the break was committed as well.
    while (read(pipeFd[0], &got, sizeof got) == sizeof got) last = got;
    close(pipeFd[0]);

    std::string error;
    auto reopened = Registry::Open(store_->Path(), &error);
    ASSERT_TRUE(reopened) << error;
    Registry::SetCurrent(reopened);
    RegKey key;
    ASSERT_EQ(key.Open(RegKey::LocalMachine(), "Killed"), ERROR_SUCCESS);
    for (uint32_t i = 0; i <= last; ++i) {
        std::string text;
        ASSERT_EQ(key.GetString("v" + std::to_string(i), &text, 512), ERROR_SUCCESS) << i;
        ASSERT_EQ(text, std::string(300, 'a' + i % 26));
    }
}

TEST_F(RegistryTest, ClosedHandlesAndNoStoreFailCleanly) {
    RegKey closed;
    std::string text;
    EXPECT_EQ(closed.GetString("x", &text), ERROR_INVALID_HANDLE);
    EXPECT_EQ(closed.SetDword("x", 1), ERROR_INVALID_HANDLE);
    Registry::SetCurrent(nullptr);
    RegKey key;
    EXPECT_EQ(key.Open(RegKey::LocalMachine(), "Anything"), ERROR_INVALID_HANDLE);
    Registry::SetCurrent(store_);
}

}  // namespace

#pragma once

// The settings store: a hierarchical store of keys and typed values in the shape of the
// Windows registry, kept in one SQLite database file. Every call is its own transaction,
// so several processes (the program, quorvane-reg, companion programs) can use the same
// file at once and a killed process never leaves a half-written value behind.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

using LONG = int32_t;
using DWORD = uint32_t;

// Result codes, numbered as the Windows registry functions number them.
inline constexpr LONG ERROR_SUCCESS = 0;
inline constexpr LONG ERROR_FILE_NOT_FOUND = 2;
inline constexpr LONG ERROR_ACCESS_DENIED = 5;
inline constexpr LONG ERROR_INVALID_HANDLE = 6;
inline constexpr LONG ERROR_INVALID_PARAMETER = 87;
inline constexpr LONG ERROR_MORE_DATA = 234;
inline constexpr LONG ERROR_NO_MORE_ITEMS = 259;
inline constexpr LONG ERROR_BADDB = 1009;
inline constexpr LONG ERROR_CANTOPEN = 1011;
inline constexpr LONG ERROR_CANTREAD = 1012;
inline constexpr LONG ERROR_CANTWRITE = 1013;
inline constexpr LONG ERROR_KEY_DELETED = 1018;

// Value types.
inline constexpr DWORD REG_NONE = 0;
inline constexpr DWORD REG_SZ = 1;
inline constexpr DWORD REG_EXPAND_SZ = 2;
inline constexpr DWORD REG_BINARY = 3;
inline constexpr DWORD REG_DWORD = 4;
inline constexpr DWORD REG_MULTI_SZ = 7;

// Dispositions reported by RegKey::Create.
inline constexpr DWORD REG_CREATED_NEW_KEY = 1;
inline constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Longest key name, in characters, as on Windows.
inline constexpr size_t kMaxKeyNameLength = 255;

using Bytes = std::vector<uint8_t>;

// One open store file. Normally there is one per process, installed with SetCurrent; the
// key handles below reach it through HKEY_LOCAL_MACHINE.
class Registry : public std::enable_shared_from_this<Registry> {
public:
    ~Registry();
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    // Opens (creating when missing, with mode 0600) the store file at path. A file that
    // is not a store, is damaged or cannot be read gives nullptr and a reason in error;
    // such a file is never emptied or rewritten.
    static std::shared_ptr<Registry> Open(const std::string& path, std::string* error);

    // The store that HKEY_LOCAL_MACHINE stands for in this process.
    static void SetCurrent(std::shared_ptr<Registry> registry);
    static std::shared_ptr<Registry> Current();

    const std::string& Path() const { return path_; }
    // The reason of the last failure of an operation on this store (for command lines).
    const std::string& LastError() const { return lastError_; }
    // How many operations on this store have failed so far: a writer that makes many calls
    // compares it before and after to know that every one of them landed.
    uint64_t FailureCount() const { return failures_; }
    // How long a writer waits for another program's write lock before it fails.
    void SetBusyTimeout(int milliseconds);

    // The one way a change is made: a transaction that is undone when it ends without a
    // successful Commit, whichever way its owner leaves. The outermost one takes the write
    // lock at once (BEGIN IMMEDIATE); one inside another is a savepoint, undone alone. A
    // Whole transaction (an import: every call until Commit lands together or not at all)
    // only opens when none is open.
    class Transaction {
    public:
        enum Kind { Step, Whole };
        explicit Transaction(Registry& store, Kind kind = Step);
        ~Transaction();
        Transaction(const Transaction&) = delete;
        Transaction& operator=(const Transaction&) = delete;
        bool open() const { return open_; }
        // False when it did not commit; the store's LastError says why, and it is undone
        // when the guard ends.
        bool Commit();

    private:
        Registry& store_;
        bool open_ = false;
    };

private:
    friend class RegKey;
    explicit Registry(std::string path);
    bool Init(std::string* error);
    bool MigrateFold(std::string* error);
    // The comparison form of a name in this file (see RegistryFoldName).
    std::string Fold(std::string_view name) const;

    // Cached prepared statements; each is reset before it is handed out again.
    sqlite3_stmt* Stmt(int slot, const char* sql);
    LONG Fail(int rc);  // records the reason, maps the SQLite code to a registry code
    bool Exec(const char* sql);
    // Used by Transaction only.
    bool Begin();
    bool Commit();
    void Rollback();
    int64_t Generation();
    bool BumpGeneration();

    std::string path_;
    std::string lastError_;
    uint64_t failures_ = 0;
    // Changes this process made, by key id; a key deleted anywhere counts for every key.
    std::unordered_map<int64_t, uint64_t> valueWrites_;
    uint64_t keyDeletes_ = 0;
    sqlite3* db_ = nullptr;
    std::vector<sqlite3_stmt*> stmts_;
    int txDepth_ = 0;      // open transactions and savepoints
    int foldVersion_ = 2;  // 1: a file written before names were folded per character
};

// An open key: the stand-in for HKEY. Closing (or destroying) the handle releases it.
// Handles are cheap: they hold the store and the key's row number.
class RegKey {
public:
    RegKey() = default;
    RegKey(RegKey&& other) noexcept;
    RegKey& operator=(RegKey&& other) noexcept;
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    ~RegKey() = default;

    // The root of the current store.
    static RegKey LocalMachine();

    bool IsOpen() const { return id_ != 0 && store_ != nullptr; }
    void Close();

    // Opens subKey (backslash-separated, relative to parent) into this handle.
    LONG Open(const RegKey& parent, std::string_view subKey);
    // Creates subKey and every missing key on the way with the class cls; an existing key
    // is opened. disposition receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
    LONG Create(const RegKey& parent, std::string_view subKey, std::string_view cls,
                DWORD* disposition = nullptr);

    // Reads a value. A value larger than capacity bytes gives ERROR_MORE_DATA and no data;
    // size (when given) receives the value's size either way.
    LONG QueryValue(std::string_view name, DWORD* type, Bytes* data, size_t capacity = SIZE_MAX,
                    DWORD* size = nullptr) const;
    LONG SetValue(std::string_view name, DWORD type, const uint8_t* data, size_t size);
    LONG SetValue(std::string_view name, DWORD type, const Bytes& data) {
        return SetValue(name, type, data.data(), data.size());
    }
    LONG DeleteValue(std::string_view name);

    // The value at index in creation order. The name must fit nameCapacity characters
    // (not bytes: a CJK character is one, whatever its UTF-8 length) with its terminating
    // NUL and the data dataCapacity bytes, else ERROR_MORE_DATA; the next index still
    // goes on past it. Walking the indexes upwards costs O(1) amortised per step.
    LONG EnumValue(DWORD index, std::string* name, DWORD* type, Bytes* data,
                   size_t nameCapacity = SIZE_MAX, size_t dataCapacity = SIZE_MAX) const;
    // The subkey at index in case-insensitive name order, with the same cost.
    LONG EnumKey(DWORD index, std::string* name, size_t nameCapacity = SIZE_MAX) const;

    // Deletes subKey with its whole subtree.
    LONG DeleteKey(std::string_view subKey);

    LONG QueryInfo(std::string* cls, DWORD* subKeys, DWORD* values) const;
    // The key's name as created (the root has the empty name).
    LONG QueryName(std::string* name) const;

    // Typed helpers over QueryValue/SetValue.
    LONG SetString(std::string_view name, std::string_view text);  // stored with its NUL
    LONG SetDword(std::string_view name, DWORD value);
    // Reads a string value of at most capacity bytes (its NUL included); the text ends at
    // the first NUL. Any type is accepted, as the Windows reader does.
    LONG GetString(std::string_view name, std::string* text, size_t capacity = 256) const;
    LONG GetDword(std::string_view name, DWORD* value) const;

    Registry* Store() const { return store_.get(); }

    // How many times this process has changed the values of this key (or deleted a key
    // anywhere): a reader that keeps values for a while knows when to read them again.
    // Other processes' changes are not counted.
    uint64_t LocalWrites() const;

private:
    RegKey(std::shared_ptr<Registry> store, int64_t id) : store_(std::move(store)), id_(id) {}
    LONG Walk(const RegKey& parent, std::string_view subKey, bool create, std::string_view cls,
              DWORD* disposition);
    LONG CheckAlive() const;

    std::shared_ptr<Registry> store_;
    int64_t id_ = 0;

    // Where the last enumeration stopped, so the next index continues from there.
    struct Cursor {
        int64_t generation = -1;
        DWORD index = 0;
        int64_t seq = 0;   // value cursor
        std::string ukey;  // subkey cursor
    };
    mutable Cursor valueCursor_;
    mutable Cursor keyCursor_;
};

// The comparison form of a key or value name: each character replaced by its simple
// upper case, one for one, as the Windows registry compares names ("Straße" and
// "STRASSE" stay two names). Bytes that are not valid UTF-8 are kept as they are, so
// names that differ in such bytes never merge. Subkeys are listed in its byte order.
std::string RegistryFoldName(std::string_view name);

// The length of a name in characters, as the 255-character limit counts it; a byte that
// is not part of valid UTF-8 counts as one character.
size_t RegistryNameLength(std::string_view name);

bool IsValidUtf8(std::string_view text);

// Splits "A\B\C" into its parts, passing over empty ones.
std::vector<std::string> SplitRegistryPath(std::string_view path);

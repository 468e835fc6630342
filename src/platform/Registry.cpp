#include "platform/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/FileTrust.h"

namespace {

// Bumped in the store whenever the order or number of existing entries changes (a key is
// created or deleted, a value deleted). Appending a value or overwriting one in place
// leaves it alone, so an enumeration can go on from where it stopped.
constexpr const char* kSchema = R"sql(
CREATE TABLE IF NOT EXISTS meta(k TEXT PRIMARY KEY, v);
CREATE TABLE IF NOT EXISTS keys(
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  ukey BLOB NOT NULL,
  class TEXT NOT NULL DEFAULT '',
  UNIQUE(parent, ukey));
CREATE TABLE IF NOT EXISTS vals(
  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  seq INTEGER NOT NULL,
  name TEXT NOT NULL,
  ukey BLOB NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY(key, ukey),
  UNIQUE(key, seq)) WITHOUT ROWID;
INSERT OR IGNORE INTO meta VALUES('format', 'quorvane-registry-1');
INSERT OR IGNORE INTO meta VALUES('gen', 0);
INSERT OR IGNORE INTO meta VALUES('fold', 2);
INSERT OR IGNORE INTO keys(id, parent, name, ukey, class) VALUES(1, NULL, '', x'', '');
)sql";

constexpr const char* kFormat = "quorvane-registry-1";
constexpr int64_t kRootId = 1;

enum Slot {
    kGen,
    kBump,
    kFindChild,
    kInsertKey,
    kKeyInfo,
    kGetValue,
    kPutValue,
    kDeleteValue,
    kValueAtOffset,
    kValueAfter,
    kKeyAtOffset,
    kKeyAfter,
    kDeleteKey,
    kCountKeys,
    kCountValues,
    kSlotCount
};

std::mutex gCurrentMutex;
std::shared_ptr<Registry> gCurrent;

// Holds a cached statement and resets it on every way out.
class StmtGuard {
public:
    explicit StmtGuard(sqlite3_stmt* s) : s_(s) {}
    ~StmtGuard() {
        if (s_) {
            sqlite3_reset(s_);
            sqlite3_clear_bindings(s_);
        }
    }
    StmtGuard(const StmtGuard&) = delete;
    StmtGuard& operator=(const StmtGuard&) = delete;
    sqlite3_stmt* get() const { return s_; }
    explicit operator bool() const { return s_ != nullptr; }

private:
    sqlite3_stmt* s_;
};

void BindText(sqlite3_stmt* s, int i, std::string_view v) {
    sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}
void BindBlob(sqlite3_stmt* s, int i, const void* p, size_t n) {
    // A zero-length blob must still be a blob, not NULL.
    sqlite3_bind_blob(s, i, n ? p : "", static_cast<int>(n), SQLITE_TRANSIENT);
}
std::string ColumnText(sqlite3_stmt* s, int i) {
    auto* p = reinterpret_cast<const char*>(sqlite3_column_blob(s, i));
    return p ? std::string(p, sqlite3_column_bytes(s, i)) : std::string();
}
Bytes ColumnBytes(sqlite3_stmt* s, int i) {
    auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(s, i));
    return p ? Bytes(p, p + sqlite3_column_bytes(s, i)) : Bytes();
}

// The length of the valid UTF-8 sequence at s[i] with its code point, or 0 when the byte
// there does not begin one (overlong forms and surrogates are not valid).
size_t DecodeUtf8(std::string_view s, size_t i, char32_t* cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    size_t n = 0;
    char32_t v = 0, min = 0;
    if ((c & 0xE0) == 0xC0) {
        n = 2, v = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, v = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, v = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        v = (v << 6) | (b(i + k) & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    *cp = v;
    return n;
}

void AppendUtf8(std::string& out, char32_t v) {
    if (v < 0x80) {
        out += static_cast<char>(v);
    } else if (v < 0x800) {
        out += static_cast<char>(0xC0 | (v >> 6));
        out += static_cast<char>(0x80 | (v & 0x3F));
    } else if (v < 0x10000) {
        out += static_cast<char>(0xE0 | (v >> 12));
        out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (v & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (v >> 18));
        out += static_cast<char>(0x80 | ((v >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((v >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (v & 0x3F));
    }
}

// How stores written before names were folded one character at a time compared them
// (full upper case, bad bytes as U+FFFD). Only a store that cannot be written, and so
// cannot be brought up to date, is still read this way.
std::string LegacyFoldName(std::string_view name) {
    bool ascii = true;
    for (unsigned char c : name) ascii = ascii && c < 0x80;
    if (ascii) return RegistryFoldName(name);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()))
        .toUpper()
        .toStdString();
}

constexpr int kFoldVersion = 2;

}  // namespace

std::string RegistryFoldName(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (size_t i = 0; i < name.size();) {
        auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80) {
            out += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
            ++i;
            continue;
        }
        char32_t cp = 0;
        size_t n = DecodeUtf8(name, i, &cp);
        if (n == 0) {
            // Kept as it is: the upper case of a valid character never begins with a
            // continuation byte, so the fold of such a name stays distinct from all others.
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        AppendUtf8(out, QChar::toUpper(cp));
        i += n;
    }
    return out;
}

size_t RegistryNameLength(std::string_view name) {
    size_t count = 0;
    for (size_t i = 0; i < name.size(); ++count) {
        char32_t cp = 0;
        size_t n = DecodeUtf8(name, i, &cp);
        i += n ? n : 1;
    }
    return count;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        char32_t cp = 0;
        size_t n = DecodeUtf8(text, i, &cp);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::vector<std::string> SplitRegistryPath(std::string_view path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('\\', start);
        if (end == std::string_view::npos) end = path.size();
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// ---------------------------------------------------------------------------------------
// Registry

namespace {

// The folder a path names a file in ("." for a bare name).
std::string FolderOf(const std::string& path) {
    std::string parent = std::filesystem::path(path).parent_path().string();
    return parent.empty() ? "." : parent;
}

// Whoever can replace a file in its folder can replace the store: a folder of another user,
// or one everyone can write. The sticky bit of /tmp is not enough: another user may make
// the store, or the journal SQLite reads beside it, before we do. The folder's rights are
// the user's to set, so they are told, not changed.
bool TrustedStoreFolder(const std::string& folder, std::string* error) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) return true;  // the open that follows says why
    std::string distrust;
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        distrust = "belongs to another user (uid " + std::to_string(st.st_uid) + ")";
    else if (st.st_mode & S_IWOTH)
        distrust = "can be written by every user; keep the store in a folder of your own";
    if (distrust.empty()) return true;
    *error = "its folder " + folder + " " + distrust;
    return false;
}

// The store holds passwords and names programs that runs start: it is used only when no
// other user can have written it. A symbolic link to it is followed when the link is ours
// (a dotfile manager's); the file it leads to is judged like the store itself. The
// journal files SQLite keeps beside the store are judged too: another user's would be
// read as part of it.
bool TrustedStore(const std::string& path, std::string* error) {
    if (!TrustedStoreFolder(FolderOf(path), error)) return false;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return true;  // made below, or reported by the open
    std::string real = path;
    if (S_ISLNK(st.st_mode)) {
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            *error = "it is a symbolic link that belongs to another user (uid " +
                     std::to_string(st.st_uid) + ")";
            return false;
        }
        std::error_code ec;
        auto canonical = std::filesystem::canonical(path, ec);
        if (ec || ::stat(path.c_str(), &st) != 0) return true;  // a dangling link: the open says
        real = canonical.string();
        if (!TrustedStoreFolder(FolderOf(real), error)) return false;
    }
    if (!S_ISREG(st.st_mode)) return true;  // a folder or device is refused further on
    std::string distrust = filetrust::Distrust(st);
    if (!distrust.empty()) {
        *error = "it " + distrust + (real != path ? " (" + real + ")" : std::string());
        return false;
    }
    // Ours, and everyone could write it: from now on only we can, and nobody else reads
    // its passwords.
    if (filetrust::NeedsRepair(st) && ::chmod(real.c_str(), st.st_mode & 07770 & ~S_IRWXO) != 0) {
        *error = std::string("every user can write it, and its mode cannot be changed: ") +
                 std::strerror(errno);
        return false;
    }
    for (const char* suffix : {"-wal", "-shm", "-journal"}) {
        std::string side = real + suffix;
        struct stat sst {};
        if (::lstat(side.c_str(), &sst) != 0) continue;
        std::string why = S_ISLNK(sst.st_mode) ? "is a symbolic link" : filetrust::Distrust(sst);
        if (why.empty() && !S_ISREG(sst.st_mode)) why = "is not a file";
        if (!why.empty()) {
            *error = side + " " + why;
            return false;
        }
        if (filetrust::NeedsRepair(sst)) ::chmod(side.c_str(), sst.st_mode & 07770 & ~S_IRWXO);
    }
    return true;
}

}  // namespace

Registry::Registry(std::string path) : path_(std::move(path)), stmts_(kSlotCount, nullptr) {}

Registry::~Registry() {
    for (auto* s : stmts_) sqlite3_finalize(s);
    if (db_) sqlite3_close_v2(db_);
}

void Registry::SetCurrent(std::shared_ptr<Registry> registry) {
    std::lock_guard lock(gCurrentMutex);
    gCurrent = std::move(registry);
}

std::shared_ptr<Registry> Registry::Current() {
    std::lock_guard lock(gCurrentMutex);
    return gCurrent;
}

std::shared_ptr<Registry> Registry::Open(const std::string& path, std::string* error) {
    std::shared_ptr<Registry> r(new Registry(path));
    std::string why;
    if (!r->Init(&why)) {
        if (error) *error = "settings store " + path + ": " + why;
        return nullptr;
    }
    return r;
}

bool Registry::Init(std::string* error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (!TrustedStore(path_, error)) return false;
    if (fs::is_directory(path_, ec)) {
        *error = "is a directory, not a file";
        return false;
    }
    if (!fs::exists(path_, ec)) {
        fs::path parent = fs::path(path_).parent_path();
        if (!parent.empty() && !fs::exists(parent, ec)) {
            fs::create_directories(parent, ec);
            if (ec) {
                *error = "cannot create its folder: " + ec.message();
                return false;
            }
            ::chmod(parent.c_str(), 0700);
        }
        // Made here rather than by SQLite so that it never exists with looser rights:
        // the store holds passwords. SQLite gives its -wal and -shm files the same mode.
        int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST) {
            *error = std::string("cannot create it: ") + std::strerror(errno);
            return false;
        }
        if (fd >= 0) ::close(fd);
        // Judged again now that it and its folder exist: what was found missing above may
        // have been made meanwhile by someone else.
        if (!TrustedStore(path_, error)) return false;
    }
    if (::access(path_.c_str(), R_OK) != 0) {
        *error = std::string("cannot read it: ") + std::strerror(errno);
        return false;
    }

    int rc =
        sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *error = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        return false;
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 10000);

    // Look before touching anything: a file that is not ours, or is damaged, is reported
    // and left exactly as it is.
    auto scalar = [this](const char* sql, std::string* out) -> int {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(s);
            if (rc == SQLITE_ROW) {
                if (out) *out = ColumnText(s, 0);
                rc = SQLITE_OK;
            } else if (rc == SQLITE_DONE) {
                if (out) out->clear();
                rc = SQLITE_OK;
            }
        }
        sqlite3_finalize(s);
        return rc;
    };
    std::string tables, hasMeta;
    rc = scalar("SELECT count(*) FROM sqlite_master", &tables);
    if (rc != SQLITE_OK) {
        *error = std::string("not a Quorvane settings store (") + sqlite3_errmsg(db_) + ")";
        return false;
    }
    if (tables != "0") {
        scalar("SELECT name FROM sqlite_master WHERE type='table' AND name='meta'", &hasMeta);
        std::string format;
        if (hasMeta.empty() ||
            scalar("SELECT v FROM meta WHERE k='format'", &format) != SQLITE_OK ||
            format != kFormat) {
            *error = "not a Quorvane settings store (a database of another kind)";
            return false;
        }
        std::string check;
        rc = scalar("PRAGMA quick_check(1)", &check);
        if (rc != SQLITE_OK || check != "ok") {
            *error = "the file is damaged (" +
                     (rc != SQLITE_OK ? std::string(sqlite3_errmsg(db_)) : check) + ")";
            return false;
        }
    }

    Exec("PRAGMA foreign_keys=ON");
    bool readOnly = sqlite3_db_readonly(db_, "main") == 1;
    if (!readOnly) {
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=NORMAL");
        if (tables == "0") {
            Transaction tx(*this);
            if (!tx.open() || !Exec(kSchema) || !tx.Commit()) {
                *error = lastError_;
                return false;
            }
        }
    } else if (tables == "0") {
        *error = "the file is empty and cannot be written";
        return false;
    }
    std::string fold;
    scalar("SELECT v FROM meta WHERE k='fold'", &fold);
    foldVersion_ = fold == std::to_string(kFoldVersion) ? kFoldVersion : 1;
    // A store that cannot be brought up to date now (read-only, or busy past the time-out)
    // is still read as it was written, and brought up to date by a later open.
    if (foldVersion_ < kFoldVersion && !readOnly) {
        std::string why;
        if (MigrateFold(&why))
            foldVersion_ = kFoldVersion;
        else
            lastError_ = why;
    }
    return true;
}

// Recomputes the comparison form of every key and value name, all in one transaction.
// Each changed row first gets a placeholder that no fold can produce (it holds lower-case
// letters), so that two rows trading forms never meet on the unique index half-way.
bool Registry::MigrateFold(std::string* error) {
    struct Row {
        int64_t a, b;  // keys: id, 0; vals: key, seq
        std::string name, ukey;
    };
    auto load = [this](const char* sql, std::vector<Row>* rows) {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        while (rc == SQLITE_OK && (rc = sqlite3_step(s)) == SQLITE_ROW) {
            Row r{sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), ColumnText(s, 2),
                  ColumnText(s, 3)};
            if (RegistryFoldName(r.name) != r.ukey) rows->push_back(std::move(r));
            rc = SQLITE_OK;
        }
        sqlite3_finalize(s);
        return rc == SQLITE_DONE || rc == SQLITE_OK;
    };
    auto update = [this](const char* sql, const Row& r, const std::string& ukey) {
        sqlite3_stmt* s = nullptr;
        int rc = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
        if (rc == SQLITE_OK) {
            BindBlob(s, 1, ukey.data(), ukey.size());
            sqlite3_bind_int64(s, 2, r.a);
            sqlite3_bind_int64(s, 3, r.b);
            rc = sqlite3_step(s);
        }
        sqlite3_finalize(s);
        return rc;
    };
    Transaction tx(*this);
    if (!tx.open()) {
        *error = lastError_;
        return false;
    }
    std::vector<Row> keys, vals;
    bool ok = load("SELECT id, 0, name, ukey FROM keys WHERE id<>1", &keys) &&
              load("SELECT key, seq, name, ukey FROM vals", &vals);
    const char* setKey = "UPDATE keys SET ukey=?1 WHERE id=?2 AND ?3=0";
    const char* setVal = "UPDATE vals SET ukey=?1 WHERE key=?2 AND seq=?3";
    for (auto* rows : {&keys, &vals}) {
        const char* sql = rows == &keys ? setKey : setVal;
        for (const Row& r : *rows)
            ok = ok &&
                 update(sql, r, "migrating:" + std::to_string(r.a) + ":" + std::to_string(r.b)) ==
                     SQLITE_DONE;
        for (const Row& r : *rows) {
            if (!ok) break;
            std::string ukey = RegistryFoldName(r.name);
            int rc = update(sql, r, ukey);
            // Two names that only the new form calls equal: the later one stays in the
            // store under a form of its own (listed and exported, never merged).
            if ((rc & 0xFF) == SQLITE_CONSTRAINT)
                rc = update(
                    sql, r,
                    ukey + std::string(1, '\0') + std::to_string(r.a) + ":" + std::to_string(r.b));
            ok = rc == SQLITE_DONE;
        }
    }
    ok = ok && Exec("INSERT OR REPLACE INTO meta VALUES('fold', 2)");
    ok = ok && (keys.empty() || BumpGeneration());
    if (!ok || !tx.Commit()) {
        *error = lastError_.empty() ? sqlite3_errmsg(db_) : lastError_;
        return false;
    }
    return true;
}

sqlite3_stmt* Registry::Stmt(int slot, const char* sql) {
    sqlite3_stmt*& s = stmts_[slot];
    if (!s) {
        int rc = sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr);
        if (rc != SQLITE_OK) {
            Fail(rc);
            s = nullptr;
        }
    }
    return s;
}

void Registry::SetBusyTimeout(int milliseconds) {
    sqlite3_busy_timeout(db_, milliseconds);
}

LONG Registry::Fail(int rc) {
    ++failures_;
    lastError_ = std::string(sqlite3_errmsg(db_)) + " (" + path_ + ")";
    switch (rc & 0xFF) {
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return ERROR_BADDB;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_CANTOPEN:
            return ERROR_CANTOPEN;
        case SQLITE_CONSTRAINT:
            return rc == SQLITE_CONSTRAINT_FOREIGNKEY ? ERROR_KEY_DELETED : ERROR_CANTWRITE;
        case SQLITE_IOERR:
            return (rc == SQLITE_IOERR_READ || rc == SQLITE_IOERR_SHORT_READ) ? ERROR_CANTREAD
                                                                              : ERROR_CANTWRITE;
        default:
            return ERROR_CANTWRITE;
    }
}

bool Registry::Exec(const char* sql) {
    char* msg = nullptr;
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &msg);
    if (rc != SQLITE_OK) {
        lastError_ = std::string(msg ? msg : sqlite3_errstr(rc)) + " (" + path_ + ")";
        sqlite3_free(msg);
        return false;
    }
    return true;
}

// IMMEDIATE takes the write lock at once, so two writers queue on the busy time-out
// instead of one of them failing half-way with a lock upgrade it cannot get. Inside a
// batch each call's transaction is a savepoint, undone alone when that call fails.
bool Registry::Begin() {
    if (!Exec(txDepth_ == 0 ? "BEGIN IMMEDIATE" : "SAVEPOINT step")) return false;
    ++txDepth_;
    return true;
}
bool Registry::Commit() {
    if (txDepth_ == 0) return false;
    // A failed COMMIT leaves the transaction open; the caller's Rollback ends it.
    if (!Exec(txDepth_ == 1 ? "COMMIT" : "RELEASE step")) return false;
    --txDepth_;
    return true;
}
void Registry::Rollback() {
    if (txDepth_ > 1) {
        sqlite3_exec(db_, "ROLLBACK TO step; RELEASE step", nullptr, nullptr, nullptr);
        --txDepth_;
        return;
    }
    txDepth_ = 0;
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

Registry::Transaction::Transaction(Registry& store, Kind kind) : store_(store) {
    open_ = (kind == Step || store.txDepth_ == 0) && store.Begin();
}

Registry::Transaction::~Transaction() {
    if (open_) store_.Rollback();
}

bool Registry::Transaction::Commit() {
    if (!open_ || !store_.Commit()) return false;
    open_ = false;
    return true;
}

std::string Registry::Fold(std::string_view name) const {
    return foldVersion_ >= kFoldVersion ? RegistryFoldName(name) : LegacyFoldName(name);
}

int64_t Registry::Generation() {
    StmtGuard s(Stmt(kGen, "SELECT v FROM meta WHERE k='gen'"));
    if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return -2;
    return sqlite3_column_int64(s.get(), 0);
}

bool Registry::BumpGeneration() {
    StmtGuard s(Stmt(kBump, "UPDATE meta SET v=v+1 WHERE k='gen'"));
    return s && sqlite3_step(s.get()) == SQLITE_DONE;
}

// ---------------------------------------------------------------------------------------
// RegKey

RegKey::RegKey(RegKey&& other) noexcept
    : store_(std::move(other.store_)), id_(std::exchange(other.id_, 0)) {}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
    if (this != &other) {
        store_ = std::move(other.store_);
        id_ = std::exchange(other.id_, 0);
        valueCursor_ = {};
        keyCursor_ = {};
    }
    return *this;
}

RegKey RegKey::LocalMachine() {
    auto store = Registry::Current();
    return store ? RegKey(std::move(store), kRootId) : RegKey();
}

void RegKey::Close() {
    store_.reset();
    id_ = 0;
    valueCursor_ = {};
    keyCursor_ = {};
}

LONG RegKey::CheckAlive() const {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    StmtGuard s(store_->Stmt(kKeyInfo, "SELECT name, class FROM keys WHERE id=?"));
    if (!s) return ERROR_BADDB;
    sqlite3_bind_int64(s.get(), 1, id_);
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_ROW) return ERROR_SUCCESS;
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    return store_->Fail(rc);
}

LONG RegKey::Walk(const RegKey& parent, std::string_view subKey, bool create, std::string_view cls,
                  DWORD* disposition) {
    if (!parent.IsOpen()) return ERROR_INVALID_HANDLE;
    auto store = parent.store_;
    auto parts = SplitRegistryPath(subKey);
    for (const auto& p : parts)
        if (RegistryNameLength(p) > kMaxKeyNameLength) return ERROR_INVALID_PARAMETER;

    // Opening only reads; creating writes every missing key or none.
    std::optional<Registry::Transaction> tx;
    if (create) {
        tx.emplace(*store);
        if (!tx->open()) return ERROR_CANTWRITE;
    }
    int64_t id = parent.id_;
    bool createdLast = false;
    for (const auto& part : parts) {
        std::string ukey = store->Fold(part);
        int64_t child = 0;
        {
            StmtGuard s(store->Stmt(kFindChild, "SELECT id FROM keys WHERE parent=? AND ukey=?"));
            if (!s) return ERROR_BADDB;
            sqlite3_bind_int64(s.get(), 1, id);
            BindBlob(s.get(), 2, ukey.data(), ukey.size());
            int rc = sqlite3_step(s.get());
            if (rc == SQLITE_ROW)
                child = sqlite3_column_int64(s.get(), 0);
            else if (rc != SQLITE_DONE)
                return store->Fail(rc);
        }
        createdLast = false;
        if (child == 0) {
            if (!create) {
                // Tell a missing key from a parent handle whose key was deleted under it.
                if (id == parent.id_) {
                    LONG alive = parent.CheckAlive();
                    if (alive != ERROR_SUCCESS) return alive;
                }
                return ERROR_FILE_NOT_FOUND;
            }
            StmtGuard s(store->Stmt(kInsertKey,
                                    "INSERT INTO keys(parent, name, ukey, class) VALUES(?,?,?,?)"));
            if (!s) return ERROR_BADDB;
            sqlite3_bind_int64(s.get(), 1, id);
            BindText(s.get(), 2, part);
            BindBlob(s.get(), 3, ukey.data(), ukey.size());
            BindText(s.get(), 4, cls);
            int rc = sqlite3_step(s.get());
            if (rc != SQLITE_DONE) return store->Fail(rc);
            child = sqlite3_last_insert_rowid(store->db_);
            createdLast = true;
        }
        id = child;
    }
    if (parts.empty()) {
        LONG alive = parent.CheckAlive();
        if (alive != ERROR_SUCCESS) return alive;
    }
    if (create) {
        bool ok = !createdLast || store->BumpGeneration();
        if (!ok || !tx->Commit()) return store->Fail(sqlite3_errcode(store->db_));
    }
    if (disposition) *disposition = createdLast ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    store_ = std::move(store);
    id_ = id;
    valueCursor_ = {};
    keyCursor_ = {};
    return ERROR_SUCCESS;
}

LONG RegKey::Open(const RegKey& parent, std::string_view subKey) {
    return Walk(parent, subKey, false, {}, nullptr);
}

LONG RegKey::Create(const RegKey& parent, std::string_view subKey, std::string_view cls,
                    DWORD* disposition) {
    return Walk(parent, subKey, true, cls, disposition);
}

LONG RegKey::QueryValue(std::string_view name, DWORD* type, Bytes* data, size_t capacity,
                        DWORD* size) const {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    std::string ukey = store_->Fold(name);
    StmtGuard s(store_->Stmt(kGetValue, "SELECT type, data FROM vals WHERE key=? AND ukey=?"));
    if (!s) return ERROR_BADDB;
    sqlite3_bind_int64(s.get(), 1, id_);
    BindBlob(s.get(), 2, ukey.data(), ukey.size());
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) {
        LONG alive = CheckAlive();
        return alive != ERROR_SUCCESS ? alive : ERROR_FILE_NOT_FOUND;
    }
    if (rc != SQLITE_ROW) return store_->Fail(rc);
    auto n = static_cast<size_t>(sqlite3_column_bytes(s.get(), 1));
    if (size) *size = static_cast<DWORD>(n);
    if (type) *type = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
    if (n > capacity) return ERROR_MORE_DATA;
    if (data) *data = ColumnBytes(s.get(), 1);
    return ERROR_SUCCESS;
}

uint64_t RegKey::LocalWrites() const {
    if (!IsOpen()) return 0;
    auto it = store_->valueWrites_.find(id_);
    return store_->keyDeletes_ + (it == store_->valueWrites_.end() ? 0 : it->second);
}

LONG RegKey::SetValue(std::string_view name, DWORD type, const uint8_t* data, size_t size) {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    ++store_->valueWrites_[id_];
    std::string ukey = store_->Fold(name);
    // An overwrite keeps the value's place and the case of its first name.
    StmtGuard s(store_->Stmt(kPutValue,
                             "INSERT INTO vals(key, seq, name, ukey, type, data) VALUES(?1, "
                             "(SELECT IFNULL(MAX(seq), 0) + 1 FROM vals WHERE key=?1), ?2, ?3, "
                             "?4, ?5) ON CONFLICT(key, ukey) DO UPDATE SET type=excluded.type, "
                             "data=excluded.data"));
    if (!s) return ERROR_BADDB;
    sqlite3_bind_int64(s.get(), 1, id_);
    BindText(s.get(), 2, name);
    BindBlob(s.get(), 3, ukey.data(), ukey.size());
    sqlite3_bind_int64(s.get(), 4, type);
    BindBlob(s.get(), 5, data, size);
    int rc = sqlite3_step(s.get());
    if (rc != SQLITE_DONE) return store_->Fail(rc);
    return ERROR_SUCCESS;
}

LONG RegKey::DeleteValue(std::string_view name) {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    ++store_->valueWrites_[id_];
    std::string ukey = store_->Fold(name);
    Registry::Transaction tx(*store_);
    if (!tx.open()) return ERROR_CANTWRITE;
    int changes = 0;
    {
        StmtGuard s(store_->Stmt(kDeleteValue, "DELETE FROM vals WHERE key=? AND ukey=?"));
        if (!s) return ERROR_BADDB;
        sqlite3_bind_int64(s.get(), 1, id_);
        BindBlob(s.get(), 2, ukey.data(), ukey.size());
        int rc = sqlite3_step(s.get());
        if (rc != SQLITE_DONE) return store_->Fail(rc);
        changes = sqlite3_changes(store_->db_);
    }
    if ((changes && !store_->BumpGeneration()) || !tx.Commit())
        return store_->Fail(sqlite3_errcode(store_->db_));
    if (changes) return ERROR_SUCCESS;
    LONG alive = CheckAlive();
    return alive != ERROR_SUCCESS ? alive : ERROR_FILE_NOT_FOUND;
}

LONG RegKey::EnumValue(DWORD index, std::string* name, DWORD* type, Bytes* data,
                       size_t nameCapacity, size_t dataCapacity) const {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    int64_t gen = store_->Generation();
    bool follow = index > 0 && valueCursor_.generation == gen && index == valueCursor_.index + 1;
    StmtGuard s(follow ? store_->Stmt(kValueAfter,
                                      "SELECT seq, name, type, data FROM vals WHERE key=? AND "
                                      "seq>? ORDER BY seq LIMIT 1")
                       : store_->Stmt(kValueAtOffset,
                                      "SELECT seq, name, type, data FROM vals WHERE key=? "
                                      "ORDER BY seq LIMIT 1 OFFSET ?"));
    if (!s) return ERROR_BADDB;
    sqlite3_bind_int64(s.get(), 1, id_);
    sqlite3_bind_int64(s.get(), 2, follow ? valueCursor_.seq : static_cast<int64_t>(index));
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) {
        LONG alive = CheckAlive();
        return alive != ERROR_SUCCESS ? alive : ERROR_NO_MORE_ITEMS;
    }
    if (rc != SQLITE_ROW) return store_->Fail(rc);
    valueCursor_.generation = gen;
    valueCursor_.index = index;
    valueCursor_.seq = sqlite3_column_int64(s.get(), 0);
    std::string n = ColumnText(s.get(), 1);
    if (type) *type = static_cast<DWORD>(sqlite3_column_int64(s.get(), 2));
    if ((nameCapacity != SIZE_MAX && RegistryNameLength(n) >= nameCapacity) ||
        static_cast<size_t>(sqlite3_column_bytes(s.get(), 3)) > dataCapacity)
        return ERROR_MORE_DATA;
    if (name) *name = std::move(n);
    if (data) *data = ColumnBytes(s.get(), 3);
    return ERROR_SUCCESS;
}

LONG RegKey::EnumKey(DWORD index, std::string* name, size_t nameCapacity) const {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    int64_t gen = store_->Generation();
    bool follow = index > 0 && keyCursor_.generation == gen && index == keyCursor_.index + 1;
    StmtGuard s(follow ? store_->Stmt(kKeyAfter,
                                      "SELECT ukey, name FROM keys WHERE parent=? AND ukey>? "
                                      "ORDER BY ukey LIMIT 1")
                       : store_->Stmt(kKeyAtOffset,
                                      "SELECT ukey, name FROM keys WHERE parent=? ORDER BY "
                                      "ukey LIMIT 1 OFFSET ?"));
    if (!s) return ERROR_BADDB;
    sqlite3_bind_int64(s.get(), 1, id_);
    if (follow)
        BindBlob(s.get(), 2, keyCursor_.ukey.data(), keyCursor_.ukey.size());
    else
        sqlite3_bind_int64(s.get(), 2, index);
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) {
        LONG alive = CheckAlive();
        return alive != ERROR_SUCCESS ? alive : ERROR_NO_MORE_ITEMS;
    }
    if (rc != SQLITE_ROW) return store_->Fail(rc);
    keyCursor_.generation = gen;
    keyCursor_.index = index;
    keyCursor_.ukey = ColumnText(s.get(), 0);
    std::string n = ColumnText(s.get(), 1);
    if (nameCapacity != SIZE_MAX && RegistryNameLength(n) >= nameCapacity) return ERROR_MORE_DATA;
    if (name) *name = std::move(n);
    return ERROR_SUCCESS;
}

LONG RegKey::DeleteKey(std::string_view subKey) {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    if (SplitRegistryPath(subKey).empty()) return ERROR_ACCESS_DENIED;
    RegKey target;
    LONG rc = target.Open(*this, subKey);
    if (rc != ERROR_SUCCESS) return rc;
    ++store_->keyDeletes_;
    Registry::Transaction tx(*store_);
    if (!tx.open()) return ERROR_CANTWRITE;
    StmtGuard s(store_->Stmt(kDeleteKey, "DELETE FROM keys WHERE id=?"));
    if (!s) return ERROR_BADDB;
    sqlite3_bind_int64(s.get(), 1, target.id_);
    int step = sqlite3_step(s.get());
    if (step != SQLITE_DONE || !store_->BumpGeneration() || !tx.Commit())
        return store_->Fail(step != SQLITE_DONE ? step : sqlite3_errcode(store_->db_));
    return ERROR_SUCCESS;
}

LONG RegKey::QueryInfo(std::string* cls, DWORD* subKeys, DWORD* values) const {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    if (cls) {
        StmtGuard s(store_->Stmt(kKeyInfo, "SELECT name, class FROM keys WHERE id=?"));
        if (!s) return ERROR_BADDB;
        sqlite3_bind_int64(s.get(), 1, id_);
        int rc = sqlite3_step(s.get());
        if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
        if (rc != SQLITE_ROW) return store_->Fail(rc);
        *cls = ColumnText(s.get(), 1);
    }
    auto count = [this](int slot, const char* sql, DWORD* out) -> LONG {
        StmtGuard s(store_->Stmt(slot, sql));
        if (!s) return ERROR_BADDB;
        sqlite3_bind_int64(s.get(), 1, id_);
        int rc = sqlite3_step(s.get());
        if (rc != SQLITE_ROW) return store_->Fail(rc);
        *out = static_cast<DWORD>(sqlite3_column_int64(s.get(), 0));
        return ERROR_SUCCESS;
    };
    if (subKeys) {
        LONG rc = count(kCountKeys, "SELECT count(*) FROM keys WHERE parent=?", subKeys);
        if (rc != ERROR_SUCCESS) return rc;
    }
    if (values) {
        LONG rc = count(kCountValues, "SELECT count(*) FROM vals WHERE key=?", values);
        if (rc != ERROR_SUCCESS) return rc;
    }
    return (cls || subKeys || values) ? ERROR_SUCCESS : CheckAlive();
}

LONG RegKey::QueryName(std::string* name) const {
    if (!IsOpen()) return ERROR_INVALID_HANDLE;
    StmtGuard s(store_->Stmt(kKeyInfo, "SELECT name, class FROM keys WHERE id=?"));
    if (!s) return ERROR_BADDB;
    sqlite3_bind_int64(s.get(), 1, id_);
    int rc = sqlite3_step(s.get());
    if (rc == SQLITE_DONE) return ERROR_KEY_DELETED;
    if (rc != SQLITE_ROW) return store_->Fail(rc);
    *name = ColumnText(s.get(), 0);
    return ERROR_SUCCESS;
}

LONG RegKey::SetString(std::string_view name, std::string_view text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    return SetValue(name, REG_SZ, data);
}

LONG RegKey::SetDword(std::string_view name, DWORD value) {
    uint8_t le[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                     static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    return SetValue(name, REG_DWORD, le, 4);
}

LONG RegKey::GetString(std::string_view name, std::string* text, size_t capacity) const {
    Bytes data;
    LONG rc = QueryValue(name, nullptr, &data, capacity);
    if (rc != ERROR_SUCCESS) return rc;
    auto end = std::find(data.begin(), data.end(), uint8_t{0});
    text->assign(data.begin(), end);
    return ERROR_SUCCESS;
}

LONG RegKey::GetDword(std::string_view name, DWORD* value) const {
    Bytes data;
    DWORD size = 0;
    LONG rc = QueryValue(name, nullptr, &data, 4, &size);
    if (rc != ERROR_SUCCESS) return rc;
    if (size != 4) return ERROR_MORE_DATA;
    *value = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
    return ERROR_SUCCESS;
}

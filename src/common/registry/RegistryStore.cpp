#include "common/registry/RegistryStore.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/base/KmDebug.h"
#include "common/base/TextUtil.h"
#include "common/registry/SqliteError.h"

namespace km {
namespace {

// Marks a database as one of our hives ("KMRG"), so that another program's
// database at the same place is left alone.
constexpr int kApplicationId = 0x4B4D5247;
constexpr int kFormatVersion = 1;
// How long one access waits for another thread's or process's write.
constexpr int kBusyTimeoutMs = 5000;
// The hive itself: the root row of the key tree.
constexpr TRegKeyId kHiveKey = 1;

constexpr const char* kSchema = R"sql(
CREATE TABLE keys(
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  UNIQUE(parent, fold));
INSERT INTO keys(id, parent, name, fold) VALUES(1, NULL, '', '');
CREATE TABLE vals(
  key INTEGER NOT NULL REFERENCES keys(id) ON DELETE CASCADE,
  name TEXT NOT NULL,
  fold TEXT NOT NULL,
  type INTEGER NOT NULL,
  data BLOB NOT NULL,
  PRIMARY KEY(key, fold)) WITHOUT ROWID;
PRAGMA application_id = 1263358535;
PRAGMA user_version = 1;
)sql";
static_assert(kApplicationId == 1263358535);

struct StatementFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using TStatement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

int Prepare(sqlite3* db, const char* sql, TStatement& stmt) {
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    stmt.reset(raw);
    return rc;
}

void BindText(sqlite3_stmt* stmt, int index, std::string_view text) {
    sqlite3_bind_text(stmt, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// An empty blob must not become NULL, which a null pointer would bind.
void BindBlob(sqlite3_stmt* stmt, int index, const std::string& data) {
    if (data.empty()) {
        sqlite3_bind_zeroblob(stmt, index, 0);
    } else {
        sqlite3_bind_blob(stmt, index, data.data(), static_cast<int>(data.size()),
                          SQLITE_TRANSIENT);
    }
}

std::string ColumnBytes(sqlite3_stmt* stmt, int column) {
    const void* data = sqlite3_column_blob(stmt, column);
    const int size = sqlite3_column_bytes(stmt, column);
    return data != nullptr ? std::string(static_cast<const char*>(data), size) : std::string();
}

// The key names of a path; nullopt for two adjacent backslashes.
std::optional<std::vector<std::string_view>> SplitKeyPath(std::string_view path) {
    if (!path.empty() && path.front() == '\\') {
        path.remove_prefix(1);
    }
    if (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    std::vector<std::string_view> parts;
    while (!path.empty()) {
        const size_t slash = path.find('\\');
        const std::string_view part = path.substr(0, slash);
        if (part.empty()) {
            return std::nullopt;
        }
        parts.push_back(part);
        path.remove_prefix(slash == std::string_view::npos ? path.size() : slash + 1);
        if (slash != std::string_view::npos && path.empty()) {
            return std::nullopt;
        }
    }
    return parts;
}

bool IsPermissionError(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

}  // namespace

void TRegistryStore::TConnectionCloser::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

TRegistryStore::TRegistryStore(THive hive, TAccess access)
    : fHive(hive), fAccess(access), fFile(RegistryHiveFile(hive)) {}

TRegistryStore::~TRegistryStore() = default;

void TRegistryStore::ReportError(int rc, std::string_view what) {
    DebugError("Registry hive \"" + fFile.string() + "\": " + std::string(what) + ": " +
               SqliteErrorText(fDb.get(), rc));
    if (SqliteIsBadFile(rc)) {
        Fail(TState::Failed);
    }
}

bool TRegistryStore::Fail(TState state) {
    fDb.reset();
    fState = state;
    return false;
}

bool TRegistryStore::Execute(const char* sql, std::string_view what) {
    const int rc = sqlite3_exec(fDb.get(), sql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        ReportError(rc, what);
        return false;
    }
    return true;
}

template <typename Body>
bool TRegistryStore::WriteTransaction(std::string_view what, Body body) {
    // BEGIN IMMEDIATE takes the write lock up front, so a writer waits for
    // another one (busy timeout) instead of failing on a lock upgrade.
    if (!Execute("BEGIN IMMEDIATE", what)) {
        return false;
    }
    int rc = body();
    if (rc == SQLITE_DONE) {
        rc = sqlite3_exec(fDb.get(), "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            return true;
        }
    }
    ReportError(rc, what);
    if (fDb) {
        sqlite3_exec(fDb.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    }
    return false;
}

// Like a normal user's access to the machine-wide registry: a hive that may
// not be written fails quietly.
bool TRegistryStore::CanWrite() const {
    if (RegistryHiveForcedReadOnly(fHive)) {
        return false;
    }
    std::error_code ec;
    const std::filesystem::path dir = fFile.parent_path();
    if (std::filesystem::exists(fFile, ec)) {
        // The rollback journal lives next to the file, so the folder counts too.
        return access(fFile.c_str(), W_OK) == 0 && access(dir.c_str(), W_OK) == 0;
    }
    if (std::filesystem::exists(dir, ec)) {
        return access(dir.c_str(), W_OK) == 0;
    }
    return true;
}

bool TRegistryStore::Connect(bool createFile) {
    switch (fState) {
        case TState::Open:
            return true;
        case TState::Failed:
            return false;
        case TState::Missing:
            if (!createFile) {
                return false;
            }
            break;
        case TState::Closed:
            break;
    }
    if (fAccess == TAccess::Write && !CanWrite()) {
        return Fail(TState::Failed);
    }
    return OpenFile(createFile) && CheckSchema(createFile);
}

bool TRegistryStore::OpenFile(bool createFile) {
    std::error_code ec;
    if (!std::filesystem::exists(fFile, ec)) {
        if (!createFile) {
            return Fail(TState::Missing);
        }
        std::filesystem::create_directories(fFile.parent_path(), ec);
        if (ec) {
            if (!IsPermissionError(ec.value())) {
                DebugError("Registry hive \"" + fFile.string() +
                           "\": cannot create its folder: " + ec.message());
            }
            return Fail(TState::Failed);
        }
    }
    // A reader that may write the hive opens it for writing too: a writer
    // killed while it committed leaves a rollback journal that the next
    // connection must roll back before anything can be read, and a read-only
    // connection cannot. Reading itself writes nothing.
    const bool readOnly = fAccess == TAccess::Read && !CanWrite();
    const int flags = readOnly ? SQLITE_OPEN_READONLY
                               : SQLITE_OPEN_READWRITE | (createFile ? SQLITE_OPEN_CREATE : 0);
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(fFile.c_str(), &raw, flags, nullptr);
    fDb.reset(raw);
    if (rc != SQLITE_OK) {
        // A file the process may not read is absent for it, as on Windows.
        const int mode = fAccess == TAccess::Read ? R_OK : W_OK;
        if (access(fFile.c_str(), mode) == 0 || !IsPermissionError(errno)) {
            ReportError(rc, "cannot open");
        }
        return Fail(TState::Failed);
    }
    // SQLite silently opens a write-protected file read-only.
    if (fAccess == TAccess::Write && sqlite3_db_readonly(fDb.get(), "main") == 1) {
        return Fail(TState::Failed);
    }
    sqlite3_busy_timeout(fDb.get(), kBusyTimeoutMs);
    if (!Execute("PRAGMA foreign_keys = ON; PRAGMA synchronous = FULL;", "cannot read the hive")) {
        return Fail(TState::Failed);
    }
    fState = TState::Open;
    return true;
}

bool TRegistryStore::CheckSchema(bool createFile) {
    int appId = 0;
    int version = 0;
    int tables = 0;
    // Reading the header is where a file that is not a database shows.
    const auto readHeader = [&]() {
        TStatement stmt;
        int rc = Prepare(fDb.get(),
                         "SELECT (SELECT application_id FROM pragma_application_id),"
                         " (SELECT user_version FROM pragma_user_version),"
                         " (SELECT count(*) FROM sqlite_master)",
                         stmt);
        if (rc == SQLITE_OK) {
            rc = sqlite3_step(stmt.get());
        }
        if (rc != SQLITE_ROW) {
            ReportError(rc, "cannot read the hive");
            return false;
        }
        appId = sqlite3_column_int(stmt.get(), 0);
        version = sqlite3_column_int(stmt.get(), 1);
        tables = sqlite3_column_int(stmt.get(), 2);
        return true;
    };
    if (!readHeader()) {
        return Fail(TState::Failed);
    }
    if (appId == 0 && tables == 0) {
        // An empty database (a new or zero-length file) holds no keys yet.
        if (!createFile || fAccess == TAccess::Read) {
            return Fail(TState::Missing);
        }
        // Another process may make the schema at the same time; the second
        // one finds it done inside its own transaction.
        const bool made = WriteTransaction("cannot create the hive", [&]() {
            if (!readHeader()) {
                return SQLITE_ERROR;
            }
            if (appId == 0 && tables == 0) {
                const int rc = sqlite3_exec(fDb.get(), kSchema, nullptr, nullptr, nullptr);
                if (rc != SQLITE_OK) {
                    return rc;
                }
                appId = kApplicationId;
                version = kFormatVersion;
            }
            return SQLITE_DONE;
        });
        if (!made) {
            return Fail(TState::Failed);
        }
    }
    if (appId != kApplicationId || version > kFormatVersion) {
        DebugError("Registry hive \"" + fFile.string() +
                   "\": not a registry hive of this program version; left unchanged");
        return Fail(TState::Failed);
    }
    return true;
}

std::optional<TRegKeyId> TRegistryStore::FindKey(std::string_view path, bool create) {
    const auto parts = SplitKeyPath(path);
    if (!parts || (create && fAccess != TAccess::Write) || !Connect(create)) {
        return std::nullopt;
    }
    TRegKeyId id = kHiveKey;
    // One step down the tree: SQLITE_ROW when found, SQLITE_DONE when absent
    // (and create is off), an error code otherwise.
    const auto step = [&](std::string_view part) {
        TStatement find;
        int rc = Prepare(fDb.get(), "SELECT id FROM keys WHERE parent = ?1 AND fold = ?2", find);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(find.get(), 1, id);
            BindText(find.get(), 2, AnsiUpperCase(part));
            rc = sqlite3_step(find.get());
        }
        if (rc == SQLITE_ROW) {
            id = sqlite3_column_int64(find.get(), 0);
        }
        if (rc != SQLITE_DONE || !create) {
            return rc;
        }
        TStatement insert;
        rc = Prepare(fDb.get(), "INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)", insert);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(insert.get(), 1, id);
            BindText(insert.get(), 2, part);
            BindText(insert.get(), 3, AnsiUpperCase(part));
            rc = sqlite3_step(insert.get());
        }
        if (rc == SQLITE_DONE) {
            id = sqlite3_last_insert_rowid(fDb.get());
            return SQLITE_ROW;
        }
        return rc;
    };
    if (create) {
        const bool made = WriteTransaction("cannot create a key", [&]() {
            for (const std::string_view part : *parts) {
                if (const int rc = step(part); rc != SQLITE_ROW) {
                    return rc;
                }
            }
            return SQLITE_DONE;
        });
        return made ? std::optional<TRegKeyId>(id) : std::nullopt;
    }
    for (const std::string_view part : *parts) {
        const int rc = step(part);
        if (rc == SQLITE_DONE) {
            return std::nullopt;
        }
        if (rc != SQLITE_ROW) {
            ReportError(rc, "cannot open a key");
            return std::nullopt;
        }
    }
    return id;
}

std::optional<TRegKeyId> TRegistryStore::OpenKey(std::string_view path) {
    return FindKey(path, false);
}

std::optional<TRegKeyId> TRegistryStore::CreateKey(std::string_view path) {
    return FindKey(path, true);
}

std::optional<TRegValue> TRegistryStore::ReadValue(TRegKeyId key, std::string_view name) {
    if (!Connect(false)) {
        return std::nullopt;
    }
    TStatement stmt;
    int rc = Prepare(fDb.get(), "SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2", stmt);
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(stmt.get(), 1, key);
        BindText(stmt.get(), 2, AnsiUpperCase(name));
        rc = sqlite3_step(stmt.get());
    }
    if (rc == SQLITE_ROW) {
        return TRegValue{static_cast<TRegType>(sqlite3_column_int64(stmt.get(), 0)),
                         ColumnBytes(stmt.get(), 1)};
    }
    if (rc != SQLITE_DONE) {
        ReportError(rc, "cannot read a value");
    }
    return std::nullopt;
}

bool TRegistryStore::WriteValue(TRegKeyId key, std::string_view name, const TRegValue& value) {
    if (fAccess != TAccess::Write || !Connect(false)) {
        return false;
    }
    return WriteTransaction("cannot write a value", [&]() {
        TStatement stmt;
        int rc = Prepare(fDb.get(),
                         "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5)"
                         " ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type,"
                         " data = excluded.data",
                         stmt);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(stmt.get(), 1, key);
            BindText(stmt.get(), 2, name);
            BindText(stmt.get(), 3, AnsiUpperCase(name));
            sqlite3_bind_int64(stmt.get(), 4, static_cast<int64_t>(value.Type));
            BindBlob(stmt.get(), 5, value.Data);
            rc = sqlite3_step(stmt.get());
        }
        return rc;
    });
}

bool TRegistryStore::DeleteValue(TRegKeyId key, std::string_view name) {
    if (fAccess != TAccess::Write || !Connect(false)) {
        return false;
    }
    int changes = 0;
    const bool done = WriteTransaction("cannot delete a value", [&]() {
        TStatement stmt;
        int rc = Prepare(fDb.get(), "DELETE FROM vals WHERE key = ?1 AND fold = ?2", stmt);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(stmt.get(), 1, key);
            BindText(stmt.get(), 2, AnsiUpperCase(name));
            rc = sqlite3_step(stmt.get());
            changes = sqlite3_changes(fDb.get());
        }
        return rc;
    });
    return done && changes > 0;
}

bool TRegistryStore::DeleteKey(TRegKeyId key) {
    if (key == kHiveKey || fAccess != TAccess::Write || !Connect(false)) {
        return false;
    }
    int changes = 0;
    // Subkeys and values go with it through the cascading foreign keys.
    const bool done = WriteTransaction("cannot delete a key", [&]() {
        TStatement stmt;
        int rc = Prepare(fDb.get(), "DELETE FROM keys WHERE id = ?1", stmt);
        if (rc == SQLITE_OK) {
            sqlite3_bind_int64(stmt.get(), 1, key);
            rc = sqlite3_step(stmt.get());
            changes = sqlite3_changes(fDb.get());
        }
        return rc;
    });
    return done && changes > 0;
}

std::optional<std::vector<TRegNamedValue>> TRegistryStore::Values(TRegKeyId key) {
    if (!Connect(false)) {
        return std::nullopt;
    }
    TStatement stmt;
    int rc =
        Prepare(fDb.get(), "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY fold", stmt);
    std::vector<TRegNamedValue> values;
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(stmt.get(), 1, key);
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            values.push_back({ColumnBytes(stmt.get(), 0),
                              {static_cast<TRegType>(sqlite3_column_int64(stmt.get(), 1)),
                               ColumnBytes(stmt.get(), 2)}});
        }
    }
    if (rc != SQLITE_DONE) {
        ReportError(rc, "cannot list values");
        return std::nullopt;
    }
    return values;
}

std::optional<std::vector<std::string>> TRegistryStore::SubKeys(TRegKeyId key) {
    if (!Connect(false)) {
        return std::nullopt;
    }
    TStatement stmt;
    int rc = Prepare(fDb.get(), "SELECT name FROM keys WHERE parent = ?1 ORDER BY fold", stmt);
    std::vector<std::string> names;
    if (rc == SQLITE_OK) {
        sqlite3_bind_int64(stmt.get(), 1, key);
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            names.push_back(ColumnBytes(stmt.get(), 0));
        }
    }
    if (rc != SQLITE_DONE) {
        ReportError(rc, "cannot list subkeys");
        return std::nullopt;
    }
    return names;
}

}  // namespace km

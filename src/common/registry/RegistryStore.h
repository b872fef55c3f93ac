#pragma once

// The registry store: the two hives HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE,
// each one SQLite database file holding a tree of keys with typed values.
//
// Where the hive files are, and the read-only test seam: RegistryLocation.h.
//
// Keys: paths of names separated by backslashes below the hive; "" is the
// hive itself, a leading or trailing backslash is ignored, two adjacent
// backslashes make the path invalid. Key and value names compare without
// regard to letter case (Unicode) and keep the case they were created with.
// The value name "" is the key's default value.
//
// Durability and sharing: every change is one SQLite transaction in rollback
// journal mode with synchronous=FULL, so a change that reported success is on
// disk, and several threads and processes may use a hive at once (each waits
// up to a few seconds for another's write). Rollback mode rather than WAL
// because a reader of a WAL database needs write access to the hive's folder,
// which a normal user does not have for the machine-wide hive.
//
// Failures never raise: operations report false or nullopt. Absence (no
// file, no key, no value) and a hive the process may not write are quiet;
// a hive file that is corrupt or not one of ours, and any other SQLite
// failure, also write an error entry to the debug log. Such a file is never
// changed.
//
// Threads: a TRegistryStore object belongs to one thread at a time; make one
// object per operation or per thread.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/registry/RegistryLocation.h"

struct sqlite3;

namespace km {

// Value types, numbered as in the Windows registry.
enum class TRegType : uint32_t {
    None = 0,
    Sz = 1,
    ExpandSz = 2,
    Binary = 3,
    Dword = 4,
    MultiSz = 7,
    Qword = 11,
};

// A typed value. Data layout: Sz and ExpandSz hold UTF-8 text without a
// terminating zero; Dword 4 and Qword 8 bytes little-endian; MultiSz each
// UTF-8 string followed by a zero byte and one more zero byte at the end (an
// empty list has no data); Binary and None any bytes.
struct TRegValue {
    TRegType Type = TRegType::Sz;
    std::string Data;
};

// A value with its name as stored.
struct TRegNamedValue {
    std::string Name;
    TRegValue Value;
};

// An open key: its row in the hive.
using TRegKeyId = int64_t;

class TRegistryStore {
  public:
    enum class TAccess { Read, Write };

    // Nothing is opened or created yet; the first operation that needs the
    // file opens it. With TAccess::Write the file and its folder are made only
    // by an operation that creates a key. With TAccess::Read nothing is
    // written, except that a reader allowed to write the hive first rolls back
    // a transaction that a killed writer left unfinished.
    TRegistryStore(THive hive, TAccess access);
    ~TRegistryStore();
    TRegistryStore(const TRegistryStore&) = delete;
    TRegistryStore& operator=(const TRegistryStore&) = delete;

    THive Hive() const { return fHive; }

    // Opens an existing key; nullopt when it does not exist, the path is
    // invalid or the hive cannot be used with this object's access.
    std::optional<TRegKeyId> OpenKey(std::string_view path);
    // Write access only: opens the key, creating every missing key on its
    // path (and the hive file when missing).
    std::optional<TRegKeyId> CreateKey(std::string_view path);

    // The value, or nullopt when it does not exist or cannot be read.
    std::optional<TRegValue> ReadValue(TRegKeyId key, std::string_view name);
    // Write access only: sets the value, replacing type and data of an
    // existing one (whose name keeps its case).
    bool WriteValue(TRegKeyId key, std::string_view name, const TRegValue& value);
    // Write access only: true when the value existed and was deleted.
    bool DeleteValue(TRegKeyId key, std::string_view name);
    // Write access only: deletes the key with its subkeys and values; the hive
    // itself (the key "") cannot be deleted.
    bool DeleteKey(TRegKeyId key);

    // The values and the subkey names of a key, each sorted by name without
    // regard to case; nullopt when the key cannot be read.
    std::optional<std::vector<TRegNamedValue>> Values(TRegKeyId key);
    std::optional<std::vector<std::string>> SubKeys(TRegKeyId key);

    struct TConnectionCloser {
        void operator()(sqlite3* db) const;
    };

  private:
    enum class TState { Closed, Missing, Open, Failed };

    // Opens the file when needed; createFile makes folder, file and schema.
    // False when the hive cannot be used or holds nothing yet.
    bool Connect(bool createFile);
    bool OpenFile(bool createFile);
    bool CheckSchema(bool createFile);
    bool CanWrite() const;
    std::optional<TRegKeyId> FindKey(std::string_view path, bool create);
    // Runs body (SQLITE_DONE for success) in one write transaction; reports
    // a failure under what.
    template <typename Body>
    bool WriteTransaction(std::string_view what, Body body);
    bool Execute(const char* sql, std::string_view what);
    void ReportError(int rc, std::string_view what);
    bool Fail(TState state);

    THive fHive;
    TAccess fAccess;
    std::filesystem::path fFile;
    TState fState = TState::Closed;
    std::unique_ptr<sqlite3, TConnectionCloser> fDb;
};

}  // namespace km

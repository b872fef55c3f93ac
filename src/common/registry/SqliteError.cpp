#include "common/registry/SqliteError.h"

#include <sqlite3.h>

namespace km {

std::string SqliteErrorText(sqlite3* db, int rc) {
    const std::string generic = sqlite3_errstr(rc);
    std::string message;
    // The connection's message belongs to its last failed call; it is only
    // meaningful when that call failed with the same primary code.
    if (db != nullptr && (sqlite3_extended_errcode(db) & 0xFF) == (rc & 0xFF)) {
        message = sqlite3_errmsg(db);
    }
    if (message.empty() || message == generic) {
        return generic + " (SQLite " + std::to_string(rc) + ")";
    }
    return message + " (SQLite " + std::to_string(rc) + ": " + generic + ")";
}

bool SqliteIsBadFile(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace km

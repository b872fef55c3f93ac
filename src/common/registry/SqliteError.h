#pragma once

// The one place where SQLite result codes become text.

#include <string>

struct sqlite3;

namespace km {

// "<message> (SQLite <code>: <generic text>)": the connection's own message
// when db is given and has one, else the generic text alone. Any thread.
std::string SqliteErrorText(sqlite3* db, int rc);

// Whether rc (primary or extended) means "the file is corrupt or not a
// database".
bool SqliteIsBadFile(int rc);

}  // namespace km

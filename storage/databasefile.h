#pragma once

// Internal to the traffic database: the one place that opens the file.

#include <sqlite3.h>

// Opens ferrow::paths().databaseFile with the busy timeout set. On failure
// prints failurePrefix followed by SQLite's message and a newline, closes the
// handle and returns nullptr.
sqlite3 *openTrafficDatabase(const char *failurePrefix);

// The two prefixes used by the database functions.
extern const char *const kOpenFailedWriter; // "无法打开数据库: "
extern const char *const kOpenFailedReader; // "Cannot open database: "

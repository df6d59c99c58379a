#pragma once

// Traffic database: schema, retention purge, upserts and the hour key.
//
// Plain functions over the SQLite C interface. None keeps a connection: each
// operation opens the database file (ferrow::paths().databaseFile), works and
// closes it again. Failures are printed to stderr and returned as codes.

#include <sqlite3.h>

#include <QString>

#include <cstddef>
#include <cstdint>
#include <ctime>

// One "hour_data" row without its key and report mark.
struct HourRecord {
    int32_t mins = 0;
    int64_t recv = 0;
    int64_t sent = 0;
    int32_t recv_peak = 0;
    int32_t sent_peak = 0;
    int32_t total_peak = 0;
};

// Largest byte count a row stores in recv or sent: half the signed 64-bit
// range, so that recv + sent always fits in total. Sums saturate there.
constexpr int64_t kMaxStoredBytes = INT64_MAX / 2;

// One application's bytes counted since the previous flush.
struct AppIncrement {
    const char *pkgname = nullptr;
    uint64_t recv = 0;
    uint64_t sent = 0;
};

// Results of saveTrafficFlush.
enum FlushResult {
    FlushSaved = 0,
    FlushFailed = 1,  // nothing was written (a lock held too long, a full disk, ...)
    FlushDamaged = 2, // nothing was written: the file is not a database or is corrupt
};

// 1 when the table exists, 0 when it does not, -1 on error.
int tableExists(sqlite3 *db, const char *name);
// 0 on success, 1 on error.
int createAppTable(sqlite3 *db);
int createHourTable(sqlite3 *db);

// Deletes the rows of table dated on or before the local date `days` days ago.
void deleteExpiredRows(const char *table, unsigned int days);

// Adds the bytes to the application's row of the current UTC date.
// 0 on success, 1 on failure.
int addAppTraffic(const char *pkgname, uint64_t recv, uint64_t sent);

// The same two at a given point in time (seconds since the epoch), which the
// statements take as a bound value instead of reading the clock themselves.
// The functions above pass currentTime().
void deleteExpiredRowsAt(const char *table, unsigned int days, time_t now);
int addAppTrafficAt(const char *pkgname, uint64_t recv, uint64_t sent, time_t now);

// The minute flush: adds every increment to its application's row of the UTC
// date of `now` and replaces the hour's row with hour (clearing its report
// mark), all in one transaction on one connection. The lock waits of the
// whole flush together are bounded by one busy timeout, so a reader holding
// the file cannot stall the caller for longer. On failure nothing is written.
int saveTrafficFlush(const AppIncrement *apps, size_t count, const char *hourKey, const HourRecord *hour, time_t now);

// Moves a damaged database file, and its journal if there is one, aside to
// "<file>.damaged-YYYYMMDD-HHMMSS" (local time of `now`), so that the next open
// creates a new database. Returns the new name, or an empty string when the
// file could not be moved.
QString moveDamagedDatabase(time_t now);

// Replaces the hour's row with record and clears its report mark.
// 0 on success, 1 on failure.
int saveHourRecord(const char *time, const HourRecord *record);

// 0 when the row was found and copied into record, -2 when there is no such
// row (record untouched), -1 on error (open, prepare or read failed).
int loadHourRecord(const char *time, HourRecord *record);

// Key "YYYY-MM-DD HH:00" of the current local hour minus hoursBack hours.
// Returns a static buffer that the next call overwrites.
const char *hourKey(int hoursBack);

// The same for a given point in time (seconds since the epoch).
const char *hourKeyAt(time_t now, int hoursBack);

// Now, in seconds since the epoch, from the daemon's clock (which tests steer).
time_t currentTime();

#include "trafficdb.h"

#include "databasefile.h"
#include "defaults.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// A writer that meets a lock held briefly by another connection (a reader of
// the reports, say) waits for it this long instead of failing at once.
const int kBusyTimeoutMs = 2000;

const char *const kCreateAppTable =
    "CREATE TABLE IF NOT EXISTS app_data ( id INTEGER PRIMARY KEY, pkgname TEXT NOT NULL, "
    "recv BIGINT NOT NULL, sent BIGINT NOT NULL, total BIGINT NOT NULL, "
    "time DATE NOT NULL DEFAULT (date('now')), UNIQUE (pkgname, time));";

const char *const kCreateHourTable =
    "CREATE TABLE IF NOT EXISTS hour_data ( id INTEGER PRIMARY KEY, time TEXT NOT NULL, "
    "mins INTEGER NOT NULL, recv BIGINT NOT NULL, sent BIGINT NOT NULL, "
    "recv_peak INTEGER NOT NULL, sent_peak INTEGER NOT NULL, total_peak INTEGER NOT NULL, "
    "report_status INTEGER NOT NULL DEFAULT 0, UNIQUE (time));";

const char *const kUpsertApp =
    "INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES (?, ?, ?, ?, date(?, 'unixepoch')) "
    "ON CONFLICT(pkgname, time) DO UPDATE SET "
    "recv = MIN(MAX(recv, 0) + excluded.recv, 4611686018427387903), "
    "sent = MIN(MAX(sent, 0) + excluded.sent, 4611686018427387903), "
    "total = MIN(MAX(recv, 0) + excluded.recv, 4611686018427387903) "
    "+ MIN(MAX(sent, 0) + excluded.sent, 4611686018427387903);";

const char *const kUpsertHour =
    "INSERT INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status) "
    "VALUES (?, ?, ?, ?, ?, ?, ?, 0) ON CONFLICT(time) DO UPDATE SET recv = excluded.recv, "
    "sent = excluded.sent, recv_peak = excluded.recv_peak, sent_peak = excluded.sent_peak, "
    "total_peak = excluded.total_peak, mins = excluded.mins, report_status = excluded.report_status;";

// The hour key is a parameter, never part of the statement text.
const char *const kSelectHour =
    "SELECT mins, recv, sent, recv_peak, sent_peak, total_peak FROM hour_data WHERE time = ? ;";

// Sums saturate at kMaxStoredBytes (the literal in kUpsertApp): adding to a
// full counter keeps it full instead of wrapping to a negative figure.
static_assert(kMaxStoredBytes == 4611686018427387903LL, "kUpsertApp spells the limit out");

sqlite3_int64 storedBytes(uint64_t bytes)
{
    return static_cast<sqlite3_int64>(std::min<uint64_t>(bytes, uint64_t(kMaxStoredBytes)));
}

sqlite3_int64 storedBytes(int64_t bytes)
{
    return std::clamp<int64_t>(bytes, 0, kMaxStoredBytes);
}

using CreateTable = int (*)(sqlite3 *);

int createTable(sqlite3 *db, const char *statement)
{
    if (sqlite3_exec(db, statement, nullptr, nullptr, nullptr) != SQLITE_OK) {
        fprintf(stderr, "SQL error: %s\n", sqlite3_errmsg(db));
        return 1;
    }
    return 0;
}

// Opens the upsert's connection, creates the table when it is missing and
// prepares the statement. On failure the message is printed, everything is
// released and nullptr is returned.
sqlite3_stmt *prepareUpsert(sqlite3 **dbOut, const char *table, CreateTable create, const char *statement)
{
    sqlite3 *db = openTrafficDatabase(kOpenFailedWriter);
    *dbOut = nullptr;
    if (!db)
        return nullptr;

    const int exists = tableExists(db, table);
    if (exists == -1) {
        fprintf(stderr, "Failed to check if table eixsts.\n");
        sqlite3_close(db);
        return nullptr;
    }
    if (exists == 0 && create(db) != 0) {
        fprintf(stderr, "Failed to create table.\n");
        sqlite3_close(db);
        return nullptr;
    }

    char *sql = sqlite3_mprintf("%s", statement);
    if (!sql) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_stmt *stmt = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    sqlite3_free(sql);
    if (rc != SQLITE_OK) {
        fprintf(stderr, "Failed to prepare statement: %s\n", sqlite3_errmsg(db));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return nullptr;
    }
    *dbOut = db;
    return stmt;
}

// Steps the bound upsert once, then releases statement and connection.
int finishUpsert(sqlite3 *db, sqlite3_stmt *stmt)
{
    int result = 0;
    if (sqlite3_step(stmt) != SQLITE_DONE) {
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
        result = 1;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return result;
}

// Parameters 2 to 5 of kUpsertApp; the caller binds the name (1).
void bindAppIncrement(sqlite3_stmt *stmt, uint64_t recv, uint64_t sent, time_t now)
{
    const sqlite3_int64 storedRecv = storedBytes(recv);
    const sqlite3_int64 storedSent = storedBytes(sent);
    sqlite3_bind_int64(stmt, 2, storedRecv);
    sqlite3_bind_int64(stmt, 3, storedSent);
    sqlite3_bind_int64(stmt, 4, storedRecv + storedSent);
    sqlite3_bind_int64(stmt, 5, static_cast<sqlite3_int64>(now));
}

void bindHourRecord(sqlite3_stmt *stmt, const char *time, const HourRecord *record)
{
    sqlite3_bind_text(stmt, 1, time, -1, SQLITE_STATIC);
    sqlite3_bind_int(stmt, 2, std::clamp(record->mins, 0, 60));
    sqlite3_bind_int64(stmt, 3, storedBytes(record->recv));
    sqlite3_bind_int64(stmt, 4, storedBytes(record->sent));
    sqlite3_bind_int(stmt, 5, record->recv_peak);
    sqlite3_bind_int(stmt, 6, record->sent_peak);
    sqlite3_bind_int(stmt, 7, record->total_peak);
}

// A busy handler that shares one deadline between every lock wait of a
// connection, measured on the monotonic clock so a clock jump cannot stretch it.
struct LockDeadline {
    std::chrono::steady_clock::time_point end;
};

int waitForLock(void *arg, int)
{
    const auto *deadline = static_cast<const LockDeadline *>(arg);
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline->end)
        return 0;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(deadline->end - now,
                                                                             std::chrono::milliseconds(10)));
    return 1;
}

bool isDamage(int code)
{
    return (code & 0xff) == SQLITE_NOTADB || (code & 0xff) == SQLITE_CORRUPT;
}

// Prints the connection's error after `what`, rolls back and closes; returns
// the flush result the error stands for.
int abandonFlush(sqlite3 *db, const char *what)
{
    const int code = sqlite3_errcode(db);
    fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return isDamage(code) ? FlushDamaged : FlushFailed;
}

bool runFlushStatement(sqlite3_stmt *stmt)
{
    const bool done = sqlite3_step(stmt) == SQLITE_DONE;
    sqlite3_reset(stmt);
    return done;
}

} // namespace

const char *const kOpenFailedWriter = "无法打开数据库: ";
const char *const kOpenFailedReader = "Cannot open database: ";

sqlite3 *openTrafficDatabase(const char *failurePrefix)
{
    const QByteArray path = ferrow::paths().databaseFile.toUtf8();
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.constData(), &db) != SQLITE_OK) {
        fprintf(stderr, "%s%s\n", failurePrefix, db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    return db;
}

int tableExists(sqlite3 *db, const char *name)
{
    char sql[256];
    snprintf(sql, sizeof sql, "SELECT name FROM sqlite_master WHERE type='table' AND name='%s';", name);

    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        fprintf(stderr, "SQL error: %s\n", error ? error : sqlite3_errmsg(db));
        sqlite3_free(error);
        return -1;
    }

    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        fprintf(stderr, "Failed to prepare statement: %s\n", sqlite3_errmsg(db));
        sqlite3_finalize(stmt);
        return -1;
    }
    const bool found = sqlite3_step(stmt) == SQLITE_ROW;
    sqlite3_finalize(stmt);
    return found ? 1 : 0;
}

int createAppTable(sqlite3 *db)
{
    return createTable(db, kCreateAppTable);
}

int createHourTable(sqlite3 *db)
{
    return createTable(db, kCreateHourTable);
}

void deleteExpiredRowsAt(const char *table, unsigned int days, time_t now)
{
    sqlite3 *db = openTrafficDatabase(kOpenFailedWriter);
    if (!db)
        return;

    // Compared as text: an "hour_data" key "YYYY-MM-DD HH:00" sorts after the
    // bare boundary date, so the hours of the boundary date itself stay.
    char *sql = sqlite3_mprintf("DELETE FROM %s WHERE time<=DATE(%lld, 'unixepoch', '-%d days', 'localtime');",
                                table, static_cast<long long>(now), static_cast<int>(days));
    if (!sql) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
    } else {
        char *error = nullptr;
        if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK)
            fprintf(stderr, "SQL error: %s\n", error ? error : sqlite3_errmsg(db));
        sqlite3_free(error);
        sqlite3_free(sql);
    }
    sqlite3_close(db);
}

int addAppTrafficAt(const char *pkgname, uint64_t recv, uint64_t sent, time_t now)
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = prepareUpsert(&db, "app_data", createAppTable, kUpsertApp);
    if (!stmt)
        return 1;
    sqlite3_bind_text(stmt, 1, pkgname, -1, SQLITE_STATIC);
    bindAppIncrement(stmt, recv, sent, now);
    return finishUpsert(db, stmt);
}

void deleteExpiredRows(const char *table, unsigned int days)
{
    deleteExpiredRowsAt(table, days, currentTime());
}

int addAppTraffic(const char *pkgname, uint64_t recv, uint64_t sent)
{
    return addAppTrafficAt(pkgname, recv, sent, currentTime());
}

int saveHourRecord(const char *time, const HourRecord *record)
{
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = prepareUpsert(&db, "hour_data", createHourTable, kUpsertHour);
    if (!stmt)
        return 1;
    bindHourRecord(stmt, time, record);
    return finishUpsert(db, stmt);
}

int saveTrafficFlush(const AppIncrement *apps, size_t count, const char *hourKey, const HourRecord *hour, time_t now)
{
    sqlite3 *db = openTrafficDatabase(kOpenFailedWriter);
    if (!db)
        return FlushFailed;
    LockDeadline deadline{std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs)};
    sqlite3_busy_handler(db, waitForLock, &deadline);

    if (sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return abandonFlush(db, "Execution failed");
    // Like the single upserts, a flush creates only the tables it writes into.
    if ((count > 0 && sqlite3_exec(db, kCreateAppTable, nullptr, nullptr, nullptr) != SQLITE_OK)
        || sqlite3_exec(db, kCreateHourTable, nullptr, nullptr, nullptr) != SQLITE_OK)
        return abandonFlush(db, "SQL error");

    sqlite3_stmt *app = nullptr;
    sqlite3_stmt *hourRow = nullptr;
    if ((count > 0 && sqlite3_prepare_v2(db, kUpsertApp, -1, &app, nullptr) != SQLITE_OK)
        || sqlite3_prepare_v2(db, kUpsertHour, -1, &hourRow, nullptr) != SQLITE_OK) {
        sqlite3_finalize(app);
        sqlite3_finalize(hourRow);
        return abandonFlush(db, "Failed to prepare statement");
    }
    bool written = true;
    for (size_t i = 0; written && i < count; ++i) {
        sqlite3_bind_text(app, 1, apps[i].pkgname, -1, SQLITE_STATIC);
        bindAppIncrement(app, apps[i].recv, apps[i].sent, now);
        written = runFlushStatement(app);
    }
    if (written) {
        bindHourRecord(hourRow, hourKey, hour);
        written = runFlushStatement(hourRow);
    }
    sqlite3_finalize(app);
    sqlite3_finalize(hourRow);
    if (!written || sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) != SQLITE_OK)
        return abandonFlush(db, "Execution failed");
    sqlite3_close(db);
    return FlushSaved;
}

QString moveDamagedDatabase(time_t now)
{
    const QString path = ferrow::paths().databaseFile;
    const QString stamp = QDateTime::fromSecsSinceEpoch(now).toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = path + QStringLiteral(".damaged-") + stamp;
    for (int n = 2; QFile::exists(aside); ++n)
        aside = path + QStringLiteral(".damaged-") + stamp + QStringLiteral("-%1").arg(n);
    if (!QFile::rename(path, aside)) {
        fprintf(stderr, "Cannot move the damaged database aside: %s\n", path.toUtf8().constData());
        return QString();
    }
    // A journal left beside the old file would be replayed into the new one.
    const QString journal = path + QStringLiteral("-journal");
    if (QFile::exists(journal) && !QFile::rename(journal, aside + QStringLiteral("-journal")))
        QFile::remove(journal);
    return aside;
}

int loadHourRecord(const char *time, HourRecord *record)
{
    sqlite3 *db = openTrafficDatabase(kOpenFailedReader);
    if (!db)
        return -1;

    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, kSelectHour, -1, &stmt, nullptr) != SQLITE_OK) {
        fprintf(stderr, "Failed to prepare statement: %s\n", sqlite3_errmsg(db));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return -1;
    }
    sqlite3_bind_text(stmt, 1, time, -1, SQLITE_STATIC);

    bool found = false;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        record->mins = sqlite3_column_int(stmt, 0);
        record->recv = sqlite3_column_int64(stmt, 1);
        record->sent = sqlite3_column_int64(stmt, 2);
        record->recv_peak = sqlite3_column_int(stmt, 3);
        record->sent_peak = sqlite3_column_int(stmt, 4);
        record->total_peak = sqlite3_column_int(stmt, 5);
        found = true;
    }
    // A read that fails (a damaged file, a lock held past the busy timeout)
    // is an error, not proof that the hour has no row.
    int result = found ? 0 : -2;
    if (rc != SQLITE_DONE) {
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
        result = -1;
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return result;
}

const char *hourKeyAt(time_t now, int hoursBack)
{
    static char key[20];
    struct tm local;
    localtime_r(&now, &local);
    struct tm shifted = local;
    shifted.tm_hour -= hoursBack;
    if (shifted.tm_hour < 0) {
        shifted.tm_mday -= 1;
        shifted.tm_hour += 24;
    }
    // mktime resolves a day of 0 (last day of the previous month) and any
    // hour that is still out of range.
    mktime(&shifted);
    strftime(key, sizeof key, "%Y-%m-%d %H:00", &shifted);
    return key;
}

const char *hourKey(int hoursBack)
{
    return hourKeyAt(currentTime(), hoursBack);
}

time_t currentTime()
{
    // The shared clock is the system clock unless a test has steered it.
    return static_cast<time_t>(ferrow::currentDateTime().toSecsSinceEpoch());
}

#include "trafficstats.h"

#include "databasefile.h"
#include "reportrows.h"

#include <cmath>
#include <cstdio>

namespace {

const char *const kTopAppsQuery =
    "SELECT pkgname, SUM(recv) AS recv_sum, SUM(sent) AS sent_sum, SUM(total) AS total_sum "
    "FROM app_data WHERE time BETWEEN DATE(?1, 'unixepoch', '-%d day', 'localtime') "
    "AND DATE(?1, 'unixepoch', '-1 day', 'localtime') "
    "GROUP BY pkgname ORDER BY total_sum DESC LIMIT 10;";

const char *const kHourRowsQuery =
    "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status FROM hour_data "
    "WHERE time BETWEEN DATE(?1, 'unixepoch', '-%d day', 'localtime') "
    "AND DATETIME(?1, 'unixepoch', '-1 hour', 'localtime') ;";

const char *const kUnreportedQuery =
    "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak FROM hour_data "
    "WHERE report_status=0 AND time<=DATETIME('%q') ;";

const char *const kMarkReported =
    "UPDATE hour_data SET report_status=1 WHERE report_status=0 AND time<=DATETIME('%q') ;";

// Average rate in whole KB/s over the minutes the hour covers.
int32_t averageRate(int64_t bytes, int64_t mins)
{
    const int64_t minutes = mins == 0 ? 1 : mins;
    return static_cast<int32_t>(((bytes / 1024) / minutes) / 60);
}

using RowAppender = void (*)(cJSON *, sqlite3_stmt *);

// Prepares sql on db (binding now as its first parameter when given) and
// appends one object per row. A failed prepare is
// printed, leaves the array as it was and returns false; so does a read that
// stops on an error before the last row.
bool collectRows(sqlite3 *db, const char *sql, cJSON *array, RowAppender append, const time_t *now = nullptr)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        fprintf(stderr, "Failed to prepare statement: %s\n", sqlite3_errmsg(db));
        sqlite3_finalize(stmt);
        return false;
    }
    if (now)
        sqlite3_bind_int64(stmt, 1, static_cast<sqlite3_int64>(*now));
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        append(array, stmt);
    // A read cut short (a lock held past the busy timeout, say) must not let
    // the caller mark hours it never read.
    const bool complete = rc == SQLITE_DONE;
    if (!complete)
        fprintf(stderr, "Execution failed: %s\n", sqlite3_errmsg(db));
    sqlite3_finalize(stmt);
    return complete;
}

// Ends the marking transaction; the rows stay unmarked.
void rollBack(sqlite3 *db)
{
    sqlite3_exec(db, "ROLLBACK;", nullptr, nullptr, nullptr);
}

// Marks the hours up to cutoff as reported and commits the transaction that
// read them. On any failure the transaction is rolled back, so no hour is
// marked and all of them come again in the next report.
void markHoursReported(sqlite3 *db, const char *cutoff)
{
    char *update = sqlite3_mprintf(kMarkReported, cutoff);
    if (!update) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
        rollBack(db);
        return;
    }
    const bool marked = sqlite3_exec(db, update, nullptr, nullptr, nullptr) == SQLITE_OK
        && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_free(update);
    if (!marked) {
        fprintf(stderr, "Failed to update report_status: %s\n", sqlite3_errmsg(db));
        rollBack(db);
    }
}

} // namespace

// Appends the object of one hour row. The statement's columns are: time,
// mins, recv, sent, recv_peak, sent_peak, total_peak[, report_status].
void appendHourObject(cJSON *array, sqlite3_stmt *stmt, bool withStatus)
{
    const char *time = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    const int64_t mins = sqlite3_column_int64(stmt, 1);
    const int64_t recv = sqlite3_column_int64(stmt, 2);
    const int64_t sent = sqlite3_column_int64(stmt, 3);

    const double up = bytesToGB(sent);
    const double down = bytesToGB(recv);
    const int32_t avgUp = averageRate(sent, mins);
    const int32_t avgDown = averageRate(recv, mins);
    // A 32-bit sum; widened first so that an overflow wraps instead of being undefined.
    const int32_t avg = static_cast<int32_t>(static_cast<int64_t>(avgUp) + avgDown);

    cJSON *object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "time", time ? time : "");
    cJSON_AddNumberToObject(object, "up", up);
    cJSON_AddNumberToObject(object, "down", down);
    cJSON_AddNumberToObject(object, "tot", up + down);
    cJSON_AddNumberToObject(object, "avg_up", avgUp);
    cJSON_AddNumberToObject(object, "avg_down", avgDown);
    cJSON_AddNumberToObject(object, "avg", avg);
    cJSON_AddNumberToObject(object, "pk_up", sqlite3_column_int(stmt, 5));
    cJSON_AddNumberToObject(object, "pk_down", sqlite3_column_int(stmt, 4));
    cJSON_AddNumberToObject(object, "pk", sqlite3_column_int(stmt, 6));
    if (withStatus)
        cJSON_AddNumberToObject(object, "status", sqlite3_column_int(stmt, 7));
    cJSON_AddItemToArray(array, object);
}

void appendTopAppObject(cJSON *array, sqlite3_stmt *stmt)
{
    const char *app = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
    const double down = bytesToGB(sqlite3_column_int64(stmt, 1));
    const double up = bytesToGB(sqlite3_column_int64(stmt, 2));

    cJSON *object = cJSON_CreateObject();
    cJSON_AddStringToObject(object, "app", app ? app : "");
    cJSON_AddNumberToObject(object, "up", up);
    cJSON_AddNumberToObject(object, "down", down);
    // The sum of the two rounded values, not a conversion of the summed total.
    cJSON_AddNumberToObject(object, "tot", up + down);
    cJSON_AddItemToArray(array, object);
}

double bytesToGB(int64_t bytes)
{
    const double gb = static_cast<double>(bytes) / 1024.0 / 1024.0 / 1024.0;
    const double rounded = std::round(gb * 100.0) / 100.0;
    return rounded == 0.0 ? 0.01 : rounded;
}

namespace {

// Runs one of the day-window queries on a fresh connection and returns its rows
// as an array; an empty array when the database or the statement fails.
cJSON *queryDayWindow(const char *format, int days, time_t now, RowAppender append)
{
    cJSON *array = cJSON_CreateArray();
    sqlite3 *db = openTrafficDatabase(kOpenFailedReader);
    if (!db)
        return array;

    char *sql = sqlite3_mprintf(format, days);
    if (!sql)
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
    else
        collectRows(db, sql, array, append, &now);
    sqlite3_free(sql);
    sqlite3_close(db);
    return array;
}

} // namespace

cJSON *queryTopApps(int days)
{
    return queryTopAppsAt(days, currentTime());
}

cJSON *queryTopAppsAt(int days, time_t now)
{
    return queryDayWindow(kTopAppsQuery, days, now, appendTopAppObject);
}

cJSON *queryHourRows(int days)
{
    return queryHourRowsAt(days, currentTime());
}

cJSON *queryHourRowsAt(int days, time_t now)
{
    return queryDayWindow(kHourRowsQuery, days, now, [](cJSON *a, sqlite3_stmt *s) { appendHourObject(a, s, true); });
}

cJSON *queryUnreportedHours(bool markReported)
{
    return queryUnreportedHoursAt(markReported, currentTime());
}

cJSON *queryUnreportedHoursAt(bool markReported, time_t now)
{
    cJSON *array = cJSON_CreateArray();
    // DATETIME() turns the previous hour's key into "YYYY-MM-DD HH:00:00", which
    // the stored key of that hour sorts before and the current hour's after.
    const char *cutoff = hourKeyAt(now, 1);
    sqlite3 *db = openTrafficDatabase(kOpenFailedReader);
    if (!db)
        return array;

    char *sql = sqlite3_mprintf(kUnreportedQuery, cutoff);
    if (!sql) {
        fprintf(stderr, "Failed to allocate memory for SQL statement.\n");
        sqlite3_close(db);
        return array;
    }
    // Reading and marking happen in one write transaction: a flush that saves
    // an hour again must wait until the mark is committed, so an hour is never
    // marked reported with figures this report did not carry.
    if (markReported && sqlite3_exec(db, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) != SQLITE_OK) {
        fprintf(stderr, "Failed to update report_status: %s\n", sqlite3_errmsg(db));
        sqlite3_free(sql);
        sqlite3_close(db);
        return array;
    }
    const bool read = collectRows(db, sql, array, [](cJSON *a, sqlite3_stmt *s) { appendHourObject(a, s, false); });
    sqlite3_free(sql);

    if (markReported) {
        // Only hours that were all read are marked.
        if (read)
            markHoursReported(db, cutoff);
        else
            rollBack(db);
    }
    sqlite3_close(db);
    return array;
}

char *buildTrafficReport()
{
    return buildTrafficReportAt(currentTime());
}

char *buildTrafficReportAt(time_t now)
{
    cJSON *root = cJSON_CreateObject();
    cJSON_AddItemToObject(root, "hour", queryUnreportedHoursAt(true, now));
    cJSON *top10 = cJSON_CreateObject();
    cJSON_AddItemToObject(top10, "7day", queryTopAppsAt(7, now));
    cJSON_AddItemToObject(top10, "30day", queryTopAppsAt(30, now));
    cJSON_AddItemToObject(root, "top10", top10);
    char *text = cJSON_PrintUnformatted(root);
    cJSON_Delete(root);
    return text;
}

#include "trafficread.h"

#include "defaults.h"
#include "reportrows.h"
#include "trafficdb.h"
#include "trafficstats.h"

#include <QFileInfo>

#include <cJSON.h>

#include <cstring>

namespace {

// Both tables with every column the readers use; a database lacking one is
// someone else's.
const char *const kSchemaProbes[] = {
    "SELECT pkgname, recv, sent, total, time FROM app_data LIMIT 0;",
    "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status FROM hour_data LIMIT 0;",
};

// The report's statements, as trafficstats.cpp runs them, so that both builds
// read the same rows in the same order.
const char *const kReportTopApps =
    "SELECT pkgname, SUM(recv) AS recv_sum, SUM(sent) AS sent_sum, SUM(total) AS total_sum "
    "FROM app_data WHERE time BETWEEN DATE(?1, 'unixepoch', '-%d day', 'localtime') "
    "AND DATE(?1, 'unixepoch', '-1 day', 'localtime') "
    "GROUP BY pkgname ORDER BY total_sum DESC LIMIT 10;";
const char *const kReportUnreported =
    "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak FROM hour_data "
    "WHERE report_status=0 AND time<=DATETIME(?1) ;";

int statusOf(int code)
{
    switch (code & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return TrafficReadOk;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return TrafficReadLocked;
    case SQLITE_NOTADB:
    case SQLITE_CORRUPT:
        return TrafficReadDamaged;
    default:
        return TrafficReadFailed;
    }
}

QString columnText(sqlite3_stmt *stmt, int column)
{
    return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, column)));
}

void bindText(sqlite3_stmt *stmt, int index, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    sqlite3_bind_text(stmt, index, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
}

// Prepares sql, lets bind set its parameters and calls row for every row.
template <typename Bind, typename Row>
int eachRow(sqlite3 *db, const char *sql, Bind bind, Row row)
{
    sqlite3_stmt *stmt = nullptr;
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(stmt);
        return statusOf(rc);
    }
    bind(stmt);
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW)
        row(stmt);
    sqlite3_finalize(stmt);
    return statusOf(rc);
}

int reportTopApps(sqlite3 *db, int days, time_t now, cJSON *array)
{
    char *sql = sqlite3_mprintf(kReportTopApps, days);
    if (!sql)
        return TrafficReadFailed;
    const int status = eachRow(
        db, sql, [now](sqlite3_stmt *s) { sqlite3_bind_int64(s, 1, static_cast<sqlite3_int64>(now)); },
        [array](sqlite3_stmt *s) { appendTopAppObject(array, s); });
    sqlite3_free(sql);
    return status;
}

bool hasNoTables(sqlite3 *db)
{
    sqlite3_stmt *stmt = nullptr;
    if (!db || sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM sqlite_master;", -1, &stmt, nullptr) != SQLITE_OK)
        return false;
    const bool none = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int64(stmt, 0) == 0;
    sqlite3_finalize(stmt);
    return none;
}

// An in-memory database with the daemon's tables and no rows.
int openEmptyTrafficDatabase(sqlite3 **db)
{
    sqlite3 *handle = nullptr;
    if (sqlite3_open_v2(":memory:", &handle, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK
        || createAppTable(handle) != 0 || createHourTable(handle) != 0) {
        sqlite3_close(handle);
        return TrafficReadFailed;
    }
    *db = handle;
    return TrafficReadOk;
}

} // namespace

int openTrafficReader(sqlite3 **db, QString *message)
{
    *db = nullptr;
    const QString path = ferrow::paths().databaseFile;
    const QFileInfo info(path);
    if (!info.exists())
        return TrafficReadMissing;
    if (info.isDir()) {
        if (message)
            *message = QStringLiteral("is a directory");
        return TrafficReadFailed;
    }

    sqlite3 *handle = nullptr;
    int rc = sqlite3_open_v2(path.toUtf8().constData(), &handle, SQLITE_OPEN_READONLY, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(handle, kReaderBusyTimeoutMs);
        for (const char *probe : kSchemaProbes) {
            sqlite3_stmt *stmt = nullptr;
            rc = sqlite3_prepare_v2(handle, probe, -1, &stmt, nullptr);
            sqlite3_finalize(stmt);
            if (rc != SQLITE_OK)
                break;
        }
    }
    if (rc == SQLITE_OK) {
        *db = handle;
        return TrafficReadOk;
    }
    if ((rc & 0xff) == SQLITE_ERROR && hasNoTables(handle)) {
        // The daemon opens its database at start and creates the tables with its first
        // write, a minute later: until then there is nothing to read, which is no fault.
        sqlite3_close(handle);
        return openEmptyTrafficDatabase(db);
    }
    if (message)
        *message = QString::fromUtf8(handle ? sqlite3_errmsg(handle) : "out of memory");
    // A statement that names a missing table or column fails with SQLITE_ERROR.
    const int status = (rc & 0xff) == SQLITE_ERROR ? TrafficReadForeign : statusOf(rc);
    sqlite3_close(handle);
    return status;
}

int readAppTotals(sqlite3 *db, const QString &firstDate, const QString &lastDate, AppOrder order, int limit,
                  std::vector<AppTotal> *out)
{
    // The order column is one of three fixed names, never caller text.
    const char *column = order == OrderBySent ? "s" : order == OrderByReceived ? "r" : "t";
    char *sql = sqlite3_mprintf("SELECT pkgname, SUM(recv) AS r, SUM(sent) AS s, SUM(total) AS t FROM app_data "
                                "WHERE time BETWEEN ?1 AND ?2 GROUP BY pkgname ORDER BY %s DESC, pkgname LIMIT ?3;",
                                column);
    if (!sql)
        return TrafficReadFailed;
    out->clear();
    const int status = eachRow(
        db, sql,
        [&](sqlite3_stmt *s) {
            bindText(s, 1, firstDate);
            bindText(s, 2, lastDate);
            sqlite3_bind_int(s, 3, limit);
        },
        [out](sqlite3_stmt *s) {
            AppTotal app;
            app.package = columnText(s, 0);
            app.recv = sqlite3_column_int64(s, 1);
            app.sent = sqlite3_column_int64(s, 2);
            app.total = sqlite3_column_int64(s, 3);
            out->push_back(app);
        });
    sqlite3_free(sql);
    return status;
}

int readHourRows(sqlite3 *db, const QString &firstHour, const QString &lastHour, std::vector<HourRow> *out)
{
    out->clear();
    return eachRow(
        db,
        "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status FROM hour_data "
        "WHERE time BETWEEN ?1 AND ?2 ORDER BY time;",
        [&](sqlite3_stmt *s) {
            bindText(s, 1, firstHour);
            bindText(s, 2, lastHour);
        },
        [out](sqlite3_stmt *s) {
            HourRow row;
            row.hour = columnText(s, 0);
            row.mins = sqlite3_column_int(s, 1);
            row.recv = sqlite3_column_int64(s, 2);
            row.sent = sqlite3_column_int64(s, 3);
            row.recvPeak = sqlite3_column_int(s, 4);
            row.sentPeak = sqlite3_column_int(s, 5);
            row.totalPeak = sqlite3_column_int(s, 6);
            row.reported = sqlite3_column_int(s, 7);
            out->push_back(row);
        });
}

int readDayTotals(sqlite3 *db, const QString &firstDate, const QString &lastDate, std::vector<DayTotal> *out)
{
    out->clear();
    // Keys sort as text: every hour of lastDate lies before lastDate + "~".
    return eachRow(
        db,
        "SELECT substr(time, 1, 10) AS day, COUNT(*), SUM(recv), SUM(sent) FROM hour_data "
        "WHERE time >= ?1 AND time < ?2 || '~' GROUP BY day ORDER BY day;",
        [&](sqlite3_stmt *s) {
            bindText(s, 1, firstDate);
            bindText(s, 2, lastDate);
        },
        [out](sqlite3_stmt *s) {
            DayTotal day;
            day.date = columnText(s, 0);
            day.hours = sqlite3_column_int(s, 1);
            day.recv = sqlite3_column_int64(s, 2);
            day.sent = sqlite3_column_int64(s, 3);
            out->push_back(day);
        });
}

int readTrafficSince(sqlite3 *db, const QString &firstHour, int64_t *recv, int64_t *sent)
{
    *recv = 0;
    *sent = 0;
    return eachRow(
        db, "SELECT TOTAL(recv), TOTAL(sent) FROM hour_data WHERE time >= ?1;",
        [&](sqlite3_stmt *s) { bindText(s, 1, firstHour); },
        [&](sqlite3_stmt *s) {
            // TOTAL() sums as a float and cannot overflow; the stored counts saturate well below.
            *recv = static_cast<int64_t>(sqlite3_column_double(s, 0));
            *sent = static_cast<int64_t>(sqlite3_column_double(s, 1));
        });
}

int readNewestHour(sqlite3 *db, QString *hour)
{
    hour->clear();
    return eachRow(
        db, "SELECT MAX(time) FROM hour_data;", [](sqlite3_stmt *) {},
        [hour](sqlite3_stmt *s) { *hour = columnText(s, 0); });
}

int countUnreportedHoursAt(sqlite3 *db, time_t now, int *count)
{
    *count = 0;
    const QString cutoff = QString::fromLatin1(hourKeyAt(now, 1));
    return eachRow(
        db, "SELECT COUNT(*) FROM hour_data WHERE report_status=0 AND time<=DATETIME(?1);",
        [&](sqlite3_stmt *s) { bindText(s, 1, cutoff); },
        [count](sqlite3_stmt *s) { *count = sqlite3_column_int(s, 0); });
}

int buildUnmarkedTrafficReportAt(sqlite3 *db, time_t now, QByteArray *document)
{
    document->clear();
    const QString cutoff = QString::fromLatin1(hourKeyAt(now, 1));
    cJSON *root = cJSON_CreateObject();
    cJSON *hours = cJSON_CreateArray();
    cJSON_AddItemToObject(root, "hour", hours);
    cJSON *top10 = cJSON_CreateObject();
    cJSON *week = cJSON_CreateArray();
    cJSON *month = cJSON_CreateArray();
    cJSON_AddItemToObject(top10, "7day", week);
    cJSON_AddItemToObject(top10, "30day", month);
    cJSON_AddItemToObject(root, "top10", top10);

    // One read transaction, so the three parts come from one state of the file.
    int status = statusOf(sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr));
    if (status == TrafficReadOk)
        status = eachRow(
            db, kReportUnreported, [&](sqlite3_stmt *s) { bindText(s, 1, cutoff); },
            [hours](sqlite3_stmt *s) { appendHourObject(hours, s, false); });
    if (status == TrafficReadOk)
        status = reportTopApps(db, 7, now, week);
    if (status == TrafficReadOk)
        status = reportTopApps(db, 30, now, month);
    sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);

    if (status == TrafficReadOk) {
        char *text = cJSON_PrintUnformatted(root);
        *document = QByteArray(text);
        cJSON_free(text);
    }
    cJSON_Delete(root);
    return status;
}

char *buildTrafficReportAt(time_t now, bool mark)
{
    if (mark)
        return buildTrafficReportAt(now);
    sqlite3 *db = nullptr;
    if (openTrafficReader(&db) != TrafficReadOk)
        return nullptr;
    QByteArray document;
    const int status = buildUnmarkedTrafficReportAt(db, now, &document);
    sqlite3_close(db);
    if (status != TrafficReadOk)
        return nullptr;
    char *text = static_cast<char *>(cJSON_malloc(static_cast<size_t>(document.size()) + 1));
    if (text)
        memcpy(text, document.constData(), static_cast<size_t>(document.size()) + 1);
    return text;
}

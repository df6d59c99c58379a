#pragma once

// Read-only access to the traffic database, for the command-line client.
//
// The connection is opened with SQLITE_OPEN_READONLY and a short busy
// timeout: it never creates the file, never writes to it and gives up soon
// when a writer holds it. Every function returns a TrafficReadStatus.

#include <sqlite3.h>

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <ctime>
#include <vector>

enum TrafficReadStatus {
    TrafficReadOk = 0,
    TrafficReadMissing = 1, // no file at the path
    TrafficReadLocked = 2,  // another connection held a lock past the busy timeout
    TrafficReadDamaged = 3, // not an SQLite database, or a corrupt one
    TrafficReadForeign = 4, // an SQLite database without the traffic tables
    TrafficReadFailed = 5,  // anything else (permissions, I/O)
};

// How long a reader waits for a writer's lock before it reports TrafficReadLocked.
constexpr int kReaderBusyTimeoutMs = 500;

// Opens ferrow::paths().databaseFile read-only and checks that both traffic
// tables with their columns are there. On success *db is the connection
// (close it with sqlite3_close); otherwise *db is null and, when message is
// given, it receives SQLite's text.
int openTrafficReader(sqlite3 **db, QString *message = nullptr);

// The traffic of one application over some dates.
struct AppTotal {
    QString package;
    int64_t recv = 0;
    int64_t sent = 0;
    int64_t total = 0;
};

enum AppOrder { OrderByTotal, OrderBySent, OrderByReceived };

// Sums the "app_data" rows dated firstDate..lastDate ("YYYY-MM-DD", UTC
// dates as the table stores them), largest first in the order asked, at most
// limit applications (all when limit < 0); ties in package-name order.
int readAppTotals(sqlite3 *db, const QString &firstDate, const QString &lastDate, AppOrder order, int limit,
                  std::vector<AppTotal> *out);

// One "hour_data" row.
struct HourRow {
    QString hour; // "YYYY-MM-DD HH:00", local time
    int mins = 0;
    int64_t recv = 0;
    int64_t sent = 0;
    int recvPeak = 0; // KiB/s
    int sentPeak = 0;
    int totalPeak = 0;
    int reported = 0;
};

// The rows whose key lies in firstHour..lastHour (inclusive, text order), oldest first.
int readHourRows(sqlite3 *db, const QString &firstHour, const QString &lastHour, std::vector<HourRow> *out);

// The hour rows summed per local date, for the dates firstDate..lastDate, oldest first.
struct DayTotal {
    QString date; // "YYYY-MM-DD", local
    int hours = 0;
    int64_t recv = 0;
    int64_t sent = 0;
};
int readDayTotals(sqlite3 *db, const QString &firstDate, const QString &lastDate, std::vector<DayTotal> *out);

// Sums recv and sent over the hour rows from firstHour on.
int readTrafficSince(sqlite3 *db, const QString &firstHour, int64_t *recv, int64_t *sent);

// Key of the newest hour row, empty when the table is empty.
int readNewestHour(sqlite3 *db, QString *hour);

// The number of hours up to the previous local hour of now not yet reported.
int countUnreportedHoursAt(sqlite3 *db, time_t now, int *count);

// The report document of buildTrafficReportAt(now), read on db without
// marking anything: the same bytes the marking build would give now.
int buildUnmarkedTrafficReportAt(sqlite3 *db, time_t now, QByteArray *document);

// The report document at now. With mark, exactly buildTrafficReportAt(now),
// which marks the hours it carries; without, the same document built on a
// read-only connection, marking nothing (null when the database cannot be
// read). Free with cJSON_free.
char *buildTrafficReportAt(time_t now, bool mark);

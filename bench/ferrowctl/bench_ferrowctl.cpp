// ferrowctl on 45 days by 500 applications: top --days 30, hours --days 45
// and metrics, run in process as the binary runs them. Goal: under 50 ms each.
#include "ctl.h"
#include "defaults.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const int kDays = 45;
const int kApps = 500;

bool exec(sqlite3 *db, const char *sql)
{
    char *error = nullptr;
    const bool ok = sqlite3_exec(db, sql, nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok)
        fprintf(stderr, "bench: %s\n", error);
    sqlite3_free(error);
    return ok;
}

bool fill(const QString &path, const QDateTime &now)
{
    sqlite3 *db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    bool ok = exec(db, "CREATE TABLE app_data ( id INTEGER PRIMARY KEY, pkgname TEXT NOT NULL, recv BIGINT NOT NULL,"
                       " sent BIGINT NOT NULL, total BIGINT NOT NULL, time DATE NOT NULL DEFAULT (date('now')),"
                       " UNIQUE (pkgname, time));"
                       "CREATE TABLE hour_data ( id INTEGER PRIMARY KEY, time TEXT NOT NULL, mins INTEGER NOT NULL,"
                       " recv BIGINT NOT NULL, sent BIGINT NOT NULL, recv_peak INTEGER NOT NULL,"
                       " sent_peak INTEGER NOT NULL, total_peak INTEGER NOT NULL,"
                       " report_status INTEGER NOT NULL DEFAULT 0, UNIQUE (time));"
                       "BEGIN;");
    sqlite3_stmt *app = nullptr;
    sqlite3_stmt *hour = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES (?, ?, ?, ?, ?);", -1, &app, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak) "
                           "VALUES (?, 60, ?, ?, 100, 20, 120);", -1, &hour, nullptr);
    for (int d = 0; d < kDays && ok; ++d) {
        const QByteArray date = now.toUTC().date().addDays(-d).toString(Qt::ISODate).toUtf8();
        for (int a = 0; a < kApps; ++a) {
            const QByteArray name = QByteArray("package-") + QByteArray::number(a);
            const qint64 recv = qint64(a + 1) * (d + 7) * 1000;
            const qint64 sent = qint64(kApps - a) * 300;
            sqlite3_bind_text(app, 1, name.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(app, 2, recv);
            sqlite3_bind_int64(app, 3, sent);
            sqlite3_bind_int64(app, 4, recv + sent);
            sqlite3_bind_text(app, 5, date.constData(), -1, SQLITE_TRANSIENT);
            ok = sqlite3_step(app) == SQLITE_DONE && ok;
            sqlite3_reset(app);
        }
        for (int h = 0; h < 24; ++h) {
            const QByteArray key = now.addSecs(-3600LL * (d * 24 + h)).toString(QStringLiteral("yyyy-MM-dd HH:00")).toUtf8();
            sqlite3_bind_text(hour, 1, key.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(hour, 2, qint64(h + 1) << 24);
            sqlite3_bind_int64(hour, 3, qint64(h + 1) << 20);
            sqlite3_step(hour);
            sqlite3_reset(hour);
        }
    }
    sqlite3_finalize(app);
    sqlite3_finalize(hour);
    ok = exec(db, "COMMIT;") && ok;
    sqlite3_close(db);
    return ok;
}

void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(bytes);
}

} // namespace

int main()
{
    QTemporaryDir dir;
    ferrow::defaults().paths = ferrow::Paths(dir.path());
    ferrow::defaults().paths.procDir = dir.filePath(QStringLiteral("proc"));
    const QDateTime now = QDateTime::currentDateTime();
    ferrow::defaults().clock = [now] { return now; };

    QDir().mkpath(dir.filePath(QStringLiteral("proc/4242")));
    write(dir.filePath(QStringLiteral("proc/4242/comm")), "ferrow-monitor\n");
    write(ferrow::paths().settingsFile, "[RivletMonitor]\nFERROW_COUNT_STATUS=1\nFERROW_ALARM_STATUS=1\n"
                                        "FERROW_ALARM_SIZE=10\nFERROW_ALARM_PERIOD=720\n");
    QByteArray apps = "[";
    for (int a = 0; a < kApps; ++a)
        apps += QStringLiteral("%1{\"pkg\":\"package-%2\",\"recv_speed\":1.5,\"sent_speed\":0.25,\"sum_recv\":%3,"
                               "\"sum_sent\":%4,\"sum_total\":%5}")
                    .arg(a ? QStringLiteral(",") : QString())
                    .arg(a)
                    .arg(qint64(a) * 100000)
                    .arg(a * 10)
                    .arg(qint64(a) * 100010)
                    .toUtf8();
    write(ferrow::paths().appInfoFile, apps + "]");
    if (!fill(ferrow::paths().databaseFile, now))
        return 1;

    printf("ferrowctl on %d days x %d applications (%lld KiB database); median and worst of 21 runs:\n", kDays, kApps,
           QFile(ferrow::paths().databaseFile).size() / 1024);
    const QStringList commands[] = {{QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("30")},
                                    {QStringLiteral("hours"), QStringLiteral("--days"), QStringLiteral("45")},
                                    {QStringLiteral("metrics")},
                                    {QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("30"), QStringLiteral("--json")}};
    for (const QStringList &args : commands) {
        std::vector<double> ms;
        int code = 0;
        for (int i = 0; i < 21; ++i) {
            ferrowctl::Io io;
            QElapsedTimer timer;
            timer.start();
            code = ferrowctl::run(args, io);
            ms.push_back(timer.nsecsElapsed() / 1e6);
        }
        std::sort(ms.begin(), ms.end());
        printf("  %-28s %7.2f ms  (worst %.2f ms, exit %d)\n", qPrintable(args.join(QLatin1Char(' '))), ms[ms.size() / 2],
               ms.back(), code);
    }
    return 0;
}

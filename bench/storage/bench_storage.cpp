// Times the traffic database operations on a database holding 45 days of
// rows for 500 applications:
//   - one addAppTraffic call and one saveHourRecord call,
//   - one minute's flush for 200 applications (200 addAppTraffic calls and
//     one saveHourRecord call, each opening its own connection),
//   - the same flush in one transaction (saveTrafficFlush),
//   - how long a flush of 16 applications is held up by a reader that keeps
//     the file locked for 40 s: one connection per call against one
//     transaction with one bounded wait,
//   - buildTrafficReport.
// Usage: bench_storage [directory for the database file]

#include "defaults.h"
#include "trafficdb.h"
#include "trafficstats.h"

#include <QCoreApplication>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>
#include <cstring>
#include <vector>

namespace {

const int kApps = 500;
const int kDays = 45;
const int kFlushApps = 200;

QByteArray appName(int i)
{
    return QByteArrayLiteral("bench-package-") + QByteArray::number(i);
}

bool populate(const QString &path)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.toUtf8().constData(), &db) != SQLITE_OK)
        return false;
    bool ok = createAppTable(db) == 0 && createHourTable(db) == 0;
    sqlite3_exec(db, "BEGIN;", nullptr, nullptr, nullptr);

    sqlite3_stmt *app = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES (?, ?, ?, ?, ?);", -1,
                       &app, nullptr);
    const QDate today = QDate::currentDate();
    for (int day = 0; day < kDays; ++day) {
        const QByteArray date = today.addDays(-day).toString(Qt::ISODate).toUtf8();
        for (int i = 0; i < kApps; ++i) {
            const QByteArray name = appName(i);
            const sqlite3_int64 recv = (i + 1) * 1048576LL + day;
            const sqlite3_int64 sent = (i + 1) * 524288LL + day;
            sqlite3_bind_text(app, 1, name.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(app, 2, recv);
            sqlite3_bind_int64(app, 3, sent);
            sqlite3_bind_int64(app, 4, recv + sent);
            sqlite3_bind_text(app, 5, date.constData(), -1, SQLITE_TRANSIENT);
            ok = ok && sqlite3_step(app) == SQLITE_DONE;
            sqlite3_reset(app);
        }
    }
    sqlite3_finalize(app);

    sqlite3_stmt *hour = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak) "
                           "VALUES (?, 60, ?, ?, 100, 200, 300);", -1, &hour, nullptr);
    const QDateTime now = QDateTime::currentDateTime();
    for (int h = 1; h <= kDays * 24; ++h) {
        const QByteArray key = now.addSecs(-3600LL * h).toString(QStringLiteral("yyyy-MM-dd hh:00")).toUtf8();
        sqlite3_bind_text(hour, 1, key.constData(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(hour, 2, 3LL << 30);
        sqlite3_bind_int64(hour, 3, 1LL << 30);
        ok = ok && sqlite3_step(hour) == SQLITE_DONE;
        sqlite3_reset(hour);
    }
    sqlite3_finalize(hour);
    ok = ok && sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

struct Stats {
    double min, median, max;
};

Stats summarise(std::vector<double> ms)
{
    std::sort(ms.begin(), ms.end());
    return {ms.front(), ms[ms.size() / 2], ms.back()};
}

void print(const char *what, const Stats &s, size_t runs)
{
    printf("%-44s median %8.3f ms  (min %8.3f, max %8.3f, %zu runs)\n", what, s.median, s.min, s.max, runs);
}

double elapsedMs(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir(argc > 1 ? QString::fromLocal8Bit(argv[1]) + QStringLiteral("/bench-storage-XXXXXX")
                               : QDir::tempPath() + QStringLiteral("/bench-storage-XXXXXX"));
    if (!dir.isValid()) {
        fprintf(stderr, "cannot create a temporary directory\n");
        return 1;
    }
    const QString path = dir.filePath(QStringLiteral("ferrow.db"));
    ferrow::defaults().paths.databaseFile = path;

    QElapsedTimer timer;
    timer.start();
    if (!populate(path)) {
        fprintf(stderr, "cannot populate %s\n", qPrintable(path));
        return 1;
    }
    printf("database %s: %d app_data rows, %d hour_data rows, filled in %.0f ms, %lld KB\n", qPrintable(path),
           kApps * kDays, kDays * 24, elapsedMs(timer), QFileInfo(path).size() / 1024);

    const int runs = 30;
    std::vector<double> add, save;
    HourRecord record{30, 123456789, 98765432, 1000, 2000, 2500};
    const QByteArray hour = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:00")).toUtf8();
    for (int i = 0; i < runs; ++i) {
        const QByteArray name = appName(i * 7 % kApps);
        timer.restart();
        if (addAppTraffic(name.constData(), 4096, 1024) != 0)
            return 1;
        add.push_back(elapsedMs(timer));
        record.mins = i;
        timer.restart();
        if (saveHourRecord(hour.constData(), &record) != 0)
            return 1;
        save.push_back(elapsedMs(timer));
    }
    print("addAppTraffic, one call", summarise(add), add.size());
    print("saveHourRecord, one call", summarise(save), save.size());

    std::vector<double> flush;
    for (int round = 0; round < 5; ++round) {
        timer.restart();
        for (int i = 0; i < kFlushApps; ++i)
            addAppTraffic(appName((i * 13 + round) % kApps).constData(), 65536, 8192);
        saveHourRecord(hour.constData(), &record);
        flush.push_back(elapsedMs(timer));
    }
    print("minute flush, 200 apps + hour row", summarise(flush), flush.size());

    std::vector<double> oneTransaction;
    for (int round = 0; round < 5; ++round) {
        std::vector<QByteArray> names;
        std::vector<AppIncrement> apps;
        for (int i = 0; i < kFlushApps; ++i)
            names.push_back(appName((i * 13 + round) % kApps));
        for (const QByteArray &name : names)
            apps.push_back({name.constData(), 65536, 8192});
        timer.restart();
        if (saveTrafficFlush(apps.data(), apps.size(), hour.constData(), &record, time(nullptr)) != FlushSaved)
            return 1;
        oneTransaction.push_back(elapsedMs(timer));
    }
    print("minute flush in one transaction (saveTrafficFlush)", summarise(oneTransaction), oneTransaction.size());

    // A reader holding an exclusive lock for 40 s while 16 applications are pending.
    {
        std::promise<void> locked, release;
        std::thread reader([&] {
            sqlite3 *db = nullptr;
            sqlite3_open(path.toUtf8().constData(), &db);
            sqlite3_exec(db, "BEGIN EXCLUSIVE;", nullptr, nullptr, nullptr);
            locked.set_value();
            release.get_future().wait_for(std::chrono::seconds(40));
            sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        });
        locked.get_future().wait();
        fprintf(stderr, "(the lock errors below are expected)\n");
        timer.restart();
        for (int i = 0; i < 16; ++i)
            addAppTraffic(appName(i).constData(), 1, 1);
        saveHourRecord(hour.constData(), &record);
        const double perCall = elapsedMs(timer);
        std::vector<QByteArray> names;
        std::vector<AppIncrement> apps;
        for (int i = 0; i < 16; ++i)
            names.push_back(appName(i));
        for (const QByteArray &name : names)
            apps.push_back({name.constData(), 1, 1});
        timer.restart();
        saveTrafficFlush(apps.data(), apps.size(), hour.constData(), &record, time(nullptr));
        const double single = elapsedMs(timer);
        release.set_value();
        reader.join();
        printf("flush of 16 apps blocked by a 40 s reader: one connection per call %.1f s, one transaction %.1f s\n",
               perCall / 1000, single / 1000);
    }

    std::vector<double> firstReport, laterReports;
    size_t firstLength = 0;
    int firstHours = 0;
    for (int i = 0; i < 5; ++i) {
        timer.restart();
        char *report = buildTrafficReport();
        (i == 0 ? firstReport : laterReports).push_back(elapsedMs(timer));
        if (i == 0) {
            firstLength = strlen(report);
            cJSON *parsed = cJSON_Parse(report);
            firstHours = cJSON_GetArraySize(cJSON_GetObjectItem(parsed, "hour"));
            cJSON_Delete(parsed);
        }
        cJSON_free(report);
    }
    printf("buildTrafficReport, first (%d unreported hours): %.3f ms, %zu bytes\n", firstHours,
           firstReport.front(), firstLength);
    print("buildTrafficReport, later (no hours)", summarise(laterReports), laterReports.size());
    return 0;
}

// The whole daemon under faults: a damaged database, a full disk and a wall
// clock that is set back or crosses the end of daylight-saving time.
#include "daemonharness.h"

#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>

namespace {

// The fake collector reports pid 1 sending and receiving these many bytes, in
// batches of reportsPerBatch documents; between batches it keeps the link
// alive with empty reports.
constexpr qint64 sentPerReport = 1000;
constexpr qint64 receivedPerReport = 3000;
constexpr int reportsPerBatch = 5;
constexpr qint64 sentPerBatch = reportsPerBatch * sentPerReport;
constexpr qint64 receivedPerBatch = reportsPerBatch * receivedPerReport;
constexpr qint64 bytesPerBatch = sentPerBatch + receivedPerBatch;

const char *const libfaketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";

QMap<QByteArray, QByteArray> batchedReports()
{
    return {{"FAKE_COLLECTOR_DOCUMENT", "{\"type\":\"network_data\",\"processes\":[{\"pid\":1,\"comm\":\"init\","
                                        "\"tx_bytes\":" + QByteArray::number(sentPerReport)
                                            + ",\"rx_bytes\":" + QByteArray::number(receivedPerReport)
                                            + ",\"tx_speed\":1,\"rx_speed\":3}]}"},
            {"FAKE_COLLECTOR_DOCUMENTS", QByteArray::number(reportsPerBatch)},
            {"FAKE_COLLECTOR_IDLE_DOCUMENT", "{\"type\":\"network_data\",\"processes\":[]}"}};
}

// The daemon alone runs on libfaketime's clock: the collector drops the
// preload it inherits. The sanitizer runtime accepts a library loaded before it.
void addFakeClock(QMap<QByteArray, QByteArray> &environment)
{
    QByteArray asan = qgetenv("ASAN_OPTIONS");
    if (!asan.isEmpty())
        asan += ':';
    environment.insert("LD_PRELOAD", libfaketime);
    environment.insert("ASAN_OPTIONS", asan + "verify_asan_link_order=0");
    environment.insert("FAKE_COLLECTOR_DROP_PRELOAD", "1");
}

// Sum of one field over the entries of a snapshot document; -1 when the file
// does not hold a JSON array.
qint64 documentSum(const QString &path, const char *field)
{
    const QJsonDocument document = QJsonDocument::fromJson(readFile(path).toUtf8());
    if (!document.isArray())
        return -1;
    qint64 sum = 0;
    for (const QJsonValue &entry : document.array())
        sum += qint64(entry.toObject().value(QLatin1String(field)).toDouble());
    return sum;
}

ino_t inodeOf(const QString &path)
{
    struct stat info = {};
    return ::stat(path.toUtf8().constData(), &info) == 0 ? info.st_ino : 0;
}

// Time stamp of the last line of the raw log that ends with text.
QDateTime loggedAt(const QString &log, const QString &text)
{
    QDateTime at;
    for (const QString &line : log.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1String("] ") + text))
            at = QDateTime::fromString(line.mid(1, 23), QStringLiteral("yyyy:MM:dd hh:mm:ss:zzz"));
    }
    return at;
}

} // namespace

class TestDaemonFaults : public DaemonHarness
{
    Q_OBJECT

private slots:
    void damagedDatabaseIsMovedAsideAndReplaced_data();
    void damagedDatabaseIsMovedAsideAndReplaced();
    void fullDiskKeepsThePreviousDocuments();
    void wallClockJumpsLoseNoBytesNorTheCollector_data();
    void wallClockJumpsLoseNoBytesNorTheCollector();
    void repeatedHourAtDaylightSavingEndKeepsOneRow();

private:
    QString collectorLog() const { return work->filePath(QStringLiteral("collector.log")); }
    QStringList collectorStarts() const;
    void checkStoredBytes(qint64 expected);
};

QStringList TestDaemonFaults::collectorStarts() const
{
    return readFile(collectorLog()).split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^start ")));
}

void TestDaemonFaults::checkStoredBytes(qint64 expected)
{
    const QString database = dataFile(QStringLiteral("ferrow.db"));
    QCOMPARE(queryNumber(database, "SELECT SUM(total) FROM app_data"), expected);
    QCOMPARE(queryNumber(database, "SELECT SUM(recv) + SUM(sent) FROM app_data"), expected);
    QCOMPARE(queryNumber(database, "SELECT SUM(recv) + SUM(sent) FROM hour_data"), expected);
    QVERIFY(queryNumber(database, "SELECT COUNT(*) FROM hour_data") >= 1);
    QVERIFY(queryNumber(database, "SELECT MIN(mins) FROM hour_data") >= 0);
    QVERIFY(queryNumber(database, "SELECT MAX(mins) FROM hour_data") <= 60);
}

void TestDaemonFaults::damagedDatabaseIsMovedAsideAndReplaced_data()
{
    QTest::addColumn<QByteArray>("damaged");

    QByteArray garbage(8192, '\0');
    QRandomGenerator generator(20260101);
    for (char &byte : garbage)
        byte = char(generator.bounded(256));
    QTest::newRow("garbage") << garbage;

    // A database of several pages whose end is lost.
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("real.db"));
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open(path.toUtf8().constData(), &db), SQLITE_OK);
    const char *const fill =
        "CREATE TABLE app_data (id INTEGER PRIMARY KEY, pkgname TEXT NOT NULL, recv BIGINT NOT NULL,"
        " sent BIGINT NOT NULL, total BIGINT NOT NULL, time DATE NOT NULL, UNIQUE (pkgname, time));"
        "CREATE TABLE hour_data (id INTEGER PRIMARY KEY, time TEXT NOT NULL, mins INTEGER NOT NULL,"
        " recv BIGINT NOT NULL, sent BIGINT NOT NULL, recv_peak INTEGER NOT NULL, sent_peak INTEGER NOT NULL,"
        " total_peak INTEGER NOT NULL, report_status INTEGER NOT NULL DEFAULT 0, UNIQUE (time));"
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 400)"
        " INSERT INTO app_data (pkgname, recv, sent, total, time)"
        " SELECT 'package-' || i, i, i, 2 * i, '2026-01-01' FROM n;";
    QCOMPARE(sqlite3_exec(db, fill, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    QFile file(path);
    QVERIFY(file.size() > 4 * 4096);
    QVERIFY(file.resize(4096));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QTest::newRow("truncated") << file.readAll();
}

void TestDaemonFaults::damagedDatabaseIsMovedAsideAndReplaced()
{
    QFETCH(QByteArray, damaged);
    QFile database(dataFile(QStringLiteral("ferrow.db")));
    QVERIFY(database.open(QIODevice::WriteOnly));
    QCOMPARE(database.write(damaged), qint64(damaged.size()));
    database.close();

    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    const QDateTime before = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    QProcess daemon;
    QVERIFY(startDaemon(daemon, batchedReports()));
    QTRY_COMPARE_WITH_TIMEOUT(documentSum(dataFile(QStringLiteral("app_info")), "sum_total"), bytesPerBatch,
                              tickWaitMs);

    // The stop makes the final flush, which finds the file damaged.
    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    const QDateTime after = QDateTime::currentDateTime();

    const QStringList aside = QDir(data).entryList({QStringLiteral("ferrow.db.damaged-*")}, QDir::Files);
    QCOMPARE(aside.size(), 1);
    const QRegularExpressionMatch name =
        QRegularExpression(QStringLiteral("^ferrow\\.db\\.damaged-(\\d{8}-\\d{6})(-\\d+)?$")).match(aside.first());
    QVERIFY2(name.hasMatch(), qPrintable(aside.first()));
    const QDateTime stamp = QDateTime::fromString(name.captured(1), QStringLiteral("yyyyMMdd-HHmmss"));
    QVERIFY2(stamp >= before && stamp <= after, qPrintable(aside.first()));
    QFile kept(dataFile(aside.first()));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QVERIFY2(kept.readAll() == damaged, "the damaged file is kept as it was");
    QVERIFY2(logLines().contains(QStringLiteral("数据库文件已损坏, 已移至 /var/lib/ferrow_monitor/%1, 已新建数据库")
                                     .arg(aside.first())),
             qPrintable(logLines().join(QLatin1Char('\n'))));

    checkStoredBytes(bytesPerBatch);
    const QString fresh = dataFile(QStringLiteral("ferrow.db"));
    QCOMPARE(queryNumber(fresh, "SELECT SUM(recv) FROM app_data"), receivedPerBatch);
    QCOMPARE(queryNumber(fresh, "SELECT SUM(recv) FROM hour_data"), receivedPerBatch);
    QCOMPARE(queryNumber(fresh, "SELECT SUM(sent) FROM hour_data"), sentPerBatch);
}

void TestDaemonFaults::fullDiskKeepsThePreviousDocuments()
{
    QVERIFY(useDataFileSystem("256k"));
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    // The default report: the collector itself, counting on and on.
    QVERIFY(startDaemon(daemon));
    QByteArray errors;
    const auto readErrors = [&daemon, &errors] {
        errors += daemon.readAllStandardError();
        return errors.count("Failed to write file");
    };

    const QString appInfo = dataFile(QStringLiteral("app_info"));
    const QString processInfo = dataFile(QStringLiteral("process_info"));
    QTRY_VERIFY_WITH_TIMEOUT(documentSum(appInfo, "sum_recv") > 0 && documentSum(processInfo, "sum_recv") > 0,
                             tickWaitMs);
    // Filled right after a check tick, so that no document is being replaced meanwhile.
    const ino_t written = inodeOf(processInfo);
    QTRY_VERIFY_WITH_TIMEOUT(inodeOf(processInfo) != written, tickWaitMs);
    const QString filler = dataFile(QStringLiteral("filler"));
    const int fd = ::open(filler.toUtf8().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(fd >= 0);
    const QByteArray block(65536, 'x');
    int error = 0;
    while (error == 0) {
        if (::write(fd, block.constData(), size_t(block.size())) < 0)
            error = errno;
    }
    ::close(fd);
    QCOMPARE(error, ENOSPC);

    const QString appBefore = readFile(appInfo);
    const QString processBefore = readFile(processInfo);
    const qint64 appRecv = documentSum(appInfo, "sum_recv");
    const qint64 processRecv = documentSum(processInfo, "sum_recv");
    QVERIFY(appRecv > 0 && processRecv > 0);

    // Two check ticks, each failing to write both documents.
    QTRY_VERIFY_WITH_TIMEOUT(readErrors() >= 4, 2 * tickWaitMs);
    QCOMPARE(daemon.state(), QProcess::Running);
    QVERIFY2(errors.contains("app_info") && errors.contains("process_info"), errors.constData());
    QCOMPARE(readFile(appInfo), appBefore);
    QCOMPARE(readFile(processInfo), processBefore);
    QVERIFY(!QJsonDocument::fromJson(appBefore.toUtf8()).array().isEmpty());
    QVERIFY(!QJsonDocument::fromJson(processBefore.toUtf8()).array().isEmpty());
    const QStringList leftovers =
        QDir(data).entryList({QStringLiteral("app_info?*"), QStringLiteral("process_info?*")}, QDir::AllEntries);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char(' '))));

    // With room again, both are rewritten with newer figures.
    QVERIFY(QFile::remove(filler));
    QTRY_VERIFY_WITH_TIMEOUT(documentSum(appInfo, "sum_recv") > appRecv && documentSum(processInfo, "sum_recv") > processRecv,
                             tickWaitMs);
    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitCode(), 0);
}

void TestDaemonFaults::wallClockJumpsLoseNoBytesNorTheCollector_data()
{
    QTest::addColumn<QByteArray>("offset");
    QTest::newRow("set back two hours") << QByteArray("-7200");
    // Read on the wall clock this was an hour of collector silence.
    QTest::newRow("set forward one hour") << QByteArray("+3600");
}

void TestDaemonFaults::wallClockJumpsLoseNoBytesNorTheCollector()
{
    QFETCH(QByteArray, offset);
    QVERIFY(QFileInfo::exists(QLatin1String(libfaketime)));
    // Offset of the daemon's wall clock, read at every clock call; its
    // monotonic clock, and so its timers, stay real.
    const QString clock = work->filePath(QStringLiteral("clock"));
    const auto setClock = [&clock](const QByteArray &offset) {
        QSaveFile file(clock);
        return file.open(QIODevice::WriteOnly) && file.write(offset + '\n') > 0 && file.commit();
    };
    QVERIFY(setClock("+0"));
    QMap<QByteArray, QByteArray> environment = batchedReports();
    addFakeClock(environment);
    environment.insert("FAKETIME_TIMESTAMP_FILE", clock.toUtf8());
    environment.insert("FAKETIME_NO_CACHE", "1");
    environment.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
    environment.insert("FAKE_COLLECTOR_LOG", collectorLog().toUtf8());

    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon, environment));
    const QString appInfo = dataFile(QStringLiteral("app_info"));
    QTRY_COMPARE_WITH_TIMEOUT(documentSum(appInfo, "sum_total"), bytesPerBatch, tickWaitMs);

    // The jump, then a second batch.
    QVERIFY(setClock(offset));
    QCOMPARE(collectorStarts().size(), 1);
    ::kill(pid_t(collectorStarts().first().mid(6).toInt()), SIGUSR1);
    QTRY_COMPARE_WITH_TIMEOUT(documentSum(appInfo, "sum_total"), 2 * bytesPerBatch, tickWaitMs);

    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    const QString log = readFile(dataFile(QStringLiteral("ferrow.log")));
    const QDateTime started = loggedAt(log, QStringLiteral("ProcessMonitor 启动成功"));
    const QDateTime stopped = loggedAt(log, QStringLiteral("流量统计 ProcessMonitor 停止"));
    const qint64 jumped = started.secsTo(stopped);
    QVERIFY2(started.isValid() && stopped.isValid() && (offset.startsWith('-') ? jumped < -3600 : jumped >= 3600),
             qPrintable(log));
    // One collector run: neither killed as silent nor counted twice.
    QCOMPARE(collectorStarts().size(), 1);
    checkStoredBytes(2 * bytesPerBatch);
}

void TestDaemonFaults::repeatedHourAtDaylightSavingEndKeepsOneRow()
{
    QVERIFY(QFileInfo::exists(QLatin1String(libfaketime)));
    // 02:50 summer time on the day it ends, the clock running sixty times as
    // fast: a minute flush every second, 03:00 summer time turning into
    // 02:00 winter time after ten of them.
    const qint64 start = QDateTime(QDate(2026, 10, 25), QTime(0, 50), Qt::UTC).toSecsSinceEpoch();
    QMap<QByteArray, QByteArray> environment = batchedReports();
    addFakeClock(environment);
    environment.insert("TZ", "Europe/Berlin");
    environment.insert("FAKETIME_FMT", "%s");
    environment.insert("FAKETIME", "@" + QByteArray::number(start) + " x60");
    // Well within the daemon's ten seconds of tolerated silence, in its time.
    environment.insert("FAKE_COLLECTOR_INTERVAL_MS", "40");
    environment.insert("FAKE_COLLECTOR_LOG", collectorLog().toUtf8());

    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon, environment));
    const QString appInfo = dataFile(QStringLiteral("app_info"));
    QTRY_COMPARE_WITH_TIMEOUT(documentSum(appInfo, "sum_total"), bytesPerBatch, tickWaitMs);

    // The summer part of the hour has ten minutes at most: more means the
    // winter part goes on in the same row.
    const QString database = dataFile(QStringLiteral("ferrow.db"));
    const char *const minutes = "SELECT mins FROM hour_data WHERE time = '2026-10-25 02:00'";
    QTRY_VERIFY_WITH_TIMEOUT(queryNumber(database, minutes) >= 12, 5 * tickWaitMs);
    QCOMPARE(queryNumber(database, "SELECT COUNT(*) FROM hour_data WHERE time > '2026-10-25 02:00'"), 0);
    QCOMPARE(collectorStarts().size(), 1);
    ::kill(pid_t(collectorStarts().first().mid(6).toInt()), SIGUSR1);
    QTRY_COMPARE_WITH_TIMEOUT(documentSum(appInfo, "sum_total"), 2 * bytesPerBatch, tickWaitMs);

    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    QCOMPARE(collectorStarts().size(), 1);
    checkStoredBytes(2 * bytesPerBatch);
    const qint64 mins = queryNumber(database, minutes);
    QVERIFY2(mins >= 12 && mins <= 60, qPrintable(QString::number(mins)));
    QCOMPARE(queryNumber(database, "SELECT recv + sent FROM hour_data WHERE time = '2026-10-25 02:00'"),
             2 * bytesPerBatch);
}

QTEST_GUILESS_MAIN(TestDaemonFaults)
#include "tst_daemonfaults.moc"

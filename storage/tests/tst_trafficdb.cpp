#include "defaults.h"
#include "trafficdb.h"

#include "testdatabase.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class tst_TrafficDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void aFreshSystemGetsAnEmptyFileAndReportsTheMissingTables();
    void theFirstAddCreatesAppDataWithTheTotal();
    void twoAddsOnOneUtcDateLeaveOneRowWithTheSums();
    void anAppRowIsDatedByTheUtcCalendarNotTheLocalOne_data();
    void anAppRowIsDatedByTheUtcCalendarNotTheLocalOne();
    void anAddAfterUtcMidnightStartsANewRow();
    void aPackageNameWithQuotesIsStoredUnchanged();
    void upsertsFailWithTheirMessages_data();
    void upsertsFailWithTheirMessages();
    void tableExistsAndCreateReportTheirResults();
    void tableCreationFailsOnAReadOnlyConnection();
    void savingAnHourAgainReplacesItAndClearsTheReportMark();
    void loadingAnHourCopiesTheRow();
    void loadingAMissingHourLeavesTheRecordUntouched_data();
    void loadingAMissingHourLeavesTheRecordUntouched();
    void loadingFailsWithoutTableOrFile();
    void loadingADamagedTableIsAnErrorNotAMissingRow();
    void theRetentionBoundaryDiffersBetweenTheTables();
    void theRetentionPurgeReportsAnUnopenableFile();
    void aWriteWaitsForAShortReadLock();
    void aWriteGivesUpAfterTheBusyTimeout();
    void aFlushWritesAppsAndHourInOneTransaction();
    void aFlushWaitsForReadersOnceForTheWholeFlush();
    void aDamagedFileIsReportedMovedAsideAndReplaced_data();
    void aDamagedFileIsReportedMovedAsideAndReplaced();
    void countersSaturateInsteadOfWrapping();
    void theHourKeyStepsBackAcrossBoundaries_data();
    void theHourKeyStepsBackAcrossBoundaries();
    void theHourKeyMatchesTheQtPattern();
    void theHourKeyFollowsTheSharedClock();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("ferrow.db")); }
    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_TrafficDb::initTestCase()
{
    // A fixed zone eight hours east of UTC: local and UTC dates differ every
    // day from 16:00 UTC, and 'localtime' in the statements matters.
    setTimeZone("CST-8");
}

void tst_TrafficDb::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    ferrow::defaults().paths = ferrow::Paths(m_dir->path());
}

void tst_TrafficDb::cleanup()
{
    ferrow::defaults() = ferrow::Defaults();
    setTimeZone("CST-8");
    m_dir.reset();
}

void tst_TrafficDb::aFreshSystemGetsAnEmptyFileAndReportsTheMissingTables()
{
    StderrCapture err;
    deleteExpiredRows("hour_data", 45);
    deleteExpiredRows("app_data", 45);
    QCOMPARE(err.text(), QByteArray("SQL error: no such table: hour_data\nSQL error: no such table: app_data\n"));
    QVERIFY(QFile::exists(dbPath()));
    QCOMPARE(QFileInfo(dbPath()).size(), qint64(0));
}

void tst_TrafficDb::theFirstAddCreatesAppDataWithTheTotal()
{
    // 2026-12-06 02:00 in the test zone is still 2026-12-05 in UTC.
    ferrow::defaults().clock = [] { return QDateTime(QDate(2026, 12, 6), QTime(2, 0)); };
    StderrCapture err;
    QCOMPARE(addAppTraffic("firefox-esr", 1000, 234), 0);
    QCOMPARE(err.text(), QByteArray());
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT pkgname, recv, sent, total, time FROM app_data")),
             QStringList{QStringLiteral("firefox-esr|1000|234|1234|2026-12-05")});
    QCOMPARE(db.rows(QStringLiteral("SELECT sql FROM sqlite_master WHERE name='app_data'")).size(), 1);
}

void tst_TrafficDb::twoAddsOnOneUtcDateLeaveOneRowWithTheSums()
{
    QCOMPARE(addAppTraffic("curl", 10, 1), 0);
    QCOMPARE(addAppTraffic("curl", 20, 2), 0);
    QCOMPARE(addAppTraffic("wget", 5, 0), 0);
    // Values beyond 32 bits keep their 64-bit width.
    QCOMPARE(addAppTraffic("wget", quint64(1) << 40, quint64(3) << 33), 0);
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT pkgname, recv, sent, total FROM app_data ORDER BY pkgname")),
             (QStringList{QStringLiteral("curl|30|3|33"),
                          QStringLiteral("wget|%1|%2|%3")
                              .arg((qint64(1) << 40) + 5)
                              .arg(qint64(3) << 33)
                              .arg((qint64(1) << 40) + 5 + (qint64(3) << 33))}));
}

void tst_TrafficDb::anAppRowIsDatedByTheUtcCalendarNotTheLocalOne_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QDateTime>("instant");
    QTest::addColumn<QString>("utcDate");
    // Each instant falls on another local date than its UTC date.
    QTest::newRow("east of UTC") << QByteArray("<+14>-14") << QDateTime(QDate(2026, 12, 6), QTime(12, 0), Qt::UTC)
                                 << QStringLiteral("2026-12-06");
    QTest::newRow("west of UTC") << QByteArray("<-11>11") << QDateTime(QDate(2026, 12, 6), QTime(3, 0), Qt::UTC)
                                 << QStringLiteral("2026-12-06");
}

void tst_TrafficDb::anAppRowIsDatedByTheUtcCalendarNotTheLocalOne()
{
    QFETCH(QByteArray, zone);
    QFETCH(QDateTime, instant);
    QFETCH(QString, utcDate);
    setTimeZone(zone);
    QVERIFY2(instant.toLocalTime().date() != instant.date(), "the zone must put the local date on another day");

    QCOMPARE(addAppTrafficAt("apt", 1, 2, instant.toSecsSinceEpoch()), 0);
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT time FROM app_data")), QStringList{utcDate});
}

void tst_TrafficDb::anAddAfterUtcMidnightStartsANewRow()
{
    const QDateTime midnight(QDate(2026, 12, 6), QTime(0, 0), Qt::UTC);
    QCOMPARE(addAppTrafficAt("apt", 100, 10, midnight.addSecs(-1).toSecsSinceEpoch()), 0);
    QCOMPARE(addAppTrafficAt("apt", 7, 3, midnight.toSecsSinceEpoch()), 0);
    QCOMPARE(addAppTrafficAt("apt", 1, 1, midnight.addSecs(86399).toSecsSinceEpoch()), 0);
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT recv, sent, total, time FROM app_data ORDER BY time")),
             (QStringList{QStringLiteral("100|10|110|2026-12-05"), QStringLiteral("8|4|12|2026-12-06")}));
}

void tst_TrafficDb::aPackageNameWithQuotesIsStoredUnchanged()
{
    const char *name = "o'brien\"tool'); DROP TABLE app_data; --";
    QCOMPARE(addAppTraffic(name, 1, 1), 0);
    QCOMPARE(addAppTraffic(name, 1, 1), 0);
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT pkgname, total FROM app_data")),
             QStringList{QString::fromUtf8(name) + QStringLiteral("|4")});
}

void tst_TrafficDb::upsertsFailWithTheirMessages_data()
{
    QTest::addColumn<bool>("hourTable");
    QTest::addColumn<QString>("fileKind");
    QTest::addColumn<QByteArray>("message");
    const QByteArray noOpen = QStringLiteral("无法打开数据库: unable to open database file\n").toUtf8();
    const QByteArray notDb = "SQL error: file is not a database\nFailed to check if table eixsts.\n";
    QTest::newRow("app row, directory missing") << false << "missing dir" << noOpen;
    QTest::newRow("app row, file is not a database") << false << "garbage" << notDb;
    QTest::newRow("hour row, directory missing") << true << "missing dir" << noOpen;
    QTest::newRow("hour row, file is not a database") << true << "garbage" << notDb;
}

void tst_TrafficDb::upsertsFailWithTheirMessages()
{
    QFETCH(bool, hourTable);
    QFETCH(QString, fileKind);
    QFETCH(QByteArray, message);
    if (fileKind == QLatin1String("missing dir")) {
        ferrow::defaults().paths.databaseFile = m_dir->filePath(QStringLiteral("missing/ferrow.db"));
    } else {
        QFile file(dbPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    }
    const HourRecord record;
    StderrCapture err;
    const int rc = hourTable ? saveHourRecord("2026-12-06 21:00", &record) : addAppTraffic("apt", 1, 2);
    QCOMPARE(rc, 1);
    QCOMPARE(err.text(), message);
}

void tst_TrafficDb::tableExistsAndCreateReportTheirResults()
{
    TestDatabase db(dbPath());
    StderrCapture err;
    QCOMPARE(tableExists(db.handle(), "app_data"), 0);
    QCOMPARE(createAppTable(db.handle()), 0);
    QCOMPARE(tableExists(db.handle(), "app_data"), 1);
    QCOMPARE(tableExists(db.handle(), "hour_data"), 0);
    QCOMPARE(createHourTable(db.handle()), 0);
    QCOMPARE(createHourTable(db.handle()), 0); // IF NOT EXISTS
    QCOMPARE(tableExists(db.handle(), "hour_data"), 1);
    QCOMPARE(err.text(), QByteArray());
    QCOMPARE(db.rows(QStringLiteral("SELECT count(*) FROM pragma_table_info('hour_data')")), QStringList{"9"});
    QCOMPARE(db.rows(QStringLiteral("SELECT dflt_value FROM pragma_table_info('hour_data') WHERE name='report_status'")),
             QStringList{"0"});
}

void tst_TrafficDb::tableCreationFailsOnAReadOnlyConnection()
{
    { TestDatabase create(dbPath()); QVERIFY(create.exec(QStringLiteral("CREATE TABLE other (x);"))); }
    sqlite3 *db = nullptr;
    QCOMPARE(sqlite3_open_v2(dbPath().toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    StderrCapture err;
    QCOMPARE(createAppTable(db), 1);
    QCOMPARE(createHourTable(db), 1);
    QCOMPARE(err.text(), QByteArray("SQL error: attempt to write a readonly database\n"
                                    "SQL error: attempt to write a readonly database\n"));
    sqlite3_close(db);

    QFile garbage(m_dir->filePath(QStringLiteral("garbage")));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, 'x'));
    garbage.close();
    QCOMPARE(sqlite3_open(garbage.fileName().toUtf8().constData(), &db), SQLITE_OK);
    StderrCapture err2;
    QCOMPARE(tableExists(db, "app_data"), -1);
    QCOMPARE(err2.text(), QByteArray("SQL error: file is not a database\n"));
    sqlite3_close(db);
}

void tst_TrafficDb::savingAnHourAgainReplacesItAndClearsTheReportMark()
{
    HourRecord first{12, 1000, 2000, 30, 40, 70};
    QCOMPARE(saveHourRecord("2026-12-06 21:00", &first), 0);
    TestDatabase db(dbPath());
    const QString query = QStringLiteral(
        "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, report_status FROM hour_data");
    QCOMPARE(db.rows(query), QStringList{"2026-12-06 21:00|12|1000|2000|30|40|70|0"});

    QVERIFY(db.exec(QStringLiteral("UPDATE hour_data SET report_status = 1")));
    HourRecord second{13, qint64(5) << 32, 2100, 31, 39, 69};
    QCOMPARE(saveHourRecord("2026-12-06 21:00", &second), 0);
    QCOMPARE(db.rows(query), QStringList{QStringLiteral("2026-12-06 21:00|13|%1|2100|31|39|69|0").arg(qint64(5) << 32)});

    QCOMPARE(saveHourRecord("2026-12-06 22:00", &first), 0);
    QCOMPARE(db.rows(QStringLiteral("SELECT count(*) FROM hour_data")), QStringList{"2"});
}

void tst_TrafficDb::loadingAnHourCopiesTheRow()
{
    const HourRecord saved{59, qint64(7) << 32, 123456789, 1000, 2000, 2500};
    QCOMPARE(saveHourRecord("2026-12-06 21:00", &saved), 0);
    HourRecord loaded;
    StderrCapture err;
    QCOMPARE(loadHourRecord("2026-12-06 21:00", &loaded), 0);
    QCOMPARE(err.text(), QByteArray());
    QCOMPARE(loaded.mins, 59);
    QCOMPARE(loaded.recv, qint64(7) << 32);
    QCOMPARE(loaded.sent, qint64(123456789));
    QCOMPARE(loaded.recv_peak, 1000);
    QCOMPARE(loaded.sent_peak, 2000);
    QCOMPARE(loaded.total_peak, 2500);
}

void tst_TrafficDb::loadingAMissingHourLeavesTheRecordUntouched_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::newRow("another hour") << QByteArray("2026-12-06 22:00");
    QTest::newRow("the same hour in another form") << QByteArray("2026-12-06 21:00:00");
    // Would match every row if the key were pasted into the statement text.
    QTest::newRow("a key holding SQL") << QByteArray("x' OR '1'='1");
}

void tst_TrafficDb::loadingAMissingHourLeavesTheRecordUntouched()
{
    QFETCH(QByteArray, key);
    const HourRecord saved{59, 1, 2, 3, 4, 5};
    QCOMPARE(saveHourRecord("2026-12-06 21:00", &saved), 0);
    HourRecord record{-7, -7, -7, -7, -7, -7};
    StderrCapture err;
    QCOMPARE(loadHourRecord(key.constData(), &record), -2);
    QCOMPARE(err.text(), QByteArray());
    QCOMPARE(record.mins, -7);
    QCOMPARE(record.recv, qint64(-7));
    QCOMPARE(record.sent, qint64(-7));
    QCOMPARE(record.total_peak, -7);
}

void tst_TrafficDb::loadingFailsWithoutTableOrFile()
{
    HourRecord record{-7, -7, -7, -7, -7, -7};
    {
        StderrCapture err;
        QCOMPARE(loadHourRecord("2026-12-06 21:00", &record), -1);
        QCOMPARE(err.text(), QByteArray("Failed to prepare statement: no such table: hour_data\n"));
    }
    ferrow::defaults().paths.databaseFile = m_dir->filePath(QStringLiteral("missing/ferrow.db"));
    {
        StderrCapture err;
        QCOMPARE(loadHourRecord("2026-12-06 21:00", &record), -1);
        QCOMPARE(err.text(), QByteArray("Cannot open database: unable to open database file\n"));
    }
    QCOMPARE(record.mins, -7);
}

void tst_TrafficDb::loadingADamagedTableIsAnErrorNotAMissingRow()
{
    const HourRecord saved{59, 1, 2, 3, 4, 5};
    QCOMPARE(saveHourRecord("2026-12-06 21:00", &saved), 0);
    {
        TestDatabase db(dbPath());
        QCOMPARE(db.rows(QStringLiteral("SELECT rootpage FROM sqlite_master WHERE name='hour_data'")), QStringList{"2"});
        QCOMPARE(db.rows(QStringLiteral("PRAGMA page_size")), QStringList{"4096"});
    }
    // The schema on page 1 stays readable, so the statement prepares; the
    // table's own page is overwritten, so reading it fails.
    QFile file(dbPath());
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.seek(4096));
    QCOMPARE(file.write(QByteArray(4096, '\xff')), qint64(4096));
    file.close();

    HourRecord record{-7, -7, -7, -7, -7, -7};
    StderrCapture err;
    QCOMPARE(loadHourRecord("2026-12-06 21:00", &record), -1);
    const QByteArray text = err.text();
    QVERIFY2(text.startsWith("Execution failed: ") && text.endsWith("\n") && text.count('\n') == 1, text.constData());
    QCOMPARE(record.mins, -7);
}

void tst_TrafficDb::theRetentionBoundaryDiffersBetweenTheTables()
{
    // Just after local midnight: the boundary dates are the local ones.
    const QDateTime now(QDate(2026, 12, 6), QTime(0, 0, 30));
    const QDate today = now.date(); // local date in the test zone
    const auto day = [&](int back) { return today.addDays(-back).toString(Qt::ISODate); };
    TestDatabase db(dbPath());
    QVERIFY(db.createTables());
    for (int back : {0, 1, 44, 45, 46, 100})
        QVERIFY(db.insertApp(QStringLiteral("d%1").arg(back), today.addDays(-back), 1, 1));
    QVERIFY(db.insertHour(day(44) + QStringLiteral(" 12:00"), 60, 1, 1));
    QVERIFY(db.insertHour(day(45) + QStringLiteral(" 00:00"), 60, 1, 1));
    QVERIFY(db.insertHour(day(45) + QStringLiteral(" 23:00"), 60, 1, 1));
    QVERIFY(db.insertHour(day(46) + QStringLiteral(" 23:00"), 60, 1, 1));
    QVERIFY(db.insertHour(day(90) + QStringLiteral(" 05:00"), 60, 1, 1));

    StderrCapture err;
    deleteExpiredRowsAt("hour_data", 45, now.toSecsSinceEpoch());
    deleteExpiredRowsAt("app_data", 45, now.toSecsSinceEpoch());
    QCOMPARE(err.text(), QByteArray());

    // app_data: the boundary date itself goes.
    QCOMPARE(db.rows(QStringLiteral("SELECT pkgname FROM app_data ORDER BY time DESC")),
             (QStringList{"d0", "d1", "d44"}));
    // hour_data: every hour of the boundary date stays.
    QCOMPARE(db.rows(QStringLiteral("SELECT time FROM hour_data ORDER BY time DESC")),
             (QStringList{day(44) + " 12:00", day(45) + " 23:00", day(45) + " 00:00"}));
}

void tst_TrafficDb::theRetentionPurgeReportsAnUnopenableFile()
{
    ferrow::defaults().paths.databaseFile = m_dir->filePath(QStringLiteral("missing/ferrow.db"));
    StderrCapture err;
    deleteExpiredRows("app_data", 45);
    QCOMPARE(err.text(), QStringLiteral("无法打开数据库: unable to open database file\n").toUtf8());
}

void tst_TrafficDb::aWriteWaitsForAShortReadLock()
{
    QCOMPARE(addAppTraffic("apt", 1, 1), 0);
    QElapsedTimer timer;
    StderrCapture err;
    {
        // Another connection reads inside a transaction for 300 ms; its shared
        // lock keeps our commit out until it ends.
        LockHolder reader(dbPath(), "BEGIN; SELECT count(*) FROM app_data;", 300);
        QVERIFY(reader.holding());
        timer.start();
        QCOMPARE(addAppTraffic("apt", 2, 2), 0);
    }
    QVERIFY2(timer.elapsed() >= 200, "the write should have waited for the reader");
    QCOMPARE(err.text(), QByteArray());
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT total FROM app_data")), QStringList{"6"});
}

void tst_TrafficDb::aWriteGivesUpAfterTheBusyTimeout()
{
    QCOMPARE(addAppTraffic("apt", 1, 1), 0);
    QElapsedTimer timer;
    StderrCapture err;
    {
        LockHolder writer(dbPath(), "BEGIN EXCLUSIVE;", 10000);
        QVERIFY(writer.holding());
        timer.start();
        QCOMPARE(addAppTraffic("apt", 2, 2), 1);
        QVERIFY(timer.elapsed() >= 1900);
    }
    QVERIFY(timer.elapsed() < 9000);
    const QByteArray text = err.text();
    QVERIFY2(text.contains("database is locked"), text.constData());
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT total FROM app_data")), QStringList{"2"});
}

void tst_TrafficDb::aFlushWritesAppsAndHourInOneTransaction()
{
    const time_t now = QDateTime(QDate(2026, 12, 6), QTime(10, 30)).toSecsSinceEpoch();
    const AppIncrement apps[] = {{"apt", 100, 10}, {"curl", 5, 6}};
    HourRecord hour{30, 105, 16, 1, 2, 3};
    StderrCapture err;
    QCOMPARE(saveTrafficFlush(apps, 2, "2026-12-06 10:00", &hour, now), int(FlushSaved));
    QCOMPARE(saveTrafficFlush(apps, 1, "2026-12-06 10:00", &hour, now), int(FlushSaved));
    QCOMPARE(err.text(), QByteArray());
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT pkgname, recv, sent, total, time FROM app_data ORDER BY pkgname")),
             (QStringList{"apt|200|20|220|2026-12-06", "curl|5|6|11|2026-12-06"}));
    QCOMPARE(db.rows(QStringLiteral("SELECT time, mins, recv, sent, report_status FROM hour_data")),
             QStringList{"2026-12-06 10:00|30|105|16|0"});

    // A failure part-way leaves nothing behind: an hour key that breaks the
    // NOT NULL constraint after the applications were added.
    QCOMPARE(saveTrafficFlush(apps, 2, nullptr, &hour, now), int(FlushFailed));
    QCOMPARE(db.rows(QStringLiteral("SELECT sum(total) FROM app_data")), QStringList{"231"});
}

void tst_TrafficDb::aFlushWaitsForReadersOnceForTheWholeFlush()
{
    const AppIncrement first{"apt", 1, 1};
    HourRecord hour{};
    QCOMPARE(saveTrafficFlush(&first, 1, "2026-12-06 10:00", &hour, 0), int(FlushSaved));

    // Many applications pending and a reader that holds its shared lock for
    // 20 s: the commit waits once, for one busy timeout, and writes nothing.
    QVector<QByteArray> names;
    QVector<AppIncrement> apps;
    for (int i = 0; i < 16; ++i)
        names.append("app" + QByteArray::number(i));
    for (const QByteArray &name : names)
        apps.append({name.constData(), 7, 7});
    QElapsedTimer timer;
    StderrCapture err;
    {
        LockHolder reader(dbPath(), "BEGIN; SELECT count(*) FROM app_data;", 20000);
        QVERIFY(reader.holding());
        timer.start();
        QCOMPARE(saveTrafficFlush(apps.constData(), size_t(apps.size()), "2026-12-06 10:00", &hour, 0),
                 int(FlushFailed));
        QVERIFY2(timer.elapsed() < 6000, "one bounded wait, not one per statement");
    }
    QVERIFY(err.text().contains("database is locked"));
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT count(*) FROM app_data")), QStringList{"1"});
}

void tst_TrafficDb::aDamagedFileIsReportedMovedAsideAndReplaced_data()
{
    QTest::addColumn<int>("truncateTo"); // -1: replace the file by garbage
    QTest::newRow("not a database") << -1;
    QTest::newRow("truncated to one page") << 4096;
}

void tst_TrafficDb::aDamagedFileIsReportedMovedAsideAndReplaced()
{
    QFETCH(int, truncateTo);
    // A real database of several pages to damage.
    HourRecord hour{1, 1, 1, 0, 0, 0};
    QVector<QByteArray> names;
    for (int i = 0; i < 400; ++i)
        names.append("package-with-a-long-name-" + QByteArray::number(i));
    QVector<AppIncrement> apps;
    for (const QByteArray &name : names)
        apps.append({name.constData(), 1, 1});
    QCOMPARE(saveTrafficFlush(apps.constData(), size_t(apps.size()), "2026-12-06 09:00", &hour, 0), int(FlushSaved));
    QFile file(dbPath());
    if (truncateTo < 0) {
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QByteArray(10000, 'x'));
        file.close();
    } else {
        QVERIFY(file.size() > truncateTo);
        QVERIFY(file.resize(truncateTo));
    }
    const QByteArray damaged = [&] { QFile f(dbPath()); f.open(QIODevice::ReadOnly); return f.readAll(); }();

    const AppIncrement pending{"apt", 5, 6};
    StderrCapture err;
    QCOMPARE(saveTrafficFlush(&pending, 1, "2026-12-06 10:00", &hour, 0), int(FlushDamaged));
    const time_t now = QDateTime(QDate(2026, 12, 6), QTime(10, 1, 2)).toSecsSinceEpoch();
    const QString aside = moveDamagedDatabase(now);
    QCOMPARE(aside, dbPath() + QStringLiteral(".damaged-20261206-100102"));
    QVERIFY(!QFile::exists(dbPath()));
    QCOMPARE([&] { QFile f(aside); f.open(QIODevice::ReadOnly); return f.readAll(); }(), damaged);
    // A second damaged file in the same second gets a name of its own.
    QVERIFY(QFile(aside).copy(dbPath()));
    QCOMPARE(moveDamagedDatabase(now), aside + QStringLiteral("-2"));

    QCOMPARE(saveTrafficFlush(&pending, 1, "2026-12-06 10:00", &hour, 0), int(FlushSaved));
    QVERIFY(!err.text().isEmpty());
    TestDatabase db(dbPath());
    QCOMPARE(db.rows(QStringLiteral("SELECT pkgname, total FROM app_data")), QStringList{"apt|11"});
}

void tst_TrafficDb::countersSaturateInsteadOfWrapping()
{
    const QString full = QString::number(kMaxStoredBytes);
    const QString twice = QString::number(2 * kMaxStoredBytes);
    QCOMPARE(addAppTrafficAt("huge", UINT64_MAX, 1, 0), 0);
    QCOMPARE(addAppTrafficAt("huge", UINT64_MAX, UINT64_MAX, 0), 0);
    QCOMPARE(addAppTrafficAt("huge", 1, 1, 0), 0);
    TestDatabase db(dbPath());
    // A row written by an older version that wrapped to a negative figure, and one at the signed limit.
    QVERIFY(db.exec(QStringLiteral("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES "
                                   "('wrapped', -5, 9223372036854775807, -6, '1970-01-01')")));
    QCOMPARE(addAppTrafficAt("wrapped", 10, 10, 0), 0);
    QCOMPARE(db.rows(QStringLiteral("SELECT pkgname, recv, sent, total, typeof(total) FROM app_data ORDER BY pkgname")),
             (QStringList{"huge|" + full + "|" + full + "|" + twice + "|integer",
                          "wrapped|10|" + full + "|" + QString::number(kMaxStoredBytes + 10) + "|integer"}));

    HourRecord hour{75, -1, INT64_MAX, 0, 0, 0};
    QCOMPARE(saveHourRecord("2026-12-06 10:00", &hour), 0);
    QCOMPARE(db.rows(QStringLiteral("SELECT mins, recv, sent FROM hour_data")), QStringList{"60|0|" + full});
}

void tst_TrafficDb::theHourKeyStepsBackAcrossBoundaries_data()
{
    QTest::addColumn<QDateTime>("now");
    QTest::addColumn<int>("hoursBack");
    QTest::addColumn<QByteArray>("key");
    const auto at = [](int y, int m, int d, int h, int min) { return QDateTime(QDate(y, m, d), QTime(h, min)); };
    QTest::newRow("current hour") << at(2026, 12, 6, 21, 40) << 0 << QByteArray("2026-12-06 21:00");
    QTest::newRow("previous hour") << at(2026, 12, 6, 21, 40) << 1 << QByteArray("2026-12-06 20:00");
    QTest::newRow("into the previous day") << at(2026, 12, 6, 0, 15) << 1 << QByteArray("2026-12-05 23:00");
    QTest::newRow("into the previous month") << at(2026, 12, 1, 0, 15) << 1 << QByteArray("2026-11-30 23:00");
    QTest::newRow("into February") << at(2026, 3, 1, 0, 15) << 1 << QByteArray("2026-02-28 23:00");
    QTest::newRow("into a leap February") << at(2028, 3, 1, 0, 59) << 1 << QByteArray("2028-02-29 23:00");
    QTest::newRow("into the previous year") << at(2027, 1, 1, 0, 0) << 1 << QByteArray("2026-12-31 23:00");
    QTest::newRow("a whole day") << at(2026, 12, 6, 21, 40) << 24 << QByteArray("2026-12-05 21:00");
    QTest::newRow("more than a day") << at(2026, 12, 6, 0, 15) << 25 << QByteArray("2026-12-04 23:00");
    QTest::newRow("two days across a month") << at(2026, 12, 1, 5, 0) << 50 << QByteArray("2026-11-29 03:00");
}

void tst_TrafficDb::theHourKeyStepsBackAcrossBoundaries()
{
    QFETCH(QDateTime, now);
    QFETCH(int, hoursBack);
    QFETCH(QByteArray, key);
    QCOMPARE(QByteArray(hourKeyAt(now.toSecsSinceEpoch(), hoursBack)), key);
}

void tst_TrafficDb::theHourKeyMatchesTheQtPattern()
{
    // The process table names hours with "yyyy-MM-dd hh:00"; rows only match
    // when both forms agree, for every hour.
    const QDateTime start(QDate(2026, 12, 30), QTime(0, 30));
    for (int hour = 0; hour < 24 * 4; ++hour) {
        const QDateTime t = start.addSecs(hour * 3600);
        QCOMPARE(QByteArray(hourKeyAt(t.toSecsSinceEpoch(), 0)),
                 t.toString(QStringLiteral("yyyy-MM-dd hh:00")).toUtf8());
        QCOMPARE(QByteArray(hourKeyAt(t.addSecs(3600).toSecsSinceEpoch(), 1)),
                 t.toString(QStringLiteral("yyyy-MM-dd hh:00")).toUtf8());
    }
}

void tst_TrafficDb::theHourKeyFollowsTheSharedClock()
{
    ferrow::defaults().clock = [] { return QDateTime(QDate(2026, 12, 1), QTime(0, 15)); };
    QCOMPARE(QByteArray(hourKey(1)), QByteArray("2026-11-30 23:00"));
    QCOMPARE(QByteArray(hourKey(0)), QByteArray("2026-12-01 00:00"));
    ferrow::defaults().clock = nullptr;
    QCOMPARE(QByteArray(hourKey(0)), QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:00")).toUtf8());
}

QTEST_GUILESS_MAIN(tst_TrafficDb)
#include "tst_trafficdb.moc"

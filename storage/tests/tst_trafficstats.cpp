#include "defaults.h"
#include "trafficstats.h"

#include "testdatabase.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const qint64 GB = qint64(1) << 30;

// Prints a query result unformatted and releases it.
QByteArray printAndDelete(cJSON *json)
{
    char *text = cJSON_PrintUnformatted(json);
    const QByteArray result(text);
    cJSON_free(text);
    cJSON_Delete(json);
    return result;
}

QJsonArray parsed(cJSON *json)
{
    return QJsonDocument::fromJson(printAndDelete(json)).array();
}

QStringList field(const QJsonArray &array, const QString &name)
{
    QStringList values;
    for (const QJsonValue &value : array) {
        const QJsonValue member = value.toObject().value(name);
        values << (member.isString() ? member.toString() : QString::number(member.toDouble()));
    }
    return values;
}

QString localHourKey(const QDateTime &t)
{
    return t.toString(QStringLiteral("yyyy-MM-dd hh:00"));
}

} // namespace

class tst_TrafficStats : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void bytesAreConvertedToGigabytes_data();
    void bytesAreConvertedToGigabytes();
    void anHourRowCarriesVolumesAveragesAndPeaks();
    void hourRowsRunFromTheFirstDayUpToThePreviousHour();
    void topAppsAreTheTenLargestOfTheDaysBeforeToday();
    void aTopAppsTotalIsTheSumOfTheRoundedValues();
    void unreportedHoursAreMarkedOnlyWhenAsked();
    void aSecondReportCarriesOnlyHoursSavedAgain();
    void anHourSavedAgainDuringAReportIsMarkedOnlyWithTheFiguresReported();
    void aReportThatCannotTakeTheWriteLockMarksNothing();
    void aMarkThatCannotBeCommittedLeavesTheHoursUnmarked();
    void anEmptyDatabaseGivesAnEmptyReport();
    void aReportOfAnUnopenableFileIsEmpty();
    void aReportOfAFileThatIsNotADatabaseIsEmpty();
    void aReportCarriesTheHoursAndBothTopLists();

private:
    QString dbPath() const { return m_dir->filePath(QStringLiteral("ferrow.db")); }
    void setClock(const QDateTime &t)
    {
        ferrow::defaults().clock = [t] { return t; };
    }
    QScopedPointer<QTemporaryDir> m_dir;
    const QDateTime kNow = QDateTime(QDate(2026, 12, 6), QTime(10, 5));
};

void tst_TrafficStats::initTestCase()
{
    // A fixed zone eight hours east of UTC, so that 'localtime' matters.
    setTimeZone("CST-8");
}

void tst_TrafficStats::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    ferrow::defaults().paths = ferrow::Paths(m_dir->path());
    // Every query runs at a fixed local instant unless a test picks another.
    setClock(kNow);
}

void tst_TrafficStats::cleanup()
{
    ferrow::defaults() = ferrow::Defaults();
    m_dir.reset();
}

void tst_TrafficStats::bytesAreConvertedToGigabytes_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<double>("gb");
    QTest::newRow("zero is raised to the minimum") << qint64(0) << 0.01;
    QTest::newRow("one byte") << qint64(1) << 0.01;
    QTest::newRow("just under 0.005 GB") << qint64(5368709) << 0.01;
    QTest::newRow("0.005 GB rounds up") << qint64(5368710) << 0.01;
    QTest::newRow("0.015 GB rounds half up") << qint64(16106128) << 0.02;
    QTest::newRow("2^30 bytes") << GB << 1.0;
    QTest::newRow("1.234 GB") << qint64(1.234 * GB) << 1.23;
    QTest::newRow("1.5 GB") << GB * 3 / 2 << 1.5;
    QTest::newRow("just under 1.005 GB") << qint64(1.0049 * GB) << 1.0;
    QTest::newRow("one TB") << GB * 1024 << 1024.0;
}

void tst_TrafficStats::bytesAreConvertedToGigabytes()
{
    QFETCH(qint64, bytes);
    QFETCH(double, gb);
    QCOMPARE(bytesToGB(bytes), gb);
}

void tst_TrafficStats::anHourRowCarriesVolumesAveragesAndPeaks()
{
    TestDatabase db(dbPath());
    QVERIFY(db.createTables());
    // 3600 KB sent in 60 minutes: 1 KB/s. Peaks are reported as stored.
    QVERIFY(db.insertHour(QStringLiteral("2026-12-06 07:00"), 60, 0, 3600 * 1024, 5, 7, 11));
    // mins 0 counts as one minute.
    QVERIFY(db.insertHour(QStringLiteral("2026-12-06 08:00"), 0, GB, 120 * 1024));
    // Every division truncates: 3599 KB over 60 minutes is 0 KB/s.
    QVERIFY(db.insertHour(QStringLiteral("2026-12-06 09:00"), 60, GB * 3 / 2, 3600 * 1024 - 1, 1, 2, 3));
    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 5)));

    QCOMPARE(printAndDelete(queryUnreportedHours(false)),
             QByteArray("["
                        "{\"time\":\"2026-12-06 07:00\",\"up\":0.01,\"down\":0.01,\"tot\":0.02,"
                        "\"avg_up\":1,\"avg_down\":0,\"avg\":1,\"pk_up\":7,\"pk_down\":5,\"pk\":11},"
                        "{\"time\":\"2026-12-06 08:00\",\"up\":0.01,\"down\":1,\"tot\":1.01,"
                        "\"avg_up\":2,\"avg_down\":17476,\"avg\":17478,\"pk_up\":0,\"pk_down\":0,\"pk\":0},"
                        "{\"time\":\"2026-12-06 09:00\",\"up\":0.01,\"down\":1.5,\"tot\":1.51,"
                        "\"avg_up\":0,\"avg_down\":436,\"avg\":436,\"pk_up\":2,\"pk_down\":1,\"pk\":3}"
                        "]"));
}

void tst_TrafficStats::hourRowsRunFromTheFirstDayUpToThePreviousHour()
{
    const QDate today = kNow.date();
    const QString first = today.addDays(-2).toString(Qt::ISODate) + QStringLiteral(" 00:00");
    const QString beforeFirst = today.addDays(-3).toString(Qt::ISODate) + QStringLiteral(" 23:00");
    const QString previous = localHourKey(kNow.addSecs(-3600));
    const QString current = localHourKey(kNow);

    TestDatabase db(dbPath());
    QVERIFY(db.createTables());
    QVERIFY(db.insertHour(beforeFirst, 60, 1, 1));
    QVERIFY(db.insertHour(first, 60, 1, 1, 0, 0, 0, 1));
    QVERIFY(db.insertHour(previous, 60, GB, 2 * GB));
    QVERIFY(db.insertHour(current, 5, 1, 1));

    const QJsonArray rows = parsed(queryHourRows(2));
    QCOMPARE(field(rows, QStringLiteral("time")), (QStringList{first, previous}));
    QCOMPARE(field(rows, QStringLiteral("status")), (QStringList{"1", "0"}));
    QCOMPARE(field(rows, QStringLiteral("up")), (QStringList{"0.01", "2"}));
    QCOMPARE(field(rows, QStringLiteral("down")), (QStringList{"0.01", "1"}));
    QCOMPARE(rows.at(1).toObject().keys().size(), 11);

    // The same window seen a day later, through the variant that takes the time.
    const QJsonArray later = parsed(queryHourRowsAt(1, kNow.addDays(1).toSecsSinceEpoch()));
    QCOMPARE(field(later, QStringLiteral("time")), (QStringList{previous, current}));
}

void tst_TrafficStats::topAppsAreTheTenLargestOfTheDaysBeforeToday()
{
    const QDate today = kNow.date();
    TestDatabase db(dbPath());
    QVERIFY(db.createTables());
    for (int i = 1; i <= 11; ++i)
        QVERIFY(db.insertApp(QStringLiteral("a%1").arg(i, 2, 10, QLatin1Char('0')), today.addDays(-1), i * GB, 0));
    QVERIFY(db.insertApp(QStringLiteral("today"), today, 100 * GB, 0));
    QVERIFY(db.insertApp(QStringLiteral("multi"), today.addDays(-7), 20 * GB, 0));
    QVERIFY(db.insertApp(QStringLiteral("multi"), today.addDays(-8), 20 * GB, 0));
    QVERIFY(db.insertApp(QStringLiteral("edge30"), today.addDays(-30), 50 * GB, GB));
    QVERIFY(db.insertApp(QStringLiteral("old"), today.addDays(-31), 100 * GB, 0));

    StderrCapture err;
    const QJsonArray week = parsed(queryTopApps(7));
    const QJsonArray month = parsed(queryTopApps(30));
    QCOMPARE(err.text(), QByteArray());

    QCOMPARE(field(week, QStringLiteral("app")),
             (QStringList{"multi", "a11", "a10", "a09", "a08", "a07", "a06", "a05", "a04", "a03"}));
    QCOMPARE(field(week, QStringLiteral("down")),
             (QStringList{"20", "11", "10", "9", "8", "7", "6", "5", "4", "3"}));
    QCOMPARE(field(week, QStringLiteral("up")), QVector<QString>(10, QStringLiteral("0.01")).toList());
    QCOMPARE(week.at(0).toObject().value(QStringLiteral("tot")).toDouble(), 20.01);

    QCOMPARE(field(month, QStringLiteral("app")),
             (QStringList{"edge30", "multi", "a11", "a10", "a09", "a08", "a07", "a06", "a05", "a04"}));
    QCOMPARE(field(month, QStringLiteral("up")).first(), QStringLiteral("1"));
    QCOMPARE(field(month, QStringLiteral("down")).mid(0, 2), (QStringList{"50", "40"}));
    QCOMPARE(month.at(0).toObject().keys(), (QStringList{"app", "down", "tot", "up"}));
}

void tst_TrafficStats::aTopAppsTotalIsTheSumOfTheRoundedValues()
{
    TestDatabase db(dbPath());
    QVERIFY(db.createTables());
    // 0.02 GB received and nothing sent: 0.01 + 0.02, not a conversion of the total.
    QVERIFY(db.insertApp(QStringLiteral("tiny"), kNow.date().addDays(-1), 21474836, 0));
    QCOMPARE(printAndDelete(queryTopApps(1)), QByteArray("[{\"app\":\"tiny\",\"up\":0.01,\"down\":0.02,\"tot\":0.03}]"));

    // Failure beside it: no table.
    QFile::remove(dbPath());
    StderrCapture err;
    QCOMPARE(printAndDelete(queryTopApps(7)), QByteArray("[]"));
    QCOMPARE(printAndDelete(queryHourRows(7)), QByteArray("[]"));
    QCOMPARE(err.text(), QByteArray("Failed to prepare statement: no such table: app_data\n"
                                    "Failed to prepare statement: no such table: hour_data\n"));
}

void tst_TrafficStats::unreportedHoursAreMarkedOnlyWhenAsked()
{
    TestDatabase db(dbPath());
    QVERIFY(db.createTables());
    QVERIFY(db.insertHour(QStringLiteral("2026-11-20 03:00"), 60, 1, 1));
    QVERIFY(db.insertHour(QStringLiteral("2026-12-06 08:00"), 60, 1, 1, 0, 0, 0, 1));
    QVERIFY(db.insertHour(QStringLiteral("2026-12-06 09:00"), 60, 1, 1));
    QVERIFY(db.insertHour(QStringLiteral("2026-12-06 10:00"), 5, 1, 1));
    const QString statusQuery = QStringLiteral("SELECT time, report_status FROM hour_data ORDER BY time");
    const QStringList before = db.rows(statusQuery);
    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 5)));

    const QStringList expected{"2026-11-20 03:00", "2026-12-06 09:00"};
    QCOMPARE(field(parsed(queryUnreportedHours(false)), QStringLiteral("time")), expected);
    QCOMPARE(db.rows(statusQuery), before);

    const QJsonArray marked = parsed(queryUnreportedHours(true));
    QCOMPARE(field(marked, QStringLiteral("time")), expected);
    QVERIFY(!marked.at(0).toObject().contains(QStringLiteral("status")));
    QCOMPARE(db.rows(statusQuery), (QStringList{"2026-11-20 03:00|1", "2026-12-06 08:00|1", "2026-12-06 09:00|1",
                                                "2026-12-06 10:00|0"}));
}

void tst_TrafficStats::aSecondReportCarriesOnlyHoursSavedAgain()
{
    const HourRecord record{60, GB, GB, 1, 2, 3};
    QCOMPARE(saveHourRecord("2026-12-06 09:00", &record), 0);
    QCOMPARE(saveHourRecord("2026-12-06 10:00", &record), 0);

    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 5)));
    QCOMPARE(field(parsed(queryUnreportedHours(true)), QStringLiteral("time")), QStringList{"2026-12-06 09:00"});
    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 30)));
    QCOMPARE(printAndDelete(queryUnreportedHours(true)), QByteArray("[]"));

    // Saving an hour again clears its mark.
    QCOMPARE(saveHourRecord("2026-12-06 09:00", &record), 0);
    QCOMPARE(field(parsed(queryUnreportedHours(true)), QStringLiteral("time")), QStringList{"2026-12-06 09:00"});

    setClock(QDateTime(QDate(2026, 12, 6), QTime(11, 0, 1)));
    QCOMPARE(field(parsed(queryUnreportedHours(true)), QStringLiteral("time")), QStringList{"2026-12-06 10:00"});
}

void tst_TrafficStats::anHourSavedAgainDuringAReportIsMarkedOnlyWithTheFiguresReported()
{
    const HourRecord record{60, GB, GB, 1, 2, 3};
    QCOMPARE(saveHourRecord("2026-12-06 09:00", &record), 0);
    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 5)));

    QJsonArray hours;
    {
        // A flush is saving the hour again (3 GB received by now) while the
        // report runs; it commits 300 ms later.
        LockHolder flush(dbPath(),
                         "BEGIN IMMEDIATE; UPDATE hour_data SET recv = 3221225472, report_status = 0"
                         " WHERE time = '2026-12-06 09:00';",
                         300);
        QVERIFY(flush.holding());
        hours = parsed(queryUnreportedHours(true));
        QVERIFY(flush.release());
    }
    // Either the report carried the new figures and marked them, or it carried
    // the old ones and the new ones stay unmarked for the next report; an hour
    // marked with figures no report carried would be lost.
    TestDatabase db(dbPath());
    const QStringList row = db.rows(QStringLiteral("SELECT recv, report_status FROM hour_data"));
    QCOMPARE(field(hours, QStringLiteral("time")), QStringList{"2026-12-06 09:00"});
    if (field(hours, QStringLiteral("down")) == QStringList{"3"})
        QCOMPARE(row, QStringList{"3221225472|1"});
    else
        QCOMPARE(row, QStringList{"3221225472|0"});
}

void tst_TrafficStats::aReportThatCannotTakeTheWriteLockMarksNothing()
{
    const HourRecord record{60, GB, GB, 1, 2, 3};
    QCOMPARE(saveHourRecord("2026-12-06 09:00", &record), 0);
    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 5)));
    TestDatabase db(dbPath());
    {
        // A writer keeps its transaction open longer than the busy timeout.
        LockHolder writer(dbPath(), "BEGIN IMMEDIATE;", 10000);
        QVERIFY(writer.holding());
        StderrCapture err;
        QCOMPARE(printAndDelete(queryUnreportedHours(true)), QByteArray("[]"));
        QCOMPARE(err.text(), QByteArray("Failed to update report_status: database is locked\n"));
        QCOMPARE(db.rows(QStringLiteral("SELECT report_status FROM hour_data")), QStringList{"0"});
    }
    // The hour is carried by the next report.
    QCOMPARE(field(parsed(queryUnreportedHours(true)), QStringLiteral("time")), QStringList{"2026-12-06 09:00"});
    QCOMPARE(db.rows(QStringLiteral("SELECT report_status FROM hour_data")), QStringList{"1"});
}

void tst_TrafficStats::aMarkThatCannotBeCommittedLeavesTheHoursUnmarked()
{
    const HourRecord record{60, GB, GB, 1, 2, 3};
    QCOMPARE(saveHourRecord("2026-12-06 09:00", &record), 0);
    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 5)));
    TestDatabase db(dbPath());
    {
        // A reader keeps its shared lock longer than the busy timeout, so the
        // mark cannot be written.
        LockHolder reader(dbPath(), "BEGIN; SELECT count(*) FROM hour_data;", 10000);
        QVERIFY(reader.holding());
        StderrCapture err;
        QCOMPARE(field(parsed(queryUnreportedHours(true)), QStringLiteral("time")), QStringList{"2026-12-06 09:00"});
        QCOMPARE(err.text(), QByteArray("Failed to update report_status: database is locked\n"));
    }
    QCOMPARE(db.rows(QStringLiteral("SELECT report_status FROM hour_data")), QStringList{"0"});
    QCOMPARE(field(parsed(queryUnreportedHours(true)), QStringLiteral("time")), QStringList{"2026-12-06 09:00"});
    QCOMPARE(db.rows(QStringLiteral("SELECT report_status FROM hour_data")), QStringList{"1"});
}

void tst_TrafficStats::anEmptyDatabaseGivesAnEmptyReport()
{
    { QFile file(dbPath()); QVERIFY(file.open(QIODevice::WriteOnly)); }
    StderrCapture err;
    char *report = buildTrafficReport();
    QVERIFY(report);
    QCOMPARE(QByteArray(report), QByteArray("{\"hour\":[],\"top10\":{\"7day\":[],\"30day\":[]}}"));
    cJSON_free(report);
    QCOMPARE(err.text(), QByteArray("Failed to prepare statement: no such table: hour_data\n"
                                    "Failed to prepare statement: no such table: app_data\n"
                                    "Failed to prepare statement: no such table: app_data\n"));
}

void tst_TrafficStats::aReportOfAnUnopenableFileIsEmpty()
{
    ferrow::defaults().paths.databaseFile = m_dir->filePath(QStringLiteral("missing/ferrow.db"));
    StderrCapture err;
    char *report = buildTrafficReport();
    QCOMPARE(QByteArray(report), QByteArray("{\"hour\":[],\"top10\":{\"7day\":[],\"30day\":[]}}"));
    cJSON_free(report);
    QCOMPARE(err.text(), QByteArray("Cannot open database: unable to open database file\n").repeated(3));
}

void tst_TrafficStats::aReportOfAFileThatIsNotADatabaseIsEmpty()
{
    {
        QFile file(dbPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(4096, 'x'));
    }
    StderrCapture err;
    char *report = buildTrafficReport();
    QCOMPARE(QByteArray(report), QByteArray("{\"hour\":[],\"top10\":{\"7day\":[],\"30day\":[]}}"));
    cJSON_free(report);
    QCOMPARE(err.text(), QByteArray("Failed to update report_status: file is not a database\n"
                                    "Failed to prepare statement: file is not a database\n"
                                    "Failed to prepare statement: file is not a database\n"));
    QCOMPARE(printAndDelete(queryUnreportedHours(false)), QByteArray("[]"));
    QCOMPARE(printAndDelete(queryHourRows(7)), QByteArray("[]"));
}

void tst_TrafficStats::aReportCarriesTheHoursAndBothTopLists()
{
    const QDate today = kNow.date();
    TestDatabase db(dbPath());
    QVERIFY(db.createTables());
    QVERIFY(db.insertApp(QStringLiteral("apt"), today.addDays(-2), 2 * GB, GB));
    QVERIFY(db.insertApp(QStringLiteral("apt"), today.addDays(-20), 4 * GB, 0));
    QVERIFY(db.insertApp(QStringLiteral("curl"), today.addDays(-10), GB, 9 * GB));
    QVERIFY(db.insertApp(QStringLiteral("curl"), today, 50 * GB, 0));
    QVERIFY(db.insertHour(QStringLiteral("2026-12-06 09:00"), 60, 2 * GB, GB, 10, 20, 25));
    setClock(QDateTime(QDate(2026, 12, 6), QTime(10, 5)));

    char *report = buildTrafficReport();
    const QByteArray text(report);
    cJSON_free(report);
    QCOMPARE(text,
             QByteArray("{\"hour\":[{\"time\":\"2026-12-06 09:00\",\"up\":1,\"down\":2,\"tot\":3,"
                        "\"avg_up\":291,\"avg_down\":582,\"avg\":873,\"pk_up\":20,\"pk_down\":10,\"pk\":25}],"
                        "\"top10\":{\"7day\":[{\"app\":\"apt\",\"up\":1,\"down\":2,\"tot\":3}],"
                        "\"30day\":[{\"app\":\"curl\",\"up\":9,\"down\":1,\"tot\":10},"
                        "{\"app\":\"apt\",\"up\":1,\"down\":6,\"tot\":7}]}}"));
    QCOMPARE(db.rows(QStringLiteral("SELECT report_status FROM hour_data")), QStringList{"1"});
}

QTEST_GUILESS_MAIN(tst_TrafficStats)
#include "tst_trafficstats.moc"

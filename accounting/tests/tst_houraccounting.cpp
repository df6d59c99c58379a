// Hourly accounting and persistence against real SQLite files: the flush of
// per-application bytes, the minute count, the roll-over to a new hour, a
// restart within the hour, and the retry of failed application writes.

#include "accountingtestsupport.h"
#include "processlist.h"
#include "trafficstats.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <limits>
#include <memory>

using sysmonitor::process::ProcessList;

namespace {

NetworkProcess report(qint32 pid, quint64 rx, quint64 tx, double rxSpeed = 0, double txSpeed = 0)
{
    NetworkProcess p;
    p.pid = pid;
    p.rx_bytes = rx;
    p.tx_bytes = tx;
    p.rx_speed = rxSpeed;
    p.tx_speed = txSpeed;
    return p;
}

constexpr qint32 GonePid = 4194304 + 23;

QDateTime at(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

} // namespace

class TestHourAccounting : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void constructionStartsTheHourFromTheClock();
    void flushWritesPendingBytesAndTheHourRow();
    void minutesCountOncePerMinuteChange_data();
    void minutesCountOncePerMinuteChange();
    void hourChangeClosesTheOldHourAndStartsTheNew();
    void flushAfterMidnightIsAnHourChange();
    void hourChangeContinuesAStoredRowOfTheNewHour();
    void aFailedFlushAtHourChangeKeepsTheEndedHourOpen();
    void restartWithinTheHourContinuesItsFigures();
    void failedApplicationWriteIsRetriedWithTheNextFlush();
    void failedHourSaveLosesNothing();
    void nothingPendingWritesOnlyTheHourRow();
    void hourVolumesReadBackInGigabytesWithHalvesRoundedUp();
    void minutesKeepCountingThroughTheRepeatedHourOfAutumn();
    void aClockSetBackIntoAFullHourKeepsItsMinutesAt60();
    void countersSaturateAndTotalsStayTheSum();
    void aDamagedDatabaseIsMovedAsideAndThePendingBytesGoIntoANewOne();

private:
    QString db() const { return ferrow::paths().databaseFile; }
    std::unique_ptr<ProcessList> makeList(const QDateTime &time);

    QTemporaryDir adminDir;
    std::unique_ptr<QTemporaryDir> dataDir;
    QDateTime now;
};

void TestHourAccounting::initTestCase()
{
    QVERIFY(adminDir.isValid());
    QVERIFY(accountingtest::writeFakePackageDatabase(
        adminDir.path(), {accountingtest::package(QStringLiteral("toolpkg"), {QStringLiteral("/bin/sleep")})}));
    qputenv("DPKG_ADMINDIR", adminDir.path().toUtf8());
}

void TestHourAccounting::init()
{
    dataDir.reset(new QTemporaryDir(QStringLiteral("/tmp/acc-XXXXXX")));
    QVERIFY(dataDir->isValid());
    accountingtest::pointDefaultsInto(dataDir->path());
    ferrow::defaults().paths.dpkgStatusFile = adminDir.path() + QStringLiteral("/status");
    ferrow::defaults().clock = [this] { return now; };
}

void TestHourAccounting::cleanup()
{
    qunsetenv("TZ");
    tzset();
    ferrow::defaults() = ferrow::Defaults();
    dataDir.reset();
}

std::unique_ptr<ProcessList> TestHourAccounting::makeList(const QDateTime &time)
{
    now = time;
    return std::unique_ptr<ProcessList>(new ProcessList);
}

void TestHourAccounting::constructionStartsTheHourFromTheClock()
{
    auto list = makeList(at("2026-03-04 07:41:09"));
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-03-04 07:00"));
    QCOMPARE(list->lastMinuteTime, now);
    QVERIFY(list->updateTime.isNull());
    QVERIFY(list->updateHourKey.isEmpty());
    QCOMPARE(list->hourRecord.mins, 0);
    QCOMPARE(list->hourRecord.recv, qint64(0));
}

void TestHourAccounting::flushWritesPendingBytesAndTheHourRow()
{
    auto list = makeList(at("2026-03-04 10:00:30"));
    list->processNetworkData({report(GonePid, 1000, 10, 4, 5), report(GonePid + 1, 24, 6, 1, 1)});
    list->pendingAppTraffic[QStringLiteral("other\"pkg")].recv = 7;

    now = at("2026-03-04 10:02:10");
    list->handleSqlUpdate();
    QVERIFY(list->pendingAppTraffic.isEmpty());
    QCOMPARE(list->updateTime, now);
    QCOMPARE(list->updateHourKey, QStringLiteral("2026-03-04 10:00"));
    // Unattributed traffic is written under "-".
    QCOMPARE(accountingtest::queryRows(db(), "SELECT pkgname, recv, sent, total FROM app_data ORDER BY pkgname"),
             QStringLiteral("-|1024|16|1040;other\"pkg|7|0|7"));
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak, "
                                             "report_status FROM hour_data"),
             QStringLiteral("2026-03-04 10:00|2|1024|16|5|6|11|0"));

    // The next flush adds only what was counted since.
    list->processNetworkData({report(GonePid, 1, 0)});
    list->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT recv FROM app_data WHERE pkgname='-'"), QStringLiteral("1025"));
}

void TestHourAccounting::minutesCountOncePerMinuteChange_data()
{
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("mins");
    QTest::addColumn<QString>("lastMinute");
    QTest::newRow("next minute") << "10:21:05" << 1 << "10:21:05";
    QTest::newRow("same minute") << "10:20:59" << 0 << "10:20:10";
    QTest::newRow("clock set back") << "10:05:00" << 0 << "10:20:10";
    QTest::newRow("several minutes later") << "10:59:59" << 39 << "10:59:59";
}

void TestHourAccounting::minutesCountOncePerMinuteChange()
{
    QFETCH(QString, second);
    QFETCH(int, mins);
    QFETCH(QString, lastMinute);
    auto list = makeList(at("2026-03-04 10:20:10"));
    now = at(qPrintable(QStringLiteral("2026-03-04 ") + second));
    list->handleSqlUpdate();
    QCOMPARE(list->hourRecord.mins, mins);
    QCOMPARE(list->lastMinuteTime.toString(QStringLiteral("hh:mm:ss")), lastMinute);
    // The row is saved either way.
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins FROM hour_data"),
             QStringLiteral("2026-03-04 10:00|%1").arg(mins));
}

void TestHourAccounting::hourChangeClosesTheOldHourAndStartsTheNew()
{
    auto list = makeList(at("2026-03-04 10:00:05"));
    for (int minute = 1; minute <= 59; ++minute) {
        now = at("2026-03-04 10:00:05").addSecs(60 * minute);
        if (minute == 30)
            list->processNetworkData({report(GonePid, 500, 50, 7, 3)});
        list->handleSqlUpdate();
    }
    QCOMPARE(list->hourRecord.mins, 59);

    // Traffic after the last flush of the hour still counts into it.
    list->processNetworkData({report(GonePid, 5, 5, 1, 1)});
    now = at("2026-03-04 11:00:07");
    list->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins, recv, sent, recv_peak, sent_peak, total_peak "
                                             "FROM hour_data ORDER BY time"),
             QStringLiteral("2026-03-04 10:00|60|505|55|7|3|10"));
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-03-04 11:00"));
    QCOMPARE(list->lastMinuteTime, now);
    QCOMPARE(list->hourRecord.mins, 0);
    QCOMPARE(list->hourRecord.recv, qint64(0));
    QCOMPARE(list->hourRecord.total_peak, 0);

    // The new hour's first row appears with its next flush.
    now = at("2026-03-04 11:01:07");
    list->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins FROM hour_data ORDER BY time"),
             QStringLiteral("2026-03-04 10:00|60;2026-03-04 11:00|1"));
}

void TestHourAccounting::flushAfterMidnightIsAnHourChange()
{
    auto list = makeList(at("2026-12-31 23:58:00"));
    list->processNetworkData({report(GonePid, 9, 9)});
    now = at("2027-01-01 00:00:30");
    list->handleSqlUpdate();
    QCOMPARE(list->currentHourKey, QStringLiteral("2027-01-01 00:00"));
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins, recv FROM hour_data"),
             QStringLiteral("2026-12-31 23:00|1|9"));
}

void TestHourAccounting::hourChangeContinuesAStoredRowOfTheNewHour()
{
    HourRecord stored;
    stored.mins = 12;
    stored.recv = 4000;
    stored.sent = 3000;
    stored.recv_peak = 40;
    stored.sent_peak = 30;
    stored.total_peak = 70;
    QCOMPARE(saveHourRecord("2026-03-04 11:00", &stored), 0);

    auto list = makeList(at("2026-03-04 10:59:00"));
    now = at("2026-03-04 11:00:01");
    list->handleSqlUpdate();
    QCOMPARE(list->hourRecord.mins, 12);
    QCOMPARE(list->hourRecord.recv, qint64(4000));
    QCOMPARE(list->hourRecord.total_peak, 70);
}

void TestHourAccounting::aFailedFlushAtHourChangeKeepsTheEndedHourOpen()
{
    HourRecord stored;
    stored.mins = 12;
    stored.recv = 4000;
    stored.total_peak = 70;
    QCOMPARE(saveHourRecord("2026-03-04 11:00", &stored), 0);

    auto list = makeList(at("2026-03-04 10:58:00"));
    list->processNetworkData({report(GonePid, 50, 5, 3, 3)});
    // The flush at the change of hour cannot write: nothing moves on.
    const QString goodDb = db();
    ferrow::defaults().paths.databaseFile = dataDir->path() + QStringLiteral("/missing-dir/ferrow.db");
    now = at("2026-03-04 11:00:01");
    list->handleSqlUpdate();
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-03-04 10:00"));
    QCOMPARE(list->hourRecord.recv, qint64(50));
    QCOMPARE(list->pendingAppTraffic.value(QStringLiteral("-")).recv, quint64(50));

    // The next flush closes the ended hour with every byte and continues the
    // new hour from its stored row.
    ferrow::defaults().paths.databaseFile = goodDb;
    now = at("2026-03-04 11:01:01");
    list->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins, recv, sent, total_peak FROM hour_data ORDER BY time"),
             QStringLiteral("2026-03-04 10:00|1|50|5|6;2026-03-04 11:00|12|4000|0|70"));
    QCOMPARE(accountingtest::queryRows(db(), "SELECT pkgname, recv, sent FROM app_data"), QStringLiteral("-|50|5"));
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-03-04 11:00"));
    QCOMPARE(list->hourRecord.mins, 12);
}

void TestHourAccounting::restartWithinTheHourContinuesItsFigures()
{
    {
        auto list = makeList(at("2026-03-04 15:10:00"));
        list->processNetworkData({report(GonePid, 700, 300, 20, 10)});
        now = at("2026-03-04 15:13:00");
        list->handleSqlUpdate();
    }
    auto restarted = makeList(at("2026-03-04 15:20:00"));
    QCOMPARE(restarted->hourRecord.mins, 3);
    QCOMPARE(restarted->hourRecord.recv, qint64(700));
    QCOMPARE(restarted->hourRecord.sent, qint64(300));
    QCOMPARE(restarted->hourRecord.recv_peak, 20);
    QCOMPARE(restarted->hourRecord.total_peak, 30);

    restarted->processNetworkData({report(GonePid, 1, 2, 5, 5)});
    now = at("2026-03-04 15:21:00");
    restarted->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT mins, recv, sent, recv_peak, total_peak FROM hour_data"),
             QStringLiteral("4|701|302|20|30"));
}

void TestHourAccounting::failedApplicationWriteIsRetriedWithTheNextFlush()
{
    auto list = makeList(at("2026-03-04 10:00:00"));
    list->processNetworkData({report(GonePid, 100, 10)});

    const QString goodDb = db();
    ferrow::defaults().paths.databaseFile = dataDir->path() + QStringLiteral("/missing-dir/ferrow.db");
    now = at("2026-03-04 10:01:00");
    list->handleSqlUpdate();
    QCOMPARE(list->pendingAppTraffic.value(QStringLiteral("-")).recv, quint64(100));
    QCOMPARE(list->pendingAppTraffic.value(QStringLiteral("-")).sent, quint64(10));

    ferrow::defaults().paths.databaseFile = goodDb;
    list->processNetworkData({report(GonePid, 5, 1)});
    now = at("2026-03-04 10:02:00");
    list->handleSqlUpdate();
    QVERIFY(list->pendingAppTraffic.isEmpty());
    QCOMPARE(accountingtest::queryRows(db(), "SELECT pkgname, recv, sent, total FROM app_data"),
             QStringLiteral("-|105|11|116"));
}

void TestHourAccounting::failedHourSaveLosesNothing()
{
    auto list = makeList(at("2026-03-04 10:00:00"));
    list->processNetworkData({report(GonePid, 100, 10)});
    const QString goodDb = db();
    ferrow::defaults().paths.databaseFile = dataDir->path() + QStringLiteral("/missing-dir/ferrow.db");
    now = at("2026-03-04 10:01:00");
    list->handleSqlUpdate();
    ferrow::defaults().paths.databaseFile = goodDb;
    now = at("2026-03-04 10:02:00");
    list->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT mins, recv, sent FROM hour_data"), QStringLiteral("2|100|10"));
}

void TestHourAccounting::nothingPendingWritesOnlyTheHourRow()
{
    auto list = makeList(at("2026-03-04 10:00:00"));
    now = at("2026-03-04 10:01:00");
    list->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"),
             QStringLiteral("hour_data"));
}

void TestHourAccounting::hourVolumesReadBackInGigabytesWithHalvesRoundedUp()
{
    // 2^27 bytes are exactly 0.125 GB.
    auto list = makeList(at("2026-03-04 10:00:30"));
    list->processNetworkData({report(GonePid, quint64(1) << 27, 0)});
    now = at("2026-03-04 10:01:30");
    list->handleSqlUpdate();
    cJSON *hours = queryUnreportedHoursAt(false, at("2026-03-04 11:00:30").toSecsSinceEpoch());
    QCOMPARE(cJSON_GetArraySize(hours), 1);
    const double down = cJSON_GetObjectItem(cJSON_GetArrayItem(hours, 0), "down")->valuedouble;
    cJSON_Delete(hours);
    QCOMPARE(down, 0.13);
}

void TestHourAccounting::minutesKeepCountingThroughTheRepeatedHourOfAutumn()
{
    // In Berlin, 2026-10-25 03:00 CEST turns back to 02:00 CET: two hours named 02:00.
    qputenv("TZ", "Europe/Berlin");
    tzset();
    const QDateTime firstTwo(QDate(2026, 10, 25), QTime(0, 0), Qt::UTC); // 02:00 CEST
    auto list = makeList(firstTwo.addSecs(30 * 60).toLocalTime());
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-10-25 02:00"));
    quint64 sent = 0;
    for (int minute = 31; minute <= 119; ++minute) { // up to 02:59 CET
        list->processNetworkData({report(GonePid, 0, 100)});
        sent += 100;
        now = firstTwo.addSecs(minute * 60).toLocalTime();
        list->handleSqlUpdate();
    }
    // Eighty-nine minutes under one key: counted in full, and never past 60.
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-10-25 02:00"));
    QCOMPARE(list->hourRecord.mins, 60);
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins, sent FROM hour_data"),
             QStringLiteral("2026-10-25 02:00|60|%1").arg(sent));
}

void TestHourAccounting::aClockSetBackIntoAFullHourKeepsItsMinutesAt60()
{
    HourRecord full;
    full.mins = 60;
    full.recv = 1000;
    QCOMPARE(saveHourRecord("2026-03-04 10:00", &full), 0);
    auto list = makeList(at("2026-03-04 11:30:00"));
    list->processNetworkData({report(GonePid, 7, 0)});
    now = at("2026-03-04 10:15:00"); // set back by 75 minutes
    list->handleSqlUpdate();
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-03-04 10:00"));
    for (const char *t : {"2026-03-04 10:16:00", "2026-03-04 10:40:00"}) {
        list->processNetworkData({report(GonePid, 5, 0)});
        now = at(t);
        list->handleSqlUpdate();
    }
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins, recv FROM hour_data ORDER BY time"),
             QStringLiteral("2026-03-04 10:00|60|1010;2026-03-04 11:00|1|7"));
    QCOMPARE(accountingtest::queryRows(db(), "SELECT sum(recv) FROM app_data"), QStringLiteral("17"));
}

void TestHourAccounting::countersSaturateAndTotalsStayTheSum()
{
    auto list = makeList(at("2026-03-04 10:00:00"));
    const quint64 huge = std::numeric_limits<quint64>::max();
    for (int i = 0; i < 3; ++i)
        list->processNetworkData({report(GonePid, huge, huge), report(GonePid + 1, huge, 1)});
    const quint64 limit = quint64(kMaxStoredBytes);
    QCOMPARE(list->hourRecord.recv, kMaxStoredBytes);
    QCOMPARE(list->hourRecord.sent, kMaxStoredBytes);
    QCOMPARE(list->appTraffic.value(QStringLiteral("-")).recv, limit);
    now = at("2026-03-04 10:01:00");
    list->handleSqlUpdate();
    list->writeAppDocument();
    const QString full = QString::number(limit);
    QCOMPARE(accountingtest::queryRows(db(), "SELECT recv, sent, total FROM app_data"),
             full + "|" + full + "|" + QString::number(2 * limit));
    QCOMPARE(accountingtest::queryRows(db(), "SELECT recv, sent FROM hour_data"), full + "|" + full);
    QFile doc(ferrow::paths().appInfoFile);
    QVERIFY(doc.open(QIODevice::ReadOnly));
    const QJsonObject app = QJsonDocument::fromJson(doc.readAll()).array().first().toObject();
    QCOMPARE(app.value(QStringLiteral("sum_total")).toDouble(),
             app.value(QStringLiteral("sum_recv")).toDouble() + app.value(QStringLiteral("sum_sent")).toDouble());
    QVERIFY(app.value(QStringLiteral("sum_total")).toDouble() > 0);
}

void TestHourAccounting::aDamagedDatabaseIsMovedAsideAndThePendingBytesGoIntoANewOne()
{
    QVERIFY(accountingtest::writeText(db(), QByteArray(8192, 'x')));
    auto list = makeList(at("2026-03-04 10:00:00"));
    QStringList moved;
    list->databaseMovedAside = [&moved](const QString &path) { moved << path; };
    list->processNetworkData({report(GonePid, 300, 20)});
    now = at("2026-03-04 10:01:00");
    list->handleSqlUpdate();
    QCOMPARE(moved, QStringList{db() + QStringLiteral(".damaged-20260304-100100")});
    QCOMPARE(accountingtest::queryRows(db(), "SELECT pkgname, recv, sent FROM app_data"), QStringLiteral("-|300|20"));
    QCOMPARE(accountingtest::queryRows(db(), "SELECT mins, recv, sent FROM hour_data"), QStringLiteral("1|300|20"));
    QVERIFY(list->pendingAppTraffic.isEmpty());
    QCOMPARE(QFileInfo(moved.first()).size(), qint64(8192));
}

QTEST_GUILESS_MAIN(TestHourAccounting)
#include "tst_houraccounting.moc"

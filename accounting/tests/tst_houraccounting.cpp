// Hourly accounting and persistence against real SQLite files: the flush of
// per-application bytes, the minute count, the roll-over to a new hour, a
// restart within the hour, and the retry of failed application writes.

#include "accountingtestsupport.h"
#include "processlist.h"
#include "trafficstats.h"

#include <QTemporaryDir>
#include <QtTest>

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
    void failedReadAtHourChangeStartsTheNewHourFromZero();
    void restartWithinTheHourContinuesItsFigures();
    void failedApplicationWriteIsRetriedWithTheNextFlush();
    void failedHourSaveLosesNothing();
    void nothingPendingWritesOnlyTheHourRow();
    void hourVolumesReadBackInGigabytesWithHalvesRoundedUp();

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

void TestHourAccounting::failedReadAtHourChangeStartsTheNewHourFromZero()
{
    HourRecord stored;
    stored.mins = 12;
    stored.recv = 4000;
    stored.total_peak = 70;
    QCOMPARE(saveHourRecord("2026-03-04 11:00", &stored), 0);

    auto list = makeList(at("2026-03-04 10:58:00"));
    list->processNetworkData({report(GonePid, 50, 5, 3, 3)});
    // Neither the save of the ended hour nor the read of the new one works.
    const QString goodDb = db();
    ferrow::defaults().paths.databaseFile = dataDir->path() + QStringLiteral("/missing-dir/ferrow.db");
    now = at("2026-03-04 11:00:01");
    list->handleSqlUpdate();
    QCOMPARE(list->currentHourKey, QStringLiteral("2026-03-04 11:00"));
    QCOMPARE(list->hourRecord.mins, 0);
    QCOMPARE(list->hourRecord.recv, qint64(0));
    QCOMPARE(list->hourRecord.sent, qint64(0));
    QCOMPARE(list->hourRecord.recv_peak, 0);
    QCOMPARE(list->hourRecord.sent_peak, 0);
    QCOMPARE(list->hourRecord.total_peak, 0);
    QCOMPARE(list->pendingAppTraffic.value(QStringLiteral("-")).recv, quint64(50));

    // The next save replaces the row the database holds for the new hour.
    ferrow::defaults().paths.databaseFile = goodDb;
    now = at("2026-03-04 11:01:01");
    list->handleSqlUpdate();
    QCOMPARE(accountingtest::queryRows(db(), "SELECT time, mins, recv, total_peak FROM hour_data ORDER BY time"),
             QStringLiteral("2026-03-04 11:00|1|0|0"));
    QCOMPARE(accountingtest::queryRows(db(), "SELECT pkgname, recv, sent FROM app_data"), QStringLiteral("-|50|5"));
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

QTEST_GUILESS_MAIN(TestHourAccounting)
#include "tst_houraccounting.moc"

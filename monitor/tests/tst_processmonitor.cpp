// The controller, its settings cases and the traffic audit, with a real
// process table (real package database, real SQLite file, fake collector) and
// a private system bus with the alarm services. Timers run with short
// injected intervals or their slots are called directly.
#include "defaults.h"
#include "monitorconfig.h"
#include "networkmonitor.h"
#include "privatebus.h"
#include "processmonitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <algorithm>

using sysmonitor::process::ProcessList;
using sysmonitor::process::ProcessMonitor;
using Settings = QList<QPair<QString, QString>>;

namespace {

constexpr quint64 GB = 1073741824ULL;

QJsonObject parseObject(const QString &text)
{
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

} // namespace

class TestProcessMonitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    // Start and stop
    void instanceIsOneControllerCreatedOnFirstUse();
    void startWithCountingMissingStartsNoTimer();
    void startWithCountingOffReportsAuditsOffBecauseOfCounting_data();
    void startWithCountingOffReportsAuditsOffBecauseOfCounting();
    void startWithCountingOnAndPeriodZeroRunsCheckAndUpdateOnly();
    void startWithPeriodButNoAuditRunsThePeriodAndLogsItsEnd();
    void secondStartReportsAlreadyRunning();
    void startPurgesStatisticsOf45DaysAndOlder();
    void timersDriveDocumentsAndDatabase();
    void stopFlushesTheTableBeforeClearingIt();
    void stopAfterCountingSwitchedOffStillRunsOnce();

    // Audit settings
    void readAuditConfigDecidesEffectiveAudits_data();
    void readAuditConfigDecidesEffectiveAudits();
    void startAuditLogsTheStartOfEachEffectiveAudit();
    void periodsBeyondTheTimerRangeAreCountedInHours_data();
    void periodsBeyondTheTimerRangeAreCountedInHours();

    // Audit evaluation
    void alarmNeedsStrictlyMoreThanTheThreshold_data();
    void alarmNeedsStrictlyMoreThanTheThreshold();
    void eachAuditAlarmsOncePerPeriod();
    void periodEndResetsFiguresAndMarks();
    void oneTickRaisesTotalThenEgressThenIngress();
    void onlyTheExceededDirectionAlarms();
    void alarmDescribesElapsedTimeAndSize_data();
    void alarmDescribesElapsedTimeAndSize();
    void alarmListsTheTenLargestApplications();
    void alarmListIsTheProcessTablesFragment_data();
    void alarmListIsTheProcessTablesFragment();
    void alarmWithoutApplicationsHasAnEmptyList();
    void failedDeliveryIsLoggedAndCountsAsRaised();

    // Settings changes
    void countingStaysOffReportsAuditsAndCopiesSettings();
    void countingStaysOnWithOldTimestampChangesNothing();
    void auditChangeWithFreshTimestampRestartsTheAudit();
    void countingSwitchedOffFlushesStopsAndClears();
    void countingAndAuditSwitchedOffTogetherReportTheAuditClosed();
    void countingSwitchedOnStartsCountingAndAudit();
    void countingSwitchedOnWithoutAuditPeriodStillRefreshesTheDocuments();
    void countingValueOneToTwoCountsAsSwitchedOn();
    void settingNumbersAreDecimalDespiteLeadingZeros();
    void fileReplacedByRenameStaysWatched();
    void settingsFileCreatedLaterIsWatchedAndApplied();
    void settingsFileDeletedAndWrittenAgainIsFollowed();

private:
    ProcessMonitor *makeController();
    ProcessList *table() const { return controller->processList; }
    void writeSettings(const Settings &values);
    QStringList logLines() const;
    QStringList newLogLines();
    QStringList delivered() const;
    QString readFile(const QString &path) const;
    QList<QPair<QString, qint64>> appDataRows() const;
    QStringList column(const char *sql) const;
    NetworkProcess report(quint64 tx, quint64 rx) const;

    QTemporaryDir dir;
    PrivateBus bus;
    BusServices services;
    QString record;
    ProcessMonitor *controller = nullptr;
    int logLinesSeen = 0;
};

void TestProcessMonitor::initTestCase()
{
    QVERIFY(dir.isValid());
    ferrow::defaults().paths = ferrow::Paths(dir.filePath(QStringLiteral("data")));
    ferrow::Paths &paths = ferrow::defaults().paths;
    QVERIFY(QDir().mkpath(paths.dataDir));
    paths.collectorSocket = QStringLiteral("/tmp/ferrow-pm-%1.sock").arg(QCoreApplication::applicationPid());
    paths.collectorInterpreter = QStringLiteral("/usr/bin/python3");
    paths.collectorScript = QStringLiteral(FERROW_FAKE_COLLECTOR);
    // The fake collector reads its steering from the environment it inherits:
    // reports without processes, so only the test feeds the table.
    qputenv("FAKE_COLLECTOR_SOCKET", paths.collectorSocket.toUtf8());
    qputenv("FAKE_COLLECTOR_DOCUMENT", "{\"type\":\"network_data\",\"processes\":[]}");
    qputenv("FAKE_COLLECTOR_INTERVAL_MS", "1000");
    // An empty package database: attribution is not under test here, and
    // loading the machine's file lists for every controller takes long.
    const QString admin = dir.filePath(QStringLiteral("dpkg"));
    QVERIFY(QDir().mkpath(admin + QStringLiteral("/info")) && QDir().mkpath(admin + QStringLiteral("/updates")));
    for (const char *name : {"status", "diversions"}) {
        QFile file(admin + QLatin1Char('/') + QLatin1String(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    qputenv("DPKG_ADMINDIR", admin.toUtf8());
    paths.dpkgStatusFile = admin + QStringLiteral("/status");

    const QString address = bus.start(dir.path());
    QVERIFY2(!address.isEmpty(), qPrintable(bus.error()));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    record = dir.filePath(QStringLiteral("received.txt"));
    QVERIFY(services.start(address, {"--user", "alice", "--transmit", "ok", "--record", record}));
}

void TestProcessMonitor::init()
{
    ferrow::Intervals &intervals = ferrow::defaults().intervals;
    // Long enough never to fire on their own unless a test shortens them.
    intervals.checkMs = 3600000;
    intervals.databaseUpdateMs = 3600000;
    intervals.periodHourMs = 3600000;
    ferrow::defaults().clock = nullptr;
    const QString data = ferrow::paths().dataDir;
    for (const QString &name : QDir(data).entryList(QDir::Files))
        QFile::remove(data + QLatin1Char('/') + name);
    QFile::remove(record);
    MonitorConfig::resetLogLevelCacheForTests();
    logLinesSeen = 0;
}

void TestProcessMonitor::cleanup()
{
    delete controller;
    controller = nullptr;
    // The process table goes with a deferred deletion while the application lives.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ferrow::defaults().clock = nullptr;
}

void TestProcessMonitor::cleanupTestCase()
{
    services.stop();
    bus.stop();
    ferrow::defaults() = ferrow::Defaults();
}

ProcessMonitor *TestProcessMonitor::makeController()
{
    controller = new ProcessMonitor;
    return controller;
}

void TestProcessMonitor::writeSettings(const Settings &values)
{
    // Written beside and renamed over the old file, as the settings class does.
    QSaveFile file(ferrow::paths().settingsFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray text = "[RivletMonitor]\n";
    if (std::none_of(values.begin(), values.end(), [](const auto &value) { return value.first == "LogLevel"; }))
        text += "LogLevel=1\n";
    for (const auto &value : values)
        text += value.first.toUtf8() + '=' + value.second.toUtf8() + '\n';
    file.write(text);
    QVERIFY(file.commit());
}

QStringList TestProcessMonitor::logLines() const
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d{4}:\\d\\d:\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\] "));
    QStringList lines = readFile(ferrow::paths().logFile).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line.remove(stamp);
    return lines;
}

QStringList TestProcessMonitor::newLogLines()
{
    const QStringList lines = logLines();
    QStringList fresh = lines.mid(logLinesSeen);
    logLinesSeen = lines.size();
    // Hosts without a non-loopback IPv4 address add this line to every alarm.
    fresh.erase(std::remove_if(fresh.begin(), fresh.end(),
                               [](const QString &line) { return line.startsWith(QStringLiteral("ip未知")); }),
                fresh.end());
    return fresh;
}

QStringList TestProcessMonitor::delivered() const
{
    QStringList texts;
    for (const QString &line : readFile(record).split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        texts << QJsonDocument::fromJson("[" + line.toUtf8() + "]").array().at(0).toString();
    return texts;
}

QString TestProcessMonitor::readFile(const QString &path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QList<QPair<QString, qint64>> TestProcessMonitor::appDataRows() const
{
    QList<QPair<QString, qint64>> rows;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(ferrow::paths().databaseFile.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr)
        == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT pkgname, total FROM app_data ORDER BY pkgname", -1, &statement, nullptr)
            == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW)
                rows.append({QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0))),
                             sqlite3_column_int64(statement, 1)});
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

QStringList TestProcessMonitor::column(const char *sql) const
{
    QStringList values;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(ferrow::paths().databaseFile.toUtf8().constData(), &db, SQLITE_OPEN_READWRITE, nullptr)
        == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW)
                values << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 0)));
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return values;
}

NetworkProcess TestProcessMonitor::report(quint64 tx, quint64 rx) const
{
    NetworkProcess process;
    process.pid = qint32(QCoreApplication::applicationPid());
    process.comm = QStringLiteral("tst");
    process.tx_bytes = tx;
    process.rx_bytes = rx;
    return process;
}

// --- Start and stop ---------------------------------------------------------

void TestProcessMonitor::instanceIsOneControllerCreatedOnFirstUse()
{
    writeSettings({});
    ProcessMonitor *first = ProcessMonitor::instance();
    QVERIFY(first);
    QCOMPARE(ProcessMonitor::instance(), first);
    const QMetaObject *meta = first->metaObject();
    QCOMPARE(meta->className(), "sysmonitor::process::ProcessMonitor");
    // Its own methods: three private slots without arguments, in this order.
    QStringList methods;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Private);
        methods << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(methods, (QStringList{"onConfFileChanged()", "onAlarmTimeout()", "onCheckTimeout()"}));
    QCOMPARE(meta->propertyCount(), meta->propertyOffset());
    QVERIFY(!first->parent());
    first->confWatcher.blockSignals(true);
    // The process-wide controller holds the one process table: release it so
    // the other tests can build theirs.
    first->processList->deleteLater();
    first->processList = nullptr;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestProcessMonitor::startWithCountingMissingStartsNoTimer()
{
    writeSettings({});
    makeController()->start();
    QCOMPARE(newLogLines(), (QStringList{"ProcessMonitor 启动中...", "流量统计未启动"}));
    QVERIFY(!controller->running);
    QVERIFY(!controller->checkTimer.isActive());
    QVERIFY(!controller->sqlUpdateTimer.isActive());
    QVERIFY(!controller->alarmTimer.isActive());
    controller->stop();
    QCOMPARE(newLogLines(), QStringList());
}

void TestProcessMonitor::startWithCountingOffReportsAuditsOffBecauseOfCounting_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("audit effective") << Settings{{"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                                                 {"FERROW_ALARM_SIZE", "10"}}
                                     << QStringList{"ProcessMonitor 启动中...", "流量统计未启动",
                                                    "流量审计(因统计)未启动"};
    QTest::newRow("period 0: no audit effective")
        << Settings{{"FERROW_ALARM_PERIOD", "0"}, {"FERROW_ALARM_STATUS", "1"}, {"FERROW_ALARM_SIZE", "10"},
                    {"FERROW_EGRESS_ALARM_STATUS", "1"}, {"FERROW_EGRESS_ALARM_SIZE", "10"}}
        << QStringList{"ProcessMonitor 启动中...", "流量统计未启动"};
}

void TestProcessMonitor::startWithCountingOffReportsAuditsOffBecauseOfCounting()
{
    QFETCH(Settings, settings);
    QFETCH(QStringList, lines);
    writeSettings(Settings{{"FERROW_COUNT_STATUS", "0"}} + settings);
    makeController()->start();
    QCOMPARE(newLogLines(), lines);
    QVERIFY(!controller->checkTimer.isActive());
    QVERIFY(!controller->alarmTimer.isActive());
}

void TestProcessMonitor::startWithCountingOnAndPeriodZeroRunsCheckAndUpdateOnly()
{
    ferrow::defaults().intervals.checkMs = 4321;
    ferrow::defaults().intervals.databaseUpdateMs = 54321;
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "0"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "1"}});
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    makeController()->start();
    QCOMPARE(newLogLines(), (QStringList{"ProcessMonitor 启动中...", "流量统计启动", "ProcessMonitor 启动成功"}));
    QVERIFY(controller->running);
    QVERIFY(controller->checkTimer.isActive());
    QCOMPARE(controller->checkTimer.interval(), 4321);
    QVERIFY(controller->sqlUpdateTimer.isActive());
    QCOMPARE(controller->sqlUpdateTimer.interval(), 54321);
    QVERIFY(!controller->alarmTimer.isActive());
    QVERIFY(controller->periodStart >= before && controller->periodStart <= QDateTime::currentSecsSinceEpoch());
    QCOMPARE(table()->auditConfig.auditFlags, 0);
}

void TestProcessMonitor::startWithPeriodButNoAuditRunsThePeriodAndLogsItsEnd()
{
    ferrow::defaults().intervals.periodHourMs = 150;
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "2"}});
    makeController()->start();
    QVERIFY(controller->alarmTimer.isActive());
    QCOMPARE(controller->alarmTimer.interval(), 300);
    QCOMPARE(newLogLines(), (QStringList{"ProcessMonitor 启动中...", "流量统计启动", "ProcessMonitor 启动成功"}));
    QTRY_COMPARE(logLines().count(QStringLiteral("流量审计周期已到，重置审计数据")), 2);
}

void TestProcessMonitor::secondStartReportsAlreadyRunning()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    newLogLines();
    controller->start();
    QCOMPARE(newLogLines(), QStringList{"监控已经在运行中"});
}

void TestProcessMonitor::startPurgesStatisticsOf45DaysAndOlder()
{
    // Both tables exist once something was written; rows are then aged by hand.
    QCOMPARE(addAppTraffic("today", 1, 1), 0);
    HourRecord hour{};
    for (int days : {50, 44}) {
        const QByteArray key = QDateTime::currentDateTime().addDays(-days).toString("yyyy-MM-dd hh:00").toUtf8();
        QCOMPARE(saveHourRecord(key.constData(), &hour), 0);
    }
    for (int days : {50, 45, 44}) {
        const QByteArray insert = "INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES ('age"
            + QByteArray::number(days) + "', 1, 1, 2, date('now', 'localtime', '-" + QByteArray::number(days)
            + " days')) RETURNING pkgname";
        QCOMPARE(column(insert.constData()).size(), 1);
    }
    QCOMPARE(column("SELECT time FROM hour_data").size(), 2);

    writeSettings({});
    makeController()->start();
    QCOMPARE(column("SELECT pkgname FROM app_data ORDER BY pkgname"), (QStringList{"age44", "today"}));
    QCOMPARE(column("SELECT time FROM hour_data").size(), 1);
}

void TestProcessMonitor::timersDriveDocumentsAndDatabase()
{
    ferrow::defaults().intervals.checkMs = 100;
    ferrow::defaults().intervals.databaseUpdateMs = 300;
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    table()->processNetworkData({report(1000, 2000)});
    // The check tick rewrites both documents...
    QTRY_VERIFY(readFile(ferrow::paths().appInfoFile).contains(QStringLiteral("\"sum_recv\":2000")));
    QTRY_VERIFY(readFile(ferrow::paths().processInfoFile).contains(QStringLiteral("\"sum_sent\":1000")));
    // ...and the update timer writes the application's bytes to the database.
    QTRY_COMPARE(appDataRows().size(), 1);
    QCOMPARE(appDataRows().first().second, qint64(3000));
}

void TestProcessMonitor::stopFlushesTheTableBeforeClearingIt()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    table()->processNetworkData({report(700, 300)});
    QCOMPARE(table()->pendingAppTraffic.size(), 1);
    newLogLines();

    controller->stop();
    QCOMPARE(newLogLines(), QStringList{"流量统计 ProcessMonitor 停止"});
    QVERIFY(!controller->running);
    QVERIFY(!controller->checkTimer.isActive());
    QVERIFY(!controller->sqlUpdateTimer.isActive());
    QVERIFY(!table()->networkMonitor->isMonitoring());
    // Bytes counted since the last periodic update reach the database.
    const auto rows = appDataRows();
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.first().second, qint64(1000));
    QVERIFY(table()->pendingAppTraffic.isEmpty());
    QVERIFY(table()->activeProcesses.isEmpty());
    QCOMPARE(readFile(ferrow::paths().appInfoFile), QStringLiteral("[]"));
    QCOMPARE(readFile(ferrow::paths().processInfoFile), QStringLiteral("[]"));
    // A second stop does nothing.
    controller->stop();
    QCOMPARE(newLogLines(), QStringList());
}

void TestProcessMonitor::stopAfterCountingSwitchedOffStillRunsOnce()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    writeSettings({{"FERROW_COUNT_STATUS", "0"}});
    controller->onConfFileChanged();
    newLogLines();
    controller->stop();
    QCOMPARE(newLogLines(), QStringList{"流量统计 ProcessMonitor 停止"});
}

// --- Audit settings -----------------------------------------------------------

void TestProcessMonitor::readAuditConfigDecidesEffectiveAudits_data()
{
    QTest::addColumn<Settings>("settings");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("period");
    const Settings allOn{{"FERROW_ALARM_STATUS", "1"}, {"FERROW_ALARM_SIZE", "10"},
                         {"FERROW_EGRESS_ALARM_STATUS", "1"}, {"FERROW_EGRESS_ALARM_SIZE", "5"},
                         {"FERROW_INGRESS_ALARM_STATUS", "1"}, {"FERROW_INGRESS_ALARM_SIZE", "3"}};
    QTest::newRow("all on") << Settings{{"FERROW_ALARM_PERIOD", "24"}} + allOn
                            << int(AuditConfig::TotalAudit | AuditConfig::EgressAudit | AuditConfig::IngressAudit)
                            << 24;
    QTest::newRow("period 0: none") << Settings{{"FERROW_ALARM_PERIOD", "0"}} + allOn << 0 << 0;
    QTest::newRow("negative period: none") << Settings{{"FERROW_ALARM_PERIOD", "-5"}} + allOn << 0 << -5;
    QTest::newRow("period not a number: none") << Settings{{"FERROW_ALARM_PERIOD", "24h"}} + allOn << 0 << 0;
    QTest::newRow("size 0 with switch on: not effective")
        << Settings{{"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"}, {"FERROW_ALARM_SIZE", "0"},
                    {"FERROW_INGRESS_ALARM_STATUS", "1"}, {"FERROW_INGRESS_ALARM_SIZE", "2"}}
        << int(AuditConfig::IngressAudit) << 24;
    QTest::newRow("switch value 2 counts as on")
        << Settings{{"FERROW_ALARM_PERIOD", "1"}, {"FERROW_EGRESS_ALARM_STATUS", "2"},
                    {"FERROW_EGRESS_ALARM_SIZE", "1"}}
        << int(AuditConfig::EgressAudit) << 1;
    QTest::newRow("switch off with size") << Settings{{"FERROW_ALARM_PERIOD", "1"}, {"FERROW_ALARM_STATUS", "0"},
                                                      {"FERROW_ALARM_SIZE", "9"}}
                                          << 0 << 1;
}

void TestProcessMonitor::readAuditConfigDecidesEffectiveAudits()
{
    QFETCH(Settings, settings);
    QFETCH(int, flags);
    QFETCH(int, period);
    writeSettings(Settings{{"FERROW_COUNT_STATUS", "1"}} + settings);
    makeController();
    AuditConfig record;
    record.alarmSent = 5;
    controller->readAuditConfig(record);
    QCOMPARE(record.countStatus, 1);
    QCOMPARE(record.auditFlags, flags);
    QCOMPARE(record.alarmPeriod, period);
    QCOMPARE(record.alarmSent, 5);
}

void TestProcessMonitor::startAuditLogsTheStartOfEachEffectiveAudit()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "10"}, {"FERROW_EGRESS_ALARM_STATUS", "2"},
                   {"FERROW_EGRESS_ALARM_SIZE", "5"}, {"FERROW_INGRESS_ALARM_STATUS", "1"},
                   {"FERROW_INGRESS_ALARM_SIZE", "0"}});
    makeController()->start();
    QCOMPARE(newLogLines(), (QStringList{"ProcessMonitor 启动中...", "流量统计启动",
                                         "总流量审计启动: 阈值上限10GB, 周期24小时",
                                         "上行流量审计启动: 阈值上限5GB, 周期24小时", "ProcessMonitor 启动成功"}));
    QCOMPARE(controller->alarmTimer.interval(), 24 * 3600000);
}

void TestProcessMonitor::periodsBeyondTheTimerRangeAreCountedInHours_data()
{
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("interval");
    QTest::addColumn<int>("ticks");
    QTest::newRow("596 hours fit one interval") << 596 << 2145600000 << 1;
    QTest::newRow("597 hours: hourly ticks") << 597 << 3600000 << 597;
    QTest::newRow("10000 hours: hourly ticks") << 10000 << 3600000 << 10000;
}

void TestProcessMonitor::periodsBeyondTheTimerRangeAreCountedInHours()
{
    QFETCH(int, period);
    QFETCH(int, interval);
    QFETCH(int, ticks);
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", QString::number(period)},
                   {"FERROW_ALARM_STATUS", "1"}, {"FERROW_ALARM_SIZE", "1"}});
    makeController()->start();
    QVERIFY(controller->alarmTimer.isActive());
    QCOMPARE(controller->alarmTimer.interval(), interval);
    newLogLines();

    table()->auditConfig.alarmSent = AuditConfig::TotalAudit;
    for (int i = 1; i < ticks; ++i)
        QMetaObject::invokeMethod(controller, "onAlarmTimeout");
    QCOMPARE(newLogLines(), QStringList());
    QCOMPARE(table()->auditConfig.alarmSent, qint32(AuditConfig::TotalAudit));
    QMetaObject::invokeMethod(controller, "onAlarmTimeout");
    QCOMPARE(newLogLines(), QStringList{"流量审计周期已到，重置审计数据"});
    QCOMPARE(table()->auditConfig.alarmSent, 0);
}

// --- Audit evaluation -----------------------------------------------------------

void TestProcessMonitor::alarmNeedsStrictlyMoreThanTheThreshold_data()
{
    QTest::addColumn<QString>("statusKey");
    QTest::addColumn<QString>("sizeKey");
    QTest::addColumn<quint64>("upload");
    QTest::addColumn<quint64>("download");
    QTest::addColumn<bool>("alarm");
    QTest::newRow("total equal") << "FERROW_ALARM_STATUS" << "FERROW_ALARM_SIZE" << 4 * GB << 6 * GB << false;
    QTest::newRow("total one byte more") << "FERROW_ALARM_STATUS" << "FERROW_ALARM_SIZE" << 4 * GB << 6 * GB + 1
                                         << true;
    QTest::newRow("egress equal") << "FERROW_EGRESS_ALARM_STATUS" << "FERROW_EGRESS_ALARM_SIZE" << 10 * GB
                                  << 20 * GB << false;
    QTest::newRow("egress one byte more") << "FERROW_EGRESS_ALARM_STATUS" << "FERROW_EGRESS_ALARM_SIZE"
                                          << 10 * GB + 1 << quint64(0) << true;
    QTest::newRow("ingress equal") << "FERROW_INGRESS_ALARM_STATUS" << "FERROW_INGRESS_ALARM_SIZE" << 20 * GB
                                   << 10 * GB << false;
    QTest::newRow("ingress one byte more") << "FERROW_INGRESS_ALARM_STATUS" << "FERROW_INGRESS_ALARM_SIZE"
                                           << quint64(0) << 10 * GB + 1 << true;
}

void TestProcessMonitor::alarmNeedsStrictlyMoreThanTheThreshold()
{
    QFETCH(QString, statusKey);
    QFETCH(QString, sizeKey);
    QFETCH(quint64, upload);
    QFETCH(quint64, download);
    QFETCH(bool, alarm);
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {statusKey, "1"}, {sizeKey, "10"}});
    makeController()->start();
    newLogLines();
    table()->periodUpload = upload;
    table()->periodDownload = download;
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    QCOMPARE(delivered().size(), alarm ? 1 : 0);
    QCOMPARE(table()->auditConfig.alarmSent, alarm ? table()->auditConfig.auditFlags : 0);
    QCOMPARE(newLogLines().size(), alarm ? 1 : 0);
}

void TestProcessMonitor::eachAuditAlarmsOncePerPeriod()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "1"}});
    makeController()->start();
    table()->periodUpload = 2 * GB;
    for (int i = 0; i < 3; ++i) {
        table()->periodUpload += GB;
        QMetaObject::invokeMethod(controller, "onCheckTimeout");
    }
    QCOMPARE(delivered().size(), 1);
    QCOMPARE(table()->auditConfig.alarmSent, qint32(AuditConfig::TotalAudit));
}

void TestProcessMonitor::periodEndResetsFiguresAndMarks()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "1"}});
    makeController()->start();
    const qint64 periodStart = controller->periodStart;
    table()->processNetworkData({report(GB, GB)});
    QCOMPARE(table()->periodUpload, GB);
    QCOMPARE(table()->auditTraffic.size(), 1);
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    QCOMPARE(delivered().size(), 1);
    newLogLines();

    QMetaObject::invokeMethod(controller, "onAlarmTimeout");
    QCOMPARE(newLogLines(), QStringList{"流量审计周期已到，重置审计数据"});
    QCOMPARE(table()->periodUpload, quint64(0));
    QCOMPARE(table()->periodDownload, quint64(0));
    QVERIFY(table()->auditTraffic.isEmpty());
    QCOMPARE(table()->auditConfig.alarmSent, 0);
    QCOMPARE(controller->periodStart, periodStart);
    QVERIFY(controller->alarmTimer.isActive());

    // The new period alarms again once its traffic exceeds the threshold.
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    QCOMPARE(delivered().size(), 1);
    table()->processNetworkData({report(GB, 1)});
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    QCOMPARE(delivered().size(), 2);
}

void TestProcessMonitor::oneTickRaisesTotalThenEgressThenIngress()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "1"}, {"FERROW_EGRESS_ALARM_STATUS", "1"}, {"FERROW_EGRESS_ALARM_SIZE", "1"},
                   {"FERROW_INGRESS_ALARM_STATUS", "1"}, {"FERROW_INGRESS_ALARM_SIZE", "1"}});
    makeController()->start();
    table()->periodUpload = 2 * GB;
    table()->periodDownload = 3 * GB;
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    const QStringList sent = delivered();
    QCOMPARE(sent.size(), 3);
    const QStringList kinds{"总流量使用超标,", "上行流量使用超标,", "下行流量使用超标,"};
    const QStringList sizes{"5.00GB", "2.00GB", "3.00GB"};
    for (int i = 0; i < 3; ++i) {
        const QString desc = parseObject(parseObject(sent.at(i)).value(QLatin1String("message")).toString())
                                 .value(QLatin1String("exceptionDesc"))
                                 .toString();
        QVERIFY2(desc.startsWith(kinds.at(i)) && desc.endsWith(sizes.at(i)), qPrintable(desc));
    }
    QCOMPARE(table()->auditConfig.alarmSent, qint32(AuditConfig::TotalAudit | AuditConfig::EgressAudit | AuditConfig::IngressAudit));
}

void TestProcessMonitor::onlyTheExceededDirectionAlarms()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_EGRESS_ALARM_STATUS", "1"},
                   {"FERROW_EGRESS_ALARM_SIZE", "1"}, {"FERROW_INGRESS_ALARM_STATUS", "1"},
                   {"FERROW_INGRESS_ALARM_SIZE", "1"}});
    makeController()->start();
    table()->periodUpload = 3 * GB;
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    const QStringList sent = delivered();
    QCOMPARE(sent.size(), 1);
    QVERIFY(sent.first().contains(QStringLiteral("上行流量使用超标,")));
    QCOMPARE(table()->auditConfig.alarmSent, qint32(AuditConfig::EgressAudit));
}

void TestProcessMonitor::alarmDescribesElapsedTimeAndSize_data()
{
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<int>("period");
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<QString>("desc");
    QTest::newRow("0 s into the period") << qint64(0) << 24 << 10 * GB + 1 << "总流量使用超标,0.01小时内使用10.00GB";
    QTest::newRow("90 min into the period") << qint64(5400) << 24 << 10 * GB + 1
                                            << "总流量使用超标,1.50小时内使用10.00GB";
    QTest::newRow("25 h after the start of a 24 h period")
        << qint64(25 * 3600) << 24 << 10 * GB + 1 << "总流量使用超标,1.00小时内使用10.00GB";
    QTest::newRow("terabytes") << qint64(7200) << 3 << 1536 * GB << "总流量使用超标,2.00小时内使用1.50TB";
}

void TestProcessMonitor::alarmDescribesElapsedTimeAndSize()
{
    QFETCH(qint64, elapsed);
    QFETCH(int, period);
    QFETCH(quint64, bytes);
    QFETCH(QString, desc);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(1796000000);
    ferrow::defaults().clock = [now] { return now; };
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", QString::number(period)},
                   {"FERROW_ALARM_STATUS", "1"}, {"FERROW_ALARM_SIZE", "10"}});
    makeController()->start();
    controller->periodStart = now.toSecsSinceEpoch() - elapsed;
    table()->periodUpload = bytes;
    newLogLines();
    QMetaObject::invokeMethod(controller, "onCheckTimeout");

    const QStringList sent = delivered();
    QCOMPARE(sent.size(), 1);
    const QJsonObject outer = parseObject(sent.first());
    QCOMPARE(outer.value(QLatin1String("time")).toString(), now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
    QCOMPARE(outer.value(QLatin1String("hostname")).toString(), QStringLiteral("alice"));
    const QJsonObject inner = parseObject(outer.value(QLatin1String("message")).toString());
    QCOMPARE(inner.value(QLatin1String("exceptionDesc")).toString(), desc);

    // The log holds the message as built, with "time" first.
    const QStringList lines = newLogLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().startsWith(QStringLiteral("{\"time\":\"") + now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))));
    QCOMPARE(parseObject(lines.first()), outer);
}

void TestProcessMonitor::alarmListsTheTenLargestApplications()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_INGRESS_ALARM_STATUS", "1"},
                   {"FERROW_INGRESS_ALARM_SIZE", "1"}});
    makeController()->start();
    for (int i = 1; i <= 12; ++i) {
        sysmonitor::process::AppTraffic traffic;
        traffic.recv = quint64(i) * 1024 * 1024;
        traffic.sent = quint64(100 - i);
        table()->auditTraffic.insert(QStringLiteral("app\"%1").arg(i), traffic);
    }
    const QStringList names = table()->auditTraffic.keys();
    table()->periodDownload = 2 * GB;
    newLogLines();
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    // The table keeps its own names; only the list carries them escaped.
    QCOMPARE(table()->auditTraffic.keys(), names);
    const QStringList lines = newLogLines();
    QCOMPARE(lines.size(), 1);
    // A quotation mark in a name at the list's level: escaped three times.
    const QString escapedName = QStringLiteral("app") + QString(7, QLatin1Char('\\')) + QStringLiteral("\"12");
    QVERIFY2(lines.first().contains(escapedName), qPrintable(lines.first()));
    const QStringList sent = delivered();
    QCOMPARE(sent.size(), 1);
    const QJsonObject inner = parseObject(parseObject(sent.first()).value(QLatin1String("message")).toString());
    const QJsonArray items = QJsonDocument::fromJson(inner.value(QLatin1String("detail")).toString().toUtf8()).array();
    QCOMPARE(items.size(), 10);
    for (int i = 0; i < 10; ++i) {
        const QJsonObject item = items.at(i).toObject();
        QCOMPARE(item.value(QLatin1String("app")).toString(), QStringLiteral("app\"%1").arg(12 - i));
        QCOMPARE(item.value(QLatin1String("download")).toString(), QStringLiteral("%1.00MB").arg(12 - i));
        QCOMPARE(item.value(QLatin1String("upload")).toString(), QStringLiteral("%1.00B").arg(88 + i));
    }
}

void TestProcessMonitor::alarmListIsTheProcessTablesFragment_data()
{
    QTest::addColumn<QString>("statusKey");
    QTest::addColumn<QString>("sizeKey");
    QTest::addColumn<int>("kind");
    QTest::newRow("total") << "FERROW_ALARM_STATUS" << "FERROW_ALARM_SIZE" << int(AuditConfig::TotalAudit);
    QTest::newRow("egress") << "FERROW_EGRESS_ALARM_STATUS" << "FERROW_EGRESS_ALARM_SIZE"
                            << int(AuditConfig::EgressAudit);
    QTest::newRow("ingress") << "FERROW_INGRESS_ALARM_STATUS" << "FERROW_INGRESS_ALARM_SIZE"
                             << int(AuditConfig::IngressAudit);
}

void TestProcessMonitor::alarmListIsTheProcessTablesFragment()
{
    QFETCH(QString, statusKey);
    QFETCH(QString, sizeKey);
    QFETCH(int, kind);
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {statusKey, "1"}, {sizeKey, "1"}});
    makeController()->start();
    // Distinct ranks by every measure: the order depends on the alarm's kind.
    for (int i = 1; i <= 12; ++i) {
        sysmonitor::process::AppTraffic traffic;
        traffic.recv = quint64(i) * 1000;
        traffic.sent = quint64(13 - i) * 3000;
        table()->auditTraffic.insert(QStringLiteral("pkg-%1").arg(i), traffic);
    }
    table()->periodUpload = 2 * GB;
    table()->periodDownload = 2 * GB;
    newLogLines();
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    const QStringList lines = newLogLines();
    QCOMPARE(lines.size(), 1);
    const QString list = QLatin1Char('[') + table()->topAppsFragment(kind) + QLatin1Char(']');
    QVERIFY2(lines.first().contains(list), qPrintable(lines.first()));
}

void TestProcessMonitor::alarmWithoutApplicationsHasAnEmptyList()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "1"}});
    makeController()->start();
    table()->periodDownload = 2 * GB;
    newLogLines();
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    const QStringList lines = newLogLines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.first().endsWith(QStringLiteral("\\\"detail\\\":\\\"[]\\\"}\"}")), qPrintable(lines.first()));
}

void TestProcessMonitor::failedDeliveryIsLoggedAndCountsAsRaised()
{
    services.stop();
    QTRY_VERIFY(!QDBusConnection::systemBus().interface()->isServiceRegistered(QStringLiteral("org.log.sys_transmit")).value());
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "1"}});
    makeController()->start();
    table()->periodDownload = 2 * GB;
    newLogLines();
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    QMetaObject::invokeMethod(controller, "onCheckTimeout");
    const QStringList lines = newLogLines();
    QVERIFY(services.start(bus.address(), {"--user", "alice", "--transmit", "ok", "--record", record}));
    QCOMPARE(lines.size(), 2);
    // Without the device-monitor client the user is "root".
    QCOMPARE(parseObject(lines.at(0)).value(QLatin1String("hostname")).toString(), QStringLiteral("root"));
    QCOMPARE(lines.at(1), QStringLiteral("阈值警报上报失败:2"));
    QCOMPARE(table()->auditConfig.alarmSent, qint32(AuditConfig::TotalAudit));
}

// --- Settings changes -----------------------------------------------------------

void TestProcessMonitor::countingStaysOffReportsAuditsAndCopiesSettings()
{
    writeSettings({{"FERROW_COUNT_STATUS", "0"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    table()->auditConfig.alarmSent = 3;
    writeSettings({{"FERROW_COUNT_STATUS", "0"}, {"FERROW_ALARM_PERIOD", "12"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "4"}, {"FERROW_INGRESS_ALARM_STATUS", "1"}, {"FERROW_INGRESS_ALARM_SIZE", "2"}});
    newLogLines();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), (QStringList{"总流量审计(因统计)未启动", "下行流量审计(因统计)未启动"}));
    QCOMPARE(table()->auditConfig.auditFlags, qint32(AuditConfig::TotalAudit | AuditConfig::IngressAudit));
    QCOMPARE(table()->auditConfig.alarmPeriod, 12);
    QCOMPARE(table()->auditConfig.alarmSize, 4);
    QCOMPARE(table()->auditConfig.alarmSent, 0);
    QVERIFY(!controller->checkTimer.isActive());
    QVERIFY(!controller->alarmTimer.isActive());
}

void TestProcessMonitor::countingStaysOnWithOldTimestampChangesNothing()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "10"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    const qint64 periodStart = controller->periodStart;
    table()->auditConfig.alarmSent = AuditConfig::TotalAudit;
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "2"}, {"FERROW_ALARM_TIMESTAMP", QString::number(periodStart - 1)}});
    newLogLines();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), QStringList());
    QCOMPARE(table()->auditConfig.alarmSize, 10);
    QCOMPARE(table()->auditConfig.alarmSent, qint32(AuditConfig::TotalAudit));
    QCOMPARE(controller->periodStart, periodStart);
}

void TestProcessMonitor::auditChangeWithFreshTimestampRestartsTheAudit()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "10"}, {"FERROW_EGRESS_ALARM_STATUS", "1"}, {"FERROW_EGRESS_ALARM_SIZE", "3"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    table()->auditConfig.alarmSent = AuditConfig::TotalAudit;
    table()->periodUpload = 5;
    const qint64 changeTime = controller->periodStart + 7;
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "6"}, {"FERROW_ALARM_STATUS", "0"},
                   {"FERROW_ALARM_SIZE", "10"}, {"FERROW_INGRESS_ALARM_STATUS", "1"}, {"FERROW_INGRESS_ALARM_SIZE", "8"},
                   {"FERROW_ALARM_TIMESTAMP", QString::number(changeTime)}});
    newLogLines();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), (QStringList{"流量审计配置变更,重置流量审计...", "总流量审计模块关闭", "上行流量审计模块关闭",
                                         "下行流量审计启动: 阈值上限8GB, 周期6小时"}));
    QCOMPARE(controller->periodStart, changeTime);
    QCOMPARE(table()->auditConfig.auditFlags, qint32(AuditConfig::IngressAudit));
    QCOMPARE(table()->auditConfig.alarmPeriod, 6);
    QCOMPARE(table()->auditConfig.alarmSent, 0);
    QCOMPARE(table()->periodUpload, quint64(0));
    QCOMPARE(controller->alarmTimer.interval(), 6 * 3600000);
    QVERIFY(controller->checkTimer.isActive());

    // A change to period 0 at the same timestamp stops the audit; the check
    // tick goes on refreshing the documents while counting is on.
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "0"},
                   {"FERROW_ALARM_TIMESTAMP", QString::number(changeTime)}});
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), (QStringList{"流量审计配置变更,重置流量审计...", "下行流量审计模块关闭"}));
    QVERIFY(controller->checkTimer.isActive());
    QVERIFY(!controller->alarmTimer.isActive());
}

void TestProcessMonitor::countingSwitchedOffFlushesStopsAndClears()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "10"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    table()->processNetworkData({report(40, 60)});
    table()->auditConfig.alarmSent = AuditConfig::TotalAudit;
    writeSettings({{"FERROW_COUNT_STATUS", "0"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "10"}});
    newLogLines();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), (QStringList{"流量统计停止", "总流量审计模块关闭"}));
    QVERIFY(!table()->networkMonitor->isMonitoring());
    QVERIFY(!controller->sqlUpdateTimer.isActive());
    QVERIFY(!controller->checkTimer.isActive());
    QVERIFY(!controller->alarmTimer.isActive());
    QCOMPARE(appDataRows().size(), 1);
    QCOMPARE(appDataRows().first().second, qint64(100));
    QCOMPARE(readFile(ferrow::paths().appInfoFile), QStringLiteral("[]"));
    QCOMPARE(readFile(ferrow::paths().processInfoFile), QStringLiteral("[]"));
    QCOMPARE(table()->auditConfig.countStatus, 0);
    QCOMPARE(table()->auditConfig.alarmSent, 0);
    QVERIFY(controller->running);
}

void TestProcessMonitor::countingAndAuditSwitchedOffTogetherReportTheAuditClosed()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "10"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    writeSettings({{"FERROW_COUNT_STATUS", "0"}, {"FERROW_ALARM_PERIOD", "24"}, {"FERROW_ALARM_STATUS", "0"},
                   {"FERROW_ALARM_SIZE", "10"}});
    newLogLines();
    controller->onConfFileChanged();
    // The audit that ran is closed, although the new settings have none.
    QCOMPARE(newLogLines(), (QStringList{"流量统计停止", "总流量审计模块关闭"}));
    QCOMPARE(table()->auditConfig.auditFlags, 0);
    QVERIFY(!controller->alarmTimer.isActive());
}

void TestProcessMonitor::countingSwitchedOnStartsCountingAndAudit()
{
    ferrow::defaults().intervals.databaseUpdateMs = 54321;
    writeSettings({{"FERROW_COUNT_STATUS", "0"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    table()->stopNetworkMonitor();
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "2"}, {"FERROW_EGRESS_ALARM_STATUS", "1"},
                   {"FERROW_EGRESS_ALARM_SIZE", "7"}, {"FERROW_ALARM_TIMESTAMP", "5"}});
    newLogLines();
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), (QStringList{"流量统计启动", "上行流量审计启动: 阈值上限7GB, 周期2小时"}));
    QVERIFY(table()->networkMonitor->isMonitoring());
    QVERIFY(controller->sqlUpdateTimer.isActive());
    QCOMPARE(controller->sqlUpdateTimer.interval(), 54321);
    QVERIFY(controller->checkTimer.isActive());
    QVERIFY(controller->alarmTimer.isActive());
    QVERIFY(controller->periodStart >= before);
    QCOMPARE(table()->auditConfig.countStatus, 1);
    QCOMPARE(table()->auditConfig.auditFlags, qint32(AuditConfig::EgressAudit));
    // Started with counting off: the stop at quit does nothing.
    QVERIFY(!controller->running);
}

void TestProcessMonitor::countingSwitchedOnWithoutAuditPeriodStillRefreshesTheDocuments()
{
    writeSettings({{"FERROW_COUNT_STATUS", "0"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "0"}});
    newLogLines();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), QStringList{"流量统计启动"});
    QVERIFY(controller->sqlUpdateTimer.isActive());
    // The documents are refreshed without any audit; no audit period runs.
    QVERIFY(controller->checkTimer.isActive());
    QVERIFY(!controller->alarmTimer.isActive());

    // Off and on again: the check tick stops with counting and comes back with it.
    writeSettings({{"FERROW_COUNT_STATUS", "0"}});
    controller->onConfFileChanged();
    QVERIFY(!controller->checkTimer.isActive());
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    controller->onConfFileChanged();
    QVERIFY(controller->checkTimer.isActive());
}

void TestProcessMonitor::countingValueOneToTwoCountsAsSwitchedOn()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    writeSettings({{"FERROW_COUNT_STATUS", "2"}});
    newLogLines();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), QStringList{"流量统计启动"});
    QCOMPARE(table()->auditConfig.countStatus, 2);
}

void TestProcessMonitor::settingNumbersAreDecimalDespiteLeadingZeros()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    controller->confWatcher.blockSignals(true);
    // Read as octal, these would be 8 hours, 8, 16 and 24 GB and a time
    // stamp long before the period.
    const qint64 changeTime = controller->periodStart + 7;
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "010"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "010"}, {"FERROW_EGRESS_ALARM_STATUS", "1"}, {"FERROW_EGRESS_ALARM_SIZE", "020"},
                   {"FERROW_INGRESS_ALARM_STATUS", "1"}, {"FERROW_INGRESS_ALARM_SIZE", "030"},
                   {"FERROW_ALARM_TIMESTAMP", QLatin1Char('0') + QString::number(changeTime)}});
    newLogLines();
    controller->onConfFileChanged();
    QCOMPARE(newLogLines(), (QStringList{"流量审计配置变更,重置流量审计...", "总流量审计启动: 阈值上限10GB, 周期10小时",
                                         "上行流量审计启动: 阈值上限20GB, 周期10小时",
                                         "下行流量审计启动: 阈值上限30GB, 周期10小时"}));
    QCOMPARE(controller->periodStart, changeTime);
}

void TestProcessMonitor::fileReplacedByRenameStaysWatched()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    QVERIFY(controller->confWatcher.files().contains(ferrow::paths().settingsFile));
    newLogLines();

    // Only LogLevel changes: the audit timestamp is older than the period.
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"LogLevel", "2"}});
    QTest::qWait(300);
    QCOMPARE(newLogLines(), QStringList());
    QVERIFY(controller->confWatcher.files().contains(ferrow::paths().settingsFile));

    for (int status : {0, 1, 0}) {
        writeSettings({{"FERROW_COUNT_STATUS", QString::number(status)}});
        QTRY_COMPARE(table()->auditConfig.countStatus, status);
    }
    const QStringList lines = newLogLines();
    QCOMPARE(lines.count(QStringLiteral("流量统计停止")), 2);
    QCOMPARE(lines.count(QStringLiteral("流量统计启动")), 1);
}

void TestProcessMonitor::settingsFileCreatedLaterIsWatchedAndApplied()
{
    makeController()->start();
    QCOMPARE(newLogLines(), QStringList());
    QVERIFY(!controller->confWatcher.files().contains(ferrow::paths().settingsFile));

    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QTRY_COMPARE(table()->auditConfig.countStatus, 1);
    QVERIFY(controller->sqlUpdateTimer.isActive());
    QTRY_VERIFY(controller->confWatcher.files().contains(ferrow::paths().settingsFile));
    QCOMPARE(newLogLines(), QStringList{"流量统计启动"});

    writeSettings({{"FERROW_COUNT_STATUS", "0"}});
    QTRY_COMPARE(table()->auditConfig.countStatus, 0);
    QCOMPARE(newLogLines(), QStringList{"流量统计停止"});
}

void TestProcessMonitor::settingsFileDeletedAndWrittenAgainIsFollowed()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    makeController()->start();
    newLogLines();
    // A missing file reads as all zeros: counting is switched off.
    QVERIFY(QFile::remove(ferrow::paths().settingsFile));
    QTRY_COMPARE(table()->auditConfig.countStatus, 0);
    QVERIFY(!controller->confWatcher.files().contains(ferrow::paths().settingsFile));
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QTRY_COMPARE(table()->auditConfig.countStatus, 1);
    QTRY_VERIFY(controller->confWatcher.files().contains(ferrow::paths().settingsFile));
    QCOMPARE(newLogLines(), (QStringList{"流量统计停止", "流量统计启动"}));
}

QTEST_GUILESS_MAIN(TestProcessMonitor)
#include "tst_processmonitor.moc"

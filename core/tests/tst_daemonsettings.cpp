// The whole daemon: settings changes, the audit and alarm delivery.
#include "daemonharness.h"

class TestDaemonSettings : public DaemonHarness
{
    Q_OBJECT

private slots:
    void settingsRenamedOverTheFileSwitchCountingAndAudit();
    void settingsFileCreatedAfterStartIsApplied();
    void settersOfTheClientAreApplied();
};

void TestDaemonSettings::settingsRenamedOverTheFileSwitchCountingAndAudit()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    // Each report says that pid 1 sent 256 MiB.
    QVERIFY(startDaemon(daemon, {{"FAKE_COLLECTOR_DOCUMENT",
                                  "{\"type\":\"network_data\",\"processes\":[{\"pid\":1,\"comm\":\"big\","
                                  "\"tx_bytes\":268435456,\"rx_bytes\":0,\"tx_speed\":1,\"rx_speed\":0}]}"}}));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);

    writeSettings({{"FERROW_COUNT_STATUS", "0"}});
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("流量统计停止")), tickWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(dataFile(QStringLiteral("app_info"))), QStringLiteral("[]"), tickWaitMs);

    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QTRY_COMPARE_WITH_TIMEOUT(logLines().count(QStringLiteral("流量统计启动")), 2, tickWaitMs);

    // An audit change with a fresh timestamp restarts the audit.
    const QString now = QString::number(QDateTime::currentSecsSinceEpoch());
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "1"}, {"FERROW_ALARM_STATUS", "1"},
                   {"FERROW_ALARM_SIZE", "1"}, {"FERROW_ALARM_TIMESTAMP", now}});
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("总流量审计启动: 阈值上限1GB, 周期1小时")), tickWaitMs);
    QVERIFY(logLines().contains(QStringLiteral("流量审计配置变更,重置流量审计...")));

    // Over 1 GB within a few reports: the alarm is logged and delivered once.
    QTRY_COMPARE_WITH_TIMEOUT(readFile(record).count(QLatin1Char('\n')), 1, tickWaitMs);
    const QString sent = QJsonDocument::fromJson("[" + readFile(record).trimmed().toUtf8() + "]").array().at(0).toString();
    QVERIFY2(sent.startsWith(QStringLiteral("{\"hostname\":\"alice\"")), qPrintable(sent));
    QVERIFY(sent.contains(QStringLiteral("总流量使用超标,")));
    const QStringList alarms = logLines().filter(QStringLiteral("\"name\":\"ferrow_alarm\""));
    QCOMPARE(alarms.size(), 1);
    QVERIFY(alarms.first().startsWith(QStringLiteral("{\"time\":\"")));
    // One more check tick with ever more traffic: no second alarm in the period.
    QTest::qWait(5500);
    QCOMPARE(readFile(record).count(QLatin1Char('\n')), 1);
    QCOMPARE(logLines().filter(QStringLiteral("\"name\":\"ferrow_alarm\"")).size(), 1);

    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitCode(), 0);
}

void TestDaemonSettings::settersOfTheClientAreApplied()
{
    // ferrowctl writes the settings file as the daemon sees it inside its world.
    const auto ferrowctl = [this](const QStringList &arguments) {
        QProcess client;
        client.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        client.start(QStringLiteral(FERROW_CTL), QStringList{"--test-data-dir", data} + arguments);
        return client.waitForFinished(10000) && client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
    };
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);

    QCOMPARE(ferrowctl({"counting", "off"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("流量统计停止")), tickWaitMs);
    QCOMPARE(ferrowctl({"counting", "on"}), 0);
    QTRY_COMPARE_WITH_TIMEOUT(logLines().count(QStringLiteral("流量统计启动")), 2, tickWaitMs);
    // The setter stamps the change, so the running period is restarted.
    QCOMPARE(ferrowctl({"audit", "set", "egress", "--size", "3", "--period", "2"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("上行流量审计启动: 阈值上限3GB, 周期2小时")),
                             tickWaitMs);
    QCOMPARE(ferrowctl({"audit", "off", "egress"}), 0);
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("上行流量审计模块关闭")), tickWaitMs);

    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitCode(), 0);
}

void TestDaemonSettings::settingsFileCreatedAfterStartIsApplied()
{
    QProcess daemon;
    QVERIFY(startDaemon(daemon));
    // Without a settings file nothing is logged: wait until the daemon watches
    // its directory, however long the start takes on a loaded machine.
    QTRY_VERIFY_WITH_TIMEOUT(watchesDataDirectory(daemon), tickWaitMs);
    QCOMPARE(daemon.state(), QProcess::Running);
    // Switched on by a settings change, the check tick runs with an audit period.
    writeSettings({{"FERROW_COUNT_STATUS", "1"}, {"FERROW_ALARM_PERIOD", "1"}});
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("流量统计启动")), tickWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(readFile(dataFile(QStringLiteral("app_info"))).contains(QStringLiteral("\"sum_recv\":")),
                             tickWaitMs);
    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitCode(), 0);
    // Started with counting off, its stop at quit does nothing, yet the
    // collector does not outlive it.
    QVERIFY(!logLines().contains(QStringLiteral("流量统计 ProcessMonitor 停止")));
    QTRY_COMPARE_WITH_TIMEOUT(processesInNamespace(), QList<pid_t>(), 5000);
}

QTEST_GUILESS_MAIN(TestDaemonSettings)
#include "tst_daemonsettings.moc"

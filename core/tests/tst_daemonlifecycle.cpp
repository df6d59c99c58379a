// The whole daemon: single instance, signals, documents and the database at stop.
#include "daemonharness.h"

class TestDaemonLifecycle : public DaemonHarness
{
    Q_OBJECT

private slots:
    void runsAsOneInstanceAndStopsCleanlyOnSignals();
    void twoSignalsInQuickSuccessionStopTheControllerOnce();
};

void TestDaemonLifecycle::runsAsOneInstanceAndStopsCleanlyOnSignals()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);

    // The documents are rewritten at every check tick with the collector's figures.
    const QString appInfo = dataFile(QStringLiteral("app_info"));
    QTRY_VERIFY_WITH_TIMEOUT(readFile(appInfo).contains(QStringLiteral("\"sum_recv\":")), tickWaitMs);
    const QDateTime firstWrite = QFileInfo(appInfo).lastModified();
    auto sumRecv = [&appInfo] {
        return QJsonDocument::fromJson(readFile(appInfo).toUtf8()).array().at(0).toObject().value("sum_recv").toDouble();
    };
    const double firstRecv = sumRecv();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(appInfo).lastModified() != firstWrite, tickWaitMs);
    const qint64 interval = firstWrite.msecsTo(QFileInfo(appInfo).lastModified());
    // Five seconds apart, with room for a loaded machine.
    QVERIFY2(interval >= 3000 && interval <= 8000, qPrintable(QString::number(interval)));
    QVERIFY(sumRecv() > firstRecv);
    QVERIFY(readFile(dataFile(QStringLiteral("process_info"))).contains(QStringLiteral("\"sum_sent\":")));

    // A second instance is refused; the first goes on.
    QProcess second;
    QVERIFY(startDaemon(second));
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY2(second.readAllStandardError().contains("Ferrow Monitor Daemon 已启动"), "refusal message");
    QCOMPARE(daemon.state(), QProcess::Running);
    QCOMPARE(logLines().count(QStringLiteral("ProcessMonitor 启动中...")), 1);

    // SIGTERM: message, stop written to the log, exit code 0, database written.
    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    QVERIFY(daemon.readAllStandardError().contains("Received signal SIGTERM quitting ..."));
    QCOMPARE(logLines().last(), QStringLiteral("流量统计 ProcessMonitor 停止"));
    const QString database = dataFile(QStringLiteral("ferrow.db"));
    QVERIFY(queryNumber(database, "SELECT SUM(total) FROM app_data") > 0);
    QVERIFY(queryNumber(database, "SELECT SUM(recv) FROM hour_data") > 0);
    QCOMPARE(readFile(appInfo), QStringLiteral("[]"));
    // The collector went with the daemon: nothing is left in the namespaces.
    QTRY_COMPARE_WITH_TIMEOUT(processesInNamespace(), QList<pid_t>(), 5000);

    // The guard was detached: a new instance in the same namespaces starts.
    QProcess again;
    QVERIFY(startDaemon(again));
    QTRY_COMPARE_WITH_TIMEOUT(logLines().count(QStringLiteral("ProcessMonitor 启动成功")), 2, tickWaitMs);
    QVERIFY(stopDaemon(again, SIGINT));
    QCOMPARE(again.exitStatus(), QProcess::NormalExit);
    QCOMPARE(again.exitCode(), 0);
    QVERIFY(again.readAllStandardError().contains("Received signal SIGINT quitting ..."));
    QCOMPARE(logLines().count(QStringLiteral("流量统计 ProcessMonitor 停止")), 2);
    QTRY_COMPARE_WITH_TIMEOUT(processesInNamespace(), QList<pid_t>(), 5000);
}

void TestDaemonLifecycle::twoSignalsInQuickSuccessionStopTheControllerOnce()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);
    ::kill(pid_t(daemon.processId()), SIGTERM);
    ::kill(pid_t(daemon.processId()), SIGINT);
    QVERIFY(daemon.waitForFinished(15000));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    const QByteArray errors = daemon.readAllStandardError();
    QVERIFY(errors.contains("Received signal SIGTERM quitting ..."));
    QVERIFY(errors.contains("Received signal SIGINT quitting ..."));
    QCOMPARE(logLines().count(QStringLiteral("流量统计 ProcessMonitor 停止")), 1);
}

QTEST_GUILESS_MAIN(TestDaemonLifecycle)
#include "tst_daemonlifecycle.moc"

// NetworkMonitor with its real supervisor and client, fake_collector.py as
// the collector child, and steerable clocks (wall and monotonic) for the
// silence checks.
#include "fakecollector.h"
#include "networkmonitor.h"
#include "networksocketclient.h"
#include "networksocketserver.h"

#include <QtTest>

#include <csignal>

namespace {

class Recorder : public QObject
{
public:
    explicit Recorder(NetworkMonitor *monitor)
    {
        connect(monitor, &NetworkMonitor::statusChanged, this, [this](const QString &s) {
            statuses << s;
            events << s;
        });
        connect(monitor, &NetworkMonitor::errorOccurred, this, [this](const QString &e) {
            errors << e;
            events << e;
        });
        connect(monitor, &NetworkMonitor::dataReceived, this,
                [this](const QList<NetworkProcess> &p) { lists << p; });
    }
    QStringList statuses;
    QStringList errors;
    QStringList events; // statuses and errors together, in order
    QList<QList<NetworkProcess>> lists;
};

const QString restarting = QStringLiteral("Python 服务器已停止，尝试重启...");

QString attempt(int n)
{
    return QStringLiteral("服务器停止，第 %1 次尝试重启...").arg(n);
}

const QString slowPace = QStringLiteral("服务器重启失败，60 秒后再次尝试...");

} // namespace

class TestNetworkMonitor : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startConnectsAndDeliversDecodedData();
    void secondStartIsRefused();
    void missingScriptFailsTheStartWithoutRestart();
    void everyDocumentRefreshesTheSilenceClock_data();
    void everyDocumentRefreshesTheSilenceClock();
    void healthyUpToTenSecondsOfSilence();
    void collectorExitingBeforeReadinessIsRestartedThreeTimes();
    void readinessResetsTheRestartCount();
    void crashCountsThreeAttemptsAtOnce();
    void everyCountedAttemptRestartsTheRestartDelay();
    void startCountsAttemptsFromOneAgain();
    void closedConnectionToARunningCollectorLeadsToARestartOnTheFourthTick();
    void threeHealedOutagesLeaveTheCountAtThreeAndTheNextOutageRestarts();
    void stopWhileARestartIsPendingCancelsIt();
    void silentCollectorIsRestartedAtTheSlowPaceAfterThreeAttempts();
    void collectorWithoutSocketFileIsOnlyWarnedAbout();
    void destructionStopsMonitoring();
    void wallClockSetForwardDoesNotMakeAHealthyCollectorSilent();
    void wallClockSetBackDoesNotHideASilentCollector();
    void silenceAfterTheDaemonWasHeldUpIsJudgedOneTickLater();
    void failingCollectorIsRetriedAtTheSlowPaceUntilCountingResumes();

private:
    // Time passes on both clocks.
    void advanceClock(int seconds)
    {
        now = now.addSecs(seconds);
        monotonicMs += qint64(seconds) * 1000;
    }

    FakeCollector *fake = nullptr;
    QDateTime now;
    qint64 monotonicMs = 0;
};

void TestNetworkMonitor::init()
{
    fake = new FakeCollector;
    QVERIFY(fake->isValid());
    ferrow::Intervals &intervals = ferrow::defaults().intervals;
    // Ten ticks (the readiness without a socket file) must outlast the
    // interpreter's start on a loaded machine.
    intervals.readyCheckMs = 250;
    intervals.healthCheckMs = 60000; // ticks are driven by hand unless a test says otherwise
    intervals.restartDelayMs = 150;
    intervals.reconnectMs = 60000;
    intervals.processStopMs = 1500;
    now = QDateTime::currentDateTime();
    ferrow::defaults().clock = [this] { return now; };
    monotonicMs = 1000000;
    NetworkMonitor::monotonicClock = [this] { return monotonicMs; };
    FakeCollector::set("INTERVAL_MS", "50");
    NetworkSocketServer::readyTicks = 0;
    NetworkMonitor::unconnectedTicks = 0;
}

void TestNetworkMonitor::cleanup()
{
    NetworkMonitor::monotonicClock = nullptr;
    delete fake;
    fake = nullptr;
}

void TestNetworkMonitor::startConnectsAndDeliversDecodedData()
{
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QVERIFY(monitor.isMonitoring());
    QCOMPARE(recorder.statuses, QStringList{"正在启动监控服务..."});

    QTRY_VERIFY(!recorder.lists.isEmpty());
    QCOMPARE(recorder.statuses, (QStringList{"正在启动监控服务...", "服务器已启动，正在连接...", "监控运行中"}));
    const QList<NetworkProcess> &processes = recorder.lists.first();
    QCOMPARE(processes.size(), 1);
    QCOMPARE(qint64(processes.at(0).pid), fake->lastPid());
    QCOMPARE(processes.at(0).comm, QStringLiteral("fake_collector"));
    QCOMPARE(processes.at(0).tx_bytes, quint64(100));
    QCOMPARE(processes.at(0).rx_bytes, quint64(200));
    QCOMPARE(processes.at(0).tx_speed, 1.5);
    QCOMPARE(processes.at(0).rx_speed, 2.5);
    QVERIFY(monitor.isServerHealthy());
    QVERIFY(recorder.errors.isEmpty());

    monitor.stopMonitoring();
    QCOMPARE(recorder.statuses.last(), QStringLiteral("监控已停止"));
    QVERIFY(!monitor.isMonitoring());
    QCOMPARE(fake->count("term"), 1);
}

void TestNetworkMonitor::secondStartIsRefused()
{
    NetworkMonitor monitor;
    QVERIFY(monitor.startMonitoring());
    QTRY_COMPARE(fake->count("start"), 1);
    QTest::ignoreMessage(QtWarningMsg, "监控已经在运行");
    QVERIFY(!monitor.startMonitoring());
    QTest::qWait(100);
    QCOMPARE(fake->count("start"), 1);
    QCOMPARE(fake->count("term"), 0);
    QVERIFY(monitor.isMonitoring());
}

void TestNetworkMonitor::missingScriptFailsTheStartWithoutRestart()
{
    const QString script = fake->filePath(QStringLiteral("gone.py"));
    ferrow::defaults().paths.collectorScript = script;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(!monitor.startMonitoring());
    QVERIFY(!monitor.isMonitoring());
    QCOMPARE(recorder.errors, QStringList{"服务器错误: Python脚本不存在: " + script});
    QVERIFY(recorder.statuses.isEmpty());
    QTest::qWait(300);
    QVERIFY(recorder.statuses.isEmpty());
}

void TestNetworkMonitor::everyDocumentRefreshesTheSilenceClock_data()
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<int>("lists");

    QTest::newRow("data document with no processes")
        << QStringLiteral(R"({"type":"network_data","processes":[]})") << 1;
    QTest::newRow("document of another type") << QStringLiteral(R"({"type":"status"})") << 0;
}

void TestNetworkMonitor::everyDocumentRefreshesTheSilenceClock()
{
    QFETCH(QString, document);
    QFETCH(int, lists);
    FakeCollector::set("DOCUMENT", document);
    FakeCollector::set("DOCUMENTS", "1");
    FakeCollector::set("SILENT_MS", "600");

    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains("监控运行中"));

    // Twenty seconds pass without a document; the next one (the first, or the
    // one after the pause) makes the link healthy again.
    advanceClock(20);
    QVERIFY(!monitor.isServerHealthy());
    QTRY_VERIFY(monitor.isServerHealthy());
    if (lists) {
        QVERIFY(!recorder.lists.isEmpty());
        for (const QList<NetworkProcess> &list : qAsConst(recorder.lists))
            QVERIFY(list.isEmpty());
    } else {
        // Documents keep coming; none of them is a data document.
        QTest::qWait(800);
        QCOMPARE(recorder.lists.size(), 0);
    }
}

void TestNetworkMonitor::healthyUpToTenSecondsOfSilence()
{
    FakeCollector::set("DOCUMENTS", "0");
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(!monitor.isServerHealthy());
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains("监控运行中"));
    advanceClock(10);
    QVERIFY(monitor.isServerHealthy());
    advanceClock(1);
    QVERIFY(!monitor.isServerHealthy());
}

void TestNetworkMonitor::collectorExitingBeforeReadinessIsRestartedThreeTimes()
{
    FakeCollector::set("READY_MS", "never");
    FakeCollector::set("EXIT_MS", "100");
    // No readiness tick may come in between: ticks left over from the short
    // lives of earlier launches would add up to a readiness without file.
    ferrow::defaults().intervals.readyCheckMs = 3000;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    for (int i = 0; i < 4; ++i)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    QVERIFY(monitor.startMonitoring());

    // Four short-lived launches: generous on a loaded machine.
    QTRY_COMPARE_WITH_TIMEOUT(recorder.statuses.size(), 8, 30000);
    QCOMPARE(recorder.statuses,
             (QStringList{"正在启动监控服务...", attempt(1), "正在重启服务器...", attempt(2), "正在重启服务器...",
                          attempt(3), "正在重启服务器...", slowPace}));
    QCOMPARE(recorder.errors, QStringList{"服务器重启失败，已尝试 3 次"});
    // Not given up: the next attempt comes at the slow pace, a minute later.
    QVERIFY(monitor.isMonitoring());
    QCOMPARE(fake->count("start"), 4);
    QTest::qWait(400);
    QCOMPARE(fake->count("start"), 4);
    QCOMPARE(recorder.statuses.size(), 8);
}

void TestNetworkMonitor::readinessResetsTheRestartCount()
{
    // Each launch lives long enough to be declared ready, also under load:
    // the file is seen within one short tick of its creation.
    ferrow::defaults().intervals.readyCheckMs = 50;
    FakeCollector::set("EXIT_MS", "600");
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY_WITH_TIMEOUT(fake->count("start") >= 5, 30000);
    QVERIFY(monitor.isMonitoring());
    QVERIFY(!recorder.statuses.contains(attempt(2)));
    QVERIFY(recorder.statuses.count(attempt(1)) >= 4);
    QVERIFY(!recorder.errors.contains("服务器重启失败，已尝试 3 次"));
    monitor.stopMonitoring();
}

void TestNetworkMonitor::crashCountsThreeAttemptsAtOnce()
{
    // Slow enough ticks that the short-lived relaunch cannot reach readiness.
    ferrow::defaults().intervals.readyCheckMs = 300;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(!recorder.lists.isEmpty());
    // The relaunch will end before it is ready, which exhausts the attempts.
    FakeCollector::set("READY_MS", "never");
    FakeCollector::set("EXIT_MS", "50");
    recorder.statuses.clear();

    for (int i = 0; i < 4; ++i)
        QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    QCOMPARE(::kill(pid_t(fake->lastPid()), SIGKILL), 0);
    QTRY_VERIFY(recorder.statuses.contains(attempt(3)));
    QCOMPARE(recorder.errors.mid(0, 2), (QStringList{"服务器错误: Python服务器进程崩溃 (错误代码: 1)",
                                                    "服务器错误: Python服务器进程异常退出"}));
    // All three were counted at once, before the single restart. (The lost
    // connection is noticed at some point of its own.)
    const QString lost = QStringLiteral("连接断开，等待重连...");
    auto withoutLoss = [&] {
        QStringList statuses = recorder.statuses;
        statuses.removeAll(lost);
        return statuses;
    };
    QCOMPARE(withoutLoss().mid(0, 3), (QStringList{attempt(1), attempt(2), attempt(3)}));

    QTRY_VERIFY_WITH_TIMEOUT(recorder.errors.contains("服务器重启失败，已尝试 3 次"), 15000);
    QCOMPARE(fake->count("start"), 2);
    QCOMPARE(withoutLoss(), (QStringList{attempt(1), attempt(2), attempt(3), "正在重启服务器...", slowPace}));
    QVERIFY(recorder.statuses.count(lost) <= 1);
    QVERIFY(monitor.isMonitoring());
}

void TestNetworkMonitor::everyCountedAttemptRestartsTheRestartDelay()
{
    // A second: the timer's slack (5 % of it) stays well inside the margins below.
    ferrow::defaults().intervals.restartDelayMs = 1000;
    NetworkMonitor monitor;
    QTimer *restartTimer = nullptr;
    for (QTimer *timer : monitor.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (timer->isSingleShot())
            restartTimer = timer;
    }
    QVERIFY(restartTimer);
    QVERIFY(monitor.startMonitoring());

    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    monitor.onServerStopped();
    QVERIFY(restartTimer->isActive());
    QTRY_VERIFY(restartTimer->remainingTime() < 700);
    monitor.onServerStopped();
    QVERIFY2(restartTimer->remainingTime() > 900, qPrintable(QString::number(restartTimer->remainingTime())));
    monitor.stopMonitoring();
}

void TestNetworkMonitor::startCountsAttemptsFromOneAgain()
{
    // Every launch ends before it is ready (which would reset the count too);
    // the restart itself never comes.
    FakeCollector::set("READY_MS", "never");
    FakeCollector::set("EXIT_MS", "100");
    ferrow::defaults().intervals.readyCheckMs = 3000;
    ferrow::defaults().intervals.restartDelayMs = 60000;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains(attempt(1)));
    monitor.stopMonitoring();

    recorder.statuses.clear();
    QVERIFY(monitor.startMonitoring());
    QTRY_COMPARE(recorder.statuses.size(), 2);
    QCOMPARE(recorder.statuses, (QStringList{"正在启动监控服务...", attempt(1)}));
    monitor.stopMonitoring();
}

void TestNetworkMonitor::closedConnectionToARunningCollectorLeadsToARestartOnTheFourthTick()
{
    // The collector sends one document, closes the connection and refuses new
    // ones, its socket file still in place. The health check runs on its timer.
    FakeCollector::set("CLOSE_AFTER", "1");
    ferrow::defaults().intervals.healthCheckMs = 100;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QTest::ignoreMessage(QtDebugMsg, "服务器运行中但Socket未连接，尝试连接... 1");
    QTest::ignoreMessage(QtDebugMsg, "服务器运行中但Socket未连接，尝试连接... 2");
    QTest::ignoreMessage(QtDebugMsg, "服务器运行中但Socket未连接，尝试连接... 3");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    QVERIFY(monitor.startMonitoring());

    QTRY_VERIFY(recorder.statuses.contains(attempt(1)));
    // Between the loss and the restart: the three refused connection attempts.
    const int lost = recorder.events.indexOf("连接断开，等待重连...");
    QVERIFY(lost > recorder.events.indexOf("监控运行中"));
    QCOMPARE(recorder.events.mid(lost + 1, 5),
             (QStringList{"连接错误: 连接被拒绝", "连接错误: 连接被拒绝", "连接错误: 连接被拒绝",
                          "服务端运行异常，尝试重启...", attempt(1)}));
    QCOMPARE(recorder.lists.size(), 1);
    monitor.stopMonitoring();
}

void TestNetworkMonitor::threeHealedOutagesLeaveTheCountAtThreeAndTheNextOutageRestarts()
{
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    auto *client = monitor.findChild<NetworkSocketClient *>();
    QVERIFY(client);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains("监控运行中"));

    // Three short outages, each healed by the first health-check connection
    // attempt; a successful connection does not reset the count.
    for (int outage = 1; outage <= 3; ++outage) {
        recorder.statuses.clear();
        client->disconnectFromServer();
        QVERIFY(!client->isConnected());
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("服务器运行中但Socket未连接，尝试连接... %1").arg(outage)));
        monitor.checkServerHealth();
        QTRY_VERIFY(client->isConnected());
        QCOMPARE(NetworkMonitor::unconnectedTicks, outage);
        QCOMPARE(recorder.statuses, (QStringList{"连接断开，等待重连...", "监控运行中"}));
        // A tick that finds the link connected leaves the count alone.
        monitor.checkServerHealth();
        QCOMPARE(NetworkMonitor::unconnectedTicks, outage);
    }

    // The fourth outage goes straight to a counted restart.
    recorder.statuses.clear();
    client->disconnectFromServer();
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    monitor.checkServerHealth();
    QCOMPARE(NetworkMonitor::unconnectedTicks, 0);
    QCOMPARE(recorder.statuses, (QStringList{"连接断开，等待重连...", "服务端运行异常，尝试重启...", attempt(1)}));
    QVERIFY(!client->isConnected());
    QVERIFY(recorder.errors.isEmpty());
    monitor.stopMonitoring();
}

void TestNetworkMonitor::stopWhileARestartIsPendingCancelsIt()
{
    FakeCollector::set("READY_MS", "never");
    FakeCollector::set("EXIT_MS", "100");
    ferrow::defaults().intervals.restartDelayMs = 1000;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains(attempt(1)));

    recorder.statuses.clear();
    monitor.stopMonitoring();
    QTest::qWait(1300);
    QCOMPARE(recorder.statuses, QStringList{"监控已停止"});
    QCOMPARE(fake->count("start"), 1);
    QVERIFY(!monitor.isMonitoring());
}

void TestNetworkMonitor::silentCollectorIsRestartedAtTheSlowPaceAfterThreeAttempts()
{
    ferrow::defaults().intervals.restartDelayMs = 60000;
    ferrow::defaults().intervals.slowRestartMs = 60000;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QTimer *restartTimer = nullptr;
    for (QTimer *timer : monitor.findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly)) {
        if (timer->isSingleShot())
            restartTimer = timer;
    }
    QVERIFY(restartTimer);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(!recorder.lists.isEmpty());
    recorder.statuses.clear();

    advanceClock(11);
    const char *silence = "服务端无数据时间过长( 11 秒)，可能已崩溃";
    for (int tick = 1; tick <= 4; ++tick) {
        QTest::ignoreMessage(QtWarningMsg, silence);
        QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
        monitor.checkServerHealth();
    }
    QCOMPARE(recorder.statuses,
             (QStringList{"服务端可能无响应，尝试重启...", attempt(1), "服务端可能无响应，尝试重启...", attempt(2),
                          "服务端可能无响应，尝试重启...", attempt(3), "服务端可能无响应，尝试重启...",
                          slowPace}));
    QCOMPARE(recorder.errors, QStringList{"服务器重启失败，已尝试 3 次"});
    QVERIFY(monitor.isMonitoring());
    QVERIFY(restartTimer->isActive());
    QCOMPARE(restartTimer->interval(), 60000);

    // Until the slow attempt, collector and connection are left in place and
    // its documents are still delivered; health ticks change nothing.
    const int listsWhenGivenUp = recorder.lists.size();
    QTRY_VERIFY(recorder.lists.size() > listsWhenGivenUp);
    QCOMPARE(fake->count("term"), 0);
    monitor.checkServerHealth();
    QCOMPARE(recorder.statuses.size(), 8);

    // The slow attempt finds the old collector still running: it is stopped,
    // and the attempt after it starts a new one, which resets the count.
    ferrow::defaults().intervals.slowRestartMs = 200;
    QTest::ignoreMessage(QtWarningMsg, "服务器已经在运行");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    monitor.attemptServerRestart();
    QCOMPARE(fake->count("term"), 1);
    QTRY_COMPARE(fake->count("start"), 2);
    QTRY_VERIFY(recorder.statuses.count("监控运行中") == 1);
    QCOMPARE(restartTimer->interval(), 200);
    QVERIFY(monitor.isMonitoring());
    QVERIFY(monitor.isServerHealthy());
    monitor.stopMonitoring();
}

void TestNetworkMonitor::collectorWithoutSocketFileIsOnlyWarnedAbout()
{
    FakeCollector::set("READY_MS", "never");
    ferrow::defaults().intervals.readyCheckMs = 20;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains("服务器已启动，正在连接..."));
    QCOMPARE(recorder.errors, QStringList{"连接错误: 服务器未找到"});

    // No reconnect (the collector does not count as running) and no restart
    // (the socket is not connected); after 10 s of silence only a warning.
    const QStringList statuses = recorder.statuses;
    monitor.checkServerHealth();
    advanceClock(12);
    QTest::ignoreMessage(QtWarningMsg, "服务端无数据时间过长( 12 秒)，可能已崩溃");
    monitor.checkServerHealth();
    QCOMPARE(recorder.statuses, statuses);
    QCOMPARE(recorder.errors.size(), 1);
    QCOMPARE(NetworkMonitor::unconnectedTicks, 0);
    QVERIFY(monitor.isMonitoring());

    // Socket errors reach the owner only while monitoring.
    monitor.onSocketError(QStringLiteral("连接被拒绝"));
    QCOMPARE(recorder.errors.last(), QStringLiteral("连接错误: 连接被拒绝"));
    monitor.stopMonitoring();
    // Stopping reports the terminated collector as crashed, which is still relayed.
    QVERIFY(recorder.errors.contains("服务器错误: Python服务器进程异常退出"));
    const int errors = recorder.errors.size();
    monitor.onSocketError(QStringLiteral("连接被拒绝"));
    QCOMPARE(recorder.errors.size(), errors);
    QCOMPARE(recorder.errors.filter("连接错误").size(), 2);
}

void TestNetworkMonitor::destructionStopsMonitoring()
{
    auto *monitor = new NetworkMonitor;
    Recorder recorder(monitor);
    QVERIFY(monitor->startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains("监控运行中"));
    recorder.statuses.clear();
    delete monitor;
    QCOMPARE(recorder.statuses, QStringList{"监控已停止"});
    QCOMPARE(fake->count("term"), 1);
    QVERIFY(!QFile::exists(fake->socketPath()));
}

void TestNetworkMonitor::wallClockSetForwardDoesNotMakeAHealthyCollectorSilent()
{
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(recorder.statuses.contains("监控运行中"));
    recorder.statuses.clear();

    // An hour forward on the wall clock, one second on the monotonic one.
    now = now.addSecs(3600);
    monotonicMs += 1000;
    QVERIFY(monitor.isServerHealthy());
    monitor.checkServerHealth();
    QVERIFY(recorder.statuses.isEmpty());
    QCOMPARE(fake->count("term"), 0);
    QCOMPARE(fake->count("start"), 1);
    monitor.stopMonitoring();
}

void TestNetworkMonitor::wallClockSetBackDoesNotHideASilentCollector()
{
    FakeCollector::set("DOCUMENTS", "1");
    ferrow::defaults().intervals.restartDelayMs = 60000;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(!recorder.lists.isEmpty());
    recorder.statuses.clear();

    // Eleven silent seconds while the wall clock was set an hour back.
    now = now.addSecs(-3600);
    monotonicMs += 11000;
    QVERIFY(!monitor.isServerHealthy());
    QTest::ignoreMessage(QtWarningMsg, "服务端无数据时间过长( 11 秒)，可能已崩溃");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    monitor.checkServerHealth();
    QCOMPARE(recorder.statuses, (QStringList{"服务端可能无响应，尝试重启...", attempt(1)}));
    monitor.stopMonitoring();
}

void TestNetworkMonitor::silenceAfterTheDaemonWasHeldUpIsJudgedOneTickLater()
{
    FakeCollector::set("DOCUMENTS", "1");
    ferrow::defaults().intervals.restartDelayMs = 60000;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    QTRY_VERIFY(!recorder.lists.isEmpty());
    monitor.checkServerHealth();
    recorder.statuses.clear();

    // Over two intervals (here 60 s each) without a tick: the daemon was held
    // up, and what the collector sent meanwhile may still wait in the socket.
    monotonicMs += 121000;
    monitor.checkServerHealth();
    QVERIFY(recorder.statuses.isEmpty());
    QCOMPARE(fake->count("term"), 0);

    // Still silent at the next tick: never put off twice in a row.
    monotonicMs += 2000;
    QTest::ignoreMessage(QtWarningMsg, "服务端无数据时间过长( 123 秒)，可能已崩溃");
    QTest::ignoreMessage(QtWarningMsg, qPrintable(restarting));
    monitor.checkServerHealth();
    QCOMPARE(recorder.statuses, (QStringList{"服务端可能无响应，尝试重启...", attempt(1)}));
    monitor.stopMonitoring();
}

void TestNetworkMonitor::failingCollectorIsRetriedAtTheSlowPaceUntilCountingResumes()
{
    // Every launch ends before it is ready, until the cause goes away.
    FakeCollector::set("READY_MS", "never");
    FakeCollector::set("EXIT_MS", "100");
    ferrow::Intervals &intervals = ferrow::defaults().intervals;
    intervals.readyCheckMs = 3000;
    intervals.slowRestartMs = 700;
    NetworkMonitor monitor;
    Recorder recorder(&monitor);
    QVERIFY(monitor.startMonitoring());
    const QString slow = QStringLiteral("服务器重启失败，0.7 秒后再次尝试...");
    QTRY_VERIFY_WITH_TIMEOUT(recorder.statuses.contains(slow), 30000);
    QCOMPARE(fake->count("start"), 4);

    // Each slow attempt that fails leads to the next one, at the slow pace,
    // each of them logged.
    QTest::ignoreMessage(QtWarningMsg, "服务器重启失败，0.7 秒后再次尝试");
    QTRY_VERIFY_WITH_TIMEOUT(recorder.statuses.count(slow) >= 2, 30000);
    QVERIFY(fake->count("start") >= 5);
    QCOMPARE(recorder.statuses.filter(QStringLiteral("次尝试重启")),
             (QStringList{attempt(1), attempt(2), attempt(3)}));

    // The cause goes away: the next slow attempt brings the documents back.
    FakeCollector::set("READY_MS", "0");
    FakeCollector::set("EXIT_MS", "");
    QTRY_VERIFY_WITH_TIMEOUT(!recorder.lists.isEmpty(), 30000);
    QVERIFY(monitor.isMonitoring());
    QVERIFY(monitor.isServerHealthy());
    QVERIFY(recorder.statuses.contains("监控运行中"));
    monitor.stopMonitoring();
}

QTEST_GUILESS_MAIN(TestNetworkMonitor)
#include "tst_networkmonitor.moc"

// NetworkSocketServer with a real child process: fake_collector.py, steered
// through its environment.
#include "fakecollector.h"
#include "networksocketserver.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

namespace {

// Every signal of a supervisor, in the order they came.
class Recorder : public QObject
{
public:
    explicit Recorder(NetworkSocketServer *server)
    {
        connect(server, &NetworkSocketServer::serverStarted, this, [this] { events << "started"; });
        connect(server, &NetworkSocketServer::serverStopped, this, [this] { events << "stopped"; });
        connect(server, &NetworkSocketServer::serverError, this, [this](const QString &e) { events << "error: " + e; });
        connect(server, &NetworkSocketServer::serverOutput, this, [this](const QString &o) { events << "output: " + o; });
    }
    QStringList events;
};

} // namespace

class TestNetworkSocketServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void collectorIsLaunchedWithItsScriptInTheScriptsDirectory();
    void missingScriptIsReported();
    void interpreterThatCannotStartIsReported();
    void staleSocketFileIsDeletedBeforeLaunch();
    void socketFileAt1200msGivesReadinessOnTheThirdTick();
    void noSocketFileGivesReadinessOnTheTenthTick();
    void readinessWithoutFileComesFromTheTimerAfterTenIntervals();
    void readyTicksCarryOverAndAreSharedByAllSupervisors();
    void exitCodeIsReportedAndTheSocketFileRemoved();
    void outputIsRelayedPerRead_data();
    void outputIsRelayedPerRead();
    void emptyReadRelaysNothing();
    void terminatedCollectorIsReportedAsCrashedBeforeStopReturns();
    void collectorIgnoringSigtermIsKilled();
    void startWhileRunningStopsTheCollectorAndReturnsFalse();
    void isServerRunningNeedsTheSocketFile();
    void destructionStopsTheCollector();
    void entryOfAnotherUserAtTheSocketPathIsNoReadiness();
    void strayCollectorsOfOurUserAndNamespaceAreEnded();

private:
    FakeCollector *fake = nullptr;
};

void TestNetworkSocketServer::init()
{
    fake = new FakeCollector;
    QVERIFY(fake->isValid());
    ferrow::defaults().intervals.readyCheckMs = 50;
    ferrow::defaults().intervals.processStopMs = 3000;
    NetworkSocketServer::readyTicks = 0;
}

void TestNetworkSocketServer::cleanup()
{
    delete fake;
    fake = nullptr;
}

void TestNetworkSocketServer::collectorIsLaunchedWithItsScriptInTheScriptsDirectory()
{
    // The script lies in a directory of its own, and the defaults name another
    // working directory: the collector must still run where its script lies.
    const QString scriptDir = fake->filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(scriptDir));
    const QString script = scriptDir + QStringLiteral("/collector.py");
    QVERIFY(QFile::copy(QStringLiteral(FAKE_COLLECTOR_PATH), script));
    ferrow::defaults().paths.collectorScript = script;
    FakeCollector::set("READY_MS", "never");

    NetworkSocketServer server;
    Recorder recorder(&server);
    QVERIFY(server.startServer());
    QCOMPARE(recorder.events, QStringList{"output: Python服务器进程已启动"});
    QTRY_COMPARE(fake->count("argv "), 1);
    QCOMPARE(fake->events().filter(QRegularExpression("^cwd ")), QStringList{"cwd " + scriptDir});
    // The interpreter with exactly one argument: the script.
    const QString argv = fake->events().filter(QRegularExpression("^argv ")).value(0).mid(5);
    QCOMPARE(QJsonDocument::fromJson(argv.toUtf8()).array(),
             QJsonArray({ferrow::paths().collectorInterpreter, script}));
    server.stopServer();
}

void TestNetworkSocketServer::missingScriptIsReported()
{
    const QString script = fake->filePath(QStringLiteral("missing.py"));
    ferrow::defaults().paths.collectorScript = script;
    NetworkSocketServer server;
    Recorder recorder(&server);
    QVERIFY(!server.startServer());
    QCOMPARE(recorder.events, QStringList{"error: Python脚本不存在: " + script});
    QCOMPARE(fake->count("start"), 0);
}

void TestNetworkSocketServer::interpreterThatCannotStartIsReported()
{
    ferrow::defaults().paths.collectorInterpreter = fake->filePath(QStringLiteral("no-python"));
    NetworkSocketServer server;
    Recorder recorder(&server);
    QVERIFY(!server.startServer());
    QCOMPARE(recorder.events, (QStringList{"error: 无法启动Python服务器进程 (错误代码: 0)",
                                          "error: 无法启动Python服务器进程"}));
}

void TestNetworkSocketServer::staleSocketFileIsDeletedBeforeLaunch()
{
    QFile stale(fake->socketPath());
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.close();
    FakeCollector::set("READY_MS", "never");
    ferrow::defaults().intervals.readyCheckMs = 60000; // ticks by hand

    NetworkSocketServer server;
    QSignalSpy started(&server, &NetworkSocketServer::serverStarted);
    QVERIFY(server.startServer());
    QVERIFY(!QFile::exists(fake->socketPath()));
    for (int tick = 1; tick <= 3; ++tick)
        server.checkServerReady();
    QCOMPARE(NetworkSocketServer::readyTicks, 3);
    QCOMPARE(started.count(), 0);
    QVERIFY(!server.isServerRunning());
    server.stopServer();
}

void TestNetworkSocketServer::socketFileAt1200msGivesReadinessOnTheThirdTick()
{
    // The production timing scaled by one half: ticks every 250 ms, the file
    // appears after 600 ms, readiness comes with the third tick (750 ms). The
    // test creates the file itself, so the interpreter's start-up time does
    // not shift it. The ticks are counted on the timer itself, so a loaded
    // machine that delays them cannot change the verdict.
    ferrow::defaults().intervals.readyCheckMs = 250;
    FakeCollector::set("READY_MS", "never");

    NetworkSocketServer server;
    Recorder recorder(&server);
    QSignalSpy started(&server, &NetworkSocketServer::serverStarted);
    auto *readyTimer = server.findChild<QTimer *>();
    QVERIFY(readyTimer);
    QCOMPARE(readyTimer->interval(), 250);
    int ticks = 0;
    // Connected after the supervisor's own slot, so it counts a tick once the
    // supervisor has handled it.
    connect(readyTimer, &QTimer::timeout, this, [&] { ++ticks; });
    int ticksWhenFileAppeared = -1;
    int ticksWhenReady = -1;
    qint64 readyAt = -1;
    QElapsedTimer elapsed;
    connect(&server, &NetworkSocketServer::serverStarted, this, [&] {
        readyAt = elapsed.elapsed();
        ticksWhenReady = ticks + 1; // this tick is not counted yet
    });
    elapsed.start();
    QVERIFY(server.startServer());
    QTimer::singleShot(600, this, [&] {
        ticksWhenFileAppeared = ticks;
        QFile file(fake->socketPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
    });

    QTRY_COMPARE(started.count(), 1);
    QCOMPARE(ticksWhenFileAppeared, 2);
    QCOMPARE(ticksWhenReady, 3);
    // Timers may fire a little early, never a whole tick.
    QVERIFY2(readyAt >= 700, qPrintable(QString::number(readyAt)));
    QCOMPARE(NetworkSocketServer::readyTicks, 0);
    QVERIFY(!readyTimer->isActive());
    QVERIFY(server.isServerRunning());
    QCOMPARE(recorder.events, (QStringList{"output: Python服务器进程已启动", "started",
                                          "output: Python服务器已就绪，开始监控网络流量"}));
    server.stopServer();
}

void TestNetworkSocketServer::noSocketFileGivesReadinessOnTheTenthTick()
{
    FakeCollector::set("READY_MS", "never");
    ferrow::defaults().intervals.readyCheckMs = 60000; // ticks by hand
    NetworkSocketServer server;
    QSignalSpy started(&server, &NetworkSocketServer::serverStarted);
    QVERIFY(server.startServer());
    for (int tick = 1; tick <= 9; ++tick)
        server.checkServerReady();
    QCOMPARE(NetworkSocketServer::readyTicks, 9);
    QCOMPARE(started.count(), 0);
    server.checkServerReady();
    QCOMPARE(started.count(), 1);
    QCOMPARE(NetworkSocketServer::readyTicks, 0);
    // Declared ready, yet not running: there is no socket file.
    QVERIFY(!server.isServerRunning());
    server.stopServer();
}

void TestNetworkSocketServer::readinessWithoutFileComesFromTheTimerAfterTenIntervals()
{
    FakeCollector::set("READY_MS", "never");
    NetworkSocketServer server;
    QSignalSpy started(&server, &NetworkSocketServer::serverStarted);
    QVERIFY(server.startServer());
    QElapsedTimer elapsed;
    elapsed.start();
    QTRY_COMPARE(started.count(), 1);
    // Timers may fire up to 5 % early, never a whole tick.
    QVERIFY2(elapsed.elapsed() >= 9 * 50, qPrintable(QString::number(elapsed.elapsed())));
    QTest::qWait(150);
    QCOMPARE(started.count(), 1); // the timer stopped with readiness
    server.stopServer();
}

void TestNetworkSocketServer::readyTicksCarryOverAndAreSharedByAllSupervisors()
{
    FakeCollector::set("READY_MS", "never");
    ferrow::defaults().intervals.readyCheckMs = 60000; // ticks by hand
    {
        NetworkSocketServer first;
        QVERIFY(first.startServer());
        for (int tick = 1; tick <= 3; ++tick)
            first.checkServerReady();
        first.stopServer();
    }
    QCOMPARE(NetworkSocketServer::readyTicks, 3);

    // A second supervisor's wait is shortened to seven ticks (3 + 7 > 9).
    NetworkSocketServer second;
    QSignalSpy started(&second, &NetworkSocketServer::serverStarted);
    QVERIFY(second.startServer());
    for (int tick = 1; tick <= 6; ++tick)
        second.checkServerReady();
    QCOMPARE(started.count(), 0);
    second.checkServerReady();
    QCOMPARE(started.count(), 1);
    QCOMPARE(NetworkSocketServer::readyTicks, 0);
    second.stopServer();
}

void TestNetworkSocketServer::exitCodeIsReportedAndTheSocketFileRemoved()
{
    // Long enough for a loaded machine to see the collector ready first.
    FakeCollector::set("EXIT_MS", "1000");
    FakeCollector::set("EXIT_CODE", "2");
    NetworkSocketServer server;
    Recorder recorder(&server);
    QVERIFY(server.startServer());
    QTRY_VERIFY(server.isServerRunning());
    QVERIFY(QFile::exists(fake->socketPath()));

    QTRY_VERIFY(recorder.events.contains("stopped"));
    const int exitLine = recorder.events.indexOf("output: Python服务器进程已退出，退出码: 2");
    QVERIFY2(exitLine >= 0, qPrintable(recorder.events.join('|')));
    QCOMPARE(recorder.events.indexOf("stopped"), exitLine + 1);
    QCOMPARE(recorder.events.filter("error").size(), 0);
    QVERIFY(!QFile::exists(fake->socketPath()));
    QVERIFY(!server.isServerRunning());
}

void TestNetworkSocketServer::outputIsRelayedPerRead_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("relayed");

    QTest::newRow("word with two leading spaces and a line feed")
        << QByteArray("STDOUT") << "  word\n" << "output: 服务器: word";
    QTest::newRow("white space only") << QByteArray("STDOUT") << " \t \n" << "output: 服务器: ";
    QTest::newRow("several lines in one read")
        << QByteArray("STDOUT") << "one\ntwo\n" << "output: 服务器: one\ntwo";
    QTest::newRow("text after a zero byte is dropped")
        << QByteArray("STDOUT_HEX") << "61620063640a" << "output: 服务器: ab";
    QTest::newRow("traceback on standard error")
        << QByteArray("STDERR")
        << "Traceback (most recent call last):\n  File \"x.py\", line 1, in <module>\nValueError: bad\n"
        << "output: 服务器错误: Traceback (most recent call last):\n  File \"x.py\", line 1, in <module>\nValueError: bad";
}

void TestNetworkSocketServer::outputIsRelayedPerRead()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, value);
    QFETCH(QString, relayed);

    FakeCollector::set(variable.constData(), value);
    FakeCollector::set("READY_MS", "never");
    // No readiness without file may come while a slow interpreter starts.
    ferrow::defaults().intervals.readyCheckMs = 60000;
    NetworkSocketServer server;
    Recorder recorder(&server);
    QVERIFY(server.startServer());
    QTRY_COMPARE(recorder.events.size(), 2);
    QCOMPARE(recorder.events, (QStringList{"output: Python服务器进程已启动", relayed}));
    server.stopServer();
}

void TestNetworkSocketServer::emptyReadRelaysNothing()
{
    FakeCollector::set("READY_MS", "never");
    NetworkSocketServer server;
    QVERIFY(server.startServer());
    QSignalSpy output(&server, &NetworkSocketServer::serverOutput);
    server.onReadyReadStandardOutput();
    server.onReadyReadStandardError();
    QCOMPARE(output.count(), 0);
    server.stopServer();
}

void TestNetworkSocketServer::terminatedCollectorIsReportedAsCrashedBeforeStopReturns()
{
    NetworkSocketServer server;
    Recorder recorder(&server);
    QVERIFY(server.startServer());
    QTRY_VERIFY(server.isServerRunning());
    recorder.events.clear();

    QElapsedTimer elapsed;
    elapsed.start();
    server.stopServer();
    QVERIFY(elapsed.elapsed() < 2000);
    QCOMPARE(recorder.events, (QStringList{"error: Python服务器进程崩溃 (错误代码: 1)",
                                          "error: Python服务器进程异常退出", "stopped"}));
    QCOMPARE(fake->count("term"), 1);
    QVERIFY(!QFile::exists(fake->socketPath()));
    QVERIFY(!server.isServerRunning());
}

void TestNetworkSocketServer::collectorIgnoringSigtermIsKilled()
{
    ferrow::defaults().intervals.processStopMs = 600;
    FakeCollector::set("IGNORE_TERM", "1");
    NetworkSocketServer server;
    Recorder recorder(&server);
    QVERIFY(server.startServer());
    QTRY_VERIFY(server.isServerRunning());
    QTRY_COMPARE(fake->count("start"), 1);
    const qint64 pid = fake->lastPid();
    recorder.events.clear();

    QElapsedTimer elapsed;
    elapsed.start();
    server.stopServer();
    QVERIFY2(elapsed.elapsed() >= 550, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(!QFile::exists(fake->socketPath()));
    // The kill's outcome arrives later, from the event loop.
    QTRY_VERIFY(recorder.events.contains("stopped"));
    QVERIFY(recorder.events.contains("error: Python服务器进程异常退出"));
    QCOMPARE(::kill(pid_t(pid), 0), -1);
    QCOMPARE(fake->count("term"), 0);
}

void TestNetworkSocketServer::startWhileRunningStopsTheCollectorAndReturnsFalse()
{
    FakeCollector::set("READY_MS", "never");
    NetworkSocketServer server;
    QSignalSpy stopped(&server, &NetworkSocketServer::serverStopped);
    QVERIFY(server.startServer());
    QTRY_COMPARE(fake->count("start"), 1);

    QTest::ignoreMessage(QtWarningMsg, "服务器已经在运行");
    QVERIFY(!server.startServer());
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(fake->count("term"), 1);
    QCOMPARE(fake->count("start"), 1);

    QVERIFY(server.startServer());
    QTRY_COMPARE(fake->count("start"), 2);
    server.stopServer();
}

void TestNetworkSocketServer::isServerRunningNeedsTheSocketFile()
{
    NetworkSocketServer server;
    QVERIFY(!server.isServerRunning());
    QVERIFY(server.startServer());
    QTRY_VERIFY(server.isServerRunning());
    QVERIFY(QFile::remove(fake->socketPath()));
    QVERIFY(!server.isServerRunning());
    server.stopServer();
}

void TestNetworkSocketServer::destructionStopsTheCollector()
{
    auto *server = new NetworkSocketServer;
    QSignalSpy stopped(server, &NetworkSocketServer::serverStopped);
    QVERIFY(server->startServer());
    QTRY_COMPARE(fake->count("start"), 1);
    const qint64 pid = fake->lastPid();
    delete server;
    QCOMPARE(stopped.count(), 1);
    QCOMPARE(fake->count("term"), 1);
    QCOMPARE(::kill(pid_t(pid), 0), -1);
    QVERIFY(!QFile::exists(fake->socketPath()));
}

void TestNetworkSocketServer::entryOfAnotherUserAtTheSocketPathIsNoReadiness()
{
    // The socket lives in a directory anybody may write, as /tmp.
    QVERIFY(::chmod(QFile::encodeName(fake->filePath(QString())).constData(), 01777) == 0);
    QProcess squat;
    squat.start(QStringLiteral("setpriv"), {"--reuid=65534", "--regid=65534", "--clear-groups", "mkdir",
                                            fake->socketPath()});
    QVERIFY(squat.waitForFinished(5000));
    QCOMPARE(squat.exitCode(), 0);
    FakeCollector::set("READY_MS", "never");
    ferrow::defaults().intervals.readyCheckMs = 60000; // ticks by hand

    NetworkSocketServer server;
    QSignalSpy started(&server, &NetworkSocketServer::serverStarted);
    QVERIFY(server.startServer());
    for (int tick = 1; tick <= 3; ++tick)
        server.checkServerReady();
    QCOMPARE(started.count(), 0);
    QVERIFY(!server.isServerRunning());
    server.stopServer();
}

void TestNetworkSocketServer::strayCollectorsOfOurUserAndNamespaceAreEnded()
{
    // A copy of the script of its own, so that no collector of another test
    // running at the same time matches.
    const QString script = fake->filePath(QStringLiteral("stray_collector.py"));
    QVERIFY(QFile::copy(QStringLiteral(FAKE_COLLECTOR_PATH), script));
    QVERIFY(::chmod(QFile::encodeName(fake->filePath(QString())).constData(), 0755) == 0);
    ferrow::defaults().paths.collectorScript = script;
    ferrow::defaults().intervals.processStopMs = 500;
    FakeCollector::set("READY_MS", "never");
    const QString python = ferrow::paths().collectorInterpreter;

    auto launch = [&](QProcess &process, const QStringList &prefix, bool ignoreTerm, bool log) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (ignoreTerm)
            env.insert(QStringLiteral("FAKE_COLLECTOR_IGNORE_TERM"), QStringLiteral("1"));
        if (!log)
            env.remove(QStringLiteral("FAKE_COLLECTOR_LOG"));
        process.setProcessEnvironment(env);
        const QStringList command = prefix + QStringList{python, script};
        process.start(command.first(), command.mid(1));
        return process.waitForStarted(5000);
    };
    QProcess plain, ignoringTerm, otherNamespace, otherUser;
    QVERIFY(launch(plain, {}, false, true));
    QVERIFY(launch(ignoringTerm, {}, true, true));
    QVERIFY(launch(otherNamespace, {QStringLiteral("unshare"), QStringLiteral("--mount"), QStringLiteral("--")},
                   false, true));
    QVERIFY(launch(otherUser, {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"}, false, false));
    // Each of them runs the script (the wrappers have replaced themselves).
    auto runsScript = [&script](const QProcess &process) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(process.processId()));
        return cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().split('\0').value(1) == script.toLocal8Bit();
    };
    for (const QProcess *process : {&plain, &ignoringTerm, &otherNamespace, &otherUser})
        QTRY_VERIFY(runsScript(*process));
    QTRY_COMPARE(fake->count("start"), 3);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^停止上次运行遗留的采集进程")));
    QCOMPARE(NetworkSocketServer::terminateStrayCollectors(), 2);
    QVERIFY(plain.waitForFinished(5000));
    QCOMPARE(plain.exitStatus(), QProcess::CrashExit);
    QVERIFY(ignoringTerm.waitForFinished(5000));
    QCOMPARE(ignoringTerm.exitStatus(), QProcess::CrashExit);
    QCOMPARE(otherNamespace.state(), QProcess::Running);
    QCOMPARE(otherUser.state(), QProcess::Running);
    QCOMPARE(NetworkSocketServer::terminateStrayCollectors(), 0);
    for (QProcess *process : {&otherNamespace, &otherUser}) {
        process->kill();
        process->waitForFinished(5000);
    }
}

QTEST_GUILESS_MAIN(TestNetworkSocketServer)
#include "tst_networksocketserver.moc"

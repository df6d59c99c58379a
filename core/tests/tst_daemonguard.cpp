// The whole daemon: its single-instance guard after a crash and against an
// unprivileged user, and its collector, which never outlives it nor runs
// beside a predecessor's.
#include "daemonharness.h"

#include <QSharedMemory>
#include <QSystemSemaphore>

#include <fcntl.h>
#include <sys/file.h>

namespace {

const QStringList asNobody{QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"), QStringLiteral("--regid=65534"),
                           QStringLiteral("--clear-groups")};

bool alive(qint64 pid)
{
    const QString stat = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    return !stat.isEmpty() && !stat.mid(stat.lastIndexOf(QLatin1Char(')')) + 1).trimmed().startsWith(QLatin1Char('Z'));
}

// Helper mode of this program, run as the unprivileged user inside the
// namespaces: leaves System V objects under the key an instance guard built on
// QSharedMemory("FerrowMonitorDaemon") would use, and exits without removing
// them.
int leaveSysVObjects(const char *kind)
{
    const QString key = QStringLiteral("FerrowMonitorDaemon");
    if (qstrcmp(kind, "segment") == 0) {
        auto *segment = new QSharedMemory(key);
        if (!segment->create(1))
            return 2;
    } else {
        // A semaphore at zero: whoever waits on it waits for ever.
        auto *semaphore = new QSystemSemaphore(key, 0, QSystemSemaphore::Create);
        if (semaphore->error() != QSystemSemaphore::NoError)
            return 2;
    }
    ::_exit(0);
}

} // namespace

class TestDaemonGuard : public DaemonHarness
{
    Q_OBJECT

private slots:
    void collectorEndsWithItsKilledDaemon();
    void killedDaemonIsReplacedAtOnceAndItsCollectorEnded();
    void guardObjectsOfAnUnprivilegedUserDoNotMatter_data();
    void guardObjectsOfAnUnprivilegedUserDoNotMatter();
    void lockIsHeldInTheDataDirectoryOnlyRootMayWrite();

private:
    QString collectorLog() const { return work->filePath(QStringLiteral("collector.log")); }
    QList<qint64> collectorPids() const;
    bool runInNamespace(const QStringList &command);
    void checkSecondInstanceIsRefused();
};

QList<qint64> TestDaemonGuard::collectorPids() const
{
    QList<qint64> pids;
    for (const QString &line : readFile(collectorLog()).split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("start ")))
            pids << line.mid(6).toLongLong();
    }
    return pids;
}

bool TestDaemonGuard::runInNamespace(const QStringList &command)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("nsenter"),
                  QStringList{"--target", QString::number(holder.processId()), "--mount", "--ipc", "--"} + command);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

void TestDaemonGuard::checkSecondInstanceIsRefused()
{
    QProcess second;
    QVERIFY(startDaemon(second));
    QVERIFY(second.waitForFinished(15000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(second.readAllStandardError().contains("Ferrow Monitor Daemon 已启动"));
}

void TestDaemonGuard::collectorEndsWithItsKilledDaemon()
{
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon, {{"FAKE_COLLECTOR_LOG", collectorLog().toUtf8()}}));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(collectorPids().size(), 1, tickWaitMs);
    const qint64 collector = collectorPids().first();
    QVERIFY(alive(collector));

    QVERIFY(stopDaemon(daemon, SIGKILL));
    QCOMPARE(daemon.exitStatus(), QProcess::CrashExit);
    // Nothing is left in the namespaces: the collector went too.
    QTRY_COMPARE_WITH_TIMEOUT(processesInNamespace(), QList<pid_t>(), 5000);
    QVERIFY(!alive(collector));
    QVERIFY(readFile(collectorLog()).contains(QStringLiteral("\nterm\n")));
}

void TestDaemonGuard::killedDaemonIsReplacedAtOnceAndItsCollectorEnded()
{
    // This collector ignores SIGTERM, so it outlives a daemon killed outright.
    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    const QMap<QByteArray, QByteArray> environment{{"FAKE_COLLECTOR_LOG", collectorLog().toUtf8()},
                                                   {"FAKE_COLLECTOR_IGNORE_TERM", "1"}};
    QProcess daemon;
    QVERIFY(startDaemon(daemon, environment));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(collectorPids().size(), 1, tickWaitMs);
    const qint64 stray = collectorPids().first();
    QVERIFY(stopDaemon(daemon, SIGKILL));
    QVERIFY(alive(stray));

    // The next start succeeds at once and ends the stray collector before it
    // launches its own.
    QProcess next;
    QVERIFY(startDaemon(next, environment));
    QTRY_COMPARE_WITH_TIMEOUT(logLines().count(QStringLiteral("ProcessMonitor 启动成功")), 2, tickWaitMs);
    QCOMPARE(next.state(), QProcess::Running);
    QTRY_COMPARE_WITH_TIMEOUT(collectorPids().size(), 2, tickWaitMs);
    QVERIFY(!alive(stray));
    const qint64 collector = collectorPids().last();
    QTRY_COMPARE_WITH_TIMEOUT(processesInNamespace(), (QList<pid_t>{pid_t(next.processId()), pid_t(collector)}),
                              5000);
    checkSecondInstanceIsRefused();

    QVERIFY(stopDaemon(next, SIGTERM));
    QCOMPARE(next.exitStatus(), QProcess::NormalExit);
    QCOMPARE(next.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(processesInNamespace(), QList<pid_t>(), 5000);
}

void TestDaemonGuard::guardObjectsOfAnUnprivilegedUserDoNotMatter_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("shared memory segment") << QStringLiteral("segment");
    QTest::newRow("semaphore at zero") << QStringLiteral("semaphore");
}

void TestDaemonGuard::guardObjectsOfAnUnprivilegedUserDoNotMatter()
{
    QFETCH(QString, kind);
    QVERIFY(runInNamespace(asNobody + QStringList{QCoreApplication::applicationFilePath(),
                                                  QStringLiteral("--leave-sysv-objects"), kind}));

    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);
    checkSecondInstanceIsRefused();

    QElapsedTimer stopping;
    stopping.start();
    QVERIFY(stopDaemon(daemon, SIGTERM));
    QVERIFY2(stopping.elapsed() < 8000, qPrintable(QString::number(stopping.elapsed())));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
}

void TestDaemonGuard::lockIsHeldInTheDataDirectoryOnlyRootMayWrite()
{
    // The unprivileged user can neither create the lock file nor a link in its place.
    const QString lock = QStringLiteral("/var/lib/ferrow_monitor/ferrow-monitor.lock");
    QVERIFY(!runInNamespace(asNobody + QStringList{"sh", "-c", ": > " + lock}));
    QVERIFY(!runInNamespace(asNobody + QStringList{"ln", "-s", "/tmp/elsewhere", lock}));
    QVERIFY(!QFileInfo::exists(dataFile(QStringLiteral("ferrow-monitor.lock"))));

    writeSettings({{"FERROW_COUNT_STATUS", "1"}});
    QProcess daemon;
    QVERIFY(startDaemon(daemon));
    QTRY_VERIFY_WITH_TIMEOUT(logLines().contains(QStringLiteral("ProcessMonitor 启动成功")), tickWaitMs);

    // The file is root's and locked by the running daemon.
    struct stat info = {};
    const QByteArray path = QFile::encodeName(dataFile(QStringLiteral("ferrow-monitor.lock")));
    QCOMPARE(::lstat(path.constData(), &info), 0);
    QVERIFY(S_ISREG(info.st_mode));
    QCOMPARE(info.st_uid, uid_t(0));
    QCOMPARE(info.st_mode & 07777, mode_t(0600));
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), -1);
    QCOMPARE(errno, EWOULDBLOCK);

    QVERIFY(stopDaemon(daemon, SIGTERM));
    QCOMPARE(daemon.exitCode(), 0);
    // Released with the process.
    QCOMPARE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

int main(int argc, char *argv[])
{
    if (argc == 3 && qstrcmp(argv[1], "--leave-sysv-objects") == 0)
        return leaveSysVObjects(argv[2]);
    QCoreApplication app(argc, argv);
    TestDaemonGuard test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_daemonguard.moc"

// The liveness sweep of the process table: a process is alive while
// "<proc>/<pid>/stat" exists. Checked against that file itself for the kinds
// of pid a report can carry (live, zombie, reaped, a thread's id, kernel
// threads, impossible pids) on this process's own /proc, on the proc file
// system of another pid namespace, and on a directory made to stand for /proc.

#include "accountingtestsupport.h"
#include "processlist.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

using sysmonitor::process::ProcessList;

namespace {

// Above the largest pid the kernel hands out (4194304).
constexpr qint32 NoSuchPid = 4194304 + 100;

NetworkProcess report(qint32 pid)
{
    NetworkProcess p;
    p.pid = pid;
    p.rx_bytes = 1;
    return p;
}

bool statExists(const QString &procDir, qint32 pid)
{
    return QFile::exists(QStringLiteral("%1/%2/stat").arg(procDir).arg(pid));
}

char processState(qint32 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const int close = line.lastIndexOf(')');
    return close > 0 && close + 2 < line.size() ? line.at(close + 2) : 0;
}

// A thread of this process that waits until told to end; tid is its id.
struct WaitingThread {
    std::atomic<qint32> tid{0};
    std::atomic<bool> stop{false};
    std::thread thread{[this] {
        tid = qint32(::syscall(SYS_gettid));
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }};
    ~WaitingThread()
    {
        stop = true;
        thread.join();
    }
};

} // namespace

class TestProcessLiveness : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void aliveWhileTheStatFileExists();
    void theProcOfAnotherPidNamespaceAnswersForItsOwnPids();
    void aDirectoryStandingForProcIsCheckedPidByPid();

private:
    // Reports pids and compares each pid's alive flag with its stat file.
    void reportAndCompare(const QList<qint32> &pids, const QString &procDir);

    QTemporaryDir adminDir;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<ProcessList> list;
};

void TestProcessLiveness::initTestCase()
{
    QVERIFY(adminDir.isValid());
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), {}));
    qputenv("DPKG_ADMINDIR", adminDir.path().toUtf8());
}

void TestProcessLiveness::init()
{
    dataDir.reset(new QTemporaryDir(QStringLiteral("/tmp/acc-XXXXXX")));
    QVERIFY(dataDir->isValid());
    accountingtest::pointDefaultsInto(dataDir->path());
    ferrow::defaults().paths.dpkgStatusFile = adminDir.path() + QStringLiteral("/status");
    list.reset(new ProcessList);
}

void TestProcessLiveness::cleanup()
{
    list.reset();
    ferrow::defaults() = ferrow::Defaults();
    dataDir.reset();
}

void TestProcessLiveness::reportAndCompare(const QList<qint32> &pids, const QString &procDir)
{
    QList<NetworkProcess> processes;
    for (qint32 pid : pids)
        processes << report(pid);
    list->processNetworkData(processes);
    for (qint32 pid : pids) {
        QVERIFY2(list->activeProcesses.contains(pid), qPrintable(QString::number(pid)));
        QCOMPARE(list->activeProcesses.value(pid)->alive, statExists(procDir, pid) ? 1 : 0);
    }
}

void TestProcessLiveness::aliveWhileTheStatFileExists()
{
    WaitingThread thread;
    QTRY_VERIFY(thread.tid != 0);
    const qint32 self = qint32(::getpid());
    QVERIFY(thread.tid != self);

    // A child that has ended but is not reaped yet: a zombie, still in /proc.
    const pid_t zombie = ::fork();
    QVERIFY(zombie >= 0);
    if (zombie == 0)
        ::_exit(0);
    QTRY_COMPARE(processState(zombie), 'Z');
    // A child reaped at once: its pid is gone.
    const pid_t reaped = ::fork();
    QVERIFY(reaped >= 0);
    if (reaped == 0)
        ::_exit(0);
    QCOMPARE(::waitpid(reaped, nullptr, 0), reaped);

    const QList<qint32> pids{self, thread.tid, qint32(zombie), qint32(reaped), 1, 2, NoSuchPid - 1, -5};
    reportAndCompare(pids, QStringLiteral("/proc"));
    QCOMPARE(list->activeProcesses.value(self)->alive, 1);
    QCOMPARE(list->activeProcesses.value(thread.tid)->alive, 1);
    QCOMPARE(list->activeProcesses.value(zombie)->alive, 1);
    QCOMPARE(list->activeProcesses.value(reaped)->alive, 0);

    // Reaped now: the zombie's entry goes with it.
    QCOMPARE(::waitpid(zombie, nullptr, 0), zombie);
    QList<NetworkProcess> again;
    for (qint32 pid : {self, qint32(thread.tid), qint32(zombie)})
        again << report(pid);
    list->processNetworkData(again);
    QCOMPARE(list->activeProcesses.value(zombie)->alive, 0);
    QCOMPARE(list->activeProcesses.value(thread.tid)->alive, 1);
    QCOMPARE(list->activeProcesses.value(self)->alive, 1);
}

// A process of a new pid namespace, with that namespace's proc file system
// mounted in its own mount namespace: seen from here at /proc/<pid>/root/proc,
// where it is pid 1 and this process has no pid at all.
void TestProcessLiveness::theProcOfAnotherPidNamespaceAnswersForItsOwnPids()
{
    QProcess inner;
    inner.start(QStringLiteral("unshare"), {QStringLiteral("--pid"), QStringLiteral("--fork"),
                                            QStringLiteral("--kill-child"), QStringLiteral("--mount-proc"),
                                            QStringLiteral("sleep"), QStringLiteral("60")});
    QVERIFY(inner.waitForStarted());
    const QString root = QStringLiteral("/proc/%1/root/proc").arg(inner.processId());
    const qint32 self = qint32(::getpid());
    // Mounted once this process is no longer seen there.
    QTRY_VERIFY(QFile::exists(root + QStringLiteral("/1/stat")) && !statExists(root, self));
    ferrow::defaults().paths.procDir = root;

    reportAndCompare({1, self, 2, NoSuchPid - 1}, root);
    QCOMPARE(list->activeProcesses.value(1)->alive, 1);
    QCOMPARE(list->activeProcesses.value(self)->alive, 0);
    inner.kill();
    inner.waitForFinished();
}

void TestProcessLiveness::aDirectoryStandingForProcIsCheckedPidByPid()
{
    QTemporaryDir proc;
    QVERIFY(proc.isValid());
    const QString root = proc.path();
    QVERIFY(QDir().mkpath(root + QStringLiteral("/700")));
    QVERIFY(accountingtest::writeText(root + QStringLiteral("/700/stat"), "700 (a) S 1\n"));
    QVERIFY(QDir().mkpath(root + QStringLiteral("/701"))); // no stat file
    QVERIFY(QDir().mkpath(root + QStringLiteral("/0702"))); // not how pid 702 is written
    QVERIFY(accountingtest::writeText(root + QStringLiteral("/0702/stat"), "702 (b) S 1\n"));
    QVERIFY(accountingtest::writeText(root + QStringLiteral("/703"), "a file")); // not a directory
    QVERIFY(QDir().mkpath(root + QStringLiteral("/704")));
    QVERIFY(accountingtest::writeText(root + QStringLiteral("/704/stat"), "704 (c) S 1\n"));
    QVERIFY(QFile::link(root + QStringLiteral("/704"), root + QStringLiteral("/705")));
    ferrow::defaults().paths.procDir = root;

    reportAndCompare({700, 701, 702, 703, 704, 705, 706}, root);
    QCOMPARE(list->activeProcesses.value(700)->alive, 1);
    QCOMPARE(list->activeProcesses.value(701)->alive, 0);
    QCOMPARE(list->activeProcesses.value(702)->alive, 0);
    QCOMPARE(list->activeProcesses.value(705)->alive, 1);
}

QTEST_GUILESS_MAIN(TestProcessLiveness)
#include "tst_processliveness.moc"

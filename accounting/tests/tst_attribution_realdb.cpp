// Application attribution against this machine's real package database and
// real processes: programs, interpreters running scripts, kernel threads,
// diversions, the merged-/usr rewrite and the walk up the parent chain for
// applications under /opt/apps/varsella/ (seen from another mount namespace).

#include "accountingtestsupport.h"
#include "packagedatabase.h"
#include "processlist.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

#include <memory>

using sysmonitor::process::ProcessList;

namespace {

// The package that dpkg itself names as the owner of path, or "" if none.
QString ownerByDpkg(const QString &path)
{
    QProcess dpkg;
    dpkg.start(QStringLiteral("dpkg-query"), {QStringLiteral("-S"), path});
    if (!dpkg.waitForFinished() || dpkg.exitCode() != 0)
        return QString();
    // Diversion lines come first; the owner is on the last line.
    const QString line = QString::fromUtf8(dpkg.readAllStandardOutput()).trimmed().split(QLatin1Char('\n')).last();
    if (line.startsWith(QLatin1String("diversion by ")))
        return QString();
    return line.left(line.lastIndexOf(QStringLiteral(": ")));
}

QString lookup(ProcessList &list, const QString &path, int *result = nullptr)
{
    char buffer[ProcessList::PackageNameSize] = {};
    const int rc = list.findOwnerPackage(path.toUtf8().constData(), buffer, sizeof buffer);
    if (result)
        *result = rc;
    return rc == 0 ? QString::fromUtf8(buffer) : QStringLiteral("<none>");
}

// Waits for the first child process of pid and returns its pid, or 0.
qint32 firstChildOf(qint32 pid)
{
    for (int i = 0; i < 200; ++i) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
        if (children.open(QIODevice::ReadOnly)) {
            const QByteArray text = children.readAll().trimmed();
            if (!text.isEmpty())
                return text.split(' ').first().toInt();
        }
        QThread::msleep(20);
    }
    return 0;
}

} // namespace

class TestAttributionRealDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void programRegisteredUnderMergedUsrResolves();
    void scriptRunByPythonIsTheProgram();
    void packagedScriptResolvesToItsPackage();
    void interpreterWithoutAbsoluteScriptIsUnresolved_data();
    void interpreterWithoutAbsoluteScriptIsUnresolved();
    void kernelThreadIsUnresolved();
    void divertedFilesCountAsFound();
    void patternLookupWalksTheFileTable();
    void lookupsLeaveNoNodesBehind();
    void reloadKeepsOwnersAndDiversions();
    void varsellaApplicationNamesItsProcessTree();

private:
    QTemporaryDir dataDir{QStringLiteral("/tmp/acc-XXXXXX")};
    std::unique_ptr<ProcessList> list;
};

void TestAttributionRealDb::initTestCase()
{
    QVERIFY(dataDir.isValid());
    accountingtest::pointDefaultsInto(dataDir.path());
    list.reset(new ProcessList);
    QVERIFY(ferrow::packagedb::fileCount() > 1000);
    QVERIFY(!list->dpkgStatusTime.isNull());
}

void TestAttributionRealDb::cleanupTestCase()
{
    list.reset();
    ferrow::defaults() = ferrow::Defaults();
}

void TestAttributionRealDb::programRegisteredUnderMergedUsrResolves()
{
    QCOMPARE(lookup(*list, QStringLiteral("/bin/sleep")), QStringLiteral("coreutils"));
    int rc = 0;
    lookup(*list, QStringLiteral("/usr/bin/sleep"), &rc);
    QCOMPARE(rc, 1); // only the rewritten path is registered

    QProcess child;
    child.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("30")});
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());
    NetworkProcess p;
    p.pid = pid;
    p.rx_bytes = 10;
    list->processNetworkData({p});
    const auto &info = list->activeProcesses.value(pid).fields();
    QCOMPARE(info.exePath, QStringLiteral("/usr/bin/sleep"));
    QCOMPARE(info.name, QStringLiteral("sleep"));
    QCOMPARE(info.app, QStringLiteral("coreutils"));
    QCOMPARE(list->appTraffic.value(QStringLiteral("coreutils")).recv, quint64(10));
    child.kill();
    child.waitForFinished();
}

void TestAttributionRealDb::scriptRunByPythonIsTheProgram()
{
    const QString script = dataDir.path() + QStringLiteral("/waiter.py");
    QVERIFY(accountingtest::writeText(script, "import sys\nsys.stdin.read()\n"));
    QProcess child;
    child.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-u"), script, QStringLiteral("/etc/passwd")});
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());

    QCOMPARE(list->executablePath(pid), script);
    QCOMPARE(list->resolveApplication(script, pid), QStringLiteral("-"));
    NetworkProcess p;
    p.pid = pid;
    p.rx_bytes = 5;
    list->processNetworkData({p});
    const auto &info = list->activeProcesses.value(pid).fields();
    QCOMPARE(info.exePath, script);
    QCOMPARE(info.name, QStringLiteral("waiter.py"));
    QCOMPARE(info.app, QStringLiteral("-"));
    child.closeWriteChannel();
    QVERIFY(child.waitForFinished());
}

void TestAttributionRealDb::packagedScriptResolvesToItsPackage()
{
    const QStringList found = QDir(QStringLiteral("/usr/lib")).entryList({QStringLiteral("python3.*")}, QDir::Dirs);
    QString script;
    for (const QString &dir : found) {
        if (QFile::exists(QStringLiteral("/usr/lib/%1/this.py").arg(dir)))
            script = QStringLiteral("/usr/lib/%1/this.py").arg(dir);
    }
    if (script.isEmpty())
        QSKIP("no packaged Python module to run");
    const QString expected = ownerByDpkg(script);
    QVERIFY(!expected.isEmpty());

    // -i keeps the interpreter waiting on its standard input after the script.
    QProcess child;
    child.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-i"), script});
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());
    QCOMPARE(list->executablePath(pid), script);
    QCOMPARE(list->resolveApplication(script, pid), expected);
    child.closeWriteChannel();
    QVERIFY(child.waitForFinished());
}

void TestAttributionRealDb::interpreterWithoutAbsoluteScriptIsUnresolved_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("python -c") << "/usr/bin/python3" << QStringList{"-c", "import time; time.sleep(30)"};
    QTest::newRow("bash -c") << "/usr/bin/bash" << QStringList{"-c", "sleep 30; true"};
}

void TestAttributionRealDb::interpreterWithoutAbsoluteScriptIsUnresolved()
{
    QFETCH(QString, program);
    QFETCH(QStringList, arguments);
    QProcess child;
    child.start(program, arguments);
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());
    QCOMPARE(list->executablePath(pid), QString());
    QCOMPARE(list->resolveApplication(QString(), pid), QStringLiteral("-"));
    child.kill();
    child.waitForFinished();
}

void TestAttributionRealDb::kernelThreadIsUnresolved()
{
    // pid 2 is the kernel's thread creator: it has no program.
    NetworkProcess p;
    p.pid = 2;
    p.tx_bytes = 3;
    list->processNetworkData({p});
    const auto &info = list->activeProcesses.value(2).fields();
    QCOMPARE(info.exePath, QString());
    QCOMPARE(info.name, QString());
    QCOMPARE(info.app, QStringLiteral("-"));
}

void TestAttributionRealDb::divertedFilesCountAsFound()
{
    QFile diversions(QStringLiteral("/var/lib/dpkg/diversions"));
    QVERIFY(diversions.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = diversions.readAll().split('\n');
    const int index = lines.indexOf("/bin/sh");
    if (index < 0 || index % 3 != 0 || index + 2 >= lines.size())
        QSKIP("/bin/sh is not diverted on this machine");
    const QString divertedTo = QString::fromUtf8(lines.at(index + 1));

    // Owned and diverted: the owner's name.
    QCOMPARE(lookup(*list, QStringLiteral("/bin/sh")), ownerByDpkg(QStringLiteral("/bin/sh")));
    // Diverted but owned by no package: found, with an empty application.
    if (ownerByDpkg(divertedTo).isEmpty()) {
        QCOMPARE(lookup(*list, divertedTo), QString());
        QCOMPARE(list->resolveApplication(divertedTo, 0), QString());
    }
}

void TestAttributionRealDb::patternLookupWalksTheFileTable()
{
    QCOMPARE(lookup(*list, QStringLiteral("/bin/sle[e]p")), QStringLiteral("coreutils"));
    QCOMPARE(lookup(*list, QStringLiteral("/bin/slee?")), QStringLiteral("coreutils"));
    QCOMPARE(lookup(*list, QStringLiteral("/no/such/*")), QStringLiteral("<none>"));
    // Trailing slashes and "/." are trimmed before a plain lookup.
    QCOMPARE(lookup(*list, QStringLiteral("/bin/sleep/")), QStringLiteral("coreutils"));
    QCOMPARE(lookup(*list, QStringLiteral("/bin/sleep/.")), QStringLiteral("coreutils"));
}

void TestAttributionRealDb::lookupsLeaveNoNodesBehind()
{
    const int before = ferrow::packagedb::fileCount();
    for (int i = 0; i < 100; ++i) {
        QByteArray path = "/tmp/not-a-package-file-" + QByteArray::number(i);
        char buffer[ProcessList::PackageNameSize] = {};
        QCOMPARE(list->findOwnerPackage(path.constData(), buffer, sizeof buffer), 1);
        path.fill('x'); // the caller's buffer is gone after the call
    }
    QCOMPARE(ferrow::packagedb::fileCount(), before);
}

void TestAttributionRealDb::reloadKeepsOwnersAndDiversions()
{
    const QString shOwner = lookup(*list, QStringLiteral("/bin/sh"));
    // The first load also holds a few unowned directories named by file
    // triggers; every reload after it holds the same table.
    int files = -1;

    // Unchanged status file: no reload.
    const QDateTime loaded = list->dpkgStatusTime;
    list->reloadPackageDatabaseIfChanged();
    QCOMPARE(list->dpkgStatusTime, loaded);

    // An older recorded time forces a reload, twice over.
    for (int round = 0; round < 2; ++round) {
        list->dpkgStatusTime = loaded.addSecs(-60);
        list->reloadPackageDatabaseIfChanged();
        QCOMPARE(list->dpkgStatusTime, loaded);
        if (round == 0)
            files = ferrow::packagedb::fileCount();
        QVERIFY(files > 1000);
        QCOMPARE(ferrow::packagedb::fileCount(), files);
        QCOMPARE(lookup(*list, QStringLiteral("/bin/sleep")), QStringLiteral("coreutils"));
        QCOMPARE(lookup(*list, QStringLiteral("/bin/sh")), shOwner);
    }
}

void TestAttributionRealDb::varsellaApplicationNamesItsProcessTree()
{
    // In a private mount namespace, /opt holds an application under
    // /opt/apps/varsella/ (a copy of bash) that starts a helper program from
    // elsewhere under /opt. Neither file exists in this process's view.
    const QString setup = QStringLiteral(
        "mount -t tmpfs none /opt && mkdir -p /opt/apps/varsella/demo /opt/helper && "
        "cp /usr/bin/bash /opt/apps/varsella/demo/demoapp && cp /usr/bin/sleep /opt/helper/tool && "
        "exec /opt/apps/varsella/demo/demoapp -c '/opt/helper/tool 30; true'");
    QProcess app;
    app.start(QStringLiteral("unshare"),
              {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
               QStringLiteral("/bin/sh"), QStringLiteral("-c"), setup});
    QVERIFY(app.waitForStarted());
    const qint32 appPid = qint32(app.processId());
    // The set-up commands are children too: wait until the application runs.
    QTRY_COMPARE(list->executablePath(appPid), QStringLiteral("/opt/apps/varsella/demo/demoapp"));
    const qint32 helperPid = firstChildOf(appPid);
    QVERIFY2(helperPid > 0, app.readAllStandardError().constData());
    QTRY_COMPARE(list->executablePath(helperPid), QStringLiteral("/opt/helper/tool"));
    QCOMPARE(list->executablePath(appPid), QStringLiteral("/opt/apps/varsella/demo/demoapp"));
    QVERIFY(!QFile::exists(QStringLiteral("/opt/helper/tool")));

    // The helper is named after its parent; the application after itself.
    QCOMPARE(list->resolveApplication(QStringLiteral("/opt/helper/tool"), helperPid), QStringLiteral("demoapp"));
    QCOMPARE(list->resolveApplication(QStringLiteral("/opt/apps/varsella/demo/demoapp"), appPid),
             QStringLiteral("demoapp"));
    NetworkProcess p;
    p.pid = helperPid;
    list->processNetworkData({p});
    QCOMPARE(list->activeProcesses.value(helperPid)->app, QStringLiteral("demoapp"));
    QCOMPARE(list->activeProcesses.value(helperPid)->name, QStringLiteral("tool"));

    // A chain without such an application ends at pid 1; pids below 2 stop at once.
    const qint32 self = qint32(getpid());
    QCOMPARE(list->resolveApplication(QStringLiteral("/opt/none/x"), self), QStringLiteral("-"));
    QCOMPARE(list->resolveApplication(QStringLiteral("/opt/none/x"), 1), QStringLiteral("-"));

    app.kill();
    app.waitForFinished();
}

QTEST_GUILESS_MAIN(TestAttributionRealDb)
#include "tst_attribution_realdb.moc"

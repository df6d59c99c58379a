// Application attribution against a package database fabricated for the test
// (libdpkg reads it through DPKG_ADMINDIR): owner lookup, diversions, the
// path rewrites, patterns, reloading when the status file moves forward, the
// shell list, and the /proc readers on a fabricated /proc tree.

#include "accountingtestsupport.h"
#include "packagedatabase.h"
#include "processlist.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using sysmonitor::process::ProcessList;

namespace {

QList<accountingtest::FakePackage> basePackages()
{
    using accountingtest::package;
    accountingtest::FakePackage libm = package(QStringLiteral("libm"), {QStringLiteral("/usr/lib/libm.so")});
    libm.multiArch = QStringLiteral("same");
    return {package(QStringLiteral("foo"), {QStringLiteral("/usr"), QStringLiteral("/usr/lib"),
                                            QStringLiteral("/usr/lib/foo"), QStringLiteral("/usr/lib/foo/foo-bin")}),
            package(QStringLiteral("merged"), {QStringLiteral("/bin"), QStringLiteral("/bin/mtool")}),
            package(QStringLiteral("acme"),
                    {QStringLiteral("/opt"), QStringLiteral("/opt/acme"), QStringLiteral("/opt/acme/tool")}),
            libm};
}

const QStringList baseDiversions{
    QStringLiteral("/usr/lib/foo/foo-bin"), QStringLiteral("/usr/lib/foo/foo-bin.real"), QStringLiteral("foo"),
    QStringLiteral("/etc/unowned.conf"), QStringLiteral("/etc/unowned.conf.orig"), QStringLiteral(":")};

} // namespace

class TestAttributionFakeDb : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void ownerLookupResolvesApplications_data();
    void ownerLookupResolvesApplications();
    void reloadFollowsTheStatusFileForward();
    void diversionChangesAreReloaded();
    void missingStatusFileIsReportedAndNeverReloads();
    void aSecondTableInTheSameProcessSeesTheSameDatabase();
    void shellsComeFromTheShellsFile_data();
    void shellsComeFromTheShellsFile();
    void interpreterRule_data();
    void interpreterRule();
    void parentPidReadsTheFourthStatField_data();
    void parentPidReadsTheFourthStatField();
    void executablePathReadsTheExeLink_data();
    void executablePathReadsTheExeLink();
    void reportedProgramServesOnceTheExeLinkIsGone_data();
    void reportedProgramServesOnceTheExeLinkIsGone();

private:
    QString status() const { return adminDir.path() + QStringLiteral("/status"); }
    QString app(const QString &path) { return list->resolveApplication(path, 0); }

    QTemporaryDir adminDir;
    QTemporaryDir procDir;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<ProcessList> list;
    QDateTime statusTime;
};

void TestAttributionFakeDb::initTestCase()
{
    QVERIFY(adminDir.isValid());
    QVERIFY(procDir.isValid());
    qputenv("DPKG_ADMINDIR", adminDir.path().toUtf8());
    statusTime = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch() - 3600);
}

void TestAttributionFakeDb::init()
{
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), basePackages(), baseDiversions));
    QVERIFY(accountingtest::setModificationTime(status(), statusTime));
    dataDir.reset(new QTemporaryDir(QStringLiteral("/tmp/acc-XXXXXX")));
    accountingtest::pointDefaultsInto(dataDir->path());
    ferrow::defaults().paths.dpkgStatusFile = status();
    list.reset(new ProcessList);
}

void TestAttributionFakeDb::cleanup()
{
    list.reset();
    ferrow::defaults() = ferrow::Defaults();
    dataDir.reset();
}

void TestAttributionFakeDb::ownerLookupResolvesApplications_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("application");
    QTest::newRow("owned file") << "/usr/lib/foo/foo-bin" << "foo";
    QTest::newRow("owned directory with trailing slash") << "/usr/lib/foo/" << "foo";
    QTest::newRow("path with /. components") << "/usr/lib/foo/foo-bin/." << "foo";
    QTest::newRow("merged /usr: /usr/bin/x registered as /bin/x") << "/usr/bin/mtool" << "merged";
    QTest::newRow("/var/opt rewritten to /opt") << "/var/opt/acme/tool" << "acme";
    QTest::newRow("unregistered file") << "/usr/lib/foo/other" << "-";
    QTest::newRow("empty path") << "" << "-";
    QTest::newRow("missing /opt path walks the parents") << "/opt/acme/tool" << "-";
    QTest::newRow("diverted and unowned: found, empty name") << "/etc/unowned.conf" << "";
    QTest::newRow("diversion target, unowned") << "/usr/lib/foo/foo-bin.real" << "";
    QTest::newRow("pattern") << "/usr/lib/foo/foo-b?n" << "foo";
    QTest::newRow("pattern with a class") << "/bin/[m]tool" << "merged";
    QTest::newRow("pattern without match") << "/usr/lib/foo/zz*" << "-";
    QTest::newRow("Multi-Arch: same package carries its architecture") << "/usr/lib/libm.so" << "libm:amd64";
}

void TestAttributionFakeDb::ownerLookupResolvesApplications()
{
    QFETCH(QString, path);
    QFETCH(QString, application);
    QCOMPARE(app(path), application);
}

void TestAttributionFakeDb::reloadFollowsTheStatusFileForward()
{
    QCOMPARE(list->dpkgStatusTime, statusTime);
    QList<accountingtest::FakePackage> packages = basePackages();
    packages.append(accountingtest::package(QStringLiteral("newpkg"), {QStringLiteral("/usr/share/newpkg/data")}));
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), packages, baseDiversions));

    // Not newer than the loaded database: nothing is reloaded.
    QVERIFY(accountingtest::setModificationTime(status(), statusTime));
    list->refreshSnapshots();
    QCOMPARE(app(QStringLiteral("/usr/share/newpkg/data")), QStringLiteral("-"));
    QVERIFY(accountingtest::setModificationTime(status(), statusTime.addSecs(-10)));
    list->reloadPackageDatabaseIfChanged();
    QCOMPARE(app(QStringLiteral("/usr/share/newpkg/data")), QStringLiteral("-"));

    // Newer: reloaded, with the old owners and the diversions still there.
    QVERIFY(accountingtest::setModificationTime(status(), statusTime.addSecs(10)));
    list->refreshSnapshots();
    QCOMPARE(list->dpkgStatusTime, statusTime.addSecs(10));
    QCOMPARE(app(QStringLiteral("/usr/share/newpkg/data")), QStringLiteral("newpkg"));
    QCOMPARE(app(QStringLiteral("/usr/bin/mtool")), QStringLiteral("merged"));
    QCOMPARE(app(QStringLiteral("/etc/unowned.conf")), QString());
    QCOMPARE(app(QStringLiteral("/usr/lib/foo/foo-bin")), QStringLiteral("foo"));

    // A package removed from the status file no longer owns its files.
    packages.removeFirst(); // foo
    QVERIFY(accountingtest::writeFakePackageDatabase(adminDir.path(), packages, {}));
    QFile::remove(adminDir.path() + QStringLiteral("/info/foo.list"));
    QVERIFY(accountingtest::setModificationTime(status(), statusTime.addSecs(20)));
    list->reloadPackageDatabaseIfChanged();
    QCOMPARE(app(QStringLiteral("/usr/lib/foo/foo-bin")), QStringLiteral("-"));
    QCOMPARE(app(QStringLiteral("/etc/unowned.conf")), QStringLiteral("-"));
    QCOMPARE(app(QStringLiteral("/usr/share/newpkg/data")), QStringLiteral("newpkg"));
}

void TestAttributionFakeDb::diversionChangesAreReloaded()
{
    QStringList diversions = baseDiversions;
    diversions << QStringLiteral("/etc/second.conf") << QStringLiteral("/etc/second.conf.orig")
               << QStringLiteral(":");
    // Written beside and renamed over, as package tools replace it.
    const QString path = adminDir.path() + QStringLiteral("/diversions");
    QVERIFY(accountingtest::writeText(path + QStringLiteral(".new"), diversions.join(QLatin1Char('\n')).toUtf8() + '\n'));
    QFile::remove(path);
    QVERIFY(QFile::rename(path + QStringLiteral(".new"), path));
    QCOMPARE(app(QStringLiteral("/etc/second.conf")), QStringLiteral("-"));

    QVERIFY(accountingtest::setModificationTime(status(), statusTime.addSecs(30)));
    list->reloadPackageDatabaseIfChanged();
    QCOMPARE(app(QStringLiteral("/etc/second.conf")), QString());
    QCOMPARE(app(QStringLiteral("/etc/unowned.conf")), QString());
}

void TestAttributionFakeDb::missingStatusFileIsReportedAndNeverReloads()
{
    const QString missing = adminDir.path() + QStringLiteral("/no-status");
    ferrow::defaults().paths.dpkgStatusFile = missing;
    const QByteArray message = '"' + missing.toUtf8() + "\" does not exist.";
    QTest::ignoreMessage(QtDebugMsg, message.constData());
    list->closePackageDatabase();
    list->openPackageDatabase();
    QCOMPARE(list->dpkgStatusTime, statusTime); // left as it was
    QCOMPARE(app(QStringLiteral("/usr/lib/foo/foo-bin")), QStringLiteral("foo"));

    // Without the file there is nothing to compare: no reload, no message.
    list->dpkgStatusTime = QDateTime();
    list->reloadPackageDatabaseIfChanged();
    QVERIFY(list->dpkgStatusTime.isNull());

    // A table created while the file is missing starts with a null time and
    // reloads as soon as the file is back.
    list.reset();
    QTest::ignoreMessage(QtDebugMsg, message.constData());
    list.reset(new ProcessList);
    QVERIFY(list->dpkgStatusTime.isNull());
    ferrow::defaults().paths.dpkgStatusFile = status();
    list->reloadPackageDatabaseIfChanged();
    QCOMPARE(list->dpkgStatusTime, statusTime);
}

void TestAttributionFakeDb::aSecondTableInTheSameProcessSeesTheSameDatabase()
{
    const int files = ferrow::packagedb::fileCount();
    for (int round = 0; round < 2; ++round) {
        list.reset();
        QCOMPARE(ferrow::packagedb::fileCount(), 0);
        list.reset(new ProcessList);
        QCOMPARE(ferrow::packagedb::fileCount(), files);
        QCOMPARE(app(QStringLiteral("/usr/lib/foo/foo-bin")), QStringLiteral("foo"));
        QCOMPARE(app(QStringLiteral("/etc/unowned.conf")), QString());
        QCOMPARE(app(QStringLiteral("/usr/lib/foo/foo-bin.real")), QString());
    }
}

void TestAttributionFakeDb::shellsComeFromTheShellsFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("expected");
    const QStringList fixed{QStringLiteral("/usr/bin/bash"), QStringLiteral("/usr/bin/sh")};
    QTest::newRow("usual file") << QByteArray("# shells\n/bin/sh\n/usr/bin/sh\n/bin/bash\n\n/usr/bin/dash\n")
                                << fixed + QStringList{"sh", "bash", "dash"};
    QTest::newRow("last line without newline") << QByteArray("/bin/zsh") << fixed + QStringList{"zsh"};
    QTest::newRow("indented and relative lines skipped") << QByteArray(" /bin/ksh\nbin/csh\n/bin/fish\n")
                                                         << fixed + QStringList{"fish"};
    QTest::newRow("line longer than a read")
        << QByteArray("/" + QByteArray(130, 'a') + "/tail\n/bin/sh\n")
        << fixed + QStringList{QString(126, QLatin1Char('a')), "sh"};
    QTest::newRow("Latin-1 bytes") << QByteArray("/opt/\xe9sh\n") << fixed + QStringList{QStringLiteral("\u00e9sh")};
    QTest::newRow("missing file") << QByteArray() << fixed;
}

void TestAttributionFakeDb::shellsComeFromTheShellsFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QStringList, expected);
    const QString shells = dataDir->path() + QStringLiteral("/shells");
    if (!content.isEmpty())
        QVERIFY(accountingtest::writeText(shells, content));
    ferrow::defaults().paths.shellsFile = shells;
    list.reset();
    list.reset(new ProcessList);
    QCOMPARE(list->shells, expected);
}

void TestAttributionFakeDb::interpreterRule_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("interpreter");
    QTest::newRow("bash") << "/usr/bin/bash" << true;
    QTest::newRow("sh") << "/bin/sh" << true;
    QTest::newRow("dash, from the shells file") << "/usr/bin/dash" << true;
    QTest::newRow("part of a shell entry") << "/somewhere/ba" << true;
    QTest::newRow("python3") << "/usr/bin/python3" << true;
    QTest::newRow("python3.11") << "/usr/bin/python3.11" << true;
    QTest::newRow("python without version") << "python" << true;
    QTest::newRow("perl5.36") << "/usr/bin/perl5.36" << true;
    QTest::newRow("php8.2") << "/usr/bin/php8.2" << true;
    QTest::newRow("pythonw") << "/usr/bin/pythonw" << false;
    QTest::newRow("python3-config") << "/usr/bin/python3-config" << false;
    QTest::newRow("sleep") << "/usr/bin/sleep" << false;
    QTest::newRow("node") << "/usr/bin/node" << false;
}

void TestAttributionFakeDb::interpreterRule()
{
    QFETCH(QString, path);
    QFETCH(bool, interpreter);
    const QString shells = dataDir->path() + QStringLiteral("/shells");
    QVERIFY(accountingtest::writeText(shells, "/bin/sh\n/bin/dash\n"));
    ferrow::defaults().paths.shellsFile = shells;
    list.reset();
    list.reset(new ProcessList);
    QCOMPARE(list->isInterpreter(path), interpreter);
}

void TestAttributionFakeDb::parentPidReadsTheFourthStatField_data()
{
    QTest::addColumn<QByteArray>("stat");
    QTest::addColumn<qint32>("parent");
    QTest::addColumn<QByteArray>("warning");
    QTest::newRow("usual line") << QByteArray("4711 (worker) S 77 4711 4711 0 -1\n") << 77 << QByteArray();
    QTest::newRow("command name with a space")
        << QByteArray("4711 (my worker) S 77 4711\n") << -1 << QByteArray("无法解析父进程ID: \"S\"");
    QTest::newRow("too few fields") << QByteArray("4711 (w) S\n") << -1
                                    << QByteArray("stat 文件格式错误: \"4711 (w) S\"");
    QTest::newRow("empty file") << QByteArray("") << -1 << QByteArray();
    QTest::newRow("missing file") << QByteArray("<none>") << -1 << QByteArray("<open>");
}

void TestAttributionFakeDb::parentPidReadsTheFourthStatField()
{
    QFETCH(QByteArray, stat);
    QFETCH(qint32, parent);
    QFETCH(QByteArray, warning);
    const QString dir = procDir.path() + QStringLiteral("/4711");
    QDir(dir).removeRecursively();
    QVERIFY(QDir().mkpath(dir));
    if (stat != "<none>")
        QVERIFY(accountingtest::writeText(dir + QStringLiteral("/stat"), stat));
    if (warning == "<open>")
        warning = "无法打开文件: \"" + dir.toUtf8() + "/stat\"";
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, warning.constData());
    ferrow::defaults().paths.procDir = procDir.path();
    QCOMPARE(list->parentPid(4711), parent);
}

void TestAttributionFakeDb::executablePathReadsTheExeLink_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QByteArray>("cmdline");
    QTest::addColumn<QString>("path");
    QTest::newRow("program") << "/usr/lib/foo/foo-bin" << QByteArray() << "/usr/lib/foo/foo-bin";
    QTest::newRow("deleted program") << "/usr/lib/foo/foo-bin (deleted)" << QByteArray() << "/usr/lib/foo/foo-bin";
    QTest::newRow("script of an interpreter")
        << "/usr/bin/python3.11" << QByteArray("python3\0-u\0/srv/app/run.py\0/etc/x\0", 35) << "/srv/app/run.py";
    QTest::newRow("script after empty arguments")
        << "/usr/bin/bash" << QByteArray("bash\0\0\0/srv/x.sh\0", 18) << "/srv/x.sh";
    QTest::newRow("interpreter name itself absolute") << "/usr/bin/perl" << QByteArray("/usr/bin/perl\0-e\0", 17)
                                                      << "";
    QTest::newRow("interpreter without cmdline") << "/usr/bin/php8.2" << QByteArray("<none>") << "";
    QTest::newRow("no link") << "" << QByteArray() << "";
}

void TestAttributionFakeDb::executablePathReadsTheExeLink()
{
    QFETCH(QString, target);
    QFETCH(QByteArray, cmdline);
    QFETCH(QString, path);
    const QString dir = procDir.path() + QStringLiteral("/815");
    QDir(dir).removeRecursively();
    QVERIFY(QDir().mkpath(dir));
    if (!target.isEmpty())
        QVERIFY(QFile::link(target, dir + QStringLiteral("/exe")));
    if (cmdline != "<none>")
        QVERIFY(accountingtest::writeText(dir + QStringLiteral("/cmdline"), cmdline));
    ferrow::defaults().paths.procDir = procDir.path();
    QCOMPARE(list->executablePath(815), path);
}

void TestAttributionFakeDb::reportedProgramServesOnceTheExeLinkIsGone_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reported");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("application");
    const QStringList none;
    QTest::newRow("gone: program") << "" << "/usr/lib/foo/foo-bin" << none << "/usr/lib/foo/foo-bin" << "foo";
    QTest::newRow("gone: deleted program") << "" << "/usr/lib/foo/foo-bin (deleted)" << none
                                           << "/usr/lib/foo/foo-bin" << "foo";
    QTest::newRow("gone: script of an interpreter")
        << "" << "/usr/bin/python3.11" << QStringList{"python3", "-u", "/usr/lib/foo/foo-bin", "/etc/x"}
        << "/usr/lib/foo/foo-bin" << "foo";
    QTest::newRow("gone: script after empty arguments")
        << "" << "/usr/bin/bash" << QStringList{"bash", "", "", "/srv/x.sh"} << "/srv/x.sh" << "-";
    QTest::newRow("gone: interpreter without a script") << "" << "/usr/bin/perl" << QStringList{"/usr/bin/perl", "-e"}
                                                        << "" << "-";
    QTest::newRow("gone: interpreter without arguments") << "" << "/usr/bin/php8.2" << none << "" << "-";
    QTest::newRow("gone: merged /usr") << "" << "/usr/bin/mtool" << none << "/usr/bin/mtool" << "merged";
    QTest::newRow("gone: /var/opt") << "" << "/var/opt/acme/tool" << none << "/var/opt/acme/tool" << "acme";
    QTest::newRow("gone: under the application root")
        << "" << "/opt/apps/varsella/viewer/bin/viewer" << none << "/opt/apps/varsella/viewer/bin/viewer" << "viewer";
    QTest::newRow("gone: other missing /opt program") << "" << "/opt/acme/tool" << none << "/opt/acme/tool" << "-";
    QTest::newRow("gone: relative path refused") << "" << "foo-bin" << none << "" << "-";
    QTest::newRow("gone: nothing reported") << "" << "" << QStringList{"/usr/lib/foo/foo-bin"} << "" << "-";
    QTest::newRow("alive: the link wins over the report")
        << "/usr/lib/foo/foo-bin" << "/usr/bin/mtool" << none << "/usr/lib/foo/foo-bin" << "foo";
    QTest::newRow("alive: interpreter arguments come from /proc")
        << "/usr/bin/python3.11" << "/usr/bin/python3.11" << QStringList{"python3", "/usr/lib/foo/foo-bin"}
        << "" << "-";
}

void TestAttributionFakeDb::reportedProgramServesOnceTheExeLinkIsGone()
{
    QFETCH(QString, target);
    QFETCH(QString, reported);
    QFETCH(QStringList, args);
    QFETCH(QString, path);
    QFETCH(QString, application);
    const QString dir = procDir.path() + QStringLiteral("/816");
    QDir(dir).removeRecursively();
    QVERIFY(QDir().mkpath(dir));
    if (!target.isEmpty()) {
        QVERIFY(QFile::link(target, dir + QStringLiteral("/exe")));
        QVERIFY(accountingtest::writeText(dir + QStringLiteral("/cmdline"), QByteArray("python3\0-c\0", 12)));
    }
    ferrow::defaults().paths.procDir = procDir.path();
    const QString resolved = list->executablePath(816, reported, args);
    QCOMPARE(resolved, path);
    QCOMPARE(list->resolveApplication(resolved, 816), application);
}

QTEST_GUILESS_MAIN(TestAttributionFakeDb)
#include "tst_attribution_fakedb.moc"

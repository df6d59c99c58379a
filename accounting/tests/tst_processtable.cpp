// The process table: merging reports, liveness sweep, audit figures, peaks,
// clearing, and the snapshot documents with their text builders.

#include "accountingtestsupport.h"
#include "networkmonitor.h"
#include "networksocketserver.h"
#include "processlist.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <memory>

using sysmonitor::process::AppTraffic;
using sysmonitor::process::ProcessInfo;
using sysmonitor::process::ProcessList;

namespace {

NetworkProcess report(qint32 pid, quint64 rx, quint64 tx, double rxSpeed = 0, double txSpeed = 0)
{
    NetworkProcess p;
    p.pid = pid;
    p.comm = QStringLiteral("ignored");
    p.rx_bytes = rx;
    p.tx_bytes = tx;
    p.rx_speed = rxSpeed;
    p.tx_speed = txSpeed;
    return p;
}

// A pid that no process has: above the kernel's pid limit.
constexpr qint32 GonePid = 4194304 + 17;

// The history keeps a gone process for this many reports after it left the
// active table, and at most this many gone processes at a time.
constexpr int GoneRetentionReports = 600;
constexpr int GoneLimit = 10000;

NetworkProcess reportWithProgram(qint32 pid, quint64 rx, const QString &exe, const QStringList &args = {})
{
    NetworkProcess p = report(pid, rx, 0);
    p.exe = exe;
    p.cmdline = args;
    return p;
}

// Debug lines written while a test runs.
QStringList debugLines;
void keepDebugLines(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg)
        debugLines.append(text);
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestProcessTable : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void metaObjectNamesTheClassAndSlots();
    void constructionStartsTheCollectorLinkAndForwardsItsMessages();
    void recordsAtRestShareTheirDataWithTheHistory();
    void newPidIsResolvedOnceAndAccumulates();
    void samePidTwiceAddsBothAndKeepsTheSecondSpeeds();
    void emptyReportOnlyResetsSpeedsAndSweeps();
    void vanishedChildSurvivesOneReportThenLeaves();
    void pidGoneBeforeItsFirstReportFollowsTheSameTwoSteps();
    void goneProcessIsListedForTheRetentionThenLeaves();
    void pidThatLeavesTwiceIsKeptForItsLastDeparture();
    void beyondTheLimitTheFirstGoneLeaveAndFiguresStayExact();
    void unattributedBucketStaysAndItsRecordHoldsEveryByte();
    void goneProcessIsAttributedFromItsReportedProgram();
    void pidReportedWithAnotherProgramStartsANewRecord();
    void collectorOutputIsRelayedAtABoundedRate();
    void auditFiguresGrowOnlyWhileAnAuditIsEffective_data();
    void auditFiguresGrowOnlyWhileAnAuditIsEffective();
    void speedsAreRoundedToHundredths_data();
    void speedsAreRoundedToHundredths();
    void peaksRiseOnlyAboveTheStoredValue();
    void negativeSpeedsStoreZeroButCountInTotals();
    void oversizedSpeedTotalsClampThePeaks();
    void clearEmptiesTablesWritesEmptyDocumentsAndKeepsHourAndPeriod();

    void processDocumentListsHistoryInPidOrder();
    void appDocumentSpeedsCoverOneInterval();
    void appDocumentListsApplicationsInNameOrderAsUtf8();
    void byteCountsBeyond32BitsStayExact();
    void unwritableDocumentIsSkippedButIntervalMoves();
    void documentIsReplacedWholeNotRewrittenInPlace();
    void aFullDiskLeavesThePreviousDocuments();
    void formatSizeUsesBinaryUnits_data();
    void formatSizeUsesBinaryUnits();
    void topAppsFragmentListsTenEscaped();
    void topAppsFragmentSortsByTheAuditKind_data();
    void topAppsFragmentSortsByTheAuditKind();

private:
    QTemporaryDir adminDir;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<ProcessList> list;
};

void TestProcessTable::initTestCase()
{
    QVERIFY(adminDir.isValid());
    // A tiny package database in which "toolpkg" owns /bin/sleep.
    QVERIFY(accountingtest::writeFakePackageDatabase(
        adminDir.path(), {accountingtest::package(QStringLiteral("toolpkg"), {QStringLiteral("/bin"), QStringLiteral("/bin/sleep")})}));
    qputenv("DPKG_ADMINDIR", adminDir.path().toUtf8());
}

void TestProcessTable::init()
{
    dataDir.reset(new QTemporaryDir(QStringLiteral("/tmp/acc-XXXXXX")));
    QVERIFY(dataDir->isValid());
    accountingtest::pointDefaultsInto(dataDir->path());
    ferrow::defaults().paths.dpkgStatusFile = adminDir.path() + QStringLiteral("/status");
    list.reset(new ProcessList);
}

void TestProcessTable::cleanup()
{
    list.reset();
    ferrow::defaults() = ferrow::Defaults();
    dataDir.reset();
}

void TestProcessTable::metaObjectNamesTheClassAndSlots()
{
    const QMetaObject *meta = list->metaObject();
    QCOMPARE(meta->className(), "sysmonitor::process::ProcessList");
    // Its own methods: the three public slots in their order, no signals.
    QStringList own;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        const QMetaMethod method = meta->method(i);
        QCOMPARE(method.methodType(), QMetaMethod::Slot);
        QCOMPARE(method.access(), QMetaMethod::Public);
        own << QString::fromLatin1(method.methodSignature());
    }
    QCOMPARE(own, (QStringList{QStringLiteral("onClearAllProcess()"), QStringLiteral("handleSqlUpdate()"),
                               QStringLiteral("processNetworkData(QList<NetworkProcess>)")}));

    // The slot can be invoked by name, as a queued connection would.
    QList<NetworkProcess> processes{report(GonePid, 7, 3)};
    QVERIFY(QMetaObject::invokeMethod(list.get(), "processNetworkData", Qt::DirectConnection,
                                      Q_ARG(QList<NetworkProcess>, processes)));
    QCOMPARE(list->activeProcesses.value(GonePid)->sum_recv, quint64(7));
}

void TestProcessTable::constructionStartsTheCollectorLinkAndForwardsItsMessages()
{
    list.reset();
    // The collector script does not exist here, so the link cannot start; the
    // table is built all the same.
    QTest::ignoreMessage(QtDebugMsg, "启动监控失败");
    list.reset(new ProcessList);
    QCOMPARE(list->networkMonitor->parent(), list.get());

    // The link's messages become debug lines; its reports reach the table.
    QTest::ignoreMessage(QtDebugMsg, "状态:  \"监控中\"");
    QTest::ignoreMessage(QtDebugMsg, "错误:  \"连接断开\"");
    emit list->networkMonitor->statusChanged(QStringLiteral("监控中"));
    emit list->networkMonitor->errorOccurred(QStringLiteral("连接断开"));
    emit list->networkMonitor->dataReceived({report(GonePid, 3, 4)});
    QCOMPARE(list->activeProcesses.value(GonePid)->sum_sent, quint64(4));
}

void TestProcessTable::recordsAtRestShareTheirDataWithTheHistory()
{
    const qint32 self = qint32(QCoreApplication::applicationPid());
    list->processNetworkData({report(self, 10, 20)});
    list->processNetworkData({});
    // A live process without speeds is neither changed nor copied by a report.
    const ProcessInfo active = list->activeProcesses.value(self);
    const ProcessInfo history = list->processHistory.value(self);
    QCOMPARE(&active.fields(), &history.fields());

    // Writing one copy never changes the other.
    list->activeProcesses[self]->sum_recv = 99;
    QCOMPARE(list->processHistory.value(self)->sum_recv, quint64(10));
    QCOMPARE(active->sum_recv, quint64(10));
}

void TestProcessTable::newPidIsResolvedOnceAndAccumulates()
{
    QProcess child;
    child.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("30")});
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());

    list->processNetworkData({report(pid, 100, 40, 1.5, 2.25)});
    QVERIFY(list->activeProcesses.contains(pid));
    const auto &info = list->activeProcesses.value(pid).fields();
    QCOMPARE(info.pid, pid);
    QCOMPARE(info.exePath, QStringLiteral("/usr/bin/sleep"));
    QCOMPARE(info.name, QStringLiteral("sleep"));
    QCOMPARE(info.app, QStringLiteral("toolpkg")); // registered as /bin/sleep
    QCOMPARE(info.alive, 1);
    QCOMPARE(info.graceRound, true);
    QCOMPARE(info.recv_speed, 1.5);
    QCOMPARE(info.sent_speed, 2.25);

    // A later report adds to the record; the application stays as resolved.
    list->activeProcesses[pid]->app = QStringLiteral("kept");
    list->processNetworkData({report(pid, 11, 2, 0.5, 0)});
    const auto &again = list->activeProcesses.value(pid).fields();
    QCOMPARE(again.app, QStringLiteral("kept"));
    QCOMPARE(again.sum_recv, quint64(111));
    QCOMPARE(again.sum_sent, quint64(42));
    QCOMPARE(list->appTraffic.value(QStringLiteral("toolpkg")).recv, quint64(100));
    QCOMPARE(list->appTraffic.value(QStringLiteral("kept")).recv, quint64(11));
    QCOMPARE(list->hourRecord.recv, qint64(111));
    QCOMPARE(list->hourRecord.sent, qint64(42));

    child.kill();
    child.waitForFinished();
}

void TestProcessTable::samePidTwiceAddsBothAndKeepsTheSecondSpeeds()
{
    list->auditConfig.auditFlags = AuditConfig::TotalAudit;
    list->processNetworkData({report(GonePid, 10, 1, 5, 6), report(GonePid, 20, 2, 7, 8)});

    const auto &info = list->activeProcesses.value(GonePid).fields();
    QCOMPARE(info.recv_speed, 7.0);
    QCOMPARE(info.sent_speed, 8.0);
    QCOMPARE(info.sum_recv, quint64(30));
    QCOMPARE(info.sum_sent, quint64(3));
    QCOMPARE(info.exePath, QString());
    QCOMPARE(info.name, QString());
    QCOMPARE(info.app, QStringLiteral("-"));
    QCOMPARE(list->appTraffic.value(QStringLiteral("-")).recv, quint64(30));
    QCOMPARE(list->pendingAppTraffic.value(QStringLiteral("-")).sent, quint64(3));
    QCOMPARE(list->auditTraffic.value(QStringLiteral("-")).recv, quint64(30));
    QCOMPARE(list->hourRecord.recv, qint64(30));
    QCOMPARE(list->periodDownload, quint64(30));
    QCOMPARE(list->periodUpload, quint64(3));
    // The peaks see both entries' speeds.
    QCOMPARE(list->hourRecord.recv_peak, 12);
    QCOMPARE(list->hourRecord.sent_peak, 14);
    QCOMPARE(list->hourRecord.total_peak, 26);
}

void TestProcessTable::emptyReportOnlyResetsSpeedsAndSweeps()
{
    const qint32 self = qint32(QCoreApplication::applicationPid());
    list->processNetworkData({report(self, 500, 60, 3, 4)});
    const HourRecord hourBefore = list->hourRecord;
    const auto appsBefore = list->appTraffic.value(list->activeProcesses.value(self)->app);

    list->processNetworkData({});
    const auto &info = list->activeProcesses.value(self).fields();
    QCOMPARE(info.recv_speed, 0.0);
    QCOMPARE(info.sent_speed, 0.0);
    QCOMPARE(info.sum_recv, quint64(500));
    QCOMPARE(info.alive, 1);
    QCOMPARE(list->processHistory.value(self)->recv_speed, 0.0);
    QCOMPARE(list->hourRecord.recv, hourBefore.recv);
    QCOMPARE(list->hourRecord.recv_peak, hourBefore.recv_peak);
    QCOMPARE(list->appTraffic.value(info.app).recv, appsBefore.recv);
}

void TestProcessTable::vanishedChildSurvivesOneReportThenLeaves()
{
    QProcess child;
    child.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("30")});
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());

    list->processNetworkData({report(pid, 1000, 200, 9, 9)});
    QCOMPARE(list->activeProcesses.value(pid)->alive, 1);

    child.kill();
    QVERIFY(child.waitForFinished());
    QTRY_VERIFY(!QFile::exists(QStringLiteral("/proc/%1/stat").arg(pid)));

    list->processNetworkData({});
    QVERIFY(list->activeProcesses.contains(pid));
    QCOMPARE(list->activeProcesses.value(pid)->alive, 0);
    QCOMPARE(list->activeProcesses.value(pid)->graceRound, false);
    QCOMPARE(list->processHistory.value(pid)->alive, 0);

    list->processNetworkData({});
    QVERIFY(!list->activeProcesses.contains(pid));
    const auto &last = list->processHistory.value(pid).fields();
    QCOMPARE(last.name, QStringLiteral("sleep"));
    QCOMPARE(last.sum_recv, quint64(1000));
    QCOMPARE(last.sum_sent, quint64(200));
    QCOMPARE(last.recv_speed, 0.0);
    QCOMPARE(last.alive, 0);
}

void TestProcessTable::pidGoneBeforeItsFirstReportFollowsTheSameTwoSteps()
{
    list->processNetworkData({report(GonePid, 5, 5)});
    QVERIFY(list->activeProcesses.contains(GonePid));
    QCOMPARE(list->activeProcesses.value(GonePid)->alive, 0);
    QCOMPARE(list->activeProcesses.value(GonePid)->graceRound, false);
    // The history took its copy before the grace round was used up.
    QCOMPARE(list->processHistory.value(GonePid)->graceRound, true);

    list->processNetworkData({});
    QVERIFY(!list->activeProcesses.contains(GonePid));
    QVERIFY(list->processHistory.contains(GonePid));

    // A pid seen again after removal starts a new record.
    list->processNetworkData({report(GonePid, 1, 1)});
    QCOMPARE(list->activeProcesses.value(GonePid)->sum_recv, quint64(1));
}

void TestProcessTable::goneProcessIsListedForTheRetentionThenLeaves()
{
    const qint32 self = qint32(QCoreApplication::applicationPid());
    list->processNetworkData({report(GonePid, 4242, 1), report(self, 7, 7)});
    list->processNetworkData({}); // GonePid leaves the active table
    QVERIFY(!list->activeProcesses.contains(GonePid));

    for (int i = 1; i < GoneRetentionReports; ++i)
        list->processNetworkData({});
    list->writeProcessDocument();
    QVERIFY(readFile(ferrow::paths().processInfoFile).contains("\"sum_recv\":4242,"));

    list->processNetworkData({});
    QVERIFY(!list->processHistory.contains(GonePid));
    list->writeProcessDocument();
    const QByteArray document = readFile(ferrow::paths().processInfoFile);
    QVERIFY(!document.contains("\"sum_recv\":4242,"));
    // A live process stays however long it has been listed.
    QVERIFY(document.contains("\"sum_recv\":7,"));
    QCOMPARE(list->processHistory.keys(), QList<qint32>{self});
}

void TestProcessTable::pidThatLeavesTwiceIsKeptForItsLastDeparture()
{
    list->processNetworkData({report(GonePid, 1, 0)});
    list->processNetworkData({}); // first departure
    list->processNetworkData({report(GonePid, 20, 0)});
    list->processNetworkData({}); // second departure, two reports later
    QVERIFY(!list->activeProcesses.contains(GonePid));

    // The first departure ages out without taking the second record along.
    for (int i = 0; i < GoneRetentionReports - 1; ++i)
        list->processNetworkData({});
    QCOMPARE(list->processHistory.value(GonePid)->sum_recv, quint64(20));
    list->processNetworkData({});
    QVERIFY(!list->processHistory.contains(GonePid));
}

void TestProcessTable::beyondTheLimitTheFirstGoneLeaveAndFiguresStayExact()
{
    const qint32 self = qint32(QCoreApplication::applicationPid());
    list->auditConfig.auditFlags = AuditConfig::TotalAudit;
    list->processNetworkData({report(self, 3, 5)});

    // Two batches of 6000 short-lived processes; the first to leave has the
    // higher pids, so pid order is not departure order.
    const int batch = 6000;
    const qint32 firstBase = GonePid + batch;
    const qint32 secondBase = GonePid;
    quint64 recv = 3;
    quint64 sent = 5;
    for (qint32 base : {firstBase, secondBase}) {
        QList<NetworkProcess> processes;
        for (int i = 0; i < batch; ++i) {
            processes.append(report(base + i, quint64(i) + 1, 2));
            recv += quint64(i) + 1;
            sent += 2;
        }
        list->processNetworkData(processes); // the previous batch leaves
    }
    list->processNetworkData({}); // the second batch leaves

    const int dropped = 2 * batch - GoneLimit;
    QCOMPARE(list->processHistory.size(), GoneLimit + 1);
    QVERIFY(list->processHistory.contains(self));
    QVERIFY(!list->processHistory.contains(firstBase));
    QVERIFY(!list->processHistory.contains(firstBase + dropped - 1));
    QVERIFY(list->processHistory.contains(firstBase + dropped));
    QVERIFY(list->processHistory.contains(secondBase));
    QVERIFY(list->processHistory.contains(secondBase + batch - 1));
    list->writeProcessDocument();
    QCOMPARE(QJsonDocument::fromJson(readFile(ferrow::paths().processInfoFile)).array().size(), GoneLimit + 1);

    // Every figure still counts every byte of every report.
    const auto sums = [](const QMap<QString, AppTraffic> &table) {
        quint64 r = 0, s = 0;
        for (const AppTraffic &t : table) {
            r += t.recv;
            s += t.sent;
        }
        return qMakePair(r, s);
    };
    QCOMPARE(sums(list->appTraffic), qMakePair(recv, sent));
    QCOMPARE(sums(list->pendingAppTraffic), qMakePair(recv, sent));
    QCOMPARE(sums(list->auditTraffic), qMakePair(recv, sent));
    QCOMPARE(list->hourRecord.recv, qint64(recv));
    QCOMPARE(list->hourRecord.sent, qint64(sent));
    QCOMPARE(list->periodDownload, recv);
    QCOMPARE(list->periodUpload, sent);
}

void TestProcessTable::unattributedBucketStaysAndItsRecordHoldsEveryByte()
{
    // pid 0 has no /proc entry: it must not leave and come back from zero,
    // or the process document would lose what it held before.
    quint64 total = 0;
    for (int i = 1; i <= 5; ++i) {
        list->processNetworkData({report(0, quint64(i) * 100, 1)});
        total += quint64(i) * 100;
        QVERIFY(list->activeProcesses.contains(0));
        QCOMPARE(list->activeProcesses.value(0)->alive, 1);
    }
    list->processNetworkData({});
    list->processNetworkData({});
    QVERIFY(list->activeProcesses.contains(0));
    const auto &bucket = list->processHistory.value(0).fields();
    QCOMPARE(bucket.sum_recv, total);
    QCOMPARE(bucket.sum_sent, quint64(5));
    QCOMPARE(bucket.departedRound, quint64(0));
    QCOMPARE(list->appTraffic.value(bucket.app).recv, total);
}

void TestProcessTable::goneProcessIsAttributedFromItsReportedProgram()
{
    list->processNetworkData({reportWithProgram(GonePid, 10, QStringLiteral("/usr/bin/sleep"),
                                                {QStringLiteral("sleep"), QStringLiteral("1")})});
    const auto &info = list->activeProcesses.value(GonePid).fields();
    QCOMPARE(info.exePath, QStringLiteral("/usr/bin/sleep"));
    QCOMPARE(info.name, QStringLiteral("sleep"));
    QCOMPARE(info.app, QStringLiteral("toolpkg"));
    QCOMPARE(list->appTraffic.value(QStringLiteral("toolpkg")).recv, quint64(10));

    // Without a report of its program a gone process stays unattributed.
    list->processNetworkData({report(GonePid + 1, 5, 0)});
    QCOMPARE(list->activeProcesses.value(GonePid + 1)->app, QStringLiteral("-"));
}

void TestProcessTable::pidReportedWithAnotherProgramStartsANewRecord()
{
    // Entries without the members, or with the same program, keep the record
    // (the gone pid stays active for its grace report).
    list->processNetworkData({reportWithProgram(GonePid, 10, QStringLiteral("/usr/bin/sleep")),
                              reportWithProgram(GonePid, 20, QStringLiteral("/usr/bin/sleep")),
                              report(GonePid, 30, 0)});
    QCOMPARE(list->activeProcesses.value(GonePid)->sum_recv, quint64(60));

    list->processNetworkData({reportWithProgram(GonePid, 7, QStringLiteral("/usr/lib/unknown/tool"))});
    const auto &info = list->activeProcesses.value(GonePid).fields();
    QCOMPARE(info.exePath, QStringLiteral("/usr/lib/unknown/tool"));
    QCOMPARE(info.app, QStringLiteral("-"));
    QCOMPARE(info.sum_recv, quint64(7));
    QCOMPARE(list->appTraffic.value(QStringLiteral("toolpkg")).recv, quint64(60));
    QCOMPARE(list->appTraffic.value(QStringLiteral("-")).recv, quint64(7));
}

void TestProcessTable::collectorOutputIsRelayedAtABoundedRate()
{
    debugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepDebugLines);
    const auto restore = qScopeGuard([previous] { qInstallMessageHandler(previous); });

    // The supervisor's output signal reaches the log line by line.
    auto *server = list->networkMonitor->findChild<NetworkSocketServer *>();
    QVERIFY(server);
    emit server->serverOutput(QStringLiteral("ferrow_monitor: one\nferrow_monitor: two\n"));
    QCOMPARE(debugLines, (QStringList{QStringLiteral("collector: ferrow_monitor: one"),
                                      QStringLiteral("collector: ferrow_monitor: two")}));

    // A fresh table, with the clock in the test's hands.
    list.reset();
    list.reset(new ProcessList);
    debugLines.clear();
    const int limit = ProcessList::RelayedLinesPerMinute;
    for (int i = 0; i < limit + 5; ++i)
        list->relayCollectorOutput(QStringLiteral("line %1").arg(i), 1000 + i);
    QCOMPARE(debugLines.size(), limit);
    QCOMPARE(debugLines.last(), QStringLiteral("collector: line %1").arg(limit - 1));
    list->relayCollectorOutput(QStringLiteral("still the same minute"), 60999);
    QCOMPARE(debugLines.size(), limit);
    list->relayCollectorOutput(QStringLiteral("next minute"), 61000);
    QCOMPARE(debugLines.mid(limit), (QStringList{QStringLiteral("collector: … 6 lines suppressed"),
                                                 QStringLiteral("collector: next minute")}));
}

void TestProcessTable::auditFiguresGrowOnlyWhileAnAuditIsEffective_data()
{
    QTest::addColumn<qint32>("flags");
    QTest::addColumn<bool>("counted");
    QTest::newRow("no audit") << 0 << false;
    QTest::newRow("total") << qint32(AuditConfig::TotalAudit) << true;
    QTest::newRow("egress") << qint32(AuditConfig::EgressAudit) << true;
    QTest::newRow("ingress") << qint32(AuditConfig::IngressAudit) << true;
}

void TestProcessTable::auditFiguresGrowOnlyWhileAnAuditIsEffective()
{
    QFETCH(qint32, flags);
    QFETCH(bool, counted);
    list->periodUpload = 1;
    list->periodDownload = 2;
    list->auditConfig.auditFlags = flags;
    list->processNetworkData({report(GonePid, 300, 100), report(GonePid + 1, 30, 10)});

    QCOMPARE(list->periodDownload, counted ? quint64(332) : quint64(2));
    QCOMPARE(list->periodUpload, counted ? quint64(111) : quint64(1));
    QCOMPARE(list->auditTraffic.isEmpty(), !counted);
    if (counted)
        QCOMPARE(list->auditTraffic.value(QStringLiteral("-")).sent, quint64(110));
    // The other tables count regardless.
    QCOMPARE(list->pendingAppTraffic.value(QStringLiteral("-")).recv, quint64(330));

    list->resetAuditData();
    QCOMPARE(list->periodUpload, quint64(0));
    QCOMPARE(list->periodDownload, quint64(0));
    QVERIFY(list->auditTraffic.isEmpty());
}

void TestProcessTable::speedsAreRoundedToHundredths_data()
{
    QTest::addColumn<double>("reported");
    QTest::addColumn<double>("stored");
    QTest::newRow("zero") << 0.0 << 0.0;
    QTest::newRow("two decimals kept") << 12.34 << 12.34;
    QTest::newRow("half rounds up") << 0.125 << 0.13;
    QTest::newRow("below half rounds down") << 3.14159 << 3.14;
    QTest::newRow("negative stores zero") << -5.5 << 0.0;
    QTest::newRow("tiny negative stores zero") << -0.001 << 0.0;
    QTest::newRow("hundredfold beyond 32 bits") << 21474836.47 << 21474836.47;
    QTest::newRow("far beyond 32 bits") << 123456789012.345 << 123456789012.35;
    QTest::newRow("not a number stores zero") << std::numeric_limits<double>::quiet_NaN() << 0.0;
    QTest::newRow("infinity kept") << std::numeric_limits<double>::infinity()
                                   << std::numeric_limits<double>::infinity();
}

void TestProcessTable::speedsAreRoundedToHundredths()
{
    QFETCH(double, reported);
    QFETCH(double, stored);
    QCOMPARE(ProcessList::roundSpeed(reported), stored);
    list->processNetworkData({report(GonePid, 0, 0, reported, reported)});
    QCOMPARE(list->activeProcesses.value(GonePid)->recv_speed, stored);
    QCOMPARE(list->activeProcesses.value(GonePid)->sent_speed, stored);
}

void TestProcessTable::peaksRiseOnlyAboveTheStoredValue()
{
    list->processNetworkData({report(GonePid, 0, 0, 2.5, 1.25)});
    QCOMPARE(list->hourRecord.recv_peak, 3); // halves away from zero
    QCOMPARE(list->hourRecord.sent_peak, 1);
    QCOMPARE(list->hourRecord.total_peak, 4); // 3.75

    list->processNetworkData({report(GonePid, 0, 0, 2.9, 0.5)});
    QCOMPARE(list->hourRecord.recv_peak, 3); // 2.9 does not exceed 3
    QCOMPARE(list->hourRecord.sent_peak, 1);
    QCOMPARE(list->hourRecord.total_peak, 4); // 3.4 does not exceed 4

    list->processNetworkData({report(GonePid, 0, 0, 3.2, 0.1)});
    QCOMPARE(list->hourRecord.recv_peak, 3); // exceeds 3, rounds back to 3
    QCOMPARE(list->hourRecord.total_peak, 4);

    // A stored peak with the top bit set (written as a negative 32-bit value)
    // compares as a large unsigned number and is not replaced.
    list->hourRecord.sent_peak = -5;
    list->processNetworkData({report(GonePid, 0, 0, 0, 1e6)});
    QCOMPARE(list->hourRecord.sent_peak, -5);
    QCOMPARE(list->hourRecord.total_peak, 1000000);
}

void TestProcessTable::negativeSpeedsStoreZeroButCountInTotals()
{
    list->processNetworkData({report(GonePid, 0, 0, 10, 0), report(GonePid + 1, 0, 0, -4, -1)});
    QCOMPARE(list->activeProcesses.value(GonePid + 1)->recv_speed, 0.0);
    QCOMPARE(list->hourRecord.recv_peak, 6);
    QCOMPARE(list->hourRecord.sent_peak, 0); // -1 does not exceed 0
    QCOMPARE(list->hourRecord.total_peak, 5);
}

void TestProcessTable::oversizedSpeedTotalsClampThePeaks()
{
    list->processNetworkData({report(GonePid, 0, 0, 3e9, 1e300), report(GonePid + 1, 0, 0, 3e9, 1e300)});
    const qint32 max = std::numeric_limits<qint32>::max();
    QCOMPARE(list->hourRecord.recv_peak, max);
    QCOMPARE(list->hourRecord.sent_peak, max);
    QCOMPARE(list->hourRecord.total_peak, max);
    list->processNetworkData({report(GonePid, 0, 0, std::numeric_limits<double>::infinity(), 0)});
    QCOMPARE(list->hourRecord.recv_peak, max);

    // A stored peak beyond the clamp (top bit set) is never lowered by it.
    list->hourRecord.sent_peak = -5;  // 4294967291 as unsigned
    list->hourRecord.total_peak = -2; // 4294967294 as unsigned
    list->processNetworkData({report(GonePid, 0, 0, 0, 5e9)});
    QCOMPARE(list->hourRecord.sent_peak, -5);
    QCOMPARE(list->hourRecord.total_peak, -2);
}

void TestProcessTable::clearEmptiesTablesWritesEmptyDocumentsAndKeepsHourAndPeriod()
{
    QProcess child;
    child.start(QStringLiteral("/usr/bin/sleep"), {QStringLiteral("30")});
    QVERIFY(child.waitForStarted());
    const qint32 pid = qint32(child.processId());

    list->auditConfig.auditFlags = AuditConfig::EgressAudit;
    list->processNetworkData({report(pid, 80, 20, 1, 1)});
    list->refreshSnapshots();
    QVERIFY(readFile(ferrow::paths().processInfoFile) != "[]");

    list->activeProcesses[pid]->app = QStringLiteral("stale");
    list->onClearAllProcess();
    QVERIFY(list->activeProcesses.isEmpty());
    QVERIFY(list->processHistory.isEmpty());
    QVERIFY(list->appTraffic.isEmpty());
    QVERIFY(list->pendingAppTraffic.isEmpty());
    QVERIFY(list->auditTraffic.isEmpty());
    QCOMPARE(readFile(ferrow::paths().processInfoFile), QByteArray("[]"));
    QCOMPARE(readFile(ferrow::paths().appInfoFile), QByteArray("[]"));
    QCOMPARE(list->hourRecord.recv, qint64(80));
    QCOMPARE(list->periodUpload, quint64(20));
    QCOMPARE(list->auditConfig.auditFlags, qint32(AuditConfig::EgressAudit));

    // The next report starts a new record and resolves the application again.
    list->processNetworkData({report(pid, 1, 1)});
    QCOMPARE(list->activeProcesses.value(pid)->app, QStringLiteral("toolpkg"));
    QCOMPARE(list->activeProcesses.value(pid)->sum_recv, quint64(1));

    child.kill();
    child.waitForFinished();
}

void TestProcessTable::processDocumentListsHistoryInPidOrder()
{
    list->writeProcessDocument();
    QCOMPARE(readFile(ferrow::paths().processInfoFile), QByteArray("[]"));

    const qint32 self = qint32(QCoreApplication::applicationPid());
    list->processNetworkData({report(GonePid, 5, 6, 1.234, 0), report(self, 1000, 24, 0.5, 12.5)});
    list->processNetworkData({report(self, 1, 1, 2, 3)}); // GonePid leaves activeProcesses
    list->writeProcessDocument();

    const QString selfName = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QByteArray expected = "[{\"pname\":\"" + selfName.toUtf8()
                                + "\",\"recv_speed\":2,\"sent_speed\":3,\"sum_recv\":1001,\"sum_sent\":25,"
                                  "\"sum_total\":1026},"
                                  "{\"pname\":\"\",\"recv_speed\":0,\"sent_speed\":0,\"sum_recv\":5,"
                                  "\"sum_sent\":6,\"sum_total\":11}]";
    QCOMPARE(readFile(ferrow::paths().processInfoFile), expected);
}

void TestProcessTable::appDocumentSpeedsCoverOneInterval()
{
    list->processNetworkData({report(GonePid, 5120, 2560)});
    list->writeAppDocument();
    QCOMPARE(readFile(ferrow::paths().appInfoFile),
             QByteArray("[{\"pkg\":\"-\",\"recv_speed\":1,\"sent_speed\":0.5,\"sum_recv\":5120,\"sum_sent\":2560,"
                        "\"sum_total\":7680}]"));
    QCOMPARE(list->appTraffic.value(QStringLiteral("-")).prevRecv, quint64(5120));

    // Unchanged counters give speeds of 0; 1234 bytes give 0.24 (0.241 rounded).
    list->writeAppDocument();
    QVERIFY(readFile(ferrow::paths().appInfoFile).contains("\"recv_speed\":0,\"sent_speed\":0,"));
    list->processNetworkData({report(GonePid + 1, 1234, 0)});
    list->writeAppDocument();
    QVERIFY(readFile(ferrow::paths().appInfoFile).contains("\"recv_speed\":0.24,\"sent_speed\":0,"));
    // An exact half rounds up: 128 bytes give 0.03 (0.025).
    list->processNetworkData({report(GonePid + 2, 0, 128)});
    list->writeAppDocument();
    QVERIFY(readFile(ferrow::paths().appInfoFile).contains("\"recv_speed\":0,\"sent_speed\":0.03,"));
}

void TestProcessTable::appDocumentListsApplicationsInNameOrderAsUtf8()
{
    // Ascending QString order compares UTF-16 code units: "" < "-" < "B" < "b" < Cyrillic.
    for (const QString &name : {QStringLiteral("b"), QStringLiteral("пакет"), QStringLiteral("B"),
                                QStringLiteral("-"), QString()}) {
        AppTraffic t;
        t.recv = 10;
        list->appTraffic.insert(name, t);
    }
    list->writeAppDocument();
    QByteArray expected = "[";
    for (const char *name : {"", "-", "B", "b", "\xd0\xbf\xd0\xb0\xd0\xba\xd0\xb5\xd1\x82"})
        expected += QByteArray("{\"pkg\":\"") + name
                    + "\",\"recv_speed\":0,\"sent_speed\":0,\"sum_recv\":10,\"sum_sent\":0,\"sum_total\":10},";
    expected.chop(1);
    expected += "]";
    QCOMPARE(readFile(ferrow::paths().appInfoFile), expected);
}

void TestProcessTable::byteCountsBeyond32BitsStayExact()
{
    // Counts are written as integers, exact up to 2^53 (the serialiser's
    // numbers are doubles): no 32-bit cut, no float, no exponent.
    const quint64 big = (quint64(1) << 52) + 1;
    list->processNetworkData({report(GonePid, big, 2)});
    list->refreshSnapshots();
    const QByteArray sums = "\"sum_recv\":4503599627370497,\"sum_sent\":2,\"sum_total\":4503599627370499}]";
    QVERIFY2(readFile(ferrow::paths().processInfoFile).endsWith(sums), readFile(ferrow::paths().processInfoFile).constData());
    QVERIFY2(readFile(ferrow::paths().appInfoFile).endsWith(sums), readFile(ferrow::paths().appInfoFile).constData());
}

void TestProcessTable::unwritableDocumentIsSkippedButIntervalMoves()
{
    list->processNetworkData({report(GonePid, 5120, 0)});
    ferrow::defaults().paths.appInfoFile = dataDir->path() + QStringLiteral("/missing-dir/app_info");
    ferrow::defaults().paths.processInfoFile = dataDir->path() + QStringLiteral("/missing-dir/process_info");
    QTest::ignoreMessage(QtDebugMsg, "Failed to open file AppFerrowDoc");
    QTest::ignoreMessage(QtDebugMsg, "Failed to open file ProcessFerrowDoc");
    list->refreshSnapshots();
    QCOMPARE(list->appTraffic.value(QStringLiteral("-")).prevRecv, quint64(5120));
    QVERIFY(!QFile::exists(ferrow::paths().appInfoFile));
}

void TestProcessTable::documentIsReplacedWholeNotRewrittenInPlace()
{
    list->processNetworkData({report(GonePid, 1, 1)});
    list->writeProcessDocument();
    const QByteArray first = readFile(ferrow::paths().processInfoFile);
    QVERIFY(first.startsWith("[{"));

    // A reader that opened the document keeps reading a whole document while
    // the next one is written.
    const int reader = ::open(QFile::encodeName(ferrow::paths().processInfoFile).constData(), O_RDONLY);
    QVERIFY(reader >= 0);
    list->onClearAllProcess();
    QByteArray seen(4096, '\0');
    const ssize_t n = ::read(reader, seen.data(), size_t(seen.size()));
    ::close(reader);
    QVERIFY(n >= 0);
    seen.resize(int(n));
    QCOMPARE(seen, first);
    QCOMPARE(readFile(ferrow::paths().processInfoFile), QByteArray("[]"));
    // Replacing keeps the documents readable by every user, as files written
    // in place under the daemon's file-creation mask (022) would be.
    const QFile::Permissions all = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                   | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther
                                   | QFile::ExeOther;
    const QFile::Permissions readable = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    QCOMPARE(QFileInfo(ferrow::paths().processInfoFile).permissions() & all, readable);
    QCOMPARE(QFileInfo(ferrow::paths().appInfoFile).permissions() & all, readable);
    // Nothing is left beside the document.
    QCOMPARE(QDir(dataDir->path()).entryList(QDir::Files | QDir::Hidden).filter(QStringLiteral("process_info")),
             QStringList{QStringLiteral("process_info")});
}

void TestProcessTable::aFullDiskLeavesThePreviousDocuments()
{
    // A file system of 64 KiB that a filler file fills to the last block.
    QTemporaryDir disk;
    QVERIFY(disk.isValid());
    QProcess mount;
    mount.start(QStringLiteral("mount"), {"-t", "tmpfs", "-o", "size=64k", "tmpfs", disk.path()});
    QVERIFY(mount.waitForFinished(5000) && mount.exitCode() == 0);
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {disk.path()}); });
    ferrow::defaults().paths.appInfoFile = disk.filePath(QStringLiteral("app_info"));
    ferrow::defaults().paths.processInfoFile = disk.filePath(QStringLiteral("process_info"));

    list->processNetworkData({report(GonePid, 1, 1)});
    list->writeAppDocument();
    list->writeProcessDocument();
    const QByteArray app = readFile(ferrow::paths().appInfoFile);
    const QByteArray process = readFile(ferrow::paths().processInfoFile);
    QVERIFY(app.startsWith("[{") && process.startsWith("[{"));

    QFile filler(disk.filePath(QStringLiteral("filler")));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    while (filler.write(QByteArray(512, 'f')) > 0) {
    }
    list->processNetworkData({report(GonePid, 1000, 1000)});
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to write file .*app_info")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Failed to write file .*process_info")));
    list->writeAppDocument();
    list->writeProcessDocument();
    QCOMPARE(readFile(ferrow::paths().appInfoFile), app);
    QCOMPARE(readFile(ferrow::paths().processInfoFile), process);
    QCOMPARE(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden).size(), 3);

    // Once there is room again, the next documents carry the new figures.
    filler.close();
    QVERIFY(filler.remove());
    list->writeProcessDocument();
    QVERIFY(readFile(ferrow::paths().processInfoFile).contains("\"sum_recv\":1001"));
}

void TestProcessTable::formatSizeUsesBinaryUnits_data()
{
    QTest::addColumn<quint64>("bytes");
    QTest::addColumn<qint32>("maxLevel");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << quint64(0) << 4 << "0.00B";
    QTest::newRow("512") << quint64(512) << 4 << "512.00B";
    QTest::newRow("1023") << quint64(1023) << 4 << "1023.00B";
    QTest::newRow("1024") << quint64(1024) << 4 << "1.00KB";
    QTest::newRow("1536") << quint64(1536) << 4 << "1.50KB";
    QTest::newRow("just below 1 MB") << quint64(1048575) << 4 << "1024.00KB";
    QTest::newRow("1 MB") << quint64(1048576) << 4 << "1.00MB";
    QTest::newRow("1 GB") << (quint64(1) << 30) << 4 << "1.00GB";
    QTest::newRow("1 TB") << (quint64(1) << 40) << 4 << "1.00TB";
    QTest::newRow("1024 TB stays in TB") << (quint64(1) << 50) << 4 << "1024.00TB";
    QTest::newRow("largest count") << std::numeric_limits<quint64>::max() << 4 << "16777216.00TB";
    QTest::newRow("max level 0") << quint64(4096) << 0 << "4096.00B";
    QTest::newRow("max level 1") << quint64(1048576) << 1 << "1024.00KB";
}

void TestProcessTable::formatSizeUsesBinaryUnits()
{
    QFETCH(quint64, bytes);
    QFETCH(qint32, maxLevel);
    QFETCH(QString, text);
    QCOMPARE(ProcessList::formatSize(bytes, maxLevel), text);
}

void TestProcessTable::topAppsFragmentListsTenEscaped()
{
    QCOMPARE(list->topAppsFragment(AuditConfig::TotalAudit), QString());

    for (int i = 1; i <= 12; ++i) {
        AppTraffic t;
        t.recv = quint64(i) * 1024;
        t.sent = 0;
        list->auditTraffic.insert(QStringLiteral("app%1").arg(i, 2, 10, QLatin1Char('0')), t);
    }
    AppTraffic quoted;
    quoted.recv = 1024 * 1024;
    quoted.sent = 512;
    list->auditTraffic.insert(QStringLiteral("we\"ird"), quoted);

    const QString fragment = list->topAppsFragment(AuditConfig::TotalAudit);
    const QString q = QStringLiteral("\\\\\\\"");
    // The name is a string inside the innermost JSON text, so its own
    // quotation mark is escaped once more than the fragment's: three times.
    const QString nameQuote = QString(7, QLatin1Char('\\')) + QLatin1Char('"');
    QVERIFY(fragment.startsWith(QStringLiteral("{") + q + "app" + q + ":" + q + "we" + nameQuote + "ird" + q + "," + q
                                + "total" + q + ":" + q + "1.00MB" + q + "," + q + "upload" + q + ":" + q
                                + "512.00B" + q + "," + q + "download" + q + ":" + q + "1.00MB" + q + "},"));
    QCOMPARE(fragment.count(QStringLiteral("},")), 9);
    QVERIFY(fragment.endsWith(q + QStringLiteral("4.00KB") + q + QStringLiteral("}")));
    QVERIFY(!fragment.contains(QStringLiteral("app03")));

    // After two levels of JSON string unescaping the fragment reads as the
    // body of a JSON array, and every name arrives unchanged.
    QString text = fragment;
    for (int level = 0; level < 2; ++level) {
        const QJsonDocument wrapped = QJsonDocument::fromJson(("[\"" + text + "\"]").toUtf8());
        QVERIFY2(wrapped.isArray(), qPrintable(text));
        text = wrapped.array().at(0).toString();
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(("[" + text + "]").toUtf8(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.array().size(), 10);
    QCOMPARE(doc.array().at(0).toObject().value(QStringLiteral("app")).toString(), QStringLiteral("we\"ird"));
    const QJsonObject top = doc.array().at(1).toObject();
    QCOMPARE(top.value(QStringLiteral("app")).toString(), QStringLiteral("app12"));
    QCOMPARE(top.value(QStringLiteral("total")).toString(), QStringLiteral("12.00KB"));
    QCOMPARE(top.value(QStringLiteral("upload")).toString(), QStringLiteral("0.00B"));
    QCOMPARE(top.value(QStringLiteral("download")).toString(), QStringLiteral("12.00KB"));
}

void TestProcessTable::topAppsFragmentSortsByTheAuditKind_data()
{
    QTest::addColumn<qint32>("type");
    QTest::addColumn<QString>("first");
    QTest::newRow("total") << qint32(AuditConfig::TotalAudit) << "both";
    QTest::newRow("egress") << qint32(AuditConfig::EgressAudit) << "sender";
    QTest::newRow("ingress") << qint32(AuditConfig::IngressAudit) << "receiver";
    QTest::newRow("other kinds sort like ingress") << 0 << "receiver";
}

void TestProcessTable::topAppsFragmentSortsByTheAuditKind()
{
    QFETCH(qint32, type);
    QFETCH(QString, first);
    list->auditTraffic.insert(QStringLiteral("sender"), AppTraffic{0, 900, 0, 0});
    list->auditTraffic.insert(QStringLiteral("receiver"), AppTraffic{1000, 0, 0, 0});
    list->auditTraffic.insert(QStringLiteral("both"), AppTraffic{600, 600, 0, 0});
    const QString q = QStringLiteral("\\\\\\\"");
    QVERIFY2(list->topAppsFragment(type).startsWith(QStringLiteral("{") + q + "app" + q + ":" + q + first + q),
             qPrintable(list->topAppsFragment(type)));
    QCOMPARE(list->topAppsFragment(type).count(QStringLiteral("{")), 3);
}

QTEST_GUILESS_MAIN(TestProcessTable)
#include "tst_processtable.moc"

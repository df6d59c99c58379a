// The commands run in process on a small fixed database, real settings
// files and real live documents in a temporary directory, at a fixed time.
#include "ctl.h"
#include "defaults.h"
#include "trafficstats.h"

#include "testdatabase.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using namespace ferrowctl;

namespace {

const qint64 MiB = qint64(1) << 20;
const qint64 GiB = qint64(1) << 30;
// 2024-05-10 16:00 in Berlin (14:00 UTC).
const qint64 kNow = 1715349600;
// 2024-05-10 08:00 in Berlin: the last audit settings change.
const qint64 kStamp = 1715320800;

struct Result {
    int code;
    QString out;
    QString err;
};

Result ctl(const QStringList &args, bool colour = false)
{
    Io io;
    io.colour = colour;
    io.terminal = colour;
    const int code = run(args, io);
    return {code, QString::fromUtf8(io.out), QString::fromUtf8(io.err)};
}

QJsonObject json(const Result &r)
{
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray fileHash(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

} // namespace

class tst_Ferrowctl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void statusShowsDaemonAuditsDatabaseAndLiveTop();
    void statusJsonHasStableMembers();
    void topOfPastDaysSumsUtcDatesBeforeToday();
    void topSortsAndLimits();
    void topTodayComesFromTheLiveDocument();
    void hoursListTheLocalDatesAskedWithBars();
    void daysSumTheHoursOfEachLocalDate();
    void liveSnapshotSortsBySpeed();
    void reportWithoutMarkEqualsTheDaemonsReportAndMarksNothing();
    void reportWithMarkIsTheDaemonsReportAndMarks();
    void countingAndAuditSettersWriteThroughTheStore();
    void badSizesAndPeriodsAreRefusedWithTheUsageLine_data();
    void badSizesAndPeriodsAreRefusedWithTheUsageLine();
    void checkFollowsThePluginConvention_data();
    void checkFollowsThePluginConvention();
    void metricsLabelTwentyPackagesAndSumTheRest();
    void metricsTextfileIsReplacedWhole();
    void databaseFailuresGiveTheirExitCodes();
    void aDatabaseTheDaemonHasNotWrittenYetReadsAsEmpty();
    void aLockedDatabaseIsReportedAsLocked();
    void settingsFailuresGiveTheirExitCode();
    void aStoppedDaemonIsReported();
    void readingCommandsLeaveTheDatabaseAsItWas();
    void colourOnlyWhenAsked();

private:
    QString path(const char *name) const { return m_dir->filePath(QLatin1String(name)); }
    void writeSettings(int size, int egressStatus = 0);
    void setDaemonRunning(bool running);
    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_Ferrowctl::initTestCase()
{
    setTimeZone("Europe/Berlin");
    ferrow::defaults().clock = [] { return QDateTime::fromSecsSinceEpoch(kNow); };
}

void tst_Ferrowctl::writeSettings(int size, int egressStatus)
{
    writeFile(ferrow::paths().settingsFile,
              QStringLiteral("[RivletMonitor]\nFERROW_COUNT_STATUS=1\nFERROW_ALARM_STATUS=1\nFERROW_ALARM_SIZE=%1\n"
                             "FERROW_ALARM_PERIOD=24\nFERROW_EGRESS_ALARM_STATUS=%2\nFERROW_EGRESS_ALARM_SIZE=1\n"
                             "FERROW_ALARM_TIMESTAMP=%3\n")
                  .arg(size)
                  .arg(egressStatus)
                  .arg(kStamp)
                  .toUtf8());
}

void tst_Ferrowctl::setDaemonRunning(bool running)
{
    QDir proc(ferrow::paths().procDir);
    if (!running) {
        QDir(proc.filePath(QStringLiteral("4242"))).removeRecursively();
        return;
    }
    QVERIFY(proc.mkpath(QStringLiteral("4242")));
    writeFile(proc.filePath(QStringLiteral("4242/comm")), "ferrow-monitor\n");
    // Started 1 s (100 ticks) after boot: 07:46:41 local, before the settings' stamp.
    writeFile(proc.filePath(QStringLiteral("4242/stat")),
              "4242 (ferrow-monitor) S 1 4242 4242 0 -1 4194560 1 0 0 0 0 0 0 0 20 0 1 0 100 0 0\n");
    writeFile(proc.filePath(QStringLiteral("stat")), "cpu 1 2 3\nbtime 1715320000\n");
}

void tst_Ferrowctl::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    ferrow::defaults().paths = ferrow::Paths(m_dir->path());
    ferrow::defaults().paths.procDir = path("proc");
    QVERIFY(QDir().mkpath(path("proc")));
    // Another process that is not the daemon.
    QVERIFY(QDir().mkpath(path("proc/17")));
    writeFile(path("proc/17/comm"), "bash\n");
    setDaemonRunning(true);
    writeSettings(10);

    TestDatabase db(ferrow::paths().databaseFile);
    QVERIFY(db.createTables());
    // UTC dates: today (2024-05-10) and 2024-05-02 lie outside --days 7.
    QVERIFY(db.insertApp(QStringLiteral("firefox-esr"), QDate(2024, 5, 9), 3 * GiB, 200 * MiB));
    QVERIFY(db.insertApp(QStringLiteral("firefox-esr"), QDate(2024, 5, 8), 5 * GiB, 1 * MiB));
    QVERIFY(db.insertApp(QStringLiteral("-"), QDate(2024, 5, 9), 300 * MiB, 20 * MiB));
    QVERIFY(db.insertApp(QStringLiteral("apt"), QDate(2024, 5, 3), 10 * MiB, 900 * MiB));
    QVERIFY(db.insertApp(QStringLiteral("firefox-esr"), QDate(2024, 5, 10), 1 * GiB, 0));
    QVERIFY(db.insertApp(QStringLiteral("openssh-client"), QDate(2024, 5, 2), 50 * GiB, 0));
    QVERIFY(db.insertHour(QStringLiteral("2024-05-09 23:00"), 60, 100 * MiB, 10 * MiB, 900, 90, 950, 1));
    QVERIFY(db.insertHour(QStringLiteral("2024-05-10 07:00"), 60, 1 * GiB, 100 * MiB, 2000, 300, 2100));
    QVERIFY(db.insertHour(QStringLiteral("2024-05-10 09:00"), 60, 2 * GiB, 200 * MiB, 4000, 400, 4200));
    QVERIFY(db.insertHour(QStringLiteral("2024-05-10 16:00"), 5, 10 * MiB, 1 * MiB, 100, 10, 110));

    writeFile(ferrow::paths().appInfoFile,
              "[{\"pkg\":\"-\",\"recv_speed\":1,\"sent_speed\":0.5,\"sum_recv\":5120,\"sum_sent\":2560,\"sum_total\":7680},"
              "{\"pkg\":\"apt\",\"recv_speed\":0,\"sent_speed\":0,\"sum_recv\":1048576,\"sum_sent\":9437184,\"sum_total\":10485760},"
              "{\"pkg\":\"firefox-esr\",\"recv_speed\":120.5,\"sent_speed\":3.25,\"sum_recv\":734003200,"
              "\"sum_sent\":10485760,\"sum_total\":744488960}]");
    writeFile(ferrow::paths().processInfoFile,
              "[{\"pname\":\"apt-get\",\"recv_speed\":0,\"sent_speed\":0,\"sum_recv\":1048576,\"sum_sent\":9437184,\"sum_total\":10485760},"
              "{\"pname\":\"firefox-esr\",\"recv_speed\":120.5,\"sent_speed\":3.25,\"sum_recv\":734003200,"
              "\"sum_sent\":10485760,\"sum_total\":744488960}]");
}

void tst_Ferrowctl::statusShowsDaemonAuditsDatabaseAndLiveTop()
{
    const Result r = ctl({});
    QCOMPARE(r.code, int(ExitOk));
    QCOMPARE(r.err, QString());
    const QString size = QStringLiteral("%1 KiB").arg(QFileInfo(ferrow::paths().databaseFile).size() / 1024.0, 0, 'f', 1);
    // The period began with the settings' stamp (08:00), after the daemon's
    // start; its traffic is the 09:00 and 16:00 rows.
    const QString expected = QStringLiteral(
        "ferrow-monitor  running (pid 4242, started 2024-05-10 07:46)\n"
        "counting        on\n"
        "audit period    24 h, this one since 2024-05-10 08:00\n"
        "total audit     10.0 GiB per 24 h: 2.21 GiB so far (22%)\n"
        "egress audit    off\n"
        "ingress audit   off\n"
        "database        %1, %2, newest hour 2024-05-10 16:00\n"
        "\n"
        "Top applications since the daemon started counting\n"
        "  PACKAGE           RECEIVED      SENT     TOTAL      DOWN/S        UP/S\n"
        "  firefox-esr        700 MiB  10.0 MiB   710 MiB   121 KiB/s  3.25 KiB/s\n"
        "  apt               1.00 MiB  9.00 MiB  10.0 MiB       0 B/s       0 B/s\n"
        "  - (unattributed)  5.00 KiB  2.50 KiB  7.50 KiB  1.00 KiB/s     512 B/s\n")
                                 .arg(ferrow::paths().databaseFile, size);
    QCOMPARE(r.out, expected);
}

void tst_Ferrowctl::statusJsonHasStableMembers()
{
    const Result r = ctl({QStringLiteral("--json")});
    QCOMPARE(r.code, int(ExitOk));
    const QJsonObject o = json(r);
    QCOMPARE(o.value(QStringLiteral("format_version")).toInt(), 1);
    QCOMPARE(o.value(QStringLiteral("daemon")).toObject().value(QStringLiteral("pid")).toInt(), 4242);
    QCOMPARE(o.value(QStringLiteral("daemon")).toObject().value(QStringLiteral("started")).toString(),
             QStringLiteral("2024-05-10T07:46:41+02:00"));
    QCOMPARE(o.value(QStringLiteral("period_start")).toString(), QStringLiteral("2024-05-10T08:00:00+02:00"));
    const QJsonObject total = o.value(QStringLiteral("audits")).toArray().at(0).toObject();
    QCOMPARE(total.value(QStringLiteral("direction")).toString(), QStringLiteral("total"));
    QCOMPARE(total.value(QStringLiteral("period_bytes")).toVariant().toLongLong(), 2 * GiB + 200 * MiB + 11 * MiB);
    QCOMPARE(total.value(QStringLiteral("threshold_bytes")).toVariant().toLongLong(), 10 * GiB);
    QCOMPARE(total.value(QStringLiteral("alarm")).toBool(), false);
    const QJsonObject database = o.value(QStringLiteral("database")).toObject();
    QCOMPARE(database.value(QStringLiteral("newest_hour")).toString(), QStringLiteral("2024-05-10T16:00:00+02:00"));
    QCOMPARE(database.value(QStringLiteral("size_bytes")).toVariant().toLongLong(),
             QFileInfo(ferrow::paths().databaseFile).size());
    const QJsonArray top = o.value(QStringLiteral("top_applications")).toArray();
    QCOMPARE(top.size(), 3);
    QCOMPARE(top.at(0).toObject().value(QStringLiteral("package")).toString(), QStringLiteral("firefox-esr"));
    QCOMPARE(top.at(0).toObject().value(QStringLiteral("total_bytes")).toVariant().toLongLong(), qint64(744488960));
}

void tst_Ferrowctl::topOfPastDaysSumsUtcDatesBeforeToday()
{
    const Result r = ctl({QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("7")});
    QCOMPARE(r.code, int(ExitOk));
    QCOMPARE(r.out, QStringLiteral("Top applications over 7 days, 2024-05-03 to 2024-05-09 (UTC dates, today excluded)\n"
                                   "  PACKAGE           RECEIVED      SENT     TOTAL\n"
                                   "  firefox-esr       8.00 GiB   201 MiB  8.20 GiB\n"
                                   "  apt               10.0 MiB   900 MiB   910 MiB\n"
                                   "  - (unattributed)   300 MiB  20.0 MiB   320 MiB\n"));
    const QJsonObject o = json(ctl({QStringLiteral("top"), QStringLiteral("--days=8"), QStringLiteral("--json")}));
    QCOMPARE(o.value(QStringLiteral("source")).toString(), QStringLiteral("app_data"));
    QCOMPARE(o.value(QStringLiteral("dates_are_utc")).toBool(), true);
    QCOMPARE(o.value(QStringLiteral("first_date")).toString(), QStringLiteral("2024-05-02"));
    const QJsonObject first = o.value(QStringLiteral("applications")).toArray().at(0).toObject();
    QCOMPARE(first.value(QStringLiteral("package")).toString(), QStringLiteral("openssh-client"));
    QCOMPARE(first.value(QStringLiteral("received_bytes")).toVariant().toLongLong(), 50 * GiB);
}

void tst_Ferrowctl::topSortsAndLimits()
{
    const QJsonObject o = json(ctl({QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("7"), QStringLiteral("--sort"),
                                    QStringLiteral("sent"), QStringLiteral("-n"), QStringLiteral("2"), QStringLiteral("--json")}));
    const QJsonArray apps = o.value(QStringLiteral("applications")).toArray();
    QCOMPARE(apps.size(), 2);
    QCOMPARE(apps.at(0).toObject().value(QStringLiteral("package")).toString(), QStringLiteral("apt"));
    QCOMPARE(apps.at(1).toObject().value(QStringLiteral("package")).toString(), QStringLiteral("firefox-esr"));
    const QJsonObject byRecv = json(ctl({QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("7"),
                                         QStringLiteral("--sort"), QStringLiteral("received"), QStringLiteral("--json")}));
    QCOMPARE(byRecv.value(QStringLiteral("applications")).toArray().at(2).toObject().value(QStringLiteral("package")).toString(),
             QStringLiteral("apt"));
}

void tst_Ferrowctl::topTodayComesFromTheLiveDocument()
{
    const Result r = ctl({QStringLiteral("top"), QStringLiteral("--sort"), QStringLiteral("sent"), QStringLiteral("--json")});
    QCOMPARE(r.code, int(ExitOk));
    const QJsonObject o = json(r);
    QCOMPARE(o.value(QStringLiteral("source")).toString(), QStringLiteral("app_info"));
    const QJsonObject first = o.value(QStringLiteral("applications")).toArray().at(0).toObject();
    QCOMPARE(first.value(QStringLiteral("package")).toString(), QStringLiteral("firefox-esr"));
    QCOMPARE(first.value(QStringLiteral("sent_kib_per_second")).toDouble(), 3.25);
    QCOMPARE(o.value(QStringLiteral("applications")).toArray().at(1).toObject().value(QStringLiteral("package")).toString(),
             QStringLiteral("apt"));
}

void tst_Ferrowctl::hoursListTheLocalDatesAskedWithBars()
{
    const Result today = ctl({QStringLiteral("hours")});
    QCOMPARE(today.code, int(ExitOk));
    const QStringList lines = today.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5); // title, header, three hours of today
    QCOMPARE(lines.at(0), QStringLiteral("Hours from 2024-05-10 00:00 to 2024-05-10 16:00 (local time)"));
    QCOMPARE(lines.at(1), QStringLiteral("  HOUR              MIN  RECEIVED      SENT     TOTAL    AVG DOWN      AVG UP   PEAK DOWN     PEAK UP"
                                         "        PEAK  TOTAL"));
    QCOMPARE(lines.at(3), QStringLiteral("  2024-05-10 09:00   60  2.00 GiB   200 MiB  2.20 GiB   583 KiB/s  56.9 KiB/s  3.91 MiB/s   400 KiB/s"
                                         "  4.10 MiB/s  ####################"));
    QVERIFY(lines.at(2).endsWith(QStringLiteral("  ##########")));
    QVERIFY(lines.at(4).endsWith(QStringLiteral("  #")));

    const QJsonObject o = json(ctl({QStringLiteral("hours"), QStringLiteral("--days"), QStringLiteral("2"), QStringLiteral("--json")}));
    const QJsonArray hours = o.value(QStringLiteral("hours")).toArray();
    QCOMPARE(hours.size(), 4);
    const QJsonObject first = hours.at(0).toObject();
    QCOMPARE(first.value(QStringLiteral("start")).toString(), QStringLiteral("2024-05-09T23:00:00+02:00"));
    QCOMPARE(first.value(QStringLiteral("reported")).toBool(), true);
    const QJsonObject last = hours.at(3).toObject();
    QCOMPARE(last.value(QStringLiteral("minutes")).toInt(), 5);
    QCOMPARE(last.value(QStringLiteral("average_received_bytes_per_second")).toInt(), int(10 * MiB / 300));
    QCOMPARE(last.value(QStringLiteral("peak_total_kib_per_second")).toInt(), 110);
}

void tst_Ferrowctl::daysSumTheHoursOfEachLocalDate()
{
    const Result r = ctl({QStringLiteral("days"), QStringLiteral("--days"), QStringLiteral("2")});
    QCOMPARE(r.code, int(ExitOk));
    QCOMPARE(r.out, QStringLiteral("Days from 2024-05-09 to 2024-05-10 (local dates)\n"
                                   "  DATE        HOURS  RECEIVED      SENT     TOTAL  TOTAL\n"
                                   "  2024-05-09      1   100 MiB  10.0 MiB   110 MiB  #\n"
                                   "  2024-05-10      3  3.01 GiB   301 MiB  3.30 GiB  ####################\n"));
    const QJsonObject o = json(ctl({QStringLiteral("days"), QStringLiteral("--json")}));
    const QJsonArray days = o.value(QStringLiteral("days")).toArray();
    QCOMPARE(o.value(QStringLiteral("first_date")).toString(), QStringLiteral("2024-05-04"));
    QCOMPARE(days.size(), 2);
    QCOMPARE(days.at(1).toObject().value(QStringLiteral("total_bytes")).toVariant().toLongLong(),
             3 * GiB + 10 * MiB + 301 * MiB);
}

void tst_Ferrowctl::liveSnapshotSortsBySpeed()
{
    const Result r = ctl({QStringLiteral("live")});
    QCOMPARE(r.code, int(ExitOk));
    const QStringList lines = r.out.split(QLatin1Char('\n'));
    QCOMPARE(lines.at(0), QStringLiteral("ferrowctl live  2024-05-10 16:00:00  down 122 KiB/s  up 3.75 KiB/s  3 applications, 2 processes"));
    // By current speed, not by total: "-" (1.5 KiB/s) before apt (0 B/s, 10 MiB).
    QVERIFY(lines.at(3).startsWith(QStringLiteral("firefox-esr")));
    QVERIFY(lines.at(4).startsWith(QStringLiteral("- (unattributed)")));
    QVERIFY(lines.at(5).startsWith(QStringLiteral("apt ")));
    QVERIFY(lines.at(8).startsWith(QStringLiteral("firefox-esr")));
    QVERIFY(lines.at(9).startsWith(QStringLiteral("apt-get")));
    const QJsonObject o = json(ctl({QStringLiteral("live"), QStringLiteral("--json")}));
    QCOMPARE(o.value(QStringLiteral("processes")).toArray().at(0).toObject().value(QStringLiteral("process")).toString(),
             QStringLiteral("apt-get"));
    QCOMPARE(o.value(QStringLiteral("time")).toString(), QStringLiteral("2024-05-10T16:00:00+02:00"));
}

void tst_Ferrowctl::reportWithoutMarkEqualsTheDaemonsReportAndMarksNothing()
{
    const Result unmarked = ctl({QStringLiteral("report")});
    QCOMPARE(unmarked.code, int(ExitOk));
    TestDatabase db(ferrow::paths().databaseFile);
    QCOMPARE(db.rows(QStringLiteral("SELECT COUNT(*) FROM hour_data WHERE report_status=0")), QStringList{QStringLiteral("3")});
    char *text = buildTrafficReportAt(time_t(kNow));
    const QByteArray daemons(text);
    cJSON_free(text);
    QCOMPARE(unmarked.out.toUtf8(), daemons);
    // The hours before 15:00 are marked now; the report carries the other two parts only.
    QCOMPARE(db.rows(QStringLiteral("SELECT COUNT(*) FROM hour_data WHERE report_status=0")), QStringList{QStringLiteral("1")});
    const Result again = ctl({QStringLiteral("report")});
    QVERIFY(again.out.startsWith(QStringLiteral("{\"hour\":[],\"top10\":{\"7day\":[{\"app\":\"firefox-esr\"")));
}

void tst_Ferrowctl::reportWithMarkIsTheDaemonsReportAndMarks()
{
    const Result unmarked = ctl({QStringLiteral("report")});
    const Result marked = ctl({QStringLiteral("report"), QStringLiteral("--mark")});
    QCOMPARE(marked.code, int(ExitOk));
    QCOMPARE(marked.out, unmarked.out);
    QVERIFY(marked.out.contains(QStringLiteral("\"time\":\"2024-05-10 09:00\"")));
    TestDatabase db(ferrow::paths().databaseFile);
    QCOMPARE(db.rows(QStringLiteral("SELECT time FROM hour_data WHERE report_status=0")),
             QStringList{QStringLiteral("2024-05-10 16:00")});
    // Nothing is left to report: the next marked report carries no hours.
    const Result second = ctl({QStringLiteral("report"), QStringLiteral("--mark")});
    QCOMPARE(second.code, int(ExitOk));
    QVERIFY(second.out.startsWith(QStringLiteral("{\"hour\":[],")));
}

void tst_Ferrowctl::countingAndAuditSettersWriteThroughTheStore()
{
    ferrow::defaults().clock = [] { return QDateTime::fromSecsSinceEpoch(kNow + 60); };
    auto settings = [] {
        QSettings s(ferrow::paths().settingsFile, QSettings::IniFormat);
        s.beginGroup(QStringLiteral("RivletMonitor"));
        return s.value(QStringLiteral("FERROW_COUNT_STATUS")).toString() + QLatin1Char(' ')
               + s.value(QStringLiteral("FERROW_EGRESS_ALARM_STATUS")).toString() + QLatin1Char(' ')
               + s.value(QStringLiteral("FERROW_EGRESS_ALARM_SIZE")).toString() + QLatin1Char(' ')
               + s.value(QStringLiteral("FERROW_ALARM_PERIOD")).toString() + QLatin1Char(' ')
               + s.value(QStringLiteral("FERROW_ALARM_STATUS")).toString() + QLatin1Char(' ')
               + s.value(QStringLiteral("FERROW_ALARM_TIMESTAMP")).toString();
    };
    Result r = ctl({QStringLiteral("counting"), QStringLiteral("off")});
    QCOMPARE(r.code, int(ExitOk));
    QCOMPARE(r.out, QStringLiteral("counting off\n"));
    // Counting carries no time stamp of its own.
    QCOMPARE(settings(), QStringLiteral("0 0 1 24 1 %1").arg(kStamp));

    r = ctl({QStringLiteral("audit"), QStringLiteral("set"), QStringLiteral("egress"), QStringLiteral("--size"),
             QStringLiteral("5"), QStringLiteral("--period"), QStringLiteral("12")});
    QCOMPARE(r.code, int(ExitOk));
    QCOMPARE(r.out, QStringLiteral("egress audit on: 5.00 GiB per 12 h\n"));
    QVERIFY(r.err.contains(QStringLiteral("the period of the total audit is now 12 h too")));
    QCOMPARE(settings(), QStringLiteral("0 1 5 12 1 %1").arg(kNow + 60));

    // Without --period the shared period stays.
    QVERIFY(ctl({QStringLiteral("audit"), QStringLiteral("set"), QStringLiteral("total"), QStringLiteral("--size=7")}).code == ExitOk);
    QCOMPARE(settings(), QStringLiteral("0 1 5 12 1 %1").arg(kNow + 60));

    r = ctl({QStringLiteral("audit"), QStringLiteral("off")});
    QCOMPARE(r.out, QStringLiteral("total audit off\negress audit off\ningress audit off\n"));
    QCOMPARE(settings(), QStringLiteral("0 0 5 12 0 %1").arg(kNow + 60));
    QCOMPARE(ctl({QStringLiteral("counting"), QStringLiteral("on")}).code, int(ExitOk));
    QVERIFY(settings().startsWith(QStringLiteral("1 ")));

    const Result shown = ctl({QStringLiteral("audit"), QStringLiteral("show"), QStringLiteral("--json")});
    QCOMPARE(json(shown).value(QStringLiteral("period_hours")).toInt(), 12);
    QCOMPARE(json(shown).value(QStringLiteral("audits")).toArray().at(0).toObject().value(QStringLiteral("threshold_bytes")).toVariant().toLongLong(),
             7 * GiB);
    ferrow::defaults().clock = [] { return QDateTime::fromSecsSinceEpoch(kNow); };
}

void tst_Ferrowctl::badSizesAndPeriodsAreRefusedWithTheUsageLine_data()
{
    QTest::addColumn<QStringList>("args");
    const QString a = QStringLiteral("audit");
    const QString s = QStringLiteral("set");
    const QString t = QStringLiteral("total");
    const QString size = QStringLiteral("--size");
    const QString period = QStringLiteral("--period");
    QTest::newRow("zero size") << QStringList{a, s, t, size, QStringLiteral("0")};
    QTest::newRow("negative size") << QStringList{a, s, t, size, QStringLiteral("-3")};
    QTest::newRow("fractional size") << QStringList{a, s, t, size, QStringLiteral("1.5")};
    QTest::newRow("size with unit") << QStringList{a, s, t, size, QStringLiteral("10GB")};
    QTest::newRow("huge size") << QStringList{a, s, t, size, QStringLiteral("99999999999")};
    QTest::newRow("no size") << QStringList{a, s, t, period, QStringLiteral("3")};
    QTest::newRow("zero period") << QStringList{a, s, t, size, QStringLiteral("3"), period, QStringLiteral("0")};
    QTest::newRow("word period") << QStringList{a, s, t, size, QStringLiteral("3"), period, QStringLiteral("day")};
    QTest::newRow("long period") << QStringList{a, s, t, size, QStringLiteral("3"), period, QStringLiteral("87601")};
    QTest::newRow("bad direction") << QStringList{a, s, QStringLiteral("both"), size, QStringLiteral("3")};
    QTest::newRow("unknown option") << QStringList{QStringLiteral("top"), QStringLiteral("--weeks"), QStringLiteral("2")};
    QTest::newRow("unknown command") << QStringList{QStringLiteral("stats")};
    QTest::newRow("bad sort") << QStringList{QStringLiteral("top"), QStringLiteral("--sort"), QStringLiteral("speed")};
    QTest::newRow("bad days") << QStringList{QStringLiteral("hours"), QStringLiteral("--days"), QStringLiteral("-1")};
    QTest::newRow("missing value") << QStringList{QStringLiteral("days"), QStringLiteral("--days")};
    QTest::newRow("both windows") << QStringList{QStringLiteral("top"), QStringLiteral("--today"), QStringLiteral("--days"), QStringLiteral("3")};
    QTest::newRow("counting maybe") << QStringList{QStringLiteral("counting"), QStringLiteral("maybe")};
}

void tst_Ferrowctl::badSizesAndPeriodsAreRefusedWithTheUsageLine()
{
    QFETCH(QStringList, args);
    const QByteArray before = fileHash(ferrow::paths().settingsFile);
    const Result r = ctl(args);
    QCOMPARE(r.code, int(ExitUsage));
    QCOMPARE(r.out, QString());
    const QStringList lines = r.err.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(0).startsWith(QStringLiteral("ferrowctl: ")));
    QVERIFY(lines.at(1).startsWith(QStringLiteral("usage: ferrowctl")));
    QCOMPARE(fileHash(ferrow::paths().settingsFile), before);
}

void tst_Ferrowctl::checkFollowsThePluginConvention_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("line");
    // 2.21 GiB so far in the period.
    const QString since = QStringLiteral(" in the 24 h period since 2024-05-10 08:00 | total=2368733184B;");
    QTest::newRow("ok") << 10 << QString() << 0
                        << QStringLiteral("FERROW OK - total 2.21 GiB of 10.0 GiB (22%)") + since + QStringLiteral("8589934592;10737418240;0;10737418240");
    QTest::newRow("below the default warning") << 3 << QString() << 0
                                               << QStringLiteral("FERROW OK - total 2.21 GiB of 3.00 GiB (74%)") + since + QStringLiteral("2576980377;3221225472;0;3221225472");
    QTest::newRow("above a lower warning") << 3 << QStringLiteral("0.7") << 1
                                           << QStringLiteral("FERROW WARNING - total 2.21 GiB of 3.00 GiB (74%)") + since + QStringLiteral("2254857830;3221225472;0;3221225472");
    QTest::newRow("critical") << 2 << QString() << 2
                              << QStringLiteral("FERROW CRITICAL - total 2.21 GiB of 2.00 GiB (110%)") + since + QStringLiteral("1717986918;2147483648;0;2147483648");
    QTest::newRow("bad warning") << 10 << QStringLiteral("80") << 3 << QString();
}

void tst_Ferrowctl::checkFollowsThePluginConvention()
{
    QFETCH(int, size);
    QFETCH(QString, warning);
    QFETCH(int, code);
    QFETCH(QString, line);
    writeSettings(size);
    QStringList args{QStringLiteral("check")};
    if (!warning.isEmpty())
        args << QStringLiteral("--warning") << warning;
    const Result r = ctl(args);
    QCOMPARE(r.code, code);
    if (!line.isEmpty())
        QCOMPARE(r.out, line + QLatin1Char('\n'));
}

void tst_Ferrowctl::metricsLabelTwentyPackagesAndSumTheRest()
{
    QByteArray doc = "[{\"pkg\":\"-\",\"recv_speed\":0,\"sent_speed\":0,\"sum_recv\":1000000,\"sum_sent\":1,\"sum_total\":1000001},"
                     "{\"pkg\":\"\",\"recv_speed\":0,\"sent_speed\":0,\"sum_recv\":5,\"sum_sent\":0,\"sum_total\":5}";
    for (int i = 1; i <= 25; ++i)
        doc += QStringLiteral(",{\"pkg\":\"pkg%1\",\"recv_speed\":0,\"sent_speed\":0,\"sum_recv\":%2,\"sum_sent\":%3,\"sum_total\":%4}")
                   .arg(i, 2, 10, QLatin1Char('0'))
                   .arg(i * 100)
                   .arg(i)
                   .arg(i * 101)
                   .toUtf8();
    writeFile(ferrow::paths().appInfoFile, doc + "]");
    const Result r = ctl({QStringLiteral("metrics")});
    QCOMPARE(r.code, int(ExitOk));
    const QStringList received = r.out.split(QLatin1Char('\n')).filter(QStringLiteral("ferrow_package_received_bytes_total{"));
    QCOMPARE(received.size(), 21);
    QCOMPARE(received.first(), QStringLiteral("ferrow_package_received_bytes_total{package=\"unattributed\"} 1000005"));
    // pkg01..pkg06 (the six smallest) go into "other".
    QVERIFY(!r.out.contains(QStringLiteral("\"pkg06\"")));
    QVERIFY(r.out.contains(QStringLiteral("{package=\"pkg07\"}")));
    QCOMPARE(received.last(), QStringLiteral("ferrow_package_received_bytes_total{package=\"other\"} 2100"));
    QVERIFY(r.out.contains(QStringLiteral("ferrow_package_transmitted_bytes_total{package=\"other\"} 21\n")));
    QVERIFY(r.out.contains(QStringLiteral("ferrow_audit_period_bytes{direction=\"total\"} 2368733184\n")));
    QVERIFY(r.out.contains(QStringLiteral("ferrow_current_hour_received_bytes 10485760\n")));
    QVERIFY(r.out.contains(QStringLiteral("ferrow_build_info{version=\"%1\"} 1\n").arg(QString::fromLatin1(version()))));
}

void tst_Ferrowctl::metricsTextfileIsReplacedWhole()
{
    QVERIFY(QDir().mkpath(path("textfile")));
    writeFile(path("textfile/ferrow.prom"), "old\n");
    const Result r = ctl({QStringLiteral("metrics"), QStringLiteral("--textfile"), path("textfile")});
    QCOMPARE(r.code, int(ExitOk));
    QCOMPARE(QDir(path("textfile")).entryList(QDir::Files), QStringList{QStringLiteral("ferrow.prom")});
    QFile file(path("textfile/ferrow.prom"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(file.readAll()), ctl({QStringLiteral("metrics")}).out);

    // A database that cannot be read leaves the previous file.
    QFile::remove(ferrow::paths().databaseFile);
    QCOMPARE(ctl({QStringLiteral("metrics"), QStringLiteral("--textfile"), path("textfile")}).code, int(ExitNoDatabase));
    QVERIFY(QFileInfo(path("textfile/ferrow.prom")).size() > 100);
    QCOMPARE(ctl({QStringLiteral("metrics"), QStringLiteral("--textfile"), path("nowhere")}).code, int(ExitFailure));
}

void tst_Ferrowctl::databaseFailuresGiveTheirExitCodes()
{
    const QStringList readers[] = {{}, {QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("3")},
                                   {QStringLiteral("hours")}, {QStringLiteral("days")}, {QStringLiteral("report")},
                                   {QStringLiteral("report"), QStringLiteral("--mark")}, {QStringLiteral("metrics")}};
    const QString db = ferrow::paths().databaseFile;
    struct Case {
        QByteArray contents; // empty: no file
        int code;
        QString text;
    };
    QByteArray foreign;
    {
        const QString other = path("other.db");
        TestDatabase otherDb(other);
        QVERIFY(otherDb.exec(QStringLiteral("CREATE TABLE hour_data (time TEXT);")));
        QFile f(other);
        QVERIFY(f.open(QIODevice::ReadOnly));
        foreign = f.readAll();
    }
    const Case cases[] = {
        {QByteArray(), ExitNoDatabase, QStringLiteral("does not exist")},
        {QByteArray(4096, 'x'), ExitDatabaseDamaged, QStringLiteral("damaged")},
        {foreign, ExitDatabaseDamaged, QStringLiteral("not a traffic database")},
    };
    for (const Case &c : cases) {
        QFile::remove(db);
        if (!c.contents.isEmpty())
            writeFile(db, c.contents);
        for (const QStringList &args : readers) {
            const Result r = ctl(args);
            QVERIFY2(r.code == c.code, qPrintable(args.join(QLatin1Char(' ')) + QStringLiteral(": ") + r.err));
            QCOMPARE(r.err.count(QLatin1Char('\n')), 1);
            QVERIFY2(r.err.contains(c.text), qPrintable(r.err));
            QCOMPARE(r.out, QString());
        }
        // Never created, never changed.
        QCOMPARE(QFile(db).exists(), !c.contents.isEmpty());
        if (!c.contents.isEmpty())
            QCOMPARE(fileHash(db), QCryptographicHash::hash(c.contents, QCryptographicHash::Sha256));
        const Result check = ctl({QStringLiteral("check")});
        QCOMPARE(check.code, int(CheckUnknown));
        QVERIFY(check.out.startsWith(QStringLiteral("FERROW UNKNOWN - the database ")));
    }
}

void tst_Ferrowctl::aDatabaseTheDaemonHasNotWrittenYetReadsAsEmpty()
{
    // The daemon opens the file at start and creates its tables with the first write.
    const QString db = ferrow::paths().databaseFile;
    QFile::remove(db);
    writeFile(db, QByteArray());
    const Result status = ctl({});
    QVERIFY2(status.code == ExitOk, qPrintable(status.err));
    QVERIFY2(status.out.contains(QStringLiteral("newest hour none")), qPrintable(status.out));
    const QStringList readers[] = {{QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("3"), QStringLiteral("--json")},
                                   {QStringLiteral("hours"), QStringLiteral("--json")}, {QStringLiteral("days")},
                                   {QStringLiteral("report")}, {QStringLiteral("metrics")}};
    for (const QStringList &args : readers) {
        const Result r = ctl(args);
        QVERIFY2(r.code == ExitOk, qPrintable(args.join(QLatin1Char(' ')) + QStringLiteral(": ") + r.err));
    }
    const Result top = ctl({QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("3"), QStringLiteral("--json")});
    QCOMPARE(QJsonDocument::fromJson(top.out.toUtf8()).object().value(QStringLiteral("applications")).toArray().size(), 0);
    // Read, never written.
    QCOMPARE(QFileInfo(db).size(), qint64(0));
}

void tst_Ferrowctl::aLockedDatabaseIsReportedAsLocked()
{
    LockHolder lock(ferrow::paths().databaseFile, "BEGIN EXCLUSIVE;", 10000);
    QVERIFY(lock.holding());
    QElapsedTimer timer;
    timer.start();
    const Result r = ctl({QStringLiteral("hours")});
    QCOMPARE(r.code, int(ExitDatabaseLocked));
    QVERIFY(r.err.contains(QStringLiteral("is locked by another process; try again")));
    QVERIFY(timer.elapsed() < 5000);
    const Result mark = ctl({QStringLiteral("report"), QStringLiteral("--mark")});
    QCOMPARE(mark.code, int(ExitDatabaseLocked));
    QVERIFY(lock.release());
    TestDatabase db(ferrow::paths().databaseFile);
    QCOMPARE(db.rows(QStringLiteral("SELECT COUNT(*) FROM hour_data WHERE report_status=0")), QStringList{QStringLiteral("3")});
}

void tst_Ferrowctl::settingsFailuresGiveTheirExitCode()
{
    const QStringList commands[] = {{}, {QStringLiteral("audit"), QStringLiteral("show")}, {QStringLiteral("metrics")},
                                    {QStringLiteral("counting"), QStringLiteral("on")},
                                    {QStringLiteral("audit"), QStringLiteral("off"), QStringLiteral("egress")}};
    QFile::remove(ferrow::paths().settingsFile);
    for (const QStringList &args : commands) {
        const Result r = ctl(args);
        QCOMPARE(r.code, int(ExitSettings));
        QCOMPARE(r.err, QStringLiteral("ferrowctl: the settings file %1 does not exist\n").arg(ferrow::paths().settingsFile));
    }
    // A setter creates no settings file.
    QVERIFY(!QFile::exists(ferrow::paths().settingsFile));
    QVERIFY(QDir().mkpath(ferrow::paths().settingsFile));
    const Result r = ctl({QStringLiteral("audit"), QStringLiteral("show")});
    QCOMPARE(r.code, int(ExitSettings));
    QVERIFY(r.err.contains(QStringLiteral("cannot be read")));
    QCOMPARE(ctl({QStringLiteral("check")}).code, int(CheckUnknown));
}

void tst_Ferrowctl::aStoppedDaemonIsReported()
{
    setDaemonRunning(false);
    const Result status = ctl({});
    QCOMPARE(status.code, int(ExitDaemonNotRunning));
    QVERIFY(status.out.startsWith(QStringLiteral("ferrow-monitor  not running\n")));
    QVERIFY(status.out.contains(QStringLiteral("total audit     10.0 GiB per 24 h, not in force: the daemon is not running\n")));
    QCOMPARE(status.err, QStringLiteral("ferrowctl: the daemon is not running\n"));
    QCOMPARE(ctl({QStringLiteral("top")}).code, int(ExitDaemonNotRunning));
    QCOMPARE(ctl({QStringLiteral("live")}).code, int(ExitDaemonNotRunning));
    const Result check = ctl({QStringLiteral("check")});
    QCOMPARE(check.code, int(CheckUnknown));
    QCOMPARE(check.out, QStringLiteral("FERROW UNKNOWN - the daemon is not running\n"));
    // Metrics still give the rest, with the daemon down.
    const Result metrics = ctl({QStringLiteral("metrics")});
    QCOMPARE(metrics.code, int(ExitDaemonNotRunning));
    QVERIFY(metrics.out.contains(QStringLiteral("ferrow_daemon_running 0\n")));
    QVERIFY(!metrics.out.contains(QStringLiteral("ferrow_package_")));
    // Past days need no daemon; a setter notes that the change waits for it.
    QCOMPARE(ctl({QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("2")}).code, int(ExitOk));
    const Result set = ctl({QStringLiteral("counting"), QStringLiteral("on")});
    QCOMPARE(set.code, int(ExitOk));
    QVERIFY(set.err.contains(QStringLiteral("the daemon is not running; the change applies when it starts")));
}

void tst_Ferrowctl::readingCommandsLeaveTheDatabaseAsItWas()
{
    const QString db = ferrow::paths().databaseFile;
    const QByteArray before = fileHash(db);
    const QDateTime modified = QFileInfo(db).lastModified();
    const QStringList readers[] = {{}, {QStringLiteral("top"), QStringLiteral("--days"), QStringLiteral("30")},
                                   {QStringLiteral("hours"), QStringLiteral("--days"), QStringLiteral("45")},
                                   {QStringLiteral("days")}, {QStringLiteral("report")}, {QStringLiteral("metrics")},
                                   {QStringLiteral("check")}, {QStringLiteral("audit"), QStringLiteral("show")}};
    for (const QStringList &args : readers)
        QVERIFY2(ctl(args).code == 0, qPrintable(args.join(QLatin1Char(' '))));
    QCOMPARE(fileHash(db), before);
    QCOMPARE(QFileInfo(db).lastModified(), modified);
    QCOMPARE(QDir(m_dir->path()).entryList({QStringLiteral("ferrow.db*")}, QDir::Files), QStringList{QStringLiteral("ferrow.db")});
}

void tst_Ferrowctl::colourOnlyWhenAsked()
{
    QVERIFY(!ctl({}).out.contains(QLatin1Char('\033')));
    QVERIFY(ctl({}, true).out.contains(QStringLiteral("\033[32mrunning\033[0m")));
    QVERIFY(!ctl({QStringLiteral("--json")}, true).out.contains(QLatin1Char('\033')));
}

QTEST_GUILESS_MAIN(tst_Ferrowctl)
#include "tst_ferrowctl.moc"

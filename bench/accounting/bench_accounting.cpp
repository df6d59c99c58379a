// Prints the cost of the process accounting: merging reports of known and of
// new processes (with attribution), loading the package database and its
// memory, owner lookups, and writing the two snapshot documents.
//
// Reports are attributed through a fabricated /proc tree (one directory per
// pid with "exe", "cmdline" and "stat"), so that every pid has a program to
// resolve (on tmpfs); the package database is this machine's.

#include "defaults.h"
#include "packagedatabase.h"
#include "processlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>

using sysmonitor::process::ProcessInfo;
using sysmonitor::process::ProcessList;

namespace {

long residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Programs the fabricated processes run, in turn: packaged programs (found
// directly or through the /usr rewrite), a script of an interpreter, and a
// program no package owns.
const char *const Programs[] = {"/usr/bin/sleep", "/usr/bin/python3.11", "/usr/bin/dpkg", "/usr/lib/bench/unowned"};

constexpr qint32 FirstPid = 100000;

void buildProcTree(const QString &root, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString dir = QStringLiteral("%1/%2").arg(root).arg(FirstPid + i);
        QDir().mkpath(dir);
        const char *program = Programs[i % 4];
        QFile::link(QString::fromLatin1(program), dir + QStringLiteral("/exe"));
        QFile cmdline(dir + QStringLiteral("/cmdline"));
        cmdline.open(QIODevice::WriteOnly);
        cmdline.write(QByteArray(program) + '\0' + "/usr/lib/python3/dist-packages/bench.py" + '\0');
        QFile stat(dir + QStringLiteral("/stat"));
        stat.open(QIODevice::WriteOnly);
        stat.write(QByteArray::number(FirstPid + i) + " (bench) S 1 1 1 0 -1\n");
    }
}

QList<NetworkProcess> makeReport(int count)
{
    QList<NetworkProcess> report;
    report.reserve(count);
    for (int i = 0; i < count; ++i) {
        NetworkProcess p;
        p.pid = FirstPid + i;
        p.rx_bytes = quint64(1000 + i);
        p.tx_bytes = quint64(500 + i);
        p.rx_speed = 1.25 * (i % 50);
        p.tx_speed = 0.75 * (i % 30);
        report.append(p);
    }
    return report;
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir work(QStringLiteral("/tmp/bench-acc-XXXXXX"));
    ferrow::defaults().paths = ferrow::Paths(work.path());
    ferrow::Paths &paths = ferrow::defaults().paths;
    paths.collectorScript = work.path() + QStringLiteral("/no-collector.py");
    paths.collectorInterpreter = QStringLiteral("/bin/true");
    paths.collectorSocket = work.path() + QStringLiteral("/c.sock");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

#if defined(__SANITIZE_ADDRESS__)
    const char *build = "sanitizer build: figures are inflated";
#elif defined(__OPTIMIZE__)
    const char *build = "optimised build";
#else
    const char *build = "unoptimised build";
#endif
    std::printf("Process accounting benchmark (%s, this machine's package database)\n\n", build);

    // Package database: the first load happens in the constructor.
    const long rssBefore = residentKiB();
    QElapsedTimer timer;
    timer.start();
    ProcessList list;
    const double constructMs = msSince(timer);
    const long rssAfter = residentKiB();
    timer.restart();
    list.closePackageDatabase();
    list.openPackageDatabase();
    const double reloadMs = msSince(timer);
    std::printf("package database: %d file entries\n", ferrow::packagedb::fileCount());
    std::printf("  construction incl. first load: %8.1f ms\n", constructMs);
    std::printf("  reload (close + open):         %8.1f ms\n", reloadMs);
    std::printf("  resident memory: %ld KiB before, %ld KiB after loading (+%ld KiB), %ld KiB after reload\n\n",
                rssBefore, rssAfter, rssAfter - rssBefore, residentKiB());

    // Owner lookups.
    QList<QByteArray> lookupPaths;
    for (const QString &dir : {QStringLiteral("/usr/bin"), QStringLiteral("/usr/lib/x86_64-linux-gnu")}) {
        for (const QString &name : QDir(dir).entryList(QDir::Files))
            lookupPaths.append(QFile::encodeName(dir + QLatin1Char('/') + name));
    }
    for (int i = 0, n = lookupPaths.size(); i < n; ++i) // the merged-/usr spellings
        lookupPaths.append(lookupPaths.at(i).mid(4));
    // Paths holding pattern characters ("/usr/bin/[") walk the whole table.
    QList<QByteArray> plainPaths, patternPaths;
    for (const QByteArray &path : qAsConst(lookupPaths))
        (path.contains('[') || path.contains('*') || path.contains('?') || path.contains('\\') ? patternPaths
                                                                                              : plainPaths)
            .append(path);
    char buffer[ProcessList::PackageNameSize];
    int found = 0;
    timer.restart();
    const int rounds = 20;
    for (int round = 0; round < rounds; ++round) {
        for (const QByteArray &path : qAsConst(plainPaths))
            found += list.findOwnerPackage(path.constData(), buffer, sizeof buffer) == 0;
    }
    const double lookupMs = msSince(timer);
    const double lookups = double(rounds) * plainPaths.size();
    std::printf("owner lookups: %.0f plain lookups (%.0f%% found) in %.1f ms: %.2f million per second\n", lookups,
                100.0 * found / lookups, lookupMs, lookups / lookupMs / 1000.0);
    if (!patternPaths.isEmpty()) {
        timer.restart();
        for (const QByteArray &path : qAsConst(patternPaths))
            list.findOwnerPackage(path.constData(), buffer, sizeof buffer);
        std::printf("  pattern lookups (whole-table walk): %.2f ms each (%d paths, e.g. %s)\n",
                    msSince(timer) / patternPaths.size(), int(patternPaths.size()), patternPaths.first().constData());
    }
    timer.restart();
    int resolved = 0;
    for (const QByteArray &path : qAsConst(lookupPaths))
        resolved += list.resolveApplication(QString::fromUtf8(path), 0) != QLatin1String("-");
    const double resolveMs = msSince(timer);
    std::printf("resolveApplication with rewrite: %d paths in %.1f ms: %.0f thousand per second\n\n",
                lookupPaths.size(), resolveMs, lookupPaths.size() / resolveMs);

    // Reports through a fabricated /proc tree.
    // On tmpfs, like /proc, so a lookup costs no disk access.
    QTemporaryDir proc(QStringLiteral("/dev/shm/bench-proc-XXXXXX"));
    buildProcTree(proc.path(), 10000);
    paths.procDir = proc.path();
    std::printf("processNetworkData (one call):\n");
    for (int count : {100, 1000, 10000}) {
        const QList<NetworkProcess> report = makeReport(count);
        list.activeProcesses.clear();
        list.processHistory.clear();
        timer.restart();
        list.processNetworkData(report);
        const double newMs = msSince(timer);
        double knownMs = 0;
        const int repeats = 5;
        for (int r = 0; r < repeats; ++r) {
            timer.restart();
            list.processNetworkData(report);
            knownMs += msSince(timer);
        }
        std::printf("  %5d processes: all new (with attribution) %8.2f ms, known pids %8.2f ms\n", count, newMs,
                    knownMs / repeats);
    }
    std::printf("  (%d applications resolved)\n\n", int(list.appTraffic.size()));
    paths.procDir = QStringLiteral("/proc");

    // Documents.
    std::printf("writing both documents (application table of %d entries):\n", int(list.appTraffic.size()));
    for (int count : {1000, 10000, 100000}) {
        list.processHistory.clear();
        for (int i = 0; i < count; ++i) {
            ProcessInfo info;
            info->pid = FirstPid + i;
            info->name = QStringLiteral("process-%1").arg(i);
            info->recv_speed = 12.34;
            info->sent_speed = 0.5;
            info->sum_recv = quint64(i) * 1000;
            info->sum_sent = quint64(i) * 10;
            list.processHistory.insert(info->pid, info);
        }
        double ms = 0;
        const int repeats = count >= 100000 ? 3 : 10;
        for (int r = 0; r < repeats; ++r) {
            timer.restart();
            list.writeAppDocument();
            list.writeProcessDocument();
            ms += msSince(timer);
        }
        std::printf("  %6d history entries: %8.2f ms (process_info %lld bytes)\n", count, ms / repeats,
                    QFile(paths.processInfoFile).size());
    }
    return 0;
}

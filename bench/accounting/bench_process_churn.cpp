// Prints what process churn costs the process table over time: a report every
// simulated second carrying 500 new short-lived processes (plus a few that
// live throughout), both snapshot documents written every 5 simulated
// seconds, and once a simulated minute the records held, resident memory, the
// size of "process_info" and the time the documents took to write.
//
// Usage: bench_process_churn [minutes]   (15 by default)
//
// The processes are looked up in a /proc of the benchmark's own (on tmpfs,
// like /proc): the long-lived ones have a directory there, the short-lived
// ones never do, so each is swept two reports after it appeared. Simulated
// time passes as fast as the reports can be merged.

#include "defaults.h"
#include "processlist.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

using sysmonitor::process::AppTraffic;
using sysmonitor::process::ProcessList;

namespace {

constexpr int NewPerSecond = 500;
constexpr int LiveCount = 20;
constexpr qint32 FirstLivePid = 100;
constexpr qint32 FirstChurnPid = 100000;
constexpr int DocumentSeconds = 5;

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

void buildLiveProcesses(const QString &root)
{
    for (int i = 0; i < LiveCount; ++i) {
        const QString dir = QStringLiteral("%1/%2").arg(root).arg(FirstLivePid + i);
        QDir().mkpath(dir);
        QFile::link(QStringLiteral("/usr/bin/sleep"), dir + QStringLiteral("/exe"));
        QFile stat(dir + QStringLiteral("/stat"));
        stat.open(QIODevice::WriteOnly);
        stat.write(QByteArray::number(FirstLivePid + i) + " (bench) S 1 1 1 0 -1\n");
    }
}

NetworkProcess entry(qint32 pid, quint64 rx, quint64 tx)
{
    NetworkProcess p;
    p.pid = pid;
    p.rx_bytes = rx;
    p.tx_bytes = tx;
    p.rx_speed = double(rx) / 1024;
    p.tx_speed = double(tx) / 1024;
    return p;
}

double msSince(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int minutes = argc > 1 ? std::max(1, QByteArray(argv[1]).toInt()) : 15;

    QTemporaryDir work(QStringLiteral("/tmp/bench-churn-XXXXXX"));
    QTemporaryDir proc(QStringLiteral("/dev/shm/bench-churn-proc-XXXXXX"));
    ferrow::defaults().paths = ferrow::Paths(work.path());
    ferrow::Paths &paths = ferrow::defaults().paths;
    paths.collectorScript = work.path() + QStringLiteral("/no-collector.py");
    paths.collectorInterpreter = QStringLiteral("/bin/true");
    paths.collectorSocket = work.path() + QStringLiteral("/c.sock");
    paths.procDir = proc.path();
    buildLiveProcesses(proc.path());
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});

#if defined(__SANITIZE_ADDRESS__)
    const char *build = "sanitizer build: figures are inflated";
#elif defined(__OPTIMIZE__)
    const char *build = "optimised build";
#else
    const char *build = "unoptimised build";
#endif
    std::printf("Process churn benchmark (%s): %d new processes per simulated second, %d live, %d minutes\n",
                build, NewPerSecond, LiveCount, minutes);

    ProcessList list;
    std::printf("resident memory after construction: %ld KiB\n\n", residentKiB());
    std::printf("%6s %10s %8s %9s %13s %11s %11s %11s\n", "minute", "history", "active", "RSS MiB",
                "process_info", "write ms", "max write", "report ms");

    qint32 nextPid = FirstChurnPid;
    quint64 recvTotal = 0;
    quint64 sentTotal = 0;
    double reportMs = 0;
    double lastWriteMs = 0;
    double maxWriteMs = 0;
    QElapsedTimer timer;
    for (int second = 1; second <= minutes * 60; ++second) {
        QList<NetworkProcess> report;
        report.reserve(NewPerSecond + LiveCount);
        for (int i = 0; i < LiveCount; ++i)
            report.append(entry(FirstLivePid + i, 4096, 1024));
        for (int i = 0; i < NewPerSecond; ++i)
            report.append(entry(nextPid++, quint64(1000 + i), quint64(300 + i % 7)));
        for (const NetworkProcess &p : qAsConst(report)) {
            recvTotal += p.rx_bytes;
            sentTotal += p.tx_bytes;
        }

        timer.start();
        list.processNetworkData(report);
        reportMs += msSince(timer);

        if (second % DocumentSeconds == 0) {
            timer.start();
            list.writeAppDocument();
            list.writeProcessDocument();
            lastWriteMs = msSince(timer);
            maxWriteMs = std::max(maxWriteMs, lastWriteMs);
        }
        if (second % 60 == 0) {
            std::printf("%6d %10d %8d %9.1f %10.2f MB %11.1f %11.1f %11.2f\n", second / 60,
                        int(list.processHistory.size()), int(list.activeProcesses.size()),
                        double(residentKiB()) / 1024, double(QFile(paths.processInfoFile).size()) / 1e6,
                        lastWriteMs, maxWriteMs, reportMs / 60);
            std::fflush(stdout);
            reportMs = 0;
            maxWriteMs = 0;
        }
    }

    // The per-application and hourly figures must still hold every byte.
    quint64 appRecv = 0;
    quint64 appSent = 0;
    for (const AppTraffic &t : qAsConst(list.appTraffic)) {
        appRecv += t.recv;
        appSent += t.sent;
    }
    const bool exact = appRecv == recvTotal && appSent == sentTotal && quint64(list.hourRecord.recv) == recvTotal
                       && quint64(list.hourRecord.sent) == sentTotal;
    std::printf("\n%d processes reported; application and hour figures %s (%llu bytes received)\n",
                nextPid - FirstChurnPid + LiveCount, exact ? "exact" : "WRONG",
                static_cast<unsigned long long>(recvTotal));
    return exact ? 0 : 1;
}

#include "processlist.h"

#include "defaults.h"
#include "networkmonitor.h"
#include "networksocketserver.h"
#include "packagedatabase.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QVector>

#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace sysmonitor {
namespace process {

namespace {

const char *const HourKeyPattern = "yyyy-MM-dd hh:00";

// Peaks live in 32-bit fields; totals at or beyond their range are stored as
// the largest value that fits.
qint32 roundPeak(double total)
{
    constexpr double limit = std::numeric_limits<qint32>::max();
    if (!(total < limit))
        return std::numeric_limits<qint32>::max();
    return qint32(std::lround(total));
}

void addTraffic(AppTraffic &traffic, const NetworkProcess &p)
{
    traffic.recv = addBytes(traffic.recv, p.rx_bytes);
    traffic.sent = addBytes(traffic.sent, p.tx_bytes);
}

// Whole minutes from one time to a later one, counted on the continuous
// time line: across a daylight-saving change the wall-clock minutes repeat or
// skip, the elapsed ones do not.
qint64 elapsedMinutes(const QDateTime &from, const QDateTime &to)
{
    const auto minuteOf = [](const QDateTime &t) {
        const qint64 seconds = t.toSecsSinceEpoch();
        return seconds >= 0 ? seconds / 60 : (seconds - 59) / 60;
    };
    return minuteOf(to) - minuteOf(from);
}

qint32 addMinutes(qint32 mins, qint64 minutes)
{
    return qint32(qBound<qint64>(0, qint64(mins) + minutes, 60));
}

// Peaks are compared as unsigned values.
bool exceedsPeak(double total, qint32 peak)
{
    return total > double(quint32(peak));
}

// The new value of a peak that total exceeds. Clamping must not lower a
// stored peak that already lies beyond the clamp (a row holding an unsigned
// value with the top bit set).
qint32 raisedPeak(double total, qint32 peak)
{
    const qint32 raised = roundPeak(total);
    return quint32(raised) > quint32(peak) ? raised : peak;
}

// Whether <procDir>/<pid>/stat exists, as QFile::exists would say.
bool statFileExists(const QByteArray &procDir, qint32 pid)
{
    char path[4096];
    const int length = std::snprintf(path, sizeof path, "%s/%d/stat", procDir.constData(), int(pid));
    if (length < 0 || std::size_t(length) >= sizeof path)
        return false;
    struct stat st;
    return ::stat(path, &st) == 0;
}

// Whether procDir is the proc file system of this process's pid namespace:
// then "<procDir>/<pid>/stat" exists exactly while the pid names a process or
// a thread of it, zombies included, which kill(pid, 0) tells without walking a
// path. Its "self" names this process only there: in the proc file system of
// another pid namespace it names another pid or nothing.
bool isOwnProcFileSystem(const QByteArray &procDir)
{
    struct statfs fs;
    if (::statfs(procDir.constData(), &fs) != 0 || fs.f_type != PROC_SUPER_MAGIC)
        return false;
    char link[32];
    const ssize_t length = ::readlink((procDir + "/self").constData(), link, sizeof link - 1);
    if (length <= 0)
        return false;
    link[length] = '\0';
    return std::strtol(link, nullptr, 10) == long(::getpid());
}

// kill() with signal 0 checks the pid without sending anything; EPERM means it
// exists but belongs to someone we may not signal. Pids 0 and below name
// process groups there, never a process.
bool pidExists(qint32 pid)
{
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

} // namespace

ProcessList::ProcessList(QObject *parent)
    : QObject(parent)
{
    registerNetworkProcessTypes();

    ferrow::packagedb::programInit("ferrow-monitor");
    openPackageDatabase();

    buildShells();

    lastMinuteTime = ferrow::currentDateTime();
    currentHourKey = lastMinuteTime.toString(QLatin1String(HourKeyPattern));
    loadHourRecord(currentHourKey.toUtf8().constData(), &hourRecord);

    networkMonitor = new NetworkMonitor(this);
    connect(networkMonitor, &NetworkMonitor::dataReceived, this, &ProcessList::processNetworkData);
    connect(networkMonitor, &NetworkMonitor::errorOccurred, networkMonitor,
            [](const QString &error) { qDebug() << "错误: " << error; });
    connect(networkMonitor, &NetworkMonitor::statusChanged, networkMonitor,
            [](const QString &status) { qDebug() << "状态: " << status; });
    // The collector's own lines (its supervisor is the monitor's child).
    if (auto *server = networkMonitor->findChild<NetworkSocketServer *>()) {
        QElapsedTimer clock;
        clock.start();
        connect(server, &NetworkSocketServer::serverOutput, this,
                [this, clock](const QString &text) {
                    // One signal carries what one read gave: possibly several lines.
                    const QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
                    for (const QString &line : lines)
                        relayCollectorOutput(line.trimmed(), clock.elapsed());
                });
    }

    if (!networkMonitor->startMonitoring())
        qDebug() << "启动监控失败";
}

ProcessList::~ProcessList()
{
    networkMonitor->stopMonitoring();
    closePackageDatabase();
    ferrow::packagedb::programDone();
}

bool ProcessList::startNetworkMonitor()
{
    return networkMonitor->startMonitoring();
}

void ProcessList::stopNetworkMonitor()
{
    networkMonitor->stopMonitoring();
}

double ProcessList::roundSpeed(double speed)
{
    if (!(speed >= 0))
        return 0;
    // Rounded in 64 bits, so speeds whose hundredfold exceeds 32 bits keep
    // their value; beyond 64 bits they are stored unrounded.
    const double scaled = speed * 100 + 0.5;
    if (!(scaled < 9.2e18))
        return speed;
    return double(qint64(scaled)) / 100.0;
}

void ProcessList::processNetworkData(QList<NetworkProcess> processes)
{
    // Records share their data with the history; write (and so copy) only
    // those whose speeds are not already 0.
    for (ProcessInfo &info : activeProcesses) {
        const ProcessInfoData &current = info.fields();
        if (current.recv_speed != 0 || current.sent_speed != 0) {
            info->recv_speed = 0;
            info->sent_speed = 0;
        }
    }

    quint64 recvTotal = 0;
    quint64 sentTotal = 0;
    double recvSpeedTotal = 0;
    double sentSpeedTotal = 0;
    const bool auditing = auditConfig.auditFlags != 0;

    for (const NetworkProcess &p : qAsConst(processes)) {
        auto it = activeProcesses.find(p.pid);
        // The pid now runs another program than the one its record was
        // attributed from (reused, or a new exec): a new record takes over.
        if (it != activeProcesses.end() && p.pid != 0 && !p.exe.isEmpty()) {
            const QString &before = it.value().fields().reportedExe;
            if (!before.isEmpty() && before != p.exe) {
                activeProcesses.erase(it);
                it = activeProcesses.end();
            }
        }
        if (it == activeProcesses.end()) {
            ProcessInfo info;
            info->pid = p.pid;
            // The collector's unattributed bucket (pid 0) is no process.
            if (p.pid != 0) {
                info->exePath = shared(executablePath(p.pid, p.exe, p.cmdline));
                info->reportedExe = shared(p.exe);
            }
            if (!info->exePath.isEmpty())
                info->name = shared(info->exePath.mid(info->exePath.lastIndexOf(QLatin1Char('/')) + 1));
            info->app = shared(resolveApplication(info->exePath, p.pid));
            info->alive = 1;
            info->graceRound = true;
            it = activeProcesses.insert(p.pid, info);
        }

        ProcessInfo &info = it.value();
        info->recv_speed = roundSpeed(p.rx_speed);
        info->sent_speed = roundSpeed(p.tx_speed);
        info->sum_recv = addBytes(info->sum_recv, p.rx_bytes);
        info->sum_sent = addBytes(info->sum_sent, p.tx_bytes);

        const QString &app = info->app;
        addTraffic(appTraffic[app], p);
        addTraffic(pendingAppTraffic[app], p);
        if (auditing)
            addTraffic(auditTraffic[app], p);

        recvTotal = addBytes(recvTotal, p.rx_bytes);
        sentTotal = addBytes(sentTotal, p.tx_bytes);
        recvSpeedTotal += p.rx_speed;
        sentSpeedTotal += p.tx_speed;
    }

    // The hour row's signed counts saturate like every other counter.
    hourRecord.recv = qint64(addBytes(quint64(qMax<qint64>(hourRecord.recv, 0)), recvTotal));
    hourRecord.sent = qint64(addBytes(quint64(qMax<qint64>(hourRecord.sent, 0)), sentTotal));
    raisePeaks(recvSpeedTotal, sentSpeedTotal);

    if (auditing) {
        periodDownload = addBytes(periodDownload, recvTotal);
        periodUpload = addBytes(periodUpload, sentTotal);
    }

    sweepVanishedProcesses();
}

QString ProcessList::shared(const QString &text)
{
    if (text.isEmpty())
        return text;
    const auto found = sharedTexts.constFind(text);
    if (found != sharedTexts.constEnd())
        return *found;
    if (sharedTexts.size() >= SharedTextLimit)
        sharedTexts.clear();
    sharedTexts.insert(text);
    return text;
}

void ProcessList::raisePeaks(double recvSpeedTotal, double sentSpeedTotal)
{
    if (exceedsPeak(recvSpeedTotal, hourRecord.recv_peak))
        hourRecord.recv_peak = raisedPeak(recvSpeedTotal, hourRecord.recv_peak);
    if (exceedsPeak(sentSpeedTotal, hourRecord.sent_peak))
        hourRecord.sent_peak = raisedPeak(sentSpeedTotal, hourRecord.sent_peak);
    const double both = recvSpeedTotal + sentSpeedTotal;
    if (exceedsPeak(both, hourRecord.total_peak))
        hourRecord.total_peak = raisedPeak(both, hourRecord.total_peak);
}

// A process whose /proc entry is gone survives one more report (its grace
// round) and is dropped by the second; its last state stays in the history,
// and so in the process document, for a while (see dropGoneProcesses).
//
// A process is alive while "/proc/<pid>/stat" exists. On the proc file system
// of our own pid namespace that is one kill(pid, 0) per process, with no path
// to walk; on another directory standing for it, one lookup of the file.
void ProcessList::sweepVanishedProcesses()
{
    ++reportRound;
    const QByteArray procDir = QFile::encodeName(ferrow::paths().procDir);
    const bool ownProc = isOwnProcFileSystem(procDir);
    QList<qint32> removed;
    for (auto it = activeProcesses.begin(); it != activeProcesses.end(); ++it) {
        ProcessInfo &info = it.value();
        const qint32 pid = it.key();
        // pid 0 is the collector's bucket of unattributed bytes, not a process:
        // it has no /proc entry and stays for as long as the table.
        if (pid != 0 && !(ownProc ? pidExists(pid) : statFileExists(procDir, pid)))
            info->alive = 0;
        processHistory[it.key()] = info;
        // Read through the const view: the record now shares its data with
        // the history, and a write access would copy it for every report.
        const ProcessInfoData &state = info.fields();
        if (state.alive == 0) {
            if (state.graceRound)
                info->graceRound = false;
            else
                removed.append(it.key());
        }
    }
    for (qint32 pid : qAsConst(removed)) {
        activeProcesses.remove(pid);
        // The history now holds the only copy, so marking it copies nothing.
        const auto it = processHistory.find(pid);
        if (it != processHistory.end()) {
            it.value()->departedRound = reportRound;
            departures.push_back({reportRound, pid});
        }
    }
    dropGoneProcesses();
}

// Bounds the history under process churn: a gone process leaves it once it
// has been gone for GoneRetentionReports reports, and whenever more than
// GoneLimit gone processes are held, those that left first go first. Active
// processes are never dropped.
//
// Time is counted in reports: the collector sends one a second, the count
// never goes back with the wall clock, and the history only grows by reports.
// 600 reports (ten minutes) list a short-lived process in some 120 documents
// of the 5-second refresh, ample for a reader to see its final totals. 10,000
// gone processes is far more than a machine normally starts with traffic in
// ten minutes, yet keeps the document near 1 MB and its rewrite in tens of
// milliseconds; under heavier churn the latest departures are the ones shown.
//
// The history only feeds the process document: the per-application, audit and
// hourly figures are added from the reports into their own tables, so
// dropping a record changes none of them. Departures are queued in the order
// they happen, so the cost is constant per departure plus one map removal.
void ProcessList::dropGoneProcesses()
{
    while (!departures.empty() && reportRound - departures.front().round >= GoneRetentionReports) {
        dropDeparted(departures.front());
        departures.pop_front();
    }
    // Every active process has its record in the history: the rest are gone.
    while (!departures.empty() && processHistory.size() - activeProcesses.size() > GoneLimit) {
        dropDeparted(departures.front());
        departures.pop_front();
    }
}

// A pid reported again after it left has a new record, active (departure
// round 0) or gone later: only the record that left in that round is dropped.
void ProcessList::dropDeparted(const Departure &departure)
{
    const auto it = processHistory.find(departure.pid);
    if (it != processHistory.end() && it.value().fields().departedRound == departure.round)
        processHistory.erase(it);
}

void ProcessList::relayCollectorOutput(const QString &line, qint64 nowMs)
{
    if (!relayStarted || nowMs - relayWindowStart >= 60000) {
        if (suppressedLines > 0)
            qDebug().noquote() << QStringLiteral("collector: … %1 lines suppressed").arg(suppressedLines);
        relayStarted = true;
        relayWindowStart = nowMs;
        relayedInWindow = 0;
        suppressedLines = 0;
    }
    if (relayedInWindow >= RelayedLinesPerMinute) {
        ++suppressedLines;
        return;
    }
    ++relayedInWindow;
    qDebug().noquote() << QStringLiteral("collector: ") + line;
}

void ProcessList::onClearAllProcess()
{
    processHistory.clear();
    departures.clear();
    activeProcesses.clear();
    appTraffic.clear();
    auditTraffic.clear();
    pendingAppTraffic.clear();
    writeAppDocument();
    writeProcessDocument();
}

void ProcessList::handleSqlUpdate()
{
    updateTime = ferrow::currentDateTime();
    updateHourKey = updateTime.toString(QLatin1String(HourKeyPattern));
    const bool sameHour = updateHourKey == currentHourKey;

    // Minutes are counted in elapsed time and never pass 60: a clock set back
    // adds none, and the hour repeated at the end of daylight-saving time
    // (both share one key) keeps counting.
    HourRecord saved = hourRecord;
    bool minutesAdded = false;
    if (sameHour) {
        const qint64 minutes = elapsedMinutes(lastMinuteTime, updateTime);
        if (minutes > 0) {
            saved.mins = addMinutes(saved.mins, minutes);
            minutesAdded = true;
        }
    } else {
        // The hour (or the day) has changed: the ended hour is closed under its own key.
        saved.mins = addMinutes(saved.mins, 1);
    }

    // A flush that fails writes nothing: the bytes stay pending and the hour
    // stays open, so the next flush writes all of it.
    if (!saveFlush(saved))
        return;
    pendingAppTraffic.clear();
    hourRecord = saved;
    if (sameHour) {
        if (minutesAdded)
            lastMinuteTime = updateTime;
        return;
    }

    // Continue the new hour from its stored row or from zero.
    lastMinuteTime = updateTime;
    currentHourKey = updateHourKey;
    if (loadHourRecord(currentHourKey.toUtf8().constData(), &hourRecord) != 0)
        hourRecord = HourRecord();
}

bool ProcessList::saveFlush(const HourRecord &hour)
{
    QList<QByteArray> names;
    QVector<AppIncrement> increments;
    names.reserve(pendingAppTraffic.size());
    increments.reserve(pendingAppTraffic.size());
    for (auto it = pendingAppTraffic.cbegin(); it != pendingAppTraffic.cend(); ++it) {
        names.append(it.key().toUtf8());
        increments.append({names.last().constData(), it->recv, it->sent});
    }
    const QByteArray key = currentHourKey.toUtf8();
    const time_t now = time_t(updateTime.toSecsSinceEpoch());

    int result = saveTrafficFlush(increments.constData(), size_t(increments.size()), key.constData(), &hour, now);
    if (result == FlushDamaged) {
        // Nothing can be added to a damaged file: keep it for inspection and
        // write into a new database at once.
        const QString aside = moveDamagedDatabase(now);
        if (aside.isEmpty())
            return false;
        if (databaseMovedAside)
            databaseMovedAside(aside);
        result = saveTrafficFlush(increments.constData(), size_t(increments.size()), key.constData(), &hour, now);
    }
    return result == FlushSaved;
}

void ProcessList::resetAuditData()
{
    auditTraffic.clear();
    periodUpload = 0;
    periodDownload = 0;
}

} // namespace process
} // namespace sysmonitor

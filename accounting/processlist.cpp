#include "processlist.h"

#include "defaults.h"
#include "networkmonitor.h"
#include "packagedatabase.h"

#include <QDebug>
#include <QFile>

#include <cmath>
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
        if (it == activeProcesses.end()) {
            ProcessInfo info;
            info->pid = p.pid;
            info->exePath = executablePath(p.pid);
            if (!info->exePath.isEmpty())
                info->name = info->exePath.mid(info->exePath.lastIndexOf(QLatin1Char('/')) + 1);
            info->app = resolveApplication(info->exePath, p.pid);
            info->alive = 1;
            info->graceRound = true;
            it = activeProcesses.insert(p.pid, info);
        }

        ProcessInfo &info = it.value();
        info->recv_speed = roundSpeed(p.rx_speed);
        info->sent_speed = roundSpeed(p.tx_speed);
        info->sum_recv += p.rx_bytes;
        info->sum_sent += p.tx_bytes;

        const QString &app = info->app;
        AppTraffic &total = appTraffic[app];
        total.recv += p.rx_bytes;
        total.sent += p.tx_bytes;
        AppTraffic &pending = pendingAppTraffic[app];
        pending.recv += p.rx_bytes;
        pending.sent += p.tx_bytes;
        if (auditing) {
            AppTraffic &period = auditTraffic[app];
            period.recv += p.rx_bytes;
            period.sent += p.tx_bytes;
        }

        recvTotal += p.rx_bytes;
        sentTotal += p.tx_bytes;
        recvSpeedTotal += p.rx_speed;
        sentSpeedTotal += p.tx_speed;
    }

    // The hour row stores signed 64-bit byte counts; unsigned addition keeps
    // an overflow well defined.
    hourRecord.recv = qint64(quint64(hourRecord.recv) + recvTotal);
    hourRecord.sent = qint64(quint64(hourRecord.sent) + sentTotal);
    raisePeaks(recvSpeedTotal, sentSpeedTotal);

    if (auditing) {
        periodDownload += recvTotal;
        periodUpload += sentTotal;
    }

    sweepVanishedProcesses();
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
// round) and is dropped by the second; its last state stays in the history.
void ProcessList::sweepVanishedProcesses()
{
    const QString statPattern = ferrow::paths().procDir + QStringLiteral("/%1/stat");
    QList<qint32> removed;
    for (auto it = activeProcesses.begin(); it != activeProcesses.end(); ++it) {
        ProcessInfo &info = it.value();
        if (!QFile::exists(statPattern.arg(it.key())))
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
    for (qint32 pid : qAsConst(removed))
        activeProcesses.remove(pid);
}

void ProcessList::onClearAllProcess()
{
    processHistory.clear();
    activeProcesses.clear();
    appTraffic.clear();
    auditTraffic.clear();
    pendingAppTraffic.clear();
    writeAppDocument();
    writeProcessDocument();
}

void ProcessList::handleSqlUpdate()
{
    // An application whose write failed stays pending with its bytes, so the
    // next flush writes them together with what was counted meanwhile.
    for (auto it = pendingAppTraffic.begin(); it != pendingAppTraffic.end();) {
        if (addAppTraffic(it.key().toUtf8().constData(), it->recv, it->sent) == 0)
            it = pendingAppTraffic.erase(it);
        else
            ++it;
    }

    updateTime = ferrow::currentDateTime();
    updateHourKey = updateTime.toString(QLatin1String(HourKeyPattern));

    if (updateHourKey == currentHourKey) {
        const int minutes = updateTime.time().minute() - lastMinuteTime.time().minute();
        if (minutes > 0) {
            hourRecord.mins += minutes;
            lastMinuteTime = updateTime;
        }
        saveHourRecord(currentHourKey.toUtf8().constData(), &hourRecord);
        return;
    }

    // The hour (or the day) has changed: close the ended hour under its own
    // key, then continue the new hour from its stored row or from zero.
    hourRecord.mins += 1;
    saveHourRecord(currentHourKey.toUtf8().constData(), &hourRecord);
    lastMinuteTime = updateTime;
    currentHourKey = updateHourKey;
    if (loadHourRecord(currentHourKey.toUtf8().constData(), &hourRecord) != 0)
        hourRecord = HourRecord();
}

void ProcessList::resetAuditData()
{
    auditTraffic.clear();
    periodUpload = 0;
    periodDownload = 0;
}

} // namespace process
} // namespace sysmonitor

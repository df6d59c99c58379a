#include "processmonitor.h"

#include "defaults.h"
#include "monitorconfig.h"
#include "trafficdb.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QtGlobal>

#include <atomic>
#include <exception>

namespace sysmonitor {
namespace process {

namespace {

// Statistics rows this many days old or older are purged at start.
constexpr unsigned int retentionDays = 45;

std::atomic<ProcessMonitor *> theController{nullptr};
std::atomic<bool> controllerDestroyed{false};

// Copies the settings fields; the alarm marks of the period stay.
void copySettings(const AuditConfig &from, AuditConfig &to)
{
    to.countStatus = from.countStatus;
    to.auditFlags = from.auditFlags;
    to.alarmPeriod = from.alarmPeriod;
    to.alarmSize = from.alarmSize;
    to.egressAlarmSize = from.egressAlarmSize;
    to.ingressAlarmSize = from.ingressAlarmSize;
}

} // namespace

ProcessMonitor *ProcessMonitor::instance()
{
    if (controllerDestroyed.load())
        return nullptr;
    static ProcessMonitor controller;
    static const bool registered = (theController.store(&controller), true);
    Q_UNUSED(registered);
    return &controller;
}

ProcessMonitor::ProcessMonitor()
    : QObject(nullptr)
{
    processList = new ProcessList;
    config = new MonitorConfig;

    // The file may not exist yet (or be replaced by rename); the directory
    // watch notices when it appears.
    confWatcher.addPath(QFileInfo(ferrow::paths().settingsFile).absolutePath());
    watchSettingsFile();

    connect(&confWatcher, &QFileSystemWatcher::fileChanged, this, &ProcessMonitor::onConfFileChanged);
    connect(&alarmTimer, &QTimer::timeout, this, &ProcessMonitor::onAlarmTimeout);
    connect(&checkTimer, &QTimer::timeout, this, &ProcessMonitor::onCheckTimeout);
    connect(&sqlUpdateTimer, &QTimer::timeout, processList, &ProcessList::handleSqlUpdate);
    processList->databaseMovedAside = [](const QString &path) {
        MonitorConfig::log(1, "数据库文件已损坏, 已移至 %s, 已新建数据库", path.toUtf8().constData());
    };
    connect(&confWatcher, &QFileSystemWatcher::directoryChanged, this,
            &ProcessMonitor::onSettingsDirectoryChanged);
}

ProcessMonitor::~ProcessMonitor()
{
    if (theController.load() == this)
        controllerDestroyed.store(true);
    stop();
    if (processList) {
        // Without an event loop a deferred deletion would never happen, and
        // the process table's destructor is what stops the collector.
        if (QCoreApplication::instance())
            processList->deleteLater();
        else
            delete processList;
        processList = nullptr;
    }
    delete config;
    config = nullptr;
}

qint64 ProcessMonitor::nowSeconds()
{
    return qint64(quint32(ferrow::currentDateTime().toSecsSinceEpoch()));
}

void ProcessMonitor::start()
{
    if (running) {
        MonitorConfig::log(1, "监控已经在运行中");
        return;
    }
    try {
        MonitorConfig::log(1, "ProcessMonitor 启动中...");
        deleteExpiredRows("hour_data", retentionDays);
        deleteExpiredRows("app_data", retentionDays);
        readAuditConfig(processList->auditConfig);

        if (processList->auditConfig.countStatus == 0) {
            MonitorConfig::log(1, "流量统计未启动");
            if (processList->auditConfig.auditFlags != 0)
                MonitorConfig::log(1, "流量审计(因统计)未启动");
            return;
        }

        MonitorConfig::log(1, "流量统计启动");
        processList->startNetworkMonitor();
        checkTimer.start(ferrow::intervals().checkMs);
        sqlUpdateTimer.start(ferrow::intervals().databaseUpdateMs);
        periodStart = nowSeconds();
        startAudit(processList->auditConfig);
        running = true;
        MonitorConfig::log(1, "ProcessMonitor 启动成功");
    } catch (const std::exception &e) {
        qCritical("%s", qUtf8Printable(QStringLiteral("启动监控失败: %1").arg(QString::fromUtf8(e.what()))));
    }
}

void ProcessMonitor::stop()
{
    if (!running)
        return;
    alarmTimer.stop();
    checkTimer.stop();
    sqlUpdateTimer.stop();
    if (processList) {
        processList->stopNetworkMonitor();
        // Flush before clearing: the clear drops the per-application bytes
        // counted since the last periodic update.
        processList->handleSqlUpdate();
        processList->onClearAllProcess();
    }
    if (config)
        MonitorConfig::log(1, "流量统计 ProcessMonitor 停止");
    running = false;
}

void ProcessMonitor::watchSettingsFile()
{
    const QString path = ferrow::paths().settingsFile;
    // After a replacement by rename an old watch may still follow the old
    // file; a fresh watch follows the file now at the path.
    if (confWatcher.files().contains(path))
        confWatcher.removePath(path);
    if (QFileInfo::exists(path))
        confWatcher.addPath(path);
}

void ProcessMonitor::onSettingsDirectoryChanged()
{
    // Only the appearance of a settings file that is not watched matters: a
    // watched file reports its own changes.
    const QString path = ferrow::paths().settingsFile;
    if (!confWatcher.files().contains(path) && QFileInfo::exists(path))
        onConfFileChanged();
}

void ProcessMonitor::onConfFileChanged()
{
    // Watch again first, so that a change made while this one is applied is
    // reported too.
    watchSettingsFile();

    bool ok = false;
    qint64 changeTime = MonitorConfig::value(QStringLiteral("FERROW_ALARM_TIMESTAMP")).toInt(&ok, 10);
    if (!ok)
        changeTime = 0;

    AuditConfig fresh{};
    readAuditConfig(fresh);
    AuditConfig &current = processList->auditConfig;

    if (fresh.countStatus == current.countStatus) {
        if (fresh.countStatus == 0) {
            if (fresh.auditFlags & AuditConfig::TotalAudit)
                MonitorConfig::log(1, "总流量审计(因统计)未启动");
            if (fresh.auditFlags & AuditConfig::EgressAudit)
                MonitorConfig::log(1, "上行流量审计(因统计)未启动");
            if (fresh.auditFlags & AuditConfig::IngressAudit)
                MonitorConfig::log(1, "下行流量审计(因统计)未启动");
            copySettings(fresh, current);
            current.alarmSent = 0;
        } else if (changeTime >= periodStart) {
            MonitorConfig::log(1, "流量审计配置变更,重置流量审计...");
            stopAudit(current);
            startAudit(fresh);
            periodStart = changeTime;
            copySettings(fresh, current);
        }
        // Otherwise the audit settings are older than the period: nothing changes.
    } else if (fresh.countStatus == 0) {
        MonitorConfig::log(1, "流量统计停止");
        processList->stopNetworkMonitor();
        checkTimer.stop();
        sqlUpdateTimer.stop();
        processList->handleSqlUpdate();
        stopAudit(current);
        copySettings(fresh, current);
        processList->onClearAllProcess();
    } else {
        MonitorConfig::log(1, "流量统计启动");
        processList->startNetworkMonitor();
        checkTimer.start(ferrow::intervals().checkMs);
        sqlUpdateTimer.start(ferrow::intervals().databaseUpdateMs);
        periodStart = nowSeconds();
        startAudit(fresh);
        copySettings(fresh, current);
    }
}

} // namespace process
} // namespace sysmonitor

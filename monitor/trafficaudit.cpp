// The traffic audit: total, egress and ingress thresholds over one period.
#include "processmonitor.h"

#include "defaults.h"
#include "monitorconfig.h"

#include <QtGlobal>

namespace sysmonitor {
namespace process {

namespace {

constexpr quint64 bytesPerGigabyte = 1073741824ULL;

int settingNumber(const char *key)
{
    bool ok = false;
    const int number = MonitorConfig::value(QLatin1String(key)).toInt(&ok, 10);
    return ok ? number : 0;
}

quint64 thresholdBytes(int gigabytes)
{
    return quint64(qint64(gigabytes)) * bytesPerGigabyte;
}

} // namespace

void ProcessMonitor::readAuditConfig(AuditConfig &record)
{
    record.countStatus = MonitorConfig::countStatus();
    record.alarmPeriod = settingNumber("FERROW_ALARM_PERIOD");
    record.alarmSize = settingNumber("FERROW_ALARM_SIZE");
    record.egressAlarmSize = settingNumber("FERROW_EGRESS_ALARM_SIZE");
    record.ingressAlarmSize = settingNumber("FERROW_INGRESS_ALARM_SIZE");
    record.auditFlags = 0;
    if (record.alarmPeriod < 1)
        return;
    if (MonitorConfig::alarmStatus() != 0 && record.alarmSize >= 1)
        record.auditFlags |= AuditConfig::TotalAudit;
    if (MonitorConfig::egressAlarmStatus() != 0 && record.egressAlarmSize >= 1)
        record.auditFlags |= AuditConfig::EgressAudit;
    if (MonitorConfig::ingressAlarmStatus() != 0 && record.ingressAlarmSize >= 1)
        record.auditFlags |= AuditConfig::IngressAudit;
}

void ProcessMonitor::startAudit(const AuditConfig &record)
{
    processList->resetAuditData();
    if (record.auditFlags == 0 && record.alarmPeriod <= 0)
        return;

    const qint64 hourMs = qMin(ferrow::intervals().periodHourMs, maxTimerIntervalMs);
    const qint64 periodMs = qint64(record.alarmPeriod) * hourMs;
    alarmTicks = 0;
    if (periodMs <= maxTimerIntervalMs) {
        alarmTicksPerPeriod = 1;
        alarmTimer.start(int(periodMs));
    } else {
        // The period does not fit one timer interval: count its hours.
        alarmTicksPerPeriod = record.alarmPeriod;
        alarmTimer.start(int(hourMs));
    }

    if (record.auditFlags & AuditConfig::TotalAudit)
        MonitorConfig::log(1, "总流量审计启动: 阈值上限%dGB, 周期%d小时", record.alarmSize, record.alarmPeriod);
    if (record.auditFlags & AuditConfig::EgressAudit)
        MonitorConfig::log(1, "上行流量审计启动: 阈值上限%dGB, 周期%d小时", record.egressAlarmSize,
                           record.alarmPeriod);
    if (record.auditFlags & AuditConfig::IngressAudit)
        MonitorConfig::log(1, "下行流量审计启动: 阈值上限%dGB, 周期%d小时", record.ingressAlarmSize,
                           record.alarmPeriod);
}

// The check tick is left running: it also refreshes the documents, which go
// on while counting is on whatever the audits do.
void ProcessMonitor::stopAudit(AuditConfig &record)
{
    alarmTimer.stop();
    alarmTicks = 0;
    processList->resetAuditData();
    if (record.auditFlags & AuditConfig::TotalAudit)
        MonitorConfig::log(1, "总流量审计模块关闭");
    if (record.auditFlags & AuditConfig::EgressAudit)
        MonitorConfig::log(1, "上行流量审计模块关闭");
    if (record.auditFlags & AuditConfig::IngressAudit)
        MonitorConfig::log(1, "下行流量审计模块关闭");
    record.alarmSent = 0;
}

void ProcessMonitor::onAlarmTimeout()
{
    if (alarmTicksPerPeriod > 1 && ++alarmTicks < alarmTicksPerPeriod)
        return;
    alarmTicks = 0;
    MonitorConfig::log(1, "流量审计周期已到，重置审计数据");
    processList->resetAuditData();
    processList->auditConfig.alarmSent = 0;
}

void ProcessMonitor::onCheckTimeout()
{
    processList->refreshSnapshots();

    AuditConfig &c = processList->auditConfig;
    if ((c.auditFlags & AuditConfig::TotalAudit) && !(c.alarmSent & AuditConfig::TotalAudit)) {
        const quint64 total = processList->periodDownload + processList->periodUpload;
        if (total > thresholdBytes(c.alarmSize)) {
            raiseAlarm(c.alarmPeriod, total, AuditConfig::TotalAudit);
            c.alarmSent |= AuditConfig::TotalAudit;
        }
    }
    if ((c.auditFlags & AuditConfig::EgressAudit) && !(c.alarmSent & AuditConfig::EgressAudit)) {
        const quint64 upload = processList->periodUpload;
        if (upload > thresholdBytes(c.egressAlarmSize)) {
            raiseAlarm(c.alarmPeriod, upload, AuditConfig::EgressAudit);
            c.alarmSent |= AuditConfig::EgressAudit;
        }
    }
    if ((c.auditFlags & AuditConfig::IngressAudit) && !(c.alarmSent & AuditConfig::IngressAudit)) {
        const quint64 download = processList->periodDownload;
        if (download > thresholdBytes(c.ingressAlarmSize)) {
            raiseAlarm(c.alarmPeriod, download, AuditConfig::IngressAudit);
            c.alarmSent |= AuditConfig::IngressAudit;
        }
    }
}

} // namespace process
} // namespace sysmonitor

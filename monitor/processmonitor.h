#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

#include "processlist.h"

class MonitorConfig;
class TestProcessMonitor;

namespace sysmonitor {
namespace process {

// The single controller of the daemon.
//
// Switches traffic counting on and off from the settings file, runs the
// traffic audit over the process table's period figures and turns an exceeded
// threshold into an alarm report that is logged and delivered over the D-Bus
// system bus. Its three timers drive the periodic work of the daemon: the
// check tick (snapshot documents, then audit), the database update and the end
// of each audit period. Everything it does is logged at level 1.
class ProcessMonitor : public QObject
{
    Q_OBJECT

public:
    // The controller of the process, created on the first call. Null once it
    // has been destroyed at program exit.
    static ProcessMonitor *instance();

    // Starts monitoring according to the settings (once, before the event loop).
    void start();
    // Stops monitoring; does nothing unless start() found counting on.
    void stop();

    // Fills every field but alarmSent from the settings.
    void readAuditConfig(AuditConfig &record);
    // Resets the audit figures and starts the period timers for record.
    void startAudit(const AuditConfig &record);
    // Stops the period timers, resets the audit figures and record.alarmSent.
    void stopAudit(AuditConfig &record);

    // Builds, logs and delivers the alarm of one audit (kind: its
    // AuditConfig::AuditBit) that measured bytes in a period of periodHours.
    void raiseAlarm(int periodHours, quint64 bytes, int kind);

    // The one-line alarm message. desc is plain text (escaped here); detail is
    // the body of the application list, already escaped for its third level,
    // as the process table's topAppsFragment() returns it.
    static QString buildAlarmMessage(const QString &desc, const QString &detail);

    // Delivers message with "log_transmit": 0 delivered, 1 system bus not
    // connected, 2 service not reachable, 3 call failed, 4 not valid JSON.
    static int sendAlarm(const QString &message);
    // The user named by the device-monitor client; empty on any failure.
    static QString currentUser();
    // First IPv4 address of a non-loopback interface, or empty.
    static QString localIpv4();
    // First IPv4 address of a loopback interface, or empty.
    static QString loopbackIpv4();

    // Audit periods whose length in milliseconds exceeds a timer interval are
    // counted in ticks of one hour.
    static constexpr qint64 maxTimerIntervalMs = 2147483647;

private slots:
    void onConfFileChanged();
    void onAlarmTimeout();
    void onCheckTimeout();

private:
    ProcessMonitor();
    ~ProcessMonitor() override;

    void onSettingsDirectoryChanged();
    void watchSettingsFile();
    static qint64 nowSeconds();

    ProcessList *processList = nullptr;
    MonitorConfig *config = nullptr;
    QTimer checkTimer;
    QTimer alarmTimer;
    QTimer sqlUpdateTimer;
    QFileSystemWatcher confWatcher;
    qint64 periodStart = 0;
    bool running = false;

    // Period ends counted by alarmTimer: 1 when the whole period fits one
    // interval, otherwise the period in hours with one tick per hour.
    qint64 alarmTicksPerPeriod = 1;
    qint64 alarmTicks = 0;

    // Unit tests build controllers of their own and drive the slots directly.
    friend class ::TestProcessMonitor;
};

} // namespace process
} // namespace sysmonitor

#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

namespace ferrow {

// Every fixed path of the daemon. The defaults are the production locations;
// the daemon never changes them. Test code points them elsewhere (usually into
// a QTemporaryDir) through ferrow::defaults(), most simply with
// ferrow::defaults().paths = ferrow::Paths(dir).
struct Paths {
    // Every data file lies in dataDir under its fixed name.
    explicit Paths(const QString &dataDir = QStringLiteral("/var/lib/ferrow_monitor"));

    QString dataDir;
    QString settingsFile;    // setting.conf
    QString logFile;         // ferrow.log
    QString databaseFile;    // ferrow.db
    QString processInfoFile; // process_info
    QString appInfoFile;     // app_info

    QString collectorSocket = QStringLiteral("/tmp/network_monitor.sock");
    QString collectorInterpreter = QStringLiteral("/usr/bin/python3");
    QString collectorScript = QStringLiteral("/usr/bin/ferrow_monitor.py");

    QString dpkgStatusFile = QStringLiteral("/var/lib/dpkg/status");
    QString shellsFile = QStringLiteral("/etc/shells");
    QString procDir = QStringLiteral("/proc");
};

// Every fixed interval of the daemon, in milliseconds.
struct Intervals {
    int checkMs = 5000;             // snapshot refresh and audit evaluation
    int databaseUpdateMs = 60000;   // hourly accounting flush
    qint64 periodHourMs = 3600000;  // one hour of an audit period
    int healthCheckMs = 2000;       // collector link health check
    int restartDelayMs = 5000;      // delay before a collector restart attempt
    int slowRestartMs = 60000;      // pace of the attempts once the quick ones failed
    int reconnectMs = 5000;         // socket reconnection attempts
    int readyCheckMs = 500;         // collector readiness polling
    int processStopMs = 3000;       // wait for the collector to start or stop
};

struct Defaults {
    Paths paths;
    Intervals intervals;
    // Source of the current local time. Empty means the system clock.
    std::function<QDateTime()> clock;
};

// The process-wide defaults. Production code only reads them.
Defaults &defaults();

inline const Paths &paths() { return defaults().paths; }
inline const Intervals &intervals() { return defaults().intervals; }

// Current local date and time, from the injected clock when one is set.
QDateTime currentDateTime();

} // namespace ferrow

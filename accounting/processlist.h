#pragma once

#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>

#include "auditconfig.h"
#include "networkprocess.h"
#include "processinfo.h"
#include "trafficdb.h"

class NetworkMonitor;

namespace sysmonitor {
namespace process {

// The accounting core: merges every collector report into per-process records
// and per-application tables, attributes each new process to its program and
// Debian package, keeps the figures of the current hour and audit period,
// writes them to the database once a minute and publishes the two snapshot
// documents.
//
// The owner table of installed files (packagedatabase.h) is process-wide, so
// there is one ProcessList per process at a time. All of it runs on the main
// thread.
class ProcessList : public QObject
{
    Q_OBJECT

public:
    // Size of the buffer that receives the package name of one lookup.
    static constexpr int PackageNameSize = 256;

    explicit ProcessList(QObject *parent = nullptr);
    ~ProcessList() override;

    bool startNetworkMonitor();
    void stopNetworkMonitor();

    // Hourly accounting and audit period.
    void resetAuditData();

    // Snapshot documents.
    void refreshSnapshots();
    void writeAppDocument();
    void writeProcessDocument();
    static QString formatSize(quint64 bytes, qint32 maxLevel);
    // The ten applications with the most traffic of the audit period (type:
    // TotalAudit, EgressAudit, any other value ingress) as a pre-escaped JSON
    // array body: the alarm report nests it two string levels deep, so
    // quotation marks and application names are escaped three times.
    QString topAppsFragment(qint32 type) const;

    // Application attribution.
    void openPackageDatabase();
    void closePackageDatabase();
    void reloadPackageDatabaseIfChanged();
    QString executablePath(qint32 pid) const;
    // As above while /proc/<pid>/exe can be read; once it cannot (the process
    // is gone), the same rules applied to the program the collector reported.
    QString executablePath(qint32 pid, const QString &reportedExe, const QStringList &reportedArgs) const;
    // The program named by an exe link target: the target itself, or for an
    // interpreter the first absolute argument after the first (args null: the
    // arguments are read from /proc/<pid>/cmdline).
    QString programFromTarget(const QString &target, const QStringList *args, qint32 pid) const;
    bool isInterpreter(const QString &path) const;
    qint32 parentPid(qint32 pid) const;
    QString resolveApplication(const QString &path, qint32 pid) const;
    // 0 when an owner (or a diversion) of path was found, the package name
    // then being in buffer as NUL-terminated UTF-8; non-zero otherwise.
    int findOwnerPackage(const char *path, char *buffer, int size) const;

    // Stores a reported speed: 0 when negative, else rounded to 0.01.
    static double roundSpeed(double speed);

    // The collector's output lines go to the debug log, at most
    // RelayedLinesPerMinute in each minute (nowMs: a monotonic clock); the
    // lines beyond are counted and announced in one line with the next
    // line relayed after their minute.
    static constexpr int RelayedLinesPerMinute = 30;

    void relayCollectorOutput(const QString &line, qint64 nowMs);

public slots:
    void onClearAllProcess();
    void handleSqlUpdate();
    void processNetworkData(QList<NetworkProcess> processes);

public:
    HourRecord hourRecord;
    AuditConfig auditConfig;
    QMap<qint32, ProcessInfo> activeProcesses;
    QMap<qint32, ProcessInfo> processHistory;
    QMap<QString, AppTraffic> auditTraffic;
    QMap<QString, AppTraffic> pendingAppTraffic;
    QMap<QString, AppTraffic> appTraffic;
    NetworkMonitor *networkMonitor = nullptr;
    QStringList shells;
    quint64 periodUpload = 0;
    quint64 periodDownload = 0;
    QDateTime dpkgStatusTime;
    QDateTime lastMinuteTime;
    QDateTime updateTime;
    QString currentHourKey;
    QString updateHourKey;
    // Called with the new name when a damaged database file was moved aside
    // and the figures went into a new database (the controller logs it).
    std::function<void(const QString &path)> databaseMovedAside;

private:
    // A process that left activeProcesses in the given report. Departures
    // are queued as they happen, so the one that left first is at the front.
    struct Departure {
        quint64 round;
        qint32 pid;
    };

    // How long and how many gone processes the history keeps (the reasons
    // are with dropGoneProcesses).
    static constexpr quint64 GoneRetentionReports = 600;
    static constexpr int GoneLimit = 10000;

    // Equal texts of many records (the path, name and package of one program's
    // many processes) are kept once: a copy of a QString shares its text.
    // Started again when full, so it holds few texts of records that are gone.
    static constexpr int SharedTextLimit = 4096;
    QString shared(const QString &text);
    QSet<QString> sharedTexts;

    void buildShells();
    void raisePeaks(double recvSpeedTotal, double sentSpeedTotal);
    void sweepVanishedProcesses();
    void dropGoneProcesses();
    void dropDeparted(const Departure &departure);
    bool saveFlush(const HourRecord &hour);

    quint64 reportRound = 0;
    std::deque<Departure> departures;

    qint64 relayWindowStart = 0;
    int relayedInWindow = 0;
    int suppressedLines = 0;
    bool relayStarted = false;
};

} // namespace process
} // namespace sysmonitor

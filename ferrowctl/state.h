#pragma once

// What the commands read: whether the daemon runs, the settings, the live
// documents and the audit period's figures.

#include <sqlite3.h>

#include <QString>
#include <QVector>

#include <cstdint>
#include <ctime>

namespace ferrowctl {

struct DaemonInfo {
    bool running = false;
    int pid = 0;
    int64_t started = 0; // seconds since the epoch; 0 when unknown
};

// Looks in ferrow::paths().procDir for a process of the daemon's binary
// ("ferrow-monitor"), by its executable or, when that cannot be read, its
// command name.
DaemonInfo probeDaemon();

enum Direction { Total = 0, Egress = 1, Ingress = 2 };
const char *directionName(int direction); // "total", "egress", "ingress"

struct AuditView {
    int direction = Total;
    bool enabled = false; // switched on with a size and the shared period set
    bool inForce = false; // enabled, counting on and the daemon running
    int sizeGiB = 0;
    int64_t thresholdBytes = 0;
    int64_t periodBytes = 0; // traffic of the direction in the current period
    bool alarm = false;      // in force and above the threshold
};

struct SettingsView {
    int counting = 0;
    int periodHours = 0;
    int64_t timestamp = 0; // FERROW_ALARM_TIMESTAMP
    int status[3] = {0, 0, 0};
    int size[3] = {0, 0, 0};
};

// Reads the settings file; false (with a one-line reason) when it is missing
// or unreadable.
bool readSettings(SettingsView *settings, QString *reason);

struct AuditState {
    SettingsView settings;
    DaemonInfo daemon;
    int64_t periodStart = 0; // 0 when no audit is in force
    QString periodStartHour; // its hour key
    AuditView audits[3];
    bool anyInForce() const;
};

// The audits at now: the period runs from the later of the settings' time
// stamp and the daemon's start, restarting every period; its traffic is summed
// from the hour rows since the period's first hour. db may be null when no
// audit is in force. Returns a TrafficReadStatus.
int evaluateAudits(const SettingsView &settings, const DaemonInfo &daemon, sqlite3 *db, time_t now,
                   AuditState *state);

// One entry of a live document ("app_info" or "process_info").
struct LiveEntry {
    QString name;
    double recvSpeed = 0; // KiB/s
    double sentSpeed = 0;
    int64_t recv = 0;
    int64_t sent = 0;
    int64_t total = 0;
};

// Reads a live document; false with a reason when it is absent or not an array.
bool readLiveDocument(const QString &path, const char *nameKey, QVector<LiveEntry> *entries, QString *reason);

} // namespace ferrowctl

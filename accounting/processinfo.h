#pragma once

#include <QSharedData>
#include <QSharedDataPointer>
#include <QString>

#include "trafficdb.h"

namespace sysmonitor {
namespace process {

// Fields of one monitored process. Held through ProcessInfo, which shares
// them between copies until one copy changes.
struct ProcessInfoData : public QSharedData {
    bool graceRound = false; // may survive one sweep after /proc/<pid> vanished
    qint32 pid = 0;
    QString exePath;         // program path, or the script path for interpreters
    QString name;            // file-name part of exePath
    QString app;             // owning package, "-" when none was found
    QString reportedExe;     // program the collector reported at creation; empty when none
    qint32 alive = 0;        // 1 while /proc/<pid>/stat was last seen
    double recv_speed = 0;   // last reported receive speed, rounded to 0.01
    double sent_speed = 0;   // last reported send speed, rounded to 0.01
    quint64 sum_recv = 0;    // bytes received since the record was created
    quint64 sum_sent = 0;    // bytes sent since the record was created
    quint64 departedRound = 0; // report that removed it from the active table; 0 while active
};

// Copy-on-write value of one process record: copies are cheap, and writing
// through one copy (operator-> on a non-const object) never changes another.
class ProcessInfo
{
public:
    ProcessInfo() : d(new ProcessInfoData) {}

    const ProcessInfoData *operator->() const { return d.constData(); }
    ProcessInfoData *operator->() { return d.data(); }
    const ProcessInfoData &fields() const { return *d; }

private:
    QSharedDataPointer<ProcessInfoData> d;
};

// Every byte counter of the table saturates at the largest figure the
// database stores, so a sum of two counters (a total) never overflows and a
// report announcing more bytes than can exist cannot wrap a figure around.
inline quint64 addBytes(quint64 counter, quint64 bytes)
{
    constexpr quint64 limit = quint64(kMaxStoredBytes);
    return counter >= limit || bytes >= limit - counter ? limit : counter + bytes;
}

// Byte counters of one application. prevRecv and prevSent hold recv and sent
// as of the last application document, for its per-interval speeds.
struct AppTraffic {
    quint64 recv = 0;
    quint64 sent = 0;
    quint64 prevRecv = 0;
    quint64 prevSent = 0;
};

} // namespace process
} // namespace sysmonitor

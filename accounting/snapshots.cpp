// The two snapshot documents and the text builders used by alarms.

#include "processlist.h"

#include "defaults.h"
#include "jsonescape.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace sysmonitor {
namespace process {

namespace {

// Byte counts as JSON integers. The serialiser writes every number through a
// double, so they are exact up to 2^53 bytes (8 PiB).
QJsonValue byteCount(quint64 bytes)
{
    if (bytes <= quint64(std::numeric_limits<qint64>::max()))
        return QJsonValue(qint64(bytes));
    return QJsonValue(double(bytes));
}

// Kibibytes per second over one 5000 ms refresh, rounded to two decimals.
double intervalSpeed(quint64 now, quint64 before)
{
    const double x = double(now - before) * 1000 / 5120000;
    return double(qint64(x * 100 + 0.5)) / 100.0;
}

// Replaces the file as a whole (written beside it, then renamed over it), so
// a reader sees either the previous or the new document, never a part. A full
// disk shows as a short write, a failed flush or a failed sync; any of them
// abandons the new file and leaves the previous document in place.
void writeDocument(const QString &path, const QJsonArray &array, const char *failure)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qDebug() << failure;
        return;
    }
    const QByteArray text = QJsonDocument(array).toJson(QJsonDocument::Compact);
    if (file.write(text) != text.size() || !file.flush() || ::fsync(file.handle()) != 0) {
        const QString reason = file.error() != QFileDevice::NoError ? file.errorString()
                                                                      : QString::fromLocal8Bit(std::strerror(errno));
        qWarning() << "Failed to write file" << path << reason;
        file.cancelWriting();
        return;
    }
    if (!file.commit())
        qWarning() << "Failed to write file" << path << file.errorString();
}

struct AppPeriodEntry {
    QString name;
    quint64 recv = 0;
    quint64 sent = 0;
};

} // namespace

void ProcessList::refreshSnapshots()
{
    reloadPackageDatabaseIfChanged();
    writeAppDocument();
    writeProcessDocument();
}

void ProcessList::writeProcessDocument()
{
    QJsonArray array;
    for (const ProcessInfo &info : qAsConst(processHistory)) {
        QJsonObject entry;
        entry.insert(QStringLiteral("pname"), info->name);
        entry.insert(QStringLiteral("recv_speed"), info->recv_speed);
        entry.insert(QStringLiteral("sent_speed"), info->sent_speed);
        entry.insert(QStringLiteral("sum_recv"), byteCount(info->sum_recv));
        entry.insert(QStringLiteral("sum_sent"), byteCount(info->sum_sent));
        entry.insert(QStringLiteral("sum_total"), byteCount(info->sum_recv + info->sum_sent));
        array.append(entry);
    }
    writeDocument(ferrow::paths().processInfoFile, array, "Failed to open file ProcessFerrowDoc");
}

void ProcessList::writeAppDocument()
{
    QJsonArray array;
    for (auto it = appTraffic.begin(); it != appTraffic.end(); ++it) {
        AppTraffic &traffic = it.value();
        QJsonObject entry;
        entry.insert(QStringLiteral("pkg"), it.key());
        entry.insert(QStringLiteral("recv_speed"), intervalSpeed(traffic.recv, traffic.prevRecv));
        entry.insert(QStringLiteral("sent_speed"), intervalSpeed(traffic.sent, traffic.prevSent));
        entry.insert(QStringLiteral("sum_recv"), byteCount(traffic.recv));
        entry.insert(QStringLiteral("sum_sent"), byteCount(traffic.sent));
        entry.insert(QStringLiteral("sum_total"), byteCount(traffic.recv + traffic.sent));
        array.append(entry);
        traffic.prevRecv = traffic.recv;
        traffic.prevSent = traffic.sent;
    }
    writeDocument(ferrow::paths().appInfoFile, array, "Failed to open file AppFerrowDoc");
}

QString ProcessList::formatSize(quint64 bytes, qint32 maxLevel)
{
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB"};
    double x = double(bytes);
    int level = 0;
    if (x >= 1024 && maxLevel > 0) {
        do {
            x /= 1024;
            ++level;
        } while (x >= 1024 && level < maxLevel);
    }
    return QString::number(x, 'f', 2) + QLatin1String(units[qBound(0, level, 4)]);
}

QString ProcessList::topAppsFragment(qint32 type) const
{
    QList<AppPeriodEntry> entries;
    entries.reserve(auditTraffic.size());
    for (auto it = auditTraffic.cbegin(); it != auditTraffic.cend(); ++it)
        entries.append({it.key(), it->recv, it->sent});

    auto key = [type](const AppPeriodEntry &e) {
        if (type == AuditConfig::TotalAudit)
            return e.recv + e.sent;
        return type == AuditConfig::EgressAudit ? e.sent : e.recv;
    };
    std::sort(entries.begin(), entries.end(),
              [&key](const AppPeriodEntry &a, const AppPeriodEntry &b) { return key(a) > key(b); });

    const int n = std::min(int(entries.size()), 10);
    // Each quotation mark is written as \\\" so the fragment survives two
    // levels of JSON unescaping in the alarm report.
    const QString q = QStringLiteral("\\\\\\\"");
    QString fragment;
    for (int i = 0; i < n; ++i) {
        const AppPeriodEntry &e = entries.at(i);
        fragment += QLatin1Char('{') + q + QLatin1String("app") + q + QLatin1Char(':') + q + jsonEscape(e.name, 3) + q
                    + QLatin1Char(',') + q + QLatin1String("total") + q + QLatin1Char(':') + q
                    + formatSize(e.recv + e.sent, 4) + q + QLatin1Char(',') + q + QLatin1String("upload") + q
                    + QLatin1Char(':') + q + formatSize(e.sent, 4) + q + QLatin1Char(',') + q
                    + QLatin1String("download") + q + QLatin1Char(':') + q + formatSize(e.recv, 4) + q
                    + QLatin1Char('}');
        if (i < n - 1)
            fragment += QLatin1Char(',');
    }
    return fragment;
}

} // namespace process
} // namespace sysmonitor

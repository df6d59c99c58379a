#include "state.h"

#include "defaults.h"
#include "monitorconfig.h"
#include "trafficdb.h"
#include "trafficread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <algorithm>

namespace ferrowctl {

namespace {

const QString kDaemonBinary = QStringLiteral("ferrow-monitor");

QByteArray readSmallFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(64 * 1024);
}

// Boot time from <proc>/stat, 0 when unknown.
int64_t bootTime(const QString &procDir)
{
    const QList<QByteArray> lines = readSmallFile(procDir + QStringLiteral("/stat")).split('\n');
    for (const QByteArray &line : lines)
        if (line.startsWith("btime "))
            return line.mid(6).trimmed().toLongLong();
    return 0;
}

// The process's start time from field 22 of <proc>/<pid>/stat, 0 when unknown.
int64_t processStart(const QString &procDir, const QString &pid)
{
    const QByteArray stat = readSmallFile(procDir + QLatin1Char('/') + pid + QStringLiteral("/stat"));
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return 0;
    // The fields after the command name start with the third, the state.
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    if (fields.size() < 20)
        return 0;
    const int64_t boot = bootTime(procDir);
    const long ticks = sysconf(_SC_CLK_TCK);
    if (boot == 0 || ticks <= 0)
        return 0;
    return boot + fields[19].toLongLong() / ticks;
}

bool isDaemonProcess(const QString &dir)
{
    // The executable's link (" (deleted)" after an upgrade replaced the file).
    QString exe = QFile::symLinkTarget(dir + QStringLiteral("/exe"));
    if (!exe.isEmpty()) {
        if (exe.endsWith(QLatin1String(" (deleted)")))
            exe.chop(10);
        return QFileInfo(exe).fileName() == kDaemonBinary;
    }
    return readSmallFile(dir + QStringLiteral("/comm")).trimmed() == kDaemonBinary.toUtf8();
}

int settingNumber(const char *key)
{
    bool ok = false;
    const int number = MonitorConfig::value(QLatin1String(key)).toInt(&ok, 10);
    return ok ? number : 0;
}

} // namespace

const char *directionName(int direction)
{
    switch (direction) {
    case Egress: return "egress";
    case Ingress: return "ingress";
    default: return "total";
    }
}

DaemonInfo probeDaemon()
{
    DaemonInfo info;
    const QString procDir = ferrow::paths().procDir;
    const QString self = QString::number(getpid());
    const QStringList entries = QDir(procDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric || entry == self)
            continue;
        if (!isDaemonProcess(procDir + QLatin1Char('/') + entry))
            continue;
        info.running = true;
        info.pid = pid;
        info.started = processStart(procDir, entry);
        break;
    }
    return info;
}

bool readSettings(SettingsView *settings, QString *reason)
{
    const QString path = ferrow::paths().settingsFile;
    const QFileInfo info(path);
    if (!info.exists()) {
        *reason = QStringLiteral("the settings file %1 does not exist").arg(path);
        return false;
    }
    QFile file(path);
    if (info.isDir() || !file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("the settings file %1 cannot be read").arg(path);
        return false;
    }
    file.close();
    settings->counting = MonitorConfig::countStatus();
    settings->periodHours = settingNumber("FERROW_ALARM_PERIOD");
    settings->timestamp = MonitorConfig::value(QStringLiteral("FERROW_ALARM_TIMESTAMP")).toLongLong();
    settings->status[Total] = MonitorConfig::alarmStatus();
    settings->status[Egress] = MonitorConfig::egressAlarmStatus();
    settings->status[Ingress] = MonitorConfig::ingressAlarmStatus();
    settings->size[Total] = settingNumber("FERROW_ALARM_SIZE");
    settings->size[Egress] = settingNumber("FERROW_EGRESS_ALARM_SIZE");
    settings->size[Ingress] = settingNumber("FERROW_INGRESS_ALARM_SIZE");
    return true;
}

bool AuditState::anyInForce() const
{
    return audits[Total].inForce || audits[Egress].inForce || audits[Ingress].inForce;
}

int evaluateAudits(const SettingsView &settings, const DaemonInfo &daemon, sqlite3 *db, time_t now,
                   AuditState *state)
{
    state->settings = settings;
    state->daemon = daemon;
    for (int d = Total; d <= Ingress; ++d) {
        AuditView &a = state->audits[d];
        a = AuditView();
        a.direction = d;
        a.sizeGiB = settings.size[d];
        // The daemon's own rule: a switch, a size of at least 1 GiB and a period of at least an hour.
        a.enabled = settings.status[d] != 0 && settings.size[d] >= 1 && settings.periodHours >= 1;
        a.inForce = a.enabled && settings.counting != 0 && daemon.running;
        a.thresholdBytes = a.sizeGiB > 0 ? int64_t(a.sizeGiB) * 1073741824LL : 0;
    }
    if (!state->anyInForce())
        return TrafficReadOk;

    const int64_t length = int64_t(settings.periodHours) * 3600;
    int64_t start = std::max(settings.timestamp, daemon.started);
    if (start <= 0 || start > now)
        start = now;
    start += (now - start) / length * length;
    state->periodStart = start;
    state->periodStartHour = QString::fromLatin1(hourKeyAt(time_t(start), 0));

    int64_t recv = 0;
    int64_t sent = 0;
    const int status = db ? readTrafficSince(db, state->periodStartHour, &recv, &sent) : TrafficReadOk;
    if (status != TrafficReadOk)
        return status;
    const int64_t bytes[3] = {recv + sent, sent, recv};
    for (int d = Total; d <= Ingress; ++d) {
        AuditView &a = state->audits[d];
        if (!a.inForce)
            continue;
        a.periodBytes = bytes[d];
        a.alarm = a.periodBytes > a.thresholdBytes;
    }
    return TrafficReadOk;
}

bool readLiveDocument(const QString &path, const char *nameKey, QVector<LiveEntry> *entries, QString *reason)
{
    entries->clear();
    QFile file(path);
    if (!file.exists()) {
        *reason = QStringLiteral("the live document %1 does not exist").arg(path);
        return false;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = QStringLiteral("the live document %1 cannot be read").arg(path);
        return false;
    }
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        *reason = QStringLiteral("the live document %1 is not a JSON array").arg(path);
        return false;
    }
    const QString key = QLatin1String(nameKey);
    for (const QJsonValue &value : document.array()) {
        const QJsonObject object = value.toObject();
        LiveEntry entry;
        entry.name = object.value(key).toString();
        entry.recvSpeed = object.value(QLatin1String("recv_speed")).toDouble();
        entry.sentSpeed = object.value(QLatin1String("sent_speed")).toDouble();
        entry.recv = int64_t(object.value(QLatin1String("sum_recv")).toDouble());
        entry.sent = int64_t(object.value(QLatin1String("sum_sent")).toDouble());
        entry.total = int64_t(object.value(QLatin1String("sum_total")).toDouble());
        entries->append(entry);
    }
    return true;
}

} // namespace ferrowctl

// Alarm reports: the message text and its delivery over the D-Bus system bus.
#include "processmonitor.h"

#include "alarmtext.h"
#include "defaults.h"
#include "monitorconfig.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkInterface>


namespace sysmonitor {
namespace process {

namespace {

const char userService[] = "com.zantor.quorvane.pellionclient";
const char userPath[] = "/quorvane/pellionclient";
const char userInterface[] = "com.zantor.quorvane.pellionclient";

const char transmitService[] = "org.log.sys_transmit";
const char transmitPath[] = "/org/log/sys_transmit";
const char transmitInterface[] = "org.log.transmit";

QString sizeText(quint64 bytes)
{
    return ProcessList::formatSize(bytes, 4);
}

// First IPv4 address of the interfaces whose loopback flag equals `loopback`,
// in the order the system lists interfaces and their addresses.
QString firstIpv4(bool loopback)
{
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &iface : interfaces) {
        if (bool(iface.flags() & QNetworkInterface::IsLoopBack) != loopback)
            continue;
        const QList<QNetworkAddressEntry> entries = iface.addressEntries();
        for (const QNetworkAddressEntry &entry : entries) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol)
                return entry.ip().toString();
        }
    }
    return QString();
}

} // namespace

void ProcessMonitor::raiseAlarm(int periodHours, quint64 bytes, int kind)
{
    const QString elapsed = alarmtext::elapsedText(nowSeconds(), periodStart, periodHours);
    const QString desc = alarmtext::description(kind, elapsed, sizeText(bytes));
    const QString message = buildAlarmMessage(desc, processList->topAppsFragment(kind));
    MonitorConfig::log(1, "%s", message.toUtf8().constData());

    const int code = sendAlarm(message);
    if (code != 0)
        MonitorConfig::log(1, "阈值警报上报失败:%d", code);
}

QString ProcessMonitor::buildAlarmMessage(const QString &desc, const QString &detail)
{
    const QString time = ferrow::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    QString user = currentUser();
    if (user.isEmpty())
        user = QStringLiteral("root");
    QString ip = localIpv4();
    if (ip.isEmpty()) {
        ip = loopbackIpv4();
        MonitorConfig::log(1, "ip未知，使用回环地址: %s, 上传日志到log_transmit", ip.toUtf8().constData());
    }
    return alarmtext::composeMessage(time, user, ip, desc, detail);
}

int ProcessMonitor::sendAlarm(const QString &message)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return 1;
    QDBusInterface transmit(QLatin1String(transmitService), QLatin1String(transmitPath),
                            QLatin1String(transmitInterface), bus);
    if (!transmit.isValid())
        return 2;

    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError)
        return 4;
    // Compact, keys in ascending order, non-ASCII as UTF-8.
    const QString compact = QString::fromUtf8(document.toJson(QJsonDocument::Compact));

    const QDBusReply<QString> reply = transmit.call(QStringLiteral("log_transmit"), compact);
    return reply.isValid() ? 0 : 3;
}

QString ProcessMonitor::currentUser()
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return QString();
    QDBusInterface client(QLatin1String(userService), QLatin1String(userPath),
                          QLatin1String(userInterface), bus);
    if (!client.isValid())
        return QString();
    const QDBusReply<QString> reply = client.call(QStringLiteral("get_current_user"));
    return reply.isValid() ? reply.value() : QString();
}

QString ProcessMonitor::localIpv4()
{
    return firstIpv4(false);
}

QString ProcessMonitor::loopbackIpv4()
{
    return firstIpv4(true);
}

} // namespace process
} // namespace sysmonitor

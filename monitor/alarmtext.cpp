#include "alarmtext.h"

#include "auditconfig.h"

namespace sysmonitor {
namespace process {
namespace alarmtext {

QString directionWord(int kind)
{
    switch (kind) {
    case AuditConfig::TotalAudit: return QStringLiteral("总");
    case AuditConfig::EgressAudit: return QStringLiteral("上行");
    case AuditConfig::IngressAudit: return QStringLiteral("下行");
    default: return QString();
    }
}

QString elapsedText(qint64 nowSeconds, qint64 periodStart, int periodHours)
{
    qint64 elapsed = nowSeconds - periodStart;
    const qint64 periodSeconds = qint64(periodHours) * 3600;
    if (periodSeconds > 0)
        elapsed %= periodSeconds;
    const qint64 hundredths = elapsed / 36;
    const QString text = QString::number(hundredths / 100.0, 'f', 2);
    return text == QLatin1String("0.00") ? QStringLiteral("0.01") : text;
}

QString description(int kind, const QString &elapsed, const QString &byteText)
{
    return directionWord(kind) + QStringLiteral("流量使用超标,") + elapsed
        + QStringLiteral("小时内使用") + byteText;
}

QString composeMessage(const QString &time, const QString &user, const QString &ip,
                       const QString &desc, const QString &detail)
{
    return QLatin1String("{\"time\":\"") + jsonEscape(time) + QLatin1String("\",\"hostname\":\"")
        + jsonEscape(user) + QLatin1String("\",\"ip\":\"") + jsonEscape(ip)
        + QLatin1String("\",\"name\":\"ferrow_alarm\",\"lv\":\"error\",\"message\":\"{\\\"exceptionDesc\\\":\\\"")
        + jsonEscape(desc, 2) + QLatin1String("\\\",\\\"detail\\\":\\\"[") + detail
        + QLatin1String("]\\\"}\"}");
}

} // namespace alarmtext
} // namespace process
} // namespace sysmonitor

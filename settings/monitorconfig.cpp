#include "monitorconfig.h"

#include "defaults.h"
#include "inifile.h"

#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdarg>

namespace {

const QString kGroup = QStringLiteral("RivletMonitor");

const QString kCountStatus = QStringLiteral("FERROW_COUNT_STATUS");
const QString kAlarmStatus = QStringLiteral("FERROW_ALARM_STATUS");
const QString kAlarmSize = QStringLiteral("FERROW_ALARM_SIZE");
const QString kAlarmPeriod = QStringLiteral("FERROW_ALARM_PERIOD");
const QString kEgressAlarmStatus = QStringLiteral("FERROW_EGRESS_ALARM_STATUS");
const QString kEgressAlarmSize = QStringLiteral("FERROW_EGRESS_ALARM_SIZE");
const QString kIngressAlarmStatus = QStringLiteral("FERROW_INGRESS_ALARM_STATUS");
const QString kIngressAlarmSize = QStringLiteral("FERROW_INGRESS_ALARM_SIZE");
const QString kAlarmTimestamp = QStringLiteral("FERROW_ALARM_TIMESTAMP");
const QString kLogLevel = QStringLiteral("LogLevel");

// LogLevel once read; 0 means "not read yet" as well as "logging off", so a
// missing key is looked up again at every call. Never reset by the daemon.
int logLevelCache = 0;

int toInt(const QString &text)
{
    if (text.isEmpty())
        return 0;
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    return ok ? number : 0;
}

int switchValue(const QString &key)
{
    return toInt(MonitorConfig::value(key));
}

QString thresholdJson(const QString &sizeKey)
{
    QJsonObject object;
    object.insert(QStringLiteral("size"), toInt(MonitorConfig::value(sizeKey)));
    object.insert(QStringLiteral("period"), toInt(MonitorConfig::value(kAlarmPeriod)));
    // QJsonObject keeps its keys sorted: {"period":P,"size":S}.
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void writeTimestamp()
{
    const quint32 seconds = static_cast<quint32>(ferrow::currentDateTime().toSecsSinceEpoch());
    MonitorConfig::setValue(kAlarmTimestamp, QString::number(seconds));
}

int setSwitch(const QString &key, unsigned int status, bool stamp)
{
    if (status > 1)
        return -1;
    // A numeric comparison: a stored "01" counts as 1.
    if (static_cast<int>(status) == switchValue(key))
        return 0;
    MonitorConfig::setValue(key, QString::number(status));
    if (stamp)
        writeTimestamp();
    return 0;
}

int setThreshold(const QString &sizeKey, int size, int period)
{
    if (size < 0 || period < 0)
        return -1;
    // A text comparison: a stored "010" differs from 10, an absent key ("0") equals 0.
    const QString sizeText = QString::number(size);
    const QString periodText = QString::number(period);
    if (sizeText == MonitorConfig::value(sizeKey) && periodText == MonitorConfig::value(kAlarmPeriod))
        return 0;
    MonitorConfig::setValue(sizeKey, sizeText);
    MonitorConfig::setValue(kAlarmPeriod, periodText);
    writeTimestamp();
    return 0;
}

int readLogLevel()
{
    return toInt(IniFile::read(ferrow::paths().settingsFile, kGroup, kLogLevel));
}

void appendToLogFile(const QByteArray &bytes)
{
    QFile file(ferrow::paths().logFile);
    // The open result is deliberately not checked: a line that cannot be
    // written is lost from the file but has already gone to the debug output.
    if (file.exists())
        file.open(QIODevice::WriteOnly | QIODevice::Append);
    else
        file.open(QIODevice::ReadWrite);
    file.write(bytes);
    file.close();
}

} // namespace

MonitorConfig::MonitorConfig(QObject *parent) : QObject(parent) {}

MonitorConfig::~MonitorConfig() = default;

QString MonitorConfig::value(const QString &key)
{
    // Parsed from the file as it is now: a cached copy could miss a rewrite
    // that kept the file's size and time stamp.
    const QString stored = IniFile::read(ferrow::paths().settingsFile, kGroup, key);
    if (stored.isNull())
        return QStringLiteral("0");
    return stored;
}

int MonitorConfig::setValue(const QString &key, const QString &value)
{
    // The whole file is written anew and renamed over the old one. A failed
    // write goes unreported: callers are told 0 either way.
    IniFile::write(ferrow::paths().settingsFile, kGroup, key, value);
    return 0;
}

int MonitorConfig::countStatus() { return switchValue(kCountStatus); }
int MonitorConfig::alarmStatus() { return switchValue(kAlarmStatus); }
int MonitorConfig::egressAlarmStatus() { return switchValue(kEgressAlarmStatus); }
int MonitorConfig::ingressAlarmStatus() { return switchValue(kIngressAlarmStatus); }

QString MonitorConfig::alarmConfig() { return thresholdJson(kAlarmSize); }
QString MonitorConfig::egressAlarmConfig() { return thresholdJson(kEgressAlarmSize); }
QString MonitorConfig::ingressAlarmConfig() { return thresholdJson(kIngressAlarmSize); }

int MonitorConfig::setCountStatus(unsigned int status) { return setSwitch(kCountStatus, status, false); }
int MonitorConfig::setAlarmStatus(unsigned int status) { return setSwitch(kAlarmStatus, status, true); }
int MonitorConfig::setEgressAlarmStatus(unsigned int status) { return setSwitch(kEgressAlarmStatus, status, true); }
int MonitorConfig::setIngressAlarmStatus(unsigned int status) { return setSwitch(kIngressAlarmStatus, status, true); }

int MonitorConfig::setAlarmConfig(int size, int period) { return setThreshold(kAlarmSize, size, period); }
int MonitorConfig::setEgressAlarmConfig(int size, int period) { return setThreshold(kEgressAlarmSize, size, period); }
int MonitorConfig::setIngressAlarmConfig(int size, int period) { return setThreshold(kIngressAlarmSize, size, period); }

bool MonitorConfig::log(int level, const char *format, ...)
{
    if (logLevelCache == 0)
        logLevelCache = readLogLevel();
    if (level > logLevelCache)
        return false;

    const QString stamp = ferrow::currentDateTime().toString(QStringLiteral("yyyy:MM:dd hh:mm:ss:zzz"));
    QString line = QStringLiteral("[%1] ").arg(stamp);

    va_list args;
    va_start(args, format);
    line += QString::vasprintf(format, args);
    va_end(args);

    qDebug() << line;
    line += QLatin1Char('\n');
    appendToLogFile(line.toUtf8());
    return true;
}

void MonitorConfig::resetLogLevelCacheForTests()
{
    logLevelCache = 0;
}

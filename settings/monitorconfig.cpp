#include "monitorconfig.h"

MonitorConfig::MonitorConfig(QObject *parent) : QObject(parent) {}
MonitorConfig::~MonitorConfig() = default;

QString MonitorConfig::value(const QString &) { return QStringLiteral("0"); }
int MonitorConfig::setValue(const QString &, const QString &) { return 0; }
int MonitorConfig::countStatus() { return 0; }
int MonitorConfig::alarmStatus() { return 0; }
int MonitorConfig::egressAlarmStatus() { return 0; }
int MonitorConfig::ingressAlarmStatus() { return 0; }
QString MonitorConfig::alarmConfig() { return QString(); }
QString MonitorConfig::egressAlarmConfig() { return QString(); }
QString MonitorConfig::ingressAlarmConfig() { return QString(); }
int MonitorConfig::setCountStatus(unsigned int) { return 0; }
int MonitorConfig::setAlarmStatus(unsigned int) { return 0; }
int MonitorConfig::setEgressAlarmStatus(unsigned int) { return 0; }
int MonitorConfig::setIngressAlarmStatus(unsigned int) { return 0; }
int MonitorConfig::setAlarmConfig(int, int) { return 0; }
int MonitorConfig::setEgressAlarmConfig(int, int) { return 0; }
int MonitorConfig::setIngressAlarmConfig(int, int) { return 0; }
bool MonitorConfig::log(int, const char *, ...) { return false; }
void MonitorConfig::resetLogLevelCacheForTests() {}

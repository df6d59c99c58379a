#pragma once

#include <QObject>
#include <QString>

// Settings store and log writer of the daemon.
//
// The class keeps no state of its own: every settings access opens the INI
// file (ferrow::paths().settingsFile, group "RivletMonitor") anew, and every
// write syncs the whole file at once. The only cached value in the process is
// the log level read by log(). All members are static so that callers can use
// either an instance or the class name; any number of instances behave alike.
class MonitorConfig : public QObject
{
    Q_OBJECT

public:
    explicit MonitorConfig(QObject *parent = nullptr);
    ~MonitorConfig() override;

    // Stored text of key, or "0" when the key is absent.
    static QString value(const QString &key);
    // Stores value under key and syncs the file. Always returns 0.
    static int setValue(const QString &key, const QString &value);

    // Switches: 0 when empty or not a number, otherwise the base-10 value.
    static int countStatus();
    static int alarmStatus();
    static int egressAlarmStatus();
    static int ingressAlarmStatus();

    // Compact JSON {"period":P,"size":S} of one audit's threshold.
    static QString alarmConfig();
    static QString egressAlarmConfig();
    static QString ingressAlarmConfig();

    // Switch setters: -1 when status > 1 (nothing written), otherwise 0.
    static int setCountStatus(unsigned int status);
    static int setAlarmStatus(unsigned int status);
    static int setEgressAlarmStatus(unsigned int status);
    static int setIngressAlarmStatus(unsigned int status);

    // Threshold setters (GB, hours): -1 when an argument is negative, otherwise 0.
    static int setAlarmConfig(int size, int period);
    static int setEgressAlarmConfig(int size, int period);
    static int setIngressAlarmConfig(int size, int period);

    // Appends "[yyyy:MM:dd hh:mm:ss:zzz] <message>\n" to the log file when
    // level <= LogLevel. Returns false when the level filter drops the message,
    // true otherwise (even when the file cannot be written). Text composed at
    // run time must be passed as the argument of a "%s", never as format.
    static bool log(int level, const char *format, ...) Q_ATTRIBUTE_FORMAT_PRINTF(2, 3);

    // Forgets the cached log level so that the next log() reads it again.
    // For tests only: the daemon never resets the cache.
    static void resetLogLevelCacheForTests();
};

#pragma once

// Shared set-up for tests that run fake_collector.py as the collector child:
// a private directory for the data files, the socket and the event log, the
// defaults pointed there, and the fake's environment variables.

#include "defaults.h"

#include <QFile>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>

class FakeCollector
{
public:
    FakeCollector()
        : dir(QStringLiteral("/tmp/fco-XXXXXX"))
    {
        clearEnvironment();
        ferrow::defaults().paths = ferrow::Paths(dir.path());
        ferrow::Paths &paths = ferrow::defaults().paths;
        paths.collectorSocket = socketPath();
        paths.collectorScript = QStringLiteral(FAKE_COLLECTOR_PATH);
        set("SOCKET", socketPath());
        set("LOG", logPath());
    }

    ~FakeCollector()
    {
        clearEnvironment();
        ferrow::defaults() = ferrow::Defaults();
    }

    bool isValid() const { return dir.isValid(); }
    QString socketPath() const { return dir.filePath(QStringLiteral("c.sock")); }
    QString logPath() const { return dir.filePath(QStringLiteral("events")); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

    // Sets FAKE_COLLECTOR_<name> for every collector launched from now on.
    static void set(const char *name, const QString &value)
    {
        qputenv(QByteArray("FAKE_COLLECTOR_") + name, value.toUtf8());
    }

    // The events the fake collectors logged, one per line ("start <pid>", ...).
    QStringList events() const
    {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    int count(const QString &prefix) const
    {
        int n = 0;
        for (const QString &event : events())
            n += event.startsWith(prefix) ? 1 : 0;
        return n;
    }

    // The pid of the last collector started.
    qint64 lastPid() const
    {
        qint64 pid = 0;
        for (const QString &event : events()) {
            if (event.startsWith(QLatin1String("start ")))
                pid = event.mid(6).toLongLong();
        }
        return pid;
    }

private:
    static void clearEnvironment()
    {
        const QStringList keys = QProcessEnvironment::systemEnvironment().keys();
        for (const QString &key : keys) {
            if (key.startsWith(QLatin1String("FAKE_COLLECTOR_")))
                qunsetenv(key.toLatin1().constData());
        }
    }

    QTemporaryDir dir;
};

#pragma once

// Test helpers: a private dbus-daemon standing in for the system bus, and the
// Python stand-ins for the services an alarm calls (bus_services.py).

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#ifndef FERROW_BUS_SERVICES
#error "FERROW_BUS_SERVICES must name bus_services.py"
#endif

class PrivateBus
{
public:
    ~PrivateBus() { stop(); }

    // Starts a bus listening on a socket in dir; returns its address, or an
    // empty text with the reason in error().
    QString start(const QString &dir)
    {
        const QString config = QDir(dir).filePath(QStringLiteral("bus.conf"));
        QFile file(config);
        if (!file.open(QIODevice::WriteOnly)) {
            lastError = file.errorString();
            return QString();
        }
        file.write(QStringLiteral(
                       "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                       " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                       "<busconfig>\n"
                       "  <type>system</type>\n"
                       "  <listen>unix:path=%1</listen>\n"
                       "  <auth>EXTERNAL</auth>\n"
                       "  <policy context=\"default\">\n"
                       "    <allow user=\"*\"/>\n"
                       "    <allow own=\"*\"/>\n"
                       "    <allow send_destination=\"*\"/>\n"
                       "    <allow receive_sender=\"*\"/>\n"
                       "  </policy>\n"
                       "</busconfig>\n")
                       .arg(QDir(dir).filePath(QStringLiteral("bus.sock")))
                       .toUtf8());
        file.close();

        daemon.setProgram(QStringLiteral("dbus-daemon"));
        daemon.setArguments({QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"),
                             QStringLiteral("--print-address")});
        daemon.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        daemon.start();
        if (!daemon.waitForStarted(5000) || !waitForLine(daemon, 10000)) {
            lastError = QStringLiteral("dbus-daemon did not start: ") + daemon.errorString();
            return QString();
        }
        busAddress = QString::fromUtf8(daemon.readLine()).trimmed();
        return busAddress;
    }

    void stop()
    {
        if (daemon.state() != QProcess::NotRunning) {
            daemon.terminate();
            if (!daemon.waitForFinished(5000)) {
                daemon.kill();
                daemon.waitForFinished(5000);
            }
        }
    }

    QString address() const { return busAddress; }
    QString error() const { return lastError; }

    static bool waitForLine(QProcess &process, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        while (!process.canReadLine()) {
            if (timer.elapsed() > timeoutMs || process.state() == QProcess::NotRunning)
                return false;
            process.waitForReadyRead(100);
        }
        return true;
    }

private:
    QProcess daemon;
    QString busAddress;
    QString lastError;
};

// One run of bus_services.py with the given options.
class BusServices
{
public:
    ~BusServices() { stop(); }

    bool start(const QString &busAddress, const QStringList &options)
    {
        stop();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), busAddress);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QStringLiteral("/usr/bin/python3"),
                      QStringList{QStringLiteral(FERROW_BUS_SERVICES)} + options);
        if (!process.waitForStarted(5000) || !PrivateBus::waitForLine(process, 15000))
            return false;
        return process.readLine().trimmed() == "ready";
    }

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }

private:
    QProcess process;
};

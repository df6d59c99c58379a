#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "networkprocess.h"

#include <functional>

class NetworkSocketServer;
class NetworkSocketClient;
class QTimer;

// The collector link as the rest of the daemon sees it: launches the collector
// through NetworkSocketServer, reads it through NetworkSocketClient, turns every
// data document into a QList<NetworkProcess>, checks the link's health every
// two seconds and restarts a failed collector three times in a row at the
// quick pace, then once a minute until one of them becomes ready again.
class NetworkMonitor : public QObject
{
    Q_OBJECT

public:
    explicit NetworkMonitor(QObject *parent = nullptr);
    ~NetworkMonitor() override;

    // Launches the collector; false when already running or not launched.
    bool startMonitoring();
    // Stops timers, connection and collector; always reports "监控已停止".
    void stopMonitoring();
    bool isMonitoring() const;
    // The collector is ready and sent a document within the last 10 seconds.
    bool isServerHealthy() const;

    // Health ticks that found the collector ready but the socket unconnected.
    // Shared by every monitor of the process; reset only when it triggers a
    // restart.
    static int unconnectedTicks;

    // Milliseconds of a monotonic clock, which measures the collector's
    // silence. Empty means the system's monotonic clock; tests replace it to
    // let time pass without waiting.
    static std::function<qint64()> monotonicClock;

signals:
    void dataReceived(const QList<NetworkProcess> &processes);
    void errorOccurred(const QString &error);
    void statusChanged(const QString &status);

public slots:
    void onServerStarted();
    void onServerStopped();
    void onServerError(const QString &error);
    void onSocketDataReceived(const QJsonObject &data);
    void onSocketConnected();
    void onSocketDisconnected();
    void onSocketError(const QString &error);
    void attemptServerRestart();
    void checkServerHealth();

private:
    int silenceSeconds() const;
    qint64 monotonicMs() const;
    void restartSlowly();

    NetworkSocketServer *server;
    NetworkSocketClient *client;
    bool running;
    QTimer *restartTimer;
    QTimer *healthCheckTimer;
    qint32 restartAttempts = 0;
    qint32 maxRestartAttempts;
    qint32 restartDelaySeconds;
    // The quick attempts are spent: the next one comes at the slow pace.
    bool waitingSlowly = false;
    QElapsedTimer monotonic;
    // Monotonic time of the last document (or of the collector's start).
    qint64 lastDataMs = 0;
    // When the previous health check ran (monotonic ms, -1 before the first),
    // and whether it put off a silence verdict because the daemon was held up.
    qint64 lastHealthCheckMs = -1;
    bool silenceVerdictPutOff = false;
};

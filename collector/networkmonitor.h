#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include "networkprocess.h"

class NetworkSocketServer;
class NetworkSocketClient;
class QTimer;

// The collector link as the rest of the daemon sees it: launches the collector
// through NetworkSocketServer, reads it through NetworkSocketClient, turns every
// data document into a QList<NetworkProcess>, checks the link's health every
// two seconds and restarts a failed collector at most three times in a row.
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

    NetworkSocketServer *server;
    NetworkSocketClient *client;
    bool running;
    QTimer *restartTimer;
    QTimer *healthCheckTimer;
    qint32 restartAttempts = 0;
    qint32 maxRestartAttempts;
    qint32 restartDelaySeconds;
    QDateTime lastDataTime;
};

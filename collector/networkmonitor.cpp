#include "networkmonitor.h"

#include "defaults.h"
#include "networksocketclient.h"
#include "networksocketserver.h"

#include <QDebug>
#include <QTimer>

#include <limits>

int NetworkMonitor::unconnectedTicks = 0;
std::function<qint64()> NetworkMonitor::monotonicClock;

namespace {
// More whole seconds than this without a document: the collector is taken for hung.
constexpr int maxSilenceSeconds = 10;
// Health ticks with a ready collector but no connection before a restart.
constexpr int maxUnconnectedTicks = 2;
} // namespace

NetworkMonitor::NetworkMonitor(QObject *parent)
    : QObject(parent)
    , server(new NetworkSocketServer(this))
    , client(new NetworkSocketClient(this))
    , running(false)
    , restartTimer(new QTimer(this))
    , healthCheckTimer(new QTimer(this))
    , maxRestartAttempts(3)
    , restartDelaySeconds(ferrow::intervals().restartDelayMs / 1000)
{
    registerNetworkProcessTypes();
    monotonic.start();

    connect(server, &NetworkSocketServer::serverStarted, this, &NetworkMonitor::onServerStarted);
    connect(server, &NetworkSocketServer::serverStopped, this, &NetworkMonitor::onServerStopped);
    connect(server, &NetworkSocketServer::serverError, this, &NetworkMonitor::onServerError);
    connect(client, &NetworkSocketClient::dataReceived, this, &NetworkMonitor::onSocketDataReceived);
    connect(client, &NetworkSocketClient::connected, this, &NetworkMonitor::onSocketConnected);
    connect(client, &NetworkSocketClient::disconnected, this, &NetworkMonitor::onSocketDisconnected);
    connect(client, &NetworkSocketClient::errorOccurred, this, &NetworkMonitor::onSocketError);
    connect(restartTimer, &QTimer::timeout, this, &NetworkMonitor::attemptServerRestart);
    connect(healthCheckTimer, &QTimer::timeout, this, &NetworkMonitor::checkServerHealth);
    restartTimer->setSingleShot(true);
    // The delay is kept in milliseconds so that it can be shortened below a second.
    restartTimer->setInterval(ferrow::intervals().restartDelayMs);
    healthCheckTimer->setInterval(ferrow::intervals().healthCheckMs);
}

NetworkMonitor::~NetworkMonitor()
{
    stopMonitoring();
}

bool NetworkMonitor::startMonitoring()
{
    if (running) {
        qWarning() << "监控已经在运行";
        return false;
    }
    restartAttempts = 0;
    waitingSlowly = false;
    if (!server->startServer())
        return false;

    running = true;
    lastDataMs = monotonicMs();
    lastHealthCheckMs = -1;
    silenceVerdictPutOff = false;
    healthCheckTimer->start();
    emit statusChanged(QStringLiteral("正在启动监控服务..."));
    return true;
}

void NetworkMonitor::stopMonitoring()
{
    // Cleared first, so the notifications of the collector's stop count nothing.
    running = false;
    waitingSlowly = false;
    restartTimer->stop();
    healthCheckTimer->stop();
    client->disconnectFromServer();
    server->stopServer();
    emit statusChanged(QStringLiteral("监控已停止"));
}

bool NetworkMonitor::isMonitoring() const
{
    return running;
}

bool NetworkMonitor::isServerHealthy() const
{
    return server->isServerRunning() && silenceSeconds() <= maxSilenceSeconds;
}

qint64 NetworkMonitor::monotonicMs() const
{
    return monotonicClock ? monotonicClock() : monotonic.elapsed();
}

int NetworkMonitor::silenceSeconds() const
{
    // Whole seconds on the monotonic clock: setting the wall clock neither
    // makes a healthy collector look silent nor hides a silent one.
    const qint64 seconds = (monotonicMs() - lastDataMs) / 1000;
    return int(qBound<qint64>(std::numeric_limits<int>::min(), seconds, std::numeric_limits<int>::max()));
}

void NetworkMonitor::onServerStarted()
{
    emit statusChanged(QStringLiteral("服务器已启动，正在连接..."));
    client->connectToServer();
    restartAttempts = 0;
    waitingSlowly = false;
}

void NetworkMonitor::onServerStopped()
{
    if (!running)
        return;
    qWarning() << "Python 服务器已停止，尝试重启...";
    if (restartAttempts < maxRestartAttempts) {
        ++restartAttempts;
        emit statusChanged(QStringLiteral("服务器停止，第 %1 次尝试重启...").arg(restartAttempts));
        // Re-arming restarts the countdown: attempts counted in a burst lead
        // to one restart after the last of them.
        restartTimer->setInterval(ferrow::intervals().restartDelayMs);
        restartTimer->start();
        return;
    }
    restartSlowly();
}

void NetworkMonitor::restartSlowly()
{
    // A cause that goes away (a full disk, a squatted socket path, a missing
    // kernel feature) must not stop the counting for good: the attempts go
    // on at the slow pace. Reports of the same failure while the slow attempt
    // is pending do not postpone it.
    if (waitingSlowly && restartTimer->isActive())
        return;
    waitingSlowly = true;
    const int delayMs = ferrow::intervals().slowRestartMs;
    restartTimer->setInterval(delayMs);
    restartTimer->start();
    qWarning().noquote() << QStringLiteral("服务器重启失败，%1 秒后再次尝试").arg(delayMs / 1000.0);
    emit errorOccurred(QStringLiteral("服务器重启失败，已尝试 %1 次").arg(maxRestartAttempts));
    emit statusChanged(QStringLiteral("服务器重启失败，%1 秒后再次尝试...").arg(delayMs / 1000.0));
}

void NetworkMonitor::onServerError(const QString &error)
{
    emit errorOccurred(QStringLiteral("服务器错误: ") + error);
    if (running)
        onServerStopped();
}

void NetworkMonitor::attemptServerRestart()
{
    if (!running)
        return;
    waitingSlowly = false;
    qDebug() << "尝试重启 Python 服务器...";
    client->disconnectFromServer();
    if (server->startServer()) {
        // The silence of the new collector counts from its start.
        lastDataMs = monotonicMs();
        emit statusChanged(QStringLiteral("正在重启服务器..."));
    } else {
        onServerStopped();
    }
}

void NetworkMonitor::onSocketDataReceived(const QJsonObject &data)
{
    lastDataMs = monotonicMs();
    QList<NetworkProcess> processes;
    if (networkProcessesFromDocument(data, processes))
        emit dataReceived(processes);
}

void NetworkMonitor::onSocketConnected()
{
    emit statusChanged(QStringLiteral("监控运行中"));
}

void NetworkMonitor::onSocketDisconnected()
{
    if (running)
        emit statusChanged(QStringLiteral("连接断开，等待重连..."));
}

void NetworkMonitor::onSocketError(const QString &error)
{
    if (running)
        emit errorOccurred(QStringLiteral("连接错误: ") + error);
}

void NetworkMonitor::checkServerHealth()
{
    // Nothing to check while a slow restart attempt is pending.
    if (!running || waitingSlowly)
        return;

    // A check more than two intervals after the previous one means the daemon
    // itself was held up (a long write, a paused machine): the collector's
    // reports of that time may still wait unread in the socket. The verdict on
    // the silence then waits one tick, once they have been read; it is never
    // put off twice in a row, so a busy daemon still restarts a hung collector.
    const qint64 now = monotonicMs();
    const bool heldUp = lastHealthCheckMs >= 0 && now - lastHealthCheckMs > 2 * healthCheckTimer->interval();
    lastHealthCheckMs = now;
    const int silence = silenceSeconds();
    const bool putOff = silence > maxSilenceSeconds && heldUp && !silenceVerdictPutOff;
    silenceVerdictPutOff = putOff;
    if (silence > maxSilenceSeconds && !putOff) {
        qWarning() << "服务端无数据时间过长(" << silence << "秒)，可能已崩溃";
        if (client->isConnected()) {
            emit statusChanged(QStringLiteral("服务端可能无响应，尝试重启..."));
            onServerStopped();
        }
    }

    if (!server->isServerRunning() || client->isConnected())
        return;

    if (unconnectedTicks > maxUnconnectedTicks) {
        unconnectedTicks = 0;
        emit statusChanged(QStringLiteral("服务端运行异常，尝试重启..."));
        onServerStopped();
    } else {
        ++unconnectedTicks;
        qDebug() << "服务器运行中但Socket未连接，尝试连接..." << unconnectedTicks;
        client->connectToServer();
    }
}

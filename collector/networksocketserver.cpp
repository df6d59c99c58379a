#include "networksocketserver.h"

#include "defaults.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QTimer>

int NetworkSocketServer::readyTicks = 0;

namespace {
// Readiness is declared without the socket file once the tick count exceeds this.
constexpr int maxReadyTicksWithoutFile = 9;
// Pause after stopping a collector found running at start.
constexpr unsigned long pauseAfterStopMs = 500;
} // namespace

NetworkSocketServer::NetworkSocketServer(QObject *parent)
    : QObject(parent)
    , process(new QProcess(this))
    , readyCheckTimer(new QTimer(this))
    , scriptPath(ferrow::paths().collectorScript)
    , socketPath(ferrow::paths().collectorSocket)
    , serverReady(false)
{
    connect(process, &QProcess::started, this, &NetworkSocketServer::onProcessStarted);
    connect(process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished),
            this, &NetworkSocketServer::onProcessFinished);
    connect(process, &QProcess::errorOccurred, this, &NetworkSocketServer::onProcessError);
    connect(process, &QProcess::readyReadStandardOutput, this, &NetworkSocketServer::onReadyReadStandardOutput);
    connect(process, &QProcess::readyReadStandardError, this, &NetworkSocketServer::onReadyReadStandardError);
    connect(readyCheckTimer, &QTimer::timeout, this, &NetworkSocketServer::checkServerReady);
    readyCheckTimer->setInterval(ferrow::intervals().readyCheckMs);
}

NetworkSocketServer::~NetworkSocketServer()
{
    stopServer();
    // A collector killed by stopServer() is reaped here, quietly, so that the
    // process object is not destroyed while its child still runs.
    if (process->state() != QProcess::NotRunning) {
        process->disconnect(this);
        process->waitForFinished(ferrow::intervals().processStopMs);
    }
}

bool NetworkSocketServer::startServer()
{
    if (process->state() == QProcess::Running) {
        qWarning() << "服务器已经在运行";
        stopServer();
        QThread::msleep(pauseAfterStopMs);
        return false;
    }

    if (!QFile::exists(scriptPath)) {
        emit serverError(QStringLiteral("Python脚本不存在: %1").arg(scriptPath));
        return false;
    }

    // A socket file left by an earlier run must not pass for readiness.
    serverReady = false;
    if (QFile::exists(socketPath))
        QFile::remove(socketPath);

    // The collector runs in the directory that holds it.
    process->setWorkingDirectory(QFileInfo(scriptPath).absolutePath());
    process->setProcessChannelMode(QProcess::SeparateChannels);
    process->start(ferrow::paths().collectorInterpreter, {scriptPath}, QIODevice::ReadWrite);

    if (process->waitForStarted(ferrow::intervals().processStopMs)) {
        readyCheckTimer->start();
        return true;
    }
    emit serverError(QStringLiteral("无法启动Python服务器进程"));
    return false;
}

void NetworkSocketServer::stopServer()
{
    if (process->state() == QProcess::Running) {
        process->terminate();
        if (!process->waitForFinished(ferrow::intervals().processStopMs))
            process->kill();
    }
    readyCheckTimer->stop();
    serverReady = false;
    removeSocketFile();
}

bool NetworkSocketServer::isServerRunning() const
{
    return process->state() == QProcess::Running && QFile::exists(socketPath) && serverReady;
}

void NetworkSocketServer::removeSocketFile()
{
    serverReady = false;
    if (QFile::exists(socketPath))
        QFile::remove(socketPath);
}

void NetworkSocketServer::onProcessStarted()
{
    emit serverOutput(QStringLiteral("Python服务器进程已启动"));
}

void NetworkSocketServer::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    readyCheckTimer->stop();
    serverReady = false;
    if (exitStatus == QProcess::CrashExit)
        emit serverError(QStringLiteral("Python服务器进程异常退出"));
    else
        emit serverOutput(QStringLiteral("Python服务器进程已退出，退出码: %1").arg(exitCode));
    emit serverStopped();
    removeSocketFile();
}

void NetworkSocketServer::onProcessError(QProcess::ProcessError error)
{
    QString text;
    switch (error) {
    case QProcess::FailedToStart:
        text = QStringLiteral("无法启动Python服务器进程");
        break;
    case QProcess::Crashed:
        text = QStringLiteral("Python服务器进程崩溃");
        break;
    case QProcess::Timedout:
        text = QStringLiteral("Python服务器进程超时");
        break;
    case QProcess::ReadError:
    case QProcess::WriteError:
        text = QStringLiteral("Python服务器进程通信错误");
        break;
    default:
        text = QStringLiteral("Python服务器进程发生未知错误");
        break;
    }
    readyCheckTimer->stop();
    emit serverError(QStringLiteral("%1 (错误代码: %2)").arg(text).arg(int(error)));
    removeSocketFile();
}

void NetworkSocketServer::relayOutput(const QByteArray &bytes, const QString &prefix)
{
    // Relayed per read, not per line; text after a zero byte is dropped.
    const int zero = bytes.indexOf('\0');
    const QString text = QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
    if (!text.isEmpty())
        emit serverOutput(prefix + text.trimmed());
}

void NetworkSocketServer::onReadyReadStandardOutput()
{
    relayOutput(process->readAllStandardOutput(), QStringLiteral("服务器: "));
}

void NetworkSocketServer::onReadyReadStandardError()
{
    relayOutput(process->readAllStandardError(), QStringLiteral("服务器错误: "));
}

void NetworkSocketServer::checkServerReady()
{
    ++readyTicks;
    if (QFile::exists(socketPath) || readyTicks > maxReadyTicksWithoutFile) {
        readyCheckTimer->stop();
        serverReady = true;
        readyTicks = 0;
        emit serverStarted();
        emit serverOutput(QStringLiteral("Python服务器已就绪，开始监控网络流量"));
    }
}

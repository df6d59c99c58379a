#include "networksocketserver.h"

#include "defaults.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

int NetworkSocketServer::readyTicks = 0;

namespace {
// Readiness is declared without the socket file once the tick count exceeds this.
constexpr int maxReadyTicksWithoutFile = 9;
// Pause after stopping a collector found running at start.
constexpr unsigned long pauseAfterStopMs = 500;

// The collector process: it gets SIGTERM when the daemon dies, also by
// SIGKILL, so that no collector outlives its daemon.
class CollectorProcess : public QProcess
{
public:
    explicit CollectorProcess(QObject *parent)
        : QProcess(parent)
    {
    }

    void start(const QString &program, const QStringList &arguments)
    {
        parentPid = ::getpid();
        QProcess::start(program, arguments, QIODevice::ReadWrite);
    }

protected:
    // Runs in the child between fork and exec: async-signal-safe calls only.
    void setupChildProcess() override
    {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The daemon died before the request took effect.
        if (::getppid() != parentPid)
            ::_exit(127);
    }

private:
    pid_t parentPid = 0;
};

// The link's text, "mnt:[inode]", names the namespace.
QByteArray mountNamespace(const QString &pid)
{
    char target[64] = {};
    const QByteArray link = QStringLiteral("/proc/%1/ns/mnt").arg(pid).toLatin1();
    const ssize_t size = ::readlink(link.constData(), target, sizeof target - 1);
    return size > 0 ? QByteArray(target, int(size)) : QByteArray();
}

// Pids of our user's processes in our mount namespace that run the collector
// script (its path is the interpreter's first argument).
QList<pid_t> strayCollectors(const QString &script)
{
    QList<pid_t> pids;
    const QByteArray ownNamespace = mountNamespace(QStringLiteral("self"));
    if (ownNamespace.isEmpty())
        return pids;
    const pid_t self = ::getpid();
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        if (!isPid || pid == self)
            continue;
        struct stat info = {};
        if (::stat(QStringLiteral("/proc/%1").arg(entry).toLocal8Bit().constData(), &info) != 0
            || info.st_uid != ::geteuid())
            continue;
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(entry));
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> argv = cmdline.readAll().split('\0');
        if (argv.size() < 2 || QString::fromLocal8Bit(argv.at(1)) != script)
            continue;
        if (mountNamespace(entry) == ownNamespace)
            pids << pid;
    }
    return pids;
}
} // namespace

int NetworkSocketServer::terminateStrayCollectors()
{
    const QString script = ferrow::paths().collectorScript;
    const QList<pid_t> found = strayCollectors(script);
    if (found.isEmpty())
        return 0;
    qWarning() << "停止上次运行遗留的采集进程:" << found;
    for (const pid_t pid : found)
        ::kill(pid, SIGTERM);
    QElapsedTimer waited;
    waited.start();
    QList<pid_t> left = found;
    while (!left.isEmpty() && waited.elapsed() < ferrow::intervals().processStopMs) {
        QThread::msleep(20);
        left = strayCollectors(script);
    }
    for (const pid_t pid : left)
        ::kill(pid, SIGKILL);
    return found.size();
}

NetworkSocketServer::NetworkSocketServer(QObject *parent)
    : QObject(parent)
    , process(new CollectorProcess(this))
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
    static_cast<CollectorProcess *>(process)->start(ferrow::paths().collectorInterpreter, {scriptPath});

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
    return process->state() == QProcess::Running && socketFileExists() && serverReady;
}

bool NetworkSocketServer::socketFileExists() const
{
    // Only a file of our own user counts: anybody may put something at the
    // path in /tmp, and the collector replaces it when it starts serving.
    struct stat info = {};
    return ::lstat(QFile::encodeName(socketPath).constData(), &info) == 0 && info.st_uid == ::geteuid();
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
    if (socketFileExists() || readyTicks > maxReadyTicksWithoutFile) {
        readyCheckTimer->stop();
        serverReady = true;
        readyTicks = 0;
        emit serverStarted();
        emit serverOutput(QStringLiteral("Python服务器已就绪，开始监控网络流量"));
    }
}

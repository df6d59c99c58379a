// Entry of the daemon: single instance, signal handling, controller start and stop.
#include "defaults.h"
#include "instanceguard.h"
#include "networksocketserver.h"
#include "processmonitor.h"
#include "signalnotifier.h"

#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

namespace {

QCoreApplication *application = nullptr;

void quitOnSignal(int signalNumber)
{
    if (!application)
        return;
    if (signalNumber == SIGINT)
        qDebug("Received signal SIGINT quitting ...");
    else if (signalNumber == SIGTERM)
        qDebug("Received signal SIGTERM quitting ...");
    QCoreApplication::quit();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    application = &app;

    // The handlers only queue the signal; quitOnSignal runs from the event loop.
    SignalNotifier signalNotifier{SIGTERM, SIGINT};
    QObject::connect(&signalNotifier, &SignalNotifier::received, &app, quitOnSignal);

    // Held until the process ends, whatever ends it. The lock file lies in the
    // data directory, which only root may write.
    const QString dataDir = ferrow::paths().dataDir;
    if (::mkdir(QFile::encodeName(dataDir).constData(), 0755) != 0 && errno != EEXIST)
        qWarning("mkdir %s: %s", qUtf8Printable(dataDir), strerror(errno));
    InstanceGuard instanceGuard;
    switch (instanceGuard.acquire(dataDir + QStringLiteral("/ferrow-monitor.lock"))) {
    case InstanceGuard::Acquired:
        break;
    case InstanceGuard::HeldElsewhere:
        qDebug("Ferrow Monitor Daemon 已启动");
        return 1;
    case InstanceGuard::Failed:
        qWarning("%s", qUtf8Printable(QStringLiteral("无法锁定单实例文件 %1").arg(instanceGuard.error())));
        return 1;
    }

    // A collector left by a predecessor that died would run beside ours.
    NetworkSocketServer::terminateStrayCollectors();

    using sysmonitor::process::ProcessMonitor;
    ProcessMonitor::instance()->start();
    QObject::connect(
        &app, &QCoreApplication::aboutToQuit, &app,
        [] {
            if (ProcessMonitor *controller = ProcessMonitor::instance())
                controller->stop();
        },
        Qt::DirectConnection);

    app.exec();
    // A signal that arrived while the controller stopped (the loop no longer
    // runs) still gets its message.
    signalNotifier.deliverPending();
    return 0;
}

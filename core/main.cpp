// Entry of the daemon: single instance, signal handling, controller start and stop.
#include "processmonitor.h"
#include "signalnotifier.h"

#include <QCoreApplication>
#include <QSharedMemory>

#include <csignal>

namespace {

// Only the existence of this segment matters: it marks a running instance.
QSharedMemory instanceGuard(QStringLiteral("FerrowMonitorDaemon"));

QCoreApplication *application = nullptr;

void quitOnSignal(int signalNumber)
{
    if (!application)
        return;
    if (signalNumber == SIGINT)
        qDebug("Received signal SIGINT quitting ...");
    else if (signalNumber == SIGTERM)
        qDebug("Received signal SIGTERM quitting ...");
    // Detach first, so that a new instance may start as soon as this one quits.
    instanceGuard.detach();
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

    if (instanceGuard.attach(QSharedMemory::ReadWrite)) {
        qDebug("Ferrow Monitor Daemon 已启动");
        return 1;
    }
    instanceGuard.create(1, QSharedMemory::ReadWrite);

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

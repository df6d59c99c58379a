#pragma once

#include <QObject>
#include <QProcess>
#include <QString>

class QTimer;

// Launches the collector script as a child process that ends with the daemon
// however the daemon ends, declares it ready once its socket file exists (a
// file of our own user; or on the tenth readiness tick), relays its output,
// reports its exit and errors, and stops it (SIGTERM, then SIGKILL).
class NetworkSocketServer : public QObject
{
    Q_OBJECT

public:
    explicit NetworkSocketServer(QObject *parent = nullptr);
    ~NetworkSocketServer() override;

    bool startServer();
    void stopServer();
    bool isServerRunning() const;
    void removeSocketFile();

    // checkServerReady ticks since readiness was last declared. Shared by every
    // supervisor of the process; ticks of an unfinished wait carry over.
    static int readyTicks;

    // Ends every collector a dead predecessor of this daemon left behind:
    // processes of our user in our mount namespace running the collector
    // script. Called once at start, before the first launch; returns how many
    // were found.
    static int terminateStrayCollectors();

signals:
    void serverStarted();
    void serverStopped();
    void serverError(const QString &error);
    void serverOutput(const QString &output);

public slots:
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);
    void onReadyReadStandardOutput();
    void onReadyReadStandardError();
    void checkServerReady();

private:
    void relayOutput(const QByteArray &bytes, const QString &prefix);
    bool socketFileExists() const;

    QProcess *process;
    QTimer *readyCheckTimer;
    QString scriptPath;
    QString socketPath;
    bool serverReady;
};

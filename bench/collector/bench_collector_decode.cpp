// Decode rate of collector documents of 100, 1,000 and 10,000 processes,
// and ("+program") of 5,000 processes (a frame's worth) each carrying its program (exe and a
// four-argument cmdline), as the collector reports processes it knows.
//
// Socket path: a QLocalServer in this process writes the frames, the real
// NetworkSocketClient reads and parses them, and NetworkMonitor's document
// slot decodes them and emits dataReceived; the clock runs from the first
// write to the last emitted list. For comparison, the same documents are
// also run through the frame reader and decoder without a socket.
#include "collectorframe.h"
#include "defaults.h"
#include "networkmonitor.h"
#include "networksocketclient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QtEndian>

#include <cstdio>

namespace {

QByteArray documentFrame(int processes, bool programs = false)
{
    QJsonArray entries;
    for (int i = 0; i < processes; ++i) {
        const int pid = 1000 + i;
        QJsonObject entry{
            {"pid", pid},
            {"comm", QStringLiteral("proc%1").arg(pid)},
            {"tx_bytes", double(pid) * 1536},
            {"rx_bytes", double(pid) * 4096},
            {"tx_speed", 12.5},
            {"rx_speed", 64.25},
        };
        if (programs) {
            entry.insert(QStringLiteral("exe"), QStringLiteral("/usr/lib/proc%1/bin/proc%1").arg(pid));
            entry.insert(QStringLiteral("cmdline"),
                         QJsonArray{QStringLiteral("proc%1").arg(pid), QStringLiteral("--config"),
                                    QStringLiteral("/etc/proc%1.conf").arg(pid), QStringLiteral("--quiet")});
        }
        entries.append(entry);
    }
    const QByteArray body = QJsonDocument(QJsonObject{{"type", "network_data"}, {"processes", entries}})
                                .toJson(QJsonDocument::Compact);
    if (quint32(body.size()) > collectorframe::maxFrameSize)
        qFatal("document of %d processes is over the frame limit", processes);
    QByteArray frame(4, '\0');
    qToBigEndian<quint32>(quint32(body.size()), frame.data());
    return frame + body;
}

struct Result {
    double seconds = 0;
    qint64 processes = 0;
};

Result throughSocket(QLocalServer &server, const QByteArray &frame, int documents)
{
    NetworkSocketClient client;
    // The monitor is used for its document slot only; its own supervisor
    // would delete the benchmark's socket file when it is destroyed.
    const QString socketPath = ferrow::paths().collectorSocket;
    ferrow::defaults().paths.collectorSocket = socketPath + QStringLiteral(".unused");
    NetworkMonitor monitor;
    ferrow::defaults().paths.collectorSocket = socketPath;
    QObject::connect(&client, &NetworkSocketClient::dataReceived, &monitor, &NetworkMonitor::onSocketDataReceived);
    Result result;
    int received = 0;
    QObject::connect(&monitor, &NetworkMonitor::dataReceived, [&](const QList<NetworkProcess> &processes) {
        result.processes += processes.size();
        ++received;
    });

    client.connectToServer();
    if (!server.waitForNewConnection(5000) || !client.isConnected())
        qFatal("benchmark socket did not connect");
    QLocalSocket *peer = server.nextPendingConnection();

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < documents; ++i)
        peer->write(frame);
    while (received < documents)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 100);
    result.seconds = timer.nsecsElapsed() / 1e9;
    peer->disconnectFromServer();
    return result;
}

Result withoutSocket(const QByteArray &frame, int documents)
{
    Result result;
    collectorframe::FrameReader reader;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < documents; ++i) {
        reader.append(frame);
        QByteArray body;
        while (reader.next(body) == collectorframe::FrameStatus::Frame) {
            QJsonObject document;
            QString error;
            QList<NetworkProcess> processes;
            if (collectorframe::parseFrameBody(body, document, error)
                && networkProcessesFromDocument(document, processes))
                result.processes += processes.size();
        }
    }
    result.seconds = timer.nsecsElapsed() / 1e9;
    return result;
}

void print(const char *path, int processes, int documents, qint64 frameSize, const Result &r)
{
    const double docsPerSecond = documents / r.seconds;
    std::printf("%-14s %6d processes  %5d documents  %8lld bytes/doc  %9.1f docs/s  %8.1f MB/s  %10.0f records/s\n",
                path, processes, documents, static_cast<long long>(frameSize), docsPerSecond,
                docsPerSecond * double(frameSize) / 1e6, double(r.processes) / r.seconds);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qSetMessagePattern(QStringLiteral("%{if-warning}%{message}%{endif}%{if-critical}%{message}%{endif}%{if-fatal}%{message}%{endif}"));
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir dir(QStringLiteral("/tmp/fbench-XXXXXX"));
    const QString socketPath = dir.filePath(QStringLiteral("b.sock"));
    ferrow::defaults().paths.collectorSocket = socketPath;
    QLocalServer server;
    if (!server.listen(socketPath))
        qFatal("cannot listen on %s", qPrintable(socketPath));

    std::printf("collector decode rate (MB = 10^6 bytes of frames)\n");
    for (int processes : {100, 1000, 10000, -5000}) {
        const bool programs = processes < 0;
        processes = qAbs(processes);
        const QByteArray frame = documentFrame(processes, programs);
        // About 100 MB of frames per size, at least 20 documents.
        const int documents = qMax(20, int(100e6 / frame.size()));
        withoutSocket(frame, qMin(documents, 50)); // warm-up
        const Result socket = throughSocket(server, frame, documents);
        if (socket.processes != qint64(processes) * documents)
            qFatal("socket path decoded %lld records, expected %lld", static_cast<long long>(socket.processes),
                   static_cast<long long>(qint64(processes) * documents));
        print(programs ? "socket+program" : "socket", processes, documents, frame.size(), socket);
        print(programs ? "no socket+prog" : "no socket", processes, documents, frame.size(),
              withoutSocket(frame, documents));
    }
    return 0;
}

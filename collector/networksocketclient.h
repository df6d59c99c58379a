#pragma once

#include "collectorframe.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QObject>
#include <QString>

class QTimer;

// Keeps the connection to the collector's local stream socket, cuts the byte
// stream into frames (4-byte big-endian length, then a JSON body), and hands
// every parsed document to its owner. Reconnects by itself after an
// established connection is lost. Never writes to the socket.
class NetworkSocketClient : public QObject
{
    Q_OBJECT

public:
    explicit NetworkSocketClient(QObject *parent = nullptr);
    ~NetworkSocketClient() override;

    void connectToServer();
    void disconnectFromServer();
    bool isConnected() const;

signals:
    void dataReceived(const QJsonObject &data);
    void connected();
    void disconnected();
    void errorOccurred(const QString &error);

public slots:
    void onConnected();
    void onDisconnected();
    void onError(QLocalSocket::LocalSocketError error);
    void onReadyRead();
    void attemptReconnect();

private:
    // Parsing a report of thousands of processes allocates and frees megabytes
    // in small pieces, and the C library keeps those pages, scattered among
    // live ones, until the next report. After a drain of at least this many
    // bytes of frames they are handed back (malloc_trim): with 5,000 processes
    // the daemon stays some 7 MB smaller between reports, for page faults
    // worth a fraction of a percent of a core.
    static constexpr int TrimAfterBytes = 64 * 1024;
    bool peerIsTrusted() const;
    void reportError(QLocalSocket::LocalSocketError error);
    void dropRejectedPeer();

    QLocalSocket *socket;
    QTimer *reconnectTimer;
    QString serverName;
    // Reset whenever a connection starts; a frame loop that emitted into code
    // which reconnected the socket sees its generation change and stops.
    collectorframe::FrameReader reader;
    bool autoReconnect;
    // The socket connected to a peer of another user; it is being dropped and
    // counts as unconnected.
    bool peerRejected = false;
};

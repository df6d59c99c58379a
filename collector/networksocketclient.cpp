#include "networksocketclient.h"

#include "collectorframe.h"
#include "defaults.h"

#include <QDebug>
#include <QSignalBlocker>
#include <QTimer>

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

using collectorframe::FrameStatus;

NetworkSocketClient::NetworkSocketClient(QObject *parent)
    : QObject(parent)
    , socket(new QLocalSocket(this))
    , reconnectTimer(new QTimer(this))
    , serverName(ferrow::paths().collectorSocket)
    , autoReconnect(true)
{
    connect(socket, &QLocalSocket::connected, this, &NetworkSocketClient::onConnected);
    connect(socket, &QLocalSocket::disconnected, this, &NetworkSocketClient::onDisconnected);
    connect(socket, &QLocalSocket::errorOccurred, this, &NetworkSocketClient::onError);
    connect(socket, &QLocalSocket::readyRead, this, &NetworkSocketClient::onReadyRead);
    connect(reconnectTimer, &QTimer::timeout, this, &NetworkSocketClient::attemptReconnect);
    reconnectTimer->setInterval(ferrow::intervals().reconnectMs);
}

NetworkSocketClient::~NetworkSocketClient()
{
    disconnectFromServer();
}

void NetworkSocketClient::connectToServer()
{
    if (socket->state() == QLocalSocket::ConnectedState)
        return;
    // The name can only be set while unconnected (closing clears it); an
    // attempt still in progress keeps its name and refuses the new one.
    if (socket->state() == QLocalSocket::UnconnectedState)
        socket->setServerName(serverName);
    socket->connectToServer(QIODevice::ReadWrite);
}

void NetworkSocketClient::disconnectFromServer()
{
    reconnectTimer->stop();
    autoReconnect = false;
    if (peerRejected) {
        dropRejectedPeer();
        return;
    }
    if (socket->state() == QLocalSocket::ConnectedState)
        socket->disconnectFromServer();
    else
        socket->abort();
}

bool NetworkSocketClient::isConnected() const
{
    return socket->state() == QLocalSocket::ConnectedState && !peerRejected;
}

// The daemon runs as root and the socket lies in a world-writable directory:
// anyone could have put a listener there first. Only a peer running as our own
// user is taken for the collector.
bool NetworkSocketClient::peerIsTrusted() const
{
    struct ucred credentials {};
    socklen_t length = sizeof credentials;
    const qintptr descriptor = socket->socketDescriptor();
    if (descriptor < 0
        || ::getsockopt(int(descriptor), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0
        || length != sizeof credentials) {
        qWarning() << "无法获取套接字对端身份，拒绝连接:" << serverName;
        return false;
    }
    if (credentials.uid != ::geteuid()) {
        qWarning() << "套接字对端用户不符，拒绝连接:" << serverName << "uid" << credentials.uid;
        return false;
    }
    return true;
}

void NetworkSocketClient::dropRejectedPeer()
{
    peerRejected = false;
    // The connection was never announced, so its end is not announced either.
    const QSignalBlocker blocker(socket);
    socket->abort();
}

void NetworkSocketClient::onConnected()
{
    if (!peerIsTrusted()) {
        // The socket is still inside its own connected notification here, so
        // it is dropped from the event loop; until then it counts as
        // unconnected and its data is discarded. The attempt is reported as a
        // failed one.
        peerRejected = true;
        QMetaObject::invokeMethod(this, [this] {
            if (peerRejected)
                dropRejectedPeer();
        }, Qt::QueuedConnection);
        reportError(QLocalSocket::SocketAccessError);
        return;
    }

    qDebug() << "已连接到网络监控服务器";
    reconnectTimer->stop();
    reader.reset();
    autoReconnect = true;
    emit connected();
}

void NetworkSocketClient::onDisconnected()
{
    if (peerRejected) {
        // A rejected peer hung up before it was dropped: its connection was
        // never announced, so neither is its end, and its end starts no retry.
        peerRejected = false;
        return;
    }
    qDebug() << "与网络监控服务器的连接已断开";
    if (autoReconnect)
        reconnectTimer->start();
    emit disconnected();
}

void NetworkSocketClient::attemptReconnect()
{
    if (autoReconnect && !isConnected()) {
        qDebug() << "尝试重新连接服务器...";
        connectToServer();
    }
}

void NetworkSocketClient::onError(QLocalSocket::LocalSocketError error)
{
    // The rejection of a peer was reported already; what its connection does
    // until it is dropped is not.
    if (peerRejected)
        return;
    reportError(error);
}

void NetworkSocketClient::reportError(QLocalSocket::LocalSocketError error)
{
    QString text;
    switch (error) {
    case QLocalSocket::ConnectionRefusedError:
        text = QStringLiteral("连接被拒绝");
        break;
    case QLocalSocket::PeerClosedError:
        text = QStringLiteral("对端关闭连接");
        break;
    case QLocalSocket::ServerNotFoundError:
        text = QStringLiteral("服务器未找到");
        break;
    case QLocalSocket::SocketAccessError:
        text = QStringLiteral("套接字访问错误");
        break;
    case QLocalSocket::SocketResourceError:
        text = QStringLiteral("套接字资源错误");
        break;
    case QLocalSocket::SocketTimeoutError:
        text = QStringLiteral("套接字超时");
        break;
    case QLocalSocket::DatagramTooLargeError:
        text = QStringLiteral("数据报过大");
        break;
    case QLocalSocket::ConnectionError:
        text = QStringLiteral("连接错误");
        break;
    case QLocalSocket::UnsupportedSocketOperationError:
        text = QStringLiteral("不支持的套接字操作");
        break;
    default:
        text = QStringLiteral("未知套接字错误");
        break;
    }
    qWarning() << "套接字错误:" << text;
    emit errorOccurred(text);
}

void NetworkSocketClient::onReadyRead()
{
    if (peerRejected) {
        socket->readAll();
        return;
    }
    reader.append(socket->readAll());

    // Drain every complete frame; the reader drops the consumed bytes in one
    // go once it needs more data.
    const quint64 generation = reader.generation();
    QByteArray body;
    int parsedBytes = 0;
    for (;;) {
        const FrameStatus status = reader.next(body);
        if (status == FrameStatus::NeedMoreData) {
            if (parsedBytes >= TrimAfterBytes)
                ::malloc_trim(0);
            return;
        }
        if (status == FrameStatus::OverLimit) {
            // The reader has dropped everything buffered and refuses the rest
            // of this stream; the next connection resets it.
            qWarning() << "数据大小异常:" << reader.pendingSize();
            socket->close();
            return;
        }

        QJsonObject document;
        QString parseError;
        if (!collectorframe::parseFrameBody(body, document, parseError)) {
            qWarning() << "JSON 解析错误:" << parseError;
            qWarning() << "原始数据:" << body;
            continue;
        }
        // The text is no longer needed while the receivers work on the document.
        parsedBytes += body.size();
        body = QByteArray();
        emit dataReceived(document);
        // A receiver that reconnected the socket has reset the reader.
        if (generation != reader.generation())
            return;
    }
}

// NetworkSocketClient against real peers: a QLocalServer in the test serving
// crafted byte streams, and a listener run by another user.
#include "defaults.h"
#include "networksocketclient.h"

#include <QJsonArray>
#include <QLocalServer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <cerrno>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int reconnectMs = 60;

QByteArray prefix(quint32 length)
{
    QByteArray bytes(4, '\0');
    qToBigEndian<quint32>(length, bytes.data());
    return bytes;
}

QByteArray frame(const QByteArray &body)
{
    return prefix(quint32(body.size())) + body;
}

QByteArray numbered(int n)
{
    return QByteArray(R"({"type":"network_data","n":)") + QByteArray::number(n) + "}";
}

} // namespace

class TestNetworkSocketClient : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectingReportsConnected();
    void framesAreDeliveredOnceComplete_data();
    void framesAreDeliveredOnceComplete();
    void frameOfExactlyOneMebibyteIsDelivered();
    void overLimitPrefixClosesAndTheNextConnectionStartsClean_data();
    void overLimitPrefixClosesAndTheNextConnectionStartsClean();
    void partialFrameOfALostConnectionIsNotCarriedIntoTheNext_data();
    void partialFrameOfALostConnectionIsNotCarriedIntoTheNext();
    void badBodyIsDroppedAndTheNextFrameOfTheSameReadDelivered_data();
    void badBodyIsDroppedAndTheNextFrameOfTheSameReadDelivered();
    void topLevelArrayIsDeliveredAsEmptyObject();
    void socketErrorsAreNamed_data();
    void socketErrorsAreNamed();
    void missingSocketFileIsNotRetriedByTheClient();
    void disconnectFromServerDoesNotStartRetrying();
    void lostConnectionIsRetriedUntilThePeerAcceptsAgain();
    void connectToServerWhenConnectedDoesNothing();
    void connectToServerDuringAnAttemptIsAnOperationError();
    void peerOfAnotherUserIsRejected();
    void rejectedPeerHangingUpFirstIsNotAnnouncedNorRetried();

private:
    // Runs a listener as the user "nobody" on a socket in `peerDir` and points
    // the client there.
    bool startImpostor(QProcess &impostor, QTemporaryDir &peerDir, bool hangUpAtOnce);
    static void expectRejection();
    // Connects `client` to `server` and returns the server side of the connection.
    QLocalSocket *connectClient(NetworkSocketClient &client);
    void send(QLocalSocket *peer, const QByteArray &bytes);

    QTemporaryDir *dir = nullptr;
    QString socketPath;
    QLocalServer *server = nullptr;
};

void TestNetworkSocketClient::init()
{
    dir = new QTemporaryDir(QStringLiteral("/tmp/fcl-XXXXXX"));
    QVERIFY(dir->isValid());
    socketPath = dir->filePath(QStringLiteral("c.sock"));
    ferrow::defaults().paths.collectorSocket = socketPath;
    ferrow::defaults().intervals.reconnectMs = reconnectMs;
    server = new QLocalServer;
    QVERIFY2(server->listen(socketPath), qPrintable(server->errorString()));
}

void TestNetworkSocketClient::cleanup()
{
    delete server;
    server = nullptr;
    delete dir;
    dir = nullptr;
    ferrow::defaults() = ferrow::Defaults();
}

QLocalSocket *TestNetworkSocketClient::connectClient(NetworkSocketClient &client)
{
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    client.connectToServer();
    if (!connected.count() && !connected.wait(2000))
        return nullptr;
    QElapsedTimer waited;
    waited.start();
    while (!server->hasPendingConnections() && waited.elapsed() < 2000)
        QTest::qWait(5);
    return server->nextPendingConnection();
}

void TestNetworkSocketClient::send(QLocalSocket *peer, const QByteArray &bytes)
{
    peer->write(bytes);
    peer->flush();
}

void TestNetworkSocketClient::connectingReportsConnected()
{
    NetworkSocketClient client;
    QVERIFY(!client.isConnected());
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QTest::ignoreMessage(QtDebugMsg, "已连接到网络监控服务器");
    QVERIFY(connectClient(client));
    QCOMPARE(connected.count(), 1);
    QVERIFY(client.isConnected());
}

void TestNetworkSocketClient::framesAreDeliveredOnceComplete_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QList<int>>("deliveredAfterRead");

    const QByteArray one = frame(numbered(1));
    const QByteArray two = frame(numbered(2));
    const QByteArray three = frame(numbered(3));

    QTest::newRow("prefix and body in three reads")
        << QList<QByteArray>{one.left(4), one.mid(4, 5), one.mid(9)} << QList<int>{0, 0, 1};
    QTest::newRow("two frames in one read, the third partly")
        << QList<QByteArray>{one + two + three.left(6), three.mid(6)} << QList<int>{2, 3};
    QTest::newRow("prefix in two halves")
        << QList<QByteArray>{one.left(2), one.mid(2, 2), one.mid(4)} << QList<int>{0, 0, 1};
    QTest::newRow("frame end and next prefix start in one read")
        << QList<QByteArray>{one.left(10), one.mid(10) + two.left(3), two.mid(3)} << QList<int>{0, 1, 2};
    QTest::newRow("one frame per read") << QList<QByteArray>{one, two, three} << QList<int>{1, 2, 3};
    QList<QByteArray> bytes;
    QList<int> counts;
    for (int i = 0; i < one.size(); ++i) {
        bytes.append(one.mid(i, 1));
        counts.append(i == one.size() - 1 ? 1 : 0);
    }
    QTest::newRow("byte by byte") << bytes << counts;
}

void TestNetworkSocketClient::framesAreDeliveredOnceComplete()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QList<int>, deliveredAfterRead);

    NetworkSocketClient client;
    QSignalSpy data(&client, &NetworkSocketClient::dataReceived);
    QLocalSocket *peer = connectClient(client);
    QVERIFY(peer);
    for (int i = 0; i < reads.size(); ++i) {
        send(peer, reads.at(i));
        if (deliveredAfterRead.at(i) > data.count())
            QTRY_COMPARE(data.count(), deliveredAfterRead.at(i));
        else
            QTest::qWait(15); // let the read happen: nothing may be delivered
        QCOMPARE(data.count(), deliveredAfterRead.at(i));
    }
    for (int i = 0; i < data.count(); ++i)
        QCOMPARE(data.at(i).at(0).toJsonObject().value("n").toInt(), i + 1);
    QVERIFY(client.isConnected());
}

void TestNetworkSocketClient::frameOfExactlyOneMebibyteIsDelivered()
{
    const QByteArray head = R"({"type":"big","pad":")";
    const QByteArray tail = "\"}";
    const QByteArray body = head + QByteArray(1048576 - head.size() - tail.size(), 'x') + tail;
    QCOMPARE(body.size(), 1048576);

    NetworkSocketClient client;
    QSignalSpy data(&client, &NetworkSocketClient::dataReceived);
    QLocalSocket *peer = connectClient(client);
    QVERIFY(peer);
    send(peer, frame(body) + frame(numbered(2)));
    QTRY_COMPARE(data.count(), 2);
    QCOMPARE(data.at(0).at(0).toJsonObject().value("type").toString(), QStringLiteral("big"));
    QCOMPARE(data.at(1).at(0).toJsonObject().value("n").toInt(), 2);
}

void TestNetworkSocketClient::overLimitPrefixClosesAndTheNextConnectionStartsClean_data()
{
    QTest::addColumn<QByteArray>("badPrefix");
    QTest::addColumn<QString>("warning");

    QTest::newRow("1,048,577") << prefix(1048577) << QStringLiteral("数据大小异常: 1048577");
    QTest::newRow("FF FF FF FF") << QByteArray::fromHex("ffffffff") << QStringLiteral("数据大小异常: 4294967295");
}

void TestNetworkSocketClient::overLimitPrefixClosesAndTheNextConnectionStartsClean()
{
    QFETCH(QByteArray, badPrefix);
    QFETCH(QString, warning);

    NetworkSocketClient client;
    QSignalSpy data(&client, &NetworkSocketClient::dataReceived);
    QSignalSpy disconnected(&client, &NetworkSocketClient::disconnected);
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QLocalSocket *peer = connectClient(client);
    QVERIFY(peer);

    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    // Half a frame behind the bad prefix must not survive into the next connection.
    send(peer, badPrefix + frame(numbered(1)) + prefix(40).left(2));
    QTRY_COMPARE(disconnected.count(), 1);
    QVERIFY(!client.isConnected());
    QCOMPARE(data.count(), 0);

    // The client retries by itself and starts the new connection at a frame boundary.
    QTRY_VERIFY_WITH_TIMEOUT(server->hasPendingConnections(), 5000);
    QLocalSocket *second = server->nextPendingConnection();
    QTRY_COMPARE(connected.count(), 2);
    send(second, frame(numbered(2)));
    QTRY_COMPARE(data.count(), 1);
    QCOMPARE(data.at(0).at(0).toJsonObject().value("n").toInt(), 2);
}

void TestNetworkSocketClient::partialFrameOfALostConnectionIsNotCarriedIntoTheNext_data()
{
    QTest::addColumn<QByteArray>("leftover");

    QTest::newRow("half a prefix") << prefix(40).left(2);
    QTest::newRow("prefix and part of the body") << frame(numbered(1)).left(10);
}

void TestNetworkSocketClient::partialFrameOfALostConnectionIsNotCarriedIntoTheNext()
{
    QFETCH(QByteArray, leftover);

    NetworkSocketClient client;
    QSignalSpy data(&client, &NetworkSocketClient::dataReceived);
    QSignalSpy disconnected(&client, &NetworkSocketClient::disconnected);
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QLocalSocket *peer = connectClient(client);
    QVERIFY(peer);

    // The peer hangs up in the middle of a frame.
    QTest::ignoreMessage(QtWarningMsg, "套接字错误: \"对端关闭连接\"");
    send(peer, leftover);
    peer->disconnectFromServer();
    QTRY_COMPARE(disconnected.count(), 1);

    // The retried connection starts at a frame boundary.
    QTRY_VERIFY_WITH_TIMEOUT(server->hasPendingConnections(), 5000);
    QLocalSocket *second = server->nextPendingConnection();
    QTRY_COMPARE(connected.count(), 2);
    send(second, frame(numbered(2)));
    QTRY_COMPARE(data.count(), 1);
    QCOMPARE(data.at(0).at(0).toJsonObject().value("n").toInt(), 2);
}

void TestNetworkSocketClient::badBodyIsDroppedAndTheNextFrameOfTheSameReadDelivered_data()
{
    QTest::addColumn<QByteArray>("badBody");
    QTest::addColumn<QByteArray>("rawWarning");

    QTest::newRow("empty body (zero length)") << QByteArray() << QByteArray("原始数据: \"\"");
    QTest::newRow("not JSON") << QByteArray("not json") << QByteArray("原始数据: \"not json\"");
    QTest::newRow("truncated object") << QByteArray("{\"type\":") << QByteArray("原始数据: \"{\\\"type\\\":\"");
}

void TestNetworkSocketClient::badBodyIsDroppedAndTheNextFrameOfTheSameReadDelivered()
{
    QFETCH(QByteArray, badBody);
    QFETCH(QByteArray, rawWarning);

    NetworkSocketClient client;
    QSignalSpy data(&client, &NetworkSocketClient::dataReceived);
    QSignalSpy disconnected(&client, &NetworkSocketClient::disconnected);
    QLocalSocket *peer = connectClient(client);
    QVERIFY(peer);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^JSON 解析错误: \".+\"$")));
    QTest::ignoreMessage(QtWarningMsg, rawWarning.constData());
    send(peer, frame(badBody) + frame(numbered(7)));
    QTRY_COMPARE(data.count(), 1);
    QCOMPARE(data.at(0).at(0).toJsonObject().value("n").toInt(), 7);
    QVERIFY(client.isConnected());
    QCOMPARE(disconnected.count(), 0);
}

void TestNetworkSocketClient::topLevelArrayIsDeliveredAsEmptyObject()
{
    NetworkSocketClient client;
    QSignalSpy data(&client, &NetworkSocketClient::dataReceived);
    QLocalSocket *peer = connectClient(client);
    QVERIFY(peer);
    send(peer, frame("[{\"type\":\"network_data\"}]"));
    QTRY_COMPARE(data.count(), 1);
    QVERIFY(data.at(0).at(0).toJsonObject().isEmpty());
}

void TestNetworkSocketClient::socketErrorsAreNamed_data()
{
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("text");

    QTest::newRow("connection refused") << int(QLocalSocket::ConnectionRefusedError) << "连接被拒绝";
    QTest::newRow("peer closed") << int(QLocalSocket::PeerClosedError) << "对端关闭连接";
    QTest::newRow("server not found") << int(QLocalSocket::ServerNotFoundError) << "服务器未找到";
    QTest::newRow("access") << int(QLocalSocket::SocketAccessError) << "套接字访问错误";
    QTest::newRow("resource") << int(QLocalSocket::SocketResourceError) << "套接字资源错误";
    QTest::newRow("timeout") << int(QLocalSocket::SocketTimeoutError) << "套接字超时";
    QTest::newRow("datagram too large") << int(QLocalSocket::DatagramTooLargeError) << "数据报过大";
    QTest::newRow("connection error") << int(QLocalSocket::ConnectionError) << "连接错误";
    QTest::newRow("unsupported operation") << int(QLocalSocket::UnsupportedSocketOperationError) << "不支持的套接字操作";
    QTest::newRow("unknown") << int(QLocalSocket::UnknownSocketError) << "未知套接字错误";
    QTest::newRow("operation error") << int(QLocalSocket::OperationError) << "未知套接字错误";
    QTest::newRow("value without a name") << 8 << "未知套接字错误";
}

void TestNetworkSocketClient::socketErrorsAreNamed()
{
    QFETCH(int, error);
    QFETCH(QString, text);

    NetworkSocketClient client;
    QSignalSpy errors(&client, &NetworkSocketClient::errorOccurred);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("套接字错误: \"%1\"").arg(text)));
    client.onError(QLocalSocket::LocalSocketError(error));
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), text);
}

void TestNetworkSocketClient::missingSocketFileIsNotRetriedByTheClient()
{
    server->close();
    QVERIFY(!QFile::exists(socketPath));

    NetworkSocketClient client;
    QSignalSpy errors(&client, &NetworkSocketClient::errorOccurred);
    QTest::ignoreMessage(QtWarningMsg, "套接字错误: \"服务器未找到\"");
    client.connectToServer();
    QTRY_COMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("服务器未找到"));
    QTest::qWait(5 * reconnectMs);
    QCOMPARE(errors.count(), 1);
    QVERIFY(!client.isConnected());
}

void TestNetworkSocketClient::disconnectFromServerDoesNotStartRetrying()
{
    NetworkSocketClient client;
    QSignalSpy disconnected(&client, &NetworkSocketClient::disconnected);
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QVERIFY(connectClient(client));

    QTest::ignoreMessage(QtDebugMsg, "与网络监控服务器的连接已断开");
    client.disconnectFromServer();
    QTRY_COMPARE(disconnected.count(), 1);
    QVERIFY(!client.isConnected());
    QTest::qWait(5 * reconnectMs);
    QVERIFY(!server->hasPendingConnections());
    QCOMPARE(connected.count(), 1);

    // Closed is not final: an explicit connect still works.
    client.connectToServer();
    QTRY_COMPARE(connected.count(), 2);
}

void TestNetworkSocketClient::lostConnectionIsRetriedUntilThePeerAcceptsAgain()
{
    NetworkSocketClient client;
    QSignalSpy disconnected(&client, &NetworkSocketClient::disconnected);
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QSignalSpy errors(&client, &NetworkSocketClient::errorOccurred);
    QLocalSocket *peer = connectClient(client);
    QVERIFY(peer);

    // The peer goes away entirely: connection closed, socket file removed.
    QTest::ignoreMessage(QtDebugMsg, "与网络监控服务器的连接已断开");
    QTest::ignoreMessage(QtDebugMsg, "尝试重新连接服务器...");
    QTest::ignoreMessage(QtDebugMsg, "尝试重新连接服务器...");
    QTest::ignoreMessage(QtWarningMsg, "套接字错误: \"对端关闭连接\"");
    peer->disconnectFromServer();
    server->close();
    QTRY_COMPARE(disconnected.count(), 1);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("对端关闭连接"));

    // Every reconnect tick tries again and fails with "服务器未找到".
    QTRY_VERIFY(errors.count() >= 3);
    for (int i = 1; i < errors.count(); ++i)
        QCOMPARE(errors.at(i).at(0).toString(), QStringLiteral("服务器未找到"));
    QCOMPARE(connected.count(), 1);

    QVERIFY(server->listen(socketPath));
    QTRY_COMPARE(connected.count(), 2);
    QVERIFY(client.isConnected());
    // Once connected, the retries stop.
    const int errorsSoFar = errors.count();
    QTest::qWait(4 * reconnectMs);
    QCOMPARE(errors.count(), errorsSoFar);
    QCOMPARE(connected.count(), 2);
}

void TestNetworkSocketClient::connectToServerWhenConnectedDoesNothing()
{
    NetworkSocketClient client;
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QSignalSpy errors(&client, &NetworkSocketClient::errorOccurred);
    QVERIFY(connectClient(client));
    client.connectToServer();
    QTest::qWait(30);
    QVERIFY(!server->hasPendingConnections());
    QCOMPARE(connected.count(), 1);
    QCOMPARE(errors.count(), 0);
    QVERIFY(client.isConnected());
}

void TestNetworkSocketClient::connectToServerDuringAnAttemptIsAnOperationError()
{
    // A listener that never accepts, with its backlog filled by another
    // connection: the client's attempt then stays in progress.
    server->close();
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, QFile::encodeName(socketPath).constData(), sizeof address.sun_path);
    QCOMPARE(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QCOMPARE(::listen(listener, 0), 0);
    QList<int> fillers;
    for (int i = 0; i < 4; ++i) {
        const int filler = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        fillers.append(filler);
        if (::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno == EAGAIN)
            break;
    }

    {
        NetworkSocketClient client;
        QSignalSpy errors(&client, &NetworkSocketClient::errorOccurred);
        QSignalSpy connected(&client, &NetworkSocketClient::connected);
        client.connectToServer();
        QCOMPARE(errors.count(), 0);
        QCOMPARE(connected.count(), 0);

        QTest::ignoreMessage(QtWarningMsg, "套接字错误: \"未知套接字错误\"");
        client.connectToServer();
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("未知套接字错误"));
        client.disconnectFromServer();
    }
    for (int filler : qAsConst(fillers))
        ::close(filler);
    ::close(listener);
}

bool TestNetworkSocketClient::startImpostor(QProcess &impostor, QTemporaryDir &peerDir, bool hangUpAtOnce)
{
    // A directory the unprivileged user may create its socket in.
    server->close();
    if (!peerDir.isValid() || ::chown(QFile::encodeName(peerDir.path()).constData(), 65534, 65534) != 0)
        return false;
    const QString peerSocket = peerDir.filePath(QStringLiteral("p.sock"));
    ferrow::defaults().paths.collectorSocket = peerSocket;

    // The impostor drops to "nobody" before listening. It either hangs up as
    // soon as it accepts, or sends a valid data document and reports when the
    // connection ends.
    const QString script = QStringLiteral(
        "import os, socket, struct, sys\n"
        "os.setgid(65534); os.setuid(65534)\n"
        "s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)\n"
        "s.bind(sys.argv[1]); s.listen(1)\n"
        "print('listening', flush=True)\n"
        "c, _ = s.accept()\n"
        "if sys.argv[2] == 'hangup':\n"
        "    c.close(); print('closed', flush=True); sys.exit(0)\n"
        "body = b'{\"type\":\"network_data\",\"processes\":[{\"pid\":1}]}'\n"
        "try:\n"
        "    c.sendall(struct.pack('>I', len(body)) + body)\n"
        "    c.settimeout(10)\n"
        "    print('closed' if c.recv(1) == b'' else 'data', flush=True)\n"
        "except (BrokenPipeError, ConnectionResetError):\n"
        "    print('closed', flush=True)\n");
    impostor.start(QStringLiteral("/usr/bin/python3"),
                   {QStringLiteral("-c"), script, peerSocket,
                    hangUpAtOnce ? QStringLiteral("hangup") : QStringLiteral("send")});
    if (!impostor.waitForStarted(5000) || !impostor.waitForReadyRead(5000)) {
        qWarning() << impostor.readAllStandardError();
        return false;
    }
    return impostor.readAllStandardOutput().trimmed() == "listening";
}

void TestNetworkSocketClient::expectRejection()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(
        QStringLiteral("^套接字对端用户不符，拒绝连接: \"%1\" uid 65534$")
            .arg(QRegularExpression::escape(ferrow::paths().collectorSocket))));
    QTest::ignoreMessage(QtWarningMsg, "套接字错误: \"套接字访问错误\"");
}

void TestNetworkSocketClient::peerOfAnotherUserIsRejected()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run a listener as another user");
    QTemporaryDir peerDir(QStringLiteral("/tmp/fpe-XXXXXX"));
    QProcess impostor;
    QVERIFY(startImpostor(impostor, peerDir, false));

    NetworkSocketClient client;
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QSignalSpy disconnected(&client, &NetworkSocketClient::disconnected);
    QSignalSpy errors(&client, &NetworkSocketClient::errorOccurred);
    QSignalSpy data(&client, &NetworkSocketClient::dataReceived);
    expectRejection();
    client.connectToServer();

    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toString(), QStringLiteral("套接字访问错误"));
    QVERIFY(!client.isConnected());
    // The impostor sees its connection closed; nothing it sent is delivered.
    QTRY_COMPARE_WITH_TIMEOUT(impostor.state(), QProcess::NotRunning, 5000);
    QCOMPARE(impostor.readAllStandardOutput().trimmed(), QByteArray("closed"));
    QTest::qWait(30);
    QCOMPARE(connected.count(), 0);
    QCOMPARE(disconnected.count(), 0);
    QCOMPARE(data.count(), 0);
    QCOMPARE(errors.count(), 1);
}

void TestNetworkSocketClient::rejectedPeerHangingUpFirstIsNotAnnouncedNorRetried()
{
    if (::geteuid() != 0)
        QSKIP("needs root to run a listener as another user");
    QTemporaryDir peerDir(QStringLiteral("/tmp/fpe-XXXXXX"));
    QProcess impostor;
    QVERIFY(startImpostor(impostor, peerDir, true));

    NetworkSocketClient client;
    QSignalSpy connected(&client, &NetworkSocketClient::connected);
    QSignalSpy disconnected(&client, &NetworkSocketClient::disconnected);
    QSignalSpy errors(&client, &NetworkSocketClient::errorOccurred);
    expectRejection();
    client.connectToServer();
    QCOMPARE(errors.count(), 1);
    QVERIFY(impostor.waitForFinished(5000));
    QCOMPARE(impostor.readAllStandardOutput().trimmed(), QByteArray("closed"));

    // The hang-up is handled before the rejected socket is dropped: its error
    // and its end reach the client while the rejection is still pending.
    auto *socket = client.findChild<QLocalSocket *>();
    QVERIFY(socket);
    QVERIFY(socket->waitForDisconnected(5000));
    QVERIFY(!client.isConnected());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(disconnected.count(), 0);

    // No retry follows: a retry would be refused by the dead listener.
    QTest::qWait(5 * reconnectMs);
    QCOMPARE(errors.count(), 1);
    QCOMPARE(connected.count(), 0);
    QCOMPARE(disconnected.count(), 0);
    QVERIFY(!client.isConnected());
}

QTEST_GUILESS_MAIN(TestNetworkSocketClient)
#include "tst_networksocketclient.moc"

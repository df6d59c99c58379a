// Frames, documents and the NetworkProcess record, without any socket.
#include "collectorframe.h"
#include "networkprocess.h"

#include <QJsonDocument>
#include <QSequentialIterable>
#include <QtEndian>
#include <QtTest>

#include <limits>

using collectorframe::FrameReader;
using collectorframe::FrameStatus;

namespace {

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

QJsonObject object(const char *json)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        qFatal("bad test JSON %s: %s", json, qPrintable(error.errorString()));
    return document.object();
}

// Feeds `stream` in chunks of the given sizes (the rest in one last chunk)
// and collects the frame bodies the reader produces.
QList<QByteArray> readFrames(const QByteArray &stream, const QList<int> &chunks, bool *overLimit = nullptr)
{
    FrameReader reader;
    QList<QByteArray> bodies;
    int offset = 0;
    QList<int> sizes = chunks;
    sizes.append(stream.size());
    for (int size : sizes) {
        if (offset >= stream.size())
            break;
        reader.append(stream.mid(offset, size));
        offset += size;
        QByteArray body;
        FrameStatus status;
        while ((status = reader.next(body)) == FrameStatus::Frame)
            bodies.append(body);
        if (status == FrameStatus::OverLimit) {
            if (overLimit)
                *overLimit = true;
            break;
        }
    }
    return bodies;
}

} // namespace

class TestNetworkProcess : public QObject
{
    Q_OBJECT

private slots:
    void defaultRecordIsEmpty();
    void typesAreKnownByTheirNames();
    void listIsIterableThroughTheMetaTypeSystem();

    void entryIsDecodedFieldByField_data();
    void entryIsDecodedFieldByField();
    void programMembersAreDecodedWithinTheirBounds_data();
    void programMembersAreDecodedWithinTheirBounds();
    void documentsAreDecodedOnlyWhenTheyAreDataDocuments_data();
    void documentsAreDecodedOnlyWhenTheyAreDataDocuments();
    void elementsThatAreNoObjectsGiveDefaultRecords();
    void equalPidsStayApartInArrayOrder();
    void equalTextsOfOneDocumentAreKeptOnce();

    void framesSurviveAnySplitOfTheStream_data();
    void framesSurviveAnySplitOfTheStream();
    void lengthLimitIsCheckedUnsigned_data();
    void lengthLimitIsCheckedUnsigned();
    void readerKeepsRefusingAfterAnOverLimitPrefixUntilReset();
    void bodiesAreParsedIntoObjects_data();
    void bodiesAreParsedIntoObjects();
};

void TestNetworkProcess::defaultRecordIsEmpty()
{
    const NetworkProcess process;
    QCOMPARE(process.pid, 0);
    QVERIFY(process.comm.isEmpty());
    QCOMPARE(process.tx_bytes, quint64(0));
    QCOMPARE(process.rx_bytes, quint64(0));
    QCOMPARE(process.tx_speed, 0.0);
    QCOMPARE(process.rx_speed, 0.0);
    QVERIFY(process.exe.isEmpty());
    QVERIFY(process.cmdline.isEmpty());
}

void TestNetworkProcess::typesAreKnownByTheirNames()
{
    // Known by name as soon as the library is loaded, before anything here
    // has asked for the type ids (which would register them as a side effect).
    QVERIFY(QMetaType::type("NetworkProcess") != QMetaType::UnknownType);
    QVERIFY(QMetaType::type("QList<NetworkProcess>") != QMetaType::UnknownType);
    registerNetworkProcessTypes();
    QCOMPARE(QMetaType::type("NetworkProcess"), qMetaTypeId<NetworkProcess>());
    QCOMPARE(QMetaType::type("QList<NetworkProcess>"), qMetaTypeId<QList<NetworkProcess>>());
    QCOMPARE(QByteArray(QMetaType::typeName(qMetaTypeId<QList<NetworkProcess>>())),
             QByteArray("QList<NetworkProcess>"));
}

void TestNetworkProcess::listIsIterableThroughTheMetaTypeSystem()
{
    NetworkProcess first;
    first.pid = 11;
    NetworkProcess second;
    second.pid = 22;
    const QVariant variant = QVariant::fromValue(QList<NetworkProcess>{first, second});
    QVERIFY(variant.canConvert<QVariantList>());
    const QSequentialIterable iterable = variant.value<QSequentialIterable>();
    QList<qint32> pids;
    for (const QVariant &element : iterable)
        pids.append(element.value<NetworkProcess>().pid);
    QCOMPARE(pids, (QList<qint32>{11, 22}));
}

void TestNetworkProcess::entryIsDecodedFieldByField_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<int>("pid");
    QTest::addColumn<QString>("comm");
    QTest::addColumn<quint64>("txBytes");
    QTest::addColumn<quint64>("rxBytes");
    QTest::addColumn<double>("txSpeed");
    QTest::addColumn<double>("rxSpeed");

    const quint64 maxCount = std::numeric_limits<quint64>::max();
    QTest::newRow("all fields well formed")
        << QByteArray(R"({"pid":42,"comm":"curl","tx_bytes":10,"rx_bytes":20,"tx_speed":1.5,"rx_speed":2.25})")
        << 42 << "curl" << quint64(10) << quint64(20) << 1.5 << 2.25;
    QTest::newRow("empty entry gives the default record")
        << QByteArray("{}") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("unknown keys are ignored")
        << QByteArray(R"({"pid":7,"extra":[1,2],"uid":0})") << 7 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("fractional pid and numeric comm")
        << QByteArray(R"({"pid":12.5,"comm":5})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("pid as a string of digits")
        << QByteArray(R"({"pid":"123"})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("pid at the 32-bit maximum")
        << QByteArray(R"({"pid":2147483647})") << 2147483647 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("pid one past the 32-bit maximum")
        << QByteArray(R"({"pid":2147483648})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("pid at the 32-bit minimum")
        << QByteArray(R"({"pid":-2147483648})") << int(std::numeric_limits<qint32>::min()) << ""
        << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("pid one below the 32-bit minimum")
        << QByteArray(R"({"pid":-2147483649})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("pid written with an exponent")
        << QByteArray(R"({"pid":1.2e3})") << 1200 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("huge pid")
        << QByteArray(R"({"pid":1e300})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("pid true, null, object")
        << QByteArray(R"({"pid":true,"comm":null,"tx_speed":{}})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("comm with non-ASCII text")
        << QByteArray(R"({"comm":"浏览器"})") << 0 << QString::fromUtf8("浏览器") << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("tx_bytes fraction rounds up")
        << QByteArray(R"({"tx_bytes":1234.6})") << 0 << "" << quint64(1235) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("tx_bytes fraction rounds down")
        << QByteArray(R"({"tx_bytes":1234.4})") << 0 << "" << quint64(1234) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("tx_bytes half rounds away from zero")
        << QByteArray(R"({"tx_bytes":2.5})") << 0 << "" << quint64(3) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("tx_bytes as a string of digits")
        << QByteArray(R"({"tx_bytes":"1234"})") << 0 << "" << quint64(1234) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("tx_bytes null")
        << QByteArray(R"({"tx_bytes":null})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("tx_bytes true and rx_bytes false")
        << QByteArray(R"({"tx_bytes":true,"rx_bytes":false})") << 0 << "" << quint64(1) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("byte counters as object and array")
        << QByteArray(R"({"tx_bytes":{"a":1},"rx_bytes":[5]})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("byte counters as unparsable text")
        << QByteArray(R"({"tx_bytes":"12.5","rx_bytes":"abc"})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("negative byte counters give 0")
        << QByteArray(R"({"tx_bytes":-5,"rx_bytes":"-5"})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("tiny negative fraction rounds to 0")
        << QByteArray(R"({"tx_bytes":-0.4})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("byte counters beyond 64 bits saturate as numbers, fail as text")
        << QByteArray(R"({"tx_bytes":1e30,"rx_bytes":"18446744073709551616"})") << 0 << ""
        << maxCount << quint64(0) << 0.0 << 0.0;
    QTest::newRow("largest 64-bit count as text")
        << QByteArray(R"({"rx_bytes":"18446744073709551615"})") << 0 << "" << quint64(0) << maxCount << 0.0 << 0.0;
    QTest::newRow("large exact count as a number")
        << QByteArray(R"({"rx_bytes":1099511627776})") << 0 << "" << quint64(0) << quint64(1099511627776ULL) << 0.0 << 0.0;
    QTest::newRow("speeds as text give 0")
        << QByteArray(R"({"tx_speed":"1.5","rx_speed":true})") << 0 << "" << quint64(0) << quint64(0) << 0.0 << 0.0;
    QTest::newRow("negative and integral speeds are carried unchanged")
        << QByteArray(R"({"tx_speed":-3,"rx_speed":7})") << 0 << "" << quint64(0) << quint64(0) << -3.0 << 7.0;
}

void TestNetworkProcess::entryIsDecodedFieldByField()
{
    QFETCH(QByteArray, entry);
    const NetworkProcess process = networkProcessFromJson(object(entry.constData()));
    QTEST(int(process.pid), "pid");
    QTEST(process.comm, "comm");
    QTEST(process.tx_bytes, "txBytes");
    QTEST(process.rx_bytes, "rxBytes");
    QTEST(process.tx_speed, "txSpeed");
    QTEST(process.rx_speed, "rxSpeed");
}

void TestNetworkProcess::programMembersAreDecodedWithinTheirBounds_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("exe");
    QTest::addColumn<QStringList>("cmdline");

    const QByteArray longestExe = '/' + QByteArray(MaxReportedExe - 1, 'a');
    const auto strings = [](int count, int size) {
        QByteArray list = "[";
        for (int i = 0; i < count; ++i)
            list += (i ? ",\"" : "\"") + QByteArray(size, 'x') + '"';
        return list + ']';
    };
    QStringList widest;
    for (int i = 0; i < MaxReportedArgs; ++i)
        widest.append(QStringLiteral("x"));
    const QString half(MaxReportedArgsChars / 2, QLatin1Char('x'));
    const QStringList longest{half, half};

    QTest::newRow("absent") << QByteArray(R"({"pid":5})") << "" << QStringList();
    QTest::newRow("both well formed")
        << QByteArray(R"({"pid":5,"exe":"/usr/bin/python3.11","cmdline":["python3","/srv/a.py"]})")
        << "/usr/bin/python3.11" << QStringList{"python3", "/srv/a.py"};
    QTest::newRow("exe without cmdline") << QByteArray(R"({"exe":"/usr/bin/curl"})") << "/usr/bin/curl"
                                         << QStringList();
    QTest::newRow("empty arguments are kept") << QByteArray(R"({"exe":"/bin/x","cmdline":["",""]})") << "/bin/x"
                                              << QStringList{"", ""};
    QTest::newRow("cmdline without exe is ignored") << QByteArray(R"({"cmdline":["a","/b"]})") << ""
                                                    << QStringList();
    QTest::newRow("exe a number") << QByteArray(R"({"exe":12,"cmdline":["a"]})") << "" << QStringList();
    QTest::newRow("exe an array") << QByteArray(R"({"exe":["/bin/x"]})") << "" << QStringList();
    QTest::newRow("exe empty") << QByteArray(R"({"exe":"","cmdline":["a"]})") << "" << QStringList();
    QTest::newRow("exe with NUL") << QByteArray(R"({"exe":"/bin/x\u0000y"})") << "" << QStringList();
    QTest::newRow("exe at its limit") << "{\"exe\":\"" + longestExe + "\"}" << QString::fromLatin1(longestExe)
                                      << QStringList();
    QTest::newRow("exe beyond its limit") << "{\"exe\":\"" + longestExe + "a\",\"cmdline\":[\"a\"]}" << ""
                                          << QStringList();
    QTest::newRow("cmdline a string") << QByteArray(R"({"exe":"/bin/x","cmdline":"a b"})") << "/bin/x"
                                      << QStringList();
    QTest::newRow("cmdline with a number") << QByteArray(R"({"exe":"/bin/x","cmdline":["a",1]})") << "/bin/x"
                                           << QStringList();
    QTest::newRow("cmdline with NUL") << QByteArray(R"({"exe":"/bin/x","cmdline":["a\u0000b"]})") << "/bin/x"
                                      << QStringList();
    QTest::newRow("most arguments") << "{\"exe\":\"/bin/x\",\"cmdline\":" + strings(MaxReportedArgs, 1) + "}"
                                    << "/bin/x" << widest;
    QTest::newRow("too many arguments")
        << "{\"exe\":\"/bin/x\",\"cmdline\":" + strings(MaxReportedArgs + 1, 1) + "}" << "/bin/x" << QStringList();
    QTest::newRow("longest arguments")
        << "{\"exe\":\"/bin/x\",\"cmdline\":" + strings(2, MaxReportedArgsChars / 2) + "}" << "/bin/x" << longest;
    QTest::newRow("arguments too long")
        << "{\"exe\":\"/bin/x\",\"cmdline\":" + strings(2, MaxReportedArgsChars / 2 + 1) + "}" << "/bin/x"
        << QStringList();
}

void TestNetworkProcess::programMembersAreDecodedWithinTheirBounds()
{
    QFETCH(QByteArray, entry);
    const NetworkProcess process = networkProcessFromJson(object(entry.constData()));
    QTEST(process.exe, "exe");
    QTEST(process.cmdline, "cmdline");
}

void TestNetworkProcess::documentsAreDecodedOnlyWhenTheyAreDataDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("isData");
    QTest::addColumn<QList<int>>("pids");

    QTest::newRow("data document") << QByteArray(R"({"type":"network_data","processes":[{"pid":1},{"pid":2}]})")
                                   << true << QList<int>{1, 2};
    QTest::newRow("empty processes array is still a list")
        << QByteArray(R"({"type":"network_data","processes":[]})") << true << QList<int>{};
    QTest::newRow("missing processes gives an empty list")
        << QByteArray(R"({"type":"network_data"})") << true << QList<int>{};
    QTest::newRow("processes that is no array gives an empty list")
        << QByteArray(R"({"type":"network_data","processes":{"pid":1}})") << true << QList<int>{};
    QTest::newRow("type in capitals is not a data document")
        << QByteArray(R"({"type":"NETWORK_DATA","processes":[{"pid":1}]})") << false << QList<int>{};
    QTest::newRow("other type") << QByteArray(R"({"type":"hello","processes":[{"pid":1}]})") << false << QList<int>{};
    QTest::newRow("type that is no string") << QByteArray(R"({"type":1,"processes":[{"pid":1}]})") << false << QList<int>{};
    QTest::newRow("no type") << QByteArray(R"({"processes":[{"pid":1}]})") << false << QList<int>{};
    QTest::newRow("empty object") << QByteArray("{}") << false << QList<int>{};
}

void TestNetworkProcess::documentsAreDecodedOnlyWhenTheyAreDataDocuments()
{
    QFETCH(QByteArray, document);
    QList<NetworkProcess> processes{NetworkProcess{}};
    QTEST(networkProcessesFromDocument(object(document.constData()), processes), "isData");
    QList<int> pids;
    for (const NetworkProcess &process : processes)
        pids.append(process.pid);
    QTEST(pids, "pids");
}

void TestNetworkProcess::elementsThatAreNoObjectsGiveDefaultRecords()
{
    QList<NetworkProcess> processes;
    QVERIFY(networkProcessesFromDocument(
        object(R"({"type":"network_data","processes":[5,"text",{"pid":3,"comm":"a"},null,[1]]})"), processes));
    QCOMPARE(processes.size(), 5);
    QCOMPARE(processes.at(2).pid, 3);
    QCOMPARE(processes.at(2).comm, QStringLiteral("a"));
    for (int index : {0, 1, 3, 4}) {
        QCOMPARE(processes.at(index).pid, 0);
        QVERIFY(processes.at(index).comm.isEmpty());
        QCOMPARE(processes.at(index).tx_bytes, quint64(0));
    }
}

void TestNetworkProcess::equalPidsStayApartInArrayOrder()
{
    QList<NetworkProcess> processes;
    QVERIFY(networkProcessesFromDocument(
        object(R"({"type":"network_data","processes":[{"pid":9,"tx_bytes":1},{"pid":8},{"pid":9,"tx_bytes":2}]})"),
        processes));
    QCOMPARE(processes.size(), 3);
    QCOMPARE(processes.at(0).pid, 9);
    QCOMPARE(processes.at(0).tx_bytes, quint64(1));
    QCOMPARE(processes.at(1).pid, 8);
    QCOMPARE(processes.at(2).pid, 9);
    QCOMPARE(processes.at(2).tx_bytes, quint64(2));
}

void TestNetworkProcess::equalTextsOfOneDocumentAreKeptOnce()
{
    QList<NetworkProcess> processes;
    QVERIFY(networkProcessesFromDocument(
        object(R"({"type":"network_data","processes":[)"
               R"({"pid":1,"comm":"w","exe":"/usr/bin/w","cmdline":["w","-x"]},)"
               R"({"pid":2,"comm":"v","exe":"/usr/bin/w","cmdline":["w","-y"]},)"
               R"({"pid":3,"comm":"w","exe":"/usr/bin/w","cmdline":["w","-x"]}]})"),
        processes));
    QCOMPARE(processes.size(), 3);
    const NetworkProcess &first = processes.at(0);
    const NetworkProcess &second = processes.at(1);
    const NetworkProcess &third = processes.at(2);
    QCOMPARE(third.comm, QStringLiteral("w"));
    QCOMPARE(second.comm, QStringLiteral("v"));
    QCOMPARE(second.cmdline, QStringList({QStringLiteral("w"), QStringLiteral("-y")}));
    QCOMPARE(third.cmdline, QStringList({QStringLiteral("w"), QStringLiteral("-x")}));
    // One copy of each text and each argument list, shared by the processes.
    QCOMPARE(third.comm.constData(), first.comm.constData());
    QCOMPARE(second.exe.constData(), first.exe.constData());
    QCOMPARE(third.exe.constData(), first.exe.constData());
    QVERIFY(third.cmdline.isSharedWith(first.cmdline));
    QVERIFY(!second.cmdline.isSharedWith(first.cmdline));
}

void TestNetworkProcess::framesSurviveAnySplitOfTheStream_data()
{
    QTest::addColumn<QList<int>>("chunks");

    // The stream below: three frames of 9, 0 and 256 body bytes (4 + 9, 4, 4 + 256 bytes).
    QTest::newRow("whole stream in one read") << QList<int>{};
    QTest::newRow("prefix, body and the rest in three reads") << QList<int>{4, 9};
    QTest::newRow("prefix split two and two") << QList<int>{2, 2};
    QTest::newRow("prefix split one and three") << QList<int>{1, 3};
    QTest::newRow("body split in the middle") << QList<int>{7, 6};
    QTest::newRow("two frames and part of the third") << QList<int>{17 + 2, 100};
    QTest::newRow("split right after the empty frame") << QList<int>{17};
    QTest::newRow("split inside the third prefix") << QList<int>{19, 1, 1};
    QList<int> single;
    for (int i = 0; i < 13 + 4 + 260; ++i)
        single.append(1);
    QTest::newRow("byte by byte") << single;
}

void TestNetworkProcess::framesSurviveAnySplitOfTheStream()
{
    QFETCH(QList<int>, chunks);
    const QByteArray first = R"({"a":"b"})";
    const QByteArray third = QByteArray(R"({"pad":")") + QByteArray(256 - 10, 'x') + QByteArray("\"}");
    QCOMPARE(third.size(), 256);
    const QByteArray stream = frame(first) + prefix(0) + frame(third);
    // 00 00 01 00 announces 256 body bytes.
    QCOMPARE(stream.mid(17, 4), QByteArray::fromHex("00000100"));

    const QList<QByteArray> bodies = readFrames(stream, chunks);
    QCOMPARE(bodies, (QList<QByteArray>{first, QByteArray(), third}));
}

void TestNetworkProcess::lengthLimitIsCheckedUnsigned_data()
{
    QTest::addColumn<quint32>("length");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("exactly 1 MiB") << quint32(1048576) << true;
    QTest::newRow("one byte over 1 MiB") << quint32(1048577) << false;
    QTest::newRow("top bit set (80 00 00 00)") << quint32(0x80000000u) << false;
    QTest::newRow("FF FF FF FF") << quint32(0xFFFFFFFFu) << false;
    QTest::newRow("zero") << quint32(0) << true;
}

void TestNetworkProcess::lengthLimitIsCheckedUnsigned()
{
    QFETCH(quint32, length);
    QFETCH(bool, accepted);

    QByteArray buffer = prefix(length);
    if (accepted)
        buffer.append(QByteArray(int(length), ' '));
    int readPos = 0;
    quint32 expectedSize = 0;
    QByteArray body;
    const FrameStatus status = collectorframe::takeFrame(buffer, readPos, expectedSize, body);
    if (accepted) {
        QCOMPARE(status, FrameStatus::Frame);
        QCOMPARE(body.size(), int(length));
        QCOMPARE(readPos, buffer.size());
        QCOMPARE(expectedSize, quint32(0));
    } else {
        QCOMPARE(status, FrameStatus::OverLimit);
        QCOMPARE(expectedSize, length);
    }
}

void TestNetworkProcess::readerKeepsRefusingAfterAnOverLimitPrefixUntilReset()
{
    FrameReader reader;
    reader.append(prefix(1048577) + frame("{}"));
    QByteArray body;
    QCOMPARE(reader.next(body), FrameStatus::OverLimit);
    QCOMPARE(reader.bufferedBytes(), 0);
    // Later bytes are dropped rather than taken for a frame or buffered.
    reader.append(frame("{}"));
    QCOMPARE(reader.next(body), FrameStatus::OverLimit);
    QCOMPARE(reader.bufferedBytes(), 0);

    reader.reset();
    reader.append(frame("{}"));
    QCOMPARE(reader.next(body), FrameStatus::Frame);
    QCOMPARE(body, QByteArray("{}"));
    QCOMPARE(reader.next(body), FrameStatus::NeedMoreData);
}

void TestNetworkProcess::bodiesAreParsedIntoObjects_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<int>("keys");

    QTest::newRow("object") << QByteArray(R"({"type":"network_data","processes":[]})") << true << 2;
    QTest::newRow("array top level reads as an empty object") << QByteArray("[1,2,3]") << true << 0;
    QTest::newRow("empty body") << QByteArray() << false << 0;
    QTest::newRow("truncated object") << QByteArray(R"({"type":"netw)") << false << 0;
    QTest::newRow("trailing garbage") << QByteArray("{} x") << false << 0;
    QTest::newRow("invalid UTF-8 inside a string") << QByteArray("{\"comm\":\"\xff\xfe\"}") << false << 0;
    QTest::newRow("zero byte inside the body") << QByteArray("{\"a\":1}\0", 8) << false << 0;
    QTest::newRow("number too large for a double") << QByteArray(R"({"tx_bytes":1e999})") << false << 0;
    QTest::newRow("nesting far too deep") << QByteArray(100000, '[') << false << 0;
}

void TestNetworkProcess::bodiesAreParsedIntoObjects()
{
    QFETCH(QByteArray, body);
    QJsonObject parsedObject{{"stale", 1}};
    QString errorText;
    QTEST(collectorframe::parseFrameBody(body, parsedObject, errorText), "parsed");
    QTEST(int(parsedObject.size()), "keys");
    QFETCH(bool, parsed);
    QCOMPARE(errorText.isEmpty(), parsed);
}

QTEST_GUILESS_MAIN(TestNetworkProcess)
#include "tst_networkprocess.moc"

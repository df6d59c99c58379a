// Delivery of alarm reports over a private system bus, against stand-in
// services for the device-monitor client and the log-transmission service.
#include "alarmtext.h"
#include "defaults.h"
#include "monitorconfig.h"
#include "privatebus.h"
#include "processmonitor.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using sysmonitor::process::ProcessMonitor;
namespace alarmtext = sysmonitor::process::alarmtext;

namespace {

// One item of the application list in the process table's form: every
// quotation mark written as three backslashes and a quotation mark.
QString listItem(const QString &name, const char *total, const char *upload, const char *download)
{
    const QString q = QStringLiteral("\\\\\\\"");
    return QLatin1Char('{') + q + "app" + q + ':' + q + name + q + ',' + q + "total" + q + ':' + q + total + q + ','
        + q + "upload" + q + ':' + q + upload + q + ',' + q + "download" + q + ':' + q + download + q + '}';
}

} // namespace

class TestAlarmDelivery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void deliveryCodeFollowsTheServiceReply_data();
    void deliveryCodeFollowsTheServiceReply();
    void textThatIsNotJsonIsNeverSent();
    void sentTextHasSortedKeysWhileTheBuiltTextKeepsItsOrder();
    void userComesFromTheDeviceMonitorClient_data();
    void userComesFromTheDeviceMonitorClient();
    void escapedValuesArriveUnchangedAfterDelivery();

private:
    bool startServices(const QStringList &options);
    void waitUntilServicesAreGone();
    QStringList recorded() const;
    QString logText() const;

    QTemporaryDir dir;
    PrivateBus bus;
    BusServices services;
    QString record;
};

void TestAlarmDelivery::initTestCase()
{
    QVERIFY(dir.isValid());
    ferrow::defaults().paths = ferrow::Paths(dir.path());
    QFile settings(ferrow::paths().settingsFile);
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("[RivletMonitor]\nLogLevel=1\n");
    settings.close();

    const QString address = bus.start(dir.path());
    QVERIFY2(!address.isEmpty(), qPrintable(bus.error()));
    // Must be set before the first use of the system bus connection.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());
    QVERIFY(QDBusConnection::systemBus().isConnected());
    record = dir.filePath(QStringLiteral("received.txt"));
}

void TestAlarmDelivery::init()
{
    QFile::remove(record);
    QFile::remove(ferrow::paths().logFile);
}

void TestAlarmDelivery::cleanup()
{
    services.stop();
    waitUntilServicesAreGone();
}

void TestAlarmDelivery::cleanupTestCase()
{
    services.stop();
    bus.stop();
    ferrow::defaults() = ferrow::Defaults();
}

bool TestAlarmDelivery::startServices(const QStringList &options)
{
    return services.start(bus.address(), options);
}

void TestAlarmDelivery::waitUntilServicesAreGone()
{
    QDBusConnectionInterface *names = QDBusConnection::systemBus().interface();
    QTRY_VERIFY(!names->isServiceRegistered(QStringLiteral("org.log.sys_transmit")).value());
    QTRY_VERIFY(!names->isServiceRegistered(QStringLiteral("com.zantor.quorvane.pellionclient")).value());
}

QStringList TestAlarmDelivery::recorded() const
{
    QStringList texts;
    QFile file(record);
    if (!file.open(QIODevice::ReadOnly))
        return texts;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        // Each line is one JSON-encoded string.
        texts << QJsonDocument::fromJson("[" + line + "]").array().at(0).toString();
    }
    return texts;
}

QString TestAlarmDelivery::logText() const
{
    QFile file(ferrow::paths().logFile);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

void TestAlarmDelivery::deliveryCodeFollowsTheServiceReply_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("reached");
    QTest::newRow("string reply: delivered") << QStringList{"--transmit", "ok"} << 0 << true;
    QTest::newRow("error reply") << QStringList{"--transmit", "error"} << 3 << true;
    QTest::newRow("reply without arguments") << QStringList{"--transmit", "empty"} << 3 << true;
    QTest::newRow("reply that is not a string") << QStringList{"--transmit", "int"} << 3 << true;
    QTest::newRow("service absent") << QStringList{"--user", "alice"} << 2 << false;
}

void TestAlarmDelivery::deliveryCodeFollowsTheServiceReply()
{
    QFETCH(QStringList, options);
    QFETCH(int, code);
    QFETCH(bool, reached);
    QVERIFY(startServices(options + QStringList{"--record", record}));

    const QString message = QStringLiteral("{\"time\":\"2026-12-06 22:31:35\",\"lv\":\"error\"}");
    QCOMPARE(ProcessMonitor::sendAlarm(message), code);
    if (reached)
        QCOMPARE(recorded(), QStringList{QStringLiteral("{\"lv\":\"error\",\"time\":\"2026-12-06 22:31:35\"}")});
    else
        QVERIFY(recorded().isEmpty());
}

void TestAlarmDelivery::textThatIsNotJsonIsNeverSent()
{
    QVERIFY(startServices({"--transmit", "ok", "--record", record}));
    QCOMPARE(ProcessMonitor::sendAlarm(QStringLiteral("{\"time\":\"unterminated}")), 4);
    QCOMPARE(ProcessMonitor::sendAlarm(QString()), 4);
    // The unescaped form of a quotation mark inside a value breaks the text.
    QCOMPARE(ProcessMonitor::sendAlarm(QStringLiteral("{\"hostname\":\"a\"b\"}")), 4);
    QVERIFY(recorded().isEmpty());
    QCOMPARE(ProcessMonitor::sendAlarm(QStringLiteral("{\"hostname\":\"a\\\"b\"}")), 0);
    QCOMPARE(recorded().size(), 1);
}

void TestAlarmDelivery::sentTextHasSortedKeysWhileTheBuiltTextKeepsItsOrder()
{
    QVERIFY(startServices({"--user", "alice", "--transmit", "ok", "--record", record}));
    const QString detail = listItem(QStringLiteral("firefox-esr"), "3072", "1024", "2048");
    const QString message
        = ProcessMonitor::buildAlarmMessage(QStringLiteral("总流量使用超标,1.50小时内使用10.00GB"), detail);
    QVERIFY2(message.startsWith(QStringLiteral("{\"time\":\"")), qPrintable(message));
    QVERIFY(message.contains(QStringLiteral("\",\"hostname\":\"alice\",\"ip\":\"")));
    QVERIFY(message.contains(QStringLiteral("\"name\":\"ferrow_alarm\",\"lv\":\"error\",\"message\":\"{\\\"exceptionDesc\\\":\\\"总流量使用超标,1.50小时内使用10.00GB\\\",\\\"detail\\\":\\\"[")));

    QCOMPARE(ProcessMonitor::sendAlarm(message), 0);
    const QStringList sent = recorded();
    QCOMPARE(sent.size(), 1);
    const QString text = sent.first();
    QVERIFY2(text.startsWith(QStringLiteral("{\"hostname\":\"alice\",\"ip\":\"")), qPrintable(text));
    const int lv = text.indexOf(QStringLiteral("\"lv\":"));
    const int msg = text.indexOf(QStringLiteral("\"message\":"));
    const int name = text.indexOf(QStringLiteral("\"name\":"));
    const int time = text.indexOf(QStringLiteral("\"time\":"));
    QVERIFY(lv > 0 && lv < msg && msg < name && name < time);
    QVERIFY(!text.contains(QLatin1Char('\n')));
    // Chinese text travels as itself, not as \u escapes.
    QVERIFY(text.contains(QStringLiteral("总流量使用超标")));
    // Same content, only the order differs.
    QCOMPARE(QJsonDocument::fromJson(text.toUtf8()).object(), QJsonDocument::fromJson(message.toUtf8()).object());
}

void TestAlarmDelivery::userComesFromTheDeviceMonitorClient_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("hostname");
    QTest::newRow("client answers") << QStringList{"--user", "alice"} << "alice" << "alice";
    QTest::newRow("client absent") << QStringList{"--transmit", "ok"} << "" << "root";
    QTest::newRow("client answers an error") << QStringList{"--user", "alice", "--user-reply", "error"} << ""
                                             << "root";
    QTest::newRow("client answers a number") << QStringList{"--user", "alice", "--user-reply", "int"} << ""
                                             << "root";
    QTest::newRow("client answers an empty name") << QStringList{"--user", ""} << "" << "root";
}

void TestAlarmDelivery::userComesFromTheDeviceMonitorClient()
{
    QFETCH(QStringList, options);
    QFETCH(QString, user);
    QFETCH(QString, hostname);
    QVERIFY(startServices(options));
    QCOMPARE(ProcessMonitor::currentUser(), user);
    const QJsonObject message
        = QJsonDocument::fromJson(ProcessMonitor::buildAlarmMessage(QStringLiteral("d"), QString()).toUtf8()).object();
    QCOMPARE(message.value(QLatin1String("hostname")).toString(), hostname);
}

void TestAlarmDelivery::escapedValuesArriveUnchangedAfterDelivery()
{
    const QString user = QStringLiteral("ro\"ot\\\n");
    const QString app = QStringLiteral("evil\"},{\\\"app\\\":\\\"x");
    QVERIFY(startServices({"--user", user, "--transmit", "ok", "--record", record}));
    const QString detail = listItem(alarmtext::jsonEscape(app, 3), "10", "5", "5");
    const QString desc = QStringLiteral("总\"流量\\");
    QCOMPARE(ProcessMonitor::sendAlarm(ProcessMonitor::buildAlarmMessage(desc, detail)), 0);

    const QStringList sent = recorded();
    QCOMPARE(sent.size(), 1);
    const QJsonObject outer = QJsonDocument::fromJson(sent.first().toUtf8()).object();
    QCOMPARE(outer.value(QLatin1String("hostname")).toString(), user);
    const QJsonObject inner = QJsonDocument::fromJson(outer.value(QLatin1String("message")).toString().toUtf8()).object();
    QCOMPARE(inner.value(QLatin1String("exceptionDesc")).toString(), desc);
    const QJsonArray items = QJsonDocument::fromJson(inner.value(QLatin1String("detail")).toString().toUtf8()).array();
    QCOMPARE(items.size(), 1);
    QCOMPARE(items.at(0).toObject().value(QLatin1String("app")).toString(), app);
}

QTEST_GUILESS_MAIN(TestAlarmDelivery)
#include "tst_alarmdelivery.moc"

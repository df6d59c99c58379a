// The address and user of an alarm on a host without the system bus, inside a
// network namespace of the test's own whose interfaces the test sets up.
#include "defaults.h"
#include "processmonitor.h"

#include <QDBusConnection>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sched.h>

using sysmonitor::process::ProcessMonitor;

namespace {

bool ip(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral("ip"), arguments);
    return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

} // namespace

class TestAlarmAddress : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void withoutAnyIpv4AddressTheIpIsEmptyAndLogged();
    void withOnlyLoopbackTheLoopbackAddressIsUsedAndLogged();
    void firstIpv4OfTheFirstNonLoopbackInterfaceIsUsedEvenWhenDown();
    void interfacesAreTakenInTheOrderTheSystemListsThem();
    void withoutSystemBusDeliveryFailsWithCodeOneAndUserIsRoot();

private:
    QString logText() const;
    QJsonObject builtMessage() const;

    QTemporaryDir dir;
};

void TestAlarmAddress::initTestCase()
{
    QVERIFY(dir.isValid());
    ferrow::defaults().paths = ferrow::Paths(dir.path());
    QFile settings(ferrow::paths().settingsFile);
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write("[RivletMonitor]\nLogLevel=1\n");
    settings.close();

    // A bus address that leads nowhere: no system bus for this process.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.filePath(QStringLiteral("no-bus")).toUtf8());
    // A fresh network namespace has only "lo", down and without addresses.
    QVERIFY2(::unshare(CLONE_NEWNET) == 0, strerror(errno));
}

void TestAlarmAddress::init()
{
    QFile::remove(ferrow::paths().logFile);
}

void TestAlarmAddress::cleanupTestCase()
{
    ferrow::defaults() = ferrow::Defaults();
}

QString TestAlarmAddress::logText() const
{
    QFile file(ferrow::paths().logFile);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QJsonObject TestAlarmAddress::builtMessage() const
{
    const QString message = ProcessMonitor::buildAlarmMessage(QStringLiteral("d"), QString());
    return QJsonDocument::fromJson(message.toUtf8()).object();
}

void TestAlarmAddress::withoutAnyIpv4AddressTheIpIsEmptyAndLogged()
{
    QCOMPARE(ProcessMonitor::localIpv4(), QString());
    QCOMPARE(ProcessMonitor::loopbackIpv4(), QString());
    QCOMPARE(builtMessage().value(QLatin1String("ip")).toString(), QString());
    QVERIFY2(logText().endsWith(QStringLiteral("] ip未知，使用回环地址: , 上传日志到log_transmit\n")),
             qPrintable(logText()));
}

void TestAlarmAddress::withOnlyLoopbackTheLoopbackAddressIsUsedAndLogged()
{
    QVERIFY(ip({"link", "set", "lo", "up"}));
    QCOMPARE(ProcessMonitor::localIpv4(), QString());
    QCOMPARE(ProcessMonitor::loopbackIpv4(), QStringLiteral("127.0.0.1"));
    QCOMPARE(builtMessage().value(QLatin1String("ip")).toString(), QStringLiteral("127.0.0.1"));
    QVERIFY2(logText().endsWith(QStringLiteral("] ip未知，使用回环地址: 127.0.0.1, 上传日志到log_transmit\n")),
             qPrintable(logText()));
}

void TestAlarmAddress::firstIpv4OfTheFirstNonLoopbackInterfaceIsUsedEvenWhenDown()
{
    // The peer (veth1) is created first and is listed first; it has only IPv6.
    QVERIFY(ip({"link", "add", "veth0", "type", "veth", "peer", "name", "veth1"}));
    QVERIFY(ip({"-6", "addr", "add", "fd00::1/64", "dev", "veth1"}));
    QVERIFY(ip({"addr", "add", "10.9.8.7/24", "dev", "veth0"}));
    QVERIFY(ip({"addr", "add", "10.9.8.8/24", "dev", "veth0"}));
    QCOMPARE(ProcessMonitor::localIpv4(), QStringLiteral("10.9.8.7"));
    QCOMPARE(builtMessage().value(QLatin1String("ip")).toString(), QStringLiteral("10.9.8.7"));
    QCOMPARE(logText(), QString());
}

void TestAlarmAddress::interfacesAreTakenInTheOrderTheSystemListsThem()
{
    QVERIFY(ip({"addr", "add", "10.5.5.5/24", "dev", "veth1"}));
    QCOMPARE(ProcessMonitor::localIpv4(), QStringLiteral("10.5.5.5"));
    QCOMPARE(ProcessMonitor::loopbackIpv4(), QStringLiteral("127.0.0.1"));
}

void TestAlarmAddress::withoutSystemBusDeliveryFailsWithCodeOneAndUserIsRoot()
{
    QVERIFY(!QDBusConnection::systemBus().isConnected());
    QCOMPARE(ProcessMonitor::sendAlarm(QStringLiteral("{\"a\":\"b\"}")), 1);
    // The bus check comes before the JSON check.
    QCOMPARE(ProcessMonitor::sendAlarm(QStringLiteral("not json")), 1);
    QCOMPARE(ProcessMonitor::currentUser(), QString());
    QCOMPARE(builtMessage().value(QLatin1String("hostname")).toString(), QStringLiteral("root"));
}

QTEST_GUILESS_MAIN(TestAlarmAddress)
#include "tst_alarmaddress.moc"

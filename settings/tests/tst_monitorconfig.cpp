#include "defaults.h"
#include "monitorconfig.h"

#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>

class tst_MonitorConfig : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void aMissingFileReadsAsZeros();
    void switchGettersConvertTheStoredText_data();
    void switchGettersConvertTheStoredText();
    void valueReturnsTheStoredTextVerbatim();
    void jsonGettersCombineEachSizeWithTheSharedPeriod();
    void switchSettersWriteOnlyOnAChange_data();
    void switchSettersWriteOnlyOnAChange();
    void thresholdSettersCompareTexts_data();
    void thresholdSettersCompareTexts();
    void aPeriodChangeAppliesToAllThreeAudits();
    void setValueReplacesTheFileByRename();
    void aFileReplacedByAnotherProcessIsReadAnew();
    void aSameSizeRewriteWithTheSameTimeStampIsReadAnew();
    void valuesAreReadAndWrittenAsQtReadsThem_data();
    void valuesAreReadAndWrittenAsQtReadsThem();
    void aWriteKeepsKeysAnotherProcessAdded();
    void aWriteThatCannotReachTheDiskGoesUnreported();

private:
    QString settingsPath() const { return m_dir->filePath(QStringLiteral("setting.conf")); }
    void writeFile(const QByteArray &content);
    QMap<QString, QString> storedKeys() const;
    ino_t inode() const;

    QScopedPointer<QTemporaryDir> m_dir;
    const QDateTime m_now = QDateTime::fromSecsSinceEpoch(1796574695); // fixed clock
};

void tst_MonitorConfig::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    ferrow::defaults().paths = ferrow::Paths(m_dir->path());
    const QDateTime now = m_now;
    ferrow::defaults().clock = [now] { return now; };
}

void tst_MonitorConfig::cleanup()
{
    ferrow::defaults() = ferrow::Defaults();
    m_dir.reset();
}

// Writes the file as an external configuring program would: a new file renamed over the old one.
void tst_MonitorConfig::writeFile(const QByteArray &content)
{
    const QString temp = settingsPath() + QStringLiteral(".new");
    QFile file(temp);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    QVERIFY(::rename(QFile::encodeName(temp).constData(), QFile::encodeName(settingsPath()).constData()) == 0);
}

// The keys of the [RivletMonitor] section as raw text, read without QSettings.
QMap<QString, QString> tst_MonitorConfig::storedKeys() const
{
    QMap<QString, QString> keys;
    QFile file(settingsPath());
    if (!file.open(QIODevice::ReadOnly))
        return keys;
    bool inGroup = false;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &raw : lines) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('['))) {
            inGroup = line == QLatin1String("[RivletMonitor]");
        } else if (inGroup && line.contains(QLatin1Char('='))) {
            const int eq = line.indexOf(QLatin1Char('='));
            keys.insert(line.left(eq).trimmed(), line.mid(eq + 1).trimmed());
        }
    }
    return keys;
}

ino_t tst_MonitorConfig::inode() const
{
    struct stat info;
    if (::stat(QFile::encodeName(settingsPath()).constData(), &info) != 0)
        return 0;
    return info.st_ino;
}

void tst_MonitorConfig::aMissingFileReadsAsZeros()
{
    QCOMPARE(MonitorConfig::countStatus(), 0);
    QCOMPARE(MonitorConfig::alarmStatus(), 0);
    QCOMPARE(MonitorConfig::egressAlarmStatus(), 0);
    QCOMPARE(MonitorConfig::ingressAlarmStatus(), 0);
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("0"));
    QCOMPARE(MonitorConfig::alarmConfig(), QStringLiteral("{\"period\":0,\"size\":0}"));
    QCOMPARE(MonitorConfig::egressAlarmConfig(), QStringLiteral("{\"period\":0,\"size\":0}"));
    QCOMPARE(MonitorConfig::ingressAlarmConfig(), QStringLiteral("{\"period\":0,\"size\":0}"));
    QVERIFY2(!QFile::exists(settingsPath()), "reading must never create the file");
}

void tst_MonitorConfig::switchGettersConvertTheStoredText_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("expected");
    QTest::newRow("on") << QByteArray("=1") << 1;
    QTest::newRow("off") << QByteArray("=0") << 0;
    QTest::newRow("key present, no value") << QByteArray("=") << 0;
    QTest::newRow("leading zero") << QByteArray("=01") << 1;
    QTest::newRow("leading zero is not octal") << QByteArray("=010") << 10;
    QTest::newRow("not a number") << QByteArray("=on") << 0;
    QTest::newRow("other non-zero value") << QByteArray("=2") << 2;
    QTest::newRow("negative") << QByteArray("=-1") << -1;
    QTest::newRow("key absent") << QByteArray() << 0;
}

void tst_MonitorConfig::switchGettersConvertTheStoredText()
{
    QFETCH(QByteArray, line);
    QFETCH(int, expected);
    const struct {
        const char *key;
        int (*getter)();
    } switches[] = {
        {"FERROW_COUNT_STATUS", &MonitorConfig::countStatus},
        {"FERROW_ALARM_STATUS", &MonitorConfig::alarmStatus},
        {"FERROW_EGRESS_ALARM_STATUS", &MonitorConfig::egressAlarmStatus},
        {"FERROW_INGRESS_ALARM_STATUS", &MonitorConfig::ingressAlarmStatus},
    };
    int index = 0;
    for (const auto &sw : switches) {
        // Files of distinct sizes: Qt's settings cache takes a file rewritten
        // within the same millisecond with the same size as unchanged.
        QByteArray content = "[RivletMonitor]\nOTHER=" + QByteArray(++index, 'x') + '\n';
        if (!line.isNull())
            content += sw.key + line + '\n';
        writeFile(content);
        QVERIFY2(sw.getter() == expected, sw.key);
    }
}

void tst_MonitorConfig::valueReturnsTheStoredTextVerbatim()
{
    writeFile("[RivletMonitor]\nFERROW_ALARM_SIZE=010\nFERROW_ALARM_PERIOD=abc\n[Other]\nFERROW_ALARM_STATUS=1\n");
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("010"));
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_PERIOD")), QStringLiteral("abc"));
    // Keys of another group are not ours.
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_STATUS")), QStringLiteral("0"));
    QCOMPARE(MonitorConfig::alarmStatus(), 0);
}

void tst_MonitorConfig::jsonGettersCombineEachSizeWithTheSharedPeriod()
{
    writeFile("[RivletMonitor]\nFERROW_ALARM_SIZE=10\nFERROW_EGRESS_ALARM_SIZE=3\n"
              "FERROW_INGRESS_ALARM_SIZE=x\nFERROW_ALARM_PERIOD=24\n");
    QCOMPARE(MonitorConfig::alarmConfig(), QStringLiteral("{\"period\":24,\"size\":10}"));
    QCOMPARE(MonitorConfig::egressAlarmConfig(), QStringLiteral("{\"period\":24,\"size\":3}"));
    QCOMPARE(MonitorConfig::ingressAlarmConfig(), QStringLiteral("{\"period\":24,\"size\":0}"));

    // Large values stay plain decimal integers.
    writeFile("[RivletMonitor]\nFERROW_ALARM_SIZE=2147483647\nFERROW_ALARM_PERIOD=1000000\n");
    QCOMPARE(MonitorConfig::alarmConfig(), QStringLiteral("{\"period\":1000000,\"size\":2147483647}"));
}

using SwitchSetter = int (*)(unsigned int);
Q_DECLARE_METATYPE(SwitchSetter)

void tst_MonitorConfig::switchSettersWriteOnlyOnAChange_data()
{
    QTest::addColumn<SwitchSetter>("setter");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("stored"); // null: no file
    QTest::addColumn<uint>("status");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("writesKey");
    QTest::addColumn<bool>("writesTimestamp");

    const QString alarm = QStringLiteral("FERROW_ALARM_STATUS");
    const QString count = QStringLiteral("FERROW_COUNT_STATUS");
    const QString egress = QStringLiteral("FERROW_EGRESS_ALARM_STATUS");
    const QString ingress = QStringLiteral("FERROW_INGRESS_ALARM_STATUS");
    const SwitchSetter setAlarm = &MonitorConfig::setAlarmStatus;

    QTest::newRow("alarm 2 is refused") << setAlarm << alarm << QByteArray("0") << 2u << -1 << false << false;
    QTest::newRow("alarm 2 is refused, no file") << setAlarm << alarm << QByteArray() << 2u << -1 << false << false;
    QTest::newRow("alarm 2 is refused, 2 stored") << setAlarm << alarm << QByteArray("2") << 2u << -1 << false << false;
    QTest::newRow("alarm 1 over 1 writes nothing") << setAlarm << alarm << QByteArray("1") << 1u << 0 << false << false;
    QTest::newRow("alarm 1 over 01 writes nothing") << setAlarm << alarm << QByteArray("01") << 1u << 0 << false << false;
    QTest::newRow("alarm 0 without file writes nothing") << setAlarm << alarm << QByteArray() << 0u << 0 << false << false;
    QTest::newRow("alarm 0 to 1") << setAlarm << alarm << QByteArray("0") << 1u << 0 << true << true;
    QTest::newRow("alarm 1 to 0") << setAlarm << alarm << QByteArray("1") << 0u << 0 << true << true;
    QTest::newRow("alarm on, no file") << setAlarm << alarm << QByteArray() << 1u << 0 << true << true;
    QTest::newRow("count 0 to 1, no timestamp")
        << SwitchSetter(&MonitorConfig::setCountStatus) << count << QByteArray("0") << 1u << 0 << true << false;
    QTest::newRow("count 3 is refused")
        << SwitchSetter(&MonitorConfig::setCountStatus) << count << QByteArray("0") << 3u << -1 << false << false;
    QTest::newRow("egress 0 to 1")
        << SwitchSetter(&MonitorConfig::setEgressAlarmStatus) << egress << QByteArray("0") << 1u << 0 << true << true;
    QTest::newRow("egress 1 over 1")
        << SwitchSetter(&MonitorConfig::setEgressAlarmStatus) << egress << QByteArray("1") << 1u << 0 << false << false;
    QTest::newRow("ingress 0 to 1")
        << SwitchSetter(&MonitorConfig::setIngressAlarmStatus) << ingress << QByteArray("0") << 1u << 0 << true << true;
    QTest::newRow("ingress huge is refused")
        << SwitchSetter(&MonitorConfig::setIngressAlarmStatus) << ingress << QByteArray("0") << 0xffffffffu << -1 << false << false;
}

void tst_MonitorConfig::switchSettersWriteOnlyOnAChange()
{
    QFETCH(SwitchSetter, setter);
    QFETCH(QString, key);
    QFETCH(QByteArray, stored);
    QFETCH(uint, status);
    QFETCH(int, result);
    QFETCH(bool, writesKey);
    QFETCH(bool, writesTimestamp);

    if (!stored.isNull())
        writeFile("[RivletMonitor]\n" + key.toUtf8() + '=' + stored + "\nFERROW_ALARM_TIMESTAMP=5\n");
    const ino_t before = inode();
    const QMap<QString, QString> keysBefore = storedKeys();

    QCOMPARE(setter(status), result);

    const QMap<QString, QString> keys = storedKeys();
    if (!writesKey) {
        QCOMPARE(inode(), before); // the file was not rewritten at all
        QCOMPARE(keys, keysBefore);
        return;
    }
    QCOMPARE(keys.value(key), QString::number(status));
    const QString stamp = QString::number(m_now.toSecsSinceEpoch());
    if (writesTimestamp)
        QCOMPARE(keys.value(QStringLiteral("FERROW_ALARM_TIMESTAMP")), stamp);
    else
        QCOMPARE(keys.value(QStringLiteral("FERROW_ALARM_TIMESTAMP")), QStringLiteral("5"));
    QCOMPARE(keys.size(), 2);
}

void tst_MonitorConfig::thresholdSettersCompareTexts_data()
{
    QTest::addColumn<QString>("sizeKey");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("period");
    QTest::addColumn<int>("result");
    QTest::addColumn<bool>("writes");

    const QString total = QStringLiteral("FERROW_ALARM_SIZE");
    const QString egress = QStringLiteral("FERROW_EGRESS_ALARM_SIZE");
    const QString ingress = QStringLiteral("FERROW_INGRESS_ALARM_SIZE");
    QTest::newRow("negative size") << total << QByteArray("10/24") << -1 << 24 << -1 << false;
    QTest::newRow("negative period") << total << QByteArray("10/24") << 10 << -1 << -1 << false;
    QTest::newRow("both unchanged") << total << QByteArray("10/24") << 10 << 24 << 0 << false;
    QTest::newRow("absent keys equal 0") << total << QByteArray() << 0 << 0 << 0 << false;
    QTest::newRow("stored 010 differs from 10") << total << QByteArray("010/24") << 10 << 24 << 0 << true;
    QTest::newRow("size changed") << total << QByteArray("10/24") << 11 << 24 << 0 << true;
    QTest::newRow("egress period changed") << egress << QByteArray("5/24") << 5 << 12 << 0 << true;
    QTest::newRow("egress unchanged") << egress << QByteArray("5/24") << 5 << 24 << 0 << false;
    QTest::newRow("ingress from nothing") << ingress << QByteArray() << 7 << 0 << 0 << true;
    QTest::newRow("ingress negative") << ingress << QByteArray() << -7 << 0 << -1 << false;
}

void tst_MonitorConfig::thresholdSettersCompareTexts()
{
    QFETCH(QString, sizeKey);
    QFETCH(QByteArray, stored);
    QFETCH(int, size);
    QFETCH(int, period);
    QFETCH(int, result);
    QFETCH(bool, writes);

    if (!stored.isNull()) {
        const QList<QByteArray> parts = stored.split('/');
        writeFile("[RivletMonitor]\n" + sizeKey.toUtf8() + '=' + parts[0] + "\nFERROW_ALARM_PERIOD=" + parts[1] + '\n');
    }
    const ino_t before = inode();
    const QMap<QString, QString> keysBefore = storedKeys();

    int rc = -2;
    if (sizeKey == QLatin1String("FERROW_ALARM_SIZE"))
        rc = MonitorConfig::setAlarmConfig(size, period);
    else if (sizeKey == QLatin1String("FERROW_EGRESS_ALARM_SIZE"))
        rc = MonitorConfig::setEgressAlarmConfig(size, period);
    else
        rc = MonitorConfig::setIngressAlarmConfig(size, period);
    QCOMPARE(rc, result);

    const QMap<QString, QString> keys = storedKeys();
    if (!writes) {
        QCOMPARE(inode(), before);
        QCOMPARE(keys, keysBefore);
        return;
    }
    QCOMPARE(keys.value(sizeKey), QString::number(size));
    QCOMPARE(keys.value(QStringLiteral("FERROW_ALARM_PERIOD")), QString::number(period));
    QCOMPARE(keys.value(QStringLiteral("FERROW_ALARM_TIMESTAMP")), QString::number(m_now.toSecsSinceEpoch()));
}

void tst_MonitorConfig::aPeriodChangeAppliesToAllThreeAudits()
{
    writeFile("[RivletMonitor]\nFERROW_ALARM_SIZE=10\nFERROW_EGRESS_ALARM_SIZE=5\n"
              "FERROW_INGRESS_ALARM_SIZE=2\nFERROW_ALARM_PERIOD=24\n");
    QCOMPARE(MonitorConfig::setEgressAlarmConfig(5, 12), 0);
    QCOMPARE(MonitorConfig::alarmConfig(), QStringLiteral("{\"period\":12,\"size\":10}"));
    QCOMPARE(MonitorConfig::egressAlarmConfig(), QStringLiteral("{\"period\":12,\"size\":5}"));
    QCOMPARE(MonitorConfig::ingressAlarmConfig(), QStringLiteral("{\"period\":12,\"size\":2}"));
}

void tst_MonitorConfig::setValueReplacesTheFileByRename()
{
    writeFile("[RivletMonitor]\nFERROW_COUNT_STATUS=0\n");
    const ino_t before = inode();
    QCOMPARE(MonitorConfig::setValue(QStringLiteral("LogLevel"), QStringLiteral("3")), 0);
    QVERIFY2(inode() != before, "the file is written anew and renamed over the old one");
    QCOMPARE(storedKeys().value(QStringLiteral("LogLevel")), QStringLiteral("3"));
    QCOMPARE(MonitorConfig::value(QStringLiteral("LogLevel")), QStringLiteral("3"));
    QCOMPARE(storedKeys().value(QStringLiteral("FERROW_COUNT_STATUS")), QStringLiteral("0"));
}

void tst_MonitorConfig::aFileReplacedByAnotherProcessIsReadAnew()
{
    writeFile("[RivletMonitor]\nFERROW_COUNT_STATUS=0\nFERROW_ALARM_SIZE=10\n");
    QCOMPARE(MonitorConfig::countStatus(), 0);
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("10"));

    // Another program writes a new file and renames it over ours.
    const QString script = QStringLiteral(
        "printf '[RivletMonitor]\\nFERROW_COUNT_STATUS=1\\nFERROW_ALARM_SIZE=25\\n' > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"");
    QProcess writer;
    writer.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), script, QStringLiteral("sh"), settingsPath()});
    QVERIFY(writer.waitForFinished(5000));
    QCOMPARE(writer.exitCode(), 0);

    QCOMPARE(MonitorConfig::countStatus(), 1);
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("25"));
}

void tst_MonitorConfig::aSameSizeRewriteWithTheSameTimeStampIsReadAnew()
{
    writeFile("[RivletMonitor]\nFERROW_COUNT_STATUS=0\nFERROW_ALARM_SIZE=10\n");
    struct stat first;
    QCOMPARE(::stat(QFile::encodeName(settingsPath()).constData(), &first), 0);
    QCOMPARE(MonitorConfig::countStatus(), 0);
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("10"));

    // Two rewrites within one clock tick: same size, same modification time.
    writeFile("[RivletMonitor]\nFERROW_COUNT_STATUS=1\nFERROW_ALARM_SIZE=25\n");
    const struct timespec times[2] = {first.st_atim, first.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(settingsPath()).constData(), times, 0), 0);
    QCOMPARE(MonitorConfig::countStatus(), 1);
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("25"));

    // A write after such a rewrite starts from the file on disk, not from an older copy.
    writeFile("[RivletMonitor]\nFERROW_COUNT_STATUS=1\nFERROW_ALARM_SIZE=40\n");
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(settingsPath()).constData(), times, 0), 0);
    QCOMPARE(MonitorConfig::setAlarmStatus(1), 0);
    QCOMPARE(storedKeys().value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("40"));
    QCOMPARE(storedKeys().value(QStringLiteral("FERROW_ALARM_STATUS")), QStringLiteral("1"));
}

void tst_MonitorConfig::valuesAreReadAndWrittenAsQtReadsThem_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("blanks around key and value") << QByteArray("[RivletMonitor]\n  LogLevel = 5  \n");
    QTest::newRow("trailing comment") << QByteArray("[RivletMonitor]\nLogLevel=7 ; seven\n");
    QTest::newRow("commented-out line") << QByteArray("[RivletMonitor]\n;LogLevel=7\n");
    QTest::newRow("quoted") << QByteArray("[RivletMonitor]\nLogLevel=\"12\"\n");
    QTest::newRow("quoted blanks kept") << QByteArray("[RivletMonitor]\nLogLevel=\"  4 \"\n");
    QTest::newRow("a list") << QByteArray("[RivletMonitor]\nLogLevel=1,2\n");
    QTest::newRow("escape") << QByteArray("[RivletMonitor]\nLogLevel=a\\tb\n");
    QTest::newRow("empty") << QByteArray("[RivletMonitor]\nLogLevel=\n");
    QTest::newRow("invalid variant") << QByteArray("[RivletMonitor]\nLogLevel=@Invalid()\n");
    QTest::newRow("the group twice, last wins") << QByteArray("[RivletMonitor]\nLogLevel=1\n[Other]\nLogLevel=9\n[RivletMonitor]\nLogLevel=3\n");
    QTest::newRow("only in another group") << QByteArray("[rivletmonitor]\nLogLevel=1\n");
    QTest::newRow("CRLF lines") << QByteArray("[RivletMonitor]\r\nLogLevel=6\r\nFERROW_ALARM_SIZE=2\r\n");
    QTest::newRow("hash is no comment") << QByteArray("# note\n[RivletMonitor]\nLogLevel=3#x\n");
}

// Qt's own reader, on a file it has never seen, is the reference for both directions.
void tst_MonitorConfig::valuesAreReadAndWrittenAsQtReadsThem()
{
    QFETCH(QByteArray, content);
    const auto qtValue = [this](const QByteArray &bytes, const QString &key) {
        static int copies = 0;
        const QString copy = m_dir->filePath(QStringLiteral("qt-%1.conf").arg(++copies));
        QFile file(copy);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return QStringLiteral("<copy failed>");
        file.close();
        QSettings settings(copy, QSettings::IniFormat);
        settings.setIniCodec("UTF-8");
        const QVariant stored = settings.value(QStringLiteral("RivletMonitor/") + key);
        return stored.isNull() ? QStringLiteral("0") : stored.toString();
    };
    const auto onDisk = [this] {
        QFile file(settingsPath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };

    writeFile(content);
    QCOMPARE(MonitorConfig::value(QStringLiteral("LogLevel")), qtValue(content, QStringLiteral("LogLevel")));

    // Written values, awkward ones included, read back the same through Qt,
    // and whatever else the file held is still there.
    const QString awkward = QStringLiteral(" a;b, \"c\" \\ @d ");
    MonitorConfig::setValue(QStringLiteral("FERROW_ALARM_PERIOD"), awkward);
    MonitorConfig::setValue(QStringLiteral("FERROW_ALARM_SIZE"), QStringLiteral("11"));
    const QByteArray written = onDisk();
    QCOMPARE(qtValue(written, QStringLiteral("FERROW_ALARM_PERIOD")), awkward);
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_PERIOD")), awkward);
    QCOMPARE(qtValue(written, QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("11"));
    QCOMPARE(qtValue(written, QStringLiteral("LogLevel")), qtValue(content, QStringLiteral("LogLevel")));
    QCOMPARE(MonitorConfig::value(QStringLiteral("LogLevel")), qtValue(content, QStringLiteral("LogLevel")));
}

void tst_MonitorConfig::aWriteKeepsKeysAnotherProcessAdded()
{
    writeFile("[RivletMonitor]\nFERROW_COUNT_STATUS=0\n");
    QCOMPARE(MonitorConfig::countStatus(), 0);
    writeFile("[RivletMonitor]\nFERROW_COUNT_STATUS=0\nFERROW_ALARM_PERIOD=48\n");
    QCOMPARE(MonitorConfig::setCountStatus(1), 0);
    const QMap<QString, QString> keys = storedKeys();
    QCOMPARE(keys.value(QStringLiteral("FERROW_COUNT_STATUS")), QStringLiteral("1"));
    QCOMPARE(keys.value(QStringLiteral("FERROW_ALARM_PERIOD")), QStringLiteral("48"));
}

void tst_MonitorConfig::aWriteThatCannotReachTheDiskGoesUnreported()
{
    // The parent "directory" is a plain file, so the settings file cannot be
    // created (root ignores permission bits, so those would not stop it).
    QFile blocker(m_dir->filePath(QStringLiteral("notadir")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString path = m_dir->filePath(QStringLiteral("notadir/setting.conf"));
    ferrow::defaults().paths.settingsFile = path;
    QCOMPARE(MonitorConfig::setValue(QStringLiteral("FERROW_COUNT_STATUS"), QStringLiteral("1")), 0);
    QCOMPARE(MonitorConfig::setAlarmStatus(1), 0);
    QCOMPARE(MonitorConfig::setAlarmConfig(10, 24), 0);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(MonitorConfig::countStatus(), 0);
    QCOMPARE(MonitorConfig::value(QStringLiteral("FERROW_ALARM_SIZE")), QStringLiteral("0"));
}

QTEST_GUILESS_MAIN(tst_MonitorConfig)
#include "tst_monitorconfig.moc"

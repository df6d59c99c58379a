#include "defaults.h"
#include "monitorconfig.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Debug messages seen since the last reset; everything is still forwarded.
QStringList capturedDebug;
QtMessageHandler previousHandler = nullptr;

void captureHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg)
        capturedDebug << message;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

class tst_MonitorLog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void withoutLogLevelNothingIsWrittenAndTheFileIsReadAgain();
    void theLevelFilterDropsHigherLevels_data();
    void theLevelFilterDropsHigherLevels();
    void aLineIsStampedAndEndedByLf();
    void theFirstMessageCreatesTheFileAndLaterOnesAppend();
    void aCachedLevelSurvivesSettingsChanges();
    void aNegativeLevelIsCachedAsOff();
    void aLevelOfZeroIsReadAgainUntilLoggingStarts();
    void percentSignsSurviveFormatAndComposedText();
    void messagesInOneMillisecondKeepCallOrder();
    void anUnwritableLogFileStillReturnsTrue();

private:
    void setLogLevel(const QByteArray &text);
    QByteArray logContent() const;
    QString logPath() const { return m_dir->filePath(QStringLiteral("ferrow.log")); }

    QScopedPointer<QTemporaryDir> m_dir;
    QDateTime m_now;
};

void tst_MonitorLog::initTestCase()
{
    previousHandler = qInstallMessageHandler(captureHandler);
}

void tst_MonitorLog::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void tst_MonitorLog::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    ferrow::defaults().paths = ferrow::Paths(m_dir->path());
    m_now = QDateTime(QDate(2026, 12, 6), QTime(22, 31, 35, 42));
    ferrow::defaults().clock = [this] { return m_now; };
    MonitorConfig::resetLogLevelCacheForTests();
    capturedDebug.clear();
}

void tst_MonitorLog::cleanup()
{
    ferrow::defaults() = ferrow::Defaults();
    MonitorConfig::resetLogLevelCacheForTests();
    m_dir.reset();
}

void tst_MonitorLog::setLogLevel(const QByteArray &text)
{
    // Written as a configuring program would, with a distinct size each time
    // so that Qt's settings cache cannot take it for the previous file.
    static int generation = 0;
    const QString path = ferrow::paths().settingsFile;
    QFile file(path + QStringLiteral(".new"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[RivletMonitor]\nPAD=" + QByteArray(++generation % 50 + 1, 'x') + "\n");
    if (!text.isNull())
        file.write("LogLevel=" + text + "\n");
    file.close();
    QFile::remove(path);
    QVERIFY(QFile::rename(file.fileName(), path));
}

QByteArray tst_MonitorLog::logContent() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

void tst_MonitorLog::withoutLogLevelNothingIsWrittenAndTheFileIsReadAgain()
{
    setLogLevel(QByteArray());
    QCOMPARE(MonitorConfig::log(1, "%s", "one"), false);
    QVERIFY(!QFile::exists(logPath()));
    QVERIFY(capturedDebug.isEmpty());

    // A level of 0 is "not read yet": the next call reads the file again.
    setLogLevel("1");
    QCOMPARE(MonitorConfig::log(1, "%s", "two"), true);
    QCOMPARE(logContent(), QByteArray("[2026:12:06 22:31:35:042] two\n"));
}

void tst_MonitorLog::theLevelFilterDropsHigherLevels_data()
{
    QTest::addColumn<QByteArray>("setting");
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("written");
    QTest::newRow("level 1 at LogLevel 1") << QByteArray("1") << 1 << true;
    QTest::newRow("level 2 at LogLevel 1") << QByteArray("1") << 2 << false;
    QTest::newRow("level 1 at LogLevel 5") << QByteArray("5") << 1 << true;
    QTest::newRow("level 5 at LogLevel 5") << QByteArray("5") << 5 << true;
    QTest::newRow("level 6 at LogLevel 5") << QByteArray("5") << 6 << false;
    QTest::newRow("level 1 at LogLevel 0") << QByteArray("0") << 1 << false;
    QTest::newRow("level 1 at LogLevel -3") << QByteArray("-3") << 1 << false;
    QTest::newRow("level 1 at non-numeric LogLevel") << QByteArray("verbose") << 1 << false;
    QTest::newRow("level 1 at empty LogLevel") << QByteArray("") << 1 << false;
}

void tst_MonitorLog::theLevelFilterDropsHigherLevels()
{
    QFETCH(QByteArray, setting);
    QFETCH(int, level);
    QFETCH(bool, written);
    setLogLevel(setting);
    QCOMPARE(MonitorConfig::log(level, "message at %d", level), written);
    const QByteArray expected = written ? "[2026:12:06 22:31:35:042] message at " + QByteArray::number(level) + "\n"
                                        : QByteArray();
    QCOMPARE(logContent(), expected);
    QCOMPARE(capturedDebug.size(), written ? 1 : 0);
}

void tst_MonitorLog::aLineIsStampedAndEndedByLf()
{
    setLogLevel("1");
    m_now = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5, 6));
    QVERIFY(MonitorConfig::log(1, "流量统计启动"));
    m_now = QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 999));
    QVERIFY(MonitorConfig::log(1, "%s: %d", "审计", 24));
    const QByteArray expected = QString::fromUtf8("[2026:01:02 03:04:05:006] 流量统计启动\n"
                                                  "[2026:12:31 23:59:59:999] 审计: 24\n").toUtf8();
    QCOMPARE(logContent(), expected);
    // The same line, without its LF, went to the debug output.
    QCOMPARE(capturedDebug.size(), 2);
    QCOMPARE(capturedDebug.at(1), QString::fromUtf8("\"[2026:12:31 23:59:59:999] 审计: 24\""));
}

void tst_MonitorLog::theFirstMessageCreatesTheFileAndLaterOnesAppend()
{
    setLogLevel("1");
    QVERIFY(MonitorConfig::log(1, "first"));
    QCOMPARE(logContent(), QByteArray("[2026:12:06 22:31:35:042] first\n"));

    // Content written by someone else is never overwritten.
    {
        QFile file(logPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Append));
        file.write("kept\n");
    }
    QVERIFY(MonitorConfig::log(1, "second"));
    QCOMPARE(logContent(), QByteArray("[2026:12:06 22:31:35:042] first\nkept\n[2026:12:06 22:31:35:042] second\n"));
}

void tst_MonitorLog::aCachedLevelSurvivesSettingsChanges()
{
    setLogLevel("1");
    QVERIFY(MonitorConfig::log(1, "a"));
    setLogLevel("0");
    QVERIFY(MonitorConfig::log(1, "b")); // the cache holds 1 until the daemon restarts
    setLogLevel("5");
    QCOMPARE(MonitorConfig::log(2, "c"), false);
    QCOMPARE(logContent(), QByteArray("[2026:12:06 22:31:35:042] a\n[2026:12:06 22:31:35:042] b\n"));
}

void tst_MonitorLog::aNegativeLevelIsCachedAsOff()
{
    setLogLevel("-1");
    QCOMPARE(MonitorConfig::log(1, "a"), false);
    setLogLevel("1");
    QCOMPARE(MonitorConfig::log(1, "b"), false);
    QVERIFY(!QFile::exists(logPath()));
}

void tst_MonitorLog::aLevelOfZeroIsReadAgainUntilLoggingStarts()
{
    setLogLevel("0");
    QCOMPARE(MonitorConfig::log(1, "off"), false);
    setLogLevel("0");
    QCOMPARE(MonitorConfig::log(1, "still off"), false);
    setLogLevel("1");
    QCOMPARE(MonitorConfig::log(1, "on"), true);
    QCOMPARE(logContent(), QByteArray("[2026:12:06 22:31:35:042] on\n"));
    QCOMPARE(capturedDebug, QStringList{QStringLiteral("\"[2026:12:06 22:31:35:042] on\"")});
}

void tst_MonitorLog::percentSignsSurviveFormatAndComposedText()
{
    setLogLevel("1");
    const QByteArray composed = QString::fromUtf8("{\"desc\":\"使用 100%s 和 %d%%\"}").toUtf8();
    QVERIFY(MonitorConfig::log(1, "rate 50%%"));
    QVERIFY(MonitorConfig::log(1, "%s", composed.constData()));
    QCOMPARE(logContent(), "[2026:12:06 22:31:35:042] rate 50%\n[2026:12:06 22:31:35:042] " + composed + "\n");
}

void tst_MonitorLog::messagesInOneMillisecondKeepCallOrder()
{
    setLogLevel("1");
    for (int i = 0; i < 5; ++i)
        QVERIFY(MonitorConfig::log(1, "n=%d", i));
    const QList<QByteArray> lines = logContent().split('\n');
    QCOMPARE(lines.size(), 6);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(lines.at(i), "[2026:12:06 22:31:35:042] n=" + QByteArray::number(i));
    QCOMPARE(lines.at(5), QByteArray());
}

void tst_MonitorLog::anUnwritableLogFileStillReturnsTrue()
{
    setLogLevel("1");
    const QString path = m_dir->filePath(QStringLiteral("missing/ferrow.log"));
    ferrow::defaults().paths.logFile = path;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("device not open")));
    QCOMPARE(MonitorConfig::log(1, "lost"), true);
    QVERIFY(!QFile::exists(path));
    QVERIFY(!QFileInfo::exists(m_dir->filePath(QStringLiteral("missing"))));
    // The line still reached the debug output.
    QCOMPARE(capturedDebug, QStringList{QStringLiteral("\"[2026:12:06 22:31:35:042] lost\"")});
}

QTEST_GUILESS_MAIN(tst_MonitorLog)
#include "tst_monitorlog.moc"

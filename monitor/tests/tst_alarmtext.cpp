// The text pieces of an alarm report: escaping, elapsed time, description and
// the message layout around an application list in the process table's form.
#include "alarmtext.h"
#include "auditconfig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace sysmonitor::process;

namespace {

// One item of the application list as the process table's topAppsFragment
// writes it: every quotation mark as three backslashes and a quotation mark,
// the name copied as it is handed over.
QString fragmentItem(const QString &name, const QString &total, const QString &upload, const QString &download)
{
    const QString q = QStringLiteral("\\\\\\\"");
    return QLatin1Char('{') + q + "app" + q + ':' + q + name + q + ',' + q + "total" + q + ':' + q + total + q + ','
        + q + "upload" + q + ':' + q + upload + q + ',' + q + "download" + q + ':' + q + download + q + '}';
}

// Parses one level of the message: the text must be a JSON object.
QJsonObject parseObject(const QString &text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        qWarning("not a JSON object (%s): %s", qPrintable(error.errorString()), qPrintable(text));
    return document.object();
}

QJsonArray parseArray(const QString &text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isArray())
        qWarning("not a JSON array (%s): %s", qPrintable(error.errorString()), qPrintable(text));
    return document.array();
}

} // namespace

class TestAlarmText : public QObject
{
    Q_OBJECT

private slots:
    void jsonEscapeEscapesQuotesBackslashesAndControls_data();
    void jsonEscapeEscapesQuotesBackslashesAndControls();
    void directionWordByKind_data();
    void directionWordByKind();
    void elapsedTextIsHundredthsOfAnHourWithinThePeriod_data();
    void elapsedTextIsHundredthsOfAnHourWithinThePeriod();
    void descriptionJoinsItsPiecesWithoutSeparators();
    void messageOfPlainValuesIsTheFixedLayout();
    void emptyListLeavesTheBracketsTogether();
    void everyLevelParsesAndValuesArriveUnchanged_data();
    void everyLevelParsesAndValuesArriveUnchanged();
};

void TestAlarmText::jsonEscapeEscapesQuotesBackslashesAndControls_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("plain") << "firefox-esr" << "firefox-esr";
    QTest::newRow("quotation mark") << "a\"b" << "a\\\"b";
    QTest::newRow("backslash") << "a\\b" << "a\\\\b";
    QTest::newRow("line break and tab") << "a\nb\tc\r" << "a\\nb\\tc\\r";
    QTest::newRow("other control") << QString(QChar(0x01)) << "\\u0001";
    QTest::newRow("non-ASCII stays") << "浏览器/é" << "浏览器/é";
    QTest::newRow("empty") << "" << "";
}

void TestAlarmText::jsonEscapeEscapesQuotesBackslashesAndControls()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QCOMPARE(alarmtext::jsonEscape(text), escaped);
    // Whatever the text, it comes back unchanged from a JSON parser.
    const QJsonArray array = parseArray(QLatin1String("[\"") + alarmtext::jsonEscape(text) + QLatin1String("\"]"));
    QCOMPARE(array.at(0).toString(), text);
}

void TestAlarmText::directionWordByKind_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("word");
    QTest::newRow("total") << int(AuditConfig::TotalAudit) << "总";
    QTest::newRow("egress") << int(AuditConfig::EgressAudit) << "上行";
    QTest::newRow("ingress") << int(AuditConfig::IngressAudit) << "下行";
    QTest::newRow("combined bits") << int(AuditConfig::TotalAudit | AuditConfig::EgressAudit) << "";
    QTest::newRow("zero") << 0 << "";
}

void TestAlarmText::directionWordByKind()
{
    QFETCH(int, kind);
    QFETCH(QString, word);
    QCOMPARE(alarmtext::directionWord(kind), word);
}

void TestAlarmText::elapsedTextIsHundredthsOfAnHourWithinThePeriod_data()
{
    QTest::addColumn<qint64>("elapsedSeconds");
    QTest::addColumn<int>("periodHours");
    QTest::addColumn<QString>("text");
    QTest::newRow("0 s shows 0.01, not 0.00") << qint64(0) << 24 << "0.01";
    QTest::newRow("35 s truncates to 0.00, shows 0.01") << qint64(35) << 24 << "0.01";
    QTest::newRow("36 s is one hundredth") << qint64(36) << 24 << "0.01";
    QTest::newRow("72 s") << qint64(72) << 24 << "0.02";
    QTest::newRow("71 s truncates") << qint64(71) << 24 << "0.01";
    QTest::newRow("90 min") << qint64(5400) << 24 << "1.50";
    QTest::newRow("25 h into a 24 h period") << qint64(25 * 3600) << 24 << "1.00";
    QTest::newRow("exactly one period") << qint64(24 * 3600) << 24 << "0.01";
    QTest::newRow("just before the period end") << qint64(24 * 3600 - 1) << 24 << "23.99";
    QTest::newRow("one-hour period, 3.5 h") << qint64(12600) << 1 << "0.50";
    QTest::newRow("long period") << qint64(700 * 3600 + 1800) << 1000 << "700.50";
    QTest::newRow("period beyond 32-bit seconds") << qint64(600000) * 3600 << 700000 << "600000.00";
}

void TestAlarmText::elapsedTextIsHundredthsOfAnHourWithinThePeriod()
{
    QFETCH(qint64, elapsedSeconds);
    QFETCH(int, periodHours);
    QFETCH(QString, text);
    const qint64 periodStart = 1796000000;
    QCOMPARE(alarmtext::elapsedText(periodStart + elapsedSeconds, periodStart, periodHours), text);
}

void TestAlarmText::descriptionJoinsItsPiecesWithoutSeparators()
{
    QCOMPARE(alarmtext::description(AuditConfig::TotalAudit, QStringLiteral("1.50"), QStringLiteral("10.00GB")),
             QStringLiteral("总流量使用超标,1.50小时内使用10.00GB"));
    QCOMPARE(alarmtext::description(AuditConfig::EgressAudit, QStringLiteral("0.01"), QStringLiteral("3.00GB")),
             QStringLiteral("上行流量使用超标,0.01小时内使用3.00GB"));
    QCOMPARE(alarmtext::description(AuditConfig::IngressAudit, QStringLiteral("2.00"), QStringLiteral("1.00TB")),
             QStringLiteral("下行流量使用超标,2.00小时内使用1.00TB"));
}

void TestAlarmText::messageOfPlainValuesIsTheFixedLayout()
{
    const QString message = alarmtext::composeMessage(
        QStringLiteral("2026-12-06 22:31:35"), QStringLiteral("alice"), QStringLiteral("10.0.0.5"),
        QStringLiteral("总流量使用超标,1.50小时内使用10.00GB"), QStringLiteral("DETAIL"));
    QCOMPARE(message,
             QStringLiteral("{\"time\":\"2026-12-06 22:31:35\",\"hostname\":\"alice\",\"ip\":\"10.0.0.5\","
                            "\"name\":\"ferrow_alarm\",\"lv\":\"error\",\"message\":\"{\\\"exceptionDesc\\\":"
                            "\\\"总流量使用超标,1.50小时内使用10.00GB\\\",\\\"detail\\\":\\\"[DETAIL]\\\"}\"}"));
}

void TestAlarmText::emptyListLeavesTheBracketsTogether()
{
    const QString message = alarmtext::composeMessage(QStringLiteral("t"), QStringLiteral("u"),
                                                      QStringLiteral("i"), QStringLiteral("d"), QString());
    QVERIFY(message.endsWith(QStringLiteral("\\\"detail\\\":\\\"[]\\\"}\"}")));
    const QJsonObject inner = parseObject(parseObject(message).value(QLatin1String("message")).toString());
    QCOMPARE(parseArray(inner.value(QLatin1String("detail")).toString()).size(), 0);
}

void TestAlarmText::everyLevelParsesAndValuesArriveUnchanged_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("desc");
    QTest::addColumn<QString>("app");
    QTest::newRow("plain") << "alice" << "总流量使用超标,1.50小时内使用10.00GB" << "firefox-esr";
    QTest::newRow("quotation marks") << "al\"ice" << "say \"hi\"" << "app\"name";
    QTest::newRow("backslashes") << "do\\main" << "a\\b" << "C:\\app\\";
    QTest::newRow("control characters") << "a\nb" << "tab\there" << QString("x") + QChar(0x07) + "y";
    QTest::newRow("brackets and braces") << "[u]" << "{d}" << "]},{\"app\":\"evil";
    QTest::newRow("non-ASCII") << "用户" << "下行流量使用超标" << "浏览器";
}

void TestAlarmText::everyLevelParsesAndValuesArriveUnchanged()
{
    QFETCH(QString, user);
    QFETCH(QString, desc);
    QFETCH(QString, app);
    // Names reach the list escaped three times, as the controller hands them
    // to the process table's builder.
    const QString detail = fragmentItem(alarmtext::jsonEscape(app, 3), QStringLiteral("12B"), QStringLiteral("7B"),
                                        QStringLiteral("5B"))
        + QLatin1Char(',') + fragmentItem(QStringLiteral("second"), QStringLiteral("2B"), QStringLiteral("1B"),
                                          QStringLiteral("1B"));
    const QString message = alarmtext::composeMessage(QStringLiteral("2026-12-06 22:31:35"), user,
                                                      QStringLiteral("10.0.0.5"), desc, detail);

    const QJsonObject outer = parseObject(message);
    QCOMPARE(outer.value(QLatin1String("hostname")).toString(), user);
    QCOMPARE(outer.value(QLatin1String("name")).toString(), QStringLiteral("ferrow_alarm"));
    QCOMPARE(outer.value(QLatin1String("lv")).toString(), QStringLiteral("error"));
    const QJsonObject inner = parseObject(outer.value(QLatin1String("message")).toString());
    QCOMPARE(inner.value(QLatin1String("exceptionDesc")).toString(), desc);
    const QJsonArray items = parseArray(inner.value(QLatin1String("detail")).toString());
    QCOMPARE(items.size(), 2);
    QCOMPARE(items.at(0).toObject().value(QLatin1String("app")).toString(), app);
    QCOMPARE(items.at(0).toObject().value(QLatin1String("total")).toString(), QStringLiteral("12B"));
    QCOMPARE(items.at(1).toObject().value(QLatin1String("app")).toString(), QStringLiteral("second"));
}

QTEST_GUILESS_MAIN(TestAlarmText)
#include "tst_alarmtext.moc"

// Builds alarm reports for audit tables of growing size: the top-ten list
// (copy, sort, escape), the message, and the parse and compact
// re-serialisation done before delivery. Prints microseconds per report.
#include "alarmtext.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTextStream>

using namespace sysmonitor::process;

namespace {

QString sizeText(quint64 bytes)
{
    // The same shape as the process table's text: two decimals and a unit.
    static const char *const units[] = {"B", "KB", "MB", "GB", "TB"};
    double x = double(bytes);
    int level = 0;
    while (x >= 1024 && level < 4) {
        x /= 1024;
        ++level;
    }
    return QString::number(x, 'f', 2) + QLatin1String(units[level]);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    out << "applications  reports  us/report(list+message)  us/report(+parse+compact)  bytes/report\n";
    for (const int apps : {10, 100, 1000, 10000}) {
        QVector<alarmtext::AppPeriodUse> uses;
        for (int i = 0; i < apps; ++i)
            uses.append({QStringLiteral("package-\"%1\"").arg(i), quint64(i) * 7919 % 1000003 * 1024,
                         quint64(i) * 104729 % 999983 * 512});
        const int reports = apps >= 10000 ? 50 : 500;

        QElapsedTimer timer;
        timer.start();
        qsizetype length = 0;
        for (int r = 0; r < reports; ++r) {
            static const int kinds[] = {1, 2, 4};
            const QString detail = alarmtext::detailList(uses, kinds[r % 3], sizeText);
            const QString message = alarmtext::composeMessage(
                QStringLiteral("2026-12-06 22:31:35"), QStringLiteral("alice"), QStringLiteral("10.0.0.5"),
                alarmtext::description(1, QStringLiteral("1.50"), sizeText(10737418241ULL)), detail);
            length += message.size();
        }
        const double buildUs = timer.nsecsElapsed() / 1000.0 / reports;

        timer.restart();
        for (int r = 0; r < reports; ++r) {
            const QString detail = alarmtext::detailList(uses, 1, sizeText);
            const QString message = alarmtext::composeMessage(
                QStringLiteral("2026-12-06 22:31:35"), QStringLiteral("alice"), QStringLiteral("10.0.0.5"),
                alarmtext::description(1, QStringLiteral("1.50"), sizeText(10737418241ULL)), detail);
            const QByteArray compact = QJsonDocument::fromJson(message.toUtf8()).toJson(QJsonDocument::Compact);
            length += compact.size();
        }
        const double fullUs = timer.nsecsElapsed() / 1000.0 / reports;

        out << qSetFieldWidth(12) << apps << qSetFieldWidth(9) << reports << qSetFieldWidth(26)
            << QString::number(buildUs, 'f', 1) << qSetFieldWidth(28) << QString::number(fullUs, 'f', 1)
            << qSetFieldWidth(14) << length / (2 * reports) << qSetFieldWidth(0) << "\n";
    }
    return 0;
}

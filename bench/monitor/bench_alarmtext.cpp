// Builds alarm reports for audit tables of growing size: the top-ten list of
// the process table (names escaped for the list where needed, copy, sort,
// text), the message, and the parse and compact re-serialisation done before
// delivery. Prints microseconds per report, for plain names and for names
// that need escaping.
#include "alarmtext.h"
#include "defaults.h"
#include "processmonitor.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTextStream>

using namespace sysmonitor::process;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    // Keep the process table away from the daemon's files and collector.
    ferrow::defaults().paths = ferrow::Paths(dir.path());
    ferrow::Paths &paths = ferrow::defaults().paths;
    paths.collectorSocket = dir.filePath(QStringLiteral("c.sock"));
    paths.collectorInterpreter = dir.filePath(QStringLiteral("no-interpreter"));
    ProcessList table;
    table.stopNetworkMonitor();

    QTextStream out(stdout);
    out << "applications  names    reports  us/report(list+message)  us/report(+parse+compact)  bytes/report\n";
    for (const int apps : {10, 100, 1000, 10000}) {
        for (const bool quoted : {false, true}) {
            table.auditTraffic.clear();
            for (int i = 0; i < apps; ++i) {
                AppTraffic traffic;
                traffic.recv = quint64(i) * 7919 % 1000003 * 1024;
                traffic.sent = quint64(i) * 104729 % 999983 * 512;
                table.auditTraffic.insert(
                    (quoted ? QStringLiteral("package-\"%1\"") : QStringLiteral("package-%1")).arg(i), traffic);
            }
            const int reports = apps >= 10000 ? 50 : 500;
            const QString desc = alarmtext::description(AuditConfig::TotalAudit, QStringLiteral("1.50"),
                                                        ProcessList::formatSize(10737418241ULL, 4));

            QElapsedTimer timer;
            timer.start();
            qsizetype length = 0;
            for (int r = 0; r < reports; ++r) {
                static const int kinds[] = {AuditConfig::TotalAudit, AuditConfig::EgressAudit,
                                            AuditConfig::IngressAudit};
                const QString message = alarmtext::composeMessage(
                    QStringLiteral("2026-12-06 22:31:35"), QStringLiteral("alice"), QStringLiteral("10.0.0.5"),
                    desc, table.topAppsFragment(kinds[r % 3]));
                length += message.size();
            }
            const double buildUs = timer.nsecsElapsed() / 1000.0 / reports;

            timer.restart();
            for (int r = 0; r < reports; ++r) {
                const QString message = alarmtext::composeMessage(
                    QStringLiteral("2026-12-06 22:31:35"), QStringLiteral("alice"), QStringLiteral("10.0.0.5"),
                    desc, table.topAppsFragment(AuditConfig::TotalAudit));
                const QByteArray compact
                    = QJsonDocument::fromJson(message.toUtf8()).toJson(QJsonDocument::Compact);
                length += compact.size();
            }
            const double fullUs = timer.nsecsElapsed() / 1000.0 / reports;

            out << qSetFieldWidth(12) << apps << qSetFieldWidth(7) << (quoted ? "quoted" : "plain")
                << qSetFieldWidth(9) << reports << qSetFieldWidth(26) << QString::number(buildUs, 'f', 1)
                << qSetFieldWidth(28) << QString::number(fullUs, 'f', 1) << qSetFieldWidth(14)
                << length / (2 * reports) << qSetFieldWidth(0) << "\n";
        }
    }
    return 0;
}

// metrics: the figures in the Prometheus text exposition format (0.0.4).
#include "commands.h"

#include "defaults.h"
#include "state.h"
#include "trafficdb.h"
#include "trafficread.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>

#include <algorithm>
#include <vector>

namespace ferrowctl {

namespace {

// Packages beyond this many, by total traffic, are summed as "other".
constexpr int kLabelledPackages = 20;

struct Sample {
    QVector<QPair<QString, QString>> labels;
    double value = 0;
};

struct Family {
    QString name;
    QString type;
    QString help;
    QVector<Sample> samples;
};

QString escapeLabel(const QString &value)
{
    QString out;
    for (const QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\\\");
        else if (c == QLatin1Char('"'))
            out += QStringLiteral("\\\"");
        else if (c == QLatin1Char('\n'))
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out;
}

QString formatValue(double value)
{
    // Integral values (every byte count) without an exponent.
    if (value == double(qint64(value)))
        return QString::number(qint64(value));
    return QString::number(value, 'g', 17);
}

QByteArray exposition(const QVector<Family> &families)
{
    QString text;
    for (const Family &f : families) {
        text += QStringLiteral("# HELP %1 %2\n# TYPE %1 %3\n").arg(f.name, f.help, f.type);
        for (const Sample &s : f.samples) {
            text += f.name;
            if (!s.labels.isEmpty()) {
                QStringList pairs;
                for (const auto &l : s.labels)
                    pairs << QStringLiteral("%1=\"%2\"").arg(l.first, escapeLabel(l.second));
                text += QLatin1Char('{') + pairs.join(QLatin1Char(',')) + QLatin1Char('}');
            }
            text += QLatin1Char(' ') + formatValue(s.value) + QLatin1Char('\n');
        }
    }
    return text.toUtf8();
}

QByteArray jsonExposition(const QVector<Family> &families)
{
    QJsonArray array;
    for (const Family &f : families) {
        QJsonArray samples;
        for (const Sample &s : f.samples) {
            QJsonObject labels;
            for (const auto &l : s.labels)
                labels.insert(l.first, l.second);
            QJsonObject sample;
            sample.insert(QStringLiteral("labels"), labels);
            sample.insert(QStringLiteral("value"), s.value == double(qint64(s.value)) ? QJsonValue(qint64(s.value)) : QJsonValue(s.value));
            samples.append(sample);
        }
        QJsonObject o;
        o.insert(QStringLiteral("name"), f.name);
        o.insert(QStringLiteral("type"), f.type);
        o.insert(QStringLiteral("help"), f.help);
        o.insert(QStringLiteral("samples"), samples);
        array.append(o);
    }
    QJsonObject root;
    root.insert(QStringLiteral("format_version"), 1);
    root.insert(QStringLiteral("metrics"), array);
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

Family gauge(const QString &name, const QString &help, double value)
{
    return Family{name, QStringLiteral("gauge"), help, {Sample{{}, value}}};
}

// Per package, with "-" as "unattributed" and everything beyond the first
// kLabelledPackages by total summed as "other".
void addPackageFamilies(const QVector<LiveEntry> &apps, QVector<Family> &families)
{
    QMap<QString, LiveEntry> byLabel;
    for (const LiveEntry &e : apps) {
        const QString label = (e.name.isEmpty() || e.name == QLatin1String("-")) ? QStringLiteral("unattributed") : e.name;
        LiveEntry &sum = byLabel[label];
        sum.name = label;
        sum.recv += e.recv;
        sum.sent += e.sent;
        sum.total += e.recv + e.sent;
    }
    std::vector<LiveEntry> ranked(byLabel.begin(), byLabel.end());
    std::stable_sort(ranked.begin(), ranked.end(), [](const LiveEntry &a, const LiveEntry &b) {
        return a.total != b.total ? a.total > b.total : a.name < b.name;
    });
    if (int(ranked.size()) > kLabelledPackages) {
        LiveEntry other;
        other.name = QStringLiteral("other");
        for (size_t i = kLabelledPackages; i < ranked.size(); ++i) {
            other.recv += ranked[i].recv;
            other.sent += ranked[i].sent;
        }
        ranked.resize(kLabelledPackages);
        ranked.push_back(other);
    }
    Family recv{QStringLiteral("ferrow_package_received_bytes_total"), QStringLiteral("counter"),
                QStringLiteral("Bytes received per package since the daemon started counting."), {}};
    Family sent{QStringLiteral("ferrow_package_transmitted_bytes_total"), QStringLiteral("counter"),
                QStringLiteral("Bytes transmitted per package since the daemon started counting."), {}};
    for (const LiveEntry &e : ranked) {
        recv.samples.append(Sample{{{QStringLiteral("package"), e.name}}, double(e.recv)});
        sent.samples.append(Sample{{{QStringLiteral("package"), e.name}}, double(e.sent)});
    }
    families << recv << sent;
}

} // namespace

int cmdMetrics(const Args &args, Io &io)
{
    if (!args.positional.isEmpty())
        return usageError(io, args.command, QStringLiteral("unexpected argument %1").arg(args.positional.first()));
    const QString dir = args.opt.value(QStringLiteral("textfile"));
    if (args.has(QStringLiteral("textfile")) && (dir.isEmpty() || !QFileInfo(dir).isDir()))
        return fail(io, ExitFailure, QStringLiteral("the textfile directory %1 does not exist").arg(dir));
    if (args.has(QStringLiteral("textfile")) && args.json)
        return usageError(io, args.command, QStringLiteral("--textfile writes the text format; leave out --json"));

    const time_t now = time_t(ferrow::currentDateTime().toSecsSinceEpoch());
    SettingsView settings;
    QString reason;
    if (!readSettings(&settings, &reason))
        return fail(io, ExitSettings, reason);
    sqlite3 *db = nullptr;
    QString detail;
    const int openStatus = openTrafficReader(&db, &detail);
    auto databaseError = [&](int status) { return databaseFailure(io, status, detail); };
    if (openStatus != TrafficReadOk)
        return databaseError(openStatus);

    const DaemonInfo daemon = probeDaemon();
    AuditState state;
    int status = evaluateAudits(settings, daemon, db, now, &state);
    int64_t hourRecv = 0;
    int64_t hourSent = 0;
    if (status == TrafficReadOk) {
        std::vector<HourRow> rows;
        const QString hour = QString::fromLatin1(hourKeyAt(now, 0));
        status = readHourRows(db, hour, hour, &rows);
        for (const HourRow &r : rows) {
            hourRecv += r.recv;
            hourSent += r.sent;
        }
    }
    sqlite3_close(db);
    if (status != TrafficReadOk)
        return databaseError(status);

    QVector<LiveEntry> apps;
    bool live = daemon.running && settings.counting;
    if (live && !readLiveDocument(ferrow::paths().appInfoFile, "pkg", &apps, &reason))
        return fail(io, ExitFailure, reason);

    QVector<Family> families;
    families << Family{QStringLiteral("ferrow_build_info"), QStringLiteral("gauge"),
                       QStringLiteral("Version of ferrowctl that wrote these figures."),
                       {Sample{{{QStringLiteral("version"), QString::fromLatin1(version())}}, 1}}};
    families << gauge(QStringLiteral("ferrow_daemon_running"), QStringLiteral("1 while the daemon runs."), daemon.running ? 1 : 0);
    families << gauge(QStringLiteral("ferrow_counting_enabled"), QStringLiteral("1 while traffic counting is switched on."),
                      settings.counting ? 1 : 0);
    if (live)
        addPackageFamilies(apps, families);

    Family enabled{QStringLiteral("ferrow_audit_in_force"), QStringLiteral("gauge"),
                   QStringLiteral("1 while the direction's audit is in force."), {}};
    Family threshold{QStringLiteral("ferrow_audit_threshold_bytes"), QStringLiteral("gauge"),
                     QStringLiteral("Audit threshold per period, 0 when none is set."), {}};
    Family period{QStringLiteral("ferrow_audit_period_bytes"), QStringLiteral("gauge"),
                  QStringLiteral("Traffic of the current audit period, from its first hour on."), {}};
    Family alarm{QStringLiteral("ferrow_audit_alarm"), QStringLiteral("gauge"),
                 QStringLiteral("1 when the period's traffic is above the threshold."), {}};
    for (const AuditView &a : state.audits) {
        const QVector<QPair<QString, QString>> labels{{QStringLiteral("direction"), QLatin1String(directionName(a.direction))}};
        enabled.samples.append(Sample{labels, a.inForce ? 1.0 : 0.0});
        threshold.samples.append(Sample{labels, double(a.thresholdBytes)});
        period.samples.append(Sample{labels, double(a.periodBytes)});
        alarm.samples.append(Sample{labels, a.alarm ? 1.0 : 0.0});
    }
    families << enabled << threshold << period << alarm;
    families << gauge(QStringLiteral("ferrow_audit_period_seconds"), QStringLiteral("Length of the audit period."),
                      double(int64_t(settings.periodHours) * 3600));
    families << gauge(QStringLiteral("ferrow_current_hour_received_bytes"),
                      QStringLiteral("Bytes received in the current local hour, as last stored."), double(hourRecv));
    families << gauge(QStringLiteral("ferrow_current_hour_transmitted_bytes"),
                      QStringLiteral("Bytes transmitted in the current local hour, as last stored."), double(hourSent));

    if (args.json) {
        io.out += jsonExposition(families);
    } else if (!args.has(QStringLiteral("textfile"))) {
        io.out += exposition(families);
    } else {
        // Written beside the target and renamed over it: the collector never reads a part.
        const QString path = QDir(dir).filePath(QStringLiteral("ferrow.prom"));
        QSaveFile file(path);
        const QByteArray text = exposition(families);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
            return fail(io, ExitFailure, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
    }
    if (!daemon.running)
        return fail(io, ExitDaemonNotRunning, QStringLiteral("the daemon is not running: package counters left out"));
    return ExitOk;
}

} // namespace ferrowctl

// The reading commands and the setters.
#include "commands.h"

#include "defaults.h"
#include "monitorconfig.h"
#include "state.h"
#include "trafficdb.h"
#include "trafficread.h"
#include "view.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cJSON.h>

#include <unistd.h>

#include <algorithm>
#include <climits>

namespace ferrowctl {

namespace {

constexpr int kFormatVersion = 1;

time_t nowSeconds()
{
    return time_t(ferrow::currentDateTime().toSecsSinceEpoch());
}

void printJson(Io &io, QJsonObject object)
{
    object.insert(QStringLiteral("format_version"), kFormatVersion);
    io.out += QJsonDocument(object).toJson(QJsonDocument::Indented);
}

QJsonValue bytesValue(int64_t bytes)
{
    return QJsonValue(qint64(bytes));
}

} // namespace

int databaseFailure(Io &io, int status, const QString &detail)
{
    const QString path = ferrow::paths().databaseFile;
    switch (status) {
    case TrafficReadMissing:
        return fail(io, ExitNoDatabase, QStringLiteral("the database %1 does not exist").arg(path));
    case TrafficReadLocked:
        return fail(io, ExitDatabaseLocked,
                    QStringLiteral("the database %1 is locked by another process; try again").arg(path));
    case TrafficReadDamaged:
        return fail(io, ExitDatabaseDamaged, QStringLiteral("the database %1 is damaged or not a database").arg(path));
    case TrafficReadForeign:
        return fail(io, ExitDatabaseDamaged,
                    QStringLiteral("the database %1 is not a traffic database (its tables are missing)").arg(path));
    default:
        return fail(io, ExitFailure, QStringLiteral("cannot read the database %1%2")
                                         .arg(path, detail.isEmpty() ? QString() : QStringLiteral(": ") + detail));
    }
}

namespace {

// The read-only connection of a command, closed when it goes.
class Reader
{
public:
    Reader() = default;
    ~Reader() { sqlite3_close(m_db); }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;

    // Opens the database; on failure writes the line and returns the exit code.
    int open(Io &io)
    {
        QString detail;
        const int status = openTrafficReader(&m_db, &detail);
        return status == TrafficReadOk ? ExitOk : databaseFailure(io, status, detail);
    }
    sqlite3 *db() const { return m_db; }
    void close()
    {
        sqlite3_close(m_db);
        m_db = nullptr;
    }

private:
    sqlite3 *m_db = nullptr;
};

// A positive whole number no larger than max; false when text is anything else.
bool parseCount(const QString &text, int max, int *value)
{
    bool ok = false;
    const qlonglong n = text.toLongLong(&ok, 10);
    if (!ok || n < 1 || n > max || text.startsWith(QLatin1Char('+')))
        return false;
    *value = int(n);
    return true;
}

int optionCount(const Args &args, Io &io, const QString &name, int fallback, int max, int *value)
{
    *value = fallback;
    if (!args.has(name))
        return ExitOk;
    if (!parseCount(args.opt.value(name), max, value))
        return usageError(io, args.command,
                          QStringLiteral("bad value for %1: %2 (a whole number from 1 to %3)")
                              .arg(name.size() == 1 ? QStringLiteral("-") + name : QStringLiteral("--") + name,
                                   args.opt.value(name))
                              .arg(max));
    return ExitOk;
}

int noPositionals(const Args &args, Io &io)
{
    if (!args.positional.isEmpty())
        return usageError(io, args.command, QStringLiteral("unexpected argument %1").arg(args.positional.first()));
    return ExitOk;
}

QString localDate(time_t now, int daysBack)
{
    return QDateTime::fromSecsSinceEpoch(now).date().addDays(-daysBack).toString(Qt::ISODate);
}

QString percentOf(int64_t part, int64_t whole)
{
    if (whole <= 0)
        return QString();
    return QStringLiteral("%1%").arg(double(part) * 100.0 / double(whole), 0, 'f', 0);
}

// --- live applications ----------------------------------------------------

int appOrder(const QString &sort, AppOrder *order)
{
    if (sort.isEmpty() || sort == QLatin1String("total"))
        *order = OrderByTotal;
    else if (sort == QLatin1String("sent"))
        *order = OrderBySent;
    else if (sort == QLatin1String("received"))
        *order = OrderByReceived;
    else
        return ExitUsage;
    return ExitOk;
}

void sortLive(QVector<LiveEntry> &apps, AppOrder order)
{
    auto key = [order](const LiveEntry &e) {
        return order == OrderBySent ? e.sent : order == OrderByReceived ? e.recv : e.total;
    };
    std::stable_sort(apps.begin(), apps.end(), [&](const LiveEntry &a, const LiveEntry &b) {
        if (key(a) != key(b))
            return key(a) > key(b);
        return a.name < b.name;
    });
}

QString displayName(const QString &package)
{
    if (package == QLatin1String("-") || package.isEmpty())
        return QStringLiteral("- (unattributed)");
    return package;
}

QString liveAppTable(const QVector<LiveEntry> &apps, int limit, bool colour)
{
    Table table({QStringLiteral("PACKAGE"), QStringLiteral(">RECEIVED"), QStringLiteral(">SENT"),
                 QStringLiteral(">TOTAL"), QStringLiteral(">DOWN/S"), QStringLiteral(">UP/S")});
    for (int i = 0; i < apps.size() && i < limit; ++i) {
        const LiveEntry &e = apps[i];
        table.addRow({displayName(e.name), iecSize(e.recv), iecSize(e.sent), iecSize(e.total),
                      iecRate(e.recvSpeed * 1024), iecRate(e.sentSpeed * 1024)});
    }
    if (table.rowCount() == 0)
        return QStringLiteral("  (no traffic counted yet)\n");
    return table.render(colour, 2);
}

QJsonArray liveJson(const QVector<LiveEntry> &entries, int limit, const char *nameKey)
{
    QJsonArray array;
    for (int i = 0; i < entries.size() && i < limit; ++i) {
        const LiveEntry &e = entries[i];
        QJsonObject o;
        o.insert(QLatin1String(nameKey), e.name);
        o.insert(QStringLiteral("received_bytes"), bytesValue(e.recv));
        o.insert(QStringLiteral("sent_bytes"), bytesValue(e.sent));
        o.insert(QStringLiteral("total_bytes"), bytesValue(e.total));
        o.insert(QStringLiteral("received_kib_per_second"), e.recvSpeed);
        o.insert(QStringLiteral("sent_kib_per_second"), e.sentSpeed);
        array.append(o);
    }
    return array;
}

QJsonArray appTotalsJson(const std::vector<AppTotal> &apps)
{
    QJsonArray array;
    for (const AppTotal &a : apps) {
        QJsonObject o;
        o.insert(QStringLiteral("package"), a.package);
        o.insert(QStringLiteral("received_bytes"), bytesValue(a.recv));
        o.insert(QStringLiteral("sent_bytes"), bytesValue(a.sent));
        o.insert(QStringLiteral("total_bytes"), bytesValue(a.total));
        array.append(o);
    }
    return array;
}

QJsonObject auditJson(const AuditView &a)
{
    QJsonObject o;
    o.insert(QStringLiteral("direction"), QLatin1String(directionName(a.direction)));
    o.insert(QStringLiteral("enabled"), a.enabled);
    o.insert(QStringLiteral("in_force"), a.inForce);
    o.insert(QStringLiteral("threshold_bytes"), bytesValue(a.thresholdBytes));
    if (a.inForce) {
        o.insert(QStringLiteral("period_bytes"), bytesValue(a.periodBytes));
        o.insert(QStringLiteral("alarm"), a.alarm);
    } else {
        o.insert(QStringLiteral("period_bytes"), QJsonValue::Null);
        o.insert(QStringLiteral("alarm"), QJsonValue::Null);
    }
    return o;
}

QJsonObject auditsJson(const AuditState &state)
{
    QJsonObject o;
    o.insert(QStringLiteral("counting"), state.settings.counting != 0);
    o.insert(QStringLiteral("period_hours"), state.settings.periodHours);
    o.insert(QStringLiteral("period_start"),
             state.periodStart ? QJsonValue(isoTime(state.periodStart)) : QJsonValue(QJsonValue::Null));
    QJsonArray audits;
    for (const AuditView &a : state.audits)
        audits.append(auditJson(a));
    o.insert(QStringLiteral("audits"), audits);
    return o;
}

// One line per audit for the human output.
QString auditLines(const AuditState &state, bool colour, int labelWidth)
{
    QString text;
    for (const AuditView &a : state.audits) {
        QString line = (QLatin1String(directionName(a.direction)) + QStringLiteral(" audit")).leftJustified(labelWidth);
        if (!a.enabled) {
            line += state.settings.status[a.direction] ? QStringLiteral("on but without a size or period, not in force")
                                                       : QStringLiteral("off");
        } else {
            line += QStringLiteral("%1 per %2 h").arg(iecSize(a.thresholdBytes)).arg(state.settings.periodHours);
            if (!a.inForce) {
                line += state.settings.counting == 0 ? QStringLiteral(", not in force: counting is off")
                                                     : QStringLiteral(", not in force: the daemon is not running");
            } else {
                line += QStringLiteral(": %1 so far (%2)").arg(iecSize(a.periodBytes), percentOf(a.periodBytes, a.thresholdBytes));
                if (a.alarm)
                    line += QLatin1String("  ") + paint(QStringLiteral("ABOVE THRESHOLD"), Red, colour);
            }
        }
        text += line + QLatin1Char('\n');
    }
    return text;
}

// Settings, daemon and audits; on failure the exit code with its line written.
int gatherAudits(Io &io, sqlite3 *db, time_t now, AuditState *state)
{
    SettingsView settings;
    QString reason;
    if (!readSettings(&settings, &reason))
        return fail(io, ExitSettings, reason);
    const int status = evaluateAudits(settings, probeDaemon(), db, now, state);
    return status == TrafficReadOk ? ExitOk : databaseFailure(io, status);
}

bool isRoot()
{
    return geteuid() == 0;
}

// Setters: root, an existing settings file and the write read back.
int setterPreconditions(Io &io)
{
    if (!isRoot())
        return fail(io, ExitNotRoot, QStringLiteral("changing settings needs root (try sudo)"));
    SettingsView settings;
    QString reason;
    if (!readSettings(&settings, &reason))
        return fail(io, ExitSettings, reason);
    return ExitOk;
}

void noteDaemon(Io &io)
{
    if (!probeDaemon().running)
        io.err += "ferrowctl: note: the daemon is not running; the change applies when it starts\n";
}

int writeFailed(Io &io)
{
    return fail(io, ExitFailure, QStringLiteral("the settings file %1 could not be written").arg(ferrow::paths().settingsFile));
}

} // namespace

// --- status -----------------------------------------------------------------

int cmdStatus(const Args &args, Io &io)
{
    if (int rc = noPositionals(args, io))
        return rc;
    const time_t now = nowSeconds();
    Reader reader;
    if (int rc = reader.open(io))
        return rc;
    AuditState state;
    if (int rc = gatherAudits(io, reader.db(), now, &state))
        return rc;
    QString newest;
    if (int status = readNewestHour(reader.db(), &newest))
        return databaseFailure(io, status);
    const int64_t size = QFileInfo(ferrow::paths().databaseFile).size();

    QVector<LiveEntry> apps;
    QString liveReason;
    bool liveOk = false;
    if (state.daemon.running) {
        liveOk = readLiveDocument(ferrow::paths().appInfoFile, "pkg", &apps, &liveReason);
        // With counting off the daemon writes no document: none is no traffic.
        if (!liveOk && state.settings.counting == 0) {
            liveOk = true;
            apps.clear();
        }
    }
    sortLive(apps, OrderByTotal);

    if (args.json) {
        QJsonObject o = auditsJson(state);
        QJsonObject daemon;
        daemon.insert(QStringLiteral("running"), state.daemon.running);
        daemon.insert(QStringLiteral("pid"), state.daemon.running ? QJsonValue(state.daemon.pid) : QJsonValue(QJsonValue::Null));
        daemon.insert(QStringLiteral("started"), state.daemon.started ? QJsonValue(isoTime(state.daemon.started))
                                                                      : QJsonValue(QJsonValue::Null));
        o.insert(QStringLiteral("daemon"), daemon);
        QJsonObject database;
        database.insert(QStringLiteral("path"), ferrow::paths().databaseFile);
        database.insert(QStringLiteral("size_bytes"), bytesValue(size));
        database.insert(QStringLiteral("newest_hour"), newest.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(isoHour(newest)));
        o.insert(QStringLiteral("database"), database);
        o.insert(QStringLiteral("top_applications"), liveOk ? QJsonValue(liveJson(apps, 10, "package")) : QJsonValue(QJsonValue::Null));
        printJson(io, o);
    } else {
        const int w = 16;
        QString text;
        const QString daemonText = state.daemon.running
            ? paint(QStringLiteral("running"), Green, io.colour)
                  + QStringLiteral(" (pid %1%2)").arg(state.daemon.pid).arg(
                      state.daemon.started ? QStringLiteral(", started ") + shortTime(state.daemon.started) : QString())
            : paint(QStringLiteral("not running"), Red, io.colour);
        text += QStringLiteral("ferrow-monitor").leftJustified(w) + daemonText + QLatin1Char('\n');
        text += QStringLiteral("counting").leftJustified(w)
                + (state.settings.counting ? QStringLiteral("on") : paint(QStringLiteral("off"), Yellow, io.colour))
                + QLatin1Char('\n');
        if (state.periodStart)
            text += QStringLiteral("audit period").leftJustified(w)
                    + QStringLiteral("%1 h, this one since %2\n").arg(state.settings.periodHours).arg(shortTime(state.periodStart));
        text += auditLines(state, io.colour, w);
        text += QStringLiteral("database").leftJustified(w)
                + QStringLiteral("%1, %2, newest hour %3\n")
                      .arg(ferrow::paths().databaseFile, iecSize(size), newest.isEmpty() ? QStringLiteral("none") : newest);
        text += QLatin1Char('\n');
        if (!state.daemon.running) {
            text += QStringLiteral("No live figures: the daemon is not running.\n");
        } else if (!liveOk) {
            text += QStringLiteral("No live figures: %1.\n").arg(liveReason);
        } else {
            text += paint(QStringLiteral("Top applications since the daemon started counting"), Bold, io.colour)
                    + QLatin1Char('\n') + liveAppTable(apps, 10, io.colour);
        }
        io.out += text.toUtf8();
    }
    if (!state.daemon.running)
        return fail(io, ExitDaemonNotRunning, QStringLiteral("the daemon is not running"));
    if (!liveOk)
        return fail(io, ExitFailure, liveReason);
    return ExitOk;
}

// --- top ------------------------------------------------------------------------

int cmdTop(const Args &args, Io &io)
{
    if (int rc = noPositionals(args, io))
        return rc;
    if (args.has(QStringLiteral("today")) && args.has(QStringLiteral("days")))
        return usageError(io, args.command, QStringLiteral("--today and --days exclude each other"));
    AppOrder order = OrderByTotal;
    if (appOrder(args.opt.value(QStringLiteral("sort")), &order) != ExitOk)
        return usageError(io, args.command,
                          QStringLiteral("bad value for --sort: %1 (total, sent or received)").arg(args.opt.value(QStringLiteral("sort"))));
    int limit = 10;
    int days = 0;
    if (int rc = optionCount(args, io, QStringLiteral("n"), 10, 100000, &limit))
        return rc;
    if (int rc = optionCount(args, io, QStringLiteral("days"), 0, 3660, &days))
        return rc;
    static const char *const sortNames[] = {"total", "sent", "received"};
    const QString sortName = QLatin1String(sortNames[order]);

    if (days == 0) {
        if (!probeDaemon().running)
            return fail(io, ExitDaemonNotRunning, QStringLiteral("the daemon is not running: no live figures (try --days N)"));
        QVector<LiveEntry> apps;
        QString reason;
        if (!readLiveDocument(ferrow::paths().appInfoFile, "pkg", &apps, &reason))
            return fail(io, ExitFailure, reason);
        sortLive(apps, order);
        if (args.json) {
            QJsonObject o;
            o.insert(QStringLiteral("source"), QStringLiteral("app_info"));
            o.insert(QStringLiteral("sort"), sortName);
            o.insert(QStringLiteral("applications"), liveJson(apps, limit, "package"));
            printJson(io, o);
        } else {
            io.out += (paint(QStringLiteral("Top applications since the daemon started counting (live)"), Bold, io.colour)
                       + QLatin1Char('\n') + liveAppTable(apps, limit, io.colour))
                          .toUtf8();
        }
        return ExitOk;
    }

    const time_t now = nowSeconds();
    const QDate todayUtc = QDateTime::fromSecsSinceEpoch(now, Qt::UTC).date();
    const QString first = todayUtc.addDays(-days).toString(Qt::ISODate);
    const QString last = todayUtc.addDays(-1).toString(Qt::ISODate);
    Reader reader;
    if (int rc = reader.open(io))
        return rc;
    std::vector<AppTotal> apps;
    if (int status = readAppTotals(reader.db(), first, last, order, limit, &apps))
        return databaseFailure(io, status);
    if (args.json) {
        QJsonObject o;
        o.insert(QStringLiteral("source"), QStringLiteral("app_data"));
        o.insert(QStringLiteral("sort"), sortName);
        o.insert(QStringLiteral("first_date"), first);
        o.insert(QStringLiteral("last_date"), last);
        o.insert(QStringLiteral("dates_are_utc"), true);
        o.insert(QStringLiteral("applications"), appTotalsJson(apps));
        printJson(io, o);
        return ExitOk;
    }
    QString text = paint(QStringLiteral("Top applications over %1 day%2, %3 to %4 (UTC dates, today excluded)")
                             .arg(days)
                             .arg(days == 1 ? QString() : QStringLiteral("s"))
                             .arg(first, last),
                         Bold, io.colour)
                   + QLatin1Char('\n');
    Table table({QStringLiteral("PACKAGE"), QStringLiteral(">RECEIVED"), QStringLiteral(">SENT"), QStringLiteral(">TOTAL")});
    for (const AppTotal &a : apps)
        table.addRow({displayName(a.package), iecSize(a.recv), iecSize(a.sent), iecSize(a.total)});
    text += table.rowCount() ? table.render(io.colour, 2) : QStringLiteral("  (no traffic stored for these dates)\n");
    io.out += text.toUtf8();
    return ExitOk;
}

// --- hours and days -------------------------------------------------------------

int cmdHours(const Args &args, Io &io)
{
    if (int rc = noPositionals(args, io))
        return rc;
    int days = 1;
    if (int rc = optionCount(args, io, QStringLiteral("days"), 1, 3660, &days))
        return rc;
    const time_t now = nowSeconds();
    const QString first = localDate(now, days - 1) + QStringLiteral(" 00:00");
    const QString last = QString::fromLatin1(hourKeyAt(now, 0));
    Reader reader;
    if (int rc = reader.open(io))
        return rc;
    std::vector<HourRow> rows;
    if (int status = readHourRows(reader.db(), first, last, &rows))
        return databaseFailure(io, status);

    auto averageRate = [](int64_t bytes, int mins) { return double(bytes) / (double(std::max(mins, 1)) * 60.0); };
    if (args.json) {
        QJsonArray array;
        for (const HourRow &r : rows) {
            QJsonObject o;
            o.insert(QStringLiteral("start"), isoHour(r.hour));
            o.insert(QStringLiteral("minutes"), r.mins);
            o.insert(QStringLiteral("received_bytes"), bytesValue(r.recv));
            o.insert(QStringLiteral("sent_bytes"), bytesValue(r.sent));
            o.insert(QStringLiteral("total_bytes"), bytesValue(r.recv + r.sent));
            o.insert(QStringLiteral("average_received_bytes_per_second"), qint64(averageRate(r.recv, r.mins)));
            o.insert(QStringLiteral("average_sent_bytes_per_second"), qint64(averageRate(r.sent, r.mins)));
            o.insert(QStringLiteral("peak_received_kib_per_second"), r.recvPeak);
            o.insert(QStringLiteral("peak_sent_kib_per_second"), r.sentPeak);
            o.insert(QStringLiteral("peak_total_kib_per_second"), r.totalPeak);
            o.insert(QStringLiteral("reported"), r.reported != 0);
            array.append(o);
        }
        QJsonObject o;
        o.insert(QStringLiteral("first_hour"), isoHour(first));
        o.insert(QStringLiteral("last_hour"), isoHour(last));
        o.insert(QStringLiteral("hours"), array);
        printJson(io, o);
        return ExitOk;
    }
    int64_t max = 0;
    for (const HourRow &r : rows)
        max = std::max(max, r.recv + r.sent);
    Table table({QStringLiteral("HOUR"), QStringLiteral(">MIN"), QStringLiteral(">RECEIVED"), QStringLiteral(">SENT"),
                 QStringLiteral(">TOTAL"), QStringLiteral(">AVG DOWN"), QStringLiteral(">AVG UP"),
                 QStringLiteral(">PEAK DOWN"), QStringLiteral(">PEAK UP"), QStringLiteral(">PEAK"), QStringLiteral("TOTAL")});
    for (const HourRow &r : rows)
        table.addRow({r.hour, QString::number(r.mins), iecSize(r.recv), iecSize(r.sent), iecSize(r.recv + r.sent),
                      iecRate(averageRate(r.recv, r.mins)), iecRate(averageRate(r.sent, r.mins)),
                      iecRate(double(r.recvPeak) * 1024), iecRate(double(r.sentPeak) * 1024),
                      iecRate(double(r.totalPeak) * 1024), bar(r.recv + r.sent, max)});
    QString text = paint(QStringLiteral("Hours from %1 to %2 (local time)").arg(first, last), Bold, io.colour) + QLatin1Char('\n');
    text += table.rowCount() ? table.render(io.colour, 2) : QStringLiteral("  (no hours stored)\n");
    io.out += text.toUtf8();
    return ExitOk;
}

int cmdDays(const Args &args, Io &io)
{
    if (int rc = noPositionals(args, io))
        return rc;
    int days = 7;
    if (int rc = optionCount(args, io, QStringLiteral("days"), 7, 3660, &days))
        return rc;
    const time_t now = nowSeconds();
    const QString first = localDate(now, days - 1);
    const QString last = localDate(now, 0);
    Reader reader;
    if (int rc = reader.open(io))
        return rc;
    std::vector<DayTotal> totals;
    if (int status = readDayTotals(reader.db(), first, last, &totals))
        return databaseFailure(io, status);
    if (args.json) {
        QJsonArray array;
        for (const DayTotal &d : totals) {
            QJsonObject o;
            o.insert(QStringLiteral("date"), d.date);
            o.insert(QStringLiteral("hours"), d.hours);
            o.insert(QStringLiteral("received_bytes"), bytesValue(d.recv));
            o.insert(QStringLiteral("sent_bytes"), bytesValue(d.sent));
            o.insert(QStringLiteral("total_bytes"), bytesValue(d.recv + d.sent));
            array.append(o);
        }
        QJsonObject o;
        o.insert(QStringLiteral("first_date"), first);
        o.insert(QStringLiteral("last_date"), last);
        o.insert(QStringLiteral("days"), array);
        printJson(io, o);
        return ExitOk;
    }
    int64_t max = 0;
    for (const DayTotal &d : totals)
        max = std::max(max, d.recv + d.sent);
    Table table({QStringLiteral("DATE"), QStringLiteral(">HOURS"), QStringLiteral(">RECEIVED"), QStringLiteral(">SENT"),
                 QStringLiteral(">TOTAL"), QStringLiteral("TOTAL")});
    for (const DayTotal &d : totals)
        table.addRow({d.date, QString::number(d.hours), iecSize(d.recv), iecSize(d.sent), iecSize(d.recv + d.sent),
                      bar(d.recv + d.sent, max)});
    QString text = paint(QStringLiteral("Days from %1 to %2 (local dates)").arg(first, last), Bold, io.colour) + QLatin1Char('\n');
    text += table.rowCount() ? table.render(io.colour, 2) : QStringLiteral("  (no hours stored)\n");
    io.out += text.toUtf8();
    return ExitOk;
}

// --- live -------------------------------------------------------------------------

QString liveFrame(bool colour, int rows, int columns, QString *reason)
{
    QVector<LiveEntry> apps;
    QVector<LiveEntry> procs;
    if (!readLiveDocument(ferrow::paths().appInfoFile, "pkg", &apps, reason)
        || !readLiveDocument(ferrow::paths().processInfoFile, "pname", &procs, reason))
        return QString();
    auto bySpeed = [](QVector<LiveEntry> &list) {
        std::stable_sort(list.begin(), list.end(), [](const LiveEntry &a, const LiveEntry &b) {
            const double sa = a.recvSpeed + a.sentSpeed;
            const double sb = b.recvSpeed + b.sentSpeed;
            if (sa != sb)
                return sa > sb;
            if (a.total != b.total)
                return a.total > b.total;
            return a.name < b.name;
        });
    };
    bySpeed(apps);
    bySpeed(procs);
    double down = 0;
    double up = 0;
    for (const LiveEntry &e : apps) {
        down += e.recvSpeed;
        up += e.sentSpeed;
    }
    // Header (2 lines), two table headers, two titles and a blank line: 7 lines
    // around the rows, which the two lists share.
    int appRows = apps.size();
    int procRows = procs.size();
    if (rows > 0) {
        const int room = std::max(rows - 8, 2);
        appRows = std::min(appRows, std::max(room / 2, room - procRows));
        procRows = std::min(procRows, room - appRows);
    }
    auto table = [&](const QVector<LiveEntry> &list, int n, const QString &title) {
        Table t({title, QStringLiteral(">DOWN/S"), QStringLiteral(">UP/S"), QStringLiteral(">RECEIVED"), QStringLiteral(">SENT")});
        for (int i = 0; i < n; ++i) {
            const LiveEntry &e = list[i];
            QString name = title == QLatin1String("PACKAGE") ? displayName(e.name) : (e.name.isEmpty() ? QStringLiteral("?") : e.name);
            if (columns > 0 && name.size() > columns / 3)
                name = name.left(std::max(columns / 3 - 1, 4)) + QStringLiteral("~");
            t.addRow({name, iecRate(e.recvSpeed * 1024), iecRate(e.sentSpeed * 1024), iecSize(e.recv), iecSize(e.sent)});
        }
        return t.render(colour);
    };
    QString text = paint(QStringLiteral("ferrowctl live  %1").arg(ferrow::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))), Bold, colour)
                   + QStringLiteral("  down %1  up %2  %3 applications, %4 processes\n")
                         .arg(iecRate(down * 1024), iecRate(up * 1024))
                         .arg(apps.size())
                         .arg(procs.size());
    text += QLatin1Char('\n') + table(apps, appRows, QStringLiteral("PACKAGE"));
    text += QLatin1Char('\n') + table(procs, procRows, QStringLiteral("PROCESS"));
    return text;
}

int cmdLive(const Args &args, Io &io)
{
    if (int rc = noPositionals(args, io))
        return rc;
    if (!probeDaemon().running)
        return fail(io, ExitDaemonNotRunning, QStringLiteral("the daemon is not running: no live figures"));
    if (args.json) {
        QVector<LiveEntry> apps;
        QVector<LiveEntry> procs;
        QString reason;
        if (!readLiveDocument(ferrow::paths().appInfoFile, "pkg", &apps, &reason)
            || !readLiveDocument(ferrow::paths().processInfoFile, "pname", &procs, &reason))
            return fail(io, ExitFailure, reason);
        QJsonObject o;
        o.insert(QStringLiteral("time"), isoTime(nowSeconds()));
        o.insert(QStringLiteral("applications"), liveJson(apps, INT_MAX, "package"));
        o.insert(QStringLiteral("processes"), liveJson(procs, INT_MAX, "process"));
        printJson(io, o);
        return ExitOk;
    }
    if (io.interactive)
        return runLiveTerminal(io);
    QString reason;
    const QString frame = liveFrame(io.colour, 0, 0, &reason);
    if (frame.isEmpty())
        return fail(io, ExitFailure, reason);
    io.out += frame.toUtf8();
    return ExitOk;
}

// --- report -------------------------------------------------------------------------

int cmdReport(const Args &args, Io &io)
{
    if (int rc = noPositionals(args, io))
        return rc;
    const time_t now = nowSeconds();
    QByteArray document;
    {
        Reader reader;
        if (int rc = reader.open(io))
            return rc;
        if (!args.has(QStringLiteral("mark"))) {
            if (int status = buildUnmarkedTrafficReportAt(reader.db(), now, &document))
                return databaseFailure(io, status);
        } else {
            int before = 0;
            if (int status = countUnreportedHoursAt(reader.db(), now, &before))
                return databaseFailure(io, status);
            // The marking build may wait for the daemon's writes; the reader lets go first.
            reader.close();
            char *text = buildTrafficReportAt(now, true);
            const bool built = text != nullptr;
            document = QByteArray(text ? text : "");
            cJSON_free(text);
            if (int rc = reader.open(io))
                return rc;
            int after = 0;
            if (int status = countUnreportedHoursAt(reader.db(), now, &after))
                return databaseFailure(io, status);
            // The build marks every hour it read, or none when it fails.
            if (!built || (before > 0 && after >= before))
                return fail(io, ExitDatabaseLocked,
                            QStringLiteral("the report could not be built and marked (is the database locked?); nothing was marked"));
        }
    }
    io.out += document;
    if (io.terminal)
        io.out += '\n';
    return ExitOk;
}

// --- setters ----------------------------------------------------------------------

int cmdCounting(const Args &args, Io &io)
{
    if (args.json)
        return usageError(io, args.command, QStringLiteral("--json is for reading commands"));
    if (args.positional.size() != 1
        || (args.positional[0] != QLatin1String("on") && args.positional[0] != QLatin1String("off")))
        return usageError(io, args.command, QStringLiteral("say on or off"));
    if (int rc = setterPreconditions(io))
        return rc;
    const unsigned int status = args.positional[0] == QLatin1String("on") ? 1 : 0;
    if (MonitorConfig::setCountStatus(status) != 0 || MonitorConfig::countStatus() != int(status))
        return writeFailed(io);
    io.out += QByteArray("counting ") + (status ? "on" : "off") + '\n';
    noteDaemon(io);
    return ExitOk;
}

namespace {

int directionOf(const QString &word)
{
    for (int d = Total; d <= Ingress; ++d)
        if (word == QLatin1String(directionName(d)))
            return d;
    return -1;
}

int setAuditSwitch(int direction, unsigned int status)
{
    switch (direction) {
    case Egress: return MonitorConfig::setEgressAlarmStatus(status);
    case Ingress: return MonitorConfig::setIngressAlarmStatus(status);
    default: return MonitorConfig::setAlarmStatus(status);
    }
}

int setAuditThreshold(int direction, int size, int period)
{
    switch (direction) {
    case Egress: return MonitorConfig::setEgressAlarmConfig(size, period);
    case Ingress: return MonitorConfig::setIngressAlarmConfig(size, period);
    default: return MonitorConfig::setAlarmConfig(size, period);
    }
}

int auditShow(const Args &args, Io &io)
{
    if (args.has(QStringLiteral("size")) || args.has(QStringLiteral("period")))
        return usageError(io, args.command, QStringLiteral("--size and --period belong to audit set"));
    if (args.positional.size() != 1)
        return usageError(io, args.command, QStringLiteral("unexpected argument %1").arg(args.positional.value(1)));
    const time_t now = nowSeconds();
    SettingsView settings;
    QString reason;
    if (!readSettings(&settings, &reason))
        return fail(io, ExitSettings, reason);
    const DaemonInfo daemon = probeDaemon();
    AuditState state;
    evaluateAudits(settings, daemon, nullptr, now, &state);
    // The period's traffic needs the database only while an audit is in force.
    if (state.anyInForce()) {
        Reader reader;
        if (int rc = reader.open(io))
            return rc;
        if (int status = evaluateAudits(settings, daemon, reader.db(), now, &state))
            return databaseFailure(io, status);
    }
    if (args.json) {
        printJson(io, auditsJson(state));
        return ExitOk;
    }
    QString text = QStringLiteral("counting").leftJustified(16) + (settings.counting ? QStringLiteral("on") : QStringLiteral("off")) + QLatin1Char('\n');
    text += QStringLiteral("period").leftJustified(16)
            + (settings.periodHours >= 1 ? QStringLiteral("%1 h (shared by the three audits)").arg(settings.periodHours)
                                         : QStringLiteral("not set"))
            + QLatin1Char('\n');
    if (state.periodStart)
        text += QStringLiteral("period start").leftJustified(16) + shortTime(state.periodStart) + QLatin1Char('\n');
    text += auditLines(state, io.colour, 16);
    io.out += text.toUtf8();
    return ExitOk;
}

int auditSet(const Args &args, Io &io)
{
    if (args.positional.size() != 2 || directionOf(args.positional[1]) < 0)
        return usageError(io, args.command, QStringLiteral("audit set needs total, egress or ingress"));
    if (!args.has(QStringLiteral("size")))
        return usageError(io, args.command, QStringLiteral("audit set needs --size"));
    const int direction = directionOf(args.positional[1]);
    int size = 0;
    if (!parseCount(args.opt.value(QStringLiteral("size")), INT_MAX, &size))
        return usageError(io, args.command,
                          QStringLiteral("bad size %1 (whole gibibytes, 1 or more)").arg(args.opt.value(QStringLiteral("size"))));
    int period = 0;
    // The daemon counts a period's hours on a 32-bit tick: ten years at most.
    if (args.has(QStringLiteral("period"))
        && !parseCount(args.opt.value(QStringLiteral("period")), 87600, &period))
        return usageError(io, args.command,
                          QStringLiteral("bad period %1 (whole hours, 1 to 87600)").arg(args.opt.value(QStringLiteral("period"))));
    if (int rc = setterPreconditions(io))
        return rc;
    SettingsView settings;
    QString reason;
    readSettings(&settings, &reason);
    if (period == 0) {
        if (settings.periodHours < 1)
            return usageError(io, args.command, QStringLiteral("no period is set yet: give --period HOURS"));
        period = settings.periodHours;
    }
    if (setAuditThreshold(direction, size, period) != 0 || setAuditSwitch(direction, 1) != 0)
        return writeFailed(io);
    SettingsView written;
    if (!readSettings(&written, &reason) || written.size[direction] != size || written.periodHours != period
        || written.status[direction] != 1)
        return writeFailed(io);
    io.out += QStringLiteral("%1 audit on: %2 per %3 h\n")
                  .arg(QLatin1String(directionName(direction)), iecSize(int64_t(size) * 1073741824LL))
                  .arg(period)
                  .toUtf8();
    if (settings.periodHours >= 1 && settings.periodHours != period)
        for (int d = Total; d <= Ingress; ++d)
            if (d != direction && settings.status[d])
                io.err += QStringLiteral("ferrowctl: note: the period of the %1 audit is now %2 h too\n")
                              .arg(QLatin1String(directionName(d)))
                              .arg(period)
                              .toUtf8();
    noteDaemon(io);
    return ExitOk;
}

int auditOff(const Args &args, Io &io)
{
    if (args.has(QStringLiteral("size")) || args.has(QStringLiteral("period")))
        return usageError(io, args.command, QStringLiteral("--size and --period belong to audit set"));
    if (args.positional.size() > 2 || (args.positional.size() == 2 && directionOf(args.positional[1]) < 0))
        return usageError(io, args.command, QStringLiteral("audit off takes total, egress, ingress or nothing"));
    if (int rc = setterPreconditions(io))
        return rc;
    QVector<int> directions;
    if (args.positional.size() == 2)
        directions << directionOf(args.positional[1]);
    else
        directions << Total << Egress << Ingress;
    for (int d : directions)
        if (setAuditSwitch(d, 0) != 0)
            return writeFailed(io);
    SettingsView written;
    QString reason;
    if (!readSettings(&written, &reason))
        return writeFailed(io);
    for (int d : directions) {
        if (written.status[d] != 0)
            return writeFailed(io);
        io.out += QByteArray(directionName(d)) + " audit off\n";
    }
    noteDaemon(io);
    return ExitOk;
}

} // namespace

int cmdAudit(const Args &args, Io &io)
{
    const QString sub = args.positional.value(0);
    if (sub == QLatin1String("show"))
        return auditShow(args, io);
    if (args.json)
        return usageError(io, args.command, QStringLiteral("--json is for audit show"));
    if (sub == QLatin1String("set"))
        return auditSet(args, io);
    if (sub == QLatin1String("off"))
        return auditOff(args, io);
    return usageError(io, args.command, sub.isEmpty() ? QStringLiteral("say show, set or off")
                                                      : QStringLiteral("unknown audit command %1").arg(sub));
}

// --- check --------------------------------------------------------------------------

int cmdCheck(const Args &args, Io &io)
{
    double warning = 0.8;
    if (args.has(QStringLiteral("warning"))) {
        bool ok = false;
        warning = args.opt.value(QStringLiteral("warning")).toDouble(&ok);
        if (!ok || !(warning > 0.0 && warning <= 1.0))
            return usageError(io, args.command,
                              QStringLiteral("bad value for --warning: %1 (a fraction above 0, at most 1)").arg(args.opt.value(QStringLiteral("warning"))),
                              CheckUnknown);
    }
    if (!args.positional.isEmpty())
        return usageError(io, args.command, QStringLiteral("unexpected argument %1").arg(args.positional.first()), CheckUnknown);

    QString text;
    int code = CheckOk;
    QString perf;
    QJsonObject json;
    [&] {
        auto unknown = [&](const QString &why) {
            code = CheckUnknown;
            text = why;
        };
        SettingsView settings;
        QString reason;
        if (!readSettings(&settings, &reason))
            return unknown(reason);
        const DaemonInfo daemon = probeDaemon();
        if (!daemon.running)
            return unknown(QStringLiteral("the daemon is not running"));
        if (!settings.counting)
            return unknown(QStringLiteral("counting is off"));
        AuditState state;
        evaluateAudits(settings, daemon, nullptr, nowSeconds(), &state);
        if (!state.anyInForce()) {
            text = QStringLiteral("no audit configured");
            return;
        }
        Reader reader;
        Io quiet;
        if (reader.open(quiet) != ExitOk)
            return unknown(QString::fromUtf8(quiet.err.mid(11).trimmed()));
        if (int status = evaluateAudits(settings, daemon, reader.db(), nowSeconds(), &state)) {
            databaseFailure(quiet, status);
            return unknown(QString::fromUtf8(quiet.err.mid(11).trimmed()));
        }
        QStringList parts;
        for (const AuditView &a : state.audits) {
            if (!a.inForce)
                continue;
            const int64_t warnBytes = int64_t(double(a.thresholdBytes) * warning);
            int level = CheckOk;
            if (a.periodBytes > a.thresholdBytes)
                level = CheckCritical;
            else if (a.periodBytes > warnBytes)
                level = CheckWarning;
            code = std::max(code, level);
            parts << QStringLiteral("%1 %2 of %3 (%4)")
                         .arg(QLatin1String(directionName(a.direction)), iecSize(a.periodBytes), iecSize(a.thresholdBytes),
                              percentOf(a.periodBytes, a.thresholdBytes));
            perf += QStringLiteral(" %1=%2B;%3;%4;0;%4")
                        .arg(QLatin1String(directionName(a.direction)))
                        .arg(a.periodBytes)
                        .arg(warnBytes)
                        .arg(a.thresholdBytes);
        }
        text = parts.join(QStringLiteral(", ")) + QStringLiteral(" in the %1 h period since %2")
                                                      .arg(state.settings.periodHours)
                                                      .arg(shortTime(state.periodStart));
        json = auditsJson(state);
    }();
    static const char *const names[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    const QString line = QStringLiteral("FERROW %1 - %2").arg(QLatin1String(names[code]), text)
                         + (perf.isEmpty() ? QString() : QStringLiteral(" |") + perf);
    if (args.json) {
        json.insert(QStringLiteral("status"), QLatin1String(names[code]));
        json.insert(QStringLiteral("exit_code"), code);
        json.insert(QStringLiteral("text"), line);
        printJson(io, json);
    } else {
        io.out += line.toUtf8() + '\n';
    }
    return code;
}

} // namespace ferrowctl

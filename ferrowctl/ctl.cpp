#include "ctl.h"

#include "commands.h"

#include <QMap>

namespace ferrowctl {

namespace {

struct CommandInfo {
    const char *name;
    const char *usage;
    const char *help;
    // Options the command takes: name to whether it takes a value.
    QMap<QString, bool> options;
    int (*run)(const Args &, Io &);
};

const QVector<CommandInfo> &commands()
{
    static const QVector<CommandInfo> infos = {
        {"status", "ferrowctl [status] [--json]",
         "Whether the daemon runs, counting, the audits in force with their threshold,\n"
         "period and traffic so far, the database's size and newest hour, and the\n"
         "applications with the most traffic since the daemon started counting.\n",
         {}, cmdStatus},
        {"top", "ferrowctl top [--today | --days N] [--sort total|sent|received] [-n N] [--json]",
         "The applications with the most traffic.\n"
         "  --today      live figures since the daemon started counting (\"app_info\"); the default\n"
         "  --days N     the N days before today from the database (\"app_data\"); these days\n"
         "               are UTC dates, today's UTC date excluded\n"
         "  --sort KEY   total (default), sent or received\n"
         "  -n N         at most N applications (default 10)\n",
         {{"today", false}, {"days", true}, {"sort", true}, {"n", true}}, cmdTop},
        {"hours", "ferrowctl hours [--days N] [--json]",
         "The hour rows of the last N local dates, today included (default 1), with\n"
         "their peaks, average rates and a bar of the total. Hours are local time.\n",
         {{"days", true}}, cmdHours},
        {"days", "ferrowctl days [--days N] [--json]",
         "The traffic of each of the last N local dates, today included (default 7),\n"
         "summed from the hour rows, with a bar of the total.\n",
         {{"days", true}}, cmdDays},
        {"live", "ferrowctl live [--json]",
         "Applications and processes by current speed, redrawn with the live documents\n"
         "every 5 s; q quits. Without a terminal it prints one snapshot.\n",
         {}, cmdLive},
        {"report", "ferrowctl report [--mark]",
         "The report document. With --mark it is built as the daemon's report is and\n"
         "the hours it carries are marked reported (the only command that writes to\n"
         "the database); without, the same document is built and nothing is marked.\n"
         "The document's bytes are printed as they are, a newline added on a terminal.\n",
         {{"mark", false}}, cmdReport},
        {"counting", "ferrowctl counting on|off",
         "Switches traffic counting on or off (root only).\n", {}, cmdCounting},
        {"audit", "ferrowctl audit show [--json] | audit set total|egress|ingress --size GIB [--period HOURS] | audit off [total|egress|ingress]",
         "show   the audits with their thresholds and the shared period\n"
         "set    switches an audit on with a threshold of GIB gibibytes (a whole number,\n"
         "       1 or more) per period of HOURS hours (a whole number, 1 or more; the\n"
         "       period is shared by the three audits and kept when omitted)\n"
         "off    switches one audit, or all three, off\n"
         "set and off need root.\n",
         {{"size", true}, {"period", true}}, cmdAudit},
        {"check", "ferrowctl check [--warning FRACTION] [--json]",
         "One line and an exit code for monitoring systems: 0 OK (every audit in force\n"
         "within its threshold, or none configured), 1 WARNING (above FRACTION of a\n"
         "threshold, default 0.8), 2 CRITICAL (above a threshold), 3 UNKNOWN (the daemon\n"
         "not running, counting off, settings or database unreadable, bad usage).\n",
         {{"warning", true}}, cmdCheck},
        {"metrics", "ferrowctl metrics [--textfile DIR] [--json]",
         "The figures in the Prometheus text exposition format, on standard output or,\n"
         "with --textfile, written atomically to DIR/ferrow.prom.\n",
         {{"textfile", true}}, cmdMetrics},
    };
    return infos;
}

const CommandInfo *findCommand(const QString &name)
{
    for (const CommandInfo &info : commands())
        if (QLatin1String(info.name) == name)
            return &info;
    return nullptr;
}

const char *const kExitCodes =
    "Exit codes (check has its own, see ferrowctl check --help):\n"
    "  0  success\n"
    "  1  failure: a file could not be written, a live document could not be read\n"
    "  2  usage: unknown command or option, bad value\n"
    "  3  the database does not exist\n"
    "  4  the database is locked by another process; try again\n"
    "  5  the database is damaged or not a traffic database\n"
    "  6  the settings file is missing or unreadable\n"
    "  7  the daemon is not running (status still prints; metrics still writes)\n"
    "  8  changing settings needs root\n";

QString globalHelp()
{
    QString text = QStringLiteral(
        "usage: ferrowctl [COMMAND] [OPTIONS]\n"
        "The administrator's client of the ferrow-monitor traffic daemon.\n\n"
        "Commands:\n");
    for (const CommandInfo &info : commands())
        text += QStringLiteral("  %1\n").arg(QLatin1String(info.usage));
    text += QStringLiteral(
        "\nOptions of every reading command:\n"
        "  --json     machine-readable output (byte counts as integers, ISO 8601 times,\n"
        "             a \"format_version\" member; see ferrowctl(1))\n"
        "  --help     the command's help\n\n"
        "Sizes are in IEC units; colour only on a terminal and never with NO_COLOR set.\n\n");
    text += QLatin1String(kExitCodes);
    return text;
}

} // namespace

QByteArray version()
{
    return QByteArrayLiteral(FERROWCTL_VERSION);
}

QString usageLine(const QString &command)
{
    const CommandInfo *info = findCommand(command);
    return QStringLiteral("usage: %1").arg(QLatin1String(info ? info->usage : "ferrowctl [COMMAND] [OPTIONS]"));
}

int fail(Io &io, int code, const QString &message)
{
    io.err += "ferrowctl: " + message.toUtf8() + '\n';
    return code;
}

int usageError(Io &io, const QString &command, const QString &message, int code)
{
    fail(io, code, message);
    io.err += usageLine(command).toUtf8() + '\n';
    return code;
}

int run(const QStringList &argv, Io &io)
{
    Args args;
    bool help = false;
    const CommandInfo *info = nullptr;
    int i = 0;
    // The command is the first word that is not a global option.
    for (; i < argv.size(); ++i) {
        const QString &a = argv[i];
        if (a == QLatin1String("--json")) {
            args.json = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            help = true;
        } else if (a == QLatin1String("--version")) {
            io.out += "ferrowctl " + version() + '\n';
            return ExitOk;
        } else if (a.startsWith(QLatin1Char('-'))) {
            return usageError(io, QString(), QStringLiteral("unknown option %1").arg(a));
        } else {
            info = findCommand(a);
            if (!info)
                return usageError(io, QString(), QStringLiteral("unknown command %1").arg(a));
            ++i;
            break;
        }
    }
    if (!info) {
        if (help) {
            io.out += globalHelp().toUtf8();
            return ExitOk;
        }
        info = findCommand(QStringLiteral("status"));
    }
    args.command = QLatin1String(info->name);
    // A usage error of check is UNKNOWN to the monitoring system.
    const int usageCode = args.command == QLatin1String("check") ? int(CheckUnknown) : int(ExitUsage);

    for (; i < argv.size(); ++i) {
        const QString &a = argv[i];
        if (a == QLatin1String("--json")) {
            args.json = true;
            continue;
        }
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            help = true;
            continue;
        }
        if (!a.startsWith(QLatin1Char('-')) || a == QLatin1String("-")) {
            args.positional << a;
            continue;
        }
        QString name = a.startsWith(QLatin1String("--")) ? a.mid(2) : a.mid(1);
        QString value;
        bool inlineValue = false;
        const int eq = name.indexOf(QLatin1Char('='));
        if (eq >= 0) {
            value = name.mid(eq + 1);
            name = name.left(eq);
            inlineValue = true;
        }
        // Single-dash options are single letters, double-dash ones words.
        const bool wellFormed = a.startsWith(QLatin1String("--")) ? name.size() > 1 : name.size() == 1;
        if (!wellFormed || !info->options.contains(name))
            return usageError(io, args.command, QStringLiteral("unknown option %1").arg(a), usageCode);
        if (info->options.value(name)) {
            if (!inlineValue) {
                if (i + 1 >= argv.size())
                    return usageError(io, args.command, QStringLiteral("option %1 needs a value").arg(a), usageCode);
                value = argv[++i];
            }
        } else if (inlineValue) {
            return usageError(io, args.command, QStringLiteral("option %1 takes no value").arg(name), usageCode);
        }
        if (args.opt.contains(name))
            return usageError(io, args.command, QStringLiteral("option %1 given twice").arg(name), usageCode);
        args.opt.insert(name, value);
    }

    if (help) {
        io.out += usageLine(args.command).toUtf8() + "\n\n" + QByteArray(info->help);
        if (args.command != QLatin1String("check"))
            io.out += QByteArray("\n") + kExitCodes;
        return ExitOk;
    }
    return info->run(args, io);
}

} // namespace ferrowctl

#pragma once

// The commands of ferrowctl, each given its parsed command line.

#include "ctl.h"

#include <QMap>
#include <QString>
#include <QStringList>

namespace ferrowctl {

struct Args {
    QString command;            // "status" when none was given
    QStringList positional;     // the words after the command
    QMap<QString, QString> opt; // option name (without dashes) to value ("" for flags)
    bool json = false;

    bool has(const QString &name) const { return opt.contains(name); }
};

// Appends "ferrowctl: <message>\n" to io.err and returns code.
int fail(Io &io, int code, const QString &message);
// The same followed by the command's usage line.
int usageError(Io &io, const QString &command, const QString &message, int code = ExitUsage);
QString usageLine(const QString &command);
// The line and exit code of a database that cannot be read (a TrafficReadStatus).
int databaseFailure(Io &io, int status, const QString &detail = QString());

int cmdStatus(const Args &args, Io &io);
int cmdTop(const Args &args, Io &io);
int cmdHours(const Args &args, Io &io);
int cmdDays(const Args &args, Io &io);
int cmdLive(const Args &args, Io &io);
int cmdReport(const Args &args, Io &io);
int cmdCounting(const Args &args, Io &io);
int cmdAudit(const Args &args, Io &io);
int cmdCheck(const Args &args, Io &io);
int cmdMetrics(const Args &args, Io &io);

// The interactive view of live on the terminal (live.cpp); returns the exit code.
int runLiveTerminal(Io &io);
// One frame of live: the header, applications and processes by current
// speed, fitted into rows lines when rows > 0. Empty with reason set when a
// document cannot be read.
QString liveFrame(bool colour, int rows, int columns, QString *reason);

} // namespace ferrowctl

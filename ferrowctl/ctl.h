#pragma once

// ferrowctl, the administrator's client of the traffic daemon: the commands
// behind the command line. main() only connects them to the process.

#include <QByteArray>
#include <QStringList>

namespace ferrowctl {

// Exit codes of every command but "check" (which follows the monitoring
// plugin convention: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN).
enum ExitCode {
    ExitOk = 0,
    ExitFailure = 1,          // a write failed, a live document is unreadable
    ExitUsage = 2,            // unknown command or option, bad value
    ExitNoDatabase = 3,       // the database file does not exist
    ExitDatabaseLocked = 4,   // the database stayed locked by a writer; try again
    ExitDatabaseDamaged = 5,  // not a database, corrupt, or not a traffic database
    ExitSettings = 6,         // the settings file is missing or unreadable
    ExitDaemonNotRunning = 7, // the command needs the running daemon
    ExitNotRoot = 8,          // changing settings needs root
};

enum CheckCode { CheckOk = 0, CheckWarning = 1, CheckCritical = 2, CheckUnknown = 3 };

// Where a command writes, and how it may decorate what it writes.
struct Io {
    QByteArray out;
    QByteArray err;
    bool terminal = false;    // standard output is a terminal
    bool colour = false;      // terminal and NO_COLOR unset or empty
    bool interactive = false; // standard input and output are terminals (live redraws)
    int refreshMs = 5000;     // live's redraw interval
};

// Runs the command line (without the program name). Output goes to io.out
// and io.err, except for an interactive "live", which draws on the terminal
// itself. Returns the exit code.
int run(const QStringList &args, Io &io);

// The version that build info reports.
QByteArray version();

} // namespace ferrowctl

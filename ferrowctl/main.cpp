// ferrowctl: the administrator's client of the traffic daemon.
#include "ctl.h"

#include "defaults.h"

#include <QCoreApplication>
#include <QDateTime>

#include <unistd.h>

#include <cstdio>

namespace {

void writeAll(int fd, const QByteArray &bytes)
{
    const char *p = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n <= 0)
            return;
        p += n;
        left -= n;
    }
}

// Options for the tests, taken before the command and not in the help: the
// data directory, the /proc to scan, the current time and live's interval.
bool takeTestOptions(QStringList &args, ferrowctl::Io &io)
{
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--test-"))) {
        if (args.size() < 2)
            return false;
        const QString name = args.takeFirst();
        const QString value = args.takeFirst();
        if (name == QLatin1String("--test-data-dir")) {
            const QString proc = ferrow::defaults().paths.procDir;
            ferrow::defaults().paths = ferrow::Paths(value);
            ferrow::defaults().paths.procDir = proc;
        } else if (name == QLatin1String("--test-proc-dir")) {
            ferrow::defaults().paths.procDir = value;
        } else if (name == QLatin1String("--test-now")) {
            const qint64 now = value.toLongLong();
            ferrow::defaults().clock = [now] { return QDateTime::fromSecsSinceEpoch(now); };
        } else if (name == QLatin1String("--test-refresh-ms")) {
            io.refreshMs = value.toInt();
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();

    ferrowctl::Io io;
    io.terminal = isatty(STDOUT_FILENO) == 1;
    io.interactive = io.terminal && isatty(STDIN_FILENO) == 1;
    io.colour = io.terminal && qEnvironmentVariableIsEmpty("NO_COLOR");
    io.refreshMs = ferrow::intervals().checkMs;
    if (!takeTestOptions(args, io)) {
        writeAll(STDERR_FILENO, "ferrowctl: bad test option\n");
        return ferrowctl::ExitUsage;
    }

    const int code = ferrowctl::run(args, io);
    writeAll(STDOUT_FILENO, io.out);
    writeAll(STDERR_FILENO, io.err);
    return code;
}

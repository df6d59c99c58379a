#pragma once

// Harness of the whole-daemon tests: the real ferrow-monitor binary with its
// fixed production paths, run in private mount and IPC namespaces
// (in_namespace.sh) where /var/lib/ferrow_monitor is a temporary directory,
// /tmp a fresh tmpfs and /usr/bin/ferrow_monitor.py the fake collector; the
// system bus is a private dbus-daemon with stand-ins for the alarm services.
// The daemon's intervals are the production ones, so every wait is bounded by
// a few check ticks.
#include "privatebus.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

using Settings = QList<QPair<QString, QString>>;

namespace daemontest {

// One check tick of the daemon is 5 s; no expected effect takes more than two.
constexpr int tickWaitMs = 12000;

inline QString readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

inline qint64 queryNumber(const QString &database, const char *sql)
{
    qint64 value = -1;
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(database.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
}

} // namespace daemontest


using namespace daemontest;

// Sets up a private bus with the alarm services and a namespace holder before
// each test and removes them after it.
class DaemonHarness : public QObject
{
    Q_OBJECT

protected slots:
    void initTestCase();
    void init();
    void cleanup();

protected:
    bool startNamespace();
    // Puts the data directory on a file system of its own of `size` (a tmpfs
    // size option: "256k", "16m"), so that the test can fill it: the
    // namespaces are started anew over it. Unmounted at cleanup.
    bool useDataFileSystem(const QByteArray &size);
    QList<pid_t> processesInNamespace() const;
    bool startDaemon(QProcess &daemon, const QMap<QByteArray, QByteArray> &environment = {});
    bool stopDaemon(QProcess &daemon, int signalNumber);
    bool watchesDataDirectory(const QProcess &daemon) const;
    void writeSettings(const Settings &values);
    QStringList logLines() const;
    QString dataFile(const QString &name) const { return data + QLatin1Char('/') + name; }

    PrivateBus bus;
    BusServices services;
    QTemporaryDir *work = nullptr;
    QString data;
    QString record;
    QProcess holder;
    bool dataMounted = false;
};

inline void DaemonHarness::initTestCase()
{
    QVERIFY(QFileInfo::exists(QStringLiteral(FERROW_DAEMON)));
    QVERIFY(QFileInfo::exists(QStringLiteral(FERROW_FAKE_COLLECTOR)));
}

inline void DaemonHarness::init()
{
    work = new QTemporaryDir;
    QVERIFY(work->isValid());
    data = work->filePath(QStringLiteral("data"));
    QVERIFY(QDir().mkpath(data));
    record = work->filePath(QStringLiteral("received.txt"));
    const QString address = bus.start(work->path());
    QVERIFY2(!address.isEmpty(), qPrintable(bus.error()));
    QVERIFY(services.start(address, {"--user", "alice", "--transmit", "ok", "--record", record}));
    QVERIFY(startNamespace());
}

inline QList<pid_t> DaemonHarness::processesInNamespace() const
{
    QList<pid_t> pids;
    const auto mountNamespace = [](const QString &pid) {
        char target[64] = {};
        const ssize_t size = ::readlink(("/proc/" + pid + "/ns/mnt").toLatin1().constData(), target, sizeof target - 1);
        return size > 0 ? QByteArray(target, int(size)) : QByteArray();
    };
    const QString holderPid = QString::number(holder.processId());
    const QByteArray own = mountNamespace(holderPid);
    if (own.isEmpty())
        return pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = pid_t(entry.toInt(&isPid));
        if (isPid && entry != holderPid && mountNamespace(entry) == own)
            pids << pid;
    }
    return pids;
}

inline void DaemonHarness::cleanup()
{
    // A failed check leaves a daemon or an orphaned collector behind: every
    // process in the namespaces gets SIGTERM, then SIGKILL.
    if (holder.state() != QProcess::NotRunning) {
        for (const pid_t pid : processesInNamespace())
            ::kill(pid, SIGTERM);
        QElapsedTimer timer;
        timer.start();
        while (!processesInNamespace().isEmpty() && timer.elapsed() < 8000)
            QTest::qWait(100);
        for (const pid_t pid : processesInNamespace())
            ::kill(pid, SIGKILL);
    }
    holder.kill();
    holder.waitForFinished(5000);
    if (dataMounted)
        ::umount2(data.toUtf8().constData(), MNT_DETACH);
    dataMounted = false;
    services.stop();
    bus.stop();
    delete work;
    work = nullptr;
}

inline bool DaemonHarness::startNamespace()
{
    // A process that only holds the namespaces; the daemons join them.
    holder.setProcessChannelMode(QProcess::ForwardedChannels);
    holder.start(QStringLiteral(FERROW_IN_NAMESPACE),
                 {work->path(), data, QStringLiteral(FERROW_FAKE_COLLECTOR),
                  QFileInfo(QStringLiteral(FERROW_DAEMON)).absolutePath(), QStringLiteral("/bin/sleep"),
                  QStringLiteral("600")});
    if (!holder.waitForStarted(5000))
        return false;
    // Ready once every mount is in place (the private /tmp alone is not
    // enough: the work and build directories are bound into it afterwards).
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 10000) {
        QProcess check;
        check.start(QStringLiteral("nsenter"), {"--target", QString::number(holder.processId()), "--mount",
                                                "test", "-e", "/tmp/.in_namespace_ready"});
        if (check.waitForFinished(5000) && check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0)
            return true;
        QTest::qWait(50);
    }
    return false;
}

inline bool DaemonHarness::useDataFileSystem(const QByteArray &size)
{
    // Nothing runs in the namespaces yet: the holder alone goes.
    holder.kill();
    holder.waitForFinished(5000);
    const QByteArray options = "mode=0755,size=" + size;
    if (::mount("tmpfs", data.toUtf8().constData(), "tmpfs", 0, options.constData()) != 0) {
        qWarning("mount %s: %s", qPrintable(data), strerror(errno));
        return false;
    }
    dataMounted = true;
    return startNamespace();
}

inline bool DaemonHarness::startDaemon(QProcess &daemon, const QMap<QByteArray, QByteArray> &environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), bus.address());
    // Read by the fake collector, which inherits the daemon's environment.
    env.insert(QStringLiteral("FAKE_COLLECTOR_SOCKET"), QStringLiteral("/tmp/network_monitor.sock"));
    for (auto it = environment.cbegin(); it != environment.cend(); ++it)
        env.insert(QString::fromUtf8(it.key()), QString::fromUtf8(it.value()));
    daemon.setProcessEnvironment(env);
    daemon.start(QStringLiteral("nsenter"), {"--target", QString::number(holder.processId()), "--mount", "--ipc",
                                             "--", QStringLiteral(FERROW_DAEMON)});
    return daemon.waitForStarted(5000);
}

inline bool DaemonHarness::stopDaemon(QProcess &daemon, int signalNumber)
{
    ::kill(pid_t(daemon.processId()), signalNumber);
    return daemon.waitForFinished(15000);
}

inline bool DaemonHarness::watchesDataDirectory(const QProcess &daemon) const
{
    // The daemon's inotify descriptors list their watches in fdinfo, each with
    // the watched inode in hexadecimal.
    struct stat info = {};
    if (::stat(data.toUtf8().constData(), &info) != 0)
        return false;
    const QString inode = QStringLiteral(" ino:%1 ").arg(quint64(info.st_ino), 0, 16);
    const QString fds = QStringLiteral("/proc/%1/fd").arg(daemon.processId());
    for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString fdinfo = readFile(QStringLiteral("/proc/%1/fdinfo/%2").arg(daemon.processId()).arg(fd));
        if (fdinfo.contains(QLatin1String("inotify wd:")) && fdinfo.contains(inode))
            return true;
    }
    return false;
}

inline void DaemonHarness::writeSettings(const Settings &values)
{
    // Written beside and renamed over the old file.
    QSaveFile file(dataFile(QStringLiteral("setting.conf")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QByteArray text = "[RivletMonitor]\nLogLevel=1\n";
    for (const auto &value : values)
        text += value.first.toUtf8() + '=' + value.second.toUtf8() + '\n';
    file.write(text);
    QVERIFY(file.commit());
}

inline QStringList DaemonHarness::logLines() const
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d{4}:\\d\\d:\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\] "));
    QStringList lines = readFile(dataFile(QStringLiteral("ferrow.log"))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &line : lines)
        line.remove(stamp);
    return lines;
}


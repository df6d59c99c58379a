// Attribution of a process to its program and to the Debian package owning it.

#include "processlist.h"

#include "defaults.h"
#include "packagedatabase.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>
#include <cstring>

namespace sysmonitor {
namespace process {

namespace {

const QString VarsellaRoot = QStringLiteral("/opt/apps/varsella/");

QString fileNamePart(const QString &path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString procFile(qint32 pid, const char *entry)
{
    return QStringLiteral("%1/%2/%3").arg(ferrow::paths().procDir).arg(pid).arg(QLatin1String(entry));
}

QDateTime statusFileTime()
{
    const QFileInfo status(ferrow::paths().dpkgStatusFile);
    return status.exists() ? status.lastModified() : QDateTime();
}

} // namespace

void ProcessList::openPackageDatabase()
{
    if (!ferrow::packagedb::load())
        qWarning() << "The package database could not be loaded; applications are looked up in the previous table.";

    const QString statusPath = ferrow::paths().dpkgStatusFile;
    if (QFileInfo::exists(statusPath))
        dpkgStatusTime = QFileInfo(statusPath).lastModified();
    else
        qDebug() << statusPath << "does not exist.";
}

void ProcessList::closePackageDatabase()
{
    ferrow::packagedb::unload();
}

void ProcessList::reloadPackageDatabaseIfChanged()
{
    const QDateTime current = statusFileTime();
    if (current.isNull())
        return;
    // The new table replaces the old one once it is complete, so the old one
    // is not released first.
    if (dpkgStatusTime.isNull() || dpkgStatusTime < current)
        openPackageDatabase();
}

void ProcessList::buildShells()
{
    shells = QStringList{QStringLiteral("/usr/bin/bash"), QStringLiteral("/usr/bin/sh")};

    FILE *file = std::fopen(QFile::encodeName(ferrow::paths().shellsFile).constData(), "r");
    if (!file)
        return;
    // Read in pieces of at most 127 bytes; a longer line continues as the
    // next piece and is judged on its own.
    char line[128];
    while (std::fgets(line, sizeof line, file)) {
        if (line[0] != '/')
            continue;
        const char *base = std::strrchr(line, '/') + 1;
        QString name = QString::fromLatin1(base);
        if (name.endsWith(QLatin1Char('\n')))
            name.chop(1);
        if (!shells.contains(name))
            shells.append(name);
    }
    std::fclose(file);
}

QString ProcessList::executablePath(qint32 pid) const
{
    const QString target = QFile::symLinkTarget(procFile(pid, "exe"));
    if (target.isEmpty())
        return QString();
    return programFromTarget(target, nullptr, pid);
}

QString ProcessList::executablePath(qint32 pid, const QString &reportedExe, const QStringList &reportedArgs) const
{
    const QString target = QFile::symLinkTarget(procFile(pid, "exe"));
    if (!target.isEmpty())
        return programFromTarget(target, nullptr, pid);
    // Gone: what the collector read while it lived, when it names a file.
    if (!reportedExe.startsWith(QLatin1Char('/')))
        return QString();
    return programFromTarget(reportedExe, &reportedArgs, pid);
}

QString ProcessList::programFromTarget(const QString &target, const QStringList *args, qint32 pid) const
{
    // The kernel appends " (deleted)" to the link of a removed program.
    const QString program = target.split(QLatin1Char(' ')).first();
    if (!isInterpreter(program))
        return program;

    // For a shell or script interpreter the program is its first absolute
    // argument, the script.
    QStringList read;
    if (!args) {
        QFile cmdline(procFile(pid, "cmdline"));
        if (!cmdline.open(QIODevice::ReadOnly))
            return QString();
        const QByteArray text = cmdline.readAll();
        // The arguments are NUL-separated, so the decoding must cover the whole
        // buffer (the QByteArray overload stops at the first NUL).
        read = QString::fromLocal8Bit(text.constData(), text.size()).split(QLatin1Char('\0'), Qt::SkipEmptyParts);
        args = &read;
    }
    bool first = true;
    for (const QString &arg : *args) {
        // Empty arguments are skipped as in the NUL-separated text.
        if (arg.isEmpty())
            continue;
        if (first) {
            first = false;
            continue;
        }
        if (arg.startsWith(QLatin1Char('/')))
            return arg;
    }
    return QString();
}

bool ProcessList::isInterpreter(const QString &path) const
{
    const QString name = fileNamePart(path);
    for (const QString &shell : shells) {
        if (shell.contains(name))
            return true;
    }
    static const QRegularExpression interpreters(QStringLiteral("^(python|perl|php)([0-9.]+)?$"));
    return interpreters.match(name).hasMatch();
}

qint32 ProcessList::parentPid(qint32 pid) const
{
    const QString path = procFile(pid, "stat");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "无法打开文件:" << path;
        return -1;
    }
    QTextStream in(&file);
    const QString line = in.readLine();
    if (line.isEmpty())
        return -1;
    const QStringList fields = line.split(QLatin1Char(' '));
    if (fields.size() < 4) {
        qWarning() << "stat 文件格式错误:" << line;
        return -1;
    }
    bool ok = false;
    const qint32 parent = fields.at(3).toInt(&ok, 10);
    if (!ok) {
        qWarning() << "无法解析父进程ID:" << fields.at(3);
        return -1;
    }
    return parent;
}

QString ProcessList::resolveApplication(const QString &path, qint32 pid) const
{
    if (path.isEmpty())
        return QStringLiteral("-");

    if (path.startsWith(QLatin1String("/opt/")) && !QFileInfo::exists(path)) {
        // A program under /opt that this daemon cannot see (another mount
        // namespace): name it after the nearest process, itself first, whose
        // program lies under the varsella application root.
        if (pid < 2)
            return QStringLiteral("-");
        for (bool itself = true;; itself = false) {
            QString program = executablePath(pid);
            // A process already gone is known by the path it was reported with.
            if (itself && program.isEmpty())
                program = path;
            if (program.startsWith(VarsellaRoot))
                return fileNamePart(program);
            pid = parentPid(pid);
            if (pid <= 1)
                return QStringLiteral("-");
        }
    }

    char buffer[PackageNameSize];
    std::memset(buffer, 0, sizeof buffer);
    if (findOwnerPackage(path.toUtf8().constData(), buffer, sizeof buffer) != 0) {
        // The database may register the merged-/usr path or the /opt one.
        QString rewritten = path;
        if (rewritten.startsWith(QLatin1String("/var/opt")))
            rewritten.replace(0, 5, QStringLiteral("/"));
        if (rewritten.startsWith(QLatin1String("/usr/")))
            rewritten.replace(0, 5, QStringLiteral("/"));
        if (findOwnerPackage(rewritten.toUtf8().constData(), buffer, sizeof buffer) != 0)
            return QStringLiteral("-");
    }
    return QString::fromUtf8(buffer, int(qstrnlen(buffer, sizeof buffer)));
}

int ProcessList::findOwnerPackage(const char *path, char *buffer, int size) const
{
    return ferrow::packagedb::findOwner(path, buffer, std::size_t(size));
}

} // namespace process
} // namespace sysmonitor

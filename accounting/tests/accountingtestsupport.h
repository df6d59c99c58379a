#pragma once

// Shared set-up of the accounting tests: every data file of the daemon lies in
// a temporary directory, the collector cannot start (its script does not
// exist), and a small package database can be fabricated for libdpkg.

#include "defaults.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QString>
#include <QStringList>

#include <sqlite3.h>
#include <utime.h>

namespace accountingtest {

// Replaces every path: the other fixed paths (package database, shells,
// /proc) are back at their production values.
inline void pointDefaultsInto(const QString &dir)
{
    ferrow::defaults().paths = ferrow::Paths(dir);
    ferrow::Paths &paths = ferrow::defaults().paths;
    paths.collectorScript = dir + QStringLiteral("/no-collector.py");
    paths.collectorInterpreter = QStringLiteral("/bin/true");
    paths.collectorSocket = dir + QStringLiteral("/c.sock");
}

struct FakePackage {
    QString name;
    QStringList files;
    QString architecture = QStringLiteral("amd64");
    QString multiArch; // empty, or "same"
};

inline FakePackage package(const QString &name, const QStringList &files)
{
    FakePackage p;
    p.name = name;
    p.files = files;
    return p;
}

inline bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(text) == text.size();
}

// A package database directory as libdpkg reads it: "status", one
// "info/<package>.list" per package and "diversions" (triples of lines).
inline bool writeFakePackageDatabase(const QString &adminDir, const QList<FakePackage> &packages,
                                     const QStringList &diversions = {})
{
    QDir().mkpath(adminDir + QStringLiteral("/info"));
    QDir().mkpath(adminDir + QStringLiteral("/updates"));
    QByteArray status;
    for (const FakePackage &p : packages) {
        status += "Package: " + p.name.toUtf8() + "\nStatus: install ok installed\nPriority: optional\n"
                  "Maintainer: Test <test@example.org>\nArchitecture: " + p.architecture.toUtf8() + "\n";
        if (!p.multiArch.isEmpty())
            status += "Multi-Arch: " + p.multiArch.toUtf8() + "\n";
        status += "Version: 1.0\nDescription: test package\n\n";
        const QString listName = p.multiArch == QLatin1String("same") ? p.name + QLatin1Char(':') + p.architecture
                                                                      : p.name;
        QByteArray list;
        for (const QString &file : p.files)
            list += file.toUtf8() + '\n';
        if (!writeText(adminDir + QStringLiteral("/info/") + listName + QStringLiteral(".list"), list))
            return false;
    }
    QByteArray diverted;
    for (const QString &line : diversions)
        diverted += line.toUtf8() + '\n';
    return writeText(adminDir + QStringLiteral("/info/format"), "1\n")
           && writeText(adminDir + QStringLiteral("/diversions"), diverted)
           && writeText(adminDir + QStringLiteral("/status"), status);
}

// Moves a file's modification time, so mtime comparisons do not depend on the
// file system's time resolution.
inline bool setModificationTime(const QString &path, const QDateTime &time)
{
    struct utimbuf times;
    times.actime = time.toSecsSinceEpoch();
    times.modtime = time.toSecsSinceEpoch();
    return utime(QFile::encodeName(path).constData(), &times) == 0;
}

// Runs one query on a database file and returns the first column of every row
// joined by "|" per row and ";" between rows.
inline QString queryRows(const QString &databaseFile, const char *sql)
{
    sqlite3 *db = nullptr;
    QStringList rows;
    if (sqlite3_open_v2(QFile::encodeName(databaseFile).constData(), &db, SQLITE_OPEN_READONLY, nullptr)
        == SQLITE_OK) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) {
                QStringList columns;
                for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                    columns << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)));
                rows << columns.join(QLatin1Char('|'));
            }
        } else {
            rows << QStringLiteral("error: ") + QString::fromUtf8(sqlite3_errmsg(db));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return rows.join(QLatin1Char(';'));
}

} // namespace accountingtest

#pragma once

// Helpers shared by the traffic database tests: direct access to the test
// database file and a capture of what the code under test prints to stderr.

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>
#include <QtTest>

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <future>
#include <thread>
#include <unistd.h>

// Sets the local time zone of the process (C library, SQLite and Qt alike).
inline void setTimeZone(const char *tz)
{
    qputenv("TZ", tz);
    tzset();
}

// Redirects file descriptor 2 into a temporary file while it lives.
class StderrCapture
{
public:
    StderrCapture()
    {
        m_file.open();
        fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        dup2(m_file.handle(), STDERR_FILENO);
    }
    ~StderrCapture() { restore(); }

    // Everything printed so far; stops the capture.
    QByteArray text()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0)
            return;
        fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

// A connection of the test itself to the database file.
class TestDatabase
{
public:
    explicit TestDatabase(const QString &path)
    {
        sqlite3_open(path.toUtf8().constData(), &m_db);
    }
    ~TestDatabase() { sqlite3_close(m_db); }
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    sqlite3 *handle() const { return m_db; }

    bool exec(const QString &sql)
    {
        char *error = nullptr;
        const int rc = sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, &error);
        if (rc != SQLITE_OK)
            qWarning("test SQL failed: %s: %s", qPrintable(sql), error);
        sqlite3_free(error);
        return rc == SQLITE_OK;
    }

    // Every row of a query, its columns joined by '|'.
    QStringList rows(const QString &sql)
    {
        QStringList result;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(m_db, sql.toUtf8().constData(), -1, &stmt, nullptr) != SQLITE_OK) {
            qWarning("test query failed: %s: %s", qPrintable(sql), sqlite3_errmsg(m_db));
            return result;
        }
        while (sqlite3_step(stmt) == SQLITE_ROW) {
            QStringList columns;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i)
                columns << QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)));
            result << columns.join(QLatin1Char('|'));
        }
        sqlite3_finalize(stmt);
        return result;
    }

    bool createTables()
    {
        return exec(QStringLiteral(
                   "CREATE TABLE app_data ( id INTEGER PRIMARY KEY, pkgname TEXT NOT NULL, recv BIGINT NOT NULL,"
                   " sent BIGINT NOT NULL, total BIGINT NOT NULL, time DATE NOT NULL DEFAULT (date('now')),"
                   " UNIQUE (pkgname, time));"))
            && exec(QStringLiteral(
                   "CREATE TABLE hour_data ( id INTEGER PRIMARY KEY, time TEXT NOT NULL, mins INTEGER NOT NULL,"
                   " recv BIGINT NOT NULL, sent BIGINT NOT NULL, recv_peak INTEGER NOT NULL,"
                   " sent_peak INTEGER NOT NULL, total_peak INTEGER NOT NULL,"
                   " report_status INTEGER NOT NULL DEFAULT 0, UNIQUE (time));"));
    }

    bool insertApp(const QString &pkgname, const QDate &date, qint64 recv, qint64 sent)
    {
        return exec(QStringLiteral("INSERT INTO app_data (pkgname, recv, sent, total, time) VALUES ('%1', %2, %3, %4, '%5');")
                        .arg(pkgname)
                        .arg(recv)
                        .arg(sent)
                        .arg(recv + sent)
                        .arg(date.toString(Qt::ISODate)));
    }

    bool insertHour(const QString &key, int mins, qint64 recv, qint64 sent, int recvPeak = 0, int sentPeak = 0,
                    int totalPeak = 0, int status = 0)
    {
        return exec(QStringLiteral("INSERT INTO hour_data (time, mins, recv, sent, recv_peak, sent_peak, total_peak,"
                                   " report_status) VALUES ('%1', %2, %3, %4, %5, %6, %7, %8);")
                        .arg(key)
                        .arg(mins)
                        .arg(recv)
                        .arg(sent)
                        .arg(recvPeak)
                        .arg(sentPeak)
                        .arg(totalPeak)
                        .arg(status));
    }

private:
    sqlite3 *m_db = nullptr;
};

// Runs a second connection on its own thread that runs lockSql (which takes a
// lock and may change rows inside its transaction), tells the test it holds
// the lock, and commits once released or after holdMs.
class LockHolder
{
public:
    LockHolder(const QString &path, const char *lockSql, int holdMs)
    {
        std::future<bool> ready = m_locked.get_future();
        const QByteArray file = path.toUtf8();
        m_thread = std::thread([this, file, lockSql, holdMs] {
            sqlite3 *db = nullptr;
            sqlite3_open(file.constData(), &db);
            // The commit may have to wait for a reader to let go.
            sqlite3_busy_timeout(db, 5000);
            m_locked.set_value(sqlite3_exec(db, lockSql, nullptr, nullptr, nullptr) == SQLITE_OK);
            m_release.get_future().wait_for(std::chrono::milliseconds(holdMs));
            m_committed = sqlite3_exec(db, "COMMIT;", nullptr, nullptr, nullptr) == SQLITE_OK;
            sqlite3_close(db);
        });
        m_holding = ready.get();
    }
    ~LockHolder()
    {
        release();
    }
    LockHolder(const LockHolder &) = delete;
    LockHolder &operator=(const LockHolder &) = delete;

    // Whether lockSql succeeded.
    bool holding() const { return m_holding; }

    // Commits at once and waits for the connection to close; true when the
    // commit succeeded.
    bool release()
    {
        if (m_thread.joinable()) {
            m_release.set_value();
            m_thread.join();
        }
        return m_committed;
    }

private:
    std::promise<bool> m_locked;
    std::promise<void> m_release;
    std::thread m_thread;
    bool m_holding = false;
    bool m_committed = false;
};

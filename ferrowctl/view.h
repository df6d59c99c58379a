#pragma once

// Text helpers of the human output: sizes, times, aligned tables, bars, colour.

#include <QString>
#include <QStringList>
#include <QVector>

#include <cstdint>
#include <ctime>

namespace ferrowctl {

// Bytes in IEC units: "512 B", "1.5 KiB", "12.3 GiB".
QString iecSize(int64_t bytes);
// A rate in bytes per second: "1.5 KiB/s".
QString iecRate(double bytesPerSecond);

// Seconds since the epoch as local ISO 8601 with its offset: "2024-05-10T13:00:00+02:00".
QString isoTime(int64_t seconds);
// An hour key "YYYY-MM-DD HH:00" (local) as ISO 8601; empty for an empty key.
QString isoHour(const QString &hourKey);
// Seconds since the epoch as "YYYY-MM-DD HH:MM" local time.
QString shortTime(int64_t seconds);

// '#' characters for value out of max, over width columns; at least one for
// any value above zero.
QString bar(int64_t value, int64_t max, int width = 20);

enum Colour { Plain, Bold, Red, Yellow, Green, Dim };
// text wrapped in the escape sequence when enabled.
QString paint(const QString &text, Colour colour, bool enabled);

// An aligned table: columns separated by two spaces, numbers right-aligned.
class Table
{
public:
    // One header per column; a leading '>' right-aligns the column.
    explicit Table(const QStringList &headers);
    void addRow(const QStringList &cells);
    int rowCount() const { return m_rows.size(); }
    // The rendered lines, the header first (bold with colour).
    QString render(bool colour, int indent = 0) const;

private:
    QStringList m_headers;
    QVector<bool> m_right;
    QVector<QStringList> m_rows;
};

} // namespace ferrowctl

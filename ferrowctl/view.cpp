#include "view.h"

#include <QDateTime>

#include <algorithm>
#include <cmath>

namespace ferrowctl {

namespace {

QString scaled(double value, const char *suffix)
{
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    int unit = 0;
    while (std::fabs(value) >= 1024.0 && unit < 6) {
        value /= 1024.0;
        ++unit;
    }
    if (unit == 0)
        return QStringLiteral("%1 B%2").arg(qint64(std::llround(value))).arg(QLatin1String(suffix));
    // Three significant figures at most: 1.23, 12.3, 123.
    const int decimals = std::fabs(value) < 10 ? 2 : std::fabs(value) < 100 ? 1 : 0;
    return QStringLiteral("%1 %2%3").arg(value, 0, 'f', decimals).arg(QLatin1String(units[unit])).arg(QLatin1String(suffix));
}

} // namespace

QString iecSize(int64_t bytes)
{
    return scaled(double(bytes), "");
}

QString iecRate(double bytesPerSecond)
{
    return scaled(bytesPerSecond, "/s");
}

QString isoTime(int64_t seconds)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(seconds);
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QString isoHour(const QString &hourKey)
{
    const QDateTime local = QDateTime::fromString(hourKey, QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!local.isValid())
        return hourKey;
    return local.toOffsetFromUtc(local.offsetFromUtc()).toString(Qt::ISODate);
}

QString shortTime(int64_t seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString bar(int64_t value, int64_t max, int width)
{
    if (value <= 0 || max <= 0)
        return QString();
    const int n = std::clamp(int(std::llround(double(value) / double(max) * width)), 1, width);
    return QString(n, QLatin1Char('#'));
}

QString paint(const QString &text, Colour colour, bool enabled)
{
    if (!enabled || colour == Plain || text.isEmpty())
        return text;
    const char *code = "1";
    switch (colour) {
    case Bold: code = "1"; break;
    case Red: code = "31"; break;
    case Yellow: code = "33"; break;
    case Green: code = "32"; break;
    case Dim: code = "2"; break;
    case Plain: break;
    }
    return QStringLiteral("\033[%1m%2\033[0m").arg(QLatin1String(code), text);
}

Table::Table(const QStringList &headers)
{
    for (const QString &h : headers) {
        const bool right = h.startsWith(QLatin1Char('>'));
        m_right.append(right);
        m_headers.append(right ? h.mid(1) : h);
    }
}

void Table::addRow(const QStringList &cells)
{
    m_rows.append(cells);
}

QString Table::render(bool colour, int indent) const
{
    QVector<int> widths(m_headers.size());
    for (int c = 0; c < m_headers.size(); ++c) {
        widths[c] = m_headers[c].size();
        for (const QStringList &row : m_rows)
            widths[c] = std::max(widths[c], int(row.value(c).size()));
    }
    auto line = [&](const QStringList &cells) {
        QString text(indent, QLatin1Char(' '));
        for (int c = 0; c < m_headers.size(); ++c) {
            const QString cell = cells.value(c);
            const bool last = c == m_headers.size() - 1;
            if (c > 0)
                text += QStringLiteral("  ");
            if (m_right[c])
                text += cell.rightJustified(widths[c]);
            else
                text += last ? cell : cell.leftJustified(widths[c]);
        }
        // A left-aligned last column leaves no trailing blanks.
        while (text.endsWith(QLatin1Char(' ')))
            text.chop(1);
        return text;
    };
    QString out = paint(line(m_headers), Bold, colour) + QLatin1Char('\n');
    for (const QStringList &row : m_rows)
        out += line(row) + QLatin1Char('\n');
    return out;
}

} // namespace ferrowctl

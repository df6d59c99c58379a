#include "jsonescape.h"

namespace sysmonitor {
namespace process {

static QString escapeOnce(const QString &text)
{
    QString escaped;
    escaped.reserve(text.size() + 8);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"': escaped += QLatin1String("\\\""); break;
        case '\\': escaped += QLatin1String("\\\\"); break;
        case '\b': escaped += QLatin1String("\\b"); break;
        case '\f': escaped += QLatin1String("\\f"); break;
        case '\n': escaped += QLatin1String("\\n"); break;
        case '\r': escaped += QLatin1String("\\r"); break;
        case '\t': escaped += QLatin1String("\\t"); break;
        default:
            if (c.unicode() < 0x20)
                escaped += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                escaped += c;
        }
    }
    return escaped;
}

QString jsonEscape(const QString &text, int times)
{
    QString escaped = text;
    for (int i = 0; i < times; ++i)
        escaped = escapeOnce(escaped);
    return escaped;
}

} // namespace process
} // namespace sysmonitor

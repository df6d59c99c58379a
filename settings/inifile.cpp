#include "inifile.h"

#include <QFile>
#include <QSaveFile>
#include <QStringList>

namespace {

enum class LineKind { Other, Section, Entry };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    QString name;     // section name or key, unescaped
    QString rawValue; // text after the first '=' of an entry
};

QString percentDecoded(const QString &text)
{
    if (!text.contains(QLatin1Char('%')))
        return text;
    return QString::fromUtf8(QByteArray::fromPercentEncoding(text.toUtf8()));
}

ParsedLine parseLine(const QString &line)
{
    ParsedLine parsed;
    const QString text = line.trimmed();
    if (text.isEmpty() || text.startsWith(QLatin1Char(';')))
        return parsed;
    if (text.startsWith(QLatin1Char('['))) {
        const int close = text.indexOf(QLatin1Char(']'));
        parsed.kind = LineKind::Section;
        parsed.name = percentDecoded(text.mid(1, close < 0 ? -1 : close - 1).trimmed());
        return parsed;
    }
    const int eq = text.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return parsed;
    parsed.kind = LineKind::Entry;
    parsed.name = percentDecoded(text.left(eq).trimmed());
    parsed.rawValue = text.mid(eq + 1);
    return parsed;
}

QChar escapedChar(QChar c)
{
    switch (c.unicode()) {
    case 'a': return QChar(0x07);
    case 'b': return QChar(0x08);
    case 'f': return QChar(0x0c);
    case 'n': return QChar(0x0a);
    case 'r': return QChar(0x0d);
    case 't': return QChar(0x09);
    case 'v': return QChar(0x0b);
    default: return c; // \" \' \? \\ and anything else stand for themselves
    }
}

// Qt's reading of a value: quoted parts taken literally (with backslash
// escapes), blanks around unquoted parts dropped, an unquoted ';' starting a
// comment and an unquoted ',' separating list items.
QStringList unescapedItems(const QString &raw)
{
    QStringList items;
    QString current;
    QString blanks;
    bool inQuotes = false;
    for (int i = 0; i < raw.size(); ++i) {
        QChar c = raw.at(i);
        if (c == QLatin1Char('\\') && i + 1 < raw.size()) {
            c = escapedChar(raw.at(++i));
        } else if (c == QLatin1Char('"')) {
            inQuotes = !inQuotes;
            if (!current.isEmpty())
                current += blanks;
            blanks.clear();
            continue;
        } else if (!inQuotes) {
            if (c == QLatin1Char(';'))
                break;
            if (c == QLatin1Char(',')) {
                items << current;
                current.clear();
                blanks.clear();
                continue;
            }
            if (c.isSpace()) {
                blanks += c;
                continue;
            }
        }
        if (!current.isEmpty())
            current += blanks;
        blanks.clear();
        current += c;
    }
    items << current;
    return items;
}

QString unescapedValue(const QString &raw)
{
    const QStringList items = unescapedItems(raw);
    if (items.size() > 1)
        return QStringLiteral(""); // a list does not convert to one text
    const QString &text = items.first();
    if (text.startsWith(QLatin1String("@@")))
        return text.mid(1);
    if (text == QLatin1String("@Invalid()"))
        return QString();
    if (text.startsWith(QLatin1String("@ByteArray(")) && text.endsWith(QLatin1Char(')')))
        return text.mid(11, text.size() - 12);
    if (text.startsWith(QLatin1String("@Variant(")))
        return QStringLiteral("");
    return text.isNull() ? QStringLiteral("") : text;
}

QString escapedKey(const QString &key)
{
    return QString::fromLatin1(key.toUtf8().toPercentEncoding("_.-"));
}

QString escapedValue(const QString &value)
{
    QString text = value.startsWith(QLatin1Char('@')) ? QLatin1Char('@') + value : value;
    const bool quote = text != text.trimmed() || text.contains(QLatin1Char(';')) || text.contains(QLatin1Char(','))
        || text.contains(QLatin1Char('=')) || text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\\'))
        || text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
    if (!quote)
        return text;
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('"'), QLatin1String("\\\""));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QStringList fileLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar(0xfeff)))
        text.remove(0, 1);
    QStringList lines = text.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

} // namespace

namespace IniFile {

QString read(const QString &path, const QString &group, const QString &key)
{
    QString found;
    bool inGroup = false;
    const QStringList lines = fileLines(path);
    for (const QString &line : lines) {
        const ParsedLine parsed = parseLine(line);
        if (parsed.kind == LineKind::Section)
            inGroup = parsed.name == group;
        else if (inGroup && parsed.kind == LineKind::Entry && parsed.name == key)
            found = unescapedValue(parsed.rawValue); // the last one wins, as in Qt
    }
    return found;
}

bool write(const QString &path, const QString &group, const QString &key, const QString &value)
{
    const QString entry = escapedKey(key) + QLatin1Char('=') + escapedValue(value);
    QStringList out;
    int insertAt = -1; // after the last non-blank line of the group's first section
    bool inGroup = false;
    bool inFirstSection = false;
    bool groupSeen = false;
    const QStringList lines = fileLines(path);
    for (const QString &line : lines) {
        const ParsedLine parsed = parseLine(line);
        if (parsed.kind == LineKind::Section) {
            inGroup = parsed.name == group;
            inFirstSection = inGroup && !groupSeen;
            groupSeen = groupSeen || inGroup;
        } else if (inGroup && parsed.kind == LineKind::Entry && parsed.name == key) {
            continue; // every earlier setting of the key gives way to the new line
        }
        out << line;
        if (inFirstSection && !line.trimmed().isEmpty())
            insertAt = out.size();
    }
    if (insertAt >= 0) {
        out.insert(insertAt, entry);
    } else {
        if (!out.isEmpty() && !out.last().trimmed().isEmpty())
            out << QString();
        out << QLatin1Char('[') + escapedKey(group) + QLatin1Char(']') << entry;
    }

    // QSaveFile writes a new file beside the old one and renames it into place.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write((out.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8());
    return file.commit();
}

} // namespace IniFile

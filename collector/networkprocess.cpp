#include "networkprocess.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QSet>

#include <cmath>
#include <limits>

namespace {

// A whole JSON number that fits in 32 bits; anything else reads as 0.
qint32 pidFromJson(const QJsonValue &value)
{
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (!std::isfinite(number) || std::trunc(number) != number)
        return 0;
    if (number < double(std::numeric_limits<qint32>::min())
        || number > double(std::numeric_limits<qint32>::max()))
        return 0;
    return qint32(number);
}

// General value conversion to an unsigned 64-bit count: a number goes to the
// nearest integer (half away from zero; below zero gives 0, beyond the range
// gives the largest count), a string must hold a decimal integer, true is 1,
// everything else 0.
quint64 counterFromJson(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Double: {
        const double rounded = std::round(value.toDouble());
        if (!(rounded > 0.0))
            return 0;
        // 2^64 is exactly representable; every double below it converts safely.
        if (rounded >= 18446744073709551616.0)
            return std::numeric_limits<quint64>::max();
        return quint64(rounded);
    }
    case QJsonValue::String: {
        bool ok = false;
        const quint64 parsed = value.toString().toULongLong(&ok, 10);
        return ok ? parsed : 0;
    }
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    default:
        return 0;
    }
}

double speedFromJson(const QJsonValue &value)
{
    return value.isDouble() ? value.toDouble() : 0.0;
}

bool usableText(const QString &text, int limit)
{
    return !text.isEmpty() && text.size() <= limit && !text.contains(QChar(0));
}

// The optional program members; anything outside their bounds reads as absent.
void programFromJson(const QJsonObject &entry, NetworkProcess &process)
{
    const auto exeAt = entry.constFind(QLatin1String("exe"));
    if (exeAt == entry.constEnd())
        return;
    const QJsonValue exe = exeAt.value();
    if (!exe.isString())
        return;
    const QString text = exe.toString();
    if (!usableText(text, MaxReportedExe))
        return;
    process.exe = text;

    const QJsonValue cmdline = entry.value(QLatin1String("cmdline"));
    if (!cmdline.isArray())
        return;
    const QJsonArray args = cmdline.toArray();
    if (args.size() > MaxReportedArgs)
        return;
    QStringList list;
    list.reserve(args.size());
    int chars = 0;
    for (const QJsonValue &arg : args) {
        if (!arg.isString())
            return;
        const QString value = arg.toString();
        chars += value.size();
        if (chars > MaxReportedArgsChars || value.contains(QChar(0)))
            return;
        list.append(value);
    }
    process.cmdline = list;
}

// The texts of one document's processes, each kept once: the many processes of
// one program carry the same name and program, and the whole decoded list is
// alive beside the parsed document until the report has been merged.
class DocumentTexts
{
public:
    void share(QString &text) { share(texts, text); }
    void share(QStringList &list) { share(lists, list); }

private:
    template<typename T>
    static void share(QSet<T> &kept, T &value)
    {
        if (value.isEmpty())
            return;
        const auto found = kept.constFind(value);
        if (found != kept.constEnd())
            value = *found;
        else
            kept.insert(value);
    }

    QSet<QString> texts;
    QSet<QStringList> lists;
};

// Registered as soon as the library is loaded, so the names are known even
// before the first monitor exists.
const bool typesRegistered = (registerNetworkProcessTypes(), true);

} // namespace

void registerNetworkProcessTypes()
{
    qRegisterMetaType<NetworkProcess>("NetworkProcess");
    qRegisterMetaType<QList<NetworkProcess>>("QList<NetworkProcess>");
}

NetworkProcess networkProcessFromJson(const QJsonObject &entry)
{
    NetworkProcess process;
    process.pid = pidFromJson(entry.value(QLatin1String("pid")));
    const QJsonValue comm = entry.value(QLatin1String("comm"));
    if (comm.isString())
        process.comm = comm.toString();
    process.tx_bytes = counterFromJson(entry.value(QLatin1String("tx_bytes")));
    process.rx_bytes = counterFromJson(entry.value(QLatin1String("rx_bytes")));
    process.tx_speed = speedFromJson(entry.value(QLatin1String("tx_speed")));
    process.rx_speed = speedFromJson(entry.value(QLatin1String("rx_speed")));
    programFromJson(entry, process);
    return process;
}

bool networkProcessesFromDocument(const QJsonObject &document, QList<NetworkProcess> &processes)
{
    processes.clear();
    const QJsonValue type = document.value(QLatin1String("type"));
    if (!type.isString() || type.toString() != QLatin1String("network_data"))
        return false;

    // A missing or non-array "processes" reads as an empty array, a
    // non-object element as an empty object.
    const QJsonArray entries = document.value(QLatin1String("processes")).toArray();
    processes.reserve(entries.size());
    DocumentTexts texts;
    for (const QJsonValue &entry : entries) {
        NetworkProcess process = networkProcessFromJson(entry.toObject());
        texts.share(process.comm);
        texts.share(process.exe);
        texts.share(process.cmdline);
        processes.append(process);
    }
    return true;
}

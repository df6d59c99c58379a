#pragma once

#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QStringList>

// One process as reported by the collector. The field names are the
// collector's own JSON keys (tx: transmitted, rx: received); the values are
// carried unchanged, their meaning belongs to the process table.
struct NetworkProcess {
    qint32 pid = 0;
    QString comm;
    quint64 tx_bytes = 0;
    quint64 rx_bytes = 0;
    double tx_speed = 0.0;
    double rx_speed = 0.0;
    // The program as the collector saw it while the process lived ("exe": the
    // /proc/<pid>/exe target, "cmdline": the start of the argument list).
    // Optional: empty when not reported or unusable (see the limits below).
    QString exe;
    QStringList cmdline;
};

// Bounds of the reported program: an "exe" that is not a string of 1 to
// MaxReportedExe characters without NUL is ignored together with its
// "cmdline"; a "cmdline" that is not an array of at most MaxReportedArgs
// strings without NUL, of MaxReportedArgsChars characters in all, is ignored.
constexpr int MaxReportedExe = 4096;
constexpr int MaxReportedArgs = 256;
constexpr int MaxReportedArgsChars = 8192;

Q_DECLARE_METATYPE(NetworkProcess)

// Makes "NetworkProcess" and "QList<NetworkProcess>" known to the meta-type
// system (so the list can travel in queued signals and be iterated as a
// sequential container). Safe to call any number of times.
void registerNetworkProcessTypes();

// Fills a record from one element of a "processes" array, field by field,
// starting from the default record. Never fails: wrong or missing values
// give the defaults.
NetworkProcess networkProcessFromJson(const QJsonObject &entry);

// Decodes one received document. Returns true and fills `processes` (in array
// order, possibly empty) when the document's "type" is exactly "network_data";
// returns false and leaves `processes` empty for every other document.
bool networkProcessesFromDocument(const QJsonObject &document, QList<NetworkProcess> &processes);

#pragma once

#include <QString>

#include "jsonescape.h"

// Text pieces of an alarm report.
//
// The report is three levels of JSON: an outer object whose "message" is a
// JSON string holding an object whose "detail" is a JSON string holding the
// application list. A value placed at level n is therefore escaped n times,
// so that every level parses and each value arrives unchanged after the
// levels are unwrapped.
namespace sysmonitor {
namespace process {
namespace alarmtext {

using ::sysmonitor::process::jsonEscape;

// "总", "上行", "下行" for the total, egress and ingress audits (kind: an
// AuditConfig::AuditBit); empty for any other kind.
QString directionWord(int kind);

// Hours elapsed in the current period with two decimals: the time since
// periodStart modulo the period, in truncated hundredths of an hour, "0.01"
// in place of "0.00".
QString elapsedText(qint64 nowSeconds, qint64 periodStart, int periodHours);

// Direction word, "流量使用超标,", elapsed text, "小时内使用", byte text.
QString description(int kind, const QString &elapsed, const QString &byteText);

// The one-line alarm message. user and ip are plain values (escaped once
// here), desc is plain (escaped twice here), detail is the application list
// as the process table's topAppsFragment builds it (names escaped three times).
QString composeMessage(const QString &time, const QString &user, const QString &ip,
                       const QString &desc, const QString &detail);

} // namespace alarmtext
} // namespace process
} // namespace sysmonitor

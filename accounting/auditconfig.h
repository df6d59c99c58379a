#pragma once

#include <QtGlobal>

// Counting and audit settings in force, plus the audits that already raised
// their alarm in the current period. Written by the controller; the process
// table itself reads only auditFlags.
struct AuditConfig {
    // Audit bits shared by auditFlags and alarmSent.
    enum AuditBit : qint32 {
        TotalAudit = 1,   // bytes sent plus bytes received
        EgressAudit = 2,  // bytes sent
        IngressAudit = 4, // bytes received
    };

    qint32 countStatus = 0;      // 0 means counting off
    qint32 auditFlags = 0;       // effective audits (AuditBit values)
    qint32 alarmPeriod = 0;      // hours
    qint32 alarmSize = 0;        // GB, total audit
    qint32 egressAlarmSize = 0;  // GB, egress audit
    qint32 ingressAlarmSize = 0; // GB, ingress audit
    qint32 alarmSent = 0;        // audits already alarmed in this period (AuditBit values)
};

#include "defaults.h"

namespace ferrow {

Paths::Paths(const QString &dataDir)
    : dataDir(dataDir)
    , settingsFile(dataDir + QStringLiteral("/setting.conf"))
    , logFile(dataDir + QStringLiteral("/ferrow.log"))
    , databaseFile(dataDir + QStringLiteral("/ferrow.db"))
    , processInfoFile(dataDir + QStringLiteral("/process_info"))
    , appInfoFile(dataDir + QStringLiteral("/app_info"))
{
}

Defaults &defaults()
{
    static Defaults instance;
    return instance;
}

QDateTime currentDateTime()
{
    const Defaults &d = defaults();
    return d.clock ? d.clock() : QDateTime::currentDateTime();
}

} // namespace ferrow

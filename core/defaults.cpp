#include "defaults.h"

namespace ferrow {

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

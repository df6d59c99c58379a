#pragma once

#include <QString>

namespace sysmonitor {
namespace process {

// The text as the content of a JSON string: quotation mark, backslash and
// control characters escaped; everything else, non-ASCII included, unchanged.
// With times > 1 the escaping is applied that many times, for a value that
// sits inside a JSON string inside a JSON string.
QString jsonEscape(const QString &text, int times = 1);

} // namespace process
} // namespace sysmonitor

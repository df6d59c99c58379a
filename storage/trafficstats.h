#pragma once

// Statistics queries and the traffic report over the traffic database.
//
// Every query returns a new cJSON array owned by the caller (cJSON_Delete),
// empty when anything fails; the failure is printed to stderr.

#include "trafficdb.h"

#include <cJSON.h>

#include <cstdint>

// Bytes as gigabytes rounded to two decimals, at least 0.01.
double bytesToGB(int64_t bytes);

// The ten applications with the most traffic over the `days` local dates
// before today (today excluded), largest total first.
cJSON *queryTopApps(int days);

// The hour rows from 00:00 of the local date `days` days ago up to the
// previous local hour, each with its report mark as "status".
cJSON *queryHourRows(int days);

// The completed hours not yet reported. With markReported they are read and
// marked in one write transaction; when the mark cannot be written none is.
cJSON *queryUnreportedHours(bool markReported);

// {"hour":[...],"top10":{"7day":[...],"30day":[...]}} as unformatted JSON;
// marks the hours it carries as reported. Free with cJSON_free.
char *buildTrafficReport();

// The same at a given point in time (seconds since the epoch), bound into the
// statements instead of SQLite's own clock. The functions above pass
// currentTime().
cJSON *queryTopAppsAt(int days, time_t now);
cJSON *queryHourRowsAt(int days, time_t now);
cJSON *queryUnreportedHoursAt(bool markReported, time_t now);
char *buildTrafficReportAt(time_t now);

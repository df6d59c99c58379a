#pragma once

// Internal to the traffic database: the objects of the report documents, one
// per row, shared by the queries and the read-only report of the client so
// both print the same bytes.

#include <sqlite3.h>

#include <cJSON.h>

// Appends the object of one hour row. The statement's columns are: time,
// mins, recv, sent, recv_peak, sent_peak, total_peak[, report_status].
void appendHourObject(cJSON *array, sqlite3_stmt *stmt, bool withStatus);

// Appends the object of one application row: pkgname, recv, sent.
void appendTopAppObject(cJSON *array, sqlite3_stmt *stmt);

#include "trafficdb.h"

int tableExists(sqlite3 *, const char *) { return -1; }
int createAppTable(sqlite3 *) { return 1; }
int createHourTable(sqlite3 *) { return 1; }
void deleteExpiredRows(const char *, unsigned int) {}
int addAppTraffic(const char *, uint64_t, uint64_t) { return 1; }
int saveHourRecord(const char *, const HourRecord *) { return 1; }
int loadHourRecord(const char *, HourRecord *) { return -1; }
const char *hourKey(int hoursBack) { return hourKeyAt(time(nullptr), hoursBack); }
const char *hourKeyAt(time_t, int) { static char key[20] = ""; return key; }

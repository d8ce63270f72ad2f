// Progress and result parsing of the test utility's output, and the per-disk
// result store that outlives every rebuild of the disk list.
//
// Guard: every function that reads or changes the store (perfcapture,
// perfpush, perfpop, diskstats, and any walk of diskstat0) holds storelock, so
// the worker thread and the user-interface thread never touch it at once.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "disk/disk.h"

// An entry belongs to one device: the identity of the record it was measured
// on (DISKINFO_::devid), or, for a record without one, its name. Its figures
// return only to a record of the same identity, whatever that record's name.
struct DISKSTAT_ {
  char name[64];  // "disk" + BSD unit name, the latest the device had
  DISKPERF_ perf; // perf.date: the packed local date of the measurement
  DISKSTAT_* next;
  char checks[1024];  // the utility's verdicts on these figures, one line each
  char devid[128];  // empty: the entry is found by name
};

extern std::mutex storelock;
extern DISKSTAT_* diskstat0;
extern const char* keya[];  // "Sequential:", "Random:", "Dual:", "Threaded:", null
extern const char* key;     // "Percent: "

// Takes every complete progress line out of chunk (in place) and reports the
// last value through progress (if set).
void pctgrab(char* chunk, const std::function<void(double)>& progress);
// 0 all four saved, 86 a key missing, 76 a value of the wrong length. The
// verdict lines of the output ("Warning: ..." and "Checked: ..." at the start
// of a line) are saved with the figures, as many whole lines as fit. The
// figures are stored for the device of identity devid (by name when empty),
// stamped with the time of the call.
int perfcapture(const char* dev, const char* text);
int perfcapture(const char* dev, const char* devid, const char* text);
// The verdict lines of a saved checks text that begin with prefix ("Warning: ").
std::vector<std::string> perfchecks(const char* checks, const char* prefix = "");
// The output with its warning lines put first (a blank line after them);
// unchanged when it has none.
std::string perfwarnfirst(const char* text);
void perfpush(const DISKSTAT_* entry);
void perfpop(DISKINFO_* rec);
// The stored figures of a device, as perfpop finds them; false when none.
bool perfget(const char* dev, const char* devid, DISKPERF_& out);

// Progress and result lines of the test utility, and the per-disk result store.
#include "perf/store.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "disk/figures.h"
#include "util/prog.h"

std::mutex storelock;
DISKSTAT_* diskstat0 = nullptr;
const char* keya[] = {"Sequential:", "Random:", "Dual:", "Threaded:", nullptr};
const char* key = "Percent: ";

namespace {

constexpr long kNameMax = 60;   // names are cut to 59 characters
constexpr long kValueMax = 60;  // longest value text of a result line

// The field of a result block that key index i fills, in keya order.
int32_t& keyField(DISKPERF_& p, int i) {
  switch (i) {
    case 0: return p.seqkps;
    case 1: return p.randkps;
    case 2: return p.dualkps;
    default: return p.threadkps;
  }
}

// Cut toward zero; values beyond the 32-bit range are held at its ends, and
// a text that reads as not-a-number gives 0.
int32_t toFigure(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(v);
}

void copyFigures(DISKPERF_& dst, const DISKPERF_& src) {
  dst.seqkps = src.seqkps;
  dst.randkps = src.randkps;
  dst.threadkps = src.threadkps;
  dst.dualkps = src.dualkps;
  dst.date = src.date;
}

// Calls f(line, length) for each line of text that begins with prefix.
template <typename F>
void eachLine(const char* text, const char* prefix, F f) {
  const size_t plen = std::strlen(prefix);
  for (const char* p = text; p && *p;) {
    const size_t len = std::strcspn(p, "\r\n");
    if (len >= plen && std::strncmp(p, prefix, plen) == 0) f(p, len);
    p += len;
    while (*p == '\r' || *p == '\n') ++p;
  }
}

// The verdict lines of the utility's output, whole lines as far as they fit.
void saveChecks(char (&dst)[sizeof(DISKSTAT_::checks)], const char* text) {
  size_t used = 0;
  dst[0] = '\0';
  for (const char* prefix : {"Warning: ", "Checked: "})
    eachLine(text, prefix, [&](const char* p, size_t len) {
      if (used + len + 2 > sizeof dst) return;
      std::memcpy(dst + used, p, len);
      used += len;
      dst[used++] = '\n';
      dst[used] = '\0';
    });
}

// The entry of the device with identity devid, or (devid empty) the first
// entry without one named name (case-folded); the caller holds storelock.
DISKSTAT_* storefind(const char* name, const char* devid) {
  const bool byName = !devid || !*devid;
  for (DISKSTAT_* e = diskstat0; e; e = e->next) {
    if (byName ? (!e->devid[0] && zcpxcap(e->name, name)) : std::strcmp(e->devid, devid) == 0)
      return e;
  }
  return nullptr;
}

}  // namespace

void pctgrab(char* chunk, const std::function<void(double)>& progress) {
  if (!chunk) return;
  const size_t klen = std::strlen(key);
  bool found = false;
  long last = 0;
  // Each removal can join text into a new key, so search again from the start.
  char* p;
  while ((p = std::strstr(chunk, key)) != nullptr) {
    char* lf = std::strchr(p, '\n');
    if (!lf) break;  // an incomplete line stays for the stored output
    last = zcvsiq(p + klen);
    found = true;
    std::memmove(p, lf + 1, std::strlen(lf + 1) + 1);
  }
  if (found && progress) progress(static_cast<double>(last));
}

int perfcapture(const char* dev, const char* text) { return perfcapture(dev, "", text); }

int perfcapture(const char* dev, const char* devid, const char* text) {
  if (!dev || !text) return 86;
  DISKSTAT_ entry{};
  zcpfield(entry.name, dev, kNameMax);
  if (devid) zcpfield(entry.devid, devid);
  long when = zdtuxto(znow());
  entry.perf.date = when > 0 && when < INT32_MAX ? static_cast<int32_t>(when) : 0;
  for (int i = 0; keya[i]; ++i) {
    const char* at = std::strstr(text, keya[i]);
    if (!at) return 86;
    const char* v = at + std::strlen(keya[i]);
    size_t len = std::strcspn(v, "\r\n");
    if (len < 1 || len > static_cast<size_t>(kValueMax)) return 76;
    char value[kValueMax + 1];
    std::memcpy(value, v, len);
    value[len] = '\0';
    keyField(entry.perf, i) = toFigure(zcvsd(value));
  }
  saveChecks(entry.checks, text);
  perfpush(&entry);
  return 0;
}

void perfpush(const DISKSTAT_* entry) {
  std::lock_guard<std::mutex> guard(storelock);
  DISKSTAT_* e = storefind(entry->name, entry->devid);
  if (!e) {
    e = static_cast<DISKSTAT_*>(zmemclr(static_cast<long>(sizeof(DISKSTAT_))));
    zcpfield(e->devid, entry->devid);
    zcpfield(e->name, entry->name);
    e->next = diskstat0;
    diskstat0 = e;
  } else if (entry->devid[0]) {
    zcpfield(e->name, entry->name);  // the device's latest name
  }
  copyFigures(e->perf, entry->perf);
  zcpfield(e->checks, entry->checks);
}

bool perfget(const char* dev, const char* devid, DISKPERF_& out) {
  std::lock_guard<std::mutex> guard(storelock);
  const DISKSTAT_* e = storefind(dev, devid);
  if (e) copyFigures(out, e->perf);
  return e != nullptr;
}

namespace {
// The list's figures come from this store.
class StoreFigures : public DiskFigures {
 public:
  void fill(DISKINFO_* rec) override { perfpop(rec); }
};
StoreFigures storefigures;
[[maybe_unused]] const bool storeused = (setdiskfigures(&storefigures), true);
}  // namespace

void perfpop(DISKINFO_* rec) {
  if (!rec) return;
  char name[kNameMax];
  std::snprintf(name, sizeof name, "disk%s", rec->bsdname);
  std::lock_guard<std::mutex> guard(storelock);
  if (const DISKSTAT_* e = storefind(name, rec->devid)) {
    copyFigures(rec->perf, e->perf);
    zcpfield(rec->checks, e->checks);
  }
}

std::vector<std::string> perfchecks(const char* checks, const char* prefix) {
  std::vector<std::string> out;
  eachLine(checks, prefix, [&](const char* p, size_t len) { out.emplace_back(p, len); });
  return out;
}

std::string perfwarnfirst(const char* text) {
  if (!text) return std::string();
  std::string first;
  for (const std::string& w : perfchecks(text, "Warning: ")) first += w + "\n";
  return first.empty() ? std::string(text) : first + "\n" + text;
}

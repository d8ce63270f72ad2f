// --history [DEV] [--json] and --forget DEV: the test history on the terminal.
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "app/cli.h"
#include "disk/disk.h"
#include "perf/history.h"
#include "table/poolcore.h"

namespace vlm {
namespace {

std::string localTime(int64_t t) {
  const time_t when = static_cast<time_t>(t);
  tm lt{};
  localtime_r(&when, &lt);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &lt);
  return buf;
}

// The history's key of DEV: the identity of the listed device it names (its
// name when it has none), or DEV itself for a device no longer attached.
std::string historyKey(const std::string& dev) {
  PoolCore pool;
  std::lock_guard<std::recursive_mutex> lock(disklock);
  pool.Reload("", 0);
  const int row = findrow(dev);
  if (row < 0) return dev;
  const DISKINFO_* r = diskarray[row];
  return r->devid[0] ? r->devid : std::string("disk") + r->bsdname;
}

void printNotice(History& h) {
  const std::string n = h.takeNotice();
  if (!n.empty()) std::fprintf(stderr, "VLM-Performance: %s\n", n.c_str());
}

int listDevices(History& h, bool json) {
  const std::vector<HistoryDevice> devs = h.devices();
  if (json) {
    Record out = Record::array();
    for (const HistoryDevice& d : devs)
      out.push_back({{"id", d.device.empty() ? Record(nullptr) : Record(d.device)},
                     {"name", d.name},
                     {"tests", d.count},
                     {"last", localTime(d.lastTime)},
                     {"lastUnixTime", d.lastTime}});
    std::printf("%s\n", out.dump(2).c_str());
  } else if (devs.empty()) {
    std::printf("No tests in the history (%s).\n", h.path().c_str());
  } else {
    std::printf("%-10s %6s  %-16s  %s\n", "Device", "Tests", "Last", "Id");
    for (const HistoryDevice& d : devs)
      std::printf("%-10s %6lld  %-16s  %s\n", d.name.c_str(), static_cast<long long>(d.count),
                  localTime(d.lastTime).c_str(), d.device.empty() ? "-" : d.device.c_str());
  }
  return 0;
}

int listTests(History& h, const std::string& dev, bool json) {
  const std::vector<HistoryTest> tests = h.tests(historyKey(dev));
  if (json) {
    Record out = Record::array();
    for (const HistoryTest& t : tests) out.push_back(t.record);
    std::printf("%s\n", out.dump(2).c_str());
    return tests.empty() ? 1 : 0;
  }
  if (tests.empty()) {
    std::printf("No tests of %s in the history (%s).\n", dev.c_str(), h.path().c_str());
    return 1;
  }
  std::printf("%-16s  %-9s %-8s %5s %12s %12s %12s %12s\n", "Date", "Device", "Result", "Secs", "Sequential",
              "Random", "Dual Seq", "Threaded");
  for (const HistoryTest& t : tests) {
    int64_t k[4];
    recordKbps(t.record, k);
    const Record& p = t.record.value("parameters", Record::object());
    std::printf("%-16s  %-9s %-8s %5lld", localTime(t.unixTime).c_str(), t.name.c_str(), t.result.c_str(),
                static_cast<long long>(p.value("seconds", int64_t(0))));
    for (int64_t v : k) v > 0 ? std::printf(" %12lld", static_cast<long long>(v)) : std::printf(" %12s", "");
    std::printf("\n");
    for (const auto& [key, prefix] : {std::pair{"warnings", "Warning: "}, {"slower", "Slower: "}})
      for (const auto& w : t.record.value(key, Record::array()))
        std::printf("    %s%s\n", prefix, (w.is_object() ? w.value("text", "") : w.get<std::string>()).c_str());
  }
  return 0;
}

}  // namespace

int cliHistory(const CliOptions& opts) {
  History& h = history();
  int rc;
  if (!opts.forgetDevice.empty()) {
    const int n = h.forget(historyKey(opts.forgetDevice));
    if (n > 0)
      std::printf("Forgot %d test%s of %s.\n", n, n == 1 ? "" : "s", opts.forgetDevice.c_str());
    else
      std::printf("No tests of %s in the history (%s).\n", opts.forgetDevice.c_str(), h.path().c_str());
    rc = n > 0 ? 0 : 1;
  } else if (opts.historyDevice.empty()) {
    rc = listDevices(h, opts.json);
  } else {
    rc = listTests(h, opts.historyDevice, opts.json);
  }
  printNotice(h);
  return rc;
}

}  // namespace vlm

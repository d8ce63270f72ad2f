#include "perf/vlmperfutil/record.h"

#include <sys/utsname.h>

#include <ctime>
#include <nlohmann/json.hpp>

#include "perf/vlmperfutil/common.h"

#ifndef VLM_VERSION
#define VLM_VERSION "0"
#endif

namespace vpu {

namespace {

using Json = nlohmann::ordered_json;

// The reads that completed after the measured time (the drain) count in the
// last whole slice: a short slice at the end would look like a stall.
std::vector<uint64_t> wholeSlices(const Tally& t, int seconds) {
  std::vector<uint64_t> s = t.slices;
  const size_t whole = size_t(int64_t(seconds) * kSec / kSliceNs);
  if (whole == 0 || s.size() <= whole) return s;
  for (size_t i = whole; i < s.size(); ++i) s[whole - 1] += s[i];
  s.resize(whole);
  return s;
}

Json phaseJson(const PhaseReport& p, int seconds) {
  const Tally& t = p.t;
  const double secs = double(t.elapsed()) / 1e9;
  Json j;
  j["name"] = p.name;
  j["bytes"] = t.bytes;
  j["ios"] = t.ios;
  j["seconds"] = secs;
  j["kbps"] = kbPerSec(t.bytes, t.elapsed());
  j["iops"] = secs > 0 ? double(t.ios) / secs : 0.0;
  j["latencyNs"] = {{"mean", uint64_t(t.lat.mean() + 0.5)},
                    {"p50", t.lat.percentile(0.50)},
                    {"p99", t.lat.percentile(0.99)},
                    {"p999", t.lat.percentile(0.999)},
                    {"max", t.lat.max()}};
  Json bins = Json::array();
  for (auto [upper, n] : t.lat.compact()) bins.push_back({upper, n});
  j["histogram"] = std::move(bins);
  j["sliceMs"] = kSliceNs / kMs;
  j["sliceBytes"] = wholeSlices(t, seconds);
  return j;
}

}  // namespace

std::string recordJson(const Args& a, const Device& dev, const Plan& plan, const std::string& engine,
                       const std::vector<PhaseReport>& phases, int exitCode, double started) {
  utsname u{};
  uname(&u);
  Json r;
  r["format"] = "vlm-test-record";
  r["formatVersion"] = 1;
  r["program"] = {{"name", "vlmperfutil"}, {"version", VLM_VERSION}};
  r["time"] = isoTime(time_t(started));
  r["unixTime"] = int64_t(started);
  r["host"] = u.nodename;
  r["kernel"] = std::string(u.sysname) + " " + u.release;
  r["device"] = {{"name", a.device}, {"volume", a.name}, {"node", dev.node},
                 {"size", dev.size}, {"logicalBlock", dev.lbs}};
  Json plist = Json::array();
  for (const PhaseReport& p : phases)
    plist.push_back({{"name", p.name}, {"pattern", p.pattern}, {"blockSize", p.bs},
                     {"queueDepth", p.depth}, {"streams", p.streams}, {"threads", p.threads}});
  r["parameters"] = {{"seconds", plan.seconds},
                     {"warmUpSeconds", double(plan.warmNs()) / 1e9},
                     {"engine", engine},
                     {"phases", std::move(plist)}};
  Json done = Json::array();
  for (const PhaseReport& p : phases)
    if (p.finished) done.push_back(phaseJson(p, plan.seconds));
  r["phases"] = std::move(done);
  r["result"] = exitCode == kExitOk ? "Ok" : exitCode == kExitCanceled ? "Canceled" : "Failed";
  r["exitStatus"] = exitCode;
  // Names come from outside: bytes that are not UTF-8 are replaced, never fatal.
  return r.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void writeRecord(const std::string& json) {
  std::string line = kRecordMark + json + '\n';
  writeAll(1, line.data(), line.size());
}

}  // namespace vpu

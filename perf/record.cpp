#include "perf/record.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>

#include "perf/vlmperfutil/common.h"
#include "platform/devnames.h"
#include "util/prog.h"

#ifndef VLM_VERSION
#define VLM_VERSION "0"
#endif

extern const char* const kRecordSchema;  // docs/test-record.schema.json, built in

namespace vlm {

namespace {

constexpr char kMark = '\x1e';
constexpr size_t kMaxRecord = 4 << 20;   // a record is some tens of KB
constexpr off_t kMaxFile = 1 << 20;      // a saved record: the largest valid one is under 200 KB, unescaped
constexpr size_t kSpareSlices = 4;       // a phase's slices beyond its measured time

const Record& schema() {
  static const Record s = Record::parse(kRecordSchema);
  return s;
}

// --- the schema's rules, as far as the record's schema uses them ------------------

const char* typeName(const Record& v) {
  if (v.is_null()) return "null";
  if (v.is_boolean()) return "a boolean";
  if (v.is_number_integer()) return "an integer";
  if (v.is_number()) return "a number";
  if (v.is_string()) return "a string";
  if (v.is_array()) return "an array";
  return "an object";
}

bool hasType(const Record& v, const std::string& t) {
  if (t == "null") return v.is_null();
  if (t == "boolean") return v.is_boolean();
  if (t == "integer") return v.is_number_integer() || (v.is_number_float() && std::floor(v.get<double>()) == v.get<double>());
  if (t == "number") return v.is_number();
  if (t == "string") return v.is_string();
  if (t == "array") return v.is_array();
  return t == "object" && v.is_object();
}

std::string at(const std::string& path) { return path.empty() ? "the record" : path; }

std::string check(const Record& v, const Record& s, const std::string& path) {
  if (s.contains("$ref")) {
    const std::string ref = s["$ref"];
    return check(v, schema()["definitions"][ref.substr(ref.rfind('/') + 1)], path);
  }
  if (s.contains("type")) {
    bool ok = false;
    std::string want;
    for (const auto& t : s["type"].is_array() ? s["type"] : Record::array({s["type"]})) {
      ok = ok || hasType(v, t);
      want += (want.empty() ? "" : " or ") + t.get<std::string>();
    }
    if (!ok) return at(path) + ": is " + typeName(v) + ", should be " + want;
  }
  if (s.contains("const") && v != s["const"]) return at(path) + ": should be " + s["const"].dump();
  if (s.contains("enum")) {
    bool ok = false;
    for (const auto& e : s["enum"]) ok = ok || v == e;
    if (!ok) return at(path) + ": " + v.dump() + " is not one of " + s["enum"].dump();
  }
  if (s.contains("pattern") && v.is_string() &&
      !std::regex_search(v.get<std::string>(), std::regex(s["pattern"].get<std::string>())))
    return at(path) + ": \"" + v.get<std::string>() + "\" is not of the form " + s["pattern"].get<std::string>();
  if (s.contains("minimum") && v.is_number() && v.get<double>() < s["minimum"].get<double>())
    return at(path) + ": " + v.dump() + " is below " + s["minimum"].dump();
  if (s.contains("maximum") && v.is_number() && v.get<double>() > s["maximum"].get<double>())
    return at(path) + ": " + v.dump() + " is above " + s["maximum"].dump();
  if (s.contains("maxLength") && v.is_string()) {
    size_t chars = 0;  // characters, not bytes: UTF-8 continuation bytes don't count
    for (unsigned char c : v.get_ref<const std::string&>()) chars += (c & 0xC0) != 0x80;
    if (chars > s["maxLength"].get<size_t>())
      return at(path) + ": is " + std::to_string(chars) + " characters long, at most " + s["maxLength"].dump() +
             " allowed";
  }
  const std::string pre = path.empty() ? "" : path + "/";
  if (v.is_object()) {
    for (const auto& r : s.value("required", Record::array()))
      if (!v.contains(r.get<std::string>())) return at(path) + ": " + r.get<std::string>() + " is missing";
    const Record props = s.value("properties", Record::object());
    for (const auto& [name, sub] : props.items())
      if (v.contains(name))
        if (std::string p = check(v[name], sub, pre + name); !p.empty()) return p;
  }
  if (v.is_array()) {
    if (s.contains("minItems") && v.size() < s["minItems"].get<size_t>())
      return at(path) + ": has " + std::to_string(v.size()) + " items, at least " + s["minItems"].dump() + " needed";
    if (s.contains("maxItems") && v.size() > s["maxItems"].get<size_t>())
      return at(path) + ": has " + std::to_string(v.size()) + " items, at most " + s["maxItems"].dump() + " allowed";
    if (s.contains("items"))
      for (size_t i = 0; i < v.size(); ++i)
        if (std::string p = check(v[i], s["items"], pre + std::to_string(i)); !p.empty()) return p;
  }
  return "";
}

// --- pieces of completion ------------------------------------------------------------

// The lines of the text that begin with prefix, without it.
std::vector<std::string> linesOf(const std::string& text, const std::string& prefix) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind(prefix, 0) == 0) out.push_back(line.substr(prefix.size()));
  }
  return out;
}

Record minimalRecord(const RecordDevice& dev) {
  const time_t now = time(nullptr);
  utsname u{};
  uname(&u);
  Record r;
  r["format"] = "vlm-test-record";
  r["formatVersion"] = 1;
  r["program"] = Record::object();
  r["time"] = vpu::isoTime(now);
  r["unixTime"] = int64_t(now);
  r["host"] = u.nodename;
  r["kernel"] = std::string(u.sysname) + " " + u.release;
  auto bd = devnames::byName(dev.name);
  r["device"] = {{"name", dev.name}, {"node", bd ? bd->node : "/dev/" + dev.name},
                 {"size", dev.size}, {"logicalBlock", dev.logicalBlock}};
  r["parameters"] = {{"seconds", 5}, {"warmUpSeconds", 0}, {"engine", "unknown"},
                     {"phases", Record::array()}};
  r["phases"] = Record::array();
  return r;
}

std::string fmt(double v, int decimals) {
  char b[48];
  std::snprintf(b, sizeof b, "%.*f", decimals, v);
  return b;
}

std::string text(const Record& r, const char* key) {
  return r.contains(key) && r[key].is_string() ? r[key].get<std::string>() : std::string();
}

// Text for a reader: control bytes (C0, DEL and UTF-8's C1) become '?'.
std::string shown(std::string s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) < 0xA0 &&
        static_cast<unsigned char>(s[i + 1]) >= 0x80)
      s.replace(i, 2, "?");
    else if (c < 0x20 || c == 0x7F)
      s[i] = '?';
  }
  return s;
}

// A label value: backslash, quote and line feed escaped, other control bytes '?'.
std::string promLabel(const std::string& s) {
  std::string o;
  for (char c : s) {
    if (c == '\\') o += "\\\\";
    else if (c == '"') o += "\\\"";
    else if (c == '\n') o += "\\n";
    else o += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
  }
  return o;
}

// The kind of a warning, for the metrics' label.
const char* const kWarningKinds[] = {"busy", "cache", "link", "sparse", "other"};
std::string warningKind(const std::string& w) {
  if (w.find("busy") != std::string::npos) return "busy";
  if (w.find("sparse") != std::string::npos) return "sparse";
  if (w.find("ceiling") != std::string::npos) return "link";
  if (w.find("cache") != std::string::npos || w.find("memory") != std::string::npos) return "cache";
  return "other";
}

std::mutex recordlock;
std::vector<std::pair<std::string, Record>> records;  // guarded by recordlock

}  // namespace

// A cell as a spreadsheet takes it: quoted where it holds a separator, a
// quote or a line break; one that would begin a formula (= + - @, a tab or a
// carriage return) begins with ' and stays text.
std::string csvField(const std::string& cell) {
  const std::string s = !cell.empty() && std::strchr("=+-@\t\r", cell[0]) ? "'" + cell : cell;
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

// --- the tap ---------------------------------------------------------------------------

void RecordTap::take(char* chunk) {
  char* from = inside_ ? chunk : std::strchr(chunk, kMark);
  if (!from) return;
  const char* body = inside_ ? from : from + 1;  // the mark itself is not kept
  inside_ = true;
  const size_t n = std::strlen(body);
  if (text_.size() + n <= kMaxRecord) text_.append(body, n);
  *from = '\0';
}

RecordDevice recordDevice(const DISKINFO_* rec) {
  RecordDevice d;
  d.name = std::string("disk") + rec->bsdname;
  d.id = rec->devid;
  d.volume = rec->finder;
  const DISKINFO_* whole = (!rec->whole && rec->parent) ? rec->parent : rec;
  d.model = whole->name;
  d.serial = whole->serial;
  d.interconnect = whole->interconnect;
  d.link = rec->link[0] ? rec->link : whole->link;
  d.linkMBps = rec->link[0] ? rec->linkmbps : whole->linkmbps;
  d.size = rec->size;
  d.logicalBlock = rec->blocksize > 0 ? rec->blocksize : 512;
  return d;
}

Record completeRecord(const std::string& utilityRecord, const RecordDevice& dev,
                      const std::string& output, int waitStatus) {
  Record r;
  std::string utility;
  try {
    r = Record::parse(utilityRecord);
    if (!recordProblem(r).empty()) r = Record();
    else utility = text(r["program"], "name") + " " + text(r["program"], "version");
  } catch (const Record::exception&) {
    r = Record();
  }
  if (r.is_null()) r = minimalRecord(dev);
  r["program"] = {{"name", "VLM-Performance"}, {"version", VLM_VERSION}};
  if (!utility.empty()) r["program"]["utility"] = utility;
  Record& d = r["device"];
  d["name"] = dev.name;
  d["id"] = dev.id.empty() ? Record(nullptr) : Record(dev.id);
  d["volume"] = dev.volume;
  d["model"] = dev.model;
  d["serial"] = dev.serial;
  d["interconnect"] = dev.interconnect;
  // The utility's own "Link: " line, else what the list knows.
  const auto link = linesOf(output, "Link: ");
  std::smatch m;
  if (!link.empty() && link[0] != "unknown") {
    d["link"] = link[0];
    if (std::regex_search(link[0], m, std::regex("ceiling ([0-9.]+) MB/s")))
      d["linkMBps"] = std::stod(m[1]);
    else
      d["linkMBps"] = nullptr;
  } else {
    d["link"] = dev.link.empty() ? Record(nullptr) : Record(dev.link);
    d["linkMBps"] = dev.linkMBps > 0 ? Record(dev.linkMBps) : Record(nullptr);
  }
  r["checks"] = linesOf(output, "Checked: ");
  r["warnings"] = linesOf(output, "Warning: ");
  const int code = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
  r["result"] = code == 0 ? "Ok" : code == 3 ? "Canceled" : "Failed";
  r["exitStatus"] = code;
  // Keys in the schema's order, whatever order they were set in.
  Record ordered;
  for (const auto& [k, v] : schema()["properties"].items())
    if (r.contains(k)) ordered[k] = r[k];
  return ordered;
}

void keepRecord(const std::string& dev, const Record& rec) {
  std::lock_guard<std::mutex> lock(recordlock);
  for (auto& [name, r] : records)
    if (zcpxcap(name.c_str(), dev.c_str())) {
      r = rec;
      return;
    }
  records.emplace_back(dev, rec);
}

std::optional<Record> lastRecord(const std::string& dev, const char* id) {
  std::lock_guard<std::mutex> lock(recordlock);
  for (const auto& [name, r] : records) {
    if (!zcpxcap(name.c_str(), dev.c_str())) continue;
    const Record& rid = r["device"].value("id", Record(nullptr));
    if (id && (rid.is_string() ? rid.get<std::string>() : std::string()) != id) return std::nullopt;
    return r;
  }
  return std::nullopt;
}

void forgetRecords() {
  std::lock_guard<std::mutex> lock(recordlock);
  records.clear();
}

std::string recordProblem(const Record& rec) {
  if (std::string p = check(rec, schema(), ""); !p.empty()) return p;
  // Beyond what the schema can say: no phase has more slices than its time.
  const int64_t seconds = rec["parameters"]["seconds"].get<int64_t>();
  for (size_t i = 0; i < rec["phases"].size(); ++i) {
    const Record& ph = rec["phases"][i];
    const int64_t ms = ph["sliceMs"].get<int64_t>();
    const size_t most = size_t(seconds * 1000 / ms) + kSpareSlices;
    if (ph["sliceBytes"].size() > most)
      return "phases/" + std::to_string(i) + "/sliceBytes: has " + std::to_string(ph["sliceBytes"].size()) +
             " items, at most " + std::to_string(most) + " allowed (" + std::to_string(seconds) + " s in slices of " +
             std::to_string(ms) + " ms, and " + std::to_string(kSpareSlices) + ")";
  }
  return "";
}

bool loadRecord(const std::string& path, Record& out, std::string& err) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    err = path + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode) || st.st_size > kMaxFile) {
    err = path + ": not a saved test record (" +
          (S_ISREG(st.st_mode) ? "larger than " + std::to_string(kMaxFile >> 20) + " MiB" : std::string("not a regular file")) + ")";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  if (!in) {
    err = path + ": can't be read";
    return false;
  }
  try {
    Record r = Record::parse(ss.str());
    if (std::string p = recordProblem(r); !p.empty()) {
      err = path + ": " + p;
      return false;
    }
    out = std::move(r);
    return true;
  } catch (const Record::exception& e) {
    err = path + ": not JSON (" + e.what() + ")";
    return false;
  }
}

std::vector<std::pair<std::string, double>> recordFigures(const Record& rec) {
  std::vector<std::pair<std::string, double>> f;
  for (const auto& ph : rec.value("phases", Record::array())) {
    const std::string n = ph.value("name", "?");
    f.emplace_back(n + " KB/s", ph.value("kbps", 0.0));
    f.emplace_back(n + " IOPS", ph.value("iops", 0.0));
    const Record& lat = ph.value("latencyNs", Record::object());
    for (auto [key, label] : {std::pair{"mean", "mean"}, {"p50", "p50"}, {"p99", "p99"},
                              {"p999", "p99.9"}, {"max", "max"}})
      f.emplace_back(n + " latency " + label + " (us)", lat.value(key, 0.0) / 1e3);
  }
  return f;
}

std::vector<Comparison> compareRecords(const Record& mine, const Record& theirs) {
  std::vector<Comparison> out;
  auto slot = [&](const std::string& figure) -> Comparison& {
    for (auto& c : out)
      if (c.figure == figure) return c;
    out.push_back({figure, std::nullopt, std::nullopt, 0});
    return out.back();
  };
  for (const auto& [k, v] : recordFigures(mine)) slot(k).mine = v;
  for (const auto& [k, v] : recordFigures(theirs)) slot(k).theirs = v;
  for (auto& c : out)
    c.ratio = c.mine && c.theirs && *c.theirs != 0 ? *c.mine / *c.theirs : 0;
  return out;
}

std::string recordText(const Record& r) {
  // Every text from the record as shown(); empty ones left out with their label.
  auto text = [](const Record& x, const char* key) { return shown(vlm::text(x, key)); };
  const Record& d = r["device"];
  std::ostringstream o;
  o << "Test of " << text(d, "name") << " (" << text(d, "node") << ")";
  if (!text(d, "volume").empty()) o << ", volume \"" << text(d, "volume") << "\"";
  o << "\nDevice: ";
  for (const std::string& part : {text(d, "model"), text(d, "serial").empty() ? "" : "serial " + text(d, "serial"),
                                  text(d, "interconnect")})
    if (!part.empty()) o << part << ", ";
  o << d.value("size", int64_t(0)) << " bytes, logical block " << d.value("logicalBlock", 0) << " bytes\n";
  if (!text(d, "link").empty()) o << "Link: " << text(d, "link") << "\n";
  o << "Time: " << text(r, "time") << " on " << text(r, "host") << ", " << text(r, "kernel") << "\n";
  const Record& p = r["program"];
  o << "Program: " << text(p, "name") << " " << text(p, "version");
  if (!text(p, "utility").empty()) o << ", " << text(p, "utility");
  o << "\nEngine: " << text(r["parameters"], "engine") << "; "
    << r["parameters"].value("seconds", 0) << " s per phase after "
    << fmt(r["parameters"].value("warmUpSeconds", 0.0), 1) << " s warm-up\n";
  for (const auto& ph : r["parameters"].value("phases", Record::array()))
    o << "  " << text(ph, "name") << ": " << text(ph, "pattern") << ", "
      << ph.value("blockSize", 0) << "-byte blocks, " << ph.value("queueDepth", 0) << " in flight, "
      << ph.value("streams", 0) << " stream(s), " << ph.value("threads", 0) << " thread(s)\n";
  o << "Result: " << text(r, "result") << " (exit status " << r.value("exitStatus", 0) << ")\n";
  for (const auto& w : r.value("warnings", Record::array())) o << "Warning: " << shown(w.get<std::string>()) << "\n";
  for (const auto& c : r.value("checks", Record::array())) o << "Checked: " << shown(c.get<std::string>()) << "\n";
  for (const auto& s : r.value("slower", Record::array())) o << "Slower: " << text(s, "text") << "\n";
  for (const auto& [k, v] : recordFigures(r))
    o << shown(k) << "\t" << fmt(v, k.find("KB/s") != std::string::npos ? 0 : 1) << "\n";
  return o.str();
}

std::string recordCsv(const Record& r) {
  const Record& d = r["device"];
  std::vector<std::pair<std::string, std::string>> rows = {
      {"time", text(r, "time")},       {"host", text(r, "host")},
      {"kernel", text(r, "kernel")},   {"device", text(d, "name")},
      {"node", text(d, "node")},       {"model", text(d, "model")},
      {"serial", text(d, "serial")},   {"size", std::to_string(d.value("size", int64_t(0)))},
      {"engine", text(r["parameters"], "engine")},
      {"result", text(r, "result")},   {"exit status", std::to_string(r.value("exitStatus", 0))}};
  for (const auto& [k, v] : recordFigures(r)) rows.emplace_back(k, fmt(v, k.find("KB/s") != std::string::npos ? 0 : 3));
  for (const auto& w : r.value("warnings", Record::array())) rows.emplace_back("warning", w.get<std::string>());
  for (const auto& s : r.value("slower", Record::array())) rows.emplace_back("slower", text(s, "text"));
  std::string out = "field,value\r\n";
  for (const auto& [k, v] : rows) out += csvField(k) + "," + csvField(v) + "\r\n";
  return out;
}

std::string recordMetrics(const Record& r) {
  const Record& d = r["device"];
  const std::string id = "device=\"" + promLabel(text(d, "name")) + "\",node=\"" + promLabel(text(d, "node")) +
                         "\",model=\"" + promLabel(text(d, "model")) + "\",serial=\"" +
                         promLabel(text(d, "serial")) + "\"";
  std::ostringstream o;
  o.precision(10);
  auto head = [&](const char* name, const char* help) {
    o << "# HELP " << name << " " << help << "\n# TYPE " << name << " gauge\n";
  };
  auto lower = [](std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  const Record& phases = r["phases"];
  // A write record's figures: vlm_write_*, patterns write_sequential, write_random, write_random_qd32.
  const bool writing = text(r, "kind") == "write";
  const std::string op = writing ? "write" : "read", Op = writing ? "Write" : "Read";
  auto pattern = [&](const Record& ph) {
    std::string p = lower(text(ph, "name"));
    std::replace(p.begin(), p.end(), ' ', '_');
    return p;
  };
  const std::string bps = "vlm_" + op + "_bytes_per_second", iops = "vlm_" + op + "_iops",
                    lat = "vlm_" + op + "_latency_seconds";
  head(bps.c_str(), (Op + " throughput of each phase of the last test.").c_str());
  for (const auto& ph : phases)
    o << bps << "{" << id << ",pattern=\"" << pattern(ph) << "\"} " << ph.value("kbps", 0.0) * 1000 << "\n";
  head(iops.c_str(), (Op + "s per second of each phase of the last test.").c_str());
  for (const auto& ph : phases)
    o << iops << "{" << id << ",pattern=\"" << pattern(ph) << "\"} " << ph.value("iops", 0.0) << "\n";
  o << "# HELP " << lat << " " << Op << " latency of each phase of the last test (quantile 1 is the slowest " << op
    << ").\n# TYPE " << lat << " summary\n";
  for (const auto& ph : phases) {
    const std::string l = id + ",pattern=\"" + pattern(ph) + "\"";
    const Record& q = ph["latencyNs"];
    for (auto [key, qq] : {std::pair{"p50", "0.5"}, {"p99", "0.99"}, {"p999", "0.999"}, {"max", "1"}})
      o << lat << "{" << l << ",quantile=\"" << qq << "\"} " << q.value(key, 0.0) / 1e9 << "\n";
    const double ios = ph.value("ios", 0.0);
    o << lat << "_sum{" << l << "} " << q.value("mean", 0.0) * ios / 1e9 << "\n"
      << lat << "_count{" << l << "} " << ios << "\n";
  }
  if (writing && r.contains("sustained")) {
    const Record& s = r["sustained"];
    head("vlm_write_sustained_bytes_per_second", "Throughput of the last sustained write pass over the whole file.");
    o << "vlm_write_sustained_bytes_per_second{" << id << "} " << s.value("kbps", 0.0) * 1000 << "\n";
    head("vlm_write_cache_bytes", "Bytes written at the fast rate before it fell (0: it never fell).");
    const Record& k = s.value("knee", Record(nullptr));
    o << "vlm_write_cache_bytes{" << id << "} " << (k.is_object() ? k.value("bytes", 0.0) : 0.0) << "\n";
  }
  head("vlm_read_regression", "Percent below this device's usual figure when more than 30% below it, else 0.");
  for (const auto& ph : phases) {
    int below = 0;
    for (const auto& s : r.value("slower", Record::array()))
      if (text(s, "phase") == text(ph, "name")) below = s.value("percentBelow", 0);
    o << "vlm_read_regression{" << id << ",pattern=\"" << lower(text(ph, "name")) << "\"} " << below << "\n";
  }
  head("vlm_test_timestamp_seconds", "When the last test began, seconds since 1970.");
  o << "vlm_test_timestamp_seconds{" << id << "} " << r.value("unixTime", int64_t(0)) << "\n";
  head("vlm_test_success", "1 when the last test ended well, else 0.");
  o << "vlm_test_success{" << id << "} " << (text(r, "result") == "Ok" ? 1 : 0) << "\n";
  head("vlm_test_warning", "1 when the last test gave a warning of this kind, else 0.");
  for (const char* kind : kWarningKinds) {
    int n = 0;
    for (const auto& w : r.value("warnings", Record::array())) n |= warningKind(w.get<std::string>()) == kind;
    o << "vlm_test_warning{" << id << ",kind=\"" << kind << "\"} " << n << "\n";
  }
  return o.str();
}

namespace {
// The process's file-creation mask, read without changing it (another
// thread may be creating files meanwhile).
mode_t currentUmask() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("Umask:", 0) == 0) return static_cast<mode_t>(std::strtoul(line.c_str() + 6, nullptr, 8));
  return 022;
}
}  // namespace

bool writeFileAtomic(const std::string& path, const std::string& content, std::string& err) {
  if (path == "-") {
    if (std::fwrite(content.data(), 1, content.size(), stdout) != content.size() || std::fflush(stdout) != 0) {
      err = "can't write to standard output";
      return false;
    }
    return true;
  }
  std::string tmp = path + ".XXXXXX";
  int fd = mkostemp(tmp.data(), O_CLOEXEC);
  if (fd < 0) {
    err = "can't write " + path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < content.size()) {
    ssize_t w = write(fd, content.data() + done, content.size() - done);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) break;
    done += size_t(w);
  }
  const int e = done < content.size() ? (errno ? errno : EIO) : 0;
  // As any new file: readable by whom the user's mask allows.
  bool ok = e == 0 && fchmod(fd, 0666 & ~currentUmask()) == 0 && fsync(fd) == 0;
  ok = close(fd) == 0 && ok;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  err = "can't write " + path + ": " + std::strerror(e ? e : errno);
  unlink(tmp.c_str());
  return false;
}

}  // namespace vlm

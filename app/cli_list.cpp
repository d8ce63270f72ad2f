// --list [--json]: the disk table as the window shows it, on standard output.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <memory>
#include <optional>
#include <type_traits>
#include <string>
#include <unordered_map>
#include <vector>

#include "app/cli.h"
#include "disk/disk.h"
#include "perf/history.h"
#include "perf/store.h"
#include "perf/record.h"
#include "perf/testctl.h"
#include "platform/platform.h"
#include "table/poolcore.h"
#include "util/prog.h"

namespace vlm {

namespace {

// The row's own kernel node, which the Linux registry keeps as the device
// location of every media object.
const char* nodeOf(const DISKINFO_* rec) { return rec->devloc; }

// The kernel node of the row's whole disk; empty for a partition without one.
const char* diskOf(const DISKINFO_* rec) {
  if (rec->whole) return rec->devloc;
  return rec->parent ? rec->parent->devloc : "";
}

// A cell for the terminal: control bytes would break the line, so they show as "?".
std::string printable(std::string s) {
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return s;
}

struct Column {
  std::string title;
  bool right = false;
  std::vector<std::string> cells;
  size_t width = 0;
};

// One text row of every column for each record; the caller holds disklock.
std::vector<Column> textColumns(const PoolCore& pool) {
  std::vector<Column> cols;
  auto add = [&](const std::string& title, bool right) -> Column& {
    cols.push_back(Column{title, right, {}, 0});
    return cols.back();
  };
  for (const char* id : kColumnIds) {
    std::string t = id;
    add(t, t == "Seq" || t == "Size" || isResultColumn(t));
    if (t == "Size") add("Bytes", true);
    if (t == "Device") add("Node", false);
  }
  int rows = pool.numberOfRows();
  for (int r = 0; r < rows; ++r) {
    for (Column& c : cols) {
      if (c.title == "Bytes")
        c.cells.push_back(pool.objectValue("Size", r).str());
      else if (c.title == "Size")
        c.cells.push_back(readableSize(pool.objectValue("Size", r).number));
      else if (c.title == "Node")
        c.cells.push_back(printable(nodeOf(diskarray[r])));
      else
        c.cells.push_back(printable(pool.objectValue(c.title, r).str()));
    }
  }
  for (Column& c : cols) {
    c.width = c.title.size();
    for (const std::string& s : c.cells) c.width = std::max(c.width, s.size());
  }
  return cols;
}

void printLine(const std::vector<Column>& cols, int row) {
  std::string line;
  for (size_t i = 0; i < cols.size(); ++i) {
    const Column& c = cols[i];
    const std::string& s = row < 0 ? c.title : c.cells[static_cast<size_t>(row)];
    std::string pad(c.width - s.size(), ' ');
    if (i) line += "  ";
    line += c.right ? pad + s : (i + 1 == cols.size() ? s : s + pad);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  std::puts(line.c_str());
}

void printText(const PoolCore& pool) {
  if (pool.numberOfRows() == 0) {
    std::puts("No disks found");
    std::puts(pool.refreshtime().c_str());
    return;
  }
  std::vector<Column> cols = textColumns(pool);
  printLine(cols, -1);
  for (int r = 0; r < pool.numberOfRows(); ++r) printLine(cols, r);
  std::puts(pool.refreshtime().c_str());
}

// The real (UTF-8) name of each mounted volume by mount path.
std::unordered_map<std::string, std::string> volumeNames() {
  std::unordered_map<std::string, std::string> names;
  if (std::shared_ptr<VolumeList> vl = platform().volumes)
    for (const MountedVolume& v : vl->mountedVolumes())
      if (v.hasName) names.emplace(v.path, v.name);
  return names;
}

// The listing's JSON, written as it goes: the layout is nlohmann's dump(2),
// byte for byte, without a document built and walked first (a fifth of a
// long listing's time).
class JsonOut {
 public:
  explicit JsonOut(std::string& out) : o_(out) {}

  // Opens an object or array as a value (of a field or of the enclosing array).
  void open(char bracket) {
    o_ += bracket;
    first_.push_back(true);
  }
  void close(char bracket) {
    const bool empty = first_.back();
    first_.pop_back();
    if (!empty) newline();
    o_ += bracket;
  }
  // Starts a field of the open object, or (key null) an item of the open array.
  JsonOut& at(const char* key) {
    if (!first_.back()) o_ += ',';
    first_.back() = false;
    newline();
    if (key) {
      str(key);
      o_ += ": ";
    }
    return *this;
  }
  void str(const std::string& s) { str(s.data(), s.size()); }
  void str(const char* s) { str(s, std::strlen(s)); }
  void num(long long v) { o_ += std::to_string(v); }
  void unum(uint64_t v) { o_ += std::to_string(v); }
  void null() { o_ += "null"; }
  void boolean(bool b) { o_ += b ? "true" : "false"; }
  template <class V>
  void field(const char* key, const V& v) {
    at(key);
    if constexpr (std::is_same_v<V, bool>) boolean(v);
    else if constexpr (std::is_same_v<V, std::nullptr_t>) null();
    else if constexpr (std::is_integral_v<V> && std::is_unsigned_v<V>) unum(v);
    else if constexpr (std::is_integral_v<V>) num(v);
    else str(v);
  }
  // A text field, or null when it is empty.
  void textOrNull(const char* key, const char* v, bool present) {
    at(key);
    if (present && *v) str(v);
    else null();
  }
  void strings(const char* key, const std::vector<std::string>& v) {
    at(key);
    open('[');
    for (const std::string& s : v) at(nullptr).str(s);
    close(']');
  }
  // A value of a record, at the current depth.
  void json(const nlohmann::ordered_json& j) {
    const std::string t = j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    const std::string pad(2 * first_.size(), ' ');
    for (char c : t) {
      o_ += c;
      if (c == '\n') o_ += pad;  // a dumped text holds no newline but its own
    }
  }

 private:
  void newline() {
    o_ += '\n';
    o_.append(2 * first_.size(), ' ');
  }
  // Plain printable ASCII as it is; anything else as nlohmann escapes it (and
  // replaces what isn't UTF-8).
  void str(const char* s, size_t n) {
    bool plain = true;
    for (size_t i = 0; i < n && plain; ++i)
      plain = s[i] >= 0x20 && s[i] < 0x7F && s[i] != '"' && s[i] != '\\';
    if (plain) {
      o_ += '"';
      o_.append(s, n);
      o_ += '"';
    } else {
      o_ += nlohmann::ordered_json(std::string(s, n)).dump(-1, ' ', false,
                                                           nlohmann::ordered_json::error_handler_t::replace);
    }
  }

  std::string& o_;
  std::vector<bool> first_;
};

// The last test's figures: this run's, then the history's record fields.
void lastTest(JsonOut& j, const DISKPERF_& p, const std::optional<Record>& last) {
  nlohmann::ordered_json t;
  t["Sequential"] = p.seqkps;
  t["Random"] = p.randkps;
  t["Dual Seq"] = p.dualkps;
  t["Threaded"] = p.threadkps;
  t["Unit"] = "KB/s";
  const Record none = Record::object();
  const Record& l = last ? *last : none;
  t["Time"] = l.value("time", Record(nullptr));
  t["Result"] = l.value("result", Record(nullptr));
  t["Warnings"] = l.value("warnings", Record::array());
  j.at("LastTest").json(t);
}

// The fields of a row without the table's padding and markers, and its last
// test; the caller holds disklock.
void cleanFields(JsonOut& j, const DISKINFO_* rec, const std::unordered_map<std::string, std::string>& names) {
  auto vol = rec->fs.f_mntonname[0] ? names.find(rec->fs.f_mntonname) : names.end();
  j.field("Label", vol != names.end() ? vol->second : std::string(rec->name));
  j.field("FsLabel", rec->fslabel);
  j.field("PartLabel", rec->partlabel);
  j.field("FsType", rec->fstype);
  j.field("FsUuid", rec->fsuuid);
  j.textOrNull("TypeName", rec->typename_, true);
  j.textOrNull("PartUuid", rec->uuid, !rec->whole);
  j.textOrNull("TypeCode", rec->content, !rec->whole);
  std::vector<std::string> mounts;
  for (const char* p = rec->mounts; *p;) {
    const char* e = std::strchr(p, '\n');
    if (!e) break;
    mounts.emplace_back(p, e);
    p = e + 1;
  }
  j.strings("Mounts", mounts);
  j.field("ReadOnly", rec->readonly != 0 || (rec->nmounts && rec->mountro));
  if (rec->nmounts)
    j.field("AvailableBytes", static_cast<uint64_t>(rec->fs.f_bsize) * rec->fs.f_bavail);
  else
    j.field("AvailableBytes", nullptr);
  j.field("NotAnswering", rec->notanswering != 0);
  j.field("Kind", rec->kind);
  j.field("Type", rec->type);
  j.field("Depth", rec->whole ? 0 : 1);
  if (!rec->whole && rec->parent)
    j.field("Parent", std::string("disk") + rec->parent->bsdname);
  else
    j.field("Parent", nullptr);
  j.field("SizeBytes", static_cast<long long>(rec->size));
  // The last write test, when this run of the program made one.
  if (const auto w = lastRecord(writeKey(std::string("disk") + rec->bsdname), rec->devid)) {
    nlohmann::ordered_json t;
    for (const auto& ph : w->value("phases", Record::array())) t[ph.value("name", "?")] = ph.value("kbps", 0);
    const Record& sus = w->value("sustained", Record::object());
    if (sus.contains("kbps")) {
      t["Sustained write"] = sus["kbps"];
      t["Curve"] = sus.value("summary", "");
    }
    t["Unit"] = "KB/s";
    t["Folder"] = w->value("folder", "");
    t["Time"] = w->value("time", Record(nullptr));
    t["Result"] = w->value("result", Record(nullptr));
    t["Warnings"] = w->value("warnings", Record::array());
    j.at("LastWriteTest").json(t);
  }
  const std::optional<Record> last = lastRecord(std::string("disk") + rec->bsdname, rec->devid);
  const DISKPERF_& p = rec->perf;
  if (!last && p.seqkps <= 0 && p.randkps <= 0 && p.dualkps <= 0 && p.threadkps <= 0)
    j.field("LastTest", nullptr);
  else
    lastTest(j, p, last);
}

// Rows keyed by the column identifiers; numbers as numbers, empty results as
// null; then the clean fields.
void printJson(const PoolCore& pool) {
  const auto names = volumeNames();
  std::string out;
  out.reserve(1024 + 1024 * static_cast<size_t>(pool.numberOfRows()));
  JsonOut j(out);
  j.open('{');
  j.at("rows").open('[');
  for (int r = 0; r < pool.numberOfRows(); ++r) {
    j.at(nullptr).open('{');
    for (const char* id : kColumnIds) {
      CellValue v = pool.objectValue(id, r);
      if (v.isNumber())
        j.field(id, v.number);
      else if (v.text.empty() && isResultColumn(id))
        j.field(id, nullptr);
      else
        j.field(id, v.text);
    }
    const DISKINFO_* rec = diskarray[r];
    j.field("Id", rec->devid);
    j.field("Node", nodeOf(rec));
    j.field("Disk", diskOf(rec));
    j.field("Color", static_cast<int>(rec->color));
    if (rec->link[0] && rec->linkmbps > 0) {
      j.field("Link", rec->link);
      j.field("LinkMBps", rec->linkmbps);
    } else {
      j.field("Link", nullptr);
      j.field("LinkMBps", nullptr);
    }
    j.strings("Warnings", perfchecks(rec->checks, "Warning: "));
    std::vector<std::string> checked = perfchecks(rec->checks, "Checked: ");
    if (checked.empty())
      j.field("Checked", nullptr);
    else
      j.field("Checked", checked[0]);
    cleanFields(j, rec, names);
    j.close('}');
  }
  j.close(']');
  j.field("refreshtime", pool.refreshtime());
  j.close('}');
  // Registry texts are bytes: anything that is not UTF-8 is shown replaced.
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

void printListing(const PoolCore& pool, bool json) {
  std::lock_guard<std::recursive_mutex> guard(disklock);
  if (json)
    printJson(pool);
  else
    printText(pool);
  std::fflush(stdout);
}

int cliList(const CliOptions& opts) {
  zheaphuge(64L << 20);  // a long list's records and registry: tens of MiB
  historySeed();
  PoolCore pool;
  std::lock_guard<std::recursive_mutex> guard(disklock);
  pool.Reload("", 0);
  printListing(pool, opts.json);
  return 0;
}

}  // namespace vlm

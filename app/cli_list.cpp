// --list [--json]: the disk table as the window shows it, on standard output.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <nlohmann/json.hpp>
#include <memory>
#include <optional>
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

// Appends a field to a row: its keys are all new, so nothing searches the row.
template <class V>
void put(nlohmann::ordered_json& row, const std::string& key, V&& value) {
  row.get_ref<nlohmann::ordered_json::object_t&>().emplace_back(key, nlohmann::ordered_json(std::forward<V>(value)));
}

// The fields of a row without the table's padding and markers, and its last
// test; the caller holds disklock.
void cleanFields(nlohmann::ordered_json& row, const DISKINFO_* rec,
                 const std::unordered_map<std::string, std::string>& names) {
  auto vol = rec->fs.f_mntonname[0] ? names.find(rec->fs.f_mntonname) : names.end();
  put(row, "Label", vol != names.end() ? vol->second : std::string(rec->name));
  put(row, "FsLabel", rec->fslabel);
  put(row, "PartLabel", rec->partlabel);
  put(row, "FsType", rec->fstype);
  put(row, "FsUuid", rec->fsuuid);
  put(row, "TypeName", rec->typename_[0] ? nlohmann::ordered_json(rec->typename_) : nlohmann::ordered_json(nullptr));
  put(row, "PartUuid", !rec->whole && rec->uuid[0] ? nlohmann::ordered_json(rec->uuid) : nlohmann::ordered_json(nullptr));
  put(row, "TypeCode", !rec->whole && rec->content[0] ? nlohmann::ordered_json(rec->content)
                                                   : nlohmann::ordered_json(nullptr));
  nlohmann::ordered_json mounts = nlohmann::ordered_json::array();
  for (const char* p = rec->mounts; *p;) {
    const char* e = std::strchr(p, '\n');
    if (!e) break;
    mounts.push_back(std::string(p, e));
    p = e + 1;
  }
  put(row, "Mounts", std::move(mounts));
  put(row, "ReadOnly", rec->readonly != 0 || (rec->nmounts && rec->mountro));
  put(row, "AvailableBytes", rec->nmounts ? nlohmann::ordered_json(static_cast<uint64_t>(rec->fs.f_bsize) * rec->fs.f_bavail)
                                       : nlohmann::ordered_json(nullptr));
  put(row, "NotAnswering", rec->notanswering != 0);
  put(row, "Kind", rec->kind);
  put(row, "Type", rec->type);
  put(row, "Depth", rec->whole ? 0 : 1);
  put(row, "Parent", !rec->whole && rec->parent ? nlohmann::ordered_json(std::string("disk") + rec->parent->bsdname)
                                             : nlohmann::ordered_json(nullptr));
  put(row, "SizeBytes", rec->size);
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
    put(row, "LastWriteTest", std::move(t));
  }
  const std::optional<Record> last = lastRecord(std::string("disk") + rec->bsdname, rec->devid);
  const DISKPERF_& p = rec->perf;
  if (!last && p.seqkps <= 0 && p.randkps <= 0 && p.dualkps <= 0 && p.threadkps <= 0) {
    put(row, "LastTest", nullptr);
    return;
  }
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
  put(row, "LastTest", std::move(t));
}

// Rows keyed by the column identifiers; numbers as numbers, empty results as
// null; then the clean fields.
void printJson(const PoolCore& pool) {
  const auto names = volumeNames();
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  rows.get_ref<nlohmann::ordered_json::array_t&>().reserve(static_cast<size_t>(pool.numberOfRows()));
  for (int r = 0; r < pool.numberOfRows(); ++r) {
    nlohmann::ordered_json row = nlohmann::ordered_json::object();
    // Room for every field at once: a growing row would copy its fields (the
    // keys are const) at each step.
    row.get_ref<nlohmann::ordered_json::object_t&>().reserve(64);
    for (const char* id : kColumnIds) {
      CellValue v = pool.objectValue(id, r);
      if (v.isNumber())
        put(row, id, v.number);
      else if (v.text.empty() && isResultColumn(id))
        put(row, id, nullptr);
      else
        put(row, id, v.text);
    }
    const DISKINFO_* rec = diskarray[r];
    put(row, "Id", rec->devid);
    put(row, "Node", nodeOf(rec));
    put(row, "Disk", diskOf(rec));
    put(row, "Color", static_cast<int>(rec->color));
    if (rec->link[0] && rec->linkmbps > 0) {
      put(row, "Link", rec->link);
      put(row, "LinkMBps", rec->linkmbps);
    } else {
      put(row, "Link", nullptr);
      put(row, "LinkMBps", nullptr);
    }
    put(row, "Warnings", perfchecks(rec->checks, "Warning: "));
    std::vector<std::string> checked = perfchecks(rec->checks, "Checked: ");
    put(row, "Checked", checked.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(checked[0]));
    cleanFields(row, rec, names);
    rows.push_back(std::move(row));
  }
  nlohmann::ordered_json out = nlohmann::ordered_json::object();
  out["rows"] = std::move(rows);
  out["refreshtime"] = pool.refreshtime();
  // Registry texts are bytes: anything that is not UTF-8 is shown replaced.
  std::puts(out.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace).c_str());
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
  historySeed();
  PoolCore pool;
  std::lock_guard<std::recursive_mutex> guard(disklock);
  pool.Reload("", 0);
  printListing(pool, opts.json);
  return 0;
}

}  // namespace vlm

// The disk table's data: rebuild with volume names, and every cell's value.
#include "table/poolcore.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "util/alerts.h"
#include "platform/linkspeed.h"
#include "platform/platform.h"
#include "util/prog.h"

namespace vlm {

const char* const kColumnIds[11] = {"Seq",   "Name",       "Status", "Size",     "Info",    "Mount",
                                    "Device", "Sequential", "Random", "Dual Seq", "Threaded"};

namespace {

constexpr size_t kAscii = 250;  // conversion buffer: at most 249 characters

// Text from the platform as it is (UTF-8), within 249 bytes cut on a character
// boundary; "*Error" when it is not UTF-8. Control characters become spaces.
void toText(char (&dst)[kAscii], const std::string& src) {
  std::string out;
  for (size_t i = 0; i < src.size();) {
    unsigned char c = static_cast<unsigned char>(src[i]);
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > src.size()) return zcpfield(dst, "*Error");
    for (size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(src[i + k]) & 0xC0) != 0x80) return zcpfield(dst, "*Error");
    if (out.size() + n >= kAscii) break;
    if (n == 1 && (c < 0x20 || c == 0x7F)) out += ' ';
    else out.append(src, i, n);
    i += n;
  }
  zcpfield(dst, out.c_str());
}

CellValue text(std::string s) {
  CellValue v;
  v.text = std::move(s);
  return v;
}

CellValue number(CellValue::Kind kind, long long n) {
  CellValue v;
  v.kind = kind;
  v.number = n;
  return v;
}

// A result figure: empty below 1.
CellValue result(int32_t kps) {
  long k = kps;
  return k < 1 ? text("") : number(CellValue::Kind::Int64, k);
}

// The selection's inputs, set for one selection and cleared afterwards, also
// when the selection ends in a fatal error.
struct SelectionInputs {
  SelectionInputs(DISKINFO_* ptr, uint64_t size) {
    disksort_ptr = ptr;
    disksort_size = size;
  }
  ~SelectionInputs() {
    disksort_ptr = nullptr;
    disksort_size = 0;
  }
  SelectionInputs(const SelectionInputs&) = delete;
  SelectionInputs& operator=(const SelectionInputs&) = delete;
};

const char* paneState(const DISKINFO_* rec) {
  switch (rec->statuscode[0]) {
    case 'B': return "BUILDING";
    case 'S': return "SPARE";
    case 'A': return "ACTIVE";
    default: return "OTHER";
  }
}

std::string nameText(const DISKINFO_* rec) {
  std::string s = rec->whole ? "" : "   ";
  if (rec->finder[0]) return s + rec->finder;
  return s + "*" + rec->name;
}

std::string statusText(const DISKINFO_* rec) {
  char buf[128];
  if (rec->pane)
    std::snprintf(buf, sizeof buf, "    %s:%s-PANE", rec->statustag, paneState(rec));
  else if (rec->statustext[0])
    std::snprintf(buf, sizeof buf, "%s:%s", rec->statustag, rec->statustext);
  else if (rec->parent)
    std::snprintf(buf, sizeof buf, "    %s:%s", rec->kind, rec->type);
  else
    std::snprintf(buf, sizeof buf, "  %s:%s", rec->kind, rec->type);
  return buf;
}

std::string infoText(const DISKINFO_* rec) {
  char buf[128];
  // A file system on a whole disk has free space like a partition's.
  if (rec->whole && !zcpscap("HFS", rec->type) && !rec->nmounts)
    std::snprintf(buf, sizeof buf, "%s/%s/%s/%s", rec->interconnect, rec->rotation, rec->serial,
                  rec->devloc);
  else
    hfsinfo(buf, rec);
  std::string s = buf;
  if (rec->readonly) s += " (read-only)";
  else if (rec->nmounts && rec->mountro) s += " (mounted read-only)";
  if (rec->notanswering) s += " (not answering)";
  return s;
}

std::string mountText(const DISKINFO_* rec) {
  return std::string(rec->fs.f_mntonname, strnlen(rec->fs.f_mntonname, sizeof rec->fs.f_mntonname));
}

}  // namespace

DISKINFO_* PoolCore::Reload(const char* dev, int mode) {
  std::lock_guard<std::recursive_mutex> guard(disklock);
  DISKINFO_* found = nullptr;
  diskinfo(0);
  FinderNames();
  if (!dev || !*dev) {
    diskinfo('A');
  } else {
    found = diskfind(dev, 1);
    if (!found) zerex("pool:Reload: can't re-locate selected Mirror?");
    SelectionInputs inputs(found, mode == 2 ? 0 : ~uint64_t{0});
    diskinfo(mode == 2 ? 'M' : 'H');
  }
  char date[32];
  zexdtno(date, zdtuxto(znow()), 16);
  refreshtime_ = std::string("Refreshed: ") + date;
  return found;
}

// Gives each mounted volume's display name to the record mounted at its path.
void PoolCore::FinderNames() {
  std::shared_ptr<VolumeList> vl = platform().volumes;
  if (!vl) return;
  std::lock_guard<std::recursive_mutex> guard(disklock);
  // The record diskmountedname would find for each mount path: the first.
  std::unordered_map<std::string, DISKINFO_*> mounted;
  for (DISKINFO_* rec = diskinfo0; rec; rec = rec->next) mounted.emplace(rec->fs.f_mntonname, rec);
  for (const MountedVolume& v : vl->mountedVolumes()) {
    char path[kAscii], name[kAscii];
    toText(path, v.path);
    if (v.hasName)
      toText(name, v.name);
    else
      zcpfield(name, "*Error");
    auto it = mounted.find(path);
    if (it != mounted.end()) zcpfield(it->second->finder, name);
  }
}

int PoolCore::SetFinder(const char* name, const char* mount) {
  std::shared_ptr<VolumeList> vl = platform().volumes;
  if (!vl || !name || !mount) return -1;
  for (const MountedVolume& v : vl->mountedVolumes()) {
    char path[kAscii];
    toText(path, v.path);
    if (zcpxcap(path, mount)) return vl->setName(v.path, name) == 0 ? 0 : 1;
  }
  return -1;
}

int PoolCore::numberOfRows() const {
  std::lock_guard<std::recursive_mutex> guard(disklock);
  return ndiskarray;
}

// The caller holds disklock, so that the row's record stays valid.
CellValue PoolCore::objectValue(const std::string& id, int row) const {
  if (row < 0 || row >= ndiskarray || !diskarray) return text("?");
  const DISKINFO_* rec = diskarray[row];
  if (id == "Seq") return number(CellValue::Kind::Int, row + 1);
  if (id == "Name") return text(nameText(rec));
  if (id == "Status") return text(statusText(rec));
  if (id == "Size") return number(CellValue::Kind::Int64, rec->size);
  if (id == "Info") return text(infoText(rec));
  if (id == "Mount") return text(mountText(rec));
  if (id == "Device") return text(std::string("disk") + rec->bsdname);
  if (id == "Sequential") return result(rec->perf.seqkps);
  if (id == "Random") return result(rec->perf.randkps);
  if (id == "Dual Seq") return result(rec->perf.dualkps);
  if (id == "Threaded") return result(rec->perf.threadkps);
  return text(id);
}

std::string PoolCore::linkText(int row) const {
  if (row < 0 || row >= ndiskarray || !diskarray) return std::string();
  const DISKINFO_* rec = diskarray[row];
  return "Link: " + linkspeed::describe(rec->link, rec->linkmbps > 0 ? uint64_t(rec->linkmbps) : 0);
}

std::string PoolCore::checksText(int row) const {
  if (row < 0 || row >= ndiskarray || !diskarray) return std::string();
  std::string s = diskarray[row]->checks;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

bool PoolCore::warned(int row) const {
  return checksText(row).find("Warning: ") != std::string::npos;
}

bool isResultColumn(const std::string& id) {
  return id == "Sequential" || id == "Random" || id == "Dual Seq" || id == "Threaded";
}

std::string PoolCore::measuredText(int row) const {
  if (row < 0 || row >= ndiskarray || !diskarray || diskarray[row]->perf.date <= 0) return "";
  char date[32];
  zexdtno(date, diskarray[row]->perf.date, 16);
  return std::string("Measured: ") + date;
}

std::string readableSize(long long bytes) {
  char buf[32];
  zsizetext(buf, sizeof buf, bytes);
  return buf;
}

}  // namespace vlm

// The list of records and the sorted display array the table shows:
// rebuild, numbering, selection, order, linking, colours and look-ups.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "util/alerts.h"
#include "disk/disk.h"
#include "disk/figures.h"
#include "util/prog.h"

DISKINFO_** diskarray = nullptr;
int ndiskarray = 0;
uint64_t disksort_size = 0;
DISKINFO_* disksort_ptr = nullptr;

namespace {

// Frees the display array; its entries point into the list.
void arrayzap() {
  std::free(diskarray);
  diskarray = nullptr;
  ndiskarray = 0;
}

bool typeIsHfs(const DISKINFO_* rec) { return zcps("HFS", rec->type) != 0; }

}  // namespace

// Code 0 rebuilds the list; any other code builds the display array from it.
void diskinfo(int code) {
  std::lock_guard<std::recursive_mutex> guard(disklock);
  if (code == 0) {
    diskzap();
    // The array points at the freed records; drop it so nothing reads them.
    arrayzap();
    reginfo();
    diskmount();
    disktypes();
    return;
  }
  diskmm();
  disksort(code);
  diskcalc();
  diskcolors();
  for (int i = 0; i < ndiskarray; ++i) diskfigures(diskarray[i]);
}

void diskmm() {
  for (DISKINFO_* rec = diskinfo0; rec; rec = rec->next) {
    rec->diskno = static_cast<int>(zcvsiq(rec->bsdname));
    int s = zchpos('s', rec->bsdname);
    if (s >= 0) rec->partno = static_cast<int>(zcvsiq(rec->bsdname + s + 1));
  }
}

void disksort(int code) {
  arrayzap();
  int count = 0;
  for (DISKINFO_* rec = diskinfo0; rec; rec = rec->next)
    if (diskother(rec, code) == 0) ++count;
  // A machine without block devices (a container) lists none; any other
  // selection that finds nothing is a fault.
  if (count < 1 && code != 'A') zerex("disksort: No disks selected?");
  diskarray = static_cast<DISKINFO_**>(
      zmemclr((static_cast<long>(count) + 4) * static_cast<long>(sizeof(DISKINFO_*))));
  int n = 0;
  for (DISKINFO_* rec = diskinfo0; rec && n < count; rec = rec->next)
    if (diskother(rec, code) == 0) diskarray[n++] = rec;
  ndiskarray = n;
  if (n >= 2) std::qsort(diskarray, static_cast<size_t>(n), sizeof(DISKINFO_*), diskcmp);
}

// 1 leaves the record out of the selection, 0 selects it.
int diskother(const DISKINFO_* rec, int code) {
  switch (code) {
    case 'A':
      return 0;
    case 'H':
      if (rec->mirror || rec->setid) return 1;
      if (rec->whole) return 0;
      if (disksort_size && disksort_size != static_cast<uint64_t>(rec->size)) return 1;
      return typeIsHfs(rec) ? 0 : 1;
    case 'M':
      if (!disksort_ptr) zerex("diskother: disksort_ptr is VOID?");
      return rec->setid != disksort_ptr->setid ? 1 : 0;
    default:
      if (rec->whole || rec->mirror) return 0;
      return typeIsHfs(rec) ? 0 : 1;
  }
}

// Disk number, then partition number, then the name bytes.
int diskcmp(const void* a, const void* b) {
  const DISKINFO_* x = *static_cast<DISKINFO_* const*>(a);
  const DISKINFO_* y = *static_cast<DISKINFO_* const*>(b);
  if (x->diskno != y->diskno) return x->diskno < y->diskno ? -1 : 1;
  if (x->partno != y->partno) return x->partno < y->partno ? -1 : 1;
  return zblcp(x->bsdname, y->bsdname, static_cast<int>(sizeof x->bsdname));
}

// Links each partition to the nearest whole disk before it whose name is the
// partition's name cut before its last "s".
void diskcalc() {
  for (int i = 0; i < ndiskarray; ++i) {
    DISKINFO_* rec = diskarray[i];
    rec->parent = nullptr;  // a link from an earlier selection may not hold now
    if (rec->whole) continue;
    char cut[sizeof rec->bsdname];
    zcpfield(cut, rec->bsdname);
    int s = zchrpos('s', cut);
    if (s < 0) continue;
    cut[s] = '\0';
    for (int j = i - 1; j >= 0; --j) {
      if (zcpxcap(diskarray[j]->bsdname, cut)) {
        rec->parent = diskarray[j];
        break;
      }
    }
  }
}

void diskcolors() {
  for (int i = 0; i < ndiskarray; ++i) {
    DISKINFO_* rec = diskarray[i];
    signed char c;
    if (rec->setid) c = rec->memberid ? 3 : 2;
    else if (rec->mirror) c = 2;
    else if (rec->whole) c = 1;
    else if (std::strcmp(rec->type, "HFS*") == 0) c = 3;
    else if (std::strcmp(rec->type, "HFS") == 0) c = 5;
    else if (typeIsHfs(rec)) c = 4;
    else c = 5;
    rec->color = c;
  }
}

// name is "disk" (any case) and a bsdname (exact). flag 1: the list, 0: the array.
DISKINFO_* diskfind(const char* name, int flag) {
  if (!name || !zcpscap("disk", name)) return nullptr;
  const char* unit = name + 4;
  std::lock_guard<std::recursive_mutex> guard(disklock);
  if (flag) {
    for (DISKINFO_* rec = diskinfo0; rec; rec = rec->next)
      if (std::strcmp(unit, rec->bsdname) == 0) return rec;
    return nullptr;
  }
  for (int i = 0; i < ndiskarray; ++i)
    if (std::strcmp(unit, diskarray[i]->bsdname) == 0) return diskarray[i];
  return nullptr;
}

// 1 when another member of rec's set lies on the same physical disk.
int samedev(const DISKINFO_* rec) {
  if (!rec || !rec->setid || !rec->memberid) return 0;
  int s = zchpos('s', rec->bsdname);
  if (s < 0) return 0;
  char prefix[sizeof rec->bsdname];
  zcpfield(prefix, rec->bsdname);
  prefix[s + 1] = '\0';
  std::lock_guard<std::recursive_mutex> guard(disklock);
  for (const DISKINFO_* o = diskinfo0; o; o = o->next) {
    if (o->setid == rec->setid && o->memberid && o->memberid != rec->memberid &&
        zcpscap(prefix, o->bsdname))
      return 1;
  }
  return 0;
}

void diskzap() {
  std::lock_guard<std::recursive_mutex> guard(disklock);
  DISKINFO_* rec = diskinfo0;
  while (rec) {
    DISKINFO_* next = rec->next;
    std::free(rec);
    rec = next;
  }
  diskinfo0 = nullptr;
}

namespace {
DiskFigures* figuresource = nullptr;
}  // namespace

void setdiskfigures(DiskFigures* source) { figuresource = source; }

void diskfigures(DISKINFO_* rec) {
  if (figuresource && rec) figuresource->fill(rec);
}

void diskstats() {
  std::lock_guard<std::recursive_mutex> guard(disklock);
  for (int i = 0; i < ndiskarray; ++i) diskfigures(diskarray[i]);
}

int diskrow(const char* devid, const char* bsdname) {
  std::lock_guard<std::recursive_mutex> lock(disklock);
  const bool byName = !devid || !*devid;
  for (int i = 0; i < ndiskarray; ++i) {
    const DISKINFO_* r = diskarray[i];
    if (byName ? (!r->devid[0] && std::strcmp(r->bsdname, bsdname) == 0)
               : std::strcmp(r->devid, devid) == 0)
      return i;
  }
  return -1;
}

void diskdescribe(char* buf, long n, const DISKINFO_* rec) {
  if (n <= 0) return;
  // The kernel's node is what the machine knows the device by; diskN only
  // where there is none.
  std::string text = std::string(rec->devloc[0] ? "/dev/" : "/dev/disk") + (rec->devloc[0] ? rec->devloc : rec->bsdname);
  std::string more;
  auto add = [&more](const std::string& part) {
    if (part.empty()) return;
    more += more.empty() ? part : ", " + part;
  };
  if (rec->size > 0) {
    char size[32];
    zsizetext(size, sizeof size, rec->size);
    add(size);
  }
  const char* model = rec->whole || !rec->parent ? rec->name : rec->parent->name;
  if (std::strcmp(model, rec->devloc) != 0) add(model);  // a kernel name says nothing new
  if (!more.empty()) text += " (" + more + ")";
  zcpfield(buf, text.c_str(), n);
}

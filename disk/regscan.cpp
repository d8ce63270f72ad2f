// The registry scan: walks the device registry depth first from its root and
// makes one record per media object that has a BSD name. Ten identification
// properties (the extras) are picked up on the way down from every object on
// the path and dropped again when the walk climbs back out of a subtree.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "util/alerts.h"
#include "disk/disk.h"
#include "disk/nameindex.h"
#include "platform/platform.h"
#include "util/prog.h"

std::recursive_mutex disklock;
DISKINFO_* diskinfo0 = nullptr;
DISKINFO_* glodisk = nullptr;
REGDATA_ regdata[32];

// A name's index is the index of its slot in regdata.
const char* regexlist[] = {
    "Physical Interconnect",     // 0: interconnect
    "Rotation Rate",             // 1: rotation
    "Serial Number",             // 2: serial
    "USB Serial Number",         // 3: serial, when there is no serial number
    "GUID",                      // 4: serial in hex, when there is neither
    "io-device-location",        // 5: devloc
    "Protocol Characteristics",  // 6: dictionary searched for the names above
    "Device Characteristics",    // 7: likewise; it wins over 6
    "Link Speed",                // 8: link, the drive's interface link
    "Link Ceiling",              // 9: linkmbps, what that link carries in MB/s
    nullptr,
};

namespace {

constexpr int kTextSize = 128;  // every class, name, location and value text
constexpr int kExtras = 10;     // slots of regdata in use

// The record being filled; freed (and glodisk cleared) unless the list takes it,
// also when a fatal error unwinds the walk.
struct PendingRecord {
  DISKINFO_* rec;
  explicit PendingRecord(DISKINFO_* r) : rec(r) { glodisk = r; }
  ~PendingRecord() {
    if (!rec) return;
    if (glodisk == rec) glodisk = nullptr;
    std::free(rec);
  }
  PendingRecord(const PendingRecord&) = delete;
  PendingRecord& operator=(const PendingRecord&) = delete;
};

// Objects on the path from the root to the one being visited. A child that is
// already on the path would make the walk endless; it is not entered again.
std::vector<const vlm::RegEntry*> walkpath;

struct PathStep {
  explicit PathStep(const vlm::RegEntry* obj) { walkpath.push_back(obj); }
  ~PathStep() { walkpath.pop_back(); }
  PathStep(const PathStep&) = delete;
  PathStep& operator=(const PathStep&) = delete;
};

// During a scan: the names already listed and the last record, so that each
// append costs one look-up instead of a walk of the whole list.
struct ScanList {
  vlm::NameIndex names;
  DISKINFO_* last = nullptr;
  // Objects already walked. One reached again (through another parent) is not
  // walked again: everything below it was reached, and listed, the first time,
  // so a second walk would only make duplicates, at a cost that doubles with
  // every level of shared objects.
  std::unordered_set<const vlm::RegEntry*> walked;
};
ScanList* scanlist = nullptr;

// Step 13 of regshow: the record found first stays; a duplicate is refused.
DISKINFO_* scanappend(DISKINFO_* rec) {
  if (!scanlist) return regdisk(rec);
  if (!scanlist->names.add(rec)) return nullptr;
  rec->next = nullptr;
  if (scanlist->last)
    scanlist->last->next = rec;
  else
    diskinfo0 = rec;
  scanlist->last = rec;
  return rec;
}

bool onpath(const vlm::RegEntry* obj) {
  for (const auto* p : walkpath)
    if (p == obj) return true;
  return false;
}

// True the first time obj is reached in this scan.
bool firstreach(const vlm::RegEntry* obj) {
  return !scanlist || scanlist->walked.insert(obj).second;
}

// A key is made from a C string as UTF-8; text that is not valid UTF-8 can't be
// made into a key.
bool validutf8(const char* s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s);
  while (*p) {
    unsigned c = *p;
    int more;
    unsigned cp;
    if (c < 0x80) { ++p; continue; }
    if (c >= 0xC2 && c <= 0xDF) { more = 1; cp = c & 0x1F; }
    else if (c >= 0xE0 && c <= 0xEF) { more = 2; cp = c & 0x0F; }
    else if (c >= 0xF0 && c <= 0xF4) { more = 3; cp = c & 0x07; }
    else return false;
    for (int i = 1; i <= more; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (p[i] & 0x3F);
    }
    if ((more == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (more == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
      return false;
    p += more + 1;
  }
  return true;
}

// Data shown as text when it looks like text: at most 41 bytes examined, 40 kept.
void datatext(const std::string& bytes, char* text) {
  const size_t len = bytes.size();
  const size_t examined = len < 41 ? len : 41;
  size_t end = examined;
  for (size_t i = 0; i < examined; ++i) {
    const unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b == 0) {
      if (i != len - 1) {
        std::snprintf(text, kTextSize, "<Data>");
        return;
      }
      end = i;
      break;
    }
    if (b < 0x20 || b > 0x7E) {
      std::snprintf(text, kTextSize, "<Data>");
      return;
    }
  }
  if (end > 40) end = 40;
  std::memcpy(text, bytes.data(), end);
  text[end] = 0;
}

}  // namespace

// Empties the slot table, then walks the registry from its root.
void reginfo() {
  std::lock_guard<std::recursive_mutex> lock(disklock);
  std::memset(regdata, 0, sizeof regdata);
  // Keep the registry alive for the whole walk, whatever setPlatform() does.
  std::shared_ptr<vlm::Registry> reg = vlm::platform().registry;
  const vlm::RegEntry* root = reg ? reg->root() : nullptr;
  if (!root) zerex("reginfo: I/O Kit's root service no found? *FATAL*");
  ScanList list;  // seeded with what is already listed
  list.names.build(diskinfo0);
  for (DISKINFO_* p = diskinfo0; p; p = p->next) list.last = p;
  struct SlotReset {  // a fatal error in the walk leaves no slot behind either
    ~SlotReset() {
      std::memset(regdata, 0, sizeof regdata);
      scanlist = nullptr;
    }
  } reset;
  scanlist = &list;
  regscan(root, 0, "IOService", "BSD Name");
}

// Visits obj and, depth first, everything below it.
void regscan(const vlm::RegEntry* obj, unsigned long depth, const char* plane, const char* key) {
  std::vector<const vlm::RegEntry*> kids;
  if (!obj->children(plane, kids)) zerex("regscan: can't obtain children, *FATAL*");
  PathStep step(obj);
  regshow(obj, depth, plane, key);
  for (const auto* child : kids)
    if (child && !onpath(child) && firstreach(child)) regscan(child, depth + 1, plane, key);
  regexzap(depth);
}

// Collects obj's extras; for a media object with a BSD name, makes its record.
void regshow(const vlm::RegEntry* obj, unsigned long depth, const char* plane, const char* key) {
  char clsname[kTextSize], name[kTextSize], location[kTextSize], text[kTextSize];
  std::string s;

  regextra(obj, depth);
  if (!obj->className(s)) zerex("regshow: can't obtain class name. *FATAL*");
  zcpfield(clsname, s.c_str());
  if (std::strcmp(clsname, "IOMedia") != 0 &&
      std::strcmp(clsname, "com_softraid_driver_SoftRAID_Media") != 0)
    return;
  if (!obj->nameInPlane(plane, s)) zerex("regshow: can't obtain name. *FATAL*");
  zcpfield(name, s.c_str());
  location[0] = 0;
  if (obj->locationInPlane(plane, s)) zcpfield(location, s.c_str());
  if (!regcompare(obj, key, text)) return;

  PendingRecord pending(static_cast<DISKINFO_*>(zmemclr(sizeof(DISKINFO_))));
  DISKINFO_* rec = pending.rec;
  zcpfield(rec->name, name);
  if (std::strlen(rec->name) >= 8) {
    int at = zstposc(" Media", rec->name);
    if (at >= 0) rec->name[at] = 0;
  }
  if (location[0]) zcpfield(rec->location, location);

  vlm::RegValue props;
  if (!obj->properties(props)) zerex("regshow: can't obtain properties. *FATAL*");
  if (props.type != vlm::RegValue::Type::Dictionary) zerex("regshow: not dictionary? *FATAL*");
  for (const auto& [k, v] : props.entries) regshow1(k.c_str(), v, nullptr);
  if (!rec->bsdname[0]) zerex("regshow: no BSD device for(%s) *FATAL*", rec->name);
  regexdata(rec, depth);

  if (scanappend(rec)) pending.rec = nullptr;  // the list owns it now
  // else the duplicate is freed and glodisk cleared: the record found first stays
}

// Stores one property of the media object being handled in glodisk.
void regshow1(const char* key, const vlm::RegValue& value, void*) {
  char keytext[kTextSize], text[kTextSize];
  zcpfield(keytext, key);
  const uint64_t number = regvalue(value, text, nullptr);
  DISKINFO_* rec = glodisk;
  if (!rec) return;
  const int n = static_cast<int>(number);

  if (zcpxcap(keytext, "BSD Name")) {
    if (!zcpscap("disk", text))
      zerex("regshow1: BSD Name is not diskXXX(%s) for IOMedia? *FATAL*", text);
    zcpfield(rec->bsdname, text + 4);
  } else if (zcpxcap(keytext, "Leaf")) {
    rec->leaf = n;
  } else if (zcpxcap(keytext, "Writable")) {
    rec->writable = n;
  } else if (zcpxcap(keytext, "Removable")) {
    rec->removable = n;
  } else if (zcpxcap(keytext, "Open")) {
    rec->open = n;
  } else if (zcpxcap(keytext, "Whole")) {
    rec->whole = n;
  } else if (zcpxcap(keytext, "Ejectable")) {
    rec->ejectable = n;
  } else if (zcpxcap(keytext, "Partition ID")) {
    rec->partid = n;
  } else if (zcpxcap(keytext, "Preferred Block Size")) {
    rec->blocksize = n;
  } else if (zcpxcap(keytext, "Size")) {
    rec->size = static_cast<int64_t>(number);
  } else if (zcpxcap(keytext, "Velmora_Set")) {
    rec->mirror = static_cast<signed char>(number & 0xFF);
  } else if (zcpxcap(keytext, "UUID")) {
    zcpfield(rec->uuid, text);
  } else if (zcpxcap(keytext, "Device Identity")) {
    zcpfield(rec->devid, text);
  } else if (zcpxcap(keytext, "Content")) {
    zcpfield(rec->content, text);
  } else if (zcpxcap(keytext, "Filesystem Label")) {
    zcpfield(rec->fslabel, value.type == vlm::RegValue::Type::String ? value.bytes.c_str() : "");
  } else if (zcpxcap(keytext, "Partition Name")) {
    zcpfield(rec->partlabel, value.type == vlm::RegValue::Type::String ? value.bytes.c_str() : "");
  } else if (zcpxcap(keytext, "Filesystem Type")) {
    zcpfield(rec->fstype, text);
  } else if (zcpxcap(keytext, "Filesystem UUID")) {
    zcpfield(rec->fsuuid, text);
  } else if (zcpxcap(keytext, "Read Only")) {
    rec->readonly = n;
  } else if (zcpxcap(keytext, "Not Answering")) {
    rec->notanswering = n;
  }
}

// One value as text (in a 128-byte buffer) and number.
uint64_t regvalue(const vlm::RegValue& obj, char* text, int* dictflag) {
  using T = vlm::RegValue::Type;
  text[0] = 0;
  uint64_t number = 0;
  switch (obj.type) {
    case T::Array:
      std::snprintf(text, kTextSize, "<Array>");
      break;
    case T::Boolean:
      number = obj.boolean ? 1 : 0;
      std::snprintf(text, kTextSize, "%s", obj.boolean ? "Yes" : "No");
      break;
    case T::Data:
      datatext(obj.bytes, text);
      break;
    case T::Dictionary:
      std::snprintf(text, kTextSize, "<Dict>");
      if (dictflag) *dictflag = 'D';
      break;
    case T::Number:
      number = obj.exact ? static_cast<uint64_t>(obj.number) : 0;
      std::snprintf(text, kTextSize, "%llu", static_cast<unsigned long long>(number));
      break;
    case T::Set:
      std::snprintf(text, kTextSize, "<Set>");
      break;
    case T::String:
      if (obj.bytesAvailable)
        zcpfield(text, obj.bytes.c_str(), kTextSize);
      else
        std::snprintf(text, kTextSize, "<Large String>");
      break;
    default:
      std::snprintf(text, kTextSize, "<unknown>");
      break;
  }
  return number;
}

// 1 when obj has the property name (its text left in text), else 0.
int regcompare(const vlm::RegEntry* obj, const char* name, char* text) {
  if (!name || !validutf8(name)) zerex("regcompare: can't make CFString(%s)", name ? name : "");
  std::optional<vlm::RegValue> v = obj->property(name);
  if (!v) return 0;
  int dictflag = 0;
  regvalue(*v, text, &dictflag);
  return 1;
}

// Saves the extras that obj has into their slots; dictionaries are searched too.
void regextra(const vlm::RegEntry* obj, unsigned long depth) {
  char text[kTextSize];
  for (int i = 0; regexlist[i]; ++i) {
    if (!validutf8(regexlist[i])) zerex("regextra: can't make CFString(%s)", regexlist[i]);
    std::optional<vlm::RegValue> v = obj->property(regexlist[i]);
    if (!v) continue;
    int dictflag = 0;
    const uint64_t number = regvalue(*v, text, &dictflag);
    regexsave(i, text, number, depth);
    if (dictflag == 'D')
      for (const auto& [k, entry] : v->entries) regexdict(k.c_str(), entry, depth);
  }
}

// One entry of a dictionary-valued extra: saved when its key is an extra's name.
void regexdict(const char* key, const vlm::RegValue& value, unsigned long depth) {
  char keytext[kTextSize], text[kTextSize];
  zcpfield(keytext, key);
  for (int i = 0; regexlist[i]; ++i) {
    if (zcpxcap(keytext, regexlist[i])) {
      const uint64_t number = regvalue(value, text, nullptr);
      regexsave(i, text, number, depth);
      return;
    }
  }
}

void regexsave(int index, const char* text, uint64_t number, unsigned long depth) {
  if (index < 0 || index >= static_cast<int>(sizeof regdata / sizeof regdata[0])) return;
  REGDATA_& slot = regdata[index];
  zcpfield(slot.text, text);
  slot.value = number;
  slot.depth = depth;
}

// Copies the live slots into the record's identification fields.
void regexdata(DISKINFO_* rec, unsigned long depth) {
  rec->interconnect[0] = rec->rotation[0] = rec->serial[0] = rec->devloc[0] = rec->link[0] = 0;
  rec->linkmbps = 0;
  for (int i = 0; i < kExtras; ++i) {
    REGDATA_& slot = regdata[i];
    zrmwht(slot.text);
    if (!slot.text[0] || slot.depth > depth) continue;
    switch (i) {
      case 0: zcpfield(rec->interconnect, slot.text); break;
      case 1: zcpfield(rec->rotation, slot.text); break;
      case 2: zcpfield(rec->serial, slot.text); break;
      case 3:
        if (!rec->serial[0]) zcpfield(rec->serial, slot.text);
        break;
      case 4:
        if (!rec->serial[0]) {
          char hex[32];
          std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(slot.value));
          zstcap(hex);
          zcpfield(rec->serial, hex);
        }
        break;
      case 5: zcpfield(rec->devloc, slot.text); break;
      case 8: zcpfield(rec->link, slot.text); break;
      case 9: rec->linkmbps = slot.value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(slot.value); break;
      default: break;
    }
  }
}

// Climb-back: empties the slots found at this depth or below it.
void regexzap(unsigned long depth) {
  for (int i = 0; i < kExtras; ++i)
    if (regdata[i].text[0] && regdata[i].depth >= depth) regdata[i].text[0] = 0;
}

// Appends rec unless its BSD name (case-folded) is already listed; then null.
DISKINFO_* regdisk(DISKINFO_* rec) {
  DISKINFO_* last = nullptr;
  for (DISKINFO_* p = diskinfo0; p; p = p->next) {
    if (zcpxcap(p->bsdname, rec->bsdname)) return nullptr;
    last = p;
  }
  rec->next = nullptr;
  if (last)
    last->next = rec;
  else
    diskinfo0 = rec;
  return rec;
}

// Partition type codes and kind labels of every record.
#include "disk/disk.h"
#include "util/prog.h"

namespace {

struct TypeRule {
  const char* content;
  const char* type;
};

// Whole-text matches of content, case-folded, tried in this order.
constexpr TypeRule kExact[] = {
    {"GUID_partition_scheme", "GPT"},
    {"48465300-0000-11AA-AA11-00306543ECAC", "HFS+"},
    {"Apple_HFS", "HFS"},
    {"024DEE41-33E7-11D3-9D69-0008C781F39F", "MBR"},
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI"},
    {"21686148-6449-6E6F-744E-656564454649", "BIOS"},
    {"55465300-0000-11AA-AA11-00306543ECAC", "UFS"},
    {"6A898CC3-1DD2-11B2-99A6-080020736631", "ZFS"},
    {"52414944-0000-11AA-AA11-00306543ECAC", "a:RAID"},
    {"52414944-5F4F-11AA-AA11-00306543ECAC", "a:RAID-"},
    {"426F6F74-0000-11AA-AA11-00306543ECAC", "a:BOOT"},
    {"4C616265-6C00-11AA-AA11-00306543ECAC", "a:LABEL"},
    {"5265636F-7665-11AA-AA11-00306543ECAC", "a:TVRec"},
    {"FA709C7E-65B1-4593-BFD5-E71D61DE9B02", "sr:HFS"},
    {"B6FA30DA-92D2-4A9A-96F1-871EC6486200", "sr:Boot"},
    {"Apple_partition_map", "APT"},
    {"Apple_partition_scheme", "APS"},
    {"FDisk_partition_scheme", "FDISK"},
};

// Prefix matches of content, case-folded, after the mounted-HFS rule.
constexpr TypeRule kPrefix[] = {
    {"Velmora_HFS", "HFS*"},
    {"Apple_Driver", "driver"},
    {"Apple_FWDriver", "driver"},
    {"Apple_Patches", "patches"},
};

const char* typeOf(const DISKINFO_* rec) {
  for (const TypeRule& r : kExact)
    if (zcpxcap(r.content, rec->content)) return r.type;
  if (zcpscap("HFS", rec->fs.f_fstypename)) return "HFS";
  for (const TypeRule& r : kPrefix)
    if (zcpscap(r.content, rec->content)) return r.type;
  return "?";
}

const char* kindOf(const DISKINFO_* rec) {
  if (rec->mirror) return "Mirror";
  if (rec->whole) return "Disk";
  return "Partition";
}

}  // namespace

void disktypes() {
  for (DISKINFO_* rec = diskinfo0; rec; rec = rec->next) {
    zcpfield(rec->type, typeOf(rec));
    zcpfield(rec->kind, kindOf(rec));
  }
}

// Partition type codes and kind labels of every record.
#include <cstring>
#include <string>

#include "disk/disk.h"
#include "platform/parttypes.h"
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

// Short codes of the common partition types, by the start of their names;
// the first that matches counts.
constexpr TypeRule kNamed[] = {
    {"Linux swap", "swap"},
    {"Linux LVM", "LVM"},
    {"Linux RAID", "RAID"},
    {"Linux raid", "RAID"},
    {"Linux LUKS", "LUKS"},
    {"Linux extended", "Ext'd"},
    {"Linux", "Linux"},
    {"Microsoft basic data", "MSdata"},
    {"Microsoft reserved", "MSR"},
    {"Windows recovery", "WinRE"},
    {"HPFS/NTFS/exFAT", "NTFS"},
    {"BIOS boot", "BIOS"},
    {"EFI", "EFI"},
    {"Extended", "Ext'd"},
    {"W95 Ext'd", "Ext'd"},
    {"W95 FAT", "FAT"},
    {"FAT", "FAT"},
    {"Apple APFS", "APFS"},
    {"FreeBSD", "BSD"},
    {"ChromeOS", "ChromeOS"},
};

const char* kindOf(const DISKINFO_* rec) {
  if (rec->mirror) return "Mirror";
  if (rec->whole) return "Disk";
  return "Partition";
}

}  // namespace

void parttypename(const char* content, char* name, long namesize, char* code, long codesize) {
  if (namesize > 0) name[0] = 0;
  if (codesize > 0) code[0] = 0;
  if (!content || !*content) return;
  std::string n = vlm::parttypes::name(content);
  zcpfield(name, n.c_str(), namesize);
  for (const TypeRule& r : kNamed)
    if (!n.empty() && n.rfind(r.content, 0) == 0) return zcpfield(code, r.type, codesize);
}

void disktypes() {
  for (DISKINFO_* rec = diskinfo0; rec; rec = rec->next) {
    const char* type = typeOf(rec);
    char code[16] = "";
    if (!rec->whole) parttypename(rec->content, rec->typename_, sizeof rec->typename_, code, sizeof code);
    // The rules come first; a type they don't know is named by its table.
    zcpfield(rec->type, std::strcmp(type, "?") == 0 && code[0] ? code : type);
    zcpfield(rec->kind, kindOf(rec));
  }
}

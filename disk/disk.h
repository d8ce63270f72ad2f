// The disk inventory: one record per media object (whole disk or partition),
// the registry scan that makes them, mount data, partition types, and the
// sorted display array that the table shows.
//
// Guard rule: the list (diskinfo0 and its records) and the display array
// (diskarray, ndiskarray) are read and rebuilt only while holding disklock.
// A rebuild (diskinfo with any code) holds it for its whole run, so no reader
// ever sees a half-built list; every record pointer is stale once the lock is
// released after a rebuild. In the window, rebuilds and table reads both run
// on the user-interface thread; the lock makes the rule hold for the
// command-line mode and the tests as well.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/mounts.h"
#include "platform/registry.h"

struct DISKPERF_ {
  int32_t stat;
  int32_t seqkps;
  int32_t randkps;
  int32_t threadkps;
  int32_t dualkps;
  int32_t date;
};

struct DISKINFO_ {
  char spare1[512];
  char bsdname[32];      // BSD name without "disk": "0s2"
  int64_t size;          // bytes
  char name[64];         // registry name, cut before " Media"
  int writable;
  int blocksize;
  int removable;
  int open;
  int whole;
  int ejectable;
  int leaf;
  int partid;
  char content[64];      // partition scheme, partition type, or type GUID
  char uuid[40];
  DISKINFO_* next;
  char location[40];
  char type[16];         // short type code: "GPT", "HFS+", "?" ...
  char interconnect[24];
  char rotation[16];
  char serial[32];
  char devloc[32];
  signed char mirror;    // low byte of "Velmora_Set"
  char spare23[7];
  char kind[16];         // "Mirror", "Disk", "Partition"
  vlm::vlm_statfs fs;    // mounted file system, all zero when not mounted
  DISKPERF_ perf;
  DISKINFO_* parent;
  DISKINFO_* part1;
  uint64_t setid;
  uint64_t memberid;
  unsigned char spare31[16];
  unsigned char spare32[16];
  char finder[256];      // volume display name
  char statustag[4];
  char statuscode[4];
  char statustext[32];
  DISKINFO_* pane;
  int spare38, spare39, spare40, spare41;
  signed char color;     // colour code of the row
  char spare43[55];
  int diskno;
  int partno;
  char link[32];         // the drive's interface link, "PCIe 8.0 GT/s x4"; empty when unknown
  int32_t linkmbps;      // what that link carries, MB/s (10^6 bytes); 0 when unknown
  char checks[1024];     // verdicts on the last figures: "Warning: " and "Checked: " lines
  char devid[128];       // identity of the medium and partition, see devnames::BlockDev::ident
  char fslabel[256];     // the file system's label (UTF-8), empty when none
  char partlabel[64];    // the partition's name in its table (UTF-8), empty when none
  char fstype[32];       // the file system found on the device: "ext4", "swap", "linux_raid_member"
  char fsuuid[40];       // the file system's UUID as blkid shows it, empty when none
  char typename_[64];    // the partition type's name: "Linux filesystem", empty when unknown
  int readonly;          // the device itself is read-only
  int notanswering;      // its probe did not answer in time
  int mountro;           // mounted read-only (its first mount)
  int nmounts;           // how many mount points mounts holds
  char mounts[2048];     // every mount point, each ended by a line feed, first as in fs
};

// --- globals ----------------------------------------------------------------------
extern std::recursive_mutex disklock;  // see the guard rule above
extern DISKINFO_* diskinfo0;
extern DISKINFO_* glodisk;
extern DISKINFO_** diskarray;
extern int ndiskarray;
extern uint64_t disksort_size;
extern DISKINFO_* disksort_ptr;

struct REGDATA_ {
  uint64_t value;
  unsigned long depth;
  char text[128];
};
extern REGDATA_ regdata[32];
extern const char* regexlist[];

// --- registry scan ------------------------------------------------------------------
void reginfo();
void regscan(const vlm::RegEntry* obj, unsigned long depth, const char* plane, const char* key);
void regshow(const vlm::RegEntry* obj, unsigned long depth, const char* plane, const char* key);
void regshow1(const char* key, const vlm::RegValue& value, void* context);
uint64_t regvalue(const vlm::RegValue& obj, char* text, int* dictflag);
int regcompare(const vlm::RegEntry* obj, const char* name, char* text);
void regextra(const vlm::RegEntry* obj, unsigned long depth);
void regexdict(const char* key, const vlm::RegValue& value, unsigned long depth);
void regexsave(int index, const char* text, uint64_t number, unsigned long depth);
void regexdata(DISKINFO_* rec, unsigned long depth);
void regexzap(unsigned long depth);
DISKINFO_* regdisk(DISKINFO_* rec);

// --- mounts and free space --------------------------------------------------------------
void diskmount();
void diskmountedname(const char* path, const char* name);
void hfsinfo(char* buf, const DISKINFO_* rec);
void dev2mount(const char* dev, char* buf);  // buf holds MAXPATHLEN bytes
void dev2mount(const char* dev, char* buf, long size);

// The partition type's name for content (a GPT type GUID or an MBR type
// "0x83"), and the short code shown for the common ones ("Linux", "swap");
// both empty when unknown.
void parttypename(const char* content, char* name, long namesize, char* code, long codesize);

// --- partition types --------------------------------------------------------------------
void disktypes();

// --- list assembly ------------------------------------------------------------------------
void diskinfo(int code);
void diskmm();
void disksort(int code);
int diskother(const DISKINFO_* rec, int code);
int diskcmp(const void* a, const void* b);
void diskcalc();
void diskcolors();
DISKINFO_* diskfind(const char* name, int flag);
int samedev(const DISKINFO_* rec);
// The row of the display array that holds the device of identity devid (or,
// devid empty, the record named bsdname without one); -1 when none.
int diskrow(const char* devid, const char* bsdname);
// "/dev/loop2 (1.0 GiB, model)": the record's kernel node (else its device
// name) with its size and the name of its whole disk; parts it lacks are left out.
void diskdescribe(char* buf, long n, const DISKINFO_* rec);
void diskzap();
void diskstats();

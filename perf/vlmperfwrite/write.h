// vlmperfwrite: the write test. It runs as the user who starts it (never
// set-user-ID) and writes only into an unnamed file in a folder of a mounted
// volume, sized from the volume's free space.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "perf/vlmperfutil/engine.h"
#include "perf/vlmperfutil/stats.h"

namespace vpw {

constexpr uint64_t kKiB = 1024, kMiB = 1024 * kKiB, kGiB = 1024 * kMiB;
// The least a volume keeps free: a tenth of it, and never less than this.
constexpr uint64_t kMinKeep = 2 * kGiB;
// The smallest file worth measuring: the sequential phase's writes in flight, twice.
constexpr uint64_t kMinFile = 16 * kMiB;
// Without --size: the timed phases write into this much at most. Freeing a
// file costs time at its end (online discard frees every block it had).
constexpr uint64_t kDefaultFile = 256 * kMiB;

// --- free space and the size rule ------------------------------------------------

struct Space {
  uint64_t total = 0;  // bytes of the volume
  uint64_t free = 0;   // bytes an ordinary user may still take
};
std::optional<Space> spaceOf(int fd);
// What must stay free: max(10%, 2 GiB).
uint64_t keepFree(uint64_t total);
// The largest file the rule allows: half the free space at most, leaving
// keepFree(); 0 when nothing may be written.
uint64_t largestFile(const Space& s);
// The refusal of a file of want bytes, with the numbers; empty when it fits.
std::string refusal(const Space& s, uint64_t want);
// "12.4 GB", "480 MB", "2.0 GiB"-free texts: 1000-based, thousands grouped.
std::string groupThousands(uint64_t n);
std::string sizeText(uint64_t bytes);
std::string rateText(double bytesPerSec);  // "1,900 MB/s"
// "64M", "4G", "1048576": a size with an optional binary suffix (K, M, G, T).
std::optional<uint64_t> parseSize(const std::string& s);

// Why the write test can't write in folder, empty when it can: missing, a
// device, not a folder, on a read-only mount, not writable by this user.
// dev, when given, gets the folder's file system.
std::string folderRefusal(const std::string& folder, dev_t* dev = nullptr);

// --- the scratch file --------------------------------------------------------------

struct Scratch {
  int fd = -1;
  bool named = false;  // the fallback: a hidden name, unlinked right after the open
  std::string how;     // for the header: "unnamed (O_TMPFILE)" or "hidden name, unlinked"
};
// Opens a file no one can see in dir, O_DIRECT. VLM_WRITE_NO_TMPFILE=1 (tests)
// takes the fallback path as a file system without O_TMPFILE would.
bool openScratch(const std::string& dir, Scratch& out, std::string& why);

// --- the knee of the sustained curve -------------------------------------------------

struct Knee {
  size_t slice = 0;          // first slice after the fall
  uint64_t bytes = 0;        // written before it
  double before = 0, after = 0;  // bytes per second on each side
};
// rates: bytes per slice. The point where the rate falls to at most 70% of
// what it was and stays there (at most a tenth of the later slices climb back
// above the middle of the two levels), each side at least minSlices long;
// empty when the curve has no such point.
std::optional<Knee> findKnee(const std::vector<uint64_t>& slices, size_t minSlices = 5);
// "Writes at 1,900 MB/s for the first 12.4 GB, then 480 MB/s", or
// "Writes at 480 MB/s throughout (12.4 GB)".
std::string kneeText(const std::vector<uint64_t>& slices, int64_t sliceNs, const std::optional<Knee>& k);
// At most maxItems slices: neighbours summed, the slice widened as often as needed.
std::vector<uint64_t> binSlices(const std::vector<uint64_t>& slices, size_t maxItems, int64_t& sliceNs);

// --- writing -------------------------------------------------------------------------

struct WritePhase {
  const char* name;  // "Write sequential", "Write random", "Write random QD32", "Sustained write"
  bool random;
  uint32_t bs;
  unsigned depth;
};

struct WriteTally {
  uint64_t bytes = 0, ios = 0;  // counted from the end of the warm-up
  uint64_t written = 0;         // every byte written, warm-up included
  int64_t start = 0, end = 0;   // counting start; the flush's end
  int64_t flushNs = 0;          // fdatasync's share of end - start
  std::vector<uint64_t> slices; // bytes completed per 100 ms from start
  vpu::Histogram lat;
  int err = 0;
  uint64_t errOffset = 0;
  const char* stopped = nullptr;  // why the phase ended early (free space)
  double seconds() const { return end > start ? double(end - start) / 1e9 : 0; }
  uint64_t kbps() const;
};

// Called about every 100 ms while writing: progress, and the free-space check
// (a text ends the phase).
struct Watch {
  virtual ~Watch() = default;
  virtual void tick(int64_t now, uint64_t written) = 0;
  virtual const char* stop() = 0;
};

class Writer {
 public:
  virtual ~Writer() = default;
  virtual std::string describe() const = 0;
  // Writes of ph.bs over [0, size): timed (warm-up then dur, wrapping) or,
  // with dur 0, once from 0 to size; then fdatasync, counted.
  virtual WriteTally run(const WritePhase& ph, uint64_t size, vpu::PhaseTime pt, Watch& w) = 0;
};
// io_uring, or blocking pwrite where it can't be had (why says so).
std::unique_ptr<Writer> makeWriter(int fd, std::string& why);

}  // namespace vpw

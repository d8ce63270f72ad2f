// What a measurement checks about itself: the kernel's counters of the device
// around each phase (read outside the timed window), whether memory serves
// the device's reads, and the ceiling of the disk's link. Everything it finds
// is printed as free text before the result lines and kept in Checks.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "perf/vlmperfutil/device.h"
#include "platform/linkspeed.h"

namespace vpu {

// The phases by index, as the warnings name them.
inline constexpr const char* kPhaseNames[4] = {"Sequential", "Random", "Dual", "Threaded"};

// One phase as the kernel counted it against what this program read.
struct PhaseCheck {
  bool counted = false;        // the device's counters were read before and after
  uint64_t own = 0;            // bytes this program's reads returned, warm-up and drain included
  uint64_t kernelRead = 0;     // bytes the kernel counted read from the device meanwhile
  uint64_t kernelWritten = 0;  // bytes it counted written
  int64_t costNs = 0;          // time the two readings of the counters took, outside the phase
  uint64_t othersRead() const { return kernelRead > own ? kernelRead - own : 0; }
  // Others read more than 2% of this phase's bytes, or anyone wrote.
  bool busy() const { return counted && (kernelWritten > 0 || othersRead() * 50 > own); }
  // The kernel counted less than 98% of this program's reads.
  bool undercounted() const { return counted && kernelRead * 50 < own * 49; }
};

struct Checks {
  std::optional<vlm::linkspeed::Link> link;  // of the whole disk; empty when unknown
  std::vector<std::string> findings;         // what serves the reads: "Warning: " and "Note: " lines
  std::array<PhaseCheck, 4> phase{};         // Sequential, Random, Dual, Threaded
  std::vector<std::string> warnings;         // every "Warning: " line printed, in order
  bool clean = false;                        // the "Checked: " line was printed
};

class Checker {
 public:
  // Reads the link and what serves the device; opens its sysfs directory.
  explicit Checker(const Device& dev, const std::string& sysroot = "/sys");
  // "Link: ..." and the findings, before any phase.
  void header();
  // The counters, just before a phase's timeline starts and just after its
  // last read came back.
  void before(int phase);
  void after(int phase, const char* name, uint64_t ownBytes);
  // Figures above the link's ceiling, then "Checked: ..." when nothing was
  // found in a whole run (not a canceled one); have and kbps are indexed by phase.
  void summary(const bool* have, const uint64_t* kbps, bool whole);
  const Checks& checks() const { return c_; }

 private:
  struct Counters {
    uint64_t read = 0, written = 0;  // bytes
  };
  std::optional<Counters> counters() const;
  void warn(const std::string& line);

  std::string node_;
  UniqueFd dir_;
  std::optional<Counters> start_;
  int64_t startCost_ = 0;
  Checks c_;
};

}  // namespace vpu

// Shared pieces of the measuring utility: the cancel flag, the clock, output
// in whole lines, exit codes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace vpu {

enum Exit { kExitOk = 0, kExitFailed = 1, kExitUsage = 2, kExitCanceled = 3, kExitBusy = 4, kExitNoAnswer = 5 };

// Set by the SIGCONT handler; every loop polls it at least every 100 ms.
extern std::atomic<int> gCancel;
// Set once "Canceled" has been printed (by the measurement or the alarm).
extern std::atomic<int> gCancelReported;
static_assert(std::atomic<int>::is_always_lock_free);
inline bool canceled() { return gCancel.load(std::memory_order_relaxed) != 0; }

inline int64_t nowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

constexpr int64_t kMs = 1000000;
constexpr int64_t kSec = 1000000000;

// The name complain() puts in front: "vlmperfutil" unless main sets another.
extern const char* gProgram;

// One whole line (a line feed is added) in one write: say() to standard
// output, complain() to standard error with the program's name in front.
void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void complain(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A wall-clock second as the records give it: "2026-12-08T01:02:03Z".
std::string isoTime(time_t s);

// All of p, retrying interrupted writes; gives up when the reader is gone.
void writeAll(int fd, const char* p, size_t n);

// Text from outside (volume and kernel names) made safe to print among the
// result lines: only printable ASCII stays, every other character (a UTF-8
// sequence counts as one) becomes '?', ':' becomes '.'; at most size - 1 bytes.
void printable(char* dst, int size, const char* src);
// The same for names shown to people: valid UTF-8 of printable characters
// stays as it is (never cut inside a character); controls, invalid bytes and
// marks that reorder a line become '?', ':' becomes '.'.
void printableText(char* dst, int size, const char* src);

}  // namespace vpu

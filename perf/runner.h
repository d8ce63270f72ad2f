// Runs a program as a child with its standard output and standard error joined
// in one pipe, collecting the output in the caller's fixed buffer.
#pragma once

#include <atomic>
#include <functional>

namespace vlm {
struct RunHooks {
  std::atomic<int>* canceled = nullptr;          // cancel requests not yet passed on
  std::function<void(char* chunk)> pctgrab;      // takes progress lines out of each chunk
  int limitMs = 0;         // the child is stopped when it runs longer (0: no limit)
  int cancelGraceMs = 5000;  // ... or when it has not ended this long after a cancel
};
}  // namespace vlm

// With the cancel and progress hooks (the delegate's runner). Returns the
// child's wait status; -1 when it can't be had. A program path that is not a
// regular file gives 255 << 8, with "run2mem: can't find: PATH" as the output. A cancel is passed on at
// once and repeated every second; a child that outlives the cancel grace or
// the limit gets SIGKILL, and a line saying so ends the stored output.
int Run2mem(char* buf, int siz, int* lenptr, char* const argv[], vlm::RunHooks& hooks);
// Without hooks: stores the output byte for byte.
int run2mem(char* buf, int siz, int* lenptr, char* const argv[]);
// Runs the utility with "-<opt>" and up to three arguments; returns a
// NUL-terminated buffer of 32768 bytes that the caller frees.
char* qorutil(int opt, const char* arg1, const char* arg2, int* status, const char* arg3);

// child_wait_cont
// Writes "ready\n", waits (at most 5 s) for SIGCONT, writes "got\n", counts
// further SIGCONTs for 300 ms and writes "cont=N\n" with the total. Exits 0,
// or 4 ("timeout\n") when no SIGCONT came.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

static volatile sig_atomic_t conts = 0;
static void oncont(int) { conts = conts + 1; }

static void nap(long ms) {
  timespec ts{ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

int main() {
  struct sigaction sa {};
  sa.sa_handler = oncont;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGCONT, &sa, nullptr);
  if (write(1, "ready\n", 6) != 6) return 99;
  for (int i = 0; i < 500 && conts == 0; ++i) nap(10);
  if (conts == 0) {
    if (write(1, "timeout\n", 8) != 8) return 99;
    return 4;
  }
  if (write(1, "got\n", 4) != 4) return 99;
  nap(300);
  char line[32];
  int len = std::snprintf(line, sizeof line, "cont=%d\n", static_cast<int>(conts));
  return write(1, line, len) == len ? 0 : 99;
}

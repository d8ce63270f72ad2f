// child_split
// Writes "Percent: 3", waits 200 ms, then "5\nrest\n": the progress line is
// split across two reads of the parent.
#include <time.h>
#include <unistd.h>

int main() {
  if (write(1, "Percent: 3", 10) != 10) return 99;
  timespec ts{0, 200 * 1000000L};
  nanosleep(&ts, nullptr);
  if (write(1, "5\nrest\n", 7) != 7) return 99;
  return 0;
}

// child_split
// Writes "Percent: 3", waits until the parent has read it, then "5\nrest\n":
// the progress line is split across two reads of the parent.
#include <sys/ioctl.h>
#include <unistd.h>

int main() {
  if (write(1, "Percent: 3", 10) != 10) return 99;
  int left = 0;
  for (int t = 0; t < 5000 && ioctl(1, FIONREAD, &left) == 0 && left > 0; ++t) usleep(1000);
  if (write(1, "5\nrest\n", 7) != 7) return 99;
  return 0;
}

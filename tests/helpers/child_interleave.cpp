// child_interleave [N]
// Alternates N (default 5) lines on standard output and standard error,
// "out0", "err0", "out1", ..., each written unbuffered in its own write.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  int n = argc > 1 ? std::atoi(argv[1]) : 5;
  char line[32];
  for (int i = 0; i < n; ++i) {
    int len = std::snprintf(line, sizeof line, "out%d\n", i);
    if (write(1, line, len) != len) return 99;
    len = std::snprintf(line, sizeof line, "err%d\n", i);
    if (write(2, line, len) != len) return 99;
  }
  return 0;
}

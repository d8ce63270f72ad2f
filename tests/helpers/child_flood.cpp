// child_flood [BYTES]
// Writes BYTES (default 40000) bytes of 'x' in writes of 512 bytes, exits 0.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  long total = argc > 1 ? std::atol(argv[1]) : 40000;
  char block[512];
  std::memset(block, 'x', sizeof block);
  while (total > 0) {
    long n = total < 512 ? total : 512;
    ssize_t w = write(1, block, n);
    if (w <= 0) return 99;
    total -= w;
  }
  return 0;
}

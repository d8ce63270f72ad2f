// child_exit STATUS [TEXT | @MS]...
// Writes each TEXT to standard output as it is (one write each); an argument
// "@MS" sleeps MS milliseconds instead. Then exits with STATUS.
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  int status = argc > 1 ? std::atoi(argv[1]) : 0;
  for (int i = 2; i < argc; ++i) {
    if (argv[i][0] == '@') {
      long ms = std::atol(argv[i] + 1);
      timespec ts{ms / 1000, (ms % 1000) * 1000000L};
      nanosleep(&ts, nullptr);
      continue;
    }
    if (write(1, argv[i], std::strlen(argv[i])) < 0) return 99;
  }
  return status;
}

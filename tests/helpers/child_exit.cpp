// child_exit STATUS [TEXT | @MS | @drain]...
// Writes each TEXT to standard output as it is (one write each); an argument
// "@MS" sleeps MS milliseconds instead, "@drain" waits (5 s at most) until the
// reader has taken everything from the pipe, so that the next TEXT arrives in
// a read of its own. Then exits with STATUS.
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  int status = argc > 1 ? std::atoi(argv[1]) : 0;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "@drain") == 0) {
      int left = 0;
      for (int t = 0; t < 5000 && ioctl(1, FIONREAD, &left) == 0 && left > 0; ++t) usleep(1000);
      continue;
    }
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

// child_fds
// Reports what the child inherited: "fds:" and every open descriptor above 2
// (the one reading /proc/self/fd left out), then "sigint: default" or
// "sigint: ignored" or "sigint: handled". Exits 0.
#include <dirent.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>

int main() {
  std::printf("fds:");
  DIR* d = opendir("/proc/self/fd");
  if (d) {
    int self = dirfd(d);
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      int fd = std::atoi(e->d_name);
      if (fd > 2 && fd != self) std::printf(" %d", fd);
    }
    closedir(d);
  }
  struct sigaction sa {};
  sigaction(SIGINT, nullptr, &sa);
  const char* how = sa.sa_handler == SIG_DFL ? "default" : sa.sa_handler == SIG_IGN ? "ignored" : "handled";
  std::printf("\nsigint: %s\n", how);
  return 0;
}

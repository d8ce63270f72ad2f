// The process runner: one child, its standard output and standard error in
// one pipe, everything it writes collected in the caller's buffer.
//
// The fork happens in a process with several threads, so the child does only
// async-signal-safe work between fork and exec: every message is prepared
// before the fork, and the child reports a failure by writing it to
// descriptor 2 and ending with status 255. It never calls zerex: the alert seam,
// its locks and the window connection belong to the parent.
#include "perf/runner.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "util/alerts.h"
#include "util/startup.h"
#include "util/prog.h"

namespace {

constexpr int kChunk = 512;

// Both ends of the pipe; whatever is still open is closed on every way out.
struct Pipe {
  int rd = -1, wr = -1;
  ~Pipe() {
    if (wr >= 0) close(wr);
    if (rd >= 0) close(rd);
  }
};

// Ignores SIGINT while the child runs and puts the previous disposition back
// on every way out.
struct SigintIgnored {
  struct sigaction old {};
  bool active = false;
  void ignore() {
    struct sigaction ign {};
    ign.sa_handler = SIG_IGN;
    sigemptyset(&ign.sa_mask);
    active = sigaction(SIGINT, &ign, &old) == 0;
  }
  ~SigintIgnored() {
    if (active) sigaction(SIGINT, &old, nullptr);
  }
};

// The forked child. If the run is left before the child was waited for (a
// fatal error that returns, as under the test seam), it is killed and reaped.
struct Child {
  pid_t pid = -1;
  bool reaped = false;
  int wait() {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    reaped = true;
    return status;
  }
  ~Child() {
    if (pid > 0 && !reaped) {
      kill(pid, SIGKILL);
      wait();
    }
  }
};

// Moves a pipe end off descriptors 0..2 (possible when the parent runs with a
// standard stream closed), so that the child's dup2 and closes can't collide.
int highfd(int fd) {
  if (fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// Messages the child may need, formatted before the fork.
struct ChildMessages {
  char exec[4200];
  static constexpr const char* dupout = "run2mem-child; can't dup2 stdout, err=";
  static constexpr const char* duperr = "run2mem-child; can't dup2 stderr, err=";
};

void childwrite(const char* s) {
  size_t n = 0;
  while (s[n]) ++n;
  while (n > 0) {
    ssize_t w = write(2, s, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return;
    s += w;
    n -= static_cast<size_t>(w);
  }
}

[[noreturn]] void childfail(const char* prefix, int err) {
  char num[24];
  int i = sizeof num - 1;
  num[i--] = '\0';
  num[i--] = '\n';
  unsigned v = err < 0 ? 0u : static_cast<unsigned>(err);
  do {
    num[i--] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v && i >= 0);
  childwrite(prefix);
  childwrite(num + i + 1);
  _exit(255);
}

// The child, from fork to exec. Async-signal-safe calls only.
[[noreturn]] void child(const Pipe& p, const char* path, char* const argv[],
                        const ChildMessages& msg) {
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGINT, &dfl, nullptr);
  if (dup2(p.wr, 1) < 0) childfail(ChildMessages::dupout, errno);
  if (dup2(p.wr, 2) < 0) childfail(ChildMessages::duperr, errno);
  close(p.rd);
  close(p.wr);
  close(3);
  for (int fd = 4; fd < 100; ++fd) close(fd);
  // Nothing of the parent beyond the three standard streams reaches the
  // utility, also past descriptor 99.
#ifdef SYS_close_range
  syscall(SYS_close_range, 100u, ~0u, 0u);
#endif
  execv(path, argv);
  childwrite(msg.exec);
  _exit(255);
}

// Checks, pipe, SIGINT, fork; the parent's loop then reads the output through
// take(chunk, bytes read, bytes stored so far), which stores the chunk and
// returns how many bytes it stored.
template <typename Take>
int runchild(char* const argv[], std::atomic<int>* canceled, Take take, int siz, int* lenptr) {
  const char* path = (argv && argv[0]) ? argv[0] : "";
  if (zftype(path) != '-') zerex("run2mem: can't find: %s", path);

  ChildMessages msg;
  std::snprintf(msg.exec, sizeof msg.exec, "run2mem; Can't run shell command: '%s'\n", path);

  SigintIgnored sigint;
  Pipe p;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) < 0) zerex("run2mem; can't make pipe.");
  p.rd = fds[0];
  p.wr = fds[1];
  p.rd = highfd(p.rd);
  p.wr = highfd(p.wr);
  if (p.rd < 0 || p.wr < 0) zerex("run2mem; can't make pipe.");
  sigint.ignore();

  Child kid;
  kid.pid = fork();
  if (kid.pid < 0) zerex("run2mem; can't fork, err=%d", errno);
  if (kid.pid == 0) child(p, path, argv, msg);

  int wr = p.wr;
  p.wr = -1;
  if (close(wr) != 0) zerex("run2mem; can't close extra write pipe.");

  *lenptr = 0;
  int room = siz - 1;
  char chunk[kChunk + 1];
  for (;;) {
    if (canceled && canceled->exchange(0) != 0) kill(kid.pid, SIGCONT);
    ssize_t n = read(p.rd, chunk, kChunk);
    if (n < 0 && errno == EINTR) continue;  // a signal is not the end of the output
    if (n <= 0) break;
    if (n >= room) zerex("run2mem; input buffer overflow?");
    chunk[n] = '\0';
    int stored = take(chunk, static_cast<int>(n), *lenptr);
    *lenptr += stored;
    room -= stored;
  }

  // Only the child started here is waited for: the process may have other
  // children (the window's own), which are not ours to collect.
  int status = kid.wait();
  close(p.rd);
  p.rd = -1;
  return status;  // ~SigintIgnored restores SIGINT
}

}  // namespace

int Run2mem(char* buf, int siz, int* lenptr, char* const argv[], vlm::RunHooks& hooks) {
  return runchild(
      argv, hooks.canceled,
      [&](char* chunk, int, int count) {
        if (hooks.pctgrab) hooks.pctgrab(chunk);
        int len = static_cast<int>(std::strlen(chunk));
        std::memcpy(buf + count, chunk, len);
        return len;
      },
      siz, lenptr);
}

int run2mem(char* buf, int siz, int* lenptr, char* const argv[]) {
  return runchild(
      argv, nullptr,
      [&](char* chunk, int n, int count) {
        std::memcpy(buf + count, chunk, n);
        return n;
      },
      siz, lenptr);
}

// qorutil's own option buffer and argument vector, apart from the test's
// globals of the same names.
namespace {
char service[64] = "-X";
char* diskvect[10];
}  // namespace

char* qorutil(int opt, const char* arg1, const char* arg2, int* status, const char* arg3) {
  std::snprintf(service, sizeof service, "-%c", opt);
  int i = 0;
  diskvect[i++] = const_cast<char*>(perfutilpath);
  diskvect[i++] = service;
  diskvect[i++] = const_cast<char*>(arg1);
  diskvect[i++] = const_cast<char*>(arg2);
  if (arg3) diskvect[i++] = const_cast<char*>(arg3);
  diskvect[i] = nullptr;

  constexpr int siz = 32768;
  std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(zmemclr(siz)), &std::free);
  int len = 0;
  int st = run2mem(buf.get(), siz, &len, diskvect);
  buf.get()[len] = '\0';
  if (status) *status = st;
  return buf.release();
}

// The process runner: one child, its standard output and standard error in
// one pipe, everything it writes collected in the caller's buffer.
//
// The fork happens in a process with several threads, so the child does only
// async-signal-safe work between fork and exec: every message is prepared
// before the fork, and the child reports a failure by writing it to
// descriptor 2 and ending with status 255; a program that is missing is
// reported the same way, without a child. It never calls zerex: the alert seam,
// its locks and the window connection belong to the parent.
#include "perf/runner.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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
// fatal error that returns, as under the test seam), it is killed and reaped;
// one that did not end even after SIGKILL is left behind.
struct Child {
  pid_t pid = -1;
  bool reaped = false;
  bool abandoned = false;
  // 1 with the status once it has ended, 0 while it runs, -1 when its status
  // can't be had (SIGCHLD ignored: the kernel reaped it).
  int poll(int& status) {
    for (;;) {
      pid_t r = waitpid(pid, &status, WNOHANG);
      if (r == pid) break;
      if (r == 0) return 0;
      if (errno == EINTR) continue;
      reaped = true;
      return -1;
    }
    reaped = true;
    return 1;
  }
  ~Child() {
    if (pid > 0 && !reaped && !abandoned) {
      kill(pid, SIGKILL);
      int status;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
  }
};

int64_t monoMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

constexpr int kResendMs = 1000;  // a cancel is repeated this often until the child ends
constexpr int kKillWaitMs = 5000;  // after SIGKILL, this long for the child to go

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

// Forks with SIGCONT blocked in the child from its first instruction (the
// mask survives exec): a cancel sent before the utility has its handler stays
// pending until the utility unblocks it, instead of being lost.
pid_t forkHoldingCont() {
  sigset_t cont, prev;
  sigemptyset(&cont);
  sigaddset(&cont, SIGCONT);
  pthread_sigmask(SIG_BLOCK, &cont, &prev);
  const pid_t pid = fork();
  const int err = errno;
  if (pid != 0) pthread_sigmask(SIG_SETMASK, &prev, nullptr);
  errno = err;
  return pid;
}

// Checks, pipe, SIGINT, fork; the parent's loop then reads the output through
// take(chunk, bytes read, bytes stored so far), which stores the chunk and
// returns how many bytes it stored.
template <typename Take>
int runchild(char* const argv[], std::atomic<int>* canceled, int limitMs, int cancelGraceMs,
             Take take, int siz, int* lenptr) {
  const char* path = (argv && argv[0]) ? argv[0] : "";
  // A program that isn't there fails like one that can't be started: its
  // message in the output and status 255, for the caller to report.
  if (zftype(path) != '-') {
    char line[kChunk + 1];
    const int n = std::min({std::snprintf(line, sizeof line, "run2mem: can't find: %s\n", path), kChunk, siz - 1});
    *lenptr = 0;
    if (n > 0) {
      line[n] = '\0';
      *lenptr = take(line, n, 0);
    }
    return 255 << 8;
  }

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
  kid.pid = forkHoldingCont();
  if (kid.pid < 0) zerex("run2mem; can't fork, err=%d", errno);
  if (kid.pid == 0) child(p, path, argv, msg);

  int wr = p.wr;
  p.wr = -1;
  if (close(wr) != 0) zerex("run2mem; can't close extra write pipe.");

  *lenptr = 0;
  int room = siz - 1;
  char chunk[kChunk + 1];
  // Stores a line of the runner's own at the end of the output, cut to the room left.
  char line[kChunk + 1];
  auto note = [&](int n) {
    n = std::min({n, kChunk, room - 1});
    if (n <= 0) return;
    line[n] = '\0';
    int stored = take(line, n, *lenptr);
    *lenptr += stored;
    room -= stored;
  };
  const char* name = std::strrchr(path, '/') ? std::strrchr(path, '/') + 1 : path;
  const int64_t t0 = monoMs();
  int64_t cancelAt = -1, lastCont = 0, killedAt = -1;
  bool eof = false;
  int status = 0, ended = 0;
  for (;;) {
    const int64_t now = monoMs();
    if (canceled && canceled->exchange(0) != 0 && cancelAt < 0) {
      cancelAt = lastCont = now;
      kill(kid.pid, SIGCONT);
    } else if (cancelAt >= 0 && killedAt < 0 && now - lastCont >= kResendMs) {
      lastCont = now;  // one sent before the child could catch it is not lost
      kill(kid.pid, SIGCONT);
    }
    if (killedAt < 0) {
      if (cancelAt >= 0 && now - cancelAt >= cancelGraceMs) {
        kill(kid.pid, SIGKILL);
        killedAt = now;
        note(std::snprintf(line, sizeof line,
                           "\nrun2mem: %s did not end within %d s of the cancel and was killed.\n",
                           name, (cancelGraceMs + 999) / 1000));
      } else if (limitMs > 0 && now - t0 >= limitMs) {
        kill(kid.pid, SIGKILL);
        killedAt = now;
        note(std::snprintf(line, sizeof line,
                           "\nrun2mem: %s ran past its time limit of %d s and was killed.\n", name,
                           (limitMs + 999) / 1000));
      }
    } else if (now - killedAt >= kKillWaitMs) {
      kid.abandoned = true;  // stuck in the kernel: not waited for any longer
      note(std::snprintf(line, sizeof line, "run2mem: %s does not end even after SIGKILL (pid %d).\n",
                         name, static_cast<int>(kid.pid)));
      status = -1;
      break;
    }
    if (!eof) {
      pollfd pf{p.rd, POLLIN, 0};
      int pr = ::poll(&pf, 1, 100);
      if (pr < 0 && errno != EINTR) eof = true;
      if (pr <= 0) continue;
      ssize_t n = read(p.rd, chunk, kChunk);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        eof = true;
        continue;
      }
      if (n >= room) zerex("run2mem; input buffer overflow?");
      chunk[n] = '\0';
      int stored = take(chunk, static_cast<int>(n), *lenptr);
      *lenptr += stored;
      room -= stored;
      continue;
    }
    // Only the child started here is waited for: the process may have other
    // children (the window's own), which are not ours to collect.
    ended = kid.poll(status);
    if (ended < 0) {
      note(std::snprintf(line, sizeof line, "\nrun2mem: can't collect the exit status of %s (%s).\n",
                         name, std::strerror(errno)));
      status = -1;
    }
    if (ended != 0) break;
    ::poll(nullptr, 0, 20);
  }

  close(p.rd);
  p.rd = -1;
  return status;  // ~SigintIgnored restores SIGINT
}

}  // namespace

int Run2mem(char* buf, int siz, int* lenptr, char* const argv[], vlm::RunHooks& hooks) {
  return runchild(
      argv, hooks.canceled, hooks.limitMs, hooks.cancelGraceMs,
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
      argv, nullptr, 0, 0,
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

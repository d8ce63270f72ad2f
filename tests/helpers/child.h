// A measuring program as a real child process, started the way the
// application's runner starts it, its output watched as it comes.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vlmtest {

struct Outcome {
  int status = -1;     // exit code, or minus the signal that ended it
  std::string out;     // standard output and standard error, joined
  double ended = 0;    // seconds from the start to the end of the output
  std::vector<std::pair<size_t, double>> at;  // the output's length and the time, as it came
  double arrival(size_t pos) const {  // seconds from the start until out[pos] came
    for (auto [len, t] : at)
      if (len > pos) return t;
    return -1;
  }
};

struct Child {
  pid_t pid;
  const std::string& out;
  double elapsed;
};

// Resource limits of the child; kNoIoUring refuses io_uring_setup (EPERM),
// as a kernel with io_uring disabled does.
using Limits = std::vector<std::pair<int, rlim_t>>;
constexpr int kNoIoUring = -1;

inline bool refuseIoUring() {
  sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_io_uring_setup, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog prog{sizeof code / sizeof code[0], code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

// Runs argv (argv[0] is the program) with output joined in one pipe, as the
// application does, with SIGINT and SIGQUIT ignored and every signal blocked
// (both survive exec); 20 s at most. onOutput may signal the child; it
// returns false once it has. uid >= 0 runs the child as that user and group;
// env ("NAME=value") is added to the child's environment.
// Exit 120: the child could not be set up; 121: no seccomp here.
inline Outcome runChild(const std::vector<std::string>& argv, std::function<bool(const Child&)> onOutput = {},
                        int uid = -1, const Limits& limits = {}, const char* env = nullptr) {
  int p[2];
  EXPECT_EQ(pipe2(p, O_CLOEXEC), 0);
  std::vector<char*> av;
  for (const auto& a : argv) av.push_back(const_cast<char*>(a.c_str()));
  av.push_back(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    dup2(p[1], 1);
    dup2(p[1], 2);
    signal(SIGINT, SIG_IGN);
    signal(SIGQUIT, SIG_IGN);
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, nullptr);
    if (env) putenv(const_cast<char*>(env));
    if (uid >= 0 && (setgroups(0, nullptr) != 0 || setresgid(uid, uid, uid) != 0 ||
                     setresuid(uid, uid, uid) != 0))
      _exit(120);
    for (auto [res, v] : limits) {
      if (res == kNoIoUring) {
        if (!refuseIoUring()) _exit(121);
        continue;
      }
      rlimit rl{v, v};
      if (setrlimit(res, &rl) != 0) _exit(120);
    }
    execv(av[0], av.data());
    _exit(127);
  }
  close(p[1]);
  Outcome r;
  bool armed = bool(onOutput);
  for (;;) {
    pollfd pf{p[0], POLLIN, 0};
    int pr = poll(&pf, 1, 50);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (elapsed > 20) {
      kill(pid, SIGKILL);
      ADD_FAILURE() << argv[0] << " ran longer than 20 s";
      break;
    }
    if (pr > 0) {
      char buf[512];
      ssize_t n = read(p[0], buf, sizeof buf);
      r.ended = elapsed;
      if (n <= 0) break;
      r.out.append(buf, size_t(n));
      r.at.emplace_back(r.out.size(), elapsed);
    }
    if (armed) armed = onOutput({pid, r.out, elapsed});
  }
  close(p[0]);
  int ws = 0;
  waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -WTERMSIG(ws);
  return r;
}

}  // namespace vlmtest

// The process runner against real child processes (tests/helpers).
#include "perf/runner.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "util/alerts.h"

namespace {

std::string helper(const std::string& name) { return std::string(VLM_HELPERS) + "/" + name; }

struct Result {
  int status = -1;
  int count = -1;
  std::string out;  // the stored bytes, NULs included
};

// Runs argv with Run2mem (hooks given) or run2mem (hooks null).
Result run(std::vector<std::string> args, vlm::RunHooks* hooks = nullptr, int siz = 32768) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char> buf(siz, '\0');
  Result r;
  r.status = hooks ? Run2mem(buf.data(), siz, &r.count, argv.data(), *hooks)
                   : run2mem(buf.data(), siz, &r.count, argv.data());
  r.out.assign(buf.data(), r.count);
  return r;
}

// A child that writes n bytes of 'x'.
std::vector<std::string> flood(int n) {
  return {"/bin/sh", "-c", "head -c " + std::to_string(n) + " /dev/zero | tr '\\000' x"};
}

int openfds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - 1;  // the directory's own descriptor
}

bool nochildren() {
  int st;
  return waitpid(-1, &st, WNOHANG) < 0 && errno == ECHILD;
}

void onint(int) {}

// Installs a SIGINT handler for the test and checks the runner left it in place.
struct SigintProbe {
  struct sigaction mine {}, old {};
  SigintProbe() {
    mine.sa_handler = onint;
    sigemptyset(&mine.sa_mask);
    sigaction(SIGINT, &mine, &old);
  }
  bool intact() const {
    struct sigaction now {};
    sigaction(SIGINT, nullptr, &now);
    return now.sa_handler == onint;
  }
  ~SigintProbe() { sigaction(SIGINT, &old, nullptr); }
};

// The status as waitpid gives it, and the output stored as it came.
TEST(Runner, ExitStatusIsWaitStatus) {
  vlm::RunHooks hooks;
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
  } cases[] = {
      {{helper("child_exit"), "0"}, 0, ""},
      {{helper("child_exit"), "3", "bye\n"}, 3 << 8, "bye\n"},
      {{helper("child_exit"), "255", "bye\n"}, 255 << 8, "bye\n"},
      {{"/bin/sh", "-c", "kill -TERM $$"}, SIGTERM, ""},
      {{"/bin/sh", "-c", "for i in 0 1 2 3; do echo out$i; echo err$i >&2; done"}, 0, "out0\nerr0\nout1\nerr1\nout2\nerr2\nout3\nerr3\n"},
  };
  for (const auto& c : cases) {
    Result r = run(c.args, &hooks);
    EXPECT_EQ(r.status, c.status) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
    EXPECT_EQ(r.count, int(c.out.size())) << c.args[0];
  }
}

TEST(Runner, NulByteEndsChunkTextOnlyInRun2mem) {
  vlm::RunHooks hooks;
  Result with = run({"/bin/sh", "-c", "printf 'abc\\000def\\n'"}, &hooks);
  EXPECT_EQ(with.out, "abc");
  EXPECT_EQ(with.count, 3);
  Result raw = run({"/bin/sh", "-c", "printf 'abc\\000def\\n'"});
  EXPECT_EQ(raw.out, std::string("abc\0def\n", 8));
  EXPECT_EQ(raw.count, 8);
}

TEST(Runner, ProgressLinesTakenOutAndReported) {
  std::vector<double> seen;
  std::vector<std::string> chunks;
  vlm::RunHooks hooks;
  hooks.pctgrab = [&](char* chunk) {
    chunks.push_back(chunk);
    // A stand-in parser: one whole "Percent: N\n" line at the start of a chunk.
    std::string s = chunk;
    if (s.rfind("Percent: ", 0) == 0 && s.find('\n') != std::string::npos) {
      seen.push_back(std::atof(s.c_str() + 9));
      std::string rest = s.substr(s.find('\n') + 1);
      std::copy(rest.c_str(), rest.c_str() + rest.size() + 1, chunk);
    }
  };
  Result r = run({helper("child_exit"), "0", "Percent: 10\n", "@drain", "Percent: 60\nabc\n", "@drain",
                  "tail\n"},
                 &hooks);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(seen, (std::vector<double>{10, 60}));
  EXPECT_EQ(r.out, "abc\ntail\n");
  ASSERT_GE(chunks.size(), 3u);
}

TEST(Runner, SplitProgressLineStaysInOutput) {
  int calls = 0;
  vlm::RunHooks hooks;
  hooks.pctgrab = [&](char*) { ++calls; };
  Result r = run({helper("child_exit"), "0", "Percent: 3", "@drain", "5\nrest\n"}, &hooks);
  EXPECT_EQ(r.out, "Percent: 35\nrest\n");
  EXPECT_EQ(calls, 2);  // each read is handed over on its own
}

TEST(Runner, BufferBoundary) {
  // siz 32768 holds at most 32766 stored bytes.
  Result ok = run(flood(32766));
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(ok.count, 32766);

  vlm::ScopedRecordingSeam seam;
  SigintProbe probe;
  int fds = openfds();
  try {
    run(flood(32767));
    FAIL() << "no overflow";
  } catch (const vlm::FatalError& e) {
    EXPECT_STREQ(e.what(), "run2mem; input buffer overflow?");
  }
  EXPECT_EQ(openfds(), fds);
  EXPECT_TRUE(nochildren());
  EXPECT_TRUE(probe.intact());
}

TEST(Runner, OverflowCountsRawChunkBeforeProgressRemoval) {
  vlm::ScopedRecordingSeam seam;
  vlm::RunHooks hooks;
  hooks.pctgrab = [](char* chunk) { chunk[0] = '\0'; };  // stores nothing at all
  // A 100-byte buffer: the first 512-byte read can't fit whatever is removed.
  EXPECT_THROW(run(flood(2000), &hooks, 100), vlm::FatalError);
  EXPECT_TRUE(nochildren());
}

TEST(Runner, MissingProgramIsFatal) {
  vlm::ScopedRecordingSeam seam;
  for (std::string path : {"/nonexistent/vlmperfutil", "/tmp"}) {
    try {
      run({path});
      FAIL() << path;
    } catch (const vlm::FatalError& e) {
      EXPECT_EQ(std::string(e.what()), "run2mem: can't find: " + path);
    }
  }
  ASSERT_EQ(seam.seam.alerts.size(), 2u);
  EXPECT_EQ(seam.seam.alerts[0].title, "Velmora: Fatal Error");
}

TEST(Runner, ExecFailureReportedByChild) {
  char path[] = "/tmp/vlm-runner-noexec-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "#!/bin/sh\n", 10), 10);
  close(fd);
  chmod(path, 0644);
  vlm::RunHooks hooks;
  Result r = run({path}, &hooks);
  unlink(path);
  EXPECT_EQ(r.status, 255 << 8);
  EXPECT_EQ(r.out, std::string("run2mem; Can't run shell command: '") + path + "'\n");
}

TEST(Runner, ChildGetsOnlyStandardStreamsAndDefaultSigint) {
  int extra = open("/dev/null", O_RDONLY);  // inheritable
  int high = dup2(extra, 150);
  ASSERT_GE(extra, 3);
  ASSERT_EQ(high, 150);
  SigintProbe probe;
  Result r = run({helper("child_fds")});
  close(extra);
  close(high);
  EXPECT_EQ(r.out, "fds:\nsigint: default\n");
  EXPECT_TRUE(probe.intact());
}

TEST(Runner, SigintIgnoredInParentWhileRunning) {
  SigintProbe probe;
  // The child reports its parent's disposition through /proc: SigIgn bit 2 (SIGINT).
  Result r = run({"/bin/sh", "-c", "grep SigIgn /proc/$PPID/status"});
  ASSERT_EQ(r.status, 0) << r.out;
  unsigned long long mask = std::stoull(r.out.substr(r.out.find(':') + 1), nullptr, 16);
  EXPECT_TRUE(mask & (1ull << (SIGINT - 1)));
  EXPECT_TRUE(probe.intact());
}

TEST(Runner, TwoCancelsBetweenChunksGiveOneSigcont) {
  std::atomic<int> canceled{0};
  vlm::RunHooks hooks;
  hooks.canceled = &canceled;
  hooks.pctgrab = [&](char* chunk) {
    if (std::string(chunk).find("ready") != std::string::npos) {
      canceled.fetch_add(1);
      canceled.fetch_add(1);
    }
  };
  Result r = run({helper("child_wait_cont")}, &hooks);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out, "ready\ngot\ncont=1\n");
  EXPECT_EQ(canceled.load(), 0);
}

// A cancel made before the child could catch SIGCONT is repeated until it
// ends; a child that ignores it, or outlives the limit, is killed and the
// output says why.
TEST(Runner, CancelAndLimitAlwaysEndTheChild) {
  const struct {
    std::vector<std::string> args;
    int limitMs;
    bool cancel;
    int status;       // exit status, or -signal
    std::string tail;  // end of the stored output
  } cases[] = {
      {{helper("child_wait_cont")}, 0, true, 0, "got\ncont=1\n"},
      {{helper("child_exit"), "0", "@20000"}, 0, true, -SIGKILL,
       "run2mem: child_exit did not end within 3 s of the cancel and was killed.\n"},
      {{helper("child_exit"), "0", "@20000"}, 300, false, -SIGKILL,
       "run2mem: child_exit ran past its time limit of 1 s and was killed.\n"},
  };
  for (const auto& c : cases) {
    std::atomic<int> canceled{c.cancel ? 1 : 0};  // before the child even starts
    vlm::RunHooks hooks;
    hooks.canceled = &canceled;
    hooks.limitMs = c.limitMs;
    hooks.cancelGraceMs = 2500;
    Result r = run(c.args, &hooks);
    SCOPED_TRACE(c.args[0] + " " + r.out);
    if (c.status >= 0) {
      EXPECT_EQ(r.status, c.status << 8);
    } else {
      EXPECT_TRUE(WIFSIGNALED(r.status) && WTERMSIG(r.status) == -c.status);
    }
    EXPECT_TRUE(r.out.ends_with(c.tail));
    EXPECT_TRUE(nochildren());
  }
}

// Started with SIGCHLD ignored, a child's status can't be collected: that is
// a failure, never a success.
TEST(Runner, LostExitStatusIsAFailure) {
  struct sigaction ign {}, old {};
  ign.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ign, &old);
  vlm::RunHooks hooks;
  Result r = run({helper("child_exit"), "1"}, &hooks);
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_NE(r.status, 0);
  EXPECT_EQ(r.out, "\nrun2mem: can't collect the exit status of child_exit (No child processes).\n");
}

}  // namespace

// The process runner against real child processes.
#include "perf/runner.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "util/alerts.h"

namespace {

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
  return int(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;  // less its own
}

bool nochildren() { return waitpid(-1, nullptr, WNOHANG) < 0 && errno == ECHILD; }

void onint(int) {}

// Installs a SIGINT handler for the test and checks the runner left it in place.
struct SigintProbe {
  SigintProbe() { signal(SIGINT, onint); }
  bool intact() const {
    struct sigaction now {};
    return sigaction(SIGINT, nullptr, &now) == 0 && now.sa_handler == onint;
  }
  ~SigintProbe() { signal(SIGINT, SIG_DFL); }
};

// The status as waitpid gives it, and the output stored as it came (with
// hooks, up to a NUL byte). The child has only the standard streams and
// SIGINT at its default while the parent ignores it. A program that is not
// there fails with its message and no child. Started with SIGCHLD
// ignored, a child's status can't be collected: a failure, never a success.
TEST(Runner, ExitStatusAndOutput) {
  const std::string fixture = VLM_FIXTURES "/record.json";  // a file that can't be run
  const std::string sigign = "ign() { echo $((0x$(sed -n 's/^SigIgn:.//p' /proc/$1/status) >> 1 & 1)); }; ";
  const struct {
    std::vector<std::string> args;
    bool hooks;
    int status;
    std::string out;
    bool sigchldIgnored = false;
  } cases[] = {
      {{"/bin/sh", "-c", "echo bye; exit 255"}, true, 255 << 8, "bye\n"},
      {{"/bin/sh", "-c", "kill -TERM $$"}, true, SIGTERM, ""},
      {{"/bin/sh", "-c", "for i in 0 1 2; do echo out$i; echo err$i >&2; done"}, true, 0,
       "out0\nerr0\nout1\nerr1\nout2\nerr2\n"},
      {{"/bin/sh", "-c", "printf 'abc\\000def\\n'"}, true, 0, "abc"},
      {{"/bin/sh", "-c", "printf 'abc\\000def\\n'"}, false, 0, std::string("abc\0def\n", 8)},
      {flood(32766), false, 0, std::string(32766, 'x')},  // the most a 32768-byte buffer holds
      {{fixture}, true, 255 << 8, "run2mem; Can't run shell command: '" + fixture + "'\n"},
      {{"/bin/sh", "-c", sigign + "ls /proc/$$/fd; ign $$; ign $PPID"}, false, 0, "0\n1\n2\n0\n1\n"},
      {{"/nonexistent/vlmperfutil"}, true, 255 << 8, "run2mem: can't find: /nonexistent/vlmperfutil\n"},
      {{"/tmp"}, false, 255 << 8, "run2mem: can't find: /tmp\n"},
      {{"/bin/sh", "-c", "exit 0"}, true, -1, "\nrun2mem: can't collect the exit status of sh (No child processes).\n",
       true},
  };
  const int null = open("/dev/null", O_RDONLY);
  ASSERT_EQ(dup2(null, 150), 150);  // inheritable
  close(null);
  SigintProbe probe;
  for (const auto& c : cases) {
    vlm::RunHooks hooks;
    signal(SIGCHLD, c.sigchldIgnored ? SIG_IGN : SIG_DFL);
    Result r = run(c.args, c.hooks ? &hooks : nullptr);
    signal(SIGCHLD, SIG_DFL);
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);  // r.count bytes
  }
  close(150);
  EXPECT_TRUE(probe.intact());
}

// A fatal error leaves no descriptor, child or SIGINT disposition behind. The
// overflow counts each read before the progress lines are taken out of it.
TEST(Runner, FatalErrorsLeaveNothingBehind) {
  const struct {
    std::vector<std::string> args;
    int siz;
    bool parser;  // a progress parser that takes every byte out
    std::string message;
  } cases[] = {
      {flood(32767), 32768, false, "run2mem; input buffer overflow?"},
      {flood(2000), 100, true, "run2mem; input buffer overflow?"},
  };
  for (const auto& c : cases) {
    vlm::ScopedRecordingSeam seam;
    SigintProbe probe;
    vlm::RunHooks hooks;
    hooks.pctgrab = [](char* chunk) { chunk[0] = '\0'; };
    const int fds = openfds();
    try {
      run(c.args, c.parser ? &hooks : nullptr, c.siz);
      ADD_FAILURE() << "no fatal error: " << c.message;
    } catch (const vlm::FatalError& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    EXPECT_EQ(seam.seam.alerts.size(), 1u);
    EXPECT_EQ(openfds(), fds);
    EXPECT_TRUE(nochildren());
    EXPECT_TRUE(probe.intact());
  }
}

// Cancels, made before the child could catch SIGCONT or two between reads,
// reach it once; a child that ignores them, or outlives the limit, is killed
// and the output says why.
TEST(Runner, CancelAndLimitAlwaysEndTheChild) {
  const std::vector<std::string> waits{VLM_HELPERS "/stub_util", "-T", "disk0", ""};  // exits 3 on SIGCONT
  const std::vector<std::string> sleeps{"/bin/sleep", "20"};                      // SIGCONT does nothing
  const struct {
    std::vector<std::string> args;
    int limitMs;
    int before, atFirstRead;  // cancels made
    int status;               // as waitpid gives it
    std::string tail;         // end of the stored output
  } cases[] = {
      {waits, 0, 1, 0, 3 << 8, "Canceled\nSIGCONT: 1\n"},
      {waits, 0, 0, 2, 3 << 8, "Canceled\nSIGCONT: 1\n"},
      {sleeps, 0, 1, 0, SIGKILL, "run2mem: sleep did not end within 3 s of the cancel and was killed.\n"},
      {sleeps, 300, 0, 0, SIGKILL, "run2mem: sleep ran past its time limit of 1 s and was killed.\n"},
  };
  setenv("VLM_STUB_MODE", "wait", 1);
  for (const auto& c : cases) {
    std::atomic<int> canceled{c.before};
    vlm::RunHooks hooks;
    hooks.canceled = &canceled;
    hooks.limitMs = c.limitMs;
    hooks.cancelGraceMs = 2500;
    int atFirstRead = c.atFirstRead;
    hooks.pctgrab = [&](char*) { canceled.fetch_add(std::exchange(atFirstRead, 0)); };
    Result r = run(c.args, &hooks);
    SCOPED_TRACE(c.args[0] + " " + r.out);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.out.ends_with(c.tail));
    EXPECT_EQ(canceled.load(), 0);
    EXPECT_TRUE(nochildren());
  }
  unsetenv("VLM_STUB_MODE");
}

}  // namespace

// Alerts and the fatal path: button results, literal text, the 4096-byte
// bound, and a real process ended by zerex with exit status 255.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/alerts.h"

namespace {

TEST(Alerts, ButtonsAndLiteralText) {
  vlm::ScopedRecordingSeam rec;
  rec.seam.answers = {0, 1};
  EXPECT_EQ(messbox2("Q", "Go?", "Ok", "Cancel"), 1);
  EXPECT_EQ(messbox2("Q", "Go?", "Ok", "Cancel"), 0);
  EXPECT_EQ(messbox2("Q", "Go?", "Ok", "Cancel"), 1);  // answers used up: the default
  EXPECT_EQ(messbox("T", "100% done: %s %d %n", "Ok"), 1);
  ASSERT_EQ(rec.seam.alerts.size(), 4u);
  EXPECT_EQ(rec.seam.alerts[1].buttons, (std::vector<std::string>{"Ok", "Cancel"}));
  EXPECT_EQ(rec.seam.alerts[3].msg, "100% done: %s %d %n");
}

TEST(Alerts, FatalCutsAt4095) {
  for (size_t len : {4086u, 4087u}) {  // 4095 bytes with the prefix, and one more
    vlm::ScopedRecordingSeam rec;
    std::string longmsg(len, 'x');
    EXPECT_THROW(zerex("run2mem: %s", longmsg.c_str()), vlm::FatalError);
    ASSERT_EQ(rec.seam.alerts.size(), 1u);  // its title and button: in the next test
    EXPECT_EQ(rec.seam.alerts[0].msg, ("run2mem: " + longmsg).substr(0, 4095)) << len;
  }
}

// With the console seam nothing hands control back: zerex ends a real process
// with 255 at once, without exit handlers or static destructors (they could
// race with other threads still running).
TEST(Alerts, FatalEndsARealProcessWith255) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    vlm::setAlertSeam(nullptr);
    std::atexit([] { std::fputs("exit handler ran", stderr); });
    zerex("regscan: can't obtain children, *FATAL* (%d)", 7);
    _exit(2);
  }
  close(fds[1]);
  std::string err;
  char buf[512];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) err.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_NE(err.find("Velmora: Fatal Error: regscan: can't obtain children, *FATAL* (7)  [Exit]"),
            std::string::npos) << err;
  EXPECT_EQ(err.find("exit handler ran"), std::string::npos) << err;
}

}  // namespace

// Alerts and the fatal path: button results, literal text, the 4096-byte
// bound, and a real process ended by zerex with exit status 255.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/alerts.h"

namespace {

TEST(Alerts, MessboxRecordsTextLiterally) {
  vlm::ScopedRecordingSeam rec;
  EXPECT_EQ(messbox("T", "100% done: %s %d %n", "Ok"), 1);
  EXPECT_EQ(messbox("T", "", "Ok"), 1);
  ASSERT_EQ(rec.seam.alerts.size(), 2u);
  EXPECT_EQ(rec.seam.alerts[0].title, "T");
  EXPECT_EQ(rec.seam.alerts[0].msg, "100% done: %s %d %n");
  EXPECT_EQ(rec.seam.alerts[0].buttons, std::vector<std::string>{"Ok"});
  EXPECT_EQ(rec.seam.alerts[1].msg, "");
}

TEST(Alerts, Messbox2FirstButtonIsOne) {
  vlm::ScopedRecordingSeam rec;
  rec.seam.answers = {0, 1};
  EXPECT_EQ(messbox2("Q", "Go?", "Ok", "Cancel"), 1);
  EXPECT_EQ(messbox2("Q", "Go?", "Ok", "Cancel"), 0);
  EXPECT_EQ(messbox2("Q", "Go?", "Ok", "Cancel"), 1);  // answers used up: the default
  ASSERT_EQ(rec.seam.alerts.size(), 3u);
  EXPECT_EQ(rec.seam.alerts[1].buttons, (std::vector<std::string>{"Ok", "Cancel"}));
}

TEST(Alerts, FatalFormatsUnderItsTitle) {
  vlm::ScopedRecordingSeam rec;
  try {
    zerex("run2mem: can't find: %s", "/Error/Error-utility");
  } catch (const vlm::FatalError& e) {
    EXPECT_STREQ(e.what(), "run2mem: can't find: /Error/Error-utility");
  }
  ASSERT_EQ(rec.seam.alerts.size(), 1u);
  EXPECT_EQ(rec.seam.alerts[0].title, "Velmora: Fatal Error");
  EXPECT_EQ(rec.seam.alerts[0].buttons, std::vector<std::string>{"Exit"});
  EXPECT_EQ(rec.seam.alerts[0].msg, "run2mem: can't find: /Error/Error-utility");
}

TEST(Alerts, FatalMessageIsCutAt4095) {
  for (size_t len : {4094u, 4095u, 4096u, 10000u}) {
    vlm::ScopedRecordingSeam rec;
    std::string longmsg(len, 'x');
    EXPECT_THROW(zerex("%s", longmsg.c_str()), vlm::FatalError);
    ASSERT_EQ(rec.seam.alerts.size(), 1u);
    EXPECT_EQ(rec.seam.alerts[0].msg, std::string(std::min<size_t>(len, 4095), 'x')) << len;
  }
}

// Runs fn in a child whose stderr is captured; the child never returns into
// the test. Gives the wait status and what the child wrote.
int inchild(void (*fn)(), std::string& err) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    dup2(fds[1], 2);
    close(fds[0]);
    close(fds[1]);
    try {
      fn();
    } catch (...) {
      _exit(3);
    }
    _exit(2);
  }
  close(fds[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    err.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

TEST(Alerts, FatalEndsARealProcessWith255) {
  std::string err;
  int status = inchild(
      [] {
        vlm::setAlertSeam(nullptr);  // the console seam: nothing hands control back
        zerex("regscan: can't obtain children, *FATAL* (%d)", 7);
      },
      err);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_NE(err.find("Velmora: Fatal Error"), std::string::npos) << err;
  EXPECT_NE(err.find("regscan: can't obtain children, *FATAL* (7)"), std::string::npos) << err;
  EXPECT_NE(err.find("Exit"), std::string::npos) << err;
}

TEST(Alerts, FatalEndsAtOnceWithoutExitHandlers) {
  // Exit handlers and static destructors could race with other threads still
  // running; zerex ends the process without them.
  std::string err;
  int status = inchild(
      [] {
        vlm::setAlertSeam(nullptr);
        std::atexit([] { std::fputs("exit handler ran", stderr); });
        zerex("x");
      },
      err);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 255);
  EXPECT_EQ(err.find("exit handler ran"), std::string::npos) << err;
}

}  // namespace

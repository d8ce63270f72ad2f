// Utility installation: the stat checks of autoauth, the consent notice, the
// privileged commands (recorded, and run for real as root), nosuid mounts.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "util/alerts.h"
#include "app/install.h"
#include "util/startup.h"

namespace {

using Command = std::vector<std::string>;

const char* const kNotice =
    "Enter the Administrator's Password on the next input pane to Authorize the Velmora "
    "Performance Utility.";

// Records every command instead of running it; answers with scripted statuses.
struct RecordingRunner : vlm::PrivilegedRunner {
  std::vector<Command> commands;
  std::vector<int> statuses;  // front to back; empty -> 0
  int run(const Command& argv) override {
    commands.push_back(argv);
    if (statuses.empty()) return 0;
    int s = statuses.front();
    statuses.erase(statuses.begin());
    return s;
  }
};

// A scratch folder, the recording seams and perfutilpath, all put back afterwards.
class Install : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vlm-install-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_path_ = perfutilpath;
    prev_runner_ = vlm::setPrivilegedRunner(&runner);
  }
  void TearDown() override {
    vlm::setPrivilegedRunner(prev_runner_);
    perfutilpath = saved_path_;
    for (auto it = made_.rbegin(); it != made_.rend(); ++it)
      if (unlink(it->c_str()) != 0) rmdir(it->c_str());
    rmdir(dir_.c_str());
  }

  // Makes a regular file in the scratch folder with the given mode and owner.
  std::string utility(mode_t mode, uid_t uid = 0, gid_t gid = 0, const std::string& name = "u") {
    std::string p = dir_ + "/" + name;
    EXPECT_TRUE(touch(p)) << p;
    made_.push_back(p);
    EXPECT_EQ(chown(p.c_str(), uid, gid), 0) << std::strerror(errno);
    EXPECT_EQ(chmod(p.c_str(), mode), 0);
    return p;
  }
  void use(const std::string& p) {
    path_ = p;
    perfutilpath = path_.c_str();
  }
  void made(const std::string& p) { made_.push_back(p); }
  static bool root() { return geteuid() == 0; }
  static bool touch(const std::string& p) {
    FILE* f = std::fopen(p.c_str(), "w");
    return f && std::fclose(f) == 0;
  }
  // The one alert shown, with the program's title.
  void expectAlert(const std::string& msg, const Command& buttons) {
    ASSERT_EQ(rec.seam.alerts.size(), 1u);
    EXPECT_EQ(rec.seam.alerts[0].title, "VLM-Performance");
    EXPECT_EQ(rec.seam.alerts[0].msg, msg);
    EXPECT_EQ(rec.seam.alerts[0].buttons, buttons);
  }

  RecordingRunner runner;
  vlm::ScopedRecordingSeam rec;
  std::string dir_, path_;

 private:
  std::vector<std::string> made_;
  const char* saved_path_ = nullptr;
  vlm::PrivilegedRunner* prev_runner_ = nullptr;
};

TEST_F(Install, MissingUtility) {
  perfutilpath = "/Error/Error-utility";
  autoauth();
  expectAlert("Can't Find the VLM-Utility? ( /Error/Error-utility )", {"Ok"});
  EXPECT_TRUE(runner.commands.empty());
}

TEST_F(Install, DirectoryIsNotAUtility) {
  use(dir_);
  autoauth();
  expectAlert("Incorrect utility command type? ( " + dir_ + " )", {"Ok"});
  EXPECT_TRUE(runner.commands.empty());
}

TEST_F(Install, LongPathMessageIsCut) {
  use("/" + std::string(2000, 'p'));
  autoauth();
  ASSERT_EQ(rec.seam.alerts.size(), 1u);
  EXPECT_EQ(rec.seam.alerts[0].msg.size(), 999u);
  EXPECT_EQ(rec.seam.alerts[0].msg.rfind("Can't Find the VLM-Utility? ( /ppp", 0), 0u);
}

TEST_F(Install, ModeAndOwnerRules) {
  if (!root()) GTEST_SKIP() << "needs root to give files to other owners";
  const struct {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    bool notice;
  } cases[] = {
      {04711, 0, 0, false},     {04711, 0, 1234, false},  // any group passes
      {04755, 0, 0, true},      {0711, 0, 0, true},       {04711, 65534, 0, true},
      {06711, 0, 0, true},      {04700, 0, 0, true},      {0, 0, 0, true},
  };
  int n = 0;
  for (const auto& c : cases) {
    use(utility(c.mode, c.uid, c.gid, "u" + std::to_string(n++)));
    rec.seam.alerts.clear();
    rec.seam.answers = {1};  // Cancel
    runner.commands.clear();
    autoauth();
    SCOPED_TRACE(testing::Message() << std::oct << c.mode << " uid " << std::dec << c.uid);
    if (!c.notice) {
      EXPECT_TRUE(rec.seam.alerts.empty());
    } else {
      expectAlert(kNotice, {"Ok", "Cancel"});
    }
    EXPECT_TRUE(runner.commands.empty());  // Cancel runs nothing
  }
}

TEST_F(Install, ConsentRunsTheCommands) {
  // A file of our own with mode 0755 needs the notice whoever runs the test.
  use(utility(0755, geteuid(), getegid()));
  rec.seam.answers = {0};
  autoauth();
  expectAlert(kNotice, {"Ok", "Cancel"});
  EXPECT_EQ(runner.commands, vlm::rootycommands(path_.c_str(), root()));
}

TEST_F(Install, CommandLines) {
  const char* p = "/opt/a b/it's \"$(touch x)\"/vlmperfutil";
  EXPECT_EQ(vlm::rootycommands(p, true),
            (std::vector<Command>{{"/bin/chown", "root:root", "--", p},
                                  {"/bin/chmod", "4711", "--", p}}));
  std::vector<Command> user = vlm::rootycommands(p, false);
  ASSERT_EQ(user.size(), 1u);  // one privileged call: one password prompt
  const Command want = {"/usr/bin/pkexec", "/bin/sh", "-c",
                        "/bin/chown root:root -- \"$1\" && /bin/chmod 4711 -- \"$1\"", "sh", p};
  EXPECT_EQ(user[0], want);
}

TEST_F(Install, FailedFirstCommandStopsTheSecond) {
  runner.statuses = {126};  // a dismissed password prompt, or chown failing
  rootybin("/x/vlmperfutil");
  EXPECT_EQ(runner.commands.size(), 1u);
  runner.commands.clear();
  runner.statuses = {0, 1};
  rootybin("/x/vlmperfutil");
  EXPECT_EQ(runner.commands.size(), root() ? 2u : 1u);
}

// The real commands as root: the file ends up root:root with mode 4711, and
// a later launch passes silently.
TEST_F(Install, RealInstallAsRoot) {
  if (!root()) GTEST_SKIP() << "needs root to run chmod and chown for real";
  use(utility(0755, 65534, 65534));
  vlm::setPrivilegedRunner(nullptr);
  rootybin(path_.c_str());
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04711u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_gid, 0u);
  vlm::setPrivilegedRunner(&runner);
  autoauth();
  EXPECT_TRUE(rec.seam.alerts.empty());
}

// The shell text of the pkexec call, run here without pkexec, with a path
// that would break any quoting: the path is never taken as shell text.
TEST_F(Install, PkexecScriptTakesThePathAsArgument) {
  if (!root()) GTEST_SKIP() << "needs root to run chown for real";
  std::string sub = dir_ + "/a b'$(touch injected)`touch injected`\"";
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  made(sub);
  std::string name = "-u;x";
  std::string p = sub + "/" + name;
  ASSERT_TRUE(touch(p));
  made(p);
  ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
  made(dir_ + "/injected");
  Command cmd = vlm::rootycommands(p.c_str(), false)[0];
  cmd.erase(cmd.begin());  // the shell command that pkexec would start
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (chdir(dir_.c_str()) != 0) _exit(126);  // where an injected touch would land
    std::vector<char*> args;
    for (std::string& a : cmd) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  struct stat st;
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 04711u);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(access((dir_ + "/injected").c_str(), F_OK), -1);
}

// A file system mounted nosuid: an alert naming the path, and no install offered.
TEST_F(Install, NosuidMountIsReported) {
  if (!root()) GTEST_SKIP() << "needs root to mount a nosuid tmpfs";
  std::string mnt = dir_ + "/mnt";
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", MS_NOSUID, "size=64k") != 0) {
    int e = errno;
    rmdir(mnt.c_str());
    GTEST_SKIP() << "can't mount a tmpfs here: " << std::strerror(e);
  }
  struct Unmount {
    std::string m;
    ~Unmount() {
      umount2(m.c_str(), MNT_DETACH);
      rmdir(m.c_str());
    }
  } guard{mnt};

  for (mode_t mode : {mode_t(0755), mode_t(04711)}) {
    std::string p = mnt + "/vlmperfutil";
    ASSERT_TRUE(touch(p));
    ASSERT_EQ(chmod(p.c_str(), mode), 0);
    use(p);
    rec.seam.alerts.clear();
    autoauth();
    SCOPED_TRACE(testing::Message() << std::oct << mode);
    expectAlert("The VLM-Utility can't run as root from a file system mounted nosuid. ( " + p + " )", {"Ok"});
    EXPECT_TRUE(runner.commands.empty());
    unlink(p.c_str());
  }
}

}  // namespace

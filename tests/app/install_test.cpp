// Utility installation: the checks of autoauth on the installed copy, the
// consent notice, the installer command (recorded), the real installer as
// root against files made in a scratch folder, nosuid mounts.
#include <gtest/gtest.h>
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
  int run(const Command& argv, std::string& out) override {
    out = "step failed\n";
    commands.push_back(argv);
    if (statuses.empty()) return 0;
    int s = statuses.front();
    statuses.erase(statuses.begin());
    return s;
  }
};

// Runs a shell command; its status as pclose gives it, standard output and
// standard error in out.
int capture(const std::string& cmd, std::string& out) {
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return -1;
  char buf[512];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  return pclose(p);
}
bool sh(const std::string& cmd) { return std::system(cmd.c_str()) == 0; }
// Runs a shell command on scope exit.
struct Finally {
  std::string cmd;
  ~Finally() { sh(cmd); }
};

// A scratch folder, the recording seams and perfutilpath, all put back afterwards.
class Install : public testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vlm-install-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    saved_path_ = perfutilpath;
    saved_copy_ = perfutilcopy;
    copy_ = dir_ + "/none/vlmperfutil";
    perfutilcopy = copy_.c_str();
    prev_runner_ = vlm::setPrivilegedRunner(&runner);
    vlm::setAsRoot(0);  // the checks of an ordinary user's launch
  }
  void TearDown() override {
    vlm::setAsRoot(-1);
    vlm::setPrivilegedRunner(prev_runner_);
    perfutilpath = saved_path_;
    perfutilcopy = saved_copy_;
    sh("rm -rf '" + dir_ + "'");
  }

  // Makes a regular file in the scratch folder with the given mode and owner.
  std::string utility(mode_t mode, uid_t uid = 0, gid_t gid = 0, const std::string& name = "u") {
    std::string p = dir_ + "/" + name;
    EXPECT_TRUE(touch(p)) << p;
    EXPECT_EQ(chown(p.c_str(), uid, gid), 0) << std::strerror(errno);
    EXPECT_EQ(chmod(p.c_str(), mode), 0);
    return p;
  }
  // The bundle's utility (the source) and the installed copy.
  void use(const std::string& p) {
    path_ = p;
    perfutilpath = path_.c_str();
  }
  void installed(const std::string& p) {
    copy_ = p;
    perfutilcopy = copy_.c_str();
  }
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
  std::string dir_, path_, copy_;

 private:
  const char* saved_path_ = nullptr;
  const char* saved_copy_ = nullptr;
  vlm::PrivilegedRunner* prev_runner_ = nullptr;
};

// A utility that is missing, or a folder or a link where a program should be,
// is reported and nothing is installed; a long path is cut in the message.
TEST_F(Install, UnusableUtilityIsReported) {
  const std::string source = utility(0755), none = copy_, link = dir_ + "/link";
  ASSERT_EQ(symlink(source.c_str(), link.c_str()), 0);
  const std::string longPath = "/" + std::string(2000, 'p');
  const struct {
    std::string source, copy, msg;
  } cases[] = {
      {"/Error/Error-utility", none, "Can't Find the VLM-Utility? ( /Error/Error-utility )"},
      {longPath, none, ("Can't Find the VLM-Utility? ( " + longPath).substr(0, 999)},
      {dir_, none, "Incorrect utility command type? ( " + dir_ + " )"},  // nothing installed
      {source, dir_, "Incorrect utility command type? ( " + dir_ + " )"},
      {source, link, "Incorrect utility command type? ( " + link + " )"},
  };
  for (const auto& c : cases) {
    use(c.source);
    installed(c.copy);
    rec.seam.alerts.clear();
    autoauth();
    expectAlert(c.msg, {"Ok"});
  }
  EXPECT_TRUE(runner.commands.empty());
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
  use(utility(0755, 0, 0, "source"));
  for (const auto& c : cases) {
    installed(utility(c.mode, c.uid, c.gid, "u" + std::to_string(n++)));
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
    EXPECT_EQ(vlm::utilityready(), !c.notice);
  }
  // Root runs the bundle's program file itself: no notice, nothing installed.
  vlm::setAsRoot(1);
  for (mode_t mode : {mode_t(0755), mode_t(0644)}) {
    use(utility(mode, 0, 0, "source"));
    rec.seam.alerts.clear();
    autoauth();
    EXPECT_TRUE(rec.seam.alerts.empty());
    EXPECT_TRUE(runner.commands.empty());
    EXPECT_EQ(perfutilpath, path_.c_str());
    EXPECT_EQ(vlm::utilityready(), mode == 0755);
  }
}

TEST_F(Install, ConsentRunsTheInstaller) {
  // Nothing installed yet: the bundle's utility is the source.
  use(utility(0755, geteuid(), getegid()));
  rec.seam.answers = {0};
  autoauth();
  expectAlert(kNotice, {"Ok", "Cancel"});
  ASSERT_EQ(runner.commands.size(), 1u);
  EXPECT_EQ(runner.commands[0].back(), path_);
  // What the tests run next: the copy.
  EXPECT_STREQ(perfutilpath, copy_.c_str());
}

// A failed installation says why; a dismissed password dialog (pkexec's 126)
// says nothing.
TEST_F(Install, FailedInstallationIsReported) {
  runner.statuses = {126 << 8, 126 << 8, 1 << 8};
  vlm::setAsRoot(1);
  rootybin("/x/vlmperfutil");
  ASSERT_EQ(rec.seam.alerts.size(), 1u);  // no pkexec for root: 126 is the installer's own
  rec.seam.alerts.clear();
  vlm::setAsRoot(0);
  rootybin("/x/vlmperfutil");
  EXPECT_TRUE(rec.seam.alerts.empty());
  rootybin("/x/vlmperfutil");
  expectAlert("The VLM-Utility was not installed.\nstep failed\n", {"Ok"});
}

// The real installer, as root, against what the test puts at the target and
// the source: only the utility of this build, copied into a root-owned
// folder, ends up root:root 4711; anything else is refused and left as it was.
TEST_F(Install, InstallerRefusesAllButItsOwnUtility) {
  if (!root()) GTEST_SKIP() << "needs root to run the installer";
  const std::string res = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/";
  const std::string installer = res + "vlmperfinstall", util = res + "vlmperfutil";
  if (access(installer.c_str(), X_OK) != 0) GTEST_SKIP() << "installer not built: " << installer;
  const std::string lib = dir_ + "/lib", target = lib + "/vlmperfutil";
  const std::string other = dir_ + "/id", link = dir_ + "/link";
  auto copyof = [](const std::string& from, const std::string& to) {
    return "cp '" + from + "' '" + to + "'";
  };
  Finally unmount{"umount '" + lib + "' 2>/dev/null"};
  ASSERT_TRUE(sh(copyof("/usr/bin/id", other)));
  ASSERT_EQ(symlink(util.c_str(), link.c_str()), 0);
  const struct {
    const char* what;
    std::string setup;  // shell commands that make the state before
    std::string source;
    std::string says;  // empty: installed
  } cases[] = {
      {"fresh", "", util, ""},
      {"our own, wrong mode", copyof(util, target) + " && chmod 0755 '" + target + "'", util, ""},
      {"a planted link", "ln -s '" + other + "' '" + target + "'", util, "is a symbolic link: refused, nothing changed"},
      {"another program", copyof(other, target), util, "is another program: refused, nothing changed"},
      {"a foreign owner", copyof(util, target) + " && chown 65534 '" + target + "'", util,
       "belongs to user 65534, not root: refused, nothing changed"},
      {"a linked source", "", link, "is a symbolic link: refused"},
      {"another source", "", other, "is not the utility built with this program: refused"},
      {"an open folder", "chmod 0777 '" + lib + "'", util, "/lib/ is writable by other users: refused"},
      {"a full disk (last: it may not mount here)", "mount -t tmpfs -o size=64k,mode=0755 tmpfs '" + lib + "'",
       util, "write failed on " + target + ": No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(sh("umount '" + lib + "' 2>/dev/null; rm -rf '" + lib + "' && mkdir -m 0755 '" + lib + "'"));
    if (!c.setup.empty() && !sh(c.setup)) {
      if (c.setup.rfind("mount", 0) == 0) GTEST_SKIP() << "can't mount a tmpfs here";
      FAIL() << c.setup;
    }
    struct stat before {}, after {};
    bool had = lstat(target.c_str(), &before) == 0;
    std::string out;
    int rc = capture("'" + installer + "' --dir '" + lib + "' '" + c.source + "'", out);
    ASSERT_EQ(lstat(target.c_str(), &after) == 0, had || c.says.empty()) << out;
    EXPECT_NE(access((lib + "/.vlmperfutil.new").c_str(), F_OK), 0) << "a half-made copy was left";
    if (c.says.empty()) {
      EXPECT_EQ(rc, 0) << out;
      EXPECT_NE(out.find(target + " installed (root, 4711)"), std::string::npos) << out;
      EXPECT_TRUE(S_ISREG(after.st_mode));
      EXPECT_EQ(after.st_mode & 07777, 04711u);
      EXPECT_EQ(after.st_uid, 0u);
      EXPECT_TRUE(sh("cmp -s '" + util + "' '" + target + "'"));
    } else {
      EXPECT_NE(rc, 0) << out;
      EXPECT_NE(out.find(c.says), std::string::npos) << out;
      if (had) {  // nothing changed
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_ino, before.st_ino);
      }
    }
  }
  struct stat st;
  ASSERT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);  // the planted link's target is untouched
}

// --install-utility by an ordinary user who can't authenticate: a refusal
// that says why, and a non-zero status.
TEST_F(Install, CommandLineRefusalIsNotSuccess) {
  if (!root()) GTEST_SKIP() << "needs root to become another user";
  if (access(VLM_UTILITY_DIR "/vlmperfutil", F_OK) == 0) GTEST_SKIP() << "the utility is installed here";
  std::string out;
  int rc = capture("setpriv --reuid=65534 --regid=65534 --clear-groups '" VLM_BUNDLE_DIR
                   "/Contents/MacOS/VLM-Performance' --install-utility </dev/null", out);
  if (WIFEXITED(rc) && WEXITSTATUS(rc) >= 126) GTEST_SKIP() << "the user nobody can't start the program here: " << out;
  EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << out;
  EXPECT_NE(out.find("the utility is not in place (root, mode 4711): " VLM_UTILITY_DIR "/vlmperfutil"),
            std::string::npos) << out;
}

// --install-utility succeeds only when the copy is in place afterwards (root,
// 4711), whatever the installer's status says; a copy in place asks nothing.
TEST_F(Install, CommandLineStatusIsTheCopysState) {
  if (!root()) GTEST_SKIP() << "needs root to give files to root";
  const struct {
    int mode;  // of the copy before; -1: none
    int status;
    int rc;
    size_t commands;
  } cases[] = {
      {04711, 0, 0, 0}, {-1, 0, 1, 1}, {-1, 126 << 8, 1, 1}, {0755, 0, 1, 1},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(n);
    installed(c.mode < 0 ? dir_ + "/none" : utility(mode_t(c.mode), 0, 0, "c" + std::to_string(n)));
    ++n;
    runner.commands.clear();
    runner.statuses = {c.status};
    EXPECT_EQ(vlm::installUtility(), c.rc);
    EXPECT_EQ(runner.commands.size(), c.commands);
  }
}

// The install scripts of the utility's and the program's folders (what
// `cmake --install` runs for them) into a prefix of the installing user's own.
// Root's leave the utility's copy root:root 4711 and the polkit action, and an
// ordinary user's launch then asks nothing; an ordinary user's lay out the
// bundle alone and say what is left to root.
TEST_F(Install, InstallScriptsAsRootAndAsAUser) {
  if (!root()) GTEST_SKIP() << "needs root to install set-user-ID and to become another user";
  ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
  for (uid_t uid : {0u, 65534u}) {
    SCOPED_TRACE(uid);
    const std::string prefix = dir_ + "/p" + std::to_string(uid);
    const std::string res = prefix + "/VLM-Performance.app/Contents/Resources/";
    const std::string copy = prefix + "/libexec/vlm-performance/vlmperfutil";
    const std::string action = prefix + "/polkit/org.velmora.vlm-performance.policy";
    ASSERT_EQ(mkdir(prefix.c_str(), 0755), 0);
    ASSERT_EQ(chown(prefix.c_str(), uid, uid), 0);
    std::string cmd = "true", out;
    for (const char* dir : {"perf", "app"})
      cmd += " && setpriv --reuid=" + std::to_string(uid) + " --regid=" + std::to_string(uid) +
             " --clear-groups cmake -DCMAKE_INSTALL_PREFIX='" + prefix + "' -DVLM_UTILITY_DIR='" + prefix +
             "/libexec/vlm-performance' -DVLM_POLKIT_ACTIONS_DIR='" + prefix + "/polkit' -P " VLM_BINARY_DIR "/" + dir +
             "/cmake_install.cmake";
    ASSERT_EQ(capture(cmd, out), 0) << out;
    EXPECT_EQ(access((res + "vlmperfinstall").c_str(), X_OK), 0) << out;
    struct stat st;
    if (uid != 0) {
      EXPECT_NE(lstat(copy.c_str(), &st), 0);
      EXPECT_NE(access(action.c_str(), F_OK), 0);
      EXPECT_NE(out.find("must be installed as root (VLM-Performance --install-utility)"), std::string::npos) << out;
      continue;
    }
    ASSERT_EQ(lstat(copy.c_str(), &st), 0) << out;
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 04711u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_TRUE(sh("cmp -s '" VLM_BUNDLE_DIR "/Contents/Resources/vlmperfutil' '" + copy + "'"));
    EXPECT_TRUE(sh("grep -q '>" + res + "vlmperfinstall<' '" + action + "'"));
    use(res + "vlmperfutil");
    installed(copy);
    autoauth();
    EXPECT_TRUE(rec.seam.alerts.empty());
    EXPECT_TRUE(runner.commands.empty());
    EXPECT_STREQ(perfutilpath, copy.c_str());
    EXPECT_TRUE(vlm::utilityready());
  }
}

// A file system mounted nosuid: an alert naming the path, and no install offered.
TEST_F(Install, NosuidMountIsReported) {
  if (!root()) GTEST_SKIP() << "needs root to mount a nosuid tmpfs";
  const std::string mnt = dir_ + "/mnt";
  if (!sh("mkdir '" + mnt + "' && mount -t tmpfs -o nosuid,size=64k tmpfs '" + mnt + "' 2>/dev/null"))
    GTEST_SKIP() << "can't mount a tmpfs here";
  Finally unmount{"umount -l '" + mnt + "'"};
  use(utility(0755));
  for (mode_t mode : {mode_t(0755), mode_t(04711)}) {
    std::string p = mnt + "/vlmperfutil";
    ASSERT_TRUE(touch(p));
    ASSERT_EQ(chmod(p.c_str(), mode), 0);
    installed(p);
    rec.seam.alerts.clear();
    autoauth();
    SCOPED_TRACE(testing::Message() << std::oct << mode);
    expectAlert("The VLM-Utility can't run as root from a file system mounted nosuid. ( " + p + " )", {"Ok"});
    EXPECT_TRUE(runner.commands.empty());
  }
}

}  // namespace

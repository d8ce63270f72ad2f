// Utility installation: the checks of autoauth on the installed copy, the
// consent notice, the installer command (recorded), the real installer as
// root against files made in a scratch folder, nosuid mounts.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "util/alerts.h"
#include "app/install.h"
#include "util/startup.h"
#include "tests/platform/loop_guard.h"

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

// A shell command line's exit status; its output, standard error joined, in out.
int capture(const std::string& cmd, std::string& out) { return vlm::testing::run({"/bin/sh", "-c", cmd + " 2>&1"}, &out); }
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
    installed(dir_ + "/none/vlmperfutil");
    vlm::setAsRoot(0);  // the checks of an ordinary user's launch
  }
  void TearDown() override {
    vlm::setAsRoot(-1);
    vlm::setPrivilegedRunner(prev_runner_);
    perfutilpath = saved_path_;
    perfutilcopy = saved_copy_;
    sh("rm -rf '" + dir_ + "'");
  }

  // Makes a regular file in the scratch folder with the given mode and owner,
  // empty or a copy of from.
  std::string utility(mode_t mode, uid_t uid = 0, gid_t gid = 0, const std::string& name = "u",
                      const std::string& from = "") {
    std::string p = dir_ + "/" + name;
    EXPECT_TRUE(from.empty() ? touch(p) : sh("cp '" + from + "' '" + p + "'")) << p;
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
  // A regular file of root:root with mode 4711.
  static bool inPlace(const std::string& p) {
    struct stat st {};
    return lstat(p.c_str(), &st) == 0 && (st.st_mode & (S_IFMT | 07777)) == (S_IFREG | 04711) && st.st_uid == 0 &&
           st.st_gid == 0;
  }
  // The one alert shown (none for ""), with the program's title.
  void expectAlert(const std::string& msg, const Command& buttons = {"Ok"}) {
    ASSERT_EQ(rec.seam.alerts.size(), msg.empty() ? 0u : 1u);
    if (msg.empty()) return;
    EXPECT_EQ(rec.seam.alerts[0].title, "VLM-Performance");
    EXPECT_EQ(rec.seam.alerts[0].msg, msg);
    EXPECT_EQ(rec.seam.alerts[0].buttons, buttons);
  }
  void expectAutoauth(const std::string& msg, const Command& buttons = {"Ok"}) {
    rec.seam.alerts.clear();
    autoauth();
    expectAlert(msg, buttons);
  }

  RecordingRunner runner;
  vlm::ScopedRecordingSeam rec;
  std::string dir_, path_, copy_;
  const char* saved_path_ = perfutilpath;
  const char* saved_copy_ = perfutilcopy;
  vlm::PrivilegedRunner* prev_runner_ = vlm::setPrivilegedRunner(&runner);
};

// A utility that is missing, or a folder or a link where a program should be,
// is reported and nothing is installed; a long path is cut in the message.
TEST_F(Install, UnusableUtilityIsReported) {
  const std::string source = utility(0755), none = copy_, link = dir_ + "/link";
  ASSERT_EQ(symlink(source.c_str(), link.c_str()), 0);
  const std::string longPath = "/" + std::string(2000, 'p');
  // The bundle's utility, the installed copy, the message.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {"/Error/Error-utility", none, "Can't Find the VLM-Utility? ( /Error/Error-utility )"},
      {longPath, none, ("Can't Find the VLM-Utility? ( " + longPath).substr(0, 999)},
      {dir_, none, "Incorrect utility command type? ( " + dir_ + " )"},  // nothing installed
      {source, dir_, "Incorrect utility command type? ( " + dir_ + " )"},
      {source, link, "Incorrect utility command type? ( " + link + " )"},
  };
  for (const auto& [source, copy, msg] : cases) {
    use(source);
    installed(copy);
    expectAutoauth(msg);
  }
  EXPECT_TRUE(runner.commands.empty());
}

// The bundle's utility and a build of it that differs in its build identity
// alone (the bytes of its note changed): it still runs and answers -V.
struct Builds {
  std::string ours = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/vlmperfutil", other;
  bool make(const std::string& dir) {
    std::string id;
    if (capture("'" + ours + "' -V", id) != 0 || id.rfind("vlmperfutil build ", 0) != 0) return false;
    std::string raw;
    for (size_t i = 18; i + 1 < id.size() && id[i] != '\n'; i += 2)
      raw += char(std::stoi(id.substr(i, 2), nullptr, 16));
    std::ifstream in(ours, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), {});
    size_t at = bytes.find(raw);
    if (raw.size() < 8 || at == std::string::npos) return false;
    bytes[at] = char(~bytes[at]);
    other = dir + "/other-build";
    std::ofstream(other, std::ios::binary) << bytes;
    return chmod(other.c_str(), 0755) == 0;
  }
};

TEST_F(Install, ModeOwnerAndBuildRules) {
  if (!root()) GTEST_SKIP() << "needs root to give files to other owners";
  Builds b;
  if (!b.make(dir_)) GTEST_SKIP() << "the utility is not built or reports no build: " << b.ours;
  const std::string another = "The installed VLM-Utility ( %s ) is another build's: it must be replaced.\n";
  // The copy's mode, owner, group and build, and whether it is ready.
  const std::tuple<mode_t, uid_t, gid_t, bool, bool> cases[] = {
      {04711, 0, 0, true, true}, {04711, 0, 1234, true, true},  // any group passes
      {04755, 0, 0, true, false}, {0711, 0, 0, true, false},     {04711, 65534, 0, true, false},
      {06711, 0, 0, true, false}, {04700, 0, 0, true, false},    {0, 0, 0, true, false},
      {04711, 0, 0, false, false}};
  int n = 0;
  const std::string source = utility(0755, 0, 0, "source", b.ours);
  for (const auto& [mode, uid, gid, ours, ready] : cases) {
    SCOPED_TRACE(testing::Message() << std::oct << mode << " uid " << std::dec << uid << (ours ? "" : " other build"));
    use(source);  // as at a launch: the bundle's path, then the copy's
    installed(utility(mode, uid, gid, "u" + std::to_string(n++), ours ? b.ours : b.other));
    rec.seam.answers = {1};  // Cancel runs nothing
    std::string notice = ours ? "" : another;
    if (!notice.empty()) notice.replace(notice.find("%s"), 2, copy_);
    expectAutoauth(ready ? "" : notice + kNotice, {"Ok", "Cancel"});
    EXPECT_EQ(vlm::utilityready(), ready);
  }
  // Root runs the bundle's program file itself: no notice, nothing installed.
  vlm::setAsRoot(1);
  for (mode_t mode : {mode_t(0755), mode_t(0644)}) {
    use(utility(mode, 0, 0, "source"));
    expectAutoauth("");
    EXPECT_EQ(perfutilpath, path_.c_str());
    EXPECT_EQ(vlm::utilityready(), mode == 0755);
  }
  EXPECT_TRUE(runner.commands.empty());
}

// A failed installation says why, and to an ordinary user the command that
// root can run instead: a shell gives it back as the installer's arguments.
TEST_F(Install, FailedInstallationIsReported) {
  const std::string src = "/x y/it's/vlmperfutil";
  const std::string cmd = "Run this command as root to install it:\n'/x y/it'\\''s/vlmperfinstall' '" +
                          std::string("/x y/it'\\''s/vlmperfutil'");
  // No pkexec for root: its 126 is the installer's own.
  const std::tuple<int, int, std::string> cases[] = {
      {1, 126 << 8, "step failed\n"},
      {0, 126 << 8, "The password dialog was dismissed (pkexec status 126).\n" + cmd},
      {0, 127 << 8,
       "No administrator's password could be asked for: no authentication agent runs, or this user may not "
       "install it (pkexec status 127).\n" + cmd},
      {0, 1 << 8, "step failed\n" + cmd},
  };
  for (const auto& [asRoot, status, said] : cases) {
    vlm::setAsRoot(asRoot);
    runner.statuses = {status};
    rec.seam.alerts.clear();
    EXPECT_FALSE(rootybin(src.c_str()));
    expectAlert("The VLM-Utility was not installed.\n" + said);
  }
  std::string out;
  ASSERT_EQ(capture("printf '[%s]' " + vlm::shellquote(vlm::rootycommand(src.c_str(), true)), out), 0);
  EXPECT_EQ(out, "[/x y/it's/vlmperfinstall][" + src + "]");
}

// Test Media of an ordinary user whose utility can't run: the reason and the
// offer; on consent the installer runs from the bundle's utility, and the test
// goes on with the copy once it answers as this build's.
TEST_F(Install, TestMediaOffersTheInstallation) {
  if (!root()) GTEST_SKIP() << "needs root to give the copy to root";
  Builds b;
  if (!b.make(dir_)) GTEST_SKIP() << "the utility is not built or reports no build: " << b.ours;
  use(utility(0755, 0, 0, "source", b.ours));
  installed(dir_ + "/copy");
  vlm::perfutilselect();
  struct Installs : RecordingRunner {
    std::string from, to;
    int run(const Command& argv, std::string& out) override {
      int st = RecordingRunner::run(argv, out);
      if (st == 0) sh("cp '" + from + "' '" + to + "' && chmod 4711 '" + to + "'");
      return st;
    }
  } installs;
  installs.from = b.ours;
  installs.to = copy_;
  vlm::setPrivilegedRunner(&installs);
  const std::string offer = "Tests need this build's VLM-Utility installed as a set-user-ID root program ( " + copy_ +
                            " ), and ";
  // What is at the copy, the answer, the installer's status; the reason given, the result.
  const std::tuple<std::string, int, int, std::string, bool> cases[] = {
      {"", 1, 0, "it is not installed", false},
      {"", 0, 127 << 8, "it is not installed", false},
      {b.other, 0, 0, "the installed one is another build's", true},
      {"", 0, 0, "it is not installed", true},
      {b.ours, 0, 0, "", true},  // in place: nothing asked
  };
  for (const auto& [at, answer, status, why, ready] : cases) {
    SCOPED_TRACE(why + (ready ? " -> ready" : ""));
    sh("rm -f '" + copy_ + "'" + (at.empty() ? "" : " && cp '" + at + "' '" + copy_ + "' && chmod 4711 '" + copy_ + "'"));
    rec.seam.alerts.clear();
    rec.seam.answers = {answer};
    installs.commands.clear();
    installs.statuses = {status};
    EXPECT_EQ(vlm::offerinstall(), ready);
    EXPECT_EQ(rec.seam.alerts.empty(), why.empty());
    if (!why.empty()) {
      EXPECT_EQ(rec.seam.alerts[0].msg.substr(0, offer.size() + why.size()), offer + why);
    }
    EXPECT_EQ(installs.commands.size(), why.empty() || answer ? 0u : 1u);
    EXPECT_TRUE(installs.commands.empty() || installs.commands[0].back() == path_);  // from the bundle
    EXPECT_EQ(rec.seam.alerts.size(), why.empty() ? 0u : status ? 2u : 1u);  // a failure is said
  }
  EXPECT_STREQ(perfutilpath, copy_.c_str());  // the tests run the copy
  vlm::setPrivilegedRunner(&runner);
}

// The real installer, as root, against what the test puts at the target and
// the source: only the utility of this build, copied into a root-owned
// folder, ends up root:root 4711, in place of another build's; anything else
// is refused and left as it was.
TEST_F(Install, InstallerRefusesAllButItsOwnUtility) {
  if (!root()) GTEST_SKIP() << "needs root to run the installer";
  const std::string res = std::string(VLM_BUNDLE_DIR) + "/Contents/Resources/";
  const std::string installer = res + "vlmperfinstall", util = res + "vlmperfutil";
  if (access(installer.c_str(), X_OK) != 0) GTEST_SKIP() << "installer not built: " << installer;
  const std::string lib = dir_ + "/lib", sub = lib + "/sub", target = lib + "/vlmperfutil";
  const std::string other = dir_ + "/id", link = dir_ + "/link";
  auto copyof = [](const std::string& from, const std::string& to) { return "cp '" + from + "' '" + to + "'"; };
  Finally unmount{"umount '" + lib + "' 2>/dev/null"};
  ASSERT_TRUE(sh(copyof("/usr/bin/id", other)));
  ASSERT_EQ(symlink(util.c_str(), link.c_str()), 0);
  const struct {
    const char* what;
    std::string setup;  // shell commands that make the state before
    std::string source;
    std::string says;  // empty: installed
    std::string to = "";  // the target folder, lib when empty
  } cases[] = {
      {"fresh", "", util, ""},
      {"our own, wrong mode", copyof(util, target) + " && chmod 0755 '" + target + "'", util, ""},
      {"a planted link", "ln -s '" + other + "' '" + target + "'", util, "is a symbolic link: refused, nothing changed"},
      {"another build's (root's)", copyof(other, target), util, ""},
      {"a foreign owner", copyof(util, target) + " && chown 65534 '" + target + "'", util,
       "belongs to user 65534, not root: refused, nothing changed"},
      {"a linked source", "", link, "is a symbolic link: refused"},
      {"another source", "", other, "is not the utility built with this program: refused"},
      {"an open folder", "chmod 0777 '" + lib + "'", util, "/lib/ is writable by other users: refused"},
      {"a folder its group may change", "chmod 0775 '" + lib + "'", util, "/lib/ is writable by other users: refused"},
      {"a sticky open folder", "chmod 1777 '" + lib + "'", util, "/lib/ is writable by other users: refused"},
      {"under a folder its group may change", "mkdir '" + sub + "' && chmod 0770 '" + lib + "'", util,
       "/lib/ is writable by other users: refused", sub},
      {"under an open folder", "mkdir '" + sub + "' && chmod 0757 '" + lib + "'", util,
       "/lib/ is writable by other users: refused", sub},
      {"under another user's folder", "chown 65534 '" + lib + "'", util, "/lib/ belongs to user 65534, not root: refused",
       sub},
      {"under a sticky open folder (others can't replace root's)", "chmod 1777 '" + lib + "'", util, "", sub},
      {"a full disk (last: it may not mount here)", "mount -t tmpfs -o size=64k,mode=0755 tmpfs '" + lib + "'",
       util, "write failed on " + target + ": No space left on device"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string to = c.to.empty() ? lib : c.to, dest = to + "/vlmperfutil";
    ASSERT_TRUE(sh("umount '" + lib + "' 2>/dev/null; rm -rf '" + lib + "' && mkdir -m 0755 '" + lib + "'"));
    if (!c.setup.empty() && !sh(c.setup)) {
      if (c.setup.rfind("mount", 0) == 0) GTEST_SKIP() << "can't mount a tmpfs here";
      FAIL() << c.setup;
    }
    struct stat before {}, after {};
    bool had = lstat(dest.c_str(), &before) == 0;
    std::string out;
    int rc = capture("'" + installer + "' --dir '" + to + "' '" + c.source + "'", out);
    ASSERT_EQ(lstat(dest.c_str(), &after) == 0, had || c.says.empty()) << out;
    EXPECT_NE(access((to + "/.vlmperfutil.new").c_str(), F_OK), 0) << "a half-made copy was left";
    EXPECT_EQ(rc == 0, c.says.empty()) << out;
    EXPECT_NE(out.find(c.says.empty() ? dest + " installed (root, 4711)" : c.says), std::string::npos) << out;
    if (c.says.empty()) {
      EXPECT_TRUE(inPlace(dest));
      EXPECT_TRUE(sh("cmp -s '" + util + "' '" + dest + "'"));
    } else if (had) {  // nothing changed
      EXPECT_EQ(std::tie(after.st_mode, after.st_uid, after.st_ino), std::tie(before.st_mode, before.st_uid, before.st_ino));
    }
  }
  struct stat st;
  ASSERT_EQ(stat(other.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);  // the planted link's target is untouched
}

// The install scripts of the utility's and the program's folders (what
// `cmake --install` runs) into scratch prefixes: root makes the set-user-ID
// copy and the polkit action only where no other user can change the prefix
// or anything above it, and a later launch then asks nothing; elsewhere the
// bundle alone, and the install says why. A user's own install leaves both to root.
TEST_F(Install, InstallScriptsMakeRootsFilesOnlyInRootsPrefix) {
  if (!root()) GTEST_SKIP() << "needs root to install set-user-ID and to become another user";
  ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
  const struct {
    uid_t runs, owns;
    mode_t mode;
    std::string says;  // empty: the copy and the action are made
  } cases[] = {
      {0, 0, 0755, ""},
      {0, 65534, 0755, "/p1 belongs to user 65534, not root"},
      {0, 0, 0775, "/p2 is writable by other users"},
      {65534, 65534, 0755, "must be installed as root (VLM-Performance --install-utility)"},
  };
  for (int n = 0; const auto& c : cases) {
    const std::string prefix = dir_ + "/p" + std::to_string(n++);
    SCOPED_TRACE(prefix);
    const std::string res = prefix + "/VLM-Performance.app/Contents/Resources/";
    const std::string copy = prefix + "/libexec/vlm-performance/vlmperfutil";
    const std::string action = prefix + "/polkit/org.velmora.vlm-performance.policy";
    ASSERT_EQ(mkdir(prefix.c_str(), 0700), 0);
    ASSERT_EQ(chown(prefix.c_str(), c.owns, c.owns), 0);
    ASSERT_EQ(chmod(prefix.c_str(), c.mode), 0);
    std::string cmd = "true", out;
    for (const char* dir : {"perf", "app"})
      cmd += " && setpriv --reuid=" + std::to_string(c.runs) + " --regid=" + std::to_string(c.runs) +
             " --clear-groups cmake -DCMAKE_INSTALL_PREFIX='" + prefix + "' -DVLM_UTILITY_DIR='" + prefix +
             "/libexec/vlm-performance' -DVLM_POLKIT_ACTIONS_DIR='" + prefix + "/polkit' -P " VLM_BINARY_DIR "/" + dir +
             "/cmake_install.cmake";
    ASSERT_EQ(capture(cmd, out), 0) << out;
    EXPECT_EQ(access((res + "vlmperfinstall").c_str(), X_OK), 0) << out;
    EXPECT_EQ(inPlace(copy), c.says.empty()) << out;
    EXPECT_EQ(access(action.c_str(), F_OK) == 0, c.says.empty()) << out;
    if (!c.says.empty()) {
      EXPECT_NE(out.find(c.says), std::string::npos) << out;
      continue;
    }
    EXPECT_TRUE(sh("grep -q '>" + res + "vlmperfinstall<' '" + action + "'"));
    use(res + "vlmperfutil");
    installed(copy);
    expectAutoauth("");
    EXPECT_TRUE(vlm::utilityready());
  }
}

// --install-utility succeeds only when this build's copy is in place
// afterwards (root, 4711), whatever the installer's status says; such a copy
// asks nothing, another build's is replaced.
TEST_F(Install, CommandLineStatusIsTheCopysState) {
  if (!root()) GTEST_SKIP() << "needs root to give files to root";
  Builds b;
  if (!b.make(dir_)) GTEST_SKIP() << "the utility is not built or reports no build: " << b.ours;
  use(b.ours);
  // The copy's mode before (-1: none) and build, the installer's status, the
  // exit status, the commands run.
  const std::tuple<int, bool, int, int, size_t> cases[] = {
      {04711, true, 0, 0, 0}, {04711, false, 0, 1, 1}, {-1, true, 0, 1, 1}, {-1, true, 126 << 8, 1, 1},
      {0755, true, 0, 1, 1}};
  for (int n = 0; const auto& [mode, ours, status, rc, commands] : cases) {
    SCOPED_TRACE(n);
    installed(mode < 0 ? dir_ + "/none"
                       : utility(mode_t(mode), 0, 0, "c" + std::to_string(n++), ours ? b.ours : b.other));
    runner.commands.clear();
    runner.statuses = {status};
    EXPECT_EQ(vlm::installUtility(), rc);
    EXPECT_EQ(runner.commands.size(), commands);
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
  installed(mnt + "/vlmperfutil");
  for (mode_t mode : {mode_t(0755), mode_t(04711)}) {
    SCOPED_TRACE(testing::Message() << std::oct << mode);
    ASSERT_TRUE(touch(copy_));
    ASSERT_EQ(chmod(copy_.c_str(), mode), 0);
    expectAutoauth("The VLM-Utility can't run as root from a file system mounted nosuid. ( " + copy_ + " )");
  }
  EXPECT_TRUE(runner.commands.empty());
}

}  // namespace

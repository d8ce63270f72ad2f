// Installation of the test utility with administrator rights.
//
// On Linux the owner and mode commands get administrator rights through
// polkit's pkexec, both in one privileged call so that there is one password
// prompt. The owner becomes root:root: Linux has no "admin" group. The owner
// is set first: Linux clears the set-user-ID bit whenever a file's owner
// changes, so chmod 4711 followed by chown would leave mode 0711. The path
// reaches the commands as an argument of the shell, never inside its text. A
// process that is already root runs the two commands directly. rootybin waits
// for the commands to end, so that a failed or declined first step never lets
// the second one run.
//
// A file system mounted nosuid ignores the set-user-ID bit, so a utility there
// can never run as root: autoauth says so and offers no installation.
#include "app/install.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "util/alerts.h"
#include "util/startup.h"

namespace vlm {
namespace {

constexpr const char* kChmod = "/bin/chmod";
constexpr const char* kChown = "/bin/chown";
constexpr const char* kPkexec = "/usr/bin/pkexec";
constexpr const char* kShell = "/bin/sh";
constexpr const char* kMode = "4711";
constexpr const char* kOwner = "root:root";

// Runs the command as a child process and waits for it.
class ExecRunner : public PrivilegedRunner {
 public:
  int run(const std::vector<std::string>& argv) override {
    if (argv.empty()) return -1;
    std::vector<char*> args;  // built before fork: the child only calls execv
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
      execv(args[0], args.data());
      _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
      if (errno != EINTR) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
};

ExecRunner exec_runner;
std::atomic<PrivilegedRunner*> current_runner{nullptr};

PrivilegedRunner* runner() {
  PrivilegedRunner* r = current_runner.load();
  return r ? r : &exec_runner;
}

}  // namespace

PrivilegedRunner* setPrivilegedRunner(PrivilegedRunner* r) { return current_runner.exchange(r); }

std::vector<std::vector<std::string>> rootycommands(const char* path, bool asroot) {
  std::string target = path;
  if (asroot)
    return {{kChown, kOwner, "--", target}, {kChmod, kMode, "--", target}};
  std::string script = std::string(kChown) + " " + kOwner + " -- \"$1\" && " + kChmod + " " +
                       kMode + " -- \"$1\"";
  return {{kPkexec, kShell, "-c", script, "sh", target}};
}

}  // namespace vlm

namespace {

constexpr const char* kTitle = "VLM-Performance";
constexpr const char* kNotice =
    "Enter the Administrator's Password on the next input pane to Authorize the Velmora "
    "Performance Utility.";

// One-button alert with a message about path, cut to the 1000-byte buffer.
void pathalert(const char* fmt, const char* path) {
  char msg[1000];
  std::snprintf(msg, sizeof msg, fmt, path);
  messbox(kTitle, msg, "Ok");
}

bool onnosuid(const char* path) {
  struct statvfs fs;
  return statvfs(path, &fs) == 0 && (fs.f_flag & ST_NOSUID);
}

}  // namespace

void autoauth() {
  const char* path = perfutilpath;
  struct stat st;
  if (stat(path, &st) != 0) {
    pathalert("Can't Find the VLM-Utility? ( %s )", path);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    pathalert("Incorrect utility command type? ( %s )", path);
    return;
  }
  if (onnosuid(path)) {
    pathalert("The VLM-Utility can't run as root from a file system mounted nosuid. ( %s )",
              path);
    return;
  }
  if ((st.st_mode & 07777) == 04711 && st.st_uid == 0) return;
  if (messbox2(kTitle, kNotice, "Ok", "Cancel")) rootybin(path);
}

void rootybin(const char* path) {
  if (!path) return;
  vlm::PrivilegedRunner* r = vlm::runner();
  for (const std::vector<std::string>& cmd : vlm::rootycommands(path, geteuid() == 0))
    if (r->run(cmd) != 0) break;
}

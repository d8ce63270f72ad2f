// Installation of the test utility with administrator rights.
//
// No privileged step changes a file where another user could reach it: the
// bundle (often the user's own) only supplies the bytes, which the installer
// checks against the SHA-256 it was built with; the set-user-ID copy is made
// by the installer inside a root-owned directory. Administrator rights come
// from polkit's pkexec and the installer's own action ("Install the disk
// measuring utility"); a process that is already root runs it directly.
//
// autoauth keeps its order of checks, applied to the installed copy: a copy
// that is absent is installed from the bundle (whose absence is then the
// "Can't Find" case); anything but a regular file is refused; a copy on a
// file system mounted nosuid can never run as root, so that is said instead.
#include "app/install.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "perf/runner.h"
#include "util/alerts.h"
#include "util/prog.h"
#include "util/startup.h"

const char* perfutilcopy = VLM_UTILITY_DIR "/vlmperfutil";

namespace vlm {
namespace {

constexpr const char* kPkexec = "/usr/bin/pkexec";
constexpr int kOutput = 32768;

// Runs the command through the process runner, output captured.
class ExecRunner : public PrivilegedRunner {
 public:
  int run(const std::vector<std::string>& argv, std::string& out) override {
    if (argv.empty() || zftype(argv[0].c_str()) != '-') {
      out = "can't find " + (argv.empty() ? std::string() : argv[0]) + "\n";
      return 255 << 8;  // said, unlike pkexec's own 126 and 127
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(zmemclr(kOutput)), &std::free);
    int len = 0;
    int status = run2mem(buf.get(), kOutput, &len, args.data());
    out.assign(buf.get(), static_cast<size_t>(len));
    return status;
  }
};

ExecRunner exec_runner;
std::atomic<PrivilegedRunner*> current_runner{nullptr};

PrivilegedRunner* runner() {
  PrivilegedRunner* r = current_runner.load();
  return r ? r : &exec_runner;
}

std::atomic<int> pretendroot{-1};

const char* bundleutility = nullptr;  // the bundle's utility, once perfutilselect moved on

bool incopy(const struct stat& st) { return (st.st_mode & 07777) == 04711 && st.st_uid == 0; }

}  // namespace

PrivilegedRunner* setPrivilegedRunner(PrivilegedRunner* r) { return current_runner.exchange(r); }

bool asroot() {
  int p = pretendroot.load();
  return p < 0 ? geteuid() == 0 : p != 0;
}

void setAsRoot(int root) { pretendroot.store(root); }

bool utilityready() {
  struct stat st;
  if (lstat(perfutilpath, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return asroot() ? (st.st_mode & 0111) != 0 : incopy(st);
}

std::vector<std::string> rootycommand(const char* source, bool asroot) {
  std::string src = source;
  std::string dir = src.substr(0, src.rfind('/') + 1);
  std::string installer = dir + "vlmperfinstall";
  if (asroot) return {installer, src};
  return {kPkexec, installer, src};
}

void perfutilselect() {
  if (perfutilpath != perfutilcopy) bundleutility = perfutilpath;
  if (!asroot()) perfutilpath = perfutilcopy;
}

int installUtility() {
  perfutilinit(theargv0);
  struct stat st;
  if (lstat(perfutilcopy, &st) == 0 && S_ISREG(st.st_mode) && incopy(st)) {
    std::printf("%s is in place (root, 4711)\n", perfutilcopy);
    return 0;
  }
  std::string out;
  int status = runner()->run(rootycommand(perfutilpath, asroot()), out);
  std::fputs(out.c_str(), stdout);
  if (lstat(perfutilcopy, &st) == 0 && S_ISREG(st.st_mode) && incopy(st)) return 0;
  // pkexec's own statuses: the password dialog dismissed, or no authorisation.
  if (!asroot() && (status == 126 << 8 || status == 127 << 8))
    std::fputs(status == 126 << 8 ? "VLM-Performance: the password was not given (pkexec).\n"
                                  : "VLM-Performance: not authorised (pkexec).\n",
               stderr);
  std::fprintf(stderr, "VLM-Performance: the utility is not in place (root, mode 4711): %s\n",
               perfutilcopy);
  return 1;
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

// The bundle's utility: there and a regular file.
bool checksource(const char* source) {
  struct stat st;
  if (stat(source, &st) != 0) {
    pathalert("Can't Find the VLM-Utility? ( %s )", source);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    pathalert("Incorrect utility command type? ( %s )", source);
    return false;
  }
  return true;
}

// The checks on the installed copy; true when the installation should be offered.
bool checkcopy(const char* source) {
  struct stat st;
  if (lstat(perfutilcopy, &st) != 0) return checksource(source);  // not installed yet
  if (!S_ISREG(st.st_mode)) {
    pathalert("Incorrect utility command type? ( %s )", perfutilcopy);
    return false;
  }
  if (onnosuid(perfutilcopy)) {
    pathalert("The VLM-Utility can't run as root from a file system mounted nosuid. ( %s )",
              perfutilcopy);
    return false;
  }
  return !vlm::incopy(st);
}

}  // namespace

void autoauth() {
  vlm::perfutilselect();
  const char* source = vlm::bundleutility ? vlm::bundleutility : perfutilpath;
  // Root runs the bundle's own utility: nothing to install, no password to ask.
  if (vlm::asroot()) {
    checksource(source);
    return;
  }
  if (checkcopy(source) && messbox2(kTitle, kNotice, "Ok", "Cancel")) rootybin(source);
}

void rootybin(const char* path) {
  if (!path) return;
  const bool asroot = vlm::asroot();
  std::string out;
  int status = vlm::runner()->run(vlm::rootycommand(path, asroot), out);
  // pkexec's 126 and 127: the password dialog dismissed or the user not
  // authorised. Nothing changed, and nothing more to say.
  if (status == 0 || (!asroot && (status == 126 << 8 || status == 127 << 8))) return;
  char msg[1000];
  std::snprintf(msg, sizeof msg, "The VLM-Utility was not installed.\n%s", out.c_str());
  messbox(kTitle, msg, "Ok");
}

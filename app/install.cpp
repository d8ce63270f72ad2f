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
// A copy in place is this build's only when it reports the bundle utility's
// build identity (vlmperfutil -V): the copy can't be read by its users, but
// run. Another build's copy is offered for replacement like a missing one.
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

// "vlmperfutil build ID" as the utility at path reports it; empty when it
// reports nothing of the kind.
std::string buildof(const char* path) {
  char opt[] = "-V";
  char* argv[] = {const_cast<char*>(path), opt, nullptr};
  char out[512] = {};
  int len = 0;
  if (run2mem(out, sizeof out, &len, argv) != 0) return {};
  std::string line(out, static_cast<size_t>(len));
  line = line.substr(0, line.find('\n'));
  return line.rfind("vlmperfutil build ", 0) == 0 && line.size() > 18 ? line : std::string();
}

const char* sourceutility() { return bundleutility ? bundleutility : perfutilpath; }

}  // namespace

bool samebuild(const char* copy, const char* source) {
  if (std::strcmp(copy, source) == 0) return true;
  const std::string want = buildof(source);
  return !want.empty() && buildof(copy) == want;
}

CopyState copystate() {
  struct stat st;
  if (lstat(perfutilcopy, &st) != 0) return CopyState::Missing;
  if (!S_ISREG(st.st_mode)) return CopyState::NotRegular;
  if (!incopy(st)) return CopyState::WrongMode;
  return samebuild(perfutilcopy, sourceutility()) ? CopyState::Ready : CopyState::OtherBuild;
}

std::string shellquote(const std::vector<std::string>& argv) {
  std::string cmd;
  for (const std::string& a : argv) {
    if (!cmd.empty()) cmd += ' ';
    const bool plain = !a.empty() && a.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                         "0123456789/._+-:,=@%") == std::string::npos;
    if (plain) {
      cmd += a;
      continue;
    }
    cmd += '\'';
    for (char c : a) cmd += c == '\'' ? std::string("'\\''") : std::string(1, c);
    cmd += '\'';
  }
  return cmd;
}

PrivilegedRunner* setPrivilegedRunner(PrivilegedRunner* r) { return current_runner.exchange(r); }

bool asroot() {
  int p = pretendroot.load();
  return p < 0 ? geteuid() == 0 : p != 0;
}

void setAsRoot(int root) { pretendroot.store(root); }

bool utilityready() {
  struct stat st;
  if (lstat(perfutilpath, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  if (asroot()) return (st.st_mode & 0111) != 0;
  return incopy(st) && samebuild(perfutilpath, sourceutility());
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
  bundleutility = nullptr;
  const CopyState before = copystate();
  if (before == CopyState::Ready) {
    std::printf("%s is in place (root, 4711, this build)\n", perfutilcopy);
    return 0;
  }
  if (before == CopyState::OtherBuild)
    std::printf("%s is another build's utility: replacing it\n", perfutilcopy);
  std::string out;
  int status = runner()->run(rootycommand(perfutilpath, asroot()), out);
  std::fputs(out.c_str(), stdout);
  if (copystate() == CopyState::Ready) return 0;
  // pkexec's own statuses: the password dialog dismissed, or no authorisation.
  if (!asroot() && (status == 126 << 8 || status == 127 << 8))
    std::fputs(status == 126 << 8 ? "VLM-Performance: the password was not given (pkexec).\n"
                                  : "VLM-Performance: not authorised (pkexec).\n",
               stderr);
  std::fprintf(stderr, "VLM-Performance: this build's utility is not in place (root, mode 4711): %s\n",
               perfutilcopy);
  if (!asroot())
    std::fprintf(stderr, "Run this command as root to install it:\n%s\n",
                 shellquote(rootycommand(perfutilpath, true)).c_str());
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

// The checks on the installed copy; the notice to give when the installation
// should be offered, else nullptr.
const char* checkcopy(const char* source) {
  const vlm::CopyState state = vlm::copystate();
  switch (state) {
    case vlm::CopyState::Ready:
      return nullptr;
    case vlm::CopyState::Missing:
      return checksource(source) ? kNotice : nullptr;  // not installed yet
    case vlm::CopyState::NotRegular:
      pathalert("Incorrect utility command type? ( %s )", perfutilcopy);
      return nullptr;
    default:
      break;
  }
  if (onnosuid(perfutilcopy)) {
    pathalert("The VLM-Utility can't run as root from a file system mounted nosuid. ( %s )",
              perfutilcopy);
    return nullptr;
  }
  if (state != vlm::CopyState::OtherBuild) return kNotice;
  static char other[1200];
  std::snprintf(other, sizeof other, "The installed VLM-Utility ( %s ) is another build's: it must be replaced.\n%s",
                perfutilcopy, kNotice);
  return checksource(source) ? other : nullptr;
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
  if (const char* notice = checkcopy(source); notice && messbox2(kTitle, notice, "Ok", "Cancel"))
    rootybin(source);
}

bool rootybin(const char* path) {
  if (!path) return false;
  const bool asroot = vlm::asroot();
  std::string out;
  int status = vlm::runner()->run(vlm::rootycommand(path, asroot), out);
  if (status == 0) return true;
  // pkexec's 126: the password dialog dismissed; 127: no agent could ask, or
  // the user is not authorised. Either way root can still run the installer.
  std::string msg = "The VLM-Utility was not installed.\n";
  if (!asroot && status == 126 << 8)
    msg += "The password dialog was dismissed (pkexec status 126).\n";
  else if (!asroot && status == 127 << 8)
    msg += "No administrator's password could be asked for: no authentication agent runs, or this user "
           "may not install it (pkexec status 127).\n";
  else
    msg += out;
  if (!asroot) {
    if (msg.back() != '\n') msg += '\n';
    msg += "Run this command as root to install it:\n" + vlm::shellquote(vlm::rootycommand(path, true));
  }
  messbox(kTitle, msg.substr(0, 999).c_str(), "Ok");
  return false;
}

namespace vlm {

bool offerinstall() {
  if (asroot() || utilityready()) return true;  // root runs the bundle's own
  const char* source = sourceutility();
  const char* why = nullptr;
  switch (copystate()) {
    case CopyState::Missing:
      why = "it is not installed";
      break;
    case CopyState::WrongMode:
      why = "it is not owned by root with mode 4711";
      break;
    case CopyState::OtherBuild:
      why = "the installed one is another build's";
      break;
    default:
      checkcopy(source);  // says what is wrong that an installation can't mend
      return false;
  }
  if (onnosuid(perfutilcopy)) {
    checkcopy(source);
    return false;
  }
  char msg[1200];
  std::snprintf(msg, sizeof msg,
                "Tests need this build's VLM-Utility installed as a set-user-ID root program ( %s ), and %s.\n"
                "Install it now? An administrator's password will be asked for.",
                perfutilcopy, why);
  if (!messbox2("Test Media", msg, "Ok", "Cancel") || !checksource(source)) return false;
  return rootybin(source) && utilityready();
}

}  // namespace vlm

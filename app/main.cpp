// VLM-Performance: the window, or with options the command-line modes. The
// window is a program of its own beside this one (VLM-Performance-window, the
// same main built with the window's part): the command-line modes load none
// of its libraries.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/cli.h"
#include "app/install.h"
#include "util/startup.h"

#ifndef VLM_WINDOW_PROGRAM
namespace {

// Becomes the window program, with the same arguments; when it can't be
// started, lists the disks instead.
int openWindow(char** argv, const vlm::CliOptions& opts) {
  if (theargv0) {
    std::string window = theargv0;
    window = window.substr(0, window.rfind('/') + 1) + "VLM-Performance-window";
    ::execv(window.c_str(), argv);
    std::fprintf(stderr, "VLM-Performance: can't start the window (%s: %s); listing the disks instead.\n",
                 window.c_str(), std::strerror(errno));
  }
  return vlm::cliList(opts);
}

}  // namespace
#endif

int main(int argc, char** argv) {
  // An ignored SIGCHLD survives exec and would make every child's exit status
  // impossible to collect.
  signal(SIGCHLD, SIG_DFL);
  // The bundle is found from the executable the kernel runs, never from
  // argument 0, which whoever starts the program chooses.
  static char exe[PATH_MAX];
  theargv0 = nullptr;
  ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    exe[n] = '\0';
    theargv0 = exe;
  }

  vlm::CliOptions opts;
  std::string err;
  if (!vlm::parseCli(argc, argv, opts, err)) {
    std::fprintf(stderr, "VLM-Performance: %s\n%s", err.c_str(), vlm::cliUsage());
    return 2;
  }
  if (opts.help) {
    std::fputs(vlm::cliUsage(), stdout);
    return 0;
  }
  if (opts.installUtility) return vlm::installUtility();
  if (!vlm::setupPlatform(opts, err)) {
    std::fprintf(stderr, "VLM-Performance: %s\n", err.c_str());
    return 1;
  }
  if (!opts.dumpRegistry.empty() || !opts.dumpMounts.empty()) return vlm::cliDump(opts);
  if (!opts.testDevice.empty() || !opts.writeTest.empty()) return vlm::cliTest(opts);
  if (opts.history || !opts.forgetDevice.empty()) return vlm::cliHistory(opts);
  if (opts.list) return vlm::cliList(opts);

#ifdef VLM_WINDOW_PROGRAM
  if (!opts.screenshot.empty() || vlm::displayAvailable()) return vlm::guiMain(argc, argv, opts);
#else
  if (!opts.screenshot.empty() || vlm::displayAvailable()) return openWindow(argv, opts);
#endif
  std::fputs("VLM-Performance: no display available; listing the disks instead.\n", stderr);
  return vlm::cliList(opts);
}

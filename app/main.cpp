// VLM-Performance: the window, or with options the command-line modes.
#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/cli.h"
#include "app/install.h"
#include "util/startup.h"

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
  if (!opts.testDevice.empty()) return vlm::cliTest(opts);
  if (opts.list) return vlm::cliList(opts);

  if (!opts.screenshot.empty() || vlm::displayAvailable()) return vlm::guiMain(argc, argv, opts);
  std::fputs("VLM-Performance: no display available; listing the disks instead.\n", stderr);
  return vlm::cliList(opts);
}

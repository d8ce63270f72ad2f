#include "app/cli.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace vlm {

const char* cliUsage() {
  return "usage: VLM-Performance [options]\n"
         "  (no option)            open the window; without a display, list the disks\n"
         "  --list [--json]        list the disks as the window shows them\n"
         "  --registry FILE --mounts FILE\n"
         "                         replay a saved machine instead of this one\n"
         "  --dump-registry FILE --dump-mounts FILE\n"
         "                         save this machine's registry and mount table\n"
         "  --sysroot DIR          read the block devices from DIR instead of /sys\n"
         "  --test DEVICE [--yes]  measure one device: diskN as listed, its kernel name\n"
         "                         (sda1, /dev/sda1) or its Id (--yes: don't ask first)\n"
         "    --json FILE          also write the test record (JSON) to FILE, - for standard output\n"
         "    --metrics FILE       also write the figures for Prometheus' textfile collector to FILE\n"
         "    --seconds S          measured seconds of each phase (1 to 60; default 5)\n"
         "  --write-test DEV|FOLDER [--size N] [--sustained] [--yes]\n"
         "                         write test, as you, into FOLDER or the mounted volume of DEV\n"
         "                         (an unnamed file of N bytes, K/M/G suffixes; --sustained adds a\n"
         "                         pass over the whole file that finds where the drive's cache runs out);\n"
         "                         --json FILE and --metrics FILE as with --test\n"
         "  --history [DEVICE] [--json]\n"
         "                         the devices in the test history, or one device's tests, newest first\n"
         "  --forget DEVICE        delete a device's tests from the history\n"
         "  --screenshot FILE      save a picture of the window as PNG and exit\n"
         "  --install-utility      install the set-user-ID measuring utility (as root or through pkexec)\n"
         "  --help                 this text\n";
}

bool parseCli(int argc, char** argv, CliOptions& o, std::string& err) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](std::string& dst) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') {
        err = "option " + a + " needs a value";
        return false;
      }
      dst = argv[++i];
      return true;
    };
    if (a == "--list") o.list = true;
    else if (a == "--json") {
      // A value (a file, or "-") makes it the test record's destination.
      if (i + 1 < argc && (std::strcmp(argv[i + 1], "-") == 0 || (argv[i + 1][0] != '-' && argv[i + 1][0] != '\0')))
        o.jsonFile = argv[++i];
      else
        o.json = true;
    }
    else if (a == "--metrics") { if (!value(o.metricsFile)) return false; }
    else if (a == "--yes") o.yes = true;
    else if (a == "--install-utility") o.installUtility = true;
    else if (a == "--help" || a == "-h") o.help = true;
    else if (a == "--registry") { if (!value(o.registryFile)) return false; }
    else if (a == "--mounts") { if (!value(o.mountsFile)) return false; }
    else if (a == "--dump-registry") { if (!value(o.dumpRegistry)) return false; }
    else if (a == "--dump-mounts") { if (!value(o.dumpMounts)) return false; }
    else if (a == "--sysroot") { if (!value(o.sysroot)) return false; }
    else if (a == "--test") { if (!value(o.testDevice)) return false; }
    else if (a == "--history") {
      o.history = true;
      if (i + 1 < argc && argv[i + 1][0] != '-' && argv[i + 1][0] != '\0') o.historyDevice = argv[++i];
    }
    else if (a == "--forget") { if (!value(o.forgetDevice)) return false; }
    else if (a == "--write-test") { if (!value(o.writeTest)) return false; }
    else if (a == "--size") { if (!value(o.writeSize)) return false; }
    else if (a == "--sustained") o.sustained = true;
    else if (a == "--seconds") {
      std::string v;
      if (!value(v)) return false;
      if (v.size() > 2 || v.find_first_not_of("0123456789") != std::string::npos || std::atoi(v.c_str()) < 1 ||
          std::atoi(v.c_str()) > 60) {
        err = "--seconds " + v + ": 1 to 60";
        return false;
      }
      o.seconds = std::atoi(v.c_str());
    }
    else if (a == "--screenshot") { if (!value(o.screenshot)) return false; }
    else if (a.rfind("-psn", 0) == 0 || a.rfind("-platform", 0) == 0) {
      // options meant for the window system
      if (a == "-platform" && i + 1 < argc) ++i;
    } else {
      err = "unknown option " + a;
      return false;
    }
  }
  if (o.registryFile.empty() != o.mountsFile.empty()) {
    err = "--registry and --mounts go together";
    return false;
  }
  if ((!o.jsonFile.empty() || !o.metricsFile.empty()) && o.testDevice.empty() && o.writeTest.empty()) {
    err = "--json FILE and --metrics FILE go with --test or --write-test";
    return false;
  }
  if (o.seconds && o.testDevice.empty() && o.writeTest.empty()) {
    err = "--seconds goes with --test or --write-test";
    return false;
  }
  if ((!o.writeSize.empty() || o.sustained) && o.writeTest.empty()) {
    err = "--size and --sustained go with --write-test";
    return false;
  }
  if (!o.writeTest.empty() && !o.testDevice.empty()) {
    err = "--test and --write-test are two tests: one at a time";
    return false;
  }
  if (o.jsonFile == "-" && o.metricsFile == "-") {
    err = "only one of --json and --metrics can write to standard output";
    return false;
  }
  if (o.history && !o.forgetDevice.empty()) {
    err = "--history and --forget don't go together";
    return false;
  }
  if (o.json && !o.list && o.testDevice.empty() && o.writeTest.empty() && !o.history) o.list = true;
  return true;
}

bool setupPlatform(const CliOptions& o, std::string& err) {
  try {
    if (!o.registryFile.empty())
      setPlatform(fixturePlatform(o.registryFile, o.mountsFile));
    else
      setPlatform(linuxPlatform(o.sysroot));
  } catch (const FixtureError& e) {
    err = e.what();
    return false;
  }
  return true;
}

bool displayAvailable() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (qpa && *qpa) return true;
  const char* d = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (d && *d) || (w && *w);
}

}  // namespace vlm

// Builds without the window list the disks instead.
__attribute__((weak)) int vlm::guiMain(int, char**, const CliOptions& opts) {
  std::fputs("VLM-Performance: built without the window; listing the disks instead.\n", stderr);
  return cliList(opts);
}

// The program's command line: the listing, replays and dumps, a test without
// the window, and the window itself.
#pragma once

#include <string>

namespace vlm {

struct CliOptions {
  bool list = false;           // --list
  bool json = false;           // --json (with --list)
  std::string jsonFile;        // --json FILE (with --test): the test record
  std::string metricsFile;     // --metrics FILE (with --test): the figures for Prometheus
  std::string registryFile;    // --registry FILE
  std::string mountsFile;      // --mounts FILE
  std::string dumpRegistry;    // --dump-registry FILE
  std::string dumpMounts;      // --dump-mounts FILE
  std::string sysroot = "/sys";  // --sysroot DIR
  std::string testDevice;      // --test diskN, kernel name or identity
  std::string writeTest;       // --write-test DEV|FOLDER
  std::string writeSize;       // --size N (with --write-test)
  bool sustained = false;      // --sustained (with --write-test)
  int seconds = 0;             // --seconds S: measured time of each phase (0: the utility's own)
  bool yes = false;            // --yes: no consent question
  std::string screenshot;      // --screenshot FILE
  bool help = false;           // --help
  bool installUtility = false; // --install-utility
  bool history = false;        // --history [DEV]
  std::string historyDevice;   // its DEV: as --test takes it, or an Id no longer listed
  std::string forgetDevice;    // --forget DEV
};

// Parses argv; returns false and sets err on a bad command line.
bool parseCli(int argc, char** argv, CliOptions& opts, std::string& err);
const char* cliUsage();

// Installs the platform the options name (fixtures or the live machine).
// Returns false with err set when a fixture can't be loaded.
bool setupPlatform(const CliOptions& opts, std::string& err);

int cliList(const CliOptions& opts);  // --list [--json]
class PoolCore;
// Prints the list pool holds now (after its last Reload), as text or JSON.
void printListing(const PoolCore& pool, bool json);
int cliDump(const CliOptions& opts);  // --dump-registry / --dump-mounts
int cliTest(const CliOptions& opts);  // --test diskN [--yes], --write-test DEV|FOLDER
int cliHistory(const CliOptions& opts);  // --history [DEV] [--json], --forget DEV
// Row of a device in the display array, -1 if absent: "diskN..." as listed,
// its kernel name ("sda1", "/dev/sda1") or its identity ("Id").
int findrow(const std::string& dev);

// True when a window can be opened (a display, or a Qt platform named).
bool displayAvailable();
// The window (or, for --screenshot, one rendering of it). argc/argv go to Qt.
int guiMain(int argc, char** argv, const CliOptions& opts);

}  // namespace vlm

// --test diskN [--yes]: the road of one test on the terminal. The same test
// control as the window's, with the question asked on the terminal, the
// progress drawn as a bar on standard error, the utility's output and the
// figures on standard output, and the refreshed listing at the end.
//
// Signals: Ctrl-C before the test starts ends the program. While the utility
// runs, the runner ignores SIGINT in this process and the utility has the
// default action, so Ctrl-C at the terminal (which signals the whole
// foreground group) ends the utility and the test is reported as "Failed".
// Outside the runner's window, and at any time by SIGTERM sent to this
// process alone, a signal during the test is a cancel request (Testcancel):
// the utility gets SIGCONT with its next chunk of output.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>

#include "util/alerts.h"
#include "app/cli.h"
#include "app/install.h"
#include "util/startup.h"
#include "disk/disk.h"
#include "perf/record.h"
#include "perf/store.h"
#include "perf/testctl.h"
#include "perf/vlmperfwrite/write.h"
#include "platform/devnames.h"
#include "table/poolcore.h"
#include "util/prog.h"

namespace vlm {
namespace {

// The progress "window": a bar on standard error.
class TerminalUi : public TestUi {
 public:
  TerminalUi(int row, PoolCore& pool, int seconds) : row_(row), pool_(pool), tty_(isatty(2)), seconds_(seconds) {}
  int testSeconds() override { return seconds_; }
  int selectedRow() override { return row_; }
  bool hasProgressWindow() override { return true; }
  void progressStart() override {}
  void showProgressWindow(const std::string& title) override {
    std::fprintf(stderr, "%s\n", title.c_str());
  }
  void progressReset() override { draw(0); }
  void progressSet(double value) override { draw(value); }
  void progressStop() override {
    if (tty_ && last_ >= 0) std::fputc('\n', stderr);
    last_ = -1;
    std::fflush(stderr);
  }
  void refresh() override {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    pool_.Reload("", 0);
  }

 private:
  void draw(double value) {
    int pct = value < 0 ? 0 : value > 100 ? 100 : static_cast<int>(value);
    if (pct == last_) return;
    last_ = pct;
    constexpr int width = 30;
    char bar[width + 1];
    int fill = pct * width / 100;
    for (int i = 0; i < width; ++i) bar[i] = i < fill ? '#' : '.';
    bar[width] = '\0';
    std::fprintf(stderr, tty_ ? "\r[%s] %3d%%" : "[%s] %3d%%\n", bar, pct);
    std::fflush(stderr);
  }

  int row_;
  PoolCore& pool_;
  bool tty_;
  int seconds_;
  int last_ = -1;
};

// Alerts on the terminal: the question is answered by --yes or by the user,
// the result alert prints the utility's output, the rest goes to the console.
class TerminalSeam : public AlertSeam {
 public:
  explicit TerminalSeam(bool yes) : yes_(yes) {}
  int alert(const std::string& title, const std::string& msg,
            const std::vector<std::string>& buttons) override {
    const bool test = title == "Test Media:" || title == "Write Test:";
    if (test && buttons.size() == 2) return consent(msg);
    if (test && buttons.size() == 1) {
      std::fwrite(msg.data(), 1, msg.size(), stdout);
      if (!msg.empty() && msg.back() != '\n') std::fputc('\n', stdout);
      std::printf("Result: %s\n", buttons[0].c_str());
      std::fflush(stdout);
      result_ = buttons[0];
      return 0;
    }
    return console_.alert(title, msg, buttons);
  }
  void quit() override {}

  bool declined() const { return declined_; }
  const std::string& result() const { return result_; }  // "Ok", "Failed" or empty

 private:
  int consent(const std::string& question) {
    std::fprintf(stderr, "%s\n", question.c_str());
    if (yes_) {
      std::fputs("Ok (--yes)\n", stderr);
      return 0;
    }
    std::fputs("Go on? [y/N] ", stderr);
    std::fflush(stderr);
    char line[32] = "";
    if (!std::fgets(line, sizeof line, stdin)) line[0] = '\0';
    declined_ = !(line[0] == 'y' || line[0] == 'Y');
    return declined_ ? 1 : 0;
  }

  bool yes_;
  bool declined_ = false;
  std::string result_;
  ConsoleAlertSeam console_;
};

// Signals during the test become cancel requests; before it they end the
// program as usual. Both flags are lock-free atomics, safe in a handler.
std::atomic<std::atomic<int>*> cancel_target{nullptr};
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<std::atomic<int>*>::is_always_lock_free);

void oncancel(int sig) {
  std::atomic<int>* target = cancel_target.load();
  if (target && Testing.load() != 0) {
    target->fetch_add(1);
    return;
  }
  signal(sig, SIG_DFL);
  raise(sig);
}

class CancelSignals {
 public:
  explicit CancelSignals(std::atomic<int>& canceled) {
    cancel_target.store(&canceled);
    struct sigaction sa {};
    sa.sa_handler = oncancel;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &oldint_);
    sigaction(SIGTERM, &sa, &oldterm_);
  }
  ~CancelSignals() {
    sigaction(SIGINT, &oldint_, nullptr);
    sigaction(SIGTERM, &oldterm_, nullptr);
    cancel_target.store(nullptr);
  }

 private:
  struct sigaction oldint_ {}, oldterm_ {};
};

void printfigures(const char* dev, const char* devid) {
  DISKPERF_ p{};
  if (perfget(dev, devid, p))
    std::printf("Figures for %s: Sequential %d  Random %d  Dual Seq %d  Threaded %d\n", dev,
                p.seqkps, p.randkps, p.dualkps, p.threadkps);
  else
    std::printf("No figures for %s in the utility's output.\n", dev);
}

// --write-test DEV|FOLDER: the row and the folder. A listed device writes
// into its mounted volume (the folder Writemedia picks); a folder, into
// itself, on the row of the device that holds it; a device node never.
bool writeTarget(const CliOptions& opts, WriteOptions& wo, int& row) {
  const std::string& arg = opts.writeTest;
  if (!opts.writeSize.empty()) {
    std::optional<uint64_t> n = vpw::parseSize(opts.writeSize);
    if (!n || *n == 0) {
      std::fprintf(stderr, "VLM-Performance: --size %s: not a size (bytes, or with K, M, G, T)\n", opts.writeSize.c_str());
      return false;
    }
    wo.size = *n;
  }
  wo.sustained = opts.sustained;
  struct stat st {};
  const bool exists = stat(arg.c_str(), &st) == 0;
  if (exists && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode))) {
    std::fprintf(stderr, "VLM-Performance: %s is a device: the write test never writes a device; name its listed"
                 " name (see --list) or a folder of its mounted volume\n", arg.c_str());
    return false;
  }
  if (exists && S_ISDIR(st.st_mode) && arg.find('/') != std::string::npos) {
    std::optional<devnames::BlockDev> dev = devnames::byDevno(st.st_dev);
    row = dev ? findrow(dev->kernel) : -1;
    if (row < 0) {
      std::fprintf(stderr, "VLM-Performance: no listed device holds %s (see --list)\n", arg.c_str());
      return false;
    }
    char real[PATH_MAX];
    wo.folder = realpath(arg.c_str(), real) ? real : arg;
    return true;
  }
  row = findrow(arg);
  if (row < 0) {
    std::fprintf(stderr, "VLM-Performance: no device or folder %s (see --list)\n", arg.c_str());
    return false;
  }
  return true;
}

// While the record or the metrics go to standard output, everything else the
// test prints goes to standard error.
class StdoutAside {
 public:
  explicit StdoutAside(bool on) {
    if (!on) return;
    std::fflush(stdout);
    saved_ = dup(1);
    if (saved_ >= 0) dup2(2, 1);
  }
  ~StdoutAside() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_ = -1;
};

// The record of the test just run, to each file asked for. False when one
// can't be written (the message is on standard error).
bool writeOutputs(const CliOptions& opts) {
  if (opts.jsonFile.empty() && opts.metricsFile.empty()) return true;
  std::optional<Record> rec = lastRecord(opts.writeTest.empty() ? std::string(Testdev) : writeKey(Testdev));
  if (!rec) {
    std::fprintf(stderr, "VLM-Performance: no test record for %s\n", Testdev);
    return false;
  }
  bool ok = true;
  for (const auto& [file, content] : {std::pair{opts.jsonFile, rec->dump(2) + "\n"},
                                      std::pair{opts.metricsFile, recordMetrics(*rec)}}) {
    std::string err;
    if (file.empty() || writeFileAtomic(file, content, err)) continue;
    std::fprintf(stderr, "VLM-Performance: %s\n", err.c_str());
    ok = false;
  }
  return ok;
}

}  // namespace

// The kernel name stays with the disk across boots and machines better than diskN.
int findrow(const std::string& dev) {
  std::string name = dev.rfind("/dev/", 0) == 0 ? dev.substr(5) : dev;
  if (name.empty()) return -1;
  std::lock_guard<std::recursive_mutex> lock(disklock);
  for (int i = 0; i < ndiskarray; ++i) {
    const DISKINFO_* r = diskarray[i];
    char full[64];
    std::snprintf(full, sizeof full, "disk%s", r->bsdname);
    if (zcpxcap(full, name.c_str()) || name == r->devloc || name == r->devid) return i;
  }
  return -1;
}

int cliTest(const CliOptions& opts) {
  const bool writing = !opts.writeTest.empty();
  if (!opts.yes && !isatty(0)) {
    std::fprintf(stderr, "VLM-Performance: %s asks before it starts; answer on a terminal or give --yes\n",
                 writing ? "--write-test" : "--test");
    return 2;
  }
  menuinit();
  perfutilinit(theargv0);
  perfutilselect();
  PoolCore pool;
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    pool.Reload("", 0);
  }
  WriteOptions wo;
  int row = -1;
  if (writing) {
    if (!writeTarget(opts, wo, row)) return 2;
  } else if ((row = findrow(opts.testDevice)) < 0) {
    std::fprintf(stderr, "VLM-Performance: no device %s in the list (see --list)\n",
                 opts.testDevice.c_str());
    return 2;
  }
  if (!writing && zftype(perfutilpath) != '-') {
    std::fprintf(stderr, "VLM-Performance: the test utility is missing: %s%s\n", perfutilpath,
                 perfutilpath == perfutilcopy ? " (see --install-utility)" : "");
    return 1;
  }

  std::optional<StdoutAside> aside(std::in_place, opts.jsonFile == "-" || opts.metricsFile == "-");
  TerminalSeam seam(opts.yes);
  AlertSeam* prev = setAlertSeam(&seam);
  TerminalUi ui(row, pool, opts.seconds);
  {
    TestControl ctl(ui);
    CancelSignals signals(ctl.Canceled);
    if (writing)
      ctl.Writemedia(wo);
    else
      ctl.Testmedia();
    ctl.join();
  }
  setAlertSeam(prev);

  if (seam.declined()) {
    std::fputs("VLM-Performance: test not started.\n", stderr);
    return 1;
  }
  bool ok = seam.result() == "Ok";
  if (seam.result().empty() && writing) return 2;  // refused before it began (the reason is printed)
  if (ok && !writing) printfigures(Testdev, Testid);
  std::fputc('\n', stdout);
  printListing(pool, opts.json);  // the list the worker's refresh rebuilt
  aside.reset();
  return writeOutputs(opts) && ok ? 0 : 1;
}

}  // namespace vlm

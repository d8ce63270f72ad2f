// Test control: the "Test Media" action, its worker, and cancel.
//
// Testing and Canceled are atomics shared by the user-interface thread and
// the worker. Testdev, Testname and diskvect are written before the worker
// starts (or by the worker) and left alone while Testing is 1. The worker's
// window, alert and refresh steps go through TestUi and the alert seam, which
// carry them to the user-interface thread and wait for them there.
//
// The worker is a joinable thread: join() and the destructor wait for it, and
// the next Testmedia collects it. A new test may start while the previous
// worker still refreshes (Testing is already 0 then); that worker is kept
// aside and joined later, never waited for on the spot, since its refresh may
// need the very thread that runs Testmedia.
#include "perf/testctl.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "util/alerts.h"
#include "util/startup.h"
#include "disk/disk.h"
#include "perf/history.h"
#include "perf/runner.h"
#include "perf/store.h"
#include "perf/testplan.h"
#include "util/prog.h"

std::atomic<int> Testing{0};
char Testdev[64] = "disk-error";
char Testname[64] = "name-error";
char Testid[128] = "";
char service[64] = "-T";
char identopt[8] = "-I";
char* diskvect[10];

namespace vlm {

namespace {
constexpr int kOutput = 32768;
// A run that goes on this long past its phases' total is stopped.
constexpr int kMarginSeconds = 60;
const char* const kAlertTitle = "Test Media";

// The volume name for the utility, cut to fit on a character boundary: half
// a UTF-8 character would reach it as a byte that isn't one.
void copyName(char (&dst)[64], const char* name) {
  size_t n = strnlen(name, sizeof dst);
  if (n == sizeof dst)
    for (--n; n > 0 && (static_cast<unsigned char>(name[n]) & 0xC0) == 0x80;) --n;
  std::memcpy(dst, name, n);
  dst[n] = '\0';
}
}  // namespace

TestControl::~TestControl() { join(); }

void TestControl::join() {
  if (worker_.joinable()) worker_.join();
  for (auto& t : retired_)
    if (t.joinable()) t.join();
  retired_.clear();
}

void TestControl::Testmedia() {
  if (Testing.load() != 0) {
    messbox(kAlertTitle, "A test is already running, you must wait for it to complete.", "Ok");
    return;
  }

  int row = ui_.selectedRow();
  char bsdname[sizeof(DISKINFO_::bsdname)];
  char devid[sizeof(DISKINFO_::devid)];
  char device[200];
  RecordDevice dev;
  bool found = false;
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    if (row >= 0 && row < ndiskarray && diskarray && diskarray[row]) {
      zcpfield(bsdname, diskarray[row]->bsdname);
      zcpfield(devid, diskarray[row]->devid);
      diskdescribe(device, sizeof device, diskarray[row]);
      dev = recordDevice(diskarray[row]);
      found = true;
    }
  }
  if (!found) {
    messbox(kAlertTitle, "You must select a device to test.", "Ok");
    return;
  }

  if (!ui_.hasProgressWindow()) {
    messbox(kAlertTitle, "Can't find the Percent Window?.", "Ok");
    return;
  }
  if (!ui_.utilityReady()) return;

  const int seconds = ui_.testSeconds();
  const int64_t ms = testplan::totalMs(seconds > 0 ? seconds : testplan::kDefaultSeconds);
  char question[320];
  std::snprintf(question, sizeof question,
                "You are about to test %s. It reads the device for about %lld s and writes nothing.", device,
                static_cast<long long>((ms + 999) / 1000));
  if (!messbox2("Test Media:", question, "Ok", "Cancel")) return;

  // Devices may have come and gone while the question was open, moving
  // names: the device is found again by its identity. One that is gone keeps
  // its old name, and the utility refuses it by the identity.
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    const int now = diskrow(devid, bsdname);
    if (now >= 0) {
      zcpfield(bsdname, diskarray[now]->bsdname);
      dev = recordDevice(diskarray[now]);
    }
  }

  ui_.progressStart();
  char title[256];
  std::snprintf(title, sizeof title, "Testing: %s", device);
  ui_.showProgressWindow(title);
  ui_.progressReset();

  Testing.store(1);
  canceledRun_.store(false);
  std::snprintf(Testdev, sizeof Testdev, "disk%s", bsdname);
  device_ = dev;
  copyName(Testname, dev.volume.c_str());
  seconds_ = seconds;
  zcpfield(Testid, devid);

  start(&TestControl::Testrun);
}

void TestControl::start(void (TestControl::*body)()) {
  // Collect the previous worker: at once if it has ended, later if it is
  // still in its refresh.
  if (worker_.joinable()) {
    if (done_.load())
      worker_.join();
    else
      retired_.push_back(std::move(worker_));
  }
  done_.store(false);
  worker_ = std::thread([this, body] {
    try {
      (this->*body)();
    } catch (const std::exception&) {
      // A fatal error that returned (the test seam): the run is over.
      Canceled.store(0);
      Testing.store(0);
    }
    done_.store(true);
  });
}

// The worker body. It needs no object-memory scope of its own here: nothing it
// calls hands out reference-counted platform objects.
void TestControl::Testrun() {
  diskvect[0] = const_cast<char*>(perfutilpath);
  diskvect[1] = service;
  diskvect[2] = Testdev;
  diskvect[3] = Testname;
  int n = 4;
  static char secondsOption[] = "-s";
  char seconds[12];
  if (seconds_ > 0) {
    std::snprintf(seconds, sizeof seconds, "%d", seconds_);
    diskvect[n++] = secondsOption;
    diskvect[n++] = seconds;
  }
  // The utility refuses a device whose identity is no longer the listed one.
  if (Testid[0]) {
    diskvect[n++] = identopt;
    diskvect[n++] = Testid;
  }
  diskvect[n] = nullptr;

  std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(zmemclr(kOutput)),
                                                  &std::free);
  int len = 0;
  RunHooks hooks;
  hooks.canceled = &Canceled;
  hooks.limitMs = testplan::totalMs(seconds_ > 0 ? seconds_ : testplan::kDefaultSeconds) +
                  kMarginSeconds * 1000;
  RecordTap tap;
  hooks.pctgrab = [this, &tap](char* chunk) {
    tap.take(chunk);  // first: the record's text is no progress line
    pctgrab(chunk, [this](double v) { ui_.progressSet(v); });
  };
  int status = Run2mem(buf.get(), kOutput, &len, diskvect, hooks);
  buf.get()[len] = '\0';
  Record rec = completeRecord(tap.text(), device_, buf.get(), status);
  // A figure well below this disk's own past is a warning of its own.
  std::string slower;
  if (status == 0) {
    for (const Slower& s : history().slower(rec)) {
      rec["slower"].push_back({{"phase", s.phase}, {"kbps", s.kbps}, {"usualKbps", s.usualKbps},
                               {"percentBelow", s.percentBelow}, {"text", s.text()}});
      slower += "Warning: " + s.text() + "\n";
    }
  }
  keepRecord(Testdev, rec);
  const std::string notice = historyKeep(rec);

  const char* label = canceledRun_.load() ? "Canceled" : "Failed";
  if (status == 0) {
    perfcapture(Testdev, Testid, (slower + buf.get()).c_str());
    label = "Ok";
  }

  ui_.progressStop();
  std::string shown = perfwarnfirst(buf.get());
  if (!slower.empty()) shown = slower + (shown.rfind("Warning: ", 0) == 0 ? "" : "\n") + shown;
  messbox("Test Media:", (shown + notice).c_str(), label);
  buf.reset();

  Testing.store(0);
  Canceled.store(0);
  ui_.refresh();
}

}  // namespace vlm

// Test control: from the "Test Media" request to the figures in the list. The
// window operations go through TestUi so that the window and the command-line
// mode share one road.
#pragma once

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "disk/disk.h"
#include "perf/record.h"

extern std::atomic<int> Testing;
extern char Testdev[64];
extern char Testname[64];
extern char Testid[128];   // identity of the device under test; empty when unknown
extern char service[64];
extern char identopt[8];   // the utility's option that carries Testid: "-I"
extern char* diskvect[10];

namespace vlm {

// What the test road asks of the window. Calls marked (worker) are made on the
// worker thread; an implementation brings them to the user-interface thread and
// returns only when they are done.
class TestUi {
 public:
  virtual ~TestUi() = default;
  virtual int selectedRow() = 0;             // -1 when nothing is selected
  virtual bool hasProgressWindow() = 0;
  virtual void progressStart() = 0;          // animation on, indeterminate
  virtual void showProgressWindow(const std::string& title) = 0;  // front and key
  virtual void progressReset() = 0;          // value 0, determinate
  virtual void progressSet(double value) = 0;                  // (worker)
  virtual void progressStop() = 0;           // (worker) animation off, value 0, window hidden
  virtual void refresh() = 0;                // (worker) the delegate's Refresh:
  // Measured seconds per phase to pass with -s; 0 leaves the utility's own.
  virtual int testSeconds() { return 0; }
  // Before the question: the utility can run, or the user was told why not
  // (and offered what makes it run). False ends the request.
  virtual bool utilityReady() { return true; }
  // The write test's question offers another folder; chooseFolder asks for
  // one, starting at from (empty: none chosen).
  virtual bool choosesFolders() { return false; }
  virtual std::string chooseFolder(const std::string& /*from*/) { return ""; }
};

// A write test's request (perf/writectl.cpp).
struct WriteOptions {
  std::string folder;   // empty: the selected row's (its mount point, or the user's home on it)
  uint64_t size = 0;    // bytes; 0: the largest the free space allows, at most 256 MiB without sustained
  bool sustained = false;
};

// The key of a device's last write record ("write:disk2s1"), beside its read record.
std::string writeKey(const std::string& dev);
// Where the write test of a listed row goes; empty with the reason in why.
// The caller holds disklock.
std::string writeFolder(const DISKINFO_* rec, std::string& why);

class TestControl {
 public:
  explicit TestControl(TestUi& ui) : ui_(ui) {}
  ~TestControl();  // joins a worker still running
  // The "Test Media" action (user-interface thread): checks, consent, start.
  void Testmedia();
  // The worker body (steps 2 to 11); normally run by Testmedia on a new thread.
  void Testrun();
  // The cancel action. A run canceled and not ended well is "Canceled".
  void Testcancel() {
    if (Testing.load() != 0) canceledRun_.store(true);
    Canceled.fetch_add(1);
  }
  // The "Write Test" action: the same road with the write program, which
  // runs as the user and writes only an unnamed file in the folder.
  void Writemedia(const WriteOptions& o);
  void Writerun();
  // Waits for the workers started by Testmedia (tests, command line). Not to be
  // called on the thread that carries out the worker's (worker) TestUi calls
  // while a worker may still make them.
  void join();
  // A worker started by Testmedia has not returned yet (it may still be in
  // its refresh, with Testing back at 0).
  bool busy() const { return !done_.load(); }

  std::atomic<int> Canceled{0};

 private:
  void start(void (TestControl::*body)());
  TestUi& ui_;
  WriteOptions write_;  // of the write test being run
  int seconds_ = 0;  // of the next run: set before its worker starts
  RecordDevice device_;               // the tested device as the list had it
  std::thread worker_;
  std::atomic<bool> done_{true};      // the worker_ body has returned
  std::atomic<bool> canceledRun_{false};  // the user canceled the running test
  std::vector<std::thread> retired_;  // earlier workers still refreshing when a new test began
};

}  // namespace vlm

// The write test's road: the "Write Test" request, its question and its
// worker, beside the read test's (testctl.cpp) and sharing its state: one
// test at a time, the same progress window, cancel and refresh. The write
// program runs as the user who runs this one, never through the set-user-ID
// copy, and writes only an unnamed file in the chosen folder.
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "disk/disk.h"
#include "perf/history.h"
#include "perf/runner.h"
#include "perf/store.h"
#include "perf/testctl.h"
#include "perf/testplan.h"
#include "perf/vlmperfwrite/write.h"
#include "util/alerts.h"
#include "util/prog.h"
#include "util/startup.h"

namespace vlm {

namespace {

constexpr int kOutput = 32768;
const char* const kTitle = "Write Test";
const char* const kChooseFolder = "Choose Folder\u2026";

// Beside the help page in the bundle's Resources.
std::string writeProgram() {
  std::string p = perfutilrtfd;
  return p.substr(0, p.rfind('/') + 1) + "vlmperfwrite";
}

bool sameVolume(const std::string& a, const std::string& b) {
  struct stat x {}, y {};
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev;
}

// A folder the user chose for the row whose volume is mnt: the write
// program's own checks, and on that volume.
std::string chosenRefusal(const std::string& folder, const std::string& mnt, const char* device) {
  if (std::string no = vpw::folderRefusal(folder); !no.empty()) return no;
  if (sameVolume(folder, mnt)) return "";
  return folder + " is not on the volume of " + device + ", mounted at " + mnt +
         ": the write test writes into a folder of the volume it measures";
}

// A refusal as the alert shows it: a sentence.
std::string sentence(std::string no) {
  no[0] = char(std::toupper(static_cast<unsigned char>(no[0])));
  return no + ".";
}

}  // namespace

std::string writeKey(const std::string& dev) { return "write:" + dev; }

std::string writeFolder(const DISKINFO_* rec, std::string& why) {
  const std::string name = std::string("disk") + rec->bsdname;
  if (!rec->nmounts || !rec->fs.f_mntonname[0]) {
    why = name + " is not mounted: the write test writes a file into a folder of a mounted volume.";
    return "";
  }
  const std::string mnt = rec->fs.f_mntonname;
  if (rec->mountro || rec->readonly) {
    why = name + " is mounted read-only (" + mnt + "): nothing can be written there.";
    return "";
  }
  if (access(mnt.c_str(), W_OK | X_OK) == 0) return mnt;
  const char* home = std::getenv("HOME");
  if (home && *home && access(home, W_OK | X_OK) == 0 && sameVolume(home, mnt)) return home;
  why = "You can't write in " + mnt + ", the volume of " + name + ", and your home folder is not on it.";
  return "";
}

void TestControl::Writemedia(const WriteOptions& o) {
  if (Testing.load() != 0) {
    messbox(kTitle, "A test is already running, you must wait for it to complete.", "Ok");
    return;
  }
  const int row = ui_.selectedRow();
  char device[160] = "";
  RecordDevice dev;
  std::string folder = o.folder, why, mnt;
  {
    std::lock_guard<std::recursive_mutex> lock(disklock);
    if (row < 0 || row >= ndiskarray || !diskarray || !diskarray[row]) {
      messbox(kTitle, "You must select a device to test.", "Ok");
      return;
    }
    const DISKINFO_* rec = diskarray[row];
    if (folder.empty()) folder = writeFolder(rec, why);
    mnt = rec->fs.f_mntonname;
    diskdescribe(device, sizeof device, rec);
    dev = recordDevice(rec);
    zcpfield(Testid, rec->devid);
  }
  if (folder.empty()) {
    messbox(kTitle, why.c_str(), "Ok");
    return;
  }
  if (!ui_.hasProgressWindow()) {
    messbox(kTitle, "Can't find the Percent Window?.", "Ok");
    return;
  }
  const int seconds = ui_.testSeconds() > 0 ? ui_.testSeconds() : testplan::kDefaultSeconds;
  uint64_t size = 0;
  // The question names the folder, the size and the time; a folder chosen
  // from it asks again with its own.
  for (;;) {
    // The size now, by the rule the program applies again when it starts.
    struct statvfs v {};
    if (statvfs(folder.c_str(), &v) != 0) {
      messbox(kTitle, (folder + ": " + std::strerror(errno)).c_str(), "Ok");
      return;
    }
    const uint64_t unit = v.f_frsize ? v.f_frsize : v.f_bsize;
    const vpw::Space space{uint64_t(v.f_blocks) * unit, uint64_t(v.f_bavail) * unit};
    const uint64_t most = vpw::largestFile(space);
    size = o.size ? o.size : o.sustained ? most : std::min(most, vpw::kDefaultFile);
    size = size / vpw::kMiB * vpw::kMiB;
    if (std::string no = vpw::refusal(space, o.size ? o.size : size); !no.empty()) {
      messbox(kTitle, sentence(no).c_str(), "Ok");
      return;
    }
    const int64_t ms = 3 * testplan::phaseMs(seconds);
    std::string question = "You are about to write a test file of " + vpw::sizeText(size) + " into " + folder +
                           " (" + device + "). It takes about " + std::to_string((ms + 999) / 1000) + " s";
    if (o.sustained)
      question += ", then the sustained pass writes the whole file once more as fast as the drive takes it (" +
                  std::to_string(size / 100000000 + 1) + " s at 100 MB/s)";
    question += ". The file has no name and is gone when the test ends, even if it is interrupted.";
    if (!ui_.choosesFolders()) {
      if (!messbox2("Write Test:", question.c_str(), "Ok", "Cancel")) return;
      break;
    }
    const int answer = alertSeam()->alert("Write Test:", question, {"Ok", kChooseFolder, "Cancel"});
    if (answer == 0) break;
    if (answer != 1) return;
    const std::string chosen = ui_.chooseFolder(folder);
    if (chosen.empty()) continue;
    if (std::string no = chosenRefusal(chosen, mnt, device); !no.empty()) {
      messbox(kTitle, sentence(no).c_str(), "Ok");
      continue;
    }
    folder = chosen;
  }
  ui_.progressStart();
  ui_.showProgressWindow(std::string("Writing: ") + device);
  ui_.progressReset();
  Testing.store(1);
  canceledRun_.store(false);
  std::snprintf(Testdev, sizeof Testdev, "%s", dev.name.c_str());
  device_ = dev;
  zcpfield(Testname, dev.volume.c_str());
  seconds_ = seconds;
  write_ = o;
  write_.folder = folder;
  write_.size = size;
  start(&TestControl::Writerun);
}

void TestControl::Writerun() {
  const std::string prog = writeProgram(), secs = std::to_string(seconds_), size = std::to_string(write_.size);
  std::vector<const char*> args = {prog.c_str(), "--seconds", secs.c_str(), "--size", size.c_str()};
  if (write_.sustained) args.push_back("--sustained");
  args.push_back(write_.folder.c_str());
  args.push_back(nullptr);
  std::unique_ptr<char, decltype(&std::free)> buf(static_cast<char*>(zmemclr(kOutput)), &std::free);
  int len = 0;
  RunHooks hooks;
  hooks.canceled = &Canceled;
  // The sustained pass lasts as long as the drive needs; its waits are the program's own, bounded.
  hooks.limitMs = write_.sustained ? 0 : int(3 * testplan::phaseMs(seconds_) + 60 * 1000);
  RecordTap tap;
  hooks.pctgrab = [this, &tap](char* chunk) {
    tap.take(chunk);
    pctgrab(chunk, [this](double v) { ui_.progressSet(v); });
  };
  const int status = Run2mem(buf.get(), kOutput, &len, const_cast<char* const*>(args.data()), hooks);
  buf.get()[len] = '\0';
  const Record rec = completeRecord(tap.text(), device_, buf.get(), status);
  keepRecord(writeKey(Testdev), rec);
  const std::string notice = historyKeep(rec);
  const char* label = status == 0 ? "Ok" : canceledRun_.load() ? "Canceled" : "Failed";
  ui_.progressStop();
  messbox("Write Test:", (perfwarnfirst(buf.get()) + notice).c_str(), label);
  buf.reset();
  Testing.store(0);
  Canceled.store(0);
  ui_.refresh();
}

}  // namespace vlm

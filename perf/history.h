// The history: every finished test's whole record, kept per device in an
// SQLite database in the user's data folder, so that figures outlive the
// program, a disk can be compared with its own past, and a disk that gets
// slower says so.
//
// One file, $XDG_DATA_HOME/Velmora/history.db (default
// ~/.local/share/Velmora/history.db; root's tests go to root's), in WAL mode:
// two windows and a command-line run may write at once. A file that isn't a
// sound database is set aside as history.db.damaged-<date> and a new one
// begun; a history that can't be written (read-only folder, full disk) only
// says so: neither ever stops a test.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "perf/record.h"

struct sqlite3;

namespace vlm {

// Where the history lives now (from the environment).
std::string historyPath();

struct HistoryTest {
  int64_t id = 0;
  std::string device;  // identity of the medium, empty when unknown
  std::string name;    // "diskN..." when it ran
  std::string kind;    // "read", ...
  int64_t unixTime = 0;
  std::string result;  // "Ok", "Failed", "Canceled"
  Record record;       // whole, or its summary
};

struct HistoryDevice {
  std::string device, name;  // identity (empty: unknown) and latest name
  int64_t count = 0, lastTime = 0;
};

// A figure of a new test more than a threshold below its device's usual one.
struct Slower {
  std::string phase;  // "Random"
  int64_t kbps = 0, usualKbps = 0;
  int percentBelow = 0;
  std::string text() const;  // "Random is 42% below this disk's usual 180 MB/s"
};

class History {
 public:
  explicit History(std::string path);
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  const std::string& path() const { return path_; }
  // Keeps a finished test's record. False when it could not be kept (the
  // reason is in the notice).
  bool add(const Record& rec);
  // A device's tests, newest first: identity, or for a device without one
  // its name. limit 0: all. withRecords false gives each record's summary
  // only: result, unixTime, parameters.seconds, phases' name and kbps,
  // warnings and slower.
  std::vector<HistoryTest> tests(const std::string& device, int limit = 0, bool withRecords = true);
  std::optional<Record> record(int64_t id);  // a whole record
  std::vector<HistoryDevice> devices();
  // The last good read test of every device with an identity.
  std::vector<HistoryTest> lastOfEach();
  // The figures of rec that are more than 30% below the median of the same
  // device's last five comparable tests (same phase and duration, ended
  // well, no warnings); none without five... or with fewer, of those there are.
  std::vector<Slower> slower(const Record& rec);
  int forget(const std::string& device);  // tests deleted
  bool remove(int64_t id);
  // What went wrong with the file since the last call ("" when nothing),
  // naming it: for an alert or standard error.
  std::string takeNotice();

 private:
  bool open();
  void close();
  bool migrate();
  // Runs body; on a damaged file sets it aside, opens a new one and runs
  // body again. False (with a notice) when it still fails.
  template <typename F> bool guarded(const char* what, F body);
  void setAside();
  template <typename B> int erase(const char* sql, B bind);
  bool absent() const;
  template <typename B> std::vector<HistoryTest> select(const std::string& rest, bool withRecords, B bind);

  std::string path_;
  sqlite3* db_ = nullptr;
  std::string notice_;
  std::recursive_mutex lock_;
};

// The process's history at historyPath(), opened on first use.
History& history();
// Reopens it at historyPath() (tests that change the environment).
void historyReset();

// Keeps a finished test in the process's history; what went wrong with the
// history ("\nThe history ...\n"), or "" when nothing did.
std::string historyKeep(const Record& rec);

// Puts each device's last figures from the history into the result store,
// for the devices it holds none of yet: the list then shows them from its
// next rebuild.
void historySeed();
// The stored figures of a record (KB/s of Sequential, Random, Dual, Threaded;
// 0 for a phase that did not finish).
void recordKbps(const Record& rec, int64_t out[4]);

}  // namespace vlm

// Test records on the program's side: taken out of the utility's output,
// completed with what the disk list knows, kept per device beside the result
// store, checked against docs/test-record.schema.json, and turned into the
// texts that leave the program (readable text, CSV, metrics).
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "disk/disk.h"

namespace vlm {

using Record = nlohmann::ordered_json;

// Takes the record line (from its mark, byte 0x1E, to the end of the output)
// out of each chunk in place, as the progress lines are taken out, so the
// text that is shown and parsed never holds it.
class RecordTap {
 public:
  void take(char* chunk);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  bool inside_ = false;
};

// What the list knows of the tested device, copied when the test starts.
struct RecordDevice {
  std::string name;  // "disk2s1"
  std::string id;    // identity of the medium and partition, empty when unknown
  std::string link;  // the drive's link as the list knows it, empty when unknown
  int linkMBps = 0;
  std::string volume, model, serial, interconnect;
  int64_t size = 0;
  int logicalBlock = 512;
};
// From a record of the list; the caller holds disklock.
RecordDevice recordDevice(const DISKINFO_* rec);

// The record of one run: the utility's own (when it wrote a valid one)
// completed with the device's description, the program's version, the
// warnings and checks of the text, the result and the exit status; without
// one, a record of what the program knows.
Record completeRecord(const std::string& utilityRecord, const RecordDevice& dev,
                      const std::string& output, int waitStatus);

// The last record of each device ("diskN...", letter case ignored). With an
// identity, only a record of that very device is returned: names move when
// devices come and go.
void keepRecord(const std::string& dev, const Record& rec);
std::optional<Record> lastRecord(const std::string& dev, const char* id = nullptr);
void forgetRecords();  // tests

// The first problem of rec against the schema ("path: what"), empty if none.
std::string recordProblem(const Record& rec);
// Reads and checks a saved record. False with "FILE: problem" in err.
bool loadRecord(const std::string& path, Record& out, std::string& err);

// Every figure of a record, in order: ("Sequential KB/s", 523000), ...
std::vector<std::pair<std::string, double>> recordFigures(const Record& rec);

// One figure of two records side by side; ratio is mine / theirs (0 when
// theirs is 0).
struct Comparison {
  std::string figure;
  std::optional<double> mine, theirs;
  double ratio = 0;
};
std::vector<Comparison> compareRecords(const Record& mine, const Record& theirs);

std::string recordText(const Record& rec);     // for people: Copy
std::string recordCsv(const Record& rec);      // field,value lines
// A cell as a spreadsheet takes it: quoted where it must be, a formula kept text.
std::string csvField(const std::string& cell);
std::string recordMetrics(const Record& rec);  // Prometheus text exposition

// Writes content to path through a temporary file in the same folder and a
// rename, so a reader sees the old file or the whole new one; "-" writes to
// standard output. False with the reason in err.
bool writeFileAtomic(const std::string& path, const std::string& content, std::string& err);

}  // namespace vlm

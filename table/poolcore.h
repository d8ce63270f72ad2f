// The disk table's data: rebuild of the list with volume names, and the value
// of every cell by column identifier. Shared by the window's table model and
// the command-line listing.
#pragma once

#include <string>

#include "disk/disk.h"

namespace vlm {

struct CellValue {
  enum class Kind { Text, Int, Int64 };
  Kind kind = Kind::Text;
  std::string text;     // Text
  long long number = 0; // Int (32-bit values) and Int64
  bool isNumber() const { return kind != Kind::Text; }
  std::string str() const { return isNumber() ? std::to_string(number) : text; }
};

class PoolCore {
 public:
  // Rebuilds the list, fills volume names, selects and sorts; stamps the time.
  // Returns the record of dev ("diskN..."), or nullptr when dev is null/empty.
  DISKINFO_* Reload(const char* dev, int mode);
  void FinderNames();
  // 0 renamed, 1 refused, -1 no such mounted volume.
  int SetFinder(const char* name, const char* mount);

  int numberOfRows() const;
  // The value of one cell; the caller holds disklock.
  CellValue objectValue(const std::string& identifier, int row) const;

  // "Link: PCIe 8.0 GT/s x4, ceiling 3938 MB/s" or "Link: unknown" for the
  // row's drive; empty outside the list. The caller holds disklock.
  std::string linkText(int row) const;
  // The verdicts on the row's last figures, one line each ("Warning: ...",
  // "Checked: ..."), and whether one is a warning. The caller holds disklock.
  std::string checksText(int row) const;
  bool warned(int row) const;
  // "Measured: MM/DD/YYYY HH:MI" for a row with stored figures, else empty;
  // the caller holds disklock.
  std::string measuredText(int row) const;

  // Every mount point of the row, one a line, and the name of its partition
  // type; empty when none. The caller holds disklock.
  std::string mountsText(int row) const;
  std::string typeNameText(int row) const;

  // "Refreshed: MM/DD/YYYY HH:MI" after the last Reload.
  const std::string& refreshtime() const { return refreshtime_; }

 private:
  std::string refreshtime_;
};

// A size in binary units with one decimal ("256.0 MiB"); below 1 KiB in bytes.
std::string readableSize(long long bytes);

// True for the four result columns.
bool isResultColumn(const std::string& identifier);

// The column identifiers, in table order.
extern const char* const kColumnIds[11];

}  // namespace vlm

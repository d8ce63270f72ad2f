#include "table/column.h"

#include "disk/disk.h"
#include "table/pool.h"
#include "table/poolcore.h"

NumberFormat::NumberFormat() : NumberFormat(QLocale()) {}

NumberFormat::NumberFormat(const QLocale& locale) : locale_(locale) {
  locale_.setNumberOptions(locale_.numberOptions() & ~QLocale::OmitGroupSeparator);
}

namespace {
bool isNumericId(const std::string& id) {
  static const char* const numeric[] = {"Size",     "Seq",       "Sequential", "Random",    "Dual Seq",
                                        "Threaded", "Write Seq", "Write Rand", "Write QD32"};
  for (const char* n : numeric)
    if (id == n) return true;
  return false;
}
}  // namespace

VLTableColumn::VLTableColumn(const char* identifier, QString title, int width)
    : id_(identifier), title_(std::move(title)), width_(width), numeric_(isNumericId(id_)),
      wide_(id_ == "Name" || id_ == "Info" || id_ == "Mount"), device_(id_ == "Device") {
  if (numeric_) cell_.alignment = Qt::AlignRight | Qt::AlignVCenter;
}

const Cell* VLTableColumn::dataCellForRow(long row) const {
  if (row < 0 || row >= ndiskarray || !thepool) return &cell_;
  const DISKINFO_* rec = diskarray[row];
  const Cell* cell;
  if (device_ && samedev(rec)) {
    cell = thepool->CArray[6];
  } else {
    if (rec->color < 0) return &cell_;  // never stored by the inventory
    int slot = rec->color % 7;
    cell = numeric_ ? thepool->NArray[slot] : thepool->CArray[slot];
  }
  return cell ? cell : &cell_;
}

QString readableSize(long long bytes) { return QString::fromStdString(vlm::readableSize(bytes)); }

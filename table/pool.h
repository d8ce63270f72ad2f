// The disk table's data source: a table model over the disk list.
//
// Thread rule: every rebuild (Reload) and every read by the view happens on the
// user-interface thread; the test worker's refresh is carried over to that
// thread. data() and rowCount() also hold disklock, so a rebuild started
// anywhere else can never be read half-done.
#pragma once

#include <QAbstractTableModel>
#include <QPalette>

#include <array>
#include <vector>

#include "disk/disk.h"
#include "table/column.h"
#include "table/poolcore.h"

class QLabel;

class Pool : public QAbstractTableModel {
  Q_OBJECT
 public:
  // The raw value of a cell: the number itself for numeric columns.
  static constexpr int SortRole = Qt::UserRole + 1;

  explicit Pool(QObject* parent = nullptr);

  // The data source questions. The value is a number (qlonglong) for "Seq",
  // "Size" and a positive result, text otherwise; "?" outside the list.
  int numberOfRowsInTableView() const;
  QVariant objectValueForTableColumn(const VLTableColumn& column, int row) const;
  // The text a cell shows: the value through the cell's formatter.
  QString displayText(const VLTableColumn& column, int row) const;

  // The rows as text: a line of column titles, then one line per row, cells
  // as shown (without the indent) and separated by tabs. Rows outside the list
  // are left out.
  QString rowsText(const std::vector<int>& rows) const;

  // Fills the fourteen shared cells, tinted against the palette.
  void ColorInit();
  void ColorInit(const QPalette& palette);
  // Rebuilds the list (a full model reset around it) and stamps the label.
  DISKINFO_* Reload(const char* dev, int mode);
  void FinderNames();
  int SetFinder(const char* name, const char* mount);

  const std::vector<VLTableColumn>& columns() const { return columns_; }
  std::vector<VLTableColumn>& columns() { return columns_; }
  const vlm::PoolCore& core() const { return core_; }
  // Any row has figures of a write test (its columns are shown then).
  bool hasWriteFigures() const;

  // QAbstractItemModel
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation o, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Outlets and cells, in the order of the data source.
  QLabel* refreshtime = nullptr;
  Cell CWhite, CBlue, CGreen, CYellow, COrange, CGray, CRed;
  std::array<const Cell*, 16> CArray{};
  std::array<const Cell*, 16> NArray{};
  NumberFormat NFormat;

 private:
  QVariant cellRole(const Cell* cell, int role) const;
  // A cell's value: the write columns from the last write records, the rest
  // from the core. The caller holds disklock.
  vlm::CellValue value(const std::string& id, int row) const;
  void takeWriteFigures();

  // Per row, taken at each Reload: the last write test's three figures (0:
  // none) and its summary for the tooltip.
  struct WriteFigures {
    long long kbps[3] = {};
    std::string tip;
  };
  std::vector<WriteFigures> writes_;

  vlm::PoolCore core_;
  std::array<Cell, 7> ncopies_{};  // NArray's own copies of the templates
  std::vector<VLTableColumn> columns_;
};

extern Pool* thepool;

// The two colours of a colour index 0..6 (white, blue, green, yellow, orange,
// gray, red) against a palette: the tint blended into the base colour, and the
// palette's text colour, so they read on light and dark themes alike.
struct CellColors {
  QColor background, foreground;
};
CellColors cellColors(int index, const QPalette& palette);

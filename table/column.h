// The disk table's cells and its column class. A cell is how a row is drawn in
// a column: background, text colour, alignment and number formatter. The
// fourteen coloured cells are made once by Pool::ColorInit and shared by every
// row and column; nothing is allocated per cell.
#pragma once

#include <QBrush>
#include <QLocale>
#include <QString>

#include <string>

class Pool;

// Groups thousands ("1,234,567" in the C and English locales).
class NumberFormat {
 public:
  NumberFormat();
  explicit NumberFormat(const QLocale& locale);
  QString format(long long n) const { return locale_.toString(n); }

 private:
  QLocale locale_;
};

struct Cell {
  QBrush background;                // Qt::NoBrush: the view's own
  QBrush foreground;                // Qt::NoBrush: the view's own
  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter;
  const NumberFormat* formatter = nullptr;
};

class VLTableColumn {
 public:
  VLTableColumn(const char* identifier, QString title, int width);

  const std::string& identifier() const { return id_; }
  const QString& title() const { return title_; }
  int width() const { return width_; }
  // "Size", "Seq", "Sequential", "Random", "Dual Seq", "Threaded".
  bool numeric() const { return numeric_; }
  // "Name", "Info", "Mount": free text of any length, given the window's spare width.
  bool wide() const { return wide_; }

  // The cell to draw row with: a shared coloured cell of thepool by the record's
  // colour code, or the column's own cell. The caller holds disklock.
  const Cell* dataCellForRow(long row) const;
  const Cell& dataCell() const { return cell_; }
  Cell& dataCell() { return cell_; }

  Pool* pool = nullptr;  // outlet; the cell choice itself goes through thepool

 private:
  std::string id_;
  QString title_;
  int width_;
  bool numeric_;
  bool wide_;
  bool device_;
  Cell cell_;
};

// "256.0 MB": binary multiples (1 MB = 1,048,576 bytes), one decimal.
QString readableSize(long long bytes);
